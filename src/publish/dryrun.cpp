// The dry run (-l): every file is decided against the catalogue exactly as
// the update run decides it (the same decision, the same lookups), and each
// file that run would upload, or would only re-stamp, is listed instead.
// After them come the files a prune would remove. No FTP server is
// contacted and no row is written.
#include <cstdio>

#include "catalogue/catalogue.h"
#include "publish/decision.h"
#include "publish/publish.h"

namespace {

void decide(const std::string &ruta, const archivo &a)
{
    const char *que = nullptr;
    switch (decide_archivo(ruta, a, nullptr)) {
    case veredicto::igual:
        return;
    case veredicto::nuevo:
        que = "Nuevo";
        break;
    case veredicto::cambiado:
        que = "Cambiado";
        break;
    case veredicto::resello:
        que = "Solo fecha";
        break;
    }
    printf("%s: %s%s\n", que, ruta.c_str(), a.nombre.c_str());
}

}  // namespace

void simula()
{
    recorrido r{};
    r.anticipa = decision_anticipa;
    r.accion = decide;
    r.termina = decision_termina;
    recorre("/", r);

    // A root that cannot be read was reported by the walk; a prune would
    // remove nothing then.
    std::vector<desaparecido> gone;
    std::string motivo;
    if (!desaparecidos(gone, motivo))
        return;
    for (const desaparecido &d : gone)
        printf("Eliminado: %s%s\n", d.ruta.c_str(), d.nombre.c_str());
}
