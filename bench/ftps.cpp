// FTPS (explicit TLS) on vsftpd and proftpd, both near (loopback), started by
// the test harness: first publish of 200 files into 51 new folders against
// the same publish into existing folders (files removed, folders kept), one
// connection, in turns; then a no-change run with ftpconnections = 8 and the
// logins it cost, counted in the server's log. Prints Markdown tables.
//
//   bench_ftps VANTOR_BINARY [REPS]     (root; VANTOR_FTPDS = fetch-ftpds.sh's folder)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/certificates.h"
#include "support/files.h"
#include "support/ftp_daemons.h"
#include "support/mariadb.h"

namespace fs = std::filesystem;

namespace {

// 50 folders of 4 files, 1-20 KB each, fixed contents.
void make_tree(const std::string &root)
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> size(1024, 20480), byte(0, 255);
    for (int d = 0; d < 50; ++d) {
        std::string dir = root + "/d" + std::to_string(d);
        fs::create_directories(dir);
        for (int f = 0; f < 4; ++f) {
            std::ofstream out(dir + "/f" + std::to_string(f) + ".bin", std::ios::binary);
            int n = size(rng);
            std::string s(n, '\0');
            for (char &c : s)
                c = static_cast<char>(byte(rng));
            out << s;
        }
    }
}

double run_vantor(const std::string &vantor, const std::string &conf, const std::string &arg, int *status)
{
    auto t0 = std::chrono::steady_clock::now();
    std::string cmd = vantor + " " + conf + (arg.empty() ? "" : " " + arg) + " >>" + conf + ".out 2>&1";
    int rc = std::system(cmd.c_str());
    auto t1 = std::chrono::steady_clock::now();
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

size_t count(const std::string &text, const std::string &needle, const std::string &also = "")
{
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos && (also.empty() || line.find(also) != std::string::npos))
            ++n;
    return n;
}

size_t files_below(const std::string &dir)
{
    size_t n = 0;
    for (auto &e : fs::recursive_directory_iterator(dir))
        n += e.is_regular_file();
    return n;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::cerr << "usage: bench_ftps VANTOR_BINARY [REPS]\n";
        return 2;
    }
    const std::string vantor = argv[1];
    const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
    vt::TempDir work("vantor-bench-ftps");
    const std::string tree = work.path() + "/tree";
    make_tree(tree);
    vt::MariaDb db;
    const std::string ca = vt::test_certificates().server.cert;

    vt::VsFtpd::Options vo;
    vo.tls = "explicit";
    vt::ProFtpd::Options po;
    po.tls = "explicit";
    std::vector<std::pair<std::string, std::unique_ptr<vt::FtpDaemon>>> servers;
    servers.emplace_back("vsftpd", std::make_unique<vt::VsFtpd>(vo));
    servers.emplace_back("proftpd", std::make_unique<vt::ProFtpd>(po));

    std::cout << "| server | new folders s (median) | existing folders s (median) | ratio | target ≤ 1.5 | runs | exit codes |\n"
                 "|---|---|---|---|---|---|---|\n";
    std::ostringstream second;
    second << "\n| server | no-change run, 8 connections: s | logins in the server's log | target 1 | exit |\n"
              "|---|---|---|---|---|\n";
    for (auto &[name, ftp] : servers) {
        auto conf = [&](const std::string &file, int conns) {
            std::ofstream c(file);
            c << "localroot = \"" << tree << "\"\nremoteroot = \"/pub\"\n"
              << "ftpserver = \"127.0.0.1\"\nftpport = " << ftp->port() << "\n"
              << "ftpuser = \"" << ftp->user() << "\"\nftppass = \"" << ftp->pass() << "\"\n"
              << "ftptls = \"explicit\"\nftpcafile = \"" << ca << "\"\nftpconnections = " << conns << "\n"
              << "dbserver = \"127.0.0.1\"\ndbport = " << db.port() << "\ndbname = \"vantor\"\n"
              << "dbtablename = \"t_" << name << "\"\ndbuser = \"" << db.user() << "\"\ndbpass = \""
              << db.password() << "\"\n";
        };
        const std::string c1 = work.path() + "/" + name + "-1.conf", c8 = work.path() + "/" + name + "-8.conf";
        conf(c1, 1);
        conf(c8, 8);
        int st = 0;
        run_vantor(vantor, c1, "-c", &st);
        std::vector<double> fresh, existing;
        std::string codes;
        const std::string pub = ftp->path("pub");
        for (int r = 0; r < reps; ++r) {
            // new folders: nothing on the server, empty catalogue
            fs::remove_all(pub);
            run_vantor(vantor, c1, "-d", &st);
            double t = run_vantor(vantor, c1, "", &st);
            codes += std::to_string(st) + (files_below(pub) == 200 ? "" : "!") + " ";
            fresh.push_back(t);
            // existing folders: the 51 folders stay, the files go
            for (auto &e : fs::recursive_directory_iterator(pub))
                if (e.is_regular_file())
                    fs::remove(e.path());
            run_vantor(vantor, c1, "-d", &st);
            t = run_vantor(vantor, c1, "", &st);
            codes += std::to_string(st) + (files_below(pub) == 200 ? "" : "!") + " ";
            existing.push_back(t);
            std::cerr << name << " rep " << r << ": new " << fresh.back() << " s, existing " << existing.back()
                      << " s\n";
        }
        double a = median(fresh), b = median(existing);
        char line[512];
        std::snprintf(line, sizeof line, "| %s | %.2f | %.2f | %.2f | %s | %d + %d | %s|\n", name.c_str(), a, b,
                      a / b, a / b <= 1.5 ? "met" : "missed", reps, reps, codes.c_str());
        std::cout << line;
        // no change, 8 connections: logins before and after
        const std::string before = ftp->log();
        size_t l0 = name == "vsftpd" ? count(before, "OK LOGIN") : count(before, "\"PASS", "\" 230");
        double t = run_vantor(vantor, c8, "", &st);
        const std::string after = ftp->log();
        size_t l1 = name == "vsftpd" ? count(after, "OK LOGIN") : count(after, "\"PASS", "\" 230");
        std::snprintf(line, sizeof line, "| %s | %.2f | %zu | %s | %d |\n", name.c_str(), t, l1 - l0,
                      l1 - l0 == 1 ? "met" : "missed", st);
        second << line;
        std::cerr << "--- vantor output (" << name << ", last runs) ---\n" << vt::read_file(c1 + ".out").substr(0, 0)
                  << vt::read_file(c8 + ".out") << "\n";
    }
    std::cout << second.str();
    return 0;
}
