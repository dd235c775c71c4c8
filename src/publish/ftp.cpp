// The FTP connection over libcurl.
//
// Each connection is one easy handle driven through a multi handle of its
// own: the multi handle keeps the logged-in control connection between
// operations, and driving it with curl_multi_poll avoids the pause that
// curl_easy_perform may take before opening a data connection to a server
// that answers very fast. Files are stored with `STOR /full/path` (no CWD);
// directories are made with a quoted `MKD` whose refusal keeps the
// connection. Every reply line passes through `cabecera`, so the last one is
// at hand for the failure lines, as the server wrote it.
//
// With protocol = "sftp" the same handles carry an SSH session instead: one
// login per connection, kept between operations like the FTP control
// connection. Files are written straight to their path, folders are made and
// files removed with quoted `mkdir` and `rm`, and the server's refusals are
// shown as its status texts ("No such file"). The host key is checked
// against the known-hosts file on every new connection (`clave_servidor`),
// before anything of the login is sent.
#include "publish/ftp.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <strings.h>

#include "tree/walk.h"

struct sesion {
    const ajustes *a = nullptr;
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    std::string respuesta;  // last reply line of the last operation, LF-ended
    std::string motivo;     // why the last operation failed
    int codigo = 0;         // code of respuesta, 0 when there is none
    bool primera = false;   // the next reply line is a greeting
    bool saludo = false;    // the greeting was positive
    bool mudo = false;      // no greeting came in time
    bool perdida = false;
    bool fallo_tls = false; // the last operation failed in TLS
    int fd = -1;            // the file being stored
    int error_lectura = 0;  // errno of a failed read of it
    EVP_MD_CTX *sha = nullptr;  // digest of the bytes sent, when asked for
    // The control connection's socket, watched besides the library's own
    // sockets (see espera); CURL_SOCKET_BAD when unknown.
    curl_socket_t control = CURL_SOCKET_BAD;
    bool control_desperto = false;  // the last wait ended on it
    bool control_fuera = false;     // not watched again in this operation
    bool preliminar = false;        // a 1xx reply came: the server took the STOR
    std::set<std::string> carpetas;  // folders known to exist on the server
    std::string datos;          // what the last listing brought
    int forma_lista = 0;        // 0 MLSD, 1 "LIST -a", 2 LIST: the first the server takes
    bool renombre = false;      // the last upload was stored but not renamed
    // SFTP only:
    int estado_sftp = -1;       // status of the server's last refusal, -1 without one
    CURLcode resultado = CURLE_OK;  // the library's outcome of the last operation
    std::string rechazo_clave;  // why the host key was not accepted
    bool estancada = false;     // the last operation made no progress for plazo seconds
    std::chrono::steady_clock::time_point avance;  // last sign of progress
};

namespace {

// "ftp://host/" with an IPv6 address between brackets.
std::string base(const sesion *s)
{
    std::string host = s->a->ftpserver;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    if (s->a->sftp)
        return "sftp://" + host + "/";
    return std::string(s->a->tls == modo_tls::implicito ? "ftps://" : "ftp://") + host + "/";
}

// Over SFTP a remoteroot that is empty or does not start with "/" is taken
// from the login folder: the path as the server sees it, relative then.
std::string ruta_sftp(const sesion *s, const std::string &path)
{
    const std::string &raiz = s->a->remoteroot;
    if (!raiz.empty() && raiz[0] == '/')
        return path;
    size_t i = 0;
    while (i < path.size() && path[i] == '/')
        ++i;
    return path.substr(i);
}

// The path in a quoted SFTP command: raw bytes between double quotes, with
// the quote and the backslash escaped.
std::string entre_comillas(const std::string &path)
{
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A remote path as the path of a URL: every byte but "/" escaped, and over
// FTP a leading "/" written %2F so that it stays part of the path sent.
std::string url_de(const sesion *s, const std::string &remota)
{
    CURL *easy = s->easy;
    std::string out = base(s);
    size_t i = 0;
    // SFTP takes the URL's path as written, and "/~/" as the login folder.
    const std::string path = s->a->sftp ? ruta_sftp(s, remota) : remota;
    if (!path.empty() && path[0] == '/') {
        if (!s->a->sftp)
            out += "%2F";
        i = 1;
    } else if (s->a->sftp) {
        out += "~/";
    }
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i) {
            char *e = curl_easy_escape(easy, path.data() + i, static_cast<int>(j - i));
            if (e) {
                out += e;
                curl_free(e);
            }
        }
        if (j < path.size())
            out += '/';
        i = j + 1;
    }
    return out;
}

size_t cabecera(char *p, size_t size, size_t n, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    size_t len = size * n;
    if (len >= 3 && p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9') {
        std::string linea(p, len);
        while (!linea.empty() && (linea.back() == '\n' || linea.back() == '\r'))
            linea.pop_back();
        s->respuesta = linea + "\n";
        // A "NNN-" line opens a multi-line reply; its code is the same.
        s->codigo = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
        if (p[0] == '1')
            s->preliminar = true;
        if (s->primera) {
            s->primera = false;
            s->saludo = p[0] == '2';
        }
    }
    return len;
}

