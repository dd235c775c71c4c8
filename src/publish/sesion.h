// One connection to the server: connect and log in, store a file, make a
// folder, delete, list, quit. Over FTP or FTPS it is a control connection;
// with protocol = "sftp" a lane of an SSH session whose host key is checked
// against the known-hosts file. Every operation returns its outcome as a
// value.
//
// Only the engine (motor.cpp) and the two dialects (dialecto_ftp.cpp,
// dialecto_sftp.cpp) include curl.h; they share publish/motor.h. The SFTP
// dialect speaks through publish/sftp.h (libssh2) instead of the engine's
// handle. Nothing that includes this header asks which protocol it talks.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/ajustes.h"
#include "publish/listado.h"

struct sesion;

enum class apertura { ok, conexion, login };

// How the server refused an operation, as far as the callers act on it.
enum class negativa {
    ninguno,             // no refusal, or one that means nothing more
    no_existe,           // the path, or the folder above it, is not there (FTP 550, SFTP "No such file")
    nombre_no_admitido,  // the server will not take the name there (FTP 553)
    renombre,            // the file was stored whole, and its rename was refused
    sin_temporal,        // the rename found no temporary copy to rename
};

// The outcome of one operation.
struct [[nodiscard]] desenlace {
    bool ok = false;
    std::string respuesta;  // the server's last reply line, LF-ended; empty without one
    std::string motivo;     // why it failed, when not the reply itself
    int codigo = 0;         // code of respuesta, 0 without one (always 0 over SFTP)
    bool perdida = false;   // the connection is gone (no answer, closed, reset, 421)
    negativa clase = negativa::ninguno;
    apertura paso = apertura::ok;  // ftp_abre: the step that failed
    bool detenida = false;  // not sent, or cut short: the run may no longer touch the server
    std::string pista;      // ftp_abre: a line naming the likely cause and its fix; empty without one

    // The reason to show: motivo, or else the reply, or a fixed text.
    std::string texto() const;
    // An upload or a folder was refused because the folder above is missing.
    bool falta_carpeta() const { return clase == negativa::no_existe || clase == negativa::nombre_no_admitido; }
    // A deletion was refused because the file is not there.
    bool no_existe() const { return clase == negativa::no_existe; }
};

// A line to write when something cannot go on, or nothing.
using quizas_linea = std::optional<std::string>;

// Remote folders a run knows to be there: it stored a file in them or made
// them. Over SFTP an upload into any other folder asks for the folder in the
// same round trip as it opens the file.
struct carpetas_sabidas {
    std::mutex mu;
    std::condition_variable cv;  // a folder asked for has been answered
    std::unordered_set<std::string> rutas;
    std::unordered_map<std::string, int> pedidas;  // folders asked for, by how many uploads
};

// What the connections of one run share: the mark that makes its temporary
// copies its own, whether the run may still touch the server (it may not
// once it has lost its run lock; empty: always), and the folders it knows.
struct tramite {
    std::string ficha;
    std::function<bool()> vigente;
    std::shared_ptr<carpetas_sabidas> carpetas = std::make_shared<carpetas_sabidas>();
};

// A random mark for a run's temporary copies: 16 hexadecimal digits.
std::string ficha_al_azar();

// Prepares the library; called once before any connection exists.
void ftp_inicia();

// Checks, before anything is contacted, that TLS can trust someone: the
// file ftpcafile names, or else the system's certificate bundle; over SFTP,
// that the key file and the known-hosts file can be read (one that does not
// exist yet counts as empty). The line to write when not.
[[nodiscard]] quizas_linea ftp_comprueba(const ajustes &a);

// A new connection to the server the settings name, not yet opened. The
// settings must outlive it.
sesion *ftp_nueva(const ajustes &a, tramite t = {});

// What the run's connections share, for another one.
const tramite &ftp_tramite(const sesion *s);

// Whether the run may still touch the server.
bool ftp_vigente(const sesion *s);

// Connects and logs in (TLS first when ftptls asks for it). On failure
// paso says which step failed.
desenlace ftp_abre(sesion *s);

// The line that refuses a remote path this protocol cannot carry, before
// anything is sent; nothing when it can.
[[nodiscard]] quizas_linea ftp_ruta_rechazada(const sesion *s, const std::string &remota);

// Stores the local file at the remote path in binary mode; ok when the
// server confirmed the whole file. Then, with h, *h holds the SHA-256 (32
// bytes) of exactly the bytes that were read and sent.
//
// With atomic = "yes" the file is stored under its temporary name (see
// nombre_temporal) in the same folder and renamed once the server has
// confirmed it, so that the final name never shows a part of it. Where the
// server will not rename over an existing file, that file is deleted and
// the rename tried again, but only when the temporary copy is known to be
// there. A failed upload or rename removes the temporary copy when the
// connection allows it.
desenlace ftp_put(sesion *s, const std::string &local, const std::string &remota, std::string *h = nullptr);

// Lists a remote folder: MLSD where the server takes it, LIST otherwise;
// over SFTP, its directory entries.
desenlace ftp_lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out);

// Makes a remote folder; ok only when the server answered 257 (over SFTP,
// when the mkdir succeeded).
desenlace ftp_mkdir(sesion *s, const std::string &path);

// Deletes a remote file; ok only when the server answered 250 (over SFTP,
// when the rm succeeded). no_existe() tells a file already gone.
desenlace ftp_borra(sesion *s, const std::string &path);

// Sends QUIT if the connection is open and releases everything.
void ftp_cierra(sesion *s);

// Files a connection carries at once: over SFTP, lanes of one SSH
// connection (see publish/sftp.h); 1 over FTP.
int ftp_carriles(const ajustes &a);

// Another lane of s's connection, not yet opened (ftp_abre attaches it to
// the connection, or connects anew when the connection is gone); nullptr
// over FTP.
sesion *ftp_otro_carril(sesion *s);
