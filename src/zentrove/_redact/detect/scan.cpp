// One scan's state shared by both entries (the str entry of detect/str.cpp,
// the bytes entry here): its spans, the verdicts and runs it remembers, and
// a value joined to its key.  The JSON text path scans without the GIL, so
// what needs Python here takes it back for the moment.
#include "_redact/detect/detect.h"

#include <cstring>

#include "_redact/rules.h"

namespace zentrove::redact::detect {
int KeyedValue::join_key(const char* key, Py_ssize_t key_size, PyThreadState** released)
{
    // With its key the value is scanned as `key=value`, so that it is
    // judged as that text is; the spans in the key are not the value's.
    const size_t joined_size = static_cast<size_t>(key_size + 1 + size);
    unsigned char* joined = small_;
    if (joined_size > sizeof small_) {
        PyMem_RawFree(heap_);
        heap_ = static_cast<unsigned char*>(PyMem_RawMalloc(joined_size));
        if (heap_ == nullptr) {
            WithGil gil(released);
            PyErr_NoMemory();
            return -1;
        }
        joined = heap_;
    }
    std::memcpy(joined, key, static_cast<size_t>(key_size));
    joined[key_size] = '=';
    std::memcpy(joined + key_size + 1, data, static_cast<size_t>(size));
    data = joined;
    size = static_cast<Py_ssize_t>(joined_size);
    offset = key_size + 1;
    return 0;
}

int Scan::key_sensitive(Py_ssize_t at, Py_ssize_t n)
{
    // The key's first and last eight bytes (zero-padded when shorter), read
    // as two words: a hash of them picks the set, and they compare a key in
    // two steps where a byte loop would take its length.
    const unsigned char* key = text.data + at;
    uint64_t head = 0;
    uint64_t tail = 0;
    if (n >= 8) {
        std::memcpy(&head, key, 8);
        std::memcpy(&tail, key + n - 8, 8);
    }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    else if (size - at >= 8) {
        std::memcpy(&head, key, 8);  // the bytes past the key are masked off
        head &= n == 0 ? 0 : ~uint64_t{0} >> (64 - 8 * n);
    }
#endif
    else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            head |= uint64_t{key[i]} << (8 * i);
        }
    }
    const uint64_t mixed =
        (head * 0x9E3779B97F4A7C15u) ^ (tail * 0xC2B2AE3D27D4EB4Fu) ^ static_cast<uint64_t>(n);
    // Two slots a key may take, so that two keys of a log that share one
    // do not push each other out line after line.
    const size_t set = static_cast<size_t>(mixed >> 59) % (kVerdicts / 2);
    // The rules read the key once more, and a remembered key is compared.
    examined(n);
    for (size_t way = 0; way < 2; ++way) {
        const Verdict& slot = verdicts_[2 * set + way];
        if ((filled_ >> (2 * set + way) & 1) && slot.size == n && slot.head == head &&
            slot.tail == tail &&
            (n <= 16 ||
             std::memcmp(text.data + slot.at + 8, key + 8, static_cast<size_t>(n - 16)) == 0)) {
            older_ = (older_ & ~(uint32_t{1} << set)) | uint32_t{way == 0} << set;
            return slot.sensitive;
        }
    }
    // A value's own key, joined before it, is one the rules keep; its
    // dotted path is still judged, which reads the key once more.
    examined(n);
    int sensitive;
    {
        WithGil gil(judging_needs_python(n) ? released_ : nullptr);
        sensitive = text_key_sensitive(*rules, reinterpret_cast<const char*>(text + at), n,
                                       at == 0 && n == value_from - 1);
    }
    if (sensitive == 0 && !rules->allow) {
        const SecretWord word = secret_word_key(text + at, n);
        sensitive = word == SecretWord::kPassword ? kPasswordWordKey
                    : word == SecretWord::kOther  ? kWordKey
                                                  : kKeptKey;
    }
    if (sensitive >= 0) {
        // Into a free slot of the two, else over the one used longer ago.
        const size_t way = !(filled_ >> (2 * set) & 1)       ? 0
                           : !(filled_ >> (2 * set + 1) & 1) ? 1
                                                             : older_ >> set & 1;
        verdicts_[2 * set + way] = Verdict{at, n, head, tail, sensitive};
        filled_ |= uint64_t{1} << (2 * set + way);
        older_ = (older_ & ~(uint32_t{1} << set)) | uint32_t{way == 0} << set;
    }
    return sensitive;
}

