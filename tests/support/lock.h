// The status-3 line of a run refused the table's run lock.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/files.h"
#include "support/process.h"

namespace vt {

// Status 3 and "Otra ejecucion esta usando la tabla T de la base de datos
// vantor (equipo H, proceso P, hasta Y-M-D h:m:s)": this machine, process
// pid, and an end at most 30 s away as read in the run's zone.
inline void expect_busy_by(const Outcome &o, const std::string &table, pid_t pid, const char *zone)
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(o.status, 3) << describe(o);
    EXPECT_EQ(o.err, "");
    const std::string head = "Otra ejecucion esta usando la tabla " + table + " de la base de datos vantor (equipo " +
                             host + ", proceso " + std::to_string(pid) + ", hasta ";
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, n = 0;
    ASSERT_TRUE(o.out.starts_with(head) &&
                sscanf(o.out.c_str() + head.size(), "%4d-%2d-%2d %2d:%2d:%2d)\n%n", &y, &mo, &d, &h, &mi, &se, &n) == 6 &&
                head.size() + n == o.out.size() && n == 21)
        << o.out;
    const time_t until = epoch_of(zone, y, mo, d, h, mi, se);
    EXPECT_GE(until, time(nullptr) - 2);
    EXPECT_LE(until, time(nullptr) + 31);
}

}  // namespace vt
