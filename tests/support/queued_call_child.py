"""A queued call's internal methods called out of turn, from Python, by a
dispatcher that keeps what it is given: each raises TypeError or does
nothing, and the call still runs once and settles its future. Run in a child
process: the fault being guarded against is a crash."""

import concurrent.futures

from tarnwick import Signal


class Keeper:
    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, fn):
        self.calls.append(fn)


class FakeTask:
    def cancelled(self):
        return False

    def result(self):
        return "fake"


def main():
    keeper, ran = Keeper(), []
    s = Signal()
    s.listener(lambda x: ran.append(x) or x, loop=keeper)
    (future,) = s.emit(1)
    (queued,) = keeper.calls
    gone = concurrent.futures.Future()
    gone.cancel()
    for method, args in [("_cancel", (gone,)), ("_done", (FakeTask(),)),
                         ("_finish", (0, "early")), ("_finish", (2**100, None)),
                         ("_finish", (-1, None))]:
        try:
            getattr(queued, method)(*args)
        except TypeError:
            pass
    assert not future.done(), future
    queued()
    assert future.result(0) == 1 and ran == [1], (future, ran)
    print("ok")


main()
