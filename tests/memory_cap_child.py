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
# The table is full at 2**20 entries; growing needs 64 MiB more, and
# an emission of them needs pending, removal and release buffers.
limit(16 << 20)
try:
    s.connect(f)
except MemoryError:
    print("connect: MemoryError")
assert len(s) == n
try:
    s.emit()
except MemoryError:
    print("emit: MemoryError")
unlimit()
assert len(s) == n, len(s)
assert s.connect(f) == n  # no id was consumed by the failures
assert len(s.emit()) == n + 1
assert len(s) == 1
print("ok")
