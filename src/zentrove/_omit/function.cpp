// NativeFunction: the function-object type of every module function, method
// and reconstructor.  It calls by vectorcall, binds like a Python function
// (method descriptor), and shows the attributes of one to introspection,
// with the code object and defaults that start-up makes for each row.
#include "binding.h"

#include <cstddef>
#include <structmember.h>

namespace zentrove::omit {

namespace {

struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Callable* row;     // static: name, entry, kind, owner
    PyObject* name;          // owned str: __name__
    PyObject* qualname;      // owned str: __qualname__
    PyObject* module;        // owned: __module__
    PyObject* doc;           // owned or NULL (None)
    PyObject* dict;          // owned or NULL: __dict__, made on demand
    PyObject* globals;       // owned: the module's namespace
    PyObject* code;          // owned code object
    PyObject* defaults;      // owned tuple or NULL (None)
    PyObject* kwdefaults;    // owned dict or NULL (None)
    PyObject* annotations;   // owned dict or NULL, made on demand
    PyObject* is_coroutine;  // owned or NULL, computed on demand
    PyObject* weakreflist;   // weak references, managed by the interpreter
};

[[nodiscard]] NativeFunction* as_func(PyObject* o) noexcept
{
    return reinterpret_cast<NativeFunction*>(o);
}

// TypeError for a call that the function object refuses itself.
[[gnu::cold, gnu::noinline]] PyObject* call_refused(const char* format, const char* name,
                                                    Py_ssize_t n)
{
    PyErr_Format(PyExc_TypeError, format, name, n);
    return nullptr;
}

PyObject* nf_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames)
{
    const Callable* row = as_func(callable)->row;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = g.module;
    if (row->owner != Owner::Module) {
        // The instance is the first positional argument; it cannot be
        // given by keyword.
        if (nargs == 0) {
            return call_refused("%.200s() needs an argument", row->name, 0);
        }
        self = args[0];
        ++args;
        --nargs;
    }
    if (row->kind == CallKind::NoArgs) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
            return call_refused("%.200s() takes no keyword arguments", row->name, 0);
        }
        if (nargs != 0) {
            return call_refused("%.200s() takes no arguments (%zd given)", row->name, nargs);
        }
    }
    return row->entry(self, args, nargs, kwnames);
}

PyObject* nf_descr_get(PyObject* func, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(func);
    }
    return PyMethod_New(func, obj);
}

PyObject* nf_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<native function %U at %p>", as_func(self)->qualname, self);
}

