// Shared pieces of the end-to-end tests: a local site (tree, configuration,
// catalogue table), the runs of the real binary and what they should print.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/config.h"
#include "support/files.h"
#include "support/mariadb.h"
#include "support/process.h"

namespace pub {

// Stamps are taken in this zone; every run gets it.
inline constexpr const char *zone = "Europe/Madrid";

inline time_t at(int year, int month, int day, int hour, int minute, int second)
{
    return vt::epoch_of(zone, year, month, day, hour, minute, second);
}

// The four lines of a run that connected and logged in.
inline std::string header(int port)
{
    return "Vantor v0.9.1\nConectamos a 127.0.0.1:" + std::to_string(port) +
           "\nConectado!!!\nLogin correcto\n";
}

inline std::string new_file(const std::string &entry)
{
    return "NUEVO ARCHIVO!!!  Bienvenido " + entry + "!\n===> " + entry + " subido con exito\n";
}

// A file of the local tree as the run names it: relative directory, name.
struct Entry {
    std::string ruta, nombre;
    std::string path() const { return ruta + nombre; }
};

inline bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Every file below root + ruta, depth first, in the order the platform lists
// each directory: the order in which a run meets them.
inline void listing(const std::string &root, const std::string &ruta, std::vector<Entry> &out)
{
    DIR *d = opendir((root + ruta).c_str());
    if (!d)
        return;
    std::vector<std::pair<std::string, bool>> names;
    while (dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..")
            names.emplace_back(n, is_dir(root + ruta + n));
    }
    closedir(d);
    for (auto &[n, dir] : names) {
        if (dir)
            listing(root, ruta + n + "/", out);
        else
            out.push_back({ruta, n});
    }
}

inline std::vector<Entry> listing(const std::string &root)
{
    std::vector<Entry> out;
    listing(root, "/", out);
    return out;
}

// Catalogue rows as text: Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo.
using Rows = std::vector<std::vector<std::string>>;

inline std::vector<std::string> row(const Entry &e, time_t when)
{
    std::tm t{};
    {
        vt::InZone in(zone);
        localtime_r(&when, &t);
    }
    return {e.ruta,
            e.nombre,
            std::to_string(t.tm_mday),
            std::to_string(t.tm_mon + 1),
            std::to_string(t.tm_year + 1900),
            std::to_string(t.tm_hour),
            std::to_string(t.tm_min),
            std::to_string(t.tm_sec)};
}

inline Rows sorted(Rows r)
{
    std::sort(r.begin(), r.end());
    return r;
}

// Runs one statement on an SQLite file; rows come back as text (NULL as
// nullopt, a blob as its bytes). Throws with SQLite's text when it fails.
inline vt::Rows sqlite_query(const std::string &file, const std::string &sql)
{
    sqlite3 *db = nullptr;
    vt::Rows out;
    std::string error;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        sqlite3_stmt *st = nullptr;
        const char *rest = sql.c_str();
        while (error.empty() && *rest) {
            if (sqlite3_prepare_v2(db, rest, -1, &st, &rest) != SQLITE_OK) {
                error = sqlite3_errmsg(db);
                break;
            }
            int r;
            while (st && (r = sqlite3_step(st)) == SQLITE_ROW) {
                vt::Row row;
                for (int i = 0; i < sqlite3_column_count(st); ++i) {
                    if (sqlite3_column_type(st, i) == SQLITE_NULL) {
                        row.push_back(std::nullopt);
                        continue;
                    }
                    const char *v = static_cast<const char *>(sqlite3_column_blob(st, i));
                    row.push_back(std::string(v ? v : "", sqlite3_column_bytes(st, i)));
                }
                out.push_back(row);
            }
            if (st && r != SQLITE_DONE)
                error = sqlite3_errmsg(db);
            sqlite3_finalize(st);
        }
    } else {
        error = sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    if (!error.empty())
        throw std::runtime_error(error);
    return out;
}

// Where a site's catalogue is: on the shared server, or in a file.
enum class Store { server, file };

inline std::string store_name(Store s) { return s == Store::file ? "file" : "server"; }

// A local tree below its own folder, a configuration that names it, and a
// catalogue table of its own (in the shared database unless base names
// another, or in a file of its own after in_file()), created by the binary.
class Site {
public:
    explicit Site(const std::string &tag) : Site(tag, vt::Config(vt::shared_mariadb())) {}
    Site(const std::string &tag, const vt::Config &base, const std::string &folder = "vantor-pub")
        : dir_(folder), table_(tag + "_" + std::to_string(counter()++)), config_(base)
    {
        vt::make_dirs(local());
        config_.set("localroot", local()).set("remoteroot", "/htdocs").set("dbtablename", table_);
    }

