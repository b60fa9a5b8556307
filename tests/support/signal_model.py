"""The reference model of one Signal's table, in plain Python.

Model-based tests drive a real Signal and a SignalModel side by side and
compare what they say: the ids connect hands out, the order of calls, which
entries an emission uses up or finds dead, and len and repr, and which arguments each call refuses (the section
Arguments). The model has no threads and is for operations one after
another. The stress tests do not use it: support/stress.py checks concurrent
histories against a model of its own, which reasons with tickets from one
shared clock (see its docstring).
"""

from __future__ import annotations


class Entry:
    """One connection: `remaining` is None for an unlimited one; `payload` is
    whatever the test connected (a callback, a recorder, a label)."""

    __slots__ = ("cid", "priority", "remaining", "weak", "payload")

    def __init__(self, cid, priority, remaining, weak, payload):
        self.cid = cid
        self.priority = priority
        self.remaining = remaining
        self.weak = weak
        self.payload = payload

    def __repr__(self):
        return (f"Entry(cid={self.cid}, priority={self.priority}, remaining={self.remaining}, "
                f"weak={self.weak}, payload={self.payload!r})")


class SignalModel:
    def __init__(self, name=None, next_id=0):
        self.name = name
        self.entries: list[Entry] = []  # in call order
        self.next_id = next_id

    def __len__(self):
        return len(self.entries)

    def repr(self):
        name = "None" if self.name is None else f'"{self.name}"'
        return f"Signal(name={name}, listeners={len(self.entries)})"

    def connect(self, payload=None, priority=0, times=None, weak=False) -> Entry:
        """A successful connect: the next id, placed after every entry of
        higher or equal priority."""
        entry = Entry(self.next_id, priority, times, weak, payload)
        self.next_id += 1
        index = next((i for i, e in enumerate(self.entries) if e.priority < priority),
                     len(self.entries))
        self.entries.insert(index, entry)
        return entry

    def skip_ids(self, n):
        """n connections made and removed again outside the model."""
        self.next_id += n

    def disconnect(self, cid) -> bool:
        before = len(self.entries)
        self.entries = [e for e in self.entries if e.cid != cid]
        return len(self.entries) != before

    def disconnect_where(self, matches) -> int:
        """disconnect_callback: removes every entry for which matches(entry)
        holds and returns how many there were."""
        before = len(self.entries)
        self.entries = [e for e in self.entries if not matches(e)]
        return before - len(self.entries)

    def listing(self):
        """connections() without the callbacks: (id, priority, remaining)."""
        return [(e.cid, e.priority, e.remaining) for e in self.entries]

    def emit(self, raises=lambda entry: False, collect=False, alive=lambda entry: True):
        """One emission: the snapshot uses up one call of every limited
        entry, spent entries and weak ones whose referent is dead leave the
        table, then the live ones are called in order until one raises in
        fast-fail mode. Returns (the entries called, in order; the entry
        whose exception the emission raises, or None)."""
        snapshot = []
        survivors = []
        for e in self.entries:
            if e.remaining is not None:
                e.remaining -= 1
            if e.weak and not alive(e):
                continue
            snapshot.append(e)
            if e.remaining is None or e.remaining > 0:
                survivors.append(e)
        self.entries = survivors
        called = []
        for e in snapshot:
            called.append(e)
            if raises(e) and not collect:
                return called, e
        return called, None


# ---------------------------------------------------------------------------
# Arguments: what each accepts, as the signal converts it. A refusal is None
# (accepted), the exception class raised, or the very exception the value's
# own __index__ or __bool__ raised, which the signal lets through (a
# TypeError from there becomes one naming the argument).

def as_index(value):
    """What PyNumber_Index makes of `value`: the int, or the refusal."""
    if isinstance(value, int):
        return int(value)
    index = getattr(type(value), "__index__", None)
    if index is None:
        return TypeError
    try:
        result = index(value)
    except BaseException as e:  # noqa: BLE001 - it is the refusal
        return e
    return result if type(result) is int else TypeError


def int_refusal(value, lo, hi):
    got = as_index(value)
    if isinstance(got, BaseException) or got is TypeError:
        return got
    return None if lo <= got <= hi else OverflowError


def priority_refusal(value):  # a C int, never from a float
    if isinstance(value, float) and not hasattr(type(value), "__index__"):
        return TypeError
    return int_refusal(value, -(2**31), 2**31 - 1)


def u64_refusal(value):  # ids and call counts
    return int_refusal(value, 0, 2**64 - 1)


def weak_refusal(value):
    """A bool, or NumPy's bool scalar (whose __bool__ decides)."""
    if value is True or value is False:
        return None
    t = type(value)
    if t.__module__ != "numpy" or t.__name__ not in ("bool_", "bool"):
        return TypeError
    try:
        return None if type(t.__bool__(value)) is bool else TypeError
    except BaseException as e:  # noqa: BLE001 - it is the refusal
        return e


def is_weak(value):
    return value is True or (value is not False and bool(value))


def mode_refusal(value):  # "fast_fail" or "collect", a str subclass too
    ok = isinstance(value, str) and (str.__eq__(value, "fast_fail") is True
                                     or str.__eq__(value, "collect") is True)
    return None if ok else TypeError


def name_refusal(value):  # None, or a str that encodes to UTF-8
    if value is None:
        return None
    if not isinstance(value, str):
        return TypeError
    try:
        str.encode(value, "utf-8")
    except UnicodeEncodeError:
        return UnicodeEncodeError
    return None


def connect_refusal(callback, weak=False, priority=0):
    """connect, connect_once, connected: in the order the signal reads them."""
    return weak_refusal(weak) or priority_refusal(priority) or (None if callable(callback) else TypeError)


def connect_finite_refusal(callback, times, weak=False, priority=0):
    """connect_finite: `times` first, and it must be greater than zero."""
    refusal = u64_refusal(times) or connect_refusal(callback, weak, priority)
    return TypeError if refusal is None and as_index(times) == 0 else refusal
