// Several catalogue statements in one round trip to the server.
//
// A no-change run over a large tree is one lookup per file; sent one by one
// its time is the server's round trip times the number of files. Sent
// together, a directory's lookups cost one round trip, and the statements,
// their texts and the order in which their answers are used stay the same.
#include <cstdlib>

#include "catalogue/catalogue.h"

namespace {

// Multi-statement mode, switched on the first time a batch needs it.
// -1: not tried yet, 0: refused by the server, 1: on.
int multi = -1;

bool multi_on()
{
    if (multi < 0)
        multi = mysql_set_server_option(&db, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0 ? 1 : 0;
    return multi == 1;
}

// Reads the result of the statement that just ran into r.
void lee_resultado(respuesta &r)
{
    resultado = mysql_store_result(&db);
    if (!resultado) {
        if (mysql_field_count(&db) != 0) {
            r.error = mysql_error(&db);
            return;
        }
        r.ok = true;
        return;
    }
    r.ok = true;
    fila = mysql_fetch_row(resultado);
    if (fila && mysql_num_fields(resultado) >= 6) {
        r.hay_fila = true;
        for (int i = 0; i < 6; ++i) {
            if (!fila[i])
                r.fila_nula = true;
            else
                r.valores[i] = atoi(fila[i]);
        }
        // Content mode's seventh column, Huella: binary, so taken by length.
        if (mysql_num_fields(resultado) >= 7 && fila[6]) {
            unsigned long *largos = mysql_fetch_lengths(resultado);
            r.h.assign(fila[6], largos[6]);
        }
    }
    mysql_free_result(resultado);
    resultado = nullptr;
    fila = nullptr;
}

void una_a_una(const lote &l, std::vector<respuesta> &out)
{
    for (const std::string &s : l.sentencias) {
        respuesta r;
        if (mysql_real_query(&db, s.data(), s.size()) != 0)
            r.error = mysql_error(&db);
        else
            lee_resultado(r);
        out.push_back(r);
        if (!r.ok)
            return;
    }
}

}  // namespace

std::vector<respuesta> envia_lote(const lote &l)
{
    espera_registro();
    std::vector<respuesta> out;
    out.reserve(l.sentencias.size());
    if (l.sentencias.size() < 2 || !multi_on()) {
        una_a_una(l, out);
        return out;
    }

    std::string texto;
    texto.reserve(l.bytes + l.sentencias.size());
    for (const std::string &s : l.sentencias) {
        if (!texto.empty())
            texto += ';';
        texto += s;
    }

    if (mysql_real_query(&db, texto.data(), texto.size()) != 0) {
        respuesta r;
        r.error = mysql_error(&db);
        out.push_back(r);
        return out;
    }
    for (;;) {
        respuesta r;
        lee_resultado(r);
        out.push_back(r);
        if (!r.ok) {
            // Leave the connection in step for whatever comes next.
            while (mysql_next_result(&db) == 0) {
                if (MYSQL_RES *resto = mysql_store_result(&db))
                    mysql_free_result(resto);
            }
            return out;
        }
        int siguiente = mysql_next_result(&db);
        if (siguiente < 0)
            break;
        if (siguiente > 0) {
            respuesta fallo;
            fallo.error = mysql_error(&db);
            out.push_back(fallo);
            return out;
        }
    }
    return out;
}
