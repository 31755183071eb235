// The walks of RedactorBase: redact (in place), redacted (copy) and report,
// as one walk instantiated per mode; the dispatch on a value's type, the
// leaves, and the walks of dict and list storage (tuples: walk/tuple.cpp;
// the methods that enter them: walk/entry.cpp).
//
// Design note.  A value is walked under the sensitivity of its key: a str
// under a sensitive key becomes the mask, a list or tuple passes the
// sensitivity on to its items, and a dict is judged by its own keys
// wherever it sits.  Each walk returns the value itself when nothing
// changes, so the caller stores only what changed (in place) or what it
// copied.  dict and list and their subclasses (but OrderedDict) are read
// through their storage, whatever a subclass's __iter__ says, which runs no
// Python code and never triggers a default factory; a copy is made from the
// same storage, so it holds what the walk reads, and a changed value is
// written into its entry's slot, so no key's __eq__ runs.  Every key and
// value is held while anything that could run Python code happens (an
// allocation may start a gc pass), and a dict whose version changed, or a
// list whose length or walked item changed, under the walk raises
// RuntimeError; a length or version is read before the first allocation,
// so a change made while the copy was made counts too.  Containers that
// more than one reference leads to are recorded in a SeenMap, so cycles end
// and shared data is walked once and copied once.
#include "_redact/walk/walk.h"

#include "_redact/walk/dict_table.h"

#include "_common/cpython311.h"

