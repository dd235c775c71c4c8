// Statement texts about the catalogue table and the report of a failed one.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"

MYSQL db;
MYSQL_RES *resultado = nullptr;
MYSQL_ROW fila = nullptr;

namespace {

std::string tabla() { return get_value(conf, "dbtablename"); }

std::string numeros(const sello &s)
{
    return std::to_string(s.dia) + ", " + std::to_string(s.mes) + ", " + std::to_string(s.anio) + ", " +
           std::to_string(s.hora) + ", " + std::to_string(s.minuto) + ", " + std::to_string(s.segundo);
}

// A value is valid UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF); counts its characters into *n.
bool utf8(const std::string &v, size_t *n)
{
    size_t count = 0;
    for (size_t i = 0; i < v.size();) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        size_t len;
        unsigned int cp;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > v.size())
            return false;
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(v[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
        ++count;
    }
    *n = count;
    return true;
}

// Huella as SQL: a hexadecimal literal of the digest, or NULL.
std::string literal(const huella &h)
{
    if (h.empty())
        return "NULL";
    static const char digitos[] = "0123456789abcdef";
    std::string out = "X'";
    for (unsigned char c : h) {
        out += digitos[c >> 4];
        out += digitos[c & 15];
    }
    return out + "'";
}

}  // namespace

std::string escapa(const std::string &v)
{
    std::string out(v.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(&db, out.data(), v.data(), v.size());
    out.resize(n);
    return out;
}

std::string sentencia_creacion()
{
    return "CREATE TABLE " + tabla() +
           " (Ruta char(255), Nombre char(255), Dia int(2), Mes int(2), Anio int(4), Hora int(2), "
           "Minuto int(2), Segundo int(2))";
}

std::string sentencia_indice()
{
    return "ALTER TABLE " + tabla() +
           " CONVERT TO CHARACTER SET utf8mb4 COLLATE utf8mb4_bin, ADD INDEX (Ruta, Nombre)";
}

std::string sentencia_borrado() { return "DELETE FROM " + tabla(); }

std::string sentencia_busqueda(const std::string &ruta, const std::string &nombre)
{
    return std::string("SELECT Dia, Mes, Anio, Hora, Minuto, Segundo") + (por_contenido() ? ", Huella" : "") +
           " FROM " + tabla() + " WHERE Ruta='" + escapa(ruta) + "' AND Nombre='" + escapa(nombre) + "'";
}

std::string sentencia_insercion(const std::string &ruta, const std::string &nombre, const sello &s,
                                const huella *h)
{
    if (h)
        return "INSERT INTO " + tabla() +
               " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella) VALUES ('" + escapa(ruta) +
               "', '" + escapa(nombre) + "', " + numeros(s) + ", " + literal(*h) + ")";
    return "INSERT INTO " + tabla() + " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('" +
           escapa(ruta) + "', '" + escapa(nombre) + "', " + numeros(s) + ")";
}

std::string sentencia_actualizacion(const std::string &ruta, const std::string &nombre, const sello &s,
                                    const huella *h)
{
    return "UPDATE " + tabla() + " SET Dia=" + std::to_string(s.dia) + ", Mes=" + std::to_string(s.mes) +
           ", Anio=" + std::to_string(s.anio) + ", Hora=" + std::to_string(s.hora) +
           ", Minuto=" + std::to_string(s.minuto) + ", Segundo=" + std::to_string(s.segundo) +
           (h ? ", Huella=" + literal(*h) : std::string()) + " WHERE Ruta='" + escapa(ruta) + "' AND Nombre='" +
           escapa(nombre) + "'";
}

std::string sentencia_borrado_fila(const std::string &ruta, const std::string &nombre)
{
    return "DELETE FROM " + tabla() + " WHERE Ruta='" + escapa(ruta) + "' AND Nombre='" + escapa(nombre) + "'";
}

std::string sentencia_columna() { return "ALTER TABLE " + tabla() + " ADD COLUMN Huella BINARY(32)"; }

void informa_fallo(const std::string &error, const std::string &sql, forma f)
{
    espera_registro();
    progreso_borra();
    fputs(error.c_str(), stdout);
    if (f == forma::comillas)
        printf("Consulta: '%s'\n", sql.c_str());
    else if (f == forma::linea)
        printf("\nConsulta: %s\n", sql.c_str());
    // Upload threads may be running: end at once, without running the
    // destructors of what they use.
    fflush(stdout);
    fflush(stderr);
    _exit(1);
}

void consulta(const std::string &sql, forma f)
{
    espera_registro();
    if (mysql_real_query(&db, sql.data(), sql.size()) != 0)
        informa_fallo(mysql_error(&db), sql, f);
}

bool admisible(const std::string &v, const char **motivo)
{
    size_t n = 0;
    if (!utf8(v, &n)) {
        *motivo = "no es UTF-8 valido";
        return false;
    }
    if (n > 255) {
        *motivo = "tiene mas de 255 caracteres";
        return false;
    }
    // char columns drop trailing blanks: "a.txt " would be read back as
    // "a.txt" and share that file's row.
    if (!v.empty() && v.back() == ' ') {
        *motivo = "termina en blanco, que el catalogo no conserva";
        return false;
    }
    return true;
}
