// OpenSSH's sshd as a private SFTP server for publishing tests: its own free
// port on 127.0.0.1 (and ::1 when asked), its own ed25519 host key, one
// unprivileged account chrooted to a private folder, so that folder modes
// count (root ignores them).
//
//   vt::Sshd ssh;
//   ssh.make_dir("htdocs");                  // owned by the account
//   ... sftp://127.0.0.1:PORT/htdocs/index.html with ssh.user(), ssh.pass()
//       (or ssh.key()), trusting ssh.known_hosts() ...
//   read_file(ssh.path("htdocs/index.html"))
//
// The account sees root() as "/", which belongs to root: it can write only in
// the folders made with make_dir(). Its session starts in Options::home. The
// folder "dev" under root() holds the socket through which the SFTP server
// logs (see log()).
//
// Needs root: sshd runs as root and logs the account in through a chroot.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace vt {

// Client keys and host keys made with ssh-keygen once per test program.
struct SshKeys {
    std::string key;         // ed25519 private key, OpenSSH format, no passphrase (mode 0600)
    std::string key_pub;
    std::string key_with_passphrase;  // ed25519 private key protected by `passphrase`
    std::string key_with_passphrase_pub;
    std::string passphrase;
    std::string stranger_pub;  // a host key that no test server has: ssh-ed25519 AAAA...
};
const SshKeys &ssh_test_keys();

// Makes an ed25519 key pair: path and path + ".pub".
void make_ssh_key(const std::string &path, const std::string &passphrase = "");
// "SHA256:..." as ssh-keygen -l prints it, for a public key file.
std::string ssh_fingerprint(const std::string &pub_file);

// The account the sshd logs in (created with useradd on first use, its
// password set on each start of a test program).
constexpr const char *sftp_account = "vantor-sftp";
constexpr const char *sftp_password = "secreto";

// Connects to host:port until the server sends its "SSH-2.0-" banner;
// returns the banner line, or throws after the limit (at once when server
// is given and has ended).
std::string wait_for_ssh_banner(const std::string &host, int port, int limit_ms,
                                Process *server = nullptr);

class Sshd {
public:
    struct Options {
        // Listen on ::1 too, at the same port.
        bool ipv6 = false;
        // The folder the session starts in ("~" in a URL), relative to
        // root(); created and given to the account. Empty: "/".
        std::string home;
        // sshd's LogLevel: VERBOSE logs each login ("Accepted password for
        // ...", "Failed password for ...", "Connection closed by ...
        // [preauth]"); DEBUG1 adds every authentication request.
        std::string log_level = "VERBOSE";
        // The SFTP server's (-l): VERBOSE logs open, close, mkdir, rename,
        // remove, opendir with their paths and the status of each refusal
        // ("sent status No such file"); DEBUG1 adds each write and stat.
        std::string sftp_log_level = "VERBOSE";
        // More sshd_config lines, after the harness's own.
        std::vector<std::string> extra_config;
    };
    Sshd() : Sshd(Options{}) {}
    explicit Sshd(const Options &o);
    ~Sshd();
    Sshd(const Sshd &) = delete;
    Sshd &operator=(const Sshd &) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    std::string user() const { return sftp_account; }
    std::string pass() const { return sftp_password; }
    // The local folder the account sees as "/".
    const std::string &root() const { return root_; }
    // root() + "/" + rel
    std::string path(const std::string &rel) const;
    // Creates root()/rel and its missing parents, owned by the account.
    void make_dir(const std::string &rel) const;
    // Gives root()/rel (file or folder) to the account.
    void give(const std::string &rel) const;

    // Key login: ssh_test_keys()'s keys are authorized for the account.
    std::string key() const { return ssh_test_keys().key; }
    std::string key_with_passphrase() const { return ssh_test_keys().key_with_passphrase; }
    std::string passphrase() const { return ssh_test_keys().passphrase; }

    // known_hosts files for this server, one line per address it listens on
    // ("[127.0.0.1]:PORT ssh-ed25519 ...", from ssh-keyscan):
    const std::string &known_hosts() const { return known_hosts_; }
    // the same with the names hashed (ssh-keygen -H: "|1|salt|hash ..."),
    const std::string &hashed_known_hosts() const { return hashed_known_hosts_; }
    // the same names with another key, as after a change of host key.
    const std::string &wrong_known_hosts() const { return wrong_known_hosts_; }
    // The host key's "SHA256:..." fingerprint.
    std::string fingerprint() const;

    // sshd's log and the SFTP server's requests ("internal-sftp[PID]: open
    // \"/htdocs/a.txt\" flags WRITE,CREATE,TRUNCATE mode 0100644") so far.
    std::string log() const;
    // Waits until the log holds needle past its first `from` bytes (the SFTP
    // server's lines come a moment after the client is served). False after
    // the limit.
    bool wait_for_log(const std::string &needle, std::chrono::milliseconds limit,
                      size_t from = 0) const;
    // Stops sshd and every session it started.
    void stop();

private:
    void start(const Options &o, const std::string &host_key, const std::string &authorized);
    void log_sftp_requests(int fd);

    std::string base_;  // everything private: configuration, keys, log, root
    std::string root_, log_file_, known_hosts_, hashed_known_hosts_, wrong_known_hosts_;
    int port_ = 0;
    std::unique_ptr<Process> proc_;
    std::atomic<bool> stopping_{false};
    std::thread syslog_;
};

}  // namespace vt
