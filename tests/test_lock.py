"""The signals' reader-writer lock, driven directly through a probe module
built from lock_probe.cpp with the checks on: readers and writers contending,
a waiter that must detach from the interpreter, the per-thread count of held
locks, and the check that stops a reference dropped under a lock."""

import pytest

from conftest import compile_extension, run_child

pytestmark = pytest.mark.threads


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    return compile_extension("lock_probe.cpp", tmp_path_factory.mktemp("probe"), "-DTARNWICK_CHECKS")


@pytest.mark.parametrize("attached", [False, True], ids=["plain-threads", "python-threads"])
@pytest.mark.parametrize("readers, writers", [(4, 1), (1, 4), (3, 3)])
def test_readers_and_writers_contending(probe, readers, writers, attached):
    # Raises AssertionError when a writer ever shared the lock, a write was
    # lost, or a thread's count of held locks was off.
    probe.contend(readers, writers, 2000, attached)


@pytest.mark.parametrize("shared", [False, True], ids=["writer", "reader"])
def test_a_waiter_detaches_from_the_interpreter(probe, shared):
    # The lock is let go by a thread that needs the interpreter while this
    # one waits; a waiter that stayed attached would hold it up until the
    # holder gives up.
    assert probe.waiter_detaches(shared, 20.0)


def test_held_locks_are_counted_per_thread(probe):
    assert probe.counts_while_held() == (1, 2, 1, 0)


def test_a_reference_dropped_under_a_lock_stops_the_process(probe):
    _, err = run_child("lock_probe_child.py", probe.__file__, crashes=True)
    assert "tarnwick: ::tarnwick::checks::no_lock_held()" in err, err
