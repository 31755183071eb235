// The keyword rules: one matcher for every row of detect/keywords.h, tried
// at an assignment's operator ('=', ':', '>', ',', "||" and the compounds
// they begin: "=>", "?=", ":=", "::=").
//
// Design: the cheap test comes first.  Where the value would start, 16
// bytes tell whether as many value bytes run as the shortest row's value
// needs; most values after an operator are shorter.  Past that, the run's
// length and its end (as gitleaks ends a value) leave the rows that take
// that length, and only their words are looked for: walking back over the
// at most 21 places between the operator and 20 bytes before it where a
// word may end, words are compared only where the two bytes there end one.
// Then the value is copied once, and each row left checks its bytes, shape
// and thresholds.  Operators inside one run of value bytes (a=b=c=...)
// read it again, so a run allows a few tries, and a run too long for any
// row is read on far enough that the operators inside it read nothing.
#include "_redact/detect/keywords.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zentrove::redact::detect {
namespace {

using keywords::kRules;
using keywords::Piece;
using keywords::Value;
namespace kind = keywords::kind;

constexpr size_t kRuleCount = std::size(kRules);

// gitleaks' bounds around the operator: up to 3 blanks or quotes before it,
// up to 20 bytes of [ \t\w.-] between them and the word, up to 5 of
// [`'"\s=] after it.
constexpr Py_ssize_t kQuotesBefore = 3;
constexpr Py_ssize_t kGap = 20;
constexpr int kPadAfter = 5;
constexpr int kTriesPerRun = 4;

constexpr uint16_t kind_of(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return kind::digit;
    }
    unsigned char l = c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
    if (l >= 'a' && l <= 'f') {
        return kind::hex_letter;
    }
    if (l == 'g' || l == 'h') {
        return kind::g_h;
    }
    if (l >= 'i' && l <= 'z') {
        return kind::letter;
    }
    switch (c) {
    case '-': return kind::dash;
    case '_': return kind::underscore;
    case '=': return kind::equals;
    case '.': return kind::dot;
    case '/': return kind::slash;
    case '+': return kind::plus;
    case '%': return kind::percent;
    case ':': return kind::colon;
    default: return 0;
    }
}

constexpr std::array<uint16_t, 256> make_kinds()
{
    std::array<uint16_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        t[c] = kind_of(static_cast<unsigned char>(c));
    }
    return t;
}
constexpr auto kKinds = make_kinds();

[[nodiscard]] constexpr unsigned char lower(unsigned char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

// RE2's \s.
[[nodiscard]] constexpr bool re_space(unsigned char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// What the alternatives of a literal piece are.
template <class Each>
constexpr void alternatives(std::string_view text, Each&& each)
{
    size_t from = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '|') {
            // Not substr: it may throw, which needs the C++ runtime.
            each(std::string_view(text.data() + from, i - from));
            from = i + 1;
        }
    }
}

// A row's value: the lengths it may have, the kinds of byte it may hold,
// and whether it must hold a letter and a digit: one run of both under a
// rule without an entropy threshold.
struct Bounds {
    uint16_t min;
    uint16_t max;
    uint16_t kinds;
    bool mixed;
};

constexpr Bounds bounds_of(const Value& v, bool has_entropy)
{
    Bounds b{0, 0, 0, false};
    for (uint8_t k = 0; k < v.count; ++k) {
        const Piece& p = v.pieces[k];
        if (p.text.empty()) {
            b.min = static_cast<uint16_t>(b.min + p.min);
            b.max = static_cast<uint16_t>(b.max + p.max);
            b.kinds |= p.bytes;
            continue;
        }
        size_t shortest = p.text.size();
        size_t longest = 0;
        alternatives(p.text, [&](std::string_view a) {
            shortest = a.size() < shortest ? a.size() : shortest;
            longest = a.size() > longest ? a.size() : longest;
            for (char c : a) {
                b.kinds |= kind_of(static_cast<unsigned char>(c));
            }
        });
        b.min = static_cast<uint16_t>(b.min + shortest);
        b.max = static_cast<uint16_t>(b.max + longest);
    }
    const uint16_t only = v.pieces[0].bytes;
    b.mixed = !has_entropy && v.count == 1 && (only & kind::digit) && (only & keywords::kLetters);
    return b;
}

