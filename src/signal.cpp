// Signal: the type, its slots, and the methods that connect, disconnect and
// manage error hooks; the method table registers the feature files' methods
// too. The record and its table operations live in signal_record.hpp, below
// every feature file; nothing includes this file's declarations back.
// Emission lives in emission.cpp, the weak-connection
// liveness check in liveness.cpp, the repr's quoting in repr_text.hpp,
// blocked() in blocking.cpp, paused() in pausing.cpp, connections() and
// disconnect_callback() in listing.cpp, the adapter that listener's
// max_args and sender connect in adapter.cpp, and the limiter of its
// throttle and debounce in rate_limit.cpp.
//
// The rule that shapes everything here: no Python code runs while one of a
// signal's locks is held. Under a lock we only move entries, touch reference
// counts upwards and flip atomics; references that an operation removes are
// moved into a local and dropped after the lock is let go.

#include "signal_record.hpp"

#include "adapter.hpp"
#include "args.hpp"
#include "blocking.hpp"
#include "connection.hpp"
#include "delivery.hpp"
#include "emission.hpp"
#include "holder.hpp"
#include "listing.hpp"
#include "interp_state.hpp"
#include "liveness.hpp"
#include "pausing.hpp"
#include "rate_limit.hpp"
#include "repr_text.hpp"

#include <type_traits>
#include <utility>

namespace tarnwick {

namespace {

// ---------------------------------------------------------------------------
// Construction, garbage collection, repr and len

constexpr const char* kNewNames[] = {"name"};
constexpr Signature kNewSig{"Signal", kNewNames, 1, 0, false};

std::optional<std::string> to_name(PyObject* value) {
    if (value == nullptr || value == Py_None) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(value)) {
        throw_format(PyExc_TypeError, "expected str or None, got %T", value);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        throw PyErrorSet{};
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

PyObject* Signal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        bind_tuple_and_dict(kNewSig, args, kwargs, bound);
        std::optional<std::string> name = convert_argument("name", [&] { return to_name(bound[0]); });
        // Nothing between the allocation and the record's construction can
        // run the collector, so it never sees a half-built signal.
        PyObject* obj = check(type->tp_alloc(type, 0)).release();
        SignalRecord* rec = ::new (static_cast<void*>(&as_signal(obj)->rec)) SignalRecord();
        rec->name = std::move(name);
        return obj;
    });
}

// Whether no thread holds `lock` exclusively, which is so whenever the
// collector runs; see Signal_traverse.
[[maybe_unused]] bool no_writer(RWLock& lock) noexcept {
    ReadHold hold;
    if (!lock.try_lock_shared(hold)) {
        return false;
    }
    lock.unlock_shared(hold);
    return true;
}

// Takes no lock and never waits: the collector calls this with the world
// stopped (or with the GIL held), and since nothing that can reach a safe
// point runs under our locks, no thread can be inside one now.
int Signal_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto& rec = as_signal(self)->rec;
    TARNWICK_ASSERT(no_writer(rec.listeners.lock()));
    TARNWICK_ASSERT(no_writer(rec.error_hooks.lock()));
    int rc = 0;
    rec.listeners.for_each_unguarded([&](const CallbackEntry& e) {
        if (rc == 0) {
            rc = visit(e.callback.get(), arg);
        }
    });
    if (rc != 0) {
        return rc;
    }
    for (const Ref& hook : rec.error_hooks.hooks_unguarded()) {
        Py_VISIT(hook.get());
    }
    Py_VISIT(rec.finalize_fn.peek());
    return traverse_paused(as_signal(self), visit, arg);
}

// Empties the table and returns how many entries it had; their references
// are dropped after unlocking.
std::size_t drop_listeners(SignalObject* self) noexcept {
    ListenerTable& table = self->rec.listeners;
    DetachedEntries gone;
    {
        ExclusiveGuard guard(table.lock());
        table.take_all(guard, gone);
    }
    const std::size_t count = gone.size();
    gone.release();
    return count;
}

