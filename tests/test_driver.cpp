// End-to-end runs of the vantor binary: command line, configuration file,
// required keys, database connection, create and clear modes. Standard
// output, standard error and exit status are compared byte for byte, and the
// table is read back from the private MariaDB server. And the output owner
// on its own: which lines it holds for a catalogue row, and for how long.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "publish/salida.h"
#include "support/config.h"
#include "support/files.h"
#include "support/mariadb.h"
#include "support/process.h"

namespace {

using vt::Config;
using vt::Outcome;
using vt::Rows;

const std::string usage =
    "USO: vantor configfile [opciones]\n"
    "     vantor -h  Para obtener ayuda\n";

const std::string done = "Terminado!!!\n";

std::string create_statement(const std::string &table)
{
    return "CREATE TABLE " + table +
           " (Ruta char(255), Nombre char(255), Dia int(2), Mes int(2), Anio int(4), Hora int(2), "
           "Minuto int(2), Segundo int(2))";
}

std::string missing_line(const std::string &key)
{
    return "\"" + key + "\" no especificado\n";
}

// The error text the server gives this account for this statement.
std::string server_error(const std::string &user, const std::string &pass, const std::string &sql)
{
    try {
        vt::shared_mariadb().query_as(user, pass, sql);
    } catch (const std::exception &e) {
        return e.what();
    }
    ADD_FAILURE() << "expected " << sql << " to fail for " << user;
    return "";
}

void expect_outcome(const Outcome &o, const std::string &out, const std::string &err, int status)
{
    EXPECT_EQ(o.out, out) << vt::describe(o);
    EXPECT_EQ(o.err, err) << vt::describe(o);
    EXPECT_EQ(o.signal, 0) << vt::describe(o);
    EXPECT_EQ(o.status, status) << vt::describe(o);
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A table of its own for every test: t_<test name>.
        table_ = "t_";
        for (char c : std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()))
            table_ += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
        db().query("DROP TABLE IF EXISTS " + table_);
        vt::make_dirs(dir_ / "web");
    }

    vt::MariaDb &db() { return vt::shared_mariadb(); }
    Config config() { return Config(db()).set("dbtablename", table_).set("localroot", dir_ / "web"); }
    std::string write(const Config &c, const std::string &name = "vantor.conf")
    {
        return c.write(dir_ / name);
    }
    // A table as the create mode makes it, with rows.
    void make_table_with_rows(int rows)
    {
        expect_outcome(vt::run_vantor({write(config()), "-c"}), done, "", 0);
        for (int i = 0; i < rows; ++i)
            db().query("INSERT INTO " + table_ + " VALUES ('/', 'f" + std::to_string(i) +
                       ".html', 1, 2, 2003, 4, 5, 6)");
    }
    bool table_exists(const std::string &t)
    {
        return !db().query("SHOW TABLES LIKE '" + t + "'").empty();
    }
    std::string count() { return *db().query("SELECT COUNT(*) FROM " + table_)[0][0]; }

    vt::TempDir dir_{"vantor-driver"};
    std::string table_;
};

TEST_F(Driver, WrongArgumentCountGivesUsage)
{
    const std::string conf = write(config());
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {conf, "-d", "otra"}, {"-h", "-h", "-h"}, {conf, "-c", "-c", "-c"}}) {
        SCOPED_TRACE(args.size());
        expect_outcome(vt::run_vantor(args), "", usage, 255);
    }
}

TEST_F(Driver, HelpRequestsInAnyCaseOpenNothing)
{
    // Files named like the requests, holding a configuration that would
    // publish: if one were opened as a configuration the output would differ.
    const std::string text = config().text();
    for (const char *name : {"-h", "-H", "--help", "--HELP", "-help", "-Help", "-?"})
        vt::write_file(dir_ / name, text);
    // The help text, byte for byte: tests/golden/ayuda.txt.
    const std::string help = vt::read_file(VANTOR_HELP_GOLDEN);
    for (const char *arg : {"/?", "-?", "--help", "-help", "/help", "-h", "-H", "--HELP", "--Help",
                            "-HELP", "-hElP", "/HELP", "/Help"}) {
        SCOPED_TRACE(arg);
        expect_outcome(vt::run_vantor({arg}, {}, std::nullopt, dir_.path()), help, "", 0);
    }
}

