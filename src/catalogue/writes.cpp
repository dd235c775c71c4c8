// Rows written by the update run and the prune: queued, sent in batches
// without waiting for their answers, and committed together about once a
// second.
//
// Sent one by one and committed one by one, every row would cost a round
// trip to the server and a flush to disk, which on a first publish or with
// the catalogue far away takes longer than the upload of a small file.
// Instead a batch is in flight while the run goes on; its answers are read
// once they have come, and the rows queued meanwhile go as the next batch.
// Near the server that is about one row per batch, the answer read while
// the next file travels; far from it, the rows of a round trip's time go
// together. A run that ends early loses at most the rows of the open
// transaction; their files are simply uploaded again by the next run, so a
// row never stands for a file the server does not hold. Whoever writes the
// run's output holds back what comes after a row until it is answered (see
// publish/salida.h).
#include <poll.h>

#include "catalogue/servidor.h"

namespace servidor {

namespace {

constexpr auto intervalo = std::chrono::seconds(1);

// The answer to the batch in flight has begun to arrive.
bool ha_llegado(const enlace &c)
{
    pollfd p{static_cast<int>(mysql_get_socket(c.db)), POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// The failure of the k-th statement of the batch in flight.
fallo fallo_en(const enlace &c, size_t k, const std::string &error, unsigned numero)
{
    if (c.vuelo_abre && k == 0)
        return fallo{error, "START TRANSACTION", c.en_vuelo.empty() ? forma::linea : c.en_vuelo[0].second, 0,
                     numero};
    const size_t fila = k - c.vuelo_abre;
    if (fila < c.en_vuelo.size())
        return fallo{error, c.en_vuelo[fila].first, c.en_vuelo[fila].second, static_cast<long>(fila), numero};
    return fallo{error, "COMMIT", forma::linea, static_cast<long>(c.en_vuelo.size()), numero};
}

// Sends the queued rows, opening and committing a transaction as due; with
// cierra the transaction is committed whatever its age.
quizas_fallo despega(enlace &c, bool cierra)
{
    const auto ahora = std::chrono::steady_clock::now();
    c.vuelo_abre = !c.abierta && !c.filas.empty();
    c.vuelo_cierra = (c.abierta || c.vuelo_abre) && (cierra || (c.abierta && ahora - c.desde >= intervalo));
    if (!c.vuelo_abre && !c.vuelo_cierra && c.filas.empty())
        return std::nullopt;
    lote l;
    if (c.vuelo_abre)
        l.agrega(std::string("START TRANSACTION"));
    for (const auto &f : c.filas)
        l.agrega(f.first);
    if (c.vuelo_cierra)
        l.agrega(std::string("COMMIT"));
    c.en_vuelo = std::move(c.filas);
    c.filas.clear();
    if (c.vuelo_abre) {
        c.abierta = true;
        c.desde = ahora;
    }
    if (c.vuelo_cierra)
        c.abierta = false;

    if (l.sentencias.size() > 1 && !multi_on(c)) {
        // No multi-statement mode: one statement at a time, answered at once.
        for (size_t k = 0; k < l.sentencias.size(); ++k) {
            const std::string &s = l.sentencias[k].texto;
            if (mysql_real_query(c.db, s.data(), s.size()) != 0)
                return fallo_en(c, k, mysql_error(c.db), mysql_errno(c.db));
        }
        c.en_vuelo.clear();
        c.vuelo_abre = c.vuelo_cierra = false;
        return std::nullopt;
    }
    const std::string texto = l.texto();
    if (mysql_send_query(c.db, texto.data(), texto.size()) != 0)
        return fallo{mysql_error(c.db), l.sentencias.front().texto, forma::linea, 0};
    return std::nullopt;
}

}  // namespace

bool multi_on(enlace &c)
{
    if (c.multi < 0)
        c.multi = mysql_set_server_option(c.db, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0 ? 1 : 0;
    return c.multi == 1;
}

quizas_fallo recoge_filas(enlace &c)
{
    if (!c.vuelo_abre && !c.vuelo_cierra && c.en_vuelo.empty())
        return std::nullopt;
    const size_t total = c.vuelo_abre + c.en_vuelo.size() + c.vuelo_cierra;
    quizas_fallo falla;
    for (size_t k = 0; k < total; ++k) {
        int r = k == 0 ? mysql_read_query_result(c.db) : mysql_next_result(c.db);
        if (r == 0) {
            if (MYSQL_RES *res = mysql_store_result(c.db))
                mysql_free_result(res);
            continue;
        }
        if (r < 0)
            break;
        falla = fallo_en(c, k, mysql_error(c.db), mysql_errno(c.db));
        break;
    }
    if (falla)
        descarta_resultados(c);
    c.en_vuelo.clear();
    c.vuelo_abre = c.vuelo_cierra = false;
    return falla;
}

void encola_fila(enlace &c, std::string sql, forma f) { c.filas.emplace_back(std::move(sql), f); }

size_t filas_sin_respuesta(const enlace &c) { return c.en_vuelo.size() + c.filas.size(); }

quizas_fallo avanza_filas(enlace &c, bool todo)
{
    const bool en_vuelo = c.vuelo_abre || c.vuelo_cierra || !c.en_vuelo.empty();
    if (en_vuelo) {
        if (!todo && !ha_llegado(c))
            return std::nullopt;
        if (quizas_fallo f = recoge_filas(c))
            return f;
    }
    if (quizas_fallo f = despega(c, todo))
        return f;
    return todo ? recoge_filas(c) : std::nullopt;
}

}  // namespace servidor
