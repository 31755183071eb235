// What the detector files share: byte classes, the scan state that collects
// the spans to mask (byte offsets into the UTF-8 of the scanned str), and the
// matchers that the table in detect/detect.cpp dispatches to.
#pragma once

#include "_redact/redact.h"

#include <array>
#include <cstring>
#include <string_view>

namespace zentrove::redact::detect {

// Detector bits, in the order of their names in detect/api.cpp.
enum : int {
    kAuthorization,
    kJwt,
    kPrivateKey,
    kUrlCredentials,
    kKeyValue,
    kAws,
    kGithub,
    kGitlab,
    kSlack,
    kStripe,
    kGoogle,
    kCard,
    kTokens,  // the vendor families of detect/families.h, the rules of detect/keywords.h
    kEmail,
    kIpv4,
    kIpv6,
    kPhone,
    kIban,
    kUsSsn,
    kMac,
    kIpv4Public,
    kIpv6Public,
    kCount
};
static_assert(kCount == kDetectorCount, "Globals::detector_names holds one per detector");
inline constexpr uint32_t kAllDetectors = (uint32_t{1} << kCount) - 1;
// The secrets, what detect=True means, come first in the enum (up to
// kTokens); personal data after them, only when named.
inline constexpr int kSecretCount = kTokens + 1;
inline constexpr uint32_t kSecretDetectors = (uint32_t{1} << kSecretCount) - 1;
inline constexpr uint32_t kPiiDetectors = kAllDetectors & ~kSecretDetectors;

// Byte classes, one table so a scan loop pays one load per byte.
enum : uint8_t {
    kWord = 1,      // [A-Za-z0-9_]: a start trigger only fires where a word starts
    kDigit = 2,     // [0-9]
    kUpper = 4,     // [A-Z]
    kLower = 8,     // [a-z]
    kB64 = 16,      // standard base64 body: [A-Za-z0-9+/]
    kB64Url = 32,   // base64url body and token bodies: [A-Za-z0-9_-]
    kToken68 = 64,  // HTTP credentials: [A-Za-z0-9-._~+/]
    kKey = 128,     // a key in key=value text: [A-Za-z0-9_.-] and non-ASCII
};

inline constexpr uint8_t kAlnum = kDigit | kUpper | kLower;  // [A-Za-z0-9]

constexpr std::array<uint8_t, 256> make_classes()
{
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        uint8_t k = 0;
        bool digit = c >= '0' && c <= '9';
        bool upper = c >= 'A' && c <= 'Z';
        bool lower = c >= 'a' && c <= 'z';
        bool alnum = digit || upper || lower;
        if (alnum || c == '_') {
            k |= kWord;
        }
        if (digit) {
            k |= kDigit;
        }
        if (upper) {
            k |= kUpper;
        }
        if (lower) {
            k |= kLower;
        }
        if (alnum || c == '+' || c == '/') {
            k |= kB64;
        }
        if (alnum || c == '_' || c == '-') {
            k |= kB64Url;
        }
        if (alnum || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/') {
            k |= kToken68;
        }
        if (alnum || c == '_' || c == '.' || c == '-' || c >= 0x80) {
            k |= kKey;
        }
        t[static_cast<size_t>(c)] = k;
    }
    return t;
}

inline constexpr std::array<uint8_t, 256> kClass = make_classes();

[[nodiscard]] inline bool is(unsigned char c, uint8_t cls) noexcept
{
    return (kClass[c] & cls) != 0;
}

[[nodiscard]] inline bool digit(unsigned char c) noexcept
{
    return is(c, kDigit);
}

