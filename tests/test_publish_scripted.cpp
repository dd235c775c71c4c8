// Update runs of the real binary against the scripted FTP server, for the
// replies real servers do not give on demand: the command sequence of the
// folder climb, the single retry, every failure line, lost control
// connections and an interrupt in the middle of a stalled transfer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "support/scripted_site.h"
#include "support/text.h"

namespace {

using namespace std::chrono_literals;
using Commands = std::vector<std::string>;
using pub::Site;
using vt::Reply;

const std::string file = "/docs/img/a.png";
const std::string remote = "/htdocs/docs/img/a.png";
const std::string bytes("PNG\r\n\0\x1a\n", 8);

const Commands login = {"USER vantor", "PASS secreto", "PWD"};
// The first transfer of a connection sets binary mode; later ones keep it.
const Commands put = {"EPSV", "TYPE I", "STOR " + remote};
const Commands reput = {"EPSV", "STOR " + remote};

Commands join(std::initializer_list<Commands> parts)
{
    Commands all;
    for (const Commands &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A site with one file, /docs/img/a.png, published to the scripted server.
struct Fixture : pub::ScriptedSite {
    Fixture() : ScriptedSite("scripted") { site.put(file, bytes, when); }

    std::string local() { return site.local(file); }

    const time_t when = pub::at(2021, 2, 3, 4, 5, 6);
};

// The first refusal takes the folder to be missing: the climb goes up while
// creation fails, then creates each level on the way down and puts the file
// once more. 553 (pure-ftpd, vsftpd) counts like 550.
struct Climb : Fixture, testing::WithParamInterface<std::string> {};

TEST_P(Climb, MissingFoldersAreCreatedFromTheTopAndTheFileSentAgain)
{
    ftp.queue("STOR", remote, Reply::line(GetParam() + " " + remote + ": No such file or directory."));
    ftp.queue("MKD", "/htdocs/docs/img", Reply::line("550 /htdocs/docs/img: No such file or directory."));

    pub::expect_run(site.run(), header() + pub::new_file(file) + "Terminado!!!\n");

    EXPECT_EQ(ftp.sessions(), std::vector<Commands>{
                                  join({login,
                                        put,
                                        {"MKD /htdocs/docs/img", "MKD /htdocs/docs", "MKD /htdocs/docs/img"},
                                        reput,
                                        {"QUIT"}})});
    auto stored = ftp.stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].path, remote);
    EXPECT_EQ(stored[0].bytes, bytes);
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/docs/img/", "a.png"}, when)});

    // Nothing changed: the next run logs in and out and sends nothing else.
    pub::expect_run(site.run(), header() + "Terminado!!!\n");
    ASSERT_EQ(ftp.sessions().size(), 2u);
    EXPECT_EQ(ftp.sessions()[1], join({login, {"QUIT"}}));
}

INSTANTIATE_TEST_SUITE_P(Refusals, Climb, testing::Values("550", "553"),
                         [](const auto &i) { return "reply_" + i.param; });

// A failed upload: its lines sit between the file's welcome and the run's
// "ERROR al subir" line, no row is written, and the run ends normally with
// status 2, which says that something was left unpublished.
struct Failure {
    const char *what;
    std::function<void(vt::ScriptedFtp &)> script;
    // The lines of the failure; {L} and {R} stand for local and remote path.
    std::string lines;
    std::vector<Commands> sessions;
};

struct Failures : Fixture {};

std::string fill(std::string s, const std::string &local)
{
    for (auto [from, to] : {std::pair<std::string, std::string>{"{L}", local}, {"{R}", remote}})
        for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
            s.replace(p, from.size(), to);
    return s;
}

TEST_F(Failures, EachFailureIsReportedWithItsLinesAndLeavesNoRow)
{
    const std::vector<Failure> cases = {
        {"a refusal other than 550 or 553 creates nothing and is not retried",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::line("451 Requested action aborted: local error."));
         },
         "Error subiendo archivo {R} desde {L}:\n451 Requested action aborted: local error.\n\n",
         {join({login, put, {"QUIT"}})}},
        {"a final 451 after the data is a failed upload",
         [](vt::ScriptedFtp &f) { f.queue("STOR", Reply::transfer("451 Transfer aborted: disk full.")); },
         "Error subiendo archivo {R} desde {L}:\n451 Transfer aborted: disk full.\n\n",
         {join({login, put, {"QUIT"}})}},
        {"a final 426 after the data is a failed upload",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::transfer("426 Connection closed; transfer aborted."));
         },
         "Error subiendo archivo {R} desde {L}:\n426 Connection closed; transfer aborted.\n\n",
         {join({login, put, {"QUIT"}})}},
        {"no folder can be created: the climb reaches the top, which is tried twice",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::line("550 Permission denied."));
             f.set_default("MKD", Reply::line("550 {arg}: Permission denied."));
         },
         "Intentamos crear el directorio /htdocs\n"
         "Error creando directorio /htdocs/docs/img:\n550 /htdocs: Permission denied.\n\n",
         {join({login,
                put,
                {"MKD /htdocs/docs/img", "MKD /htdocs/docs", "MKD /htdocs", "MKD /htdocs", "QUIT"}})}},
        {"the climb stops at the first level that cannot be made a second time",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::line("553 Could not create file."));
             f.queue("MKD", Reply::line("550 a."));
             f.queue("MKD", Reply::line("550 b."));
             f.queue("MKD", Reply::line("550 c."));
             f.queue("MKD", Reply::line("257 d."));
             f.queue("MKD", Reply::line("550 e."));
         },
         "Intentamos crear el directorio /htdocs\n"
         "Error creando directorio /htdocs/docs/img:\n550 e.\n\n",
         {join({login,
                put,
                {"MKD /htdocs/docs/img", "MKD /htdocs/docs", "MKD /htdocs", "MKD /htdocs", "MKD /htdocs/docs",
                 "QUIT"}})}},
        {"the one retry after creating the folder fails too",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::line("550 No such directory."));
             f.queue("STOR", Reply::line("550 Still refused."));
         },
         "Error subiendo archivo aun habiendo creado el directorio:\n{L} a {R}\n550 Still refused.\n\n",
         {join({login, put, {"MKD /htdocs/docs/img"}, reput, {"QUIT"}})}},
        {"the connection is lost and the new login is refused",
         [](vt::ScriptedFtp &f) {
             f.queue("STOR", Reply::line_then_close("421 Timeout."));
             f.queue("PASS", Reply::line("230 Logged in."));
             f.queue("PASS", Reply::line("530 Login incorrect."));
         },
         "Error subiendo archivo {R} desde {L}:\n530 Login incorrect.\n\n",
         {join({login, put}), {"USER vantor", "PASS secreto"}}},
    };
    for (const Failure &c : cases) {
        SCOPED_TRACE(c.what);
        vt::ScriptedFtp f;
        c.script(f);
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        pub::expect_run(site.run(), pub::header(f.port()) + "NUEVO ARCHIVO!!!  Bienvenido " + file + "!\n" +
                                        fill(c.lines, local()) + "===> ERROR al subir " + file +
                                        "\nTerminado!!!\n",
                        2);
        EXPECT_EQ(f.sessions(), c.sessions);
        EXPECT_EQ(site.rows(), pub::Rows{});
    }
}

