// Update runs of the real binary against real FTP servers: pyftpdlib, which
// refuses an upload into a missing folder with 550, and pure-ftpd, which
// answers 553. Output byte for byte, the files as they arrive, the rows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "support/site.h"
#include "support/ftp_daemons.h"

namespace {

using namespace std::chrono_literals;
using pub::Entry;
using pub::Site;

enum class Server { pyftpdlib, pureftpd };

std::unique_ptr<vt::FtpDaemon> start(Server s)
{
    if (s == Server::pyftpdlib) {
        vt::PyFtpd::Options o;
        o.auth_failed_delay = 0.1;
        return std::make_unique<vt::PyFtpd>(o);
    }
    return std::make_unique<vt::PureFtpd>();
}

// Each server, with the catalogue on the database server and in a file.
class RealServer : public testing::TestWithParam<std::tuple<Server, pub::Store>> {
protected:
    void SetUp() override
    {
        ftp = start(server());
        site = std::make_unique<Site>(server() == Server::pyftpdlib ? "py" : "pure");
        site->in(std::get<1>(GetParam()));
        site->ftp(ftp->host(), ftp->port(), ftp->user(), ftp->pass());
        site->create_table();
    }

    Server server() const { return std::get<0>(GetParam()); }
    std::string header() const { return pub::header(ftp->port()); }
    std::string quiet() const { return header() + "Terminado!!!\n"; }
    std::string remote(const Entry &e) const { return vt::read_file(ftp->path("htdocs" + e.path())); }

    // Expected output of a run that finds every file new and stores it.
    std::string all_new() const
    {
        std::string out = header();
        for (const Entry &e : pub::listing(site->local()))
            out += pub::new_file(e.path());
        return out + "Terminado!!!\n";
    }

