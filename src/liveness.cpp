// Weak-connection liveness.
//
// A weak connection is refused when nothing but the call itself keeps the
// callback (or its instance) alive.
//
// Up to 3.13 the callable is judged by counting references with
// sys.getrefcount: the caller's evaluation stack always owns one, so a count
// no higher than ours plus that one means nobody else holds it. From 3.14 the
// interpreter often lends the caller's reference instead (a local variable is
// pushed without a new reference), so a function held in one local shows the
// same count as a lambda written in the call, and the count alone can no
// longer tell them apart. There the interpreter answers the real question
// itself: PyUnstable_Object_IsUniqueReferencedTemporary says whether the
// callable is a temporary that only the caller's stack owns, which a lent
// local never is. It must be asked before the call takes a reference of its
// own, so caller_hold() reads it on entry.
//
// A bound method is judged by its instance, on every version: the instance is
// held by the bound method itself and by whatever else the caller keeps, never
// by a lent stack slot of the call.
//
// The count is not the same on every build: the free-threaded interpreter
// gives top-level functions, modules and heap types deferred reference
// counting and reports one reference more for them (and, once a second thread
// has started, makes such objects immortal). So the surplus is measured once
// per process on fresh probes of each kind, each held by exactly one
// reference, and subtracted; an immortal object can never be collected, so it
// always passes.

#include "liveness.hpp"

#include "interp_state.hpp"
#include "snapshot.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnwick {

