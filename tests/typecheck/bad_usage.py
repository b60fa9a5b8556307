"""Misuses of tarnwick's API that type checkers must reject.

tools/ci/typing.sh runs mypy --strict and pyright on this file and requires an
error on every line marked "# expect-error" and on no other line. Never run.
"""

from typing import Any

from tarnwick import Signal, SignalConnection, SignalField


def handler(path: str) -> str:
    return path


s = Signal("bad")

Signal(5)  # expect-error
Signal("a", "b")  # expect-error
s.connect(5)  # expect-error
s.connect("handler")  # expect-error
s.connect(handler, weak="yes")  # expect-error
s.connect(handler, priority=1.5)  # expect-error
s.connect(handler, prio=1)  # expect-error
s.connect_once()  # expect-error
s.connect_finite(handler)  # expect-error
s.connect_finite(handler, times="3")  # expect-error
s.disconnect("0")  # expect-error
s.disconnect()  # expect-error
typed: Signal[[str]] = Signal()
typed.emit("x", on_error="ignore")  # expect-error
typed.emit("x", on_error=None)  # expect-error
typed.emit_async("x", on_error="skip")  # expect-error
count: int = s.emit()  # expect-error
s.emit().bit_length()  # expect-error
name: str = s.connect(handler)  # expect-error
removed: int = s.disconnect(0) + ""  # expect-error
results: list[Any] = s.emit_async()  # expect-error
s.on_error(42)  # expect-error
s.on_error(lambda: None)  # expect-error
s.on_error(handler)  # expect-error
hooked: int = s.on_error(print)  # expect-error
SignalConnection()  # expect-error
SignalConnection(s)  # expect-error
s.no_such_method()  # expect-error
with s.connected(handler) as cid:
    cid.upper()  # expect-error


class Sub(Signal):  # expect-error
    pass


class SubConnection(SignalConnection):  # expect-error
    pass


# Typed signals check what they emit and what they connect.
def takes_int(n: int) -> int:
    return n


pair: Signal[[int, str]] = Signal()
short: Signal[int, str] = Signal()
pair.emit(1)  # expect-error
pair.emit("1", "a")  # expect-error
pair.emit(1, "a", 2)  # expect-error
short.emit(1, 2)  # expect-error
pair.emit_async(1)  # expect-error
pair.connect(takes_int)  # expect-error
pair.connect(handler)  # expect-error
pair.connect_once(lambda n: n)  # expect-error
pair.connect_finite(takes_int, 2)  # expect-error
pair.connected(takes_int)  # expect-error
pair.listener(takes_int)  # expect-error
pair.listener(priority=1)(takes_int)  # expect-error
typed.emit(b"x")  # expect-error
pair.listener(times="2")  # expect-error
pair.listener(takes_int, True)  # expect-error
pair.disconnect_callback(5)  # expect-error
removed_count: str = pair.disconnect_callback(takes_int)  # expect-error
with pair.blocked() as nothing:
    nothing.upper()  # expect-error
for cid, callback, priority, remaining in pair.connections():
    remaining + 1  # expect-error
    callback(1, "a")  # expect-error


class Document:
    saved = SignalField()
    renamed = SignalField[[str, str]]()


doc = Document()
doc.renamed.emit(1)  # expect-error
doc.renamed.emit("old")  # expect-error
doc.renamed.connect(takes_int)  # expect-error
doc.saved = Signal()  # expect-error
Document.renamed.emit("a", "b")  # expect-error
SignalField("name")  # expect-error
pair.listener(takes_int, loop="main")  # expect-error
pair.listener(loop=5)  # expect-error
pair.listener(unique="yes")  # expect-error
dropped: str = pair.disconnect_all()  # expect-error


def no_parameters() -> None:
    pass


typed.listener(no_parameters)  # expect-error
typed.listener()(no_parameters)  # expect-error
typed.listener(no_parameters, max_args="all")  # expect-error
typed.listener(no_parameters, max_args=1.0)  # expect-error
typed.listener(no_parameters, throttle=0.5)  # expect-error
typed.listener(throttle="0.5")  # expect-error
typed.listener(debounce=[1])  # expect-error
typed.paused(5)  # expect-error
typed.paused(lambda previous: previous)  # expect-error
