// Upload threads and the report of their files in walk order.
#include "publish/reparto.h"

#include <pthread.h>
#include <csignal>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "publish/publish.h"

namespace {

using puntero = std::shared_ptr<encargo>;

std::mutex mu;
std::condition_variable hay_encargo, hay_hecho;
std::deque<puntero> cola;      // waiting for a connection
std::deque<puntero> en_orden;  // handed over and not yet written, in walk order
std::vector<std::thread> hilos;
int vivos = 0;  // threads with a connection
bool fin = false;
bool activo = false;
size_t limite = 0;

void hilo(sesion *propia)
{
    // The interrupt is handled on the main thread, which owns the output.
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    pthread_sigmask(SIG_BLOCK, &s, nullptr);

    if (propia) {
        buf = propia;
    } else {
        buf = ftp_nueva();
        // A connection the server refuses (too many connections from this
        // account or address) leaves the files to the others.
        if (ftp_abre(buf) != apertura::ok) {
            ftp_cierra(buf);
            buf = nullptr;
            std::lock_guard<std::mutex> l(mu);
            --vivos;
            return;
        }
    }
    for (;;) {
        puntero e;
        {
            std::unique_lock<std::mutex> l(mu);
            hay_encargo.wait(l, [] { return fin || !cola.empty(); });
            if (cola.empty())
                break;
            e = cola.front();
            cola.pop_front();
        }
        std::string lineas;
        captura = &lineas;
        devolver_si_cae = true;
        huella h;
        huella *ph = por_contenido() ? &h : nullptr;
        int r = sube(e->ruta, e->nombre, ph);
        if (r == devuelto) {
            std::unique_lock<std::mutex> l(mu);
            if (vivos > 1) {
                // Lost and not let in again: another connection takes it.
                --vivos;
                cola.push_front(e);
                hay_encargo.notify_one();
                l.unlock();
                captura = nullptr;
                ftp_cierra(buf);
                buf = nullptr;
                return;
            }
            l.unlock();
            devolver_si_cae = false;
            r = sube(e->ruta, e->nombre, ph);
        }
        captura = nullptr;
        std::lock_guard<std::mutex> l(mu);
        e->subido = r;
        e->lineas = std::move(lineas);
        e->h = std::move(h);
        e->hecho = true;
        hay_hecho.notify_all();
    }
    ftp_cierra(buf);
    buf = nullptr;
}

// Writes the finished files at the head of the order; with `espera`, waits
// for the head first. The head's "NUEVO ARCHIVO" line is written as soon as
// it is the head, as with one connection, where it comes before the upload.
void escribe_hechos(bool espera)
{
    for (;;) {
        puntero e;
        {
            std::unique_lock<std::mutex> l(mu);
            if (en_orden.empty())
                return;
            e = en_orden.front();
        }
        if (e->nuevo && !e->anunciado) {
            escribe_o_retiene("NUEVO ARCHIVO!!!  Bienvenido " + e->ruta + e->nombre + "!\n");
            e->anunciado = true;
        }
        {
            std::unique_lock<std::mutex> l(mu);
            if (!e->hecho) {
                if (!espera)
                    return;
                hay_hecho.wait(l, [&] { return e->hecho; });
            }
            en_orden.pop_front();
        }
        concluye(e->ruta, e->nombre, e->s, e->nuevo, e->subido, e->lineas, e->h);
        espera = false;
    }
}

}  // namespace

void reparto_inicia(int n)
{
    activo = true;
    reintenta_425 = true;
    limite = static_cast<size_t>(n) * 4;
    vivos = n;
    sesion *propia = buf;
    buf = nullptr;
    for (int i = 0; i < n; ++i)
        hilos.emplace_back(hilo, i == 0 ? propia : nullptr);
}

bool reparto_activo() { return activo; }

void reparto_encola(encargo e)
{
    {
        std::lock_guard<std::mutex> l(mu);
        auto p = std::make_shared<encargo>(std::move(e));
        en_orden.push_back(p);
        cola.push_back(p);
    }
    hay_encargo.notify_one();
    escribe_hechos(false);
    for (;;) {
        {
            std::lock_guard<std::mutex> l(mu);
            if (en_orden.size() <= limite)
                return;
        }
        escribe_hechos(true);
    }
}

void reparto_vacia()
{
    if (!activo)
        return;
    for (;;) {
        {
            std::lock_guard<std::mutex> l(mu);
            if (en_orden.empty())
                return;
        }
        escribe_hechos(true);
    }
}

void reparto_termina()
{
    if (!activo)
        return;
    reparto_vacia();
    {
        std::lock_guard<std::mutex> l(mu);
        fin = true;
    }
    hay_encargo.notify_all();
    for (std::thread &t : hilos)
        t.join();
    hilos.clear();
}
