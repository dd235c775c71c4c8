// The content comparison's part of the catalogue: the optional key compare
// and the column Huella that content mode needs.
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "config/config.h"

namespace {

bool contenido = false;

}  // namespace

bool compara_ajustes()
{
    const char *t = get_value(conf, "compare");
    contenido = false;
    if (!t || strcasecmp(t, "time") == 0)
        return true;
    if (strcasecmp(t, "content") == 0) {
        contenido = true;
        return true;
    }
    fputs("\"compare\" debe ser \"time\" o \"content\"\n", stdout);
    return false;
}

bool por_contenido() { return contenido; }

void comprueba_huella()
{
    const std::string tabla = get_value(conf, "dbtablename");
    const std::string sql = "SHOW COLUMNS FROM " + tabla + " LIKE 'Huella'";
    consulta(sql, forma::linea);
    MYSQL_RES *r = mysql_store_result(&db);
    if (!r)
        informa_fallo(mysql_error(&db), sql, forma::linea);
    bool hay = mysql_fetch_row(r) != nullptr;
    mysql_free_result(r);
    if (!hay) {
        printf("La tabla %s no tiene la columna Huella que necesita compare = \"content\"\n", tabla.c_str());
        exit(1);
    }
}
