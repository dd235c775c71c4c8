// The floors of the benchmark: the least work any publisher of the tree has
// to do, each as a bare loop.
//
//   floors stat   ROOT
//       walk the tree and take the status of every entry
//   floors lookup ROOT DBHOST DBPORT DBUSER DBPASS DBNAME TABLE [BATCH]
//       walk + status, and one lookup per file, one statement per round trip,
//       with the same SELECT text the update run sends; BATCH > 1 sends that
//       many lookups per round trip (multi-statement mode)
//   floors insert ROOT DBHOST DBPORT DBUSER DBPASS DBNAME TABLE [BATCH]
//       walk + status, then DELETE and one INSERT per file, all in one
//       transaction; BATCH > 1 sends that many statements per round trip
//   floors put    ROOT FTPHOST:PORT USER PASS REMOTEDIR
//       walk, and on one FTP connection (one libcurl easy handle) MKD every
//       directory and STOR every file with its full remote path, in binary
//       mode (REMOTEDIR must exist and be empty)
//
// The walk is the plain opendir/readdir/lstat recursion in the platform's
// order, as the update run does it.
#include <dirent.h>
#include <curl/curl.h>
#include <mysql.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string root;
long nfiles = 0;

using file_fn = std::function<void(const std::string &rel, const char *name, const struct stat &)>;
using dir_fn = std::function<void(const std::string &rel)>;

void walk(const std::string &rel, const file_fn &on_file, const dir_fn &on_dir) {
    if (on_dir) on_dir(rel);
    DIR *d = opendir((root + rel).c_str());
    if (!d) {
        std::perror("opendir");
        return;
    }
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        std::string path = root + rel + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            std::perror("lstat");
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            walk(rel + e->d_name + "/", on_file, on_dir);
        } else {
            ++nfiles;
            if (on_file) on_file(rel, e->d_name, st);
        }
    }
    closedir(d);
}

MYSQL *connect_db(char **a) {
    MYSQL *m = mysql_init(nullptr);
    if (!mysql_real_connect(m, a[0], a[2], a[3], a[4], static_cast<unsigned>(std::atoi(a[1])),
                            nullptr, CLIENT_MULTI_STATEMENTS)) {
        std::fprintf(stderr, "floors: %s\n", mysql_error(m));
        std::exit(1);
    }
    return m;
}

void query(MYSQL *m, const std::string &q) {
    if (mysql_query(m, q.c_str()) != 0) {
        std::fprintf(stderr, "floors: %s\n%s\n", mysql_error(m), q.c_str());
        std::exit(1);
    }
    // Drain every result of a multi-statement batch.
    do {
        if (MYSQL_RES *r = mysql_store_result(m)) mysql_free_result(r);
    } while (mysql_next_result(m) == 0);
    if (mysql_errno(m) != 0) {
        std::fprintf(stderr, "floors: %s\n", mysql_error(m));
        std::exit(1);
    }
}

std::string esc(MYSQL *m, const std::string &v) {
    std::string out(v.size() * 2 + 1, '\0');
    out.resize(mysql_real_escape_string(m, out.data(), v.data(), v.size()));
    return out;
}

int do_lookup(char **a, int batch) {
    MYSQL *m = connect_db(a);
    std::string table = a[5];
    long found = 0;
    std::string pending;
    std::vector<std::pair<int, int>> want;  // day and second of each pending lookup
    auto send = [&] {
        if (mysql_query(m, pending.c_str()) != 0) {
            std::fprintf(stderr, "floors: %s\n", mysql_error(m));
            std::exit(1);
        }
        for (size_t k = 0;; ++k) {
            if (MYSQL_RES *r = mysql_store_result(m)) {
                if (MYSQL_ROW row = mysql_fetch_row(r))
                    if (k < want.size() && std::atoi(row[0]) == want[k].first && std::atoi(row[5]) == want[k].second)
                        ++found;
                mysql_free_result(r);
            }
            if (mysql_next_result(m) != 0) break;
        }
        pending.clear();
        want.clear();
    };
    walk("/", [&](const std::string &rel, const char *name, const struct stat &st) {
        struct tm t;
        localtime_r(&st.st_mtime, &t);
        if (!pending.empty()) pending += ';';
        pending += "SELECT Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + table + " WHERE Ruta='" + esc(m, rel) +
                   "' AND Nombre='" + esc(m, name) + "'";
        want.emplace_back(t.tm_mday, t.tm_sec);
        if (static_cast<int>(want.size()) >= batch) send();
    }, nullptr);
    if (!pending.empty()) send();
    mysql_close(m);
    std::printf("%ld files, %ld rows matched\n", nfiles, found);
    return 0;
}

