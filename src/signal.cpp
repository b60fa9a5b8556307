// Signal: connecting, disconnecting, emitting and error hooks.
//
// The rule that shapes everything here: no Python code runs while one of a
// signal's locks is held. Under a lock we only move entries, touch reference
// counts upwards and flip atomics; references that an operation removes are
// moved into a local and dropped after the lock is let go, and callbacks and
// hooks are called over copies taken under the shared lock.

#include "signal.hpp"

#include "args.hpp"
#include "connection.hpp"
#include "interp_state.hpp"
#include "unicode_table.hpp"

#include <cstring>
#include <utility>

namespace tarnwick {

namespace {

SignalObject* as_signal(PyObject* self) noexcept { return reinterpret_cast<SignalObject*>(self); }

// ---------------------------------------------------------------------------
// Weak-connection liveness
//
// A weak connection is refused when nothing but the call itself keeps the
// callback (or its instance) alive. The test counts references with
// sys.getrefcount, whose result is not the same on every build: the
// free-threaded interpreter gives top-level functions, modules and heap types
// deferred reference counting and reports one reference more for them (and,
// once a second thread has started, makes such objects immortal). So the
// surplus is measured once per process on fresh probes of each kind, each held
// by exactly one reference, and subtracted; an immortal object can never be
// collected, so it always passes.

enum class RefKind { Plain = 0, TopLevelFunction, NestedFunction, Module, HeapType, Count };

RefKind ref_kind_of(PyObject* obj) noexcept {
    if (PyFunction_Check(obj)) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(obj));
        return (code->co_flags & CO_NESTED) != 0 ? RefKind::NestedFunction
                                                 : RefKind::TopLevelFunction;
    }
    if (PyModule_Check(obj)) {
        return RefKind::Module;
    }
    if (PyType_Check(obj) && PyType_HasFeature(reinterpret_cast<PyTypeObject*>(obj),
                                               Py_TPFLAGS_HEAPTYPE)) {
        return RefKind::HeapType;
    }
    return RefKind::Plain;
}

// Counts this large belong to immortal objects; no real object has them.
constexpr std::size_t kImmortalCount = std::size_t{1} << 30;

std::size_t getrefcount(PyObject* getrefcount_fn, PyObject* obj) {
    Ref count = check(PyObject_CallOneArg(getrefcount_fn, obj));
    const std::size_t n = PyLong_AsSize_t(count.get());
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    return n;
}

PyType_Slot probe_type_slots[] = {{0, nullptr}};
PyType_Spec probe_type_spec = {"tarnwick._refcount_probe", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT, probe_type_slots};

constexpr const char kProbeScript[] =
    "def outer():\n"
    "    def inner():\n"
    "        pass\n"
    "    return inner\n";

// Surplus that getrefcount reports for each kind, plus one so that zero
// means "not measured yet". Racing threads measure the same values.
//
// Plain ints, so they may be process-wide: the surplus is a property of the
// build, the same in every interpreter, since deferred reference counting
// marks each object of those kinds when it is made, whichever interpreter
// makes it. Immortalisation is what differs (a free-threaded main interpreter
// makes those objects immortal once a second thread starts, a sub-interpreter
// never does), so an immortal probe is not recorded.
std::atomic<int> g_ref_surplus[static_cast<int>(RefKind::Count)];

void measure_ref_surplus(PyObject* getrefcount_fn) {
    Ref probes[static_cast<int>(RefKind::Count)];
    probes[static_cast<int>(RefKind::Plain)] =
        check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref globals = check(PyDict_New());
    {
        Ref code = check(Py_CompileString("None", "<tarnwick probe>", Py_eval_input));
        probes[static_cast<int>(RefKind::TopLevelFunction)] =
            check(PyFunction_New(code.get(), globals.get()));
        Ref run = check(PyRun_String(kProbeScript, Py_file_input, globals.get(), globals.get()));
        PyObject* outer = nullptr;
        if (check_status(PyDict_GetItemStringRef(globals.get(), "outer", &outer)) == 0) {
            PyErr_SetString(PyExc_SystemError, "reference-count probe failed");
            throw PyErrorSet{};
        }
        Ref outer_ref = Ref::steal(outer);
        probes[static_cast<int>(RefKind::NestedFunction)] = check(PyObject_CallNoArgs(outer));
    }
    probes[static_cast<int>(RefKind::Module)] = check(PyModule_New("tarnwick_probe"));
    probes[static_cast<int>(RefKind::HeapType)] = check(PyType_FromSpec(&probe_type_spec));
    int surplus[static_cast<int>(RefKind::Count)];
    for (int k = 0; k < static_cast<int>(RefKind::Count); ++k) {
        const std::size_t n = getrefcount(getrefcount_fn, probes[k].get());
        // An immortal probe tells nothing: every object of its kind is
        // immortal in this interpreter now, and those pass before the surplus
        // matters, while another interpreter may have mortal ones.
        surplus[k] = n >= kImmortalCount ? -1 : n > 1 ? static_cast<int>(n - 1) : 0;
    }
    for (int k = 0; k < static_cast<int>(RefKind::Count); ++k) {
        if (surplus[k] >= 0) {
            g_ref_surplus[k].store(surplus[k] + 1, std::memory_order_relaxed);
        }
    }
}

