"""Asynchronous emission: callbacks run at once, awaitable results are
awaited together on the running loop."""

import asyncio

from tarnwick import Signal

fetched = Signal("fetched")


async def store(url: str) -> str:
    await asyncio.sleep(0.02)  # pretend to write to a database
    return f"stored {url}"


async def notify(url: str) -> str:
    await asyncio.sleep(0.01)
    return f"notified about {url}"


def count(url: str) -> int:
    return len(url)  # a plain result is kept as it is


async def main() -> None:
    fetched.connect(store)
    fetched.connect(notify)
    fetched.connect(count)

    # Awaitable results run concurrently; each value lands in its own slot.
    print(await fetched.emit_async("https://example.org"))

    # In "collect" mode a failing coroutine's exception is its result...
    async def flaky(url: str) -> str:
        raise ConnectionError(f"cannot reach {url}")

    fetched.connect(flaky)
    print(await fetched.emit_async("https://example.com", on_error="collect"))

    # ...while "fast_fail" (the default) raises the first failure in call order.
    try:
        await fetched.emit_async("https://example.net")
    except ConnectionError as e:
        print("fast_fail raised:", e)


asyncio.run(main())

# emit_async needs a running event loop: outside one, the callbacks still run,
# their coroutines are closed, and RuntimeError is raised.
try:
    _ = fetched.emit_async("https://example.edu")
except RuntimeError as e:
    print("outside a loop:", e)
