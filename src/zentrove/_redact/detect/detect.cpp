// The detector engine: the table of detectors and their trigger bytes, and
// the scan loop over a str's UTF-8 (the Python side: detect/api.cpp).
//
// Design: one pass over the bytes, 64 at a time.  A branch-free pass (SSE2
// where there is one) marks the candidates: a word start (the portable pass
// only one with a trigger byte, a 'g' for "ghp_", a digit for a card), or a
// separator ('=', ':', '@', '-', '>', '~', ',', '|').  A bit set of two-byte
// heads drops most of them ("every" is no "eyJ", a lone '-' no PEM marker);
// the rest go to the hand-written matchers of a 256-entry table.  Matchers record byte spans;
// detect/str.cpp maps them to code points and builds the masked copy of a
// str, json/bytes.cpp writes the masked string into the JSON text.
#include "_redact/detect/detect.h"

#include "_redact/detect/families.h"

#include "_redact/rules.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

namespace zentrove::redact::detect {
namespace {

// A matcher and where it may be tried: where a word starts, or at a
// separator, with one of the two-byte `heads` ('#' standing for any digit,
// '?' for any byte or the end).  Entries that share a byte are tried in
// table order.
// The families' two-byte heads, in the form of an entry's.
constexpr std::array<char, 2 * kPrefixes> make_family_heads()
{
    std::array<char, 2 * kPrefixes> h{};
    size_t i = 0;
    for (const Family& f : kFamilies) {
        for (size_t k = 0; k < prefix_count(f.prefixes); ++k, i += 2) {
            h[i] = prefix_at(f.prefixes, k)[0];
            h[i + 1] = prefix_at(f.prefixes, k)[1];
        }
    }
    return h;
}
constexpr auto kFamilyHeads = make_family_heads();

struct Entry {
    int detector;   // the one it reports, and what makes it live
    uint32_t also;  // other detectors that make it live
    bool at_start;  // heads start words (else they are separators)
    std::string_view heads;
    Matcher match;
    // The family table's entry, whose words must also fit a prefix's second
    // and third bytes.  A flag, as a constant expression may not compare two
    // functions' addresses (sanitizer builds refuse it).
    bool families = false;
};

// The pair matcher serves key=value and AWS secrets under a secret-ish key,
// so a separator is parsed once.
constexpr std::array<Entry, 16> kEntries = {{
    {kAuthorization, 0, true, "BebeBEbEBabaBAbA", match_authorization},
    {kJwt, 0, true, "ey", match_jwt},
    {kPrivateKey, 0, false, "--", match_private_key},
    {kUrlCredentials, 0, false, "@?", match_url_credentials},
    {kKeyValue, uint32_t{1} << kAws, false, "=?:?>?||", match_pair},
    {kKeyValue, 0, false, ">?", match_element},
    {kAws, 0, true, "AKASABACAGAIANARAPA3", match_aws_key_id},
    {kGitlab, 0, true, "glGR", match_gitlab},
    {kSlack, 0, true, "ho", match_slack_webhook},
    {kCard, 0, true, "2#3#4#5#6#", match_card},
    {kTokens, 0, false, ":A", match_telegram},
    {kTokens, 0, false, "~?", match_azure_secret},
    {kTokens,
     uint32_t{1} << kGithub | uint32_t{1} << kSlack | uint32_t{1} << kStripe |
         uint32_t{1} << kGoogle,
     true,
     {kFamilyHeads.data(), kFamilyHeads.size()},
     match_family,
     true},
    {kKeyValue, 0, false, "-p-u-U-w--:#:*", match_command},
    {kKeyValue, 0, true, "pa", match_netrc},
    // After the pair matcher: a key the rules know masks its value there.
    {kTokens, 0, false, "=?:?>?,?||", match_keyword},
}};

using Triggers = std::array<uint32_t, 256>;

constexpr Triggers make_triggers(bool at_start)
{
    Triggers t{};
    for (size_t e = 0; e < kEntries.size(); ++e) {
        if (kEntries[e].at_start != at_start) {
            continue;
        }
        for (size_t i = 0; i < kEntries[e].heads.size(); i += 2) {
            t[static_cast<unsigned char>(kEntries[e].heads[i])] |= uint32_t{1} << e;
        }
    }
    return t;
}

constexpr Triggers kStartTriggers = make_triggers(true);
constexpr Triggers kAnyTriggers = make_triggers(false);

// The entries with a head whose second byte is this one: with the first
// byte's entries, the matchers worth a call ("gh" calls no GitLab matcher).
constexpr Triggers make_seconds()
{
    Triggers t{};
    for (size_t e = 0; e < kEntries.size(); ++e) {
        for (size_t i = 0; i + 1 < kEntries[e].heads.size(); i += 2) {
            char second = kEntries[e].heads[i + 1];
            for (unsigned b = 0; b < 256; ++b) {
                if (second == '?' || (second == '#' && b >= '0' && b <= '9') ||
                    static_cast<unsigned char>(second) == b) {
                    t[b] |= uint32_t{1} << e;
                }
            }
        }
    }
    return t;
}

constexpr Triggers kSeconds = make_seconds();

// Every two-byte head of every entry, one bit per pair of bytes: most words
// that start with a trigger byte fail here without a call ("every" for "ey"),
// and so do most dashes (only "--" may begin a PEM block).
using Heads = std::array<uint64_t, 65536 / 64>;

constexpr void set_pair(Heads& h, unsigned first, unsigned second)
{
    const unsigned pair = first << 8 | second;
    h[pair / 64] |= uint64_t{1} << (pair % 64);
}

constexpr Heads make_heads()
{
    Heads h{};
    auto set = [&h](unsigned first, unsigned second) {
        set_pair(h, first, second);
    };
    for (const Entry& entry : kEntries) {
        for (size_t i = 0; i + 1 < entry.heads.size(); i += 2) {
            auto first = static_cast<unsigned char>(entry.heads[i]);
            if (entry.heads[i + 1] == '#') {
                for (unsigned d = '0'; d <= '9'; ++d) {
                    set(first, d);
                }
            }
            else if (entry.heads[i + 1] == '?') {
                for (unsigned any = 0; any < 256; ++any) {
                    set(first, any);
                }
            }
            else {
                set(first, static_cast<unsigned char>(entry.heads[i + 1]));
            }
        }
    }
    return h;
}

constexpr Heads kHeads = make_heads();

// The family table's entry, and the second and third bytes of its prefixes,
// one bit per pair: a word whose first two bytes start a prefix but whose
// next two start none ("session" for "s.", "example" for "ext_") calls no
// matcher.  A two-byte prefix lets any third byte through.
constexpr uint32_t family_entry()
{
    for (size_t e = 0; e < kEntries.size(); ++e) {
        if (kEntries[e].families) {
            return uint32_t{1} << e;
        }
    }
    return 0;
}
constexpr uint32_t kFamilyEntry = family_entry();
static_assert(kFamilyEntry != 0);

constexpr Heads make_family_tails()
{
    Heads h{};
    auto set = [&h](unsigned second, unsigned third) {
        set_pair(h, second, third);
    };
    for (const Family& f : kFamilies) {
        for (size_t k = 0; k < prefix_count(f.prefixes); ++k) {
            const std::string_view p = prefix_at(f.prefixes, k);
            const auto second = static_cast<unsigned char>(p[1]);
            if (p.size() == 2) {
                for (unsigned any = 0; any < 256; ++any) {
                    set(second, any);
                }
            }
            else {
                set(second, static_cast<unsigned char>(p[2]));
            }
        }
    }
    return h;
}

constexpr Heads kFamilyTails = make_family_tails();

// Start triggers must be word bytes and separators not, or the loop below
// would never see them.
constexpr bool triggers_consistent()
{
    for (int c = 0; c < 256; ++c) {
        bool word = (kClass[static_cast<size_t>(c)] & kWord) != 0;
        if ((kStartTriggers[static_cast<size_t>(c)] && !word) ||
            (kAnyTriggers[static_cast<size_t>(c)] && word)) {
            return false;
        }
    }
    return true;
}
static_assert(triggers_consistent());
static_assert(kCount <= 32 && kEntries.size() <= 32);

// The entries that a set of detectors makes live, for every set: one load
// per scan, which short strings (most of those a walk scans) feel.
constexpr std::array<uint16_t, size_t{1} << kSecretCount> make_live()
{
    std::array<uint16_t, size_t{1} << kSecretCount> live{};
    for (size_t detectors = 0; detectors < live.size(); ++detectors) {
        for (size_t e = 0; e < kEntries.size(); ++e) {
            if (detectors & ((uint32_t{1} << kEntries[e].detector) | kEntries[e].also)) {
                live[detectors] = static_cast<uint16_t>(live[detectors] | (1u << e));
            }
        }
    }
    return live;
}
static_assert(kEntries.size() <= 16);

constexpr auto kLive = make_live();

[[nodiscard]] uint32_t live_entries(uint32_t detectors) noexcept
{
    return kLive[detectors & kSecretDetectors];
}

// Tries the matchers in `entries` at `at`: the resume position, 0, or -1.
[[nodiscard]] Py_ssize_t try_entries(Scan& scan, Py_ssize_t at, uint32_t entries)
{
    while (entries != 0) {
        int e = __builtin_ctz(entries);
        entries &= entries - 1;
        const Entry& entry = kEntries[static_cast<size_t>(e)];
        // The separators' and the digits' matchers run most: called directly,
        // they spare the indirect branch predictor (mispredicted two times in
        // three on log text).
        Py_ssize_t resume = entry.match == match_pair   ? match_pair(scan, at, entry.detector)
                            : entry.match == match_card ? match_card(scan, at, entry.detector)
                                                        : entry.match(scan, at, entry.detector);
        if (resume != 0) {
            return resume;
        }
    }
    return 0;
}

// Per byte: is it a word byte, may a word start with it, is it a separator
// that triggers.  The portable candidate pass reads only this table.
enum : uint8_t { kFlagWord = 1, kFlagStart = 2, kFlagAny = 4 };

constexpr std::array<uint8_t, 256> make_flags()
{
    std::array<uint8_t, 256> f{};
    for (size_t c = 0; c < 256; ++c) {
        f[c] = static_cast<uint8_t>(((kClass[c] & kWord) ? kFlagWord : 0) |
                                    (kStartTriggers[c] ? kFlagStart : 0) |
                                    (kAnyTriggers[c] ? kFlagAny : 0));
    }
    return f;
}

constexpr std::array<uint8_t, 256> kFlags = make_flags();

// Candidates among `len` bytes, one bit each: a trigger separator, or a
// trigger byte that starts a word.  `prev` is the word flag of the byte
// before and becomes that of the last byte.
[[nodiscard]] uint64_t marks_portable(const unsigned char* q, Py_ssize_t len,
                                      unsigned* prev) noexcept
{
    uint64_t marks = 0;
    unsigned before = *prev;
    for (Py_ssize_t k = 0; k < len; ++k) {
        unsigned f = kFlags[q[k]];
        marks |= uint64_t{((f >> 2) | ((f >> 1) & ~before)) & 1u} << k;
        before = f;
    }
    *prev = before & kFlagWord;
    return marks;
}

#if defined(__SSE2__)
// The same for 16 bytes at a time.  Each byte set is tested with two table
// look-ups by nibble (SSSE3's pshufb): the low nibble's entry holds one bit
// per high nibble 0-7 whose byte is in the set, and the high nibble's entry
// picks that bit, so every ASCII set costs the same few instructions however
// many letters start a token.  Bytes from 0x80 are in no set.  Machines
// without SSSE3 take every word start (below).
using Nibbles = std::array<uint8_t, 16>;

template <class Member>
constexpr Nibbles low_nibbles(Member member)
{
    Nibbles t{};
    for (unsigned c = 0; c < 128; ++c) {
        if (member(c)) {
            t[c & 15] = static_cast<uint8_t>(t[c & 15] | (1u << (c >> 4)));
        }
    }
    return t;
}

constexpr Nibbles kWordLow = low_nibbles([](unsigned c) {
    return (kClass[c] & kWord) != 0;
});
constexpr Nibbles kStartLow = low_nibbles([](unsigned c) {
    return kStartTriggers[c] != 0;
});
constexpr Nibbles kSeparatorLow = low_nibbles([](unsigned c) {
    return kAnyTriggers[c] != 0;
});
constexpr Nibbles kHighBit = {1, 2, 4, 8, 16, 32, 64, 128, 0, 0, 0, 0, 0, 0, 0, 0};

constexpr bool ascii_triggers()
{
    for (size_t c = 128; c < 256; ++c) {
        if (kStartTriggers[c] != 0 || kAnyTriggers[c] != 0 || (kClass[c] & kWord) != 0) {
            return false;
        }
    }
    return true;
}
static_assert(ascii_triggers(), "the nibble tables hold ASCII sets only");

[[nodiscard]] inline __m128i load16(const void* q) noexcept
{
    return _mm_loadu_si128(static_cast<const __m128i*>(q));
}

// The bit of each byte of `v` in the set whose low-nibble table is `low`.
__attribute__((target("ssse3"))) [[nodiscard]] inline unsigned
in_set(__m128i low_nibble, __m128i high_bit, const Nibbles& low) noexcept
{
    const __m128i hit = _mm_and_si128(_mm_shuffle_epi8(load16(low.data()), low_nibble), high_bit);
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(hit, _mm_setzero_si128()))) &
           0xffffu;
}

