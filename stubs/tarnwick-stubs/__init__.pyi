"""Type stubs for tarnwick.

tarnwick is a single extension module at the top level of site-packages, so
it has no package directory to hold a py.typed marker. Its stubs travel in the
same wheel as the stub-only package ``tarnwick-stubs`` (PEP 561), which mypy
and pyright both look for.
"""

from asyncio import AbstractEventLoop
from concurrent.futures import Executor
from collections.abc import Callable, Coroutine, Iterator
from contextlib import AbstractContextManager
from types import GenericAlias, TracebackType
from typing import Any, Generic, Literal, Never, ParamSpec, Protocol, Self, TypeAlias, TypeVar, final, overload

__all__ = ["Signal", "SignalConnection", "SignalField", "evented"]

_ErrorMode: TypeAlias = Literal["fast_fail", "collect"]

# A hook is called as handler(exception, callback). Every exception that a
# callback raises reaches the hooks, BaseException subclasses such as
# KeyboardInterrupt included. What a hook returns is ignored.
_ErrorHook: TypeAlias = Callable[[BaseException, Callable[..., Any]], object]

# What a signal emits: Signal[[int, str]] (or Signal[int, str]) is emitted as
# emit(1, "a"), and connects callbacks that can be called so. A plain Signal
# is Signal[...], which emits anything.
_P = ParamSpec("_P", default=...)
_R = TypeVar("_R")
_F = TypeVar("_F", bound=Callable[..., Any])
# paused()'s reducer folds two argument tuples into one.
_Reducer: TypeAlias = Callable[[tuple[Any, ...], tuple[Any, ...]], tuple[Any, ...]]

class _Callback(Protocol[_P]):
    """A callable that takes what the signal emits. (A protocol rather than
    Callable[_P, Any], so that mypy infers a lambda's parameters for a plain
    Signal too.)"""

    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> Any: ...

class _Decorator(Protocol[_P]):
    """What Signal.listener(...) returns when given only options."""

    def __call__(self, callback: Callable[_P, _R], /) -> Callable[_P, _R]: ...
    def flush(self) -> None:
        """Make the pending call of each connection made with throttle or
        debounce now, on this thread; a call that raises propagates."""

class Dispatcher(Protocol):
    """What listener(..., loop=...) accepts to run calls on a thread of yours:
    call_soon_threadsafe(fn) schedules the zero-argument callable fn to run
    on its thread and raises (RuntimeError) once it can run nothing more.
    It may also have is_current() -> bool, true on that thread, where an
    emission then calls directly. Named in the stubs alone, for annotations;
    an asyncio event loop is one."""

    def call_soon_threadsafe(self, fn: Callable[[], object], /) -> object:
        """Schedule fn() on the dispatcher's thread; raise if it cannot."""

# A trio token (trio.lowlevel.TrioToken), described without importing trio.
class _TrioToken(Protocol):
    def run_sync_soon(self, sync_fn: Callable[..., object], /, *args: Any, idempotent: bool = False) -> None: ...

# What listener(..., loop=...) accepts.
_LoopTarget: TypeAlias = AbstractEventLoop | _TrioToken | Executor | Dispatcher

class _AnyDecorator(Protocol):
    """What Signal.listener(max_args=...) returns when given only options: it
    takes a callable with fewer parameters than the signal emits."""

    def __call__(self, callback: _F, /) -> _F: ...
    def flush(self) -> None:
        """Make the pending call of each connection made with throttle or
        debounce now, on this thread; a call that raises propagates."""

# One connection as connections() lists it: id, callback (None once a weak
# referent has died), priority, and calls left (None when unlimited).
_ConnectionInfo: TypeAlias = tuple[int, Callable[_P, Any] | None, int, int | None]

