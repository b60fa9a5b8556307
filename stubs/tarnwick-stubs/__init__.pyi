"""Type stubs for tarnwick.

tarnwick is a single extension module at the top level of site-packages, so
it has no package directory to hold a py.typed marker. Its stubs travel in the
same wheel as the stub-only package ``tarnwick-stubs`` (PEP 561), which mypy
and pyright both look for.
"""

from collections.abc import Callable, Coroutine
from types import TracebackType
from typing import Any, Literal, Never, Self, TypeAlias, final

__all__ = ["Signal", "SignalConnection"]

_ErrorMode: TypeAlias = Literal["fast_fail", "collect"]

# A hook is called as handler(exception, callback). Every exception that a
# callback raises reaches the hooks, BaseException subclasses such as
# KeyboardInterrupt included. What a hook returns is ignored.
_ErrorHook: TypeAlias = Callable[[BaseException, Callable[..., Any]], object]

@final
class Signal:
    """An ordered table of callbacks, called in priority order by emit()."""

    def __new__(cls, name: str | None = None) -> Self:
        """A new signal without connections; `name` is shown by repr()."""

    def __len__(self) -> int:
        """The number of connections, dead weak ones included until an
        emission finds them."""

    def on_error(self, handler: _ErrorHook) -> None:
        """Register a hook called as `handler(exception, callback)` whenever a
        connected callback raises during emit() or emit_async(), whatever the
        emission's `on_error` mode."""

    def clear_error_hooks(self) -> None:
        """Remove all registered error hooks."""

    def connect(self, callback: Callable[..., Any], weak: bool = False, priority: int = 0) -> int:
        """Connect `callback` until it is disconnected; returns the connection
        id. Higher priorities are called first, equal ones in connection
        order. With `weak=True` only a weak reference is kept."""

    def connect_once(self, callback: Callable[..., Any], weak: bool = False, priority: int = 0) -> int:
        """Connect `callback` for exactly one call; returns the connection id."""

    def connect_finite(
        self, callback: Callable[..., Any], times: int, weak: bool = False, priority: int = 0
    ) -> int:
        """Connect `callback` for `times` calls (at least 1); returns the
        connection id."""

    def disconnect(self, id: int) -> bool:
        """Remove a connection by id; True if it was there."""

    def connected(
        self, callback: Callable[..., Any], weak: bool = False, priority: int = 0
    ) -> SignalConnection:
        """Connect `callback` and return a context manager that gives the id
        on entry and disconnects on exit."""

    def emit(self, *args: Any, on_error: _ErrorMode = "fast_fail", **kwargs: Any) -> list[Any]:
        """Call every callback as `callback(*args, **kwargs)` in order and
        return their results. With on_error="collect" an exception takes its
        callback's place in the list instead of stopping the emission."""

    def emit_async(
        self, *args: Any, on_error: _ErrorMode = "fast_fail", **kwargs: Any
    ) -> Coroutine[Any, Any, list[Any]]:
        """Call every callback like emit() and return a coroutine that awaits
        the awaitable results concurrently and gives the completed list.
        Needs a running event loop."""

@final
class SignalConnection:
    """The context manager returned by Signal.connected()."""

    # Only Signal.connected() makes these; the type cannot be instantiated,
    # and the parameter that no argument can satisfy makes a checker say so.
    def __new__(cls, _unavailable: Never, /) -> Self: ...
    def __enter__(self) -> int:
        """The connection id."""

    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]:
        """Disconnect; exceptions are never suppressed."""