size_t escritura(char *p, size_t size, size_t n, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    s->avance = std::chrono::steady_clock::now();
    s->datos.append(p, size * n);
    return size * n;
}

size_t lectura(char *dest, size_t size, size_t n, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    for (;;) {
        ssize_t r = read(s->fd, dest, size * n);
        if (r >= 0) {
            s->avance = std::chrono::steady_clock::now();
            if (s->sha && r > 0)
                EVP_DigestUpdate(s->sha, dest, static_cast<size_t>(r));
            return static_cast<size_t>(r);
        }
        if (errno == EINTR)
            continue;
        s->error_lectura = errno;
        return CURL_READFUNC_ABORT;
    }
}

bool error_tls(CURLcode c)
{
    switch (c) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return true;
    default:
        return false;
    }
}

void nuevo_multi(sesion *s)
{
    if (s->multi)
        curl_multi_cleanup(s->multi);
    s->multi = curl_multi_init();
    s->control = CURL_SOCKET_BAD;
    // One control connection per handle: a new one replaces the old.
    curl_multi_setopt(s->multi, CURLMOPT_MAXCONNECTS, 1L);
}

// Waits until the connection has something to do. Between some steps (after
// a passive-mode reply, before the data connection is opened) the library
// has no socket to wait on, only its long timers, and must simply be called
// again: a poll then would sleep on every file. Only a long run of such
// calls (a name being resolved) waits a millisecond at a time.
void espera(sesion *s, int &sin_socket)
{
    CURLM *multi = s->multi;
    long t = -1;
    curl_multi_timeout(multi, &t);
    if (t == 0)
        return;
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    int max = -1;
    curl_multi_fdset(multi, &r, &w, &e, &max);
    if (max == -1) {
        if (++sin_socket < 100)
            return;
        t = 1;
    } else {
        sin_socket = 0;
    }
    // While the data connection's TLS handshake is unfinished the library
    // waits on that socket alone, although the server may already have
    // answered on the control connection (the TYPE or STOR reply; with a
    // refused STOR the handshake never finishes): watch the control socket
    // too. If the library left it readable after a wake-up, it has no use
    // for it now and watching it would only spin.
    if (s->control_desperto && !s->control_fuera) {
        pollfd p{s->control, POLLIN, 0};
        if (poll(&p, 1, 0) == 1)
            s->control_fuera = true;
    }
    s->control_desperto = false;
    curl_waitfd extra{};
    unsigned n = 0;
    if (max != -1 && !s->control_fuera && s->control != CURL_SOCKET_BAD && s->control < FD_SETSIZE &&
        !FD_ISSET(s->control, &r)) {
        extra.fd = s->control;
        extra.events = CURL_WAIT_POLLIN;
        n = 1;
    }
    curl_multi_poll(multi, n ? &extra : nullptr, n, static_cast<int>(t < 0 || t > 1000 ? 1000 : t), nullptr);
    if (n && extra.revents)
        s->control_desperto = true;
}

// The connection's TCP part was made (the server accepted it).
bool tcp_conectado(sesion *s)
{
    double t = 0;
    return curl_easy_getinfo(s->easy, CURLINFO_CONNECT_TIME, &t) == CURLE_OK && t > 0;
}

// Seconds a new connection waits for the server's greeting.
long plazo_saludo(const sesion *s) { return s->a->plazo < 15 ? s->a->plazo : 15; }

// With implicit TLS, a server that answers the handshake in clear text is
// one that speaks plain FTP first: says so in words.
std::string sin_tls_implicito(const sesion *s)
{
    if (s->a->tls != modo_tls::implicito || !s->primera || !strstr(s->error, "wrong version number"))
        return "";
    return " (el servidor no empieza con TLS; si acepta AUTH TLS, use ftptls = \"explicit\")";
}

// SFTP status texts as OpenSSH's own client words them, by status number.
const char *const textos_sftp[] = {
    "Success",        "End of file",     "No such file",         "Permission denied",
    "Failure",        "Bad message",     "No connection",        "Connection lost",
    "Operation unsupported", "Invalid handle", "No such path",   "File already exists",
    "Write protected", "No media",       "No space on filesystem", "Quota exceeded",
    "Unknown principal", "Lock conflict", "Directory not empty", "Not a directory",
    "Invalid filename", "Link loop",
};
constexpr int n_textos_sftp = static_cast<int>(sizeof textos_sftp / sizeof *textos_sftp);