// Empties the table and the hooks; the name, the id counter and the caches
// stay, so a cleared signal still works and continues its id sequence.
int Signal_clear(PyObject* self) {
    auto& rec = as_signal(self)->rec;
    drop_listeners(as_signal(self));
    clear_paused(as_signal(self));
    {
        ErrorHookList::Hooks gone;
        {
            ExclusiveGuard guard(rec.error_hooks.lock());
            rec.error_hooks.take_all(guard, gone);
        }
        gone.clear();
    }
    return 0;
}

void Signal_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SignalRecord& rec = as_signal(self)->rec;
    // Released in field order; nothing else can see the record any more.
    rec.name.reset();
    rec.listeners.clear_unguarded();
    rec.error_hooks.hooks_unguarded().clear();
    rec.weakref_module.reset();
    rec.asyncio_module.reset();
    rec.finalize_fn.reset();
    rec.~SignalRecord();
    type->tp_free(self);
    Py_DECREF(type);
}

std::size_t listener_count(SignalObject* self) noexcept {
    ListenerTable& table = self->rec.listeners;
    SharedGuard guard(table.lock());
    return table.size(guard);
}

PyObject* Signal_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::size_t n = listener_count(as_signal(self));
        std::string text = "Signal(name=";
        const auto& name = as_signal(self)->rec.name;
        if (name) {
            append_quoted(text, *name);
        } else {
            text += "None";
        }
        text += ", listeners=";
        text += std::to_string(n);
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

Py_ssize_t Signal_len(PyObject* self) {
    return static_cast<Py_ssize_t>(listener_count(as_signal(self)));
}

// ---------------------------------------------------------------------------
// Connecting

// What to connect, with the options converted.
struct ConnectArgs {
    PyObject* callback;
    bool weak = false;
    std::int32_t priority = 0;
    // Calls allowed; none for "until disconnected".
    std::optional<std::uint64_t> times;
    // The callable goes back to the caller (listener's decorator), who keeps it.
    bool handed_back = false;
    // listener's: the event loop whose thread runs the calls (borrowed), and
    // whether to connect only when no connection has an equal callback.
    PyObject* loop = nullptr;
    bool unique = false;
    // listener's: the positional arguments passed on at most (-1 for all, or
    // read from the callable's signature at connect when `max_args_auto`),
    // and the first positional argument an emission must have, borrowed
    // (null when not given: None is a sender like any other).
    Py_ssize_t max_args = -1;
    bool max_args_auto = false;
    PyObject* sender = nullptr;
    // listener's: weak=True also holds a builtin method by its object.
    bool weak_builtin = false;
    // listener's throttle= or debounce=.
    RateLimit rate;
};

void check_times(const std::optional<std::uint64_t>& times) {
    if (times && *times == 0) {
        throw_type_error("times must be greater than zero.");
    }
}

// The callable an entry holds for `a.callback` (the caller's new reference in
// `held`), wrapped as the options ask: callback -> weak reference -> loop's
// delivery -> rate limiter -> adapter. The adapter stays outermost, so that
// an emission whose sender does not match never reaches the limiter. The
// limiter, if one is made, is left in `limiter` (borrowed from the result).
Ref wrap_callable(SignalObject* self, const ConnectArgs& a, Ref held, Py_ssize_t max_args,
                  PyObject*& limiter) {
    if (a.weak) {
        // Only weak connects add entries that can die, so only they sweep.
        if (self->rec.listeners.sweep_due()) [[unlikely]] {
            sweep_dead_weak(self);
        }
    }
    if (a.loop != nullptr) {
        held = make_delivery(as_object(self), std::move(held), a.loop, a.weak);
    }
    if (a.rate.mode != RateMode::None) {
        held = make_limiter(as_object(self), std::move(held), a.rate, a.times, a.weak);
        limiter = held.get();
    }
    if (max_args >= 0 || a.sender != nullptr) {
        held = make_adapter(as_object(self), std::move(held), max_args, a.sender, a.weak);
    }
    return held;
}

