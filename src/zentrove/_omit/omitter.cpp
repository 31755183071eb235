// Omitter: the deny-list redactor, its lifecycle, and the two in-place walks
// (dict and list) that NoTrustOmitter inherits through its table.
//
// Design note.  The walks branch on a value's subclass flags and then demand
// the exact type, so a dict or list subclass always fails and a str subclass
// fails only where it would be masked.  Every key and value is held by a
// strong reference while Python code may run (key equality, overrides,
// finalisers of replaced values), because that code may change the container
// under the walk: the dict walk compares the entry count before every fetch,
// the list walk re-reads its length before every read and store and fails
// rather than touching a slot past the end.  Nesting goes through the
// interpreter's recursion check, so deep or self-containing data raises
// RecursionError instead of exhausting the C stack.
#include "binding.h"

#include <cstring>

namespace zt {

OmitterOps omitter_ops;

namespace {

constexpr const char kInit[] = "zentrove.omit.Omitter.__init__";
constexpr const char kShouldHide[] = "zentrove.omit.Omitter.should_hide";
constexpr const char kOmit[] = "zentrove.omit.Omitter.omit";
constexpr const char kOmitRecurse[] = "zentrove.omit.Omitter.omit_recurse";
constexpr const char kRecursionWhere[] = " while redacting nested data";

constexpr Signature kInitSig = {
    "__init__", kInit, kFileOmit, 38, 1, 0,
    {{S::omissions, Kind::ExactList, Default::None}},
};
constexpr Signature kOmitSig = {
    "omit", kOmit, kFileOmit, 46, 1, 1,
    {{S::target, Kind::ExactDict, Default::None}},
};
constexpr Signature kOmitRecurseSig = {
    "omit_recurse", kOmitRecurse, kFileOmit, 62, 2, 1,
    {{S::target, Kind::ExactList, Default::None},
     {S::do_, Kind::Truth, Default::One}},
};

// Lines of the statements of the dict walk and the list walk.
enum Line : int {
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

// Adds the entry and returns NULL, for `return fail(...)`.
PyObject* fail(const char* name, int line)
{
    add_traceback_entry(name, line, kFileOmit);
    return nullptr;
}

// --- key containment --------------------------------------------------------

// Equality of two exact str objects, as str.__eq__ decides it.
[[nodiscard]] inline bool exact_str_equal(PyObject* a, PyObject* b) noexcept
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) {
        return false;
    }
    const int kind = PyUnicode_KIND(a);
    return kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(len) * kind) == 0;
}

// The interpreter's containment from index i on: holds the list and each
// element while a comparison runs (it may run Python code that changes
// either), and re-reads the length every step as list.__contains__ does.
[[nodiscard]] int contain_generic(PyObject* keys, PyObject* key, Py_ssize_t i)
{
    const bool key_is_str =
        PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key);
    Ref hold = Ref::borrow(keys);
    for (; i < PyList_GET_SIZE(keys); ++i) {
        PyObject* item = PyList_GET_ITEM(keys, i);
        if (item == key) {
            return 1;
        }
        if (PyUnicode_CheckExact(item) && PyUnicode_IS_READY(item)) {
            if (key_is_str) {
                if (exact_str_equal(item, key)) {
                    return 1;
                }
                continue;
            }
            if (key == Py_None) {
                continue;  // str and None never compare equal
            }
        }
        Py_INCREF(item);
        const int eq = PyObject_RichCompareBool(item, key, Py_EQ);
        Py_DECREF(item);
        if (eq != 0) {
            return eq;
        }
    }
    return 0;
}

}  // namespace

// `key in keys` with the interpreter's semantics (identity or equality, in
// list order).  An exact str key against exact str elements compares in
// place and runs no Python code, so that loop reads the list once; the
// first other element hands over to the generic scan.  1/0, or -1.
[[nodiscard]] int keys_contain(PyObject* keys, PyObject* key)
{
    if (!PyList_CheckExact(keys)) {
        return PySequence_Contains(keys, key);
    }
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_READY(key)) {
        return contain_generic(keys, key, 0);
    }
    PyObject* const* items = reinterpret_cast<PyListObject*>(keys)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (item == key) {
            return 1;
        }
        if (!Py_IS_TYPE(item, &PyUnicode_Type) || !PyUnicode_IS_READY(item)) {
            return contain_generic(keys, key, i);
        }
        if (exact_str_equal(item, key)) {
            return 1;
        }
    }
    return 0;
}

