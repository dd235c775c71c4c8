// A private two-node MariaDB Galera cluster for the tests, on 127.0.0.1:
// node 1 is installed and bootstraps the cluster, node 2 starts empty and
// receives a copy of node 1 by rsync. Each node has its own folder, socket,
// SQL port, replication ports and state-transfer port. The database
// `vantor` and the password account `vantor` (all rights on it, over TCP and
// over the socket) are made through node 1 and replicated to node 2.
#pragma once

#include <memory>
#include <string>

#include "support/files.h"
#include "support/mariadb.h"
#include "support/process.h"

namespace vt {

class GaleraCluster {
public:
    // Starts both nodes; returns when both say Synced and take the account's
    // TCP logins. Throws (with the nodes' logs) when they do not.
    GaleraCluster();
    // Kills what still runs and removes the folders.
    ~GaleraCluster();
    GaleraCluster(const GaleraCluster &) = delete;
    GaleraCluster &operator=(const GaleraCluster &) = delete;

    std::string host() const { return "127.0.0.1"; }
    // Nodes are 1 and 2.
    int port(int node) const;
    std::string user() const { return "vantor"; }
    std::string password() const { return "clave-de-prueba"; }
    std::string database() const { return "vantor"; }

    // One statement as root on the node's socket, in database `vantor`
    // (see MariaDb::query).
    Rows query(int node, const std::string &sql) const;
    // A connection of its own to the node, as the `vantor` account over TCP.
    SqlSession session(int node) const;

    // Kills the node's server with SIGKILL; returns when the other node has
    // noticed (about 6 s) and goes on alone as the cluster, taking reads and
    // writes. (The nodes ignore the loss of quorum, which a cluster of two
    // would otherwise lose with either node.)
    void kill(int node);
    // Kills both nodes and removes the folders.
    void stop();

    // The node's error log, for failure messages.
    std::string log(int node) const;

private:
    struct Node {
        std::string folder;
        std::string socket;
        int port = 0;       // SQL
        int gcomm_port = 0; // replication; the next port receives incremental transfers
        int sst_port = 0;   // rsync daemon of a joining node
        std::unique_ptr<Process> server;
    };

    bool try_start();
    void start_node(int node, bool bootstrap);
    Node &at(int node);
    const Node &at(int node) const;
    std::string logs() const;

    std::unique_ptr<TempDir> dir_;
    Node nodes_[2];
};

}  // namespace vt
