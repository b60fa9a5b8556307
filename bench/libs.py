"""The libraries under comparison, each described by how a user writes the
operations the suite times.

Every library supplies statement templates (source text compiled into the
timing loops, so no adapter call sits between the timer and the library) and
a few plain methods used only while setting a benchmark up. A template that is
None means the case does not apply to that library; `why_not` says why, and
that reason ends up in the results.

Names that templates may use:
    s        the signal (for Qt, the bound SignalInstance of a live QObject)
    x, y, z  positional arguments
    c{i}     the i-th distinct callback of a chunk, o{i} the i-th instance
    i{i}     whatever connecting c{i} returned, where disconnecting needs it
    c        one callback (pair and one-shot cases)
    cbs      a list of distinct callbacks (10^4 cases)
"""

from __future__ import annotations

import importlib.metadata
import os


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


# Callback factories. Each call returns a new function object, so that a
# library which deduplicates receivers (blinker, django) really holds N
# entries when N are connected.

def _trivial_pos():
    def cb(x):
        return None
    return cb


def _body_pos():
    def cb(x):
        list(range(2))
    return cb


def _trivial_pos3():
    def cb(x, y, z):
        return None
    return cb


def _trivial_kw():
    def cb(x, a=None, b=None):
        return None
    return cb


def _async_pos():
    async def cb(x):
        return None
    return cb


# Receivers in blinker's convention: receiver(sender, **kwargs).
def _blinker_kw():
    def cb(sender, a=None, b=None):
        return None
    return cb


def _blinker_async():
    async def cb(sender):
        return None
    return cb


# Receivers in django's convention, which requires **kwargs: the signal
# passes signal= and sender= by keyword.
def _django_trivial():
    def cb(sender, **kwargs):
        return None
    return cb


def _django_body():
    def cb(sender, **kwargs):
        list(range(2))
    return cb


def _django_async():
    async def cb(sender, **kwargs):
        return None
    return cb


class Target:
    """A plain class whose bound methods the method-connect cases use."""

    def on(self, x):
        return None


class Lib:
    key = ""
    label = ""
    dist = ""           # distribution name for the version
    kind = "peer"       # "tarnwick", "floor" or "peer"

    # Templates (see module docstring); None = not applicable.
    create = None
    new = "s = Signal()"               # make a fresh signal inside a loop
    new3 = None                        # same, for three positional arguments
    connect = None                     # strong function, chunk item
    connect_method = None              # strong bound method, chunk item
    connect_weak_method = None         # weak bound method, chunk item
    connect_for_disconnect = None      # chunk item used before disconnecting
    disconnect = None                  # chunk item
    pair = None                        # connect then disconnect c
    emit = None                        # one positional argument
    emit3 = None                       # three positional arguments
    emit_kw = None                     # one positional, two keywords
    once = None                        # one-shot connect of c, then emit
    once_native = True                 # False: emulated with connect/emit/disconnect
    once_many = None                   # connect every cb in cbs once, then one emit
    emit_async = None                  # awaited expression
    block = None                       # set-up: suppress s's emissions for the rest of the run
    why_not: dict[str, str] = {}

    def __init__(self):
        self.version = "?"
        self.notes: list[str] = []

    # --- set-up helpers (never timed) ---
    def load(self) -> dict:
        """Imports the library; returns the names templates need."""
        raise NotImplementedError

    def make_signal(self, ns: dict, arity: int = 1):
        exec(self.new if arity == 1 else self.new3, ns)
        return ns["s"]

    def add(self, s, cb):
        raise NotImplementedError

    def callback(self, kind: str):
        return {"trivial": _trivial_pos, "body": _body_pos, "pos3": _trivial_pos3,
                "kw": _trivial_kw, "async": _async_pos}[kind]()

    def info(self) -> dict:
        return {"label": self.label, "version": self.version, "kind": self.kind,
                "notes": list(self.notes)}


class Floor(Lib):
    key = "floor"
    label = "floor (list comprehension)"
    kind = "floor"
    create = "[]"
    new = "s = []"
    connect = "s.append(c{i})"
    connect_method = "s.append(o{i}.on)"
    connect_weak_method = "s.append(WeakMethod(o{i}.on))"
    connect_for_disconnect = "s.append(c{i})"
    disconnect = "s.remove(c{i})"
    pair = "s.append(c); s.remove(c)"
    emit = "[f(x) for f in s]"
    emit3 = "[f(x, y, z) for f in s]"
    emit_kw = "[f(x, a=1, b=2) for f in s]"
    once = "s.append(c); [f(x) for f in s]; s.clear()"
    once_many = "for _c in cbs: s.append(_c)\n[f(x) for f in s]\ns.clear()"
    emit_async = "asyncio.gather(*[f(x) for f in s])"

    def load(self):
        import asyncio
        import sys
        import weakref
        self.version = sys.version.split()[0]
        self.notes.append("what a user writes by hand: `[f(x) for f in fs]` over a list")
        return {"WeakMethod": weakref.WeakMethod, "asyncio": asyncio}

    def make_signal(self, ns, arity=1):
        return []

    def add(self, s, cb):
        s.append(cb)


