// Checks the command line, loads the configuration, connects the catalogue
// database and runs the one mode that the option selects.
#include "app/driver.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"
#include "publish/publish.h"
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
};

const char *const help_requests[] = {"/?", "-?", "--help", "-help", "/help", "-h"};

const char *const required_keys[] = {
    "localroot", "remoteroot", "ftpserver", "ftpport", "ftpuser", "ftppass",
    "dbserver",  "dbport",     "dbname",    "dbtablename", "dbuser", "dbpass",
};

bool is(const char *arg, const char *a, const char *b = nullptr)
{
    return strcasecmp(arg, a) == 0 || (b && strcasecmp(arg, b) == 0);
}

// The port as C's atoi reads it (blanks, sign, digits), but saturated at the
// limits of int instead of overflowing.
unsigned int port_number(const char *text)
{
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    return static_cast<unsigned int>(static_cast<int>(v));
}

void connect_database()
{
    if (!mysql_init(&db)) {
        fputs("Imposible preparar la conexion con la base de datos\n", stdout);
        exit(1);
    }
    // Names are stored as the characters they are, whatever the server's
    // default character set.
    mysql_options(&db, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(&db, get_value(conf, "dbserver"), get_value(conf, "dbuser"),
                            get_value(conf, "dbpass"), get_value(conf, "dbname"),
                            port_number(get_value(conf, "dbport")), nullptr, 0)) {
        fputs(mysql_error(&db), stdout);
        exit(1);
    }
}

}  // namespace

int vantor_main(int argc, char **argv)
{
    // Every line reaches a file or pipe as soon as it is complete, so an
    // interrupted run leaves a faithful record of what it did.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc != 2 && argc != 3) {
        fputs(usage, stderr);
        exit(-1);
    }
    if (argc == 2) {
        for (const char *h : help_requests) {
            if (is(argv[1], h)) {
                for (const char *piece : help_pieces)
                    fputs(piece, stdout);
                exit(0);
            }
        }
    }

    conf = load_config(argv[1]);

    bool missing = false;
    for (const char *key : required_keys) {
        if (!get_value(conf, key)) {
            printf("\"%s\" no especificado\n", key);
            missing = true;
        }
    }
    if (missing)
        exit(-1);
    // Both checks run, so that every bad key is reported at once.
    bool ajustes = ftp_ajustes();
    if (!compara_ajustes() || !ajustes)
        exit(-1);
    carga_exclusiones();

    connect_database();

    const char *option = argc == 3 ? argv[2] : "-u";
    const bool update = is(option, "-u", "-update");
    const bool prune = is(option, "-p", "-prune");
    // The runs that upload, write or delete hold the table's run lock.
    if (update || prune || is(option, "-r", "-rebuild") || is(option, "-d", "-delete"))
        toma_bloqueo();
    // The runs that read or write Huella need the column before they start.
    if (por_contenido() && (update || is(option, "-r", "-rebuild") || is(option, "-l", "-list")))
        comprueba_huella();
    if (update)
        actualiza();
    else if (prune)
        poda();
    else if (is(option, "-r", "-rebuild"))
        reconstruye();
    else if (is(option, "-d", "-delete"))
        borra_tabla();
    else if (is(option, "-c", "-create"))
        crea_tabla();
    else if (is(option, "-l", "-list"))
        simula();

    mysql_close(&db);
    fputs("Terminado!!!\n", stdout);
    // An update run that left some file unpublished, or a prune that left
    // some file on the server, says so in its status.
    return (update || prune) && sin_publicar() > 0 ? 2 : 0;
}
