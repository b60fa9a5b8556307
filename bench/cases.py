"""The benchmark cases and the timing loops compiled for them.

A case turns a library's statement templates (see libs.py) into a function
`fn(loops) -> seconds` that pyperf's bench_time_func can call, with
`inner` operations per loop. Three shapes:

    simple   the statement `loops` times between two timer reads
    chunked  per loop: untimed `pre`, timed `body` (`inner` operations,
             unrolled where the count is small), untimed `post`
    async    like simple, awaiting the statement inside a running event loop

Set-up happens on the first call, before any timer read, so that a pyperf
worker only builds the one benchmark it runs.
"""

from __future__ import annotations

import asyncio
import itertools
import textwrap
import time
from dataclasses import dataclass, field
from typing import Callable

from libs import Lib, method_target

CHUNK = 100          # connects / disconnects timed per chunk
MANY = 10_000        # listeners in the 10^4 cases
EMIT_COUNTS = (0, 1, 10, 100)


def _indent(src: str, n: int) -> str:
    return textwrap.indent(src, " " * n)


def _binds(ns: dict) -> str:
    return "\n".join(f"{k} = _ns[{k!r}]" for k in ns if k.isidentifier() and not k.startswith("__"))


def compile_simple(stmt: str, ns: dict, setup: str = "pass") -> Callable:
    """`setup` runs once per call, after the bindings, before the timer starts."""
    src = (
        "def _bench(_loops, _timer, _ns):\n"
        f"{_indent(_binds(ns), 4)}\n"
        f"{_indent(setup, 4)}\n"
        "    _it = _repeat(None, _loops)\n"
        "    _t0 = _timer()\n"
        "    for _ in _it:\n"
        f"{_indent(stmt, 8)}\n"
        "    return _timer() - _t0\n"
    )
    return _compile(src, "_bench")


def compile_chunked(pre: str, body: str, post: str, ns: dict) -> Callable:
    src = (
        "def _bench(_loops, _timer, _ns):\n"
        f"{_indent(_binds(ns), 4)}\n"
        "    _total = 0.0\n"
        "    for _ in _repeat(None, _loops):\n"
        f"{_indent(pre or 'pass', 8)}\n"
        "        _t0 = _timer()\n"
        f"{_indent(body, 8)}\n"
        "        _t1 = _timer()\n"
        f"{_indent(post or 'pass', 8)}\n"
        "        _total += _t1 - _t0\n"
        "    return _total\n"
    )
    return _compile(src, "_bench")


def compile_async(expr: str, ns: dict) -> Callable:
    src = (
        "async def _abench(_loops, _timer, _ns):\n"
        f"{_indent(_binds(ns), 4)}\n"
        "    _it = _repeat(None, _loops)\n"
        "    _t0 = _timer()\n"
        "    for _ in _it:\n"
        f"        await {expr}\n"
        "    return _timer() - _t0\n"
        "\n"
        "def _bench(_loops, _timer, _ns):\n"
        "    return _ns['_loop'].run_until_complete(_abench(_loops, _timer, _ns))\n"
    )
    return _compile(src, "_bench")


def _compile(src: str, name: str) -> Callable:
    g = {"_repeat": itertools.repeat}
    exec(compile(src, f"<bench {name}>", "exec"), g)
    return g[name]


def unroll(template: str, n: int) -> str:
    return "\n".join(template.format(i=i) for i in range(n))


@dataclass
class Bench:
    case: str
    lib: Lib
    inner: int
    make: Callable[[Lib, dict], tuple[Callable, dict]]
    fn: Callable | None = None
    ns: dict = field(default_factory=dict)

    @property
    def name(self) -> str:
        return f"{self.case}[{self.lib.key}]"

    def build(self):
        if self.fn is None:
            ns = dict(self.lib.load())
            self.fn, self.ns = self.make(self.lib, ns)

    def __call__(self, loops: int) -> float:
        self.build()
        return self.fn(loops, time.perf_counter, self.ns)


# --- case makers -----------------------------------------------------------

