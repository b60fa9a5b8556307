"""Evented data: the cost of one assignment to a field, tarnwick's `evented`
against psygnal's `evented` and against the same class undecorated, in one
process and one run.

    python bench/evented.py [--json FILE] [--repeat R] [--loops N]
    python bench/evented.py --callgrind --work DIR [--n N] [--reuse]

Each case assigns two different values in turn (`o.x = 1; o.x = 2`), so that
every assignment is a change; the time of one assignment is half a loop's.
"no listener" reads `o.events` first: psygnal's setattr costs nothing extra
until some instance's events are first read. The callback is the same
`def callback(*args): pass` for both libraries; psygnal's group listener
(`o.events.connect`) is what tarnwick's `all` replaces. The other cases
read `x` (which has a class default) and `z` (which has none), and assign
`z` and an attribute that is not a field. The `slots` flavour is a
`slots=True` dataclass, measured against itself undecorated only.

--callgrind counts instructions instead, as fields_and_loops.py does: each
case runs N and 2N loops in a fresh interpreter under callgrind, and
(Ir(2N) - Ir(N)) / 2N is the cost of one more assignment.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from callgrind import total_ir  # noqa: E402
from cases import compile_simple  # noqa: E402

FLAVOURS = ("dataclass", "slots", "pydantic")
# (case, library): what is set up before the loop.
CASES = (
    ("plain", "none"),
    ("no listener", "tarnwick"),
    ("no listener", "psygnal"),
    ("field listener", "tarnwick"),
    ("field listener", "psygnal"),
    ("group listener", "tarnwick"),
    ("group listener", "psygnal"),
    ("read", "none"),
    ("read", "tarnwick"),
    ("read no default", "none"),
    ("read no default", "tarnwick"),
    ("store no default", "none"),
    ("store no default", "tarnwick"),
    ("store non-field", "none"),
    ("store non-field", "tarnwick"),
)
STATEMENTS = {
    "read": "o.x\no.x",
    "read no default": "o.z\no.z",
    "store no default": "o.z = 1\no.z = 2",
    "store non-field": "o.cache = 1\no.cache = 2",
}


def skipped(flavour: str, case: str, library: str) -> bool:
    # A pydantic model and a class with __slots__ refuse attributes that are
    # not fields; the slots class is measured against itself only.
    return (case == "store non-field" and flavour != "dataclass") or (
        flavour == "slots" and library == "psygnal")


def callback(*args):
    pass


def make_object(flavour: str, library: str):
    from dataclasses import dataclass

    if flavour in ("dataclass", "slots"):

        def define():
            @dataclass(slots=flavour == "slots")
            class Point:
                z: int
                x: int = 0
                y: int = 0

            return Point

    else:
        import pydantic

        def define():
            class Point(pydantic.BaseModel):
                z: int
                x: int = 0
                y: int = 0

            return Point

    cls = define()
    if library == "tarnwick":
        from tarnwick import evented

        cls = evented(cls)
    elif library == "psygnal":
        from psygnal import evented

        cls = evented(cls)
    return cls(z=0)


def setup(flavour: str, case: str, library: str):
    o = make_object(flavour, library)
    if library != "none":
        o.events  # noqa: B018 - the first access, which switches psygnal's setattr on
    if case == "field listener":
        o.events.x.connect(callback)
    elif case == "group listener":
        (o.events.all if library == "tarnwick" else o.events).connect(callback)
    # `z` has no class default: a plain dataclass keeps no class attribute for
    # it, and the interpreter adapts a plain read of it to the instance.
    stmt = STATEMENTS.get(case, "o.x = 1\no.x = 2")
    ns = {"o": o}
    loop = compile_simple(stmt, ns)
    loop(1000, time.perf_counter, ns)  # let the interpreter adapt the bytecode
    return loop, ns


def time_case(flavour, case, library, loops, repeat):
    loop, ns = setup(flavour, case, library)
    values = [loop(loops, time.perf_counter, ns) / (2 * loops) * 1e9 for _ in range(repeat)]
    return statistics.median(values)


def ratio_rows(results):
    rows = []
    for flavour in FLAVOURS:
        r = results.get(flavour)
        if not r:
            continue
        pairs = (
            ("no listener: tarnwick / plain", "no listener/tarnwick", "plain/none", "<= 2"),
            ("no listener: psygnal / tarnwick", "no listener/psygnal", "no listener/tarnwick", ">= 5"),
            ("field listener: psygnal / tarnwick", "field listener/psygnal",
             "field listener/tarnwick", ">= 10"),
            ("group listener: psygnal / tarnwick all", "group listener/psygnal",
             "group listener/tarnwick", ">= 20"),
            ("read: tarnwick / plain", "read/tarnwick", "read/none", "(1)"),
            ("read, no default: tarnwick / plain", "read no default/tarnwick",
             "read no default/none", "(1)"),
            ("store, no default: tarnwick / plain", "store no default/tarnwick",
             "store no default/none", ""),
            ("store, not a field: tarnwick / plain", "store non-field/tarnwick",
             "store non-field/none", ""),
        )
        for what, top, bottom, target in pairs:
            if flavour == "slots":
                # The plain class assigns a slot on the interpreter's adapted
                # path, which no __setattr__ can join: no target to meet.
                target = ""
            if top in r and bottom in r:
                rows.append((flavour, what, r[top] / r[bottom], target))
    return rows


def timing(args):
    import psygnal

    results = {}
    for flavour in FLAVOURS:
        try:
            __import__("pydantic" if flavour == "pydantic" else "dataclasses")
        except ImportError:
            print(f"{flavour}: not installed, skipped")
            continue
        results[flavour] = {}
        for case, library in CASES:
            if skipped(flavour, case, library):
                continue
            ns = time_case(flavour, case, library, args.loops, args.repeat)
            results[flavour][f"{case}/{library}"] = ns
            print(f"{flavour:9s} {case:15s} {library:8s} {ns:9.1f} ns", flush=True)
    print()
    rows = ratio_rows(results)
    for flavour, what, value, target in rows:
        print(f"{flavour:9s} {what:40s} {value:7.2f}  target {target}")
    if args.json:
        info = {"python": sys.version, "psygnal": psygnal.__version__}
        try:
            import pydantic

            info["pydantic"] = pydantic.VERSION
        except ImportError:
            pass
        with open(args.json, "w") as f:
            json.dump({"info": info, "ns": results, "ratios": rows}, f, indent=1)


def child(flavour, case, library, n):
    loop, ns = setup(flavour, case, library)
    loop(n, time.perf_counter, ns)


def callgrind(args):
    os.makedirs(args.work, exist_ok=True)
    for flavour in FLAVOURS:
        if args.flavour and flavour != args.flavour:
            continue
        for case, library in CASES:
            if skipped(flavour, case, library):
                continue
            irs = []
            for n in (args.n, 2 * args.n):
                out = os.path.join(args.work, f"cg-{flavour}-{case}-{library}-{n}.out".replace(" ", "_"))
                cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                       os.path.abspath(__file__), "--child", flavour, case, library, str(n)]
                if not (args.reuse and os.path.exists(out)):
                    proc = subprocess.run(cmd, capture_output=True, text=True,
                                          env=dict(os.environ, PYTHONHASHSEED="0"))
                    if proc.returncode != 0:
                        raise RuntimeError(proc.stderr[-2000:])
                irs.append(total_ir(out))
            print(f"{flavour:9s} {case:15s} {library:8s} {(irs[1] - irs[0]) / (2 * args.n):9.1f} Ir",
                  flush=True)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--json")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--loops", type=int, default=200_000)
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--work")
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--reuse", action="store_true", help="keep the counts of runs already in --work")
    ap.add_argument("--flavour", choices=FLAVOURS, help="only this kind of class")
    args = ap.parse_args()
    if args.callgrind:
        callgrind(args)
    else:
        timing(args)


if __name__ == "__main__":
    main()
