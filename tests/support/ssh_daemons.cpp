#include "support/ssh_daemons.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "support/files.h"

namespace vt {

namespace {

using namespace std::chrono_literals;

Outcome must_run(const std::string &program, const std::vector<std::string> &args)
{
    Spawn s;
    s.program = program;
    s.args = args;
    s.timeout = 30s;
    Outcome o = run(s);
    if (o.status != 0)
        throw std::runtime_error(program + " failed: " + describe(o));
    return o;
}

// Creates the account once per machine and sets its password once per
// program. A lock file keeps test programs that start together from running
// useradd or chpasswd at the same time.
Credentials sftp_account_ids()
{
    static std::mutex mu;
    static bool ready = false;
    std::lock_guard<std::mutex> lk(mu);
    if (!ready) {
        int lock = open("/run/vantor-sftp-account.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || flock(lock, LOCK_EX) != 0)
            throw std::runtime_error(std::string("account lock: ") + std::strerror(errno));
        try {
            if (!getpwnam(sftp_account))
                must_run("useradd", {"--system", "--user-group", "--no-create-home", "--home-dir",
                                     "/nonexistent", "--shell", "/usr/sbin/nologin", sftp_account});
            // A SHA-512 crypt hash checks in microseconds; Debian's yescrypt
            // default adds tens of milliseconds to every login.
            must_run("sh", {"-c", std::string("echo '") + sftp_account + ":" + sftp_password +
                                      "' | chpasswd -c SHA512"});
        } catch (...) {
            close(lock);
            throw;
        }
        close(lock);
        ready = true;
    }
    const passwd *pw = getpwnam(sftp_account);
    if (!pw)
        throw std::runtime_error(std::string("no account ") + sftp_account);
    return {pw->pw_uid, pw->pw_gid};
}


// Every process below pid, children first.
std::vector<pid_t> descendants(pid_t pid)
{
    std::multimap<pid_t, pid_t> children;
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d)) {
            pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
            if (p <= 0)
                continue;
            std::string stat;
            try {
                stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
            } catch (const std::exception &) {
                continue;
            }
            // "pid (comm) state ppid ...": comm may hold anything, even ")".
            size_t close_paren = stat.rfind(')');
            if (close_paren == std::string::npos)
                continue;
            std::istringstream rest(stat.substr(close_paren + 1));
            std::string state;
            pid_t parent = 0;
            rest >> state >> parent;
            children.emplace(parent, p);
        }
        closedir(d);
    }
    std::vector<pid_t> out, todo{pid};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        auto [b, e] = children.equal_range(p);
        for (auto it = b; it != e; ++it) {
            out.push_back(it->second);
            todo.push_back(it->second);
        }
    }
    return out;
}

// A datagram socket at path, writable by every user, as syslog(3) expects.
int bind_syslog_socket(const std::string &path)
{
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (s < 0 || path.size() >= sizeof a.sun_path)
        throw std::runtime_error("syslog socket: " + path);
    std::strcpy(a.sun_path, path.c_str());
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || chmod(path.c_str(), 0666) != 0) {
        close(s);
        throw std::runtime_error("bind " + path + ": " + std::strerror(errno));
    }
    return s;
}

}  // namespace

void make_ssh_key(const std::string &path, const std::string &passphrase)
{
    unlink(path.c_str());
    unlink((path + ".pub").c_str());
    must_run("ssh-keygen", {"-q", "-t", "ed25519", "-N", passphrase, "-C", "vantor-test", "-f", path});
}

std::string ssh_fingerprint(const std::string &pub_file)
{
    // "256 SHA256:abc... comment (ED25519)"
    std::istringstream line(must_run("ssh-keygen", {"-l", "-E", "sha256", "-f", pub_file}).out);
    std::string bits, fingerprint;
    line >> bits >> fingerprint;
    return fingerprint;
}

const SshKeys &ssh_test_keys()
{
    static std::mutex mu;
    static std::unique_ptr<TempDir> dir;
    static std::unique_ptr<SshKeys> made;
    std::lock_guard<std::mutex> lk(mu);
    if (!made) {
        dir = std::make_unique<TempDir>("vantor-sshkeys");
        SshKeys k;
        k.key = *dir / "client";
        k.key_pub = k.key + ".pub";
        k.key_with_passphrase = *dir / "client-passphrase";
        k.key_with_passphrase_pub = k.key_with_passphrase + ".pub";
        k.passphrase = "frase de paso";
        make_ssh_key(k.key);
        make_ssh_key(k.key_with_passphrase, k.passphrase);
        make_ssh_key(*dir / "stranger");
        k.stranger_pub = read_file(*dir / "stranger.pub");
        made = std::make_unique<SshKeys>(k);
    }
    return *made;
}

