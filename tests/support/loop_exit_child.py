"""Child process of test_loop_delivery.py: calls queued on loops that stop
before running them. A thread waits, with no timeout, for the call of a loop
that is then closed: it must wake. The interpreter then exits with a call
still queued on a loop that was never closed, and a daemon thread waiting
for it: nothing may be printed at exit."""

import asyncio
import concurrent.futures
import threading

from tarnwick import Signal


def queued_on_a_stopped_loop():
    s = Signal()
    loop = asyncio.new_event_loop()
    s.listener(print, loop=loop)
    entered, release = threading.Event(), threading.Event()

    def hold():
        entered.set()
        release.wait(10)
        loop.stop()

    loop.call_soon(hold)
    runner = threading.Thread(target=loop.run_forever)
    runner.start()
    entered.wait(10)
    (future,) = s.emit("never printed")
    release.set()
    runner.join(10)
    return loop, future


def wait_for(future):
    try:
        future.result()
    except concurrent.futures.CancelledError:
        print("cancelled")


loop, future = queued_on_a_stopped_loop()
waiter = threading.Thread(target=wait_for, args=(future,))
waiter.start()
loop.close()
waiter.join()
loop, future = queued_on_a_stopped_loop()
threading.Thread(target=future.exception, daemon=True).start()
print("queued")
