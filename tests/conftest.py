import gc
import sys

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


free_threaded = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)() is False,
    reason="needs a free-threaded interpreter",
)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "stress: time-bounded multi-threaded stress tests (TARNWICK_STRESS_SECONDS, TARNWICK_STRESS_SEED)"
    )
