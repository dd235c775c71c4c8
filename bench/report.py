#!/usr/bin/python3
"""Writes the benchmark's Markdown report from the runs that run.sh recorded.

usage: report.py RESULTS.tsv NOTES.txt OUT.md   (the rest comes from BENCH_* variables)
"""
import os
import statistics
import sys
from collections import defaultdict

results_path, notes_path, out_path = sys.argv[1:4]
env = os.environ.get

runs = []
with open(results_path) as f:
    for line in f:
        p = line.rstrip("\n").split("\t")
        if len(p) < 12:
            continue
        runs.append(dict(sc=p[0], n=int(p[1]), net=p[2], tool=p[3], rep=int(p[4]),
                         secs=float(p[5]), rss=int(p[6]), rc=int(p[7]), up=int(p[8]), err=int(p[9]),
                         cpu=float(p[10]), dbcpu=float(p[11])))

groups = defaultdict(list)
for r in runs:
    groups[(r["sc"], r["n"], r["net"], r["tool"])].append(r)


def med(sc, n, net, tool):
    g = groups.get((sc, n, net, tool))
    if not g:
        return None
    return statistics.median(r["secs"] for r in g)


def med_of(key, sc, n, net, tool):
    g = groups.get((sc, n, net, tool))
    if not g:
        return None
    return statistics.median(r[key] for r in g)


def count(sc, n, net, tool):
    return len(groups.get((sc, n, net, tool), []))


def failed(sc, n, net, tool):
    return any(r["rc"] != 0 for r in groups.get((sc, n, net, tool), []))


def fmt(x):
    if x is None:
        return "–"
    return f"{x:.3f}" if x < 10 else f"{x:.1f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "–"
    return f"{a / b:.2f}×"


sizes = sorted({r["n"] for r in runs})
nets = {"near": "near", "ftpfar": f"FTP {env('BENCH_FTP_RTT')} ms", "dbfar": f"DB {env('BENCH_DB_RTT')} ms"}
scen = {"first": "(1) first publish", "nochange": "(2) no change", "changes": "(3) 1 % touched + 1 % changed",
        "rebuild": "(4) rebuild -r"}
floor_of = {"first": "floor-put", "nochange": "floor-lookup", "rebuild": "floor-insert"}

out = []
w = out.append
w("# Benchmark results")
w("")
w(f"- Date: {env('BENCH_STARTED')}; mode: {env('BENCH_MODE')}; repetitions: {env('BENCH_REPS')} "
  f"(medians below); whole run: {int(env('BENCH_TOTAL', '0')) // 60} min {int(env('BENCH_TOTAL', '0')) % 60} s.")
w(f"- Machine: {env('BENCH_MACHINE')}.")
w(f"- Software: {env('BENCH_VERSIONS')}.")
dirty = int(env("BENCH_DIRTY", "0"))
w(f"- vantor: commit {env('BENCH_COMMIT')}"
  + (f" with {dirty} uncommitted change(s) under src/ or CMakeLists.txt" if dirty else "")
  + ", built in Release (`-O3 -DNDEBUG`).")
w("")
w("Command: `bench/run.sh" + (" --quick" if env("BENCH_MODE") == "quick" else "") + "` (as root, from the repository root).")
w("")
w("## Times (seconds, medians)")
w("")
w("vantor/lftp below 1 means vantor is faster. Floors: first publish = bare loop of ftplib `FtpPut` on one "
  "connection (MKD of each directory first); no change = walk + stat + one indexed lookup per file, one "
  "statement per round trip; rebuild = walk + stat + DELETE and one INSERT per file in one transaction, one "
  "statement per round trip (insert×50: 50 statements per round trip in multi-statement mode).")
w("")
w("The CPU columns give vantor's own CPU seconds (user + system) and the database server's CPU seconds during "
  "the same runs (medians).")
