"""Helpers for testing and debugging code that uses signals.

``record(signal)`` records every emission of a signal while it is entered,
with assertions and waiting; ``trace()`` reports every callback call of
every signal (or of those listed) while it is entered. Neither is a
listener: what an emission returns, a signal's length and listing, and its
error hooks are what they would be without them.

They work the same under pytest and unittest; importing this module
registers no pytest plugin.
"""

from __future__ import annotations

import reprlib
import sys
import threading

import tarnwick

try:
    # The native half: a submodule that tarnwick's import makes, in each
    # interpreter, beside the package's attribute of the same name.
    from tarnwick import _observers
except ImportError as exc:
    raise ImportError("tarnwick.testing needs tarnwick._observers, which importing tarnwick "
                      "makes; it is gone from both sys.modules and the tarnwick module "
                      "(importing tarnwick anew makes it again)") from exc

__all__ = ["Recorder", "Trace", "TraceEvent", "record", "trace"]


def _label(signal):
    name = _observers.name(signal)
    return name if name is not None else "signal"


def _format_call(label, args, kwargs):
    parts = [repr(a) for a in args]
    parts += [f"{k}={v!r}" for k, v in kwargs.items()]
    return f"{label}({', '.join(parts)})"


class Recorder:
    """Records the emissions of one signal while entered (see record())."""

    def __init__(self, signal):
        if not isinstance(signal, tarnwick.Signal):
            raise TypeError(f"record() needs a Signal, not {type(signal).__name__}")
        self._signal = signal
        self._label = _label(signal)
        self._cond = threading.Condition(threading.Lock())
        self._emissions = []
        self._finished = 0
        self._async_waiters = []  # [count, loop, future]
        # What finished emissions left event loops to finish, not done when
        # last looked at: (loop, future or task) pairs.
        self._pending = []
        self._entry = None

    # -- the context -----------------------------------------------------

    def __enter__(self):
        if self._entry is not None:
            raise RuntimeError("this recorder is already entered")
        if self._signal is None:
            raise RuntimeError("a recorder is entered once; record() makes another")
        self._entry = _observers.add(self._signal, self._began, False)
        return self

    def __exit__(self, exc_type, exc, tb, /):
        entry, self._entry = self._entry, None
        if entry is not None:
            _observers.remove(entry)
        # The recorder no longer keeps its signal alive; the list stays.
        self._signal = None
        return None

    # Called by every emission of the signal that runs, before its first
    # callback, on the emitting thread and with no lock of the signal held;
    # _ended once its calls are over, with the (loop, future or task) pairs
    # of what it left event loops to finish (the calls loop deliveries queued,
    # the task a replayed emit_async started), or None.
    def _began(self, args, kwargs):
        with self._cond:
            self._emissions.append((args, dict(kwargs) if kwargs else {}))
        return self._ended

    def _ended(self, pending):
        with self._cond:
            if pending:
                self._pending = [p for p in self._pending if not p[1].done()] + pending
            self._finished += 1
            self._cond.notify_all()
            ready = [w for w in self._async_waiters if self._finished >= w[0]]
            self._async_waiters = [w for w in self._async_waiters if self._finished < w[0]]
        for _, loop, future in ready:
            _wake(loop, future)

    # -- what was recorded -------------------------------------------------

    @property
    def emissions(self):
        """A new list of (args, kwargs) pairs, one per emission, in order."""
        with self._cond:
            return list(self._emissions)

    def __len__(self):
        with self._cond:
            return len(self._emissions)

    def __repr__(self):
        state = "recording" if self._entry is not None else "stopped"
        return f"<Recorder of {self._label}, {len(self)} emissions, {state}>"

    # -- assertions --------------------------------------------------------

    def _fail(self, expected, emissions):
        if not emissions:
            seen = "it was not emitted"
        else:
            times = "once" if len(emissions) == 1 else f"{len(emissions)} times"
            lines = "".join(f"\n  {i}. {_format_call(self._label, a, k)}"
                            for i, (a, k) in enumerate(emissions, 1))
            seen = f"it was emitted {times}:{lines}"
        raise AssertionError(f"expected {expected}; {seen}")

    def assert_emitted(self):
        """Fail unless the signal was emitted at least once."""
        emissions = self.emissions
        if not emissions:
            self._fail(f"{self._label} to be emitted", emissions)

    def assert_not_emitted(self):
        """Fail if the signal was emitted."""
        emissions = self.emissions
        if emissions:
            self._fail(f"{self._label} not to be emitted", emissions)

    def assert_emitted_once(self):
        """Fail unless the signal was emitted exactly once."""
        emissions = self.emissions
        if len(emissions) != 1:
            self._fail(f"{self._label} to be emitted once", emissions)

    def assert_emitted_with(self, /, *args, **kwargs):
        """Fail unless the last emission was made with these arguments."""
        emissions = self.emissions
        if not emissions or emissions[-1] != (args, kwargs):
            want = _format_call(self._label, args, kwargs)
            self._fail(f"the last emission to be {want}", emissions)

    def assert_emitted_once_with(self, /, *args, **kwargs):
        """Fail unless the signal was emitted exactly once, with these arguments."""
        emissions = self.emissions
        if len(emissions) != 1 or emissions[0] != (args, kwargs):
            want = _format_call(self._label, args, kwargs)
            self._fail(f"one emission, {want}", emissions)

    def assert_any_emitted_with(self, /, *args, **kwargs):
        """Fail unless some emission was made with these arguments."""
        emissions = self.emissions
        if (args, kwargs) not in emissions:
            want = _format_call(self._label, args, kwargs)
            self._fail(f"an emission {want}", emissions)

    # -- waiting -----------------------------------------------------------

    def wait(self, count=1, timeout=None):
        """Block until at least `count` emissions (those already recorded
        included) have finished their calls, on any thread. Raises
        TimeoutError after `timeout` seconds. Waits with the interpreter
        free for other threads."""
        with self._cond:
            if not self._cond.wait_for(lambda: self._finished >= count, timeout):
                raise TimeoutError(self._timeout_message(count, timeout))

    async def wait_async(self, count=1, timeout=None):
        """wait() for asyncio: the same without blocking the event loop,
        for emissions made on any thread. It also waits for what those
        emissions left this loop to do: the calls that listeners with
        loop= set to it queued, and the tasks a paused() replay started."""
        import asyncio

        loop = asyncio.get_running_loop()
        counted = False
        try:
            async with asyncio.timeout(timeout):
                await self._counted(loop, count)
                counted = True
                with self._cond:
                    pending = [p for loop_of, p in self._pending if loop_of is loop]
                for p in pending:
                    if not p.done():
                        await _done(loop, p)
        except TimeoutError:
            if counted:
                raise TimeoutError(f"{self._label}: what {count} emission(s) left this event loop "
                                   f"to do did not finish within {timeout} seconds") from None
            raise TimeoutError(self._timeout_message(count, timeout)) from None

    async def _counted(self, loop, count):
        future = loop.create_future()
        waiter = [count, loop, future]
        with self._cond:
            if self._finished >= count:
                return
            self._async_waiters.append(waiter)
        try:
            await future
        finally:
            with self._cond:
                self._async_waiters = [w for w in self._async_waiters if w is not waiter]

    def _timeout_message(self, count, timeout):
        return (f"{self._label} was not emitted {count} time(s) within {timeout} seconds; "
                f"{self._finished} emission(s) finished")


