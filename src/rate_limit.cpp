// The rate limiter that listener(..., throttle=T) and listener(..., debounce=T)
// connect.
//
// connect wraps the callable as callback -> weak reference (weak=True) ->
// loop's delivery (loop=) -> limiter -> adapter (max_args=, sender=). The
// adapter stays outermost, so an emission whose sender does not match never
// reaches the limiter, and max_args trims what the limiter keeps. The entry
// is unlimited: with times=N the limiter counts the calls it makes (not the
// emissions it sees) and disconnects its own id after the last one.
//
// What it keeps under its lock (a Mutex of ours, held only to move a few
// fields; no Python code runs under it): the pending call's arguments, the
// deadline (on the clock of time.monotonic()), whether one of its calls is
// running (`busy`), and how many fires of the timer thread are scheduled
// and not yet run. A pending call holds only the arguments, never the
// callable: a weak limiter resolves its callable again when it makes the
// call, and drops the call if it has died.
//
//   throttle: an emission with no call running or pending, past the
//     deadline, calls at once (its result is the emission's) and starts an
//     interval; one within the interval replaces the pending arguments and
//     returns None. The fire at the interval's end makes the pending call,
//     which starts the next interval.
//   debounce: every emission replaces the pending arguments, moves the
//     deadline on and returns None; the fire that finds the deadline passed
//     makes the call.
//
// A fire decides again from the state, so that early, late and extra fires
// are harmless: one that comes early schedules the next (unless another is
// scheduled: deadlines only move on, so that one comes no later than the
// deadline); one that finds a call running leaves the pending call to that
// call's end, which schedules it; one whose connection has gone drops the
// pending call. So at most one call runs at once, a throttled listener
// starts at most one per interval, and no emission schedules anything while
// a fire is already on its way.
//
// The timer thread (tarnwick/_timers.py, one per interpreter) holds a limiter
// by a weak reference alone: a disconnected limiter goes, with its pending
// call, once nothing else holds it. A delayed call is made on that thread by
// calling the inner callable; with loop=, that is the delivery, which queues
// it on its target's thread. Its failure goes to the signal's error hooks, or
// to sys.unraisablehook when there are none: it is never lost.
//
// A weak connection's limiter sits in an entry of weak kind: the emission's
// resolution calls it with no arguments, and it answers with a view, a small
// object of the same type that holds the referent for that emission and
// shares the limiter's state through `owner` (or None once the referent has
// died).

#include "rate_limit.hpp"

#include "args.hpp"
#include "delivery.hpp"
#include "error_hooks.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace tarnwick {

namespace {

constexpr std::uint64_t kNoId = std::numeric_limits<std::uint64_t>::max();

// A child of fork has only the thread that forked: a call that another
// thread was making never ends there. These tell the calls marked running
// that go on from those that never will: `fork_count` grows in each child,
// and `forked_thread` is the thread that forked (process-wide, as a fork is).
std::atomic<std::uint64_t> fork_count{0};
std::atomic<unsigned long> forked_thread{0};

void after_fork_in_child() noexcept {
    forked_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    fork_count.fetch_add(1, std::memory_order_relaxed);
}

void watch_forks() noexcept {
#ifndef _WIN32
    static std::atomic<bool> watching{false};
    if (!watching.exchange(true)) {
        (void)pthread_atfork(nullptr, nullptr, after_fork_in_child);
    }
#endif
}

// One call's arguments: a tuple, and a dict of keywords or null for none.
struct CallArgs {
    Ref args;
    Ref kwargs;
};

// What the limiter's lock guards, but `id`, which is set once, as connect
// draws it, and read without the lock.
struct LimiterCore {
    Mutex lock;
    // The pending call; `pending.args` is null when none is.
    CallArgs pending;
    PyTime_t deadline = 0;
    // Calls left, when the limiter was made with times=N.
    std::uint64_t remaining = 0;
    // Fires scheduled and not yet run.
    std::uint32_t fires = 0;
    bool busy = false;
    // Where the running call was started: fork_count then, and the thread.
    std::uint64_t busy_forks = 0;
    unsigned long busy_thread = 0;
    // flush() came while a call ran: the pending call is made as soon as
    // that call returns, whatever the deadline.
    bool flush_requested = false;
    std::atomic<std::uint64_t> id{kNoId};
};

struct LimiterObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The callable, or a loop's delivery of it. A weak limiter: the weak
    // reference, or the weak delivery, that gives it. A view: what its
    // limiter's resolution gave for one emission.
    PyObject* inner;
    // A view's limiter, whose state it uses; null for a limiter.
    PyObject* owner;
    PyObject* signal;
    // tarnwick._timers.schedule; null for a view.
    PyObject* schedule;
    PyTime_t interval;
    RateMode mode;
    bool weak;
    bool limited;
    // Constructed in place once tp_alloc has zeroed the object.
    LimiterCore core;
};
// The interpreter finds the call by offsetof(LimiterObject, vectorcall).
static_assert(std::is_standard_layout_v<LimiterObject>);

