// Matchers that read the text around a separator: `key=value`, `key: value`
// (logfmt, query strings, headers, JSON and repr fragments) and a tag's
// `value` attribute, judged by the redactor's own key rules; AWS secrets
// under a secret-ish key.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

// Where a key and its value sit around the separator at `at`.
struct Pair {
    Py_ssize_t key_begin;
    Py_ssize_t key_end;
    Py_ssize_t value_begin;
    Py_ssize_t value_end;
    Py_ssize_t resume;            // past the value and its closing quote
    unsigned char enclosing = 0;  // the quote the whole pair sits in, or 0
    bool quoted_key = false;
    bool quoted_value = false;
};

// The bytes of a separator: from `begin` ('=' or ':', or the operator of a
// compound assignment) to `last`, the byte before the value ('>' of "=>").
struct Separator {
    Py_ssize_t begin;
    Py_ssize_t last;
};

[[nodiscard]] bool closer(unsigned char c) noexcept
{
    return c == ',' || c == ';' || c == ')' || c == ']' || c == '}' || c == '>';
}

// Is the quote at `at` escaped by an odd run of backslashes?
[[nodiscard]] bool escaped_quote(const Scan& s, Py_ssize_t at) noexcept
{
    Py_ssize_t b = at;
    while (b > 0 && s.text[b - 1] == '\\') {
        --b;
    }
    return (at - b) % 2 == 1;
}

// The key before the separator: quoted, or a run of key bytes that does not
// start with a digit (so "10:22:33" holds no pair).
[[nodiscard]] bool find_key(const Scan& s, Py_ssize_t at, Pair* pair) noexcept
{
    Py_ssize_t end = at;
    while (end > 0 && at - end < 16 && blank(s.text[end - 1])) {
        --end;
    }
    // A subscript: `config['password'] = x`, `env["TOKEN"]=x`.
    if (s.at(end - 1) == ']' && quote(s.at(end - 2))) {
        --end;
    }
    unsigned char q = s.at(end - 1);
    if (quote(q)) {
        // JSON inside a JSON string quotes its keys with \": {\"token\": ...}.
        bool escaped = escaped_quote(s, end - 1);
        Py_ssize_t close = escaped ? end - 2 : end - 1;
        Py_ssize_t begin = close;
        while (begin > 0 && close - begin < kLongestKey) {
            unsigned char c = s.text[begin - 1];
            if (c == q) {
                if (escaped != escaped_quote(s, begin - 1)) {
                    return false;
                }
                pair->key_begin = begin;
                pair->key_end = close;
                pair->quoted_key = true;
                return begin < close;
            }
            if (c == '\n') {
                return false;
            }
            --begin;
        }
        return false;
    }
    Py_ssize_t begin = end;
    while (begin > 0 && is(s.text[begin - 1], kKey)) {
        if (end - begin == kLongestKey) {
            return false;
        }
        --begin;
    }
    // "--password" and ".token" name the same key as "password", "token".
    while (begin < end && (s.text[begin] == '-' || s.text[begin] == '.')) {
        ++begin;
    }
    if (begin == end || is(s.text[begin], kDigit)) {
        return false;
    }
    pair->key_begin = begin;
    pair->key_end = end;
    // "Authorization: Bearer x" in a command line: the value ends with the
    // string that holds the pair.
    pair->enclosing = quote(s.at(begin - 1)) ? s.text[begin - 1] : 0;
    return true;
}

// Does the punctuation before `next` end the value?  It does before a blank,
// a quote or more punctuation; in a header-like line, where ", " belongs to
// the value ("Digest realm=x, nonce=y"), only before a quote or the end.
[[nodiscard]] bool ends_value(const Scan& s, Py_ssize_t next, bool line) noexcept
{
    unsigned char c = s.at(next);
    if (line) {
        while (blank(c)) {
            c = s.at(++next);
        }
        return c == 0 || c == '\n' || c == '\r' || quote(c) || closer(c);
    }
    return c == 0 || space(c) || quote(c) || closer(c) || c == '&';
}

[[nodiscard]] bool is_literal_prefix(unsigned char c) noexcept
{
    c |= 0x20;
    return c == 'b' || c == 'r' || c == 'u';
}

