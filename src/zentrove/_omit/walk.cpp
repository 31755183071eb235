// The two in-place walks (dict and list) that both redactor types reach
// through their tables, the override rule that lets a Python subclass
// replace either walk, and the Python-level entries omit and omit_recurse.
//
// Design note.  The walks branch on a value's subclass flags and then demand
// the exact type, so a dict or list subclass always fails and a str subclass
// fails only where it would be masked.  Every key and value is held by a
// strong reference while Python code may run (key equality, overrides,
// finalisers of replaced values, collections started by an allocation),
// because that code may change the container under the walk: the dict walk
// compares the entry count before every fetch, the list walk re-reads its
// length before every read and store and fails rather than touching a slot
// past the end.  A nested walk's result is always stored back, also when
// Python code replaced the value meanwhile; only a store that nothing could
// observe is skipped.  Nesting goes through the interpreter's recursion
// check, so deep or self-containing data raises RecursionError instead of
// exhausting the C stack.
#include "binding.h"

namespace zentrove::omit {

namespace {

PyObject* entry_omit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_omit_recurse(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Lines of the statements of the dict walk and the list walk.
enum WalkLine : int {
    kOmitDef = 46,
    kOmitNone = 48,
    kOmitNumber = 50,
    kOmitStrKey = 52,
    kOmitStrStore = 54,
    kOmitDict = 56,
    kOmitListKey = 58,
    kOmitList = 59,
    kRecurseDef = 62,
    kRecurseNone = 64,
    kRecurseRead = 66,
    kRecurseDict = 68,
    kRecurseList = 70,
    kRecurseStr = 72,
};

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kOmit = {
    "omit", "Omitter.omit", "zentrove.omit.Omitter.omit", kFileOmit,
    kOmitDef, Owner::Omitter, CallKind::Fast, entry_omit, 1, 1,
    {{"target", Kind::ExactDict, Default::None}}, {},
};
constexpr Callable kOmitRecurse = {
    "omit_recurse", "Omitter.omit_recurse",
    "zentrove.omit.Omitter.omit_recurse", kFileOmit, kRecurseDef,
    Owner::Omitter, CallKind::Fast, entry_omit_recurse, 2, 1,
    {{"target", Kind::ExactList, Default::None},
     {"do", Kind::Truth, Default::One}},
    {},
};
// clang-format on

// --- override rule ----------------------------------------------------------

// Version tags of (type dict, instance dict) recorded when a lookup found no
// override; all bits set matches nothing.
struct OverrideCache {
    uint64_t type_tag = ~uint64_t{0};
    uint64_t obj_tag = ~uint64_t{0};
};
OverrideCache omit_cache;
OverrideCache omit_recurse_cache;

[[nodiscard]] uint64_t instance_dict_tag(PyObject* obj) noexcept
{
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    return dictptr != nullptr ? py311::dict_tag(*dictptr) : 0;
}

[[nodiscard]] bool is_own_entry(PyObject* attr, EntryFn entry) noexcept
{
    if (PyCFunction_Check(attr)) {
        return reinterpret_cast<PyCFunctionObject*>(attr)->m_ml->ml_meth ==
               reinterpret_cast<PyCFunction>(entry);
    }
    if (PyObject_TypeCheck(attr, &NativeFunctionType)) {
        return native_function_entry(attr) == entry;
    }
    return false;
}

// What differs between the override rules of the two walks.
struct Overridable {
    const Callable& row;        // name, entry, traceback name and line
    OverrideCache* cache;       // process-wide, touched with the GIL held
    PyTypeObject* result_type;  // an override must return exactly this
    const char* result_word;    // ... named so in the "Expected" message
};

const Overridable kOmitOverride = {kOmit, &omit_cache, &PyDict_Type, "dict"};
const Overridable kOmitRecurseOverride = {kOmitRecurse, &omit_recurse_cache, &PyList_Type, "list"};

// Only instances with an attribute dict, of heap (Python) subclasses or of
// abstract types can carry an override.
[[nodiscard]] inline bool may_override(PyTypeObject* tp) noexcept
{
    return tp->tp_dictoffset != 0 ||
           (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT));
}

// Runs a Python-level override of omit/omit_recurse if the object has one.
// 1: *result holds the override's result; 0: run the built-in walk;
// -1: failure, with its traceback entry added.
[[nodiscard]] int run_override(OmitterObject* self, PyObject* target, int do_hide, bool with_flag,
                               const Overridable& how, PyObject** result)
{
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    const uint64_t type_tag = py311::dict_tag(tp->tp_dict);
    const uint64_t obj_tag = instance_dict_tag(obj);
    if (how.cache->type_tag == type_tag && how.cache->obj_tag == obj_tag) {
        return 0;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(obj, row_text(how.row.name)));
    if (!attr) {
        fail(how.row, how.row.line);
        return -1;
    }
    if (is_own_entry(attr.get(), how.row.entry)) {
        if (py311::dict_tag(tp->tp_dict) == type_tag) {
            *how.cache = OverrideCache{type_tag, obj_tag};
        }
        else {
            *how.cache = OverrideCache{};
        }
        return 0;
    }
    PyObject* flag = do_hide ? Py_True : Py_False;
    const size_t n = with_flag ? 2 : 1;
    Ref res;
    if (PyMethod_Check(attr.get())) {
        // Call the function with the bound instance; no new bound method.
        // The method object (held) holds both.
        PyObject* args[3] = {PyMethod_GET_SELF(attr.get()), target, flag};
        res = Ref::steal(call_vector(PyMethod_GET_FUNCTION(attr.get()), args, n + 1));
    }
    else {
        PyObject* args[3] = {nullptr, target, flag};
        res = Ref::steal(call_vector(attr.get(), args + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET));
    }
    if (!res) {
        fail(how.row, how.row.line);
        return -1;
    }
    if (res.get() != Py_None && Py_TYPE(res.get()) != how.result_type) {
        raise_expected(how.result_word, res.get());
        fail(how.row, how.row.line);
        return -1;
    }
    *result = res.release();
    return 1;
}

// --- the walks --------------------------------------------------------------

// Numbers stay.  bool is tested with the general instance test, which
// honours __class__; exact built-in types cannot lie about their class, so
// they skip the attribute lookup.  1/0, or -1 on error.
[[nodiscard]] int is_number(PyObject* v)
{
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyDict_Type || t == &PyList_Type || t == Py_TYPE(Py_None) ||
        t == &PyTuple_Type || t == &PyBytes_Type) {
        return 0;
    }
    if (t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type) {
        return 1;
    }
    const int is_bool = PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyBool_Type));
    if (is_bool != 0) {
        return is_bool;
    }
    return PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v);
}

