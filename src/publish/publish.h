// Publishing: the update run, the dry run and the prune, the upload of one
// file with its remote directories, over the sessions of publish/sesion.h.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue.h"
#include "config/ajustes.h"
#include "publish/sesion.h"
#include "publish/salida.h"
#include "tree/walk.h"

// What every mode that touches the server works on.
struct trabajo {
    const ::ajustes &ajustes;
    const ::arbol &arbol;
    ::catalogo &catalogo;
    bool verifica = false;  // -v: the server's folders are listed and checked too
    // Set by the driver, which holds the run lock: when the lock's lease no
    // longer holds, writes what is held and the line that says so and ends
    // the run at once. Empty for the runs without a lock.
    std::function<void()> vigila_bloqueo;
    // Set with it: whether the run may still touch the server, false for
    // good once the lease failed (the sessions ask it between their steps,
    // on any thread). Empty: always.
    std::function<bool()> bloqueo_vigente = {};

    // Before each file, upload, delete and row.
    void comprueba_bloqueo() const
    {
        if (vigila_bloqueo)
            vigila_bloqueo();
    }
};

// The update run: connect, log in, walk from "/", quit. Nothing when it
// reached its end, or the status the run ends with now.
[[nodiscard]] quizas_estado actualiza(trabajo &w, salida &o);

// The dry run: lists what the update run would upload, without FTP.
[[nodiscard]] quizas_estado simula(trabajo &w, salida &o);

// The prune (-p): deletes from the server every file that desaparecidos
// finds, then its row.
[[nodiscard]] quizas_estado poda(trabajo &w, salida &o);

// The start of the update run and the prune: the banner, the connection and
// the login into s, with their lines, and the interrupt armed once
// connected. A failure, its lines written, ends the run with
// estado::configuracion. The run's connections share what w says of its
// lock, and a mark for their temporary copies.
[[nodiscard]] quizas_estado abre_conexion(const trabajo &w, salida &o, sesion *&s);

// Remote directories made during the run, shared by every connection: one
// climb at a time, and the directories made so far with the turn in which
// each was made, so that an upload refused for a directory that another
// connection made in the meantime is simply sent again.
//
// A folder the server would not make is kept too: files below it are not
// climbed for again, so it is reported once. When that folder is the remote
// root (or above it) and the root cannot be listed either, nothing can be
// published: raiz_imposible tells the run to stop.
struct directorios {
    std::mutex mu;
    std::map<std::string, unsigned long> hechos;
    unsigned long turno = 0;
    std::set<std::string> fallidas;
    bool raiz_imposible = false;
};

// One logged-in connection that uploads, and its state.
struct conexion {
    const ::ajustes &ajustes;
    const ::arbol &arbol;
    directorios &dirs;
    ::sesion *sesion = nullptr;
    bool sin_conexion = false;    // lost, and could not be opened again
    std::string motivo_caida = {};  // why, when sin_conexion
    bool reintenta_425 = false;   // several connections share the passive ports: wait a 425 out
    bool devolver_si_cae = false; // hand the file back when lost and not let in again
};

// How an upload ended.
enum class subida {
    guardada,  // the server confirmed the whole file
    fallida,   // not stored: the failure lines were appended
    devuelta,  // with c.devolver_si_cae, the connection was lost and could not be
               // opened again: nothing was written, another connection should take it
    detenida,  // the run may no longer touch the server: nothing was written, nothing more sent
};

// Uploads one file over c. With h, a stored file leaves in *h the SHA-256
// of the bytes the server confirmed.
subida sube(conexion &c, const std::string &ruta, const std::string &nombre, std::string &lineas,
            huella *h = nullptr);

// Creates a remote directory and its missing ancestors; true on success,
// otherwise ultimo holds the outcome of the last operation and fallida the
// directory it failed to make. The text is cut and restored during the
// work; the one line it may write goes to lineas.
bool hazdir(conexion &c, char *path, std::string &lineas, desenlace &ultimo, std::string &fallida);

// Whether the run found that the remote root cannot be made.
bool raiz_imposible(directorios &d);

// A remote folder's listing, asked for ahead of the decisions that need it.
struct listado_remoto {
    std::string carpeta;  // the remote folder
    bool hecho = false;   // the listing is over (guarded by whoever runs it)
    bool ok = false;
    bool perdida = false;  // failed because the connection was lost for good
    bool detenida = false; // not listed: the run may no longer touch the server
    std::string motivo;   // why it could not be listed
    std::unordered_map<std::string, entrada_remota> entradas;  // by name
};

// Lists l.carpeta over c, logging in again once if the connection was lost.
void lista_carpeta(conexion &c, listado_remoto &l);

// Drops c's session and logs in again; false on failure, with the reason
// kept in c.motivo_caida.
bool reconecta(conexion &c);

// "ftpserver:ftpport", as the run names the server it connects to.
std::string direccion(const ajustes &a);

// A catalogue row whose local file is gone.
using desaparecido = publicado;

// The rows whose local file is surely gone, ordered by Ruta and Nombre. A
// file counts as gone only when the nearest directory above it that exists
// locally was read whole and lacks the next part of its path; rows of
// excluded entries and of names the catalogue cannot hold never count.
// When the local root cannot be read whole or is empty nothing counts as
// gone, and *sin_evidencia says why.
[[nodiscard]] quizas_fallo desaparecidos(trabajo &w, std::vector<desaparecido> &out,
                                         std::optional<std::string> &sin_evidencia);
