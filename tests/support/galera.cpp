#include "support/galera.h"

#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <thread>

namespace vt {

namespace {

using namespace std::chrono_literals;

constexpr const char *provider = "/usr/lib/galera/libgalera_smm.so";

bool synced(const std::string &socket)
{
    try {
        Rows r = mariadb_parts::root_query(socket, "SHOW STATUS LIKE 'wsrep_local_state_comment'", false);
        return r.size() == 1 && r[0].size() == 2 && r[0][1] == "Synced";
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace

GaleraCluster::GaleraCluster()
{
    if (access(provider, R_OK) != 0)
        throw std::runtime_error(std::string("no Galera provider at ") + provider +
                                 " (package galera-4)");
    // A few tries: another test program may take a port meanwhile.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (try_start())
            return;
    }
    std::string l = logs();
    stop();
    throw std::runtime_error("the private Galera cluster did not start:\n" + l);
}

GaleraCluster::~GaleraCluster()
{
    stop();
}

GaleraCluster::Node &GaleraCluster::at(int node)
{
    if (node != 1 && node != 2)
        throw std::invalid_argument("Galera nodes are 1 and 2");
    return nodes_[node - 1];
}

const GaleraCluster::Node &GaleraCluster::at(int node) const
{
    return const_cast<GaleraCluster *>(this)->at(node);
}

int GaleraCluster::port(int node) const
{
    return at(node).port;
}

void GaleraCluster::start_node(int node, bool bootstrap)
{
    Node &n = at(node);
    Spawn srv;
    srv.program = "mariadbd";
    srv.args = mariadb_parts::server_args(n.folder, n.socket, n.port);
    const std::string gcomm = "127.0.0.1:" + std::to_string(n.gcomm_port);
    // The name keeps a node from joining another program's cluster on a
    // port that was reused.
    const std::string name = dir_->path().substr(dir_->path().rfind('/') + 1);
    const std::vector<std::string> wsrep = {
        "--wsrep-on=ON",
        std::string("--wsrep-provider=") + provider,
        "--wsrep-cluster-name=" + name,
        "--wsrep-cluster-address=gcomm://127.0.0.1:" + std::to_string(nodes_[0].gcomm_port) +
            ",127.0.0.1:" + std::to_string(nodes_[1].gcomm_port),
        "--wsrep-node-name=node" + std::to_string(node),
        "--wsrep-node-address=" + gcomm,
        // A small cache (the default is a 128 MB file per node); a node that has
        // lost its peer stays primary, so kill() leaves a working node.
        "--wsrep-provider-options=base_port=" + std::to_string(n.gcomm_port) +
            ";gcache.size=8M;pc.ignore_sb=true",
        "--wsrep-sst-method=rsync",
        "--wsrep-sst-receive-address=127.0.0.1:" + std::to_string(n.sst_port),
        "--binlog-format=ROW",
        "--innodb-autoinc-lock-mode=2",
    };
    srv.args.insert(srv.args.end(), wsrep.begin(), wsrep.end());
    if (bootstrap)
        srv.args.push_back("--wsrep-new-cluster");
    srv.log_file = n.folder + "/stdout.log";
    srv.timeout = std::chrono::hours(24);
    n.server = std::make_unique<Process>(srv);
}

bool GaleraCluster::try_start()
{
    for (Node &n : nodes_)
        n.server.reset();
    dir_ = std::make_unique<TempDir>("vantor-galera");
    for (int i = 1; i <= 2; ++i) {
        Node &n = at(i);
        n.folder = dir_->path() + "/node" + std::to_string(i);
        n.socket = n.folder + "/mariadbd.sock";
        make_dirs(n.folder);
        n.port = free_port();
        n.gcomm_port = free_port_range(2);
        n.sst_port = free_port();
    }
    mariadb_parts::install(at(1).folder);
    // Node 2 receives everything from node 1. The rsync daemon that writes
    // the copy runs as nobody when we are root.
    make_dirs(at(2).folder + "/data");
    if (running_as_root()) {
        Credentials c = unprivileged();
        if (chown((at(2).folder + "/data").c_str(), c.uid, c.gid) != 0)
            throw std::runtime_error("cannot give node 2's data folder to nobody");
    }

    // Both at once: node 2 keeps calling node 1 until node 1 has formed the
    // cluster, and starts its transfer then; meanwhile node 1 gets the
    // database and the account, which node 2's copy then holds.
    start_node(1, true);
    start_node(2, false);
    if (!mariadb_parts::wait_for_socket(*at(1).server, at(1).socket, at(1).folder + "/error.log", 60s))
        return false;  // e.g. a port was taken: try others
    mariadb_parts::root_query(at(1).socket, "CREATE DATABASE vantor", false);
    for (const char *h : {"%", "localhost"}) {
        std::string who = sql_text(user()) + "@" + sql_text(h);
        query(1, "CREATE USER " + who + " IDENTIFIED BY " + sql_text(password()));
        query(1, "GRANT ALL PRIVILEGES ON vantor.* TO " + who);
    }

    auto end = std::chrono::steady_clock::now() + 120s;
    for (int i = 1; i <= 2; ++i) {
        Node &n = at(i);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (!mariadb_parts::wait_for_socket(*n.server, n.socket, n.folder + "/error.log", left))
            return false;
        while (!synced(n.socket)) {
            if (!n.server->running())
                return false;
            if (std::chrono::steady_clock::now() > end)
                throw std::runtime_error("Galera node " + std::to_string(i) + " is not Synced\n" + logs());
            std::this_thread::sleep_for(20ms);
        }
    }
    // The account, the way vantor connects, on both.
    for (int i = 1; i <= 2; ++i)
        session(i).query("SELECT 1");
    return true;
}

Rows GaleraCluster::query(int node, const std::string &sql) const
{
    return mariadb_parts::root_query(at(node).socket, sql);
}

SqlSession GaleraCluster::session(int node) const
{
    return SqlSession(at(node).port, user(), password());
}

void GaleraCluster::kill(int node)
{
    Node &n = at(node);
    if (!n.server)
        return;
    n.server->signal(SIGKILL);
    n.server->wait();
    n.server.reset();
    // The survivor notices after its suspect timeout (5 s) and then forms a
    // cluster of its own.
    const Node &other = at(3 - node);
    if (!other.server)
        return;
    auto end = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        try {
            Rows r = mariadb_parts::root_query(
                other.socket,
                "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
                "('wsrep_cluster_size', 'wsrep_cluster_status') ORDER BY VARIABLE_NAME",
                false);
            if (r == Rows{{"1"}, {"Primary"}})
                return;
        } catch (const std::exception &) {
        }
        if (std::chrono::steady_clock::now() > end)
            throw std::runtime_error("the other Galera node did not go on alone\n" + logs());
        std::this_thread::sleep_for(50ms);
    }
}

void GaleraCluster::stop()
{
    // The data is thrown away: no need for a clean shutdown. The process
    // group goes too (a state transfer's rsync daemon).
    for (Node &n : nodes_)
        n.server.reset();
    dir_.reset();
}

std::string GaleraCluster::log(int node) const
{
    try {
        return read_file(at(node).folder + "/error.log");
    } catch (const std::exception &) {
        return "";
    }
}

std::string GaleraCluster::logs() const
{
    if (!dir_)
        return "";
    return "--- node 1:\n" + log(1) + "--- node 2:\n" + log(2);
}

}  // namespace vt
