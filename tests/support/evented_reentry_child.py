"""Child process of test_evented_threads.py: an instance __dict__ holding a key
that is not a str, whose hash is a field's and whose __eq__ assigns a field of
the same object, as an old-value lookup would call it. Every assignment must
finish (a hang here is the fault; the parent's timeout catches it), and each
change must be emitted once."""

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
# Every assignment emitted once. (With such a key in the __dict__, the old
# value is not read in one step with the store: two threads may both see
# the same old value.)
xs = [new for name, new, old in changes if name == "x"]
assert sorted(xs) == [v for first in (1000, 2000) for v in range(first, first + 200)]
print("ok", collider.calls)