// atomic = "yes": the file goes under its temporary name (its own run's:
// .a.png, 16 hexadecimal digits, .vantor-tmp), then RNFR/RNTO. A server
// that refuses to rename over an existing file gets that file deleted and
// the rename once more; a rename refused for good leaves no temporary copy,
// and the reply that refused it is the failure's. A temporary copy that is
// gone (RNFR refused) is a failed upload, and the published file is never
// deleted for it (the library drops that connection: no QUIT).
TEST_F(Failures, ARefusedRenameLeavesNoTemporaryCopy)
{
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::string>> replies;  // RNFR, RNTO and DELE, in order
        Commands after;  // {T}: the temporary name
        const char *refusal;  // the failure's reply, or none
    } cases[] = {
        {"over an existing name",
         {{"RNTO", "553 File exists."}, {"DELE", "250 Deleted."}},
         {"RNFR {T}", "RNTO " + remote, "DELE " + remote, "RNFR {T}", "RNTO " + remote, "QUIT"},
         nullptr},
        {"refused for good",
         {{"RNTO", "553 Rename not allowed."}, {"DELE", "550 No such file."}, {"DELE", "250 Deleted."}},
         {"RNFR {T}", "RNTO " + remote, "DELE " + remote, "DELE {T}", "QUIT"},
         "553 Rename not allowed."},
        {"the temporary copy gone", {{"RNFR", "550 No such file."}}, {"RNFR {T}"}, "550 No such file."},
    };
    site.config().set("atomic", "yes");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vt::ScriptedFtp f;
        f.set_default("RNFR", Reply::line("350 Ready for RNTO."));
        f.set_default("RNTO", Reply::line("250 Renamed."));
        for (const auto &[command, reply] : c.replies)
            f.queue(command, Reply::line(reply));
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        site.run({"-d"});
        const std::string lines =
            c.refusal ? fill("Error subiendo archivo {R} desde {L}:\n", local()) + c.refusal +
                            "\n\n===> ERROR al subir " + file + "\n"
                      : "===> " + file + " subido con exito\n";
        pub::expect_run(site.run(), pub::header(f.port()) + "NUEVO ARCHIVO!!!  Bienvenido " + file + "!\n" + lines +
                                        "Terminado!!!\n",
                        c.refusal ? 2 : 0);
        const std::vector<Commands> sessions = f.sessions();
        ASSERT_EQ(sessions.size(), 1u);
        const Commands &got = sessions[0];
        ASSERT_GT(got.size(), login.size() + 2);
        const std::string temp = got[login.size() + 2].substr(5);
        EXPECT_TRUE(vt::temporary_of(temp, "/htdocs/docs/img/.a.png")) << temp;
        Commands after;
        for (std::string a : c.after) {
            if (const size_t t = a.find("{T}"); t != std::string::npos)
                a.replace(t, 3, temp);
            after.push_back(a);
        }
        EXPECT_EQ(got, join({login, {"EPSV", "TYPE I", "STOR " + temp}, after}));
        EXPECT_EQ(site.rows().size(), c.refusal ? 0u : 1u);
    }
}

