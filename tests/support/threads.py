"""The thread runner of the threaded tests, and a loop that stops with calls
queued."""

import threading

THREADS = 6


def run_threads(target, n=THREADS):
    """Runs target(i) in n threads, i = 0..n-1, started together at a
    barrier; fails if one hangs, and raises the first exception one raised."""
    barrier = threading.Barrier(n)
    errors = []

    def body(i):
        try:
            barrier.wait(timeout=10)
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
        assert not t.is_alive(), "a thread hung"
    if errors:
        raise errors[0]


def queue_then_stop(s, loop, emissions=1):
    """The futures of s.emit(1), made while `loop` runs in a thread, for calls
    queued behind the one that stops the loop: they stay queued, unrun."""
    entered, release = threading.Event(), threading.Event()

    def hold():
        entered.set()
        release.wait(10)
        loop.stop()

    loop.call_soon(hold)
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    assert entered.wait(10)
    futures = [s.emit(1)[0] for _ in range(emissions)]
    release.set()
    thread.join(10)
    assert not thread.is_alive()
    return futures
