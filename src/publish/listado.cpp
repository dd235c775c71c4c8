// Reading the lines of remote listings.
#include "publish/listado.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <cstdlib>

namespace {

bool digitos(const std::string &t, size_t min, size_t max)
{
    if (t.size() < min || t.size() > max)
        return false;
    for (char c : t)
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

long long numero(const std::string &t) { return strtoll(t.c_str(), nullptr, 10); }

// "type=file;size=12;modify=...; name": facts, one space, the name.
bool lee_mlsd(const std::string &linea, entrada_remota &e)
{
    const size_t espacio = linea.find(' ');
    if (espacio == std::string::npos || espacio + 1 >= linea.size())
        return false;
    e.nombre = linea.substr(espacio + 1);
    // A folder's own entries, whatever type a server gives them.
    if (e.nombre == "." || e.nombre == "..")
        return false;
    std::string tipo;
    size_t i = 0;
    while (i < espacio) {
        size_t fin = linea.find(';', i);
        if (fin == std::string::npos || fin > espacio)
            fin = espacio;
        const std::string hecho = linea.substr(i, fin - i);
        const size_t igual = hecho.find('=');
        if (igual != std::string::npos) {
            const std::string clave = hecho.substr(0, igual), valor = hecho.substr(igual + 1);
            if (strcasecmp(clave.c_str(), "type") == 0)
                tipo = valor;
            else if (strcasecmp(clave.c_str(), "size") == 0 && digitos(valor, 1, 19))
                e.tamano = numero(valor);
        }
        i = fin + 1;
    }
    if (strcasecmp(tipo.c_str(), "cdir") == 0 || strcasecmp(tipo.c_str(), "pdir") == 0)
        return false;
    e.carpeta = strcasecmp(tipo.c_str(), "dir") == 0;
    // "OS.unix=slink:target" and the like.
    e.enlace = strncasecmp(tipo.c_str(), "os.unix=sl", 10) == 0 || strncasecmp(tipo.c_str(), "os.unix=symlink", 15) == 0;
    if (e.carpeta || e.enlace)
        e.tamano = -1;
    return true;
}

struct palabra {
    std::string texto;
    size_t fin;  // where it ends in the line
};

// The first n blank-separated words of a line.
std::vector<palabra> palabras(const std::string &linea, size_t n)
{
    std::vector<palabra> p;
    for (size_t i = 0; i < linea.size() && p.size() < n;) {
        while (i < linea.size() && linea[i] == ' ')
            ++i;
        size_t j = i;
        while (j < linea.size() && linea[j] != ' ')
            ++j;
        if (j > i)
            p.push_back({linea.substr(i, j - i), j});
        i = j;
    }
    return p;
}

// "12:34", "2024" or "2024-01-31": the last part of a listing's date.
bool hora_o_anio(const std::string &t)
{
    if (digitos(t, 4, 4))
        return true;
    const size_t dos = t.find(':');
    return dos != std::string::npos && digitos(t.substr(0, dos), 1, 2) && digitos(t.substr(dos + 1), 2, 2);
}

bool fecha_iso(const std::string &t)
{
    return t.size() == 10 && digitos(t.substr(0, 4), 4, 4) && t[4] == '-' && digitos(t.substr(5, 2), 2, 2) &&
           t[7] == '-' && digitos(t.substr(8, 2), 2, 2);
}

// "-rw-r--r-- 1 owner [group] size month day time|year name", and the
// "YYYY-MM-DD HH:MM" form of the date. The name begins one space after the
// date, whatever it holds. At least one column stands between the type and
// the size: a numeric group followed by a size of four digits
// ("www 33 1234 Jan 01 12:00") would otherwise read as a day and a year.
bool lee_unix(const std::string &linea, entrada_remota &e)
{
    const char tipo = linea[0];
    if (tipo == '\0' || !strchr("-dlbcps", tipo))
        return false;
    const std::vector<palabra> p = palabras(linea, 9);
    for (size_t k = 4; k < p.size(); ++k) {
        size_t tam;
        if (k >= 5 && hora_o_anio(p[k].texto) && digitos(p[k - 1].texto, 1, 2) && !digitos(p[k - 2].texto, 1, 19) &&
            digitos(p[k - 3].texto, 1, 19))
            tam = k - 3;
        else if (hora_o_anio(p[k].texto) && fecha_iso(p[k - 1].texto) && digitos(p[k - 2].texto, 1, 19))
            tam = k - 2;
        else
            continue;
        if (p[k].fin + 1 >= linea.size())
            return false;
        e.nombre = linea.substr(p[k].fin + 1);
        e.carpeta = tipo == 'd';
        e.enlace = tipo == 'l';
        e.tamano = tipo == '-' ? numero(p[tam].texto) : -1;
        if (e.enlace) {
            const size_t flecha = e.nombre.find(" -> ");
            if (flecha != std::string::npos)
                e.nombre.resize(flecha);
        }
        return !e.nombre.empty() && e.nombre != "." && e.nombre != "..";
    }
    return false;
}

// "01-31-24  09:15AM       <DIR>          name" or "... 1234 name". The
// name begins one space after a size, and after "<DIR>" padded to 15
// columns, so that blanks it starts with stay in it.
bool lee_dos(const std::string &linea, entrada_remota &e)
{
    const std::vector<palabra> p = palabras(linea, 3);
    if (p.size() < 3 || p[0].texto.size() < 8 || !isdigit(static_cast<unsigned char>(p[0].texto[0])))
        return false;
    e.carpeta = p[2].texto == "<DIR>";
    size_t i = p[2].fin + 1;
    for (size_t relleno = 0; e.carpeta && relleno < 9 && i < linea.size() && linea[i] == ' '; ++relleno)
        ++i;
    if (i >= linea.size())
        return false;
    e.nombre = linea.substr(i);
    if (!e.carpeta && !digitos(p[2].texto, 1, 19))
        return false;
    e.tamano = e.carpeta ? -1 : numero(p[2].texto);
    return e.nombre != "." && e.nombre != "..";
}

}  // namespace

bool lee_entrada(const std::string &linea, bool mlsd, entrada_remota &e)
{
    e = entrada_remota{};
    if (linea.empty())
        return false;
    if (mlsd)
        return lee_mlsd(linea, e);
    if (isdigit(static_cast<unsigned char>(linea[0])))
        return lee_dos(linea, e);
    return lee_unix(linea, e);
}

std::vector<entrada_remota> lee_listado(const std::string &texto, bool mlsd)
{
    std::vector<entrada_remota> out;
    size_t i = 0;
    while (i < texto.size()) {
        size_t fin = texto.find('\n', i);
        if (fin == std::string::npos)
            fin = texto.size();
        std::string linea = texto.substr(i, fin - i);
        if (!linea.empty() && linea.back() == '\r')
            linea.pop_back();
        entrada_remota e;
        if (lee_entrada(linea, mlsd, e))
            out.push_back(std::move(e));
        i = fin + 1;
    }
    return out;
}
