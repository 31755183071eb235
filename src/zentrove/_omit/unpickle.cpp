// The module-level reconstructors of both redactor types: the layout
// checksum test, the PickleError of a mismatch, and a new instance made
// without the constructor, with the pickled state applied.  Loading thus
// never merges the global key lists again.
#include "pickling.h"

namespace zentrove::omit {

namespace {

// Lines of the reconstructor's statements.
enum UnpickleLine : int {
    kUnpickleDef = 1,
    kUnpickleChecksum = 4,
    kUnpickleImport = 5,
    kUnpickleRaise = 6,
    kUnpickleNew = 7,
    kUnpickleState = 9,
};

PyObject* unpickle_omitter(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* unpickle_no_trust(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The reconstructors' parameters: the class, a checksum, the state.
#define ZT_UNPICKLE_PARAMS                              \
    {                                                   \
        {"__pyx_type", Kind::Object, Default::None},    \
        {"__pyx_checksum", Kind::Int64, Default::None}, \
        {"__pyx_state", Kind::Object, Default::None},   \
    }

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kUnpickleOmitter = {
    "__pyx_unpickle_Omitter", "__pyx_unpickle_Omitter",
    "zentrove.omit.__pyx_unpickle_Omitter", kFileStringsource, kUnpickleDef,
    Owner::Module, CallKind::Fast, unpickle_omitter, 3, 3,
    ZT_UNPICKLE_PARAMS, {"__pyx_PickleError", "__pyx_result"},
};
constexpr Callable kUnpickleNoTrust = {
    "__pyx_unpickle_NoTrustOmitter", "__pyx_unpickle_NoTrustOmitter",
    "zentrove.omit.__pyx_unpickle_NoTrustOmitter", kFileStringsource,
    kUnpickleDef, Owner::Module, CallKind::Fast, unpickle_no_trust,
    3, 3, ZT_UNPICKLE_PARAMS, {"__pyx_PickleError", "__pyx_result"},
};
// clang-format on

#undef ZT_UNPICKLE_PARAMS

// Raises exception class `type` with `value` as `raise type, value` would.
[[gnu::cold]] void raise_class_value(PyObject* type, PyObject* value)
{
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
        return;
    }
    if (!PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of "
                                         "BaseException");
        return;
    }
    Ref instance;
    const int is_inst = PyObject_IsInstance(value, type);
    if (is_inst < 0) {
        return;
    }
    if (is_inst) {
        instance = Ref::borrow(value);
    }
    else {
        Ref call_args;
        if (value == Py_None) {
            call_args = Ref::borrow(g.empty_tuple);
        }
        else if (PyTuple_Check(value)) {
            call_args = Ref::borrow(value);
        }
        else {
            call_args = Ref::steal(PyTuple_Pack(1, value));
            if (!call_args) {
                return;
            }
        }
        instance = Ref::steal(call_vector(type, &PyTuple_GET_ITEM(call_args.get(), 0),
                                          static_cast<size_t>(PyTuple_GET_SIZE(call_args.get()))));
        if (!instance) {
            return;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of "
                         "BaseException, not %R",
                         type, reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
            return;
        }
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
}

// pickle.PickleError, imported as `from pickle import PickleError` would.
[[nodiscard]] PyObject* import_pickle_error()
{
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) {
        return nullptr;
    }
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(str(StrId::PickleError)));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(str(StrId::pickle), g.module_dict,
                                                             locals.get(), fromlist.get(), 0));
    if (!module) {
        return nullptr;
    }
    PyObject* found = PyObject_GetAttr(module.get(), str(StrId::PickleError));
    if (found != nullptr) {
        return found;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule that is loaded but not yet bound as an attribute.
        PyErr_Clear();
        Ref name = Ref::steal(PyObject_GetAttr(module.get(), str(StrId::dunder_name)));
        Ref full =
            name ? Ref::steal(PyUnicode_FromFormat("%S.%U", name.get(), str(StrId::PickleError)))
                 : Ref();
        if (full) {
            found = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (found != nullptr) {
                return Py_NewRef(found);
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", str(StrId::PickleError));
    return nullptr;
}

[[nodiscard]] PyObject* unpickle_entry(const Layout& layout, const Callable& row,
                                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Bound b;
    if (bind_fast(row, args, nargs, kwnames, b) < 0) {
        return nullptr;
    }
    PyObject* type = b.obj[0];
    PyObject* state = b.obj[2];
    Ref checksum = Ref::steal(PyLong_FromLongLong(b.num[1]));
    if (!checksum) {
        return fail(row, kUnpickleChecksum);
    }
    const int known = PySequence_Contains(*layout.checksums, checksum.get());
    if (known < 0) {
        return fail(row, kUnpickleChecksum);
    }
    if (!known) {
        Ref pickle_error = Ref::steal(import_pickle_error());
        if (!pickle_error) {
            return fail(row, kUnpickleImport);
        }
        Ref message = Ref::steal(PyUnicode_Format(str(layout.checksum_message), checksum.get()));
        if (message) {
            raise_class_value(pickle_error.get(), message.get());
        }
        return fail(row, kUnpickleRaise);
    }
    // The reconstructor's own type makes the instance; its __new__ refuses
    // a type that is not that type or a Python subclass of it.
    Ref new_ = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(layout.type), str(StrId::dunder_new)));
    if (!new_) {
        return fail(row, kUnpickleNew);
    }
    Ref result = Ref::steal(call_vector(new_.get(), &type, 1));
    if (!result) {
        return fail(row, kUnpickleNew);
    }
    if (state != Py_None) {
        if (!PyTuple_CheckExact(state)) {
            raise_expected("tuple", state);
            return fail(row, kUnpickleState);
        }
        // The type's own __new__ made result, so it has the type's layout.
        if (set_state(layout, result.get(), state) < 0) {
            return fail(row, kUnpickleState);
        }
    }
    return result.release();
}

PyObject* unpickle_omitter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return unpickle_entry(omitter_layout, kUnpickleOmitter, args, nargs, kwnames);
}

PyObject* unpickle_no_trust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return unpickle_entry(no_trust_layout, kUnpickleNoTrust, args, nargs, kwnames);
}

constexpr const Callable* kRows[] = {&kUnpickleOmitter, &kUnpickleNoTrust};

}  // namespace

constexpr CallableTable unpickle_callables = table_of(kRows);

}  // namespace zentrove::omit