constexpr std::array<Bounds, kRuleCount> make_bounds()
{
    std::array<Bounds, kRuleCount> t{};
    for (size_t r = 0; r < kRuleCount; ++r) {
        t[r] = bounds_of(kRules[r].value, kRules[r].entropy > 0);
    }
    return t;
}
constexpr auto kBounds = make_bounds();

constexpr Py_ssize_t longest_value()
{
    Py_ssize_t n = 0;
    for (const Bounds& b : kBounds) {
        n = b.max > n ? b.max : n;
    }
    return n;
}
constexpr Py_ssize_t kLongestValue = longest_value();

constexpr Py_ssize_t shortest_value()
{
    Py_ssize_t n = kLongestValue;
    for (const Bounds& b : kBounds) {
        n = b.min < n ? b.min : n;
    }
    return n;
}
constexpr Py_ssize_t kShortestValue = shortest_value();

// A value that may begin with '=' keeps kShortestValue bytes after up to
// kPadAfter of them, so the cheap test may skip them all.
constexpr bool equals_first_long()
{
    for (size_t r = 0; r < std::size(kRules); ++r) {
        const Piece& p = kRules[r].value.pieces[0];
        if (p.text.empty() && (p.bytes & kind::equals) &&
            kBounds[r].min < kShortestValue + kPadAfter) {
            return false;
        }
    }
    return true;
}
static_assert(equals_first_long());
static_assert(kLongestValue <= 256, "a value is read into a buffer on the stack");

// Sets of rows or of words, a bit each.
constexpr size_t kMaxBits = 128;
using Bits = std::array<uint64_t, kMaxBits / 64>;
static_assert(kRuleCount <= kMaxBits);

[[nodiscard]] constexpr bool any(const Bits& b) noexcept
{
    return (b[0] | b[1]) != 0;
}

[[nodiscard]] constexpr Bits operator&(const Bits& a, const Bits& b) noexcept
{
    return {a[0] & b[0], a[1] & b[1]};
}

constexpr Bits& operator|=(Bits& a, const Bits& b) noexcept
{
    a[0] |= b[0];
    a[1] |= b[1];
    return a;
}

[[nodiscard]] constexpr Bits bit(size_t i) noexcept
{
    Bits b{};
    b[i / 64] = uint64_t{1} << (i % 64);
    return b;
}

