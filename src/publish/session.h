// Internals of the FTP connection shared by the update run and the upload.
#pragma once

#include <string>

// "ftpserver:ftpport", the address the library connects to.
std::string direccion();

// Connects to the configured server into buf; false (buf null) on failure.
bool abre_conexion();

// Logs in on buf; false on failure (buf may then be null).
bool identifica();

// Empties the last reply, so that a command the server never answers can be
// told from one it answered.
void olvida_respuesta();

// After a failed command: true when the control connection is gone (no
// connection, no answer to the command, or the server's 421 "closing").
bool conexion_perdida();

// Drops the connection and makes a new one, logged in; false on failure,
// with the reason kept for ultima_respuesta().
bool reconecta();
