// The update run: every file of the local tree is looked up in the catalogue
// and uploaded when it is new or changed (see decision.h); its row is written
// right after the upload.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/decision.h"
#include "publish/progress.h"
#include "publish/publish.h"
#include "publish/reparto.h"

namespace {

// The row written once a file is stored: in content mode with the digest of
// the bytes that were sent.
std::string fila_de(const std::string &ruta, const std::string &nombre, const sello &s, bool nuevo,
                    const huella *h)
{
    return nuevo ? sentencia_insercion(ruta, nombre, s, h) : sentencia_actualizacion(ruta, nombre, s, h);
}

// Uploads a new or changed file and, once it is stored, sends its row; with
// several connections, hands it to the first free one.
void publica(const std::string &ruta, const archivo &a, bool nuevo)
{
    if (reparto_activo()) {
        encargo e;
        e.ruta = ruta;
        e.nombre = a.nombre;
        e.s = a.s;
        e.nuevo = nuevo;
        reparto_encola(std::move(e));
        return;
    }
    if (nuevo)
        escribe_o_retiene("NUEVO ARCHIVO!!!  Bienvenido " + ruta + a.nombre + "!\n");
    progreso_dibuja();
    huella h;
    int subido = sube(ruta, a.nombre, por_contenido() ? &h : nullptr);
    concluye(ruta, a.nombre, a.s, nuevo, subido, "", h);
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
    switch (decide_archivo(ruta, a, reparto_vacia)) {
    case veredicto::igual:
        break;
    case veredicto::nuevo:
        publica(ruta, a, true);
        break;
    case veredicto::cambiado:
        publica(ruta, a, false);
        break;
    case veredicto::resello:
        // The server already holds this content: only the stamp moves on.
        registra(sentencia_actualizacion(ruta, a.nombre, a.s), forma::desnuda);
        break;
    }
}

}  // namespace

void concluye(const std::string &ruta, const std::string &nombre, const sello &s, bool nuevo, int subido,
              const std::string &lineas, const huella &h)
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
    registra(fila_de(ruta, nombre, s, nuevo, por_contenido() ? &h : nullptr),
             nuevo ? forma::linea : forma::desnuda);
}

std::string direccion()
{
    return std::string(get_value(conf, "ftpserver")) + ":" + get_value(conf, "ftpport");
}

void escanea(const std::string &ruta)
{
    recorrido r{};
    r.anticipa = decision_anticipa;
    r.accion = decide;
    r.termina = decision_termina;
    r.antes_de_escribir = antes_de_escribir;
    recorre(ruta, r);
}

void abre_conexion()
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
}

void actualiza()
{
    abre_conexion();
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
