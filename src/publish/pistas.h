// The line that follows a failed connection or login and names its likely
// cause and the fix (the key and its value, or the command to run). The
// texts and the checks here need no protocol library: the dialects decide
// when a case applies and take the line from here.
#pragma once

#include <string>
#include <string_view>

#include "config/ajustes.h"

// What the first bytes a server sends say about the protocol it speaks.
enum class saludo { otro, ssh, ftp };
saludo clase_de_saludo(std::string_view primeros);

// The first line of what a server sent, without its line end.
std::string primera_linea(std::string_view primeros);

// What the server sends first on a new connection of its own, waiting up to
// ms milliseconds for it; empty when nothing came.
std::string primeros_del_servidor(const ajustes &a, int ms);

// The line that names the protocol the server greeted with.
std::string pista_protocolo(saludo s);

// FTP: the line for a refused connection or login, from the server's last
// reply, the TLS library's error text and whether the server refused to
// start TLS (AUTH); empty when no case fits.
std::string pista_ftp(const ajustes &a, const std::string &respuesta, const std::string &error_tls,
                      bool sin_auth);

// The command that creates the known-hosts file's folder and adds to it the
// server's host keys of the types the SSH library can check.
std::string orden_keyscan(const ajustes &a);

// The type of the first key the known-hosts file holds for the server
// ("ssh-ed25519", "ssh-rsa"...), the one the SSH library asks the server
// for; empty when the file holds none or cannot be read.
std::string primera_clave_guardada(const ajustes &a);

// The line for a key exchange that failed because the known-hosts file
// offers the server only an ssh-rsa key; empty when that is not the case.
std::string pista_clave_rsa(const ajustes &a);

// Whether the private key file is protected by a passphrase: 1 yes, 0 no,
// -1 when the file cannot be read or its format is not known.
int clave_con_frase(const std::string &path);

// The report of a passphrase that does not open sshkeyfile, and its fix.
std::string motivo_frase(const ajustes &a);
std::string pista_frase();