namespace {

enum class RefKind { Plain = 0, TopLevelFunction, NestedFunction, Module, HeapType, Count };

constexpr int kKinds = static_cast<int>(RefKind::Count);

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
std::atomic<int> g_ref_surplus[kKinds];

// Fresh objects of every kind, each held by exactly one reference.
void make_probes(Ref (&probes)[kKinds]) {
    probes[static_cast<int>(RefKind::Plain)] =
        check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref globals = check(PyDict_New());
    {
        Ref code = check(Py_CompileString("None", "<tarnwick probe>", Py_eval_input));
        probes[static_cast<int>(RefKind::TopLevelFunction)] =
            check(PyFunction_New(code.get(), globals.get()));
        Ref run = check(PyRun_String(kProbeScript, Py_file_input, globals.get(), globals.get()));
        Ref outer = dict_item(globals.get(), "outer");
        if (!outer) {
            throw_error(PyExc_SystemError, "reference-count probe failed");
        }
        probes[static_cast<int>(RefKind::NestedFunction)] = check(PyObject_CallNoArgs(outer.get()));
    }
    probes[static_cast<int>(RefKind::Module)] = check(PyModule_New("tarnwick_probe"));
    probes[static_cast<int>(RefKind::HeapType)] = check(PyType_FromSpec(&probe_type_spec));
}

void measure_ref_surplus(PyObject* getrefcount_fn) {
    Ref probes[kKinds];
    make_probes(probes);
    int surplus[kKinds];
    for (int k = 0; k < kKinds; ++k) {
        const std::size_t n = getrefcount(getrefcount_fn, probes[k].get());
        // An immortal probe tells nothing: every object of its kind is
        // immortal in this interpreter now, and those pass before the surplus
        // matters, while another interpreter may have mortal ones.
        surplus[k] = n >= kImmortalCount ? -1 : n > 1 ? static_cast<int>(n - 1) : 0;
    }
    for (int k = 0; k < kKinds; ++k) {
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

// Raises unless something besides the call keeps `callback` (or, when it has
// one, its instance) alive.
void require_other_owner(PyObject* callback, bool has_instance, CallerHold hold) {
#if PY_VERSION_HEX >= 0x030E0000
    if (!has_instance) {
        if (hold.temporary && !hold.handed_back) {
            throw_type_error(kWeakRefused);
        }
        return;
    }
#endif
    Ref sys = check(PyImport_ImportModule("sys"));
    Ref getrefcount_fn = check(PyObject_GetAttrString(sys.get(), "getrefcount"));
    bool refused;
    if (has_instance) {
        // Ours (the second lookup's result, handed to the call) and the
        // callable's own; anything more keeps the instance alive.
        Ref instance = check(PyObject_GetAttrString(callback, "__self__"));
        refused = only_ours(getrefcount_fn.get(), instance.get(), 2);
    } else {
        // Ours for the entry, one more for the argument, and the caller's,
        // unless the caller keeps it.
        Ref extra = Ref::new_ref(callback);
        refused = only_ours(getrefcount_fn.get(), extra.get(), hold.handed_back ? 2 : 3);
    }
    if (refused) {
        throw_type_error(kWeakRefused);
    }
}

// A weak entry as a sweep takes it.
struct SweptSlot {
    SweptSlot(Taken&& t, const CallbackEntry&, std::uint64_t) noexcept : taken(std::move(t)) {}

    Taken taken;
};

// Whether a weak entry's reference is a weakref.ref, or one of its
// subclasses such as WeakMethod, whose referent is alive: the sweep keeps
// such an entry without calling anything. (A subclass may still answer None,
// as a WeakMethod whose function has died does; an emission finds that out.)
// With no lock held: the referent may go with the reference taken here.
bool referent_alive(PyObject* ref) noexcept {
    TARNWICK_ASSERT_UNLOCKED();
    if (!PyWeakref_CheckRef(ref)) {
        return false;
    }
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(ref, &referent) < 0) {
        // It fails only for what is no weak reference; were it to fail, the
        // entry is resolved like the rest, which reports what goes wrong.
        PyErr_Clear();
        return false;
    }
    return static_cast<bool>(Ref::steal(referent));
}

// ---------------------------------------------------------------------------
// Builtin methods held by their object
//
// A builtin method (a Qt widget's slot, set.add) is no Python method, so
// weakref.WeakMethod refuses it. listener(..., weak=True) holds one as a weak
// reference to its object plus the method's definition, and binds a new
// method to the object, while it lives, each time the entry is resolved.

struct WeakBuiltinObject {
    PyObject_HEAD
    PyObject* ref;     // weakref.ref to the method's object
    PyObject* module;  // the method's __module__ slot, or null
    PyObject* cls;     // the defining class of a METH_METHOD method, or null
    PyObject* owner;   // type(object), which keeps the method's definition
    PyMethodDef* def;
};

WeakBuiltinObject* as_weak_builtin(PyObject* self) noexcept {
    return reinterpret_cast<WeakBuiltinObject*>(self);
}

constexpr PyObject* WeakBuiltinObject::* kWeakBuiltinFields[] = {
    &WeakBuiltinObject::ref, &WeakBuiltinObject::module, &WeakBuiltinObject::cls,
    &WeakBuiltinObject::owner,
};

bool is_bound_builtin(PyObject* callback) noexcept {
    if (!PyCFunction_Check(callback)) {
        return false;
    }
    PyObject* bound = PyCFunction_GET_SELF(callback);
    return bound != nullptr && !PyModule_Check(bound);
}

void require_weakly_referable(PyObject* callback) {
    PyObject* bound = PyCFunction_GET_SELF(callback);
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(bound))) {
        throw_format(PyExc_TypeError,
                     "cannot connect %R with weak=True: the object it belongs to (a %s) "
                     "cannot be referenced weakly, so the connection could not end when it is "
                     "deleted; connect it with weak=False and disconnect it yourself",
                     callback, Py_TYPE(bound)->tp_name);
    }
}

// A builtin function (len, math.sqrt) belongs to no object that could die:
// listener(..., weak=True) says so, where connect() says what
// weakref.WeakMethod says.
void refuse_builtin_function(PyObject* callback) {
    if (PyCFunction_Check(callback) && !is_bound_builtin(callback)) {
        throw_format(PyExc_TypeError,
                     "cannot connect %R with weak=True: it is a builtin function, not a method "
                     "of an object that can be deleted, so nothing could end the connection; "
                     "connect it with weak=False",
                     callback);
    }
}

Ref weak_builtin(PyObject* signal, PyObject* callback) {
    auto* fn = reinterpret_cast<PyCFunctionObject*>(callback);
    Ref ref = check(PyWeakref_NewRef(fn->m_self, nullptr));
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(signal).weak_builtin_type.get());
    Ref obj = check(type->tp_alloc(type, 0));
    WeakBuiltinObject* w = as_weak_builtin(obj.get());
    w->ref = ref.release();
    w->module = Py_XNewRef(fn->m_module);
    if ((fn->m_ml->ml_flags & METH_METHOD) != 0) {
        w->cls = Py_XNewRef(reinterpret_cast<PyObject*>(PyCFunction_GET_CLASS(callback)));
    }
    w->owner = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(fn->m_self)));
    w->def = fn->m_ml;
    return obj;
}

