// UTF-8 as both modules write it: one encoder, in which a lone surrogate
// takes three bytes like any other code point (text from a str may hold
// one), and the byte-order mark.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentrove {

// Encodes code point `cp` (at most 0x10FFFF) at `out`; returns the end.
[[nodiscard]] inline char* put_utf8(char* out, uint32_t cp) noexcept
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

// The most bytes put_utf8 writes for one code point.
inline constexpr size_t kMaxUtf8Bytes = 4;

// U+FEFF encoded: the byte-order mark a UTF-8 text may start with.
inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
inline constexpr size_t kUtf8BomSize = sizeof kUtf8Bom - 1;

}  // namespace zentrove
