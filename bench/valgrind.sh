#!/usr/bin/env bash
# Memory check: vantor under valgrind's memcheck for a whole update cycle
# against a private MariaDB and a private pyftpdlib server on 127.0.0.1:
#
#   1. create mode (-c)
#   2. first update run: every file of a small tree is new, remote folders
#      are missing and get made
#   3. second update run: nothing changed, nothing is sent
#   4. rebuild (-r)
#
# Each run must end as usual (status 0, "Terminado!!!") with no memcheck
# error and no definitely lost block.
#
#   bench/valgrind.sh [path/to/vantor]
#
# Without a path, vantor is built (Debug, no tests) in build-memcheck/.
# Needs valgrind, mariadb-server, python3-pyftpdlib. Everything it starts is
# stopped on exit and its temporary folder removed (unless KEEP=1).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
export TZ=UTC LC_ALL=C

bin=${1:-}
if [[ -z $bin ]]; then
    cmake -S "$repo" -B "$repo/build-memcheck" -DCMAKE_BUILD_TYPE=Debug -DVANTOR_TESTS=OFF >/dev/null
    cmake --build "$repo/build-memcheck" -j2 --target vantor >/dev/null
    bin=$repo/build-memcheck/vantor
fi
bin=$(realpath "$bin")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantor-memcheck.XXXXXX")
chmod 755 "$tmp"
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    for p in "${pids[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    if [[ ${KEEP:-0} != 1 ]]; then
        rm -rf "$tmp"
    else
        echo "kept $tmp" >&2
    fi
}
trap cleanup EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

as_root=()
[[ $(id -u) -eq 0 ]] && as_root=(--user=root)

# MariaDB, its own data folder and socket.
db_port=$(free_port)
sock=$tmp/mariadbd.sock
mariadb-install-db --no-defaults --datadir="$tmp/data" --tmpdir="$tmp" \
    --auth-root-authentication-method=normal --skip-test-db "${as_root[@]}" >"$tmp/install.log" 2>&1
mariadbd --no-defaults --datadir="$tmp/data" --socket="$sock" --port="$db_port" \
    --bind-address=127.0.0.1 --skip-name-resolve --tmpdir="$tmp" --pid-file="$tmp/mariadbd.pid" \
    --log-error="$tmp/mariadbd.err" --character-set-server=utf8mb4 \
    --collation-server=utf8mb4_general_ci --skip-log-bin "${as_root[@]}" >"$tmp/mariadbd.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
    mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.1
done
mariadb --no-defaults --socket="$sock" -uroot <<'SQL'
CREATE DATABASE vantor;
CREATE USER 'vantor'@'%' IDENTIFIED BY 'clave';
CREATE USER 'vantor'@'localhost' IDENTIFIED BY 'clave';
GRANT ALL PRIVILEGES ON vantor.* TO 'vantor'@'%';
GRANT ALL PRIVILEGES ON vantor.* TO 'vantor'@'localhost';
SQL

# pyftpdlib with one account whose home holds /htdocs.
ftp_port=$(free_port)
low=$(free_port)
mkdir -p "$tmp/ftp/htdocs"
cat >"$tmp/ftpd.py" <<'PY'
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, root, low = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
a = DummyAuthorizer()
a.add_user("vantor", "secreto", root, perm="elradfmwMT")
FTPHandler.authorizer = a
FTPHandler.passive_ports = range(low, low + 8)
FTPServer(("127.0.0.1", port), FTPHandler).serve_forever()
PY
PYTHONNOUSERSITE=1 /usr/bin/python3 "$tmp/ftpd.py" "$ftp_port" "$tmp/ftp" "$low" 2>"$tmp/ftpd.log" &
pids+=($!)
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$ftp_port") 2>/dev/null && break
    sleep 0.1
done

# A small tree: files in the root, nested folders the server lacks, odd
# but catalogue-safe names.
web=$tmp/web
mkdir -p "$web/img/iconos" "$web/docs/2024/marzo" "$web/vacio"
for f in index.html estilo.css img/logo.png img/iconos/a.svg img/iconos/b.svg \
         "docs/2024/marzo/informe final.pdf" "docs/o'brien.txt" "docs/100%.txt" "docs/ñandú.txt"; do
    head -c $((RANDOM % 20000 + 1)) /dev/urandom >"$web/$f"
done

cat >"$tmp/vantor.conf" <<EOF
localroot   = "$web"
remoteroot  = "/htdocs"
ftpserver   = "127.0.0.1"
ftpport     = $ftp_port
ftpuser     = "vantor"
ftppass     = "secreto"
dbserver    = "127.0.0.1"
dbport      = $db_port
dbname      = "vantor"
dbtablename = "paginas"
dbuser      = "vantor"
dbpass      = "clave"
EOF

failed=0
# memcheck NAME [OPTION]: one run under valgrind; its output in $tmp/NAME.*
# CONF names another configuration file.
memcheck() {
    local name=$1
    shift
    local status=0 conf=${CONF:-$tmp/vantor.conf}
    valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --error-exitcode=99 --track-origins=yes \
        --log-file="$tmp/$name.valgrind" "$bin" "$conf" "$@" \
        >"$tmp/$name.out" 2>"$tmp/$name.err" || status=$?
    local errors lost
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$tmp/$name.valgrind" | tail -1)
    lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$tmp/$name.valgrind" | tail -1)
    printf '%-14s status %-3s memcheck errors %-3s definitely lost %s bytes\n' \
        "$name" "$status" "${errors:-?}" "${lost:-0}"
    if [[ $status -ne 0 || ${errors:-1} -ne 0 ]] || ! tail -1 "$tmp/$name.out" | grep -qx 'Terminado!!!'; then
        failed=1
        echo "---- $name: standard output" >&2
        cat "$tmp/$name.out" >&2
        echo "---- $name: valgrind" >&2
        cat "$tmp/$name.valgrind" >&2
    fi
}

memcheck create -c
memcheck first-update
memcheck no-change
memcheck rebuild -r
# Every file changed, sent again over four connections at once.
find "$web" -type f -exec touch -d '2030-01-02 03:04:05' {} +
{ cat "$tmp/vantor.conf"; echo 'ftpconnections = 4'; } >"$tmp/vantor4.conf"
CONF=$tmp/vantor4.conf memcheck changed-4conn

# The first run sent every file; the second sent nothing.
files=$(find "$web" -type f | wc -l)
sent=$(grep -c ' subido con exito$' "$tmp/first-update.out" || true)
quiet=$(grep -c -v -e '^Vantor v' -e '^Conectamos a ' -e '^Conectado!!!$' -e '^Login correcto$' \
    -e '^Terminado!!!$' "$tmp/no-change.out" || true)
stored=$(find "$tmp/ftp/htdocs" -type f | wc -l)
again=$(grep -c ' subido con exito$' "$tmp/changed-4conn.out" || true)
echo "files $files, sent by the first run $sent, on the server $stored, other lines in the no-change run $quiet," \
    "sent again over four connections $again"
if [[ $sent -ne $files || $stored -ne $files || $quiet -ne 0 || $again -ne $files ]]; then
    failed=1
fi

if [[ $failed -ne 0 ]]; then
    echo "memcheck: FAILED" >&2
    exit 1
fi
echo "memcheck: no error, no definite leak"
