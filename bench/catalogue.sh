#!/usr/bin/env bash
# The catalogue in a file (SQLite) beside the catalogue on a server (MariaDB
# on this machine), each part's tools in turns within a repetition (the order
# rotated each repetition), so that a change in the machine's load hits them
# alike:
#
#   K1  no change, CAT_NOCHANGE files (100,000), FTP near: vantor with the file,
#       vantor with the server, lftp `mirror -R --only-newer` (which lists the
#       whole server) and the floor of walking and stat-ing the tree
#   K2  first publish, CAT_FIRST files (10,000), FTP near, one connection:
#       vantor with the file, vantor with the server and the bare libcurl
#       upload loop (the floor: the same uploads, no catalogue)
#   K3  first publish, CAT_FAR files (2,000), FTP 20 ms away, 8 connections:
#       vantor with the file and with the server
#   K4  peak memory of the no-change run with the file at 1,000, 10,000 and
#       CAT_NOCHANGE files
#   J   the file's journal: in K1 and K2 also vantor built from the same
#       sources with the rollback journal and synchronous = FULL instead of
#       the write-ahead log and NORMAL (vantor-rollback; its own catalogue
#       files)
#
#   B   with CAT_BEFORE=REVISION: in K1 and K2 also vantor built from that
#       git revision (vantor-before; its own catalogue files), the
#       instructions (valgrind's callgrind) of one K1 run of each build, and
#       the rebuild (-r) of K1's tree into a new file by each build (K1r)
#
#   bench/catalogue.sh [REPS]   -> Markdown on stdout, progress on stderr
#
# REPS (default 3). Environment: CAT_PARTS (the parts to run, "K1 K2 K3 K4";
# CAT_PARTS=K1 runs the no-change part alone), CAT_NOCHANGE (100000),
# CAT_FIRST (10000), CAT_FAR (2000), CAT_BEFORE (none), BENCH_NICE (-10),
# BENCH_KEEP=1, TMPDIR. Needs root
# (pure-ftpd chroots) and the packages of bench/run.sh; builds vantor in
# Release in build-bench/ and the tools in build-bench/bench-tools/ as
# bench/run.sh does.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
repo=$(dirname "$here")
reps=${1:-3}
n_nochange=${CAT_NOCHANGE:-100000}
n_first=${CAT_FIRST:-10000}
n_far=${CAT_FAR:-2000}
bench_nice=${BENCH_NICE:--10}
parts=" ${CAT_PARTS:-K1 K2 K3 K4} "
runs() { [[ $parts == *" $1 "* ]]; }
export TZ=UTC LC_ALL=C
if [[ $(id -u) -ne 0 ]]; then
    echo "bench/catalogue.sh: run it as root (pure-ftpd needs root to chroot)" >&2
    exit 1
fi
log() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# ---------------------------------------------------------------- build (as bench/run.sh)
log "building vantor (Release) in build-bench/"
cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
cmake --build "$repo/build-bench" -j2 --target vantor >/dev/null 2>&1
cmake -S "$here" -B "$repo/build-bench/bench-tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$repo/build-bench/bench-tools" -j2 >/dev/null 2>&1
vantor=$repo/build-bench/vantor
gentree=$repo/build-bench/bench-tools/gentree
latproxy=$repo/build-bench/bench-tools/latproxy
floors=$repo/build-bench/bench-tools/floors

# ---------------------------------------------------------------- work folders and clean-up
renice -n "$bench_nice" -p $$ >/dev/null
# Trees and the FTP root in memory when it has room (as bench/run.sh); the
# catalogue files on disk beside MariaDB's data, so that both catalogues
# flush to the same storage.
make_work cat $((4 * 1024 * 1024))
mkdir -p "$work"/{trees,logs,home,cfg} "$dbwork/files"

# The same sources with the rollback journal, for J.
log "building vantor with the rollback journal in $work/rollback"
mkdir -p "$work/rollback/src"
tar -C "$repo" -cf - CMakeLists.txt cmake doc src | tar -C "$work/rollback/src" -xf -
sed -i 's/journal_mode = WAL/journal_mode = DELETE/; s/synchronous = NORMAL/synchronous = FULL/' \
    "$work/rollback/src/src/catalogue/embebido.cpp"
