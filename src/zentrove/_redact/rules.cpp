// The one rule of matching keys, used by the object walks, the JSON text
// scanner and the key=value detector: folding a key's text, the set of
// listed keys, the contains= substrings, and the verdict cache.
//
// Design note.  A key is reduced to UTF-8 text once: its exact text for
// exact=True, else its folded form (Unicode full case folding per code point,
// ASCII through a table, with `_` `-` `.` and space dropped).  Listed keys
// went through the same function when the rules were compiled, so a lookup
// is a hash and a memcmp.  A lone surrogate is encoded in three bytes like
// any other code point, so str keys and keys decoded from JSON text agree.
// Nothing here runs Python code: keys are read through their data, never
// through __eq__ or __hash__ of the key's type.
#include "rules.h"

#include <array>
#include <cstring>

namespace zr {
namespace {

constexpr uint8_t kDrop = 0x80;  // ASCII table: the character is dropped

constexpr std::array<uint8_t, 128> make_ascii_fold() noexcept
{
    std::array<uint8_t, 128> table{};
    for (int c = 0; c < 128; ++c) {
        table[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    table['_'] = table['-'] = table['.'] = table[' '] = kDrop;
    return table;
}
constexpr std::array<uint8_t, 128> kAsciiFold = make_ascii_fold();

// Most bytes one code point can take once folded: three code points.
constexpr Py_ssize_t kMaxFoldedBytes = 12;

// Encodes a code point as UTF-8; surrogates too, like any other.
[[nodiscard]] inline char* put_utf8(char* out, Py_UCS4 cp) noexcept
{
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    }
    else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

[[nodiscard]] inline char* put_folded(char* out, Py_UCS4 cp) noexcept
{
    if (cp < 0x80) {
        const uint8_t folded = kAsciiFold[cp];
        if (folded != kDrop) {
            *out++ = static_cast<char>(folded);
        }
        return out;
    }
    Py_UCS4 folded[3];
    const int n = _PyUnicode_ToFoldedFull(cp, folded);
    for (int i = 0; i < n; ++i) {
        out = put_utf8(out, folded[i]);
    }
    return out;
}

// Decodes one code point of UTF-8 at text[*i] and advances *i.  Input that
// is not UTF-8 is taken a byte at a time as that byte's value (it can then
// match no listed key, which is valid UTF-8).
[[nodiscard]] inline Py_UCS4 next_utf8(const unsigned char* text,
                                       Py_ssize_t size, Py_ssize_t* i) noexcept
{
    const unsigned char lead = text[*i];
    int extra;
    Py_UCS4 cp;
    Py_UCS4 least;
    if (lead < 0x80) {
        ++*i;
        return lead;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1F, least = 0x80;
    }
    else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0F, least = 0x800;
    }
    else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07, least = 0x10000;
    }
    else {
        ++*i;
        return lead;
    }
    if (size - *i <= extra) {
        ++*i;
        return lead;
    }
    for (int k = 1; k <= extra; ++k) {
        const unsigned char c = text[*i + k];
        if ((c & 0xC0) != 0x80) {
            ++*i;
            return lead;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF) {
        ++*i;
        return lead;
    }
    *i += extra + 1;
    return cp;
}

// Scratch space for one key's text: on the stack, or PyMem for long keys.
class TextBuf {
public:
    TextBuf() noexcept = default;
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    ~TextBuf() { PyMem_Free(heap_); }

    // Room for `size` bytes; NULL with MemoryError.
    [[nodiscard]] char* reserve(Py_ssize_t size) noexcept
    {
        if (size <= static_cast<Py_ssize_t>(sizeof stack_)) {
            return stack_;
        }
        PyMem_Free(heap_);
        heap_ = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(size)));
        if (heap_ == nullptr) {
            PyErr_NoMemory();
        }
        return heap_;
    }

private:
    char stack_[256];
    char* heap_ = nullptr;
};

// The folded text of a ready str into buf; its size, or -1 with an exception.
[[nodiscard]] Py_ssize_t fold_str(PyObject* key, TextBuf& buf,
                                  const char** text)
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    const bool ascii = PyUnicode_IS_ASCII(key);
    if (!ascii && len > PY_SSIZE_T_MAX / kMaxFoldedBytes) {
        PyErr_NoMemory();
        return -1;
    }
    char* out = buf.reserve(ascii ? len : len * kMaxFoldedBytes);
    if (out == nullptr) {
        return -1;
    }
    *text = out;
    char* const start = out;
    if (ascii) {
        const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(key));
        for (Py_ssize_t i = 0; i < len; ++i) {
            const uint8_t folded = kAsciiFold[data[i]];
            if (folded != kDrop) {
                *out++ = static_cast<char>(folded);
            }
        }
        return out - start;
    }
    const int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    for (Py_ssize_t i = 0; i < len; ++i) {
        out = put_folded(out, PyUnicode_READ(kind, data, i));
    }
    return out - start;
}

