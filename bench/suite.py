"""Timing suite for tarnwick and its peers.

    python bench/suite.py -o timings.json [pyperf options] [--libs a,b] [--cases x,y]
    python bench/suite.py --quick --quick-out timings.json [--libs ...] [--cases ...]

The first form is a pyperf Runner script: pyperf starts a worker process per
run of each benchmark (the same interpreter, sys.executable) and writes its
own JSON. Next to it, `--status FILE` receives what the master found out
about the libraries: versions, which ones could not be imported, and the
self-check of every emitting statement.

The second form is the smoke mode: every benchmark runs in this process,
calibrated to a few milliseconds, three values each. Numbers from it are only
good for seeing that nothing is broken.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import libs  # noqa: E402


def pick_libs(keys: list[str] | None):
    classes = [libs.BY_KEY[k] for k in keys] if keys else list(libs.ALL)
    return [cls() for cls in classes]


def probe(candidates):
    """Imports each library; returns (usable libs, {key: reason}, {key: info}, {key: problems})."""
    usable, skipped, info, checks = [], {}, {}, {}
    for lib in candidates:
        try:
            lib.load()
        except Exception as exc:  # ImportError, or a broken wheel
            skipped[lib.key] = f"could not be imported: {type(exc).__name__}: {exc}"
            continue
        usable.append(lib)
        info[lib.key] = lib.info()
        checks[lib.key] = cases.self_check(lib)
    return usable, skipped, info, checks


def describe_cases():
    return [{"id": c.id, "title": c.title, "inner": c.inner, "unit": c.unit} for c in cases.CASES]


def not_applicable(libs_):
    out = {}
    for case in cases.CASES:
        for lib in libs_:
            if not cases.applies(case, lib):
                out.setdefault(case.id, {})[lib.key] = cases.why_not(case, lib)
    return out


def status_dict(usable, skipped, info, checks):
    return {
        "python": sys.version,
        "executable": sys.executable,
        "implementation": platform.python_implementation(),
        "gil_enabled": getattr(sys, "_is_gil_enabled", lambda: True)(),
        "libs": info,
        "skipped": skipped,
        "self_check": checks,
        "not_applicable": not_applicable(usable),
        "cases": describe_cases(),
    }


def main_quick(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--quick-out", required=True)
    ap.add_argument("--libs", default="")
    ap.add_argument("--cases", default="")
    ap.add_argument("--target-ms", type=float, default=3.0)
    args = ap.parse_args(argv)
    usable, skipped, info, checks = probe(pick_libs([k for k in args.libs.split(",") if k]))
    only = {c for c in args.cases.split(",") if c} or None
    results = {}
    for bench in cases.benches(usable, only):
        bench.build()
        loops = 1
        while True:
            dt = bench(loops)
            if dt >= args.target_ms / 1e3 or loops >= 1 << 22:
                break
            loops *= 2 if dt <= 0 else max(2, min(10, int(args.target_ms / 1e3 / dt * 1.2) + 1))
        values = [bench(loops) / (loops * bench.inner) * 1e9 for _ in range(3)]
        results[bench.name] = {"case": bench.case, "lib": bench.lib.key, "loops": loops,
                               "inner": bench.inner, "values_ns": values}
        print(f"{bench.name:45s} {min(values):12.1f} ns", flush=True)
        bench.ns.clear()
        bench.fn = None
    out = status_dict(usable, skipped, info, checks)
    out["mode"] = "quick"
    out["benchmarks"] = results
    with open(args.quick_out, "w") as f:
        json.dump(out, f, indent=1)


def main_pyperf():
    import pyperf

    def add_cmdline_args(cmd, args):
        cmd.extend(["--libs", args.libs])
        if args.cases:
            cmd.extend(["--cases", args.cases])

    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--libs", default="")
    runner.argparser.add_argument("--cases", default="")
    runner.argparser.add_argument("--status", help="write library status JSON here (master only)")
    args = runner.parse_args()
    keys = [k for k in args.libs.split(",") if k]
    if args.worker:
        # The master already probed; import nothing until the benchmark builds.
        usable = pick_libs(keys)
    else:
        usable, skipped, info, checks = probe(pick_libs(keys))
        args.libs = ",".join(lib.key for lib in usable)
        if args.status:
            with open(args.status, "w") as f:
                json.dump(status_dict(usable, skipped, info, checks), f, indent=1)
        for key, problems in checks.items():
            for p in problems:
                print(f"SELF-CHECK {key}: {p}", file=sys.stderr)
    runner.metadata["bench_executable"] = sys.executable
    only = {c for c in args.cases.split(",") if c} or None
    for bench in cases.benches(usable, only):
        runner.bench_time_func(bench.name, bench, inner_loops=bench.inner,
                               metadata={"bench_case": bench.case, "bench_lib": bench.lib.key})


if __name__ == "__main__":
    if "--quick" in sys.argv[1:]:
        main_quick(sys.argv[1:])
    else:
        main_pyperf()
