// Depth-first walk of the local tree below localroot, one event at a time.
//
// Each directory is read whole, with every entry's status, when the walk
// enters it; its entries are then handed on in the order the platform
// listed them, and a subdirectory is finished before the next entry of its
// parent is taken, exactly as a one-entry-at-a-time walk would do. The walk
// writes nothing: an entry it cannot hand on becomes an event holding the
// line that says why, and whoever writes the run's output writes it in its
// place.
#include "tree/walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

struct entrada {
    std::string nombre;
    int error = 0;  // errno of a failed stat, 0 when the status was taken
    struct stat st {};
};

bool es_directorio(const struct stat &st) { return (st.st_mode & 0xF000) == 0x4000; }

// Reads the whole listing of a directory with each entry's status, leaving
// out the excluded entries without a word. A listing that fails part-way
// ends where it failed.
std::vector<entrada> lee_directorio(DIR *d, const arbol &t, const std::string &ruta)
{
    std::vector<entrada> lista;
    // Each status is taken relative to the open directory: no path to build
    // and no path for the kernel to walk again for every entry. A path too
    // long for stat still goes to stat, whose refusal is the entry's error.
    const size_t carpeta = t.raiz.size() + ruta.size();
    while (struct dirent *de = readdir(d)) {
        entrada e;
        e.nombre = de->d_name;
        const int r = carpeta + e.nombre.size() < PATH_MAX ? fstatat(dirfd(d), de->d_name, &e.st, 0)
                                                          : stat((t.raiz + ruta + e.nombre).c_str(), &e.st);
        if (r != 0)
            e.error = errno;
        // An entry without a status is taken for a file here: a pattern for
        // directories only cannot tell, and its error is reported instead.
        bool propio = e.nombre == "." || e.nombre == "..";
        if (!propio && excluido(t, ruta, e.nombre, !e.error && es_directorio(e.st)))
            continue;
        lista.push_back(std::move(e));
    }
    return lista;
}

// Why a file cannot be catalogued as it is, or an empty text when it can;
// fills a when it can.
std::string descarta(const arbol &t, const std::string &ruta, const entrada &e, archivo &a, sello_reciente &sellos)
{
    const char *por = nullptr;
    if (t.sin_temporales && es_temporal(e.nombre))
        return "su nombre es el de una copia temporal de atomic = \"yes\"";
    if (!admisible(ruta, &por))
        return std::string("la ruta ") + por;
    if (!admisible(e.nombre, &por))
        return std::string("el nombre ") + por;
    if (!sellos.toma(static_cast<long long>(e.st.st_mtime), a.sello))
        return "su fecha de modificacion no tiene hora local";
    a.nombre = e.nombre;
    a.tamano = static_cast<long long>(e.st.st_size);
    return {};
}

void aviso(suceso &s, std::string texto, bool omitido, bool a_error = false)
{
    s.tipo = suceso::clase::aviso;
    s.texto = std::move(texto);
    s.omitido = omitido;
    s.a_error = a_error;
}

}  // namespace

// A directory being walked: its listing and the next entry to hand on.
struct recorrido::nivel {
    std::string ruta;
    std::vector<entrada> lista;
    size_t siguiente = 0;
    // Identity of the directory, to stop a symbolic link that leads back up
    // the path from making the walk endless.
    bool marcado = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

recorrido::recorrido(const arbol &t) : t_(t) {}

recorrido::~recorrido() = default;

// Enters the directory ruta. False when it cannot be opened; then s holds
// the event that says so.
bool recorrido::entra(const std::string &ruta, suceso &s)
{
    const std::string local = t_.raiz + ruta;
    DIR *d = opendir(local.c_str());
    if (!d) {
        aviso(s, "Error en la llamada a opendir: " + local + "\n", true);
        return false;
    }
    nivel n;
    n.ruta = ruta;
    struct stat propio;
    if (fstat(dirfd(d), &propio) == 0) {
        n.marcado = true;
        n.dev = propio.st_dev;
        n.ino = propio.st_ino;
    }
    n.lista = lee_directorio(d, t_, ruta);
    closedir(d);
    niveles_.push_back(std::move(n));
    return true;
}

bool recorrido::en_la_ruta(const struct stat &st) const
{
    for (const nivel &n : niveles_)
        if (n.marcado && n.dev == st.st_dev && n.ino == st.st_ino)
            return true;
    return false;
}

bool recorrido::siguiente(suceso &s)
{
    s = suceso{};
    if (!empezado_) {
        empezado_ = true;
        s.ruta = "/";
        if (!entra("/", s))
            return true;
    }
    while (!niveles_.empty()) {
        nivel &n = niveles_.back();
        if (n.siguiente == n.lista.size()) {
            niveles_.pop_back();
            continue;
        }
        const entrada &e = n.lista[n.siguiente++];
        s.ruta = n.ruta;
        if (e.error) {
            // strerror_r: the walk may run on a thread of its own.
            char b[256];
            aviso(s, std::string("   Error al hacer el stat: : ") + strerror_r(e.error, b, sizeof b) + "\n", true, true);
            return true;
        }
        if (es_directorio(e.st)) {
            if (e.nombre == "." || e.nombre == "..")
                continue;
            if (en_la_ruta(e.st)) {
                aviso(s, "Se omite " + n.ruta + e.nombre + ": enlace a un directorio de su propia ruta\n", false);
                return true;
            }
            // entra() may move the levels: n is not used after it.
            const std::string sub = n.ruta + e.nombre + "/";
            if (!entra(sub, s)) {
                s.ruta = sub;
                return true;
            }
            continue;
        }
        std::string por = descarta(t_, n.ruta, e, s.archivo, sellos_);
        if (!por.empty()) {
            aviso(s, "Se omite " + n.ruta + e.nombre + ": " + por + "\n", true);
            return true;
        }
        return true;
    }
    return false;
}

std::string ruta_local(const arbol &t, const std::string &ruta) { return t.raiz + ruta; }

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

bool sello_reciente::toma(long long t, sello &s)
{
    if (hay_ && t == t_) {
        s = s_;
        return true;
    }
    if (!toma_sello(t, s))
        return false;
    hay_ = true;
    t_ = t;
    s_ = s;
    return true;
}