LimiterObject* as_limiter(PyObject* self) noexcept {
    return reinterpret_cast<LimiterObject*>(self);
}

PyObject* as_py(LimiterObject* self) noexcept { return reinterpret_cast<PyObject*>(self); }

void Limiter_dealloc(PyObject* self);

bool is_limiter(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_dealloc == Limiter_dealloc; }

// The limiter whose state `self` uses: a view's owner, or itself.
LimiterObject* holder_of(LimiterObject* self) noexcept {
    return self->owner != nullptr ? as_limiter(self->owner) : self;
}

// No exception and no attached thread needed: read under the lock too.
PyTime_t now_raw() noexcept {
    PyTime_t now = 0;
    (void)PyTime_MonotonicRaw(&now);
    return now;
}

PyTime_t later(PyTime_t at, PyTime_t interval) noexcept {
    constexpr PyTime_t kEnd = std::numeric_limits<PyTime_t>::max();
    return at > kEnd - interval ? kEnd : at + interval;
}

// ---------------------------------------------------------------------------
// Under the lock: the steps every path shares

bool used_up(const LimiterObject* l) noexcept { return l->limited && l->core.remaining == 0; }

// Whether one of its calls runs. In a child of fork, one that the parent was
// making goes on only on the thread that forked; any other is forgotten.
bool running(LimiterCore& c) noexcept {
    if (c.busy && c.busy_forks != fork_count.load(std::memory_order_relaxed) &&
        c.busy_thread != forked_thread.load(std::memory_order_relaxed)) {
        c.busy = false;
    }
    return c.busy;
}

// Moves the pending call into `out` (which must hold nothing: no reference
// is dropped under the lock), to be made or dropped with no lock held.
void take_pending(LimiterCore& c, CallArgs& out) noexcept {
    TARNWICK_ASSERT(!out.args && !out.kwargs);
    out.args = std::move(c.pending.args);
    out.kwargs = std::move(c.pending.kwargs);
    c.flush_requested = false;
}

// Starts a call: the pending one (none for a throttle's call at once) goes to
// `out`, a count is used, and a throttle's next interval begins.
void start_call(LimiterObject* l, CallArgs& out, PyTime_t now) noexcept {
    LimiterCore& c = l->core;
    take_pending(c, out);
    c.busy = true;
    c.busy_forks = fork_count.load(std::memory_order_relaxed);
    c.busy_thread = PyThread_get_thread_ident();
    c.remaining -= l->limited ? 1 : 0;
    if (l->mode == RateMode::Throttle) {
        c.deadline = later(now, l->interval);
    }
}

// Whether the pending call needs a fire scheduled (none is on its way, and
// no running call will schedule one at its end); counts it when so.
bool wants_fire(LimiterCore& c) noexcept {
    if (c.fires != 0 || running(c) || !c.pending.args) {
        return false;
    }
    ++c.fires;
    return true;
}

