// Deterministic test trees for the benchmark.
//
//   gentree make ROOT NFILES [PERDIR]
//                                   writes a new tree (ROOT must not exist),
//                                   PERDIR files per directory (default 50)
//   gentree modify ROOT REP         touches 1 % of the files (new time, same
//                                   content) and rewrites another 1 % (new
//                                   content and time); REP picks the new times
//                                   and bytes so every repetition differs
//   gentree edit ROOT REP           only the rewrite of modify: 1 % of the
//                                   files get new content and a new time
//   gentree regen ROOT REP          a regenerated site: a new time on every
//                                   file, contents unchanged
//   gentree sameedit ROOT REP       rewrites the first file with new bytes of
//                                   the same size and a new time; prints its
//                                   path relative to ROOT
//   gentree prune ROOT              removes every 100th file (1 %)
//
// Layout: about 50 (PERDIR) files per directory, directories up to four levels deep
// (root = level 1), filled breadth first with the smallest fan-out that holds
// them. Sizes: 99 % between 1 and 20 KB, 1 % between 20 KB and 1 MB
// (log-uniform). Every file gets a fixed modification time. The same
// arguments always give the same names, sizes, bytes and times.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int max_levels = 4;
// 2023-03-15 10:20:30 UTC: the time of every generated file.
constexpr time_t base_time = 1678875630;
// Modified files get base_time + 30 days + rep hours; a regenerated tree
// base_time + 60 days + rep hours.
constexpr time_t touch_time = base_time + 30 * 86400;
constexpr time_t regen_time = base_time + 60 * 86400;

uint64_t splitmix(uint64_t &s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "gentree: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void fill(std::vector<char> &data, uint64_t seed) {
    // Text-like bytes (printable ASCII and line ends), cheap to generate.
    uint64_t s = seed;
    size_t i = 0;
    while (i < data.size()) {
        uint64_t r = splitmix(s);
        for (int k = 0; k < 8 && i < data.size(); ++k, ++i) {
            unsigned c = (r >> (k * 8)) & 0xFF;
            data[i] = (c % 61 == 0) ? '\n' : static_cast<char>(' ' + c % 95);
        }
    }
}

void write_file(const std::string &path, size_t size, uint64_t seed, time_t mtime) {
    std::vector<char> data(size);
    fill(data, seed);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("open " + path);
    size_t off = 0;
    while (off < size) {
        ssize_t n = ::write(fd, data.data() + off, size - off);
        if (n < 0) die("write " + path);
        off += static_cast<size_t>(n);
    }
    ::close(fd);
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0) die("utimensat " + path);
}

const char *const extensions[] = {".html", ".html", ".html", ".css", ".js", ".png", ".jpg", ".txt"};

int make(const std::string &root, long nfiles, long files_per_dir) {
    long ndirs = (nfiles + files_per_dir - 1) / files_per_dir;
    if (ndirs < 1) ndirs = 1;
    long fan = 1;
    for (;; ++fan) {
        long total = 0, level = 1;
        for (int l = 0; l < max_levels; ++l) { total += level; level *= fan; }
        if (total >= ndirs) break;
    }
    // Breadth-first list of relative directories ("" is the root).
    std::vector<std::string> dirs{""};
    std::vector<int> depth{1};
    for (size_t i = 0; dirs.size() < static_cast<size_t>(ndirs) && i < dirs.size(); ++i) {
        if (depth[i] >= max_levels) continue;
        for (long k = 0; k < fan && dirs.size() < static_cast<size_t>(ndirs); ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "d%02ld/", k);
            dirs.push_back(dirs[i] + name);
            depth.push_back(depth[i] + 1);
        }
    }
    if (::mkdir(root.c_str(), 0755) != 0) die("mkdir " + root);
    for (size_t i = 1; i < dirs.size(); ++i)
        if (::mkdir((root + "/" + dirs[i]).c_str(), 0755) != 0) die("mkdir " + dirs[i]);

    uint64_t rng = 20240601;  // fixed seed
    long made = 0;
    unsigned long long bytes = 0;
    for (size_t d = 0; d < dirs.size() && made < nfiles; ++d) {
        long here = std::min<long>(files_per_dir, nfiles - made);
        if (d + 1 == dirs.size()) here = nfiles - made;
        for (long f = 0; f < here; ++f, ++made) {
            uint64_t r = splitmix(rng);
            size_t size;
            if (r % 100 == 0) {
                double u = static_cast<double>(splitmix(rng) >> 11) / 9007199254740992.0;
                size = static_cast<size_t>(20480.0 * std::exp(u * std::log(1048576.0 / 20480.0)));
            } else {
                size = 1024 + splitmix(rng) % (20480 - 1024 + 1);
            }
            char name[48];
            std::snprintf(name, sizeof name, "f%03ld%s", f, extensions[(r >> 8) % 8]);
            write_file(root + "/" + dirs[d] + name, size, splitmix(rng), base_time);
            bytes += size;
        }
    }
    // Directories get the fixed time too (after their contents were written).
    for (size_t i = dirs.size(); i-- > 0;) {
        struct timespec ts[2] = {{base_time, 0}, {base_time, 0}};
        ::utimensat(AT_FDCWD, (root + "/" + dirs[i]).c_str(), ts, 0);
    }
    std::printf("%ld files, %zu directories, fan-out %ld, %.1f MB\n", made, dirs.size(), fan,
                bytes / 1048576.0);
    return 0;
}

