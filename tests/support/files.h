// Temporary folders, files and free ports for the tests.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace vt {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes. Mode 0755, so that an unprivileged child can pass through.
class TempDir {
public:
    explicit TempDir(const std::string &tag = "vantor");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + rel
    std::string operator/(const std::string &rel) const;

private:
    std::string path_;
};

// Removes a tree whatever its modes (folders without rights are opened up
// first). Symbolic links are removed, never followed.
void remove_tree(const std::string &path);

void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
// Creates every missing folder of path (like mkdir -p).
void make_dirs(const std::string &path);

// Sets the modification (and access) time of path, not following a link.
void set_mtime(const std::string &path, time_t when);

// While it lives, the process's time zone is tz (a TZ value such as "UTC");
// the zone it had comes back afterwards.
class InZone {
public:
    explicit InZone(const char *tz);
    ~InZone();
    InZone(const InZone &) = delete;
    InZone &operator=(const InZone &) = delete;

private:
    bool had_;
    std::string saved_;
};

// Seconds since the epoch of a wall-clock time in the zone tz (a TZ value
// such as "UTC" or "Europe/Madrid"); month 1-12. The process's own zone is
// left as it was.
time_t epoch_of(const char *tz, int year, int month, int day, int hour, int minute, int second);

// A TCP connection to host:port (an IPv4 or IPv6 address), or -1.
int connect_to(const std::string &host, int port);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
// The first of `count` consecutive ports that were all free a moment ago.
int free_port_range(int count);

// Owner ids for work that must not run as root.
struct Credentials {
    uid_t uid;
    gid_t gid;
};

// Creates root/rel level by level, each level (new or not) given to owner:
// the account a server writes as.
void make_dirs_for(const std::string &root, const std::string &rel, const Credentials &owner);
// nobody:nogroup
Credentials unprivileged();

bool running_as_root();

}  // namespace vt
