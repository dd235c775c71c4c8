// The rows of the update run and the prune, between the catalogue, which
// queues, sends and answers them, and the output owner, which holds what is
// written after each row until it is answered.
#pragma once

#include <string>

#include "catalogue/catalogue.h"
#include "publish/salida.h"

struct trabajo;

// Tells o how many rows are still unanswered. Called after anything that
// may have read rows' answers, so that a failed row is placed among the
// right ones.
void sincroniza(const catalogo &c, salida &o);

// Queues a row after everything o has written so far, once the run lock's
// lease is checked, and moves the rows on without waiting.
[[nodiscard]] quizas_estado registra_fila(trabajo &w, salida &o, sentencia sql, forma f);

// Moves the rows on and writes what their answers free: without waiting,
// or with todo every row sent, committed and answered. A failed row is
// reported in its place.
[[nodiscard]] quizas_estado avanza(catalogo &c, salida &o, bool todo);

// Reports f in its place and returns the status the run ends with. Before
// a failure that is not a row's, the rows not yet answered go: a failed one
// among them is the earlier fault and is reported instead.
[[nodiscard]] estado falla(catalogo &c, salida &o, const fallo &f);
