// Pickling of both redactor types: reduce, set-state, the module-level
// reconstructors with their layout checksums, the state setters, and the
// type-level set-up that installs reduce/set-state as __reduce__/__setstate__.
//
// Design note.  Pickles are a stored format: the reconstructor names, the
// accepted checksums and the state layout (omissions[, trusted][, __dict__])
// must stay as they are so that pickles written by other builds load.  The
// reconstructor never runs the constructor, so loading does not merge the
// global key lists again.  A state tuple shorter than the layout, or a method
// called through the type with a foreign instance, fails before any field is
// read or written.
#include "binding.h"

#include <cstddef>

namespace zt {

namespace {

// Reconstructor look-up cache: the module dict's version tag and what the
// look-up found there (borrowed: while the tag holds, the dict still holds
// it), or NULL for "not in the module".
struct LookupCache {
    uint64_t tag = ~uint64_t{0};
    PyObject* value = nullptr;
};

// Everything that differs between the two types.
struct PickleSpec {
    PyTypeObject* type;
    int nfields;
    size_t field_offsets[2];
    PyObject* const* written_checksum;   // global int constant
    PyObject* const* accepted_checksums; // global tuple constant
    S reconstructor;
    S checksum_message;
    const char* reduce_tb;
    const char* setstate_tb;
    const char* unpickle_tb;
    const char* set_state_tb;
    LookupCache* caches;                 // [set-state form, plain form]
    Signature setstate_sig;
    Signature unpickle_sig;
};

LookupCache omitter_caches[2];
LookupCache no_trust_caches[2];

#define ZT_SETSTATE_SIG(tb)                                                  \
    Signature                                                                \
    {                                                                        \
        "__setstate_cython__", tb, kFileStringsource, 16, 1, 1,              \
        {                                                                    \
            {S::pyx_state, Kind::Object, Default::None},                     \
        }                                                                    \
    }
#define ZT_UNPICKLE_SIG(name, tb)                                            \
    Signature                                                                \
    {                                                                        \
        name, tb, kFileStringsource, 1, 3, 3,                                \
        {                                                                    \
            {S::pyx_type, Kind::Object, Default::None},                      \
            {S::pyx_checksum, Kind::Int64, Default::None},                   \
            {S::pyx_state, Kind::Object, Default::None},                     \
        }                                                                    \
    }

const PickleSpec kOmitterPickle = {
    &OmitterType,
    1,
    {offsetof(OmitterObject, omissions)},
    &g.int_0xf72771a,
    &g.checksums_Omitter,
    S::unpickle_Omitter,
    S::checksum_msg_Omitter,
    "zentrove.omit.Omitter.__reduce_cython__",
    "zentrove.omit.Omitter.__setstate_cython__",
    "zentrove.omit.__pyx_unpickle_Omitter",
    "zentrove.omit.__pyx_unpickle_Omitter__set_state",
    omitter_caches,
    ZT_SETSTATE_SIG("zentrove.omit.Omitter.__setstate_cython__"),
    ZT_UNPICKLE_SIG("__pyx_unpickle_Omitter",
                    "zentrove.omit.__pyx_unpickle_Omitter"),
};

const PickleSpec kNoTrustPickle = {
    &NoTrustOmitterType,
    2,
    {offsetof(OmitterObject, omissions),
     offsetof(NoTrustOmitterObject, trusted)},
    &g.int_0x63752f2,
    &g.checksums_NoTrustOmitter,
    S::unpickle_NoTrustOmitter,
    S::checksum_msg_NoTrustOmitter,
    "zentrove.omit.NoTrustOmitter.__reduce_cython__",
    "zentrove.omit.NoTrustOmitter.__setstate_cython__",
    "zentrove.omit.__pyx_unpickle_NoTrustOmitter",
    "zentrove.omit.__pyx_unpickle_NoTrustOmitter__set_state",
    no_trust_caches,
    ZT_SETSTATE_SIG("zentrove.omit.NoTrustOmitter.__setstate_cython__"),
    ZT_UNPICKLE_SIG("__pyx_unpickle_NoTrustOmitter",
                    "zentrove.omit.__pyx_unpickle_NoTrustOmitter"),
};

#undef ZT_SETSTATE_SIG
#undef ZT_UNPICKLE_SIG

[[nodiscard]] PyObject** field(PyObject* obj, size_t offset) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// Adds the entry and returns NULL, for `return fail(...)`.
PyObject* fail(const char* name, int line)
{
    add_traceback_entry(name, line, kFileStringsource);
    return nullptr;
}

// --- reduce -----------------------------------------------------------------

// The reconstructor as the module namespace names it now, else the builtin
// of that name; NameError when neither has it.
[[nodiscard]] PyObject* lookup_reconstructor(S name, LookupCache& cache)
{
    const uint64_t tag = dict_tag(g.module_dict);
    if (cache.tag != tag) {
        PyObject* found = PyDict_GetItemWithError(g.module_dict, str(name));
        if (found == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        cache = LookupCache{tag, found};
    }
    if (cache.value != nullptr) {
        return Py_NewRef(cache.value);
    }
    PyObject* builtin = PyObject_GetAttr(g.builtins, str(name));
    if (builtin == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(name));
    }
    return builtin;
}

[[nodiscard]] PyObject* reduce_impl(const PickleSpec& P, PyObject* self)
{
    Ref state = Ref::steal(PyTuple_New(P.nfields));
    if (!state) {
        return fail(P.reduce_tb, 5);
    }
    for (int i = 0; i < P.nfields; ++i) {
        PyTuple_SET_ITEM(state.get(), i,
                         Py_NewRef(*field(self, P.field_offsets[i])));
    }
    Ref dict = Ref::steal(PyObject_GetAttr(self, str(S::dunder_dict)));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(P.reduce_tb, 6);
        }
        PyErr_Clear();
        dict = Ref::borrow(Py_None);
    }
    // Decided from the fields as they are now: the look-up above may have
    // run Python code that restored another state.
    bool use_setstate = dict.get() != Py_None;
    for (int i = 0; i < P.nfields && !use_setstate; ++i) {
        use_setstate = *field(self, P.field_offsets[i]) != Py_None;
    }
    if (dict.get() != Py_None) {
        Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
        if (!extra) {
            return fail(P.reduce_tb, 8);
        }
        Ref longer =
            Ref::steal(PyNumber_InPlaceAdd(state.get(), extra.get()));
        if (!longer) {
            return fail(P.reduce_tb, 8);
        }
        state = std::move(longer);
    }
    // Held: Python code run by the look-ups below, or by a collection that
    // an allocation starts, may assign __class__ and free the old class.
    Ref cls_ref = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject* cls = cls_ref.get();
    if (use_setstate) {
        Ref recon = Ref::steal(lookup_reconstructor(P.reconstructor, P.caches[0]));
        if (!recon) {
            return fail(P.reduce_tb, 13);
        }
        Ref args =
            Ref::steal(PyTuple_Pack(3, cls, *P.written_checksum, Py_None));
        if (!args) {
            return fail(P.reduce_tb, 13);
        }
        PyObject* r = PyTuple_Pack(3, recon.get(), args.get(), state.get());
        return r != nullptr ? r : fail(P.reduce_tb, 13);
    }
    Ref recon = Ref::steal(lookup_reconstructor(P.reconstructor, P.caches[1]));
    if (!recon) {
        return fail(P.reduce_tb, 15);
    }
    Ref args =
        Ref::steal(PyTuple_Pack(3, cls, *P.written_checksum, state.get()));
    if (!args) {
        return fail(P.reduce_tb, 15);
    }
    PyObject* r = PyTuple_Pack(2, recon.get(), args.get());
    return r != nullptr ? r : fail(P.reduce_tb, 15);
}

