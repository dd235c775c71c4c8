// A TCP relay that delays every chunk by a fixed time, in both directions.
//
//   latproxy DELAY_US LISTEN_ADDR TARGET_ADDR PORTS...
//
// PORTS are single ports (5000) or ranges (30000-30199). For every port P the
// relay listens on LISTEN_ADDR:P and forwards each accepted connection to
// TARGET_ADDR:P. Whatever is read from one side is written to the other side
// DELAY_US microseconds later (so a round trip costs twice that); order is kept
// and an end of stream is passed on after the same delay. One thread, epoll,
// and a timerfd that wakes the loop when the next held chunk is due.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using ns_t = int64_t;

ns_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ns_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct chunk {
    ns_t due;
    std::string data;  // empty: end of stream
    size_t off = 0;
};

struct pair_conn;

// One direction of a relayed connection: bytes read from `from` and held for
// `to`.
struct direction {
    int from = -1, to = -1;
    std::deque<chunk> held;
    size_t held_bytes = 0;
    bool read_closed = false;  // end of stream seen on `from`
    bool write_closed = false; // end of stream passed on to `to`
};

struct pair_conn {
    int a = -1, b = -1;  // a: accepted client, b: connection to the target
    bool connected = false;
    direction ab, ba;    // a -> b, b -> a
    bool dead = false;
};

constexpr size_t max_held = 8 << 20;  // stop reading a side above this

int ep = -1;
int tfd = -1;
ns_t delay = 0;
in_addr target{};
std::map<int, uint16_t> listeners;                      // fd -> port
std::map<int, std::shared_ptr<pair_conn>> conns;        // fd -> its pair
ns_t armed = 0;

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool reading_wanted(const pair_conn &p, int fd) {
    const direction &d = (fd == p.a) ? p.ab : p.ba;
    return p.connected && !d.read_closed && d.held_bytes < max_held;
}

bool writing_wanted(const pair_conn &p, int fd, ns_t now) {
    const direction &d = (fd == p.b) ? p.ab : p.ba;
    if (!p.connected && fd == p.b) return true;  // waiting for connect()
    return !d.held.empty() && d.held.front().due <= now;
}

void update_events(pair_conn &p, int fd, ns_t now) {
    if (fd < 0) return;
    epoll_event ev{};
    ev.data.fd = fd;
    if (reading_wanted(p, fd)) ev.events |= EPOLLIN;
    if (writing_wanted(p, fd, now)) ev.events |= EPOLLOUT;
    epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
}

void close_pair(pair_conn &p) {
    if (p.dead) return;
    p.dead = true;
    for (int fd : {p.a, p.b}) {
        if (fd < 0) continue;
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns.erase(fd);
    }
}

