// What the files of the JSON text scanner share: its states, the byte
// searches of its hot loops, buffers, the verdict cache and the end of a
// string.  Internal to json/scan.cpp, json/string.cpp and json/bytes.cpp.
#pragma once

#include "_redact/json/scan.h"

#include "_common/mask.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zentrove::redact {

enum State : uint8_t {
    kValue,            // a value (top level, after ':' or after ',' in an array)
    kValueOrClose,     // after '['
    kValueAfterComma,  // after ',' in an array: ']' here is a trailing comma
    kKeyOrClose,       // after '{'
    kKeyAfterComma,    // after ',' in an object
    kColon,            // after a key
    kAfterValue,       // after a value: ',', a closing bracket, or the end
    kString,           // in a string body
    kNumber,           // in a number
    kLiteral,          // in true, false or null
    kSkipLine,         // JSON Lines: a bad line, skipped to its end
    kFailed,           // stopped at an error
};

// Stack entries.
constexpr uint8_t kObject = 1, kArray = 2, kArrayMasked = 3;
// String kinds.
// kScan: a value the key rules keep, decoded like a key for the detectors.
constexpr uint8_t kKeep = 0, kMask = 1, kKey = 2, kScan = 3;
// `str_kind >= kKey` means "its text is decoded" (a key, or a kept value
// that the detectors read): the order is relied on.
static_assert(kKeep < kMask && kMask < kKey && kKey < kScan, "string kinds' order");
// Number sub-states; the accepting ones can end the number.
enum Num : uint8_t { kMinus, kZero, kInt, kDot, kFrac, kExpE, kExpSign, kExp };

constexpr bool is_digit(uint8_t c)
{
    return static_cast<unsigned>(c - '0') < 10u;
}

constexpr int hex_value(uint8_t c)
{
    return is_digit(c)                                    ? c - '0'
           : static_cast<unsigned>((c | 0x20) - 'a') < 6u ? (c | 0x20) - 'a' + 10
                                                          : -1;
}

// First byte at or after p that a string body cannot simply copy: '"', '\',
// a control character or any non-ASCII byte.
inline const char* find_special(const char* p, const char* end)
{
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compare: bytes >= 0x80 are negative, so below ' ' too.
        __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
                         _mm_cmplt_epi8(v, space));
        if (int bits = _mm_movemask_epi8(hit)) {
            return p + __builtin_ctz(static_cast<unsigned>(bits));
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        uint8_t c = static_cast<uint8_t>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) {
            break;
        }
    }
    return p;
}

// Growable buffers (json/bytes.cpp): 0, or -1 with MemoryError.
[[nodiscard]] int reserve(ByteBuf& b, size_t extra);
[[nodiscard]] int append(ByteBuf& b, const char* p, size_t n);
// Appends a code point as UTF-8; a surrogate takes three bytes like any other.
[[nodiscard]] int append_code_point(ByteBuf& b, uint32_t cp);
// Code points in [p, end): bytes that are not UTF-8 continuation bytes.
[[nodiscard]] uint64_t code_points(const char* p, const char* end);
// Appends text (UTF-8, whole code points, a lone surrogate in three bytes)
// as the body of a JSON string: '"' and '\' escaped, control characters and
// lone surrogates as \uXXXX, the rest as it is.
[[nodiscard]] int json_encode_body(const char* text, size_t n, ByteBuf& out);
// Appends `n` mask characters.
[[nodiscard]] inline int append_stars(ByteBuf& b, uint64_t n)
{
    if (n == 0) {
        return 0;
    }
    if (reserve(b, n) < 0) {
        return -1;
    }
    std::memset(b.data + b.len, kMaskChar, n);
    b.len += n;
    return 0;
}

// Copies the pending input run up to p.
[[nodiscard]] inline int flush(Scanner& s, const char* p)
{
    if (s.output.copy_from == nullptr) {
        return 0;
    }
    int rc = append(s.output.out, s.output.copy_from, static_cast<size_t>(p - s.output.copy_from));
    s.output.copy_from = p;
    return rc;
}

