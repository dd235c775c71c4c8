// The dry run (-l): every file is decided against the catalogue exactly as
// the update run decides it (the same decision, the same lookups), and each
// file that run would upload, or would only re-stamp, is listed instead.
// After them come the files a prune would remove. No FTP server is
// contacted and no row is written.
#include "publish/decision.h"
#include "publish/publish.h"
#include "publish/salida.h"

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

void simula(trabajo &w)
{
    ventana v(w.c, w.t);
    suceso s;
    respuesta *r = nullptr;
    std::string *sql = nullptr;
    while (v.siguiente(s, r, sql)) {
        if (s.c != suceso::clase::archivo) {
            escribe_aviso(s);
            continue;
        }
        if (!r->ok)
            termina_por_fallo(fallo{r->error, *sql, forma::linea, -1, r->numero});
        if (const char *que = que_haria(decide_archivo(w.c, w.t, s.ruta, s.a, *r)))
            escribe(std::string(que) + ": " + s.ruta + s.a.nombre + "\n");
    }

    // A root that cannot be read was reported by the walk; a prune would
    // remove nothing then.
    std::vector<desaparecido> gone;
    std::string motivo;
    if (!desaparecidos(w, gone, motivo))
        return;
    for (const desaparecido &d : gone)
        escribe("Eliminado: " + d.ruta + d.nombre + "\n");
}
