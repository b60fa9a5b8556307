"""Awaiting, inside a trio run, what a callback delivered there returned.

The extension imports this module only when listener(..., loop=) is given a
trio token, so that trio stays an optional dependency.
"""

import trio


def spawn(awaitable, queued):
    """Awaits `awaitable` in a system task of the current trio run; the queued
    call hears the outcome through queued._finish(how, value)."""
    trio.lowlevel.spawn_system_task(_await, awaitable, queued, name=repr(awaitable))


async def _await(awaitable, queued):
    # A system task that raises ends the whole run, so every outcome goes to
    # the queued call's future instead; a cancellation (the run ending) is
    # passed on to trio once the future knows.
    try:
        value = await awaitable
    except trio.Cancelled:
        queued._finish(2, None)
        raise
    except BaseException as exc:  # noqa: BLE001 - it goes to the future
        queued._finish(1, exc)
    else:
        queued._finish(0, value)
