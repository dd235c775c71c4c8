// The catalogue table: its statements, the batches and rows that carry them,
// the run lock, create, clear and rebuild. Nothing here writes output or
// ends the process: a failed statement comes back as a `fallo`, which the
// caller reports in its place in the run.
#pragma once

#include <mysql.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ajustes.h"
#include "tree/walk.h"

// How a failed statement is reported after the server's error text.
enum class forma { comillas, linea, desnuda };

// A statement the server refused, or whose answer could not be read.
struct fallo {
    std::string error;  // the server's error text, written as it is
    std::string sql;    // the statement
    forma f = forma::linea;
    // A row of those queued by encola_fila: how many of the rows not
    // answered before it were answered without fault (the failed row's
    // place among them; their count when a COMMIT after them failed), so
    // that whatever was written after it does not appear. -1 for any other
    // statement.
    long fila = -1;
    unsigned numero = 0;  // the server's error number, when known
    std::string nota{};   // a line written after the report, if any
};

using quizas_fallo = std::optional<fallo>;

// The connection to the catalogue and what travels on it.
struct catalogo {
    MYSQL *db = nullptr;
    std::string tabla;       // dbtablename, put into every statement
    bool contenido = false;  // compare = "content": rows keep Huella

    // Multi-statement mode, switched on the first time a batch needs it.
    // -1: not tried yet, 0: refused by the server, 1: on.
    int multi = -1;

    // Rows queued by encola_fila and not yet sent, with the form their
    // failure is reported in; the rows sent whose answers are still to be
    // read; whether that batch opens a transaction or commits one.
    std::vector<std::pair<std::string, forma>> filas, en_vuelo;
    bool vuelo_abre = false, vuelo_cierra = false;
    // The transaction the rows travel in, and since when it is open.
    bool abierta = false;
    std::chrono::steady_clock::time_point desde;
};

// Connects to the configured server, with utf8mb4 names. False with the
// text to write on standard output (the library's, without a line break)
// when it cannot.
bool abre_catalogo(const ajustes &a, catalogo &c, std::string &error);
void cierra_catalogo(catalogo &c);

// Escapes a text value for a string literal on the open connection.
std::string escapa(const catalogo &c, const std::string &v);

std::string sentencia_creacion(const catalogo &c);
std::string sentencia_indice(const catalogo &c);
std::string sentencia_borrado(const catalogo &c);
// In content mode the lookup reads Huella too, as a seventh column.
std::string sentencia_busqueda(const catalogo &c, const std::string &ruta, const std::string &nombre);
// With h (content mode) the row's Huella is written too: the digest, or
// NULL when h is empty.
std::string sentencia_insercion(const catalogo &c, const std::string &ruta, const std::string &nombre,
                                const sello &s, const huella *h = nullptr);
std::string sentencia_actualizacion(const catalogo &c, const std::string &ruta, const std::string &nombre,
                                    const sello &s, const huella *h = nullptr);
// Deletes the rows of one file.
std::string sentencia_borrado_fila(const catalogo &c, const std::string &ruta, const std::string &nombre);
// Adds the column of the content comparison.
std::string sentencia_columna(const catalogo &c);

// Every call below that sends a statement first reads the answers to the
// rows in flight (see avanza_filas); a failed row is then its result, and
// nothing is sent.

// Sends one statement and reads its answer (a result, if any, is
// dropped).
[[nodiscard]] quizas_fallo consulta(catalogo &c, const std::string &sql, forma f);
// The same for a statement whose whole result the caller reads from *r and
// then frees.
[[nodiscard]] quizas_fallo consulta_filas(catalogo &c, const std::string &sql, forma f, MYSQL_RES **r);

// Several statements sent in one round trip.
struct lote {
    std::vector<std::string> sentencias;
    size_t bytes = 0;

    void agrega(std::string s)
    {
        bytes += s.size();
        sentencias.push_back(std::move(s));
    }
    // The statements as one multi-statement text.
    std::string texto() const
    {
        std::string t;
        t.reserve(bytes + sentencias.size());
        for (const std::string &s : sentencias) {
            if (!t.empty())
                t += ';';
            t += s;
        }
        return t;
    }
    // Large enough to send: a far server then costs a round trip per
    // thousand statements, and a larger batch only made the server slower
    // (measured from 1 to 2,048 lookups per round trip, near and 20 ms away).
    bool lleno() const { return sentencias.size() >= 1024 || bytes >= 512 * 1024; }
};

// Outcome of one statement of a batch.
struct respuesta {
    bool ok = false;
    bool hay_fila = false;
    bool fila_nula = false;  // a column of the row holds SQL NULL
    int valores[6] = {};     // the six stamp columns of a lookup row
    huella h;                // content mode: the row's Huella, empty when NULL
    std::string error;       // the server's error text when !ok
    unsigned numero = 0;     // and its error number
};

// Sends the batch and collects one answer per statement, in order, into
// out. After a failed statement the rest of the batch is not run: the
// answers stop there.
[[nodiscard]] quizas_fallo envia_lote(catalogo &c, const lote &l, std::vector<respuesta> &out);

