"""Child process of test_module.py: tarnwick.testing's native half,
tarnwick._observers, is an ordinary submodule that importing tarnwick makes,
and tarnwick.testing imports again after it left sys.modules.

    python observers_import_child.py CASE
"""

import importlib
import sys

import tarnwick


def recorded(testing):
    s = tarnwick.Signal("s")
    with testing.record(s) as r:
        s.emit(1)
    r.assert_emitted_once_with(1)


def case_submodule():
    observers = importlib.import_module("tarnwick._observers")
    assert sys.modules["tarnwick._observers"] is observers is tarnwick._observers
    assert observers.__name__ == observers.__spec__.name == "tarnwick._observers"
    assert "_observers" not in tarnwick.__all__
    recorded(importlib.import_module("tarnwick.testing"))


def case_removed_from_sys_modules():
    del sys.modules["tarnwick._observers"]
    recorded(importlib.import_module("tarnwick.testing"))
    del sys.modules["tarnwick.testing"]
    recorded(importlib.import_module("tarnwick.testing"))


def case_removed_everywhere():
    del sys.modules["tarnwick._observers"]
    del tarnwick._observers
    try:
        importlib.import_module("tarnwick.testing")
    except ImportError as exc:
        assert "importing tarnwick anew makes it again" in str(exc), exc
    else:
        raise AssertionError("imported without its native half")
    # A new import of tarnwick makes one again, for the same interpreter's signals.
    old = tarnwick.Signal("old")
    del sys.modules["tarnwick"]
    again = importlib.import_module("tarnwick")
    assert again is not tarnwick and again.Signal is tarnwick.Signal
    assert sys.modules["tarnwick._observers"] is again._observers
    testing = importlib.import_module("tarnwick.testing")
    recorded(testing)
    with testing.record(old) as r:
        old.emit()
    r.assert_emitted_once()


if __name__ == "__main__":
    globals()["case_" + sys.argv[1]]()
    print("passed")
