#!/bin/bash
# A complete vantor session on one machine, with throwaway servers:
#   - installs what it needs with apt-get (Debian 12 or similar),
#   - builds vantor in build-demo/,
#   - starts a private FTP server on 127.0.0.1,
#   - publishes a small sample site, the catalogue in a file made on first use,
#   - lists what arrived on the server,
#   - changes one file and publishes again: only that file goes,
#   - stops the servers and removes their files on exit.
#
#   bash scripts/demo.sh
#
# The FTP server is pyftpdlib; VANTOR_DEMO_FTP=pure-ftpd uses pure-ftpd
# instead (run as root). VANTOR_DEMO_CATALOGUE=server keeps the catalogue on
# a private MariaDB server started for the demo instead (made with -c).
# VANTOR_DEMO_KEEP=1 keeps the work folder.
# Nothing here touches the system's own MariaDB or FTP services.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
ftp_kind=${VANTOR_DEMO_FTP:-pyftpdlib}
catalogue=${VANTOR_DEMO_CATALOGUE:-file}
py=/usr/bin/python3

say() { printf '\n==> %s\n' "$*"; }
die() { echo "demo: $*" >&2; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- packages -------------------------------------------------------------

packages=(cmake g++ make pkg-config libmariadb-dev libcurl4-openssl-dev libssl-dev libssh2-1-dev libsqlite3-dev
          python3)
case $catalogue in
    file) ;;
    server) packages+=(mariadb-server-core mariadb-client-core) ;;
    *) die "VANTOR_DEMO_CATALOGUE must be file or server" ;;
esac
case $ftp_kind in
    pyftpdlib) packages+=(python3-pyftpdlib) ;;
    pure-ftpd) packages+=(pure-ftpd openssl)
               [ "$(id -u)" -eq 0 ] || die "pure-ftpd needs root" ;;
    *) die "VANTOR_DEMO_FTP must be pyftpdlib or pure-ftpd" ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "Installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- build ----------------------------------------------------------------

say "Building vantor"
cmake -S "$src" -B "$src/build-demo" -DVANTOR_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build-demo" --target vantor -j2 >/dev/null
vantor=$src/build-demo/vantor

# --- servers --------------------------------------------------------------

