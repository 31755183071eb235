// The str side of a scan: the UTF-8 bytes that the matchers read, and the
// masked copy, with byte spans mapped back to code points.
#include "_redact/detect/detect.h"

#include "_common/mask.h"
#include "_common/utf8.h"

namespace zentrove::redact::detect {
namespace {

// The UTF-8 of a str: its own bytes when it is ASCII or has them cached,
// else an encoding made here in which a lone surrogate takes three bytes
// like any other code point.
class Utf8 {
public:
    Utf8() noexcept = default;
    Utf8(const Utf8&) = delete;
    Utf8& operator=(const Utf8&) = delete;
    ~Utf8() { PyMem_Free(owned_); }

    [[nodiscard]] int init(PyObject* text)
    {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        ascii = PyUnicode_IS_ASCII(text);
        if (ascii) {
            data = static_cast<const unsigned char*>(PyUnicode_DATA(text));
            size = length;
            return 0;
        }
        auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
        if (compact->utf8 != nullptr) {
            data = reinterpret_cast<const unsigned char*>(compact->utf8);
            size = compact->utf8_length;
            return 0;
        }
        int kind = PyUnicode_KIND(text);
        const void* chars = PyUnicode_DATA(text);
        size_t bound = static_cast<size_t>(length) * static_cast<size_t>(kind + 1);
        owned_ = static_cast<unsigned char*>(PyMem_Malloc(bound));
        if (owned_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        char* out = reinterpret_cast<char*>(owned_);
        for (Py_ssize_t i = 0; i < length; ++i) {
            out = put_utf8(out, PyUnicode_READ(kind, chars, i));
        }
        data = owned_;
        size = reinterpret_cast<unsigned char*>(out) - owned_;
        return 0;
    }

    const unsigned char* data = nullptr;
    Py_ssize_t size = 0;
    bool ascii = false;

private:
    unsigned char* owned_ = nullptr;
};

[[nodiscard]] int write_stars(_PyUnicodeWriter* writer, Py_ssize_t count)
{
    static constexpr std::array<char, 64> stars = [] {
        std::array<char, 64> s{};
        for (char& c : s) {
            c = kMaskChar;
        }
        return s;
    }();
    while (count > 0) {
        Py_ssize_t chunk = count < 64 ? count : 64;
        if (_PyUnicodeWriter_WriteASCIIString(writer, stars.data(), chunk) < 0) {
            return -1;
        }
        count -= chunk;
    }
    return 0;
}

// The text with every span replaced by the mask (NULL: one '*' per code
// point of the span).  The spans are the scan's from `offset` on, where
// the text's bytes start in the scanned ones (after its key), cut to the
// text.  Byte offsets become code point offsets by counting the bytes that
// start a code point.
[[nodiscard]] PyObject* masked_copy(PyObject* text, const Utf8& utf8, const Scan& scan,
                                    Py_ssize_t offset, PyObject* mask)
{
    Py_ssize_t first = 0;
    while (first < scan.count() && scan.spans()[first].end <= offset) {
        ++first;
    }
    auto span_at = [&scan, offset](Py_ssize_t s) {
        const Span& span = scan.spans()[s];
        return Span{span.begin > offset ? span.begin - offset : 0, span.end - offset,
                    span.detector};
    };
    if (utf8.ascii && mask == nullptr) {
        // Stars over ASCII keep every offset: a copy with the spans
        // overwritten, which text dense with secrets makes much faster.
        PyObject* out = PyUnicode_New(utf8.size, 127);
        if (out == nullptr) {
            return nullptr;
        }
        auto* chars = static_cast<char*>(PyUnicode_DATA(out));
        std::memcpy(chars, utf8.data, static_cast<size_t>(utf8.size));
        for (Py_ssize_t s = first; s < scan.count(); ++s) {
            const Span span = span_at(s);
            std::memset(chars + span.begin, kMaskChar, static_cast<size_t>(span.end - span.begin));
        }
        return out;
    }
    _PyUnicodeWriter writer;
    _PyUnicodeWriter_Init(&writer);
    writer.min_length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t byte = 0;
    Py_ssize_t point = 0;
    Py_ssize_t copied = 0;
    auto advance = [&](Py_ssize_t to) {
        if (utf8.ascii) {
            point = to;
        }
        else {
            for (; byte < to; ++byte) {
                point += (utf8.data[byte] & 0xc0) != 0x80;
            }
        }
        byte = to;
        return point;
    };
    for (Py_ssize_t s = first; s < scan.count(); ++s) {
        const Span span = span_at(s);
        Py_ssize_t begin = advance(span.begin);
        Py_ssize_t end = advance(span.end);
        if ((begin > copied &&
             _PyUnicodeWriter_WriteSubstring(&writer, text, copied, begin) < 0) ||
            (mask == nullptr ? write_stars(&writer, end - begin)
                             : _PyUnicodeWriter_WriteStr(&writer, mask)) < 0) {
            _PyUnicodeWriter_Dealloc(&writer);
            return nullptr;
        }
        copied = end;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (copied < length && _PyUnicodeWriter_WriteSubstring(&writer, text, copied, length) < 0) {
        _PyUnicodeWriter_Dealloc(&writer);
        return nullptr;
    }
    return _PyUnicodeWriter_Finish(&writer);
}

// Can the key change how its value is read in `key=value`?  Not a key of
// word bytes without "secret" or "aws": the '=' then joins no pair that
// fires (the rules keep the whole key, which has no dotted path), nothing
// of the value looks back past the '=' and no match in the key reaches
// past it, but for an AWS key id, which looks ahead for its secret.
[[nodiscard]] bool key_matters(const char* key, Py_ssize_t size) noexcept
{
    if (size >= 20 && key[0] == 'A') {
        return true;
    }
    const auto* k = reinterpret_cast<const unsigned char*>(key);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!is(k[i], kWord)) {
            return true;
        }
        unsigned char c = k[i] | 0x20;
        if ((c == 's' && size - i >= 6 && (k[i + 1] | 0x20) == 'e' && (k[i + 2] | 0x20) == 'c' &&
             (k[i + 3] | 0x20) == 'r' && (k[i + 4] | 0x20) == 'e' && (k[i + 5] | 0x20) == 't') ||
            (c == 'a' && size - i >= 3 && (k[i + 1] | 0x20) == 'w' && (k[i + 2] | 0x20) == 's')) {
            return true;
        }
    }
    return false;
}

}  // namespace

int Scan::key_sensitive(Py_ssize_t at, Py_ssize_t n)
{
    uint32_t hash = 2166136261u;  // FNV-1a
    for (Py_ssize_t i = 0; i < n; ++i) {
        hash = (hash ^ text[at + i]) * 16777619u;
    }
    uint64_t bit = uint64_t{1} << (hash % kVerdicts);
    Verdict& slot = verdicts_[hash % kVerdicts];
    // The rules read the key once more, and a remembered key is compared.
    examined(n);
    if ((filled_ & bit) && slot.size == n) {
        // Keys are short: a loop beats a call.
        Py_ssize_t i = 0;
        while (i < n && text.data[slot.at + i] == text.data[at + i]) {
            ++i;
        }
        if (i == n) {
            return slot.sensitive;
        }
    }
    // A value's own key, joined before it, is one the rules keep.
    int sensitive = at == 0 && n == value_from - 1
                        ? 0
                        : key_sensitive_utf8(*rules, reinterpret_cast<const char*>(text + at), n);
    if (sensitive == 0 && !keyless_sensitive(*rules)) {
        // A deny-list also judges a dotted property path by its last name
        // (`spring.datasource.password=x`); it can only add masks.
        const void* dot = memrchr(text + at, '.', static_cast<size_t>(n));
        examined(n);
        if (dot != nullptr) {
            const Py_ssize_t tail = static_cast<const unsigned char*>(dot) - text.data + 1;
            if (tail < at + n) {
                sensitive = key_sensitive_utf8(*rules, reinterpret_cast<const char*>(text + tail),
                                               at + n - tail);
            }
        }
    }
    if (sensitive >= 0) {
        slot = Verdict{at, n, sensitive};
        filled_ |= bit;
    }
    return sensitive;
}

Py_ssize_t Scan::long_run_end(Py_ssize_t at, Py_ssize_t from, uint8_t cls) const noexcept
{
    const int row = run_row(cls);
    if (row >= 0 && (run_rows_ >> row & 1)) {
        // A run is maximal, so one that holds `at` ends where the run from `at` does.
        for (const RunMemo& memo : runs_[row]) {
            if (memo.begin <= at && at < memo.end) {
                return memo.end;
            }
        }
    }
    Py_ssize_t end = from;
    while (end < size && is(text[end], cls)) {
        ++end;
    }
    if (row >= 0) {
        if (!(run_rows_ >> row & 1)) {
            runs_[row][1] = RunMemo{};
            run_rows_ |= static_cast<uint8_t>(1u << row);
        }
        runs_[row][run_older_[row]] = RunMemo{at, end};
        run_older_[row] ^= 1;
    }
    return end;
}

int Scan::add(Py_ssize_t begin, Py_ssize_t end, int detector)
{
    // Spans wholly after the new one stay after it; those that overlap it
    // are absorbed, the earliest one naming the detector.
    if (end > value_from) {
        fired |= uint32_t{1} << detector;
    }
    Py_ssize_t after = count_;
    while (after > 0 && spans_[after - 1].begin >= end) {
        --after;
    }
    Py_ssize_t first = after;
    while (first > 0 && spans_[first - 1].end > begin) {
        const Span& old = spans_[--first];
        if (old.begin <= begin) {
            begin = old.begin;
            detector = old.detector;
        }
        end = old.end > end ? old.end : end;
    }
    if (first == after && count_ == capacity_) {
        size_t bytes = sizeof(Span) * static_cast<size_t>(capacity_) * 2;
        auto* grown = static_cast<Span*>(spans_ == inline_spans_ ? PyMem_Malloc(bytes)
                                                                 : PyMem_Realloc(spans_, bytes));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (spans_ == inline_spans_) {
            std::memcpy(grown, inline_spans_, sizeof(inline_spans_));
        }
        spans_ = grown;
        capacity_ *= 2;
    }
    std::memmove(spans_ + first + 1, spans_ + after,
                 sizeof(Span) * static_cast<size_t>(count_ - after));
    count_ += first + 1 - after;
    spans_[first] = Span{begin, end, detector};
    return 0;
}

PyObject* scan_text(PyObject* text, uint32_t detectors, const Rules* rules, PyObject* mask,
                    uint32_t* fired, bool copy, const char* key, Py_ssize_t key_size)
{
    if (detectors == 0 || PyUnicode_GET_LENGTH(text) == 0) {
        return Py_NewRef(text);
    }
    Utf8 utf8;
    if (utf8.init(text) < 0) {
        return nullptr;
    }
    // With its key the value is scanned as `key=value`, so that it is
    // judged as that text is (a secret-ish key, a dotted path); the spans
    // in the key are not the value's.
    const unsigned char* bytes = utf8.data;
    Py_ssize_t offset = 0;
    unsigned char* joined = nullptr;
    unsigned char small[512];
    if (key != nullptr && key_matters(key, key_size)) {
        offset = key_size + 1;
        const size_t size = static_cast<size_t>(offset + utf8.size);
        joined = size <= sizeof small ? small : static_cast<unsigned char*>(PyMem_Malloc(size));
        if (joined == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        std::memcpy(joined, key, static_cast<size_t>(key_size));
        joined[key_size] = '=';
        std::memcpy(joined + offset, utf8.data, static_cast<size_t>(utf8.size));
        bytes = joined;
    }
    PyObject* result = nullptr;
    {
        Scan scan(bytes, offset + utf8.size, rules, detectors, offset);
        if (run_scan(scan, detectors) == 0) {
            if (fired != nullptr) {
                *fired |= scan.fired;
            }
            bool some = scan.count() > 0 && scan.spans()[scan.count() - 1].end > offset;
            result = some && copy ? masked_copy(text, utf8, scan, offset, mask) : Py_NewRef(text);
        }
    }
    if (joined != nullptr && joined != small) {
        PyMem_Free(joined);
    }
    return result;
}

}  // namespace zentrove::redact::detect
