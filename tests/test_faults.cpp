// Faults during an update run, end to end: the real binary, a real MariaDB
// and a real FTP server (the scripted one where a real server cannot be
// made to fail on cue). Each case breaks something in the middle of a run
// and then checks what matters after any failure:
//
//   every catalogue row names a file that is on the server, whole, with
//   the stamp the local file had when it was uploaded (or an older one, so
//   that the next run sends it again), and a later run with the fault gone
//   brings the catalogue and the server level with the local tree.
//
// A case that breaks the server while vantor works pauses vantor with
// SIGSTOP at a known line, breaks the server, and lets it go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/config.h"
#include "support/files.h"
#include "support/ftp_daemons.h"
#include "support/mariadb.h"
#include "support/process.h"
#include "support/text.h"
#include "support/scripted_ftp.h"
#include "support/site.h"

namespace {

using vt::contains;
using vt::occurrences;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs take their stamps in UTC, so a stamp is the file time's UTC fields.
const char *const zone = "UTC";

std::vector<std::string> stamp_of(time_t t)
{
    std::tm u{};
    gmtime_r(&t, &u);
    return {std::to_string(u.tm_mday), std::to_string(u.tm_mon + 1), std::to_string(u.tm_year + 1900),
            std::to_string(u.tm_hour), std::to_string(u.tm_min),     std::to_string(u.tm_sec)};
}

// The catalogue's server as the tests see it: where vantor connects and how
// the test reads the table.
struct DbLink {
    std::string host;
    int port = 0;
    std::string user, pass, name;
    std::function<vt::Rows(const std::string &)> query;
};

DbLink link_to(const vt::MariaDb &db)
{
    return {db.host(), db.port(), db.user(), db.password(), db.database(),
            [&db](const std::string &sql) { return db.query(sql); }};
}

// A MariaDB of this test's own that can be stopped in the middle of a run
// and started again on the same data, to see what the stopped run left.
class StoppableDb {
public:
    StoppableDb() : dir_("vantor-faultdb")
    {
        vt::Spawn install;
        install.program = "mariadb-install-db";
        install.args = {"--no-defaults", "--datadir=" + data(), "--auth-root-authentication-method=normal",
                        "--skip-test-db", "--innodb-buffer-pool-size=16M", "--innodb-log-file-size=4M",
                        "--tmpdir=" + dir_.path(), "--force"};
        if (vt::running_as_root())
            install.args.push_back("--user=root");
        install.log_file = dir_ / "install.log";
        install.timeout = 120s;
        vt::Outcome o = vt::run(install);
        if (o.status != 0 || o.signal)
            throw std::runtime_error("mariadb-install-db failed: " + vt::read_file(dir_ / "install.log"));
        port_ = vt::free_port();
        start();
        query_root("CREATE DATABASE vantor", nullptr);
        for (const char *h : {"%", "localhost"}) {
            std::string who = "'vantor'@'" + std::string(h) + "'";
            query_root("CREATE USER " + who + " IDENTIFIED BY 'clave'", nullptr);
            query_root("GRANT ALL PRIVILEGES ON vantor.* TO " + who, nullptr);
        }
    }
    ~StoppableDb() { halt(SIGTERM); }

    DbLink link()
    {
        return {"127.0.0.1", port_, "vantor", "clave", "vantor",
                [this](const std::string &sql) { return query(sql); }};
    }

    void start()
    {
        vt::Spawn s;
        s.program = "mariadbd";
        s.args = {"--no-defaults", "--datadir=" + data(), "--socket=" + socket(),
                  "--port=" + std::to_string(port_), "--bind-address=127.0.0.1", "--skip-name-resolve",
                  "--pid-file=" + (dir_ / "mariadbd.pid"), "--log-error=" + (dir_ / "error.log"),
                  "--tmpdir=" + dir_.path(), "--character-set-server=utf8mb4",
                  "--collation-server=utf8mb4_general_ci", "--innodb-buffer-pool-size=16M",
                  "--innodb-log-file-size=4M", "--skip-log-bin"};
        if (vt::running_as_root())
            s.args.push_back("--user=root");
        s.log_file = dir_ / "stdout.log";
        s.timeout = std::chrono::hours(1);
        server_ = std::make_unique<vt::Process>(s);
        auto end = std::chrono::steady_clock::now() + 60s;
        std::string why;
        while (std::chrono::steady_clock::now() < end) {
            if (!server_->running())
                throw std::runtime_error("mariadbd ended at start:\n" + log());
            if (access(socket().c_str(), F_OK) == 0 && query_root("SELECT 1", &why))
                return;
            std::this_thread::sleep_for(20ms);
        }
        throw std::runtime_error("mariadbd did not answer: " + why + "\n" + log());
    }

