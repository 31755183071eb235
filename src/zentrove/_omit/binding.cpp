// The binder: positional arguments, then keywords, then truth/integer
// conversions, then exact-type tests, all before a body runs.
//
// Design note.  A fast call reads its values in place from the caller's
// vector (borrowed, no tuple, no dict).  Keywords are matched first by
// identity against the interned parameter names, which settles every call
// compiled from Python source; equality is the slow path.  Only binding
// failures (counts, keywords, comparisons, conversions) add a traceback
// entry at the definition line; type tests add none.
#include "binding.h"

#include <cstring>

namespace zentrove::omit {

namespace {

[[nodiscard]] bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name);
[[nodiscard]] int as_truth_value(PyObject* obj);
[[nodiscard]] long long as_int64(PyObject* obj);
[[gnu::cold, gnu::noinline]] void raise_foreign_instance(PyObject* self, PyTypeObject* type,
                                                         const char* method);

[[nodiscard]] PyObject* param_name(const Callable& sig, Py_ssize_t i) noexcept
{
    return row_text(sig.params[i].name);
}

[[nodiscard]] PyObject* default_value(Default d) noexcept
{
    return d == Default::One ? g.one : Py_None;
}

// Code-point equality of two strings (no __eq__ of a subclass).  With
// use_hash, stored hashes that are both known must agree.  -1 on failure.
[[nodiscard]] int same_code_points(PyObject* a, PyObject* b, bool use_hash)
{
    if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) {
        return -1;
    }
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) {
        return 0;
    }
    if (use_hash) {
        const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
        const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
        if (ha != -1 && hb != -1 && ha != hb) {
            return 0;
        }
    }
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) {
        return 0;
    }
    if (len == 0) {
        return 1;
    }
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    if (PyUnicode_READ(kind, da, 0) != PyUnicode_READ(kind, db, 0)) {
        return 0;
    }
    return std::memcmp(da, db, static_cast<size_t>(len) * kind) == 0;
}

[[nodiscard]] int convert_and_check(const Callable& sig, Bound& out)
{
    // Conversions first (they count as binding), then the type tests.
    for (int i = 0; i < sig.nparams; ++i) {
        PyObject* v = out.obj[i];
        switch (sig.params[i].kind) {
        case Kind::Truth:
            out.truth[i] = as_truth_value(v);
            if (out.truth[i] < 0) {
                return -1;
            }
            break;
        case Kind::Int64:
            out.num[i] = as_int64(v);
            if (out.num[i] == -1 && PyErr_Occurred()) {
                return -1;
            }
            break;
        default: break;
        }
    }
    return 0;
}

[[nodiscard]] int check_types(const Callable& sig, const Bound& out)
{
    for (int i = 0; i < sig.nparams; ++i) {
        PyTypeObject* type = nullptr;
        switch (sig.params[i].kind) {
        case Kind::ExactList: type = &PyList_Type; break;
        case Kind::ExactDict: type = &PyDict_Type; break;
        case Kind::ExactStr: type = &PyUnicode_Type; break;
        default: continue;
        }
        if (!check_arg_type(out.obj[i], type, sig.params[i].name)) {
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] int binding_failed(const Callable& sig)
{
    fail(sig, sig.line);
    return -1;
}

}  // namespace

[[gnu::cold, gnu::noinline]] void raise_arity_error(const char* name, bool exact, Py_ssize_t min,
                                                    Py_ssize_t max, Py_ssize_t given)
{
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    }
    else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) {
        more_or_less = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

namespace {

// The value bound to `name` among the keywords, or NULL (check
// PyErr_Occurred: a failing comparison leaves its exception pending).
[[nodiscard]] PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        int eq;
        if (PyUnicode_CheckExact(key)) {
            eq = same_code_points(key, name, true);
        }
        else {
            Ref res = Ref::steal(PyObject_RichCompare(name, key, Py_EQ));
            if (!res) {
                return nullptr;
            }
            eq = res.get() == Py_True ? 1 : res.get() == Py_False ? 0 : PyObject_IsTrue(res.get());
        }
        if (eq < 0) {
            return nullptr;
        }
        if (eq) {
            return kwvalues[i];
        }
    }
    return nullptr;
}

// Matches one keyword; 0 when stored, -1 with TypeError otherwise.
[[nodiscard]] int match_keyword(const Callable& sig, PyObject* key, PyObject* value, Bound& out,
                                Py_ssize_t npos)
{
    for (Py_ssize_t j = npos; j < sig.nparams; ++j) {
        if (key == param_name(sig, j)) {
            out.obj[j] = value;
            return 0;
        }
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        return -1;
    }
    for (Py_ssize_t j = npos; j < sig.nparams; ++j) {
        const int eq = same_code_points(key, param_name(sig, j), false);
        if (eq < 0) {
            return -1;
        }
        if (eq) {
            out.obj[j] = value;
            return 0;
        }
    }
    for (Py_ssize_t j = 0; j < npos; ++j) {
        PyObject* name = param_name(sig, j);
        int eq = key == name ? 1 : same_code_points(key, name, false);
        if (eq < 0) {
            return -1;
        }
        if (eq) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return -1;
}

// Matches every keyword against the parameters from index npos on; reports
// the first offending one.  Either kwnames/kwvalues or kwdict is given.
[[nodiscard]] int parse_keywords(const Callable& sig, PyObject* kwnames, PyObject* const* kwvalues,
                                 PyObject* kwdict, Bound& out, Py_ssize_t npos)
{
    if (kwdict != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwdict, &pos, &key, &value)) {
            if (match_keyword(sig, key, value, out, npos) < 0) {
                return -1;
            }
        }
        return 0;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (match_keyword(sig, PyTuple_GET_ITEM(kwnames, i), kwvalues[i], out, npos) < 0) {
            return -1;
        }
    }
    return 0;
}

