// The output owner: every line of a run, the held text and the status line.
//
// Catalogue rows travel in batches without waiting for their answers (see
// catalogue/writes.cpp). Whatever the run writes after a row is held here
// until that row is answered, so the output is the same as if each row had
// been sent and awaited at once: when a row fails, the lines written before
// it come out, then its report, and nothing after it.
//
// The status line is one line on standard error, redrawn at most ten times
// a second and erased before any other line is written, so that it never
// mixes with them; at the end a summary takes its place. When standard
// error is not a terminal nothing of it is ever written, and logs read
// exactly as without it.
#include "publish/salida.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

constexpr auto pausa = std::chrono::milliseconds(100);
constexpr auto ventana_ritmo = std::chrono::seconds(5);  // the rate is that of the last few seconds
const char *const borra = "\r\033[K";

// The only state outside the output owner: what the SIGINT handler reads,
// process-wide because a handler can reach nothing else. `visible`: the
// status line is on the terminal. `retenida_armada`: the armed owner's held
// text, or null while there is none or it is being changed. A handler gets
// nothing but the signal's number, so the text's address has to be here;
// it takes the place of a flag that said there was text to write, and a
// lock-free atomic is as safe to read in a handler as a sig_atomic_t.
volatile sig_atomic_t visible = 0;
std::atomic<const std::string *> retenida_armada{nullptr};
static_assert(std::atomic<const std::string *>::is_always_lock_free);

