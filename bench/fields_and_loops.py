"""Instructions, counted by callgrind, for two costs that timing cannot show on
a loaded machine:

    python bench/fields_and_loops.py --work DIR [--n N] [--only read|loop|target]

* reading a SignalField after its first access, against reading an ordinary
  instance attribute (and, for comparison, a functools.cached_property after
  its first access and a property);
* one emission delivered to another thread's event loop (listener(loop=...)),
  both sides, against the same callback handed to loop.call_soon_threadsafe
  directly, and against the same by hand with a concurrent.futures.Future for
  its result (what the delivery does for you).

* the emitting side alone of one emission queued for each kind of target that
  listener(loop=...) accepts (an asyncio loop, a trio token, a
  concurrent.futures.Executor, a dispatcher of our own over a
  queue.SimpleQueue, a tarnwick.dispatch.Queue), against the target's bare
  scheduling call (loop.call_soon_threadsafe, token.run_sync_soon,
  executor.submit, SimpleQueue.put, Queue.call_soon_threadsafe) made from the
  same thread. The target's thread is held
  while the emitting thread queues, and the process ends with the calls still
  queued, so only the emitting side is counted.

Each case runs N and 2N times in a fresh interpreter; (Ir(2N) - Ir(N)) / N is
the cost of one more. For the loop cases the loop's thread is running but
held in a callback while the emitting thread queues, then released to run the
whole batch, so that both runs wake the loop the same number of times.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from callgrind import total_ir  # noqa: E402
from cases import compile_simple  # noqa: E402

READS = {
    "plain attribute": "o.plain",
    "SignalField": "o.saved",
    "cached_property": "o.cached",
    "property": "o.prop",
}
LOOPS = ("queued emit", "call_soon_threadsafe", "call_soon_threadsafe + Future")
TARGETS = tuple(f"{kind} {side}" for kind in ("asyncio", "trio", "executor", "dispatcher", "queue")
                for side in ("emit", "bare"))


def read_child(case: str, n: int) -> None:
    import functools
    import time

    from tarnwick import Signal, SignalField

    class Owner:
        saved = SignalField()

        def __init__(self):
            self.plain = Signal("plain")

        @functools.cached_property
        def cached(self):
            return Signal("cached")

        @property
        def prop(self):
            return self.plain

    o = Owner()
    o.saved, o.cached  # the first accesses, not counted
    ns = {"o": o}
    loop = compile_simple(READS[case], ns)
    loop(100, time.perf_counter, ns)  # let the interpreter adapt the bytecode first
    loop(n, time.perf_counter, ns)


def loop_child(case: str, n: int) -> None:
    import asyncio
    import threading
    from concurrent.futures import Future

    from tarnwick import Signal

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    held, release = threading.Event(), threading.Event()

    def hold():
        held.set()
        release.wait()

    def callback(x):
        return x

    def by_hand(future, x):
        if future.set_running_or_notify_cancel():
            future.set_result(callback(x))

    s = Signal("s")
    s.listener(callback, loop=loop)
    emit = s.emit
    call_soon = loop.call_soon_threadsafe

    def batch(count):
        held.clear()
        release.clear()
        call_soon(hold)
        held.wait()
        if case == "queued emit":
            for _ in range(count):
                emit(1)
        elif case == "call_soon_threadsafe":
            for _ in range(count):
                call_soon(callback, 1)
        else:
            for _ in range(count):
                call_soon(by_hand, Future(), 1)
        release.set()

    batch(100)
    batch(n)
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    loop.close()


def start_target(kind: str):
    """The target, started in a thread of its own, and its bare scheduling call."""
    import threading

    if kind == "asyncio":
        import asyncio
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()
        return loop, loop.call_soon_threadsafe
    if kind == "trio":
        import trio
        ready, box = threading.Event(), {}

        async def main():
            box["token"] = trio.lowlevel.current_trio_token()
            ready.set()
            await trio.sleep_forever()

        threading.Thread(target=trio.run, args=(main,), daemon=True).start()
        ready.wait()
        return box["token"], box["token"].run_sync_soon
    if kind == "executor":
        import concurrent.futures
        executor = concurrent.futures.ThreadPoolExecutor(1)
        return executor, executor.submit
    if kind == "queue":
        from tarnwick.dispatch import Queue
        ready, box = threading.Event(), {}

        def own():
            box["queue"] = q = Queue()
            ready.set()
            q.run_forever()

        threading.Thread(target=own, daemon=True).start()
        ready.wait()
        return box["queue"], box["queue"].call_soon_threadsafe
    from dispatch import SimpleQueueDispatcher  # bench/dispatch.py
    d = SimpleQueueDispatcher()
    return d, d.queue.put


def target_child(case: str, n: int) -> None:
    import threading

    from tarnwick import Signal

    kind, side = case.split()
    target, bare = start_target(kind)
    held = threading.Event()

    def hold():
        held.set()
        threading.Event().wait()  # for ever: nothing queued after it runs

    def callback(x):
        return x

    s = Signal("s")
    s.listener(callback, loop=target)
    emit = s.emit
    bare(hold)
    held.wait()
    if side == "emit":
        for _ in range(n):
            emit(1)
    else:
        for _ in range(n):
            bare(callback)
    sys.stdout.flush()
    os._exit(0)  # the queued calls are never run: only the emitting side counts


CHILDREN = {"read": read_child, "loop": loop_child, "target": target_child}


def run(work: str, kind: str, case: str, n: int) -> int:
    out = os.path.join(work, f"cg-{kind}-{case.replace(' ', '_')}-{n}.out")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
           os.path.abspath(__file__), "--child", kind, case, str(n)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return total_ir(out)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, case, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
        CHILDREN[kind](case, n)
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--only", choices=["read", "loop", "target"])
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    for kind, cases in (("read", READS), ("loop", LOOPS), ("target", TARGETS)):
        if args.only and kind != args.only:
            continue
        for case in cases:
            a = run(args.work, kind, case, args.n)
            b = run(args.work, kind, case, 2 * args.n)
            print(f"{kind:6s} {case:30s} {(b - a) / args.n:10.1f} Ir each", flush=True)


if __name__ == "__main__":
    main()
