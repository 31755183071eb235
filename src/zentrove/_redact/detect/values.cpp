// What a value under a secret key is not: code (`None`, `self.password`, a
// call), a placeholder (`%s`, `{token}`, `${DB_PASSWORD}`), a mask
// (`****`), the key's own name, prose; and, for a key that only the
// vocabulary names, what a credential looks like.  Each check reads at most
// kCheckedValue bytes, so a value refused is read a bounded number of times.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

[[nodiscard]] bool starts_identifier(unsigned char c) noexcept
{
    return is(c, kUpper | kLower) || c == '_';
}

[[nodiscard]] bool same_folded(const Scan& s, Py_ssize_t b, Py_ssize_t e,
                               std::string_view lower) noexcept
{
    if (e - b != static_cast<Py_ssize_t>(lower.size())) {
        return false;
    }
    for (size_t i = 0; i < lower.size(); ++i) {
        if ((s.text[b + static_cast<Py_ssize_t>(i)] | 0x20) !=
            static_cast<unsigned char>(lower[i])) {
            return false;
        }
    }
    return true;
}

// A value that is one of these words is a name, not a secret:
// `password: secret`, `token=token`.
constexpr std::array<std::string_view, 12> kKeyWords = {
    "password", "passwd", "pwd",  "pass",        "secret",     "token",
    "key",      "apikey", "auth", "credentials", "credential", "passphrase",
};

constexpr std::array<std::string_view, 7> kLiterals = {
    "none", "null", "nil", "true", "false", "undefined", "nothing",
};

// `%s`, `%(name)s`, `%-8r`: a printf conversion.
[[nodiscard]] Py_ssize_t percent_end(const Scan& s, Py_ssize_t v) noexcept
{
    Py_ssize_t e = v + 1;
    if (s.at(e) == '(') {
        while (e - v < kCheckedValue && is(s.at(e + 1), kKey)) {
            ++e;
        }
        if (s.at(e + 1) != ')') {
            return v;
        }
        e += 2;
    }
    while (e - v < 16 && (s.at(e) == '-' || s.at(e) == '.' || digit(s.at(e)))) {
        ++e;
    }
    unsigned char c = s.at(e);
    constexpr std::string_view kConversions = "sdrifxXeEgGcaouv";
    return c != 0 && kConversions.find(static_cast<char>(c)) != std::string_view::npos ? e + 1 : v;
}

// `{}`, `{0}`, `{name}`, `{name!r}`, `{name:>8}`: a format field.
[[nodiscard]] Py_ssize_t brace_end(const Scan& s, Py_ssize_t v) noexcept
{
    Py_ssize_t e = v + 1;
    while (e - v < 64 && (is(s.at(e), kKey) || s.at(e) == '!' || s.at(e) == ':' ||
                          s.at(e) == '>' || s.at(e) == '<')) {
        ++e;
    }
    return s.at(e) == '}' ? e + 1 : v;
}

// Is [b, e) a word of a name and maybe a number after it: `logs`, `s3`,
// `Example1`, `MAX`, `camelCase`; not `8f7e6d5c`, `rqn9wb85`, `zQKr4lwh`?
[[nodiscard]] bool name_word(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept
{
    Py_ssize_t i = b;
    if (is(s.text[i], kUpper)) {
        ++i;
        if (i < e && is(s.text[i], kUpper)) {
            while (i < e && is(s.text[i], kUpper)) {
                ++i;  // capitals alone
            }
            while (i < e && digit(s.text[i])) {
                ++i;
            }
            return i == e;
        }
    }
    // Small letters, each capital starting a run of them: `camelCase`.
    while (i < e && is(s.text[i], kLower)) {
        ++i;
        if (i < e && is(s.text[i], kUpper) && i + 1 < e && is(s.text[i + 1], kLower)) {
            ++i;
        }
    }
    while (i < e && digit(s.text[i])) {
        ++i;
    }
    return i == e;
}

}  // namespace

Py_ssize_t identifier_end(const Scan& s, Py_ssize_t v) noexcept
{
    Py_ssize_t e = v;
    while (e - v < kCheckedValue && starts_identifier(s.at(e))) {
        ++e;
        while (e - v < kCheckedValue && is(s.at(e), kWord)) {
            ++e;
        }
        if (s.at(e) != '.' || !starts_identifier(s.at(e + 1))) {
            break;
        }
        ++e;
    }
    return e;
}

