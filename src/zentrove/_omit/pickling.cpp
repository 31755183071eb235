// Pickling of both redactor types: the pickled layouts, reduce, set-state
// and the state setter.  The reconstructors are in unpickle.cpp, the
// type-level set-up that installs reduce and set-state in pickle_setup.cpp.
//
// Design note.  Pickles are a stored format: the reconstructor names, the
// accepted checksums and the state layout (omissions[, trusted][, __dict__])
// must stay as they are so that pickles written by other builds load.  A
// state tuple shorter than the layout, or a method called through the type
// with a foreign instance, fails before any field is read or written.
#include "pickling.h"

namespace zentrove::omit {

namespace {

// Lines of the statements of reduce and set-state.
enum PickleLine : int {
    kReduceDef = 1,
    kReduceState = 5,
    kReduceDict = 6,
    kReduceExtend = 8,
    kReduceSetstateForm = 13,
    kReducePlainForm = 15,
    kSetstateDef = 16,
    kSetstateBody = 17,
};

PyObject* reduce_omitter(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* setstate_omitter(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* reduce_no_trust(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* setstate_no_trust(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kReduceOmitter = {
    "__reduce_cython__", "Omitter.__reduce_cython__",
    "zentrove.omit.Omitter.__reduce_cython__", kFileStringsource, kReduceDef,
    Owner::Omitter, CallKind::Fast, reduce_omitter, 0, 0, {},
    {"state", "_dict", "use_setstate"},
};
constexpr Callable kSetstateOmitter = {
    "__setstate_cython__", "Omitter.__setstate_cython__",
    "zentrove.omit.Omitter.__setstate_cython__", kFileStringsource,
    kSetstateDef, Owner::Omitter, CallKind::Fast, setstate_omitter, 1,
    1, {{"__pyx_state", Kind::Object, Default::None}}, {},
};
constexpr Callable kReduceNoTrust = {
    "__reduce_cython__", "NoTrustOmitter.__reduce_cython__",
    "zentrove.omit.NoTrustOmitter.__reduce_cython__", kFileStringsource,
    kReduceDef, Owner::NoTrustOmitter, CallKind::Fast,
    reduce_no_trust, 0, 0, {},
    {"state", "_dict", "use_setstate"},
};
constexpr Callable kSetstateNoTrust = {
    "__setstate_cython__", "NoTrustOmitter.__setstate_cython__",
    "zentrove.omit.NoTrustOmitter.__setstate_cython__", kFileStringsource,
    kSetstateDef, Owner::NoTrustOmitter, CallKind::Fast,
    setstate_no_trust, 1, 1,
    {{"__pyx_state", Kind::Object, Default::None}}, {},
};
// clang-format on

LookupCache omitter_caches[2];
LookupCache no_trust_caches[2];

}  // namespace

const Layout omitter_layout = {
    &OmitterType,
    1,
    {offsetof(OmitterObject, omissions)},
    &g.omitter_checksums,
    StrId::checksum_msg_Omitter,
    "__pyx_unpickle_Omitter",
    "zentrove.omit.__pyx_unpickle_Omitter__set_state",
    omitter_caches,
};

const Layout no_trust_layout = {
    &NoTrustOmitterType,
    2,
    {offsetof(OmitterObject, omissions), offsetof(NoTrustOmitterObject, trusted)},
    &g.no_trust_checksums,
    StrId::checksum_msg_NoTrustOmitter,
    "__pyx_unpickle_NoTrustOmitter",
    "zentrove.omit.__pyx_unpickle_NoTrustOmitter__set_state",
    no_trust_caches,
};

namespace {

[[nodiscard]] PyObject** field(PyObject* obj, size_t offset) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

[[nodiscard]] PyObject* written_checksum(const Layout& layout) noexcept
{
    return PyTuple_GET_ITEM(*layout.checksums, 0);
}

// Adds the state setter's entry; -1, for `return state_failed(...)`.
[[gnu::cold, gnu::noinline]] int state_failed(const Layout& layout, int line)
{
    add_traceback_entry(layout.set_state_name, line, kFileStringsource);
    return -1;
}

// --- reduce -----------------------------------------------------------------

// The reconstructor as the module namespace names it now, else the builtin
// of that name; NameError when neither has it.
[[nodiscard]] PyObject* lookup_reconstructor(const char* text, LookupCache& cache)
{
    PyObject* name = row_text(text);
    const uint64_t tag = py311::dict_tag(g.module_dict);
    if (cache.tag != tag) {
        PyObject* found = PyDict_GetItemWithError(g.module_dict, name);
        if (found == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        cache = LookupCache{tag, found};
    }
    if (cache.value != nullptr) {
        return Py_NewRef(cache.value);
    }
    PyObject* builtin = PyObject_GetAttr(g.builtins, name);
    if (builtin == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

[[nodiscard]] PyObject* reduce_impl(const Layout& layout, const Callable& row, PyObject* self)
{
    Ref state = Ref::steal(PyTuple_New(layout.nfields));
    if (!state) {
        return fail(row, kReduceState);
    }
    for (int i = 0; i < layout.nfields; ++i) {
        PyTuple_SET_ITEM(state.get(), i, Py_NewRef(*field(self, layout.field_offsets[i])));
    }
    Ref dict = Ref::steal(PyObject_GetAttr(self, str(StrId::dunder_dict)));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fail(row, kReduceDict);
        }
        PyErr_Clear();
        dict = Ref::borrow(Py_None);
    }
    // Decided from the fields as they are now: the look-up above may have
    // run Python code that restored another state.
    bool use_setstate = dict.get() != Py_None;
    for (int i = 0; i < layout.nfields && !use_setstate; ++i) {
        use_setstate = *field(self, layout.field_offsets[i]) != Py_None;
    }
    if (dict.get() != Py_None) {
        Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
        if (!extra) {
            return fail(row, kReduceExtend);
        }
        Ref longer = Ref::steal(PyNumber_InPlaceAdd(state.get(), extra.get()));
        if (!longer) {
            return fail(row, kReduceExtend);
        }
        state = std::move(longer);
    }
    // Held: Python code run by the look-ups below, or by a collection that
    // an allocation starts, may assign __class__ and free the old class.
    Ref cls_ref = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject* cls = cls_ref.get();
    PyObject* checksum = written_checksum(layout);
    if (use_setstate) {
        Ref recon = Ref::steal(lookup_reconstructor(layout.reconstructor, layout.caches[0]));
        if (!recon) {
            return fail(row, kReduceSetstateForm);
        }
        Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum, Py_None));
        if (!args) {
            return fail(row, kReduceSetstateForm);
        }
        PyObject* r = PyTuple_Pack(3, recon.get(), args.get(), state.get());
        return r != nullptr ? r : fail(row, kReduceSetstateForm);
    }
    Ref recon = Ref::steal(lookup_reconstructor(layout.reconstructor, layout.caches[1]));
    if (!recon) {
        return fail(row, kReducePlainForm);
    }
    Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum, state.get()));
    if (!args) {
        return fail(row, kReducePlainForm);
    }
    PyObject* r = PyTuple_Pack(2, recon.get(), args.get());
    return r != nullptr ? r : fail(row, kReducePlainForm);
}

[[nodiscard]] PyObject* reduce_entry(const Layout& layout, const Callable& row, PyObject* self,
                                     Py_ssize_t nargs, PyObject* kwnames)
{
    if (!check_instance(self, layout.type, row.name)) {
        return nullptr;
    }
    if (nargs > 0) {
        raise_arity_error(row.name, true, 0, 0, nargs);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    return reduce_impl(layout, row, self);
}

}  // namespace

// --- state ------------------------------------------------------------------

int set_state(const Layout& layout, PyObject* result, PyObject* state)
{
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return state_failed(layout, kSetStateFields);
    }
    const Py_ssize_t len = PyTuple_GET_SIZE(state);
    for (int i = 0; i < layout.nfields; ++i) {
        if (i >= len) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return state_failed(layout, kSetStateFields);
        }
        PyObject* v = PyTuple_GET_ITEM(state, i);
        if (v != Py_None && !PyList_CheckExact(v)) {
            raise_expected("list", v);
            return state_failed(layout, kSetStateFields);
        }
        Py_XSETREF(*field(result, layout.field_offsets[i]), Py_NewRef(v));
    }
    if (len <= layout.nfields) {
        return 0;
    }
    Ref probe = Ref::steal(PyObject_GetAttr(result, str(StrId::dunder_dict)));
    if (!probe) {
        // A failed look-up means "no instance dict" and the extra element
        // is ignored; running out of memory must not silently drop the
        // pickled attributes, though.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return state_failed(layout, kSetStateDictTest);
        }
        PyErr_Clear();
        return 0;
    }
    Ref dict = Ref::steal(PyObject_GetAttr(result, str(StrId::dunder_dict)));
    if (!dict) {
        return state_failed(layout, kSetStateUpdate);
    }
    Ref update = Ref::steal(PyObject_GetAttr(dict.get(), str(StrId::update)));
    if (!update) {
        return state_failed(layout, kSetStateUpdate);
    }
    PyObject* extra = PyTuple_GET_ITEM(state, layout.nfields);
    Ref done = Ref::steal(call_vector(update.get(), &extra, 1));
    if (!done) {
        return state_failed(layout, kSetStateUpdate);
    }
    return 0;
}

