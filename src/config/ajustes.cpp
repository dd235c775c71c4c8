// Settings: the required-key check, the optional keys and their defaults.
#include "config/ajustes.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct requerida {
    const char *clave;
    std::string ajustes::*campo;
};

// In the order they are checked and reported.
const requerida requeridas[] = {
    {"localroot", &ajustes::localroot}, {"remoteroot", &ajustes::remoteroot},
    {"ftpserver", &ajustes::ftpserver}, {"ftpport", &ajustes::ftpport},
    {"ftpuser", &ajustes::ftpuser},     {"ftppass", &ajustes::ftppass},
    {"dbserver", &ajustes::dbserver},   {"dbport", &ajustes::dbport},
    {"dbname", &ajustes::dbname},       {"dbtablename", &ajustes::dbtablename},
    {"dbuser", &ajustes::dbuser},       {"dbpass", &ajustes::dbpass},
};

// A password may come instead from an environment variable or from the
// first line of a file, as CI systems hand secrets; either key makes the
// password key itself unnecessary.
struct contrasena {
    const char *clave, *entorno, *archivo;
    std::string ajustes::*campo;
};

const contrasena contrasenas[] = {
    {"ftppass", "ftppassenv", "ftppassfile", &ajustes::ftppass},
    {"dbpass", "dbpassenv", "dbpassfile", &ajustes::dbpass},
};

bool de_fuera(const s_vars *list, const char *clave)
{
    for (const contrasena &c : contrasenas)
        if (strcmp(c.clave, clave) == 0)
            return get_value(list, c.entorno) || get_value(list, c.archivo);
    return false;
}

// The first line of a file, without its line end. False when the file
// cannot be read, with the reason in por.
bool primera_linea(const char *ruta, std::string &linea, std::string &por)
{
    FILE *f = fopen(ruta, "r");
    if (!f) {
        por = strerror(errno);
        return false;
    }
    char *texto = nullptr;
    size_t n = 0;
    errno = 0;
    const ssize_t leidos = getline(&texto, &n, f);
    const bool ok = leidos >= 0 || !ferror(f);
    if (!ok)
        por = strerror(errno);
    linea.assign(texto ? texto : "", leidos > 0 ? static_cast<size_t>(leidos) : 0);
    free(texto);
    fclose(f);
    while (!linea.empty() && (linea.back() == '\n' || linea.back() == '\r'))
        linea.pop_back();
    return ok;
}

// Takes the password from where the configuration says; a line for
// standard output when it cannot.
void lee_contrasena(const s_vars *list, const contrasena &c, ajustes &a, std::vector<std::string> &lineas)
{
    const char *entorno = get_value(list, c.entorno), *archivo = get_value(list, c.archivo);
    if ((get_value(list, c.clave) != nullptr) + (entorno != nullptr) + (archivo != nullptr) > 1) {
        lineas.push_back(std::string("Solo una de \"") + c.clave + "\", \"" + c.entorno + "\" y \"" + c.archivo +
                         "\" puede indicarse\n");
    } else if (entorno) {
        // CI systems give a secret they may not share as an empty variable.
        const char *v = getenv(entorno);
        if (v && *v)
            a.*c.campo = v;
        else
            lineas.push_back(std::string("La variable de entorno ") + entorno + " que nombra " + c.entorno +
                             " no existe o esta vacia\n");
    } else if (std::string por; archivo && !primera_linea(archivo, a.*c.campo, por)) {
        lineas.push_back(std::string("Imposible leer ") + c.archivo + " '" + archivo + "': " + por + "\n");
    }
}

bool solo_digitos(const char *t)
{
    if (!*t)
        return false;
    for (; *t; ++t)
        if (*t < '0' || *t > '9')
            return false;
    return true;
}

bool es(const char *t, const char *valor) { return strcasecmp(t, valor) == 0; }

// The port as C's atoi reads it (blanks, sign, digits), but saturated at the
// limits of int instead of overflowing.
unsigned int puerto_db(const std::string &text)
{
    errno = 0;
    long v = strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    return static_cast<unsigned int>(static_cast<int>(v));
}

long puerto_ftp(const std::string &t)
{
    if (!solo_digitos(t.c_str()) || t.size() > 5)
        return 0;
    long p = strtol(t.c_str(), nullptr, 10);
    return p >= 1 && p <= 65535 ? p : 0;
}

// The user's home folder: $HOME, or the account's when it is not set.
std::string carpeta_personal()
{
    if (const char *h = getenv("HOME"); h && *h)
        return h;
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "";
}

// The keys that name the database server, which a catalogue file replaces.
bool de_servidor(const char *clave)
{
    for (const char *k : {"dbserver", "dbport", "dbname", "dbuser", "dbpass"})
        if (strcmp(clave, k) == 0)
            return true;
    return false;
}

