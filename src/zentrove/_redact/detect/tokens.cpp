// Matchers for secrets known by their own shape: HTTP credentials, JWTs, PEM
// private keys and the vendors' tokens with documented prefixes.  Each is
// tried where a word starts with one of its trigger bytes.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

// A vendor token: a fixed prefix, then a body of one byte class whose length
// must fall in [min, max] (a longer run is some other word).
struct Prefixed {
    std::string_view prefix;
    uint8_t body;
    Py_ssize_t min;
    Py_ssize_t max;
};

// No prefix of a table starts another, so the first that the text holds is
// the only one: its body decides.
template <size_t N>
constexpr bool prefix_free(const std::array<Prefixed, N>& table)
{
    for (const Prefixed& a : table) {
        for (const Prefixed& b : table) {
            if (&a != &b && b.prefix.starts_with(a.prefix)) {
                return false;
            }
        }
    }
    return true;
}

constexpr size_t kLongestPrefix = 12;

template <size_t N>
constexpr bool prefixes_fit(const std::array<Prefixed, N>& table)
{
    for (const Prefixed& p : table) {
        if (p.prefix.size() < 2 || p.prefix.size() > kLongestPrefix) {
            return false;
        }
    }
    return true;
}

template <size_t N>
[[nodiscard]] Py_ssize_t match_prefixed(Scan& scan, Py_ssize_t at, int detector,
                                        const std::array<Prefixed, N>& table)
{
    // The text's first bytes, read once for all the prefixes: most share a
    // first byte, so a table is walked at each trigger.
    size_t longest = 0;
    for (const Prefixed& p : table) {
        longest = p.prefix.size() > longest ? p.prefix.size() : longest;
    }
    unsigned char head[kLongestPrefix];
    size_t held = 0;
    while (held < longest && at + static_cast<Py_ssize_t>(held) < scan.size) {
        head[held] = scan.text[at + static_cast<Py_ssize_t>(held)];
        ++held;
    }
    for (const Prefixed& p : table) {
        // The first byte is the trigger's, the next two tell most apart.
        if (p.prefix.size() > held || head[1] != static_cast<unsigned char>(p.prefix[1]) ||
            (p.prefix.size() > 2 && head[2] != static_cast<unsigned char>(p.prefix[2])) ||
            std::memcmp(head, p.prefix.data(), p.prefix.size()) != 0) {
            continue;
        }
        Py_ssize_t body = at + static_cast<Py_ssize_t>(p.prefix.size());
        Py_ssize_t n = scan.run(body, p.body, p.max + 1);
        if (n < p.min || n > p.max) {
            return 0;
        }
        if (scan.add(at, body + n, detector) < 0) {
            return -1;
        }
        return body + n;
    }
    return 0;
}

// AWS key ids: 20 bytes of [A-Z0-9], the first four naming the kind of key.
constexpr Prefixed aws_id(std::string_view prefix)
{
    const Py_ssize_t body = 20 - static_cast<Py_ssize_t>(prefix.size());
    return {prefix, kUpper | kDigit, body, body};
}

constexpr std::array<Prefixed, 13> kAwsKeyIds = {{
    aws_id("AKIA"),
    aws_id("ASIA"),
    aws_id("ABIA"),
    aws_id("ACCA"),
    aws_id("AGPA"),
    aws_id("AIDA"),
    aws_id("AIPA"),
    aws_id("ANPA"),
    aws_id("ANVA"),
    aws_id("AROA"),
    aws_id("APKA"),
    aws_id("ASCA"),
    aws_id("A3T"),  // A3T and one more byte, as older ids have
}};

// GitLab tokens: a prefix naming the kind, then 20 to 255 base64url bytes.
constexpr Prefixed gitlab(std::string_view prefix)
{
    return {prefix, kB64Url, 20, 255};
}

constexpr std::array<Prefixed, 12> kGitlabTokens = {{
    gitlab("glpat-"),
    gitlab("gldt-"),
    gitlab("glrt-"),
    gitlab("glptt-"),
    gitlab("glsoat-"),
    gitlab("gloas-"),
    gitlab("glcbt-"),
    gitlab("glimt-"),
    gitlab("glagent-"),
    gitlab("glffct-"),
    gitlab("glft-"),
    gitlab("GR1348941"),
}};