std::string wait_for_ssh_banner(const std::string &host, int port, int limit_ms, Process *server)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (server && !server->running())
            throw std::runtime_error("the SSH server ended before its banner");
        int s = connect_to(host, port);
        if (s >= 0) {
            std::string line;
            char c;
            pollfd p{s, POLLIN, 0};
            while (line.size() < 256 && poll(&p, 1, 2000) > 0 && read(s, &c, 1) == 1 && c != '\n')
                line += c;
            if (line.rfind("SSH-2.0-", 0) == 0) {
                // Our own banner first, so the server logs a plain hang-up.
                send(s, "SSH-2.0-vantor-probe\r\n", 22, MSG_NOSIGNAL);
                close(s);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            close(s);
        }
        std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error("no SSH banner on " + host + ":" + std::to_string(port));
}

Sshd::Sshd(const Options &o)
{
    if (!running_as_root())
        throw std::runtime_error("sshd needs the tests to run as root");
    sftp_account_ids();
    // The chroot and each folder above it must belong to root and be
    // writable by nobody else: not so under /tmp, so the whole instance
    // lives in a folder of its own under /run.
    char tmpl[] = "/run/vantor-sshd-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error(std::string("mkdtemp /run: ") + std::strerror(errno));
    base_ = tmpl;
    chmod(base_.c_str(), 0755);
    root_ = base_ + "/root";
    log_file_ = base_ + "/sshd.log";
    make_dirs(root_ + "/dev");
    chmod(root_.c_str(), 0755);
    chmod((root_ + "/dev").c_str(), 0755);
    make_dirs("/run/sshd");  // sshd's privilege separation folder
    if (!o.home.empty())
        make_dir(o.home);

    const std::string host_key = base_ + "/host_key";
    make_ssh_key(host_key);
    const SshKeys &keys = ssh_test_keys();
    const std::string authorized = base_ + "/authorized_keys";
    write_file(authorized, read_file(keys.key_pub) + read_file(keys.key_with_passphrase_pub));
    chmod(authorized.c_str(), 0644);  // sshd reads it as the account
    write_file(log_file_, "");

    // The SFTP server logs through syslog(3), that is to /dev/log inside the
    // chroot: a socket of ours, whose messages join sshd's log.
    int syslog_fd = bind_syslog_socket(root_ + "/dev/log");
    syslog_ = std::thread([this, syslog_fd] { log_sftp_requests(syslog_fd); });
    try {
        start(o, host_key, authorized);
    } catch (...) {
        stop();
        throw;
    }
}

