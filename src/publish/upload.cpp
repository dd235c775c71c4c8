// Upload of one file below remoteroot, with creation of missing remote
// directories and one retry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"
#include "publish/publish.h"
#include "tree/walk.h"

constinit thread_local std::string *captura = nullptr;
bool reintenta_425 = false;
constinit thread_local bool devolver_si_cae = false;

namespace {

// This thread's connection could not be opened again after it was lost.
thread_local bool sin_conexion = false;

// Directory creation is shared by every connection: one climb at a time,
// and the directories made so far with the turn in which each was made, so
// that an upload refused for a directory that another connection made in
// the meantime is simply sent again.
std::mutex directorios;
std::map<std::string, unsigned long> hechos;
unsigned long turno = 0;

unsigned long turno_actual()
{
    std::lock_guard<std::mutex> l(directorios);
    return turno;
}

// One transfer in image mode; true when the server stored the file. With
// several connections a 425 (the server's passive ports taken) is waited
// out and the transfer tried again.
bool pon(const std::string &local, const std::string &remota, huella *h)
{
    for (int intento = 0;; ++intento) {
        if (ftp_put(buf, local, remota, h))
            return true;
        if (!reintenta_425 || ftp_codigo(buf) != 425 || intento >= 5)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 << intento));
    }
}

// One directory creation, with the directory lock held; nonzero when the
// server made it.
int crea(const char *path)
{
    if (!ftp_mkdir(buf, path))
        return 0;
    hechos[path] = ++turno;
    return 1;
}

// The server refused the upload because the directory is missing: 550, or
// 553 from servers that answer so for a missing directory.
bool falta_directorio()
{
    int c = ftp_codigo(buf);
    return c == 550 || c == 553;
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

void fallo_subida(const std::string &remota, const std::string &local, const std::string &motivo)
{
    escribe("Error subiendo archivo " + remota + " desde " + local + ":\n" + motivo + "\n");
}

enum { perdida = -1 };

// One attempt at the whole upload. Returns 1 when stored and 0 after writing
// the failure lines; on a first attempt that meets a lost connection, returns
// `perdida` having written nothing.
int intenta(const std::string &ruta, const std::string &nombre, bool primera, huella *h)
{
    const std::string local = ruta_local(ruta + nombre);
    const std::string remota = std::string(get_value(conf, "remoteroot")) + ruta + nombre;

    // A line break in a path would end the FTP command early and send the
    // rest of the name as a command of its own.
    std::string motivo;
    if (remota.find_first_of("\r\n") != std::string::npos)
        motivo = "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
    else
        motivo = falla_local(local);
    if (!motivo.empty()) {
        fallo_subida(remota, local, motivo);
        return 0;
    }
    if (sin_conexion) {
        if (primera)
            return perdida;
        fallo_subida(remota, local, ultima_respuesta());
        return 0;
    }

    const unsigned long antes = turno_actual();
    if (pon(local, remota, h))
        return 1;
    if (primera && ftp_perdida(buf))
        return perdida;
    if (!falta_directorio()) {
        fallo_subida(remota, local, ultima_respuesta());
        return 0;
    }

    std::string dir = std::string(get_value(conf, "remoteroot")) + ruta;
    dir.pop_back();
    {
        std::lock_guard<std::mutex> l(directorios);
        auto hecho = hechos.find(dir);
        if (hecho == hechos.end() || hecho->second <= antes) {
            std::vector<char> texto(dir.begin(), dir.end());
            texto.push_back('\0');
            if (!hazdir(texto.data())) {
                if (primera && ftp_perdida(buf))
                    return perdida;
                escribe("Error creando directorio " + dir + ":\n" + ultima_respuesta() + "\n");
                return 0;
            }
        }
    }
    if (pon(local, remota, h))
        return 1;
    if (primera && ftp_perdida(buf))
        return perdida;
    escribe("Error subiendo archivo aun habiendo creado el directorio:\n" + local + " a " + remota + "\n" +
            ultima_respuesta() + "\n");
    return 0;
}

}  // namespace

std::string ultima_respuesta() { return ftp_respuesta(buf); }

bool reconecta()
{
    sin_conexion = ftp_abre(buf) != apertura::ok;
    return !sin_conexion;
}

int sube(const std::string &ruta, const std::string &nombre, huella *h)
{
    int r = intenta(ruta, nombre, true, h);
    if (r != perdida)
        return r;
    // The server closed the control connection (an idle timeout, a restart):
    // log in again and give the file one more attempt.
    if (!reconecta() && devolver_si_cae)
        return devuelto;
    return intenta(ruta, nombre, false, h);
}

int hazdir(char *path)
{
    if (crea(path))
        return 1;
    // Climbing further over a connection that is gone only repeats failures.
    if (ftp_perdida(buf))
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
        int padre = hazdir(path);
        *barra = '/';
        if (!padre)
            return 0;
        return crea(path);
    }
    escribe("Intentamos crear el directorio " + std::string(path) + "\n");
    return crea(path);
}

void escribe(const std::string &texto)
{
    if (captura) {
        *captura += texto;
        return;
    }
    espera_registro();
    progreso_borra();
    fwrite(texto.data(), 1, texto.size(), stdout);
}

void sigproc(int)
{
    progreso_corta();
    escribe_retenida();
    _exit(130);
}
