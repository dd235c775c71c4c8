// The SFTP connection over libssh2 (see sftp.h).
//
// Waiting: libssh2 is non-blocking, so a call that would block returns
// "again" and leaves its request in flight. The lanes of a connection call
// it only under the connection's lock; one lane at a time (the one
// `sondeando`) sleeps on the socket with the lock released, and every call
// that reads bytes from the socket wakes the others, because what it read
// may answer any lane's request. A packet half written to a full socket
// must be finished before anything else is sent on the session: its lane
// (`dueno`) alone calls until it is through.
#include "publish/sftp.h"
#include "publish/pistas.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "tree/walk.h"

namespace {

using reloj = std::chrono::steady_clock;

// One SSH session, shared by the lanes of a connection.
struct enlace {
    LIBSSH2_SESSION *ses = nullptr;
    int fd = -1;
    int despertador = -1;        // eventfd that wakes the lane sleeping on the socket
    std::mutex mu;               // held around every call into the session
    std::condition_variable cv;  // something was read, or the socket is free again
    bool sondeando = false;      // a lane sleeps on the socket
    const void *dueno = nullptr; // the lane whose packet is half sent
    bool muerta = false;         // cut, or given up after a stall
    unsigned long long leidos = 0;  // bytes read from the socket so far
    std::vector<LIBSSH2_SFTP *> canales;  // every lane's channel, freed with the session

