// The dry run (-l): every file is decided against the catalogue exactly as
// the update run decides it (the same decision, the same lookups), and each
// file that run would upload, or would only re-stamp, is listed instead.
// After them come the files a prune would remove. No FTP server is
// contacted and no row is written.
#include "publish/decision.h"
#include "publish/filas.h"
#include "publish/publish.h"

namespace {

const char *que_haria(veredicto v)
{
    switch (v) {
    case veredicto::igual:
        return nullptr;
    case veredicto::nuevo:
        return "Nuevo";
    case veredicto::cambiado:
        return "Cambiado";
    case veredicto::resello:
        return "Solo fecha";
    }
    return nullptr;
}

}  // namespace

quizas_estado simula(trabajo &w, salida &o)
{
    ventana v(w.catalogo, w.arbol);
    suceso s;
    respuesta *r = nullptr;
    std::string *sql = nullptr;
    quizas_fallo f;
    while (v.siguiente(s, r, sql, f)) {
        if (s.tipo != suceso::clase::archivo) {
            o.escribe_aviso(s);
            continue;
        }
        if (!r->ok)
            return falla(w.catalogo, o, fallo{r->error, *sql, forma::linea, -1, r->numero});
        if (const char *que = que_haria(decide_archivo(w.catalogo, w.arbol, s.ruta, s.archivo, *r)))
            o.escribe(std::string(que) + ": " + s.ruta + s.archivo.nombre + "\n");
    }
    if (f)
        return falla(w.catalogo, o, *f);

    // A root that cannot be read was reported by the walk; a prune would
    // remove nothing then.
    std::vector<desaparecido> gone;
    std::optional<std::string> sin_evidencia;
    if (quizas_fallo g = desaparecidos(w, gone, sin_evidencia))
        return falla(w.catalogo, o, *g);
    for (const desaparecido &d : gone)
        o.escribe("Eliminado: " + d.ruta + d.nombre + "\n");
    return std::nullopt;
}
