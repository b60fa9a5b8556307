"""Child process of test_error_hooks.py: an excepthook that raises SystemExit
while a failing error hook is reported must not end the process."""

import sys

from tarnwick import Signal

sys.excepthook = lambda *a: (_ for _ in ()).throw(SystemExit(7))
s = Signal()
s.on_error(lambda e, cb: 1 / 0)
s.on_error(lambda e, cb: print("second hook"))
s.connect(lambda: [][1])
print(s.emit(on_error="collect"))
print("still alive")
