// The __setattr__ of an evented class.
//
// The class's own attributes stay as they were (a field's default, a slot's
// member descriptor), so the interpreter reads a field as fast as on the
// class undecorated. Every assignment comes here instead: a field's is
// stored, compared and reported; any other attribute's, and any assignment
// to an instance of a subclass (which has a __setattr__ of its own once its
// instances' `events` are used), goes to the __setattr__ the class had.
//
// An assignment to an instance whose group does not exist yet (every one in
// __init__) only stores: nobody can be listening. Once the group exists, the
// old value is read and the new one stored in one step (under the GIL, or
// else under the group's change lock), so two threads assigning one field
// each see the value each replaced. No
// Python code runs under that lock: a field is found in the instance
// __dict__ by identity (or str equality, which is C), and a __dict__ with a
// key that is not a str, whose __eq__ a lookup would call, is read and
// stored with no lock held. The comparison and the emission run after it is
// let go. The old value is not even read while nobody listens to the field
// or to `all` and the group is not paused. A field that the class's own
// __setattr__ stores is assigned under the group's assignment lock
// (evented_parts.hpp).

#include "evented_parts.hpp"
#include "interp_state.hpp"

#include <atomic>
#include <cstddef>

namespace tarnwick {

namespace {

// How one field is assigned.
struct FieldPlan {
    // The field's slot (its member descriptor is kept in `members`), or null
    // when it is kept in the instance __dict__.
    PyMemberDef* slot;
    // attrs' on_setattr hook of the field and its attrs.Attribute (borrowed
    // from `converts`), or null: what attrs' own __setattr__ would call
    // before storing, called here, so that the store stays ours.
    PyObject* convert;
    PyObject* attribute;
    enum Store : unsigned char {
        kDirect,  // stored here
        kBase,    // the class's own __setattr__ stores it (pydantic's
                  // validation, a __setattr__ of the class's own), and the
                  // value it stored is read back
        kTaken,   // a descriptor of the class's own takes it over: not ours
    } store;
};

struct HookObject {
    PyObject_VAR_HEAD  // ob_size: the number of fields
    vectorcallfunc vectorcall;
    // The __setattr__ the class would use without us.
    PyObject* base;
    // `base` is object.__setattr__: PyObject_GenericSetAttr does its work.
    bool generic;
    // A model's direct store also adds the name to __pydantic_fields_set__,
    // as pydantic's __setattr__ would.
    bool pydantic;
    // The field names (interned, the group's).
    PyObject* names;
    // Per field, the slot's member descriptor or None; and attrs'
    // (hook, attribute) or None.
    PyObject* members;
    PyObject* converts;
    PyObject* events;
    PyObject* fields_set_name;  // "__pydantic_fields_set__", interned
    // The class's version tag when no field was found taken over (0: none).
    std::atomic<unsigned int> checked_tag;
    FieldPlan plans[1];
};

HookObject* as_hook(PyObject* self) noexcept { return reinterpret_cast<HookObject*>(self); }

// ---------------------------------------------------------------------------
// Where one field's value lives in one instance: its __dict__ or its slot

class FieldStore {
public:
    // `slot` is the field's slot, or null for a field kept in `dict`.
    FieldStore(PyObject* obj, PyObject* name, PyMemberDef* slot, PyObject* dict) noexcept
        : obj_(obj), name_(name), slot_(slot), dict_(dict) {}

    // The value, or an empty Ref when the field has none.
    Ref read() {
        if (slot_ == nullptr) {
            return dict_item(dict_, name_);
        }
        // Read as the member does, safe against a concurrent del.
        Ref value = Ref::steal(PyMember_GetOne(reinterpret_cast<const char*>(obj_), slot_));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw PyErrorSet{};
            }
            PyErr_Clear();
        }
        return value;
    }

    // Reads the value under the change lock, as read() would, into `value`:
    // false, having read nothing, for a __dict__ whose lookup could run
    // Python code (a key that is not a str).
    bool read_locked(const ExclusiveGuard&, Ref& value) {
        if (slot_ != nullptr) {
            value = read();
            return true;
        }
        PyObject* found = nullptr;
        bool plain = true;
        Py_BEGIN_CRITICAL_SECTION(dict_);
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(dict_, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) {
                plain = false;
                break;
            }
            if (found == nullptr && same_name(key)) {
                found = item;
            }
        }
        found = plain ? Py_XNewRef(found) : nullptr;
        Py_END_CRITICAL_SECTION();
        value = Ref::steal(found);
        return plain;
    }

    void write(PyObject* value) {
        if (slot_ == nullptr) {
            check_status(PyDict_SetItem(dict_, name_, value));
        } else {
            check_status(PyMember_SetOne(reinterpret_cast<char*>(obj_), slot_, value));
        }
    }

