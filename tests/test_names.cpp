// Odd names, end to end: every byte value from 0x01 to 0xFF except '/' in a
// file name, SQL and format texts, names of exactly 255 bytes, a tree 100
// levels deep and relative paths of thousands of bytes, published with the
// real binary to real FTP servers (pyftpdlib and pure-ftpd) and a real
// MariaDB.
//
// A name the catalogue can hold (valid UTF-8 of at most 255 characters, in a
// relative directory of at most 255 characters) and the server takes is
// published once and left alone by the next run; a name the catalogue cannot
// hold is reported and skipped in both runs; a name the server refuses, or
// the FTP protocol cannot carry (CR or LF end a command), fails to upload,
// is reported, and gets no row. Nothing a name holds may change other rows
// or other tables, or reach the FTP server as a command of its own.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <cstring>
#include <string>
#include <vector>

#include "support/config.h"
#include "support/files.h"
#include "support/ftp_daemons.h"
#include "support/mariadb.h"
#include "support/process.h"
#include "support/site.h"
#include "support/text.h"

namespace {

using vt::contains;

const time_t when = 1262304000 + 3723;  // 1 January 2010, 01:02:03 UTC
const std::vector<std::string> stamp = {"1", "1", "2010", "1", "2", "3"};

std::string hex(unsigned char c)
{
    char b[3];
    snprintf(b, sizeof b, "%02x", c);
    return b;
}

std::string repeat(const std::string &s, int n)
{
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

// Readable form of a name for failure messages; long ones are cut.
std::string shown(const std::string &s)
{
    std::string r;
    for (unsigned char c : s.substr(0, 80))
        r += (c < 0x20 || c >= 0x7f) ? "\\x" + hex(c) : std::string(1, static_cast<char>(c));
    if (s.size() > 80)
        r += "... (" + std::to_string(s.size()) + " bytes)";
    return r;
}

// What each server does with a name, as it answers a plain client.
struct Server {
    const char *name;
    bool pure;

    // The name the server stores for n, or nothing when it refuses it.
    //  pyftpdlib: stores every UTF-8 name as it is.
    //  pure-ftpd: refuses a backslash (553 Prohibited file name); stores
    //  control characters, DEL and trailing blanks as '_'.
    std::optional<std::string> stores(const std::string &n) const
    {
        if (!pure)
            return n;
        if (n.find('\\') != std::string::npos)
            return std::nullopt;
        std::string s = n;
        for (char &c : s)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '_';
        for (size_t i = s.size(); i-- > 0 && s[i] == ' ';)
            s[i] = '_';
        return s;
    }
};

enum class Fate {
    published,  // the catalogue holds it and the server takes it
    refused,    // the catalogue could hold it, the upload fails: reported, no row
    skipped,    // the catalogue cannot hold it: "Se omite", no upload
};

struct File {
    std::string ruta, nombre;
    Fate fate = Fate::published;
    std::string why;        // the reason of a skip, or of a refusal made before sending
    std::string stored_as;  // the name the server keeps
    std::string rel() const { return ruta + nombre; }
    std::string bytes() const { return "<" + rel() + ">\n"; }
    // As a catalogue row reads: char columns drop trailing blanks.
    std::string row() const
    {
        std::string n = nombre;
        while (!n.empty() && n.back() == ' ')
            n.pop_back();
        return ruta + n;
    }
};

// Directories of a path that is longer than the platform takes in one call
// are made and removed one level at a time.
void remove_below(int at, const std::string &name)
{
    int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        unlinkat(at, name.c_str(), 0);
        return;
    }
    std::vector<std::pair<std::string, bool>> entries;
    if (DIR *d = fdopendir(dup(fd))) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                entries.emplace_back(n, e->d_type == DT_DIR);
        }
        closedir(d);
    }
    for (auto &[n, dir] : entries)
        if (dir)
            remove_below(fd, n);
        else
            unlinkat(fd, n.c_str(), 0);
    close(fd);
    unlinkat(at, name.c_str(), AT_REMOVEDIR);
}