void list_files(const std::string &root, const std::string &rel, std::vector<std::string> &out) {
    DIR *d = ::opendir((root + "/" + rel).c_str());
    if (!d) die("opendir " + rel);
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        entries.emplace_back(n, e->d_type == DT_DIR);
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end());
    for (auto &[n, isdir] : entries) {
        if (isdir) list_files(root, rel + n + "/", out);
        else out.push_back(rel + n);
    }
}

int modify(const std::string &root, long rep, bool touch) {
    std::vector<std::string> files;
    list_files(root, "", files);
    time_t t = touch_time + rep * 3600;
    long touched = 0, changed = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        std::string path = root + "/" + files[i];
        if (touch && i % 100 == 0) {
            struct timespec ts[2] = {{t, 0}, {t, 0}};
            if (::utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0) die("utimensat " + path);
            ++touched;
        } else if (i % 100 == 50) {
            struct stat st;
            if (::stat(path.c_str(), &st) != 0) die("stat " + path);
            write_file(path, static_cast<size_t>(st.st_size), 0xC0FFEEull * (rep + 1) + i, t);
            ++changed;
        }
    }
    std::printf("touched %ld, changed %ld of %zu files\n", touched, changed, files.size());
    return 0;
}

void set_time(const std::string &path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0) die("utimensat " + path);
}

int regen(const std::string &root, long rep) {
    std::vector<std::string> files;
    list_files(root, "", files);
    for (auto &f : files) set_time(root + "/" + f, regen_time + rep * 3600);
    std::printf("new time on %zu files\n", files.size());
    return 0;
}

int sameedit(const std::string &root, long rep) {
    std::vector<std::string> files;
    list_files(root, "", files);
    if (files.empty()) return 1;
    std::string path = root + "/" + files[0];
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) die("stat " + path);
    // A time past every regenerated one, so that every publisher sees it as new.
    write_file(path, static_cast<size_t>(st.st_size), 0xBADC0DEull * (rep + 1), regen_time + 90 * 86400 + rep * 3600);
    std::printf("%s\n", files[0].c_str());
    return 0;
}

int prune(const std::string &root) {
    std::vector<std::string> files;
    list_files(root, "", files);
    long removed = 0;
    for (size_t i = 99; i < files.size(); i += 100, ++removed)
        if (::unlink((root + "/" + files[i]).c_str()) != 0) die("unlink " + files[i]);
    std::printf("removed %ld of %zu files\n", removed, files.size());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::atol(argv[3]), argc == 5 ? std::max(1L, std::atol(argv[4])) : 50);
    if (argc == 4 && std::strcmp(argv[1], "modify") == 0) return modify(argv[2], std::atol(argv[3]), true);
    if (argc == 4 && std::strcmp(argv[1], "edit") == 0) return modify(argv[2], std::atol(argv[3]), false);
    if (argc == 4 && std::strcmp(argv[1], "regen") == 0) return regen(argv[2], std::atol(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "sameedit") == 0) return sameedit(argv[2], std::atol(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "prune") == 0) return prune(argv[2]);
    std::fprintf(stderr, "usage: gentree make ROOT NFILES [PERDIR] | modify ROOT REP | edit ROOT REP | regen ROOT REP | sameedit ROOT REP | "
                         "prune ROOT\n");
    return 2;
}
