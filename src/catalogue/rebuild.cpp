// Rebuild mode: the catalogue made to describe the local tree as it is now,
// without uploading anything.
//
// Inserts are held back and sent in batches, in walk order; the batch is
// sent before any other event of the walk is handed on, so the output reads
// as if each insert had been sent the moment its file was met.
#include "catalogue/servidor.h"

namespace servidor {

namespace {

quizas_fallo envia(enlace &c, lote &l)
{
    if (l.sentencias.empty())
        return std::nullopt;
    std::vector<respuesta> r;
    if (quizas_fallo f = envia_lote(c, l, r))
        return f;
    for (size_t i = 0; i < r.size(); ++i)
        if (!r[i].ok)
            return fallo{r[i].error, l.sentencias[i].texto, forma::comillas, -1, r[i].numero};
    l = lote{};
    return std::nullopt;
}

quizas_fallo construye(enlace &c, const arbol &t, const std::function<void(const suceso &)> &aviso)
{
    lote pendientes;
    recorrido_adelantado r(t);
    suceso s;
    while (r.siguiente(s)) {
        if (s.tipo == suceso::clase::aviso) {
            if (quizas_fallo f = envia(c, pendientes))
                return f;
            aviso(s);
            continue;
        }
        if (c.contenido) {
            // Content mode records what each file holds now; a file that
            // cannot be read gets no digest and is compared by its stamp
            // alone.
            huella h;
            if (!huella_local(ruta_local(t, s.ruta + s.archivo.nombre), h))
                h.clear();
            pendientes.agrega(sentencia_insercion(c, s.ruta, s.archivo.nombre, s.archivo.sello, &h));
        } else {
            pendientes.agrega(sentencia_insercion(c, s.ruta, s.archivo.nombre, s.archivo.sello));
        }
        if (pendientes.lleno()) {
            if (quizas_fallo f = envia(c, pendientes))
                return f;
        }
    }
    return envia(c, pendientes);
}

}  // namespace

quizas_fallo reconstruye(enlace &c, const arbol &t, const std::function<void(const suceso &)> &aviso)
{
    // The clear and every insert take effect together, so a rebuild that
    // fails half-way leaves the previous catalogue as it was. A failure ends
    // the process, which closes the connection and rolls the work back.
    if (quizas_fallo f = consulta(c, "START TRANSACTION", forma::comillas))
        return f;
    if (quizas_fallo f = borra_tabla(c))
        return f;
    if (quizas_fallo f = construye(c, t, aviso))
        return f;
    return consulta(c, "COMMIT", forma::comillas);
}

}  // namespace servidor
