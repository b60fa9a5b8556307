"""Child process of test_paused.py: a SignalPauser goes while entered, and
its replay fails. The argument says how: "callback" or "reducer" fails, the
pauser released by `del`; "cycle", collected by gc from a reference cycle;
"default-hook", the interpreter's own hook reports. The replay must happen,
and its first failure reach sys.unraisablehook with the signal."""

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
    raise KeyError(args)


s.connect(callback)


class Box:
    pass


box = Box()
box.pauser = s.paused((lambda previous, current: 1 / 0) if mode == "reducer" else None)
box.pauser.__enter__()
s.emit(1)
s.emit(2)
if mode == "cycle":
    box.itself = box
else:
    box.pauser = None
del box
gc.collect()

error = ZeroDivisionError if mode == "reducer" else KeyError
assert reported == ([] if mode == "default-hook" else [(error, s)]), reported
s.disconnect_all()
assert s.emit(3) == []      # the pause is lifted
print("replayed", len(calls))
