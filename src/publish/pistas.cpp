// Hints after a failed connection or login: the texts, and the reads of the
// known-hosts file and of the private key file that some of them need.
#include "publish/pistas.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

bool contiene(const std::string &texto, const char *pieza) { return strcasestr(texto.c_str(), pieza) != nullptr; }

// A path as one word of a shell command: quoted when it holds anything but
// the characters paths are usually made of.
std::string para_shell(const std::string &p)
{
    bool simple = !p.empty();
    for (unsigned char c : p)
        if (!isalnum(c) && !strchr("_./~:@%+=,-", c))
            simple = false;
    if (simple)
        return p;
    std::string out = "'";
    for (char c : p)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string base64(const std::string &texto)
{
    std::string limpio;
    for (char c : texto)
        if (!isspace(static_cast<unsigned char>(c)))
            limpio += c;
    if (limpio.empty() || limpio.size() % 4 != 0)
        return {};
    std::string out(limpio.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(limpio.data()), static_cast<int>(limpio.size()));
    if (n < 0)
        return {};
    size_t largo = static_cast<size_t>(n);
    for (size_t i = limpio.size(); i > 0 && limpio[i - 1] == '=' && largo > 0; --i)
        --largo;
    out.resize(largo);
    return out;
}

// Whether one host pattern of a known-hosts line names the host: as
// written (wildcards allowed), or hashed ("|1|salt|hash", HMAC-SHA1).
bool nombra(const std::string &patron, const std::string &nombre)
{
    if (patron.rfind("|1|", 0) == 0) {
        const size_t barra = patron.find('|', 3);
        if (barra == std::string::npos)
            return false;
        const std::string sal = base64(patron.substr(3, barra - 3)), huella = base64(patron.substr(barra + 1));
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (sal.empty() || !HMAC(EVP_sha1(), sal.data(), static_cast<int>(sal.size()),
                                 reinterpret_cast<const unsigned char *>(nombre.data()), nombre.size(), d, &n))
            return false;
        return huella == std::string(reinterpret_cast<const char *>(d), n);
    }
    // Only "*" and "?" are wildcards: the brackets of "[host]:port" are not.
    std::string escapado;
    for (char c : patron) {
        if (c == '[' || c == ']' || c == '\\')
            escapado += '\\';
        escapado += c;
    }
    return fnmatch(escapado.c_str(), nombre.c_str(), 0) == 0;
}

}  // namespace

saludo clase_de_saludo(std::string_view p)
{
    if (p.rfind("SSH-", 0) == 0)
        return saludo::ssh;
    if (p.size() >= 4 && isdigit(static_cast<unsigned char>(p[0])) && isdigit(static_cast<unsigned char>(p[1])) &&
        isdigit(static_cast<unsigned char>(p[2])) && (p[3] == ' ' || p[3] == '-'))
        return saludo::ftp;
    return saludo::otro;
}

std::string primera_linea(std::string_view p)
{
    const size_t fin = p.find_first_of("\r\n");
    return std::string(p.substr(0, fin));
}

std::string primeros_del_servidor(const ajustes &a, int ms)
{
    addrinfo pide{};
    pide.ai_socktype = SOCK_STREAM;
    addrinfo *lista = nullptr;
    if (getaddrinfo(a.ftpserver.c_str(), a.ftpport.c_str(), &pide, &lista) != 0)
        return {};
    std::string out;
    for (addrinfo *i = lista; i && out.empty(); i = i->ai_next) {
        const int fd = socket(i->ai_family, i->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, i->ai_protocol);
        if (fd < 0)
            continue;
        pollfd p{fd, POLLOUT, 0};
        if ((connect(fd, i->ai_addr, i->ai_addrlen) == 0 || (errno == EINPROGRESS && poll(&p, 1, ms) == 1)) &&
            (p = pollfd{fd, POLLIN, 0}, poll(&p, 1, ms) == 1)) {
            char b[256];
            const ssize_t n = recv(fd, b, sizeof b, 0);
            if (n > 0)
                out.assign(b, static_cast<size_t>(n));
        }
        close(fd);
    }
    freeaddrinfo(lista);
    return out;
}

std::string pista_protocolo(saludo s)
{
    if (s == saludo::ssh)
        return "El servidor saluda como un servidor SSH: para publicar por SFTP use protocol = \"sftp\"";
    if (s == saludo::ftp)
        return "El servidor saluda como un servidor FTP: para publicar por FTP use protocol = \"ftp\"";
    return {};
}

