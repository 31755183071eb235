// Reading a plain dict's table in place, for the walks: CPython 3.11's
// layout of the keys object, with _PyDict_Next for split tables.
#pragma once

#include "redact.h"

namespace zr {

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
    // `key`, else NULL.  For a copy whose table is a clone of the
    // original's (a merge into an empty dict clones a compact table): its
    // values are replaced there in place.
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

    // Whether `dict` has a combined table of any keys (not only str), where
    // a lookup may compare keys with their own __eq__.
    [[nodiscard]] static bool any_keys(PyObject* dict) noexcept
    {
        auto* mp = reinterpret_cast<PyDictObject*>(dict);
        return mp->ma_values == nullptr &&
               reinterpret_cast<KeysHead*>(mp->ma_keys)->kind == kGeneral;
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

}  // namespace zr
