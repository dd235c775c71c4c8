// The configuration grammar, case by case: each text is parsed and the
// entries it yields are compared in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "config/ajustes.h"
#include "config/config.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries parse(const std::string &text)
{
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (text.empty())
        f = fopen("/dev/null", "r");
    s_vars *list = read_config(f);
    fclose(f);
    Entries out;
    for (s_vars *e = list; e; e = e->next)
        out.emplace_back(e->name, e->value);
    free_config(list);
    return out;
}

struct Case {
    const char *what;
    std::string text;
    Entries want;
};

TEST(ConfigGrammar, EntriesAsTheReaderCompletesThem)
{
    const std::string k29(29, 'k');
    const std::string v255(255, 'v');
    const std::string d255(255, '7');
    const std::vector<Case> cases = {
        {"plain", "dbport = 21\n", {{"dbport", "21"}}},
        {"no blanks", "dbport=21\n", {{"dbport", "21"}}},
        {"no equals sign", "dbport 21\n", {{"dbport", "21"}}},
        {"repeated signs", "dbport  ==  = 21\n", {{"dbport", "21"}}},
        {"CR LF", "dbport = 21\r\nftpport = 22\r\n", {{"dbport", "21"}, {"ftpport", "22"}}},
        {"CR only", "dbport = 21\rftpport = 22\r", {{"dbport", "21"}, {"ftpport", "22"}}},
        {"quoted keeps everything", "k = \"a b\t=#c\" # trailing\n", {{"k", "a b\t=#c"}}},
        {"rest of a quoted line ignored", "a \"1\" b \"2\"\nc 3\n", {{"a", "1"}, {"c", "3"}}},
        {"empty quoted value", "k = \"\"\n", {{"k", ""}}},
        {"comment lines", "# x = 1\n   \t# y 2\nk 3\n", {{"k", "3"}}},
        {"number sign inside a key", "a#b 1\n", {{"a#b", "1"}}},
        {"leading zeros kept", "p 0021\n", {{"p", "0021"}}},
        {"minus goes with the gap", "p -5\n", {{"p", "5"}}},
        {"number ends at a point", "p 1.5 trailing\nq 2\n", {{"p", "1"}, {"q", "2"}}},
        {"dotted address unquoted", "h 127.0.0.1\nq 2\n", {{"h", "127"}, {"q", "2"}}},
        {"unquoted word swallows the next line",
         "localroot /var/www\nremoteroot \"/htdocs\"\n",
         {{"localroot", "/htdocs"}}},
        {"number ended by line end keeps the next line", "a 1\nb 2\n", {{"a", "1"}, {"b", "2"}}},
        {"unclosed quote runs to the next quote", "a \"xy\nb \"z\" tail\nc 1\n", {{"a", "xy\nb "}, {"c", "1"}}},
        {"unclosed quote at the end", "a \"xyz", {{"a", "xyz"}}},
        {"opening quote as last byte", "a \"", {}},
        {"one digit as last byte", "a 5", {}},
        {"two digits as last byte", "a 55", {{"a", "55"}}},
        {"one digit then line end", "a 5\n", {{"a", "5"}}},
        {"key of 29 bytes", k29 + " 1\n", {{k29, "1"}}},
        {"key of 30 bytes loses its last", k29 + "x 1\n", {{k29, "1"}}},
        {"key of 31 bytes passes the rest through the gap", k29 + "x9 1\n", {{k29, "9"}}},
        {"bare key joins the next line", "localroot\nremoteroot \"/h\"\n", {{"localroot\nremoteroot", "/h"}}},
        {"TAB before equals is part of the key", "dbport\t= 1\n", {{"dbport\t", "1"}}},
        {"blank line with spaces joins", "a 1\n   \nb 2\n", {{"a", "1"}, {"\nb", "2"}}},
        {"empty lines skipped", "\n\n\r\na 1\n\n", {{"a", "1"}}},
        {"line starting with equals", "= 4\n", {{"", "4"}}},
        {"duplicates kept in order", "a 1\na 2\n", {{"a", "1"}, {"a", "2"}}},
        {"quoted value of 255", "a \"" + v255 + "\"\nb 1\n", {{"a", v255}, {"b", "1"}}},
        {"quoted value of 300 cut", "a \"" + v255 + std::string(45, 'w') + "\" x\nb 1\n", {{"a", v255}, {"b", "1"}}},
        {"number of 256 digits cut", "a " + d255 + "8\nb 1\n", {{"a", d255}, {"b", "1"}}},
        {"NUL ends a stored value", std::string("a \"x\0y\"\nb 1\n", 12), {{"a", "x"}, {"b", "1"}}},
        {"key at end of file", "a", {}},
        {"only blanks and comments", "  \t\n# c\n", {}},
        {"empty", "", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parse(c.text), c.want) << c.what;
}

TEST(ConfigGrammar, LookupIgnoresAsciiCaseAndFirstWins)
{
    FILE *f = fmemopen(const_cast<char *>("DBPORT 1\ndbport 2\nEmpty \"\"\n"), 26, "r");
    s_vars *list = read_config(f);
    fclose(f);
    ASSERT_NE(get_value(list, "dbport"), nullptr);
    EXPECT_STREQ(get_value(list, "dbport"), "1");
    EXPECT_STREQ(get_value(list, "DbPort"), "1");
    ASSERT_NE(get_value(list, "empty"), nullptr);
    EXPECT_STREQ(get_value(list, "empty"), "");
    EXPECT_EQ(get_value(list, "dbpor"), nullptr);
    EXPECT_EQ(get_value(list, "dbport "), nullptr);
    EXPECT_EQ(get_value(nullptr, "dbport"), nullptr);
    free_config(list);
}

// A stream that yields its text and then fails with an error, never with an
// end of file.
ssize_t read_then_fail(void *cookie, char *out, size_t n)
{
    auto *rest = static_cast<std::string *>(cookie);
    if (rest->empty())
        return -1;
    size_t k = std::min(n, rest->size());
    rest->copy(out, k);
    rest->erase(0, k);
    return static_cast<ssize_t>(k);
}

TEST(ConfigGrammar, ReadErrorEndsTheParseLikeEndOfFile)
{
    // A number sign as the current byte when reads start failing would keep
    // a reader that tests only for end of file cycling for ever.
    for (std::string text : {"a 12\n#", "a 12\n  #", "#", "a \"x"}) {
        std::string rest = text;
        cookie_io_functions_t io{read_then_fail, nullptr, nullptr, nullptr};
        FILE *f = fopencookie(&rest, "r", io);
        ASSERT_NE(f, nullptr);
        s_vars *list = read_config(f);
        fclose(f);
        if (text[0] == 'a') {
            ASSERT_NE(list, nullptr) << text;
            EXPECT_EQ(list->next, nullptr);
        }
        free_config(list);
    }

    FILE *dir = fopen("/", "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(read_config(dir), nullptr);
    fclose(dir);
}


// The settings read once from the list: the required keys are all checked
// before anything else, in their order; then every bad optional value is
// reported at once; the rest become typed values.
TEST(Settings, RequiredKeysThenEveryBadValueThenTypedValues)
{
    const std::string twelve =
        "localroot \"/l\"\nremoteroot \"/r\"\nftpserver \"h\"\nftpport 21\nftpuser \"u\"\nftppass \"p\"\n"
        "dbserver \"d\"\ndbport 3306\ndbname \"n\"\ndbtablename \"t\"\ndbuser \"du\"\ndbpass \"dp\"\n";
    std::string bare = twelve;  // passwords from elsewhere
    for (const char *k : {"ftppass \"p\"\n", "dbpass \"dp\"\n"})
        bare.erase(bare.find(k), strlen(k));
    const std::string seven =
        "localroot \"/l\"\nremoteroot \"/r\"\nftpserver \"h\"\nftpport 21\nftpuser \"u\"\nftppass \"p\"\n";
    auto sobra = [](const char *k) {
        return std::string("\"") + k +
               "\" sobra con \"catalogue\": el catalogo es un archivo, sin servidor de base de datos\n";
    };
    struct Case {
        const char *what;
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"nothing", "", {}},
        {"two missing, and a bad value not looked at",
         "ftptls \"x\"\nlocalroot \"/l\"\nremoteroot \"/r\"\nftpserver \"h\"\nftpuser \"u\"\nftppass \"p\"\n"
         "dbserver \"d\"\ndbport 1\ndbtablename \"t\"\ndbuser \"du\"\ndbpass \"dp\"\n",
         {"\"ftpport\" no especificado\n", "\"dbname\" no especificado\n"}},
        {"three bad values", "compare \"size\"\nftpconnections 17\nftptls \"si\"\n" + twelve,
         {"\"ftptls\" debe ser \"no\", \"explicit\" o \"implicit\"\n",
          "\"ftpconnections\" debe ser un numero de 1 a 16\n", "\"compare\" debe ser \"time\" o \"content\"\n"}},
        {"zero connections", twelve + "ftpconnections 0\n", {"\"ftpconnections\" debe ser un numero de 1 a 16\n"}},
        {"atomic neither yes nor no", twelve + "atomic \"si\"\n", {"\"atomic\" debe ser \"no\" o \"yes\"\n"}},
        {"the run lock's table as the catalogue",
         twelve.substr(0, twelve.find("dbtablename")) + "dbtablename \"Vantor_Bloqueo\"\ndbuser \"du\"\ndbpass \"dp\"\n",
         {"\"dbtablename\" no puede ser \"vantor_bloqueo\", la tabla del bloqueo de ejecucion\n"}},
        {"empty and unset variables", bare + "ftppassenv \"VANTOR_VACIA\"\ndbpassenv \"VANTOR_NO_HAY\"\n",
         {"La variable de entorno VANTOR_VACIA que nombra ftppassenv no existe o esta vacia\n",
          "La variable de entorno VANTOR_NO_HAY que nombra dbpassenv no existe o esta vacia\n"}},
        {"two sources, an unreadable file", bare + "ftppass \"p\"\nftppassfile \"/x\"\ndbpassfile \"/no/existe\"\n",
         {"Solo una de \"ftppass\", \"ftppassenv\" y \"ftppassfile\" puede indicarse\n",
          "Imposible leer dbpassfile '/no/existe': No such file or directory\n"}},
        {"good values", twelve + "ftptls \"IMPLICIT\"\nftpconnections 08\ncompare \"Content\"\natomic \"YES\"\n", {}},
        {"a catalogue file, no server and no table", seven + "catalogue \"sitio.db\"\n", {}},
        {"a catalogue file in the home folder", seven + "catalogue \"~/sitio.db\"\ndbtablename \"t\"\n", {}},
        {"a catalogue file beside server keys", "catalogue \"c.db\"\n" + twelve,
         {sobra("dbserver"), sobra("dbport"), sobra("dbname"), sobra("dbuser"), sobra("dbpass")}},
        {"a catalogue file, a missing key and a server key",
         "catalogue \"\"\ndbpass \"x\"\n" + seven.substr(seven.find("remoteroot")),
         {"\"localroot\" no especificado\n", sobra("dbpass"), "\"catalogue\" no puede estar vacio\n"}},
        {"a catalogue file beside a password source of the server",
         seven + "catalogue \"c.db\"\ndbpassenv \"VANTOR_NO_HAY\"\n", {sobra("dbpassenv")}},
    };
    std::vector<std::string> all_missing;
    for (const char *k : {"localroot", "remoteroot", "ftpserver", "ftpport", "ftpuser", "ftppass", "dbserver",
                          "dbport", "dbname", "dbtablename", "dbuser", "dbpass"})
        all_missing.push_back(std::string("\"") + k + "\" no especificado\n");
    cases[0].lines = all_missing;

    setenv("VANTOR_VACIA", "", 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FILE *f = c.text.empty() ? fopen("/dev/null", "r")
                                 : fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "r");
        s_vars *list = read_config(f);
        fclose(f);
        ajustes a;
        quizas_rechazo r = lee_ajustes(list, a);
        EXPECT_EQ(r ? r->lineas : std::vector<std::string>{}, c.lines);
        free_config(list);
        if (std::string(c.what) == "good values") {
            EXPECT_EQ(a.tls, modo_tls::implicito);
            EXPECT_EQ(a.conexiones, 8);
            EXPECT_TRUE(a.contenido);
            EXPECT_TRUE(a.atomico);
            EXPECT_EQ(a.puerto_ftp, 21);
            EXPECT_EQ(a.puerto_db, 3306u);
            EXPECT_EQ(a.dbtablename, "t");
            EXPECT_FALSE(a.hay_exclusiones);
            EXPECT_EQ(a.archivo_catalogo, "");
        }
        if (std::string(c.what) == "a catalogue file, no server and no table") {
            EXPECT_EQ(a.dbtablename, "site");
            EXPECT_EQ(a.archivo_catalogo, std::filesystem::current_path().string() + "/sitio.db");
        }
        if (std::string(c.what) == "a catalogue file in the home folder") {
            EXPECT_EQ(a.dbtablename, "t");
            EXPECT_EQ(a.archivo_catalogo, std::string(getenv("HOME")) + "/sitio.db");
        }
    }
}

}  // namespace
