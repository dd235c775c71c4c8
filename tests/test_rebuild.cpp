// End-to-end runs of `vantor CONFIG -r`: the catalogue rebuilt from a local
// tree made here, read back from the private MariaDB server.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/config.h"
#include "support/files.h"
#include "support/mariadb.h"
#include "support/process.h"

namespace {

using vt::Outcome;
using vt::Rows;

const std::string done = "Terminado!!!\n";
const std::vector<std::pair<std::string, std::string>> utc = {{"TZ", "UTC"}};
const std::vector<std::pair<std::string, std::string>> madrid = {{"TZ", "Europe/Madrid"}};

using Entry = std::pair<std::string, std::string>;  // relative directory, name

// The files below root in the order a depth-first walk meets them when it
// takes each directory's entries in readdir order (the platform's own).
void walk_order(const std::string &root, const std::string &ruta, std::vector<Entry> &out)
{
    DIR *d = opendir((root + ruta).c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        names.push_back(e->d_name);
    closedir(d);
    for (const auto &n : names) {
        struct stat st;
        if (stat((root + ruta + n).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (n != "." && n != "..")
                walk_order(root, ruta + n + "/", out);
        } else {
            out.emplace_back(ruta, n);
        }
    }
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> r;
    std::stringstream s(text);
    std::string l;
    while (std::getline(s, l))
        r.push_back(l + "\n");
    return r;
}

// The lines a rebuild that ended normally wrote before "Terminado!!!", sorted.
std::vector<std::string> messages(const vt::Outcome &o)
{
    EXPECT_EQ(o.status, 0);
    std::vector<std::string> out = lines(o.out);
    if (out.empty() || out.back() != done) {
        ADD_FAILURE() << "no normal end:\n" << o.out;
        return out;
    }
    out.pop_back();
    std::sort(out.begin(), out.end());
    return out;
}

class Rebuild : public ::testing::Test {
protected:
    void SetUp() override
    {
        table_ = "r_";
        for (char c : std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()))
            table_ += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
        db().query("DROP TABLE IF EXISTS " + table_);
        web_ = dir_ / "web";
        vt::make_dirs(web_);
        Outcome o = vt::run_vantor({conf(), "-c"});
        ASSERT_EQ(o.out, done) << vt::describe(o);
    }

    vt::MariaDb &db() { return vt::shared_mariadb(); }
    vt::Config config() { return vt::Config(db()).set("dbtablename", table_).set("localroot", web_); }
    std::string conf() { return config().write(dir_ / "vantor.conf"); }

    // A file below the local root with the given content and modification time.
    void file(const std::string &rel, time_t mtime, const std::string &content = "x")
    {
        std::string p = web_ + "/" + rel;
        vt::make_dirs(std::filesystem::path(p).parent_path().string());
        vt::write_file(p, content);
        vt::set_mtime(p, mtime);
    }
    void dir(const std::string &rel) { vt::make_dirs(web_ + "/" + rel); }
    void link(const std::string &rel, const std::string &target)
    {
        ASSERT_EQ(symlink(target.c_str(), (web_ + "/" + rel).c_str()), 0) << rel;
    }

    // The rows in the order they were inserted (a full scan of a table with
    // no primary key follows insertion order).
    Rows rows()
    {
        return db().query("SELECT Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + table_);
    }
    Rows sorted_rows()
    {
        Rows r = rows();
        std::sort(r.begin(), r.end());
        return r;
    }
    std::vector<Entry> row_names()
    {
        std::vector<Entry> r;
        for (auto &row : rows())
            r.emplace_back(*row[0], *row[1]);
        return r;
    }
    void seed_rows()
    {
        db().query("INSERT INTO " + table_ + " VALUES ('/viejo/', 'a.html', 1, 1, 2001, 1, 1, 1), "
                   "('/', 'b.html', 2, 2, 2002, 2, 2, 2)");
    }
    std::string insert(const std::string &ruta, const std::string &nombre, const std::string &stamp)
    {
        return "INSERT INTO " + table_ + " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('" + ruta +
               "', '" + nombre + "', " + stamp + ")";
    }

    vt::TempDir dir_{"vantor-rebuild"};
    std::string web_;
    std::string table_;
};

vt::Row row(const std::string &ruta, const std::string &nombre, std::vector<int> stamp)
{
    vt::Row r{ruta, nombre};
    for (int v : stamp)
        r.emplace_back(std::to_string(v));
    return r;
}

TEST_F(Rebuild, RowsCarryTheLocalStampOfEachZone)
{
    file("index.html", vt::epoch_of("Europe/Madrid", 1999, 12, 31, 23, 59, 59));
    file("img/logo.png", vt::epoch_of("UTC", 2004, 3, 5, 9, 7, 2));
    file("docs/verano/a.txt", vt::epoch_of("UTC", 2021, 7, 15, 12, 30, 45));
    file("docs/enero.txt", vt::epoch_of("UTC", 2000, 1, 1, 0, 0, 0));
    seed_rows();

    struct Case {
        const char *zone;
        Rows want;
    };
    const std::vector<Case> cases = {
        {"UTC",
         {row("/", "index.html", {31, 12, 1999, 22, 59, 59}), row("/docs/", "enero.txt", {1, 1, 2000, 0, 0, 0}),
          row("/docs/verano/", "a.txt", {15, 7, 2021, 12, 30, 45}), row("/img/", "logo.png", {5, 3, 2004, 9, 7, 2})}},
        {"Europe/Madrid",
         {row("/", "index.html", {31, 12, 1999, 23, 59, 59}), row("/docs/", "enero.txt", {1, 1, 2000, 1, 0, 0}),
          row("/docs/verano/", "a.txt", {15, 7, 2021, 14, 30, 45}),
          row("/img/", "logo.png", {5, 3, 2004, 10, 7, 2})}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.zone);
        Outcome o = vt::run_vantor({conf(), "-r"}, {{"TZ", c.zone}});
        EXPECT_EQ(o.out, done) << vt::describe(o);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(sorted_rows(), c.want);
    }
}

TEST_F(Rebuild, RowsFollowTheWalkOrder)
{
    const time_t t = vt::epoch_of("UTC", 2010, 6, 1, 8, 0, 0);
    for (const char *f : {"a.txt", "m.txt", "z.txt", ".oculto", "d0/x.txt", "d0/d00/y.txt", "d0/w.txt"})
        file(f, t);
    ASSERT_EQ(mkfifo((web_ + "/tubo").c_str(), 0644), 0);
    vt::set_mtime(web_ + "/tubo", t);
    // Enough folders that at least one is listed before a file of the root,
    // whatever order this file system lists them in: its subtree must come
    // before that file.
    auto dir_before_file = [&] {
        std::vector<Entry> order;
        walk_order(web_, "/", order);
        bool seen_dir = false;
        DIR *d = opendir(web_.c_str());
        bool found = false;
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            struct stat st;
            stat((web_ + "/" + n).c_str(), &st);
            if (S_ISDIR(st.st_mode))
                seen_dir = true;
            else if (seen_dir)
                found = true;
        }
        closedir(d);
        return found;
    };
    for (int k = 1; k < 40 && !dir_before_file(); ++k)
        file("d" + std::to_string(k) + "/f.txt", t);
    ASSERT_TRUE(dir_before_file());

    std::vector<Entry> want;
    walk_order(web_, "/", want);
    Outcome o = vt::run_vantor({conf(), "-rebuild"}, utc);
    EXPECT_EQ(o.out, done) << vt::describe(o);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(row_names(), want);
    for (auto &r : rows())
        EXPECT_EQ(std::vector<std::optional<std::string>>(r.begin() + 2, r.end()),
                  (vt::Row{"1", "6", "2010", "8", "0", "0"}));
}

TEST_F(Rebuild, EmptyOrMissingRootLeavesAnEmptyCatalogue)
{
    struct Case {
        const char *what;
        std::string root;
        std::string out;
    };
    vt::make_dirs(dir_ / "vacio");
    const std::vector<Case> cases = {
        {"empty root", dir_ / "vacio", done},
        {"missing root", "/nonexistent/web", "Error en la llamada a opendir: /nonexistent/web/\n" + done},
        {"missing root with a slash", "/nonexistent/web/",
         "Error en la llamada a opendir: /nonexistent/web//\n" + done},
        {"a file as the root", dir_ / "vantor.conf", "Error en la llamada a opendir: " + (dir_ / "vantor.conf") + "/\n" + done},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        seed_rows();
        Outcome o = vt::run_vantor({config().set("localroot", c.root).write(dir_ / "vantor.conf"), "-r"}, utc);
        EXPECT_EQ(o.out, c.out) << vt::describe(o);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(rows().size(), 0u);
    }
}

TEST_F(Rebuild, StatFailuresAndLinks)
{
    const time_t t = vt::epoch_of("UTC", 2012, 2, 29, 23, 1, 2);
    const time_t t2 = vt::epoch_of("UTC", 2013, 3, 30, 1, 2, 3);
    file("a.txt", t);
    file("sub/f.txt", t);
    file("destino.txt", t2);
    link("roto", "no-existe");                 // dangling: the status fails
    link("enlace.txt", "destino.txt");         // a link to a file counts as that file
    link("alias", "sub");                      // a link to a folder is walked
    link("sub/arriba", "..");                  // leads back up the path: skipped
    link("yo", web_);                          // the root itself, by absolute path

    Outcome o = vt::run_vantor({conf(), "-r"}, utc);
    EXPECT_EQ(o.err, "   Error al hacer el stat: : No such file or directory\n") << vt::describe(o);
    std::vector<std::string> out = messages(o);
    EXPECT_EQ(out, (std::vector<std::string>{
                       "Se omite /alias/arriba: enlace a un directorio de su propia ruta\n",
                       "Se omite /sub/arriba: enlace a un directorio de su propia ruta\n",
                       "Se omite /yo: enlace a un directorio de su propia ruta\n"}));
    EXPECT_EQ(sorted_rows(), (Rows{row("/", "a.txt", {29, 2, 2012, 23, 1, 2}),
                                   row("/", "destino.txt", {30, 3, 2013, 1, 2, 3}),
                                   row("/", "enlace.txt", {30, 3, 2013, 1, 2, 3}),
                                   row("/alias/", "f.txt", {29, 2, 2012, 23, 1, 2}),
                                   row("/sub/", "f.txt", {29, 2, 2012, 23, 1, 2})}));
}

TEST_F(Rebuild, UnreadableFoldersAreReportedAndTheWalkGoesOn)
{
    if (!vt::running_as_root())
        GTEST_SKIP() << "needs root to run vantor as another user";
    const time_t t = vt::epoch_of("UTC", 2015, 10, 20, 7, 8, 9);
    file("a.txt", t);
    file("privado.txt", t);   // unreadable, but its status can be taken
    file("cerrado/dentro.txt", t);
    file("sinlista/dentro.txt", t);
    file("sinpaso/dentro.txt", t);
    file("z/b.txt", t);
    chmod((web_ + "/privado.txt").c_str(), 0);
    chmod((web_ + "/cerrado").c_str(), 0);
    chmod((web_ + "/sinlista").c_str(), 0111);  // may pass, may not list
    chmod((web_ + "/sinpaso").c_str(), 0444);   // may list, may not pass

    // Root ignores folder modes: the binary runs as nobody, from a copy it
    // can reach whatever the modes of the build folder.
    const std::string bin = dir_ / "vantor";
    std::filesystem::copy_file(vt::vantor_binary(), bin);
    chmod(bin.c_str(), 0755);
    vt::Spawn s;
    s.program = bin;
    s.args = {conf(), "-r"};
    chmod(s.args[0].c_str(), 0644);
    s.env = utc;
    s.as = vt::unprivileged();
    Outcome o = vt::run(s);

    // The listing of sinpaso works but no status of its entries (".", ".."
    // and the file) can be taken.
    const std::string denied = "   Error al hacer el stat: : Permission denied\n";
    EXPECT_EQ(o.err, denied + denied + denied) << vt::describe(o);
    std::vector<std::string> out = messages(o);
    EXPECT_EQ(out, (std::vector<std::string>{"Error en la llamada a opendir: " + web_ + "/cerrado/\n",
                                             "Error en la llamada a opendir: " + web_ + "/sinlista/\n"}));
    const std::vector<int> st = {20, 10, 2015, 7, 8, 9};
    EXPECT_EQ(sorted_rows(), (Rows{row("/", "a.txt", st), row("/", "privado.txt", st), row("/z/", "b.txt", st)}));
}

TEST_F(Rebuild, NamesTheCatalogueCannotHoldAreSkipped)
{
    const time_t t = vt::epoch_of("UTC", 2020, 2, 2, 2, 2, 2);
    const std::vector<int> st = {2, 2, 2020, 2, 2, 2};
    // A name has at most 255 bytes on Linux file systems, so an over-long
    // value is a relative directory: "/" + 253 + "/" is 255 characters and
    // fits, one more does not.
    const std::string fits(253, 'r');
    const std::string too_long(254, 'l');
    const std::string long_name(255, 'n');
    std::string wide_name;  // 255 bytes, 128 characters
    for (int i = 0; i < 127; ++i)
        wide_name += "\xc3\xb1";
    wide_name += "a";

    file("normal.txt", t);
    file("it's.html", t);
    file("back\\slash.txt", t);
    file("año.html", t);
    file("Año.html", t);
    file("caf\xe9.html", t);
    file("d\xff/x.txt", t);
    file(fits + "/g.txt", t);
    file(too_long + "/h.txt", t);
    file(std::string(120, 'a') + "/" + std::string(140, 'b') + "/i.txt", t);
    file(long_name, t);
    file(wide_name, t);

    Outcome o = vt::run_vantor({conf(), "-r"}, utc);
    EXPECT_EQ(o.err, "") << vt::describe(o);
    std::vector<std::string> out = messages(o);
    std::vector<std::string> want = {
        "Se omite /" + std::string(120, 'a') + "/" + std::string(140, 'b') +
            "/i.txt: la ruta tiene mas de 255 caracteres\n",
        "Se omite /caf\xe9.html: el nombre no es UTF-8 valido\n",
        "Se omite /d\xff/x.txt: la ruta no es UTF-8 valido\n",
        "Se omite /" + too_long + "/h.txt: la ruta tiene mas de 255 caracteres\n",
    };
    std::sort(want.begin(), want.end());
    EXPECT_EQ(out, want);

    Rows want_rows = {row("/", "Año.html", st),       row("/", "año.html", st),   row("/", "back\\slash.txt", st),
                      row("/", "it's.html", st),      row("/", "normal.txt", st), row("/", long_name, st),
                      row("/", wide_name, st),        row("/" + fits + "/", "g.txt", st)};
    std::sort(want_rows.begin(), want_rows.end());
    EXPECT_EQ(sorted_rows(), want_rows);

    // Each name selects its own row and nothing else.
    for (const char *n : {"it's.html", "back\\slash.txt", "año.html", "Año.html"}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(db().query("SELECT COUNT(*) FROM " + table_ + " WHERE Ruta='/' AND Nombre=" + vt::sql_text(n))[0][0],
                  "1");
    }
}

TEST_F(Rebuild, ReplacesThePreviousRows)
{
    const time_t t = vt::epoch_of("UTC", 2005, 5, 5, 5, 5, 5);
    file("uno.txt", t);
    file("dos/tres.txt", t);
    seed_rows();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        Outcome o = vt::run_vantor({conf(), "-r"}, madrid);
        EXPECT_EQ(o.out, done) << vt::describe(o);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(sorted_rows(), (Rows{row("/", "uno.txt", {5, 5, 2005, 7, 5, 5}),
                                       row("/dos/", "tres.txt", {5, 5, 2005, 7, 5, 5})}));
    }
}

TEST_F(Rebuild, FailureHalfWayLeavesThePreviousCatalogue)
{
    const time_t t = vt::epoch_of("UTC", 2004, 3, 5, 9, 7, 2);
    file("a.txt", t);
    file("sub/b.txt", t);
    file("sub/z.txt", t);
    file("c.txt", t);
    seed_rows();
    const Rows before = sorted_rows();
    std::vector<Entry> order;
    walk_order(web_, "/", order);
    const std::string stamp = "5, 3, 2004, 9, 7, 2";

    // An account that may clear but not insert: the first insert fails.
    db().add_account("sininsertar", "i-pass", "SELECT, DELETE");
    const std::string first = insert(order[0].first, order[0].second, stamp);
    std::string denied;
    try {
        db().query_as("sininsertar", "i-pass", first);
    } catch (const std::exception &e) {
        denied = e.what();
    }
    ASSERT_NE(denied, "");
    Outcome o = vt::run_vantor({config().set("dbuser", "sininsertar").set("dbpass", "i-pass").write(dir_ / "s.conf"), "-r"},
                               utc);
    EXPECT_EQ(o.out, denied + "Consulta: '" + first + "'\n") << vt::describe(o);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(sorted_rows(), before);

    // An insert that fails after others have gone through.
    db().query("CREATE TRIGGER " + table_ + "_falla BEFORE INSERT ON " + table_ +
               " FOR EACH ROW IF NEW.Nombre = 'z.txt' THEN "
               "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'fallo provocado'; END IF");
    o = vt::run_vantor({conf(), "-r"}, utc);
    EXPECT_EQ(o.out, "fallo provocadoConsulta: '" + insert("/sub/", "z.txt", stamp) + "'\n") << vt::describe(o);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(sorted_rows(), before);
}

}  // namespace
