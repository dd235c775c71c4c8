#include "support/mariadb.h"

#include <mysql.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace vt {

namespace {

using namespace std::chrono_literals;

// An open client connection, closed when it goes.
struct Conn {
    MYSQL *m = nullptr;
    ~Conn()
    {
        if (m)
            mysql_close(m);
    }
};

// Connects with utf8mb4; an empty socket means TCP to host:port. Returns
// false with the error text in *why when it fails.
bool connect(Conn &c, const std::string &host, int port, const std::string &sock,
             const std::string &user, const std::string &pass, const char *db, std::string *why)
{
    c.m = mysql_init(nullptr);
    if (!c.m) {
        *why = "mysql_init failed";
        return false;
    }
    mysql_options(c.m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    unsigned int timeout = 10;
    mysql_options(c.m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!sock.empty()) {
        unsigned int proto = MYSQL_PROTOCOL_SOCKET;
        mysql_options(c.m, MYSQL_OPT_PROTOCOL, &proto);
    }
    if (!mysql_real_connect(c.m, sock.empty() ? host.c_str() : "localhost", user.c_str(),
                            pass.c_str(), db, static_cast<unsigned>(port),
                            sock.empty() ? nullptr : sock.c_str(), 0)) {
        *why = mysql_error(c.m);
        return false;
    }
    return true;
}

Rows run_query(MYSQL *m, const std::string &sql)
{
    if (mysql_real_query(m, sql.data(), sql.size()) != 0)
        throw std::runtime_error(mysql_error(m));
    Rows rows;
    MYSQL_RES *res = mysql_store_result(m);
    if (!res) {
        if (mysql_field_count(m) != 0)
            throw std::runtime_error(mysql_error(m));
        return rows;
    }
    unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        unsigned long *len = mysql_fetch_lengths(res);
        Row row;
        for (unsigned i = 0; i < n; ++i) {
            if (r[i])
                row.emplace_back(std::string(r[i], len[i]));
            else
                row.emplace_back(std::nullopt);
        }
        rows.push_back(std::move(row));
    }
    mysql_free_result(res);
    return rows;
}

}  // namespace

std::string sql_text(const std::string &v)
{
    std::string r = "'";
    for (char c : v) {
        if (c == '\'' || c == '\\')
            r += '\\';
        r += c;
    }
    return r + "'";
}

MariaDb::MariaDb()
{
    // A few tries: another test program may take the port meanwhile.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (try_start())
            return;
    }
    std::string l = dir_ ? log() : "";
    stop();
    throw std::runtime_error("the private MariaDB server did not start:\n" + l);
}

MariaDb::~MariaDb()
{
    stop();
}

