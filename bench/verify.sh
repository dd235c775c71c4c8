#!/usr/bin/env bash
# The verifying run (-v) and atomic stores (atomic = "yes"), with the FTP
# server 20 ms away (round trip, latproxy on 127.0.0.2, data connections
# included) and the catalogue near:
#
#   V1  nothing to repair: `vantor CONF -v` over VERIFY_FILES files in folders
#       of 20 (8 connections) beside lftp `mirror -R --only-newer -P8` with
#       nothing to do on the same tree and server, and vantor's plain
#       no-change run (no -v) for reference
#   V2  the same after 1 % of the files were deleted on the server's disk:
#       `vantor CONF -v` must send exactly those again; lftp's mirror beside it
#       on its own folder with the same files deleted
#   A1  first publish of ATOMIC_FILES files (default layout, 8 connections),
#       atomic = "no" against atomic = "yes", each into an emptied remote folder
#       with an emptied catalogue
#
# Every part runs its tools in turns within a repetition (the order rotated
# each repetition) so that a change in the machine's load hits them alike.
#
#   bench/verify.sh [REPS [VREPS]]   -> Markdown tables on stdout, progress on stderr
#
# REPS (default 3) repetitions of A1; VREPS (default REPS) repetitions of V1
# and V2. Environment: VERIFY_FILES (10000), ATOMIC_FILES (2000), BENCH_NICE
# (-10), BENCH_KEEP=1 (keep the temporary folders), TMPDIR, VERIFY_TRACE=1
# (after the timed runs, one more untimed `vantor -v` of V1 and one more
# first publish with each atomic setting under strace: the connections vantor
# opened and the FTP commands it sent, counted).
#
# Needs root (pure-ftpd chroots) and the packages of bench/run.sh; builds
# vantor in Release in build-bench/ and the tools in build-bench/bench-tools/
# as bench/run.sh does (nothing is rebuilt when up to date).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
repo=$(dirname "$here")
reps=${1:-3}
vreps=${2:-$reps}
vfiles=${VERIFY_FILES:-10000}
afiles=${ATOMIC_FILES:-2000}
bench_nice=${BENCH_NICE:--10}
export TZ=UTC LC_ALL=C
if [[ $(id -u) -ne 0 ]]; then
    echo "bench/verify.sh: run it as root (pure-ftpd needs root to chroot)" >&2
    exit 1
fi
log() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
python=/usr/bin/python3

# ---------------------------------------------------------------- build (as bench/run.sh)
log "building vantor (Release) in build-bench/"
cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
cmake --build "$repo/build-bench" -j2 >/dev/null 2>&1
cmake -S "$here" -B "$repo/build-bench/bench-tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$repo/build-bench/bench-tools" -j2 >/dev/null 2>&1
vantor=$repo/build-bench/vantor
gentree=$repo/build-bench/bench-tools/gentree
latproxy=$repo/build-bench/bench-tools/latproxy

# ---------------------------------------------------------------- work folders and clean-up
renice -n "$bench_nice" -p $$ >/dev/null
# Trees and the FTP root in memory when it has room (as bench/run.sh); the
# database on disk.
make_work verify $((4 * 1024 * 1024))
mkdir -p "$work"/{trees,logs,home,cfg}

# ---------------------------------------------------------------- ports
pick_ports
ftp_rtt_ms=20

# ---------------------------------------------------------------- MariaDB
start_mariadb

# ---------------------------------------------------------------- pure-ftpd and the relay
# The near daemon fills the server before the timed runs; the far one is
# reached through the relay.
start_pureftpd_pair
"$latproxy" $((ftp_rtt_ms * 500)) 127.0.0.2 127.0.0.1 "$ftp_far" "$pasv_far_lo-$pasv_far_hi" \
    >"$work/proxy-ftp.log" 2>&1 &
pids+=($!)
wait_port 127.0.0.1 "$ftp_near"
wait_port 127.0.0.1 "$ftp_far"
wait_port 127.0.0.2 "$ftp_far"

