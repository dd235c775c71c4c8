// A private MariaDB server for the tests: own data folder, own socket, own
// free port on 127.0.0.1, a database `vantor` and a password account that may
// do anything in it, over TCP and over the socket.
#pragma once

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

}  // namespace vt