    ~enlace()
    {
        if (ses) {
            // A short goodbye: the run is over, a silent server is not
            // waited for. The channels are let go after it, all at once:
            // closed one by one, each would cost some round trips.
            libssh2_session_set_blocking(ses, 1);
            libssh2_session_set_timeout(ses, 2000);
            if (!muerta)
                libssh2_session_disconnect(ses, "");
            if (fd >= 0)
                shutdown(fd, SHUT_RDWR);
            for (LIBSSH2_SFTP *c : canales)
                libssh2_sftp_shutdown(c);
            libssh2_session_free(ses);
        }
        if (fd >= 0)
            close(fd);
        if (despertador >= 0)
            close(despertador);
    }
};

// The connection of a group of lanes: the session they share now.
struct conexion_ssh {
    std::mutex mu;
    std::shared_ptr<enlace> actual;
};

void despierta(enlace &e)
{
    const uint64_t uno = 1;
    if (write(e.despertador, &uno, sizeof uno) < 0) {
        // Only a full counter fails, and it wakes the reader anyway.
    }
}

// The session is given up: every lane's call fails from now on.
void mata(enlace &e)
{
    e.muerta = true;
    if (e.fd >= 0)
        shutdown(e.fd, SHUT_RDWR);
    e.cv.notify_all();
    if (e.sondeando)
        despierta(e);
}

// The session's reads, counted so that a lane knows it read something.
LIBSSH2_RECV_FUNC(recibe)
{
    enlace *e = static_cast<enlace *>(*abstract);
    ssize_t n = recv(socket, buffer, length, flags);
    if (n < 0)
        return -errno;
    e->leidos += static_cast<unsigned long long>(n);
    return n;
}

// corre's result when the run may no longer touch the server.
constexpr long detenida = -1000;

// Calls llamada (which returns a libssh2 result) until it is no longer
// "again", waiting on the socket in between, at most plazo seconds without
// an answer. Returns its result; LIBSSH2_ERROR_SOCKET_DISCONNECT when the
// session died meanwhile, LIBSSH2_ERROR_TIMEOUT after the wait, with the
// session given up; `detenida` as soon as comun says the run may no longer
// touch the server. With solo_envio it returns "again" as soon as the
// request is out, its answer left to a later call.
template <class F>
long corre(enlace &e, const void *quien, long plazo, const tramite *comun, F llamada, bool solo_envio = false)
{
    std::unique_lock<std::mutex> l(e.mu);
    const auto limite = reloj::now() + std::chrono::seconds(plazo);
    for (;;) {
        if (e.muerta)
            return LIBSSH2_ERROR_SOCKET_DISCONNECT;
        if (comun && comun->vigente && !comun->vigente()) {
            if (e.dueno == quien)
                e.dueno = nullptr;
            e.cv.notify_all();
            return detenida;
        }
        if (reloj::now() >= limite) {
            mata(e);
            return LIBSSH2_ERROR_TIMEOUT;
        }
        if (e.dueno && e.dueno != quien) {
            e.cv.wait_for(l, std::chrono::seconds(1));
            continue;
        }
        const unsigned long long antes = e.leidos;
        const long r = llamada();
        if (e.leidos != antes) {
            e.cv.notify_all();
            if (e.sondeando)
                despierta(e);
        }
        const int sentido = libssh2_session_block_directions(e.ses);
        if (r != LIBSSH2_ERROR_EAGAIN || !(sentido & LIBSSH2_SESSION_BLOCK_OUTBOUND)) {
            if (e.dueno == quien) {
                e.dueno = nullptr;
                e.cv.notify_all();
            }
        }
        if (r != LIBSSH2_ERROR_EAGAIN || (solo_envio && !(sentido & LIBSSH2_SESSION_BLOCK_OUTBOUND)))
            return r;
        const int espera = static_cast<int>(
            std::min<long long>(1000, std::chrono::duration_cast<std::chrono::milliseconds>(limite - reloj::now()).count() + 1));
        if (sentido & LIBSSH2_SESSION_BLOCK_OUTBOUND) {
            // Only this lane may go on: it waits for room on the socket.
            e.dueno = quien;
            l.unlock();
            pollfd p{e.fd, POLLOUT, 0};
            poll(&p, 1, espera);
            l.lock();
        } else if (!e.sondeando) {
            e.sondeando = true;
            l.unlock();
            pollfd p[2] = {{e.fd, POLLIN, 0}, {e.despertador, POLLIN, 0}};
            poll(p, 2, espera);
            if (p[1].revents) {
                uint64_t n;
                if (read(e.despertador, &n, sizeof n) < 0) {
                    // Nothing to drain: the wake-up was taken already.
                }
            }
            l.lock();
            e.sondeando = false;
            e.cv.notify_all();
        } else {
            e.cv.wait_for(l, std::chrono::seconds(1));
        }
    }
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
constexpr long n_textos_sftp = static_cast<long>(sizeof textos_sftp / sizeof *textos_sftp);

}  // namespace

struct carril {
    const ajustes *a = nullptr;
    const tramite *comun = nullptr;  // the run's mark and whether it may go on
    std::shared_ptr<conexion_ssh> conexion;
    std::shared_ptr<enlace> e;  // the session its channel is on
    LIBSSH2_SFTP *sftp = nullptr;
};

namespace {

constexpr long sin_archivo = 2;  // SSH_FX_NO_SUCH_FILE

std::string sin_respuesta(const ajustes &a) { return "El servidor no respondio en " + std::to_string(a.plazo) + " s"; }

const char *const cortada = "La conexion SSH se corto durante la operacion";

// Runs a call of the lane's (a libssh2 result) and sorts out a failure: a
// refusal with an SFTP status keeps the connection; anything else loses it.
// With valor, the call's own result when it did not fail.
template <class F>
desenlace opera(carril *c, F llamada, long *valor = nullptr, bool solo_envio = false)
{
    desenlace d;
    if (!c->e || !c->sftp) {
        d.perdida = true;
        d.motivo = cortada;
        return d;
    }
    LIBSSH2_SFTP *sftp = c->sftp;
    long estado = -1;
    const long r = corre(*c->e, c, c->a->plazo, c->comun, [&]() -> long {
        const long v = llamada();
        if (v == LIBSSH2_ERROR_SFTP_PROTOCOL)
            estado = static_cast<long>(libssh2_sftp_last_error(sftp));
        else if (v < 0 && v != LIBSSH2_ERROR_EAGAIN)
            mata(*c->e);
        return v;
    }, solo_envio);
    if (valor)
        *valor = r;
    if (r >= 0 || (solo_envio && r == LIBSSH2_ERROR_EAGAIN)) {
        d.ok = true;
    } else if (r == detenida) {
        d.detenida = true;
    } else if (r == LIBSSH2_ERROR_SFTP_PROTOCOL && estado > 0) {
        d.clase = estado == sin_archivo ? negativa::no_existe : negativa::ninguno;
        d.motivo = std::string(estado < n_textos_sftp ? textos_sftp[estado] : "Unknown status") + "\n";
    } else {
        d.perdida = true;
        d.motivo = r == LIBSSH2_ERROR_TIMEOUT ? sin_respuesta(*c->a) : cortada;
    }
    return d;
}

// A pointer result as a libssh2 result: 0, or the session's last error.
template <class T>
long como_resultado(const T *p, LIBSSH2_SESSION *ses)
{
    return p ? 0 : libssh2_session_last_errno(ses);
}

// A remoteroot that is empty or does not start with "/" is taken from the
// login folder: the path as the server sees it, relative then.
std::string ruta_sftp(const carril *c, const std::string &path)
{
    const std::string &raiz = c->a->remoteroot;
    if (!raiz.empty() && raiz[0] == '/')
        return path;
    size_t i = 0;
    while (i < path.size() && path[i] == '/')
        ++i;
    return path.substr(i);
}

unsigned int largo(const std::string &t) { return static_cast<unsigned int>(t.size()); }

// The folder of a remote path; empty for the login folder or "/", which are
// there.
std::string carpeta_de(const std::string &path)
{
    const size_t barra = path.rfind('/');
    return barra == std::string::npos || barra == 0 ? std::string() : path.substr(0, barra);
}

carpetas_sabidas *sabidas(const carril *c) { return c->comun ? c->comun->carpetas.get() : nullptr; }

// A folder that is there, and so are those above it; with s.mu held.
void sabe(carpetas_sabidas &s, std::string carpeta)
{
    while (!carpeta.empty() && s.rutas.insert(carpeta).second)
        carpeta = carpeta_de(carpeta);
}

void anota_sabida(const carril *c, const std::string &carpeta)
{
    carpetas_sabidas *s = sabidas(c);
    if (!s)
        return;
    std::lock_guard<std::mutex> l(s->mu);
    sabe(*s, carpeta);
}

// Waits, with s.mu held in l, while another upload asks for carpeta (a
// round trip at most); true when it is known to be there.
bool aguarda_pedida(carpetas_sabidas &s, std::unique_lock<std::mutex> &l, const std::string &carpeta, long plazo)
{
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(plazo);
    while (!s.rutas.count(carpeta) && s.pedidas.count(carpeta) &&
           s.cv.wait_until(l, limite) != std::cv_status::timeout) {
    }
    return s.rutas.count(carpeta) > 0;
}

// Whether an upload into carpeta asks for it in the same round trip as its
// open; then it is counted among the folders asked for. The folders above
// it under remoteroot that the run does not know are made first, top down,
// each by one upload while the others wait for its answer: asked for on
// different channels, a folder's mkdir could reach the server before its
// parent's.
bool pide(carril *c, const std::string &carpeta)
{
    carpetas_sabidas *s = sabidas(c);
    if (carpeta.empty() || !s)
        return false;
    std::string raiz = ruta_sftp(c, c->a->remoteroot);
    while (!raiz.empty() && raiz.back() == '/')
        raiz.pop_back();
    // The root is taken to be there; when it is not, the caller makes it.
    if (carpeta == raiz)
        return false;
    const long plazo = c->a->plazo;
    std::unique_lock<std::mutex> l(s->mu);
    if (s->rutas.count(carpeta))
        return false;
    const bool debajo = raiz.empty() || (carpeta.compare(0, raiz.size(), raiz) == 0 &&
                                         carpeta.size() > raiz.size() && carpeta[raiz.size()] == '/');
    for (size_t barra = debajo ? carpeta.find('/', raiz.size() + 1) : std::string::npos; barra != std::string::npos;
         barra = carpeta.find('/', barra + 1)) {
        const std::string arriba = carpeta.substr(0, barra);
        if (arriba.empty() || aguarda_pedida(*s, l, arriba, plazo))
            continue;
        ++s->pedidas[arriba];
        l.unlock();
        const desenlace d = opera(c, [&] {
            return static_cast<long>(libssh2_sftp_mkdir_ex(c->sftp, arriba.data(), largo(arriba), 0755));
        });
        l.lock();
        if (d.ok)
            sabe(*s, arriba);
        if (--s->pedidas[arriba] == 0)
            s->pedidas.erase(arriba);
        s->cv.notify_all();
        if (d.perdida || d.detenida)
            break;
    }
    ++s->pedidas[carpeta];
    return true;
}

// The answer to a folder pide asked for: made (or there) or not.
void pedida(const carril *c, const std::string &carpeta, bool hay)
{
    carpetas_sabidas *s = sabidas(c);
    {
        std::lock_guard<std::mutex> l(s->mu);
        if (hay)
            sabe(*s, carpeta);
        if (--s->pedidas[carpeta] == 0)
            s->pedidas.erase(carpeta);
    }
    s->cv.notify_all();
}

// Whether the channel may carry n bytes more (and a close) at once: then
// a write of them is wholly sent with its first call.
bool cabe_en_ventana(carril *c, size_t n)
{
    std::lock_guard<std::mutex> l(c->e->mu);
    return libssh2_channel_window_write_ex(libssh2_sftp_get_channel(c->sftp), nullptr) >= n + 1024;
}

// A handle left behind by a lost session or a stopped run: its close is
// tried once, without waiting. On a session that is gone it fails at once,
// and the library frees the handle.
void suelta_perdido(carril *c, LIBSSH2_SFTP_HANDLE *h)
{
    std::lock_guard<std::mutex> l(c->e->mu);
    libssh2_sftp_close_handle(h);
}

desenlace sin_enviar(std::string motivo)
{
    desenlace d;
    d.motivo = std::move(motivo);
    return d;
}

// "SHA256:" and the unpadded base64 of the SHA-256 of a host key, as
// ssh-keygen -l shows it.
std::string huella_clave(const char *clave, size_t n)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(clave, n, d, &len, EVP_sha256(), nullptr) != 1)
        return "?";
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int m = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), d, static_cast<int>(len));
    out.resize(static_cast<size_t>(m));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    return "SHA256:" + out;
}

