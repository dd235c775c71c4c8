// The four FTP servers hosting companies run (pyftpdlib, pure-ftpd, vsftpd,
// proftpd), plain and with explicit TLS, and OpenSSH's sshd over SFTP with
// a password or a key, on one and four connections: a
// first publish into missing folders arrives byte for byte, a rerun is
// quiet, and an upload the server refuses leaves the connection in step for
// the files after it. On some of them, atomic uploads and a verifying run
// that repairs what was changed on the server behind the catalogue's back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/certificates.h"
#include "support/ftp_daemons.h"
#include "support/process.h"
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

// A site published to a cell's server, and where its files land there.
struct Served {
    std::unique_ptr<vt::FtpDaemon> ftp;
    std::unique_ptr<vt::Sshd> ssh;
    pub::Site site{"srv"};
    std::string header;

    explicit Served(const Cell &c)
    {
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
        header = pub::header(ftp ? ftp->port() : ssh->port());
        site.config().set("ftpconnections", std::to_string(c.connections));
        site.create_table();
    }
    std::string remote(const std::string &rel) const
    {
        return ftp ? ftp->path("htdocs" + rel) : ssh->path("web/htdocs" + rel);
    }
};

class Servers : public testing::TestWithParam<Cell> {};

TEST_P(Servers, FirstPublishQuietRerunRefusedUpload)
{
    const Cell &c = GetParam();
    Served sv(c);
    pub::Site &site = sv.site;
    const std::unique_ptr<vt::FtpDaemon> &ftp = sv.ftp;
    const auto remote = [&](const std::string &rel) { return sv.remote(rel); };
    const std::string &header = sv.header;
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

// Every temporary copy left anywhere below the remote root.
std::vector<std::string> temporaries(const Served &sv)
{
    std::vector<std::string> out;
    for (const Entry &e : pub::listing(sv.remote("")))
        if (vt::contains(e.nombre, ".vantor-tmp"))
            out.push_back(e.path());
    return out;
}

// What another tool or the host does to a published file on the server:
// the file keeps its owner, so that the server may overwrite it.
void change_on_server(const std::string &path, const std::string &bytes)
{
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    vt::write_file(path, bytes);
    ASSERT_EQ(chown(path.c_str(), st.st_uid, st.st_gid), 0);
}

class Safe : public testing::TestWithParam<Cell> {};

// atomic = "yes": a first publish and a change (renamed over the old
// copies) arrive whole and leave no temporary copy. -v then sends again
// exactly the files deleted, truncated (to nothing, too) or replaced with
// another size on the server and those of a folder deleted there, leaves a
// file it does not know alone, reports a folder it may not list without
// calling its files missing, and a second -v is quiet.
TEST_P(Safe, AtomicUploadsAndVerifyingRunRepairs)
{
    Served sv(GetParam());
    pub::Site &site = sv.site;
    site.config().set("atomic", "yes");
    const time_t t = pub::at(2024, 6, 7, 8, 9, 10);
    const std::vector<std::string> paths = {"/a/1.txt",   "/a/dos dos.txt", "/a/.htaccess", "/a/b/2.txt",
                                            "/a/b/3.txt", "/c/4.txt",       "/d/e/5.txt",   "/6.txt"};
    for (size_t i = 0; i < paths.size(); ++i)
        site.put(paths[i], vt::bytes(300 + 50 * i, static_cast<unsigned>(i)), t);
    std::string all = sv.header;
    for (const Entry &e : pub::listing(site.local()))
        all += pub::new_file(e.path());
    pub::expect_run(site.run(), all + "Terminado!!!\n");
    for (const char *p : {"/a/1.txt", "/c/4.txt"})
        site.put(p, std::string("cambiado ") + p, t + 60);
    std::string changed = sv.header;
    for (const Entry &e : pub::listing(site.local()))
        if (e.path() == "/a/1.txt" || e.path() == "/c/4.txt")
            changed += "===> " + e.path() + " subido con exito\n";
    pub::expect_run(site.run(), changed + "Terminado!!!\n");
    for (const Entry &e : pub::listing(site.local()))
        EXPECT_EQ(vt::read_file(sv.remote(e.path())), vt::read_file(site.local(e.path()))) << e.path();
    EXPECT_EQ(temporaries(sv), std::vector<std::string>{});

    // Behind the catalogue's back.
    ASSERT_EQ(unlink(sv.remote("/a/1.txt").c_str()), 0);
    ASSERT_EQ(truncate(sv.remote("/a/b/2.txt").c_str(), 10), 0);
    ASSERT_EQ(truncate(sv.remote("/6.txt").c_str(), 0), 0);
    change_on_server(sv.remote("/c/4.txt"), "otro contenido, de otro tamano");
    change_on_server(sv.remote("/a/b/3.txt"), std::string(vt::read_file(site.local("/a/b/3.txt")).size(), 'x'));
    vt::remove_tree(sv.remote("/d"));
    vt::write_file(sv.remote("/a/ajeno.txt"), "no es nuestro");
    const std::map<std::string, std::string> why = {
        {"/a/1.txt", "Falta en el servidor"},
        {"/a/b/2.txt", "Tamano distinto en el servidor"},
        {"/c/4.txt", "Tamano distinto en el servidor"},
        {"/d/e/5.txt", "Falta en el servidor"},
        {"/6.txt", "Tamano distinto en el servidor"},
    };
    std::string repaired = sv.header;
    for (const Entry &e : pub::listing(site.local()))
        if (why.count(e.path()))
            repaired += why.at(e.path()) + ": " + e.path() + "\n===> " + e.path() + " subido con exito\n";
    pub::expect_run(site.run({"-V"}), repaired + "Terminado!!!\n");
    for (const Entry &e : pub::listing(site.local())) {
        if (e.path() == "/a/b/3.txt")
            continue;  // replaced with the same size: a listing cannot tell
        EXPECT_EQ(vt::read_file(sv.remote(e.path())), vt::read_file(site.local(e.path()))) << e.path();
    }
    EXPECT_EQ(vt::read_file(sv.remote("/a/ajeno.txt")), "no es nuestro");
    EXPECT_EQ(temporaries(sv), std::vector<std::string>{});
    pub::expect_run(site.run({"-verify"}), sv.header + "Terminado!!!\n");

    // A folder the account may not list: its files are left as they are.
    ASSERT_EQ(unlink(sv.remote("/a/b/2.txt").c_str()), 0);
    ASSERT_EQ(chmod(sv.remote("/a/b").c_str(), 0311), 0);
    const vt::Outcome o = site.run({"-v"});
    chmod(sv.remote("/a/b").c_str(), 0755);
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    EXPECT_EQ(vt::occurrences(o.out, "Error listando directorio "), 1) << o.out;
    EXPECT_TRUE(vt::contains(o.out, "Error listando directorio " + std::string(sv.ftp ? "/htdocs" : "htdocs") +
                                        "/a/b:\n"))
        << o.out;
    EXPECT_FALSE(vt::contains(o.out, "Falta en el servidor")) << o.out;
}

// A slow upload (vsftpd held to 600 KB/s) with atomic = "yes": a reader
// polling the final name sees the old file or the whole new one, never a
// part; a run killed in the middle leaves its one temporary copy and the old
// file, and the next run stores and renames a copy of its own, leaving the
// killed run's alone.
TEST(SafeUploads, NoPartialFileUnderItsNameAndAKilledRunLeavesOneCopy)
{
    vt::VsFtpd::Options vo;
    vo.config = {"local_max_rate=600000"};
    Served sv(Cell{"vsftpd", [&](bool) { return std::make_unique<vt::VsFtpd>(vo); }, false, 1});
    pub::Site &site = sv.site;
    site.config().set("atomic", "yes");
    const time_t t = pub::at(2024, 6, 7, 8, 9, 10);
    const std::string name = sv.remote("/big.bin");
    const std::vector<std::string> versions = {vt::bytes(200000, 1), vt::bytes(1200000, 2), vt::bytes(1200000, 3)};
    site.put("/big.bin", versions[0], t);
    pub::expect_run(site.run(), sv.header + pub::new_file("/big.bin") + "Terminado!!!\n");

    site.put("/big.bin", versions[1], t + 60);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, partial{0};
    std::thread reader([&] {
        while (!done) {
            const std::string now = vt::read_file(name);
            ++reads;
            if (now != versions[0] && now != versions[1])
                ++partial;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    pub::expect_run(site.run(), sv.header + "===> /big.bin subido con exito\n" + "Terminado!!!\n");
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 10);
    EXPECT_EQ(partial.load(), 0);

    site.put("/big.bin", versions[2], t + 120);
    {
        vt::Process run(site.spawn());
        struct stat st {};
        for (int i = 0; i < 500 && (temporaries(sv).size() != 1 ||
                                    stat(sv.remote(temporaries(sv)[0]).c_str(), &st) != 0 || st.st_size < 100000);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(st.st_size, 100000);
        run.signal(SIGKILL);
        run.wait();
    }
    const std::vector<std::string> left = temporaries(sv);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(vt::temporary_of(left[0], "/.big.bin")) << left[0];
    EXPECT_EQ(vt::read_file(name), versions[1]);
    pub::expect_run(site.run(), sv.header + "===> /big.bin subido con exito\n" + "Terminado!!!\n");
    EXPECT_EQ(temporaries(sv), left);
    EXPECT_EQ(vt::read_file(name), versions[2]);
}

std::vector<Cell> safe_cells()
{
    std::vector<Cell> out;
    for (const Cell &c : cells())
        for (const char *n : {"pyftpdlib_plain_1", "pureftpd_plain_4", "vsftpd_plain_4", "vsftpd_tls_1",
                              "proftpd_tls_4", "sshd_password_4", "sshd_key_1"})
            if (c.name == n)
                out.push_back(c);
    return out;
}

INSTANTIATE_TEST_SUITE_P(FourServers, Safe, testing::ValuesIn(safe_cells()),
                         [](const testing::TestParamInfo<Cell> &i) { return i.param.name; });

}  // namespace
