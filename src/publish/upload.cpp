// Upload of one file below remoteroot, with creation of missing remote
// directories and one retry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "publish/publish.h"

namespace {

unsigned long turno_actual(directorios &d)
{
    std::lock_guard<std::mutex> l(d.mu);
    return d.turno;
}

// One transfer in image mode. With several connections a 425 (the
// server's passive ports taken) is waited out and the transfer tried again.
desenlace pon(conexion &c, const std::string &local, const std::string &remota, huella *h)
{
    for (int intento = 0;; ++intento) {
        desenlace d = ftp_put(c.sesion, local, remota, h);
        if (d.ok || !c.reintenta_425 || d.codigo != 425 || intento >= 5)
            return d;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 << intento));
    }
}

// One directory creation, with the directory lock held; true when the
// server made it.
bool crea(conexion &c, const char *path, desenlace &ultimo, std::string &fallida)
{
    ultimo = ftp_mkdir(c.sesion, path);
    if (!ultimo.ok) {
        fallida = path;
        return false;
    }
    c.dirs.hechos[path] = ++c.dirs.turno;
    return true;
}

// Why the local file cannot be sent. Checked before the transfer so that a
// file that vanished, cannot be read or would block (a FIFO) is reported
// with its own reason.
quizas_linea falla_local(const std::string &local)
{
    const int fd = abre_regular(local.c_str());
    if (fd < 0)
        return errno ? strerror(errno) : "No es un archivo regular";
    close(fd);
    return std::nullopt;
}

// Whether dir is a folder the server would not make, or lies below one.
bool bajo_fallida(const directorios &d, const std::string &dir)
{
    for (const std::string &f : d.fallidas)
        if (dir == f || (dir.size() > f.size() && dir.compare(0, f.size(), f) == 0 && dir[f.size()] == '/'))
            return true;
    return false;
}

// A folder the server would not make, with the directory lock held. When it
// is the remote root or above it, the root is listed: a root that is there
// (the folder was refused as existing, the file for another reason) keeps
// the run going, one that is not ends it.
void anota_fallida(conexion &c, const std::string &fallida)
{
    const std::string &raiz = c.ajustes.remoteroot;
    const bool sobre_raiz = fallida == raiz || (raiz.size() > fallida.size() &&
                                                raiz.compare(0, fallida.size(), fallida) == 0 &&
                                                (fallida == "/" || raiz[fallida.size()] == '/'));
    if (!sobre_raiz) {
        c.dirs.fallidas.insert(fallida);
        return;
    }
    std::vector<entrada_remota> v;
    desenlace d = ftp_lista(c.sesion, raiz, v);
    if (d.ok || d.detenida || d.perdida)
        return;
    c.dirs.fallidas.insert(fallida);
    c.dirs.raiz_imposible = true;
}

// What an operation's outcome settles by itself: the file stored, the run
// stopped by a lost lock, or, on a first attempt over a lost connection, the
// file handed back; nothing when the caller must look at why it failed.
std::optional<subida> zanjada(const desenlace &d, bool primera)
{
    if (d.ok)
        return subida::guardada;
    if (d.detenida)
        return subida::detenida;
    if (primera && d.perdida)
        return subida::devuelta;
    return std::nullopt;
}

std::string fallo_subida(const std::string &remota, const std::string &local, const std::string &motivo)
{
    return "Error subiendo archivo " + remota + " desde " + local + ":\n" + motivo + "\n";
}

