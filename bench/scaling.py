"""How tarnwick's table operations grow with the number of connections.

    python bench/scaling.py --callgrind --work DIR --out scaling.json [--sizes 1000,10000]
    python bench/scaling.py --time --out scaling.json [--sizes ...]

Each case builds one signal with n connections (distinct functions), then
makes one operation k times, each a call from map's iterator. Under
--callgrind the case runs in a fresh interpreter that counts instructions
only inside that iterator (--toggle-collect=map_next), so the build-up is
not counted; the count divided by k is one operation, with map's own few
instructions. The collector is frozen after the build-up, so that its passes
over the build-up's objects are not counted against the operation that
triggers them. --time runs the same in-process with perf_counter, three
times on fresh tables, and keeps the fastest (microseconds are noisy on a
loaded machine; the instruction counts are not).

The cases:

    connect           connect(f) at the priority every entry has
    connect_p64       connect(f, priority=p), p random among 64 priorities
                      that the table already uses
    connect_distinct  connect at a priority no entry has (all distinct)
    disconnect        disconnect(id), ids in random order
    disconnect_p64    the same in a table of 64 priorities
    disconnect_cb     disconnect_callback(g) for a g that is not connected:
                      one full scan (reported per entry too)
    disconnect_cb_method
                      the same for bound methods: the table holds o.m of n
                      instances, and each call gets a new p.m of one more
                      instance p (reported per entry too)
    connections       connections() (reported per entry too)
    emit              emit(1) to n trivial listeners (per listener too)
    emit_churn        emit(1) after n connects and n/2 disconnects in random
                      order, per remaining listener

Tables are built so that building them is cheap on any table shape:
priorities are connected in descending order, so each connect appends.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time
from itertools import repeat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from callgrind import total_ir  # noqa: E402

SIZES = (1_000, 10_000, 100_000)
CASES = ("connect", "connect_p64", "connect_distinct", "disconnect", "disconnect_p64",
         "disconnect_cb", "disconnect_cb_method", "connections", "emit", "emit_churn")
# Per-entry figures: the operation's cost divided by the entries it walks.
PER_ENTRY = {"disconnect_cb", "disconnect_cb_method", "connections", "emit", "emit_churn"}


def ops_for(case: str, n: int) -> int:
    if case in PER_ENTRY:
        return max(2, 20_000 // n)
    # Changes of at most a tenth of the table, so it stays near n entries.
    return min(200, n // 10)


def _functions(count: int) -> list:
    # Distinct function objects, as separate listeners would be.
    return [(lambda *a: None) for _ in range(count)]


class _Listener:
    def on_event(self, *a):
        pass


def setup(case: str, n: int, k: int, rng: random.Random):
    """Returns (what to keep alive, run): run() makes the k operations, each
    one call from map's iterator (`map_next`), with nothing else in between."""
    import tarnwick
    s = tarnwick.Signal()
    fs = _functions(n)
    extra = _functions(k)
    if case in ("connect_p64", "disconnect_p64"):
        # 64 priorities in descending order, n // 64 entries each.
        ids = [s.connect(f, priority=63 - i * 64 // n) for i, f in enumerate(fs)]
    elif case == "connect_distinct":
        ids = [s.connect(f, priority=2 * (n - i)) for i, f in enumerate(fs)]
    elif case == "disconnect_cb_method":
        fs = [_Listener() for _ in range(n)]
        ids = [s.connect(o.on_event) for o in fs]
        # As a caller writes it, disconnect_callback(p.on_event): a new
        # bound method each time.
        p = _Listener()
        extra = [p.on_event for _ in range(k)]
    else:
        ids = [s.connect(f) for f in fs]
    if case == "connect":
        args = (s.connect, extra)
    elif case == "connect_p64":
        args = (s.connect, extra, repeat(False), [rng.randrange(64) for _ in range(k)])
    elif case == "connect_distinct":
        args = (s.connect, extra, repeat(False), rng.sample(range(1, 2 * n, 2), k))
    elif case in ("disconnect", "disconnect_p64"):
        args = (s.disconnect, rng.sample(ids, k))
    elif case == "disconnect_cb":
        args = (s.disconnect_callback, repeat(extra[0], k))
    elif case == "disconnect_cb_method":
        args = (s.disconnect_callback, extra)
    elif case == "connections":
        args = (tarnwick.Signal.connections, repeat(s, k))
    elif case in ("emit", "emit_churn"):
        if case == "emit_churn":
            for i in rng.sample(ids, n // 2):
                s.disconnect(i)
        args = (s.emit, repeat(1, k))
    else:
        raise ValueError(case)

    def run():
        for _ in map(*args):
            pass

    # What the build-up made is left out of the collector's passes, which
    # would otherwise be counted against whichever operation triggers them.
    gc.collect()
    gc.freeze()
    return (s, fs, extra), run


def walked(case: str, n: int) -> int:
    return n - n // 2 if case == "emit_churn" else n


def child(case: str, n: int, k: int):
    _keep, run = setup(case, n, k, random.Random(20))
    run()


def run_cg(work: str, case: str, n: int, k: int) -> int:
    """Instructions inside map's iterator only: the k operations."""
    out = os.path.join(work, f"scaling-{case}-{n}-{k}.out")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
           "--toggle-collect=map_next", sys.executable, os.path.abspath(__file__),
           "--child", case, "--n", str(n), "--k", str(k)]
    proc = subprocess.run(cmd, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    ir = total_ir(out)
    os.unlink(out)
    return ir


def measure_callgrind(work: str, sizes, cases) -> dict:
    rows = {}
    for case in cases:
        rows[case] = {}
        for n in sizes:
            k = ops_for(case, n)
            per_op = run_cg(work, case, n, k) / k
            cell = {"ir": per_op}
            if case in PER_ENTRY:
                cell["ir_per_entry"] = per_op / walked(case, n)
            rows[case][str(n)] = cell
            print(f"scaling: {case:16s} n={n:>6}: {per_op:12.0f} Ir/op", file=sys.stderr, flush=True)
    return rows


def measure_time(sizes, cases) -> dict:
    rows = {}
    for case in cases:
        rows[case] = {}
        for n in sizes:
            k = ops_for(case, n)
            best = float("inf")
            for rep in range(3):
                keep, run = setup(case, n, k, random.Random(rep))
                t0 = time.perf_counter()
                run()
                best = min(best, (time.perf_counter() - t0) / k)
                gc.unfreeze()
                del keep, run
            cell = {"us": best * 1e6}
            if case in PER_ENTRY:
                cell["ns_per_entry"] = best * 1e9 / walked(case, n)
            rows[case][str(n)] = cell
            print(f"scaling: {case:16s} n={n:>6}: {best * 1e6:10.2f} us/op", file=sys.stderr, flush=True)
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--n", type=int)
    ap.add_argument("--k", type=int)
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--time", action="store_true")
    ap.add_argument("--work", default="build/bench-work")
    ap.add_argument("--out")
    ap.add_argument("--sizes", default=",".join(map(str, SIZES)))
    ap.add_argument("--cases", default=",".join(CASES))
    args = ap.parse_args()
    if args.child:
        child(args.child, args.n, args.k)
        return
    sizes = [int(x) for x in args.sizes.split(",") if x]
    cases = [c for c in args.cases.split(",") if c]
    result = {"sizes": sizes, "python": sys.version}
    if args.callgrind:
        os.makedirs(args.work, exist_ok=True)
        result["callgrind"] = measure_callgrind(args.work, sizes, cases)
    if args.time:
        result["time"] = measure_time(sizes, cases)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
