// The one rule of matching keys, used by the object walks, the JSON text
// scanner and the key=value detector: the set of listed keys, the contains=
// substrings, the verdict cache, and compiling them (key texts: keytext.cpp;
// a key's dotted path in free text: rules.h).
//
// Design note.  A key is reduced to UTF-8 text once: its exact text for
// exact=True, else its folded form (Unicode full case folding per code point,
// ASCII through a table, with `_` `-` `.` and space dropped).  Listed keys
// went through the same function when the rules were compiled, so a lookup
// is a hash and a memcmp.  A lone surrogate is encoded in three bytes like
// any other code point, so str keys and keys decoded from JSON text agree.
// Nothing here runs Python code: keys are read through their data, never
// through __eq__ or __hash__ of the key's type.
#include "_redact/redactor.h"

#include "_redact/keytext.h"

#include <cstring>

namespace zentrove::redact {
namespace {

// FNV-1a: keys are short, and the set is private to one redactor.
[[nodiscard]] inline uint64_t text_hash(const char* text, Py_ssize_t size) noexcept
{
    uint64_t h = 0xcbf29ce484222325u;
    for (Py_ssize_t i = 0; i < size; ++i) {
        h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001b3u;
    }
    return h;
}

// The slot holding text, or the empty slot where it would go.
[[nodiscard]] KeySet::Slot* find_slot(const KeySet& set, const char* text, Py_ssize_t size,
                                      uint64_t hash) noexcept
{
    for (uint64_t i = hash & set.mask;; i = (i + 1) & set.mask) {
        KeySet::Slot* slot = &set.slots[i];
        if (slot->size < 0 ||
            (slot->hash == hash && slot->size == size &&
             (size == 0 ||  // the texts of empty keys may all be NULL
              std::memcmp(set.bytes + slot->offset, text, static_cast<size_t>(size)) == 0))) {
            return slot;
        }
    }
}

[[nodiscard]] bool set_contains(const KeySet& set, const char* text, Py_ssize_t size) noexcept
{
    return set.slots != nullptr && find_slot(set, text, size, text_hash(text, size))->size >= 0;
}

[[nodiscard]] bool contains_any(const Rules& rules, const char* folded, Py_ssize_t size) noexcept
{
    int64_t start = 0;
    for (Py_ssize_t i = 0; i < rules.ncontains; ++i) {
        const int64_t end = rules.contains_ends[i];
        if (memmem(folded, static_cast<size_t>(size), rules.contains + start,
                   static_cast<size_t>(end - start)) != nullptr) {
            return true;
        }
        start = end;
    }
    return false;
}

// The verdict for a key whose text (exact or folded, as the rules compare)
// is `text`; `fold` gives its folded text when contains= needs it.
template <typename Fold>
[[nodiscard]] int verdict(const Rules& rules, const char* text, Py_ssize_t size, Fold fold)
{
    const bool listed = set_contains(rules.keys, text, size);
    if (rules.allow) {
        return listed ? 0 : 1;
    }
    if (listed) {
        return 1;
    }
    if (rules.ncontains == 0) {
        return 0;
    }
    if (!rules.exact) {
        return contains_any(rules, text, size) ? 1 : 0;
    }
    TextBuf buf;
    const char* folded;
    const Py_ssize_t n = fold(buf, &folded);
    if (n < 0) {
        return -1;
    }
    return contains_any(rules, folded, n) ? 1 : 0;
}

// The verdict for a ready str (or subclass), by its text.
[[nodiscard]] int judge_str(const Rules& rules, PyObject* key)
{
    TextBuf buf;
    const char* text;
    const Py_ssize_t size = rules.exact ? exact_str(key, buf, &text) : fold_str(key, buf, &text);
    if (size < 0) {
        return -1;
    }
    return verdict(rules, text, size, [key](TextBuf& b, const char** out) {
        return fold_str(key, b, out);
    });
}

// Growable PyMem byte buffer for compiling.
struct Arena {
    char* data = nullptr;
    int64_t size = 0;
    int64_t capacity = 0;

