// The compiled key rules of one redactor (a key set, contains= substrings,
// a verdict cache), and how the detectors judge a key in free text.  Built
// once by RedactorBase.__init__ and never changed afterwards, so a verdict
// cached for a key can never go stale.
#pragma once

#include "_redact/keytext.h"
#include "_redact/redact.h"

#include <cstdint>
#include <cstring>

namespace zentrove::redact {

// A set of keys by their UTF-8 text (folded, or exact for exact=True):
// open addressing over one PyMem block of slots, texts in a second block.
struct KeySet {
    struct Slot {
        uint64_t hash;   // hash of the text; meaningless when size < 0
        int64_t offset;  // start of the text in `bytes`
        int64_t size;    // length of the text, -1 for an empty slot
    };
    Slot* slots = nullptr;  // owned (PyMem), `mask + 1` slots
    uint64_t mask = 0;      // capacity - 1 (capacity a power of two)
    char* bytes = nullptr;  // owned (PyMem): the texts back to back
};

// A small four-way cache of verdicts for exact str keys, indexed by the
// key's hash.  Each entry holds a strong reference to its key, so the object
// cannot die and its address cannot be reused by another key while cached;
// keys longer than kMaxLength are judged each time instead.
struct VerdictCache {
    struct Entry {
        Py_hash_t hash;  // the key's hash, read without touching it
        PyObject* key;   // owned exact str, or NULL
        int verdict;     // 0 or 1
    };
    static constexpr uint64_t kSize = 1024;       // a power of two
    static constexpr uint64_t kWays = 4;          // entries per set
    static constexpr Py_ssize_t kMaxLength = 64;  // code points of a key kept
    Entry* entries = nullptr;                     // owned (PyMem), kSize entries, lazily
};

struct Rules {
    bool allow = false;                // allow-list (trust=): unlisted keys are sensitive
    bool exact = false;                // listed keys compare by exact text
    bool scalars = false;              // numbers, bytes and their tuples/sets are masked too
    uint32_t detectors = 0;            // bit set of value detectors, 0 for none
    PyObject* mask = nullptr;          // owned: the fixed mask str, NULL for same-length stars
    KeySet keys;                       // the listed keys
    char* contains = nullptr;          // owned (PyMem): folded substrings back to back
    int64_t* contains_ends = nullptr;  // owned (PyMem): end offset of each substring
    Py_ssize_t ncontains = 0;
    mutable VerdictCache cache;  // changes on lookups; never changes a verdict
};

// Equality of two exact, ready str objects by their data.  Keys are
// short: eight bytes at a time, inline, beats a call of memcmp.
[[nodiscard]] inline bool same_str_data(PyObject* a, PyObject* b) noexcept
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    if (len != PyUnicode_GET_LENGTH(b) || kind != PyUnicode_KIND(b)) {
        return false;
    }
    const auto* pa = static_cast<const char*>(PyUnicode_DATA(a));
    const auto* pb = static_cast<const char*>(PyUnicode_DATA(b));
    size_t n = static_cast<size_t>(len) * static_cast<size_t>(kind);
    for (; n >= 8; n -= 8, pa += 8, pb += 8) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, pa, 8);
        std::memcpy(&y, pb, 8);
        if (x != y) {
            return false;
        }
    }
    for (; n > 0; --n) {
        if (*pa++ != *pb++) {
            return false;
        }
    }
    return true;
}

// key_sensitive with the verdict cache's hit inline, for the walks: an
// exact str key seen before costs a few loads and compares.
[[nodiscard]] inline int key_verdict(const Rules& rules, PyObject* key)
{
    const VerdictCache::Entry* entries = rules.cache.entries;
    if (Py_IS_TYPE(key, &PyUnicode_Type) && entries != nullptr) {
        const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        const VerdictCache::Entry* set =
            &entries[static_cast<uint64_t>(hash) & (VerdictCache::kSize - VerdictCache::kWays)];
        for (uint64_t way = 0; way < VerdictCache::kWays; ++way) {
            // A key never hashed has hash -1, which no entry holds.
            if (set[way].hash == hash && set[way].key != nullptr &&
                (set[way].key == key ||
                 (PyUnicode_IS_READY(key) && same_str_data(set[way].key, key)))) {
                return set[way].verdict;
            }
        }
    }
    return key_sensitive(rules, key);
}

// A key as free text names it (`key=value`, `key: value`, an element's or
// an attribute's name), for the detectors: judged as key_sensitive_utf8
// judges it, and by a deny-list also as a dotted property path by its last
// name (`spring.datasource.password=x`), which can only add masks.  With
// `path_only` the whole key is known to be kept (a value's own key, joined
// before it) and only its last name is judged.  1, 0, or -1 with an exception.
[[nodiscard]] inline int text_key_sensitive(const Rules& rules, const char* text, Py_ssize_t size,
                                            bool path_only = false)
{
    const int sensitive = path_only ? 0 : key_sensitive_utf8(rules, text, size);
    if (sensitive != 0 || rules.allow) {
        return sensitive;
    }
    const void* dot = memrchr(text, '.', static_cast<size_t>(size));
    if (dot == nullptr) {
        return 0;
    }
    const char* last = static_cast<const char*>(dot) + 1;
    return last < text + size ? key_sensitive_utf8(rules, last, text + size - last) : 0;
}

// Whether judging a key of `size` UTF-8 bytes (key_sensitive_utf8,
// text_key_sensitive) may need Python: the memory for a long key's folded
// text, and MemoryError when there is none.  A shorter key is judged on the
// stack, without the GIL, and its verdict cannot fail.
[[nodiscard]] constexpr bool judging_needs_python(Py_ssize_t size) noexcept
{
    return size > TextBuf::kOnStack;
}

// Compiles the rules from normalised arguments: keys and contains are
// tuples of exact str; 0, or -1 with an exception (rules left empty).
[[nodiscard]] int rules_compile(Rules& rules, PyObject* keys, bool allow, bool exact,
                                PyObject* contains, PyObject* mask, bool scalars,
                                uint32_t detectors);

// Frees what the rules own; leaves them empty.  Runs no Python code.
void rules_free(Rules& rules) noexcept;

}  // namespace zentrove::redact