namespace {

int should_hide(OmitterObject* self, PyObject* key)
{
    const int found = keys_contain(self->omissions, key);
    if (found < 0) {
        add_traceback_entry(kShouldHide, 44, kFileOmit);
        return 0;
    }
    return found;
}

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
    return dictptr != nullptr ? dict_tag(*dictptr) : 0;
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

struct OverrideSpec {
    S name;
    EntryFn entry;
    OverrideCache* cache;
    const char* tb_name;
    int line;
    PyTypeObject* result_type;
    const char* result_word;
};

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
[[nodiscard]] int run_override(OmitterObject* self, PyObject* target,
                               int do_hide, bool with_flag,
                               const OverrideSpec& spec, PyObject** result)
{
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    const uint64_t type_tag = dict_tag(tp->tp_dict);
    const uint64_t obj_tag = instance_dict_tag(obj);
    if (spec.cache->type_tag == type_tag && spec.cache->obj_tag == obj_tag) {
        return 0;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(obj, str(spec.name)));
    if (!attr) {
        fail(spec.tb_name, spec.line);
        return -1;
    }
    if (is_own_entry(attr.get(), spec.entry)) {
        if (dict_tag(tp->tp_dict) == type_tag) {
            *spec.cache = OverrideCache{type_tag, obj_tag};
        }
        else {
            *spec.cache = OverrideCache{};
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
        res = Ref::steal(call_vector(PyMethod_GET_FUNCTION(attr.get()), args,
                                     n + 1));
    }
    else {
        PyObject* args[3] = {nullptr, target, flag};
        res = Ref::steal(call_vector(attr.get(), args + 1,
                                     n | PY_VECTORCALL_ARGUMENTS_OFFSET));
    }
    if (!res) {
        fail(spec.tb_name, spec.line);
        return -1;
    }
    if (res.get() != Py_None && Py_TYPE(res.get()) != spec.result_type) {
        raise_expected(spec.result_word, res.get());
        fail(spec.tb_name, spec.line);
        return -1;
    }
    *result = res.release();
    return 1;
}

const OverrideSpec kOmitOverride = {
    S::omit, entry_omit, &omit_cache, kOmit, kOmitDef, &PyDict_Type, "dict",
};
const OverrideSpec kOmitRecurseOverride = {
    S::omit_recurse, entry_omit_recurse, &omit_recurse_cache, kOmitRecurse,
    kRecurseDef,     &PyList_Type,       "list",
};

// --- the walks --------------------------------------------------------------

// Numbers stay.  bool is tested with the general instance test, which
// honours __class__; exact built-in types cannot lie about their class, so
// they skip the attribute lookup.  1/0, or -1 on error.
[[nodiscard]] int is_number(PyObject* v)
{
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyDict_Type || t == &PyList_Type ||
        t == Py_TYPE(Py_None) || t == &PyTuple_Type || t == &PyBytes_Type) {
        return 0;
    }
    if (t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type) {
        return 1;
    }
    const int is_bool =
        PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyBool_Type));
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

}  // namespace

