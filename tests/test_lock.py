"""The signals' reader-writer lock, driven directly through a probe module
built from lock_probe.cpp with the checks on: readers and writers contending,
a waiter that must detach from the interpreter, the per-thread count of held
locks, and the check that stops a reference dropped under a lock."""

import atexit
import functools
import shutil
import tempfile

import pytest

from support.helpers import compile_extension, run_child

pytestmark = pytest.mark.threads


# Built and imported once per process: an extension module imported again
# from a new file is a new module that the interpreter keeps, which a leak
# hunt repeating these tests would count against them.
@functools.cache
def built_probe():
    directory = tempfile.mkdtemp(prefix="tarnwick-lock-probe-")
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    return compile_extension("lock_probe.cpp", directory, "-DTARNWICK_CHECKS")


@pytest.fixture
def probe():
    return built_probe()


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
