"""Sub-interpreters: each has its own two types and caches, so nothing one
interpreter does confuses another, and interpreters with a GIL of their own
can use tarnwick too.

Every case runs in a child process (tests/support/subinterpreters_child.py): a
regression here corrupts or crashes the interpreter.
"""

import os

import pytest

from support.helpers import run_child

pytest.importorskip("_interpreters")

KINDS = ["legacy", "isolated"]


def run_case(case, kind, uses_asyncio=False, timeout=600):
    env = dict(os.environ)
    if uses_asyncio and "ASAN_OPTIONS" in env:
        # CPython 3.13.0 itself leaks memory when a sub-interpreter runs
        # asyncio.gather, with no tarnwick involved. What a sub-interpreter
        # leaves behind is counted on the debug build instead ("leaks").
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    out, _ = run_child("subinterpreters_child.py", case, kind, env=env, timeout=timeout)
    assert out.rstrip().endswith("passed"), out


@pytest.mark.parametrize("kind", KINDS)
def test_attribute_lookup_beside_other_classes(kind):
    run_case("lookup", kind)


@pytest.mark.parametrize("kind", KINDS)
def test_slot_access_specialised_elsewhere_never_reads_a_signal(kind):
    run_case("slots", kind)


@pytest.mark.parametrize("kind", KINDS)
def test_everything_works_in_a_sub_interpreter(kind):
    run_case("lifecycle", kind, uses_asyncio=True)


@pytest.mark.parametrize("kind", KINDS)
def test_sub_interpreters_destroyed_first_middle_and_last(kind):
    run_case("orders", kind, uses_asyncio=True)


@pytest.mark.threads
def test_isolated_interpreters_from_several_threads():
    run_case("threads", "isolated", uses_asyncio=True)


def test_a_finished_sub_interpreter_leaves_nothing_behind():
    run_case("leaks", "isolated", uses_asyncio=True)


def test_isolated_interpreters_may_import_it():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create("isolated")
    try:
        assert interpreters.run_string(interp, "import tarnwick.testing") is None
    finally:
        interpreters.destroy(interp)