Py_ssize_t Scan::long_run_end(Py_ssize_t at, Py_ssize_t from, uint8_t cls) const noexcept
{
    const int row = run_row(cls);
    if (row >= 0 && (run_rows_ >> row & 1)) {
        // A run is maximal, so one that holds `at` ends where the run from `at` does.
        for (const RunMemo& memo : runs_[row]) {
            if (memo.begin <= at && at < memo.end) {
                return memo.end;
            }
        }
    }
    Py_ssize_t end = from;
    while (end < size && is(text[end], cls)) {
        ++end;
    }
    if (row >= 0) {
        if (!(run_rows_ >> row & 1)) {
            runs_[row][1] = RunMemo{};
            run_rows_ |= static_cast<uint8_t>(1u << row);
        }
        runs_[row][run_older_[row]] = RunMemo{at, end};
        run_older_[row] ^= 1;
    }
    return end;
}

int Scan::add(Py_ssize_t begin, Py_ssize_t end, int detector)
{
    // An empty or reversed span masks nothing: a matcher that computed one
    // must not turn it into a write outside the text.
    if (end <= begin || begin < 0 || end > size) {
        return 0;
    }
    // Spans wholly after the new one stay after it; those that overlap it
    // are absorbed, the earliest one naming the detector.
    if (end > value_from) {
        fired |= uint32_t{1} << detector;
    }
    Py_ssize_t after = count_;
    while (after > 0 && spans_[after - 1].begin >= end) {
        --after;
    }
    Py_ssize_t first = after;
    while (first > 0 && spans_[first - 1].end > begin) {
        const Span& old = spans_[--first];
        if (old.begin <= begin) {
            begin = old.begin;
            detector = old.detector;
        }
        end = old.end > end ? old.end : end;
    }
    if (first == after && count_ == capacity_) {
        // The raw domain: the scan may run without the GIL.
        size_t bytes = sizeof(Span) * static_cast<size_t>(capacity_) * 2;
        auto* grown = static_cast<Span*>(
            spans_ == inline_spans_ ? PyMem_RawMalloc(bytes) : PyMem_RawRealloc(spans_, bytes));
        if (grown == nullptr) {
            WithGil gil(released_);
            PyErr_NoMemory();
            return -1;
        }
        if (spans_ == inline_spans_) {
            std::memcpy(grown, inline_spans_, sizeof(inline_spans_));
        }
        spans_ = grown;
        capacity_ *= 2;
    }
    std::memmove(spans_ + first + 1, spans_ + after,
                 sizeof(Span) * static_cast<size_t>(count_ - after));
    count_ += first + 1 - after;
    spans_[first] = Span{begin, end, detector};
    return 0;
}

}  // namespace zentrove::redact::detect

namespace zentrove::redact {

int scan_utf8(const Rules& rules, const char* value, Py_ssize_t size, const char* key,
              Py_ssize_t key_size, PyThreadState** released, MaskSpan mask, void* ctx)
{
    if (rules.detectors == 0 || size == 0) {
        return 0;
    }
    detect::KeyedValue keyed;
    if (keyed.join(reinterpret_cast<const unsigned char*>(value), size, key, key_size, released) <
        0) {
        return -1;
    }
    detect::Scan scan(keyed.data, keyed.size, &rules, rules.detectors, keyed.offset, released);
    if (detect::run_scan(scan, rules.detectors) < 0) {
        return -1;
    }
    for (Py_ssize_t i = keyed.first(scan); i < scan.count(); ++i) {
        const detect::Span span = keyed.cut(scan.spans()[i]);
        if (mask(ctx, span.begin, span.end) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace zentrove::redact
