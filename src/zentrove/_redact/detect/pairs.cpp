// Matchers that read the text around a separator: `key=value`, `key: value`
// (logfmt, query strings, headers, connection strings, properties, JSON and
// repr fragments) and a tag's `value` attribute, judged by the redactor's
// own key rules and the vocabulary of secret words; AWS secrets under a
// secret-ish key.
//
// A key is judged before its value is read: most pairs in a log have a
// harmless key.  Then the value is judged by what is around it, not by the
// file it comes from: code (`password = self.password`, `token = None`,
// `f(secret=secret)`), placeholders, prompts (`getpass('Password: ')`) and
// prose stay; `password=hunter2`, `token: abc123`, quoted literals and
// headers go.  A key that only the vocabulary names (the user did not) needs
// a value shaped like a credential.  Checks that refuse a value read a
// bounded stretch of it, so a refused value costs a bounded number of reads.
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
    bool unusual = false;  // `key> value`, or "=>" before a bare value: a credential's shape only
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

// Does the '&' at `amp` end an unquoted value?  In a query string, or
// before the next parameter (`&user=`, `&amp;`); in a properties line it
// belongs to the value (`password=Tr0ub4dor&3`).
[[nodiscard]] bool amp_ends(const Scan& s, Py_ssize_t amp, bool query) noexcept
{
    if (query || s.has(amp + 1, "amp;")) {
        return true;
    }
    Py_ssize_t n = 0;
    while (n < 64 && is(s.at(amp + 1 + n), kKey)) {
        ++n;
    }
    return n > 0 && s.at(amp + 1 + n) == '=';
}

// A value longer than `longest` bytes (an unquoted one before its trailing
// blanks are trimmed) is no value here: find_value gives up there rather
// than read on.
// The bytes where find_value may end an unquoted value outside a line's
// value (it ends there when the text around agrees): a test that no end
// lies ahead, without reading the value.
[[nodiscard]] bool may_end_bare_value(const Scan& s, Py_ssize_t i) noexcept
{
    const unsigned char c = s.text[i];
    const unsigned char next = s.at(i + 1);
    return space(c) || quote(c) || closer(c) || c == '&' || (c == '=' && next == '>') ||
           (c == '|' && next == '|');
}

