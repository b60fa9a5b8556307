"""tarnwick.dispatch.Queue: what scheduling a call costs, and how many calls a
second the owning thread runs when it drains them in batches.

    python bench/dispatch.py [--n N] [--repeat R]

A plain timing loop (best of R), not pyperf. Rows:

* schedule: `q.call_soon_threadsafe(f)`, per call, against the bare
  `queue.SimpleQueue.put(f)` and `asyncio`'s `loop.call_soon_threadsafe(f)`
  (on a loop that is not running; it only queues);
* drain: N calls of a trivial function waiting in the queue, run by one
  `run_pending()`; calls per second (the goal is at least 10^6);
* emit + drain: `s.emit(x)` from another thread to `listener(f, loop=q)`,
  per emission, and the owning thread's `run_pending()` of them, when
  listener(loop=) takes a dispatcher.

Run it with the Python that has tarnwick installed, for example
`tools/run.sh python bench/dispatch.py`.
"""

from __future__ import annotations

import argparse
import asyncio
import queue
import threading
import time

from tarnwick import Signal
from tarnwick.dispatch import Queue


def noop():
    pass


def best(repeat, run):
    """The least seconds run() reports over `repeat` runs."""
    return min(run() for _ in range(repeat))


def schedule_rows(n, repeat):
    def timed(put, drain):
        def run():
            start = time.perf_counter()
            for _ in range(n):
                put(noop)
            seconds = time.perf_counter() - start
            drain()
            return seconds
        return best(repeat, run) / n * 1e9

    q, sq, loop = Queue(), queue.SimpleQueue(), asyncio.new_event_loop()
    try:
        return [
            ("schedule", "Queue.call_soon_threadsafe", timed(q.call_soon_threadsafe, q.run_pending)),
            ("schedule", "SimpleQueue.put (bare)", timed(sq.put, lambda: [sq.get() for _ in range(n)])),
            ("schedule", "loop.call_soon_threadsafe (bare)",
             timed(loop.call_soon_threadsafe, lambda: loop.run_until_complete(asyncio.sleep(0)))),
        ]
    finally:
        loop.close()


def drain_rate(n, repeat):
    q = Queue()

    def run():
        for _ in range(n):
            q.call_soon_threadsafe(noop)
        start = time.perf_counter()
        assert q.run_pending() == n
        return time.perf_counter() - start
    return n / best(repeat, run)


def emit_rows(n, repeat):
    s, q, seen = Signal(), Queue(), []
    try:
        s.listener(seen.append, loop=q)
    except TypeError:
        return None
    emit_ns, drain_s = [], []
    for _ in range(repeat):
        def emit():
            start = time.perf_counter()
            for i in range(n):
                s.emit(i)
            emit_ns.append((time.perf_counter() - start) / n * 1e9)
        worker = threading.Thread(target=emit)
        worker.start()
        worker.join()
        start = time.perf_counter()
        q.run_pending()
        drain_s.append(time.perf_counter() - start)
    return min(emit_ns), n / min(drain_s)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"{'row':<14}{'what':<36}{'value':>14}")
    for row, what, ns in schedule_rows(args.n, args.repeat):
        print(f"{row:<14}{what:<36}{ns:>11.0f} ns")
    print(f"{'drain':<14}{'run_pending(), trivial calls':<36}{drain_rate(args.n, args.repeat):>11.3g} /s")
    emitted = emit_rows(args.n, args.repeat)
    if emitted is None:
        print(f"{'emit + drain':<14}listener(loop=) does not take a dispatcher here")
    else:
        print(f"{'emit + drain':<14}{'s.emit(x) from another thread':<36}{emitted[0]:>11.0f} ns")
        print(f"{'':<14}{'run_pending() of the queued calls':<36}{emitted[1]:>11.3g} /s")


if __name__ == "__main__":
    main()
