// The update run: every file of the local tree is looked up in the catalogue
// and uploaded when it is new or changed (see decision.h); its row is written
// right after the upload.
#include <csignal>
#include <memory>

#include "publish/decision.h"
#include "publish/filas.h"
#include "publish/publish.h"
#include "publish/reparto.h"
#include "publish/verifica.h"

namespace {

// An update run under way: its connection, or its upload threads.
struct corrida {
    corrida(::trabajo &w, ::salida &o) : trabajo(w), salida(o), propia{w.ajustes, w.arbol, carpetas} {}

    ::trabajo &trabajo;
    ::salida &salida;
    directorios carpetas;  // remote folders made during the run
    conexion propia;
    std::unique_ptr<reparto> conexiones;  // several connections, each on its thread
    size_t limite = 0;  // files under way on the threads before the walk waits
    std::unique_ptr<verificacion> comprobacion;  // -v
};

// What the run writes for a file once its upload is over: the upload's own
// lines, the outcome line and, when stored, its row (with the digest h of
// the bytes sent, in content mode).
[[nodiscard]] quizas_estado concluye(corrida &r, const encargo &e)
{
    salida &o = r.salida;
    // A run that lost its lock stops here, writing nothing of this file.
    if (e.subido == subida::detenida)
        r.trabajo.comprueba_bloqueo();
    o.anota_subida(ruta_local(r.trabajo.arbol, e.ruta + e.nombre), e.subido == subida::guardada);
    if (e.subido != subida::guardada) {
        o.escribe(e.motivo + e.lineas + "===> ERROR al subir " + e.ruta + e.nombre + "\n");
        return std::nullopt;
    }
    o.escribe(e.motivo + e.lineas + "===> " + e.ruta + e.nombre + " subido con exito\n");
    const catalogo &c = r.trabajo.catalogo;
    const huella *h = c.contenido ? &e.h : nullptr;
    sentencia fila = e.nuevo ? sentencia_insercion(c, e.ruta, e.nombre, e.sello, h)
                               : sentencia_actualizacion(c, e.ruta, e.nombre, e.sello, h);
    return registra_fila(r.trabajo, o, std::move(fila), e.nuevo ? forma::linea : forma::desnuda);
}

// Writes the files the threads finished, in walk order; with espera, waits
// for the first one. The first file's "NUEVO ARCHIVO" line is written as
// soon as it is first, as with one connection, where it comes before the
// upload.
[[nodiscard]] quizas_estado escribe_hechos(corrida &r, bool espera)
{
    while (encargo *primero = r.conexiones->primero()) {
        if (primero->nuevo && !primero->anunciado) {
            r.salida.escribe("NUEVO ARCHIVO!!!  Bienvenido " + primero->ruta + primero->nombre + "!\n");
            primero->anunciado = true;
        }
        encargo e;
        if (!r.conexiones->saca(e, espera))
            return std::nullopt;
        if (quizas_estado fin = concluye(r, e))
            return fin;
        espera = false;
    }
    return std::nullopt;
}

// Every file handed to the threads is written.
[[nodiscard]] quizas_estado vacia(corrida &r)
{
    if (!r.conexiones)
        return std::nullopt;
    while (r.conexiones->en_curso() > 0) {
        if (quizas_estado fin = escribe_hechos(r, true))
            return fin;
    }
    return std::nullopt;
}

// Uploads a new or changed file and, once it is stored, sends its row; with
// several connections, hands it to the first free one.
[[nodiscard]] quizas_estado publica(corrida &r, const std::string &ruta, const archivo &a, bool nuevo,
                                    std::string motivo = {})
{
    encargo e;
    e.ruta = ruta;
    e.nombre = a.nombre;
    e.sello = a.sello;
    e.nuevo = nuevo;
    e.motivo = std::move(motivo);
    if (r.conexiones) {
        r.conexiones->encola(std::move(e));
        if (quizas_estado fin = escribe_hechos(r, false))
            return fin;
        while (r.conexiones->en_curso() > r.limite) {
            if (quizas_estado fin = escribe_hechos(r, true))
                return fin;
        }
        return std::nullopt;
    }
    if (nuevo)
        r.salida.escribe("NUEVO ARCHIVO!!!  Bienvenido " + ruta + a.nombre + "!\n");
    r.salida.progreso_dibuja();
    e.subido = sube(r.propia, ruta, a.nombre, e.lineas, r.trabajo.catalogo.contenido ? &e.h : nullptr);
    return concluye(r, e);
}

// A verifying run: for a file the row calls unchanged or only re-stamped,
// the line that says why it goes again into motivo, left empty when the
// server holds it (or its folder cannot be listed: then the folder's line
// is written once, after every earlier file's, and the run ends with
// status 2).
[[nodiscard]] quizas_estado comprueba_copia(corrida &r, const suceso &s, veredicto v, std::string &motivo)
{
    if (v != veredicto::igual && v != veredicto::resello)
        return std::nullopt;
    std::string linea;
    switch (r.comprobacion->examina(s.ruta, s.archivo, &linea)) {
    case hallazgo::presente:
        break;
    case hallazgo::falta:
        motivo = "Falta en el servidor: " + s.ruta + s.archivo.nombre + "\n";
        break;
    case hallazgo::tamano:
        motivo = "Tamano distinto en el servidor: " + s.ruta + s.archivo.nombre + "\n";
        break;
    case hallazgo::detenida:
        r.trabajo.comprueba_bloqueo();
        return {};
    case hallazgo::sin_listar:
        if (!linea.empty()) {
            if (quizas_estado fin = vacia(r))
                return fin;
            r.salida.escribe(linea);
            r.salida.anota_fallo();
        }
        break;
    }
    return std::nullopt;
}

[[nodiscard]] quizas_estado decide(corrida &r, const suceso &s, const respuesta &resp, const std::string &sql)
{
    trabajo &w = r.trabajo;
    salida &o = r.salida;
    w.comprueba_bloqueo();
    o.anota_examinado();
    if (quizas_estado fin = avanza(w.catalogo, o, false))
        return fin;
    o.progreso_dibuja();
    if (!resp.ok) {
        // Every earlier file is written first, then the lookup's failure.
        if (quizas_estado fin = vacia(r))
            return fin;
        return falla(w.catalogo, o, fallo{resp.error, sql, forma::linea, -1, resp.numero});
    }
    veredicto v = decide_archivo(w.catalogo, w.arbol, s.ruta, s.archivo, resp);
    if (r.comprobacion && conserva_copia(w.catalogo, s.archivo, resp)) {
        std::string motivo;
        if (quizas_estado fin = comprueba_copia(r, s, v, motivo))
            return fin;
        r.comprobacion->suelta(s.ruta);
        if (!motivo.empty())
            return publica(r, s.ruta, s.archivo, false, std::move(motivo));
    }
    switch (v) {
    case veredicto::igual:
        break;
    case veredicto::nuevo:
        return publica(r, s.ruta, s.archivo, true);
    case veredicto::cambiado:
        return publica(r, s.ruta, s.archivo, false);
    case veredicto::resello:
        // The server already holds this content: only the stamp moves on.
        return registra_fila(w, o, sentencia_actualizacion(w.catalogo, s.ruta, s.archivo.nombre, s.archivo.sello),
                             forma::desnuda);
    }
    return std::nullopt;
}

// The walk, every decision and upload, and the rows committed.
[[nodiscard]] quizas_estado recorre(corrida &r)
{
    trabajo &w = r.trabajo;
    salida &o = r.salida;
    ventana::observador anuncia;
    if (w.verifica) {
        anuncia = [&r](const suceso &s, const respuesta &resp) {
            if (conserva_copia(r.trabajo.catalogo, s.archivo, resp))
                r.comprobacion->pide(s.ruta);
        };
    }
    ventana v(w.catalogo, w.arbol, anuncia);
    suceso s;
    respuesta *resp = nullptr;
    std::string *sql = nullptr;
    quizas_fallo f;
    while (v.siguiente(s, resp, sql, f)) {
        // The lookups may have read the answers of rows in flight.
        sincroniza(w.catalogo, o);
        if (s.tipo == suceso::clase::archivo) {
            if (quizas_estado fin = decide(r, s, *resp, *sql))
                return fin;
            // Nothing can be published without the remote root: the run
            // says so once, after the lines of the files under way.
            if (raiz_imposible(r.carpetas))
                break;
            continue;
        }
        // Every file before a line of the walk is written before it, and a
        // line on standard error after their rows are answered.
        if (quizas_estado fin = vacia(r))
            return fin;
        if (s.a_error) {
            if (quizas_estado fin = avanza(w.catalogo, o, true))
                return fin;
        }
        o.escribe_aviso(s);
    }
    if (f)
        return falla(w.catalogo, o, *f);
    if (quizas_estado fin = vacia(r))
        return fin;
    // Nothing can be published without the remote root: the run says so
    // once, after the lines of the files that were under way, and stops.
    if (raiz_imposible(r.carpetas))
        o.escribe("No se puede crear remoteroot (" + w.ajustes.remoteroot +
                  ") en el servidor: la ejecucion se detiene; creelo a mano o cambie remoteroot\n");
    return avanza(w.catalogo, o, true);
}

}  // namespace

