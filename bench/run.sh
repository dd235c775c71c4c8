#!/usr/bin/env bash
# Benchmark of vantor against lftp's `mirror -R` and against the floors.
#
#   bench/run.sh            full run: the near scenarios at 1,000 / 10,000 /
#                           100,000 files (P1-P6), then the far and content
#                           scenarios (F1-F3, C1-C3), 3 repetitions where a run
#                           takes under BENCH_SLOW seconds
#   bench/run.sh --quick    smoke run: near scenarios, 1,000 and 10,000 files,
#                           1 repetition
#   bench/run.sh --far      F1-F3 and C1-C3 only, 1 repetition: 2,000 files
#                           with every tool, 10,000 files with the parallel
#                           runs only (8 connections, lftp -P8)
#   bench/run.sh --db-far   D1-D4 only: the catalogue near and 20 ms away,
#                           side by side, 3 repetitions
#   bench/run.sh --serve N  start the servers, make an N-file tree, fill the
#                           catalogue, print the configuration files and wait
#                           (for profiling by hand); Ctrl-C stops everything
#
# Needs root (apt-get, pure-ftpd's chroot). Installs the Debian packages it
# lacks, builds vantor in Release in build-bench/, the tools of bench/ in
# build-bench/bench-tools/ and, for the far scenarios, the baseline vantor of
# BENCH_BASELINE (a commit; its sources are unpacked in the temporary folder,
# its binary kept as build-bench/vantor-COMMIT), starts a private MariaDB and
# three pure-ftpd daemons on 127.0.0.1 (near, far, far with explicit TLS; the
# latency relays listen on 127.0.0.2), runs the scenarios and writes
# bench/RESULTS.md (RESULTS-quick.md for --quick, RESULTS-far.md for --far,
# RESULTS-db-far.md for --db-far).
# Everything it starts is stopped on exit; its temporary folder is removed
# unless BENCH_KEEP=1.
#
# Environment overrides (defaults of the full run; --far and --quick change
# some, see bench/README.md):
#   BENCH_SCENARIOS  "near first regen tlsfirst tlsregen c2 c3 d1 d2 d3 d4"
#   BENCH_SIZES      near sizes: "1000 10000 100000"
#   BENCH_FAR_SIZES  sizes of the far scenarios: "2000 10000"
#   BENCH_SEQ_MAX    largest size with the one-connection runs (vantor with
#                    one connection, the baseline, lftp without -P): 2000
#   BENCH_CONNS      connection counts (vantor's ftpconnections, lftp's -P):
#                    "1 4 8"
#   BENCH_TLS_CONNS  the same over TLS: "1 4 8"
#   BENCH_TLS_SIZES  sizes of the TLS scenarios: "2000 10000"
#   BENCH_REGEN_LFTP_CONNS, BENCH_REGEN_LFTP_SIZES  lftp's time-based mirror
#                    of the regenerated site runs with these -P values at
#                    these sizes only (it sends everything again, slowly):
#                    BENCH_CONNS, BENCH_FAR_SIZES
#   BENCH_BASELINE   commit of the vantor the one-connection runs are compared
#                    with (F2): 3f2ff24; "none" leaves it out
#   BENCH_FAR_FLOOR  1 = also the bare libcurl upload loop at 20 ms: 1
#   BENCH_C2_SIZE (100000), BENCH_C2_REPS (3), BENCH_C3_SIZE (10000)
#   BENCH_DB_SIZE (D1-D3: 10000), BENCH_DB_FIRST_SIZE (D4: 2000),
#   BENCH_DB_MEM_SIZES (D1's peak memory: "1000 100000"), BENCH_DB_FAR_RTT
#   (the catalogue's distance in D1-D4, ms: 20), BENCH_DB_BATCHES (lookups per
#   round trip of D1's lookup floors: "1 512 1024 2048")
#   BENCH_REPS (3), BENCH_FIRST_BIG_REPS (first publishes of 100,000 files: 1;
#   0 = seed the remote folders by copying instead), BENCH_SLOW (seconds; a
#   run slower than this is not repeated: 120), BENCH_TIMEOUT (per run,
#   seconds: 1800), BENCH_KEEP=1, TMPDIR.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
repo=$(dirname "$here")
mode=full
serve_size=0
case "${1:-}" in
    "") ;;
    --quick) mode=quick ;;
    --far) mode=far ;;
    --db-far) mode=dbfar ;;
    --serve) mode=serve; serve_size=${2:?--serve needs a number of files} ;;
    *) echo "usage: bench/run.sh [--quick | --far | --db-far | --serve NFILES]" >&2; exit 2 ;;
esac

case $mode in
quick)
    scenarios=${BENCH_SCENARIOS:-near}
    sizes=${BENCH_SIZES:-"1000 10000"}
    reps=${BENCH_REPS:-1}
    out_md=$here/RESULTS-quick.md ;;
far)
    scenarios=${BENCH_SCENARIOS:-"first regen tlsfirst c2 c3"}
    sizes=${BENCH_SIZES:-""}
    reps=${BENCH_REPS:-1}
    conns=${BENCH_CONNS:-"1 8"}
    tls_conns=${BENCH_TLS_CONNS:-8}
    tls_sizes=${BENCH_TLS_SIZES:-2000}
    regen_lftp_conns=${BENCH_REGEN_LFTP_CONNS:-8}
    regen_lftp_sizes=${BENCH_REGEN_LFTP_SIZES:-2000}
    far_floor=${BENCH_FAR_FLOOR:-0}
    out_md=$here/RESULTS-far.md ;;
dbfar)
    scenarios=${BENCH_SCENARIOS:-"d1 d2 d3 d4"}
    sizes=${BENCH_SIZES:-""}
    reps=${BENCH_REPS:-3}
    out_md=$here/RESULTS-db-far.md ;;
*)
    scenarios=${BENCH_SCENARIOS:-"near first regen tlsfirst tlsregen c2 c3 d1 d2 d3 d4"}
    sizes=${BENCH_SIZES:-"1000 10000 100000"}
    reps=${BENCH_REPS:-3}
    out_md=$here/RESULTS.md ;;