const char *tipo_clave(int tipo)
{
    switch (tipo) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return "RSA";
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return "DSA";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return "ECDSA";
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return "ED25519";
    default:
        return "";
    }
}

int bit_clave(int tipo)
{
    switch (tipo) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
    }
}

// The host-key method a plain line of the known-hosts file names for this
// server, so that the server shows the key the file holds; empty when the
// file has none (or only hashed names).
std::string metodo_conocido(LIBSSH2_KNOWNHOSTS *kh, const ajustes &a)
{
    const std::string nombre = a.puerto_ftp == 22 ? a.ftpserver : "[" + a.ftpserver + "]:" + a.ftpport;
    libssh2_knownhost *k = nullptr;
    while (libssh2_knownhost_get(kh, &k, k) == 0) {
        if (!k->name || nombre != k->name)
            continue;
        switch (k->typemask & LIBSSH2_KNOWNHOST_KEY_MASK) {
        case LIBSSH2_KNOWNHOST_KEY_SSHRSA:
            return "ssh-rsa";
        case LIBSSH2_KNOWNHOST_KEY_SSHDSS:
            return "ssh-dss";
        case LIBSSH2_KNOWNHOST_KEY_ECDSA_256:
            return "ecdsa-sha2-nistp256";
        case LIBSSH2_KNOWNHOST_KEY_ECDSA_384:
            return "ecdsa-sha2-nistp384";
        case LIBSSH2_KNOWNHOST_KEY_ECDSA_521:
            return "ecdsa-sha2-nistp521";
        case LIBSSH2_KNOWNHOST_KEY_ED25519:
            return "ssh-ed25519";
        default:
            return "";
        }
    }
    return "";
}