private:
    bool same_name(PyObject* key) const noexcept {
        if (key == name_) {
            return true;
        }
        if (PyUnicode_CHECK_INTERNED(key)) {
            return false;  // both interned, and not the same object
        }
        return PyUnicode_Compare(key, name_) == 0;
    }

    PyObject* obj_;
    PyObject* name_;
    PyMemberDef* slot_;
    PyObject* dict_;
};

// The class attribute `name` of `type`, as its MRO finds it, or an empty Ref.
Ref class_attr(PyTypeObject* type, PyObject* name) {
    Ref mro = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    if (!PyTuple_Check(mro.get())) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* klass = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(klass)) {
            continue;
        }
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(klass)));
        if (Ref attr = dict_item(dict.get(), name)) {
            return attr;
        }
    }
    return Ref();
}

// What a read of `obj.name` gives when the instance holds no value of its
// own: the class's attribute (a field's default, or what a descriptor that
// is not a slot gives), or an empty Ref when a read would fail.
Ref class_value(PyObject* obj, PyObject* name) {
    Ref attr = class_attr(Py_TYPE(obj), name);
    if (!attr || Py_IS_TYPE(attr.get(), &PyMemberDescr_Type)) {
        return Ref();  // none, or a slot with no value: a read raises
    }
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    if (get == nullptr) {
        return attr;
    }
    return check(get(attr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// Whether a data descriptor of the class's own (a property set on the class
// after it was decorated, say) has taken field `name` over from us.
bool taken_over(PyTypeObject* owner, PyObject* name) {
    Ref attr = class_attr(owner, name);
    return attr && !Py_IS_TYPE(attr.get(), &PyMemberDescr_Type) &&
           Py_TYPE(attr.get())->tp_descr_set != nullptr;
}

std::atomic_ref<unsigned int> version_tag(PyTypeObject* type) noexcept {
    return std::atomic_ref<unsigned int>(type->tp_version_tag);
}

// Whether the class still leaves every field it had to us. The answer "yes"
// is kept under the class's version tag, which changes whenever it or one
// of its bases does.
bool fields_left_alone(HookObject* h, PyTypeObject* owner) {
    unsigned int tag = version_tag(owner).load(std::memory_order_relaxed);
    if (tag != 0 && tag == h->checked_tag.load(std::memory_order_relaxed)) {
        return true;
    }
    tag = PyUnstable_Type_AssignVersionTag(owner) ? version_tag(owner).load(std::memory_order_relaxed)
                                                  : 0;
    for (Py_ssize_t i = 0; i < Py_SIZE(h); ++i) {
        if (h->plans[i].store != FieldPlan::kTaken &&
            taken_over(owner, PyTuple_GET_ITEM(h->names, i))) {
            return false;
        }
    }
    h->checked_tag.store(tag, std::memory_order_relaxed);
    return true;
}

// Whether `value` counts as unchanged from `old`: the same object, or equal
// by ==. Equality that raises an Exception, or answers with something that
// is not a bool (an array, say), counts as not equal: only identity decides
// then. A BaseException that is not an Exception (KeyboardInterrupt,
// SystemExit) propagates.
bool unchanged(PyObject* value, PyObject* old) {
    if (value == old) {
        return true;
    }
    Ref answer = Ref::steal(PyObject_RichCompare(value, old, Py_EQ));
    if (!answer) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrorSet{};
        }
        PyErr_Clear();
        return false;
    }
    return answer.get() == Py_True;
}

// Whether `obj` is an instance of the class the hook was made for (or of a
// subclass), which object.__setattr__'s own checks would let through. Once
// the collector cleared the hook, only the dying class's instances reach it.
bool is_instance(HookObject* h, PyObject* obj) noexcept {
    PyObject* owner = h->events != nullptr ? as_events(h->events)->owner : nullptr;
    return owner == nullptr || PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(owner));
}

PyObject* call_base(HookObject* h, PyObject* obj, PyObject* name, PyObject* value) {
    // Anything else, a class say, goes through object.__setattr__ itself,
    // which refuses what it must.
    if (h->generic && is_instance(h, obj)) {
        check_status(PyObject_GenericSetAttr(obj, name, value));
        Py_RETURN_NONE;
    }
    if (h->base == nullptr) {
        throw_error(PyExc_ReferenceError, "the evented class is being collected");
    }
    PyObject* argv[] = {obj, name, value};
    return check(PyObject_Vectorcall(h->base, argv, 3, nullptr)).release();
}

