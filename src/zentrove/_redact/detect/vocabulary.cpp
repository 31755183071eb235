// The built-in vocabulary of secret key words: `PGPASSWORD`, `X-Api-Key`,
// `client_secret` name a secret whatever the redactor's own key rules say.
// A key is read as its word parts (split at `_ - .`, blanks, camelCase and
// digits) and judged by its last part that is not a mere qualifier
// (`token_value`, `password2`): `token_type`, `max_tokens`, `tokenizer` and
// `passwordless` name no secret.
#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {
namespace {

// What a word does in a key.
enum : uint8_t {
    kPasswordEnding = 1,  // a part ending in it names a password: `pgpassword`
    kPasswordPart = 2,    // a part that is it names a password: `DB_PASS`, not `bypass`
    kSecretEnding = 4,    // a part ending in it names another secret: `authtoken`
    kAlone = 8,           // a key that is it names a secret: `key=`, `api:`, `access=`
    kKeyKind = 16,        // "key" after it names a secret: `api_key`, not `sort_key`
    kQualifier = 32,      // it qualifies the part before: `token_value`, `secret_id`
};
constexpr uint8_t kEndings = kPasswordEnding | kSecretEnding;

struct Word {
    std::string_view text;  // lower case
    uint8_t roles;
};

constexpr Word kWords[] = {
    {"password", kPasswordEnding | kKeyKind},
    {"passwd", kPasswordEnding | kKeyKind},
    {"passphrase", kPasswordEnding},
    {"pwd", kPasswordPart},
    {"pass", kPasswordPart | kKeyKind},
    {"secret", kSecretEnding | kKeyKind},
    {"token", kSecretEnding | kKeyKind},
    {"apikey", kSecretEnding},
    {"accesskey", kSecretEnding},
    {"privatekey", kSecretEnding},
    {"secretkey", kSecretEnding},
    {"credential", kSecretEnding | kKeyKind},
    {"credentials", kSecretEnding | kKeyKind},
    {"creds", kSecretEnding | kKeyKind},
    {"auth", kSecretEnding | kKeyKind},
    {"authorization", kSecretEnding},
    {"key", kAlone},
    {"api", kAlone | kKeyKind},
    {"access", kAlone | kKeyKind},
    {"private", kKeyKind},
    {"signing", kKeyKind},
    {"encryption", kKeyKind},
    {"master", kKeyKind},
    {"client", kKeyKind},
    {"app", kKeyKind},
    {"account", kKeyKind},
    {"storage", kKeyKind},
    {"shared", kKeyKind},
    {"ssh", kKeyKind},
    {"license", kKeyKind},
    {"subscription", kKeyKind},
    {"consumer", kKeyKind},
    {"service", kKeyKind},
    {"hmac", kKeyKind},
    {"id", kQualifier},
    {"value", kQualifier},
    {"val", kQualifier},
    {"str", kQualifier},
    {"string", kQualifier},
    {"hex", kQualifier},
    {"b", kQualifier},  // of `b64`, parted from its number
    {"base", kQualifier},
    {"raw", kQualifier},
    {"plain", kQualifier},
    {"plaintext", kQualifier},
    {"enc", kQualifier},
    {"encoded", kQualifier},
    {"encrypted", kQualifier},
    {"hash", kQualifier},
    {"hashed", kQualifier},
    {"confirm", kQualifier},
    {"confirmation", kQualifier},
    {"again", kQualifier},
    {"repeat", kQualifier},
};
constexpr size_t kWordCount = std::size(kWords);

// The words by their last two letters: a part's last two letters pick the
// few that may match it (most keys: none), so a key is judged with a
// compare or two.  "b" alone is the one word of one letter.
constexpr size_t kBucket = 6;
struct Buckets {
    std::array<std::array<uint8_t, kBucket>, 26 * 26> words{};
    std::array<uint8_t, 26 * 26> sizes{};
};

[[nodiscard]] constexpr size_t bucket_of(char before, char last) noexcept
{
    return static_cast<size_t>(before - 'a') * 26 + static_cast<size_t>(last - 'a');
}

constexpr Buckets make_buckets()
{
    Buckets b;
    for (size_t i = 0; i < kWordCount; ++i) {
        const std::string_view w = kWords[i].text;
        if (w.size() >= 2) {
            size_t k = bucket_of(w[w.size() - 2], w.back());
            b.words[k][b.sizes[k]++] = static_cast<uint8_t>(i);
        }
    }
    return b;
}
constexpr Buckets kBuckets = make_buckets();

// The last two letters of the words that a key's last part may be (all
// but the kinds of key, which only stand before "key"): a key that ends in
// none of them is judged without being parted.
constexpr std::array<bool, 26 * 26> make_endings()
{
    std::array<bool, 26 * 26> e{};
    for (const Word& w : kWords) {
        if (w.text.size() >= 2 && (w.roles & ~kKeyKind) != 0) {
            e[bucket_of(w.text[w.text.size() - 2], w.text.back())] = true;
        }
    }
    return e;
}
constexpr std::array<bool, 26 * 26> kLastEndings = make_endings();

constexpr bool buckets_fit()
{
    std::array<size_t, 26 * 26> n{};
    for (const Word& w : kWords) {
        for (char c : w.text) {
            if (c < 'a' || c > 'z') {
                return false;
            }
        }
        if (w.text.size() >= 2 &&
            ++n[bucket_of(w.text[w.text.size() - 2], w.text.back())] > kBucket) {
            return false;
        }
        if (w.text.size() == 1 && w.text != "b") {
            return false;
        }
    }
    return kWordCount < 256;
}
static_assert(buckets_fit());

struct Part {
    const unsigned char* text;
    Py_ssize_t size;
};

// The roles the part takes: those of a word it is, and the endings of the
// words it ends in.
[[nodiscard, gnu::always_inline]] inline uint8_t roles_of(Part p) noexcept
{
    if (digit(p.text[0])) {
        return kQualifier;  // `password2`: a number after the word
    }
    const unsigned char last = p.text[p.size - 1] | 0x20;
    if (p.size == 1) {
        return last == 'b' ? kQualifier : 0;
    }
    const unsigned char before = p.text[p.size - 2] | 0x20;
    if (last < 'a' || last > 'z' || before < 'a' || before > 'z') {
        return 0;
    }
    const size_t bucket = bucket_of(static_cast<char>(before), static_cast<char>(last));
    uint8_t roles = 0;
    for (size_t k = 0; k < kBuckets.sizes[bucket]; ++k) {
        const Word& w = kWords[kBuckets.words[bucket][k]];
        auto m = static_cast<Py_ssize_t>(w.text.size());
        if (p.size < m || (p.size > m && !(w.roles & kEndings))) {
            continue;
        }
        const unsigned char* tail = p.text + p.size - m;
        Py_ssize_t i = 0;
        while (i < m - 2 &&
               (tail[i] | 0x20) == static_cast<unsigned char>(w.text[static_cast<size_t>(i)])) {
            ++i;
        }
        if (i == m - 2) {
            roles |= p.size == m ? w.roles : static_cast<uint8_t>(w.roles & kEndings);
        }
    }
    return roles;
}

// The part that ends at `end`, read backwards as the key would be split
// forwards: a number; small letters and the capital before them
// (`Token`); a run of capitals (`API` of `APIKey`).  Its size is 0 when no
// letter or digit is left before `end`.
[[nodiscard, gnu::always_inline]] inline Part part_before(const unsigned char* key,
                                                          Py_ssize_t end) noexcept
{
    while (end > 0 && !is(key[end - 1], kAlnum)) {
        --end;
    }
    Py_ssize_t b = end;
    if (b > 0 && digit(key[b - 1])) {
        while (b > 0 && digit(key[b - 1])) {
            --b;
        }
    }
    else if (b > 0 && is(key[b - 1], kLower)) {
        while (b > 0 && is(key[b - 1], kLower)) {
            --b;
        }
        b -= b > 0 && is(key[b - 1], kUpper) ? 1 : 0;
    }
    else {
        while (b > 0 && is(key[b - 1], kUpper)) {
            --b;
        }
    }
    return Part{key + b, end - b};
}

}  // namespace

