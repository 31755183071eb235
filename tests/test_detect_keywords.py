"""The keyword rules of the tokens detector (detect/keywords.h): a vendor's
word before an assignment, then a value of the vendor's shape."""

import random
import re
import string
from pathlib import Path

import pytest

from detect_corpus import KEYS
from zentrove import Redactor

TOKENS = Redactor(omit=[], detect=["tokens"])
ALL = Redactor(omit=KEYS, detect=True)

_rng = random.Random(41)
_LOWER = string.ascii_lowercase + string.digits
_ALNUM = string.ascii_letters + string.digits
_HEX = "0123456789abcdef"
_URL64 = _LOWER + "-_"


def _mixed(alphabet, n):
    # A letter and a digit at either end: a value of one run must hold both.
    letter = next(c for c in alphabet if c.isalpha())
    digit = next(c for c in alphabet if c.isdigit())
    return letter + "".join(_rng.choice(alphabet) for _ in range(n - 2)) + digit


def alnum(n):
    return _mixed(_ALNUM, n)


def hexv(n):
    return _mixed(_HEX, n)


def url64(n):
    return _mixed(_URL64, n)


def url64_eq(n):
    return _mixed(_URL64 + "=", n)


def digits(n):
    return "9" + "".join(_rng.choice(string.digits) for _ in range(n - 1))


def uuid():
    return "-".join(hexv(k) for k in (8, 4, 4, 4, 12))


_UUID = uuid()
_TELEGRAM = url64(34)
_BEARER = "A" * 22 + _mixed(_ALNUM + "%", 90)