// A local entry that is not a regular file is reported with its own reason
// and costs no FTP command.
TEST_F(Failures, ALocalFifoIsReportedWithoutATransfer)
{
    ASSERT_EQ(unlink(local().c_str()), 0);
    ASSERT_EQ(mkfifo(local().c_str(), 0644), 0);
    pub::expect_run(site.run(), header() + "NUEVO ARCHIVO!!!  Bienvenido " + file + "!\n" +
                                    "Error subiendo archivo " + remote + " desde " + local() +
                                    ":\nNo es un archivo regular\n===> ERROR al subir " + file +
                                    "\nTerminado!!!\n",
                    2);
    EXPECT_EQ(ftp.sessions(), std::vector<Commands>{join({login, {"QUIT"}})});
    EXPECT_EQ(site.rows(), pub::Rows{});
}

// A changed file whose upload fails keeps its old row and is reported
// without a welcome; the run goes on with the next file.
TEST_F(Failures, AChangedFileThatFailsKeepsItsRow)
{
    const std::string other = "/docs/img/b.txt";
    site.put(other, "otro", when);
    vt::shared_mariadb().query("INSERT INTO " + site.table() +
                               " VALUES ('/docs/img/', 'a.png', 3, 2, 2021, 4, 5, 5)");
    ftp.queue("STOR", remote, Reply::line("452 Insufficient storage space."));

    std::string want = header();
    for (const pub::Entry &e : pub::listing(site.local()))
        want += e.nombre == "a.png"
                    ? "Error subiendo archivo " + remote + " desde " + local() +
                          ":\n452 Insufficient storage space.\n\n===> ERROR al subir " + file + "\n"
                    : pub::new_file(other);
    pub::expect_run(site.run(), want + "Terminado!!!\n", 2);
    EXPECT_EQ(site.rows(), pub::sorted({{"/docs/img/", "a.png", "3", "2", "2021", "4", "5", "5"},
                                        pub::row({"/docs/img/", "b.txt"}, when)}));
}

// FTP ends a command at CR LF, so a local name holding one cannot travel.
// Whatever the run says about it, no command of its own may reach the
// server, it gets no row, and the replies stay in step for the next file.
TEST_F(Failures, ANameWithALineBreakSendsNoCommandOfItsOwn)
{
    ASSERT_EQ(unlink(local().c_str()), 0);
    const std::string name = "x\r\nDELE importante.html";
    site.put("/" + name, "x", when);
    site.put("/y.txt", "y", when);

    vt::Outcome o = site.run();
    EXPECT_EQ(o.status, 2) << vt::describe(o);
    EXPECT_NE(o.out.find(pub::new_file("/y.txt")), std::string::npos) << o.out;
    for (const std::string &c : ftp.commands())
        EXPECT_FALSE(c.starts_with("DELE")) << c;
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/", "y.txt"}, when)});
}

