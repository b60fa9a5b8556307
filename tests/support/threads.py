"""The thread runner of the threaded tests."""

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
