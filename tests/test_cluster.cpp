// The catalogue on a two-node Galera cluster (started once, for this
// program only): runs through different nodes exclude each other, a killed
// holder's lease keeps the table until it expires, a lost lease stops the
// run, a lease released through one node is free at once through the other,
// and lookups through one node see the rows written through the other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <thread>

#include "catalogue/catalogue.h"
#include "support/ftp_daemons.h"
#include "support/galera.h"
#include "support/lock.h"
#include "support/scripted_ftp.h"
#include "support/site.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;
using vt::Reply;

const time_t when = pub::at(2024, 3, 1, 10, 0, 0);

class Cluster : public ::testing::Test {
protected:
    static void SetUpTestSuite() { db = std::make_unique<vt::GaleraCluster>(); }
    static void TearDownTestSuite() { db.reset(); }

    // A site reached through the node; with `same`, on that site's table
    // and local tree.
    std::unique_ptr<pub::Site> site(int node, const pub::Site *same = nullptr)
    {
        vt::Config c;
        c.set("dbport", std::to_string(db->port(node))).set("dbuser", db->user()).set("dbpass", db->password());
        auto s = std::make_unique<pub::Site>("nodo", c);
        s->ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
        if (same)
            s->config().set("dbtablename", same->table()).set("localroot", same->local());
        else
            s->create_table();
        return s;
    }

    std::string published(const pub::Site &s)
    {
        std::string out = pub::header(ftp.port());
        for (const pub::Entry &e : pub::listing(s.local()))
            out += pub::new_file(e.path());
        return out + "Terminado!!!\n";
    }

    vt::Rows rows(const pub::Site &s) { return db->query(2, "SELECT Nombre FROM " + s.table() + " ORDER BY 1"); }

    static inline std::unique_ptr<vt::GaleraCluster> db;
    vt::ScriptedFtp ftp;
};

// Two runs start at once through the two nodes, each with its own tree:
// exactly one publishes, the other names it and ends with status 3 without
// reaching the FTP server, which holds the winner's files only. Several
// rounds, so that the take meets both a replicated row and a conflict.
TEST_F(Cluster, TwoRunsThroughTwoNodesAtOnceOnlyOnePublishes)
{
    Reply slow = Reply::transfer();
    slow.delay = 400ms;  // the winner still holds the lock when the other asks
    ftp.set_default("STOR", slow);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const size_t before = ftp.stored().size();
        const int connections = ftp.connections();
        auto one = site(1), two = site(2);
        two->config().set("dbtablename", one->table());
        one->put("/a.txt", "de uno", when);
        one->put("/comun.txt", "uno", when);
        two->put("/b.txt", "de dos", when);
        two->put("/comun.txt", "dos", when);

        vt::Process p1(one->spawn()), p2(two->spawn());
        const vt::Outcome o1 = p1.wait(), o2 = p2.wait();
        ASSERT_NE(o1.status == 0, o2.status == 0) << vt::describe(o1) << vt::describe(o2);
        const bool first = o1.status == 0;
        const pub::Site &winner = first ? *one : *two;
        pub::expect_run(first ? o1 : o2, published(winner));
        vt::expect_busy_by(first ? o2 : o1, one->table(), (first ? p1 : p2).pid(), pub::zone);

        EXPECT_EQ(ftp.connections(), connections + 1);
        std::map<std::string, std::string> stored, expected;
        for (size_t i = before; i < ftp.stored().size(); ++i)
            stored[ftp.stored()[i].path] = ftp.stored()[i].bytes;
        for (const pub::Entry &e : pub::listing(winner.local()))
            expected["/htdocs" + e.path()] = vt::read_file(winner.local(e.path()));
        EXPECT_EQ(stored, expected);
        EXPECT_EQ(rows(*one), (vt::Rows{{first ? "a.txt" : "b.txt"}, {"comun.txt"}}));
    }
}

