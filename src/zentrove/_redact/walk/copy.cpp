// The shallow copies that the Copy walk starts from: a dict or list copied
// from its storage, of its own type, and a subclass instance's attributes
// (__slots__ values, instance dict), read and written without running code.
#include "_redact/walk/walk.h"

#include "_common/cpython311.h"

#include <structmember.h>

namespace zentrove::redact {
namespace {

// The __slots__ values of `from` onto `to`, of the same type: the object
// members of each class in the MRO, read and written directly (no
// descriptor's code runs).  `to` is new, its slots empty.
void copy_slots(PyObject* from, PyObject* to) noexcept
{
    PyObject* mro = Py_TYPE(from)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_members == nullptr) {
            continue;
        }
        for (const PyMemberDef* m = type->tp_members; m->name != nullptr; ++m) {
            if (m->type != T_OBJECT_EX || (m->flags & READONLY) != 0) {
                continue;
            }
            auto** src = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(from) + m->offset);
            auto** dst = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(to) + m->offset);
            PyObject* old = *dst;
            *dst = Py_XNewRef(*src);
            Py_XDECREF(old);
        }
    }
}

// A new, empty dict of the type of `d` (storage set up by dict's own
// __new__, so no Python code of a subclass runs), with its default factory
// and instance attributes.
[[nodiscard]] PyObject* empty_like_dict(PyObject* d)
{
    PyTypeObject* type = Py_TYPE(d);
    if (type == &PyDict_Type) {
        return PyDict_New();
    }
    Ref copy = Ref::steal(PyDict_Type.tp_new(type, g.empty_tuple, nullptr));
    if (!copy) {
        return nullptr;
    }
    if (PyObject_TypeCheck(d, g.defaultdict)) {
        Ref factory = Ref::steal(PyObject_GetAttrString(d, "default_factory"));
        if (!factory ||
            PyObject_SetAttrString(copy.get(), "default_factory", factory.get()) < 0) {
            return nullptr;
        }
    }
    if (copy_attributes(d, copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

}  // namespace

int copy_attributes(PyObject* from, PyObject* to)
{
    copy_slots(from, to);
    if (Py_TYPE(from)->tp_dictoffset == 0) {
        return 0;
    }
    Ref attrs = Ref::steal(PyObject_GenericGetDict(from, nullptr));
    if (!attrs) {
        return -1;
    }
    if (PyDict_GET_SIZE(attrs.get()) == 0) {
        return 0;
    }
    // A merge reads the attributes after the new dict exists: PyDict_Copy of
    // a split table would read it after allocating, when a gc pass may have
    // made it combined.
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Update(copy.get(), attrs.get()) < 0) {
        return -1;
    }
    return PyObject_GenericSetDict(to, copy.get(), nullptr);
}

// A shallow copy of `d` made from its storage, never through a subclass's
// __iter__ or keys(): what json.dumps writes is what is walked.  Where the
// storage is read, nothing allocates a collected object, so no gc pass runs
// in between (PyDict_Copy reads the size after allocating the new dict).  A
// merge into an empty dict clones a compact table, so that a value can
// later be replaced in the copy's slot; otherwise it stores entry by entry,
// and a colliding key's __eq__ may run: the caller compares version tags.
PyObject* copy_dict(PyObject* d)
{
    Ref copy = Ref::steal(empty_like_dict(d));
    if (!copy) {
        return nullptr;
    }
    if (Py_TYPE(d)->tp_iter == PyDict_Type.tp_iter) {
        return PyDict_Update(copy.get(), d) < 0 ? nullptr : copy.release();
    }
    const uint64_t tag = py311::dict_tag(d);
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    Py_hash_t hash;
    while (_PyDict_Next(d, &pos, &k, &v, &hash)) {
        // The store holds k and v.
        if (_PyDict_SetItem_KnownHash(copy.get(), k, v, hash) < 0) {
            return nullptr;
        }
        if (py311::dict_tag(d) != tag) {
            return changed_during_walk(d);
        }
    }
    return copy.release();
}

// A shallow copy of the first `n` items of list storage (those the walk
// reads), of the list's own type, made from the storage, never through a
// subclass's __iter__.  RuntimeError when a gc pass in an allocation here
// changed the list's length from `n`.
PyObject* copy_list(PyObject* list, Py_ssize_t n)
{
    Ref copy;
    if (!Py_IS_TYPE(list, &PyList_Type)) {
        copy = Ref::steal(PyList_Type.tp_new(Py_TYPE(list), g.empty_tuple, nullptr));
        if (!copy || copy_attributes(list, copy.get()) < 0) {
            return nullptr;
        }
    }
    Ref items = Ref::steal(PyList_New(n));
    if (!items) {
        return nullptr;
    }
    if (PyList_GET_SIZE(list) != n) {
        return changed_during_walk(list);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {  // no allocation, no Python code
        PyList_SET_ITEM(items.get(), i, Py_NewRef(PyList_GET_ITEM(list, i)));
    }
    if (!copy) {
        return items.release();
    }
    // From an exact list this reads its storage and runs no Python code.
    if (PyList_SetSlice(copy.get(), 0, 0, items.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

}  // namespace zentrove::redact
