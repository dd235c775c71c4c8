// The check of a verifying run (-v): the files whose row says the server
// holds them are looked for in their remote folder's listing, and a file
// missing there, or there with another size, goes again. The folders are
// listed ahead of the decisions, as the look-ahead answers their files'
// rows, over the run's connections.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "publish/publish.h"

class reparto;

enum class hallazgo {
    presente,    // there, with the local file's size (or one the listing does not give)
    falta,       // not there, or its folder is not there
    tamano,      // there with another size
    sin_listar,  // its folder could not be listed: decided as in a plain run
    detenida,    // not listed: the run may no longer touch the server
};

class verificacion {
public:
    // Listings run on pool's threads when there is a pool, otherwise on
    // propia when they are needed.
    verificacion(const ajustes &a, conexion &propia, reparto *pool);

    // A file of the relative folder ruta will be checked: its folder's
    // listing is started now, unless it is under way.
    void pide(const std::string &ruta);

    // What the server holds for the file; waits for its folder's listing.
    // The first time a folder turns out not to be listable, *linea gets the
    // line that says so.
    hallazgo examina(const std::string &ruta, const archivo &a, std::string *linea);

    // A file pide announced has been decided: a folder whose files are all
    // decided lets its listing go.
    void suelta(const std::string &ruta);

private:
    enum class carpeta { listada, falta, ilegible, detenida };
    struct nodo {
        std::shared_ptr<listado_remoto> l;
        int usos = 0;
        bool resuelta = false;
        carpeta c = carpeta::listada;
        bool avisada = false;
    };
    nodo &busca(const std::string &remota);
    carpeta resuelve(const std::string &remota);
    std::string remota(const std::string &ruta) const;

    const ajustes &a_;
    conexion &propia_;
    reparto *pool_;
    std::unordered_map<std::string, nodo> nodos_;
    std::deque<std::string> soltadas_;  // folders let go, oldest first
};
