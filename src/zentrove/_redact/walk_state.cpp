// The state of one walk: the map of containers already walked, the masks
// made in the call, the report and its paths, the errors the walks raise,
// and the constants that start-up makes for them.
#include "walk.h"

#include "_common/mask.h"

#include <structmember.h>

#include <cstring>

#include <pthread.h>

namespace zr {

PyObject* g_rule_key = nullptr;      // owned for the process: "key"
PyObject* g_empty_tuple = nullptr;   // owned for the process
PyObject* g_scratch = nullptr;       // owned for the process: {"key": bool}
PyTypeObject* g_defaultdict = nullptr;  // owned for the process

// --- per-call state -----------------------------------------------------------

SeenMap::~SeenMap()
{
    for (size_t i = 0; used_ > 0 && i < capacity_; ++i) {
        if (slots_[i].key != 0) {
            Py_DECREF(slots_[i].obj);
            Py_XDECREF(slots_[i].copy);
        }
    }
    if (slots_ != inline_) {
        PyMem_Free(slots_);
    }
}

namespace {
[[nodiscard]] inline uintptr_t seen_key(PyObject* obj, bool sensitive) noexcept
{
    return reinterpret_cast<uintptr_t>(obj) | (sensitive ? 1 : 0);
}
[[nodiscard]] inline size_t seen_hash(uintptr_t key) noexcept
{
    // Objects are 16-byte aligned: mix the address bits above that.
    return static_cast<size_t>((key >> 4) * 0x9E3779B97F4A7C15u >> 17) ^ key;
}
}  // namespace

PyObject* SeenMap::find(PyObject* obj, bool sensitive, bool* found) const noexcept
{
    if (used_ == 0) {
        *found = false;
        return nullptr;
    }
    const uintptr_t key = seen_key(obj, sensitive);
    for (size_t i = seen_hash(key) & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
        if (slots_[i].key == key) {
            *found = true;
            return slots_[i].copy;
        }
        if (slots_[i].key == 0) {
            *found = false;
            return nullptr;
        }
    }
}

int SeenMap::grow()
{
    const size_t capacity = capacity_ * 4;
    auto* slots = static_cast<Entry*>(PyMem_Calloc(capacity, sizeof(Entry)));
    if (slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (size_t i = 0; i < capacity_; ++i) {
        if (slots_[i].key == 0) {
            continue;
        }
        size_t j = seen_hash(slots_[i].key) & (capacity - 1);
        while (slots[j].key != 0) {
            j = (j + 1) & (capacity - 1);
        }
        slots[j] = slots_[i];
    }
    if (slots_ != inline_) {
        PyMem_Free(slots_);
    }
    slots_ = slots;
    capacity_ = capacity;
    return 0;
}

int SeenMap::add(PyObject* obj, bool sensitive, PyObject* copy)
{
    if (used_ == 0 && slots_ == inline_) {
        std::memset(inline_, 0, sizeof inline_);  // zeroed on first use only
    }
    if ((used_ + 1) * 2 > capacity_ && grow() < 0) {
        return -1;
    }
    const uintptr_t key = seen_key(obj, sensitive);
    size_t i = seen_hash(key) & (capacity_ - 1);
    while (slots_[i].key != 0) {
        i = (i + 1) & (capacity_ - 1);
    }
    slots_[i] = {key, Py_NewRef(obj), Py_XNewRef(copy)};
    ++used_;
    return 0;
}

Walk::~Walk()
{
    Py_XDECREF(report);
}

namespace {
// Star masks of the common lengths, made on first use and kept for the
// process: immutable, so every call of every redactor can share them.
PyObject* g_stars[64];
}  // namespace

PyObject* Walk::mask(Py_ssize_t length)
{
    if (rules.mask != nullptr) {
        return Py_NewRef(rules.mask);
    }
    constexpr Py_ssize_t kShared = sizeof g_stars / sizeof g_stars[0];
    if (length >= kShared) {
        return zt::star_mask(length);
    }
    if (g_stars[length] == nullptr) {
        g_stars[length] = zt::star_mask(length);
        if (g_stars[length] == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(g_stars[length]);
}

namespace {

// The keys and indices from the top down to `at`, as a tuple.
[[nodiscard]] PyObject* path_tuple(const Path* at)
{
    Py_ssize_t depth = 0;
    for (const Path* p = at; p != nullptr; p = p->up) {
        ++depth;
    }
    Ref where = Ref::steal(PyTuple_New(depth));
    if (!where) {
        return nullptr;
    }
    for (const Path* p = at; p != nullptr; p = p->up) {
        PyObject* element = p->key != nullptr ? Py_NewRef(p->key)
                                              : PyLong_FromSsize_t(p->index);
        if (element == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(where.get(), --depth, element);
    }
    return where.release();
}

}  // namespace

int Walk::emit(const Path* at, PyObject* rule)
{
    Ref where = Ref::steal(path_tuple(at));
    if (!where) {
        return -1;
    }
    PyObject* entry = PyTuple_New(2);
    if (entry == nullptr) {
        return -1;
    }
    PyTuple_SET_ITEM(entry, 0, where.release());
    PyTuple_SET_ITEM(entry, 1, Py_NewRef(rule != nullptr ? rule : g_rule_key));
    const int appended = PyList_Append(report, entry);
    Py_DECREF(entry);
    return appended;
}

bool stack_low(Walk& w) noexcept
{
    if (w.stack_floor == 0) {
        // The thread's stack bounds, looked up once per walk that gets this
        // deep; a margin is kept for what runs below the last check (a
        // finaliser, a mapping's Python code, a gc pass).
        void* low = nullptr;
        size_t size = 0;
#if defined(__GLIBC__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &low, &size) != 0) {
                low = nullptr;
            }
            pthread_attr_destroy(&attr);
        }
#endif
        if (low == nullptr) {
            w.stack_floor = 1;  // unknown: only the fixed cap applies
            return false;
        }
        constexpr size_t kMargin = size_t{256} << 10;
        w.stack_floor = reinterpret_cast<uintptr_t>(low) + (size / 4 < kMargin ? size / 4 : kMargin);
    }
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < w.stack_floor;
}

PyObject* stuck(PyTypeObject* container, const Path* at)
{
    Ref where = Ref::steal(path_tuple(at));
    if (where) {
        PyErr_Format(PyExc_TypeError,
                     "cannot mask %R in place: it is inside a %.200s; use "
                     "redacted() for a redacted copy",
                     where.get(), container->tp_name);
    }
    return nullptr;
}

PyObject* changed_during_walk(PyObject* container)
{
    PyErr_Format(PyExc_RuntimeError, "%.200s changed during redaction",
                 Py_TYPE(container)->tp_name);
    return nullptr;
}

namespace {

// The __slots__ values of `from` onto `to`, of the same type: the object
// members of each class in the MRO, read and written directly (no
// descriptor's code runs).  `to` is new, its slots empty.
void copy_slots(PyObject* from, PyObject* to) noexcept
{
    PyObject* mro = Py_TYPE(from)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_members == nullptr) {
            continue;
        }
        for (const PyMemberDef* m = type->tp_members; m->name != nullptr; ++m) {
            if (m->type != T_OBJECT_EX || (m->flags & READONLY) != 0) {
                continue;
            }
            auto** src = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(from) + m->offset);
            auto** dst = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(to) + m->offset);
            PyObject* old = *dst;
            *dst = Py_XNewRef(*src);
            Py_XDECREF(old);
        }
    }
}

}  // namespace

