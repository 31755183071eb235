// NoTrustOmitter: the allow-list redactor.  It inherits both walks through
// its table and replaces only should_hide: a key is hidden unless trusted.
#include "binding.h"

namespace zentrove::omit {

namespace {

constexpr const char kShouldHideName[] = "zentrove.omit.NoTrustOmitter.should_hide";
constexpr int kShouldHideLine = 85;
constexpr int kInitBuild = 82;

// clang-format off: one table row per callable, laid out by hand
constexpr Callable kInit = {
    "__init__", "NoTrustOmitter.__init__",
    "zentrove.omit.NoTrustOmitter.__init__", kFileOmit, 79, Owner::Slot,
    CallKind::Fast, nullptr, 1, 0,
    {{"trusted", Kind::ExactList, Default::None}}, {},
};
// clang-format on

[[nodiscard]] NoTrustOmitterObject* as_no_trust(PyObject* o) noexcept
{
    return reinterpret_cast<NoTrustOmitterObject*>(o);
}

int should_hide(OmitterObject* self, PyObject* key)
{
    const int found = keys_contain(reinterpret_cast<NoTrustOmitterObject*>(self)->trusted, key);
    if (found < 0) {
        add_traceback_entry(kShouldHideName, kShouldHideLine, kFileOmit);
        return 0;
    }
    return !found;
}

PyObject* no_trust_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    PyObject* o = omitter_new(type, args, kwds);
    if (o == nullptr) {
        return nullptr;
    }
    as_no_trust(o)->base.ops = &no_trust_ops;
    as_no_trust(o)->trusted = Py_NewRef(Py_None);
    return o;
}

// The allow-list goes through a set, so each key is stored once; it is kept
// as a list because should_hide scans it without hashing.
int no_trust_init(PyObject* o, PyObject* args, PyObject* kwds)
{
    Bound b;
    if (bind_init(kInit, args, kwds, b) < 0) {
        return -1;
    }
    // Held while the set is built: its allocation may start the collector,
    // and hashing runs Python code; either may reset the global list.
    Ref given = Ref::borrow(b.obj[0] == Py_None ? g.global_trusted : b.obj[0]);
    Ref keys = Ref::steal(PySet_New(given.get()));
    if (!keys) {
        fail(kInit, kInitBuild);
        return -1;
    }
    Ref global = Ref::borrow(g.global_trusted);
    if (_PySet_Update(keys.get(), global.get()) < 0) {
        fail(kInit, kInitBuild);
        return -1;
    }
    Ref list = Ref::steal(PySequence_List(keys.get()));
    if (!list) {
        fail(kInit, kInitBuild);
        return -1;
    }
    Py_XSETREF(as_no_trust(o)->trusted, list.release());
    return 0;
}

int no_trust_traverse(PyObject* o, visitproc visit, void* arg)
{
    const int e = omitter_traverse(o, visit, arg);
    if (e != 0) {
        return e;
    }
    Py_VISIT(as_no_trust(o)->trusted);
    return 0;
}

int no_trust_clear(PyObject* o)
{
    omitter_clear(o);
    Py_XSETREF(as_no_trust(o)->trusted, Py_NewRef(Py_None));
    return 0;
}

void no_trust_dealloc(PyObject* o)
{
    if (resurrected_by_finalizer(o, no_trust_dealloc)) {
        return;
    }
    PyObject_GC_UnTrack(o);
    Py_CLEAR(as_no_trust(o)->trusted);
    // Omitter's deallocation untracks again, releases omissions and frees.
    PyObject_GC_Track(o);
    omitter_dealloc(o);
}

constexpr const Callable* kRows[] = {&kInit};

}  // namespace

constexpr CallableTable no_trust_callables = table_of(kRows);

// Omitter's table with this type's key decision (see omitter.cpp).
constexpr OmitterOps no_trust_ops = {should_hide, walk_dict, walk_list};

PyTypeObject NoTrustOmitterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "zentrove.omit.NoTrustOmitter",
    .tp_basicsize = sizeof(NoTrustOmitterObject),
    .tp_dealloc = no_trust_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = no_trust_traverse,
    .tp_clear = no_trust_clear,
    .tp_methods = no_trust_methods,
    .tp_init = no_trust_init,
    .tp_new = no_trust_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace zentrove::omit