std::size_t ref_surplus(PyObject* getrefcount_fn, PyObject* obj) {
    const int k = static_cast<int>(ref_kind_of(obj));
    int stored = g_ref_surplus[k].load(std::memory_order_relaxed);
    if (stored == 0) {
        measure_ref_surplus(getrefcount_fn);
        stored = g_ref_surplus[k].load(std::memory_order_relaxed);
    }
    // Still unmeasured only if this interpreter's probe of the kind was
    // immortal while `obj` is not, which no build does; count no surplus.
    return stored == 0 ? 0 : static_cast<std::size_t>(stored - 1);
}

// Whether `obj`, counted while the caller holds `own` references of its own
// to it, has nothing else keeping it alive.
bool only_ours(PyObject* getrefcount_fn, PyObject* obj, std::size_t own) {
    const std::size_t n = getrefcount(getrefcount_fn, obj);
    return n < kImmortalCount && n <= own + ref_surplus(getrefcount_fn, obj);
}

constexpr const char kWeakRefused[] =
    "Callback passed with weak=True has no other strong reference and would be garbage "
    "collected immediately.";

// Replaces `callback` (the call's owned reference) by a weak reference to it,
// after checking that something else keeps it alive.
Ref make_weak(SignalObject* self, Ref callback) {
    // Does the callable have an instance? Looked up twice: once to learn
    // whether it exists, once to hold it for the count.
    bool has_instance = false;
    {
        PyObject* probe = nullptr;
        has_instance = check_status(PyObject_GetOptionalAttrString(callback.get(), "__self__",
                                                                   &probe)) > 0;
        Ref::steal(probe);
    }
    {
        Ref sys = check(PyImport_ImportModule("sys"));
        Ref getrefcount_fn = check(PyObject_GetAttrString(sys.get(), "getrefcount"));
        bool refused;
        if (has_instance) {
            // Ours (the second lookup's result, handed to the call) and the
            // callable's own; anything more keeps the instance alive.
            Ref instance = check(PyObject_GetAttrString(callback.get(), "__self__"));
            refused = only_ours(getrefcount_fn.get(), instance.get(), 2);
        } else {
            // Ours for the entry, one more for the argument, and the caller's.
            Ref extra = Ref::new_ref(callback.get());
            refused = only_ours(getrefcount_fn.get(), extra.get(), 3);
        }
        if (refused) {
            PyErr_SetString(PyExc_TypeError, kWeakRefused);
            throw PyErrorSet{};
        }
    }
    Ref weakref = self->rec.weakref_module.get_or_fill(
        [] { return check(PyImport_ImportModule("weakref")); });
    Ref factory =
        check(PyObject_GetAttrString(weakref.get(), has_instance ? "WeakMethod" : "ref"));
    Ref made = check(PyObject_CallOneArg(factory.get(), callback.get()));
    return made;
}

// ---------------------------------------------------------------------------
// Connecting

