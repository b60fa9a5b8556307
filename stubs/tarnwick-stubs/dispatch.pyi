"""Dispatchers that run calls on one thread, for listener(..., loop=): Queue and qt()."""

import threading
from collections.abc import Callable
from types import TracebackType
from typing import final

__all__ = ["Queue", "qt"]

@final
class Queue:
    """Calls waiting for a thread that runs no event loop; the owning thread
    runs them with run_pending() or run_forever()."""

    def __init__(self, owner: threading.Thread | None = None) -> None:
        """owner: the thread that runs the calls (default: this one)."""
    def call_soon_threadsafe(self, fn: Callable[[], object], /) -> None:
        """Schedules fn() on the owning thread; RuntimeError once closed."""
    def is_current(self) -> bool:
        """True on the owning thread."""
    def is_closed(self) -> bool:
        """True once close() has been called."""
    def run_pending(self, timeout: float | None = None) -> int:
        """Runs the calls waiting when it starts; returns how many ran. With a
        timeout, first waits up to that long for one to arrive."""
    def run_forever(self) -> None:
        """Runs calls as they arrive, until the queue is closed."""
    def close(self, run_pending: bool = False) -> None:
        """Makes later scheduling fail; drops the waiting calls, or runs them."""
    def __enter__(self) -> Queue: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None:
        """Closes the queue, dropping the calls still waiting."""

@final
class _QtDispatcher:
    def __init__(self, obj: object) -> None: ...
    def call_soon_threadsafe(self, fn: Callable[[], object], /) -> None:
        """Schedules fn() on the Qt object's thread; RuntimeError once it is
        gone or the application has quit."""
    def is_current(self) -> bool:
        """True on the Qt object's thread."""
    def __del__(self) -> None: ...

def qt(obj: object | None = None) -> _QtDispatcher:
    """A dispatcher that runs calls on the thread of the Qt object obj
    (default: the application's main thread) through Qt's event loop."""
