"""Child process of test_rate_limits.py: the interpreter exits with calls of
throttled and debounced listeners pending (their timers far off), one of
them queued for a Queue nobody runs any more, and one running on the timer
thread. The exit must neither hang nor print anything but what the calls
print; the call running finishes.

    python rate_exit_child.py [reloaded]

"reloaded": tarnwick._timers is reloaded once its first thread runs, so
that a second timer thread starts beside it; both must stop at exit."""

import importlib
import sys
import threading
import time

from tarnwick import Signal
from tarnwick.dispatch import Queue

if sys.argv[1:] == ["reloaded"]:
    import tarnwick._timers

    first = Signal()
    first.listener(print, debounce=30)
    first.emit("never")
    importlib.reload(tarnwick._timers)

pending = Signal()
pending.listener(print, debounce=30)
pending.emit("never")

inbox = Queue()  # this thread's: it calls directly here
throttled = Signal()
throttled.listener(print, throttle=30, loop=inbox)
throttled.emit("at-once")
throttled.emit("never")

started = threading.Event()


def slow(word):
    started.set()
    time.sleep(0.3)
    print(word, flush=True)


running = Signal()
running.listener(slow, debounce=0.1)
running.emit("finished")
assert started.wait(10)
print("exiting", flush=True)


class EmitsAtExit:
    """Emits into the limiters as the interpreter tears the module down (it
    holds them: the module's names may be gone first)."""

    def __init__(self, *signals):
        self.signals = signals

    def __del__(self):
        for signal in self.signals:
            signal.emit("never")


keeper = EmitsAtExit(pending, running, throttled)
