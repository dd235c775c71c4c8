#include "support/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace vt {

namespace {

bool accepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

Relay::Relay(int port, int round_trip_ms) : port_(port)
{
    Spawn s;
    s.program = VANTOR_LATPROXY;
    s.args = {std::to_string(round_trip_ms * 500), "127.0.0.2", "127.0.0.1", std::to_string(port)};
    s.timeout = std::chrono::hours(1);
    proc_ = std::make_unique<Process>(s);
    for (int i = 0; i < 200; ++i) {
        if (accepts(port))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the latency relay did not start: " + proc_->err_so_far());
}

}  // namespace vt
