"""A tour of tarnwick: priorities, one-shots, weak connections, collect mode
and an error hook."""

import gc

from tarnwick import Signal

saved = Signal("saved")

# Higher priorities run first; equal priorities run in connection order.
saved.connect(lambda doc: f"index {doc}")
saved.connect(lambda doc: f"backup {doc}", priority=10)
print(saved.emit("report.txt"))  # ['backup report.txt', 'index report.txt']

# A one-shot connection is used up by the first emission.
saved.connect_once(lambda doc: f"welcome, first save of {doc}")
print(saved.emit("a.txt"))  # three results
print(saved.emit("b.txt"))  # two again
print(len(saved), "listeners")


# Weak connections don't keep their observer alive.
class StatusBar:
    def on_saved(self, doc: str) -> str:
        return f"status: saved {doc}"


bar = StatusBar()
saved.connect(bar.on_saved, weak=True)
print(saved.emit("c.txt")[-1])  # 'status: saved c.txt'
del bar
gc.collect()
print(saved.emit("d.txt"))  # the status bar is gone, and so is its entry

# A weak connection to something that would die at once is refused.
try:
    saved.connect(StatusBar().on_saved, weak=True)
except TypeError as e:
    print("refused:", e)

# Error hooks see every failure; "collect" keeps going and returns the error.
failures: list[str] = []
saved.on_error(lambda exc, callback: failures.append(type(exc).__name__))


def flaky(doc: str) -> str:
    raise IOError(f"disk full while saving {doc}")


saved.connect(flaky, priority=5)
print(saved.emit("e.txt", on_error="collect"))
try:
    saved.emit("f.txt")  # the default, "fast_fail", re-raises
except OSError as e:
    print("fast_fail raised:", e)
print("hooks saw:", failures)

# A scoped connection lasts for a with block.
with saved.connected(lambda doc: "temporary") as cid:
    print("connection", cid, "->", saved.emit("g.txt", on_error="collect")[-1])
print(repr(saved))