// Connects to the server within plazo; the socket, or -1 with the reason.
int conecta_tcp(const ajustes &a, std::string &motivo)
{
    addrinfo pista{};
    pista.ai_family = AF_UNSPEC;
    pista.ai_socktype = SOCK_STREAM;
    addrinfo *lista = nullptr;
    if (getaddrinfo(a.ftpserver.c_str(), a.ftpport.c_str(), &pista, &lista) != 0 || !lista) {
        motivo = "Could not resolve host: " + a.ftpserver;
        return -1;
    }
    int fd = -1;
    for (addrinfo *p = lista; p; p = p->ai_next) {
        fd = socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, p->ai_protocol);
        if (fd < 0) {
            motivo = strerror(errno);
            continue;
        }
        int r = connect(fd, p->ai_addr, p->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            pollfd q{fd, POLLOUT, 0};
            if (poll(&q, 1, static_cast<int>(a.plazo * 1000)) == 1) {
                int err = 0;
                socklen_t n = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &n);
                r = err ? -1 : 0;
                errno = err;
            } else {
                errno = ETIMEDOUT;
            }
        }
        // An FTP server greets first: its greeting ends the connection at
        // once, where the handshake would wait for an SSH banner.
        pollfd llega{fd, POLLIN, 0};
        char primeros[256];
        ssize_t n = 0;
        if (r == 0 && poll(&llega, 1, static_cast<int>((a.plazo < 15 ? a.plazo : 15) * 1000)) == 1 &&
            (n = recv(fd, primeros, sizeof primeros, MSG_PEEK)) > 0 &&
            clase_de_saludo(std::string_view(primeros, static_cast<size_t>(n))) == saludo::ftp) {
            motivo = primera_linea(std::string_view(primeros, static_cast<size_t>(n))) + "\n" +
                     pista_protocolo(saludo::ftp);
            close(fd);
            fd = -1;
            break;
        }
        if (r == 0) {
            // Requests are small and answered one by one: none waits for
            // the answer to the one before to be sent.
            const int uno = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
            break;
        }
        motivo = strerror(errno);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(lista);
    return fd;
}

