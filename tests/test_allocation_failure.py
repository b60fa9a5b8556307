"""Allocation failure at every allocation of every operation, in CPython's
allocators and in C++ operator new: a call that fails changes nothing and
keeps nothing alive."""

from __future__ import annotations

import asyncio
import gc
import sys
import sysconfig
import warnings

import pytest

from support.helpers import compile_cxx, run_child
from support import faultinject
from support.allocation import C_RAISER, Counter, Model, Plain, attempt, needs_nomemory, walk, \
    warm_caches  # noqa: F401 - fixture
from support.faultinject import released
from tarnwick import Signal


@pytest.mark.usefixtures("warm_caches")
class TestAllocationFailure:
    pytestmark = needs_nomemory

    def test_signal_new(self):
        def case():
            m = Model(0, 0, 0)
            return m, lambda: Signal("fresh name")

        def check(m, out, err):
            if err is None:
                assert repr(out) == 'Signal(name="fresh name", listeners=0)'
                assert out.connect(print) == 0 and len(out) == 1

        walk(case, check)

    @pytest.mark.parametrize("method", [
        "connect", "connect_once", "connect_finite", "connect_weak",
        pytest.param("connect_weak_method", marks=pytest.mark.skip(
            reason="CPython 3.13's weakref.WeakMethod corrupts reference counts when an "
                   "allocation inside its __new__ fails (negative refcount on a debug build, "
                   "a crash later on a release build), with no signal involved")),
        "connected"])
    def test_connect_family(self, method):
        def case():
            m = Model()
            target = Plain(m.counter, len(m.counter.hits) - 1, 300)
            m.extra.append(target)
            s = m.s
            ops = {
                "connect": lambda: s.connect(target, priority=5),
                "connect_once": lambda: s.connect_once(target),
                "connect_finite": lambda: s.connect_finite(target, 3),
                "connect_weak": lambda: s.connect(target, weak=True),
                "connect_weak_method": lambda: s.connect(target.method, weak=True),
                "connected": lambda: s.connected(target),
            }
            return m, ops[method]

        def check(m, out, err):
            if err is None:
                cid = out.__enter__() if method == "connected" else out
                assert cid == m.next_id
                assert len(m.s) == m.full_len() + 1
                m.extra_ids.append(cid)
                m.next_id += 1
            else:
                assert len(m.s) == m.full_len()
            m.check()

        walk(case, check)

    @pytest.mark.parametrize("how", ["dispatcher", "weak_builtin", "throttle", "debounce"])
    def test_listener_on_a_dispatcher_or_weak_builtin(self, how):
        class Now:
            def call_soon_threadsafe(self, fn):
                fn()

        def case():
            m = Model()
            target = Plain(m.counter, len(m.counter.hits) - 1, 300)
            box, now = set(), Now()
            m.extra += [target, now, box]
            ops = {
                "dispatcher": lambda: m.s.listener(target, loop=now),
                "weak_builtin": lambda: m.s.listener(box.add, weak=True),
                "throttle": lambda: m.s.listener(target, throttle=60, times=2),
                "debounce": lambda: m.s.listener(debounce=60, loop=now)(target),
            }
            return m, ops[how]

        def check(m, out, err):
            if err is None:
                assert len(m.s) == m.full_len() + 1
                m.extra_ids.append(m.next_id)
                m.next_id += 1
            else:
                assert len(m.s) == m.full_len()
            m.check()

        walk(case, check)

    def test_emit_to_a_dispatcher_settles_every_future(self, monkeypatch):
        # A failure after the future has its outcome can only be reported;
        # the report keeps nothing (pytest's hook would keep the frames).
        reported = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(type(u.exc_value)))

        class Now:
            def call_soon_threadsafe(self, fn):
                fn()

        def case():
            m = Model(permanent=0, once=0, weak=0)
            target = Plain(m.counter, 0, 300)
            now = Now()
            m.extra += [target, now]
            m.add(lambda priority: m.s.listener(target, loop=now, priority=priority) and m.next_id)
            # (listener returns the callable; the id is the one drawn next)
            return m, lambda: m.s.emit(1, on_error="collect")

        def check(m, out, err):
            if err is None:
                (future,) = out  # or the failure (threading's "can't allocate lock")
                assert isinstance(future, Exception) or future.done()

        walk(case, check)
        assert set(reported) <= {MemoryError}

    def test_connection_enter_and_exit(self):
        def case():
            m = Model()
            conn = m.s.connected(print)
            m.conn = conn
            m.next_id += 1

            def op():
                with conn as cid:
                    return cid

            return m, op

        def check(m, out, err):
            if err is None:
                assert out == m.next_id - 1
            else:
                # The with block may never have started: then the
                # connection is still there, and __exit__ still removes it.
                assert m.conn.__exit__(None, None, None) is False
            assert len(m.s) == m.full_len()
            m.check()

        walk(case, check)

    def test_disconnect(self):
        # Removing needs no allocation at all: the id is already an int.
        def case():
            m = Model()
            m.first = m.next_id - len(m.permanent + m.once + m.weak)
            return m, lambda: m.s.disconnect(m.first)

        def check(m, out, err):
            assert err is None and out is True
            assert m.table.disconnect(m.first)
            m.permanent.pop(0)
            m.check()

        walk(case, check, allocates=False)

    @pytest.mark.parametrize("mode", ["fast_fail", "collect"])
    def test_emit(self, mode):
        arg = object()

        def case():
            m = Model()
            m.hooks = Counter(1)
            m.s.on_error(m.hooks.callback(0))
            return m, lambda: m.s.emit(arg, on_error=mode, key=arg)

        def check(m, out, err):
            entries = m.permanent + m.once + m.weak
            called = m.hits(entries)
            failed_calls = m.hooks.hits[0]
            if err is None:
                # Calling a Python-level __call__ allocates too; a callback
                # that failed that way answers with its MemoryError.
                assert len(out) == len(entries)
                for e, r, h in zip(entries, out, called):
                    assert (r == e.value and h == 1) or (type(r) is MemoryError and h == 0), (e.value, r, h)
                assert failed_calls == sum(type(r) is MemoryError for r in out)
            elif m.single and not any(called) and not failed_calls:
                # The emission failed before any callback ran: it must not
                # have used anything up, which only the counts can show.
                listed = [(c[0], c[3]) for c in m.s.connections()]
                assert listed == m.listing(), (
                    f"the failed emission called nothing, yet left {listed} where "
                    f"{m.listing()} was: one-shots were used up and will never be called")
            m.check()

        base = sys.getrefcount(arg)
        walk(case, check)
        assert sys.getrefcount(arg) == base

    def test_emit_collect_with_a_raising_callback(self):
        def case():
            m = Model()
            m.add(lambda p: m.s.connect(C_RAISER, priority=p))
            m.hooks = Counter(1)
            m.s.on_error(m.hooks.callback(0))
            return m, lambda: m.s.emit(on_error="collect")

        def check(m, out, err):
            if err is None:
                assert len(out) == 6
                assert type(out[-1]) in (ZeroDivisionError, MemoryError)
                # Every failure, the raiser's and any MemoryError, was told;
                # with every later allocation failing, telling may fail too.
                failures = sum(isinstance(r, BaseException) for r in out)
                if m.single:
                    assert m.hooks.hits[0] == failures
                else:
                    assert m.hooks.hits[0] <= failures
            m.check()

        walk(case, check)

    @pytest.mark.parametrize("mode", ["fast_fail", "collect"])
    def test_emit_async(self, mode):
        async def coro_result():
            return "awaited"

        def case():
            m = Model()
            m.add(lambda p: m.s.connect(coro_result, priority=p))
            return m, lambda: m.s.emit_async(on_error=mode)

        loop = asyncio.new_event_loop()

        async def warm(s):
            await s.emit_async(on_error="collect")

        async def call(op, start, stop):
            return attempt(op, start, stop)  # emit_async needs a running loop

        def trial(start, stop):
            m, op = case()
            probes = m.probes()
            loop.run_until_complete(warm(m.s))  # compiles the script, outside the window
            expected = ([p.value for p in m.permanent] + [o.value for o in m.pending_once()]
                        + [w.value for w in m.weak] + ["awaited"])
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                out, err = loop.run_until_complete(call(op, start, stop))
                if err is not None and not isinstance(err, MemoryError):
                    raise AssertionError(repr(err)) from err
                if err is None:
                    results = loop.run_until_complete(out)
                    assert len(results) == len(expected), results
                    for r, e in zip(results, expected):
                        # A callback whose call failed answers with its MemoryError.
                        assert r == e or (mode == "collect" and type(r) is MemoryError), results
                m.check()
                ok = err is None
                del m, op, out, err
                alive = released(probes)
                assert not alive, f"still referenced after release: {alive}"
                if ok:
                    gc.collect()  # an unclosed coroutine in a cycle warns only now
            unawaited = [str(w.message) for w in caught if "never awaited" in str(w.message)]
            # A failure after the call loop that is not the missing-loop
            # check (building the finalizer's arguments, say) releases the
            # awaitables without closing them, so a "never awaited"
            # warning is allowed then, and only then.
            assert not ok or not unawaited, (
                f"the emission succeeded but left a coroutine unclosed: {unawaited[0]}")
            return ok

        try:
            faultinject.walk(trial)
        finally:
            loop.close()

    def test_on_error(self):
        def case():
            m = Model()
            m.add(lambda p: m.s.connect(C_RAISER, priority=p))
            m.hooks = Counter(1)
            hook = m.hooks.callback(0)
            return m, lambda: m.s.on_error(hook)

        def check(m, out, err):
            m.s.emit(on_error="collect")
            assert m.hooks.hits[0] == (1 if err is None else 0)
            m.check()

        # The hook list grows in C++ (operator new), which set_nomemory does
        # not reach: registering never fails here.
        walk(case, check, allocates=False)

    def test_repr(self):
        def case():
            m = Model()
            return m, lambda: repr(m.s)

        def check(m, out, err):
            if err is None:
                assert out == f'Signal(name="m", listeners={m.full_len()})'
            m.check()

        walk(case, check)


