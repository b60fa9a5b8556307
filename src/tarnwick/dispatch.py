"""Dispatchers: objects that run calls on one thread, for ``listener(..., loop=)``.

A dispatcher has ``call_soon_threadsafe(fn)``, which any thread may call to
have the zero-argument callable ``fn`` run on the dispatcher's thread, and
which raises ``RuntimeError`` once the dispatcher can run nothing more; and
``is_current()``, true on that thread. A call a dispatcher drops without
running it is released: a signal's queued call then cancels its future.

``Queue()`` is one for a thread that runs no event loop: the thread runs the
waiting calls when it chooses. ``qt(obj)`` runs calls on the thread of a Qt
object through Qt's own event loop.
"""

from __future__ import annotations

import collections
import sys
import threading
import weakref
from _thread import get_ident as _get_ident

try:
    # The native half: a submodule that tarnwick's import makes, in each
    # interpreter, beside the package's attribute of the same name.
    from tarnwick import _observers
except ImportError as exc:
    raise ImportError("tarnwick.dispatch needs tarnwick._observers, which importing tarnwick "
                      "makes; it is gone from both sys.modules and the tarnwick module "
                      "(importing tarnwick anew makes it again)") from exc

__all__ = ["Queue", "qt"]


def _not_callable(fn):
    return TypeError(f"call_soon_threadsafe() needs a callable, not {type(fn).__name__}")


class _OwnerEnds:
    """Kept in a thread-local slot of a thread that owns queues: it goes when
    the thread ends, and closes them, since nobody would run their calls (the
    futures of a signal's calls waiting there are cancelled)."""

    __slots__ = ("queues",)

    def __init__(self):
        self.queues = weakref.WeakSet()

    def __del__(self):
        if not sys.is_finalizing():
            for queue in list(self.queues):
                queue.close()


_owner_ends = threading.local()


def _watch_owner(queue):
    """On the owning thread: closes the queue when the thread ends."""
    ends = getattr(_owner_ends, "ends", None)
    if ends is None:
        ends = _owner_ends.ends = _OwnerEnds()
    ends.queues.add(queue)


