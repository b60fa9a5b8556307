"""Child process of test_paused.py: a SignalPauser that goes while entered,
with a replay that fails. The argument says how it goes and what fails:
"callback", "reducer" (released by `del`), "cycle" (collected by gc from a
reference cycle), "default-hook" (a failing callback, reported by the
interpreter's own hook). The replay must happen, and its first failure
reach sys.unraisablehook with the signal, which stays usable after."""

import gc
import sys

from tarnwick import Signal

mode = sys.argv[1]
reported = []
if mode != "default-hook":
    # Keeps the objects it is given, as a hook that logs them later would.
    sys.unraisablehook = lambda u: reported.append((u.exc_type, u.object))

s = Signal("paused")
calls = []


def callback(*args):
    calls.append(args)
    if mode != "reducer":
        raise KeyError(args)


s.connect(callback)


def enter(reducer=None):
    pauser = s.paused(reducer)
    pauser.__enter__()
    s.emit(1)
    s.emit(2)
    return pauser


if mode == "reducer":
    p = enter(lambda previous, current: 1 / 0)
    del p
elif mode == "cycle":
    class Box:
        pass

    box = Box()
    box.pauser = enter()
    box.itself = box
    del box
    gc.collect()
else:
    p = enter()
    del p
gc.collect()

expected = {"callback": (KeyError, [(1,), (2,)]), "cycle": (KeyError, [(1,), (2,)]),
            "reducer": (ZeroDivisionError, []), "default-hook": (None, [(1,), (2,)])}
error, replayed = expected[mode]
assert calls == replayed, calls
if error is not None:
    assert reported == [(error, s)], reported
s.disconnect_all()
assert s.emit(3) == []      # the pause is lifted
print("replayed", len(calls))
