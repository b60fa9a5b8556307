// Emission: one pass over a signal's callbacks.
//
// Every emission runs the same steps, in order, each in a member of
// Emission: snapshot (under the shared lock), resolve (weak references, no
// lock), remove spent (under the exclusive lock), call (no lock), results.
// emit is exactly those steps; emit_async adds its own after the calls:
// closing the awaitables when it fails, checking for a running loop, and
// handing the awaitables to the finalizer coroutine.

#include "emission.hpp"

#include "adapter.hpp"
#include "error_hooks.hpp"
#include "interp_state.hpp"
#include "observers.hpp"
#include "pausing.hpp"
#include "signal_record.hpp"
#include "small_vector.hpp"
#include "snapshot.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnwick {

namespace {

// ---------------------------------------------------------------------------
// What one emission holds

enum class ErrorMode { FastFail, Collect };

// emit_async marks awaitable results; emit does not look.
enum class Awaiting { No, Yes };

// Where a limited entry's call stands in one emission.
enum class Count : std::uint8_t {
    None,     // an unlimited entry
    Pending,  // not used up yet
    Used,     // used up by this emission
    Lost,     // another emission took the last call first: not called
};

// One call of an emission: the entry taken, then what the call gave.
struct CallSlot {
    CallSlot(Taken&& t, CallbackEntry& e, std::uint64_t) noexcept
        : taken(std::move(t)), entry(&e), count(e.limited ? Count::Pending : Count::None) {}

    // The target is moved out for the call.
    Taken taken;
    // What the call returned, or, in collect mode, what it raised.
    Ref result;
    // The table's entry, valid only under the lock the snapshot was taken
    // with.
    CallbackEntry* entry;
    Count count;
    // The result is awaitable; its place in the list waits for the await.
    bool awaitable = false;
};

constexpr std::size_t kInlineCalls = 8;
using CallSnapshot = Snapshot<CallSlot, kInlineCalls>;

// The arguments of one emission laid out once for every callback: a
// vectorcall stack with a spare slot in front (so that bound methods can
// prepend self without copying) and the keyword names, next to the original
// tuple and dictionary for callables that only take those. An emission from
// C may bring its positional arguments as an array: their tuple is then made
// only for whoever asks for it.
class CallArguments {
public:
    CallArguments(PyObject* args, PyObject* kwargs)
        : args_(args), kwargs_(kwargs), nargs_(static_cast<std::size_t>(PyTuple_GET_SIZE(args))) {
        const std::size_t nkw = kwargs != nullptr ? copy_keywords(kwargs) : 0;
        stack_.reserve(1 + nargs_ + nkw);
        stack_.push_unchecked(nullptr);
        for (std::size_t i = 0; i < nargs_; ++i) {
            stack_.push_unchecked(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
        }
        for (std::size_t i = 0; i < nkw; ++i) {
            stack_.push_unchecked(PyTuple_GET_ITEM(kwvalues_.get(), static_cast<Py_ssize_t>(i)));
        }
    }

    CallArguments(PyObject* const* argv, std::size_t nargs)
        : args_(nullptr), kwargs_(nullptr), nargs_(nargs) {
        stack_.reserve(1 + nargs_);
        stack_.push_unchecked(nullptr);
        for (std::size_t i = 0; i < nargs_; ++i) {
            stack_.push_unchecked(argv[i]);
        }
    }

    // callback(*args, **kwargs): a new reference, or null with an exception set.
    PyObject* call(PyObject* callback) noexcept {
        TARNWICK_ASSERT_UNLOCKED();
        if (PyVectorcall_Function(callback) != nullptr) {
            return PyObject_Vectorcall(callback, stack_.begin() + 1,
                                       nargs_ | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get());
        }
        PyObject* args = tuple();
        return args != nullptr ? PyObject_Call(callback, args, kwargs_) : nullptr;
    }

    // The positional arguments as a tuple (borrowed).
    PyObject* args() {
        PyObject* args = tuple();
        if (args == nullptr) {
            throw PyErrorSet{};
        }
        return args;
    }
    // The first positional argument, which a connection's sender must be;
    // null when there is none.
    PyObject* first() const noexcept { return nargs_ != 0 ? stack_[1] : nullptr; }

private:
    // The caller's tuple, or one made now from the stack; null when that
    // fails, with the exception set.
    PyObject* tuple() noexcept {
        if (args_ == nullptr) {
            own_args_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs_)));
            if (!own_args_) {
                return nullptr;
            }
            for (std::size_t i = 0; i < nargs_; ++i) {
                PyTuple_SET_ITEM(own_args_.get(), static_cast<Py_ssize_t>(i),
                                 Py_NewRef(stack_[1 + i]));
            }
            args_ = own_args_.get();
        }
        return args_;
    }

    // Fills the keyword names and values; returns how many there are. The
    // dictionary is normally this call's own, but a C caller may share it:
    // read it inside its critical section, and throw only after leaving that.
    std::size_t copy_keywords(PyObject* kwargs) {
        bool ok = true;
        std::size_t nkw = 0;
        // The vectorcall protocol wants str names, and a C callee may read a
        // name as one without looking: every key's type must say it is one.
        unsigned long flags = Py_TPFLAGS_UNICODE_SUBCLASS;
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
            flags &= Py_TYPE(key)->tp_flags;
            PyTuple_SET_ITEM(kwnames_.get(), k, Py_NewRef(key));
            PyTuple_SET_ITEM(kwvalues_.get(), k, Py_NewRef(value));
        }
        nkw = static_cast<std::size_t>(size);
        Py_END_CRITICAL_SECTION();
        if (!ok) {
            throw PyErrorSet{};
        }
        if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
            throw_type_error("keywords must be strings");
        }
        return nkw;
    }

    PyObject* args_;
    Ref own_args_;
    PyObject* kwargs_;
    std::size_t nargs_;
    Ref kwnames_;
    Ref kwvalues_;
    SmallVector<PyObject*, 8> stack_;
};

