// The token families: one matcher for every row of detect/families.h, which
// reports the row's own detector (tokens, github, slack, stripe, google).  It
// is tried where a word starts with a row's first two bytes; the rows that
// share them are verified in table order.
#include "_redact/detect/families.h"

#include <initializer_list>
#include <utility>

namespace zentrove::redact::detect {
namespace {

// Per-byte checks read a part once: a part whose class holds no separator
// has no word start inside it, so no later candidate reads it again.
constexpr bool checks_bounded()
{
    for (const Family& f : kFamilies) {
        for (const Part& p : {f.body, f.second, f.third}) {
            if (p.only != Only::any && p.cls != kAlnum) {
                return false;
            }
        }
        if (f.check != Check::none && f.body.cls != kAlnum) {
            return false;
        }
        if (f.prefix.size() < 2 || f.keep > f.prefix.size() || f.ends.size() > f.body.min ||
            f.mark_at + f.mark.size() > f.body.min || run_row(f.body.cls) < 0 ||
            (f.sep != 0 && run_row(f.second.cls) < 0) ||
            (f.sep2 != 0 && (f.sep == 0 || run_row(f.third.cls) < 0))) {
            return false;
        }
    }
    return true;
}
static_assert(checks_bounded());

[[nodiscard]] bool only_ok(const Scan& scan, Py_ssize_t at, Py_ssize_t n, Only only) noexcept
{
    if (only == Only::any) {
        return true;
    }
    for (Py_ssize_t i = at; i < at + n; ++i) {
        unsigned char c = scan.text[i];
        bool ok = only == Only::letters ? is(c, kUpper | kLower) : hex_value(c) >= 0;
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A part's length from `at`, or -1 when it is out of its bounds.
[[nodiscard]] Py_ssize_t part_at(const Scan& scan, Py_ssize_t at, const Part& p, bool padded)
{
    Py_ssize_t n = scan.run(at, p.cls, p.max + 1);
    if (padded) {
        // Padding inside (Atlassian's) or at the end of a base64 body.
        Py_ssize_t pad = 0;
        while (pad < 2 && scan.at(at + n + pad) == '=') {
            ++pad;
        }
        if (pad > 0 && n <= p.max) {
            n += pad + scan.run(at + n + pad, p.cls, p.max + 1);
        }
    }
    if (n < p.min || n > p.max || !only_ok(scan, at, n, p.only)) {
        return -1;
    }
    return n;
}

constexpr char kBase62[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        t[i] = c;
    }
    return t;
}
constexpr auto kCrc = make_crc_table();

// The body's last six bytes spell the CRC32 of the bytes before them in
// base62, most significant digit first, padded with '0' (GitHub's scheme).
[[nodiscard]] bool crc32_base62_ok(const Scan& scan, Py_ssize_t at, Py_ssize_t n) noexcept
{
    if (n < 7) {
        return false;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (Py_ssize_t i = at; i < at + n - 6; ++i) {
        crc = kCrc[(crc ^ scan.text[i]) & 0xff] ^ (crc >> 8);
    }
    crc ^= 0xFFFFFFFFu;
    for (Py_ssize_t i = at + n - 1; i >= at + n - 6; --i) {
        if (scan.text[i] != static_cast<unsigned char>(kBase62[crc % 62])) {
            return false;
        }
        crc /= 62;
    }
    return true;
}

// A prefix's first bytes, compared at once as a word.
constexpr size_t kWordBytes = 8;

// The end of the token `f` at `at`, whose first kWordBytes the caller
// matched, or 0 when the text does not hold one.  (No substr: it may throw,
// and would pull in the C++ runtime.)
[[nodiscard]] Py_ssize_t family_end(const Scan& scan, Py_ssize_t at, const Family& f)
{
    if (f.prefix.size() > kWordBytes &&
        !scan.has(at + static_cast<Py_ssize_t>(kWordBytes),
                  std::string_view(f.prefix.data() + kWordBytes, f.prefix.size() - kWordBytes))) {
        return 0;
    }
    Py_ssize_t body = at + static_cast<Py_ssize_t>(f.prefix.size());
    Py_ssize_t n = part_at(scan, body, f.body, f.padded);
    if (n < 0) {
        return 0;
    }
    if (!f.ends.empty() && !scan.has(body + n - static_cast<Py_ssize_t>(f.ends.size()), f.ends)) {
        return 0;
    }
    if (!f.mark.empty() && !scan.has(body + f.mark_at, f.mark)) {
        return 0;
    }
    if (f.check == Check::crc32_base62 && !crc32_base62_ok(scan, body, n)) {
        return 0;
    }
    Py_ssize_t end = body + n;
    for (const auto& [sep, part] : {std::pair{f.sep, f.second}, std::pair{f.sep2, f.third}}) {
        if (sep == 0) {
            break;
        }
        if (scan.at(end) != static_cast<unsigned char>(sep)) {
            return 0;
        }
        Py_ssize_t m = part_at(scan, end + 1, part, false);
        if (m < 0) {
            return 0;
        }
        end += 1 + m;
    }
    return end;
}

constexpr size_t kRows = std::size(kFamilies);
static_assert(kRows < 256);

// The rows in the order of their prefixes' first two bytes, where the rows of
// each first byte begin, and each row's first eight bytes as a word: a
// trigger compares one word per row of its bytes before it reads further.
struct Index {
    std::array<uint8_t, kRows> rows;
    std::array<uint8_t, 257> from;  // rows of byte b: [from[b], from[b + 1])
    // In the order of `rows`: the prefix's first eight bytes, which of them
    // it has, and its second byte alone.
    std::array<uint64_t, kRows> head;
    std::array<uint64_t, kRows> mask;
    std::array<uint8_t, kRows> second;
};

constexpr Index make_index()
{
    Index ix{};
    size_t at = 0;
    for (size_t r = 0; r < kRows; ++r) {
        ix.rows[r] = static_cast<uint8_t>(r);
    }
    // By the first two bytes, so that a trigger's rows end where its second
    // byte is passed (an insertion sort: the table is short).
    auto key = [](size_t r) {
        return unsigned{static_cast<unsigned char>(kFamilies[r].prefix[0])} << 8 |
               static_cast<unsigned char>(kFamilies[r].prefix[1]);
    };
    for (size_t i = 1; i < kRows; ++i) {
        for (size_t j = i; j > 0 && key(ix.rows[j - 1]) > key(ix.rows[j]); --j) {
            uint8_t t = ix.rows[j];
            ix.rows[j] = ix.rows[j - 1];
            ix.rows[j - 1] = t;
        }
    }
    for (unsigned b = 0; b < 256; ++b) {
        ix.from[b] = static_cast<uint8_t>(at);
        while (at < kRows && static_cast<unsigned char>(kFamilies[ix.rows[at]].prefix[0]) == b) {
            ++at;
        }
    }
    ix.from[256] = static_cast<uint8_t>(at);
    for (size_t i = 0; i < kRows; ++i) {
        const std::string_view p = kFamilies[ix.rows[i]].prefix;
        for (size_t k = 0; k < kWordBytes && k < p.size(); ++k) {
            ix.head[i] |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
            ix.mask[i] |= uint64_t{0xff} << (8 * k);
        }
        ix.second[i] = static_cast<uint8_t>(p[1]);
    }
    return ix;
}
constexpr Index kIndex = make_index();

}  // namespace

Py_ssize_t match_family(Scan& scan, Py_ssize_t at, int)
{
    uint64_t word = 0;
    if (scan.size - at >= static_cast<Py_ssize_t>(kWordBytes)) {
        // One load where the machine is little-endian, as the heads are laid out.
        const unsigned char* q = scan.text + at;
        for (size_t i = 0; i < kWordBytes; ++i) {
            word |= uint64_t{q[i]} << (8 * i);
        }
        examined(kWordBytes);
    }
    else {
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kWordBytes); ++i) {
            word |= uint64_t{scan.at(at + i)} << (8 * i);
        }
    }
    const auto first = static_cast<unsigned>(word & 0xff);
    const auto second = static_cast<unsigned>((word >> 8) & 0xff);
    size_t i = kIndex.from[first];
    const size_t end_of_byte = kIndex.from[first + 1];
    // The first row with this second byte: a bisection, as 's' has 30 rows.
    for (size_t n = end_of_byte - i; n > 0;) {
        size_t half = n / 2;
        if (kIndex.second[i + half] < second) {
            i += half + 1;
            n -= half + 1;
        }
        else {
            n = half;
        }
    }
    for (; i < end_of_byte && kIndex.second[i] == second; ++i) {
        if ((word & kIndex.mask[i]) != kIndex.head[i]) {
            continue;
        }
        const Family& f = kFamilies[kIndex.rows[i]];
        if (!(scan.detectors & (uint32_t{1} << f.detector))) {
            continue;
        }
        Py_ssize_t end = family_end(scan, at, f);
        if (end > 0) {
            if (scan.add(at + f.keep, end, f.detector) < 0) {
                return -1;
            }
            return end;
        }
    }
    return 0;
}

}  // namespace zentrove::redact::detect
