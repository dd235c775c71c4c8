// The catalogue: what the publish layer asks of the table that remembers
// what was published. Lookups in batches, rows queued and committed about
// once a second, the run lock, create, clear and rebuild. Two stores sit
// behind it, chosen by the configuration: a database server (MariaDB or
// MySQL, a Galera cluster; catalogue/servidor.h) and a file of the machine
// (SQLite, in-process; catalogue/embebido.h). Nothing here writes output or
// ends the process: a failed statement comes back as a `fallo`, which the
// caller reports in its place in the run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
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

// Pieces of the statement texts both stores write: the six stamp values,
// comma-separated, and Huella as a hexadecimal literal, or NULL.
std::string numeros(const sello &s);
std::string literal_huella(const huella &h);

// A statement of the catalogue: its text, as a failure report shows it, and
// for a lookup or a row, the file it is about, which a store may bind as
// parameters instead of reading the text.
struct sentencia {
    enum class clase : unsigned char { otra, busqueda, insercion, actualizacion, borrado_fila };
    clase tipo = clase::otra;
    std::string texto;
    std::string ruta, nombre;
    ::sello sello{};
    bool con_huella = false;  // the row writes Huella: h, or NULL when h is empty
    huella h;

    sentencia() = default;
    sentencia(std::string t) : texto(std::move(t)) {}
};

namespace servidor {
struct enlace;
}
namespace embebido {
struct base;
}

// An open catalogue: the table and the store that holds it, one of the two.
struct catalogo {
    std::string tabla;       // dbtablename
    bool contenido = false;  // compare = "content": rows keep Huella
    std::unique_ptr<servidor::enlace> en_servidor;
    std::unique_ptr<embebido::base> en_archivo;

    catalogo();
    ~catalogo();
};

// Opens the configured store: connects to the server with utf8mb4 names,
// or opens the catalogue file (creating it when it does not exist yet) once
// it has been checked to be one. False with the text to write on standard
// output when it cannot: the server library's text without a line break, or
// one line naming the file; *de_configuracion tells a fault of the
// configuration (a file that cannot be where the key puts it) from one of
// the catalogue.
bool abre_catalogo(const ajustes &a, catalogo &c, std::string &error, bool *de_configuracion = nullptr);
void cierra_catalogo(catalogo &c);

// "la tabla T de la base de datos D", or "la tabla T del catalogo F": the
// table as the run's lock lines name it.
std::string tabla_descrita(const catalogo &c);

// The store's text for the last failure on the main connection.
std::string ultimo_error(const catalogo &c);

// In content mode the lookup reads Huella too, as a seventh column.
// The statement that gives a table the exact comparison of names and the
// index on (Ruta, Nombre).
std::string sentencia_indice(const catalogo &c);
sentencia sentencia_busqueda(const catalogo &c, const std::string &ruta, const std::string &nombre);
// With h (content mode) the row's Huella is written too: the digest, or
// NULL when h is empty.
sentencia sentencia_insercion(const catalogo &c, const std::string &ruta, const std::string &nombre,
                                const sello &s, const huella *h = nullptr);
sentencia sentencia_actualizacion(const catalogo &c, const std::string &ruta, const std::string &nombre,
                                    const sello &s, const huella *h = nullptr);
// Deletes the rows of one file.
sentencia sentencia_borrado_fila(const catalogo &c, const std::string &ruta, const std::string &nombre);

// Every call below that sends a statement first reads the answers to the
// rows in flight (see avanza_filas); a failed row is then its result, and
// nothing is sent.

// The text of a statement, as a failure report shows it (a store may leave
// it unwritten until then).
std::string texto_de(const catalogo &c, const sentencia &s);

// Several statements sent together: to a server, in one round trip.
struct lote {
    std::vector<sentencia> sentencias;
    size_t bytes = 0;

    void agrega(sentencia s)
    {
        bytes += s.texto.size();
        sentencias.push_back(std::move(s));
    }
    // The statements as one multi-statement text.
    std::string texto() const
    {
        std::string t;
        t.reserve(bytes + sentencias.size());
        for (const sentencia &s : sentencias) {
            if (!t.empty())
                t += ';';
            t += s.texto;
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
void encola_fila(catalogo &c, sentencia sql, forma f);

// Rows queued or in flight: those whose answers have not been read.
size_t filas_sin_respuesta(const catalogo &c);

// Moves the rows on: reads the answers to the batch in flight once they
// have come (with todo, waiting for them), then sends the queued rows as
// the next batch, in one round trip, opening a transaction when none is
// open and committing it when it has been open a second. With todo every
// row is sent, committed and answered before it returns. A failed row
// stops the rest of its batch, and none of its transaction is committed.
[[nodiscard]] quizas_fallo avanza_filas(catalogo &c, bool todo);

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
// driver, which checks before each file, upload, delete and row whether it
// still holds.
struct arriendo {
    std::string nombre;   // the lock's name, the row's key
    std::string titular;  // 32 random hexadecimal digits, this run's
    bool tomado = false;  // false: no lease row (a single server without the table)
    const ajustes *a = nullptr;

    // The lease's length, its renewal period and the safe limit: the
    // constants above, shorter only in tests (VANTOR_PLAZO_ARRIENDO).
    int plazo = plazo_arriendo;
    std::chrono::milliseconds cada = cada_renovacion, limite = sin_renovar_max;

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
// unexpired one; for a catalogue file, what the holder wrote of itself.
struct ocupante {
    bool hay = false;
    std::string equipo, proceso;
    long segundos = 0;      // until it expires
    bool con_plazo = true;  // false: a lock of the file, held until its run ends
};

enum class toma { tomado, ocupado, sin_tabla };

// Takes the run lock of the configured table without waiting: the named
// lock of the server the run is connected to, then the lease row, read back
// with a causal read so that every later lookup sees what any node
// committed before. ocupado: another run holds either, described by
// *quien; sin_tabla: the server is a cluster node and vantor_bloqueo is
// missing. On a single server without the table the named lock is all.
// For a catalogue file, a lock of the kernel on the file that goes with the
// process (see catalogue/embebido.cpp).
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