[[nodiscard]] bool equals_folded(const Scan& s, Py_ssize_t at, Py_ssize_t end,
                                 std::string_view lower) noexcept
{
    if (end - at != static_cast<Py_ssize_t>(lower.size())) {
        return false;
    }
    for (size_t i = 0; i < lower.size(); ++i) {
        if ((s.text[at + static_cast<Py_ssize_t>(i)] | 0x20) != lower[i]) {
            return false;
        }
    }
    return true;
}

// "Authorization=Bearer abc": a value that is an authentication scheme
// alone runs on over the credentials after one space, which are the secret
// (the scheme's own detector starts inside the value and is not tried).
// Where the value [v, e) ends.
[[nodiscard]] Py_ssize_t past_credentials(const Scan& s, Py_ssize_t v, Py_ssize_t e) noexcept
{
    if (s.at(e) != ' ' || !is(s.at(e + 1), kToken68) ||
        !(equals_folded(s, v, e, "bearer") || equals_folded(s, v, e, "basic") ||
          equals_folded(s, v, e, "token"))) {
        return e;
    }
    Py_ssize_t end = e + 1 + s.run(e + 1, kToken68);
    while (s.at(end) == '=') {
        ++end;
    }
    unsigned char c = s.at(end);
    return c == 0 || space(c) || quote(c) || closer(c) || c == '&' ? end : e;
}

// A string of JSON inside a JSON string, from `v` after its opening \" to
// its closing \": the text is read as the outer string decodes it, so \\\"
// is a quote inside the inner string.
[[nodiscard]] bool find_escaped_value(const Scan& s, Py_ssize_t v, Pair* pair) noexcept
{
    Py_ssize_t e = v;
    bool inner_escape = false;  // the decoded text ends in a backslash that escapes
    while (e < s.size && s.text[e] != '\n') {
        if (s.text[e] != '\\') {
            inner_escape = false;
            ++e;
            continue;
        }
        unsigned char next = s.at(e + 1);
        if (next == '"' && !inner_escape) {
            break;
        }
        inner_escape = next == '\\' && !inner_escape;
        e += 2;
    }
    e = e < s.size ? e : s.size;
    pair->value_begin = v;
    pair->value_end = e;
    pair->resume = s.has(e, "\\\"") ? e + 2 : e;
    pair->quoted_value = true;
    return e > v;
}

// The value after the separator.  A quoted value runs to its closing quote
// (to the end of the line if there is none); `key: value` with a space runs
// to the end of the line, as in a header; otherwise to the next blank, `&`
// or quote, or to punctuation that ends the value rather than belongs to it.
// Where the value after the separator at `at` starts: past blanks and a
// Python literal's prefix, which stays outside the secret (b'...', rb"...").
// `line`: blanks after a ':', so the value runs to the end of the line.
[[nodiscard]] Py_ssize_t value_start(const Scan& s, Py_ssize_t at, bool* line) noexcept
{
    Py_ssize_t v = at + 1;
    while (v < s.size && v - at <= 16 && blank(s.text[v])) {
        ++v;
    }
    *line = s.text[at] == ':' && v > at + 1;
    Py_ssize_t prefix = 0;
    while (prefix < 2 && is_literal_prefix(s.at(v + prefix))) {
        ++prefix;
    }
    return prefix > 0 && quote(s.at(v + prefix)) ? v + prefix : v;
}

[[nodiscard]] bool quoted_at(const Scan& s, Py_ssize_t v) noexcept
{
    return quote(s.at(v)) || (s.at(v) == '\\' && s.at(v + 1) == '"');
}

