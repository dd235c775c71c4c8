// Uploads on several connections at once, reported in walk order.
//
// The main thread walks, looks files up and decides, as with one connection;
// each file to upload is handed to the first free connection, each on its
// own thread. A file's lines are written, and its row sent, by the main
// thread when every file before it has been written: the output and the
// catalogue are those of a run with one connection.
#pragma once

#include <string>

#include "catalogue/catalogue.h"

// A file handed over for upload.
struct encargo {
    std::string ruta, nombre;
    sello s{};           // the stamp its row gets once it is stored
    bool nuevo = false;  // writes the "NUEVO ARCHIVO" line first; inserts its row
    // Filled by the upload thread.
    bool hecho = false;
    int subido = 0;
    std::string lineas;  // what the upload wrote
    huella h;            // content mode: digest of the bytes sent
    bool anunciado = false;
};

// Starts n upload threads; the first takes over this thread's logged-in
// connection, the others open their own.
void reparto_inicia(int n);

// True once reparto_inicia has run.
bool reparto_activo();

// Hands a file over. Writes the files that finished meanwhile, in order,
// and waits while too many files are under way.
void reparto_encola(encargo e);

// Waits for every file handed over and writes them all.
void reparto_vacia();

// Waits for everything, then stops the threads; each connection quits.
void reparto_termina();

// What the run writes for a file once its upload is over: the upload's own
// lines, the outcome line and, when stored, its row (with the digest h of the
// bytes sent in content mode). Defined by the update run.
void concluye(const std::string &ruta, const std::string &nombre, const sello &s, bool nuevo, int subido,
              const std::string &lineas, const huella &h);