// A key of a masked or walked value must be exactly str, or None.
[[nodiscard]] bool check_key(PyObject* key)
{
    if (key == Py_None || PyUnicode_CheckExact(key)) {
        return true;
    }
    raise_expected("unicode", key);
    return false;
}

// Asks the object's own rule; -1 when it failed.
[[nodiscard]] int ask(OmitterObject* self, PyObject* key)
{
    const int h = self->ops->should_hide(self, key);
    return PyErr_Occurred() ? -1 : h;
}

[[gnu::cold, gnu::noinline]] PyObject* size_changed(const Callable& row, const char* what,
                                                    int line)
{
    PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
    return fail(row, line);
}

[[gnu::cold, gnu::noinline]] PyObject* none_target(PyObject* type, const char* message,
                                                   const Callable& row, int line)
{
    PyErr_SetString(type, message);
    return fail(row, line);
}

// Fails with `word`'s "Expected" message unless `value` is exactly `type`.
[[nodiscard]] inline bool is_exact(PyObject* value, PyTypeObject* type, const char* word)
{
    if (Py_IS_TYPE(value, type)) {
        return true;
    }
    raise_expected(word, value);
    return false;
}

}  // namespace

PyObject* walk_dict(OmitterObject* self, PyObject* target, int skip_override)
{
    RecursionGuard guard(kNestedWhere);
    if (!guard.ok()) {
        return fail(kOmit, kOmitDef);
    }
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* result = nullptr;
        const int r = run_override(self, target, 1, false, kOmitOverride, &result);
        if (r != 0) {
            return result;
        }
    }
    if (target == Py_None) {
        return none_target(PyExc_AttributeError, "'NoneType' object has no attribute 'items'",
                           kOmit, kOmitNone);
    }
    const Py_ssize_t size = PyDict_GET_SIZE(target);
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    for (;;) {
        if (PyDict_GET_SIZE(target) != size) {
            return size_changed(kOmit, "dictionary", kOmitNone);
        }
        if (!PyDict_Next(target, &pos, &k, &v)) {
            break;
        }
        const uint64_t fetched_tag = py311::dict_tag(target);
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        const int number = is_number(v);
        if (number != 0) {
            if (number < 0) {
                return fail(kOmit, kOmitNumber);
            }
            continue;
        }
        Ref result;
        int line;
        if (PyUnicode_Check(v)) {
            if (!check_key(k)) {
                return fail(kOmit, kOmitStrKey);
            }
            const int h = ask(self, k);
            if (h <= 0) {
                if (h < 0) {
                    return fail(kOmit, kOmitStrKey);
                }
                continue;
            }
            line = kOmitStrStore;
            if (!is_exact(v, &PyUnicode_Type, "unicode")) {
                return fail(kOmit, line);
            }
            result = Ref::steal(hide_impl(v));
        }
        else if (PyDict_Check(v)) {
            line = kOmitDict;
            if (!is_exact(v, &PyDict_Type, "dict")) {
                return fail(kOmit, line);
            }
            result = Ref::steal(self->ops->omit(self, v, 0));
        }
        else if (PyList_Check(v)) {
            if (!check_key(k)) {
                return fail(kOmit, kOmitListKey);
            }
            const int h = ask(self, k);
            if (h < 0) {
                return fail(kOmit, kOmitListKey);
            }
            line = kOmitList;
            if (!is_exact(v, &PyList_Type, "list")) {
                return fail(kOmit, line);
            }
            result = Ref::steal(self->ops->omit_recurse(self, v, 0, h));
        }
        else {
            continue;
        }
        if (!result) {
            return fail(kOmit, line);
        }
        // Storing the same value back into an unchanged dict whose keys are
        // all exact str changes nothing and runs no key's __eq__: skip it.
        if (result.get() == v && py311::dict_tag(target) == fetched_tag &&
            py311::has_only_exact_str_keys(target)) {
            continue;
        }
        if (PyDict_SetItem(target, k, result.get()) < 0) {
            return fail(kOmit, line);
        }
    }
    return Py_NewRef(target);
}