SecretWord secret_word_key(const unsigned char* key, Py_ssize_t n) noexcept
{
    if (n >= 2) {
        // Two small letters (or capitals) end most keys: their pair tells.
        const unsigned char a = key[n - 2];
        const unsigned char b = key[n - 1];
        if (is(a, kLower) == is(b, kLower) && is(a, kUpper | kLower) && is(b, kUpper | kLower) &&
            !kLastEndings[bucket_of(static_cast<char>(a | 0x20), static_cast<char>(b | 0x20))]) {
            examined(2);
            return SecretWord::kNone;
        }
    }
    // From the last part back past qualifiers and numbers (never past the
    // first part); most keys end in a part that no word ends.
    Part word = part_before(key, n);
    if (word.size == 0) {
        return SecretWord::kNone;
    }
    uint8_t roles = roles_of(word);
    if (roles == 0) {
        return SecretWord::kNone;  // most keys: their last part is no word of ours
    }
    bool id = false;
    Part before = part_before(key, word.text - key);
    int skipped = 0;
    for (; (roles & kQualifier) && before.size > 0 && skipped < 3; ++skipped) {
        id |= word.size == 2 && (word.text[0] | 0x20) == 'i';
        word = before;
        roles = roles_of(word);
        before = part_before(key, word.text - key);
    }
    examined(n);
    if (roles & (kPasswordEnding | kPasswordPart)) {
        return SecretWord::kPassword;
    }
    if (roles & kSecretEnding) {
        return SecretWord::kOther;
    }
    if (before.size == 0) {
        return skipped == 0 && (roles & kAlone) ? SecretWord::kOther : SecretWord::kNone;
    }
    // "key" after its kind; but `AccessKeyId`, `key_id` name a key, not
    // its secret.
    const bool key_word = word.size == 3 && (word.text[0] | 0x20) == 'k' && (roles & kAlone);
    return key_word && !id && (roles_of(before) & kKeyKind) ? SecretWord::kOther
                                                            : SecretWord::kNone;
}

}  // namespace zentrove::redact::detect
