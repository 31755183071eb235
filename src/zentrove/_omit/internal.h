// What the translation units of zentrove.omit share: the string constants,
// the process-wide state, the redactor object layout with its table of
// virtual operations, and the functions one file offers the others.
#pragma once

#include "_common/cpython311.h"
#include "_common/guards.h"
#include "_common/ref.h"

#include <cstdint>

namespace zentrove::omit {

// ---------------------------------------------------------------------------
// String constants that are not texts of a callable's row, created at
// start-up in this order.  Interned: identifiers; plain: messages.
#define ZT_STRINGS(X)                                                      \
    X(reduce_cython, "__reduce_cython__", Interned)                        \
    X(setstate_cython, "__setstate_cython__", Interned)                    \
    X(Omitter, "Omitter", Interned)                                        \
    X(NoTrustOmitter, "NoTrustOmitter", Interned)                          \
    X(module_name, "zentrove.omit", Interned)                              \
    X(main, "__main__", Interned)                                          \
    X(dunder_name, "__name__", Interned)                                   \
    X(dunder_test, "__test__", Interned)                                   \
    X(dunder_dict, "__dict__", Interned)                                   \
    X(dunder_new, "__new__", Interned)                                     \
    X(dunder_getstate, "__getstate__", Interned)                           \
    X(dunder_reduce_ex, "__reduce_ex__", Interned)                         \
    X(dunder_reduce, "__reduce__", Interned)                               \
    X(dunder_setstate, "__setstate__", Interned)                           \
    X(pyx_vtable, "__pyx_vtable__", Interned)                              \
    X(update, "update", Interned)                                          \
    X(pickle, "pickle", Interned)                                          \
    X(PickleError, "PickleError", Interned)                                \
    X(checksum_msg_Omitter,                                                \
      "Incompatible checksums (0x%x vs (0xf72771a, 0x676fd74, 0x1022349) " \
      "= (omissions))",                                                    \
      Plain)                                                               \
    X(checksum_msg_NoTrustOmitter,                                         \
      "Incompatible checksums (0x%x vs (0x63752f2, 0x7c505b1, 0x6e28aab) " \
      "= (omissions, trusted))",                                           \
      Plain)

// The ids of the string constants above, indices of g.strings.
enum class StrId : int {
#define ZT_STRING_ID(id, text, kind) id,
    ZT_STRINGS(ZT_STRING_ID)
#undef ZT_STRING_ID
        count
};

// Source file names of code objects and traceback entries.
inline constexpr const char kFileOmit[] = "src/zentrove/omit";
inline constexpr const char kFileStringsource[] = "<stringsource>";

// ---------------------------------------------------------------------------
// Process-wide state.  Everything is created by start-up and owned by the
// module for the life of the process; all of it is touched with the GIL held.
struct Globals {
    PyObject* module;       // owned: the initialised module, or NULL
    PyObject* module_dict;  // borrowed from module (kept alive by it)
    int64_t main_interpreter;
    PyObject* empty_tuple;                              // owned
    PyObject* empty_bytes;                              // owned
    PyObject* builtins;                                 // owned: the builtins module
    PyObject* strings[static_cast<int>(StrId::count)];  // owned
    PyObject* one;  // owned int 1: the default of omit_recurse's do
    // Owned tuples of the layout checksums that a reconstructor accepts; the
    // first one is also the one that reduce writes.
    PyObject* omitter_checksums;
    PyObject* no_trust_checksums;
    // Module-private state of the masking rule and the global key lists.
    PyObject* mask;              // owned: "*"
    PyObject* global_omissions;  // owned list
    PyObject* global_trusted;    // owned list
};
extern Globals g;

[[nodiscard]] inline PyObject* str(StrId id) noexcept
{
    return g.strings[static_cast<int>(id)];
}

// Calls `callable` with a fast-call argument vector and no keywords.  A
// callee that returns NULL without an exception gives SystemError "NULL
// result without error in PyObject_Call".
[[nodiscard]] PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf);