// Binds parameters nargs..n-1 by name: a required one is always searched, an
// optional one only while keywords remain unbound.  `lookup(name)` gives the
// value, or NULL (with an exception pending when the search failed).
template <typename Lookup>
[[nodiscard]] int bind_by_name(const Callable& sig, Py_ssize_t nargs, Py_ssize_t& remaining,
                               Bound& out, Lookup lookup)
{
    const Py_ssize_t n = sig.nparams;
    const Py_ssize_t r = sig.nrequired;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (i < r || remaining > 0) {
            PyObject* v = lookup(param_name(sig, i));
            if (v != nullptr) {
                out.obj[i] = v;
                --remaining;
                continue;
            }
            if (PyErr_Occurred()) {
                return binding_failed(sig);
            }
            if (i < r) {
                // The count is the index of the missing parameter.
                raise_arity_error(sig.name, r == n, r, n, i);
                return binding_failed(sig);
            }
        }
        out.obj[i] = default_value(sig.params[i].dflt);
    }
    return 0;
}

// The common end of both binders: keywords not matched by name, then the
// conversions, then the exact-type tests.
[[nodiscard]] int finish_binding(const Callable& sig, PyObject* kwnames, PyObject* const* kwvalues,
                                 PyObject* kwdict, Py_ssize_t remaining, Py_ssize_t nargs,
                                 Bound& out)
{
    if (remaining > 0 && parse_keywords(sig, kwnames, kwvalues, kwdict, out, nargs) < 0) {
        return binding_failed(sig);
    }
    if (convert_and_check(sig, out) < 0) {
        return binding_failed(sig);
    }
    return check_types(sig, out);
}

// The positional count test; without keywords a missing argument fails
// here too.
[[nodiscard]] int check_count(const Callable& sig, Py_ssize_t nargs, bool has_keywords)
{
    const Py_ssize_t n = sig.nparams;
    const Py_ssize_t r = sig.nrequired;
    if (nargs > n || (!has_keywords && nargs < r)) {
        raise_arity_error(sig.name, r == n, r, n, nargs);
        return binding_failed(sig);
    }
    return 0;
}

}  // namespace

int bind_fast(const Callable& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              Bound& out)
{
    if (check_count(sig, nargs, kwnames != nullptr) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out.obj[i] = args[i];
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t remaining = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (kwnames == nullptr) {
        // Every required parameter came by position.
        for (Py_ssize_t i = nargs; i < sig.nparams; ++i) {
            out.obj[i] = default_value(sig.params[i].dflt);
        }
    }
    else if (bind_by_name(sig, nargs, remaining, out, [&](PyObject* name) {
                 return find_keyword(kwnames, kwvalues, name);
             }) < 0) {
        return -1;
    }
    return finish_binding(sig, kwnames, kwvalues, nullptr, remaining, nargs, out);
}

int bind_init(const Callable& sig, PyObject* args, PyObject* kwds, Bound& out)
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (check_count(sig, nargs, kwds != nullptr) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out.obj[i] = PyTuple_GET_ITEM(args, i);
    }
    Py_ssize_t remaining = kwds != nullptr ? PyDict_GET_SIZE(kwds) : 0;
    // One dict lookup per name, with the interned name's stored hash; the
    // dict's own key equality decides.
    if (bind_by_name(sig, nargs, remaining, out, [&](PyObject* name) {
            return kwds != nullptr ? PyDict_GetItemWithError(kwds, name) : nullptr;
        }) < 0) {
        return -1;
    }
    return finish_binding(sig, nullptr, nullptr, kwds, remaining, nargs, out);
}

namespace {

[[gnu::cold, gnu::noinline]] void raise_arg_type(PyObject* obj, PyTypeObject* type,
                                                 const char* name)
{
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, "
                 "got %.200s)",
                 name, type->tp_name, Py_TYPE(obj)->tp_name);
}

bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name)
{
    if (obj == Py_None || Py_TYPE(obj) == type) {
        return true;
    }
    raise_arg_type(obj, type, name);
    return false;
}

int as_truth_value(PyObject* obj)
{
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(obj);
}

long long as_int64(PyObject* obj)
{
    if (PyLong_Check(obj)) {
        return PyLong_AsLong(obj);
    }
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref res = Ref::steal(nb->nb_int(obj));
    if (!res) {
        return -1;
    }
    PyTypeObject* rt = Py_TYPE(res.get());
    if (rt != &PyLong_Type) {
        if (!PyLong_Check(res.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         rt->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to "
                             "return an instance of a strict subclass of int is "
                             "deprecated, and may be removed in a future version of "
                             "Python.",
                             rt->tp_name) < 0) {
            return -1;
        }
    }
    return PyLong_AsLong(res.get());
}

}  // namespace

[[gnu::cold, gnu::noinline]] void raise_expected(const char* word, PyObject* obj)
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", word, Py_TYPE(obj)->tp_name);
}

PyObject* fail(const Callable& row, int line)
{
    add_traceback_entry(row.tb_name, line, row.file);
    return nullptr;
}

bool check_instance(PyObject* self, PyTypeObject* type, const char* method)
{
    if (PyObject_TypeCheck(self, type)) {
        return true;
    }
    raise_foreign_instance(self, type, method);
    return false;
}

namespace {

[[gnu::cold, gnu::noinline]] void raise_foreign_instance(PyObject* self, PyTypeObject* type,
                                                         const char* method)
{
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%s' for '%.100s' objects doesn't apply to a "
                 "'%.100s' object",
                 method, type->tp_name, Py_TYPE(self)->tp_name);
}

}  // namespace

}  // namespace zentrove::omit