    [[nodiscard]] bool append(const char* text, Py_ssize_t n) noexcept
    {
        if (size + n > capacity) {
            const int64_t want = (size + n) * 2 + 16;
            void* grown = PyMem_Realloc(data, static_cast<size_t>(want));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            data = static_cast<char*>(grown);
            capacity = want;
        }
        if (n > 0) {
            std::memcpy(data + size, text, static_cast<size_t>(n));
        }
        size += n;
        return true;
    }
};

[[nodiscard]] int compile_keys(Rules& rules, PyObject* keys)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(keys);
    uint64_t capacity = 8;
    while (capacity < static_cast<uint64_t>(n) * 2) {
        capacity *= 2;
    }
    KeySet& set = rules.keys;
    set.slots = static_cast<KeySet::Slot*>(PyMem_Malloc(capacity * sizeof(KeySet::Slot)));
    if (set.slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    set.mask = capacity - 1;
    for (uint64_t i = 0; i < capacity; ++i) {
        set.slots[i].size = -1;
    }
    Arena arena;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys, i);
        TextBuf buf;
        const char* text;
        const Py_ssize_t size =
            rules.exact ? exact_str(key, buf, &text) : fold_str(key, buf, &text);
        if (size < 0) {
            PyMem_Free(arena.data);
            return -1;
        }
        const uint64_t hash = text_hash(text, size);
        set.bytes = arena.data;  // find_slot reads the texts placed so far
        KeySet::Slot* slot = find_slot(set, text, size, hash);
        if (slot->size >= 0) {
            continue;  // listed twice, or equal once folded
        }
        const int64_t offset = arena.size;
        if (!arena.append(text, size)) {
            PyMem_Free(arena.data);
            set.bytes = nullptr;
            return -1;
        }
        set.bytes = arena.data;
        *slot = {hash, offset, size};
    }
    set.bytes = arena.data;
    return 0;
}

[[nodiscard]] int compile_contains(Rules& rules, PyObject* contains)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(contains);
    if (n == 0) {
        return 0;
    }
    rules.contains_ends =
        static_cast<int64_t*>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(int64_t)));
    if (rules.contains_ends == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Arena arena;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GET_ITEM(contains, i);
        TextBuf buf;
        const char* text;
        const Py_ssize_t size = fold_str(entry, buf, &text);
        if (size == 0) {
            PyErr_Format(PyExc_ValueError,
                         "contains= entry %R is empty once case and the "
                         "separators _ - . and space are dropped",
                         entry);
        }
        if (size <= 0 || !arena.append(text, size)) {
            PyMem_Free(arena.data);
            return -1;
        }
        rules.contains_ends[i] = arena.size;
    }
    rules.contains = arena.data;
    rules.ncontains = n;
    return 0;
}

// TypeError for an argument of RedactorBase.__init__ that is not normalised.
[[nodiscard]] int bad_str_tuple(const char* what)
{
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", what);
    return -1;
}

