// The catalogue in a file of the machine: an SQLite database opened
// in-process, with the same table (its columns and their meaning) as on a
// server. Only catalogue/ sees this.
#pragma once

#include "catalogue/catalogue.h"

struct sqlite3;
struct sqlite3_stmt;

namespace embebido {

// The open file and what its statements keep between calls.
struct base {
    sqlite3 *db = nullptr;
    std::string ruta;        // the file, as the configuration resolved it
    std::string tabla;       // dbtablename
    std::string identificador;  // the table's name quoted for SQL
    bool contenido = false;
    bool con_tabla = false;  // the table exists (it was there, or was made)
    int cerrojo = -1;        // descriptor of the file that holds the run lock
    bool bloqueado = false;  // this run holds it

    // Prepared once, bound for every file.
    sqlite3_stmt *busca = nullptr, *inserta = nullptr, *actualiza = nullptr, *resella = nullptr, *borra = nullptr;
    sqlite3_stmt *busca_carpeta = nullptr;  // a folder's rows, for lookups answered together
    std::string carpeta_extensa;  // the last folder with too many rows to read whole

    // Rows queued by encola_fila and not yet run; the transaction they run
    // in, and since when it is open.
    std::vector<std::pair<sentencia, forma>> filas;
    bool abierta = false;
    std::chrono::steady_clock::time_point desde;
};

bool abre(const ajustes &a, base &c, std::string &error, bool *de_configuracion);
void cierra(base &c);
std::string tabla_descrita(const base &c);
std::string ultimo_error(const base &c);

std::string sentencia_indice(const base &c);
sentencia sentencia_busqueda(const base &c, const std::string &ruta, const std::string &nombre);
std::string texto_de(const base &c, const sentencia &s);
sentencia sentencia_insercion(const base &c, const std::string &ruta, const std::string &nombre, const sello &s,
                              const huella *h);
sentencia sentencia_actualizacion(const base &c, const std::string &ruta, const std::string &nombre,
                                  const sello &s, const huella *h);
sentencia sentencia_borrado_fila(const base &c, const std::string &ruta, const std::string &nombre);

[[nodiscard]] quizas_fallo envia_lote(base &c, const lote &l, std::vector<respuesta> &out);
void encola_fila(base &c, sentencia sql, forma f);
size_t filas_sin_respuesta(const base &c);
[[nodiscard]] quizas_fallo avanza_filas(base &c, bool todo);

[[nodiscard]] quizas_fallo toma_bloqueo(base &c, toma *t, ocupante *quien);
void suelta_bloqueo(base &c);

[[nodiscard]] quizas_fallo crea_tabla(base &c);
[[nodiscard]] quizas_fallo borra_tabla(base &c);
[[nodiscard]] quizas_fallo reconstruye(base &c, const arbol &t, const std::function<void(const suceso &)> &aviso);
[[nodiscard]] quizas_fallo publicados(base &c, std::vector<publicado> &out);

}  // namespace embebido
