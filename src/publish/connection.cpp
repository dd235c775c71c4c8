// The FTP connection: connect and log in, the last reply, reconnection.
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "publish/publish.h"
#include "publish/session.h"

netbuf *buf = nullptr;

namespace {

// Why the last attempt to connect or log in failed when the library has no
// reply text to show for it.
std::string motivo;

// ftplib refuses, without sending them, a user or password longer than this.
constexpr size_t max_credencial = 57;

}  // namespace

std::string ultima_respuesta()
{
    if (buf) {
        const char *r = FtpLastResponse(buf);
        if (r && *r)
            return r;
    }
    return motivo.empty() ? "Sin respuesta del servidor" : motivo;
}

void olvida_respuesta()
{
    // ftplib keeps the previous reply when the server closes the connection
    // without a word; an emptied text then shows that no reply came.
    if (buf)
        if (char *r = FtpLastResponse(buf))
            *r = '\0';
}

std::string direccion()
{
    return std::string(get_value(conf, "ftpserver")) + ":" + get_value(conf, "ftpport");
}

bool abre_conexion()
{
    buf = nullptr;
    // ftplib keeps no reply after a failed connection; find the host first so
    // that a name that does not resolve is reported as such.
    struct addrinfo pista {};
    pista.ai_family = AF_INET;
    pista.ai_socktype = SOCK_STREAM;
    struct addrinfo *hallado = nullptr;
    int e = getaddrinfo(get_value(conf, "ftpserver"), nullptr, &pista, &hallado);
    if (e != 0) {
        motivo = gai_strerror(e);
        return false;
    }
    freeaddrinfo(hallado);

    errno = 0;
    netbuf *nuevo = nullptr;
    if (!FtpConnect(direccion().c_str(), &nuevo)) {
        motivo = errno ? strerror(errno) : "El servidor no acepto la conexion";
        return false;
    }
    buf = nuevo;
    motivo.clear();
    return true;
}

bool identifica()
{
    const char *user = get_value(conf, "ftpuser");
    const char *pass = get_value(conf, "ftppass");
    const char *no_enviables = nullptr;
    if (strlen(user) > max_credencial || strlen(pass) > max_credencial)
        no_enviables = "Usuario o clave de mas de 57 bytes: la biblioteca FTP no los envia";
    else if (strpbrk(user, "\r\n") || strpbrk(pass, "\r\n"))
        no_enviables = "Usuario o clave con un salto de linea, que el protocolo FTP no admite";
    if (no_enviables) {
        motivo = no_enviables;
        FtpQuit(buf);
        buf = nullptr;
        return false;
    }
    // ftplib judges a reply it failed to read by the one before it (the
    // greeting); emptied, a connection closed without a word fails the login.
    olvida_respuesta();
    return FtpLogin(user, pass, buf) != 0;
}

bool conexion_perdida()
{
    if (!buf)
        return true;
    // A command that failed without a 4xx or 5xx reply got no answer: the
    // last reply is that of an earlier command (TYPE, PASV, the 150 before
    // the data) or the text emptied before sending.
    const char *r = FtpLastResponse(buf);
    if (!r || (r[0] != '4' && r[0] != '5'))
        return true;
    return strncmp(r, "421", 3) == 0;
}

bool reconecta()
{
    if (buf) {
        FtpQuit(buf);
        buf = nullptr;
    }
    if (!abre_conexion())
        return false;
    if (!identifica()) {
        // Keep the server's answer for the report, then drop the connection.
        if (buf) {
            motivo = ultima_respuesta();
            FtpQuit(buf);
            buf = nullptr;
        }
        return false;
    }
    return true;
}