esac
if [[ $mode == serve ]]; then scenarios=near; fi
far_sizes=${BENCH_FAR_SIZES:-"2000 10000"}
seq_max=${BENCH_SEQ_MAX:-2000}
conns=${conns:-${BENCH_CONNS:-"1 4 8"}}
tls_conns=${tls_conns:-${BENCH_TLS_CONNS:-"1 4 8"}}
tls_sizes=${tls_sizes:-${BENCH_TLS_SIZES:-$far_sizes}}
far_floor=${far_floor:-${BENCH_FAR_FLOOR:-1}}
regen_lftp_conns=${regen_lftp_conns:-${BENCH_REGEN_LFTP_CONNS:-$conns}}
regen_lftp_sizes=${regen_lftp_sizes:-${BENCH_REGEN_LFTP_SIZES:-$far_sizes}}
baseline=${BENCH_BASELINE:-3f2ff24}
c2_size=${BENCH_C2_SIZE:-100000}
c2_reps=${BENCH_C2_REPS:-3}
c3_size=${BENCH_C3_SIZE:-10000}
db_size=${BENCH_DB_SIZE:-10000}
db_first_size=${BENCH_DB_FIRST_SIZE:-2000}
db_mem_sizes=${BENCH_DB_MEM_SIZES:-"1000 100000"}
db_batches=${BENCH_DB_BATCHES:-"1 512 1024 2048"}
has() { [[ " $scenarios " == *" $1 "* ]]; }
# Whether any far scenario (they share the third daemon, the baseline build
# and the certificate) was asked for.
any_far=0
for s in first regen tlsfirst tlsregen c3; do if has $s; then any_far=1; fi; done
# Whether a catalogue-distance scenario (they share the 20 ms database relay) was asked for.
any_db=0
for s in d1 d2 d3 d4; do if has $s; then any_db=1; fi; done
first_big_reps=${BENCH_FIRST_BIG_REPS:-1}
slow=${BENCH_SLOW:-120}
run_timeout=${BENCH_TIMEOUT:-1800}
export TZ=UTC LC_ALL=C

# The machine may be shared: the benchmark and every server it starts run at
# a raised priority (BENCH_NICE, default -10) so that other work disturbs the
# times less.
bench_nice=${BENCH_NICE:--10}
if [[ $(id -u) -ne 0 ]]; then
    echo "bench/run.sh: run it as root (it installs packages and pure-ftpd needs root to chroot)" >&2
    exit 1
fi

log() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# ---------------------------------------------------------------- packages
packages=(mariadb-server mariadb-client pure-ftpd lftp libmariadb-dev libcurl4-openssl-dev pkg-config
          cmake g++ time openssl python3 coreutils iproute2 git)