TEST_F(Driver, NearlyHelpIsAConfigurationPath)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-h", "-d"}, {"--help", "-c"}, {"-hh"}, {"--h"}, {"-d"}, {"help"}, {"/nonexistent/vantor.conf"}}) {
        SCOPED_TRACE(args[0]);
        expect_outcome(vt::run_vantor(args, {}, std::nullopt, dir_.path()), "",
                       "Imposible abrir '" + args[0] + "'\n", 255);
    }
    // With a second argument "-h" is read as the file it names.
    make_table_with_rows(2);
    write(config(), "-h");
    expect_outcome(vt::run_vantor({"-h", "-d"}, {}, std::nullopt, dir_.path()), done, "", 0);
    EXPECT_EQ(count(), "0");
}

TEST_F(Driver, MissingKeysAreListedInOrder)
{
    std::string all;
    for (const auto &k : vt::config_keys)
        all += missing_line(k);
    struct Case {
        const char *what;
        std::string text;
        std::string out;
    };
    std::vector<Case> cases = {
        {"empty file", "", all},
        {"only comments and blank lines", "# nada\n\n   # tampoco\r\n\t\n", all},
        {"ftpport and dbname", Config(config()).remove("ftpport").remove("dbname").text(),
         missing_line("ftpport") + missing_line("dbname")},
        {"last and first", Config(config()).remove("dbpass").remove("localroot").text(),
         missing_line("localroot") + missing_line("dbpass")},
    };
    for (const auto &k : vt::config_keys)
        cases.push_back({"single key", Config(config()).remove(k).text(), missing_line(k)});
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + "\n" + c.text);
        vt::write_file(dir_ / "vantor.conf", c.text);
        expect_outcome(vt::run_vantor({dir_ / "vantor.conf", "-c"}), c.out, "", 255);
    }
    // The key check comes before the database: nothing was created.
    EXPECT_FALSE(table_exists(table_));
}

TEST_F(Driver, UnreadableConfigurationEndsLikeAnEmptyOne)
{
    // A folder opens for reading but every read fails: the parse must end
    // as at the end of the file, not cycle.
    vt::make_dirs(dir_ / "carpeta.conf");
    std::string all;
    for (const auto &k : vt::config_keys)
        all += missing_line(k);
    expect_outcome(vt::run_vantor({dir_ / "carpeta.conf"}), all, "", 255);
}

TEST_F(Driver, UnknownOptionsConnectAndEndNormally)
{
    make_table_with_rows(1);
    const std::string conf = write(config());
    for (const char *opt : {"-x", "-h", "-?", "--help", "-upd", "-creates", "-deletes", "-re", "-rebuilds",
                            "c", "--c", "", "-"}) {
        SCOPED_TRACE(opt);
        expect_outcome(vt::run_vantor({conf, opt}), done, "", 0);
    }
    EXPECT_EQ(count(), "1");
    // An empty quoted value still counts as present.
    expect_outcome(vt::run_vantor({write(config().set("ftppass", "").set("remoteroot", "")), "-x"}), done,
                   "", 0);
    // The connection is made before the option is looked at.
    expect_outcome(vt::run_vantor({write(config().set("dbpass", "mala")), "-x"}),
                   server_error(db().user(), "mala", "SELECT 1"), "", 1);
}

TEST_F(Driver, OptionsIgnoreLetterCase)
{
    const std::string conf = write(config());
    expect_outcome(vt::run_vantor({conf, "-CREATE"}), done, "", 0);
    EXPECT_TRUE(table_exists(table_));
    db().query("DROP TABLE " + table_);
    expect_outcome(vt::run_vantor({conf, "-C"}), done, "", 0);
    EXPECT_TRUE(table_exists(table_));

    for (const char *opt : {"-D", "-Delete", "-DELETE", "-dElEtE"}) {
        SCOPED_TRACE(opt);
        db().query("INSERT INTO " + table_ + " VALUES ('/', 'a.html', 1, 2, 2003, 4, 5, 6)");
        expect_outcome(vt::run_vantor({conf, opt}), done, "", 0);
        EXPECT_EQ(count(), "0");
    }

    vt::write_file(dir_ / "web/uno.txt", "1");
    for (const char *opt : {"-R", "-Rebuild", "-REBUILD"}) {
        SCOPED_TRACE(opt);
        db().query("INSERT INTO " + table_ + " VALUES ('/', 'viejo.html', 1, 2, 2003, 4, 5, 6)");
        expect_outcome(vt::run_vantor({conf, opt}), done, "", 0);
        Rows r = db().query("SELECT Ruta, Nombre FROM " + table_);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0][1], "uno.txt");
    }
}

