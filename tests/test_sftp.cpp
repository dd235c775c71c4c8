// Over SFTP, what the FTP tables (test_servers, test_transport) do not
// cover: the host-key check before the login, a prune, and the scripted
// server's cut connection, refused open and stall, also with several files
// in flight on one connection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "support/certificates.h"
#include "support/ftp_daemons.h"
#include "support/relay.h"
#include "support/scripted_sftp.h"
#include "support/site.h"
#include "support/ssh_daemons.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;
using pub::Site;

const time_t when = pub::at(2024, 5, 6, 7, 8, 9);

void use_sftp(Site &site, const std::string &host, int port, const std::string &user, const std::string &pass,
              const std::string &known)
{
    site.ftp(host, port, user, pass);
    site.config().set("protocol", "sftp").set("sshknownhosts", known);
}

// Only a known key lets a run log in: an unknown host (the default file
// missing too) and a changed key stop it before anything of the login is
// sent; a hashed file and IPv6 work; a refused login says so.
TEST(HostKey, OnlyAKnownKeyLetsTheRunLogIn)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd::Options so;
    so.log_level = "DEBUG1";  // logs every userauth-request
    so.ipv6 = true;
    vt::Sshd ssh(so);
    ssh.make_dir("htdocs");
    vt::TempDir home("vantor-home");
    vt::write_file(home / "vacio", "");
    const std::string port = std::to_string(ssh.port()), fp = "ED25519 " + ssh.fingerprint();
    const auto unknown = [&](const std::string &host, const std::string &file) {
        return "Error al conectar\nEl servidor " + (host == "::1" ? "[::1]" : host) + ":" + port + " no esta en " +
               file + " (su clave es " + fp + "); si es el suyo, agreguelo con: mkdir -p " +
               file.substr(0, file.rfind('/')) + " && ssh-keyscan -t ed25519,ecdsa -p " + port + " " + host +
               " >> " + file + "\n";
    };
    struct Case {
        std::string host;
        std::optional<std::string> known;  // none: $HOME/.ssh/known_hosts, missing
        std::string after;                 // after "Conectamos a"; empty: a publish
        std::string pass = vt::sftp_password;
        std::string key = "";  // sshkeyfile; empty: password login
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", home / "vacio", unknown("127.0.0.1", home / "vacio")},
        // Named but not made yet, its folder neither: as the default file.
        {"127.0.0.1", home / "nueva/known_hosts", unknown("127.0.0.1", home / "nueva/known_hosts")},
        {"::1", std::nullopt, unknown("::1", home / ".ssh/known_hosts")},
        {"127.0.0.1", ssh.wrong_known_hosts(),
         "Error al conectar\nLa clave del servidor 127.0.0.1:" + port + " ha cambiado: presenta " + fp +
             ", que no es la que guarda " + ssh.wrong_known_hosts() +
             "; si el cambio es legitimo, quite la linea vieja de ese archivo y agregue la nueva\n"},
        {"127.0.0.1", ssh.hashed_known_hosts(), ""},
        {"::1", ssh.known_hosts(), ""},
        {"127.0.0.1", ssh.known_hosts(),
         "Conectado!!!\nError al identificarse\nEl servidor SSH no acepta el usuario con esa clave o llave\n", "mala"},
        // The key is never offered: its passphrase does not open it.
        {"127.0.0.1", ssh.known_hosts(),
         "Conectado!!!\nError al identificarse\nLa frase de paso no abre la clave privada de sshkeyfile ('" +
             ssh.key_with_passphrase() + "')\nEscriba en ftppass la frase de paso de esa clave\n",
         "mala", ssh.key_with_passphrase()},
        // Only an ssh-rsa key known: the library asks the server for that
        // type alone, and the key exchange fails.
        {"127.0.0.1", home / "rsa",
         "Error al conectar\nUnable to exchange encryption keys\nEl archivo " +
             home / "rsa" + " guarda para 127.0.0.1:" + port +
             " una clave ssh-rsa, que la biblioteca SSH no puede comprobar con este servidor: quite esa linea y "
             "agregue las de otro tipo con: mkdir -p " + home.path() + " && ssh-keyscan -t ed25519,ecdsa -p " + port +
             " 127.0.0.1 >> " + home / "rsa" + "\n"},
    };
    const std::string blob = vt::ssh_test_keys().stranger_pub.substr(12);
    vt::write_file(home / "rsa", "# one host\n[127.0.0.1]:" + port + " ssh-rsa " + blob.substr(0, blob.find(' ')) + "\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + " " + c.known.value_or("(default)") + " " + c.pass);
        Site site("hostkey");
        use_sftp(site, c.host, ssh.port(), ssh.user(), c.pass, c.known.value_or(""));
        if (!c.known)
            site.config().remove("sshknownhosts");
        if (!c.key.empty())
            site.config().set("sshkeyfile", c.key);
        site.create_table();
        site.put("/d/a.txt", "a", when);
        const size_t seen = ssh.log().size();
        vt::Spawn s = site.spawn();
        s.env.emplace_back("HOME", home.path());
        const std::string opening = "Vantor v0.9.1\nConectamos a " + (c.host == "::1" ? "[::1]" : c.host) + ":" + port + "\n";
        if (c.after.empty()) {
            pub::expect_run(vt::run(s), opening + "Conectado!!!\nLogin correcto\n" + pub::new_file("/d/a.txt") +
                                            "Terminado!!!\n");
            EXPECT_EQ(vt::read_file(ssh.path("htdocs/d/a.txt")), "a");
            EXPECT_NE(ssh.log().find("userauth-request", seen), std::string::npos);  // what the others lack
            continue;
        }
        pub::expect_run(vt::run(s), opening + c.after, 255);
        if (c.pass == ssh.pass() || !c.key.empty()) {
            // The key exchange that fails ends with "(no match)"; a key the
            // passphrase does not open asks only for the server's methods.
            const bool rsa = c.after.find("ssh-rsa") != std::string::npos;
            EXPECT_TRUE(ssh.wait_for_log(rsa ? "(no match)" : "Connection closed by ", 5s, seen))
                << ssh.log().substr(seen);
            EXPECT_EQ(ssh.log().find(c.key.empty() ? "userauth-request" : "method publickey", seen),
                      std::string::npos)
                << ssh.log().substr(seen);
        }
        // The line it gives adds the server, and the next run logs in.
        const size_t add = c.after.find("agreguelo con: ");
        if (add != std::string::npos && c.known && c.known->find("nueva") != std::string::npos) {
            vt::Spawn sh;
            sh.program = "/bin/sh";
            sh.args = {"-c", c.after.substr(add + 15, c.after.size() - add - 16)};
            EXPECT_EQ(vt::run(sh).status, 0);
            EXPECT_EQ(site.run().status, 0);
            EXPECT_EQ(vt::read_file(ssh.path("htdocs/d/a.txt")), "a");
        }
    }
}

