// Create and clear modes, and the check that a table is as create makes it.
#include <cstdlib>

#include "catalogue/servidor.h"

namespace servidor {

quizas_fallo crea_tabla(enlace &c)
{
    if (quizas_fallo f = consulta(c, sentencia_creacion(c), forma::comillas))
        return f;
    // Exact comparison of names (case and accents count) and an index on the
    // pair that every lookup selects by.
    quizas_fallo f = consulta(c, sentencia_indice(c), forma::comillas);
    if (!f && c.contenido)
        f = consulta(c, sentencia_columna(c), forma::comillas);
    // The run lock's leases, shared by every catalogue of the database.
    if (!f)
        f = consulta(c, sentencia_tabla_bloqueo(), forma::comillas);
    // A table made in part would pass for a whole one with every later run,
    // and a second -c would refuse to replace it.
    if (f) {
        if (quizas_fallo g = consulta(c, "DROP TABLE " + c.tabla, forma::comillas))
            f->nota = "La tabla " + c.tabla + " quedo a medio crear y no se pudo borrar (" + g->error +
                      "): borrela con DROP TABLE " + c.tabla + "\n";
    }
    return f;
}

quizas_fallo borra_tabla(enlace &c) { return consulta(c, sentencia_borrado(c), forma::comillas); }

bool tabla_incompleta(enlace &c)
{
    const std::string nombre = "DATABASE() AND TABLE_NAME = '" + escapa(c, c.tabla) + "'";
    const std::string sql =
        "SELECT COUNT(*), SUM(RIGHT(COLLATION_NAME, 4) = '_bin'), (SELECT COUNT(*) FROM "
        "information_schema.STATISTICS r JOIN information_schema.STATISTICS n USING (TABLE_SCHEMA, TABLE_NAME, "
        "INDEX_NAME) WHERE TABLE_SCHEMA = " + nombre + " AND r.SEQ_IN_INDEX = 1 AND r.COLUMN_NAME = 'Ruta' AND "
        "n.SEQ_IN_INDEX = 2 AND n.COLUMN_NAME = 'Nombre') FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = " +
        nombre + " AND COLUMN_NAME IN ('Ruta', 'Nombre') AND (SELECT TABLE_TYPE FROM information_schema.TABLES "
        "WHERE TABLE_SCHEMA = " + nombre + ") <> 'VIEW'";
    MYSQL_RES *r = nullptr;
    if (consulta_filas(c, sql, forma::linea, &r))
        return false;
    MYSQL_ROW f = mysql_fetch_row(r);
    // Both columns found: the table named is in this database, and not a
    // view, which has no index of its own.
    const bool incompleta = f && f[0] && f[1] && f[2] && atoi(f[0]) == 2 && (atoi(f[1]) != 2 || atoi(f[2]) == 0);
    mysql_free_result(r);
    return incompleta;
}

}  // namespace servidor