static_assert(prefix_free(kAwsKeyIds) && prefix_free(kGitlabTokens));
static_assert(prefixes_fit(kAwsKeyIds) && prefixes_fit(kGitlabTokens));

[[nodiscard]] bool starts_folded(const Scan& scan, Py_ssize_t at, std::string_view lower) noexcept
{
    if (scan.size - at < static_cast<Py_ssize_t>(lower.size())) {
        return false;
    }
    for (size_t i = 0; i < lower.size(); ++i) {
        if ((scan.text[at + static_cast<Py_ssize_t>(i)] | 0x20) != lower[i]) {
            return false;
        }
    }
    return true;
}

constexpr int base64_value(unsigned char c) noexcept
{
    return c >= 'A' && c <= 'Z'   ? c - 'A'
           : c >= 'a' && c <= 'z' ? c - 'a' + 26
           : c >= '0' && c <= '9' ? c - '0' + 52
           : c == '+'             ? 62
           : c == '/'             ? 63
                                  : -1;
}

// Does the base64 text decode to printable `user:password`?  A word that
// merely follows "Basic" in prose does not.
[[nodiscard]] bool basic_credentials(const unsigned char* s, Py_ssize_t n) noexcept
{
    if (n % 4 == 1) {
        return false;
    }
    bool colon = false;
    uint32_t bits = 0;
    int held = 0;
    Py_ssize_t decoded = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        bits = (bits << 6) | static_cast<uint32_t>(base64_value(s[i]));
        held += 6;
        if (held >= 8) {
            held -= 8;
            unsigned byte = (bits >> held) & 0xff;
            if (byte < 0x20 || byte == 0x7f) {
                return false;
            }
            colon |= byte == ':';
            ++decoded;
        }
    }
    return colon && decoded >= 3;
}

// Does the text after "Bearer" look like a credential rather than a word?
// It must be long enough and carry a digit, a symbol or an inner capital,
// or be longer than any word of prose.
[[nodiscard]] bool bearer_token(const unsigned char* s, Py_ssize_t n) noexcept
{
    if (n < 6) {
        return false;
    }
    if (n >= 20) {
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint8_t k = kClass[s[i]];
        if ((k & kDigit) || !(k & (kUpper | kLower)) || (i > 0 && (k & kUpper))) {
            return true;
        }
    }
    return false;
}

}  // namespace

Py_ssize_t match_authorization(Scan& scan, Py_ssize_t at, int detector)
{
    bool basic = starts_folded(scan, at, "basic");
    if (!basic && !starts_folded(scan, at, "bearer")) {
        return 0;
    }
    Py_ssize_t gap = at + (basic ? 5 : 6);
    Py_ssize_t begin = gap;
    while (scan.at(begin) == ' ' || scan.at(begin) == '\t') {
        ++begin;
    }
    if (begin == gap) {
        return 0;
    }
    Py_ssize_t n = scan.run(begin, basic ? kB64 : kToken68, 8192);
    if (!basic) {
        while (n > 0 && scan.text[begin + n - 1] == '.') {
            --n;  // the end of a sentence, not of the token
        }
    }
    Py_ssize_t pad = 0;
    while (pad < 2 && scan.at(begin + n + pad) == '=') {
        ++pad;
    }
    if (is(scan.at(begin + n + pad), kWord)) {
        return 0;
    }
    examined(n);
    if (basic ? !basic_credentials(scan.text + begin, n) : !bearer_token(scan.text + begin, n)) {
        return 0;
    }
    if (scan.add(begin, begin + n + pad, detector) < 0) {
        return -1;
    }
    return begin + n + pad;
}

