// The output owner: every line of a run, the held text, the status line and
// the run's end.
//
// A catalogue row is sent without waiting for its answer (see
// catalogue/writes.cpp), and the answer is read while the next file
// travels. Whatever the run writes meanwhile is held here, so the output is
// the same as if each row had been awaited at once: when the row failed,
// its report comes next and what was held is never written.
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

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>

namespace {

using reloj = std::chrono::steady_clock;

// The output owner's state: the one place that decides when a line may be
// written.
catalogo *vinculado = nullptr;
std::string retenida;
cuenta recuento;

// The status line.
constexpr auto pausa = std::chrono::milliseconds(100);
constexpr auto ventana = std::chrono::seconds(5);  // the rate is that of the last few seconds
bool activo = false;
reloj::time_point inicio, ultimo;
std::deque<std::pair<reloj::time_point, long long>> muestras;
const char *const borra = "\r\033[K";

// What the SIGINT handler reads: whether the status line is shown, and
// whether `retenida` holds text and is not being changed. Process-wide
// because a signal handler can reach nothing else.
volatile sig_atomic_t visible = 0;
volatile sig_atomic_t hay_retenida = 0;

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

void suelta_retenida()
{
    if (retenida.empty())
        return;
    hay_retenida = 0;
    progreso_borra();
    fputs(retenida.c_str(), stdout);
    retenida.clear();
}

void descarta_retenida()
{
    hay_retenida = 0;
    retenida.clear();
}

void sigproc(int)
{
    progreso_borra();
    if (hay_retenida)
        escribe_fd(STDOUT_FILENO, retenida.data(), retenida.size());
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

void salida_vincula(catalogo *c) { vinculado = c; }

void escribe(const std::string &texto)
{
    if (vinculado && vinculado->pendiente) {
        hay_retenida = 0;
        retenida += texto;
        hay_retenida = 1;
        return;
    }
    suelta_retenida();
    progreso_borra();
    fwrite(texto.data(), 1, texto.size(), stdout);
}

void escribe_error(const std::string &texto)
{
    asienta();
    progreso_borra();
    fflush(stdout);
    fwrite(texto.data(), 1, texto.size(), stderr);
}

void asienta()
{
    if (vinculado && vinculado->pendiente) {
        if (quizas_fallo f = espera_fila(*vinculado))
            termina_por_fallo(*f);
    }
    suelta_retenida();
}

void escribe_aviso(const suceso &s)
{
    if (s.omitido)
        ++recuento.omitidos;
    if (s.a_error)
        escribe_error(s.texto);
    else
        escribe(s.texto);
}

void termina(estado e)
{
    asienta();
    progreso_borra();
    fflush(stdout);
    fflush(stderr);
    // A database failure can come while upload threads run: end at once,
    // without running the destructors of what they use.
    if (e == estado::base_de_datos)
        _exit(static_cast<int>(e));
    exit(static_cast<int>(e));
}

void termina_por_fallo(const fallo &f)
{
    if (f.de_fila)
        descarta_retenida();
    else
        asienta();
    progreso_borra();
    fputs(f.error.c_str(), stdout);
    if (f.f == forma::comillas)
        fputs(("Consulta: '" + f.sql + "'\n").c_str(), stdout);
    else if (f.f == forma::linea)
        fputs(("\nConsulta: " + f.sql + "\n").c_str(), stdout);
    termina(estado::base_de_datos);
}

void anota_examinado()
{
    ++recuento.examinados;
    progreso_dibuja();
}

void anota_subida(const std::string &local, bool ok)
{
    if (!ok) {
        ++recuento.fallidos;
        return;
    }
    ++recuento.subidos;
    // The bytes are shown only on a terminal: elsewhere the file is not
    // looked at again.
    if (!activo)
        return;
    struct stat st;
    if (stat(local.c_str(), &st) == 0)
        recuento.bytes += st.st_size;
}

void anota_fallo() { ++recuento.fallidos; }

long long sin_publicar() { return recuento.fallidos + recuento.omitidos; }

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

void progreso_empieza()
{
    activo = isatty(STDERR_FILENO) == 1;
    inicio = reloj::now();
    ultimo = inicio - pausa;
    muestras.clear();
    progreso_dibuja();
}

void progreso_dibuja()
{
    if (!activo)
        return;
    reloj::time_point ahora = reloj::now();
    if (ahora - ultimo < pausa)
        return;
    ultimo = ahora;
    muestras.emplace_back(ahora, recuento.bytes);
    while (muestras.size() > 1 && ahora - muestras.front().first > ventana)
        muestras.pop_front();
    double ritmo = 0;
    double dt = std::chrono::duration<double>(ahora - muestras.front().first).count();
    if (dt > 0)
        ritmo = static_cast<double>(recuento.bytes - muestras.front().second) / dt;
    std::string linea = linea_progreso(recuento, ritmo);
    size_t cabe = columnas();
    if (linea.size() > cabe)
        linea.resize(cabe);
    linea = borra + linea;
    escribe_fd(STDERR_FILENO, linea.data(), linea.size());
    visible = 1;
}

void progreso_termina()
{
    if (!activo)
        return;
    double segundos = std::chrono::duration<double>(reloj::now() - inicio).count();
    visible = 0;
    std::string linea = borra + linea_resumen(recuento, segundos) + "\n";
    escribe_fd(STDERR_FILENO, linea.data(), linea.size());
    activo = false;
}

void instala_interrupcion() { signal(SIGINT, sigproc); }
