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

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "publish/progress.h"
#include "publish/publish.h"

namespace {

// The names in one local directory, when it could be read whole.
struct listado {
    bool completo = false;
    int error = 0;
    std::set<std::string> nombres;
};

std::map<std::string, listado> listados;

const listado &lista(const std::string &ruta)
{
    auto hecho = listados.find(ruta);
    if (hecho != listados.end())
        return hecho->second;
    listado &l = listados[ruta];
    DIR *d = opendir(ruta_local(ruta).c_str());
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

bool se_ha_ido(const std::string &ruta, const std::string &nombre)
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
        if (excluido(dir, p[k], !ultimo))
            return false;
        dir += p[k] + "/";
    }
    dir = "/";
    for (size_t k = 0; k < p.size(); ++k) {
        const listado &l = lista(dir);
        if (!l.completo)
            return false;
        if (!l.nombres.count(p[k]))
            return true;
        if (k + 1 == p.size())
            return false;
        struct stat st;
        if (stat(ruta_local(dir + p[k]).c_str(), &st) != 0)
            return false;
        if (!S_ISDIR(st.st_mode))
            return true;
        dir += p[k] + "/";
    }
    return false;
}

void falla(const std::string &remota, const std::string &motivo)
{
    printf("Error borrando archivo %s:\n%s\n", remota.c_str(), motivo.c_str());
}

}  // namespace

bool desaparecidos(std::vector<desaparecido> &out, std::string &motivo)
{
    listados.clear();
    const listado &raiz = lista("/");
    const std::string local = get_value(conf, "localroot");
    if (!raiz.completo) {
        motivo = "imposible leer el directorio local " + local + ": " + strerror(raiz.error);
        return false;
    }
    // An empty root is most likely a file system that is not mounted.
    if (raiz.nombres.empty()) {
        motivo = "el directorio local " + local + " esta vacio";
        return false;
    }
    const std::string sql =
        "SELECT DISTINCT Ruta, Nombre FROM " + std::string(get_value(conf, "dbtablename")) + " ORDER BY Ruta, Nombre";
    consulta(sql, forma::linea);
    MYSQL_RES *r = mysql_store_result(&db);
    if (!r)
        informa_fallo(mysql_error(&db), sql, forma::linea);
    while (MYSQL_ROW f = mysql_fetch_row(r)) {
        if (!f[0] || !f[1])
            continue;
        unsigned long *largos = mysql_fetch_lengths(r);
        desaparecido d{std::string(f[0], largos[0]), std::string(f[1], largos[1])};
        if (se_ha_ido(d.ruta, d.nombre))
            out.push_back(std::move(d));
    }
    mysql_free_result(r);
    return true;
}

void poda()
{
    std::vector<desaparecido> gone;
    std::string motivo;
    if (!desaparecidos(gone, motivo)) {
        printf("No se borra nada: %s\n", motivo.c_str());
        exit(2);
    }
    abre_conexion();
    const std::string raiz = get_value(conf, "remoteroot");
    for (const desaparecido &d : gone) {
        const std::string entrada = d.ruta + d.nombre;
        const std::string remota = raiz + entrada;
        bool ok = false, ausente = false;
        std::string motivo_fallo;
        if (remota.find_first_of("\r\n") != std::string::npos) {
            motivo_fallo = "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
        } else {
            ok = ftp_borra(buf, remota);
            // A connection the server closed is opened again for one more try.
            if (!ok && ftp_perdida(buf) && reconecta())
                ok = ftp_borra(buf, remota);
            // 550: the file is no longer there; its row goes all the same.
            ausente = !ok && ftp_codigo(buf) == 550;
            if (!ok && !ausente)
                motivo_fallo = ultima_respuesta();
        }
        espera_registro();
        if (ok || ausente) {
            printf(ok ? "===> %s borrado con exito\n" : "===> %s ya no estaba en el servidor\n", entrada.c_str());
            registra(sentencia_borrado_fila(d.ruta, d.nombre), forma::linea);
            continue;
        }
        falla(remota, motivo_fallo);
        printf("===> ERROR al borrar %s\n", entrada.c_str());
        ++recuento.fallidos;
    }
    confirma(forma::linea);
    ftp_cierra(buf);
    buf = nullptr;
}