// ---------------------------------------------------------------------------
// With no lock held

// Has the timer thread call l._fire() at `at`; the caller has counted the
// fire. A scheduling that fails (no memory, no thread) is reported and the
// fire uncounted: the pending call then waits for the next emission's.
void schedule_fire(LimiterObject* l, PyTime_t at) noexcept {
    Ref when = Ref::steal(PyFloat_FromDouble(PyTime_AsSecondsDouble(at)));
    PyObject* argv[] = {when.get(), as_py(l)};
    if (l->schedule == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a limiter cleared by the garbage collector");
    } else if (when && Ref::steal(PyObject_Vectorcall(l->schedule, argv, 2, nullptr))) {
        return;
    }
    PyErr_FormatUnraisable("Exception ignored while scheduling a delayed call of %R",
                           delivered_callable(as_py(l)));
    MutexGuard guard(l->core.lock);
    l->core.fires -= l->core.fires > 0 ? 1 : 0;
}

// Whether the connection is still in its signal's table; once it is not,
// the limiter makes no more calls.
bool still_connected(const LimiterObject* l) noexcept {
    const std::uint64_t id = l->core.id.load(std::memory_order_acquire);
    return l->signal != nullptr && id != kNoId && is_connected(as_signal(l->signal), id);
}

// After one of its calls, on the thread that made it: lets the next call be
// made, schedules the fire that a call pending meanwhile needs, and
// disconnects a limiter whose calls are used up. Keeps the exception being
// raised, if any.
void after_call(LimiterObject* l) noexcept {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    LimiterCore& c = l->core;
    CallArgs dropped;
    bool fire = false;
    bool spent = false;
    PyTime_t at = 0;
    {
        MutexGuard guard(c.lock);
        c.busy = false;
        spent = used_up(l);
        if (spent) {
            take_pending(c, dropped);
        } else if (c.flush_requested && c.pending.args) {
            ++c.fires;  // besides any on its way: the flush waits for no deadline
            fire = true;
            at = now_raw();
        } else if (wants_fire(c)) {
            fire = true;
            at = c.deadline;
        }
    }
    if (fire) {
        schedule_fire(l, at);
    }
    const std::uint64_t id = c.id.load(std::memory_order_acquire);
    if (spent && l->signal != nullptr && id != kNoId) {
        disconnect_by_id(as_signal(l->signal), id);
    }
    PyErr_SetRaisedException(raised.release());
}

// The callable for a call made now: the inner one, or for a weak limiter its
// referent, resolved again (empty once it has died).
Ref resolve_now(LimiterObject* l) {
    if (l->inner == nullptr) {
        return Ref();  // cleared by the collector
    }
    if (!l->weak) {
        return Ref::new_ref(l->inner);
    }
    Ref referent = check(PyObject_CallNoArgs(l->inner));
    return referent.get() == Py_None ? Ref() : std::move(referent);
}

// A coroutine that a call made outside any emission returned has nobody to
// await it: it is closed (so that it does not warn) and refused.
void refuse_coroutine(PyObject* target, PyObject* value) {
    if (PyCoro_CheckExact(value)) {
        check(PyObject_CallMethod(value, "close", nullptr));
        throw_format(PyExc_TypeError,
                     "%R returned a coroutine, which a delayed call cannot await; connect it "
                     "with loop= an event loop",
                     delivered_callable(target));
    }
}

// A call made outside any emission failed: the signal's error hooks hear of
// it, and it propagates (`raise`, for flush()) or, when no hook heard it,
// goes to sys.unraisablehook.
void report_failure(LimiterObject* l, PyObject* target, bool raise) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyObject* shown = target != nullptr ? target : as_py(l);
    const bool heard =
        l->signal != nullptr && notify_error_hooks(as_signal(l->signal), error.get(), shown);
    if (raise) {
        throw_raised(std::move(error));
    }
    if (!heard) {
        PyErr_SetRaisedException(error.release());
        PyErr_FormatUnraisable("Exception ignored in a delayed call of %R",
                               delivered_callable(shown));
    }
}

