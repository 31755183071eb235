// The vendor secrets that only a keyword near them gives away, one row each:
// the words that name the vendor, and the shape of the value assigned after
// them (`twitter_secret = <45 alnum>`, `heroku: <uuid>`).  Reading the table
// tells what is found; adding a rule is one row (and one test row).  The
// matcher is detect/keywords.cpp; rows report the `tokens` detector.
#pragma once

#include "_redact/detect/detect.h"

namespace zentrove::redact::detect::keywords {

// What a byte of a value is, one bit each; a byte is one of them at most.
// Letters of either case: every rule reads its value case-insensitively.
namespace kind {
enum : uint16_t {
    digit = 1,        // [0-9]
    hex_letter = 2,   // [a-fA-F]
    g_h = 4,          // [g-hG-H]: Mailgun's signing keys run from a to h
    letter = 8,       // [i-zI-Z]
    dash = 16,        // '-'
    underscore = 32,  // '_'
    equals = 64,      // '='
    dot = 128,        // '.'
    slash = 256,      // '/'
    plus = 512,       // '+'
    percent = 1024,   // '%'
    colon = 2048,     // ':'
};
}  // namespace kind

inline constexpr uint16_t kHexBytes = kind::digit | kind::hex_letter;
inline constexpr uint16_t kLetters = kind::hex_letter | kind::g_h | kind::letter;
inline constexpr uint16_t kAlnumBytes = kind::digit | kLetters;
inline constexpr uint16_t kUrl64Bytes = kAlnumBytes | kind::dash | kind::underscore;

// A stretch of a value: a literal (its alternatives split by '|'), or a run
// of bytes of the kinds in `bytes`, from `min` to `max` of them.
struct Piece {
    std::string_view text;
    uint16_t bytes;
    uint16_t min;
    uint16_t max;
    bool exact;  // the literal's case counts
};

struct Value {
    std::array<Piece, 12> pieces;
    uint8_t count;
};

constexpr Value operator+(Value a, const Value& b)
{
    for (uint8_t i = 0; i < b.count; ++i) {
        a.pieces[a.count++] = b.pieces[i];
    }
    return a;
}

constexpr Value run(uint16_t bytes, uint16_t min, uint16_t max)
{
    Value v{};
    v.pieces[0] = Piece{{}, bytes, min, max, false};
    v.count = 1;
    return v;
}
constexpr Value lit(std::string_view text)
{
    Value v{};
    v.pieces[0] = Piece{text, 0, 0, 0, false};
    v.count = 1;
    return v;
}
constexpr Value exact(std::string_view text)
{
    Value v = lit(text);
    v.pieces[0].exact = true;
    return v;
}
constexpr Value digits(uint16_t min, uint16_t max)
{
    return run(kind::digit, min, max);
}
constexpr Value digits(uint16_t n)
{
    return digits(n, n);
}
constexpr Value hex(uint16_t n)
{
    return run(kHexBytes, n, n);
}
// [a-h0-9]
constexpr Value to_h(uint16_t n)
{
    return run(kHexBytes | kind::g_h, n, n);
}
constexpr Value alnum(uint16_t min, uint16_t max)
{
    return run(kAlnumBytes, min, max);
}
constexpr Value alnum(uint16_t n)
{
    return alnum(n, n);
}
// [a-z0-9_-]
constexpr Value url64(uint16_t min, uint16_t max)
{
    return run(kUrl64Bytes, min, max);
}
constexpr Value url64(uint16_t n)
{
    return url64(n, n);
}
// [a-z0-9=_-]
constexpr Value url64_eq(uint16_t min, uint16_t max)
{
    return run(kUrl64Bytes | kind::equals, min, max);
}
constexpr Value url64_eq(uint16_t n)
{
    return url64_eq(n, n);
}
constexpr Value uuid()
{
    return hex(8) + lit("-") + hex(4) + lit("-") + hex(4) + lit("-") + hex(4) + lit("-") + hex(12);
}

// One rule.  `words` are split by '|' and compared case-insensitively; a
// word marked '^' counts only as written or in upper case ("Okta", "okta",
// "OKTA", not "oKta"), and '~' in a word stands for an optional '_', '.'
// or '-'.
struct Rule {
    std::string_view name;  // gitleaks' id of the rule
    std::string_view words;
    Value value;
    uint8_t entropy;  // the value's least Shannon entropy, in tenths of a bit per byte