# ---------------------------------------------------------------- helpers
# lftp's reverse mirror as bench/run.sh runs it (--only-newer, -P N).
lftp_mirror=$work/lftp-mirror
cat >"$lftp_mirror" <<EOF
#!/bin/sh
# usage: lftp-mirror [-P N] HOST PORT LOCAL REMOTE
opts="--only-newer"
if [ "\$1" = -P ]; then opts="\$opts -P \$2"; shift 2; fi
HOME=$work/home exec lftp -u "$ftp_user,$ftp_pass" -p "\$2" "\$1" \\
    -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R \$opts \$3 \$4; quit"
EOF
chmod +x "$lftp_mirror"

# One line per timed run: part tool rep wall rss user sys rc uploads falta
# tamano deleted equal tmpleft load1 written.
results=$work/results.tsv
: >"$results"
# measure PART TOOL REP FOLDER DELETED -- COMMAND...: times the command (GNU
# time gives max RSS and CPU), then counts vantor's uploads and repair lines
# in its output, compares the remote FOLDER with the tree and looks for
# temporary names left there.
measure() {
    local part=$1 tool=$2 rep=$3 folder=$4 deleted=$5 logf t0 t1 rc load
    shift 6
    logf=$work/logs/$part-$tool-$rep.log
    load=$(cut -d' ' -f1 /proc/loadavg)
    touch "$work/mark"
    sleep 0.01
    t0=$(date +%s%N)
    set +e
    /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" >"$logf" 2>&1
    rc=$?
    set -e
    t1=$(date +%s%N)
    local rss=0 us=0 ss=0 up falta tam eq=yes left
    read -r rss us ss < <(tail -n1 "$work/time") || true
    up=$(grep -c 'subido con exito' "$logf" || true)
    falta=$(grep -c '^Falta en el servidor: ' "$logf" || true)
    tam=$(grep -c '^Tamano distinto en el servidor: ' "$logf" || true)
    diff -r -q "$tree" "$ftproot/$folder" >/dev/null 2>&1 || eq=no
    left=$(find "$ftproot/$folder" -name '*.vantor-tmp' | wc -l)
    # Files made or renamed on the server during the run (their status
    # changed after the mark; lftp prints nothing, so this counts its uploads).
    written=$(find "$ftproot/$folder" -type f -cnewer "$work/mark" | wc -l)
    local wall
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$part" "$tool" "$rep" "$wall" "$rss" \
        "$us" "$ss" "$rc" "$up" "$falta" "$tam" "$deleted" "$eq" "$left" "$load" "$written" >>"$results"
    log "$(printf '%-3s %-14s #%s %8ss rss %6s KiB cpu %s+%s rc %s up %s written %s falta %s tam %s del %s equal %s tmp %s load %s' \
        "$part" "$tool" "$rep" "$wall" "$rss" "$us" "$ss" "$rc" "$up" "$written" "$falta" "$tam" "$deleted" "$eq" "$left" "$load")"
    if [[ $rc -ne 0 ]]; then tail -n 5 "$logf" | sed 's/^/    /' >&2; fi
}
# trace LABEL COMMAND...: runs the command under strace (untimed) and notes
# the connections it opened to the far server's control port and to its
# passive range, how many of each FTP command it sent and the replies in
# the 400s and 500s it got.
: >"$work/trace.txt"
trace() {
    local label=$1 tf=$work/logs/trace.$RANDOM
    shift
    strace -f -qq -e trace=connect,sendto,write,recvfrom,read -s 48 -o "$tf" "$@" >"$tf.out" 2>&1 || true
    # counts WHAT: "NAME COUNT, ..." of the words matched by the extended
    # regular expression WHAT at the start of a traced buffer
    counts() {
        grep -oE "$1" "$tf" | grep -oE '"[A-Z0-9]+' | tr -d '"' | sort | uniq -c |
            awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }' || true
    }
    local ctl data cmds bad
    ctl=$(grep -c "connect(.*sin_port=htons($ftp_far)" "$tf" || true)
    data=$(grep 'connect(.*sin_addr=inet_addr("127.0.0.2")' "$tf" | grep -vc "sin_port=htons($ftp_far)" || true)
    # the FTP verbs only: a file's bytes written to a data connection can
    # start with capitals too
    cmds=$(counts '(sendto|write)\([0-9]+, "(USER|PASS|PWD|TYPE|EPSV|PASV|MLSD|LIST|NLST|STOR|RETR|RNFR|RNTO|MKD|CWD|DELE|SIZE|MDTM|MFMT|QUIT|FEAT|OPTS|NOOP|SITE|AUTH|PBSZ|PROT)[ \\]')
    # a reply is read in one call, or in the "resumed>" half of an interrupted one
    bad=$(counts '(, |resumed>)"[45][0-9][0-9] ')
    printf -- '- %s: %s control connection(s), %s data connection(s); commands: %s; error replies: %s\n' \
        "$label" "$ctl" "$data" "$cmds" "${bad:-none}" >>"$work/trace.txt"
    log "traced $(tail -n1 "$work/trace.txt")"
}