// One attempt at the whole upload. On a first attempt that meets a lost
// connection, returns subida::devuelta having appended nothing.
subida intenta(conexion &c, const std::string &ruta, const std::string &nombre, bool primera, std::string &lineas,
               huella *h)
{
    if (!ftp_vigente(c.sesion))
        return subida::detenida;
    if (raiz_imposible(c.dirs))
        return subida::fallida;
    const std::string local = ruta_local(c.arbol, ruta + nombre);
    const std::string remota = c.ajustes.remoteroot + ruta + nombre;

    quizas_linea motivo = ftp_ruta_rechazada(c.sesion, remota);
    if (!motivo)
        motivo = falla_local(local);
    if (motivo) {
        lineas += fallo_subida(remota, local, *motivo);
        return subida::fallida;
    }
    if (c.sin_conexion) {
        if (primera)
            return subida::devuelta;
        lineas += fallo_subida(remota, local, c.motivo_caida);
        return subida::fallida;
    }

    const unsigned long antes = turno_actual(c.dirs);
    desenlace d = pon(c, local, remota, h);
    if (std::optional<subida> fin = zanjada(d, primera))
        return *fin;
    if (!d.falta_carpeta()) {
        lineas += fallo_subida(remota, local, d.texto());
        return subida::fallida;
    }

    std::string dir = c.ajustes.remoteroot + ruta;
    dir.pop_back();
    {
        std::lock_guard<std::mutex> l(c.dirs.mu);
        // Its folder was reported already.
        if (bajo_fallida(c.dirs, dir))
            return subida::fallida;
        auto hecho = c.dirs.hechos.find(dir);
        if (hecho == c.dirs.hechos.end() || hecho->second <= antes) {
            std::vector<char> texto(dir.begin(), dir.end());
            texto.push_back('\0');
            std::string fallida;
            if (!hazdir(c, texto.data(), lineas, d, fallida)) {
                if (std::optional<subida> fin = zanjada(d, primera))
                    return *fin;
                lineas += "Error creando directorio " + fallida + ":\n" + d.texto() + "\n";
                if (!d.perdida)
                    anota_fallida(c, fallida);
                return subida::fallida;
            }
        }
    }
    d = pon(c, local, remota, h);
    if (std::optional<subida> fin = zanjada(d, primera))
        return *fin;
    lineas += "Error subiendo archivo aun habiendo creado el directorio:\n" + local + " a " + remota + "\n" +
              d.texto() + "\n";
    return subida::fallida;
}

}  // namespace

bool reconecta(conexion &c)
{
    desenlace d = ftp_abre(c.sesion);
    c.sin_conexion = !d.ok;
    if (!d.ok)
        c.motivo_caida = d.texto();
    return d.ok;
}

subida sube(conexion &c, const std::string &ruta, const std::string &nombre, std::string &lineas, huella *h)
{
    // What the first attempt wrote before it met a lost connection is kept
    // apart: a file handed back to another connection writes nothing here.
    std::string primeras;
    subida r = intenta(c, ruta, nombre, true, primeras, h);
    if (r != subida::devuelta) {
        lineas += primeras;
        return r;
    }
    // The server closed the control connection (an idle timeout, a restart):
    // log in again and give the file one more attempt.
    if (!reconecta(c) && c.devolver_si_cae)
        return ftp_vigente(c.sesion) ? subida::devuelta : subida::detenida;
    lineas += primeras;
    return intenta(c, ruta, nombre, false, lineas, h);
}

bool raiz_imposible(directorios &d)
{
    std::lock_guard<std::mutex> l(d.mu);
    return d.raiz_imposible;
}

bool hazdir(conexion &c, char *path, std::string &lineas, desenlace &ultimo, std::string &fallida)
{
    if (crea(c, path, ultimo, fallida))
        return true;
    // Climbing further over a connection that is gone only repeats failures.
    if (ultimo.perdida || ultimo.detenida)
        return false;
    char *barra = nullptr;
    for (char *p = path + strlen(path); p > path + 1;) {
        --p;
        if (*p == '/') {
            barra = p;
            break;
        }
    }
    if (barra) {
        *barra = '\0';
        const bool padre = hazdir(c, path, lineas, ultimo, fallida);
        *barra = '/';
        if (!padre)
            return false;
        return crea(c, path, ultimo, fallida);
    }
    lineas += "Intentamos crear el directorio " + std::string(path) + "\n";
    return crea(c, path, ultimo, fallida);
}

void lista_carpeta(conexion &c, listado_remoto &l)
{
    if (!ftp_vigente(c.sesion)) {
        l.detenida = true;
        return;
    }
    std::vector<entrada_remota> v;
    desenlace d;
    if (!c.sin_conexion)
        d = ftp_lista(c.sesion, l.carpeta, v);
    if (!d.ok && !d.detenida && (c.sin_conexion || d.perdida) && reconecta(c))
        d = ftp_lista(c.sesion, l.carpeta, v);
    l.ok = d.ok;
    l.perdida = c.sin_conexion;
    l.detenida = d.detenida;
    if (!d.ok) {
        l.motivo = c.sin_conexion ? c.motivo_caida : d.texto();
        return;
    }
    l.entradas.reserve(v.size());
    for (entrada_remota &e : v) {
        std::string nombre = e.nombre;
        l.entradas.emplace(std::move(nombre), std::move(e));
    }
}
