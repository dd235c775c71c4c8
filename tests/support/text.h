// Small text helpers the tests share.
#pragma once

#include <string>

namespace vt {

inline bool contains(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

// How many times needle occurs in text, without overlaps.
inline int occurrences(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size()))
        ++n;
    return n;
}

// n pseudo-random bytes, the same for the same seed.
inline std::string bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// Whether path is the temporary copy of an atomic upload of run: the
// folder and name given, a dot, the run's 16 hexadecimal digits and
// ".vantor-tmp" ("/d/.a.png." + mark + ".vantor-tmp" for "/d/.a.png").
inline bool temporary_of(const std::string &path, const std::string &folder_and_dot_name)
{
    const std::string head = folder_and_dot_name + ".", tail = ".vantor-tmp";
    if (path.size() != head.size() + 16 + tail.size() || path.compare(0, head.size(), head) != 0 ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = head.size(); i < head.size() + 16; ++i)
        if (!((path[i] >= '0' && path[i] <= '9') || (path[i] >= 'a' && path[i] <= 'f')))
            return false;
    return true;
}

}  // namespace vt