@final
class Signal(Generic[_P]):
    """An ordered table of callbacks, called in priority order by emit()."""

    def __new__(cls, name: str | None = None) -> Self:
        """A new signal without connections; `name` is shown by repr()."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """Signal[int, str] at run time: a types.GenericAlias."""

    def __len__(self) -> int:
        """The number of connections, dead weak ones included until an
        emission finds them."""

    def on_error(self, handler: _ErrorHook) -> None:
        """Register a hook called as `handler(exception, callback)` whenever a
        connected callback raises during emit() or emit_async(), whatever the
        emission's `on_error` mode."""

    def clear_error_hooks(self) -> None:
        """Remove all registered error hooks."""

    def connect(self, callback: _Callback[_P], weak: bool = False, priority: int = 0) -> int:
        """Connect `callback` until it is disconnected; returns the connection
        id. Higher priorities are called first, equal ones in connection
        order. With `weak=True` only a weak reference is kept."""

    def connect_once(self, callback: _Callback[_P], weak: bool = False, priority: int = 0) -> int:
        """Connect `callback` for exactly one call; returns the connection id."""

    def connect_finite(
        self, callback: _Callback[_P], times: int, weak: bool = False, priority: int = 0
    ) -> int:
        """Connect `callback` for `times` calls (at least 1); returns the
        connection id."""

    def disconnect(self, id: int) -> bool:
        """Remove a connection by id; True if it was there."""

    def connected(
        self, callback: _Callback[_P], weak: bool = False, priority: int = 0
    ) -> SignalConnection:
        """Connect `callback` and return a context manager that gives the id
        on entry and disconnects on exit."""

    # A ParamSpec cannot carry the extra keyword on_error: a call that gives
    # on_error is checked for the mode alone.
    @overload
    def emit(self, *args: _P.args, **kwargs: _P.kwargs) -> list[Any]:
        """Call every callback as `callback(*args, **kwargs)` in order and
        return their results. With on_error="collect" an exception takes its
        callback's place in the list instead of stopping the emission."""
    @overload
    def emit(self, *args: Any, on_error: _ErrorMode, **kwargs: Any) -> list[Any]: ...
    @overload
    def emit_async(self, *args: _P.args, **kwargs: _P.kwargs) -> Coroutine[Any, Any, list[Any]]:
        """Call every callback like emit() and return a coroutine that awaits
        the awaitable results concurrently and gives the completed list.
        Needs a running event loop."""
    @overload
    def emit_async(
        self, *args: Any, on_error: _ErrorMode, **kwargs: Any
    ) -> Coroutine[Any, Any, list[Any]]: ...
    def disconnect_callback(self, callback: Callable[..., object]) -> int:
        """Remove every connection whose callback equals `callback` (for a
        weak connection, its live referent); returns how many were removed."""

    # With max_args the callable may take fewer parameters than the signal
    # emits; without it, it must take what the signal emits. `sender=...`
    # means not given: any object given, None included, filters. throttle
    # and debounce are seconds (an int is a float to a checker), one or the
    # other.
    @overload
    def listener(
        self,
        callback: _F,
        *,
        weak: bool = False,
        priority: int = 0,
        times: int | None = None,
        loop: _LoopTarget | None = None,
        unique: bool = False,
        max_args: int | Literal["auto"],
        sender: object = ...,
        throttle: float | None = None,
        debounce: float | None = None,
    ) -> _F: ...
    @overload
    def listener(
        self,
        callback: None = None,
        *,
        weak: bool = False,
        priority: int = 0,
        times: int | None = None,
        loop: _LoopTarget | None = None,
        unique: bool = False,
        max_args: int | Literal["auto"],
        sender: object = ...,
        throttle: float | None = None,
        debounce: float | None = None,
    ) -> _AnyDecorator: ...
    @overload
    def listener(
        self,
        callback: Callable[_P, _R],
        *,
        weak: bool = False,
        priority: int = 0,
        times: int | None = None,
        loop: _LoopTarget | None = None,
        unique: bool = False,
        max_args: None = None,
        sender: object = ...,
        throttle: float | None = None,
        debounce: float | None = None,
    ) -> Callable[_P, _R]:
        """Connect the decorated callable and return it: `@signal.listener` or
        `@signal.listener(weak=False, priority=0, times=None, loop=None,
        unique=False, max_args=None, sender=..., throttle=None,
        debounce=None)`. With `loop`, emissions on other threads run the call
        on that loop's thread and give a concurrent.futures.Future as its
        result; with `unique=True`, nothing is connected if an equal callback
        is; with `max_args`, the call gets only that many positional
        arguments; with `sender`, only emissions whose first argument is that
        object call it; with `throttle=SECONDS`, at most one call per
        interval, the last emission of each made at its end; with
        `debounce=SECONDS`, one call once the emissions have stopped for that
        long."""
    @overload
    def listener(
        self,
        callback: None = None,
        *,
        weak: bool = False,
        priority: int = 0,
        times: int | None = None,
        loop: _LoopTarget | None = None,
        unique: bool = False,
        max_args: None = None,
        sender: object = ...,
        throttle: float | None = None,
        debounce: float | None = None,
    ) -> _Decorator[_P]: ...
    def disconnect_all(self) -> int:
        """Remove every connection and return how many there were; error
        hooks stay."""
    def blocked(self) -> AbstractContextManager[None, None]:
        """A context manager during which emissions call nothing and return
        []; blocks nest."""
    def paused(
        self, reducer: _Reducer | None = None, initial: tuple[Any, ...] = ...
    ) -> AbstractContextManager[None, None]:
        """A context manager during which emissions are recorded and return
        []; the outermost exit emits them again in order, or once with their
        argument tuples folded by reducer(previous, current) from `initial`."""

    def connections(self) -> list[_ConnectionInfo[_P]]:
        """(id, callback, priority, remaining) for each connection, in call
        order."""

