// The prune (-p): the files vantor published whose local copy is gone are
// deleted from the server, then their rows. Only what the catalogue knows
// is touched, never anything else on the server, and directories stay.
//
// A file counts as gone only on positive evidence: the nearest directory
// above it that exists locally was read whole and lacks the next part of its
// path (or holds it as something that is not a directory). A directory that
// cannot be read, an entry whose status cannot be taken, an empty or
// unreadable local root: nothing below them is deleted.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "publish/filas.h"
#include "publish/publish.h"

namespace {

// The names in one local directory, when it could be read whole.
struct listado {
    bool completo = false;
    int error = 0;
    std::set<std::string> nombres;
};

// The local directories read so far, by relative directory.
using listados = std::map<std::string, listado>;

const listado &lista(const arbol &t, listados &leidos, const std::string &ruta)
{
    auto hecho = leidos.find(ruta);
    if (hecho != leidos.end())
        return hecho->second;
    listado &l = leidos[ruta];
    DIR *d = opendir(ruta_local(t, ruta).c_str());
    if (!d) {
        l.error = errno;
        return l;
    }
    errno = 0;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..")
            l.nombres.insert(n);
        errno = 0;
    }
    l.error = errno;
    l.completo = l.error == 0;
    closedir(d);
    return l;
}

// The parts of ruta + nombre: "/a/b/" and "c" give a, b, c. Empty when the
// row is not one the walk could have written.
std::vector<std::string> partes(const std::string &ruta, const std::string &nombre)
{
    std::vector<std::string> out;
    if (ruta.empty() || ruta.front() != '/' || ruta.back() != '/')
        return {};
    for (size_t i = 1; i < ruta.size();) {
        size_t j = ruta.find('/', i);
        out.push_back(ruta.substr(i, j - i));
        i = j + 1;
    }
    out.push_back(nombre);
    for (const std::string &p : out)
        if (p.empty() || p == "." || p == ".." || p.find('/') != std::string::npos)
            return {};
    return out;
}

bool se_ha_ido(const arbol &t, listados &leidos, const std::string &ruta, const std::string &nombre)
{
    const char *por = nullptr;
    if (!admisible(ruta, &por) || !admisible(nombre, &por))
        return false;
    const std::vector<std::string> p = partes(ruta, nombre);
    if (p.empty())
        return false;
    // An excluded entry anywhere on the path keeps the row: the walk does
    // not look there, so the file is not known to be gone.
    std::string dir = "/";
    for (size_t k = 0; k < p.size(); ++k) {
        const bool ultimo = k + 1 == p.size();
        if (excluido(t, dir, p[k], !ultimo))
            return false;
        dir += p[k] + "/";
    }
    dir.assign(1, '/');  // not = "/": GCC 12 warns falsely (-Wrestrict) there
    for (size_t k = 0; k < p.size(); ++k) {
        const listado &l = lista(t, leidos, dir);
        if (!l.completo)
            return false;
        if (!l.nombres.count(p[k]))
            return true;
        if (k + 1 == p.size())
            return false;
        struct stat st;
        if (stat(ruta_local(t, dir + p[k]).c_str(), &st) != 0)
            return false;
        if (!S_ISDIR(st.st_mode))
            return true;
        dir += p[k] + "/";
    }
    return false;
}

}  // namespace

quizas_fallo desaparecidos(trabajo &w, std::vector<desaparecido> &out, std::optional<std::string> &sin_evidencia)
{
    listados leidos;
    const listado &raiz = lista(w.arbol, leidos, "/");
    if (!raiz.completo) {
        sin_evidencia = "imposible leer el directorio local " + w.arbol.raiz + ": " + strerror(raiz.error);
        return std::nullopt;
    }
    // An empty root is most likely a file system that is not mounted.
    if (raiz.nombres.empty()) {
        sin_evidencia = "el directorio local " + w.arbol.raiz + " esta vacio";
        return std::nullopt;
    }
    std::vector<publicado> filas;
    if (quizas_fallo f = publicados(w.catalogo, filas))
        return f;
    for (publicado &p : filas)
        if (se_ha_ido(w.arbol, leidos, p.ruta, p.nombre))
            out.push_back(std::move(p));
    return std::nullopt;
}

quizas_estado poda(trabajo &w, salida &o)
{
    std::vector<desaparecido> gone;
    std::optional<std::string> sin_evidencia;
    if (quizas_fallo f = desaparecidos(w, gone, sin_evidencia))
        return falla(w.catalogo, o, *f);
    if (sin_evidencia) {
        o.escribe("No se borra nada: " + *sin_evidencia + "\n");
        return estado::sin_publicar;
    }
    const ajustes &a = w.ajustes;
    directorios dirs;
    conexion c{a, w.arbol, dirs};
    if (quizas_estado fin = abre_conexion(w, o, c.sesion))
        return fin;
    for (const desaparecido &d : gone) {
        w.comprueba_bloqueo();
        const std::string entrada = d.ruta + d.nombre;
        const std::string remota = a.remoteroot + entrada;
        desenlace hecho = ftp_borra(c.sesion, remota);
        // A connection the server closed is opened again for one more try.
        bool caida = false;
        if (!hecho.ok && hecho.perdida) {
            if (reconecta(c))
                hecho = ftp_borra(c.sesion, remota);
            else
                caida = true;
        }
        if (hecho.detenida)
            w.comprueba_bloqueo();
        const bool ok = hecho.ok;
        // The file is no longer there: its row goes all the same.
        const bool ausente = !ok && !caida && hecho.no_existe();
        const std::string motivo_fallo = caida ? c.motivo_caida : hecho.texto();
        if (ok || ausente) {
            o.escribe("===> " + entrada + (ok ? " borrado con exito\n" : " ya no estaba en el servidor\n"));
            sentencia fila = sentencia_borrado_fila(w.catalogo, d.ruta, d.nombre);
            if (quizas_estado fin = registra_fila(w, o, std::move(fila), forma::linea))
                return fin;
            continue;
        }
        o.escribe("Error borrando archivo " + remota + ":\n" + motivo_fallo + "\n===> ERROR al borrar " + entrada +
                  "\n");
        o.anota_fallo();
    }
    if (quizas_estado fin = avanza(w.catalogo, o, true))
        return fin;
    ftp_cierra(c.sesion);
    return std::nullopt;
}
