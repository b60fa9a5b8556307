"""no_unraisable(): a block in which nothing may reach sys.unraisablehook."""

from __future__ import annotations

import contextlib
import gc
import sys
import warnings


@contextlib.contextmanager
def no_unraisable():
    """Fails if anything reaches sys.unraisablehook (a finalizer that raised,
    a coroutine that was never awaited, ...) while the block runs."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.exc_value, u.object))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            yield seen
            gc.collect()
    finally:
        sys.unraisablehook = old
    assert seen == [], f"unraisable: {seen}"

