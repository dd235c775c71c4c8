#include "support/config.h"

#include <sys/stat.h>

#include <stdexcept>

#include "support/files.h"
#include "support/mariadb.h"

namespace vt {

const std::vector<std::string> config_keys = {
    "localroot", "remoteroot", "ftpserver", "ftpport",     "ftpuser", "ftppass",
    "dbserver",  "dbport",     "dbname",    "dbtablename", "dbuser",  "dbpass"};

Config::Config()
{
    entries_ = {{"localroot", "/nonexistent/vantor-test-root"},
                {"remoteroot", "/htdocs"},
                {"ftpserver", "127.0.0.1"},
                {"ftpport", "1"},
                {"ftpuser", "usuario"},
                {"ftppass", "secreto"},
                {"dbserver", "127.0.0.1"},
                {"dbport", "3306"},
                {"dbname", "vantor"},
                {"dbtablename", "paginas"},
                {"dbuser", "vantor"},
                {"dbpass", "secreto"}};
}

Config::Config(const MariaDb &db) : Config()
{
    set("dbserver", db.host());
    set("dbport", std::to_string(db.port()));
    set("dbname", db.database());
    set("dbuser", db.user());
    set("dbpass", db.password());
}

Config &Config::set(const std::string &key, const std::string &value)
{
    for (auto &e : entries_) {
        if (e.first == key) {
            e.second = value;
            return *this;
        }
    }
    entries_.emplace_back(key, value);
    return *this;
}

Config &Config::remove(const std::string &key)
{
    std::erase_if(entries_, [&](const auto &e) { return e.first == key; });
    return *this;
}

Config &Config::raw(const std::string &line)
{
    extra_.push_back(line);
    return *this;
}

const std::string &Config::get(const std::string &key) const
{
    for (auto &e : entries_)
        if (e.first == key)
            return e.second;
    throw std::out_of_range("no key " + key);
}

std::string Config::text() const
{
    std::string t = "# vantor test configuration\n";
    for (auto &[k, v] : entries_)
        t += k + " = \"" + v + "\"\n";
    for (auto &l : extra_)
        t += l + "\n";
    return t;
}

std::string Config::write(const std::string &path) const
{
    write_file(path, text());
    // It holds passwords: readable by its owner only, or vantor warns.
    chmod(path.c_str(), 0600);
    return path;
}

}  // namespace vt