// Connects `a.callback` (borrowed) and returns what make_result(id) built for
// the new id (the Python int, or the SignalConnection). Every check happens
// before the table changes; the result object is made before the lock is
// taken, for the id that the insertion will get, so that nothing can fail once
// an id has been drawn and a failed connect consumes no id. Ids are drawn only
// under the exclusive lock, so the prediction holds unless another connect
// got in first, and then we simply try again with the next one.
//
// With `a.unique`, the callbacks are compared (with no lock held) on a
// snapshot taken at the same predicted id; the prediction still holding at
// insertion means nothing was connected since, so the comparison stands. An
// equal callback found means nothing is connected: an empty Ref comes back.
//
// A weak connect first sweeps the table's dead weak entries out when it has
// grown enough (ListenerTable::sweep_due); a weak reference that raises then
// fails the connect, before anything is connected, as it fails an emission.
//
// With throttle= or debounce=, the limiter counts the calls (the entry is
// unlimited) and learns its id as it is drawn; `remember`, when given, takes
// it in once connected (its place is made before, where failing is allowed).
template <class MakeResult>
Ref connect_callback(SignalObject* self, const ConnectArgs& a, MakeResult&& make_result,
                     LimiterSet* remember = nullptr) {
    if (!PyCallable_Check(a.callback)) {
        throw_type_error("Callback must be a function.");
    }
    check_times(a.times);
    const Py_ssize_t max_args = a.max_args_auto ? positional_capacity(a.callback) : a.max_args;
    const CallerHold hold = a.weak ? caller_hold(a.callback, a.handed_back) : CallerHold{};
    Ref held = Ref::new_ref(a.callback);
    if (a.weak) {
        held = make_weak(self, std::move(held), hold, a.weak_builtin);
    }
    PyObject* limiter = nullptr;
    held = wrap_callable(self, a, std::move(held), max_args, limiter);
    // Outlives the guard: if growing fails, its reference is dropped after the
    // lock is let go. Compares by identity only when it holds the callable
    // itself (not a weak reference, nor a wrapper).
    const bool identity_eq =
        !a.weak && held.get() == a.callback && equality_is_identity(held.get());
    const bool limited = a.times.has_value() && limiter == nullptr;
    CallbackEntry entry{std::move(held), limited ? *a.times : 0, 0, a.priority,
                        a.weak ? EntryKind::Weak : EntryKind::Strong, limited,
                        identity_eq, a.sender != nullptr};
    LimiterSet::Place place =
        remember != nullptr && limiter != nullptr ? remember->place_for(limiter) : nullptr;
    auto& rec = self->rec;
    std::uint64_t expected = rec.next_id.load(std::memory_order_relaxed);
    for (;;) {
        if (a.unique && has_equal_callback(self, a.callback, expected)) {
            return Ref();
        }
        Ref result = make_result(expected);
        bool inserted = false;
        {
            ExclusiveGuard guard(rec.listeners.lock());
            rec.listeners.reserve_one_more(guard, a.priority);
            if (rec.next_id.load(std::memory_order_relaxed) == expected) {
                entry.id = rec.next_id.fetch_add(1, std::memory_order_relaxed);
                if (limiter != nullptr) {
                    set_limiter_id(limiter, entry.id);
                }
                rec.listeners.insert_sorted(guard, std::move(entry));
                inserted = true;
            } else {
                expected = rec.next_id.load(std::memory_order_relaxed);
            }
        }
        if (inserted) {
            if (remember != nullptr && place) {
                remember->take_in(std::move(place));
            }
            return result;
        }
    }
}

Ref id_object(std::uint64_t id) { return check(PyLong_FromUnsignedLongLong(id)); }

constexpr const char* kConnectNames[] = {"callback", "weak", "priority"};
constexpr const char* kConnectFiniteNames[] = {"callback", "times", "weak", "priority"};

