// Publishing over SFTP end to end: OpenSSH's sshd with one and four
// connections, password and key login; the host-key check; the settings of
// the transport; and the scripted server's cut, refusal and stall.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <tuple>

#include "support/scripted_sftp.h"
#include "support/site.h"
#include "support/ssh_daemons.h"

namespace {

using namespace std::chrono_literals;
using pub::Entry;
using pub::Site;

const time_t when = pub::at(2024, 5, 6, 7, 8, 9);

std::string all_new(const Site &site, int port)
{
    std::string out = pub::header(port);
    for (const Entry &e : pub::listing(site.local()))
        out += pub::new_file(e.path());
    return out + "Terminado!!!\n";
}

// Points the site at an SFTP server whose host key known_hosts holds.
void use_sftp(Site &site, const std::string &host, int port, const std::string &user, const std::string &pass,
              const std::string &known_hosts)
{
    site.ftp(host, port, user, pass);
    site.config().set("protocol", "sftp").set("sshknownhosts", known_hosts);
}

// Every local file is on the server with the same bytes, and nothing else.
void expect_same_tree(const Site &site, const std::string &remote_root)
{
    std::vector<std::string> local, remote;
    for (const Entry &e : pub::listing(site.local()))
        local.push_back(e.path() + "=" + vt::read_file(site.local(e.path())));
    for (const Entry &e : pub::listing(remote_root))
        remote.push_back(e.path() + "=" + vt::read_file(remote_root + e.path()));
    std::sort(local.begin(), local.end());
    std::sort(remote.begin(), remote.end());
    EXPECT_EQ(remote, local);
}

// (connections, key login)
class OnSshd : public testing::TestWithParam<std::tuple<int, bool>> {};

// A first publish into folders the server lacks, a quiet rerun, a change and
// a prune: after each the server's tree is the local one.
TEST_P(OnSshd, ServerTreeFollowsTheLocalOne)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    const auto [connections, key] = GetParam();
    vt::Sshd ssh;
    ssh.make_dir("htdocs");
    Site site("sftp");
    // With a key, ftppass is its passphrase.
    use_sftp(site, ssh.host(), ssh.port(), ssh.user(), key ? ssh.passphrase() : ssh.pass(), ssh.known_hosts());
    if (key)
        site.config().set("sshkeyfile", ssh.key_with_passphrase());
    site.config().set("ftpconnections", std::to_string(connections));
    // Content mode takes its digests from the bytes sent, over SSH too.
    if (connections > 1)
        site.config().set("compare", "content");
    site.create_table();
    const std::vector<std::pair<std::string, std::string>> files = {
        {"/index.html", "<html>\r\nhola\r\n</html>\n"},
        {"/docs/con espacio.txt", "uno\ndos\n"},
        {"/docs/img/raro #1?%.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
        {"/a/b/c/vacio.bin", ""},
        {"/a/b/grande.bin", std::string(300 * 1024, 'g') + "fin"},
        {"/a/x.css", "body{}"},
    };
    for (const auto &[rel, bytes] : files)
        site.put(rel, bytes, when);
    const std::string remote = ssh.path("htdocs");

    pub::expect_run(site.run(), all_new(site, ssh.port()));
    expect_same_tree(site, remote);
    if (connections == 1) {
        // One login for the whole run: refusals of a missing folder keep the session.
        const std::string log = ssh.log();
        size_t logins = 0;
        for (size_t p = log.find("Accepted p"); p != std::string::npos; p = log.find("Accepted p", p + 1))
            ++logins;
        EXPECT_EQ(logins, 1u) << log;
    }
    pub::expect_run(site.run(), pub::header(ssh.port()) + "Terminado!!!\n");

    site.put("/docs/con espacio.txt", "tres\n", when + 1);
    pub::expect_run(site.run(), pub::header(ssh.port()) + "===> /docs/con espacio.txt subido con exito\nTerminado!!!\n");
    expect_same_tree(site, remote);

    ASSERT_EQ(unlink(site.local("/a/x.css").c_str()), 0);
    ASSERT_EQ(unlink(site.local("/docs/img/raro #1?%.png").c_str()), 0);
    pub::expect_run(site.run({"-p"}), pub::header(ssh.port()) + "===> /a/x.css borrado con exito\n"
                                                                "===> /docs/img/raro #1?%.png borrado con exito\n"
                                                                "Terminado!!!\n");
    expect_same_tree(site, remote);
}

INSTANTIATE_TEST_SUITE_P(Logins, OnSshd, testing::Combine(testing::Values(1, 4), testing::Bool()),
                         [](const auto &i) {
                             return std::to_string(std::get<0>(i.param)) + "_" +
                                    (std::get<1>(i.param) ? "key" : "password");
                         });

// The host key is checked before the login: an unknown host and a changed
// key stop the run without sending anything of the login; a hashed file, a
// login folder as remoteroot ("") and IPv6 work; a refused login says so.
TEST(HostKey, OnlyAKnownKeyLetsTheRunLogIn)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd::Options so;
    so.home = "casa";
    so.log_level = "DEBUG1";
    so.ipv6 = true;
    vt::Sshd ssh(so);
    vt::TempDir home("vantor-home");
    vt::write_file(home / "vacio", "");
    const std::string port = std::to_string(ssh.port());
    const auto unknown_in = [&](const std::string &host, const std::string &file) {
        return "El servidor " + (host == "::1" ? "[::1]" : host) + ":" + port + " no esta en " + file +
               " (su clave es ED25519 " + ssh.fingerprint() + "); si es el suyo, agreguelo con: ssh-keyscan -p " +
               port + " " + host + " >> " + file + "\n";
    };
    const std::string refused = "Conectado!!!\nError al identificarse\n"
                                "El servidor SSH no acepta el usuario con esa clave o llave\n";
    struct Case {
        const char *name;
        std::string host;
        std::optional<std::string> known_hosts;  // none: the default file under HOME
        std::string after;                       // what follows "Conectamos a"; empty: the run publishes
        std::string pass = vt::sftp_password;
    };
    const std::vector<Case> cases = {
        {"unknown host", "127.0.0.1", home / "vacio", "Error al conectar\n" + unknown_in("127.0.0.1", home / "vacio")},
        {"no known_hosts of the user's, over IPv6", "::1", std::nullopt,
         "Error al conectar\n" + unknown_in("::1", home / ".ssh/known_hosts")},
        {"changed key", "127.0.0.1", ssh.wrong_known_hosts(),
         "Error al conectar\nLa clave del servidor 127.0.0.1:" + port + " ha cambiado: presenta ED25519 " +
             ssh.fingerprint() + ", que no es la que guarda " + ssh.wrong_known_hosts() +
             "; si el cambio es legitimo, quite la linea vieja de ese archivo y agregue la nueva\n"},
        {"hashed known_hosts", "127.0.0.1", ssh.hashed_known_hosts(), ""},
        {"known key over IPv6", "::1", ssh.known_hosts(), ""},
        {"known key, wrong password", "127.0.0.1", ssh.known_hosts(), refused, "mala"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Site site("hostkey");
        use_sftp(site, c.host, ssh.port(), ssh.user(), c.pass, "");
        site.config().set("remoteroot", "");
        if (c.known_hosts)
            site.config().set("sshknownhosts", *c.known_hosts);
        else
            site.config().remove("sshknownhosts");
        site.create_table();
        site.put("/d/a.txt", "a", when);
        const size_t seen = ssh.log().size();
        vt::Spawn s = site.spawn();
        s.env.emplace_back("HOME", home.path());
        const std::string opening =
            "Vantor v0.9.1\nConectamos a " + (c.host == "::1" ? "[::1]" : c.host) + ":" + port + "\n";
        if (c.after.empty()) {
            pub::expect_run(vt::run(s), opening + "Conectado!!!\nLogin correcto\n" + pub::new_file("/d/a.txt") +
                                            "Terminado!!!\n");
            EXPECT_EQ(vt::read_file(ssh.path("casa/d/a.txt")), "a");
            // What the failures must not show, shown by a login.
            EXPECT_NE(ssh.log().find("userauth-request", seen), std::string::npos) << ssh.log().substr(seen);
            ASSERT_EQ(unlink(ssh.path("casa/d/a.txt").c_str()), 0);
            continue;
        }
        pub::expect_run(vt::run(s), opening + c.after, 255);
        if (c.after == refused)
            continue;
        EXPECT_TRUE(ssh.wait_for_log("Connection closed by ", 5s, seen)) << ssh.log().substr(seen);
        EXPECT_EQ(ssh.log().find("userauth-request", seen), std::string::npos) << ssh.log().substr(seen);
        EXPECT_EQ(ssh.log().find("password", seen), std::string::npos) << ssh.log().substr(seen);
    }
}

// A bad value of the transport's keys stops the run before the database or
// the server is contacted; good values go on to the database.
TEST(Settings, BadValuesOfTheSshKeysStopTheRun)
{
    vt::TempDir dir("vantor-settings");
    const std::string nothing = dir / "no_hay";
    struct Case {
        std::vector<std::pair<std::string, std::string>> keys;
        std::string out;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {{{"protocol", "x"}}, "\"protocol\" debe ser \"ftp\" o \"sftp\"\n"},
        {{{"protocol", "sftp"}, {"ftptls", "explicit"}}, "\"ftptls\" debe ser \"no\" o faltar con protocol = \"sftp\"\n"},
        {{{"protocol", "sftp"}, {"sshkeyfile", nothing}},
         "Imposible leer sshkeyfile '" + nothing + "': No such file or directory\n"},
        {{{"protocol", "sftp"}, {"sshknownhosts", nothing}},
         "Imposible leer sshknownhosts '" + nothing + "': No such file or directory\n"},
        {{{"protocol", "sftp"}, {"sshknownhosts", dir.path()}}, "Imposible leer sshknownhosts '" + dir.path() + "': Is a directory\n"},
        {{{"protocol", "SFTP"}, {"ftptls", "no"}}, ""},
        {{{"protocol", "ftp"}, {"ftptls", "explicit"}}, ""},
    };
    for (const Case &c : cases) {
        vt::Config conf;  // its database is not there: reaching it would fail otherwise
        std::string shown;
        for (const auto &[k, v] : c.keys) {
            conf.set(k, v);
            shown += k + "=" + v + " ";
        }
        SCOPED_TRACE(shown);
        vt::Spawn s = vt::vantor_spawn({conf.write(dir / "v.conf")});
        s.env.emplace_back("HOME", nothing);  // no known_hosts there: the default may be missing
        vt::Outcome o = vt::run(s);
        if (c.out.empty()) {
            EXPECT_EQ(o.status, 1) << vt::describe(o);
            continue;
        }
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 255);
    }
}

