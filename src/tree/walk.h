// Local tree walk: relative directories, stamps, and the depth-first walk
// that the rebuild and the update run share.
#pragma once

#include <string>
#include <vector>

// Modification time in local time.
struct sello {
    int dia, mes, anio, hora, minuto, segundo;
};

// A file of one directory, as the walk found it.
struct archivo {
    std::string nombre;
    sello s;
};

// What a walk does with the files it finds.
struct recorrido {
    // Optional: given every file of a directory, in order, before the
    // first of them is handed to `accion`, so they can be prepared together.
    void (*anticipa)(const std::string &ruta, const std::vector<archivo> &archivos);
    // Called for every file (any entry that is not a directory), in the
    // order of the list given to `anticipa` for its directory.
    void (*accion)(const std::string &ruta, const archivo &a);
    // Optional: called when the directory that `anticipa` announced is done.
    void (*termina)(const std::string &ruta);
    // Optional: called before the walk writes a message of its own, so that
    // work held back by the action is finished first and output keeps order.
    void (*antes_de_escribir)();
};

// Walks the directory ruta ("/" for the local root, otherwise "/a/b/") and
// everything below it, depth first, in the platform's order.
void recorre(const std::string &ruta, const recorrido &r);

// Local path of a relative directory or entry path: localroot + ruta.
std::string ruta_local(const std::string &ruta);

// Converts a time to a stamp; false when it has no local-time form.
bool toma_sello(long long t, sello &s);

// Entries the walk met but could not hand on: a directory it could not
// open, an entry whose status it could not take, a file whose name or time
// the catalogue cannot hold. Symbolic-link loops are not counted: what they
// lead to is walked by its own path.
extern int omitidos;

// One pattern of the exclude file.
struct patron {
    std::string texto;      // without the trailing "/"; an anchored one starts with "/"
    bool anclado = false;   // compared with the entry path, not with the name
    bool solo_dirs = false; // the line ended in "/"
};

// Reads one line of the exclude file into p; false for a blank line or a
// comment, which hold no pattern.
bool lee_patron(const std::string &linea, patron &p);

// True when p leaves out the entry nombre of the relative directory ruta.
bool coincide(const patron &p, const std::string &ruta, const std::string &nombre, bool dir);

// Loads the patterns of the file named by the optional key excludefile;
// none when the key is absent. A file that cannot be read, or a line longer
// than a path, ends the process with status -1.
void carga_exclusiones();

// True when some loaded pattern leaves the entry out of the walk.
bool excluido(const std::string &ruta, const std::string &nombre, bool dir);

// SHA-256 digests, 32 bytes.
using huella = std::string;

// The SHA-256 of a local file's content, read now; false when it cannot
// be read whole.
bool huella_local(const std::string &local, huella &h);
