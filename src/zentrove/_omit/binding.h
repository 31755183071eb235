// Argument binding shared by every entry of the module: signature tables,
// the fast-call and tuple-and-dict binders, conversions, exact-type tests and
// the binding messages.
#pragma once

#include "internal.h"

namespace zt {

enum class Kind : uint8_t {
    Object,     // any object, handed over as is
    ExactList,  // None or exactly list
    ExactDict,  // None or exactly dict
    ExactStr,   // None or exactly str
    Truth,      // any object, converted to 0/1
    Int64,      // int or anything with __int__, converted to int64
};

enum class Default : uint8_t {
    None,  // required, or defaults to None
    One,   // the integer 1
};

struct Param {
    S name;
    Kind kind;
    Default dflt;
};

inline constexpr int kMaxParams = 3;

// One callable as binding sees it; everything here is fixed at build time.
struct Signature {
    const char* name;      // bare name used in binding messages
    const char* tb_name;   // qualified name of traceback entries
    const char* file;      // file of traceback entries
    int line;              // definition line
    int nparams;
    int nrequired;
    Param params[kMaxParams];
};

// Bound values: borrowed objects, plus the converted truth/integer values.
struct Bound {
    PyObject* obj[kMaxParams];
    int truth[kMaxParams];
    long long num[kMaxParams];
};

// Binds a fast call (vector, count, keyword names) and runs the conversions
// and exact-type tests.  0 on success, -1 with an exception (and, for binding
// failures, a traceback entry at the definition line).
[[nodiscard]] int bind_fast(const Signature& sig, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, Bound& out);

// The same for an __init__ slot: argument tuple and keyword dict (or NULL).
[[nodiscard]] int bind_init(const Signature& sig, PyObject* args,
                            PyObject* kwds, Bound& out);

void raise_arity_error(const char* name, bool exact, Py_ssize_t min,
                       Py_ssize_t max, Py_ssize_t given);

// The value bound to `name` among the keywords, or NULL (check
// PyErr_Occurred: a failing comparison leaves its exception pending).
[[nodiscard]] PyObject* find_keyword(PyObject* kwnames,
                                     PyObject* const* kwvalues,
                                     PyObject* name);

// Matches every keyword against the parameters from index npos on; reports
// the first offending one.  Either kwnames/kwvalues or kwdict is given.
[[nodiscard]] int parse_keywords(const Signature& sig, PyObject* kwnames,
                                 PyObject* const* kwvalues, PyObject* kwdict,
                                 Bound& out, Py_ssize_t npos);

[[nodiscard]] bool check_arg_type(PyObject* obj, PyTypeObject* type,
                                  PyObject* name);
[[nodiscard]] int as_truth_value(PyObject* obj);
[[nodiscard]] long long as_int64(PyObject* obj);

// Raises exception class `type` with `value` as `raise type, value` would.
void raise_class_value(PyObject* type, PyObject* value);

}  // namespace zt
