"""Child process of test_rate_limits.py: a process forks while a debounced
call is pending. Parent and child each make it once, on a timer thread of
their own; the child's timers go on working for new calls.

    python rate_fork_child.py [running]

"running": the fork comes while a throttled call runs on the timer thread,
which the child has not, with another call pending for its end; the child
makes that one, and its emissions still make their calls."""

import os
import sys
import threading
import time
import warnings

from tarnwick import Signal

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with a thread running
if sys.argv[1:] == ["running"]:
    throttled, started, made, side = Signal(), threading.Event(), threading.Event(), ["parent"]

    def slow(word):
        os.write(1, f"{side[0]}:{word}\n".encode())
        if word == "running":
            started.set()
            time.sleep(0.5)
        elif word == "pending":
            made.set()

    limit = throttled.listener(throttle=0.1)
    limit(slow)
    throttled.emit("at-once")
    throttled.emit("running")  # made by the timer thread, at the interval's end
    assert started.wait(10)
    throttled.emit("pending")  # left to the running call's end
    if os.fork() == 0:
        side[0] = "child"
        ok = made.wait(10)
        throttled.emit("emitted")
        limit.flush()  # made now if the emission put it off
        os._exit(0 if ok else 1)
    _, status = os.wait()
    sys.exit(os.waitstatus_to_exitcode(status))
s = Signal()
made = threading.Event()
side = ["parent"]


def call(word):
    word = side[0] if word == "pending" else word
    os.write(1, f"{word}\n".encode())  # one write: parent and child print at once
    made.set()


s.listener(call, debounce=0.3)
s.emit("warm-up")  # starts the timer thread
assert made.wait(10)
made.clear()
s.emit("pending")
pid = os.fork()
if pid == 0:
    side[0] = "child"
    ok = made.wait(10)
    made.clear()
    s.emit("child-after")
    ok = ok and made.wait(10)
    os._exit(0 if ok else 1)
assert made.wait(10)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0