// Makes a call outside any emission: on the timer thread, or in flush()
// (`raise`). A loop's delivery queues it on its target's thread.
void make_call(LimiterObject* l, const CallArgs& call, bool raise) {
    Ref target;
    try {
        target = resolve_now(l);
        if (!target) {
            return;  // the referent has died: the call is dropped
        }
        Ref value = Py_TYPE(target.get())->tp_dealloc == delivery_dealloc
                        ? deliver_unheard(target.get(), call.args.get(), call.kwargs.get())
                        : check(PyObject_Call(target.get(), call.args.get(), call.kwargs.get()));
        refuse_coroutine(target.get(), value.get());
    } catch (const PyErrorSet&) {
        report_failure(l, target.get(), raise);
    }
}

// ---------------------------------------------------------------------------
// The three ways in: an emission, a fire, a flush

CallArgs pack(PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return CallArgs{positional_tuple(args, nargs), keyword_dict(args + nargs, kwnames)};
}

// An emission's call: made at once (a throttle past its interval, with
// nothing running or pending) through `callable`, the limiter's own or what
// a weak one resolved; otherwise its arguments become the pending call's
// and the result is None.
PyObject* emit_limited(LimiterObject* l, PyObject* callable, PyObject* const* args,
                       std::size_t nargsf, PyObject* kwnames) {
    CallArgs call = pack(args, nargsf, kwnames);
    CallArgs none;  // what a call at once takes of the pending call
    LimiterCore& c = l->core;
    bool at_once = false;
    bool fire = false;
    PyTime_t at = 0;
    {
        MutexGuard guard(c.lock);
        const PyTime_t now = now_raw();
        if (used_up(l)) {
            // The last call is being made: the entry goes at its end.
        } else if (l->mode == RateMode::Throttle && !running(c) && !c.pending.args &&
                   now >= c.deadline) {
            start_call(l, none, now);
            at_once = true;
        } else {
            std::swap(c.pending.args, call.args);
            std::swap(c.pending.kwargs, call.kwargs);
            if (l->mode == RateMode::Debounce) {
                c.deadline = later(now, l->interval);
            }
            fire = wants_fire(c);
            at = c.deadline;
        }
    }
    if (fire) {
        schedule_fire(l, at);
    }
    if (!at_once) {
        Py_RETURN_NONE;  // `call` drops the arguments replaced, or unused
    }
    Ref value = Ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
    after_call(l);
    return value.release();
}

// The timer thread's call, at or after a deadline.
void fire(LimiterObject* l) {
    LimiterCore& c = l->core;
    const bool connected = still_connected(l);
    CallArgs call;
    bool wait = false;
    bool make = false;
    PyTime_t at = 0;
    {
        MutexGuard guard(c.lock);
        c.fires -= c.fires > 0 ? 1 : 0;
        const PyTime_t now = now_raw();
        if (running(c) || !c.pending.args) {
            // The running call's end schedules what is pending; or nothing is.
        } else if (!connected || used_up(l)) {
            take_pending(c, call);  // dropped with the lock let go
        } else if (now < c.deadline && !c.flush_requested) {
            wait = c.fires == 0;
            c.fires += wait ? 1 : 0;
            at = c.deadline;
        } else {
            start_call(l, call, now);
            make = true;
        }
    }
    if (wait) {
        schedule_fire(l, at);
    } else if (make) {
        make_call(l, call, false);
        after_call(l);
    }
}

