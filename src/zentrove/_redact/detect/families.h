// The vendor token families that the `tokens` detector finds, one row each:
// what the token starts with and what its body must look like.  Reading the
// table tells what is found; adding a family is one row (and one test row).
#pragma once

#include "_redact/detect/detect.h"

namespace zentrove::redact::detect {

// A stretch of the token: bytes of one class (and of `extra`), a length in
// [min, max], and what the bytes must be beyond their class.
enum class Only : uint8_t {
    any,
    hex,      // [0-9a-fA-F]
    letters,  // [A-Za-z]
};

struct Part {
    uint8_t cls;  // one of the classes Scan::run remembers (run_row)
    uint16_t min;
    uint16_t max;
    Only only;               // checked byte by byte: only on classes without separators
    std::string_view extra;  // bytes that may sit anywhere in the run too ('=', '.', '%')

    // The same stretch with `e` among its bytes, as looser public patterns
    // write a family ("[\\w=.-]" for a base64url body).
    constexpr Part plus(std::string_view e) const
    {
        Part p = *this;
        p.extra = e;
        return p;
    }
};

// A part after its separator.
struct Step {
    std::string_view sep;
    Part part;
};
inline constexpr size_t kMaxSteps = 5;

// A check of the whole body that its shape cannot tell, for a prefix too
// short to stand alone.
enum class Check : uint8_t {
    none,
    digit_and_letter,  // the body holds a digit and a letter (a word has no digit)
};

// One family.  Rows read `family("name", "prefix", part).then(...)...`.
struct Family {
    std::string_view name;
    std::string_view prefixes;  // alternatives split by '|', each at a word start
    Part body;
    std::array<Step, kMaxSteps> steps;  // the parts after the body, in order
    uint8_t step_count;
    bool last_optional;  // the last step may be missing (a version suffix)
    Part lead;           // a part before the prefix, ending in `lead_sep` (max 0: none)
    std::string_view lead_sep;
    bool assigned;  // the prefix is a key: its name's tail and `=`, `:`... come before the body
    std::string_view followed_by;  // bytes that must follow the token, left readable
    std::string_view ends;         // the body's last bytes
    std::string_view mark;         // bytes at `mark_at` into the body
    uint16_t mark_at;
    Check check;
    bool keeps_prefix;  // the prefix (a host, a key) stays readable
    int detector;       // the detector that turns the row on, and that reports it

