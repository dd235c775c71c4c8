// Configuration file: reader and lookup.
#pragma once

#include <cstdio>
#include <string>

// One entry of the configuration list, in file order.
struct s_vars {
    std::string name;   // key, at most 29 bytes
    std::string value;  // value, at most 255 bytes
    s_vars *next;       // following entry, or nullptr
};

// Reads the file at path into *list (nullptr when the file yields no
// entry). False, with errno set, when the file cannot be opened.
bool load_config(const char *path, s_vars **list);

// Parses an open stream by the same grammar; the stream is not closed.
s_vars *read_config(FILE *f);

// Value of the first entry whose name equals key, ignoring ASCII case, or
// nullptr when there is none. The text belongs to the list.
const char *get_value(const s_vars *list, const char *key);

// Releases a whole list.
void free_config(s_vars *list);
