// The walks of RedactorBase: redact (in place), redacted (copy) and report,
// as one walk instantiated per mode; the dispatch on a value's type, the
// leaves (str and scalars), and the walks of dict, list and tuple storage.
//
// Design note.  A value is walked under the sensitivity of its key: a str
// under a sensitive key becomes the mask, a list or tuple passes the
// sensitivity on to its items, and a dict is judged by its own keys
// wherever it sits.  Each walk returns the value itself when nothing
// changes, so the caller stores only what changed (in place) or what it
// copied.  dict and list (and their subclasses that keep dict's iteration)
// are read through their storage, which runs no Python code and never
// triggers a default factory; every key and value is held while anything
// that could run Python code happens, and a dict whose version changed
// under the walk raises RuntimeError.  Containers are recorded in a
// SeenMap, so cycles end, shared data is walked once and copied once.
#include "walk.h"

namespace zr {

namespace {

// Reads the entries of a dict in order.  A combined table (any dict but an
// instance's split __dict__) is read in place through CPython 3.11's layout
// of the keys object, a few loads per entry instead of a call of
// _PyDict_Next; the keys object and its entry count are read again at each
// step, so a table that Python code replaced is never read past its end.
static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000,
              "the dict table layout below is CPython 3.11's");

class DictCursor {
public:
    explicit DictCursor(PyObject* dict) noexcept
        : dict_(reinterpret_cast<PyDictObject*>(dict)), split_(dict_->ma_values != nullptr)
    {
    }

    [[nodiscard]] bool next(PyObject** key, PyObject** value, Py_hash_t* hash) noexcept
    {
        if (split_) {
            // A split table may turn combined under Python code: leave
            // both to CPython.
            return _PyDict_Next(reinterpret_cast<PyObject*>(dict_), &pos_, key, value, hash);
        }
        for (;;) {
            if (reinterpret_cast<KeysHead*>(dict_->ma_keys) != keys_) {
                keys_ = reinterpret_cast<KeysHead*>(dict_->ma_keys);
                entries_ = reinterpret_cast<char*>(keys_) + sizeof(KeysHead) +
                           (size_t{1} << keys_->log2_index_bytes);
            }
            if (pos_ >= keys_->nentries) {
                return false;
            }
            const Py_ssize_t i = pos_++;
            if (keys_->kind == kGeneral) {
                const auto* entry = reinterpret_cast<const GeneralEntry*>(entries_) + i;
                *value = entry->value;
                *key = entry->key;
                *hash = entry->hash;
            }
            else {
                const auto* entry = reinterpret_cast<const UnicodeEntry*>(entries_) + i;
                *value = entry->value;
                *key = entry->key;
                if (*value != nullptr) {
                    *hash = reinterpret_cast<PyASCIIObject*>(*key)->hash;
                }
            }
            if (*value != nullptr) {
                return true;
            }
        }
    }

    // The value slot of entry `i` of a combined dict when that entry holds
    // `key`, else NULL.  For a copy made by PyDict_Copy, whose table is a
    // clone of the original's: its values are replaced there in place.
    [[nodiscard]] static PyObject** value_slot(PyObject* dict, Py_ssize_t i,
                                               PyObject* key) noexcept
    {
        auto* mp = reinterpret_cast<PyDictObject*>(dict);
        if (mp->ma_values != nullptr) {
            return nullptr;
        }
        auto* keys = reinterpret_cast<KeysHead*>(mp->ma_keys);
        if (i < 0 || i >= keys->nentries) {
            return nullptr;
        }
        char* entries = reinterpret_cast<char*>(keys) + sizeof(KeysHead) +
                        (size_t{1} << keys->log2_index_bytes);
        if (keys->kind == kGeneral) {
            auto* entry = reinterpret_cast<GeneralEntry*>(entries) + i;
            return entry->key == key ? &entry->value : nullptr;
        }
        auto* entry = reinterpret_cast<UnicodeEntry*>(entries) + i;
        return entry->key == key ? &entry->value : nullptr;
    }

