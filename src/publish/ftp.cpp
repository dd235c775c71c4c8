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
// With protocol = "sftp" a session is a lane of an SSH connection, driven
// by publish/sftp.cpp; every operation below hands it over.
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

#include "publish/sftp.h"
#include "tree/walk.h"

struct sesion {
    const ajustes *a = nullptr;
    carril *sftp = nullptr;     // with protocol = "sftp", instead of the rest
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
    CURLcode resultado = CURLE_OK;  // the library's outcome of the last operation
};

namespace {

// "ftp://host/" with an IPv6 address between brackets.
std::string base(const sesion *s)
{
    std::string host = s->a->ftpserver;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return std::string(s->a->tls == modo_tls::implicito ? "ftps://" : "ftp://") + host + "/";
}

// A remote path as the path of a URL: every byte but "/" escaped, and a
// leading "/" written %2F so that it stays part of the path sent.
std::string url_de(const sesion *s, const std::string &remota)
{
    CURL *easy = s->easy;
    std::string out = base(s);
    size_t i = 0;
    const std::string &path = remota;
    if (!path.empty() && path[0] == '/') {
        out += "%2F";
        i = 1;
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
    s->datos.append(p, size * n);
    return size * n;
}

size_t lectura(char *dest, size_t size, size_t n, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    for (;;) {
        ssize_t r = read(s->fd, dest, size * n);
        if (r >= 0) {
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
        s->control = c;
        curl_multi_remove_handle(s->multi, s->easy);
    }
    s->resultado = res;
    if (res == CURLE_OK)
        return true;
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

void ftp_inicia()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    sftp_inicia();
}

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

}  // namespace

std::string ftp_comprueba(const ajustes &a)
{
    if (a.sftp)
        return sftp_comprueba(a);
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
    if (a.sftp) {
        s->sftp = sftp_nuevo(a);
        return s;
    }
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
    if (s->sftp)
        return sftp_abre(s->sftp);
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
    int codigo = 0;
    explicit respuesta_guardada(const sesion *s)
        : respuesta(s->respuesta), motivo(s->motivo), codigo(s->codigo)
    {
    }
    void repone(sesion *s) const
    {
        s->respuesta = respuesta;
        s->motivo = motivo;
        s->codigo = codigo;
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
    if (s->a->tls == modo_tls::no || s->perdida || s->preliminar || s->codigo < 400)
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
    curl_easy_setopt(s->easy, CURLOPT_URL, (base(s) + "%2F").c_str());
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
curl_slist *renombre(const std::string &de, const std::string &a)
{
    return curl_slist_append(curl_slist_append(nullptr, ("RNFR " + de).c_str()), ("RNTO " + a).c_str());
}

bool borra(sesion *s, const std::string &path) { return orden(s, "DELE " + path, 250); }

// Stores the file under its temporary name beside remota and renames it.
bool por_temporal(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    const size_t barra = remota.rfind('/');
    const size_t corte = barra == std::string::npos ? 0 : barra + 1;
    const std::string temporal = remota.substr(0, corte) + nombre_temporal(remota.substr(corte));
    curl_slist *despues = renombre(temporal, remota);
    const bool ok = transfiere(s, local, temporal, despues, h);
    curl_slist_free_all(despues);
    if (ok)
        return true;
    // Over a lost connection the copy stays; the next upload of the file
    // overwrites it. A folder that is missing holds no copy.
    if (s->perdida || (s->resultado != CURLE_QUOTE_ERROR && ftp_falta_carpeta(s)))
        return false;
    if (s->resultado == CURLE_QUOTE_ERROR) {
        // Stored whole but not renamed. Some servers will not rename over an existing file: without it the rename can
        // go through. Between the two the name is missing for a moment;
        // it never shows a part of the file.
        respuesta_guardada primera(s);
        if (borra(s, remota)) {
            curl_slist *otra = renombre(temporal, remota);
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
    if (s->sftp)
        return sftp_put(s->sftp, local, remota, h);
    s->renombre = false;
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
    if (s->sftp)
        return sftp_lista(s->sftp, carpeta, out);
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
        const char *orden = s->forma_lista == 0 ? "MLSD" : s->forma_lista == 1 ? "LIST -a" : nullptr;
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
        if (ok || s->perdida || s->forma_lista == 2)
            break;
        if (s->forma_lista == 0 && s->codigo != 500 && s->codigo != 502 && s->codigo != 504)
            break;
        ++s->forma_lista;
    }
    if (ok) {
        out = lee_listado(s->datos, s->forma_lista == 0);
        // A folder a server may not open is listed by some (vsftpd) as the
        // folder itself, alone, as "ls -ld" would.
        const size_t barra = carpeta.rfind('/');
        const std::string propio = barra == std::string::npos ? carpeta : carpeta.substr(barra + 1);
        if (s->forma_lista > 0 && out.size() == 1 && out[0].carpeta && out[0].nombre == propio) {
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
    if (s->sftp)
        return sftp_mkdir(s->sftp, path);
    if (!orden(s, "MKD " + path, 257))
        return false;
    s->carpetas.insert(path);
    return true;
}

bool ftp_borra(sesion *s, const std::string &path) { return s->sftp ? sftp_borra(s->sftp, path) : borra(s, path); }

std::string ftp_respuesta(const sesion *s)
{
    if (s->sftp)
        return sftp_respuesta(s->sftp);
    if (!s->motivo.empty())
        return s->motivo;
    if (!s->respuesta.empty())
        return s->respuesta;
    return "Sin respuesta del servidor";
}

int ftp_codigo(const sesion *s) { return s->codigo; }

bool ftp_perdida(const sesion *s) { return s->sftp ? sftp_perdida(s->sftp) : s->perdida; }

bool ftp_falta_carpeta(const sesion *s)
{
    if (s->sftp)
        return sftp_falta_carpeta(s->sftp);
    if (s->renombre)
        return false;
    return s->codigo == 550 || s->codigo == 553;
}

bool ftp_no_existe(const sesion *s) { return s->sftp ? sftp_no_existe(s->sftp) : s->codigo == 550; }

void ftp_cierra(sesion *s)
{
    if (!s)
        return;
    if (s->sftp) {
        sftp_cierra(s->sftp);
        delete s;
        return;
    }
    // Closing the cached connection sends QUIT.
    curl_multi_cleanup(s->multi);
    curl_easy_cleanup(s->easy);
    delete s;
}

sesion *ftp_otro_carril(sesion *s)
{
    if (!s->sftp)
        return nullptr;
    sesion *o = new sesion;
    o->a = s->a;
    o->sftp = sftp_otro(s->sftp);
    return o;
}

int ftp_carriles(const ajustes &a) { return a.sftp ? ventana_sftp : 1; }