def _settle(future):
    if not future.done():
        future.set_result(None)


def _wake(loop, future):
    """Settles `loop`'s `future` from any thread."""
    try:
        loop.call_soon_threadsafe(_settle, future)
    except RuntimeError:  # the loop is closed: nobody waits any more
        pass


def _done(loop, pending):
    """A future of `loop` done once `pending` (a concurrent or an asyncio
    future) is, whatever its outcome, which stays unread."""
    done = loop.create_future()
    pending.add_done_callback(lambda _: _wake(loop, done))
    return done


def record(signal):
    """A Recorder of `signal`: use it as a context manager. While entered it
    records every emission of `signal` that runs (not blocked ones), on any
    thread, without being a listener.

        with record(saved) as saves:
            editor.save("a.txt")
        saves.assert_emitted_once_with("a.txt")
    """
    return Recorder(signal)


class TraceEvent:
    """One callback call, reported by a trace once it returned."""

    __slots__ = ("signal", "callback", "args", "kwargs", "result", "exception", "seconds")

    def __init__(self, signal, callback, args, kwargs, result, exception, seconds):
        self.signal = signal
        self.callback = callback
        self.args = args
        self.kwargs = kwargs
        self.result = result
        self.exception = exception
        self.seconds = seconds

    def __repr__(self):
        return (f"TraceEvent({_describe(self, _short.repr)})")