// The run ends with status -1 when it cannot connect or log in; the line
// after the failure gives the reason.
TEST(Start, ConnectionAndLoginFailures)
{
    struct Case {
        const char *what;
        std::function<void(vt::ScriptedFtp &, Site &)> script;
        std::string tail;  // the lines after "Conectamos a ..."
        std::vector<Commands> sessions;
    };
    const std::vector<Case> cases = {
        {"nothing listens",
         [](vt::ScriptedFtp &, Site &s) { s.ftp("127.0.0.1", vt::free_port(), "vantor", "secreto"); },
         "Error al conectar\nConnection refused\n",
         {}},
        {"reset instead of the greeting",
         [](vt::ScriptedFtp &f, Site &) { f.set_greeting(Reply::abort()); },
         "Error al conectar\nConnection reset by peer\n",
         {{}}},
        {"password refused",
         [](vt::ScriptedFtp &f, Site &) { f.queue("PASS", Reply::line("530 Login incorrect.")); },
         "Conectado!!!\nError al identificarse\n530 Login incorrect.\n\n",
         {{"USER vantor", "PASS secreto"}}},
        {"a long password is sent whole",
         [](vt::ScriptedFtp &f, Site &s) {
             s.config().set("ftppass", std::string(200, 'p'));
             f.queue("PASS", Reply::line("530 Login incorrect."));
         },
         "Conectado!!!\nError al identificarse\n530 Login incorrect.\n\n",
         {{"USER vantor", "PASS " + std::string(200, 'p')}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vt::ScriptedFtp f;
        Site site("start");
        site.ftp(f.host(), f.port(), f.user(), f.pass());
        c.script(f, site);
        site.create_table();
        site.put("/index.html", "x", pub::at(2024, 1, 1, 0, 0, 0));
        pub::expect_run(
            site.run(),
            "Vantor v0.9.1\nConectamos a 127.0.0.1:" + site.config().get("ftpport") + "\n" + c.tail, 255);
        f.wait_for_disconnect(2s);
        EXPECT_EQ(f.sessions(), c.sessions);
        EXPECT_EQ(site.rows(), pub::Rows{});
    }
}

// The server closes the control connection under the upload (an idle
// timeout, a restart): the run logs in once more, sends the file again and
// says nothing about it.
struct LostCase {
    const char *name;
    const char *command;  // the command whose answer ends the connection
    Reply reply;
    friend void PrintTo(const LostCase &c, std::ostream *os) { *os << c.name; }
};

struct Lost : Fixture, testing::WithParamInterface<LostCase> {};

TEST_P(Lost, TheFileIsStoredOverANewSession)
{
    const LostCase &c = GetParam();
    const std::string command = c.command;
    // What the first session receives up to the command that ends it.
    Commands first = join({login, command == "TYPE" ? Commands{"EPSV", "TYPE I"} : put});
    if (command == "MKD") {
        ftp.queue("STOR", Reply::line("550 No such directory."));
        first.push_back("MKD /htdocs/docs/img");
    }
    ftp.queue(c.command, c.reply);

    pub::expect_run(site.run(), header() + pub::new_file(file) + "Terminado!!!\n");

    auto sessions = ftp.sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0], first);
    EXPECT_EQ(sessions[1], join({login, put, {"QUIT"}}));
    auto stored = ftp.stored();
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.back().session, 1);
    EXPECT_EQ(stored.back().bytes, bytes);
    EXPECT_EQ(site.rows(), pub::Rows{pub::row({"/docs/img/", "a.png"}, when)});
}