    constexpr Rule min_entropy(uint8_t tenths) const
    {
        Rule r = *this;
        r.entropy = tenths;
        return r;
    }
};

constexpr Rule rule(std::string_view name, std::string_view words, Value value)
{
    return Rule{name, words, value, 0};
}

inline constexpr std::string_view kJfrog = "jfrog|artifactory|bintray|xray";
inline constexpr std::string_view kLinkedin = "linkedin|linked_in|linked-in";
inline constexpr std::string_view kMessagebird = "messagebird|message_bird|message-bird";
inline constexpr std::string_view kNewRelic = "new-relic|newrelic|new_relic";

// In the order they are tried: among rows that a value's length and bytes
// fit and whose word stands before it, the first whose shape fits wins.
// The gitleaks rules' entropy thresholds are kept; under a rule without
// one, a value that is one run of letters and digits must hold both (else
// it may be a word or a number, detect/keywords.cpp).
inline constexpr Rule kRules[] = {
    rule("adafruit-api-key", "adafruit", url64(32)),
    rule("adobe-client-id", "adobe", hex(32)).min_entropy(20),
    rule("airtable-api-key", "airtable", alnum(17)),
    rule("algolia-api-key", "algolia", alnum(32)),
    rule("alibaba-secret-key", "alibaba", alnum(30)).min_entropy(20),
    rule("asana-client-id", "asana", digits(16)),
    rule("asana-client-secret", "asana", alnum(32)),
    rule("atlassian-api-token", "^atlassian|^confluence|^jira", alnum(20) + hex(4))
        .min_entropy(35),
    rule("beamer-api-token", "beamer", lit("b_") + url64_eq(44)),
    rule("bitbucket-client-id", "bitbucket", alnum(32)),
    rule("bitbucket-client-secret", "bitbucket", url64_eq(64)),
    rule("bittrex-access-key", "bittrex", alnum(32)),
    rule("bittrex-secret-key", "bittrex", alnum(32)),
    rule("cisco-meraki-api-key", "^meraki", hex(40)).min_entropy(30),
    rule("cloudflare-api-key", "cloudflare", url64(40)).min_entropy(20),
    rule("cloudflare-global-api-key", "cloudflare", hex(37)).min_entropy(20),
    rule("codecov-access-token", "codecov", alnum(32)),
    rule("cohere-api-token", "cohere|co_api_key", alnum(40)).min_entropy(40),
    rule("coinbase-access-token", "coinbase", url64(64)),
    rule("confluent-access-token", "confluent", alnum(16)),
    rule("confluent-secret-key", "confluent", alnum(64)),
    rule("contentful-delivery-api-token", "contentful", url64_eq(43)),
    rule("datadog-access-token", "datadog", alnum(40)),
    rule("defined-networking-api-token", "dnkey",
         lit("dnkey-") + url64_eq(26) + lit("-") + url64_eq(52)),
    rule("discord-api-token", "discord", hex(64)),
    rule("discord-client-id", "discord", digits(18)).min_entropy(20),
    rule("discord-client-secret", "discord", url64_eq(32)).min_entropy(20),
    rule("droneci-access-token", "droneci", alnum(32)),
    rule("dropbox-api-token", "dropbox", alnum(15)),
    rule("dropbox-long-lived-api-token", "dropbox", alnum(11) + lit("AAAAAAAAAA") + url64_eq(43)),
    rule("dropbox-short-lived-api-token", "dropbox", lit("sl.") + url64_eq(135)),
    rule("etsy-access-token", "^etsy", alnum(24)).min_entropy(30),
    rule("facebook-secret", "facebook", hex(32)).min_entropy(30),
    rule("fastly-api-token", "fastly", url64_eq(32)),
    rule("finicity-api-token", "finicity", hex(32)),
    rule("finicity-client-secret", "finicity", alnum(20)),
    rule("finnhub-access-token", "finnhub", alnum(20)),
    rule("flickr-access-token", "flickr", alnum(32)),
    rule("freshbooks-access-token", "freshbooks", alnum(64)),
    rule("gitter-access-token", "gitter", url64(40)),
    rule("gocardless-api-token", "gocardless", lit("live_") + url64_eq(40)),
    rule("heroku-api-key", "heroku", uuid()),
    rule("hubspot-api-key", "hubspot", uuid()),
    rule("intercom-api-key", "intercom", url64_eq(60)),
    rule("jfrog-api-key", kJfrog, alnum(73)),
    rule("jfrog-identity-token", kJfrog, alnum(64)),
    rule("kraken-access-token", "kraken",
         run(kUrl64Bytes | kind::equals | kind::slash | kind::plus, 80, 90)),
    rule("kucoin-access-token", "kucoin", hex(24)),
    rule("kucoin-secret-key", "kucoin", uuid()),
    rule("launchdarkly-access-token", "launchdarkly", url64_eq(40)),
    rule("linear-client-secret", "linear", hex(32)).min_entropy(20),
    rule("linkedin-client-id", kLinkedin, alnum(14)).min_entropy(20),
    rule("linkedin-client-secret", kLinkedin, alnum(16)).min_entropy(20),
    rule("lob-api-key", "lob", lit("live_|test_") + hex(35)),
    rule("lob-pub-api-key", "lob", lit("live_pub_|test_pub_") + hex(31)),
    rule("mailchimp-api-key", "mailchimp", hex(32) + lit("-us") + digits(2)),
    rule("mailgun-private-api-token", "mailgun", lit("key-") + hex(32)),
    rule("mailgun-pub-key", "mailgun", lit("pubkey-") + hex(32)),
    rule("mailgun-signing-key", "mailgun", to_h(32) + lit("-") + to_h(8) + lit("-") + to_h(8)),
    rule("mapbox-api-token", "mapbox", lit("pk.") + alnum(60) + lit(".") + alnum(22)),
    rule("mattermost-access-token", "mattermost", alnum(26)),
    rule("messagebird-api-token", kMessagebird, alnum(25)),
    rule("messagebird-client-id", kMessagebird, uuid()),
    rule("netlify-access-token", "netlify", url64_eq(40, 46)),
    rule("new-relic-browser-api-token", kNewRelic, lit("NRJS-") + hex(19)),
    rule("new-relic-insert-key", kNewRelic, lit("NRII-") + run(kAlnumBytes | kind::dash, 32, 32)),
    rule("new-relic-user-api-id", kNewRelic, alnum(64)),
    rule("new-relic-user-api-key", kNewRelic, lit("NRAK-") + alnum(27)),
    rule("nytimes-access-token", "nytimes|new-york-times,|newyorktimes", url64_eq(32)),
    rule("okta-access-token", "^okta", lit("00") + url64_eq(40)).min_entropy(40),
    rule("plaid-api-token", "plaid",
         lit("access-") + lit("sandbox|development|production") + lit("-") + uuid()),
    rule("plaid-client-id", "plaid", alnum(24)).min_entropy(35),
    rule("plaid-secret-key", "plaid", alnum(30)).min_entropy(35),
    rule("privateai-api-token", "privateai|private_ai|private-ai", alnum(32)).min_entropy(30),
    rule("rapidapi-access-token", "rapidapi", url64(50)),
    rule("sendbird-access-id", "sendbird", uuid()),
    rule("sendbird-access-token", "sendbird", hex(40)),
    rule("sentry-access-token", "sentry", hex(64)).min_entropy(30),
    rule("sidekiq-secret", "bundle_enterprise__contribsys__com|bundle_gems__contribsys__com",
         hex(8) + lit(":") + hex(8)),
    rule("snyk-api-token",
         "snyk~key|snyk~token|snyk~api~key|snyk~api~token|snyk~oauth~key|snyk~oauth~token",
         uuid()),
    rule("sonar-api-token", "sonar~login|sonar~token", url64_eq(40)),
    rule("squarespace-access-token", "squarespace", uuid()),
    rule("sumologic-access-id", "^sumo", lit("su") + alnum(12)).min_entropy(30),
    rule("sumologic-access-token", "^sumo", alnum(64)).min_entropy(30),
    rule("telegram-bot-api-token", "telegr", digits(5, 16) + lit(":") + exact("A") + url64(34)),
    rule("travisci-access-token", "travis", alnum(22)),
    rule("twitch-api-token", "twitch", alnum(30)),
    rule("twitter-access-secret", "twitter", alnum(45)),
    rule("twitter-access-token", "twitter", digits(15, 25) + lit("-") + alnum(20, 40)),
    rule("twitter-api-key", "twitter", alnum(25)),
    rule("twitter-api-secret", "twitter", alnum(50)),
    rule("twitter-bearer-token", "twitter",
         lit("AAAAAAAAAAAAAAAAAAAAAA") + run(kAlnumBytes | kind::percent, 80, 100)),
    rule("typeform-api-token", "typeform",
         lit("tfp_") + run(kUrl64Bytes | kind::dot | kind::equals, 59, 59)),
    // Its first part has no length of its own; 160 bytes bound it.
    rule("yandex-access-token", "yandex",
         lit("t1.") + url64(1, 160) + run(kind::equals, 0, 2) + lit(".") + url64(86) +
             run(kind::equals, 0, 2)),
    rule("yandex-api-key", "yandex", lit("AQVN") + url64(35, 38)),
    rule("yandex-aws-access-token", "yandex", lit("YC") + url64(38)),
    rule("zendesk-secret-key", "zendesk", alnum(40)),
};

}  // namespace zentrove::redact::detect::keywords
