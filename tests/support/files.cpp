#include "support/files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace vt {

namespace {

std::runtime_error sys_error(const std::string &what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string temp_base()
{
    const char *t = std::getenv("TMPDIR");
    return (t && *t) ? t : "/tmp";
}

}  // namespace

TempDir::TempDir(const std::string &tag)
{
    std::string templ = temp_base() + "/" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw sys_error("mkdtemp " + templ);
    path_ = buf.data();
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir()
{
    remove_tree(path_);
}

std::string TempDir::operator/(const std::string &rel) const
{
    return path_ + "/" + rel;
}

void remove_tree(const std::string &path)
{
    std::error_code ec;
    // Open up every folder first so that a tree left without rights (mode
    // 000 folders of the permission tests) can be emptied by a non-root user.
    auto st = fs::symlink_status(path, ec);
    if (ec || !fs::exists(st))
        return;
    if (fs::is_directory(st)) {
        chmod(path.c_str(), 0700);
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                remove_tree(it->path().string());
        }
    }
    fs::remove_all(path, ec);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void make_dirs(const std::string &path)
{
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("mkdir -p " + path + ": " + ec.message());
}

void set_mtime(const std::string &path, time_t when)
{
    timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = when;
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
        throw sys_error("utimensat " + path);
}

InZone::InZone(const char *tz)
{
    const char *old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_)
        saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
}

InZone::~InZone()
{
    if (had_)
        setenv("TZ", saved_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

time_t epoch_of(const char *tz, int year, int month, int day, int hour, int minute, int second)
{
    InZone zone(tz);
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

namespace {

// Binds a socket to 127.0.0.1:port (0 = any) and returns the port it got, or
// -1 when the port is taken. The socket is closed again.
int probe_port(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw sys_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int got = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
        got = ntohs(a.sin_port);
    }
    close(s);
    return got;
}

}  // namespace

int free_port()
{
    return probe_port(0);
}

int free_port_range(int count)
{
    // Ports below the kernel's ephemeral range, so that outgoing connections
    // of other processes do not take them meanwhile.
    static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> pick(20000, 32000 - count);
    for (int attempt = 0; attempt < 200; ++attempt) {
        int base = pick(rng);
        bool ok = true;
        for (int p = base; ok && p < base + count; ++p)
            ok = probe_port(p) == p;
        if (ok)
            return base;
    }
    throw std::runtime_error("no free port range");
}

Credentials unprivileged()
{
    const passwd *pw = getpwnam("nobody");
    const group *gr = getgrnam("nogroup");
    if (!pw)
        throw std::runtime_error("no user nobody");
    return {pw->pw_uid, gr ? gr->gr_gid : pw->pw_gid};
}

bool running_as_root()
{
    return geteuid() == 0;
}

int connect_to(const std::string &host, int port)
{
    sockaddr_storage a{};
    socklen_t len;
    if (host.find(':') != std::string::npos) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr);
        len = sizeof *a6;
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &a4->sin_addr);
        len = sizeof *a4;
    }
    int s = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), len) == 0)
        return s;
    if (s >= 0)
        close(s);
    return -1;
}

void make_dirs_for(const std::string &root, const std::string &rel, const Credentials &owner)
{
    std::string sofar;
    std::stringstream ss(rel);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty())
            continue;
        sofar += "/" + part;
        const std::string p = root + sofar;
        if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + p + ": " + std::strerror(errno));
        if (lchown(p.c_str(), owner.uid, owner.gid) != 0)
            throw std::runtime_error("chown " + p + ": " + std::strerror(errno));
    }
}

}  // namespace vt