w("")
w("| files | network | scenario | vantor | lftp | floor | vantor/lftp | vantor/floor | other floors | vantor CPU | DB CPU (vantor / floor) | runs | vantor uploads |")
w("|---:|---|---|---:|---:|---:|---:|---:|---|---:|---:|---:|---:|")
for n in sizes:
    for net in ("near", "ftpfar", "dbfar"):
        for sc in ("first", "nochange", "changes", "rebuild"):
            v = med(sc, n, net, "vantor")
            l = med(sc, n, net, "lftp")
            fl = med(sc, n, net, floor_of.get(sc, ""))
            if fl is None and sc == "nochange" and net == "dbfar":
                fl = None
            if v is None and l is None and fl is None:
                continue
            other = []
            if sc == "nochange":
                s = med(sc, n, "near", "floor-stat")
                if s is not None and net == "near":
                    other.append(f"stat {fmt(s)}")
            if sc == "rebuild":
                s = med(sc, n, net, "floor-insert50")
                if s is not None:
                    other.append(f"insert×50 {fmt(s)}")
            flags = ""
            if failed(sc, n, net, "vantor") or failed(sc, n, net, "lftp"):
                flags = " (a run failed)"
            ups = sorted({r["up"] for r in groups.get((sc, n, net, "vantor"), [])})
            vc = med_of("cpu", sc, n, net, "vantor")
            vd = med_of("dbcpu", sc, n, net, "vantor")
            fd = med_of("dbcpu", sc, n, net, floor_of.get(sc, ""))
            w(f"| {n:,} | {nets[net]} | {scen[sc]}{flags} | {fmt(v)} | {fmt(l)} | {fmt(fl)} | {ratio(v, l)} | "
              f"{ratio(v, fl)} | {', '.join(other)} | {fmt(vc)} | {fmt(vd)} / {fmt(fd)} | "
              f"{max(count(sc, n, net, 'vantor'), count(sc, n, net, 'lftp'), count(sc, n, net, floor_of.get(sc, '')))} | "
              f"{'/'.join(map(str, ups)) if ups else '–'} |")
w("")

# Targets
w("## Targets")
w("")
w("| target | measured | goal | met |")
w("|---|---|---|---|")
big = max(sizes) if sizes else 0


def at(n_wanted, sc, net, tool):
    """Median at the wanted size, or at the largest size measured, with a note."""
    if med(sc, n_wanted, net, tool) is not None:
        return med(sc, n_wanted, net, tool), n_wanted, ""
    cand = [n for n in sizes if med(sc, n, net, tool) is not None]
    if not cand:
        return None, None, ""
    n = max(cand)
    return med(sc, n, net, tool), n, f" (at {n:,} files, not {n_wanted:,})"


def yes(b):
    return "yes" if b else "**no**"


v, n1, why = at(100000, "nochange", "near", "vantor")
fl = med("nochange", n1, "near", "floor-lookup") if n1 else None
l = med("nochange", n1, "near", "lftp") if n1 else None
if v is not None and fl:
    w(f"| P1 no change, 100,000 files, near{why} | vantor {fmt(v)} s, floor {fmt(fl)} s: {v / fl:.2f}× | ≤ 1.25× floor | {yes(v / fl <= 1.25)} |")
if v is not None and l:
    w(f"| P1 stretch{why} | lftp {fmt(l)} s / vantor {fmt(v)} s = {l / v:.2f}× | ≥ 2× faster than lftp | {yes(l / v >= 2)} |")
v, n2, why = at(10000, "nochange", "ftpfar", "vantor")
l = med("nochange", n2, "ftpfar", "lftp") if n2 else None
if v is not None and l:
    w(f"| P2 no change, 10,000 files, FTP {env('BENCH_FTP_RTT')} ms{why} | lftp {fmt(l)} s / vantor {fmt(v)} s = {l / v:.1f}× | ≥ 10× faster than lftp | {yes(l / v >= 10)} |")