// An unquoted value longer than `longest` bytes before its trailing blanks
// are trimmed is no value here: find_value gives up there rather than read
// on.
[[nodiscard]] bool find_value(const Scan& s, Py_ssize_t at, Pair* pair,
                              Py_ssize_t longest = PY_SSIZE_T_MAX) noexcept
{
    bool line;
    Py_ssize_t v = value_start(s, at, &line);
    if (s.at(v) == '\\' && s.at(v + 1) == '"') {
        return find_escaped_value(s, v + 2, pair);
    }
    unsigned char q = s.at(v);
    if (quote(q)) {
        Py_ssize_t e = v + 1;
        while (e < s.size && s.text[e] != q && s.text[e] != '\n') {
            e += (s.text[e] == '\\' && q == '"') ? 2 : 1;
        }
        e = e < s.size ? e : s.size;
        pair->value_begin = v + 1;
        pair->value_end = e;
        pair->resume = e < s.size && s.text[e] == q ? e + 1 : e;
        pair->quoted_value = true;
        return e > v + 1;
    }
    Py_ssize_t e = v;
    // Brackets that open the value, or follow a '$', hold it to their
    // match: "(none)", "<redacted>", "{{ vault_password }}", "$(cat f)".
    int depth = 0;
    const Py_ssize_t cap = s.size - v > longest ? v + longest : s.size;
    while (e < s.size) {
        if (e > cap) {
            return false;
        }
        unsigned char c = s.text[e];
        if (c == '\n' || c == '\r' || c == pair->enclosing) {
            break;
        }
        bool opens = c == '(' || c == '[' || c == '{' || c == '<';
        if (opens && (depth > 0 || e == v || s.text[e - 1] == '$')) {
            ++depth;
            ++e;
            continue;
        }
        if (depth > 0) {
            depth -= c == ')' || c == ']' || c == '}' || c == '>';
            ++e;
            continue;
        }
        if (!line && (space(c) || c == '&' || quote(c))) {
            break;
        }
        if (closer(c) && ends_value(s, e + 1, line)) {
            break;
        }
        // A quote closes a line's value only where the text around it ends
        // too: "['token: abc']", but not `realm="x", nonce="y"`.
        if (line && quote(c)) {
            Py_ssize_t after = e + 1;
            while (blank(s.at(after))) {
                ++after;
            }
            unsigned char next = s.at(after);
            bool comma = next == ',' || next == ';';
            if (next == 0 || next == '\n' || next == '\r' || (closer(next) && !comma) ||
                (comma && ends_value(s, after + 1, line))) {
                break;
            }
        }
        ++e;
    }
    while (e > v && blank(s.text[e - 1])) {
        --e;
    }
    if (e > v + 1 && s.text[e - 1] == '.' && (e == s.size || space(s.text[e]))) {
        --e;  // the end of a sentence
    }
    if (!line) {
        e = past_credentials(s, v, e);
    }
    pair->value_begin = v;
    pair->value_end = e;
    pair->resume = e;
    return e > v;
}

// Bytes that may stand before '=' in an assignment that keeps a string:
// `:=`, `::=`, `?=`, `??=`, `+=`, `.=`, `||=`.  The key ends before them.
// ('-' is a key byte and folds away: "password-=x" is the key "password-".)
[[nodiscard]] bool assign_operator(unsigned char c) noexcept
{
    return c == ':' || c == '?' || c == '+' || c == '.' || c == '|';
}

// The separator at `at` if it joins a key and a value: a compound
// assignment starts before its '=', "=>" ends after it.  False if none.
[[nodiscard]] bool pair_separator(const Scan& s, Py_ssize_t at, Separator* sep) noexcept
{
    unsigned char prev = s.at(at - 1);
    unsigned char next = s.at(at + 1);
    sep->begin = at;
    sep->last = at;
    if (s.text[at] == ':') {
        // A scope, a URL; `:=` is judged at its '='.
        return next != ':' && next != '=' && prev != ':' && !s.has(at + 1, "//");
    }
    // Comparisons and `=~` matches are not assignments.
    if (next == '=' || next == '~' || prev == '=' || prev == '!' || prev == '<' || prev == '>') {
        return false;
    }
    if (next == '>') {
        sep->last = at + 1;  // a hash's "=>", judged with its key and value
        return true;
    }
    while (sep->begin > 0 && at - sep->begin < 3 && assign_operator(s.text[sep->begin - 1])) {
        --sep->begin;
    }
    // Base64 may end in "+=": a '+' glued to its key counts only when the
    // value follows ("PASSWORD+=x", "password += x"), not before a blank,
    // a quote or the end ("YWJj+= next", "'YWJj+='").
    return !(sep->begin < at && s.text[sep->begin] == '+' && !blank(s.at(sep->begin - 1)) &&
             (next == 0 || space(next) || quote(next) || closer(next)));
}

[[nodiscard]] bool contains_folded(const unsigned char* s, Py_ssize_t n,
                                   std::string_view lower) noexcept
{
    auto m = static_cast<Py_ssize_t>(lower.size());
    for (Py_ssize_t i = 0; i + m <= n; ++i) {
        Py_ssize_t j = 0;
        while (j < m && (s[i + j] | 0x20) == lower[static_cast<size_t>(j)]) {
            ++j;
        }
        if (j == m) {
            return true;
        }
    }
    return false;
}

