// Credentials that a command line or a credential file keys by an option or
// a field, whatever the key rules say: a mysql-like client's -p<password>,
// --password <value>, curl's -u user:password, sshpass -p <password>, the
// LDAP tools' -w <password>, .netrc's `password` and a .pgpass line's last
// field.  Reported as key_value.
//
// The short options mean a password only for their own client (`ssh -p 22`,
// `mkdir -p`, `docker run -p 8080:80`), so the client words of the command
// before an option are read once, forward, and remembered for the next one.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

// The clients whose short options are credentials, by their command word.
constexpr uint32_t kMysqlLike = 1;  // mysql, mysqldump, mariadb, mariadb-dump...: -p<password>
constexpr uint32_t kCurlLike = 2;   // curl: -u/-U user:password
constexpr uint32_t kLdapLike = 4;   // ldapsearch, ldapmodify, ldapwhoami...: -w <password>

// The longest token read: a command word, a netrc token, a pgpass field.
constexpr Py_ssize_t kLongestToken = 256;

// Where the text that holds `at` starts: a value scanned joined to its key
// (`key=value`) starts a line of its own.
[[nodiscard]] Py_ssize_t text_start(const Scan& s, Py_ssize_t at) noexcept
{
    return at >= s.value_from ? s.value_from : 0;
}

// Ends a command (`c` at `i`): a line's end, ';', and '|' or '&' set off as an operator
// (not the '&' of a query string).
[[nodiscard]] bool command_end(const Scan& s, Py_ssize_t i, unsigned char c) noexcept
{
    if (c == '\n' || c == '\r' || c == ';') {
        return true;
    }
    if (c != '|' && c != '&') {
        return false;
    }
    unsigned char before = s.at(i - 1);
    unsigned char after = s.at(i + 1);
    return before == c || after == c || blank(before) || blank(after);
}

// The client that the word at `at` names, or 0: a word standing alone or at
// the end of a path, followed by a blank or a quote (an argv list).
[[nodiscard]] uint32_t client_at(const Scan& s, Py_ssize_t at) noexcept
{
    Py_ssize_t n = 0;
    unsigned char c = s.at(at);
    while (n <= 16 && (is(c, kAlnum) || c == '-' || c == '_')) {
        c = s.at(at + ++n);
    }
    if (n > 16 || !(blank(c) || quote(c))) {
        return 0;
    }
    // The word's bytes are read and counted already.
    std::string_view word(reinterpret_cast<const char*>(s.text + at), static_cast<size_t>(n));
    if (word.starts_with("mysql") || word.starts_with("mariadb")) {
        return kMysqlLike;
    }
    if (word.starts_with("ldap")) {
        return kLdapLike;
    }
    return word == "curl" ? kCurlLike : 0;
}

// The clients named in the command that holds `at`, before it.  The memo
// keeps the command read so far: a later option reads on from there, back
// to a command's end no further than where the last one stopped.
[[nodiscard]] uint32_t clients_before(Scan& s, Py_ssize_t at) noexcept
{
    Scan::Clients& m = s.memos().clients;
    const bool known = m.to >= 0 && m.to <= at;
    const Py_ssize_t floor = known ? m.to : 0;
    Py_ssize_t b = at;
    while (b > floor && !command_end(s, b - 1, s.text[b - 1])) {
        --b;
    }
    if (b > floor || !known) {
        m.to = b;
        m.kinds = 0;
    }
    unsigned char before = s.at(m.to - 1);
    for (Py_ssize_t i = m.to; i < at; ++i) {
        unsigned char c = s.text[i];
        if ((c == 'm' || c == 'c' || c == 'l') && !is(before, kKey)) {
            m.kinds |= client_at(s, i);
        }
        before = c;
    }
    m.to = at;
    return m.kinds;
}