// Calls `each(i)` for every bit set, lowest first.
template <class Each>
constexpr void each_bit(const Bits& b, Each&& each)
{
    for (size_t half = 0; half < b.size(); ++half) {
        for (uint64_t bits = b[half]; bits != 0; bits &= bits - 1) {
            each(half * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
        }
    }
}

// The rows that a byte of each kind rules out.
constexpr std::array<Bits, 16> make_barred()
{
    std::array<Bits, 16> t{};
    for (size_t k = 0; k < t.size(); ++k) {
        for (size_t r = 0; r < kRuleCount; ++r) {
            if (!(kBounds[r].kinds & (1u << k))) {
                t[k] |= bit(r);
            }
        }
    }
    return t;
}
constexpr auto kBarred = make_barred();

// A piece is matched greedily, which is exact when a run of varying length
// is followed by bytes it cannot hold (or ends the value); a literal's
// alternatives are tried in order, so none may begin another.
constexpr bool shapes_exact()
{
    for (const auto& rule : kRules) {
        const Value& v = rule.value;
        if (v.count == 0 || v.count > v.pieces.size()) {
            return false;
        }
        for (uint8_t k = 0; k < v.count; ++k) {
            const Piece& p = v.pieces[k];
            if (!p.text.empty()) {
                bool ok = true;
                alternatives(p.text, [&](std::string_view a) {
                    ok = ok && !a.empty();
                    alternatives(p.text, [&](std::string_view b) {
                        ok = ok && (a == b || !b.starts_with(a));
                    });
                });
                if (!ok) {
                    return false;
                }
                continue;
            }
            if (p.bytes == 0 || p.min > p.max || p.max == 0 || k + 1 == v.count ||
                p.min == p.max) {
                continue;
            }
            const Piece& next = v.pieces[k + 1];
            bool disjoint = (next.bytes & p.bytes) == 0;
            alternatives(next.text, [&](std::string_view a) {
                disjoint = disjoint &&
                           (a.empty() || !(kind_of(static_cast<unsigned char>(a[0])) & p.bytes));
            });
            if (!disjoint) {
                return false;
            }
        }
    }
    return true;
}
static_assert(shapes_exact());

// The words of all rows, each once, a bit each.
struct WordTable {
    std::array<std::string_view, kMaxBits> words;
    size_t count;
    std::array<Bits, kRuleCount> of_rule;
    std::array<Bits, 256> by_last;                    // by a word's last byte, in lower case
    std::array<unsigned char, kMaxBits> second_last;  // the byte before that one
};

// A word is lower case, '^' first at most, '~' between bytes that are not
// its own choices, so a greedy comparison from the end is exact.
constexpr bool word_ok(std::string_view w)
{
    size_t from = !w.empty() && w[0] == '^' ? 1 : 0;
    if (w.size() < from + 2 || w.back() == '~' || w[w.size() - 2] == '~') {
        return false;
    }
    for (size_t i = from; i < w.size(); ++i) {
        char c = w[i];
        bool sep = c == '_' || c == '.' || c == '-';
        if ((c >= 'A' && c <= 'Z') || c == '^' ||
            (sep && ((i > 0 && w[i - 1] == '~') || (i + 1 < w.size() && w[i + 1] == '~')))) {
            return false;
        }
    }
    return true;
}

constexpr WordTable make_words()
{
    WordTable t{};
    for (size_t r = 0; r < kRuleCount; ++r) {
        alternatives(kRules[r].words, [&](std::string_view w) {
            size_t i = 0;
            while (i < t.count && t.words[i] != w) {
                ++i;
            }
            if (i == t.count && t.count < kMaxBits) {
                t.second_last[t.count] = static_cast<unsigned char>(w[w.size() - 2]);
                t.words[t.count++] = w;
                t.by_last[static_cast<unsigned char>(w.back())] |= bit(i);
            }
            t.of_rule[r] |= bit(i);
        });
    }
    return t;
}
constexpr WordTable kWords = make_words();

constexpr bool words_ok()
{
    for (const auto& rule : kRules) {
        bool ok = true;
        alternatives(rule.words, [&](std::string_view w) {
            ok = ok && word_ok(w);
        });
        if (!ok) {
            return false;
        }
    }
    return kWords.count < kMaxBits;
}
static_assert(words_ok());

// What a byte may be around an operator, a bit each.
enum : uint8_t {
    kGapByte = 1,    // between a word and the operator: [ \t\w.-]
    kPadByte = 2,    // between the operator and the value: [`'"\s=]
    kSkipByte = 4,   // a pad or an operator's further byte (":=", "=>", "||")
    kQuoteByte = 8,  // between the gap after a word and the operator: [\s'"]
};

constexpr std::array<uint8_t, 256> make_around()
{
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        bool word = c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
        bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        bool pad = space || c == '`' || c == '\'' || c == '"' || c == '=';
        t[c] = static_cast<uint8_t>(
            (word || c == ' ' || c == '\t' || c == '.' || c == '-' ? kGapByte : 0) |
            (pad ? kPadByte : 0) | (pad || c == ':' || c == '|' || c == '>' ? kSkipByte : 0) |
            (space || c == '\'' || c == '"' ? kQuoteByte : 0));
    }
    return t;
}
constexpr auto kAround = make_around();