// Converts weak, then priority, when given.
void convert_options(PyObject* weak, PyObject* priority, ConnectArgs& out) {
    if (weak != nullptr) {
        out.weak = convert_argument("weak", [&] { return to_weak_flag(weak); });
    }
    if (priority != nullptr) {
        out.priority = convert_argument("priority", [&] { return to_priority(priority); });
    }
}

// Converts (times, then weak, then priority) before anything else.
ConnectArgs convert_connect(PyObject* const* bound, bool with_times) {
    ConnectArgs out;
    std::size_t i = 0;
    out.callback = bound[i++];
    if (with_times) {
        PyObject* times = bound[i++];
        out.times = convert_argument("times", [&] { return to_u64(times); });
    }
    convert_options(bound[i], bound[i + 1], out);
    return out;
}

// connect, connect_once and connect_finite.
template <bool WithTimes, bool Once>
PyObject* Signal_connect(PyObject* self, PyObject* const* bound) {
    ConnectArgs a = convert_connect(bound, WithTimes);
    if (Once) {
        a.times = 1;
    }
    return connect_callback(as_signal(self), a, id_object).release();
}

constexpr Signature kConnectSig{"Signal.connect", kConnectNames, 3, 1, true};
constexpr Signature kConnectOnceSig{"Signal.connect_once", kConnectNames, 3, 1, true};
constexpr Signature kConnectFiniteSig{"Signal.connect_finite", kConnectFiniteNames, 4, 2, true};
constexpr Signature kConnectedSig{"Signal.connected", kConnectNames, 3, 1, true};

PyObject* Signal_connected(PyObject* self, PyObject* const* bound) {
    const ConnectArgs a = convert_connect(bound, false);
    return connect_callback(as_signal(self), a,
                            [&](std::uint64_t id) { return check(new_connection(self, id)); })
        .release();
}

// ---------------------------------------------------------------------------
// Connecting as a decorator

constexpr const char* kListenerNames[] = {"callback", "weak",     "priority", "times",
                                          "loop",     "unique",   "max_args", "sender",
                                          "throttle", "debounce"};
constexpr Signature kListenerSig{"Signal.listener", kListenerNames, 10, 0, true, 1};

// `times`: None for "until disconnected", else as connect_finite takes it.
std::optional<std::uint64_t> convert_times_or_none(PyObject* times) {
    if (times == nullptr || times == Py_None) {
        return std::nullopt;
    }
    return convert_argument("times", [&] { return to_u64(times); });
}

// `max_args`: None for all, an int >= 0 (not a bool), or "auto".
void convert_max_args(PyObject* value, ConnectArgs& out) {
    if (value == nullptr || value == Py_None) {
        return;
    }
    if (PyUnicode_Check(value)) {
        if (!PyUnicode_EqualToUTF8(value, "auto")) {
            throw_format(PyExc_ValueError,
                         "argument 'max_args': expected an int >= 0 or 'auto', got %R", value);
        }
        out.max_args_auto = true;
        return;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        throw_format(PyExc_TypeError, "argument 'max_args': expected int, 'auto' or None, got %T",
                     value);
    }
    const Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) {
        rename_type_error("max_args");
        throw PyErrorSet{};
    }
    if (n < 0) {
        throw_error(PyExc_ValueError, "argument 'max_args': must be >= 0");
    }
    out.max_args = n;
}

// What listener(weak=..., priority=..., times=...) returns: a decorator that
// keeps its signal and the converted options, and connects the callable it is
// called with. A new option is one more field of ConnectArgs, converted in
// Signal_listener and shown by the repr.
struct ListenerObject {
    // First, so that the object is a SignalHolder for holder.hpp's slots.
    SignalHolder holder;
    // Listener_vectorcall: the callable reaches the connect as the caller
    // passed it, with no tuple around it.
    vectorcallfunc vectorcall;
    // The options; `callback` stays null, the call supplies it, and `loop`
    // is `loop_held`.
    ConnectArgs options;
    // The event loop of listener(..., loop=...) and the sender of
    // listener(..., sender=...), or null; kept alive here, since the options
    // only borrow them.
    PyObject* loop_held;
    PyObject* sender_held;
    // With throttle= or debounce=, the limiters connected so far, for
    // flush(); null without them.
    LimiterSet* limiters;
};
// The interpreter finds the call by this offset; a standard-layout prefix
// gives it, since ConnectArgs need not be standard-layout.
struct ListenerPrefix {
    SignalHolder holder;
    vectorcallfunc vectorcall;
};
static_assert(std::is_standard_layout_v<ListenerPrefix>);

