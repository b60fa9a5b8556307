"""Child process of test_evented.py: the objects of an evented class cleared
one at a time, as the collector clears the members of a garbage cycle, and
then used: an instance's group in the middle of a pause, with a listener, the
class's __setattr__ and its `events` descriptor. Each use must go on or raise,
never crash."""

import ctypes
import dataclasses
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from support.helpers import gc_clear  # noqa: E402

from tarnwick import evented  # noqa: E402


def clear(obj):
    # A type with no tp_clear is never cleared by the collector.
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    if get_slot(type(obj), 51):
        gc_clear(obj)


@evented
@dataclasses.dataclass
class Point:
    x: int = 0


point = Point()
seen = []
point.events.x.connect(lambda new, old: seen.append((new, old)))
with point.events.paused():
    point.x = 1
    clear(point.events)
    point.x = 2
point.x = 3
hook = Point.__dict__["__setattr__"]
clear(hook)
point.x = 4
assert hook.base is None and point.x == 4
clear(Point.events)
try:
    point.events
except ReferenceError:
    pass
print("ok", seen)
