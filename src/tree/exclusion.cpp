// Names left out of every walk: the patterns of the file that the optional
// key excludefile names, matched with fnmatch(3) against the path of an
// entry below localroot.
//
// A pattern that starts with "/" or holds a "/" inside is anchored at the
// root and compared with the whole entry path ("/img/logo.png"); one without
// a "/" is compared with the entry's name, wherever it is. A trailing "/"
// limits the pattern to directories. FNM_PATHNAME keeps "*" and "?" within
// one component. FNM_PERIOD is left out on purpose: with it "*.swp" would
// miss an editor's ".index.html.swp", which is the file a user means.
#include <fnmatch.h>
#include <limits.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tree/walk.h"

namespace {

std::string no_se_puede_leer(const std::string &archivo, int error)
{
    return "Imposible leer el archivo de exclusiones '" + archivo + "': " + strerror(error) + "\n";
}

}  // namespace

bool lee_patron(const std::string &linea, patron &p)
{
    std::string t = linea;
    while (!t.empty() && (t.back() == '\r' || t.back() == ' ' || t.back() == '\t'))
        t.pop_back();
    if (t.empty() || t[0] == '#' || t.find_first_not_of(" \t") == std::string::npos)
        return false;
    p.solo_dirs = false;
    while (t.size() > 1 && t.back() == '/') {
        p.solo_dirs = true;
        t.pop_back();
    }
    if (t == "/")
        return false;
    p.anclado = t.find('/') != std::string::npos;
    if (p.anclado && t[0] != '/')
        t = "/" + t;
    p.texto = t;
    return true;
}

bool carga_exclusiones(const std::string &archivo, std::vector<patron> &out, std::string &error)
{
    out.clear();
    FILE *f = fopen(archivo.c_str(), "r");
    if (!f) {
        error = no_se_puede_leer(archivo, errno);
        return false;
    }
    char *linea = nullptr;
    size_t cabida = 0;
    ssize_t n;
    int numero = 0;
    errno = 0;
    while ((n = getline(&linea, &cabida, f)) >= 0) {
        ++numero;
        std::string texto(linea, static_cast<size_t>(n));
        if (!texto.empty() && texto.back() == '\n')
            texto.pop_back();
        // No path below localroot is longer than the system allows a path.
        if (texto.size() >= PATH_MAX) {
            error = "Patron demasiado largo en la linea " + std::to_string(numero) + " de '" + archivo + "'\n";
            free(linea);
            fclose(f);
            return false;
        }
        patron p;
        if (lee_patron(texto, p))
            out.push_back(p);
        errno = 0;
    }
    int fallo = ferror(f) ? (errno ? errno : EIO) : 0;
    free(linea);
    fclose(f);
    if (fallo) {
        error = no_se_puede_leer(archivo, fallo);
        return false;
    }
    return true;
}

bool coincide(const patron &p, const std::string &ruta, const std::string &nombre, bool dir)
{
    if (p.solo_dirs && !dir)
        return false;
    const std::string contra = p.anclado ? ruta + nombre : nombre;
    return fnmatch(p.texto.c_str(), contra.c_str(), FNM_PATHNAME) == 0;
}

bool excluido(const arbol &t, const std::string &ruta, const std::string &nombre, bool dir)
{
    for (const patron &p : t.exclusiones)
        if (coincide(p, ruta, nombre, dir))
            return true;
    return false;
}