// flush(): the pending call, made now on this thread; while another call
// runs, as soon as it returns instead.
void flush_limiter(LimiterObject* l) {
    LimiterCore& c = l->core;
    const bool connected = still_connected(l);
    CallArgs call;
    bool make = false;
    {
        MutexGuard guard(c.lock);
        if (!c.pending.args) {
            // Nothing to make.
        } else if (!connected || used_up(l)) {
            take_pending(c, call);
        } else if (running(c)) {
            c.flush_requested = true;
        } else {
            start_call(l, call, now_raw());
            make = true;
        }
    }
    if (!make) {
        return;
    }
    try {
        make_call(l, call, true);
    } catch (const PyErrorSet&) {
        after_call(l);
        throw;
    }
    after_call(l);
}

// ---------------------------------------------------------------------------
// The type

// A weak limiter's answer to an emission's resolution: a view of the live
// referent, or None.
Ref resolve_view(LimiterObject* l) {
    Ref referent = check(PyObject_CallNoArgs(l->inner));
    if (referent.get() == Py_None) {
        return referent;
    }
    PyTypeObject* type = Py_TYPE(as_py(l));
    Ref obj = check(type->tp_alloc(type, 0));
    LimiterObject* view = as_limiter(obj.get());
    ::new (static_cast<void*>(&view->core)) LimiterCore();
    view->vectorcall = l->vectorcall;
    view->inner = referent.release();
    view->owner = Py_NewRef(as_py(l));
    view->signal = Py_XNewRef(l->signal);
    view->interval = l->interval;
    view->mode = l->mode;
    return obj;
}

PyObject* Limiter_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        LimiterObject* me = as_limiter(self);
        LimiterObject* l = holder_of(me);
        if (me->inner == nullptr || l->inner == nullptr) {  // cleared by the collector
            if (me->weak) {
                Py_RETURN_NONE;
            }
            throw_format(PyExc_RuntimeError, "a connection cleared by the garbage collector");
        }
        if (me->weak) {
            return resolve_view(me).release();
        }
        return emit_limited(l, me->inner, args, nargsf, kwnames);
    });
}

// Safe whenever it is called: it decides from the state, deadline included.
PyObject* Limiter_fire(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        fire(holder_of(as_limiter(self)));
        Py_RETURN_NONE;
    });
}

int Limiter_traverse(PyObject* self, visitproc visit, void* arg) {
    LimiterObject* l = as_limiter(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(l->inner);
    Py_VISIT(l->owner);
    Py_VISIT(l->signal);
    Py_VISIT(l->schedule);
    // Read without the lock, which nobody holds while the collector runs.
    Py_VISIT(l->core.pending.args.get());
    Py_VISIT(l->core.pending.kwargs.get());
    return 0;
}

int Limiter_clear(PyObject* self) {
    LimiterObject* l = as_limiter(self);
    CallArgs dropped;
    {
        MutexGuard guard(l->core.lock);
        take_pending(l->core, dropped);
    }
    Py_CLEAR(l->inner);
    Py_CLEAR(l->owner);
    Py_CLEAR(l->signal);
    Py_CLEAR(l->schedule);
    return 0;
}

void Limiter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    Limiter_clear(self);
    as_limiter(self)->core.~LimiterCore();
    type->tp_free(self);
    Py_DECREF(type);
}

// Equal to its callable, as a delivery is, so that disconnect_callback() and
// unique=True find it as they find a plain connection of the same callable.
PyObject* Limiter_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    PyObject* mine = as_limiter(self)->inner;
    if (is_limiter(other)) {
        other = as_limiter(other)->inner;
    }
    if (mine == nullptr || other == nullptr) {  // cleared by the collector
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyObject_RichCompare(mine, other, op);
}

Py_hash_t Limiter_hash(PyObject* self) {
    PyObject* inner = as_limiter(self)->inner;
    return inner != nullptr ? PyObject_Hash(inner) : Py_HashPointer(self);
}