// The library's words for the same statuses, which it writes after
// "command failed: " when a quoted command is refused.
const char *const textos_libreria[] = {
    "OK", "End of file", "No such file or directory", "Permission denied", "Operation failed",
    "Bad message from SFTP server", "Not connected to SFTP server", "Connection to SFTP server lost",
    "Operation not supported by SFTP server", "Invalid handle", "No such file or directory",
    "File already exists", "File is write protected", "No media", "Disk full", "User quota exceeded",
    "Unknown principal", "File lock conflict", "Directory not empty", "Not a directory",
    "Invalid filename", "Link points to itself",
};

// The SFTP status of the refusal in the library's error text: "... (N/-31)"
// after an upload, "CMD command failed: TEXT" after a quoted command. -1
// when the text holds none.
int estado_en(const std::string &error)
{
    const size_t fin = error.rfind("/-31)");
    const size_t abre = error.rfind('(', fin);
    if (fin != std::string::npos && abre != std::string::npos && fin > abre + 1) {
        int n = 0;
        for (size_t i = abre + 1; i < fin; ++i) {
            if (error[i] < '0' || error[i] > '9' || n > 1000)
                return -1;
            n = n * 10 + (error[i] - '0');
        }
        return n;
    }
    const std::string marca = " command failed: ";
    const size_t m = error.find(marca);
    if (m == std::string::npos)
        return -1;
    const std::string texto = error.substr(m + marca.size());
    for (int i = 0; i < n_textos_sftp; ++i)
        if (texto == textos_libreria[i])
            return i;
    return -1;
}

// Sorts out a failed SFTP operation. A refusal with a status keeps the
// connection; a write cut short, a stall, a lost connection do not, and the
// library then leaves no text of its own.
bool falla_sftp(sesion *s, CURLcode res)
{
    long os = 0;
    curl_easy_getinfo(s->easy, CURLINFO_OS_ERRNO, &os);
    s->perdida = true;
    int estado = s->estancada ? -1 : estado_en(s->error);
    // A folder that cannot be opened for listing leaves only the code.
    if (estado < 0 && res == CURLE_REMOTE_FILE_NOT_FOUND)
        estado = 2;
    else if (estado < 0 && res == CURLE_REMOTE_ACCESS_DENIED)
        estado = 3;
    if (!s->rechazo_clave.empty()) {
        s->motivo = s->rechazo_clave;
    } else if (res == CURLE_ABORTED_BY_CALLBACK && s->error_lectura) {
        s->motivo = strerror(s->error_lectura);
        s->perdida = false;
    } else if (estado > 0) {
        s->estado_sftp = estado;
        s->motivo = std::string(estado < n_textos_sftp ? textos_sftp[estado] : "Unknown status") + "\n";
        s->perdida = false;
    } else if (s->estancada || res == CURLE_OPERATION_TIMEDOUT) {
        s->motivo = "El servidor no respondio en " + std::to_string(s->a->plazo) + " s";
    } else if (res == CURLE_LOGIN_DENIED) {
        s->motivo = "El servidor SSH no acepta el usuario con esa clave o llave";
    } else if (os) {
        s->motivo = strerror(static_cast<int>(os));
    } else if (s->error[0]) {
        s->motivo = s->error;
    } else if (res == CURLE_SSH || res == CURLE_SEND_ERROR || res == CURLE_RECV_ERROR) {
        s->motivo = "La conexion SSH se corto durante la operacion";
    } else {
        s->motivo = curl_easy_strerror(res);
    }
    // The connection cannot be trusted after a stall: the next operation
    // logs in again over a new one.
    if (s->estancada)
        nuevo_multi(s);
    return false;
}