    std::unique_ptr<vt::FtpDaemon> ftp;
    std::unique_ptr<Site> site;
};

std::string binary_bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// Every file new: nested folders that the server lacks (the remote root
// included) are created, each file arrives byte for byte and gets one row;
// the next run over the same tree is quiet and sends nothing.
TEST_P(RealServer, NewTreeIsPublishedWholeThenLeftAlone)
{
    const time_t t = pub::at(2024, 3, 5, 9, 7, 2);
    struct File {
        std::string rel;
        std::string bytes;
        time_t when;
    };
    const std::vector<File> files = {
        {"/index.html", "<html>\r\n<body>hola</body>\r\n</html>\r\n", t},
        {"/docs/manual.txt", "uno\r\ndos\n\rtres\r\n\r\n", t + 60},
        {"/docs/img/logo.png",
         std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\r\n\0", 20) + binary_bytes(4000, 7), t + 3600},
        {"/docs/img/iconos/vacio.bin", "", t + 86400},
        {"/datos/grande.bin", binary_bytes(700 * 1024, 11), t - 86400 * 40},
    };
    for (const File &f : files)
        site->put(f.rel, f.bytes, f.when);
    vt::make_dirs(site->local("/sin_archivos"));

    pub::expect_run(site->run(), all_new());

    pub::Rows want;
    for (const File &f : files) {
        Entry e{f.rel.substr(0, f.rel.rfind('/') + 1), f.rel.substr(f.rel.rfind('/') + 1)};
        EXPECT_EQ(remote(e), f.bytes) << f.rel;
        want.push_back(pub::row(e, f.when));
    }
    EXPECT_EQ(site->rows(), pub::sorted(want));

    pub::expect_run(site->run(), quiet());
    EXPECT_EQ(site->rows(), pub::sorted(want));
}

// A stamp one second newer re-uploads the file and rewrites its row; a
// content change under the same stamp goes unnoticed; a file removed locally
// keeps its row and its remote copy.
TEST_P(RealServer, OnlyAChangedStampIsUploadedAgain)
{
    const time_t t = pub::at(2023, 12, 31, 23, 59, 58);
    site->put("/cambia.txt", "version 1\r\n", t);
    site->put("/se_va.txt", "me borran\n", t);
    site->put("/sub/mismo_sello.txt", "original\n", t);
    pub::expect_run(site->run(), all_new());

    site->put("/cambia.txt", std::string("version 2, mas larga\r\n\0fin", 26), t + 1);
    vt::write_file(site->local("/sub/mismo_sello.txt"), "retocado\n");
    vt::set_mtime(site->local("/sub/mismo_sello.txt"), t);
    ASSERT_EQ(unlink(site->local("/se_va.txt").c_str()), 0);

    pub::expect_run(site->run(), header() + "===> /cambia.txt subido con exito\nTerminado!!!\n");

    EXPECT_EQ(remote({"/", "cambia.txt"}), std::string("version 2, mas larga\r\n\0fin", 26));
    EXPECT_EQ(remote({"/", "se_va.txt"}), "me borran\n");
    EXPECT_EQ(remote({"/sub/", "mismo_sello.txt"}), "original\n");
    EXPECT_EQ(site->rows(),
              pub::sorted({pub::row({"/", "cambia.txt"}, t + 1), pub::row({"/", "se_va.txt"}, t),
                           pub::row({"/sub/", "mismo_sello.txt"}, t)}));

    pub::expect_run(site->run(), quiet());
}

// Names that a statement or a format could take for syntax, names outside
// ASCII, and two names that differ only in letter case: each one is its own
// file on the server and its own row, uploaded once.
TEST_P(RealServer, AwkwardNamesAreUploadedOnceEach)
{
    const time_t t = pub::at(2022, 7, 14, 18, 30, 0);
    std::vector<std::string> rels = {
        "/it's.txt",  "/100%s%n%d.txt", "/canción ñandú.html",   "/precio 5€.txt",
        "/Mayus.txt", "/mayus.txt",     "/música/Año nuevo.txt",
    };
    // pure-ftpd refuses every name with a backslash ("553 Prohibited file
    // name"), so only the other server gets them.
    if (server() == Server::pyftpdlib)
        rels.insert(rels.end(), {"/back\\slash.txt", "/música/'\\%s€.txt"});
    pub::Rows want;
    for (size_t i = 0; i < rels.size(); ++i) {
        site->put(rels[i], "contenido de " + rels[i] + "\r\n", t + static_cast<time_t>(i));
        Entry e{rels[i].substr(0, rels[i].rfind('/') + 1), rels[i].substr(rels[i].rfind('/') + 1)};
        want.push_back(pub::row(e, t + static_cast<time_t>(i)));
    }

    pub::expect_run(site->run(), all_new());
    for (const std::string &r : rels)
        EXPECT_EQ(vt::read_file(ftp->path("htdocs" + r)), "contenido de " + r + "\r\n") << r;
    EXPECT_EQ(site->rows(), pub::sorted(want));

    pub::expect_run(site->run(), quiet());
    EXPECT_EQ(site->rows(), pub::sorted(want));
}

// Many files of one folder, each decided by its own row whatever the rows
// of its neighbours hold: a changed stamp, a NULL stamp column, a missing
// row, a row of a name that differs only in letter case; and a folder whose
// rows far outnumber its files. With the file, of two rows of one name the
// first one stored decides.
TEST_P(RealServer, EachFileOfABusyFolderIsDecidedByItsOwnRow)
{
    const time_t t = pub::at(2024, 6, 1, 12, 0, 0);
    for (int i = 0; i < 12; ++i)
        site->put("/muchos/a" + std::to_string(10 + i), "a" + std::to_string(i) + "\n", t);
    for (int i = 0; i < 10; ++i)
        site->put("/grande/g" + std::to_string(10 + i), "g" + std::to_string(i) + "\n", t);
    pub::expect_run(site->run(), all_new());

    const std::string table = site->table();
    const std::string muchos = " WHERE Ruta = '/muchos/' AND Nombre = ";
    site->query("UPDATE " + table + " SET Segundo = 1" + muchos + "'a13'");
    site->query("UPDATE " + table + " SET Dia = NULL" + muchos + "'a15'");
    site->query("DELETE FROM " + table + muchos + "'a17'");
    const std::string columns = " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ";
    site->query("INSERT INTO " + table + columns + "('/muchos/', 'A18', 2, 2, 2020, 2, 2, 2)");
    std::string stale;
    for (int i = 0; i < 100; ++i)
        stale += std::string(stale.empty() ? "" : ", ") + "('/grande/', 'x" + std::to_string(100 + i) +
                 "', 1, 1, 2020, 1, 1, 1)";
    site->query("INSERT INTO " + table + columns + stale);
    vt::set_mtime(site->local("/grande/g14"), t + 5);
    std::set<std::string> changed = {"/muchos/a13", "/muchos/a15", "/grande/g14"};
    if (std::get<1>(GetParam()) == pub::Store::file) {
        site->query("INSERT INTO " + table + columns + "('/muchos/', 'a19', 3, 3, 2021, 3, 3, 3)");
        site->query("DELETE FROM " + table + muchos + "'a20'");
        site->query("INSERT INTO " + table + columns + "('/muchos/', 'a20', 4, 4, 2021, 4, 4, 4)");
        const std::vector<std::string> fresh = pub::row({"/muchos/", "a20"}, t);
        site->query("INSERT INTO " + table + columns + "('/muchos/', 'a20', " + fresh[2] + ", " + fresh[3] + ", " +
                    fresh[4] + ", " + fresh[5] + ", " + fresh[6] + ", " + fresh[7] + ")");
        changed.insert("/muchos/a20");
    }

    std::string want = header();
    for (const Entry &e : pub::listing(site->local())) {
        if (e.path() == "/muchos/a17")
            want += pub::new_file(e.path());
        else if (changed.count(e.path()))
            want += "===> " + e.path() + " subido con exito\n";
    }
    pub::expect_run(site->run(), want + "Terminado!!!\n");
    pub::expect_run(site->run(), quiet());
}

// A wrong password: the server's refusal, exit status -1, nothing uploaded.
TEST_P(RealServer, WrongPasswordEndsTheRun)
{
    site->put("/index.html", "x", pub::at(2024, 1, 1, 0, 0, 0));
    site->config().set("ftppass", "no-es-esta");
    const std::string reply = server() == Server::pyftpdlib ? "530 Authentication failed.\n"
                                                              : "530 Login authentication failed\n";
    pub::expect_run(site->run(),
                    "Vantor v0.9.1\nConectamos a 127.0.0.1:" + std::to_string(ftp->port()) +
                        "\nConectado!!!\nError al identificarse\n" + reply + "\n",
                    255);
    EXPECT_EQ(site->rows(), pub::Rows{});
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         testing::Combine(testing::Values(Server::pyftpdlib, Server::pureftpd),
                                          testing::Values(pub::Store::server, pub::Store::file)),
                         [](const auto &i) {
                             return std::string(std::get<0>(i.param) == Server::pyftpdlib ? "pyftpdlib" : "pureftpd") +
                                    "_" + pub::store_name(std::get<1>(i.param));
                         });

// An own connection to the catalogue database, for holding a table lock.
struct Session {
    MYSQL *m = mysql_init(nullptr);
    Session()
    {
        const vt::MariaDb &db = vt::shared_mariadb();
        if (!mysql_real_connect(m, db.host().c_str(), db.user().c_str(), db.password().c_str(),
                                db.database().c_str(), static_cast<unsigned>(db.port()), nullptr, 0))
            throw std::runtime_error(mysql_error(m));
    }
    ~Session() { mysql_close(m); }
    void exec(const std::string &sql)
    {
        if (mysql_query(m, sql.c_str()) != 0)
            throw std::runtime_error(mysql_error(m));
    }
};

// Logs in on a raw control connection and returns the socket.
int raw_login(const vt::FtpDaemon &ftp)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(ftp.port()));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("connect");
    std::string cmds = "USER " + ftp.user() + "\r\nPASS " + ftp.pass() + "\r\n";
    send(s, cmds.data(), cmds.size(), MSG_NOSIGNAL);
    return s;
}