# ---------------------------------------------------------------------------
# Allocation failure in C++
#
# The listener table, an emission's call list and removal set, the hook list
# and the name and repr strings are allocated with operator new, which
# set_nomemory cannot reach. A child interpreter runs with a tiny preloaded
# library whose operator new throws std::bad_alloc on request; the walk is
# the same as above: fail the n-th operator new inside one operation, for
# every n (that one only, then that one and all later ones), and check what
# is left.

@pytest.mark.skipif(sys.platform != "linux",
                    reason="needs LD_PRELOAD and ctypes.CDLL(None) (the Linux dynamic linker)")
def test_cxx_allocation_failure_in_every_operation(tmp_path):
    import os

    if "libasan" in os.environ.get("LD_PRELOAD", "") or "thread-sanitizer" in (
            sysconfig.get_config_var("CONFIG_ARGS") or ""):
        pytest.skip("a sanitizer runtime already owns operator new")
    lib = compile_cxx("cxx_new_shim.cpp", tmp_path / "libnewshim.so", "-shared", "-fPIC")
    env = dict(os.environ, LD_PRELOAD=f"{lib} {os.environ.get('LD_PRELOAD', '')}".strip())
    out, _ = run_child("cxx_alloc_failure.py", env=env, timeout=600)
    assert "ok" in out
