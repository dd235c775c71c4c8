// The content comparison's part of the catalogue: the column Huella that
// content mode needs, and the list of published files the prune reads.
#include "catalogue/servidor.h"

namespace servidor {

quizas_fallo tiene_huella(enlace &c, bool *hay)
{
    MYSQL_RES *r = nullptr;
    if (quizas_fallo f = consulta_filas(c, "SHOW COLUMNS FROM " + c.tabla + " LIKE 'Huella'", forma::linea, &r))
        return f;
    *hay = mysql_fetch_row(r) != nullptr;
    mysql_free_result(r);
    return std::nullopt;
}

quizas_fallo publicados(enlace &c, std::vector<publicado> &out)
{
    MYSQL_RES *r = nullptr;
    if (quizas_fallo f =
            consulta_filas(c, "SELECT DISTINCT Ruta, Nombre FROM " + c.tabla + " ORDER BY Ruta, Nombre",
                           forma::linea, &r))
        return f;
    while (MYSQL_ROW f = mysql_fetch_row(r)) {
        if (!f[0] || !f[1])
            continue;
        unsigned long *largos = mysql_fetch_lengths(r);
        out.push_back({std::string(f[0], largos[0]), std::string(f[1], largos[1])});
    }
    mysql_free_result(r);
    return std::nullopt;
}

}  // namespace servidor
