// Exclude-file lines and what they leave out of the walk, and the names of
// the run lock, without any server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "tree/walk.h"

namespace {

struct Case {
    const char *line;
    const char *ruta, *nombre;
    bool dir;
    bool excluded;
};

TEST(Exclusion, PatternsLeaveOutWhatTheirLineSays)
{
    const std::vector<Case> cases = {
        // A name anywhere.
        {".git", "/", ".git", true, true},
        {".git", "/sub/deep/", ".git", true, true},
        {".git", "/sub/", ".git", false, true},
        {".git", "/", ".github", true, false},
        {"*.swp", "/a/", ".index.html.swp", false, true},  // hidden swap files too
        {"*.swp", "/a/", "index.swp.html", false, false},
        {"*~", "/", "notas.txt~", false, true},
        {".env", "/conf/", ".env", false, true},
        {".env", "/conf/", ".env.example", false, false},
        {"?.tmp", "/", "a.tmp", false, true},
        {"?.tmp", "/", "ab.tmp", false, false},
        {"[ab]*.log", "/x/", "b1.log", false, true},
        {"[ab]*.log", "/x/", "c1.log", false, false},
        // Directories only.
        {".git/", "/", ".git", true, true},
        {".git/", "/", ".git", false, false},
        {".svn//", "/a/", ".svn", true, true},
        // Anchored at the root: the whole entry path.
        {"/private/", "/", "private", true, true},
        {"/private/", "/a/", "private", true, false},
        {"/index.html", "/", "index.html", false, true},
        {"/index.html", "/sub/", "index.html", false, false},
        {"/img/*.png", "/img/", "logo.png", false, true},
        {"/img/*.png", "/img/sub/", "logo.png", false, false},  // "*" stays in one component
        {"/img/*", "/img/", "sub", true, true},
        {"img/*.png", "/img/", "logo.png", false, true},  // an inner "/" anchors too
        {"img/*.png", "/a/img/", "logo.png", false, false},
        // Blanks and line ends around the pattern.
        {"*.bak  \t", "/", "x.bak", false, true},
        {"*.bak\r", "/", "x.bak", false, true},
        {" *.bak", "/", "x.bak", false, false},  // a leading blank is part of it
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.line) + " / " + c.ruta + c.nombre);
        patron p;
        ASSERT_TRUE(lee_patron(c.line, p));
        EXPECT_EQ(coincide(p, c.ruta, c.nombre, c.dir), c.excluded);
    }
}

TEST(Exclusion, LinesWithoutAPattern)
{
    for (const char *line : {"", "   ", "\t", "\r", "# comentario", "#.git", "/", "//"}) {
        SCOPED_TRACE(line);
        patron p;
        EXPECT_FALSE(lee_patron(line, p));
    }
}

TEST(Lock, NamesStayUniqueAndWithinTheServersLimit)
{
    EXPECT_EQ(nombre_bloqueo("vantor", "site"), "vantor.vantor.site");
    const std::string db57(57 - 7, 'd');  // "vantor." + db + "." + "t" is exactly 64
    EXPECT_EQ(nombre_bloqueo(db57, "t").size(), 7 + db57.size() + 2);
    EXPECT_EQ(nombre_bloqueo(db57, "t"), "vantor." + db57 + ".t");

    const std::string db(64, 'b'), a(64, 'a');
    std::string la = nombre_bloqueo(db, a + "1"), lb = nombre_bloqueo(db, a + "2");
    for (const std::string &n : {la, lb}) {
        EXPECT_LE(n.size(), 64u);
        EXPECT_EQ(n.rfind("vantor." + std::string(40, 'b') + ".", 0), 0u) << n;
        EXPECT_EQ(n.find_first_not_of("0123456789abcdef", n.size() - 16), std::string::npos) << n;
    }
    EXPECT_NE(la, lb);
    EXPECT_EQ(la, nombre_bloqueo(db, a + "1"));
    // A cut never splits a character: "ñ" is two bytes, the 40th and 41st.
    std::string n = nombre_bloqueo(std::string(39, 'x') + "\xc3\xb1" + std::string(30, 'y'), "t");
    EXPECT_EQ(n.rfind("vantor." + std::string(39, 'x') + ".", 0), 0u) << n;
}

}  // namespace