namespace zentrove::redact {
namespace {

// The commonest values, told apart without a call or a reference: Keep
// (nothing to do), Mask (an exact str to mask), or Descend (walk_value).
enum class Leaf : uint8_t { Keep, Mask, Descend };

[[nodiscard]] inline Leaf classify(const Walk& w, PyObject* v, bool sensitive) noexcept
{
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) {
        if (!sensitive) {
            return w.rules.detectors == 0 ? Leaf::Keep : Leaf::Descend;
        }
        return PyUnicode_IS_READY(v) ? Leaf::Mask : Leaf::Descend;
    }
    if ((type == &PyLong_Type || type == &PyFloat_Type || v == Py_None || type == &PyBool_Type) &&
        !(sensitive && w.rules.scalars)) {
        return Leaf::Keep;
    }
    return Leaf::Descend;
}

// A leaf under a sensitive key: its mask, or in Report mode itself after
// recording its path.
template <Mode M>
[[nodiscard]] PyObject* masked(Walk& w, PyObject* v, Py_ssize_t length, const Path* at)
{
    if constexpr (M == Mode::Report) {
        return w.emit(at) < 0 ? nullptr : Py_NewRef(v);
    }
    return w.mask(length);
}

// A str that the key rules leave alone, scanned by the detectors with its
// key: its masked text, or in Report mode itself after recording each
// detector that would mask something in it.
template <Mode M>
[[nodiscard]] PyObject* detected(Walk& w, PyObject* v, const Path* at)
{
    if (w.rules.detectors == 0) {
        return Py_NewRef(v);
    }
    uint32_t fired = 0;
    Ref same = Ref::steal(scan_under_key(w.rules, v, at, &fired, M != Mode::Report));
    if constexpr (M == Mode::Report) {
        for (int bit = 0; same && fired != 0; ++bit, fired >>= 1) {
            if ((fired & 1) != 0 && w.emit(at, detector_name(bit)) < 0) {
                return nullptr;
            }
        }
    }
    return same.release();
}

// A new, empty dict of the type of `d` (storage set up by dict's own
// __new__, so no Python code of a subclass runs), with its default factory
// and instance attributes.
[[nodiscard]] PyObject* empty_like_dict(PyObject* d)
{
    PyTypeObject* type = Py_TYPE(d);
    if (type == &PyDict_Type) {
        return PyDict_New();
    }
    Ref copy = Ref::steal(new_like(&PyDict_Type, d));
    if (!copy) {
        return nullptr;
    }
    if (PyObject_TypeCheck(d, g.defaultdict)) {
        Ref factory = Ref::steal(PyObject_GetAttrString(d, "default_factory"));
        if (!factory || PyObject_SetAttrString(copy.get(), "default_factory", factory.get()) < 0) {
            return nullptr;
        }
    }
    return copy.release();
}

// A shallow copy of `d` made from its storage, never through a subclass's
// __iter__ or keys(): what json.dumps writes is what is walked.  Where the
// storage is read, nothing allocates a collected object, so no gc pass runs
// in between (PyDict_Copy reads the size after allocating the new dict).  A
// merge into an empty dict clones a compact table, so that a value can
// later be replaced in the copy's slot; otherwise it stores entry by entry,
// and a colliding key's __eq__ may run: the caller compares version tags.
[[nodiscard]] PyObject* copy_dict(PyObject* d)
{
    Ref copy = Ref::steal(empty_like_dict(d));
    if (!copy) {
        return nullptr;
    }
    if (Py_TYPE(d)->tp_iter == PyDict_Type.tp_iter) {
        return PyDict_Update(copy.get(), d) < 0 ? nullptr : copy.release();
    }
    const uint64_t tag = py311::dict_tag(d);
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    Py_hash_t hash;
    while (_PyDict_Next(d, &pos, &k, &v, &hash)) {
        // The store holds k and v.
        if (_PyDict_SetItem_KnownHash(copy.get(), k, v, hash) < 0) {
            return nullptr;
        }
        if (py311::dict_tag(d) != tag) {
            return changed_during_walk(d);
        }
    }
    return copy.release();
}

// A shallow copy of the first `n` items of list storage (those the walk
// reads), of the list's own type, made from the storage, never through a
// subclass's __iter__.  RuntimeError when a gc pass in an allocation here
// changed the list's length from `n`.
[[nodiscard]] PyObject* copy_list(PyObject* list, Py_ssize_t n)
{
    Ref copy;
    if (!Py_IS_TYPE(list, &PyList_Type)) {
        copy = Ref::steal(new_like(&PyList_Type, list));
        if (!copy) {
            return nullptr;
        }
    }
    Ref items = Ref::steal(PyList_New(n));
    if (!items) {
        return nullptr;
    }
    if (PyList_GET_SIZE(list) != n) {
        return changed_during_walk(list);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {  // no allocation, no Python code
        PyList_SET_ITEM(items.get(), i, Py_NewRef(PyList_GET_ITEM(list, i)));
    }
    if (!copy) {
        return items.release();
    }
    // From an exact list this reads its storage and runs no Python code.
    if (PyList_SetSlice(copy.get(), 0, 0, items.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

// Whether `list` still has the length `n` the walk read and holds `item` at
// `i`: what is checked after Python code may have run.
[[nodiscard]] inline bool still_holds(PyObject* list, Py_ssize_t n, Py_ssize_t i,
                                      PyObject* item) noexcept
{
    return PyList_GET_SIZE(list) == n && PyList_GET_ITEM(list, i) == item;
}

// Gives `d` a fresh version tag after a value was written into its table
// directly, as any store would: the next tag is taken from a store into a
// scratch dict of our own (flipping its one value).
void bump_tag(PyObject* d) noexcept
{
    static bool flip = false;
    flip = !flip;
    // Replacing a value needs no memory and runs no Python code.
    (void)PyDict_SetItem(g.scratch, g.rule_key, flip ? Py_True : Py_False);
    py311::set_dict_tag(d, py311::dict_tag(g.scratch));
}

// Stores `result` (a reference it takes) for the entry `index`, key `k`,
// that the cursor of the dict walked returned last: into `target`, its copy
// or (in place) the dict itself.  The replaced value is still held by the
// caller (or by the original, for a copy), so no finaliser runs here.  A
// copy's slot takes the value directly when its table holds k there.  In
// place, a table of str keys only takes a store by the known hash (its
// lookup runs no Python code, and the store renews the version tag); a
// table of any keys takes the value in the entry's slot and a fresh tag,
// since a lookup there could run a key's __eq__.  Otherwise a store by the
// known hash, for which the caller checks that the original did not change.
template <Mode M>
[[gnu::always_inline]] [[nodiscard]] inline int
store(PyObject* target, Py_ssize_t index, PyObject* k, PyObject* result, Py_hash_t hash)
{
    if (M == Mode::Copy || DictCursor::any_keys(target)) {
        PyObject** slot = DictCursor::value_slot(target, index, k);
        if (slot != nullptr) {
            PyObject* old = *slot;
            *slot = result;
            if constexpr (M == Mode::InPlace) {
                bump_tag(target);
            }
            Py_DECREF(old);
            return 0;
        }
    }
    const int stored = _PyDict_SetItem_KnownHash(target, k, result, hash);
    Py_DECREF(result);
    return stored;
}

}  // namespace

// --- dispatch -----------------------------------------------------------------

template <Mode M>
PyObject* walk_value(Walk& w, PyObject* v, bool sensitive, const Path* at)
{
    PyTypeObject* type = Py_TYPE(v);
    const unsigned long flags = type->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
        if (!sensitive) {
            return detected<M>(w, v, at);
        }
        if (PyUnicode_READY(v) < 0) {
            return nullptr;
        }
        return masked<M>(w, v, PyUnicode_GET_LENGTH(v), at);
    }
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
        // Read through the storage whatever the subclass's __iter__ says,
        // as json.dumps does; an OrderedDict in its own order.
        return type == &PyDict_Type || !PyType_IsSubtype(type, &PyODict_Type)
                   ? walk_dict<M>(w, v, at)
                   : walk_mapping<M>(w, v, at);
    }
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        return walk_list<M>(w, v, sensitive, at);
    }
    const bool scalars = sensitive && w.rules.scalars;
    if (!scalars &&
        (type == &PyLong_Type || type == &PyFloat_Type || v == Py_None || type == &PyBool_Type)) {
        return Py_NewRef(v);  // the common leaves, before the subtype tests
    }
    if (scalars) {
        Py_ssize_t length = (flags & Py_TPFLAGS_TUPLE_SUBCLASS) || PyAnySet_Check(v)
                                ? flat_length(v)
                                : scalar_length(v);
        if (length == -1) {
            return nullptr;
        }
        if (length >= 0) {
            return masked<M>(w, v, length, at);
        }
    }
    if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
        return walk_tuple<M>(w, v, sensitive, at);
    }
    if (PyAnySet_Check(v)) {
        return walk_set<M>(w, v, sensitive, at);
    }
    if (flags & Py_TPFLAGS_MAPPING) {
        return walk_mapping<M>(w, v, at);
    }
    // Sequences of numbers or bytes (range, array, memoryview) are leaves.
    if ((flags & Py_TPFLAGS_SEQUENCE) && type != &PyRange_Type &&
        (type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr)) {
        return walk_sequence<M>(w, v, sensitive, at);
    }
    return Py_NewRef(v);
}

