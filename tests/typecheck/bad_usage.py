"""Misuses of tarnwick's API that type checkers must reject.

tools/ci/typing.sh runs mypy --strict and pyright on this file and requires an
error on every line marked "# expect-error" and on no other line. Never run.
"""

from typing import Any

from tarnwick import Signal, SignalConnection


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
s.emit(on_error="ignore")  # expect-error
s.emit("x", on_error=None)  # expect-error
s.emit_async(on_error="skip")  # expect-error
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