# ftplib only where something still links it: a checkout whose own build
# uses it, and the baseline vantor of the one-connection comparison.
if grep -q 'ftplib' "$repo/CMakeLists.txt" || { ((any_far)) && [[ $baseline != none ]]; }; then
    packages+=(libftp-dev)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
        { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
fi
python=/usr/bin/python3

# ---------------------------------------------------------------- build
log "building vantor (Release) in build-bench/"
cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
cmake --build "$repo/build-bench" -j2 >/dev/null
vantor=$repo/build-bench/vantor
log "building the benchmark tools in build-bench/bench-tools/"
cmake -S "$here" -B "$repo/build-bench/bench-tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$repo/build-bench/bench-tools" -j2 >/dev/null
gentree=$repo/build-bench/bench-tools/gentree
latproxy=$repo/build-bench/bench-tools/latproxy
floors=$repo/build-bench/bench-tools/floors

# ---------------------------------------------------------------- work folder and clean-up
renice -n "$bench_nice" -p $$ >/dev/null
# Trees, the FTP root and the logs go to memory (/dev/shm) when it has room,
# so that the shared disk's other traffic does not swamp the upload times; the
# database keeps its files on disk, where a commit costs what it costs.
make_work bench $((10 * 1024 * 1024))
running=
# Ends a process and everything below it, deepest first, by process id.
kill_tree() {
    local c
    for c in $(pgrep -P "$1" 2>/dev/null); do kill_tree "$c"; done
    kill "$1" 2>/dev/null || true
}
# At exit, the tool being measured goes first, with what it started.
stop_running() {
    if [[ -n $running ]]; then
        kill_tree "$running"
        wait "$running" 2>/dev/null || true
    fi
}
mkdir -p "$work"/{trees,logs,home,cfg}
results=$work/results.tsv
: >"$results"
# Per-run facts beyond the times (remote folder equal to the tree, DELE
# counts, the same-size edit), one tab-separated line each, for the report.
extra=$work/extra.tsv
: >"$extra"

# ---------------------------------------------------------------- baseline vantor
# The one-connection comparison (F2) runs today's vantor beside the new one:
# the sources of commit BENCH_BASELINE are unpacked in the temporary folder and
# built in Release; the binary is kept as build-bench/vantor-COMMIT for the
# next run.
vantor_old=
if ((any_far)) && [[ $baseline != none ]]; then
    baseline=$(git -C "$repo" rev-parse --short=7 "$baseline^{commit}")
    vantor_old=$repo/build-bench/vantor-$baseline
    if [[ ! -x $vantor_old ]]; then
        log "building the baseline vantor of $baseline (Release) in the temporary folder"
        mkdir -p "$work/baseline-src"
        git -C "$repo" archive --format=tar "$baseline" | tar -x -C "$work/baseline-src"
        cmake -S "$work/baseline-src" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE=Release \
            -DVANTOR_TESTS=OFF >/dev/null
        cmake --build "$work/baseline-build" -j2 >/dev/null
        cp "$work/baseline-build/vantor" "$vantor_old.tmp"
        mv "$vantor_old.tmp" "$vantor_old"
        rm -rf "$work/baseline-src" "$work/baseline-build"
    fi
fi

# ---------------------------------------------------------------- ports
# One block of free ports, checked on both loopback addresses:
# +0 FTP near, +1 FTP far, +2 MariaDB, +3..+102 passive near, +103..+202 passive far,
# +203 FTP far over TLS, +204..+303 its passive range. The database relay of
# D1-D4 listens on 127.0.0.3 at the database's port.
base=$(free_port_block 304 127.0.0.1 127.0.0.2 127.0.0.3)
[[ -n $base ]] || { echo "no free port block found" >&2; exit 1; }
ftp_near=$base
ftp_far=$((base + 1))
db_port=$((base + 2))
pasv_near="$((base + 3)):$((base + 102))"
pasv_far_lo=$((base + 103))
pasv_far_hi=$((base + 202))
ftp_tls=$((base + 203))
pasv_tls_lo=$((base + 204))
pasv_tls_hi=$((base + 303))
ftp_user=bench
ftp_pass=benchpw
db_user=bench
db_pass=benchpw
db_name=vantor
ftp_rtt_ms=20
db_rtt_ms=2
dbfar_rtt_ms=${BENCH_DB_FAR_RTT:-20}

# ---------------------------------------------------------------- MariaDB
start_mariadb
dbroot() { mariadb --no-defaults --socket="$dbwork/sock" -uroot "$@"; }
dbq() { mariadb --no-defaults -h127.0.0.1 -P"$db_port" -u"$db_user" -p"$db_pass" -N -B "$db_name" -e "$1"; }
dbq "SELECT 1" >/dev/null

# ---------------------------------------------------------------- pure-ftpd
start_pureftpd_pair

# The third daemon, for the far scenarios over TLS: like the far one, with
# TLS offered (-Y 1: a client that asks with AUTH TLS gets it) under a
# certificate made now for 127.0.0.2, the address the clients connect to and
# the one it announces for passive mode (and 127.0.0.1). The clients trust
# exactly this certificate (vantor's ftpcafile, lftp's ssl:ca-file).
tls_cert=$work/tls/cert.pem
if ((any_far)); then
    mkdir -p "$work/tls"
    openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=vantor-bench" \
        -addext "subjectAltName=IP:127.0.0.2,IP:127.0.0.1" \
        -keyout "$work/tls/key.pem" -out "$tls_cert" 2>"$work/tls/openssl.log"
    cat "$tls_cert" "$work/tls/key.pem" >"$work/tls/pure-ftpd.pem"
    chmod 600 "$work/tls/key.pem" "$work/tls/pure-ftpd.pem"
    log "starting pure-ftpd with TLS on 127.0.0.1:$ftp_tls (far, seen at 127.0.0.2)"
    pure-ftpd -l "puredb:$work/ftp.pdb" -S "127.0.0.1,$ftp_tls" -E -H -A -p "$pasv_tls_lo:$pasv_tls_hi" \
        -P 127.0.0.2 -c 50 -C 50 -f none -Y 1 -2 "$work/tls/pure-ftpd.pem" >"$work/ftp-tls.log" 2>&1 &
    pids+=($!)
fi

# ---------------------------------------------------------------- latency relays
"$latproxy" $((ftp_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$ftp_far" "$pasv_far_lo-$pasv_far_hi" \
    >"$work/proxy-ftp.log" 2>&1 &
pids+=($!)
if ((any_far)); then
    "$latproxy" $((ftp_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$ftp_tls" "$pasv_tls_lo-$pasv_tls_hi" \
        >"$work/proxy-ftp-tls.log" 2>&1 &
    pids+=($!)
fi
"$latproxy" $((db_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$db_port" >"$work/proxy-db.log" 2>&1 &
pids+=($!)
if ((any_db)); then
    "$latproxy" $((dbfar_rtt_ms * 500)) 127.0.0.3 127.0.0.1 "$db_port" >"$work/proxy-db-far.log" 2>&1 &
    pids+=($!)
fi

wait_port 127.0.0.1 "$ftp_near"
wait_port 127.0.0.1 "$ftp_far"
wait_port 127.0.0.2 "$ftp_far"
wait_port 127.0.0.2 "$db_port"
if ((any_db)); then wait_port 127.0.0.3 "$db_port"; fi
if ((any_far)); then
    wait_port 127.0.0.1 "$ftp_tls"
    wait_port 127.0.0.2 "$ftp_tls"
fi

# ---------------------------------------------------------------- helpers

# lftp's reverse mirror, as a script so that timeout and GNU time can run it.
# Without options it is the mirror of the near scenarios; --tls asks for
# explicit TLS on control and data with the benchmark's certificate as the
# only one trusted, -P N uploads N files at once, --ignore-time compares sizes
# only (instead of --only-newer), -e deletes what the tree no longer holds.
lftp_mirror=$work/lftp-mirror
cat >"$lftp_mirror" <<EOF
#!/bin/sh
# usage: lftp-mirror [--tls] [-P N] [--ignore-time] [-e] HOST PORT LOCAL REMOTE
pre=""
opts="--only-newer"
while :; do
    case "\$1" in
    --tls) pre="set ssl:ca-file $tls_cert; set ftp:ssl-force true; set ftp:ssl-protect-data true; "; shift ;;
    -P) opts="\$opts -P \$2"; shift 2 ;;
    --ignore-time) opts="--ignore-time\${opts#--only-newer}"; shift ;;
    -e) opts="\$opts --delete"; shift ;;
    *) break ;;
    esac
done
HOME=$work/home exec lftp -u "$ftp_user,$ftp_pass" -p "\$2" "\$1" \\
    -e "set cmd:fail-exit yes; set net:max-retries 2; \${pre}mirror -R \$opts \$3 \$4; quit"
EOF
chmod +x "$lftp_mirror"

# CPU seconds the database server has used so far (user + system).
db_cpu() {
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$db_pid/stat"
}

last_secs=0
rep_max=0
# measure SCENARIO SIZE NET TOOL REP -- COMMAND...: times one run and records
# wall seconds, GNU time's max RSS, the client's CPU seconds, the database
# server's CPU seconds during the run, the exit status and, for vantor, the
# files uploaded and the failed uploads.
measure() {
    local sc=$1 n=$2 net=$3 tool=$4 rep=$5
    shift 6
    local logf="$work/logs/$sc-$n-$net-$tool-$rep.log" t0 t1 rc rss cpu up err c0 c1 dcpu
    c0=$(db_cpu)
    t0=$(date +%s%N)
    # In the background and waited for, so that a signal to the script runs
    # the clean-up at once (it ends this run too) instead of after the run.
    set +e
    /usr/bin/time -f '%M %U %S' -o "$work/rss" timeout "$run_timeout" "$@" >"$logf" 2>&1 &
    running=$!
    wait "$running"
    rc=$?
    running=
    set -e
    t1=$(date +%s%N)
    c1=$(db_cpu)
    read -r rss cpu < <(tail -n1 "$work/rss" | awk '{ printf "%s %.2f\n", $1, $2 + $3 }') || true
    [[ ${rss:-} =~ ^[0-9]+$ ]] || { rss=0; cpu=0; }
    up=$(grep -c 'subido con exito' "$logf" || true)
    err=$(grep -c 'ERROR al subir' "$logf" || true)
    last_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    dcpu=$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }')
    rep_max=$(awk -v a="$rep_max" -v b="$last_secs" 'BEGIN { print (b > a ? b : a) }')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$sc" "$n" "$net" "$tool" "$rep" "$last_secs" \
        "$rss" "$rc" "$up" "$err" "$cpu" "$dcpu" >>"$results"
    log "$(printf '%-8s %6s %-6s %-14s #%s %9ss  cpu %6ss  db %6ss  rss %6s KB  rc %s  up %s' "$sc" "$n" \
        "$net" "$tool" "$rep" "$last_secs" "$cpu" "$dcpu" "$rss" "$rc" "$up")"
    if [[ $rc -ne 0 ]]; then
        log "  non-zero exit; last lines of $logf:"
        tail -n 5 "$logf" | sed 's/^/    /' >&2
    fi
}

# repeat REPS -- FUNCTION: runs FUNCTION REP for REP = 1..REPS; each call
# runs every tool of a scenario once, so the tools take turns and a change in
# the machine's load hits them alike. When one repetition had a run slower
# than BENCH_SLOW seconds, the repetitions end there.
repeat() {
    local r=$1 i
    shift 2
    for ((i = 1; i <= r; i++)); do
        rep_max=0
        "$@" "$i"
        if awk -v s="$rep_max" -v l="$slow" 'BEGIN { exit !(s > l) }' && ((i < r)); then
            log "  a run was slower than ${slow}s: not repeated"
            note "$* at $n files ($net): stopped after $i repetition(s), a run took over ${slow} s"
            break
        fi
    done
}

note() { printf '%s\n' "$*" >>"$work/notes.txt"; }
: >"$work/notes.txt"

# ---------------------------------------------------------------- per size
prepare_size() {  # n
    local n=$1 t=$work/trees/t$1
    log "making the tree of $n files"
    "$gentree" make "$t" "$n" >"$work/logs/gentree-$n.log"
    note "tree $n: $(cat "$work/logs/gentree-$n.log")"
    write_conf "$work/cfg/near-$n.conf" "$t" "cat$n" "/v$n" 127.0.0.1 "$ftp_near" 127.0.0.1
    write_conf "$work/cfg/ftpfar-$n.conf" "$t" "cat$n" "/v$n" 127.0.0.2 "$ftp_far" 127.0.0.1
    write_conf "$work/cfg/dbfar-$n.conf" "$t" "cat$n" "/v$n" 127.0.0.1 "$ftp_near" 127.0.0.2
    "$vantor" "$work/cfg/near-$n.conf" -c >"$work/logs/create-$n.log" 2>&1 ||
        { cat "$work/logs/create-$n.log" >&2; exit 1; }
    local idx
    idx=$(dbq "SELECT COUNT(*) FROM information_schema.statistics WHERE table_schema='$db_name' AND table_name='cat$n'")
    note "table cat$n made by \`vantor CONF -c\`: $idx index column(s)"
    [[ $idx -gt 0 ]] || log "WARNING: vantor -c made no index on cat$n"
    dbq "CREATE TABLE floor$n LIKE cat$n"
    reset_remote "v$n"
    reset_remote "l$n"
}

# One repetition of each scenario: every tool once, in turn.
rep_first() {
    reset_remote "v$n"
    "$vantor" "$work/cfg/near-$n.conf" -d >/dev/null
    measure first "$n" near vantor "$1" -- "$vantor" "$work/cfg/near-$n.conf"
    reset_remote "l$n"
    measure first "$n" near lftp "$1" -- "$lftp_mirror" 127.0.0.1 "$ftp_near" "$tree" "/l$n"
    reset_remote "f$n"
    measure first "$n" near floor-put "$1" -- "$floors" put "$tree" "127.0.0.1:$ftp_near" "$ftp_user" "$ftp_pass" "/f$n"
}
rep_rebuild() {
    measure rebuild "$n" near vantor "$1" -- "$vantor" "$work/cfg/near-$n.conf" -r
    measure rebuild "$n" near floor-insert "$1" -- "$floors" insert "$tree" 127.0.0.1 "$db_port" "$db_user" "$db_pass" "$db_name" "floor$n"
    measure rebuild "$n" near floor-insert50 "$1" -- "$floors" insert "$tree" 127.0.0.1 "$db_port" "$db_user" "$db_pass" "$db_name" "floor$n" 50
}
ftp_host() { if [[ $net == ftpfar ]]; then echo "127.0.0.2 $ftp_far"; else echo "127.0.0.1 $ftp_near"; fi; }
db_host() { if [[ $net == dbfar ]]; then echo 127.0.0.2; else echo 127.0.0.1; fi; }
rep_same() {
    local fh fp
    read -r fh fp < <(ftp_host)
    measure nochange "$n" "$net" vantor "$1" -- "$vantor" "$work/cfg/$net-$n.conf"
    if [[ $net != dbfar ]]; then
        measure nochange "$n" "$net" lftp "$1" -- "$lftp_mirror" "$fh" "$fp" "$tree" "/l$n"
    fi
    if [[ $net == near ]]; then
        measure nochange "$n" near floor-stat "$1" -- "$floors" stat "$tree"
        measure nochange "$n" near floor-lookup "$1" -- "$floors" lookup "$tree" 127.0.0.1 "$db_port" "$db_user" "$db_pass" "$db_name" "cat$n"
    fi
}
rep_lookup_far() {
    measure nochange "$n" dbfar floor-lookup "$1" -- "$floors" lookup "$tree" 127.0.0.2 "$db_port" "$db_user" "$db_pass" "$db_name" "cat$n"
}
modify_rep=0
rep_changes() {
    local fh fp
    read -r fh fp < <(ftp_host)
    "$gentree" modify "$tree" "$((++modify_rep))" >/dev/null
    measure changes "$n" "$net" vantor "$1" -- "$vantor" "$work/cfg/$net-$n.conf"
    measure changes "$n" "$net" lftp "$1" -- "$lftp_mirror" "$fh" "$fp" "$tree" "/l$n"
}

verify() {  # n: both remote folders must now equal the tree
    local ok=yes
    diff -r -q "$tree" "$ftproot/v$n" >/dev/null 2>&1 || ok=no
    note "size $n: remote folder of vantor equals the tree after the runs: $ok"
    ok=yes
    diff -r -q "$tree" "$ftproot/l$n" >/dev/null 2>&1 || ok=no
    note "size $n: remote folder of lftp equals the tree after the runs: $ok"
}

run_size() {
    n=$1
    tree=$work/trees/t$n
    prepare_size "$n"
    net=near
    local fr=$reps
    ((n >= 100000)) && fr=$first_big_reps
    if ((fr > 0)); then
        repeat "$fr" -- rep_first
        rm -rf "${ftproot:?}/f$n"
    else
        log "seeding the remote folders of $n files by copy (no first publish measured)"
        cp -a "$tree/." "$ftproot/v$n/"
        cp -a "$tree/." "$ftproot/l$n/"
        chown -R 65534:65534 "$ftproot/v$n" "$ftproot/l$n"
        note "size $n: first publish not measured; remote folders filled with cp -a"
    fi
    repeat "$reps" -- rep_rebuild
    repeat "$reps" -- rep_same
    repeat "$reps" -- rep_changes
    verify "$n"
    # Far: the FTP server 20 ms away (1,000 and 10,000 files), the database
    # 2 ms away (10,000 and 100,000 files; the lookup floor at 1,000 files).
    if ((n <= 10000)); then
        net=ftpfar
        repeat "$reps" -- rep_same
        repeat "$reps" -- rep_changes
    fi
    net=dbfar
    if ((n >= 10000)); then repeat "$reps" -- rep_same; fi
    if ((n == 1000)); then repeat "$reps" -- rep_lookup_far; fi
    net=near
    log "removing the trees of $n files"
    rm -rf "${ftproot:?}/v$n" "${ftproot:?}/l$n" "$tree"
}

# ---------------------------------------------------------------- far scenarios (F1-F3, C1, C3) and C2
# Every tool publishes the same tree into a folder of its own on the same
# server (/F<n>/<tool>); each vantor variant has its own table (f<n>_<variant>).
# A vantor variant is nK (K connections, time mode), old (the baseline
# binary, today's configuration) or content (compare = "content").
# Transports: plain (the far daemon) and tls (the third daemon, explicit TLS).
vbin() { if [[ $1 == old ]]; then echo "$vantor_old"; else echo "$vantor"; fi; }
netname() { if [[ $1 == tls ]]; then echo tlsfar; else echo ftpfar; fi; }
far_port() { if [[ $1 == tls ]]; then echo "$ftp_tls"; else echo "$ftp_far"; fi; }
tls_flag() { if [[ $1 == tls ]]; then echo --tls; fi; }

far_conf() {  # n variant transport: writes the file and prints its path
    local n=$1 v=$2 t=$3 f="$work/cfg/$3-$1-$2.conf" lines=()
    case $v in
    n*) lines+=("ftpconnections = ${v#n}") ;;
    content) lines+=('compare = "content"') ;;
    esac
    if [[ $t == tls ]]; then lines+=('ftptls = "explicit"' "ftpcafile = \"$tls_cert\""); fi
    write_conf "$f" "$work/trees/f$n" "f${n}_$v" "/F$n/vantor-$v" 127.0.0.2 "$(far_port "$t")" 127.0.0.1 \
        ${lines[@]+"${lines[@]}"}
    echo "$f"
}

