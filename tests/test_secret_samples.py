"""The benchmark's sample generator (benchmarks/secret_samples.py) stays honest:
samples for nearly every rule, each one found again by its rule's own pattern,
and personal data that passes its check digits."""

import random
import re
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCH))
ss = pytest.importorskip("secret_samples")

pytestmark = pytest.mark.skipif(not ss.RULES_FILE.exists(), reason="no rule set data file")


@pytest.fixture(scope="module")
def samples():
    rules = ss.load_rules()
    return rules, list(ss.rule_samples(rules, 4))


def test_samples_for_at_least_200_rules(samples):
    rules, made = samples
    assert len({s.name for s in made}) >= 200
    # A rule without samples says why.
    assert all(r.problem for r in rules if r.id not in {s.name for s in made})


def test_each_sample_is_found_by_its_own_rule(samples):
    rules, made = samples
    by_id = {r.id: r for r in rules}
    for s in made:
        rx = by_id[s.name].python
        assert s.secret and s.secret.strip() == s.secret, s
        # The token alone is a match of its rule, holding the secret; the line
        # around it may break a rule's trailing boundary, as real lines do.
        assert s.token in s.line and s.secret in s.token
        m = rx.search(s.token)
        assert m is not None and s.secret in m.group(), (s.name, s.token)


@pytest.mark.parametrize(
    "go, python",
    [
        (r"(?i)ab", r"(?i)ab"),
        (r"a(?i)b", r"a(?i:b)"),
        (r"(x(?i)y|z)w", r"(x(?i:y)|(?i:z))w"),
        (r"[(?i)]\z", r"[(?i)]\Z"),
        (r"\((?i)a", r"\((?i:a)"),
    ],
)
def test_go_flags_become_scoped_groups(go, python):
    assert ss.to_python(go) == python
    re.compile(python)


def test_personal_data_passes_its_checks():
    rng = random.Random(5)
    for _ in range(200):
        assert ss.iban_valid(ss.iban(rng, "GB", 22))
        area, group, serial = (int(p) for p in ss.ssn(rng).split("-"))
        assert 1 <= area < 900 and area != 666 and group >= 1 and serial >= 1
    assert ss.iban_valid("GB82 WEST 1234 5698 7654 32")
    assert not ss.iban_valid("GB82 WEST 1234 5698 7654 33")