// Does `sshpass` own the option at `at`: only its own options stand
// between them (`sshpass -v -p pw ssh -p 22 host`: the second is ssh's).
[[nodiscard]] bool sshpass_option(const Scan& s, Py_ssize_t at) noexcept
{
    const Py_ssize_t floor = text_start(s, at);
    Py_ssize_t end = at;
    for (int tokens = 0; tokens < 4; ++tokens) {
        while (end > floor && at - end < kLongestToken && blank(s.text[end - 1])) {
            --end;
        }
        Py_ssize_t begin = end;
        unsigned char c = s.at(begin - 1);
        while (begin > floor && end - begin < 64 && !space(c) && !quote(c) && c != '/') {
            c = s.at(--begin - 1);
        }
        if (begin == end) {
            return false;
        }
        if (end - begin == 7 && s.has(begin, "sshpass")) {
            return true;
        }
        if (s.text[begin] != '-') {
            return false;
        }
        end = begin;
    }
    return false;
}

// A value token from `v`: inside its quotes, or up to a blank, a quote (of
// the string the command sits in) or, on a command line (`shell`), the
// command's end.  Its span, and where the scan resumes; false for none.
struct Value {
    Py_ssize_t begin;
    Py_ssize_t end;
    Py_ssize_t resume;
};

[[nodiscard]] bool value_at(const Scan& s, Py_ssize_t v, Value* value, bool shell = true) noexcept
{
    unsigned char q = s.at(v);
    if (quote(q)) {
        Py_ssize_t e = v + 1;
        while (e < s.size && s.text[e] != q && s.text[e] != '\n') {
            ++e;
        }
        if (s.at(e) == q && e > v + 1) {
            *value = Value{v + 1, e, e + 1};
            return true;
        }
    }
    Py_ssize_t e = v;
    for (; e < s.size; ++e) {
        unsigned char c = s.text[e];
        if (space(c) || quote(c) || (c == '\\' && quote(s.at(e + 1))) ||
            (shell && command_end(s, e, c))) {
            break;
        }
    }
    *value = Value{v, e, e};
    return e > v;
}

// The value after blanks from `v`, unless there is none or it is another
// option (`--password --host db`).
[[nodiscard]] bool spaced_value(const Scan& s, Py_ssize_t v, Value* value,
                                bool shell = true) noexcept
{
    if (!blank(s.at(v))) {
        return false;
    }
    Py_ssize_t w = v;
    while (w - v < 16 && blank(s.at(w))) {
        ++w;
    }
    return s.at(w) != '-' && value_at(s, w, value, shell);
}

// Words that follow an option's name in prose ("the --password option").
constexpr std::string_view kProseWords[] = {
    "and",     "or",      "is",       "are",       "was",    "to",        "with",
    "for",     "instead", "must",     "can",       "will",   "option",    "flag",
    "options", "flags",   "argument", "arguments", "switch", "parameter", "parameters",
};

// A lower-case word after --password that goes on as a sentence, not as a
// command line: "but --password suffers from the same" (a command has an
// option or its end next), or one that prose puts after an option's name.
[[nodiscard]] bool prose(const Scan& s, const Value& value) noexcept
{
    const Py_ssize_t n = value.end - value.begin;
    if (value.resume != value.end || s.run(value.begin, kLower) != n) {
        return false;
    }
    std::string_view word(reinterpret_cast<const char*>(s.text + value.begin),
                          static_cast<size_t>(n));
    for (std::string_view w : kProseWords) {
        if (word == w) {
            return true;
        }
    }
    Py_ssize_t next = value.end;
    while (next - value.end < 16 && blank(s.at(next))) {
        ++next;
    }
    unsigned char c = s.at(next);
    return !(c == 0 || c == '-' || c == '\n' || c == '\r' || quote(c));
}

[[nodiscard]] Py_ssize_t mask(Scan& s, Py_ssize_t begin, const Value& value, int detector)
{
    return s.add(begin, value.end, detector) < 0 ? -1 : value.resume;
}

// curl's user:password, glued to its option, after '=' or after blanks:
// the password.
[[nodiscard]] Py_ssize_t user_password(Scan& s, Py_ssize_t v, int detector)
{
    Value value;
    bool found = s.at(v) == '='   ? value_at(s, v + 1, &value)
                 : blank(s.at(v)) ? spaced_value(s, v, &value)
                                  : value_at(s, v, &value);
    if (!found) {
        return 0;
    }
    Py_ssize_t colon = value.begin;
    while (colon < value.end && s.text[colon] != ':') {
        ++colon;
    }
    if (colon + 1 < value.end) {
        return mask(s, colon + 1, value, detector);
    }
    // A user name quoted alone, the password after its quote: 'ci':pw,
    // "ci":"pw".
    Value password;
    if (colon == value.end && value.resume > value.end && s.at(value.resume) == ':' &&
        value_at(s, value.resume + 1, &password)) {
        return mask(s, password.begin, password, detector);
    }
    return 0;
}

