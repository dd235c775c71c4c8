// SFTP over libssh2, with several files in flight on one SSH connection.
//
// A connection is one SSH session; each `carril` (lane) is an SFTP channel
// of its own on it, used by one thread at a time with blocking calls, so
// that the upload logic above is the same as over FTP. The lanes of a
// connection share its session: libssh2 runs non-blocking under the
// connection's lock, one lane at a time waits on the socket for all of
// them, and whichever lane reads what arrives wakes the others. With as
// many lanes as the window, that many files are open and written at once.
#pragma once

#include <string>
#include <vector>

#include "config/ajustes.h"
#include "publish/listado.h"

struct carril;

enum class apertura;

// Files in flight on one SSH connection: the SFTP channels opened on it.
// OpenSSH lets a connection have 10 sessions (MaxSessions); a server that
// allows fewer refuses the channels beyond its limit, and those lanes stay
// unused.
inline constexpr int ventana_sftp = 8;

// Prepares the library; called once before any connection exists.
void sftp_inicia();

// Checks the key file and a known-hosts file named in the settings can be
// read; the line to write when not, or an empty text.
std::string sftp_comprueba(const ajustes &a);

// A lane of a new connection, not yet opened. The settings must outlive it.
carril *sftp_nuevo(const ajustes &a);
// Another lane of c's connection, not yet opened.
carril *sftp_otro(carril *c);

// Opens the lane: over the connection its lanes share while it works,
// otherwise over a new one (connect, check the host key against the
// known-hosts file before anything of the login is sent, log in).
apertura sftp_abre(carril *c);

// As ftp_put, ftp_lista, ftp_mkdir, ftp_borra (see ftp.h).
bool sftp_put(carril *c, const std::string &local, const std::string &remota, std::string *h);
bool sftp_lista(carril *c, const std::string &carpeta, std::vector<entrada_remota> &out);
bool sftp_mkdir(carril *c, const std::string &path);
bool sftp_borra(carril *c, const std::string &path);

// Why the last operation failed: the SFTP status text ("No such file"),
// ending in a line feed, or the reason when the server gave none.
std::string sftp_respuesta(const carril *c);
bool sftp_falta_carpeta(const carril *c);
bool sftp_no_existe(const carril *c);
bool sftp_perdida(const carril *c);

// Closes the lane's channel; the last lane of a connection says goodbye.
void sftp_cierra(carril *c);
