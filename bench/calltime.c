/* Where an update run's wall time goes, measured from inside the process.
 *
 *   LD_PRELOAD=build-bench/bench-tools/libcalltime.so vantor CONFIG
 *
 * Wraps the FTP and MySQL client calls that the program makes, adds up the
 * wall time spent in each (statements split by their first word) and writes
 * the totals to standard error when the process ends. Built by bench/CMakeLists.txt
 * with a version script, because the MySQL client's symbols are versioned.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

typedef struct {
    const char *name;
    double secs;
    long calls;
} bucket;

enum { B_PUT, B_MKDIR, B_SELECT, B_INSERT, B_UPDATE, B_OTHERQ, B_STORE, B_NEXT, B_COUNT };
static bucket buckets[B_COUNT] = {
    {"FtpPut", 0, 0},          {"FtpMkdir", 0, 0},          {"query SELECT", 0, 0},
    {"query INSERT", 0, 0},    {"query UPDATE", 0, 0},      {"query other", 0, 0},
    {"mysql_store_result", 0, 0}, {"mysql_next_result", 0, 0},
};
static struct timespec started;

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void add(int b, double t0)
{
    buckets[b].secs += now() - t0;
    buckets[b].calls++;
}

__attribute__((constructor)) static void start(void) { clock_gettime(CLOCK_MONOTONIC, &started); }

__attribute__((destructor)) static void report(void)
{
    double total = now() - (started.tv_sec + started.tv_nsec / 1e9);
    fprintf(stderr, "calltime: total %.3f s\n", total);
    for (int i = 0; i < B_COUNT; ++i)
        if (buckets[i].calls)
            fprintf(stderr, "calltime: %-20s %8ld calls %9.3f s %8.1f us/call\n", buckets[i].name,
                    buckets[i].calls, buckets[i].secs, buckets[i].secs / buckets[i].calls * 1e6);
}

#define NEXT(ret, name, args) \
    static ret(*real) args;   \
    if (!real) real = (ret(*) args)dlsym(RTLD_NEXT, name)
#define NEXT_V(ret, name, args, ver) \
    static ret(*real) args;          \
    if (!real) real = (ret(*) args)dlvsym(RTLD_NEXT, name, ver)

typedef struct netbuf netbuf;
typedef struct st_mysql MYSQL;
typedef struct st_mysql_res MYSQL_RES;

int FtpPut(const char *in, const char *path, char mode, netbuf *n)
{
    NEXT(int, "FtpPut", (const char *, const char *, char, netbuf *));
    double t0 = now();
    int r = real(in, path, mode, n);
    add(B_PUT, t0);
    return r;
}

int FtpMkdir(const char *path, netbuf *n)
{
    NEXT(int, "FtpMkdir", (const char *, netbuf *));
    double t0 = now();
    int r = real(path, n);
    add(B_MKDIR, t0);
    return r;
}

int mysql_real_query(MYSQL *m, const char *q, unsigned long len)
{
    NEXT_V(int, "mysql_real_query", (MYSQL *, const char *, unsigned long), "libmysqlclient_18");
    int b = B_OTHERQ;
    if (len >= 6 && strncasecmp(q, "SELECT", 6) == 0) b = B_SELECT;
    else if (len >= 6 && strncasecmp(q, "INSERT", 6) == 0) b = B_INSERT;
    else if (len >= 6 && strncasecmp(q, "UPDATE", 6) == 0) b = B_UPDATE;
    double t0 = now();
    int r = real(m, q, len);
    add(b, t0);
    return r;
}

MYSQL_RES *mysql_store_result(MYSQL *m)
{
    NEXT_V(MYSQL_RES *, "mysql_store_result", (MYSQL *), "libmysqlclient_18");
    double t0 = now();
    MYSQL_RES *r = real(m);
    add(B_STORE, t0);
    return r;
}

int mysql_next_result(MYSQL *m)
{
    NEXT_V(int, "mysql_next_result", (MYSQL *), "libmysqlclient_18");
    double t0 = now();
    int r = real(m);
    add(B_NEXT, t0);
    return r;
}
