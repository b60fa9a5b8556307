"""Instructions per emit, counted by valgrind's callgrind.

    python bench/callgrind.py --work DIR --out callgrind.json [--libs a,b] [--emits N]

For each library and listener count (0, 1 and 10), the same compiled emit loop
the timing suite uses runs N times and then 2N times, each in a fresh
interpreter under callgrind; (Ir(2N) - Ir(N)) / N is the number of
instructions one more emit costs, the loop's own few bytecodes included.
Start-up, imports and set-up cancel out. PYTHONHASHSEED is fixed, so the two
runs do the same work apart from the extra emits. For tarnwick, the row
"blocked_10" counts an emit with 10 listeners inside `with s.blocked():`, and
"keywords_1" an `emit(x, a=1, b=2)` with 1 listener. With --observers, the
rows "record_N" and "trace_N" (N = 1, 10) count an emit inside
`with tarnwick.testing.record(s):` and inside `with tarnwick.testing.trace(hook):`
with a hook that does nothing: what a recorder and a trace cost while active.
The options rows, each with 1 listener and `emit(x)`: "max_args_1" a listener
connected with `listener(cb, max_args=0)` (so the adapter shortens the call),
"sender_1" one with `listener(cb, sender=x)` (the sender matches), and
"paused_1" an emit inside `paused()`, which records it (the child ends before
the replay), and "throttle_1" one with `listener(cb, throttle=3600)`, every
counted emit inside its interval (the first call is made during the
warm-up): it stores the arguments and returns. Compare it with the row "1".

For tarnwick at 1 listener two more runs (N and 2N) collect only while inside the C
method call (--toggle-collect on CPython's method_vectorcall_VARARGS_KEYWORDS,
which is how a METH_VARARGS|METH_KEYWORDS method is entered); its
callgrind_annotate output, exclusive and inclusive, goes next to the JSON as
callgrind-annotate.txt and shows where the instructions go.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

CG_LIBS = ["tarnwick", "floor", "psygnal", "psygnal_fast", "blinker", "django", "pyside6"]
LISTENERS = (0, 1, 10)
ENTRY = "method_vectorcall_VARARGS_KEYWORDS"


OPTIONS = ("max_args", "sender", "paused", "throttle")


def child(key: str, listeners: int, emits: int, blocked: bool, keywords: bool = False,
          option: str = "", observe: str = ""):
    import contextlib
    import cases
    import libs
    lib = libs.BY_KEY[key]()
    ns = dict(lib.load(), x=1)
    s = lib.make_signal(ns)
    keep = [lib.callback("kw" if keywords else "trivial") for _ in range(listeners)]
    for cb in keep:
        if option == "max_args":
            s.listener(lambda: None, max_args=0)
        elif option == "sender":
            s.listener(cb, sender=ns["x"])
        elif option == "throttle":
            s.listener(cb, throttle=3600)
        else:
            lib.add(s, cb)
    ns["s"] = s
    loop = cases.compile_simple(lib.emit_kw if keywords else lib.emit, ns)
    if observe:
        import tarnwick.testing
        observer = (tarnwick.testing.record(s) if observe == "record"
                    else tarnwick.testing.trace(lambda event: None))
    else:
        observer = contextlib.nullcontext()
    pausing = s.paused() if option == "paused" else contextlib.nullcontext()
    with s.blocked() if blocked else pausing, observer:
        loop(100, time.perf_counter, ns)   # specialise the bytecode before counting
        loop(emits, time.perf_counter, ns)
        if option == "paused":
            os._exit(0)                    # count the recording, not the replay


def total_ir(path: str) -> int:
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def run_cg(out_file, key, listeners, emits, extra=(), blocked=False, keywords=False, option="",
           observe=""):
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", *extra,
           sys.executable, os.path.abspath(__file__), "--child", key,
           "--listeners", str(listeners), "--emits", str(emits)] + (["--blocked"] if blocked else []) \
        + (["--keywords"] if keywords else []) + (["--option", option] if option else []) \
        + (["--observe", observe] if observe else [])
    env = dict(os.environ, PYTHONHASHSEED="0", QT_QPA_PLATFORM="offscreen")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        tail = [l for l in proc.stderr.splitlines() if not l.startswith("==")][-3:]
        raise RuntimeError(" | ".join(tail) or f"valgrind exited {proc.returncode}")
    return total_ir(out_file)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--listeners", type=int, default=1)
    ap.add_argument("--emits", type=int, default=50_000)
    ap.add_argument("--work")
    ap.add_argument("--out")
    ap.add_argument("--libs", default="")
    ap.add_argument("--blocked", action="store_true")
    ap.add_argument("--keywords", action="store_true")
    ap.add_argument("--observe", default="", choices=["", "record", "trace"])
    ap.add_argument("--observers", action="store_true")
    ap.add_argument("--option", default="", choices=("",) + OPTIONS)
    args = ap.parse_args()
    if args.child:
        child(args.child, args.listeners, args.emits, args.blocked, args.keywords, args.option,
              args.observe)
        return
    os.makedirs(args.work, exist_ok=True)
    keys = [k for k in args.libs.split(",") if k] or CG_LIBS
    keys = [k for k in keys if k in CG_LIBS]
    n = args.emits
    result = {"emits": n, "valgrind": subprocess.run(["valgrind", "--version"], capture_output=True,
                                                     text=True).stdout.strip(),
              "python": sys.version, "libs": {}, "skipped": {}}
    for key in keys:
        row = {}
        try:
            for listeners in LISTENERS:
                a = run_cg(os.path.join(args.work, f"cg-{key}-{listeners}-1.out"), key, listeners, n)
                b = run_cg(os.path.join(args.work, f"cg-{key}-{listeners}-2.out"), key, listeners, 2 * n)
                row[str(listeners)] = (b - a) / n
                print(f"callgrind: {key:12s} {listeners:>2} listener(s): {row[str(listeners)]:8.0f} Ir/emit",
                      file=sys.stderr, flush=True)
        except RuntimeError as exc:
            result["skipped"][key] = str(exc)
            print(f"callgrind: {key} skipped: {exc}", file=sys.stderr)
            continue
        result["libs"][key] = row

    if "tarnwick" in result["libs"] and _has_blocked():
        a = run_cg(os.path.join(args.work, "cg-tarnwick-blocked-1.out"), "tarnwick", 10, n, blocked=True)
        b = run_cg(os.path.join(args.work, "cg-tarnwick-blocked-2.out"), "tarnwick", 10, 2 * n, blocked=True)
        result["libs"]["tarnwick"]["blocked_10"] = (b - a) / n
        print(f"callgrind: tarnwick     10 listener(s), blocked: {(b - a) / n:8.0f} Ir/emit",
              file=sys.stderr, flush=True)

    if "tarnwick" in result["libs"]:
        a = run_cg(os.path.join(args.work, "cg-tarnwick-kw-1.out"), "tarnwick", 1, n, keywords=True)
        b = run_cg(os.path.join(args.work, "cg-tarnwick-kw-2.out"), "tarnwick", 1, 2 * n, keywords=True)
        result["libs"]["tarnwick"]["keywords_1"] = (b - a) / n
        print(f"callgrind: tarnwick      1 listener(s), 2 keywords: {(b - a) / n:8.0f} Ir/emit",
              file=sys.stderr, flush=True)

    if "tarnwick" in result["libs"] and _has_options():
        for option in OPTIONS if _has_rate_limits() else OPTIONS[:-1]:
            a = run_cg(os.path.join(args.work, f"cg-tarnwick-{option}-1.out"), "tarnwick", 1, n,
                       option=option)
            b = run_cg(os.path.join(args.work, f"cg-tarnwick-{option}-2.out"), "tarnwick", 1, 2 * n,
                       option=option)
            result["libs"]["tarnwick"][f"{option}_1"] = (b - a) / n
            print(f"callgrind: tarnwick      1 listener(s), {option}: {(b - a) / n:8.0f} Ir/emit",
                  file=sys.stderr, flush=True)

    if "tarnwick" in result["libs"] and args.observers:
        for observe in ("record", "trace"):
            for listeners in (1, 10):
                name = f"cg-tarnwick-{observe}-{listeners}"
                a = run_cg(os.path.join(args.work, f"{name}-1.out"), "tarnwick", listeners, n,
                           observe=observe)
                b = run_cg(os.path.join(args.work, f"{name}-2.out"), "tarnwick", listeners, 2 * n,
                           observe=observe)
                result["libs"]["tarnwick"][f"{observe}_{listeners}"] = (b - a) / n
                print(f"callgrind: tarnwick     {listeners:>2} listener(s), {observe}: {(b - a) / n:8.0f} Ir/emit",
                      file=sys.stderr, flush=True)

    if "tarnwick" in keys and "tarnwick" in result["libs"]:
        out_file = os.path.join(args.work, "cg-tarnwick-1-entry-2.out")
        try:
            # Other METH_VARARGS calls during start-up are collected too; the
            # difference of two runs removes them from the count.
            toggle = [f"--toggle-collect={ENTRY}"]
            ir1 = run_cg(os.path.join(args.work, "cg-tarnwick-1-entry-1.out"), "tarnwick", 1, n, toggle)
            ir2 = run_cg(out_file, "tarnwick", 1, 2 * n, toggle)
            result["tarnwick_inside_call_1"] = (ir2 - ir1) / n
            texts = []
            for inclusive in ("no", "yes"):
                ann = subprocess.run(["callgrind_annotate", f"--inclusive={inclusive}", "--threshold=99.5",
                                      out_file], capture_output=True, text=True).stdout
                ann = _tidy(ann)
                if inclusive == "yes":
                    # Everything collected sits below the method wrapper, so its
                    # callers all show 100%; keep what is inside the call.
                    ann = "\n".join(l for l in ann.splitlines()
                                    if not re.match(r"\s*[\d,]+ \((100\.0|99\.9\d)%\)\s+\S", l)
                                    or "PROGRAM TOTALS" in l or "method_vectorcall" in l)
                texts.append(f"### callgrind_annotate --inclusive={inclusive}\n{ann}")
            annotate = "\n\n".join(texts)
            result["annotate"] = annotate
            if args.out:
                with open(os.path.join(os.path.dirname(os.path.abspath(args.out)),
                                       "callgrind-annotate.txt"), "w") as f:
                    f.write(annotate)
        except RuntimeError as exc:
            result["annotate_error"] = str(exc)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


def _has_blocked() -> bool:
    import tarnwick
    return hasattr(tarnwick.Signal, "blocked")


def _has_options() -> bool:
    import tarnwick
    return hasattr(tarnwick.Signal, "paused")


def _has_rate_limits() -> bool:
    import tarnwick
    try:
        tarnwick.Signal().listener(throttle=1)
    except TypeError:
        return False
    return True


def _tidy(text: str) -> str:
    # Keep the table; shorten the long paths of the interpreter and the venv.
    text = re.sub(r"/[^\s:]*/site-packages/", "", text)
    text = re.sub(r"/root/\.pyenv/versions/[^/]+/", "", text)
    text = re.sub(r"/tmp/python-build[^/]*/Python-[^/]+/", "", text)
    return text


if __name__ == "__main__":
    if shutil.which("valgrind") is None and "--child" not in sys.argv:
        sys.exit("valgrind is not installed")
    main()
