// CPython 3.11's private layout and calls that both modules rely on, written
// once: the dict keys object, a dict's version tag, the exact-str-keys test.
// Any other interpreter version stops the build here, not at run time.
#pragma once

#include "_common/ref.h"

#include <cstdint>

static_assert(PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000,
              "the private layout in _common/cpython311.h is CPython 3.11's");

// Private API in use, besides the layout below (all present in 3.11's
// headers; a new minor version must be checked against each):
//   _PyDict_Next, _PyDict_SetItem_KnownHash    _redact: dict storage
//   PyDictObject.ma_version_tag (read, written) both: the tags below
//   PyDictObject.ma_keys, ma_values            both: the keys object
//   PyASCIIObject.hash                         both: a str's cached hash
//   PyCompactUnicodeObject.utf8                _redact: a str's cached UTF-8
//   _PySet_NextEntry, _PySet_Update            sets: _redact walks, _omit keys
//   _PyList_Extend                             _omit: global key lists
//   _PyType_Lookup, _PyObject_GetDictPtr       _omit: pickling, overrides
//   _Py_CheckFunctionResult                    _omit: calls
//   _PyLong_NumBits, _PyLong_Sign              _redact: digits of an int
//   _PyUnicode_ToFoldedFull                    _redact: folded keys
//   _PyUnicodeWriter_*                         _redact: detectors' output
//   _PyArg_CheckPositional                     _redact: positional methods
namespace zentrove::py311 {

// struct _dictkeysobject up to its index table (Objects/dictobject.c).
struct DictKeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // kGeneralKeys, or str keys only (combined or split)
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(DictKeysHead) == 4 * sizeof(Py_ssize_t), "dict keys header");

// The two kinds of entry that follow the index table.
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

// DICT_KEYS_GENERAL: a table that may hold keys of any type; the other
// kinds (unicode, split) hold exact str keys only.
inline constexpr uint8_t kGeneralKeys = 0;

[[nodiscard]] inline DictKeysHead* keys_of(PyObject* dict) noexcept
{
    return reinterpret_cast<DictKeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// The first entry of a keys object, right after its index table.
[[nodiscard]] inline char* entries_of(DictKeysHead* keys) noexcept
{
    return reinterpret_cast<char*>(keys) + sizeof(DictKeysHead) +
           (size_t{1} << keys->log2_index_bytes);
}

// A dict's version tag (0 for no dict): it changes whenever the dict does,
// which caches and the walks' change checks key on.
[[nodiscard]] inline uint64_t dict_tag(PyObject* dict) noexcept
{
    return dict != nullptr ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
}

// Sets a dict's version tag, after a value was written into its table
// directly: the tag must be a fresh one, taken from a store elsewhere.
inline void set_dict_tag(PyObject* dict, uint64_t tag) noexcept
{
    reinterpret_cast<PyDictObject*>(dict)->ma_version_tag = tag;
}

// Whether every key of an exact dict is an exact str: such a dict keeps a
// key table of its own kind, and a lookup in it compares no key through
// __eq__.
[[nodiscard]] inline bool has_only_exact_str_keys(PyObject* dict) noexcept
{
    return keys_of(dict)->kind != kGeneralKeys;
}

}  // namespace zentrove::py311
