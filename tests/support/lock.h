// What a run refused the table's run lock prints: the usual line, and the
// holder its lease row names, with the end of the lease in local time.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>

#include "support/files.h"
#include "support/process.h"

namespace vt {

inline std::string busy_line(const std::string &table, const std::string &db = "vantor")
{
    return "Otra ejecucion esta usando la tabla " + table + " de la base de datos " + db;
}

inline std::string this_host()
{
    char h[256] = {};
    gethostname(h, sizeof h - 1);
    return h;
}

// Expects status 3 and the busy line naming the holder (process pid of this
// machine, any when pid is 0) with an end at most `lease` seconds away, read
// in the zone the run had.
inline void expect_busy_by(const Outcome &o, const std::string &table, pid_t pid, const char *zone,
                           int lease = 30)
{
    EXPECT_EQ(o.status, 3) << describe(o);
    EXPECT_EQ(o.err, "");
    std::smatch m;
    const std::string proceso = pid ? std::to_string(pid) : std::string("[0-9]+");
    const std::regex form(busy_line(table) + " \\(equipo " + this_host() + ", proceso " + proceso +
                          ", hasta ([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})\\)\n");
    ASSERT_TRUE(std::regex_match(o.out, m, form)) << o.out;
    const time_t until = epoch_of(zone, std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                                  std::stoi(m[5]), std::stoi(m[6]));
    const time_t now = time(nullptr);
    EXPECT_GE(until, now - 2);
    EXPECT_LE(until, now + lease + 1);
}

}  // namespace vt