// A configuration pointed at the other protocol's port ends at once (not
// after the 15 s wait for a greeting, or the 120 s for a reply), with the
// server's first line and the protocol it speaks; over SFTP nothing at all
// is sent to the FTP server.
TEST(Mistakes, TheOtherProtocolsPortIsNamedAtOnce)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd ssh;
    vt::PyFtpd py;
    vt::PureFtpd pure;
    struct Case {
        int port;
        std::string protocol, first, hint;
        std::string ftptls = "no";
    };
    const std::string to_sftp = "El servidor saluda como un servidor SSH: para publicar por SFTP use protocol = \"sftp\"";
    const std::string to_ftp = "El servidor saluda como un servidor FTP: para publicar por FTP use protocol = \"ftp\"";
    const std::vector<Case> cases = {
        {ssh.port(), "ftp", "SSH-2.0-OpenSSH_", to_sftp},
        {ssh.port(), "ftp", "SSH-2.0-OpenSSH_", to_sftp, "implicit"},
        {py.port(), "sftp", "220 vantor test server ready.", to_ftp},
        {pure.port(), "sftp", "220---------- Welcome to Pure-FTPd", to_ftp},
    };
    const size_t seen = py.log().size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first + " " + c.ftptls);
        Site site("mistake");
        use_sftp(site, "127.0.0.1", c.port, "vantor", "secreto", ssh.known_hosts());
        site.config().set("protocol", c.protocol).set("ftptls", c.ftptls);
        if (c.ftptls != "no")
            site.config().set("ftpcafile", vt::test_certificates().server.cert);
        site.create_table();
        site.put("/a.txt", "a", when);
        vt::Spawn s = site.spawn();
        s.timeout = 10s;
        const vt::Outcome o = vt::run(s);
        const std::string start = "Vantor v0.9.1\nConectamos a 127.0.0.1:" + std::to_string(c.port) +
                                  "\nError al conectar\n" + c.first;
        EXPECT_EQ(o.status, 255) << vt::describe(o);
        EXPECT_EQ(o.out.substr(0, start.size()), start);
        EXPECT_EQ(o.out.substr(o.out.find('\n', start.size()) + 1), c.hint + "\n");
        EXPECT_EQ(o.err, "");
    }
    EXPECT_EQ(py.log().find("<- ", seen), std::string::npos) << py.log();
}