// ---------------------------------------------------------------------------
// The emission

class Emission {
public:
    // Reads on_error and lays the arguments out, refusing keyword names that
    // are not str, before the snapshot uses up counts.
    Emission(SignalObject* signal, PyObject* args, PyObject* kwargs, Awaiting awaiting)
        : signal_(signal),
          awaiting_(awaiting),
          kwargs_(take_error_mode(kwargs)),
          await_name_(awaiting == Awaiting::Yes ? state().await_name.get() : nullptr),
          arguments_(args, kwargs_.get()) {}
    // An emit from C with positional arguments only.
    Emission(SignalObject* signal, PyObject* const* argv, std::size_t nargs)
        : signal_(signal), awaiting_(Awaiting::No), await_name_(nullptr), arguments_(argv, nargs) {}

    // The steps of every emission, in order; run() takes the first four.
    // They are defined inline so that the compiler makes one function of
    // them, as fast as if they were written in one piece.
    void run();
    template <class Watch>
    void snapshot();
    void resolve();
    void remove_spent();
    template <class Watch>
    void call(Watch& watch);
    Ref results();

    // emit_async's own steps.
    void require_running_loop();
    Ref finalizer_coroutine();

    // A recorded emission emitted again when the pause ends: past the pause,
    // with the mode it was recorded with; emit_async's awaitables go to the
    // running loop as a task, or are closed with a warning where none runs.
    void replay(bool collect) noexcept;
    template <class Watch>
    void hand_over_awaitables(Watch& watch);
    void hand_over_awaitables();

private:
    // The interpreter's names; only emissions with keywords and emit_async
    // look them up.
    const InterpState& state() const {
        return state_of(as_object(signal_));
    }
    CallSnapshot::Slots& calls() noexcept { return snapshot_.slots(); }
    bool recorded();
    Ref take_error_mode(PyObject* kwargs);
    void set_error_mode(PyObject* mode);
    template <class Consume>
    void use_counts(Consume&& consume) noexcept;
    void drop_lost() noexcept;
    [[noreturn]] void raise_failure();
    void close_awaitables();
    void run_observed();