# (rule, line with {} for the secret, secret, near miss): a near miss differs
# by one feature: the value's length, alphabet, prefix or entropy, or the
# word's spelling, case or distance.
RULES = [
    ("adafruit-api-key", "adafruit_io = {}", url64(32), "adafruit_io = " + url64(31)),
    ("adobe-client-id", "adobe: {}", hexv(32), "adobe: " + "01" * 16),
    ("airtable-api-key", "AIRTABLE={}", alnum(17), "AIRTABLE=" + alnum(18)),
    ("algolia-api-key", "algolia_app => '{}'", alnum(32), f"algolia => '{alnum(31)}!'"),
    ("alibaba-secret-key", "alibaba, {}", alnum(30), "alibaba, " + "ab" * 14 + "12"),
    ("asana-client-id", "asana_client_id: {}", digits(16), "asana_client_id: " + digits(15)),
    ("asana-client-secret", "asana : {}", alnum(32), "asana : " + "abcdefgh" * 4),
    ("atlassian-api-token", "Jira = {}", alnum(20) + hexv(4), f"jIRA = {alnum(20)}{hexv(4)}"),
    ("beamer-api-token", "beamer = {}", "b_" + url64_eq(44), "beamer = c_" + url64_eq(44)),
    ("bitbucket-client-id", "bitbucket_id: {}", alnum(32), "bitbucket_id; " + alnum(32)),
    ("bitbucket-client-secret", "bitbucket, {}", url64_eq(64), "bitbucket, " + url64_eq(65)),
    ("bittrex-access-key", "bittrex ||{}", alnum(32), "bittrex |" + alnum(32)),
    (
        "bittrex-secret-key",
        "bittrex" + "_" * 20 + " = {}",
        alnum(32),
        "bittrex" + "_" * 21 + " = " + alnum(32),
    ),
    ("cisco-meraki-api-key", "Meraki = {}", hexv(40), "meRaki = " + hexv(40)),
    ("cloudflare-api-key", "cloudflare: {}", url64(40), "cloudflare: " + "a1-" * 13 + "b"),
    ("cloudflare-global-api-key", "cloudflare: {}", hexv(37), "cloudflare: " + hexv(36)),
    ("codecov-access-token", "codecov?= {}", alnum(32), f"codecov?= {alnum(32)}, x"),
    ("cohere-api-token", "cohere = {}", alnum(40), "cohere = " + "ab12" * 10),
    ("coinbase-access-token", "coinbase:{}", url64(64), "coinbase:" + url64(63)),
    ("confluent-access-token", "confluent := {}", alnum(16), "confluent :=      " + alnum(16)),
    ("confluent-secret-key", "confluent = {}", alnum(64), "confluent = " + alnum(65)),
    (
        "contentful-delivery-api-token",
        "contentful = `{}`",
        url64_eq(43),
        f"contentful = `{url64_eq(42)}`",
    ),
    ("datadog-access-token", "datadog = {}", alnum(40), "datalog = " + alnum(40)),
    (
        "defined-networking-api-token",
        "dnkey = {}",
        "dnkey-" + url64_eq(26) + "-" + url64_eq(52),
        "dnkey = dnkey-" + url64_eq(26) + "-" + url64_eq(51),
    ),
    ("discord-api-token", "discord = {}", hexv(64), "discord = " + hexv(63)),
    ("discord-client-id", "discord_id: {}", digits(18), "discord_id: " + "1" * 18),
    ("discord-client-secret", "discord_app: {}", url64_eq(32), "discord_app: " + "a1" * 16),
    ("droneci-access-token", "DRONECI = {}", alnum(32), "DRONECI = " + alnum(31)),
    ("dropbox-api-token", "dropbox = {}", alnum(15), "dropbox = " + alnum(14)),
    (
        "dropbox-long-lived-api-token",
        "dropbox = {}",
        alnum(11) + "AAAAAAAAAA" + url64_eq(43),
        f"dropbox = {alnum(11)}AAAAAAAAAB{url64_eq(43)}",
    ),
    (
        "dropbox-short-lived-api-token",
        "dropbox = {}",
        "sl." + url64_eq(135),
        "dropbox = sl." + url64_eq(134),
    ),
    ("etsy-access-token", "Etsy = {}", alnum(24), "eTsy = " + alnum(24)),
    ("facebook-secret", "facebook = {}", hexv(32), "facebook = " + "0123" * 8),
    ("fastly-api-token", "fastly = {}", url64_eq(32), "fastly = " + url64_eq(33)),
    ("finicity-api-token", "finicity = {}", hexv(32), f"finicity = {hexv(31)}g"),
    ("finicity-client-secret", "finicity = {}", alnum(20), "finicity = " + alnum(21)),
    ("finnhub-access-token", "finnhub = {}", alnum(20), "finnhub = " + alnum(19)),
    ("flickr-access-token", "flickr = {}", alnum(32), "flickr = " + alnum(33)),
    ("freshbooks-access-token", "freshbooks = {}", alnum(64), "freshbooks = " + alnum(63)),
    ("gitter-access-token", "gitter = {}", url64(40), "gitter = " + url64(41)),
    (
        "gocardless-api-token",
        "gocardless = {}",
        "live_" + url64_eq(40),
        "gocardless = test_" + url64_eq(40),
    ),
    ("heroku-api-key", "heroku >{}", _UUID, f"heroku >{_UUID[:-1]}g"),
    ("hubspot-api-key", "hubspot = {}", _UUID.upper(), "hubspot = " + hexv(32)),
    ("intercom-api-key", "intercom = {}", url64_eq(60), "intercom = " + url64_eq(59)),
    ("jfrog-api-key", "artifactory = {}", alnum(73), "artifactory = " + alnum(72)),
    ("jfrog-identity-token", "jfrog = {}", alnum(64), f"jfrog = {alnum(63)}-"),
    (
        "kraken-access-token",
        "kraken = {}",
        _mixed(_URL64 + "=/+", 85),
        "kraken = " + _mixed(_URL64 + "=/+", 79),
    ),
    ("kucoin-access-token", "kucoin = {}", hexv(24), "kucoin = " + hexv(25)),
    ("kucoin-secret-key", "kucoin = {}", uuid(), "kucoin = " + uuid()[:-1]),
    (
        "launchdarkly-access-token",
        "launchdarkly = {}",
        url64_eq(40),
        "launchdarkly = " + url64_eq(39),
    ),
    ("linear-client-secret", "linear = {}", hexv(32), "linear = " + "0f" * 16),
    ("linkedin-client-id", "linked_in = {}", alnum(14), "linked_in = " + alnum(15)),
    ("linkedin-client-secret", "linked-in = {}", alnum(16), "linkedin = " + "aab1" * 4),
    ("lob-api-key", "lob = {}", "live_" + hexv(35), "lob = prod_" + hexv(35)),
    ("lob-pub-api-key", "lob = {}", "test_pub_" + hexv(31), "lob = test_pub_" + hexv(30)),
    ("mailchimp-api-key", "mailchimp = {}", hexv(32) + "-us12", f"mailchimp = {hexv(32)}-eu12"),
    ("mailgun-private-api-token", "mailgun = {}", "key-" + hexv(32), "mailgun = key-" + hexv(31)),
    (
        "mailgun-pub-key",
        "mailgun = {}",
        "pubkey-" + hexv(32),
        f"mailgun = pubkey-{hexv(16)}x{hexv(15)}",
    ),
    (
        "mailgun-signing-key",
        "mailgun = {}",
        f"{_mixed('abcdefgh0123', 32)}-{_mixed('abgh0', 8)}-{hexv(8)}",
        f"mailgun = {_mixed('abcdefgh0123', 32)}-{_mixed('abgh0', 8)}-i{hexv(7)}",
    ),
    (
        "mapbox-api-token",
        "mapbox = {}",
        f"pk.{alnum(60)}.{alnum(22)}",
        f"mapbox = pk.{alnum(59)}.{alnum(22)}",
    ),
    ("mattermost-access-token", "mattermost = {}", alnum(26), "mattermost = " + alnum(27)),
    ("messagebird-api-token", "message_bird = {}", alnum(25), "message_bird = " + alnum(24)),
    ("messagebird-client-id", "MessageBird = {}", uuid(), f"message__bird = {uuid()}"),
    ("netlify-access-token", "netlify = {}", url64_eq(46), "netlify = " + url64_eq(47)),
    (
        "new-relic-browser-api-token",
        "NEW_RELIC = {}",
        "NRJS-" + hexv(19),
        "NEW_RELIC = NRJS-" + hexv(18),
    ),
    (
        "new-relic-insert-key",
        "newrelic = {}",
        "NRII-" + _mixed(_LOWER + "-", 32),
        "newrelic = NRII-" + _mixed(_LOWER + "-", 31),
    ),
    ("new-relic-user-api-id", "new-relic = {}", alnum(64), "new-relic = " + alnum(63)),
    (
        "new-relic-user-api-key",
        "new_relic = {}",
        "NRAK-" + alnum(27),
        "new_relic = NRAK-" + alnum(26),
    ),
    ("nytimes-access-token", "nytimes = {}", url64_eq(32), "new-york-times = " + url64_eq(32)),
    ("okta-access-token", "Okta = {}", "00" + url64_eq(40), f"okTA = 00{url64_eq(40)}"),
    (
        "plaid-api-token",
        "plaid = {}",
        "access-production-" + uuid(),
        "plaid = access-staging-" + uuid(),
    ),
    ("plaid-client-id", "plaid = {}", alnum(24), "plaid = " + "ab12cd34" * 3),
    ("plaid-secret-key", "plaid = {}", alnum(30), "plaid = " + alnum(31)),
    ("privateai-api-token", "private-ai = {}", alnum(32), "private.ai = " + alnum(32)),
    ("rapidapi-access-token", "rapidapi = {}", url64(50), "rapidapi = " + url64(51)),
    ("sendbird-access-id", "sendbird = {}", uuid(), "sendbird = " + uuid().replace("-", "_")),
    ("sendbird-access-token", "sendbird = {}", hexv(40), "sendbird = " + hexv(41)),
    ("sentry-access-token", "sentry = {}", hexv(64), "sentry = " + "0" * 32 + "f" * 32),
    (
        "sidekiq-secret",
        "BUNDLE_GEMS__CONTRIBSYS__COM: {}",
        f"{hexv(8)}:{hexv(8)}",
        f"BUNDLE_GEMS__CONTRIBSYS__COM: {hexv(8)}:{hexv(7)}",
    ),
    ("snyk-api-token", "snyk.oauth.key = {}", uuid(), "snyk_org = " + uuid()),
    ("sonar-api-token", "sonar.login = {}", url64_eq(40), "sonar_host = " + url64_eq(40)),
    ("squarespace-access-token", "squarespace = {}", uuid(), "squarespace = " + uuid()[1:]),
    ("sumologic-access-id", "SUMO = {}", "su" + alnum(12), "SUMO = so" + alnum(12)),
    ("sumologic-access-token", "Sumo = {}", alnum(64), "sUmo = " + alnum(64)),
    (
        "telegram-bot-api-token",
        "telegram_bot: {}",
        f"{digits(9)}:A{_TELEGRAM}",
        f"telegram_bot: {digits(9)}:a{_TELEGRAM}",
    ),
    ("travisci-access-token", "travis = {}", alnum(22), "travis = " + alnum(23)),
    ("twitch-api-token", "twitch = {}", alnum(30), "twitch = " + alnum(31)),
    ("twitter-access-secret", "twitter = {}", alnum(45), "twitter = " + alnum(46)),
    (
        "twitter-access-token",
        "twitter = {}",
        f"{digits(18)}-{alnum(30)}",
        f"twitter = {digits(14)}-{alnum(30)}",
    ),
    ("twitter-api-key", "twitter = {}", alnum(25), "twitter = " + alnum(24)),
    ("twitter-api-secret", "twitter = {}", alnum(50), "twitter = " + alnum(51)),
    ("twitter-bearer-token", "twitter = {}", _BEARER, "twitter = B" + _BEARER[1:]),
    (
        "typeform-api-token",
        "typeform = {}",
        "tfp_" + _mixed(_URL64 + ".=", 59),
        "typeform = tfp_" + _mixed(_URL64 + ".=", 58),
    ),
    (
        "yandex-access-token",
        "yandex = {}",
        f"t1.{url64(20)}=.{url64(86)}==",
        f"yandex = t1.{url64(20)}=.{url64(85)}",
    ),
    ("yandex-api-key", "yandex = {}", "AQVN" + url64(36), "yandex = AQVN" + url64(34)),
    ("yandex-aws-access-token", "yandex = {}", "YC" + url64(38), "yandex = YC" + url64(37)),
    ("zendesk-secret-key", "zendesk = {}", alnum(40), "zendesk = " + alnum(41)),
]


