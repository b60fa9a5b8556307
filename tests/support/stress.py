"""The stress harness: several threads hammer a few shared signals, checked
against a model (test_stress.py, test_stress_conveniences.py).

Every test runs for TARNWICK_STRESS_SECONDS (default 3) and stops by itself.
The operations each thread performs come from a random generator seeded with
TARNWICK_STRESS_SEED (random when unset); the seed is printed at the start of
every test and repeated in every failure, so a failing mix can be replayed
(the interleaving of the threads is up to the scheduler, the mix is not).

The model only ever reasons with tickets from one shared clock: an emission
takes a ticket before it calls emit and another after it returns, a connect
takes one after it returns, a disconnect one before it starts and one after it
returns. Each callback records the start ticket of every emission that called
it. From that the checks are exact, never timing-based:

* an emission that started after a connect returned, and ended before the
  connection was disconnected (or its weak referent dropped), calls it,
  unless its count was already used up;
* nothing is called by an emission that started after a disconnect returned;
* a one-shot is called at most once, an N-shot at most N times, and at
  quiescence every pending one-shot fires on the next emission, exactly once;
* ids are unique per signal and count 0, 1, 2, ... (no connect here fails);
* results come in priority order, equal priorities in connection order;
* at quiescence len() matches the model.
"""

from __future__ import annotations

import asyncio
import bisect
import faulthandler
import gc
import os
import random
import sys
import threading
import time

import pytest

from tarnwick import Signal

SECONDS = float(os.environ.get("TARNWICK_STRESS_SECONDS", "3"))
SEED = int(os.environ.get("TARNWICK_STRESS_SEED") or random.randrange(2**32))
# Generous: the threads stop by themselves after SECONDS; this only catches
# a hang (under TSan everything runs many times slower).
JOIN_TIMEOUT = SECONDS + 300
RAISER_PRIORITY = -100  # raisers run last, so fast_fail never skips a counted entry


def real_stderr_fd(config):
    """The terminal's stderr, even under pytest's capture: a watchdog that ends
    the process must leave its tracebacks where the CI log shows them."""
    try:
        from _pytest.faulthandler import fault_handler_stderr_fd_key

        return config.stash[fault_handler_stderr_fd_key]
    except (ImportError, KeyError):
        return sys.__stderr__.fileno()


@pytest.fixture(autouse=True)
def watchdog_fd(request):
    global WATCHDOG_FD
    WATCHDOG_FD = real_stderr_fd(request.config)
    return WATCHDOG_FD


WATCHDOG_FD = 2


@pytest.fixture
def seed(request):
    # Derived per test so that each test can be replayed alone with the same seed.
    s = SEED
    print(f"stress seed: TARNWICK_STRESS_SEED={s} TARNWICK_STRESS_SECONDS={SECONDS} "
          f"({request.node.name})")
    return s


class Clock:
    """A strictly increasing ticket counter shared by all threads."""

    def __init__(self):
        self._lock = threading.Lock()
        self._n = 0

    def tick(self):
        with self._lock:
            self._n += 1
            return self._n


class Boom(Exception):
    pass


