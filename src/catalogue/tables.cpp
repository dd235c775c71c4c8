// Create and clear modes.
#include "catalogue/catalogue.h"

void crea_tabla()
{
    consulta(sentencia_creacion(), forma::comillas);
    // Exact comparison of names (case and accents count) and an index on the
    // pair that every lookup selects by.
    consulta(sentencia_indice(), forma::comillas);
    if (por_contenido())
        consulta(sentencia_columna(), forma::comillas);
}

void borra_tabla()
{
    consulta(sentencia_borrado(), forma::comillas);
}
