// Reader of the key/value configuration file, byte by byte.
//
// The grammar is deliberately loose: an entry is a key ended by a blank or
// an equals sign, then anything up to a double quote or a digit, then a
// quoted text or a run of digits. Everything the reader does not recognise
// is skipped without a word; the required-key check reports what is missing.
#include "config/config.h"

#include <cstring>

namespace {

constexpr int max_key = 29;
constexpr int max_value = 255;

// One byte from the stream into c. A failed read (end of file or error)
// leaves c as it was.
bool next(FILE *f, char &c)
{
    int r = getc(f);
    if (r == EOF)
        return false;
    c = static_cast<char>(r);
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_eol(char c) { return c == '\n' || c == '\r'; }

// The text of a work buffer up to its first NUL, as the stored copy keeps it.
std::string stored(const char *b, int n)
{
    return std::string(b, strnlen(b, static_cast<size_t>(n)));
}

}  // namespace

s_vars *read_config(FILE *f)
{
    char key[max_key + 1] = {};
    char val[max_value + 1] = {};
    s_vars *first = nullptr;
    s_vars *last = nullptr;
    char &cur = key[0];

    next(f, cur);
    for (;;) {
        // A lasting read error ends the parse like the end of the file.
        if (feof(f) || ferror(f))
            break;
        bool rest_of_line = true;

        while (is_eol(cur))
            if (!next(f, cur))
                break;
        while (cur == '\t' || cur == ' ')
            if (!next(f, cur))
                break;

        if (cur == '#') {
            while (!is_eol(cur))
                if (!next(f, cur))
                    break;
            continue;
        }

        int n = 0;
        for (;;) {
            if (key[n] == ' ' || key[n] == '=' || n == max_key)
                break;
            ++n;
            if (!next(f, key[n]))
                break;
        }
        int key_len = n;

        if (!next(f, val[0]))
            break;
        while (val[0] != '"' && !is_digit(val[0]))
            if (!next(f, val[0]))
                break;

        if (val[0] == '"') {
            if (!next(f, val[0]))
                break;
            n = 0;
            for (;;) {
                if (val[n] == '"' || n == max_value)
                    break;
                ++n;
                if (!next(f, val[n]))
                    break;
            }
        } else {
            if (!next(f, val[1]))
                break;
            n = 1;
            for (;;) {
                if (!is_digit(val[n]) || n == max_value)
                    break;
                ++n;
                if (!next(f, val[n]))
                    break;
            }
            if (is_eol(val[n]))
                rest_of_line = false;
        }
        int val_len = n;

        auto *e = new s_vars{stored(key, key_len), stored(val, val_len), nullptr};
        if (last)
            last->next = e;
        else
            first = e;
        last = e;

        if (!next(f, cur))
            break;
        if (rest_of_line)
            while (!is_eol(cur))
                if (!next(f, cur))
                    break;
    }
    return first;
}

bool load_config(const char *path, s_vars **list)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    *list = read_config(f);
    fclose(f);
    return true;
}

const char *get_value(const s_vars *list, const char *key)
{
    for (const s_vars *e = list; e; e = e->next)
        if (strcasecmp(e->name.c_str(), key) == 0)
            return e->value.c_str();
    return nullptr;
}

void free_config(s_vars *list)
{
    while (list) {
        s_vars *next_entry = list->next;
        delete list;
        list = next_entry;
    }
}