v, n3, why = at(100000, "nochange", "dbfar", "vantor")
if v is not None:
    w(f"| P3 no change, 100,000 files, DB {env('BENCH_DB_RTT')} ms{why} | vantor {fmt(v)} s | < 30 s | {yes(v < 30)} |")
for n in sizes:
    v = med("first", n, "near", "vantor")
    fl = med("first", n, "near", "floor-put")
    if v is not None and fl:
        w(f"| P4 first publish, {n:,} files, near | vantor {fmt(v)} s, floor {fmt(fl)} s: {v / fl:.2f}× | ≤ 1.15× floor | {yes(v / fl <= 1.15)} |")
v, n5, why = at(100000, "rebuild", "near", "vantor")
fl = med("rebuild", n5, "near", "floor-insert") if n5 else None
if v is not None and fl:
    w(f"| P5 rebuild, 100,000 files{why} | vantor {fmt(v)} s, floor {fmt(fl)} s: {v / fl:.2f}× | ≤ 1.3× floor | {yes(v / fl <= 1.3)} |")


def max_rss(n, sc=None):
    rs = [r["rss"] for r in runs if r["tool"] == "vantor" and r["n"] == n and (sc is None or r["sc"] == sc)]
    return max(rs) if rs else None


small, large = (min(sizes), max(sizes)) if sizes else (0, 0)
a, b = max_rss(small), max_rss(large)
if a and b and small != large:
    w(f"| P6 memory flat{'' if large >= 100000 else f' (up to {large:,} files)'} | vantor max RSS {a / 1024:.1f} MB at {small:,} files, "
      f"{b / 1024:.1f} MB at {large:,} files: {b / a:.2f}× | ≤ 1.25× from {small:,} to {large:,} files | {yes(b <= 1.25 * a)} |")
w("")

# Memory
w("## Peak memory of vantor (GNU time, max RSS, MB, largest of the runs)")
w("")
w("| files | " + " | ".join(scen[s] for s in ("first", "nochange", "changes", "rebuild")) + " |")
w("|---:|---:|---:|---:|---:|")
for n in sizes:
    cells = []
    for s in ("first", "nochange", "changes", "rebuild"):
        m = max_rss(n, s)
        cells.append(f"{m / 1024:.1f}" if m else "–")
    w(f"| {n:,} | " + " | ".join(cells) + " |")
w("")

# Method
w("## How it was measured")
w("")
w(f"""- Trees (bench/gentree.cpp, fixed seed): 50 files per directory, directories up to four levels, filled breadth
  first; sizes 1–20 KB (99 %) and 20 KB–1 MB log-uniform (1 %); every file's time 2023-03-15 10:20:30 UTC.
  Scenario (3) sets a new time on every 100th file (same content) and rewrites another 1 % with new bytes and a new
  time; each repetition uses new times, so each one publishes 2 % of the files.
- Servers on 127.0.0.1, private folders, stopped at the end: MariaDB ({env('BENCH_VERSIONS', '').split(';')[0]}),
  `--no-defaults`, utf8mb4 / utf8mb4_general_ci, InnoDB with its defaults (`innodb_flush_log_at_trx_commit=1`)
  and a 256 MB buffer pool; pure-ftpd with a PureDB virtual user (`$6$` hash), `-E -H -A`, chroot.
  The catalogue table is made by `vantor CONF -c`.
- "X ms away" means a round trip of X ms: bench/latproxy.cpp holds every chunk X/2 ms in each direction.
  FTP: a second pure-ftpd on the same folder announces 127.0.0.2 for passive mode (`-P 127.0.0.2`); the relay listens
  on 127.0.0.2 on its control port and on its whole passive port range, so control and data connections both cross
  the delay. Database: the relay listens on 127.0.0.2 at the server's port.
- lftp: `lftp -u USER,PASS -p PORT HOST -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R --only-newer
  TREE /lN; quit"`, otherwise its defaults (it lists with MLSD, uploads files whose local time is newer than the
  remote one and sets the remote time with MFMT, so its remote folder keeps the local times). vantor and lftp
  publish the same tree to two folders of the same server, one after the other in each repetition.
- Placement: trees, FTP root and logs in {env('BENCH_WORKDIR_USED')}; MariaDB's data files in {env('BENCH_DBDIR_USED')}
  (on disk, so each commit pays its log flush). The benchmark and every server it starts run at nice
  {env('BENCH_NICE')}, because the machine is shared with other work (load averages under Checks).
- Times are wall-clock (date +%s%N around the process), warm page cache. Each size runs: (1) first publish to an
  empty folder (folder emptied and catalogue cleared before each repetition), (4) rebuild, (2) no change, (3)
  changes, then the far variants.
- First publishes of 100,000 files: {env('BENCH_FIRST_BIG_REPS')} repetition(s) (0 = not measured; the remote
  folders were then filled by `cp -a`). A run slower than BENCH_SLOW seconds is not repeated.
- Far runs: FTP {env('BENCH_FTP_RTT')} ms for 1,000 and 10,000 files (no change, changes); DB {env('BENCH_DB_RTT')} ms
  for 10,000 and 100,000 files (no change) and the lookup floor at 1,000 files (one round trip per file;
  its time × N/1,000 is the cost of one round trip per lookup at N files).
""")

