// The one decision of the update run and the dry run: what a file of the
// local tree needs, from its catalogue row and, in content mode, its
// content.
#pragma once

#include <string>
#include <vector>

#include "tree/walk.h"

enum class veredicto {
    igual,     // nothing to do
    nuevo,     // no row: upload, then insert its row
    cambiado,  // upload, then update its row
    resello,   // content mode: same content, new stamp: only the row's stamp
};

// Sends the lookups of a directory's files together, before the first of
// them is decided (the walk's `anticipa`).
void decision_anticipa(const std::string &ruta, const std::vector<archivo> &archivos);
// Forgets them when the directory is done (the walk's `termina`).
void decision_termina(const std::string &ruta);

// Decides the next file of the innermost directory, in walk order. A failed
// lookup calls antes_del_fallo (when given), reports the lookup in line form
// and ends the process with status 1.
//
// A row whose stamp equals the file's settles it without reading the file.
// Otherwise, in content mode and when the row holds a digest, the file is
// hashed: the same digest means only the stamp changed.
veredicto decide_archivo(const std::string &ruta, const archivo &a, void (*antes_del_fallo)());