// Connects `callback` (borrowed) and returns what make_result(id) built for
// the new id (the Python int, or the SignalConnection). Every check happens
// before the table changes; the result object is made before the lock is
// taken, for the id that the insertion will get, so that nothing can fail once
// an id has been drawn and a failed connect consumes no id. Ids are drawn only
// under the exclusive lock, so the prediction holds unless another connect
// got in first, and then we simply try again with the next one.
template <class MakeResult>
Ref connect_callback(SignalObject* self, PyObject* callback, bool weak, std::int32_t priority,
                     std::optional<std::uint64_t> limit, MakeResult&& make_result) {
    if (!PyCallable_Check(callback)) {
        PyErr_SetString(PyExc_TypeError, "Callback must be a function.");
        throw PyErrorSet{};
    }
    if (limit && *limit == 0) {
        PyErr_SetString(PyExc_TypeError, "times must be greater than zero.");
        throw PyErrorSet{};
    }
    Ref held = Ref::new_ref(callback);
    if (weak) {
        held = make_weak(self, std::move(held));
    }
    // Outlives the guard: if growing fails, its reference is dropped after the
    // lock is let go.
    CallbackEntry entry{std::move(held), limit.value_or(0), 0, priority,
                        weak ? EntryKind::Weak : EntryKind::Strong, limit.has_value()};
    auto& rec = self->rec;
    std::uint64_t expected = rec.next_id.load(std::memory_order_relaxed);
    for (;;) {
        Ref result = make_result(expected);
        {
            ExclusiveGuard guard(rec.listeners_lock);
            rec.listeners.reserve_one_more();
            if (rec.next_id.load(std::memory_order_relaxed) == expected) {
                entry.id = rec.next_id.fetch_add(1, std::memory_order_relaxed);
                rec.listeners.insert_sorted(std::move(entry));
                return result;
            }
            expected = rec.next_id.load(std::memory_order_relaxed);
        }
    }
}

Ref id_object(std::uint64_t id) { return check(PyLong_FromUnsignedLongLong(id)); }

constexpr const char* kConnectNames[] = {"callback", "weak", "priority"};
constexpr const char* kConnectFiniteNames[] = {"callback", "times", "weak", "priority"};

struct ConnectArgs {
    PyObject* callback;
    bool weak = false;
    std::int32_t priority = 0;
    std::optional<std::uint64_t> times;
};

// Binds and converts (times, then weak, then priority) before anything else.
bool bind_connect(const Signature& sig, bool with_times, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, ConnectArgs& out) {
    PyObject* bound[kMaxParams];
    if (!bind_arguments(sig, args, nargs, kwnames, bound)) {
        return false;
    }
    std::size_t i = 0;
    out.callback = bound[i++];
    if (with_times) {
        PyObject* times = bound[i++];
        out.times = convert_argument("times", [&] { return to_u64(times); });
    }
    if (PyObject* weak = bound[i++]) {
        out.weak = convert_argument("weak", [&] { return to_weak_flag(weak); });
    }
    if (PyObject* priority = bound[i++]) {
        out.priority = convert_argument("priority", [&] { return to_priority(priority); });
    }
    return true;
}

template <const Signature& Sig, bool WithTimes, bool Once>
PyObject* Signal_connect_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ConnectArgs a;
        if (!bind_connect(Sig, WithTimes, args, nargs, kwnames, a)) {
            return nullptr;
        }
        std::optional<std::uint64_t> limit = a.times;
        if (Once) {
            limit = 1;
        }
        return connect_callback(as_signal(self), a.callback, a.weak, a.priority, limit, id_object)
            .release();
    });
}

constexpr Signature kConnectSig{"Signal.connect", kConnectNames, 3, 1, true};
constexpr Signature kConnectOnceSig{"Signal.connect_once", kConnectNames, 3, 1, true};
constexpr Signature kConnectFiniteSig{"Signal.connect_finite", kConnectFiniteNames, 4, 2, true};
constexpr Signature kConnectedSig{"Signal.connected", kConnectNames, 3, 1, true};

PyObject* Signal_connected(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ConnectArgs a;
        if (!bind_connect(kConnectedSig, false, args, nargs, kwnames, a)) {
            return nullptr;
        }
        return connect_callback(as_signal(self), a.callback, a.weak, a.priority, std::nullopt,
                                [&](std::uint64_t id) { return check(new_connection(self, id)); })
            .release();
    });
}

// ---------------------------------------------------------------------------
// Disconnecting

constexpr const char* kDisconnectNames[] = {"id"};
constexpr Signature kDisconnectSig{"Signal.disconnect", kDisconnectNames, 1, 1, true};

PyObject* Signal_disconnect(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kDisconnectSig, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const std::uint64_t id = convert_argument("id", [&] { return to_u64(bound[0]); });
        return PyBool_FromLong(disconnect_by_id(as_signal(self), id));
    });
}

// ---------------------------------------------------------------------------
// Error hooks

// Shows a failing hook's exception (the current one, which this clears)
// through sys.excepthook, as the interpreter shows an unhandled exception.
// The interpreter's own printing would end the process when the exception,
// or anything sys.excepthook raises, is a SystemExit; nothing a hook or an
// excepthook does may do that, nor reach the emission. So we call the
// excepthook ourselves, and when it is missing or raises, its failure and
// then the hook's go to sys.unraisablehook instead.
void report_hook_failure(PyObject* hook) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref excepthook = Ref::new_ref(PySys_GetObject("excepthook"));
    if (excepthook) {
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        PyObject* argv[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                            tb ? tb.get() : Py_None};
        if (Ref::steal(PyObject_Vectorcall(excepthook.get(), argv, 3, nullptr))) {
            return;
        }
        PyErr_WriteUnraisable(excepthook.get());
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(hook);
}

