#!/usr/bin/env bash
# Benchmark of vantor against lftp's `mirror -R` and against the floors.
#
#   bench/run.sh            full run: 1,000 / 10,000 / 100,000 files, 3 repetitions
#   bench/run.sh --quick    smoke run: 1,000 and 10,000 files, 1 repetition
#   bench/run.sh --serve N  start the servers, make an N-file tree, fill the
#                           catalogue, print the configuration files and wait
#                           (for profiling by hand); Ctrl-C stops everything
#
# Needs root (apt-get, pure-ftpd's chroot). Installs the Debian packages it
# lacks, builds vantor in Release in build-bench/ and the tools of bench/ in
# build-bench/bench-tools/, starts a private MariaDB and two pure-ftpd daemons
# on 127.0.0.1 (and latency relays on 127.0.0.2), runs every scenario and
# writes bench/RESULTS.md (bench/RESULTS-quick.md for --quick). Everything it
# starts is stopped on exit; its temporary folder is removed unless
# BENCH_KEEP=1.
#
# Environment overrides: BENCH_SIZES ("1000 10000 100000"), BENCH_REPS (3),
# BENCH_FIRST_BIG_REPS (first publishes of 100,000 files: 1; 0 = seed the
# remote folders by copying instead), BENCH_SLOW (seconds; a run slower than
# this is not repeated: 120), BENCH_TIMEOUT (per run, seconds: 1800),
# BENCH_KEEP=1, TMPDIR.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
mode=full
serve_size=0
case "${1:-}" in
    "") ;;
    --quick) mode=quick ;;
    --serve) mode=serve; serve_size=${2:?--serve needs a number of files} ;;
    *) echo "usage: bench/run.sh [--quick | --serve NFILES]" >&2; exit 2 ;;
esac

if [[ $mode == quick ]]; then
    sizes=${BENCH_SIZES:-"1000 10000"}
    reps=${BENCH_REPS:-1}
    out_md=$here/RESULTS-quick.md
else
    sizes=${BENCH_SIZES:-"1000 10000 100000"}
    reps=${BENCH_REPS:-3}
    out_md=$here/RESULTS.md