ListenerObject* as_listener(PyObject* self) noexcept {
    return reinterpret_cast<ListenerObject*>(self);
}

// What the decorator holds besides the signal.
void Listener_give_back(PyObject* self) noexcept {
    ListenerObject* l = as_listener(self);
    l->options.loop = nullptr;
    l->options.sender = nullptr;
    Py_CLEAR(l->loop_held);
    Py_CLEAR(l->sender_held);
    delete std::exchange(l->limiters, nullptr);
}

int Listener_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_listener(self)->loop_held);
    Py_VISIT(as_listener(self)->sender_held);
    return holder_traverse(self, visit, arg);
}

// The options only borrow (the object keeps what they point to), so the
// object is freed like the other holders; an option that owns a reference
// needs destroying in dealloc.
static_assert(std::is_trivially_destructible_v<ConnectArgs>);

// decorator(callback): connects it and returns it, for the name it is about to
// be bound to.
PyObject* Listener_connect(PyObject* self, PyObject* callback) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* signal = as_listener(self)->holder.signal;
        if (signal == nullptr) {  // only a finalizer of the collected cycle gets here
            throw_error(PyExc_ReferenceError, "listener(): its signal was released");
        }
        ConnectArgs a = as_listener(self)->options;
        a.callback = callback;
        a.handed_back = true;
        connect_callback(as_signal(signal), a, id_object, as_listener(self)->limiters);
        return Py_NewRef(callback);
    });
}

// The call, which takes what a one-argument builtin takes and says so in the
// same words. (The __call__ method is there for its text signature.)
PyObject* Listener_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "listener() takes no keyword arguments");
        return nullptr;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "listener() takes exactly one argument (%zd given)", nargs);
        return nullptr;
    }
    return Listener_connect(self, args[0]);
}

PyMemberDef listener_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ListenerPrefix, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// flush(): every pending call of the connections made with throttle= or
// debounce=, now, on this thread.
PyObject* Listener_flush(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (LimiterSet* limiters = as_listener(self)->limiters) {
            limiters->flush();
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef listener_methods[] = {
    {"__call__", Listener_connect, METH_O | METH_COEXIST,
     "__call__($self, callback, /)\n--\n\n"
     "Connect `callback` with the options given to Signal.listener() and return it."},
    {"flush", Listener_flush, METH_NOARGS,
     "flush($self)\n--\n\n"
     "Make the pending call of each connection this decorator made with throttle\n"
     "or debounce now, on this thread (through its loop= target, which calls\n"
     "directly on its own thread and queues it from any other). Nothing is\n"
     "called when none is pending; a call that raises propagates."},
    {nullptr, nullptr, 0, nullptr},
};

// <Signal.listener(weak=False, priority=5, times=1, loop=None, unique=False)
//  of Signal(name="s", listeners=0)>
PyObject* Listener_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const ConnectArgs& o = as_listener(self)->options;
        Ref times = o.times ? id_object(*o.times) : Ref::new_ref(Py_None);
        PyObject* loop = o.loop != nullptr ? o.loop : Py_None;
        PyObject* signal = as_listener(self)->holder.signal;
        Ref owner = signal != nullptr ? check(PyObject_Repr(signal)) : Ref::new_ref(Py_None);
        // max_args, sender, throttle and debounce only when given, so the
        // usual repr stays short.
        Ref extra = check(PyUnicode_FromString(""));
        if (o.max_args_auto) {
            extra = check(PyUnicode_FromString(", max_args='auto'"));
        } else if (o.max_args >= 0) {
            extra = check(PyUnicode_FromFormat(", max_args=%zd", o.max_args));
        }
        if (o.sender != nullptr) {
            extra = check(PyUnicode_FromFormat("%U, sender=%R", extra.get(), o.sender));
        }
        if (o.rate.mode != RateMode::None) {
            Ref seconds = check(PyFloat_FromDouble(o.rate.seconds));
            extra = check(PyUnicode_FromFormat(
                "%U, %s=%R", extra.get(),
                o.rate.mode == RateMode::Throttle ? "throttle" : "debounce", seconds.get()));
        }
        return PyUnicode_FromFormat(
            "<Signal.listener(weak=%s, priority=%ld, times=%R, loop=%R, unique=%s%U) of %S>",
            o.weak ? "True" : "False", static_cast<long>(o.priority), times.get(), loop,
            o.unique ? "True" : "False", extra.get(), owner.get());
    });
}

