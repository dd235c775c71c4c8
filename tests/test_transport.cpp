// The transfer of files end to end: several connections at once against
// real servers and the scripted one (a folder they all need, refused
// connections, a busy passive port, an interrupt with uploads under way),
// a server that stops answering, and remote paths around 1,017 bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "support/site.h"
#include "support/text.h"
#include "support/ftp_daemons.h"
#include "support/scripted_site.h"
#include "publish/listado.h"
#include "publish/motor.h"

namespace {

using namespace std::chrono_literals;
using pub::Entry;
using pub::Site;
using vt::Reply;

const time_t when = pub::at(2022, 6, 7, 8, 9, 10);

std::string all_new(const Site &site, int port)
{
    std::string out = pub::header(port);
    for (const Entry &e : pub::listing(site.local()))
        out += pub::new_file(e.path());
    return out + "Terminado!!!\n";
}

// Files whose lines and rows the cases below check: some in the root, most
// in nested folders the server does not have yet.
void fill(Site &site, int count)
{
    for (int i = 0; i < count; ++i) {
        std::string rel = i % 5 == 0   ? "/r" + std::to_string(i) + ".html"
                          : i % 5 == 1 ? "/a/b/c/f" + std::to_string(i) + ".css"
                                       : "/a/x" + std::to_string(i % 3) + "/g" + std::to_string(i) + ".js";
        site.put(rel, "<" + rel + ">" + std::string(static_cast<size_t>(i) * 97, 'v'), when);
    }
}

pub::Rows all_rows(const Site &site)
{
    pub::Rows r;
    for (const Entry &e : pub::listing(site.local()))
        r.push_back(pub::row(e, when));
    return pub::sorted(r);
}

enum class Server { pyftpdlib, pureftpd };

// Eight connections that all meet the same missing folders: every file is
// stored, no climb is reported, and the output, the rows and the server's
// files are those of a run with one connection.
class Parallel : public testing::TestWithParam<Server> {};

TEST_P(Parallel, SameLinesRowsAndFilesAsOneConnection)
{
    std::unique_ptr<vt::FtpDaemon> ftp;
    if (GetParam() == Server::pyftpdlib)
        ftp = std::make_unique<vt::PyFtpd>();
    else
        ftp = std::make_unique<vt::PureFtpd>();
    ftp->make_dir("htdocs");

    Site site("par");
    site.ftp(ftp->host(), ftp->port(), ftp->user(), ftp->pass());
    site.config().set("ftpconnections", "8");
    site.create_table();
    fill(site, 60);

    pub::expect_run(site.run(), all_new(site, ftp->port()));
    EXPECT_EQ(site.rows(), all_rows(site));
    for (const Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(ftp->path("htdocs" + e.path())), vt::read_file(site.local(e.path()))) << e.path();

    // A quiet rerun, then a change to every third file.
    pub::expect_run(site.run(), pub::header(ftp->port()) + "Terminado!!!\n");
    std::string want = pub::header(ftp->port());
    int i = 0;
    for (const Entry &e : pub::listing(site.local())) {
        if (i++ % 3)
            continue;
        site.put(e.path(), "nuevo " + e.path(), when + 60);
        want += "===> " + e.path() + " subido con exito\n";
    }
    pub::expect_run(site.run(), want + "Terminado!!!\n");
    for (const Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(ftp->path("htdocs" + e.path())), vt::read_file(site.local(e.path()))) << e.path();
}

INSTANTIATE_TEST_SUITE_P(Servers, Parallel, testing::Values(Server::pyftpdlib, Server::pureftpd),
                         [](const auto &i) { return i.param == Server::pyftpdlib ? "pyftpdlib" : "pureftpd"; });

struct Scripted : pub::ScriptedSite {
    Scripted() : ScriptedSite("tr") {}
};

// The server lets one connection in and refuses the others (its limit per
// account or address), at the greeting or at the login: the run goes on
// with the one it has and says nothing of the others.
TEST_F(Scripted, RefusedExtraConnectionsAreLeftOut)
{
    for (bool at_login : {false, true}) {
        SCOPED_TRACE(at_login ? "at the login" : "at the greeting");
        vt::ScriptedFtp f;
        Site s(at_login ? "lim_login" : "lim_greet");
        s.ftp(f.host(), f.port(), f.user(), f.pass());
        s.config().set("ftpconnections", "4");
        s.create_table();
        fill(s, 12);
        if (at_login) {
            f.queue("PASS", Reply::line("230 Logged in."));
            for (int i = 0; i < 3; ++i)
                f.queue("PASS", Reply::line_then_close("421 Too many connections (1) from this IP"));
        } else {
            // Only the first connection is greeted; the later ones are
            // turned away once it is in.
            f.queue("PWD", Reply::line("257 \"/\" is the current directory."));
            f.set_greeting(Reply::line("220 Welcome."));
            std::thread refuse([&] {
                f.wait_for_command("PWD", 10s);
                f.set_greeting(Reply::line_then_close("421 Too many users, try later."));
            });
            vt::Outcome o = s.run();
            refuse.join();
            pub::expect_run(o, all_new(s, f.port()));
            EXPECT_EQ(s.rows(), all_rows(s));
            continue;
        }
        pub::expect_run(s.run(), all_new(s, f.port()));
        EXPECT_EQ(s.rows(), all_rows(s));
        EXPECT_EQ(f.stored().size(), 12u);
    }
}

// A 425 (no data connection: the server's passive ports are taken by the
// other connections) is waited out and the file sent again, silently.
TEST_F(Scripted, BusyPassivePortIsRetried)
{
    site.config().set("ftpconnections", "3");
    fill(site, 9);
    for (int i = 0; i < 4; ++i)
        ftp.queue("STOR", Reply::line("425 Can't open data connection."));
    pub::expect_run(site.run(), all_new(site, ftp.port()));
    EXPECT_EQ(site.rows(), all_rows(site));
    std::set<std::string> stored;
    for (const vt::StoredFile &f : ftp.stored())
        if (f.complete)
            stored.insert(f.path);
    EXPECT_EQ(stored.size(), 9u);
}

// Ctrl-C with uploads under way on several connections: status 130 within a
// second, the output a run of whole files in walk order (the file whose turn
// it is may have its welcome line), and no row for a file whose success
// line was not written.
TEST_F(Scripted, InterruptWithUploadsUnderWay)
{
    site.config().set("ftpconnections", "4");
    fill(site, 30);
    auto order = pub::listing(site.local());
    // Every upload after the sixth stalls after its data.
    for (size_t i = 6; i < order.size(); ++i)
        ftp.queue("STOR", "/htdocs" + order[i].path(), Reply::transfer_then_stall());

    vt::Process run(site.spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs" + order[8].path(), 10s));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(run.running());
    auto sent = std::chrono::steady_clock::now();
    run.signal(SIGINT);
    vt::Outcome o = run.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(o.status, 130);
    EXPECT_EQ(o.err, "");

    std::string want = pub::header(ftp.port());
    size_t done = 0;
    while (done < order.size() && o.out.size() >= want.size() + pub::new_file(order[done].path()).size() &&
           o.out.compare(want.size(), pub::new_file(order[done].path()).size(),
                         pub::new_file(order[done].path())) == 0)
        want += pub::new_file(order[done++].path());
    EXPECT_LE(done, 6u);
    std::string rest = o.out.substr(want.size());
    EXPECT_TRUE(rest.empty() || rest == "NUEVO ARCHIVO!!!  Bienvenido " + order[done].path() + "!\n") << o.out;
    for (const auto &row : site.rows()) {
        bool reported = false;
        for (size_t i = 0; i < done; ++i)
            reported |= order[i].ruta == row[0] && order[i].nombre == row[1];
        EXPECT_TRUE(reported) << row[0] << row[1];
    }
}

// A server that stops answering after the data: the upload fails after the
// wait (shortened here) and counts as a lost connection: the file is sent
// once more over a new one, and reported when that stalls too.
TEST_F(Scripted, StalledReplyEndsAfterTheWait)
{
    site.put("/a.txt", "a", when);
    site.put("/b.txt", "b", when);
    ftp.queue("STOR", "/htdocs/a.txt", Reply::transfer_then_stall());
    ftp.queue("STOR", "/htdocs/b.txt", Reply::transfer_then_stall());
    ftp.queue("STOR", "/htdocs/b.txt", Reply::transfer_then_stall());

    vt::Spawn s = site.spawn();
    s.env.emplace_back("VANTOR_PLAZO_FTP", "2");
    auto t0 = std::chrono::steady_clock::now();
    vt::Outcome o = vt::run(s);
    auto took = std::chrono::steady_clock::now() - t0;

    std::string want = pub::header(ftp.port());
    for (const Entry &e : pub::listing(site.local())) {
        if (e.nombre == "a.txt")
            want += pub::new_file("/a.txt");
        else
            want += "NUEVO ARCHIVO!!!  Bienvenido /b.txt!\nError subiendo archivo /htdocs/b.txt desde " +
                    site.local("/b.txt") + ":\nEl servidor no respondio en 2 s\n===> ERROR al subir /b.txt\n";
    }
    pub::expect_run(o, want + "Terminado!!!\n", 2);
    EXPECT_GE(took, 6s);
    EXPECT_LT(took, 20s);
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/", "a.txt"}, when)});
}

// Connections lost, refused, or never needed: a connection whose server
// closes it and will not let it in again hands its file to another (a run
// that dropped it would hang holding the run lock); every configured
// connection is opened once files wait and each uploads; a run with
// nothing to upload opens one; an upload the server stops reading is cut
// off after the stall limit and sent again over a new connection.
TEST_F(Scripted, ConnectionsLostRefusedOrNeverNeeded)
{
    fill(site, 12);
    vt::Reply slow = Reply::transfer();
    slow.delay = 150ms;
    auto logins = [](const vt::ScriptedFtp &f) {
        int n = 0;
        for (const std::string &c : f.commands())
            n += c.rfind("PASS ", 0) == 0;
        return n;
    };
    {
        SCOPED_TRACE("lost, and refused at the new login");
        vt::ScriptedFtp f;
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        site.config().set("ftpconnections", "2");
        f.set_default("STOR", slow);
        f.queue("PASS", Reply::line("230 Logged in."));
        f.queue("PASS", Reply::line("230 Logged in."));
        f.queue("PASS", Reply::line("530 Login incorrect."));
        f.queue("STOR", "/htdocs" + pub::listing(site.local())[4].path(), Reply::line_then_close("421 Bye."));
        pub::expect_run(site.run(), all_new(site, f.port()));
        EXPECT_EQ(site.rows(), all_rows(site));
        EXPECT_EQ(logins(f), 3);
    }
    pub::expect_run(site.run({"-d"}), "Terminado!!!\n");
    {
        SCOPED_TRACE("every connection opened and used");
        vt::ScriptedFtp f;
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        site.config().set("ftpconnections", "4");
        f.set_default("STOR", slow);
        pub::expect_run(site.run(), all_new(site, f.port()));
        EXPECT_EQ(logins(f), 4);
        std::set<int> used;
        for (const vt::StoredFile &s : f.stored())
            used.insert(s.session);
        EXPECT_EQ(used.size(), 4u);
    }
    {
        SCOPED_TRACE("nothing to upload");
        vt::ScriptedFtp f;
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        site.config().set("ftpconnections", "8");
        pub::expect_run(site.run(), pub::header(f.port()) + "Terminado!!!\n");
        EXPECT_EQ(f.connections(), 1);
    }
    {
        SCOPED_TRACE("an upload the server stops reading");
        vt::ScriptedFtp f;
        Site s("stall");
        s.ftp(f.host(), f.port(), f.user(), f.pass());
        s.create_table();
        s.put("/grande.bin", vt::bytes(16 << 20, 3), when);
        vt::Reply deaf;
        deaf.text = "150 Ok to send data.";
        deaf.end = Reply::End::Stall;
        f.queue("STOR", deaf);
        vt::Spawn how = s.spawn();
        how.env.emplace_back("VANTOR_PLAZO_FTP", "2");
        pub::expect_run(vt::run(how), pub::header(f.port()) + pub::new_file("/grande.bin") + "Terminado!!!\n");
        ASSERT_EQ(f.stored().size(), 1u);
        EXPECT_TRUE(f.stored()[0].complete);
        EXPECT_EQ(f.stored()[0].bytes.size(), 16u << 20);
        EXPECT_EQ(f.connections(), 2);
    }
}

// Remote paths of 1,016 to 1,018 bytes, and longer, travel whole: four
// folders of 62 four-byte characters (253 characters, the most a catalogue
// row holds, in 997 bytes) and names of growing length.
TEST(LongPaths, AroundTheOldCommandLimit)
{
    vt::PyFtpd ftp;
    ftp.make_dir("htdocs");
    Site site("largas");
    site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    site.create_table();
    std::string ruta = "/";
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 62; ++k)
            ruta += "\xf0\x9f\x98\x80";
        ruta += "/";
    }
    const size_t base = std::string("/htdocs").size() + ruta.size();
    for (size_t total : {1016u, 1017u, 1018u, 1200u})
        site.put(ruta + std::string(total - base, static_cast<char>('k' + total % 7)), "x", when);
    site.put("/fin.txt", "fin", when);