// Failures a real server will not give on demand, from the scripted one.
class Scripted : public testing::Test {
protected:
    void SetUp() override
    {
        sftp.make_dir("htdocs");
        use_sftp(site, sftp.host(), sftp.port(), sftp.user(), sftp.pass(), known);
        vt::write_file(known, vt::read_file(sftp.known_hosts()));
        site.create_table();
    }
    std::string failed(const std::string &rel, const std::string &reason)
    {
        return "NUEVO ARCHIVO!!!  Bienvenido " + rel + "!\nError subiendo archivo /htdocs" + rel + " desde " +
               site.local(rel) + ":\n" + reason + "\n===> ERROR al subir " + rel + "\n";
    }

    vt::ScriptedSftp sftp;
    Site site{"scripted_sftp"};
    std::string known = site.local() + "/../known_hosts";
};

// A connection cut in the middle of a file: the file goes again over a new
// connection and is stored whole.
TEST_F(Scripted, ACutFileIsSentAgainOverANewConnection)
{
    const std::string big(200000, 'b');
    site.put("/big.bin", big, when);
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::ok());
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::drop());
    pub::expect_run(site.run(), all_new(site, sftp.port()));
    EXPECT_EQ(vt::read_file(sftp.path("htdocs/big.bin")), big);
    EXPECT_EQ(sftp.connections(), 2);
}