[[nodiscard]] PyObject* reduce_entry(const PickleSpec& P, PyObject* self,
                                     Py_ssize_t nargs, PyObject* kwnames)
{
    if (!check_instance(self, P.type, "__reduce_cython__")) {
        return nullptr;
    }
    if (nargs > 0) {
        raise_arity_error("__reduce_cython__", true, 0, 0, nargs);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%U'",
                     "__reduce_cython__", PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    return reduce_impl(P, self);
}

// --- state ------------------------------------------------------------------

// Restores the fields from `state` (an exact tuple, or None which fails);
// element N, when present, updates the instance dict.  0 or -1.
[[nodiscard]] int set_state(const PickleSpec& P, PyObject* result,
                            PyObject* state)
{
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "'NoneType' object is not subscriptable");
        fail(P.set_state_tb, 12);
        return -1;
    }
    const Py_ssize_t len = PyTuple_GET_SIZE(state);
    for (int i = 0; i < P.nfields; ++i) {
        if (i >= len) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            fail(P.set_state_tb, 12);
            return -1;
        }
        PyObject* v = PyTuple_GET_ITEM(state, i);
        if (v != Py_None && !PyList_CheckExact(v)) {
            raise_expected("list", v);
            fail(P.set_state_tb, 12);
            return -1;
        }
        Py_XSETREF(*field(result, P.field_offsets[i]), Py_NewRef(v));
    }
    if (len <= P.nfields) {
        return 0;
    }
    Ref probe = Ref::steal(PyObject_GetAttr(result, str(S::dunder_dict)));
    if (!probe) {
        // A failed look-up means "no instance dict" and the extra element
        // is ignored; running out of memory must not silently drop the
        // pickled attributes, though.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            fail(P.set_state_tb, 13);
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    Ref dict = Ref::steal(PyObject_GetAttr(result, str(S::dunder_dict)));
    if (!dict) {
        fail(P.set_state_tb, 14);
        return -1;
    }
    Ref update = Ref::steal(PyObject_GetAttr(dict.get(), str(S::update)));
    if (!update) {
        fail(P.set_state_tb, 14);
        return -1;
    }
    PyObject* extra = PyTuple_GET_ITEM(state, P.nfields);
    Ref done = Ref::steal(call_vector(update.get(), &extra, 1));
    if (!done) {
        fail(P.set_state_tb, 14);
        return -1;
    }
    return 0;
}

