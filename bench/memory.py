"""Bytes per signal with 0, 4 and 5 listeners, for tarnwick and each peer.

    python bench/memory.py --out memory.json [--libs a,b] [--signals N]

Each library is measured in a child process of its own, started with
PYTHONMALLOC=malloc so that every allocation, the interpreter's and the C/C++
ones alike, goes through glibc's malloc. Two figures per count:

    tracemalloc   bytes traced by tracemalloc: the Python allocators only, so
                  memory a C++ extension takes with operator new (tarnwick's
                  tables past their inline capacity, Qt's connection lists)
                  is NOT in it
    heap          the growth of glibc's in-use bytes (mallinfo2: uordblks +
                  hblkhd), which sees everything, including malloc's own
                  per-chunk overhead

N signals are made, each connected to the same k callbacks (which exist
beforehand, so only the signals and their connection records are counted),
and the growth is divided by N.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import libs  # noqa: E402

COUNTS = (0, 4, 5)
MEMORY_LIBS = ["tarnwick", "floor", "psygnal", "blinker", "django", "pyside6"]


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                 "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd


def measure_child(key: str, n_signals: int) -> dict:
    lib = libs.BY_KEY[key]()
    ns = dict(lib.load())
    callbacks = [lib.callback("trivial") for _ in range(max(COUNTS))]
    out = {"info": lib.info(), "counts": {}}

    def build(k):
        sigs = []
        for _ in range(n_signals):
            s = lib.make_signal(ns) if key != "floor" else []
            for cb in callbacks[:k]:
                lib.add(s, cb)
            sigs.append(s)
        return sigs

    # Qt: the QObjects are what hold the signals; make_signal parks them in
    # ns["_owners"], which is counted as part of each signal.
    for k in COUNTS:
        build(k)  # warm caches (type slots, interned strings, free lists)
        ns.pop("_owners", None)
        gc.collect()
        ns["_owners"] = [] if key == "pyside6" else None
        before = _heap_in_use()
        sigs = build(k)
        gc.collect()
        heap = (_heap_in_use() - before) / n_signals
        del sigs
        ns.pop("_owners", None)
        gc.collect()

        ns["_owners"] = [] if key == "pyside6" else None
        tracemalloc.start()
        t0 = tracemalloc.get_traced_memory()[0]
        sigs = build(k)
        gc.collect()
        traced = (tracemalloc.get_traced_memory()[0] - t0) / n_signals
        tracemalloc.stop()
        size = sys.getsizeof(sigs[0]) if key != "pyside6" else None
        del sigs
        ns.pop("_owners", None)
        gc.collect()
        # The list holding the N signals is counted too: take its share off.
        share = (sys.getsizeof([None] * n_signals) / n_signals)
        out["counts"][str(k)] = {"heap": heap - share, "tracemalloc": traced - share,
                                 "getsizeof": size}
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--libs", default="")
    ap.add_argument("--signals", type=int, default=2000)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        json.dump(measure_child(args.child, args.signals), sys.stdout)
        return
    keys = [k for k in args.libs.split(",") if k] or MEMORY_LIBS
    keys = [k for k in keys if k in MEMORY_LIBS]
    env = dict(os.environ, PYTHONMALLOC="malloc", QT_QPA_PLATFORM="offscreen")
    results, skipped = {}, {}
    for key in keys:
        proc = subprocess.run([sys.executable, __file__, "--out", "-", "--child", key,
                               "--signals", str(args.signals)],
                              capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            last = (proc.stderr.strip().splitlines() or ["?"])[-1]
            skipped[key] = last
            print(f"memory: {key} skipped: {last}", file=sys.stderr)
            continue
        results[key] = json.loads(proc.stdout)
        row = results[key]["counts"]
        print(f"memory: {key:10s} " + "  ".join(
            f"{k}: {row[str(k)]['heap']:7.0f} B heap, {row[str(k)]['tracemalloc']:7.0f} B traced"
            for k in COUNTS), file=sys.stderr)
    with open(args.out, "w") as f:
        json.dump({"signals": args.signals, "counts": list(COUNTS), "libs": results,
                   "skipped": skipped}, f, indent=1)


if __name__ == "__main__":
    main()