TEST_F(Driver, ConnectionFailuresPrintTheLibraryTextAlone)
{
    db().add_account("sinbase", "s-pass", "");
    const int closed_port = vt::free_port();
    struct Case {
        const char *what;
        Config conf;
        std::string out;
    };
    std::vector<Case> cases = {
        {"wrong password", config().set("dbpass", "mala"), server_error(db().user(), "mala", "SELECT 1")},
        {"unknown account", config().set("dbuser", "nadie"), server_error("nadie", db().password(), "SELECT 1")},
        {"database without rights", config().set("dbuser", "sinbase").set("dbpass", "s-pass"),
         "Access denied for user 'sinbase'@'%' to database 'vantor'"},
        {"unknown database", config().set("dbname", "no_existe"),
         "Access denied for user 'vantor'@'%' to database 'no_existe'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        expect_outcome(vt::run_vantor({write(c.conf), "-c"}), c.out, "", 1);
    }
    // The library's own text when nothing listens (its errno varies).
    Outcome o = vt::run_vantor({write(config().set("dbport", std::to_string(closed_port))), "-c"});
    EXPECT_EQ(o.status, 1) << vt::describe(o);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out.rfind("Can't connect to server on '127.0.0.1' (", 0), 0u) << o.out;
    EXPECT_EQ(o.out.back(), ')') << o.out;
    EXPECT_FALSE(table_exists(table_));
}

TEST_F(Driver, PortIsReadUpToTheFirstNonDigit)
{
    const std::string port = std::to_string(db().port());
    for (const std::string &p : {port + "abc", " " + port, "+" + port, "00" + port, port + ".5"}) {
        SCOPED_TRACE(p);
        expect_outcome(vt::run_vantor({write(config().set("dbport", p)), "-x"}), done, "", 0);
    }
    // Beyond the range of an integer: a connection error, never a crash.
    for (const char *p : {"99999999999999999999", "-99999999999999999999"}) {
        SCOPED_TRACE(p);
        Outcome o = vt::run_vantor({write(config().set("dbport", p)), "-x"});
        EXPECT_EQ(o.signal, 0) << vt::describe(o);
        EXPECT_EQ(o.status, 1) << vt::describe(o);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out.find('\n'), std::string::npos) << o.out;
    }
}

TEST_F(Driver, CreateMakesTheExactIndexedTable)
{
    expect_outcome(vt::run_vantor({write(config()), "-c"}), done, "", 0);

    Rows cols = db().query(
        "SELECT COLUMN_NAME, COLUMN_TYPE, COLLATION_NAME FROM information_schema.COLUMNS "
        "WHERE TABLE_SCHEMA='vantor' AND TABLE_NAME='" + table_ + "' ORDER BY ORDINAL_POSITION");
    const std::vector<std::pair<std::string, std::string>> want = {
        {"Ruta", "char(255)"}, {"Nombre", "char(255)"}, {"Dia", "int(2)"},    {"Mes", "int(2)"},
        {"Anio", "int(4)"},    {"Hora", "int(2)"},      {"Minuto", "int(2)"}, {"Segundo", "int(2)"}};
    ASSERT_EQ(cols.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(cols[i][0], want[i].first);
        EXPECT_EQ(cols[i][1], want[i].second);
        if (i < 2) {
            EXPECT_EQ(cols[i][2], "utf8mb4_bin") << want[i].first;
        }
    }

    Rows idx = db().query(
        "SELECT INDEX_NAME, SEQ_IN_INDEX, COLUMN_NAME, NON_UNIQUE FROM information_schema.STATISTICS "
        "WHERE TABLE_SCHEMA='vantor' AND TABLE_NAME='" + table_ + "' ORDER BY INDEX_NAME, SEQ_IN_INDEX");
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[0][0], idx[1][0]);
    EXPECT_EQ(idx[0][2], "Ruta");
    EXPECT_EQ(idx[1][2], "Nombre");
    EXPECT_EQ(idx[0][3], "1");  // not unique

    // Names differing in case or accents are distinct rows; the lookup uses
    // the index.
    std::string values;
    for (int i = 0; i < 200; ++i)
        values += std::string(i ? "," : "") + "('/d" + std::to_string(i % 20) + "/', 'f" + std::to_string(i) +
                  ".html', 1, 1, 2000, 0, 0, 0)";
    db().query("INSERT INTO " + table_ + " VALUES " + values);
    db().query("INSERT INTO " + table_ + " VALUES ('/', 'index.html', 1, 1, 2000, 0, 0, 0), "
               "('/', 'ano.html', 1, 1, 2000, 0, 0, 0)");
    db().query("ANALYZE TABLE " + table_);
    const std::string where = " WHERE Ruta='/' AND Nombre=";
    EXPECT_EQ(db().query("SELECT Dia FROM " + table_ + where + "'index.html'").size(), 1u);
    EXPECT_EQ(db().query("SELECT Dia FROM " + table_ + where + "'Index.html'").size(), 0u);
    EXPECT_EQ(db().query("SELECT Dia FROM " + table_ + where + "'año.html'").size(), 0u);
    Rows plan = db().query("EXPLAIN SELECT Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + table_ + where +
                           "'index.html'");
    ASSERT_EQ(plan.size(), 1u);
    // EXPLAIN columns: id, select_type, table, type, possible_keys, key, ...
    EXPECT_EQ(plan[0][3], "ref");
    EXPECT_EQ(plan[0][5], idx[0][0]);
}

