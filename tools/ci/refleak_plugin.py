"""pytest plugin: reference-leak hunting the way CPython's regrtest -R does it.

    python -m pytest -p refleak_plugin --refleak=3:3 tests    (debug build only)

Each test runs WARMUPS + RUNS times in a row (set-up, call and tear-down each
time, so function fixtures are fresh). After every run the caches that grow
on first use are cleared and the collector runs; then sys.gettotalrefcount()
and sys.getallocatedblocks() are read. The deltas of the last RUNS runs are
kept; a test leaks only when EVERY delta of a counter is >= 1, as in regrtest:
a real leak repeats on every run, while noise (a cache filled once, a freelist
growing) does not. A leaking test is reported as failed, with its deltas.

Only the last run is reported to the terminal; an earlier run that fails ends
the repetition and is reported instead.

Tests listed in EXCLUDED run once, normally, for the reasons given there.
Hypothesis tests are run derandomized and without an example database, so
that every run draws the same examples (see pytest_configure), and with at
most HYPOTHESIS_EXAMPLES examples: a leak shows on every example, so breadth
is left to the ordinary runs and the six repetitions stay affordable.
"""

from __future__ import annotations

import gc
import sys

import pytest
from _pytest.runner import runtestprotocol

# nodeid prefix -> why it is not repeated.
EXCLUDED = {
    # Their subject runs in a child interpreter, whose references the parent
    # cannot count; running it six times more would only cost time.
    "tests/test_unicode_table.py": "compiles and runs C++ programs in subprocesses",
    "tests/test_connect.py::test_liveness_examples": "the checked code runs in a subprocess",
    "tests/test_module.py::test_import_leaves_the_gil_disabled": "the checked code runs in a subprocess",
    "tests/test_gc.py::test_memory_exhaustion_in_native_code_raises_memory_error":
        "the checked code runs in a subprocess",
    "tests/test_faults.py::test_cxx_allocation_failure_in_every_operation":
        "the checked code runs in a subprocess",
    # Sub-interpreter cases run in a child (they could crash); on this build
    # the child counts the references a finished sub-interpreter leaves
    # behind itself (subinterpreters_child.case_leaks).
    "tests/test_subinterpreters.py::test_attribute_lookup": "the checked code runs in a subprocess",
    "tests/test_subinterpreters.py::test_slot_access": "the checked code runs in a subprocess",
    "tests/test_subinterpreters.py::test_everything": "the checked code runs in a subprocess",
    "tests/test_subinterpreters.py::test_sub_interpreters_destroyed": "the checked code runs in a subprocess",
    "tests/test_subinterpreters.py::test_isolated_interpreters_from": "the checked code runs in a subprocess",
    "tests/test_subinterpreters.py::test_a_finished": "the checked code runs in a subprocess",
    "tests/test_error_hooks.py::test_an_excepthook_raising_system_exit":
        "the checked code runs in a subprocess",
    # Time-bounded: how much work a run does depends on the scheduler, so the
    # totals differ from run to run by construction. The deterministic tests
    # cover the same code paths for leaks.
    "tests/test_stress.py": "time-bounded random work; totals differ per run by design",
    # Hypothesis's stateful runner itself keeps about a hundred references per
    # example from run to run, derandomized or not: the same test against a
    # pure-Python stand-in for Signal shows the same growth. The @given tests
    # do not, and stay in.
    "tests/test_model.py": "Hypothesis's state-machine runner grows by itself on every run",
}


HYPOTHESIS_EXAMPLES = 15


def pytest_addoption(parser):
    group = parser.getgroup("refleak", "reference-leak hunting (debug builds)")
    group.addoption("--refleak", metavar="WARMUPS:RUNS", default=None,
                    help="run each test WARMUPS+RUNS times and fail those whose reference "
                         "count grows on every one of the last RUNS runs (e.g. 3:3)")


def pytest_configure(config):
    setting = config.getoption("refleak")
    if not setting:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs a debug build of CPython (sys.gettotalrefcount)")
    try:
        warmups, runs = (int(x) for x in setting.split(":"))
    except ValueError:
        raise pytest.UsageError(f"--refleak expects WARMUPS:RUNS, got {setting!r}") from None
    if warmups < 1 or runs < 1:
        raise pytest.UsageError("--refleak needs at least one warm-up and one measured run")
    try:
        from hypothesis import settings

        # Same examples on every run: a fresh random draw each time would make
        # the totals differ for reasons that have nothing to do with leaks.
        settings.register_profile("tarnwick-refleak", derandomize=True, database=None,
                                  print_blob=False)
        settings.load_profile("tarnwick-refleak")
    except ImportError:
        pass
    config.pluginmanager.register(RefLeakHunter(warmups, runs), "tarnwick-refleak")


