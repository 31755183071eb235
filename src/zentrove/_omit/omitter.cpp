// Omitter, the deny-list redactor: its type and lifecycle, building its key
// list, its key decision, and its table of virtual operations.  The walks
// live in walk.cpp, pickling in pickling.cpp.
#include "binding.h"

namespace zentrove::omit {

namespace {

constexpr const char kShouldHideName[] = "zentrove.omit.Omitter.should_hide";
constexpr int kShouldHideLine = 44;
constexpr int kInitBuild = 41;

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kInit = {
    "__init__", "Omitter.__init__", "zentrove.omit.Omitter.__init__",
    kFileOmit, 38, Owner::Slot, CallKind::Fast, nullptr, 1, 0,
    {{"omissions", Kind::ExactList, Default::None}}, {},
};
// clang-format on

int should_hide(OmitterObject* self, PyObject* key)
{
    const int found = keys_contain(self->omissions, key);
    if (found < 0) {
        add_traceback_entry(kShouldHideName, kShouldHideLine, kFileOmit);
        return 0;
    }
    return found;
}

int omitter_init(PyObject* o, PyObject* args, PyObject* kwds)
{
    Bound b;
    if (bind_init(kInit, args, kwds, b) < 0) {
        return -1;
    }
    // Both lists are held: the copy's allocation may start the collector,
    // whose callbacks may reset the global list or empty a keyword dict.
    Ref given = Ref::borrow(b.obj[0] == Py_None ? g.global_omissions : b.obj[0]);
    Ref keys = Ref::steal(PyList_GetSlice(given.get(), 0, PY_SSIZE_T_MAX));
    if (!keys) {
        fail(kInit, kInitBuild);
        return -1;
    }
    Ref global = Ref::borrow(g.global_omissions);
    Ref extended =
        Ref::steal(_PyList_Extend(reinterpret_cast<PyListObject*>(keys.get()), global.get()));
    if (!extended) {
        fail(kInit, kInitBuild);
        return -1;
    }
    Py_XSETREF(reinterpret_cast<OmitterObject*>(o)->omissions, keys.release());
    return 0;
}

constexpr const Callable* kRows[] = {&kInit};

}  // namespace

constexpr CallableTable omitter_callables = table_of(kRows);

// The table's slots and their order are a published layout: start-up puts
// its address in the type's dict under __pyx_vtable__, where other native
// code reads it, so it is a plain C table of function pointers, constant
// from load time.  NoTrustOmitter's table differs in should_hide only.
constexpr OmitterOps omitter_ops = {should_hide, walk_dict, walk_list};

PyObject* omitter_new(PyTypeObject* type, PyObject*, PyObject*)
{
    PyObject* o;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // object.__new__ refuses abstract classes with its own message.
        o = PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr);
    }
    else {
        o = type->tp_alloc(type, 0);
    }
    if (o == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<OmitterObject*>(o);
    self->ops = &omitter_ops;
    self->omissions = Py_NewRef(Py_None);
    return o;
}

int omitter_traverse(PyObject* o, visitproc visit, void* arg)
{
    Py_VISIT(reinterpret_cast<OmitterObject*>(o)->omissions);
    return 0;
}

int omitter_clear(PyObject* o)
{
    Py_XSETREF(reinterpret_cast<OmitterObject*>(o)->omissions, Py_NewRef(Py_None));
    return 0;
}

bool resurrected_by_finalizer(PyObject* o, destructor own_dealloc)
{
    PyTypeObject* tp = Py_TYPE(o);
    return tp->tp_finalize != nullptr && !PyObject_GC_IsFinalized(o) &&
           tp->tp_dealloc == own_dealloc && PyObject_CallFinalizerFromDealloc(o) < 0;
}

void omitter_dealloc(PyObject* o)
{
    if (resurrected_by_finalizer(o, omitter_dealloc)) {
        return;
    }
    PyObject_GC_UnTrack(o);
    Py_CLEAR(reinterpret_cast<OmitterObject*>(o)->omissions);
    Py_TYPE(o)->tp_free(o);
}

PyTypeObject OmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "zentrove.omit.Omitter",
    .tp_basicsize = sizeof(OmitterObject),
    .tp_dealloc = omitter_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = omitter_traverse,
    .tp_clear = omitter_clear,
    .tp_methods = omitter_methods,
    .tp_init = omitter_init,
    .tp_new = omitter_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace zentrove::omit