fi
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
packages=(mariadb-server mariadb-client pure-ftpd lftp libftp-dev libmariadb-dev pkg-config
          cmake g++ time openssl python3 coreutils iproute2)
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
shm_free=$(df -k --output=avail /dev/shm 2>/dev/null | tail -n1 || echo 0)
if [[ -z ${BENCH_WORKDIR:-} && ${shm_free// /} -gt $((10 * 1024 * 1024)) ]]; then
    BENCH_WORKDIR=/dev/shm
fi
work=$(mktemp -d "${BENCH_WORKDIR:-${TMPDIR:-/tmp}}/vantor-bench.XXXXXX")
dbwork=$(mktemp -d "${TMPDIR:-/tmp}/vantor-bench-db.XXXXXX")
pids=()
running=
# Ends a process and everything below it, deepest first, by process id.
kill_tree() {
    local c
    for c in $(pgrep -P "$1" 2>/dev/null); do kill_tree "$c"; done
    kill "$1" 2>/dev/null || true
}
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    local i
    if [[ -n $running ]]; then
        kill_tree "$running"
        wait "$running" 2>/dev/null || true
    fi
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    for i in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$i" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$i" 2>/dev/null || true
    done
    if [[ ${BENCH_KEEP:-0} == 1 ]]; then
        log "kept $work and $dbwork"
    else
        rm -rf "$work" "$dbwork"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work"/{trees,logs,home,cfg}
results=$work/results.tsv
: >"$results"

# ---------------------------------------------------------------- ports
# One block of free ports, checked on both loopback addresses:
# +0 FTP near, +1 FTP far, +2 MariaDB, +3..+102 passive near, +103..+202 passive far.
base=$("$python" - <<'EOF'
import random, socket
def free(p):
    for a in ("127.0.0.1", "127.0.0.2"):
        s = socket.socket()
        try:
            s.bind((a, p))
        except OSError:
            return False
        finally:
            s.close()
    return True
rnd = random.Random()
for _ in range(200):
    b = rnd.randrange(20000, 32000)
    if all(free(p) for p in range(b, b + 203)):
        print(b)
        break
EOF
)
[[ -n $base ]] || { echo "no free port block found" >&2; exit 1; }
ftp_near=$base
ftp_far=$((base + 1))
db_port=$((base + 2))
pasv_near="$((base + 3)):$((base + 102))"
pasv_far_lo=$((base + 103))
pasv_far_hi=$((base + 202))
ftp_user=bench
ftp_pass=benchpw
db_user=bench
db_pass=benchpw
db_name=vantor
ftp_rtt_ms=20
db_rtt_ms=2

# ---------------------------------------------------------------- MariaDB
log "starting MariaDB on 127.0.0.1:$db_port"
mkdir -p "$dbwork/data" "$dbwork/tmp"
mariadb-install-db --no-defaults --datadir="$dbwork/data" --user=root \
    --auth-root-authentication-method=normal --skip-test-db >"$dbwork/install.log" 2>&1
mariadbd --no-defaults --user=root --datadir="$dbwork/data" --tmpdir="$dbwork/tmp" \
    --socket="$dbwork/sock" --port="$db_port" --bind-address=127.0.0.1 --skip-name-resolve \
    --pid-file="$dbwork/pid" --log-error="$dbwork/error.log" \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=256M >/dev/null 2>&1 &
db_pid=$!
pids+=($db_pid)
for _ in $(seq 150); do
    mariadb-admin --no-defaults --socket="$dbwork/sock" -uroot ping >/dev/null 2>&1 && break
    sleep 0.2
done
dbroot() { mariadb --no-defaults --socket="$dbwork/sock" -uroot "$@"; }
dbroot -e "CREATE DATABASE $db_name;
  CREATE USER '$db_user'@'%' IDENTIFIED BY '$db_pass';
  CREATE USER '$db_user'@'localhost' IDENTIFIED BY '$db_pass';
  GRANT ALL ON $db_name.* TO '$db_user'@'%';
  GRANT ALL ON $db_name.* TO '$db_user'@'localhost';"
dbq() { mariadb --no-defaults -h127.0.0.1 -P"$db_port" -u"$db_user" -p"$db_pass" -N -B "$db_name" -e "$1"; }
dbq "SELECT 1" >/dev/null

# ---------------------------------------------------------------- pure-ftpd
# Two daemons serve the same account and folder: the near one announces
# 127.0.0.1 for passive data connections; the far one announces 127.0.0.2 (-P),
# where the relay listens on its control port and on its whole passive range,
# so control and data connections both cross the delay.
ftproot=$work/ftproot
mkdir -p "$ftproot"
chown 65534:65534 "$ftproot"
hash=$(openssl passwd -6 "$ftp_pass")
printf '%s:%s:65534:65534::%s/./::::::::::::\n' "$ftp_user" "$hash" "$ftproot" >"$work/ftp.passwd"
pure-pw mkdb "$work/ftp.pdb" -f "$work/ftp.passwd" >/dev/null
log "starting pure-ftpd on 127.0.0.1:$ftp_near (near) and 127.0.0.1:$ftp_far (far, seen at 127.0.0.2)"
pure-ftpd -l "puredb:$work/ftp.pdb" -S "127.0.0.1,$ftp_near" -E -H -A -p "$pasv_near" \
    -c 50 -C 50 -f none >"$work/ftp-near.log" 2>&1 &
pids+=($!)
pure-ftpd -l "puredb:$work/ftp.pdb" -S "127.0.0.1,$ftp_far" -E -H -A -p "$pasv_far_lo:$pasv_far_hi" \
    -P 127.0.0.2 -c 50 -C 50 -f none >"$work/ftp-far.log" 2>&1 &
pids+=($!)

# ---------------------------------------------------------------- latency relays
"$latproxy" $((ftp_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$ftp_far" "$pasv_far_lo-$pasv_far_hi" \
    >"$work/proxy-ftp.log" 2>&1 &
pids+=($!)
"$latproxy" $((db_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$db_port" >"$work/proxy-db.log" 2>&1 &
pids+=($!)

wait_port() {
    for _ in $(seq 100); do
        ss -ltnH "sport = :$2" | grep -q "$1:$2" && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    return 1
}
wait_port 127.0.0.1 "$ftp_near"
wait_port 127.0.0.1 "$ftp_far"
wait_port 127.0.0.2 "$ftp_far"
wait_port 127.0.0.2 "$db_port"

# ---------------------------------------------------------------- helpers
# Configuration file of vantor for one tree, table, remote folder and network.
write_conf() {  # file tree table remote ftphost ftpport dbhost
    cat >"$1" <<EOF
# written by bench/run.sh
localroot = "$2"
remoteroot = "$4"
ftpserver = "$5"
ftpport = $6
ftpuser = "$ftp_user"
ftppass = "$ftp_pass"
dbserver = "$7"
dbport = $db_port
dbname = "$db_name"
dbtablename = "$3"
dbuser = "$db_user"
dbpass = "$db_pass"
EOF
}

reset_remote() {  # folder below the FTP root
    rm -rf "${ftproot:?}/$1"
    mkdir -p "$ftproot/$1"
    chown 65534:65534 "$ftproot/$1"
}

# lftp's reverse mirror, as a script so that timeout and GNU time can run it.
lftp_mirror=$work/lftp-mirror
cat >"$lftp_mirror" <<EOF
#!/bin/sh
# usage: lftp-mirror HOST PORT LOCAL REMOTE
HOME=$work/home exec lftp -u "$ftp_user,$ftp_pass" -p "\$2" "\$1" \\
    -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R --only-newer \$3 \$4; quit"
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
for n in $sizes; do run_size "$n"; done
t_total=$(($(date +%s) - t_start))
note "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
log "writing the report"

# ---------------------------------------------------------------- report
export BENCH_WORKDIR_USED="$(df --output=fstype "$work" | tail -n1) ($(dirname "$work"))"
export BENCH_DBDIR_USED="$(df --output=fstype "$dbwork" | tail -n1) ($(dirname "$dbwork"))"
export BENCH_NICE=$bench_nice
export BENCH_MODE=$mode BENCH_REPS=$reps BENCH_STARTED=$started BENCH_TOTAL=$t_total
export BENCH_FTP_RTT=$ftp_rtt_ms BENCH_DB_RTT=$db_rtt_ms BENCH_FIRST_BIG_REPS=$first_big_reps
export BENCH_COMMIT=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo none)
export BENCH_DIRTY=$(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null | wc -l)
export BENCH_VERSIONS="$(mariadbd --version 2>/dev/null | head -n1); pure-ftpd $(dpkg-query -W -f='${Version}' pure-ftpd); lftp $(dpkg-query -W -f='${Version}' lftp); libftp $(dpkg-query -W -f='${Version}' libftp4 2>/dev/null || dpkg-query -W -f='${Version}' libftp-dev); libmariadb $(dpkg-query -W -f='${Version}' libmariadb3); kernel $(uname -r)"
export BENCH_MACHINE="$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory"
"$python" "$here/report.py" "$results" "$work/notes.txt" "$out_md"
log "wrote $out_md (total ${t_total}s)"
