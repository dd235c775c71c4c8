// The check of a verifying run. A folder that cannot be listed is not taken
// for a missing one: only a listing of the folder above it that lacks it
// says it is missing, and a folder whose parent cannot be listed either is
// reported and its files decided as in a plain run.
#include "publish/verifica.h"

#include "publish/reparto.h"

verificacion::verificacion(const ajustes &a, conexion &propia, reparto *pool) : a_(a), propia_(propia), pool_(pool)
{
}

std::string verificacion::remota(const std::string &ruta) const
{
    // "/site" + "/a/" -> "/site/a"; the root stays "/".
    std::string d = a_.remoteroot + ruta;
    if (d.size() > 1 && d.back() == '/')
        d.pop_back();
    return d;
}

verificacion::nodo &verificacion::busca(const std::string &remota)
{
    nodo &n = nodos_[remota];
    if (!n.l) {
        n.l = std::make_shared<listado_remoto>();
        n.l->carpeta = remota;
        if (pool_)
            pool_->lista(n.l);
    }
    return n;
}

void verificacion::pide(const std::string &ruta) { ++busca(remota(ruta)).usos; }

void verificacion::suelta(const std::string &ruta)
{
    const std::string r = remota(ruta);
    auto i = nodos_.find(r);
    if (i == nodos_.end() || --i->second.usos > 0)
        return;
    // The walk hands on a folder's files around its subfolders: more of
    // them may follow once a subfolder is done. The last few folders let
    // go keep their listings for them.
    soltadas_.push_back(r);
    if (soltadas_.size() <= 64)
        return;
    auto viejo = nodos_.find(soltadas_.front());
    soltadas_.pop_front();
    if (viejo != nodos_.end() && viejo->second.usos <= 0)
        nodos_.erase(viejo);
}

namespace {

// The folder above a remote folder and its name there; false for the root
// ("/", or "" for the login folder).
bool padre_de(const std::string &remota, std::string &padre, std::string &nombre)
{
    if (remota.empty() || remota == "/")
        return false;
    const size_t k = remota.rfind('/');
    padre = k == std::string::npos ? "" : k == 0 ? "/" : remota.substr(0, k);
    nombre = k == std::string::npos ? remota : remota.substr(k + 1);
    return true;
}

}  // namespace

verificacion::carpeta verificacion::resuelve(const std::string &remota)
{
    nodo &n = busca(remota);
    if (n.resuelta)
        return n.c;
    // Kept alive while the climb below may let other nodes go.
    std::shared_ptr<listado_remoto> l = n.l;
    if (pool_)
        pool_->espera_listado(*l);
    else if (!l->hecho) {
        lista_carpeta(propia_, *l);
        l->hecho = true;
    }
    carpeta c = carpeta::listada;
    std::string padre, nombre;
    if (l->detenida) {
        c = carpeta::detenida;
    } else if (!l->ok) {
        if (!padre_de(remota, padre, nombre)) {
            c = carpeta::ilegible;
        } else {
            const bool nuevo = !nodos_.count(padre);
            c = resuelve(padre);
            if (c == carpeta::listada)
                c = nodos_[padre].l->entradas.count(nombre) ? carpeta::ilegible : carpeta::falta;
            // A parent looked at only for this climb is let go.
            if (nuevo && nodos_[padre].usos <= 0)
                nodos_.erase(padre);
        }
    }
    // The climb only adds or lets go of other folders: n still stands.
    n.resuelta = true;
    n.c = c;
    return c;
}

hallazgo verificacion::examina(const std::string &ruta, const archivo &a, std::string *linea)
{
    const std::string carpeta_remota = remota(ruta);
    // A file whose lookup was answered outside the look-ahead was never
    // announced: its folder counts it now.
    nodo &n0 = busca(carpeta_remota);
    if (n0.usos <= 0)
        n0.usos = 1;
    const carpeta c = resuelve(carpeta_remota);
    nodo &n = nodos_[carpeta_remota];
    if (c == carpeta::falta)
        return hallazgo::falta;
    if (c == carpeta::detenida)
        return hallazgo::detenida;
    if (c == carpeta::ilegible) {
        if (!n.avisada && linea) {
            n.avisada = true;
            *linea = "Error listando directorio " + carpeta_remota + ":\n" + n.l->motivo + "\n";
        }
        return hallazgo::sin_listar;
    }
    auto e = n.l->entradas.find(a.nombre);
    if (e == n.l->entradas.end() || e->second.carpeta)
        return hallazgo::falta;
    if (e->second.enlace || e->second.tamano < 0 || e->second.tamano == a.tamano)
        return hallazgo::presente;
    return hallazgo::tamano;
}
