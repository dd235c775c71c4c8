// Runs programs for the tests: the real vantor binary and the servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/files.h"

namespace vt {

// What a finished process left behind.
struct Outcome {
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
    std::string tty;        // everything written to the terminal (Spawn::out_on_tty, err_on_tty)
    int status = -1;        // exit status (0-255) when it exited
    int signal = 0;         // the signal that ended it, 0 when it exited
    bool timed_out = false; // killed by us after the timeout
    std::chrono::microseconds cpu{0};  // user and system time it used
};

// How to start a program. Standard input is always /dev/null.
struct Spawn {
    std::string program;                 // absolute path, or a name found on PATH
    std::vector<std::string> args;       // without the program name
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::vector<std::string> unset_env;  // removed from the inherited environment
    std::string cwd;                     // working folder; empty: ours
    std::optional<Credentials> as;       // run as this user (we must be root)
    std::string log_file;  // when set, stdout and stderr go there instead of being captured
    std::chrono::milliseconds timeout{60000};  // counted from the start
    // Standard output and/or error on a fresh pseudo-terminal in raw mode
    // (no line-end translation, 200 columns) instead of a pipe; what it
    // shows comes back in Outcome::tty.
    bool out_on_tty = false, err_on_tty = false;
};

// A started child. It gets its own process group and is killed (SIGKILL)
// when the test process dies, so no server outlives a crashed test. The
// destructor kills it if it still runs.
class Process {
public:
    explicit Process(const Spawn &how);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // Sends sig to the child itself (not its group).
    void signal(int sig);
    // True while the child has not been reaped.
    bool running();
    // Waits for the end (killing it at the timeout) and returns everything.
    Outcome wait();
    // Sends SIGTERM, then SIGKILL after grace, and waits.
    Outcome stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));
    // Waits until the captured standard output (or error) holds needle.
    bool wait_for_output(const std::string &needle, std::chrono::milliseconds limit,
                         bool on_stderr = false);
    std::string out_so_far();
    std::string err_so_far();

private:
    void reap(bool block);
    void read_pipes();

    pid_t pid_ = -1;
    bool reaped_ = false;
    int wait_status_ = 0;
    std::chrono::microseconds cpu_{0};
    bool timed_out_ = false;
    std::chrono::steady_clock::time_point deadline_;
    int out_fd_ = -1, err_fd_ = -1, tty_fd_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_, tty_;
};

// Starts, waits, returns the outcome.
Outcome run(const Spawn &how);

// The vantor binary under test, with the given arguments and extra
// environment (TZ among them). Times out after 60 s.
Outcome run_vantor(const std::vector<std::string> &args,
                   const std::vector<std::pair<std::string, std::string>> &env = {},
                   const std::optional<Credentials> &as = std::nullopt,
                   const std::string &cwd = "");
Spawn vantor_spawn(const std::vector<std::string> &args);

// Path of the vantor binary under test.
std::string vantor_binary();

// Readable form of an outcome for failure messages.
std::string describe(const Outcome &o);

}  // namespace vt
