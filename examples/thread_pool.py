"""Emitting from a thread pool: many threads emit on one signal at once (in
parallel on free-threaded CPython). The signal needs no lock of yours; what
the callbacks share, they guard themselves."""

import threading
from concurrent.futures import ThreadPoolExecutor

from tarnwick import Signal

JOBS = 2000
SHARDS = 4

processed = Signal("processed")

lock = threading.Lock()
bytes_per_shard = [0] * SHARDS


def tally(shard: int, size: int) -> int:
    with lock:  # callbacks run on the emitting threads, concurrently
        bytes_per_shard[shard] += size
    return size


first: list[int] = []
sampled: list[int] = []

processed.connect(tally)
# A one-shot fires exactly once, however many threads emit at the same time;
# an N-shot exactly N times.
processed.connect_once(lambda shard, size: first.append(size))
processed.connect_finite(lambda shard, size: sampled.append(size), 25)


def job(n: int) -> int:
    results = processed.emit(n % SHARDS, n)
    return len(results)


with ThreadPoolExecutor(max_workers=8) as pool:
    callbacks_called = sum(pool.map(job, range(JOBS)))

print("bytes per shard:", bytes_per_shard)
print("total:", sum(bytes_per_shard), "expected:", sum(range(JOBS)))
print("one-shot calls:", len(first))
print("N-shot calls:", len(sampled))
print("callbacks called:", callbacks_called, "expected:", JOBS + 1 + 25)
print("connections left:", len(processed))