# The connection counts measured at n files over a transport: the
# one-connection runs only up to BENCH_SEQ_MAX files.
conns_at() {  # n transport
    local c list=$conns
    [[ $2 == tls ]] && list=$tls_conns
    for c in $list; do
        ((c == 1 && $1 > seq_max)) || echo "$c"
    done
}
par_conns() { conns_at "$@" | grep -vx 1 || true; }
has_seq() { [[ " $(conns_at "$@" | tr '\n' ' ') " == *" 1 "* ]]; }

check_remote() {  # sc net tool rep folder: is the remote folder the tree now?
    local ok=yes
    diff -r -q "$tree" "$ftproot/$5" >/dev/null 2>&1 || ok=no
    printf 'equal\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$n" "$2" "$3" "$4" "$ok" >>"$extra"
    [[ $ok == yes ]] || log "  remote folder /$5 differs from the tree"
}

seed_folder() {  # folder: a copy of the tree as it is now, times kept
    reset_remote "$1"
    cp -a "$tree/." "$ftproot/$1/"
    chown -R 65534:65534 "$ftproot/$1"
}

prepare_far() {  # n
    local n=$1 v bin conf
    tree=$work/trees/f$n
    log "making the far tree of $n files"
    "$gentree" make "$tree" "$n" >"$work/logs/gentree-f$n.log"
    note "far tree $n: $(cat "$work/logs/gentree-f$n.log")"
    for v in $(far_variants "$n"); do
        bin=$(vbin "$v")
        conf=$(far_conf "$n" "$v" plain)
        "$bin" "$conf" -c >"$work/logs/create-f$n-$v.log" 2>&1 ||
            { cat "$work/logs/create-f$n-$v.log" >&2; exit 1; }
    done
    if has regen || has tlsregen; then
        local cols
        cols=$(dbq "SELECT COUNT(*) FROM information_schema.columns WHERE table_schema='$db_name' AND table_name='f${n}_content'")
        note "table f${n}_content made by \`vantor CONF -c\` with compare = \"content\": $cols column(s)"
    fi
}
far_variants() {  # n: every vantor variant some far scenario uses at n files
    local c
    for c in $( (conns_at "$1" plain; conns_at "$1" tls) | sort -nu); do echo "n$c"; done
    if [[ -n $vantor_old ]] && ((${1} <= seq_max)); then echo old; fi
    echo content
}

