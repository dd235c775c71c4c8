// An FTP server that answers from a script, in this process, on its own
// threads: for replies real servers will not give on demand (a 550 on the
// first STOR, a 451 after the data, a lost or silent control connection).
// It logs every command line received, per connection, and keeps what was
// stored.
//
//   vt::ScriptedFtp ftp;
//   ftp.queue("STOR", "/htdocs/img/a.png", vt::Reply::line("550 No such directory."));
//   ftp.queue("MKD", "/htdocs/img", vt::Reply::line("550 Missing parent."));
//   ... run vantor against ftp.host(), ftp.port() ...
//   EXPECT_EQ(ftp.sessions()[0], (std::vector<std::string>{"USER vantor", "PASS secreto", ...}));
//   EXPECT_EQ(ftp.stored()[0].bytes, "...");
//
// A reply's delay makes the client wait for it, as a slow server would.
//
// Built-in replies: greeting 220; USER 331; PASS 230; TYPE 200; PASV 227 and
// EPSV 229 with a real data listener on 127.0.0.1; STOR 150, the data read to its end,
// then 226; MKD 257; CWD 250; PWD 257; SYST 215; NOOP 200; QUIT 221 and the
// connection closed; anything else 502. The account is not checked.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {

// One scripted answer to a command. In `text` and `after`, "{arg}" stands
// for the command's argument, "{pasv}" for the address of a fresh data
// listener (h1,h2,h3,h4,p1,p2) and "{epsv}" for its port alone; a text may hold several lines separated by
// "\n" (multi-line replies); CR LF is added to each line.
struct Reply {
    enum class End {
        Continue,  // go on reading commands
        Close,     // close the control connection: our side is shut at once,
                   // what the client still sends is read and dropped until it
                   // closes too, so it reads every reply sent before the end
        Abort,     // drop the control connection at once with a reset: the
                   // client's next write fails (SIGPIPE) and unread replies are lost
        Stall,     // answer nothing more and keep the connection open
    };
    std::string text;   // sent first; empty: nothing
    bool data = false;  // then take the data connection and read it to its end
    std::string after;  // sent after the data; empty: nothing
    End end = End::Continue;
    std::chrono::milliseconds delay{0};  // waited before anything is sent

    static Reply line(const std::string &text);
    static Reply line_then_close(const std::string &text);
    static Reply close();
    static Reply abort();
    static Reply stall();
    // A STOR: the first reply, the data, the final reply.
    static Reply transfer(const std::string &final_reply = "226 Transfer complete.",
                          const std::string &first = "150 Ok to send data.");
    // A STOR whose data is read, after which the control connection is
    // closed (or stalls) instead of the final reply.
    static Reply transfer_then_close(const std::string &first = "150 Ok to send data.");
    static Reply transfer_then_stall(const std::string &first = "150 Ok to send data.");
};

// A file the server received through STOR.
struct StoredFile {
    int session = 0;          // index of the control connection, from 0
    std::string path;         // the STOR argument as sent
    std::string bytes;        // everything read from the data connection
    bool complete = false;    // the data connection ended normally
    std::string final_reply;  // what was sent after the data ("" if none)
};

class ScriptedFtp {
public:
    ScriptedFtp();  // listening on 127.0.0.1 at a free port from now on
    ~ScriptedFtp();
    ScriptedFtp(const ScriptedFtp &) = delete;
    ScriptedFtp &operator=(const ScriptedFtp &) = delete;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    std::string user() const { return "vantor"; }  // any account is let in
    std::string pass() const { return "secreto"; }

    // The greeting sent to each new connection (built-in: "220 ...").
    void set_greeting(const Reply &r);
    // Replaces the built-in reply of a command (upper case, e.g. "MKD").
    void set_default(const std::string &command, const Reply &r);
    // Queued replies are used once each, in queue order, before the
    // default: first those for the command with exactly this argument,
    // then those for the command with any argument.
    void queue(const std::string &command, const Reply &r);
    void queue(const std::string &command, const std::string &argument, const Reply &r);
    // After this long without a command, send text and close (like a
    // server's idle timeout); zero turns it off.
    void set_idle_timeout(std::chrono::milliseconds quiet,
                          const std::string &text = "421 Timeout.");

    // Command lines received (without CR LF), per connection, in order.
    std::vector<std::vector<std::string>> sessions() const;
    // All command lines of all connections, in order of connection.
    std::vector<std::string> commands() const;
    std::vector<StoredFile> stored() const;
    int connections() const;
    // Waits until some connection has received a line that starts with
    // prefix (e.g. "STOR /htdocs/a.txt"). False after the limit.
    bool wait_for_command(const std::string &prefix, std::chrono::milliseconds limit) const;
    // Waits until every connection so far has ended (the client closed or
    // the script closed it). False after the limit.
    bool wait_for_disconnect(std::chrono::milliseconds limit) const;

    void stop();

private:
    struct Script;
    void accept_loop();
    void serve(int fd, int session);

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::unique_ptr<Script> script_;
    std::vector<std::vector<std::string>> sessions_;
    std::vector<StoredFile> stored_;
    int open_connections_ = 0;
};

}  // namespace vt
