// The text of a key as the rules compare it: exact (UTF-8) or folded (full
// case folding per code point, ASCII by table, `_` `-` `.` and space
// dropped), from a str or from UTF-8 bytes.
#include "_redact/keytext.h"

#include "_common/utf8.h"

#include <array>

namespace zentrove::redact {
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
[[nodiscard]] inline Py_UCS4 next_utf8(const unsigned char* text, Py_ssize_t size,
                                       Py_ssize_t* i) noexcept
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

}  // namespace

// The folded text of a ready str into buf; its size, or -1 with an exception.
Py_ssize_t fold_str(PyObject* key, TextBuf& buf, const char** text)
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
Py_ssize_t exact_str(PyObject* key, TextBuf& buf, const char** text)
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

Py_ssize_t fold_utf8(const char* text, Py_ssize_t size, TextBuf& buf, const char** folded)
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

}  // namespace zentrove::redact