__attribute__((target("ssse3"))) [[nodiscard]] inline uint64_t
marks16_ssse3(const unsigned char* q, unsigned* prev) noexcept
{
    const __m128i v = load16(q);
    const __m128i fifteen = _mm_set1_epi8(15);
    const __m128i low = _mm_and_si128(v, fifteen);
    const __m128i high =
        _mm_shuffle_epi8(load16(kHighBit.data()), _mm_and_si128(_mm_srli_epi16(v, 4), fifteen));
    const unsigned w = in_set(low, high, kWordLow);
    const unsigned t = in_set(low, high, kStartLow);
    const unsigned s = in_set(low, high, kSeparatorLow);
    const unsigned first = w & ~((w << 1) | *prev);
    *prev = (w >> 15) & 1u;
    return s | (t & first);
}

__attribute__((target("ssse3"))) [[nodiscard]] uint64_t
block_marks_ssse3(const unsigned char* q, Py_ssize_t len, unsigned* prev) noexcept
{
    if (len != 64) {
        return marks_portable(q, len, prev);
    }
    uint64_t marks = marks16_ssse3(q, prev);
    marks |= marks16_ssse3(q + 16, prev) << 16;
    marks |= marks16_ssse3(q + 32, prev) << 32;
    return marks | marks16_ssse3(q + 48, prev) << 48;
}

