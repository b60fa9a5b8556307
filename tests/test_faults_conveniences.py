"""Allocation failure at every allocation of listener (max_args included), disconnect_callback,
blocked and connections: a call that fails changes nothing and keeps nothing
alive (the walk and the model are support/allocation.py's, as in
test_allocation_failure.py)."""

import pytest

from support.allocation import Model, Plain, needs_nomemory, walk, warm_caches  # noqa: F401 - fixture

pytestmark = [*needs_nomemory, pytest.mark.usefixtures("warm_caches")]


def model_with_target():
    m = Model()
    target = Plain(m.counter, len(m.counter.hits) - 1, 300)
    m.extra.append(target)
    return m, target


@pytest.mark.parametrize("form", ["direct", "decorator"])
def test_listener(form):
    def case():
        m, target = model_with_target()
        if form == "direct":
            return m, lambda: m.s.listener(target, priority=-10, times=5)
        return m, lambda: m.s.listener(priority=-10, times=5)(target)

    def check(m, out, err):
        if err is None:
            assert out is m.extra[0]
            assert m.s.connections()[-1][0] == m.next_id
            m.extra_ids.append(m.next_id)
            m.next_id += 1
        assert len(m.s) == m.full_len() + (err is None)
        m.check()

    walk(case, check)


def test_disconnect_callback():
    def case():
        m = Model()
        return m, lambda: m.s.disconnect_callback(m.permanent[0])

    def check(m, out, err):
        if err is None:
            assert out == 1
            gone = m.permanent.pop(0)
            assert m.table.disconnect(next(e.cid for e in m.table.entries if e.payload is gone))
        assert len(m.s) == m.full_len()  # a failed call removed nothing
        m.check()

    walk(case, check)


def test_connections_and_blocked():
    def case():
        m = Model()
        return m, lambda: (m.s.connections(), m.s.blocked())

    def check(m, out, err):
        if err is None:
            listed, blocker = out
            assert len(listed) == len(m.s) == m.full_len()
            with blocker:
                assert m.s.emit() == []
        m.check()

    walk(case, check)


@pytest.mark.parametrize("option", ["unique", "unique_taken", "loop", "loop_weak", "max_args",
                                    "max_args_loop_weak"])
def test_listener_unique_and_loop(option):
    import asyncio

    loop = asyncio.new_event_loop()  # never runs: only the connect is walked

    def case():
        m, target = model_with_target()
        ops = {
            "unique": lambda: m.s.listener(target, unique=True),
            "unique_taken": lambda: m.s.listener(m.permanent[0], unique=True),
            "loop": lambda: m.s.listener(target, loop=loop, times=2),
            "loop_weak": lambda: m.s.listener(target, weak=True, loop=loop),  # not a bound method: WeakMethod breaks on its own (test_allocation_failure.py)
            # Room for every argument the model emits: calls stay as it expects.
            "max_args": lambda: m.s.listener(target, max_args=8, times=2),
            "max_args_loop_weak": lambda: m.s.listener(target, weak=True, loop=loop, max_args=8),
        }
        return m, ops[option]

    def check(m, out, err):
        connects = err is None and option != "unique_taken"
        if connects:
            assert m.s.connections()[-1][0] == m.next_id
            m.extra_ids.append(m.next_id)
            m.next_id += 1
        assert len(m.s) == m.full_len() + connects
        m.check()

    try:
        walk(case, check)
    finally:
        loop.close()


def test_disconnect_all():
    def case():
        m = Model()
        return m, m.s.disconnect_all

    def check(m, out, err):
        assert err is None and out == m.full_len()
        m.permanent.clear(), m.once.clear(), m.weak.clear()
        m.table.entries.clear()
        m.check()

    walk(case, check, allocates=False)


def test_first_access_of_a_field():
    from tarnwick import SignalField

    class Owner:
        changed = SignalField()

    def case():
        m = Model()
        owner = Owner()
        m.extra.append(owner)
        return m, lambda: owner.changed

    def check(m, out, err):
        owner = m.extra[0]
        if err is None:
            assert out is owner.changed
        assert repr(owner.changed) == 'Signal(name="changed", listeners=0)'
        assert owner.changed is owner.changed
        m.check()

    walk(case, check)


def test_an_evented_field_first_read_connected_and_changed():
    from dataclasses import dataclass

    from tarnwick import evented

    @evented
    @dataclass
    class Point:
        x: int = 0

    class Seen(list):
        pass

    def case():
        m = Model()
        point, seen = Point(), Seen()
        m.extra += [point, seen]

        def on_x(new, old):
            seen.append((new, old))

        def change():
            point.events.x.connect(on_x)
            point.x = 1000
            return point.events

        return m, change

    def check(m, out, err):
        point, seen = m.extra
        if err is None:
            assert out is point.events and seen == [(1000, 0)] and point.x == 1000
        # A failed assignment stored the value or not, and emitted at most once.
        assert seen in ([], [(1000, 0)]) and point.x in (0, 1000)
        assert point.events is point.events and list(point.events) == ["x"]
        m.check()

    walk(case, check)
