// How the module calls Python objects: through the callee's fast-call entry
// when it has one, else through its call slot with an argument tuple, and
// with the module's own SystemError text when a callee returns no result
// without setting an exception.
#include "internal.h"

namespace zentrove::omit {

namespace {

[[gnu::cold, gnu::noinline]] void raise_no_result()
{
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

[[gnu::cold, gnu::noinline]] void raise_not_callable(PyObject* callable)
{
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(callable)->tp_name);
}

// The interpreter's generic call for an object without a fast-call entry:
// a tuple of the arguments, under the recursion check.
[[nodiscard]] PyObject* call_with_tuple(PyObject* callable, PyObject* const* args,
                                        Py_ssize_t nargs)
{
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (call == nullptr) {
        raise_not_callable(callable);
        return nullptr;
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    }
    RecursionGuard guard(" while calling a Python object");
    if (!guard.ok()) {
        return nullptr;
    }
    return call(callable, tuple.get(), nullptr);
}

}  // namespace

PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf)
{
    // Called directly rather than through PyObject_Vectorcall, whose result
    // check words a missing exception its own way.
    vectorcallfunc fast = PyVectorcall_Function(callable);
    PyObject* result = fast != nullptr
                           ? fast(callable, args, nargsf, nullptr)
                           : call_with_tuple(callable, args, PyVectorcall_NARGS(nargsf));
    if (result == nullptr && !PyErr_Occurred()) {
        raise_no_result();
        return nullptr;
    }
    // A result with an exception set is still the interpreter's SystemError.
    return _Py_CheckFunctionResult(PyThreadState_Get(), callable, result, nullptr);
}

}  // namespace zentrove::omit
