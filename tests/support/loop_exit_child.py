"""Child process of test_loop_delivery.py: calls queued on loops that stop
before running them. A thread waits, with no timeout, for the call of a loop
that is then closed: it must wake. The interpreter then exits with a call
still queued on a loop that was never closed, and a daemon thread waiting
for it: nothing may be printed at exit."""

import asyncio
import concurrent.futures
import threading
import warnings

from threads import queue_then_stop
from tarnwick import Signal


def wait_for(future):
    try:
        future.result()
    except concurrent.futures.CancelledError:
        print("cancelled")


def queued():
    s, loop = Signal(), asyncio.new_event_loop()
    s.listener(print, loop=loop)
    return loop, *queue_then_stop(s, loop)


loop, future = queued()
waiter = threading.Thread(target=wait_for, args=(future,))
waiter.start()
loop.close()
waiter.join()
# This loop is left unclosed on purpose: a debug build would warn of it.
warnings.simplefilter("ignore", ResourceWarning)
loop, future = queued()
threading.Thread(target=future.exception, daemon=True).start()
print("queued")
