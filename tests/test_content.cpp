// Content comparison (compare = "content") and the prune (-p), end to end
// with the real binary, the private MariaDB, pyftpdlib (real uploads and
// deletions) and the scripted server (replies real servers do not give on
// demand). Output byte for byte, what reached or left the server, the rows.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/site.h"
#include "support/ftp_daemons.h"
#include "support/scripted_ftp.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;
using pub::Entry;
using pub::Site;
using vt::Reply;

const std::string done = "Terminado!!!\n";

std::string sha256_hex(const std::string &bytes)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha256(), nullptr);
    std::string out;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02X", d[i]);
        out += two;
    }
    return out;
}

int count(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

// What a run over `order` (walk order) prints for the files in `lines`.
std::string in_order(const std::vector<Entry> &order, const std::map<std::string, std::string> &lines)
{
    std::string out;
    for (const Entry &e : order) {
        auto l = lines.find(e.path());
        if (l != lines.end())
            out += l->second;
    }
    return out;
}

// A site in content mode; the server is the caller's.
struct ContentSite {
    explicit ContentSite(const std::string &tag) : site(tag) { site.config().set("compare", "content"); }

    // Path, stamp and digest of every row, "NULL" for no digest.
    std::map<std::string, std::pair<std::string, std::string>> rows()
    {
        std::map<std::string, std::pair<std::string, std::string>> out;
        for (const vt::Row &r : site.query("SELECT Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, HEX(Huella) FROM " +
                                           site.table())) {
            std::string when = *r[2];
            for (int i = 3; i < 8; ++i)
                when += " " + *r[i];
            out[*r[0] + *r[1]] = {when, r[8] && !r[8]->empty() ? *r[8] : "NULL"};
        }
        return out;
    }
    static std::string stamp(time_t t)
    {
        std::vector<std::string> v = pub::row({"/", "x"}, t);
        return v[2] + " " + v[3] + " " + v[4] + " " + v[5] + " " + v[6] + " " + v[7];
    }
    // The six stamp values of t as an SQL list.
    static std::string values(time_t t)
    {
        std::vector<std::string> v = pub::row({"/", "x"}, t);
        return v[2] + ", " + v[3] + ", " + v[4] + ", " + v[5] + ", " + v[6] + ", " + v[7];
    }
    void sql(const std::string &s) { site.query(s); }

    Site site;
};

// On one connection, and on four, where the digests come from the upload
// threads; the catalogue on the server and in a file.
struct RealContent : testing::TestWithParam<std::tuple<int, pub::Store>> {
    RealContent() : c("contenido")
    {
        vt::PyFtpd::Options o;
        o.auth_failed_delay = 0.1;
        ftp = std::make_unique<vt::PyFtpd>(o);
        c.site.ftp(ftp->host(), ftp->port(), ftp->user(), ftp->pass());
        c.site.in(std::get<1>(GetParam()));
        c.site.config().set("ftpconnections", std::to_string(std::get<0>(GetParam())));
    }
    std::string header() const { return pub::header(ftp->port()); }
    std::string remote(const std::string &p) const { return vt::read_file(ftp->path("htdocs" + p)); }
    bool on_server(const std::string &p) const
    {
        struct stat st;
        return stat(ftp->path("htdocs" + p).c_str(), &st) == 0;
    }

    std::unique_ptr<vt::PyFtpd> ftp;
    ContentSite c;
    const time_t when = pub::at(2023, 4, 5, 6, 7, 8);
};

// -c in content mode makes the column; a regenerated tree (every stamp
// new, contents the same) sends nothing and re-stamps every row, while an
// edit that keeps the size is sent; -l tells the two apart beforehand.
TEST_P(RealContent, RegeneratedTreeSendsOnlyWhatChanged)
{
    c.site.create_table();
    if (c.site.file().empty()) {
        ASSERT_EQ(vt::shared_mariadb().query("SHOW COLUMNS FROM " + c.site.table() + " LIKE 'Huella'").size(), 1u);
    }
    const std::map<std::string, std::string> files = {
        {"/index.html", "<h1>hola</h1>"}, {"/css/a.css", "body{}"}, {"/css/b.css", "p{}"}, {"/vacio.txt", ""}};
    for (const auto &[p, bytes] : files)
        c.site.put(p, bytes, when);
    const std::vector<Entry> order = pub::listing(c.site.local());
    std::map<std::string, std::string> lines;
    for (const auto &[p, bytes] : files)
        lines[p] = pub::new_file(p);
    pub::expect_run(c.site.run(), header() + in_order(order, lines) + done);
    for (const auto &[p, bytes] : files) {
        EXPECT_EQ(remote(p), bytes);
        EXPECT_EQ(c.rows()[p], std::make_pair(ContentSite::stamp(when), sha256_hex(bytes))) << p;
    }

    // Regenerated an hour later; b.css edited in place, same size.
    const time_t later = when + 3600;
    for (const auto &[p, bytes] : files)
        c.site.put(p, p == "/css/b.css" ? "P{}" : bytes, later);
    std::map<std::string, std::string> listed;
    for (const auto &[p, bytes] : files)
        listed[p] = (p == "/css/b.css" ? "Cambiado: " : "Solo fecha: ") + p + "\n";
    pub::expect_run(c.site.run({"-l"}), in_order(order, listed) + done);

    const int stores = count(ftp->log(), "<- STOR");
    pub::expect_run(c.site.run(), header() + "===> /css/b.css subido con exito\n" + done);
    EXPECT_EQ(count(ftp->log(), "<- STOR"), stores + 1) << ftp->log();
    EXPECT_EQ(remote("/css/b.css"), "P{}");
    for (const auto &[p, bytes] : files)
        EXPECT_EQ(c.rows()[p], std::make_pair(ContentSite::stamp(later), sha256_hex(vt::read_file(c.site.local(p)))))
            << p;

    pub::expect_run(c.site.run(), header() + done);
    pub::expect_run(c.site.run({"-l"}), done);
}

// Rows without a digest (written in time mode, or by hand) behave as in
// time mode and gain one at their next upload; a rebuild in content mode
// records digests without sending anything.
TEST_P(RealContent, RowsWithoutDigestAndTheRebuild)
{
    c.site.create_table();
    c.site.put("/igual.txt", "igual", when);
    c.site.put("/viejo.txt", "viejo", when);
    c.sql("INSERT INTO " + c.site.table() + " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES " +
          "('/', 'igual.txt', " + ContentSite::values(when) + "), " +
          "('/', 'viejo.txt', 1, 1, 2001, 1, 1, 1)");
    pub::expect_run(c.site.run({"-l"}), "Cambiado: /viejo.txt\n" + done);
    pub::expect_run(c.site.run(), header() + "===> /viejo.txt subido con exito\n" + done);
    EXPECT_EQ(c.rows()["/viejo.txt"], std::make_pair(ContentSite::stamp(when), sha256_hex("viejo")));
    EXPECT_EQ(c.rows()["/igual.txt"], std::make_pair(ContentSite::stamp(when), std::string("NULL")));

    c.site.put("/nuevo.txt", "nuevo", when);
    const int stores = count(ftp->log(), "<- STOR");
    pub::expect_run(c.site.run({"-r"}), done);
    EXPECT_EQ(count(ftp->log(), "<- STOR"), stores);
    for (const char *p : {"/igual.txt", "/viejo.txt", "/nuevo.txt"})
        EXPECT_EQ(c.rows()[p], std::make_pair(ContentSite::stamp(when), sha256_hex(vt::read_file(c.site.local(p)))))
            << p;
    // A touched file whose content the rebuild recorded is only re-stamped.
    c.site.put("/nuevo.txt", "nuevo", when + 10);
    pub::expect_run(c.site.run(), header() + done);
    EXPECT_EQ(c.rows()["/nuevo.txt"].first, ContentSite::stamp(when + 10));
}

// The prune removes exactly the published files that are gone locally and
// their rows, says 550 means already gone, leaves directories, files the
// catalogue does not know, excluded files and the rest; -l lists it after
// the uploads.
TEST_P(RealContent, PruneRemovesExactlyTheFilesGoneLocally)
{
    c.site.create_table();
    for (const char *p : {"/a.txt", "/b.txt", "/sub/c.txt", "/sub/d.txt", "/ido/e.txt", "/tmp.swp"})
        c.site.put(p, p, when);
    ASSERT_EQ(c.site.run().status, 0);
    ftp->make_dir("htdocs/sub");
    vt::write_file(ftp->path("htdocs/ajeno.txt"), "ajeno");
    vt::write_file(ftp->path("htdocs/sub/ajeno.txt"), "ajeno");
    ftp->give("htdocs/ajeno.txt");
    ftp->give("htdocs/sub/ajeno.txt");
    c.sql("INSERT INTO " + c.site.table() + " VALUES ('/', 'fantasma.txt', 1, 1, 2001, 1, 1, 1, NULL)");

    // b, sub/c, the whole of ido/ and tmp.swp go; tmp.swp is excluded now.
    for (const char *p : {"/b.txt", "/sub/c.txt", "/ido/e.txt", "/tmp.swp"})
        ASSERT_EQ(unlink(c.site.local(p).c_str()), 0);
    ASSERT_EQ(rmdir(c.site.local("/ido").c_str()), 0);
    const std::string excl = c.site.local() + "/../excluir";
    vt::write_file(excl, "*.swp\n");
    c.site.config().set("excludefile", excl);
    c.site.put("/nuevo.txt", "n", when);

    pub::expect_run(c.site.run({"-l"}), "Nuevo: /nuevo.txt\nEliminado: /b.txt\nEliminado: /fantasma.txt\n"
                                        "Eliminado: /ido/e.txt\nEliminado: /sub/c.txt\n" + done);
    pub::expect_run(c.site.run({"-p"}), header() +
                                            "===> /b.txt borrado con exito\n"
                                            "===> /fantasma.txt ya no estaba en el servidor\n"
                                            "===> /ido/e.txt borrado con exito\n"
                                            "===> /sub/c.txt borrado con exito\n" + done);
    for (const char *p : {"/b.txt", "/sub/c.txt", "/ido/e.txt"})
        EXPECT_FALSE(on_server(p)) << p;
    for (const char *p : {"/a.txt", "/sub/d.txt", "/tmp.swp", "/ajeno.txt", "/sub/ajeno.txt", "/ido"})
        EXPECT_TRUE(on_server(p)) << p;
    std::vector<std::string> kept;
    for (const auto &[p, r] : c.rows())
        kept.push_back(p);
    EXPECT_EQ(kept, (std::vector<std::string>{"/a.txt", "/sub/d.txt", "/tmp.swp"}));
    EXPECT_EQ(count(ftp->log(), "<- DELE"), 4);

    pub::expect_run(c.site.run({"-p"}), header() + done);
    EXPECT_EQ(count(ftp->log(), "<- DELE"), 4);
}

INSTANTIATE_TEST_SUITE_P(Connections, RealContent,
                         testing::Combine(testing::Values(1, 4), testing::Values(pub::Store::server, pub::Store::file)),
                         [](const auto &i) {
                             return std::to_string(std::get<0>(i.param)) + "_" + pub::store_name(std::get<1>(i.param));
                         });

// A content-mode run on a table without the column stops before any
// transfer, in every mode that reads or writes the digest; -d and -p do not
// need it.
TEST(ContentTable, ATableWithoutTheColumnStopsTheRun)
{
    vt::ScriptedFtp ftp;
    ContentSite c("sinhuella");
    c.site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    c.site.config().remove("compare");
    c.site.create_table();
    c.site.put("/a.txt", "a", pub::at(2023, 1, 2, 3, 4, 5));
    c.sql("INSERT INTO " + c.site.table() + " VALUES ('/', 'b.txt', 1, 1, 2001, 1, 1, 1)");
    const pub::Rows before = c.site.rows();
    c.site.config().set("compare", "content");
    const std::string line =
        "La tabla " + c.site.table() + " no tiene la columna Huella que necesita compare = \"content\"\n";
    for (const char *opt : {"-u", "-r", "-l"}) {
        SCOPED_TRACE(opt);
        pub::expect_run(c.site.run({opt}), line, 1);
    }
    EXPECT_EQ(ftp.connections(), 0);
    EXPECT_EQ(c.site.rows(), before);

    // A bad value is a configuration error, like the FTP keys'.
    c.site.config().set("compare", "tamano");
    pub::expect_run(c.site.run(), "\"compare\" debe ser \"time\" o \"content\"\n", 255);

    // The README's statement brings the table up to date.
    c.sql("ALTER TABLE " + c.site.table() + " ADD COLUMN Huella BINARY(32)");
    c.site.config().set("compare", "CONTENT");
    pub::expect_run(c.site.run({"-l"}), "Nuevo: /a.txt\nEliminado: /b.txt\n" + done);
}

// The digest covers the whole file, and the stored one is compared byte for
// byte: a large file edited past its first blocks is sent, and content whose
// digest holds a zero byte is only re-stamped.
TEST(ContentDigest, WholeFileAndEveryByteOfTheStoredDigest)
{
    auto has_zero_byte = [](const std::string &hex) {
        for (size_t i = 0; i < hex.size(); i += 2)
            if (hex.compare(i, 2, "00") == 0)
                return true;
        return false;
    };
    std::string zero;  // content whose SHA-256 holds a zero byte
    for (unsigned seed = 1; zero.empty(); ++seed)
        if (has_zero_byte(sha256_hex(vt::bytes(100, seed))))
            zero = vt::bytes(100, seed);
    std::string edited = vt::bytes(200 * 1024, 7);
    edited[150 * 1024] ^= 1;
    struct Case {
        const char *what;
        std::string before, after;
        bool sent;
    } cases[] = {
        {"edited past 64 KiB", vt::bytes(200 * 1024, 7), edited, true},
        {"digest with a zero byte", zero, zero, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        vt::ScriptedFtp ftp;
        ContentSite c("huella");
        c.site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
        c.site.create_table();
        c.site.put("/f.bin", k.before, pub::at(2023, 1, 1, 1, 1, 1));
        pub::expect_run(c.site.run({"-r"}), done);
        const time_t later = pub::at(2023, 2, 2, 2, 2, 2);
        c.site.put("/f.bin", k.after, later);
        pub::expect_run(c.site.run(), pub::header(ftp.port()) + (k.sent ? "===> /f.bin subido con exito\n" : "") + done);
        EXPECT_EQ(c.rows()["/f.bin"], std::make_pair(ContentSite::stamp(later), sha256_hex(k.after)));
    }
}

// The row of a file rewritten while its upload waits for the server holds
// the digest of the bytes the server got: replaced by a new file (the old
// one is sent) or rewritten in place (the new bytes are sent). Either way
// the next run sends the new content, or only re-stamps it when it is
// already there.
TEST(ContentUpload, AFileRewrittenDuringItsUpload)
{
    for (bool in_place : {false, true}) {
        SCOPED_TRACE(in_place ? "in place" : "replaced");
        vt::ScriptedFtp ftp;
        ContentSite c("reescrito");
        c.site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
        c.site.create_table();
        const time_t t = pub::at(2023, 1, 2, 3, 4, 5);
        c.site.put("/a.txt", "version uno", t);
        Reply slow = Reply::transfer();
        slow.delay = 1500ms;
        ftp.queue("STOR", "/htdocs/a.txt", slow);

        vt::Process run(c.site.spawn());
        ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs/a.txt", 20s));
        const std::string path = c.site.local("/a.txt");
        if (in_place) {
            vt::write_file(path, "version dos!");
        } else {
            vt::write_file(path + ".tmp", "version dos!");
            ASSERT_EQ(rename((path + ".tmp").c_str(), path.c_str()), 0);
        }
        vt::set_mtime(path, t + 60);
        vt::Outcome o = run.wait();
        pub::expect_run(o, pub::header(ftp.port()) + pub::new_file("/a.txt") + done);
        ASSERT_EQ(ftp.stored().size(), 1u);
        const std::string sent = ftp.stored()[0].bytes;
        EXPECT_EQ(sent, in_place ? "version dos!" : "version uno");
        EXPECT_EQ(c.rows()["/a.txt"], std::make_pair(ContentSite::stamp(t), sha256_hex(sent)));

        vt::Outcome next = c.site.run();
        if (in_place) {
            pub::expect_run(next, pub::header(ftp.port()) + done);
            EXPECT_EQ(ftp.stored().size(), 1u);
        } else {
            pub::expect_run(next, pub::header(ftp.port()) + "===> /a.txt subido con exito\n" + done);
            ASSERT_EQ(ftp.stored().size(), 2u);
            EXPECT_EQ(ftp.stored()[1].bytes, "version dos!");
        }
        EXPECT_EQ(c.rows()["/a.txt"], std::make_pair(ContentSite::stamp(t + 60), sha256_hex("version dos!")));
    }
}

// DELE refusals: 550 still removes the row, any other refusal keeps it,
// is reported and ends the run with status 2; a lost connection is opened
// again for one more try.
TEST(Prune, RefusedDeletions)
{
    vt::ScriptedFtp ftp;
    Site site("podar");
    site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    site.create_table();
    site.put("/queda.txt", "q", pub::at(2023, 1, 2, 3, 4, 5));
    for (const char *n : {"a.txt", "b.txt", "c.txt", "d.txt"})
        vt::shared_mariadb().query("INSERT INTO " + site.table() + " VALUES ('/', '" + n + "', 1, 1, 2001, 1, 1, 1)");
    ftp.set_default("DELE", Reply::line("250 Deleted."));
    ftp.queue("DELE", "/htdocs/a.txt", Reply::line("550 No such file."));
    ftp.queue("DELE", "/htdocs/b.txt", Reply::line("450 File busy."));
    ftp.queue("DELE", "/htdocs/c.txt", Reply::line_then_close("421 Timeout."));

    const std::string header = pub::header(ftp.port());
    pub::expect_run(site.run({"-p"}), header +
                                          "===> /a.txt ya no estaba en el servidor\n"
                                          "Error borrando archivo /htdocs/b.txt:\n450 File busy.\n\n"
                                          "===> ERROR al borrar /b.txt\n"
                                          "===> /c.txt borrado con exito\n"
                                          "===> /d.txt borrado con exito\n" + done,
                    2);
    EXPECT_EQ(ftp.sessions(), (std::vector<std::vector<std::string>>{
                                  {"USER vantor", "PASS secreto", "PWD", "DELE /htdocs/a.txt", "DELE /htdocs/b.txt",
                                   "DELE /htdocs/c.txt"},
                                  {"USER vantor", "PASS secreto", "PWD", "DELE /htdocs/c.txt", "DELE /htdocs/d.txt",
                                   "QUIT"}}));
    pub::Rows rows = site.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], "b.txt");
}

