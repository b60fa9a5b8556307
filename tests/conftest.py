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


free_threaded = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)() is False,
    reason="needs a free-threaded interpreter",
)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "stress: time-bounded multi-threaded stress tests (TARNWICK_STRESS_SECONDS, TARNWICK_STRESS_SEED)"
    )
