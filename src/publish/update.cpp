// The update run: every file of the local tree is looked up in the catalogue
// and uploaded when it is new or its stamp changed; its row is written right
// after the upload.
//
// The lookups of one directory's files travel together in one round trip
// before the first of them is decided; the files are then decided one by one
// in walk order, with the same statements and the same output as if each
// lookup had been sent on its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"
#include "publish/publish.h"
#include "publish/reparto.h"

namespace {

// The lookups of a directory being walked and their answers; one per level
// of the walk, innermost last.
struct nivel {
    std::vector<std::string> sentencias;
    std::vector<respuesta> respuestas;
    size_t siguiente = 0;
};
std::vector<nivel> niveles;

void anticipa(const std::string &ruta, const std::vector<archivo> &archivos)
{
    nivel n;
    n.sentencias.reserve(archivos.size());
    for (const archivo &a : archivos)
        n.sentencias.push_back(sentencia_busqueda(ruta, a.nombre));

    // In batches, stopping at the first failed lookup: the files before it
    // are decided as usual and the failure is reported when its file's turn
    // comes.
    for (size_t desde = 0; desde < n.sentencias.size();) {
        lote l;
        size_t hasta = desde;
        while (hasta < n.sentencias.size() && !l.lleno())
            l.agrega(n.sentencias[hasta++]);
        std::vector<respuesta> r = envia_lote(l);
        bool fallo = !r.empty() && !r.back().ok;
        for (respuesta &x : r)
            n.respuestas.push_back(std::move(x));
        if (fallo || r.size() < l.sentencias.size())
            break;
        desde = hasta;
    }
    niveles.push_back(std::move(n));
}

void termina(const std::string &)
{
    niveles.pop_back();
}

bool mismo_sello(const respuesta &r, const sello &s)
{
    if (r.fila_nula)
        return false;
    const int actual[6] = {s.dia, s.mes, s.anio, s.hora, s.minuto, s.segundo};
    for (int i = 0; i < 6; ++i)
        if (r.valores[i] != actual[i])
            return false;
    return true;
}

// Uploads a new or changed file and, once it is stored, sends its row; with
// several connections, hands it to the first free one.
void publica(const std::string &ruta, const archivo &a, bool nuevo, const std::string &fila_sql, forma f)
{
    if (reparto_activo()) {
        encargo e;
        e.ruta = ruta;
        e.nombre = a.nombre;
        e.nuevo = nuevo;
        e.fila_sql = fila_sql;
        e.f = f;
        reparto_encola(std::move(e));
        return;
    }
    if (nuevo)
        escribe_o_retiene("NUEVO ARCHIVO!!!  Bienvenido " + ruta + a.nombre + "!\n");
    progreso_dibuja();
    concluye(ruta, a.nombre, sube(ruta, a.nombre), "", fila_sql, f);
}

// Before the walk writes a line of its own, every file before it is
// written.
void antes_de_escribir()
{
    reparto_vacia();
    progreso_borra();
    espera_registro();
}

void decide(const std::string &ruta, const archivo &a)
{
    anota_examinado();
    nivel &n = niveles.back();
    size_t i = n.siguiente++;
    if (i >= n.respuestas.size()) {
        // The batch ended early without a reported failure: ask on our own.
        lote solo;
        solo.sentencias.push_back(n.sentencias[i]);
        std::vector<respuesta> r = envia_lote(solo);
        n.respuestas.resize(i + 1);
        if (!r.empty())
            n.respuestas[i] = r.front();
        else
            n.respuestas[i].error = mysql_error(&db);
    }
    const respuesta &r = n.respuestas[i];
    if (!r.ok) {
        reparto_vacia();
        informa_fallo(r.error, n.sentencias[i], forma::linea);
    }

    if (!r.hay_fila) {
        publica(ruta, a, true, sentencia_insercion(ruta, a.nombre, a.s), forma::linea);
        return;
    }
    if (!mismo_sello(r, a.s))
        publica(ruta, a, false, sentencia_actualizacion(ruta, a.nombre, a.s), forma::desnuda);
}

}  // namespace

void concluye(const std::string &ruta, const std::string &nombre, int subido, const std::string &lineas,
              const std::string &fila_sql, forma f)
{
    anota_subida(ruta, nombre, subido);
    espera_registro();
    progreso_borra();
    fwrite(lineas.data(), 1, lineas.size(), stdout);
    if (!subido) {
        printf("===> ERROR al subir %s%s\n", ruta.c_str(), nombre.c_str());
        return;
    }
    printf("===> %s%s subido con exito\n", ruta.c_str(), nombre.c_str());
    registra(fila_sql, f);
}

std::string direccion()
{
    return std::string(get_value(conf, "ftpserver")) + ":" + get_value(conf, "ftpport");
}

void escanea(const std::string &ruta)
{
    recorrido r{};
    r.anticipa = anticipa;
    r.accion = decide;
    r.termina = termina;
    r.antes_de_escribir = antes_de_escribir;
    recorre(ruta, r);
}

void actualiza()
{
    // A write on a connection the server has closed then fails like any
    // other instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    ftp_inicia();
    fputs("Vantor v0.9.1\n", stdout);
    printf("Conectamos a %s\n", direccion().c_str());
    buf = ftp_nueva();
    apertura a = ftp_abre(buf);
    if (a == apertura::conexion) {
        fputs("Error al conectar\n", stdout);
        printf("%s\n", ultima_respuesta().c_str());
        exit(-1);
    }
    fputs("Conectado!!!\n", stdout);
    signal(SIGINT, sigproc);
    if (a == apertura::login) {
        fputs("Error al identificarse\n", stdout);
        printf("%s\n", ultima_respuesta().c_str());
        exit(-1);
    }
    fputs("Login correcto\n", stdout);
    progreso_empieza();
    if (ftp_conexiones() > 1)
        reparto_inicia(ftp_conexiones());
    escanea("/");
    reparto_vacia();
    confirma(forma::linea);
    reparto_termina();
    ftp_cierra(buf);
    buf = nullptr;
    progreso_termina();
}
