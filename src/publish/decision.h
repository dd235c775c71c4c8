// The one decision of the update run and the dry run: what a file of the
// local tree needs, from its catalogue row and, in content mode, its
// content; and the window that has the rows looked up ahead of it.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "catalogue/catalogue.h"
#include "tree/walk.h"

enum class veredicto {
    igual,     // nothing to do
    nuevo,     // no row: upload, then insert its row
    cambiado,  // upload, then update its row
    resello,   // content mode: same content, new stamp: only the row's stamp
};

// The walk, run ahead of the decisions by a bounded number of files, with
// the lookups of the files ahead sent in large batches whatever folders
// they are in. Events come out one at a time in walk order; a file comes
// out with the answer to its own lookup statement.
class ventana {
public:
    // al_responder, when given, is called with each file whose lookup has
    // just been answered, in walk order, ahead of its decision.
    using observador = std::function<void(const suceso &, const respuesta &)>;
    ventana(catalogo &c, const arbol &t, observador al_responder = {});

    // The next event. For a file, *r is its lookup's answer and, when it
    // failed, *sql the statement's text; a failed lookup comes out at its
    // turn with r->ok false. False when the walk is over, or when a batch of
    // lookups could not be sent or read (or a row awaited before it failed):
    // then with that failure in f.
    bool siguiente(suceso &s, respuesta *&r, std::string *&sql, quizas_fallo &f);

private:
    struct pendiente {
        suceso evento;
        respuesta resultado;  // its answer, once respondida
        bool respondida = false;
    };
    // Walks ahead up to the bound and looks up the next batch of files not
    // yet answered (the first batch of a run is short).
    [[nodiscard]] quizas_fallo llena();

    catalogo &catalogo_;
    const arbol &arbol_;
    observador al_responder_;
    recorrido_adelantado walk_;
    bool fin_ = false;
    bool empezada_ = false;  // the first batch has been sent
    std::deque<pendiente> cola_;
    size_t archivos_ = 0;  // files in cola_
    pendiente actual_;
    // The text of actual_'s lookup when it failed. A lookup's statement is
    // made when its batch is, not kept in the window: its text is needed
    // again only for a failure.
    std::string texto_fallido_;
};

// Decides a file from its lookup's answer (which must be ok). A row whose
// stamp equals the file's settles it without reading the file. Otherwise,
// in content mode and when the row holds a digest, the file is hashed: the
// same digest means only the stamp changed.
// True when a file's row leaves it unchanged or only re-stamped, as far as
// the row can tell: the files whose copy on the server a verifying run
// checks. r must be ok.
bool conserva_copia(const catalogo &c, const archivo &a, const respuesta &r);

veredicto decide_archivo(const catalogo &c, const arbol &t, const std::string &ruta, const archivo &a,
                         const respuesta &r);