_short = reprlib.Repr(maxstring=40, maxother=40, maxlist=6, maxtuple=6, maxdict=4, maxlevel=2)


def _callable_name(callback):
    name = getattr(callback, "__qualname__", None)
    if isinstance(name, str):
        return name
    return _short.repr(callback)


def _describe(event, show):
    args = [show(a) for a in event.args]
    args += [f"{k}={show(v)}" for k, v in event.kwargs.items()]
    label = _label(event.signal)
    call = f"{label}: {_callable_name(event.callback)}({', '.join(args)})"
    if event.exception is not None:
        outcome = f"raised {show(event.exception)}"
    else:
        outcome = f"-> {show(event.result)}"
    return f"{call} {outcome} in {event.seconds * 1e3:.3f} ms"


class Trace:
    """Reports callback calls while entered (see trace())."""

    def __init__(self, hook=None, *, file=None, signals=None):
        if hook is not None and not callable(hook):
            raise TypeError("trace(): hook must be callable")
        if hook is not None and file is not None:
            raise TypeError("trace(): give a hook or a file, not both")
        chosen = None
        if signals is not None:
            chosen = []
            for s in signals:
                if not isinstance(s, tarnwick.Signal):
                    raise TypeError(f"trace(): signals must be Signals, not {type(s).__name__}")
                if not any(s is c for c in chosen):
                    chosen.append(s)
        self._hook = hook
        self._file = file
        self._signals = chosen
        self._entries = None
        # A hook or a write that emits a traced signal is not traced itself.
        self._reporting = threading.local()

    def __enter__(self):
        if self._entries is not None:
            raise RuntimeError("this trace is already entered")
        entries = []
        try:
            for s in (self._signals if self._signals is not None else [None]):
                entries.append(_observers.add(s, self._report, True))
        except BaseException:
            for e in entries:
                _observers.remove(e)
            raise
        self._entries = entries
        return self

    def __exit__(self, exc_type, exc, tb, /):
        entries, self._entries = self._entries, None
        for e in entries or ():
            _observers.remove(e)
        return None

    def __repr__(self):
        target = self._hook if self._hook is not None else (self._file or "sys.stderr")
        return f"<Trace to {target!r}>"

    # Called after every traced callback call, on the emitting thread, with
    # no lock of the signal held.
    def _report(self, signal, callback, args, kwargs, result, exception, seconds):
        if getattr(self._reporting, "active", False):
            return
        self._reporting.active = True
        try:
            event = TraceEvent(signal, callback, args, dict(kwargs) if kwargs else {},
                               result, exception, seconds)
            if self._hook is not None:
                self._hook(event)
            else:
                file = self._file if self._file is not None else sys.stderr
                file.write(_describe(event, _short.repr) + "\n")
        except BaseException as exc:
            target = self._hook if self._hook is not None else self._file
            _observers.unraisable(exc, target)
        finally:
            self._reporting.active = False


def trace(hook=None, *, file=None, signals=None):
    """A Trace: use it as a context manager. While entered, every callback
    call of every signal of this interpreter (or of `signals`), on every
    thread, is reported once it returns: to `hook(event)` with a TraceEvent,
    or, without a hook, as one line written to `file` (sys.stderr by
    default)."""
    return Trace(hook, file=file, signals=signals)
