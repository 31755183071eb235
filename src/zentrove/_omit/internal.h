// What the translation units of zentrove.omit share: the string constants,
// the process-wide state, the redactor object layout with its table of
// virtual operations, and the entry points that start-up binds.
#pragma once

#include "ref.h"  // src/zentrove/_common

#include <cstdint>

namespace zt {

// ---------------------------------------------------------------------------
// String constants, created once at start-up in this order.  I: interned
// identifier; P: plain string (not interned).  Both are hashed at once.
#define ZT_STRINGS(X)                                                        \
    X(hide, "hide", I)                                                       \
    X(globally_hidden, "globally_hidden", I)                                 \
    X(always_omit, "always_omit", I)                                         \
    X(globally_trusted, "globally_trusted", I)                               \
    X(always_trust, "always_trust", I)                                       \
    X(reset_omissions, "reset_omissions", I)                                 \
    X(reset_trusted, "reset_trusted", I)                                     \
    X(omit, "omit", I)                                                       \
    X(omit_recurse, "omit_recurse", I)                                       \
    X(reduce_cython, "__reduce_cython__", I)                                 \
    X(setstate_cython, "__setstate_cython__", I)                             \
    X(unpickle_Omitter, "__pyx_unpickle_Omitter", I)                         \
    X(unpickle_NoTrustOmitter, "__pyx_unpickle_NoTrustOmitter", I)           \
    X(q_Omitter_omit, "Omitter.omit", I)                                     \
    X(q_Omitter_omit_recurse, "Omitter.omit_recurse", I)                     \
    X(q_Omitter_reduce, "Omitter.__reduce_cython__", I)                      \
    X(q_Omitter_setstate, "Omitter.__setstate_cython__", I)                  \
    X(q_NoTrust_reduce, "NoTrustOmitter.__reduce_cython__", I)               \
    X(q_NoTrust_setstate, "NoTrustOmitter.__setstate_cython__", I)           \
    X(target, "target", I)                                                   \
    X(targets, "targets", I)                                                 \
    X(self, "self", I)                                                       \
    X(do_, "do", I)                                                          \
    X(omissions, "omissions", I)                                             \
    X(trusted, "trusted", I)                                                 \
    X(pyx_state, "__pyx_state", I)                                           \
    X(pyx_type, "__pyx_type", I)                                             \
    X(pyx_checksum, "__pyx_checksum", I)                                     \
    X(pyx_PickleError, "__pyx_PickleError", I)                               \
    X(pyx_result, "__pyx_result", I)                                         \
    X(state, "state", I)                                                     \
    X(dict_local, "_dict", I)                                                \
    X(use_setstate, "use_setstate", I)                                       \
    X(Omitter, "Omitter", I)                                                 \
    X(NoTrustOmitter, "NoTrustOmitter", I)                                   \
    X(module_name, "zentrove.omit", I)                                       \
    X(main, "__main__", I)                                                   \
    X(dunder_name, "__name__", I)                                            \
    X(dunder_loader, "__loader__", I)                                        \
    X(dunder_file, "__file__", I)                                            \
    X(dunder_package, "__package__", I)                                      \
    X(dunder_path, "__path__", I)                                            \
    X(dunder_builtins, "__builtins__", I)                                    \
    X(dunder_test, "__test__", I)                                            \
    X(dunder_dict, "__dict__", I)                                            \
    X(dunder_new, "__new__", I)                                              \
    X(dunder_getstate, "__getstate__", I)                                    \
    X(dunder_reduce_ex, "__reduce_ex__", I)                                  \
    X(dunder_reduce, "__reduce__", I)                                        \
    X(dunder_setstate, "__setstate__", I)                                    \
    X(pyx_vtable, "__pyx_vtable__", I)                                       \
    X(spec_name, "name", I)                                                  \
    X(spec_loader, "loader", I)                                              \
    X(spec_origin, "origin", I)                                              \
    X(spec_parent, "parent", I)                                              \
    X(spec_search_locations, "submodule_search_locations", I)                \
    X(update, "update", I)                                                   \
    X(pickle, "pickle", I)                                                   \
    X(PickleError, "PickleError", I)                                         \
    X(checksum_msg_Omitter,                                                  \
      "Incompatible checksums (0x%x vs (0xf72771a, 0x676fd74, 0x1022349) "  \
      "= (omissions))",                                                      \
      P)                                                                     \
    X(checksum_msg_NoTrustOmitter,                                           \
      "Incompatible checksums (0x%x vs (0x63752f2, 0x7c505b1, 0x6e28aab) "  \
      "= (omissions, trusted))",                                             \
      P)                                                                     \
    X(file_omit, "src/zentrove/omit", P)                                     \
    X(file_stringsource, "<stringsource>", P)                                \
    X(ast, "*", P)

enum class S : int {
#define ZT_STRING_ID(id, text, kind) id,
    ZT_STRINGS(ZT_STRING_ID)
#undef ZT_STRING_ID
        count
};

// The texts of the string constants, indexed by S, for C-level messages.
inline constexpr const char* kStringText[] = {
#define ZT_STRING_TEXT(id, text, kind) text,
    ZT_STRINGS(ZT_STRING_TEXT)
#undef ZT_STRING_TEXT
};

[[nodiscard]] constexpr const char* text(S id) noexcept
{
    return kStringText[static_cast<int>(id)];
}

// Source file names of traceback entries and code objects.
inline constexpr const char kFileOmit[] = "src/zentrove/omit";
inline constexpr const char kFileStringsource[] = "<stringsource>";

// ---------------------------------------------------------------------------
// Process-wide state.  Everything is created by start-up and owned by the
// module for the life of the process; all of it is touched with the GIL held.
struct Globals {
    PyObject* module;        // owned: the initialised module, or NULL
    PyObject* module_dict;   // borrowed from module (kept alive by it)
    int64_t main_interpreter;
    PyObject* empty_tuple;   // owned
    PyObject* empty_bytes;   // owned
    PyObject* empty_str;     // owned
    PyObject* builtins;      // owned: the builtins module
    PyObject* strings[static_cast<int>(S::count)];  // owned
    // Integer constants, in creation order.
    PyObject* int_1;
    PyObject* int_0x1022349;
    PyObject* int_0x63752f2;
    PyObject* int_0x676fd74;
    PyObject* int_0x6e28aab;
    PyObject* int_0x7c505b1;
    PyObject* int_0xf72771a;
    PyObject* checksums_Omitter;         // owned tuple of accepted checksums
    PyObject* checksums_NoTrustOmitter;  // owned tuple of accepted checksums
    PyObject* defaults_omit_recurse;     // owned tuple (1,)
    // Module-private state of the masking rule and the global key lists.
    PyObject* ast;                 // owned: the mask "*"
    PyObject* global_omissions;    // owned list
    PyObject* global_trusted;      // owned list
};
extern Globals g;

[[nodiscard]] inline PyObject* str(S id) noexcept
{
    return g.strings[static_cast<int>(id)];
}

// CPython 3.11's version tag of a dict (0 for none): it changes whenever the
// dict does, which the override and reconstructor caches key on.
[[nodiscard]] inline uint64_t dict_tag(PyObject* dict) noexcept
{
    return dict != nullptr
               ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag
               : 0;
}

// Whether every key of an exact dict is an exact str: CPython 3.11 keeps
// such a dict in a key table of its own kind (the kind byte follows the
// table's reference count and two size bytes), and a lookup in it compares
// no key through __eq__.
[[nodiscard]] inline bool has_only_exact_str_keys(PyObject* dict) noexcept
{
    struct KeyTableHead {
        Py_ssize_t refcnt;
        uint8_t log2_size;
        uint8_t log2_index_bytes;
        uint8_t kind;  // 0: general keys; 1: str keys; 2: split, str keys
    };
    const auto* keys = reinterpret_cast<const KeyTableHead*>(
        reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return keys->kind != 0;
}

// Calls `callable` with a fast-call argument vector and no keywords.  A
// callee that returns NULL without an exception gives SystemError "NULL
// result without error in PyObject_Call".
[[nodiscard]] PyObject* call_vector(PyObject* callable, PyObject* const* args,
                                    size_t nargsf);

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
    PyObject* (*omit_recurse)(OmitterObject* self, PyObject* target,
                              int skip_override, int do_hide);
};

struct OmitterObject {
    PyObject_HEAD
    const OmitterOps* ops;   // the table of the module type; set at allocation
    PyObject* omissions;     // owned: the deny-list, a list or None
};

struct NoTrustOmitterObject {
    OmitterObject base;
    PyObject* trusted;       // owned: the allow-list, a list or None
};

extern PyTypeObject OmitterType;
extern PyTypeObject NoTrustOmitterType;
extern PyTypeObject NativeFunctionType;
extern OmitterOps omitter_ops;
extern OmitterOps no_trust_ops;

// Fill the tables of virtual operations (start-up, right before readying).
void omitter_fill_ops(OmitterOps* ops) noexcept;
void no_trust_fill_ops(OmitterOps* ops) noexcept;

// The walks of the deny-list type, shared with the allow-list type's table.
[[nodiscard]] PyObject* omitter_omit(OmitterObject* self, PyObject* target,
                                     int skip_override);
[[nodiscard]] PyObject* omitter_omit_recurse(OmitterObject* self,
                                             PyObject* target,
                                             int skip_override, int do_hide);

// Lifecycle slots of Omitter that NoTrustOmitter chains to.
[[nodiscard]] PyObject* omitter_new(PyTypeObject* type, PyObject* args,
                                    PyObject* kwds);
int omitter_traverse(PyObject* o, visitproc visit, void* arg);
int omitter_clear(PyObject* o);
void omitter_dealloc(PyObject* o);
// Runs the type's finaliser first when the object is being deallocated by
// `own_dealloc` and was not finalised yet; true when it came back to life.
[[nodiscard]] bool resurrected_by_finalizer(PyObject* o, destructor own_dealloc);

// `key in keys` for a key list (a list, or None which fails): the
// interpreter's containment semantics with a fast path for exact str.
[[nodiscard]] int keys_contain(PyObject* keys, PyObject* key);

// ---------------------------------------------------------------------------
// The masking rule: a run of "*" as long as target; target is an exact str
// or None (None fails).  Called by the walks directly, without binding.
[[nodiscard]] PyObject* hide_impl(PyObject* target);

// ---------------------------------------------------------------------------
// Traceback entries: appends a synthetic frame (name, file, line) to the
// traceback of the pending exception.
void add_traceback_entry(const char* qualname, int line, const char* file);

// TypeError "Expected %s, got %.200s" for a typed value inside a body.
void raise_expected(const char* word, PyObject* obj);

// TypeError for a method called through its type with a foreign instance;
// false after raising.
[[nodiscard]] bool check_instance(PyObject* self, PyTypeObject* type,
                                  const char* method);

// ---------------------------------------------------------------------------
// Python-level entries, bound by start-up as NativeFunction objects.  All
// share the fast-call-with-keywords signature; `self` is the instance for
// methods and the module for module-level functions.
using EntryFn = PyObject* (*)(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames);

PyObject* entry_hide(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_globally_hidden(PyObject*, PyObject* const*, Py_ssize_t,
                                PyObject*);
PyObject* entry_always_omit(PyObject*, PyObject* const*, Py_ssize_t,
                            PyObject*);
PyObject* entry_globally_trusted(PyObject*, PyObject* const*, Py_ssize_t,
                                 PyObject*);
PyObject* entry_always_trust(PyObject*, PyObject* const*, Py_ssize_t,
                             PyObject*);
PyObject* entry_reset_omissions(PyObject*, PyObject* const*, Py_ssize_t,
                                PyObject*);
PyObject* entry_reset_trusted(PyObject*, PyObject* const*, Py_ssize_t,
                              PyObject*);
PyObject* entry_omit(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* entry_omit_recurse(PyObject*, PyObject* const*, Py_ssize_t,
                             PyObject*);
PyObject* entry_reduce_Omitter(PyObject*, PyObject* const*, Py_ssize_t,
                               PyObject*);
PyObject* entry_setstate_Omitter(PyObject*, PyObject* const*, Py_ssize_t,
                                 PyObject*);
PyObject* entry_reduce_NoTrustOmitter(PyObject*, PyObject* const*, Py_ssize_t,
                                      PyObject*);
PyObject* entry_setstate_NoTrustOmitter(PyObject*, PyObject* const*,
                                        Py_ssize_t, PyObject*);
PyObject* entry_unpickle_Omitter(PyObject*, PyObject* const*, Py_ssize_t,
                                 PyObject*);
PyObject* entry_unpickle_NoTrustOmitter(PyObject*, PyObject* const*,
                                        Py_ssize_t, PyObject*);

// Method tables of the two types: exactly the two pickling methods.
extern PyMethodDef omitter_methods[];
extern PyMethodDef no_trust_methods[];

// Type-level pickling set-up, run once per type right after readying.
[[nodiscard]] int prepare_pickling(PyTypeObject* type);

// ---------------------------------------------------------------------------
// Function objects.
enum class CallKind : uint8_t {
    Fast,     // vectorcall with keywords
    NoArgs,   // refuses any argument itself
};

enum class Owner : uint8_t { Module, Omitter, NoTrustOmitter };

// Everything needed to make one NativeFunction and its code object.
struct FunctionSpec {
    const char* name;          // bare name, as in binding messages
    EntryFn entry;
    CallKind kind;
    Owner owner;               // where start-up binds it; methods take self
    S name_id;
    S qualname_id;
    S file_id;
    int first_line;
    int argcount;              // parameters, counting self for methods
    int nvarnames;
    S varnames[5];             // parameters, then the body's locals
    bool has_defaults;         // only omit_recurse: (1,)
};

[[nodiscard]] PyObject* native_function_new(const FunctionSpec* spec,
                                            PyObject* qualname,
                                            PyObject* code);
[[nodiscard]] int native_function_ready();
// The entry a NativeFunction calls (for the override rule's own-method test).
[[nodiscard]] EntryFn native_function_entry(PyObject* func) noexcept;
// Sets the defaults that introspection reports (start-up only).
void native_function_set_defaults(PyObject* func, PyObject* defaults) noexcept;

}  // namespace zt
