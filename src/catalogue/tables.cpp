// Create and clear modes.
#include "catalogue/servidor.h"

namespace servidor {

quizas_fallo crea_tabla(enlace &c)
{
    if (quizas_fallo f = consulta(c, sentencia_creacion(c), forma::comillas))
        return f;
    // Exact comparison of names (case and accents count) and an index on the
    // pair that every lookup selects by.
    if (quizas_fallo f = consulta(c, sentencia_indice(c), forma::comillas))
        return f;
    if (c.contenido)
        if (quizas_fallo f = consulta(c, sentencia_columna(c), forma::comillas))
            return f;
    // The run lock's leases, shared by every catalogue of the database.
    return consulta(c, sentencia_tabla_bloqueo(), forma::comillas);
}

quizas_fallo borra_tabla(enlace &c) { return consulta(c, sentencia_borrado(c), forma::comillas); }

}  // namespace servidor