// A remote root the account may not make: the first file's climb reports
// the folder once, with the server's answer, and the run stops there with
// status 2, trying no other file.
TEST(Mistakes, ARemoteRootThatCannotBeMadeStopsTheRun)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd ssh;
    Site site("sin_raiz");
    use_sftp(site, ssh.host(), ssh.port(), ssh.user(), ssh.pass(), ssh.known_hosts());
    site.config().set("remoteroot", "/nohay/htdocs");
    site.create_table();
    for (const char *rel : {"/a.txt", "/d/b.txt", "/d/e/c.txt", "/f/g.txt"})
        site.put(rel, rel, when);
    // Files already handed to the connection's lanes are marked failed,
    // with no line of their own; the stop comes after them.
    const vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    EXPECT_EQ(vt::occurrences(o.out, "Error creando directorio /nohay:\nPermission denied\n\n"), 1) << o.out;
    const std::string stop = "No se puede crear remoteroot (/nohay/htdocs) en el servidor: la ejecucion se detiene; "
                             "creelo a mano o cambie remoteroot\nTerminado!!!\n";
    EXPECT_EQ(o.out.substr(o.out.size() - std::min(o.out.size(), stop.size())), stop) << o.out;
    EXPECT_EQ(site.rows(), pub::Rows{});
}

// Names that need escaping in a URL (#?%, a line break) and in a quoted
// command (space, quote, backslash) are stored and removed; a prune forgets
// a file already gone from the server.
TEST(Prune, RemovesAndForgets)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd ssh;
    // The catalogue on the server, then in a file, each into a folder of
    // its own.
    for (pub::Store store : {pub::Store::server, pub::Store::file}) {
        SCOPED_TRACE(pub::store_name(store));
        const std::string htdocs = "htdocs-" + pub::store_name(store);
        ssh.make_dir(htdocs);
        Site site("prune");
        site.in(store);
        use_sftp(site, ssh.host(), ssh.port(), ssh.user(), ssh.pass(), ssh.known_hosts());
        site.config().set("remoteroot", "/" + htdocs);
        site.create_table();
        const std::string breaks = "/sub dir/d\r\nDELE b.txt";
        for (const std::string rel : {"/a \"q\\z\".txt", "/sub dir/b #1?%.txt", "/sub dir/c.txt", breaks.c_str()})
            site.put(rel, rel, when);
        ASSERT_EQ(site.run().status, 0);
        EXPECT_EQ(vt::read_file(ssh.path(htdocs + "/sub dir/b #1?%.txt")), "/sub dir/b #1?%.txt");
        ASSERT_EQ(unlink(site.local("/a \"q\\z\".txt").c_str()), 0);
        ASSERT_EQ(unlink(site.local("/sub dir/c.txt").c_str()), 0);
        ASSERT_EQ(unlink(ssh.path(htdocs + "/sub dir/c.txt").c_str()), 0);
        EXPECT_EQ(vt::read_file(ssh.path(htdocs + breaks)), breaks);
        ASSERT_EQ(unlink(site.local(breaks).c_str()), 0);
        pub::expect_run(site.run({"-p"}), pub::header(ssh.port()) + "===> /a \"q\\z\".txt borrado con exito\n"
                                          "===> /sub dir/c.txt ya no estaba en el servidor\n===> " + breaks +
                                          " borrado con exito\nTerminado!!!\n");
        EXPECT_NE(access(ssh.path(htdocs + breaks).c_str(), F_OK), 0);
        EXPECT_NE(access(ssh.path(htdocs + "/a \"q\\z\".txt").c_str(), F_OK), 0);
        EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/sub dir/", "b #1?%.txt"}, when)});
    }
}

