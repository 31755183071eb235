// Payment card numbers: 13 to 19 digits, optionally grouped by single spaces
// or dashes, with a known issuer prefix and length and a valid Luhn check
// digit, standing alone rather than inside a longer number or word.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

[[nodiscard]] bool luhn_valid(const uint8_t* digits, int n) noexcept
{
    int sum = 0;
    for (int i = 0; i < n; ++i) {
        int d = digits[n - 1 - i];
        if (i % 2 == 1) {
            d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        }
        sum += d;
    }
    return sum % 10 == 0;
}

// Issuers' prefixes and lengths, so that Luhn's one-in-ten chance does not
// turn order numbers and millisecond timestamps into cards.
[[nodiscard]] bool issuer_known(const uint8_t* d, int n) noexcept
{
    int two = d[0] * 10 + d[1];
    int four = two * 100 + d[2] * 10 + d[3];
    switch (d[0]) {
    case 2:  // Mastercard 2-series
        return n == 16 && four >= 2221 && four <= 2720;
    case 3:
        if (two == 34 || two == 37) {  // American Express
            return n == 15;
        }
        if (two == 35) {  // JCB
            return n >= 16 && four >= 3528 && four <= 3589;
        }
        // Diners
        return (two == 30 || two == 36 || two == 38 || two == 39) && n >= 14;
    case 4:  // Visa
        return n == 13 || n == 16 || n == 19;
    case 5:  // Mastercard 51-55, Maestro otherwise
        return two >= 51 && two <= 55 ? n == 16 : true;
    case 6:  // Discover, UnionPay, Maestro
        return true;
    default: return false;
    }
}

}  // namespace

Py_ssize_t match_card(Scan& scan, Py_ssize_t at, int detector)
{
    // A card spans at least 13 bytes of digits and separators: one look far
    // ahead turns most numbers away before reading them.
    unsigned char thirteenth = scan.at(at + 12);
    if (!digit(thirteenth) && thirteenth != ' ' && thirteenth != '-') {
        return 0;
    }
    // Joined to a number before it by a dash or a dot: part of something
    // longer (a date, a version, a decimal).
    unsigned char before = scan.at(at - 1);
    if ((before == '-' || before == '.') && digit(scan.at(at - 2))) {
        return 0;
    }
    // A path segment (a URL's or a file's): an id, not a card someone typed.
    if (before == '/') {
        return 0;
    }
    uint8_t digits[19];
    int n = 0;
    int group = 0;  // digits since the last separator
    unsigned char sep = 0;
    Py_ssize_t end = at;
    while (end < scan.size) {
        unsigned char c = scan.text[end];
        if (digit(c)) {
            if (n == 19) {
                return 0;
            }
            digits[n++] = static_cast<uint8_t>(c - '0');
            ++group;
            ++end;
            continue;
        }
        // One separator kind, single, between groups of at most six digits
        // (a long run followed by a space and a number is two numbers).
        if ((c == ' ' || c == '-') && (sep == 0 || sep == c) && group > 0 && group <= 6 &&
            digit(scan.at(end + 1))) {
            if (sep == 0 && before == c && digit(scan.at(at - 2))) {
                return 0;  // a group of a longer grouped number
            }
            sep = c;
            group = 0;
            ++end;
            continue;
        }
        break;
    }
    unsigned char after = scan.at(end);
    if (is(after, kWord) || ((after == '-' || after == '.') && digit(scan.at(end + 1)))) {
        return 0;
    }
    if (n < 13 || !issuer_known(digits, n) || !luhn_valid(digits, n)) {
        return 0;
    }
    if (scan.add(at, end, detector) < 0) {
        return -1;
    }
    return end;
}

}  // namespace zentrove::redact::detect