// --- dict and list storage ----------------------------------------------------

template <Mode M>
PyObject* walk_dict(Walk& w, PyObject* d, const Path* at)
{
    const bool track = tracked(d, at);
    if (PyObject* before = walked_before<M>(w, d, false, track)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    // The tag is read before any allocation: a gc pass in one may change
    // the dict, and the copy must be of the dict the walk reads.
    uint64_t tag = py311::dict_tag(d);
    Ref copy;
    if constexpr (M == Mode::Copy) {
        copy = Ref::steal(copy_dict(d));
        if (!copy) {
            return nullptr;
        }
        if (py311::dict_tag(d) != tag) {
            return changed_during_walk(d);
        }
    }
    if (track && w.seen.add(d, false, copy.get()) < 0) {
        return nullptr;
    }
    PyObject* const target = M == Mode::Copy ? copy.get() : d;
    DictCursor cursor(d);
    PyObject* k;
    PyObject* v;
    Py_hash_t hash;
    while (cursor.next(&k, &v, &hash)) {
        const int sensitive = key_verdict(w.rules, k);  // runs no Python code
        if (sensitive < 0) {
            return nullptr;
        }
        const Leaf leaf = classify(w, v, sensitive != 0);
        if (leaf == Leaf::Keep) {
            continue;
        }
        // A copy's slots are filled ahead with the same values.
        const Path here{at, k, 0, M == Mode::Copy ? 2 : 1};
        if (leaf == Leaf::Mask) {
            if constexpr (M == Mode::Report) {
                // The key is held while the report grows: an allocation may
                // start a gc pass, whose callbacks may clear the dict.
                Py_INCREF(k);
                const int emitted = w.emit(&here);
                Py_DECREF(k);
                if (emitted < 0) {
                    return nullptr;
                }
            }
            else {
                // Making a mask starts no gc pass, and the store runs no
                // Python code: the key needs no hold.  The replaced value
                // is held (in place) until the store is recorded, so its
                // finaliser's changes are caught.
                PyObject* mask = w.mask(PyUnicode_GET_LENGTH(v));
                if (mask == nullptr) {
                    return nullptr;
                }
                if constexpr (M == Mode::InPlace) {
                    Py_INCREF(v);
                }
                const int stored = store<M>(target, cursor.last(), k, mask, hash);
                if constexpr (M == Mode::InPlace) {
                    tag = py311::dict_tag(d);  // our own store
                    Py_DECREF(v);
                }
                if (stored < 0) {
                    return nullptr;
                }
            }
            if (py311::dict_tag(d) != tag) {
                return changed_during_walk(d);
            }
            continue;
        }
        // Held while the walk below runs Python code.
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        Ref result = Ref::steal(walk_value<M>(w, v, sensitive != 0, &here));
        if (!result) {
            return nullptr;
        }
        if (py311::dict_tag(d) != tag) {
            return changed_during_walk(d);
        }
        if (result.get() != v) {
            if (store<M>(target, cursor.last(), k, result.release(), hash) < 0) {
                return nullptr;
            }
            if constexpr (M == Mode::InPlace) {
                tag = py311::dict_tag(d);  // our own store
            }
        }
        // The old value's finaliser, and the key's, run here: whatever
        // they change in the dict is caught before the next entry.
        key = Ref();
        value = Ref();
        if (py311::dict_tag(d) != tag) {
            return changed_during_walk(d);
        }
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(d);
}

template <Mode M>
PyObject* walk_list(Walk& w, PyObject* list, bool sensitive, const Path* at)
{
    const bool track = tracked(list, at);
    if (PyObject* before = walked_before<M>(w, list, sensitive, track)) {
        return before;
    }
    DepthGuard guard(w);
    if (!guard.ok()) {
        return nullptr;
    }
    // The length is read before any allocation (a gc pass in one may
    // change the list).
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Ref copy;
    if constexpr (M == Mode::Copy) {
        // A shallow copy first; the items that change are then replaced
        // in it.
        copy = Ref::steal(copy_list(list, n));
        if (!copy) {
            return nullptr;
        }
    }
    if (track && w.seen.add(list, sensitive, copy.get()) < 0) {
        return nullptr;
    }
    Ref hold = Ref::borrow(list);
    PyObject* const target = M == Mode::Copy ? copy.get() : list;
    // Python code run below (a nested mapping's, a finaliser's, a gc
    // callback's) may change the list: after each such call it must still
    // have its length and the item walked at its place, else it raises
    // rather than being left half walked (items shifted by a pop and an
    // append would be skipped; a copy would keep what the walk never
    // reached).  A copy's item is walked, and must still be the list's:
    // one the list got since the copy would be left in it unwalked.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(target, i);
        if (M == Mode::Copy && !still_holds(list, n, i, item)) {
            return changed_during_walk(list);
        }
        const Leaf leaf = classify(w, item, sensitive);
        if (leaf == Leaf::Keep) {
            continue;
        }
        const Path here{at, nullptr, i, M == Mode::Copy ? 2 : 1};
        Ref held = Ref::borrow(item);
        Ref result;
        if constexpr (M == Mode::Report) {
            if (leaf == Leaf::Mask) {
                if (w.emit(&here) < 0) {
                    return nullptr;
                }
                held = Ref();
                if (!still_holds(list, n, i, item)) {
                    return changed_during_walk(list);
                }
                continue;
            }
        }
        result = Ref::steal(leaf == Leaf::Mask ? w.mask(PyUnicode_GET_LENGTH(item))
                                               : walk_value<M>(w, item, sensitive, &here));
        if (!result) {
            return nullptr;
        }
        if (!still_holds(list, n, i, item)) {
            return changed_during_walk(list);
        }
        PyObject* now = item;  // what the list should hold at i from here on
        if (result.get() != item) {
            now = M == Mode::Copy ? item : result.get();
            PyObject* old = PyList_GET_ITEM(target, i);
            PyList_SET_ITEM(target, i, result.release());
            Py_DECREF(old);  // still held: its finaliser runs below
        }
        held = Ref();
        if (!still_holds(list, n, i, now)) {
            return changed_during_walk(list);
        }
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(list);
}

template PyObject* walk_value<Mode::InPlace>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_value<Mode::Copy>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_value<Mode::Report>(Walk&, PyObject*, bool, const Path*);

}  // namespace zentrove::redact
