"""Collect mode with an error hook for metrics: a failing subscriber doesn't
stop the others, and every failure is counted in one place, whatever mode the
emission uses."""

from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from tarnwick import Signal


@dataclass(frozen=True)
class Order:
    id: int
    amount: int


failures: Counter[str] = Counter()


def count_failure(exc: BaseException, callback: Callable[..., Any]) -> None:
    """The metrics hook: called once for every exception a subscriber raises."""
    name = getattr(callback, "__name__", type(callback).__name__)
    failures[f"{name}/{type(exc).__name__}"] += 1


order_placed = Signal("order_placed")
order_placed.on_error(count_failure)


def reserve_stock(order: Order) -> str:
    return f"reserved stock for #{order.id}"


def charge_card(order: Order) -> str:
    if order.amount > 100:
        raise ValueError(f"#{order.id}: {order.amount} is over the card limit")
    return f"charged {order.amount} for #{order.id}"


def send_receipt(order: Order) -> str:
    if order.id % 3 == 0:
        raise ConnectionError("mail server unreachable")
    return f"mailed receipt for #{order.id}"


order_placed.connect(reserve_stock, priority=10)
order_placed.connect(charge_card)
order_placed.connect(send_receipt, priority=-10)

for order in [Order(1, 20), Order(2, 250), Order(3, 40), Order(4, 60)]:
    results = order_placed.emit(order, on_error="collect")
    done = [r for r in results if not isinstance(r, BaseException)]
    failed = [f"{type(r).__name__}: {r}" for r in results if isinstance(r, BaseException)]
    print(f"order {order.id}: {len(done)} ok, {len(failed)} failed {failed}")

# The hook also sees the failure that a "fast_fail" emission (the default)
# re-raises; send_receipt is never reached.
try:
    order_placed.emit(Order(6, 500))
except ValueError as e:
    print("fast_fail raised:", e)

print("failure metrics:")
for key, n in sorted(failures.items()):
    print(f"  {key}: {n}")
