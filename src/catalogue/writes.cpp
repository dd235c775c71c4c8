// Rows written by the update run and the prune: grouped into short
// transactions, and answered while the next file travels.
//
// Each row is sent right after its file was stored. Committed one by one,
// every row would cost the server a flush to disk, which on a first publish
// takes longer than the upload of a small file; the rows are therefore
// committed together about once a second and at the end of the run. A run
// that ends early loses at most that last second of rows; their files are
// simply uploaded again by the next run, so a row never stands for a file
// the server does not hold.
//
// A row is sent without waiting for its answer; the answer is read before
// the next statement. Whoever writes the run's output holds back what comes
// after the row until then (see publish/salida.h).
#include "catalogue/catalogue.h"

namespace {

constexpr auto intervalo = std::chrono::seconds(1);

}  // namespace

quizas_fallo espera_fila(catalogo &c)
{
    if (!c.pendiente)
        return std::nullopt;
    c.pendiente = false;
    if (mysql_read_query_result(c.db) != 0)
        return fallo{mysql_error(c.db), c.pendiente_sql, c.pendiente_forma, true};
    return std::nullopt;
}

quizas_fallo registra(catalogo &c, const std::string &sql, forma f)
{
    if (quizas_fallo antes = espera_fila(c))
        return antes;
    if (c.abierta && std::chrono::steady_clock::now() - c.desde >= intervalo) {
        if (quizas_fallo x = confirma(c, f))
            return x;
    }
    if (!c.abierta) {
        if (quizas_fallo x = consulta(c, "START TRANSACTION", f))
            return x;
        c.abierta = true;
        c.desde = std::chrono::steady_clock::now();
    }
    if (mysql_send_query(c.db, sql.data(), sql.size()) != 0)
        return fallo{mysql_error(c.db), sql, f};
    c.pendiente = true;
    c.pendiente_sql = sql;
    c.pendiente_forma = f;
    return std::nullopt;
}

quizas_fallo confirma(catalogo &c, forma f)
{
    if (quizas_fallo antes = espera_fila(c))
        return antes;
    if (!c.abierta)
        return std::nullopt;
    c.abierta = false;
    return consulta(c, "COMMIT", f);
}