// An option at `at`, which starts a word: -p, -u, -U, -w, --password,
// --passwd, --user, --proxy-user.  Out of line, as pgpass_line is: the
// colons that match_command turns away cheaply are many.
[[nodiscard, gnu::noinline]] Py_ssize_t option(Scan& s, Py_ssize_t at, int detector)
{
    unsigned char before = s.at(at - 1);
    if (at > text_start(s, at) && !space(before) && !quote(before)) {
        return 0;
    }
    unsigned char c = s.at(at + 1);
    Value value;
    if (c == '-') {
        Py_ssize_t name = at + 2;
        Py_ssize_t n = s.run(name, kKey, 16);
        if ((n == 8 && s.has(name, "password")) || (n == 6 && s.has(name, "passwd"))) {
            return spaced_value(s, name + n, &value) && !prose(s, value)
                       ? mask(s, value.begin, value, detector)
                       : 0;
        }
        if (((n == 4 && s.has(name, "user")) || (n == 10 && s.has(name, "proxy-user"))) &&
            (clients_before(s, at) & kCurlLike)) {
            return user_password(s, name + n, detector);
        }
        return 0;
    }
    if (c == 'p') {
        // Glued for a mysql-like client (-p alone prompts, and what follows
        // is the database); glued or not for sshpass.
        bool glued = !space(s.at(at + 2)) && s.at(at + 2) != 0;
        if (sshpass_option(s, at)) {
            return (glued ? value_at(s, at + 2, &value) : spaced_value(s, at + 2, &value))
                       ? mask(s, value.begin, value, detector)
                       : 0;
        }
        return glued && (clients_before(s, at) & kMysqlLike) && value_at(s, at + 2, &value)
                   ? mask(s, value.begin, value, detector)
                   : 0;
    }
    if (c == 'w') {
        // The LDAP tools' -w, glued or not.
        bool found =
            (clients_before(s, at) & kLdapLike) &&
            (blank(s.at(at + 2)) ? spaced_value(s, at + 2, &value) : value_at(s, at + 2, &value));
        return found ? mask(s, value.begin, value, detector) : 0;
    }
    return (c == 'u' || c == 'U') && (clients_before(s, at) & kCurlLike)
               ? user_password(s, at + 2, detector)
               : 0;
}

// ---------------------------------------------------------------- .pgpass

// The port after the ':' at `at`, '*' or digits, and the ':' after it: its
// length, or 0.  Most colons with a digit after them are a time of day or a
// host's port in a sentence, which fail on one of the next bytes.
[[nodiscard]] Py_ssize_t pgpass_port(const Scan& s, Py_ssize_t at) noexcept
{
    const Py_ssize_t i = at + 1;
    Py_ssize_t port = 1;  // '*' or a first digit, as the trigger saw
    const bool any = s.text[i] == '*';
    while (!any && port < 6 && digit(s.at(i + port))) {
        ++port;
    }
    if (port > 5 || s.at(i + port) != ':' || (port == 2 && digit(s.at(i + 3)))) {  // hh:mm:ss
        return 0;
    }
    return port;
}

