// The catalogue on a database server (MariaDB or MySQL, a Galera cluster):
// the connection, the statement texts, the batches and rows that carry
// them, the run lock, create, clear and rebuild. Only catalogue/ sees this.
#pragma once

#include <mysql.h>

#include "catalogue/catalogue.h"

namespace servidor {

// The connection to the server and what travels on it.
struct enlace {
    MYSQL *db = nullptr;
    std::string base;        // dbname
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

bool abre(const ajustes &a, enlace &c, std::string &error);
void cierra(enlace &c);

// Escapes a text value for a string literal on the open connection.
std::string escapa(const enlace &c, const std::string &v);

std::string sentencia_creacion(const enlace &c);
std::string sentencia_indice(const enlace &c);
std::string sentencia_borrado(const enlace &c);
// In content mode the lookup reads Huella too, as a seventh column.
std::string sentencia_busqueda(const enlace &c, const std::string &ruta, const std::string &nombre);
// With h (content mode) the row's Huella is written too: the digest, or
// NULL when h is empty.
std::string sentencia_insercion(const enlace &c, const std::string &ruta, const std::string &nombre,
                                const sello &s, const huella *h = nullptr);
std::string sentencia_actualizacion(const enlace &c, const std::string &ruta, const std::string &nombre,
                                    const sello &s, const huella *h = nullptr);
// Deletes the rows of one file.
std::string sentencia_borrado_fila(const enlace &c, const std::string &ruta, const std::string &nombre);
// Adds the column of the content comparison.
std::string sentencia_columna(const enlace &c);

// Sends one statement and reads its answer (a result, if any, is
// dropped). Like every call that sends a statement, it first reads the
// answers to the rows in flight.
[[nodiscard]] quizas_fallo consulta(enlace &c, const std::string &sql, forma f);
// The same for a statement whose whole result the caller reads from *r and
// then frees.
[[nodiscard]] quizas_fallo consulta_filas(enlace &c, const std::string &sql, forma f, MYSQL_RES **r);

[[nodiscard]] quizas_fallo envia_lote(enlace &c, const lote &l, std::vector<respuesta> &out);
void encola_fila(enlace &c, std::string sql, forma f);
size_t filas_sin_respuesta(const enlace &c);
[[nodiscard]] quizas_fallo avanza_filas(enlace &c, bool todo);

// Switches multi-statement mode on the first time a batch needs it; false
// when the server refuses it.
bool multi_on(enlace &c);
// Waits for the answers to the batch in flight, if any.
[[nodiscard]] quizas_fallo recoge_filas(enlace &c);
// Reads and drops the results left of a multi-statement whose statement
// failed, so that the connection stays in step.
void descarta_resultados(enlace &c);

std::string sentencia_tabla_bloqueo();
[[nodiscard]] quizas_fallo toma_bloqueo(enlace &c, const ajustes &a, arriendo &l, toma *t, ocupante *quien);
bool arriendo_vigente(const arriendo &l);
void suelta_bloqueo(enlace &c, arriendo &l);

[[nodiscard]] quizas_fallo tiene_huella(enlace &c, bool *hay);
[[nodiscard]] quizas_fallo crea_tabla(enlace &c);
[[nodiscard]] quizas_fallo borra_tabla(enlace &c);
bool tabla_incompleta(enlace &c);
[[nodiscard]] quizas_fallo reconstruye(enlace &c, const arbol &t, const std::function<void(const suceso &)> &aviso);
[[nodiscard]] quizas_fallo publicados(enlace &c, std::vector<publicado> &out);

}  // namespace servidor