[[nodiscard]] PyObject* setstate_entry(const PickleSpec& P, PyObject* self,
                                       PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    if (!check_instance(self, P.type, "__setstate_cython__")) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(P.setstate_sig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* state = b.obj[0];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_expected("tuple", state);
        return fail(P.setstate_tb, 17);
    }
    if (set_state(P, self, state) < 0) {
        return fail(P.setstate_tb, 17);
    }
    Py_RETURN_NONE;
}

// --- reconstructors ---------------------------------------------------------

// pickle.PickleError, imported as `from pickle import PickleError` would.
[[nodiscard]] PyObject* import_pickle_error()
{
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) {
        return nullptr;
    }
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(str(S::PickleError)));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        str(S::pickle), g.module_dict, locals.get(), fromlist.get(), 0));
    if (!module) {
        return nullptr;
    }
    PyObject* found = PyObject_GetAttr(module.get(), str(S::PickleError));
    if (found != nullptr) {
        return found;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule that is loaded but not yet bound as an attribute.
        PyErr_Clear();
        Ref name =
            Ref::steal(PyObject_GetAttr(module.get(), str(S::dunder_name)));
        Ref full = name ? Ref::steal(PyUnicode_FromFormat(
                              "%S.%U", name.get(), str(S::PickleError)))
                        : Ref();
        if (full) {
            found = PyDict_GetItemWithError(PyImport_GetModuleDict(),
                                            full.get());
            if (found != nullptr) {
                return Py_NewRef(found);
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S",
                 str(S::PickleError));
    return nullptr;
}

[[nodiscard]] PyObject* unpickle_entry(const PickleSpec& P,
                                       PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    Bound b;
    if (bind_fast(P.unpickle_sig, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* type = b.obj[0];
    PyObject* state = b.obj[2];
    Ref checksum = Ref::steal(PyLong_FromLongLong(b.num[1]));
    if (!checksum) {
        return fail(P.unpickle_tb, 4);
    }
    const int known =
        PySequence_Contains(*P.accepted_checksums, checksum.get());
    if (known < 0) {
        return fail(P.unpickle_tb, 4);
    }
    if (!known) {
        Ref pickle_error = Ref::steal(import_pickle_error());
        if (!pickle_error) {
            return fail(P.unpickle_tb, 5);
        }
        Ref message = Ref::steal(
            PyUnicode_Format(str(P.checksum_message), checksum.get()));
        if (message) {
            raise_class_value(pickle_error.get(), message.get());
        }
        return fail(P.unpickle_tb, 6);
    }
    // The reconstructor's own type makes the instance; its __new__ refuses
    // a type that is not that type or a Python subclass of it.
    Ref new_ = Ref::steal(PyObject_GetAttr(
        reinterpret_cast<PyObject*>(P.type), str(S::dunder_new)));
    if (!new_) {
        return fail(P.unpickle_tb, 7);
    }
    Ref result = Ref::steal(call_vector(new_.get(), &type, 1));
    if (!result) {
        return fail(P.unpickle_tb, 7);
    }
    if (state != Py_None) {
        if (!PyTuple_CheckExact(state)) {
            raise_expected("tuple", state);
            return fail(P.unpickle_tb, 9);
        }
        // The type's own __new__ made result, so it has the type's layout.
        if (set_state(P, result.get(), state) < 0) {
            return fail(P.unpickle_tb, 9);
        }
    }
    return result.release();
}

// --- prepare_pickling -------------------------------------------------------

// Whether obj.__name__ == text; any failure counts as "not named".
[[nodiscard]] bool is_named(PyObject* obj, S text)
{
    Ref name = Ref::steal(PyObject_GetAttr(obj, str(S::dunder_name)));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    const int eq = PyObject_RichCompareBool(name.get(), str(text), Py_EQ);
    if (eq < 0) {
        PyErr_Clear();
        return false;
    }
    return eq == 1;
}

// Looks `name` up on the type; AttributeError counts as absent (empty Ref,
// no exception), any other error stays pending.
[[nodiscard]] Ref lookup_or_absent(PyObject* type, S name)
{
    Ref v = Ref::steal(PyObject_GetAttr(type, str(name)));
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return v;
}

// Moves type.__dict__[from] to type.__dict__[to]; -1 on failure.
[[nodiscard]] int install(PyTypeObject* type, S to, PyObject* value, S from)
{
    if (PyDict_SetItem(type->tp_dict, str(to), value) < 0) {
        return -1;
    }
    return PyDict_DelItem(type->tp_dict, str(from));
}

// 0: done (installed, or nothing to change); -1: failed, maybe without an
// exception set.
[[nodiscard]] int prepare_steps(PyTypeObject* type)
{
    PyObject* tobj = reinterpret_cast<PyObject*>(type);
    PyObject* getstate = _PyType_Lookup(type, str(S::dunder_getstate));
    if (getstate != nullptr &&
        getstate != _PyType_Lookup(&PyBaseObject_Type,
                                   str(S::dunder_getstate))) {
        return 0;
    }
    // object's attributes are held across the look-ups on the type, which
    // may run Python code (descriptors, collections).
    Ref object_reduce_ex = Ref::borrow(
        _PyType_Lookup(&PyBaseObject_Type, str(S::dunder_reduce_ex)));
    if (!object_reduce_ex) {
        return -1;
    }
    Ref reduce_ex = Ref::steal(PyObject_GetAttr(tobj, str(S::dunder_reduce_ex)));
    if (!reduce_ex) {
        return -1;
    }
    if (reduce_ex.get() != object_reduce_ex.get()) {
        return 0;
    }
    Ref object_reduce = Ref::borrow(
        _PyType_Lookup(&PyBaseObject_Type, str(S::dunder_reduce)));
    if (!object_reduce) {
        return -1;
    }
    Ref reduce = Ref::steal(PyObject_GetAttr(tobj, str(S::dunder_reduce)));
    if (!reduce) {
        return -1;
    }
    const bool own_reduce = reduce.get() == object_reduce.get();
    if (!own_reduce && !is_named(reduce.get(), S::reduce_cython)) {
        return 0;
    }
    Ref reduce_cython = lookup_or_absent(tobj, S::reduce_cython);
    if (reduce_cython) {
        if (install(type, S::dunder_reduce, reduce_cython.get(),
                    S::reduce_cython) < 0) {
            return -1;
        }
    }
    else if (own_reduce || PyErr_Occurred()) {
        return -1;
    }
    Ref setstate = Ref::steal(PyObject_GetAttr(tobj, str(S::dunder_setstate)));
    if (!setstate) {
        PyErr_Clear();
    }
    if (!setstate || is_named(setstate.get(), S::setstate_cython)) {
        Ref setstate_cython = lookup_or_absent(tobj, S::setstate_cython);
        if (setstate_cython) {
            if (install(type, S::dunder_setstate, setstate_cython.get(),
                        S::setstate_cython) < 0) {
                return -1;
            }
        }
        else if (!setstate || PyErr_Occurred()) {
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace

int prepare_pickling(PyTypeObject* type)
{
    if (prepare_steps(type) == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError,
                     "Unable to initialize pickling for %.200s",
                     type->tp_name);
    }
    return -1;
}

// --- entries ----------------------------------------------------------------

PyObject* entry_reduce_Omitter(PyObject* self, PyObject* const*,
                               Py_ssize_t nargs, PyObject* kwnames)
{
    return reduce_entry(kOmitterPickle, self, nargs, kwnames);
}

PyObject* entry_reduce_NoTrustOmitter(PyObject* self, PyObject* const*,
                                      Py_ssize_t nargs, PyObject* kwnames)
{
    return reduce_entry(kNoTrustPickle, self, nargs, kwnames);
}

PyObject* entry_setstate_Omitter(PyObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames)
{
    return setstate_entry(kOmitterPickle, self, args, nargs, kwnames);
}

PyObject* entry_setstate_NoTrustOmitter(PyObject* self, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames)
{
    return setstate_entry(kNoTrustPickle, self, args, nargs, kwnames);
}

PyObject* entry_unpickle_Omitter(PyObject*, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames)
{
    return unpickle_entry(kOmitterPickle, args, nargs, kwnames);
}

PyObject* entry_unpickle_NoTrustOmitter(PyObject*, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames)
{
    return unpickle_entry(kNoTrustPickle, args, nargs, kwnames);
}

// Readying turns these into method descriptors, which prepare_pickling then
// moves to __reduce__ and __setstate__.
#define ZT_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef omitter_methods[] = {
    {"__reduce_cython__", ZT_FASTCALL(entry_reduce_Omitter),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", ZT_FASTCALL(entry_setstate_Omitter),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef no_trust_methods[] = {
    {"__reduce_cython__", ZT_FASTCALL(entry_reduce_NoTrustOmitter),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", ZT_FASTCALL(entry_setstate_NoTrustOmitter),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZT_FASTCALL

}  // namespace zt
