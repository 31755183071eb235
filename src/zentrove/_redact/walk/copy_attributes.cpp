// A copied subclass instance keeps its attributes: its __slots__ values and
// its instance dict go onto the copy, read and written without running a
// descriptor's code.
#include "_redact/walk/walk.h"

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

PyObject* new_like(PyTypeObject* base, PyObject* from, PyObject* args)
{
    Ref copy =
        Ref::steal(base->tp_new(Py_TYPE(from), args != nullptr ? args : g.empty_tuple, nullptr));
    if (!copy || copy_attributes(from, copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

}  // namespace zentrove::redact
