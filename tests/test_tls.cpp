// Update runs of the real binary over TLS, over IPv6 and on several
// connections at once, against real servers: pure-ftpd with TLS required,
// pyftpdlib with explicit or implicit TLS (nothing in clear, the data
// included), pyftpdlib on ::1 and with a per-address connection limit.
// Certificates are the harness's own, made with openssl for 127.0.0.1 and
// ::1; a run trusts one by naming it in ftpcafile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "support/site.h"
#include "support/text.h"
#include "support/certificates.h"
#include "support/ftp_daemons.h"

namespace {

using vt::occurrences;
using vt::bytes;

using pub::Entry;
using pub::Site;

const vt::Certificates &certs()
{
    return vt::test_certificates();
}

// pyftpdlib without the login delay; over TLS it lets nothing through in
// clear: USER, PASS and a data connection before "PROT P" are refused.
vt::PyFtpd::Options py(const std::string &tls, const std::string &host = "127.0.0.1")
{
    vt::PyFtpd::Options o;
    o.auth_failed_delay = 0;
    o.tls = tls;
    o.host = host;
    o.tls_control_required = o.tls_data_required = tls != "no";
    return o;
}

// pure-ftpd at TLS level 2 (no clear login) or 3 (no clear data either).
vt::PureFtpd::Options pure(int tls)
{
    vt::PureFtpd::Options o;
    o.tls = tls;
    return o;
}

// The lines of a run that connected and logged in: the host as written in
// ftpserver (an IPv6 address between brackets), then ":" and the port.
std::string header(const vt::FtpDaemon &ftp)
{
    const std::string host = ftp.host().find(':') != std::string::npos ? "[" + ftp.host() + "]" : ftp.host();
    return "Vantor v0.9.1\nConectamos a " + host + ":" + std::to_string(ftp.port()) +
           "\nConectado!!!\nLogin correcto\n";
}

std::string all_new(const vt::FtpDaemon &ftp, const Site &site)
{
    std::string out = header(ftp);
    for (const Entry &e : pub::listing(site.local()))
        out += pub::new_file(e.path());
    return out + "Terminado!!!\n";
}

// Every file below the server's htdocs is the local file of the same path,
// and there is no other.
void expect_mirror(const vt::FtpDaemon &ftp, const Site &site)
{
    std::vector<std::string> local, remote;
    for (const Entry &e : pub::listing(site.local()))
        local.push_back(e.path());
    for (const Entry &e : pub::listing(ftp.path("htdocs")))
        remote.push_back(e.path());
    std::sort(local.begin(), local.end());
    std::sort(remote.begin(), remote.end());
    EXPECT_EQ(remote, local);
    if (remote == local) {
        for (const std::string &p : local)
            EXPECT_EQ(vt::read_file(ftp.path("htdocs" + p)), vt::read_file(site.local(p))) << p;
    }
}

pub::Rows rows_of(const Site &site, time_t when)
{
    pub::Rows want;
    for (const Entry &e : pub::listing(site.local()))
        want.push_back(pub::row(e, when));
    return pub::sorted(want);
}

// A server, and how a run reaches it.
struct Target {
    const char *name;
    std::function<std::unique_ptr<vt::FtpDaemon>()> start;
    std::string ftptls;  // "" leaves the key out
    // The harness certificate named in ftpcafile; nullptr leaves the key out.
    const vt::Certificate vt::Certificates::*ca = nullptr;
};

void PrintTo(const Target &t, std::ostream *os)
{
    *os << t.name;
}

std::string test_name(const testing::TestParamInfo<Target> &i)
{
    return i.param.name;
}

void aim(Site &site, const vt::FtpDaemon &ftp, const Target &t)
{
    site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    if (!t.ftptls.empty())
        site.config().set("ftptls", t.ftptls);
    if (t.ca)
        site.config().set("ftpcafile", (certs().*t.ca).cert);
}

// ---------------------------------------------------------------------------
// A new tree over TLS: the remote root and nested folders are missing, so
// every upload into them takes the STOR / MKD climb / STOR path on the
// protected connection; files arrive byte for byte, one row each; the rerun
// is quiet; a newer stamp sends that file alone.

class TlsPublish : public testing::TestWithParam<Target> {};

TEST_P(TlsPublish, NewTreeThenQuietRerunThenOneChange)
{
    auto ftp = GetParam().start();
    Site site("tls");
    aim(site, *ftp, GetParam());
    site.create_table();
    const time_t t = pub::at(2024, 5, 6, 7, 8, 9);
    site.put("/index.html", "<html>\r\n<body>hola</body>\r\n</html>\r\n", t);
    site.put("/docs/img/iconos/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10) + bytes(5000, 3), t);
    site.put("/docs/img/iconos/vacio.bin", "", t);
    site.put("/docs/manual.txt", "uno\r\ndos\n", t);
    site.put("/datos/grande.bin", bytes(600 * 1024, 5), t);

    pub::expect_run(site.run(), all_new(*ftp, site));
    if (HasFailure())
        return;
    expect_mirror(*ftp, site);
    EXPECT_EQ(site.rows(), rows_of(site, t));
    // Explicit TLS as asked for: AUTH TLS before the login, PBSZ 0 and
    // PROT P before the first upload (pyftpdlib would refuse a clear login or
    // data connection anyway).
    if (auto *p = dynamic_cast<vt::PyFtpd *>(ftp.get()); p && GetParam().ftptls == "explicit") {
        const std::string log = p->log();
        EXPECT_LT(log.find("<- AUTH TLS"), log.find("<- USER vantor")) << log;
        size_t at = 0;
        for (const char *cmd : {"<- AUTH TLS", "<- PBSZ 0", "<- PROT P", "<- STOR"}) {
            at = log.find(cmd, at);
            EXPECT_NE(at, std::string::npos) << cmd << "\n" << log;
            if (at == std::string::npos)
                break;
        }
    }

    pub::expect_run(site.run(), header(*ftp) + "Terminado!!!\n");

    site.put("/docs/manual.txt", "uno\r\ndos\r\ntres\r\n", t + 1);
    pub::expect_run(site.run(), header(*ftp) + "===> /docs/manual.txt subido con exito\nTerminado!!!\n");
    EXPECT_EQ(vt::read_file(ftp->path("htdocs/docs/manual.txt")), "uno\r\ndos\r\ntres\r\n");
    pub::Rows want;
    for (const Entry &e : pub::listing(site.local()))
        want.push_back(pub::row(e, e.path() == "/docs/manual.txt" ? t + 1 : t));
    EXPECT_EQ(site.rows(), pub::sorted(want));
}

// pure-ftpd has no implicit TLS; pyftpdlib is given both. The ::1 rows check
// that the host name checked against the certificate (and written after
// "Conectamos a") is the address as written.
INSTANTIATE_TEST_SUITE_P(
    Servers, TlsPublish,
    testing::Values(
        Target{"pureftpd_explicit", [] { return std::make_unique<vt::PureFtpd>(pure(3)); }, "explicit",
               &vt::Certificates::server},
        Target{"pyftpdlib_explicit", [] { return std::make_unique<vt::PyFtpd>(py("explicit")); },
               "explicit", &vt::Certificates::server},
        Target{"pyftpdlib_implicit", [] { return std::make_unique<vt::PyFtpd>(py("implicit")); },
               "implicit", &vt::Certificates::server},
        Target{"pyftpdlib_explicit_ipv6",
               [] { return std::make_unique<vt::PyFtpd>(py("explicit", "::1")); }, "explicit",
               &vt::Certificates::server},
        Target{"pyftpdlib_plain_ipv6", [] { return std::make_unique<vt::PyFtpd>(py("no", "::1")); }, ""}),
    test_name);

// ---------------------------------------------------------------------------
// Runs that end before anything is uploaded, status 255, no row, nothing on
// the server.

vt::Outcome run_one_file(Site &site)
{
    site.create_table();
    site.put("/index.html", "x", pub::at(2024, 1, 1, 0, 0, 0));
    // Each of these ends within a second; a client that waits for a clear
    // greeting from a TLS-only port would wait for ever.
    vt::Spawn s = site.spawn();
    s.timeout = std::chrono::seconds(20);
    s.env.emplace_back("VANTOR_PLAZO_FTP", "3");
    return vt::run(s);
}

// A server that takes TLS sessions only, met by a run without ftptls: the
// server's refusal of the clear login, as for any failed login, and the key
// that fixes it.
TEST(TlsRequired, ClearLoginIsRefusedByTheServer)
{
    struct Case {
        const char *name;
        std::function<std::unique_ptr<vt::FtpDaemon>()> start;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"pure-ftpd -Y 2", [] { return std::make_unique<vt::PureFtpd>(pure(2)); },
         "421 Please reconnect using TLS security mechanisms."},
        {"pyftpdlib", [] { return std::make_unique<vt::PyFtpd>(py("explicit")); },
         "550 SSL/TLS required on the control channel."},
        {"vsftpd",
         [] {
             vt::VsFtpd::Options o;
             o.tls = "explicit";
             o.config = {"delay_failed_login=0"};
             return std::make_unique<vt::VsFtpd>(o);
         },
         "530 Non-anonymous sessions must use encryption."},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        auto ftp = k.start();
        Site site("clear");
        site.ftp(ftp->host(), ftp->port(), ftp->user(), ftp->pass());
        pub::expect_run(run_one_file(site),
                        "Vantor v0.9.1\nConectamos a 127.0.0.1:" + std::to_string(ftp->port()) +
                            "\nConectado!!!\nError al identificarse\n" + k.reply +
                            "\n\nEl servidor exige TLS: use ftptls = \"explicit\"\n",
                        255);
        EXPECT_EQ(site.rows(), pub::Rows{});
        EXPECT_TRUE(pub::listing(ftp->root()).empty());
    }
}

// TLS that cannot be set up: the banner, the connection line, "Error al
// conectar" and one line with the reason; the password never reaches the
// server (pyftpdlib logs every command it reads; "<- PASS ******" would be
// there).
TEST(TlsRefused, ReasonOnOneLineAndNoPasswordSent)
{
    struct Case {
        const char *name;
        vt::PyFtpd::Options server;
        std::string ftptls;
        const vt::Certificate vt::Certificates::*ca;
        // A stable part of the reason. The TLS reasons are the library's text
        // (with libcurl and OpenSSL: "SSL certificate problem: self-signed
        // certificate", "SSL: no alternative certificate subject name matches
        // target host name '127.0.0.1'"), so only their lasting part is
        // matched; a server's refusal of AUTH is its reply, whole.
        std::string reason;
        bool server_reply;
        std::string hint = "";  // the line after the reason, naming the fix
    };
    vt::PyFtpd::Options misnamed = py("explicit");
    misnamed.certificate = certs().misnamed.pem;
    vt::PyFtpd::Options misnamed_implicit = py("implicit");
    misnamed_implicit.certificate = certs().misnamed.pem;
    const std::vector<Case> cases = {
        {"explicit, another certificate trusted", py("explicit"), "explicit", &vt::Certificates::stranger,
         "SSL certificate problem: ", false},
        {"implicit, another certificate trusted", py("implicit"), "implicit", &vt::Certificates::stranger,
         "SSL certificate problem: ", false},
        {"explicit, system authorities only", py("explicit"), "explicit", nullptr, "SSL certificate problem: ",
         false,
         "El certificado del servidor no es de una autoridad conocida: si es el suyo, nombrelo con ftpcafile = "
         "\"/ruta/del/certificado.pem\""},
        {"explicit, name mismatch", misnamed, "explicit", &vt::Certificates::misnamed,
         "no alternative certificate subject name matches target host name '127.0.0.1'", false},
        {"implicit, name mismatch", misnamed_implicit, "implicit", &vt::Certificates::misnamed,
         "no alternative certificate subject name matches target host name '127.0.0.1'", false},
        {"explicit, server without TLS", py("no"), "explicit", &vt::Certificates::server,
         "500 Command \"AUTH\" not understood.", true,
         "El servidor no ofrece TLS en este puerto: use ftptls = \"no\" (usuario, clave y archivos viajaran sin "
         "cifrar)"},
        // The other mode's port: a server that waits for a handshake, or
        // greets in clear where a handshake was expected.
        {"explicit, implicit port", py("implicit"), "explicit", &vt::Certificates::server,
         "El servidor no ha saludado en 3 s; si el puerto espera TLS desde el primer byte, use ftptls = "
         "\"implicit\"",
         false},
        {"implicit, plain port", py("no"), "implicit", &vt::Certificates::server,
         " (el servidor no empieza con TLS; si acepta AUTH TLS, use ftptls = \"explicit\")", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        vt::PyFtpd ftp(k.server);
        Site site("refused");
        aim(site, ftp, {k.name, nullptr, k.ftptls, k.ca});
        vt::Outcome o = run_one_file(site);

        const std::string start =
            "Vantor v0.9.1\nConectamos a 127.0.0.1:" + std::to_string(ftp.port()) + "\nError al conectar\n";
        EXPECT_EQ(o.status, 255) << vt::describe(o);
        EXPECT_EQ(o.signal, 0);
        EXPECT_EQ(o.err, "");
        std::string rest = o.out.substr(std::min(start.size(), o.out.size()));
        if (!k.hint.empty()) {
            const std::string last = k.hint + "\n";
            EXPECT_TRUE(rest.size() > last.size() && rest.compare(rest.size() - last.size(), last.size(), last) == 0)
                << rest;
            rest.resize(rest.size() > last.size() ? rest.size() - last.size() : 0);
        }
        if (o.out.substr(0, start.size()) != start) {
            ADD_FAILURE() << "expected the output to start with\n" << start << "got\n" << o.out;
        } else if (k.server_reply) {
            // The reply as every other reply line is written: followed by an
            // empty line when the reply text keeps its own line feed.
            EXPECT_TRUE(rest == k.reason + "\n" || rest == k.reason + "\n\n") << rest;
        } else {
            EXPECT_EQ(occurrences(rest, "\n"), 1) << rest;
            EXPECT_EQ(rest.back(), '\n') << rest;
            EXPECT_NE(rest.find(k.reason), std::string::npos) << rest;
        }
        EXPECT_EQ(ftp.log().find("<- PASS"), std::string::npos) << ftp.log();
        EXPECT_EQ(ftp.log().find("<- STOR"), std::string::npos) << ftp.log();
        EXPECT_EQ(site.rows(), pub::Rows{});
        EXPECT_TRUE(pub::listing(ftp.root()).empty());
    }
}

// ---------------------------------------------------------------------------
// Several connections: the same tree published with one connection and
// with four gives the same lines in the same order, the same rows and the
// same files; so does a later run that finds some files changed. The
// folders are missing on the server, several files of one missing folder
// are in flight at once, and no upload may fail for it.

class Connections : public testing::TestWithParam<Target> {};

TEST_P(Connections, FourGiveWhatOneGives)
{
    Site site("conns");
    site.create_table();
    const time_t t = pub::at(2024, 2, 29, 12, 0, 0);
    const std::vector<std::string> folders = {"", "/a", "/a/b", "/a/b/c", "/d", "/d/e/f/g", "/h"};
    auto make_tree = [&] {
        for (int i = 0; i < 60; ++i) {
            const std::string &f = folders[static_cast<size_t>(i) % folders.size()];
            site.put(f + "/f" + std::to_string(i) + ".txt",
                     "archivo " + std::to_string(i) + "\n" +
                         bytes(static_cast<size_t>(i) * 997, static_cast<unsigned>(i)),
                     t);
        }
    };
    make_tree();
    std::vector<Entry> changed;
    for (const Entry &e : pub::listing(site.local()))
        if (changed.size() < 12 && e.nombre.size() % 2 == 0)
            changed.push_back(e);

    std::vector<std::string> outs;
    for (const char *n : {"1", "4"}) {
        SCOPED_TRACE(std::string("ftpconnections = ") + n);
        make_tree();
        vt::shared_mariadb().query("DELETE FROM " + site.table());
        auto ftp = GetParam().start();
        aim(site, *ftp, GetParam());
        site.config().set("ftpconnections", n);

        vt::Outcome o = site.run();
        pub::expect_run(o, all_new(*ftp, site));
        if (HasFailure())
            return;
        expect_mirror(*ftp, site);
        EXPECT_EQ(site.rows(), rows_of(site, t));
        // Where the server tells, proof of the connections used: one alone,
        // or more than one (and the limit met where there is one).
        if (auto *p = dynamic_cast<vt::PyFtpd *>(ftp.get())) {
            const int logins = occurrences(p->log(), "USER 'vantor' logged in.");
            if (std::string(n) == "1") {
                EXPECT_EQ(logins, 1) << p->log();
            } else {
                EXPECT_GE(logins, 2) << p->log();
            }
            if (std::string(GetParam().name).find("limit") != std::string::npos) {
                EXPECT_EQ(occurrences(p->log(), "-> 421 Too many connections") > 0, std::string(n) == "4")
                    << p->log();
            }
        }

        std::string later = header(*ftp);
        for (const Entry &e : changed) {
            site.put(e.path(), "cambiado " + e.path() + "\n", t + 60);
            later += "===> " + e.path() + " subido con exito\n";
        }
        pub::expect_run(site.run(), later + "Terminado!!!\n");
        expect_mirror(*ftp, site);
        pub::Rows want;
        for (const Entry &e : pub::listing(site.local())) {
            bool c = std::find_if(changed.begin(), changed.end(),
                                  [&](const Entry &x) { return x.path() == e.path(); }) != changed.end();
            want.push_back(pub::row(e, c ? t + 60 : t));
        }
        EXPECT_EQ(site.rows(), pub::sorted(want));
        pub::expect_run(site.run(), header(*ftp) + "Terminado!!!\n");
        outs.push_back(o.out.substr(o.out.find("Login correcto\n")));
    }
    EXPECT_EQ(outs.at(0), outs.at(1));
}

// With a limit of two connections per address, the two that the server
// greets with 421 are left aside and the run goes on with the others.
INSTANTIATE_TEST_SUITE_P(
    Servers, Connections,
    testing::Values(
        Target{"pyftpdlib", [] { return std::make_unique<vt::PyFtpd>(py("no")); }, ""},
        Target{"pureftpd", [] { return std::make_unique<vt::PureFtpd>(); }, ""},
        Target{"pureftpd_tls", [] { return std::make_unique<vt::PureFtpd>(pure(3)); }, "explicit",
               &vt::Certificates::server},
        Target{"pyftpdlib_limit_2",
               [] {
                   vt::PyFtpd::Options o = py("no");
                   o.max_cons_per_ip = 2;
                   return std::make_unique<vt::PyFtpd>(o);
               },
               ""}),
    test_name);

}  // namespace
