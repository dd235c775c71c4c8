// The catalogue far away: lookups travel in batches across folders and rows
// without waiting for their answers, end to end with the real binary, the
// private MariaDB (directly or through a 20 ms relay) and the scripted FTP
// server. What a run writes and records must not depend on the distance,
// and a failed statement in the middle of a batch is reported at its
// file's turn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/relay.h"
#include "support/scripted_ftp.h"
#include "support/site.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;
using pub::Entry;

const time_t t0 = pub::at(2024, 3, 4, 5, 6, 7);

struct Distance : testing::Test {
    Distance() : site("lejos") { site.ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass()); }
    void SetUp() override { site.create_table(); }

    // Five files in each of three folders.
    void tree()
    {
        for (const char *dir : {"/a/", "/b/", "/c/d/"})
            for (int i = 0; i < 5; ++i)
                site.put(std::string(dir) + std::to_string(i) + ".txt", dir + std::to_string(i), t0 + i);
    }
    void sql(const std::string &s) { vt::shared_mariadb().query(s); }

    vt::ScriptedFtp ftp;
    pub::Site site;
};

// A first publish over a tree with a walk error, a name the catalogue
// cannot hold and a link back up its own path: the same lines, status and
// rows with the catalogue 20 ms away as near.
TEST_F(Distance, AFarRunWritesAndRecordsWhatANearRunDoes)
{
    tree();
    ASSERT_EQ(symlink("ninguna-parte", site.local("/a/roto").c_str()), 0);
    site.put("/b/malo ", "x", t0);
    ASSERT_EQ(symlink("..", site.local("/c/arriba").c_str()), 0);

    const vt::Outcome near = site.run();
    EXPECT_EQ(near.status, 2) << vt::describe(near);
    EXPECT_TRUE(vt::contains(near.out, "Se omite /c/arriba: enlace a un directorio de su propia ruta\n")) << near.out;
    const pub::Rows rows = site.rows();
    ASSERT_EQ(rows.size(), 15u);

    pub::expect_run(site.run({"-d"}), "Terminado!!!\n");
    vt::Relay far(vt::shared_mariadb().port(), 20);
    site.config().set("dbserver", far.host());
    const vt::Outcome lejos = site.run();
    EXPECT_EQ(lejos.status, near.status);
    EXPECT_EQ(lejos.out, near.out);
    EXPECT_EQ(lejos.err, near.err);
    EXPECT_EQ(site.rows(), rows);
}

