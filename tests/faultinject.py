"""The walk over every allocation of one operation, shared by the
allocation-failure tests (CPython's allocators in test_faults.py, C++
operator new in the child program cxx_alloc_failure.py), sync and async.

    points = FailurePoints()
    for start, stop in points:
        ...fail allocations start..stop-1 (stop 0: all from start on) in op()...
        points.record(err is None)
    assert points.failures
"""

from __future__ import annotations

# Past this many allocations an operation is assumed never to finish.
MAX_ALLOCATIONS = 3000
# An operation that succeeds this many times in a row, failing allocations
# ever further in, is taken to make no more allocations.
QUIET_RUN = 25


class FailurePoints:
    """(start, stop) for every allocation of an operation, in both ways of
    failing: that allocation only (stop = start + 1), then it and every later
    one (stop = 0). Each walk goes on until `quiet_run` attempts in a row
    succeed; record() each attempt's outcome before asking for the next."""

    def __init__(self, quiet_run=QUIET_RUN, limit=MAX_ALLOCATIONS):
        self.quiet_run = quiet_run
        self.limit = limit
        self.failures = 0
        self._ok = None

    def __iter__(self):
        for single in (True, False):
            quiet = 0
            start = 0
            while quiet < self.quiet_run:
                assert start < self.limit, "the operation never stopped failing"
                self._ok = None
                yield start, (start + 1 if single else 0)
                assert self._ok is not None, "record() the outcome of every attempt"
                quiet = quiet + 1 if self._ok else 0
                start += 1

    def record(self, ok):
        self._ok = ok
        self.failures += not ok


def where(start, stop, what="allocation"):
    return f"{what} {start} ({'only that one' if stop else 'and all later ones'}) failed"