class Queue:
    """Calls waiting for a thread that runs no event loop.

    Any thread schedules a call with ``call_soon_threadsafe(fn)``; the owning
    thread (the one that made the queue, or ``owner``) runs the waiting calls,
    in the order they were scheduled, with ``run_pending()`` or
    ``run_forever()``. A call that raises an ``Exception`` has it reported
    through ``sys.unraisablehook``, and the calls after it still run; a
    ``KeyboardInterrupt`` or ``SystemExit`` propagates, and the calls not yet
    run stay queued, first in line.
    """

    # Scheduling takes no lock: the deque's own appends and pops are atomic,
    # and each call is popped once, to be run or dropped. Closing sets
    # _closed (later scheduling fails) and, once nothing more is to run,
    # _dropping; a call appended as the queue closes is dropped by the
    # thread that appended it when it then sees _dropping, or else by
    # close() (the deque orders the two). The lock and the condition serve
    # only an owning thread that waits for calls.

    def __init__(self, owner=None):
        if owner is None:
            owner = threading.current_thread()
        elif not isinstance(owner, threading.Thread):
            raise TypeError(f"Queue(owner=) needs a threading.Thread, not {type(owner).__name__}")
        self._owner = owner
        self._ident = owner.ident  # None until the owner starts
        self._calls = collections.deque()
        self._closed = False
        self._dropping = False
        self._waiting = False
        self._running = False  # only the owning thread sets it
        self._arrived = threading.Condition(threading.Lock())
        # The owning thread closes the queue when it ends: from here, or from
        # its first run of the queue.
        self._watched = owner is threading.current_thread()
        if self._watched:
            _watch_owner(self)

    def __repr__(self):
        state = "closed" if self._closed else f"{len(self._calls)} waiting"
        return f"<tarnwick.dispatch.Queue owner={self._owner.name!r} {state}>"

    def call_soon_threadsafe(self, fn, /):
        """Schedules fn() to run on the owning thread; RuntimeError once closed."""
        if self._closed:
            raise RuntimeError("Queue is closed")
        if not self._watched and self._owner.ident is not None and not self._owner.is_alive():
            # An owner that ended before it ever ran the queue (once it has,
            # its end closes the queue): nobody will run what waits.
            self.close()
            raise RuntimeError("Queue is closed: its owning thread has ended")
        if not callable(fn):
            raise _not_callable(fn)
        self._calls.append(fn)
        if self._dropping:
            self._drop_waiting()
        elif self._waiting:
            with self._arrived:
                self._arrived.notify()

    def is_current(self):
        """True on the owning thread."""
        # Another thread's ident tells at once that it is not the owner; an
        # equal one may be a later thread's, so the Thread object decides.
        ident = self._ident
        if ident is not None and ident != _get_ident():
            return False
        return threading.current_thread() is self._owner

    def is_closed(self):
        """True once close() has been called."""
        return self._closed

    def _check_owner(self, what):
        if threading.current_thread() is not self._owner:
            raise RuntimeError(f"Queue.{what} may only be called on the queue's owning "
                               f"thread ({self._owner.name!r})")
        self._ident = self._owner.ident
        if not self._watched:
            self._watched = True
            _watch_owner(self)

    def _wait(self, timeout):
        """Waits until a call is waiting or the queue is closed (False if
        timeout ran out first)."""
        with self._arrived:
            self._waiting = True
            try:
                return self._arrived.wait_for(lambda: self._calls or self._closed, timeout)
            finally:
                self._waiting = False

    def _run(self, count):
        """Runs up to count calls, fewer if close() takes the rest."""
        pop, ran = self._calls.popleft, 0
        self._running = True
        try:
            while ran < count:
                try:
                    fn = pop()
                except IndexError:
                    break
                ran += 1
                try:
                    fn()
                except Exception as exc:
                    _observers.unraisable(exc, fn)
        finally:
            self._running = False
        return ran

    def _drop_waiting(self):
        """Pops every waiting call and releases it unrun, with no lock held."""
        pop = self._calls.popleft
        try:
            while True:
                pop()
        except IndexError:
            pass

    def run_pending(self, timeout=None):
        """Runs the calls waiting when it starts (calls scheduled meanwhile,
        by those calls too, wait for the next run) and returns how many ran.
        With a timeout, first waits up to that many seconds for a call to
        arrive. Only the owning thread may call it."""
        self._check_owner("run_pending()")
        if self._running:
            raise RuntimeError("Queue.run_pending() called from a call the queue is running")
        if timeout is not None and not self._wait(timeout):
            return 0
        return self._run(len(self._calls))

    def run_forever(self):
        """Runs calls as they arrive, until the queue is closed. Only the
        owning thread may call it."""
        self._check_owner("run_forever()")
        if self._running:
            raise RuntimeError("Queue.run_forever() called from a call the queue is running")
        while self._wait(None) and not self._closed:
            self._run(len(self._calls))

    def close(self, run_pending=False):
        """Makes later scheduling fail. The calls still waiting are dropped
        unrun (a signal's queued call then cancels its future), or, with
        run_pending=True, run first, in order: that only on the owning
        thread. Closing again does nothing."""
        if run_pending:
            self._check_owner("close(run_pending=True)")
        else:
            self._dropping = True
        self._closed = True
        with self._arrived:
            self._arrived.notify_all()
        if run_pending:
            was_running = self._running
            try:
                while self._calls:
                    self._run(len(self._calls))
            finally:
                self._running = was_running
                self._dropping = True
                self._drop_waiting()
        else:
            self._drop_waiting()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb, /):
        self.close()


# Qt. Nothing here imports a Qt binding: qt() uses the one the program has
# imported, and the classes below are made for it on first use.

_qt_lock = threading.Lock()
_qt_made = {}  # QtCore module name -> (event class, receiver class)


def _qt_core(obj):
    """The QtCore module of the binding obj comes from, or of the one the
    program has imported."""
    names = ["PySide6", "PyQt6"]
    if obj is not None:
        tops = {cls.__module__.partition(".")[0] for cls in type(obj).__mro__}
        names = [name for name in names if name in tops] or names
    for name in names:
        core = sys.modules.get(name + ".QtCore")
        if core is not None:
            return core
    raise RuntimeError("tarnwick.dispatch.qt() needs Qt: import PySide6 or PyQt6 (its QtCore) "
                       "and make the QCoreApplication first")


def _qt_classes(core):
    with _qt_lock:
        made = _qt_made.get(core.__name__)
        if made is None:
            made = _qt_made[core.__name__] = _make_qt_classes(core)
        return made