namespace {

[[nodiscard]] PyObject* setstate_entry(const Layout& layout, const Callable& row, PyObject* self,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!check_instance(self, layout.type, row.name)) {
        return nullptr;
    }
    Bound b;
    if (bind_fast(row, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* state = b.obj[0];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_expected("tuple", state);
        return fail(row, kSetstateBody);
    }
    if (set_state(layout, self, state) < 0) {
        return fail(row, kSetstateBody);
    }
    Py_RETURN_NONE;
}

// --- entries ----------------------------------------------------------------

PyObject* reduce_omitter(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    return reduce_entry(omitter_layout, kReduceOmitter, self, nargs, kwnames);
}

PyObject* reduce_no_trust(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    return reduce_entry(no_trust_layout, kReduceNoTrust, self, nargs, kwnames);
}

PyObject* setstate_omitter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return setstate_entry(omitter_layout, kSetstateOmitter, self, args, nargs, kwnames);
}

PyObject* setstate_no_trust(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    return setstate_entry(no_trust_layout, kSetstateNoTrust, self, args, nargs, kwnames);
}

constexpr const Callable* kRows[] = {
    &kReduceOmitter,
    &kSetstateOmitter,
    &kReduceNoTrust,
    &kSetstateNoTrust,
};

}  // namespace

constexpr CallableTable pickling_callables = table_of(kRows);

// Readying turns these into method descriptors, which prepare_pickling then
// moves to __reduce__ and __setstate__.
#define ZT_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef omitter_methods[] = {
    {"__reduce_cython__", ZT_FASTCALL(reduce_omitter), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", ZT_FASTCALL(setstate_omitter), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef no_trust_methods[] = {
    {"__reduce_cython__", ZT_FASTCALL(reduce_no_trust), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", ZT_FASTCALL(setstate_no_trust), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZT_FASTCALL

}  // namespace zentrove::omit
