// Checks the command line, loads the configuration, connects the catalogue
// database and runs the one mode that the option selects.
#include "app/driver.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "catalogue/catalogue.h"
#include "config/ajustes.h"
#include "config/config.h"
#include "publish/filas.h"
#include "publish/publish.h"
#include "publish/salida.h"
#include "tree/walk.h"

namespace {

const char *const usage =
    "USO: vantor configfile [opciones]\n"
    "     vantor -h  Para obtener ayuda\n";

const char *const help_pieces[] = {
    "USO: vantor configfile [opciones]\n\n",
    "     OPCIONES DISPONIBLES:\n\n",
    "     -d, -delete        Borra todos los campos de la tabla especificada\n",
    "                        en configfile. No borra la propia tabla, solo su\n",
    "                        contenido.\n",
    "     -r, -rebuild       Reconstruye la tabla especificada en configfile.\n",
    "                        La tabla debe existir en la base de datos. No sube\n",
    "                        nada al servidor.\n",
    "     -c, -create        Crea la tabla especificada en configfile. El usuario\n",
    "                        debe tener permisos para ello. No rellena la tabla,\n",
    "                        solo crea su estructura.\n",
    "     -l, -list          Lista los archivos que se subirian, nuevos o\n",
    "                        cambiados, sin conectar con el servidor FTP ni\n",
    "                        escribir en la tabla.\n",
    "     -p, -prune         Borra del servidor los archivos publicados que ya\n",
    "                        no existen en el directorio local, y sus filas de\n",
    "                        la tabla. No borra directorios.\n",
    "     -v, -verify        Actualiza como sin opciones y ademas lista cada\n",
    "                        directorio del servidor con archivos publicados:\n",
    "                        vuelve a subir los que faltan en el servidor o\n",
    "                        tienen alli otro tamano. Cuesta un listado por\n",
    "                        directorio; util tras restaurar una copia del\n",
    "                        servidor o cambiarlo a mano, o una vez por semana.\n",
    "\n",
    "     atomic             \"no\" (por omision) o \"yes\": cada archivo se sube\n",
    "                        con un nombre temporal (.NOMBRE.MARCA.vantor-tmp,\n",
    "                        MARCA propia de cada ejecucion) en su directorio\n",
    "                        y se renombra al terminar, asi el sitio nunca\n",
    "                        muestra un archivo a medias. Cuesta dos ordenes\n",
    "                        mas por archivo.\n",
    "\n",
    "     SFTP (claves opcionales del archivo de configuracion):\n\n",
    "     protocol           \"ftp\" (por omision) o \"sftp\". Con \"sftp\",\n",
    "                        ftpserver, ftpport, ftpuser y ftppass nombran el\n",
    "                        servidor SSH, su puerto y la cuenta.\n",
    "     sshkeyfile         Clave privada para entrar sin contrasena; ftppass\n",
    "                        es entonces su frase de paso.\n",
    "     sshknownhosts      Archivo con la clave del servidor (por omision\n",
    "                        ~/.ssh/known_hosts). Se comprueba siempre; si el\n",
    "                        servidor no esta, se muestra la huella SHA256 de su\n",
    "                        clave y se agrega, tras compararla, con:\n",
    "                        ssh-keyscan -p PUERTO SERVIDOR >> ARCHIVO\n",
};

const char *const help_requests[] = {"/?", "-?", "--help", "-help", "/help", "-h"};

bool is(const char *arg, const char *a, const char *b = nullptr)
{
    return strcasecmp(arg, a) == 0 || (b && strcasecmp(arg, b) == 0);
}

// " (equipo E, proceso P, hasta YYYY-MM-DD HH:MM:SS)" from an unexpired
// lease row, the end in local time; without the end for a lock that lasts
// as long as its run; empty without one.
std::string ocupada_por(const ocupante &q)
{
    if (!q.hay)
        return "";
    if (!q.con_plazo)
        return " (equipo " + q.equipo + ", proceso " + q.proceso + ")";
    const time_t hasta = time(nullptr) + q.segundos;
    std::tm t{};
    localtime_r(&hasta, &t);
    char fecha[32];
    strftime(fecha, sizeof fecha, "%Y-%m-%d %H:%M:%S", &t);
    return " (equipo " + q.equipo + ", proceso " + q.proceso + ", hasta " + fecha + ")";
}

// Ends the process with e, once o has written what it holds. Only the
// driver ends the run; besides it, the SIGINT handler (publish/salida.cpp)
// and the stop on a lost lease (below) end it at once.
[[noreturn]] void termina(salida &o, estado e)
{
    o.cierra();
    // A database failure can come while upload threads run: end at once,
    // without running the destructors of what they use.
    if (e == estado::base_de_datos)
        _exit(static_cast<int>(e));
    exit(static_cast<int>(e));
}

// Ends a run connected to the catalogue before its end: the run lock, if
// taken, is released, except after a database failure.
[[noreturn]] void termina_antes(salida &o, catalogo &c, arriendo &l, estado e)
{
    if (e != estado::base_de_datos)
        suelta_bloqueo(c, l);
    termina(o, e);
}

// A failed statement of the driver's own ends the run with its report.
void ante_fallo(catalogo &c, salida &o, quizas_fallo f)
{
    if (f)
        termina(o, falla(c, o, *f));
}

}  // namespace

