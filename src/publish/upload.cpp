// Upload of one file below remoteroot, with creation of missing remote
// directories and one retry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "publish/publish.h"

namespace {

unsigned long turno_actual(directorios &d)
{
    std::lock_guard<std::mutex> l(d.mu);
    return d.turno;
}

// One transfer in image mode; true when the server stored the file. With
// several connections a 425 (the server's passive ports taken) is waited
// out and the transfer tried again.
bool pon(conexion &c, const std::string &local, const std::string &remota, huella *h)
{
    for (int intento = 0;; ++intento) {
        if (ftp_put(c.s, local, remota, h))
            return true;
        if (!c.reintenta_425 || ftp_codigo(c.s) != 425 || intento >= 5)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 << intento));
    }
}

// One directory creation, with the directory lock held; nonzero when the
// server made it.
int crea(conexion &c, const char *path)
{
    if (!ftp_mkdir(c.s, path))
        return 0;
    c.dirs.hechos[path] = ++c.dirs.turno;
    return 1;
}

// Why the local file cannot be sent, or an empty text when it can. Checked
// before the transfer so that a file that vanished, cannot be read or would
// block (a FIFO) is reported with its own reason.
std::string falla_local(const std::string &local)
{
    int fd = open(local.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular)
        return "No es un archivo regular";
    return {};
}

std::string fallo_subida(const std::string &remota, const std::string &local, const std::string &motivo)
{
    return "Error subiendo archivo " + remota + " desde " + local + ":\n" + motivo + "\n";
}

enum { perdida = -1 };

// One attempt at the whole upload. Returns 1 when stored and 0 after
// appending the failure lines; on a first attempt that meets a lost
// connection, returns `perdida` having appended nothing.
int intenta(conexion &c, const std::string &ruta, const std::string &nombre, bool primera, std::string &lineas,
            huella *h)
{
    const std::string local = ruta_local(c.t, ruta + nombre);
    const std::string remota = c.a.remoteroot + ruta + nombre;

    // A line break in a path would end the FTP command early and send the
    // rest of the name as a command of its own.
    std::string motivo;
    if (remota.find_first_of("\r\n") != std::string::npos)
        motivo = "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
    else
        motivo = falla_local(local);
    if (!motivo.empty()) {
        lineas += fallo_subida(remota, local, motivo);
        return 0;
    }
    if (c.sin_conexion) {
        if (primera)
            return perdida;
        lineas += fallo_subida(remota, local, ftp_respuesta(c.s));
        return 0;
    }

    const unsigned long antes = turno_actual(c.dirs);
    if (pon(c, local, remota, h))
        return 1;
    if (primera && ftp_perdida(c.s))
        return perdida;
    if (!ftp_falta_carpeta(c.s)) {
        lineas += fallo_subida(remota, local, ftp_respuesta(c.s));
        return 0;
    }

    std::string dir = c.a.remoteroot + ruta;
    dir.pop_back();
    {
        std::lock_guard<std::mutex> l(c.dirs.mu);
        auto hecho = c.dirs.hechos.find(dir);
        if (hecho == c.dirs.hechos.end() || hecho->second <= antes) {
            std::vector<char> texto(dir.begin(), dir.end());
            texto.push_back('\0');
            if (!hazdir(c, texto.data(), lineas)) {
                if (primera && ftp_perdida(c.s))
                    return perdida;
                lineas += "Error creando directorio " + dir + ":\n" + ftp_respuesta(c.s) + "\n";
                return 0;
            }
        }
    }
    if (pon(c, local, remota, h))
        return 1;
    if (primera && ftp_perdida(c.s))
        return perdida;
    lineas += "Error subiendo archivo aun habiendo creado el directorio:\n" + local + " a " + remota + "\n" +
              ftp_respuesta(c.s) + "\n";
    return 0;
}

}  // namespace

bool reconecta(conexion &c)
{
    c.sin_conexion = ftp_abre(c.s) != apertura::ok;
    return !c.sin_conexion;
}

int sube(conexion &c, const std::string &ruta, const std::string &nombre, std::string &lineas, huella *h)
{
    // What the first attempt wrote before it met a lost connection is kept
    // apart: a file handed back to another connection writes nothing here.
    std::string primeras;
    int r = intenta(c, ruta, nombre, true, primeras, h);
    if (r != perdida) {
        lineas += primeras;
        return r;
    }
    // The server closed the control connection (an idle timeout, a restart):
    // log in again and give the file one more attempt.
    if (!reconecta(c) && c.devolver_si_cae)
        return devuelto;
    lineas += primeras;
    return intenta(c, ruta, nombre, false, lineas, h);
}

int hazdir(conexion &c, char *path, std::string &lineas)
{
    if (crea(c, path))
        return 1;
    // Climbing further over a connection that is gone only repeats failures.
    if (ftp_perdida(c.s))
        return 0;
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
        int padre = hazdir(c, path, lineas);
        *barra = '/';
        if (!padre)
            return 0;
        return crea(c, path);
    }
    lineas += "Intentamos crear el directorio " + std::string(path) + "\n";
    return crea(c, path);
}

void lista_carpeta(conexion &c, listado_remoto &l)
{
    std::vector<entrada_remota> v;
    bool ok = !c.sin_conexion && ftp_lista(c.s, l.carpeta, v);
    if (!ok && (c.sin_conexion || ftp_perdida(c.s)) && reconecta(c))
        ok = ftp_lista(c.s, l.carpeta, v);
    l.ok = ok;
    l.perdida = c.sin_conexion;
    if (!ok) {
        l.motivo = ftp_respuesta(c.s);
        return;
    }
    l.entradas.reserve(v.size());
    for (entrada_remota &e : v) {
        std::string nombre = e.nombre;
        l.entradas.emplace(std::move(nombre), std::move(e));
    }
}
