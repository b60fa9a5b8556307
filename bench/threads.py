"""Aggregate emissions per second with 1 and 2 threads emitting one shared signal.

    python bench/threads.py --out threads.json [--libs a,b] [--seconds S] [--repeat R]

Meant for free-threaded CPython (3.13t); on a GIL build it still runs, and
says so. A plain timing loop, not pyperf: each library runs in a child process
of its own (so that one whose import turns the GIL back on cannot affect the
others, and so that we can report whether it did), and in it:

  * the signal gets L listeners (L = 1 and 10), trivial callbacks, of two
    kinds: functions defined at module level, and closures. It matters on
    3.13t: once a second thread starts, CPython makes module-level functions
    immortal, so calling one from many threads touches no shared reference
    count, while a closure's count is shared by every thread that calls it;
    that contention is the interpreter's, and the floor suffers it too;
  * a third kind, "bound", has the module-level callbacks but takes the emit
    method once per thread (`e = s.emit`, then `e(x)`), for libraries whose
    emission is a method call. 3.13's LOAD_FAST takes a reference to `s` on
    every `s.emit(x)`, and that count is shared by all the threads; the
    bound method is each thread's own, so this kind shows what the signal
    itself allows;
  * the work per thread is fixed, calibrated so that one thread needs about
    S seconds; with T threads each does that work, all released together by
    a barrier, and the wall time runs from the release to the last join;
  * aggregate throughput = T * work / wall time; best of R repeats.

A control runs first and last: the same measurement on an independent busy
loop that shares nothing between threads. On a free-threaded build a short
control also runs before each library, waiting (up to --wait seconds) until
two threads of it get nearly twice the work done, and again after it. If it does not come close to 2x,
the machine did not have two free cores during the run (other load), and the
scaling of the signals cannot be judged from that run.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import libs  # noqa: E402

KINDS = ("toplevel", "bound", "closure")
THREAD_LIBS = ["control", "tarnwick", "floor", "psygnal", "blinker", "django"]
LISTENERS = (1, 10)
THREADS = (1, 2)


def gil_enabled() -> bool:
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def _scaling(loop, ns, seconds, repeat) -> dict:
    """Best aggregate rate of `loop(work, timer, ns)` on 1 and 2 threads."""
    work = 1000
    while True:
        dt = loop(work, time.perf_counter, ns)
        if dt >= seconds / 4:
            break
        work *= 2
    work = max(1000, int(work * seconds / dt))
    row = {}
    for t in THREADS:
        best = 0.0
        for _ in range(repeat):
            barrier = threading.Barrier(t + 1)
            done = []

            def body():
                barrier.wait()
                loop(work, time.perf_counter, ns)
                done.append(time.perf_counter())

            threads = [threading.Thread(target=body) for _ in range(t)]
            for th in threads:
                th.start()
            barrier.wait()
            t0 = time.perf_counter()
            for th in threads:
                th.join()
            wall = max(done) - t0
            best = max(best, t * work / wall)
        row[str(t)] = best
    return {"work_per_thread": work, "emits_per_s": row}


def _spin(loops, timer, ns):
    # Independent work per thread: nothing shared, so it shows what the
    # machine itself gives two threads right now.
    t0 = timer()
    x = 0
    for i in range(loops):
        x += i
    return timer() - t0


def machine_scaling() -> float:
    """A short control: how much of two cores two threads get right now."""
    e = _scaling(_spin, {}, 0.1, 1)["emits_per_s"]
    return e["2"] / e["1"]


def wait_for_cores(limit_s: float) -> tuple[float, float]:
    """Waits (up to limit_s) until two threads of independent work run at
    nearly twice the speed of one, i.e. until nothing else holds a core.
    Returns (last control scaling, seconds waited)."""
    t0 = time.monotonic()
    while True:
        c = machine_scaling()
        waited = time.monotonic() - t0
        if c >= 1.8 or waited >= limit_s:
            return c, waited
        time.sleep(2.0)


def run_control(seconds: float, repeat: int) -> dict:
    return {"info": {"label": "control (independent busy loop)", "version": "", "kind": "control",
                     "notes": []},
            "gil_enabled_after_import": gil_enabled(),
            "kinds": {"independent": {"0": _scaling(_spin, {}, seconds, repeat)}}}


def toplevel_callback(lib):
    """A new function object compiled as a module-level def (no CO_NESTED)."""
    src = ("def cb(sender, **kwargs):\n    return None\n" if lib.key == "django"
           else "def cb(x):\n    return None\n")
    g = {"__name__": "bench_callbacks"}
    exec(compile(src, "<bench callbacks>", "exec"), g)
    return g["cb"]


def bound_loop(emit: str, ns: dict):
    """The timing loop of the "bound" kind, or None if `emit` is no `s.method(x)`."""
    m = re.fullmatch(r"s\.(\w+)\(x\)", emit)
    if m is None:
        return None
    return cases.compile_simple("_e(x)", ns, setup=f"_e = s.{m[1]}")


def run_child(key: str, seconds: float, repeat: int) -> dict:
    if key.startswith("control"):
        return run_control(seconds, repeat)
    lib = libs.BY_KEY[key]()
    base = dict(lib.load())
    out = {"info": lib.info(), "gil_enabled_after_import": gil_enabled(), "kinds": {}}
    # Every signal and callback is made before the first thread starts, as a
    # module's functions are made at import. 3.13t makes code objects that
    # exist when the first thread starts immortal, but not those compiled
    # later, and every call of a function touches its code object's count.
    setups = []
    for kind in KINDS:
        if kind == "bound" and bound_loop(lib.emit, base) is None:
            continue
        for n in LISTENERS:
            ns = dict(base, x=1)
            s = lib.make_signal(ns)
            keep = [toplevel_callback(lib) if kind != "closure" else lib.callback("trivial")
                    for _ in range(n)]
            for cb in keep:
                lib.add(s, cb)
            ns["s"] = s
            ns["__keep"] = keep
            loop = bound_loop(lib.emit, ns) if kind == "bound" else cases.compile_simple(lib.emit, ns)
            setups.append((kind, n, loop, ns))
    for kind, n, loop, ns in setups:
        out["kinds"].setdefault(kind, {})[str(n)] = _scaling(loop, ns, seconds, repeat)
    out["gil_enabled_at_end"] = gil_enabled()
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--libs", default="")
    ap.add_argument("--seconds", type=float, default=0.4)
    ap.add_argument("--repeat", type=int, default=4)
    ap.add_argument("--wait", type=float, default=45.0,
                    help="seconds to wait for two free cores before each library (0: do not wait)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        json.dump(run_child(args.child, args.seconds, args.repeat), sys.stdout)
        return
    can_wait = (os.cpu_count() or 1) >= 2 and not gil_enabled()
    keys = [k for k in args.libs.split(",") if k] or THREAD_LIBS
    keys = ["control"] + [k for k in keys if k in THREAD_LIBS and k != "control"] + ["control_end"]
    results, skipped = {}, {}
    for key in keys:
        before = wait_for_cores(args.wait) if can_wait and args.wait > 0 else None
        proc = subprocess.run([sys.executable, __file__, "--out", "-", "--child", key,
                               "--seconds", str(args.seconds), "--repeat", str(args.repeat)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            last = (proc.stderr.strip().splitlines() or ["?"])[-1]
            skipped[key] = last
            print(f"threads: {key} skipped: {last}", file=sys.stderr)
            continue
        r = results[key] = json.loads(proc.stdout)
        if before is not None:
            r["control_before"], r["waited_s"] = before
            r["control_after"] = machine_scaling()
        for kind, rows in r["kinds"].items():
            for n, row in rows.items():
                e = row["emits_per_s"]
                print(f"threads: {key:11s} {kind:11s} {n:>2} listener(s): 1T {e['1'] / 1e6:6.2f} M/s, "
                      f"2T {e['2'] / 1e6:6.2f} M/s, x{e['2'] / e['1']:.2f}"
                      + ("  (GIL on)" if r["gil_enabled_after_import"] else ""), file=sys.stderr)
    with open(args.out, "w") as f:
        json.dump({"python": sys.version, "executable": sys.executable,
                   "free_threaded_build": bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED")),
                   "gil_enabled": gil_enabled(), "cpus": os.cpu_count(),
                   "libs": results, "skipped": skipped}, f, indent=1)


if __name__ == "__main__":
    main()