// The catalogue file's path, absolute: "~/" is the home folder, and a
// relative path is taken from the configuration file's folder.
std::string ruta_catalogo(const std::string &valor, const std::string &carpeta)
{
    if (valor == "~" || valor.starts_with("~/"))
        return carpeta_personal() + valor.substr(1);
    std::string ruta = valor.starts_with("/") || carpeta == "." ? valor : carpeta + "/" + valor;
    if (!ruta.starts_with("/")) {
        char actual[PATH_MAX];
        if (getcwd(actual, sizeof actual))
            ruta = std::string(actual) + "/" + ruta;
    }
    return ruta;
}

}  // namespace

quizas_rechazo lee_ajustes(const s_vars *list, ajustes &a, const std::string &carpeta)
{
    std::vector<std::string> lineas;
    const char *archivo = get_value(list, "catalogue");
    for (const requerida &r : requeridas) {
        const char *v = get_value(list, r.clave);
        if (archivo && de_servidor(r.clave)) {
            for (const char *k : {r.clave, "dbpassenv", "dbpassfile"}) {
                if (get_value(list, k) && (k == r.clave || strcmp(r.clave, "dbpass") == 0))
                    lineas.push_back(std::string("\"") + k +
                                     "\" sobra con \"catalogue\": el catalogo es un archivo, sin servidor de base de "
                                     "datos\n");
            }
            continue;
        }
        if (v)
            a.*r.campo = v;
        else if (archivo && r.campo == &ajustes::dbtablename)
            a.dbtablename = tabla_por_omision;
        else if (!de_fuera(list, r.clave))
            lineas.push_back(std::string("\"") + r.clave + "\" no especificado\n");
    }
    if (archivo && !*archivo)
        lineas.push_back("\"catalogue\" no puede estar vacio\n");
    if (!lineas.empty())
        return rechazo{lineas};
    if (archivo)
        a.archivo_catalogo = ruta_catalogo(archivo, carpeta);

    for (const contrasena &c : contrasenas)
        if (!archivo || !de_servidor(c.clave))
            lee_contrasena(list, c, a, lineas);
    if (es(a.dbtablename.c_str(), tabla_bloqueo))
        lineas.push_back(std::string("\"dbtablename\" no puede ser \"") + tabla_bloqueo +
                         "\", la tabla del bloqueo de ejecucion\n");
    if (const char *t = get_value(list, "ftptls")) {
        if (es(t, "no"))
            a.tls = modo_tls::no;
        else if (es(t, "explicit"))
            a.tls = modo_tls::explicito;
        else if (es(t, "implicit"))
            a.tls = modo_tls::implicito;
        else
            lineas.push_back("\"ftptls\" debe ser \"no\", \"explicit\" o \"implicit\"\n");
    }
    if (const char *p = get_value(list, "protocol")) {
        if (es(p, "sftp"))
            a.sftp = true;
        else if (!es(p, "ftp"))
            lineas.push_back("\"protocol\" debe ser \"ftp\" o \"sftp\"\n");
    }
    // SSH protects the whole session by itself: TLS on top has no meaning.
    if (a.sftp && a.tls != modo_tls::no)
        lineas.push_back("\"ftptls\" debe ser \"no\" o faltar con protocol = \"sftp\"\n");
    if (const char *n = get_value(list, "ftpconnections")) {
        long v = solo_digitos(n) && strlen(n) <= 2 ? strtol(n, nullptr, 10) : 0;
        if (v < 1 || v > 16)
            lineas.push_back("\"ftpconnections\" debe ser un numero de 1 a 16\n");
        else
            a.conexiones = static_cast<int>(v);
    }
    if (const char *t = get_value(list, "compare")) {
        if (es(t, "content"))
            a.contenido = true;
        else if (!es(t, "time"))
            lineas.push_back("\"compare\" debe ser \"time\" o \"content\"\n");
    }
    if (const char *t = get_value(list, "atomic")) {
        if (es(t, "yes"))
            a.atomico = true;
        else if (!es(t, "no"))
            lineas.push_back("\"atomic\" debe ser \"no\" o \"yes\"\n");
    }
    if (const char *ca = get_value(list, "ftpcafile"))
        a.cafile = ca;
    if (const char *k = get_value(list, "sshkeyfile"))
        a.sshkeyfile = k;
    if (const char *kh = get_value(list, "sshknownhosts")) {
        a.sshknownhosts = kh;
        a.knownhosts_explicito = true;
    } else {
        a.sshknownhosts = carpeta_personal() + "/.ssh/known_hosts";
    }
    if (const char *ex = get_value(list, "excludefile"))
        a.excludefile = ex;
    // An empty excludefile names a file that cannot be opened, as before.
    a.hay_exclusiones = get_value(list, "excludefile") != nullptr;

    a.puerto_db = puerto_db(a.dbport);
    a.puerto_ftp = puerto_ftp(a.ftpport);
    // Only the tests shorten the wait for a server that stopped answering.
    if (const char *p = getenv("VANTOR_PLAZO_FTP")) {
        long v = strtol(p, nullptr, 10);
        if (v > 0)
            a.plazo = v;
    }
    if (!lineas.empty())
        return rechazo{lineas};
    return std::nullopt;
}
