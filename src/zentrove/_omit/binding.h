// The description of a callable (one constexpr row next to its body), the
// binders that read a call against it, and the binding messages.
#pragma once

#include "internal.h"

namespace zentrove::omit {

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
    const char* name;  // interned at start-up; keywords match it
    Kind kind;         // conversion or exact-type test
    Default dflt;      // value when an optional parameter is not given
};

inline constexpr int kMaxParams = 3;
inline constexpr int kMaxLocals = 3;

// How a function object passes a call on to its entry.
enum class CallKind : uint8_t {
    Fast,    // vectorcall with keywords; the entry binds
    NoArgs,  // the function object refuses any argument itself
};

// Where start-up binds the callable.  Methods take the instance first.
enum class Owner : uint8_t {
    Slot,  // a type slot (__init__): no function object
    Module,
    Omitter,
    NoTrustOmitter,
};

// Everything fixed about one callable: what binding checks, what its
// function object and code object show, and the name and file of its
// traceback entries.  Every text is interned (file names: made) at start-up.
struct Callable {
    const char* name;      // bare name: binding messages, __name__, co_name
    const char* qualname;  // __qualname__ and co_qualname
    const char* tb_name;   // qualified name of traceback entries
    const char* file;      // file of the code object and traceback entries
    int line;              // definition line
    Owner owner;
    CallKind kind;
    EntryFn entry;  // NULL for slots
    int nparams;    // parameters after the instance
    int nrequired;
    Param params[kMaxParams];
    const char* locals[kMaxLocals];  // the body's locals, for co_varnames
};

// One file's callables, in binding order; module.cpp joins the tables.
struct CallableTable {
    const Callable* const* rows;
    int count;
};

template <int N>
[[nodiscard]] constexpr CallableTable table_of(const Callable* const (&rows)[N]) noexcept
{
    return {rows, N};
}

extern const CallableTable mask_callables;
extern const CallableTable keys_callables;
extern const CallableTable walk_callables;
extern const CallableTable omitter_callables;
extern const CallableTable no_trust_callables;
extern const CallableTable pickling_callables;
extern const CallableTable unpickle_callables;

// Makes the string of a row's text once (start-up): interned for names,
// plain for file names.  0, or -1 with an exception.
[[nodiscard]] int add_text(const char* text, bool interned);
// The string object of a row's text, made by add_text (borrowed).
[[nodiscard]] PyObject* row_text(const char* text) noexcept;

// Bound values: borrowed objects, plus the converted truth/integer values.
struct Bound {
    PyObject* obj[kMaxParams];
    int truth[kMaxParams];
    long long num[kMaxParams];
};

// Binds a fast call (vector, count, keyword names) and runs the conversions
// and exact-type tests.  0 on success, -1 with an exception (and, for binding
// failures, a traceback entry at the definition line).
[[nodiscard]] int bind_fast(const Callable& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Bound& out);

// The same for an __init__ slot: argument tuple and keyword dict (or NULL).
[[nodiscard]] int bind_init(const Callable& sig, PyObject* args, PyObject* kwds, Bound& out);

[[gnu::cold]] void raise_arity_error(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                                     Py_ssize_t given);

// TypeError "Expected %s, got %.200s" for a typed value inside a body.
[[gnu::cold]] void raise_expected(const char* word, PyObject* obj);

// TypeError for a method called through its type with a foreign instance;
// false after raising.
[[nodiscard]] bool check_instance(PyObject* self, PyTypeObject* type, const char* method);

// Adds the traceback entry (tb_name, line, file) of a row; returns NULL, so
// that a body can `return fail(row, line)`.
[[gnu::cold]] PyObject* fail(const Callable& row, int line);

}  // namespace zentrove::omit