bool code_literal(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept
{
    // The literals start with n, t, f or u: most values are told by a byte.
    const unsigned char first = s.text[b] | 0x20;
    if (e - b < 3 || !(first == 'n' || first == 't' || first == 'f' || first == 'u')) {
        return false;
    }
    for (std::string_view w : kLiterals) {
        if (same_folded(s, b, e, w)) {
            return true;
        }
    }
    return false;
}

bool names_secret(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept
{
    // `secret`, `token`, `password2`: the words start with p, s, t, k, a
    // or c, and a name of parts holds '_', '.' or a capital.
    Py_ssize_t word = e;
    while (word > b && digit(s.text[word - 1])) {
        --word;
    }
    const unsigned char first = s.text[b] | 0x20;
    if (word - b >= 3 && (first == 'p' || first == 's' || first == 't' || first == 'k' ||
                          first == 'a' || first == 'c')) {
        for (std::string_view w : kKeyWords) {
            if (same_folded(s, b, word, w)) {
                return true;
            }
        }
    }
    // A name of parts, `auth_password`, `self.token`, `authToken`; one word
    // that merely ends in one (`mypassword`) may be a password.
    bool parts = false;
    for (Py_ssize_t i = b; i < e && !parts; ++i) {
        unsigned char c = s.text[i];
        parts = c == '_' || c == '.' || (i > b && is(c, kUpper) && is(s.text[i - 1], kLower));
    }
    return parts && secret_word_key(s.text + b, e - b) != SecretWord::kNone;
}

Py_ssize_t placeholder_end(const Scan& s, Py_ssize_t v) noexcept
{
    unsigned char c = s.at(v);
    if (c == '%') {
        return percent_end(s, v);
    }
    if (c == '{') {
        return brace_end(s, v);
    }
    if (c == '$') {
        // `${NAME}`, `$NAME`, `$name` of a shell, PHP or a template.
        if (s.at(v + 1) == '{') {
            Py_ssize_t e = brace_end(s, v + 1);
            return e > v + 1 ? e : v;
        }
        Py_ssize_t e = v + 1;
        while (e - v < kCheckedValue && is(s.at(e), kWord)) {
            ++e;
        }
        return e > v + 1 && starts_identifier(s.at(v + 1)) ? e : v;
    }
    return v;
}

bool one_byte_repeated(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept
{
    if (e - b < 3) {
        return false;
    }
    for (Py_ssize_t i = b + 1; i < e; ++i) {
        if (s.text[i] != s.text[b]) {
            return false;
        }
    }
    return true;
}

int words_from(const Scan& s, Py_ssize_t v, unsigned char enclosing, int enough) noexcept
{
    int words = 0;
    Py_ssize_t i = v;
    while (words < enough && i - v < kCheckedValue) {
        while (blank(s.at(i))) {
            ++i;
        }
        unsigned char c = s.at(i);
        if (c == 0 || c == '\n' || c == '\r' || c == enclosing) {
            break;
        }
        ++words;
        while (i - v < kCheckedValue && !space(s.at(i)) && s.at(i) != 0 && s.at(i) != enclosing) {
            ++i;
        }
    }
    return words;
}

bool credential_shaped(const Scan& s, Py_ssize_t b, Py_ssize_t e, bool password) noexcept
{
    const Py_ssize_t n = e - b;
    if (n < (password ? 6 : 8) || n > kCheckedValue) {
        return false;
    }
    uint8_t seen = 0;
    for (Py_ssize_t i = b; i < e; ++i) {
        unsigned char c = s.text[i];
        if (space(c) || quote(c) || c == '(' || c == ')' || c == '\\') {
            return false;
        }
        seen |= kClass[c];
    }
    if (!(seen & kDigit) || !(seen & (kUpper | kLower)) || same_folded(s, b, b + 4, "arn:")) {
        return false;
    }
    // Words and numbers between separators make a name (`example1.jpg`,
    // `my-api-key-2`); one word and a number may be a password.
    int segments = 0;
    bool words = true;
    for (Py_ssize_t i = b; i < e && words;) {
        Py_ssize_t end = i;
        while (end < e && is(s.text[end], kAlnum)) {
            ++end;
        }
        if (end > i) {
            words = name_word(s, i, end);
            ++segments;
        }
        unsigned char joint = s.at(end);
        words &= end == e || joint == '.' || joint == '_' || joint == '-' || joint == '/' ||
                 joint == ':';
        i = end + 1;
    }
    if (words && (segments > 1 || !password)) {
        return false;
    }
    // A path or a URL, a version or a date: `/home/u1`, `./a1`, `v1.2.3`,
    // `2024-01-15`.
    const unsigned char c0 = s.text[b];
    const unsigned char c1 = s.text[b + 1];
    if (((c0 == '.' || c0 == '~') && c1 == '/') || (c0 == '.' && c1 == '.')) {
        return false;
    }
    for (Py_ssize_t i = b + 1; i < e; ++i) {
        if (s.text[i] == '/' && (c0 == '/' || (s.text[i - 1] == ':' && s.at(i + 1) == '/'))) {
            return false;
        }
    }
    Py_ssize_t d = b + ((c0 | 0x20) == 'v' ? 1 : 0);
    Py_ssize_t digits = 0;
    while (d + digits < e && digit(s.text[d + digits])) {
        ++digits;
    }
    unsigned char after = s.at(d + digits);
    return !(digits > 0 && (after == '.' || (digits == 4 && after == '-')) && d + digits < e &&
             digit(s.at(d + digits + 1)));
}

}  // namespace zentrove::redact::detect