def _with_listeners(lib: Lib, ns: dict, n: int, kind: str, arity: int = 1):
    s = lib.make_signal(ns, arity)
    cbs = [lib.callback(kind) for _ in range(n)]
    for cb in cbs:
        lib.add(s, cb)
    ns["s"] = s
    ns["_keep"] = cbs
    return s


def make_create(lib, ns):
    return compile_simple(lib.create, ns), ns


def make_connect(attr, items):
    def make(lib, ns):
        if items == "c":
            for i in range(CHUNK):
                ns[f"c{i}"] = lib.callback("trivial")
        else:
            for i in range(CHUNK):
                ns[f"o{i}"] = method_target(lib)
        body = unroll(getattr(lib, attr), CHUNK)
        return compile_chunked(lib.new, body, "s = None", ns), ns
    return make


def make_disconnect(lib, ns):
    for i in range(CHUNK):
        ns[f"c{i}"] = lib.callback("trivial")
    pre = lib.new + "\n" + unroll(lib.connect_for_disconnect, CHUNK)
    return compile_chunked(pre, unroll(lib.disconnect, CHUNK), "s = None", ns), ns


def make_pair(lib, ns):
    ns["s"] = lib.make_signal(ns)
    ns["c"] = lib.callback("trivial")
    return compile_simple(lib.pair, ns), ns


def make_emit(n, kind):
    def make(lib, ns):
        _with_listeners(lib, ns, n, kind)
        ns["x"] = 1
        return compile_simple(lib.emit, ns), ns
    return make


def make_emit_blocked(lib, ns):
    _with_listeners(lib, ns, 10, "trivial")
    ns["x"] = 1
    exec(lib.block, ns)  # entered for good: the process ends after the run
    return compile_simple(lib.emit, ns), ns


def make_emit3(lib, ns):
    _with_listeners(lib, ns, 1, "pos3", arity=3)
    ns.update(x=1, y=2, z=3)
    return compile_simple(lib.emit3, ns), ns


def make_emit_kw(lib, ns):
    _with_listeners(lib, ns, 1, "kw")
    ns["x"] = 1
    return compile_simple(lib.emit_kw, ns), ns


def make_once(lib, ns):
    ns["s"] = lib.make_signal(ns)
    ns["c"] = lib.callback("trivial")
    ns["x"] = 1
    return compile_simple(lib.once, ns), ns


def make_once_many(lib, ns):
    ns["s"] = lib.make_signal(ns)
    ns["cbs"] = [lib.callback("trivial") for _ in range(MANY)]
    ns["x"] = 1
    return compile_chunked("", lib.once_many, "", ns), ns


def make_emit_async(n):
    def make(lib, ns):
        _with_listeners(lib, ns, n, "async")
        ns["x"] = 1
        ns["_loop"] = asyncio.new_event_loop()
        return compile_async(lib.emit_async, ns), ns
    return make


@dataclass(frozen=True)
class Case:
    id: str
    title: str
    attr: str            # the template it needs
    inner: int
    make: Callable
    unit: str = "op"


CASES: list[Case] = [
    Case("create", "create a signal", "create", 1, make_create, "signal"),
    Case("connect_function", "connect a function (100 into a fresh signal)", "connect", CHUNK,
         make_connect("connect", "c"), "connect"),
    Case("connect_method", "connect a bound method (strong)", "connect_method", CHUNK,
         make_connect("connect_method", "o"), "connect"),
    Case("connect_weak_method", "connect a bound method weakly", "connect_weak_method", CHUNK,
         make_connect("connect_weak_method", "o"), "connect"),
    Case("disconnect", "disconnect (100, in connection order)", "disconnect", CHUNK,
         make_disconnect, "disconnect"),
    Case("connect_disconnect", "connect + disconnect pair", "pair", 1, make_pair, "pair"),
]
for _n in EMIT_COUNTS:
    CASES.append(Case(f"emit_{_n}", f"emit, {_n} listener{'s' if _n != 1 else ''}, trivial callback",
                      "emit", 1, make_emit(_n, "trivial"), "emit"))
for _n in EMIT_COUNTS[1:]:
    CASES.append(Case(f"emit_{_n}_body", f"emit, {_n} listener{'s' if _n != 1 else ''}, body list(range(2))",
                      "emit", 1, make_emit(_n, "body"), "emit"))
