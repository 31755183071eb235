// Reading a plain dict's table in place, for the walks: CPython 3.11's
// layout of the keys object (_common/cpython311.h), with _PyDict_Next for
// split tables.
#pragma once

#include "_redact/redact.h"

#include "_common/cpython311.h"

namespace zentrove::redact {

// Reads the entries of a dict in order.  A combined table (any dict but an
// instance's split __dict__) is read in place through CPython 3.11's layout
// of the keys object, a few loads per entry instead of a call of
// _PyDict_Next; the keys object and its entry count are read again at each
// step, so a table that Python code replaced is never read past its end.
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
                entries_ = py311::entries_of(keys_);
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
        char* entries = py311::entries_of(keys);
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
    [[nodiscard]] Py_ssize_t last() const noexcept { return split_ ? -1 : pos_ - 1; }

private:
    using KeysHead = py311::DictKeysHead;
    using GeneralEntry = py311::GeneralEntry;
    using UnicodeEntry = py311::UnicodeEntry;
    static constexpr uint8_t kGeneral = py311::kGeneralKeys;

    PyDictObject* dict_;
    const bool split_;
    KeysHead* keys_ = nullptr;  // the table last read, and its entries
    char* entries_ = nullptr;
    Py_ssize_t pos_ = 0;
};

}  // namespace zentrove::redact
