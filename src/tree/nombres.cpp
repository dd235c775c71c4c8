// Names the catalogue can hold as they are: its columns are utf8mb4 char(255),
// which keep at most 255 characters and drop trailing blanks.
#include "tree/walk.h"

#include <cstdio>
#include <cstring>

namespace {

// A value is valid UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF); counts its characters into *n.
bool utf8(const std::string &v, size_t *n)
{
    size_t count = 0;
    for (size_t i = 0; i < v.size();) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        size_t len;
        unsigned int cp;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > v.size())
            return false;
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(v[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
        ++count;
    }
    *n = count;
    return true;
}

}  // namespace

bool admisible(const std::string &v, const char **motivo)
{
    size_t n = 0;
    if (!utf8(v, &n)) {
        *motivo = "no es UTF-8 valido";
        return false;
    }
    if (n > 255) {
        *motivo = "tiene mas de 255 caracteres";
        return false;
    }
    // char columns drop trailing blanks: "a.txt " would be read back as
    // "a.txt" and share that file's row.
    if (!v.empty() && v.back() == ' ') {
        *motivo = "termina en blanco, que el catalogo no conserva";
        return false;
    }
    return true;
}

namespace {

// Marks the names of the temporary copies; a suffix, so that the server
// never runs a half-sent script by its extension.
constexpr const char *marca_temporal = ".vantor-tmp";

}  // namespace

uint64_t fnv1a(const std::string &s)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string nombre_temporal(const std::string &nombre, const std::string &ficha)
{
    const std::string marca = (ficha.empty() ? std::string() : "." + ficha.substr(0, 40)) + marca_temporal;
    if (nombre.size() <= 200)
        return "." + nombre + marca;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(nombre)));
    return "." + std::string(hex) + marca;
}

bool es_temporal(const std::string &nombre)
{
    const size_t m = strlen(marca_temporal);
    return nombre.size() > m + 1 && nombre[0] == '.' && nombre.compare(nombre.size() - m, m, marca_temporal) == 0;
}