    SignalObject* signal_;
    ErrorMode mode_ = ErrorMode::FastFail;
    Awaiting awaiting_;
    // The keywords for the callbacks: the caller's, or a copy without
    // on_error, or null when there are none.
    Ref kwargs_;
    PyObject* await_name_;
    CallArguments arguments_;
    // The calls to make, in table order; after call(), the first `called_`
    // hold their results.
    CallSnapshot snapshot_;
    // Limited entries in the snapshot whose calls are not used up yet, and
    // calls lost to another emission.
    std::size_t pending_ = 0;
    std::size_t lost_ = 0;
    std::size_t called_ = 0;
    std::size_t awaitable_count_ = 0;
    // What the emission raises: the first callback error in fast-fail mode,
    // or (emit_async) the failure to find a running loop.
    Ref failure_;
    // A paused() exit's replay, which no pause records again.
    bool replaying_ = false;
    // Its awaitables went to a task, or were closed.
    bool handed_over_ = false;
};

// Sets the error mode from on_error and returns what is left of the keywords.
// One look at every key finds on_error by the interned name's pointer or, for
// a key built at run time, by its text, as the interpreter binds a keyword:
// a str subclass may spell on_error and still hash apart from it. The same
// look refuses keys that are not str, before anything reads their text.
Ref Emission::take_error_mode(PyObject* kwargs) {
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return Ref();
    }
    PyObject* on_error = state().on_error_name.get();
    unsigned long flags = Py_TPFLAGS_UNICODE_SUBCLASS;
    Ref found_key;
    Ref mode;
    bool twice = false;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t it = 0;
    while (PyDict_Next(kwargs, &it, &key, &value)) {
        flags &= Py_TYPE(key)->tp_flags;
        if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
            break;
        }
        if (key == on_error || (PyUnicode_GET_LENGTH(key) == 8 &&
                                PyUnicode_EqualToUTF8AndSize(key, "on_error", 8))) {
            if (found_key) {
                twice = true;  // reported once every key is known to be a str
            } else {
                found_key = Ref::new_ref(key);
                mode = Ref::new_ref(value);
            }
        }
    }
    Py_END_CRITICAL_SECTION();
    if ((flags & Py_TPFLAGS_UNICODE_SUBCLASS) == 0) {
        throw_type_error("keywords must be strings");
    }
    if (twice) {
        throw_format(PyExc_TypeError, "%s() got multiple values for argument 'on_error'",
                     awaiting_ == Awaiting::Yes ? "Signal.emit_async" : "Signal.emit");
    }
    if (!mode) {
        return Ref::new_ref(kwargs);
    }
    set_error_mode(mode.get());
    if (PyDict_GET_SIZE(kwargs) == 1) {
        return Ref();
    }
    // Never change the caller's dictionary.
    Ref rest = check(PyDict_Copy(kwargs));
    check_status(PyDict_DelItem(rest.get(), found_key.get()));
    return rest;
}

void Emission::set_error_mode(PyObject* mode) {
    if (!PyUnicode_Check(mode)) {
        throw_format(PyExc_TypeError, "argument 'on_error': expected str, got %T", mode);
    }
    if (PyUnicode_EqualToUTF8AndSize(mode, "fast_fail", 9)) {
        mode_ = ErrorMode::FastFail;
    } else if (PyUnicode_EqualToUTF8AndSize(mode, "collect", 7)) {
        mode_ = ErrorMode::Collect;
    } else {
        throw_type_error("on_error must be 'fast_fail' or 'collect'.");
    }
}

// Everything before the results: raises if a callback raised in fast-fail
// mode, after the calls. Inside blocked() there is nothing to do: the
// arguments and the mode have been checked, and the results stay empty;
// inside paused() the same, once the emission is recorded.
inline void Emission::run() {
    if (const std::uint64_t gate = signal_->rec.blocks.load(std::memory_order_acquire);
        gate != 0 && ((gate & ~SignalRecord::kPaused) != 0 || recorded())) {
        return;
    }
    if (emission_observed(signal_)) [[unlikely]] {
        run_observed();
        return;
    }
    snapshot<Unwatched>();
    resolve();
    remove_spent();
    Unwatched unwatched;
    call(unwatched);
    if (failure_) {
        raise_failure();
    }
}