std::string pista_ftp(const ajustes &a, const std::string &respuesta, const std::string &error_tls, bool sin_auth)
{
    const bool habla_de_tls = contiene(respuesta, "TLS") || contiene(respuesta, "SSL") ||
                              contiene(respuesta, "encrypt") || contiene(respuesta, "secur");
    if (a.tls == modo_tls::no) {
        // A clear login refused by a server that takes TLS sessions only.
        if (habla_de_tls && (respuesta.rfind("421", 0) == 0 || respuesta.rfind("530", 0) == 0 ||
                             respuesta.rfind("534", 0) == 0 || respuesta.rfind("550", 0) == 0))
            return "El servidor exige TLS: use ftptls = \"explicit\"";
        return {};
    }
    // AUTH refused: the server has no TLS on this port.
    if (a.tls == modo_tls::explicito && sin_auth)
        return "El servidor no ofrece TLS en este puerto: use ftptls = \"no\" (usuario, clave y archivos viajaran "
               "sin cifrar)";
    if (a.cafile.empty() &&
        (contiene(error_tls, "self-signed certificate") || contiene(error_tls, "self signed certificate") ||
         contiene(error_tls, "unable to get local issuer certificate")))
        return "El certificado del servidor no es de una autoridad conocida: si es el suyo, nombrelo con "
               "ftpcafile = \"/ruta/del/certificado.pem\"";
    return {};
}

std::string orden_keyscan(const ajustes &a)
{
    const size_t barra = a.sshknownhosts.rfind('/');
    std::string crea;
    if (barra != std::string::npos && barra > 0)
        crea = "mkdir -p " + para_shell(a.sshknownhosts.substr(0, barra)) + " && ";
    return crea + "ssh-keyscan -t ed25519,ecdsa -p " + a.ftpport + " " + para_shell(a.ftpserver) + " >> " +
           para_shell(a.sshknownhosts);
}

std::string primera_clave_guardada(const ajustes &a)
{
    std::ifstream f(a.sshknownhosts);
    // The names a line may give the server by: "[host]:port", and the host
    // alone on port 22.
    std::vector<std::string> nombres = {"[" + a.ftpserver + "]:" + a.ftpport};
    if (a.puerto_ftp == 22)
        nombres.push_back(a.ftpserver);
    std::string linea;
    while (std::getline(f, linea)) {
        std::istringstream partes(linea);
        std::string anfitriones, tipo;
        if (!(partes >> anfitriones) || anfitriones[0] == '#')
            continue;
        if (anfitriones[0] == '@')  // @cert-authority, @revoked
            continue;
        if (!(partes >> tipo))
            continue;
        bool si = false, negado = false;
        std::istringstream lista(anfitriones);
        std::string patron;
        while (std::getline(lista, patron, ',')) {
            const bool no = !patron.empty() && patron[0] == '!';
            for (const std::string &n : nombres) {
                if (nombra(no ? patron.substr(1) : patron, n))
                    (no ? negado : si) = true;
            }
        }
        if (si && !negado)
            return tipo;
    }
    return {};
}

std::string pista_clave_rsa(const ajustes &a)
{
    if (primera_clave_guardada(a) != "ssh-rsa")
        return {};
    return "El archivo " + a.sshknownhosts + " guarda para " + a.ftpserver + ":" + a.ftpport +
           " una clave ssh-rsa, que la biblioteca SSH no puede comprobar con este servidor: quite esa linea y "
           "agregue las de otro tipo con: " +
           orden_keyscan(a);
}

int clave_con_frase(const std::string &path)
{
    std::ifstream f(path);
    std::string linea, cuerpo;
    bool openssh = false, dentro = false;
    while (std::getline(f, linea)) {
        if (!linea.empty() && linea.back() == '\r')
            linea.pop_back();
        if (linea.rfind("-----BEGIN ", 0) == 0) {
            if (linea.find("ENCRYPTED PRIVATE KEY") != std::string::npos)
                return 1;
            openssh = linea.find("OPENSSH PRIVATE KEY") != std::string::npos;
            dentro = true;
            continue;
        }
        if (!dentro)
            continue;
        if (linea.rfind("Proc-Type:", 0) == 0)
            return linea.find("ENCRYPTED") != std::string::npos ? 1 : 0;
        if (linea.rfind("-----END ", 0) == 0 || cuerpo.size() >= 64)
            break;
        if (linea.find(':') == std::string::npos)
            cuerpo += linea;
    }
    if (!dentro)
        return -1;
    if (!openssh)
        return 0;
    // "openssh-key-v1" NUL, then the cipher's name as a string: "none" for
    // a key without a passphrase.
    const std::string bytes = base64(cuerpo.substr(0, cuerpo.size() / 4 * 4));
    const std::string marca("openssh-key-v1\0", 15);
    if (bytes.size() < marca.size() + 4 || bytes.compare(0, marca.size(), marca) != 0)
        return -1;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data()) + marca.size();
    const size_t largo = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
    if (bytes.size() < marca.size() + 4 + largo)
        return -1;
    return bytes.compare(marca.size() + 4, largo, "none") == 0 ? 0 : 1;
}

std::string motivo_frase(const ajustes &a)
{
    return "La frase de paso no abre la clave privada de sshkeyfile ('" + a.sshkeyfile + "')";
}

std::string pista_frase() { return "Escriba en ftppass la frase de paso de esa clave"; }
