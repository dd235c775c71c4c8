// The test harness's servers, driven with a plain FTP client, the curl
// tool and the MySQL client library that vantor uses: if these fail, every
// end-to-end test would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "support/config.h"
#include "support/files.h"
#include "support/ftp_client.h"
#include "support/ftp_daemons.h"
#include "support/galera.h"
#include "support/mariadb.h"
#include "support/process.h"
#include "support/scripted_ftp.h"
#include "support/scripted_sftp.h"
#include "support/ssh_daemons.h"

using namespace std::chrono_literals;

namespace {

// One upload session: login, optional MKD, PUT, QUIT. Returns the last
// reply after each step, in order.
std::vector<std::string> ftp_session(const std::string &host, int port, const std::string &user,
                                     const std::string &pass, const std::string &mkdir_path,
                                     const std::string &local, const std::string &remote)
{
    std::vector<std::string> replies;
    // A server that drops the connection must fail the test, not kill it.
    signal(SIGPIPE, SIG_IGN);
    vt::FtpClient n;
    if (!n.connect(host, port)) {
        replies.push_back("connect failed");
        return replies;
    }
    bool in = n.login(user, pass);
    replies.push_back(in ? "login" : "no login");
    replies.push_back(n.last());
    if (!in) {
        n.quit();
        return replies;
    }
    if (!mkdir_path.empty()) {
        n.mkdir(mkdir_path);
        replies.push_back(n.last());
    }
    n.put(local, remote);
    replies.push_back(n.last());
    n.quit();
    return replies;
}

TEST(Harness, MariaDbAccountsAndQueries)
{
    vt::MariaDb &db = vt::shared_mariadb();
    db.query("CREATE TABLE h (a char(10), b int)");
    db.query("INSERT INTO h VALUES ('año', 1), (NULL, 2)");
    auto rows = db.query_as(db.user(), db.password(), "SELECT a, b FROM h ORDER BY b");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "año");
    EXPECT_EQ(rows[1][0], std::nullopt);
    EXPECT_EQ(rows[1][1], "2");
    EXPECT_EQ(db.query("SELECT @@collation_server")[0][0], "utf8mb4_general_ci");

    db.add_account("lector", "l-pass", "SELECT");
    EXPECT_EQ(db.query_as("lector", "l-pass", "SELECT COUNT(*) FROM h")[0][0], "2");
    EXPECT_THROW(db.query_as("lector", "l-pass", "DELETE FROM h"), std::runtime_error);
    EXPECT_THROW(db.query_as("lector", "wrong", "SELECT 1"), std::runtime_error);
    db.query("DROP TABLE h");
}

// A row written through node 1 is read through node 2, but a named lock
// taken on node 1 is unknown to node 2: the reason the run lock needs more
// than GET_LOCK on a cluster.
TEST(Harness, GaleraClusterReplicatesRowsButNotNamedLocks)
{
    vt::GaleraCluster cluster;
    vt::SqlSession one = cluster.session(1);
    one.query("CREATE TABLE g (a int PRIMARY KEY, b varchar(10))");
    one.query("INSERT INTO g VALUES (1, 'año')");
    vt::SqlSession two = cluster.session(2);
    two.query("SET SESSION wsrep_sync_wait = 1");
    EXPECT_EQ(two.query("SELECT b FROM g WHERE a = 1"), (vt::Rows{{"año"}}));

    EXPECT_EQ(one.query("SELECT GET_LOCK('vantor.h', 0)"), (vt::Rows{{"1"}}));
    EXPECT_EQ(two.query("SELECT GET_LOCK('vantor.h', 0)"), (vt::Rows{{"1"}}));
    EXPECT_EQ(cluster.session(1).query("SELECT GET_LOCK('vantor.h', 0)"), (vt::Rows{{"0"}}));
}