void Sshd::start(const Options &o, const std::string &host_key, const std::string &authorized)
{
    const std::string home = "/" + o.home;
    std::string why;
    for (int attempt = 0; attempt < 4 && !proc_; ++attempt) {
        port_ = free_port();
        std::ostringstream c;
        c << "Port " << port_ << "\n"
          << "ListenAddress 127.0.0.1\n"
          << (o.ipv6 ? "ListenAddress ::1\n" : "")
          << "HostKey " << host_key << "\n"
          << "PidFile " << base_ << "/sshd.pid\n"
          << "LogLevel " << o.log_level << "\n"
          << "UsePAM no\n"
          << "StrictModes no\n"
          << "UseDNS no\n"
          << "PasswordAuthentication yes\n"
          << "KbdInteractiveAuthentication no\n"
          << "PubkeyAuthentication yes\n"
          << "AuthorizedKeysFile " << authorized << "\n"
          << "AllowUsers " << sftp_account << "\n"
          << "PermitRootLogin no\n"
          << "AllowTcpForwarding no\n"
          << "X11Forwarding no\n"
          << "PrintMotd no\n"
          << "Subsystem sftp internal-sftp -l " << o.sftp_log_level << "\n"
          << "ChrootDirectory " << root_ << "\n"
          << "ForceCommand internal-sftp -l " << o.sftp_log_level << " -d " << home << "\n";
        for (const std::string &line : o.extra_config)
            c << line << "\n";
        const std::string config = base_ + "/sshd_config";
        write_file(config, c.str());

        Spawn s;
        s.program = "/usr/sbin/sshd";
        s.args = {"-D", "-f", config, "-E", log_file_};  // both paths absolute: sshd re-executes itself
        s.log_file = log_file_;
        s.timeout = std::chrono::hours(24);
        proc_ = std::make_unique<Process>(s);
        try {
            wait_for_ssh_banner(host(), port_, 20000, proc_.get());
            if (o.ipv6)
                wait_for_ssh_banner("::1", port_, 20000, proc_.get());
        } catch (const std::exception &e) {
            why = e.what();
            proc_->stop(1000ms);
            proc_.reset();
        }
    }
    if (!proc_)
        throw std::runtime_error("sshd did not start: " + why + "\n" + log());

    std::vector<std::string> scan = {"-p", std::to_string(port_), "-t", "ed25519", "127.0.0.1"};
    if (o.ipv6)
        scan.push_back("::1");
    known_hosts_ = base_ + "/known_hosts";
    write_file(known_hosts_, must_run("ssh-keyscan", scan).out);

    hashed_known_hosts_ = base_ + "/known_hosts.hashed";
    write_file(hashed_known_hosts_, read_file(known_hosts_));
    must_run("ssh-keygen", {"-H", "-f", hashed_known_hosts_});
    unlink((hashed_known_hosts_ + ".old").c_str());

    // "NAMES TYPE KEY" with the stranger's "TYPE KEY".
    std::istringstream stranger(ssh_test_keys().stranger_pub), lines(read_file(known_hosts_));
    std::string type, blob, line, wrong;
    stranger >> type >> blob;
    while (std::getline(lines, line))
        if (!line.empty())
            wrong += line.substr(0, line.find(' ')) + " " + type + " " + blob + "\n";
    wrong_known_hosts_ = base_ + "/known_hosts.wrong";
    write_file(wrong_known_hosts_, wrong);
}

Sshd::~Sshd()
{
    stop();
}

std::string Sshd::path(const std::string &rel) const
{
    return root_ + "/" + rel;
}

void Sshd::give(const std::string &rel) const
{
    Credentials c = sftp_account_ids();
    if (lchown(path(rel).c_str(), c.uid, c.gid) != 0)
        throw std::runtime_error("chown " + path(rel) + ": " + std::strerror(errno));
}

void Sshd::make_dir(const std::string &rel) const { make_dirs_for(root_, rel, sftp_account_ids()); }

std::string Sshd::fingerprint() const
{
    return ssh_fingerprint(base_ + "/host_key.pub");
}

std::string Sshd::log() const
{
    try {
        return read_file(log_file_);
    } catch (const std::exception &) {
        return "";
    }
}

bool Sshd::wait_for_log(const std::string &needle, std::chrono::milliseconds limit, size_t from) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    do {
        std::string text = log();
        if (text.size() > from && text.find(needle, from) != std::string::npos)
            return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

void Sshd::log_sftp_requests(int fd)
{
    int out = open(log_file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    char buf[8192];
    while (!stopping_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            continue;
        // "<38>Dec  8 03:00:08 internal-sftp[14356]: open ...": the priority
        // and the time go, as in sshd's own lines.
        std::string m(buf, static_cast<size_t>(n));
        size_t gt = m.find('>');
        if (m[0] == '<' && gt != std::string::npos && m.size() > gt + 16)
            m.erase(0, gt + 17);
        if (m.empty() || m.back() != '\n')
            m += '\n';
        if (out >= 0 && write(out, m.data(), m.size()) < 0)
            break;
    }
    if (out >= 0)
        close(out);
    close(fd);
}

void Sshd::stop()
{
    if (proc_) {
        // Each connection has its own sshd process in a session of its own:
        // they go first, while they are still known as the server's children.
        for (pid_t p : descendants(proc_->pid()))
            kill(p, SIGKILL);
        proc_->stop(2000ms);
        proc_.reset();
    }
    stopping_ = true;
    if (syslog_.joinable())
        syslog_.join();
    if (!base_.empty()) {
        remove_tree(base_);
        base_.clear();
    }
}

}  // namespace vt
