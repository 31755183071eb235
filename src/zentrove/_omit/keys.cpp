// The key lists: the process-wide deny- and allow-lists with their module
// functions, and the containment test that every redactor's key decision
// runs.  The global lists are never handed out: readers get copies, and
// redactors copy them at construction.
#include "binding.h"

#include <cstring>

namespace zentrove::omit {

namespace {

// --- the global lists -------------------------------------------------------

PyObject* entry_always_omit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_always_trust(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_globally_hidden(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_globally_trusted(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_reset_omissions(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_reset_trusted(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kGloballyHidden = {
    "globally_hidden", "globally_hidden", "zentrove.omit.globally_hidden",
    kFileOmit, 13, Owner::Module, CallKind::NoArgs, entry_globally_hidden,
    0, 0, {}, {},
};
constexpr Callable kAlwaysOmit = {
    "always_omit", "always_omit", "zentrove.omit.always_omit", kFileOmit, 16,
    Owner::Module, CallKind::Fast, entry_always_omit, 1, 1,
    {{"targets", Kind::ExactList, Default::None}}, {},
};
constexpr Callable kGloballyTrusted = {
    "globally_trusted", "globally_trusted", "zentrove.omit.globally_trusted",
    kFileOmit, 20, Owner::Module, CallKind::NoArgs, entry_globally_trusted,
    0, 0, {}, {},
};
constexpr Callable kAlwaysTrust = {
    "always_trust", "always_trust", "zentrove.omit.always_trust", kFileOmit,
    23, Owner::Module, CallKind::Fast, entry_always_trust, 1, 1,
    {{"targets", Kind::ExactList, Default::None}}, {},
};
constexpr Callable kResetOmissions = {
    "reset_omissions", "reset_omissions", "zentrove.omit.reset_omissions",
    kFileOmit, 27, Owner::Module, CallKind::NoArgs, entry_reset_omissions,
    0, 0, {}, {},
};
constexpr Callable kResetTrusted = {
    "reset_trusted", "reset_trusted", "zentrove.omit.reset_trusted",
    kFileOmit, 31, Owner::Module, CallKind::NoArgs, entry_reset_trusted,
    0, 0, {}, {},
};
// clang-format on

// One global list: where it is bound, and the rows and body lines of its
// three functions.
struct GlobalList {
    PyObject** slot;
    const Callable& extend;
    int extend_body;
    const Callable& copy;
    int copy_body;
    const Callable& reset;
    int reset_body;
};

constexpr GlobalList kDenyList = {&g.global_omissions, kAlwaysOmit, 18, kGloballyHidden, 14,
                                  kResetOmissions,     29};
constexpr GlobalList kAllowList = {
    &g.global_trusted, kAlwaysTrust, 25, kGloballyTrusted, 21, kResetTrusted, 33};

// Extends the list bound now, in place, as list.extend does.  Binding may
// run Python code (a keyword's __eq__) that resets the list, so the slot is
// read once binding is done; a list source is copied in one step, so on
// failure nothing was appended.  The list is held while it grows.
[[nodiscard]] PyObject* extend_entry(const GlobalList& list, PyObject* const* args,
                                     Py_ssize_t nargs, PyObject* kwnames)
{
    Bound b;
    if (bind_fast(list.extend, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    Ref target = Ref::borrow(*list.slot);
    Ref done = Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(target.get()), b.obj[0]));
    if (!done) {
        fail(list.extend, list.extend_body);
        return fail(list.extend, list.extend.line);
    }
    Py_RETURN_NONE;
}

// The copy is allocated before the elements are read, and the allocation
// may start the collector, whose callbacks may reset the list: hold it.
[[nodiscard]] PyObject* copy_entry(const GlobalList& list)
{
    Ref held = Ref::borrow(*list.slot);
    PyObject* copy = PyList_GetSlice(held.get(), 0, PY_SSIZE_T_MAX);
    if (copy == nullptr) {
        fail(list.copy, list.copy_body);
        return fail(list.copy, list.copy.line);
    }
    return copy;
}

[[nodiscard]] PyObject* reset_entry(const GlobalList& list)
{
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        fail(list.reset, list.reset_body);
        return fail(list.reset, list.reset.line);
    }
    // Bind the new list first: finalisers of the old elements already see
    // the empty one.  The slot is read after the allocation, which may have
    // run Python code.
    Py_SETREF(*list.slot, fresh);
    Py_RETURN_NONE;
}

PyObject* entry_always_omit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return extend_entry(kDenyList, args, nargs, kwnames);
}

PyObject* entry_always_trust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return extend_entry(kAllowList, args, nargs, kwnames);
}

PyObject* entry_globally_hidden(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
{
    return copy_entry(kDenyList);
}

PyObject* entry_globally_trusted(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
{
    return copy_entry(kAllowList);
}

PyObject* entry_reset_omissions(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
{
    return reset_entry(kDenyList);
}

PyObject* entry_reset_trusted(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
{
    return reset_entry(kAllowList);
}

constexpr const Callable* kRows[] = {
    &kGloballyHidden, &kAlwaysOmit,     &kGloballyTrusted,
    &kAlwaysTrust,    &kResetOmissions, &kResetTrusted,
};

// --- containment ------------------------------------------------------------

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
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * kind) == 0;
}

// The interpreter's containment from index i on: holds the list and each
// element while a comparison runs (it may run Python code that changes
// either), and re-reads the length every step as list.__contains__ does.
[[nodiscard]] int contain_generic(PyObject* keys, PyObject* key, Py_ssize_t i)
{
    const bool key_is_str = PyUnicode_CheckExact(key) && PyUnicode_IS_READY(key);
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
        Ref held = Ref::borrow(item);
        const int eq = PyObject_RichCompareBool(item, key, Py_EQ);
        if (eq != 0) {
            return eq;
        }
    }
    return 0;
}

}  // namespace

constexpr CallableTable keys_callables = table_of(kRows);

// `key in keys` with the interpreter's semantics (identity or equality, in
// list order).  An exact str key against exact str elements compares in
// place and runs no Python code, so that loop reads the list once; the
// first other element hands over to the generic scan.  1/0, or -1.
int keys_contain(PyObject* keys, PyObject* key)
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

}  // namespace zentrove::omit
