// The output owner: every line of a run, the held text, the status line and
// the run's end.
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
// The run lock's lease, and the line written when it is lost.
arriendo *vigilado = nullptr;
std::string linea_perdido;
// The line written after the report of a statement on a table that does
// not exist.
std::string linea_sin_tabla;
// Text held, and how much text was held and released before it.
std::string retenida;
size_t soltado = 0;
// Where the held text stood (counting what was released) when each row not
// yet answered was queued, oldest first: the text before a row's mark was
// written before the row.
std::deque<size_t> marcas;
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

[[noreturn]] void informa(const fallo &f);

// Writes the held text up to the absolute position hasta.
void suelta_hasta(size_t hasta)
{
    size_t n = hasta > soltado ? hasta - soltado : 0;
    if (n > retenida.size())
        n = retenida.size();
    if (n == 0)
        return;
    hay_retenida = 0;
    progreso_borra();
    fwrite(retenida.data(), 1, n, stdout);
    retenida.erase(0, n);
    soltado += n;
    hay_retenida = !retenida.empty();
}

// Writes what is held for the rows answered since the last look: the text
// up to the mark of the oldest row still unanswered, or all of it.
void sincroniza()
{
    const size_t quedan = vinculado ? filas_sin_respuesta(*vinculado) : 0;
    while (marcas.size() > quedan)
        marcas.pop_front();
    suelta_hasta(marcas.empty() ? soltado + retenida.size() : marcas.front());
}

// Moves the rows on without waiting, and writes what their answers free.
void avanza()
{
    if (!vinculado)
        return;
    if (quizas_fallo f = avanza_filas(*vinculado, false))
        informa(*f);
    sincroniza();
}

// Reports a failed statement after the text written before it.
[[noreturn]] void informa(const fallo &f)
{
    if (f.fila >= 0 && static_cast<size_t>(f.fila) < marcas.size())
        suelta_hasta(marcas[f.fila]);
    else
        suelta_hasta(soltado + retenida.size());
    hay_retenida = 0;
    retenida.clear();
    marcas.clear();
    // Nothing more goes to the catalogue: the run ends with this report.
    vinculado = nullptr;
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
        fputs(linea_sin_tabla.c_str(), stdout);
    fputs(f.nota.c_str(), stdout);
    termina(estado::base_de_datos);
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

void salida_sin_tabla(std::string linea) { linea_sin_tabla = std::move(linea); }

void salida_vigila(arriendo *l, std::string perdido)
{
    vigilado = l;
    linea_perdido = std::move(perdido);
}

void comprueba_bloqueo()
{
    if (!vigilado || arriendo_vigente(*vigilado))
        return;
    // Another run may be publishing by now: the rows not yet committed are
    // not sent (the server rolls their transaction back when the connection
    // ends), so none can record a file over what that run stored; their
    // files are simply uploaded again by a later run. The lines held for
    // them are true all the same.
    suelta_hasta(soltado + retenida.size());
    hay_retenida = 0;
    progreso_borra();
    fputs(linea_perdido.c_str(), stdout);
    fflush(stdout);
    fflush(stderr);
    // Upload threads may be running: end at once, as after a database
    // failure.
    _exit(static_cast<int>(estado::ocupada));
}

void escribe(const std::string &texto)
{
    sincroniza();
    if (!marcas.empty()) {
        hay_retenida = 0;
        retenida += texto;
        hay_retenida = 1;
        return;
    }
    progreso_borra();
    fwrite(texto.data(), 1, texto.size(), stdout);
}

void registra_fila(std::string sql, forma f)
{
    comprueba_bloqueo();
    sincroniza();
    marcas.push_back(soltado + retenida.size());
    encola_fila(*vinculado, std::move(sql), f);
    avanza();
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
    if (vinculado) {
        if (quizas_fallo f = avanza_filas(*vinculado, true))
            informa(*f);
    }
    sincroniza();
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
    if (vigilado && vinculado && e != estado::base_de_datos)
        suelta_bloqueo(*vinculado, *vigilado);
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
    // A failed row is reported in its place. Before any other failure the
    // rows not yet answered go: a failed one among them is the earlier
    // fault and is reported instead.
    if (f.fila < 0)
        asienta();
    informa(f);
}

void anota_examinado()
{
    comprueba_bloqueo();
    ++recuento.examinados;
    avanza();
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
