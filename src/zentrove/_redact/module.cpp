// PyInit__redact: a multi-phase module whose exec step runs each file's hook.
#include "redact.h"

namespace zr {
namespace {

int exec_module(PyObject* module)
{
    for (int (*hook)(PyObject*) : {rules_exec, walk_exec, text_exec, detect_exec}) {
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
}  // namespace zr

PyMODINIT_FUNC PyInit__redact()
{
    return PyModuleDef_Init(&zr::module_def);
}