    vt::Spawn s = site.spawn();
    s.timeout = 30s;
    pub::expect_run(vt::run(s), all_new(site, ftp.port()));
    for (const Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(ftp.path("htdocs" + e.path())), vt::read_file(site.local(e.path())));
}

// A value the optional FTP keys cannot take stops the run before the
// database or the server is contacted, as a missing key does; values in any
// letter case and the limits pass.
TEST(Settings, BadValuesOfTheFtpKeysStopTheRun)
{
    const std::string tls = "\"ftptls\" debe ser \"no\", \"explicit\" o \"implicit\"\n";
    const std::string conns = "\"ftpconnections\" debe ser un numero de 1 a 16\n";
    // A FIFO with no writer is refused at once, not waited on.
    vt::TempDir fifos("vantor-fifo");
    const std::string fifo = fifos / "llave";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::pair<std::string, std::string>> keys;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{{"ftptls", "si"}}, tls},
        {{{"ftptls", ""}}, tls},
        {{{"ftpconnections", "0"}}, conns},
        {{{"ftpconnections", "17"}}, conns},
        {{{"ftpconnections", "ocho"}}, conns},
        {{{"ftpconnections", "-1"}}, conns},
        {{{"ftptls", "tls"}, {"ftpconnections", "99"}}, tls + conns},
        // TLS that could trust no one is known before anything is contacted.
        {{{"ftptls", "explicit"}, {"ftpcafile", "/no/existe.pem"}},
         "Imposible leer ftpcafile '/no/existe.pem': No such file or directory\n"},
        {{{"ftptls", "implicit"}, {"ftpcafile", "/"}}, "Imposible leer ftpcafile '/': Is a directory\n"},
        // Over SFTP TLS has no place; the key and a known-hosts file named must be readable.
        {{{"protocol", "x"}}, "\"protocol\" debe ser \"ftp\" o \"sftp\"\n"},
        {{{"protocol", "sftp"}, {"ftptls", "explicit"}}, "\"ftptls\" debe ser \"no\" o faltar con protocol = \"sftp\"\n"},
        {{{"protocol", "sftp"}, {"sshkeyfile", "/no/id"}}, "Imposible leer sshkeyfile '/no/id': No such file or directory\n"},
        {{{"protocol", "sftp"}, {"sshknownhosts", "/"}}, "Imposible leer sshknownhosts '/': Is a directory\n"},
        {{{"protocol", "sftp"}, {"sshkeyfile", fifo}}, "Imposible leer sshkeyfile '" + fifo + "': Is a directory\n"},
    };
    for (const Case &c : cases) {
        vt::TempDir dir("vantor-settings");
        vt::Config conf;  // its database is not there: reaching it would fail otherwise
        std::string shown;
        for (const auto &[k, v] : c.keys) {
            conf.set(k, v);
            shown += k + "=" + v + " ";
        }
        SCOPED_TRACE(shown);
        vt::Outcome o = vt::run_vantor({conf.write(dir / "v.conf")});
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 255);
    }
    // Accepted: the run goes on to the database, which is not there.
    for (const auto &[k, v] : std::vector<std::pair<std::string, std::string>>{
             {"ftptls", "NO"}, {"ftptls", "Explicit"}, {"ftpconnections", "1"}, {"ftpconnections", "16"},
             {"ftpcafile", "/no/existe.pem"}, {"protocol", "SFTP"}, {"sshkeyfile", "/no/id"}}) {
        vt::TempDir dir("vantor-settings");
        vt::Config conf;
        conf.set(k, v);
        vt::Outcome o = vt::run_vantor({conf.write(dir / "v.conf")});
        EXPECT_EQ(o.status, 1) << k << "=" << v << "\n" << vt::describe(o);
    }
    // A known-hosts file named but not made yet counts as empty, as the
    // default one does: the first connection shows how to add the server.
    vt::TempDir dir("vantor-settings");
    vt::Config conf;
    conf.set("protocol", "sftp").set("sshknownhosts", "/no/kh");
    EXPECT_EQ(vt::run_vantor({conf.write(dir / "v.conf")}).status, 1);
}

}  // namespace

