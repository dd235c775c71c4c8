// The session's engine: one easy handle driven through a multi handle of
// its own per connection. The multi handle keeps the logged-in connection
// between operations, and driving it with curl_multi_poll avoids the pause
// that curl_easy_perform may take before opening a data connection to a
// server that answers very fast. Every reply line passes through
// `cabecera`, so the last one is at hand for the failure lines, as the
// server wrote it. What the protocols do differently is asked of the
// session's dialect (motor.h).
//
// Between the steps of an operation, and at every chunk of a file read for
// the library, the engine asks whether the run may still touch the server:
// once it may not, nothing more is handed to the library and the operation
// ends as `detenida`.
#include "publish/motor.h"
#include "publish/sftp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "publish/pistas.h"
#include "tree/walk.h"

namespace {

size_t cabecera(char *p, size_t size, size_t n, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    size_t len = size * n;
    // An SSH server's banner where the FTP greeting should be: the
    // connection ends here rather than waiting for a greeting that never
    // comes.
    if (s->primera && clase_de_saludo(std::string_view(p, len)) == saludo::ssh) {
        s->en_curso.saludo_ajeno = primera_linea(std::string_view(p, len));
        return 0;
    }
    if (len >= 3 && p[0] >= '0' && p[0] <= '9' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9') {
        std::string linea(p, len);
        while (!linea.empty() && (linea.back() == '\n' || linea.back() == '\r'))
            linea.pop_back();
        s->en_curso.respuesta = linea + "\n";
        // A "NNN-" line opens a multi-line reply; its code is the same.
        s->en_curso.codigo = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
        if (p[0] == '1')
            s->en_curso.preliminar = true;
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
    // A run that lost its lock hands the library nothing more: the
    // transfer ends at this chunk.
    if (!vigente(s)) {
        s->en_curso.detenida = true;
        return CURL_READFUNC_ABORT;
    }
    for (;;) {
        ssize_t r = read(s->descriptor, dest, size * n);
        if (r >= 0) {
            s->avance = std::chrono::steady_clock::now();
            if (s->digesto && r > 0)
                EVP_DigestUpdate(s->digesto, dest, static_cast<size_t>(r));
            return static_cast<size_t>(r);
        }
        if (errno == EINTR)
            continue;
        s->en_curso.error_lectura = errno;
        return CURL_READFUNC_ABORT;
    }
}

// Waits until the connection has something to do. Between some steps (after
// a passive-mode reply, before the data connection is opened) the library
// has no socket to wait on, only its long timers, and must simply be called
// again: a poll then would sleep on every file. Only a long run of such
// calls (a name being resolved) waits a millisecond at a time.
void aguarda_actividad(sesion *s, int &sin_socket)
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

}  // namespace

std::string desenlace::texto() const
{
    if (!motivo.empty())
        return motivo;
    if (!respuesta.empty())
        return respuesta;
    return "Sin respuesta del servidor";
}

bool vigente(const sesion *s) { return !s->comun.vigente || s->comun.vigente(); }

std::string anfitrion(const ajustes &a)
{
    if (a.ftpserver.find(':') != std::string::npos)
        return "[" + a.ftpserver + "]";
    return a.ftpserver;
}

std::string escapada(const sesion *s, const std::string &path, size_t desde)
{
    std::string out;
    size_t i = desde;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i) {
            char *e = curl_easy_escape(s->easy, path.data() + i, static_cast<int>(j - i));
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

quizas_linea ilegible(const char *path)
{
    const int fd = abre_regular(path);
    if (fd < 0)
        return strerror(errno ? errno : EISDIR);
    close(fd);
    return std::nullopt;
}

void nuevo_multi(sesion *s)
{
    if (s->multi)
        curl_multi_cleanup(s->multi);
    s->multi = curl_multi_init();
    s->control = CURL_SOCKET_BAD;
    // One connection per handle: a new one replaces the old.
    curl_multi_setopt(s->multi, CURLMOPT_MAXCONNECTS, 1L);
}

long plazo_saludo(const sesion *s) { return s->config->plazo < 15 ? s->config->plazo : 15; }

desenlace sin_enviar(const std::string &motivo)
{
    desenlace d;
    d.motivo = motivo;
    return d;
}

desenlace ejecuta(sesion *s)
{
    s->en_curso = operacion{};
    s->error[0] = '\0';
    s->control_desperto = s->control_fuera = false;
    s->avance = std::chrono::steady_clock::now();
    CURLcode res = CURLE_FAILED_INIT;
    // A server that accepts the connection but says nothing is most likely
    // waiting for a TLS handshake: it is not given the whole reply timeout.
    const auto limite_saludo = std::chrono::steady_clock::now() + std::chrono::seconds(plazo_saludo(s));
    if (curl_multi_add_handle(s->multi, s->easy) == CURLM_OK) {
        int activos = 1, sin_socket = 0;
        while (activos) {
            if (!vigente(s)) {
                s->en_curso.detenida = true;
                break;
            }
            if (curl_multi_perform(s->multi, &activos) != CURLM_OK || !activos)
                break;
            if (s->primera && std::chrono::steady_clock::now() > limite_saludo) {
                s->en_curso.muda = true;
                break;
            }
            // The library's speed check covers only the data of an upload:
            // where a request may go unanswered, it is cut here, first.
            // With the socket shut, the library's goodbye to the session
            // fails at once instead of waiting on the silent server.
            if (s->habla->corta_estancada() &&
                std::chrono::steady_clock::now() - s->avance > std::chrono::seconds(s->config->plazo)) {
                s->en_curso.estancada = true;
                curl_socket_t fd = CURL_SOCKET_BAD;
                if (curl_easy_getinfo(s->easy, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK && fd != CURL_SOCKET_BAD)
                    shutdown(fd, SHUT_RDWR);
                break;
            }
            aguarda_actividad(s, sin_socket);
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
        s->control = s->habla->vigila_control() ? c : CURL_SOCKET_BAD;
        curl_multi_remove_handle(s->multi, s->easy);
    }
    s->en_curso.resultado = res;
    desenlace d;
    d.respuesta = s->en_curso.respuesta;
    d.codigo = s->en_curso.codigo;
    if (res == CURLE_OK && !s->en_curso.detenida) {
        d.ok = true;
        return d;
    }
    if (s->en_curso.detenida) {
        d.detenida = true;
        return d;
    }
    s->habla->falla(s, res, d);
    return d;
}

desenlace dialecto::envia(sesion *s, const std::string &local, const std::string &remota, std::string *h) const
{
    return transfiere(s, local, remota, h);
}

desenlace transfiere(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    s->descriptor = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (s->descriptor < 0)
        return sin_enviar(strerror(errno));
    curl_easy_setopt(s->easy, CURLOPT_URL, s->habla->url(s, remota).c_str());
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(s->easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(-1));
    if (h) {
        s->digesto = EVP_MD_CTX_new();
        if (s->digesto && EVP_DigestInit_ex(s->digesto, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(s->digesto);
            s->digesto = nullptr;
        }
        if (!s->digesto) {
            close(s->descriptor);
            s->descriptor = -1;
            return sin_enviar("Imposible calcular la huella SHA-256");
        }
    }
    desenlace d = ejecuta(s);
    if (!d.ok && !d.detenida)
        s->habla->tras_rechazo(s, d);
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    close(s->descriptor);
    s->descriptor = -1;
    if (s->digesto) {
        unsigned char dg[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(s->digesto, dg, &len) == 1 && len == 32)
            h->assign(reinterpret_cast<const char *>(dg), len);
        else
            h->clear();
        EVP_MD_CTX_free(s->digesto);
        s->digesto = nullptr;
    }
    return d;
}

desenlace ordenes(sesion *s, curl_slist *lista)
{
    curl_easy_setopt(s->easy, CURLOPT_URL, s->habla->url_ordenes(s).c_str());
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(s->easy, CURLOPT_QUOTE, lista);
    desenlace d = ejecuta(s);
    curl_easy_setopt(s->easy, CURLOPT_QUOTE, nullptr);
    curl_slist_free_all(lista);
    return d;
}

desenlace trae(sesion *s, const std::string &url, const char *orden)
{
    s->datos.clear();
    curl_easy_setopt(s->easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(s->easy, CURLOPT_CUSTOMREQUEST, orden);
    desenlace d = ejecuta(s);
    curl_easy_setopt(s->easy, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
    return d;
}

desenlace por_temporal(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    const size_t barra = remota.rfind('/');
    const size_t corte = barra == std::string::npos ? 0 : barra + 1;
    const std::string temporal = remota.substr(0, corte) + nombre_temporal(remota.substr(corte), s->comun.ficha);
    desenlace d = s->habla->envia(s, local, temporal, h);
    // Over a lost connection the copy stays; the retry of the file
    // overwrites it. A folder that is missing holds no copy. A run that
    // may no longer touch the server leaves it as it is.
    if (d.detenida || d.perdida || (!d.ok && d.falta_carpeta()))
        return d;
    if (d.ok) {
        // The rename is a step of its own, so that a run that lost its
        // lock while the file travelled never sends it.
        d = s->habla->renombra(s, temporal, remota);
        if (d.ok || d.detenida || d.perdida)
            return d;
        // The copy the rename looked for is not there: the file failed,
        // and the final name is left as it is.
        if (d.clase == negativa::sin_temporal)
            return d;
        // Stored whole but not renamed. Some servers (and SFTP's version 3)
        // will not rename over an existing file: without it the rename can
        // go through. Between the two the name is missing for a moment;
        // it never shows a part of the file.
        desenlace sin_final = s->habla->borra(s, remota);
        if (sin_final.ok) {
            desenlace otra = s->habla->renombra(s, temporal, remota);
            if (otra.ok || otra.detenida)
                return otra;
            d = otra;
        } else {
            d.perdida = sin_final.perdida;
            d.detenida = sin_final.detenida;
        }
        d.clase = negativa::renombre;
        if (d.perdida || d.detenida)
            return d;
    }
    // Whatever part of the file the server kept goes, and the reply that
    // refused it stays the one shown.
    (void)s->habla->borra(s, temporal);
    d.perdida = false;
    return d;
}

std::string ficha_al_azar()
{
    unsigned char b[8] = {};
    size_t hay = 0;
    while (hay < sizeof b) {
        ssize_t n = getrandom(b + hay, sizeof b - hay, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        hay += static_cast<size_t>(n);
    }
    if (hay < sizeof b) {
        // No random source: the time and the process still tell runs apart.
        const unsigned long long t = static_cast<unsigned long long>(
            std::chrono::system_clock::now().time_since_epoch().count()) ^
                                     (static_cast<unsigned long long>(getpid()) << 40);
        for (size_t i = 0; i < sizeof b; ++i)
            b[i] = static_cast<unsigned char>(t >> (8 * i));
    }
    char hex[17];
    for (size_t i = 0; i < sizeof b; ++i)
        snprintf(hex + 2 * i, 3, "%02x", b[i]);
    return hex;
}

void ftp_inicia()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    sftp_inicia();
}

// The one place that picks the dialect.
const dialecto &dialecto_de(const ajustes &a) { return a.sftp ? dialecto_sftp() : dialecto_ftp(); }

quizas_linea ftp_comprueba(const ajustes &a) { return dialecto_de(a).comprueba(a); }

sesion *ftp_nueva(const ajustes &a, tramite t)
{
    sesion *s = new sesion;
    s->config = &a;
    s->habla = &dialecto_de(a);
    s->comun = std::move(t);
    s->habla->prepara(s);
    return s;
}

void prepara_curl(sesion *s)
{
    const ajustes &a = *s->config;
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
}

const tramite &ftp_tramite(const sesion *s) { return s->comun; }

bool ftp_vigente(const sesion *s) { return vigente(s); }

desenlace ftp_abre(sesion *s) { return s->habla->abre(s); }

quizas_linea ftp_ruta_rechazada(const sesion *s, const std::string &remota)
{
    return s->habla->ruta_rechazada(remota);
}

desenlace ftp_put(sesion *s, const std::string &local, const std::string &remota, std::string *h)
{
    if (quizas_linea no = s->habla->ruta_rechazada(remota))
        return sin_enviar(*no);
    return s->habla->sube(s, local, remota, h);
}

desenlace ftp_lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out)
{
    desenlace d = s->habla->lista(s, carpeta, out);
    std::string().swap(s->datos);
    return d;
}

desenlace ftp_mkdir(sesion *s, const std::string &path)
{
    if (quizas_linea no = s->habla->ruta_rechazada(path))
        return sin_enviar(*no);
    desenlace d = s->habla->crea_carpeta(s, path);
    if (d.ok)
        s->carpetas.insert(path);
    return d;
}

desenlace ftp_borra(sesion *s, const std::string &path)
{
    if (quizas_linea no = s->habla->ruta_rechazada(path))
        return sin_enviar(*no);
    return s->habla->borra(s, path);
}

void ftp_cierra(sesion *s)
{
    if (!s)
        return;
    s->habla->cierra(s);
    // Closing the cached connection sends QUIT.
    curl_multi_cleanup(s->multi);
    curl_easy_cleanup(s->easy);
    delete s;
}

int ftp_carriles(const ajustes &a) { return dialecto_de(a).carriles(a); }

sesion *ftp_otro_carril(sesion *s) { return s->habla->otro_carril(s); }