TEST_F(Driver, SecondCreateReportsTheStatement)
{
    const std::string conf = write(config());
    expect_outcome(vt::run_vantor({conf, "-create"}), done, "", 0);
    expect_outcome(vt::run_vantor({conf, "-create"}),
                   "Table '" + table_ + "' already exists" + "Consulta: '" + create_statement(table_) + "'\n", "",
                   1);
}

TEST_F(Driver, CreateWithoutRights)
{
    db().add_account("sincrear", "c-pass", "SELECT, INSERT, UPDATE, DELETE");
    db().add_account("sinalterar", "a-pass", "SELECT, INSERT, UPDATE, DELETE, CREATE, DROP");

    Config c = config().set("dbuser", "sincrear").set("dbpass", "c-pass");
    expect_outcome(vt::run_vantor({write(c), "-c"}),
                   server_error("sincrear", "c-pass", create_statement(table_)) + "Consulta: '" +
                       create_statement(table_) + "'\n",
                   "", 1);
    EXPECT_FALSE(table_exists(table_));

    // The table is made, but the second statement (exact collation and
    // index) fails: reported the same way, and the table is dropped again.
    c = config().set("dbuser", "sinalterar").set("dbpass", "a-pass");
    Outcome o = vt::run_vantor({write(c), "-c"});
    const std::string alter = "ALTER TABLE " + table_;
    EXPECT_EQ(o.status, 1) << vt::describe(o);
    EXPECT_EQ(o.err, "");
    const std::string head =
        "ALTER command denied to user 'sinalterar'@'127.0.0.1' for table `vantor`.`" + table_ + "`Consulta: '" + alter;
    EXPECT_EQ(o.out.substr(0, head.size()), head);
    EXPECT_EQ(o.out.substr(o.out.size() - 2), "'\n") << o.out;
    EXPECT_FALSE(table_exists(table_));

    // Without the right to drop it either, the half-made table is named;
    // an update run on it says once what it lacks, and goes on.
    db().add_account("sinborrartabla", "d-pass", "SELECT, INSERT, UPDATE, DELETE, CREATE");
    c = config().set("dbuser", "sinborrartabla").set("dbpass", "d-pass");
    o = vt::run_vantor({write(c), "-c"});
    const std::string left = "La tabla " + table_ + " quedo a medio crear y no se pudo borrar (" +
                             server_error("sinborrartabla", "d-pass", "DROP TABLE " + table_) +
                             "): borrela con DROP TABLE " + table_ + "\n";
    EXPECT_TRUE(o.out.ends_with(left)) << o.out;
    o = vt::run_vantor({write(config()), "-u"});
    EXPECT_EQ(o.err, "Aviso: la tabla " + table_ +
                         " no tiene la comparacion exacta de nombres o el indice (Ruta, Nombre): completela con " +
                         alter + " CONVERT TO CHARACTER SET utf8mb4 COLLATE utf8mb4_bin, ADD INDEX (Ruta, Nombre)\n");
    EXPECT_EQ(o.out.rfind("Vantor v0.9.1\nConectamos a 127.0.0.1:1\n", 0), 0u) << o.out;
}