def _make_qt_classes(core):
    number = core.QEvent.registerEventType()
    try:
        event_type = core.QEvent.Type(number)
    except ValueError:
        event_type = number

    class CallEvent(core.QEvent):
        """Carries one call to a receiver; Qt deletes it, and so releases
        the call, when it has been delivered or dropped."""
        __slots__ = ("fn",)

        def __init__(self, fn):
            super().__init__(event_type)
            self.fn = fn

    class Receiver(core.QObject):
        """Lives in the target's thread and runs the calls posted to it."""

        def __init__(self, state, parent=None):
            super().__init__(parent)
            self._state = state

        def event(self, event):
            if not isinstance(event, CallEvent):
                return super().event(event)
            fn, event.fn = event.fn, None
            if fn is not None and not self._state.gone:
                try:
                    fn()
                except Exception as exc:
                    _observers.unraisable(exc, fn)
            return True

        def _application_quits(self):
            # On the application's thread, or on the receiver's own thread as
            # it finishes. Calls posted to a receiver there are dropped now; a
            # receiver in another thread drops them when its thread gets to
            # them.
            self._state.close()
            if self.thread() is core.QThread.currentThread():
                core.QCoreApplication.removePostedEvents(self, event_type)

    return CallEvent, Receiver


class _QtState:
    """Shared by a qt() dispatcher and its receiver: once gone, nothing more
    is posted, and what was posted is dropped unrun."""

    __slots__ = ("lock", "gone", "__weakref__")

    def __init__(self):
        self.lock = threading.Lock()
        self.gone = False

    def close(self, *args):
        with self.lock:
            self.gone = True


class _QtDispatcher:
    __slots__ = ("_state", "_receiver", "_thread", "_event", "_post", "_current")

    def __init__(self, obj):
        core = _qt_core(obj)
        app = core.QCoreApplication.instance()
        if app is None:
            raise RuntimeError("tarnwick.dispatch.qt() needs a QCoreApplication: make the "
                               "application (QApplication, QCoreApplication) first")
        target = app if obj is None else obj
        if not isinstance(target, core.QObject):
            raise TypeError(f"tarnwick.dispatch.qt() needs a QObject, not {type(obj).__name__}")
        event_cls, receiver_cls = _qt_classes(core)
        self._state = _QtState()
        self._thread = target.thread()
        if self._thread is core.QThread.currentThread():
            receiver = receiver_cls(self._state, target)
        else:
            receiver = receiver_cls(self._state)
            receiver.moveToThread(self._thread)
            receiver.setParent(target)
        direct = core.Qt.ConnectionType.DirectConnection
        # The receiver is a child of the target: it goes when the target
        # goes, and Qt deletes, unrun, the events still posted to it.
        receiver.destroyed.connect(self._state.close, direct)
        app.aboutToQuit.connect(receiver._application_quits, direct)
        if self._thread is not app.thread():
            # A thread of its own that finishes runs nothing more: what is
            # posted then waits for ever, unless dropped as at the quit.
            self._thread.finished.connect(receiver._application_quits, direct)
        self._receiver = receiver
        self._event = event_cls
        self._post = core.QCoreApplication.postEvent
        self._current = core.QThread.currentThread

    def __del__(self):
        # Nothing can post to the receiver any more: it goes once Qt has
        # delivered what was posted before. Under the lock, as in
        # call_soon_threadsafe, so that it is not being destroyed meanwhile.
        receiver = getattr(self, "_receiver", None)  # None: __init__ failed
        if receiver is None:
            return
        state = self._state
        with state.lock:
            if not state.gone:
                try:
                    receiver.deleteLater()
                except RuntimeError:  # Qt is gone already (interpreter exit)
                    pass

    def __repr__(self):
        state = "gone" if self._state.gone else "open"
        return f"<tarnwick.dispatch.qt dispatcher {state}>"

    def call_soon_threadsafe(self, fn, /):
        """Schedules fn() to run on the Qt object's thread; RuntimeError once
        the object is gone or the application has quit."""
        if not callable(fn):
            raise _not_callable(fn)
        event = self._event(fn)
        state = self._state
        with state.lock:
            # Under the lock: the receiver cannot be deleted meanwhile, since
            # its destruction waits for the lock in state.close first.
            if state.gone:
                raise RuntimeError("the Qt object of this dispatcher has been destroyed, "
                                   "or the application has quit")
            self._post(self._receiver, event)

    def is_current(self):
        """True on the Qt object's thread."""
        return self._current() is self._thread


def qt(obj=None):
    """A dispatcher that runs calls on the thread of the Qt object obj
    (default: the application's main thread) through Qt's own event loop:
    each call is a posted event. It uses PySide6 or PyQt6, whichever the
    program has imported; RuntimeError if there is no QCoreApplication.
    Calls still queued when obj is destroyed, or when the application quits,
    are dropped unrun (a signal's queued call then cancels its future), and
    scheduling one after that raises RuntimeError."""
    return _QtDispatcher(obj)
