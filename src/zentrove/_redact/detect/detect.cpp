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
};

// The pair matcher serves key=value and AWS secrets under a secret-ish key,
// so a separator is parsed once.
constexpr std::array<Entry, 16> kEntries = {{
    {kAuthorization, 0, true, "BebeBEbEBabaBAbA", match_authorization},
    {kJwt, 0, true, "ey", match_jwt},
    {kPrivateKey, 0, false, "--", match_private_key},
    {kUrlCredentials, 0, false, "@?", match_url_credentials},
    {kKeyValue, uint32_t{1} << kAws, false, "=?:?", match_pair},
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
     match_family},
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

constexpr Heads make_heads()
{
    Heads h{};
    auto set = [&h](unsigned first, unsigned second) {
        unsigned pair = first << 8 | second;
        h[pair / 64] |= uint64_t{1} << (pair % 64);
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
        if (kEntries[e].match == match_family) {
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
        unsigned pair = second << 8 | third;
        h[pair / 64] |= uint64_t{1} << (pair % 64);
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
// The same for 16 bytes with SSE2 compares, which x86-64 always has, but
// every word start is a candidate: with the vendor families most letters
// start some token, and the two-byte heads in the loop below drop a word
// for less than a compare per start byte would cost here.  The separators
// are the table's own, as the static_assert checks.
constexpr std::string_view kSimdSeparators = "=:@->~,|";

constexpr bool simd_sets_match()
{
    for (size_t c = 0; c < 256; ++c) {
        bool sep = kSimdSeparators.find(static_cast<char>(c)) != std::string_view::npos;
        if (sep != (kAnyTriggers[c] != 0)) {
            return false;
        }
    }
    return true;
}
static_assert(simd_sets_match());

[[nodiscard]] inline __m128i in_range(__m128i v, char lo, char span) noexcept
{
    __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
}

[[nodiscard]] inline __m128i any_of(__m128i v, std::string_view bytes) noexcept
{
    __m128i hit = _mm_setzero_si128();
    for (char c : bytes) {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
    }
    return hit;
}

[[nodiscard]] inline uint64_t marks16(const unsigned char* q, unsigned* prev) noexcept
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    __m128i word = _mm_or_si128(
        _mm_or_si128(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 25), in_range(v, '0', 9)),
        _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
    auto w = static_cast<unsigned>(_mm_movemask_epi8(word));
    auto s = static_cast<unsigned>(_mm_movemask_epi8(any_of(v, kSimdSeparators)));
    unsigned first = w & ~((w << 1) | *prev);
    *prev = (w >> 15) & 1u;
    return s | first;
}
#endif

[[nodiscard]] uint64_t block_marks(const unsigned char* q, Py_ssize_t len, unsigned* prev) noexcept
{
#if defined(__SSE2__)
    if (len == 64) {
        uint64_t marks = marks16(q, prev);
        marks |= marks16(q + 16, prev) << 16;
        marks |= marks16(q + 32, prev) << 32;
        return marks | marks16(q + 48, prev) << 48;
    }
#endif
    return marks_portable(q, len, prev);
}

// Scans in blocks of 64 bytes: a branch-free pass marks the candidates in a
// bit mask, then only the marked positions are looked at.  Word ends are too
// frequent and irregular for a branch per word to predict well.
}  // namespace

int run_scan(Scan& scan, uint32_t detectors)
{
    const uint32_t live = live_entries(detectors);
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