# Deletes on the server's disk 1 % of the files of FOLDER (every 100th of the
# sorted list, starting at an offset that moves each repetition) and prints
# how many; the same relative names are deleted in the folders that follow.
delete_some() {  # rep folder...
    local rep=$1 first=$2 f n=0
    shift
    local list=$work/deleted-$rep.txt
    (cd "$ftproot/$first" && find . -type f | sort) |
        awk -v o="$(((rep - 1) % 100))" 'NR % 100 == o' >"$list"
    for f in "$@"; do
        (cd "$ftproot/$f" && xargs -d '\n' rm -f --) <"$list"
    done
    n=$(wc -l <"$list")
    echo "$n"
}

started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
t_start=$(date +%s)

# ---------------------------------------------------------------- V1 and V2
tree=$work/trees/v
log "making the tree of $vfiles files in folders of 20"
"$gentree" make "$tree" "$vfiles" 20 >"$work/logs/gentree-v.log"
vtree_desc=$(cat "$work/logs/gentree-v.log")
write_conf "$work/cfg/v-near.conf" "$tree" v "/V/vantor" 127.0.0.1 "$ftp_near" 127.0.0.1 'ftpconnections = 8'
write_conf "$work/cfg/v-far.conf" "$tree" v "/V/vantor" 127.0.0.2 "$ftp_far" 127.0.0.1 'ftpconnections = 8'
reset_remote V/vantor
log "first publish of the V tree (near server, untimed) and lftp's folder (a copy, times kept)"
{ "$vantor" "$work/cfg/v-near.conf" -c && "$vantor" "$work/cfg/v-near.conf"; } >"$work/logs/v-seed.log" 2>&1 ||
    { tail -n 20 "$work/logs/v-seed.log" >&2; exit 1; }
reset_remote V/lftp
cp -a "$tree/." "$ftproot/V/lftp/"
chown -R 65534:65534 "$ftproot/V/lftp"
diff -r -q "$tree" "$ftproot/V/vantor" >/dev/null || { echo "the seeded V folder differs from the tree" >&2; exit 1; }
# lftp must find nothing to do: one untimed run proves it leaves the folder
# alone (it would print nothing either way).
touch "$work/lftp-mark"
"$lftp_mirror" -P 8 127.0.0.1 "$ftp_near" "$tree" /V/lftp >"$work/logs/v-lftp-seed.log" 2>&1
lftp_sent=$(find "$ftproot/V/lftp" -type f -newer "$work/lftp-mark" | wc -l)