// Why the host key is not accepted, or an empty text.
std::string rechazo_clave(enlace &e, const ajustes &a, LIBSSH2_KNOWNHOSTS *kh)
{
    size_t n = 0;
    int tipo = 0;
    const char *clave = libssh2_session_hostkey(e.ses, &n, &tipo);
    if (!clave)
        return "El servidor no presento su clave";
    libssh2_knownhost *hallada = nullptr;
    const int m = libssh2_knownhost_checkp(kh, a.ftpserver.c_str(), static_cast<int>(a.puerto_ftp), clave, n,
                                           LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | bit_clave(tipo),
                                           &hallada);
    if (m == LIBSSH2_KNOWNHOST_CHECK_MATCH)
        return "";
    const std::string servidor =
        (a.ftpserver.find(':') != std::string::npos ? "[" + a.ftpserver + "]" : a.ftpserver) + ":" + a.ftpport;
    const std::string texto = std::string(tipo_clave(tipo)) + " " + huella_clave(clave, n);
    if (m == LIBSSH2_KNOWNHOST_CHECK_MISMATCH)
        return "La clave del servidor " + servidor + " ha cambiado: presenta " + texto + ", que no es la que guarda " +
               a.sshknownhosts + "; si el cambio es legitimo, quite la linea vieja de ese archivo y agregue la nueva";
    return "El servidor " + servidor + " no esta en " + a.sshknownhosts + " (su clave es " + texto +
           "); si es el suyo, agreguelo con: " + orden_keyscan(a);
}

// A new session to the server: connect, check the host key, log in.
std::shared_ptr<enlace> nuevo_enlace(const ajustes &a, apertura &paso, std::string &motivo)
{
    paso = apertura::conexion;
    auto e = std::make_shared<enlace>();
    e->fd = conecta_tcp(a, motivo);
    if (e->fd < 0)
        return nullptr;
    e->despertador = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    e->ses = libssh2_session_init_ex(nullptr, nullptr, nullptr, e.get());
    if (!e->ses || e->despertador < 0) {
        motivo = "Imposible iniciar la sesion SSH";
        return nullptr;
    }
    libssh2_session_callback_set(e->ses, LIBSSH2_CALLBACK_RECV, reinterpret_cast<void *>(recibe));
    libssh2_session_set_blocking(e->ses, 0);
    std::unique_ptr<LIBSSH2_KNOWNHOSTS, void (*)(LIBSSH2_KNOWNHOSTS *)> kh(libssh2_knownhost_init(e->ses),
                                                                          libssh2_knownhost_free);
    if (!kh) {
        motivo = "Imposible iniciar la sesion SSH";
        return nullptr;
    }
    // A missing default file holds no host: the check says how to add it.
    libssh2_knownhost_readfile(kh.get(), a.sshknownhosts.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
    const std::string metodo = metodo_conocido(kh.get(), a);
    if (!metodo.empty())
        libssh2_session_method_pref(e->ses, LIBSSH2_METHOD_HOSTKEY, metodo.c_str());
    const void *yo = e.get();
    long r = corre(*e, yo, a.plazo, nullptr, [&] { return static_cast<long>(libssh2_session_handshake(e->ses, e->fd)); });
    if (r != 0) {
        char *texto = nullptr;
        libssh2_session_last_error(e->ses, &texto, nullptr, 0);
        motivo = r == LIBSSH2_ERROR_TIMEOUT ? "El servidor no respondio en " + std::to_string(a.plazo) + " s"
                 : texto && *texto          ? texto
                                            : "La conexion SSH se corto durante la operacion";
        // The hint, when there is one, is the line after the reason.
        if (r == LIBSSH2_ERROR_KEX_FAILURE) {
            const std::string pista = pista_clave_rsa(a);
            if (!pista.empty())
                motivo += "\n" + pista;
        }
        e->muerta = true;
        return nullptr;
    }
    motivo = rechazo_clave(*e, a, kh.get());
    if (!motivo.empty()) {
        e->muerta = true;
        return nullptr;
    }
    const std::string &u = a.ftpuser, &p = a.ftppass;
    r = corre(*e, yo, a.plazo, nullptr, [&] {
        if (a.sshkeyfile.empty())
            return static_cast<long>(
                libssh2_userauth_password_ex(e->ses, u.data(), largo(u), p.data(), largo(p), nullptr));
        // ftppass is the key's passphrase; a key without one ignores it.
        return static_cast<long>(libssh2_userauth_publickey_fromfile_ex(e->ses, u.data(), largo(u), nullptr,
                                                                       a.sshkeyfile.c_str(), p.c_str()));
    });
    if (r == 0)
        return e;
    if (r == LIBSSH2_ERROR_TIMEOUT) {
        motivo = "El servidor no respondio en " + std::to_string(a.plazo) + " s";
    } else if (r == LIBSSH2_ERROR_SOCKET_DISCONNECT || r == LIBSSH2_ERROR_SOCKET_RECV ||
               r == LIBSSH2_ERROR_SOCKET_SEND) {
        motivo = "La conexion SSH se corto durante la operacion";
    } else if (r == LIBSSH2_ERROR_FILE && !a.sshkeyfile.empty() && clave_con_frase(a.sshkeyfile) == 1) {
        // The key was never offered: its passphrase did not open it.
        paso = apertura::login;
        motivo = motivo_frase(a) + "\n" + pista_frase();
    } else {
        paso = apertura::login;
        motivo = "El servidor SSH no acepta el usuario con esa clave o llave";
    }
    e->muerta = true;
    return nullptr;
}

// Lets the lane's session go; its channel goes with the session.
void suelta(carril *c)
{
    c->sftp = nullptr;
    // The session goes with the last lane that holds it.
    c->e.reset();
}

}  // namespace

