"""zentrove.Redactor: construction, the key rules, repr, equality, pickling."""

import copy
import pickle
import string
import weakref
from collections import UserString

import pytest
from hypothesis import given
from hypothesis import strategies as st

from redactor_model import Model, fold
from zentrove import Redactor

KEYS = st.text(st.characters(blacklist_categories=()), max_size=6)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({}, TypeError, "Redactor() takes exactly one of omit= and trust="),
        ({"omit": [], "trust": []}, TypeError, "Redactor() takes exactly one of omit= and trust="),
        ({"omit": "password"}, TypeError, "omit= must be an iterable of str, not a single str"),
        ({"trust": 3}, TypeError, "trust= must be an iterable of str, not int"),
        ({"omit": ["a", b"b"]}, TypeError, "omit= must hold only str, not bytes"),
        (
            {"omit": [], "contains": [None]},
            TypeError,
            "contains= must hold only str, not NoneType",
        ),
        ({"omit": [], "exact": 1}, TypeError, "exact= must be a bool, not int"),
        ({"omit": [], "scalars": None}, TypeError, "scalars= must be a bool, not NoneType"),
        ({"omit": [], "mask": b"*"}, TypeError, "mask= must be a str or None, not bytes"),
        (
            {"trust": [], "contains": ["pass"]},
            ValueError,
            "contains= applies to a deny-list (omit=) only",
        ),
        (
            {"omit": [], "contains": ["ok", " _-."]},
            ValueError,
            "contains= entry ' _-.' is empty once case and the separators "
            "_ - . and space are dropped",
        ),
        # An empty shell variable must not pass for a key or the mask.
        ({"omit": ["a", ""]}, ValueError, "omit= must not hold an empty str"),
        ({"trust": [""]}, ValueError, "trust= must not hold an empty str"),
        ({"omit": [], "contains": [""]}, ValueError, "contains= must not hold an empty str"),
        ({"omit": [], "mask": ""}, ValueError, "mask= must not be an empty str"),
        (
            {"omit": [], "keys": []},
            TypeError,
            "Redactor.__init__() got an unexpected keyword argument 'keys'",
        ),
    ],
)
def test_bad_arguments(kwargs, exc, message):
    with pytest.raises(exc) as info:
        Redactor(**kwargs)
    assert str(info.value) == message


def test_rules_are_fixed_once_built():
    r = Redactor(omit=["a"])
    with pytest.raises(RuntimeError) as info:
        Redactor.__init__(r, trust=["a"])
    assert str(info.value) == "Redactor.__init__ was already called: its rules cannot change"
    assert (r.omit, r.trust, r.is_sensitive("A")) == (("a",), None, True)
    bare = Redactor.__new__(Redactor)
    assert repr(bare) == "<Redactor (not initialised)>"
    with pytest.raises(ValueError) as info:
        bare.is_sensitive("a")
    assert str(info.value) == "Redactor object has no rules: Redactor.__init__ was not called"


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ([], False, False, (), None, False, 0),
            "RedactorBase.__init__() argument 1 must be tuple, not list",
        ),
        (((UserString("a"),), False, False, (), None, False, 0), "keys must be a tuple of str"),
        ((("a",), False, False, ("a", 1), None, False, 0), "contains must be a tuple of str"),
        ((("a",), False, False, (), 1, False, 0), "mask must be a str or None"),
    ],
)
def test_base_takes_only_normalised_arguments(args, message):
    from zentrove._redact import RedactorBase

    with pytest.raises(TypeError) as info:
        RedactorBase(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, sensitive, clear",
    [
        (
            {"omit": ["api_key"]},
            ["api_key", "apiKey", "API-KEY", "Api Key", "a.p.i_key", "APIKEY"],
            ["api_keys", "key", "x-api-key", "", 1, None, ("api_key",), b"api_key"],
        ),
        ({"omit": ["straße"]}, ["STRASSE", "Strasse", "straẞe"], ["strase"]),
        # Every ASCII capital folds, the first and the last included.
        (
            {"omit": [string.ascii_lowercase]},
            [string.ascii_uppercase],
            [string.ascii_uppercase[:-1]],
        ),
        ({"omit": ["\udc80x", "_"]}, ["\udc80X", "", "-", " . "], ["\udc80", "x"]),
        ({"omit": ["password"], "exact": True}, ["password"], ["Password", "pass_word"]),
        (
            {"omit": [], "contains": ["passw", "secret"]},
            ["user_password", "X-Secret-Token", "PASSWx", "ſecret"],
            ["pass", "secre", 7],
        ),
        (
            {"omit": ["id"], "exact": True, "contains": ["tok"]},
            ["id", "x_TOK", "Tok"],
            ["ID", "t_o"],
        ),
        ({"trust": ["id", "Event"]}, ["name", "", 1, None, ("id",)], ["ID", "event", "e_v_e_n_t"]),
        ({"trust": ["id"], "exact": True}, ["ID", "i_d"], ["id"]),
    ],
)
def test_key_rules(kwargs, sensitive, clear):
    r = Redactor(**kwargs)
    assert [k for k in sensitive + clear if r.is_sensitive(k)] == sensitive