int copy_attributes(PyObject* from, PyObject* to)
{
    copy_slots(from, to);
    if (Py_TYPE(from)->tp_dictoffset == 0) {
        return 0;
    }
    Ref attrs = Ref::steal(PyObject_GenericGetDict(from, nullptr));
    if (!attrs) {
        return -1;
    }
    if (PyDict_GET_SIZE(attrs.get()) == 0) {
        return 0;
    }
    // A merge reads the attributes after the new dict exists: PyDict_Copy of
    // a split table would read it after allocating, when a gc pass may have
    // made it combined.
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Update(copy.get(), attrs.get()) < 0) {
        return -1;
    }
    return PyObject_GenericSetDict(to, copy.get(), nullptr);
}

int walk_exec(PyObject*)
{
    if (g_rule_key == nullptr) {
        g_rule_key = PyUnicode_InternFromString("key");
        g_empty_tuple = PyTuple_New(0);
        g_scratch = PyDict_New();
        if (g_rule_key == nullptr || g_empty_tuple == nullptr || g_scratch == nullptr ||
            PyDict_SetItem(g_scratch, g_rule_key, Py_False) < 0) {
            Py_CLEAR(g_rule_key);
            Py_CLEAR(g_empty_tuple);
            Py_CLEAR(g_scratch);
            return -1;
        }
    }
    if (g_defaultdict == nullptr) {
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
        g_defaultdict = reinterpret_cast<PyTypeObject*>(type);
    }
    return 0;
}

}  // namespace zr