[[nodiscard]] inline int write_stars(Scanner& s)
{
    if (append_stars(s.output.out, s.parse.count) < 0) {
        return -1;
    }
    s.parse.count = 0;
    return 0;
}

// A hash of a short key from its first and last eight bytes and its length.
inline uint64_t hash_key(const char* p, size_t n)
{
    uint64_t a = 0, b = 0;
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    }
    else {
        for (size_t i = 0; i < n; ++i) {
            a = (a << 8) | static_cast<uint8_t>(p[i]);
        }
    }
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ n) * 0xFF51AFD7ED558CCDULL;
    return h ^ (h >> 29);
}

// Whether two short texts of n bytes are equal, in word loads.
inline bool same_bytes(const char* a, const char* b, size_t n)
{
    if (n < 8) {
        for (size_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }
    uint64_t x, y, diff = 0;
    for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        diff |= x ^ y;
    }
    std::memcpy(&x, a + n - 8, 8);
    std::memcpy(&y, b + n - 8, 8);
    return (diff | (x ^ y)) == 0;
}

// The verdict on a decoded key: 1, 0, or -1 with an exception.
[[nodiscard]] inline int judge(Scanner& s, const char* text, size_t n)
{
    KeyCache::Slot* slot = nullptr;
    if (n <= KeyCache::kMaxKey) {
        // Two ways: the slot of the hash and its neighbour; a new verdict
        // goes to an empty one, else replaces the neighbour.
        KeyCache::Slot* way = &s.caches.keys.slots[hash_key(text, n) & (KeyCache::kSlots - 2)];
        for (int i = 0; i < 2; ++i) {
            if (way[i].len == n && same_bytes(way[i].text, text, n)) {
                return way[i].verdict;
            }
        }
        slot = way[0].len == 0xff ? &way[0] : &way[1];
    }
    if (s.gil.released != nullptr) {
        PyEval_RestoreThread(s.gil.released);
    }
    int verdict = key_sensitive_utf8(*s.cfg.rules, text, static_cast<Py_ssize_t>(n));
    if (s.gil.released != nullptr) {
        s.gil.released = PyEval_SaveThread();
    }
    if (verdict >= 0 && slot != nullptr) {
        slot->len = static_cast<uint8_t>(n);
        slot->verdict = static_cast<uint8_t>(verdict);
        std::memcpy(slot->text, text, n);
    }
    return verdict;
}

// Whether a string or list starting here is masked.
inline bool value_masked(const Scanner& s)
{
    if (s.parse.depth == 0) {
        return s.parse.keyless;
    }
    uint8_t top = s.parse.stack[s.parse.depth - 1];
    return top == kObject ? s.parse.key_sensitive : top == kArrayMasked;
}

// A string value that the key rules keep starts at the quote p.  With
// detectors it is decoded as it goes, and its body (copied on as usual)
// may be rewritten when it closes.
[[nodiscard]] inline int open_kept(Scanner& s, const char* p)
{
    if (!s.cfg.detect) {
        s.parse.str_kind = kKeep;
        return 0;
    }
    s.parse.str_kind = kScan;
    s.output.key.len = 0;
    s.output.key_direct = p + 1;
    if (flush(s, p + 1) < 0) {
        return -1;
    }
    s.output.scan_mark = s.output.out.len;
    return 0;
}

// A string value starts at the quote p: a masked one drops its body from
// the output (its mask is written when it closes), a kept one is copied.
[[nodiscard]] inline int open_value(Scanner& s, const char* p, bool masked)
{
    if (!masked) {
        return open_kept(s, p);
    }
    s.parse.str_kind = kMask;
    if (flush(s, p + 1) < 0) {
        return -1;
    }
    s.output.copy_from = nullptr;
    s.parse.count = 0;
    return 0;
}

// The detectors on a kept string's decoded text (json/bytes.cpp): when they
// mask something, its body in the output is replaced.  0, or -1.
[[nodiscard]] int detect_kept(Scanner& s, const char* text, size_t n, const char* q);

