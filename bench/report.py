#!/usr/bin/python3
"""Writes the benchmark's Markdown report from the runs that run.sh recorded.

usage: report.py RESULTS.tsv NOTES.txt OUT.md [EXTRA.tsv]   (the rest comes from BENCH_* variables)

EXTRA.tsv holds what the far scenarios checked beside the times: whether a
tool's remote folder equalled the tree after its run, the DELE counts of C3
and the same-size edit of C1.
"""
import os
import statistics
import sys
from collections import defaultdict

results_path, notes_path, out_path = sys.argv[1:4]
extra_path = sys.argv[4] if len(sys.argv) > 4 else None
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


near_sc = ("first", "nochange", "changes", "rebuild")
sizes = sorted({r["n"] for r in runs if r["sc"] in near_sc})
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
mode_flag = {"quick": " --quick", "far": " --far", "dbfar": " --db-far"}.get(env("BENCH_MODE"), "")
w("Command: `bench/run.sh" + mode_flag + "` (as root, from the repository root)"
  + (f", scenarios: {env('BENCH_SCENARIOS')}." if env("BENCH_SCENARIOS") else "."))
w("")
with open(notes_path) as f:
    warnings = [l.rstrip() for l in f if l.startswith("WARNING")]
for l in warnings:
    w(f"**{l}**")
    w("")