// The index of the field that `obj.name = ...` assigns, or -1 when this
// assignment is not ours to report: not a field, or an instance of a
// subclass, whose class reports its own (its own __setattr__ may come here
// through super()), or nobody's when no `events` was used on it yet.
Py_ssize_t hooked_field(HookObject* h, PyObject* obj, PyObject* name) {
    if (h->events == nullptr ||
        reinterpret_cast<PyObject*>(Py_TYPE(obj)) != as_events(h->events)->owner) {
        return -1;
    }
    const Py_ssize_t i = PyUnicode_Check(name) ? name_index(h->names, Py_SIZE(h), name) : -1;
    if (i < 0 || h->plans[i].store == FieldPlan::kTaken) {
        return -1;
    }
    auto* owner = Py_TYPE(obj);
    if (!fields_left_alone(h, owner) && taken_over(owner, PyTuple_GET_ITEM(h->names, i))) {
        return -1;
    }
    return i;
}

// The instance __dict__, for a field or a group kept there; else null.
Ref dict_if_used(EventsObject* e, const FieldPlan& plan, PyObject* obj) {
    if (plan.slot != nullptr && e->slot_offset != 0) {
        return Ref();
    }
    return check(PyObject_GenericGetDict(obj, nullptr));
}

// A field's value as a read would give it before or after a store.
Ref read_field(PyObject* obj, PyObject* field, const FieldPlan& plan, PyObject* dict) {
    Ref value = FieldStore(obj, field, plan.slot, dict).read();
    return value ? std::move(value) : class_value(obj, field);
}

// A field that the class's own __setattr__ stores, while someone listens:
// the old value is what it was just before, the new one what it stored.
PyObject* assign_via_base(HookObject* h, GroupObject* g, Interest interest, Py_ssize_t index,
                          PyObject* obj, PyObject* name, PyObject* value) {
    EventsObject* e = as_events(h->events);
    const FieldPlan& plan = h->plans[index];
    PyObject* field = PyTuple_GET_ITEM(h->names, index);
    Ref old;
    Ref stored;
    Ref result;
    {
        AssignGuard guard(g->assign_lock);
        old = read_field(obj, field, plan, dict_if_used(e, plan, obj).get());
        result = Ref::steal(call_base(h, obj, name, value));
        // pydantic's validate_assignment gives the model a new __dict__.
        stored = read_field(obj, field, plan, dict_if_used(e, plan, obj).get());
    }
    if (old && stored && !unchanged(stored.get(), old.get())) {
        report_change(g, interest, index, stored.get(), old.get());
    }
    return result.release();
}

// Stores `value` and returns the value it replaced, read in one step with
// the store (empty for none). Under the GIL no other thread comes between
// the two (but for a key whose __eq__ the lookup runs), and no lock is
// taken; without it, the group's change lock is held.
Ref exchange(GroupObject* g, FieldStore& store, PyObject* value) {
    Ref old;
#ifdef Py_GIL_DISABLED
    {
        ExclusiveGuard guard(g->change_lock);
        if (store.read_locked(guard, old)) {
            store.write(value);
            return old;
        }
    }
#else
    (void)g;
#endif
    old = store.read();
    store.write(value);
    return old;
}

PyObject* assign(HookObject* h, Py_ssize_t index, PyObject* obj, PyObject* name,
                 PyObject* value) {
    EventsObject* e = as_events(h->events);
    const FieldPlan& plan = h->plans[index];
    PyObject* field = PyTuple_GET_ITEM(h->names, index);
    Ref converted;
    if (plan.convert != nullptr) {
        // attrs' converters and validators, before anything is looked at:
        // one that raises stores nothing.
        PyObject* argv[] = {obj, plan.attribute, value};
        converted = check(PyObject_Vectorcall(plan.convert, argv, 3, nullptr));
        value = converted.get();
    }
    Ref dict = dict_if_used(e, plan, obj);
    Ref group_ref = find_group(e, obj, dict.get());
    GroupObject* g = group_ref ? as_group(group_ref.get()) : nullptr;
    const Interest interest = g != nullptr ? wants_change(g, index) : Interest{};
    if (plan.store == FieldPlan::kBase) {
        dict.reset();
        return interest ? assign_via_base(h, g, interest, index, obj, name, value)
                        : call_base(h, obj, name, value);
    }
    FieldStore store(obj, field, plan.slot, dict.get());
    Ref old;
    if (!interest) {
        store.write(value);
    } else {
        old = exchange(g, store, value);
        if (!old) {
            old = class_value(obj, field);
        }
    }
    if (h->pydantic) {
        Ref fields_set = check(PyObject_GetAttr(obj, h->fields_set_name));
        check_status(PySet_Add(fields_set.get(), field));
    }
    if (old && !unchanged(value, old.get())) {
        report_change(g, interest, index, value, old.get());
    }
    Py_RETURN_NONE;
}