    // The catalogue in a file beside the tree (catalogo.db), the keys of
    // the server left out.
    Site &in_file()
    {
        file_ = dir_ / "catalogo.db";
        for (const char *k : {"dbserver", "dbport", "dbname", "dbuser", "dbpass"})
            config_.remove(k);
        config_.set("catalogue", file_);
        return *this;
    }
    Site &in(Store s) { return s == Store::file ? in_file() : *this; }
    // The catalogue file, empty on the server.
    const std::string &file() const { return file_; }

    // Runs a statement where the catalogue is.
    vt::Rows query(const std::string &sql) const
    {
        return file_.empty() ? vt::shared_mariadb().query(sql) : sqlite_query(file_, sql);
    }

    std::string local() const { return dir_ / "web"; }
    std::string local(const std::string &rel) const { return local() + rel; }
    vt::Config &config() { return config_; }
    const std::string &table() const { return table_; }

    void ftp(const std::string &host, int port, const std::string &user, const std::string &pass)
    {
        config_.set("ftpserver", host)
            .set("ftpport", std::to_string(port))
            .set("ftpuser", user)
            .set("ftppass", pass);
    }
    // The same for a server of the harness (its host, port and account).
    template <class Server>
    void ftp(const Server &server)
    {
        ftp(server.host(), server.port(), server.user(), server.pass());
    }

    // Writes a file below the local root (rel starts with "/"), creating its
    // folders, with the given modification time.
    void put(const std::string &rel, const std::string &bytes, time_t when)
    {
        std::string p = local(rel);
        vt::make_dirs(p.substr(0, p.rfind('/')));
        vt::write_file(p, bytes);
        vt::set_mtime(p, when);
    }

    // Readable by the user runs go as (not its owner, so vantor says nothing).
    std::string config_file()
    {
        const std::string p = config_.write(dir_ / "vantor.conf");
        if (as_)
            chmod(p.c_str(), 0644);
        return p;
    }

    // Runs take their stamps in this zone (pub::zone unless changed).
    void set_zone(const std::string &tz) { zone_ = tz; }

    // Later runs go as this user, with a copy of the binary that the user
    // can reach wherever the build lives (a build below /root is closed).
    void run_as(const vt::Credentials &c)
    {
        as_ = c;
        program_ = dir_ / "vantor";
        std::filesystem::copy_file(vt::vantor_binary(), program_,
                                   std::filesystem::copy_options::overwrite_existing);
        chmod(program_.c_str(), 0755);
    }

    vt::Spawn spawn(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args{config_file()};
        args.insert(args.end(), extra.begin(), extra.end());
        vt::Spawn s = vt::vantor_spawn(args);
        s.env.emplace_back("TZ", zone_);
        if (as_) {
            s.as = as_;
            s.program = program_;
        }
        return s;
    }

    vt::Outcome run(const std::vector<std::string> &extra = {}) { return vt::run(spawn(extra)); }

    // Creates the catalogue table with the binary's own create mode.
    void create_table()
    {
        vt::Outcome o = run({"-c"});
        ASSERT_EQ(o.status, 0) << vt::describe(o);
        ASSERT_EQ(o.out, "Terminado!!!\n") << vt::describe(o);
    }

    Rows rows() const
    {
        Rows out;
        for (const vt::Row &r : query("SELECT Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo FROM " + table_)) {
            std::vector<std::string> v;
            for (const auto &c : r)
                v.push_back(c ? *c : "NULL");
            out.push_back(v);
        }
        return sorted(out);
    }

private:
    static std::atomic<int> &counter()
    {
        static std::atomic<int> n{0};
        return n;
    }

    vt::TempDir dir_;
    std::string table_;
    vt::Config config_;
    std::string zone_ = zone;
    std::string file_;
    std::optional<vt::Credentials> as_;
    std::string program_;
};

// Expects a run to have ended with status 0, nothing on standard error and
// exactly `out` on standard output.
inline void expect_run(const vt::Outcome &o, const std::string &out, int status = 0)
{
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.signal, 0);
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.out, out);
    EXPECT_EQ(o.err, "");
}

}  // namespace pub