# One far run of vantor: untimed reset (folder emptied and catalogue cleared
# for a first publish), then the timed run, then the folder checked.
far_vantor() {  # sc variant transport rep
    local sc=$1 v=$2 t=$3 conf bin
    conf=$(far_conf "$n" "$v" "$t")
    bin=$(vbin "$v")
    if [[ $sc == ffirst ]]; then
        reset_remote "F$n/vantor-$v"
        "$bin" "$conf" -d >/dev/null
    fi
    measure "$sc" "$n" "$(netname "$t")" "vantor-$v" "$4" -- "$bin" "$conf"
    check_remote "$sc" "$(netname "$t")" "vantor-$v" "$4" "F$n/vantor-$v"
}
far_lftp() {  # sc K|size transport rep
    local sc=$1 k=$2 t=$3 tool folder args=()
    if [[ $k == size ]]; then
        tool=lftp-size
        k=$(last_conn "$n" "$t")
        args+=(--ignore-time)
    else
        tool=lftp-p$k
    fi
    if ((k > 1)); then args+=(-P "$k"); fi
    folder=F$n/$tool
    if [[ $sc == ffirst ]]; then reset_remote "$folder"; fi
    measure "$sc" "$n" "$(netname "$t")" "$tool" "$4" -- "$lftp_mirror" $(tls_flag "$t") "${args[@]}" \
        127.0.0.2 "$(far_port "$t")" "$tree" "/$folder"
    if [[ $tool != lftp-size ]]; then check_remote "$sc" "$(netname "$t")" "$tool" "$4" "$folder"; fi
}
# lftp --ignore-time runs with one connection where the one-connection runs
# are measured, with the most connections elsewhere.
last_conn() { if has_seq "$1" "$2"; then echo 1; else conns_at "$1" "$2" | tail -n1; fi; }

