"""The reference model of one Signal's table, in plain Python.

Model-based tests drive a real Signal and a SignalModel side by side and
compare what they say: the ids connect hands out, the order of calls, which
entries an emission uses up or finds dead, and len and repr. The model has
no threads and is for operations one after another. The stress tests do not
use it: test_stress.py checks concurrent histories against a model of its
own, which reasons with tickets from one shared clock (see its docstring).
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
