// What a file needs. The walk runs ahead of the decisions by a bounded
// window of files, and the lookups of the files in it travel together, many
// per round trip, before the first of them is decided; the files are then
// decided one by one in walk order, with the same statements as if each
// lookup had been sent on its own. The walk itself runs on a thread of its
// own, up to a window ahead, so that the statuses of the files ahead are
// taken while the files before them are looked up and decided. Memory stays
// flat however large the tree: only the window and the walk's bounded lead
// are held.
#include "publish/decision.h"

namespace {

// Files looked up ahead of the decisions.
constexpr size_t ancho = 4096;

// Files of the first batch: the first decisions, and the uploads and
// connections they start, wait for one short lookup rather than for a
// whole batch's.
constexpr size_t primer_lote = 64;

bool mismo_sello(const respuesta &r, const sello &s)
{
    if (r.fila_nula)
        return false;
    const int actual[6] = {s.dia, s.mes, s.anio, s.hora, s.minuto, s.segundo};
    for (int i = 0; i < 6; ++i)
        if (r.valores[i] != actual[i])
            return false;
    return true;
}

}  // namespace

ventana::ventana(catalogo &c, const arbol &t, observador al_responder)
    : catalogo_(c), arbol_(t), al_responder_(std::move(al_responder)), walk_(t)
{
}

quizas_fallo ventana::llena()
{
    const size_t hasta = empezada_ ? ancho : primer_lote;
    empezada_ = true;
    while (!fin_ && archivos_ < hasta) {
        pendiente p;
        if (!walk_.siguiente(p.evento)) {
            fin_ = true;
            break;
        }
        if (p.evento.tipo == suceso::clase::archivo)
            ++archivos_;
        cola_.push_back(std::move(p));
    }

    // One batch of the files not yet answered, from the first: the
    // decisions go on once it is answered, and the next batch is sent when
    // they reach a file it did not carry. A failed lookup ends the batch:
    // the files before it are decided as usual and the failure is reported
    // when its file's turn comes.
    lote l;
    std::vector<pendiente *> quienes;
    for (auto i = cola_.begin(); i != cola_.end() && !l.lleno() && quienes.size() < hasta; ++i) {
        if (i->evento.tipo != suceso::clase::archivo || i->respondida)
            continue;
        l.agrega(sentencia_busqueda(catalogo_, i->evento.ruta, i->evento.archivo.nombre));
        quienes.push_back(&*i);
    }
    if (quienes.empty())
        return std::nullopt;
    std::vector<respuesta> r;
    if (quizas_fallo f = envia_lote(catalogo_, l, r))
        return f;
    for (size_t k = 0; k < r.size(); ++k) {
        quienes[k]->resultado = std::move(r[k]);
        quienes[k]->respondida = true;
        if (al_responder_ && quienes[k]->resultado.ok)
            al_responder_(quienes[k]->evento, quienes[k]->resultado);
    }
    return std::nullopt;
}

bool ventana::siguiente(suceso &s, respuesta *&r, std::string *&sql, quizas_fallo &f)
{
    if (cola_.empty() || (cola_.front().evento.tipo == suceso::clase::archivo && !cola_.front().respondida)) {
        if ((f = llena()))
            return false;
    }
    if (cola_.empty())
        return false;
    actual_ = std::move(cola_.front());
    cola_.pop_front();
    if (actual_.evento.tipo == suceso::clase::archivo) {
        --archivos_;
        if (!actual_.respondida) {
            // The batch ended early without a reported failure: ask on our
            // own.
            lote solo;
            solo.agrega(sentencia_busqueda(catalogo_, actual_.evento.ruta, actual_.evento.archivo.nombre));
            std::vector<respuesta> una;
            if ((f = envia_lote(catalogo_, solo, una)))
                return false;
            if (!una.empty())
                actual_.resultado = std::move(una.front());
            else
                actual_.resultado.error = ultimo_error(catalogo_);
        }
    }
    texto_fallido_.clear();
    if (!actual_.resultado.ok) {
        const suceso &e = actual_.evento;
        texto_fallido_ = texto_de(catalogo_, sentencia_busqueda(catalogo_, e.ruta, e.archivo.nombre));
    }
    s = std::move(actual_.evento);
    r = &actual_.resultado;
    sql = &texto_fallido_;
    return true;
}

bool conserva_copia(const catalogo &c, const archivo &a, const respuesta &r)
{
    return r.hay_fila && (mismo_sello(r, a.sello) || (c.contenido && !r.h.empty()));
}

veredicto decide_archivo(const catalogo &c, const arbol &t, const std::string &ruta, const archivo &a,
                         const respuesta &r)
{
    if (!r.hay_fila)
        return veredicto::nuevo;
    if (mismo_sello(r, a.sello))
        return veredicto::igual;
    if (!c.contenido || r.h.empty())
        return veredicto::cambiado;
    // A file that cannot be read now is left to the upload, which reports
    // why.
    huella h;
    if (huella_local(ruta_local(t, ruta + a.nombre), h) && h == r.h)
        return veredicto::resello;
    return veredicto::cambiado;
}
