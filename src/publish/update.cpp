// The update run: every file of the local tree is looked up in the catalogue
// and uploaded when it is new or changed (see decision.h); its row is written
// right after the upload.
#include <csignal>
#include <memory>

#include "publish/decision.h"
#include "publish/publish.h"
#include "publish/reparto.h"
#include "publish/salida.h"
#include "publish/verifica.h"

namespace {

// An update run under way: its connection, or its upload threads.
struct corrida {
    trabajo &w;
    directorios dirs;
    conexion propia;
    std::unique_ptr<reparto> pool;
    size_t limite = 0;  // files under way on the threads before the walk waits
    std::unique_ptr<verificacion> ver;  // -v
};

// What the run writes for a file once its upload is over: the upload's own
// lines, the outcome line and, when stored, its row (with the digest h of
// the bytes sent, in content mode).
void concluye(corrida &r, const encargo &e)
{
    anota_subida(ruta_local(r.w.t, e.ruta + e.nombre), e.subido);
    if (!e.subido) {
        escribe(e.motivo + e.lineas + "===> ERROR al subir " + e.ruta + e.nombre + "\n");
        return;
    }
    escribe(e.motivo + e.lineas + "===> " + e.ruta + e.nombre + " subido con exito\n");
    const catalogo &c = r.w.c;
    const huella *h = c.contenido ? &e.h : nullptr;
    std::string fila = e.nuevo ? sentencia_insercion(c, e.ruta, e.nombre, e.s, h)
                               : sentencia_actualizacion(c, e.ruta, e.nombre, e.s, h);
    registra_fila(std::move(fila), e.nuevo ? forma::linea : forma::desnuda);
}

// Writes the files the threads finished, in walk order; with espera, waits
// for the first one. The first file's "NUEVO ARCHIVO" line is written as
// soon as it is first, as with one connection, where it comes before the
// upload.
void escribe_hechos(corrida &r, bool espera)
{
    while (encargo *primero = r.pool->primero()) {
        if (primero->nuevo && !primero->anunciado) {
            escribe("NUEVO ARCHIVO!!!  Bienvenido " + primero->ruta + primero->nombre + "!\n");
            primero->anunciado = true;
        }
        encargo e;
        if (!r.pool->saca(e, espera))
            return;
        concluye(r, e);
        espera = false;
    }
}

// Every file handed to the threads is written.
void vacia(corrida &r)
{
    if (!r.pool)
        return;
    while (r.pool->en_curso() > 0)
        escribe_hechos(r, true);
}

// Uploads a new or changed file and, once it is stored, sends its row; with
// several connections, hands it to the first free one.
void publica(corrida &r, const std::string &ruta, const archivo &a, bool nuevo, std::string motivo = {})
{
    encargo e;
    e.ruta = ruta;
    e.nombre = a.nombre;
    e.s = a.s;
    e.nuevo = nuevo;
    e.motivo = std::move(motivo);
    if (r.pool) {
        r.pool->encola(std::move(e));
        escribe_hechos(r, false);
        while (r.pool->en_curso() > r.limite)
            escribe_hechos(r, true);
        return;
    }
    if (nuevo)
        escribe("NUEVO ARCHIVO!!!  Bienvenido " + ruta + a.nombre + "!\n");
    progreso_dibuja();
    e.subido = sube(r.propia, ruta, a.nombre, e.lineas, r.w.c.contenido ? &e.h : nullptr);
    concluye(r, e);
}

// A verifying run: for a file the row calls unchanged or only re-stamped,
// the line that says why it goes again, or an empty text when the server
// holds it (or its folder cannot be listed: then the folder's line is
// written once, after every earlier file's, and the run ends with status 2).
std::string comprueba_copia(corrida &r, const suceso &s, veredicto v)
{
    if (v != veredicto::igual && v != veredicto::resello)
        return {};
    std::string linea;
    switch (r.ver->examina(s.ruta, s.a, &linea)) {
    case hallazgo::presente:
        return {};
    case hallazgo::falta:
        return "Falta en el servidor: " + s.ruta + s.a.nombre + "\n";
    case hallazgo::tamano:
        return "Tamano distinto en el servidor: " + s.ruta + s.a.nombre + "\n";
    case hallazgo::sin_listar:
        if (!linea.empty()) {
            vacia(r);
            escribe(linea);
            anota_fallo();
        }
        return {};
    }
    return {};
}

void decide(corrida &r, const suceso &s, const respuesta &resp, const std::string &sql)
{
    anota_examinado();
    if (!resp.ok) {
        // Every earlier file is written first, then the lookup's failure.
        vacia(r);
        termina_por_fallo(fallo{resp.error, sql, forma::linea, -1, resp.numero});
    }
    veredicto v = decide_archivo(r.w.c, r.w.t, s.ruta, s.a, resp);
    if (r.ver && conserva_copia(r.w.c, s.a, resp)) {
        std::string motivo = comprueba_copia(r, s, v);
        r.ver->suelta(s.ruta);
        if (!motivo.empty()) {
            publica(r, s.ruta, s.a, false, std::move(motivo));
            return;
        }
    }
    switch (v) {
    case veredicto::igual:
        break;
    case veredicto::nuevo:
        publica(r, s.ruta, s.a, true);
        break;
    case veredicto::cambiado:
        publica(r, s.ruta, s.a, false);
        break;
    case veredicto::resello:
        // The server already holds this content: only the stamp moves on.
        registra_fila(sentencia_actualizacion(r.w.c, s.ruta, s.a.nombre, s.a.s), forma::desnuda);
        break;
    }
}

}  // namespace

