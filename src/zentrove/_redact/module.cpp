// PyInit__redact: a multi-phase module whose exec step makes the
// process-wide state (g) once, then runs each file's start-up hook.
#include "_redact/redact.h"

namespace zentrove::redact {

Globals g = {};

namespace {

// The constants and types of g, made by the first exec step and kept for
// the process (a later one, in another interpreter, shares them).
[[nodiscard]] int make_globals()
{
    if (g.rule_key == nullptr) {
        g.rule_key = PyUnicode_InternFromString("key");
        g.empty_tuple = PyTuple_New(0);
        g.scratch = PyDict_New();
        if (g.rule_key == nullptr || g.empty_tuple == nullptr || g.scratch == nullptr ||
            PyDict_SetItem(g.scratch, g.rule_key, Py_False) < 0) {
            Py_CLEAR(g.rule_key);
            Py_CLEAR(g.empty_tuple);
            Py_CLEAR(g.scratch);
            return -1;
        }
    }
    if (g.defaultdict == nullptr) {
        Ref collections = Ref::steal(PyImport_ImportModule("_collections"));
        if (!collections) {
            return -1;
        }
        PyObject* type = PyObject_GetAttrString(collections.get(), "defaultdict");
        if (type == nullptr) {
            return -1;
        }
        if (!PyType_Check(type)) {
            Py_DECREF(type);
            PyErr_SetString(PyExc_TypeError, "_collections.defaultdict is not a type");
            return -1;
        }
        g.defaultdict = reinterpret_cast<PyTypeObject*>(type);
    }
    if (g.json_error == nullptr) {
        g.json_error = PyErr_NewExceptionWithDoc(
            "zentrove._redact.JSONRedactError",
            "Invalid JSON text; msg, lineno and colno say what and where.", PyExc_ValueError,
            nullptr);
        if (g.json_error == nullptr) {
            return -1;
        }
    }
    return 0;
}

int exec_module(PyObject* module)
{
    if (make_globals() < 0) {
        return -1;
    }
    for (int (*hook)(PyObject*) : {redactor_exec, json_exec, detect_exec}) {
        if (hook(module) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "zentrove._redact",
    .m_doc = "Native core of zentrove.Redactor: key rules, walks, JSON text, detectors.",
    .m_size = 0,
    .m_slots = slots,
};

}  // namespace
}  // namespace zentrove::redact

PyMODINIT_FUNC PyInit__redact()
{
    return PyModuleDef_Init(&zentrove::redact::module_def);
}