// A file cut in the middle goes again over a new connection and arrives
// whole; a refused open shows the status text; a write that never gets an
// answer is cut after the wait, on its retry too; the run goes on.
TEST(Scripted, CutRefusalAndStall)
{
    vt::ScriptedSftp sftp;
    sftp.make_dir("htdocs");
    Site site("scripted_sftp");
    const std::string known = site.local() + "/../known_hosts", big(200000, 'b');
    vt::write_file(known, vt::read_file(sftp.known_hosts()));
    use_sftp(site, sftp.host(), sftp.port(), sftp.user(), sftp.pass(), known);
    site.create_table();
    site.put("/big.bin", big, when);
    site.put("/no.txt", "n", when);
    site.put("/lento.txt", "l", when);
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::ok());
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::drop());
    sftp.queue("open", "/htdocs/no.txt", vt::SftpAnswer::permission_denied());
    for (int i = 0; i < 2; ++i)
        sftp.queue("write", "/htdocs/lento.txt", vt::SftpAnswer::stall());
    std::string want = pub::header(sftp.port());
    for (const pub::Entry &e : pub::listing(site.local())) {
        const std::string why = e.nombre == "no.txt" ? "Permission denied\n" : "El servidor no respondio en 2 s";
        want += e.nombre == "big.bin" ? pub::new_file("/big.bin")
                                      : "NUEVO ARCHIVO!!!  Bienvenido " + e.path() + "!\nError subiendo archivo /htdocs" +
                                            e.path() + " desde " + site.local(e.path()) + ":\n" + why +
                                            "\n===> ERROR al subir " + e.path() + "\n";
    }
    vt::Spawn s = site.spawn();
    s.env.emplace_back("VANTOR_PLAZO_FTP", "2");
    // libcurl 7.88 does not free an SSH session it drops in the middle of a
    // request (the stall): only the sanitizer build reads this.
    vt::write_file(known + ".lsan", "leak:libssh2.so\nleak:libcurl.so\n");
    s.env.emplace_back("LSAN_OPTIONS", "print_suppressions=0:suppressions=" + known + ".lsan");
    pub::expect_run(vt::run(s), want + "Terminado!!!\n", 2);
    EXPECT_EQ(vt::read_file(sftp.path("htdocs/big.bin")), big);
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/", "big.bin"}, when)});
}

