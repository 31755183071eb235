// The type-level set-up of pickling, run once per redactor type during
// start-up: it makes the type's __reduce__ and __setstate__ the module's
// reduce and set-state operations, unless the type already pickles
// another way.
#include "internal.h"

namespace zentrove::omit {

namespace {

// Whether obj.__name__ == text; any failure counts as "not named".
[[nodiscard]] bool is_named(PyObject* obj, StrId text)
{
    Ref name = Ref::steal(PyObject_GetAttr(obj, str(StrId::dunder_name)));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    const int eq = PyObject_RichCompareBool(name.get(), str(text), Py_EQ);
    if (eq < 0) {
        PyErr_Clear();
        return false;
    }
    return eq == 1;
}

// Looks `name` up on the type; AttributeError counts as absent (empty Ref,
// no exception), any other error stays pending.
[[nodiscard]] Ref lookup_or_absent(PyObject* type, StrId name)
{
    Ref v = Ref::steal(PyObject_GetAttr(type, str(name)));
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return v;
}

// Moves type.__dict__[from] to type.__dict__[to]; -1 on failure.
[[nodiscard]] int install(PyTypeObject* type, StrId to, PyObject* value, StrId from)
{
    if (PyDict_SetItem(type->tp_dict, str(to), value) < 0) {
        return -1;
    }
    return PyDict_DelItem(type->tp_dict, str(from));
}

// 0: done (installed, or nothing to change); -1: failed, maybe without an
// exception set.
[[nodiscard]] int install_operations(PyTypeObject* type)
{
    PyObject* tobj = reinterpret_cast<PyObject*>(type);
    PyObject* getstate = _PyType_Lookup(type, str(StrId::dunder_getstate));
    if (getstate != nullptr &&
        getstate != _PyType_Lookup(&PyBaseObject_Type, str(StrId::dunder_getstate))) {
        return 0;
    }
    // object's attributes are held across the look-ups on the type, which
    // may run Python code (descriptors, collections).
    Ref object_reduce_ex =
        Ref::borrow(_PyType_Lookup(&PyBaseObject_Type, str(StrId::dunder_reduce_ex)));
    if (!object_reduce_ex) {
        return -1;
    }
    Ref reduce_ex = Ref::steal(PyObject_GetAttr(tobj, str(StrId::dunder_reduce_ex)));
    if (!reduce_ex) {
        return -1;
    }
    if (reduce_ex.get() != object_reduce_ex.get()) {
        return 0;
    }
    Ref object_reduce = Ref::borrow(_PyType_Lookup(&PyBaseObject_Type, str(StrId::dunder_reduce)));
    if (!object_reduce) {
        return -1;
    }
    Ref reduce = Ref::steal(PyObject_GetAttr(tobj, str(StrId::dunder_reduce)));
    if (!reduce) {
        return -1;
    }
    const bool own_reduce = reduce.get() == object_reduce.get();
    if (!own_reduce && !is_named(reduce.get(), StrId::reduce_cython)) {
        return 0;
    }
    Ref reduce_cython = lookup_or_absent(tobj, StrId::reduce_cython);
    if (reduce_cython) {
        if (install(type, StrId::dunder_reduce, reduce_cython.get(), StrId::reduce_cython) < 0) {
            return -1;
        }
    }
    else if (own_reduce || PyErr_Occurred()) {
        return -1;
    }
    Ref setstate = Ref::steal(PyObject_GetAttr(tobj, str(StrId::dunder_setstate)));
    if (!setstate) {
        PyErr_Clear();
    }
    if (!setstate || is_named(setstate.get(), StrId::setstate_cython)) {
        Ref setstate_cython = lookup_or_absent(tobj, StrId::setstate_cython);
        if (setstate_cython) {
            if (install(type, StrId::dunder_setstate, setstate_cython.get(),
                        StrId::setstate_cython) < 0) {
                return -1;
            }
        }
        else if (!setstate || PyErr_Occurred()) {
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace

int prepare_pickling(PyTypeObject* type)
{
    if (install_operations(type) == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                     type->tp_name);
    }
    return -1;
}

}  // namespace zentrove::omit
