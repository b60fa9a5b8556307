"""Random sequences of operations checked against a pure-Python model."""

import gc
import random

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from support.signal_model import SignalModel
from tarnwick import Signal


class Boom(Exception):
    pass


class SignalMachine(RuleBasedStateMachine):
    @initialize()
    def setup(self):
        self.signal = Signal("model")
        self.model = SignalModel("model")  # each entry's payload: whether it raises
        self.calls = []
        self.hooked = []
        self.signal.on_error(lambda exc, cb: self.hooked.append(exc.args[0]))

    def make_callback(self, cid, raises):
        def callback(*args, **kwargs):
            self.calls.append(cid)
            if raises:
                raise Boom(cid)
            return (cid, args, kwargs)

        return callback

    def check_connect(self, cid, raises, priority, times=None):
        assert cid == self.model.connect(raises, priority=priority, times=times).cid

    @rule(priority=st.integers(-3, 3), raises=st.booleans())
    def connect(self, priority, raises):
        cb = self.make_callback(self.model.next_id, raises)
        self.check_connect(self.signal.connect(cb, priority=priority), raises, priority)

    @rule(priority=st.integers(-3, 3), raises=st.booleans())
    def connect_once(self, priority, raises):
        cb = self.make_callback(self.model.next_id, raises)
        self.check_connect(self.signal.connect_once(cb, priority=priority), raises, priority, 1)

    @rule(priority=st.integers(-3, 3), times=st.integers(1, 4), raises=st.booleans())
    def connect_finite(self, priority, times, raises):
        cb = self.make_callback(self.model.next_id, raises)
        cid = self.signal.connect_finite(cb, times, priority=priority)
        self.check_connect(cid, raises, priority, times)

    @rule(bad_priority=st.sampled_from(["x", 2**31, None]))
    def failed_connect(self, bad_priority):
        try:
            self.signal.connect(print, priority=bad_priority)
        except (TypeError, OverflowError):
            pass
        else:
            raise AssertionError("accepted a bad priority")

    @precondition(lambda self: self.model.next_id > 0)
    @rule(data=st.data())
    def disconnect(self, data):
        cid = data.draw(st.integers(0, self.model.next_id))
        assert self.signal.disconnect(cid) is self.model.disconnect(cid)

    @rule(collect=st.booleans(), arg=st.integers())
    def emit(self, collect, arg):
        called, failure = self.model.emit(raises=lambda e: e.payload, collect=collect)
        expected_results = [("raised", e.cid) if e.payload else (e.cid, (arg,), {"k": arg})
                            for e in called]
        self.calls.clear()
        self.hooked.clear()
        try:
            results = self.signal.emit(arg, k=arg, on_error="collect" if collect else "fast_fail")
        except Boom as exc:
            assert failure is not None and failure.cid == exc.args[0]
        else:
            assert failure is None
            got = [("raised", r.args[0]) if isinstance(r, Boom) else r for r in results]
            assert got == expected_results
        assert self.calls == [e.cid for e in called]
        assert self.hooked == [e.cid for e in called if e.payload]

    @rule()
    def traverse(self):
        # What the collector sees of the signal: its type, every connected
        # callback and the one error hook. A traverse of just this object
        # checks that as well as a full collection would, for a fraction of
        # the time.
        seen = gc.get_referents(self.signal)
        assert len(seen) == len(self.model) + 2, (len(seen), len(self.model))

    @invariant()
    def length_matches(self):
        if hasattr(self, "signal"):
            assert len(self.signal) == len(self.model)
            assert repr(self.signal) == self.model.repr()


TestSignalModel = SignalMachine.TestCase
TestSignalModel.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)


class Recorder:
    """A listener reached through bound methods: a new one at every lookup,
    equal to the others, so that matching them needs __eq__."""

    def __init__(self, calls, label):
        self.calls = calls
        self.label = label

    def hit(self, *args, **kwargs):
        self.calls.append(self.label)


class ChurnMachine(RuleBasedStateMachine):
    """Hundreds of entries over up to 141 priorities, connected and removed
    in bulk between emissions, so that the table fills, splits, empties and
    merges its chunks while order, counts and ids are checked."""

    @initialize()
    def setup(self):
        self.signal = Signal()
        self.model = SignalModel()  # payload: the label its callback records
        self.calls = []
        self.shared = []
        for i in range(3):
            self.shared.append(self.recording(("shared", i)))
        self.recorders = [Recorder(self.calls, ("method", i)) for i in range(3)]

    def recording(self, label):
        def callback(*args, **kwargs):
            self.calls.append(label)

        return callback

    @rule(count=st.integers(1, 150), priorities=st.lists(st.integers(-70, 70), min_size=1, max_size=70),
          times=st.sampled_from([None, None, 1, 3]), kind=st.sampled_from(["own", "shared", "method"]),
          which=st.integers(0, 2))
    def connect_many(self, count, priorities, times, kind, which):
        for k in range(count):
            priority = priorities[k % len(priorities)]
            cid = self.model.next_id
            if kind == "own":
                label, cb = cid, self.recording(cid)
            elif kind == "shared":
                label, cb = ("shared", which), self.shared[which]
            else:
                label, cb = ("method", which), self.recorders[which].hit
            if times is None:
                got = self.signal.connect(cb, priority=priority)
            else:
                got = self.signal.connect_finite(cb, times, priority=priority)
            assert got == self.model.connect(label, priority=priority, times=times).cid

    @rule(seed=st.integers(0, 2**32), share=st.floats(0, 1))
    def disconnect_many(self, seed, share):
        rng = random.Random(seed)
        ids = [e.cid for e in self.model.entries]
        gone = rng.sample(ids, int(len(ids) * share))
        gone += [rng.randrange(self.model.next_id + 5) for _ in range(3)]
        for cid in gone:
            assert self.signal.disconnect(cid) is self.model.disconnect(cid)

    @rule(kind=st.sampled_from(["shared", "method"]), which=st.integers(0, 2))
    def disconnect_callback(self, kind, which):
        cb = self.shared[which] if kind == "shared" else self.recorders[which].hit
        expected = self.model.disconnect_where(lambda e: e.payload == (kind, which))
        assert self.signal.disconnect_callback(cb) == expected

    @rule()
    def emit(self):
        called, _ = self.model.emit()
        self.calls.clear()
        assert len(self.signal.emit()) == len(called)
        assert self.calls == [e.payload for e in called]

    @invariant()
    def listing_matches(self):
        if hasattr(self, "signal"):
            assert [(cid, p, r) for cid, _, p, r in self.signal.connections()] == self.model.listing()


TestChurnModel = ChurnMachine.TestCase
TestChurnModel.settings = settings(max_examples=40, stateful_step_count=30, deadline=None)
