// Where input stops: the end of a chunk (what it settled is written), an
// error at its line and column (a bad line skipped, or the scan stopped),
// and the end of the input, which completes or refuses the last document.
#include "_redact/json/internal.h"

namespace zentrove::redact {
namespace {

// The 1-based column of p, in code points of its line.
uint64_t column(const Scanner& s, const char* p)
{
    if (s.pos.chunk == nullptr) {
        return 1 + s.pos.cols_before;
    }
    if (s.pos.line_start != nullptr) {
        return 1 + code_points(s.pos.line_start, p);
    }
    return 1 + s.pos.cols_before + code_points(s.pos.chunk, p);
}

}  // namespace

int end_chunk(Scanner& s, const char* data, size_t size)
{
    const char* const end = data + size;
    if (s.parse.state == kNumber && s.parse.num_masked) {
        s.parse.count += static_cast<uint64_t>(end - s.parse.num_from);
        if (s.cfg.mask == nullptr && write_stars(s) < 0) {
            s.err.kind = ScanError::kPython;
            return -1;
        }
    }
    if (s.parse.state == kString) {
        if (s.parse.str_kind == kMask && s.cfg.mask == nullptr && write_stars(s) < 0) {
            s.err.kind = ScanError::kPython;
            return -1;
        }
        if (s.parse.str_kind >= kKey && s.output.key_direct != nullptr) {
            if (append(s.output.key, s.output.key_direct,
                       static_cast<size_t>(end - s.output.key_direct)) < 0) {
                s.err.kind = ScanError::kPython;
                return -1;
            }
            s.output.key_direct = nullptr;
        }
    }
    if (flush(s, end) < 0) {
        s.err.kind = ScanError::kPython;
        return -1;
    }
    if (s.pos.line_start != nullptr) {
        s.pos.cols_before = code_points(s.pos.line_start, end);
    }
    else {
        s.pos.cols_before += code_points(data, end);
    }
    s.pos.line_start = nullptr;
    s.pos.chunk = nullptr;
    s.output.copy_from = nullptr;
    s.pos.base += size;
    if (!s.cfg.lines) {
        // A scanned string may still be rewritten: hold its body back.
        s.output.committed = s.parse.state == kString && s.parse.str_kind == kScan
                                 ? s.output.scan_mark
                                 : s.output.out.len;
    }
    return 0;
}

int scan_fail(Scanner& s, ScanError error, const char* p, unsigned back,
              int (*bad_line)(Scanner&, void*), void* ctx)
{
    s.err.kind = error;
    if (error == ScanError::kBadUtf8 && p != nullptr) {
        s.err.byte = static_cast<uint8_t>(*p);
    }
    s.err.line = s.pos.line;
    s.err.col = column(s, p) - back;
    if (!s.cfg.lines) {
        s.parse.state = kFailed;
        return -1;
    }
    s.output.out.len = s.output.committed;
    if (error != ScanError::kPython) {
        if (s.gil.released != nullptr) {
            PyEval_RestoreThread(s.gil.released);
        }
        if (bad_line(s, ctx) < 0) {
            s.err.kind = ScanError::kPython;
        }
        if (s.gil.released != nullptr) {
            s.gil.released = PyEval_SaveThread();
        }
    }
    if (!s.cfg.keep_going || s.err.kind == ScanError::kPython) {
        s.parse.state = kFailed;
        return -1;
    }
    reset_parse(s);
    s.parse.state = kSkipLine;
    s.output.copy_from = nullptr;
    return 0;
}

int scanner_finish(Scanner& s, int (*bad_line)(Scanner&, void*), void* ctx) noexcept
{
    ScanError error = ScanError::kNone;
    unsigned back = 0;
    switch (s.parse.state) {
    case kFailed: return -1;
    case kSkipLine: return 0;
    case kNumber:
        if (s.parse.num == kMinus || s.parse.num == kDot || s.parse.num == kExpE ||
            s.parse.num == kExpSign) {
            error = ScanError::kExpectDigit;
            break;
        }
        if (s.parse.num_masked && close_number(s) < 0) {
            s.err.kind = ScanError::kPython;
            return -1;
        }
        s.parse.state = kAfterValue;
        [[fallthrough]];
    case kAfterValue:
        if (s.parse.depth != 0) {
            error = ScanError::kExpectComma;
            break;
        }
        if (s.cfg.lines) {
            ++s.output.documents;
        }
        s.output.committed = s.output.out.len;
        s.parse.state = kValue;
        return 0;
    case kValue:
        if (s.parse.depth == 0 && s.cfg.lines) {
            s.output.committed = s.output.out.len;
            return 0;
        }
        error = ScanError::kExpectValue;
        break;
    case kValueOrClose:
    case kValueAfterComma: error = ScanError::kExpectValue; break;
    case kLiteral:
        error = ScanError::kExpectValue;
        back = s.parse.lit_idx;
        break;
    case kKeyOrClose:
    case kKeyAfterComma: error = ScanError::kExpectKey; break;
    case kColon: error = ScanError::kExpectColon; break;
    case kString: error = ScanError::kUnterminated; break;
    }
    if (scan_fail(s, error, nullptr, back, bad_line, ctx) < 0) {
        return -1;
    }
    s.parse.state = kValue;
    return 0;
}

}  // namespace zentrove::redact
