// The masking rule (`hide`) and the process-wide deny- and allow-lists with
// their module functions.  The lists are never handed out: readers get
// copies, and redactors copy them at construction.
#include "binding.h"

namespace zt {

namespace {

constexpr const char kHide[] = "zentrove.omit.hide";
constexpr const char kGloballyHidden[] = "zentrove.omit.globally_hidden";
constexpr const char kAlwaysOmit[] = "zentrove.omit.always_omit";
constexpr const char kGloballyTrusted[] = "zentrove.omit.globally_trusted";
constexpr const char kAlwaysTrust[] = "zentrove.omit.always_trust";
constexpr const char kResetOmissions[] = "zentrove.omit.reset_omissions";
constexpr const char kResetTrusted[] = "zentrove.omit.reset_trusted";

constexpr Signature kHideSig = {
    "hide", kHide, kFileOmit, 8, 1, 1,
    {{S::target, Kind::ExactStr, Default::None}},
};
constexpr Signature kAlwaysOmitSig = {
    "always_omit", kAlwaysOmit, kFileOmit, 16, 1, 1,
    {{S::targets, Kind::ExactList, Default::None}},
};
constexpr Signature kAlwaysTrustSig = {
    "always_trust", kAlwaysTrust, kFileOmit, 23, 1, 1,
    {{S::targets, Kind::ExactList, Default::None}},
};

// Lines of the statements of one global list's functions.
struct ListLines {
    const char* extend_name;
    int extend_def, extend_body;
    const char* copy_name;
    int copy_def, copy_body;
    const char* reset_name;
    int reset_def, reset_body;
};

constexpr ListLines kDenyLines = {kAlwaysOmit,     16, 18,
                                  kGloballyHidden, 13, 14,
                                  kResetOmissions, 27, 29};
constexpr ListLines kAllowLines = {kAlwaysTrust,     23, 25,
                                   kGloballyTrusted, 20, 21,
                                   kResetTrusted,    31, 33};

// Extends the list bound in `*slot` now, in place, as list.extend does; a
// list source is copied in one step, so on failure nothing was appended.
// The list is held while it grows, so no code that the interpreter runs
// meanwhile can free it.
[[nodiscard]] PyObject* extend_impl(PyObject** slot, PyObject* targets,
                                    const ListLines& lines)
{
    Ref list = Ref::borrow(*slot);
    Ref done = Ref::steal(_PyList_Extend(
        reinterpret_cast<PyListObject*>(list.get()), targets));
    if (!done) {
        add_traceback_entry(lines.extend_name, lines.extend_body, kFileOmit);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Binding may run Python code (a keyword's __eq__) that resets the list, so
// the global slot is read only once binding is done.
[[nodiscard]] PyObject* extend_entry(const Signature& sig, PyObject** slot,
                                     PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, const ListLines& lines)
{
    Bound b;
    if (bind_fast(sig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = extend_impl(slot, b.obj[0], lines);
    if (r == nullptr) {
        add_traceback_entry(lines.extend_name, lines.extend_def, kFileOmit);
    }
    return r;
}

// The copy is allocated before the elements are read, and the allocation
// may start the collector, whose callbacks may reset the list: hold it.
[[nodiscard]] PyObject* copy_entry(PyObject* global, const ListLines& lines)
{
    Ref list = Ref::borrow(global);
    PyObject* copy = PyList_GetSlice(list.get(), 0, PY_SSIZE_T_MAX);
    if (copy == nullptr) {
        add_traceback_entry(lines.copy_name, lines.copy_body, kFileOmit);
        add_traceback_entry(lines.copy_name, lines.copy_def, kFileOmit);
    }
    return copy;
}

[[nodiscard]] PyObject* reset_entry(PyObject** list, const ListLines& lines)
{
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        add_traceback_entry(lines.reset_name, lines.reset_body, kFileOmit);
        add_traceback_entry(lines.reset_name, lines.reset_def, kFileOmit);
        return nullptr;
    }
    // Bind the new list first: finalisers of the old elements already see
    // the empty one.  The slot is read after the allocation, which may have
    // run Python code.
    Py_SETREF(*list, fresh);
    Py_RETURN_NONE;
}

}  // namespace

PyObject* hide_impl(PyObject* target)
{
    if (target == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "object of type 'NoneType' has no len()");
        add_traceback_entry(kHide, 10, kFileOmit);
        return nullptr;
    }
    if (PyUnicode_READY(target) < 0) {
        add_traceback_entry(kHide, 11, kFileOmit);
        return nullptr;
    }
    // The repeat of a one-character string fills the result in one pass.
    PyObject* masked = PyUnicode_Type.tp_as_sequence->sq_repeat(
        g.ast, PyUnicode_GET_LENGTH(target));
    if (masked == nullptr) {
        add_traceback_entry(kHide, 11, kFileOmit);
    }
    return masked;
}

PyObject* entry_hide(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames)
{
    Bound b;
    if (bind_fast(kHideSig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = hide_impl(b.obj[0]);
    if (r == nullptr) {
        add_traceback_entry(kHide, 8, kFileOmit);
    }
    return r;
}

PyObject* entry_always_omit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    return extend_entry(kAlwaysOmitSig, &g.global_omissions, args, nargs,
                        kwnames, kDenyLines);
}

PyObject* entry_always_trust(PyObject*, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames)
{
    return extend_entry(kAlwaysTrustSig, &g.global_trusted, args, nargs,
                        kwnames, kAllowLines);
}

PyObject* entry_globally_hidden(PyObject*, PyObject* const*, Py_ssize_t,
                                PyObject*)
{
    return copy_entry(g.global_omissions, kDenyLines);
}

PyObject* entry_globally_trusted(PyObject*, PyObject* const*, Py_ssize_t,
                                 PyObject*)
{
    return copy_entry(g.global_trusted, kAllowLines);
}

PyObject* entry_reset_omissions(PyObject*, PyObject* const*, Py_ssize_t,
                                PyObject*)
{
    return reset_entry(&g.global_omissions, kDenyLines);
}

PyObject* entry_reset_trusted(PyObject*, PyObject* const*, Py_ssize_t,
                              PyObject*)
{
    return reset_entry(&g.global_trusted, kAllowLines);
}

}  // namespace zt
