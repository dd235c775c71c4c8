// The catalogue on a two-node Galera cluster: runs through different nodes
// exclude each other, a killed holder's lease keeps the table until it
// expires, a lost lease stops the run, and lookups through one node see
// the rows written through the other.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "catalogue/catalogue.h"
#include "support/galera.h"
#include "support/lock.h"
#include "support/scripted_ftp.h"
#include "support/site.h"

namespace {

using namespace std::chrono_literals;
using vt::Reply;

const std::string done = "Terminado!!!\n";
const time_t when = pub::at(2024, 3, 1, 10, 0, 0);

class Cluster : public ::testing::Test {
protected:
    static void SetUpTestSuite() { cluster_ = std::make_unique<vt::GaleraCluster>(); }
    static void TearDownTestSuite() { cluster_.reset(); }

    // A site whose catalogue is reached through the node, publishing to ftp;
    // with `same`, sharing that site's table.
    static std::unique_ptr<pub::Site> site(int node, const vt::ScriptedFtp &ftp, const pub::Site *same = nullptr)
    {
        vt::Config c;
        c.set("dbserver", cluster_->host())
            .set("dbport", std::to_string(cluster_->port(node)))
            .set("dbuser", cluster_->user())
            .set("dbpass", cluster_->password())
            .set("dbname", cluster_->database());
        auto s = std::make_unique<pub::Site>("nodo" + std::to_string(node), c);
        s->ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
        if (same)
            s->config().set("dbtablename", same->table());
        else
            s->create_table();
        return s;
    }

    static std::string published(const pub::Site &s, int port)
    {
        std::string out = pub::header(port);
        for (const pub::Entry &e : pub::listing(s.local()))
            out += pub::new_file(e.path());
        return out + done;
    }

    static vt::Rows rows(const pub::Site &s)
    {
        return cluster_->query(2, "SELECT Ruta, Nombre FROM " + s.table() + " ORDER BY Ruta, Nombre");
    }

    static std::unique_ptr<vt::GaleraCluster> cluster_;
};

std::unique_ptr<vt::GaleraCluster> Cluster::cluster_;

// Two runs start at once through the two nodes, each with its own tree:
// exactly one publishes, the other names it and ends with status 3 without
// touching the FTP server, and the server holds the winner's files only.
// Several rounds, so that the take meets both a row already replicated and
// a certification conflict.
TEST_F(Cluster, TwoRunsThroughTwoNodesAtOnceOnlyOnePublishes)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        vt::ScriptedFtp ftp;
        Reply slow = Reply::transfer();
        slow.delay = 400ms;  // the winner still holds the lock when the other asks
        ftp.set_default("STOR", slow);
        auto one = site(1, ftp);
        auto two = site(2, ftp, one.get());
        one->put("/a.txt", "de uno", when);
        one->put("/comun.txt", "uno", when);
        two->put("/b.txt", "de dos", when);
        two->put("/comun.txt", "dos", when);

        vt::Process p1(one->spawn()), p2(two->spawn());
        const vt::Outcome o1 = p1.wait(), o2 = p2.wait();
        ASSERT_TRUE((o1.status == 0) != (o2.status == 0)) << vt::describe(o1) << vt::describe(o2);
        const bool first = o1.status == 0;
        const pub::Site &winner = first ? *one : *two;
        pub::expect_run(first ? o1 : o2, published(winner, ftp.port()));
        vt::expect_busy_by(first ? o2 : o1, one->table(), first ? p1.pid() : p2.pid(), pub::zone);

        EXPECT_EQ(ftp.connections(), 1);
        std::map<std::string, std::string> stored, expected;
        for (const vt::StoredFile &f : ftp.stored())
            stored[f.path] = f.bytes;
        for (const pub::Entry &e : pub::listing(winner.local()))
            expected["/htdocs" + e.path()] = vt::read_file(winner.local(e.path()));
        EXPECT_EQ(stored, expected);
        EXPECT_EQ(rows(*one), first ? (vt::Rows{{"/", "a.txt"}, {"/", "comun.txt"}})
                                    : (vt::Rows{{"/", "b.txt"}, {"/", "comun.txt"}}));
    }
}