void sftp_inicia() { libssh2_init(0); }

carril *sftp_nuevo(const ajustes &a, const tramite *comun)
{
    // A connection's lanes are threads that mostly wait: a malloc arena
    // each would hold memory for nothing.
    mallopt(M_ARENA_MAX, 2);
    carril *c = new carril;
    c->a = &a;
    c->comun = comun;
    c->conexion = std::make_shared<conexion_ssh>();
    return c;
}

carril *sftp_otro(carril *c, const tramite *comun)
{
    carril *o = new carril;
    o->a = c->a;
    o->comun = comun;
    o->conexion = c->conexion;
    return o;
}

desenlace sftp_abre(carril *c)
{
    suelta(c);
    desenlace d;
    d.paso = apertura::conexion;
    if (!c->a->puerto_ftp) {
        d.motivo = "Puerto FTP no valido: " + c->a->ftpport;
        return d;
    }
    std::shared_ptr<enlace> e;
    {
        // One lane connects; the others of the connection wait for it and
        // take its session.
        std::lock_guard<std::mutex> l(c->conexion->mu);
        e = c->conexion->actual;
        if (e) {
            std::lock_guard<std::mutex> g(e->mu);
            if (e->muerta)
                e.reset();
        }
        if (!e) {
            e = nuevo_enlace(*c->a, d.paso, d.motivo);
            if (!e) {
                d.perdida = true;
                return d;
            }
            c->conexion->actual = e;
        }
    }
    c->e = e;
    LIBSSH2_SFTP *sftp = nullptr;
    const long r = corre(*e, c, c->a->plazo, c->comun, [&] {
        sftp = libssh2_sftp_init(e->ses);
        return como_resultado(sftp, e->ses);
    });
    if (sftp) {
        std::lock_guard<std::mutex> g(e->mu);
        e->canales.push_back(sftp);
        c->sftp = sftp;
        desenlace ok;
        ok.ok = true;
        return ok;
    }
    // A server that allows fewer sessions per connection refuses the
    // channel and keeps the connection.
    if (r != LIBSSH2_ERROR_CHANNEL_FAILURE && r != LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED) {
        std::lock_guard<std::mutex> g(e->mu);
        mata(*e);
    }
    d.motivo = r == LIBSSH2_ERROR_TIMEOUT ? sin_respuesta(*c->a) : "El servidor no abre un canal SFTP";
    d.perdida = true;
    d.detenida = r == detenida;
    suelta(c);
    return d;
}

