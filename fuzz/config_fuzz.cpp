// libFuzzer target for the configuration reader.
//
// Every input is read through a memory stream by read_config, and the list
// it yields is checked three ways:
//  - against a second, deliberately plain reader below that follows the
//    grammar one step at a time on the raw bytes (any difference in the
//    entries, their order, keys or values aborts);
//  - every lookup: the twelve keys the program reads, each stored key in
//    another case, and a key that is not there;
//  - the limits every entry must keep (key of 29 bytes at most without
//    blank or equals sign, value of 255 bytes at most without double quote).
// The list is then released with free_config, so that leak detection sees
// every allocation the reader made.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The byte source of the plain reader: a read either gives the next byte
// or fails, and once it has failed every later read fails too.
struct Source {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool eof = false;

    bool read(char &into)
    {
        if (pos >= size) {
            eof = true;
            return false;
        }
        into = static_cast<char>(data[pos++]);
        return true;
    }
};

bool digit(char c) { return c >= '0' && c <= '9'; }
bool eol(char c) { return c == '\n' || c == '\r'; }

// The grammar spelt out step by step, with the same work buffers: the
// current byte is the first byte of the key buffer, and a failed read
// leaves the byte it was to replace as it was.
Entries plain_reader(const uint8_t *data, size_t size)
{
    Source s{data, size};
    char key[30];
    char val[256];
    memset(key, 'K', sizeof key);
    memset(val, 'V', sizeof val);
    Entries out;

    s.read(key[0]);
    for (;;) {
        if (s.eof)
            return out;
        bool rest_of_line = true;
        while (eol(key[0]) && s.read(key[0])) {
        }
        while ((key[0] == '\t' || key[0] == ' ') && s.read(key[0])) {
        }
        if (key[0] == '#') {
            while (!eol(key[0]) && s.read(key[0])) {
            }
            continue;
        }

        int n = 0;
        while (key[n] != ' ' && key[n] != '=' && n != 29) {
            ++n;
            if (!s.read(key[n]))
                break;
        }
        key[n] = '\0';

        if (!s.read(val[0]))
            return out;
        while (val[0] != '"' && !digit(val[0]) && s.read(val[0])) {
        }
        if (val[0] == '"') {
            if (!s.read(val[0]))
                return out;
            n = 0;
            while (val[n] != '"' && n != 255) {
                ++n;
                if (!s.read(val[n]))
                    break;
            }
        } else {
            if (!s.read(val[1]))
                return out;
            n = 1;
            while (digit(val[n]) && n != 255) {
                ++n;
                if (!s.read(val[n]))
                    break;
            }
            if (eol(val[n]))
                rest_of_line = false;
        }
        val[n] = '\0';
        out.emplace_back(std::string(key), std::string(val));

        if (!s.read(key[0]))
            return out;
        if (rest_of_line)
            while (!eol(key[0]) && s.read(key[0])) {
            }
    }
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_key(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// The value the first matching entry holds, or nullptr.
const std::string *expected_value(const Entries &e, const std::string &key)
{
    for (const auto &entry : e)
        if (same_key(entry.first, key))
            return &entry.second;
    return nullptr;
}

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "config_fuzz: %s: [%s]\n", what, detail.c_str());
    abort();
}

void check_lookup(const s_vars *list, const Entries &want, const std::string &key)
{
    const char *got = get_value(list, key.c_str());
    const std::string *exp = expected_value(want, key);
    if (!exp && got)
        fail("lookup found a key that is not there", key);
    if (exp && !got)
        fail("lookup missed a stored key", key);
    if (exp && *exp != got)
        fail("lookup gave another entry's value", key);
}

const char *const program_keys[] = {
    "localroot", "remoteroot", "ftpserver", "ftpport", "ftpuser", "ftppass",
    "dbserver",  "dbport",     "dbname",    "dbtablename", "dbuser", "dbpass",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A memory stream needs at least one byte; an empty input is an empty
    // file.
    FILE *f = size ? fmemopen(const_cast<uint8_t *>(data), size, "r") : fopen("/dev/null", "r");
    if (!f)
        abort();
    s_vars *list = read_config(f);
    fclose(f);

    Entries got;
    for (const s_vars *e = list; e; e = e->next) {
        if (e->name.size() > 29 || e->name.find_first_of(" =") != std::string::npos ||
            e->name.find('\0') != std::string::npos)
            fail("key out of bounds", e->name);
        if (e->value.size() > 255 || e->value.find_first_of(std::string("\"\0", 2)) != std::string::npos)
            fail("value out of bounds", e->value);
        got.emplace_back(e->name, e->value);
    }
    if (got.size() > size / 2 + 1)
        fail("more entries than the input can hold", std::to_string(got.size()));

    const Entries want = plain_reader(data, size);
    if (got != want) {
        std::string d = "reader " + std::to_string(got.size()) + " entries, grammar " +
                        std::to_string(want.size());
        for (size_t i = 0; i < got.size() && i < want.size(); ++i)
            if (got[i] != want[i]) {
                d += "; first difference at " + std::to_string(i) + ": '" + got[i].first + "'='" +
                     got[i].second + "' vs '" + want[i].first + "'='" + want[i].second + "'";
                break;
            }
        fail("entries differ from the grammar", d);
    }

    for (const char *k : program_keys)
        check_lookup(list, want, k);
    for (const auto &entry : want) {
        std::string flipped = entry.first;
        for (char &c : flipped)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        check_lookup(list, want, entry.first);
        check_lookup(list, want, flipped);
        check_lookup(list, want, entry.first + "x");
    }
    check_lookup(list, want, "");

    if (list)
        free_config(list);
    return 0;
}
