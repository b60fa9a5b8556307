"""The walk over every allocation of one operation, shared by every
allocation-failure test: CPython's allocators in support/allocation.py (sync and
async), C++ operator new in the child program cxx_alloc_failure.py.

    def trial(start, stop):
        ...run the operation with allocations start..stop-1 failing
        (stop 0: every one from start on), check what is left...
        return whether the operation succeeded
    walk(trial)

The trial raises AssertionError for a wrong outcome; walk() names the
allocation in the message and gives the verdict over the whole walk.
"""

from __future__ import annotations

import gc

# Past this many allocations an operation is assumed never to finish.
MAX_ALLOCATIONS = 3000
# Successes in a row, failing ever further in, after which an operation is
# taken to make no more allocations.
MARGIN = 3


class FailurePoints:
    """(start, stop) for every allocation of an operation, in both ways of
    failing. First it and every later one (stop = 0): an operation that
    succeeds with every allocation from n on failing makes no allocation it
    cannot do without past n, so this ends at the first success, plus a
    margin for allocations that depend on the failures before them. Then each
    allocation alone (stop = start + 1), up to that end and on for as long as
    some still fail, plus the margin. record() each attempt's outcome before
    asking for the next."""

    def __init__(self, margin=MARGIN, limit=MAX_ALLOCATIONS):
        self.margin = margin
        self.limit = limit
        self.failures = 0
        self._ok = None

    def _run(self, single, end):
        quiet = 0
        start = 0
        while start < end or quiet < self.margin:
            assert start < self.limit, "the operation never stopped failing"
            self._ok = None
            yield start, (start + 1 if single else 0)
            assert self._ok is not None, "record() the outcome of every attempt"
            quiet = quiet + 1 if self._ok else 0
            start += 1
        self.end = start

    def __iter__(self):
        yield from self._run(False, 0)
        yield from self._run(True, self.end)

    def record(self, ok):
        self._ok = ok
        self.failures += not ok


def where(start, stop, what="allocation"):
    return f"{what} {start} ({'only that one' if stop else 'and all later ones'}) failed"


def walk(trial, allocates=True, what="allocation", **points):
    """Runs trial(start, stop) for every failure point (see FailurePoints,
    whose settings `points` overrides). `allocates`: whether some attempt must
    fail (True), or none (False: an operation that should allocate nothing),
    or either (None). Returns how many attempts failed."""
    points = FailurePoints(**points)
    for start, stop in points:
        try:
            ok = trial(start, stop)
        except AssertionError as e:
            raise AssertionError(f"{where(start, stop, what)}: {e}") from e
        points.record(ok)
    if allocates:
        assert points.failures, f"no {what} ever failed: the walk tested nothing"
    elif allocates is not None:
        assert not points.failures, "an operation that should not allocate failed"
    return points.failures


def released(probes):
    """The objects behind the weak references `probes` that are still alive,
    after collections if any is: most attempts leave no cycle behind, and a
    full collection after each would cost most of a walk's time. The cycles
    an attempt leaves (an exception's traceback and its frames) are young, so
    the youngest generation goes first, and the whole heap only if that was
    not enough."""
    for generation in (0, 2):
        if not any(p() is not None for p in probes):
            break
        gc.collect(generation)
    return [p() for p in probes if p() is not None]