INSTANTIATE_TEST_SUITE_P(
    Connections, Lost,
    testing::Values(LostCase{"closed_before_the_reply", "STOR", Reply::close()},
                    LostCase{"reset_before_the_reply", "STOR", Reply::abort()},
                    LostCase{"closed_with_421", "STOR", Reply::line_then_close("421 Timeout.")},
                    LostCase{"closed_after_the_data", "STOR", Reply::transfer_then_close()},
                    LostCase{"421_to_the_first_command", "TYPE", Reply::line_then_close("421 Timeout.")},
                    LostCase{"421_to_the_folder_creation", "MKD", Reply::line_then_close("421 Timeout.")}),
    [](const auto &i) { return std::string(i.param.name); });

// A row that the server refuses ends the run with its report right after
// the file's lines, as if each row had been awaited before the next file:
// the next file's line never appears, and no row stands for a file that is
// not on the server.
TEST_F(Fixture, ARefusedRowEndsTheRunRightAfterItsFile)
{
    const std::string second = "/docs/img/b.png";
    site.put(second, "b", when);
    auto order = pub::listing(site.local());
    ASSERT_EQ(order.size(), 2u);
    const std::string user = "solo_lee_" + site.table();
    vt::shared_mariadb().add_account(user, "clave", "SELECT");
    site.config().set("dbuser", user).set("dbpass", "clave");

    vt::Outcome o = site.run();

    const pub::Entry first = order[0];
    const std::string insert = "INSERT INTO " + site.table() +
                               " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('" + first.ruta +
                               "', '" + first.nombre + "', 3, 2, 2021, 4, 5, 6)";
    std::string refused;
    try {
        vt::shared_mariadb().query_as(user, "clave", insert);
    } catch (const std::exception &e) {
        refused = e.what();
    }
    ASSERT_FALSE(refused.empty());
    pub::expect_run(o, header() + pub::new_file(first.path()) + refused + "\nConsulta: " + insert + "\n", 1);
    EXPECT_TRUE(site.rows().empty());
    ASSERT_GE(ftp.stored().size(), 1u);
    EXPECT_EQ(ftp.stored()[0].path, "/htdocs" + first.path());
}

// SIGINT while a transfer stalls ends the run within a second with status
// 130; nothing is sent after it, and every line written before it is in
// the captured output. Rows are committed about once a second, so the row
// of the file stored just before may be missing, never the other way round:
// no row stands for the interrupted file.
struct Interrupt : Fixture, testing::WithParamInterface<bool> {};

TEST_P(Interrupt, EndsAStalledTransferAtOnce)
{
    const bool in_the_data = GetParam();
    // A second file, stalled either while its data is sent (nobody reads a
    // large file's data) or while the final reply is awaited.
    const std::string second = "/docs/img/zz.bin";
    site.put(second, std::string(in_the_data ? 64 << 20 : 1000, 'z'), when);
    auto order = pub::listing(site.local());
    ASSERT_EQ(order.size(), 2u);
    const std::string first = order[0].path(), stalled = order[1].path();
    Reply stall = Reply::transfer_then_stall();
    if (in_the_data) {
        stall = Reply::line("150 Ok to send data.");
        stall.end = Reply::End::Stall;
    }
    ftp.queue("STOR", "/htdocs" + stalled, stall);

    vt::Process run(site.spawn());
    ASSERT_TRUE(ftp.wait_for_command("STOR /htdocs" + stalled, 10s));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(run.running());
    auto sent = std::chrono::steady_clock::now();
    run.signal(SIGINT);
    vt::Outcome out = run.wait();
    auto took = std::chrono::steady_clock::now() - sent;

    EXPECT_LT(took, 1s);
    pub::expect_run(out, header() + pub::new_file(first) + "NUEVO ARCHIVO!!!  Bienvenido " + stalled + "!\n",
                    130);
    EXPECT_TRUE(ftp.wait_for_disconnect(2s));
    Commands want =
        join({login, {"EPSV", "TYPE I", "STOR /htdocs" + first, "EPSV", "STOR /htdocs" + stalled}});
    EXPECT_EQ(ftp.sessions(), std::vector<Commands>{want});
    EXPECT_EQ(ftp.stored().size(), in_the_data ? 1u : 2u);
    const pub::Rows rows = site.rows();
    EXPECT_TRUE(rows.empty() || rows == pub::Rows{pub::row(order[0], when)});
}

INSTANTIATE_TEST_SUITE_P(Stalls, Interrupt, testing::Values(true, false),
                         [](const auto &i) { return i.param ? "in_the_data" : "awaiting_the_reply"; });

}  // namespace
