// The catalogue table: statements, failure report, create, clear, rebuild.
#pragma once

#include <mysql.h>
#include <string>
#include <utility>
#include <vector>

#include "tree/walk.h"

extern MYSQL db;
extern MYSQL_RES *resultado;
extern MYSQL_ROW fila;

// How a failed statement is reported after the server's error text.
enum class forma { comillas, linea, desnuda };

// Escapes a text value for a string literal on the open connection.
std::string escapa(const std::string &v);

std::string sentencia_creacion();
std::string sentencia_indice();
std::string sentencia_borrado();
// In content mode the lookup reads Huella too, as a seventh column.
std::string sentencia_busqueda(const std::string &ruta, const std::string &nombre);
// With h (content mode) the row's Huella is written too: the digest, or
// NULL when h is empty.
std::string sentencia_insercion(const std::string &ruta, const std::string &nombre, const sello &s,
                                const huella *h = nullptr);
std::string sentencia_actualizacion(const std::string &ruta, const std::string &nombre, const sello &s,
                                    const huella *h = nullptr);
// Deletes the rows of one file.
std::string sentencia_borrado_fila(const std::string &ruta, const std::string &nombre);
// Adds the column of the content comparison.
std::string sentencia_columna();

// Content comparison, the optional key compare: "time" (the default) or
// "content". Reads the key; on another value writes why and returns false.
bool compara_ajustes();
// True with compare = "content": rows keep in Huella the SHA-256 of the
// content last uploaded.
bool por_contenido();
// Content mode needs the column: without it, says so and ends the process
// with status 1.
void comprueba_huella();

// Writes the server's error text, then the statement in the given form, and
// ends the process with status 1.
[[noreturn]] void informa_fallo(const std::string &error, const std::string &consulta, forma f);

// Sends a statement; on failure reports it in the given form and exits.
void consulta(const std::string &sql, forma f);

// True when a relative directory or name fits a catalogue column as it is:
// valid UTF-8 of at most 255 characters, not ending in a blank. Otherwise
// writes why to *motivo.
bool admisible(const std::string &v, const char **motivo);

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
    bool lleno() const { return sentencias.size() >= 256 || bytes >= 256 * 1024; }
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

// Sends the batch and collects one answer per statement, in order. After a
// failed statement the rest of the batch is not run: the answers stop there.
std::vector<respuesta> envia_lote(const lote &l);

// Sends a row written by the update run without waiting for its answer;
// rows are committed together about once a second (and by confirma).
// Failures are reported in the given form.
void registra(const std::string &sql, forma f);

// Reads the answer to the row registra sent last, if it is still awaited,
// and writes the line held back meanwhile. Every statement and every line
// written waits for it first, so output keeps the order of the run.
void espera_registro();

// Writes a line now, or holds it until the last row's answer has come.
void escribe_o_retiene(const std::string &linea);

// Writes the line held back, if any, with nothing but write(2): for the
// interrupt handler, so that an interrupted run's output is complete.
void escribe_retenida();

// Commits the rows registra has sent, if any.
void confirma(forma f);

// Name of the run lock of a table: "vantor.<dbname>.<dbtablename>"; when
// that exceeds the server's 64 characters, "vantor." followed by at most
// the first 40 bytes (whole UTF-8 characters) of "<dbname>.<dbtablename>",
// ".", and 16 hexadecimal digits of its 64-bit FNV-1a digest.
std::string nombre_bloqueo(const std::string &base, const std::string &tabla);

// Takes the run lock of the configured table without waiting. When another
// connection holds it, says so and ends the process with status 3.
void toma_bloqueo();

void crea_tabla();
void borra_tabla();

// Rebuild: clears the table and fills it from the local tree, in one
// transaction where the table's engine has them.
void reconstruye();
void construye(const std::string &ruta);