v1_tools=(vantor-v lftp-P8 vantor-plain)
run_v1() {  # tool rep
    case $1 in
    vantor-v) measure V1 vantor-v "$2" V/vantor 0 -- "$vantor" "$work/cfg/v-far.conf" -v ;;
    lftp-P8) measure V1 lftp-P8 "$2" V/lftp 0 -- "$lftp_mirror" -P 8 127.0.0.2 "$ftp_far" "$tree" /V/lftp ;;
    vantor-plain) measure V1 vantor-plain "$2" V/vantor 0 -- "$vantor" "$work/cfg/v-far.conf" ;;
    esac
}
for ((r = 1; r <= vreps; r++)); do
    log "V1 repetition $r"
    for ((i = 0; i < ${#v1_tools[@]}; i++)); do run_v1 "${v1_tools[(i + r - 1) % ${#v1_tools[@]}]}" "$r"; done
    log "V2 repetition $r"
    d=$(delete_some "$r" V/vantor V/lftp)
    if ((r % 2)); then
        measure V2 vantor-v "$r" V/vantor "$d" -- "$vantor" "$work/cfg/v-far.conf" -v
        measure V2 lftp-P8 "$r" V/lftp "$d" -- "$lftp_mirror" -P 8 127.0.0.2 "$ftp_far" "$tree" /V/lftp
    else
        measure V2 lftp-P8 "$r" V/lftp "$d" -- "$lftp_mirror" -P 8 127.0.0.2 "$ftp_far" "$tree" /V/lftp
        measure V2 vantor-v "$r" V/vantor "$d" -- "$vantor" "$work/cfg/v-far.conf" -v
    fi
done
if [[ ${VERIFY_TRACE:-0} == 1 ]]; then trace "vantor -v, V1 (nothing to repair)" "$vantor" "$work/cfg/v-far.conf" -v; fi
rm -rf "${ftproot:?}/V" "$tree"

# ---------------------------------------------------------------- A1
tree=$work/trees/a
log "making the tree of $afiles files"
"$gentree" make "$tree" "$afiles" >"$work/logs/gentree-a.log"
atree_desc=$(cat "$work/logs/gentree-a.log")
for m in no yes; do
    write_conf "$work/cfg/a-$m.conf" "$tree" "a_$m" "/A/$m" 127.0.0.2 "$ftp_far" 127.0.0.1 'ftpconnections = 8' "atomic = \"$m\""
    "$vantor" "$work/cfg/a-$m.conf" -c >"$work/logs/a-create-$m.log" 2>&1 ||
        { cat "$work/logs/a-create-$m.log" >&2; exit 1; }
done
run_a1() {  # no|yes rep
    reset_remote "A/$1"
    "$vantor" "$work/cfg/a-$1.conf" -d >"$work/logs/a-clear-$1-$2.log" 2>&1
    measure A1 "atomic-$1" "$2" "A/$1" 0 -- "$vantor" "$work/cfg/a-$1.conf"
}
for ((r = 1; r <= reps; r++)); do
    log "A1 repetition $r"
    if ((r % 2)); then run_a1 no "$r"; run_a1 yes "$r"; else run_a1 yes "$r"; run_a1 no "$r"; fi
done
if [[ ${VERIFY_TRACE:-0} == 1 ]]; then
    for m in no yes; do
        reset_remote "A/$m"
        "$vantor" "$work/cfg/a-$m.conf" -d >/dev/null 2>&1
        trace "first publish, atomic = $m" "$vantor" "$work/cfg/a-$m.conf"
    done
fi
rm -rf "${ftproot:?}/A" "$tree"

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
t_total=$(($(date +%s) - t_start))

# ---------------------------------------------------------------- report
export V_TREE=$vtree_desc A_TREE=$atree_desc LOAD_START=$load_start LOAD_END=$load_end STARTED=$started \
    TOTAL=$t_total LFTP_SENT=$lftp_sent VFILES=$vfiles AFILES=$afiles
"$python" - "$results" <<'EOF'
import os, statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
K = ["part", "tool", "rep", "wall", "rss", "user", "sys", "rc", "up", "falta", "tam", "deleted", "equal", "tmp", "load", "written"]
rows = [dict(zip(K, r)) for r in rows]
e = os.environ
print(f"Started {e['STARTED']}, {e['TOTAL']} s in all; load average (1, 5, 15 min) at the start "
      f"{e['LOAD_START']}, at the end {e['LOAD_END']}.\n")
print(f"V tree: {e['V_TREE']}  \nA tree: {e['A_TREE']}  \n"
      f"lftp's untimed check run on its seeded folder re-sent {e['LFTP_SENT']} file(s).\n")
print("| part | tool | rep | wall s | max RSS KiB | CPU user + sys s | exit | uploads (vantor's lines) | "
      "files written on server | missing lines | size lines | deleted on server | folder = tree | "
      ".vantor-tmp left | load (1 min) |")
print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
for r in rows:
    print(f"| {r['part']} | {r['tool']} | {r['rep']} | {float(r['wall']):.2f} | {r['rss']} | {r['user']} + {r['sys']} "
          f"| {r['rc']} | {'-' if r['tool'].startswith('lftp') else r['up']} | {r['written']} | {r['falta']} | {r['tam']} | {r['deleted']} | {r['equal']} | {r['tmp']} | {r['load']} |")
def wall(part, tool):
    return {int(r["rep"]): float(r["wall"]) for r in rows if r["part"] == part and r["tool"] == tool}
def ratio_table(part, a, b, title):
    x, y = wall(part, a), wall(part, b)
    reps = sorted(set(x) & set(y))
    if not reps:
        return
    print(f"\n{title}\n")
    print("| | median | " + " | ".join(f"rep {k}" for k in reps) + " |")
    print("|---|---|" + "---|" * len(reps))
    for t, w in ((a, x), (b, y)):
        print(f"| {part} {t} s | {statistics.median(w.values()):.2f} | " + " | ".join(f"{w[k]:.2f}" for k in reps) + " |")
    rs = [y[k] / x[k] for k in reps]
    print(f"| {b} / {a} | {statistics.median(y.values()) / statistics.median(x.values()):.2f} (of the medians) | "
          + " | ".join(f"{v:.2f}" for v in rs) + " |")
ratio_table("V1", "vantor-v", "lftp-P8", "V1, nothing to repair: lftp time / vantor -v time (above 1: vantor faster)")
ratio_table("V1", "vantor-plain", "vantor-v", "V1: what -v costs, vantor -v time / plain no-change run")
ratio_table("V2", "vantor-v", "lftp-P8", "V2, 1 % deleted on the server: lftp time / vantor -v time")
ratio_table("A1", "atomic-no", "atomic-yes", "A1, first publish: atomic = \"yes\" time / atomic = \"no\" time")
print("\nChecks:\n")
for r in rows:
    bad = []
    if r["rc"] != "0": bad.append(f"exit {r['rc']}")
    if r["equal"] != "yes": bad.append("folder differs from the tree")
    if r["tmp"] != "0": bad.append(f"{r['tmp']} .vantor-tmp left")
    if r["tool"].startswith("vantor") and r["part"] in ("V1", "V2"):
        want = int(r["deleted"])
        if int(r["falta"]) != want or int(r["up"]) != want or int(r["tam"]) != 0:
            bad.append(f"uploads {r['up']}, missing lines {r['falta']}, size lines {r['tam']}; want {want}, {want}, 0")
    if r["part"] in ("V1", "V2") and int(r["written"]) != int(r["deleted"]):
        bad.append(f"{r['written']} file(s) written on the server, {r['deleted']} deleted")
    if r["part"] == "A1" and int(r["up"]) != int(e["AFILES"]):
        bad.append(f"uploads {r['up']} of {e['AFILES']}")
    if bad:
        print(f"- {r['part']} {r['tool']} #{r['rep']}: " + "; ".join(bad))
if all(r["rc"] == "0" and r["equal"] == "yes" and r["tmp"] == "0" for r in rows):
    print("- every run exited 0, every remote folder equalled the tree, no .vantor-tmp left")
EOF
if [[ -s $work/trace.txt ]]; then
    printf '\nUntimed runs under strace (connections vantor opened to the far server; FTP commands it sent):\n\n'
    cat "$work/trace.txt"
fi