CASES += [
    Case("emit_positional", "emit(x, y, z), 1 listener", "emit3", 1, make_emit3, "emit"),
    Case("emit_keywords", "emit(x, a=1, b=2), 1 listener", "emit_kw", 1, make_emit_kw, "emit"),
    Case("emit_once_reconnect", "connect_once + emit, each round", "once", 1, make_once, "round"),
    Case("emit_10_blocked", "emit inside a block (blocked(), muted()), 10 listeners", "block", 1,
         make_emit_blocked, "emit"),
    Case(f"emit_{MANY}", "emit, 10^4 listeners", "emit", 1, make_emit(MANY, "trivial"), "emit"),
    Case(f"once_{MANY}", "10^4 connect_once, then one emit (per entry)", "once_many", MANY,
         make_once_many, "entry"),
    Case("emit_async_1", "emit_async + await, 1 coroutine callback", "emit_async", 1,
         make_emit_async(1), "emit"),
    Case("emit_async_10", "emit_async + await, 10 coroutine callbacks", "emit_async", 1,
         make_emit_async(10), "emit"),
]
CASE_BY_ID = {c.id: c for c in CASES}


def applies(case: Case, lib: Lib) -> bool:
    return getattr(lib, case.attr) is not None


def why_not(case: Case, lib: Lib) -> str:
    w = lib.why_not
    return w.get(case.id) or w.get(case.attr) or w.get("*") or "not applicable"


def benches(libs: list[Lib], only: set[str] | None = None) -> list[Bench]:
    out = []
    for case in CASES:
        if only and case.id not in only:
            continue
        for lib in libs:
            if applies(case, lib):
                out.append(Bench(case.id, lib, case.inner, case.make))
    return out


# --- self-check: every applicable statement really calls the callbacks ------

def _counting(hits, is_async=False):
    if is_async:
        async def cb(*args, **kwargs):
            hits.append(1)
    else:
        def cb(*args, **kwargs):
            hits.append(1)
    return cb


def self_check(lib: Lib) -> list[str]:
    """Runs each emitting template twice with counting callbacks; returns problems."""
    problems = []
    base = dict(lib.load())

    def run(label, fn, ns, expected, hits):
        try:
            fn(2, time.perf_counter, ns)
        except Exception as exc:  # report, don't die: the results say what broke
            problems.append(f"{label}: {type(exc).__name__}: {exc}")
            return
        if len(hits) != expected:
            problems.append(f"{label}: expected {expected} calls, saw {len(hits)}")

    for attr, arity, extra in (("emit", 1, {}), ("emit3", 3, {"y": 2, "z": 3}), ("emit_kw", 1, {})):
        if getattr(lib, attr) is None:
            continue
        ns = dict(base, x=1, **extra)
        hits = []
        s = lib.make_signal(ns, arity)
        for _ in range(3):
            lib.add(s, _counting(hits))
        ns["s"] = s
        run(attr, compile_simple(getattr(lib, attr), ns), ns, 6, hits)
    if lib.once is not None:
        hits = []
        ns = dict(base, x=1)
        ns["s"] = lib.make_signal(ns)
        ns["c"] = _counting(hits)
        run("once", compile_simple(lib.once, ns), ns, 2, hits)
        s = ns["s"]
        if hasattr(s, "__len__") and len(s):
            problems.append(f"once: {len(s)} entries left behind")
    if lib.once_many is not None:
        hits = []
        ns = dict(base, x=1)
        ns["s"] = lib.make_signal(ns)
        ns["cbs"] = [_counting(hits) for _ in range(5)]
        run("once_many", compile_chunked("", lib.once_many, "", ns), ns, 10, hits)
    if lib.emit_async is not None:
        hits = []
        ns = dict(base, x=1)
        s = lib.make_signal(ns)
        for _ in range(3):
            lib.add(s, _counting(hits, is_async=True))
        ns["s"] = s
        ns["_loop"] = asyncio.new_event_loop()
        run("emit_async", compile_async(lib.emit_async, ns), ns, 6, hits)
        ns["_loop"].close()
    return problems