// The string whose closing quote is at q ends: a masked one gets its mask,
// a key its verdict.  0, or -1 with an exception.
[[nodiscard]] inline int close_string(Scanner& s, const char* q)
{
    if (s.parse.str_kind == kKey) {
        const char* text = s.output.key_direct != nullptr
                               ? s.output.key_direct
                               : (s.output.key.len != 0 ? s.output.key.data : "");
        const size_t n = s.output.key_direct != nullptr
                             ? static_cast<size_t>(q - s.output.key_direct)
                             : s.output.key.len;
        int verdict = judge(s, text, n);
        if (verdict < 0) {
            return -1;
        }
        // A string value that follows is scanned with its key.
        if (s.cfg.detect && verdict == 0) {
            s.output.value_key.len = 0;
            if (append(s.output.value_key, text, n) < 0) {
                return -1;
            }
        }
        s.parse.key_sensitive = verdict != 0;
        s.output.key_direct = nullptr;
        s.parse.state = kColon;
        return 0;
    }
    if (s.parse.str_kind == kMask) {
        if ((s.cfg.mask != nullptr ? append(s.output.out, s.cfg.mask, s.cfg.mask_len)
                                   : write_stars(s)) < 0) {
            return -1;
        }
        s.output.copy_from = q;
    }
    else if (s.parse.str_kind == kScan) {
        const bool direct = s.output.key_direct != nullptr;
        if (detect_kept(s, direct ? s.output.key_direct : s.output.key.data,
                        direct ? static_cast<size_t>(q - s.output.key_direct) : s.output.key.len,
                        q) < 0) {
            return -1;
        }
        s.output.key_direct = nullptr;
    }
    s.parse.state = kAfterValue;
    return 0;
}

// Back to the start of a document, nothing pending.
inline void reset_parse(Scanner& s)
{
    s.parse.state = kValue;
    s.parse.depth = 0;
    s.parse.esc = 0;
    s.parse.utf8_need = 0;
    s.parse.high = 0;
    s.parse.count = 0;
    s.output.key_direct = nullptr;
    s.output.key.len = 0;
    s.parse.num_masked = false;
}

// A number that scalars=True masks starts at p: it becomes a string.
[[nodiscard]] inline int open_number(Scanner& s, const char* p)
{
    if (flush(s, p) < 0 || append(s.output.out, "\"", 1) < 0) {
        return -1;
    }
    s.output.copy_from = nullptr;
    s.parse.num_masked = true;
    s.parse.num_from = p;
    s.parse.count = 0;
    return 0;
}

// ... and has ended: its mask (one '*' per character as written) and the
// closing quote.
[[nodiscard]] inline int close_number(Scanner& s)
{
    s.parse.num_masked = false;
    if ((s.cfg.mask != nullptr ? append(s.output.out, s.cfg.mask, s.cfg.mask_len)
                               : write_stars(s)) < 0) {
        return -1;
    }
    return append(s.output.out, "\"", 1);
}

// What scan_string stopped at.
enum class Step : uint8_t { kMore, kClosed, kFailed };

// A sub-scanner stops at an error: `kind`, `bytes_back` ASCII bytes before p.
[[gnu::cold]] inline Step step_failed(ScanError& error, unsigned& back, ScanError kind,
                                      unsigned bytes_back) noexcept
{
    error = kind;
    back = bytes_back;
    return Step::kFailed;
}

// The chunk [data, data + size) is used up (json/end.cpp): write what it
// settled, keep what continues into the next one.  0, or -1 (kPython).
[[nodiscard]] int end_chunk(Scanner& s, const char* data, size_t size);

// Records an error at p (less `back` ASCII bytes) (json/end.cpp): a bad line
// of JSON Lines goes to `bad_line`.  0: go on at p (the line skipped); -1:
// stop (state kFailed).
[[nodiscard, gnu::cold]] int scan_fail(Scanner& s, ScanError error, const char* p, unsigned back,
                                       int (*bad_line)(Scanner&, void*), void* ctx);

// Scans a string body from p (json/string.cpp): kMore when the chunk ends
// inside it, kClosed past its closing quote, kFailed with p at the error (and
// `back` ASCII bytes before it for the message).
[[nodiscard]] Step scan_string(Scanner& s, const char*& p, const char* end, ScanError& error,
                               unsigned& back) noexcept;

}  // namespace zentrove::redact
