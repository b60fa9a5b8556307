"""Child process of test_lock.py: loads the probe module built there (its
path is the argument) and drops a reference while holding a lock, which the
checks must turn into a fatal error."""

import importlib.util
import sys

found = importlib.util.spec_from_file_location("lock_probe", sys.argv[1])
probe = importlib.util.module_from_spec(found)
found.loader.exec_module(probe)
probe.drop_under_lock()
print("the drop under a lock went unnoticed")
