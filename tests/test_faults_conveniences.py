"""Allocation failure at every allocation of listener, disconnect_callback,
blocked and connections: a call that fails changes nothing and keeps nothing
alive (the walk and the model are test_faults.py's)."""

import pytest

from test_faults import Model, Plain, needs_nomemory, walk, warm_caches  # noqa: F401 - fixture

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
