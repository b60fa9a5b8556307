"""Child process of test_connect.py: the four reference cases of a weak
connect, written at module level exactly as a user's module would write them,
in a fresh interpreter. Prints each decision. With the argument
"after-thread", a thread has run first."""

import sys
import threading

from tarnwick import Signal

if sys.argv[1] == "after-thread":
    t = threading.Thread(target=print, args=("",), kwargs={"end": ""})
    t.start()
    t.join()


def module_function():
    pass


class Holder:
    def method(self):
        pass


held = Holder()
s = Signal()
decisions = []
# Each call is written at module level, as a user's module would write it.
try:
    s.connect(lambda: None, weak=True)
    decisions.append("accepted")
except TypeError:
    decisions.append("refused")
try:
    s.connect(module_function, weak=True)
    decisions.append("accepted")
except TypeError:
    decisions.append("refused")
try:
    s.connect(Holder().method, weak=True)
    decisions.append("accepted")
except TypeError:
    decisions.append("refused")
try:
    s.connect(held.method, weak=True)
    decisions.append("accepted")
except TypeError:
    decisions.append("refused")
print(*decisions)
