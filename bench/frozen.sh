#!/usr/bin/env bash
# The frozen lock holder, on a private two-node Galera cluster and pyftpdlib:
#
#   1. a run through node 1 publishes tree A (FROZEN_FILES files of
#      FROZEN_MIB MiB, 4 connections) and is frozen (SIGSTOP) once a quarter
#      of its files are done, with the others' transfers under way;
#   2. once its lease has expired (FROZEN_WAIT s), a run through node 2
#      publishes tree B: the same paths, the same sizes, other bytes;
#   3. the first run is resumed (SIGCONT) and left to end.
#
# Then every server file is compared with tree B: a file that differs
# (the first run's copy, a mix, an empty file) or is missing is a fault, and
# so is a first run that ends with any status but 3. Temporary copies left
# on the server are counted too. Each round does this with atomic = "no"
# and with atomic = "yes", each into an emptied folder and catalogue.
#
#   bench/frozen.sh [ROUNDS]   -> a Markdown table on stdout, progress on stderr
#
# ROUNDS defaults to 2 (about 3 minutes). Environment: FROZEN_FILES (100),
# FROZEN_MIB (4), FROZEN_WAIT (32), VANTOR_BIN (a built vantor; otherwise
# one is built in Release in build-bench/), BENCH_KEEP=1, TMPDIR.
#
# Needs mariadbd with galera-4, rsync (node 2's copy of node 1) and
# python3-pyftpdlib.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
repo=$(dirname "$here")
rounds=${1:-2}
files=${FROZEN_FILES:-100}
mib=${FROZEN_MIB:-4}
wait_s=${FROZEN_WAIT:-32}
export TZ=UTC LC_ALL=C
log() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
provider=/usr/lib/galera/libgalera_smm.so
[[ -r $provider ]] || { echo "bench/frozen.sh: no Galera provider at $provider (galera-4)" >&2; exit 1; }

if [[ -n ${VANTOR_BIN:-} ]]; then
    vantor=$VANTOR_BIN
else
    log "building vantor (Release) in build-bench/"
    cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
    cmake --build "$repo/build-bench" -j2 --target vantor >/dev/null 2>&1
    vantor=$repo/build-bench/vantor
fi

make_work frozen -1
mkdir -p "$work"/{A,B,logs} "$work/ftproot/site"

base=$(free_port_block 13 127.0.0.1)
[[ -n $base ]] || { echo "bench/frozen.sh: no free block of ports" >&2; exit 1; }
ftp_port=$base pasv_lo=$((base + 1)) pasv_hi=$((base + 4))
node_port=($((base + 5)) $((base + 6)))
gcomm=($((base + 7)) $((base + 9)))  # each node uses the next port too
sst=($((base + 11)) $((base + 12)))
db_port=${node_port[0]}
ftp_user=bench ftp_pass=benchpw db_user=bench db_pass=benchpw db_name=vantor
ftproot=$work/ftproot