@pytest.mark.parametrize("rule, line, secret, near_miss", RULES, ids=[r[0] for r in RULES])
def test_each_keyword_rule_masks_its_value_and_not_its_near_miss(rule, line, secret, near_miss):
    text = line.format(secret)
    assert TOKENS.scan(text) == line.format("*" * len(secret))
    assert TOKENS.report({"m": text}) == [(("m",), "tokens")]
    assert ALL.scan(near_miss) is near_miss


def test_every_row_of_the_keyword_table_has_a_test_row():
    table = Path(__file__).parents[1] / "src/zentrove/_redact/detect/keywords.h"
    rows = re.findall(r'^ +rule\("([^"]+)",', table.read_text(), re.M)
    assert sorted(rows) == sorted(rule for rule, _, _, _ in RULES)


_KEY = alnum(45)  # twitter-access-secret's shape
_EQ_VALUE = "=" + url64(39)  # launchdarkly's shape, starting with '='


@pytest.mark.parametrize(
    "line, masked",
    [
        # Operators, quotes and blanks around them, as gitleaks reads them.
        ("twitter=<S>", True),
        ("x twitter : <S>", True),
        ("twitter ><S>", True),
        ("twitter -> <S>", True),
        ("twitter, '<S>'", True),
        ("twitter ||<S>", True),
        ('{"twitter" => "<S>"}', True),
        ("twitter ?= <S>", True),
        ("twitter := <S>", True),
        ("twitter ::= <S>", True),
        ("twitter:::=<S>", True),
        ("twitter == <S>", True),
        ("TWITTER    =<S>", True),
        ("twitter = = <S>", True),
        ("twitter =\n  <S>", True),
        ("twitter_consumer.x-y_zz = <S>", True),
        ("twitter" + "_" * 20 + "=<S>", True),
        ("twitter " + "'\"'" + "=<S>", True),
        ("twitter =    `<S>`", True),
        ("twitter =     `<S>`", False),
        # What may follow the value.
        ("twitter=<S>;x", True),
        ("twitter=<S>\\nx", True),
        ("twitter=<S>\\rx", True),
        ("twitter=<S>\tx", True),
        ("twitter='<S>'", True),
        # Not an assignment of this value.
        ("twitter" + "_" * 21 + "=<S>", False),
        ("twitter " + "'\"'\"" + "=<S>", False),
        ("twitter =      <S>", False),
        ("twitter | <S>", False),
        ("twitter::<S>", False),
        ("twitter(<S>)", False),
        ("twitter=<S>,", False),
        ("twitter=<S>&x=1", False),
        ("twitter=<S>\\tx", False),
        ("twitter=x<S>", False),
        ('twitter=\\"<S>\\"', False),
        ("twitte=<S>", False),
    ],
)
def test_the_context_of_a_keyword_rule(line, masked):
    text = line.replace("<S>", _KEY)
    expected = line.replace("<S>", "*" * len(_KEY)) if masked else text
    assert TOKENS.scan(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # One run of letters and digits holds both, else it is a word or a number.
        ("twitter = " + "a" * 45, None),
        ("twitter = " + "1" * 25, None),
        # Pads are read greedily, but a value may begin with their last '='.
        ("launchdarkly ==" + _EQ_VALUE, "launchdarkly ==" + "*" * 40),
        ("launchdarkly == " + _EQ_VALUE[1:], None),
        # Under a rule with an entropy threshold, the threshold decides.
        ("linkedin = sdqpqyeripbwtabl", "linkedin = " + "*" * 16),
        # The word may stand anywhere in the key; the first row that fits wins.
        ("MY_TWITTER_KEY=" + _KEY + " next", "MY_TWITTER_KEY=" + "*" * 45 + " next"),
        # Ids of the typical log have no vendor's word before them.
        ("trace_id=" + _UUID + " session=" + hexv(40), None),
        ("sha256: " + hexv(64) + ", parent, " + hexv(40), None),
        # A key the rules know is masked by the pair matcher first.
        ("twitter_token=" + _KEY, "twitter_token=" + "*" * 45),
    ],
)
def test_thresholds_and_neighbours(text, expected):
    assert ALL.scan(text) == (text if expected is None else expected)
