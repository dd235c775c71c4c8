// One connection to the server: connect and log in, store a file, make a
// directory, the server's last reply, quit. Over FTP or FTPS it is a control
// connection; with protocol = "sftp" a lane of an SSH connection whose host
// key is checked against the known-hosts file (publish/sftp.h). The only
// part of the program that knows which library is used, and the one place
// where the two transports differ.
#pragma once

#include <string>
#include <vector>

#include "config/ajustes.h"
#include "publish/listado.h"

struct sesion;

// Prepares the library; called once before any connection exists.
void ftp_inicia();

// Checks, before anything is contacted, that TLS can trust someone: the
// file ftpcafile names, or else the system's certificate bundle; over SFTP,
// that the key file and a known-hosts file named in the settings can be
// read. Returns the line to write when not, or an empty text.
std::string ftp_comprueba(const ajustes &a);

// A new connection to the server the settings name, not yet opened. The
// settings must outlive it.
sesion *ftp_nueva(const ajustes &a);

enum class apertura { ok, conexion, login };

// Connects and logs in (TLS first when ftptls asks for it). On failure
// says which step failed; ftp_respuesta tells why.
apertura ftp_abre(sesion *s);

// Stores the local file at the remote path in binary mode. True when the
// server confirmed the whole file; then, with h, *h holds the SHA-256 (32
// bytes) of exactly the bytes that were read and sent.
//
// With atomic = "yes" the file is stored under its temporary name (see
// nombre_temporal) in the same folder and renamed once the server has
// confirmed it, so that the final name never shows a part of it. Where the
// server will not rename over an existing file, that file is deleted and
// the rename tried again. A failed upload or rename removes the temporary
// copy when the connection allows it.
bool ftp_put(sesion *s, const std::string &local, const std::string &remota, std::string *h = nullptr);

// Lists a remote folder: MLSD where the server takes it, LIST otherwise;
// over SFTP, its directory entries. False when it cannot be listed, with
// the reason in ftp_respuesta.
bool ftp_lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out);

// Makes a remote directory; true only when the server answered 257 (over
// SFTP, when the mkdir succeeded).
bool ftp_mkdir(sesion *s, const std::string &path);

// Deletes a remote file; true only when the server answered 250 (over SFTP,
// when the rm succeeded). ftp_no_existe tells a file already gone.
bool ftp_borra(sesion *s, const std::string &path);

// The server's last reply line, ending in a line feed, or the reason the
// last operation failed when the server gave none.
std::string ftp_respuesta(const sesion *s);

// Reply code of the last operation (0 when the server gave none; always 0
// over SFTP).
int ftp_codigo(const sesion *s);

// The last upload or folder creation was refused because the folder above
// it is missing (FTP's 550 or 553, SFTP's "No such file"); never after a
// refused rename.
bool ftp_falta_carpeta(const sesion *s);

// The last deletion was refused because the file is not there (FTP's 550,
// SFTP's "No such file").
bool ftp_no_existe(const sesion *s);

// The last operation failed because the control connection is gone (no
// answer, a closed or reset connection, or the server's 421).
bool ftp_perdida(const sesion *s);

// Sends QUIT if the connection is open and releases everything.
void ftp_cierra(sesion *s);

// Files a connection carries at once: over SFTP, lanes of one SSH
// connection (see publish/sftp.h); 1 over FTP.
int ftp_carriles(const ajustes &a);

// Another lane of s's connection, not yet opened (ftp_abre attaches it to
// the connection, or connects anew when the connection is gone); nullptr
// over FTP.
sesion *ftp_otro_carril(sesion *s);
