// Inside the session: the engine that drives a libcurl multi handle
// (motor.cpp) and the two dialects that speak through it (dialecto_ftp.cpp,
// dialecto_sftp.cpp). With them, this is the only place that includes
// curl.h; the rest of the program sees publish/sesion.h.
#pragma once

#include <curl/curl.h>
#include <openssl/evp.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "publish/sesion.h"

class dialecto;
struct carril;

// What one operation leaves behind while it runs: reset as each begins, and
// read by the engine and the dialect that started it, never after.
struct operacion {
    std::string respuesta;      // last reply line, LF-ended
    int codigo = 0;             // its code, 0 without one
    bool preliminar = false;    // a 1xx reply came: the server took the command
    int error_lectura = 0;      // errno of a failed read of the local file
    bool muda = false;          // no greeting came in time
    bool estancada = false;     // no progress for plazo seconds
    bool detenida = false;      // the run may no longer touch the server
    std::string rechazo_clave;  // why the host key was not accepted
    std::string saludo_ajeno;   // the first line of a server that greeted in another protocol
    CURLcode resultado = CURLE_OK;  // the library's outcome
};

struct sesion {
    const ajustes *config = nullptr;
    const dialecto *habla = nullptr;
    carril *sftp = nullptr;       // SFTP: the lane it is (publish/sftp.h); no curl handle then
    tramite comun;                // shared by the run's connections
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    operacion en_curso;           // the operation under way, or the last one
    bool primera = false;         // the next reply line is the greeting
    bool saludo = false;          // the greeting was positive
    int descriptor = -1;          // the local file being stored
    EVP_MD_CTX *digesto = nullptr;  // digest of the bytes sent, when asked for
    // The control connection's socket, watched besides the library's own
    // sockets (see aguarda_actividad); CURL_SOCKET_BAD when unknown.
    curl_socket_t control = CURL_SOCKET_BAD;
    bool control_desperto = false;  // the last wait ended on it
    bool control_fuera = false;     // not watched again in this operation
    std::set<std::string> carpetas;  // folders known to exist on the server
    std::string datos;              // what the last listing brought
    int forma_lista = 0;            // FTP: 0 MLSD, 1 "LIST -a", 2 LIST: the first the server takes
    std::chrono::steady_clock::time_point avance;  // last sign of progress
};

// What differs between the protocols. One instance of each, without state.
class dialecto {
public:
    virtual ~dialecto() = default;
    // The start of every URL: scheme and host.
    virtual std::string base(const sesion *s) const = 0;
    // The URL of a remote path.
    virtual std::string url(const sesion *s, const std::string &remota) const = 0;
    // The URL quoted commands are sent to, without a transfer.
    virtual std::string url_ordenes(const sesion *s) const = 0;
    // Checks of the settings before anything is contacted.
    virtual quizas_linea comprueba(const ajustes &a) const = 0;
    // The options of a new handle that belong to this protocol.
    virtual void prepara(sesion *s) const = 0;
    virtual desenlace abre(sesion *s) const = 0;
    virtual quizas_linea ruta_rechazada(const std::string &remota) const = 0;
    virtual desenlace sube(sesion *s, const std::string &local, const std::string &remota,
                           std::string *h) const = 0;
    // Writes the local file straight to remota (the engine's transfiere).
    virtual desenlace envia(sesion *s, const std::string &local, const std::string &remota, std::string *h) const;
    virtual desenlace lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out) const = 0;
    virtual desenlace crea_carpeta(sesion *s, const std::string &path) const = 0;
    virtual desenlace borra(sesion *s, const std::string &path) const = 0;
    // Renames de to a; a refusal says whether de was there (negativa::renombre)
    // or is known to be missing (negativa::sin_temporal).
    virtual desenlace renombra(sesion *s, const std::string &de, const std::string &a) const = 0;
    // Fills d for an operation the library ended with res.
    virtual void falla(sesion *s, CURLcode res, desenlace &d) const = 0;
    // After a failed operation that needed a data connection: whatever the
    // protocol needs to keep the connection in step.
    virtual void tras_rechazo(sesion *, desenlace &) const {}
    // The protocol's reply code or status, sorted.
    virtual negativa clasifica(int codigo) const = 0;
    // Whether the engine itself cuts an operation that makes no progress.
    virtual bool corta_estancada() const = 0;
    // Whether the engine watches the control connection besides the library.
    virtual bool vigila_control() const = 0;
    // Releases what the protocol holds besides the engine's handles.
    virtual void cierra(sesion *) const {}
    // Files one connection carries at once, each on a lane of its own.
    virtual int carriles(const ajustes &) const { return 1; }
    // A further lane of the logged-in connection s; nullptr where a
    // connection carries one file at a time.
    virtual sesion *otro_carril(sesion *) const { return nullptr; }
};

const dialecto &dialecto_ftp();
const dialecto &dialecto_sftp();
// The dialect of the protocol the settings name.
const dialecto &dialecto_de(const ajustes &a);

// The engine, for the dialects.

// The options every curl handle of a session takes.
void prepara_curl(sesion *s);

// A fresh multi handle: the next operation opens a new connection.
void nuevo_multi(sesion *s);
// Runs the operation set on the easy handle to its end and sorts out its
// outcome through the dialect.
desenlace ejecuta(sesion *s);
// Stores the local file at remota's URL.
desenlace transfiere(sesion *s, const std::string &local, const std::string &remota, std::string *h);
// Stores the file under its temporary name beside remota, then renames it.
desenlace por_temporal(sesion *s, const std::string &local, const std::string &remota, std::string *h);
// Runs quoted commands on the connection, with no transfer; frees lista.
desenlace ordenes(sesion *s, curl_slist *lista);
// Brings a listing of the URL into s->datos, with the command given (the
// protocol's own when null).
desenlace trae(sesion *s, const std::string &url, const char *orden);
// Seconds a new connection waits for the server's greeting.
long plazo_saludo(const sesion *s);
// A failure found before anything was sent.
desenlace sin_enviar(const std::string &motivo);
// "host", or "[host]" for an IPv6 address.
std::string anfitrion(const ajustes &a);
// The bytes of path from desde on, each part escaped for a URL and the
// slashes kept.
std::string escapada(const sesion *s, const std::string &path, size_t desde);
// Whether the run may still touch the server.
bool vigente(const sesion *s);
// Why a file of certificates or keys cannot be used, or nothing.
quizas_linea ilegible(const char *path);
