// Real FTP servers for publishing tests, each private to the test program:
// its own free port on 127.0.0.1, its own root folder, one account.
//
//   vt::PyFtpd ftp({.unprivileged = true});
//   ftp.make_dir("htdocs");                 // owned by the server's user
//   config.set("ftpserver", ftp.host()).set("ftpport", std::to_string(ftp.port()))
//         .set("ftpuser", ftp.user()).set("ftppass", ftp.pass())
//         .set("remoteroot", "/htdocs");
//   ... run vantor ...; read_file(ftp.path("htdocs/index.html"))
//
// Over TLS, with the harness's own certificate (support/certificates.h):
//
//   vt::PyFtpd::Options o;
//   o.tls = "explicit";                   // or "implicit"
//   o.tls_control_required = o.tls_data_required = true;
//   vt::PyFtpd ftps(o);                   // or PureFtpd with Options::tls = 2
//   config.set("ftptls", "explicit").set("ftpcafile", vt::test_certificates().server.cert);
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/certificates.h"
#include "support/files.h"
#include "support/process.h"

namespace vt {

// Common face of the servers below.
class FtpDaemon {
public:
    virtual ~FtpDaemon();
    // The address it listens on, as a client names it: "127.0.0.1" or "::1".
    std::string host() const { return host_; }
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
    // its greeting (only for the port to accept when the server speaks TLS
    // from the first byte); tries other ports when the server dies at once.
    void start(const std::function<Spawn(int port)> &make);

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<Process> proc_;
    std::string host_ = "127.0.0.1";
    std::string root_, user_, pass_, log_file_;
    bool implicit_tls_ = false;
    int port_ = 0;
    bool owned_ = false;  // files must belong to nobody:nogroup
};

// pyftpdlib run by Debian's /usr/bin/python3. Its log() holds every command
// and reply ("<- USER vantor", "-> 230 ...", "<- PASS ******").
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
        // "127.0.0.1", or "::1" to listen on IPv6 only.
        std::string host = "127.0.0.1";
        // "no"; "explicit": AUTH TLS offered on the control connection,
        // PBSZ/PROT for the data connections; "implicit": TLS from the first
        // byte of every connection, the greeting after the handshake.
        std::string tls = "no";
        // Key and certificate in one PEM; empty: test_certificates().server.
        std::string certificate;
        // Explicit TLS: USER and PASS before AUTH TLS get "550 SSL/TLS
        // required on the control channel." (and the connection stays).
        bool tls_control_required = false;
        // PASV/EPSV before "PROT P" get "550 SSL/TLS required on the data
        // channel.": no clear data connection.
        bool tls_data_required = false;
        // More connections than this from one address are greeted with
        // "421 Too many connections from the same IP address." and closed;
        // 0: no limit.
        int max_cons_per_ip = 0;
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
        // TLS level (-Y): 0 none, 1 AUTH TLS allowed, 2 required before
        // login (a clear USER gets "421 Please reconnect using TLS security
        // mechanisms."), 3 required for the data connections too. Always
        // explicit: pure-ftpd has no implicit mode.
        int tls = 0;
        // Key and certificate in one PEM (-2); empty: test_certificates().server.
        std::string certificate;
        std::vector<std::string> extra_args;  // more pure-ftpd flags
    };
    PureFtpd() : PureFtpd(Options{}) {}
    explicit PureFtpd(const Options &o);
};

// vsftpd 3.0.3 and proftpd 1.3.8 from Debian's packages, unpacked but not
// installed: tests/support/fetch-ftpds.sh DIR puts them in DIR, which is
// $VANTOR_FTPDS or else the build tree's ftpds folder. Constructing either
// server throws, naming the script, when they are not there. Both need root,
// run the account as nobody:nogroup (so file and folder modes count: a file
// given to that user and made 0444 refuses an upload) and log every command
// with its reply code in log().
std::string ftpds_dir();

// What both take: the account, a private root given to nobody:nogroup, the
// TLS mode, and a configuration file written for the port they start on.
class UnpackedFtpd : public FtpDaemon {
public:
    struct Options {
        std::string user = "vantor";
        std::string pass = "secreto";
        // "no"; "explicit": AUTH TLS required before the login, PROT P for
        // data; "implicit": TLS from the first byte of every connection.
        std::string tls = "no";
        // Key and certificate in one PEM; empty: test_certificates().server.
        std::string certificate;
        // More configuration lines; later lines win.
        std::vector<std::string> config;
    };

protected:
    // `name`: the program in usr/sbin, the stem of the folder and of the
    // configuration file; `kind`: the class, named when tls is wrong.
    UnpackedFtpd(const Options &o, const std::string &name, const char *kind);
    // Starts `how` with text(port, first of 16 passive ports) and o.config
    // in conf_file_.
    void start_configured(const Options &o, const std::function<std::string(int port, int low)> &text,
                          const Spawn &how);

    std::string program_, conf_file_, certificate_;
};

// vsftpd with one virtual account (PAM's pam_userdb, read through a private
// PAM folder; see vsftpd_shim.c), chrooted to its root. log() has
// `FTP command: Client "127.0.0.1", "STOR f.txt"` and
// `FTP response: Client "127.0.0.1", "226 Transfer complete."` lines. A clear
// login under explicit TLS gets "530 Non-anonymous sessions must use
// encryption.". Extra lines like "idle_session_timeout=2".
class VsFtpd : public UnpackedFtpd {
public:
    struct Options : UnpackedFtpd::Options {
        // With TLS, data connections must resume the control connection's
        // TLS session (vsftpd's default). The server speaks TLS 1.2 at most:
        // under TLS 1.3 vsftpd 3.0.3 refuses the second and later resumptions.
        bool require_ssl_reuse = true;
    };
    VsFtpd() : VsFtpd(Options{}) {}
    explicit VsFtpd(const Options &o);
};

// proftpd with one account in an AuthUserFile ($6$ hash), DefaultRoot ~.
// log() has its ExtendedLog: `[date] "STOR f.txt" 226` for every command.
// TLS through mod_tls: "550 SSL/TLS required on the control channel" before
// AUTH TLS. Extra lines like "TimeoutIdle 2".
class ProFtpd : public UnpackedFtpd {
public:
    using Options = UnpackedFtpd::Options;
    ProFtpd() : ProFtpd(Options{}) {}
    explicit ProFtpd(const Options &o);
};

// Connects to host:port (an IPv4 or IPv6 address) and reads the greeting (up
// to its last "220 " line). Returns the greeting, or throws after the limit.
std::string wait_for_ftp_greeting(const std::string &host, int port, int limit_ms,
                                  Process *server = nullptr);

}  // namespace vt
