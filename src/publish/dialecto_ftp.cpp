// The FTP and FTPS dialect. Files are stored with `STOR /full/path` (no
// CWD); folders are made with a quoted `MKD` whose refusal keeps the
// connection. Over TLS the first upload into a folder asks for the folder
// first (CWD), and a refused upload is followed by a new connection, so that
// the next file finds the connection in step. Listings use MLSD, or LIST
// where the server does not know it. A line break cannot travel inside a
// command: such paths are refused before anything is sent.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "publish/motor.h"
#include "tree/walk.h"

namespace {

bool error_tls(CURLcode c)
{
    switch (c) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return true;
    default:
        return false;
    }
}

// The connection's TCP part was made (the server accepted it).
bool tcp_conectado(sesion *s)
{
    double t = 0;
    return curl_easy_getinfo(s->easy, CURLINFO_CONNECT_TIME, &t) == CURLE_OK && t > 0;
}

// With implicit TLS, a server that answers the handshake in clear text is
// one that speaks plain FTP first: says so in words.
std::string sin_tls_implicito(const sesion *s)
{
    if (s->config->tls != modo_tls::implicito || !s->primera || !strstr(s->error, "wrong version number"))
        return "";
    return " (el servidor no empieza con TLS; si acepta AUTH TLS, use ftptls = \"explicit\")";
}

bool con_control(const std::string &p)
{
    for (unsigned char c : p)
        if (c < 0x20)
            return true;
    return false;
}

class ftp final : public dialecto {
public:
    std::string base(const sesion *s) const override
    {
        return std::string(s->config->tls == modo_tls::implicito ? "ftps://" : "ftp://") + anfitrion(*s->config) +
               "/";
    }

    // Every byte but "/" escaped, and a leading "/" written %2F so that it
    // stays part of the path sent.
    std::string url(const sesion *s, const std::string &remota) const override
    {
        if (!remota.empty() && remota[0] == '/')
            return base(s) + "%2F" + escapada(s, remota, 1);
        return base(s) + escapada(s, remota, 0);
    }

    std::string url_ordenes(const sesion *s) const override { return base(s) + "%2F"; }

    quizas_linea comprueba(const ajustes &a) const override
    {
        if (a.tls == modo_tls::no)
            return std::nullopt;
        if (!a.cafile.empty()) {
            if (quizas_linea por = ilegible(a.cafile.c_str()))
                return "Imposible leer ftpcafile '" + a.cafile + "': " + *por + "\n";
            return std::nullopt;
        }
        // Without ftpcafile the library trusts the system's bundle, which a
        // minimal system may lack (the package ca-certificates).
        const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
        if (v->age >= CURLVERSION_SEVENTH && v->cainfo && ilegible(v->cainfo))
            return std::string("No hay certificados de autoridades en el sistema (") + v->cainfo +
                   "): instale ca-certificates o indique ftpcafile\n";
        return std::nullopt;
    }