// host:port:database:user:password as a whole line, the port digits or '*'
// and no more fields: from the first ':', the password.
[[nodiscard, gnu::noinline]] Py_ssize_t pgpass_line(Scan& s, Py_ssize_t at, Py_ssize_t port,
                                                    int detector)
{
    Py_ssize_t i = at + 1;
    // A host has a letter or a dot: "10:22:33:44:55" is no line.
    const Py_ssize_t floor = text_start(s, at);
    Py_ssize_t host = at;
    bool named = s.at(at - 1) == '*';
    if (named) {
        --host;
    }
    else {
        unsigned char c = s.at(host - 1);
        while (host > floor && at - host < kLongestToken && is(c, kKey)) {
            named = named || !digit(c);
            c = s.at(--host - 1);
        }
    }
    Py_ssize_t start = host;
    while (start > floor && host - start < 16 && blank(s.text[start - 1])) {
        --start;
    }
    if (!named || (start > floor && s.text[start - 1] != '\n')) {
        return 0;
    }
    i += port + 1;
    for (int field = 0; field < 2; ++field) {  // database and user
        Py_ssize_t f = i;
        unsigned char c = s.at(i);
        while (i - f < kLongestToken && c != ':' && !space(c) && c != 0) {
            i += c == '\\' ? 2 : 1;
            c = s.at(i);
        }
        if (i == f || c != ':') {
            return 0;
        }
        ++i;
    }
    Py_ssize_t p = i;
    unsigned char c = s.at(i);
    while (i - p < kLongestToken && c != 0 && !space(c)) {
        if (c == ':') {
            return 0;  // a sixth field
        }
        i += c == '\\' ? 2 : 1;
        c = s.at(i);
    }
    i = i < s.size ? i : s.size;
    Py_ssize_t end = i;
    while (blank(c) || c == '\r') {
        c = s.at(++i);
    }
    if (end == p || (c != 0 && c != '\n')) {
        return 0;
    }
    return s.add(p, end, detector) < 0 ? -1 : end;
}

// ---------------------------------------------------------------- .netrc

// The whitespace-separated token that ends at or before `end`, as
// [*begin, end'); false for none within reach.
[[nodiscard]] bool token_before(const Scan& s, Py_ssize_t end, Py_ssize_t* begin,
                                Py_ssize_t* stop) noexcept
{
    const Py_ssize_t floor = text_start(s, end);
    Py_ssize_t e = end;
    while (e > floor && end - e < 64 && space(s.text[e - 1])) {
        --e;
    }
    Py_ssize_t b = e;
    while (b > floor && e - b < kLongestToken && !space(s.text[b - 1])) {
        --b;
    }
    *begin = b;
    *stop = e;
    return b < e && (b == floor || space(s.text[b - 1]));
}

[[nodiscard]] bool token_is(const Scan& s, Py_ssize_t b, Py_ssize_t e, std::string_view word)
{
    return e - b == static_cast<Py_ssize_t>(word.size()) && s.has(b, word);
}

}  // namespace

Py_ssize_t match_command(Scan& scan, Py_ssize_t at, int detector)
{
    if (scan.text[at] == '-') {
        return option(scan, at, detector);
    }
    unsigned char next = scan.at(at + 1);
    Py_ssize_t port = digit(next) || next == '*' ? pgpass_port(scan, at) : 0;
    return port != 0 ? pgpass_line(scan, at, port, detector) : 0;
}

// `password` after the tokens of a .netrc entry: `machine <host>` or
// `default`, and `login <user>` or `account <name>` pairs, over one line or
// several.  (`default password` alone is prose more often than a file.)
Py_ssize_t match_netrc(Scan& scan, Py_ssize_t at, int detector)
{
    if (!scan.has(at, "password") || !blank(scan.at(at + 8)) ||
        (at > text_start(scan, at) && !space(scan.text[at - 1]))) {
        return 0;
    }
    // Back over at most three pairs to the one that opens the entry.
    Py_ssize_t end = at;
    for (int pairs = 0;; ++pairs) {
        Py_ssize_t vb;
        Py_ssize_t ve;
        Py_ssize_t kb;
        Py_ssize_t ke;
        if (pairs == 3 || !token_before(scan, end, &vb, &ve)) {
            return 0;
        }
        if (pairs > 0 && token_is(scan, vb, ve, "default")) {
            break;
        }
        if (!token_before(scan, vb, &kb, &ke)) {
            return 0;
        }
        if (token_is(scan, kb, ke, "machine")) {
            break;
        }
        if (!token_is(scan, kb, ke, "login") && !token_is(scan, kb, ke, "account")) {
            return 0;
        }
        end = kb;
    }
    Value value;
    if (!spaced_value(scan, at + 8, &value, false)) {
        return 0;
    }
    return scan.add(value.begin, value.end, detector) < 0 ? -1 : value.resume;
}

}  // namespace zentrove::redact::detect
