// Start-up of zentrove.omit: PyInit_omit, the create and exec steps of
// multi-phase initialisation, and the constants every other file uses.
// All state is process-wide; the module admits one interpreter per process
// and a start-up that succeeded never runs again.
#include "internal.h"

#include <cstring>

// The embedding flag: a host that runs the module as its main program sets
// it before the import, and start-up then names the module "__main__".
extern "C" {
__attribute__((visibility("default"))) int zentrove_omit_embedded = 0;
}

namespace zt {

Globals g = {.main_interpreter = -1};

namespace {

constexpr const char kInitName[] = "init zentrove.omit";

// Kinds of the string table rows.
constexpr bool I = true;   // interned identifier
constexpr bool P = false;  // plain string

constexpr bool kStringInterned[] = {
#define ZT_STRING_KIND(id, text, kind) kind,
    ZT_STRINGS(ZT_STRING_KIND)
#undef ZT_STRING_KIND
};

// The fifteen function objects, in binding order.
constexpr FunctionSpec kFunctions[] = {
    {"hide", entry_hide, CallKind::Fast, Owner::Module, S::hide, S::hide,
     S::file_omit, 8, 1, 1, {S::target}, false},
    {"globally_hidden", entry_globally_hidden, CallKind::NoArgs, Owner::Module,
     S::globally_hidden, S::globally_hidden, S::file_omit, 13, 0, 0, {},
     false},
    {"always_omit", entry_always_omit, CallKind::Fast, Owner::Module,
     S::always_omit, S::always_omit, S::file_omit, 16, 1, 1, {S::targets},
     false},
    {"globally_trusted", entry_globally_trusted, CallKind::NoArgs,
     Owner::Module, S::globally_trusted, S::globally_trusted, S::file_omit,
     20, 0, 0, {}, false},
    {"always_trust", entry_always_trust, CallKind::Fast, Owner::Module,
     S::always_trust, S::always_trust, S::file_omit, 23, 1, 1, {S::targets},
     false},
    {"reset_omissions", entry_reset_omissions, CallKind::NoArgs, Owner::Module,
     S::reset_omissions, S::reset_omissions, S::file_omit, 27, 0, 0, {},
     false},
    {"reset_trusted", entry_reset_trusted, CallKind::NoArgs, Owner::Module,
     S::reset_trusted, S::reset_trusted, S::file_omit, 31, 0, 0, {}, false},
    {"omit", entry_omit, CallKind::Fast, Owner::Omitter, S::omit,
     S::q_Omitter_omit, S::file_omit, 46, 2, 2, {S::self, S::target}, false},
    {"omit_recurse", entry_omit_recurse, CallKind::Fast, Owner::Omitter,
     S::omit_recurse, S::q_Omitter_omit_recurse, S::file_omit, 62, 3, 3,
     {S::self, S::target, S::do_}, true},
    {"__reduce_cython__", entry_reduce_Omitter, CallKind::Fast, Owner::Omitter,
     S::reduce_cython, S::q_Omitter_reduce, S::file_stringsource, 1, 1, 4,
     {S::self, S::state, S::dict_local, S::use_setstate}, false},
    {"__setstate_cython__", entry_setstate_Omitter, CallKind::Fast,
     Owner::Omitter, S::setstate_cython, S::q_Omitter_setstate,
     S::file_stringsource, 16, 2, 2, {S::self, S::pyx_state}, false},
    {"__reduce_cython__", entry_reduce_NoTrustOmitter, CallKind::Fast,
     Owner::NoTrustOmitter, S::reduce_cython, S::q_NoTrust_reduce,
     S::file_stringsource, 1, 1, 4,
     {S::self, S::state, S::dict_local, S::use_setstate}, false},
    {"__setstate_cython__", entry_setstate_NoTrustOmitter, CallKind::Fast,
     Owner::NoTrustOmitter, S::setstate_cython, S::q_NoTrust_setstate,
     S::file_stringsource, 16, 2, 2, {S::self, S::pyx_state}, false},
    {"__pyx_unpickle_Omitter", entry_unpickle_Omitter, CallKind::Fast,
     Owner::Module, S::unpickle_Omitter, S::unpickle_Omitter,
     S::file_stringsource, 1, 3, 5,
     {S::pyx_type, S::pyx_checksum, S::pyx_state, S::pyx_PickleError,
      S::pyx_result},
     false},
    {"__pyx_unpickle_NoTrustOmitter", entry_unpickle_NoTrustOmitter,
     CallKind::Fast, Owner::Module, S::unpickle_NoTrustOmitter,
     S::unpickle_NoTrustOmitter, S::file_stringsource, 1, 3, 5,
     {S::pyx_type, S::pyx_checksum, S::pyx_state, S::pyx_PickleError,
      S::pyx_result},
     false},
};
constexpr int kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);

PyObject* function_code[kFunctionCount];  // owned, built once

// Sets an owned constant once; a failed start-up keeps what it made, and a
// later attempt reuses it.  -1 when `made` failed.
[[nodiscard]] int keep(PyObject** slot, PyObject* made) noexcept
{
    if (made == nullptr) {
        return -1;
    }
    *slot = made;
    return 0;
}

// --- create -----------------------------------------------------------------

struct SpecAttr {
    const char* from;
    const char* to;
    bool none_too;  // copied also when the spec's value is None
};
constexpr SpecAttr kSpecAttrs[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    const int64_t id = PyInterpreterState_GetID(
        PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (g.main_interpreter == -1) {
        if (id == -1) {
            return nullptr;
        }
        g.main_interpreter = id;
    }
    else if (id != g.main_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module != nullptr) {
        return Py_NewRef(g.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    for (const SpecAttr& a : kSpecAttrs) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, a.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !a.none_too) {
            continue;
        }
        if (PyDict_SetItemString(dict, a.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// --- exec -------------------------------------------------------------------

// Warns when the interpreter is not the 3.11 the module was built for.
[[nodiscard]] int check_version()
{
    char built[5];
    PyOS_snprintf(built, sizeof(built), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    bool same = true;
    for (int i = 0; i < 4; ++i) {
        if (built[i] == '\0') {
            same = !(running[i] >= '0' && running[i] <= '9');
            break;
        }
        if (running[i] != built[i]) {
            same = false;
            break;
        }
    }
    if (same) {
        return 0;
    }
    char found[5] = {};
    bool dot = false;
    for (int i = 0; i < 4; ++i) {
        const char c = running[i];
        if (c == '.') {
            if (dot) {
                break;
            }
            dot = true;
        }
        else if (!(c >= '0' && c <= '9')) {
            break;
        }
        found[i] = c;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time version %s of module '%.100s' does not match "
                  "runtime version %s",
                  built, "zentrove.omit", found);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

[[nodiscard]] int make_strings()
{
    for (int i = 0; i < static_cast<int>(S::count); ++i) {
        if (g.strings[i] == nullptr) {
            const char* t = kStringText[i];
            PyObject* s = kStringInterned[i]
                              ? PyUnicode_InternFromString(t)
                              : PyUnicode_FromStringAndSize(
                                    t, static_cast<Py_ssize_t>(std::strlen(t)));
            if (keep(&g.strings[i], s) < 0) {
                return -1;
            }
        }
        if (PyObject_Hash(g.strings[i]) == -1) {
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] int make_integers()
{
    struct IntRow {
        PyObject** slot;
        long value;
    };
    const IntRow rows[] = {
        {&g.int_1, 1},
        {&g.int_0x1022349, 0x1022349},
        {&g.int_0x63752f2, 0x63752f2},
        {&g.int_0x676fd74, 0x676fd74},
        {&g.int_0x6e28aab, 0x6e28aab},
        {&g.int_0x7c505b1, 0x7c505b1},
        {&g.int_0xf72771a, 0xf72771a},
    };
    for (const IntRow& r : rows) {
        if (*r.slot == nullptr && keep(r.slot, PyLong_FromLong(r.value)) < 0) {
            return -1;
        }
    }
    return 0;
}

[[nodiscard]] PyObject* make_code(const FunctionSpec& f)
{
    Ref varnames = Ref::steal(PyTuple_New(f.nvarnames));
    if (!varnames) {
        return nullptr;
    }
    for (int i = 0; i < f.nvarnames; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(str(f.varnames[i])));
    }
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        f.argcount, 0, 0, f.nvarnames, 0, CO_OPTIMIZED | CO_NEWLOCALS,
        g.empty_bytes, g.empty_tuple, g.empty_tuple, varnames.get(),
        g.empty_tuple, g.empty_tuple, str(f.file_id), str(f.name_id),
        str(f.qualname_id), f.first_line, g.empty_bytes, g.empty_bytes));
}

[[nodiscard]] int make_tuples_and_code()
{
    if (g.checksums_Omitter == nullptr &&
        keep(&g.checksums_Omitter,
             PyTuple_Pack(3, g.int_0xf72771a, g.int_0x676fd74,
                          g.int_0x1022349)) < 0) {
        return -1;
    }
    if (g.checksums_NoTrustOmitter == nullptr &&
        keep(&g.checksums_NoTrustOmitter,
             PyTuple_Pack(3, g.int_0x63752f2, g.int_0x7c505b1,
                          g.int_0x6e28aab)) < 0) {
        return -1;
    }
    if (g.defaults_omit_recurse == nullptr &&
        keep(&g.defaults_omit_recurse, PyTuple_Pack(1, g.int_1)) < 0) {
        return -1;
    }
    for (int i = 0; i < kFunctionCount; ++i) {
        if (function_code[i] == nullptr &&
            keep(&function_code[i], make_code(kFunctions[i])) < 0) {
            return -1;
        }
    }
    return 0;
}

// Readies a static type with the collector off, as immutable.
[[nodiscard]] int ready_type(PyTypeObject* type)
{
    const int was_enabled = PyGC_Disable();
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    const int r = PyType_Ready(type);
    if (was_enabled) {
        PyGC_Enable();
    }
    return r;
}

// Steps 12 and 13 for one redactor type.
[[nodiscard]] int setup_type(PyTypeObject* type, OmitterOps* ops, S name)
{
    if (ready_type(type) < 0) {
        return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(ops, nullptr, nullptr));
    if (!capsule ||
        PyDict_SetItem(type->tp_dict, str(S::pyx_vtable), capsule.get()) < 0) {
        return -1;
    }
    if (PyDict_SetItem(g.module_dict, str(name),
                       reinterpret_cast<PyObject*>(type)) < 0) {
        return -1;
    }
    return prepare_pickling(type);
}

[[nodiscard]] int bind_function(int i)
{
    const FunctionSpec& f = kFunctions[i];
    Ref func = Ref::steal(
        native_function_new(&f, str(f.qualname_id), function_code[i]));
    if (!func) {
        return -1;
    }
    if (f.has_defaults) {
        native_function_set_defaults(func.get(), g.defaults_omit_recurse);
    }
    if (f.owner == Owner::Module) {
        return PyDict_SetItem(g.module_dict, str(f.name_id), func.get());
    }
    PyTypeObject* type =
        f.owner == Owner::Omitter ? &OmitterType : &NoTrustOmitterType;
    if (PyDict_SetItem(type->tp_dict, str(f.name_id), func.get()) < 0) {
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

[[nodiscard]] int fail_init(int line, const char* file = kFileOmit)
{
    add_traceback_entry(kInitName, line, file);
    return -1;
}

// Exec steps 3 to 16.  Entries "init zentrove.omit" are added from step 9.
[[nodiscard]] int exec_steps(PyObject* module)
{
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) {
        return -1;
    }
    if (g.builtins == nullptr) {
        g.builtins = Py_NewRef(builtins);
    }
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return -1;
    }
    if (check_version() < 0) {
        return -1;
    }
    if ((g.empty_tuple == nullptr && keep(&g.empty_tuple, PyTuple_New(0)) < 0) ||
        (g.empty_bytes == nullptr &&
         keep(&g.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0) ||
        (g.empty_str == nullptr &&
         keep(&g.empty_str, PyUnicode_FromStringAndSize("", 0)) < 0)) {
        return -1;
    }
    if (native_function_ready() < 0 || make_strings() < 0 ||
        make_integers() < 0) {
        return -1;
    }
    if (zentrove_omit_embedded != 0 &&
        PyObject_SetAttr(module, str(S::dunder_name), str(S::main)) < 0) {
        return fail_init(1);
    }
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* entered = PyDict_GetItemWithError(modules, str(S::module_name));
    if (entered == nullptr &&
        (PyErr_Occurred() ||
         PyDict_SetItem(modules, str(S::module_name), module) < 0)) {
        return fail_init(1);
    }
    if (make_tuples_and_code() < 0) {
        return fail_init(1);
    }
    omitter_fill_ops(&omitter_ops);
    if (setup_type(&OmitterType, &omitter_ops, S::Omitter) < 0) {
        return fail_init(1);
    }
    no_trust_fill_ops(&no_trust_ops);
    NoTrustOmitterType.tp_base = &OmitterType;
    if (setup_type(&NoTrustOmitterType, &no_trust_ops, S::NoTrustOmitter) < 0) {
        return fail_init(1);
    }
    PyObject* deny = PyList_New(0);
    if (deny == nullptr) {
        return fail_init(3);
    }
    Py_XSETREF(g.global_omissions, deny);
    PyObject* allow = PyList_New(0);
    if (allow == nullptr) {
        return fail_init(4);
    }
    Py_XSETREF(g.global_trusted, allow);
    Py_XSETREF(g.ast, Py_NewRef(str(S::ast)));
    for (int i = 0; i < kFunctionCount; ++i) {
        if (bind_function(i) < 0) {
            return fail_init(kFunctions[i].first_line,
                             text(kFunctions[i].file_id));
        }
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g.module_dict, str(S::dunder_test), test.get()) < 0) {
        return fail_init(1);
    }
    return 0;
}

int module_exec(PyObject* module)
{
    if (g.module != nullptr) {
        if (g.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'omit' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    g.module_dict = PyModule_GetDict(module);
    if (g.module_dict == nullptr || exec_steps(module) < 0) {
        g.module_dict = nullptr;
        Py_CLEAR(g.module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "omit",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace zt

PyMODINIT_FUNC PyInit_omit(void)
{
    return PyModuleDef_Init(&zt::module_def);
}
