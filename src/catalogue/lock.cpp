// The run lock: update, prune, rebuild and clear runs take it right after
// connecting, so that two runs over the same catalogue never work at once,
// whichever machines and database nodes they go through.
//
// It has two parts. The named lock (GET_LOCK) lives on the one server the
// run is connected to and goes with the connection, so a killed run leaves
// nothing behind; on a Galera cluster every node has its own, and two runs
// through two nodes would both get one. The lease is a row of
// vantor_bloqueo, written in one autocommit statement that every node
// certifies: of two runs taking it through two nodes at once, one commits
// and the other gets a conflict (error 1213) or finds the row held. The row
// names the run and the node it went through and expires unless renewed,
// so a run that died frees it within plazo_arriendo seconds; a run that
// holds the named lock of the same node may take a row left by that node at
// once, since the run that wrote it must be gone (its named lock would
// still be held), which keeps the instant release of a single server.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "catalogue/servidor.h"

namespace {

// The server takes lock names of at most 64 characters.
constexpr size_t max_nombre = 64;
constexpr const char *prefijo = "vantor.";
// Times the lease is asked for when the row it found held has no holder
// once read.
constexpr int intentos_toma = 5;

}  // namespace

std::string nombre_bloqueo(const std::string &base, const std::string &tabla)
{
    const std::string entero = base + "." + tabla;
    if (std::string(prefijo).size() + entero.size() <= max_nombre)
        return prefijo + entero;
    // Too long: the start of the names, readable, then a digest of the whole
    // of them, which keeps two long names that share their start apart.
    char cola[18];
    snprintf(cola, sizeof cola, ".%016llx", static_cast<unsigned long long>(fnv1a(entero)));
    size_t cabe = max_nombre - std::string(prefijo).size() - 17;
    // Never cut a UTF-8 character in two.
    while (cabe > 0 && (static_cast<unsigned char>(entero[cabe]) & 0xC0) == 0x80)
        --cabe;
    return prefijo + entero.substr(0, cabe) + cola;
}