// Never on evidence of a failed read: a directory that cannot be read, an
// entry whose status cannot be taken, and a local root that is missing,
// empty or not a directory prune nothing (the root stops -p at once).
TEST(Prune, NothingIsPrunedOnAFailedRead)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root to run vantor as nobody";
    vt::ScriptedFtp ftp;
    ftp.set_default("DELE", Reply::line("250 Deleted."));
    Site site("leer");
    site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    site.create_table();
    const time_t t = pub::at(2023, 1, 2, 3, 4, 5);
    site.put("/cerrado/x.txt", "x", t);
    site.put("/a.txt", "a", t);
    ASSERT_EQ(symlink("no-existe", site.local("/roto").c_str()), 0);
    for (const char *r : {"'/cerrado/', 'y.txt'", "'/roto/', 'z.txt'", "'/', 'ido.txt'"})
        vt::shared_mariadb().query("INSERT INTO " + site.table() + " VALUES (" + r + ", 1, 1, 2001, 1, 1, 1)");
    ASSERT_EQ(chmod(site.local("/cerrado").c_str(), 0), 0);

    site.run_as(vt::unprivileged());
    pub::expect_run(site.run({"-p"}), pub::header(ftp.port()) + "===> /ido.txt borrado con exito\n" + done);
    EXPECT_EQ(ftp.commands().size(), 5u);  // the login, one DELE, QUIT
    chmod(site.local("/cerrado").c_str(), 0755);
    EXPECT_EQ(site.rows().size(), 2u);

    const pub::Rows before = site.rows();
    const std::string empty = site.local() + "/../vacio";
    vt::make_dirs(empty);
    struct Case {
        std::string root, line;
    };
    for (const Case &k : std::vector<Case>{
             {site.local() + "/../no-existe",
              "imposible leer el directorio local " + site.local() + "/../no-existe: No such file or directory"},
             {site.local("/a.txt"), "imposible leer el directorio local " + site.local("/a.txt") + ": Not a directory"},
             {empty, "el directorio local " + empty + " esta vacio"}}) {
        SCOPED_TRACE(k.root);
        site.config().set("localroot", k.root);
        pub::expect_run(site.run({"-p"}), "No se borra nada: " + k.line + "\n", 2);
    }
    EXPECT_EQ(ftp.connections(), 1);
    EXPECT_EQ(site.rows(), before);
}

}  // namespace
