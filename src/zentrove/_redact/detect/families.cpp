// The token families: one matcher for every row of detect/families.h, which
// reports the row's own detector (tokens, github, slack, stripe, google).  It
// is tried where a word starts with the first bytes of a row's prefix (the
// engine tests the first three); the rows that share them are verified in
// table order.
#include "_redact/detect/families.h"

#include <bit>
#include <initializer_list>
#include <utility>

namespace zentrove::redact::detect {
namespace {

// Per-byte checks read a part once: a part whose class holds no separator
// has no word start inside it, so no later candidate reads it again; a
// shorter part than kShortCheck may be read again from a few starts.  A part
// with extra bytes is read through a memo (extended_run), a lead at most
// kLongestLead bytes back.
constexpr size_t kLongestLead = 64;
constexpr uint16_t kShortCheck = 64;

constexpr bool read_once(const Part& p)
{
    return (p.cls == kAlnum && p.extra.empty()) || p.max <= kShortCheck;
}

constexpr bool part_ok(const Part& p)
{
    return (p.only == Only::any || read_once(p)) && p.min <= p.max &&
           (!p.extra.empty() || run_row(p.cls) >= 0);
}

constexpr bool checks_bounded()
{
    for (const Family& f : kFamilies) {
        if (!part_ok(f.body) || f.ends.size() > f.body.min ||
            f.mark_at + f.mark.size() > f.body.min ||
            (f.check != Check::none && !read_once(f.body))) {
            return false;
        }
        for (size_t i = 0; i < f.step_count; ++i) {
            if (f.steps[i].sep.empty() || !part_ok(f.steps[i].part)) {
                return false;
            }
        }
        if (f.lead.max > kLongestLead ||
            (f.lead.max > 0 && (f.lead_sep.empty() || !part_ok(f.lead)))) {
            return false;
        }
        for (size_t k = 0; k < prefix_count(f.prefixes); ++k) {
            if (prefix_at(f.prefixes, k).size() < 2) {
                return false;
            }
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

[[nodiscard]] bool in_part(const Part& p, unsigned char c) noexcept
{
    if (is(c, p.cls)) {
        return true;
    }
    // A byte loop: `extra` holds a byte or two, and find() would call memchr.
    for (char e : p.extra) {
        if (c == static_cast<unsigned char>(e)) {
            return true;
        }
    }
    return false;
}

// The length of the run of `p`'s bytes from `at`, at most p.max + 1.  The
// extra bytes ('=' and '.') are separators, so a trigger may sit inside a run
// that an earlier one read: the end is remembered.
[[nodiscard]] Py_ssize_t extended_run(Scan& scan, Py_ssize_t at, const Part& p)
{
    const Py_ssize_t limit = scan.size - at <= p.max + 1 ? scan.size : at + p.max + 1;
    Py_ssize_t stop = scan.memos().extended_run.next(at, limit, reinterpret_cast<Py_ssize_t>(&p),
                                                     [&scan, &p](Py_ssize_t i) {
                                                         return !in_part(p, scan.text[i]);
                                                     });
    return (stop < 0 ? limit : stop) - at;
}

// A part's length from `at`, or -1 when it is out of its bounds.
[[nodiscard]] Py_ssize_t part_at(Scan& scan, Py_ssize_t at, const Part& p)
{
    Py_ssize_t n = p.extra.empty() ? scan.run(at, p.cls, p.max + 1) : extended_run(scan, at, p);
    // A sentence's full stop after a token whose bytes may hold a '.'.
    if (n == p.max + 1 && scan.text[at + p.max] == '.' && !in_part(p, scan.at(at + n))) {
        n = p.max;
    }
    if (n < p.min || n > p.max || !only_ok(scan, at, n, p.only)) {
        return -1;
    }
    return n;
}

[[nodiscard]] bool check_ok(const Scan& scan, Py_ssize_t at, Py_ssize_t n, Check check) noexcept
{
    if (check == Check::none) {
        return true;
    }
    uint8_t seen = 0;
    for (Py_ssize_t i = at; i < at + n; ++i) {
        seen |= kClass[scan.text[i]];
    }
    return (seen & kDigit) && (seen & (kUpper | kLower));
}

// Where the lead part before `at` (and its separator) starts, or -1: it must
// fit its bounds and start a word.
[[nodiscard]] Py_ssize_t lead_start(const Scan& scan, Py_ssize_t at, const Family& f)
{
    const Py_ssize_t sep = at - static_cast<Py_ssize_t>(f.lead_sep.size());
    if (!scan.has(sep, f.lead_sep)) {
        return -1;
    }
    Py_ssize_t n = 0;
    while (n <= f.lead.max && is(scan.at(sep - n - 1), f.lead.cls)) {
        ++n;
    }
    if (n < f.lead.min || n > f.lead.max || is(scan.at(sep - n - 1), kWord) ||
        !only_ok(scan, sep - n, n, f.lead.only)) {
        return -1;
    }
    return sep - n;
}

// Where the value starts after a key's name: the rest of the name (as in
// "..._COM_secret"), then `=`, `:`, `=>`, `,`... with blanks and quotes
// around; -1 for no assignment.
[[nodiscard]] Py_ssize_t after_assignment(const Scan& scan, Py_ssize_t at)
{
    constexpr Py_ssize_t kTail = 20;
    constexpr Py_ssize_t kGap = 8;
    constexpr std::string_view gap = " \t'\"`=:>|?,";
    constexpr std::string_view assigns = "=:>|,";
    Py_ssize_t i = at + scan.run(at, kWord, kTail + 1);
    if (i - at > kTail) {
        return -1;
    }
    bool assigned = false;
    for (Py_ssize_t end = i + kGap; i < end; ++i) {
        unsigned char c = scan.at(i);
        if (c == 0 || gap.find(static_cast<char>(c)) == std::string_view::npos) {
            break;
        }
        assigned |= assigns.find(static_cast<char>(c)) != std::string_view::npos;
    }
    return assigned ? i : -1;
}

// A prefix's first bytes, compared at once as a word.
constexpr size_t kWordBytes = 8;

// The token of `f` whose `prefix` the text holds at `at` (its first
// kWordBytes the caller matched): [begin, end) to mask, or end 0 when the
// text does not hold one.
struct Found {
    Py_ssize_t begin;
    Py_ssize_t end;
};

[[nodiscard]] Found family_at(Scan& scan, Py_ssize_t at, const Family& f, std::string_view prefix)
{
    if (prefix.size() > kWordBytes &&
        !scan.has(at + static_cast<Py_ssize_t>(kWordBytes),
                  std::string_view(prefix.data() + kWordBytes, prefix.size() - kWordBytes))) {
        return {};
    }
    Py_ssize_t begin = f.lead.max > 0 ? lead_start(scan, at, f) : at;
    Py_ssize_t body = at + static_cast<Py_ssize_t>(prefix.size());
    if (f.assigned) {
        body = after_assignment(scan, body);
    }
    if (begin < 0 || body < 0) {
        return {};
    }
    Py_ssize_t n = part_at(scan, body, f.body);
    if (n < 0 || (!f.ends.empty() &&
                  !scan.has(body + n - static_cast<Py_ssize_t>(f.ends.size()), f.ends))) {
        return {};
    }
    if ((!f.mark.empty() && !scan.has(body + f.mark_at, f.mark)) ||
        !check_ok(scan, body, n, f.check)) {
        return {};
    }
    Py_ssize_t end = body + n;
    for (size_t i = 0; i < f.step_count; ++i) {
        const Step& step = f.steps[i];
        Py_ssize_t from = end + static_cast<Py_ssize_t>(step.sep.size());
        Py_ssize_t m = scan.has(end, step.sep) ? part_at(scan, from, step.part) : -1;
        if (m < 0) {
            if (f.last_optional && i + 1 == f.step_count) {
                break;
            }
            return {};
        }
        end = from + m;
    }
    if (!f.followed_by.empty() && !scan.has(end, f.followed_by)) {
        return {};
    }
    return {f.keeps_prefix ? body : begin, end};
}

static_assert(std::size(kFamilies) < 65536 && kPrefixes < 65536);

// The prefixes in the order of their first two bytes, and each one's first
// eight bytes as a word: a trigger compares one word per prefix of its two
// bytes before it reads further.  The prefixes of a pair of bytes are found
// by the pair's rank among the pairs that start some prefix (a bit per
// pair, and the bits counted before each word of them).
constexpr size_t kPairWords = 65536 / 64;

struct Index {
    std::array<uint16_t, kPrefixes> rows;  // the row of each prefix
    std::array<std::string_view, kPrefixes> prefix;
    // In the same order: the prefix's first eight bytes, and which of them it has.
    std::array<uint64_t, kPrefixes> head;
    std::array<uint64_t, kPrefixes> mask;
    std::array<uint64_t, kPairWords> pairs;     // a bit per pair that starts a prefix
    std::array<uint16_t, kPairWords> rank;      // the bits in the words before
    std::array<uint16_t, kPrefixes + 1> first;  // where the k-th pair's prefixes start
};

constexpr unsigned pair_of(std::string_view p)
{
    return unsigned{static_cast<unsigned char>(p[0])} << 8 | static_cast<unsigned char>(p[1]);
}

constexpr Index make_index()
{
    Index ix{};
    size_t n = 0;
    for (size_t r = 0; r < std::size(kFamilies); ++r) {
        for (size_t k = 0; k < prefix_count(kFamilies[r].prefixes); ++k) {
            ix.rows[n] = static_cast<uint16_t>(r);
            ix.prefix[n++] = prefix_at(kFamilies[r].prefixes, k);
        }
    }
    // An insertion sort, stable: the rows of a pair keep their order.
    for (size_t i = 1; i < kPrefixes; ++i) {
        for (size_t j = i; j > 0 && pair_of(ix.prefix[j - 1]) > pair_of(ix.prefix[j]); --j) {
            std::swap(ix.rows[j], ix.rows[j - 1]);
            std::swap(ix.prefix[j], ix.prefix[j - 1]);
        }
    }
    size_t pairs = 0;
    for (size_t i = 0; i < kPrefixes; ++i) {
        const std::string_view p = ix.prefix[i];
        for (size_t k = 0; k < kWordBytes && k < p.size(); ++k) {
            ix.head[i] |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
            ix.mask[i] |= uint64_t{0xff} << (8 * k);
        }
        if (i == 0 || pair_of(p) != pair_of(ix.prefix[i - 1])) {
            ix.pairs[pair_of(p) / 64] |= uint64_t{1} << (pair_of(p) % 64);
            ix.first[pairs++] = static_cast<uint16_t>(i);
        }
    }
    ix.first[pairs] = static_cast<uint16_t>(kPrefixes);
    uint16_t before = 0;
    for (size_t w = 0; w < kPairWords; ++w) {
        ix.rank[w] = before;
        before = static_cast<uint16_t>(before + std::popcount(ix.pairs[w]));
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
    // The word's first two bytes, as a pair (first byte high).
    const auto pair = static_cast<unsigned>((word & 0xff) << 8 | ((word >> 8) & 0xff));
    const uint64_t bits = kIndex.pairs[pair / 64];
    const uint64_t bit = uint64_t{1} << (pair % 64);
    if (!(bits & bit)) {
        return 0;
    }
    const size_t k = kIndex.rank[pair / 64] + static_cast<size_t>(std::popcount(bits & (bit - 1)));
    for (size_t i = kIndex.first[k]; i < kIndex.first[k + 1]; ++i) {
        if ((word & kIndex.mask[i]) != kIndex.head[i]) {
            continue;
        }
        const Family& f = kFamilies[kIndex.rows[i]];
        if (!(scan.detectors & (uint32_t{1} << f.detector))) {
            continue;
        }
        Found found = family_at(scan, at, f, kIndex.prefix[i]);
        if (found.end > 0) {
            if (scan.add(found.begin, found.end, f.detector) < 0) {
                return -1;
            }
            return found.end;
        }
    }
    return 0;
}

}  // namespace zentrove::redact::detect
