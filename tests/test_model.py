"""Both walks against tests/walk_model.py, the walk in plain Python.

On any data, any key lists (own and global) and either mode, the module
gives the model's outcome: the same result or the same exception with the
same message, and the same data afterwards, masked up to the point of
failure.  So no secret is left in clear, every value that is not masked is
the very object it was, and every container stays where it was.
"""

import collections

import pytest
from hypothesis import given
from hypothesis import strategies as st

import zentrove.omit as omit
from helpers import Keys, RaisingEq, Text
from walk_model import PyNoTrustOmitter, PyOmitter
from zentrove.omit import NoTrustOmitter, Omitter

# one character of each width (1, 2 and 4 bytes), surrogates, the mask itself
CHARACTERS = "az*\x00\x7f\u00e9\u00ff\u0100\u20ac\u4e16\ud800\udfff\uffff\U0001f511\U0010ffff"
texts = st.text(st.sampled_from(CHARACTERS), max_size=12)
POOL = ["pw", "token", "", "\u00e9t\u00e9", "\u20ac", "\U0001f511", "\ud800", "user", "A"]
str_keys = st.one_of(st.sampled_from(POOL), st.text(st.sampled_from(CHARACTERS), max_size=2))
keys = st.one_of(st.none(), str_keys, str_keys, st.integers(-2, 2))
numbers = st.one_of(
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**64),
    st.floats(),
    st.complex_numbers(),
)
# Values of a type the walk refuses, where it meets them.
refused = st.one_of(
    st.sampled_from(["", "a", "\U0001f511"]).map(Text),
    st.builds(collections.OrderedDict),
    st.builds(Keys),
)
others = st.one_of(st.none(), st.binary(max_size=4), st.tuples(texts))
leaves = st.one_of(texts, texts, numbers, others, refused)
trees = st.recursive(
    leaves,
    lambda values: st.one_of(
        st.lists(values, max_size=5), st.dictionaries(keys, values, max_size=5)
    ),
    max_leaves=20,
)
targets = st.one_of(st.dictionaries(keys, trees, max_size=6), st.lists(trees, max_size=6))
key_lists = st.lists(keys, max_size=5)
# how omit_recurse is called: do left out, or given
DO = ["not given", True, False, None, 0, [0]]


class Subclassed(Omitter):
    """Walks through the override rule: every container goes through a
    Python-level call."""


class SubclassedNoTrust(NoTrustOmitter):
    pass


NATIVE = {
    ("deny", False): Omitter,
    ("deny", True): Subclassed,
    ("allow", False): NoTrustOmitter,
    ("allow", True): SubclassedNoTrust,
}
MODEL = {"deny": PyOmitter, "allow": PyNoTrustOmitter}


def outcome(redactor, target, do):
    """What a walk gives: ("ok", result is target) or the exception's type
    and message; with the data as it is afterwards."""
    try:
        if type(target) is dict or target is None and do == "not given":
            result = redactor.omit(target)
        elif do == "not given":
            result = redactor.omit_recurse(target)
        else:
            result = redactor.omit_recurse(target, do)
        return ("ok", result is target), target
    except Exception as exc:  # the outcome is what is compared
        return (type(exc), str(exc)), target


def same(native, model):
    """Equal data where every value that is not a fresh mask is the very
    object the model holds (so also the very object it was before)."""
    if type(native) is not type(model):
        return False
    if type(native) is dict:
        return list(native) == list(model) and all(same(native[k], model[k]) for k in native)
    if type(native) is list:
        return len(native) == len(model) and all(map(same, native, model))
    if type(native) is str and native is not model:
        return native == model and set(model) <= {"*"}
    return native is model


def copy_containers(tree):
    """A copy of every dict and list of `tree` that holds the same leaves."""
    if type(tree) is dict:
        return {k: copy_containers(v) for k, v in tree.items()}
    if type(tree) is list:
        return [copy_containers(v) for v in tree]
    return tree


def containers(tree):
    """Every dict and list of `tree`, in walk order."""
    if type(tree) not in (dict, list):
        return []
    found = [tree]
    for value in tree.values() if type(tree) is dict else tree:
        found.extend(containers(value))
    return found


def check(mode, native, model_keys, target, do):
    before = [id(c) for c in containers(target)]
    expected = outcome(MODEL[mode](model_keys), copy_containers(target), do)
    got = outcome(native, target, do)
    assert got[0] == expected[0]
    assert same(got[1], expected[1]), (got[1], expected[1])
    assert [id(c) for c in containers(target)] == before


@given(
    mode=st.sampled_from(["deny", "allow"]),
    own=key_lists,
    global_keys=key_lists,
    subclass=st.booleans(),
    target=targets,
    do=st.sampled_from(DO),
)
def test_walks_match_the_model(mode, own, global_keys, subclass, target, do):
    (omit.always_omit if mode == "deny" else omit.always_trust)(global_keys)
    native = NATIVE[mode, subclass](own)
    omit.reset_omissions()
    omit.reset_trusted()
    check(mode, native, own + global_keys, target, do)


@pytest.mark.parametrize(
    "mode, keys, target, do",
    [
        ("deny", ["k"], None, "not given"),
        ("deny", ["k"], None, True),
        ("deny", [RaisingEq()], {"a": 1, "b": "x"}, "not given"),
        ("allow", [RaisingEq()], {"a": "x", "b": ["y"]}, "not given"),
    ],
    ids=["omit-none", "omit-recurse-none", "raising-eq", "raising-eq-allow"],
)
def test_failures_match_the_model(mode, keys, target, do):
    check(mode, NATIVE[mode, False](keys), keys, target, do)
