"""Awaiting, inside a trio run, what a callback delivered there returned.

The extension imports this module only when listener(..., loop=) is given a
trio token, so that trio stays an optional dependency.
"""

import trio


def spawn(awaitable, queued, future):
    """Awaits `awaitable` in a system task of the current trio run; the queued
    call hears the outcome through queued._finish(how, value). Cancelling
    `future`, the call's, cancels the await."""
    trio.lowlevel.spawn_system_task(_await, awaitable, queued, future, name=repr(awaitable))


async def _await(awaitable, queued, future):
    # A system task that raises ends the whole run, so every outcome goes to
    # the queued call's future instead; a cancellation (the run ending, or
    # the future cancelled) is passed on to trio once the future knows.
    token = trio.lowlevel.current_trio_token()
    with trio.CancelScope() as scope:
        def on_done(f):
            if f.cancelled():
                try:
                    token.run_sync_soon(scope.cancel)
                except trio.RunFinishedError:
                    pass

        future.add_done_callback(on_done)
        try:
            value = await awaitable
        except trio.Cancelled:
            queued._finish(2, None)
            raise
        except BaseException as exc:  # noqa: BLE001 - it goes to the future
            queued._finish(1, exc)
        else:
            queued._finish(0, value)