class Tarnwick(Lib):
    key = "tarnwick"
    label = "tarnwick"
    dist = "tarnwick"
    kind = "tarnwick"
    create = "Signal()"
    new3 = "s = Signal()"
    connect = "s.connect(c{i})"
    connect_method = "s.connect(o{i}.on)"
    connect_weak_method = "s.connect(o{i}.on, weak=True)"
    connect_for_disconnect = "i{i} = s.connect(c{i})"
    disconnect = "s.disconnect(i{i})"
    pair = "s.disconnect(s.connect(c))"
    emit = "s.emit(x)"
    emit3 = "s.emit(x, y, z)"
    emit_kw = "s.emit(x, a=1, b=2)"
    once = "s.connect_once(c); s.emit(x)"
    once_many = "for _c in cbs: s.connect_once(_c)\ns.emit(x)"
    emit_async = "s.emit_async(x)"
    block = "_block = s.blocked(); _block.__enter__()"

    def load(self):
        import tarnwick
        self.version = _version("tarnwick")
        self.notes.append(f"module {tarnwick.__file__}")
        return {"Signal": tarnwick.Signal}

    def add(self, s, cb):
        s.connect(cb)


class Psygnal(Lib):
    key = "psygnal"
    label = "psygnal"
    dist = "psygnal"
    create = "SignalInstance((object,))"
    new = "s = SignalInstance((object,))"
    new3 = "s = SignalInstance((object, object, object))"
    connect = "s.connect(c{i})"
    connect_weak_method = "s.connect(o{i}.on)"
    connect_for_disconnect = "s.connect(c{i})"
    disconnect = "s.disconnect(c{i})"
    pair = "s.connect(c); s.disconnect(c)"
    emit = "s.emit(x)"
    emit3 = "s.emit(x, y, z)"
    once = "s.connect(c); s.emit(x); s.disconnect(c)"
    once_native = False
    block = "_block = s.blocked(); _block.__enter__()"
    why_not = {
        "connect_method": "psygnal always holds bound methods weakly (see the weak case)",
        "emit_kw": "psygnal's emit takes positional arguments only",
        "once_many": "psygnal has no one-shot connection",
        "emit_async": "psygnal has no awaiting emission",
    }

    def load(self):
        import psygnal
        self.version = _version("psygnal")
        self.compiled = bool(getattr(psygnal, "_compiled", False))
        self.notes.append(f"psygnal._compiled = {self.compiled}"
                          + ("" if self.compiled else " (pure Python: the compiled wheel was not used!)"))
        self.notes.append("a standalone SignalInstance; emit() with its default checks")
        return {"SignalInstance": psygnal.SignalInstance}

    def add(self, s, cb):
        s.connect(cb)

    def info(self):
        d = super().info()
        d["compiled"] = getattr(self, "compiled", None)
        return d


class PsygnalFast(Psygnal):
    """psygnal's emit_fast(), its leanest emission path, in the emit cases only."""
    key = "psygnal_fast"
    label = "psygnal emit_fast"
    create = connect = connect_weak_method = connect_for_disconnect = disconnect = pair = None
    once = None
    emit = "s.emit_fast(x)"
    emit3 = "s.emit_fast(x, y, z)"
    why_not = {"*": "emit cases only (the rest is the same as psygnal)"}

    def load(self):
        names = super().load()
        self.notes = [n for n in self.notes if n.startswith("psygnal._compiled")]
        self.notes.append("the same SignalInstance, emitted with emit_fast(), which skips emit()'s "
                          "argument checks and bookkeeping")
        return names