// Tells every hook about a callback's failure. `error` stays the caller's.
// Hooks are called over a copy of the list, so a hook may register or clear
// hooks on this signal: one added now runs from the next failure, one cleared
// now still finishes this walk.
void notify_error_hooks(SignalObject* self, PyObject* error, PyObject* callback) noexcept {
    auto& rec = self->rec;
    SmallVector<Ref, 4> hooks;
    bool copied = true;
    {
        SharedGuard guard(rec.hooks_lock);
        if (rec.hooks.empty()) {
            return;
        }
        try {
            hooks.reserve(rec.hooks.size());
        } catch (const std::bad_alloc&) {
            copied = false;
        }
        if (copied) {
            for (const Ref& h : rec.hooks) {
                hooks.push_unchecked(Ref::new_ref(h.get()));
            }
        }
    }
    if (!copied) {
        PyErr_NoMemory();
        PyErr_WriteUnraisable(callback);
        return;
    }
    Ref exception = Ref::new_ref(error);
    for (Ref& hook : hooks) {
        PyObject* argv[] = {exception.get(), callback};
        Ref result = Ref::steal(PyObject_Vectorcall(hook.get(), argv, 2, nullptr));
        if (!result) {
            report_hook_failure(hook.get());
        }
    }
}

constexpr const char* kOnErrorNames[] = {"handler"};
constexpr Signature kOnErrorSig{"Signal.on_error", kOnErrorNames, 1, 1, true};

PyObject* Signal_on_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kOnErrorSig, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        if (!PyCallable_Check(bound[0])) {
            PyErr_SetString(PyExc_TypeError, "Error handler must be a function.");
            return nullptr;
        }
        auto& rec = as_signal(self)->rec;
        Ref hook = Ref::new_ref(bound[0]);  // outlives the guard on failure
        {
            ExclusiveGuard guard(rec.hooks_lock);
            rec.hooks.reserve_one_more();
            rec.hooks.push_unchecked(std::move(hook));
        }
        Py_RETURN_NONE;
    });
}

PyObject* Signal_clear_error_hooks(PyObject* self, PyObject*) {
    auto& rec = as_signal(self)->rec;
    SmallVector<Ref, 2> gone;
    {
        ExclusiveGuard guard(rec.hooks_lock);
        rec.hooks.take_all(gone);
    }
    gone.clear();  // first registered first, with no lock held
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Emission

enum class ErrorMode { FastFail, Collect };

// The on_error keyword taken out of an emission's keywords, and what is left
// to pass on to the callbacks (null when nothing is).
struct EmitOptions {
    ErrorMode mode = ErrorMode::FastFail;
    Ref kwargs;
};

EmitOptions parse_emit_options(PyObject* self, PyObject* kwargs) {
    EmitOptions opts;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return opts;
    }
    PyObject* on_error_name = state_of(self).on_error_name.get();
    PyObject* mode = nullptr;
    const int found = check_status(PyDict_GetItemRef(kwargs, on_error_name, &mode));
    Ref mode_ref = Ref::steal(mode);
    if (found == 0) {
        opts.kwargs = Ref::new_ref(kwargs);
        return opts;
    }
    if (!PyUnicode_Check(mode)) {
        PyErr_Format(PyExc_TypeError, "argument 'on_error': expected str, got %T", mode);
        throw PyErrorSet{};
    }
    if (PyUnicode_EqualToUTF8AndSize(mode, "fast_fail", 9)) {
        opts.mode = ErrorMode::FastFail;
    } else if (PyUnicode_EqualToUTF8AndSize(mode, "collect", 7)) {
        opts.mode = ErrorMode::Collect;
    } else {
        PyErr_SetString(PyExc_TypeError, "on_error must be 'fast_fail' or 'collect'.");
        throw PyErrorSet{};
    }
    if (PyDict_GET_SIZE(kwargs) > 1) {
        // Never change the caller's dictionary.
        opts.kwargs = check(PyDict_Copy(kwargs));
        check_status(PyDict_DelItem(opts.kwargs.get(), on_error_name));
    }
    return opts;
}