// Several files in flight on one connection: the last one's write is cut or
// refused while the others' answers are held back. After a cut every file
// that was in flight goes again, all over one new connection, and arrives
// whole; after a refusal the others are stored and the run ends with 2.
TEST(Scripted, SeveralFilesInFlight)
{
    struct Case {
        std::string name;
        vt::SftpAnswer last;  // the answer to the last file's first write
        int status, connections;
    };
    const std::vector<Case> cases = {
        {"cut", vt::SftpAnswer::drop(), 0, 2},
        {"refusal", vt::SftpAnswer::permission_denied(), 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vt::ScriptedSftp sftp;
        sftp.make_dir("htdocs");
        Site site("inflight_" + c.name);
        const std::string known = site.local() + "/../known_hosts";
        vt::write_file(known, vt::read_file(sftp.known_hosts()));
        use_sftp(site, sftp.host(), sftp.port(), sftp.user(), sftp.pass(), known);
        site.create_table();
        for (int i = 0; i < 6; ++i)
            site.put("/f" + std::to_string(i) + ".bin", std::string(20000 + i, static_cast<char>('a' + i)), when);
        const std::vector<pub::Entry> files = pub::listing(site.local());
        const pub::Entry &last = files.back();
        for (const pub::Entry &e : files)
            if (e.path() != last.path())
                sftp.queue("write", "/htdocs" + e.path(), vt::SftpAnswer::ok(600ms));
        sftp.queue("write", "/htdocs" + last.path(), c.last);
        std::string want = pub::header(sftp.port());
        pub::Rows rows;
        for (const pub::Entry &e : files) {
            if (c.status && e.path() == last.path()) {
                want += "NUEVO ARCHIVO!!!  Bienvenido " + e.path() + "!\nError subiendo archivo /htdocs" + e.path() +
                        " desde " + site.local(e.path()) + ":\nPermission denied\n\n===> ERROR al subir " + e.path() +
                        "\n";
                continue;
            }
            want += pub::new_file(e.path());
            rows.push_back(pub::row(e, when));
        }
        pub::expect_run(site.run(), want + "Terminado!!!\n", c.status);
        for (const pub::Entry &e : files) {
            if (c.status && e.path() == last.path())
                continue;
            EXPECT_EQ(vt::read_file(sftp.path("htdocs" + e.path())), vt::read_file(site.local(e.path()))) << e.path();
        }
        EXPECT_EQ(site.rows(), pub::sorted(rows));
        EXPECT_EQ(sftp.connections(), c.connections);
        // The other files' writes reached the first connection, and their
        // answers were held back: they were in flight together. After a cut,
        // those not yet sent when it came (scheduling decides how many) go
        // on the new connection.
        int held = 0;
        const std::vector<std::vector<std::string>> sessions = sftp.sessions();
        for (const std::string &r : sessions.at(0))
            held += r.rfind("write /htdocs/f", 0) == 0 && r.find(last.nombre) == std::string::npos;
        if (c.connections == 1)
            EXPECT_EQ(held, 5);
        else
            EXPECT_GE(held, 2);
    }
}

// A new folder is asked for in the round trip of its first files' opens: no
// open is refused and sent again. A folder the server refuses is reported
// as itself, its files alone fail, and the run ends with 2.
TEST(Scripted, NewFoldersGoWithTheirFiles)
{
    vt::ScriptedSftp sftp;
    sftp.make_dir("htdocs");
    Site site("sftp_folders");
    const std::string known = site.local() + "/../known_hosts";
    vt::write_file(known, vt::read_file(sftp.known_hosts()));
    use_sftp(site, sftp.host(), sftp.port(), sftp.user(), sftp.pass(), known);
    site.create_table();
    for (const char *f : {"/a/g.txt", "/a/b/f1.txt", "/a/b/f2.txt", "/a/b/c/e.txt", "/no/h.txt"})
        site.put(f, f, when);
    for (int i = 0; i < 3; ++i)
        sftp.queue("mkdir", "/htdocs/no", vt::SftpAnswer::permission_denied());
    std::string want = pub::header(sftp.port());
    for (const pub::Entry &e : pub::listing(site.local()))
        want += e.path() != "/no/h.txt" ? pub::new_file(e.path())
                                        : "NUEVO ARCHIVO!!!  Bienvenido /no/h.txt!\nError creando directorio "
                                          "/htdocs/no:\nPermission denied\n\n===> ERROR al subir /no/h.txt\n";
    pub::expect_run(site.run(), want + "Terminado!!!\n", 2);
    const std::vector<std::string> requests = sftp.sessions().at(0);
    for (const pub::Entry &e : pub::listing(site.local())) {
        if (e.path() == "/no/h.txt")
            continue;
        EXPECT_EQ(vt::read_file(sftp.path("htdocs" + e.path())), vt::read_file(site.local(e.path()))) << e.path();
        EXPECT_EQ(std::count(requests.begin(), requests.end(), "open /htdocs" + e.path() + " write,create,truncate"), 1)
            << e.path();
    }
}

// A server that allows fewer SFTP channels on a connection than the files
// vantor would keep in flight on it: the channels it refuses stay unused,
// the connection goes on, and every file arrives.
TEST(Lanes, FewerChannelsThanFilesInFlight)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd::Options so;
    so.extra_config = {"MaxSessions 2"};
    vt::Sshd ssh(so);
    ssh.make_dir("htdocs");
    // 20 ms away, so that files wait for a lane and more lanes are asked for.
    vt::Relay far(ssh.port(), 20);
    Site site("lanes");
    std::string known = vt::read_file(ssh.known_hosts());
    for (size_t i = 0; (i = known.find("[127.0.0.1]", i)) != std::string::npos;)
        known.replace(i, 11, "[127.0.0.2]");
    vt::write_file(site.local() + "/../known_hosts_far", known);
    use_sftp(site, far.host(), far.port(), ssh.user(), ssh.pass(), site.local() + "/../known_hosts_far");
    site.create_table();
    for (int i = 0; i < 20; ++i)
        site.put("/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".txt", std::string(3000 + i, 'x'), when);
    std::string want = pub::header(far.port());
    want.replace(want.find("127.0.0.1"), 9, far.host());
    for (const pub::Entry &e : pub::listing(site.local()))
        want += pub::new_file(e.path());
    pub::expect_run(site.run(), want + "Terminado!!!\n");
    for (const pub::Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(ssh.path("htdocs" + e.path())), vt::read_file(site.local(e.path()))) << e.path();
    // One login; the channels past the second were asked for and refused.
    EXPECT_EQ(vt::occurrences(ssh.log(), "Accepted password"), 1) << ssh.log();
    EXPECT_TRUE(ssh.wait_for_log("no more sessions", 5s)) << ssh.log();
}

// Through a 20 ms round trip a file waits on the server for some three round
// trips; those waits sleep on the socket, so that the run's CPU stays a small
// part of its time, with one connection and with several at once (a quarter
// at most: a spinning wait takes a third to more than half, and the
// sanitizer build about an eighth).
TEST(Far, WaitingOnTheServerTakesLittleCpu)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd ssh;
    vt::Relay far(ssh.port(), 20);
    Site base("far_sftp");
    std::string known = vt::read_file(ssh.known_hosts());
    for (size_t i = 0; (i = known.find("[127.0.0.1]", i)) != std::string::npos;)
        known.replace(i, 11, "[127.0.0.2]");
    const std::string known_file = base.local() + "/../known_hosts_far";
    vt::write_file(known_file, known);
    for (int conexiones : {1, 4}) {
        SCOPED_TRACE(conexiones);
        const std::string carpeta = "c" + std::to_string(conexiones);
        ssh.make_dir(carpeta);
        Site site("far_sftp_" + carpeta);
        use_sftp(site, far.host(), far.port(), ssh.user(), ssh.pass(), known_file);
        site.config().set("remoteroot", "/" + carpeta).set("ftpconnections", std::to_string(conexiones));
        site.create_table();
        for (int i = 0; i < 80; ++i)
            site.put("/f" + std::to_string(i) + ".txt", std::string(5000, static_cast<char>('a' + i % 26)), when);
        const auto t0 = std::chrono::steady_clock::now();
        const vt::Outcome o = site.run();
        const auto wall = std::chrono::steady_clock::now() - t0;
        ASSERT_EQ(o.status, 0) << vt::describe(o);
        EXPECT_EQ(vt::read_file(ssh.path(carpeta + "/f79.txt")), std::string(5000, 'b'));
        EXPECT_LT(o.cpu * 4, wall) << "CPU " << o.cpu.count() / 1000 << " ms in "
                                    << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
    }
}

}  // namespace