class Ready:
    """An awaitable that never needs a loop and never warns when dropped."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __await__(self):
        if False:  # pragma: no cover - makes this a generator
            yield
        return self.value


class Conn:
    """The model of one connection."""

    __slots__ = ("sig", "cid", "priority", "limit", "weak", "raiser", "connected_at",
                 "disconnect_started", "disconnected_at", "dropped_at", "calls",
                 "removals", "exited", "async_result", "dropped_mid_run", "__weakref__")

    def __init__(self, sig, priority, limit=None, weak=False, raiser=False):
        self.sig = sig
        self.cid = None
        self.priority = priority
        self.limit = limit  # None: unlimited
        self.weak = weak
        self.raiser = raiser
        self.connected_at = None
        self.disconnect_started = None  # first disconnect attempt (or with-block end)
        self.disconnected_at = None  # after a disconnect that removed it returned
        self.dropped_at = None  # weak: just before the referent was dropped
        self.calls = []  # start tickets of the emissions that called it
        self.removals = []  # results of disconnect() calls on this id
        self.exited = False
        self.async_result = False
        self.dropped_mid_run = False

    def call(self, ticket, *args, **kwargs):
        self.calls.append(ticket)
        if self.raiser:
            raise Boom(self)
        if self.async_result:
            return Ready(self)
        return self

    def window_end(self):
        ends = [t for t in (self.disconnect_started, self.dropped_at) if t is not None]
        return min(ends) if ends else None

    def __repr__(self):
        return (f"Conn(signal={self.sig}, cid={self.cid}, prio={self.priority}, limit={self.limit}, weak={self.weak}, "
                f"raiser={self.raiser}, connected_at={self.connected_at}, calls={self.calls}, "
                f"disconnect_started={self.disconnect_started}, disconnected_at={self.disconnected_at}, "
                f"dropped_at={self.dropped_at}, removals={self.removals})")


class Target:
    """The referent of a weak connection; only its owner thread holds it."""

    __slots__ = ("conn", "__weakref__")

    def __init__(self, conn):
        self.conn = conn

    def method(self, ticket, *args, **kwargs):
        return self.conn.call(ticket, *args, **kwargs)


class SharedState:
    def __init__(self, n_signals, seed):
        self.seed = seed
        self.clock = Clock()
        self.signals = [Signal(f"stress-{i}") for i in range(n_signals)]
        self.ids = [[] for _ in range(n_signals)]  # every id a connect returned
        self.conns = [[] for _ in range(n_signals)]  # every Conn, in no order
        # Unlimited strong connections any thread may try to disconnect.
        self.pool = [[] for _ in range(n_signals)]
        self.hook_calls = []
        self.failure = threading.Event()
        self.errors = []
        self.lock = threading.Lock()

    def fail(self, message):
        raise AssertionError(f"{message} [TARNWICK_STRESS_SEED={self.seed}]")


def hook_for(state):
    def hook(exc, callback):
        if not isinstance(exc, Boom):
            state.errors.append(AssertionError(f"hook got {exc!r}"))
        elif callback.__self__ is not exc.args[0]:
            state.errors.append(AssertionError("hook got the wrong callback"))
        state.hook_calls.append(1)

    return hook


class Worker:
    """One thread's random mix of operations."""

    MAX_UNLIMITED = 12
    MAX_RAISERS = 2

    def __init__(self, state, index, rng):
        self.state = state
        self.index = index
        self.rng = rng
        self.own = [[] for _ in state.signals]  # Conns this thread may disconnect
        self.targets = []  # (Target, Conn) of live weak connections
        self.emissions = [[] for _ in state.signals]  # (start, end) tickets
        self.loop = None
        self.ops = [
            (self.op_connect, 6),
            (self.op_connect_once, 10),
            (self.op_connect_finite, 5),
            (self.op_connected_block, 3),
            (self.op_disconnect_own, 6),
            (self.op_disconnect_pooled, 3),
            (self.op_disconnect_absent, 1),
            (self.op_drop_referent, 3),
            (self.op_emit, 14),
            (self.op_emit_async, 6),
            (self.op_hooks, 2),
            (self.op_len_repr, 3),
            (self.op_gc, 0.05),
        ]
        self.choices = [op for op, _ in self.ops]
        self.weights = [w for _, w in self.ops]

    # -- helpers -----------------------------------------------------------

    def pick(self):
        return self.rng.randrange(len(self.state.signals))

    def register(self, si, conn, cid):
        conn.cid = cid
        conn.connected_at = self.state.clock.tick()
        self.state.ids[si].append(cid)
        self.state.conns[si].append(conn)

    def connect_with(self, si, conn, method, *args):
        sig = self.state.signals[si]
        if conn.weak:
            target = Target(conn)
            cid = method(target.method, *args, weak=True, priority=conn.priority)
            self.targets.append((target, conn))
        else:
            cid = method(conn.call, *args, priority=conn.priority)
        self.register(si, conn, cid)
        return sig, cid

    def priority(self):
        return self.rng.randint(-3, 3)

    def disconnect(self, si, conn, remove=None):
        """Disconnects by id, or through `remove(signal, conn)` -> bool."""
        started = self.state.clock.tick()
        with self.state.lock:  # the first attempt counts, whichever thread made it
            if conn.disconnect_started is None or started < conn.disconnect_started:
                conn.disconnect_started = started
        sig = self.state.signals[si]
        removed = remove(sig, conn) if remove else sig.disconnect(conn.cid)
        if removed:
            conn.disconnected_at = self.state.clock.tick()
        conn.removals.append(removed)
        return removed

    # -- operations --------------------------------------------------------

    def op_connect(self):
        si = self.pick()
        unlimited = [c for c in self.own[si] if c.limit is None]
        if len(unlimited) >= self.MAX_UNLIMITED:
            self.op_disconnect_own(si)
            return
        raiser = (self.rng.random() < 0.1
                  and sum(c.raiser for c in unlimited) < self.MAX_RAISERS)
        conn = Conn(si, RAISER_PRIORITY if raiser else self.priority(), raiser=raiser)
        conn.async_result = self.rng.random() < 0.3
        self.connect_with(si, conn, self.state.signals[si].connect)
        self.own[si].append(conn)
        if not raiser and self.rng.random() < 0.5:
            self.state.pool[si].append(conn)

    def op_connect_once(self):
        si = self.pick()
        conn = Conn(si, self.priority(), limit=1, weak=self.rng.random() < 0.25)
        conn.async_result = self.rng.random() < 0.3
        self.connect_with(si, conn, self.state.signals[si].connect_once)
        if self.rng.random() < 0.2:
            self.own[si].append(conn)

    def op_connect_finite(self):
        si = self.pick()
        times = self.rng.randint(2, 5)
        conn = Conn(si, self.priority(), limit=times, weak=self.rng.random() < 0.25)
        self.connect_with(si, conn, self.state.signals[si].connect_finite, times)
        if self.rng.random() < 0.3:
            self.own[si].append(conn)

    def op_connected_block(self):
        si = self.pick()
        sig = self.state.signals[si]
        conn = Conn(si, self.priority())
        with sig.connected(conn.call, priority=conn.priority) as cid:
            self.register(si, conn, cid)
            if self.rng.random() < 0.5:
                self.emit_once(si, "collect")
            conn.disconnect_started = self.state.clock.tick()
        conn.disconnected_at = self.state.clock.tick()
        conn.exited = True

    def op_disconnect_own(self, si=None):
        if si is None:
            si = self.pick()
        if not self.own[si]:
            return
        conn = self.own[si].pop(self.rng.randrange(len(self.own[si])))
        self.disconnect(si, conn)
        if self.rng.random() < 0.1:
            # Twice: the second attempt never finds it.
            if self.state.signals[si].disconnect(conn.cid):
                self.state.fail(f"second disconnect of {conn!r} removed something")

    def op_disconnect_pooled(self):
        si = self.pick()
        pool = self.state.pool[si]
        if not pool:
            return
        try:
            conn = pool[self.rng.randrange(len(pool))]
        except IndexError:
            return
        self.disconnect(si, conn)

    def op_disconnect_absent(self):
        si = self.pick()
        if self.state.signals[si].disconnect(2**64 - 1 - self.rng.randrange(1000)):
            self.state.fail("disconnect of an id never handed out removed something")

    def op_drop_referent(self):
        if not self.targets:
            return
        target, conn = self.targets.pop(self.rng.randrange(len(self.targets)))
        conn.dropped_at = self.state.clock.tick()
        conn.dropped_mid_run = True
        del target

    def check_results(self, results, ticket):
        last = None
        for r in results:
            if isinstance(r, Boom):
                r = r.args[0]
            elif isinstance(r, Ready):  # plain emit hands awaitables back as they are
                r = r.value
            if not isinstance(r, Conn):
                self.state.fail(f"unexpected result {r!r}")
            if ticket not in r.calls:
                self.state.fail(f"{r!r} is in the results of emission {ticket} but was not called by it")
            if r.cid is None:
                continue  # its connect has not returned yet: order unknown to the model
            key = (-r.priority, r.cid)
            if last is not None and key < last:
                self.state.fail(f"results out of order: {last} before {key}")
            last = key

    def emit_once(self, si, mode):
        sig = self.state.signals[si]
        start = self.state.clock.tick()
        try:
            results = sig.emit(start, on_error=mode)
        except Boom:
            if mode != "fast_fail":
                raise
            results = None
        end = self.state.clock.tick()
        self.emissions[si].append((start, end))
        if results is not None:
            self.check_results(results, start)

    def op_emit(self):
        self.emit_once(self.pick(), self.rng.choice(["collect", "fast_fail"]))

    def op_emit_async(self):
        si = self.pick()
        mode = self.rng.choice(["collect", "fast_fail"])
        sig = self.state.signals[si]
        clock = self.state.clock

        async def run():
            start = clock.tick()
            try:
                coro = sig.emit_async(start, on_error=mode)
            except Boom:
                if mode != "fast_fail":
                    raise
                coro = None
            end = clock.tick()
            self.emissions[si].append((start, end))
            if coro is not None:
                results = await coro
                self.check_results(results, start)

        self.loop.run_until_complete(run())

    def op_hooks(self):
        sig = self.state.signals[self.pick()]
        if self.rng.random() < 0.6:
            sig.on_error(hook_for(self.state))
        else:
            sig.clear_error_hooks()

    def op_len_repr(self):
        sig = self.state.signals[self.pick()]
        n = len(sig)
        text = repr(sig)
        if n < 0 or not text.startswith('Signal(name="stress-'):
            self.state.fail(f"odd len/repr: {n} {text}")

    def op_gc(self):
        gc.collect()

    # -- the thread --------------------------------------------------------

    def run(self, deadline):
        try:
            while time.monotonic() < deadline and not self.state.failure.is_set():
                op = self.rng.choices(self.choices, self.weights)[0]
                op()
        except BaseException as e:  # noqa: BLE001 - handed to the main thread
            with self.state.lock:
                self.state.errors.append(e)
            self.state.failure.set()
        finally:
            self.loop.close()


