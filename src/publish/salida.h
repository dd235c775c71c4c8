// The one owner of a run's output. Every line of every mode is written
// here, in walk order: lines that come after a queued catalogue row are
// held until the row is answered (and dropped if a row before them failed,
// so that its report comes next), the status line on a terminal is erased
// before any other line and redrawn after, and an interrupt writes what is
// held before the process ends. The driver creates it and hands it to what
// writes; the rows themselves travel through the catalogue (see
// publish/filas.h), and the owner is told where they stand.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <utility>

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

// What a step of a run hands back: nothing when the run goes on, or the
// status it ends with now, its lines already written. Only the driver ends
// the process.
using quizas_estado = std::optional<estado>;

// Counters of a run, for the status line and the exit status.
struct cuenta {
    long long examinados = 0;  // files decided against the catalogue
    long long subidos = 0;     // uploads the server confirmed (or deletes, in a prune)
    long long fallidos = 0;    // uploads (or deletes) that failed
    long long bytes = 0;       // size of the files uploaded, while the status line shows
    long long omitidos = 0;    // entries the walk could not hand on
};

class salida {
public:
    salida() = default;
    ~salida();
    salida(const salida &) = delete;
    salida &operator=(const salida &) = delete;

    // Writes text on standard output in its place: at once, or, while a
    // row queued before it is unanswered, once that row is answered.
    void escribe(const std::string &texto);

    // Writes everything held, then text on standard error. Whoever has rows
    // queued lets them be answered first.
    void escribe_error(const std::string &texto);

    // Writes an event of the walk that is not a file (its line, on the
    // stream it belongs to) and counts an entry left unpublished.
    void escribe_aviso(const suceso &s);

    // A row was queued after everything written so far: what is written
    // from now on is held until it is answered.
    void marca_fila();

    // Only the last `quedan` rows marked are still unanswered: writes what
    // the answers of the others free.
    void respondidas(size_t quedan);

    // Reports a failed statement after the text written before it (for a
    // row, f.fila counts the rows marked and unanswered at the last
    // respondidas that came before it), then holds nothing more. Returns
    // estado::base_de_datos, the status the run ends with.
    [[nodiscard]] estado informa(const fallo &f);

    // The line that follows the report of a statement the server refused
    // because the table does not exist (error 1146).
    void sin_tabla(std::string linea) { linea_sin_tabla_ = std::move(linea); }

    // The last line of a run stopped at once: everything held, then linea,
    // and both streams flushed.
    void escribe_ultima(const std::string &linea);

    // Before the process ends: writes what is held, erases the status line
    // and flushes both streams.
    void cierra();

    void anota_examinado() { ++recuento_.examinados; }
    // The upload of the file at local ended; ok when the server stored it.
    void anota_subida(const std::string &local, bool ok);
    void anota_fallo() { ++recuento_.fallidos; }
    // Files the run left unpublished: failed uploads or deletes, and entries
    // the walk could not hand on.
    long long sin_publicar() const { return recuento_.fallidos + recuento_.omitidos; }

    // The status line is shown only when standard error is a terminal; the
    // calls below do nothing otherwise.
    void progreso_empieza();
    // Draws the line, at most ten times a second.
    void progreso_dibuja();
    // Replaces the line with a one-line summary of the run.
    void progreso_termina();

    // Installs the SIGINT handler: it erases the status line, writes the
    // text held and ends the process at once with estado::interrumpida,
    // using only what is safe in a handler. No row ever stands for a file
    // that was not stored; rows of the last second may be missing, and
    // their files are simply uploaded again by the next run.
    void arma_interrupcion();

private:
    using reloj = std::chrono::steady_clock;

    // Writes the held text up to the absolute position hasta.
    void suelta_hasta(size_t hasta);
    void suelta_todo() { suelta_hasta(soltado_ + retenida_.size()); }
    // Tells the handler where the held text is, once it is not changing.
    void publica_retenida();

    // Text held, and how much text was held and released before it.
    std::string retenida_;
    size_t soltado_ = 0;
    // Where the held text stood (counting what was released) when each row
    // not yet answered was marked, oldest first: the text before a row's
    // mark was written before the row.
    std::deque<size_t> marcas_;
    cuenta recuento_;
    std::string linea_sin_tabla_;
    // This owner's held text is what the SIGINT handler writes.
    bool armada_ = false;

    // The status line.
    bool activo_ = false;
    reloj::time_point inicio_, ultimo_;
    std::deque<std::pair<reloj::time_point, long long>> muestras_;
};

// The texts of the status line and of the summary for the given counters,
// rate in bytes per second and seconds elapsed.
std::string linea_progreso(const cuenta &c, double ritmo);
std::string linea_resumen(const cuenta &c, double segundos);
