// The catalogue in a file: SQLite, in-process, for one machine that
// publishes with no database server. The table has the server's columns and
// meaning (names compared byte for byte, an index on the pair every lookup
// selects by); each value is bound to a statement prepared once.
//
// A file that already exists is opened without creating anything and is
// only read until it is known to be a catalogue: vantor's mark in the
// header (application_id), or an empty database, and a table of this name
// either missing or with the catalogue's columns. Nothing is written
// before that, so another program's file is left as it was.
//
// Journal: write-ahead log, synchronous = NORMAL. A commit appends to the
// log without a flush; the log is flushed at each checkpoint. A killed run
// loses only its open transaction, and a power cut at most the last
// commits, never the file: both cost only uploads sent again. The rollback
// journal with FULL, the other safe choice, flushes three times per commit
// and blocks readers while it writes (measured in bench/RESULTS-catalogue.md).
//
// The run lock is an open-file-description lock of the kernel (F_OFD_SETLK)
// on one byte of the file far beyond the bytes SQLite locks, one byte per
// table: it goes with the process however it ends, takes no side file, and
// unlike a plain fcntl lock is not dropped when some other descriptor of
// the file is closed. The holder names itself in the file's vantor_bloqueo
// table, which a refused run reads for its line.
#include "catalogue/embebido.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace embebido {