// Runs the operation set on the easy handle to its end and sorts out its
// outcome: the reply, why it failed, whether the connection is gone.
bool ejecuta(sesion *s)
{
    s->respuesta.clear();
    s->motivo.clear();
    s->codigo = 0;
    s->error[0] = '\0';
    s->perdida = false;
    s->fallo_tls = false;
    s->error_lectura = 0;
    s->preliminar = false;
    s->control_desperto = s->control_fuera = false;

    CURLcode res = CURLE_FAILED_INIT;
    s->mudo = false;
    s->estancada = false;
    s->estado_sftp = -1;
    s->rechazo_clave.clear();
    s->avance = std::chrono::steady_clock::now();
    // A server that accepts the connection but says nothing is most likely
    // waiting for a TLS handshake: it is not given the whole reply timeout.
    const auto limite_saludo = std::chrono::steady_clock::now() + std::chrono::seconds(plazo_saludo(s));
    if (curl_multi_add_handle(s->multi, s->easy) == CURLM_OK) {
        int activos = 1, sin_socket = 0;
        while (activos) {
            if (curl_multi_perform(s->multi, &activos) != CURLM_OK || !activos)
                break;
            if (s->primera && std::chrono::steady_clock::now() > limite_saludo) {
                s->mudo = true;
                break;
            }
            // The library's speed check covers only the data of an upload:
            // a request the SSH server does not answer is cut here, first.
            // With the socket shut, the library's goodbye to the session
            // fails at once instead of waiting on the silent server.
            if (s->a->sftp && std::chrono::steady_clock::now() - s->avance > std::chrono::seconds(s->a->plazo)) {
                s->estancada = true;
                curl_socket_t fd = CURL_SOCKET_BAD;
                if (curl_easy_getinfo(s->easy, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK && fd != CURL_SOCKET_BAD)
                    shutdown(fd, SHUT_RDWR);
                break;
            }
            espera(s, sin_socket);
        }
        int quedan = 0;
        while (CURLMsg *m = curl_multi_info_read(s->multi, &quedan))
            if (m->msg == CURLMSG_DONE)
                res = m->data.result;
        // Only while the handle is in the multi handle does the library
        // tell the socket of the connection it keeps.
        curl_socket_t c = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(s->easy, CURLINFO_ACTIVESOCKET, &c) != CURLE_OK)
            c = CURL_SOCKET_BAD;
        // An SSH session has one socket, which the library watches itself.
        s->control = s->a->sftp ? CURL_SOCKET_BAD : c;
        curl_multi_remove_handle(s->multi, s->easy);
    }
    s->resultado = res;
    if (res == CURLE_OK)
        return true;
    if (s->a->sftp)
        return falla_sftp(s, res);
    s->fallo_tls = error_tls(res);
    // Connected but never greeted, whichever timer noticed first.
    if (s->mudo || (s->primera && res == CURLE_OPERATION_TIMEDOUT && tcp_conectado(s))) {
        s->motivo = "El servidor no ha saludado en " + std::to_string(plazo_saludo(s)) + " s" +
                    (s->a->tls == modo_tls::implicito
                         ? ""
                         : "; si el puerto espera TLS desde el primer byte, use ftptls = \"implicit\"");
        s->perdida = true;
        return false;
    }

    bool negativa = !s->respuesta.empty() && (s->respuesta[0] == '4' || s->respuesta[0] == '5');
    // A command the server did not answer with a refusal met a connection
    // that is gone; so did one answered with 421 ("closing").
    s->perdida = !negativa || s->codigo == 421;
    if (res == CURLE_ABORTED_BY_CALLBACK && s->error_lectura) {
        s->motivo = strerror(s->error_lectura);
        s->perdida = false;
        return false;
    }
    long os = 0;
    curl_easy_getinfo(s->easy, CURLINFO_OS_ERRNO, &os);
    if (negativa)
        s->motivo = s->respuesta;
    else if (error_tls(res) && s->error[0])
        s->motivo = s->error + sin_tls_implicito(s);
    else if (res == CURLE_OPERATION_TIMEDOUT || res == CURLE_FTP_ACCEPT_TIMEOUT)
        s->motivo = "El servidor no respondio en " + std::to_string(s->a->plazo) + " s";
    else if (os)
        s->motivo = strerror(static_cast<int>(os));
    else if (s->error[0])
        s->motivo = s->error;
    else
        s->motivo = curl_easy_strerror(res);
    return false;
}

}  // namespace

void ftp_inicia() { curl_global_init(CURL_GLOBAL_DEFAULT); }

namespace {

// Why a file of certificates or keys cannot be used, or an empty text.
std::string ilegible(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular ? "" : strerror(EISDIR);
}

// "SHA256:" and the unpadded base64 of the SHA-256 of a host key, as
// ssh-keygen -l shows it.
std::string huella_clave(const curl_khkey *k)
{
    std::string blob;
    if (k->len) {
        blob.assign(k->key, k->len);
    } else {
        // Base64 text instead of the raw key.
        const std::string b64 = k->key;
        std::string raw(b64.size(), '\0');
        int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw.data()),
                                reinterpret_cast<const unsigned char *>(b64.data()), static_cast<int>(b64.size()));
        if (n < 0)
            return "?";
        // The decoder counts the padding as zero bytes.
        size_t largo = static_cast<size_t>(n);
        for (size_t i = b64.size(); i > 0 && b64[i - 1] == '=' && largo > 0; --i)
            --largo;
        raw.resize(largo);
        blob = raw;
    }
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(blob.data(), blob.size(), d, &len, EVP_sha256(), nullptr) != 1)
        return "?";
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), d, static_cast<int>(len));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    return "SHA256:" + out;
}

const char *tipo_clave(const curl_khkey *k)
{
    switch (k->keytype) {
    case CURLKHTYPE_RSA1:
    case CURLKHTYPE_RSA:
        return "RSA";
    case CURLKHTYPE_DSS:
        return "DSA";
    case CURLKHTYPE_ECDSA:
        return "ECDSA";
    case CURLKHTYPE_ED25519:
        return "ED25519";
    default:
        return "";
    }
}