PyType_Slot listener_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<Listener_give_back>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Listener_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear<Listener_give_back>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_methods, listener_methods},
    {Py_tp_members, listener_members},
    {Py_tp_repr, reinterpret_cast<void*>(Listener_repr)},
    {Py_tp_doc, const_cast<char*>(
        "The decorator that Signal.listener() returns when given only options:\n"
        "called with a callable, it connects it with those options and returns it.")},
    {0, nullptr},
};

Ref make_decorator(PyObject* self, const ConnectArgs& a) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(self).listener_type.get());
    Ref made = check(type->tp_alloc(type, 0));  // freed whole if the set cannot be made
    PyObject* obj = made.get();
    ConnectArgs* options = ::new (static_cast<void*>(&as_listener(obj)->options)) ConnectArgs(a);
    options->callback = nullptr;
    as_listener(obj)->loop_held = Py_XNewRef(a.loop);
    as_listener(obj)->sender_held = Py_XNewRef(a.sender);
    as_listener(obj)->limiters = a.rate.mode != RateMode::None ? new LimiterSet() : nullptr;
    TARNWICK_ASSERT(reinterpret_cast<char*>(&as_listener(obj)->vectorcall) -
                        reinterpret_cast<char*>(obj) ==
                    static_cast<std::ptrdiff_t>(offsetof(ListenerPrefix, vectorcall)));
    as_listener(obj)->vectorcall = Listener_vectorcall;
    as_listener(obj)->holder.signal = Py_NewRef(self);
    return made;
}

// @signal.listener connects the function it decorates; @signal.listener(...)
// returns a decorator that does so with those options. Either way the
// callable comes back unchanged.
PyObject* Signal_listener(PyObject* self, PyObject* const* bound) {
    ConnectArgs a;
    a.callback = bound[0];
    a.weak_builtin = true;
    a.times = convert_times_or_none(bound[3]);
    convert_options(bound[1], bound[2], a);
    if (bound[4] != nullptr && bound[4] != Py_None) {
        a.loop = bound[4];
    }
    if (bound[5] != nullptr) {
        a.unique = convert_argument("unique", [&] { return to_weak_flag(bound[5]); });
    }
    convert_max_args(bound[6], a);
    a.sender = bound[7];
    a.rate = convert_rate_limit(bound[8], bound[9]);
    if (a.callback == nullptr || a.callback == Py_None) {
        check_times(a.times);
        return make_decorator(self, a).release();
    }
    connect_callback(as_signal(self), a, id_object);
    return Py_NewRef(a.callback);
}

// ---------------------------------------------------------------------------
// Disconnecting

constexpr const char* kDisconnectNames[] = {"id"};
constexpr Signature kDisconnectSig{"Signal.disconnect", kDisconnectNames, 1, 1, true};

constexpr const char* kDisconnectCallbackNames[] = {"callback"};
constexpr Signature kDisconnectCallbackSig{"Signal.disconnect_callback", kDisconnectCallbackNames,
                                           1, 1, true};