TEST(Harness, ProcessCapturesStreamsStatusAndSignals)
{
    vt::Spawn s;
    s.program = "sh";
    s.args = {"-c", "printf 'a\\nb'; printf 'e' >&2; echo \"$TZ\" >&2; pwd; exit 3"};
    s.env = {{"TZ", "Europe/Madrid"}};
    s.cwd = "/";
    vt::Outcome o = vt::run(s);
    EXPECT_EQ(o.out, "a\nb/\n");
    EXPECT_EQ(o.err, "eEurope/Madrid\n");
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.signal, 0);

    vt::Spawn slow;
    slow.program = "sh";
    slow.args = {"-c", "echo listo; exec sleep 30"};
    vt::Process p(slow);
    ASSERT_TRUE(p.wait_for_output("listo\n", 5s));
    p.signal(SIGINT);
    vt::Outcome i = p.wait();
    EXPECT_EQ(i.signal, SIGINT);

    slow.timeout = 200ms;
    vt::Outcome t = vt::run(slow);
    EXPECT_TRUE(t.timed_out);
    EXPECT_EQ(t.signal, SIGKILL);

    if (vt::running_as_root()) {
        vt::Spawn who;
        who.program = "id";
        who.args = {"-u"};
        who.as = vt::unprivileged();
        EXPECT_EQ(vt::run(who).out, std::to_string(vt::unprivileged().uid) + "\n");
    }
}

TEST(Harness, ScriptedFtpFollowsScriptAndRecords)
{
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "a.png", std::string("\x89PNG\r\n\0x", 8));
    vt::ScriptedFtp ftp;
    ftp.queue("MKD", "/htdocs/img", vt::Reply::line("550 Missing parent."));
    ftp.queue("STOR", vt::Reply::transfer("451 Disk full."));
    auto r = ftp_session(ftp.host(), ftp.port(), "vantor", "secreto", "/htdocs/img",
                            dir / "a.png", "/htdocs/img/a.png");
    EXPECT_EQ(r, (std::vector<std::string>{"login", "230 Logged in.\n", "550 Missing parent.\n",
                                           "451 Disk full.\n"}));
    ASSERT_TRUE(ftp.wait_for_disconnect(5s));
    ASSERT_EQ(ftp.sessions().size(), 1u);
    EXPECT_EQ(ftp.sessions()[0],
              (std::vector<std::string>{"USER vantor", "PASS secreto", "MKD /htdocs/img", "TYPE I",
                                        "PASV", "STOR /htdocs/img/a.png", "QUIT"}));
    ASSERT_EQ(ftp.stored().size(), 1u);
    EXPECT_EQ(ftp.stored()[0].path, "/htdocs/img/a.png");
    EXPECT_EQ(ftp.stored()[0].bytes, std::string("\x89PNG\r\n\0x", 8));
    EXPECT_TRUE(ftp.stored()[0].complete);

    // Default replies once the queue is used up; a second connection is
    // logged on its own.
    r = ftp_session(ftp.host(), ftp.port(), "otro", "x", "/htdocs/img", dir / "a.png", "/b");
    EXPECT_EQ(r[2], "257 \"/htdocs/img\" created.\n");
    EXPECT_EQ(r[3], "226 Transfer complete.\n");
    ASSERT_TRUE(ftp.wait_for_disconnect(5s));
    EXPECT_EQ(ftp.sessions().size(), 2u);
    EXPECT_EQ(ftp.sessions()[1][0], "USER otro");
}

TEST(Harness, ScriptedFtpLosesAndStallsConnections)
{
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f", "x");
    vt::ScriptedFtp ftp;
    ftp.queue("STOR", vt::Reply::transfer_then_close());
    auto r = ftp_session(ftp.host(), ftp.port(), "u", "p", "", dir / "f", "/f");
    EXPECT_EQ(r[0], "login");
    EXPECT_EQ(ftp.stored().at(0).bytes, "x");
    EXPECT_EQ(ftp.stored().at(0).final_reply, "");

    ftp.set_idle_timeout(300ms);
    {
        vt::FtpClient n;
        ASSERT_TRUE(n.connect(ftp.host(), ftp.port()));
        std::this_thread::sleep_for(600ms);
        EXPECT_FALSE(n.login("u", "p"));
        EXPECT_EQ(n.last(), "421 Timeout.\n");
        n.quit();
    }
    ftp.set_idle_timeout(0ms);

    // A stalled reply keeps the client waiting until the server stops.
    ftp.queue("PASS", vt::Reply::stall());
    std::thread stopper([&] {
        ftp.wait_for_command("PASS", 5s);
        std::this_thread::sleep_for(200ms);
        ftp.stop();
    });
    auto t0 = std::chrono::steady_clock::now();
    r = ftp_session(ftp.host(), ftp.port(), "u", "p", "", dir / "f", "/f");
    stopper.join();
    EXPECT_EQ(r[0], "no login");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms);
}

