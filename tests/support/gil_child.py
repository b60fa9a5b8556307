"""Child process of test_module.py, on a free-threaded build started without
PYTHON_GIL: importing tarnwick leaves the GIL off (a module that did not
declare it unused would turn it on, with a RuntimeWarning); so does
tarnwick.testing with its native half."""

import sys

import tarnwick  # noqa: F401
import tarnwick.testing  # noqa: F401

assert not sys._is_gil_enabled()
