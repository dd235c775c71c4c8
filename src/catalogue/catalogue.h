// The catalogue table: its statements, the batches and rows that carry them,
// the run lock, create, clear and rebuild. Nothing here writes output or
// ends the process: a failed statement comes back as a `fallo`, which the
// caller reports in its place in the run.
#pragma once

#include <mysql.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
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
    // The answer to a row sent earlier without waiting: whatever was written
    // after that row must not appear.
    bool de_fila = false;
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

    // A row sent without waiting for its answer (see registra).
    bool pendiente = false;
    std::string pendiente_sql;
    forma pendiente_forma = forma::linea;

    // The transaction the rows of an update run travel in.
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

// Sends one statement and reads its answer (a result, if any, is
// dropped). A row still awaited is read first.
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
    // Large enough to send: more would only make the round trip longer.
    bool lleno() const { return sentencias.size() >= 2048 || bytes >= 1024 * 1024; }
};

// Outcome of one statement of a batch.
struct respuesta {
    bool ok = false;
    bool hay_fila = false;
    bool fila_nula = false;  // a column of the row holds SQL NULL
    int valores[6] = {};     // the six stamp columns of a lookup row
    huella h;                // content mode: the row's Huella, empty when NULL
    std::string error;       // the server's error text when !ok
};

// Sends the batch and collects one answer per statement, in order, into
// out. After a failed statement the rest of the batch is not run: the
// answers stop there. A row still awaited is read first; its failure is the
// result, and then nothing is sent.
[[nodiscard]] quizas_fallo envia_lote(catalogo &c, const lote &l, std::vector<respuesta> &out);

// Sends a row written by the update run or the prune without waiting for
// its answer; rows are committed together about once a second (and by
// confirma). Its failure, reported in form f, comes back from the next
// call that reads it.
[[nodiscard]] quizas_fallo registra(catalogo &c, const std::string &sql, forma f);

// Reads the answer to the row registra sent last, if it is still awaited.
[[nodiscard]] quizas_fallo espera_fila(catalogo &c);

// Commits the rows registra has sent, if any.
[[nodiscard]] quizas_fallo confirma(catalogo &c, forma f);

// Name of the run lock of a table: "vantor.<dbname>.<dbtablename>"; when
// that exceeds the server's 64 characters, "vantor." followed by at most
// the first 40 bytes (whole UTF-8 characters) of "<dbname>.<dbtablename>",
// ".", and 16 hexadecimal digits of its 64-bit FNV-1a digest.
std::string nombre_bloqueo(const std::string &base, const std::string &tabla);

// Takes the run lock of the configured table without waiting; *tomado is
// false when another connection holds it.
[[nodiscard]] quizas_fallo toma_bloqueo(catalogo &c, const ajustes &a, bool *tomado);

// Whether the table has the column Huella that content mode needs.
[[nodiscard]] quizas_fallo tiene_huella(catalogo &c, bool *hay);

[[nodiscard]] quizas_fallo crea_tabla(catalogo &c);
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