grep -q 'journal_mode = DELETE' "$work/rollback/src/src/catalogue/embebido.cpp"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S "$work/rollback/src" -B "$work/rollback/build" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$work/rollback/build" -j2 --target vantor >/dev/null 2>&1
rollback=$work/rollback/build/vantor

# An earlier revision, for B.
before=
if [[ -n ${CAT_BEFORE:-} ]]; then
    log "building vantor $CAT_BEFORE in $work/before"
    mkdir -p "$work/before/src"
    git -C "$repo" archive "$CAT_BEFORE" CMakeLists.txt cmake doc src | tar -C "$work/before/src" -xf -
    cmake -S "$work/before/src" -B "$work/before/build" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF \
        "${launcher[@]}" >/dev/null
    cmake --build "$work/before/build" -j2 --target vantor >/dev/null 2>&1
    before=$work/before/build/vantor
fi

# ---------------------------------------------------------------- servers
pick_ports
start_mariadb

start_pureftpd_pair
"$latproxy" 10000 127.0.0.2 127.0.0.1 "$ftp_far" "$pasv_far_lo-$pasv_far_hi" >"$work/proxy-ftp.log" 2>&1 &
pids+=($!)
wait_port 127.0.0.1 "$ftp_near"
wait_port 127.0.0.1 "$ftp_far"
wait_port 127.0.0.2 "$ftp_far"

# ---------------------------------------------------------------- helpers
# A configuration with the catalogue in the file FILE instead of the server.
file_conf() {  # conf tree table remote ftphost ftpport file [line...]
    write_conf "$1" "$2" "$3" "$4" "$5" "$6" 127.0.0.1 "${@:8}"
    sed -i '/^db\(server\|port\|name\|user\|pass\) /d' "$1"
    printf 'catalogue = "%s"\n' "$7" >>"$1"
}

results=$work/results.tsv
: >"$results"
# measure PART TOOL REP COMMAND...: wall time, peak memory (GNU time), the
# exit status and vantor's uploads, one line of results.tsv.
measure() {
    local part=$1 tool=$2 rep=$3 logf t0 t1 rc rss
    shift 3
    logf=$work/logs/$part-$tool-$rep.log
    t0=$(date +%s%N)
    set +e
    /usr/bin/time -f '%M' -o "$work/time" "$@" >"$logf" 2>&1
    rc=$?
    set -e
    t1=$(date +%s%N)
    rss=$(tail -n1 "$work/time")
    local up wall
    up=$(grep -c 'subido con exito' "$logf" || true)
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$part" "$tool" "$rep" "$wall" "$rss" "$rc" "$up" >>"$results"
    log "$(printf '%-3s %-15s #%s %9ss rss %7s KiB rc %s uploads %s' "$part" "$tool" "$rep" "$wall" "$rss" "$rc" "$up")"
    if [[ $rc -ne 0 ]]; then tail -n 5 "$logf" | sed 's/^/    /' >&2; fi
}
# In turns: runs the functions named, rotated by the repetition.
in_turns() {  # rep fn...
    local rep=$1 k n
    shift
    n=$#
    local fns=("$@")
    for ((k = 0; k < n; k++)); do "${fns[(k + rep) % n]}" "$rep"; done
}
# A first publish into an emptied remote folder, its catalogue emptied
# first: the file removed or, without one, the server's table (-d).
first_publish() {  # part tool rep binary conf remote [file]
    reset_remote "$6"
    if [[ -n ${7:-} ]]; then rm -f "$7"; else "$4" "$5" -d >/dev/null; fi
    measure "$1" "$2" "$3" "$4" "$5"
}

# lftp's reverse mirror as bench/run.sh runs it.
lftp_mirror=$work/lftp-mirror
cat >"$lftp_mirror" <<EOF
#!/bin/sh
# usage: lftp-mirror HOST PORT LOCAL REMOTE
HOME=$work/home exec lftp -u "$ftp_user,$ftp_pass" -p "\$2" "\$1" \\
    -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R --only-newer \$3 \$4; quit"
