// RedactorBase, the native base of zentrove.Redactor: its lifecycle, the
// one-time __init__ that compiles the rules from arguments the Python class
// has already checked and normalised, and read-only views of those arguments.
#include "_redact/redactor.h"
#include "_redact/walk/walk.h"

namespace zentrove::redact {
namespace {

// __init__(keys, allow, exact, contains, mask, scalars, detectors): keys and
// contains are tuples of exact str, mask an exact str or None.  Succeeds
// once: the walks rely on rules that never change under them.
int redactor_init(PyObject* o, PyObject* args, PyObject* kwds)
{
    auto* self = reinterpret_cast<RedactorObject*>(o);
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) {
        PyErr_SetString(PyExc_TypeError, "RedactorBase.__init__() takes no keyword arguments");
        return -1;
    }
    PyObject* keys;
    PyObject* allow;
    PyObject* exact;
    PyObject* contains;
    PyObject* mask;
    PyObject* scalars;
    unsigned int detectors;
    if (!PyArg_ParseTuple(args, "O!O!O!O!OO!I:RedactorBase.__init__", &PyTuple_Type, &keys,
                          &PyBool_Type, &allow, &PyBool_Type, &exact, &PyTuple_Type, &contains,
                          &mask, &PyBool_Type, &scalars, &detectors)) {
        return -1;
    }
    if (self->ready) {
        PyErr_SetString(PyExc_RuntimeError, "Redactor.__init__ was already called: its rules "
                                            "cannot change");
        return -1;
    }
    Rules rules;
    if (rules_compile(rules, keys, allow == Py_True, exact == Py_True, contains, mask,
                      scalars == Py_True, detectors) < 0) {
        return -1;
    }
    // No failures from this point on.
    self->rules = rules;
    self->keys = Py_NewRef(keys);
    self->contains = Py_NewRef(contains);
    self->ready = true;
    return 0;
}

int redactor_traverse(PyObject* o, visitproc visit, void* arg)
{
    auto* self = reinterpret_cast<RedactorObject*>(o);
    Py_VISIT(self->keys);
    Py_VISIT(self->contains);
    return 0;
}

int redactor_clear(PyObject* o)
{
    auto* self = reinterpret_cast<RedactorObject*>(o);
    Py_CLEAR(self->keys);
    Py_CLEAR(self->contains);
    return 0;
}

void redactor_dealloc(PyObject* o)
{
    auto* self = reinterpret_cast<RedactorObject*>(o);
    PyObject_GC_UnTrack(o);
    redactor_clear(o);
    rules_free(self->rules);
    Py_TYPE(o)->tp_free(o);
}

// is_sensitive(key): the verdict of the rules for one key object.
PyObject* redactor_is_sensitive(PyObject* o, PyObject* key)
{
    const Rules* rules = rules_of(o);
    if (rules == nullptr) {
        return nullptr;
    }
    const int found = key_sensitive(*rules, key);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyMethodDef redactor_methods[] = {
    {"redact", redactor_redact, METH_O,
     "redact($self, data, /)\n--\n\n"
     "Masks the secrets in data in place and returns data."},
    {"redacted", redactor_redacted, METH_O,
     "redacted($self, data, /)\n--\n\n"
     "A redacted copy of data; data itself is left untouched."},
    {"report", redactor_report, METH_O,
     "report($self, data, /)\n--\n\n"
     "The (path, rule) pairs of what would be masked, in walk order."},
    {"is_sensitive", redactor_is_sensitive, METH_O,
     "is_sensitive($self, key, /)\n--\n\n"
     "Whether values stored under this key are masked."},
    {"scan", redactor_scan, METH_O, redactor_scan_doc},
    {nullptr, nullptr, 0, nullptr},
};

// --- read-only views of the arguments ---------------------------------------

[[nodiscard]] PyObject* keys_if(RedactorObject* self, bool allow)
{
    if (self->ready && self->rules.allow == allow && self->keys != nullptr) {
        return Py_NewRef(self->keys);
    }
    Py_RETURN_NONE;
}

PyObject* get_omit(PyObject* o, void*)
{
    return keys_if(reinterpret_cast<RedactorObject*>(o), false);
}

PyObject* get_trust(PyObject* o, void*)
{
    return keys_if(reinterpret_cast<RedactorObject*>(o), true);
}

PyObject* get_exact(PyObject* o, void*)
{
    return PyBool_FromLong(reinterpret_cast<RedactorObject*>(o)->rules.exact);
}

PyObject* get_scalars(PyObject* o, void*)
{
    return PyBool_FromLong(reinterpret_cast<RedactorObject*>(o)->rules.scalars);
}

PyObject* get_contains(PyObject* o, void*)
{
    auto* self = reinterpret_cast<RedactorObject*>(o);
    if (self->contains == nullptr) {
        return PyTuple_New(0);
    }
    return Py_NewRef(self->contains);
}

PyObject* get_mask(PyObject* o, void*)
{
    PyObject* mask = reinterpret_cast<RedactorObject*>(o)->rules.mask;
    return Py_NewRef(mask != nullptr ? mask : Py_None);
}

PyGetSetDef redactor_getset[] = {
    {"omit", get_omit, nullptr,
     "The listed keys of a deny-list, as a tuple; None for an allow-list.", nullptr},
    {"trust", get_trust, nullptr,
     "The listed keys of an allow-list, as a tuple; None for a deny-list.", nullptr},
    {"exact", get_exact, nullptr, "True when keys compare by exact text.", nullptr},
    {"contains", get_contains, nullptr,
     "Substrings that make a key sensitive wherever they occur in it.", nullptr},
    {"mask", get_mask, nullptr, "The fixed mask, or None for stars as long as the secret.",
     nullptr},
    {"scalars", get_scalars, nullptr,
     "True when numbers and bytes under a sensitive key are masked too.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject RedactorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "zentrove._redact.RedactorBase",
    .tp_basicsize = sizeof(RedactorObject),
    .tp_dealloc = redactor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Native base of zentrove.Redactor: compiled key rules and the walks.",
    .tp_traverse = redactor_traverse,
    .tp_clear = redactor_clear,
    .tp_methods = redactor_methods,
    .tp_getset = redactor_getset,
    .tp_init = redactor_init,
    .tp_new = PyType_GenericNew,
};

int redactor_exec(PyObject* module)
{
    if (PyType_Ready(&RedactorType) < 0) {
        return -1;
    }
    return PyModule_AddType(module, &RedactorType);
}

}  // namespace zentrove::redact
