// The status line of an update run on a terminal: one line on standard
// error, redrawn at most ten times a second and erased before any other line
// is written, so that it never mixes with them; at the end a summary takes
// its place. When standard error is not a terminal nothing is ever written,
// and logs read exactly as without it.
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <utility>

#include "publish/progress.h"

namespace {

using reloj = std::chrono::steady_clock;

constexpr auto pausa = std::chrono::milliseconds(100);
// The rate is that of the last few seconds.
constexpr auto ventana = std::chrono::seconds(5);

bool activo = false;
volatile sig_atomic_t visible = 0;
reloj::time_point inicio, ultimo;
std::deque<std::pair<reloj::time_point, long long>> muestras;

const char *const borra = "\r\033[K";

void escribe(const std::string &s)
{
    const char *p = s.data();
    size_t n = s.size();
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, p, n);
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
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

bool progreso_activo() { return activo; }

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
    escribe(borra + linea);
    visible = 1;
}

void progreso_borra()
{
    if (!visible)
        return;
    visible = 0;
    escribe(borra);
}

void progreso_corta()
{
    if (!visible)
        return;
    visible = 0;
    ssize_t r = write(STDERR_FILENO, borra, 4);
    (void)r;
}

void progreso_termina()
{
    if (!activo)
        return;
    double segundos = std::chrono::duration<double>(reloj::now() - inicio).count();
    visible = 0;
    escribe(borra + linea_resumen(recuento, segundos) + "\n");
    activo = false;
}