// Does the word `w` end at `end`?  Compared from its last byte, which the
// caller matched.
[[nodiscard]] bool word_ends_at(const Scan& s, Py_ssize_t end, std::string_view w) noexcept
{
    const bool cased = w[0] == '^';
    const size_t first = cased ? 1 : 0;
    Py_ssize_t j = end;
    for (size_t k = w.size(); k > first; --k) {
        const char p = w[k - 1];
        if (p == '~') {
            unsigned char c = s.at(j - 1);
            j -= c == '_' || c == '.' || c == '-' ? 1 : 0;
            continue;
        }
        if (j == 0 || lower(s.text[j - 1]) != static_cast<unsigned char>(p)) {
            return false;
        }
        --j;
    }
    if (!cased) {
        return true;
    }
    // As written ("Okta", "okta") or all in upper case ("OKTA").
    bool upper = true;
    bool lower_rest = true;
    for (Py_ssize_t i = j; i < end; ++i) {
        unsigned char c = s.text[i];
        upper = upper && c >= 'A' && c <= 'Z';
        lower_rest = lower_rest && (i == j || (c >= 'a' && c <= 'z'));
    }
    return upper || lower_rest;
}

// Does the literal `p` stand at value[i..]?  Its length, or -1.
[[nodiscard]] Py_ssize_t literal_at(const unsigned char* value, Py_ssize_t i, Py_ssize_t n,
                                    const Piece& p) noexcept
{
    Py_ssize_t found = -1;
    alternatives(p.text, [&](std::string_view a) {
        const auto len = static_cast<Py_ssize_t>(a.size());
        if (found >= 0 || n - i < len) {
            return;
        }
        for (Py_ssize_t j = 0; j < len; ++j) {
            auto want = static_cast<unsigned char>(a[static_cast<size_t>(j)]);
            unsigned char c = value[i + j];
            if (p.exact ? c != want : lower(c) != lower(want)) {
                return;
            }
        }
        found = len;
    });
    return found;
}

// Does the value's shape fit the pieces of `v`?
[[nodiscard]] bool shape_fits(const unsigned char* value, Py_ssize_t n, const Value& v) noexcept
{
    Py_ssize_t i = 0;
    for (uint8_t k = 0; k < v.count; ++k) {
        const Piece& p = v.pieces[k];
        if (!p.text.empty()) {
            Py_ssize_t len = literal_at(value, i, n, p);
            if (len < 0) {
                return false;
            }
            i += len;
            continue;
        }
        Py_ssize_t m = 0;
        while (m < p.max && i + m < n && (kKinds[value[i + m]] & p.bytes)) {
            ++m;
        }
        if (m < p.min) {
            return false;
        }
        i += m;
    }
    return i == n;
}

// log2(x) for x >= 1, for the table below: the integer part by halving,
// then the fraction bit by bit by squaring.
constexpr double log2_of(double x)
{
    double result = 0;
    while (x >= 2) {
        x /= 2;
        result += 1;
    }
    double bit = 0.5;
    for (int i = 0; i < 40; ++i) {
        x *= x;
        if (x >= 2) {
            x /= 2;
            result += bit;
        }
        bit /= 2;
    }
    return result;
}

// k * log2(k), for counts of a byte in a value.
constexpr std::array<double, kLongestValue + 1> make_xlogx()
{
    std::array<double, kLongestValue + 1> t{};
    for (size_t k = 1; k < t.size(); ++k) {
        t[k] = static_cast<double>(k) * log2_of(static_cast<double>(k));
    }
    return t;
}
constexpr auto kXLogX = make_xlogx();

// Has the value at least `tenths` / 10 bits of Shannon entropy per byte?
// n * H = n log2 n - sum of c log2 c over the counts c of its bytes.
[[nodiscard]] bool entropy_at_least(const unsigned char* value, Py_ssize_t n,
                                    unsigned tenths) noexcept
{
    uint16_t counts[256] = {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        ++counts[value[i]];
    }
    double bits = kXLogX[static_cast<size_t>(n)];
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint16_t& c = counts[value[i]];
        bits -= kXLogX[c];
        c = 0;
    }
    return bits * 10 >= static_cast<double>(tenths) * static_cast<double>(n) - 1e-9;
}

// Does a value end at `e`: [`'"\s;], a written "\n" or "\r", or the end?
[[nodiscard]] bool value_ends(const Scan& s, Py_ssize_t e) noexcept
{
    if (e == s.size) {
        return true;
    }
    unsigned char c = s.text[e];
    return c == '`' || quote(c) || re_space(c) || c == ';' ||
           (c == '\\' && (s.at(e + 1) == 'n' || s.at(e + 1) == 'r'));
}