namespace {

// "vant": the mark vantor puts in the header of a file it creates.
constexpr int marca = 0x76616e74;

const char *const columnas[] = {"Ruta", "Nombre", "Dia", "Mes", "Anio", "Hora", "Minuto", "Segundo", "Huella"};

constexpr auto intervalo = std::chrono::seconds(1);

// How long a statement waits for another run's transaction on another
// table of the same file: there is one writer at a time per file.
constexpr int espera_ms = 60000;

// SQLite locks bytes from 1 GiB on; the run locks sit far above them.
constexpr off_t zona_bloqueo = off_t(1) << 62;

// A text between quotes, each quote inside it doubled, as SQL writes them.
std::string entre(const std::string &v, char comilla)
{
    std::string out(1, comilla);
    for (char ch : v) {
        out += ch;
        if (ch == comilla)
            out += comilla;
    }
    return out + comilla;
}

// A name (a table's, an index's) as an SQL identifier.
std::string identificador(const std::string &n) { return entre(n, '"'); }

// A text as an SQL literal, for the statement a failure report shows.
std::string literal(const std::string &v) { return entre(v, '\''); }

// The folder that holds a file: "." for a bare name.
std::string carpeta_de(const std::string &ruta)
{
    const size_t barra = ruta.rfind('/');
    if (barra == std::string::npos)
        return ".";
    return barra == 0 ? "/" : ruta.substr(0, barra);
}

fallo falla(const base &c, const std::string &sql, forma f, long fila = -1)
{
    return fallo{sqlite3_errmsg(c.db), sql, f, fila};
}

quizas_fallo ejecuta(base &c, const std::string &sql, forma f = forma::linea)
{
    if (sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return falla(c, sql, f);
    return std::nullopt;
}

// Runs a prepared statement to its end.
bool completa(sqlite3_stmt *st)
{
    int r;
    while ((r = sqlite3_step(st)) == SQLITE_ROW) {
    }
    sqlite3_reset(st);
    return r == SQLITE_DONE;
}

std::string sql_creacion(const base &c)
{
    return "CREATE TABLE " + c.identificador +
           " (Ruta TEXT COLLATE BINARY, Nombre TEXT COLLATE BINARY, Dia INTEGER, Mes INTEGER, Anio INTEGER, "
           "Hora INTEGER, Minuto INTEGER, Segundo INTEGER, Huella BLOB)";
}

// The index holds every column, so that lookups and folder reads are
// answered from it alone, without reading the table's rows. Among rows of
// the same name it orders by stamp, not by rowid: the readers pick the first
// stored by the rowid they read from it.
std::string nombre_indice(const base &c) { return c.tabla + "_Ruta_Nombre_Sello_Huella"; }

std::string sql_indice(const base &c)
{
    return "CREATE INDEX IF NOT EXISTS " + identificador(nombre_indice(c)) + " ON " + c.identificador +
           " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella)";
}

bool columnas_de(base &c, std::vector<std::string> &out);

// The table and its index, together; with si_falta, only when no other run
// made the table since the file was opened.
quizas_fallo haz_tabla(base &c, bool si_falta)
{
    if (quizas_fallo f = ejecuta(c, "BEGIN IMMEDIATE", forma::comillas))
        return f;
    std::vector<std::string> hay;
    if (si_falta && columnas_de(c, hay) && !hay.empty()) {
        c.con_tabla = true;
        return ejecuta(c, "COMMIT", forma::comillas);
    }
    for (const std::string &sql : {sql_creacion(c), sql_indice(c)}) {
        if (quizas_fallo f = ejecuta(c, sql, forma::comillas)) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            return f;
        }
    }
    if (quizas_fallo f = ejecuta(c, "COMMIT", forma::comillas))
        return f;
    c.con_tabla = true;
    return std::nullopt;
}

// The first use of a file, or of a new table in it, makes the table.
quizas_fallo asegura_tabla(base &c)
{
    if (c.con_tabla)
        return std::nullopt;
    return haz_tabla(c, true);
}

sqlite3_stmt *prepara(base &c, sqlite3_stmt *&st, const std::string &sql)
{
    if (!st && sqlite3_prepare_v3(c.db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
        st = nullptr;
    return st;
}

// The statement that runs s, its values bound.
sqlite3_stmt *enlaza(base &c, const sentencia &s)
{
    const std::string &t = c.identificador;
    sqlite3_stmt *st = nullptr;
    switch (s.tipo) {
    case sentencia::clase::busqueda:
        st = prepara(c, c.busca,
                     "SELECT rowid, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella FROM " + t +
                         " WHERE Ruta = ?1 AND Nombre = ?2");
        break;
    case sentencia::clase::insercion:
        st = prepara(c, c.inserta,
                     "INSERT INTO " + t +
                         " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella) VALUES (?1, ?2, ?3, ?4, ?5, "
                         "?6, ?7, ?8, ?9)");
        break;
    case sentencia::clase::actualizacion:
        // A re-stamp in content mode keeps the row's digest; any other
        // update writes it, NULL in time mode, so that no digest outlives
        // the content it was taken from.
        if (!s.con_huella && c.contenido)
            st = prepara(c, c.resella,
                         "UPDATE " + t +
                             " SET Dia = ?3, Mes = ?4, Anio = ?5, Hora = ?6, Minuto = ?7, Segundo = ?8 WHERE Ruta = ?1 "
                             "AND Nombre = ?2");
        else
            st = prepara(c, c.actualiza,
                         "UPDATE " + t +
                             " SET Dia = ?3, Mes = ?4, Anio = ?5, Hora = ?6, Minuto = ?7, Segundo = ?8, Huella = ?9 "
                             "WHERE Ruta = ?1 AND Nombre = ?2");
        break;
    case sentencia::clase::borrado_fila:
        st = prepara(c, c.borra, "DELETE FROM " + t + " WHERE Ruta = ?1 AND Nombre = ?2");
        break;
    case sentencia::clase::otra:
        break;
    }
    if (!st)
        return nullptr;
    sqlite3_bind_text(st, 1, s.ruta.data(), static_cast<int>(s.ruta.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, s.nombre.data(), static_cast<int>(s.nombre.size()), SQLITE_STATIC);
    if (s.tipo == sentencia::clase::busqueda || s.tipo == sentencia::clase::borrado_fila)
        return st;
    const int valores[6] = {s.sello.dia, s.sello.mes, s.sello.anio, s.sello.hora, s.sello.minuto, s.sello.segundo};
    for (int i = 0; i < 6; ++i)
        sqlite3_bind_int(st, 3 + i, valores[i]);
    if (sqlite3_bind_parameter_count(st) == 9) {
        if (s.con_huella && !s.h.empty())
            sqlite3_bind_blob(st, 9, s.h.data(), static_cast<int>(s.h.size()), SQLITE_STATIC);
        else
            sqlite3_bind_null(st, 9);
    }
    return st;
}

// A lookup's row into r: the six stamp columns from column primera on, then
// Huella.
void lee_fila(const base &c, sqlite3_stmt *st, int primera, respuesta &r)
{
    r.hay_fila = true;
    for (int i = 0; i < 6; ++i) {
        if (sqlite3_column_type(st, primera + i) == SQLITE_NULL)
            r.fila_nula = true;
        else
            r.valores[i] = sqlite3_column_int(st, primera + i);
    }
    if (c.contenido && sqlite3_column_type(st, primera + 6) != SQLITE_NULL)
        r.h.assign(static_cast<const char *>(sqlite3_column_blob(st, primera + 6)),
                   static_cast<size_t>(sqlite3_column_bytes(st, primera + 6)));
}

// Runs one statement of a batch into r.
void responde(base &c, const sentencia &s, respuesta &r)
{
    sqlite3_stmt *st = enlaza(c, s);
    if (!st) {
        r.error = sqlite3_errmsg(c.db);
        return;
    }
    int paso = sqlite3_step(st);
    if (s.tipo == sentencia::clase::busqueda) {
        // Of rows of the same name the first stored answers: the lowest rowid.
        sqlite3_int64 primera = 0;
        for (; paso == SQLITE_ROW; paso = sqlite3_step(st)) {
            const sqlite3_int64 fila = sqlite3_column_int64(st, 0);
            if (r.hay_fila && fila >= primera)
                continue;
            primera = fila;
            r = respuesta{};
            lee_fila(c, st, 1, r);
        }
    }
    if (paso == SQLITE_DONE || paso == SQLITE_ROW)
        r.ok = true;
    else
        r.error = sqlite3_errmsg(c.db);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
}

// Lookups of one folder in a batch from which its rows are read in one pass
// instead of one index search each (the walk hands on a folder's files
// together). A search costs about as much as reading two or three rows, so
// a folder is read whole only when it holds at most about twice as many
// rows as there are lookups in it.
constexpr size_t minimo_carpeta = 8;
constexpr size_t filas_por_consulta = 2;

// A row of a folder read whole: its name and the answer a lookup of that
// name would give.
struct fila_leida {
    std::string nombre;
    respuesta r;
};

bool antes(const fila_leida &f, const std::string &nombre) { return f.nombre < nombre; }

// Reads the rows of the folder ruta into filas, in the order of their names,
// for `consultas` lookups in it: one pass over the index instead of one
// search per file (in a run over an unchanged tree, the lookups are most of
// its work). A folder with many more rows than that is not worth reading
// whole: false, as on any failure, and each file is then looked up on its
// own, which also reports the failure as usual; the folder is remembered,
// so that the next batches of its files do not try again. Of rows of the same name
// only the first one stored is kept, the one a single lookup finds first.
bool lee_carpeta(base &c, const std::string &ruta, size_t consultas, std::vector<fila_leida> &filas)
{
    filas.clear();
    if (ruta == c.carpeta_extensa)
        return false;
    // In the index's own order: names compared byte for byte, as
    // std::string compares them; among equals the lowest rowid is kept.
    if (!prepara(c, c.busca_carpeta,
                 "SELECT Nombre, rowid, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella FROM " + c.identificador +
                     " WHERE Ruta = ?1 ORDER BY Nombre LIMIT ?2"))
        return false;
    sqlite3_stmt *st = c.busca_carpeta;
    const long long limite = static_cast<long long>(consultas * filas_por_consulta + 32);
    sqlite3_bind_text(st, 1, ruta.data(), static_cast<int>(ruta.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, limite + 1);
    long long leidas = 0;
    sqlite3_int64 primera = 0;
    int paso;
    while ((paso = sqlite3_step(st)) == SQLITE_ROW && ++leidas <= limite) {
        // A name stored as anything but text never equals the bound name.
        if (sqlite3_column_type(st, 0) != SQLITE_TEXT)
            continue;
        const char *texto = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        const size_t largo = static_cast<size_t>(sqlite3_column_bytes(st, 0));
        const sqlite3_int64 fila = sqlite3_column_int64(st, 1);
        if (!filas.empty() && filas.back().nombre.compare(0, std::string::npos, texto, largo) == 0) {
            if (fila >= primera)
                continue;
            filas.back().r = respuesta{};
        } else {
            filas.emplace_back();
            filas.back().nombre.assign(texto, largo);
        }
        primera = fila;
        filas.back().r.ok = true;
        lee_fila(c, st, 2, filas.back().r);
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (paso == SQLITE_ROW)
        c.carpeta_extensa = ruta;
    if (paso != SQLITE_DONE) {
        filas.clear();
        return false;
    }
    return true;
}

// What the holder of a table's lock wrote of itself.
void lee_titular(base &c, ocupante *quien)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(c.db, "SELECT Equipo, Proceso FROM vantor_bloqueo WHERE Nombre = ?1", -1, &st, nullptr) !=
        SQLITE_OK)
        return;
    sqlite3_bind_text(st, 1, c.tabla.data(), static_cast<int>(c.tabla.size()), SQLITE_STATIC);
    if (sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char *equipo = sqlite3_column_text(st, 0);
        quien->hay = equipo != nullptr;
        quien->equipo = equipo ? reinterpret_cast<const char *>(equipo) : "";
        quien->proceso = std::to_string(sqlite3_column_int64(st, 1));
        quien->con_plazo = false;
    }
    sqlite3_finalize(st);
}

std::string equipo()
{
    char h[256] = {};
    if (gethostname(h, sizeof h - 1) != 0)
        return "?";
    return h;
}

// The run lock's byte of this table.
struct flock cerrojo_de(const base &c, short tipo)
{
    struct flock fl {};
    fl.l_type = tipo;
    fl.l_whence = SEEK_SET;
    fl.l_start = zona_bloqueo + static_cast<uint32_t>(fnv1a(c.tabla));
    fl.l_len = 1;
    return fl;
}

// The one integer a statement answers; false when it cannot be read.
bool entero(base &c, const char *sql, long long &v)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(c.db, sql, -1, &st, nullptr) != SQLITE_OK)
        return false;
    const int r = sqlite3_step(st);
    if (r == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return r == SQLITE_ROW;
}

// The names of the table's columns, in order; none when it does not exist.
bool columnas_de(base &c, std::vector<std::string> &out)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(c.db, ("PRAGMA table_info(" + c.identificador + ")").c_str(), -1, &st, nullptr) !=
        SQLITE_OK)
        return false;
    int r;
    while ((r = sqlite3_step(st)) == SQLITE_ROW)
        out.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    return r == SQLITE_DONE;
}

// A table made before its index held every column gets that index in place
// of the one on (Ruta, Nombre) alone. Without it the answers are the same,
// only slower: a failure here (another run writing, say) is left for a later
// run to mend.
void pon_indice(base &c)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(c.db, "SELECT 1 FROM sqlite_schema WHERE type = 'index' AND name = ?1", -1, &st, nullptr) !=
        SQLITE_OK)
        return;
    const std::string nombre = nombre_indice(c);
    sqlite3_bind_text(st, 1, nombre.data(), static_cast<int>(nombre.size()), SQLITE_STATIC);
    const int paso = sqlite3_step(st);
    sqlite3_finalize(st);
    if (paso != SQLITE_DONE)
        return;
    // Another run writing is not waited for.
    sqlite3_busy_timeout(c.db, 0);
    const int empieza = sqlite3_exec(c.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(c.db, espera_ms);
    if (empieza != SQLITE_OK)
        return;
    const std::string sql =
        sql_indice(c) + "; DROP INDEX IF EXISTS " + identificador(c.tabla + "_Ruta_Nombre") + "; COMMIT";
    if (sqlite3_exec(c.db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace

bool abre(const ajustes &a, base &c, std::string &error, bool *de_configuracion)
{
    c.ruta = a.archivo_catalogo;
    c.tabla = a.dbtablename;
    c.contenido = a.contenido;
    c.identificador = identificador(c.tabla);
    auto no = [&](const std::string &por, bool de_config) {
        error = "Imposible usar el catalogo '" + c.ruta + "': " + por + "\n";
        if (de_configuracion)
            *de_configuracion = de_config;
        return false;
    };

    // SQLite writes its log beside the file: a folder that cannot be written
    // would let nothing be kept.
    const std::string carpeta = carpeta_de(c.ruta);
    struct stat st;
    if (stat(carpeta.c_str(), &st) != 0)
        return no("carpeta " + carpeta + ": " + strerror(errno), true);
    if (!S_ISDIR(st.st_mode))
        return no(carpeta + " no es una carpeta", true);
    if (access(carpeta.c_str(), W_OK | X_OK) != 0)
        return no("no se puede escribir en la carpeta " + carpeta + ": " + strerror(errno), true);
    bool existe = stat(c.ruta.c_str(), &st) == 0;
    if (!existe && errno != ENOENT)
        return no(strerror(errno), false);
    if (existe && S_ISDIR(st.st_mode))
        return no(strerror(EISDIR), true);
    if (existe && !S_ISREG(st.st_mode))
        return no("no es un archivo", true);
    bool nuevo = !existe || st.st_size == 0;

    c.cerrojo = open(c.ruta.c_str(), O_RDWR | O_CLOEXEC | (existe ? 0 : O_CREAT), 0644);
    if (c.cerrojo < 0)
        return no(strerror(errno), false);
    if (sqlite3_open_v2(c.ruta.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        return no(sqlite3_errmsg(c.db), false);
    // Until the file is known, closing it must not write to it either.
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(c.db, espera_ms);

    long long id = 0;
    if (!entero(c, "PRAGMA application_id", id)) {
        if (sqlite3_errcode(c.db) == SQLITE_NOTADB)
            return no("no es una base de datos SQLite", false);
        return no(sqlite3_errmsg(c.db), false);
    }
    if (id != marca) {
        long long objetos = 0;
        if (!entero(c, "SELECT count(*) FROM sqlite_schema", objetos))
            return no(sqlite3_errmsg(c.db), false);
        if (id != 0 || objetos != 0)
            return no("es una base de datos SQLite de otro programa", false);
        nuevo = true;
    }
    std::vector<std::string> hay;
    if (!columnas_de(c, hay))
        return no(sqlite3_errmsg(c.db), false);
    if (!hay.empty() && !std::equal(hay.begin(), hay.end(), std::begin(columnas), std::end(columnas)))
        return no("su tabla " + c.tabla + " no tiene las columnas de un catalogo de vantor", false);
    c.con_tabla = !hay.empty();

    // A catalogue, or a new file: from here on it may be written.
    sqlite3_db_config(c.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    if (nuevo && ejecuta(c, "PRAGMA application_id = " + std::to_string(marca)))
        return no(sqlite3_errmsg(c.db), false);
    if (ejecuta(c, "PRAGMA journal_mode = WAL") || ejecuta(c, "PRAGMA synchronous = NORMAL"))
        return no(sqlite3_errmsg(c.db), false);
    if (c.con_tabla)
        pon_indice(c);
    return true;
}

void cierra(base &c)
{
    for (sqlite3_stmt *st : {c.busca, c.busca_carpeta, c.inserta, c.actualiza, c.resella, c.borra})
        sqlite3_finalize(st);
    c.busca = c.busca_carpeta = c.inserta = c.actualiza = c.resella = c.borra = nullptr;
    if (c.db)
        sqlite3_close(c.db);
    c.db = nullptr;
    // Last: closing a descriptor of the file drops every plain fcntl lock
    // the process holds on it, SQLite's among them.
    if (c.cerrojo >= 0)
        close(c.cerrojo);
    c.cerrojo = -1;
}

std::string tabla_descrita(const base &c) { return "la tabla " + c.tabla + " del catalogo " + c.ruta; }

std::string ultimo_error(const base &c) { return sqlite3_errmsg(c.db); }

std::string sentencia_indice(const base &c) { return sql_indice(c); }

namespace {

// A statement of one file: its values, bound when it runs; its text is
// made only for a failure report (texto_de).
sentencia de_archivo(sentencia::clase tipo, const std::string &ruta, const std::string &nombre)
{
    sentencia out;
    out.tipo = tipo;
    out.ruta = ruta;
    out.nombre = nombre;
    return out;
}

// A row statement, with its stamp and, in content mode, its digest.
sentencia de_fila(sentencia::clase tipo, const std::string &ruta, const std::string &nombre, const sello &s,
                  const huella *h)
{
    sentencia out = de_archivo(tipo, ruta, nombre);
    out.sello = s;
    out.con_huella = h != nullptr;
    if (h)
        out.h = *h;
    return out;
}

}  // namespace

// A lookup's text is written only for a failure report: a run over a large
// unchanged tree makes one lookup per file and nothing else.
sentencia sentencia_busqueda(const base &, const std::string &ruta, const std::string &nombre)
{
    return de_archivo(sentencia::clase::busqueda, ruta, nombre);
}

std::string texto_de(const base &c, const sentencia &s)
{
    if (!s.texto.empty())
        return s.texto;
    const std::string donde = " WHERE Ruta = " + literal(s.ruta) + " AND Nombre = " + literal(s.nombre);
    switch (s.tipo) {
    case sentencia::clase::busqueda:
        return "SELECT Dia, Mes, Anio, Hora, Minuto, Segundo" + std::string(c.contenido ? ", Huella" : "") +
               " FROM " + c.identificador + donde;
    case sentencia::clase::insercion:
        return "INSERT INTO " + c.identificador +
               " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella) VALUES (" + literal(s.ruta) + ", " +
               literal(s.nombre) + ", " + numeros(s.sello) + ", " + literal_huella(s.h) + ")";
    case sentencia::clase::actualizacion: {
        // A re-stamp in content mode leaves the digest as it is.
        const bool sin_huella = !s.con_huella && c.contenido;
        return "UPDATE " + c.identificador + " SET Dia = " + std::to_string(s.sello.dia) +
               ", Mes = " + std::to_string(s.sello.mes) + ", Anio = " + std::to_string(s.sello.anio) +
               ", Hora = " + std::to_string(s.sello.hora) + ", Minuto = " + std::to_string(s.sello.minuto) +
               ", Segundo = " + std::to_string(s.sello.segundo) +
               (sin_huella ? std::string() : ", Huella = " + literal_huella(s.h)) + donde;
    }
    case sentencia::clase::borrado_fila:
        return "DELETE FROM " + c.identificador + donde;
    case sentencia::clase::otra:
        break;
    }
    return s.texto;
}

sentencia sentencia_insercion(const base &, const std::string &ruta, const std::string &nombre, const sello &s,
                              const huella *h)
{
    return de_fila(sentencia::clase::insercion, ruta, nombre, s, h);
}

sentencia sentencia_actualizacion(const base &, const std::string &ruta, const std::string &nombre, const sello &s,
                                  const huella *h)
{
    return de_fila(sentencia::clase::actualizacion, ruta, nombre, s, h);
}

sentencia sentencia_borrado_fila(const base &, const std::string &ruta, const std::string &nombre)
{
    return de_archivo(sentencia::clase::borrado_fila, ruta, nombre);
}

quizas_fallo envia_lote(base &c, const lote &l, std::vector<respuesta> &out)
{
    if (quizas_fallo f = avanza_filas(c, false))
        return f;
    if (quizas_fallo f = asegura_tabla(c))
        return f;
    // The lookups of a batch read in one transaction: one look at the
    // file's state for all of them instead of one each.
    const bool propia = sqlite3_get_autocommit(c.db) != 0;
    if (propia)
        if (quizas_fallo f = ejecuta(c, "BEGIN"))
            return f;
    out.reserve(out.size() + l.sentencias.size());
    const std::vector<sentencia> &todas = l.sentencias;
    std::vector<fila_leida> filas;
    for (size_t i = 0; i < todas.size();) {
        // The lookups of one folder that follow each other, answered from
        // one read of the folder's rows when there are enough of them.
        size_t fin = i;
        while (fin < todas.size() && todas[fin].tipo == sentencia::clase::busqueda && todas[fin].ruta == todas[i].ruta)
            ++fin;
        if (fin - i >= minimo_carpeta && lee_carpeta(c, todas[i].ruta, fin - i, filas)) {
            for (; i < fin; ++i) {
                auto hallada = std::lower_bound(filas.begin(), filas.end(), todas[i].nombre, antes);
                if (hallada != filas.end() && hallada->nombre == todas[i].nombre) {
                    out.push_back(hallada->r);
                } else {
                    out.emplace_back();
                    out.back().ok = true;
                }
            }
            continue;
        }
        respuesta r;
        responde(c, todas[i], r);
        out.push_back(std::move(r));
        if (!out.back().ok)
            break;
        ++i;
    }
    if (propia)
        if (quizas_fallo f = ejecuta(c, "COMMIT"))
            return f;
    return std::nullopt;
}

void encola_fila(base &c, sentencia sql, forma f) { c.filas.emplace_back(std::move(sql), f); }

size_t filas_sin_respuesta(const base &c) { return c.filas.size(); }

quizas_fallo avanza_filas(base &c, bool todo)
{
    const auto ahora = std::chrono::steady_clock::now();
    const long corridas = static_cast<long>(c.filas.size());
    if (!c.filas.empty()) {
        if (!c.abierta) {
            if (sqlite3_exec(c.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
                return falla(c, "BEGIN IMMEDIATE", c.filas.front().second, 0);
            c.abierta = true;
            c.desde = ahora;
        }
        for (size_t k = 0; k < c.filas.size(); ++k) {
            respuesta r;
            responde(c, c.filas[k].first, r);
            if (!r.ok) {
                fallo f{r.error, texto_de(c, c.filas[k].first), c.filas[k].second, static_cast<long>(k)};
                c.filas.clear();
                return f;
            }
        }
        c.filas.clear();
    }
    if (c.abierta && (todo || ahora - c.desde >= intervalo)) {
        if (sqlite3_exec(c.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return falla(c, "COMMIT", forma::linea, corridas);
        c.abierta = false;
    }
    return std::nullopt;
}

quizas_fallo toma_bloqueo(base &c, toma *t, ocupante *quien)
{
    struct flock fl = cerrojo_de(c, F_WRLCK);
    if (fcntl(c.cerrojo, F_OFD_SETLK, &fl) != 0) {
        if (errno != EAGAIN && errno != EACCES)
            return fallo{"Imposible bloquear el catalogo '" + c.ruta + "': " + strerror(errno) + "\n", "",
                         forma::desnuda};
        lee_titular(c, quien);
        *t = toma::ocupado;
        return std::nullopt;
    }
    c.bloqueado = true;
    *t = toma::tomado;
    if (quizas_fallo f = ejecuta(c, "CREATE TABLE IF NOT EXISTS vantor_bloqueo (Nombre TEXT PRIMARY KEY, Equipo TEXT "
                                    "NOT NULL, Proceso INTEGER NOT NULL)"))
        return f;
    sqlite3_stmt *st = nullptr;
    const std::string sql = "INSERT OR REPLACE INTO vantor_bloqueo (Nombre, Equipo, Proceso) VALUES (?1, ?2, ?3)";
    if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        return falla(c, sql, forma::linea);
    const std::string yo = equipo();
    sqlite3_bind_text(st, 1, c.tabla.data(), static_cast<int>(c.tabla.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, yo.data(), static_cast<int>(yo.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 3, getpid());
    const bool ok = completa(st);
    quizas_fallo f = ok ? std::nullopt : quizas_fallo(falla(c, sql, forma::linea));
    sqlite3_finalize(st);
    return f;
}

void suelta_bloqueo(base &c)
{
    if (!c.bloqueado)
        return;
    struct flock fl = cerrojo_de(c, F_UNLCK);
    fcntl(c.cerrojo, F_OFD_SETLK, &fl);
    c.bloqueado = false;
}

quizas_fallo crea_tabla(base &c) { return haz_tabla(c, false); }

quizas_fallo borra_tabla(base &c)
{
    if (quizas_fallo f = asegura_tabla(c))
        return f;
    return ejecuta(c, "DELETE FROM " + c.identificador, forma::comillas);
}

quizas_fallo reconstruye(base &c, const arbol &t, const std::function<void(const suceso &)> &aviso)
{
    if (quizas_fallo f = asegura_tabla(c))
        return f;
    // The clear and every insert take effect together: a rebuild that fails
    // half-way leaves the previous catalogue as it was.
    if (quizas_fallo f = ejecuta(c, "BEGIN IMMEDIATE", forma::comillas))
        return f;
    if (quizas_fallo f = ejecuta(c, "DELETE FROM " + c.identificador, forma::comillas))
        return f;
    recorrido_adelantado r(t);
    suceso s;
    while (r.siguiente(s)) {
        if (s.tipo == suceso::clase::aviso) {
            aviso(s);
            continue;
        }
        huella h;
        if (c.contenido && !huella_local(ruta_local(t, s.ruta + s.archivo.nombre), h))
            h.clear();
        const sentencia fila = sentencia_insercion(c, s.ruta, s.archivo.nombre, s.archivo.sello, c.contenido ? &h : nullptr);
        respuesta resp;
        responde(c, fila, resp);
        if (!resp.ok)
            return fallo{resp.error, texto_de(c, fila), forma::comillas};
    }
    return ejecuta(c, "COMMIT", forma::comillas);
}

quizas_fallo publicados(base &c, std::vector<publicado> &out)
{
    if (quizas_fallo f = asegura_tabla(c))
        return f;
    const std::string sql = "SELECT DISTINCT Ruta, Nombre FROM " + c.identificador + " ORDER BY Ruta, Nombre";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        return falla(c, sql, forma::linea);
    int r;
    while ((r = sqlite3_step(st)) == SQLITE_ROW) {
        const char *ruta = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        const char *nombre = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        if (!ruta || !nombre)
            continue;
        out.push_back({std::string(ruta, static_cast<size_t>(sqlite3_column_bytes(st, 0))),
                       std::string(nombre, static_cast<size_t>(sqlite3_column_bytes(st, 1)))});
    }
    quizas_fallo f = r == SQLITE_DONE ? std::nullopt : quizas_fallo(falla(c, sql, forma::linea));
    sqlite3_finalize(st);
    return f;
}

}  // namespace embebido
