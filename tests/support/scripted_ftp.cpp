#include "support/scripted_ftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vt {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

bool send_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Each line of text with CR LF.
std::string as_reply(const std::string &text)
{
    std::string r;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        r += line + "\r\n";
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    return r;
}

int listen_on_loopback(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0) {
        close(s);
        throw std::runtime_error(std::string("bind/listen: ") + std::strerror(errno));
    }
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// Waits for fd to become readable; false on timeout or when stop is set.
bool wait_readable(int fd, const std::atomic<bool> &stop, Clock::time_point end)
{
    while (!stop) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
    return false;
}

}  // namespace

Reply Reply::line(const std::string &text)
{
    Reply r;
    r.text = text;
    return r;
}

Reply Reply::line_then_close(const std::string &text)
{
    Reply r = line(text);
    r.end = End::Close;
    return r;
}

Reply Reply::close()
{
    Reply r;
    r.end = End::Close;
    return r;
}

Reply Reply::abort()
{
    Reply r;
    r.end = End::Abort;
    return r;
}

Reply Reply::stall()
{
    Reply r;
    r.end = End::Stall;
    return r;
}

Reply Reply::transfer(const std::string &final_reply, const std::string &first)
{
    Reply r;
    r.text = first;
    r.data = true;
    r.after = final_reply;
    return r;
}

Reply Reply::transfer_then_close(const std::string &first)
{
    Reply r = transfer("", first);
    r.end = End::Close;
    return r;
}

Reply Reply::transfer_then_stall(const std::string &first)
{
    Reply r = transfer("", first);
    r.end = End::Stall;
    return r;
}

struct ScriptedFtp::Script {
    Reply greeting = Reply::line("220 vantor scripted FTP server ready.");
    std::map<std::string, Reply> defaults;
    std::map<std::string, std::deque<Reply>> by_command;
    std::map<std::pair<std::string, std::string>, std::deque<Reply>> by_argument;
    std::chrono::milliseconds idle{0};
    std::string idle_text;

    Script()
    {
        defaults["USER"] = Reply::line("331 Password required for {arg}.");
        defaults["PASS"] = Reply::line("230 Logged in.");
        defaults["TYPE"] = Reply::line("200 Type set to {arg}.");
        defaults["PASV"] = Reply::line("227 Entering Passive Mode ({pasv}).");
        defaults["EPSV"] = Reply::line("229 Entering Extended Passive Mode (|||{epsv}|)");
        defaults["STOR"] = Reply::transfer();
        defaults["MKD"] = Reply::line("257 \"{arg}\" created.");
        defaults["CWD"] = Reply::line("250 Directory changed.");
        defaults["PWD"] = Reply::line("257 \"/\" is the current directory.");
        defaults["SYST"] = Reply::line("215 UNIX Type: L8");
        defaults["NOOP"] = Reply::line("200 NOOP ok.");
        defaults["QUIT"] = Reply::line_then_close("221 Goodbye.");
    }

    Reply next(const std::string &cmd, const std::string &arg)
    {
        auto a = by_argument.find({cmd, arg});
        if (a != by_argument.end() && !a->second.empty()) {
            Reply r = a->second.front();
            a->second.pop_front();
            return r;
        }
        auto c = by_command.find(cmd);
        if (c != by_command.end() && !c->second.empty()) {
            Reply r = c->second.front();
            c->second.pop_front();
            return r;
        }
        auto d = defaults.find(cmd);
        if (d != defaults.end())
            return d->second;
        return Reply::line("502 Command not implemented.");
    }
};

ScriptedFtp::ScriptedFtp() : script_(std::make_unique<Script>())
{
    listen_fd_ = listen_on_loopback(&port_);
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedFtp::~ScriptedFtp()
{
    stop();
}

void ScriptedFtp::stop()
{
    if (stopping_.exchange(true))
        return;
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> w;
    {
        std::lock_guard<std::mutex> lk(mu_);
        w.swap(workers_);
    }
    for (auto &t : w)
        t.join();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    listen_fd_ = -1;
}

void ScriptedFtp::set_greeting(const Reply &r)
{
    std::lock_guard<std::mutex> lk(mu_);
    script_->greeting = r;
}

void ScriptedFtp::set_default(const std::string &command, const Reply &r)
{
    std::lock_guard<std::mutex> lk(mu_);
    script_->defaults[command] = r;
}

void ScriptedFtp::queue(const std::string &command, const Reply &r)
{
    std::lock_guard<std::mutex> lk(mu_);
    script_->by_command[command].push_back(r);
}

void ScriptedFtp::queue(const std::string &command, const std::string &argument, const Reply &r)
{
    std::lock_guard<std::mutex> lk(mu_);
    script_->by_argument[{command, argument}].push_back(r);
}

void ScriptedFtp::set_idle_timeout(std::chrono::milliseconds quiet, const std::string &text)
{
    std::lock_guard<std::mutex> lk(mu_);
    script_->idle = quiet;
    script_->idle_text = text;
}

std::vector<std::vector<std::string>> ScriptedFtp::sessions() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return sessions_;
}

std::vector<std::string> ScriptedFtp::commands() const
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> all;
    for (auto &s : sessions_)
        all.insert(all.end(), s.begin(), s.end());
    return all;
}

std::vector<StoredFile> ScriptedFtp::stored() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return stored_;
}

int ScriptedFtp::connections() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(sessions_.size());
}