int do_insert(char **a, int batch) {
    MYSQL *m = connect_db(a);
    std::string table = a[5];
    query(m, "START TRANSACTION");
    query(m, "DELETE FROM " + table);
    std::string pending;
    int in_batch = 0;
    walk("/", [&](const std::string &rel, const char *name, const struct stat &st) {
        struct tm t;
        localtime_r(&st.st_mtime, &t);
        char nums[96];
        std::snprintf(nums, sizeof nums, "%d, %d, %d, %d, %d, %d)", t.tm_mday, t.tm_mon + 1,
                      t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        std::string q = "INSERT INTO " + table +
                        " (Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo) VALUES ('" + esc(m, rel) +
                        "', '" + esc(m, name) + "', " + nums;
        if (batch <= 1) {
            query(m, q);
            return;
        }
        if (!pending.empty()) pending += ';';
        pending += q;
        if (++in_batch == batch) {
            query(m, pending);
            pending.clear();
            in_batch = 0;
        }
    }, nullptr);
    if (!pending.empty()) query(m, pending);
    query(m, "COMMIT");
    mysql_close(m);
    std::printf("%ld files inserted\n", nfiles);
    return 0;
}

// The path of a remote file or directory as an FTP URL: each segment
// escaped, so that '#', '?', '%' and ';' reach the server as they are; the
// leading %2F makes the path absolute (STOR /dir/file, no CWD).
std::string ftp_url(CURL *c, const std::string &base, const std::string &path) {
    std::string url = base + "/%2F";
    size_t from = 1;
    while (from <= path.size()) {
        size_t to = path.find('/', from);
        if (to == std::string::npos) to = path.size();
        char *e = curl_easy_escape(c, path.data() + from, static_cast<int>(to - from));
        url += e;
        curl_free(e);
        if (to < path.size()) url += '/';
        from = to + 1;
    }
    return url;
}

// Runs one transfer of the easy handle through its own multi handle.
// libcurl 7.88 goes from the reply to EPSV to the connect of the data
// connection without a socket or a timer to wait for: a plain
// curl_easy_perform sleeps a whole second there, a poll with a timeout sleeps
// that timeout (one per file). When the handle waits on nothing, it is driven
// again at once.
CURLcode perform(CURLM *m, CURL *c) {
    curl_multi_add_handle(m, c);
    int running = 1;
    while (running) {
        if (curl_multi_perform(m, &running) != CURLM_OK) break;
        if (!running) break;
        fd_set r, w, e;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&e);
        int maxfd = -1;
        long wait_ms = -1;
        curl_multi_fdset(m, &r, &w, &e, &maxfd);
        curl_multi_timeout(m, &wait_ms);
        if (maxfd == -1 && wait_ms < 0) continue;
        curl_multi_poll(m, nullptr, 0, 100, nullptr);
    }
    CURLcode rc = CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(m, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) rc = msg->data.result;
    curl_multi_remove_handle(m, c);
    return rc;
}

int do_put(char **a) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *c = curl_easy_init();
    CURLM *m = curl_multi_init();
    std::string base = std::string("ftp://") + a[0];
    std::string userpwd = std::string(a[1]) + ":" + a[2];
    char errbuf[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_USERPWD, userpwd.c_str());
    curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    std::string remote = a[3];
    while (remote.size() > 1 && remote.back() == '/') remote.pop_back();
    long failed = 0;
    auto fail = [&](const std::string &what, CURLcode rc) {
        if (++failed < 5) std::fprintf(stderr, "floors: %s: %s\n", what.c_str(), *errbuf ? errbuf : curl_easy_strerror(rc));
    };
    walk("/",
         [&](const std::string &rel, const char *name, const struct stat &st) {
             std::string local = root + rel + name;
             FILE *f = std::fopen(local.c_str(), "rb");
             if (!f) {
                 fail(local, CURLE_READ_ERROR);
                 return;
             }
             std::string url = ftp_url(c, base, remote + rel + name);
             curl_easy_setopt(c, CURLOPT_URL, url.c_str());
             curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
             curl_easy_setopt(c, CURLOPT_READDATA, f);
             curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
             *errbuf = 0;
             if (CURLcode rc = perform(m, c); rc != CURLE_OK) fail(url, rc);
             std::fclose(f);
         },
         [&](const std::string &rel) {
             if (rel == "/") return;
             // MKD on a request without a body: the quote's '*' keeps the
             // connection when the server refuses it.
             std::string cmd = "*MKD " + remote + rel.substr(0, rel.size() - 1);
             curl_slist *q = curl_slist_append(nullptr, cmd.c_str());
             curl_easy_setopt(c, CURLOPT_URL, (base + "/%2F").c_str());
             curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
             curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
             curl_easy_setopt(c, CURLOPT_QUOTE, q);
             *errbuf = 0;
             if (CURLcode rc = perform(m, c); rc != CURLE_OK) fail(cmd, rc);
             curl_easy_setopt(c, CURLOPT_QUOTE, nullptr);
             curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
             curl_slist_free_all(q);
         });
    curl_multi_cleanup(m);
    curl_easy_cleanup(c);
    curl_global_cleanup();
    std::printf("%ld files, %ld failed\n", nfiles, failed);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 2 ? argv[1] : "";
    if (argc > 2) {
        root = argv[2];
        while (root.size() > 1 && root.back() == '/') root.pop_back();
    }
    if (mode == "stat" && argc == 3) {
        walk("/", nullptr, nullptr);
        std::printf("%ld files\n", nfiles);
        return 0;
    }
    if (mode == "lookup" && (argc == 9 || argc == 10))
        return do_lookup(argv + 3, argc == 10 ? std::atoi(argv[9]) : 1);
    if (mode == "insert" && (argc == 9 || argc == 10))
        return do_insert(argv + 3, argc == 10 ? std::atoi(argv[9]) : 1);
    if (mode == "put" && argc == 7) return do_put(argv + 3);
    std::fprintf(stderr, "usage: see the comment at the top of floors.cpp\n");
    return 2;
}
