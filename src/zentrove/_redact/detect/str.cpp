// The str entry of a scan: the UTF-8 bytes that the matchers read, and the
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
// point of the span).  The spans are the scan's from `first` on, cut to
// the value.  Byte offsets become code point offsets by counting the bytes
// that start a code point.
[[nodiscard]] PyObject* masked_copy(PyObject* text, const Utf8& utf8, const Scan& scan,
                                    const KeyedValue& keyed, Py_ssize_t first, PyObject* mask)
{
    auto span_at = [&scan, &keyed](Py_ssize_t s) {
        return keyed.cut(scan.spans()[s]);
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

}  // namespace

PyObject* scan_text(PyObject* text, uint32_t detectors, const Rules* rules, PyObject* mask,
                    uint32_t* fired, bool copy, const char* key, Py_ssize_t key_size)
{
    if (detectors == 0 || PyUnicode_GET_LENGTH(text) == 0) {
        return Py_NewRef(text);
    }
    Utf8 utf8;
    KeyedValue keyed;
    if (utf8.init(text) < 0 || keyed.join(utf8.data, utf8.size, key, key_size, nullptr) < 0) {
        return nullptr;
    }
    Scan scan(keyed.data, keyed.size, rules, detectors, keyed.offset);
    if (run_scan(scan, detectors) < 0) {
        return nullptr;
    }
    if (fired != nullptr) {
        *fired |= scan.fired;
    }
    const Py_ssize_t first = keyed.first(scan);
    return first < scan.count() && copy ? masked_copy(text, utf8, scan, keyed, first, mask)
                                        : Py_NewRef(text);
}

}  // namespace zentrove::redact::detect