bool ScriptedFtp::wait_for_command(const std::string &prefix, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, limit, [&] {
        for (auto &s : sessions_)
            for (auto &l : s)
                if (l.rfind(prefix, 0) == 0)
                    return true;
        return false;
    });
}

bool ScriptedFtp::wait_for_disconnect(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, limit, [&] { return open_connections_ == 0; });
}

void ScriptedFtp::accept_loop()
{
    while (!stopping_) {
        if (!wait_readable(listen_fd_, stopping_, Clock::now() + 1h))
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lk(mu_);
        int session = static_cast<int>(sessions_.size());
        sessions_.emplace_back();
        ++open_connections_;
        workers_.emplace_back([this, fd, session] { serve(fd, session); });
        cv_.notify_all();
    }
}

void ScriptedFtp::serve(int fd, int session)
{
    int data_listener = -1;
    std::string pending;  // bytes received but not yet a whole line
    Reply::End how = Reply::End::Close;

    auto finish = [&] {
        if (data_listener >= 0)
            ::close(data_listener);
        if (how == Reply::End::Abort) {
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else {
            // Closing with unread input would reset the connection and the
            // client would lose the replies still in flight.
            shutdown(fd, SHUT_WR);
            char b[512];
            auto end = Clock::now() + 2s;
            while (wait_readable(fd, stopping_, end) && recv(fd, b, sizeof b, 0) > 0) {
            }
        }
        ::close(fd);
        std::lock_guard<std::mutex> lk(mu_);
        --open_connections_;
        cv_.notify_all();
    };
    // Sends a reply text after filling in its fields.
    auto say = [&](const std::string &text, const std::string &arg) {
        std::string t = replace_all(text, "{arg}", arg);
        if (t.find("{pasv}") != std::string::npos || t.find("{epsv}") != std::string::npos) {
            if (data_listener >= 0)
                ::close(data_listener);
            int p = 0;
            data_listener = listen_on_loopback(&p);
            t = replace_all(t, "{pasv}", "127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256));
            t = replace_all(t, "{epsv}", std::to_string(p));
        }
        return send_all(fd, as_reply(t));
    };
    // Keeps the connection open and silent until the client leaves or the
    // server stops.
    auto stall = [&] {
        char b[512];
        while (wait_readable(fd, stopping_, Clock::now() + 24h)) {
            if (recv(fd, b, sizeof b, 0) <= 0)
                break;
        }
    };

    Reply greeting;
    {
        std::lock_guard<std::mutex> lk(mu_);
        greeting = script_->greeting;
    }
    if (!greeting.text.empty() && !say(greeting.text, ""))
        return finish();
    if (greeting.end == Reply::End::Close || greeting.end == Reply::End::Abort) {
        how = greeting.end;
        return finish();
    }
    if (greeting.end == Reply::End::Stall) {
        stall();
        return finish();
    }

    while (!stopping_) {
        // One command line.
        std::chrono::milliseconds idle;
        std::string idle_text;
        {
            std::lock_guard<std::mutex> lk(mu_);
            idle = script_->idle;
            idle_text = script_->idle_text;
        }
        auto quiet_end = Clock::now() + (idle.count() > 0 ? idle : std::chrono::milliseconds(24h));
        size_t nl;
        bool closed = false;
        while ((nl = pending.find('\n')) == std::string::npos) {
            if (!wait_readable(fd, stopping_, quiet_end)) {
                if (!stopping_ && idle.count() > 0)
                    say(idle_text, "");
                closed = true;
                break;
            }
            char b[4096];
            ssize_t n = recv(fd, b, sizeof b, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            pending.append(b, static_cast<size_t>(n));
        }
        if (closed)
            break;
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();

        std::string cmd = line.substr(0, line.find(' '));
        std::string arg = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        std::transform(cmd.begin(), cmd.end(), cmd.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        Reply r;
        {
            std::lock_guard<std::mutex> lk(mu_);
            sessions_[static_cast<size_t>(session)].push_back(line);
            r = script_->next(cmd, arg);
            cv_.notify_all();
        }

        if (r.delay.count() > 0)
            std::this_thread::sleep_for(r.delay);
        if (!r.text.empty() && !say(r.text, arg))
            break;
        if (r.data) {
            StoredFile f;
            f.session = session;
            f.path = arg;
            int dfd = -1;
            if (data_listener >= 0 && wait_readable(data_listener, stopping_, Clock::now() + 10s))
                dfd = accept4(data_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (data_listener >= 0)
                ::close(data_listener);
            data_listener = -1;
            if (dfd >= 0) {
                char b[65536];
                while (wait_readable(dfd, stopping_, Clock::now() + 30s)) {
                    ssize_t n = recv(dfd, b, sizeof b, 0);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0) {
                        f.complete = n == 0;
                        break;
                    }
                    f.bytes.append(b, static_cast<size_t>(n));
                }
                ::close(dfd);
            }
            f.final_reply = r.after.empty() ? "" : replace_all(r.after, "{arg}", arg);
            {
                std::lock_guard<std::mutex> lk(mu_);
                stored_.push_back(f);
                cv_.notify_all();
            }
            if (!r.after.empty() && !say(r.after, arg))
                break;
        }
        if (r.end == Reply::End::Close || r.end == Reply::End::Abort) {
            how = r.end;
            break;
        }
        if (r.end == Reply::End::Stall) {
            stall();
            break;
        }
    }
    finish();
}

}  // namespace vt