// run() for an emission that recorders or traces of tarnwick.testing may
// watch (observers.hpp): the same steps, with the recorders told of the
// emission before them and once the calls are over, however they end, and
// the traces told of every call. Nothing here changes what the emission does.
// Never inlined into run(), whose steps the compiler must keep in one piece.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#elif defined(_MSC_VER)
__declspec(noinline)
#endif
void Emission::run_observed() {
    EmissionWatch watch(signal_, arguments_.args(), kwargs_.get());
    try {
        snapshot<EmissionWatch>();
        resolve();
        remove_spent();
        call(watch);
        if (replaying_ && !failure_) {
            // Before the recorders hear of the end, so that they learn of
            // the task.
            hand_over_awaitables(watch);
        }
    } catch (...) {
        watch.finish();
        throw;
    }
    watch.finish();
    if (failure_) {
        raise_failure();
    }
}

// For an emission that found the signal paused and not blocked: whether it
// is recorded instead of run. One that finds the last pause ended by the
// time it records runs now, and a replay is never recorded again. emit_async
// records only where it could run, on a thread with a running loop.
bool Emission::recorded() {
    if (replaying_) {
        return false;
    }
    if (awaiting_ == Awaiting::Yes) {
        require_running_loop();
    }
    return record_emission(signal_, arguments_.args(), kwargs_.get(),
                           mode_ == ErrorMode::Collect, awaiting_ == Awaiting::Yes);
}

// Under the shared lock: a new reference to every entry's callback, in table
// order. A limited entry's call is used up by compare-and-swap, and one whose
// last call this emission takes goes to the removal set; one found with
// nothing left belongs to the emission that took its last call, which removes
// it. Everything the emission can need is reserved before the first count is
// used up, so running out of memory changes nothing.
//
// Nothing may fail between using up a count and calling: so when the
// snapshot holds a weak entry, whose resolution runs Python code and can
// raise, the counts are used up only after resolve(), under the shared lock
// again. An emission without weak entries, the usual kind, uses them up
// before letting go of the lock it took the snapshot under.
//
// A connection made with a sender is passed over, as if it were not
// connected, by emissions from any other.
//
// A copy per Watch, so that each has one caller and the compiler folds the
// unwatched one into run(), as it did before there were observers.
template <class Watch>
inline void Emission::snapshot() {
    snapshot_.take(
        signal_->rec.listeners, MayRemove::Expiring,
        [&](const SharedGuard& guard, ListenerTable& table, CallbackEntry& entry,
            std::uint64_t&) {
            if (entry.filtered && !adapter_accepts(entry.callback.get(), arguments_.first())) {
                return Pick::Skip;
            }
            if (entry.limited) {
                if (table.remaining(guard, entry) == 0) {
                    return Pick::Skip;
                }
                ++pending_;
            }
            return Pick::Take;
        },
        [](const SharedGuard&) {},
        [&](const SharedGuard& guard) {
            if (pending_ != 0 && !snapshot_.holds_weak()) {
                ListenerTable& table = signal_->rec.listeners;
                use_counts([&](CallSlot& slot) { return table.consume_call(guard, *slot.entry); });
            }
        });
    drop_lost();
}

// With no lock held: puts each weak target's referent in its place, and
// drops the calls whose referent has died, their entries to be removed. A
// weak reference that raises ends the emission before any count is used.
// Then, under the shared lock, the counts the snapshot left are used up; an
// entry that went meanwhile is not called.
inline void Emission::resolve() {
    snapshot_.resolve(DeadWeak::Remove);
    if (pending_ == 0) {
        return;
    }
    ListenerTable& table = signal_->rec.listeners;
    {
        SharedGuard guard(table.lock());
        use_counts([&](CallSlot& slot) { return table.consume_call(guard, slot.taken.id); });
    }
    drop_lost();
}

