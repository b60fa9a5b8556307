"""Random sequences of operations checked against a pure-Python model."""

import gc

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from tarnwick import Signal


class Boom(Exception):
    pass


class ModelEntry:
    def __init__(self, cid, priority, remaining, raises):
        self.cid = cid
        self.priority = priority
        self.remaining = remaining  # None: unlimited
        self.raises = raises


class SignalMachine(RuleBasedStateMachine):
    @initialize()
    def setup(self):
        self.signal = Signal("model")
        self.entries = []  # in call order
        self.next_id = 0
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

    def add(self, cid, priority, remaining, raises):
        entry = ModelEntry(cid, priority, remaining, raises)
        index = len(self.entries)
        for i, e in enumerate(self.entries):
            if e.priority < priority:
                index = i
                break
        self.entries.insert(index, entry)

    @rule(priority=st.integers(-3, 3), raises=st.booleans())
    def connect(self, priority, raises):
        cid = self.signal.connect(self.make_callback(self.next_id, raises), priority=priority)
        assert cid == self.next_id
        self.add(cid, priority, None, raises)
        self.next_id += 1

    @rule(priority=st.integers(-3, 3), raises=st.booleans())
    def connect_once(self, priority, raises):
        cid = self.signal.connect_once(self.make_callback(self.next_id, raises), priority=priority)
        assert cid == self.next_id
        self.add(cid, priority, 1, raises)
        self.next_id += 1

    @rule(priority=st.integers(-3, 3), times=st.integers(1, 4), raises=st.booleans())
    def connect_finite(self, priority, times, raises):
        cid = self.signal.connect_finite(self.make_callback(self.next_id, raises), times, priority=priority)
        assert cid == self.next_id
        self.add(cid, priority, times, raises)
        self.next_id += 1

    @rule(bad_priority=st.sampled_from(["x", 2**31, None]))
    def failed_connect(self, bad_priority):
        try:
            self.signal.connect(print, priority=bad_priority)
        except (TypeError, OverflowError):
            pass
        else:
            raise AssertionError("accepted a bad priority")

    @precondition(lambda self: self.next_id > 0)
    @rule(data=st.data())
    def disconnect(self, data):
        cid = data.draw(st.integers(0, self.next_id))
        present = any(e.cid == cid for e in self.entries)
        assert self.signal.disconnect(cid) is present
        self.entries = [e for e in self.entries if e.cid != cid]

    @rule(collect=st.booleans(), arg=st.integers())
    def emit(self, collect, arg):
        expected_calls = []
        expected_results = []
        expected_hooked = []
        failure = None
        survivors = []
        for e in self.entries:
            if e.remaining is not None:
                e.remaining -= 1
            if failure is None:
                expected_calls.append(e.cid)
                if e.raises:
                    expected_hooked.append(e.cid)
                    if collect:
                        expected_results.append(("raised", e.cid))
                    else:
                        failure = e.cid
                else:
                    expected_results.append((e.cid, (arg,), {"k": arg}))
            if e.remaining is None or e.remaining > 0:
                survivors.append(e)
        self.entries = survivors
        self.calls.clear()
        self.hooked.clear()
        try:
            results = self.signal.emit(arg, k=arg, on_error="collect" if collect else "fast_fail")
        except Boom as exc:
            assert failure == exc.args[0]
        else:
            assert failure is None
            got = [("raised", r.args[0]) if isinstance(r, Boom) else r for r in results]
            assert got == expected_results
        assert self.calls == expected_calls
        assert self.hooked == expected_hooked

    @rule()
    def collect_garbage(self):
        gc.collect()

    @invariant()
    def length_matches(self):
        if hasattr(self, "signal"):
            assert len(self.signal) == len(self.entries)
            assert repr(self.signal) == f'Signal(name="model", listeners={len(self.entries)})'


TestSignalModel = SignalMachine.TestCase
TestSignalModel.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)
