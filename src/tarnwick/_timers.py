"""The timer thread of listener(..., throttle=...) and listener(..., debounce=...).

One thread per interpreter (each has its own module globals), started on
first use and shared by every limiter of every signal there: never a thread
per call. The extension calls schedule(deadline, limiter), a deadline on the
clock of time.monotonic(); at that time the thread calls limiter._fire(),
which decides from the limiter's own state what to do (a fire may come early,
late or twice). The thread holds a limiter by a weak reference alone, so a
disconnected limiter goes, with its pending call, when nothing else holds it.

The thread is no daemon (sub-interpreters refuse daemon threads): threading's
shutdown stops it, before it waits for the threads that are not daemons, as
it does concurrent.futures' workers, so it never keeps the process alive.
Fires still waiting then are dropped, as is a scheduling after that: calls
pending at exit are never made. A child of os.fork starts with no thread and
a lock of its own, and keeps the fires its parent had scheduled.
"""

import heapq
import itertools
import os
import threading
import time
import weakref

try:
    from tarnwick import _observers
except ImportError as exc:
    raise ImportError("tarnwick._timers needs tarnwick._observers, which importing tarnwick "
                      "makes") from exc

# A longer wait is made in steps: Condition.wait refuses a timeout past
# threading.TIMEOUT_MAX.
_LONGEST_WAIT = 3600.0

# Makes every entry unique, so that the heap never compares weak references;
# shared by a forked child, which keeps its parent's entries.
_order = itertools.count()


class _Timers:
    # The lock is re-entrant: an allocation under it may run the collector,
    # and a finalizer may emit into a limiter that schedules a fire, or free
    # one, whose entries are then forgotten. So the heap is whole whenever
    # anything is allocated, and `_heap` is read afresh after that: the list
    # may have been replaced by another.

    def __init__(self, heap=()):
        self._wakeup = threading.Condition(threading.RLock())
        self._heap = list(heap)
        heapq.heapify(self._heap)
        self._thread = None
        self._starting = False
        self._registered = False
        self._stopped = False
        # Entries whose limiter has gone (about: the pops and the sweeps
        # recount them), and whether a sweep is under way.
        self._dead = 0
        self._sweeping = False
        # The fire being made, for a forked child, which makes it again: the
        # call it may have started never ends there.
        self._firing = None

    def schedule(self, deadline, limiter):
        if self._stopped:  # final: read without the lock
            return
        ref = weakref.ref(limiter, _gone)
        with self._wakeup:
            if self._stopped:
                return
            entry = (deadline, next(_order), ref)
            heapq.heappush(self._heap, entry)
            start = self._thread is None and not self._starting
            if start:
                self._starting = True
            elif self._heap[0] is entry:
                self._wakeup.notify()
            if start:
                self._start()

    def _start(self):
        # Once the interpreter shuts down, registering raises and nothing is
        # started: the fire is dropped with the rest. Each instance registers
        # its own stop: one that the module global no longer names (the
        # module was reloaded) still has a thread that must end at exit.
        try:
            if not self._registered:
                try:
                    threading._register_atexit(self.stop)
                except RuntimeError:
                    self.stop()
                    return
                self._registered = True
            thread = threading.Thread(target=self._run, name="tarnwick-timers")
            thread.start()
            self._thread = thread
        finally:
            self._starting = False

    def _next_due(self):
        """The weak reference of the next fire that is due, waiting for it;
        None once stopped."""
        with self._wakeup:
            while not self._stopped:
                if not self._heap:
                    self._wakeup.wait()
                    continue
                wait = self._heap[0][0] - time.monotonic()
                if wait > 0:
                    self._wakeup.wait(min(wait, _LONGEST_WAIT))
                    continue
                ref = heapq.heappop(self._heap)[2]
                if ref() is None:
                    self._dead = max(0, self._dead - 1)
                self._firing = ref
                return ref
            return None

    def _run(self):
        # Nothing may end the thread but the stop: the fires it drops would
        # leave their limiters waiting for ever. _fire reports what a call
        # raises itself; what is left is running out of memory.
        while True:
            limiter = None
            try:
                ref = self._next_due()
                if ref is None:
                    return
                limiter = ref()
                if limiter is not None:
                    limiter._fire()
                self._firing = None
            except Exception as exc:  # noqa: BLE001 - reported, and the thread goes on
                try:
                    _observers.unraisable(exc, limiter)
                except Exception:  # noqa: BLE001 - nothing left to report it with
                    pass

    def forget_one(self):
        """A limiter has gone: its entries only wait for their deadlines to
        be popped and found dead. Once they are most of the heap, they are
        dropped, so that limiters connected and dropped with long intervals
        leave nothing behind."""
        with self._wakeup:
            self._dead += 1
            if self._sweeping or self._dead * 2 <= len(self._heap):
                return
            self._sweeping = True
            try:
                old, self._heap = self._heap, []  # what is scheduled meanwhile goes here
                kept = [entry for entry in old if entry[2]() is not None]
                kept.extend(self._heap)  # allocates no object: nothing can come between
                heapq.heapify(kept)
                self._heap = kept
                self._dead = 0
            finally:
                self._sweeping = False

    def stop(self):
        with self._wakeup:
            self._stopped = True
            dropped, self._heap = self._heap, []
            self._wakeup.notify_all()
        del dropped


_timers = _Timers()


def schedule(deadline, limiter):
    """Calls limiter._fire() on the timer thread once time.monotonic() has
    reached deadline; does nothing once the interpreter shuts down."""
    timers = _timers
    if timers is not None:  # None: the module is being torn down at exit
        timers.schedule(deadline, limiter)


def _gone(ref):
    # The current instance's, not the one that scheduled (a forked child's
    # entries came from its parent's), and nothing once torn down at exit.
    timers = _timers
    if timers is not None:
        timers.forget_one()


def _after_fork_in_child():
    global _timers
    old = _timers
    heap = [] if old._stopped else list(old._heap)
    if old._firing is not None and not old._stopped:
        heap.append((0.0, next(_order), old._firing))
    _timers = _Timers(heap)
    if _timers._heap:
        with _timers._wakeup:
            _timers._starting = True
            _timers._start()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