PyObject* omitter_omit(OmitterObject* self, PyObject* target,
                       int skip_override)
{
    RecursionGuard guard(kRecursionWhere);
    if (!guard.ok()) {
        return fail(kOmit, kOmitDef);
    }
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* result = nullptr;
        const int r = run_override(self, target, 1, false, kOmitOverride,
                                   &result);
        if (r != 0) {
            return result;
        }
    }
    if (target == Py_None) {
        PyErr_Format(PyExc_AttributeError,
                     "'NoneType' object has no attribute '%.30s'", "items");
        return fail(kOmit, kOmitNone);
    }
    const Py_ssize_t size = PyDict_GET_SIZE(target);
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    for (;;) {
        if (PyDict_GET_SIZE(target) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return fail(kOmit, kOmitNone);
        }
        if (!PyDict_Next(target, &pos, &k, &v)) {
            break;
        }
        const uint64_t fetched_tag = dict_tag(target);
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
            if (!PyUnicode_CheckExact(v)) {
                raise_expected("unicode", v);
                return fail(kOmit, line);
            }
            result = Ref::steal(hide_impl(v));
        }
        else if (PyDict_Check(v)) {
            line = kOmitDict;
            if (!PyDict_CheckExact(v)) {
                raise_expected("dict", v);
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
            if (!PyList_CheckExact(v)) {
                raise_expected("list", v);
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
        if (result.get() == v && dict_tag(target) == fetched_tag &&
            has_only_exact_str_keys(target)) {
            continue;
        }
        if (PyDict_SetItem(target, k, result.get()) < 0) {
            return fail(kOmit, line);
        }
    }
    return Py_NewRef(target);
}

PyObject* omitter_omit_recurse(OmitterObject* self, PyObject* target,
                               int skip_override, int do_hide)
{
    RecursionGuard guard(kRecursionWhere);
    if (!guard.ok()) {
        return fail(kOmitRecurse, kRecurseDef);
    }
    if (!skip_override && may_override(Py_TYPE(self))) {
        PyObject* result = nullptr;
        const int r = run_override(self, target, do_hide, true,
                                   kOmitRecurseOverride, &result);
        if (r != 0) {
            return result;
        }
    }
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "object of type 'NoneType' has no len()");
        return fail(kOmitRecurse, kRecurseNone);
    }
    const Py_ssize_t n = PyList_GET_SIZE(target);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Python code run by an earlier element may have shortened the list.
        if (i >= PyList_GET_SIZE(target)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "list changed size during iteration");
            return fail(kOmitRecurse, kRecurseRead);
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(target, i));
        PyObject* t = item.get();
        Ref result;
        int line;
        if (PyDict_Check(t)) {
            line = kRecurseDict;
            if (!PyDict_CheckExact(t)) {
                raise_expected("dict", t);
                return fail(kOmitRecurse, line);
            }
            result = Ref::steal(self->ops->omit(self, t, 0));
        }
        else if (PyList_Check(t)) {
            line = kRecurseList;
            if (!PyList_CheckExact(t)) {
                raise_expected("list", t);
                return fail(kOmitRecurse, line);
            }
            result = Ref::steal(self->ops->omit_recurse(self, t, 0, do_hide));
        }
        else if (do_hide && PyUnicode_Check(t)) {
            line = kRecurseStr;
            if (!PyUnicode_CheckExact(t)) {
                raise_expected("unicode", t);
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
            PyErr_SetString(PyExc_RuntimeError,
                            "list changed size during iteration");
            return fail(kOmitRecurse, line);
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

PyObject* entry_omit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames)
{
    if (!check_instance(self, &OmitterType, "omit")) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(kOmitSig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r =
        omitter_omit(reinterpret_cast<OmitterObject*>(self), b.obj[0], 1);
    return r != nullptr ? r : fail(kOmit, kOmitDef);
}

PyObject* entry_omit_recurse(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames)
{
    if (!check_instance(self, &OmitterType, "omit_recurse")) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(kOmitRecurseSig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = omitter_omit_recurse(reinterpret_cast<OmitterObject*>(self),
                                       b.obj[0], 1, b.truth[1]);
    return r != nullptr ? r : fail(kOmitRecurse, kRecurseDef);
}

// --- lifecycle --------------------------------------------------------------

PyObject* omitter_new(PyTypeObject* type, PyObject*, PyObject*)
{
    PyObject* o;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // object.__new__ refuses abstract classes with its own message.
        o = PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr);
    }
    else {
        o = type->tp_alloc(type, 0);
    }
    if (o == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<OmitterObject*>(o);
    self->ops = &omitter_ops;
    self->omissions = Py_NewRef(Py_None);
    return o;
}

namespace {

int omitter_init(PyObject* o, PyObject* args, PyObject* kwds)
{
    Bound b;
    if (bind_init(kInitSig, args, kwds, b) < 0) {
        return -1;
    }
    // Both lists are held: the copy's allocation may start the collector,
    // whose callbacks may reset the global list or empty a keyword dict.
    Ref given = Ref::borrow(b.obj[0] == Py_None ? g.global_omissions
                                                : b.obj[0]);
    Ref keys = Ref::steal(PyList_GetSlice(given.get(), 0, PY_SSIZE_T_MAX));
    if (!keys) {
        fail(kInit, 41);
        return -1;
    }
    Ref global = Ref::borrow(g.global_omissions);
    Ref extended = Ref::steal(_PyList_Extend(
        reinterpret_cast<PyListObject*>(keys.get()), global.get()));
    if (!extended) {
        fail(kInit, 41);
        return -1;
    }
    Py_XSETREF(reinterpret_cast<OmitterObject*>(o)->omissions,
               keys.release());
    return 0;
}

}  // namespace

int omitter_traverse(PyObject* o, visitproc visit, void* arg)
{
    Py_VISIT(reinterpret_cast<OmitterObject*>(o)->omissions);
    return 0;
}

int omitter_clear(PyObject* o)
{
    Py_XSETREF(reinterpret_cast<OmitterObject*>(o)->omissions,
               Py_NewRef(Py_None));
    return 0;
}

bool resurrected_by_finalizer(PyObject* o, destructor own_dealloc)
{
    PyTypeObject* tp = Py_TYPE(o);
    return tp->tp_finalize != nullptr && !PyObject_GC_IsFinalized(o) &&
           tp->tp_dealloc == own_dealloc &&
           PyObject_CallFinalizerFromDealloc(o) < 0;
}

void omitter_dealloc(PyObject* o)
{
    if (resurrected_by_finalizer(o, omitter_dealloc)) {
        return;
    }
    PyObject_GC_UnTrack(o);
    Py_CLEAR(reinterpret_cast<OmitterObject*>(o)->omissions);
    Py_TYPE(o)->tp_free(o);
}

void omitter_fill_ops(OmitterOps* ops) noexcept
{
    ops->should_hide = should_hide;
    ops->omit = omitter_omit;
    ops->omit_recurse = omitter_omit_recurse;
}

PyTypeObject OmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zentrove.omit.Omitter",
    .tp_basicsize = sizeof(OmitterObject),
    .tp_dealloc = omitter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = omitter_traverse,
    .tp_clear = omitter_clear,
    .tp_methods = omitter_methods,
    .tp_init = omitter_init,
    .tp_new = omitter_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace zt