PyObject* Limiter_repr(PyObject* self) {
    LimiterObject* l = as_limiter(self);
    if (l->inner == nullptr) {
        return PyUnicode_FromString("<a limiter cleared by the garbage collector>");
    }
    Ref seconds = Ref::steal(PyFloat_FromDouble(PyTime_AsSecondsDouble(l->interval)));
    if (!seconds) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<%R with %s=%R>", l->inner,
                                l->mode == RateMode::Throttle ? "throttle" : "debounce",
                                seconds.get());
}

PyObject* Limiter_get_wrapped(PyObject* self, void*) {
    PyObject* inner = as_limiter(self)->inner;
    return Py_NewRef(inner != nullptr ? inner : Py_None);
}

PyGetSetDef limiter_getset[] = {
    {"__wrapped__", Limiter_get_wrapped, nullptr, "The callback.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef limiter_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(LimiterObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef limiter_methods[] = {
    {"_fire", Limiter_fire, METH_NOARGS, "_fire($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot limiter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Limiter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Limiter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Limiter_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Limiter_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(Limiter_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(Limiter_repr)},
    {Py_tp_getset, limiter_getset},
    {Py_tp_members, limiter_members},
    {Py_tp_methods, limiter_methods},
    {0, nullptr},
};

// The interval in the clock's units: at least one, and far enough below the
// clock's end that a deadline can always be added to now.
PyTime_t to_interval(double seconds) noexcept {
    constexpr double kLongest = static_cast<double>(std::numeric_limits<PyTime_t>::max() / 4);
    const double ns = std::min(seconds * 1e9, kLongest);
    return std::max<PyTime_t>(1, static_cast<PyTime_t>(ns));
}

double to_seconds(const char* name, PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    const bool numeric = PyFloat_Check(value) || PyLong_Check(value) ||
                         (number != nullptr && (number->nb_float || number->nb_index));
    if (PyBool_Check(value) || !numeric) {
        throw_format(PyExc_TypeError, "argument '%s': expected a number of seconds, got %T", name,
                     value);
    }
    const double seconds = convert_argument(name, [&] {
        const double s = PyFloat_AsDouble(value);
        if (s == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                throw PyErrorSet{};
            }
            PyErr_Clear();  // an int past every float: no finite interval
            return std::numeric_limits<double>::infinity();
        }
        return s;
    });
    if (!std::isfinite(seconds) || seconds <= 0) {
        throw_format(PyExc_ValueError,
                     "argument '%s': expected a finite number of seconds above 0, got %R", name,
                     value);
    }
    return seconds;
}

}  // namespace

PyType_Spec limiter_type_def = {
    "builtins.SignalRateLimiter",
    sizeof(LimiterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_MANAGED_WEAKREF,
    limiter_slots,
};

RateLimit convert_rate_limit(PyObject* throttle, PyObject* debounce) {
    RateLimit out;
    if (throttle != nullptr && throttle != Py_None) {
        out = {RateMode::Throttle, to_seconds("throttle", throttle)};
    }
    if (debounce != nullptr && debounce != Py_None) {
        if (out.mode != RateMode::None) {
            throw_type_error("throttle and debounce cannot be given together");
        }
        out = {RateMode::Debounce, to_seconds("debounce", debounce)};
    }
    return out;
}

Ref make_limiter(PyObject* signal, Ref target, RateLimit rate,
                 const std::optional<std::uint64_t>& times, bool weak) {
    Ref timers = check(PyImport_ImportModule("tarnwick._timers"));
    Ref schedule = check(PyObject_GetAttrString(timers.get(), "schedule"));
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(signal).limiter_type.get());
    Ref obj = check(type->tp_alloc(type, 0));
    LimiterObject* l = as_limiter(obj.get());
    ::new (static_cast<void*>(&l->core)) LimiterCore();
    l->vectorcall = Limiter_vectorcall;
    l->inner = target.release();
    l->signal = Py_NewRef(signal);
    l->schedule = schedule.release();
    l->interval = to_interval(rate.seconds);
    l->mode = rate.mode;
    l->weak = weak;
    l->limited = times.has_value();
    l->core.remaining = times.value_or(0);
    watch_forks();
    return obj;
}