std::string direccion(const ajustes &a)
{
    // An IPv6 address is written between brackets, as in a URL.
    if (a.ftpserver.find(':') != std::string::npos)
        return "[" + a.ftpserver + "]:" + a.ftpport;
    return a.ftpserver + ":" + a.ftpport;
}

quizas_estado abre_conexion(const trabajo &w, salida &o, sesion *&s)
{
    const ajustes &a = w.ajustes;
    // A write on a connection the server has closed then fails like any
    // other instead of killing the process.
    signal(SIGPIPE, SIG_IGN);
    ftp_inicia();
    o.escribe("Vantor v0.9.1\n");
    o.escribe("Conectamos a " + direccion(a) + "\n");
    s = ftp_nueva(a, tramite{ficha_al_azar(), w.bloqueo_vigente});
    const desenlace ap = ftp_abre(s);
    if (ap.paso == apertura::conexion) {
        o.escribe("Error al conectar\n" + ap.texto() + "\n" + (ap.pista.empty() ? "" : ap.pista + "\n"));
        ftp_cierra(s);
        s = nullptr;
        return estado::configuracion;
    }
    o.escribe("Conectado!!!\n");
    o.arma_interrupcion();
    if (ap.paso == apertura::login) {
        o.escribe("Error al identificarse\n" + ap.texto() + "\n" + (ap.pista.empty() ? "" : ap.pista + "\n"));
        ftp_cierra(s);
        s = nullptr;
        return estado::configuracion;
    }
    o.escribe("Login correcto\n");
    return std::nullopt;
}

quizas_estado actualiza(trabajo &w, salida &o)
{
    auto r = std::make_unique<corrida>(w, o);
    if (quizas_estado fin = abre_conexion(w, o, r->propia.sesion))
        return fin;
    o.progreso_empieza();
    const int carriles = ftp_carriles(w.ajustes);
    if (w.ajustes.conexiones > 1 || carriles > 1) {
        r->limite = static_cast<size_t>(w.ajustes.conexiones) * static_cast<size_t>(carriles) * 4;
        r->conexiones = std::make_unique<reparto>(w.ajustes, w.arbol, r->carpetas, r->propia.sesion,
                                                  w.ajustes.conexiones);
        r->propia.sesion = nullptr;
    }
    if (w.verifica)
        r->comprobacion = std::make_unique<verificacion>(w.ajustes, r->propia, r->conexiones.get());

    if (quizas_estado fin = recorre(*r)) {
        // Upload threads may be under way, using the run's state: it is left
        // to them, never destroyed, and the driver ends the process at once.
        r.release();
        return fin;
    }
    r->comprobacion.reset();
    r->conexiones.reset();
    if (r->propia.sesion)
        ftp_cierra(r->propia.sesion);
    o.progreso_termina();
    return std::nullopt;
}
