"""Child process of test_dispatch.py: tarnwick.dispatch.qt() with the Qt
binding named by its argument (PySide6 or PyQt6), offscreen. A QCoreApplication is one per process, so these cases share one
program. Prints one word per case that held."""

import importlib
import os
import sys
import threading

os.environ["QT_QPA_PLATFORM"] = "offscreen"
BINDING = sys.argv[1]

from tarnwick.dispatch import qt  # noqa: E402

try:
    qt()
except RuntimeError:
    # tarnwick imports no binding itself
    assert "PySide6" not in sys.modules and "PyQt6" not in sys.modules
    print("no-qt")

QtCore = importlib.import_module(BINDING + ".QtCore")
QCoreApplication, QEvent, QObject, QThread, QTimer = (
    QtCore.QCoreApplication, QtCore.QEvent, QtCore.QObject, QtCore.QThread, QtCore.QTimer)

from tarnwick import Signal  # noqa: E402

try:
    qt()
except RuntimeError:
    print("no-app")

app = QCoreApplication([])
gui = qt()
log, dropped = [], []


class Call:
    """Records its run, or its release unrun."""

    def __init__(self, name):
        self.name, self.ran = name, False

    def __call__(self):
        log.append((self.name, gui.is_current(), QThread.currentThread() is app.thread()))
        self.ran = True

    def __del__(self):
        if not self.ran:
            dropped.append(self.name)


def in_worker(fn):
    thread = threading.Thread(target=fn)
    thread.start()
    thread.join(10)
    assert not thread.is_alive()


# Calls from a worker run on the GUI thread, in order, once Qt processes events.
assert gui.is_current()
in_worker(lambda: [gui.call_soon_threadsafe(Call(i)) for i in range(100)] and None)
assert log == []
app.processEvents()
if all(on_gui and current for _, on_gui, current in log):
    print("gui-thread")
if [name for name, _, _ in log] == list(range(100)):
    print("ordered")

# A call whose object is destroyed before it runs is dropped; later ones are refused.
target = QObject()
on_target = qt(target)
on_target.call_soon_threadsafe(Call("t"))
del target  # a QObject Python made: deleted with its last reference
try:
    on_target.call_soon_threadsafe(print)
except RuntimeError:
    if dropped == ["t"]:
        print("dropped-with-object")


# Through listener(loop=): a result from a worker; a call whose object goes is cancelled.
def through_listener():
    """The words to print for these cases, once the others have printed theirs."""
    s, target = Signal(), QObject()
    s.listener(lambda x: (x, gui.is_current()), loop=gui)
    s.listener(print, loop=qt(target))
    futures = []
    in_worker(lambda: futures.extend(s.emit(7)))
    del target
    app.processEvents()
    words = []
    if futures[0].result(10) == (7, True):
        words.append("listener-on-gui-thread")
    if futures[1].cancelled():
        words.append("listener-cancelled-with-object")
    return words


listener_words = through_listener()


# A call still posted to an object whose thread finishes is dropped; later ones are refused.
def thread_finishes():
    thread = QThread()
    thread.start()
    worker = QObject()
    worker.moveToThread(thread)
    on_worker = qt(worker)

    def last_call():  # on the worker's thread: posts one more call, then ends the thread
        on_worker.call_soon_threadsafe(Call("w"))
        QThread.currentThread().quit()

    on_worker.call_soon_threadsafe(last_call)
    assert thread.wait(10000)
    try:
        on_worker.call_soon_threadsafe(print)
    except RuntimeError:
        if "w" in dropped:
            dropped.remove("w")
            return ["dropped-with-thread"]
    return []


listener_words += thread_finishes()

# A dispatcher dropped leaves no receiver behind, once what it posted has run.
before = len(app.children())
for _ in range(5):
    qt().call_soon_threadsafe(Call("last"))
app.processEvents()
QCoreApplication.sendPostedEvents(None, QEvent.Type.DeferredDelete)
if len(app.children()) == before and [n for n, _, _ in log[-5:]] == ["last"] * 5:
    print("receivers-released")

# Still queued when the application quits: dropped; scheduling after quit: refused.
def quit_with_calls_queued():
    gui.call_soon_threadsafe(Call("q"))
    app.quit()


QTimer.singleShot(0, quit_with_calls_queued)
app.exec()
if dropped == ["t", "q"]:
    print("dropped-at-quit")
try:
    gui.call_soon_threadsafe(print)
except RuntimeError:
    print("refused-after-quit")
print(*listener_words)