constexpr std::size_t kInlineCalls = 8;
using CallList = SmallVector<PendingCallback, kInlineCalls>;

// The emission steps before any callback runs, shared by emit and
// emit_async: snapshot under the shared lock (consuming counts), resolution
// of weak references with no lock held, then removal of spent and dead
// entries under the exclusive lock. Leaves in `calls` the objects to call, in
// table order.
void prepare_calls(SignalObject* self, CallList& calls) {
    auto& rec = self->rec;
    IdSet removal;
    SmallVector<Ref, kInlineCalls> removed;
    {
        SharedGuard guard(rec.listeners_lock);
        auto& table = rec.listeners;
        if (table.size() == 0) {
            return;
        }
        // Everything this emission can need is reserved before the first
        // count is consumed, so running out of memory changes nothing.
        calls.reserve(table.size());
        if (table.expiring() > 0) {
            removal.reserve(table.expiring());
            removed.reserve(table.expiring());
        }
        for (CallbackEntry& entry : table.entries()) {
            switch (consume_call(entry)) {
                case CallDecision::Skip:
                    removal.insert(entry.id);
                    continue;
                case CallDecision::LastCall:
                    removal.insert(entry.id);
                    break;
                case CallDecision::Call:
                    break;
            }
            calls.push_unchecked(Ref::new_ref(entry.callback.get()), entry.id,
                                 entry.kind == EntryKind::Weak);
        }
    }
    // Resolve weak references in place, dropping dead ones.
    std::size_t live = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        PendingCallback& p = calls[i];
        if (p.weak) {
            Ref target = check(PyObject_CallNoArgs(p.object.get()));
            if (target.get() == Py_None) {
                removal.insert(p.id);
                p.object.reset();
                continue;
            }
            p.object = std::move(target);
            p.weak = false;
        }
        if (live != i) {
            calls[live] = std::move(p);
        }
        ++live;
    }
    calls.truncate(live);
    if (!removal.empty()) {
        {
            ExclusiveGuard guard(rec.listeners_lock);
            rec.listeners.remove_if([&](std::uint64_t id) { return removal.contains(id); },
                                    [&](Ref&& r) { removed.push_unchecked(std::move(r)); });
        }
        removed.clear();  // finalizers may touch this signal: no lock held
    }
}

// The arguments of one emission laid out once for every callback: a
// vectorcall stack with a spare slot in front (so that bound methods can
// prepend self without copying) and the keyword names, next to the original
// tuple and dictionary for callables that only take those.
class CallArguments {
public:
    CallArguments(PyObject* args, PyObject* kwargs) : args_(args), kwargs_(kwargs) {
        nargs_ = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
        std::size_t nkw = 0;
        if (kwargs != nullptr) {
            // The dictionary is normally this call's own, but a C caller may
            // share it: read it inside its critical section, and throw only
            // after leaving that.
            bool ok = true;
            Py_BEGIN_CRITICAL_SECTION(kwargs);
            const Py_ssize_t size = PyDict_GET_SIZE(kwargs);
            kwnames_ = Ref::steal(PyTuple_New(size));
            // Owned, since a callback given the dictionary itself may change it.
            kwvalues_ = Ref::steal(PyTuple_New(size));
            ok = kwnames_ && kwvalues_;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            Py_ssize_t it = 0;
            for (Py_ssize_t k = 0; ok && k < size && PyDict_Next(kwargs, &it, &key, &value); ++k) {
                PyTuple_SET_ITEM(kwnames_.get(), k, Py_NewRef(key));
                PyTuple_SET_ITEM(kwvalues_.get(), k, Py_NewRef(value));
            }
            nkw = static_cast<std::size_t>(size);
            Py_END_CRITICAL_SECTION();
            if (!ok) {
                throw PyErrorSet{};
            }
        }
        stack_.reserve(1 + nargs_ + nkw);
        stack_.push_unchecked(nullptr);
        for (std::size_t i = 0; i < nargs_; ++i) {
            stack_.push_unchecked(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
        }
        for (std::size_t i = 0; i < nkw; ++i) {
            stack_.push_unchecked(PyTuple_GET_ITEM(kwvalues_.get(), static_cast<Py_ssize_t>(i)));
        }
    }

    // callback(*args, **kwargs): a new reference, or null with an exception set.
    PyObject* call(PyObject* callback) noexcept {
        if (PyVectorcall_Function(callback) != nullptr) {
            return PyObject_Vectorcall(callback, stack_.begin() + 1,
                                       nargs_ | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get());
        }
        return PyObject_Call(callback, args_, kwargs_);
    }

private:
    PyObject* args_;
    PyObject* kwargs_;
    std::size_t nargs_ = 0;
    Ref kwnames_;
    Ref kwvalues_;
    SmallVector<PyObject*, 8> stack_;
};

// Calls every prepared callback in order, with no lock held, and leaves each
// result in its call-list slot. `on_result(slot, Ref)` takes each returned
// value and may throw. A raising callback is reported to the hooks; in collect
// mode its exception becomes its result, in fast-fail mode the loop stops and
// the exception is handed back through `failure`. Returns how many slots hold
// results.
template <class OnResult>
std::size_t call_all(SignalObject* self, CallList& calls, CallArguments& arguments, ErrorMode mode,
                     Ref& failure, OnResult&& on_result) {
    for (std::size_t pos = 0; pos < calls.size(); ++pos) {
        PendingCallback& slot = calls[pos];
        Ref callback = std::move(slot.object);
        Ref value = Ref::steal(arguments.call(callback.get()));
        if (value) {
            on_result(slot, std::move(value));
            continue;
        }
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        notify_error_hooks(self, exc.get(), callback.get());
        if (mode == ErrorMode::FastFail) {
            failure = std::move(exc);
            return pos;
        }
        slot.object = std::move(exc);
    }
    return calls.size();
}

// A new list of the first `n` slots' results.
Ref results_list(CallList& calls, std::size_t n) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = calls[i].awaitable ? Py_NewRef(Py_None) : calls[i].object.release();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        EmitOptions opts = parse_emit_options(self, kwargs);
        // Everything that can fail is made before the snapshot uses up counts.
        CallArguments arguments(args, opts.kwargs.get());
        CallList calls;
        prepare_calls(as_signal(self), calls);
        Ref failure;
        const std::size_t called =
            call_all(as_signal(self), calls, arguments, opts.mode, failure,
                     [](PendingCallback& slot, Ref value) { slot.object = std::move(value); });
        if (failure) {
            calls.clear();  // results so far, and the callbacks never reached
            PyErr_SetRaisedException(failure.release());
            return nullptr;
        }
        return results_list(calls, called).release();
    });
}

