// The dry run (-l): every file is decided against the catalogue exactly as
// the update run decides it, with the same lookups sent the same way, and
// each file that run would upload is listed instead. No FTP server is
// contacted and no row is written.
#include <cstdio>

#include "catalogue/catalogue.h"
#include "publish/publish.h"

namespace {

// The lookups of one directory and their answers; one per level of the
// walk, innermost last.
struct nivel {
    std::vector<std::string> sentencias;
    std::vector<respuesta> respuestas;
    size_t siguiente = 0;
};
std::vector<nivel> niveles;

void anticipa(const std::string &ruta, const std::vector<archivo> &archivos)
{
    nivel n;
    for (const archivo &a : archivos)
        n.sentencias.push_back(sentencia_busqueda(ruta, a.nombre));
    // In batches, stopping at the first failed lookup, which is reported
    // when its file's turn comes.
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

void termina(const std::string &) { niveles.pop_back(); }

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

void decide(const std::string &ruta, const archivo &a)
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
    if (!r.ok)
        informa_fallo(r.error, n.sentencias[i], forma::linea);
    if (!r.hay_fila)
        printf("Nuevo: %s%s\n", ruta.c_str(), a.nombre.c_str());
    else if (!mismo_sello(r, a.s))
        printf("Cambiado: %s%s\n", ruta.c_str(), a.nombre.c_str());
}

}  // namespace

void simula()
{
    recorrido r{};
    r.anticipa = anticipa;
    r.accion = decide;
    r.termina = termina;
    recorre("/", r);
}