near_times = len(out)
w("## Times (seconds, medians)")
w("")
w("vantor/lftp below 1 means vantor is faster. Floors: first publish = bare libcurl loop (STOR with the full path) on one "
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

near_times = (near_times, len(out))
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


# ---------------------------------------------------------------- far and content scenarios
extra = defaultdict(list)
if extra_path and os.path.exists(extra_path):
    with open(extra_path) as f:
        for line in f:
            p = line.rstrip("\n").split("\t")
            extra[p[0]].append(p[1:])
equal = {(e[0], int(e[1]), e[2], e[3], int(e[4])): e[5] for e in extra["equal"]}
far_sizes = sorted({r["n"] for r in runs if r["sc"] in ("ffirst", "fregen")})
rtt = env("BENCH_FTP_RTT")
far_nets = {"ftpfar": "plain", "tlsfar": "explicit TLS"}


def far(sc, n, net, tool):
    return med(sc, n, net, tool)


def uploads(sc, n, net, tool):
    ups = sorted({r["up"] for r in groups.get((sc, n, net, tool), [])})
    return "/".join(map(str, ups)) if ups else "–"


def flag(sc, n, net, *tools):
    return " (a run failed)" if any(failed(sc, n, net, t) for t in tools) else ""


def conn_tools(prefix):
    ks = sorted({int(r["tool"][len(prefix):]) for r in runs
                 if r["tool"].startswith(prefix) and r["tool"][len(prefix):].isdigit()})
    return ks


def far_targets():
    """Rows of F1-F3 and C1-C3 in the targets table."""
    base = env("BENCH_BASELINE") or "baseline"
    for n in far_sizes:
        v8, l8, l1 = far("ffirst", n, "ftpfar", "vantor-n8"), far("ffirst", n, "ftpfar", "lftp-p8"), \
            far("ffirst", n, "ftpfar", "lftp-p1")
        fl = flag("ffirst", n, "ftpfar", "vantor-n8", "lftp-p8", "lftp-p1")
        if v8 is not None and l8:
            w(f"| F1 first publish, {n:,} files, FTP {rtt} ms, 8 connections{fl} | lftp -P8 {fmt(l8)} s / vantor "
              f"{fmt(v8)} s = {l8 / v8:.2f}× | ≥ 1.5× faster than lftp -P8 | {yes(l8 / v8 >= 1.5)} |")
        if v8 is not None and l1:
            w(f"| F1 first publish, {n:,} files, FTP {rtt} ms, 8 connections{fl} | lftp (sequential) {fmt(l1)} s / "
              f"vantor {fmt(v8)} s = {l1 / v8:.2f}× | ≥ 8× faster than lftp's sequential mirror | {yes(l1 / v8 >= 8)} |")
    for n in far_sizes:
        v1, old = far("ffirst", n, "ftpfar", "vantor-n1"), far("ffirst", n, "ftpfar", "vantor-old")
        if v1 is not None and old:
            w(f"| F2 first publish, {n:,} files, FTP {rtt} ms, 1 connection{flag('ffirst', n, 'ftpfar', 'vantor-n1', 'vantor-old')} | "
              f"vantor {fmt(v1)} s, {base} {fmt(old)} s: {v1 / old:.2f}× | ≤ 0.8× of {base} | {yes(v1 / old <= 0.8)} |")
    for n in far_sizes:
        v8, l8 = far("ffirst", n, "tlsfar", "vantor-n8"), far("ffirst", n, "tlsfar", "lftp-p8")
        if v8 is not None and l8:
            w(f"| F3 first publish over explicit TLS, {n:,} files, FTP {rtt} ms, 8 connections"
              f"{flag('ffirst', n, 'tlsfar', 'vantor-n8', 'lftp-p8')} | lftp -P8 {fmt(l8)} s / vantor {fmt(v8)} s = "
              f"{l8 / v8:.2f}× | faster than lftp -P8 over TLS | {yes(v8 < l8)} |")
    for n in far_sizes:
        c = far("fregen", n, "ftpfar", "vantor-content")
        if c is None:
            continue
        ks = [k for k in conn_tools("vantor-n") if far("fregen", n, "ftpfar", f"vantor-n{k}") is not None]
        ls = [k for k in conn_tools("lftp-p") if far("fregen", n, "ftpfar", f"lftp-p{k}") is not None]
        ups = uploads("fregen", n, "ftpfar", "vantor-content")
        sent = f"; content mode sent {ups} file(s)"
        if ks:
            t = far("fregen", n, "ftpfar", f"vantor-n{ks[0]}")
            w(f"| C1 regenerated site, {n:,} files, FTP {rtt} ms, vs time mode ({ks[0]} connection(s))"
              f"{flag('fregen', n, 'ftpfar', 'vantor-content', f'vantor-n{ks[0]}')} | time mode {fmt(t)} s / content "
              f"{fmt(c)} s = {t / c:.1f}×{sent} | ≥ 20× faster, sending nothing | {yes(t / c >= 20 and ups == '0')} |")
        if ls:
            l = far("fregen", n, "ftpfar", f"lftp-p{ls[0]}")
            what = "lftp mirror -R" + (f" -P{ls[0]}" if ls[0] > 1 else "")
            w(f"| C1 regenerated site, {n:,} files, FTP {rtt} ms, vs {what}{flag('fregen', n, 'ftpfar', f'lftp-p{ls[0]}')} | "
              f"{what} {fmt(l)} s / content {fmt(c)} s = {l / c:.1f}× | ≥ 20× faster | {yes(l / c >= 20)} |")
        s = far("fregen", n, "ftpfar", "lftp-size")
        if s is not None:
            w(f"| C1 beside lftp --ignore-time, {n:,} files (no goal) | lftp --ignore-time {fmt(s)} s, content "
              f"{fmt(c)} s | – | – |")
    for e in extra["sameedit"]:
        if e[1] == "vantor-content":
            w(f"| C1 exact: a same-size edit at {int(e[0]):,} files is sent | content mode: {e[2]} ({e[3]} upload(s)); "
              f"lftp --ignore-time: {next((x[2] for x in extra['sameedit'] if x[1] == 'lftp-size' and x[0] == e[0]), '–')} | "
              f"content mode sends it | {yes(e[2] == 'yes')} |")
    for n in sorted({r["n"] for r in runs if r["sc"] == "c2"}):
        t, c = med("c2", n, "near", "vantor-time"), med("c2", n, "near", "vantor-content")
        if t and c is not None:
            w(f"| C2 no change, {n:,} files, near{flag('c2', n, 'near', 'vantor-time', 'vantor-content')} | content "
              f"{fmt(c)} s, time mode {fmt(t)} s: {c / t:.2f}× | ≤ 1.1× of time mode | {yes(c / t <= 1.1)} |")
    for n in sorted({r["n"] for r in runs if r["sc"] == "prune"}):
        v = med("prune", n, "ftpfar", "vantor-prune")
        l = med("prune", n, "ftpfar", "lftp-delete")
        pr = [e for e in extra["prune"] if int(e[0]) == n and e[1] == "vantor-prune"]
        if v is None:
            continue
        exact = all(e[3] == e[4] and e[5] == "yes" for e in pr) and bool(pr)
        counts = ", ".join(f"{e[4]} of {e[3]}" for e in pr)
        w(f"| C3 -p after removing 1 % of {n:,} files, FTP {rtt} ms{flag('prune', n, 'ftpfar', 'vantor-prune')} | "
          f"vantor {fmt(v)} s (lftp mirror -R -e {fmt(l)} s); files deleted on the server: {counts} | "
          f"time and DELE count: exactly the removed files | {yes(exact)} |")
    big8 = [n for n in far_sizes if max_rss_tool(n, "vantor-n8")]
    if len(big8) >= 2:
        a, b = max_rss_tool(big8[0], "vantor-n8"), max_rss_tool(big8[-1], "vantor-n8")
        w(f"| P6 memory flat with 8 connections (far) | vantor max RSS {a / 1024:.1f} MB at {big8[0]:,} files, "
          f"{b / 1024:.1f} MB at {big8[-1]:,} files: {b / a:.2f}× | ≤ 1.25× | {yes(b <= 1.25 * a)} |")


def max_rss_tool(n, tool):
    rs = [r["rss"] for r in runs if r["tool"] == tool and r["n"] == n]
    return max(rs) if rs else None


def far_section():
    if not far_sizes and not extra["prune"] and not any(r["sc"] == "c2" for r in runs):
        return
    w(f"## Far and content scenarios (seconds, medians; FTP {rtt} ms away)")
    w("")
    w("Tools: vantor N = vantor with `ftpconnections = N`; baseline = vantor built from commit "
      f"{env('BENCH_BASELINE') or '–'} (ftplib, today's configuration); content = vantor with `compare = \"content\"`; "
      "lftp N = `mirror -R --only-newer` with `-P N` (1 = lftp's default sequential mirror); lftp size = "
      "`mirror -R --ignore-time` (sizes only); floor = bare libcurl loop, one connection. "
      "(3) regenerated site: every file has a new time, no content changed. Below each time: uploads (vantor) and "
      "whether the remote folder equalled the tree after the run (= / ≠).")
    w("")
    ks = conn_tools("vantor-n")
    ls = conn_tools("lftp-p")
    cols = [(f"vantor {k}", f"vantor-n{k}") for k in ks] + [("baseline", "vantor-old"), ("content", "vantor-content")] \
        + [(f"lftp {k}", f"lftp-p{k}") for k in ls] + [("lftp size", "lftp-size"), ("floor", "floor-put")]
    cols = [c for c in cols if any(r["tool"] == c[1] and r["sc"] in ("ffirst", "fregen") for r in runs)]
    w("| files | transport | scenario | " + " | ".join(c[0] for c in cols) + " |")
    w("|---:|---|---|" + "---:|" * len(cols))
    for n in far_sizes:
        for net in ("ftpfar", "tlsfar"):
            for sc, name in (("ffirst", "(1) first publish"), ("fregen", "(3) regenerated site")):
                if not any(groups.get((sc, n, net, c[1])) for c in cols):
                    continue
                cells = []
                for _, tool in cols:
                    g = groups.get((sc, n, net, tool))
                    if not g:
                        cells.append("–")
                        continue
                    eq = [equal.get((sc, n, net, tool, r["rep"])) for r in g]
                    mark = "" if not any(eq) else (" =" if all(x == "yes" for x in eq) else " ≠")
                    up = f" ({uploads(sc, n, net, tool)})" if tool.startswith("vantor") else ""
                    bad = " rc≠0" if failed(sc, n, net, tool) else ""
                    cells.append(f"{fmt(far(sc, n, net, tool))}{up}{mark}{bad}")
                w(f"| {n:,} | {far_nets[net]} | {name} | " + " | ".join(cells) + " |")
    w("")
    # Ratios, vantor with K connections against lftp with -P K, same run.
    rows = []
    for n in far_sizes:
        for net in ("ftpfar", "tlsfar"):
            for sc, name in (("ffirst", "first publish"), ("fregen", "regenerated site")):
                for k in ks:
                    v, l = far(sc, n, net, f"vantor-n{k}"), far(sc, n, net, f"lftp-p{k}")
                    if v is not None and l is not None:
                        rows.append(f"| {n:,} | {far_nets[net]} | {name} | {k} | {ratio(v, l)} |")
    if rows:
        w("vantor with N connections / lftp -P N (below 1: vantor faster):")
        w("")
        w("| files | transport | scenario | N | vantor/lftp |")
        w("|---:|---|---|---:|---:|")
        for r in rows:
            w(r)
        w("")
    pr = extra["prune"]
    if pr:
        w("C3, pruning after 1 % of the files were removed locally (FTP "
          f"{rtt} ms): files deleted on the server, counted by listing the remote folder before and after.")
        w("")
        w("| files | tool | rep | seconds | removed locally | deleted on the server | folder equals the tree |")
        w("|---:|---|---:|---:|---:|---:|---|")
        secs = {(r["n"], r["tool"], r["rep"]): r["secs"] for r in runs if r["sc"] == "prune"}
        for e in pr:
            w(f"| {int(e[0]):,} | {e[1]} | {e[2]} | {fmt(secs.get((int(e[0]), e[1], int(e[2]))))} | {e[3]} | {e[4]} | {e[5]} |")
        w("")
    c2 = sorted({r["n"] for r in runs if r["sc"] == "c2"})
    for n in c2:
        w(f"C2, no change at {n:,} files, near: time mode {fmt(med('c2', n, 'near', 'vantor-time'))} s, content "
          f"mode {fmt(med('c2', n, 'near', 'vantor-content'))} s ({count('c2', n, 'near', 'vantor-time')} "
          f"repetition(s), medians); filling the tables with `-r`: time mode {fmt(med('c2fill', n, 'near', 'vantor-time'))} s, "
          f"content mode {fmt(med('c2fill', n, 'near', 'vantor-content'))} s.")
        w("")


def max_rss(n, sc=None):
    rs = [r["rss"] for r in runs if r["tool"] == "vantor" and r["n"] == n and r["sc"] in near_sc
          and (sc is None or r["sc"] == sc)]
    return max(rs) if rs else None


small, large = (min(sizes), max(sizes)) if sizes else (0, 0)
a, b = max_rss(small), max_rss(large)
if a and b and small != large:
    w(f"| P6 memory flat{'' if large >= 100000 else f' (up to {large:,} files)'} | vantor max RSS {a / 1024:.1f} MB at {small:,} files, "
      f"{b / 1024:.1f} MB at {large:,} files: {b / a:.2f}× | ≤ 1.25× from {small:,} to {large:,} files | {yes(b <= 1.25 * a)} |")
far_targets()


# ---------------------------------------------------------------- catalogue distance (D1-D4)
db_rtt = env("BENCH_DB_FAR_RTT")
db_names = {"d1": "D1 no change", "d2": "D2 1 % of the files edited (new contents and times)",
            "d3": 'D3 regenerated site, `compare = "content"` (every file hashed and its row re-stamped)',
            "d4": f"D4 first publish, FTP {rtt} ms away, 8 connections"}
db_goal = {"d1": 1.5, "d2": 1.5, "d3": 1.5, "d4": 1.15}


def db_runs():
    """(scenario, files, near median, far median) of every D scenario that ran."""
    out_ = []
    for sc in db_names:
        for n in sorted({r["n"] for r in runs if r["sc"] == sc}):
            out_.append((sc, n, med(sc, n, "dbnear", "vantor"), med(sc, n, "dbfar", "vantor")))
    return out_


def db_targets():
    for sc, n, a, b in db_runs():
        if a and b is not None:
            fl = flag(sc, n, "dbnear", "vantor") or flag(sc, n, "dbfar", "vantor")
            w(f"| {db_names[sc]}, {n:,} files, catalogue {db_rtt} ms "
              f"away vs near{fl} | {fmt(b)} s / {fmt(a)} s = {b / a:.2f}× | ≤ {db_goal[sc]}× near | "
              f"{yes(b / a <= db_goal[sc])} |")
    ms = sorted({r["n"] for r in runs if r["sc"] == "d1mem"})
    if len(ms) >= 2:
        a, b = max_rss_sc(ms[0], "d1mem"), max_rss_sc(ms[-1], "d1mem")
        w(f"| D1 memory, no change, catalogue near | max RSS {a / 1024:.1f} MB at {ms[0]:,} files, {b / 1024:.1f} MB "
          f"at {ms[-1]:,} files: {b / a:.2f}× | ≤ 1.25× | {yes(b <= 1.25 * a)} |")


def max_rss_sc(n, sc):
    rs = [r["rss"] for r in runs if r["sc"] == sc and r["n"] == n]
    return max(rs) if rs else None


def db_section():
    rows = db_runs()
    if not rows:
        return
    w(f"## Catalogue distance (seconds, medians; catalogue near vs {db_rtt} ms away)")
    w("")
    w(f"The same run of vantor with the catalogue near (127.0.0.1) and {db_rtt} ms away (round trip; bench/latproxy.cpp "
      "on 127.0.0.3 holds each chunk half of it each way), one after the other in each repetition, the order "
      "swapped every repetition. Round trips ≈ (far − near) / round-trip time: what the distance adds, counted in "
      "round trips. Per repetition: far / near of that repetition.")
    w("")
    w("| scenario | files | near | far | far/near | goal | round trips ≈ | per repetition | uploads near / far | "
      "vantor CPU near / far | DB CPU near / far | runs |")
    w("|---|---:|---:|---:|---:|---:|---:|---|---|---:|---:|---:|")
    for sc, n, a, b in rows:
        g = {net: {r["rep"]: r for r in groups.get((sc, n, net, "vantor"), [])} for net in ("dbnear", "dbfar")}
        per = ", ".join(f"{g['dbfar'][k]['secs'] / g['dbnear'][k]['secs']:.2f}" for k in sorted(g["dbnear"])
                        if k in g["dbfar"] and g["dbnear"][k]["secs"] > 0)
        trips = f"{(b - a) * 1000 / float(db_rtt):.0f}" if a is not None and b is not None else "–"
        fl = "" if not (failed(sc, n, "dbnear", "vantor") or failed(sc, n, "dbfar", "vantor")) else " (a run failed)"
        w(f"| {db_names[sc]}{fl} | {n:,} | {fmt(a)} | {fmt(b)} | {ratio(b, a)} | ≤ {db_goal[sc]}× | {trips} | {per} | "
          f"{uploads(sc, n, 'dbnear', 'vantor')} / {uploads(sc, n, 'dbfar', 'vantor')} | "
          f"{fmt(med_of('cpu', sc, n, 'dbnear', 'vantor'))} / {fmt(med_of('cpu', sc, n, 'dbfar', 'vantor'))} | "
          f"{fmt(med_of('dbcpu', sc, n, 'dbnear', 'vantor'))} / {fmt(med_of('dbcpu', sc, n, 'dbfar', 'vantor'))} | "
          f"{count(sc, n, 'dbnear', 'vantor')} + {count(sc, n, 'dbfar', 'vantor')} |")
    w("")
    bs = sorted({int(r["tool"][len("floor-lookup"):]) for r in runs
                 if r["sc"] == "d1" and r["tool"].startswith("floor-lookup")})
    if bs:
        n = rows[0][1]
        w(f"D1's lookup floor (bench/floors.cpp `lookup ... BATCH`: walk, status and the same SELECT per file, BATCH "
          f"statements per round trip, on D1's table, in the same repetitions), {n:,} files; vantor's batches hold "
          "up to 2,048 lookups:")
        w("")
        w("| lookups per round trip | near | far | DB CPU near / far | vantor near / far |")
        w("|---:|---:|---:|---:|---:|")
        for b in bs:
            t = f"floor-lookup{b}"
            w(f"| {b:,} | {fmt(med('d1', n, 'dbnear', t))} | {fmt(med('d1', n, 'dbfar', t))} | "
              f"{fmt(med_of('dbcpu', 'd1', n, 'dbnear', t))} / {fmt(med_of('dbcpu', 'd1', n, 'dbfar', t))} | "
              f"{fmt(med('d1', n, 'dbnear', 'vantor'))} / {fmt(med('d1', n, 'dbfar', 'vantor'))} |")
        w("")
    ms = sorted({r["n"] for r in runs if r["sc"] == "d1mem"})
    if ms:
        w("D1's peak memory (no change, catalogue near, FTP near; GNU time, max RSS of the repetitions): "
          + "; ".join(f"{n:,} files: {max_rss_sc(n, 'd1mem') / 1024:.1f} MB in {fmt(med('d1mem', n, 'dbnear', 'vantor'))} s"
                      for n in ms) + ".")
        w("")
    w(f"""How: D1-D3 share a tree of {rows[0][1]:,} files (bench/gentree.cpp, `make TREE N 20`: 20 files a folder), its
remote folder (a copy of the tree, times kept) and the FTP daemon near. D1 and D2 use table dN, made by `vantor CONF -c`
and filled by `vantor CONF -r` (near, untimed); D1 runs `vantor CONF` on the unchanged tree; D2 runs `gentree edit TREE
REP` before each run (every 100th file rewritten with new bytes of the same size and a new time: 1 %, new each
time), then `vantor CONF`. D3 uses table dcN, made by `vantor CONF -c` and filled by `vantor CONF -r` with
`compare = "content"` (the Huella column), and runs `gentree regen TREE REP` (every file a new time, no byte changed)
before each run, then `vantor CONF`. D4: a tree of 40 folders of 50 files, FTP {rtt} ms away (the far daemon and its
relay), `ftpconnections = 8`, table d4_N made by `-c`; before each run (untimed) the remote folder is emptied and the
catalogue cleared by `vantor CONF -d`. Memory: D1 at each of BENCH_DB_MEM_SIZES files (20 a folder, table filled by
`-r`, catalogue near). `CONF` is `cfg/NAME-dbnear.conf` (`dbserver = "127.0.0.1"`) or `cfg/NAME-dbfar.conf`
(`dbserver = "127.0.0.3"`); nothing else differs.
""")


db_targets()
w("")

# Memory
near_memory = len(out)
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

near_memory = (near_memory, len(out))
far_section()
db_section()

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

w(f"""- Far and content scenarios (bench/run.sh --far, or the full run): FTP {rtt} ms away through the same relay; a
  third pure-ftpd on the same folder offers explicit TLS (`-Y 1`, certificate made with openssl at the start of the
  run for IP 127.0.0.2 and 127.0.0.1, the only certificate the clients trust). Each tool publishes into a folder of
  its own, each vantor variant has its own table. The one-connection runs (vantor with one connection, the
  baseline, lftp without -P, the floor) are measured up to {env('BENCH_SEQ_MAX')} files; larger trees only with
  several connections. The one-connection group and the parallel group are repeated apart (a run over BENCH_SLOW
  seconds ends its group's repetitions). (1) first publish: folder emptied and catalogue cleared (untimed), then the
  run. (3) regenerated site: every tool's folder made equal to the tree by a copy with the times kept and its
  catalogue by `vantor CONF -r` (untimed), then `gentree regen` gives every file a new time with the same
  contents, then each tool runs once. After the first size's regenerated site, one file is rewritten with new
  bytes of the same size (`gentree sameedit`): content mode must send it, lftp --ignore-time does not.
- C2: a tree of its own, two tables made with `vantor CONF -c` (one with `compare = "content"`) and filled with
  `vantor CONF -r`, then no-change runs of both in turns, near. C3: a fresh tree each repetition, its remote folders
  filled by copy and its catalogue by `-r`, then `gentree prune` removes every 100th file, then `vantor CONF -p`
  (and lftp `mirror -R -e` on its own copy); the files deleted on the server are counted by listing the folder
  before and after, and the folder must then equal the tree.
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

Far and content scenarios, with `CONF` one of `cfg/plain-N-V.conf` or `cfg/tls-N-V.conf` (V = nK: `ftpconnections = K`;
content: `compare = "content"`; old: today's keys only; tls adds `ftptls = "explicit"` and `ftpcafile = "CERT"`),
table `fN_V`, remote folder `/FN/vantor-V`, FTP at 127.0.0.2 (20 ms):

| scenario | vantor | lftp | other |
|---|---|---|---|
| (1) first publish | `vantor CONF` (the baseline binary for V = old) after `vantor CONF -d` and emptying the folder | `lftp-mirror [--tls] [-P K] 127.0.0.2 PORT TREE /FN/lftp-pK` | `floors put TREE 127.0.0.2:PORT USER PASS /FN/floor-put` |
| (3) regenerated site | `vantor CONF` after seeding and `gentree regen TREE REP` | `lftp-mirror [--tls] [-P K] ...`; `lftp-mirror --ignore-time [-P K] ...` | – |
| C2 no change | `vantor cfg/c2-time.conf`, `vantor cfg/c2-content.conf` | – | – |
| C3 prune | `gentree prune TREE`, then `vantor cfg/prune-N.conf -p` | `lftp-mirror -e 127.0.0.2 PORT TREE /C3/lftp` | – |

`lftp-mirror` runs `lftp -u USER,PASS -p PORT HOST -e "set cmd:fail-exit yes; set net:max-retries 2; mirror -R
--only-newer TREE /lN; quit"` with HOME in the temporary folder; `--tls` puts `set ssl:ca-file CERT; set
ftp:ssl-force true; set ftp:ssl-protect-data true;` before the mirror, `-P K` adds `-P K`, `--ignore-time` replaces
`--only-newer`, `-e` adds `--delete`. Each command runs as
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
      f"{r['dbcpu']:.2f} | {r['rss']} | {r['rc']} | {r['up'] if r['tool'].startswith('vantor') else ''} |")
w("")

if not sizes:
    # No near scenario ran: drop their empty tables.
    del out[near_memory[0]:near_memory[1]]
    del out[near_times[0]:near_times[1]]

with open(out_path, "w") as f:
    f.write("\n".join(out))