PyObject* walk_list(OmitterObject* self, PyObject* target, int skip_override, int do_hide)
{
    RecursionGuard guard(kNestedWhere);
    if (!guard.ok()) {
        return fail(kOmitRecurse, kRecurseDef);
    }
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* result = nullptr;
        const int r = run_override(self, target, do_hide, true, kOmitRecurseOverride, &result);
        if (r != 0) {
            return result;
        }
    }
    if (target == Py_None) {
        return none_target(PyExc_TypeError, "object of type 'NoneType' has no len()", kOmitRecurse,
                           kRecurseNone);
    }
    const Py_ssize_t n = PyList_GET_SIZE(target);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Python code run by an earlier element may have shortened the list.
        if (i >= PyList_GET_SIZE(target)) {
            return size_changed(kOmitRecurse, "list", kRecurseRead);
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(target, i));
        PyObject* t = item.get();
        Ref result;
        int line;
        if (PyDict_Check(t)) {
            line = kRecurseDict;
            if (!is_exact(t, &PyDict_Type, "dict")) {
                return fail(kOmitRecurse, line);
            }
            result = Ref::steal(self->ops->omit(self, t, 0));
        }
        else if (PyList_Check(t)) {
            line = kRecurseList;
            if (!is_exact(t, &PyList_Type, "list")) {
                return fail(kOmitRecurse, line);
            }
            result = Ref::steal(self->ops->omit_recurse(self, t, 0, do_hide));
        }
        else if (do_hide && PyUnicode_Check(t)) {
            line = kRecurseStr;
            if (!is_exact(t, &PyUnicode_Type, "unicode")) {
                return fail(kOmitRecurse, line);
            }
            result = Ref::steal(hide_impl(t));
        }
        else {
            continue;
        }
        if (!result) {
            return fail(kOmitRecurse, line);
        }
        if (i >= PyList_GET_SIZE(target)) {
            return size_changed(kOmitRecurse, "list", line);
        }
        // Python code may have replaced the element meanwhile: the result is
        // stored all the same, unless the slot already holds it.
        PyObject* old = PyList_GET_ITEM(target, i);
        if (old == result.get()) {
            continue;
        }
        // Store first, then release the old element: its finaliser may run
        // Python code that looks at the list.
        PyList_SET_ITEM(target, i, result.release());
        Py_DECREF(old);
    }
    return Py_NewRef(target);
}

// --- Python-level entries ---------------------------------------------------

namespace {

PyObject* entry_omit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!check_instance(self, &OmitterType, kOmit.name)) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(kOmit, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = walk_dict(reinterpret_cast<OmitterObject*>(self), b.obj[0], 1);
    return r != nullptr ? r : fail(kOmit, kOmitDef);
}

PyObject* entry_omit_recurse(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    if (!check_instance(self, &OmitterType, kOmitRecurse.name)) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(kOmitRecurse, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = walk_list(reinterpret_cast<OmitterObject*>(self), b.obj[0], 1, b.truth[1]);
    return r != nullptr ? r : fail(kOmitRecurse, kRecurseDef);
}

constexpr const Callable* kRows[] = {&kOmit, &kOmitRecurse};

}  // namespace

constexpr CallableTable walk_callables = table_of(kRows);

}  // namespace zentrove::omit
