// Depth-first walk of the local tree below localroot.
//
// Each directory is read whole before any of its entries is handled, so that
// the files of one directory can be prepared together (see `anticipa`); the
// entries are then handled in the order the platform listed them, and a
// subdirectory is finished before the next entry of its parent is taken,
// exactly as a one-entry-at-a-time walk would do.
#include "tree/walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "catalogue/catalogue.h"
#include "config/config.h"

namespace {

struct entrada {
    std::string nombre;
    int error = 0;  // errno of a failed stat, 0 when the status was taken
    struct stat st {};
    std::string descarte;  // why a file is skipped, empty when it is not
};

bool es_directorio(const struct stat &st) { return (st.st_mode & 0xF000) == 0x4000; }

// Identities of the directories on the current path, to stop a symbolic
// link that leads back up the path from making the walk endless.
std::vector<std::pair<dev_t, ino_t>> en_curso;

bool en_la_ruta(const struct stat &st)
{
    for (const auto &d : en_curso)
        if (d.first == st.st_dev && d.second == st.st_ino)
            return true;
    return false;
}

void avisa(const recorrido &r)
{
    if (r.antes_de_escribir)
        r.antes_de_escribir();
}

// Reads the whole listing of a directory with each entry's status, leaving
// out the excluded entries without a word. A listing that fails part-way
// ends where it failed.
std::vector<entrada> lee_directorio(DIR *d, const std::string &ruta, const std::string &raiz)
{
    std::vector<entrada> lista;
    while (struct dirent *de = readdir(d)) {
        entrada e;
        e.nombre = de->d_name;
        std::string local = raiz + ruta + e.nombre;
        if (stat(local.c_str(), &e.st) != 0)
            e.error = errno;
        // An entry without a status is taken for a file here: a pattern for
        // directories only cannot tell, and its error is reported instead.
        bool propio = e.nombre == "." || e.nombre == "..";
        if (!propio && excluido(ruta, e.nombre, !e.error && es_directorio(e.st)))
            continue;
        lista.push_back(std::move(e));
    }
    return lista;
}

// Why a file cannot be catalogued as it is, or an empty text when it can;
// fills a when it can.
std::string descarta(const std::string &ruta, const entrada &e, archivo &a)
{
    const char *por = nullptr;
    if (!admisible(ruta, &por))
        return std::string("la ruta ") + por;
    if (!admisible(e.nombre, &por))
        return std::string("el nombre ") + por;
    if (!toma_sello(static_cast<long long>(e.st.st_mtime), a.s))
        return "su fecha de modificacion no tiene hora local";
    a.nombre = e.nombre;
    return {};
}

}  // namespace

int omitidos = 0;

std::string ruta_local(const std::string &ruta)
{
    return std::string(get_value(conf, "localroot")) + ruta;
}

bool toma_sello(long long t, sello &s)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm) || tm.tm_year > INT_MAX - 1900)
        return false;
    s.dia = tm.tm_mday;
    s.mes = tm.tm_mon + 1;
    s.anio = tm.tm_year + 1900;
    s.hora = tm.tm_hour;
    s.minuto = tm.tm_min;
    s.segundo = tm.tm_sec;
    return true;
}

void recorre(const std::string &ruta, const recorrido &r)
{
    const std::string raiz = get_value(conf, "localroot");
    const std::string local = raiz + ruta;
    DIR *d = opendir(local.c_str());
    if (!d) {
        avisa(r);
        ++omitidos;
        printf("Error en la llamada a opendir: %s\n", local.c_str());
        return;
    }
    struct stat propio;
    bool marcado = fstat(dirfd(d), &propio) == 0;
    std::vector<entrada> lista = lee_directorio(d, ruta, raiz);
    closedir(d);
    if (marcado)
        en_curso.emplace_back(propio.st_dev, propio.st_ino);

    // The files that reach the action, in listing order.
    std::vector<archivo> archivos;
    for (entrada &e : lista) {
        if (e.error || es_directorio(e.st))
            continue;
        archivo a;
        e.descarte = descarta(ruta, e, a);
        if (e.descarte.empty())
            archivos.push_back(std::move(a));
    }
    if (r.anticipa)
        r.anticipa(ruta, archivos);

    size_t siguiente = 0;
    for (size_t i = 0; i < lista.size(); ++i) {
        const entrada &e = lista[i];
        if (e.error) {
            avisa(r);
            ++omitidos;
            errno = e.error;
            perror("   Error al hacer el stat: ");
            continue;
        }
        if (!e.descarte.empty()) {
            avisa(r);
            ++omitidos;
            printf("Se omite %s%s: %s\n", ruta.c_str(), e.nombre.c_str(), e.descarte.c_str());
            continue;
        }
        if (es_directorio(e.st)) {
            if (e.nombre == "." || e.nombre == "..")
                continue;
            if (en_la_ruta(e.st)) {
                avisa(r);
                printf("Se omite %s%s: enlace a un directorio de su propia ruta\n", ruta.c_str(),
                       e.nombre.c_str());
                continue;
            }
            recorre(ruta + e.nombre + "/", r);
            continue;
        }
        r.accion(ruta, archivos[siguiente++]);
    }
    if (r.termina)
        r.termina(ruta);
    if (marcado)
        en_curso.pop_back();
}