class Blinker(Lib):
    key = "blinker"
    label = "blinker"
    dist = "blinker"
    create = "Signal()"
    connect = "s.connect(c{i}, weak=False)"
    connect_method = "s.connect(o{i}.on, weak=False)"
    connect_weak_method = "s.connect(o{i}.on)"
    connect_for_disconnect = "s.connect(c{i}, weak=False)"
    disconnect = "s.disconnect(c{i})"
    pair = "s.connect(c, weak=False); s.disconnect(c)"
    emit = "s.send(x)"
    emit_kw = "s.send(x, a=1, b=2)"
    once = "s.connect(c, weak=False); s.send(x); s.disconnect(c)"
    once_native = False
    emit_async = "s.send_async(x)"
    block = "_block = s.muted(); _block.__enter__()"
    why_not = {
        "emit3": "blinker sends one sender plus keywords",
        "once_many": "blinker has no one-shot connection",
    }

    def load(self):
        import blinker
        self.version = _version("blinker")
        self.notes.append("receivers called as receiver(sender, **kwargs); strong refs (weak=False) except in the weak case")
        return {"Signal": blinker.Signal}

    def add(self, s, cb):
        s.connect(cb, weak=False)

    def callback(self, kind):
        if kind == "kw":
            return _blinker_kw()
        if kind == "async":
            return _blinker_async()
        return super().callback(kind)


class Django(Lib):
    key = "django"
    label = "django.dispatch"
    dist = "django"
    create = "Signal()"
    connect = "s.connect(c{i}, weak=False)"
    connect_method = "s.connect(o{i}.on, weak=False)"
    connect_weak_method = "s.connect(o{i}.on)"
    connect_for_disconnect = "s.connect(c{i}, weak=False)"
    disconnect = "s.disconnect(c{i})"
    pair = "s.connect(c, weak=False); s.disconnect(c)"
    emit = "s.send(x)"
    emit_kw = "s.send(x, a=1, b=2)"
    once = "s.connect(c, weak=False); s.send(x); s.disconnect(c)"
    once_native = False
    emit_async = "s.asend(x)"
    why_not = {
        "emit3": "django sends one sender plus keywords",
        "once_many": "django has no one-shot connection",
    }

    def load(self):
        import django
        from django.conf import settings
        if not settings.configured:
            settings.configure()  # DEBUG=False: no receiver signature checks
        import django.dispatch
        self.version = _version("django")
        self.notes.append("receivers in django's form receiver(sender, **kwargs); weak=False except in the weak case")
        return {"Signal": django.dispatch.Signal}

    def add(self, s, cb):
        s.connect(cb, weak=False)

    def callback(self, kind):
        if kind in ("trivial", "pos3"):
            return _django_trivial()
        if kind == "kw":
            return _django_trivial()
        if kind == "body":
            return _django_body()
        if kind == "async":
            return _django_async()
        raise KeyError(kind)

    class _Method:
        def on(self, sender, **kwargs):
            return None


class PySide6Lib(Lib):
    key = "pyside6"
    label = "PySide6 Signal"
    dist = "PySide6-Essentials"
    create = "E()"
    new = "_e = E(); s = _e.sig1"
    new3 = "_e = E(); s = _e.sig3"
    connect = "s.connect(c{i})"
    connect_method = "s.connect(o{i}.on)"
    connect_for_disconnect = "s.connect(c{i})"
    disconnect = "s.disconnect(c{i})"
    pair = "s.connect(c); s.disconnect(c)"
    emit = "s.emit(x)"
    emit3 = "s.emit(x, y, z)"
    once = "s.connect(c, SINGLE_SHOT); s.emit(x)"
    once_many = "for _c in cbs: s.connect(_c, SINGLE_SHOT)\ns.emit(x)"
    why_not = {
        "connect_weak_method": "PySide6 has no weak/strong choice for a Python slot",
        "emit_kw": "Qt signals take positional arguments only",
        "emit_async": "Qt signals have no awaiting emission",
    }

    def load(self):
        os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
        import PySide6
        from PySide6.QtCore import QCoreApplication, QObject, Qt, Signal

        class E(QObject):
            sig1 = Signal(object)
            sig3 = Signal(object, object, object)

        self._app = QCoreApplication.instance() or QCoreApplication([])
        self.version = getattr(PySide6, "__version__", _version("PySide6-Essentials"))
        self.notes.append("a Signal(object) class attribute on a QObject subclass; Python callables as slots, "
                          "direct connections, QT_QPA_PLATFORM=offscreen")
        self.notes.append("'create' makes one QObject instance, which is what carries the signal")
        return {"E": E, "SINGLE_SHOT": Qt.ConnectionType.SingleShotConnection}

    def make_signal(self, ns, arity=1):
        e = ns["E"]()
        ns.setdefault("_owners", []).append(e)  # the SignalInstance does not keep it alive
        return e.sig1 if arity == 1 else e.sig3

    def add(self, s, cb):
        s.connect(cb)


ALL = [Tarnwick, Floor, Psygnal, PsygnalFast, Blinker, Django, PySide6Lib]
BY_KEY = {cls.key: cls for cls in ALL}


def method_target(lib: Lib):
    return Django._Method() if isinstance(lib, Django) else Target()