// A holder killed in the middle of an upload through node 1 leaves its
// lease, renewed while it ran: a run through node 2 is refused and names
// it; once the lease has expired that run publishes.
TEST_F(Cluster, AKilledHoldersLeaseKeepsTheTableUntilItExpires)
{
    vt::ScriptedFtp ftp;
    ftp.queue("STOR", "/htdocs/a.txt", Reply::transfer_then_stall());
    auto one = site(1, ftp);
    auto two = site(2, ftp, one.get());
    two->config().set("localroot", one->local());
    one->put("/a.txt", "a", when);

    vt::Process holder(one->spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs/a.txt", 10s));
    const std::string left = "SELECT TIMESTAMPDIFF(MICROSECOND, UTC_TIMESTAMP(6), Expira) FROM vantor_bloqueo "
                             "WHERE Nombre = '" + nombre_bloqueo("vantor", one->table()) + "'";
    // Past the first renewal: more than 25 s left means it was renewed.
    std::this_thread::sleep_for(6500ms);
    EXPECT_GT(std::stoll(*cluster_->query(2, left).at(0).at(0)), 25'000'000) << "not renewed";
    holder.signal(SIGKILL);
    EXPECT_EQ(holder.wait().signal, SIGKILL);

    vt::expect_busy_by(two->run(), one->table(), holder.pid(), pub::zone);
    EXPECT_EQ(ftp.connections(), 1);
    cluster_->query(1, "UPDATE vantor_bloqueo SET Expira = UTC_TIMESTAMP(6) - INTERVAL 1 SECOND");
    pub::expect_run(two->run(), published(*one, ftp.port()));
    EXPECT_EQ(cluster_->query(1, left), vt::Rows{});
}

// A run whose lease another run took over (here, by hand) stops before its
// next row or upload: the file being uploaded is reported, its row is not
// written, and the next file is not sent.
TEST_F(Cluster, ALostLeaseStopsTheRun)
{
    vt::ScriptedFtp ftp;
    auto one = site(1, ftp);
    one->put("/a.txt", "a", when);
    one->put("/b.txt", "b", when);
    const std::vector<pub::Entry> order = pub::listing(one->local());
    Reply slow = Reply::transfer();
    slow.delay = 7s;  // past a renewal
    ftp.queue("STOR", "/htdocs" + order[0].path(), slow);

    vt::Process run(one->spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs" + order[0].path(), 10s));
    cluster_->query(2, "UPDATE vantor_bloqueo SET Titular = REPEAT('0', 32)");
    pub::expect_run(run.wait(),
                    pub::header(ftp.port()) + pub::new_file(order[0].path()) + "Se perdio el bloqueo de la tabla " +
                        one->table() + " de la base de datos vantor: la ejecucion se detiene\n",
                    3);
    EXPECT_EQ(ftp.stored().size(), 1u);
    EXPECT_EQ(rows(*one), vt::Rows{});
    cluster_->query(1, "DELETE FROM vantor_bloqueo");
}

// Rows written through node 1 are seen by the lookups of a run through
// node 2 that starts right after: it uploads nothing. Without the lease
// table a cluster node refuses to run, pointing at the README.
TEST_F(Cluster, LookupsThroughOneNodeSeeRowsWrittenThroughTheOther)
{
    vt::ScriptedFtp ftp;
    auto one = site(1, ftp);
    auto two = site(2, ftp, one.get());
    two->config().set("localroot", one->local());
    for (int i = 0; i < 40; ++i)
        one->put("/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt", std::to_string(i), when);

    vt::Outcome first = one->run();
    ASSERT_EQ(first.status, 0) << vt::describe(first);
    pub::expect_run(two->run(), pub::header(ftp.port()) + done);
    EXPECT_EQ(ftp.stored().size(), 40u);

    cluster_->query(1, "DROP TABLE vantor_bloqueo");
    pub::expect_run(two->run(),
                    "Falta la tabla vantor_bloqueo que el bloqueo necesita en un cluster Galera: creela con la "
                    "sentencia del README\n",
                    1);
    cluster_->query(1, sentencia_tabla_bloqueo());
}

}  // namespace