desenlace sftp_envia(carril *c, const std::string &local, const std::string &remota, std::string *h)
{
    const int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return sin_enviar(strerror(errno));
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> sha(nullptr, EVP_MD_CTX_free);
    if (h) {
        sha.reset(EVP_MD_CTX_new());
        if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
            close(fd);
            return sin_enviar("Imposible calcular la huella SHA-256");
        }
    }
    const std::string path = ruta_sftp(c, remota);
    // In a folder the run does not know yet, the folder is asked for in the
    // same round trip: its mkdir goes out first on this channel, whose
    // requests the server answers in order, so the open finds the folder
    // whether it was there (the mkdir is refused) or has just been made. An
    // open refused all the same is left to the caller, as without this.
    const std::string carpeta = carpeta_de(path);
    const auto mkdir = [&] {
        return static_cast<long>(libssh2_sftp_mkdir_ex(c->sftp, carpeta.data(), largo(carpeta), 0755));
    };
    const bool pide_carpeta = pide(c, carpeta);
    long en_vuelo = LIBSSH2_ERROR_EAGAIN;  // the mkdir's result, while its answer is still to read
    if (pide_carpeta) {
        const desenlace m = opera(c, mkdir, &en_vuelo, true);
        if (m.perdida || m.detenida) {
            pedida(c, carpeta, false);
            close(fd);
            return m;
        }
    }
    LIBSSH2_SFTP_HANDLE *f = nullptr;
    desenlace d = opera(c, [&] {
        f = libssh2_sftp_open_ex(c->sftp, path.data(), largo(path),
                                 LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644,
                                 LIBSSH2_SFTP_OPENFILE);
        return como_resultado(f, c->e->ses);
    });
    if (pide_carpeta) {
        // The mkdir's answer came before the open's: it is read now, so
        // that the channel is free for another mkdir.
        desenlace m;
        m.ok = en_vuelo == 0;
        if (en_vuelo == LIBSSH2_ERROR_EAGAIN && !d.perdida && !d.detenida)
            m = opera(c, mkdir);
        pedida(c, carpeta, m.ok || f);
        if (m.perdida || m.detenida) {
            if (f)
                suelta_perdido(c, f);
            close(fd);
            return m;
        }
    }
    if (!f) {
        close(fd);
        return d;
    }
    // Small files are read whole; larger ones in blocks the library sends
    // as several requests at once.
    struct stat st;
    const size_t tope = 128 * 1024;
    const bool entero = fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<size_t>(st.st_size) < tope;
    const size_t bloque = entero ? static_cast<size_t>(st.st_size) : tope;
    // The library lets a handle go as soon as its close returns anything
    // but "again", a failure included: f is dropped with it, so that no
    // path closes it twice.
    const auto cierra = [&] {
        const long r = libssh2_sftp_close_handle(f);
        if (r != LIBSSH2_ERROR_EAGAIN)
            f = nullptr;
        return r;
    };
    std::unique_ptr<char[]> buf(new char[bloque + 1]);
    int error_lectura = 0;
    for (;;) {
        ssize_t n = read(fd, buf.get(), bloque);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_lectura = errno;
            break;
        }
        if (n == 0)
            break;
        // A small file read whole, with nothing after it: its close goes
        // out right behind its write, and both answers come in one round
        // trip. The server answers them in order, so the write's answer is
        // read first, as when the close waits for it.
        bool ultimo = false;
        if (entero && static_cast<size_t>(n) == bloque) {
            ssize_t mas;
            while ((mas = read(fd, buf.get() + n, 1)) < 0 && errno == EINTR) {
            }
            if (mas < 0) {
                error_lectura = errno;
                break;
            }
            ultimo = mas == 0;
            n += mas;
        }
        if (sha)
            EVP_DigestUpdate(sha.get(), buf.get(), static_cast<size_t>(n));
        const auto escribe = [&](ssize_t hecho) {
            return static_cast<long>(libssh2_sftp_write(f, buf.get() + hecho, static_cast<size_t>(n - hecho)));
        };
        ssize_t hecho = 0;
        if (ultimo && cabe_en_ventana(c, static_cast<size_t>(n))) {
            long escrito = 0;
            d = opera(c, [&] { return escribe(0); }, &escrito, true);
            if (d.ok && escrito >= 0) {
                hecho = escrito;
            } else if (d.ok) {
                long r = LIBSSH2_ERROR_EAGAIN;
                d = opera(c, cierra, &r, true);
                if (d.ok && r != LIBSSH2_ERROR_EAGAIN) {
                    // The close was answered before it was sent: the
                    // library let the handle go, and the write's answer
                    // with it. Such a server is not believed again.
                    std::lock_guard<std::mutex> l(c->e->mu);
                    mata(*c->e);
                    d = desenlace{};
                    d.perdida = true;
                    d.motivo = cortada;
                }
            }
        }
        while (d.ok && hecho < n) {
            long escrito = 0;
            d = opera(c, [&] { return escribe(hecho); }, &escrito);
            if (d.ok)
                hecho += escrito;
        }
        if (!d.ok)
            break;
    }
    close(fd);
    if (d.perdida || d.detenida) {
        if (f)
            suelta_perdido(c, f);
        return d;
    }
    const desenlace cierre = opera(c, cierra);
    if (f)
        suelta_perdido(c, f);  // the run stopped, or the session died, before the close ran
    if (error_lectura) {
        desenlace l = sin_enviar(strerror(error_lectura));
        l.perdida = cierre.perdida;
        l.detenida = cierre.detenida;
        return l;
    }
    if (!d.ok) {
        d.perdida = cierre.perdida;
        d.detenida = d.detenida || cierre.detenida;
        return d;
    }
    if (!cierre.ok)
        return cierre;
    if (sha) {
        unsigned char dg[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(sha.get(), dg, &len) == 1 && len == 32)
            h->assign(reinterpret_cast<const char *>(dg), len);
        else
            h->clear();
    }
    return cierre;
}

