// Checks the command line, loads the configuration, connects the catalogue
// database and runs the one mode that the option selects.
#include "app/driver.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "catalogue/catalogue.h"
#include "config/ajustes.h"
#include "config/config.h"
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
    "                        con un nombre temporal (.NOMBRE.vantor-tmp) en su\n",
    "                        directorio y se renombra al terminar, asi el sitio\n",
    "                        nunca muestra un archivo a medias. Cuesta dos\n",
    "                        ordenes mas por archivo.\n",
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
// lease row, the end in local time; empty without one.
std::string ocupada_por(const ocupante &q)
{
    if (!q.hay)
        return "";
    const time_t hasta = time(nullptr) + q.segundos;
    std::tm t{};
    localtime_r(&hasta, &t);
    char fecha[32];
    strftime(fecha, sizeof fecha, "%Y-%m-%d %H:%M:%S", &t);
    return " (equipo " + q.equipo + ", proceso " + q.proceso + ", hasta " + fecha + ")";
}

void ante_fallo(quizas_fallo f)
{
    if (f)
        termina_por_fallo(*f);
}

}  // namespace

void vantor_main(int argc, char **argv)
{
    // Every line reaches a file or pipe as soon as it is complete, so an
    // interrupted run leaves a faithful record of what it did.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc != 2 && argc != 3) {
        escribe_error(usage);
        termina(estado::configuracion);
    }
    if (argc == 2) {
        for (const char *h : help_requests) {
            if (is(argv[1], h)) {
                for (const char *piece : help_pieces)
                    escribe(piece);
                termina(estado::exito);
            }
        }
    }

    s_vars *lista = nullptr;
    if (!load_config(argv[1], &lista)) {
        escribe_error(std::string("Imposible abrir '") + argv[1] + "'\n");
        termina(estado::configuracion);
    }
    ajustes a;
    std::vector<std::string> malos = lee_ajustes(lista, a);
    const std::vector<std::string> avisos = avisos_permisos(argv[1], lista, a);
    free_config(lista);
    if (malos.empty()) {
        std::string tls = ftp_comprueba(a);
        if (!tls.empty())
            malos.push_back(tls);
    }
    if (!malos.empty()) {
        for (const std::string &linea : malos)
            escribe(linea);
        termina(estado::configuracion);
    }
    for (const std::string &aviso : avisos)
        escribe_error(aviso);
    arbol t{a.localroot, {}, a.atomico};
    if (a.hay_exclusiones) {
        std::string error;
        if (!carga_exclusiones(a.excludefile, t.exclusiones, error)) {
            escribe_error(error);
            termina(estado::configuracion);
        }
    }

    catalogo c;
    std::string error;
    if (!abre_catalogo(a, c, error)) {
        escribe(error);
        termina(estado::base_de_datos);
    }
    salida_vincula(&c);
    salida_sin_tabla("La tabla " + a.dbtablename + " no existe: creela con vantor " + argv[1] + " -c\n");

    const char *option = argc == 3 ? argv[2] : "-u";
    const bool verify = is(option, "-v", "-verify");
    const bool update = verify || is(option, "-u", "-update");
    const bool prune = is(option, "-p", "-prune");
    const bool rebuild = is(option, "-r", "-rebuild");
    const bool clear = is(option, "-d", "-delete");
    const bool list = is(option, "-l", "-list");
    // The runs that upload, write or delete hold the table's run lock.
    arriendo l;
    if (update || prune || rebuild || clear) {
        toma t = toma::ocupado;
        ocupante quien;
        ante_fallo(toma_bloqueo(c, a, l, &t, &quien));
        const std::string tabla = "la tabla " + a.dbtablename + " de la base de datos " + a.dbname;
        if (t == toma::sin_tabla) {
            escribe(std::string("Falta la tabla ") + tabla_bloqueo +
                    " que el bloqueo necesita en un cluster Galera: creela con la sentencia del README\n");
            termina(estado::base_de_datos);
        }
        if (t == toma::ocupado) {
            escribe("Otra ejecucion esta usando " + tabla + ocupada_por(quien) + "\n");
            termina(estado::ocupada);
        }
        salida_vigila(&l, "Se perdio el bloqueo de " + tabla + ": la ejecucion se detiene\n");
    }
    // The runs that read or write Huella need the column before they start.
    if (a.contenido && (update || rebuild || list)) {
        bool hay = false;
        ante_fallo(tiene_huella(c, &hay));
        if (!hay) {
            escribe("La tabla " + a.dbtablename + " no tiene la columna Huella que necesita compare = \"content\"\n");
            termina(estado::base_de_datos);
        }
    }
    // A table made some other way may compare names loosely or lack the
    // index: the run works, but slowly, or with one row for two names.
    if (update && tabla_incompleta(c))
        escribe_error("Aviso: la tabla " + a.dbtablename +
                      " no tiene la comparacion exacta de nombres o el indice (Ruta, Nombre): completela con " +
                      sentencia_indice(c) + "\n");
    trabajo w{a, t, c, verify};
    if (update)
        actualiza(w);
    else if (prune)
        poda(w);
    else if (rebuild)
        ante_fallo(reconstruye(c, t, escribe_aviso));
    else if (clear)
        ante_fallo(borra_tabla(c));
    else if (is(option, "-c", "-create"))
        ante_fallo(crea_tabla(c));
    else if (list)
        simula(w);

    suelta_bloqueo(c, l);
    cierra_catalogo(c);
    salida_vincula(nullptr);
    escribe("Terminado!!!\n");
    // An update run that left some file unpublished, or a prune that left
    // some file on the server, says so in its status.
    termina((update || prune) && sin_publicar() > 0 ? estado::sin_publicar : estado::exito);
}
