import gc
import os
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture
def collect_all():
    """Run a full collection several times, the way a careful leak test does."""

    def run():
        for _ in range(3):
            gc.collect()

    return run


def gc_clear(obj):
    """Calls the type's tp_clear directly, as the collector would."""
    import ctypes

    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    py_tp_clear = 51
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), py_tp_clear))
    assert clear(obj) == 0


def run_program(program, *args, env=None, timeout=600):
    """Runs a program file of tests/ in a child interpreter, so that a crash
    fails the calling test instead of ending pytest. The program prints
    "passed" last when its checks hold."""
    path = Path(__file__).with_name(program)
    done = subprocess.run([sys.executable, str(path), *args], capture_output=True, text=True,
                          timeout=timeout, env=env if env is not None else dict(os.environ))
    assert done.returncode == 0, (
        f"exit status {done.returncode}\n{done.stdout[-2000:]}\n{done.stderr[-4000:]}")
    assert done.stdout.rstrip().endswith("passed"), done.stdout
    return done


def connect_weak_through(connect, method, reference, **options):
    """connect(method, weak=True, **options) with `reference` standing in for
    the weakref.WeakMethod the entry would hold: an emission resolves the
    entry by calling reference(), which may raise or return anything."""
    import weakref

    original = weakref.WeakMethod
    weakref.WeakMethod = lambda m: reference
    try:
        return connect(method, weak=True, **options)
    finally:
        weakref.WeakMethod = original


free_threaded = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)() is False,
    reason="needs a free-threaded interpreter",
)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "stress: time-bounded multi-threaded stress tests (TARNWICK_STRESS_SECONDS, TARNWICK_STRESS_SEED)"
    )
