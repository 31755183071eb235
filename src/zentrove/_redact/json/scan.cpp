// The JSON text scanner's state machine.  Design: every state is explicit
// (no recursion, no lookahead beyond the current byte), so a chunk may end
// anywhere; input is copied out lazily in runs (copy_from), and only the
// bodies of masked strings are left out and replaced.  String bodies are
// searched 16 bytes at a time for the bytes that need attention.  Here: the
// structure (feed_chunk), numbers and literals; string bodies' slow path is
// json/string.cpp; the end of a chunk, errors and the end of input,
// json/end.cpp.
#include "_redact/json/internal.h"

namespace zentrove::redact {
namespace {

// JSON Lines: the line ends at the newline p.
[[nodiscard]] int end_line(Scanner& s, const char* p)
{
    if (flush(s, p + 1) < 0) {
        return -1;
    }
    s.output.committed = s.output.out.len;
    ++s.pos.line;
    s.pos.line_start = p + 1;
    return 0;
}

// What the scanner does after the structure's byte at p (past whitespace,
// outside strings, numbers and literals): go on with whitespace, a string
// body, a number or a literal; or stop at p with `error`.
enum class Next : uint8_t { kWhitespace, kString, kNumber, kLiteral, kFailed };

[[gnu::cold]] inline Next structure_failed(ScanError& error, ScanError kind) noexcept
{
    error = kind;
    return Next::kFailed;
}

// The byte at p of the structure: a colon, a comma or closing bracket after
// a value, a key or closing brace, or the first byte of a value.
[[nodiscard, gnu::always_inline]] inline Next structure_byte(Scanner& s, const char*& p,
                                                             ScanError& error)
{
    const uint8_t c = static_cast<uint8_t>(*p);
    if (s.parse.state == kColon) {
        if (c != ':') {
            return structure_failed(error, ScanError::kExpectColon);
        }
        s.parse.state = kValue;
        ++p;
        return Next::kWhitespace;
    }
    if (s.parse.state == kAfterValue) {
        if (s.parse.depth == 0) {
            if (c != '\n') {
                return structure_failed(error, ScanError::kExtraData);
            }
            ++s.output.documents;
            if (end_line(s, p) < 0) {
                return structure_failed(error, ScanError::kPython);
            }
            s.parse.state = kValue;
            ++p;
            return Next::kWhitespace;
        }
        uint8_t top = s.parse.stack[s.parse.depth - 1];
        if (c == ',') {
            s.parse.state = top == kObject ? kKeyAfterComma : kValueAfterComma;
        }
        else if (c == (top == kObject ? '}' : ']')) {
            --s.parse.depth;
        }
        else {
            return structure_failed(error, ScanError::kExpectComma);
        }
        ++p;
        return Next::kWhitespace;
    }
    if (s.parse.state == kKeyOrClose || s.parse.state == kKeyAfterComma) {
        if (c == '"') {
            s.parse.state = kString;
            s.parse.str_kind = kKey;
            s.output.key.len = 0;
            s.output.key_direct = ++p;
            return Next::kString;
        }
        else if (c == '}') {
            if (s.parse.state == kKeyAfterComma) {
                return structure_failed(error, ScanError::kTrailingCommaObject);
            }
            --s.parse.depth;
            s.parse.state = kAfterValue;
            ++p;
            return Next::kWhitespace;
        }
        return structure_failed(error, ScanError::kExpectKey);
    }
    // A value.
    switch (c) {
    case '"':
        s.parse.state = kString;
        if (open_value(s, p, value_masked(s)) < 0) {
            return structure_failed(error, ScanError::kPython);
        }
        ++p;
        return Next::kString;
    case '{':
    case '[':
        if (s.parse.depth == kMaxDepth) {
            return structure_failed(error, ScanError::kTooDeep);
        }
        s.parse.stack[s.parse.depth] = c == '{'          ? kObject
                                       : value_masked(s) ? kArrayMasked
                                                         : kArray;
        ++s.parse.depth;
        s.parse.state = c == '{' ? kKeyOrClose : kValueOrClose;
        ++p;
        return Next::kWhitespace;
    case ']':
        if (s.parse.state == kValueAfterComma) {
            return structure_failed(error, ScanError::kTrailingCommaArray);
        }
        if (s.parse.state != kValueOrClose) {
            return structure_failed(error, ScanError::kExpectValue);
        }
        --s.parse.depth;
        s.parse.state = kAfterValue;
        ++p;
        return Next::kWhitespace;
    case '-':
        if (s.cfg.scalars && value_masked(s)) {
            if (open_number(s, p) < 0) {
                return structure_failed(error, ScanError::kPython);
            }
        }
        s.parse.state = kNumber;
        s.parse.num = kMinus;
        ++p;
        return Next::kNumber;
    case 't':
    case 'f':
    case 'n':
        s.parse.state = kLiteral;
        s.parse.lit = c == 't' ? "true" : c == 'f' ? "false" : "null";
        s.parse.lit_idx = 1;
        ++p;
        return Next::kLiteral;
    case '\n':
        if (s.parse.state == kValue && s.parse.depth == 0) {
            // A blank line of JSON Lines, copied through.
            if (end_line(s, p) < 0) {
                return structure_failed(error, ScanError::kPython);
            }
            ++p;
            return Next::kWhitespace;
        }
        return structure_failed(error, ScanError::kExpectValue);
    default:
        if (is_digit(c)) {
            if (s.cfg.scalars && value_masked(s)) {
                if (open_number(s, p) < 0) {
                    return structure_failed(error, ScanError::kPython);
                }
            }
            s.parse.state = kNumber;
            s.parse.num = c == '0' ? kZero : kInt;
            ++p;
            return Next::kNumber;
        }
        return structure_failed(error, ScanError::kExpectValue);
    }
}

// In a number (after its first byte): kMore when the chunk ends inside it,
// kClosed at the byte after it (state kAfterValue; a masked one has its
// mask written), kFailed with p at the error and `back` bytes before it.
[[nodiscard]] Step scan_number(Scanner& s, const char*& p, const char* end, ScanError& error,
                               unsigned& back) noexcept
{
    while (p < end) {
        uint8_t c = static_cast<uint8_t>(*p);
        switch (s.parse.num) {
        case kMinus:
            if (!is_digit(c)) {
                return step_failed(error, back, ScanError::kExpectDigit, 0);
            }
            s.parse.num = c == '0' ? kZero : kInt;
            ++p;
            continue;
        case kZero:
            if (is_digit(c)) {
                return step_failed(error, back, ScanError::kLeadingZero, 1);
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
                return step_failed(error, back, ScanError::kExpectDigit, 0);
            }
            s.parse.num = s.parse.num == kDot ? kFrac : kExp;
            ++p;
            continue;
        case kExpE:
            if (c == '+' || c == '-') {
                s.parse.num = kExpSign;
            }
            else if (is_digit(c)) {
                s.parse.num = kExp;
            }
            else {
                return step_failed(error, back, ScanError::kExpectDigit, 0);
            }
            ++p;
            continue;
        }
        // An accepting state at byte c.
        if (c == '.' && (s.parse.num == kZero || s.parse.num == kInt)) {
            s.parse.num = kDot;
            ++p;
        }
        else if ((c | 0x20) == 'e' && s.parse.num != kExp) {
            s.parse.num = kExpE;
            ++p;
        }
        else {
            if (s.parse.num_masked) {
                s.parse.count += static_cast<uint64_t>(p - s.parse.num_from);
                if (close_number(s) < 0) {
                    return step_failed(error, back, ScanError::kPython, 0);
                }
                s.output.copy_from = p;
            }
            s.parse.state = kAfterValue;
            return Step::kClosed;
        }
    }
    return Step::kMore;
}

// In true, false or null: false at a byte that does not continue it (p
// there, s.parse.lit_idx bytes of it before); true otherwise, with state
// kAfterValue once it is complete.
[[nodiscard]] inline bool scan_literal(Scanner& s, const char*& p, const char* end) noexcept
{
    while (p < end && s.parse.lit[s.parse.lit_idx] != '\0') {
        if (*p != s.parse.lit[s.parse.lit_idx]) {
            return false;
        }
        ++p;
        ++s.parse.lit_idx;
    }
    if (s.parse.lit[s.parse.lit_idx] == '\0') {
        s.parse.state = kAfterValue;
    }
    return true;
}

}  // namespace

#define FAIL(kind, at, back)                                         \
    do {                                                             \
        if (scan_fail(s, (kind), (at), (back), bad_line, ctx) < 0) { \
            return -1;                                               \
        }                                                            \
        p = (at);                                                    \
        goto next;                                                   \
    } while (0)
#define CHECK(call)                         \
    do {                                    \
        if ((call) < 0) {                   \
            FAIL(ScanError::kPython, p, 0); \
        }                                   \
    } while (0)

namespace {

int feed_chunk(Scanner& s, const char* data, size_t size, int (*bad_line)(Scanner&, void*),
               void* ctx)
{
    if (s.parse.state == kFailed) {
        return -1;
    }
    const char* p = data;
    const char* const end = data + size;
    s.pos.chunk = data;
    s.pos.line_start = nullptr;
    s.output.copy_from = (s.parse.state == kString && s.parse.str_kind == kMask) ||
                                 s.parse.state == kSkipLine ||
                                 (s.parse.state == kNumber && s.parse.num_masked)
                             ? nullptr
                             : data;
    s.parse.num_from = data;
    if (reserve(s.output.out, size) < 0) {
        s.err.kind = ScanError::kPython;
        return -1;
    }
    // Where a sub-scanner stopped, and why.
    ScanError error = ScanError::kNone;
    unsigned back = 0;
    Next next;
    Step step;
    while (p < end) {
        uint8_t c;
        switch (s.parse.state) {
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
                if (c == '\n' && !s.cfg.lines) {
                    ++s.pos.line;
                    s.pos.line_start = p + 1;
                    continue;
                }
                break;
            }
            if (p == end) {
                break;
            }
            next = structure_byte(s, p, error);
            if (next == Next::kWhitespace) {
                goto whitespace;
            }
            if (next == Next::kString) {
                goto string_start;
            }
            if (next == Next::kNumber) {
                goto number;
            }
            if (next == Next::kLiteral) {
                goto literal;
            }
            FAIL(error, p, 0);

        case kNumber:
        number:
            step = scan_number(s, p, end, error, back);
            goto stepped;

        case kLiteral:
        literal:
            if (!scan_literal(s, p, end)) {
                FAIL(ScanError::kExpectValue, p, s.parse.lit_idx);
            }
            if (s.parse.state == kAfterValue) {
                goto whitespace;
            }
            break;

        case kSkipLine: {
            const char* nl =
                static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (nl == nullptr) {
                p = end;
                break;
            }
            ++s.pos.line;
            p = s.pos.line_start = s.output.copy_from = nl + 1;
            s.parse.state = kValue;
            break;
        }

        case kString:
            goto string;
        string_start:
            {
                // Most strings hold no escape and end in this chunk: settle
                // them in one search.  Otherwise go through the byte loop.
                const char* q = find_special(p, end);
                if (q == end || *q != '"') {
                    goto string;
                }
                if (s.parse.str_kind >= kKey) {
                    s.output.key_direct = p;
                }
                else if (s.parse.str_kind == kMask) {
                    s.parse.count = static_cast<uint64_t>(q - p);
                }
                CHECK(close_string(s, q));
                p = q + 1;
                // The common shapes `"key": "value"` and `"value", "key"` go
                // straight on to the next string; anything else takes the
                // general path.
                if (s.parse.state == kColon) {
                    if (p == end || *p != ':') {
                        goto whitespace;
                    }
                    s.parse.state = kValue;
                    p += p + 1 < end && p[1] == ' ' ? 2 : 1;
                    if (p == end || *p != '"') {
                        goto whitespace;
                    }
                    s.parse.state = kString;
                    CHECK(open_value(s, p, s.parse.key_sensitive));
                    ++p;
                    goto string_start;
                }
                if (p == end || *p != ',' || s.parse.depth == 0 ||
                    s.parse.stack[s.parse.depth - 1] != kObject) {
                    goto whitespace;
                }
                s.parse.state = kKeyAfterComma;
                p += p + 1 < end && p[1] == ' ' ? 2 : 1;
                if (p == end || *p != '"') {
                    goto whitespace;
                }
                s.parse.state = kString;
                s.parse.str_kind = kKey;
                s.output.key.len = 0;
                s.output.key_direct = ++p;
                goto string_start;
            }
        string:
            step = scan_string(s, p, end, error, back);
        stepped:
            // A number or a string body ended, failed, or goes on into the
            // next chunk.
            if (step == Step::kClosed) {
                goto whitespace;
            }
            if (step == Step::kFailed) {
                FAIL(error, p, back);
            }
            break;

        case kFailed: return -1;
        }
    next:;
    }
    return end_chunk(s, data, size);
}

}  // namespace

// A chunk this large is scanned with the GIL released: other threads run
// meanwhile, and taking the GIL back costs nothing next to the scan.
constexpr size_t kReleaseAt = 64 * 1024;

int scanner_feed(Scanner& s, const char* data, size_t size, int (*bad_line)(Scanner&, void*),
                 void* ctx) noexcept
{
    if (size < kReleaseAt) {
        return feed_chunk(s, data, size, bad_line, ctx);
    }
    s.gil.released = PyEval_SaveThread();
    int rc = feed_chunk(s, data, size, bad_line, ctx);
    PyEval_RestoreThread(s.gil.released);
    s.gil.released = nullptr;
    return rc;
}

#undef CHECK
#undef FAIL

}  // namespace zentrove::redact
