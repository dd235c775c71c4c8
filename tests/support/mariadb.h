// A private MariaDB server for the tests: own data folder, own socket, own
// free port on 127.0.0.1, a database `vantor` and a password account that may
// do anything in it, over TCP and over the socket.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace vt {

using Row = std::vector<std::optional<std::string>>;  // NULL is nullopt
using Rows = std::vector<Row>;

class MariaDb {
public:
    // Installs a data folder and starts the server; returns when it accepts
    // TCP logins. Throws when it cannot.
    MariaDb();
    // Stops the server and removes its folder.
    ~MariaDb();
    MariaDb(const MariaDb &) = delete;
    MariaDb &operator=(const MariaDb &) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    std::string user() const { return "vantor"; }
    std::string password() const { return "clave-de-prueba"; }
    std::string database() const { return "vantor"; }
    const std::string &socket() const { return socket_; }
    const std::string &folder() const { return dir_->path(); }

    // Runs one statement as root, on the socket, in database `vantor`, with
    // utf8mb4. Rows come back as text (NULL as nullopt); a statement without
    // a result gives no rows. Throws std::runtime_error with the server's
    // error text when it fails.
    Rows query(const std::string &sql) const;
    // The same as another account, over TCP.
    Rows query_as(const std::string &user, const std::string &pass, const std::string &sql) const;

    // Creates user@'%' and user@'localhost' with the password and grants
    // them `privileges` (e.g. "SELECT, DELETE") on vantor.*; an empty list
    // gives an account with no rights on it (USAGE only).
    void add_account(const std::string &user, const std::string &pass,
                     const std::string &privileges) const;

    // The server's error log, for failure messages.
    std::string log() const;

    void stop();

private:
    bool try_start();

    std::unique_ptr<TempDir> dir_;
    std::string socket_;
    int port_ = 0;
    std::unique_ptr<Process> server_;
};

// One server per test program, started on first use and stopped when the
// program ends.
MariaDb &shared_mariadb();

// Quotes a text as an SQL string literal ('...', with ' and \ escaped).
std::string sql_text(const std::string &v);

// One open client connection (utf8mb4, database `vantor`), for what needs a
// session of its own: a named lock, a transaction, a session variable.
// Closed when it goes.
class SqlSession {
public:
    // Over TCP to 127.0.0.1:port. Throws with the client's error text.
    SqlSession(int port, const std::string &user, const std::string &pass);
    ~SqlSession();
    SqlSession(SqlSession &&o) noexcept;
    SqlSession(const SqlSession &) = delete;
    SqlSession &operator=(const SqlSession &) = delete;
    SqlSession &operator=(SqlSession &&) = delete;

    // As MariaDb::query; the error number of a failure is in last_errno().
    Rows query(const std::string &sql);
    unsigned last_errno() const { return errno_; }
    // Rows changed, matched or inserted by the last statement (ROW_COUNT()).
    long long affected() const;

private:
    void *m_ = nullptr;  // MYSQL *
    unsigned errno_ = 0;
};

// Pieces of a private server that the Galera cluster shares.
namespace mariadb_parts {
// Runs mariadb-install-db into folder/data; throws with its log when it fails.
void install(const std::string &folder);
// The server's options for a data folder folder/data, its socket, port and
// logs in folder.
std::vector<std::string> server_args(const std::string &folder, const std::string &socket, int port);
// Waits until root gets in over the socket; false when the server ended
// first (e.g. its port was taken). Throws after `limit`.
bool wait_for_socket(Process &server, const std::string &socket, const std::string &log_file,
                     std::chrono::milliseconds limit);
// One statement as root over the socket, in database `vantor` when
// `in_vantor`, else in none.
Rows root_query(const std::string &socket, const std::string &sql, bool in_vantor = true);
}  // namespace mariadb_parts

}  // namespace vt