// Uses up the pending call of each limited slot with consume(slot).
template <class Consume>
void Emission::use_counts(Consume&& consume) noexcept {
    for (CallSlot& slot : calls()) {
        if (slot.count != Count::Pending) {
            continue;
        }
        switch (consume(slot)) {
            case CallDecision::LastCall:
                snapshot_.mark(slot.taken.id);
                slot.count = Count::Used;
                break;
            case CallDecision::Call:
                slot.count = Count::Used;
                break;
            case CallDecision::Skip:
                slot.count = Count::Lost;
                ++lost_;
                break;
        }
    }
    pending_ = 0;
}

// With no lock held: drops the calls lost to other emissions.
inline void Emission::drop_lost() noexcept {
    if (lost_ != 0) {
        snapshot_.drop_if([](const CallSlot& slot) { return slot.count == Count::Lost; });
        lost_ = 0;
    }
}

// Under the exclusive lock: removes the spent and dead entries.
inline void Emission::remove_spent() { snapshot_.remove(signal_->rec.listeners); }

// Calls every target in order, with no lock held, and leaves each result in
// its slot. A raising callback is reported to the hooks; in collect mode its
// exception is its result, in fast-fail mode the calls stop and it becomes
// the emission's failure. `watch` hears of each call as it returns.
template <class Watch>
inline void Emission::call(Watch& watch) {
    for (std::size_t pos = 0; pos < calls().size(); ++pos) {
        CallSlot& slot = calls()[pos];
        Ref callback = std::move(slot.taken.target);
        const PyTime_t start = watch.start();
        Ref value = Ref::steal(arguments_.call(callback.get()));
        if (!value) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            watch.returned(start, callback.get(), nullptr, exc.get());
            notify_error_hooks(signal_, exc.get(), callback.get());
            if (mode_ == ErrorMode::FastFail) {
                failure_ = std::move(exc);
                called_ = pos;
                return;
            }
            value = std::move(exc);
        } else {
            watch.returned(start, callback.get(), value.get(), nullptr);
            if (awaiting_ == Awaiting::Yes) {
                slot.awaitable = static_cast<bool>(optional_attr(value.get(), await_name_));
                awaitable_count_ += slot.awaitable ? 1 : 0;
            }
        }
        slot.result = std::move(value);
    }
    called_ = calls().size();
}

// emit drops what the calls made before raising; emit_async first closes the
// awaitables among them, so that coroutines which will never be awaited
// neither run nor warn.
void Emission::raise_failure() {
    if (awaiting_ == Awaiting::Yes) {
        close_awaitables();
    } else {
        calls().clear();  // results so far, and the callbacks never reached
    }
    throw_raised(std::move(failure_));
}

// A new list of the results, in call order. An awaitable result's place
// holds None; emit_async's finalizer fills it in.
inline Ref Emission::results() {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(called_)));
    for (std::size_t i = 0; i < called_; ++i) {
        PyObject* item = calls()[i].awaitable ? Py_NewRef(Py_None) : calls()[i].result.release();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// ---------------------------------------------------------------------------
// emit_async's own steps

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
            throw_format(PyExc_TypeError, "tarnwick_internal is not a module but %T",
                         module.get());
        }
        return check(PyObject_GetAttrString(module.get(), "_tarnwick_finalize"));
    });
}

// Closes every awaitable result that has close(). Futures and tasks have no
// close() and are only released. A close() that raises is ignored; a lookup
// of close that raises other than AttributeError stops the closing, and its
// exception replaces the failure about to be raised.
void Emission::close_awaitables() {
    PyObject* close_name = state().close_name.get();
    for (std::size_t i = 0; i < called_; ++i) {
        if (!calls()[i].awaitable) {
            continue;
        }
        Ref close;
        try {
            close = optional_attr(calls()[i].result.get(), close_name);
        } catch (const PyErrorSet&) {
            failure_ = Ref::steal(PyErr_GetRaisedException());
            return;
        }
        if (close) {
            Ref result = Ref::steal(PyObject_CallNoArgs(close.get()));
            if (!result) {
                PyErr_Clear();
            }
        }
    }
}