namespace mariadb_parts {

void install(const std::string &d)
{
    Spawn install;
    install.program = "mariadb-install-db";
    install.args = {"--no-defaults", "--datadir=" + d + "/data",
                    "--auth-root-authentication-method=normal", "--skip-test-db",
                    // Go on where the host name does not resolve (a bare
                    // chroot or container without /etc/hosts).
                    "--force",
                    // Its own temporary folder: a shared /tmp has been seen
                    // to make the installation fail now and then.
                    "--tmpdir=" + d,
                    "--innodb-buffer-pool-size=16M", "--innodb-log-file-size=4M"};
    if (running_as_root())
        install.args.push_back("--user=root");
    install.log_file = d + "/install.log";
    install.timeout = 120s;
    Outcome io = run(install);
    if (io.status != 0 || io.signal)
        throw std::runtime_error("mariadb-install-db failed:\n" + read_file(d + "/install.log"));
}

std::vector<std::string> server_args(const std::string &d, const std::string &socket, int port)
{
    // Debian's server settings for character set and collation, so the
    // tables made here behave as on an installed server.
    std::vector<std::string> args = {"--no-defaults",
                                     "--datadir=" + d + "/data",
                                     "--socket=" + socket,
                                     "--port=" + std::to_string(port),
                                     "--bind-address=127.0.0.1",
                                     "--skip-name-resolve",
                                     "--pid-file=" + d + "/mariadbd.pid",
                                     "--log-error=" + d + "/error.log",
                                     "--tmpdir=" + d,
                                     "--character-set-server=utf8mb4",
                                     "--collation-server=utf8mb4_general_ci",
                                     "--innodb-buffer-pool-size=16M",
                                     "--innodb-log-file-size=4M",
                                     "--innodb-flush-log-at-trx-commit=2",
                                     "--innodb-doublewrite=0",
                                     "--skip-log-bin",
                                     "--max-connections=50"};
    if (running_as_root())
        args.push_back("--user=root");
    return args;
}

bool wait_for_socket(Process &server, const std::string &socket, const std::string &log_file,
                     std::chrono::milliseconds limit)
{
    std::string why;
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (!server.running())
            return false;
        if (access(socket.c_str(), F_OK) == 0) {
            Conn c;
            if (connect(c, "", 0, socket, "root", "", nullptr, &why))
                return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    std::string l;
    try {
        l = read_file(log_file);
    } catch (const std::exception &) {
    }
    throw std::runtime_error("MariaDB did not answer on its socket: " + why + "\n" + l);
}

Rows root_query(const std::string &socket, const std::string &sql, bool in_vantor)
{
    Conn c;
    std::string why;
    if (!connect(c, "", 0, socket, "root", "", in_vantor ? "vantor" : nullptr, &why))
        throw std::runtime_error(why);
    return run_query(c.m, sql);
}

}  // namespace mariadb_parts

bool MariaDb::try_start()
{
    server_.reset();
    dir_ = std::make_unique<TempDir>("vantor-mariadb");
    const std::string d = dir_->path();
    socket_ = d + "/mariadbd.sock";
    mariadb_parts::install(d);

    port_ = free_port();
    Spawn srv;
    srv.program = "mariadbd";
    srv.args = mariadb_parts::server_args(d, socket_, port_);
    srv.log_file = d + "/stdout.log";
    srv.timeout = std::chrono::hours(24);
    server_ = std::make_unique<Process>(srv);

    // Ready when root gets in over the socket.
    if (!mariadb_parts::wait_for_socket(*server_, socket_, d + "/error.log", 60s))
        return false;  // e.g. the port was taken: try another

    mariadb_parts::root_query(socket_, "CREATE DATABASE vantor", false);
    add_account(user(), password(), "ALL PRIVILEGES");

    // And the account over TCP, the way vantor connects.
    Conn t;
    std::string why;
    if (!connect(t, host(), port_, "", user(), password(), "vantor", &why))
        throw std::runtime_error("TCP login to the private MariaDB failed: " + why);
    return true;
}

Rows MariaDb::query(const std::string &sql) const
{
    return mariadb_parts::root_query(socket_, sql);
}

Rows MariaDb::query_as(const std::string &user, const std::string &pass,
                       const std::string &sql) const
{
    Conn c;
    std::string why;
    if (!connect(c, host(), port_, "", user, pass, "vantor", &why))
        throw std::runtime_error(why);
    return run_query(c.m, sql);
}

void MariaDb::add_account(const std::string &user, const std::string &pass,
                          const std::string &privileges) const
{
    for (const char *h : {"%", "localhost"}) {
        std::string who = sql_text(user) + "@" + sql_text(h);
        query("CREATE USER " + who + " IDENTIFIED BY " + sql_text(pass));
        if (!privileges.empty())
            query("GRANT " + privileges + " ON vantor.* TO " + who);
    }
}

std::string MariaDb::log() const
{
    try {
        return read_file(dir_->path() + "/error.log");
    } catch (const std::exception &) {
        return "";
    }
}

void MariaDb::stop()
{
    if (server_) {
        server_->stop(std::chrono::milliseconds(20000));
        server_.reset();
    }
    dir_.reset();
}

SqlSession::SqlSession(int port, const std::string &user, const std::string &pass)
{
    Conn c;
    std::string why;
    if (!connect(c, "127.0.0.1", port, "", user, pass, "vantor", &why))
        throw std::runtime_error(why);
    m_ = c.m;
    c.m = nullptr;
}

SqlSession::SqlSession(SqlSession &&o) noexcept : m_(o.m_), errno_(o.errno_)
{
    o.m_ = nullptr;
}

SqlSession::~SqlSession()
{
    if (m_)
        mysql_close(static_cast<MYSQL *>(m_));
}

Rows SqlSession::query(const std::string &sql)
{
    MYSQL *m = static_cast<MYSQL *>(m_);
    try {
        Rows r = run_query(m, sql);
        errno_ = 0;
        return r;
    } catch (const std::exception &) {
        errno_ = mysql_errno(m);
        throw;
    }
}

long long SqlSession::affected() const
{
    return static_cast<long long>(mysql_affected_rows(static_cast<MYSQL *>(m_)));
}

MariaDb &shared_mariadb()
{
    static std::unique_ptr<MariaDb> server;
    if (!server)
        server = std::make_unique<MariaDb>();
    return *server;
}

}  // namespace vt