// A hex digit's value, or -1.
[[nodiscard]] inline int hex_value(unsigned char c) noexcept
{
    if (digit(c)) {
        return c - '0';
    }
    c = static_cast<unsigned char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

[[nodiscard]] inline bool blank(unsigned char c) noexcept
{
    return c == ' ' || c == '\t';
}

[[nodiscard]] inline bool space(unsigned char c) noexcept
{
    return blank(c) || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

[[nodiscard]] inline bool quote(unsigned char c) noexcept
{
    return c == '"' || c == '\'';
}

// Work counting, for the tests of linear time: a build with Py_DEBUG (the
// debug interpreter's) or ZENTROVE_COUNT_WORK counts every byte of the text
// that a matcher reads, and zentrove._redact._bytes_examined() tells.  The
// JSON text path scans without the GIL, so the count is added to atomically
// (a thread_local would make the module need the dynamic loader's TLS).
#if defined(Py_DEBUG) || defined(ZENTROVE_COUNT_WORK)
#define ZR_COUNT_WORK 1
inline Py_ssize_t bytes_examined = 0;
inline void examined(Py_ssize_t n) noexcept
{
    __atomic_fetch_add(&bytes_examined, n, __ATOMIC_RELAXED);
}
#else
inline void examined(Py_ssize_t) noexcept {}
#endif

// The scanned bytes: an index reads one byte and counts it; `+` gives a raw
// pointer for the C library's searches, whose callers count what they read.
struct Bytes {
    const unsigned char* data;

    unsigned char operator[](Py_ssize_t i) const noexcept
    {
        examined(1);
        return data[i];
    }
    const unsigned char* operator+(Py_ssize_t i) const noexcept { return data + i; }
};

// Where a search of the C library stopped: the offset of `found` from
// `base`, or `n` when it found nothing; the bytes up to there (and the
// `width` of what it found) count as read.
[[nodiscard]] inline Py_ssize_t searched(const unsigned char* base, const void* found,
                                         Py_ssize_t n, Py_ssize_t width = 1) noexcept
{
    Py_ssize_t stop = found != nullptr ? static_cast<const unsigned char*>(found) - base : n;
    examined(found != nullptr ? stop + width : n);
    return stop;
}

// A search forward for the first position that passes a test, which later
// searches from inside the stretch already read continue instead of reading
// it again.  The tests are pure functions of the text and `key`, and callers
// ask from positions that do not go back, so each byte is tested about once.
struct Ahead {
    Py_ssize_t from;  // [from, to) holds no hit
    Py_ssize_t to;    // and `to` is one when `hit`
    Py_ssize_t key;   // what the test depends on besides the text
    bool hit;

    // The first position in [start, limit) that passes `test`, or -1.
    template <class Test>
    [[nodiscard]] Py_ssize_t next(Py_ssize_t start, Py_ssize_t limit, Py_ssize_t of,
                                  Test&& test) noexcept
    {
        Py_ssize_t i = start;
        if (of == key && from <= start && start <= to) {
            if (hit) {
                return to < limit ? to : -1;
            }
            i = to;
        }
        else {
            from = start;
            key = of;
        }
        for (; i < limit; ++i) {
            if (test(i)) {
                to = i;
                hit = true;
                return i;
            }
        }
        to = i;
        hit = false;
        return -1;
    }
};

// The same backward: the last position before `start` that passes the test.
struct Behind {
    Py_ssize_t from;   // none in (found, from)
    Py_ssize_t found;  // a hit, or -1 for none down to the text's start

    template <class Test>
    [[nodiscard]] Py_ssize_t last(Py_ssize_t start, Test&& test) noexcept
    {
        const bool known = from >= 0 && from <= start;
        const Py_ssize_t floor = known ? from : 0;
        Py_ssize_t i = start;
        while (i > floor && !test(i - 1)) {
            --i;
        }
        found = i > floor ? i - 1 : known ? found : -1;
        from = start;
        return found;
    }
};

// A run of value bytes that detect/keywords.cpp read, [from, to), and how
// many operators tried a value that starts inside it.
struct Stretch {
    Py_ssize_t from;
    Py_ssize_t to;
    int tries;
};

// Whether a string literal is open at `pos` on its line: the quote that
// opened it, or 0.  Read forward from the last position asked, or from the
// line's start.
struct Quotes {
    Py_ssize_t pos;
    unsigned char open;
};

// One span of bytes to mask, and the detector that found it.
struct Span {
    Py_ssize_t begin;
    Py_ssize_t end;
    int detector;
};

// The state of one scan: the text, what may fire, and the spans found so
// far, kept sorted and disjoint.
class Scan {
public:
    Scan(const unsigned char* text, Py_ssize_t size, const Rules* rules, uint32_t detectors,
         Py_ssize_t value_from = 0, PyThreadState** released = nullptr) noexcept
        : text{text}, size(size), rules(rules), detectors(detectors), value_from(value_from),
          released_(released)
    {
    }
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;
    ~Scan()
    {
        if (spans_ != inline_spans_) {
            PyMem_RawFree(spans_);
        }
    }

    const Bytes text;  // UTF-8, not NUL-terminated
    const Py_ssize_t size;
    const Rules* const rules;  // key rules for key=value text; NULL: none match
    const uint32_t detectors;  // bit per detector that may fire
    // Where the caller's value starts: before it, the key that the value
    // was joined to, whose spans fire nothing.
    const Py_ssize_t value_from;
    uint32_t fired = 0;  // bit per detector that masked something in the value

    // Records a span; one that overlaps earlier spans absorbs them, so a
    // backward-looking matcher may add a span that starts before the last.
    // 0, or -1 with MemoryError.
    [[nodiscard]] int add(Py_ssize_t begin, Py_ssize_t end, int detector);

    // The verdict on the key text at [at, at + n), remembered for the rest
    // of the scan: a log repeats its keys line after line.  kRuleKey when
    // the key rules mask it, kWordKey when only the vocabulary of secret
    // words names it (a deny-list's keys and those it keeps can be named so,
    // an allow-list's kept keys not), kKeptKey, or -1 with an exception.
    [[nodiscard]] int key_sensitive(Py_ssize_t at, Py_ssize_t n);

    [[nodiscard]] const Span* spans() const noexcept { return spans_; }
    [[nodiscard]] Py_ssize_t count() const noexcept { return count_; }

    // Does the text hold `s` at `at`?  A byte loop: the strings are short
    // and most calls fail on the first or second byte.
    [[nodiscard]] bool has(Py_ssize_t at, std::string_view s) const noexcept
    {
        if (at < 0 || size - at < static_cast<Py_ssize_t>(s.size())) {
            return false;
        }
        for (size_t i = 0; i < s.size(); ++i) {
            if (text[at + static_cast<Py_ssize_t>(i)] != static_cast<unsigned char>(s[i])) {
                return false;
            }
        }
        return true;
    }
    // Bytes of class `cls` from `at` on, at most `limit`.  A long run is
    // read once: matchers tried again inside it (a JWT's header from every
    // "eyJ" in it, a token prefix within a longer word) find its end in a
    // memo instead.
    [[nodiscard]] Py_ssize_t run(Py_ssize_t at, uint8_t cls,
                                 Py_ssize_t limit = PY_SSIZE_T_MAX) const noexcept
    {
        Py_ssize_t stop = size - at < kShortRun ? size : at + kShortRun;
        Py_ssize_t end = at;
        while (end < stop && is(text[end], cls)) {
            ++end;
        }
        if (end == stop && stop < size) {
            end = long_run_end(at, end, cls);
        }
        return end - at < limit ? end - at : limit;
    }

    // The command around a command-line option, read up to `to` (-1: not
    // yet) from its start, and the clients it names (detect/commands.cpp).
    struct Clients {
        Py_ssize_t to;
        uint32_t kinds;
    };
    // Searches that matchers tried at nearby triggers repeat, remembered.
    // Set up at first use: most scans never need them.
    struct Memos {
        Ahead secret_or_line;   // key ids in a row each look 160 bytes ahead
        Behind tag_bound;       // a `value` attribute looks back for its tag
        Ahead attribute;        // ... and on from there for its `name=`
        Ahead quote_close;      // ... and for where that name's quote closes
        Clients clients;        // options read back to their command's clients
        Ahead extended_run;     // a family's part with '=' or '.' among its bytes
        Stretch keyword_value;  // a=b=c...: each operator's value is in one run
        Quotes quotes;          // keys in a row ask whether a string holds them
        Ahead value_stop;       // where a value under a vocabulary key may end
    };
    [[nodiscard]] Memos& memos() noexcept
    {
        if (!memos_ready_) {
            constexpr Ahead fresh{-1, -1, -1, false};
            constexpr Stretch untried{-1, -1, 0};
            memos_ = Memos{fresh, Behind{-1, -1}, fresh,        fresh, Clients{-1, 0},
                           fresh, untried,        Quotes{0, 0}, fresh};
            memos_ready_ = true;
        }
        return memos_;
    }
    // The byte at `at`, or 0 outside the text.
    [[nodiscard]] unsigned char at(Py_ssize_t i) const noexcept
    {
        return i >= 0 && i < size ? text[i] : 0;
    }

private:
    // A two-way memo of verdicts; a slot names its key by where the key's
    // text sits in the scanned text, and holds the key's first and last
    // eight bytes, which are all of a key of up to 16 bytes: most keys are
    // told without reading them.  Slots are valid by their bit in
    // `filled_`, so a scan of a short string does not clear them all.
    struct Verdict {
        Py_ssize_t at;
        Py_ssize_t size;
        uint64_t head;
        uint64_t tail;
        int sensitive;
    };
    static constexpr size_t kVerdicts = 64;

    // Runs longer than this are remembered, two per byte class (a JWT reads
    // two runs of one class before it can fail).
    static constexpr Py_ssize_t kShortRun = 8;
    struct RunMemo {
        Py_ssize_t begin;  // where a query started
        Py_ssize_t end;    // where the run ends: no byte of the class, or the text's end
    };
    [[nodiscard]] Py_ssize_t long_run_end(Py_ssize_t at, Py_ssize_t from,
                                          uint8_t cls) const noexcept;
    mutable RunMemo runs_[8][2];  // a row is valid by its bit in run_rows_
    mutable uint8_t run_older_[8] = {};
    mutable uint8_t run_rows_ = 0;
    bool memos_ready_ = false;
    Memos memos_;

    uint64_t filled_ = 0;
    uint32_t older_ = 0;  // bit per set of two slots: the second is the one used longer ago
    Verdict verdicts_[kVerdicts];

    Span inline_spans_[8];
    Span* spans_ = inline_spans_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = 8;

    // The caller's GIL as WithGil takes it: the JSON text path scans
    // without it, so matchers call no Python; add() and key_sensitive()
    // take it back where they need it.
    PyThreadState** const released_;
};

// A matcher is tried where one of its trigger bytes sits.  It records what
// it found and returns where the scan resumes (> at), 0 when nothing matched,
// or -1 with an exception.  It may run without the GIL: it calls no Python
// but through the Scan.
using Matcher = Py_ssize_t (*)(Scan& scan, Py_ssize_t at, int detector);

// detect/tokens.cpp: tokens known by their prefix or shape.
Py_ssize_t match_authorization(Scan&, Py_ssize_t, int);
Py_ssize_t match_jwt(Scan&, Py_ssize_t, int);
Py_ssize_t match_private_key(Scan&, Py_ssize_t, int);
Py_ssize_t match_aws_key_id(Scan&, Py_ssize_t, int);
Py_ssize_t match_gitlab(Scan&, Py_ssize_t, int);
Py_ssize_t match_slack_webhook(Scan&, Py_ssize_t, int);
// Tokens known by what sits around a separator: Telegram's bot tokens at
// their ':', Azure AD client secrets at their '~'.
Py_ssize_t match_telegram(Scan&, Py_ssize_t, int);
Py_ssize_t match_azure_secret(Scan&, Py_ssize_t, int);
// detect/families.cpp: the rows of detect/families.h (tokens, github, slack,
// stripe, google).
Py_ssize_t match_family(Scan&, Py_ssize_t, int);
// detect/keywords.cpp: the rows of detect/keywords.h, at an assignment's
// operator.
Py_ssize_t match_keyword(Scan&, Py_ssize_t, int);
// detect/card.cpp
Py_ssize_t match_card(Scan&, Py_ssize_t, int);
// detect/pairs.cpp: text around a separator.
Py_ssize_t match_pair(Scan&, Py_ssize_t, int);
// detect/markup.cpp: an element's text, and the tag around an attribute.
Py_ssize_t match_element(Scan&, Py_ssize_t, int);
// The name that the tag around the attribute at `key` gives in its name= or
// key= attribute, as [*begin, *end); false for none.
[[nodiscard]] bool tag_name(Scan& s, Py_ssize_t key, Py_ssize_t* begin, Py_ssize_t* end) noexcept;
// The longest key a matcher reads back from its separator.
inline constexpr Py_ssize_t kLongestKey = 256;
// detect/url.cpp
Py_ssize_t match_url_credentials(Scan&, Py_ssize_t, int);
// detect/commands.cpp: credentials keyed by a command-line option (at its
// '-') or a .pgpass line's fields (at its first ':'), and .netrc's password
// (at the word).
Py_ssize_t match_command(Scan&, Py_ssize_t, int);
Py_ssize_t match_netrc(Scan&, Py_ssize_t, int);

// The verdicts of Scan::key_sensitive: kept, masked by the key rules, named
// by a word of the vocabulary (a password's, or another secret's).
enum : int { kKeptKey = 0, kRuleKey = 1, kWordKey = 2, kPasswordWordKey = 3 };
// detect/vocabulary.cpp: does the key name a secret by its words
// (`PGPASSWORD`, `X-Api-Key`, `client_secret`; not `token_type`)?
enum class SecretWord { kNone, kPassword, kOther };
[[nodiscard]] SecretWord secret_word_key(const unsigned char* key, Py_ssize_t n) noexcept;

// detect/values.cpp: checks of a value under a secret key, each reading at
// most kCheckedValue bytes.
inline constexpr Py_ssize_t kCheckedValue = 256;
// The end of an identifier or attribute chain from `v` (`self.password`),
// or `v` when none starts there.
[[nodiscard]] Py_ssize_t identifier_end(const Scan& s, Py_ssize_t v) noexcept;
// Is [b, e) a literal of code: None, null, nil, true, false, undefined?
[[nodiscard]] bool code_literal(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept;
// Does [b, e) name a secret rather than hold one: `secret`, `auth_password`,
// `self.token`?
[[nodiscard]] bool names_secret(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept;
// The end of a placeholder from `v` (`%s`, `%(name)s`, `{}`, `{name}`,
// `${NAME}`, `$name`), or `v` when none starts there.
[[nodiscard]] Py_ssize_t placeholder_end(const Scan& s, Py_ssize_t v) noexcept;
// Is [b, e) one byte three times or more: a mask, `xxx`?
[[nodiscard]] bool one_byte_repeated(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept;
// The words from `v` to the line's end or the `enclosing` quote, counted up
// to `enough`.
[[nodiscard]] int words_from(const Scan& s, Py_ssize_t v, unsigned char enclosing,
                             int enough) noexcept;
// Is [b, e) shaped like a credential, for a key that only the vocabulary
// names: 8 bytes or more (a password 6), no blank, quote or parenthesis, a
// digit and a letter, not a path, URL, ARN, version or date, nor a name of
// words (`access_logs.s3.enabled`; nor one word and a number, `objectkey1`,
// but under a password's key)?
[[nodiscard]] bool credential_shaped(const Scan& s, Py_ssize_t b, Py_ssize_t e,
                                     bool password) noexcept;

// detect/pii.cpp: personal data in the bytes [from, to), a block of the
// engine's scan; `resume` is where the last match ended.  0, or -1.
[[nodiscard]] int scan_pii(Scan& scan, Py_ssize_t from, Py_ssize_t to, uint32_t detectors,
                           Py_ssize_t* resume);

#if defined(ZR_COUNT_WORK) && defined(__SSE2__)
// Builds that count work can pick the candidate pass ("ssse3", "sse2",
// "portable"), so tests hold each one to the others; false if this machine
// has no such pass.
[[nodiscard]] bool choose_candidate_pass(std::string_view name) noexcept;
#endif

// Runs the matchers of `detectors` over the scan's text (detect/detect.cpp).
[[nodiscard]] int run_scan(Scan& scan, uint32_t detectors);

// The text with every detected secret masked: a new reference, the same
// object when nothing matched, or NULL with an exception.  `rules` judges the
// keys of key=value text (NULL: none); `mask` is None for one '*' per code
// point, or the str that replaces each secret; `fired` collects the bits of
// the detectors that masked something.  Without `copy`, only `fired` tells.
// With a `key` (UTF-8, NULL for none) the text is a value under that key,
// scanned as the text `key=value` and masked as its value part.
[[nodiscard]] PyObject* scan_text(PyObject* text, uint32_t detectors, const Rules* rules,
                                  PyObject* mask, uint32_t* fired, bool copy = true,
                                  const char* key = nullptr, Py_ssize_t key_size = 0);

// A value as both entries scan it under its key (NULL: none): the text
// `key=value` when the key can change how its value reads (a secret-ish
// key, a dotted path), else the value alone (detect/scan.cpp).
class KeyedValue {
public:
    KeyedValue() noexcept = default;
    KeyedValue(const KeyedValue&) = delete;
    KeyedValue& operator=(const KeyedValue&) = delete;
    ~KeyedValue()
    {
        if (heap_ != nullptr) {  // most values join nothing: spare the call
            PyMem_RawFree(heap_);
        }
    }

    // 0, or -1 with MemoryError (the GIL taken back for it).
    [[nodiscard]] int join(const unsigned char* value, Py_ssize_t value_size, const char* key,
                           Py_ssize_t key_size, PyThreadState** released)
    {
        data = value;
        size = value_size;
        offset = 0;
        return key != nullptr && key_matters(key, key_size) ? join_key(key, key_size, released)
                                                            : 0;
    }
    // The spans of `scan` that reach into the value, from the first on:
    // cut to it and moved on to where code points start (a code point is
    // masked when its first byte is in a span).
    [[nodiscard]] Py_ssize_t first(const Scan& scan) const noexcept
    {
        Py_ssize_t first = 0;
        while (first < scan.count() && scan.spans()[first].end <= offset) {
            ++first;
        }
        return first;
    }
    [[nodiscard]] Span cut(const Span& span) const noexcept
    {
        const unsigned char* value = data + offset;
        const Py_ssize_t n = size - offset;
        Py_ssize_t begin = span.begin > offset ? span.begin - offset : 0;
        Py_ssize_t end = span.end - offset;
        while (begin < n && (value[begin] & 0xC0) == 0x80) {
            ++begin;
        }
        while (end < n && (value[end] & 0xC0) == 0x80) {
            ++end;
        }
        return Span{begin, end, span.detector};
    }

    const unsigned char* data = nullptr;  // the text to scan
    Py_ssize_t size = 0;
    Py_ssize_t offset = 0;  // where the value starts in it

private:
    // Can the key change how its value is read in `key=value`?  Not a key of
    // word bytes without "secret" or "aws" that no secret word names: the
    // '=' then joins no pair that fires (the rules keep the whole key, which
    // has no dotted path), nothing of the value looks back past the '=' and
    // no match in the key reaches past it, but for an AWS key id, which
    // looks ahead for its secret.
    [[nodiscard]] static bool key_matters(const char* key, Py_ssize_t size) noexcept
    {
        const auto* k = reinterpret_cast<const unsigned char*>(key);
        if ((size >= 20 && key[0] == 'A') || secret_word_key(k, size) != SecretWord::kNone) {
            return true;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!is(k[i], kWord)) {
                return true;
            }
            unsigned char c = k[i] | 0x20;
            if ((c == 's' && size - i >= 6 && (k[i + 1] | 0x20) == 'e' &&
                 (k[i + 2] | 0x20) == 'c' && (k[i + 3] | 0x20) == 'r' &&
                 (k[i + 4] | 0x20) == 'e' && (k[i + 5] | 0x20) == 't') ||
                (c == 'a' && size - i >= 3 && (k[i + 1] | 0x20) == 'w' &&
                 (k[i + 2] | 0x20) == 's')) {
                return true;
            }
        }
        return false;
    }
    [[nodiscard]] int join_key(const char* key, Py_ssize_t key_size, PyThreadState** released);

    unsigned char* heap_ = nullptr;  // owned (PyMem_Raw): a long joined text
    unsigned char small_[512];
};

// An AWS secret access key's shape: 40 base64 bytes from `at`, bounded on
// both sides, with upper and lower case letters and a digit.
[[nodiscard]] bool aws_secret_at(const Scan& scan, Py_ssize_t at) noexcept;

// The byte classes that Scan::run remembers runs of, each its own row.
[[nodiscard]] constexpr int run_row(uint8_t cls) noexcept
{
    switch (cls) {
    case kWord: return 0;
    case kDigit: return 1;
    case kUpper | kDigit: return 2;
    case kAlnum: return 3;
    case kB64: return 4;
    case kB64Url: return 5;
    case kB64 | kB64Url: return 6;
    case kToken68: return 7;
    default: return -1;
    }
}

}  // namespace zentrove::redact::detect