#if defined(__SSE2__)
// Bytes of `x` from `lo` to `lo + span`, as a mask of bytes.
[[nodiscard]] inline __m128i in_range(__m128i x, char lo, char span) noexcept
{
    const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
}
#endif

// The value bytes among the 16 from `q`, a bit each.
[[nodiscard]] unsigned value_bytes16(const unsigned char* q) noexcept
{
#if defined(__SSE2__)
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    // [-./0-9:], letters, and the four bytes outside those ranges.
    __m128i hit = _mm_or_si128(in_range(b, '-', ':' - '-'),
                               in_range(_mm_or_si128(b, _mm_set1_epi8(0x20)), 'a', 'z' - 'a'));
    for (char c : {'+', '%', '=', '_'}) {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(b, _mm_set1_epi8(c)));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
#else
    unsigned bits = 0;
    for (unsigned i = 0; i < 16; ++i) {
        bits |= (kKinds[q[i]] != 0 ? 1u : 0u) << i;
    }
    return bits;
#endif
}

constexpr bool simd_bytes_match()
{
    // The ranges above hold exactly the bytes that kKinds gives a kind.
    for (unsigned c = 0; c < 256; ++c) {
        unsigned l = c | 0x20;
        bool simd = (c >= '-' && c <= ':') || (l >= 'a' && l <= 'z') || c == '+' || c == '%' ||
                    c == '=' || c == '_';
        if (simd != (kKinds[c] != 0)) {
            return false;
        }
    }
    return true;
}
static_assert(simd_bytes_match());

// How many value bytes run from `v`, at most `limit`.
[[nodiscard]] Py_ssize_t value_run(const Scan& s, Py_ssize_t v, Py_ssize_t limit) noexcept
{
    Py_ssize_t e = v;
    const Py_ssize_t stop = s.size - v > limit ? v + limit : s.size;
    while (stop - e >= 16) {
        examined(16);
        const unsigned missing = ~value_bytes16(s.text + e) & 0xffff;
        if (missing != 0) {
            return e + __builtin_ctz(missing) - v;
        }
        e += 16;
    }
    while (e < stop && kKinds[s.text[e]] != 0) {
        ++e;
    }
    return e - v;
}

// What a value of each length may be: the rows that accept the length,
// and the words of those rows.
struct OfLength {
    Bits rows;
    Bits words;
};

using ByLength = std::array<OfLength, kLongestValue + 1>;
constexpr ByLength make_by_length()
{
    ByLength t{};
    for (size_t r = 0; r < kRuleCount; ++r) {
        for (unsigned n = kBounds[r].min; n <= kBounds[r].max; ++n) {
            t[n].rows |= bit(r);
            t[n].words |= kWords.of_rule[r];
        }
    }
    return t;
}
constexpr ByLength kByLength = make_by_length();

// The last two bytes of every word, their letters in either case, as a
// bit per pair of bytes (the bytes ORed with 0x20, which folds letters and
// keeps the other bytes of words apart).
using Pairs = std::array<uint64_t, 65536 / 64>;
constexpr Pairs make_ends()
{
    Pairs t{};
    for (size_t i = 0; i < kWords.count; ++i) {
        const std::string_view w = kWords.words[i];
        const unsigned pair = unsigned{static_cast<unsigned char>(w[w.size() - 2] | 0x20)} << 8 |
                              static_cast<unsigned char>(w.back() | 0x20);
        t[pair / 64] |= uint64_t{1} << (pair % 64);
    }
    return t;
}
constexpr Pairs kEnds = make_ends();

