"""pytest plugin for tools/ci/ft.sh: leaves out of the parallel pass the tests
that must not run under pytest-run-parallel's --parallel-threads. They have
run, once, in one thread, in the stage's first pass over the whole suite;
running them again single-threaded would check nothing new.

pytest-run-parallel runs each test function in N threads at once, sharing
module globals and the interpreter. That is a good way to run the ordinary
behavioural tests of a thread-safe library concurrently; it is wrong for a
test whose assertion is about process-wide state:

* the cyclic collector and reference counts (test_gc.py, refcount baselines):
  another thread's frames and collections change what they observe;
* monkeypatching modules or builtins, capturing output, catching warnings:
  pytest's fixtures for those are process-wide;
* subprocesses: correct, but four child interpreters per test buy nothing;
* Hypothesis state machines: Hypothesis keeps per-test state it does not
  share between threads.
"""

UNSAFE_FIXTURES = {"monkeypatch", "capsys", "capfd", "capsysbinary", "capfdbinary", "recwarn",
                   "collect_all"}

UNSAFE_MODULES = {
    "test_gc.py": "asserts on the collector and reference counts",
    "test_model.py": "a Hypothesis state machine",
    "test_unicode_table.py": "compiles and runs C++ in subprocesses",
    "test_module.py": "re-imports the module and runs a subprocess",
    "test_threads.py": "starts its own threads",
    "test_stress.py": "starts its own threads",
    "test_evented_threads.py": "starts its own threads",
    "test_allocation_failure.py": "process-wide hooks (the allocators)",
    "test_raising_callbacks_and_hooks.py": "process-wide hooks (unraisablehook, excepthook)",
    "test_reentrant_finalizers.py": "process-wide hooks (unraisablehook)",
    "test_bad_input.py": "Hypothesis tests",
    "test_subinterpreters.py": "subprocesses that start their own threads and interpreters",
    "test_keyword_names.py": "subprocesses, and Hypothesis tests",
    "test_tracing.py": "a trace of every signal sees the other threads' emissions too",
}

UNSAFE_TESTS = {
    "test_references_return_to_baseline": "reference-count baseline",
    "test_references_are_released": "reference-count baseline",
    "test_liveness_examples_at_module_level": "subprocess",
    "test_liveness_examples_after_a_thread_started": "subprocess",
    "test_an_excepthook_raising_system_exit_does_not_end_the_process": "subprocess",
    "test_internal_module_is_built_once_per_signal": "patches builtins.__import__",
    "test_two_threads_with_their_own_loops_share_a_signal": "starts its own threads",
    "test_calls_pending_or_running_at_exit_neither_hang_nor_warn": "subprocess",
    "test_a_forked_child_keeps_its_pending_calls_and_its_own_timer": "subprocess",
    "test_a_limiter_the_collector_cleared_refuses_use_without_crashing": "subprocess",
}


def unsafe_reason(item):
    module = item.path.name
    if module in UNSAFE_MODULES:
        return UNSAFE_MODULES[module]
    if getattr(item, "originalname", None) in UNSAFE_TESTS:
        return UNSAFE_TESTS[item.originalname]
    if item.get_closest_marker("stress") is not None:
        return "starts its own threads"
    used = UNSAFE_FIXTURES.intersection(getattr(item, "fixturenames", ()))
    if used:
        return f"uses process-wide fixtures {sorted(used)}"
    return None


def pytest_collection_modifyitems(config, items):
    kept, left_out = [], []
    for item in items:
        (left_out if unsafe_reason(item) else kept).append(item)
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = kept
