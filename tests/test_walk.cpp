// The walk as a stream of events, without any server: files in the
// platform's order with their stamps, and each entry it cannot hand on as
// the line that says why, on its stream, counted or not.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "tree/walk.h"

namespace {

TEST(Walk, EventsInWalkOrder)
{
    vt::TempDir dir("vantor-walk");
    const std::string root = dir / "web";
    vt::make_dirs(root + "/a/b");
    vt::write_file(root + "/a/b/f.txt", "f");
    vt::write_file(root + "/a/malo ", "m");
    vt::write_file(root + "/excluido.tmp", "x");
    vt::write_file(root + "/a/.f.txt.vantor-tmp", "t");
    ASSERT_EQ(symlink("ninguna-parte", (root + "/a/roto").c_str()), 0);
    ASSERT_EQ(symlink("..", (root + "/a/arriba").c_str()), 0);
    vt::set_mtime(root + "/a/b/f.txt", 946684799);  // 31 December 1999, 23:59:59 UTC

    arbol t{root, {}, true};
    patron p;
    ASSERT_TRUE(lee_patron("*.tmp", p));
    t.exclusiones.push_back(p);

    // What each entry of /a/ should become, by name; the order is the
    // platform's.
    struct Want {
        std::string texto;
        bool a_error, omitido;
    };
    const std::vector<std::pair<std::string, Want>> a = {
        {"b", {"archivo /a/b/ f.txt", false, false}},
        {"malo ", {"Se omite /a/malo : el nombre termina en blanco, que el catalogo no conserva\n", false, true}},
        {"roto", {"   Error al hacer el stat: : No such file or directory\n", true, true}},
        {"arriba", {"Se omite /a/arriba: enlace a un directorio de su propia ruta\n", false, false}},
        {".f.txt.vantor-tmp",
         {"Se omite /a/.f.txt.vantor-tmp: su nombre es el de una copia temporal de atomic = \"yes\"\n", false, true}},
    };
    std::vector<std::string> want;
    DIR *d = opendir((root + "/a").c_str());
    while (dirent *de = readdir(d))
        for (const auto &[name, w] : a)
            if (name == de->d_name)
                want.push_back(w.texto + (w.a_error ? " E" : "") + (w.omitido ? " O" : ""));
    closedir(d);

    vt::InZone utc("UTC");
    recorrido r(t);
    suceso s;
    std::vector<std::string> got;
    while (r.siguiente(s)) {
        if (s.tipo == suceso::clase::archivo) {
            got.push_back("archivo " + s.ruta + " " + s.archivo.nombre);
            EXPECT_EQ(std::vector<int>({s.archivo.sello.dia, s.archivo.sello.mes, s.archivo.sello.anio, s.archivo.sello.hora, s.archivo.sello.minuto, s.archivo.sello.segundo}),
                      std::vector<int>({31, 12, 1999, 23, 59, 59}));
        } else {
            got.push_back(s.texto + (s.a_error ? " E" : "") + (s.omitido ? " O" : ""));
        }
    }
    EXPECT_EQ(got, want);

    // A root that cannot be opened is one counted line.
    arbol falta{root + "/no-existe", {}};
    recorrido nada(falta);
    ASSERT_TRUE(nada.siguiente(s));
    EXPECT_EQ(s.texto, "Error en la llamada a opendir: " + root + "/no-existe/\n");
    EXPECT_TRUE(s.omitido);
    EXPECT_FALSE(nada.siguiente(s));
}

// The walk run ahead on a thread of its own: the same events in the same
// order across many tramos, errors among them, and a reader that stops
// part-way (a failed lookup) gets the thread stopped and joined, also while
// it waits for room.
TEST(Walk, AheadOfItsReader)
{
    vt::TempDir dir("vantor-walk-ahead");
    const std::string root = dir / "web";
    for (int d = 0; d < 8; ++d) {
        const std::string carpeta = root + "/d" + std::to_string(d);
        vt::make_dirs(carpeta);
        for (int f = 0; f < 700; ++f)
            vt::write_file(carpeta + "/f" + std::to_string(f), "");
        ASSERT_EQ(symlink("ninguna-parte", (carpeta + "/roto").c_str()), 0);
    }
    const arbol t{root, {}};
    auto todos = [](auto &walk) {
        std::vector<std::string> v;
        suceso s;
        while (walk.siguiente(s))
            v.push_back(s.ruta + " " + s.archivo.nombre + " " + s.texto);
        EXPECT_FALSE(walk.siguiente(s));
        return v;
    };
    recorrido uno(t);
    recorrido_adelantado otro(t);
    const std::vector<std::string> esperados = todos(uno);
    EXPECT_EQ(esperados.size(), 8u * 701);
    EXPECT_EQ(todos(otro), esperados);

    for (int pausa_ms : {0, 100}) {
        recorrido_adelantado corto(t);
        suceso s;
        ASSERT_TRUE(corto.siguiente(s));
        std::this_thread::sleep_for(std::chrono::milliseconds(pausa_ms));
    }
}

// The temporary names of atomic uploads: derived from the name and the
// run's mark, a long name through a digest that keeps them within 255 bytes
// with the longest mark.
TEST(Walk, TemporaryNames)
{
    const std::string ficha = "0123456789abcdef";
    EXPECT_EQ(nombre_temporal("a.php"), ".a.php.vantor-tmp");
    EXPECT_EQ(nombre_temporal("a.php", ficha), ".a.php.0123456789abcdef.vantor-tmp");
    const std::string largo(255, 'x');
    EXPECT_EQ(nombre_temporal(largo), nombre_temporal(largo));
    EXPECT_NE(nombre_temporal(largo), nombre_temporal(std::string(254, 'x') + "y"));
    EXPECT_LE(nombre_temporal(largo, std::string(60, 'f')).size(), 255u);
    EXPECT_LE(nombre_temporal(std::string(200, 'x'), std::string(60, 'f')).size(), 255u);
    for (const std::string &n : {nombre_temporal("a.php"), nombre_temporal(largo), nombre_temporal("a.php", ficha),
                                 nombre_temporal(largo, ficha)})
        EXPECT_TRUE(es_temporal(n)) << n;
    for (const char *n : {"a.vantor-tmp", ".vantor-tmp", ".a.php"})
        EXPECT_FALSE(es_temporal(n)) << n;
}

}  // namespace
