// A latency relay (bench/latproxy.cpp) in front of a server: what passes
// through it waits half the round trip in each direction, as if the server
// were far away.
//
//   vt::Relay far(vt::shared_mariadb().port(), 20);   // 127.0.0.2:PORT, 20 ms round trip
//   site.config().set("dbserver", far.host());
#pragma once

#include <memory>
#include <string>

#include "support/process.h"

namespace vt {

class Relay {
public:
    // Listens on 127.0.0.2 at the same port as the server on 127.0.0.1.
    Relay(int port, int round_trip_ms);
    std::string host() const { return "127.0.0.2"; }
    int port() const { return port_; }

private:
    int port_;
    std::unique_ptr<Process> proc_;
};

}  // namespace vt