    void prepara(sesion *s) const override
    {
        prepara_curl(s);
        CURL *e = s->easy;
        const ajustes &a = *s->config;
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp,ftps");
        if (a.tls == modo_tls::no)
            return;
        // Control and data protected; the login is never sent in clear.
        curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        curl_easy_setopt(e, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        // TLS 1.2: servers that require the data connections to resume the
        // control connection's session refuse them under TLS 1.3.
        curl_easy_setopt(e, CURLOPT_SSLVERSION,
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
        if (!a.cafile.empty())
            curl_easy_setopt(e, CURLOPT_CAINFO, a.cafile.c_str());
    }

    desenlace abre(sesion *s) const override
    {
        const ajustes &a = *s->config;
        if (a.ftpuser.find_first_of("\r\n") != std::string::npos ||
            a.ftppass.find_first_of("\r\n") != std::string::npos) {
            desenlace d = sin_enviar("Usuario o clave con un salto de linea, que el protocolo FTP no admite");
            d.paso = apertura::login;
            return d;
        }
        if (!a.puerto_ftp) {
            desenlace d = sin_enviar("Puerto FTP no valido: " + a.ftpport);
            d.paso = apertura::conexion;
            return d;
        }
        // A connection of its own, so that the first reply is the greeting.
        nuevo_multi(s);
        s->primera = true;
        s->saludo = false;
        curl_easy_setopt(s->easy, CURLOPT_URL, url_ordenes(s).c_str());
        curl_easy_setopt(s->easy, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(s->easy, CURLOPT_NOBODY, 1L);
        desenlace d = ejecuta(s);
        s->primera = false;
        if (!d.ok)
            d.paso = !s->saludo || error_tls(s->en_curso.resultado) ? apertura::conexion : apertura::login;
        return d;
    }

    // A line break in a path would end the command early and send the rest
    // of the name as a command of its own.
    quizas_linea ruta_rechazada(const std::string &remota) const override
    {
        if (remota.find_first_of("\r\n") != std::string::npos)
            return "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
        return std::nullopt;
    }

    desenlace sube(sesion *s, const std::string &local, const std::string &remota, std::string *h) const override
    {
        // Over TLS a refused STOR costs a new connection (see tras_rechazo):
        // the first upload into a folder not known to exist asks for the
        // folder first, and its 550 is the caller's cue to make it.
        // Only an absolute folder is asked for: CWD moves the current folder,
        // against which relative paths would then be taken.
        const size_t fin = remota.rfind('/');
        const std::string carpeta = fin == std::string::npos || fin == 0 ? "/" : remota.substr(0, fin);
        if (s->config->tls != modo_tls::no && !remota.empty() && remota[0] == '/' && !con_control(carpeta) &&
            !s->carpetas.count(carpeta)) {
            desenlace d = orden(s, "CWD " + carpeta, 250);
            if (!d.ok)
                return d;
            s->carpetas.insert(carpeta);
        }
        if (!con_control(remota))
            return s->config->atomico ? por_temporal(s, local, remota, h) : transfiere(s, local, remota, h);

        // The library takes no control character in the path it stores to:
        // the file is stored under a plain name in the nearest folder of the
        // path that has none, then renamed, so the name appears only once
        // the file is whole.
        size_t corte = 0;
        while (static_cast<unsigned char>(remota[corte]) >= 0x20)
            ++corte;
        size_t barra = remota.rfind('/', corte);
        const std::string temporal =
            (barra == std::string::npos ? std::string() : remota.substr(0, barra + 1)) +
            nombre_temporal("vantor-" + std::to_string(getpid()) + "-" + std::to_string(reinterpret_cast<uintptr_t>(s)),
                            s->comun.ficha);
        desenlace d = transfiere(s, local, temporal, h);
        if (d.ok)
            d = renombra(s, temporal, remota);
        if (d.ok || d.detenida)
            return d;
        d.clase = clasifica(d.codigo);
        if (!d.perdida && d.codigo >= 400 && d.respuesta.rfind("226", 0) != 0) {
            // Stored but not renamed: remove the stored copy, keeping the
            // reply that refused the name.
            (void)ordenes(s, curl_slist_append(nullptr, ("*DELE " + temporal).c_str()));
            d.perdida = false;
        }
        return d;
    }

    desenlace lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out) const override
    {
        std::string direccion = url(s, carpeta);
        if (direccion.back() != '/')
            direccion += '/';
        // MLSD gives sizes in one form and every name as it is. A server that
        // does not know it is asked with "LIST -a", which shows the dot-files
        // that a plain LIST hides on most servers; one that refuses that (it
        // takes the option for a path) with a plain LIST from then on.
        desenlace d;
        const int al_empezar = s->forma_lista;
        for (;;) {
            const char *pide = s->forma_lista == 0 ? "MLSD" : s->forma_lista == 1 ? "LIST -a" : nullptr;
            d = trae(s, direccion, pide);
            // A 450 ends the listing without an error for the library, and a
            // server may end a listing it could not make with a 226 that says
            // so ("failed to open directory").
            if (d.ok && (d.codigo >= 400 || strcasestr(d.respuesta.c_str(), "fail"))) {
                d.motivo = d.respuesta;
                d.ok = false;
            }
            if (!d.ok && !d.detenida)
                tras_rechazo(s, d);
            if (d.ok || d.detenida || d.perdida || s->forma_lista == 2)
                break;
            if (s->forma_lista == 0 && d.codigo != 500 && d.codigo != 502 && d.codigo != 504)
                break;
            ++s->forma_lista;
        }
        if (d.ok) {
            out = lee_listado(s->datos, s->forma_lista == 0);
            // A folder a server may not open is listed by some (vsftpd) as the
            // folder itself, alone, as "ls -ld" would.
            const size_t barra = carpeta.rfind('/');
            const std::string propio = barra == std::string::npos ? carpeta : carpeta.substr(barra + 1);
            if (s->forma_lista > 0 && out.size() == 1 && out[0].carpeta && out[0].nombre == propio) {
                out.clear();
                d.motivo = "El servidor no muestra el contenido del directorio\n";
                d.ok = false;
            }
        } else if (al_empezar < 2 && s->forma_lista == 2 && !d.perdida) {
            s->forma_lista = 1;  // the folder itself, not the option, was refused
        }
        return d;
    }

    desenlace crea_carpeta(sesion *s, const std::string &path) const override { return orden(s, "MKD " + path, 257); }

    desenlace borra(sesion *s, const std::string &path) const override { return orden(s, "DELE " + path, 250); }

    // RNFR and RNTO in one step. Only RNTO is quoted with "*": its refusal
    // (the final name stands in the way) keeps the connection, while a
    // refused RNFR (the copy is not there to rename) stops the step before
    // RNTO is sent, at the cost of the connection, which the next operation
    // opens again.
    desenlace renombra(sesion *s, const std::string &de, const std::string &a) const override
    {
        curl_slist *lista = curl_slist_append(nullptr, ("RNFR " + de).c_str());
        desenlace d = ordenes(s, curl_slist_append(lista, ("*RNTO " + a).c_str()));
        if (d.ok && d.codigo >= 400) {
            d.ok = false;
            d.motivo = d.respuesta;
            d.perdida = d.codigo == 421;
            d.clase = negativa::renombre;
        } else if (!d.ok && !d.perdida && !d.detenida) {
            d.clase = negativa::sin_temporal;
        }
        return d;
    }

    void falla(sesion *s, CURLcode res, desenlace &d) const override
    {
        const ajustes &a = *s->config;
        d.clase = clasifica(d.codigo);
        // Connected but never greeted, whichever timer noticed first.
        if (s->en_curso.muda || (s->primera && res == CURLE_OPERATION_TIMEDOUT && tcp_conectado(s))) {
            d.motivo = "El servidor no ha saludado en " + std::to_string(plazo_saludo(s)) + " s" +
                       (a.tls == modo_tls::implicito
                            ? ""
                            : "; si el puerto espera TLS desde el primer byte, use ftptls = \"implicit\"");
            d.perdida = true;
            return;
        }
        const bool negativa = !d.respuesta.empty() && (d.respuesta[0] == '4' || d.respuesta[0] == '5');
        // A command the server did not answer with a refusal met a connection
        // that is gone; so did one answered with 421 ("closing").
        d.perdida = !negativa || d.codigo == 421;
        if (res == CURLE_ABORTED_BY_CALLBACK && s->en_curso.error_lectura) {
            d.motivo = strerror(s->en_curso.error_lectura);
            d.perdida = false;
            return;
        }
        long os = 0;
        curl_easy_getinfo(s->easy, CURLINFO_OS_ERRNO, &os);
        if (negativa)
            d.motivo = d.respuesta;
        else if (error_tls(res) && s->error[0])
            d.motivo = s->error + sin_tls_implicito(s);
        else if (res == CURLE_OPERATION_TIMEDOUT || res == CURLE_FTP_ACCEPT_TIMEOUT)
            d.motivo = "El servidor no respondio en " + std::to_string(a.plazo) + " s";
        else if (os)
            d.motivo = strerror(static_cast<int>(os));
        else if (s->error[0])
            d.motivo = s->error;
        else
            d.motivo = curl_easy_strerror(res);
    }

    // When the server refused the command itself (STOR, MLSD, LIST) over
    // TLS, the library had already begun the data connection's handshake;
    // the server drops that connection, and the library may take the failure
    // for a refused EPSV and send a PASV whose reply it never reads
    // (proftpd), or the server answers the dropped connection later
    // (pyftpdlib's 226). Either way the next reply read would belong to
    // another command: go on over a new connection, keeping this reply.
    void tras_rechazo(sesion *s, desenlace &d) const override
    {
        if (s->config->tls == modo_tls::no || d.perdida || s->en_curso.preliminar || d.codigo < 400)
            return;
        d.perdida = !abre(s).ok;
    }

    negativa clasifica(int codigo) const override
    {
        switch (codigo) {
        case 550:
            return negativa::no_existe;
        case 553:
            return negativa::nombre_no_admitido;
        default:
            return negativa::ninguno;
        }
    }

    bool corta_estancada() const override { return false; }
    bool vigila_control() const override { return true; }

private:
    // Sends one command whose refusal keeps the connection (the "*" keeps a
    // refusal from failing the operation) and succeeds only on the reply
    // code given. A fresh connection's PWD also answers 257, so the code
    // must be that of the command itself, which it is when the operation
    // went through.
    desenlace orden(sesion *s, const std::string &texto, int exito) const
    {
        desenlace d = ordenes(s, curl_slist_append(nullptr, ("*" + texto).c_str()));
        if (d.ok && d.codigo != exito) {
            d.ok = false;
            d.motivo = d.respuesta;
            d.perdida = d.codigo == 421;
            d.clase = clasifica(d.codigo);
        }
        return d;
    }
};

}  // namespace

const dialecto &dialecto_ftp()
{
    static const ftp uno;
    return uno;
}