// The real servers accept the account, create folders and store files
// where the tests will look for them.
template <class Server>
void check_real_server(Server &ftp)
{
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "index.html", "<p>hola</p>\n");
    ftp.make_dir("htdocs");
    auto r = ftp_session(ftp.host(), ftp.port(), ftp.user(), ftp.pass(), "/htdocs/docs",
                            dir / "index.html", "/htdocs/docs/index.html");
    ASSERT_EQ(r.size(), 4u) << ftp.log();
    EXPECT_EQ(r[0], "login");
    EXPECT_EQ(r[2].substr(0, 4), "257 ");
    EXPECT_EQ(r[3].substr(0, 4), "226 ");
    EXPECT_EQ(vt::read_file(ftp.path("htdocs/docs/index.html")), "<p>hola</p>\n");

    r = ftp_session(ftp.host(), ftp.port(), ftp.user(), "mala", "", dir / "index.html", "/x");
    EXPECT_EQ(r[0], "no login");
    EXPECT_EQ(r[1].substr(0, 4), "530 ");
}

TEST(Harness, PyFtpdUnprivileged)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::PyFtpd::Options o;
    o.unprivileged = true;
    o.auth_failed_delay = 0;
    vt::PyFtpd ftp(o);
    check_real_server(ftp);
    // Folder modes count for the unprivileged server.
    ftp.make_dir("htdocs/cerrado");
    chmod(ftp.path("htdocs/cerrado").c_str(), 0555);
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f", "x");
    auto r = ftp_session(ftp.host(), ftp.port(), ftp.user(), ftp.pass(), "", dir / "f",
                            "/htdocs/cerrado/f");
    EXPECT_EQ(r[2].substr(0, 4), "550 ");
}

TEST(Harness, PureFtpdWithShortIdleTimeout)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::PureFtpd::Options o;
    o.idle_seconds = 1.5;
    vt::PureFtpd ftp(o);
    check_real_server(ftp);
    vt::FtpClient n;
    ASSERT_TRUE(n.connect(ftp.host(), ftp.port()));
    ASSERT_TRUE(n.login(ftp.user(), ftp.pass()));
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2500ms);
    EXPECT_FALSE(n.mkdir("/later"));
    EXPECT_EQ(n.last().substr(0, 4), "421 ");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    n.quit();
}

// One upload with the curl command, which has its own FTP and TLS code: a
// check of the servers that does not lean on vantor. With -v its standard
// error holds the dialogue ("> AUTH TLS", "< 234 ...").
vt::Outcome curl_put(const std::string &url, const std::string &local,
                     const std::vector<std::string> &options)
{
    vt::Spawn s;
    s.program = "curl";
    s.args = {"-sS", "-v", "--max-time", "20", "--ftp-create-dirs", "-T", local};
    s.args.insert(s.args.end(), options.begin(), options.end());
    s.args.push_back(url);
    return vt::run(s);
}

// pyftpdlib without the login delay; over TLS it lets nothing through in
// clear, neither the login nor the data.
vt::PyFtpd::Options py(const std::string &tls)
{
    vt::PyFtpd::Options o;
    o.auth_failed_delay = 0;
    o.tls = tls;
    o.tls_control_required = o.tls_data_required = tls != "no";
    return o;
}

std::string url(const char *scheme, const vt::FtpDaemon &ftp, const std::string &path)
{
    std::string host = ftp.host().find(':') == std::string::npos ? ftp.host() : "[" + ftp.host() + "]";
    return std::string(scheme) + "://" + host + ":" + std::to_string(ftp.port()) + path;
}