// Called by the library on each new SSH connection, before the login, with
// how the server's host key compares with the known-hosts file. Only a
// match goes on; otherwise the reason is kept for the failure line and no
// part of the login is sent.
int clave_servidor(CURL *, const curl_khkey *, const curl_khkey *hallada, enum curl_khmatch m, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    if (m == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    const ajustes &a = *s->a;
    const std::string servidor =
        (a.ftpserver.find(':') != std::string::npos ? "[" + a.ftpserver + "]" : a.ftpserver) + ":" + a.ftpport;
    const std::string clave = std::string(tipo_clave(hallada)) + " " + huella_clave(hallada);
    if (m == CURLKHMATCH_MISMATCH)
        s->rechazo_clave = "La clave del servidor " + servidor + " ha cambiado: presenta " + clave +
                           ", que no es la que guarda " + a.sshknownhosts +
                           "; si el cambio es legitimo, quite la linea vieja de ese archivo y agregue la nueva";
    else
        s->rechazo_clave = "El servidor " + servidor + " no esta en " + a.sshknownhosts + " (su clave es " + clave +
                           "); si es el suyo, agreguelo con: ssh-keyscan -p " + a.ftpport + " " + a.ftpserver +
                           " >> " + a.sshknownhosts;
    return CURLKHSTAT_REJECT;
}

}  // namespace

std::string ftp_comprueba(const ajustes &a)
{
    if (a.sftp) {
        if (!a.sshkeyfile.empty()) {
            std::string por = ilegible(a.sshkeyfile.c_str());
            if (!por.empty())
                return "Imposible leer sshkeyfile '" + a.sshkeyfile + "': " + por + "\n";
        }
        // The default file may be missing: then no host is known yet, and
        // the first connection says how to add the server.
        struct stat st;
        if (!a.knownhosts_explicito && stat(a.sshknownhosts.c_str(), &st) != 0 && errno == ENOENT)
            return "";
        std::string por = ilegible(a.sshknownhosts.c_str());
        return por.empty() ? "" : "Imposible leer sshknownhosts '" + a.sshknownhosts + "': " + por + "\n";
    }
    if (a.tls == modo_tls::no)
        return "";
    if (!a.cafile.empty()) {
        std::string por = ilegible(a.cafile.c_str());
        return por.empty() ? "" : "Imposible leer ftpcafile '" + a.cafile + "': " + por + "\n";
    }
    // Without ftpcafile the library trusts the system's bundle, which a
    // minimal system may lack (the package ca-certificates).
    const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
    if (v->age >= CURLVERSION_SEVENTH && v->cainfo && !ilegible(v->cainfo).empty())
        return std::string("No hay certificados de autoridades en el sistema (") + v->cainfo +
               "): instale ca-certificates o indique ftpcafile\n";
    return "";
}

