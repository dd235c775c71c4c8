// Counters of the update run: what the walk examined, what was uploaded or
// failed, and how many bytes went. They decide the run's exit status and
// feed the status line.
#include <sys/stat.h>

#include "publish/progress.h"
#include "tree/walk.h"

cuenta recuento;

void anota_examinado()
{
    ++recuento.examinados;
    progreso_dibuja();
}

void anota_subida(const std::string &ruta, const std::string &nombre, bool ok)
{
    if (!ok) {
        ++recuento.fallidos;
        return;
    }
    ++recuento.subidos;
    // The bytes are shown only on a terminal: elsewhere the file is not
    // looked at again.
    if (!progreso_activo())
        return;
    struct stat st;
    if (stat(ruta_local(ruta + nombre).c_str(), &st) == 0)
        recuento.bytes += st.st_size;
}

long long sin_publicar()
{
    return recuento.fallidos + omitidos;
}