// Each TLS server takes an upload over TLS with its own certificate trusted,
// protected data included, and refuses what it should: a clear login where
// TLS is required, a client that trusts another certificate, a certificate
// for another name. Every refusal comes before the password is sent.
TEST(Harness, TlsServersAnswerOverTls)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    const vt::Certificates &c = vt::test_certificates();
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f.txt", "cifrado\n");
    const std::string user = "vantor:secreto";

    struct Case {
        const char *name;
        std::function<std::unique_ptr<vt::FtpDaemon>()> start;
        const char *scheme;  // ftps: TLS from the first byte
        // What a clear client meets ("" when it cannot even read a greeting).
        const char *clear_refusal;
    };
    const std::vector<Case> cases = {
        {"pure-ftpd -Y 3",
         [] {
             vt::PureFtpd::Options o;
             o.tls = 3;
             return std::make_unique<vt::PureFtpd>(o);
         },
         "ftp", "< 421 Please reconnect using TLS security mechanisms."},
        {"pyftpdlib explicit", [] { return std::make_unique<vt::PyFtpd>(py("explicit")); }, "ftp",
         "< 550 SSL/TLS required on the control channel."},
        {"pyftpdlib implicit", [] { return std::make_unique<vt::PyFtpd>(py("implicit")); }, "ftps", ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        auto ftp = k.start();
        ftp->make_dir("htdocs");
        const std::vector<std::string> tls = {"--ssl-reqd", "--ftp-ssl-control", "--cacert", c.server.cert,
                                              "-u", user};
        vt::Outcome o = curl_put(url(k.scheme, *ftp, "/htdocs/a/b/f.txt"), dir / "f.txt", tls);
        EXPECT_EQ(o.status, 0) << vt::describe(o) << ftp->log();
        EXPECT_EQ(vt::read_file(ftp->path("htdocs/a/b/f.txt")), "cifrado\n");
        EXPECT_NE(o.err.find("> PROT P"), std::string::npos) << o.err;

        if (*k.clear_refusal) {
            o = curl_put(url(k.scheme, *ftp, "/htdocs/clear.txt"), dir / "f.txt", {"-u", user});
            EXPECT_NE(o.status, 0);
            EXPECT_NE(o.err.find(k.clear_refusal), std::string::npos) << o.err;
            EXPECT_EQ(o.err.find("> PASS"), std::string::npos) << o.err;
        }
        o = curl_put(url(k.scheme, *ftp, "/htdocs/x.txt"), dir / "f.txt",
                     {"--ssl-reqd", "--cacert", c.stranger.cert, "-u", user});
        EXPECT_EQ(o.status, 60) << vt::describe(o);
        EXPECT_NE(o.err.find("curl: (60) SSL certificate problem: self-signed certificate\n"),
                  std::string::npos)
            << o.err;
        EXPECT_EQ(o.err.find("> PASS"), std::string::npos) << o.err;
        EXPECT_NE(access(ftp->path("htdocs/clear.txt").c_str(), F_OK), 0);
        EXPECT_NE(access(ftp->path("htdocs/x.txt").c_str(), F_OK), 0);
    }

    // The certificate names otro.invalid only.
    vt::PyFtpd::Options mo = py("explicit");
    mo.certificate = c.misnamed.pem;
    vt::PyFtpd misnamed(mo);
    vt::Outcome o = curl_put(url("ftp", misnamed, "/x.txt"), dir / "f.txt",
                             {"--ssl-reqd", "--cacert", c.misnamed.cert, "-u", user});
    EXPECT_EQ(o.status, 60) << vt::describe(o);
    EXPECT_NE(o.err.find("curl: (60) SSL: no alternative certificate subject name matches target host "
                         "name '127.0.0.1'\n"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(misnamed.log().find("<- PASS"), std::string::npos) << misnamed.log();
}

// vsftpd and proftpd as unpacked by fetch-ftpds.sh: plain FTP through the
// harness's client, a file the server's user may not write refused, and an
// upload over explicit and implicit TLS that the command log shows. A clear
// login is refused where TLS is required.
TEST(Harness, VsFtpdAndProFtpd)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f.txt", "cifrado\n");
    const std::string user = "vantor:secreto";
    struct Case {
        const char *name;
        std::function<std::unique_ptr<vt::FtpDaemon>(const std::string &tls)> start;
        const char *read_only_refusal;
    };
    const std::vector<Case> cases = {
        {"vsftpd",
         [](const std::string &tls) {
             vt::VsFtpd::Options o;
             o.tls = tls;
             return std::make_unique<vt::VsFtpd>(o);
         },
         "553 "},
        {"proftpd",
         [](const std::string &tls) {
             vt::ProFtpd::Options o;
             o.tls = tls;
             return std::make_unique<vt::ProFtpd>(o);
         },
         "550 "},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        auto ftp = k.start("no");
        check_real_server(*ftp);
        vt::write_file(ftp->path("htdocs/viejo.txt"), "viejo\n");
        ftp->give("htdocs/viejo.txt");
        chmod(ftp->path("htdocs/viejo.txt").c_str(), 0444);
        auto r = ftp_session(ftp->host(), ftp->port(), ftp->user(), ftp->pass(), "", dir / "f.txt",
                             "/htdocs/viejo.txt");
        EXPECT_EQ(r.back().substr(0, 4), k.read_only_refusal) << ftp->log();
        EXPECT_EQ(vt::read_file(ftp->path("htdocs/viejo.txt")), "viejo\n");

        for (const char *tls : {"explicit", "implicit"}) {
            SCOPED_TRACE(tls);
            ftp = k.start(tls);
            const char *scheme = std::string(tls) == "implicit" ? "ftps" : "ftp";
            vt::Outcome o = curl_put(url(scheme, *ftp, "/htdocs/f.txt"), dir / "f.txt",
                                     {"--ssl-reqd", "--cacert", vt::test_certificates().server.cert, "-u", user});
            EXPECT_EQ(o.status, 0) << vt::describe(o) << ftp->log();
            EXPECT_EQ(vt::read_file(ftp->path("htdocs/f.txt")), "cifrado\n");
            EXPECT_NE(ftp->log().find("PROT P"), std::string::npos) << ftp->log();
            EXPECT_NE(ftp->log().find("\"STOR f.txt\""), std::string::npos) << ftp->log();
            if (std::string(tls) == "explicit") {
                o = curl_put(url("ftp", *ftp, "/clear.txt"), dir / "f.txt", {"-u", user});
                EXPECT_NE(o.status, 0) << vt::describe(o);
                EXPECT_EQ(o.err.find("> PASS"), std::string::npos) << o.err;
                EXPECT_NE(access(ftp->path("clear.txt").c_str(), F_OK), 0);
            }
        }
    }
}

// A plain server on ::1 takes uploads over IPv6 (EPSV); a server limited to
// one connection per address greets the second with 421.
TEST(Harness, PyFtpdOnIpv6AndConnectionLimit)
{
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f.txt", "seis\n");
    vt::PyFtpd::Options so = py("no");
    so.host = "::1";
    vt::PyFtpd six(so);
    EXPECT_EQ(six.host(), "::1");
    vt::Outcome o = curl_put(url("ftp", six, "/d/f.txt"), dir / "f.txt", {"-u", "vantor:secreto"});
    EXPECT_EQ(o.status, 0) << vt::describe(o);
    EXPECT_EQ(vt::read_file(six.path("d/f.txt")), "seis\n");
    // A server without TLS refuses AUTH; the client stops before USER.
    const size_t seen = six.log().size();
    o = curl_put(url("ftp", six, "/e.txt"), dir / "f.txt",
                 {"--ssl-reqd", "--ftp-ssl-control", "-u", "vantor:secreto"});
    EXPECT_NE(o.err.find("< 500 Command \"AUTH\" not understood."), std::string::npos) << o.err;
    EXPECT_EQ(six.log().find("<- USER", seen), std::string::npos) << six.log();

    vt::PyFtpd::Options to = py("explicit");
    to.host = "::1";
    vt::PyFtpd six_tls(to);
    o = curl_put(url("ftp", six_tls, "/d/f.txt"), dir / "f.txt",
                 {"--ssl-reqd", "--cacert", vt::test_certificates().server.cert, "-u", "vantor:secreto"});
    EXPECT_EQ(o.status, 0) << vt::describe(o);
    EXPECT_EQ(vt::read_file(six_tls.path("d/f.txt")), "seis\n");

    vt::PyFtpd::Options oo = py("no");
    oo.max_cons_per_ip = 1;
    vt::PyFtpd one(oo);
    int held = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(one.port()));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ASSERT_EQ(connect(held, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    char greeting[64] = {};
    ASSERT_GT(recv(held, greeting, sizeof greeting - 1, 0), 3);
    EXPECT_EQ(std::string(greeting).substr(0, 4), "220 ");
    o = curl_put(url("ftp", one, "/g.txt"), dir / "f.txt", {"-u", "vantor:secreto"});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("< 421 Too many connections from the same IP address."), std::string::npos)
        << o.err;
    close(held);
}

// One SFTP upload with the curl command (libcurl over libssh2, as vantor
// uses them), trusting the hosts of known_hosts only: curl reads
// $HOME/.ssh/known_hosts.
vt::Outcome sftp_put(const std::string &url, const std::string &local, const std::string &known_hosts,
                     const std::vector<std::string> &options)
{
    vt::TempDir home("vantor-harness");
    vt::make_dirs(home / ".ssh");
    vt::write_file(home / ".ssh/known_hosts", vt::read_file(known_hosts));
    vt::Spawn s;
    s.program = "curl";
    s.args = {"-sS", "--max-time", "20", "-T", local};
    s.args.insert(s.args.end(), options.begin(), options.end());
    s.args.push_back(url);
    s.env = {{"HOME", home.path()}};
    return vt::run(s);
}

// sshd takes the account's password and both keys, over IPv4 and IPv6, with
// plain and hashed known_hosts; it refuses what it should, a changed host
// key before any password; its log shows each login and each SFTP request.
TEST(Harness, SshdTakesUploadsAndLogsThem)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root";
    vt::Sshd::Options so;
    so.ipv6 = true;
    so.home = "usuario";
    vt::Sshd ssh(so);
    ssh.make_dir("htdocs/cerrado");
    chmod(ssh.path("htdocs/cerrado").c_str(), 0555);
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f.txt", "segura\n");
    const std::string v4 = "sftp://127.0.0.1:" + std::to_string(ssh.port());
    const std::string v6 = "sftp://[::1]:" + std::to_string(ssh.port());
    const std::vector<std::string> password = {"-u", ssh.user() + ":" + ssh.pass()};
    const std::vector<std::string> key = {"-u", ssh.user() + ":", "--key", ssh.key()};
    const std::vector<std::string> key_pp = {"-u", ssh.user() + ":", "--key", ssh.key_with_passphrase(),
                                             "--pass", ssh.passphrase()};
    const std::vector<std::string> bad_password = {"-u", ssh.user() + ":mala"};

    struct Case {
        const char *name;
        std::string url, known_hosts;
        std::vector<std::string> options;
        int status;
        const char *stored;  // where the file lands, under root()
        const char *logged;  // in the log after the upload
    };
    const std::vector<Case> cases = {
        {"password", v4 + "/htdocs/a.txt", ssh.known_hosts(), password, 0, "htdocs/a.txt",
         "open \"/htdocs/a.txt\" flags WRITE,CREATE,TRUNCATE"},
        {"key, hashed known_hosts, login folder", v4 + "/~/b.txt", ssh.hashed_known_hosts(), key, 0,
         "usuario/b.txt", "Accepted publickey for vantor-sftp"},
        {"key with passphrase over IPv6", v6 + "/htdocs/c.txt", ssh.known_hosts(), key_pp, 0,
         "htdocs/c.txt", "close \"/htdocs/c.txt\" bytes read 0 written 7"},
        {"folder without write permission", v4 + "/htdocs/cerrado/d.txt", ssh.known_hosts(), password, 9,
         nullptr, "sent status Permission denied"},
        {"wrong password", v4 + "/htdocs/e.txt", ssh.known_hosts(), bad_password, 67, nullptr,
         "Failed password for vantor-sftp"},
        {"changed host key", v4 + "/htdocs/e.txt", ssh.wrong_known_hosts(), password, 60, nullptr,
         "Connection closed by 127.0.0.1"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        const size_t seen = ssh.log().size();
        vt::Outcome o = sftp_put(k.url, dir / "f.txt", k.known_hosts, k.options);
        EXPECT_EQ(o.status, k.status) << vt::describe(o);
        if (k.stored) {
            EXPECT_EQ(vt::read_file(ssh.path(k.stored)), "segura\n");
        }
        EXPECT_TRUE(ssh.wait_for_log(k.logged, 5s, seen)) << ssh.log().substr(seen);
        if (k.status == 60) {
            EXPECT_EQ(ssh.log().find("password for", seen), std::string::npos) << ssh.log().substr(seen);
        }
    }
    EXPECT_EQ(ssh.fingerprint().rfind("SHA256:", 0), 0u);
}

// The scripted SFTP server refuses an open once, cuts a connection in the
// middle of a file, never answers a write, refuses a wrong password, and
// logs every request per connection.
TEST(Harness, ScriptedSftpFollowsScriptAndRecords)
{
    vt::TempDir dir("vantor-harness");
    vt::write_file(dir / "f.txt", "hola\n");
    vt::write_file(dir / "big.bin", std::string(200000, 'x'));
    vt::ScriptedSftp sftp;
    sftp.make_dir("htdocs");
    sftp.queue("open", "/htdocs/a.txt", vt::SftpAnswer::no_such_file());
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::ok());
    sftp.queue("write", "/htdocs/big.bin", vt::SftpAnswer::drop());
    sftp.queue("write", "/htdocs/s.txt", vt::SftpAnswer::stall());
    const std::string url = "sftp://127.0.0.1:" + std::to_string(sftp.port()) + "/htdocs/";
    const std::vector<std::string> login = {"-u", sftp.user() + ":" + sftp.pass()};

    vt::Outcome o = sftp_put(url + "a.txt", dir / "f.txt", sftp.known_hosts(), login);
    EXPECT_EQ(o.status, 78) << vt::describe(o);  // CURLE_REMOTE_FILE_NOT_FOUND
    o = sftp_put(url + "a.txt", dir / "f.txt", sftp.known_hosts(), login);
    EXPECT_EQ(o.status, 0) << vt::describe(o);
    EXPECT_EQ(vt::read_file(sftp.path("htdocs/a.txt")), "hola\n");

    o = sftp_put(url + "big.bin", dir / "big.bin", sftp.known_hosts(), login);
    EXPECT_NE(o.status, 0);
    // The first block landed, nothing after the cut.
    const std::string kept = vt::read_file(sftp.path("htdocs/big.bin"));
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), 200000u);

    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::string> slow = login;
    slow.insert(slow.end(), {"--speed-limit", "1", "--speed-time", "1"});
    o = sftp_put(url + "s.txt", dir / "f.txt", sftp.known_hosts(), slow);
    EXPECT_EQ(o.status, 28) << vt::describe(o);  // CURLE_OPERATION_TIMEDOUT
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1s);

    o = sftp_put(url + "x.txt", dir / "f.txt", sftp.known_hosts(), {"-u", "vantor:mala"});
    EXPECT_EQ(o.status, 67) << vt::describe(o);  // CURLE_LOGIN_DENIED

    ASSERT_TRUE(sftp.wait_for_disconnect(5s));
    auto s = sftp.sessions();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0], (std::vector<std::string>{"password vantor ok", "realpath .",
                                              "open /htdocs/a.txt write,create,truncate"}));
    EXPECT_EQ(s[1].at(3), "write /htdocs/a.txt 0 5");
    EXPECT_EQ(s[1].at(4), "close /htdocs/a.txt");
    EXPECT_EQ(s[2].back().rfind("write /htdocs/big.bin ", 0), 0u) << s[2].back();
    EXPECT_EQ(s[3].back(), "write /htdocs/s.txt 0 5");
    EXPECT_EQ(s[4], (std::vector<std::string>{"password vantor refused"}));
}

TEST(Harness, ConfigWriterQuotesAllTwelveKeys)
{
    vt::Config c;
    c.set("localroot", "/srv/web").remove("ftppass");
    std::string t = c.text();
    EXPECT_NE(t.find("localroot = \"/srv/web\"\n"), std::string::npos);
    EXPECT_EQ(t.find("ftppass"), std::string::npos);
    EXPECT_EQ(vt::config_keys.size(), 12u);
}

}  // namespace
