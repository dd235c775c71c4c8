// What a file needs: the lookups of a directory's files travel together in
// one round trip before the first of them is decided; the files are then
// decided one by one in walk order, with the same statements as if each
// lookup had been sent on its own.
#include "publish/decision.h"

#include "catalogue/catalogue.h"

namespace {

// The lookups of a directory being walked and their answers; one per level
// of the walk, innermost last.
struct nivel {
    std::vector<std::string> sentencias;
    std::vector<respuesta> respuestas;
    size_t siguiente = 0;
};
std::vector<nivel> niveles;

bool mismo_sello(const respuesta &r, const sello &s)
{
    if (r.fila_nula)
        return false;
    const int actual[6] = {s.dia, s.mes, s.anio, s.hora, s.minuto, s.segundo};
    for (int i = 0; i < 6; ++i)
        if (r.valores[i] != actual[i])
            return false;
    return true;
}

}  // namespace

void decision_anticipa(const std::string &ruta, const std::vector<archivo> &archivos)
{
    nivel n;
    n.sentencias.reserve(archivos.size());
    for (const archivo &a : archivos)
        n.sentencias.push_back(sentencia_busqueda(ruta, a.nombre));

    // In batches, stopping at the first failed lookup: the files before it
    // are decided as usual and the failure is reported when its file's turn
    // comes.
    for (size_t desde = 0; desde < n.sentencias.size();) {
        lote l;
        size_t hasta = desde;
        while (hasta < n.sentencias.size() && !l.lleno())
            l.agrega(n.sentencias[hasta++]);
        std::vector<respuesta> r = envia_lote(l);
        bool corto = r.size() < l.sentencias.size() || (!r.empty() && !r.back().ok);
        for (respuesta &x : r)
            n.respuestas.push_back(std::move(x));
        if (corto)
            break;
        desde = hasta;
    }
    niveles.push_back(std::move(n));
}

void decision_termina(const std::string &) { niveles.pop_back(); }

veredicto decide_archivo(const std::string &ruta, const archivo &a, void (*antes_del_fallo)())
{
    nivel &n = niveles.back();
    size_t i = n.siguiente++;
    if (i >= n.respuestas.size()) {
        // The batch ended early without a reported failure: ask on our own.
        lote solo;
        solo.agrega(n.sentencias[i]);
        std::vector<respuesta> r = envia_lote(solo);
        n.respuestas.resize(i + 1);
        if (!r.empty())
            n.respuestas[i] = r.front();
        else
            n.respuestas[i].error = mysql_error(&db);
    }
    const respuesta &r = n.respuestas[i];
    if (!r.ok) {
        if (antes_del_fallo)
            antes_del_fallo();
        informa_fallo(r.error, n.sentencias[i], forma::linea);
    }
    if (!r.hay_fila)
        return veredicto::nuevo;
    if (mismo_sello(r, a.s))
        return veredicto::igual;
    if (!por_contenido() || r.h.empty())
        return veredicto::cambiado;
    // A file that cannot be read now is left to the upload, which reports
    // why.
    huella h;
    if (huella_local(ruta_local(ruta + a.nombre), h) && h == r.h)
        return veredicto::resello;
    return veredicto::cambiado;
}