// Secrets others can read are named with the fix, and the run goes on;
// passwords from a variable and a file are used and never shown.
TEST_F(Driver, SecretsOthersCanReadAreNamed)
{
    make_table_with_rows(0);
    const std::string conf = dir_ / "m.conf", key = dir_ / "clave";
    vt::write_file(key, db().password() + "\r\n");
    chmod(key.c_str(), 0640);
    const std::string open =
        "Aviso: otros usuarios pueden leer '" + conf + "', que guarda contrasenas (permisos 0644): chmod 600 " + conf + "\n";
    for (const auto &[c, err] : std::vector<std::pair<Config, std::string>>{
             {config(), open},
             {config().remove("ftppass").remove("dbpass").set("ftppassenv", "VANTOR_FTP").set("dbpassfile", key), ""},
             {config().remove("dbpass").set("dbpassenv", "VANTOR_DB"), open},
             {config().set("protocol", "sftp").set("sshkeyfile", key),
              open + "Aviso: otros usuarios pueden leer la clave '" + key + "' (permisos 0640): chmod 600 " + key + "\n"}}) {
        chmod(c.write(conf).c_str(), 0644);
        Outcome o = vt::run_vantor({conf, "-x"}, {{"VANTOR_FTP", "ftp-secreto"}, {"VANTOR_DB", db().password()}});
        expect_outcome(o, done, err, 0);
        for (const std::string &s : {db().password(), std::string("secreto")})
            EXPECT_EQ((o.out + o.err).find(s), std::string::npos) << s;
    }
}

TEST_F(Driver, ClearEmptiesTheTableAndKeepsIt)
{
    make_table_with_rows(0);
    const std::string conf = write(config());
    expect_outcome(vt::run_vantor({conf, "-d"}), done, "", 0);
    EXPECT_TRUE(table_exists(table_));
    for (int i = 0; i < 3; ++i)
        db().query("INSERT INTO " + table_ + " VALUES ('/', 'it''s.html', 1, 2, 2003, 4, 5, 6)");
    expect_outcome(vt::run_vantor({conf, "-delete"}), done, "", 0);
    EXPECT_EQ(count(), "0");
    EXPECT_TRUE(table_exists(table_));
}

TEST_F(Driver, ClearAndCreateFailuresUseTheQuotedForm)
{
    make_table_with_rows(2);
    vt::write_file(dir_ / "web/a.txt", "a");
    db().add_account("sinborrar", "b-pass", "SELECT, INSERT");
    struct Case {
        const char *what;
        Config conf;
        const char *option;
        std::string out;
    };
    const Config missing = config().set("dbtablename", "no_existe");
    const Config no_delete = config().set("dbuser", "sinborrar").set("dbpass", "b-pass");
    const std::string create_it = "La tabla no_existe no existe: creela con vantor " + (dir_ / "vantor.conf") + " -c\n";
    std::vector<Case> cases = {
        {"clear, missing table", missing, "-d",
         "Table 'vantor.no_existe' doesn't exist" + std::string("Consulta: 'DELETE FROM no_existe'\n") + create_it},
        {"rebuild, missing table", missing, "-r",
         "Table 'vantor.no_existe' doesn't exist" + std::string("Consulta: 'DELETE FROM no_existe'\n") + create_it},
        {"dry run, missing table", missing, "-l",
         "Table 'vantor.no_existe' doesn't exist\nConsulta: SELECT Dia, Mes, Anio, Hora, Minuto, Segundo FROM "
         "no_existe WHERE Ruta='/' AND Nombre='a.txt'\n" + create_it},
        {"clear without the right", no_delete, "-d",
         server_error("sinborrar", "b-pass", "DELETE FROM " + table_) + "Consulta: 'DELETE FROM " + table_ + "'\n"},
        {"create on a table name the server refuses", config().set("dbtablename", "mal nombre"), "-c",
         server_error(db().user(), db().password(), create_statement("mal nombre")) + "Consulta: '" +
             create_statement("mal nombre") + "'\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        expect_outcome(vt::run_vantor({write(c.conf), c.option}), c.out, "", 1);
    }
    EXPECT_EQ(count(), "2");
}

TEST_F(Driver, ConfigurationGrammarEndToEnd)
{
    const Config base = config();
    auto quoted = [&](const std::string &key) { return key + " = \"" + base.get(key) + "\"\n"; };
    std::string rest;  // every key after remoteroot, quoted
    for (size_t i = 2; i < vt::config_keys.size(); ++i)
        rest += quoted(vt::config_keys[i]);

    struct Case {
        const char *what;
        std::string text;
        std::string option;
        std::string out;
        int status;
    };
    std::vector<Case> cases = {
        {"an unquoted path swallows the next line's value",
         "localroot = /srv/web\nremoteroot = \"/htdocs\"\n" + rest, "-x", missing_line("remoteroot"), 255},
        {"CR LF, capitals, comments, bare digits, optional and repeated equals signs",
         "# vantor\r\n" + quoted("localroot") + "REMOTEROOT \"/htdocs\"   # raiz remota\r\n" +
             "   FtpServer == \"127.0.0.1\"\r\nftpport 21\r\nftpuser = \"u\"\r\nftppass = \"p # no es comentario\"\r\n" +
             "dbserver = \"" + base.get("dbserver") + "\"\r\ndbport = " + base.get("dbport") + "\r\n" +
             "dbname = \"vantor\" dbuser = \"nadie\"\r\n" + quoted("dbtablename") + quoted("dbuser") +
             quoted("dbpass"),
         "-d", done, 0},
        {"the first of two entries wins", "dbpass = \"mala\"\n" + base.text(), "-d",
         server_error(db().user(), "mala", "SELECT 1"), 1},
        {"a tab before the equals sign joins the key", Config(base).remove("dbpass").text() + "dbpass\t= \"x\"\n",
         "-d", missing_line("dbpass"), 255},
        {"a key alone on its line joins the next one",
         Config(base).remove("ftpuser").remove("ftppass").text() + "ftpuser\nftppass = \"p\"\n", "-d",
         missing_line("ftpuser") + missing_line("ftppass"), 255},
    };
    make_table_with_rows(1);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + "\n" + c.text);
        vt::write_file(dir_ / "g.conf", c.text);
        chmod((dir_ / "g.conf").c_str(), 0600);
        expect_outcome(vt::run_vantor({dir_ / "g.conf", c.option}), c.out, "", c.status);
    }
    EXPECT_EQ(count(), "0");  // the CR LF file reached the table
}

