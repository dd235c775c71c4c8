// Everyday use, end to end with the real binary, the private MariaDB and the
// scripted FTP server: the dry run, exclusions, the exit status of a run
// that left something unpublished, the run lock, the status line on a
// terminal; and two guarantees of the update run that only a failing
// lookup and a long run show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/catalogue.h"
#include "support/lock.h"
#include "support/scripted_site.h"
#include "support/text.h"


namespace {

using vt::contains;

using namespace std::chrono_literals;
using pub::Entry;
using pub::Site;
using vt::Reply;

const std::string done = "Terminado!!!\n";
const std::string stat_error = "   Error al hacer el stat: : No such file or directory\n";

// Makes an SQLite file with the given statements.
void sqlite_query_new(const std::string &file, const std::string &sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// A site on the scripted server, its table created.
struct Everyday : pub::ScriptedSite {
    explicit Everyday(const std::string &tag = "diario") : ScriptedSite(tag) {}

    // The exclude file, beside the local tree.
    std::string exclude_file(const std::string &text)
    {
        std::string p = site.local() + "/../excluir.txt";
        vt::write_file(p, text);
        site.config().set("excludefile", p);
        return p;
    }
    void insert_row(const std::string &values)
    {
        vt::shared_mariadb().query("INSERT INTO " + site.table() + " VALUES (" + values + ")");
    }

    const time_t when = pub::at(2022, 6, 7, 8, 9, 10);
};

// ---------------------------------------------------------------- dry run

// The dry run decides each file as the update run does and lists it, in
// walk order, with the walk's own lines; it opens no FTP connection, writes
// no row, and the update run that follows sends exactly what it listed.
TEST_F(Everyday, DryRunListsWhatTheUpdateWouldSendAndTouchesNothing)
{
    site.put("/nuevo.txt", "n", when);
    site.put("/cambia.txt", "c", when);
    site.put("/igual.txt", "i", when);
    site.put("/sub/nulo.txt", "0", when);
    site.put("/sub/otro.txt", "o", when);
    site.put("/fin ", "blanco", when);
    ASSERT_EQ(symlink("no-existe", site.local("/roto").c_str()), 0);
    insert_row("'/', 'cambia.txt', 7, 6, 2022, 8, 9, 11");
    insert_row("'/', 'igual.txt', 7, 6, 2022, 8, 9, 10");
    insert_row("'/sub/', 'nulo.txt', NULL, 6, 2022, 8, 9, 10");
    const pub::Rows before = site.rows();

    std::string out, err;
    std::set<std::string> listed;
    for (const Entry &e : pub::listing(site.local())) {
        const std::string p = e.path();
        if (p == "/roto")
            err += stat_error;
        else if (p == "/fin ")
            out += "Se omite /fin : el nombre termina en blanco, que el catalogo no conserva\n";
        else if (p == "/cambia.txt" || p == "/sub/nulo.txt")
            out += "Cambiado: " + p + "\n", listed.insert("/htdocs" + p);
        else if (p != "/igual.txt")
            out += "Nuevo: " + p + "\n", listed.insert("/htdocs" + p);
    }
    for (const char *opt : {"-l", "-list", "-L", "-List"}) {
        SCOPED_TRACE(opt);
        vt::Outcome o = site.run({opt});
        EXPECT_EQ(o.out, out + done) << vt::describe(o);
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(o.status, 0);
    }
    EXPECT_EQ(ftp.connections(), 0);
    EXPECT_EQ(site.rows(), before);

    vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    std::set<std::string> sent;
    for (const vt::StoredFile &f : ftp.stored())
        sent.insert(f.path);
    EXPECT_EQ(sent, listed);

    // Now only the walk's own lines remain.
    vt::Outcome again = site.run({"-l"});
    EXPECT_EQ(again.out, "Se omite /fin : el nombre termina en blanco, que el catalogo no conserva\n" + done);
    EXPECT_EQ(again.status, 0);
}

// ------------------------------------------------------------ exclusions

// The patterns of the README's list leave the same entries out of the
// update run, the rebuild and the dry run. An excluded folder is not even
// entered: the broken link and the name the catalogue cannot hold inside
// .git would otherwise be reported.
TEST_F(Everyday, ExcludedEntriesAreLeftOutOfEveryWalk)
{
    for (const char *f : {"/index.html", "/.git/config", "/.git/objects/ab/cd", "/.git/malo ", "/img/logo.png",
                          "/img/logo.png~", "/img/.logo.png.swp", "/private/secreto.txt", "/sub/private/ok.txt",
                          "/.env", "/conf/.env", "/conf/app.env", "/docs/.git", "/.svn/entries", "/.DS_Store",
                          "/notas.txt~"})
        site.put(f, f, when);
    ASSERT_EQ(symlink("no-existe", site.local("/.git/roto").c_str()), 0);
    const std::string patterns = "# Lo que no se publica\n.git/\n.svn/\n*.swp\n*~\n\n.DS_Store\n.env\n/private/\n";
    exclude_file(patterns);
    const std::set<std::string> kept = {"/index.html", "/img/logo.png", "/sub/private/ok.txt", "/conf/app.env",
                                        "/docs/.git"};
    std::vector<Entry> order;
    pub::Rows rows;
    for (const Entry &e : pub::listing(site.local()))
        if (kept.count(e.path()))
            order.push_back(e), rows.push_back(pub::row(e, when));

    pub::expect_run(site.run({"-r"}), done);
    EXPECT_EQ(site.rows(), pub::sorted(rows));

    pub::expect_run(site.run({"-d"}), done);
    std::string listed, published;
    for (const Entry &e : order) {
        listed += "Nuevo: " + e.path() + "\n";
        published += pub::new_file(e.path());
    }
    pub::expect_run(site.run({"-l"}), listed + done);
    pub::expect_run(site.run(), header() + published + done);
    EXPECT_EQ(site.rows(), pub::sorted(rows));
    EXPECT_EQ(ftp.stored().size(), kept.size());

    // Rows of files that become excluded stay; nothing is sent for them.
    exclude_file(patterns + "*.html\n");
    site.put("/index.html", "nueva", when + 60);
    pub::expect_run(site.run(), header() + done);
    EXPECT_EQ(site.rows(), pub::sorted(rows));
}

// An exclude file that cannot be read, or a line longer than any path,
// stops every mode before the database is touched.
TEST_F(Everyday, AnUnreadableExcludeFileStopsTheRun)
{
    site.put("/a.txt", "a", when);
    insert_row("'/', 'viejo.txt', 1, 1, 2001, 1, 1, 1");
    const pub::Rows before = site.rows();
    const std::string dir = site.local() + "/../carpeta";
    vt::make_dirs(dir);
    const std::string missing = site.local() + "/../no-existe.txt";
    struct Case {
        const char *what;
        std::string path, text, err;
    };
    const std::string long_file = site.local() + "/../largo.txt";
    const std::vector<Case> cases = {
        {"missing", missing, "", "Imposible leer el archivo de exclusiones '" + missing +
                                     "': No such file or directory\n"},
        {"a folder", dir, "", "Imposible leer el archivo de exclusiones '" + dir + "': Is a directory\n"},
        {"a line longer than a path", long_file, "*.swp\n# x\n" + std::string(4096, 'x') + "\n",
         "Patron demasiado largo en la linea 3 de '" + long_file + "'\n"},
    };
    for (const Case &c : cases) {
        if (!c.text.empty())
            vt::write_file(c.path, c.text);
        site.config().set("excludefile", c.path);
        for (const char *opt : {"-u", "-d", "-r", "-l", "-c"}) {
            SCOPED_TRACE(std::string(c.what) + " " + opt);
            vt::Outcome o = site.run({opt});
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(o.err, c.err);
            EXPECT_EQ(o.status, 255);
        }
    }
    EXPECT_EQ(ftp.connections(), 0);
    EXPECT_EQ(site.rows(), before);

    // One byte shorter is a pattern like any other.
    vt::write_file(long_file, std::string(4095, 'x') + "\n");
    pub::expect_run(site.run({"-l"}), "Nuevo: /a.txt\nEliminado: /viejo.txt\n" + done);
}

// ----------------------------------------------------------- exit status

// An update run that reached its end but left a file unpublished exits
// with 2 after "Terminado!!!"; the rebuild and the dry run of the same tree
// keep 0.
TEST_F(Everyday, StatusTwoWhenTheUpdateLeftSomethingUnpublished)
{
    struct Case {
        const char *what;
        std::function<void(const std::string &root)> make;
        int update;
    };
    const std::vector<Case> cases = {
        {"everything published", [&](const std::string &r) { vt::write_file(r + "/a.txt", "a"); }, 0},
        {"an empty tree", [](const std::string &) {}, 0},
        {"a status that cannot be taken",
         [](const std::string &r) {
             vt::write_file(r + "/a.txt", "a");
             ASSERT_EQ(symlink("no-existe", (r + "/roto").c_str()), 0);
         },
         2},
        {"a name the catalogue cannot hold", [](const std::string &r) { vt::write_file(r + "/b ", "b"); }, 2},
        {"a root that cannot be opened", [](const std::string &r) { vt::remove_tree(r); }, 2},
        {"a link back up the path, whose folder is walked anyway",
         [](const std::string &r) {
             vt::make_dirs(r + "/d");
             ASSERT_EQ(symlink("..", (r + "/d/arriba").c_str()), 0);
         },
         0},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vt::TempDir tree("vantor-estado");
        const std::string root = tree / ("web" + std::to_string(n++));
        vt::make_dirs(root);
        c.make(root);
        site.config().set("localroot", root);
        for (const char *opt : {"-r", "-l"}) {
            vt::Outcome o = site.run({opt});
            EXPECT_EQ(o.status, 0) << opt << vt::describe(o);
        }
        pub::expect_run(site.run({"-d"}), done);
        vt::Outcome o = site.run();
        EXPECT_TRUE(o.out.ends_with(done)) << vt::describe(o);
        EXPECT_EQ(o.status, c.update) << vt::describe(o);
    }
}

// ------------------------------------------------------------ run lock

// A connection of the test's own, kept open while it holds a lock.
struct Holder {
    MYSQL *m = mysql_init(nullptr);
    Holder()
    {
        const vt::MariaDb &db = vt::shared_mariadb();
        EXPECT_TRUE(mysql_real_connect(m, db.host().c_str(), db.user().c_str(), db.password().c_str(),
                                       db.database().c_str(), static_cast<unsigned>(db.port()), nullptr, 0))
            << mysql_error(m);
    }
    ~Holder() { mysql_close(m); }
    std::string ask(const std::string &sql)
    {
        EXPECT_EQ(mysql_query(m, sql.c_str()), 0) << mysql_error(m);
        MYSQL_RES *r = mysql_store_result(m);
        MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr;
        std::string v = row && row[0] ? row[0] : "NULL";
        if (r)
            mysql_free_result(r);
        return v;
    }
};

std::string is_used(const std::string &lock)
{
    vt::Rows r = vt::shared_mariadb().query("SELECT IS_USED_LOCK(" + vt::sql_text(lock) + ")");
    return r[0][0] ? "used" : "free";
}

// While another connection holds the table's lock, update, rebuild and
// clear say so and do nothing, with status 3; create and the dry run take
// no lock.
TEST_F(Everyday, ALockHeldElsewhereStopsTheRunsThatWrite)
{
    site.put("/a.txt", "a", when);
    insert_row("'/', 'viejo.txt', 1, 1, 2001, 1, 1, 1");
    const pub::Rows before = site.rows();
    const std::string lock = "vantor.vantor." + site.table();
    const std::string busy = "Otra ejecucion esta usando la tabla " + site.table() + " de la base de datos vantor\n";
    {
        Holder h;
        ASSERT_EQ(h.ask("SELECT GET_LOCK(" + vt::sql_text(lock) + ", 0)"), "1");
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {}, {"-u"}, {"-Update"}, {"-r"}, {"-rebuild"}, {"-d"}, {"-DELETE"}, {"-p"}, {"-Prune"}}) {
            SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
            pub::expect_run(site.run(args), busy, 3);
        }
        EXPECT_EQ(ftp.connections(), 0);
        EXPECT_EQ(site.rows(), before);
        pub::expect_run(site.run({"-l"}), "Nuevo: /a.txt\nEliminado: /viejo.txt\n" + done);
        vt::Outcome c = site.run({"-c"});
        EXPECT_EQ(c.status, 1) << vt::describe(c);  // the table exists: create did try
        EXPECT_FALSE(contains(c.out, busy));
    }
    pub::expect_run(site.run(), header() + pub::new_file("/a.txt") + done);
}

