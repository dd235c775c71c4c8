// The run lock: a named lock on the database server that update, rebuild
// and clear runs take right after connecting, so that two runs over the same
// catalogue never work at once, whichever machines they start on. The server
// drops it when the connection ends, so a run that was killed leaves nothing
// behind.
#include <cstdint>
#include <cstdio>

#include "catalogue/catalogue.h"

namespace {

// The server takes lock names of at most 64 characters.
constexpr size_t max_nombre = 64;
constexpr const char *prefijo = "vantor.";

// FNV-1a, 64 bits: the same value on every machine and compiler.
uint64_t fnv1a(const std::string &s)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

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

quizas_fallo toma_bloqueo(catalogo &c, const ajustes &a, bool *tomado)
{
    const std::string sql = "SELECT GET_LOCK('" + escapa(c, nombre_bloqueo(a.dbname, a.dbtablename)) + "', 0)";
    MYSQL_RES *r = nullptr;
    if (quizas_fallo f = consulta_filas(c, sql, forma::linea, &r))
        return f;
    MYSQL_ROW f = mysql_fetch_row(r);
    // 1: taken; 0: another connection holds it. NULL (an error inside the
    // server) counts as held: doing nothing is the safe side.
    *tomado = f && f[0] && f[0][0] == '1' && f[0][1] == '\0';
    mysql_free_result(r);
    return std::nullopt;
}
