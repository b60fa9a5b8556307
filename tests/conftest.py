"""Fixtures and pytest hooks. The helpers test modules share are in
tests/support/ (support.helpers and its neighbours)."""

import gc

import pytest

# Assertions in the shared helpers explain themselves as the tests' do.
pytest.register_assert_rewrite("support.helpers")


@pytest.fixture
def collect_all():
    """Run a full collection several times, the way a careful leak test does."""

    def run():
        for _ in range(3):
            gc.collect()

    return run


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "stress: time-bounded multi-threaded stress tests (TARNWICK_STRESS_SECONDS, TARNWICK_STRESS_SEED)"
    )