struct LongNames : Everyday {
    LongNames() : Everyday("tabla_de_nombre_largo_para_ver_como_se_recorta_el_bloqueo") {}
};

// Two runs over the same catalogue: the second finds the first's lock,
// writes its line naming the first (its lease row) and leaves, having
// opened no FTP connection. The lock of a long table name is the documented
// short form, and it goes with the run that held it, even an interrupted
// or killed one: the next run publishes at once.
TEST_F(LongNames, TheSecondOfTwoRunsAtOnceDoesNothing)
{
    ASSERT_GT(("vantor.vantor." + site.table()).size(), 64u);
    const std::string lock = nombre_bloqueo("vantor", site.table());
    site.put("/a.txt", "a", when);
    EXPECT_EQ(is_used(lock), "free");

    auto stores = [&] {
        const std::vector<std::string> c = ftp.commands();
        return std::count(c.begin(), c.end(), "STOR /htdocs/a.txt");
    };
    for (int sig : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(sig);
        ftp.queue("STOR", "/htdocs/a.txt", Reply::transfer_then_stall());
        const int before = ftp.connections();
        const auto stored = stores();
        vt::Process first(site.spawn());
        for (int i = 0; i < 200 && stores() == stored; ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_GT(stores(), stored);
        EXPECT_EQ(is_used(lock), "used");
        vt::expect_busy_by(site.run(), site.table(), first.pid(), pub::zone);
        EXPECT_EQ(ftp.connections(), before + 1);

        first.signal(sig);
        vt::Outcome o = first.wait();
        EXPECT_TRUE(sig == SIGINT ? o.status == 130 : o.signal == SIGKILL) << vt::describe(o);
        for (int i = 0; i < 50 && is_used(lock) == "used"; ++i)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(is_used(lock), "free");
    }
    pub::expect_run(site.run(), header() + pub::new_file("/a.txt") + done);
}

// ------------------------------------------------------ a failed lookup

// An account that may not read the table: the first lookup fails, and the
// run ends with the server's error and the statement, status 1, having
// uploaded and inserted nothing. Taking a failed lookup for "no row" would
// upload and insert the file on every run.
TEST_F(Everyday, AFailedLookupEndsTheRunBeforeAnyUpload)
{
    site.put("/a.txt", "a", when);
    const std::string user = "sin_select_" + std::to_string(getpid());
    vt::shared_mariadb().add_account(user, "clave", "INSERT, UPDATE, DELETE");
    site.config().set("dbuser", user).set("dbpass", "clave");
    const std::string lookup =
        "SELECT Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + site.table() + " WHERE Ruta='/' AND Nombre='a.txt'";
    std::string refused;
    try {
        vt::shared_mariadb().query_as(user, "clave", lookup);
    } catch (const std::exception &e) {
        refused = e.what();
    }
    ASSERT_TRUE(contains(refused, "SELECT command denied")) << refused;

    pub::expect_run(site.run(), header() + refused + "\nConsulta: " + lookup + "\n", 1);
    pub::expect_run(site.run({"-l"}), refused + "\nConsulta: " + lookup + "\n", 1);
    EXPECT_TRUE(ftp.stored().empty());
    for (const std::string &c : ftp.commands())
        EXPECT_FALSE(c.starts_with("STOR")) << c;
    EXPECT_TRUE(site.rows().empty());
}

// ------------------------------------------------------- a long run

// Rows are committed as a long run goes: a run interrupted more than a
// second after its first confirmed upload keeps that upload's row. The run
// is held still while the second file travels, so that the second's row
// comes more than a second after the first's; the third file stalls and the
// run is interrupted there.
// The same with the catalogue in a file and the run killed outright: the
// file stays readable and holds only rows of files the server stored.
TEST_F(Everyday, RowsOfALongRunAreCommittedAsItGoes)
{
    Site in_file("largo");
    in_file.in_file().ftp(ftp.host(), ftp.port(), ftp.user(), ftp.pass());
    in_file.config().set("remoteroot", "/htdocs/archivo");
    for (auto [s, sig, remote] : {std::tuple<Site *, int, std::string>{&site, SIGINT, "/htdocs"},
                                  std::tuple<Site *, int, std::string>{&in_file, SIGKILL, "/htdocs/archivo"}}) {
        SCOPED_TRACE(sig);
        for (const char *f : {"/a.txt", "/b.txt", "/c.txt"})
            s->put(f, f, when);
        std::vector<Entry> order = pub::listing(s->local());
        ASSERT_EQ(order.size(), 3u);
        ftp.queue("STOR", remote + order[2].path(), Reply::transfer_then_stall());

        vt::Process run(s->spawn());
        ASSERT_TRUE(ftp.wait_for_command("STOR " + remote + order[1].path(), 10s));
        run.signal(SIGSTOP);
        std::this_thread::sleep_for(1300ms);
        run.signal(SIGCONT);
        ASSERT_TRUE(ftp.wait_for_command("STOR " + remote + order[2].path(), 10s));
        std::this_thread::sleep_for(200ms);
        run.signal(sig);
        vt::Outcome o = run.wait();
        EXPECT_TRUE(sig == SIGINT ? o.status == 130 : o.signal == SIGKILL) << vt::describe(o);

        const pub::Rows rows = s->rows();
        EXPECT_TRUE(std::find(rows.begin(), rows.end(), pub::row(order[0], when)) != rows.end()) << o.out;
        for (const auto &r : rows)
            EXPECT_NE(r[1], order[2].nombre);
    }
    EXPECT_EQ(in_file.query("PRAGMA integrity_check"), (vt::Rows{{"ok"}}));
}

// ------------------------------------------------ the catalogue in a file

// A site whose catalogue is a file not made yet.
struct InFile : Everyday {
    InFile() { site.in_file(); }
    void SetUp() override {}
    std::string failure(const std::string &why) const
    {
        return "Imposible usar el catalogo '" + site.file() + "': " + why + "\n";
    }
};

// The first update run makes the file, its table and the rows; -l and -c
// on a file not made yet work as on a new table, -c saying nothing more.
TEST_F(InFile, FirstUseMakesTheFile)
{
    site.put("/a.txt", "a", when);
    site.put("/sub/b.txt", "b", when);
    std::string listed, published;
    pub::Rows rows;
    for (const Entry &e : pub::listing(site.local())) {
        listed += "Nuevo: " + e.path() + "\n";
        published += pub::new_file(e.path());
        rows.push_back(pub::row(e, when));
    }
    ASSERT_NE(access(site.file().c_str(), F_OK), 0);
    pub::expect_run(site.run({"-l"}), listed + done);
    pub::expect_run(site.run(), header() + published + done);
    EXPECT_EQ(site.rows(), pub::sorted(rows));
    EXPECT_EQ(site.query("PRAGMA application_id"), (vt::Rows{{"1986096756"}}));
    pub::expect_run(site.run(), header() + done);

    Site other("nuevo");
    other.in_file();
    other.create_table();
    EXPECT_EQ(other.rows(), pub::Rows{});
}

// Two runs on one file: the second says who holds the table, with status 3,
// having contacted no server; a killed holder frees it at once.
TEST_F(InFile, TwoRunsAtOnce)
{
    site.put("/a.txt", "a", when);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    ftp.queue("STOR", "/htdocs/a.txt", Reply::transfer_then_stall());
    vt::Process first(site.spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs/a.txt", 10s));
    const int connections = ftp.connections();
    pub::expect_run(site.run(), "Otra ejecucion esta usando la tabla " + site.table() + " del catalogo " + site.file() +
                                    " (equipo " + host + ", proceso " + std::to_string(first.pid()) + ")\n",
                    3);
    EXPECT_EQ(ftp.connections(), connections);
    first.signal(SIGKILL);
    first.wait();
    pub::expect_run(site.run(), header() + pub::new_file("/a.txt") + done);
}

// A statement the file refuses (here a trigger's) is reported as a
// server's would be: a rebuild leaves the previous rows, an update run
// writes the lines of the files before it and the refused row's statement,
// and commits none of its rows; status 1 both.
TEST_F(InFile, ARefusedStatementEndsTheRunAndCommitsNothing)
{
    site.put("/a.txt", "a", when);
    site.put("/z.txt", "z", when);
    pub::expect_run(site.run({"-r"}), done);
    const pub::Rows before = site.rows();
    site.query("CREATE TRIGGER falla BEFORE INSERT ON " + site.table() +
               " WHEN NEW.Nombre = 'z.txt' BEGIN SELECT RAISE(ABORT, 'fallo provocado'); END");
    const std::vector<std::string> v = pub::row({"/", "z.txt"}, when);
    const std::string insert = "INSERT INTO \"" + site.table() +
                               "\" (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo, Huella) VALUES ('/', "
                               "'z.txt', " + v[2] + ", " + v[3] + ", " + v[4] + ", " + v[5] + ", " + v[6] + ", " +
                               v[7] + ", NULL)";
    pub::expect_run(site.run({"-r"}), "fallo provocadoConsulta: '" + insert + "'\n", 1);
    EXPECT_EQ(site.rows(), before);

    pub::expect_run(site.run({"-d"}), done);
    std::string out = header();
    for (const Entry &e : pub::listing(site.local())) {
        out += pub::new_file(e.path());
        if (e.nombre == "z.txt")
            break;
    }
    pub::expect_run(site.run(), out + "fallo provocado\nConsulta: " + insert + "\n", 1);
    EXPECT_EQ(site.rows(), pub::Rows{});
}

// A file made before the index held every column is still read, and gets
// that index; of two rows of one name the first stored answers, whether its
// folder is read whole (sub/) or looked up file by file (/), even when the
// later row's stamp sorts before it.
TEST_F(InFile, AnOlderFileAndRowsOfOneName)
{
    site.put("/solo.txt", "s", when);
    for (int i = 0; i < 12; ++i)
        site.put("/sub/f" + std::to_string(i) + ".txt", "f", when);
    const std::string t = "\"" + site.table() + "\"";
    std::string sql = "PRAGMA application_id = 1986096756; CREATE TABLE " + t +
                      " (Ruta TEXT COLLATE BINARY, Nombre TEXT COLLATE BINARY, Dia INTEGER, Mes INTEGER, Anio "
                      "INTEGER, Hora INTEGER, Minuto INTEGER, Segundo INTEGER, Huella BLOB); CREATE INDEX \"" +
                      site.table() + "_Ruta_Nombre\" ON " + t + " (Ruta, Nombre);";
    auto insert = [&](const Entry &e, time_t stamp) {
        const std::vector<std::string> v = pub::row(e, stamp);
        sql += "INSERT INTO " + t + " VALUES ('" + v[0] + "', '" + v[1] + "', " + v[2] + ", " + v[3] + ", " + v[4] +
               ", " + v[5] + ", " + v[6] + ", " + v[7] + ", NULL);";
    };
    // Even files: first stored current, then an older one. Odd files and
    // solo.txt: first stored later than the file, then a current one.
    const time_t older = pub::at(2001, 1, 1, 0, 0, 0), later = pub::at(2030, 1, 1, 0, 0, 0);
    std::set<std::string> stale;
    int i = 0;
    const std::vector<Entry> files = pub::listing(site.local());
    for (const Entry &e : files) {
        const bool current = e.ruta == "/sub/" && i++ % 2 == 0;
        insert(e, current ? when : later);
        if (!current)
            stale.insert(e.path());
    }
    for (const Entry &e : files)
        insert(e, stale.count(e.path()) ? when : older);
    sqlite_query_new(site.file(), sql);

    const vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 0) << vt::describe(o);
    for (const Entry &e : files)
        EXPECT_EQ(contains(o.out, e.path() + " subido con exito"), stale.count(e.path()) == 1) << e.path() << o.out;
    EXPECT_EQ(site.query("SELECT name FROM sqlite_schema WHERE type = 'index' AND tbl_name = '" + site.table() + "'"),
              (vt::Rows{{site.table() + "_Ruta_Nombre_Sello_Huella"}}));
    EXPECT_EQ(site.query("PRAGMA integrity_check"), (vt::Rows{{"ok"}}));
}

// A file that is not a catalogue is named, left byte for byte, and no mode
// writes to it or contacts the server; a configuration that puts the file
// where it cannot be made or written stops with status 255.
TEST_F(InFile, WhatIsNotACatalogueIsLeftAlone)
{
    site.put("/a.txt", "a", when);
    const std::string foreign = site.local() + "/../ajena.db";
    sqlite_query_new(foreign, "CREATE TABLE notas (texto TEXT); INSERT INTO notas VALUES ('hola')");
    const std::string layout = site.local() + "/../otra.db";
    sqlite_query_new(layout,
                     "PRAGMA application_id = 1986096756; CREATE TABLE " + site.table() + " (Ruta TEXT, Nombre TEXT)");
    struct Case {
        const char *what;
        std::string file, bytes, why;
    };
    const std::vector<Case> cases = {
        {"text", site.local() + "/../notas.txt", "localroot = \"/\"\n", "no es una base de datos SQLite"},
        {"another program's database", foreign, vt::read_file(foreign), "es una base de datos SQLite de otro programa"},
        {"another layout", layout, vt::read_file(layout), "su tabla " + site.table() + " no tiene las columnas de un catalogo de vantor"},
    };
    for (const Case &c : cases) {
        vt::write_file(c.file, c.bytes);
        site.config().set("catalogue", c.file);
        for (const char *opt : {"-u", "-l", "-c", "-r", "-d", "-p"}) {
            SCOPED_TRACE(std::string(c.what) + " " + opt);
            pub::expect_run(site.run({opt}), "Imposible usar el catalogo '" + c.file + "': " + c.why + "\n", 1);
        }
        EXPECT_EQ(vt::read_file(c.file), c.bytes);
    }
    EXPECT_EQ(ftp.connections(), 0);

    site.config().set("catalogue", site.local() + "/../no/existe.db");
    pub::expect_run(site.run(), "Imposible usar el catalogo '" + site.local() + "/../no/existe.db': carpeta " +
                                    site.local() + "/../no: No such file or directory\n",
                    255);
    if (!vt::running_as_root())
        return;
    // A folder the user may not write to, and a file it may not open.
    site.run_as(vt::unprivileged());
    const std::string closed = site.local() + "/../cerrada";
    vt::make_dirs(closed);
    chmod(closed.c_str(), 0755);
    site.config().set("catalogue", closed + "/site.db");
    pub::expect_run(site.run(), "Imposible usar el catalogo '" + closed +
                                    "/site.db': no se puede escribir en la carpeta " + closed +
                                    ": Permission denied\n",
                    255);
    const std::string open_dir = site.local() + "/..";
    chmod(open_dir.c_str(), 0777);
    const std::string mine = open_dir + "/mio.db";
    vt::write_file(mine, "");
    chmod(mine.c_str(), 0600);
    site.config().set("catalogue", mine);
    pub::expect_run(site.run(), "Imposible usar el catalogo '" + mine + "': Permission denied\n", 1);
    EXPECT_EQ(ftp.connections(), 0);
}

// ------------------------------------------------- status line on a tty

// What a terminal stream holds once the status lines are taken out: the
// other text in order, the status lines drawn, and the summaries.
struct Terminal {
    std::string text;
    std::vector<std::string> drawn;
    std::vector<std::string> summaries;
};

// Every status line is drawn as "\r\033[K" + text and erased with
// "\r\033[K"; the summary ("Examinados 3, ...") ends with a line break.
// Text written while a status line showed ends up glued to it, and is then
// kept as text, where it spoils the comparison.
Terminal read_terminal(const std::string &s)
{
    const std::string cr = "\r\033[K";
    Terminal t;
    size_t i = 0;
    while (i < s.size()) {
        size_t at = s.find(cr, i);
        if (at == std::string::npos)
            at = s.size();
        t.text += s.substr(i, at - i);
        if (at == s.size())
            break;
        size_t end = s.find_first_of("\r\n", at + cr.size());
        if (end == std::string::npos)
            end = s.size();
        std::string piece = s.substr(at + cr.size(), end - at - cr.size());
        if (end < s.size() && s[end] == '\n') {
            if (piece.starts_with("Examinados ") && !piece.starts_with("Examinados: "))
                t.summaries.push_back(piece);
            else
                t.text += piece + "\n";
            i = end + 1;
        } else {
            if (!piece.empty())
                t.drawn.push_back(piece);
            i = end;
        }
    }
    return t;
}

// A text with every number ("12", "3.4") written as "#" and every unit of
// bytes as "B".
std::string shape(const std::string &s)
{
    std::string r;
    for (size_t i = 0; i < s.size();) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) {
            r += s[i++];
            continue;
        }
        while (i < s.size() && (isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.'))
            ++i;
        r += '#';
    }
    for (const char *u : {" KB", " MB", " GB"})
        for (size_t p = r.find(u); p != std::string::npos; p = r.find(u))
            r.replace(p, 3, " B");
    return r;
}

struct TtyCase {
    const char *name;
    bool out_on_tty, err_on_tty;
};

struct Progress : Everyday, testing::WithParamInterface<TtyCase> {};

// Three files, the second one changed and refused by the server, and a
// broken link: the
// lines on standard output and standard error are those of a run without a
// terminal, byte for byte; the status line shows only where standard error
// is a terminal, never mixed with another line, and ends as a summary.
// Every transfer is slow enough for the line to be drawn again before each
// kind of line the run writes.
TEST_P(Progress, StatusLineOnlyOnATerminalAndNeverInTheWay)
{
    const TtyCase c = GetParam();
    for (const char *f : {"/a.txt", "/b.txt", "/c/d.txt"})
        site.put(f, std::string(1000, 'x'), when);
    ASSERT_EQ(symlink("no-existe", site.local("/roto").c_str()), 0);
    std::string refused;
    int files = 0;
    for (const Entry &e : pub::listing(site.local())) {
        Reply slow = Reply::transfer();
        if (e.path() != "/roto" && ++files == 2) {
            // A changed file writes no line before its upload, so the line
            // drawn before it shows when the failure is reported.
            refused = e.path();
            slow = Reply::line("451 No.");
            insert_row("'" + e.ruta + "', '" + e.nombre + "', 1, 1, 2001, 1, 1, 1");
        }
        slow.delay = 150ms;
        ftp.queue("STOR", "/htdocs" + e.path(), slow);
    }

    std::string out = header(), err;
    std::string merged = out;
    for (const Entry &e : pub::listing(site.local())) {
        std::string lines;
        if (e.path() == "/roto") {
            err += stat_error;
            merged += stat_error;
            continue;
        }
        if (e.path() == refused)
            lines = "Error subiendo archivo /htdocs" + refused +
                    " desde " + site.local(refused) + ":\n451 No.\n\n===> ERROR al subir " + refused + "\n";
        else
            lines = pub::new_file(e.path());
        out += lines;
        merged += lines;
    }
    out += done;

    vt::Spawn how = site.spawn();
    how.out_on_tty = c.out_on_tty;
    how.err_on_tty = c.err_on_tty;
    vt::Outcome o = vt::run(how);
    EXPECT_EQ(o.status, 2);
    if (!c.out_on_tty) {
        EXPECT_EQ(o.out, out);
    }
    if (!c.err_on_tty) {
        EXPECT_EQ(o.err, err);
        if (c.out_on_tty) {
            EXPECT_EQ(o.tty, out);  // nothing but the run's own lines
        }
        return;
    }

    Terminal t = read_terminal(o.tty);
    // With standard output on the terminal too, the summary comes before
    // "Terminado!!!", which the driver writes last.
    EXPECT_EQ(t.text, c.out_on_tty ? merged + done : err);
    ASSERT_FALSE(t.drawn.empty()) << o.tty;
    for (const std::string &d : t.drawn)
        EXPECT_EQ(shape(d), "Examinados: #  Subidos: #  Fallidos: #  Enviado: # B  # B/s");
    ASSERT_EQ(t.summaries.size(), 1u) << o.tty;
    const std::string summary = "Examinados 3, subidos 2, fallidos 1, 2000 bytes en ";
    EXPECT_EQ(t.summaries[0].substr(0, summary.size()), summary);
    EXPECT_EQ(shape(t.summaries[0].substr(summary.size())), "# s");
    if (c.out_on_tty) {
        // The first status line comes after the login, the summary last.
        EXPECT_EQ(o.tty.find("\r\033[K"), header().size()) << o.tty;
        EXPECT_TRUE(o.tty.ends_with("\n" + done)) << o.tty;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Progress,
                         testing::Values(TtyCase{"both_on_a_terminal", true, true},
                                         TtyCase{"only_stderr_on_a_terminal", false, true},
                                         TtyCase{"only_stdout_on_a_terminal", true, false}),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
