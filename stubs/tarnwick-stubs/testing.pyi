"""Helpers for testing and debugging code that uses signals: record() and trace()."""

from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Protocol, final

from . import Signal

__all__ = ["Recorder", "Trace", "TraceEvent", "record", "trace"]

class _Writable(Protocol):
    def write(self, text: str, /) -> object: ...

@final
class Recorder:
    """Records the emissions of one signal while entered; see record()."""

    def __init__(self, signal: Signal[Any]) -> None:
        """Prefer record(signal)."""
    def __enter__(self) -> Recorder:
        """Start recording."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None:
        """Stop recording; what was recorded stays readable."""
    @property
    def emissions(self) -> list[tuple[tuple[Any, ...], dict[str, Any]]]:
        """A new list of (args, kwargs) pairs, one per emission, in order."""
    def __len__(self) -> int:
        """How many emissions were recorded."""
    def assert_emitted(self) -> None:
        """Fail unless the signal was emitted at least once."""
    def assert_not_emitted(self) -> None:
        """Fail if the signal was emitted."""
    def assert_emitted_once(self) -> None:
        """Fail unless the signal was emitted exactly once."""
    def assert_emitted_with(self, /, *args: Any, **kwargs: Any) -> None:
        """Fail unless the last emission was made with these arguments."""
    def assert_emitted_once_with(self, /, *args: Any, **kwargs: Any) -> None:
        """Fail unless the signal was emitted exactly once, with these arguments."""
    def assert_any_emitted_with(self, /, *args: Any, **kwargs: Any) -> None:
        """Fail unless some emission was made with these arguments."""
    def wait(self, count: int = 1, timeout: float | None = None) -> None:
        """Block until at least `count` emissions have finished their calls,
        on any thread; TimeoutError after `timeout` seconds."""
    async def wait_async(self, count: int = 1, timeout: float | None = None) -> None:
        """wait() without blocking the event loop, for emissions on any thread;
        then until the calls they queued to this loop have run, and the tasks
        a paused() replay started on it have finished."""

@final
class TraceEvent:
    """One callback call, reported by a trace once it returned."""

    signal: Signal[Any]
    callback: Callable[..., Any]
    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    result: Any
    exception: BaseException | None
    seconds: float
    def __init__(
        self,
        signal: Signal[Any],
        callback: Callable[..., Any],
        args: tuple[Any, ...],
        kwargs: dict[str, Any],
        result: Any,
        exception: BaseException | None,
        seconds: float,
    ) -> None:
        """Made by a trace; see trace()."""

@final
class Trace:
    """Reports callback calls while entered; see trace()."""

    def __init__(
        self,
        hook: Callable[[TraceEvent], object] | None = None,
        *,
        file: _Writable | None = None,
        signals: Iterable[Signal[Any]] | None = None,
    ) -> None:
        """Prefer trace(...)."""
    def __enter__(self) -> Trace:
        """Start reporting."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None:
        """Stop reporting."""

def record(signal: Signal[Any]) -> Recorder:
    """A Recorder of `signal`, to use as a context manager: while entered it
    records every emission of `signal` that runs, without being a listener."""

def trace(
    hook: Callable[[TraceEvent], object] | None = None,
    *,
    file: _Writable | None = None,
    signals: Iterable[Signal[Any]] | None = None,
) -> Trace:
    """A Trace, to use as a context manager: while entered, every callback
    call of every signal (or of `signals`) is reported once it returns, to
    `hook(event)` or as one line written to `file` (sys.stderr by default)."""
