// Uploads on several connections (and lanes of a connection) at once,
// handed back in walk order.
//
// The main thread walks, looks files up and decides, as with one
// connection; each file to upload is handed to the first free connection,
// each on its own thread. The files come back to the main thread in the
// order they were handed over, so that their lines and rows are written
// exactly as in a run with one connection.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "publish/publish.h"

// A file handed over for upload.
struct encargo {
    std::string ruta, nombre;
    ::sello sello{};     // the stamp its row gets once it is stored
    bool nuevo = false;  // writes the "NUEVO ARCHIVO" line first; inserts its row
    bool anunciado = false;  // its "NUEVO ARCHIVO" line is written
    std::string motivo;  // why a file the row calls unchanged goes again, as a line
    // Filled by the upload thread.
    bool hecho = false;
    subida subido = subida::fallida;
    std::string lineas;  // what the upload wrote
    huella h;            // content mode: digest of the bytes sent
};

class reparto {
public:
    // Up to n connections, each with up to ftp_carriles lanes, a thread
    // each. The first connection is the logged-in session propia. Another
    // connection, or else another lane, is opened only when a file is
    // handed over while every thread is busy and none is on its way, so a
    // run that uploads little opens few connections and channels.
    reparto(const ajustes &a, const arbol &t, directorios &dirs, sesion *propia, int n);
    // Waits for every file, then stops the threads; each connection quits.
    ~reparto();
    reparto(const reparto &) = delete;
    reparto &operator=(const reparto &) = delete;

    // Hands a file over.
    void encola(encargo e);
    // Files handed over and not yet taken back.
    size_t en_curso();
    // The first file handed over and not yet taken back, or nullptr.
    encargo *primero();
    // Takes the first file back once its upload is over; with aguardar,
    // waits for it. False when there is none, or it is not over and
    // aguardar is false.
    bool saca(encargo &out, bool aguardar);

    // Lists a remote folder into l on the first free connection, before
    // any upload still waiting: the decisions wait for listings.
    void lista(std::shared_ptr<listado_remoto> l);
    // Waits until l's listing is over.
    void espera_listado(const listado_remoto &l);

private:
    using puntero = std::shared_ptr<encargo>;
    // With abierta, propia is a logged-in connection; without, a lane to
    // open (or, when null, a new connection).
    void hilo(sesion *propia, bool abierta);
    // With mu_ held.
    void otro_si_hace_falta();

    const ajustes &a_;
    const arbol &t_;
    directorios &dirs_;
    const tramite comun_;  // what the connections of the run share
    std::mutex mu_;
    std::condition_variable hay_encargo_, hay_hecho_;
    std::deque<puntero> cola_;      // waiting for a connection
    std::deque<std::shared_ptr<listado_remoto>> listas_;  // listings waiting for a connection
    std::deque<puntero> en_orden_;  // handed over and not yet taken back, in walk order
    std::vector<std::thread> hilos_;
    int maximo_;          // connections that may be opened
    int conexiones_ = 0;  // connections opened or being opened
    int vivos_ = 0;       // threads with a connection, or opening one
    int libres_ = 0;      // threads waiting for a file
    int llegando_ = 0;    // threads not yet waiting for their first file
    std::vector<std::deque<sesion *>> reservas_;  // lanes not yet opened, by connection
    bool fin_ = false;
};