// A lookup refused in the middle of its batch (a view over the table whose
// function refuses one row) and an insert refused in the middle of a batch
// of rows (a trigger): the statement of that file is reported after exactly
// the lines of the files before it, and no later file's line or row
// follows.
TEST_F(Distance, AStatementRefusedInTheMiddleOfABatch)
{
    tree();
    const std::vector<Entry> order = pub::listing(site.local());
    const Entry bad{"/b/", "2.txt"};
    const std::string t = site.table();
    const std::string refuse = "IF r = '/b/' AND n = '2.txt' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'Fila "
                               "rechazada'; END IF;";
    struct Case {
        const char *what;
        bool lookup;
    } cases[] = {{"lookup", true}, {"insert", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sql("DROP TABLE IF EXISTS " + t);
        site.create_table();
        std::string out = pub::header(ftp.port());
        std::string statement;
        if (c.lookup) {
            // Published; the files of /a/ change, so that rows go out before
            // the refused lookup.
            pub::expect_run(site.run({"-r"}), "Terminado!!!\n");
            for (int i = 0; i < 5; ++i)
                site.put("/a/" + std::to_string(i) + ".txt", "nuevo", t0 + 100 + i);
            sql("RENAME TABLE " + t + " TO " + t + "_real");
            sql("CREATE OR REPLACE FUNCTION refusa(r CHAR(255), n CHAR(255)) RETURNS INT DETERMINISTIC BEGIN " +
                refuse + " RETURN 1; END");
            sql("CREATE VIEW " + t + " AS SELECT * FROM " + t + "_real WHERE refusa(Ruta, Nombre)");
            statement = "SELECT Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + t + " WHERE Ruta='/b/' AND Nombre='2.txt'";
            for (const Entry &e : order) {
                if (e.path() == bad.path())
                    break;
                if (e.ruta == "/a/")
                    out += "===> " + e.path() + " subido con exito\n";
            }
        } else {
            sql("CREATE OR REPLACE TRIGGER " + t + "_refusa BEFORE INSERT ON " + t +
                " FOR EACH ROW BEGIN DECLARE r CHAR(255) DEFAULT NEW.Ruta; DECLARE n CHAR(255) DEFAULT NEW.Nombre; " +
                refuse + " END");
            std::vector<std::string> v = pub::row(bad, t0 + 2);
            statement = "INSERT INTO " + t + " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('/b/', "
                        "'2.txt', " + v[2] + ", " + v[3] + ", " + v[4] + ", " + v[5] + ", " + v[6] + ", " + v[7] + ")";
            for (const Entry &e : order) {
                out += pub::new_file(e.path());
                if (e.path() == bad.path())
                    break;
            }
        }
        pub::expect_run(site.run(), out + "Fila rechazada\nConsulta: " + statement + "\n", 1);
        if (c.lookup) {
            sql("DROP VIEW " + t);
            sql("RENAME TABLE " + t + "_real TO " + t);
        }

        // Rows: the files before the refused one as they were sent, the
        // others as they were.
        bool before = true;
        const pub::Rows rows = site.rows();
        for (const Entry &e : order) {
            before = before && e.path() != bad.path();
            auto has = [&](time_t when) { return std::find(rows.begin(), rows.end(), pub::row(e, when)) != rows.end(); };
            const time_t sent = e.ruta == "/a/" && c.lookup ? t0 + 100 + std::stoi(e.nombre) : t0 + std::stoi(e.nombre);
            if (c.lookup) {
                EXPECT_TRUE(has(before ? sent : t0 + std::stoi(e.nombre))) << e.path();
            } else if (!before) {
                EXPECT_FALSE(has(sent)) << e.path();
            }
        }
        sql("DROP TRIGGER IF EXISTS " + t + "_refusa");
    }
}

// Interrupted while the catalogue is far: every row left stands for a file
// the server confirmed, and the rows of the transactions committed before
// the interrupt stay.
TEST_F(Distance, AnInterruptedFarRunKeepsOnlyRowsOfStoredFiles)
{
    for (int i = 0; i < 40; ++i)
        site.put("/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt", "x" + std::to_string(i), t0 + i);
    vt::Reply slow = vt::Reply::transfer();
    slow.delay = 60ms;
    ftp.set_default("STOR", slow);
    vt::Relay far(vt::shared_mariadb().port(), 20);
    site.config().set("dbserver", far.host());

    vt::Process run(site.spawn());
    for (int k = 0; k < 300 && vt::occurrences(run.out_so_far(), " subido con exito\n") < 25; ++k)
        std::this_thread::sleep_for(10ms);
    run.signal(SIGINT);
    const vt::Outcome o = run.wait();
    EXPECT_EQ(o.status, 130) << vt::describe(o);

    std::vector<std::string> stored;
    for (const vt::StoredFile &f : ftp.stored())
        if (f.complete && f.final_reply.rfind("226", 0) == 0)
            stored.push_back(f.path);
    const pub::Rows rows = site.rows();
    EXPECT_FALSE(rows.empty()) << o.out;
    for (const auto &r : rows)
        EXPECT_NE(std::find(stored.begin(), stored.end(), "/htdocs" + r[0] + r[1]), stored.end()) << r[0] + r[1];
}

// More files than one batch of lookups carries, the catalogue far: over a
// catalogue of 1,100 rows, the run sends exactly the file of the second
// batch whose row is gone and the last two files met, whose rows go in the
// run's last batch of rows; a run that ends with status 0 has every row.
TEST_F(Distance, MoreFilesThanOneBatchOfLookups)
{
    for (int i = 0; i < 1102; ++i)
        site.put("/d" + std::to_string(i % 11) + "/f" + std::to_string(i), "x", t0);
    pub::expect_run(site.run({"-r"}), "Terminado!!!\n");
    const std::vector<Entry> order = pub::listing(site.local());
    std::string out = pub::header(ftp.port());
    for (const Entry &e : {order[1050], order[1100], order[1101]}) {
        sql("DELETE FROM " + site.table() + " WHERE Ruta = '" + e.ruta + "' AND Nombre = '" + e.nombre + "'");
        out += pub::new_file(e.path());
    }

    // Far enough that the last rows are queued while the one before them
    // travels.
    vt::Relay far(vt::shared_mariadb().port(), 200);
    site.config().set("dbserver", far.host());
    pub::expect_run(site.run(), out + "Terminado!!!\n");
    EXPECT_EQ(ftp.stored().size(), 3u);
    EXPECT_EQ(site.rows().size(), 1102u);
}

}  // namespace
