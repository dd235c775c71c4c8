// What an update run did, counted as it goes, and the status line that shows
// it on a terminal.
#pragma once

#include <string>

// Counters of the update run.
struct cuenta {
    long long examinados = 0;  // files decided against the catalogue
    long long subidos = 0;     // uploads the server confirmed
    long long fallidos = 0;    // uploads that failed
    long long bytes = 0;       // size of the files uploaded
};
extern cuenta recuento;

// A file was decided.
void anota_examinado();

// The upload of ruta + nombre ended; ok when the server stored it. Its bytes,
// the size of the local file, are counted while the status line is shown.
void anota_subida(const std::string &ruta, const std::string &nombre, bool ok);

// Files the update run left unpublished: failed uploads and entries the walk
// could not hand on.
long long sin_publicar();

// The status line is shown only when standard error is a terminal; every
// call below does nothing otherwise.
void progreso_empieza();
// Whether the line is shown (standard error is a terminal).
bool progreso_activo();
// Draws the line, at most ten times a second.
void progreso_dibuja();
// Erases the line: called before anything is written to standard output or
// standard error while it may be shown.
void progreso_borra();
// For the interrupt handler: erases the line with write(2) only.
void progreso_corta();
// Replaces the line with a one-line summary of the run.
void progreso_termina();

// The texts of the line and of the summary for the given counters, rate in
// bytes per second and seconds elapsed.
std::string linea_progreso(const cuenta &c, double ritmo);
std::string linea_resumen(const cuenta &c, double segundos);