[[nodiscard]] bool find_value(const Scan& s, Py_ssize_t at, Pair* pair,
                              Py_ssize_t longest = PY_SSIZE_T_MAX) noexcept
{
    bool line;
    Py_ssize_t v = value_start(s, at, &line);
    if (s.at(v) == '\\' && s.at(v + 1) == '"') {
        return find_escaped_value(s, v + 2, pair);
    }
    unsigned char q = s.at(v);
    const Py_ssize_t cap = s.size - v > longest ? v + longest : s.size;
    if (quote(q)) {
        Py_ssize_t e = v + 1;
        while (e < s.size && s.text[e] != q && s.text[e] != '\n') {
            if (e > cap) {
                return false;
            }
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
    // match: "(none)", "<redacted>", "$(cat f)".
    int depth = 0;
    const bool query = s.at(pair->key_begin - 1) == '?' || s.at(pair->key_begin - 1) == '&';
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
        // Another pair's "=>" or "||" ends a bare value too.
        if (!line && (space(c) || quote(c) || (c == '&' && amp_ends(s, e, query)) ||
                      (c == '=' && s.at(e + 1) == '>') || (c == '|' && s.at(e + 1) == '|'))) {
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

// The '=' at `at` as a separator.
[[nodiscard]] bool assignment(const Scan& s, Py_ssize_t at, unsigned char prev, unsigned char next,
                              Separator* sep) noexcept
{
    // Comparisons and `=~` matches are not assignments.
    if (next == '=' || next == '~' || prev == '=' || prev == '!' || prev == '<' || prev == '>') {
        return false;
    }
    if (next == '>') {
        // A hash's "=>", judged with its key and value; before a bare value
        // only a credential's shape passes.
        sep->last = at + 1;
        Py_ssize_t v = at + 2;
        while (v - at < 16 && blank(s.at(v))) {
            ++v;
        }
        sep->unusual = !quote(s.at(v)) && !(s.at(v) == '\\' && s.at(v + 1) == '"');
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

// Before an unusual separator's key is read: do 8 bytes of a credential,
// a digit among them, follow it?  Told first, so that a chain of them
// (`a=>a=>a`, `password=>password=>`) costs little.
[[nodiscard]] bool credential_ahead(const Scan& s, Py_ssize_t last) noexcept
{
    Py_ssize_t v = last + 1;
    while (v - last <= 16 && blank(s.at(v))) {
        ++v;
    }
    v += quote(s.at(v)) ? 1 : 0;
    Py_ssize_t n = 0;
    bool digits = false;
    for (unsigned char c = s.at(v); n < kCheckedValue && (is(c, kToken68) || c == '=');
         c = s.at(v + ++n)) {
        digits |= digit(c);
    }
    return n >= 8 && digits;
}

// The separator at `at` if it joins a key and a value: a compound
// assignment starts before its '=', "=>" ends after it.  False if none.
[[nodiscard]] bool pair_separator(const Scan& s, Py_ssize_t at, Separator* sep) noexcept
{
    unsigned char prev = s.at(at - 1);
    unsigned char next = s.at(at + 1);
    sep->begin = at;
    sep->last = at;
    const unsigned char c = s.text[at];
    if (c == '=') {
        return assignment(s, at, prev, next, sep);
    }
    if (c == '>') {
        // `key> value`; not "->", "=>" (judged at its '='), ">>", "<>", ">=".
        sep->unusual = true;
        return prev != '-' && prev != '=' && prev != '<' && prev != '>' && next != '=' &&
               next != '>';
    }
    if (c == '|') {
        // `token || "abc123"`, a default; `||=` is judged at its '='.
        sep->unusual = true;
        sep->last = at + 1;
        return next == '|' && prev != '|' && s.at(at + 2) != '=';
    }
    // ':'.  A scope, a URL; `:=` is judged at its '='.
    return next != ':' && next != '=' && prev != ':' && !s.has(at + 1, "//");
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
[[nodiscard, gnu::always_inline]] inline bool forty_after(const Scan& s, Py_ssize_t at) noexcept
{
    Py_ssize_t v = at + 1;
    while (v - at <= 16 && blank(s.at(v))) {
        ++v;
    }
    v += quote(s.at(v)) ? 1 : 0;
    // Two bytes first: most values end long before the 40th.
    return is(s.at(v + 39), kB64) && !is(s.at(v + 40), kB64) && s.run(v, kB64, 41) == 40;
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

// Is the byte after a bare word the end of the value?  Then the word is
// the whole value, not the start of `abc-def` or `a/b`.
[[nodiscard]] bool word_alone(unsigned char c, unsigned char enclosing) noexcept
{
    return c == 0 || space(c) || quote(c) || closer(c) || c == '&' || c == enclosing;
}

// The quote of a string literal open at `at` on its line, or 0 (also when
// `at` lies before a position asked already: a key read back that far is
// rare, and reading the line again is what the memo spares).  A quote
// between two word bytes is an apostrophe; a backslash escapes in strings.
[[nodiscard]] unsigned char string_open(Scan& s, Py_ssize_t at) noexcept
{
    Quotes& q = s.memos().quotes;
    if (at < q.pos) {
        return 0;
    }
    Py_ssize_t from = at;
    while (from > q.pos && s.text[from - 1] != '\n') {
        --from;
    }
    unsigned char open = from == q.pos ? q.open : 0;
    for (Py_ssize_t i = from; i < at; ++i) {
        unsigned char c = s.text[i];
        if (open != 0) {
            if (c == '\\') {
                ++i;
            }
            else if (c == open) {
                open = 0;
            }
        }
        else if (c == '"' || (c == '\'' && !(is(s.at(i - 1), kWord) && is(s.at(i + 1), kWord)))) {
            open = c;
        }
    }
    q = Quotes{at, open};
    return open;
}

// Does a nested structure open at `v` (`{"a": 1}`, `[{`, `{` at a line's
// end)?  Its members are pairs of their own.  A bracket around a word
// (`[x]`, `{{ vault }}` aside) is the value itself.
[[nodiscard]] bool structure_opens(const Scan& s, Py_ssize_t v) noexcept
{
    Py_ssize_t i = v + 1;
    while (i - v < 16 && blank(s.at(i))) {
        ++i;
    }
    unsigned char c = s.at(i);
    if (c == 0 || c == '\n' || c == '\r') {
        return true;
    }
    return s.text[v] != '(' && (quote(c) || c == '{' || c == '[' || c == '}' || c == ']' ||
                                (c == '\\' && s.at(i + 1) == '"'));
}

// Authentication schemes: the name stays readable, the credentials go.
constexpr std::array<std::string_view, 6> kSchemes = {
    "bearer", "basic", "token", "digest", "negotiate", "ntlm",
};

enum class Scheme { kNone, kRefused, kFound };

// `Digest username="bob", nonce="x", response="y"`: the parameters from
// `c` to the end of the last one's value, or `c` for none.
[[nodiscard]] Py_ssize_t digest_end(const Scan& s, Py_ssize_t c, unsigned char stop) noexcept
{
    Py_ssize_t i = c;
    Py_ssize_t last = c;
    while (true) {
        Py_ssize_t k = 0;
        while (k < 64 && is(s.at(i + k), kKey)) {
            ++k;
        }
        if (k == 0 || s.at(i + k) != '=') {
            break;
        }
        Py_ssize_t j = i + k + 1;
        unsigned char q = s.at(j);
        if (quote(q) && q != stop) {
            ++j;
            while (j < s.size && s.text[j] != q && s.text[j] != '\n' && j - i < kCheckedValue) {
                j += s.text[j] == '\\' ? 2 : 1;
            }
            if (s.at(j) != q) {
                break;
            }
            ++j;
        }
        else {
            while (j < s.size && !space(s.text[j]) && s.text[j] != ',' && s.text[j] != stop &&
                   !quote(s.text[j])) {
                ++j;
            }
        }
        last = j;
        i = j;
        while (blank(s.at(i))) {
            ++i;
        }
        if (s.at(i) != ',') {
            break;
        }
        ++i;
        while (blank(s.at(i))) {
            ++i;
        }
    }
    return last;
}

// An authentication scheme at `v` and its credentials, as [*b, *e): a
// token68 credential (`Bearer abc`, `Basic dXNlcjpwdw==`) or Digest's
// parameters.  kRefused for a placeholder in their place (`Basic %s`,
// `Bearer <token>`), kNone when no scheme with credentials starts at `v`.
[[nodiscard]] Scheme scheme_credentials(const Scan& s, Py_ssize_t v, unsigned char stop,
                                        Py_ssize_t* b, Py_ssize_t* e) noexcept
{
    Py_ssize_t n = 0;
    while (n < 10 && is(s.at(v + n), kUpper | kLower)) {
        ++n;
    }
    std::string_view name;
    for (std::string_view scheme : kSchemes) {
        if (equals_folded(s, v, v + n, scheme)) {
            name = scheme;
        }
    }
    if (name.empty() || !blank(s.at(v + n))) {
        return Scheme::kNone;
    }
    Py_ssize_t c = v + n;
    while (c - v < 26 && blank(s.at(c))) {
        ++c;
    }
    // A placeholder (`Bearer <token>`), or credentials masked already.
    if (s.at(c) == '<' || s.at(c) == '*' || placeholder_end(s, c) > c) {
        return Scheme::kRefused;
    }
    Py_ssize_t end;
    if (name == "digest") {
        end = digest_end(s, c, stop);
    }
    else {
        end = c + s.run(c, kToken68);
        while (end - c < kCheckedValue && s.at(end) == '=') {
            ++end;
        }
        unsigned char after = s.at(end);
        if (!(word_alone(after, stop) || after == '\\')) {
            return Scheme::kNone;
        }
    }
    if (end == c) {
        return Scheme::kNone;
    }
    *b = c;
    *e = end;
    return Scheme::kFound;
}

// Is the value at `v` a scheme's name and nothing more on its line?
[[nodiscard]] bool scheme_alone(const Scan& s, Py_ssize_t v, unsigned char stop) noexcept
{
    Py_ssize_t n = 0;
    while (n < 10 && is(s.at(v + n), kUpper | kLower)) {
        ++n;
    }
    Py_ssize_t e = v + n;
    while (e - v < 16 && blank(s.at(e))) {
        ++e;
    }
    const unsigned char c = s.at(e);
    if (!(c == 0 || c == '\n' || c == '\r' || (c == stop && c != 0))) {
        return false;
    }
    for (std::string_view scheme : kSchemes) {
        if (equals_folded(s, v, v + n, scheme)) {
            return true;
        }
    }
    return false;
}

// `Server=db;User Id=app;Password=my pass;Encrypt=true`: in a connection
// string the value runs to its ';' and may hold a blank.  The ';' that ends
// the value at `v` (within 64 bytes, no '=', '&' or second blank before
// it), when the key follows a ';' or the next `Name=` follows the value's;
// else -1.
[[nodiscard]] Py_ssize_t connection_end(const Scan& s, const Pair& pair, Py_ssize_t v) noexcept
{
    const Py_ssize_t stop = s.size - v < 64 ? s.size : v + 64;
    Py_ssize_t semi = v;
    bool blanks = false;  // a run of blanks passed
    while (semi < stop) {
        unsigned char c = s.text[semi];
        if (c == ';') {
            break;
        }
        if (blank(c)) {
            if (blanks && !blank(s.text[semi - 1])) {
                return -1;
            }
            blanks = true;
        }
        else if (c == '\n' || c == '\r' || c == '=' || c == '&' || quote(c) ||
                 c == pair.enclosing) {
            return -1;
        }
        ++semi;
    }
    if (semi == stop) {
        return -1;
    }
    Py_ssize_t k = pair.key_begin;
    while (k > 0 && pair.key_begin - k < 16 && blank(s.text[k - 1])) {
        --k;
    }
    if (s.at(k - 1) == ';') {
        return semi;
    }
    Py_ssize_t i = semi + 1;
    while (blank(s.at(i))) {
        ++i;
    }
    Py_ssize_t name = 0;
    while (name < 64 && is(s.at(i + name), kKey | kWord)) {
        ++name;
    }
    while (blank(s.at(i + name))) {
        ++name;
    }
    return name > 0 && s.at(i + name) == '=' ? semi : -1;
}

// `PASSWORD := hunter2`, `DB_TOKEN = abc`: a name in capitals is a
// Makefile's, an environment's or a config file's, and what it is given is
// text; a variable would be a constant's value only rarely.
[[nodiscard]] bool constant_name(const Scan& s, const Pair& pair) noexcept
{
    bool letters = false;
    for (Py_ssize_t i = pair.key_begin; i < pair.key_end; ++i) {
        unsigned char c = s.text[i];
        if (is(c, kLower) || !is(c, kKey)) {
            return false;
        }
        letters |= is(c, kUpper);
    }
    return letters;
}

// Is the value at `v` an AWS key id, which its own detector names?
[[nodiscard]] bool aws_key_id_at(const Scan& s, Py_ssize_t v) noexcept
{
    return (s.detectors & (uint32_t{1} << kAws)) && s.at(v) == 'A' &&
           s.run(v, kUpper | kDigit, 21) == 20 && word_alone(s.at(v + 20), 0);
}

// How a value is judged.
struct Judging {
    bool strict;    // only a credential's shape passes: a vocabulary key, an unusual separator
    bool password;  // ... a password's, which may be a word and a number
    bool code;      // `x = y` (blanks around '='), or a quoted key and ':' (a dict): a bare
                    // name there is a variable, a bracket a list or a call
};

// Is the bare value at `v` code rather than a secret: a call, a subscript,
// a literal (`None`), a variable where code assigns one, or a name that
// itself names a secret (`password=auth_password`)?  Or a placeholder?
// `*word` is where a bare word alone checked here ends (`v` for none), so
// that the value's own checks need not repeat these.
[[nodiscard]] bool code_or_placeholder(const Scan& s, Py_ssize_t v, unsigned char enclosing,
                                       const Judging& j, Py_ssize_t* word) noexcept
{
    *word = v;
    unsigned char c = s.at(v);
    if (j.code && (c == '[' || c == '(' || c == '{')) {
        return true;
    }
    Py_ssize_t e = identifier_end(s, v);
    if (e > v) {
        unsigned char next = s.at(e);
        if (next == '(' || next == '[') {
            return true;
        }
        bool alone = word_alone(next, enclosing);
        if (alone && (code_literal(s, v, e) || names_secret(s, v, e))) {
            return true;
        }
        *word = alone && placeholder_end(s, v) == v ? e : v;
        if (j.code && (alone || blank(next))) {
            // `password = s3cr3t` in a config file: a digit between
            // letters is no name that code gives.
            for (Py_ssize_t i = v + 1; i + 1 < e; ++i) {
                if (digit(s.text[i]) && is(s.text[i + 1], kUpper | kLower)) {
                    return false;
                }
            }
            return true;
        }
    }
    Py_ssize_t p = placeholder_end(s, v);
    return p > v && word_alone(s.at(p), enclosing);
}

// `EXAMPLE-PASSWORD`, `YOUR_API_KEY`: words in capitals stand in for a
// secret in documentation.
[[nodiscard]] bool capital_words(const Scan& s, Py_ssize_t b, Py_ssize_t e) noexcept
{
    bool joined = false;
    for (Py_ssize_t i = b; i < e; ++i) {
        unsigned char c = s.text[i];
        bool joint = (c == '_' || c == '-') && i > b && i + 1 < e;
        if (!is(c, kUpper) && !joint) {
            return false;
        }
        joined |= joint;
    }
    return joined;
}

// Is the value read as [b, e) refused: a literal, a placeholder, a mask,
// the name of a secret; for a strict judging, anything not shaped like a
// credential?
// `checked`: [b, e) is a bare word that code_or_placeholder passed.
[[nodiscard]] bool refused(const Scan& s, Py_ssize_t b, Py_ssize_t e, const Judging& j,
                           bool checked = false) noexcept
{
    if (e - b > kCheckedValue) {
        return j.strict;
    }
    if ((!checked &&
         (code_literal(s, b, e) || placeholder_end(s, b) == e || names_secret(s, b, e))) ||
        one_byte_repeated(s, b, e) || capital_words(s, b, e)) {
        return true;
    }
    return j.strict && !credential_shaped(s, b, e, j.password);
}

// The value of a pair whose key is not simply kept: judged, and masked.
[[gnu::noinline]] Py_ssize_t read_pair(Scan& scan, Py_ssize_t at, int detector, Pair pair,
                                       Separator sep, int sensitive, bool tagged)
{
    const unsigned char* key = scan.text + pair.key_begin;
    const Py_ssize_t n = pair.key_end - pair.key_begin;
    if (tagged) {
        Pair named = pair;
        Py_ssize_t name_begin;
        Py_ssize_t name_end;
        if (find_value(scan, at, &named) && named_by_tag(scan, named, &name_begin, &name_end)) {
            // The tag's name decides, in an allow-list too.
            sensitive = scan.key_sensitive(name_begin, name_end - name_begin);
            if (sensitive <= 0 ||
                refused(scan, named.value_begin, named.value_end,
                        Judging{sensitive >= kWordKey, sensitive == kPasswordWordKey, false})) {
                return sensitive < 0 ? -1 : 0;
            }
            return scan.add(named.value_begin, named.value_end, detector) < 0 ? -1 : named.resume;
        }
    }
    bool line;
    if (sensitive != kRuleKey) {
        // An AWS secret under a key that says so, whatever the key rules.
        // A glance at the value's length is the cheapest test, so it goes
        // first; the value is read no further than such a secret reaches.
        if ((scan.detectors & (uint32_t{1} << kAws)) && forty_after(scan, sep.last)) {
            examined(2 * n);
            bool secretish = contains_folded(key, n, "secret") || contains_folded(key, n, "aws");
            Py_ssize_t v = value_start(scan, sep.last, &line);
            Pair aws = pair;
            if (secretish && find_value(scan, sep.last, &aws, forty_and_trimmings(scan, v)) &&
                aws.value_end - aws.value_begin == 40 && aws_secret_at(scan, aws.value_begin)) {
                return scan.add(aws.value_begin, aws.value_end, kAws) < 0 ? -1 : aws.resume;
            }
        }
        if (sensitive < kWordKey) {
            return 0;
        }
    }
    Py_ssize_t v = value_start(scan, sep.last, &line);
    const bool quoted = quoted_at(scan, v);
    const unsigned char c = scan.at(v);
    // Only a quote or a line's end can close a value on the string that
    // holds the key.
    if (!pair.quoted_key && pair.enclosing == 0 && (line || quote(c))) {
        pair.enclosing = string_open(scan, pair.key_begin);
    }
    // The string that holds the key closes: a prompt (`'Password: '`), a
    // message (`"token=" + t`).  An object or a list opens, or an
    // expression goes on on the next line.
    if ((c == pair.enclosing && c != 0) ||
        ((c == '{' || c == '[' || c == '(') && structure_opens(scan, v))) {
        return 0;
    }
    const Judging judging{
        sensitive >= kWordKey || sep.unusual,
        sensitive != kWordKey,
        (scan.text[at] == '=' && blank(scan.at(sep.begin - 1)) && v > sep.last + 1 &&
         !constant_name(scan, pair)) ||
            (pair.quoted_key && scan.text[at] == ':'),
    };
    const Py_ssize_t content = !quoted ? v : c == '\\' ? v + 2 : v + 1;
    if (sensitive >= kWordKey && aws_key_id_at(scan, content)) {
        return 0;  // left to the aws detector
    }
    Py_ssize_t begin;
    Py_ssize_t end;
    switch (scheme_credentials(scan, content, quoted ? c : pair.enclosing, &begin, &end)) {
    case Scheme::kRefused: return 0;
    case Scheme::kFound: return scan.add(begin, end, detector) < 0 ? -1 : end;
    case Scheme::kNone: break;
    }
    if (line && scheme_alone(scan, v, pair.enclosing)) {
        return 0;  // `Authorization: Bearer`, a header with no credentials
    }
    // A value held to the vocabulary's checks is read no further than
    // kCheckedValue bytes: one with no byte that may end it before then is
    // turned down at once, and the stretch searched is remembered, so the
    // keys in a row inside one long run do not each read it again.
    if (judging.strict && !quoted && !line && scan.size - v > kCheckedValue &&
        scan.memos().value_stop.next(v, v + kCheckedValue + 1, 0, [&scan](Py_ssize_t i) {
            return may_end_bare_value(scan, i);
        }) < 0) {
        return 0;
    }
    Py_ssize_t word = v;
    if (!quoted) {
        // Words after a colon are prose ("- password: the password to
        // use"), but for a credential's shape in the first ("token: abc123
        // for bob").
        if (line && words_from(scan, v, pair.enclosing, 3) >= (judging.strict ? 2 : 3)) {
            end = v;
            while (end - v < kCheckedValue && !space(scan.at(end)) && scan.at(end) != 0 &&
                   scan.at(end) != pair.enclosing) {
                ++end;
            }
            while (end > v && (closer(scan.text[end - 1]) || scan.text[end - 1] == '.')) {
                --end;
            }
            if (refused(scan, v, end, Judging{true, sensitive != kWordKey, false})) {
                return 0;
            }
            return scan.add(v, end, detector) < 0 ? -1 : end;
        }
        // A credential's shape is told by the first run of the value,
        // before the value is read: most strict values are refused at once.
        Py_ssize_t semi = -1;
        if (judging.strict && !line) {
            bool digits = false;
            Py_ssize_t run = v;
            for (unsigned char b = scan.at(run);
                 run - v < kCheckedValue && !word_alone(b, pair.enclosing) && b != '&';
                 b = scan.at(++run)) {
                digits |= digit(b);
            }
            if (!digits || run - v < (judging.password ? 6 : 8)) {
                semi = blank(scan.at(run)) || scan.at(run) == ';' ? connection_end(scan, pair, v)
                                                                  : -1;
                if (semi < 0) {
                    return 0;
                }
            }
        }
        if (code_or_placeholder(scan, v, pair.enclosing, judging, &word)) {
            return 0;
        }
        semi = line || semi > 0 ? semi : connection_end(scan, pair, v);
        if (semi > 0) {
            end = semi;
            while (end > v && blank(scan.text[end - 1])) {
                --end;
            }
            // The `;Name=` around it is evidence enough: no credential's
            // shape is asked of a value that may hold blanks.  An empty
            // value (`Password=;`, `secret= ;`) has nothing to mask.
            if (end == v || refused(scan, v, end, Judging{false, false, false})) {
                return 0;
            }
            return scan.add(v, end, detector) < 0 ? -1 : semi;
        }
    }
    if (!find_value(scan, sep.last, &pair, judging.strict ? kCheckedValue : PY_SSIZE_T_MAX) ||
        refused(scan, pair.value_begin, pair.value_end, judging,
                word > v && pair.value_begin == v && pair.value_end == word)) {
        return 0;
    }
    if (scan.add(pair.value_begin, pair.value_end, detector) < 0) {
        return -1;
    }
    return pair.resume;
}

}  // namespace

// The key is read first and judged before the value is looked for: most
// pairs in a log have a harmless key.
Py_ssize_t match_pair(Scan& scan, Py_ssize_t at, int detector)
{
    Pair pair;
    Separator sep;
    if (!pair_separator(scan, at, &sep) || (sep.unusual && !credential_ahead(scan, sep.last)) ||
        !find_key(scan, sep.begin, &pair)) {
        return 0;
    }
    unsigned char before = scan.at(pair.key_begin - 1);
    if (scan.text[at] == ':' && (before == '/' || before == '@' || before == ':')) {
        return 0;  // a URL's host and port; a colon path, as an ARN's `:secret:name`
    }
    if (scan.text[at] == '>' && (before == '<' || before == '/')) {
        return 0;  // a tag: match_element's
    }
    const Py_ssize_t n = pair.key_end - pair.key_begin;
    int sensitive = kKeptKey;
    const bool key_value = (scan.detectors & (uint32_t{1} << kKeyValue)) && scan.rules != nullptr;
    if (key_value) {
        sensitive = scan.key_sensitive(pair.key_begin, n);
        if (sensitive < 0) {
            return -1;
        }
    }
    // Most keys are kept: the rest is read out of line.
    const bool tagged = n == 5 && key_value && scan.text[at] == '=' && quote(scan.at(at + 1));
    if (sensitive == kKeptKey && !tagged &&
        !((scan.detectors & (uint32_t{1} << kAws)) && forty_after(scan, sep.last))) {
        return 0;
    }
    return read_pair(scan, at, detector, pair, sep, sensitive, tagged);
}

}  // namespace zentrove::redact::detect
