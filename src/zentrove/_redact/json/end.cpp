// Where input stops: the end of a chunk (what it settled is written), an
// error at its line and column (a bad line skipped, or the scan stopped),
// and the end of the input, which completes or refuses the last document.
#include "_redact/json/internal.h"

namespace zentrove::redact {
namespace {

// The 1-based column of p, in code points of its line.
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

}  // namespace

int end_chunk(Scanner& s, const char* data, size_t size)
{
    const char* const end = data + size;
    if (s.state == kNumber && s.num_masked) {
        s.count += static_cast<uint64_t>(end - s.num_from);
        if (s.mask == nullptr && write_stars(s) < 0) {
            s.error = ScanError::kPython;
            return -1;
        }
    }
    if (s.state == kString) {
        if (s.str_kind == kMask && s.mask == nullptr && write_stars(s) < 0) {
            s.error = ScanError::kPython;
            return -1;
        }
        if (s.str_kind >= kKey && s.key_direct != nullptr) {
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
        // A scanned string may still be rewritten: hold its body back.
        s.committed = s.state == kString && s.str_kind == kScan ? s.scan_mark : s.out.len;
    }
    return 0;
}

int scan_fail(Scanner& s, ScanError error, const char* p, unsigned back,
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
    if (error != ScanError::kPython) {
        if (s.released != nullptr) {
            PyEval_RestoreThread(s.released);
        }
        if (bad_line(s, ctx) < 0) {
            s.error = ScanError::kPython;
        }
        if (s.released != nullptr) {
            s.released = PyEval_SaveThread();
        }
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
        if (s.num_masked && close_number(s) < 0) {
            s.error = ScanError::kPython;
            return -1;
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
    if (scan_fail(s, error, nullptr, back, bad_line, ctx) < 0) {
        return -1;
    }
    s.state = kValue;
    return 0;
}

}  // namespace zentrove::redact
