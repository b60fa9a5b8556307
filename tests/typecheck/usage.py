"""Typed use of tarnwick's whole API.

Type-checked by tools/ci/typing.sh with mypy --strict and pyright (strict, as
the comment below asks), and also run, so every call here is valid at run time
too. Not a pytest module: the name has no test_ prefix.
"""
# pyright: strict

import asyncio
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Literal, assert_type

from tarnwick import Signal, SignalConnection, SignalField, evented

if TYPE_CHECKING:
    # Only in the stubs: no module attribute at run time.
    from tarnwick import EventedSignals

saved = Signal("saved")
assert_type(Signal(), Signal)
assert_type(Signal(None), Signal)
assert_type(Signal(name="named"), Signal)


def index(path: str) -> str:
    return f"indexed {path}"


async def upload(path: str) -> str:
    await asyncio.sleep(0)
    return f"uploaded {path}"


class Observer:
    def on_saved(self, path: str, *, reason: str = "") -> None:
        pass


observer = Observer()

assert_type(saved.connect(index), int)
assert_type(saved.connect(observer.on_saved, weak=True), int)
assert_type(saved.connect(len, priority=-5), int)
assert_type(saved.connect(callback=index, weak=False, priority=2**31 - 1), int)
assert_type(saved.connect_once(index), int)
assert_type(saved.connect_once(observer.on_saved, True, 3), int)
assert_type(saved.connect_finite(index, 3), int)
assert_type(saved.connect_finite(index, times=2, weak=False, priority=1), int)
assert_type(saved.disconnect(0), bool)
assert_type(saved.disconnect(id=12345), bool)
assert_type(len(saved), int)

results = saved.emit("a.txt")
assert_type(results, list[Any])
assert results[0] == "indexed a.txt"
assert_type(saved.emit("a.txt", reason="manual", on_error="collect"), list[Any])
assert_type(saved.emit("a.txt", on_error="fast_fail"), list[Any])
mode: Literal["fast_fail", "collect"] = "collect"
saved.emit("b.txt", on_error=mode)

# A hook may take exactly what it is given, or anything wider.
def log_failure(exc: BaseException, callback: Callable[..., Any]) -> None:
    pass


def log_anything(*args: object) -> bool:
    return True


assert_type(saved.on_error(log_failure), None)
saved.on_error(log_anything)
saved.on_error(lambda exc, callback: print(type(exc).__name__, callback))
assert_type(saved.clear_error_hooks(), None)

connection = saved.connected(index, weak=False, priority=7)
assert_type(connection, SignalConnection)
with connection as cid:
    assert_type(cid, int)


def scoped_id() -> int:
    # __exit__ returns Literal[False], so checkers know the with block never
    # swallows an exception and this function always returns.
    with saved.connected(index) as cid:
        return cid


assert_type(scoped_id(), int)
assert_type(saved.connected(index).__exit__(None, None, None), Literal[False])


async def main() -> list[Any]:
    uploads = Signal("uploads")
    uploads.connect(upload)
    pending = assert_type(
        uploads.emit_async("c.txt", on_error="collect"), Coroutine[Any, Any, list[Any]]
    )
    done = await pending
    assert_type(done, list[Any])
    task = asyncio.create_task(uploads.emit_async("d.txt"))  # a real coroutine
    return done + await task


assert asyncio.run(main()) == ["uploaded c.txt", "uploaded d.txt"]


# Typed signals: what a signal emits is part of its type.
changed: Signal[[int, str]] = Signal("changed")
short_form: Signal[int, str] = Signal()
nothing: Signal[[]] = Signal()


def on_changed(n: int, text: str) -> str:
    return text * n


def on_changed_wider(n: float, text: str, *rest: object) -> None:
    pass


assert_type(changed.connect(on_changed), int)
changed.connect(on_changed_wider, priority=1)
changed.connect(lambda n, text: None)
changed.connect_once(on_changed)
changed.connect_finite(on_changed, 2)
short_form.connect(on_changed)
nothing.connect(lambda: "fired")
with changed.connected(on_changed) as changed_id:
    assert_type(changed_id, int)
