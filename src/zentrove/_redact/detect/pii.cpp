// Personal data in free text, found only when named: e-mail addresses, IPv4
// and IPv6 addresses, phone numbers, IBANs, US social security numbers and
// MAC addresses.  Its own pass over each block of the engine's scan.
//
// Every matcher reads a bounded stretch forward (the longest value of its
// kind) and gives up at once where its start sits inside a longer run of
// digits, dots or colons, so only the first number of a run is tried and a
// byte is read a few times at most.
#include "_redact/detect/detect.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zentrove::redact::detect {
namespace {

[[nodiscard]] bool alnum(unsigned char c) noexcept
{
    return is(c, kAlnum);
}

// Joined by one of `seps` to a byte of class `cls` before `at`: the start
// of a longer run, which the run's own first byte was tried for.
[[nodiscard]] bool joined_before(const Scan& s, Py_ssize_t at, std::string_view seps,
                                 uint8_t cls) noexcept
{
    unsigned char before = s.at(at - 1);
    return before != 0 && seps.find(static_cast<char>(before)) != std::string_view::npos &&
           is(s.at(at - 2), cls);
}

// The same after `end`: a word byte, or a separator and a byte of `cls`.
[[nodiscard]] bool joined_after(const Scan& s, Py_ssize_t end, std::string_view seps,
                                uint8_t cls) noexcept
{
    unsigned char after = s.at(end);
    if (is(after, kWord)) {
        return true;
    }
    return after != 0 && seps.find(static_cast<char>(after)) != std::string_view::npos &&
           is(s.at(end + 1), cls);
}

// Up to `most` digits from `at` as a number; *n gets how many.
[[nodiscard]] int number(const Scan& s, Py_ssize_t at, int most, int* n) noexcept
{
    int value = 0;
    int k = 0;
    while (k < most && digit(s.at(at + k))) {
        value = value * 10 + (s.at(at + k) - '0');
        ++k;
    }
    *n = k;
    return value;
}

// ---------------------------------------------------------------- IPv4

// A dotted quad from `at`, each octet 0-255 without a leading zero: its end,
// or 0; `octets` gets the values.
[[nodiscard]] Py_ssize_t quad(const Scan& s, Py_ssize_t at, int octets[4]) noexcept
{
    Py_ssize_t i = at;
    for (int k = 0; k < 4; ++k) {
        if (k > 0) {
            if (s.at(i) != '.') {
                return 0;
            }
            ++i;
        }
        int n;
        octets[k] = number(s, i, 3, &n);
        if (n == 0 || octets[k] > 255 || (n > 1 && s.at(i) == '0')) {
            return 0;
        }
        i += n;
    }
    return i;
}

// Private (10/8, 172.16/12, 192.168/16), loopback, link-local, unspecified.
[[nodiscard]] bool private_v4(const int o[4]) noexcept
{
    return o[0] == 10 || o[0] == 127 || o[0] == 0 || (o[0] == 172 && o[1] >= 16 && o[1] <= 31) ||
           (o[0] == 192 && o[1] == 168) || (o[0] == 169 && o[1] == 254);
}

[[nodiscard]] Py_ssize_t ipv4(Scan& s, Py_ssize_t at, bool keep_private) noexcept
{
    if (joined_before(s, at, ".", kDigit)) {
        return 0;  // a later number of a version or a longer dotted run
    }
    int o[4];
    Py_ssize_t end = quad(s, at, o);
    if (end == 0 || joined_after(s, end, ".", kDigit) || (keep_private && private_v4(o))) {
        return 0;
    }
    return end;
}

// ---------------------------------------------------------------- IPv6

// Full or `::`-compressed groups of 1-4 hex digits, with an optional dotted
// quad as the last 32 bits.  A compressed form needs a digit somewhere, so
// C++ names like `Abc::Def` stay.
[[nodiscard]] Py_ssize_t ipv6(Scan& s, Py_ssize_t at, bool keep_private) noexcept
{
    if (s.at(at - 1) == ':' || joined_before(s, at, ".", kAlnum)) {
        return 0;  // inside a longer run of groups
    }
    Py_ssize_t i = at;
    int groups = 0;  // 16-bit groups read
    bool gap = false;
    bool any_digit = false;
    int first = -1;  // the first group's value, when it leads
    bool loopback_tail = false;
    if (s.at(i) == ':') {
        // A leading gap starts the token, as a trailing one ends it.
        unsigned char before = s.at(at - 1);
        if (s.at(i + 1) != ':' ||
            (before != 0 && !space(before) &&
             std::string_view("[({,;\"'=/>").find(static_cast<char>(before)) ==
                 std::string_view::npos)) {
            return 0;
        }
        gap = true;
        i += 2;
    }
    while (groups < 8) {
        Py_ssize_t g = i;
        int value = 0;
        while (i - g < 4 && hex_value(s.at(i)) >= 0) {
            any_digit = any_digit || digit(s.at(i));
            value = value * 16 + hex_value(s.at(i));
            ++i;
        }
        if (i == g) {
            break;  // only right after a gap, or at the end: checked below
        }
        if (s.at(i) == '.' && groups <= 6) {
            int o[4];
            Py_ssize_t end = quad(s, g, o);
            if (end == 0) {
                return 0;
            }
            i = end;
            groups += 2;
            any_digit = true;
            loopback_tail = false;
            break;
        }
        if (groups == 0 && !gap) {
            first = value;
        }
        loopback_tail = value == 1;
        ++groups;
        if (s.at(i) == ':' && s.at(i + 1) == ':' && !gap) {
            gap = true;
            i += 2;
            continue;
        }
        if (s.at(i) == ':' && hex_value(s.at(i + 1)) >= 0 && groups < 8) {
            ++i;
            continue;
        }
        break;
    }
    if (gap ? groups > 7 || !any_digit : groups != 8) {
        return 0;
    }
    // A trailing gap ends the token: `2001:db8::` then a blank or closing
    // punctuation, not `4111::` glued to what a mask left of `4111::bob`.
    unsigned char stop = s.at(i);
    if (s.at(i - 1) == ':' && groups > 0 && stop != 0 && !space(stop) &&
        std::string_view("])},;\"'/%.").find(static_cast<char>(stop)) == std::string_view::npos) {
        return 0;
    }
    // Joined to more: a longer run of groups, a second gap, a dotted tail.
    unsigned char next = s.at(i + 1);
    if (is(s.at(i), kWord) || (s.at(i) == '.' && digit(next)) ||
        (s.at(i) == ':' && (next == ':' || hex_value(next) >= 0))) {
        return 0;
    }
    if (keep_private) {
        // ::, ::1, fe80::/10 link-local, fc00::/7 unique local.
        bool unspecified_or_loopback =
            s.at(at) == ':' && (groups == 0 || (groups == 1 && loopback_tail));
        if (unspecified_or_loopback ||
            (first >= 0 && ((first & 0xffc0) == 0xfe80 || (first & 0xfe00) == 0xfc00))) {
            return 0;
        }
    }
    return i;
}

// ---------------------------------------------------------------- MAC

// aa:bb:cc:dd:ee:ff, aa-bb-cc-dd-ee-ff, or Cisco's aabb.ccdd.eeff.
[[nodiscard]] Py_ssize_t mac(Scan& s, Py_ssize_t at) noexcept
{
    if (joined_before(s, at, ":-.", kAlnum)) {
        return 0;
    }
    auto hex_run = [&s](Py_ssize_t i, int n) {
        for (int k = 0; k < n; ++k) {
            if (hex_value(s.at(i + k)) < 0) {
                return false;
            }
        }
        return true;
    };
    unsigned char sep = s.at(at + 2);
    Py_ssize_t end;
    if (sep == ':' || sep == '-') {
        for (int k = 0; k < 6; ++k) {
            Py_ssize_t g = at + 3 * k;
            if (!hex_run(g, 2) || (k < 5 && s.at(g + 2) != sep)) {
                return 0;
            }
        }
        end = at + 17;
    }
    else {
        for (int k = 0; k < 3; ++k) {
            Py_ssize_t g = at + 5 * k;
            if (!hex_run(g, 4) || (k < 2 && s.at(g + 4) != '.')) {
                return 0;
            }
        }
        end = at + 14;
        sep = '.';
    }
    unsigned char after = s.at(end);
    if (is(after, kWord) || (after == sep && hex_value(s.at(end + 1)) >= 0)) {
        return 0;
    }
    return end;
}

// ---------------------------------------------------------------- US SSN

// AAA-GG-SSSS: area not 000, 666 or 900-999, group not 00, serial not 0000.
[[nodiscard]] Py_ssize_t us_ssn(Scan& s, Py_ssize_t at) noexcept
{
    if (joined_before(s, at, "-./", kAlnum)) {
        return 0;
    }
    int n1, n2, n3;
    int area = number(s, at, 3, &n1);
    if (n1 != 3 || s.at(at + 3) != '-') {
        return 0;
    }
    int group = number(s, at + 4, 2, &n2);
    if (n2 != 2 || s.at(at + 6) != '-') {
        return 0;
    }
    int serial = number(s, at + 7, 4, &n3);
    Py_ssize_t end = at + 11;
    if (n3 != 4 || joined_after(s, end, "-./", kDigit)) {
        return 0;
    }
    if (area == 0 || area == 666 || area >= 900 || group == 0 || serial == 0) {
        return 0;
    }
    return end;
}

// ---------------------------------------------------------------- IBAN

struct Country {
    char code[3];
    uint8_t length;
};

// The IBAN registry's lengths by country code, in code order.
constexpr Country kIbanLengths[] = {
    {"AD", 24}, {"AE", 23}, {"AL", 28}, {"AT", 20}, {"AZ", 28}, {"BA", 20}, {"BE", 16}, {"BG", 22},
    {"BH", 22}, {"BR", 29}, {"BY", 28}, {"CH", 21}, {"CR", 22}, {"CY", 28}, {"CZ", 24}, {"DE", 22},
    {"DK", 18}, {"DO", 28}, {"EE", 20}, {"EG", 29}, {"ES", 24}, {"FI", 18}, {"FO", 18}, {"FR", 27},
    {"GB", 22}, {"GE", 22}, {"GI", 23}, {"GL", 18}, {"GR", 27}, {"GT", 28}, {"HR", 21}, {"HU", 28},
    {"IE", 22}, {"IL", 23}, {"IQ", 23}, {"IS", 26}, {"IT", 27}, {"JO", 30}, {"KW", 30}, {"KZ", 20},
    {"LB", 28}, {"LC", 32}, {"LI", 21}, {"LT", 20}, {"LU", 20}, {"LV", 21}, {"MC", 27}, {"MD", 24},
    {"ME", 22}, {"MK", 19}, {"MR", 27}, {"MT", 31}, {"MU", 30}, {"NL", 18}, {"NO", 15}, {"PK", 24},
    {"PL", 28}, {"PS", 29}, {"PT", 25}, {"QA", 29}, {"RO", 24}, {"RS", 22}, {"SA", 24}, {"SC", 31},
    {"SE", 24}, {"SI", 19}, {"SK", 24}, {"SM", 27}, {"ST", 25}, {"SV", 28}, {"TL", 23}, {"TN", 24},
    {"TR", 26}, {"UA", 29}, {"VA", 22}, {"VG", 24}, {"XK", 20},
};

[[nodiscard]] int iban_length(unsigned char a, unsigned char b) noexcept
{
    for (const Country& c : kIbanLengths) {
        if (c.code[0] == a && c.code[1] == b) {
            return c.length;
        }
    }
    return 0;
}

constexpr int kLongestIban = 34;

// Country code, two check digits, the country's length of upper case
// letters and digits (in groups of four split by single spaces, or none),
// and mod 97 of the rearranged number equal to 1.
[[nodiscard]] Py_ssize_t iban(Scan& s, Py_ssize_t at) noexcept
{
    if (!is(s.at(at + 1), kUpper) || !digit(s.at(at + 2)) || !digit(s.at(at + 3))) {
        return 0;
    }
    int length = iban_length(s.at(at), s.at(at + 1));
    if (length == 0) {
        return 0;
    }
    unsigned char chars[kLongestIban];
    int n = 0;
    bool grouped = s.at(at + 4) == ' ';
    Py_ssize_t i = at;
    while (n < length) {
        unsigned char c = s.at(i);
        if (grouped && n > 0 && n % 4 == 0 && c == ' ') {
            c = s.at(++i);
        }
        if (!is(c, kUpper | kDigit)) {
            return 0;
        }
        chars[n++] = c;
        ++i;
    }
    if (is(s.at(i), kWord)) {
        return 0;
    }
    int rest = 0;
    for (int k = 0; k < length; ++k) {
        unsigned char c = chars[(k + 4) % length];
        rest = digit(c) ? (rest * 10 + (c - '0')) % 97 : (rest * 100 + (c - 'A' + 10)) % 97;
    }
    return rest == 1 ? i : 0;
}

// ---------------------------------------------------------------- phone

// `+` and 8-15 digits in groups split by a space, a dash, a dot or
// parentheses around a group, as people write E.164 numbers.
[[nodiscard]] Py_ssize_t international(Scan& s, Py_ssize_t at) noexcept
{
    if (is(s.at(at - 1), kWord) || !digit(s.at(at + 1))) {
        return 0;
    }
    Py_ssize_t i = at + 1;
    Py_ssize_t end = i;
    int digits = 0;
    int gap = 0;  // separator bytes since the last digit
    while (true) {
        unsigned char c = s.at(i);
        if (digit(c)) {
            if (++digits > 15) {
                return 0;
            }
            gap = 0;
            end = ++i;
            continue;
        }
        if ((c == ' ' || c == '-' || c == '.' || c == '(' || c == ')') && ++gap <= 2) {
            ++i;
            continue;
        }
        break;
    }
    if (digits < 8 || joined_after(s, end, "-./", kDigit)) {
        return 0;
    }
    return end;
}

// Three digits at `at`, `sep` and four digits standing alone: their end, or 0.
[[nodiscard]] Py_ssize_t subscriber(const Scan& s, Py_ssize_t at, unsigned char sep) noexcept
{
    Py_ssize_t end = at + 8;
    return s.run(at, kDigit, 4) == 3 && s.at(at + 3) == sep && s.run(at + 4, kDigit, 5) == 4 &&
                   !joined_after(s, end, "-./:", kDigit)
               ? end
               : 0;
}

// The subscriber's digits after a trunk 0 and an area code of `area`
// digits, from `at`: one group of 5-8 (030 1234567) or two of 3-4 split by
// `sep` (020 7946 0958, 0161 496 0000), 9-12 digits in all: their end, or 0.
[[nodiscard]] Py_ssize_t trunk_subscriber(const Scan& s, Py_ssize_t at, Py_ssize_t area,
                                          unsigned char sep) noexcept
{
    Py_ssize_t m = s.run(at, kDigit, 9);
    Py_ssize_t end = at + m;
    if (m >= 3 && m <= 4 && (sep == ' ' || sep == '-') && s.at(end) == sep) {
        Py_ssize_t second = s.run(end + 1, kDigit, 5);
        end += 1 + second;
        m += second;
        if (second < 3 || second > 4 || area + m < 10 || area + m > 11) {
            return 0;
        }
    }
    else if (m < 5 || m > 8 || area + m < 9) {
        return 0;
    }
    return joined_after(s, end, " -./:", kDigit) ? 0 : end;
}

// France's 0X XX XX XX XX (or with dots or dashes) from `at`: its end, or
// 0.  Pairs that all start with 0 are bytes ("<Buffer 01 02 03 04 05>").
[[nodiscard]] Py_ssize_t pairs_of_digits(const Scan& s, Py_ssize_t at) noexcept
{
    unsigned char sep = s.at(at + 2);
    if (sep != ' ' && sep != '.' && sep != '-') {
        return 0;
    }
    bool bytes = true;
    for (Py_ssize_t k = 1; k < 5; ++k) {
        Py_ssize_t g = at + 3 * k;
        if (s.at(g - 1) != sep || s.run(g, kDigit, 3) != 2) {
            return 0;
        }
        bytes = bytes && s.text[g] == '0';
    }
    if (bytes) {
        return 0;
    }
    Py_ssize_t end = at + 14;
    return joined_after(s, end, " -./:", kDigit) ? 0 : end;
}

// National forms: (415) 555-0132, 415-555-0132, 415.555.0132, 415 555 0132,
// and a trunk 0 with an area code: 030 1234567, 0151-2345678, (030) 1234567,
// 020 7946 0958, 03-1234-5678, 06 12 34 56 78.  Every form has 9 digits or
// more.
[[nodiscard]] Py_ssize_t national(Scan& s, Py_ssize_t at, bool country = false) noexcept
{
    bool paren = s.at(at) == '(';
    Py_ssize_t i = paren ? at + 1 : at;
    if (!paren && !country && joined_before(s, at, "-./:", kDigit)) {
        return 0;  // a later number of a dotted or dashed run
    }
    // Nor one of a list of numbers, for the forms split by spaces.
    const bool listed = !paren && !country && joined_before(s, at, " ", kDigit);
    // The US country code before the area code: 1-800-555-0132, 1 (800) 555-0132.
    unsigned char one_sep = s.at(at + 1);
    if (!country && s.at(at) == '1' && (one_sep == '-' || one_sep == '.' || one_sep == ' ') &&
        ((digit(s.at(at + 2)) && s.at(at + 5) == one_sep) ||
         (one_sep == ' ' && s.at(at + 2) == '('))) {
        Py_ssize_t end = national(s, at + 2, true);
        if (end != 0) {
            return end;
        }
    }
    Py_ssize_t n = s.run(i, kDigit, 6);
    const bool trunk = s.at(i) == '0' && s.at(i + 1) != '0';
    if (paren) {
        if (s.at(i + n) != ')') {
            return 0;
        }
        Py_ssize_t end = trunk && n >= 2 && n <= 5 && s.at(i + n + 1) == ' '
                             ? trunk_subscriber(s, i + n + 2, n, ' ')
                             : 0;
        if (end != 0) {
            return end;
        }
        if (n != 3) {
            return 0;
        }
        i += s.at(i + 4) == ' ' ? 5 : 4;
        unsigned char sep = s.at(i + 3);
        return sep == '-' || sep == '.' || sep == ' ' ? subscriber(s, i, sep) : 0;
    }
    unsigned char sep = s.at(i + 3);
    if (n == 3 && (sep == '-' || sep == '.' || (sep == ' ' && !listed))) {
        Py_ssize_t end = subscriber(s, i + 4, sep);
        if (end != 0) {
            return end;
        }
    }
    if (!trunk || n < 2 || n > 5) {
        return 0;
    }
    sep = s.at(i + n);
    if (sep == ' ' && listed) {
        return 0;
    }
    Py_ssize_t end = n == 2 ? pairs_of_digits(s, i) : 0;
    if (end == 0 && (sep == ' ' || sep == '-' || sep == '/')) {
        end = trunk_subscriber(s, i + n + 1, n, sep);
    }
    return end;
}

// ---------------------------------------------------------------- e-mail

constexpr Py_ssize_t kLongestLocal = 64;
constexpr Py_ssize_t kLongestDomain = 253;

[[nodiscard]] bool local_byte(unsigned char c) noexcept
{
    return alnum(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}

// local@domain: a local part of up to 64 bytes of [A-Za-z0-9._%+-], no dot
// at either end, and at least two dotted labels of letters, digits and
// inner dashes, the last all letters.  Tried at the '@'.
[[nodiscard]] Py_ssize_t email(Scan& s, Py_ssize_t at, Py_ssize_t* begin) noexcept
{
    Py_ssize_t b = at;
    while (b > 0 && at - b <= kLongestLocal && local_byte(s.at(b - 1))) {
        --b;
    }
    if (b == at || at - b > kLongestLocal || s.at(b) == '.' || s.at(at - 1) == '.') {
        return 0;
    }
    // A URL's user (scheme://user@host) or user and password: no address.
    Py_ssize_t user = b - 1;
    if (s.at(user) == ':') {
        while (user > 0 && b - user <= kLongestLocal && local_byte(s.at(user - 1))) {
            --user;
        }
    }
    if (s.at(b - 1) == '/' || (s.at(user - 1) == '/' && s.at(user - 2) == '/')) {
        return 0;
    }
    Py_ssize_t i = at + 1;
    Py_ssize_t end = 0;
    int labels = 0;
    bool letters = false;  // the last label all letters
    while (i - at <= kLongestDomain) {
        Py_ssize_t l = i;
        letters = true;
        while (i - l < 63 && (alnum(s.at(i)) || s.at(i) == '-')) {
            letters = letters && !digit(s.at(i)) && s.at(i) != '-';
            ++i;
        }
        if (i == l || s.at(l) == '-' || s.at(i - 1) == '-') {
            break;
        }
        ++labels;
        if (labels >= 2 && letters && i - l >= 2) {
            end = i;
        }
        if (s.at(i) != '.' || !alnum(s.at(i + 1))) {
            break;
        }
        ++i;
    }
    if (end == 0 || is(s.at(end), kWord)) {
        return 0;
    }
    *begin = b;
    return end;
}

[[nodiscard]] bool on(uint32_t detectors, int d) noexcept
{
    return (detectors & (uint32_t{1} << d)) != 0;
}

// Where a matcher may start: anywhere ('@', '+' and '(', ':'), or where a
// word starts (digits, hex letters, other capitals).  One bit mask per kind
// of start for a block of up to 64 bytes, so the pass costs a few
// instructions per 16 bytes and stops only where a live kind may start.
struct Starts {
    uint64_t at_sign = 0;
    uint64_t phone_mark = 0;  // '+' or '('
    uint64_t colon = 0;
    uint64_t digit = 0;
    uint64_t hex_letter = 0;  // [A-Fa-f]
    uint64_t upper = 0;
    uint64_t word = 0;  // [A-Za-z0-9_]
};

[[nodiscard]] Starts starts_portable(const unsigned char* q, Py_ssize_t n) noexcept
{
    Starts m;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned char c = q[i];
        const uint64_t bit = uint64_t{1} << i;
        m.at_sign |= c == '@' ? bit : 0;
        m.phone_mark |= c == '+' || c == '(' ? bit : 0;
        m.colon |= c == ':' ? bit : 0;
        m.digit |= is(c, kDigit) ? bit : 0;
        m.hex_letter |= !is(c, kDigit) && hex_value(c) >= 0 ? bit : 0;
        m.upper |= is(c, kUpper) ? bit : 0;
        m.word |= is(c, kWord) ? bit : 0;
    }
    return m;
}

#if defined(__SSE2__)
// Bytes in [lo, hi], by a signed comparison of bytes shifted by 0x80.
[[nodiscard]] inline __m128i in_range(__m128i v, unsigned char lo, unsigned char hi) noexcept
{
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i x = _mm_xor_si128(_mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(lo))), flip);
    return _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>((hi - lo + 1) ^ 0x80)));
}

