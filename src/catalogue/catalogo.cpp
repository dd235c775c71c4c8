// The one interface of the catalogue, handed to the store the configuration
// chose: a database server, or a file of the machine.
#include "catalogue/embebido.h"
#include "catalogue/servidor.h"

std::string numeros(const sello &s)
{
    return std::to_string(s.dia) + ", " + std::to_string(s.mes) + ", " + std::to_string(s.anio) + ", " +
           std::to_string(s.hora) + ", " + std::to_string(s.minuto) + ", " + std::to_string(s.segundo);
}

std::string literal_huella(const huella &h)
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

catalogo::catalogo() = default;
catalogo::~catalogo() = default;

bool abre_catalogo(const ajustes &a, catalogo &c, std::string &error, bool *de_configuracion)
{
    if (de_configuracion)
        *de_configuracion = false;
    c.tabla = a.dbtablename;
    c.contenido = a.contenido;
    if (a.archivo_catalogo.empty()) {
        c.en_servidor = std::make_unique<servidor::enlace>();
        return servidor::abre(a, *c.en_servidor, error);
    }
    c.en_archivo = std::make_unique<embebido::base>();
    return embebido::abre(a, *c.en_archivo, error, de_configuracion);
}

void cierra_catalogo(catalogo &c)
{
    if (c.en_servidor)
        servidor::cierra(*c.en_servidor);
    if (c.en_archivo)
        embebido::cierra(*c.en_archivo);
}

std::string tabla_descrita(const catalogo &c)
{
    if (c.en_archivo)
        return embebido::tabla_descrita(*c.en_archivo);
    return "la tabla " + c.tabla + " de la base de datos " + c.en_servidor->base;
}

std::string ultimo_error(const catalogo &c)
{
    if (c.en_archivo)
        return embebido::ultimo_error(*c.en_archivo);
    return mysql_error(c.en_servidor->db);
}

std::string sentencia_indice(const catalogo &c)
{
    if (c.en_archivo)
        return embebido::sentencia_indice(*c.en_archivo);
    return servidor::sentencia_indice(*c.en_servidor);
}

sentencia sentencia_busqueda(const catalogo &c, const std::string &ruta, const std::string &nombre)
{
    if (c.en_archivo)
        return embebido::sentencia_busqueda(*c.en_archivo, ruta, nombre);
    return servidor::sentencia_busqueda(*c.en_servidor, ruta, nombre);
}

std::string texto_de(const catalogo &c, const sentencia &s)
{
    if (c.en_archivo)
        return embebido::texto_de(*c.en_archivo, s);
    return s.texto;
}

sentencia sentencia_insercion(const catalogo &c, const std::string &ruta, const std::string &nombre, const sello &s,
                              const huella *h)
{
    if (c.en_archivo)
        return embebido::sentencia_insercion(*c.en_archivo, ruta, nombre, s, h);
    return servidor::sentencia_insercion(*c.en_servidor, ruta, nombre, s, h);
}

sentencia sentencia_actualizacion(const catalogo &c, const std::string &ruta, const std::string &nombre,
                                  const sello &s, const huella *h)
{
    if (c.en_archivo)
        return embebido::sentencia_actualizacion(*c.en_archivo, ruta, nombre, s, h);
    return servidor::sentencia_actualizacion(*c.en_servidor, ruta, nombre, s, h);
}

sentencia sentencia_borrado_fila(const catalogo &c, const std::string &ruta, const std::string &nombre)
{
    if (c.en_archivo)
        return embebido::sentencia_borrado_fila(*c.en_archivo, ruta, nombre);
    return servidor::sentencia_borrado_fila(*c.en_servidor, ruta, nombre);
}

quizas_fallo envia_lote(catalogo &c, const lote &l, std::vector<respuesta> &out)
{
    if (c.en_archivo)
        return embebido::envia_lote(*c.en_archivo, l, out);
    return servidor::envia_lote(*c.en_servidor, l, out);
}

void encola_fila(catalogo &c, sentencia sql, forma f)
{
    if (c.en_archivo)
        embebido::encola_fila(*c.en_archivo, std::move(sql), f);
    else
        servidor::encola_fila(*c.en_servidor, std::move(sql.texto), f);
}

size_t filas_sin_respuesta(const catalogo &c)
{
    if (c.en_archivo)
        return embebido::filas_sin_respuesta(*c.en_archivo);
    return servidor::filas_sin_respuesta(*c.en_servidor);
}

quizas_fallo avanza_filas(catalogo &c, bool todo)
{
    if (c.en_archivo)
        return embebido::avanza_filas(*c.en_archivo, todo);
    return servidor::avanza_filas(*c.en_servidor, todo);
}

std::string sentencia_tabla_bloqueo() { return servidor::sentencia_tabla_bloqueo(); }

quizas_fallo toma_bloqueo(catalogo &c, const ajustes &a, arriendo &l, toma *t, ocupante *quien)
{
    if (c.en_archivo)
        return embebido::toma_bloqueo(*c.en_archivo, t, quien);
    return servidor::toma_bloqueo(*c.en_servidor, a, l, t, quien);
}

bool arriendo_vigente(const arriendo &l) { return servidor::arriendo_vigente(l); }

void suelta_bloqueo(catalogo &c, arriendo &l)
{
    if (c.en_archivo)
        embebido::suelta_bloqueo(*c.en_archivo);
    else
        servidor::suelta_bloqueo(*c.en_servidor, l);
}

quizas_fallo tiene_huella(catalogo &c, bool *hay)
{
    // The file's table always has the column.
    if (c.en_archivo) {
        *hay = true;
        return std::nullopt;
    }
    return servidor::tiene_huella(*c.en_servidor, hay);
}

quizas_fallo crea_tabla(catalogo &c)
{
    if (c.en_archivo)
        return embebido::crea_tabla(*c.en_archivo);
    return servidor::crea_tabla(*c.en_servidor);
}

bool tabla_incompleta(catalogo &c)
{
    // A file's table was checked when the file was opened.
    if (c.en_archivo)
        return false;
    return servidor::tabla_incompleta(*c.en_servidor);
}

quizas_fallo borra_tabla(catalogo &c)
{
    if (c.en_archivo)
        return embebido::borra_tabla(*c.en_archivo);
    return servidor::borra_tabla(*c.en_servidor);
}

quizas_fallo reconstruye(catalogo &c, const arbol &t, const std::function<void(const suceso &)> &aviso)
{
    if (c.en_archivo)
        return embebido::reconstruye(*c.en_archivo, t, aviso);
    return servidor::reconstruye(*c.en_servidor, t, aviso);
}

quizas_fallo publicados(catalogo &c, std::vector<publicado> &out)
{
    if (c.en_archivo)
        return embebido::publicados(*c.en_archivo, out);
    return servidor::publicados(*c.en_servidor, out);
}