void vantor_main(int argc, char **argv)
{
    // Every line reaches a file or pipe as soon as it is complete, so an
    // interrupted run leaves a faithful record of what it did.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    salida o;

    if (argc != 2 && argc != 3) {
        o.escribe_error(usage);
        termina(o, estado::configuracion);
    }
    if (argc == 2) {
        for (const char *h : help_requests) {
            if (is(argv[1], h)) {
                for (const char *piece : help_pieces)
                    o.escribe(piece);
                termina(o, estado::exito);
            }
        }
    }

    s_vars *lista = nullptr;
    if (!load_config(argv[1], &lista)) {
        o.escribe_error(std::string("Imposible abrir '") + argv[1] + "'\n");
        termina(o, estado::configuracion);
    }
    ajustes a;
    // A catalogue file named by a relative path sits beside the
    // configuration.
    const std::string archivo = argv[1];
    const size_t barra = archivo.rfind('/');
    quizas_rechazo rechazo =
        lee_ajustes(lista, a, barra == std::string::npos ? "." : barra == 0 ? "/" : archivo.substr(0, barra));
    const std::vector<std::string> avisos = avisos_permisos(argv[1], lista, a);
    free_config(lista);
    if (!rechazo) {
        if (quizas_linea tls = ftp_comprueba(a))
            rechazo = ::rechazo{{*tls}};
    }
    if (rechazo) {
        for (const std::string &linea : rechazo->lineas)
            o.escribe(linea);
        termina(o, estado::configuracion);
    }
    for (const std::string &aviso : avisos)
        o.escribe_error(aviso);
    arbol t{a.localroot, {}, a.atomico};
    if (a.hay_exclusiones) {
        std::string error;
        if (!carga_exclusiones(a.excludefile, t.exclusiones, error)) {
            o.escribe_error(error);
            termina(o, estado::configuracion);
        }
    }

    catalogo c;
    std::string error;
    bool de_configuracion = false;
    if (!abre_catalogo(a, c, error, &de_configuracion)) {
        o.escribe(error);
        termina(o, de_configuracion ? estado::configuracion : estado::base_de_datos);
    }
    o.sin_tabla("La tabla " + a.dbtablename + " no existe: creela con vantor " + argv[1] + " -c\n");

    const char *option = argc == 3 ? argv[2] : "-u";
    const bool verify = is(option, "-v", "-verify");
    const bool update = verify || is(option, "-u", "-update");
    const bool prune = is(option, "-p", "-prune");
    const bool rebuild = is(option, "-r", "-rebuild");
    const bool clear = is(option, "-d", "-delete");
    const bool list = is(option, "-l", "-list");
    trabajo w{a, t, c, verify, {}};
    // The runs that upload, write or delete hold the table's run lock.
    arriendo l;
    if (update || prune || rebuild || clear) {
        toma tomado = toma::ocupado;
        ocupante quien;
        ante_fallo(c, o, toma_bloqueo(c, a, l, &tomado, &quien));
        const std::string tabla = tabla_descrita(c);
        if (tomado == toma::sin_tabla) {
            o.escribe(std::string("Falta la tabla ") + tabla_bloqueo +
                      " que el bloqueo necesita en un cluster Galera: creela con la sentencia del README\n");
            termina(o, estado::base_de_datos);
        }
        if (tomado == toma::ocupado) {
            o.escribe("Otra ejecucion esta usando " + tabla + ocupada_por(quien) + "\n");
            termina(o, estado::ocupada);
        }
        w.vigila_bloqueo = [&o, &l, perdido = "Se perdio el bloqueo de " + tabla + ": la ejecucion se detiene\n"] {
            if (arriendo_vigente(l))
                return;
            // Another run may be publishing by now: the rows not yet
            // committed are not sent (the server rolls their transaction
            // back when the connection ends), so none can record a file over
            // what that run stored; their files are simply uploaded again by
            // a later run. The lines held for them are true all the same.
            o.escribe_ultima(perdido);
            // Upload threads may be running: the run ends here and at once,
            // as after a database failure, not through the modes that
            // called this.
            _exit(static_cast<int>(estado::ocupada));
        };
        // What the sessions ask between their steps: once the lease failed
        // it stays failed, so that a late renewal lets nothing more reach
        // the server and vigila_bloqueo then ends the run.
        w.bloqueo_vigente = [&l] {
            if (arriendo_vigente(l))
                return true;
            l.perdido = true;
            return false;
        };
    }
    // The runs that read or write Huella need the column before they start.
    if (a.contenido && (update || rebuild || list)) {
        bool hay = false;
        ante_fallo(c, o, tiene_huella(c, &hay));
        if (!hay) {
            o.escribe("La tabla " + a.dbtablename + " no tiene la columna Huella que necesita compare = \"content\"\n");
            termina(o, estado::base_de_datos);
        }
    }
    // A table made some other way may compare names loosely or lack the
    // index: the run works, but slowly, or with one row for two names.
    if (update && tabla_incompleta(c))
        o.escribe_error("Aviso: la tabla " + a.dbtablename +
                        " no tiene la comparacion exacta de nombres o el indice (Ruta, Nombre): completela con " +
                        sentencia_indice(c) + "\n");
    quizas_estado fin;
    if (update)
        fin = actualiza(w, o);
    else if (prune)
        fin = poda(w, o);
    else if (rebuild)
        ante_fallo(c, o, reconstruye(c, t, [&o](const suceso &s) { o.escribe_aviso(s); }));
    else if (clear)
        ante_fallo(c, o, borra_tabla(c));
    else if (is(option, "-c", "-create"))
        ante_fallo(c, o, crea_tabla(c));
    else if (list)
        fin = simula(w, o);
    if (fin)
        termina_antes(o, c, l, *fin);

    suelta_bloqueo(c, l);
    cierra_catalogo(c);
    o.escribe("Terminado!!!\n");
    // An update run that left some file unpublished, or a prune that left
    // some file on the server, says so in its status.
    termina(o, (update || prune) && o.sin_publicar() > 0 ? estado::sin_publicar : estado::exito);
}
