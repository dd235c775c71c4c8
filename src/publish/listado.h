// The lines of a remote folder's listing, read into entries: MLSD's facts,
// and the "ls -l" form of LIST replies and of SFTP's long names (with or
// without the group column, any language's month names, numeric owners),
// or the DOS form some FTP servers use.
#pragma once

#include <string>
#include <vector>

// An entry of a remote folder.
struct entrada_remota {
    std::string nombre;
    long long tamano = -1;  // -1 when the listing does not give it
    bool carpeta = false;
    bool enlace = false;  // a symbolic link: its size is not the file's
};

// Reads one line of MLSD's reply (mlsd) or of a LIST reply or SFTP long
// name. False for a line that names no entry of the folder ("." and "..",
// a "total" line, a line it cannot read).
bool lee_entrada(const std::string &linea, bool mlsd, entrada_remota &e);

// Every entry of a whole listing, its lines ended by CRLF or LF.
std::vector<entrada_remota> lee_listado(const std::string &texto, bool mlsd);
