"""Stress for blocked(), connections() and disconnect_callback(): the same
time-bounded, seeded threads as test_stress.py (support/stress.py), with the
same checks."""

from __future__ import annotations

import bisect
import random
import threading
import time

import pytest

from support.stress import JOIN_TIMEOUT, SECONDS, Clock, Conn, SharedState, Target, Worker, \
    check_model, drain_and_check, run_workers, seed, watchdog_fd  # noqa: F401 - fixtures
from tarnwick import Signal

pytestmark = [pytest.mark.stress, pytest.mark.threads]


class InspectingWorker(Worker):
    """The usual mix, plus listing the connections and disconnecting by
    callback, both checked against the same model."""

    def __init__(self, state, index, rng):
        super().__init__(state, index, rng)
        self.ops = self.ops + [(self.op_disconnect_callback, 4), (self.op_connections, 3)]
        self.choices = [op for op, _ in self.ops]
        self.weights = [w for _, w in self.ops]

    def op_disconnect_callback(self):
        si = self.pick()
        strong = [c for c in self.own[si] if not c.weak]
        if not strong:
            return
        conn = strong[self.rng.randrange(len(strong))]
        self.own[si].remove(conn)

        def remove(sig, conn):
            # conn.call is a fresh bound method, equal to the connected one.
            n = sig.disconnect_callback(conn.call)
            if n > 1:
                self.state.fail(f"disconnect_callback removed {n} connections of {conn!r}")
            return n == 1

        self.disconnect(si, conn, remove)

    def op_connections(self):
        sig = self.state.signals[self.pick()]
        listed = sig.connections()
        ids = [cid for cid, _, _, _ in listed]
        if len(set(ids)) != len(ids):
            self.state.fail(f"repeated ids in {listed}")
        priorities = [p for _, _, p, _ in listed]
        if priorities != sorted(priorities, reverse=True):
            self.state.fail(f"connections() out of priority order: {priorities}")
        for cid, callback, _, remaining in listed:
            owner = getattr(callback, "__self__", None)
            if callback is not None and not isinstance(owner, (Conn, Target)):
                self.state.fail(f"odd callback {callback!r} for id {cid}")
            if remaining is not None and not (0 <= remaining <= 5):
                self.state.fail(f"odd remaining count {remaining} for id {cid}")


def test_connections_and_disconnect_callback_in_the_mix(seed):
    rng = random.Random(seed ^ 0x15EC7)
    n_threads = rng.randint(4, 6)
    state = SharedState(n_signals=2, seed=seed)
    workers = run_workers(state, n_threads, seed, InspectingWorker)
    for w in workers:
        for target, conn in w.targets:
            conn.dropped_at = state.clock.tick()
        w.targets.clear()
    check_model(state, workers)
    drain_and_check(state)


class Counted:
    """A connection of the blocking test: the tickets of its calls."""

    def __init__(self, limit):
        self.limit = limit
        self.calls = []
        self.cid = None

    def __call__(self, ticket):
        self.calls.append(ticket)


def test_no_emission_inside_a_block_calls_or_counts(seed):
    """Threads enter and leave blocked() (nested, and one blocker entered
    twice) while others emit, connect limited callbacks, disconnect by callback
    and list the connections. An emission that runs from start to end while
    some block is held (its tickets before and after lie within the block's
    entry and exit) calls nothing; and since a blocked emission uses no
    count, every limited connection's calls plus its remaining count add up
    to its limit."""
    rng = random.Random(seed ^ 0xB10C)
    s = Signal("blocked")
    clock = Clock()
    blocks, conns, errors = [], [], []
    ends = {}  # an emission's start ticket -> its end ticket
    deadline = []
    barrier = threading.Barrier(5, action=lambda: deadline.append(time.monotonic() + SECONDS))

    def blocker(r):
        again = s.blocked()
        while time.monotonic() < deadline[0]:
            with s.blocked():
                entered = clock.tick()
                with again if r.random() < 0.3 else s.blocked():
                    if s.emit(clock.tick()) != []:
                        errors.append("an emission inside a block returned results")
                leaving = clock.tick()
            blocks.append((entered, leaving))

    def emitter(r):
        unlimited = []
        while time.monotonic() < deadline[0]:
            op = r.random()
            if op < 0.5:
                start = clock.tick()
                s.emit(start)
                ends[start] = clock.tick()
            elif op < 0.8:
                c = Counted(r.choice([1, 1, 2, 3]))
                c.cid = s.connect_finite(c, c.limit, priority=r.randint(-2, 2))
                conns.append(c)
            elif op < 0.9:
                c = Counted(None)
                s.connect(c)
                unlimited.append(c)
                conns.append(c)
            elif unlimited and op < 0.95:
                if s.disconnect_callback(unlimited.pop()) != 1:
                    errors.append("disconnect_callback missed its own connection")
            else:
                s.connections()

    def body(target, r):
        try:
            barrier.wait(timeout=60)
            target(r)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    roles = [blocker, blocker, emitter, emitter, emitter]
    threads = [threading.Thread(target=body, args=(role, random.Random(rng.random())), daemon=True)
               for role in roles]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "threads hung"
    assert errors == [], f"{errors[:3]} [TARNWICK_STRESS_SEED={seed}]"

    # Blocks of different threads overlap: merge them into the disjoint
    # stretches during which some block was held.
    held = []
    for entered, leaving in sorted(blocks):
        if held and entered < held[-1][1]:
            held[-1][1] = max(held[-1][1], leaving)
        else:
            held.append([entered, leaving])
    starts = [h[0] for h in held]
    for c in conns:
        for ticket in c.calls:
            i = bisect.bisect_left(starts, ticket) - 1
            assert i < 0 or ends[ticket] > held[i][1], \
                f"emission {ticket}..{ends[ticket]} ran inside a block {held[i]} [TARNWICK_STRESS_SEED={seed}]"
    remaining = {cid: left for cid, _, _, left in s.connections()}
    for c in conns:
        if c.limit is not None:
            assert len(c.calls) + remaining.get(c.cid, 0) == c.limit, \
                f"calls {c.calls} and {remaining.get(c.cid)} left of {c.limit} [TARNWICK_STRESS_SEED={seed}]"
    print(f"{len(blocks)} blocks, {sum(len(c.calls) for c in conns)} calls, {len(conns)} connections")
