// The run lock: a named lock on the database server that update, rebuild
// and clear runs take right after connecting, so that two runs over the same
// catalogue never work at once, whichever machines they start on. The server
// drops it when the connection ends, so a run that was killed leaves nothing
// behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "config/config.h"

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

void toma_bloqueo()
{
    const std::string base = get_value(conf, "dbname");
    const std::string tabla = get_value(conf, "dbtablename");
    const std::string sql = "SELECT GET_LOCK('" + escapa(nombre_bloqueo(base, tabla)) + "', 0)";
    consulta(sql, forma::linea);
    MYSQL_RES *r = mysql_store_result(&db);
    if (!r)
        informa_fallo(mysql_error(&db), sql, forma::linea);
    MYSQL_ROW f = mysql_fetch_row(r);
    // 1: taken; 0: another connection holds it. NULL (an error inside the
    // server) counts as held: doing nothing is the safe side.
    bool tomado = f && f[0] && f[0][0] == '1' && f[0][1] == '\0';
    mysql_free_result(r);
    if (!tomado) {
        printf("Otra ejecucion esta usando la tabla %s de la base de datos %s\n", tabla.c_str(), base.c_str());
        exit(3);
    }
}