// A holder killed in an upload through node 1 leaves its lease, renewed
// while it ran: a run through node 2 is refused naming it, and publishes
// once the lease has expired.
TEST_F(Cluster, AKilledHoldersLeaseKeepsTheTableUntilItExpires)
{
    ftp.queue("STOR", "/htdocs/a.txt", Reply::transfer_then_stall());
    auto one = site(1);
    auto two = site(2, one.get());
    one->put("/a.txt", "a", when);

    vt::Process holder(one->spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs/a.txt", 10s));
    std::this_thread::sleep_for(6500ms);  // past the first renewal
    const std::string left = "SELECT TIMESTAMPDIFF(MICROSECOND, UTC_TIMESTAMP(6), Expira) FROM vantor_bloqueo";
    EXPECT_GT(std::stoll(*db->query(2, left).at(0).at(0)), 25'000'000) << "not renewed";
    holder.signal(SIGKILL);
    holder.wait();

    vt::expect_busy_by(two->run(), one->table(), holder.pid(), pub::zone);
    EXPECT_EQ(ftp.connections(), 1);
    db->query(1, "UPDATE vantor_bloqueo SET Expira = UTC_TIMESTAMP(6) - INTERVAL 1 SECOND");
    pub::expect_run(two->run(), published(*one));
    EXPECT_EQ(db->query(1, left), vt::Rows{});
}

// A run whose lease another run took (here, by hand) stops before its next
// row or upload, and in the middle of the one under way: the file in flight
// (the server slow to take it) gets no data, no line and no row, and no
// later file is sent; the same when the lease is lost during the last
// file. A take whose read back finds another run's token (a trigger
// rewrites it) is a refusal.
TEST_F(Cluster, ALostLeaseStopsTheRun)
{
    for (size_t slow : {0, 1}) {
        SCOPED_TRACE(slow);
        auto one = site(1);
        one->put("/a.txt", "a", when);
        one->put("/b.txt", "b", when);
        const std::vector<pub::Entry> order = pub::listing(one->local());
        Reply stall = Reply::transfer();
        stall.delay = 7s;  // past a renewal
        ftp.queue("STOR", "/htdocs" + order[slow].path(), stall);
        // Files that got data: the slow one's STOR may still end empty.
        auto sent = [&] {
            const std::vector<vt::StoredFile> all = ftp.stored();
            return std::count_if(all.begin(), all.end(), [](const vt::StoredFile &f) { return !f.bytes.empty(); });
        };
        const auto before = sent();

        vt::Process run(one->spawn());
        ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs" + order[slow].path(), 10s));
        // Once node 2 has applied the run's lease.
        db->query(2, "SET STATEMENT wsrep_sync_wait = 2 FOR UPDATE vantor_bloqueo SET Titular = REPEAT('0', 32)");
        std::string out = pub::header(ftp.port());
        for (size_t i = 0; i < slow; ++i)
            out += pub::new_file(order[i].path());
        pub::expect_run(run.wait(),
                        out + "NUEVO ARCHIVO!!!  Bienvenido " + order[slow].path() +
                            "!\nSe perdio el bloqueo de la tabla " + one->table() +
                            " de la base de datos vantor: la ejecucion se detiene\n",
                        3);
        EXPECT_EQ(sent(), before + static_cast<long>(slow));
        EXPECT_EQ(ftp.sessions().back().back(), "STOR /htdocs" + order[slow].path());
        EXPECT_EQ(rows(*one), vt::Rows{});
        db->query(1, "DELETE FROM vantor_bloqueo");
    }

    auto one = site(1);
    db->query(1, "CREATE TRIGGER otro_titular BEFORE INSERT ON vantor_bloqueo FOR EACH ROW "
                 "SET NEW.Titular = REPEAT('0', 32)");
    vt::Process refused(one->spawn());
    vt::expect_busy_by(refused.wait(), one->table(), refused.pid(), pub::zone);
    db->query(1, "DROP TRIGGER otro_titular");
    db->query(1, "DELETE FROM vantor_bloqueo");
}

// A clear through node 2 and at once a rebuild through node 1, and the
// other way round: each finds the lease the other released gone, however
// much of the cluster's writes the node has still to apply, and runs.
TEST_F(Cluster, ARunRightAfterAClearThroughTheOtherNodeRuns)
{
    auto one = site(1);
    auto two = site(2, one.get());
    for (int i = 0; i < 3000; ++i)
        one->put("/d" + std::to_string(i % 30) + "/f" + std::to_string(i), "", when);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        pub::expect_run(one->run({"-r"}), "Terminado!!!\n");
        pub::expect_run(two->run({"-d"}), "Terminado!!!\n");
    }
    EXPECT_EQ(ftp.connections(), 0);
}