PyObject* Signal_disconnect(PyObject* self, PyObject* const* bound) {
    const std::uint64_t id = convert_argument("id", [&] { return to_u64(bound[0]); });
    return PyBool_FromLong(disconnect_by_id(as_signal(self), id));
}

// Error hooks stay: clear_error_hooks is theirs. Emissions already past
// their snapshot hold their own references and finish.
PyObject* Signal_disconnect_all(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(drop_listeners(as_signal(self)));
}

// ---------------------------------------------------------------------------
// Error hooks (emission.cpp calls them)

constexpr const char* kOnErrorNames[] = {"handler"};
constexpr Signature kOnErrorSig{"Signal.on_error", kOnErrorNames, 1, 1, true};

PyObject* Signal_on_error(PyObject* self, PyObject* const* bound) {
    if (!PyCallable_Check(bound[0])) {
        throw_type_error("Error handler must be a function.");
    }
    ErrorHookList& hooks = as_signal(self)->rec.error_hooks;
    Ref hook = Ref::new_ref(bound[0]);  // outlives the guard on failure
    {
        ExclusiveGuard guard(hooks.lock());
        hooks.add(guard, hook);
    }
    Py_RETURN_NONE;
}

PyObject* Signal_clear_error_hooks(PyObject* self, PyObject*) {
    ErrorHookList& hooks = as_signal(self)->rec.error_hooks;
    ErrorHookList::Hooks gone;
    {
        ExclusiveGuard guard(hooks.lock());
        hooks.take_all(guard, gone);
    }
    gone.clear();  // first registered first, with no lock held
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Pausing (pausing.cpp)

constexpr const char* kPausedNames[] = {"reducer", "initial"};
constexpr Signature kPausedSig{"Signal.paused", kPausedNames, 2, 0, true};

// ---------------------------------------------------------------------------
// The type

PyMethodDef signal_methods[] = {
    {"on_error", method_cast(fastcall_method<kOnErrorSig, Signal_on_error>),
     METH_FASTCALL | METH_KEYWORDS,
     "on_error($self, handler)\n--\n\n"
     "Register a hook called as `hook(exception, callback)` whenever a\n"
     "connected callback raises during `emit()` or `emit_async()`, regardless\n"
     "of `on_error` mode. Independent of `emit(on_error=...)`: hooks always\n"
     "see the error, `on_error` only controls whether emit() also re-raises\n"
     "or continues. Useful for centralized logging/metrics without changing\n"
     "every call site."},
    {"clear_error_hooks", Signal_clear_error_hooks, METH_NOARGS,
     "clear_error_hooks($self)\n--\n\nRemove all registered error hooks."},
    {"connect", method_cast(fastcall_method<kConnectSig, Signal_connect<false, false>>),
     METH_FASTCALL | METH_KEYWORDS, "connect($self, callback, weak=False, priority=0)\n--\n\n"},
    {"connect_once", method_cast(fastcall_method<kConnectOnceSig, Signal_connect<false, true>>),
     METH_FASTCALL | METH_KEYWORDS,
     "connect_once($self, callback, weak=False, priority=0)\n--\n\n"},
    {"connect_finite",
     method_cast(fastcall_method<kConnectFiniteSig, Signal_connect<true, false>>),
     METH_FASTCALL | METH_KEYWORDS,
     "connect_finite($self, callback, times, weak=False, priority=0)\n--\n\n"},
    {"disconnect", method_cast(fastcall_method<kDisconnectSig, Signal_disconnect>),
     METH_FASTCALL | METH_KEYWORDS, "disconnect($self, id)\n--\n\n"},
    {"connected", method_cast(fastcall_method<kConnectedSig, Signal_connected>),
     METH_FASTCALL | METH_KEYWORDS, "connected($self, callback, weak=False, priority=0)\n--\n\n"},
    {"emit", method_cast(Signal_emit), METH_VARARGS | METH_KEYWORDS,
     "emit($self, *args, on_error=\"fast_fail\", **kwargs)\n--\n\n"},
    {"emit_async", method_cast(Signal_emit_async), METH_VARARGS | METH_KEYWORDS,
     "emit_async($self, *args, on_error=\"fast_fail\", **kwargs)\n--\n\n"},
    {"disconnect_callback",
     method_cast(fastcall_method<kDisconnectCallbackSig, Signal_disconnect_callback>),
     METH_FASTCALL | METH_KEYWORDS,
     "disconnect_callback($self, callback)\n--\n\n"
     "Remove every connection whose callback equals `callback` (for a weak\n"
     "connection, its live referent) and return how many were removed."},
    {"listener", method_cast(fastcall_method<kListenerSig, Signal_listener>),
     METH_FASTCALL | METH_KEYWORDS,
     "listener($self, callback=None, *, weak=False, priority=0, times=None, loop=None, "
     "unique=False, max_args=None, sender=..., throttle=None, debounce=None)\n--\n\n"
     "Connect a callable as a decorator and return it unchanged. Use it bare\n"
     "(`@signal.listener`) or with options (`@signal.listener(priority=5)`);\n"
     "`times=None` connects until disconnected, an int for that many calls.\n"
     "With `loop`, an emission on another thread than the one running that\n"
     "event loop schedules the call there and gives a concurrent.futures.Future\n"
     "as its result. With `unique=True`, nothing is connected when a\n"
     "connection's callback already equals this one. With `max_args=N`, the\n"
     "callable gets only the first N positional arguments (`'auto'`: as many\n"
     "as its signature takes, read once now). With `sender=OBJ`, only\n"
     "emissions whose first positional argument is OBJ call it (`...` in\n"
     "this signature means not given: any object, None included, filters).\n"
     "With `throttle=SECONDS` it is called at once and then at most once per\n"
     "interval, with the last arguments that came meanwhile; with\n"
     "`debounce=SECONDS`, once the emissions have stopped for that long (an\n"
     "emission whose call is put off gives None as its result)."},
    {"blocked", Signal_blocked, METH_NOARGS,
     "blocked($self)\n--\n\n"
     "A context manager that suppresses this signal's emissions, on every\n"
     "thread, while it is entered: emit() returns [] and no callback runs.\n"
     "Blocks nest; leaving one replays nothing."},
    {"paused", method_cast(fastcall_method<kPausedSig, Signal_paused>),
     METH_FASTCALL | METH_KEYWORDS,
     "paused($self, reducer=None, initial=...)\n--\n\n"
     "A context manager that records this signal's emissions, on every\n"
     "thread, while it is entered: emit() returns [] and no callback runs.\n"
     "When the outermost pause exits, the recorded emissions are emitted again\n"
     "in order; with `reducer`, their argument tuples are folded into one with\n"
     "reducer(previous, current), starting from `initial` when given, and the\n"
     "signal is emitted once with the result."},
    {"connections", Signal_connections, METH_NOARGS,
     "connections($self)\n--\n\n"
     "A new list of (id, callback, priority, remaining) tuples in call order.\n"
     "A weak connection shows its referent, None once that has died;\n"
     "`remaining` is None for connections without a limit."},
    {"disconnect_all", Signal_disconnect_all, METH_NOARGS,
     "disconnect_all($self)\n--\n\n"
     "Remove every connection and return how many there were. Error hooks\n"
     "stay; emissions already running finish."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\n"
     "Signal[int, str] for annotations: a types.GenericAlias."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot signal_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Signal_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Signal_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Signal_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Signal_clear)},
    {Py_mp_length, reinterpret_cast<void*>(Signal_len)},
    {Py_tp_repr, reinterpret_cast<void*>(Signal_repr)},
    {Py_tp_methods, signal_methods},
    {Py_tp_doc, const_cast<char*>("Signal(name=None)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyType_Spec signal_type_def = {
    "builtins.Signal",
    sizeof(SignalObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    signal_slots,
};

PyType_Spec listener_type_def = {
    "builtins.SignalListener",
    sizeof(ListenerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL,
    listener_slots,
};

}  // namespace tarnwick