// ---------------------------------------------------------------------------
// Asynchronous emission

// The internal script whose coroutine function awaits the awaitable results
// on the running loop and writes each value into its callback's slot.
constexpr const char kFinalizeScript[] =
    "import asyncio\n"
    "\n"
    "async def _tarnwick_finalize(results, positions, awaitables, fast_fail):\n"
    "    gathered = await asyncio.gather(*awaitables, return_exceptions=True)\n"
    "    for pos, value in zip(positions, gathered):\n"
    "        if fast_fail and isinstance(value, BaseException):\n"
    "            raise value\n"
    "        results[pos] = value\n"
    "    return results\n";

Ref get_asyncio(SignalObject* self) {
    return self->rec.asyncio_module.get_or_fill(
        [] { return check(PyImport_ImportModule("asyncio")); });
}

Ref get_finalize_fn(SignalObject* self) {
    return self->rec.finalize_fn.get_or_fill([] {
        Ref code = check(Py_CompileStringExFlags(kFinalizeScript, "tarnwick_internal.py",
                                                 Py_file_input, nullptr, -1));
        Ref module = check(PyImport_ExecCodeModuleEx("tarnwick_internal", code.get(),
                                                     "tarnwick_internal.py"));
        if (!PyModule_Check(module.get())) {
            PyErr_Format(PyExc_TypeError, "tarnwick_internal is not a module but %T",
                         module.get());
            throw PyErrorSet{};
        }
        return check(PyObject_GetAttrString(module.get(), "_tarnwick_finalize"));
    });
}

// Closes every awaitable result among the first `n` slots that has close(),
// so that coroutines which will never be awaited neither run nor warn.
// Futures and tasks have no close() and are only released. A close() that
// raises is ignored; a lookup of close that raises other than AttributeError
// stops the closing, and its exception replaces `pending`, the one about to
// be raised.
void close_awaitables(PyObject* close_name, CallList& calls, std::size_t n, Ref& pending) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!calls[i].awaitable) {
            continue;
        }
        PyObject* close = nullptr;
        const int found = PyObject_GetOptionalAttr(calls[i].object.get(), close_name, &close);
        Ref close_ref = Ref::steal(close);
        if (found < 0) {
            pending = Ref::steal(PyErr_GetRaisedException());
            return;
        }
        if (found == 0) {
            continue;
        }
        Ref result = Ref::steal(PyObject_CallNoArgs(close));
        if (!result) {
            PyErr_Clear();
        }
    }
}

