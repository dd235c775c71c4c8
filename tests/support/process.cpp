#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

extern char **environ;

#ifndef VANTOR_BIN
#define VANTOR_BIN "vantor"
#endif

namespace vt {

namespace {

std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = std::getenv("PATH");
    std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    // Servers live in sbin, which a plain user's PATH may lack.
    p += ":/usr/sbin:/sbin";
    std::stringstream ss(p);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty())
            continue;
        std::string full = dir + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    throw std::runtime_error("program not found: " + name);
}

// Writes a short text with write(2) only: usable between fork and exec.
void child_say(const char *a, const char *b)
{
    auto put = [](const char *s) {
        size_t n = std::strlen(s);
        while (n > 0) {
            ssize_t w = write(2, s, n);
            if (w <= 0)
                return;
            s += w;
            n -= static_cast<size_t>(w);
        }
    };
    put(a);
    put(b);
    put("\n");
}

}  // namespace

Process::Process(const Spawn &how)
{
    const std::string program = find_program(how.program);

    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are made (other threads may hold
    // locks, e.g. a scripted FTP server).
    std::vector<std::string> argv_s;
    argv_s.push_back(program);
    argv_s.insert(argv_s.end(), how.args.begin(), how.args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> env_map;
    std::vector<std::string> env_order;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        std::string k = kv.substr(0, eq);
        if (!env_map.count(k))
            env_order.push_back(k);
        env_map[k] = eq == std::string::npos ? "" : kv.substr(eq + 1);
    }
    for (auto &k : how.unset_env)
        env_map.erase(k);
    for (auto &[k, v] : how.env) {
        if (!env_map.count(k))
            env_order.push_back(k);
        env_map[k] = v;
    }
    std::vector<std::string> env_s;
    for (auto &k : env_order)
        if (env_map.count(k))
            env_s.push_back(k + "=" + env_map[k]);
    std::vector<char *> envp;
    for (auto &e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    const bool capture = how.log_file.empty();
    if (capture) {
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    int tty_slave = -1;
    if (capture && (how.out_on_tty || how.err_on_tty)) {
        struct winsize ws {};
        ws.ws_row = 24;
        ws.ws_col = 200;
        if (openpty(&tty_fd_, &tty_slave, nullptr, nullptr, &ws) != 0)
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        struct termios t;
        tcgetattr(tty_slave, &t);
        cfmakeraw(&t);
        tcsetattr(tty_slave, TCSANOW, &t);
        fcntl(tty_fd_, F_SETFD, FD_CLOEXEC);
        fcntl(tty_slave, F_SETFD, FD_CLOEXEC);
    }
    const bool out_tty = how.out_on_tty, err_tty = how.err_on_tty;
    const char *log_file = how.log_file.c_str();
    const char *cwd = how.cwd.empty() ? nullptr : how.cwd.c_str();
    const bool switch_user = how.as.has_value();
    const uid_t uid = switch_user ? how.as->uid : 0;
    const gid_t gid = switch_user ? how.as->gid : 0;
    const pid_t parent = getpid();

    deadline_ = std::chrono::steady_clock::now() + how.timeout;
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0)
            _exit(127);
        if (capture) {
            if (dup2(out_tty ? tty_slave : out_pipe[1], 1) < 0 || dup2(err_tty ? tty_slave : err_pipe[1], 2) < 0)
                _exit(127);
        } else {
            int lf = open(log_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (lf < 0 || dup2(lf, 1) < 0 || dup2(lf, 2) < 0)
                _exit(127);
        }
        if (cwd && chdir(cwd) != 0) {
            child_say("chdir failed: ", cwd);
            _exit(127);
        }
        if (switch_user) {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
                child_say("cannot change user for ", argv[0]);
                _exit(127);
            }
        }
        // After the change of user, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        child_say("exec failed: ", argv[0]);
        _exit(127);
    }
    setpgid(pid_, pid_);
    if (capture) {
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (tty_slave >= 0)
            close(tty_slave);
        out_fd_ = out_pipe[0];
        err_fd_ = err_pipe[0];
        reader_ = std::thread([this] { read_pipes(); });
    }
}

Process::~Process()
{
    if (!reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        reap(true);
    }
    if (reader_.joinable())
        reader_.join();
}

void Process::read_pipes()
{
    // The terminal ends with EIO once no process holds its other side.
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {tty_fd_, POLLIN, 0}};
    std::string *to[3] = {&out_, &err_, &tty_};
    int open_fds = tty_fd_ >= 0 ? 3 : 2;
    char buf[65536];
    while (open_fds > 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lk(mu_);
                to[i]->append(buf, static_cast<size_t>(n));
                cv_.notify_all();
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    std::lock_guard<std::mutex> lk(mu_);
    out_fd_ = err_fd_ = tty_fd_ = -1;
    cv_.notify_all();
}

void Process::signal(int sig)
{
    if (!reaped_)
        kill(pid_, sig);
}

void Process::reap(bool block)
{
    if (reaped_)
        return;
    int st = 0;
    rusage use{};
    pid_t r;
    do {
        r = wait4(pid_, &st, block ? 0 : WNOHANG, &use);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        reaped_ = true;
        wait_status_ = st;
        const auto us = [](const timeval &t) {
            return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
        };
        cpu_ = us(use.ru_utime) + us(use.ru_stime);
    }
}

bool Process::running()
{
    reap(false);
    return !reaped_;
}

Outcome Process::wait()
{
    while (!reaped_) {
        reap(false);
        if (reaped_)
            break;
        if (std::chrono::steady_clock::now() >= deadline_) {
            timed_out_ = true;
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            reap(true);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // A grandchild could keep the pipes open; the group is ours to end.
    kill(-pid_, SIGKILL);
    if (reader_.joinable())
        reader_.join();
    Outcome o;
    {
        std::lock_guard<std::mutex> lk(mu_);
        o.out = out_;
        o.err = err_;
        o.tty = tty_;
    }
    o.timed_out = timed_out_;
    o.cpu = cpu_;
    if (WIFEXITED(wait_status_))
        o.status = WEXITSTATUS(wait_status_);
    else if (WIFSIGNALED(wait_status_))
        o.signal = WTERMSIG(wait_status_);
    return o;
}

Outcome Process::stop(std::chrono::milliseconds grace)
{
    if (!running())
        return wait();
    kill(pid_, SIGTERM);
    auto end = std::chrono::steady_clock::now() + grace;
    while (running() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (running()) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
    }
    return wait();
}

bool Process::wait_for_output(const std::string &needle, std::chrono::milliseconds limit,
                              bool on_stderr)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, limit, [&] {
        const std::string &s = on_stderr ? err_ : out_;
        return s.find(needle) != std::string::npos || (out_fd_ < 0 && err_fd_ < 0);
    }) && (on_stderr ? err_ : out_).find(needle) != std::string::npos;
}

std::string Process::out_so_far()
{
    std::lock_guard<std::mutex> lk(mu_);
    return out_;
}

std::string Process::err_so_far()
{
    std::lock_guard<std::mutex> lk(mu_);
    return err_;
}

Outcome run(const Spawn &how)
{
    Process p(how);
    return p.wait();
}

std::string vantor_binary()
{
    const char *over = std::getenv("VANTOR_BIN");
    return (over && *over) ? over : VANTOR_BIN;
}

Spawn vantor_spawn(const std::vector<std::string> &args)
{
    Spawn s;
    s.program = vantor_binary();
    s.args = args;
    return s;
}

Outcome run_vantor(const std::vector<std::string> &args,
                   const std::vector<std::pair<std::string, std::string>> &env,
                   const std::optional<Credentials> &as, const std::string &cwd)
{
    Spawn s = vantor_spawn(args);
    s.env = env;
    s.as = as;
    s.cwd = cwd;
    return run(s);
}

std::string describe(const Outcome &o)
{
    std::ostringstream s;
    if (o.timed_out)
        s << "timed out; ";
    if (o.signal)
        s << "killed by signal " << o.signal << " (" << strsignal(o.signal) << ")";
    else
        s << "exit status " << o.status;
    s << "\n--- stdout ---\n" << o.out << "\n--- stderr ---\n" << o.err << "\n---";
    return s.str();
}

}  // namespace vt
