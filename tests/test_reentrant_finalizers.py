"""Finalizers that re-enter the signal releasing them: every way a signal
releases a reference, with every operation done from the finalizer."""

from __future__ import annotations

import asyncio
import functools
import gc

import pytest

from support.helpers import gc_clear
from support.unraisable import no_unraisable
from tarnwick import Signal


ACTIONS = {
    "noop": (lambda s: None, 0),
    "connect": (lambda s: s.connect(print), 1),
    "connect_once": (lambda s: s.connect_once(print), 1),
    "disconnect_keeper": (lambda s: s.disconnect(0), -1),
    "emit": (lambda s: s.emit(on_error="collect"), 0),
    "emit_fast_fail": (lambda s: s.emit(), 0),
    "on_error": (lambda s: s.on_error(print), 0),
    "clear_error_hooks": (lambda s: s.clear_error_hooks(), 0),
    "connected_exit": (lambda s: s.connected(print).__exit__(None, None, None), 0),
    "len_repr": (lambda s: (len(s), repr(s)), 0),
}


class Reenter:
    """A callable (or hook, or return value) whose finalizer uses a signal."""

    def __init__(self, signal, action, log):
        self.signal = signal
        self.action = action
        self.log = log

    def __call__(self, *args, **kwargs):
        return None

    def __del__(self):
        try:
            self.action(self.signal)
        except BaseException as e:  # noqa: BLE001 - recorded for the test
            self.log.append(e)
        else:
            self.log.append("del")


class ReenterAwaitable(Reenter):
    def __await__(self):
        if False:  # pragma: no cover
            yield
        return "awaited"

    def close(self):
        self.log.append("closed")


def release_by_one_shot(s, make):
    s.connect_once(make())
    s.emit()


def release_by_last_finite_call(s, make):
    s.connect_finite(make(), 2)
    s.emit()
    s.emit()


def release_by_disconnect(s, make):
    s.disconnect(s.connect(make()))


def release_by_with_block(s, make):
    with s.connected(make()):
        pass


def release_by_clear_error_hooks(s, make):
    s.on_error(make())
    s.clear_error_hooks()


def release_by_collector_clear(s, make):
    s.connect(make())
    s.connect_once(make())
    s.on_error(make())
    gc_clear(s)


def release_by_aborted_emission(s, make):
    # The first callback disconnects the finalizing one, so only the
    # emission's own list holds it when the raiser stops the emission.
    # One-shots, so that a finalizer's own emission does not meet them again.
    ids = []
    s.connect_once(lambda: s.disconnect(ids[0]), priority=2)
    s.connect_once(lambda: 1 / 0, priority=1)
    ids.append(s.connect(make()))
    with pytest.raises(ZeroDivisionError):
        s.emit()


def release_by_dropped_results(s, make):
    # A result whose finalizer re-enters, dropped when a later callback fails.
    value = [make()]
    s.connect_once(lambda: value.pop(), priority=2)
    s.connect_once(lambda: 1 / 0, priority=1)
    with pytest.raises(ZeroDivisionError):
        s.emit()


RELEASES = {
    "one_shot": release_by_one_shot,
    "last_finite_call": release_by_last_finite_call,
    "disconnect": release_by_disconnect,
    "with_block": release_by_with_block,
    "clear_error_hooks": release_by_clear_error_hooks,
    "collector_clear": release_by_collector_clear,
    "aborted_emission": release_by_aborted_emission,
    "dropped_results": release_by_dropped_results,
}


def run_release(release, action):
    log = []
    s = Signal("released")
    assert s.connect(print) == 0  # the keeper, id 0
    with no_unraisable():
        release(s, lambda: Reenter(s, action, log))
        gc.collect()
    return s, log


@functools.cache
def release_baseline(release):
    """(listeners left, finalizers run) when the finalizers do nothing."""
    base, base_log = run_release(RELEASES[release], ACTIONS["noop"][0])
    return len(base), len(base_log)


@pytest.mark.parametrize("release", RELEASES)
@pytest.mark.parametrize("action", ACTIONS)
def test_finalizer_reenters_the_releasing_signal(release, action):
    do, delta = ACTIONS[action]
    base_len, base_finalized = release_baseline(release)
    s, log = run_release(RELEASES[release], do)
    assert log and log == ["del"] * base_finalized, log
    expected = base_len + delta * len(log)
    if release == "collector_clear" and action == "disconnect_keeper":
        expected = base_len  # the keeper went with the clear already
    assert len(s) == expected
    assert repr(s) == f'Signal(name="released", listeners={expected})'
    # Still fully usable; the emission uses up the one-shots added above.
    s.connect_once(print)
    s.emit(on_error="collect")
    assert len(s) == expected - (len(log) if action == "connect_once" else 0)


def test_collector_finalizes_a_cycle_that_reenters():
    log = []

    class Owner:
        def __init__(self):
            self.signal = Signal("cycle")
            self.signal.connect(self.method)
            self.signal.on_error(self.method)
            self.signal.connect(Reenter(self.signal, lambda s: (s.connect(print), s.emit()), log))
            self.signal.on_error(Reenter(self.signal, lambda s: s.clear_error_hooks(), log))

        def method(self, *args):
            pass

    with no_unraisable():
        for _ in range(20):
            Owner()
        gc.collect()
        gc.collect()
    assert log.count("del") == 40


def test_emit_async_closes_reentering_awaitables_on_failure():
    log = []
    s = Signal()
    def make(action):
        made = []

        def callback():
            if made:
                return None  # only the first emission returns an awaitable
            made.append(True)
            return ReenterAwaitable(s, action, log)

        return callback

    s.connect(make(lambda sig: sig.emit(on_error="collect")))
    s.connect(make(lambda sig: sig.on_error(print)))
    s.connect(lambda: 1 / 0)

    async def main():
        with pytest.raises(ZeroDivisionError):
            s.emit_async()

    with no_unraisable():
        asyncio.run(main())
    assert sorted(log, key=str) == ["closed", "closed", "del", "del"]
    assert len(s) == 3