EOF
chmod +x "$lftp_mirror"

# ---------------------------------------------------------------- K1: no change, near
if runs K1; then
    tree=$work/trees/k1
    log "K1: a tree of $n_nochange files, copied to the server, both catalogues filled with -r"
    "$gentree" make "$tree" "$n_nochange" >/dev/null
    reset_remote k1
    cp -a "$tree/." "$ftproot/k1/"
    chown -R 65534:65534 "$ftproot/k1"
    file_conf "$work/cfg/k1-file.conf" "$tree" site /k1 127.0.0.1 "$ftp_near" "$dbwork/files/k1.db"
    write_conf "$work/cfg/k1-server.conf" "$tree" k1 /k1 127.0.0.1 "$ftp_near" 127.0.0.1
    "$vantor" "$work/cfg/k1-file.conf" -r >/dev/null
    file_conf "$work/cfg/k1-rollback.conf" "$tree" site /k1 127.0.0.1 "$ftp_near" "$dbwork/files/k1-rollback.db"
    "$rollback" "$work/cfg/k1-rollback.conf" -r >/dev/null
    "$vantor" "$work/cfg/k1-server.conf" -c >/dev/null
    "$vantor" "$work/cfg/k1-server.conf" -r >/dev/null
    "$lftp_mirror" 127.0.0.1 "$ftp_near" "$tree" /k1 >/dev/null 2>&1 || true
    k1_stat() { measure K1 stat-floor "$1" "$floors" stat "$tree"; }
    k1_file() { measure K1 vantor-file "$1" "$vantor" "$work/cfg/k1-file.conf"; }
    k1_server() { measure K1 vantor-server "$1" "$vantor" "$work/cfg/k1-server.conf"; }
    k1_rollback() { measure K1 vantor-rollback "$1" "$rollback" "$work/cfg/k1-rollback.conf"; }
    k1_lftp() { measure K1 lftp "$1" "$lftp_mirror" 127.0.0.1 "$ftp_near" "$tree" /k1; }
    k1_tools=(k1_stat k1_file k1_server k1_lftp k1_rollback)
    if [[ -n $before ]]; then
        file_conf "$work/cfg/k1-before.conf" "$tree" site /k1 127.0.0.1 "$ftp_near" "$dbwork/files/k1-before.db"
        "$before" "$work/cfg/k1-before.conf" -r >/dev/null
        k1_before() { measure K1 vantor-before "$1" "$before" "$work/cfg/k1-before.conf"; }
        k1_tools+=(k1_before)
    fi
    for rep in $(seq "$reps"); do in_turns "$rep" "${k1_tools[@]}"; done
    if [[ -n $before ]]; then
        file_conf "$work/cfg/k1r-file.conf" "$tree" site /k1 127.0.0.1 "$ftp_near" "$dbwork/files/k1r.db"
        file_conf "$work/cfg/k1r-before.conf" "$tree" site /k1 127.0.0.1 "$ftp_near" "$dbwork/files/k1r-before.db"
        k1r_file() { rm -f "$dbwork/files/k1r.db"; measure K1r vantor-file "$1" "$vantor" "$work/cfg/k1r-file.conf" -r; }
        k1r_before() {
            rm -f "$dbwork/files/k1r-before.db"
            measure K1r vantor-before "$1" "$before" "$work/cfg/k1r-before.conf" -r
        }
        for rep in $(seq "$reps"); do in_turns "$rep" k1r_file k1r_before; done
    fi
    # Instructions of one no-change run of each build: a count that the
    # machine's load does not change.
    instructions() {  # tool binary conf
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$2" "$3" >/dev/null 2>"$work/cg.log"
        printf 'I\t%s\t1\t%s\t0\t0\t-\n' "$1" "$(sed -n 's/.*Collected : *//p' "$work/cg.log")" >>"$results"
    }
    if [[ -n $before ]] && command -v valgrind >/dev/null; then
        log "K1: instructions of one run of each build (callgrind)"
        instructions vantor-before "$before" "$work/cfg/k1-before.conf"
        instructions vantor-file "$vantor" "$work/cfg/k1-file.conf"
    fi
