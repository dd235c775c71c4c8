// Real FTP servers for publishing tests, each private to the test program:
// its own free port on 127.0.0.1, its own root folder, one account.
//
//   vt::PyFtpd ftp({.unprivileged = true});
//   ftp.make_dir("htdocs");                 // owned by the server's user
//   config.set("ftpserver", ftp.host()).set("ftpport", std::to_string(ftp.port()))
//         .set("ftpuser", ftp.user()).set("ftppass", ftp.pass())
//         .set("remoteroot", "/htdocs");
//   ... run vantor ...; read_file(ftp.path("htdocs/index.html"))
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace vt {

// Common face of the servers below.
class FtpDaemon {
public:
    virtual ~FtpDaemon();
    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    const std::string &user() const { return user_; }
    const std::string &pass() const { return pass_; }
    // The local folder that the account sees as "/".
    const std::string &root() const { return root_; }
    // root() + "/" + rel
    std::string path(const std::string &rel) const;
    // Creates root()/rel and its missing parents, owned by the user the
    // server writes as.
    void make_dir(const std::string &rel) const;
    // Gives root()/rel (file or folder) to that user.
    void give(const std::string &rel) const;
    // What the server wrote to its log so far.
    std::string log() const;
    void stop();

protected:
    FtpDaemon() = default;
    // Starts the program that make() gives for a free port and waits for
    // its greeting; tries other ports when the server dies at once.
    void start(const std::function<Spawn(int port)> &make);

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<Process> proc_;
    std::string root_, user_, pass_, log_file_;
    int port_ = 0;
    bool owned_ = false;  // files must belong to nobody:nogroup
};

// pyftpdlib run by Debian's /usr/bin/python3.
class PyFtpd : public FtpDaemon {
public:
    struct Options {
        std::string user = "vantor";
        std::string pass = "secreto";
        // Run the server as nobody:nogroup, with its root owned by that user,
        // so that folder modes count (root ignores them). Needs root.
        bool unprivileged = false;
        // Idle timeout of a control connection in seconds; 0 keeps
        // pyftpdlib's 300 (it does not fire reliably anyway).
        double idle_timeout = 0;
        // Delay before the 530 of a wrong password (pyftpdlib's is 3 s).
        double auth_failed_delay = 3;
    };
    PyFtpd() : PyFtpd(Options{}) {}
    explicit PyFtpd(const Options &o);
};

// pure-ftpd with one PureDB virtual user (a $6$ hash, which logs in fast),
// chrooted to its root, in the foreground under our control.
class PureFtpd : public FtpDaemon {
public:
    struct Options {
        std::string user = "vantor";
        std::string pass = "secreto";
        // Idle timeout of a control connection in seconds; 0 keeps the 15
        // minutes default. pure-ftpd counts whole minutes only (-I), so a
        // shorter one runs it with -I 1 under libfaketime with the clock
        // sped up by 60/idle_seconds: every other timer of the server runs
        // that much faster too.
        double idle_seconds = 0;
        std::vector<std::string> extra_args;  // more pure-ftpd flags
    };
    PureFtpd() : PureFtpd(Options{}) {}
    explicit PureFtpd(const Options &o);
};

// Connects to host:port and reads the greeting (up to its last "220 " line).
// Returns the greeting, or throws after the limit.
std::string wait_for_ftp_greeting(const std::string &host, int port, int limit_ms,
                                  Process *server = nullptr);

}  // namespace vt