Py_ssize_t match_jwt(Scan& scan, Py_ssize_t at, int detector)
{
    // Header and payload are base64url JSON objects: `{"` encodes as "eyJ".
    // Other "ey" headers count when the payload starts so too and a '.'
    // closes it, as looser public patterns write a token.
    const bool json = scan.has(at, "eyJ");
    if (!json && !scan.has(at, "ey")) {
        return 0;
    }
    Py_ssize_t end = at + scan.run(at, kB64Url);
    if (end - at < 10 || scan.at(end) != '.') {
        return 0;
    }
    // The payload and signature as base64 of either alphabet: a token
    // copied from a JSON string may hold '/' and '+'.
    constexpr uint8_t body = kB64Url | kB64;
    Py_ssize_t payload = scan.run(end + 1, body);
    const bool dotted = scan.at(end + 1 + payload) == '.';
    if (payload < 2 || (!json && (payload < 10 || !dotted || !scan.has(end + 1, "ey")))) {
        return 0;
    }
    if (!dotted) {
        // No signature part and no dot before it: two JSON objects in a
        // row still make a token.
        if (payload < 10 || !scan.has(end + 1, "eyJ")) {
            return 0;
        }
        end += 1 + payload;
        if (scan.add(at, end, detector) < 0) {
            return -1;
        }
        return end;
    }
    end += 2 + payload;
    end += scan.run(end, body);
    // An encrypted token has five parts.
    while (scan.at(end) == '.' && is(scan.at(end + 1), body)) {
        end += 1 + scan.run(end + 1, body);
    }
    for (int pad = 0; pad < 2 && scan.at(end) == '='; ++pad) {
        ++end;
    }
    if (scan.add(at, end, detector) < 0) {
        return -1;
    }
    return end;
}

Py_ssize_t match_private_key(Scan& scan, Py_ssize_t at, int detector)
{
    constexpr std::string_view begin_marker = "-----BEGIN ";
    if (!scan.has(at, begin_marker)) {
        return 0;
    }
    Py_ssize_t label = at + static_cast<Py_ssize_t>(begin_marker.size());
    Py_ssize_t n = 0;
    while (n < 64 && (is(scan.at(label + n), kUpper | kDigit) || scan.at(label + n) == ' ')) {
        ++n;
    }
    std::string_view name(reinterpret_cast<const char*>(scan.text + label),
                          static_cast<size_t>(n));
    examined(n);
    if (name.find("PRIVATE KEY") == std::string_view::npos || !scan.has(label + n, "-----")) {
        return 0;
    }
    // The markers stay readable; the body goes, up to the end marker or, for
    // a truncated block, to the end of the text.
    Py_ssize_t body = label + n + 5;
    Py_ssize_t end = body + searched(scan.text + body,
                                     memmem(scan.text + body,
                                            static_cast<size_t>(scan.size - body), "-----END ", 9),
                                     scan.size - body, 9);
    if (end == body) {
        return 0;
    }
    if (scan.add(body, end, detector) < 0) {
        return -1;
    }
    return end;
}

Py_ssize_t match_aws_key_id(Scan& scan, Py_ssize_t at, int detector)
{
    Py_ssize_t end = match_prefixed(scan, at, detector, kAwsKeyIds);
    if (end <= 0) {
        return end;
    }
    // A secret key printed next to its key id, on the same line, goes too.
    Py_ssize_t reach = scan.size - end < 160 ? scan.size : end + 160;
    Py_ssize_t i = scan.memos().secret_or_line.next(end, reach, 0, [&scan](Py_ssize_t j) {
        return scan.text[j] == '\n' || (!is(scan.at(j - 1), kB64) && aws_secret_at(scan, j));
    });
    if (i < 0 || scan.text[i] == '\n') {
        return end;
    }
    if (scan.add(i, i + 40, detector) < 0) {
        return -1;
    }
    return i + 40;
}

Py_ssize_t match_gitlab(Scan& scan, Py_ssize_t at, int detector)
{
    Py_ssize_t end = match_prefixed(scan, at, detector, kGitlabTokens);
    // A routable token ends in '.' and nine base36 bytes (version and
    // check), which would name the token if left.
    if (end <= 0 || scan.at(end) != '.' || scan.run(end + 1, kAlnum, 10) != 9) {
        return end;
    }
    for (Py_ssize_t i = end + 1; i < end + 10; ++i) {
        if (is(scan.text[i], kUpper)) {
            return end;
        }
    }
    if (scan.add(end, end + 10, detector) < 0) {
        return -1;
    }
    return end + 10;
}