int nf_traverse(PyObject* self, visitproc visit, void* arg)
{
    NativeFunction* f = as_func(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    return 0;
}

int nf_clear(PyObject* self)
{
    NativeFunction* f = as_func(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    return 0;
}

void nf_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    nf_clear(self);
    PyObject_GC_Del(self);
}

// --- attributes -------------------------------------------------------------

[[nodiscard]] PyObject* or_none(PyObject* o) noexcept
{
    return Py_NewRef(o != nullptr ? o : Py_None);
}

// Replaces an owned field; `value` is borrowed (NULL clears).
void replace(PyObject** field, PyObject* value) noexcept
{
    Py_XSETREF(*field, Py_XNewRef(value));
}

PyObject* get_name(PyObject* self, void*)
{
    return or_none(as_func(self)->name);
}

int set_name(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace(&as_func(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*)
{
    return or_none(as_func(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace(&as_func(self)->qualname, value);
    return 0;
}

PyObject* get_doc(PyObject* self, void*)
{
    return or_none(as_func(self)->doc);
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    replace(&as_func(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*)
{
    return or_none(as_func(self)->defaults);
}

// Assigns an optional attribute: None (or deletion) clears it, anything
// else must pass `check`.  With `warning`, a RuntimeWarning is issued first.
[[nodiscard]] int set_optional(PyObject** field, PyObject* value, int (*check)(PyObject*),
                               const char* message, const char* warning)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (warning != nullptr && PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    replace(field, value);
    return 0;
}

int is_tuple(PyObject* o)
{
    return PyTuple_Check(o);
}
int is_dict(PyObject* o)
{
    return PyDict_Check(o);
}

// Binding reads its defaults from the signature tables, never from here.
int set_defaults(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_func(self)->defaults, value, is_tuple,
                        "__defaults__ must be set to a tuple object",
                        "changes to __defaults__ do not change the defaults "
                        "used in calls");
}

PyObject* get_kwdefaults(PyObject* self, void*)
{
    return or_none(as_func(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_func(self)->kwdefaults, value, is_dict,
                        "__kwdefaults__ must be set to a dict object",
                        "changes to __kwdefaults__ do not change the defaults "
                        "used in calls");
}

PyObject* get_annotations(PyObject* self, void*)
{
    NativeFunction* f = as_func(self);
    if (f->annotations == nullptr) {
        PyObject* made = PyDict_New();
        if (made == nullptr) {
            return nullptr;
        }
        // The allocation may have run Python code that set the attribute.
        if (f->annotations == nullptr) {
            f->annotations = made;
        }
        else {
            Py_DECREF(made);
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_func(self)->annotations, value, is_dict,
                        "__annotations__ must be set to a dict object", nullptr);
}

int set_dict(PyObject* self, PyObject* value, void*)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    replace(&as_func(self)->dict, value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*)
{
    return or_none(as_func(self)->globals);
}

PyObject* get_closure(PyObject*, void*)
{
    Py_RETURN_NONE;
}

PyObject* get_code(PyObject* self, void*)
{
    return or_none(as_func(self)->code);
}

PyObject* get_is_coroutine(PyObject* self, void*)
{
    // None of the module's functions is a coroutine function.
    NativeFunction* f = as_func(self);
    if (f->is_coroutine == nullptr) {
        f->is_coroutine = Py_NewRef(Py_False);
    }
    return Py_NewRef(f->is_coroutine);
}

PyGetSetDef nf_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef nf_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickle stores functions by reference: the qualified name.
PyObject* nf_reduce(PyObject* self, PyObject*)
{
    return or_none(as_func(self)->qualname);
}

PyMethodDef nf_methods[] = {
    {"__reduce__", nf_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject NativeFunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "zentrove.omit.NativeFunction",
    .tp_basicsize = sizeof(NativeFunction),
    .tp_dealloc = nf_dealloc,
    .tp_vectorcall_offset = offsetof(NativeFunction, vectorcall),
    .tp_repr = nf_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = nf_traverse,
    .tp_clear = nf_clear,
    .tp_weaklistoffset = offsetof(NativeFunction, weakreflist),
    .tp_methods = nf_methods,
    .tp_members = nf_members,
    .tp_getset = nf_getset,
    .tp_descr_get = nf_descr_get,
    .tp_dictoffset = offsetof(NativeFunction, dict),
};

int native_function_ready()
{
    return PyType_Ready(&NativeFunctionType);
}

PyObject* native_function_new(const Callable* row, PyObject* code, PyObject* defaults)
{
    NativeFunction* f = PyObject_GC_New(NativeFunction, &NativeFunctionType);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = nf_vectorcall;
    f->row = row;
    f->name = Py_NewRef(row_text(row->name));
    f->qualname = Py_NewRef(row_text(row->qualname));
    f->module = Py_NewRef(str(StrId::module_name));
    f->doc = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(g.module_dict);
    f->code = Py_NewRef(code);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

EntryFn native_function_entry(PyObject* func) noexcept
{
    return as_func(func)->row->entry;
}

// --- made at start-up --------------------------------------------------------

namespace {

[[nodiscard]] bool is_method(const Callable& row) noexcept
{
    return row.owner == Owner::Omitter || row.owner == Owner::NoTrustOmitter;
}

}  // namespace

PyObject* native_function_code(const Callable& row)
{
    const int argcount = row.nparams + (is_method(row) ? 1 : 0);
    int nvarnames = argcount;
    while (nvarnames - argcount < kMaxLocals && row.locals[nvarnames - argcount] != nullptr) {
        ++nvarnames;
    }
    Ref varnames = Ref::steal(PyTuple_New(nvarnames));
    if (!varnames) {
        return nullptr;
    }
    for (int i = 0; i < nvarnames; ++i) {
        const int p = i - (is_method(row) ? 1 : 0);
        const char* text = p < 0             ? "self"
                           : p < row.nparams ? row.params[p].name
                                             : row.locals[p - row.nparams];
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(row_text(text)));
    }
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nvarnames, 0, CO_OPTIMIZED | CO_NEWLOCALS, g.empty_bytes, g.empty_tuple,
        g.empty_tuple, varnames.get(), g.empty_tuple, g.empty_tuple, row_text(row.file),
        row_text(row.name), row_text(row.qualname), row.line, g.empty_bytes, g.empty_bytes));
}

PyObject* native_function_defaults(const Callable& row)
{
    const int n = row.nparams - row.nrequired;
    if (n == 0) {
        return nullptr;
    }
    PyObject* defaults = PyTuple_New(n);
    for (int i = 0; defaults != nullptr && i < n; ++i) {
        const Default d = row.params[row.nrequired + i].dflt;
        PyTuple_SET_ITEM(defaults, i, Py_NewRef(d == Default::One ? g.one : Py_None));
    }
    return defaults;
}

}  // namespace zentrove::omit
