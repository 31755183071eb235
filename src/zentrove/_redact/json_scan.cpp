// The JSON text scanner's state machine.  Design: every state is explicit
// (no recursion, no lookahead beyond the current byte), so a chunk may end
// anywhere; input is copied out lazily in runs (copy_from), and only the
// bodies of masked strings are left out and replaced.  String bodies are
// searched 16 bytes at a time for the bytes that need attention.
#include "json_scan.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zr {
namespace {

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
constexpr uint8_t kKeep = 0, kMask = 1, kKey = 2;
// Number sub-states; the accepting ones can end the number.
enum Num : uint8_t { kMinus, kZero, kInt, kDot, kFrac, kExpE, kExpSign, kExp };

constexpr bool is_digit(uint8_t c) { return c - '0' < 10u; }

constexpr int hex_value(uint8_t c)
{
    return is_digit(c) ? c - '0'
         : (c | 0x20) - 'a' < 6u ? (c | 0x20) - 'a' + 10
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
        __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
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

// Code points in [p, end): bytes that are not UTF-8 continuation bytes.
uint64_t code_points(const char* p, const char* end)
{
    uint64_t n = 0;
    for (; end - p >= 8; p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // A continuation byte is 10xxxxxx: bit 7 set and bit 6 clear.
        uint64_t cont = w & ~(w << 1) & 0x8080808080808080ULL;
        n += 8 - static_cast<uint64_t>(__builtin_popcountll(cont));
    }
    for (; p < end; ++p) {
        n += (static_cast<uint8_t>(*p) & 0xC0) != 0x80;
    }
    return n;
}

[[nodiscard]] int reserve(ByteBuf& b, size_t extra)
{
    if (b.cap - b.len >= extra) {
        return 0;
    }
    size_t want = b.len + extra;
    size_t cap = b.cap < 256 ? 256 : b.cap;
    while (cap < want) {
        cap += cap / 2;
    }
    char* data = static_cast<char*>(PyMem_Realloc(b.data, cap));
    if (data == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    b.data = data;
    b.cap = cap;
    return 0;
}

[[nodiscard]] int append(ByteBuf& b, const char* p, size_t n)
{
    if (n == 0) {
        return 0;
    }
    if (reserve(b, n) < 0) {
        return -1;
    }
    std::memcpy(b.data + b.len, p, n);
    b.len += n;
    return 0;
}

// Appends a code point as UTF-8; a surrogate takes three bytes like any other.
[[nodiscard]] int append_code_point(ByteBuf& b, uint32_t cp)
{
    char u[4];
    size_t n;
    if (cp < 0x80) {
        u[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        u[0] = static_cast<char>(0xC0 | (cp >> 6));
        u[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        u[0] = static_cast<char>(0xE0 | (cp >> 12));
        u[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        u[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        u[0] = static_cast<char>(0xF0 | (cp >> 18));
        u[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        u[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        u[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    return append(b, u, n);
}

// Copies the pending input run up to p.
[[nodiscard]] inline int flush(Scanner& s, const char* p)
{
    if (s.copy_from == nullptr) {
        return 0;
    }
    int rc = append(s.out, s.copy_from, static_cast<size_t>(p - s.copy_from));
    s.copy_from = p;
    return rc;
}

[[nodiscard]] int write_stars(Scanner& s)
{
    if (s.count == 0) {
        return 0;
    }
    if (reserve(s.out, s.count) < 0) {
        return -1;
    }
    std::memset(s.out.data + s.out.len, '*', s.count);
    s.out.len += s.count;
    s.count = 0;
    return 0;
}

// A hash of a short key from its first and last eight bytes and its length.
inline uint64_t hash_key(const char* p, size_t n)
{
    uint64_t a = 0, b = 0;
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    } else {
        for (size_t i = 0; i < n; ++i) {
            a = (a << 8) | static_cast<uint8_t>(p[i]);
        }
    }
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ n) * 0xFF51AFD7ED558CCDULL;
    return h ^ (h >> 29);
}

// Whether two short texts of n bytes are equal, in word loads.
inline bool same_text(const char* a, const char* b, size_t n)
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
[[nodiscard]] int judge(Scanner& s, const char* text, size_t n)
{
    KeyCache::Slot* slot = nullptr;
    if (n <= KeyCache::kMaxKey) {
        // Two ways: the slot of the hash and its neighbour; a new verdict
        // goes to an empty one, else replaces the neighbour.
        KeyCache::Slot* way = &s.cache.slots[hash_key(text, n) & (KeyCache::kSlots - 2)];
        for (int i = 0; i < 2; ++i) {
            if (way[i].len == n && same_text(way[i].text, text, n)) {
                return way[i].verdict;
            }
        }
        slot = way[0].len == 0xff ? &way[0] : &way[1];
    }
    int verdict = key_sensitive_utf8(*s.rules, text, static_cast<Py_ssize_t>(n));
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
    if (s.depth == 0) {
        return s.keyless;
    }
    uint8_t top = s.stack[s.depth - 1];
    return top == kObject ? s.key_sensitive : top == kArrayMasked;
}

// A lone high surrogate escape is one code point of its own.
[[nodiscard]] inline int settle_high(Scanner& s)
{
    if (s.high == 0) {
        return 0;
    }
    uint32_t cp = s.high;
    s.high = 0;
    if (s.str_kind == kMask) {
        ++s.count;
    } else if (s.str_kind == kKey) {
        return append_code_point(s.key, cp);
    }
    return 0;
}

// One decoded code point of a string (from an escape).
[[nodiscard]] inline int take_code_point(Scanner& s, uint32_t cp)
{
    if (s.str_kind == kMask) {
        ++s.count;
    } else if (s.str_kind == kKey) {
        return append_code_point(s.key, cp);
    }
    return 0;
}

uint64_t column(const Scanner& s, const char* p)
{
    if (s.chunk == nullptr) {
        return 1 + s.cols_before;
    }
    if (s.line_start != nullptr) {
        return 1 + code_points(s.line_start, p);
    }
    return 1 + s.cols_before + code_points(s.chunk, p);
}

void reset_parse(Scanner& s)
{
    s.state = kValue;
    s.depth = 0;
    s.esc = 0;
    s.utf8_need = 0;
    s.high = 0;
    s.count = 0;
    s.key_direct = nullptr;
    s.key.len = 0;
}

// Records an error at p (less `back` ASCII bytes).  0: go on at p (a bad
// line skipped); -1: stop.
[[nodiscard]] int fail(Scanner& s, ScanError error, const char* p, unsigned back,
                       int (*bad_line)(Scanner&, void*), void* ctx)
{
    s.error = error;
    if (error == ScanError::kBadUtf8 && p != nullptr) {
        s.error_byte = static_cast<uint8_t>(*p);
    }
    s.error_line = s.line;
    s.error_col = column(s, p) - back;
    if (!s.lines) {
        s.state = kFailed;
        return -1;
    }
    s.out.len = s.committed;
    if (error != ScanError::kPython && bad_line(s, ctx) < 0) {
        s.error = ScanError::kPython;
    }
    if (!s.keep_going || s.error == ScanError::kPython) {
        s.state = kFailed;
        return -1;
    }
    reset_parse(s);
    s.state = kSkipLine;
    s.copy_from = nullptr;
    return 0;
}

// JSON Lines: the line ends at the newline p.
[[nodiscard]] int end_line(Scanner& s, const char* p)
{
    if (flush(s, p + 1) < 0) {
        return -1;
    }
    s.committed = s.out.len;
    ++s.line;
    s.line_start = p + 1;
    return 0;
}

}  // namespace

void scanner_init(Scanner& s, const Rules& rules, bool lines, bool keep_going,
                  bool surrogates, const char* mask, size_t mask_len) noexcept
{
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    s.rules = &rules;
    s.lines = lines;
    s.keep_going = keep_going;
    s.surrogates = surrogates;
    s.mask = mask;
    s.mask_len = mask_len;
    s.keyless = keyless_sensitive(rules);
    s.line = 1;
    for (KeyCache::Slot& slot : s.cache.slots) {
        slot.len = 0xff;
    }
    reset_parse(s);
}

void scanner_free(Scanner& s) noexcept
{
    PyMem_Free(s.out.data);
    PyMem_Free(s.key.data);
    s.out = ByteBuf{};
    s.key = ByteBuf{};
}

#define FAIL(kind, at, back)                                          \
    do {                                                              \
        if (fail(s, (kind), (at), (back), bad_line, ctx) < 0) {       \
            return -1;                                                \
        }                                                             \
        p = (at);                                                     \
        goto next;                                                    \
    } while (0)
#define CHECK(call)          \
    do {                     \
        if ((call) < 0) {    \
            FAIL(ScanError::kPython, p, 0); \
        }                    \
    } while (0)

int scanner_feed(Scanner& s, const char* data, size_t size,
                 int (*bad_line)(Scanner&, void*), void* ctx) noexcept
{
    if (s.state == kFailed) {
        return -1;
    }
    const char* p = data;
    const char* const end = data + size;
    s.chunk = data;
    s.line_start = nullptr;
    s.copy_from = (s.state == kString && s.str_kind == kMask) || s.state == kSkipLine
                      ? nullptr : data;
    if (reserve(s.out, size) < 0) {
        s.error = ScanError::kPython;
        return -1;
    }
    while (p < end) {
        uint8_t c;
        switch (s.state) {
        case kValue:
        case kValueOrClose:
        case kValueAfterComma:
        case kKeyOrClose:
        case kKeyAfterComma:
        case kColon:
        case kAfterValue:
        whitespace:
            // Whitespace; a newline ends a JSON Lines document instead.
            for (; p < end; ++p) {
                c = static_cast<uint8_t>(*p);
                if (c == ' ' || c == '\t' || c == '\r') {
                    continue;
                }
                if (c == '\n' && !s.lines) {
                    ++s.line;
                    s.line_start = p + 1;
                    continue;
                }
                break;
            }
            if (p == end) {
                break;
            }
            c = static_cast<uint8_t>(*p);
            if (s.state == kColon) {
                if (c != ':') {
                    FAIL(ScanError::kExpectColon, p, 0);
                }
                s.state = kValue;
                ++p;
                goto whitespace;
            }
            if (s.state == kAfterValue) {
                if (s.depth == 0) {
                    if (c != '\n') {
                        FAIL(ScanError::kExtraData, p, 0);
                    }
                    ++s.documents;
                    CHECK(end_line(s, p));
                    s.state = kValue;
                    ++p;
                    goto whitespace;
                }
                uint8_t top = s.stack[s.depth - 1];
                if (c == ',') {
                    s.state = top == kObject ? kKeyAfterComma : kValueAfterComma;
                } else if (c == (top == kObject ? '}' : ']')) {
                    --s.depth;
                } else {
                    FAIL(ScanError::kExpectComma, p, 0);
                }
                ++p;
                goto whitespace;
            }
            if (s.state == kKeyOrClose || s.state == kKeyAfterComma) {
                if (c == '"') {
                    s.state = kString;
                    s.str_kind = kKey;
                    s.key.len = 0;
                    s.key_direct = ++p;
                    goto string_start;
                } else if (c == '}') {
                    if (s.state == kKeyAfterComma) {
                        FAIL(ScanError::kTrailingCommaObject, p, 0);
                    }
                    --s.depth;
                    s.state = kAfterValue;
                    ++p;
                    goto whitespace;
                }
                FAIL(ScanError::kExpectKey, p, 0);
            }
            // A value.
            switch (c) {
            case '"':
                s.state = kString;
                if (value_masked(s)) {
                    s.str_kind = kMask;
                    CHECK(flush(s, p + 1));
                    s.copy_from = nullptr;
                    s.count = 0;
                } else {
                    s.str_kind = kKeep;
                }
                ++p;
                goto string_start;
            case '{':
            case '[':
                if (s.depth == kMaxDepth) {
                    FAIL(ScanError::kTooDeep, p, 0);
                }
                s.stack[s.depth] = c == '{' ? kObject
                                 : value_masked(s) ? kArrayMasked : kArray;
                ++s.depth;
                s.state = c == '{' ? kKeyOrClose : kValueOrClose;
                ++p;
                goto whitespace;
            case ']':
                if (s.state == kValueAfterComma) {
                    FAIL(ScanError::kTrailingCommaArray, p, 0);
                }
                if (s.state != kValueOrClose) {
                    FAIL(ScanError::kExpectValue, p, 0);
                }
                --s.depth;
                s.state = kAfterValue;
                ++p;
                goto whitespace;
            case '-':
                s.state = kNumber;
                s.num = kMinus;
                ++p;
                goto number;
            case 't':
            case 'f':
            case 'n':
                s.state = kLiteral;
                s.lit = c == 't' ? "true" : c == 'f' ? "false" : "null";
                s.lit_idx = 1;
                ++p;
                goto literal;
            case '\n':
                if (s.state == kValue && s.depth == 0) {
                    // A blank line of JSON Lines, copied through.
                    CHECK(end_line(s, p));
                    ++p;
                    goto whitespace;
                }
                FAIL(ScanError::kExpectValue, p, 0);
            default:
                if (is_digit(c)) {
                    s.state = kNumber;
                    s.num = c == '0' ? kZero : kInt;
                    ++p;
                    goto number;
                }
                FAIL(ScanError::kExpectValue, p, 0);
            }
            break;

        case kNumber:
        number:
            while (p < end) {
                c = static_cast<uint8_t>(*p);
                switch (s.num) {
                case kMinus:
                    if (!is_digit(c)) {
                        FAIL(ScanError::kExpectDigit, p, 0);
                    }
                    s.num = c == '0' ? kZero : kInt;
                    ++p;
                    continue;
                case kZero:
                    if (is_digit(c)) {
                        FAIL(ScanError::kLeadingZero, p, 1);
                    }
                    break;
                case kInt:
                case kFrac:
                case kExp:
                    while (p < end && is_digit(static_cast<uint8_t>(*p))) {
                        ++p;
                    }
                    if (p == end) {
                        continue;
                    }
                    c = static_cast<uint8_t>(*p);
                    break;
                case kDot:
                case kExpSign:
                    if (!is_digit(c)) {
                        FAIL(ScanError::kExpectDigit, p, 0);
                    }
                    s.num = s.num == kDot ? kFrac : kExp;
                    ++p;
                    continue;
                case kExpE:
                    if (c == '+' || c == '-') {
                        s.num = kExpSign;
                    } else if (is_digit(c)) {
                        s.num = kExp;
                    } else {
                        FAIL(ScanError::kExpectDigit, p, 0);
                    }
                    ++p;
                    continue;
                }
                // An accepting state at byte c.
                if (c == '.' && (s.num == kZero || s.num == kInt)) {
                    s.num = kDot;
                    ++p;
                } else if ((c | 0x20) == 'e' && s.num != kExp) {
                    s.num = kExpE;
                    ++p;
                } else {
                    s.state = kAfterValue;
                    goto whitespace;
                }
            }
            break;

        case kLiteral:
        literal:
            while (p < end && s.lit[s.lit_idx] != '\0') {
                if (*p != s.lit[s.lit_idx]) {
                    FAIL(ScanError::kExpectValue, p, s.lit_idx);
                }
                ++p;
                ++s.lit_idx;
            }
            if (s.lit[s.lit_idx] == '\0') {
                s.state = kAfterValue;
                goto whitespace;
            }
            break;

        case kSkipLine: {
            const char* nl = static_cast<const char*>(
                std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (nl == nullptr) {
                p = end;
                break;
            }
            ++s.line;
            p = s.line_start = s.copy_from = nl + 1;
            s.state = kValue;
            break;
        }

        case kString:
            goto string;
        string_start: {
            // Most strings hold no escape and end in this chunk: settle
            // them in one search.  Otherwise go through the byte loop.
            const char* q = find_special(p, end);
            if (q == end || *q != '"') {
                goto string;
            }
            if (s.str_kind == kKey) {
                int verdict = judge(s, p, static_cast<size_t>(q - p));
                CHECK(verdict);
                s.key_sensitive = verdict != 0;
                s.key_direct = nullptr;
                s.state = kColon;
            } else {
                if (s.str_kind == kMask) {
                    s.count = static_cast<uint64_t>(q - p);
                    if (s.mask != nullptr) {
                        CHECK(append(s.out, s.mask, s.mask_len));
                    } else {
                        CHECK(write_stars(s));
                    }
                    s.copy_from = q;
                }
                s.state = kAfterValue;
            }
            p = q + 1;
            goto whitespace;
        }
        string:
            while (p < end) {
                c = static_cast<uint8_t>(*p);
                if (s.utf8_need != 0) {
                    if (c < s.utf8_lo || c > s.utf8_hi) {
                        FAIL(ScanError::kBadUtf8, p, 0);
                    }
                    s.utf8_lo = 0x80;
                    s.utf8_hi = 0xBF;
                    --s.utf8_need;
                    if (s.str_kind == kKey && s.key_direct == nullptr) {
                        CHECK(append(s.key, p, 1));
                    }
                    ++p;
                    continue;
                }
                if (s.esc == 1) {
                    uint32_t cp;
                    switch (c) {
                    case '"': case '\\': case '/': cp = c; break;
                    case 'b': cp = '\b'; break;
                    case 'f': cp = '\f'; break;
                    case 'n': cp = '\n'; break;
                    case 'r': cp = '\r'; break;
                    case 't': cp = '\t'; break;
                    case 'u':
                        s.esc = 2;
                        s.hex = 0;
                        ++p;
                        continue;
                    default:
                        FAIL(ScanError::kEscape, p, 1);
                    }
                    s.esc = 0;
                    CHECK(settle_high(s));
                    CHECK(take_code_point(s, cp));
                    ++p;
                    continue;
                }
                if (s.esc != 0) {
                    int v = hex_value(c);
                    if (v < 0) {
                        FAIL(ScanError::kUnicodeEscape, p, s.esc);
                    }
                    s.hex = s.hex * 16 + static_cast<uint32_t>(v);
                    ++p;
                    if (++s.esc < 6) {
                        continue;
                    }
                    s.esc = 0;
                    uint32_t cp = s.hex;
                    if (s.high != 0 && cp >= 0xDC00 && cp <= 0xDFFF) {
                        cp = 0x10000 + ((s.high - 0xD800) << 10) + (cp - 0xDC00);
                        s.high = 0;
                    } else {
                        CHECK(settle_high(s));
                        if (cp >= 0xD800 && cp <= 0xDBFF) {
                            s.high = cp;
                            continue;
                        }
                    }
                    CHECK(take_code_point(s, cp));
                    continue;
                }
                // Plain text: a run of ASCII up to the next byte of interest.
                const char* q = find_special(p, end);
                if (q != p) {
                    CHECK(settle_high(s));
                    if (s.str_kind == kMask) {
                        s.count += static_cast<uint64_t>(q - p);
                    } else if (s.str_kind == kKey && s.key_direct == nullptr) {
                        CHECK(append(s.key, p, static_cast<size_t>(q - p)));
                    }
                    p = q;
                    if (p == end) {
                        break;
                    }
                    c = static_cast<uint8_t>(*p);
                }
                if (c == '"') {
                    CHECK(settle_high(s));
                    if (s.str_kind == kMask) {
                        if (s.mask != nullptr) {
                            CHECK(append(s.out, s.mask, s.mask_len));
                        } else {
                            CHECK(write_stars(s));
                        }
                        s.copy_from = p;
                        s.state = kAfterValue;
                    } else if (s.str_kind == kKey) {
                        int verdict = s.key_direct != nullptr
                            ? judge(s, s.key_direct, static_cast<size_t>(p - s.key_direct))
                            : judge(s, s.key.len != 0 ? s.key.data : "", s.key.len);
                        CHECK(verdict);
                        s.key_sensitive = verdict != 0;
                        s.key_direct = nullptr;
                        s.state = kColon;
                    } else {
                        s.state = kAfterValue;
                    }
                    ++p;
                    goto whitespace;
                }
                if (c == '\\') {
                    if (s.str_kind == kKey && s.key_direct != nullptr) {
                        CHECK(append(s.key, s.key_direct,
                                     static_cast<size_t>(p - s.key_direct)));
                        s.key_direct = nullptr;
                    }
                    s.esc = 1;
                    ++p;
                    continue;
                }
                if (c < 0x20) {
                    FAIL(c == '\n' && s.lines ? ScanError::kUnterminated
                                              : ScanError::kControl, p, 0);
                }
                // The lead byte of a multi-byte sequence: one code point.
                if (c >= 0xC2 && c <= 0xDF) {
                    s.utf8_need = 1;
                    s.utf8_lo = 0x80;
                    s.utf8_hi = 0xBF;
                } else if (c >= 0xE0 && c <= 0xEF) {
                    s.utf8_need = 2;
                    s.utf8_lo = c == 0xE0 ? 0xA0 : 0x80;
                    // 0xED 0xA0..0xBF would be a surrogate: only from a str.
                    s.utf8_hi = c == 0xED && !s.surrogates ? 0x9F : 0xBF;
                } else if (c >= 0xF0 && c <= 0xF4) {
                    s.utf8_need = 3;
                    s.utf8_lo = c == 0xF0 ? 0x90 : 0x80;
                    s.utf8_hi = c == 0xF4 ? 0x8F : 0xBF;
                } else {
                    FAIL(ScanError::kBadUtf8, p, 0);
                }
                CHECK(settle_high(s));
                if (s.str_kind == kMask) {
                    ++s.count;
                } else if (s.str_kind == kKey && s.key_direct == nullptr) {
                    CHECK(append(s.key, p, 1));
                }
                ++p;
            }
            break;

        case kFailed:
            return -1;
        }
    next:;
    }
    // The chunk is used up: write what it settled, keep what continues.
    if (s.state == kString) {
        if (s.str_kind == kMask && s.mask == nullptr && write_stars(s) < 0) {
            s.error = ScanError::kPython;
            return -1;
        }
        if (s.str_kind == kKey && s.key_direct != nullptr) {
            if (append(s.key, s.key_direct, static_cast<size_t>(end - s.key_direct)) < 0) {
                s.error = ScanError::kPython;
                return -1;
            }
            s.key_direct = nullptr;
        }
    }
    if (flush(s, end) < 0) {
        s.error = ScanError::kPython;
        return -1;
    }
    if (s.line_start != nullptr) {
        s.cols_before = code_points(s.line_start, end);
    } else {
        s.cols_before += code_points(data, end);
    }
    s.line_start = nullptr;
    s.chunk = nullptr;
    s.copy_from = nullptr;
    s.base += size;
    if (!s.lines) {
        s.committed = s.out.len;
    }
    return 0;
}

#undef CHECK
#undef FAIL

int scanner_finish(Scanner& s, int (*bad_line)(Scanner&, void*), void* ctx) noexcept
{
    ScanError error = ScanError::kNone;
    unsigned back = 0;
    switch (s.state) {
    case kFailed:
        return -1;
    case kSkipLine:
        return 0;
    case kNumber:
        if (s.num == kMinus || s.num == kDot || s.num == kExpE || s.num == kExpSign) {
            error = ScanError::kExpectDigit;
            break;
        }
        s.state = kAfterValue;
        [[fallthrough]];
    case kAfterValue:
        if (s.depth != 0) {
            error = ScanError::kExpectComma;
            break;
        }
        if (s.lines) {
            ++s.documents;
        }
        s.committed = s.out.len;
        s.state = kValue;
        return 0;
    case kValue:
        if (s.depth == 0 && s.lines) {
            s.committed = s.out.len;
            return 0;
        }
        error = ScanError::kExpectValue;
        break;
    case kValueOrClose:
    case kValueAfterComma:
        error = ScanError::kExpectValue;
        break;
    case kLiteral:
        error = ScanError::kExpectValue;
        back = s.lit_idx;
        break;
    case kKeyOrClose:
    case kKeyAfterComma:
        error = ScanError::kExpectKey;
        break;
    case kColon:
        error = ScanError::kExpectColon;
        break;
    case kString:
        error = ScanError::kUnterminated;
        break;
    }
    if (fail(s, error, nullptr, back, bad_line, ctx) < 0) {
        return -1;
    }
    s.state = kValue;
    return 0;
}

const char* json_error_message(ScanError error) noexcept
{
    static constexpr const char* kMessages[] = {
        "",
        "",
        "Expecting value",
        "Expecting property name enclosed in double quotes",
        "Expecting ':' delimiter",
        "Expecting ',' delimiter",
        "Illegal trailing comma before end of array",
        "Illegal trailing comma before end of object",
        "Extra data",
        "Unterminated string",
        "Invalid control character in string",
        "Invalid \\escape",
        "Invalid \\uXXXX escape",
        "Invalid UTF-8",
        "Leading zeros are not allowed",
        "Expecting digit",
        "Nesting deeper than 10000 levels",
    };
    return kMessages[static_cast<size_t>(error)];
}

}  // namespace zr

namespace zr {
bool scanner_stopped(const Scanner& s) noexcept
{
    return s.state == kFailed;
}
}  // namespace zr