    // Ends the server with sig (SIGTERM: an orderly stop; SIGKILL: a crash).
    void halt(int sig)
    {
        if (!server_)
            return;
        server_->signal(sig);
        if (sig == SIGTERM)
            server_->stop(20000ms);
        else
            server_->wait();
        server_.reset();
        unlink(socket().c_str());
    }

    vt::Rows query(const std::string &sql)
    {
        vt::Rows rows;
        std::string why;
        if (!query_root(sql, &why, &rows))
            throw std::runtime_error(why);
        return rows;
    }

    std::string log() const
    {
        try {
            return vt::read_file(dir_ / "error.log");
        } catch (const std::exception &) {
            return "";
        }
    }

private:
    std::string data() const { return dir_ / "data"; }
    std::string socket() const { return dir_ / "mariadbd.sock"; }

    // Root over the socket; false with the error in *why when it fails.
    bool query_root(const std::string &sql, std::string *why, vt::Rows *rows = nullptr)
    {
        MYSQL *m = mysql_init(nullptr);
        mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        unsigned int proto = MYSQL_PROTOCOL_SOCKET;
        mysql_options(m, MYSQL_OPT_PROTOCOL, &proto);
        bool ok = mysql_real_connect(m, "localhost", "root", "", nullptr, 0, socket().c_str(), 0) &&
                  mysql_select_db(m, sql == "SELECT 1" || sql.rfind("CREATE", 0) == 0 ||
                                             sql.rfind("GRANT", 0) == 0
                                         ? "mysql"
                                         : "vantor") == 0 &&
                  mysql_real_query(m, sql.data(), sql.size()) == 0;
        if (ok) {
            if (MYSQL_RES *res = mysql_store_result(m)) {
                unsigned n = mysql_num_fields(res);
                while (MYSQL_ROW r = mysql_fetch_row(res)) {
                    unsigned long *len = mysql_fetch_lengths(res);
                    vt::Row row;
                    for (unsigned i = 0; i < n; ++i)
                        row.push_back(r[i] ? std::optional<std::string>(std::string(r[i], len[i]))
                                           : std::nullopt);
                    if (rows)
                        rows->push_back(row);
                }
                mysql_free_result(res);
            }
        } else if (why) {
            *why = mysql_error(m);
        }
        mysql_close(m);
        return ok;
    }

    vt::TempDir dir_;
    int port_ = 0;
    std::unique_ptr<vt::Process> server_;
};

// pyftpdlib that can also die at once, leaving what it stored in place.
class KillablePyFtpd : public vt::PyFtpd {
public:
    void kill()
    {
        proc_->signal(SIGKILL);
        proc_->wait();
    }
};

// A local tree with its configuration and catalogue table. Every version of
// every file is remembered with its stamp, so that a row and the server's
// copy can be judged against what the file held at the time.
class Site : public pub::Site {
public:
    struct Version {
        std::vector<std::string> stamp;
        std::string bytes;
    };

    Site(const DbLink &db, const std::string &tag) : pub::Site("f_" + tag, base(db), "vantor-faults"), db_(db)
    {
        set_zone(zone);
    }

    void put(const std::string &rel, const std::string &bytes, time_t when)
    {
        pub::Site::put(rel, bytes, when);
        versions_[rel].push_back({stamp_of(when), bytes});
        present_.insert(rel);
    }

    void forget(const std::string &rel) { present_.erase(rel); }
    const std::set<std::string> &present() const { return present_; }
    const std::vector<Version> &versions(const std::string &rel) const { return versions_.at(rel); }

