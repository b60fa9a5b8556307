"""Random sequences of operations checked against a pure-Python model."""

import gc

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from signal_model import SignalModel
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