namespace servidor {

namespace {

// Time since the machine started, the time it slept included: a run whose
// machine was suspended and woken, or whose process was stopped and
// continued, sees its last renewal as old as it is.
std::chrono::nanoseconds desde_arranque()
{
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

std::string ficha()
{
    std::random_device r;
    std::string out;
    for (int i = 0; i < 4; ++i) {
        char t[9];
        snprintf(t, sizeof t, "%08x", static_cast<unsigned>(r()));
        out += t;
    }
    return out;
}

std::string equipo()
{
    char h[256] = {};
    if (gethostname(h, sizeof h - 1) != 0)
        return "?";
    return h;
}

// Missing table, or an account that may not use it.
bool sin_tabla_usable(unsigned e) { return e == 1146 || e == 1142 || e == 1143; }

// Whether the server is a node of a Galera cluster. A server that does not
// know the variable is not one.
bool es_cluster(enlace &c)
{
    MYSQL_RES *r = nullptr;
    if (consulta_filas(c, "SELECT @@wsrep_on", forma::linea, &r))
        return false;
    MYSQL_ROW f = mysql_fetch_row(r);
    const bool si = f && f[0] && f[0][0] == '1';
    mysql_free_result(r);
    return si;
}

// wsrep_sync_wait's bits: 1 before reads, 2 before updates and deletes, 4
// before inserts (INSERT ... ON DUPLICATE KEY UPDATE among them). A
// statement with them set waits until the node has applied every write the
// cluster committed before it, so it sees what a run or a clear through
// another node has just done.
constexpr int espera_lectura = 1;
constexpr int espera_escritura = 2 | 4;

std::string causal(int bits, const std::string &sql)
{
    return "SET STATEMENT wsrep_sync_wait = " + std::to_string(bits) + " FOR " + sql;
}

// A server that knows neither SET STATEMENT nor the variable (not MariaDB)
// is no cluster node: the statement is sent as it is.
bool sin_espera(unsigned e) { return e == 1064 || e == 1193; }

// The statement with the given bits of wsrep_sync_wait; as it is on a
// server without them. *r as consulta_filas gives it, when r is given.
quizas_fallo causal(enlace &c, int bits, const std::string &sql, MYSQL_RES **r = nullptr)
{
    auto envia = [&](const std::string &texto) {
        return r ? consulta_filas(c, texto, forma::linea, r) : consulta(c, texto, forma::linea);
    };
    quizas_fallo f = envia(causal(bits, sql));
    if (f && sin_espera(f->numero))
        f = envia(sql);
    return f;
}

// The one value of a one-row, one-column result (with espera, read
// causally); empty when none.
quizas_fallo valor(enlace &c, const std::string &sql, std::string &out, bool espera = false)
{
    MYSQL_RES *r = nullptr;
    if (quizas_fallo f = espera ? causal(c, espera_lectura, sql, &r) : consulta_filas(c, sql, forma::linea, &r))
        return f;
    MYSQL_ROW f = mysql_fetch_row(r);
    out = f && f[0] ? f[0] : "";
    mysql_free_result(r);
    return std::nullopt;
}

// What the lease row says of its holder, when it has not expired.
void lee_ocupante(enlace &c, const arriendo &l, ocupante *quien)
{
    MYSQL_RES *r = nullptr;
    const std::string sql = "SELECT Equipo, Proceso, TIMESTAMPDIFF(SECOND, UTC_TIMESTAMP(6), Expira) FROM " +
                            std::string(tabla_bloqueo) + " WHERE Nombre = '" + escapa(c, l.nombre) + "'";
    if (causal(c, espera_lectura, sql, &r))
        return;
    MYSQL_ROW f = mysql_fetch_row(r);
    if (f && f[0] && f[1] && f[2] && atol(f[2]) >= 0) {
        quien->hay = true;
        quien->equipo = f[0];
        quien->proceso = f[1];
        quien->segundos = atol(f[2]);
    }
    mysql_free_result(r);
}

// The renewal, on a connection of its own: the main one has batches in
// flight and waits on long uploads. A failed renewal is tried again at the
// next turn; the run stops itself if none succeeds for sin_renovar_max.
void renueva(arriendo *l, const std::string plano)
{
    std::string sql = causal(espera_escritura, plano);
    const ajustes &a = *l->a;
    MYSQL *db = nullptr;
    std::unique_lock<std::mutex> lk(l->mu);
    while (!l->parar && !l->perdido) {
        l->cv.wait_for(lk, l->cada, [l] { return l->parar; });
        if (l->parar)
            break;
        lk.unlock();
        const std::chrono::nanoseconds enviado = desde_arranque();
        if (!db) {
            db = mysql_init(nullptr);
            unsigned plazo = 10;
            mysql_options(db, MYSQL_OPT_CONNECT_TIMEOUT, &plazo);
            mysql_options(db, MYSQL_OPT_READ_TIMEOUT, &plazo);
            mysql_options(db, MYSQL_OPT_WRITE_TIMEOUT, &plazo);
            mysql_options(db, MYSQL_SET_CHARSET_NAME, "utf8mb4");
            if (!mysql_real_connect(db, a.dbserver.c_str(), a.dbuser.c_str(), a.dbpass.c_str(),
                                    a.dbname.c_str(), a.puerto_db, nullptr, 0)) {
                mysql_close(db);
                db = nullptr;
            }
        }
        if (db && mysql_real_query(db, sql.data(), sql.size()) != 0 && sin_espera(mysql_errno(db))) {
            sql = plano;
            mysql_real_query(db, sql.data(), sql.size());
        }
        if (db && mysql_errno(db) == 0) {
            if (mysql_affected_rows(db) == 0)
                l->perdido = true;
            else
                l->renovado = enviado.count();
        } else if (db) {
            mysql_close(db);
            db = nullptr;
        }
        lk.lock();
    }
    lk.unlock();
    if (db)
        mysql_close(db);
}

}  // namespace

std::string sentencia_tabla_bloqueo()
{
    return "CREATE TABLE IF NOT EXISTS " + std::string(tabla_bloqueo) +
           " (Nombre varchar(64) NOT NULL PRIMARY KEY, Titular char(32) NOT NULL, Nodo varchar(300) NOT NULL, "
           "Equipo varchar(255) NOT NULL, Proceso int unsigned NOT NULL, Expira datetime(6) NOT NULL) "
           "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin";
}

quizas_fallo toma_bloqueo(enlace &c, const ajustes &a, arriendo &l, toma *t, ocupante *quien)
{
    l.nombre = nombre_bloqueo(a.dbname, a.dbtablename);
    l.a = &a;
    // Only the tests shorten the lease (whole seconds, at least 6); the
    // renewal and the safe limit keep their share of it.
    if (const char *p = getenv("VANTOR_PLAZO_ARRIENDO")) {
        const long v = strtol(p, nullptr, 10);
        if (v >= 6 && v < plazo_arriendo) {
            l.plazo = static_cast<int>(v);
            l.cada = l.cada * v / plazo_arriendo;
            l.limite = l.limite * v / plazo_arriendo;
        }
    }
    const std::string nombre = escapa(c, l.nombre);
    std::string v;
    if (quizas_fallo f = valor(c, "SELECT GET_LOCK('" + nombre + "', 0)", v))
        return f;
    // 1: taken; 0: another connection holds it. NULL (an error inside the
    // server) counts as held: doing nothing is the safe side.
    if (v != "1") {
        lee_ocupante(c, l, quien);
        *t = toma::ocupado;
        return std::nullopt;
    }

    // The lease: inserted (1 row), taken over from an expired holder or one
    // of this node (2), or left to its holder (0). Titular is assigned
    // first, so the later columns change only when it became ours.
    l.titular = ficha();
    const std::string es_mia = "IF(Titular = VALUES(Titular), VALUES(";
    const std::string sql =
        "INSERT INTO " + std::string(tabla_bloqueo) +
        " (Nombre, Titular, Nodo, Equipo, Proceso, Expira) VALUES ('" + nombre + "', '" + l.titular +
        "', CONCAT(@@hostname, ':', @@port), '" + escapa(c, equipo()) + "', " + std::to_string(getpid()) +
        ", UTC_TIMESTAMP(6) + INTERVAL " + std::to_string(l.plazo) +
        " SECOND) ON DUPLICATE KEY UPDATE Titular = IF(Expira < UTC_TIMESTAMP(6) OR Nodo = VALUES(Nodo), "
        "VALUES(Titular), Titular), Nodo = " + es_mia + "Nodo), Nodo), Equipo = " + es_mia +
        "Equipo), Equipo), Proceso = " + es_mia + "Proceso), Proceso), Expira = " + es_mia + "Expira), Expira)";
    // Without the table, or without the right to use it, a single server
    // has its named lock, which is all it needs; a cluster node does not.
    auto sin_arriendo = [&](const fallo &f) -> quizas_fallo {
        if (!sin_tabla_usable(f.numero))
            return f;
        if (!es_cluster(c))
            *t = toma::tomado;
        else if (f.numero == 1146)
            *t = toma::sin_tabla;
        else
            return f;
        return std::nullopt;
    };
    // The statement waits for every write the cluster committed before it,
    // so a lease released through another node is seen as gone. A refusal
    // names its holder: when none is left by the time the holder is read
    // (the lease released or expired in between), the lease is asked for
    // again.
    std::chrono::nanoseconds enviado;
    for (int intento = 0;; ++intento) {
        enviado = desde_arranque();
        quizas_fallo f = causal(c, espera_escritura, sql);
        // 1213: another run through another node won the certification.
        bool rehusado = (f && f->numero == 1213) || (!f && mysql_affected_rows(c.db) == 0);
        if (f && !rehusado)
            return sin_arriendo(*f);
        // The read back: another token means another run took the row
        // between the statement and the read.
        if (!rehusado) {
            if (quizas_fallo g = valor(c, "SELECT Titular FROM " + std::string(tabla_bloqueo) +
                                              " WHERE Nombre = '" + nombre + "'",
                                       v, true))
                return sin_arriendo(*g);
            rehusado = v != l.titular;
        }
        if (!rehusado)
            break;
        *quien = ocupante{};
        lee_ocupante(c, l, quien);
        if (quien->hay || intento == intentos_toma - 1) {
            *t = toma::ocupado;
            return std::nullopt;
        }
    }
    l.tomado = true;
    l.renovado = enviado.count();
    l.hilo = std::thread(renueva, &l,
                         "UPDATE " + std::string(tabla_bloqueo) + " SET Expira = UTC_TIMESTAMP(6) + INTERVAL " +
                             std::to_string(l.plazo) + " SECOND WHERE Nombre = '" + nombre +
                             "' AND Titular = '" + l.titular + "'");
    *t = toma::tomado;
    return std::nullopt;
}

bool arriendo_vigente(const arriendo &l)
{
    if (!l.tomado)
        return true;
    const std::chrono::nanoseconds desde = desde_arranque() - std::chrono::nanoseconds(l.renovado.load());
    return !l.perdido && desde < l.limite;
}

void suelta_bloqueo(enlace &c, arriendo &l)
{
    if (!l.tomado)
        return;
    {
        std::lock_guard<std::mutex> g(l.mu);
        l.parar = true;
    }
    l.cv.notify_all();
    if (l.hilo.joinable())
        l.hilo.join();
    l.tomado = false;
    (void)consulta(c,
                   "DELETE FROM " + std::string(tabla_bloqueo) + " WHERE Nombre = '" + escapa(c, l.nombre) +
                       "' AND Titular = '" + l.titular + "'",
                   forma::linea);
}

}  // namespace servidor
