// The connection and the statement texts about the catalogue table.
#include "catalogue/servidor.h"

namespace servidor {

bool abre(const ajustes &a, enlace &c, std::string &error)
{
    c.base = a.dbname;
    c.tabla = a.dbtablename;
    c.contenido = a.contenido;
    c.db = mysql_init(nullptr);
    if (!c.db) {
        error = "Imposible preparar la conexion con la base de datos\n";
        return false;
    }
    // Names are stored as the characters they are, whatever the server's
    // default character set.
    mysql_options(c.db, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(c.db, a.dbserver.c_str(), a.dbuser.c_str(), a.dbpass.c_str(), a.dbname.c_str(),
                            a.puerto_db, nullptr, 0)) {
        error = mysql_error(c.db);
        return false;
    }
    return true;
}

void cierra(enlace &c)
{
    if (c.db)
        mysql_close(c.db);
    c.db = nullptr;
}

std::string escapa(const enlace &c, const std::string &v)
{
    std::string out(v.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(c.db, out.data(), v.data(), v.size());
    out.resize(n);
    return out;
}

std::string sentencia_creacion(const enlace &c)
{
    return "CREATE TABLE " + c.tabla +
           " (Ruta char(255), Nombre char(255), Dia int(2), Mes int(2), Anio int(4), Hora int(2), "
           "Minuto int(2), Segundo int(2))";
}

std::string sentencia_indice(const enlace &c)
{
    return "ALTER TABLE " + c.tabla +
           " CONVERT TO CHARACTER SET utf8mb4 COLLATE utf8mb4_bin, ADD INDEX (Ruta, Nombre)";
}

std::string sentencia_borrado(const enlace &c) { return "DELETE FROM " + c.tabla; }

std::string sentencia_busqueda(const enlace &c, const std::string &ruta, const std::string &nombre)
{
    return std::string("SELECT Dia, Mes, Anio, Hora, Minuto, Segundo") + (c.contenido ? ", Huella" : "") +
           " FROM " + c.tabla + " WHERE Ruta='" + escapa(c, ruta) + "' AND Nombre='" + escapa(c, nombre) + "'";
}

std::string sentencia_insercion(const enlace &c, const std::string &ruta, const std::string &nombre, const sello &s,
                                const huella *h)
{
    if (h)
        return "INSERT INTO " + c.tabla +
               " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella) VALUES ('" + escapa(c, ruta) +
               "', '" + escapa(c, nombre) + "', " + numeros(s) + ", " + literal_huella(*h) + ")";
    return "INSERT INTO " + c.tabla + " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('" +
           escapa(c, ruta) + "', '" + escapa(c, nombre) + "', " + numeros(s) + ")";
}

std::string sentencia_actualizacion(const enlace &c, const std::string &ruta, const std::string &nombre, const sello &s,
                                    const huella *h)
{
    return "UPDATE " + c.tabla + " SET Dia=" + std::to_string(s.dia) + ", Mes=" + std::to_string(s.mes) +
           ", Anio=" + std::to_string(s.anio) + ", Hora=" + std::to_string(s.hora) +
           ", Minuto=" + std::to_string(s.minuto) + ", Segundo=" + std::to_string(s.segundo) +
           (h ? ", Huella=" + literal_huella(*h) : std::string()) + " WHERE Ruta='" + escapa(c, ruta) + "' AND Nombre='" +
           escapa(c, nombre) + "'";
}

std::string sentencia_borrado_fila(const enlace &c, const std::string &ruta, const std::string &nombre)
{
    return "DELETE FROM " + c.tabla + " WHERE Ruta='" + escapa(c, ruta) + "' AND Nombre='" + escapa(c, nombre) + "'";
}

std::string sentencia_columna(const enlace &c) { return "ALTER TABLE " + c.tabla + " ADD COLUMN Huella BINARY(32)"; }

quizas_fallo consulta(enlace &c, const std::string &sql, forma f)
{
    if (quizas_fallo antes = recoge_filas(c))
        return antes;
    if (mysql_real_query(c.db, sql.data(), sql.size()) != 0)
        return fallo{mysql_error(c.db), sql, f, -1, mysql_errno(c.db)};
    // Drop a result the caller does not read, so the connection stays in
    // step.
    if (MYSQL_RES *r = mysql_store_result(c.db))
        mysql_free_result(r);
    return std::nullopt;
}

quizas_fallo consulta_filas(enlace &c, const std::string &sql, forma f, MYSQL_RES **r)
{
    if (quizas_fallo antes = recoge_filas(c))
        return antes;
    if (mysql_real_query(c.db, sql.data(), sql.size()) != 0)
        return fallo{mysql_error(c.db), sql, f, -1, mysql_errno(c.db)};
    *r = mysql_store_result(c.db);
    if (!*r)
        return fallo{mysql_error(c.db), sql, f, -1, mysql_errno(c.db)};
    return std::nullopt;
}

}  // namespace servidor
