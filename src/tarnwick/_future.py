"""The future of a call queued for another thread by ``listener(..., loop=)``.

A ``concurrent.futures.Future`` in every respect but one: the futures of one
connection share one condition, made at connect, instead of each making its
own (a condition is most of what a future costs to make). A change to any of
them wakes every thread waiting on one of them, so a wait here goes on until
its own future is done or its time is up.
"""

from __future__ import annotations

import concurrent.futures
from concurrent.futures._base import PENDING

__all__ = ["Future"]


class Future(concurrent.futures.Future):
    # What the base class's __init__ sets first, read from here until the
    # first change sets the instance's own. A queued call's future is made
    # without __init__: the delivery gives it the connection's condition and
    # its own lists of waiters and of done callbacks.
    _state = PENDING
    _result = None
    _exception = None

    def _wait_done(self, timeout):
        with self._condition:
            self._condition.wait_for(self.done, timeout)

    def result(self, timeout=None):
        self._wait_done(timeout)
        return super().result(0)

    def exception(self, timeout=None):
        self._wait_done(timeout)
        return super().exception(0)

    result.__doc__ = concurrent.futures.Future.result.__doc__
    exception.__doc__ = concurrent.futures.Future.exception.__doc__
