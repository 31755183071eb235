// Start-up of zentrove.omit: PyInit_omit, the create and exec phases of
// multi-phase initialisation, and the constants every other file uses.
// All state is process-wide; the module admits one interpreter per process
// and a start-up that succeeded never runs again.
#include "binding.h"

#include "_common/mask.h"

#include <cstring>

// The embedding flag: a host that runs the module as its main program sets
// it before the import, and start-up then names the module "__main__".
extern "C" {
__attribute__((visibility("default"))) int zentrove_omit_embedded = 0;
}

namespace zentrove::omit {

Globals g = {.main_interpreter = -1};

namespace {

constexpr const char kInitName[] = "init zentrove.omit";

// Lines of the start-up's traceback entries: the module body, and the
// bindings of the two global lists.  A function object that cannot be bound
// reports its own definition line and file.
enum InitLine : int {
    kInitModule = 1,
    kInitDenyList = 3,
    kInitAllowList = 4,
};

// Kinds of the string table rows.
constexpr bool Interned = true;
constexpr bool Plain = false;

constexpr const char* kStringText[] = {
#define ZT_STRING_TEXT(id, text, kind) text,
    ZT_STRINGS(ZT_STRING_TEXT)
#undef ZT_STRING_TEXT
};

constexpr bool kStringInterned[] = {
#define ZT_STRING_KIND(id, text, kind) kind,
    ZT_STRINGS(ZT_STRING_KIND)
#undef ZT_STRING_KIND
};

// Every callable, in the order start-up binds the function objects: each
// file's table in file order.
constexpr const CallableTable* kTables[] = {
    &mask_callables,     &keys_callables,     &walk_callables,     &omitter_callables,
    &no_trust_callables, &pickling_callables, &unpickle_callables,
};

// Code objects and defaults of the function objects, made once per row in
// the joined order (NULL for slots and for functions without defaults).
constexpr int kMaxCallables = 32;
PyObject* function_code[kMaxCallables];      // owned
PyObject* function_defaults[kMaxCallables];  // owned

// Calls `visit(row, index)` for every row of every table.
template <typename Visit>
[[nodiscard]] int for_each_row(Visit visit)
{
    int index = 0;
    for (const CallableTable* table : kTables) {
        for (int i = 0; i < table->count; ++i, ++index) {
            if (visit(*table->rows[i], index) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Makes an owned constant unless an earlier, failed start-up already did;
// false when making it failed.
template <typename Make>
[[nodiscard]] bool ensure(PyObject*& slot, Make make)
{
    if (slot == nullptr) {
        slot = make();
    }
    return slot != nullptr;
}

[[nodiscard]] int add_row_texts(const Callable& row, int)
{
    if (add_text(row.name, Interned) < 0 || add_text(row.qualname, Interned) < 0 ||
        add_text(row.file, Plain) < 0) {
        return -1;
    }
    for (int i = 0; i < row.nparams; ++i) {
        if (add_text(row.params[i].name, Interned) < 0) {
            return -1;
        }
    }
    for (const char* local : row.locals) {
        if (local != nullptr && add_text(local, Interned) < 0) {
            return -1;
        }
    }
    return 0;
}

// --- create -----------------------------------------------------------------

// Attributes of the module spec that become module attributes.
struct CopiedAttr {
    const char* from;
    const char* to;
    bool none_too;  // copied also when the module spec's value is None
};
constexpr CopiedAttr kCopiedAttrs[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    const int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (g.main_interpreter == -1) {
        if (id == -1) {
            return nullptr;
        }
        g.main_interpreter = id;
    }
    else if (id != g.main_interpreter) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
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
    for (const CopiedAttr& a : kCopiedAttrs) {
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
    PyOS_snprintf(built, sizeof(built), "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
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
    for (int i = 0; i < static_cast<int>(StrId::count); ++i) {
        const char* t = kStringText[i];
        if (!ensure(g.strings[i], [&] {
                return kStringInterned[i] ? PyUnicode_InternFromString(t)
                                          : PyUnicode_FromString(t);
            })) {
            return -1;
        }
        if (PyObject_Hash(g.strings[i]) == -1) {
            return -1;
        }
    }
    return add_text("self", Interned) < 0 ? -1 : for_each_row(add_row_texts);
}

[[nodiscard]] PyObject* make_checksums(long sha256, long sha1, long md5)
{
    Ref a = Ref::steal(PyLong_FromLong(sha256));
    Ref b = a ? Ref::steal(PyLong_FromLong(sha1)) : Ref();
    Ref c = b ? Ref::steal(PyLong_FromLong(md5)) : Ref();
    return c ? PyTuple_Pack(3, a.get(), b.get(), c.get()) : nullptr;
}

// The constants made before the types: checksums, code objects, defaults.
[[nodiscard]] int make_constants()
{
    if (!ensure(g.one,
                [] {
                    return PyLong_FromLong(1);
                }) ||
        !ensure(g.mask,
                [] {
                    return PyUnicode_FromStringAndSize(&kMaskChar, 1);
                }) ||
        !ensure(g.omitter_checksums,
                [] {
                    return make_checksums(0xf72771a, 0x676fd74, 0x1022349);
                }) ||
        !ensure(g.no_trust_checksums, [] {
            return make_checksums(0x63752f2, 0x7c505b1, 0x6e28aab);
        })) {
        return -1;
    }
    return for_each_row([](const Callable& row, int i) {
        if (i >= kMaxCallables) {
            PyErr_SetString(PyExc_SystemError, "too many callables");
            return -1;
        }
        if (row.owner == Owner::Slot) {
            return 0;
        }
        if (!ensure(function_code[i], [&] {
                return native_function_code(row);
            })) {
            return -1;
        }
        if (function_defaults[i] == nullptr) {
            function_defaults[i] = native_function_defaults(row);
            if (function_defaults[i] == nullptr && PyErr_Occurred()) {
                return -1;
            }
        }
        return 0;
    });
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

// Readies one redactor type, publishes its table of virtual operations in
// its dict, binds it as a module attribute and sets up its pickling.
[[nodiscard]] int setup_type(PyTypeObject* type, const OmitterOps* ops, StrId name)
{
    if (ready_type(type) < 0) {
        return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<OmitterOps*>(ops), nullptr, nullptr));
    if (!capsule || PyDict_SetItem(type->tp_dict, str(StrId::pyx_vtable), capsule.get()) < 0) {
        return -1;
    }
    if (PyDict_SetItem(g.module_dict, str(name), reinterpret_cast<PyObject*>(type)) < 0) {
        return -1;
    }
    return prepare_pickling(type);
}

// Makes the function object of a row and stores it where its owner keeps
// it: the module dict, or the dict of its type.
[[nodiscard]] int bind_function(const Callable& row, int i)
{
    Ref func = Ref::steal(native_function_new(&row, function_code[i], function_defaults[i]));
    if (!func) {
        return -1;
    }
    PyObject* name = row_text(row.name);
    if (row.owner == Owner::Module) {
        return PyDict_SetItem(g.module_dict, name, func.get());
    }
    PyTypeObject* type = row.owner == Owner::Omitter ? &OmitterType : &NoTrustOmitterType;
    if (PyDict_SetItem(type->tp_dict, name, func.get()) < 0) {
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

// The exec phase of start-up, in order: builtins, the version check, the
// constants, the module's entry in sys.modules, both types, the global
// lists and the mask, the function objects, and __test__.  Failures from
// the module's entry in sys.modules on carry an "init zentrove.omit" entry.
[[nodiscard]] int exec_module(PyObject* module)
{
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) {
        return -1;
    }
    if (g.builtins == nullptr) {
        g.builtins = Py_NewRef(builtins);
    }
    if (PyObject_SetAttrString(module, "__builtins__", g.builtins) < 0) {
        return -1;
    }
    if (check_version() < 0) {
        return -1;
    }
    if (!ensure(g.empty_tuple,
                [] {
                    return PyTuple_New(0);
                }) ||
        !ensure(g.empty_bytes, [] {
            return PyBytes_FromStringAndSize("", 0);
        })) {
        return -1;
    }
    if (native_function_ready() < 0 || make_strings() < 0) {
        return -1;
    }
    if (zentrove_omit_embedded != 0 &&
        PyObject_SetAttr(module, str(StrId::dunder_name), str(StrId::main)) < 0) {
        return fail_init(kInitModule);
    }
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* entered = PyDict_GetItemWithError(modules, str(StrId::module_name));
    if (entered == nullptr &&
        (PyErr_Occurred() || PyDict_SetItem(modules, str(StrId::module_name), module) < 0)) {
        return fail_init(kInitModule);
    }
    if (make_constants() < 0) {
        return fail_init(kInitModule);
    }
    if (setup_type(&OmitterType, &omitter_ops, StrId::Omitter) < 0) {
        return fail_init(kInitModule);
    }
    NoTrustOmitterType.tp_base = &OmitterType;
    if (setup_type(&NoTrustOmitterType, &no_trust_ops, StrId::NoTrustOmitter) < 0) {
        return fail_init(kInitModule);
    }
    PyObject* deny = PyList_New(0);
    if (deny == nullptr) {
        return fail_init(kInitDenyList);
    }
    Py_XSETREF(g.global_omissions, deny);
    PyObject* allow = PyList_New(0);
    if (allow == nullptr) {
        return fail_init(kInitAllowList);
    }
    Py_XSETREF(g.global_trusted, allow);
    if (for_each_row([](const Callable& row, int i) {
            if (row.owner == Owner::Slot || bind_function(row, i) == 0) {
                return 0;
            }
            return fail_init(row.line, row.file);
        }) < 0) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g.module_dict, str(StrId::dunder_test), test.get()) < 0) {
        return fail_init(kInitModule);
    }
    return 0;
}

int module_exec(PyObject* module)
{
    if (g.module != nullptr) {
        if (g.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'omit' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    g.module_dict = PyModule_GetDict(module);
    if (g.module_dict == nullptr || exec_module(module) < 0) {
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

}  // namespace zentrove::omit

PyMODINIT_FUNC PyInit_omit(void)
{
    return PyModuleDef_Init(&zentrove::omit::module_def);
}