[[nodiscard]] int check_str_tuple(PyObject* tuple, const char* what)
{
    if (!PyTuple_CheckExact(tuple)) {
        return bad_str_tuple(what);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyUnicode_CheckExact(item)) {
            return bad_str_tuple(what);
        }
        if (PyUnicode_READY(item) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int rules_compile(Rules& rules, PyObject* keys, bool allow, bool exact, PyObject* contains,
                  PyObject* mask, bool scalars, uint32_t detectors)
{
    if (check_str_tuple(keys, "keys") < 0 || check_str_tuple(contains, "contains") < 0) {
        return -1;
    }
    if (mask != Py_None && !PyUnicode_CheckExact(mask)) {
        PyErr_SetString(PyExc_TypeError, "mask must be a str or None");
        return -1;
    }
    rules.allow = allow;
    rules.exact = exact;
    rules.scalars = scalars;
    rules.detectors = detectors;
    if (compile_keys(rules, keys) < 0 || compile_contains(rules, contains) < 0) {
        rules_free(rules);
        return -1;
    }
    if (mask != Py_None) {
        rules.mask = Py_NewRef(mask);
    }
    return 0;
}

void rules_free(Rules& rules) noexcept
{
    if (rules.cache.entries != nullptr) {
        for (uint64_t i = 0; i < VerdictCache::kSize; ++i) {
            Py_XDECREF(rules.cache.entries[i].key);  // exact str: no Python code
        }
        PyMem_Free(rules.cache.entries);
    }
    PyMem_Free(rules.keys.slots);
    PyMem_Free(rules.keys.bytes);
    PyMem_Free(rules.contains);
    PyMem_Free(rules.contains_ends);
    Py_CLEAR(rules.mask);
    rules = Rules{};
}

const Rules* rules_of(PyObject* redactor)
{
    if (!PyObject_TypeCheck(redactor, &RedactorType)) {
        PyErr_Format(PyExc_TypeError, "expected a zentrove.Redactor, got %.200s",
                     Py_TYPE(redactor)->tp_name);
        return nullptr;
    }
    auto* self = reinterpret_cast<RedactorObject*>(redactor);
    if (!self->ready) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s object has no rules: Redactor.__init__ was not "
                     "called",
                     Py_TYPE(redactor)->tp_name);
        return nullptr;
    }
    return &self->rules;
}

int key_sensitive_utf8(const Rules& rules, const char* text, Py_ssize_t size)
{
    const auto fold = [text, size](TextBuf& b, const char** out) {
        return fold_utf8(text, size, b, out);
    };
    if (rules.exact) {
        return verdict(rules, text, size, fold);
    }
    TextBuf buf;
    const char* folded;
    const Py_ssize_t n = fold(buf, &folded);
    if (n < 0) {
        return -1;
    }
    return verdict(rules, folded, n, fold);
}

int key_sensitive(const Rules& rules, PyObject* key)
{
    if (!PyUnicode_Check(key)) {
        return rules.allow ? 1 : 0;
    }
    if (PyUnicode_READY(key) < 0) {
        return -1;
    }
    if (!PyUnicode_CheckExact(key)) {
        return judge_str(rules, key);
    }
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1 && (hash = PyObject_Hash(key)) == -1) {
        return -1;
    }
    VerdictCache& cache = rules.cache;
    if (cache.entries == nullptr) {
        cache.entries = static_cast<VerdictCache::Entry*>(
            PyMem_Calloc(VerdictCache::kSize, sizeof(VerdictCache::Entry)));
        if (cache.entries == nullptr) {
            return judge_str(rules, key);  // the cache is an optimisation only
        }
    }
    // Four ways per set, the most recent first, so that frequent keys
    // sharing a set do not evict each other on every lookup.
    constexpr uint64_t kWays = VerdictCache::kWays;
    VerdictCache::Entry* set =
        &cache.entries[static_cast<uint64_t>(hash) & (VerdictCache::kSize - kWays)];
    for (uint64_t way = 0; way < kWays; ++way) {
        const VerdictCache::Entry& entry = set[way];
        if (entry.hash == hash && entry.key != nullptr &&
            (entry.key == key || same_str_data(entry.key, key))) {
            return entry.verdict;
        }
    }
    const int found = judge_str(rules, key);
    // Only short keys are kept: the cache must not hold large objects, nor
    // long texts (a secret used as a key), alive for the redactor's life.
    if (found >= 0 && PyUnicode_GET_LENGTH(key) <= VerdictCache::kMaxLength) {
        PyObject* evicted = set[kWays - 1].key;
        for (uint64_t way = kWays - 1; way > 0; --way) {
            set[way] = set[way - 1];
        }
        set[0] = {hash, Py_NewRef(key), found};
        Py_XDECREF(evicted);  // an exact str: no Python code runs
    }
    return found;
}

bool keyless_sensitive(const Rules& rules) noexcept
{
    return rules.allow;
}

}  // namespace zentrove::redact
