// Upload threads and the return of their files in walk order.
#include "publish/reparto.h"

#include <pthread.h>

#include <csignal>

reparto::reparto(const ajustes &a, const arbol &t, directorios &dirs, sesion *propia, int n)
    : a_(a), t_(t), dirs_(dirs), comun_(ftp_tramite(propia)), maximo_(n), conexiones_(1), vivos_(1), llegando_(1)
{
    std::lock_guard<std::mutex> l(mu_);
    hilos_.emplace_back(&reparto::hilo, this, propia, true);
}

reparto::~reparto()
{
    {
        std::lock_guard<std::mutex> l(mu_);
        fin_ = true;
    }
    hay_encargo_.notify_all();
    for (std::thread &t : hilos_)
        t.join();
    for (std::deque<sesion *> &r : reservas_)
        for (sesion *s : r)
            ftp_cierra(s);
}

void reparto::hilo(sesion *propia, bool abierta)
{
    // The interrupt is handled on the main thread, which owns the output.
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    pthread_sigmask(SIG_BLOCK, &s, nullptr);

    conexion c{a_, t_, dirs_};
    c.reintenta_425 = true;
    c.devolver_si_cae = true;
    c.sesion = propia ? propia : ftp_nueva(a_, comun_);
    // A connection the server refuses (too many connections from this
    // account or address), or a lane it refuses on its connection, leaves
    // the files to the others.
    if (!abierta && !ftp_abre(c.sesion).ok) {
        ftp_cierra(c.sesion);
        std::lock_guard<std::mutex> l(mu_);
        --vivos_;
        --llegando_;
        return;
    }
    if ((!propia || abierta) && ftp_carriles(a_) > 1) {
        // A new connection: its other lanes wait to be needed.
        std::deque<sesion *> otros;
        for (int i = 1; i < ftp_carriles(a_); ++i)
            otros.push_back(ftp_otro_carril(c.sesion));
        std::lock_guard<std::mutex> l(mu_);
        reservas_.push_back(std::move(otros));
        otro_si_hace_falta();
    }
    bool primera = true;
    for (;;) {
        puntero e;
        std::shared_ptr<listado_remoto> lista;
        {
            std::unique_lock<std::mutex> l(mu_);
            if (primera)
                --llegando_;
            primera = false;
            ++libres_;
            hay_encargo_.wait(l, [this] { return fin_ || !cola_.empty() || !listas_.empty(); });
            --libres_;
            if (!listas_.empty()) {
                lista = listas_.front();
                listas_.pop_front();
            } else if (cola_.empty()) {
                break;
            } else {
                e = cola_.front();
                cola_.pop_front();
            }
        }
        if (lista) {
            // The main thread reads the listing only once it sees hecho.
            lista_carpeta(c, *lista);
            std::unique_lock<std::mutex> l(mu_);
            if (lista->perdida && !lista->detenida && vivos_ > 1) {
                // Lost and not let in again: another connection lists it.
                --vivos_;
                listado_remoto de_nuevo;
                de_nuevo.carpeta = lista->carpeta;
                *lista = std::move(de_nuevo);
                listas_.push_front(lista);
                hay_encargo_.notify_one();
                l.unlock();
                ftp_cierra(c.sesion);
                return;
            }
            lista->hecho = true;
            hay_hecho_.notify_all();
            continue;
        }
        std::string lineas;
        huella h;
        huella *ph = a_.contenido ? &h : nullptr;
        subida r = sube(c, e->ruta, e->nombre, lineas, ph);
        if (r == subida::devuelta) {
            std::unique_lock<std::mutex> l(mu_);
            if (vivos_ > 1) {
                // Lost and not let in again: another connection takes it.
                --vivos_;
                cola_.push_front(e);
                hay_encargo_.notify_one();
                l.unlock();
                ftp_cierra(c.sesion);
                return;
            }
            l.unlock();
            c.devolver_si_cae = false;
            r = sube(c, e->ruta, e->nombre, lineas, ph);
        }
        std::lock_guard<std::mutex> l(mu_);
        e->subido = r;
        e->lineas = std::move(lineas);
        e->h = std::move(h);
        e->hecho = true;
        hay_hecho_.notify_all();
    }
    ftp_cierra(c.sesion);
}

void reparto::encola(encargo e)
{
    {
        std::lock_guard<std::mutex> l(mu_);
        auto p = std::make_shared<encargo>(std::move(e));
        en_orden_.push_back(p);
        cola_.push_back(p);
        otro_si_hace_falta();
    }
    hay_encargo_.notify_one();
}

void reparto::otro_si_hace_falta()
{
    // Every thread busy, none on its way: more connections, as long as the
    // settings allow them, then more lanes on the connections that have the
    // fewest, until every waiting file has one on its way. Files handed
    // over before a connection's lanes were ready are counted here too.
    while (!fin_ && cola_.size() + listas_.size() > static_cast<size_t>(libres_ + llegando_)) {
        sesion *carril = nullptr;
        if (conexiones_ < maximo_) {
            ++conexiones_;
        } else {
            std::deque<sesion *> *mas = nullptr;
            for (std::deque<sesion *> &r : reservas_)
                if (!mas || r.size() > mas->size())
                    mas = &r;
            if (!mas || mas->empty())
                return;
            carril = mas->front();
            mas->pop_front();
        }
        ++vivos_;
        ++llegando_;
        hilos_.emplace_back(&reparto::hilo, this, carril, false);
    }
}

void reparto::lista(std::shared_ptr<listado_remoto> l)
{
    {
        std::lock_guard<std::mutex> g(mu_);
        listas_.push_back(std::move(l));
        otro_si_hace_falta();
    }
    hay_encargo_.notify_one();
}

void reparto::espera_listado(const listado_remoto &l)
{
    std::unique_lock<std::mutex> g(mu_);
    hay_hecho_.wait(g, [&] { return l.hecho; });
}

size_t reparto::en_curso()
{
    std::lock_guard<std::mutex> l(mu_);
    return en_orden_.size();
}

encargo *reparto::primero()
{
    std::lock_guard<std::mutex> l(mu_);
    return en_orden_.empty() ? nullptr : en_orden_.front().get();
}

bool reparto::saca(encargo &out, bool aguardar)
{
    std::unique_lock<std::mutex> l(mu_);
    if (en_orden_.empty())
        return false;
    puntero e = en_orden_.front();
    if (!e->hecho) {
        if (!aguardar)
            return false;
        hay_hecho_.wait(l, [&] { return e->hecho; });
    }
    en_orden_.pop_front();
    out = std::move(*e);
    return true;
}