// The words among `wanted` that end where [ \t\w.-]{0,20}[\s'"]{0,3}
// ends at `op`, the operator's first byte: one walk back over the up to 21
// places where a word may end, trying words only where the two bytes
// before end some word.
[[nodiscard]] Bits words_before(const Scan& s, Py_ssize_t op, const Bits& wanted) noexcept
{
    Py_ssize_t q = op;
    while (q > 0 && op - q < kQuotesBefore && (kAround[s.text[q - 1]] & kQuoteByte)) {
        --q;
    }
    Bits found{};
    if (q == 0) {
        return found;
    }
    unsigned char c = s.text[q - 1];
    for (Py_ssize_t end = q;; --end) {
        const unsigned char b = end >= 2 ? s.text[end - 2] : 0;
        const unsigned pair = unsigned{static_cast<unsigned char>(b | 0x20)} << 8 |
                              static_cast<unsigned char>(c | 0x20);
        if (kEnds[pair / 64] >> (pair % 64) & 1) {
            each_bit(kWords.by_last[lower(c)] & wanted, [&](size_t i) {
                if (kWords.second_last[i] == lower(b) && word_ends_at(s, end, kWords.words[i])) {
                    found |= bit(i);
                }
            });
        }
        if (end == 1 || q - end == kGap || !(kAround[c] & kGapByte)) {
            return found;
        }
        c = b;
    }
}

// An assignment: where its operator begins (the look back starts there)
// and where its value may start.
struct Assignment {
    Py_ssize_t op;
    Py_ssize_t after;  // past the operator
    Py_ssize_t value;  // past the pads too
};

// The assignment whose operator has a byte at `at`: past the operator's
// further bytes and up to 5 of [`'"\s=].  False where none is, or where the
// operator began a byte before and was judged there ("=>" at its '>').
[[nodiscard]] inline bool assignment_at(const Scan& scan, Py_ssize_t at, Assignment* a) noexcept
{
    const unsigned char prev = scan.at(at - 1);
    Py_ssize_t op = at;
    Py_ssize_t after = at + 1;
    switch (scan.text[at]) {
    case '|':  // "||", the only place the engine calls with '|'
        if (prev == '|') {
            return false;
        }
        after = at + 2;
        break;
    case ':': {
        if (prev == ':') {
            return false;
        }
        Py_ssize_t colons = 1;
        while (colons < 3 && scan.at(at + colons) == ':') {
            ++colons;
        }
        if (colons > 1) {
            if (scan.at(at + colons) != '=') {
                return false;  // "a::b" assigns nothing
            }
            after = at + colons + 1;
        }
        break;
    }
    case '=':
        if (prev == ':' || prev == '=' || prev == '|' || prev == '>') {
            return false;
        }
        op -= prev == '?' ? 1 : 0;
        after += scan.at(at + 1) == '>' ? 1 : 0;
        break;
    case '>':
        if (prev == '=') {
            return false;
        }
        break;
    default:  // ','
        break;
    }
    Py_ssize_t v = after;
    for (int pad = 0; pad < kPadAfter && v < scan.size && (kAround[scan.text[v]] & kPadByte);
         ++pad) {
        ++v;
    }
    *a = Assignment{op, after, v};
    return true;
}

// Is the run of value bytes from `v`, inside the stretch, longer than any
// row's value?  Its bytes up to `to` are value bytes.
[[nodiscard]] bool too_long(const Stretch& stretch, Py_ssize_t v) noexcept
{
    return stretch.to - v > kLongestValue;
}

