// The slow path of a string body, byte by byte where it must be: escapes
// (decoded for keys, counted for masks), UTF-8 validated across chunk ends,
// surrogate pairs joined.  The scanner takes it when a string does not end
// in its chunk with plain text only.
#include "_redact/json/internal.h"

namespace zentrove::redact {
namespace {

// A lone high surrogate escape is one code point of its own.
[[nodiscard]] inline int settle_high(Scanner& s)
{
    if (s.parse.high == 0) {
        return 0;
    }
    uint32_t cp = s.parse.high;
    s.parse.high = 0;
    if (s.parse.str_kind == kMask) {
        ++s.parse.count;
    }
    else if (s.parse.str_kind >= kKey) {
        return append_code_point(s.output.key, cp);
    }
    return 0;
}

// One decoded code point of a string (from an escape).
[[nodiscard]] inline int take_code_point(Scanner& s, uint32_t cp)
{
    if (s.parse.str_kind == kMask) {
        ++s.parse.count;
    }
    else if (s.parse.str_kind >= kKey) {
        return append_code_point(s.output.key, cp);
    }
    return 0;
}

// In JSON Lines a line end inside a string, even in an escape or a UTF-8
// sequence, cuts the string as the end of a document does: one message for
// the line and for the same text given as a document.
[[nodiscard]] inline bool cut_by_line_end(const Scanner& s, uint8_t c) noexcept
{
    return c == '\n' && s.cfg.lines;
}

#define TRY(call)                                                   \
    do {                                                            \
        if ((call) < 0) {                                           \
            return step_failed(error, back, ScanError::kPython, 0); \
        }                                                           \
    } while (0)

}  // namespace

Step scan_string(Scanner& s, const char*& p, const char* end, ScanError& error,
                 unsigned& back) noexcept
{
    uint8_t c;
    while (p < end) {
        c = static_cast<uint8_t>(*p);
        if (s.parse.utf8_need != 0) {
            if (c < s.parse.utf8_lo || c > s.parse.utf8_hi) {
                return step_failed(
                    error, back,
                    cut_by_line_end(s, c) ? ScanError::kUnterminated : ScanError::kBadUtf8, 0);
            }
            s.parse.utf8_lo = 0x80;
            s.parse.utf8_hi = 0xBF;
            --s.parse.utf8_need;
            if (s.parse.str_kind >= kKey && s.output.key_direct == nullptr) {
                TRY(append(s.output.key, p, 1));
            }
            ++p;
            continue;
        }
        if (s.parse.esc == 1) {
            uint32_t cp;
            switch (c) {
            case '"':
            case '\\':
            case '/': cp = c; break;
            case 'b': cp = '\b'; break;
            case 'f': cp = '\f'; break;
            case 'n': cp = '\n'; break;
            case 'r': cp = '\r'; break;
            case 't': cp = '\t'; break;
            case 'u':
                s.parse.esc = 2;
                s.parse.hex = 0;
                ++p;
                continue;
            default:
                if (cut_by_line_end(s, c)) {
                    return step_failed(error, back, ScanError::kUnterminated, 0);
                }
                return step_failed(error, back, ScanError::kEscape, 1);
            }
            s.parse.esc = 0;
            TRY(settle_high(s));
            TRY(take_code_point(s, cp));
            ++p;
            continue;
        }
        if (s.parse.esc != 0) {
            int v = hex_value(c);
            if (v < 0) {
                if (cut_by_line_end(s, c)) {
                    return step_failed(error, back, ScanError::kUnterminated, 0);
                }
                return step_failed(error, back, ScanError::kUnicodeEscape, s.parse.esc);
            }
            s.parse.hex = s.parse.hex * 16 + static_cast<uint32_t>(v);
            ++p;
            if (++s.parse.esc < 6) {
                continue;
            }
            s.parse.esc = 0;
            uint32_t cp = s.parse.hex;
            if (s.parse.high != 0 && cp >= 0xDC00 && cp <= 0xDFFF) {
                cp = 0x10000 + ((s.parse.high - 0xD800) << 10) + (cp - 0xDC00);
                s.parse.high = 0;
            }
            else {
                TRY(settle_high(s));
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    s.parse.high = cp;
                    continue;
                }
            }
            TRY(take_code_point(s, cp));
            continue;
        }
        // Plain text: a run of ASCII up to the next byte of interest.
        const char* q = find_special(p, end);
        if (q != p) {
            TRY(settle_high(s));
            if (s.parse.str_kind == kMask) {
                s.parse.count += static_cast<uint64_t>(q - p);
            }
            else if (s.parse.str_kind >= kKey && s.output.key_direct == nullptr) {
                TRY(append(s.output.key, p, static_cast<size_t>(q - p)));
            }
            p = q;
            if (p == end) {
                return Step::kMore;
            }
            c = static_cast<uint8_t>(*p);
        }
        if (c == '"') {
            TRY(settle_high(s));
            TRY(close_string(s, p));
            ++p;
            return Step::kClosed;
        }
        if (c == '\\') {
            if (s.parse.str_kind >= kKey && s.output.key_direct != nullptr) {
                TRY(append(s.output.key, s.output.key_direct,
                           static_cast<size_t>(p - s.output.key_direct)));
                s.output.key_direct = nullptr;
            }
            s.parse.esc = 1;
            ++p;
            continue;
        }
        if (c < 0x20) {
            return step_failed(
                error, back,
                cut_by_line_end(s, c) ? ScanError::kUnterminated : ScanError::kControl, 0);
        }
        // The lead byte of a multi-byte sequence: one code point.
        if (c >= 0xC2 && c <= 0xDF) {
            s.parse.utf8_need = 1;
            s.parse.utf8_lo = 0x80;
            s.parse.utf8_hi = 0xBF;
        }
        else if (c >= 0xE0 && c <= 0xEF) {
            s.parse.utf8_need = 2;
            s.parse.utf8_lo = c == 0xE0 ? 0xA0 : 0x80;
            // 0xED 0xA0..0xBF would be a surrogate: only from a str.
            s.parse.utf8_hi = c == 0xED && !s.cfg.surrogates ? 0x9F : 0xBF;
        }
        else if (c >= 0xF0 && c <= 0xF4) {
            s.parse.utf8_need = 3;
            s.parse.utf8_lo = c == 0xF0 ? 0x90 : 0x80;
            s.parse.utf8_hi = c == 0xF4 ? 0x8F : 0xBF;
        }
        else {
            return step_failed(error, back, ScanError::kBadUtf8, 0);
        }
        TRY(settle_high(s));
        if (s.parse.str_kind == kMask) {
            ++s.parse.count;
        }
        else if (s.parse.str_kind >= kKey && s.output.key_direct == nullptr) {
            TRY(append(s.output.key, p, 1));
        }
        ++p;
    }
    return Step::kMore;
}

#undef TRY

}  // namespace zentrove::redact