Py_ssize_t match_slack_webhook(Scan& scan, Py_ssize_t at, int detector)
{
    constexpr std::string_view host = "hooks.slack.com/";
    if (!scan.has(at, host)) {
        return 0;
    }
    Py_ssize_t body = at + static_cast<Py_ssize_t>(host.size());
    // Incoming webhooks, and those of workflows and their triggers.
    bool found = false;
    for (std::string_view path : {"services/", "workflows/", "triggers/"}) {
        if (scan.has(body, path)) {
            body += static_cast<Py_ssize_t>(path.size());
            found = true;
            break;
        }
    }
    if (!found) {
        return 0;
    }
    Py_ssize_t n = scan.run(body, kB64Url | kB64);
    if (n < 20) {
        return 0;
    }
    // The whole address goes, with its scheme: it is the credential, and a
    // workflow's path alone would leave the kind of secret readable.
    Py_ssize_t begin = at;
    for (std::string_view scheme : {"https://", "http://"}) {
        const Py_ssize_t from = at - static_cast<Py_ssize_t>(scheme.size());
        if (scan.has(from, scheme) && !is(scan.at(from - 1), kWord)) {
            begin = from;
            break;
        }
    }
    if (scan.add(begin, body + n, detector) < 0) {
        return -1;
    }
    return body + n;
}

bool aws_secret_at(const Scan& scan, Py_ssize_t at) noexcept
{
    if (scan.size - at < 40 || scan.run(at, kB64, 41) != 40 || scan.at(at + 40) == '=') {
        return false;
    }
    uint8_t seen = 0;
    for (Py_ssize_t i = at; i < at + 40; ++i) {
        seen |= kClass[scan.text[i]];
    }
    return (seen & kUpper) && (seen & kLower) && (seen & kDigit);
}

Py_ssize_t match_telegram(Scan& scan, Py_ssize_t at, int detector)
{
    // A bot token: its bot's id (5 to 16 digits), ':', 'A' and 34 bytes
    // (the bot ids of today have 8 to 10 digits and "AA").
    if (scan.at(at + 1) != 'A') {
        return 0;
    }
    Py_ssize_t digits = 0;
    while (digits < 17 && is(scan.at(at - digits - 1), kDigit)) {
        ++digits;
    }
    if (digits < 5 || digits > 16 || is(scan.at(at - digits - 1), kWord)) {
        return 0;
    }
    if (scan.run(at + 2, kB64Url, 35) != 34) {
        return 0;
    }
    if (scan.add(at - digits, at + 36, detector) < 0) {
        return -1;
    }
    return at + 36;
}

namespace {

[[nodiscard]] bool azure_byte(unsigned char c) noexcept
{
    return is(c, kWord) || c == '~' || c == '.';
}

}  // namespace

Py_ssize_t match_azure_secret(Scan& scan, Py_ssize_t at, int detector)
{
    // A client secret: three bytes, a digit and "Q~" (from the '~' back),
    // then 31 to 34 bytes of [A-Za-z0-9_~.-].
    const Py_ssize_t begin = at - 5;
    if (begin < 0 || scan.at(at - 1) != 'Q' || !is(scan.at(at - 2), kDigit) ||
        azure_byte(scan.at(begin - 1))) {
        return 0;
    }
    for (Py_ssize_t i = begin; i < at - 2; ++i) {
        if (!azure_byte(scan.text[i])) {
            return 0;
        }
    }
    const Py_ssize_t n = scan.run(at + 1, kToken68, 35);
    if (n < 31 || n > 34) {
        return 0;
    }
    for (Py_ssize_t i = at + 1; i < at + 1 + n; ++i) {
        if (scan.text[i] == '+' || scan.text[i] == '/') {
            return 0;
        }
    }
    if (scan.add(begin, at + 1 + n, detector) < 0) {
        return -1;
    }
    return at + 1 + n;
}

}  // namespace zentrove::redact::detect
