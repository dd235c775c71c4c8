// Rows written by the update run, grouped into short transactions.
//
// Each row is sent right after its file was stored. Committed one by one,
// every row would cost the server a flush to disk, which on a first publish
// takes longer than the upload of a small file. The rows are therefore
// committed together about once a second and at the end of the run. A run
// that ends early loses at most that last second of rows; their files are
// then simply uploaded again by the next run, so a row still never stands
// for a file the server does not hold.
#include <chrono>

#include "catalogue/catalogue.h"

namespace {

using reloj = std::chrono::steady_clock;

constexpr auto intervalo = std::chrono::seconds(1);

bool abierta = false;
reloj::time_point desde;

}  // namespace

void registra(const std::string &sql, forma f)
{
    if (!abierta) {
        consulta("START TRANSACTION", f);
        abierta = true;
        desde = reloj::now();
    }
    consulta(sql, f);
    if (reloj::now() - desde >= intervalo)
        confirma(f);
}

void confirma(forma f)
{
    if (!abierta)
        return;
    abierta = false;
    consulta("COMMIT", f);
}
