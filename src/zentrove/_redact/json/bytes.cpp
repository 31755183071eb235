// Buffers, positions and messages of the JSON text scanner, and setting a
// scanner up: everything off its hot loop.
#include "_redact/json/internal.h"
#include "_redact/rules.h"

#include "_common/utf8.h"

namespace zentrove::redact {

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
    // The raw domain: the scan may run with the GIL released.  A failure
    // sets no exception here (that needs the GIL); the caller's error
    // surfaces as MemoryError.
    char* data = static_cast<char*>(PyMem_RawRealloc(b.data, cap));
    if (data == nullptr) {
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
    char u[kMaxUtf8Bytes];
    return append(b, u, static_cast<size_t>(put_utf8(u, cp) - u));
}

void scanner_init(Scanner& s, const Rules& rules, bool lines, bool keep_going, bool surrogates,
                  const char* mask, size_t mask_len) noexcept
{
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    s.cfg = ScanConfig{
        .rules = &rules,
        .lines = lines,
        .keep_going = keep_going,
        .surrogates = surrogates,
        .scalars = rules.scalars,
        .detect = rules.detectors != 0,
        .mask = mask,
        .mask_len = mask_len,
    };
    s.parse.keyless = keyless_sensitive(rules);
    s.pos.line = 1;
    for (KeyCache::Slot& slot : s.caches.keys.slots) {
        slot.len = 0xff;
    }
    reset_parse(s);
}

// Only the output owns memory: its three buffers.
void scanner_free(Scanner& s) noexcept
{
    ByteBuf* const owned[] = {&s.output.out, &s.output.key, &s.output.value_key};
    for (ByteBuf* b : owned) {
        PyMem_RawFree(b->data);
        *b = ByteBuf{};
    }
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

namespace {

// The first byte at or after p that a string body does not copy as it is:
// '"', '\', a control character, or 0xED, which may lead a surrogate.
inline const unsigned char* find_escaped(const unsigned char* p, const unsigned char* end)
{
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x1F);
    const __m128i ed = _mm_set1_epi8(static_cast<char>(0xED));
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v);
        __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
                         _mm_or_si128(control, _mm_cmpeq_epi8(v, ed)));
        if (int bits = _mm_movemask_epi8(hit)) {
            return p + __builtin_ctz(static_cast<unsigned>(bits));
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (*p == '"' || *p == '\\' || *p < 0x20 || *p == 0xED) {
            break;
        }
    }
    return p;
}

}  // namespace

int json_encode_body(const char* text, size_t n, ByteBuf& out)
{
    // Written in blocks with room made once: an escape takes at most six
    // bytes for one, and a block's last code point may run three past it.
    constexpr size_t kBlock = 4096;
    constexpr size_t kMaxGrowth = 6;
    static constexpr char kHex[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* const end = p + n;
    while (p < end) {
        const unsigned char* stop = end - p < static_cast<ptrdiff_t>(kBlock) ? end : p + kBlock;
        if (reserve(out, static_cast<size_t>(stop - p + 3) * kMaxGrowth) < 0) {
            return -1;
        }
        char* o = out.data + out.len;
        while (p < stop) {
            const unsigned char* q = find_escaped(p, stop);
            std::memcpy(o, p, static_cast<size_t>(q - p));
            o += q - p;
            p = q;
            if (p == stop) {
                break;
            }
            const unsigned char c = *p;
            if (c == '"' || c == '\\') {
                o[0] = '\\';
                o[1] = static_cast<char>(c);
                o += 2;
                ++p;
                continue;
            }
            // 0xED leads U+D000 to U+DFFF: from 0xA0 on, a surrogate.
            if (c == 0xED && p[1] < 0xA0) {
                std::memcpy(o, p, 3);
                o += 3;
                p += 3;
                continue;
            }
            // A control character, or a lone surrogate's three bytes: \uXXXX.
            uint32_t cp = c;
            ++p;
            if (c == 0xED) {
                cp = 0xD000 | ((p[0] & 0x3Fu) << 6) | (p[1] & 0x3Fu);
                p += 2;
            }
            o[0] = '\\';
            o[1] = 'u';
            o[2] = kHex[cp >> 12];
            o[3] = kHex[(cp >> 8) & 0xF];
            o[4] = kHex[(cp >> 4) & 0xF];
            o[5] = kHex[cp & 0xF];
            o += 6;
        }
        out.len = static_cast<size_t>(o - out.data);
    }
    return 0;
}

namespace {

// A kept string's body written anew around the detectors' masks, as the
// str entry's masked copy of it would be encoded: the text between masks by
// the encoder (escapes as written are not kept), each span as the fixed
// mask or one '*' per code point.
struct Rewrite {
    Scanner& s;
    const char* text;    // the decoded body
    Py_ssize_t written;  // bytes of text written so far; -1 before the first mask
};

int rewrite_span(void* ctx, Py_ssize_t begin, Py_ssize_t end)
{
    Rewrite& w = *static_cast<Rewrite*>(ctx);
    ByteBuf& out = w.s.output.out;
    if (w.written < 0) {
        out.len = w.s.output.scan_mark;
        w.written = 0;
    }
    if (json_encode_body(w.text + w.written, static_cast<size_t>(begin - w.written), out) < 0 ||
        (w.s.cfg.mask != nullptr
             ? append(out, w.s.cfg.mask, w.s.cfg.mask_len)
             : append_stars(out, code_points(w.text + begin, w.text + end))) < 0) {
        return -1;
    }
    w.written = end;
    return 0;
}

}  // namespace

int detect_kept(Scanner& s, const char* text, size_t n, const char* q)
{
    // Directly in an object, the value has the key just judged.
    const bool keyed = s.parse.depth > 0 && s.parse.stack[s.parse.depth - 1] == kObject;
    const ByteBuf& key = s.output.value_key;
    const char* key_text = keyed ? (key.len != 0 ? key.data : "") : nullptr;
    const auto key_size = keyed ? static_cast<Py_ssize_t>(key.len) : 0;
    Rewrite w{s, text, -1};
    if (scan_utf8(*s.cfg.rules, text, static_cast<Py_ssize_t>(n), key_text, key_size,
                  &s.gil.released, rewrite_span, &w) < 0) {
        return -1;
    }
    if (w.written < 0) {
        return 0;  // nothing masked: the body stays as written
    }
    s.output.copy_from = q;
    return json_encode_body(text + w.written, n - static_cast<size_t>(w.written), s.output.out);
}

bool scanner_stopped(const Scanner& s) noexcept
{
    return s.parse.state == kFailed;
}

}  // namespace zentrove::redact