work=$(mktemp -d /tmp/vantor-demo.XXXXXX)
chmod 755 "$work"
db_pid=
ftp_pid=
cleanup() {
    status=$?
    trap - EXIT INT TERM
    if [ -n "$ftp_pid" ]; then kill "$ftp_pid" 2>/dev/null || true; wait "$ftp_pid" 2>/dev/null || true; fi
    if [ -n "$db_pid" ]; then kill "$db_pid" 2>/dev/null || true; wait "$db_pid" 2>/dev/null || true; fi
    if [ "${VANTOR_DEMO_KEEP:-0}" = 1 ]; then
        echo "demo: work folder kept in $work"
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {
    "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until something accepts TCP connections on 127.0.0.1:$1.
wait_port() {
    for _ in $(seq 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    return 1
}

if [ "$catalogue" = server ]; then
db_port=$(free_port)
db_sock=$work/mariadb.sock
db_pass=demo-db-pass
say "Starting a private MariaDB on 127.0.0.1:$db_port"
root_opt=()
[ "$(id -u)" -eq 0 ] && root_opt=(--user=root)
mariadb-install-db --no-defaults "${root_opt[@]}" --datadir="$work/db" \
    --auth-root-authentication-method=normal --skip-test-db >"$work/install-db.log" 2>&1 ||
    { cat "$work/install-db.log"; die "mariadb-install-db failed"; }
mariadbd --no-defaults "${root_opt[@]}" --datadir="$work/db" \
    --port="$db_port" --bind-address=127.0.0.1 --socket="$db_sock" \
    --pid-file="$work/mariadb.pid" --log-error="$work/mariadb.err" \
    --skip-name-resolve --innodb-buffer-pool-size=32M \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    2>"$work/mariadbd.out" &
db_pid=$!
wait_port "$db_port" || { cat "$work/mariadb.err" "$work/mariadbd.out"; die "MariaDB did not start"; }
mariadb --no-defaults -S "$db_sock" -u root <<SQL
CREATE DATABASE vantor CHARACTER SET utf8mb4;
CREATE USER 'vantor'@'%' IDENTIFIED BY '$db_pass';
CREATE USER 'vantor'@'localhost' IDENTIFIED BY '$db_pass';
GRANT ALL ON vantor.* TO 'vantor'@'%';
GRANT ALL ON vantor.* TO 'vantor'@'localhost';
SQL
fi

ftp_port=$(free_port)
ftp_root=$work/ftp
ftp_pass=demo-ftp-pass
mkdir -p "$ftp_root/htdocs"
say "Starting a private FTP server ($ftp_kind) on 127.0.0.1:$ftp_port"
case $ftp_kind in
pyftpdlib)
    cat >"$work/ftpd.py" <<'PY'
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

port, root, user, password = sys.argv[1:5]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
FTPHandler.authorizer = authorizer
logging.basicConfig(level=logging.WARNING)
FTPServer(("127.0.0.1", int(port)), FTPHandler).serve_forever()
PY
    "$py" "$work/ftpd.py" "$ftp_port" "$ftp_root" web "$ftp_pass" 2>"$work/ftpd.log" &
    ftp_pid=$!
    ;;
pure-ftpd)
    # A PureDB virtual user mapped to nobody, with a SHA-512 crypt hash
    # (pure-pw's default argon2id makes every login take seconds).
    chown -R nobody:nogroup "$ftp_root"
    hash=$(openssl passwd -6 "$ftp_pass")
    printf 'web:%s:%s:%s::%s/./::::::::::::\n' "$hash" "$(id -u nobody)" "$(id -g nobody)" \
        "$ftp_root" >"$work/pureftpd.passwd"
    pure-pw mkdb "$work/pureftpd.pdb" -f "$work/pureftpd.passwd" >/dev/null
    /usr/sbin/pure-ftpd -S "127.0.0.1,$ftp_port" -l "puredb:$work/pureftpd.pdb" \
        -E -H -A -4 -f none 2>"$work/ftpd.log" &
    ftp_pid=$!
    ;;
esac
wait_port "$ftp_port" || { cat "$work/ftpd.log"; die "the FTP server did not start"; }

# --- configuration and sample site ------------------------------------------

site=$work/sitio
conf=$work/demo.conf
cat >"$conf" <<CONF
# vantor demonstration: every value is quoted except the ports.
localroot   = "$site"
remoteroot  = "/htdocs"
ftpserver   = "127.0.0.1"
ftpport     = $ftp_port
ftpuser     = "web"
ftppass     = "$ftp_pass"
CONF
if [ "$catalogue" = file ]; then
    # Beside this file; made by the first run.
    echo 'catalogue   = "catalogo.db"' >>"$conf"
else
    cat >>"$conf" <<CONF
dbserver    = "127.0.0.1"
dbport      = $db_port
dbname      = "vantor"
dbtablename = "site"
dbuser      = "vantor"
dbpass      = "$db_pass"
CONF
fi
chmod 600 "$conf"
say "Configuration $conf"
cat "$conf"

mkdir -p "$site/css" "$site/img" "$site/docs/guia"
printf '<!doctype html>\n<title>Inicio</title>\n<p>Bienvenidos.</p>\n' >"$site/index.html"
printf '<!doctype html>\n<title>Contacto</title>\n<p>Escríbanos.</p>\n' >"$site/contacto.html"
printf 'body { font-family: sans-serif; }\n' >"$site/css/estilo.css"
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01' >"$site/img/logo.png"
printf '<!doctype html>\n<title>Guía</title>\n<p>Primeros pasos.</p>\n' >"$site/docs/guia/intro.html"
# A fixed time in the past, so that the change made later is a new time.
find "$site" -type f -exec touch -d '2026-01-15 10:00:00' {} +
say "Sample site $site"
(cd "$site" && find . -type f | sort)

run() {
    echo "\$ vantor $*"
    local rc=0
    "$vantor" "$@" || rc=$?
    echo "(exit status $rc)"
    [ "$rc" -eq 0 ] || die "vantor $* failed"
}

list_remote() {
    "$py" - "$ftp_port" web "$ftp_pass" <<'PY'
import ftplib, sys

port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
ftp = ftplib.FTP()
ftp.encoding = "utf-8"
ftp.connect("127.0.0.1", port)
ftp.login(user, password)

def walk(path):
    for name, facts in sorted(ftp.mlsd(path, ["type", "size"])):
        if facts["type"] == "dir":
            walk(path + "/" + name)
        elif facts["type"] == "file":
            print("%8s  %s/%s" % (facts.get("size", "?"), path, name))

walk("/htdocs")
ftp.quit()
PY
}

# --- the session ------------------------------------------------------------

if [ "$catalogue" = server ]; then
    say "Creating the catalogue table"
    run "$conf" -c
fi

say "First publish: every file is new"
run "$conf"

say "What the FTP server holds now"
list_remote
for f in index.html contacto.html css/estilo.css img/logo.png docs/guia/intro.html; do
    cmp -s "$site/$f" "$ftp_root/htdocs/$f" || die "$f differs on the server"
done
echo "(every file arrived byte for byte)"

say "Second publish, nothing changed: nothing goes"
run "$conf"

say "Changing css/estilo.css"
printf 'h1 { color: #036; }\n' >>"$site/css/estilo.css"
say "Third publish: only css/estilo.css goes"
run "$conf"
cmp -s "$site/css/estilo.css" "$ftp_root/htdocs/css/estilo.css" || die "css/estilo.css differs"

say "The catalogue"
if [ "$catalogue" = file ]; then
    "$py" - "$work/catalogo.db" <<'PY'
import sqlite3, sys

db = sqlite3.connect(sys.argv[1])
print("Ruta\tNombre\tDia\tMes\tAnio\tHora\tMinuto\tSegundo")
for row in db.execute("SELECT Ruta, Nombre, Dia, Mes, Anio, Hora, Minuto, Segundo FROM site ORDER BY Ruta, Nombre"):
    print("\t".join(str(v) for v in row))
PY
else
    MYSQL_PWD=$db_pass mariadb --no-defaults -h 127.0.0.1 -P "$db_port" -u vantor vantor \
        -e 'SELECT * FROM site ORDER BY Ruta, Nombre'
fi

say "Done; stopping the servers"
