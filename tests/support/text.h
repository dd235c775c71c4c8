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

}  // namespace vt