void arm_timer(ns_t due) {
    if (armed != 0 && armed <= due) return;
    armed = due;
    itimerspec its{};
    its.it_value.tv_sec = due / 1000000000;
    its.it_value.tv_nsec = due % 1000000000;
    timerfd_settime(tfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

// Writes what is due in one direction. Returns false when the pair died.
bool flush(pair_conn &p, direction &d, ns_t now) {
    while (!d.held.empty() && d.held.front().due <= now) {
        chunk &c = d.held.front();
        if (c.data.empty()) {
            shutdown(d.to, SHUT_WR);
            d.write_closed = true;
            d.held.pop_front();
            continue;
        }
        ssize_t n = send(d.to, c.data.data() + c.off, c.data.size() - c.off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            close_pair(p);
            return false;
        }
        c.off += static_cast<size_t>(n);
        d.held_bytes -= static_cast<size_t>(n);
        if (c.off == c.data.size()) d.held.pop_front();
    }
    if (!d.held.empty() && d.held.front().due > now) arm_timer(d.held.front().due);
    if (p.ab.write_closed && p.ba.write_closed) {
        close_pair(p);
        return false;
    }
    return true;
}

void read_side(pair_conn &p, int fd, ns_t now) {
    direction &d = (fd == p.a) ? p.ab : p.ba;
    if (d.read_closed) {
        // Both directions of this socket are finished (hang-up): stop
        // watching it so the loop does not spin until the pair closes.
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    char buf[65536];
    for (;;) {
        if (d.held_bytes >= max_held) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            d.held.push_back(chunk{now + delay, std::string(buf, static_cast<size_t>(n))});
            d.held_bytes += static_cast<size_t>(n);
            arm_timer(now + delay);
            continue;
        }
        if (n == 0) {
            d.read_closed = true;
            d.held.push_back(chunk{now + delay, std::string()});
            arm_timer(now + delay);
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        close_pair(p);
        return;
    }
}

void accept_on(int lfd, uint16_t port) {
    for (;;) {
        int a = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK);
        if (a < 0) return;
        int b = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr = target;
        set_nodelay(a);
        set_nodelay(b);
        int r = connect(b, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        if (r < 0 && errno != EINPROGRESS) {
            close(a);
            close(b);
            continue;
        }
        auto p = std::make_shared<pair_conn>();
        p->a = a;
        p->b = b;
        p->ab.from = a; p->ab.to = b;
        p->ba.from = b; p->ba.to = a;
        conns[a] = p;
        conns[b] = p;
        epoll_event ev{};
        ev.data.fd = a;
        ev.events = 0;  // read the client once the target is connected
        epoll_ctl(ep, EPOLL_CTL_ADD, a, &ev);
        ev.data.fd = b;
        ev.events = EPOLLOUT;
        epoll_ctl(ep, EPOLL_CTL_ADD, b, &ev);
    }
}

int listen_on(const in_addr &addr, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 128) != 0) {
        std::fprintf(stderr, "latproxy: cannot listen on port %u: %s\n", port, std::strerror(errno));
        std::exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: latproxy DELAY_US LISTEN_ADDR TARGET_ADDR PORT|LOW-HIGH...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    delay = std::atoll(argv[1]) * 1000;
    in_addr laddr{};
    if (inet_pton(AF_INET, argv[2], &laddr) != 1 || inet_pton(AF_INET, argv[3], &target) != 1) {
        std::fprintf(stderr, "latproxy: bad address\n");
        return 2;
    }
    ep = epoll_create1(0);
    tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
    epoll_event tev{};
    tev.events = EPOLLIN;
    tev.data.fd = tfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, tfd, &tev);
    for (int i = 4; i < argc; ++i) {
        long lo = 0, hi = 0;
        if (std::sscanf(argv[i], "%ld-%ld", &lo, &hi) != 2) hi = lo = std::atol(argv[i]);
        for (long p = lo; p <= hi; ++p) {
            int fd = listen_on(laddr, static_cast<uint16_t>(p));
            listeners[fd] = static_cast<uint16_t>(p);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
    }
    std::vector<epoll_event> evs(256);
    for (;;) {
        int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        ns_t now = now_ns();
        std::vector<std::shared_ptr<pair_conn>> touched;
        bool timer = false;
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == tfd) {
                uint64_t x;
                while (read(tfd, &x, sizeof x) > 0) {}
                armed = 0;
                timer = true;
                continue;
            }
            auto l = listeners.find(fd);
            if (l != listeners.end()) {
                accept_on(fd, l->second);
                continue;
            }
            auto c = conns.find(fd);
            if (c == conns.end()) continue;
            auto p = c->second;
            if (p->dead) continue;
            if (fd == p->b && !p->connected) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    close_pair(*p);
                    continue;
                }
                p->connected = true;
            }
            if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_side(*p, fd, now);
            touched.push_back(p);
        }
        if (timer) {
            // Every pair may hold chunks that are now due.
            std::vector<std::shared_ptr<pair_conn>> all;
            for (auto &[fd, p] : conns)
                if (fd == p->a) all.push_back(p);
            touched.insert(touched.end(), all.begin(), all.end());
        }
        now = now_ns();
        for (auto &p : touched) {
            if (p->dead) continue;
            if (!flush(*p, p->ab, now)) continue;
            if (!flush(*p, p->ba, now)) continue;
            update_events(*p, p->a, now);
            update_events(*p, p->b, now);
        }
    }
}
