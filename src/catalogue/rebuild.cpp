// Rebuild mode: the catalogue made to describe the local tree as it is now,
// without uploading anything.
//
// Inserts are held back and sent in batches, in walk order; the batch is
// sent before the walk writes any message of its own, so the output reads as
// if each insert had been sent the moment its file was met.
#include "catalogue/catalogue.h"

namespace {

lote pendiente;

void envia_pendiente()
{
    if (pendiente.sentencias.empty())
        return;
    std::vector<respuesta> r = envia_lote(pendiente);
    for (size_t i = 0; i < r.size(); ++i)
        if (!r[i].ok)
            informa_fallo(r[i].error, pendiente.sentencias[i], forma::comillas);
    pendiente = lote{};
}

void inserta(const std::string &ruta, const archivo &a)
{
    if (por_contenido()) {
        // Content mode records what each file holds now; a file that cannot
        // be read gets no digest and is compared by its stamp alone.
        huella h;
        if (!huella_local(ruta_local(ruta + a.nombre), h))
            h.clear();
        pendiente.agrega(sentencia_insercion(ruta, a.nombre, a.s, &h));
    } else {
        pendiente.agrega(sentencia_insercion(ruta, a.nombre, a.s));
    }
    if (pendiente.lleno())
        envia_pendiente();
}

}  // namespace

void construye(const std::string &ruta)
{
    recorrido r{};
    r.accion = inserta;
    r.antes_de_escribir = envia_pendiente;
    recorre(ruta, r);
    envia_pendiente();
}

void reconstruye()
{
    // The clear and every insert take effect together, so a rebuild that
    // fails half-way leaves the previous catalogue as it was. A failure ends
    // the process, which closes the connection and rolls the work back.
    consulta("START TRANSACTION", forma::comillas);
    borra_tabla();
    construye("/");
    consulta("COMMIT", forma::comillas);
}