[[nodiscard]] inline uint64_t bits(__m128i v) noexcept
{
    return static_cast<uint16_t>(_mm_movemask_epi8(v));
}

[[nodiscard]] Starts starts_of(const unsigned char* q, Py_ssize_t n) noexcept
{
    if (n != 64) {
        return starts_portable(q, n);
    }
    Starts m;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * k));
        auto eq = [&v](char c) {
            return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
        };
        const __m128i digit = in_range(v, '0', '9');
        const __m128i upper = in_range(v, 'A', 'Z');
        const __m128i lower = in_range(v, 'a', 'z');
        const __m128i hex = _mm_or_si128(in_range(v, 'A', 'F'), in_range(v, 'a', 'f'));
        const int shift = 16 * k;
        m.at_sign |= bits(eq('@')) << shift;
        m.phone_mark |= bits(_mm_or_si128(eq('+'), eq('('))) << shift;
        m.colon |= bits(eq(':')) << shift;
        m.digit |= bits(digit) << shift;
        m.hex_letter |= bits(hex) << shift;
        m.upper |= bits(upper) << shift;
        m.word |= bits(_mm_or_si128(_mm_or_si128(digit, eq('_')), _mm_or_si128(upper, lower)))
                  << shift;
    }
    return m;
}
#else
[[nodiscard]] Starts starts_of(const unsigned char* q, Py_ssize_t n) noexcept
{
    return starts_portable(q, n);
}
#endif

