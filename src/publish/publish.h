// Publishing: the update run, uploads and remote directories.
#pragma once

#include <string>
#include <vector>

#include "publish/ftp.h"
#include "tree/walk.h"

// The update run: connect, log in, walk from "/", quit.
void actualiza();
// The start of the update run and the prune: the banner, the connection and
// the login of buf, with their lines; a failure ends the process with -1.
void abre_conexion();
void escanea(const std::string &ruta);

// The dry run: lists what the update run would upload, without FTP.
void simula();

// Uploads one file; 1 when it was stored, 0 otherwise. On an upload thread
// with devolver_si_cae set, `devuelto` when the connection was lost and could
// not be opened again: nothing was written and another connection should
// take the file. With h, a stored file leaves in *h the SHA-256 of the bytes
// the server confirmed.
int sube(const std::string &ruta, const std::string &nombre, huella *h = nullptr);
enum { devuelto = -2 };
extern constinit thread_local bool devolver_si_cae;

// A catalogue row whose local file is gone.
struct desaparecido {
    std::string ruta, nombre;
};

// The rows whose local file is surely gone, ordered by Ruta and Nombre. A
// file counts as gone only when the nearest directory above it that exists
// locally was read whole and lacks the next part of its path; rows of
// excluded entries and of names the catalogue cannot hold never count.
// False, with the reason in motivo, when the local root cannot be read
// whole or is empty: then nothing counts as gone.
bool desaparecidos(std::vector<desaparecido> &out, std::string &motivo);

// The prune (-p): deletes from the server every file that desaparecidos
// finds, then its row.
void poda();

// Creates a remote directory and its missing ancestors; nonzero on success.
// The text is cut and restored during the work.
int hazdir(char *path);

// SIGINT handler: ends the process at once with status 130, using only what
// is safe in a handler. No row ever stands for a file that was not stored;
// rows of the last second may be missing, and their files are simply
// uploaded again by the next run.
void sigproc(int);

// Text of the server's last reply on this thread's connection, or why there
// is none.
std::string ultima_respuesta();

// Drops this thread's connection and logs in again; false on failure, with
// the reason kept for ultima_respuesta().
bool reconecta();

// "ftpserver:ftpport", as the run names the server it connects to.
std::string direccion();

// Writes text of the update run: to standard output in order with the
// catalogue's rows, or, on an upload thread, into the lines of the file
// being uploaded, which the run writes when that file's turn comes.
void escribe(const std::string &texto);

// Where escribe puts text on this thread; none writes to standard output.
extern constinit thread_local std::string *captura;

// Whether a 425 (no data connection) is retried silently: on, when several
// connections share the server's passive ports.
extern bool reintenta_425;