fi

# ---------------------------------------------------------------- K4: memory
if runs K4; then
    for n in 1000 10000; do
        t=$work/trees/m$n
        "$gentree" make "$t" "$n" >/dev/null
        reset_remote "m$n"
        cp -a "$t/." "$ftproot/m$n/"
        file_conf "$work/cfg/m$n.conf" "$t" site "/m$n" 127.0.0.1 "$ftp_near" "$dbwork/files/m$n.db"
        "$vantor" "$work/cfg/m$n.conf" -r >/dev/null
        measure K4 "file-$n" 1 "$vantor" "$work/cfg/m$n.conf"
    done
fi

# ---------------------------------------------------------------- K2: first publish, near
if runs K2; then
    tree=$work/trees/k2
    log "K2: first publish of $n_first files near"
    "$gentree" make "$tree" "$n_first" >/dev/null
    file_conf "$work/cfg/k2-file.conf" "$tree" site /k2f 127.0.0.1 "$ftp_near" "$dbwork/files/k2.db"
    write_conf "$work/cfg/k2-server.conf" "$tree" k2 /k2s 127.0.0.1 "$ftp_near" 127.0.0.1
    "$vantor" "$work/cfg/k2-server.conf" -c >/dev/null
    file_conf "$work/cfg/k2-rollback.conf" "$tree" site /k2r 127.0.0.1 "$ftp_near" "$dbwork/files/k2-rollback.db"
    k2_rollback() {
        first_publish K2 vantor-rollback "$1" "$rollback" "$work/cfg/k2-rollback.conf" k2r \
            "$dbwork/files/k2-rollback.db"
    }
    k2_file() { first_publish K2 vantor-file "$1" "$vantor" "$work/cfg/k2-file.conf" k2f "$dbwork/files/k2.db"; }
    k2_server() { first_publish K2 vantor-server "$1" "$vantor" "$work/cfg/k2-server.conf" k2s; }
    k2_floor() {
        reset_remote k2p
        measure K2 curl-floor "$1" "$floors" put "$tree" "127.0.0.1:$ftp_near" "$ftp_user" "$ftp_pass" /k2p
    }
    k2_tools=(k2_file k2_server k2_floor k2_rollback)
    if [[ -n $before ]]; then
        file_conf "$work/cfg/k2-before.conf" "$tree" site /k2b 127.0.0.1 "$ftp_near" "$dbwork/files/k2-before.db"
        k2_before() {
            first_publish K2 vantor-before "$1" "$before" "$work/cfg/k2-before.conf" k2b \
                "$dbwork/files/k2-before.db"
        }
        k2_tools+=(k2_before)
    fi
    for rep in $(seq "$reps"); do in_turns "$rep" "${k2_tools[@]}"; done
fi

# ---------------------------------------------------------------- K3: first publish, 20 ms
if runs K3; then
    tree=$work/trees/k3
    log "K3: first publish of $n_far files, FTP 20 ms away, 8 connections"
    "$gentree" make "$tree" "$n_far" >/dev/null
    file_conf "$work/cfg/k3-file.conf" "$tree" site /k3f 127.0.0.2 "$ftp_far" "$dbwork/files/k3.db" \
        "ftpconnections = 8"
    write_conf "$work/cfg/k3-server.conf" "$tree" k3 /k3s 127.0.0.2 "$ftp_far" 127.0.0.1 "ftpconnections = 8"
    "$vantor" "$work/cfg/k3-server.conf" -c >/dev/null
    k3_file() { first_publish K3 vantor-file "$1" "$vantor" "$work/cfg/k3-file.conf" k3f "$dbwork/files/k3.db"; }
    k3_server() { first_publish K3 vantor-server "$1" "$vantor" "$work/cfg/k3-server.conf" k3s; }
    for rep in $(seq "$reps"); do in_turns "$rep" k3_file k3_server; done
fi

# ---------------------------------------------------------------- report
/usr/bin/python3 - "$results" "$n_nochange" "$n_first" "$n_far" <<'PY'
import statistics, sys
from collections import defaultdict

