"""Child process of test_evented_threads.py: an instance __dict__ holding a key
that is not a str, whose hash is a field's and whose __eq__ assigns a field of
the same object, as an old-value lookup would call it. Every assignment must
finish (a hang here is the fault; the parent's timeout catches it), and each
change must be emitted once, with a value the field held as the old one: such
a __dict__ is read and stored with no lock held, so two threads may both
replace one value."""

import dataclasses
import threading

from tarnwick import evented


@evented
@dataclasses.dataclass
class Point:
    x: int = 0
    y: int = 0


class Collider:
    def __init__(self, obj):
        self.obj = obj
        self.calls = 0

    def __hash__(self):
        return hash("x")

    def __eq__(self, other):
        self.calls += 1
        if self.calls < 50:
            self.obj.y = self.calls  # re-enters the same object's assignment
        return False


point = Point()
changes = []
point.events.x.connect(lambda new, old: changes.append(("x", new, old)))
point.events.y.connect(lambda new, old: changes.append(("y", new, old)))
collider = Collider(point)
# The collider goes in first, so that every lookup of "x" meets it first.
items = dict(point.__dict__)
point.__dict__.clear()
point.__dict__[collider] = "collides with x"
point.__dict__.update(items)


def work(first):
    for v in range(first, first + 200):
        point.x = v


threads = [threading.Thread(target=work, args=(1000 * (i + 1),)) for i in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
xs = [(new, old) for name, new, old in changes if name == "x"]
assigned = {*range(1000, 1200), *range(2000, 2200)}
assert sorted(new for new, _ in xs) == sorted(assigned), len(xs)
assert {old for _, old in xs} <= assigned | {0}
print("ok", collider.calls)
