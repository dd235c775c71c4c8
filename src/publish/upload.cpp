// Upload of one file below remoteroot, with creation of missing remote
// directories and one retry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"
#include "publish/publish.h"
#include "publish/session.h"
#include "tree/walk.h"

namespace {

// ftplib composes each command in a buffer of this size and refuses,
// without sending anything, a path that does not fit.
constexpr size_t max_comando = 1024;

// The server accepted the transfer: the library sent the data and the final
// reply is positive. ftplib reports success once the data is sent, even when
// the server then answers 426 or 451 and keeps a truncated file.
bool almacenado(int put)
{
    if (!put)
        return false;
    const char *r = FtpLastResponse(buf);
    return r && r[0] == '2';
}

// One transfer in image mode; true when the server stored the file.
bool pon(const std::string &local, const std::string &remota)
{
    olvida_respuesta();
    return almacenado(FtpPut(local.c_str(), remota.c_str(), FTPLIB_IMAGE, buf));
}

// One directory creation; nonzero when the server made it.
int crea(const char *path)
{
    olvida_respuesta();
    return FtpMkdir(path, buf);
}

// The server refused the upload because the directory is missing: 550, or
// 553 from servers that answer so for a missing directory.
bool falta_directorio()
{
    const char *r = FtpLastResponse(buf);
    return r && (strncmp(r, "550", 3) == 0 || strncmp(r, "553", 3) == 0);
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
    espera_registro();
    progreso_borra();
    printf("Error subiendo archivo %s desde %s:\n", remota.c_str(), local.c_str());
    printf("%s\n", motivo.c_str());
}

enum { perdida = -1 };

// One attempt at the whole upload. Returns 1 when stored and 0 after writing
// the failure lines; on a first attempt that meets a lost connection, returns
// `perdida` having written nothing.
int intenta(const std::string &ruta, const std::string &nombre, bool primera)
{
    const std::string local = ruta_local(ruta + nombre);
    const std::string remota = std::string(get_value(conf, "remoteroot")) + ruta + nombre;

    // A line break in a path would end the FTP command early and send the
    // rest of the name as a command of its own.
    std::string motivo;
    if (remota.find_first_of("\r\n") != std::string::npos)
        motivo = "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
    else if (remota.size() + 7 > max_comando)
        motivo = "Ruta remota demasiado larga para la biblioteca FTP";
    else
        motivo = falla_local(local);
    if (!motivo.empty()) {
        fallo_subida(remota, local, motivo);
        return 0;
    }
    if (!buf) {
        if (primera)
            return perdida;
        fallo_subida(remota, local, ultima_respuesta());
        return 0;
    }

    if (pon(local, remota))
        return 1;
    if (primera && conexion_perdida())
        return perdida;
    if (!falta_directorio()) {
        fallo_subida(remota, local, ultima_respuesta());
        return 0;
    }

    std::string dir = std::string(get_value(conf, "remoteroot")) + ruta;
    dir.pop_back();
    std::vector<char> texto(dir.begin(), dir.end());
    texto.push_back('\0');
    if (!hazdir(texto.data())) {
        if (primera && conexion_perdida())
            return perdida;
        espera_registro();
        progreso_borra();
        printf("Error creando directorio %s:\n", texto.data());
        printf("%s\n", ultima_respuesta().c_str());
        return 0;
    }
    if (pon(local, remota))
        return 1;
    if (primera && conexion_perdida())
        return perdida;
    espera_registro();
    progreso_borra();
    printf("Error subiendo archivo aun habiendo creado el directorio:\n%s a %s\n", local.c_str(), remota.c_str());
    printf("%s\n", ultima_respuesta().c_str());
    return 0;
}

}  // namespace

int sube(const std::string &ruta, const std::string &nombre)
{
    int r = intenta(ruta, nombre, true);
    if (r != perdida)
        return r;
    // The server closed the control connection (an idle timeout, a restart):
    // log in again and give the file one more attempt.
    reconecta();
    return intenta(ruta, nombre, false);
}

int hazdir(char *path)
{
    if (crea(path))
        return 1;
    // Climbing further over a connection that is gone only repeats failures.
    if (conexion_perdida())
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
    espera_registro();
    progreso_borra();
    printf("Intentamos crear el directorio %s\n", path);
    return crea(path);
}

void sigproc(int)
{
    progreso_corta();
    escribe_retenida();
    _exit(130);
}