// Do 40 base64 bytes follow the separator at `at`, after blanks and a quote?
[[nodiscard]] bool forty_after(const Scan& s, Py_ssize_t at) noexcept
{
    Py_ssize_t v = at + 1;
    while (v - at <= 16 && blank(s.at(v))) {
        ++v;
    }
    v += quote(s.at(v)) ? 1 : 0;
    return s.run(v, kB64, 41) == 40;
}

// The longest raw value that trims to the 40 bytes from `v`: a '.' that
// ends a sentence and blanks may follow them.  A longer raw value is no AWS
// secret, so the value is not read past this.
[[nodiscard]] Py_ssize_t forty_and_trimmings(const Scan& s, Py_ssize_t v) noexcept
{
    Py_ssize_t p = v + 40;
    p += s.at(p) == '.' ? 1 : 0;
    while (blank(s.at(p))) {
        ++p;
    }
    return p - v;
}

// `<add key="password" value="x"/>`: the key that a `value` attribute's tag
// names (detect/markup.cpp), as [*begin, *end).
[[nodiscard]] bool named_by_tag(Scan& s, const Pair& pair, Py_ssize_t* begin,
                                Py_ssize_t* end) noexcept
{
    if (!pair.quoted_value || pair.quoted_key ||
        !equals_folded(s, pair.key_begin, pair.key_end, "value")) {
        return false;
    }
    return tag_name(s, pair.key_begin, begin, end);
}

}  // namespace

// The key is read first and judged before the value is looked for: most
// pairs in a log have a harmless key.
Py_ssize_t match_pair(Scan& scan, Py_ssize_t at, int detector)
{
    Pair pair;
    Separator sep;
    if (!pair_separator(scan, at, &sep) || !find_key(scan, sep.begin, &pair)) {
        return 0;
    }
    unsigned char before = scan.at(pair.key_begin - 1);
    if (scan.text[at] == ':' && (before == '/' || before == '@')) {
        return 0;  // a URL's host and port
    }
    // "=>" joins a hash's key and value ({"password"=>"x"}, 'token' => 'x'),
    // but `password => password.strip()` is a function.  Told before the
    // key is judged and the value read: each "=>" of a long chain would
    // read the rest of it.
    bool line;
    if (sep.last > at && !pair.quoted_key &&
        !quoted_at(scan, value_start(scan, sep.last, &line))) {
        return 0;
    }
    const unsigned char* key = scan.text + pair.key_begin;
    Py_ssize_t n = pair.key_end - pair.key_begin;
    int sensitive = 0;
    if ((scan.detectors & (uint32_t{1} << kKeyValue)) && scan.rules != nullptr) {
        sensitive = scan.key_sensitive(pair.key_begin, n);
        if (sensitive < 0) {
            return -1;
        }
    }
    if (n == 5 && scan.text[at] == '=' && quote(scan.at(at + 1)) && scan.rules != nullptr &&
        (scan.detectors & (uint32_t{1} << kKeyValue))) {
        Pair tagged = pair;
        Py_ssize_t name_begin;
        Py_ssize_t name_end;
        if (find_value(scan, at, &tagged) && named_by_tag(scan, tagged, &name_begin, &name_end)) {
            // The tag's name decides, in an allow-list too.
            sensitive = scan.key_sensitive(name_begin, name_end - name_begin);
            if (sensitive <= 0) {
                return sensitive;
            }
            pair = tagged;
            return scan.add(pair.value_begin, pair.value_end, detector) < 0 ? -1 : pair.resume;
        }
    }
    if (sensitive == 0) {
        // An AWS secret under a key that says so, whatever the key rules.
        // A glance at the value's length is the cheapest test, so it goes
        // first; the value is read no further than such a secret reaches.
        if (!(scan.detectors & (uint32_t{1} << kAws)) || !forty_after(scan, sep.last)) {
            return 0;
        }
        examined(2 * n);
        bool secretish = contains_folded(key, n, "secret") || contains_folded(key, n, "aws");
        Py_ssize_t v = value_start(scan, sep.last, &line);
        if (!secretish || !find_value(scan, sep.last, &pair, forty_and_trimmings(scan, v)) ||
            pair.value_end - pair.value_begin != 40 || !aws_secret_at(scan, pair.value_begin)) {
            return 0;
        }
        detector = kAws;
    }
    else if (!find_value(scan, sep.last, &pair)) {
        return 0;
    }
    if (scan.add(pair.value_begin, pair.value_end, detector) < 0) {
        return -1;
    }
    return pair.resume;
}

}  // namespace zentrove::redact::detect