// The assignment at `at`, past the cheap test.  A run of value bytes that
// operators inside it tried often enough is not read again.
[[gnu::noinline]] Py_ssize_t keyword_value(Scan& scan, Py_ssize_t at, int detector)
{
    Assignment a;
    if (!assignment_at(scan, at, &a)) {
        return 0;
    }
    const Py_ssize_t op = a.op;
    const Py_ssize_t v = a.value;
    Stretch& stretch = scan.memos().keyword_value;
    if (stretch.from <= v && v < stretch.to) {
        if (too_long(stretch, v) || ++stretch.tries > kTriesPerRun) {
            return 0;
        }
    }
    else {
        stretch = Stretch{v, v, 1};
    }
    // A run too long for any row is read on as far again: the operators
    // inside it need not read it.
    constexpr Py_ssize_t kReach = 2 * (kLongestValue + 1);
    const Py_ssize_t n = value_run(scan, v, kReach);
    const Py_ssize_t e = v + n;
    stretch.to = e > stretch.to ? e : stretch.to;
    if (n > kLongestValue) {
        return 0;
    }
    // The pads are read greedily, but a value may begin with the '=' among
    // them: it ends at `e` and starts from `v` back to the first of those.
    Py_ssize_t first = v;
    while (first > a.after && v - first < kPadAfter && scan.text[first - 1] == '=') {
        --first;
    }
    Bits wanted{};
    for (Py_ssize_t from = first; from <= v; ++from) {
        if (e - from <= kLongestValue) {
            wanted |= kByLength[static_cast<size_t>(e - from)].words;
        }
    }
    if (!any(wanted) || !value_ends(scan, e)) {
        return 0;
    }

    // A word of a row that takes one of those lengths, before the operator.
    const Bits found = words_before(scan, op, wanted);
    if (!any(found)) {
        return 0;
    }

    // The rows that the value's bytes fit and whose word stands there, in
    // order: shape and thresholds, the longest pads first.
    unsigned char text[kLongestValue + kPadAfter];
    for (Py_ssize_t i = first; i < e; ++i) {
        text[i - first] = scan.text[i];
    }
    for (Py_ssize_t from = v; from >= first; --from) {
        const Py_ssize_t len = e - from;
        if (len > kLongestValue) {
            break;
        }
        const unsigned char* value = text + (from - first);
        uint16_t kinds = 0;
        for (Py_ssize_t i = 0; i < len; ++i) {
            kinds |= kKinds[value[i]];
        }
        Bits rows = kByLength[static_cast<size_t>(len)].rows;
        for (unsigned left = kinds; left != 0; left &= left - 1) {
            const Bits& barred = kBarred[static_cast<size_t>(__builtin_ctz(left))];
            rows = {rows[0] & ~barred[0], rows[1] & ~barred[1]};
        }
        size_t hit = kRuleCount;
        each_bit(rows, [&](size_t r) {
            const auto& rule = kRules[r];
            if (hit < kRuleCount || !any(kWords.of_rule[r] & found) ||
                !shape_fits(value, len, rule.value) ||
                (kBounds[r].mixed && !((kinds & kind::digit) && (kinds & keywords::kLetters))) ||
                (rule.entropy > 0 && !entropy_at_least(value, len, rule.entropy))) {
                return;
            }
            hit = r;
        });
        if (hit < kRuleCount) {
            return scan.add(from, e, detector) < 0 ? -1 : e;
        }
    }
    return 0;
}

}  // namespace

// The cheap test: where the value starts, at least as many value bytes as
// the shortest row's value.  Most values after an operator are shorter.
// (A value that begins with pads' '=' is long enough without them.)
Py_ssize_t match_keyword(Scan& scan, Py_ssize_t at, int detector)
{
    // "||", "::" and "==" were judged at their first byte.  Past further
    // operator bytes and pads (3 and 5 at most) the value may start.
    const unsigned char c = scan.text[at];
    if (scan.at(at - 1) == c && c != ',' && c != '>') {
        return 0;
    }
    Py_ssize_t v = at + 1;
    const Py_ssize_t skip_end = scan.size - v > 8 ? v + 8 : scan.size;
    while (v < skip_end && (kAround[scan.text[v]] & kSkipByte)) {
        ++v;
    }
    static_assert(kShortestValue <= 16);
    if (scan.size - v >= 16) {
        // Three bytes spread over them first: a word or a number ends
        // before one of them in most values.
        if (kKinds[scan.text[v + kShortestValue - 1]] == 0 ||
            kKinds[scan.text[v + kShortestValue / 3 + 4]] == 0 ||
            kKinds[scan.text[v + kShortestValue / 3]] == 0) {
            return 0;
        }
        // Operators inside a run that was tried often enough: no more reads.
        const Stretch& stretch = scan.memos().keyword_value;
        if (stretch.from <= v && v < stretch.to &&
            (stretch.tries >= kTriesPerRun || too_long(stretch, v))) {
            return 0;
        }
        examined(16);
        if ((~value_bytes16(scan.text + v) & ((1u << kShortestValue) - 1)) != 0) {
            return 0;
        }
    }
    else if (value_run(scan, v, kShortestValue) < kShortestValue) {
        return 0;
    }
    return keyword_value(scan, at, detector);
}

}  // namespace zentrove::redact::detect
