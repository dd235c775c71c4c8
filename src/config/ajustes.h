// The settings of a run, read once from the configuration list and checked,
// so that every later use reads a typed field instead of a key.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"

// The table that holds the run locks' leases, beside the catalogues: no
// catalogue may take its name.
inline constexpr const char *tabla_bloqueo = "vantor_bloqueo";

enum class modo_tls { no, explicito, implicito };

struct ajustes {
    // The twelve required keys, as written.
    std::string localroot, remoteroot;
    std::string ftpserver, ftpport, ftpuser, ftppass;
    std::string dbserver, dbport, dbname, dbtablename, dbuser, dbpass;
    // catalogue: the catalogue in this file instead of on a server, its path
    // made absolute; empty without the key.
    std::string archivo_catalogo;

    // Optional keys, parsed; the defaults are the behaviour without them.
    bool sftp = false;             // protocol = "sftp": the ftp* keys name an SSH server
    modo_tls tls = modo_tls::no;   // ftptls
    std::string cafile;            // ftpcafile; empty: the system's authorities
    int conexiones = 1;            // ftpconnections, 1 to 16
    bool contenido = false;        // compare = "content"
    bool atomico = false;          // atomic = "yes": each file under a temporary name, then renamed
    bool hay_exclusiones = false;  // excludefile is set
    std::string excludefile;       // the file of patterns it names
    std::string sshkeyfile;        // private key to log in with; empty: password login
    std::string sshknownhosts;     // host keys trusted; the user's ~/.ssh/known_hosts by default
    bool knownhosts_explicito = false;  // sshknownhosts was given

    // Derived values.
    unsigned int puerto_db = 0;  // dbport read as C's atoi reads it, saturated
    long puerto_ftp = 0;         // ftpport as a port number, 0 when it is not one
    long plazo = 120;            // seconds without progress before an FTP operation fails
};

// The table a catalogue file holds when dbtablename is not given.
inline constexpr const char *tabla_por_omision = "site";

// Why the settings cannot be used: the lines to write on standard output.
struct rechazo {
    std::vector<std::string> lineas;
};

using quizas_rechazo = std::optional<rechazo>;

// Fills a from the list. When the run cannot go on, the lines that say why:
// one per missing required key, in the order they are checked (then
// nothing else is looked at), or one per optional key with a bad value.
// With the key catalogue the keys of the database server are not required,
// and one line names each of them that is there all the same. A relative
// catalogue path is taken from carpeta, the configuration file's folder;
// one that starts with "~/" from the user's home folder.
[[nodiscard]] quizas_rechazo lee_ajustes(const s_vars *list, ajustes &a, const std::string &carpeta = ".");

// Warnings for standard error about files holding secrets that other users
// can read, as OpenSSH's client gives them for keys: the configuration file
// at ruta when it holds a password itself (list is its entries), and the
// key of sshkeyfile. Only files that belong to the user running vantor are
// looked at, since only their owner can make them private.
std::vector<std::string> avisos_permisos(const char *ruta, const s_vars *list, const ajustes &a);