@final
class SignalConnection:
    """The context manager returned by Signal.connected(). It holds a strong
    reference to its signal."""

    # Only Signal.connected() makes these; the type cannot be instantiated,
    # and the parameter that no argument can satisfy makes a checker say so.
    def __new__(cls, _unavailable: Never, /) -> Self:
        """Not callable: calling SignalConnection() raises TypeError."""

    def __enter__(self) -> int:
        """The connection id."""

    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]:
        """Disconnect (nothing happens if the connection is already gone);
        exceptions are never suppressed."""

@final
class SignalField(Generic[_P]):
    """A signal declared on a class: `saved = SignalField[[str]]()` gives each
    instance a Signal[[str]] of its own, named after the attribute."""

    def __new__(cls) -> Self:
        """A field without a name; the class statement gives it the attribute's."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """SignalField[[int, str]] at run time: a types.GenericAlias."""

    def __set_name__(self, owner: type[Any], name: str) -> None:
        """Take the attribute's name. TypeError when the class has __slots__
        without "__dict__", or when the field already has another name."""

    @property
    def name(self) -> str | None:
        """The attribute name; None until the class statement has run."""

    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self:
        """On the class: the field itself."""
    @overload
    def __get__(self, instance: object, owner: type[Any] | None = None, /) -> Signal[_P]:
        """On an instance: its own signal, the same object every time."""
    # The signal cannot be replaced: no value is accepted, and at run time
    # assignment raises AttributeError, as deletion does.
    def __set__(self, instance: object, value: Never, /) -> None:
        """Always AttributeError: connect to the signal instead."""

    def __delete__(self, instance: object, /) -> None:
        """Always AttributeError: the signal cannot be deleted."""

_C = TypeVar("_C", bound=type[Any])

def evented(cls: _C, /) -> _C:
    """Decorate a dataclass, an attrs class or a pydantic model so that its
    instances' `events` hold one Signal per field, named after it, and `all`.
    Assigning a value that differs from the old one emits (new, old) on the
    field's signal, then (name, new, old) on `all`. Returns the class (a new
    one for a class with __slots__).

    Type checkers cannot see the `events` an evented class gains; declare it
    for them, under TYPE_CHECKING so that it is no field:
    `if TYPE_CHECKING: events: ClassVar[tarnwick.EventedSignals]`."""

# Only in the stubs: the class of `obj.events` for an evented class, named as
# at run time (tarnwick.EventedSignals, by its __module__ and __name__). At
# run time it is made by the first evented() call and is no module
# attribute, so it is imported under TYPE_CHECKING alone.
@final
class EventedSignals:
    """The signals of one evented object: one per field, named after it, and
    `all`. len() and iteration give the field names."""

    @property
    def all(self) -> Signal[[str, Any, Any]]:
        """Emits (name, new, old) after a field's own signal."""
    def __getattr__(self, name: str) -> Signal[[Any, Any]]:
        """A field's signal, which emits (new, old)."""
    def __len__(self) -> int:
        """The number of fields."""
    def __iter__(self) -> Iterator[str]:
        """The field names, in the class's order."""
    def blocked(self) -> AbstractContextManager[Self, None]:
        """While entered, no field's signal and not `all` emits."""
    def paused(self) -> AbstractContextManager[Self, None]:
        """While entered, changes are recorded; the outermost exit emits them
        in order."""