PyObject* Hook_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (PyVectorcall_NARGS(nargsf) != 3 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames))) {
            throw_type_error("__setattr__ expected 2 arguments");
        }
        HookObject* h = as_hook(self);
        const Py_ssize_t index = hooked_field(h, args[0], args[1]);
        if (index < 0) {
            return call_base(h, args[0], args[1], args[2]);
        }
        return assign(h, index, args[0], args[1], args[2]);
    });
}

PyObject* Hook_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int Hook_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_hook(self)->base);
    Py_VISIT(as_hook(self)->members);
    Py_VISIT(as_hook(self)->converts);
    Py_VISIT(as_hook(self)->events);
    return 0;
}

// Clearing `events` first makes every later call go to `base`, so the
// plans are never used once `members` and `converts` are gone.
int Hook_clear(PyObject* self) {
    Py_CLEAR(as_hook(self)->events);
    Py_CLEAR(as_hook(self)->base);
    Py_CLEAR(as_hook(self)->members);
    Py_CLEAR(as_hook(self)->converts);
    return 0;
}

void Hook_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Hook_clear(self);
    HookObject* h = as_hook(self);
    Py_CLEAR(h->names);
    Py_CLEAR(h->fields_set_name);
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether `base` is object.__setattr__.
bool is_object_setattr(PyObject* base) {
    Ref object_setattr = check(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__setattr__"));
    return base == object_setattr.get();
}

FieldPlan::Store store_of(const HookPlans& plans, PyObject* name) {
    if (check_status(PySet_Contains(plans.taken, name)) != 0) {
        return FieldPlan::kTaken;
    }
    return check_status(PySet_Contains(plans.direct, name)) != 0 ? FieldPlan::kDirect
                                                                  : FieldPlan::kBase;
}

PyObject* Hook_get_base(PyObject* self, void*) {
    PyObject* base = as_hook(self)->base;  // null once the collector cleared it
    return Py_NewRef(base != nullptr ? base : Py_None);
}

PyGetSetDef hook_getset[] = {
    {"base", Hook_get_base, nullptr, "The __setattr__ this one calls.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef hook_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(HookObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot hook_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Hook_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Hook_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Hook_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Hook_get)},
    {Py_tp_members, hook_members},
    {Py_tp_getset, hook_getset},
    {Py_tp_doc, const_cast<char*>("__setattr__ of an evented class.")},
    {0, nullptr},
};

}  // namespace

Ref new_hook(InterpState& state, PyObject* events, PyObject* base, const HookPlans& plans) {
    PyObject* names = as_events(events)->names;
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    const bool generic = is_object_setattr(base);
    Ref fields_set_name = check(PyUnicode_InternFromString("__pydantic_fields_set__"));
    auto* type = reinterpret_cast<PyTypeObject*>(state.evented_hook_type.get());
    Ref obj = check(type->tp_alloc(type, n));
    HookObject* h = as_hook(obj.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* member = PyTuple_GET_ITEM(plans.members, i);
        PyObject* convert = PyTuple_GET_ITEM(plans.converts, i);
        FieldPlan& plan = h->plans[i];
        plan.slot = member == Py_None ? nullptr
                                      : reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
        plan.convert = convert == Py_None ? nullptr : PyTuple_GET_ITEM(convert, 0);
        plan.attribute = convert == Py_None ? nullptr : PyTuple_GET_ITEM(convert, 1);
        plan.store = store_of(plans, PyTuple_GET_ITEM(names, i));
    }
    ::new (static_cast<void*>(&h->checked_tag)) std::atomic<unsigned int>(0);
    h->vectorcall = Hook_vectorcall;
    h->base = Py_NewRef(base);
    h->generic = generic;
    h->pydantic = plans.pydantic;
    h->names = Py_NewRef(names);
    h->members = Py_NewRef(plans.members);
    h->converts = Py_NewRef(plans.converts);
    h->events = Py_NewRef(events);
    h->fields_set_name = fields_set_name.release();
    return obj;
}

PyType_Spec evented_hook_type_def = {
    "tarnwick.EventedSetattr",
    static_cast<int>(offsetof(HookObject, plans)),
    static_cast<int>(sizeof(FieldPlan)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    hook_slots,
};

}  // namespace tarnwick