    // Ruta+Nombre, then the six stamp columns, per row.
    std::vector<std::pair<std::string, std::vector<std::string>>> rows() const
    {
        std::vector<std::pair<std::string, std::vector<std::string>>> out;
        for (const vt::Row &r :
             db_.query("SELECT Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + table())) {
            std::vector<std::string> s;
            for (size_t i = 2; i < 8; ++i)
                s.push_back(r[i].value_or("NULL"));
            out.emplace_back(r[0].value_or("") + r[1].value_or(""), s);
        }
        return out;
    }

private:
    static vt::Config base(const DbLink &db)
    {
        vt::Config c;
        c.set("dbserver", db.host)
            .set("dbport", std::to_string(db.port))
            .set("dbname", db.name)
            .set("dbuser", db.user)
            .set("dbpass", db.pass);
        return c;
    }

    DbLink db_;
    std::map<std::string, std::vector<Version>> versions_;
    std::set<std::string> present_;
};

// What the server holds for a relative path below the remote root.
using Remote = std::function<std::optional<std::string>(const std::string &rel)>;

Remote on_disk(const std::string &root)
{
    return [root](const std::string &rel) -> std::optional<std::string> {
        std::string p = root + rel;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        return vt::read_file(p);
    };
}

// The files a scripted server accepted: data read to its end and a positive
// final reply; a later upload of the same path replaces an earlier one.
Remote accepted_by(const vt::ScriptedFtp &ftp)
{
    std::map<std::string, std::string> kept;
    for (const vt::StoredFile &f : ftp.stored())
        if (f.complete && f.final_reply.rfind("2", 0) == 0)
            kept[f.path] = f.bytes;
    return [kept](const std::string &rel) -> std::optional<std::string> {
        auto it = kept.find("/htdocs" + rel);
        if (it == kept.end())
            return std::nullopt;
        return it->second;
    };
}

struct Verdict {
    int rows = 0;
    int wrong = 0;
    std::string why;
    void bad(const std::string &what)
    {
        ++wrong;
        why += what + "\n";
    }
};

// The rule that must hold after any failure: each row names a file that is
// on the server and whole, and its stamp is one the file had no later than
// the content the server holds (an equal stamp with older content would
// leave the server stale for good; an older stamp only costs an upload).
Verdict trusted_rows(const Site &site, const Remote &remote)
{
    Verdict v;
    std::set<std::string> seen;
    for (const auto &[rel, stamp] : site.rows()) {
        ++v.rows;
        if (!seen.insert(rel).second) {
            v.bad("two rows for " + rel);
            continue;
        }
        std::optional<std::string> there = remote(rel);
        if (!there) {
            v.bad("row for " + rel + ", which is not on the server");
            continue;
        }
        const auto &vs = site.versions(rel);
        size_t from = vs.size();
        for (size_t i = vs.size(); i-- > 0;)
            if (vs[i].stamp == stamp) {
                from = i;
                break;
            }
        if (from == vs.size()) {
            v.bad("row for " + rel + " with a stamp the file never had");
            continue;
        }
        bool whole = false;
        for (size_t i = from; i < vs.size(); ++i)
            whole = whole || vs[i].bytes == *there;
        if (!whole)
            v.bad("row for " + rel + " whose copy on the server (" + std::to_string(there->size()) +
                  " bytes) is not the file as it was at or after that stamp");
    }
    return v;
}

// After a clean run: every local file has one row with its present stamp
// and the server holds its present bytes.
Verdict level(const Site &site, const Remote &remote)
{
    Verdict v = trusted_rows(site, remote);
    std::map<std::string, std::vector<std::string>> by_path;
    for (const auto &[rel, stamp] : site.rows())
        by_path[rel] = stamp;
    for (const std::string &rel : site.present()) {
        const Site::Version &now = site.versions(rel).back();
        auto it = by_path.find(rel);
        if (it == by_path.end())
            v.bad("no row for " + rel);
        else if (it->second != now.stamp)
            v.bad("row for " + rel + " holds an old stamp");
        std::optional<std::string> there = remote(rel);
        if (!there || *there != now.bytes)
            v.bad("server copy of " + rel + " differs from the local file");
    }
    return v;
}

// One line of figures per case: files in the tree, files the faulty run did
// not store, rows checked after the fault and after the next run.
void report(const std::string &name, int files, int failed, const Verdict &after_fault, const Verdict &after_next)
{
    printf("[ figures  ] %s: files %d, not stored %d, rows checked %d+%d, rows wrong %d\n", name.c_str(),
           files, failed, after_fault.rows, after_next.rows, after_fault.wrong + after_next.wrong);
}

// Waits until the output holds `count` copies of needle.
bool wait_for_count(vt::Process &p, const std::string &needle, int count, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (occurrences(p.out_so_far(), needle) >= count)
            return true;
        if (!p.running())
            return occurrences(p.out_so_far(), needle) >= count;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Output of vantor while it is stopped: waits until the pipe is drained.
std::string settled_output(vt::Process &p)
{
    std::string before;
    for (;;) {
        std::this_thread::sleep_for(100ms);
        std::string now = p.out_so_far();
        if (now == before)
            return now;
        before = now;
    }
}

std::string ok_line(const std::string &rel) { return "===> " + rel + " subido con exito\n"; }
std::string failed_line(const std::string &rel) { return "===> ERROR al subir " + rel + "\n"; }

// An update run that reached its end exits with 2 when some upload failed.
int unpublished_status(const vt::Outcome &o) { return contains(o.out, "===> ERROR al subir ") ? 2 : 0; }

std::string body(const std::string &rel, int version, size_t size = 300)
{
    std::string b = rel + " v" + std::to_string(version) + "\n";
    while (b.size() < size)
        b += static_cast<char>('a' + b.size() % 26);
    return b;
}

const time_t t0 = 1700000000;  // 14 November 2023

// ---------------------------------------------------------------------------

TEST(Faults, FtpServerDiesInTheMiddleOfARun)
{
    vt::MariaDb &db = vt::shared_mariadb();
    auto ftp = std::make_unique<KillablePyFtpd>();
    ftp->make_dir("htdocs");
    Site site(link_to(db), "ftpdies");
    site.ftp(*ftp);
    ASSERT_NO_FATAL_FAILURE(site.create_table());

    // Published before: ten files that will change.
    std::vector<std::string> changed, added;
    for (int i = 0; i < 10; ++i) {
        changed.push_back("/viejo/f" + std::to_string(i) + ".txt");
        site.put(changed.back(), body(changed.back(), 1), t0 + i);
    }
    vt::Outcome first = site.run();
    ASSERT_EQ(first.status, 0) << vt::describe(first);

    for (size_t i = 0; i < changed.size(); ++i)
        site.put(changed[i], body(changed[i], 2, 5000), t0 + 86400 + static_cast<time_t>(i));
    for (int i = 0; i < 60; ++i) {
        added.push_back((i % 2 ? "/nuevo/n" : "/n") + std::to_string(i) + ".html");
        site.put(added.back(), body(added.back(), 1, 20000), t0 + 3600 + i);
    }

    vt::Process run(site.spawn());
    ASSERT_TRUE(wait_for_count(run, " subido con exito\n", 8, 20s)) << run.out_so_far();
    run.signal(SIGSTOP);
    ftp->kill();
    run.signal(SIGCONT);
    vt::Outcome o = run.wait();

    EXPECT_EQ(o.signal, 0) << vt::describe(o);
    EXPECT_EQ(o.status, unpublished_status(o)) << vt::describe(o);
    EXPECT_TRUE(o.out.size() >= 13 && o.out.substr(o.out.size() - 13) == "Terminado!!!\n") << o.out;
    EXPECT_EQ(o.err, "");

    // Each new or changed file is reported once, stored or failed; once a
    // failure came, nothing more could be stored.
    int failed = 0;
    size_t first_failure = std::string::npos;
    std::vector<std::string> all = changed;
    all.insert(all.end(), added.begin(), added.end());
    for (const std::string &rel : all) {
        int ok = occurrences(o.out, ok_line(rel)), bad = occurrences(o.out, failed_line(rel));
        EXPECT_EQ(ok + bad, 1) << rel << "\n" << o.out;
        if (bad) {
            ++failed;
            first_failure = std::min(first_failure, o.out.find(failed_line(rel)));
            // A dead server: the reconnection is refused.
            EXPECT_TRUE(contains(o.out, "Error subiendo archivo /htdocs" + rel + " desde " + site.local(rel) +
                                            ":\nConnection refused\n" + failed_line(rel)))
                << rel << "\n" << o.out;
        }
    }
    EXPECT_GT(failed, 0) << o.out;
    if (first_failure != std::string::npos) {
        EXPECT_EQ(o.out.find(" subido con exito\n", first_failure), std::string::npos) << o.out;
    }

    Verdict after = trusted_rows(site, on_disk(ftp->path("htdocs")));
    EXPECT_EQ(after.wrong, 0) << after.why;

    // The server comes back with what it had stored; the next run sends
    // exactly the files that failed.
    vt::PyFtpd again;
    fs::copy(ftp->path("htdocs"), again.path("htdocs"), fs::copy_options::recursive);
    site.ftp(again);
    vt::Outcome next = site.run();
    EXPECT_EQ(next.status, 0) << vt::describe(next);
    EXPECT_EQ(occurrences(next.out, " subido con exito\n"), failed) << next.out;
    Verdict lvl = level(site, on_disk(again.path("htdocs")));
    EXPECT_EQ(lvl.wrong, 0) << lvl.why;
    report("ftp server dies", static_cast<int>(all.size()), failed, after, lvl);
}

// Replies a full disk gives after the data, and a connection that drops
// after the data without a final reply (the upload is sent again on a new
// connection).
TEST(Faults, ServerRefusesTheDataAfterReceivingIt)
{
    vt::MariaDb &db = vt::shared_mariadb();
    vt::ScriptedFtp ftp;
    Site site(link_to(db), "full");
    site.ftp(ftp);
    ASSERT_NO_FATAL_FAILURE(site.create_table());

    struct Case {
        const char *rel;
        vt::Reply reply;
        bool stored;
    };
    const std::vector<Case> cases = {
        {"/a.txt", vt::Reply::transfer(), true},
        {"/b.txt", vt::Reply::transfer("451 Requested action aborted: local error in processing."), false},
        {"/c/c.txt", vt::Reply::transfer("426 Connection closed; transfer aborted."), false},
        {"/d.txt", vt::Reply::transfer("452 Insufficient storage space in system."), false},
        {"/e.txt", vt::Reply::transfer("552 Exceeded storage allocation."), false},
        {"/f.txt", vt::Reply::transfer_then_close(), true},
    };
    int i = 0;
    for (const Case &c : cases) {
        site.put(c.rel, body(c.rel, 1, 70000), t0 + i++);
        ftp.queue("STOR", std::string("/htdocs") + c.rel, c.reply);
    }
    vt::Outcome o = site.run();
    EXPECT_EQ(o.status, unpublished_status(o)) << vt::describe(o);
    int failed = 0;
    for (const Case &c : cases) {
        std::string rel = c.rel;
        if (c.stored) {
            EXPECT_TRUE(contains(o.out, ok_line(rel))) << rel << "\n" << o.out;
            continue;
        }
        ++failed;
        // The server's reply as the FTP library keeps it, with its line feed.
        std::string reply = c.reply.after + "\n";
        EXPECT_TRUE(contains(o.out, "NUEVO ARCHIVO!!!  Bienvenido " + rel + "!\nError subiendo archivo /htdocs" + rel +
                                        " desde " + site.local(rel) + ":\n" + reply + "\n" + failed_line(rel)))
            << rel << "\n" << o.out;
    }
    // The dropped connection was replaced and the file sent once more.
    EXPECT_EQ(ftp.connections(), 2);
    Verdict after = trusted_rows(site, accepted_by(ftp));
    EXPECT_EQ(after.wrong, 0) << after.why;
    EXPECT_EQ(after.rows, 2);

    vt::Outcome next = site.run();
    EXPECT_EQ(next.status, 0) << vt::describe(next);
    EXPECT_EQ(occurrences(next.out, " subido con exito\n"), failed) << next.out;
    Verdict lvl = level(site, accepted_by(ftp));
    EXPECT_EQ(lvl.wrong, 0) << lvl.why;
    report("data refused after transfer (scripted)", static_cast<int>(cases.size()), failed, after, lvl);
}

// A tmpfs of this size is mounted on the server's remote root.
constexpr const char *small_disk = "size=192k";

struct DiskCase {
    const char *server;
};

class RealDiskFills : public ::testing::TestWithParam<DiskCase> {};

TEST_P(RealDiskFills, FailedUploadLeavesNoRow)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "mounting a small disk needs root";
    vt::MariaDb &db = vt::shared_mariadb();
    std::unique_ptr<vt::FtpDaemon> ftp;
    if (std::string(GetParam().server) == "pyftpdlib")
        ftp = std::make_unique<vt::PyFtpd>();
    else
        ftp = std::make_unique<vt::PureFtpd>();
    ftp->make_dir("htdocs");
    const std::string disk = ftp->path("htdocs");
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, small_disk) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    ftp->give("htdocs");