// Hex digits from `at`, at most five: a group of an IPv6 address or a MAC
// has at most four before its separator, so five tells "too long".
[[nodiscard]] int hex_run(const Scan& s, Py_ssize_t at) noexcept
{
    int n = 0;
    while (n < 5 && hex_value(s.at(at + n)) >= 0) {
        ++n;
    }
    return n;
}

// Could an IPv6 address start at `at` (a hex digit where a word starts)?
// Its first group is one to four hex digits and a ':'.
[[nodiscard]] bool ipv6_head(const Scan& s, Py_ssize_t at, int run) noexcept
{
    return run <= 4 && s.at(at + run) == ':';
}

// Could a MAC start there?  Two hex digits and ':' or '-', or four and '.'.
[[nodiscard]] bool mac_head(const Scan& s, Py_ssize_t at, int run) noexcept
{
    unsigned char sep = s.at(at + run);
    return (run == 2 && (sep == ':' || sep == '-')) || (run == 4 && sep == '.');
}

}  // namespace

int scan_pii(Scan& s, Py_ssize_t from, Py_ssize_t to, uint32_t detectors, Py_ssize_t* resume)
{
    const bool v4 = on(detectors, kIpv4) || on(detectors, kIpv4Public);
    const bool v6 = on(detectors, kIpv6) || on(detectors, kIpv6Public);
    // Which detector reports an address: the public one keeps private addresses.
    const int v4_detector = on(detectors, kIpv4) ? kIpv4 : kIpv4Public;
    const int v6_detector = on(detectors, kIpv6) ? kIpv6 : kIpv6Public;
    const bool digits =
        v4 || v6 || on(detectors, kMac) || on(detectors, kUsSsn) || on(detectors, kPhone);
    const bool hex = v6 || on(detectors, kMac);
    const unsigned char* p = s.text.data;  // one read per byte, uncounted like the candidates
    const Starts m = starts_of(p + from, to - from);
    const uint64_t word_before = from > 0 && is(p[from - 1], kWord) ? 1 : 0;
    const uint64_t word_start = m.word & ~(m.word << 1 | word_before);
    uint64_t marks = (on(detectors, kEmail) ? m.at_sign : 0) |
                     (on(detectors, kPhone) ? m.phone_mark : 0) | (v6 ? m.colon : 0) |
                     (word_start & ((digits ? m.digit : 0) | (hex ? m.hex_letter : 0) |
                                    (on(detectors, kIban) ? m.upper : 0)));
    while (marks != 0) {
        const Py_ssize_t at = from + __builtin_ctzll(marks);
        marks &= marks - 1;
        if (at < *resume) {
            continue;
        }
        unsigned char c = p[at];
        Py_ssize_t begin = at;
        Py_ssize_t end = 0;
        int found = -1;
        if (c == '@') {
            end = email(s, at, &begin);
            found = kEmail;
        }
        else if (c == '+' || c == '(') {
            end = c == '+' ? international(s, at) : national(s, at);
            found = kPhone;
        }
        else if (c == ':') {
            if (s.at(at + 1) == ':' && (at == 0 || hex_value(p[at - 1]) < 0)) {
                end = ipv6(s, at, v6_detector == kIpv6Public);
                found = v6_detector;
            }
        }
        else {
            const int run = hex_value(c) >= 0 ? hex_run(s, at) : 0;
            if (digit(c) && on(detectors, kUsSsn) && (end = us_ssn(s, at)) != 0) {
                found = kUsSsn;
            }
            else if (digit(c) && v4 && (end = ipv4(s, at, v4_detector == kIpv4Public)) != 0) {
                found = v4_detector;
            }
            else if (on(detectors, kMac) && mac_head(s, at, run) && (end = mac(s, at)) != 0) {
                found = kMac;
            }
            else if (v6 && ipv6_head(s, at, run) &&
                     (end = ipv6(s, at, v6_detector == kIpv6Public)) != 0) {
                found = v6_detector;
            }
            else if (digit(c) && on(detectors, kPhone) && (end = national(s, at)) != 0) {
                found = kPhone;
            }
            else if (is(c, kUpper) && on(detectors, kIban) && (end = iban(s, at)) != 0) {
                found = kIban;
            }
        }
        if (end > 0) {
            if (s.add(begin, end, found) < 0) {
                return -1;
            }
            *resume = end;
        }
    }
    return 0;
}

}  // namespace zentrove::redact::detect