sesion *ftp_nueva(const ajustes &a)
{
    sesion *s = new sesion;
    s->a = &a;
    const long plazo = a.plazo;
    s->easy = curl_easy_init();
    nuevo_multi(s);
    CURL *e = s->easy;
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, s->error);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, cabecera);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, s);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, lectura);
    curl_easy_setopt(e, CURLOPT_READDATA, s);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, escritura);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, s);
    curl_easy_setopt(e, CURLOPT_USERNAME, a.ftpuser.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, a.ftppass.c_str());
    curl_easy_setopt(e, CURLOPT_PORT, a.puerto_ftp);
    curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, plazo);
    curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, plazo);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, plazo);
    if (a.sftp) {
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "sftp");
        // The stall is cut by ejecuta before the library's own check.
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, plazo + 5);
        // The library waits for the answers that end an SFTP request (the
        // file's close, the commands after it) inside curl_multi_perform,
        // polling the socket with the time left of the whole operation as
        // the limit, a second at most. With no limit set that time is 0, and
        // the wait spins: some 200 polls and failed reads a file at a 20 ms
        // round trip, a core's worth of CPU with 8 connections. A limit no
        // upload reaches (the most the option takes, about 24 days) makes
        // it sleep on the socket instead; stalls are still cut by plazo.
        curl_easy_setopt(e, CURLOPT_TIMEOUT, static_cast<long>(INT_MAX / 1000));
        curl_easy_setopt(e, CURLOPT_SSH_KNOWNHOSTS, a.sshknownhosts.c_str());
        curl_easy_setopt(e, CURLOPT_SSH_KEYFUNCTION, clave_servidor);
        curl_easy_setopt(e, CURLOPT_SSH_KEYDATA, s);
        if (a.sshkeyfile.empty()) {
            curl_easy_setopt(e, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
        } else {
            // ftppass is the key's passphrase; a key without one ignores it.
            curl_easy_setopt(e, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
            curl_easy_setopt(e, CURLOPT_SSH_PRIVATE_KEYFILE, a.sshkeyfile.c_str());
            curl_easy_setopt(e, CURLOPT_KEYPASSWD, a.ftppass.c_str());
        }
        return s;
    }
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
    if (a.tls != modo_tls::no) {
        // Control and data protected; the login is never sent in clear.
        curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        curl_easy_setopt(e, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        // TLS 1.2: servers that require the data connections to resume the
        // control connection's session refuse them under TLS 1.3.
        curl_easy_setopt(e, CURLOPT_SSLVERSION,
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
        if (!a.cafile.empty())
            curl_easy_setopt(e, CURLOPT_CAINFO, a.cafile.c_str());
    }
    return s;
}

apertura ftp_abre(sesion *s)
{
    if (s->a->sftp) {
        if (!s->a->puerto_ftp) {
            s->motivo = "Puerto FTP no valido: " + s->a->ftpport;
            return apertura::conexion;
        }
        // A new SSH session: connect, check the host key, log in.
        nuevo_multi(s);
        curl_easy_setopt(s->easy, CURLOPT_URL, base(s).c_str());
        curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
        if (ejecuta(s))
            return apertura::ok;
        return s->resultado == CURLE_LOGIN_DENIED ? apertura::login : apertura::conexion;
    }
    if (s->a->ftpuser.find_first_of("\r\n") != std::string::npos ||
        s->a->ftppass.find_first_of("\r\n") != std::string::npos) {
        s->respuesta.clear();
        s->codigo = 0;
        s->motivo = "Usuario o clave con un salto de linea, que el protocolo FTP no admite";
        return apertura::login;
    }
    if (!s->a->puerto_ftp) {
        s->respuesta.clear();
        s->codigo = 0;
        s->motivo = "Puerto FTP no valido: " + s->a->ftpport;
        return apertura::conexion;
    }
    // A connection of its own, so that the first reply is the greeting.
    nuevo_multi(s);
    s->primera = true;
    s->saludo = false;
    curl_easy_setopt(s->easy, CURLOPT_URL, (base(s) + "%2F").c_str());
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
    bool ok = ejecuta(s);
    s->primera = false;
    if (ok)
        return apertura::ok;
    if (!s->saludo || s->fallo_tls)
        return apertura::conexion;
    return apertura::login;
}

namespace {

// The last reply of a session, kept across the commands that clean up
// after a failure.
struct respuesta_guardada {
    std::string respuesta, motivo;
    int codigo = 0, estado_sftp = -1;
    explicit respuesta_guardada(const sesion *s)
        : respuesta(s->respuesta), motivo(s->motivo), codigo(s->codigo), estado_sftp(s->estado_sftp)
    {
    }
    void repone(sesion *s) const
    {
        s->respuesta = respuesta;
        s->motivo = motivo;
        s->codigo = codigo;
        s->estado_sftp = estado_sftp;
    }
};

// After a failed operation that needs a data connection. When the server
// refused the command itself (STOR, MLSD, LIST) over TLS, the library had
// already begun the data connection's handshake; the server drops that
// connection, and the library may take the failure for a refused EPSV and
// send a PASV whose reply it never reads (proftpd), or the server answers
// the dropped connection later (pyftpdlib's 226). Either way the next reply
// read would belong to another command: go on over a new connection,
// keeping this reply.
void sigue_tras_rechazo(sesion *s)
{
    if (s->a->sftp || s->a->tls == modo_tls::no || s->perdida || s->preliminar || s->codigo < 400)
        return;
    respuesta_guardada rechazo(s);
    const bool abierta = ftp_abre(s) == apertura::ok;
    rechazo.repone(s);
    s->perdida = !abierta;
}

// Stores the file at the URL's path; `despues` holds commands sent once the
// data is stored (their failure fails the operation). With h, the SHA-256 of
// the bytes read and sent goes there when the server confirmed them.
bool transfiere(sesion *s, const std::string &local, const std::string &remota, curl_slist *despues,
                std::string *h)
{
    s->fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (s->fd < 0) {
        s->respuesta.clear();
        s->codigo = 0;
        s->perdida = false;
        s->motivo = strerror(errno);
        return false;
    }
    curl_easy_setopt(s->easy, CURLOPT_URL, url_de(s, remota).c_str());
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(s->easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(s->easy, CURLOPT_POSTQUOTE, despues);
    if (h) {
        s->sha = EVP_MD_CTX_new();
        if (s->sha && EVP_DigestInit_ex(s->sha, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(s->sha);
            s->sha = nullptr;
        }
        if (!s->sha) {
            close(s->fd);
            s->fd = -1;
            s->respuesta.clear();
            s->codigo = 0;
            s->perdida = false;
            s->motivo = "Imposible calcular la huella SHA-256";
            return false;
        }
    }
    bool ok = ejecuta(s);
    if (!ok)
        sigue_tras_rechazo(s);
    curl_easy_setopt(s->easy, CURLOPT_POSTQUOTE, nullptr);
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    close(s->fd);
    s->fd = -1;
    if (s->sha) {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(s->sha, d, &len) == 1 && len == 32)
            h->assign(reinterpret_cast<const char *>(d), len);
        else
            h->clear();
        EVP_MD_CTX_free(s->sha);
        s->sha = nullptr;
    }
    return ok;
}

// Runs quoted commands on the connection, with no transfer.
bool ordenes(sesion *s, curl_slist *lista)
{
    // Over SFTP a path ending in "/" without NOBODY would list it.
    curl_easy_setopt(s->easy, CURLOPT_URL, (s->a->sftp ? base(s) : base(s) + "%2F").c_str());
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(s->easy, CURLOPT_QUOTE, lista);
    bool ok = ejecuta(s);
    curl_easy_setopt(s->easy, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(lista);
    return ok;
}

bool con_control(const std::string &p)
{
    for (unsigned char c : p)
        if (c < 0x20)
            return true;
    return false;
}

// Sends one command whose refusal keeps the connection (the "*" keeps a
// refusal from failing the operation) and succeeds only on the reply code
// given. A fresh connection's PWD also answers 257, so the code must be that
// of the command itself, which it is when the operation went through.
bool orden(sesion *s, const std::string &texto, int exito)
{
    bool ok = ordenes(s, curl_slist_append(nullptr, ("*" + texto).c_str()));
    if (ok && s->codigo != exito) {
        s->motivo = s->respuesta;
        s->perdida = s->codigo == 421;
        return false;
    }
    return ok;
}

// The commands that rename de to a once the data is stored.
curl_slist *renombre(const sesion *s, const std::string &de, const std::string &a)
{
    if (s->a->sftp)
        return curl_slist_append(
            nullptr, ("rename " + entre_comillas(ruta_sftp(s, de)) + " " + entre_comillas(ruta_sftp(s, a))).c_str());
    return curl_slist_append(curl_slist_append(nullptr, ("RNFR " + de).c_str()), ("RNTO " + a).c_str());
}

bool borra(sesion *s, const std::string &path)
{
    if (s->a->sftp)
        return ordenes(s, curl_slist_append(nullptr, ("rm " + entre_comillas(ruta_sftp(s, path))).c_str()));
    return orden(s, "DELE " + path, 250);
}


// Stores the file under its temporary name beside remota and renames it.
bool por_temporal(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    const size_t barra = remota.rfind('/');
    const size_t corte = barra == std::string::npos ? 0 : barra + 1;
    const std::string temporal = remota.substr(0, corte) + nombre_temporal(remota.substr(corte));
    curl_slist *despues = renombre(s, temporal, remota);
    const bool ok = transfiere(s, local, temporal, despues, h);
    curl_slist_free_all(despues);
    if (ok)
        return true;
    // Over a lost connection the copy stays; the next upload of the file
    // overwrites it. A folder that is missing holds no copy.
    if (s->perdida || (s->resultado != CURLE_QUOTE_ERROR && ftp_falta_carpeta(s)))
        return false;
    if (s->resultado == CURLE_QUOTE_ERROR) {
        // Stored whole but not renamed. Some servers (and SFTP's version 3)
        // will not rename over an existing file: without it the rename can
        // go through. Between the two the name is missing for a moment;
        // it never shows a part of the file.
        respuesta_guardada primera(s);
        if (borra(s, remota)) {
            curl_slist *otra = renombre(s, temporal, remota);
            const bool renombrado = ordenes(s, otra);
            if (renombrado)
                return true;
        } else {
            primera.repone(s);
        }
        s->renombre = true;
        if (s->perdida)
            return false;
    }
    // Whatever part of the file the server kept goes, and the reply that
    // refused it stays the one shown.
    respuesta_guardada rechazo(s);
    borra(s, temporal);
    rechazo.repone(s);
    s->perdida = false;
    return false;
}

}  // namespace

bool ftp_put(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    s->renombre = false;
    // SFTP writes the file under its path, as STOR does; any byte but NUL
    // travels escaped in the URL.
    if (s->a->sftp)
        return s->a->atomico ? por_temporal(s, local, remota, h) : transfiere(s, local, remota, nullptr, h);
    // Over TLS a refused STOR costs a new connection (see transfiere): the
    // first upload into a folder not known to exist asks for the folder
    // first, and its 550 is the caller's cue to make it.
    // Only an absolute folder is asked for: CWD moves the current folder,
    // against which relative paths would then be taken.
    const size_t fin = remota.rfind('/');
    const std::string carpeta = fin == std::string::npos || fin == 0 ? "/" : remota.substr(0, fin);
    if (s->a->tls != modo_tls::no && !remota.empty() && remota[0] == '/' && !con_control(carpeta) &&
        !s->carpetas.count(carpeta)) {
        if (!ordenes(s, curl_slist_append(nullptr, ("*CWD " + carpeta).c_str())))
            return false;
        if (s->codigo != 250) {
            s->motivo = s->respuesta;
            s->perdida = s->codigo == 421;
            return false;
        }
        s->carpetas.insert(carpeta);
    }
    if (!con_control(remota))
        return s->a->atomico ? por_temporal(s, local, remota, h) : transfiere(s, local, remota, nullptr, h);

    // The library takes no control character in the path it stores to: the
    // file is stored under a plain name in the nearest folder of the path
    // that has none, then renamed, so the name appears only once the file
    // is whole.
    size_t corte = 0;
    while (static_cast<unsigned char>(remota[corte]) >= 0x20)
        ++corte;
    size_t barra = remota.rfind('/', corte);
    const std::string temporal = (barra == std::string::npos ? std::string() : remota.substr(0, barra + 1)) +
                                 ".vantor-" + std::to_string(getpid()) + "-" +
                                 std::to_string(reinterpret_cast<uintptr_t>(s)) + ".tmp";
    curl_slist *renombra = curl_slist_append(nullptr, ("RNFR " + temporal).c_str());
    renombra = curl_slist_append(renombra, ("RNTO " + remota).c_str());
    bool ok = transfiere(s, local, temporal, renombra, h);
    curl_slist_free_all(renombra);
    if (!ok && !s->perdida && s->codigo >= 400 && s->respuesta.rfind("226", 0) != 0) {
        // Stored but not renamed: remove the stored copy, keeping the reply
        // that refused the name.
        respuesta_guardada rechazo(s);
        ordenes(s, curl_slist_append(nullptr, ("*DELE " + temporal).c_str()));
        rechazo.repone(s);
        s->perdida = false;
    }
    return ok;
}

bool ftp_lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out)
{
    std::string url = url_de(s, carpeta);
    if (url.back() != '/')
        url += '/';
    // MLSD gives sizes in one form and every name as it is. A server that
    // does not know it is asked with "LIST -a", which shows the dot-files
    // that a plain LIST hides on most servers; one that refuses that (it
    // takes the option for a path) with a plain LIST from then on.
    bool ok = false;
    const int al_empezar = s->forma_lista;
    for (;;) {
        const char *orden = s->a->sftp ? nullptr : s->forma_lista == 0 ? "MLSD" : s->forma_lista == 1 ? "LIST -a" : nullptr;
        s->datos.clear();
        curl_easy_setopt(s->easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(s->easy, CURLOPT_CUSTOMREQUEST, orden);
        ok = ejecuta(s);
        curl_easy_setopt(s->easy, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
        // A 450 ends the listing without an error for the library, and a
        // server may end a listing it could not make with a 226 that says
        // so ("failed to open directory").
        if (ok && (s->codigo >= 400 || strcasestr(s->respuesta.c_str(), "fail"))) {
            s->motivo = s->respuesta;
            ok = false;
        }
        if (!ok)
            sigue_tras_rechazo(s);
        if (ok || s->a->sftp || s->perdida || s->forma_lista == 2)
            break;
        if (s->forma_lista == 0 && s->codigo != 500 && s->codigo != 502 && s->codigo != 504)
            break;
        ++s->forma_lista;
    }
    if (ok) {
        out = lee_listado(s->datos, !s->a->sftp && s->forma_lista == 0);
        // A folder a server may not open is listed by some (vsftpd) as the
        // folder itself, alone, as "ls -ld" would.
        const size_t barra = carpeta.rfind('/');
        const std::string propio = barra == std::string::npos ? carpeta : carpeta.substr(barra + 1);
        if (!s->a->sftp && s->forma_lista > 0 && out.size() == 1 && out[0].carpeta && out[0].nombre == propio) {
            out.clear();
            s->motivo = "El servidor no muestra el contenido del directorio\n";
            ok = false;
        }
    } else if (al_empezar < 2 && s->forma_lista == 2 && !s->perdida)
        s->forma_lista = 1;  // the folder itself, not the option, was refused
    std::string().swap(s->datos);
    return ok;
}

bool ftp_mkdir(sesion *s, const std::string &path)
{
    if (s->a->sftp ? !ordenes(s, curl_slist_append(nullptr, ("mkdir " + entre_comillas(ruta_sftp(s, path))).c_str()))
                   : !orden(s, "MKD " + path, 257))
        return false;
    s->carpetas.insert(path);
    return true;
}

bool ftp_borra(sesion *s, const std::string &path) { return borra(s, path); }

std::string ftp_respuesta(const sesion *s)
{
    if (!s->motivo.empty())
        return s->motivo;
    if (!s->respuesta.empty())
        return s->respuesta;
    return "Sin respuesta del servidor";
}

int ftp_codigo(const sesion *s) { return s->codigo; }

bool ftp_perdida(const sesion *s) { return s->perdida; }

bool ftp_falta_carpeta(const sesion *s)
{
    if (s->renombre)
        return false;
    if (s->a->sftp)
        return s->estado_sftp == 2;
    return s->codigo == 550 || s->codigo == 553;
}

bool ftp_no_existe(const sesion *s) { return s->a->sftp ? s->estado_sftp == 2 : s->codigo == 550; }

void ftp_cierra(sesion *s)
{
    if (!s)
        return;
    // Closing the cached connection sends QUIT.
    curl_multi_cleanup(s->multi);
    curl_easy_cleanup(s->easy);
    delete s;
}
