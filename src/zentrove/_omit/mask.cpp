// The masking rule, `hide`: a string becomes a run of "*" of its length.
// The walks call hide_impl directly; Python code calls the module function.
#include "binding.h"

#include "_common/mask.h"

namespace zentrove::omit {

namespace {

PyObject* entry_hide(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

enum HideLine : int {
    kHideDef = 8,
    kHideNone = 10,
    kHideRepeat = 11,
};

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kHide = {
    "hide", "hide", "zentrove.omit.hide", kFileOmit, kHideDef,
    Owner::Module, CallKind::Fast, entry_hide, 1, 1,
    {{"target", Kind::ExactStr, Default::None}}, {},
};
// clang-format on

[[gnu::cold, gnu::noinline]] PyObject* hide_none()
{
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return fail(kHide, kHideNone);
}

PyObject* entry_hide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Bound b;
    if (bind_fast(kHide, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* r = hide_impl(b.obj[0]);
    return r != nullptr ? r : fail(kHide, kHideDef);
}

constexpr const Callable* kRows[] = {&kHide};

}  // namespace

constexpr CallableTable mask_callables = table_of(kRows);

PyObject* hide_impl(PyObject* target)
{
    if (target == Py_None) {
        return hide_none();
    }
    if (PyUnicode_READY(target) < 0) {
        return fail(kHide, kHideRepeat);
    }
    // The mask of one code point is the mask string itself, as repeating a
    // one-character string once gives; longer masks are filled in one pass.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(target);
    PyObject* masked = length == 1 ? Py_NewRef(g.mask) : star_mask(length);
    return masked != nullptr ? masked : fail(kHide, kHideRepeat);
}

}  // namespace zentrove::omit