desenlace sftp_lista(carril *c, const std::string &carpeta, std::vector<entrada_remota> &out)
{
    const std::string path = ruta_sftp(c, carpeta);
    LIBSSH2_SFTP_HANDLE *dir = nullptr;
    desenlace d = opera(c, [&] {
        dir = libssh2_sftp_open_ex(c->sftp, path.data(), largo(path), 0, 0, LIBSSH2_SFTP_OPENDIR);
        return como_resultado(dir, c->e->ses);
    });
    if (!dir)
        return d;
    // The long names ("-rw-r--r-- 1 owner group size date name"), a line each.
    std::string texto;
    std::unique_ptr<char[]> nombre(new char[4096]), larga(new char[4096]);
    for (;;) {
        LIBSSH2_SFTP_ATTRIBUTES at{};
        long n = 0;
        d = opera(
            c, [&] { return static_cast<long>(libssh2_sftp_readdir_ex(dir, nombre.get(), 4096, larga.get(), 4096, &at)); },
            &n);
        if (!d.ok || n == 0)
            break;
        texto += larga.get();
        texto += '\n';
    }
    if (d.perdida || d.detenida) {
        suelta_perdido(c, dir);
        return d;
    }
    const desenlace cierre = opera(c, [&] { return static_cast<long>(libssh2_sftp_close_handle(dir)); });
    if (!d.ok) {
        d.perdida = cierre.perdida;
        return d;
    }
    if (cierre.ok)
        out = lee_listado(texto, false);
    return cierre;
}

desenlace sftp_mkdir(carril *c, const std::string &path)
{
    const std::string p = ruta_sftp(c, path);
    desenlace d = opera(c, [&] { return static_cast<long>(libssh2_sftp_mkdir_ex(c->sftp, p.data(), largo(p), 0755)); });
    if (!d.ok && !d.perdida && !d.detenida) {
        // SFTP refuses a folder that is there with a bare "Failure": one that
        // another of the run's uploads made meanwhile is made all the same.
        LIBSSH2_SFTP_ATTRIBUTES at{};
        const desenlace hay = opera(
            c, [&] { return static_cast<long>(libssh2_sftp_stat_ex(c->sftp, p.data(), largo(p), LIBSSH2_SFTP_STAT, &at)); });
        if (hay.perdida || hay.detenida)
            return hay;
        if (hay.ok && (at.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) && LIBSSH2_SFTP_S_ISDIR(at.permissions))
            d = hay;
    }
    if (d.ok)
        anota_sabida(c, p);
    return d;
}

desenlace sftp_borra(carril *c, const std::string &path)
{
    const std::string p = ruta_sftp(c, path);
    return opera(c, [&] { return static_cast<long>(libssh2_sftp_unlink_ex(c->sftp, p.data(), largo(p))); });
}

desenlace sftp_renombra(carril *c, const std::string &de, const std::string &a)
{
    const std::string p = ruta_sftp(c, de), q = ruta_sftp(c, a);
    return opera(c, [&] {
        return static_cast<long>(libssh2_sftp_rename_ex(c->sftp, p.data(), largo(p), q.data(), largo(q),
                                                        LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                                            LIBSSH2_SFTP_RENAME_NATIVE));
    });
}

void sftp_cierra(carril *c)
{
    if (!c)
        return;
    suelta(c);
    delete c;
}