def test_str_subclass_keys_are_judged_by_text_without_running_their_code():
    class Hostile(str):
        def __eq__(self, other):
            raise AssertionError("__eq__ ran")

        __hash__ = __eq__

    r = Redactor(omit=["token"])
    assert [r.is_sensitive(Hostile(k)) for k in ("TOKEN", "x")] == [True, False]


@given(
    st.lists(KEYS.filter(bool), max_size=4),
    st.lists(KEYS.filter(fold), max_size=2),
    st.booleans(),
    st.booleans(),
    st.lists(KEYS, min_size=1, max_size=8),
)
def test_key_rules_match_the_model(listed, contains, exact, allow, keys):
    kwargs = {"trust" if allow else "omit": listed, "exact": exact}
    if not allow:
        kwargs["contains"] = contains
    r, model = Redactor(**kwargs), Model(**kwargs)
    # Twice: the second round answers from the verdict cache.
    for key in keys + keys:
        assert r.is_sensitive(key) == model.sensitive(key), key


def test_verdict_cache_survives_key_objects_dying():
    # A dead key's address is reused by a new key with other text; the
    # cached verdict of the dead key must not be returned for it.
    r = Redactor(omit=["token"])
    for i in range(2000):
        key = "".join(["tok", "en" if i % 2 else "ex"])
        assert r.is_sensitive(key) == bool(i % 2)
        del key


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"omit": ["b", "a", "b"]}, "Redactor(omit=['b', 'a'])"),
        (
            {"trust": iter(["id"]), "exact": True, "mask": "[x]", "scalars": True},
            "Redactor(trust=['id'], exact=True, mask='[x]', scalars=True)",
        ),
        ({"omit": (), "contains": {"pw": 1}}, "Redactor(omit=[], contains=['pw'])"),
    ],
)
def test_repr_and_views_show_the_rules(kwargs, text):
    r = Redactor(**kwargs)
    assert repr(r) == text
    assert eval(text) == r
    views = (r.omit, r.trust, r.exact, r.contains, r.mask, r.scalars)
    assert all(type(v) in (tuple, bool, str, type(None)) for v in views)


def test_equality_and_hash_follow_the_rules():
    a = Redactor(omit=["a", "b"], contains=["x"])
    same = Redactor(omit=["b", "a", "a"], contains=["x"])
    others = [
        Redactor(trust=["a", "b"]),
        Redactor(omit=["a", "b"], contains=["x"], exact=True),
        Redactor(omit=["a"], contains=["x"]),
        Redactor(omit=["a", "b"], contains=["x"], mask="*"),
    ]
    assert a == same and hash(a) == hash(same)
    assert all(a != o for o in others)
    assert a != "Redactor(omit=['a', 'b'])"


class Sub(Redactor):
    pass


@pytest.mark.parametrize(
    "copier",
    [
        copy.copy,
        copy.deepcopy,
        *(
            lambda r, p=p: pickle.loads(pickle.dumps(r, p))
            for p in range(pickle.HIGHEST_PROTOCOL + 1)
        ),
    ],
)
@pytest.mark.parametrize("cls, state", [(Redactor, None), (Sub, {"note": "kept"})])
def test_copies_and_pickles_keep_rules_and_state(copier, cls, state):
    r = cls(omit=["api_key"], contains=["secret"], mask="#", scalars=True, detect=["jwt"])
    if state:
        vars(r).update(state)
    c = copier(r)
    assert (type(c), c, hash(c), getattr(c, "__dict__", None)) == (cls, r, hash(r), state)
    assert c.is_sensitive("X-Secret") and c.is_sensitive("apiKey") and c.detect == ("jwt",)


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda r: setattr(r, "note", 1), "'Redactor' object has no attribute 'note'"),
        (lambda r: delattr(r, "note"), "'Redactor' object has no attribute 'note'"),
        (lambda r: setattr(r, "__dict__", {}), "'Redactor' object has no attribute '__dict__'"),
        (
            lambda r: setattr(r, "omit", ["b"]),
            "attribute 'omit' of 'zentrove._redact.RedactorBase' objects is not writable",
        ),
        (
            lambda r: setattr(r, "detect", True),
            "property 'detect' of 'Redactor' object has no setter",
        ),
    ],
)
def test_a_redactor_is_immutable(change, message):
    r = Redactor(omit=["a"])
    with pytest.raises(AttributeError) as info:
        change(r)
    assert str(info.value) == message
    assert (r.omit, r.detect, weakref.ref(r)() is r) == (("a",), (), True)


def test_importing_the_package_loads_no_redactor_code():
    from helpers import run_python

    ran = run_python("""
        import sys, zentrove
        # Every name of __all__, the native core included, is there on first use.
        assert zentrove.omit is sys.modules["zentrove.omit"]
        assert "zentrove._redact" not in sys.modules
        assert zentrove.Redactor.__module__ == "zentrove.redactor"
        assert zentrove.Redactor is __import__("zentrove.redactor").redactor.Redactor
        try:
            zentrove.nothing
        except AttributeError as e:
            print(e)
        from zentrove import *
        print(sorted(zentrove.__all__) == sorted(n for n in zentrove.__all__ if n in globals()))
    """)
    assert (ran.stdout, ran.stderr) == ("module 'zentrove' has no attribute 'nothing'\nTrue\n", "")
