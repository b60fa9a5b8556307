"""A plugin-style event bus: one Signal per event name, plugins that subscribe
and unsubscribe as a unit, and a host that collects every plugin's answer."""

from collections.abc import Callable
from typing import Any

from tarnwick import Signal


class EventBus:
    def __init__(self) -> None:
        self._signals: dict[str, Signal] = {}

    def signal(self, event: str) -> Signal:
        if event not in self._signals:
            self._signals[event] = Signal(event)
        return self._signals[event]

    def on[F: Callable[..., Any]](
        self, event: str, *, priority: int = 0, once: bool = False
    ) -> Callable[[F], F]:
        """Decorator form, for handlers that live as long as the program."""

        def register(handler: F) -> F:
            if once:
                self.signal(event).connect_once(handler, priority=priority)
            else:
                self.signal(event).connect(handler, priority=priority)
            return handler

        return register

    def publish(self, event: str, /, **payload: Any) -> list[Any]:
        # "collect": one broken plugin must not silence the others.
        signal = self._signals.get(event)
        return signal.emit(on_error="collect", **payload) if signal else []


class Plugin:
    """A plugin remembers its connection ids so that unloading it removes
    exactly its own handlers."""

    name = "plugin"

    def __init__(self, bus: EventBus) -> None:
        self.bus = bus
        self._ids: list[tuple[str, int]] = []

    def subscribe(self, event: str, handler: Callable[..., Any], priority: int = 0) -> None:
        self._ids.append((event, self.bus.signal(event).connect(handler, priority=priority)))

    def unload(self) -> None:
        for event, cid in self._ids:
            self.bus.signal(event).disconnect(cid)
        self._ids.clear()


class Backup(Plugin):
    name = "backup"

    def load(self) -> None:
        # Runs before anything else that reacts to a save.
        self.subscribe("document.saved", self.copy, priority=100)

    def copy(self, path: str) -> str:
        return f"backup: copied {path}"


class WordCount(Plugin):
    name = "wordcount"

    def load(self) -> None:
        self.subscribe("document.saved", self.count)
        self.subscribe("document.closed", self.forget)

    def count(self, path: str) -> str:
        return f"wordcount: counted {path}"

    def forget(self, path: str) -> str:
        return f"wordcount: forgot {path}"


bus = EventBus()


@bus.on("document.saved", priority=-10)
def audit(path: str) -> str:
    return f"audit: logged {path}"


@bus.on("document.saved", once=True)
def first_save_tip(path: str) -> str:
    return "tip: saves are backed up automatically"


@bus.on("document.closed")
def broken_plugin(path: str) -> str:
    raise RuntimeError("this plugin has a bug")


backup, wordcount = Backup(bus), WordCount(bus)
backup.load()
wordcount.load()

for line in bus.publish("document.saved", path="notes.txt"):
    print(line)
print("--")
for line in bus.publish("document.saved", path="todo.txt"):  # the tip was one-shot
    print(line)
print("--")
print(bus.publish("document.closed", path="todo.txt"))

wordcount.unload()
print("-- after unloading wordcount")
print(bus.publish("document.saved", path="plan.txt"))
print(bus.publish("nobody.listens"))
print(bus.signal("document.saved"), bus.signal("document.closed"))