def run_workers(state, n_threads, seed, worker_cls=Worker):
    rngs = [random.Random(f"{seed}-{i}") for i in range(n_threads)]
    workers = [worker_cls(state, i, rngs[i]) for i in range(n_threads)]
    deadline_box = []

    def start_deadline():
        deadline_box.append(time.monotonic() + SECONDS)

    # Everyone starts together; the deadline is fixed once all have arrived.
    barrier = threading.Barrier(n_threads, action=start_deadline)

    def body(w):
        w.loop = asyncio.new_event_loop()  # emit_async needs a running loop per thread
        try:
            barrier.wait(timeout=60)
        except threading.BrokenBarrierError as e:
            w.loop.close()
            state.errors.append(e)
            return
        w.run(deadline_box[0])

    threads = [threading.Thread(target=body, args=(w,), daemon=True, name=f"stress-{w.index}")
               for w in workers]
    faulthandler.dump_traceback_later(JOIN_TIMEOUT + 60, exit=True, file=WATCHDOG_FD)
    try:
        for t in threads:
            t.start()
        end = time.monotonic() + JOIN_TIMEOUT
        for t in threads:
            t.join(timeout=max(0.0, end - time.monotonic()))
        hung = [t.name for t in threads if t.is_alive()]
        if hung:
            faulthandler.dump_traceback(file=WATCHDOG_FD, all_threads=True)
            state.fail(f"threads hung: {hung}")
    finally:
        faulthandler.cancel_dump_traceback_later()
    if state.errors:
        err = state.errors[0]
        raise AssertionError(f"a worker failed: {err!r} [TARNWICK_STRESS_SEED={seed}]") from err
    return workers