// Called with no arguments by an emission's resolution: the method bound to
// the object again, or None once the object has died.
PyObject* WeakBuiltin_call(PyObject* self, PyObject*, PyObject*) {
    WeakBuiltinObject* w = as_weak_builtin(self);
    PyObject* bound = nullptr;
    if (w->ref == nullptr) {
        Py_RETURN_NONE;  // cleared by the collector: as good as dead
    }
    if (PyWeakref_GetRef(w->ref, &bound) < 0) {
        return nullptr;
    }
    if (bound == nullptr) {
        Py_RETURN_NONE;
    }
    Ref referent = Ref::steal(bound);
    return PyCMethod_New(w->def, referent.get(), w->module,
                         reinterpret_cast<PyTypeObject*>(w->cls));
}

int WeakBuiltin_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (auto field : kWeakBuiltinFields) {
        Py_VISIT(as_weak_builtin(self)->*field);
    }
    return 0;
}

int WeakBuiltin_clear(PyObject* self) {
    for (auto field : kWeakBuiltinFields) {
        Py_CLEAR(as_weak_builtin(self)->*field);
    }
    return 0;
}

void WeakBuiltin_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    WeakBuiltin_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot weak_builtin_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(WeakBuiltin_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(WeakBuiltin_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(WeakBuiltin_clear)},
    {Py_tp_call, reinterpret_cast<void*>(WeakBuiltin_call)},
    {0, nullptr},
};

}  // namespace

void sweep_dead_weak(SignalObject* self) {
    ListenerTable& table = self->rec.listeners;
    {
        SharedGuard guard(table.lock());
        table.start_sweep(guard);
        if (table.expiring(guard) == 0) {
            return;  // no weak entry: nothing to walk
        }
    }
    Snapshot<SweptSlot, 8> weak;
    weak.take(table, MayRemove::Expiring,
              [](const SharedGuard&, ListenerTable&, CallbackEntry& e, std::uint64_t&) {
                  return e.kind == EntryKind::Weak ? Pick::Take : Pick::Skip;
              });
    // The rest are called, as an emission calls them: a dead weakref.ref
    // answers None at once, a WeakMethod or a custom reference in Python.
    weak.drop_if([](const SweptSlot& slot) { return referent_alive(slot.taken.target.get()); });
    weak.resolve(DeadWeak::Remove);
    weak.remove(table);
}

CallerHold caller_hold(PyObject* callback, bool handed_back) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return {handed_back, PyUnstable_Object_IsUniqueReferencedTemporary(callback) == 1};
#else
    (void)callback;
    return {handed_back, false};
#endif
}

PyType_Spec weak_builtin_type_def = {
    "builtins.SignalWeakBuiltinMethod",
    sizeof(WeakBuiltinObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    weak_builtin_slots,
};

Ref make_weak(SignalObject* self, Ref callback, CallerHold hold, bool builtin_methods) {
    // Does the callable have an instance? Looked up twice: once to learn
    // whether it exists, once to hold it for the count.
    const bool has_instance = static_cast<bool>(optional_attr(callback.get(), "__self__"));
    const bool builtin = builtin_methods && is_bound_builtin(callback.get());
    if (builtin) {
        require_weakly_referable(callback.get());
    } else if (builtin_methods) {
        refuse_builtin_function(callback.get());
    }
    require_other_owner(callback.get(), has_instance, hold);
    if (builtin) {
        return weak_builtin(as_object(self), callback.get());
    }
    Ref weakref = self->rec.weakref_module.get_or_fill(
        [] { return check(PyImport_ImportModule("weakref")); });
    Ref factory =
        check(PyObject_GetAttrString(weakref.get(), has_instance ? "WeakMethod" : "ref"));
    Ref made = check(PyObject_CallOneArg(factory.get(), callback.get()));
    return made;
}

}  // namespace tarnwick