path, n1, n2, n3 = sys.argv[1], *map(int, sys.argv[2:])
runs = defaultdict(list)
rss = defaultdict(list)
ups = defaultdict(list)
bad = []
instr = {}
for line in open(path):
    part, tool, rep, wall, mem, rc, up = line.rstrip("\n").split("\t")
    if part == "I":
        instr[tool] = int(wall.replace(",", ""))
        continue
    runs[part, tool].append(float(wall))
    ups[part, tool].append(up)
    rss[part, tool].append(int(mem))
    if rc != "0":
        bad.append(f"{part} {tool} #{rep}: exit status {rc}")

def med(part, tool):
    return statistics.median(runs[part, tool])

def table(part, title, tools, ref):
    print(f"\n### {part}: {title}\n")
    print("| tool | runs (s) | median (s) | peak RSS (KiB) | vantor's uploads | vs " + ref + " |")
    print("|---|---|---|---|---|---|")
    for t in tools:
        r = " ".join(f"{w:.2f}" for w in runs[part, t])
        u = " ".join(ups[part, t]) if t.startswith("vantor") else "-"
        print(f"| {t} | {r} | {med(part, t):.2f} | {max(rss[part, t])} | {u} | {med(part, t) / med(part, ref):.2f} |")

# Only the parts that ran (CAT_PARTS).
ran = {part for part, _ in runs}
extra = ["vantor-before"] if ("K1", "vantor-before") in runs else []
if "K1" in ran:
    table("K1", f"no change, {n1:,} files, FTP near", ["stat-floor", "vantor-file", "vantor-server", "lftp", "vantor-rollback"] + extra, "stat-floor")
if ("K1r", "vantor-before") in runs:
    table("K1r", f"rebuild (-r) of the same {n1:,} files into a new file", ["vantor-before", "vantor-file"], "vantor-before")
if instr:
    print("\nInstructions of one run (callgrind): " + ", ".join(f"{t} {n:,}" for t, n in sorted(instr.items())))
if "K2" in ran:
    table("K2", f"first publish, {n2:,} files, FTP near, one connection", ["curl-floor", "vantor-file", "vantor-server", "vantor-rollback"] + extra, "curl-floor")
if "K3" in ran:
    table("K3", f"first publish, {n3:,} files, FTP 20 ms away, 8 connections", ["vantor-server", "vantor-file"], "vantor-server")
if "K4" in ran:
    print("\n### K4: peak memory of the no-change run, catalogue in a file\n")
    print("| files | peak RSS (KiB) |\n|---|---|")
    for n in (1000, 10000):
        print(f"| {n:,} | {rss['K4', f'file-{n}'][0]} |")
    if "K1" in ran:
        print(f"| {n1:,} | {max(rss['K1', 'vantor-file'])} |")

print("\n### Targets\n")
def target(name, ok, text):
    print(f"- {name}: {'met' if ok else 'MISSED'}: {text}")
if "K1" in ran:
    f, s, l, st = (med("K1", t) for t in ("vantor-file", "vantor-server", "lftp", "stat-floor"))
    target("K1 vs lftp (>= 3x faster)", l / f >= 3, f"lftp / file = {l / f:.1f}")
    target("K1 vs the walk+stat floor (<= 1.5x)", f / st <= 1.5, f"file / floor = {f / st:.2f}")
    target("K1 vs the server catalogue (faster)", f < s, f"server / file = {s / f:.2f}")
if "K2" in ran:
    f2, s2, c2 = (med("K2", t) for t in ("vantor-file", "vantor-server", "curl-floor"))
    target("K2 vs the libcurl floor (<= 1.25x)", f2 / c2 <= 1.25, f"file / floor = {f2 / c2:.2f} (server / floor = {s2 / c2:.2f})")
if "K3" in ran:
    f3, s3 = med("K3", "vantor-file"), med("K3", "vantor-server")
    target("K3 vs the server catalogue (not slower, within noise)", f3 <= s3 * 1.05, f"file / server = {f3 / s3:.2f}")
for b in bad:
    print(f"- failed run: {b}")
PY