// The exact text of a ready str as UTF-8 (no copy for ASCII); as fold_str.
[[nodiscard]] Py_ssize_t exact_str(PyObject* key, TextBuf& buf,
                                   const char** text)
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    if (PyUnicode_IS_ASCII(key)) {
        *text = static_cast<const char*>(PyUnicode_DATA(key));
        return len;
    }
    char* out = buf.reserve(len * 4);
    if (out == nullptr) {
        return -1;
    }
    *text = out;
    char* const start = out;
    const int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    for (Py_ssize_t i = 0; i < len; ++i) {
        out = put_utf8(out, PyUnicode_READ(kind, data, i));
    }
    return out - start;
}

[[nodiscard]] Py_ssize_t fold_utf8(const char* text, Py_ssize_t size,
                                   TextBuf& buf, const char** folded)
{
    if (size > PY_SSIZE_T_MAX / kMaxFoldedBytes) {
        PyErr_NoMemory();
        return -1;
    }
    char* out = buf.reserve(size * kMaxFoldedBytes);
    if (out == nullptr) {
        return -1;
    }
    *folded = out;
    char* const start = out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (Py_ssize_t i = 0; i < size;) {
        out = put_folded(out, next_utf8(bytes, size, &i));
    }
    return out - start;
}

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
[[nodiscard]] KeySet::Slot* find_slot(const KeySet& set, const char* text,
                                      Py_ssize_t size, uint64_t hash) noexcept
{
    for (uint64_t i = hash & set.mask;; i = (i + 1) & set.mask) {
        KeySet::Slot* slot = &set.slots[i];
        if (slot->size < 0 ||
            (slot->hash == hash && slot->size == size &&
             std::memcmp(set.bytes + slot->offset, text,
                         static_cast<size_t>(size)) == 0)) {
            return slot;
        }
    }
}

[[nodiscard]] bool set_contains(const KeySet& set, const char* text,
                                Py_ssize_t size) noexcept
{
    return set.slots != nullptr &&
           find_slot(set, text, size, text_hash(text, size))->size >= 0;
}

[[nodiscard]] bool contains_any(const Rules& rules, const char* folded,
                                Py_ssize_t size) noexcept
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
[[nodiscard]] int verdict(const Rules& rules, const char* text,
                          Py_ssize_t size, Fold fold)
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
    const Py_ssize_t size = rules.exact ? exact_str(key, buf, &text)
                                        : fold_str(key, buf, &text);
    if (size < 0) {
        return -1;
    }
    return verdict(rules, text, size, [key](TextBuf& b, const char** out) {
        return fold_str(key, b, out);
    });
}

// Equality of two exact ready str objects by their data.
[[nodiscard]] bool same_text(PyObject* a, PyObject* b) noexcept
{
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return len == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(len) * kind) == 0;
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
    set.slots = static_cast<KeySet::Slot*>(
        PyMem_Malloc(capacity * sizeof(KeySet::Slot)));
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
        const Py_ssize_t size = rules.exact ? exact_str(key, buf, &text)
                                            : fold_str(key, buf, &text);
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

int rules_compile(Rules& rules, PyObject* keys, bool allow, bool exact,
                  PyObject* contains, PyObject* mask, bool scalars,
                  uint32_t detectors)
{
    if (check_str_tuple(keys, "keys") < 0 ||
        check_str_tuple(contains, "contains") < 0) {
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
    VerdictCache::Entry& entry =
        cache.entries[static_cast<uint64_t>(hash) & (VerdictCache::kSize - 1)];
    if (entry.key == key ||
        (entry.key != nullptr &&
         reinterpret_cast<PyASCIIObject*>(entry.key)->hash == hash &&
         same_text(entry.key, key))) {
        return entry.verdict;
    }
    const int found = judge_str(rules, key);
    if (found >= 0) {
        Py_XSETREF(entry.key, Py_NewRef(key));  // the old one is an exact str
        entry.verdict = found;
    }
    return found;
}

bool keyless_sensitive(const Rules& rules) noexcept
{
    return rules.allow;
}

}  // namespace zr
