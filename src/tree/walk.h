// Local tree walk: relative directories, stamps, and the depth-first walk
// that the rebuild, the update run and the dry run share.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Modification time in local time.
struct sello {
    int dia, mes, anio, hora, minuto, segundo;
};

// A file of one directory, as the walk found it.
struct archivo {
    std::string nombre;
    ::sello sello;
    long long tamano = 0;  // size in bytes when the walk read it
};

// One pattern of the exclude file.
struct patron {
    std::string texto;      // without the trailing "/"; an anchored one starts with "/"
    bool anclado = false;   // compared with the entry path, not with the name
    bool solo_dirs = false; // the line ended in "/"
};

// The local tree: its root (localroot) and what is left out of it.
struct arbol {
    std::string raiz;
    std::vector<patron> exclusiones;
    // Files named like the temporary copies of atomic uploads are left out
    // with a line: on the server their name is taken by those copies.
    bool sin_temporales = false;
};

// Something the walk met, in walk order: a file to hand on, or an entry it
// could not hand on, with the line that says so.
struct suceso {
    enum class clase { archivo, aviso };
    clase tipo = clase::archivo;
    std::string ruta;     // relative directory of the entry: "/" or "/a/b/"
    ::archivo archivo;    // clase::archivo
    std::string texto;    // clase::aviso: the whole line, line break included
    bool a_error = false; // the line belongs on standard error
    // The entry is left unpublished: a directory that could not be opened,
    // an entry without a status, a name or time the catalogue cannot hold.
    // Symbolic-link loops do not count: what they lead to is walked by its
    // own path.
    bool omitido = false;
};

// The depth-first walk of a tree from "/", one event at a time. Each
// directory is read whole (with every entry's status) when the walk enters
// it; its entries are then handed on in the order the platform listed them,
// and a subdirectory is finished before the next entry of its parent.
// Converts modification times to stamps, remembering the last one: the
// files of a tree often share their time, and the conversion to local time
// costs more than the rest of the walk's work on a file.
class sello_reciente {
public:
    // As toma_sello.
    bool toma(long long t, sello &s);

private:
    bool hay_ = false;
    long long t_ = 0;
    sello s_{};
};

class recorrido {
public:
    explicit recorrido(const arbol &t);
    ~recorrido();
    recorrido(const recorrido &) = delete;
    recorrido &operator=(const recorrido &) = delete;

    // The next event; false when the walk is over.
    bool siguiente(suceso &s);

private:
    struct nivel;
    bool entra(const std::string &ruta, suceso &s);
    bool en_la_ruta(const struct stat &st) const;
    const arbol &t_;
    std::vector<nivel> niveles_;
    bool empezado_ = false;
    sello_reciente sellos_;
};

// The same walk on a thread of its own, ahead of its reader by a bounded
// number of events, so that the statuses of the files ahead are taken
// while the reader looks up and decides the ones before: the same events in
// the same order as recorrido, and memory as flat. The thread never takes
// the interrupt (the reader's thread owns the output and the interrupt);
// destroying the walk stops its thread and waits for it, on every path.
// When no thread can be started the walk runs on the reader's thread.
class recorrido_adelantado {
public:
    explicit recorrido_adelantado(const arbol &t);
    ~recorrido_adelantado();
    recorrido_adelantado(const recorrido_adelantado &) = delete;
    recorrido_adelantado &operator=(const recorrido_adelantado &) = delete;

    // As recorrido::siguiente.
    bool siguiente(suceso &s);

private:
    void adelanta();
    recorrido walk_;
    std::mutex mu_;
    std::condition_variable hay_tramo_, hay_sitio_;
    std::deque<std::vector<suceso>> listos_;  // tramos walked, not yet taken
    bool terminado_ = false;                  // the walk's last tramo is in listos_
    bool parar_ = false;                      // the reader is gone
    std::vector<suceso> tramo_;               // the reader's tramo
    size_t leidos_ = 0;                       // events of tramo_ handed on
    std::thread hilo_;
};

// Local path of a relative directory or entry path: localroot + ruta.
std::string ruta_local(const arbol &t, const std::string &ruta);

// Converts a time to a stamp; false when it has no local-time form.
bool toma_sello(long long t, sello &s);

// True when a relative directory or name fits a catalogue column as it is:
// valid UTF-8 of at most 255 characters, not ending in a blank. Otherwise
// writes why to *motivo.
bool admisible(const std::string &v, const char **motivo);

// The name a file travels under before it is renamed to nombre, in the
// same folder: a dot-name, the run's mark (ficha, at most 40 bytes; none
// when empty) and a fixed suffix, so that two runs never write the same
// temporary copy. A name longer than 200 bytes is replaced by a digest of
// it, so that the temporary name stays within the 255 bytes that file
// systems take.
std::string nombre_temporal(const std::string &nombre, const std::string &ficha = {});

// FNV-1a, 64 bits: the same value on every machine and compiler, unlike
// std::hash, so that names and lock places derived from it stay the same
// across builds.
uint64_t fnv1a(const std::string &s);

// True for a name nombre_temporal may give.
bool es_temporal(const std::string &nombre);

// Reads one line of the exclude file into p; false for a blank line or a
// comment, which hold no pattern.
bool lee_patron(const std::string &linea, patron &p);

// True when p leaves out the entry nombre of the relative directory ruta.
bool coincide(const patron &p, const std::string &ruta, const std::string &nombre, bool dir);

// Loads the patterns of an exclude file into out. False when the file
// cannot be read whole or holds a line longer than a path, with the line
// to write on standard error in error.
bool carga_exclusiones(const std::string &archivo, std::vector<patron> &out, std::string &error);

// True when some pattern of the tree leaves the entry out of the walk.
bool excluido(const arbol &t, const std::string &ruta, const std::string &nombre, bool dir);

// SHA-256 digests, 32 bytes.
using huella = std::string;

// The SHA-256 of a local file's content, read now; false when it cannot
// be read whole.
bool huella_local(const std::string &local, huella &h);

// Opens a local file for reading without waiting on a FIFO or a device: the
// descriptor of a regular file, or -1 with errno set (0 when the path is
// there and is not a regular file).
int abre_regular(const char *path);
