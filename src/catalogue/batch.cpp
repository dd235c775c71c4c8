// Several catalogue statements in one round trip to the server.
//
// A no-change run over a large tree is one lookup per file; sent one by one
// its time is the server's round trip times the number of files. Sent
// together, many lookups cost one round trip, and the statements, their
// texts and the order in which their answers are used stay the same.
#include <cstdlib>

#include "catalogue/servidor.h"

namespace servidor {

namespace {

// Reads the result of the statement that just ran into r.
void lee_resultado(enlace &c, respuesta &r)
{
    MYSQL_RES *res = mysql_store_result(c.db);
    if (!res) {
        if (mysql_field_count(c.db) != 0) {
            r.error = mysql_error(c.db);
            r.numero = mysql_errno(c.db);
            return;
        }
        r.ok = true;
        return;
    }
    r.ok = true;
    MYSQL_ROW fila = mysql_fetch_row(res);
    if (fila && mysql_num_fields(res) >= 6) {
        r.hay_fila = true;
        for (int i = 0; i < 6; ++i) {
            if (!fila[i])
                r.fila_nula = true;
            else
                r.valores[i] = atoi(fila[i]);
        }
        // Content mode's seventh column, Huella: binary, so taken by length.
        if (mysql_num_fields(res) >= 7 && fila[6]) {
            unsigned long *largos = mysql_fetch_lengths(res);
            r.h.assign(fila[6], largos[6]);
        }
    }
    mysql_free_result(res);
}

void una_a_una(enlace &c, const lote &l, std::vector<respuesta> &out)
{
    for (const sentencia &s : l.sentencias) {
        respuesta r;
        if (mysql_real_query(c.db, s.texto.data(), s.texto.size()) != 0) {
            r.error = mysql_error(c.db);
            r.numero = mysql_errno(c.db);
        } else {
            lee_resultado(c, r);
        }
        out.push_back(r);
        if (!r.ok)
            return;
    }
}

}  // namespace

void descarta_resultados(enlace &c)
{
    while (mysql_next_result(c.db) == 0)
        if (MYSQL_RES *resto = mysql_store_result(c.db))
            mysql_free_result(resto);
}

quizas_fallo envia_lote(enlace &c, const lote &l, std::vector<respuesta> &out)
{
    if (quizas_fallo f = recoge_filas(c))
        return f;
    out.reserve(out.size() + l.sentencias.size());
    if (l.sentencias.size() < 2 || !multi_on(c)) {
        una_a_una(c, l, out);
        return std::nullopt;
    }

    const std::string texto = l.texto();
    if (mysql_real_query(c.db, texto.data(), texto.size()) != 0) {
        respuesta r;
        r.error = mysql_error(c.db);
        r.numero = mysql_errno(c.db);
        out.push_back(r);
        return std::nullopt;
    }
    for (;;) {
        respuesta r;
        lee_resultado(c, r);
        out.push_back(r);
        if (!r.ok) {
            descarta_resultados(c);
            return std::nullopt;
        }
        int siguiente = mysql_next_result(c.db);
        if (siguiente < 0)
            break;
        if (siguiente > 0) {
            respuesta falla;
            falla.error = mysql_error(c.db);
            falla.numero = mysql_errno(c.db);
            out.push_back(falla);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace servidor
