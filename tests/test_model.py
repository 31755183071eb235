"""Both walks against a small pure-Python model of the masking rules."""

import copy

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrove.omit as omit
from zentrove.omit import NoTrustOmitter, Omitter

KEYS = ["a", "b", "pw", "", "A", "\u00e9"]

keys = st.one_of(st.none(), st.sampled_from(KEYS), st.text(max_size=3))
key_lists = st.lists(st.one_of(st.none(), st.sampled_from(KEYS)), max_size=4)
leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False),
    st.text(max_size=6),
)
trees = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.dictionaries(keys, inner, max_size=4)
    ),
    max_leaves=25,
)
dicts = st.dictionaries(keys, trees, max_size=5)
lists = st.lists(trees, max_size=5)


class PlainOmitter(Omitter):
    pass


class PlainNoTrust(NoTrustOmitter):
    pass


KINDS = {
    Omitter: "deny", PlainOmitter: "deny", NoTrustOmitter: "allow", PlainNoTrust: "allow",
}


def model_walk(target, hidden, do=None):
    """Masks `target` in place by the rules: `hidden(key)` decides a key, `do` a list."""
    if isinstance(target, dict):
        for key, value in target.items():
            if isinstance(value, bool) or type(value) in (int, float):
                continue
            if type(value) is str:
                if hidden(key):
                    target[key] = "*" * len(value)
            elif type(value) in (dict, list):
                model_walk(value, hidden, hidden(key))
    else:
        for i, value in enumerate(target):
            if type(value) is str:
                if do:
                    target[i] = "*" * len(value)
            elif type(value) in (dict, list):
                model_walk(value, hidden, do)
    return target


def same(a, b):
    """Equality that also tells True from 1 and 1 from 1.0."""
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def containers(tree):
    """Every dict and list of `tree`, in walk order."""
    found = [tree]
    for value in tree.values() if type(tree) is dict else tree:
        if type(value) in (dict, list):
            found.extend(containers(value))
    return found


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    cls=st.sampled_from(list(KINDS)),
    own=key_lists,
    global_keys=key_lists,
    target=st.one_of(dicts, lists),
    do=st.sampled_from(["not given", True, False]),
)
def test_walks_match_model(cls, own, global_keys, target, do):
    deny = KINDS[cls] == "deny"
    (omit.always_omit if deny else omit.always_trust)(global_keys)
    try:
        redactor = cls(own)
    finally:
        omit.reset_omissions()
        omit.reset_trusted()
    listed = own + global_keys

    def hidden(key):
        return (key in listed) == deny

    expected = model_walk(copy.deepcopy(target), hidden, do is not False)
    before = [id(c) for c in containers(target)]
    if type(target) is dict:
        result = redactor.omit(target)
    elif do == "not given":
        result = redactor.omit_recurse(target)
    else:
        result = redactor.omit_recurse(target, do)

    assert result is target
    assert same(target, expected)
    assert [id(c) for c in containers(target)] == before