// Everything a socket receives until the peer closes or the limit passes.
std::string drain(int s, std::chrono::milliseconds limit)
{
    std::string all;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{s, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char b[512];
        ssize_t n = recv(s, b, sizeof b, 0);
        if (n <= 0)
            break;
        all.append(b, static_cast<size_t>(n));
    }
    return all;
}

// pure-ftpd closes a control connection that stayed quiet for two seconds
// (its clock sped up). A run over many unchanged files and one changed
// file, whose lookups are held up longer than that (a table lock stands in
// for a long quiet stretch), still uploads the changed one: the lost
// connection is made anew without a word.
TEST(IdleServer, UploadAfterAQuietStretchStillGoes)
{
    vt::PureFtpd::Options o;
    // Two seconds: the server's clock then runs 30 times fast, which its
    // wait for a data connection survives on a busy machine.
    o.idle_seconds = 2;
    vt::PureFtpd ftp(o);
    Site site("idle");
    site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    site.create_table();
    const time_t t = pub::at(2024, 6, 1, 12, 0, 0);
    for (int i = 0; i < 300; ++i)
        site.put("/a/f" + std::to_string(i) + ".txt", std::to_string(i), t);
    site.put("/z/cambia.txt", "antes", t);
    ASSERT_EQ(site.run().status, 0);

    site.put("/z/cambia.txt", "despues", t + 1);
    Session lock;
    lock.exec("LOCK TABLES " + site.table() + " WRITE");
    vt::Process run(site.spawn());
    ASSERT_TRUE(run.wait_for_output("Login correcto\n", 10s)) << run.out_so_far();
    // A probe that logs in after the run did is told of the timeout and
    // closed; by then the run's own session is gone too.
    int probe = raw_login(ftp);
    std::string seen = drain(probe, 3000ms);
    close(probe);
    std::this_thread::sleep_for(200ms);
    lock.exec("UNLOCK TABLES");
    vt::Outcome out = run.wait();
    EXPECT_NE(seen.find("\r\n421"), std::string::npos) << seen;

    pub::expect_run(out, pub::header(ftp.port()) + "===> /z/cambia.txt subido con exito\nTerminado!!!\n");
    EXPECT_EQ(vt::read_file(ftp.path("htdocs/z/cambia.txt")), "despues");
    EXPECT_EQ(site.rows().size(), 301u);
}

}  // namespace
