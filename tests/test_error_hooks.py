"""Error hooks: registration, clearing and notification."""

import pytest

from support.helpers import run_child
from tarnwick import Signal


def failing(exc):
    def cb(*args, **kwargs):
        raise exc

    return cb


def test_non_callable_hook_is_refused():
    s = Signal()
    with pytest.raises(TypeError, match=r"^Error handler must be a function\.$"):
        s.on_error(42)
    s.connect(failing(ValueError()))
    assert len(s.emit(on_error="collect")) == 1


def test_any_callable_is_a_hook_and_on_error_returns_none():
    s = Signal()
    seen = []

    class Hook:
        def __init__(self, exc, cb):
            seen.append("class")

        def method(self, exc, cb):
            seen.append("method")

    class Instance:
        def __call__(self, exc, cb):
            seen.append("instance")

    assert s.on_error(Hook) is None
    s.on_error(Hook.__new__(Hook).method)
    s.on_error(Instance())

    @s.on_error
    def decorated(exc, cb):
        seen.append("decorated")

    assert decorated is None
    s.connect(failing(ValueError()))
    s.emit(on_error="collect")
    assert seen == ["class", "method", "instance", "decorated"]


def test_hooks_in_order_with_the_same_exception_and_callable():
    s = Signal()
    seen = []
    a = lambda exc, cb: seen.append(("A", exc, cb))  # noqa: E731
    s.on_error(a)
    s.on_error(lambda exc, cb: seen.append(("B", exc, cb)))
    s.on_error(a)
    err = RuntimeError("x")
    cb = failing(err)
    s.connect(cb)
    with pytest.raises(RuntimeError):
        s.emit()
    assert seen == [("A", err, cb), ("B", err, cb), ("A", err, cb)]


def test_a_raising_hook_is_printed_and_does_not_change_the_outcome(capsys):
    s = Signal()
    later = []
    s.on_error(failing(KeyError("hook broke")))
    s.on_error(lambda exc, cb: later.append(exc))
    err = ValueError("callback broke")
    s.connect(failing(err))
    with pytest.raises(ValueError) as info:
        s.emit()
    assert info.value is err
    assert s.emit(on_error="collect") == [err]
    assert later == [err, err]
    printed = capsys.readouterr().err
    assert printed.count("KeyError: 'hook broke'") == 2


def test_a_hook_raising_system_exit_does_not_end_the_process(capsys):
    s = Signal()
    s.on_error(failing(SystemExit(3)))
    s.connect(failing(ValueError("v")))
    [got] = s.emit(on_error="collect")
    assert isinstance(got, ValueError)
    assert "SystemExit" in capsys.readouterr().err


def test_an_excepthook_raising_system_exit_does_not_end_the_process():
    out, err = run_child("excepthook_exit_child.py", timeout=60)
    assert out.splitlines() == [
        "second hook", "[IndexError('list index out of range')]", "still alive"]
    # The excepthook's failure, then the hook's own exception, as unraisable.
    assert err.index("SystemExit: 7") < err.index("ZeroDivisionError")


def test_without_sys_excepthook_a_failing_hook_is_unraisable(monkeypatch):
    import sys

    monkeypatch.delattr(sys, "excepthook")
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    s = Signal()
    hook = failing(KeyError("k"))
    s.on_error(hook)
    s.connect(failing(ValueError("v")))
    [got] = s.emit(on_error="collect")
    assert type(got) is ValueError
    assert seen == [(KeyError, hook)]


def test_hooks_see_every_failure_in_collect_mode():
    s = Signal()
    seen = []
    s.on_error(lambda exc, cb: seen.append(exc))
    errors = [ValueError(i) for i in range(3)]
    for e in errors:
        s.connect(failing(e))
    assert s.emit(on_error="collect") == errors
    assert seen == errors


def test_clear_error_hooks():
    s = Signal()
    assert s.clear_error_hooks() is None
    seen = []
    s.on_error(lambda *a: seen.append(a))
    s.clear_error_hooks()
    s.connect(failing(ValueError()))
    assert len(s.emit(on_error="collect")) == 1
    assert seen == []


def test_weak_method_is_reported_as_the_bound_method():
    class Obj:
        def m(self):
            raise ValueError("m")

    obj = Obj()
    s = Signal()
    seen = []
    s.on_error(lambda exc, cb: seen.append(cb))
    s.connect(obj.m, weak=True)
    s.emit(on_error="collect")
    assert seen == [obj.m]


def test_hooks_may_change_the_hook_list_while_running():
    s = Signal()
    seen = []

    def registering(exc, cb):
        seen.append("registering")
        s.on_error(lambda exc, cb: seen.append("added"))

    def clearing(exc, cb):
        seen.append("clearing")
        s.clear_error_hooks()

    s.on_error(registering)
    s.on_error(clearing)
    s.on_error(lambda exc, cb: seen.append("last"))
    s.connect(failing(ValueError()))
    s.emit(on_error="collect")
    # The walk runs over the list as it was; the clear empties it for next time.
    assert seen == ["registering", "clearing", "last"]
    seen.clear()
    s.emit(on_error="collect")
    assert seen == []


def test_hook_may_emit_and_connect():
    s = Signal()
    other = []

    def hook(exc, cb):
        s.connect_once(lambda: other.append("from hook"))

    s.on_error(hook)
    s.connect_once(failing(ValueError()))
    s.emit(on_error="collect")
    assert s.emit() == [None] and other == ["from hook"]
