// Values that reach the catalogue: which names it can hold as they are, and
// the stamp taken from a modification time under fixed time zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "support/files.h"
#include "tree/walk.h"

namespace {

TEST(CatalogueValues, OnlyValidUtf8OfAtMost255Characters)
{
    const std::string euro = "\xE2\x82\xAC";  // three bytes, one character
    std::string euros255, euros256;
    for (int i = 0; i < 255; ++i)
        euros255 += euro;
    euros256 = euros255 + euro;

    struct Case {
        const char *what;
        std::string value;
        bool ok;
    } cases[] = {
        {"ascii", "index.html", true},
        {"quote and backslash", "it's\\.html", true},
        {"control bytes", "a\tb\nc\x01", true},
        {"accent and euro", "a\xC3\xB1o" + euro + ".html", true},
        {"four-byte character", "\xF0\x9F\x98\x80.png", true},
        {"255 three-byte characters", euros255, true},
        {"256 characters", euros256, false},
        {"255 ascii", std::string(255, 'a'), true},
        {"256 ascii", std::string(256, 'a'), false},
        {"lone continuation byte", "a\x80", false},
        {"latin-1 byte", "caf\xE9", false},
        {"truncated sequence", "\xE2\x82", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three-byte", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false},
        {"byte FF", "\xFF", false},
        {"trailing blank", "a.txt ", false},
        {"only a blank", " ", false},
        {"inner and leading blanks", " a b.txt", true},
        {"trailing tab", "a.txt\t", true},
    };
    for (const Case &c : cases) {
        const char *why = nullptr;
        EXPECT_EQ(admisible(c.value, &why), c.ok) << c.what;
        if (!c.ok) {
            EXPECT_NE(why, nullptr) << c.what;
        }
    }
}


TEST(CatalogueValues, StampIsLocalTime)
{
    struct Case {
        const char *tz;
        long long t;
        sello want;
    } cases[] = {
        {"UTC", 946684799, {31, 12, 1999, 23, 59, 59}},
        {"Europe/Madrid", 946681199, {31, 12, 1999, 23, 59, 59}},
        {"UTC", 1088930822, {4, 7, 2004, 8, 47, 2}},
        {"Europe/Madrid", 1088930822, {4, 7, 2004, 10, 47, 2}},  // summer: UTC+2
        {"UTC", 0, {1, 1, 1970, 0, 0, 0}},
        {"UTC", -1, {31, 12, 1969, 23, 59, 59}},
    };
    for (const Case &c : cases) {
        vt::InZone zone(c.tz);
        sello s{};
        ASSERT_TRUE(toma_sello(c.t, s)) << c.tz << " " << c.t;
        EXPECT_EQ((std::vector<int>{s.dia, s.mes, s.anio, s.hora, s.minuto, s.segundo}),
                  (std::vector<int>{c.want.dia, c.want.mes, c.want.anio, c.want.hora, c.want.minuto,
                                    c.want.segundo}))
            << c.tz << " " << c.t;
    }
}

TEST(CatalogueValues, TimeWithoutLocalFormIsRefused)
{
    vt::InZone zone("UTC");
    sello s{};
    EXPECT_FALSE(toma_sello(1LL << 62, s));
    EXPECT_FALSE(toma_sello(-(1LL << 62), s));
}

}  // namespace