class EmissionIndex:
    """Per signal and thread, the start and end tickets of every emission.
    A thread's emissions are sequential, so both lists are sorted."""

    def __init__(self, workers, si):
        self.per_thread = [([s for s, _ in w.emissions[si]], [e for _, e in w.emissions[si]])
                           for w in workers]

    def _slices(self, after, before):
        for starts, ends in self.per_thread:
            lo = bisect.bisect_right(starts, after)
            hi = len(ends) if before is None else bisect.bisect_left(ends, before)
            if lo < hi:
                yield starts, ends, lo, hi

    def inside_starts(self, after, before):
        """Start tickets of the emissions that started after `after` and ended
        before `before`."""
        for starts, _, lo, hi in self._slices(after, before):
            yield from starts[lo:hi]

    def first_inside_ends(self, after, before, k):
        """End tickets of the first k such emissions to end."""
        ends = []
        for _, e, lo, hi in self._slices(after, before):
            ends.extend(e[lo:min(hi, lo + k)])
        return sorted(ends)[:k]


def check_model(state, workers):
    fail = state.fail
    for si, sig in enumerate(state.signals):
        index = EmissionIndex(workers, si)
        ids = state.ids[si]
        if sorted(ids) != list(range(len(ids))):
            dupes = len(ids) - len(set(ids))
            fail(f"signal {si}: ids are not 0..{len(ids) - 1} ({dupes} duplicates)")
        for conn in state.conns[si]:
            n = len(conn.calls)
            if conn.limit is not None and n > conn.limit:
                fail(f"called {n} times, more than its limit: {conn!r}")
            if len(set(conn.calls)) != n:
                fail(f"called twice by one emission: {conn!r}")
            if conn.disconnected_at is not None:
                late = [t for t in conn.calls if t > conn.disconnected_at]
                if late:
                    fail(f"called by emissions {late} that started after its disconnect returned: {conn!r}")
            if conn.removals.count(True) > 1:
                fail(f"disconnect removed it more than once: {conn!r}")
            if conn.limit is None and not conn.weak and not conn.exited and conn.removals:
                if True not in conn.removals:
                    fail(f"disconnect never found a connection that was still there: {conn!r}")
            if conn.raiser:
                continue  # a fast-fail emission stops at the first raiser
            after, before = conn.connected_at, conn.window_end()
            if conn.limit is None:
                # Every emission wholly inside its lifetime calls it.
                called = set(conn.calls)
                missed = [t for t in index.inside_starts(after, before) if t not in called]
                if missed:
                    fail(f"missed by emissions {missed[:10]} that started after its connect "
                         f"returned: {conn!r}")
                continue
            # Limited: the k-th emission to end inside its lifetime finds a
            # count left unless k-1 earlier calls used them up, so by its end
            # at least min(k, limit) calls have started. Not so for a weak
            # one whose referent died while others were emitting: an
            # emission in flight may have taken a count in its snapshot and
            # then found the referent dead, so that count is gone uncalled
            # while a later emission, wholly inside the lifetime, saw none.
            if conn.weak and conn.dropped_mid_run:
                continue
            starts = sorted(conn.calls)
            for k, end in enumerate(index.first_inside_ends(after, before, conn.limit), 1):
                if bisect.bisect_left(starts, end) < k:
                    fail(f"missed by the emission ending at {end}, which started after its "
                         f"connect returned (needed {k} calls by then): {conn!r}")


