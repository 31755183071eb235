// The vendor token families that the `tokens` detector finds, one row each:
// what the token starts with and what its body must look like.  Reading the
// table tells what is found; adding a family is one row (and one test row).
#pragma once

#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {

// A stretch of the body: bytes of one class, a length in [min, max], and
// what the bytes must be beyond their class.
enum class Only : uint8_t {
    any,
    hex,      // [0-9a-fA-F]
    letters,  // [A-Za-z]
};

struct Part {
    uint8_t cls;  // one of the classes Scan::run remembers (run_row)
    uint16_t min;
    uint16_t max;
    Only only;  // checked byte by byte: only on classes without separators
};

// A check of the whole token that its shape cannot tell.
enum class Check : uint8_t {
    none,
    crc32_base62,  // the body's last 6 bytes: CRC32 of the rest, in base62
};

// One family.  Rows read `family("name", "prefix", part).then(...)...`.
struct Family {
    std::string_view name;
    std::string_view prefix;  // at a word start; its first two bytes trigger
    Part body;
    char sep;               // a second part follows after this byte (0: none)
    Part second;            // after `sep`
    char sep2;              // a third part follows after this byte (0: none)
    Part third;             // after `sep2`
    std::string_view ends;  // the body's last bytes
    std::string_view mark;  // bytes at `mark_at` into the body
    uint16_t mark_at;
    bool padded;  // up to two '=' may sit inside or after the body
    Check check;
    uint16_t keep;  // bytes of the prefix left readable (a host name)
    int detector;   // the detector that turns the row on, and that reports it

    constexpr Family under(int d) const
    {
        Family f = *this;
        f.detector = d;
        return f;
    }

    // The next part, after `s`: the second, or the third after a second.
    constexpr Family then(char s, Part p) const
    {
        Family f = *this;
        if (f.sep == 0) {
            f.sep = s;
            f.second = p;
        }
        else {
            f.sep2 = s;
            f.third = p;
        }
        return f;
    }
    constexpr Family ending(std::string_view e) const
    {
        Family f = *this;
        f.ends = e;
        return f;
    }
    constexpr Family marked(uint16_t at, std::string_view m) const
    {
        Family f = *this;
        f.mark_at = at;
        f.mark = m;
        return f;
    }
    constexpr Family with_padding() const
    {
        Family f = *this;
        f.padded = true;
        return f;
    }
    constexpr Family checked(Check c) const
    {
        Family f = *this;
        f.check = c;
        return f;
    }
    constexpr Family keeping(uint16_t n) const
    {
        Family f = *this;
        f.keep = n;
        return f;
    }
};

constexpr Family family(std::string_view name, std::string_view prefix, Part body)
{
    return Family{name, prefix, body, 0,     Part{},      0, Part{},
                  {},   {},     0,    false, Check::none, 0, kTokens};
}

constexpr Part alnum(uint16_t min, uint16_t max)
{
    return {kAlnum, min, max, Only::any};
}
constexpr Part alnum(uint16_t n)
{
    return alnum(n, n);
}
constexpr Part hex(uint16_t n)
{
    return {kAlnum, n, n, Only::hex};
}
constexpr Part letters(uint16_t n)
{
    return {kAlnum, n, n, Only::letters};
}
constexpr Part url64(uint16_t min, uint16_t max)
{
    return {kB64Url, min, max, Only::any};
}
constexpr Part url64(uint16_t n)
{
    return url64(n, n);
}
constexpr Part b64(uint16_t min, uint16_t max)
{
    return {kB64, min, max, Only::any};
}
constexpr Part any64(uint16_t min, uint16_t max)
{
    return {kB64 | kB64Url, min, max, Only::any};
}
constexpr Part word(uint16_t min, uint16_t max)
{
    return {kWord, min, max, Only::any};
}
constexpr Part upper(uint16_t n)
{
    return {kUpper | kDigit, n, n, Only::any};
}
constexpr Part digits(uint16_t min, uint16_t max)
{
    return {kDigit, min, max, Only::any};
}

