"""The module surface: attributes, types, signatures."""

import inspect
import weakref

import pytest

import tarnwick
from support.helpers import run_child
from tarnwick import Signal, SignalConnection


def test_module_attributes():
    assert tarnwick.__doc__ == ""
    assert tarnwick.__all__ == ["Signal", "SignalConnection", "SignalField", "evented"]
    assert tarnwick.evented.__module__ == "tarnwick"
    assert tarnwick.evented.__text_signature__ == "(cls, /)"
    assert tarnwick.SignalField.__module__ == "tarnwick"
    assert Signal.__module__ == "builtins"
    assert SignalConnection.__module__ == "builtins"
    assert Signal.__qualname__ == "Signal"
    assert "builtins.Signal" in repr(Signal)


def test_reimport_shares_the_types():
    import importlib.util
    import sys

    found = importlib.util.find_spec("tarnwick")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again.Signal is Signal
    assert again.SignalConnection is SignalConnection
    assert again.SignalField is tarnwick.SignalField
    assert sys.modules["tarnwick"] is tarnwick


@pytest.mark.parametrize("base", [Signal, SignalConnection])
def test_types_are_final(base):
    with pytest.raises(TypeError):
        type("Sub", (base,), {})


def test_instances_have_no_dict_or_weakrefs():
    s = Signal()
    with pytest.raises(TypeError):
        weakref.ref(s)
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        SignalConnection()


def test_truth_follows_length():
    s = Signal()
    assert not s
    s.connect(print)
    assert s


def test_text_signatures_and_docs():
    assert Signal.__text_signature__ == "(name=None)"
    assert Signal.__doc__ == ""
    assert Signal.connect_finite.__text_signature__ == "($self, callback, times, weak=False, priority=0)"
    assert Signal.connect.__doc__ is None
    assert Signal.clear_error_hooks.__doc__ == "Remove all registered error hooks."
    assert Signal.on_error.__doc__.startswith("Register a hook called as `hook(exception, callback)`")
    assert Signal.on_error.__doc__.endswith("every call site.")
    assert str(inspect.signature(Signal.emit)) == "(self, /, *args, on_error='fast_fail', **kwargs)"
    assert str(inspect.signature(Signal.connect)) == "(self, /, callback, weak=False, priority=0)"
    assert str(inspect.signature(SignalConnection.__exit__)) == "(self, /, _exc_type, _exc_val, _exc_tb)"
    methods = [name for name in vars(Signal) if not name.startswith("__")]
    assert methods == [
        "on_error", "clear_error_hooks", "connect", "connect_once", "connect_finite",
        "disconnect", "connected", "emit", "emit_async",
        "disconnect_callback", "listener", "blocked", "paused", "connections", "disconnect_all",
    ]
    for name in methods[9:]:
        method = getattr(Signal, name)
        assert method.__text_signature__.startswith("($self")
        assert len(method.__doc__) > 40
    assert Signal.__class_getitem__.__text_signature__ == "($cls, item, /)"


def test_on_error_is_keyword_only():
    s = Signal()
    seen = []
    s.connect(lambda *a, **k: seen.append((a, k)))
    s.emit(on_error="collect")
    s.emit("collect")
    assert seen == [((), {}), (("collect",), {})]


def test_import_leaves_the_gil_disabled():
    import os
    import sysconfig

    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("needs a free-threaded interpreter")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run_child("gil_child.py", flags=("-W", "error::RuntimeWarning"), env=env, timeout=60)


@pytest.mark.parametrize("case", ["submodule", "removed_from_sys_modules", "removed_everywhere"])
def test_testing_finds_its_native_half_by_an_ordinary_import(case):
    out, _ = run_child("observers_import_child.py", case, timeout=60)
    assert out.rstrip().endswith("passed"), out


def test_every_public_name_in_the_stubs_has_a_docstring():
    # Editors show the stubs' docstrings on hover, where help() shows the
    # module's own (empty for the connect family and emit).
    import ast
    import sysconfig
    from pathlib import Path

    # The checkout's stubs, or, where the tests run beside an installed wheel
    # only, the stubs that the wheel installed.
    places = [Path(__file__).resolve().parent.parent / "stubs",
              *(Path(sysconfig.get_paths()[key]) for key in ("platlib", "purelib"))]
    stubs = next(p / "tarnwick-stubs" / "__init__.pyi" for p in places
                 if (p / "tarnwick-stubs" / "__init__.pyi").is_file())
    tree = ast.parse(stubs.read_text(encoding="utf-8"))
    public = lambda name: not name.startswith("_") or (name.startswith("__") and name.endswith("__"))
    missing = []
    for cls in tree.body:
        if not isinstance(cls, ast.ClassDef) or not public(cls.name):
            continue
        if ast.get_docstring(cls) is None:
            missing.append(cls.name)
        # An overloaded method needs it once, on any of its signatures.
        documented = {}
        for fn in cls.body:
            if isinstance(fn, ast.FunctionDef) and public(fn.name):
                documented[fn.name] = documented.get(fn.name, False) or ast.get_docstring(fn) is not None
        missing += [f"{cls.name}.{name}" for name, has in documented.items() if not has]
    functions = [f for f in tree.body if isinstance(f, ast.FunctionDef) and public(f.name)]
    missing += [f.name for f in functions if ast.get_docstring(f) is None]
    classes = {c.name for c in tree.body if isinstance(c, ast.ClassDef) and public(c.name)}
    # The evented group's class and the dispatcher protocol, named in the
    # stubs alone for annotations.
    stubs_only = {"EventedSignals", "Dispatcher"}
    assert classes | {f.name for f in functions} == set(tarnwick.__all__) | stubs_only
    assert not any(hasattr(tarnwick, name) for name in stubs_only)
    assert not missing, f"no docstring in the stubs: {missing}"
