"""The objects behind listener(..., loop=), listener(..., throttle=) and weak
builtin methods, cleared by the collector's tp_clear and then used: by an
emission, by a listing, by their target, by hand. Each refuses or does
nothing; none crashes. Run in a child process: the fault being guarded
against is a crash."""

import gc
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from support.helpers import gc_clear  # noqa: E402
from tarnwick import Signal  # noqa: E402


class Keeper:
    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, fn):
        self.calls.append(fn)


class Items(list):
    pass


def ours(signal):
    """The delivery and weak-method objects a signal's table holds."""
    found, todo = {}, [signal]
    while todo:
        for ref in gc.get_referents(todo.pop()):
            name = type(ref).__name__
            if name.startswith(("SignalLoop", "SignalWeak", "SignalRate")):
                if id(ref) not in found:
                    found[id(ref)] = ref
                    todo.append(ref)
            elif isinstance(ref, (list, tuple, dict)):
                todo.append(ref)
    return list(found.values())


def poke(obj, *calls):
    for call in calls:
        try:
            call(obj)
        except (TypeError, RuntimeError, AttributeError):  # what it lacks
            pass


def main(kind):
    keeper, items = Keeper(), Items()
    s = Signal()
    s.listener(print, loop=keeper)
    s.listener(items.append, weak=True)
    s.listener(items.extend, weak=True, loop=keeper)
    s.listener(items.count, weak=True, throttle=60, max_args=1)
    s.listener(print, debounce=60, loop=keeper)
    s.emit([1])
    targets = keeper.calls[:1] if kind == "queued" else [
        o for o in ours(s) if kind in type(o).__name__]
    assert targets, kind
    for obj in targets:
        gc_clear(obj)
        poke(obj, lambda o: o(), lambda o: o(1), repr, hash, lambda o: o == o,
             lambda o: o == print, lambda o: o.__wrapped__, lambda o: o.loop,
             lambda o: o._cancel(None), lambda o: o._done(None), lambda o: o._finish(0, 1),
             lambda o: o._fire())
    poke(s, lambda x: x.emit([2], on_error="collect"), lambda x: x.connections(),
         lambda x: x.disconnect_callback(print))
    print("ok")


main(sys.argv[1])