// A refused open shows the status text and leaves that file out; the later
// one goes through. A stalled write is cut after the wait, on the retry too.
TEST_F(Scripted, RefusalAndStallAreReportedAndTheRunGoesOn)
{
    site.put("/a.txt", "a", when);
    site.put("/b.txt", "b", when + 1);
    site.put("/c.txt", "c", when + 2);
    sftp.queue("open", "/htdocs/a.txt", vt::SftpAnswer::permission_denied());
    sftp.queue("write", "/htdocs/b.txt", vt::SftpAnswer::stall());
    sftp.queue("write", "/htdocs/b.txt", vt::SftpAnswer::stall());
    std::string want = pub::header(sftp.port());
    for (const Entry &e : pub::listing(site.local())) {
        if (e.nombre == "a.txt")
            want += failed("/a.txt", "Permission denied\n");
        else if (e.nombre == "b.txt")
            want += failed("/b.txt", "El servidor no respondio en 2 s");
        else
            want += pub::new_file(e.path());
    }
    vt::Spawn s = site.spawn();
    s.env.emplace_back("VANTOR_PLAZO_FTP", "2");
    const auto t0 = std::chrono::steady_clock::now();
    pub::expect_run(vt::run(s), want + "Terminado!!!\n", 2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 4s);
    EXPECT_EQ(vt::read_file(sftp.path("htdocs/c.txt")), "c");
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/", "c.txt"}, when + 2)});
}

}  // namespace