void set_limiter_id(PyObject* limiter, std::uint64_t id) noexcept {
    as_limiter(limiter)->core.id.store(id, std::memory_order_release);
}

PyObject* limited_callable(PyObject* obj) noexcept {
    if (is_limiter(obj) && as_limiter(obj)->inner != nullptr) {
        return as_limiter(obj)->inner;
    }
    return obj;
}

std::optional<std::uint64_t> limiter_remaining(PyObject* obj) noexcept {
    if (!is_limiter(obj) || !holder_of(as_limiter(obj))->limited) {
        return std::nullopt;
    }
    LimiterCore& c = holder_of(as_limiter(obj))->core;
    MutexGuard guard(c.lock);
    return c.remaining;
}

LimiterSet::~LimiterSet() {
    while (Node* node = head_) {  // no lock: nobody else can see the set now
        head_ = node->next;
        delete node;
    }
}

namespace {

// Whether the limiter behind a weak reference of the set has gone.
bool has_gone(PyObject* ref) {
    PyObject* found = nullptr;
    check_status(PyWeakref_GetRef(ref, &found));
    return !Ref::steal(found);
}

}  // namespace

LimiterSet::Place LimiterSet::place_for(PyObject* limiter) {
    bool due = false;
    {
        MutexGuard guard(lock_);
        due = size_ >= 2 * kept_ + 16;
    }
    if (due) {
        std::vector<Ref> refs = copy();
        std::vector<PyObject*> dead;
        for (const Ref& ref : refs) {
            if (has_gone(ref.get())) {
                dead.push_back(ref.get());
            }
        }
        forget(std::move(dead));
    }
    Place place = std::make_unique<Node>();
    place->ref = check(PyWeakref_NewRef(limiter, nullptr));
    return place;
}

void LimiterSet::take_in(Place place) noexcept {
    MutexGuard guard(lock_);
    place->next = head_;
    head_ = place.release();
    ++size_;
}

std::vector<Ref> LimiterSet::copy() {
    std::size_t count = 0;
    for (;;) {
        std::vector<Ref> out;
        out.reserve(count);
        MutexGuard guard(lock_);
        std::size_t now = 0;
        for (Node* node = head_; node != nullptr; node = node->next) {
            ++now;
        }
        if (now <= count) {
            for (Node* node = head_; node != nullptr; node = node->next) {
                out.push_back(Ref::new_ref(node->ref.get()));
            }
            std::reverse(out.begin(), out.end());  // in connection order
            return out;
        }
        count = now;  // room for them is made with the lock let go
    }
}

void LimiterSet::forget(std::vector<PyObject*> dead) noexcept {
    std::sort(dead.begin(), dead.end());
    Node* gone = nullptr;  // deleted after the lock is let go
    {
        MutexGuard guard(lock_);
        for (Node** at = &head_; *at != nullptr;) {
            Node* node = *at;
            if (!std::binary_search(dead.begin(), dead.end(), node->ref.get())) {
                at = &node->next;
                continue;
            }
            *at = node->next;
            node->next = gone;
            gone = node;
            --size_;
        }
        kept_ = size_;
    }
    while (gone != nullptr) {
        delete std::exchange(gone, gone->next);
    }
}

void LimiterSet::flush() {
    std::vector<Ref> refs = copy();
    std::vector<PyObject*> dead;
    for (const Ref& ref : refs) {
        PyObject* found = nullptr;
        check_status(PyWeakref_GetRef(ref.get(), &found));
        Ref limiter = Ref::steal(found);
        if (!limiter) {
            dead.push_back(ref.get());
            continue;
        }
        flush_limiter(as_limiter(limiter.get()));
    }
    forget(std::move(dead));
}

}  // namespace tarnwick