namespace {

// The lines of remote listings the verifying run reads: MLSD, the "ls -l"
// forms of LIST and of SFTP's long names (with and without a group, numeric
// owners, a year, an ISO date, spaces and an arrow in names), the DOS form,
// and the lines that name no entry.
TEST(Listings, EachFormGivesNameSizeAndKind)
{
    struct Case {
        std::string line;
        bool mlsd;
        bool entry;
        std::string name;
        long long size;
        bool dir;
    } cases[] = {
        {"type=file;size=1234;modify=20240101000000; dos dos.txt", true, true, "dos dos.txt", 1234, false},
        {"Type=dir;Modify=20240101000000; img", true, true, "img", -1, true},
        {"type=cdir; .", true, false, "", 0, false},
        {"type=OS.unix=slink:/x;size=9; enlace", true, true, "enlace", -1, false},
        {"-rw-r--r--    1 1000     1000          350 Jun 07 08:09 dos dos.txt", false, true, "dos dos.txt", 350, false},
        {"-rw-r--r-- 1 ftp 400 Jan  1  2023 .htaccess", false, true, ".htaccess", 400, false},
        {"-rw-r--r-- 1 u g 12 2024-06-07 08:09  lead", false, true, " lead", 12, false},
        {"drwxr-xr-x 2 u g 4096 Jun 07 08:09 b", false, true, "b", -1, true},
        {"lrwxrwxrwx 1 u g 5 Jun 07 08:09 a -> b", false, true, "a", -1, false},
        {"-rw-r--r-- 1 u g 7 ene. 07 08:09 12:00", false, true, "12:00", 7, false},
        {"drwxr-xr-x 2 u g 4096 Jun 07 08:09 ..", false, false, "", 0, false},
        {"total 12", false, false, "", 0, false},
        {"01-31-24  09:15AM       <DIR>          docs", false, true, "docs", -1, true},
        {"01-31-24  09:15AM              1234 a b.txt", false, true, "a b.txt", 1234, false},
        // Numeric groups beside four-digit sizes, numeric owners, ISO dates.
        {"-rw-r--r-- 1 www 33 1234 Jan 01 12:00 index.html", false, true, "index.html", 1234, false},
        {"-rw-r--r-- 1 33 2048 Jan 01 12:00 sin grupo", false, true, "sin grupo", 2048, false},
        {"-rw-r--r-- 1 0 1 9999 2024-01-31 12:00 iso", false, true, "iso", 9999, false},
        // Never files: an empty name, a NUL type byte, a folder's own names.
        {"lrwxrwxrwx 1 u g 5 Jun 07 08:09  -> b", false, false, "", 0, false},
        {std::string("\0rw-r--r-- 1 u g 5 Jun 07 08:09 x", 32), false, false, "", 0, false},
        {"type=file;size=3; .", true, false, "", 0, false},
        // The DOS form keeps blanks a name starts with.
        {"01-31-24  09:15AM                12  lead", false, true, " lead", 12, false},
        {"01-31-24  09:15AM       <DIR>           sp", false, true, " sp", -1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        entrada_remota e;
        ASSERT_EQ(lee_entrada(c.line, c.mlsd, e), c.entry);
        if (!c.entry)
            continue;
        EXPECT_EQ(e.nombre, c.name);
        EXPECT_EQ(e.tamano, c.size);
        EXPECT_EQ(e.carpeta, c.dir);
    }
    EXPECT_EQ(lee_listado("type=file;size=1; a\r\ntype=file;size=2; b\r\n", true).size(), 2u);
}

// Each protocol's refusals, sorted as uploads, folders and prunes act on
// them, and the paths it refuses before anything is sent.
TEST(Dialects, RefusalsAndRefusedPaths)
{
    struct Case {
        const char *what;
        const dialecto &d;
        int code;
        negativa r;
        bool folder_missing, gone;
    } cases[] = {
        {"FTP 550", dialecto_ftp(), 550, negativa::no_existe, true, true},
        {"FTP 553", dialecto_ftp(), 553, negativa::nombre_no_admitido, true, false},
        {"FTP 450", dialecto_ftp(), 450, negativa::ninguno, false, false},
        {"FTP 421", dialecto_ftp(), 421, negativa::ninguno, false, false},
        {"SFTP No such file", dialecto_sftp(), 2, negativa::no_existe, true, true},
        {"SFTP Permission denied", dialecto_sftp(), 3, negativa::ninguno, false, false},
        {"SFTP Failure", dialecto_sftp(), 4, negativa::ninguno, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        desenlace d;
        d.clase = c.d.clasifica(c.code);
        EXPECT_EQ(d.clase, c.r);
        EXPECT_EQ(d.falta_carpeta(), c.folder_missing);
        EXPECT_EQ(d.no_existe(), c.gone);
    }
    for (negativa r : {negativa::renombre, negativa::sin_temporal}) {
        desenlace d;
        d.clase = r;
        EXPECT_FALSE(d.falta_carpeta());
        EXPECT_FALSE(d.no_existe());
    }
    const std::string breaks = "/htdocs/a\r\nDELE b.txt";
    EXPECT_EQ(dialecto_ftp().ruta_rechazada(breaks),
              "La ruta remota contiene un salto de linea, que el protocolo FTP no admite");
    EXPECT_EQ(dialecto_ftp().ruta_rechazada("/htdocs/a\tb.txt"), std::nullopt);
    EXPECT_EQ(dialecto_sftp().ruta_rechazada(breaks), std::nullopt);
}

}  // namespace
