// Publishing: the update run, uploads and remote directories.
#pragma once

#include <ftplib.h>
#include <string>

extern netbuf *buf;

// The update run: connect, log in, walk from "/", quit.
void actualiza();
void escanea(const std::string &ruta);

// The dry run: lists what the update run would upload, without FTP.
void simula();

// Uploads one file; 1 when it was stored, 0 otherwise.
int sube(const std::string &ruta, const std::string &nombre);

// Creates a remote directory and its missing ancestors; nonzero on success.
// The text is cut and restored during the work.
int hazdir(char *path);

// SIGINT handler: ends the process at once with status 130, using only what
// is safe in a handler. No row ever stands for a file that was not stored;
// rows of the last second may be missing, and their files are simply
// uploaded again by the next run.
void sigproc(int);

// Text of the server's last reply, or why there is none.
std::string ultima_respuesta();
