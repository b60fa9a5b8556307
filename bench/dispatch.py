"""Delivery to another thread, timed: for each kind of target that
listener(loop=...) takes, what the emitting thread spends per call and how many
calls a second reach the target's thread, next to the target's bare
scheduling call; and how fast tarnwick.dispatch.Queue drains.

    python bench/dispatch.py [--n N] [--repeat R]

A plain timing loop (best of R), not pyperf. Rows:

* one row pair per target (an asyncio loop, a trio token when trio is
  installed, a ThreadPoolExecutor with one worker, a dispatcher over a
  queue.SimpleQueue drained by a thread, a tarnwick.dispatch.Queue run by
  its owning thread): "bare" hands N calls of a trivial function to the
  target's own scheduling call (call_soon_threadsafe, run_sync_soon, submit,
  SimpleQueue.put, Queue.call_soon_threadsafe); "emit" makes N emissions of a
  signal with that function connected by listener(loop=target). Both from
  the main thread while the target's thread runs the calls as they come.
  "ns/call" is the emitting side (until the N-th call is handed over);
  "delivered/s" is N over the time until the N-th call has run.
* drain: N calls of a trivial function waiting in a Queue, run by one
  run_pending(); calls per second (the goal is at least 10^6).

Run it with the Python that has tarnwick installed, for example
`tools/run.sh python bench/dispatch.py`.
"""

from __future__ import annotations

import argparse
import asyncio
import concurrent.futures
import queue
import threading
import time

from tarnwick import Signal
from tarnwick.dispatch import Queue


class SimpleQueueDispatcher:
    """A dispatcher over a queue.SimpleQueue, drained by a thread of its own."""

    def __init__(self):
        self.queue = queue.SimpleQueue()
        self.call_soon_threadsafe = self.queue.put
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def is_current(self):
        return threading.current_thread() is self.thread

    def _run(self):
        while (fn := self.queue.get()) is not None:
            fn()

    def stop(self):
        self.queue.put(None)
        self.thread.join()


def in_thread(make_and_run):
    """Starts a thread that makes a target and runs it; returns the target
    once it runs, and a function that stops it."""
    ready, box = threading.Event(), {}
    thread = threading.Thread(target=make_and_run, args=(box, ready), daemon=True)
    thread.start()
    ready.wait()
    return box["target"], lambda: (box["stop"](), thread.join())


def asyncio_target():
    def run(box, ready):
        loop = asyncio.new_event_loop()
        box["target"], box["stop"] = loop, lambda: loop.call_soon_threadsafe(loop.stop)
        loop.call_soon(ready.set)
        loop.run_forever()
        loop.close()
    loop, stop = in_thread(run)
    return loop, loop.call_soon_threadsafe, stop


def trio_target():
    import trio

    def run(box, ready):
        async def main():
            done = trio.Event()
            token = trio.lowlevel.current_trio_token()
            box["target"], box["stop"] = token, lambda: token.run_sync_soon(done.set)
            ready.set()
            await done.wait()
        trio.run(main)
    token, stop = in_thread(run)
    return token, token.run_sync_soon, stop


def executor_target():
    executor = concurrent.futures.ThreadPoolExecutor(1)
    return executor, executor.submit, executor.shutdown


def simple_queue_target():
    d = SimpleQueueDispatcher()
    return d, d.queue.put, d.stop


def queue_target():
    def run(box, ready):
        q = Queue()
        box["target"], box["stop"] = q, q.close
        ready.set()
        q.run_forever()
    q, stop = in_thread(run)
    return q, q.call_soon_threadsafe, stop


TARGETS = {
    "asyncio loop": (asyncio_target, "loop.call_soon_threadsafe"),
    "trio token": (trio_target, "token.run_sync_soon"),
    "executor": (executor_target, "executor.submit"),
    "dispatcher": (simple_queue_target, "SimpleQueue.put"),
    "Queue": (queue_target, "Queue.call_soon_threadsafe"),
}


def timed(n, schedule):
    """(ns per call handed over, calls delivered per second) of n calls that
    schedule(tick) hands to the target."""
    done, count = threading.Event(), [0]

    def tick(*_):
        count[0] += 1
        if count[0] == n:
            done.set()

    start = time.perf_counter()
    schedule(tick)
    handed = time.perf_counter()
    done.wait()
    end = time.perf_counter()
    return (handed - start) / n * 1e9, n / (end - start)


def target_rows(n, repeat):
    for name, (make, bare_name) in TARGETS.items():
        try:
            target, bare, stop = make()
        except ImportError:
            print(f"{name:<14}not installed")
            continue
        try:
            def bare_run(tick):
                for _ in range(n):
                    bare(tick)

            def emit_run(tick):
                s = Signal()
                s.listener(tick, loop=target)
                emit = s.emit
                for _ in range(n):
                    emit()

            for what, run in ((f"bare: {bare_name}", bare_run), ("emit: listener(loop=)", emit_run)):
                results = [timed(n, run) for _ in range(repeat)]
                ns = min(r[0] for r in results)
                rate = max(r[1] for r in results)
                print(f"{name:<14}{what:<38}{ns:>9.0f} ns/call{rate:>12.3g} delivered/s")
        finally:
            stop()


def drain_rate(n, repeat):
    q = Queue()

    def noop():
        pass

    def run():
        for _ in range(n):
            q.call_soon_threadsafe(noop)
        start = time.perf_counter()
        assert q.run_pending() == n
        return time.perf_counter() - start
    return n / min(run() for _ in range(repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    target_rows(args.n, args.repeat)
    print(f"{'drain':<14}{'Queue.run_pending(), trivial calls':<38}"
          f"{drain_rate(args.n, args.repeat):>21.3g} calls/s")


if __name__ == "__main__":
    main()