    // The index of the entry `next` returned last, in a combined table;
    // -1 for a split table (read through _PyDict_Next).
    [[nodiscard]] Py_ssize_t last() const noexcept
    {
        return split_ ? -1 : pos_ - 1;
    }

private:
    // struct _dictkeysobject up to its index table, and its two entry kinds.
    struct KeysHead {
        Py_ssize_t refcnt;
        uint8_t log2_size;
        uint8_t log2_index_bytes;
        uint8_t kind;
        uint32_t version;
        Py_ssize_t usable;
        Py_ssize_t nentries;
    };
    struct GeneralEntry {
        Py_hash_t hash;
        PyObject* key;
        PyObject* value;
    };
    struct UnicodeEntry {
        PyObject* key;
        PyObject* value;
    };
    static constexpr uint8_t kGeneral = 0;
    static_assert(sizeof(KeysHead) == 4 * sizeof(Py_ssize_t), "keys header");

    PyDictObject* dict_;
    const bool split_;
    KeysHead* keys_ = nullptr;   // the table last read, and its entries
    char* entries_ = nullptr;
    Py_ssize_t pos_ = 0;
};

[[nodiscard]] inline uint64_t dict_tag(PyObject* dict) noexcept
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The mask length of a number or bytes under a sensitive key with
// scalars=True: the length of its decimal text, or of the bytes.  -2 when
// the value is no such scalar, -1 with an exception.
[[nodiscard]] Py_ssize_t scalar_length(PyObject* v)
{
    if (PyLong_Check(v)) {
        if (PyBool_Check(v)) {
            return -2;
        }
        // int.__repr__ on the value, never a subclass's own __repr__.
        Ref text = Ref::steal(PyLong_Type.tp_repr(v));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return -1;
            }
            // Too many digits to convert: the length from the bit count.
            PyErr_Clear();
            const size_t bits = _PyLong_NumBits(v);
            return static_cast<Py_ssize_t>(bits * 30103 / 100000 + 1) +
                   (_PyLong_Sign(v) < 0 ? 1 : 0);
        }
        return PyUnicode_GET_LENGTH(text.get());
    }
    if (PyFloat_Check(v)) {
        Ref text = Ref::steal(PyFloat_Type.tp_repr(v));
        return text ? PyUnicode_GET_LENGTH(text.get()) : -1;
    }
    if (PyBytes_Check(v)) {
        return PyBytes_GET_SIZE(v);
    }
    if (PyByteArray_Check(v)) {
        return PyByteArray_GET_SIZE(v);
    }
    return -2;
}

// A non-empty tuple, set or frozenset of str and scalars only: the total
// of its items' mask lengths; -2 when it holds anything else, -1 on error.
[[nodiscard]] Py_ssize_t flat_length(PyObject* v)
{
    Py_ssize_t total = 0;
    const auto add = [&total](PyObject* item) -> Py_ssize_t {
        if (PyUnicode_Check(item)) {
            if (PyUnicode_READY(item) < 0) {
                return -1;
            }
            total += PyUnicode_GET_LENGTH(item);
            return 0;
        }
        const Py_ssize_t n = scalar_length(item);
        total += n > 0 ? n : 0;
        return n < 0 ? n : 0;
    };
    if (PyTuple_Check(v)) {
        if (PyTuple_GET_SIZE(v) == 0) {
            return -2;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            const Py_ssize_t r = add(PyTuple_GET_ITEM(v, i));
            if (r < 0) {
                return r;
            }
        }
        return total;
    }
    if (PySet_GET_SIZE(v) == 0) {
        return -2;
    }
    Py_ssize_t pos = 0;
    PyObject* item;
    Py_hash_t hash;
    while (_PySet_NextEntry(v, &pos, &item, &hash)) {
        // Items are exact str or scalars checked by type: no Python code
        // runs, so the set cannot change while we read it.
        const Py_ssize_t r = add(item);
        if (r < 0) {
            return r;
        }
    }
    return total;
}

