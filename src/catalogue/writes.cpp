// Rows written by the update run: grouped into short transactions, and
// answered while the next file travels.
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
// the next statement and before the next line is written. The one line a
// new file writes before its upload is held back until then, so the output
// is the same as if each row had been awaited at once: when the row failed,
// its report comes next and the held line is never written.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "catalogue/catalogue.h"
#include "publish/progress.h"

namespace {

using reloj = std::chrono::steady_clock;

constexpr auto intervalo = std::chrono::seconds(1);

bool abierta = false;
reloj::time_point desde;

bool pendiente = false;
std::string pendiente_sql;
forma pendiente_forma = forma::linea;
std::string retenida;
// Set while retenida holds a line and is not being changed, for the
// interrupt handler.
volatile sig_atomic_t hay_retenida = 0;

}  // namespace

void espera_registro()
{
    if (!pendiente)
        return;
    pendiente = false;
    if (mysql_read_query_result(&db) != 0) {
        hay_retenida = 0;
        retenida.clear();
        informa_fallo(mysql_error(&db), pendiente_sql, pendiente_forma);
    }
    if (!retenida.empty()) {
        hay_retenida = 0;
        progreso_borra();
        fputs(retenida.c_str(), stdout);
        retenida.clear();
    }
}

void escribe_o_retiene(const std::string &linea)
{
    if (pendiente) {
        hay_retenida = 0;
        retenida += linea;
        hay_retenida = 1;
    } else {
        progreso_borra();
        fputs(linea.c_str(), stdout);
    }
}

void escribe_retenida()
{
    if (!hay_retenida)
        return;
    const char *p = retenida.data();
    size_t n = retenida.size();
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, p, n);
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void registra(const std::string &sql, forma f)
{
    espera_registro();
    if (abierta && reloj::now() - desde >= intervalo)
        confirma(f);
    if (!abierta) {
        consulta("START TRANSACTION", f);
        abierta = true;
        desde = reloj::now();
    }
    if (mysql_send_query(&db, sql.data(), sql.size()) != 0)
        informa_fallo(mysql_error(&db), sql, f);
    pendiente = true;
    pendiente_sql = sql;
    pendiente_forma = f;
}

void confirma(forma f)
{
    espera_registro();
    if (!abierta)
        return;
    abierta = false;
    consulta("COMMIT", f);
}