# First publish: the one-connection group (vantor, the baseline, lftp
# without -P, the bare libcurl loop) and the parallel group are repeated
# apart, so that the slow group does not cut the repetitions of the other.
rep_far_first_seq() {
    far_vantor ffirst n1 "$tr" "$1"
    if [[ $tr == plain && -n $vantor_old ]]; then far_vantor ffirst old plain "$1"; fi
    far_lftp ffirst 1 "$tr" "$1"
    if [[ $tr == plain && $far_floor == 1 ]]; then
        reset_remote "F$n/floor-put"
        measure ffirst "$n" ftpfar floor-put "$1" -- "$floors" put "$tree" "127.0.0.2:$ftp_far" "$ftp_user" \
            "$ftp_pass" "/F$n/floor-put"
        check_remote ffirst ftpfar floor-put "$1" "F$n/floor-put"
    fi
}
rep_far_first_par() {
    local k
    for k in $(par_conns "$n" "$tr"); do
        far_vantor ffirst "n$k" "$tr" "$1"
        far_lftp ffirst "$k" "$tr" "$1"
    done
}

# Regenerated site: every tool's folder (and catalogue) is first made equal
# to the tree as it is (untimed: a copy with the times kept, `vantor -r`),
# then every file of the tree gets a new time with the same contents, then
# each tool runs once. Time mode sends every file again; content mode
# (C1) should send none; lftp --ignore-time sends none but misses same-size
# edits (checked once, after the first repetition, by check_same_size_edit).
regen_rep=0
far_regen() {  # rep tools...: tools are vantor-<variant> and lftp-<pK|size>
    local rep=$1 tool v
    shift
    for tool in "$@"; do
        seed_folder "F$n/$tool"
        if [[ $tool == vantor-* ]]; then
            v=${tool#vantor-}
            "$(vbin "$v")" "$(far_conf "$n" "$v" "$tr")" -r >/dev/null
        fi
    done
    "$gentree" regen "$tree" "$((++regen_rep))" >/dev/null
    for tool in "$@"; do
        case $tool in
        vantor-*) far_vantor fregen "${tool#vantor-}" "$tr" "$rep" ;;
        lftp-size) far_lftp fregen size "$tr" "$rep" ;;
        lftp-p*) far_lftp fregen "${tool#lftp-p}" "$tr" "$rep" ;;
        esac
    done
}
# The tools of the one-connection group; content mode and lftp --ignore-time
# go with it where it runs, with the parallel group elsewhere.
# lftp's time-based mirror of a regenerated site sends everything again, as
# slowly as a first publish: BENCH_REGEN_LFTP_CONNS and _SIZES limit it.
regen_lftp() {  # K: whether lftp -P K runs the regenerated site at n files
    [[ " $regen_lftp_conns " == *" $1 "* && " $regen_lftp_sizes " == *" $n "* ]]
}
rep_far_regen_seq() {
    local tools=(vantor-n1)
    if [[ $tr == plain && -n $vantor_old && $mode == full ]]; then tools+=(vantor-old); fi
    tools+=(vantor-content)
    if regen_lftp 1; then tools+=(lftp-p1); fi
    tools+=(lftp-size)
    far_regen "$1" "${tools[@]}"
}
rep_far_regen_par() {
    local k tools=()
    for k in $(par_conns "$n" "$tr"); do
        tools+=("vantor-n$k")
        if regen_lftp "$k"; then tools+=("lftp-p$k"); fi
    done
    if ! has_seq "$n" "$tr"; then tools+=(vantor-content lftp-size); fi
    if ((${#tools[@]})); then far_regen "$1" "${tools[@]}"; fi
}

# C1's exactness: one file rewritten with other bytes of the same size (and a
# new time). Content mode must send it; lftp --ignore-time does not.
check_same_size_edit() {
    local rel v=content up
    seed_folder "F$n/vantor-$v"
    "$vantor" "$(far_conf "$n" "$v" plain)" -r >/dev/null
    seed_folder "F$n/lftp-size"
    rel=$("$gentree" sameedit "$tree" 1)
    "$vantor" "$(far_conf "$n" "$v" plain)" >"$work/logs/sameedit-$n-vantor.log" 2>&1 || true
    up=$(grep -c 'subido con exito' "$work/logs/sameedit-$n-vantor.log" || true)
    local vs=no ls=no
    cmp -s "$tree/$rel" "$ftproot/F$n/vantor-$v/$rel" && vs=yes
    "$lftp_mirror" --ignore-time 127.0.0.2 "$ftp_far" "$tree" "/F$n/lftp-size" \
        >"$work/logs/sameedit-$n-lftp.log" 2>&1 || true
    cmp -s "$tree/$rel" "$ftproot/F$n/lftp-size/$rel" && ls=yes
    printf 'sameedit\t%s\tvantor-content\t%s\t%s\n' "$n" "$vs" "$up" >>"$extra"
    printf 'sameedit\t%s\tlftp-size\t%s\t\n' "$n" "$ls" >>"$extra"
    log "same-size edit of $rel: sent by content mode: $vs ($up upload(s)); by lftp --ignore-time: $ls"
}

run_far() {  # n
    n=$1
    prepare_far "$n"
    local pre
    for tr in plain tls; do
        if [[ $tr == tls && " $tls_sizes " != *" $n "* ]]; then continue; fi
        pre=
        if [[ $tr == tls ]]; then pre=tls; fi
        net=$(netname "$tr")
        if has "${pre}first"; then
            if has_seq "$n" "$tr"; then repeat "$reps" -- rep_far_first_seq; fi
            if [[ -n $(par_conns "$n" "$tr") ]]; then repeat "$reps" -- rep_far_first_par; fi
        fi
        if has "${pre}regen"; then
            if has_seq "$n" "$tr"; then repeat "$reps" -- rep_far_regen_seq; fi
            repeat "$reps" -- rep_far_regen_par
            if [[ $tr == plain && $n == "${far_sizes%% *}" ]]; then check_same_size_edit; fi
        fi
    done
    net=near
    log "removing the far folders and tree of $n files"
    rm -rf "${ftproot:?}/F$n" "$tree"
}

# C3: -p after 1 % of the files were removed locally, FTP 20 ms away. Each
# repetition starts again from a fresh tree whose remote folders equal it
# and whose catalogue is full; the DELEs are counted by listing the remote
# folder before and after (each removed file is one DELE; the folder must
# then equal the tree). lftp `mirror -R -e` beside it.
rep_prune() {
    local conf before after removed tool
    rm -rf "$tree"
    "$gentree" make "$tree" "$n" >/dev/null
    conf="$work/cfg/prune-$n.conf"
    write_conf "$conf" "$tree" "prune$n" "/C3/vantor" 127.0.0.2 "$ftp_far" 127.0.0.1
    "$vantor" "$conf" -r >/dev/null
    seed_folder C3/vantor
    seed_folder C3/lftp
    removed=$("$gentree" prune "$tree" | awk '{ print $2 }')
    for tool in vantor-prune lftp-delete; do
        local folder=C3/${tool%%-*}
        before=$(find "$ftproot/$folder" -type f | wc -l)
        if [[ $tool == vantor-prune ]]; then
            measure prune "$n" ftpfar "$tool" "$1" -- "$vantor" "$conf" -p
        else
            measure prune "$n" ftpfar "$tool" "$1" -- "$lftp_mirror" -e 127.0.0.2 "$ftp_far" "$tree" "/$folder"
        fi
        after=$(find "$ftproot/$folder" -type f | wc -l)
        local ok=yes
        diff -r -q "$tree" "$ftproot/$folder" >/dev/null 2>&1 || ok=no
        printf 'prune\t%s\t%s\t%s\t%s\t%s\t%s\n' "$n" "$tool" "$1" "$removed" "$((before - after))" "$ok" >>"$extra"
        log "  $tool: $((before - after)) of $removed removed files deleted on the server; folder equals the tree: $ok"
    done
}
run_prune() {
    n=$c3_size
    net=ftpfar
    tree=$work/trees/c3
    dbq "DROP TABLE IF EXISTS prune$n"
    write_conf "$work/cfg/prune-$n.conf" "$tree" "prune$n" "/C3/vantor" 127.0.0.2 "$ftp_far" 127.0.0.1
    "$vantor" "$work/cfg/prune-$n.conf" -c >"$work/logs/create-prune.log" 2>&1 ||
        { cat "$work/logs/create-prune.log" >&2; exit 1; }
    repeat "$reps" -- rep_prune
    rm -rf "${ftproot:?}/C3" "$tree"
    net=near
}

# C2: a no-change run at BENCH_C2_SIZE files, near, content mode (a table
# made with -c and filled with -r in content mode, so every row has its hash)
# against time mode, in turns.
rep_c2() {
    measure c2 "$n" near vantor-time "$1" -- "$vantor" "$work/cfg/c2-time.conf"
    measure c2 "$n" near vantor-content "$1" -- "$vantor" "$work/cfg/c2-content.conf"
}
run_c2() {
    n=$c2_size
    net=near
    tree=$work/trees/c2
    log "making the tree of $n files for C2"
    "$gentree" make "$tree" "$n" >"$work/logs/gentree-c2.log"
    note "C2 tree $n: $(cat "$work/logs/gentree-c2.log")"
    reset_remote C2
    write_conf "$work/cfg/c2-time.conf" "$tree" "c2time" "/C2" 127.0.0.1 "$ftp_near" 127.0.0.1
    write_conf "$work/cfg/c2-content.conf" "$tree" "c2content" "/C2" 127.0.0.1 "$ftp_near" 127.0.0.1 \
        'compare = "content"'
    local m
    for m in time content; do
        "$vantor" "$work/cfg/c2-$m.conf" -c >"$work/logs/create-c2-$m.log" 2>&1 ||
            { cat "$work/logs/create-c2-$m.log" >&2; exit 1; }
        measure c2fill "$n" near "vantor-$m" 1 -- "$vantor" "$work/cfg/c2-$m.conf" -r
    done
    repeat "$c2_reps" -- rep_c2
    rm -rf "${ftproot:?}/C2" "$tree"
}

# ---------------------------------------------------------------- catalogue distance (D1-D4)
# The same run of vantor with the catalogue near (127.0.0.1, net dbnear) and
# BENCH_DB_FAR_RTT ms away (the relay on 127.0.0.3, net dbfar), one after the
# other in each repetition, the order swapped every repetition. D1-D3 share a
# tree of BENCH_DB_SIZE files in folders of 20, its remote folder (a copy of
# the tree) and, in time mode, table dN; D3 runs in content mode on table dcN.
db_conf() {  # name tree table remote ftphost ftpport [line...]: cfg/NAME-dbnear.conf and cfg/NAME-dbfar.conf
    write_conf "$work/cfg/$1-dbnear.conf" "$2" "$3" "$4" "$5" "$6" 127.0.0.1 "${@:7}"
    write_conf "$work/cfg/$1-dbfar.conf" "$2" "$3" "$4" "$5" "$6" 127.0.0.3 "${@:7}"
}
db_fill() {  # name: its table made by -c and filled by -r, catalogue near (untimed)
    local c=$work/cfg/$1-dbnear.conf
    { "$vantor" "$c" -c && "$vantor" "$c" -r; } >"$work/logs/fill-$1.log" 2>&1 ||
        { cat "$work/logs/fill-$1.log" >&2; exit 1; }
}
db_pair() {  # sc name rep [command...]: the command (untimed) before each of the two runs
    local sc=$1 name=$2 rep=$3 d order="dbnear dbfar"
    shift 3
    ((rep % 2)) || order="dbfar dbnear"
    for d in $order; do
        if (($#)); then "$@"; fi
        measure "$sc" "$n" "$d" vantor "$rep" -- "$vantor" "$work/cfg/$name-$d.conf"
    done
}
db_edit_rep=0
db_regen_rep=0
db_edit() { "$gentree" edit "$tree" "$((++db_edit_rep))" >/dev/null; }
db_regen() { "$gentree" regen "$tree" "$((++db_regen_rep))" >/dev/null; }
db_first_reset() { reset_remote D4; "$vantor" "$work/cfg/d4-dbnear.conf" -d >/dev/null; }
# The lookup floor on D1's table with 1 (near only: at 20 ms that is 200 s),
# then BATCH lookups per round trip (vantor's batches hold up to 2,048), near
# and far: what the batch size costs the server.
rep_d1_floor() {
    local b d h
    for d in dbnear dbfar; do
        h=127.0.0.1
        if [[ $d == dbfar ]]; then h=127.0.0.3; fi
        for b in $db_batches; do
            if [[ $d == dbfar && $b == 1 ]]; then continue; fi
            measure d1 "$n" "$d" "floor-lookup$b" "$1" -- "$floors" lookup "$tree" "$h" "$db_port" "$db_user" \
                "$db_pass" "$db_name" "d$n" "$b"
        done
    done
}
rep_d1() { db_pair d1 d "$1"; rep_d1_floor "$1"; }
rep_d2() { db_pair d2 d "$1" db_edit; }
rep_d3() { db_pair d3 dc "$1" db_regen; }
rep_d4() { db_pair d4 d4 "$1" db_first_reset; }
rep_dmem() { measure d1mem "$n" dbnear vantor "$1" -- "$vantor" "$work/cfg/m$n-dbnear.conf"; }
db_equal() {  # what folder: notes whether the remote folder equals the tree
    local ok=yes
    diff -r -q "$tree" "$ftproot/$2" >/dev/null 2>&1 || ok=no
    note "$1: remote folder of vantor equals the tree after the runs: $ok"
}
run_dbfar() {
    net=dbfar
    n=$db_size
    tree=$work/trees/d$n
    if has d1 || has d2 || has d3; then
        log "making the tree of $n files in folders of 20 (D1-D3)"
        "$gentree" make "$tree" "$n" 20 >"$work/logs/gentree-d$n.log"
        note "D1-D3 tree $n: $(cat "$work/logs/gentree-d$n.log")"
        seed_folder "D$n"
        db_conf d "$tree" "d$n" "/D$n" 127.0.0.1 "$ftp_near"
        db_conf dc "$tree" "dc$n" "/D$n" 127.0.0.1 "$ftp_near" 'compare = "content"'
        if has d1 || has d2; then db_fill d; fi
        if has d1; then repeat "$reps" -- rep_d1; fi
        if has d2; then repeat "$reps" -- rep_d2; db_equal "D2 at $n files" "D$n"; fi
        if has d3; then
            db_fill dc
            local cols
            cols=$(dbq "SELECT COUNT(*) FROM information_schema.columns WHERE table_schema='$db_name' AND
                table_name='dc$n' AND column_name='Huella'")
            note "table dc$n made by \`vantor CONF -c\` with compare = \"content\": $cols Huella column(s)"
            repeat "$reps" -- rep_d3
            note "D3: rows of dc$n and their distinct times after the runs (all re-stamped: $n 1): $(dbq \
                "SELECT COUNT(*), COUNT(DISTINCT Anio, Mes, Dia, Hora, Minuto, Segundo) FROM dc$n" | tr '\t' ' ')"
            db_equal "D3 at $n files" "D$n"
        fi
        rm -rf "${ftproot:?}/D$n" "$tree"
    fi
    if has d4; then
        n=$db_first_size
        tree=$work/trees/d4-$n
        "$gentree" make "$tree" "$n" >"$work/logs/gentree-d4.log"
        note "D4 tree $n: $(cat "$work/logs/gentree-d4.log")"
        db_conf d4 "$tree" "d4_$n" /D4 127.0.0.2 "$ftp_far" 'ftpconnections = 8'
        "$vantor" "$work/cfg/d4-dbnear.conf" -c >/dev/null
        repeat "$reps" -- rep_d4
        db_equal "D4 at $n files" D4
        rm -rf "${ftproot:?}/D4" "$tree"
    fi
    if has d1; then
        for n in $db_mem_sizes; do
            tree=$work/trees/m$n
            log "making the tree of $n files in folders of 20 (D1's memory)"
            "$gentree" make "$tree" "$n" 20 >"$work/logs/gentree-m$n.log"
            note "D1 memory tree $n: $(cat "$work/logs/gentree-m$n.log")"
            reset_remote "M$n"
            db_conf "m$n" "$tree" "m$n" "/M$n" 127.0.0.1 "$ftp_near"
            db_fill "m$n"
            repeat "$reps" -- rep_dmem
            rm -rf "${ftproot:?}/M$n" "$tree"
        done
    fi
    net=near
}

if [[ $mode == serve ]]; then
    n=$serve_size
    tree=$work/trees/t$n
    prepare_size "$n"
    "$vantor" "$work/cfg/near-$n.conf" -r
    cp -a "$tree/." "$ftproot/v$n/"
    chown -R 65534:65534 "$ftproot/v$n"
    log "servers up; configuration files: $(ls "$work"/cfg/*.conf | tr '\n' ' ')"
    log "tree: $tree   catalogue: cat$n   FTP root: $ftproot   Ctrl-C stops everything"
    # wait (not a foreground sleep) so that a signal runs the clean-up at once
    while :; do sleep 3600 & wait $!; done
fi

started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
note "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
t_start=$(date +%s)
if has near; then for n in $sizes; do run_size "$n"; done; fi
if ((any_far)); then
    if [[ -z $vantor_old ]]; then note "baseline vantor: none (BENCH_BASELINE=none)"; else
        note "baseline vantor: commit $baseline, built in Release, $(basename "$vantor_old")"; fi
    unknown=
    for k in ftpconnections ftptls ftpcafile compare; do
        grep -q -a "$k" "$vantor" || unknown+=" $k"
    done
    [[ -z $unknown ]] || note "WARNING: the vantor binary does not know the keys$unknown: it ignores them, and those runs measure today's behaviour"
fi
for n in $far_sizes; do
    if has first || has regen || has tlsfirst || has tlsregen; then run_far "$n"; fi
done
if has c3; then run_prune; fi
if has c2; then run_c2; fi
if ((any_db)); then run_dbfar; fi
t_total=$(($(date +%s) - t_start))
note "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
log "writing the report"

# ---------------------------------------------------------------- report
export BENCH_WORKDIR_USED="$(df --output=fstype "$work" | tail -n1) ($(dirname "$work"))"
export BENCH_DBDIR_USED="$(df --output=fstype "$dbwork" | tail -n1) ($(dirname "$dbwork"))"
export BENCH_NICE=$bench_nice
export BENCH_SCENARIOS=$scenarios BENCH_SEQ_MAX=$seq_max BENCH_BASELINE=${vantor_old:+$baseline}
export BENCH_MODE=$mode BENCH_REPS=$reps BENCH_STARTED=$started BENCH_TOTAL=$t_total
export BENCH_FTP_RTT=$ftp_rtt_ms BENCH_DB_RTT=$db_rtt_ms BENCH_DB_FAR_RTT=$dbfar_rtt_ms BENCH_FIRST_BIG_REPS=$first_big_reps
export BENCH_COMMIT=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo none)
export BENCH_DIRTY=$(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null | wc -l)
export BENCH_VERSIONS="$(mariadbd --version 2>/dev/null | head -n1); pure-ftpd $(dpkg-query -W -f='${Version}' pure-ftpd); lftp $(dpkg-query -W -f='${Version}' lftp); libcurl $(dpkg-query -W -f='${Version}' libcurl4 2>/dev/null || echo none); libftp $(dpkg-query -W -f='${Version}' libftp4 2>/dev/null || echo none); openssl $(dpkg-query -W -f='${Version}' openssl); libmariadb $(dpkg-query -W -f='${Version}' libmariadb3); kernel $(uname -r)"
export BENCH_MACHINE="$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory"
"$python" "$here/report.py" "$results" "$work/notes.txt" "$out_md" "$extra"
log "wrote $out_md (total ${t_total}s)"
