"""Weak-referenced observers in a GUI-like model/view: the model notifies its
views without keeping them alive, so closing a view is all the cleanup there
is."""

import gc

from tarnwick import Signal


class Counter:
    """The model."""

    def __init__(self) -> None:
        self.value = 0
        self.changed = Signal("changed")

    def increment(self) -> None:
        self.value += 1
        self.changed.emit(self.value)


class Label:
    """A view. It connects its own bound method weakly: the signal holds a
    weakref.WeakMethod, so the label can die while still connected."""

    def __init__(self, name: str, model: Counter) -> None:
        self.name = name
        model.changed.connect(self.refresh, weak=True)

    def refresh(self, value: int) -> None:
        print(f"  {self.name} shows {value}")


class Logger:
    def log(self, value: int) -> None:
        print(f"  log: value is now {value}")


model = Counter()
title = Label("title", model)
status = Label("status bar", model)

print("increment:")
model.increment()

print("close the status bar, increment:")
del status
gc.collect()  # not needed on the default build, where refcounting frees it at once
print(f"  connections before the emission: {len(model.changed)}")
model.increment()
print(f"  connections after it: {len(model.changed)}")  # the dead entry is gone

# The liveness rule: a weak connection to something that nothing else keeps
# alive would die at once, so it is refused.
try:
    model.changed.connect(lambda value: print(value), weak=True)
except TypeError as e:
    print(f"refused a lambda: {e}")
try:
    model.changed.connect(Logger().log, weak=True)  # the Logger dies with the statement
except TypeError as e:
    print(f"refused a temporary's method: {e}")

# To keep such a callback, hold a reference to it...
logger = Logger()
model.changed.connect(logger.log, weak=True)
# ...or connect it strongly and disconnect it yourself.
cid = model.changed.connect(lambda value: print(f"  strong lambda sees {value}"))

print("increment:")
model.increment()
model.changed.disconnect(cid)
del logger, title
print("after dropping the logger and the title, increment:")
model.increment()
print(f"  connections left: {len(model.changed)}")