assert_type(changed.emit(2, "ab"), list[Any])
changed.emit(2, "ab", on_error="collect")
short_form.emit(1, "x")
assert nothing.emit() == ["fired"]


# listener: bare, with options, and called directly; the callable comes back.
@changed.listener
def on_changed_too(n: int, text: str) -> int:
    return n


@changed.listener(priority=5, times=3, weak=False)
def on_changed_first(n: int, text: str) -> str:
    return text


assert_type(on_changed_too(1, "a"), int)
assert_type(on_changed_first(1, "a"), str)
assert_type(saved.listener(index), Callable[..., str])
assert_type(changed.disconnect_callback(on_changed_too), int)
assert_type(saved.disconnect_callback(len), int)

with changed.blocked() as entered:
    assert_type(entered, None)
    assert changed.emit(1, "a") == []

for cid, callback, priority, remaining in changed.connections():
    assert_type(cid, int)
    assert_type(priority, int)
    assert_type(remaining, int | None)
    if callback is not None:
        callback(1, "a")
listed = saved.connections()
assert_type(listed, list[tuple[int, Callable[..., Any] | None, int, int | None]])


class Model:
    # Annotations evaluated at run time work too.
    renamed: Signal[[str, str]]

    def __init__(self) -> None:
        self.renamed = Signal("renamed")


Model().renamed.emit("old", "new")


class Document:
    # One signal per instance, declared on the class.
    saved = SignalField()
    renamed = SignalField[[str, str]]()
    closed = SignalField[str]()


doc = Document()
assert_type(Document.renamed, SignalField[[str, str]])
assert_type(doc.renamed, Signal[[str, str]])
assert_type(doc.closed, Signal[[str]])
assert_type(Document.renamed.name, str | None)
assert doc.renamed is doc.renamed and doc.renamed is not Document().renamed
doc.renamed.connect(lambda old, new: None)
doc.renamed.emit("old", "new")
doc.saved.emit(1, anything="goes")


def on_closed(reason: str) -> None:
    pass


# Delivery on a loop's thread, unique connections, dropping them all.
delivery_loop = asyncio.new_event_loop()
assert_type(doc.closed.listener(on_closed, loop=delivery_loop), Callable[[str], None])
assert_type(doc.closed.listener(on_closed, unique=True), Callable[[str], None])
doc.closed.listener(loop=delivery_loop, unique=True)(on_closed)


# Fewer parameters than the signal emits, with max_args; senders; pausing.
def on_anything() -> int:
    return 0


assert_type(changed.listener(on_anything, max_args=0), Callable[[], int])
assert_type(changed.listener(max_args="auto", sender=None)(on_anything), Callable[[], int])
changed.listener(on_changed_too, sender=doc, priority=1)
with changed.paused() as paused_entered:
    assert_type(paused_entered, None)
with changed.paused(lambda previous, current: previous + current, initial=()):
    changed.emit(1, "a")
# Throttled and debounced: seconds as a float or an int; the decorator flushes.
assert_type(doc.closed.listener(on_closed, throttle=0.05), Callable[[str], None])
debounced = doc.closed.listener(debounce=1, loop=delivery_loop)
assert_type(debounced(on_closed), Callable[[str], None])
assert_type(debounced.flush(), None)
changed.listener(max_args=0, debounce=0.5)(on_anything)
assert_type(doc.closed.disconnect_all(), int)
delivery_loop.close()

# evented: the checkers see the class unchanged; `events` is declared for them.
@evented
@dataclass
class Layer:
    name: str
    opacity: float = 1.0
    if TYPE_CHECKING:
        events: ClassVar[EventedSignals]


def on_opacity(new: float, old: float) -> None: ...


layer = Layer("a")
assert_type(Layer("b"), Layer)
assert_type(layer.events.opacity, Signal[[Any, Any]])
assert_type(layer.events.all, Signal[[str, Any, Any]])
layer.events.opacity.connect(on_opacity)
layer.events.all.connect(lambda name, new, old: None)
with layer.events.blocked() as group:
    assert_type(group, "EventedSignals")
    layer.opacity = 0.5
with layer.events.paused():
    layer.opacity = 0.25
assert_type(len(layer.events), int)
assert_type(list(layer.events), list[str])
