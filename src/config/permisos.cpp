// Warnings about secrets other users can read.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "config/ajustes.h"

namespace {

// "0644" when the file at ruta is the user's own and others may read it;
// empty otherwise.
std::string permisos_abiertos(const std::string &ruta)
{
    struct stat st;
    if (stat(ruta.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return "";
    char modo[8];
    snprintf(modo, sizeof modo, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return modo;
}

}  // namespace

std::vector<std::string> avisos_permisos(const char *ruta, const s_vars *list, const ajustes &a)
{
    std::vector<std::string> avisos;
    if (get_value(list, "ftppass") || get_value(list, "dbpass"))
        if (std::string modo = permisos_abiertos(ruta); !modo.empty())
            avisos.push_back(std::string("Aviso: otros usuarios pueden leer '") + ruta +
                             "', que guarda contrasenas (permisos " + modo + "): chmod 600 " + ruta + "\n");
    if (a.sftp && !a.sshkeyfile.empty())
        if (std::string modo = permisos_abiertos(a.sshkeyfile); !modo.empty())
            avisos.push_back("Aviso: otros usuarios pueden leer la clave '" + a.sshkeyfile + "' (permisos " + modo +
                             "): chmod 600 " + a.sshkeyfile + "\n");
    return avisos;
}