std::string direccion(const ajustes &a)
{
    // An IPv6 address is written between brackets, as in a URL.
    if (a.ftpserver.find(':') != std::string::npos)
        return "[" + a.ftpserver + "]:" + a.ftpport;
    return a.ftpserver + ":" + a.ftpport;
}

sesion *abre_conexion(const ajustes &a)
{
    // A write on a connection the server has closed then fails like any
    // other instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    ftp_inicia();
    escribe("Vantor v0.9.1\n");
    escribe("Conectamos a " + direccion(a) + "\n");
    sesion *s = ftp_nueva(a);
    apertura ap = ftp_abre(s);
    if (ap == apertura::conexion) {
        escribe("Error al conectar\n" + ftp_respuesta(s) + "\n");
        termina(estado::configuracion);
    }
    escribe("Conectado!!!\n");
    instala_interrupcion();
    if (ap == apertura::login) {
        escribe("Error al identificarse\n" + ftp_respuesta(s) + "\n");
        termina(estado::configuracion);
    }
    escribe("Login correcto\n");
    return s;
}

void actualiza(trabajo &w)
{
    corrida r{w, {}, conexion{w.a, w.t, r.dirs}, nullptr, 0, nullptr};
    r.propia.s = abre_conexion(w.a);
    progreso_empieza();
    if (w.a.conexiones > 1) {
        r.limite = static_cast<size_t>(w.a.conexiones) * 4;
        r.pool = std::make_unique<reparto>(w.a, w.t, r.dirs, r.propia.s, w.a.conexiones);
        r.propia.s = nullptr;
    }

    ventana::observador anuncia;
    if (w.verifica) {
        r.ver = std::make_unique<verificacion>(w.a, r.propia, r.pool.get());
        anuncia = [&r](const suceso &s, const respuesta &resp) {
            if (conserva_copia(r.w.c, s.a, resp))
                r.ver->pide(s.ruta);
        };
    }
    ventana v(w.c, w.t, anuncia);
    suceso s;
    respuesta *resp = nullptr;
    std::string *sql = nullptr;
    while (v.siguiente(s, resp, sql)) {
        if (s.c == suceso::clase::archivo) {
            decide(r, s, *resp, *sql);
            continue;
        }
        // Every file before a line of the walk is written before it.
        vacia(r);
        escribe_aviso(s);
    }
    vacia(r);
    asienta();
    r.ver.reset();
    r.pool.reset();
    if (r.propia.s)
        ftp_cierra(r.propia.s);
    progreso_termina();
}
