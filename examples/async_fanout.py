"""Async fan-out: one emission starts every subscriber's coroutine, they run
concurrently on the event loop, and the results come back in priority order,
not in the order they finished."""

import asyncio
from collections.abc import Callable, Coroutine
from typing import Any

from tarnwick import Signal

search = Signal("search")
finished: list[str] = []


def backend(name: str, delay: float) -> Callable[[str], Coroutine[Any, Any, str]]:
    async def query(text: str) -> str:
        await asyncio.sleep(delay)  # stands in for a network call
        finished.append(f"{name}({text})")
        return f"{name}: 3 hits for {text!r}"

    return query


async def slow_backend(text: str) -> str:
    # A subscriber bounds its own wait; in "collect" mode its TimeoutError
    # takes its place in the results and the others are unaffected.
    async with asyncio.timeout(0.05):
        await asyncio.sleep(10)
    return "never"


def cache(text: str) -> str:
    return f"cache: no entry for {text!r}"  # a plain result is kept as it is


search.connect(backend("web", 0.06), priority=2)
search.connect(backend("images", 0.02), priority=1)
search.connect(backend("news", 0.04))
search.connect(cache, priority=3)


async def main() -> None:
    results = await search.emit_async("tarnwick")
    for line in results:
        print(line)
    print("finished in order:", finished)  # shortest delay first: they overlapped

    # Two emissions awaited together fan out six coroutines at once.
    finished.clear()
    cats, dogs = await asyncio.gather(search.emit_async("cats"), search.emit_async("dogs"))
    print(cats[1:], dogs[1:], sep="\n")
    print("finished in order:", finished)

    search.connect(slow_backend, priority=-1)
    results = await search.emit_async("slow", on_error="collect")
    print([type(r).__name__ for r in results])


asyncio.run(main())