// Queues a row written by the update run or the prune (an insert, update or
// delete whose failure is reported in form f). Rows travel in batches,
// sent without waiting for their answers; they are committed together
// about once a second and by avanza_filas(c, true).
void encola_fila(catalogo &c, std::string sql, forma f);

// Rows queued or in flight: those whose answers have not been read.
size_t filas_sin_respuesta(const catalogo &c);

// Moves the rows on: reads the answers to the batch in flight once they
// have come (with todo, waiting for them), then sends the queued rows as
// the next batch, in one round trip, opening a transaction when none is
// open and committing it when it has been open a second. With todo every
// row is sent, committed and answered before it returns. A failed row
// stops the rest of its batch, and none of its transaction is committed.
[[nodiscard]] quizas_fallo avanza_filas(catalogo &c, bool todo);

// Within the catalogue: switches multi-statement mode on the first time a
// batch needs it; false when the server refuses it.
bool multi_on(catalogo &c);
// Waits for the answers to the batch in flight, if any.
[[nodiscard]] quizas_fallo recoge_filas(catalogo &c);
// Reads and drops the results left of a multi-statement whose statement
// failed, so that the connection stays in step.
void descarta_resultados(catalogo &c);

// Name of the run lock of a table: "vantor.<dbname>.<dbtablename>"; when
// that exceeds the server's 64 characters, "vantor." followed by at most
// the first 40 bytes (whole UTF-8 characters) of "<dbname>.<dbtablename>",
// ".", and 16 hexadecimal digits of its 64-bit FNV-1a digest.
std::string nombre_bloqueo(const std::string &base, const std::string &tabla);

// The table of run leases (tabla_bloqueo), one row per lock name, shared by
// every catalogue of the database; -c creates it.
std::string sentencia_tabla_bloqueo();

// Seconds a lease lasts unless renewed, how often the run renews it, and
// after how long without a renewal the run stops itself (before the lease
// could expire and another run take it).
inline constexpr int plazo_arriendo = 30;
inline constexpr auto cada_renovacion = std::chrono::seconds(5);
inline constexpr auto sin_renovar_max = std::chrono::seconds(25);

// A run's lease on its table: the row of vantor_bloqueo that names it as
// the holder, which every node of a Galera cluster certifies, renewed on a
// connection of its own by a thread while the run lasts. Owned by the
// driver; the output owner reads whether it still holds.
struct arriendo {
    std::string nombre;   // the lock's name, the row's key
    std::string titular;  // 32 random hexadecimal digits, this run's
    bool tomado = false;  // false: no lease row (a single server without the table)
    const ajustes *a = nullptr;

    std::atomic<bool> perdido{false};  // a renewal found the row taken by another run
    // When the row last surely held: nanoseconds since the machine started,
    // its sleep included (CLOCK_BOOTTIME), as arriendo_vigente reads them.
    std::atomic<std::chrono::nanoseconds::rep> renovado{0};
    std::thread hilo;
    std::mutex mu;
    std::condition_variable cv;
    bool parar = false;
};

// What the lease row says of the run that holds the lock, when there is an
// unexpired one.
struct ocupante {
    bool hay = false;
    std::string equipo, proceso;
    long segundos = 0;  // until it expires
};

enum class toma { tomado, ocupado, sin_tabla };

// Takes the run lock of the configured table without waiting: the named
// lock of the server the run is connected to, then the lease row, read back
// with a causal read so that every later lookup sees what any node
// committed before. ocupado: another run holds either, described by
// *quien; sin_tabla: the server is a cluster node and vantor_bloqueo is
// missing. On a single server without the table the named lock is all.
[[nodiscard]] quizas_fallo toma_bloqueo(catalogo &c, const ajustes &a, arriendo &l, toma *t, ocupante *quien);

// Whether the lease still holds: not lost, and renewed within
// sin_renovar_max. True when there is no lease row.
bool arriendo_vigente(const arriendo &l);

// Stops the renewal and deletes the lease row, on the main connection once
// every row is committed. Failures are ignored: the row expires by itself.
void suelta_bloqueo(catalogo &c, arriendo &l);

// Whether the table has the column Huella that content mode needs.
[[nodiscard]] quizas_fallo tiene_huella(catalogo &c, bool *hay);

// Creates the table whole, with its index, exact collation and, in content
// mode, Huella, and the table of leases; a table it made is dropped again
// when a later step is refused.
[[nodiscard]] quizas_fallo crea_tabla(catalogo &c);
// Whether an existing table lacks the exact comparison of names or the
// index on (Ruta, Nombre) that -c gives it; false when that cannot be told.
bool tabla_incompleta(catalogo &c);
[[nodiscard]] quizas_fallo borra_tabla(catalogo &c);

// Rebuild: clears the table and fills it from the local tree, in one
// transaction where the table's engine has them. Every event of the walk
// that is not a file is handed to aviso in its place, after the rows of the
// files before it were sent.
[[nodiscard]] quizas_fallo reconstruye(catalogo &c, const arbol &t,
                                       const std::function<void(const suceso &)> &aviso);

// A file the catalogue has a row for.
struct publicado {
    std::string ruta, nombre;
};

// Every file of the table, once each, ordered by Ruta and Nombre.
[[nodiscard]] quizas_fallo publicados(catalogo &c, std::vector<publicado> &out);
