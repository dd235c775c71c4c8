// Configuration file: reader, lookup and the process-wide list.
#pragma once

#include <cstdio>
#include <string>

// One entry of the configuration list, in file order.
struct s_vars {
    std::string name;   // key, at most 29 bytes
    std::string value;  // value, at most 255 bytes
    s_vars *next;       // following entry, or nullptr
};

// The process-wide list, set once by main and kept until the process ends.
extern s_vars *conf;

// Reads the file at path. Ends the process with status -1 when it cannot be
// opened. Returns the first entry, or nullptr when the file yields none.
s_vars *load_config(const char *path);

// Parses an open stream by the same grammar; the stream is not closed.
s_vars *read_config(FILE *f);

// Value of the first entry whose name equals key, ignoring ASCII case, or
// nullptr when there is none. The text belongs to the list.
const char *get_value(const s_vars *list, const char *key);

// Releases a whole list.
void free_config(s_vars *list);