    Site site(link_to(db), "disk");
    site.ftp(*ftp);
    ASSERT_NO_FATAL_FAILURE(site.create_table());
    const std::vector<std::string> small = {"/a.txt", "/sub/b.txt", "/sub/c.txt", "/d.txt"};
    int i = 0;
    for (const std::string &rel : small)
        site.put(rel, body(rel, 1, 8000), t0 + i++);
    site.put("/grande.bin", body("/grande.bin", 1, 1 << 20), t0 + 100);

    vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    EXPECT_EQ(o.signal, 0);
    EXPECT_TRUE(contains(o.out, failed_line("/grande.bin"))) << o.out;
    int failed = occurrences(o.out, "===> ERROR al subir ");
    Verdict after = trusted_rows(site, on_disk(disk));
    EXPECT_EQ(after.wrong, 0) << after.why << o.out;
    for (const auto &[rel, stamp] : site.rows())
        EXPECT_NE(rel, "/grande.bin");

    // Room is made on the server and the big file shrinks: the next run
    // sends what failed.
    for (const auto &e : fs::recursive_directory_iterator(disk))
        if (e.is_regular_file() && !e.path().string().ends_with(".txt"))
            fs::remove(e.path());
    for (const std::string &rel : small)
        if (contains(o.out, failed_line(rel)))
            fs::remove(disk + rel);
    site.put("/grande.bin", body("/grande.bin", 2, 20000), t0 + 200);
    vt::Outcome next = site.run();
    EXPECT_EQ(next.status, 0) << vt::describe(next);
    EXPECT_EQ(occurrences(next.out, " subido con exito\n"), failed) << next.out;
    Verdict lvl = level(site, on_disk(disk));
    EXPECT_EQ(lvl.wrong, 0) << lvl.why << next.out;
    report(std::string("disk fills (") + GetParam().server + ")", 5, failed, after, lvl);
}

INSTANTIATE_TEST_SUITE_P(Servers, RealDiskFills, ::testing::Values(DiskCase{"pyftpdlib"}, DiskCase{"pure-ftpd"}),
                         [](const auto &info) { return std::string(info.param.server) == "pyftpdlib" ? "pyftpdlib" : "pureftpd"; });

struct DbStopCase {
    const char *name;
    bool files_are_new;  // else they were published and have changed
    int sig;
};

class DatabaseStops : public ::testing::TestWithParam<DbStopCase> {};

TEST_P(DatabaseStops, RunEndsWithTheReportAndRecordsNothingUnstored)
{
    const DbStopCase &c = GetParam();
    StoppableDb db;
    vt::PyFtpd ftp;
    ftp.make_dir("htdocs");
    Site site(db.link(), "dbstops");
    site.ftp(ftp);
    ASSERT_NO_FATAL_FAILURE(site.create_table());

    std::vector<std::string> files;
    for (int i = 0; i < 120; ++i)
        files.push_back("/p" + std::to_string(i) + ".html");
    if (!c.files_are_new) {
        for (size_t i = 0; i < files.size(); ++i)
            site.put(files[i], body(files[i], 1), t0 + static_cast<time_t>(i));
        vt::Outcome first = site.run();
        ASSERT_EQ(first.status, 0) << vt::describe(first);
    }
    for (size_t i = 0; i < files.size(); ++i)
        site.put(files[i], body(files[i], 2, 4000), t0 + 7200 + static_cast<time_t>(i));

    vt::Process run(site.spawn());
    ASSERT_TRUE(wait_for_count(run, " subido con exito\n", 10, 20s)) << run.out_so_far();
    run.signal(SIGSTOP);
    db.halt(c.sig);
    run.signal(SIGCONT);
    vt::Outcome o = run.wait();

    EXPECT_EQ(o.signal, 0) << vt::describe(o);
    EXPECT_EQ(o.status, 1) << vt::describe(o);
    EXPECT_FALSE(contains(o.out, "Terminado!!!")) << o.out;
    // The failed statement is the record of an upload that was just
    // reported: insert in the line form, update in the bare form.
    const std::string tail = o.out.substr(o.out.rfind(" subido con exito\n") + 18);
    ASSERT_FALSE(tail.empty()) << o.out;
    if (c.files_are_new) {
        // Rows are committed about once a second, so the statement that
        // meets the stopped server may be that commit.
        size_t q = tail.find("\nConsulta: INSERT INTO " + site.table() + " (Ruta, Nombre, Dia, Mes, Anio, Hora, "
                                                                         "Minuto, Segundo) VALUES ('/', 'p");
        if (q == std::string::npos)
            q = tail.find("\nConsulta: COMMIT\n");
        EXPECT_NE(q, std::string::npos) << tail;
        EXPECT_GT(q, 0u) << "the server's error text comes first\n" << tail;
        EXPECT_EQ(tail.back(), '\n');
        EXPECT_EQ(occurrences(tail, "\n"), 2) << tail;
    } else {
        EXPECT_FALSE(contains(tail, "Consulta")) << tail;
        EXPECT_FALSE(contains(tail, "\n")) << "the bare form has no line break\n" << tail;
    }
    int stored = occurrences(o.out, " subido con exito\n");

    db.start();
    Verdict after = trusted_rows(site, on_disk(ftp.path("htdocs")));
    EXPECT_EQ(after.wrong, 0) << after.why;
    // The failed statement may still have been carried out before the
    // server went (its answer lost): never more rows than uploads.
    EXPECT_LE(after.rows, c.files_are_new ? stored : static_cast<int>(files.size()));

    vt::Outcome next = site.run();
    EXPECT_EQ(next.status, 0) << vt::describe(next);
    Verdict lvl = level(site, on_disk(ftp.path("htdocs")));
    EXPECT_EQ(lvl.wrong, 0) << lvl.why;
    report(std::string("database stops (") + c.name + ")", static_cast<int>(files.size()),
           static_cast<int>(files.size()) - stored, after, lvl);
}

INSTANTIATE_TEST_SUITE_P(Ways, DatabaseStops,
                         ::testing::Values(DbStopCase{"crash_while_inserting", true, SIGKILL},
                                           DbStopCase{"shutdown_while_updating", false, SIGTERM}),
                         [](const auto &info) { return std::string(info.param.name); });

// Between the walk, which reads a directory and the status of its files at
// once, and the upload of each file, files are removed, made unreadable,
// replaced by a FIFO or a folder, or rewritten.
TEST(Faults, LocalFileChangesBetweenWalkAndUpload)
{
    vt::MariaDb &db = vt::shared_mariadb();
    vt::PyFtpd ftp;
    ftp.make_dir("htdocs");
    Site site(link_to(db), "local");
    site.ftp(ftp);
    ASSERT_NO_FATAL_FAILURE(site.create_table());
    // Root reads through mode 000; the run then goes as nobody.
    const bool as_nobody = vt::running_as_root();
    if (as_nobody) {
        site.run_as(vt::unprivileged());
        chmod(site.local("").c_str(), 0755);
    }

    std::vector<std::string> files;
    for (int i = 0; i < 80; ++i) {
        files.push_back("/l" + std::to_string(i) + ".css");
        site.put(files.back(), body(files.back(), 1, 30000), t0 + i);
    }
    vt::Process run(site.spawn());
    ASSERT_TRUE(run.wait_for_output("NUEVO ARCHIVO!!!  Bienvenido ", 20s)) << run.out_so_far();
    run.signal(SIGSTOP);
    const std::string seen = settled_output(run);

    std::vector<std::string> later;
    for (const std::string &rel : files)
        if (!contains(seen, " " + rel + "!\n"))
            later.push_back(rel);
    ASSERT_GE(later.size(), 5u) << seen;
    struct Victim {
        std::string rel, why;
    };
    std::vector<Victim> victims;
    const std::string gone = later[0], fifo = later[1], folder = later[2], rewritten = later[3], closed = later[4];
    unlink(site.local(gone).c_str());
    site.forget(gone);
    victims.push_back({gone, "No such file or directory"});
    unlink(site.local(fifo).c_str());
    ASSERT_EQ(mkfifo(site.local(fifo).c_str(), 0644), 0);
    victims.push_back({fifo, "No es un archivo regular"});
    unlink(site.local(folder).c_str());
    ASSERT_EQ(mkdir(site.local(folder).c_str(), 0755), 0);
    victims.push_back({folder, "No es un archivo regular"});
    if (as_nobody) {
        chmod(site.local(closed).c_str(), 0);
        victims.push_back({closed, "Permission denied"});
    }
    site.put(rewritten, body(rewritten, 2, 50000), t0 + 5000);
    run.signal(SIGCONT);
    vt::Outcome o = run.wait();

    EXPECT_EQ(o.signal, 0) << vt::describe(o);
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    for (const Victim &v : victims)
        EXPECT_TRUE(contains(o.out, "NUEVO ARCHIVO!!!  Bienvenido " + v.rel + "!\nError subiendo archivo /htdocs" +
                                        v.rel + " desde " + site.local(v.rel) + ":\n" + v.why + "\n" +
                                        failed_line(v.rel)))
            << v.rel << "\n" << o.out;
    EXPECT_TRUE(contains(o.out, ok_line(rewritten))) << o.out;
    const int failed = static_cast<int>(victims.size());
    EXPECT_EQ(occurrences(o.out, "===> ERROR al subir "), failed) << o.out;

    Verdict after = trusted_rows(site, on_disk(ftp.path("htdocs")));
    EXPECT_EQ(after.wrong, 0) << after.why;
    EXPECT_EQ(after.rows, static_cast<int>(files.size()) - failed);

    // Put right again: the next run sends the files that failed and the one
    // that was rewritten after its status was taken.
    chmod(site.local(closed).c_str(), 0644);
    unlink(site.local(fifo).c_str());
    rmdir(site.local(folder).c_str());
    site.put(fifo, body(fifo, 2), t0 + 6000);
    site.put(folder, body(folder, 2), t0 + 6001);
    vt::Outcome next = site.run();
    EXPECT_EQ(next.status, 0) << vt::describe(next);
    EXPECT_TRUE(contains(next.out, ok_line(rewritten))) << next.out;
    EXPECT_EQ(occurrences(next.out, " subido con exito\n"), failed) << next.out;  // less the one gone, plus rewritten
    Verdict lvl = level(site, on_disk(ftp.path("htdocs")));
    EXPECT_EQ(lvl.wrong, 0) << lvl.why;
    report("local files change after the walk", static_cast<int>(files.size()), failed, after, lvl);
}

// Holds a write lock on the catalogue table from another connection, so
// that the run's lookups wait while its FTP control connection sits idle.
class TableLock {
public:
    TableLock(const vt::MariaDb &db, const std::string &table) : m_(mysql_init(nullptr))
    {
        unsigned int proto = MYSQL_PROTOCOL_SOCKET;
        mysql_options(m_, MYSQL_OPT_PROTOCOL, &proto);
        if (!mysql_real_connect(m_, "localhost", "root", "", "vantor", 0, db.socket().c_str(), 0) ||
            mysql_query(m_, ("LOCK TABLES " + table + " WRITE").c_str()) != 0)
            throw std::runtime_error(std::string("lock: ") + mysql_error(m_));
    }
    ~TableLock() { mysql_close(m_); }
    void release() { mysql_query(m_, "UNLOCK TABLES"); }

private:
    MYSQL *m_;
};

struct IdleCase {
    const char *name;
    bool scripted;
};

class IdleConnection : public ::testing::TestWithParam<IdleCase> {};

TEST_P(IdleConnection, ClosedWhileUnchangedFilesAreCheckedThenReconnects)
{
    const IdleCase &c = GetParam();
    vt::MariaDb &db = vt::shared_mariadb();
    std::unique_ptr<vt::ScriptedFtp> scripted;
    std::unique_ptr<vt::PureFtpd> pure;
    Remote remote;
    std::chrono::milliseconds quiet;
    Site site(link_to(db), "idle");
    if (c.scripted) {
        scripted = std::make_unique<vt::ScriptedFtp>();
        site.ftp(*scripted);
        quiet = 2000ms;
    } else {
        vt::PureFtpd::Options o;
        o.idle_seconds = 2;
        pure = std::make_unique<vt::PureFtpd>(o);
        pure->make_dir("htdocs");
        site.ftp(*pure);
        remote = on_disk(pure->path("htdocs"));
        quiet = 5000ms;
    }
    ASSERT_NO_FATAL_FAILURE(site.create_table());
    std::vector<std::string> files;
    for (int i = 0; i < 60; ++i) {
        files.push_back("/quieto/q" + std::to_string(i) + ".txt");
        site.put(files.back(), body(files.back(), 1), t0 + i);
    }
    site.put("/cambia.txt", body("/cambia.txt", 1), t0);
    vt::Outcome first = site.run();
    ASSERT_EQ(first.status, 0) << vt::describe(first);

    site.put("/cambia.txt", body("/cambia.txt", 2, 9000), t0 + 99999);
    if (scripted)
        scripted->set_idle_timeout(quiet / 2);
    vt::Outcome o;
    {
        TableLock lock(db, site.table());
        vt::Process run(site.spawn());
        ASSERT_TRUE(run.wait_for_output("Login correcto\n", 20s)) << run.out_so_far();
        std::this_thread::sleep_for(quiet);
        lock.release();
        o = run.wait();
    }
    EXPECT_EQ(o.status, 0) << vt::describe(o);
    EXPECT_EQ(o.out, "Vantor v0.9.1\nConectamos a 127.0.0.1:" + site.config().get("ftpport") +
                         "\nConectado!!!\nLogin correcto\n" + ok_line("/cambia.txt") + "Terminado!!!\n");
    if (scripted) {
        // First run, the connection that timed out, the one that replaced it.
        auto s = scripted->sessions();
        ASSERT_EQ(s.size(), 3u);
        EXPECT_EQ(s[2].at(0), "USER vantor");
        EXPECT_TRUE(std::any_of(s[2].begin(), s[2].end(),
                                [](const std::string &l) { return l == "STOR /htdocs/cambia.txt"; }));
        remote = accepted_by(*scripted);
    }
    Verdict lvl = level(site, remote);
    EXPECT_EQ(lvl.wrong, 0) << lvl.why;
    report(std::string("idle control connection closed (") + c.name + ")", static_cast<int>(files.size()) + 1, 0,
           Verdict{}, lvl);
}

INSTANTIATE_TEST_SUITE_P(Servers, IdleConnection,
                         ::testing::Values(IdleCase{"scripted", true}, IdleCase{"pureftpd", false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
