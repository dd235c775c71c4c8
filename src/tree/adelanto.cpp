// The walk run ahead on a thread of its own.
//
// The thread hands its events over in tramos of a few hundred, so that the
// two threads meet a few hundred times over a large tree instead of once
// per file; it stops when as many events as the update run's window holds
// wait untaken, so that the next window is walked while the reader works on
// the one before, and memory does not grow with the tree.
#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <system_error>

#include "tree/walk.h"

namespace {

constexpr size_t primer_tramo = 16;
constexpr size_t por_tramo = 256;
constexpr size_t tramos_en_espera = 16;

}  // namespace

recorrido_adelantado::recorrido_adelantado(const arbol &t) : walk_(t)
{
    // The thread starts with the interrupt blocked, as it inherits this
    // thread's mask: a Ctrl-C is never taken by it, even before its first
    // step. This thread's mask is then as it was.
    sigset_t interrupcion, antes;
    sigemptyset(&interrupcion);
    sigaddset(&interrupcion, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupcion, &antes);
    try {
        hilo_ = std::thread(&recorrido_adelantado::adelanta, this);
    } catch (const std::system_error &) {
        // No thread to be had: siguiente walks on the reader's thread.
    }
    pthread_sigmask(SIG_SETMASK, &antes, nullptr);
}

recorrido_adelantado::~recorrido_adelantado()
{
    if (!hilo_.joinable())
        return;
    {
        std::lock_guard<std::mutex> l(mu_);
        parar_ = true;
    }
    hay_sitio_.notify_one();
    hilo_.join();
}

void recorrido_adelantado::adelanta()
{
    // The first tramos are short, growing to the full size, so that the
    // reader's first decisions (and the uploads they start) do not wait for
    // a full tramo to be walked.
    size_t cabida = primer_tramo;
    for (;;) {
        std::vector<suceso> tramo;
        tramo.reserve(cabida);
        bool fin = false;
        // Each event is walked into its place in the tramo, not moved there.
        while (tramo.size() < cabida) {
            if (!walk_.siguiente(tramo.emplace_back())) {
                tramo.pop_back();
                fin = true;
                break;
            }
        }
        std::unique_lock<std::mutex> l(mu_);
        hay_sitio_.wait(l, [this] { return parar_ || listos_.size() < tramos_en_espera; });
        if (parar_)
            return;
        if (!tramo.empty())
            listos_.push_back(std::move(tramo));
        terminado_ = fin;
        l.unlock();
        hay_tramo_.notify_one();
        if (fin)
            return;
        cabida = std::min(2 * cabida, por_tramo);
    }
}

bool recorrido_adelantado::siguiente(suceso &s)
{
    if (!hilo_.joinable())
        return walk_.siguiente(s);
    if (leidos_ == tramo_.size()) {
        std::unique_lock<std::mutex> l(mu_);
        hay_tramo_.wait(l, [this] { return terminado_ || !listos_.empty(); });
        if (listos_.empty())
            return false;
        tramo_ = std::move(listos_.front());
        listos_.pop_front();
        leidos_ = 0;
        l.unlock();
        hay_sitio_.notify_one();
    }
    s = std::move(tramo_[leidos_++]);
    return true;
}
