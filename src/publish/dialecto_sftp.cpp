// The SFTP dialect: one SSH session per connection, kept between
// operations like the FTP control connection. Files are written straight to
// their path, folders are made, files removed and renamed with quoted
// `mkdir`, `rm` and `rename`, and the server's refusals are shown as its
// status texts ("No such file"). The host key is checked against the
// known-hosts file on every new connection (`clave_servidor`), before
// anything of the login is sent. Any byte but NUL travels escaped in the
// URL, so every path the walk hands on can be sent.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <strings.h>

#include "publish/motor.h"

namespace {

// SFTP status texts as OpenSSH's own client words them, by status number.
const char *const textos_sftp[] = {
    "Success",        "End of file",     "No such file",         "Permission denied",
    "Failure",        "Bad message",     "No connection",        "Connection lost",
    "Operation unsupported", "Invalid handle", "No such path",   "File already exists",
    "Write protected", "No media",       "No space on filesystem", "Quota exceeded",
    "Unknown principal", "Lock conflict", "Directory not empty", "Not a directory",
    "Invalid filename", "Link loop",
};
constexpr int n_textos_sftp = static_cast<int>(sizeof textos_sftp / sizeof *textos_sftp);

// The library's words for the same statuses, which it writes after
// "command failed: " when a quoted command is refused.
const char *const textos_libreria[] = {
    "OK", "End of file", "No such file or directory", "Permission denied", "Operation failed",
    "Bad message from SFTP server", "Not connected to SFTP server", "Connection to SFTP server lost",
    "Operation not supported by SFTP server", "Invalid handle", "No such file or directory",
    "File already exists", "File is write protected", "No media", "Disk full", "User quota exceeded",
    "Unknown principal", "File lock conflict", "Directory not empty", "Not a directory",
    "Invalid filename", "Link points to itself",
};

constexpr int sin_archivo = 2;   // SSH_FX_NO_SUCH_FILE
constexpr int sin_permiso = 3;   // SSH_FX_PERMISSION_DENIED

// The SFTP status of the refusal in the library's error text: "... (N/-31)"
// after an upload, "CMD command failed: TEXT" after a quoted command. -1
// when the text holds none.
int estado_en(const std::string &error)
{
    const size_t fin = error.rfind("/-31)");
    const size_t abre = error.rfind('(', fin);
    if (fin != std::string::npos && abre != std::string::npos && fin > abre + 1) {
        int n = 0;
        for (size_t i = abre + 1; i < fin; ++i) {
            if (error[i] < '0' || error[i] > '9' || n > 1000)
                return -1;
            n = n * 10 + (error[i] - '0');
        }
        return n;
    }
    const std::string marca = " command failed: ";
    const size_t m = error.find(marca);
    if (m == std::string::npos)
        return -1;
    const std::string texto = error.substr(m + marca.size());
    for (int i = 0; i < n_textos_sftp; ++i)
        if (texto == textos_libreria[i])
            return i;
    return -1;
}

// "SHA256:" and the unpadded base64 of the SHA-256 of a host key, as
// ssh-keygen -l shows it.
std::string huella_clave(const curl_khkey *k)
{
    std::string blob;
    if (k->len) {
        blob.assign(k->key, k->len);
    } else {
        // Base64 text instead of the raw key.
        const std::string b64 = k->key;
        std::string raw(b64.size(), '\0');
        int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw.data()),
                                reinterpret_cast<const unsigned char *>(b64.data()), static_cast<int>(b64.size()));
        if (n < 0)
            return "?";
        // The decoder counts the padding as zero bytes.
        size_t largo = static_cast<size_t>(n);
        for (size_t i = b64.size(); i > 0 && b64[i - 1] == '=' && largo > 0; --i)
            --largo;
        raw.resize(largo);
        blob = raw;
    }
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(blob.data(), blob.size(), d, &len, EVP_sha256(), nullptr) != 1)
        return "?";
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), d, static_cast<int>(len));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    return "SHA256:" + out;
}

const char *tipo_clave(const curl_khkey *k)
{
    switch (k->keytype) {
    case CURLKHTYPE_RSA1:
    case CURLKHTYPE_RSA:
        return "RSA";
    case CURLKHTYPE_DSS:
        return "DSA";
    case CURLKHTYPE_ECDSA:
        return "ECDSA";
    case CURLKHTYPE_ED25519:
        return "ED25519";
    default:
        return "";
    }
}

