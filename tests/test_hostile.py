"""Hostile input, and the property that no secret is left unmasked.

The hostile cases live in tests/isolated/ as case_* functions and each runs
in its own interpreter, because a fault there would be a crash: nesting a
million levels deep and self-containing data (deep_nesting.py), Python code
that raises or changes data and redactor while a walk runs
(hostile_walks.py), and hostile pickle states and checksums
(hostile_pickles.py).

The property: after any walk that did not fail, every string under a hidden
key (deny mode) or under a key that is not trusted (allow mode), at any
depth and inside lists at any depth, is a run of "*" of its length, and
every other value is the very object it was before.
"""

import ast
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrove.omit as omit
from zentrove.omit import NoTrustOmitter, Omitter

ISOLATED = os.path.join(os.path.dirname(__file__), "isolated")
SCRIPTS = ("deep_nesting.py", "hostile_walks.py", "hostile_pickles.py")
EXAMPLES = int(os.environ.get("ZENTROVE_PROPERTY_EXAMPLES", "2000"))


def cases(script):
    with open(os.path.join(ISOLATED, script), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return [node.name for node in tree.body
            if isinstance(node, ast.FunctionDef) and node.name.startswith("case_")]


@pytest.mark.parametrize("script, case", [(s, c) for s in SCRIPTS for c in cases(s)])
def test_isolated_case(script, case):
    result = subprocess.run(
        [sys.executable, os.path.join(ISOLATED, script), case],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr[-5000:]
    assert result.stderr == ""
    assert result.stdout == f"{case} ok\nOK\n"


def test_every_script_case_is_collected():
    assert all(len(cases(script)) >= 5 for script in SCRIPTS)


# ------------------------------------------------------------- property

# one character of each width (1, 2 and 4 bytes), surrogates, the mask itself
CHARACTERS = "az*\x00\x7f\u00e9\u00ff\u0100\u20ac\u4e16\ud800\udfff\uffff\U0001f511\U0010ffff"
texts = st.text(st.sampled_from(CHARACTERS), max_size=12)
POOL = ["pw", "token", "", "\u00e9t\u00e9", "\u20ac", "\U0001f511", "\ud800", "user"]
keys = st.one_of(st.none(), st.sampled_from(POOL), st.text(st.sampled_from(CHARACTERS), max_size=2))
numbers = st.one_of(
    st.booleans(), st.integers(), st.integers(min_value=2**64), st.floats(), st.complex_numbers()
)
others = st.one_of(st.none(), st.binary(max_size=4), st.tuples(texts))
leaves = st.one_of(texts, numbers, others)


@st.composite
def dicts(draw, values):
    """str/None keys with any value; int keys with values whose key the walk
    never checks (numbers, other objects, dicts)."""
    result = {}
    for _ in range(draw(st.integers(0, 5))):
        if draw(st.booleans()):
            result[draw(keys)] = draw(values)
        else:
            value = draw(values)
            result[draw(st.integers())] = value if type(value) not in (str, list) else None
    return result


@st.composite
def targets(draw):
    tree = st.recursive(
        leaves, lambda values: st.one_of(st.lists(values, max_size=5), dicts(values)),
        max_leaves=20,
    )
    return draw(st.one_of(dicts(tree), st.lists(tree, max_size=6)))


key_lists = st.lists(keys, max_size=5)


class Subclassed(Omitter):
    """Walks through the override rule: every container goes through a
    Python-level call."""


class SubclassedNoTrust(NoTrustOmitter):
    pass


def slots(tree, hidden, do):
    """(container, key or index, value before, must be masked) for every
    slot of every dict and list under `tree`."""
    found = []

    def visit(container, do):
        is_dict = type(container) is dict
        for k, v in list(container.items() if is_dict else enumerate(container)):
            here = hidden(k) if is_dict and type(v) in (str, list) else do
            found.append((container, k, v, here and type(v) is str))
            if type(v) is dict:
                visit(v, False)
            elif type(v) is list:
                visit(v, here)

    visit(tree, do)
    return found


def check_walk(redactor, hidden, target, do):
    found = slots(target, hidden, do)
    if type(target) is dict:
        assert redactor.omit(target) is target
    else:
        assert redactor.omit_recurse(target, do) is target
    for container, k, before, masked in found:
        now = container[k]
        if masked:
            assert type(now) is str and now == "*" * len(before), (k, before, now)
        else:
            assert now is before, (k, before, now)
    assert len(found) == len(slots(target, hidden, do))


PROPERTY = settings(
    max_examples=EXAMPLES, derandomize=True, deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@PROPERTY
@given(own=key_lists, global_keys=key_lists, subclass=st.booleans(), target=targets(),
       do=st.booleans())
def test_no_secret_left_in_deny_mode(own, global_keys, subclass, target, do):
    omit.always_omit(global_keys)
    try:
        redactor = (Subclassed if subclass else Omitter)(own)
    finally:
        omit.reset_omissions()
    listed = own + global_keys
    check_walk(redactor, lambda key: key in listed, target, do)


@PROPERTY
@given(own=key_lists, global_keys=key_lists, subclass=st.booleans(), target=targets(),
       do=st.booleans())
def test_no_secret_left_in_allow_mode(own, global_keys, subclass, target, do):
    omit.always_trust(global_keys)
    try:
        redactor = (SubclassedNoTrust if subclass else NoTrustOmitter)(own)
    finally:
        omit.reset_trusted()
    trusted = own + global_keys
    check_walk(redactor, lambda key: key not in trusted, target, do)
