"""Child process of test_gc.py: native allocations that fail for want of
address space (RLIMIT_AS, capped just above what the process uses) raise
MemoryError and leave the signal as it was. Prints what raised, then "ok"."""

import resource

from tarnwick import Signal


def limit(extra):
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))


def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


s = Signal()
f = lambda: None  # noqa: E731
n = 1 << 20
for _ in range(n):
    s.connect_once(f)
# With no room to grow, connects fail once the heap's free space is used up,
# and an emission of 2**20 entries cannot even reserve its buffers.
limit(0)
added = 0
try:
    for _ in range(1 << 18):
        s.connect(f)
        added += 1
except MemoryError:
    print("connect: MemoryError")
assert len(s) == n + added
try:
    s.emit()
except MemoryError:
    print("emit: MemoryError")
unlimit()
assert len(s) == n + added, len(s)
assert s.connect(f) == n + added  # no id was consumed by the failures
assert len(s.emit()) == n + added + 1
assert len(s) == added + 1
print("ok")
