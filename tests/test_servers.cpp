// The four FTP servers hosting companies run (pyftpdlib, pure-ftpd, vsftpd,
// proftpd), plain and with explicit TLS, and OpenSSH's sshd over SFTP with
// a password or a key, on one and four connections: a
// first publish into missing folders arrives byte for byte, a rerun is
// quiet, and an upload the server refuses leaves the connection in step for
// the files after it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/certificates.h"
#include "support/ftp_daemons.h"
#include "support/site.h"
#include "support/ssh_daemons.h"
#include "support/text.h"

namespace {

using pub::Entry;

struct Cell {
    std::string name;
    std::function<std::unique_ptr<vt::FtpDaemon>(bool tls)> start;  // empty: sshd
    bool tls;  // over SFTP: key login
    int connections;
};

std::vector<Cell> cells()
{
    const std::vector<std::pair<std::string, std::function<std::unique_ptr<vt::FtpDaemon>(bool)>>> servers = {
        {"pyftpdlib",
         [](bool tls) {
             vt::PyFtpd::Options o;
             o.unprivileged = true;
             o.auth_failed_delay = 0;
             o.tls = tls ? "explicit" : "no";
             o.tls_control_required = o.tls_data_required = tls;
             return std::make_unique<vt::PyFtpd>(o);
         }},
        {"pureftpd",
         [](bool tls) {
             vt::PureFtpd::Options o;
             o.tls = tls ? 3 : 0;
             return std::make_unique<vt::PureFtpd>(o);
         }},
        {"vsftpd",
         [](bool tls) {
             vt::VsFtpd::Options o;
             o.tls = tls ? "explicit" : "no";
             return std::make_unique<vt::VsFtpd>(o);
         }},
        {"proftpd",
         [](bool tls) {
             vt::ProFtpd::Options o;
             o.tls = tls ? "explicit" : "no";
             return std::make_unique<vt::ProFtpd>(o);
         }},
    };
    std::vector<Cell> out;
    for (const auto &[name, start] : servers)
        for (bool tls : {false, true})
            for (int n : {1, 4})
                out.push_back({name + (tls ? "_tls_" : "_plain_") + std::to_string(n), start, tls, n});
    for (bool key : {false, true})
        for (int n : {1, 4})
            out.push_back({std::string("sshd_") + (key ? "key_" : "password_") + std::to_string(n), {}, key, n});
    return out;
}

class Servers : public testing::TestWithParam<Cell> {};

TEST_P(Servers, FirstPublishQuietRerunRefusedUpload)
{
    const Cell &c = GetParam();
    std::unique_ptr<vt::FtpDaemon> ftp;
    std::unique_ptr<vt::Sshd> ssh;
    pub::Site site("srv");
    if (c.start) {
        ftp = c.start(c.tls);
        site.ftp(ftp->host(), ftp->port(), ftp->user(), ftp->pass());
        if (c.tls)
            site.config().set("ftptls", "explicit").set("ftpcafile", vt::test_certificates().server.cert);
    } else {
        // remoteroot taken from the login folder, which the account owns.
        vt::Sshd::Options o;
        o.home = "web";
        ssh = std::make_unique<vt::Sshd>(o);
        site.ftp(ssh->host(), ssh->port(), ssh->user(), c.tls ? ssh->passphrase() : ssh->pass());
        site.config().set("protocol", "sftp").set("sshknownhosts", ssh->known_hosts()).set("remoteroot", "htdocs");
        if (c.tls)
            site.config().set("sshkeyfile", ssh->key_with_passphrase());
    }
    const auto remote = [&](const std::string &rel) {
        return ftp ? ftp->path("htdocs" + rel) : ssh->path("web/htdocs" + rel);
    };
    const std::string header = pub::header(ftp ? ftp->port() : ssh->port());
    site.config().set("ftpconnections", std::to_string(c.connections));
    site.create_table();
    const time_t t = pub::at(2024, 6, 7, 8, 9, 10);
    for (int i = 0; i < 30; ++i)
        site.put("/f" + std::to_string(i % 5) + "/s" + std::to_string(i / 5 % 2) + "/" + std::to_string(i) + ".txt",
                 vt::bytes(100 + 37 * i, i), t);

    // The remote root and every folder below it are missing.
    std::string all = header;
    for (const Entry &e : pub::listing(site.local()))
        all += pub::new_file(e.path());
    pub::expect_run(site.run(), all + "Terminado!!!\n");
    for (const Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(remote(e.path())), vt::read_file(site.local(e.path()))) << e.path();
    pub::expect_run(site.run(), header + "Terminado!!!\n");

    // A copy on the server the server may not overwrite, between two files
    // of the same folder that must still go, on the same connection.
    const std::vector<Entry> in_f0 = [&] {
        std::vector<Entry> v;
        for (const Entry &e : pub::listing(site.local()))
            if (e.ruta == "/f0/s0/")
                v.push_back(e);
        return v;
    }();
    ASSERT_GE(in_f0.size(), 3u);
    const std::string ro = remote(in_f0[1].path());
    ASSERT_EQ(chown(ro.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
    for (const Entry &e : in_f0)
        site.put(e.path(), "nuevo " + e.nombre, t + 60);
    const vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    EXPECT_TRUE(vt::contains(o.out, "===> ERROR al subir " + in_f0[1].path() + "\n")) << o.out;
    for (const Entry &e : in_f0) {
        if (e.path() == in_f0[1].path())
            continue;
        EXPECT_TRUE(vt::contains(o.out, "===> " + e.path() + " subido con exito\n")) << o.out;
        EXPECT_EQ(vt::read_file(remote(e.path())), "nuevo " + e.nombre);
    }
    // The servers' logs: no reply that belongs to another command.
    if (ftp) {
        EXPECT_FALSE(vt::contains(ftp->log(), "data transfer in progress")) << ftp->log();
    }
}

INSTANTIATE_TEST_SUITE_P(FourServers, Servers, testing::ValuesIn(cells()),
                         [](const testing::TestParamInfo<Cell> &i) { return i.param.name; });

}  // namespace