// Grouped by detector and sorted by name only for the reader; rows that share a start are tried in
// order, and the first whose body fits wins.
inline constexpr Family kFamilies[] = {
    // The vendors that have a detector of their own.
    family("github-pat", "ghp_", alnum(36, 255)).under(kGithub),
    family("github-oauth", "gho_", alnum(36, 255)).under(kGithub),
    family("github-user-to-server", "ghu_", alnum(36, 255)).under(kGithub),
    family("github-server-to-server", "ghs_", alnum(36, 255)).under(kGithub),
    family("github-refresh", "ghr_", alnum(36, 255)).under(kGithub),
    family("github-fine-grained", "github_pat_", word(22, 255)).under(kGithub),
    family("slack-bot", "xoxb-", url64(10, 255)).under(kSlack),
    family("slack-user", "xoxp-", url64(10, 255)).under(kSlack),
    family("slack-app-token", "xoxa-", url64(10, 255)).under(kSlack),
    family("slack-refresh", "xoxr-", url64(10, 255)).under(kSlack),
    family("slack-legacy", "xoxs-", url64(10, 255)).under(kSlack),
    family("slack-config-user", "xoxe.xoxp-", url64(10, 255)).under(kSlack),
    family("slack-config-bot", "xoxe.xoxb-", url64(10, 255)).under(kSlack),
    family("slack-config-refresh", "xoxe-", url64(10, 255)).under(kSlack),
    family("slack-app-level", "xapp-", url64(10, 255)).under(kSlack),
    // Secret and restricted keys and webhook secrets; publishable keys are
    // public by design and left alone.
    family("stripe-live", "sk_live_", alnum(10, 255)).under(kStripe),
    family("stripe-test", "sk_test_", alnum(10, 255)).under(kStripe),
    family("stripe-prod", "sk_prod_", alnum(10, 255)).under(kStripe),
    family("stripe-restricted-live", "rk_live_", alnum(10, 255)).under(kStripe),
    family("stripe-restricted-test", "rk_test_", alnum(10, 255)).under(kStripe),
    family("stripe-restricted-prod", "rk_prod_", alnum(10, 255)).under(kStripe),
    family("stripe-webhook", "whsec_", alnum(16, 255)).under(kStripe),
    family("google-api", "AIza", url64(35)).under(kGoogle),
    family("google-oauth-secret", "GOCSPX-", url64(28)).under(kGoogle),
    family("google-oauth-access", "ya29.", url64(20, 4096)).under(kGoogle),
    // The tokens detector's.
    family("1password", "ops_eyJ", b64(250, 8192)).with_padding(),
    family("adobe", "p8e-", alnum(32)),
    family("age", "AGE-SECRET-KEY-1", upper(58)),
    family("airtable", "pat", alnum(14)).then('.', hex(64)),
    family("alibaba", "LTAI", alnum(20)),
    family("anthropic", "sk-ant-api03-", url64(95)).ending("AA"),
    family("anthropic-admin", "sk-ant-admin01-", url64(95)).ending("AA"),
    family("artifactory", "AKCp", alnum(69)),
    family("atlassian", "ATATT3", url64(150, 250)).with_padding(),
    family("brevo", "xkeysib-", hex(64)).then('-', alnum(16)),
    family("clojars", "CLOJARS_", alnum(60)),
    family("cloudflare-origin-ca", "v1.0-", hex(24)).then('-', hex(146)),
    family("databricks", "dapi", hex(32)),
    family("defined-networking", "dnkey-", url64(79)),  // two parts joined by '-'
    family("digitalocean-oauth", "doo_v1_", hex(64)),
    family("digitalocean-pat", "dop_v1_", hex(64)),
    family("digitalocean-refresh", "dor_v1_", hex(64)),
    family("discord-bot-MT", "MT", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-Mj", "Mj", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-Mz", "Mz", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-ND", "ND", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-NT", "NT", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-Nj", "Nj", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-Nz", "Nz", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-OD", "OD", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-bot-OT", "OT", alnum(22, 24)).then('.', url64(6)).then('.', url64(27, 38)),
    family("discord-webhook", "discord.com/api/webhooks/", digits(17, 20))
        .then('/', url64(60, 68))
        .keeping(25),
    family("docker-hub", "dckr_pat_", url64(27)),
    family("doppler-audit", "dp.audit.", alnum(40, 44)),
    family("doppler-cli", "dp.ct.", alnum(40, 44)),
    family("doppler-personal", "dp.pt.", alnum(43)),
    family("doppler-scim", "dp.scim.", url64(40, 44)),
    family("dropbox", "sl.", url64(135)),
    family("dropbox-user", "sl.u.", url64(100, 4000)),
    family("duffel", "duffel_live_", url64(43)),
    family("duffel-test", "duffel_test_", url64(43)),
    family("dynatrace", "dt0c01.", upper(24)).then('.', upper(64)),
    family("easypost", "EZAK", alnum(54)),
    family("easypost-test", "EZTK", alnum(54)),
    family("flutterwave", "FLWSECK-", hex(32)).then('-', upper(1)),
    family("flutterwave-test", "FLWSECK_TEST-", hex(32)).then('-', upper(1)),
    family("flyio", "fo1_", url64(43)),
    family("frameio", "fio-u-", url64(64)),
    family("grafana-cloud", "glc_", b64(32, 400)).with_padding(),
    family("grafana-service-account", "glsa_", alnum(32)).then('_', hex(8)),
    family("groq", "gsk_", alnum(52)),
    family("hashicorp-vault-batch", "hvb.", url64(138, 300)),
    family("hashicorp-vault-service", "hvs.", url64(90, 120)),
    family("heroku", "HRKU-AA", url64(58)),
    family("huggingface", "hf_", letters(34)),
    family("huggingface-org", "api_org_", letters(34)),
    family("infracost", "ico-", alnum(32)),
    family("langsmith", "lsv2_pt_", hex(32)).then('_', hex(10)),
    family("langsmith-service", "lsv2_sk_", hex(32)).then('_', hex(10)),
    family("linear", "lin_api_", alnum(40)),
    family("mailgun", "key-", hex(32)),
    family("newrelic-user", "NRAK-", alnum(27)),
    family("notion", "ntn_", alnum(46)),
    family("notion-legacy", "secret_", alnum(43)),
    family("npm", "npm_", alnum(36)).checked(Check::crc32_base62),
    family("nuget", "oy2", alnum(43)),
    family("octopus-deploy", "API-", upper(26)),
    family("openai", "sk-", alnum(48)).marked(20, "T3BlbkFJ"),
    family("openai-admin", "sk-admin-", url64(40, 400)),
    family("openai-project", "sk-proj-", url64(40, 400)),
    family("openai-service-account", "sk-svcacct-", url64(40, 400)),
    family("openshift", "sha256~", url64(43)),
    family("packagist-org", "packagist_ort_", hex(68)),
    family("packagist-user", "packagist_uut_", hex(68)),
    family("perplexity", "pplx-", alnum(48)),
    family("planetscale", "pscale_tkn_", url64(32, 64)),
    family("planetscale-oauth", "pscale_oauth_", url64(32, 64)),
    family("planetscale-password", "pscale_pw_", url64(32, 64)),
    family("postman", "PMAK-", hex(24)).then('-', hex(34)),
    family("prefect", "pnu_", alnum(36)),
    family("pulumi", "pul-", hex(40)),
    family("pypi", "pypi-AgEIcHlwaS5vcmc", url64(50, 1000)),
    family("readme", "rdme_", alnum(70)),
    family("replicate", "r8_", alnum(37)),
    family("rubygems", "rubygems_", hex(48)),
    family("sendgrid", "SG.", url64(22)).then('.', url64(43)),
    family("sentry-org", "sntrys_eyJ", any64(50, 1000)).with_padding(),
    family("sentry-user", "sntryu_", hex(64)),
    family("settlemint-app", "sm_aat_", alnum(16)),
    family("settlemint-pat", "sm_pat_", alnum(16)),
    family("settlemint-service", "sm_sat_", alnum(16)),
    family("shippo", "shippo_live_", hex(40)),
    family("shippo-test", "shippo_test_", hex(40)),
    family("shopify-access", "shpat_", hex(32)),
    family("shopify-custom", "shpca_", hex(32)),
    family("shopify-private", "shppa_", hex(32)),
    family("shopify-secret", "shpss_", hex(32)),
    family("sourcegraph", "sgp_", hex(16)).then('_', hex(40)),
    family("square", "EAAA", url64(60)),
    family("square-access", "sq0atp-", url64(22, 60)),
    family("square-secret", "sq0csp-", url64(43)),
    family("supabase", "sbp_", hex(40)),
    family("twilio", "SK", hex(32)),
    family("xai", "xai-", alnum(80)),
};

}  // namespace zentrove::redact::detect