// SSE2 alone: every word start is a candidate, as the two-byte heads in the
// loop below drop a word for less than range compares of the start bytes
// would cost here, and the separators are compared one by one.
[[nodiscard]] inline __m128i in_range(__m128i v, char lo, char span) noexcept
{
    __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
}

constexpr size_t separator_count()
{
    size_t n = 0;
    for (size_t c = 0; c < 256; ++c) {
        n += kAnyTriggers[c] != 0 ? 1 : 0;
    }
    return n;
}

constexpr std::array<char, separator_count()> make_separators()
{
    std::array<char, separator_count()> out{};
    size_t n = 0;
    for (size_t c = 0; c < 256; ++c) {
        if (kAnyTriggers[c] != 0) {
            out[n++] = static_cast<char>(c);
        }
    }
    return out;
}

constexpr auto kSeparators = make_separators();

[[nodiscard]] inline uint64_t marks16_sse2(const unsigned char* q, unsigned* prev) noexcept
{
    const __m128i v = load16(q);
    const __m128i word = _mm_or_si128(
        _mm_or_si128(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 25), in_range(v, '0', 9)),
        _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
    __m128i separator = _mm_setzero_si128();
    for (char c : kSeparators) {
        separator = _mm_or_si128(separator, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    }
    const auto w = static_cast<unsigned>(_mm_movemask_epi8(word));
    const auto s = static_cast<unsigned>(_mm_movemask_epi8(separator));
    const unsigned first = w & ~((w << 1) | *prev);
    *prev = (w >> 15) & 1u;
    return s | first;
}

[[nodiscard]] uint64_t block_marks_sse2(const unsigned char* q, Py_ssize_t len,
                                        unsigned* prev) noexcept
{
    if (len != 64) {
        return marks_portable(q, len, prev);
    }
    uint64_t marks = marks16_sse2(q, prev);
    marks |= marks16_sse2(q + 16, prev) << 16;
    marks |= marks16_sse2(q + 32, prev) << 32;
    return marks | marks16_sse2(q + 48, prev) << 48;
}

using BlockMarks = uint64_t (*)(const unsigned char*, Py_ssize_t, unsigned*) noexcept;

// Chosen at the first scan.  Scans may run without the GIL, so the pointer
// is read and written atomically; threads that race store the same value.
BlockMarks block_marks_chosen = nullptr;

[[nodiscard]] BlockMarks block_marks_for_this_cpu() noexcept
{
    BlockMarks chosen = __atomic_load_n(&block_marks_chosen, __ATOMIC_RELAXED);
    if (chosen == nullptr) {
        __builtin_cpu_init();
        chosen = __builtin_cpu_supports("ssse3") ? block_marks_ssse3 : block_marks_sse2;
        __atomic_store_n(&block_marks_chosen, chosen, __ATOMIC_RELAXED);
    }
    return chosen;
}
#else
using BlockMarks = uint64_t (*)(const unsigned char*, Py_ssize_t, unsigned*) noexcept;

[[nodiscard]] BlockMarks block_marks_for_this_cpu() noexcept
{
    return marks_portable;
}
#endif

// Scans in blocks of 64 bytes: a branch-free pass marks the candidates in a
// bit mask, then only the marked positions are looked at.  Word ends are too
// frequent and irregular for a branch per word to predict well.
}  // namespace

