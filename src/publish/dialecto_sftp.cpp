// The SFTP dialect: each session is a lane of an SSH connection driven by
// libssh2 (publish/sftp.h), with several lanes, and so several files, in
// flight on one connection. Files are written straight to their path,
// folders are made, files removed and renamed with SFTP's own requests, and
// the server's refusals are shown as its status texts ("No such file"). The
// host key is checked against the known-hosts file on every new
// connection, before anything of the login is sent. Any byte but NUL can be
// sent in a path. This dialect has no curl handle: the engine's URL and
// outcome hooks are not its own.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "publish/motor.h"
#include "publish/sftp.h"

namespace {

constexpr int sin_archivo = 2;  // SSH_FX_NO_SUCH_FILE

class sftp final : public dialecto {
public:
    std::string base(const sesion *) const override { return {}; }
    std::string url(const sesion *, const std::string &) const override { return {}; }
    std::string url_ordenes(const sesion *) const override { return {}; }

    quizas_linea comprueba(const ajustes &a) const override
    {
        if (!a.sshkeyfile.empty()) {
            if (quizas_linea por = ilegible(a.sshkeyfile.c_str()))
                return "Imposible leer sshkeyfile '" + a.sshkeyfile + "': " + *por + "\n";
        }
        // The default file may be missing: then no host is known yet, and
        // the first connection says how to add the server.
        struct stat st;
        if (stat(a.sshknownhosts.c_str(), &st) != 0 && errno == ENOENT)
            return std::nullopt;
        if (quizas_linea por = ilegible(a.sshknownhosts.c_str()))
            return "Imposible leer sshknownhosts '" + a.sshknownhosts + "': " + *por + "\n";
        return std::nullopt;
    }

    void prepara(sesion *s) const override { s->sftp = sftp_nuevo(*s->config, &s->comun); }

    void cierra(sesion *s) const override
    {
        sftp_cierra(s->sftp);
        s->sftp = nullptr;
    }

    desenlace abre(sesion *s) const override { return sftp_abre(s->sftp); }

    quizas_linea ruta_rechazada(const std::string &) const override { return std::nullopt; }

    desenlace envia(sesion *s, const std::string &local, const std::string &remota, std::string *h) const override
    {
        return sftp_envia(s->sftp, local, remota, h);
    }

    desenlace sube(sesion *s, const std::string &local, const std::string &remota, std::string *h) const override
    {
        return s->config->atomico ? por_temporal(s, local, remota, h) : envia(s, local, remota, h);
    }

    desenlace lista(sesion *s, const std::string &carpeta, std::vector<entrada_remota> &out) const override
    {
        return sftp_lista(s->sftp, carpeta, out);
    }

    desenlace crea_carpeta(sesion *s, const std::string &path) const override { return sftp_mkdir(s->sftp, path); }

    desenlace borra(sesion *s, const std::string &path) const override { return sftp_borra(s->sftp, path); }

    // "No such file" for a rename is about its source: the copy is gone
    // (the target's folder is the same as the source's). Any other refusal
    // leaves the copy in place.
    desenlace renombra(sesion *s, const std::string &de, const std::string &a) const override
    {
        desenlace d = sftp_renombra(s->sftp, de, a);
        if (!d.ok && !d.perdida && !d.detenida)
            d.clase = d.clase == negativa::no_existe ? negativa::sin_temporal : negativa::renombre;
        return d;
    }

    void falla(sesion *, CURLcode, desenlace &) const override {}

    negativa clasifica(int estado) const override
    {
        return estado == sin_archivo ? negativa::no_existe : negativa::ninguno;
    }

    bool corta_estancada() const override { return true; }
    bool vigila_control() const override { return false; }

    int carriles(const ajustes &a) const override
    {
        return std::max(1, std::min(ventana_sftp, carriles_por_corrida / std::max(1, a.conexiones)));
    }

    sesion *otro_carril(sesion *s) const override
    {
        sesion *o = new sesion;
        o->config = s->config;
        o->habla = s->habla;
        o->comun = s->comun;
        o->sftp = sftp_otro(s->sftp, &o->comun);
        return o;
    }
};

}  // namespace

const dialecto &dialecto_sftp()
{
    static const sftp uno;
    return uno;
}
