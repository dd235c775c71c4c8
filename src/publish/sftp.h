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
#include "publish/sesion.h"

struct carril;

// Files in flight on one SSH connection: the SFTP channels opened on it.
// OpenSSH lets a connection have 10 sessions (MaxSessions); a server that
// allows fewer refuses the channels beyond its limit, and those lanes stay
// unused. A small file costs two round trips (its open; its write and
// close together), so a far server takes files about 8 times as fast as
// over one channel.
inline constexpr int ventana_sftp = 8;

// Lanes of a whole run, over all its connections: each holds a thread and
// its file's bytes in flight (some 35 KB); past some 40 files in flight a
// far publish is bound by the bytes and the CPU rather than the round
// trips. With many connections each gets fewer lanes.
inline constexpr int carriles_por_corrida = 40;

// Prepares the library; called once before any connection exists.
void sftp_inicia();

// A lane of a new connection, not yet opened. The settings and what the
// run's connections share must outlive it.
carril *sftp_nuevo(const ajustes &a, const tramite *comun);
// Another lane of c's connection, not yet opened.
carril *sftp_otro(carril *c, const tramite *comun);

// Opens the lane: over the connection its lanes share while it works,
// otherwise over a new one (connect, check the host key against the
// known-hosts file before anything of the login is sent, log in).
desenlace sftp_abre(carril *c);

// Writes the local file straight to its remote path; with h, the SHA-256
// of the bytes read and sent goes there once the server confirmed them.
desenlace sftp_envia(carril *c, const std::string &local, const std::string &remota, std::string *h);
desenlace sftp_lista(carril *c, const std::string &carpeta, std::vector<entrada_remota> &out);
desenlace sftp_mkdir(carril *c, const std::string &path);
desenlace sftp_borra(carril *c, const std::string &path);
desenlace sftp_renombra(carril *c, const std::string &de, const std::string &a);

// Lets the lane go; the last lane of a connection says goodbye.
void sftp_cierra(carril *c);
