// An SFTP server that answers from a script (paramiko, run by Debian's
// /usr/bin/python3 from scripted_sftp_server.py): for failures a real server
// will not give on demand (a connection cut in the middle of a file, a write
// refused, a request never answered, an open refused once). It logs every
// request per connection and keeps the files in root().
//
//   vt::ScriptedSftp sftp;
//   sftp.make_dir("htdocs");
//   sftp.queue("write", "/htdocs/a.png", vt::SftpAnswer::ok());    // first block lands,
//   sftp.queue("write", "/htdocs/a.png", vt::SftpAnswer::drop());  // then the cut
//   sftp.queue("open", "/htdocs/b.txt", vt::SftpAnswer::no_such_file());
//   ... run vantor against sftp.host(), sftp.port(), trusting sftp.known_hosts() ...
//   EXPECT_EQ(sftp.sessions()[0][0], "password vantor ok");
//
// Requests and their log entries:
//   open     "open /p write,create,truncate"   (the flags the client sent; "read" alone)
//   write    "write /p OFFSET LENGTH"           read "read /p OFFSET LENGTH"
//   close    "close /p"                         (a file's; folders' are not logged)
//   mkdir, rmdir, remove, stat, lstat, setstat, opendir, realpath   "REQUEST /p"
//   rename   "rename /old /new"                 (scripted by the old path)
// plus "password USER ok" or "password USER refused" for each login attempt.
// Without a script each request is carried out in root() (which the client
// sees as "/" and as its login folder); a rename onto an existing file fails
// as with OpenSSH.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace vt {

// How the server answers one request.
struct SftpAnswer {
    enum class Kind {
        Ok,                // carried out as without a script
        NoSuchFile,        // status 2 "No such file"
        PermissionDenied,  // status 3 "Permission denied"
        Failure,           // status 4 "Failure"
        Unsupported,       // status 8 "Operation unsupported"
        Drop,              // the TCP connection is shut at once; nothing more is served
        Stall,             // no answer, ever; the connection stays open
    };
    Kind kind = Kind::Ok;
    std::chrono::milliseconds delay{0};  // waited before the answer (or the cut)

    static SftpAnswer ok(std::chrono::milliseconds delay = {}) { return {Kind::Ok, delay}; }
    static SftpAnswer no_such_file() { return {Kind::NoSuchFile}; }
    static SftpAnswer permission_denied() { return {Kind::PermissionDenied}; }
    static SftpAnswer failure() { return {Kind::Failure}; }
    static SftpAnswer unsupported() { return {Kind::Unsupported}; }
    static SftpAnswer drop() { return {Kind::Drop}; }
    static SftpAnswer stall() { return {Kind::Stall}; }
};

class ScriptedSftp {
public:
    ScriptedSftp();  // listening on 127.0.0.1 at a free port from now on
    ~ScriptedSftp();
    ScriptedSftp(const ScriptedSftp &) = delete;
    ScriptedSftp &operator=(const ScriptedSftp &) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    std::string user() const { return "vantor"; }  // password login only
    std::string pass() const { return "secreto"; }
    // The local folder the client sees as "/".
    const std::string &root() const { return root_; }
    std::string path(const std::string &rel) const { return root_ + "/" + rel; }
    void make_dir(const std::string &rel) const { make_dirs(path(rel)); }

    // "[127.0.0.1]:PORT ssh-ed25519 ..." for the server's ed25519 host key.
    const std::string &known_hosts() const { return known_hosts_; }
    std::string fingerprint() const;  // "SHA256:..."

    // Queued answers are used once each, in queue order: first those for the
    // request with exactly this path (as the client sent it, e.g.
    // "/htdocs/a.txt"), then those for the request with any path. A path may
    // hold neither a tab nor a line feed.
    void queue(const std::string &request, const SftpAnswer &a);
    void queue(const std::string &request, const std::string &path, const SftpAnswer &a);

    // Log entries, per connection in order of connection.
    std::vector<std::vector<std::string>> sessions() const;
    // All entries of all connections, in order of connection.
    std::vector<std::string> requests() const;
    int connections() const;
    // Waits until some connection has logged an entry that starts with
    // prefix (e.g. "write /htdocs/a.txt"). False after the limit.
    bool wait_for_request(const std::string &prefix, std::chrono::milliseconds limit) const;
    // Waits until every connection so far has ended. False after the limit.
    bool wait_for_disconnect(std::chrono::milliseconds limit) const;

    void stop();

private:
    struct Log {
        std::vector<std::vector<std::string>> sessions;
        std::vector<bool> ended;
    };
    Log read_log() const;

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<Process> proc_;
    std::string root_, script_, log_file_, known_hosts_;
    int port_ = 0;
    std::mutex mu_;
    std::string script_text_;
    int queued_ = 0;
};

}  // namespace vt
