"""Child process of test_evented_threads.py: an instance __dict__ holds a key
that is not a str, with the hash of "events", whose __eq__ waits for another
thread to make the first `events` of another instance of the class. Keeping
the first group must run that __eq__ under no lock of ours, or both threads
wait forever (the parent's timeout catches the hang)."""

import dataclasses
import threading

from tarnwick import evented


@evented
@dataclasses.dataclass
class Point:
    x: int = 0


class Collider:
    def __hash__(self):
        return hash("events")

    def __eq__(self, other):
        helper = threading.Thread(target=lambda: Point().events)
        helper.start()
        helper.join()
        return False


point = Point()
point.__dict__[Collider()] = "collides with events"
assert point.events is point.events
print("ok")