// ---------------------------------------------------------------------------
// Redactor objects.  The table pointer comes right after the object header;
// walks reach should_hide/omit/omit_recurse through it, never by lookup.
struct OmitterObject;

struct OmitterOps {
    // 1 hide / 0 keep; 0 with an exception pending on failure.
    int (*should_hide)(OmitterObject* self, PyObject* key);
    // New reference to a dict (or None), NULL on failure.
    PyObject* (*omit)(OmitterObject* self, PyObject* target, int skip_override);
    // New reference to a list (or None), NULL on failure.
    PyObject* (*omit_recurse)(OmitterObject* self, PyObject* target, int skip_override,
                              int do_hide);
};

struct OmitterObject {
    PyObject_HEAD const OmitterOps* ops;  // the table of the module type; set at allocation
    PyObject* omissions;                  // owned: the deny-list, a list or None
};

struct NoTrustOmitterObject {
    OmitterObject base;
    PyObject* trusted;  // owned: the allow-list, a list or None
};

extern PyTypeObject OmitterType;
extern PyTypeObject NoTrustOmitterType;
extern PyTypeObject NativeFunctionType;
extern const OmitterOps omitter_ops;
extern const OmitterOps no_trust_ops;

// The walks (walk.cpp), shared by both tables.
[[nodiscard]] PyObject* walk_dict(OmitterObject* self, PyObject* target, int skip_override);
[[nodiscard]] PyObject* walk_list(OmitterObject* self, PyObject* target, int skip_override,
                                  int do_hide);

// Lifecycle slots of Omitter that NoTrustOmitter chains to.
[[nodiscard]] PyObject* omitter_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
int omitter_traverse(PyObject* o, visitproc visit, void* arg);
int omitter_clear(PyObject* o);
void omitter_dealloc(PyObject* o);
// Runs the type's finaliser first when the object is being deallocated by
// `own_dealloc` and was not finalised yet; true when it came back to life.
[[nodiscard]] bool resurrected_by_finalizer(PyObject* o, destructor own_dealloc);

// `key in keys` for a key list (a list, or None which fails): the
// interpreter's containment semantics with a fast path for exact str.
[[nodiscard]] int keys_contain(PyObject* keys, PyObject* key);

// The masking rule: a run of "*" as long as target; target is an exact str
// or None (None fails).  Called by the walks directly, without binding.
[[nodiscard]] PyObject* hide_impl(PyObject* target);

// Appends a synthetic frame (name, file, line) to the traceback of the
// pending exception.
void add_traceback_entry(const char* qualname, int line, const char* file);

// ---------------------------------------------------------------------------
// Python-level entries share the fast-call-with-keywords signature; `self`
// is the instance for methods and the module for module-level functions.
using EntryFn = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// Method tables of the two types: exactly the two pickling methods.
extern PyMethodDef omitter_methods[];
extern PyMethodDef no_trust_methods[];

// Type-level pickling set-up, run once per type right after readying.
[[nodiscard]] int prepare_pickling(PyTypeObject* type);

// ---------------------------------------------------------------------------
// Function objects.
struct Callable;

[[nodiscard]] PyObject* native_function_new(const Callable* row, PyObject* code,
                                            PyObject* defaults);
[[nodiscard]] int native_function_ready();
// Made once per row by start-up: the code object that introspection and
// traceback printing show for a function object (its parameters, the
// instance first for methods, then the body's locals); and the defaults of
// its optional parameters as __defaults__ reports them, NULL (no exception)
// when every parameter is required.
[[nodiscard]] PyObject* native_function_code(const Callable& row);
[[nodiscard]] PyObject* native_function_defaults(const Callable& row);
// The entry a NativeFunction calls (for the override rule's own-method test).
[[nodiscard]] EntryFn native_function_entry(PyObject* func) noexcept;

}  // namespace zentrove::omit