[[noreturn]] void raise_pending(Ref pending) {
    PyErr_SetRaisedException(pending.release());
    throw PyErrorSet{};
}

PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SignalObject* sig = as_signal(self);
        EmitOptions opts = parse_emit_options(self, kwargs);
        const bool fast_fail = opts.mode == ErrorMode::FastFail;
        const InterpState& state = state_of(self);
        PyObject* await_name = state.await_name.get();
        CallArguments arguments(args, opts.kwargs.get());
        CallList calls;
        prepare_calls(sig, calls);
        std::size_t n_awaitable = 0;
        Ref failure;
        const std::size_t called =
            call_all(sig, calls, arguments, opts.mode, failure, [&](PendingCallback& slot, Ref value) {
                PyObject* await = nullptr;
                const int awaitable =
                    check_status(PyObject_GetOptionalAttr(value.get(), await_name, &await));
                Ref::steal(await);
                slot.object = std::move(value);
                slot.awaitable = awaitable != 0;
                n_awaitable += awaitable != 0 ? 1 : 0;
            });
        if (failure) {
            close_awaitables(state.close_name.get(), calls, called, failure);
            raise_pending(std::move(failure));
        }
        Ref asyncio = get_asyncio(sig);
        {
            Ref get_loop = check(PyObject_GetAttr(
                asyncio.get(), state.get_running_loop_name.get()));
            Ref loop = Ref::steal(PyObject_CallNoArgs(get_loop.get()));
            if (!loop) {
                Ref pending = Ref::steal(PyErr_GetRaisedException());
                close_awaitables(state.close_name.get(), calls, called, pending);
                raise_pending(std::move(pending));
            }
        }
        Ref finalize = get_finalize_fn(sig);
        Ref positions = check(PyList_New(static_cast<Py_ssize_t>(n_awaitable)));
        Ref awaitables = check(PyTuple_New(static_cast<Py_ssize_t>(n_awaitable)));
        for (std::size_t i = 0, k = 0; i < called; ++i) {
            if (!calls[i].awaitable) {
                continue;
            }
            PyList_SET_ITEM(positions.get(), static_cast<Py_ssize_t>(k),
                            check(PyLong_FromSize_t(i)).release());
            PyTuple_SET_ITEM(awaitables.get(), static_cast<Py_ssize_t>(k),
                             Py_NewRef(calls[i].object.get()));
            ++k;
        }
        Ref results = results_list(calls, called);
        PyObject* argv[] = {results.get(), positions.get(), awaitables.get(),
                            fast_fail ? Py_True : Py_False};
        return PyObject_Vectorcall(finalize.get(), argv, 4, nullptr);
    });
}

// ---------------------------------------------------------------------------
// Construction, repr, len, garbage collection

constexpr const char* kNewNames[] = {"name"};
constexpr Signature kNewSig{"Signal", kNewNames, 1, 0, false};

std::optional<std::string> to_name(PyObject* value) {
    if (value == nullptr || value == Py_None) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected str or None, got %T", value);
        throw PyErrorSet{};
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
        if (!bind_tuple_and_dict(kNewSig, args, kwargs, bound)) {
            return nullptr;
        }
        std::optional<std::string> name = convert_argument("name", [&] { return to_name(bound[0]); });
        // Nothing between the allocation and the record's construction can
        // run the collector, so it never sees a half-built signal.
        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) {
            return nullptr;
        }
        SignalRecord* rec = ::new (static_cast<void*>(&as_signal(obj)->rec)) SignalRecord();
        rec->name = std::move(name);
        return obj;
    });
}