# ---------------------------------------------------------------- the cluster
node_sql() {  # node sql
    mariadb --no-defaults --socket="$dbwork/node$1/sock" -uroot -N -B -e "$2" "${@:3}"
}
start_node() {  # node [--wsrep-new-cluster]
    local n=$1 d=$dbwork/node$1
    mariadbd --no-defaults --user=root --datadir="$d/data" --tmpdir="$d" --socket="$d/sock" \
        --port="${node_port[n - 1]}" --bind-address=127.0.0.1 --skip-name-resolve \
        --pid-file="$d/pid" --log-error="$d/error.log" \
        --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
        --innodb-buffer-pool-size=64M --innodb-flush-log-at-trx-commit=2 --skip-log-bin \
        --wsrep-on=ON --wsrep-provider="$provider" --wsrep-cluster-name="$(basename "$dbwork")" \
        --wsrep-cluster-address="gcomm://127.0.0.1:${gcomm[0]},127.0.0.1:${gcomm[1]}" \
        --wsrep-node-name="node$n" --wsrep-node-address="127.0.0.1:${gcomm[n - 1]}" \
        --wsrep-provider-options="base_port=${gcomm[n - 1]};gcache.size=32M;pc.ignore_sb=true" \
        --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:${sst[n - 1]}" \
        --binlog-format=ROW --innodb-autoinc-lock-mode=2 "${@:2}" >/dev/null 2>&1 &
    pids+=($!)
}
synced() { [[ $(node_sql "$1" "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null | cut -f2) == Synced ]]; }

log "starting a two-node Galera cluster on 127.0.0.1:${node_port[0]} and :${node_port[1]}"
mkdir -p "$dbwork/node1" "$dbwork/node2/data"
chown 65534:65534 "$dbwork/node2/data"  # the rsync daemon that writes node 2's copy runs as nobody
mariadb-install-db --no-defaults --datadir="$dbwork/node1/data" --user=root \
    --auth-root-authentication-method=normal --skip-test-db >"$dbwork/install.log" 2>&1
start_node 1 --wsrep-new-cluster
for _ in $(seq 300); do synced 1 && break; sleep 0.2; done
synced 1 || { echo "node 1 did not start" >&2; tail "$dbwork/node1/error.log" >&2; exit 1; }
node_sql 1 "CREATE DATABASE $db_name;
  CREATE USER '$db_user'@'%' IDENTIFIED BY '$db_pass';
  GRANT ALL ON $db_name.* TO '$db_user'@'%';"
start_node 2
for _ in $(seq 600); do synced 2 && break; sleep 0.2; done
synced 2 || { echo "node 2 did not join" >&2; tail "$dbwork/node2/error.log" >&2; exit 1; }

# ---------------------------------------------------------------- pyftpdlib
log "starting pyftpdlib on 127.0.0.1:$ftp_port"
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$ftp_port" -w -d "$ftproot" -r "$pasv_lo-$pasv_hi" \
    -u "$ftp_user" -P "$ftp_pass" >"$work/logs/ftp.log" 2>&1 &
pids+=($!)
wait_port 127.0.0.1 "$ftp_port"

# ---------------------------------------------------------------- the trees
log "writing two trees of $files files of $mib MiB"
for i in $(seq -w 1 "$files"); do
    head -c $((mib << 20)) /dev/urandom >"$work/A/f$i.bin"
    head -c $((mib << 20)) /dev/urandom >"$work/B/f$i.bin"
done
touch -d '2026-01-01 10:00:00' "$work"/A/*
touch -d '2026-01-02 10:00:00' "$work"/B/*

# ---------------------------------------------------------------- rounds
# What a server file holds against both trees: its size, and the ranges of
# 4 KiB blocks that differ from B's copy, each said to be A's bytes or
# neither.
describe() {  # name
    /usr/bin/python3 - "$work/A/$1" "$work/B/$1" "$ftproot/site/$1" <<'PY'
import os, sys
a, b = (open(p, "rb").read() for p in sys.argv[1:3])
if not os.path.exists(sys.argv[3]):
    print(os.path.basename(sys.argv[3]), "missing"); sys.exit()
s = open(sys.argv[3], "rb").read()
# In blocks of 4 KiB: runs of blocks that differ from B, and whose they are.
k, ranges, start, whose = 4096, [], None, set()
for i in range(0, max(len(s), len(b)) + k, k):
    differs = i < max(len(s), len(b)) and s[i:i + k] != b[i:i + k]
    if differs:
        start = i if start is None else start
        whose.add("A" if s[i:i + k] == a[i:i + k] else "neither")
    elif start is not None:
        ranges.append(f"{start}-{min(i, len(s))} ({'/'.join(sorted(whose))})")
        start, whose = None, set()
print(os.path.basename(sys.argv[3]), f"size {len(s)} (B: {len(b)}), differs at bytes", ", ".join(ranges))
PY
}
details=()
printf '| round | atomic | first run: status | files in flight at the freeze | second run: status | files not as B published them | temporary copies left |\n'
printf '|---|---|---|---|---|---|---|\n'
faults=0
for ((r = 1; r <= rounds; r++)); do
    for atomic in no yes; do
        for n in 1 2; do
            write_conf "$work/$n.conf" "$work/$([[ $n == 1 ]] && echo A || echo B)" site /site 127.0.0.1 \
                "$ftp_port" 127.0.0.1 "ftpconnections = 4" "atomic = \"$atomic\""
            sed -i "s/^dbport = .*/dbport = ${node_port[n - 1]}/" "$work/$n.conf"
        done
        reset_remote site
        node_sql 1 "DROP TABLE IF EXISTS site; DROP TABLE IF EXISTS vantor_bloqueo" "$db_name"
        "$vantor" "$work/1.conf" -c >/dev/null

        log "round $r, atomic = \"$atomic\": run 1 through node 1"
        out1=$work/logs/$r-$atomic-1.out
        : >"$out1"
        "$vantor" "$work/1.conf" >"$out1" 2>&1 &
        p1=$!
        until [[ $(grep -c ' subido con exito' "$out1" || true) -ge $((files / 4)) ]]; do
            kill -0 $p1 2>/dev/null || break
            sleep 0.05
        done
        kill -STOP $p1 2>/dev/null || true
        # Transfers under way: a final name short of its size, or a
        # temporary copy.
        inflight=$(find "$ftproot/site" -type f \( -name '*.vantor-tmp*' -o -size -$((mib << 10))k \) | wc -l)
        log "run 1 frozen with $(grep -c ' subido con exito' "$out1" || true) files done; waiting ${wait_s} s"
        sleep "$wait_s"

        log "run 2 through node 2"
        s2=0
        "$vantor" "$work/2.conf" >"$work/logs/$r-$atomic-2.out" 2>&1 || s2=$?
        kill -CONT $p1 2>/dev/null || true
        s1=0
        wait $p1 || s1=$?
        sleep 2  # what the server still writes of a transfer the first run had under way

        wrong=0
        for f in "$work"/B/*; do
            n=$(basename "$f")
            cmp -s "$f" "$ftproot/site/$n" && continue
            wrong=$((wrong + 1))
            details+=("round $r, atomic = \"$atomic\": $(describe "$n")")
        done
        temps=$(find "$ftproot/site" -name '*.vantor-tmp*' | wc -l)
        printf '| %d | %s | %d | %d | %d | %d | %d |\n' "$r" "$atomic" "$s1" "$inflight" "$s2" "$wrong" "$temps"
        if [[ $s1 != 3 || $s2 != 0 || $wrong != 0 ]]; then faults=$((faults + 1)); fi
    done
done
if ((${#details[@]})); then printf '\n'; printf -- '- %s\n' "${details[@]}"; fi
printf '\n%d of %d rounds with a fault (first run not 3, second not 0, or a file not as B published it).\n' \
    "$faults" $((rounds * 2))
