// The one owner of a run's output. Every line of every mode is written
// here, in walk order: lines that come after a queued catalogue row are
// held until its batch is answered (and dropped if a row before them
// failed, so that its report comes next), the status line on a terminal is
// erased before any other line and redrawn after, and an interrupt writes
// what is held before the process ends. The run ends here too, with a named
// status.
#pragma once

#include <string>

#include "catalogue/catalogue.h"

// Exit statuses, as the README's table gives them.
enum class estado : int {
    exito = 0,          // success, the help text, a dry run, an unknown option
    base_de_datos = 1,  // the database connection or a statement failed
    sin_publicar = 2,   // a run reached its end but left some file unpublished
    ocupada = 3,        // another run holds the table's run lock
    interrumpida = 130, // SIGINT during a run
    // Usage, a configuration or exclude file that cannot be read, a missing
    // key or a bad value, a failed FTP connection or login: -1, which the
    // shell sees as 255.
    configuracion = 255,
};

// Ends the run: sends the queued rows and writes what is held, erases the
// status line, flushes both streams and exits with e.
[[noreturn]] void termina(estado e);

// Writes the report of a failed statement (the server's error text, then
// the statement in its form) after every line written before it, and ends
// the run with estado::base_de_datos. The queued rows go first; if one of
// them fails, its report is written instead.
[[noreturn]] void termina_por_fallo(const fallo &f);

// The catalogue whose queued rows hold output back; none before the
// database is connected.
void salida_vincula(catalogo *c);

// The line that follows the report of a statement the server refused
// because the table does not exist (error 1146).
void salida_sin_tabla(std::string linea);

// The lease of the run lock, watched from now on: comprueba_bloqueo ends
// the run with the line perdido (status 3) once it no longer holds, and
// termina releases it, except after a database failure.
void salida_vigila(arriendo *l, std::string perdido);

// Before each file, upload, delete and row: when the lease was lost or not
// renewed in time, writes what is held and the line, and ends the run with
// estado::ocupada without committing the rows not yet committed. One atomic
// read and a clock read.
void comprueba_bloqueo();

// Writes text on standard output in its place: at once, or, while rows are
// queued, once their batch has been answered.
void escribe(const std::string &texto);

// Writes text on standard error, after everything held is written.
void escribe_error(const std::string &texto);

// Queues a row of the catalogue after what has been written so far; rows
// go when a batch is full or a second has passed, and at asienta.
void registra_fila(std::string sql, forma f);

// Sends the queued rows, if any, and writes what was held for them; a
// failed row ends the run with its report.
void asienta();

// Writes an event of the walk that is not a file (its line, on the stream
// it belongs to) and counts an entry left unpublished.
void escribe_aviso(const suceso &s);

// Counters of a run, for the status line and the exit status.
struct cuenta {
    long long examinados = 0;  // files decided against the catalogue
    long long subidos = 0;     // uploads the server confirmed (or deletes, in a prune)
    long long fallidos = 0;    // uploads (or deletes) that failed
    long long bytes = 0;       // size of the files uploaded, while the status line shows
    long long omitidos = 0;    // entries the walk could not hand on
};

void anota_examinado();
// The upload of the file at local ended; ok when the server stored it.
void anota_subida(const std::string &local, bool ok);
void anota_fallo();
// Files the run left unpublished: failed uploads or deletes, and entries the
// walk could not hand on.
long long sin_publicar();

// The status line is shown only when standard error is a terminal; the
// calls below do nothing otherwise.
void progreso_empieza();
// Draws the line, at most ten times a second.
void progreso_dibuja();
// Replaces the line with a one-line summary of the run.
void progreso_termina();

// The texts of the line and of the summary for the given counters, rate in
// bytes per second and seconds elapsed.
std::string linea_progreso(const cuenta &c, double ritmo);
std::string linea_resumen(const cuenta &c, double segundos);

// Installs the SIGINT handler: it erases the status line, writes the text
// held and ends the process at once with estado::interrumpida, using only
// what is safe in a handler. No row ever stands for a file that was not
// stored; rows of the last second may be missing, and their files are
// simply uploaded again by the next run.
void instala_interrupcion();