    constexpr Family under(int d) const
    {
        Family f = *this;
        f.detector = d;
        return f;
    }
    // The next part, after `s`.
    constexpr Family then(std::string_view s, Part p) const
    {
        Family f = *this;
        f.steps[f.step_count++] = Step{s, p};
        return f;
    }
    // A last part that may be missing.
    constexpr Family then_maybe(std::string_view s, Part p) const
    {
        Family f = then(s, p);
        f.last_optional = true;
        return f;
    }
    // A part before the prefix, `s` between them: the prefix sits inside the token.
    constexpr Family after(Part p, std::string_view s) const
    {
        Family f = *this;
        f.lead = p;
        f.lead_sep = s;
        return f;
    }
    constexpr Family assigned_to() const
    {
        Family f = *this;
        f.assigned = true;
        f.keeps_prefix = true;
        return f;
    }
    constexpr Family followed(std::string_view s) const
    {
        Family f = *this;
        f.followed_by = s;
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
    constexpr Family checked(Check c) const
    {
        Family f = *this;
        f.check = c;
        return f;
    }
    constexpr Family keeping_prefix() const
    {
        Family f = *this;
        f.keeps_prefix = true;
        return f;
    }
};

constexpr Family family(std::string_view name, std::string_view prefixes, Part body)
{
    return Family{name,  prefixes, body, {}, 0, false,       Part{}, {},
                  false, {},       {},   {}, 0, Check::none, false,  kTokens};
}

constexpr Part alnum(uint16_t min, uint16_t max)
{
    return {kAlnum, min, max, Only::any, {}};
}
constexpr Part alnum(uint16_t n)
{
    return alnum(n, n);
}
constexpr Part hex(uint16_t n)
{
    return {kAlnum, n, n, Only::hex, {}};
}
constexpr Part letters(uint16_t n)
{
    return {kAlnum, n, n, Only::letters, {}};
}
constexpr Part url64(uint16_t min, uint16_t max)
{
    return {kB64Url, min, max, Only::any, {}};
}
constexpr Part url64(uint16_t n)
{
    return url64(n, n);
}
constexpr Part b64(uint16_t min, uint16_t max)
{
    return {kB64, min, max, Only::any, {}};
}
constexpr Part any64(uint16_t min, uint16_t max)
{
    return {kB64 | kB64Url, min, max, Only::any, {}};
}
constexpr Part word(uint16_t min, uint16_t max)
{
    return {kWord, min, max, Only::any, {}};
}
constexpr Part upper(uint16_t min, uint16_t max)
{
    return {kUpper | kDigit, min, max, Only::any, {}};
}
constexpr Part upper(uint16_t n)
{
    return upper(n, n);
}
constexpr Part digits(uint16_t min, uint16_t max)
{
    return {kDigit, min, max, Only::any, {}};
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
    family("slack-app-token", "xoxa-", url64(8, 255)).under(kSlack),
    family("slack-refresh", "xoxr-", url64(8, 255)).under(kSlack),
    family("slack-legacy", "xoxs-|xoxo-", url64(10, 255)).under(kSlack),
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
    family("1password", "ops_eyJ", b64(250, 8192).plus("=")),
    family("1password-secret-key", "A3-", upper(6))
        .then("-", upper(6, 11))
        .then("-", upper(5))
        .then("-", upper(5))
        .then("-", upper(5))
        .then_maybe("-", upper(5)),
    family("adobe", "p8e-", alnum(32)),
    family("age", "AGE-SECRET-KEY-1", upper(58)),
    family("airtable", "pat", alnum(14)).then(".", hex(64)),
    family("alibaba", "LTAI", alnum(20)),
    family("anthropic", "sk-ant-api03-", url64(95)).ending("AA"),
    family("anthropic-admin", "sk-ant-admin01-", url64(95)).ending("AA"),
    family("artifactory", "AKCp", alnum(69)),
    family("artifactory-reference", "cmVmd", alnum(59)),
    family("authress", "sc_|ext_|scauth_|authress_", alnum(5, 30))
        .then(".", alnum(4, 6))
        .then(".acc", url64(11, 33))
        .then(".", any64(30, 120).plus("=")),
    family("azure-sas", "sig=", b64(40, 100).plus("%=")).keeping_prefix(),
    family("azure-storage", "AccountKey", b64(86, 88).plus("=")).assigned_to(),
    family("atlassian", "ATATT3", url64(150, 250).plus("=")),
    family("beamer", "b_", url64(44).plus("=")).checked(Check::digit_and_letter),
    family("brevo", "xkeysib-", hex(64)).then("-", alnum(16)),
    family("clickhouse", "4b1d", alnum(38)),
    family("clojars", "CLOJARS_", alnum(60)),
    family("cloudflare-origin-ca", "v1.0-", hex(24)).then("-", hex(146)),
    family("databricks", "dapi", hex(32)).then_maybe("-", digits(1, 1)),
    family("datadog", "DD_API_KEY", hex(32)).assigned_to(),
    family("defined-networking", "dnkey-", url64(79).plus("=")),  // two parts joined by '-'
    family("digitalocean-oauth", "doo_v1_", hex(64)),
    family("digitalocean-pat", "dop_v1_", hex(64)),
    family("digitalocean-refresh", "dor_v1_", hex(64)),
    family("discord-bot-MT", "MT", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-Mj", "Mj", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-Mz", "Mz", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-ND", "ND", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-NT", "NT", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-Nj", "Nj", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-Nz", "Nz", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-OD", "OD", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-bot-OT", "OT", alnum(22, 24)).then(".", url64(6)).then(".", url64(27, 38)),
    family("discord-webhook", "discord.com/api/webhooks/", digits(17, 20))
        .then("/", url64(60, 68))
        .keeping_prefix(),
    family("docker-hub", "dckr_pat_", url64(27)),
    family("doppler-audit", "dp.audit.", alnum(40, 44)),
    family("doppler-cli", "dp.ct.", alnum(40, 44)),
    family("doppler-personal", "dp.pt.", alnum(43)),
    family("doppler-scim", "dp.scim.", url64(40, 44)),
    family("dropbox", "sl.", url64(135).plus("=")),
    family("dropbox-user", "sl.u.", url64(100, 4000)),
    family("duffel", "duffel_live_|duffel_test_", url64(43).plus("=")),
    family("dynatrace", "dt0c01.", alnum(24)).then(".", alnum(64)),
    family("easypost", "EZAK", alnum(54)),
    family("easypost-test", "EZTK", alnum(54)),
    family("facebook-page", "EAAM|EAAC", alnum(100, 1000)),
    family("flutterwave", "FLWSECK-", hex(32)).then("-", upper(1)),
    // Test secret keys, and test encryption keys that have no "-X".
    family("flutterwave-test", "FLWSECK_TEST-|FLWPUBK_TEST-", alnum(12, 32))
        .then_maybe("-", upper(1)),
    family("flyio", "fo1_", url64(43)),
    family("flyio-macaroon", "fm1a_|fm1r_|fm2_", b64(100, 8192).plus("=")),
    family("frameio", "fio-u-", url64(64).plus("=")),
    family("gitlab-session", "_gitlab_session=", alnum(32)),
    family("gocardless", "live_", url64(40).plus("=")).checked(Check::digit_and_letter),
    family("grafana-api", "eyJrIjoi", alnum(70, 400).plus("=")),
    family("grafana-cloud", "glc_", b64(32, 400).plus("=")),
    family("grafana-service-account", "glsa_", alnum(32)).then("_", hex(8)),
    family("groq", "gsk_", alnum(52)),
    family("harness", "pat.|sat.", url64(22)).then(".", alnum(24)).then(".", alnum(20)),
    family("hashicorp-vault-batch", "hvb.", url64(138, 300)),
    family("hashicorp-vault-service", "hvs.", url64(90, 120)),
    // The older service tokens (a digit tells them from words) and batch tokens.
    family("hashicorp-vault-legacy", "s.", alnum(24)).checked(Check::digit_and_letter),
    family("hashicorp-vault-legacy-batch", "b.", url64(80, 400)),
    family("hashicorp-terraform", "atlasv1.", url64(60, 70).plus("=")).after(alnum(14), "."),
    family("heroku", "HRKU-AA", url64(58)),
    family("huggingface", "hf_", letters(34)),
    family("huggingface-org", "api_org_", letters(34)),
    family("infracost", "ico-", alnum(32)),
    family("intra42", "s-s4t2ud-|s-s4t2af-", hex(64)),
    family("jwt-base64", "ZXlK", any64(48, 8192).plus("=")),
    family("langsmith", "lsv2_pt_", hex(32)).then("_", hex(10)),
    family("langsmith-service", "lsv2_sk_", hex(32)).then("_", hex(10)),
    family("linear", "lin_api_", alnum(40)),
    family("lob", "live_|test_", hex(35)),
    family("lob-publishable", "live_pub_|test_pub_", hex(31)),
    family("mailchimp", "us", digits(2, 2)).after(hex(32), "-"),
    family("mailgun", "key-", hex(32)),
    family("mailgun-public", "pubkey-", hex(32)),
    family("mapbox", "pk.|sk.", alnum(60)).then(".", alnum(22)),
    family("microsoft-teams-webhook", "https://", alnum(1, 63))
        .then(".webhook.office.com/webhookb2/", url64(36))
        .then("@", url64(36))
        .then("/IncomingWebhook/", alnum(32))
        .then("/", url64(36)),
    family("newrelic-browser", "NRJS-", hex(19)),
    family("newrelic-insert", "NRII-", url64(32)),
    family("newrelic-user", "NRAK-", alnum(27)),
    family("notion", "ntn_", alnum(46)),
    family("notion-legacy", "secret_", alnum(43)),
    family("npm", "npm_", alnum(36)),
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
    family("planetscale", "pscale_tkn_", url64(32, 64).plus("=.")),
    family("planetscale-oauth", "pscale_oauth_", url64(32, 64).plus("=.")),
    family("planetscale-password", "pscale_pw_", url64(32, 64).plus("=.")),
    family("postman", "PMAK-", hex(24)).then("-", hex(34)),
    family("prefect", "pnu_", alnum(36)),
    family("plaid", "access-sandbox-|access-development-|access-production-", url64(36)),
    family("pulumi", "pul-", hex(40)),
    family("pypi", "pypi-AgEIcHlwaS5vcmc", url64(50, 1000)),
    family("readme", "rdme_", alnum(70)),
    family("replicate", "r8_", alnum(37)),
    family("rubygems", "rubygems_", hex(48)),
    family("sendgrid", "SG.", url64(66).plus("=.")),  // 22 and 43 bytes around a '.'
    family("scalingo", "tk-us-", url64(48)),
    family("sentry-dsn", "https://|http://", hex(32)).followed("@").keeping_prefix(),
    family("sentry-org", "sntrys_eyJ", any64(50, 1000).plus("=")),
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
    family("sidekiq", "BUNDLE_GEMS__CONTRIBSYS__COM|BUNDLE_ENTERPRISE__CONTRIBSYS__COM", hex(8))
        .then(":", hex(8))
        .assigned_to(),
    family("sidekiq-url", "https://|http://", hex(8))
        .then(":", hex(8))
        .followed("@")
        .keeping_prefix(),
    family("sourcegraph", "sgp_", hex(16)).then("_", hex(40)),
    family("sourcegraph-local", "sgp_local_", hex(40)),
    family("sourcegraph-legacy", "sgp_", hex(40)),
    family("square", "EAAA", url64(22, 60)),
    family("square-access", "sq0atp-", url64(22, 60)),
    family("square-secret", "sq0csp-", url64(43)),
    family("supabase", "sbp_", hex(40)),
    family("twilio-auth", "TWILIO_AUTH_TOKEN", hex(32)).assigned_to(),
    family("twitter-bearer", "AAAAAAAAAAAAAAAAAAAAAA", alnum(80, 100).plus("%")),
    family("typeform", "tfp_", url64(59).plus("=.")),
    family("twilio", "SK", hex(32)),
    family("xai", "xai-", alnum(80)),
    family("yandex-api", "AQVN", url64(35, 38)),
    family("yandex-cloud-key", "YC", url64(38)).checked(Check::digit_and_letter),
    family("yandex-iam", "t1.", url64(1, 200).plus("=")).then(".", url64(86, 88).plus("=")),
};

// The alternatives of a row's prefixes, split at '|'.
constexpr size_t prefix_count(std::string_view prefixes)
{
    size_t n = 1;
    for (char c : prefixes) {
        n += c == '|';
    }
    return n;
}

constexpr std::string_view prefix_at(std::string_view prefixes, size_t k)
{
    size_t from = 0;
    for (; k > 0; --k) {
        from = prefixes.find('|', from) + 1;
    }
    size_t to = prefixes.find('|', from);
    // No substr: it may throw, which would pull in the C++ runtime.
    return {prefixes.data() + from, (to == std::string_view::npos ? prefixes.size() : to) - from};
}

// Every prefix of every row: a trigger's candidates.
constexpr size_t count_prefixes()
{
    size_t n = 0;
    for (const Family& f : kFamilies) {
        n += prefix_count(f.prefixes);
    }
    return n;
}
inline constexpr size_t kPrefixes = count_prefixes();

}  // namespace zentrove::redact::detect