// A holder frozen in its transfers (a suspended machine) past its lease,
// here shortened to 6 s: a run through node 2 publishes other bytes of the
// same sizes; the first, woken, sends nothing more and ends with status 3,
// and every server file stays as the second run stored it: with atomic
// "yes" byte for byte, with "no" but for at most one chunk.
TEST_F(Cluster, AFrozenHolderWokenPastItsLeaseChangesNothing)
{
    vt::PyFtpd real;
    const std::pair<std::string, std::string> shorter{"VANTOR_PLAZO_ARRIENDO", "6"};
    for (const char *atomic : {"no", "yes"}) {
        SCOPED_TRACE(atomic);
        auto one = site(1), two = site(2);
        for (auto *s : {one.get(), two.get()}) {
            s->ftp(real.host(), real.port(), real.user(), real.pass());
            s->config().set("dbtablename", one->table()).set("remoteroot", std::string("/") + atomic);
            s->config().set("atomic", atomic).set("ftpconnections", "2");
        }
        for (unsigned i = 0; i < 4; ++i) {
            one->put("/f" + std::to_string(i), vt::bytes(16 << 20, i), when);
            two->put("/f" + std::to_string(i), vt::bytes(16 << 20, i + 10), when + 60);
        }
        vt::Spawn first = one->spawn(), second = two->spawn();
        first.env.push_back(shorter);
        second.env.push_back(shorter);

        vt::Process frozen(first);
        for (int k = 0; k < 1000 && !vt::contains(real.log(), "STOR /" + std::string(atomic)); ++k)
            std::this_thread::sleep_for(5ms);
        frozen.signal(SIGSTOP);
        std::this_thread::sleep_for(7s);
        const vt::Outcome o2 = vt::run(second);
        EXPECT_EQ(o2.status, 0) << vt::describe(o2);
        frozen.signal(SIGCONT);
        const vt::Outcome o1 = frozen.wait();
        EXPECT_EQ(o1.status, 3) << vt::describe(o1);
        EXPECT_TRUE(o1.out.ends_with("Se perdio el bloqueo de la tabla " + one->table() +
                                     " de la base de datos vantor: la ejecucion se detiene\n"))
            << o1.out;
        std::this_thread::sleep_for(500ms);  // what the server still had to write
        for (const pub::Entry &e : pub::listing(two->local())) {
            const std::string held = real.path(atomic + e.path()), want = vt::read_file(two->local(e.path()));
            const std::string got = access(held.c_str(), F_OK) == 0 ? vt::read_file(held) : "";
            ASSERT_EQ(got.size(), want.size()) << e.path();
            // With atomic "no", the one chunk (64 KiB) the library already
            // held when the run froze may still reach the file, and so may
            // what the server had received and not yet written (pyftpdlib
            // writes through a buffer of a few KiB when the transfer ends).
            size_t differ = 0;
            for (size_t i = 0; i < got.size(); ++i)
                differ += got[i] != want[i];
            EXPECT_LE(differ, atomic == std::string("no") ? 65536u + 16384u : 0u) << e.path();
        }
        EXPECT_EQ(rows(*one).size(), 4u);
    }
}

// A run through node 2 right after one through node 1 finds its rows and
// uploads nothing. Without the lease table a cluster node refuses to run.
TEST_F(Cluster, LookupsThroughOneNodeSeeRowsWrittenThroughTheOther)
{
    auto one = site(1);
    auto two = site(2, one.get());
    for (int i = 0; i < 40; ++i)
        one->put("/d" + std::to_string(i % 4) + "/f" + std::to_string(i), std::to_string(i), when);
    ASSERT_EQ(one->run().status, 0);
    pub::expect_run(two->run(), pub::header(ftp.port()) + "Terminado!!!\n");
    EXPECT_EQ(ftp.stored().size(), 40u);

    db->query(1, "DROP TABLE vantor_bloqueo");
    pub::expect_run(two->run(), "Falta la tabla vantor_bloqueo que el bloqueo necesita en un cluster Galera: "
                                "creela con la sentencia del README\n", 1);
    db->query(1, sentencia_tabla_bloqueo());
}

}  // namespace
