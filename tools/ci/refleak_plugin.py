"""pytest plugin: reference-leak hunting the way CPython's regrtest -R does it.

    python -m pytest -p refleak_plugin --refleak=3:3 tests    (debug build only)

Each test module runs WARMUPS + RUNS times in a row, as regrtest repeats a
test file: every test of it (set-up, call and tear-down, so fixtures are
fresh, the module's own ones included), then the caches that grow on first
use are cleared and the collector runs; then sys.gettotalrefcount() and
sys.getallocatedblocks() are read. The deltas of the last RUNS runs are kept;
a module leaks only when EVERY delta of a counter is >= 1, as in regrtest: a
real leak repeats on every run, while noise (a cache filled once, a freelist
growing) does not. A leaking module's tests are then repeated one by one the
same way, to name the culprits; each is reported as failed, with its deltas
(the module's deltas when no single test leaks by itself).

Only the last run of a test is reported to the terminal; a failure ends the
repetition and is reported instead.

Tests listed in EXCLUDED, and the time-bounded ones (marked `stress`: how
much work a run does depends on the scheduler, so their totals differ from
run to run by design; the deterministic tests cover the same code paths for
leaks), run once, normally.
Hypothesis tests are run derandomized and without an example database, so
that every run draws the same examples (see pytest_configure), and with at
most HYPOTHESIS_EXAMPLES examples: a leak shows on every example, so breadth
is left to the ordinary runs and the repetitions stay affordable.
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
    "tests/test_allocation_failure.py::test_cxx_allocation_failure_in_every_operation":
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
    "tests/test_rate_limits.py::test_calls_pending_or_running_at_exit":
        "the checked code runs in a subprocess",
    "tests/test_rate_limits.py::test_a_forked_child": "the checked code runs in a subprocess",
    "tests/test_rate_limits.py::test_a_limiter_the_collector_cleared":
        "the checked code runs in a subprocess",
    "tests/test_lock.py::test_a_reference_dropped_under_a_lock":
        "the checked code runs in a subprocess",
    # pydantic's validate_assignment keeps some 6 references for every
    # assignment on this build, with no tarnwick involved (a plain model
    # shows the same growth); the test makes thousands. The other pydantic
    # tests of evented cover its paths for leaks.
    "tests/test_evented_threads.py::test_a_models_validated_assignments_are_never_lost":
        "pydantic itself keeps references for every validated assignment",
    # A model subclass's instance, made and assigned, keeps one reference
    # behind on this build with no tarnwick involved either (a plain
    # `class P(BaseModel)` whose instance is made and assigned shows +1 per
    # run); the evented paths it takes are the ones the dataclass cases of
    # the test before it check for leaks.
    "tests/test_evented.py::test_an_undecorated_model_subclass_emits_for_all_its_fields":
        "pydantic itself keeps a reference for each such instance",
    # These two replace sys.unraisablehook through pytest's monkeypatch and
    # keep some 250-310 references per run under this plugin. The Queue paths
    # they take, run the same way outside pytest (a call that fails and is
    # reported to a hook of the test's own, a call that raises
    # KeyboardInterrupt, 20 runs on the debug build), keep none (+0.05).
    "tests/test_dispatch.py::test_queue_failing_call_is_reported_and_the_rest_run":
        "keeps references from run to run under pytest, and none outside it",
    "tests/test_dispatch.py::test_queue_close_while_running_or_reentered":
        "keeps references from run to run under pytest, and none outside it",
    # Hypothesis's stateful runner itself keeps about a hundred references per
    # example from run to run, derandomized or not: the same test against a
    # pure-Python stand-in for Signal shows the same growth. The @given tests
    # do not, and stay in.
    "tests/test_model.py": "Hypothesis's state-machine runner grows by itself on every run",
    # attrs and pydantic keep part of what they make, with no signal involved:
    # on the debug build a plain attrs class made into a module's namespace
    # keeps about 128 references, a plain pydantic model class about 40, and
    # a plain model's instances one to six per operation (dump, copy, compare),
    # evented or not. The dataclass cases, which use only tarnwick and the
    # standard library, stay in.
    "tests/test_evented.py::test_attrs_converters_and_validators_run_first":
        "attrs keeps part of every class made into a module's namespace",
    "tests/test_evented.py::test_pydantic": "pydantic keeps part of its classes and instances",
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
        if item.get_closest_marker("stress") is not None:
            return "time-bounded random work; totals differ per run by design"
        for prefix, reason in EXCLUDED.items():
            if item.nodeid.startswith(prefix):
                return reason
        return None

    def repeat(self, items, nextitem):
        """Runs `items` in order WARMUPS + RUNS times, or until a run in which
        one fails. Returns the last run's reports per item and the leaks
        found, as texts."""
        ref_deltas, block_deltas = [], []
        before = None
        reports = {}
        for i in range(self.warmups + self.runs):
            for k, item in enumerate(items):
                item._report_sections = []  # captured output would pile up otherwise
                following = items[k + 1] if k + 1 < len(items) else nextitem
                reports[item] = runtestprotocol(item, nextitem=following, log=False)
            if any(r.failed for rs in reports.values() for r in rs):
                return reports, []  # reported as they are
            if len(items) == 1 and any(r.skipped for r in reports[items[0]]):
                return reports, []  # nothing ran to measure
            after = counts()
            if before is not None and i >= self.warmups:
                ref_deltas.append(after[0] - before[0])
                block_deltas.append(after[1] - before[1])
            before = after
        leaked = []
        if all(d >= 1 for d in ref_deltas):
            leaked.append(f"references: deltas {ref_deltas}")
        if all(d >= 1 for d in block_deltas):
            leaked.append(f"memory blocks: deltas {block_deltas}")
        return reports, leaked

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        if session.testsfailed and not session.config.option.continue_on_collection_errors:
            raise session.Interrupted(f"{session.testsfailed} errors during collection")
        if session.config.option.collectonly:
            return True
        items = session.items
        k = 0
        while k < len(items):
            end = k + 1
            while end < len(items) and items[end].path == items[k].path:
                end += 1
            self.run_module(items[k:end], items[end] if end < len(items) else None)
            if session.shouldfail:
                raise session.Failed(session.shouldfail)
            if session.shouldstop:
                raise session.Interrupted(session.shouldstop)
            k = end
        return True

    def run_module(self, items, nextitem):
        ihook = items[0].ihook
        once = [item for item in items if self.excluded(item)]
        repeated = [item for item in items if not self.excluded(item)]
        for k, item in enumerate(once):
            following = once[k + 1] if k + 1 < len(once) else (repeated or [nextitem])[0]
            ihook.pytest_runtest_protocol(item=item, nextitem=following)
        if not repeated:
            return
        reports, leaked = self.repeat(repeated, nextitem)
        culprits = {}
        if leaked:
            # Name the tests that leak by themselves; if none does, the
            # module's deltas go on every test of it.
            for k, item in enumerate(repeated):
                following = repeated[k + 1] if k + 1 < len(repeated) else nextitem
                alone, own = self.repeat([item], following)
                if own:
                    culprits[item] = own
                    reports[item] = alone[item]
            if not culprits:
                culprits = {item: [f"with the rest of {item.path.name}: {t}" for t in leaked]
                            for item in repeated}
        for item in repeated:
            ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
            if item in culprits:
                self.leaks.append((item.nodeid, culprits[item]))
                for r in reports[item]:
                    if r.when == "call":
                        r.outcome = "failed"
                        r.longrepr = (f"{item.nodeid} leaks {' and '.join(culprits[item])} over "
                                      f"{self.runs} runs (after {self.warmups} warm-ups)")
            for r in reports.get(item, ()):
                ihook.pytest_runtest_logreport(report=r)
            ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)

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
                f"no leaks ({self.warmups} warm-ups + {self.runs} measured runs per test module)")
        for nodeid, what in self.leaks:
            terminalreporter.write_line(f"LEAK {nodeid}: {'; '.join(what)}")
        for prefix, reason in EXCLUDED.items():
            terminalreporter.write_line(f"not repeated: {prefix} ({reason})")
        terminalreporter.write_line("not repeated: tests marked stress (time-bounded; totals differ per run)")
