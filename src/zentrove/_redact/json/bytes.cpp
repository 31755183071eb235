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

int json_encode_body(PyObject* text, ByteBuf& out)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        char esc[8];
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = static_cast<char>(c);
            if (append(out, esc, 2) < 0) {
                return -1;
            }
        }
        else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
            static constexpr char kHex[] = "0123456789abcdef";
            const char u[6] = {'\\',
                               'u',
                               kHex[(c >> 12) & 0xF],
                               kHex[(c >> 8) & 0xF],
                               kHex[(c >> 4) & 0xF],
                               kHex[c & 0xF]};
            if (append(out, u, 6) < 0) {
                return -1;
            }
        }
        else if (append_code_point(out, c) < 0) {
            return -1;
        }
    }
    return 0;
}

int detect_kept(Scanner& s, const char* text, size_t n, const char* q)
{
    if (s.gil.released != nullptr) {
        PyEval_RestoreThread(s.gil.released);
    }
    int rc = 0;
    // A lone surrogate came from an escape as three bytes: keep it one.
    Ref str = Ref::steal(
        PyUnicode_DecodeUTF8(n != 0 ? text : "", static_cast<Py_ssize_t>(n), "surrogatepass"));
    // Directly in an object, the value has the key just judged.
    const bool keyed = s.parse.depth > 0 && s.parse.stack[s.parse.depth - 1] == kObject;
    const ByteBuf& key = s.output.value_key;
    const char* key_text = keyed ? (key.len != 0 ? key.data : "") : nullptr;
    const auto key_size = keyed ? static_cast<Py_ssize_t>(key.len) : 0;
    Ref masked =
        str ? Ref::steal(scan_value(*s.cfg.rules, str.get(), key_text, key_size, nullptr)) : Ref();
    if (!masked) {
        rc = -1;
    }
    else if (masked.get() != str.get()) {
        s.output.out.len = s.output.scan_mark;
        s.output.copy_from = q;
        rc = json_encode_body(masked.get(), s.output.out);
    }
    masked = Ref();
    str = Ref();
    if (s.gil.released != nullptr) {
        s.gil.released = PyEval_SaveThread();
    }
    return rc;
}

bool scanner_stopped(const Scanner& s) noexcept
{
    return s.parse.state == kFailed;
}

}  // namespace zentrove::redact
