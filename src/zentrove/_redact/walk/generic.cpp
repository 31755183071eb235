// The walks of containers reached through Python's protocols: any mapping
// (OrderedDict, UserDict, a class registered as a Mapping), any sequence
// that is not list or tuple storage (deque, UserList), and sets.
//
// Design note.  These run Python code (__iter__, __getitem__, __setitem__,
// __len__), which may change the container under the walk.  The keys are
// read once into a list first (a set's items from its storage), every key
// and value is held while that code runs, and the length, read before
// anything is taken from the container, is compared after each call: a
// container whose length changed raises RuntimeError rather than being
// walked half-changed.
// An OrderedDict (the one dict subclass walked here) is read through its
// storage by key, so a default factory never runs.
#include "_redact/walk/walk.h"

namespace zentrove::redact {

namespace {

// Whether a container still has the length read before its Python code
// ran; false with an exception (RuntimeError when the length changed).
[[nodiscard]] bool kept_length(PyObject* container, Py_ssize_t expected)
{
    const Py_ssize_t now = PyObject_Size(container);
    if (now == expected) {
        return true;
    }
    if (now >= 0) {
        changed_during_walk(container);
    }
    return false;
}

[[nodiscard]] bool can_assign(PyTypeObject* type) noexcept
{
    return (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_ass_subscript != nullptr) ||
           (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_ass_item != nullptr);
}

// value = mapping[key]: dict storage for dict subclasses (never their
// __missing__), the mapping protocol otherwise.
[[nodiscard]] PyObject* get_item(PyObject* mapping, PyObject* key)
{
    if (!PyDict_Check(mapping)) {
        return PyObject_GetItem(mapping, key);
    }
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return Py_XNewRef(value);
}

// The copy of a mapping: the same type for dict subclasses (built by dict's
// own __new__, with its attributes), a dict otherwise.
[[nodiscard]] PyObject* empty_copy(PyObject* mapping)
{
    return PyDict_Check(mapping) ? new_like(&PyDict_Type, mapping) : PyDict_New();
}

// Stores into the copy of a mapping (a dict, or an OrderedDict of the
// mapping's type) as dict or OrderedDict itself does: a subclass's
// __setitem__ could keep something else than what was walked.
[[nodiscard]] int store_copy(PyObject* copy, PyObject* key, PyObject* value)
{
    return PyODict_Check(copy) ? PyODict_SetItem(copy, key, value)
                               : PyDict_SetItem(copy, key, value);
}

}  // namespace

template <Mode M>
PyObject* walk_mapping(Walk& w, PyObject* mapping, const Path* at)
{
    if (PyObject* before = walked_before<M>(w, mapping, false, true)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    Ref hold = Ref::borrow(mapping);
    Ref copy;
    if constexpr (M == Mode::Copy) {
        copy = Ref::steal(empty_copy(mapping));
        if (!copy) {
            return nullptr;
        }
    }
    if (w.seen.add(mapping, false, copy.get()) < 0) {
        return nullptr;
    }
    // The length is read before the keys and compared after: the list of
    // keys is allocated, and read through Python code, before the walk
    // compares anything.
    const Py_ssize_t length = PyObject_Size(mapping);
    if (length < 0) {
        return nullptr;
    }
    // An OrderedDict in its own order; a subclass that iterates otherwise
    // by its storage, which holds every key json.dumps writes.
    Ref keys =
        Ref::steal(PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter != PyODict_Type.tp_iter
                       ? PyDict_Keys(mapping)
                       : PySequence_List(mapping));
    if (!keys) {
        return nullptr;
    }
    if (!kept_length(mapping, length)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);  // held by the list
        const int sensitive = key_verdict(w.rules, key);
        if (sensitive < 0) {
            return nullptr;
        }
        Ref value = Ref::steal(get_item(mapping, key));
        if (!value) {
            return nullptr;
        }
        if (!kept_length(mapping, length)) {
            return nullptr;
        }
        const Path here{at, key, 0, 1};
        Ref result = Ref::steal(walk_value<M>(w, value.get(), sensitive != 0, &here));
        if (!result) {
            return nullptr;
        }
        if (M == Mode::Copy || (M == Mode::InPlace && result.get() != value.get())) {
            if (M == Mode::InPlace && !can_assign(Py_TYPE(mapping))) {
                return cannot_mask_in_place(Py_TYPE(mapping), &here);
            }
            if ((M == Mode::Copy ? store_copy(copy.get(), key, result.get())
                                 : PyObject_SetItem(mapping, key, result.get())) < 0) {
                return nullptr;
            }
        }
        // The replaced value's finaliser runs here: whatever it changes in
        // the mapping is caught before the next key is read.
        value = Ref();
        result = Ref();
        if (!kept_length(mapping, length)) {
            return nullptr;
        }
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(mapping);
}

template <Mode M>
PyObject* walk_sequence(Walk& w, PyObject* seq, bool sensitive, const Path* at)
{
    if (PyObject* before = walked_before<M>(w, seq, sensitive, true)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    Ref hold = Ref::borrow(seq);
    Ref copy;
    if constexpr (M == Mode::Copy) {
        copy = Ref::steal(PyList_New(0));
        if (!copy) {
            return nullptr;
        }
    }
    if (w.seen.add(seq, sensitive, copy.get()) < 0) {
        return nullptr;
    }
    const Py_ssize_t length = PyObject_Size(seq);
    if (length < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(seq, i));
        if (!item) {
            return nullptr;
        }
        if (!kept_length(seq, length)) {
            return nullptr;
        }
        const Path here{at, nullptr, i, 1};
        Ref result = Ref::steal(walk_value<M>(w, item.get(), sensitive, &here));
        if (!result) {
            return nullptr;
        }
        if (!kept_length(seq, length)) {
            return nullptr;
        }
        if constexpr (M == Mode::Copy) {
            if (PyList_Append(copy.get(), result.get()) < 0) {
                return nullptr;
            }
        }
        else if (M == Mode::InPlace && result.get() != item.get()) {
            if (!can_assign(Py_TYPE(seq))) {
                return cannot_mask_in_place(Py_TYPE(seq), &here);
            }
            if (PySequence_SetItem(seq, i, result.get()) < 0) {
                return nullptr;
            }
            item = Ref();  // the replaced item's finaliser runs here
            if (!kept_length(seq, length)) {
                return nullptr;
            }
        }
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(seq);
}

// Sets hold only hashable items (str, numbers, tuples, frozensets), read
// through their storage; in place, a set that holds something to mask is
// refused like a tuple, since masks of equal length would merge.
template <Mode M>
PyObject* walk_set(Walk& w, PyObject* set, bool sensitive, const Path* at)
{
    if (PyObject* before = walked_before<M>(w, set, sensitive, true)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    Ref hold = Ref::borrow(set);
    // A snapshot of the items from the storage, never a subclass's
    // __iter__: walking one may run Python code.  The size is read before
    // the snapshot is allocated (a gc pass in that may change the set).
    const Py_ssize_t n = PySet_GET_SIZE(set);
    Ref items = Ref::steal(PyList_New(n));
    if (!items) {
        return nullptr;
    }
    if (PySet_GET_SIZE(set) != n) {
        return changed_during_walk(set);
    }
    Py_ssize_t pos = 0;
    PyObject* entry;
    Py_hash_t entry_hash;
    for (Py_ssize_t i = 0; i < n && _PySet_NextEntry(set, &pos, &entry, &entry_hash); ++i) {
        PyList_SET_ITEM(items.get(), i, Py_NewRef(entry));  // no Python code runs here
    }
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const Path here{at, nullptr, i, 1};
        PyObject* result = walk_value<M>(w, item, sensitive, &here);
        if (result == nullptr) {
            return nullptr;
        }
        if (M == Mode::InPlace && result != item) {
            Py_DECREF(result);
            return cannot_mask_in_place(Py_TYPE(set), &here);
        }
        changed = changed || result != item;
        PyList_SET_ITEM(items.get(), i, result);  // the list held item too
        Py_DECREF(item);
    }
    // A set changed meanwhile would be left half walked (in place, what it
    // gained is never looked at).
    if (PySet_GET_SIZE(set) != n) {
        return changed_during_walk(set);
    }
    // A copy holds what was walked; a mutable set is always copied.
    Ref copy = Ref::borrow(set);
    if (M == Mode::Copy && (changed || PySet_Check(set))) {
        copy = Ref::steal(PyFrozenSet_Check(set) ? PyFrozenSet_New(items.get())
                                                 : PySet_New(items.get()));
        if (!copy) {
            return nullptr;
        }
    }
    if (w.seen.add(set, sensitive, M == Mode::Copy ? copy.get() : nullptr) < 0) {
        return nullptr;
    }
    return copy.release();
}

#define ZR_INSTANTIATE(M)                                                     \
    template PyObject* walk_mapping<M>(Walk&, PyObject*, const Path*);        \
    template PyObject* walk_sequence<M>(Walk&, PyObject*, bool, const Path*); \
    template PyObject* walk_set<M>(Walk&, PyObject*, bool, const Path*);
ZR_INSTANTIATE(Mode::InPlace)
ZR_INSTANTIATE(Mode::Copy)
ZR_INSTANTIATE(Mode::Report)
#undef ZR_INSTANTIATE

}  // namespace zentrove::redact