#if defined(ZR_COUNT_WORK) && defined(__SSE2__)
bool choose_candidate_pass(std::string_view name) noexcept
{
    BlockMarks chosen = name == "ssse3"      ? block_marks_ssse3
                        : name == "sse2"     ? block_marks_sse2
                        : name == "portable" ? marks_portable
                                             : nullptr;
    __builtin_cpu_init();
    if (chosen == nullptr || (chosen == block_marks_ssse3 && !__builtin_cpu_supports("ssse3"))) {
        return false;
    }
    __atomic_store_n(&block_marks_chosen, chosen, __ATOMIC_RELAXED);
    return true;
}
#endif

int run_scan(Scan& scan, uint32_t detectors)
{
    const uint32_t live = live_entries(detectors);
    const BlockMarks block_marks = block_marks_for_this_cpu();
    const unsigned char* p = scan.text.data;  // the candidate pass reads each byte once, uncounted
    const Py_ssize_t n = scan.size;
    Py_ssize_t resume = 0;  // matched text before this is not scanned again
    unsigned prev = 0;      // word flag of the byte before the block
    Py_ssize_t pii_resume = 0;
    for (Py_ssize_t base = 0; base < n; base += 64) {
        // Block by block with the secrets, so spans arrive nearly in order.
        const Py_ssize_t block = n - base < 64 ? n - base : 64;
        if ((detectors & kPiiDetectors) != 0 &&
            scan_pii(scan, base, base + block, detectors, &pii_resume) < 0) {
            return -1;
        }
        uint64_t marks = block_marks(p + base, block, &prev);
        while (marks != 0) {
            Py_ssize_t at = base + __builtin_ctzll(marks);
            marks &= marks - 1;
            if (at < resume) {
                continue;
            }
            unsigned char c = p[at];
            unsigned pair = unsigned{c} << 8 | (at + 1 < n ? p[at + 1] : 0u);
            if (!(kHeads[pair / 64] & (uint64_t{1} << (pair % 64)))) {
                continue;
            }
            uint32_t entries = ((kClass[c] & kWord) ? kStartTriggers[c] : kAnyTriggers[c]) &
                               kSeconds[pair & 0xff] & live;
            // Without a branch: which way it goes is as random as the text.
            const unsigned tail = (pair & 0xff) << 8 | (at + 2 < n ? p[at + 2] : 0u);
            const auto fits = static_cast<uint32_t>((kFamilyTails[tail / 64] >> (tail % 64)) & 1u);
            entries &= ~kFamilyEntry | (0u - fits);
            if (entries != 0) {
                Py_ssize_t found = try_entries(scan, at, entries);
                if (found < 0) {
                    return -1;
                }
                resume = found > resume ? found : resume;
            }
        }
    }
    return 0;
}

}  // namespace zentrove::redact::detect