// One published site on a real FTP server, in UTC: the catalogue table
// (made by the binary, with rows of its own that must stay), another table
// that must stay too, and every file with its fate.
class Site : public pub::Site {
public:
    Site(const Server &s, const std::string &tag)
        : pub::Site(tag + "_" + s.name, vt::Config(db()), "vantor-names"), server_(s)
    {
        if (s.pure)
            ftp_ = std::make_unique<vt::PureFtpd>();
        else
            ftp_ = std::make_unique<vt::PyFtpd>();
        ftp_->make_dir("htdocs");
        // Files and folders a smuggled command could remove or make.
        vt::write_file(ftp_->path("victima.txt"), "sigo aqui\n");
        ftp_->give("victima.txt");

        ftp(*ftp_);
        set_zone("UTC");
        vt::Outcome created = run({"-c"});
        if (created.status != 0)
            throw std::runtime_error("create mode failed: " + vt::describe(created));
        db().query("CREATE TABLE IF NOT EXISTS centinela (n int)");
        db().query("DELETE FROM centinela");
        db().query("INSERT INTO centinela VALUES (1), (2), (3)");
        db().query("INSERT INTO " + table() +
                   " VALUES ('/otro/', 'keep.html', 2, 2, 2002, 2, 2, 2), ('/sql/', 'x''', 3, 3, 2003, 3, 3, 3)");
    }
    ~Site()
    {
        int fd = open(local().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        remove_below(fd, "largo");
        close(fd);
    }

    static vt::MariaDb &db() { return vt::shared_mariadb(); }

    // A file whose fate follows from the name: not held by the catalogue,
    // refused by the server, or published (perhaps under the server's own
    // form of the name).
    void add(const std::string &ruta, const std::string &nombre, const std::string &why = "")
    {
        File f{ruta, nombre, Fate::published, why, nombre};
        if (!why.empty()) {
            f.fate = Fate::skipped;
        } else if (auto s = server_.stores(nombre)) {
            f.stored_as = *s;
        } else {
            f.fate = Fate::refused;
        }
        add(f);
    }
    void add(const File &f)
    {
        files_.push_back(f);
        put(f.rel(), f.bytes(), when);
    }

    // A chain of directories of `width`-byte names, `levels` deep, with a
    // file at every level. Past 255 characters its files are skipped, and
    // where the whole local path no longer fits one call the walk stops.
    void add_long_chain(int levels, int width)
    {
        int fd = open(local().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string ruta = "/";
        std::string name = "largo";
        for (int i = 0; i < levels; ++i) {
            mkdirat(fd, name.c_str(), 0755);
            int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = next;
            ruta += name + "/";
            File file{ruta, "f.txt", Fate::published, "", "f.txt"};
            if (ruta.size() > 255) {
                file.fate = Fate::skipped;
                file.why = "la ruta tiene mas de 255 caracteres";
            }
            int f = openat(fd, "f.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            std::string b = file.bytes();
            EXPECT_EQ(::write(f, b.data(), b.size()), static_cast<ssize_t>(b.size()));
            struct timespec t[2] = {{when, 0}, {when, 0}};
            futimens(f, t);
            close(f);
            files_.push_back(file);
            name = std::string(static_cast<size_t>(width), static_cast<char>('a' + i % 26));
        }
        close(fd);
    }

    // Two update runs, each file's lines checked against its fate; then the
    // rows, the server's copies and the foreign rows and table. Returns the
    // number of rows found wrong.
    int run_twice_and_check(int *rows_seen)
    {
        const std::string header = pub::header(ftp_->port());
        for (int pass = 1; pass <= 2; ++pass) {
            SCOPED_TRACE("run " + std::to_string(pass));
            vt::Outcome o = run();
            // Status 2 when a file was left unpublished: refused, or skipped
            // because the catalogue cannot hold its name.
            const bool left = contains(o.out, "===> ERROR al subir ") || contains(o.out, "Se omite ");
            EXPECT_EQ(o.status, left ? 2 : 0) << vt::describe(o);
            EXPECT_EQ(o.signal, 0);
            EXPECT_EQ(o.out.rfind(header, 0), 0u) << o.out;
            EXPECT_TRUE(o.out.ends_with("Terminado!!!\n")) << o.out;
            for (const File &f : files_) {
                const std::string rel = f.rel();
                const bool ok = contains(o.out, "===> " + rel + " subido con exito\n");
                const bool failed = contains(o.out, "===> ERROR al subir " + rel + "\n");
                switch (f.fate) {
                case Fate::published:
                    EXPECT_EQ(ok, pass == 1) << shown(rel);
                    EXPECT_FALSE(failed) << shown(rel) << "\n" << o.out;
                    break;
                case Fate::refused:
                    EXPECT_FALSE(ok) << shown(rel);
                    EXPECT_TRUE(failed) << shown(rel) << "\n" << o.out;
                    // Refused before anything is sent, with the reason.
                    if (!f.why.empty()) {
                        EXPECT_TRUE(contains(o.out, "Error subiendo archivo /htdocs" + rel + " desde " + local() + rel +
                                                        ":\n" + f.why + "\n===> ERROR al subir " + rel + "\n"))
                            << shown(rel) << "\n" << o.out;
                    }
                    break;
                case Fate::skipped:
                    EXPECT_FALSE(ok || failed) << shown(rel);
                    // Deep in the long chain the walk stops before the file.
                    if (local().size() + rel.size() < 4000) {
                        EXPECT_TRUE(contains(o.out, "Se omite " + rel + ": " + f.why + "\n")) << shown(rel);
                    }
                    break;
                }
            }
            if (pass == 2) {
                EXPECT_FALSE(contains(o.out, " subido con exito\n")) << o.out;
            }
            last_err_ = o.err;
        }

        int wrong = 0;
        std::string why;
        auto bad = [&](const std::string &what) {
            ++wrong;
            why += what + "\n";
        };
        std::map<std::string, const File *> expected;
        std::map<std::string, int> found;
        for (const File &f : files_)
            if (f.fate == Fate::published)
                expected[f.row()] = &f;
        *rows_seen = 0;
        for (const std::vector<std::string> &r : rows()) {
            ++*rows_seen;
            const std::string rel = r[0] + r[1];
            const std::vector<std::string> s(r.begin() + 2, r.end());
            if (rel == "/otro/keep.html" && s == std::vector<std::string>{"2", "2", "2002", "2", "2", "2"})
                continue;
            if (rel == "/sql/x'" && s == std::vector<std::string>{"3", "3", "2003", "3", "3", "3"})
                continue;
            auto it = expected.find(rel);
            if (it == expected.end()) {
                bad("unexpected row " + shown(rel));
                continue;
            }
            if (++found[rel] > 1)
                bad("second row for " + shown(rel));
            if (s != stamp)
                bad("wrong stamp for " + shown(rel));
            const File &f = *it->second;
            std::string there;
            try {
                there = vt::read_file(ftp_->path("htdocs" + f.ruta + f.stored_as));
            } catch (const std::exception &) {
                there = "(missing)";
            }
            if (there != f.bytes())
                bad("server copy of " + shown(rel) + " is not the file");
        }
        for (const auto &[rel, f] : expected)
            if (!found.count(rel))
                bad("no row for " + shown(rel));
        EXPECT_EQ(db().query("SELECT COUNT(*) FROM " + table() + " WHERE Ruta='/otro/' OR Nombre='x'''")[0][0], "2");
        EXPECT_EQ(db().query("SELECT SUM(n) FROM centinela")[0][0], "6");
        // Nothing smuggled reached the server as a command.
        EXPECT_EQ(vt::read_file(ftp_->path("victima.txt")), "sigo aqui\n");
        for (const char *d : {"intruso", "intruso2", "intruso3"}) {
            struct stat st;
            EXPECT_NE(stat(ftp_->path(d).c_str(), &st), 0) << "a name made the server create " << d;
        }
        EXPECT_EQ(wrong, 0) << why;
        return wrong;
    }

    const std::vector<File> &files() const { return files_; }
    const std::string &last_err() const { return last_err_; }

    void figures(int rows, int wrong) const
    {
        std::set<std::string> distinct;
        int published = 0, refused = 0, skipped = 0, renamed = 0;
        for (const File &f : files_) {
            distinct.insert(f.rel());
            published += f.fate == Fate::published;
            refused += f.fate == Fate::refused;
            skipped += f.fate == Fate::skipped;
            renamed += f.fate == Fate::published && f.stored_as != f.nombre;
        }
        printf("[ figures  ] %s (%s): names tried %zu, published %d (stored by the server under another name %d), "
               "refused by the server %d, skipped %d, rows %d, rows wrong %d\n",
               table().c_str(), server_.name, distinct.size(), published, renamed, refused, skipped, rows, wrong);
    }

private:
    Server server_;
    std::unique_ptr<vt::FtpDaemon> ftp_;
    std::vector<File> files_;
    std::string last_err_;
};

void PrintTo(const Server &s, std::ostream *os) { *os << s.name; }

class Names : public ::testing::TestWithParam<Server> {};

TEST_P(Names, HeldNamesArePublishedOnceOthersAreReported)
{
    Site site(GetParam(), "nombres");
    const std::string invalid = "el nombre no es UTF-8 valido";

    // Every byte value but '/', NUL, CR and LF (below), in the middle of a
    // name. Bytes from 0x80 on are not UTF-8 on their own.
    for (int b = 1; b < 256; ++b) {
        unsigned char c = static_cast<unsigned char>(b);
        if (c == '/' || c == '\r' || c == '\n')
            continue;
        std::string n = "b" + hex(c) + "_" + std::string(1, static_cast<char>(c)) + "_z.txt";
        site.add("/bytes/", n, c >= 0x80 ? invalid : "");
    }
    // At the start and at the end of a name. The catalogue's columns drop
    // trailing blanks, so a name ending in one would share another's row:
    // such names are skipped.
    for (const char *n : {" blanco.txt", "\tt.txt", "%.txt", "'.txt", "\\.txt", "\".txt", "-n", ".oculto", "...",
                          "z\\", "z'", "z%", "z\t", "y\x7f", "x\x01"})
        site.add("/bordes/", n);
    for (const char *n : {"fin ", " ", "doble  ", "fin"})
        site.add("/blancos/", n, n[strlen(n) - 1] == ' ' ? "el nombre termina en blanco, que el catalogo no conserva" : "");

    // Texts that mean something to SQL, printf or a shell.
    const std::string t = site.table();
    for (const std::string &n :
         {"x'; DROP TABLE " + t + "; --.html", std::string("x'; DROP TABLE centinela; --.html"),
          std::string("' OR '1'='1"), "\\'; DELETE FROM " + t + "; #", std::string("%s%s%s%n%n.html"),
          std::string("%999999999d.txt"), std::string("a;b;c"), std::string("`id`"), std::string("$(id)"),
          std::string("*c*"), std::string("--"), std::string("\\\\"), std::string("\\0.txt"),
          std::string("\\n\\r\\Z"), std::string("NULL"), std::string("keep.html")})
        site.add("/sql/", n);

    // Beyond ASCII: valid UTF-8 is held, case and accents count; broken
    // forms (overlong, surrogate, past U+10FFFF, cut short) are not.
    for (const char *n : {"\xc3\xb1" "and\xc3\xba.txt", "\xe2\x82\xac", "\xe6\x97\xa5\xe6\x9c\xac.txt",
                          "\xf0\x9f\x98\x80.txt", "\xef\xbb\xbf" "bom", "\xe2\x80\xae" "txt.exe", "Mayus.txt",
                          "mayus.txt", "resume.txt", "r\xc3\xa9sum\xc3\xa9.txt", "\xef\xbf\xbf"})
        site.add("/utf8/", n);
    for (const char *n : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3", "a\xe2\x82",
                          "\xfe\xff"})
        site.add("/utf8/", n, invalid);

    // Names of exactly 255 bytes: 255 characters, and 130 characters of
    // one and two bytes.
    site.add("/largos/", repeat("L", 251) + ".txt");
    site.add("/largos/", repeat("\xc3\xb1", 125) + "x.txt");
    // A relative directory of 255 characters holds; one of 256 does not.
    const std::string d253 = repeat("d", 253);
    site.add("/" + d253 + "/", "f.txt");
    site.add("/" + d253 + "e/", "f.txt", "la ruta tiene mas de 255 caracteres");
    // Four-byte characters: four directories of 62 characters and a name of
    // 60, held by the catalogue: a remote path of more than 1,000 bytes in
    // one command.
    const std::string wide = repeat("\xf0\x9f\x98\x80", 62);
    const std::string name60 = repeat("\xf0\x9f\x98\x80", 60);
    site.add("/" + wide + "/" + wide + "/" + wide + "/" + wide + "/", name60);

    // 100 levels deep, a file at levels 1, 50 and 100.
    std::string deep = "/";
    for (int i = 1; i <= 100; ++i) {
        deep += "p/";
        if (i == 1 || i == 50 || i == 100)
            site.add(deep, "nivel" + std::to_string(i) + ".txt");
    }
    // Relative paths of thousands of bytes.
    site.add_long_chain(24, 250);

    int rows = 0;
    int wrong = site.run_twice_and_check(&rows);
    EXPECT_TRUE(contains(site.last_err(), "   Error al hacer el stat: : File name too long\n")) << site.last_err();
    site.figures(rows, wrong);
}

// CR and LF cannot travel inside an FTP command: servers end the command
// there (pyftpdlib at CR LF, pure-ftpd at LF alone) and run what follows as
// a command of its own. Such names must fail to upload, and what follows
// them must never reach the server.
TEST_P(Names, LineBreaksInANameNeverReachTheServer)
{
    Site site(GetParam(), "saltos");
    const std::string breaks = "La ruta remota contiene un salto de linea, que el protocolo FTP no admite";
    for (const char *n : {"a\r\nDELE victima.txt", "b\r\nMKD intruso", "c\nMKD intruso2", "cr\rx.txt", "lf\nx.txt",
                          "fin\n", "\rinicio"})
        site.add(File{"/saltos/", n, Fate::refused, breaks, n});
    site.add(File{"/dir\r\nMKD intruso3/", "f.txt", Fate::refused, breaks, "f.txt"});
    // Files around them are published as usual, whatever order the walk
    // takes.
    for (int i = 0; i < 8; ++i)
        site.add("/saltos/", "normal" + std::to_string(i) + ".txt");

    int rows = 0;
    int wrong = site.run_twice_and_check(&rows);
    site.figures(rows, wrong);
}

INSTANTIATE_TEST_SUITE_P(Servers, Names, ::testing::Values(Server{"pyftpdlib", false}, Server{"pureftpd", true}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