// Writes with nothing but write(2): usable from the handler too.
void escribe_fd(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void progreso_borra()
{
    if (!visible)
        return;
    visible = 0;
    escribe_fd(STDERR_FILENO, borra, 4);
}

// Ends the process on SIGINT, on whatever the main thread was doing (an
// upload included: the upload threads block the signal). One of the two
// places besides the driver that end the process, because nothing may run
// after an interrupt but what is safe in a handler.
void sigproc(int)
{
    progreso_borra();
    if (const std::string *t = retenida_armada.load())
        escribe_fd(STDOUT_FILENO, t->data(), t->size());
    _exit(static_cast<int>(estado::interrumpida));
}

std::string medida(long long bytes)
{
    const char *unidades[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024;
    int u = 0;
    while (v >= 1024 && u < 3) {
        v /= 1024;
        ++u;
    }
    char t[32];
    snprintf(t, sizeof t, "%.1f %s", v, unidades[u]);
    return t;
}

// Columns of the terminal, so that the line never wraps (a wrapped line
// cannot be erased with a carriage return).
size_t columnas()
{
    struct winsize w {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 1)
        return w.ws_col - 1;
    return 79;
}

}  // namespace

salida::~salida()
{
    if (armada_)
        retenida_armada = nullptr;
}

void salida::publica_retenida()
{
    if (armada_)
        retenida_armada = retenida_.empty() ? nullptr : &retenida_;
}

void salida::suelta_hasta(size_t hasta)
{
    size_t n = hasta > soltado_ ? hasta - soltado_ : 0;
    if (n > retenida_.size())
        n = retenida_.size();
    if (n == 0)
        return;
    retenida_armada = nullptr;
    progreso_borra();
    fwrite(retenida_.data(), 1, n, stdout);
    retenida_.erase(0, n);
    soltado_ += n;
    publica_retenida();
}

void salida::respondidas(size_t quedan)
{
    while (marcas_.size() > quedan)
        marcas_.pop_front();
    suelta_hasta(marcas_.empty() ? soltado_ + retenida_.size() : marcas_.front());
}

void salida::marca_fila() { marcas_.push_back(soltado_ + retenida_.size()); }

void salida::escribe(const std::string &texto)
{
    if (!marcas_.empty()) {
        retenida_armada = nullptr;
        retenida_ += texto;
        publica_retenida();
        return;
    }
    progreso_borra();
    fwrite(texto.data(), 1, texto.size(), stdout);
}

void salida::escribe_error(const std::string &texto)
{
    suelta_todo();
    progreso_borra();
    fflush(stdout);
    fwrite(texto.data(), 1, texto.size(), stderr);
}

void salida::escribe_aviso(const suceso &s)
{
    if (s.omitido)
        ++recuento_.omitidos;
    if (s.a_error)
        escribe_error(s.texto);
    else
        escribe(s.texto);
}

estado salida::informa(const fallo &f)
{
    if (f.fila >= 0 && static_cast<size_t>(f.fila) < marcas_.size())
        suelta_hasta(marcas_[f.fila]);
    else
        suelta_todo();
    retenida_armada = nullptr;
    retenida_.clear();
    marcas_.clear();
    progreso_borra();
    fputs(f.error.c_str(), stdout);
    if (f.f == forma::comillas)
        fputs(("Consulta: '" + f.sql + "'\n").c_str(), stdout);
    else if (f.f == forma::linea)
        fputs(("\nConsulta: " + f.sql + "\n").c_str(), stdout);
    // A deadlock among rows, or a cluster's certification conflict at the
    // COMMIT: another writer changed the same rows at the same time.
    if (f.fila >= 0 && f.numero == 1213)
        fputs("Otro proceso escribio en la tabla a la vez: no se guardo la ultima transaccion\n", stdout);
    if (f.numero == 1146)
        fputs(linea_sin_tabla_.c_str(), stdout);
    fputs(f.nota.c_str(), stdout);
    return estado::base_de_datos;
}

void salida::escribe_ultima(const std::string &linea)
{
    suelta_todo();
    retenida_armada = nullptr;
    progreso_borra();
    fputs(linea.c_str(), stdout);
    fflush(stdout);
    fflush(stderr);
}

void salida::cierra()
{
    suelta_todo();
    progreso_borra();
    fflush(stdout);
    fflush(stderr);
}

void salida::anota_subida(const std::string &local, bool ok)
{
    if (!ok) {
        ++recuento_.fallidos;
        return;
    }
    ++recuento_.subidos;
    // The bytes are shown only on a terminal: elsewhere the file is not
    // looked at again.
    if (!activo_)
        return;
    struct stat st;
    if (stat(local.c_str(), &st) == 0)
        recuento_.bytes += st.st_size;
}

std::string linea_progreso(const cuenta &c, double ritmo)
{
    return "Examinados: " + std::to_string(c.examinados) + "  Subidos: " + std::to_string(c.subidos) +
           "  Fallidos: " + std::to_string(c.fallidos) + "  Enviado: " + medida(c.bytes) + "  " +
           medida(static_cast<long long>(ritmo)) + "/s";
}

std::string linea_resumen(const cuenta &c, double segundos)
{
    char s[32];
    snprintf(s, sizeof s, "%.1f", segundos);
    return "Examinados " + std::to_string(c.examinados) + ", subidos " + std::to_string(c.subidos) +
           ", fallidos " + std::to_string(c.fallidos) + ", " + std::to_string(c.bytes) + " bytes en " + s +
           " s";
}

void salida::progreso_empieza()
{
    activo_ = isatty(STDERR_FILENO) == 1;
    inicio_ = reloj::now();
    ultimo_ = inicio_ - pausa;
    muestras_.clear();
    progreso_dibuja();
}

void salida::progreso_dibuja()
{
    if (!activo_)
        return;
    reloj::time_point ahora = reloj::now();
    if (ahora - ultimo_ < pausa)
        return;
    ultimo_ = ahora;
    muestras_.emplace_back(ahora, recuento_.bytes);
    while (muestras_.size() > 1 && ahora - muestras_.front().first > ventana_ritmo)
        muestras_.pop_front();
    double ritmo = 0;
    double dt = std::chrono::duration<double>(ahora - muestras_.front().first).count();
    if (dt > 0)
        ritmo = static_cast<double>(recuento_.bytes - muestras_.front().second) / dt;
    std::string linea = linea_progreso(recuento_, ritmo);
    size_t cabe = columnas();
    if (linea.size() > cabe)
        linea.resize(cabe);
    linea = borra + linea;
    escribe_fd(STDERR_FILENO, linea.data(), linea.size());
    visible = 1;
}

void salida::progreso_termina()
{
    if (!activo_)
        return;
    double segundos = std::chrono::duration<double>(reloj::now() - inicio_).count();
    visible = 0;
    std::string linea = borra + linea_resumen(recuento_, segundos) + "\n";
    escribe_fd(STDERR_FILENO, linea.data(), linea.size());
    activo_ = false;
}

void salida::arma_interrupcion()
{
    armada_ = true;
    publica_retenida();
    signal(SIGINT, sigproc);
}