def clear_caches():
    """What regrtest's dash_R_cleanup clears that a run may fill."""
    import collections.abc
    import linecache
    import re

    sys._clear_type_cache()
    if hasattr(sys, "_clear_internal_caches"):
        sys._clear_internal_caches()
    re.purge()
    linecache.clearcache()
    typing = sys.modules.get("typing")
    if typing is not None:
        for f in getattr(typing, "_cleanups", ()):
            f()
    stack = [getattr(collections.abc, name) for name in collections.abc.__all__]
    seen = set()
    while stack:
        abc = stack.pop()
        if id(abc) in seen or not isinstance(abc, type):
            continue
        seen.add(id(abc))
        clear = getattr(abc, "_abc_caches_clear", None)
        if clear is not None:
            clear()
        stack.extend(type.__subclasses__(abc))
    for mod in list(sys.modules.values()):
        registry = getattr(mod, "__warningregistry__", None)
        if isinstance(registry, dict):
            registry.clear()
    warnings = sys.modules.get("warnings")
    if warnings is not None:
        warnings._filters_mutated()
    for _ in range(3):
        gc.collect()


def counts():
    clear_caches()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


class RefLeakHunter:
    def __init__(self, warmups, runs):
        self.warmups = warmups
        self.runs = runs
        self.leaks = []

    @staticmethod
    def excluded(item):
        for prefix, reason in EXCLUDED.items():
            if item.nodeid.startswith(prefix):
                return reason
        return None

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if self.excluded(item):
            return None  # pytest's own protocol: one normal run
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        total = self.warmups + self.runs
        ref_deltas, block_deltas = [], []
        before = None
        reports = []
        for i in range(total):
            item._report_sections = []  # captured output would pile up otherwise
            reports = runtestprotocol(item, nextitem=nextitem, log=False)
            if any(r.failed or r.skipped for r in reports):
                break  # report this run as it is
            after = counts()
            if before is not None and i >= self.warmups:
                ref_deltas.append(after[0] - before[0])
                block_deltas.append(after[1] - before[1])
            before = after
        leaked = []
        if len(ref_deltas) == self.runs:
            if all(d >= 1 for d in ref_deltas):
                leaked.append(f"references: deltas {ref_deltas}")
            if all(d >= 1 for d in block_deltas):
                leaked.append(f"memory blocks: deltas {block_deltas}")
        if leaked:
            self.leaks.append((item.nodeid, leaked))
            for r in reports:
                if r.when == "call":
                    r.outcome = "failed"
                    r.longrepr = (f"{item.nodeid} leaks {' and '.join(leaked)} over {self.runs} runs "
                                  f"(after {self.warmups} warm-ups)")
        for r in reports:
            ihook.pytest_runtest_logreport(report=r)
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def pytest_collection_modifyitems(self, items):
        try:
            from hypothesis import settings
        except ImportError:
            return
        for item in items:
            fn = getattr(item, "obj", None)
            fn = getattr(fn, "__func__", fn)  # a test method: the function itself
            current = getattr(fn, "_hypothesis_internal_use_settings", None)
            if isinstance(current, settings) and hasattr(fn, "hypothesis"):
                fn._hypothesis_internal_use_settings = settings(
                    current, max_examples=min(current.max_examples, HYPOTHESIS_EXAMPLES))
            cls = getattr(item, "cls", None)
            machine_settings = getattr(cls, "settings", None)
            if isinstance(machine_settings, settings):  # a RuleBasedStateMachine.TestCase
                cls.settings = settings(machine_settings, max_examples=min(
                    machine_settings.max_examples, HYPOTHESIS_EXAMPLES))

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.section("reference leaks")
        if not self.leaks:
            terminalreporter.write_line(
                f"no leaks ({self.warmups} warm-ups + {self.runs} measured runs per test)")
        for nodeid, what in self.leaks:
            terminalreporter.write_line(f"LEAK {nodeid}: {'; '.join(what)}")
        for prefix, reason in EXCLUDED.items():
            terminalreporter.write_line(f"not repeated: {prefix} ({reason})")