def drain_and_check(state):
    """At quiescence: one more emission fires every pending one-shot exactly once,
    enough further emissions use up every N-shot, and len() follows the model."""
    fail = state.fail
    clock = state.clock
    for si, sig in enumerate(state.signals):
        sig.clear_error_hooks()
        conns = state.conns[si]
        live = [c for c in conns if c.disconnect_started is None and c.dropped_at is None]
        pending_once = [c for c in live if c.limit == 1 and not c.calls]
        before = {id(c): len(c.calls) for c in conns}
        ticket = clock.tick()
        sig.emit(ticket, on_error="collect")
        for c in pending_once:
            if c.calls != [ticket]:
                fail(f"pending one-shot did not fire exactly once on the final emission: {c!r}")
        for c in conns:
            grew = len(c.calls) - before[id(c)]
            if c.limit == 1 and len(c.calls) > 1:
                fail(f"one-shot called twice: {c!r}")
            if c.disconnected_at is not None and grew:
                fail(f"disconnected connection called at quiescence: {c!r}")
        longest = max((c.limit for c in live if c.limit), default=0)
        for _ in range(longest):
            sig.emit(clock.tick(), on_error="collect")
        for c in live:
            if c.limit is not None and len(c.calls) != c.limit:
                fail(f"N-shot not called exactly {c.limit} times after draining: {c!r}")
        unlimited = [c for c in live if c.limit is None]
        # Dead weak entries went with the emissions above; weak one-shots whose
        # referent is dropped may still linger only if no emission ran since.
        if len(sig) != len(unlimited):
            fail(f"signal {si}: len() is {len(sig)}, the model says {len(unlimited)}")
        if repr(sig) != f'Signal(name="stress-{si}", listeners={len(unlimited)})':
            fail(f"signal {si}: repr() is {sig!r}")
        for c in unlimited:
            if not sig.disconnect(c.cid):
                fail(f"live connection missing at the end: {c!r}")
        if len(sig) != 0 or sig.emit(clock.tick()) != []:
            fail(f"signal {si} not empty after disconnecting everything")