// The awaitables need a running loop; without one, asyncio's error is the
// emission's failure.
void Emission::require_running_loop() {
    Ref asyncio = get_asyncio(signal_);
    Ref get_loop = check(PyObject_GetAttr(
        asyncio.get(), state().get_running_loop_name.get()));
    Ref loop = Ref::steal(PyObject_CallNoArgs(get_loop.get()));
    if (!loop) {
        failure_ = Ref::steal(PyErr_GetRaisedException());
        raise_failure();
    }
}

// The coroutine emit_async returns: the finalizer, given the results, the
// positions of the awaitable ones and the awaitables themselves.
Ref Emission::finalizer_coroutine() {
    Ref finalize = get_finalize_fn(signal_);
    const auto n = static_cast<Py_ssize_t>(awaitable_count_);
    Ref positions = check(PyList_New(n));
    Ref awaitables = check(PyTuple_New(n));
    for (std::size_t i = 0, k = 0; i < called_; ++i) {
        if (!calls()[i].awaitable) {
            continue;
        }
        PyList_SET_ITEM(positions.get(), static_cast<Py_ssize_t>(k),
                        check(PyLong_FromSize_t(i)).release());
        PyTuple_SET_ITEM(awaitables.get(), static_cast<Py_ssize_t>(k),
                         Py_NewRef(calls()[i].result.get()));
        ++k;
    }
    Ref list = results();
    PyObject* argv[] = {list.get(), positions.get(), awaitables.get(),
                        mode_ == ErrorMode::FastFail ? Py_True : Py_False};
    return check(PyObject_Vectorcall(finalize.get(), argv, 4, nullptr));
}

// ---------------------------------------------------------------------------
// Replaying a paused emission

void Emission::replay(bool collect) noexcept {
    replaying_ = true;
    mode_ = collect ? ErrorMode::Collect : ErrorMode::FastFail;
}

// The replay's awaitables run as a task on this thread's running loop, of
// which `watch` hears; with no loop running here, they are closed and a
// RuntimeWarning names the signal. A fast-fail failure among them is the
// task's. Done once: an observed replay does it before its recorders hear
// of its end.
template <class Watch>
void Emission::hand_over_awaitables(Watch& watch) {
    if (awaitable_count_ == 0 || handed_over_) {
        return;
    }
    handed_over_ = true;
    Ref asyncio = get_asyncio(signal_);
    Ref get_loop = check(PyObject_GetAttrString(asyncio.get(), "_get_running_loop"));
    Ref loop = check(PyObject_CallNoArgs(get_loop.get()));
    if (loop.get() != Py_None) {
        Ref coroutine = finalizer_coroutine();
        Ref create_task = check(PyObject_GetAttrString(loop.get(), "create_task"));
        Ref task = check(PyObject_CallOneArg(create_task.get(), coroutine.get()));
        watch.started(loop.get(), task.get());
        return;
    }
    close_awaitables();
    if (failure_) {
        throw_raised(std::move(failure_));
    }
    Ref name = check(PyObject_Repr(as_object(signal_)));
    check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                  "%U: emit_async() replayed by paused() with no running event "
                                  "loop on this thread; %zu awaitable result(s) closed",
                                  name.get(), awaitable_count_));
}

void Emission::hand_over_awaitables() {
    Unwatched unwatched;
    hand_over_awaitables(unwatched);
}

}  // namespace

void replay_emission(SignalObject* signal, PyObject* args, PyObject* kwargs, bool collect,
                     bool awaiting) {
    Emission emission(signal, args, kwargs, awaiting ? Awaiting::Yes : Awaiting::No);
    emission.replay(collect);
    emission.run();
    if (awaiting) {
        emission.hand_over_awaitables();
    }
}

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Emission emission(as_signal(self), args, kwargs, Awaiting::No);
        emission.run();
        return emission.results().release();
    });
}

void emit_positional(SignalObject* signal, PyObject* const* argv, std::size_t nargs) {
    Emission emission(signal, argv, nargs);
    emission.run();
}

PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Emission emission(as_signal(self), args, kwargs, Awaiting::Yes);
        emission.run();
        emission.require_running_loop();
        return emission.finalizer_coroutine().release();
    });
}

}  // namespace tarnwick