// Called by the library on each new SSH connection, before the login, with
// how the server's host key compares with the known-hosts file. Only a
// match goes on; otherwise the reason is kept for the failure line and no
// part of the login is sent.
int clave_servidor(CURL *, const curl_khkey *, const curl_khkey *hallada, enum curl_khmatch m, void *u)
{
    sesion *s = static_cast<sesion *>(u);
    if (m == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    const ajustes &a = *s->config;
    const std::string servidor = anfitrion(a) + ":" + a.ftpport;
    const std::string clave = std::string(tipo_clave(hallada)) + " " + huella_clave(hallada);
    if (m == CURLKHMATCH_MISMATCH)
        s->en_curso.rechazo_clave = "La clave del servidor " + servidor + " ha cambiado: presenta " + clave +
                              ", que no es la que guarda " + a.sshknownhosts +
                              "; si el cambio es legitimo, quite la linea vieja de ese archivo y agregue la nueva";
    else
        s->en_curso.rechazo_clave = "El servidor " + servidor + " no esta en " + a.sshknownhosts + " (su clave es " +
                              clave + "); si es el suyo, agreguelo con: ssh-keyscan -p " + a.ftpport + " " +
                              a.ftpserver + " >> " + a.sshknownhosts;
    return CURLKHSTAT_REJECT;
}

// The path in a quoted command: raw bytes between double quotes, with the
// quote and the backslash escaped.
std::string entre_comillas(const std::string &path)
{
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A remoteroot that is empty or does not start with "/" is taken from the
// login folder: the path as the server sees it, relative then.
std::string ruta_sftp(const sesion *s, const std::string &path)
{
    const std::string &raiz = s->config->remoteroot;
    if (!raiz.empty() && raiz[0] == '/')
        return path;
    size_t i = 0;
    while (i < path.size() && path[i] == '/')
        ++i;
    return path.substr(i);
}

class sftp final : public dialecto {
public:
    std::string base(const sesion *s) const override { return "sftp://" + anfitrion(*s->config) + "/"; }

    // The URL's path is taken as written, and "/~/" as the login folder.
    std::string url(const sesion *s, const std::string &remota) const override
    {
        const std::string path = ruta_sftp(s, remota);
        if (!path.empty() && path[0] == '/')
            return base(s) + escapada(s, path, 1);
        return base(s) + "~/" + escapada(s, path, 0);
    }

    // A path ending in "/" without NOBODY would list it.
    std::string url_ordenes(const sesion *s) const override { return base(s); }

    quizas_linea comprueba(const ajustes &a) const override
    {
        if (!a.sshkeyfile.empty()) {
            if (quizas_linea por = ilegible(a.sshkeyfile.c_str()))
                return "Imposible leer sshkeyfile '" + a.sshkeyfile + "': " + *por + "\n";
        }
        // The default file may be missing: then no host is known yet, and
        // the first connection says how to add the server.
        struct stat st;
        if (!a.knownhosts_explicito && stat(a.sshknownhosts.c_str(), &st) != 0 && errno == ENOENT)
            return std::nullopt;
        if (quizas_linea por = ilegible(a.sshknownhosts.c_str()))
            return "Imposible leer sshknownhosts '" + a.sshknownhosts + "': " + *por + "\n";
        return std::nullopt;
    }

    void prepara(sesion *s) const override
    {
        CURL *e = s->easy;
        const ajustes &a = *s->config;
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "sftp");
        // The stall is cut by the engine before the library's own check.
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, a.plazo + 5);
        // The library waits for the answers that end an SFTP request (the
        // file's close, the commands after it) inside curl_multi_perform,
        // polling the socket with the time left of the whole operation as
        // the limit, a second at most. With no limit set that time is 0, and
        // the wait spins: some 200 polls and failed reads a file at a 20 ms
        // round trip, a core's worth of CPU with 8 connections. A limit no
        // upload reaches (the most the option takes, about 24 days) makes
        // it sleep on the socket instead; stalls are still cut by plazo.
        curl_easy_setopt(e, CURLOPT_TIMEOUT, static_cast<long>(INT_MAX / 1000));
        curl_easy_setopt(e, CURLOPT_SSH_KNOWNHOSTS, a.sshknownhosts.c_str());
        curl_easy_setopt(e, CURLOPT_SSH_KEYFUNCTION, clave_servidor);
        curl_easy_setopt(e, CURLOPT_SSH_KEYDATA, s);
        if (a.sshkeyfile.empty()) {
            curl_easy_setopt(e, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
        } else {
            // ftppass is the key's passphrase; a key without one ignores it.
            curl_easy_setopt(e, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
            curl_easy_setopt(e, CURLOPT_SSH_PRIVATE_KEYFILE, a.sshkeyfile.c_str());
            curl_easy_setopt(e, CURLOPT_KEYPASSWD, a.ftppass.c_str());
        }
    }

    desenlace abre(sesion *s) const override
    {
        if (!s->config->puerto_ftp) {
            desenlace d = sin_enviar("Puerto FTP no valido: " + s->config->ftpport);
            d.paso = apertura::conexion;
            return d;
        }
        // A new SSH session: connect, check the host key, log in.
        nuevo_multi(s);
        curl_easy_setopt(s->easy, CURLOPT_URL, base(s).c_str());
        curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
        desenlace d = ejecuta(s);
        if (!d.ok)
            d.paso = s->en_curso.resultado == CURLE_LOGIN_DENIED ? apertura::login : apertura::conexion;
        return d;
    }

    quizas_linea ruta_rechazada(const std::string &) const override { return std::nullopt; }

    desenlace sube(sesion *s, const std::string &local, const std::string &remota, std::string *h) const override
    {
        return s->config->atomico ? por_temporal(s, local, remota, h) : transfiere(s, local, remota, h);
    }

    desenlace lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out) const override
    {
        std::string direccion = url(s, carpeta);
        if (direccion.back() != '/')
            direccion += '/';
        desenlace d = trae(s, direccion, nullptr);
        if (d.ok && (d.codigo >= 400 || strcasestr(d.respuesta.c_str(), "fail"))) {
            d.motivo = d.respuesta;
            d.ok = false;
        }
        if (d.ok)
            out = lee_listado(s->datos, false);
        return d;
    }

    desenlace crea_carpeta(sesion *s, const std::string &path) const override
    {
        return ordenes(s, curl_slist_append(nullptr, ("mkdir " + entre_comillas(ruta_sftp(s, path))).c_str()));
    }

    desenlace borra(sesion *s, const std::string &path) const override
    {
        return ordenes(s, curl_slist_append(nullptr, ("rm " + entre_comillas(ruta_sftp(s, path))).c_str()));
    }

    // "No such file" for a rename is about its source: the copy is gone
    // (the target's folder is the same as the source's). Any other refusal
    // leaves the copy in place.
    desenlace renombra(sesion *s, const std::string &de, const std::string &a) const override
    {
        desenlace d = ordenes(s, curl_slist_append(nullptr, ("rename " + entre_comillas(ruta_sftp(s, de)) + " " +
                                                             entre_comillas(ruta_sftp(s, a)))
                                                                .c_str()));
        if (!d.ok && !d.perdida && !d.detenida)
            d.clase = d.clase == negativa::no_existe ? negativa::sin_temporal : negativa::renombre;
        return d;
    }

    // A refusal with a status keeps the connection; a write cut short, a
    // stall, a lost connection do not, and the library then leaves no text
    // of its own.
    void falla(sesion *s, CURLcode res, desenlace &d) const override
    {
        long os = 0;
        curl_easy_getinfo(s->easy, CURLINFO_OS_ERRNO, &os);
        d.perdida = true;
        int estado = s->en_curso.estancada ? -1 : estado_en(s->error);
        // A folder that cannot be opened for listing leaves only the code.
        if (estado < 0 && res == CURLE_REMOTE_FILE_NOT_FOUND)
            estado = sin_archivo;
        else if (estado < 0 && res == CURLE_REMOTE_ACCESS_DENIED)
            estado = sin_permiso;
        if (!s->en_curso.rechazo_clave.empty()) {
            d.motivo = s->en_curso.rechazo_clave;
        } else if (res == CURLE_ABORTED_BY_CALLBACK && s->en_curso.error_lectura) {
            d.motivo = strerror(s->en_curso.error_lectura);
            d.perdida = false;
        } else if (estado > 0) {
            d.clase = clasifica(estado);
            d.motivo = std::string(estado < n_textos_sftp ? textos_sftp[estado] : "Unknown status") + "\n";
            d.perdida = false;
        } else if (s->en_curso.estancada || res == CURLE_OPERATION_TIMEDOUT) {
            d.motivo = "El servidor no respondio en " + std::to_string(s->config->plazo) + " s";
        } else if (res == CURLE_LOGIN_DENIED) {
            d.motivo = "El servidor SSH no acepta el usuario con esa clave o llave";
        } else if (os) {
            d.motivo = strerror(static_cast<int>(os));
        } else if (s->error[0]) {
            d.motivo = s->error;
        } else if (res == CURLE_SSH || res == CURLE_SEND_ERROR || res == CURLE_RECV_ERROR) {
            d.motivo = "La conexion SSH se corto durante la operacion";
        } else {
            d.motivo = curl_easy_strerror(res);
        }
        // The connection cannot be trusted after a stall: the next operation
        // logs in again over a new one.
        if (s->en_curso.estancada)
            nuevo_multi(s);
    }

    negativa clasifica(int estado) const override
    {
        return estado == sin_archivo ? negativa::no_existe : negativa::ninguno;
    }

    bool corta_estancada() const override { return true; }
    // An SSH session has one socket, which the library watches itself.
    bool vigila_control() const override { return false; }
};

}  // namespace

const dialecto &dialecto_sftp()
{
    static const sftp uno;
    return uno;
}