// The output owner alone: lines written after a queued row wait for its
// answer, and a failed row's report comes after exactly the lines written
// before it.
TEST(OutputOwner, HoldsLinesUntilTheirRowsAreAnswered)
{
    const fallo second_row{"Duplicate entry\n", "INSERT x", forma::linea, 1};
    const std::string report = "Duplicate entry\n\nConsulta: INSERT x\n";
    struct Case {
        const char *what;
        std::function<void(salida &)> run;
        std::string out;
    } cases[] = {
        {"no row: at once", [](salida &o) { o.escribe("a\n"); }, "a\n"},
        {"held while its row is unanswered",
         [](salida &o) { o.escribe("a\n"); o.marca_fila(); o.escribe("b\n"); o.respondidas(1); }, "a\n"},
        {"written once the row is answered",
         [](salida &o) { o.marca_fila(); o.escribe("b\n"); o.respondidas(0); o.escribe("c\n"); }, "b\nc\n"},
        {"a failed second row: what came before it, then its report",
         [&](salida &o) {
             o.escribe("a\n"); o.marca_fila(); o.escribe("b\n"); o.marca_fila(); o.escribe("c\n");
             EXPECT_EQ(o.informa(second_row), estado::base_de_datos);
             o.escribe("d\n");
         },
         "a\nb\n" + report + "d\n"},
        {"a failed second row after the first was answered",
         [&](salida &o) {
             o.marca_fila(); o.escribe("b\n"); o.marca_fila(); o.escribe("c\n"); o.marca_fila(); o.escribe("d\n");
             o.respondidas(2);
             EXPECT_EQ(o.informa(second_row), estado::base_de_datos);
         },
         "b\nc\n" + report},
        {"another failure: everything held first",
         [](salida &o) {
             o.marca_fila();
             o.escribe("b\n");
             (void)o.informa(fallo{"Gone\n", "SELECT 1", forma::desnuda});
         },
         "b\nGone\n"},
        {"the last line of a stopped run",
         [](salida &o) {
             o.marca_fila();
             o.escribe("b\n");
             o.escribe_ultima("z\n");
         },
         "b\nz\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStdout();
        {
            salida o;
            c.run(o);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    }
}

}  // namespace