// Appends the UTF-8 of one code point.
void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the next code point of valid UTF-8 (the name came from a str).
char32_t next_code_point(const std::string& s, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        const char32_t cp = (char32_t(b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return cp;
    }
    if (b0 < 0xF0) {
        const char32_t cp =
            (char32_t(b0 & 0x0F) << 12) | (char32_t(byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return cp;
    }
    const char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(byte(i + 1) & 0x3F) << 12) |
                        (char32_t(byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
    i += 4;
    return cp;
}

void append_quoted(std::string& out, const std::string& name) {
    out += '"';
    for (std::size_t i = 0; i < name.size();) {
        const char32_t cp = next_code_point(name, i);
        switch (cp) {
            case U'\\': out += "\\\\"; continue;
            case U'"': out += "\\\""; continue;
            case U'\0': out += "\\0"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U' ': out += ' '; continue;
            default: break;
        }
        if (unicode::needs_escape(cp)) {
            char buf[16];
            const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out.append(buf, static_cast<std::size_t>(n));
        } else {
            append_utf8(out, cp);
        }
    }
    out += '"';
}

std::size_t listener_count(SignalObject* self) noexcept {
    SharedGuard guard(self->rec.listeners_lock);
    return self->rec.listeners.size();
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

// Never waits: the collector calls this with the world stopped (or with the
// GIL held), and since nothing that can reach a safe point runs under our
// locks, no thread can be inside one now. The try-lock only documents that;
// the same references are visited whether or not it succeeds.
int Signal_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto& rec = as_signal(self)->rec;
    {
        ReadHold hold;
        const bool locked = rec.listeners_lock.try_lock_shared(hold);
        int rc = 0;
        for (const CallbackEntry& e : rec.listeners.entries()) {
            if ((rc = visit(e.callback.get(), arg)) != 0) {
                break;
            }
        }
        if (locked) {
            rec.listeners_lock.unlock_shared(hold);
        }
        if (rc != 0) {
            return rc;
        }
    }
    {
        ReadHold hold;
        const bool locked = rec.hooks_lock.try_lock_shared(hold);
        int rc = 0;
        for (const Ref& h : rec.hooks) {
            if ((rc = visit(h.get(), arg)) != 0) {
                break;
            }
        }
        if (locked) {
            rec.hooks_lock.unlock_shared(hold);
        }
        if (rc != 0) {
            return rc;
        }
    }
    Py_VISIT(rec.finalize_fn.peek());
    return 0;
}

// Empties the table and the hooks; the name, the id counter and the caches
// stay, so a cleared signal still works and continues its id sequence.
int Signal_clear(PyObject* self) {
    auto& rec = as_signal(self)->rec;
    {
        ListenerTable::Entries gone;
        {
            ExclusiveGuard guard(rec.listeners_lock);
            rec.listeners.take_all(gone);
        }
        gone.clear_reverse();
    }
    {
        SmallVector<Ref, 2> gone;
        {
            ExclusiveGuard guard(rec.hooks_lock);
            rec.hooks.take_all(gone);
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
    rec.listeners.entries().clear();
    rec.hooks.clear();
    rec.weakref_module.reset();
    rec.asyncio_module.reset();
    rec.finalize_fn.reset();
    rec.~SignalRecord();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// The type

PyMethodDef signal_methods[] = {
    {"on_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Signal_on_error)),
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
    {"connect",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         Signal_connect_method<kConnectSig, false, false>)),
     METH_FASTCALL | METH_KEYWORDS, "connect($self, callback, weak=False, priority=0)\n--\n\n"},
    {"connect_once",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         Signal_connect_method<kConnectOnceSig, false, true>)),
     METH_FASTCALL | METH_KEYWORDS,
     "connect_once($self, callback, weak=False, priority=0)\n--\n\n"},
    {"connect_finite",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         Signal_connect_method<kConnectFiniteSig, true, false>)),
     METH_FASTCALL | METH_KEYWORDS,
     "connect_finite($self, callback, times, weak=False, priority=0)\n--\n\n"},
    {"disconnect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Signal_disconnect)),
     METH_FASTCALL | METH_KEYWORDS, "disconnect($self, id)\n--\n\n"},
    {"connected", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Signal_connected)),
     METH_FASTCALL | METH_KEYWORDS, "connected($self, callback, weak=False, priority=0)\n--\n\n"},
    {"emit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Signal_emit)),
     METH_VARARGS | METH_KEYWORDS, "emit($self, *args, on_error=\"fast_fail\", **kwargs)\n--\n\n"},
    {"emit_async", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Signal_emit_async)),
     METH_VARARGS | METH_KEYWORDS,
     "emit_async($self, *args, on_error=\"fast_fail\", **kwargs)\n--\n\n"},
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

PyType_Spec signal_spec = {
    "builtins.Signal",
    sizeof(SignalObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    signal_slots,
};

}  // namespace

Ref new_signal_type(PyObject* module) {
    return check(PyType_FromModuleAndSpec(module, &signal_spec, nullptr));
}

bool disconnect_by_id(SignalObject* self, std::uint64_t id) noexcept {
    Ref gone;
    {
        ExclusiveGuard guard(self->rec.listeners_lock);
        gone = self->rec.listeners.take_by_id(id);
    }
    return static_cast<bool>(gone);  // dropped here, with no lock held
}

}  // namespace tarnwick