w("Where the time of a missed target goes (profiles, call counts): bench/PROFILE.md.")
w("")
w("""## Commands timed

In the temporary folder, with `CONF` one of `cfg/near-N.conf`, `cfg/ftpfar-N.conf`, `cfg/dbfar-N.conf` (the same
tree, table `catN` and remote folder `/vN`; only the FTP or database address differs) and `TZ=UTC`:

| scenario | vantor | lftp | floor |
|---|---|---|---|
| (1) first publish | `vantor CONF` after `vantor CONF -d` and emptying `/vN` (untimed) | `lftp-mirror HOST PORT TREE /lN` after emptying `/lN` | `floors put TREE 127.0.0.1:PORT USER PASS /fN` into an empty `/fN` |
| (2) no change | `vantor CONF` | `lftp-mirror HOST PORT TREE /lN` | `floors stat TREE`; `floors lookup TREE DBHOST DBPORT USER PASS vantor catN` |
| (3) changes | `gentree modify TREE REP`, then `vantor CONF` | `lftp-mirror HOST PORT TREE /lN` | – |
| (4) rebuild | `vantor CONF -r` | – | `floors insert TREE 127.0.0.1 DBPORT USER PASS vantor floorN [50]` |

`lftp-mirror` runs `lftp -u USER,PASS -p PORT HOST -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R
--only-newer TREE /lN; quit"` with HOME in the temporary folder. Each command runs as
`/usr/bin/time -f '%M %U %S' timeout BENCH_TIMEOUT COMMAND`. The table `catN` is made by `vantor CONF -c`,
`floorN` by `CREATE TABLE floorN LIKE catN`.

""")

with open(notes_path) as f:
    notes = [l.rstrip() for l in f if l.strip()]
if notes:
    w("## Checks")
    w("")
    for l in notes:
        w(f"- {l}")
    w("")

w("## Every run")
w("")
w("| scenario | files | network | tool | rep | seconds | CPU s | DB CPU s | max RSS KB | exit | uploads (vantor) |")
w("|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|")
for r in runs:
    w(f"| {r['sc']} | {r['n']} | {r['net']} | {r['tool']} | {r['rep']} | {r['secs']:.3f} | {r['cpu']:.2f} | "
      f"{r['dbcpu']:.2f} | {r['rss']} | {r['rc']} | {r['up'] if r['tool'] == 'vantor' else ''} |")
w("")

with open(out_path, "w") as f:
    f.write("\n".join(out))
