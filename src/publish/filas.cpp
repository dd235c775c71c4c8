// The rows of the update run and the prune, and the output held for them.
#include "publish/filas.h"

#include "publish/publish.h"

void sincroniza(const catalogo &c, salida &o) { o.respondidas(filas_sin_respuesta(c)); }

quizas_estado avanza(catalogo &c, salida &o, bool todo)
{
    sincroniza(c, o);
    if (quizas_fallo f = avanza_filas(c, todo))
        return o.informa(*f);
    sincroniza(c, o);
    return std::nullopt;
}

quizas_estado registra_fila(trabajo &w, salida &o, sentencia sql, forma f)
{
    w.vigila_bloqueo();
    sincroniza(w.catalogo, o);
    o.marca_fila();
    encola_fila(w.catalogo, std::move(sql), f);
    return avanza(w.catalogo, o, false);
}

estado falla(catalogo &c, salida &o, const fallo &f)
{
    if (f.fila < 0) {
        if (quizas_estado e = avanza(c, o, true))
            return *e;
    }
    return o.informa(f);
}
