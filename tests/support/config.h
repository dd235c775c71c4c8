// vantor configuration files for the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vt {

class MariaDb;

// The twelve keys, in the order vantor checks them.
extern const std::vector<std::string> config_keys;

// A configuration with all twelve keys, every value quoted, one per line
// (`key = "value"`). Defaults point at the given MariaDB (its account and
// database, table `paginas`) and at an FTP server that is not there.
class Config {
public:
    Config();  // database keys point at 127.0.0.1:3306 (nothing listens there)
    explicit Config(const MariaDb &db);

    // Replaces the value of key (adds the key at the end when unknown).
    Config &set(const std::string &key, const std::string &value);
    // Leaves the key out of the file.
    Config &remove(const std::string &key);
    // Appends a raw line (comments, odd entries).
    Config &raw(const std::string &line);

    const std::string &get(const std::string &key) const;
    std::string text() const;
    // Writes text() to path, readable by its owner only, and returns path.
    std::string write(const std::string &path) const;

private:
    std::vector<std::pair<std::string, std::string>> entries_;
    std::vector<std::string> extra_;
};

}  // namespace vt
