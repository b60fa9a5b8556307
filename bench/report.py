"""Turns one run's raw files into bench/results/YYYY-MM-DD.{md,json} and the chart.

    python bench/report.py --out DIR --mode full --pyperf T.json --status S.json \
        --memory M.json [--threads TH.json] [--elapsed SECONDS]
    python bench/report.py --out DIR --mode quick --quick-timings Q.json --memory M.json ...
    python bench/report.py --out DIR --merge-callgrind CG.json
    python bench/report.py --out DIR --merge-scaling SC.json
    python bench/report.py --out DIR --render DIR/YYYY-MM-DD.json

Everything in the Markdown is computed from the JSON, so --render rebuilds it.
Times are medians over all values of a benchmark; ratios come from medians.
"""

from __future__ import annotations

import argparse
import datetime
import glob
import gzip
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB_ORDER = ["tarnwick", "floor", "psygnal", "psygnal_fast", "blinker", "django", "pyside6"]
PEERS = [k for k in LIB_ORDER if k not in ("tarnwick", "floor")]
LISTENER_POINTS = [1, 10, 100, 10_000]
FLAT_TOLERANCE = 1.5   # per-listener cost may vary by this factor and still count as flat


# --- gathering ---------------------------------------------------------------

def machine_info() -> dict:
    info = {"cpu_model": "?", "logical_cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            text = f.read()
        fields = {}
        for line in text.splitlines():
            if ":" in line:
                k, v = (p.strip() for p in line.split(":", 1))
                fields.setdefault(k, v)
        info["cpu_model"] = fields.get("model name", "?")
        info["cpu_mhz"] = fields.get("cpu MHz")
        info["cache"] = fields.get("cache size")
        info["cores_per_socket"] = fields.get("cpu cores")
        info["sockets"] = len({l.split(":")[1].strip() for l in text.splitlines()
                               if l.startswith("physical id")}) or None
        flags = fields.get("flags", "").split()
        info["hypervisor"] = "hypervisor" in flags
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            info["memory"] = f.readline().split(":", 1)[1].strip()
    except OSError:
        pass
    info["kernel"] = platform.release()
    info["os"] = _os_release()
    return info


def _loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return None


def _os_release():
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return platform.platform()


def interpreter_info() -> dict:
    import sysconfig
    return {"version": sys.version, "executable": sys.executable,
            "soabi": sysconfig.get_config_var("SOABI"),
            "config_args": sysconfig.get_config_var("CONFIG_ARGS"),
            "opt": sysconfig.get_config_var("OPT")}


def tarnwick_info() -> dict:
    def git(*a):
        try:
            return subprocess.run(["git", "-C", ROOT, *a], capture_output=True, text=True,
                                  timeout=10).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return ""
    return {"commit": git("rev-parse", "--short", "HEAD"),
            "describe": git("describe", "--always", "--dirty"),
            "dirty_files": [l[3:] for l in git("status", "--porcelain", "--", "src").splitlines()]}


def load_pyperf(path: str) -> dict:
    import pyperf
    suite = pyperf.BenchmarkSuite.load(path)
    out = {}
    meta = {}
    for bench in suite.get_benchmarks():
        name = bench.get_name()
        case, lib = name[:-1].split("[")
        values = [v * 1e9 for v in bench.get_values()]
        out.setdefault(case, {})[lib] = {
            "median_ns": statistics.median(values), "mean_ns": statistics.fmean(values),
            "stdev_ns": statistics.stdev(values) if len(values) > 1 else 0.0,
            "n_values": len(values), "loops": bench.get_loops(), "inner_loops": bench.get_inner_loops(),
            "values_ns": values,
        }
        if not meta:
            md = bench.get_metadata()
            meta = {k: md.get(k) for k in ("python_executable", "bench_executable", "cpu_model_name",
                                          "cpu_count", "pyperf_version", "python_version",
                                          "timer", "perf_version") if md.get(k) is not None}
    return {"cases": out, "pyperf_metadata": meta}


def load_quick(path: str) -> tuple[dict, dict]:
    with open(path) as f:
        q = json.load(f)
    out = {}
    for name, b in q["benchmarks"].items():
        v = b["values_ns"]
        out.setdefault(b["case"], {})[b["lib"]] = {
            "median_ns": statistics.median(v), "mean_ns": statistics.fmean(v),
            "stdev_ns": statistics.stdev(v) if len(v) > 1 else 0.0, "n_values": len(v),
            "loops": b["loops"], "inner_loops": b["inner"], "values_ns": v}
    status = {k: q[k] for k in ("python", "executable", "libs", "skipped", "self_check",
                                "not_applicable", "cases", "gil_enabled") if k in q}
    return {"cases": out}, status


# --- analysis ----------------------------------------------------------------

def t(data, case, lib):
    row = data.get("timings", {}).get(case, {})
    return row.get(lib, {}).get("median_ns")


def compute_targets(d: dict) -> list[dict]:
    out = []

    def add(name, measured, met, detail=""):
        out.append({"target": name, "measured": measured, "met": met, "detail": detail})

    # emit against the floor
    for n, limit in ((1, 1.3), (100, 1.05)):
        a, f = t(d, f"emit_{n}", "tarnwick"), t(d, f"emit_{n}", "floor")
        if a and f:
            r = a / f
            add(f"emit ≤ {limit}× floor at {n} listener{'s' if n > 1 else ''}",
                f"{r:.2f}× ({a:.0f} vs {f:.0f} ns)", r <= limit)
        else:
            add(f"emit ≤ {limit}× floor at {n} listeners", "not measured", None)

    # ahead of every peer in every case
    misses, compared = [], 0
    for case, row in d.get("timings", {}).items():
        a = row.get("tarnwick", {}).get("median_ns")
        if a is None:
            continue
        for peer in PEERS:
            p = row.get(peer, {}).get("median_ns")
            if p is None:
                continue
            compared += 1
            if a >= p:
                misses.append(f"{case} vs {peer} ({a:.0f} vs {p:.0f} ns)")
    add("ahead of every peer in every case",
        f"{compared - len(misses)}/{compared} comparisons won" if compared else "not measured",
        (not misses) if compared else None, "; ".join(misses) if misses else "")

    # speed-ups at 1 and 10 listeners
    psyg_compiled = d.get("libs", {}).get("psygnal", {}).get("compiled")
    for peers, factor in ((("blinker", "django"), 5.0), (("psygnal", "pyside6"), 2.0)):
        for peer in peers:
            parts, ok = [], True
            present = False
            for n in (1, 10):
                a, p = t(d, f"emit_{n}", "tarnwick"), t(d, f"emit_{n}", peer)
                if a and p:
                    present = True
                    parts.append(f"{n}: {p / a:.2f}×")
                    ok &= p / a >= factor
            name = f"≥ {factor:g}× faster than {peer}" + (" (compiled)" if peer == "psygnal" else "") \
                + " at 1 and 10 listeners"
            if peer == "psygnal" and psyg_compiled is False:
                add(name, ", ".join(parts), None, "psygnal was not the compiled build here")
            elif present:
                add(name, ", ".join(parts), ok)
            else:
                add(name, "peer not measured", None)

    # connect + disconnect
    a = t(d, "connect_disconnect", "tarnwick")
    add("connect + disconnect ≤ 150 ns", f"{a:.0f} ns" if a else "not measured",
        (a <= 150) if a else None)

    # flat per-listener cost
    flat = per_listener(d)
    if flat.get("tarnwick"):
        e = {k: v for k, v in flat["tarnwick"]["emit"].items() if not k.startswith("0-")}
        vals = [v for v in e.values() if v and v > 0]
        ratio = max(vals) / min(vals) if vals else None
        o = flat["tarnwick"]["once"]
        oratio = (max(o.values()) / min(o.values())) if len(o) == 2 and min(o.values()) > 0 else None
        fl = {k: v for k, v in flat.get("floor", {}).get("emit", {}).items() if not k.startswith("0-")}
        fvals = [v for v in fl.values() if v and v > 0]
        fratio = max(fvals) / min(fvals) if fvals else None
        detail = ("emit, cost per added listener: " + ", ".join(f"{n}: {v:.1f} ns" for n, v in e.items() if v)
                  + (f" (spread {ratio:.2f}×; floor's spread {fratio:.2f}×)" if ratio and fratio else ""))
        if o:
            detail += "; one-shot per entry: " + ", ".join(f"{n}: {v:.1f} ns" for n, v in o.items() if v)
            if oratio:
                detail += f" (spread {oratio:.2f}×)"
        met = None
        if ratio is not None:
            met = ratio <= FLAT_TOLERANCE and (oratio is None or oratio <= FLAT_TOLERANCE)
        add(f"per-listener emit cost flat from 1 to 10^4 (max/min of the per-segment costs ≤ {FLAT_TOLERANCE}, one-shots included)",
            f"emit {ratio:.2f}×" + (f", one-shot {oratio:.2f}×" if oratio else "") if ratio else "?",
            met, detail)

    # threads: judged on the "bound" rows (module-level callbacks, which 3.13t
    # makes immortal once threads run, and the emit method taken once per
    # thread), which show what the signal itself allows; in the other rows
    # the interpreter's shared reference counts (of the signal, loaded by
    # LOAD_FAST on every s.emit(x), and of closures) bound the scaling, and
    # the floor shows the same. They are reported beside.
    th = d.get("threads")

    def floor_scaling(th) -> str:
        rows = th.get("libs", {}).get("floor", {}).get("kinds", {}).get("toplevel", {})
        got = [f"{row['emits_per_s']['2'] / row['emits_per_s']['1']:.2f}×" for row in rows.values()]
        return " and ".join(got) + " (toplevel, 1 and 10 listeners)" if got else "a similar figure"

    name = "3.13t: 2 threads ≥ 1.8× the aggregate throughput of 1 thread"
    if th and "tarnwick" in th.get("libs", {}):
        r = th["libs"]["tarnwick"]
        parts, ok = [], True
        for kind, rows in r["kinds"].items():
            for n, row in rows.items():
                e = row["emits_per_s"]
                s = e["2"] / e["1"]
                parts.append(f"{kind} {n}: {s:.2f}×")
                if kind == "bound":
                    ok &= s >= 1.8
        cs = control_scaling(th, "tarnwick")
        if cs is not None:
            parts.append(f"control {cs:.2f}×")
        ft = th.get("free_threaded_build") and not r.get("gil_enabled_after_import")
        if not ft:
            add(name, ", ".join(parts), None, "not a free-threaded run (GIL enabled): not evaluated")
        elif cs is not None and cs < 1.6:
            add(name, ", ".join(parts), None,
                f"the control (independent busy loops) reached only {cs:.2f}× on 2 threads: the machine "
                f"did not have two free cores during the run, so scaling cannot be judged from it")
        else:
            if "bound" not in r["kinds"]:
                ok = None
            add(name, ", ".join(parts), ok,
                "judged on \"bound\" (module-level callbacks, emit method taken once per thread, 1 and 10 "
                "listeners), which is what the signal itself allows. In a plain `s.emit(x)` loop, 3.13's "
                "LOAD_FAST updates the shared signal's reference count on every call, and closures' counts "
                "are shared too: the interpreter's contention, which holds the floor to "
                + floor_scaling(th) + "; see the Threads section")
    else:
        add(name, "not measured", None, "no free-threaded interpreter")

    # memory
    mem = d.get("memory", {}).get("libs", {})
    if "tarnwick" in mem:
        parts, ok, details = [], True, []
        for k in ("0", "4"):
            peers = {p: mem[p]["counts"][k]["heap"] for p in mem if p not in ("tarnwick", "floor")}
            if not peers:
                ok = None
                break
            light = min(peers, key=peers.get)
            a = mem["tarnwick"]["counts"][k]["heap"]
            parts.append(f"{k} listeners: {a:.0f} B vs {light} {peers[light]:.0f} B "
                         f"({a / peers[light]:.2f}×)")
            ok &= a < peers[light] / 4
        add("memory per Signal with ≤ 4 listeners < ¼ of the lightest peer's (heap bytes)",
            "; ".join(parts), ok)
    return out


SEGMENTS = [(0, 1), (1, 10), (10, 100), (100, 10_000)]


def control_scaling(th: dict, key: str | None = None):
    """The lower of the controls' 2-thread scaling around one library's
    measurement, or else of the run's first and last control."""
    r = th.get("libs", {}).get(key or "", {})
    if r.get("control_before") is not None:
        return min(r["control_before"], r.get("control_after", r["control_before"]))
    vals = []
    for k in ("control", "control_end"):
        c = th.get("libs", {}).get(k)
        if c:
            e = c["kinds"]["independent"]["0"]["emits_per_s"]
            vals.append(e["2"] / e["1"])
    return min(vals) if vals else None


def per_listener(d: dict) -> dict:
    """Cost of each added listener, (t(b) - t(a)) / (b - a), per segment of
    the listener counts; and the cost per one-shot entry."""
    out = {}
    for lib in LIB_ORDER:
        e = {}
        for a, b in SEGMENTS:
            ta, tb = t(d, f"emit_{a}", lib), t(d, f"emit_{b}", lib)
            e[f"{a}-{b}"] = (tb - ta) / (b - a) if ta is not None and tb is not None else None
        if all(v is None for v in e.values()):
            continue
        o = {}
        t0 = t(d, "emit_0", lib)
        r1 = t(d, "emit_once_reconnect", lib)
        if r1 is not None and t0 is not None and lib in ("tarnwick", "floor", "pyside6"):
            o["1"] = r1 - t0
        m = t(d, "once_10000", lib)
        if m is not None:
            o["10000"] = m
        out[lib] = {"emit": e, "once": o}
    return out


# --- rendering -----------------------------------------------------------------

def fmt_ns(v):
    if v is None:
        return "—"
    if v >= 1e6:
        return f"{v / 1e6:,.2f} ms"
    if v >= 1e4:
        return f"{v / 1e3:,.1f} µs"
    if v >= 100:
        return f"{v:,.0f}"
    return f"{v:.1f}"


def render_md(d: dict) -> str:
    L = []
    meta = d["meta"]
    m = meta["machine"]
    libs_present = [k for k in LIB_ORDER if k in d.get("libs", {})]
    label = {k: d["libs"][k]["label"] for k in libs_present}
    title_date = meta["date"]
    L.append(f"# tarnwick benchmarks, {title_date}")
    L.append("")
    if meta.get("mode") == "quick":
        L.append("> **Smoke run (`--quick`)**: every benchmark ran a few milliseconds in one process. "
                 "The numbers only show that the harness works; do not quote them.")
        L.append("")
    L.append(f"- **Machine:** {m.get('cpu_model')} — {m.get('logical_cpus')} logical CPUs"
             f" ({m.get('cores_per_socket') or '?'} cores per socket, {m.get('sockets') or '?'} socket(s))"
             f"{', virtual machine' if m.get('hypervisor') else ''}; {m.get('memory', '?')} RAM; "
             f"{m.get('os')}, Linux {m.get('kernel')}")
    py = meta.get("interpreter", {})
    L.append(f"- **Interpreter:** CPython {py.get('version', '?').split()[0]} "
             f"(`{py.get('executable')}`, {py.get('soabi')}; configured `{py.get('config_args') or 'default'}`, "
             f"OPT `{py.get('opt')}`)")
    tw = meta.get("tarnwick", {})
    dirty = f"; uncommitted changes in {', '.join(tw['dirty_files'])}" if tw.get("dirty_files") else ""
    L.append(f"- **tarnwick:** {d['libs'].get('tarnwick', {}).get('version', '?')} at `{tw.get('describe')}`"
             f"{dirty}, built Release by `bench/run.sh`"
             + (f" at {tw['built_at']}" if tw.get("built_at") else ""))
    peers_line = ", ".join(f"{label[k]} {d['libs'][k]['version']}" for k in libs_present
                           if k not in ("tarnwick", "floor", "psygnal_fast"))
    L.append(f"- **Peers (same process, same run):** {peers_line}")
    if "psygnal" in d["libs"]:
        c = d["libs"]["psygnal"].get("compiled")
        L.append(f"- **psygnal compiled:** `psygnal._compiled` is **{c}**"
                 + ("" if c else " — the pure-Python fallback was measured"))
    for k, why in d.get("skipped", {}).items():
        L.append(f"- **Skipped {k}:** {why}")
    if meta.get("mode") != "quick":
        s = meta.get("pyperf_settings", "")
        L.append(f"- **Method:** pyperf {d.get('pyperf_metadata', {}).get('perf_version', '')} "
                 f"({s}); each value is one worker process's mean over its loops; the tables show the median "
                 f"of all values. Timer: {d.get('pyperf_metadata', {}).get('timer', 'perf_counter')}.")
    if meta.get("loadavg_start") or meta.get("loadavg_end"):
        L.append(f"- **Load average (1, 5, 15 min):** {meta.get('loadavg_start', '?')} at the start, "
                 f"{meta.get('loadavg_end', '?')} at the end — anything above ~0.3 means other work shared "
                 f"the 2 CPUs with the benchmark")
    if meta.get("elapsed_s"):
        L.append(f"- **Wall time of the run:** {meta['elapsed_s'] / 60:.1f} min (venvs, build, timing, memory, threads)")
    L.append("")

    # targets
    L.append("## Targets")
    L.append("")
    L.append("| target | measured | met |")
    L.append("|---|---|---|")
    for tg in d.get("targets", []):
        mark = {True: "✅ met", False: "❌ missed", None: "— not evaluated"}[tg["met"]]
        L.append(f"| {tg['target']} | {tg['measured']} | {mark} |")
    details = [tg for tg in d.get("targets", []) if tg.get("detail")]
    if details:
        L.append("")
        for tg in details:
            L.append(f"- *{tg['target']}*: {tg['detail']}")
    L.append("")

    # times
    timings = d.get("timings", {})
    cases_meta = {c["id"]: c for c in d.get("cases", [])}
    L.append("## Time per operation (ns, median)")
    L.append("")
    L.append("Lower is better. “—” means the case does not apply to that library (reasons below).")
    L.append("")
    L.append("| case | unit | " + " | ".join(label[k] for k in libs_present) + " |")
    L.append("|---|---|" + "---:|" * len(libs_present))
    for cid, cm in cases_meta.items():
        if cid not in timings:
            continue
        row = [fmt_ns(timings[cid].get(k, {}).get("median_ns")) for k in libs_present]
        if "tarnwick" in timings[cid]:
            row[libs_present.index("tarnwick")] = f"**{row[libs_present.index('tarnwick')]}**"
        L.append(f"| {cm['title']} | {cm['unit']} | " + " | ".join(row) + " |")
    L.append("")

    # ratios
    peers_present = [k for k in libs_present if k in PEERS]
    L.append("## Ratios")
    L.append("")
    L.append("First column: tarnwick's time divided by the floor's (1.00 = as fast as the hand-written "
             "loop; lower is better). Other columns: the peer's time divided by tarnwick's, i.e. how many "
             "times faster tarnwick is (above 1 = tarnwick ahead).")
    L.append("")
    L.append("| case | tarnwick ÷ floor | " + " | ".join(f"{label[k]} ÷ tarnwick" for k in peers_present) + " |")
    L.append("|---|---:|" + "---:|" * len(peers_present))
    for cid, cm in cases_meta.items():
        row = timings.get(cid, {})
        a = row.get("tarnwick", {}).get("median_ns")
        if a is None:
            continue
        f = row.get("floor", {}).get("median_ns")
        cells = [f"{a / f:.2f}" if f else "—"]
        for k in peers_present:
            p = row.get(k, {}).get("median_ns")
            cells.append(("**" if p and p < a else "") + (f"{p / a:.2f}" if p else "—")
                         + ("**" if p and p < a else ""))
        L.append(f"| {cm['title']} | " + " | ".join(cells) + " |")
    L.append("")
    L.append("A bold ratio below 1 marks a case where that peer is faster than tarnwick.")
    L.append("")

    # per listener
    pl = d.get("per_listener", {})
    if pl:
        L.append("## Cost per listener")
        L.append("")
        L.append("For emit: the cost of each added listener, (t(b) − t(a)) / (b − a), between the listener "
                 "counts measured (trivial callbacks). For one-shots: the cost of one connect_once-and-call, "
                 "as a single entry reconnected every round (round − emit with 0 listeners) and per entry "
                 "when 10^4 are connected and then emitted at once.")
        L.append("")
        L.append("| library | " + " | ".join(f"emit {a}→{b:,}" for a, b in SEGMENTS)
                 + " | one-shot ×1 | one-shot ×10^4 |")
        L.append("|---|" + "---:|" * (len(SEGMENTS) + 2))
        for k in libs_present:
            if k not in pl:
                continue
            e, o = pl[k]["emit"], pl[k]["once"]
            L.append(f"| {label[k]} | " + " | ".join(fmt_ns(e.get(f"{a}-{b}")) for a, b in SEGMENTS)
                     + f" | {fmt_ns(o.get('1'))} | {fmt_ns(o.get('10000'))} |")
        L.append("")
        L.append("![emit time against listener count](emit-vs-listeners.png)")
        L.append("")

    # memory
    mem = d.get("memory")
    if mem and mem.get("libs"):
        L.append("## Memory per signal")
        L.append("")
        L.append(f"Bytes per signal, averaged over {mem['signals']} signals each connected to the same k "
                 "callbacks (the callbacks themselves are not counted). *heap*: growth of glibc's in-use "
                 "bytes with PYTHONMALLOC=malloc, which sees C/C++ allocations too; *traced*: tracemalloc, "
                 "which sees only Python's allocators (so it misses operator new in tarnwick and all of "
                 "Qt's C++ side). For PySide6 a signal is a QObject carrying it.")
        L.append("")
        counts = mem["counts"]
        L.append("| library | " + " | ".join(f"heap, {k}" for k in counts) + " | "
                 + " | ".join(f"traced, {k}" for k in counts) + " |")
        L.append("|---|" + "---:|" * (2 * len(counts)))
        for k in LIB_ORDER:
            if k not in mem["libs"]:
                continue
            c = mem["libs"][k]["counts"]
            lab = mem["libs"][k]["info"]["label"]
            L.append(f"| {lab} | " + " | ".join(f"{c[str(n)]['heap']:.0f}" for n in counts) + " | "
                     + " | ".join(f"{c[str(n)]['tracemalloc']:.0f}" for n in counts) + " |")
        for k, why in mem.get("skipped", {}).items():
            L.append(f"\n- memory: {k} skipped: {why}")
        L.append("")

    # threads
    th = d.get("threads")
    if th:
        L.append("## Threads")
        L.append("")
        gil = "free-threaded" if th.get("free_threaded_build") else "GIL build (smoke only, scaling not meaningful)"
        if th.get("separate_run_at"):
            L.append(f"*Measured separately with `bench/run.sh --threads` at {th['separate_run_at']} "
                     f"(load average then {th.get('loadavg')}), not in the run above.*")
            L.append("")
        L.append(f"Aggregate emissions per second, one shared signal, trivial callbacks; fixed work per "
                 f"thread, best of the repeats. Interpreter: CPython {th['python'].split()[0]} {gil} "
                 f"(`{th['executable']}`), {th.get('cpus')} CPUs.")
        L.append("")
        L.append("Callbacks are either functions defined at module level (*toplevel*), which 3.13t makes "
                 "immortal once a second thread runs, so that calling them touches no shared reference "
                 "count, or closures (*closure*), whose reference count every calling thread updates: that "
                 "contention is the interpreter's, and the floor shows it too. *bound* has the module-level "
                 "callbacks, but each thread takes the emit method once (`e = s.emit`, then `e(x)`): 3.13's "
                 "`LOAD_FAST` takes a reference to `s` on every `s.emit(x)`, a count that all the threads "
                 "share, while a bound method is each thread's own; so *bound* shows what the signal itself "
                 "allows. Every signal and callback is made before the first thread starts, as a module's "
                 "functions are made at import: 3.13t makes the code objects that exist when the first "
                 "thread starts immortal, but not those compiled later. The control rows are an "
                 "independent busy loop per thread (nothing shared), run before and after: they show how "
                 "much of two cores the machine actually gave.")
        L.append("")
        L.append("Before each library the run waits (up to 45 s) for two free cores, and a short control "
                 "is taken before and after it; the last column shows those two.")
        L.append("")
        L.append("| library | callbacks | listeners | 1 thread | 2 threads | 2 ÷ 1 | GIL after import | control around it |")
        L.append("|---|---|---:|---:|---:|---:|---|---|")
        for k in ["control"] + LIB_ORDER + ["control_end"]:
            r = th["libs"].get(k)
            if not r:
                continue
            lab = r["info"]["label"] + (" (after)" if k == "control_end" else "")
            if k == "psygnal":
                lab += " (compiled)" if r["info"].get("compiled") else " (pure Python)"
            for kind, rows in r["kinds"].items():
                for n, row in rows.items():
                    e = row["emits_per_s"]
                    ctl = (f"{r['control_before']:.2f}× / {r['control_after']:.2f}×"
                           if r.get("control_before") is not None else "")
                    L.append(f"| {lab} | {kind} | {n} | {e['1'] / 1e6:.2f} M/s | {e['2'] / 1e6:.2f} M/s | "
                             f"{e['2'] / e['1']:.2f}× | {'on' if r['gil_enabled_after_import'] else 'off'} | {ctl} |")
        for k, why in th.get("skipped", {}).items():
            L.append(f"\n- threads: {k} skipped: {why}")
        L.append("")

    # callgrind
    cg = d.get("callgrind")
    if cg:
        L.append("## Instructions per emit (callgrind)")
        L.append("")
        L.append(f"`bench/run.sh --callgrind`: {cg['valgrind']}; (Ir of 2N emits − Ir of N emits) / N with "
                 f"N = {cg['emits']}, in fresh interpreters, the loop's own bytecodes included. "
                 f"Run on {cg.get('date', '?')}.")
        L.append("")
        L.append("| library | 0 listeners | 1 listener | 10 listeners | per extra listener |")
        L.append("|---|---:|---:|---:|---:|")
        for k in LIB_ORDER:
            r = cg["libs"].get(k)
            if not r:
                continue
            lab = d.get("libs", {}).get(k, {}).get("label", k)
            zero = f"{r['0']:,.0f}" if "0" in r else "–"
            L.append(f"| {lab} | {zero} | {r['1']:,.0f} | {r['10']:,.0f} | {(r['10'] - r['1']) / 9:,.0f} |")
        blocked = cg["libs"].get("tarnwick", {}).get("blocked_10")
        if blocked:
            L.append("")
            L.append(f"An emit inside `with s.blocked():` on a tarnwick signal with 10 listeners: "
                     f"{blocked:,.0f} instructions.")
        for k, why in cg.get("skipped", {}).items():
            L.append(f"\n- callgrind: {k} skipped: {why}")
        if cg.get("tarnwick_inside_call_1"):
            L.append("")
            L.append(f"Inside the C call alone (from the method wrapper that builds the argument tuple to its "
                     f"return, callback included), tarnwick spends {cg['tarnwick_inside_call_1']:,.0f} "
                     f"instructions per emit at 1 listener. Where they go (exclusive, top lines; the full "
                     f"listing is in `callgrind-annotate.txt`):")
            L.append("")
            L.append("```")
            L.extend(_annotate_top(cg.get("annotate", ""), 25))
            L.append("```")
        L.append("")

    L.extend(render_scaling_md(d))
    L.extend(render_evented_md(d))

    # notes
    L.append("## Notes")
    L.append("")
    for k in libs_present:
        for n in d["libs"][k].get("notes", []):
            L.append(f"- {label[k]}: {n}")
    na = d.get("not_applicable", {})
    if na:
        L.append("- Not applicable:")
        for cid, row in na.items():
            for k, why in row.items():
                if k in libs_present and why != "emit cases only (the rest is the same as psygnal)":
                    L.append(f"  - {cases_meta.get(cid, {}).get('title', cid)} — {label[k]}: {why}")
    L.append("- One-shot rounds for psygnal, blinker and django are emulated as connect, emit, disconnect "
             "(they have no one-shot connection); PySide6 uses Qt.SingleShotConnection.")
    L.append("- Connect and disconnect cases are timed over chunks of 100 distinct callbacks (unrolled "
             "statements; signal creation and clean-up are outside the timed region); the 10^4 one-shot "
             "case is a `for` loop over 10^4 distinct callbacks, whose loop overhead is included for everyone.")
    for k, probs in d.get("self_check", {}).items():
        for p in probs:
            L.append(f"- **self-check failed for {k}:** {p}")
    L.append("")
    return "\n".join(L)


def _annotate_top(text: str, n: int) -> list[str]:
    lines = text.splitlines()
    out, started, taken = [], False, 0
    for line in lines:
        if line.startswith("### callgrind_annotate --inclusive=yes"):
            break
        if "file:function" in line:
            started = True
            out.append(line)
            continue
        if started and line.strip() and not line.startswith("-"):
            out.append(line.rstrip())
            taken += 1
            if taken >= n:
                break
        elif not started and ("PROGRAM TOTALS" in line or line.startswith("Events")):
            out.append(line.rstrip())
    return out


def render_evented_md(d: dict) -> list[str]:
    """bench/evented.py's callgrind counts, when the JSON has them under
    "evented": {case: {library: Ir}} for one assignment to a dataclass field."""
    ev = d.get("evented")
    if not ev:
        return []
    L = ["## Evented data (callgrind, bench/evented.py)", "",
         "One assignment `o.x = v` to a dataclass field, each a change; \"no listener\" has "
         "`events` in use. psygnal's group listener is `obj.events.connect`, tarnwick's "
         "`obj.events.all`.", "",
         "| case | plain | tarnwick | psygnal | psygnal ÷ tarnwick |", "|---|---:|---:|---:|---:|"]
    for case, row in ev["cases"].items():
        t, p, plain = row.get("tarnwick"), row.get("psygnal"), row.get("plain")
        cells = [f"{v:,.0f} Ir" if v else "" for v in (plain, t, p)]
        ratio = f"{p / t:.1f}" if t and p else ""
        L.append(f"| {case} | {' | '.join(cells)} | {ratio} |")
    L += ["", ev.get("note", ""), ""]
    return L


def render_chart(d: dict, path: str):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 5))
    styles = {"tarnwick": dict(lw=3, color="#c0392b", marker="o"),
              "floor": dict(lw=2, color="black", ls="--", marker="s")}
    for k in LIB_ORDER:
        xs, ys = [], []
        for n in LISTENER_POINTS:
            v = t(d, f"emit_{n}", k)
            if v is not None:
                xs.append(n)
                ys.append(v)
        if not xs:
            continue
        st = styles.get(k, dict(lw=1.5, marker="."))
        lab = d["libs"][k]["label"]
        ax1.plot(xs, ys, label=lab, **st)
        ax2.plot(xs, [y / x for x, y in zip(xs, ys)], label=lab, **st)
    for ax, yl in ((ax1, "ns per emit"), (ax2, "ns per emit ÷ listeners")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("listeners (trivial callbacks)")
        ax.set_ylabel(yl)
        ax.grid(True, which="both", alpha=0.3)
    ax1.legend(fontsize=8)
    mode = " (smoke run)" if d["meta"].get("mode") == "quick" else ""
    fig.suptitle(f"emit time against listener count, {d['meta']['date']}{mode} — "
                 f"{d['meta']['machine'].get('cpu_model')}, CPython {d['meta']['interpreter']['version'].split()[0]}",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- table operations against table size ---------------------------------------

SCALING_TITLES = {
    "connect": "connect, same priority",
    "connect_p64": "connect, one of 64 priorities",
    "connect_distinct": "connect, a priority of its own",
    "disconnect": "disconnect(id), random order",
    "disconnect_p64": "disconnect(id), 64 priorities",
    "disconnect_cb": "disconnect_callback(cb), a full scan",
    "disconnect_cb_method": "disconnect_callback(o.m), a full scan",
    "connections": "connections()",
    "emit": "emit",
    "emit_churn": "emit after half the table was disconnected at random",
}
# The figures that were measured before the table was made to scale, kept
# for the chart's comparison (bench/scaling.py --callgrind on that tree).
SCALING_BASELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scaling-baseline.json")


def _load_baseline():
    try:
        with open(SCALING_BASELINE) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def render_scaling_md(d: dict) -> list[str]:
    sc = d.get("scaling")
    if not sc or "callgrind" not in sc:
        return []
    sizes = [str(n) for n in sc["sizes"]]
    base = (_load_baseline() or {}).get("callgrind", {})
    L = ["## Table operations against table size (callgrind)", "",
         "`bench/scaling.py`: instructions for one more operation on a signal of n connections, "
         "counted only inside map's iterator that makes k operations, divided by k; per entry for the operations "
         "that walk the table. µs: the fastest of three in-process runs (noisy under load). "
         + ("The row below each case is the baseline kept in `bench/scaling-baseline.json`. "
            if base else "") + "Growth as a chart: `table-growth.png`.", "",
         "| operation | " + " | ".join(f"n = {int(n):,}" for n in sizes) + " |",
         "|---|" + "---:|" * len(sizes)]

    def cells(rows, case, timed):
        out = []
        for n in sizes:
            c = rows.get(case, {}).get(n)
            if not c:
                out.append("–")
                continue
            text = f"{c['ir']:,.0f} Ir"
            if "ir_per_entry" in c:
                text += f" ({c['ir_per_entry']:,.0f}/entry)"
            tc = (timed or {}).get(case, {}).get(n)
            if tc:
                text += f", {tc['us']:,.2f} µs"
            out.append(text)
        return out

    for case, title in SCALING_TITLES.items():
        if case not in sc["callgrind"]:
            continue
        L.append(f"| {title} | " + " | ".join(cells(sc["callgrind"], case, sc.get("time"))) + " |")
        if case in base:
            L.append("| &nbsp;&nbsp;baseline | " + " | ".join(
                cells(base, case, (_load_baseline() or {}).get("time"))) + " |")
    L.append("")
    return L


def render_scaling_chart(d: dict, path: str):
    sc = d.get("scaling", {}).get("callgrind")
    if not sc:
        return
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    base = (_load_baseline() or {}).get("callgrind", {})
    cases = [c for c in SCALING_TITLES if c in sc]
    cols = 3
    rows = (len(cases) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.3 * rows), squeeze=False)
    for ax, case in zip(axes.flat, cases):
        per_entry = "ir_per_entry" in next(iter(sc[case].values()))
        key = "ir_per_entry" if per_entry else "ir"
        for rows_, label, style in ((base, "before", dict(color="#7f8c8d", ls="--", marker="s")),
                                    (sc, "now", dict(color="#c0392b", lw=2, marker="o"))):
            pts = sorted((int(n), c[key]) for n, c in rows_.get(case, {}).items())
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], label=label, **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(SCALING_TITLES[case], fontsize=9)
        ax.set_xlabel("connections n", fontsize=8)
        ax.set_ylabel("Ir per entry" if per_entry else "Ir per operation", fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in list(axes.flat)[len(cases):]:
        ax.set_visible(False)
    fig.suptitle("tarnwick table operations against table size (callgrind instructions)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- main ----------------------------------------------------------------------

def write_all(d: dict, out: str, chart=True):
    date = d["meta"]["date"]
    d["targets"] = compute_targets(d)
    d["per_listener"] = per_listener(d)
    with open(os.path.join(out, f"{date}.json"), "w") as f:
        json.dump(d, f, indent=1, ensure_ascii=False)
    if chart and d.get("timings"):
        render_chart(d, os.path.join(out, "emit-vs-listeners.png"))
    with open(os.path.join(out, f"{date}.md"), "w") as f:
        f.write(render_md(d))
    if d.get("scaling"):
        render_scaling_chart(d, os.path.join(out, "table-growth.png"))
    if d.get("callgrind", {}).get("annotate"):
        with open(os.path.join(out, "callgrind-annotate.txt"), "w") as f:
            f.write(d["callgrind"]["annotate"])
    print(f"wrote {os.path.join(out, date + '.md')}")


def _latest(out: str, what: str) -> dict:
    """The newest results in `out`, for a separate run to be merged into."""
    existing = sorted(glob.glob(os.path.join(out, "????-??-??.json")))
    if not existing:
        sys.exit(f"no results to merge the {what} numbers into; run bench/run.sh first")
    with open(existing[-1]) as f:
        return json.load(f)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--mode", default="full")
    ap.add_argument("--pyperf")
    ap.add_argument("--status")
    ap.add_argument("--quick-timings")
    ap.add_argument("--memory")
    ap.add_argument("--threads")
    ap.add_argument("--elapsed", type=float)
    ap.add_argument("--loadavg-start")
    ap.add_argument("--pyperf-settings", default="")
    ap.add_argument("--tarnwick-rev", help="JSON written by run.sh when it built tarnwick")
    ap.add_argument("--merge-callgrind")
    ap.add_argument("--merge-threads")
    ap.add_argument("--merge-scaling")
    ap.add_argument("--render")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    today = datetime.date.today().isoformat()

    if args.render:
        with open(args.render) as f:
            write_all(json.load(f), args.out)
        return

    if args.merge_threads:
        d = _latest(args.out, "thread")
        with open(args.merge_threads) as f:
            d["threads"] = json.load(f)
        d["threads"]["separate_run_at"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
        d["threads"]["loadavg"] = _loadavg()
        write_all(d, args.out)
        return

    if args.merge_scaling:
        d = _latest(args.out, "scaling")
        with open(args.merge_scaling) as f:
            d["scaling"] = json.load(f)
        d["scaling"]["date"] = today
        write_all(d, args.out, chart=False)
        return

    if args.merge_callgrind:
        with open(args.merge_callgrind) as f:
            cg = json.load(f)
        cg["date"] = today
        existing = sorted(glob.glob(os.path.join(args.out, "????-??-??.json")))
        if existing:
            with open(existing[-1]) as f:
                d = json.load(f)
        else:
            d = {"meta": {"date": today, "mode": "callgrind", "machine": machine_info(),
                          "interpreter": interpreter_info(), "tarnwick": tarnwick_info()},
                 "libs": {}, "timings": {}}
        d["callgrind"] = cg
        write_all(d, args.out, chart=False)
        return

    d = {"meta": {"date": today, "mode": args.mode, "machine": machine_info(),
                  "interpreter": interpreter_info(), "tarnwick": tarnwick_info(),
                  "elapsed_s": args.elapsed, "loadavg_start": args.loadavg_start,
                  "loadavg_end": _loadavg(),
                  "pyperf_settings": args.pyperf_settings.strip()}}
    if args.tarnwick_rev and os.path.exists(args.tarnwick_rev):
        with open(args.tarnwick_rev) as f:
            d["meta"]["tarnwick"] = json.load(f)
    if args.pyperf:
        tm = load_pyperf(args.pyperf)
        with open(args.status) as f:
            status = json.load(f)
        d["pyperf_metadata"] = tm["pyperf_metadata"]
        # Keep pyperf's own file too, for `python -m pyperf compare_to` between runs.
        with open(args.pyperf, "rb") as src, gzip.open(os.path.join(args.out, f"{today}.pyperf.json.gz"), "wb") as dst:
            shutil.copyfileobj(src, dst)
    else:
        tm, status = load_quick(args.quick_timings)
    d["timings"] = tm["cases"]
    d.update({k: status.get(k) for k in ("libs", "skipped", "self_check", "not_applicable", "cases")})
    d["meta"]["gil_enabled"] = status.get("gil_enabled")
    if args.memory:
        with open(args.memory) as f:
            d["memory"] = json.load(f)
    if args.threads:
        with open(args.threads) as f:
            d["threads"] = json.load(f)
    # A callgrind run from the same day stays with the new numbers.
    prev = os.path.join(args.out, f"{today}.json")
    if os.path.exists(prev):
        try:
            with open(prev) as f:
                old = json.load(f)
            for kept in ("callgrind", "scaling"):
                if old.get(kept):
                    d[kept] = old[kept]
        except (OSError, ValueError):
            pass
    write_all(d, args.out)
    bad = [f"{k}: {p}" for k, ps in (d.get("self_check") or {}).items() for p in ps]
    if bad:
        print("self-check problems:\n  " + "\n  ".join(bad), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
