#!/bin/bash
# Builds the Debian package with CPack and checks it: the files it holds, its
# dependencies, and that the binary unpacked into a scratch root runs.
#
#   bash scripts/check-package.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-pkg in the source tree. An existing build
# directory (for example the normal CI build) is reused as it is; a missing
# one is configured without the test suite. A sanitizer build is refused: its
# binary would depend on the sanitizer runtimes.
#
# Needs cmake, a compiler, dpkg-dev (dpkg-shlibdeps) and file. Uses mandoc
# and lintian when they are installed.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-pkg}

fail() { echo "check-package: $*" >&2; exit 1; }
pass() { echo "check-package: ok: $*"; }

for tool in cmake cpack dpkg-deb dpkg-shlibdeps file gzip; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (apt-get install cmake dpkg-dev file gzip)"
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -DVANTOR_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if grep -q '^VANTOR_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    fail "$build is a sanitizer build; package a normal build"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

cmake --build "$build" --target vantor -j2
rm -f "$build"/vantor_*.deb
(cd "$build" && cpack -G DEB)

arch=$(dpkg --print-architecture)
deb=$build/vantor_${version}_${arch}.deb
[ -f "$deb" ] || fail "$deb was not built"
pass "built $deb"

# Contents.
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/vantor \
         ./usr/share/man/man1/vantor.1.gz \
         ./usr/share/doc/vantor/README.md \
         ./usr/share/doc/vantor/vantor.conf.example \
         ./usr/share/doc/vantor/copyright \
         ./usr/share/doc/vantor/changelog.gz; do
    grep -qxF "$f" <<<"$listing" || fail "$f missing from the package"
done
pass "package holds the binary, the manual page and the documentation"

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = vantor ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmariadb3 libcurl4 libssh2-1 libssl3; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
grep -q "libftp" <<<"$depends" && fail "Depends still names ftplib: $depends"
pass "Depends: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
grep -q "ca-certificates" <<<"$recommends" || fail "Recommends lacks ca-certificates: $recommends"

# Unpack into a scratch root and run what is there.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

help_expected='USO: vantor configfile [opciones]

     OPCIONES DISPONIBLES:

     -d, -delete        Borra todos los campos de la tabla especificada
                        en configfile. No borra la propia tabla, solo su
                        contenido.
     -r, -rebuild       Reconstruye la tabla especificada en configfile.
                        La tabla debe existir en la base de datos. No sube
                        nada al servidor.
     -c, -create        Crea la tabla especificada en configfile. El usuario
                        debe tener permisos para ello. No rellena la tabla,
                        solo crea su estructura.
     -l, -list          Lista los archivos que se subirian, nuevos o
                        cambiados, sin conectar con el servidor FTP ni
                        escribir en la tabla.
     -p, -prune         Borra del servidor los archivos publicados que ya
                        no existen en el directorio local, y sus filas de
                        la tabla. No borra directorios.'
rc=0
help=$("$root/usr/bin/vantor" -h) || rc=$?
[ "$rc" -eq 0 ] || fail "vantor -h exited with $rc"
# The original eleven pieces come first, unchanged; the options added since
# follow them.
[[ "$help" == "$help_expected"* ]] || fail "vantor -h printed an unexpected text:
$help"
pass "unpacked vantor -h prints the help and exits 0"

libs=$(ldd "$root/usr/bin/vantor")
grep -q 'libcurl\.so' <<<"$libs" || fail "vantor is not linked with libcurl:
$libs"
if grep -q 'libftp\.so' <<<"$libs"; then fail "vantor is still linked with ftplib"; fi
pass "vantor is linked with libcurl and not with ftplib"

rc=0
"$root/usr/bin/vantor" >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 255 ] || fail "vantor without arguments exited with $rc, not 255"
pass "unpacked vantor without arguments exits 255"

page=$root/usr/share/man/man1/vantor.1.gz
zcat "$page" | grep -q '^\.SH NOMBRE' || fail "manual page has no NOMBRE section"
if command -v mandoc >/dev/null; then
    zcat "$page" | mandoc -T lint -W warning ||
        fail "mandoc reports problems in the manual page"
    pass "manual page passes mandoc -T lint"
fi
if command -v lintian >/dev/null; then
    # Errors fail the check; warnings and notes are shown.
    out=$(lintian --pedantic -I "$deb" 2>&1 | grep -v '^running with root' || true)
    [ -z "$out" ] || echo "$out"
    if grep -q '^E:' <<<"$out"; then fail "lintian reports errors"; fi
    pass "lintian reports no errors"
fi

echo "check-package: $deb is fine"