// The commonest values, told apart without a call or a reference: Keep
// (nothing to do), Mask (an exact str to mask), or Walk (walk_value).
enum class Leaf : uint8_t { Keep, Mask, Walk };

[[nodiscard]] inline Leaf classify(const Walk& w, PyObject* v, bool sensitive) noexcept
{
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) {
        if (!sensitive) {
            return w.rules.detectors == 0 ? Leaf::Keep : Leaf::Walk;
        }
        return PyUnicode_IS_READY(v) ? Leaf::Mask : Leaf::Walk;
    }
    if ((type == &PyLong_Type || type == &PyFloat_Type || v == Py_None ||
         type == &PyBool_Type) &&
        !(sensitive && w.rules.scalars)) {
        return Leaf::Keep;
    }
    return Leaf::Walk;
}

// A leaf under a sensitive key: its mask, or in Report mode itself after
// recording its path.
template <Mode M>
[[nodiscard]] PyObject* masked(Walk& w, PyObject* v, Py_ssize_t length,
                               const Path* at)
{
    if constexpr (M == Mode::Report) {
        return w.emit(at) < 0 ? nullptr : Py_NewRef(v);
    }
    return w.mask(length);
}

// A str that the key rules leave alone, scanned by the detectors: its
// masked text, or in Report mode itself after recording each detector that
// would mask something in it.
template <Mode M>
[[nodiscard]] PyObject* detected(Walk& w, PyObject* v, const Path* at)
{
    if (w.rules.detectors == 0) {
        return Py_NewRef(v);
    }
    if constexpr (M != Mode::Report) {
        return scan_str(w.rules, v, nullptr);
    }
    uint32_t fired = 0;
    if (scan_fired(w.rules, v, &fired) < 0) {
        return nullptr;
    }
    for (int bit = 0; fired != 0; ++bit, fired >>= 1) {
        if ((fired & 1) != 0 && w.emit(at, detector_name(bit)) < 0) {
            return nullptr;
        }
    }
    return Py_NewRef(v);
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
    Ref copy = Ref::steal(PyDict_Type.tp_new(type, g_empty_tuple, nullptr));
    if (!copy) {
        return nullptr;
    }
    if (PyObject_TypeCheck(d, g_defaultdict)) {
        Ref factory = Ref::steal(PyObject_GetAttrString(d, "default_factory"));
        if (!factory ||
            PyObject_SetAttrString(copy.get(), "default_factory", factory.get()) < 0) {
            return nullptr;
        }
    }
    if (copy_instance_dict(d, copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
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
        return type->tp_iter == PyDict_Type.tp_iter ? walk_dict<M>(w, v, at)
                                                    : walk_mapping<M>(w, v, at);
    }
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
        return walk_list<M>(w, v, sensitive, at);
    }
    const bool scalars = sensitive && w.rules.scalars;
    if (!scalars && (type == &PyLong_Type || type == &PyFloat_Type ||
                     v == Py_None || type == &PyBool_Type)) {
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
    bool found = false;
    PyObject* done = track ? w.seen.find(d, false, &found) : nullptr;
    if (found) {
        return Py_NewRef(M == Mode::Copy ? done : d);
    }
    RecursionGuard guard(kRecursionWhere);
    if (!guard.ok()) {
        return nullptr;
    }
    Ref copy;
    if constexpr (M == Mode::Copy) {
        // A shallow copy first (a clone of the table for a plain dict); the
        // values that change are then replaced in it.
        if (Py_IS_TYPE(d, &PyDict_Type)) {
            copy = Ref::steal(PyDict_Copy(d));
        }
        else {
            copy = Ref::steal(empty_like_dict(d));
            if (copy && PyDict_Update(copy.get(), d) < 0) {
                return nullptr;
            }
        }
        if (!copy) {
            return nullptr;
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
    uint64_t tag = dict_tag(d);
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
        Ref result;
        if (leaf == Leaf::Mask) {
            if constexpr (M == Mode::Report) {
                if (w.emit(&here) < 0) {
                    return nullptr;
                }
                continue;
            }
            result = Ref::steal(w.mask(PyUnicode_GET_LENGTH(v)));
            if (!result) {
                return nullptr;
            }
        }
        else {
            Ref key = Ref::borrow(k);
            Ref value = Ref::borrow(v);
            result = Ref::steal(walk_value<M>(w, v, sensitive != 0, &here));
            if (!result) {
                return nullptr;
            }
            if (dict_tag(d) != tag) {
                return changed_during_walk(d);
            }
            if (result.get() == v) {
                continue;
            }
        }
        if constexpr (M == Mode::Copy) {
            // The copy is ours alone: a slot of a cloned table takes the
            // new value directly (the original keeps the old one alive).
            PyObject** slot = DictCursor::value_slot(target, cursor.last(), k);
            if (slot != nullptr) {
                PyObject* old = *slot;
                *slot = result.release();
                Py_DECREF(old);
                continue;
            }
        }
        // The dict still holds k (its version did not change): insertdict
        // takes its own references to the key and the value.
        if (_PyDict_SetItem_KnownHash(target, k, result.get(), hash) < 0) {
            return nullptr;
        }
        if constexpr (M == Mode::InPlace) {
            tag = dict_tag(d);  // our own store
        }
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(d);
}

template <Mode M>
PyObject* walk_list(Walk& w, PyObject* list, bool sensitive, const Path* at)
{
    const bool track = tracked(list, at);
    bool found = false;
    PyObject* done = track ? w.seen.find(list, sensitive, &found) : nullptr;
    if (found) {
        return Py_NewRef(M == Mode::Copy ? done : list);
    }
    RecursionGuard guard(kRecursionWhere);
    if (!guard.ok()) {
        return nullptr;
    }
    Ref copy;
    if constexpr (M == Mode::Copy) {
        // A shallow copy first (list storage, no Python code); the items
        // that change are then replaced in it.
        copy = Ref::steal(Py_IS_TYPE(list, &PyList_Type)
                              ? PyList_GetSlice(list, 0, PyList_GET_SIZE(list))
                              : PyList_Type.tp_new(Py_TYPE(list), g_empty_tuple, nullptr));
        if (!copy || (!Py_IS_TYPE(list, &PyList_Type) &&
                      (PyList_SetSlice(copy.get(), 0, 0, list) < 0 ||
                       copy_instance_dict(list, copy.get()) < 0))) {
            return nullptr;
        }
    }
    if (track && w.seen.add(list, sensitive, copy.get()) < 0) {
        return nullptr;
    }
    Ref hold = Ref::borrow(list);
    PyObject* const target = M == Mode::Copy ? copy.get() : list;
    // The length is read again at every step: Python code run below may
    // change the list, which then must not be read or written past its end.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        const Leaf leaf = classify(w, item, sensitive);
        if (leaf == Leaf::Keep) {
            continue;
        }
        const Path here{at, nullptr, i, M == Mode::Copy ? 2 : 1};
        Ref result;
        if (leaf == Leaf::Mask) {
            if constexpr (M == Mode::Report) {
                if (w.emit(&here) < 0) {
                    return nullptr;
                }
                continue;
            }
            result = Ref::steal(w.mask(PyUnicode_GET_LENGTH(item)));
        }
        else {
            Ref held = Ref::borrow(item);
            result = Ref::steal(walk_value<M>(w, item, sensitive, &here));
            if (result.get() == item) {
                continue;
            }
        }
        if (!result) {
            return nullptr;
        }
        if (i >= PyList_GET_SIZE(target)) {
            if constexpr (M == Mode::Copy) {
                if (PyList_Append(target, result.get()) < 0) {
                    return nullptr;
                }
                continue;
            }
            return changed_during_walk(list);
        }
        // The old item's finaliser may run Python code: the list is whole.
        PyObject* old = PyList_GET_ITEM(target, i);
        PyList_SET_ITEM(target, i, result.release());
        Py_DECREF(old);
    }
    return M == Mode::Copy ? copy.release() : Py_NewRef(list);
}

template <Mode M>
PyObject* walk_tuple(Walk& w, PyObject* tuple, bool sensitive, const Path* at)
{
    const bool track = tracked(tuple, at);
    bool found = false;
    PyObject* done = track ? w.seen.find(tuple, sensitive, &found) : nullptr;
    if (found) {
        return Py_NewRef(M == Mode::Copy && done != nullptr ? done : tuple);
    }
    RecursionGuard guard(kRecursionWhere);
    if (!guard.ok()) {
        return nullptr;
    }
    // A copy is made only once an item changed, and recorded only once
    // complete: a tuple that reaches itself through a list is then copied
    // again inside, and the inner copy is the one kept.
    if (M != Mode::Copy && track && w.seen.add(tuple, sensitive, nullptr) < 0) {
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    Ref items;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        const Path here{at, nullptr, i, 1};
        Ref held = Ref::borrow(item);  // the walk's reference, as for lists
        Ref result = Ref::steal(walk_value<M>(w, item, sensitive, &here));
        if (!result) {
            return nullptr;
        }
        if (M == Mode::InPlace && result.get() != item) {
            return stuck(Py_TYPE(tuple), &here);
        }
        if (M == Mode::Copy && !items && result.get() != item) {
            items = Ref::steal(PyTuple_New(n));
            if (!items) {
                return nullptr;
            }
            for (Py_ssize_t j = 0; j < i; ++j) {
                PyTuple_SET_ITEM(items.get(), j, Py_NewRef(PyTuple_GET_ITEM(tuple, j)));
            }
        }
        if (items) {
            PyTuple_SET_ITEM(items.get(), i, result.release());
        }
    }
    if constexpr (M != Mode::Copy) {
        return Py_NewRef(tuple);
    }
    done = w.seen.find(tuple, sensitive, &found);
    if (found) {
        return Py_NewRef(done != nullptr ? done : tuple);
    }
    Ref copy;
    if (!items) {
        copy = Ref::borrow(tuple);  // nothing to mask: shared, as it is immutable
    }
    else if (Py_IS_TYPE(tuple, &PyTuple_Type)) {
        copy = std::move(items);
    }
    else {
        // tuple.__new__ keeps the subclass (a named tuple too) and runs none
        // of its Python code.
        Ref args = Ref::steal(PyTuple_Pack(1, items.get()));
        if (!args) {
            return nullptr;
        }
        copy = Ref::steal(PyTuple_Type.tp_new(Py_TYPE(tuple), args.get(), nullptr));
        if (!copy || copy_instance_dict(tuple, copy.get()) < 0) {
            return nullptr;
        }
    }
    if (w.seen.add(tuple, sensitive, copy.get()) < 0) {
        return nullptr;
    }
    return copy.release();
}

template PyObject* walk_value<Mode::InPlace>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_value<Mode::Copy>(Walk&, PyObject*, bool, const Path*);
template PyObject* walk_value<Mode::Report>(Walk&, PyObject*, bool, const Path*);

// --- methods ------------------------------------------------------------------

PyObject* redactor_redact(PyObject* self, PyObject* data)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    Walk w(*rules, Mode::InPlace);
    return walk_value<Mode::InPlace>(w, data, keyless_sensitive(*rules), nullptr);
}

PyObject* redactor_redacted(PyObject* self, PyObject* data)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    Walk w(*rules, Mode::Copy);
    return walk_value<Mode::Copy>(w, data, keyless_sensitive(*rules), nullptr);
}

PyObject* redactor_report(PyObject* self, PyObject* data)
{
    const Rules* rules = rules_of(self);
    if (rules == nullptr) {
        return nullptr;
    }
    Walk w(*rules, Mode::Report);
    w.report = PyList_New(0);
    if (w.report == nullptr) {
        return nullptr;
    }
    Ref same = Ref::steal(walk_value<Mode::Report>(w, data, keyless_sensitive(*rules), nullptr));
    if (!same) {
        return nullptr;
    }
    PyObject* report = w.report;
    w.report = nullptr;
    return report;
}

}  // namespace zr
