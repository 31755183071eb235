"""Leak loops over every entry of zentrove.omit, success and failure paths.

helpers.assert_no_leak counts what the interpreter counts: references and
allocated blocks on a debug build, allocated blocks on a release build;
it skips where neither is counted (PYTHONMALLOC=malloc).
"""

import collections
import copy
import ctypes
import pickle
import re
import sys
import warnings
import weakref

import pytest

import zentrove.omit as omit
from helpers import (
    LEAK_CALLS,
    LEAK_COUNTS,
    LEAK_ROUNDS,
    NO_TRUST_SUM,
    NO_TRUST_SUMS,
    OMITTER_SUM,
    OMITTER_SUMS,
    Boom,
    IntReturnsStr,
    Keys,
    Mapping,
    RaisingBool,
    RaisingEq,
    RaisingHash,
    RaisingInt,
    Text,
    assert_no_leak,
    growth,
)
from helpers import raising as raises
from subclasses import (
    DictAttributeError,
    DictRaises,
    Fresh,
    GetattributeRaises,
    ListAsDict,
    Overriding,
    Plain,
    UpdateRaises,
    WithDict,
)
from zentrove.omit import NoTrustOmitter, Omitter

pytestmark = pytest.mark.leak

UNPICKLE = getattr(omit, "__pyx_unpickle_Omitter")
UNPICKLE_NT = getattr(omit, "__pyx_unpickle_NoTrustOmitter")


def cases(table):
    return pytest.mark.parametrize("case", table.values(), ids=table.keys())


# ---------------------------------------------------------- the harness


def grew_by_each_call(deltas):
    """Every round grew, by about one per call (give or take the few that
    the interpreter's own caches take or give back)."""
    return all(d > 0 for d in deltas) and sum(deltas) >= 0.9 * LEAK_ROUNDS * LEAK_CALLS


ROUND = rf"\[\d+(, \d+){{{LEAK_ROUNDS - 1}}}\]"


def test_a_kept_object_fails_in_every_count():
    kept = []
    with pytest.raises(AssertionError) as info:
        assert_no_leak(lambda: kept.append(object()))
    parts = [rf"{name} grew in every round: {ROUND}" for name in LEAK_COUNTS]
    assert re.fullmatch("; ".join(parts), str(info.value))
    assert all(grew_by_each_call(d) for d in growth(lambda: kept.append(object())).values())


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_a_reference_leak_without_an_allocation_fails():
    leaked = object()
    incref, decref = ctypes.pythonapi.Py_IncRef, ctypes.pythonapi.Py_DecRef
    incref.argtypes = decref.argtypes = [ctypes.py_object]
    calls = 0

    def leak():
        nonlocal calls
        calls += 1
        incref(leaked)

    try:
        deltas = growth(leak)
        assert grew_by_each_call(deltas["references"]), deltas
        assert not all(d > 0 for d in deltas["allocated blocks"]), deltas
    finally:
        for _ in range(calls):
            decref(leaked)


# ---------------------------------------------------------------- data


class Unbuilt(Omitter):
    def __init__(self):
        pass


class WrongResult(Omitter):
    def omit(self, target):
        return [target]


class RaisingOverride(NoTrustOmitter):
    def omit_recurse(self, target, do=True):
        raise Boom


class Abstract(Omitter):
    pass


Abstract.__abstractmethods__ = frozenset({"x"})  # what ABCMeta sets


def secrets():
    return {
        "pw": "secret",
        "user": "bob",
        "n": 1,
        "f": 2.5,
        "c": 3j,
        "b": False,
        None: "x",
        "t": ("pw",),
        "raw": b"pw",
        "d": {"pw": "\u20ac" * 4, "inner": {"pw": "\U0001f511", 5: {"pw": "z"}}},
        "pwl": ["a", 1, {"pw": "b", "ok": "c"}, ["d", ["e"]], None],
        "okl": ["a", {"pw": "b"}],
    }


deny = Omitter(["pw", "pwl", None])
allow = NoTrustOmitter(["user", "okl", "ok"])


def with_globals(*keys):
    def wrap(func):
        def run():
            omit.always_omit(list(keys))
            omit.always_trust(list(keys))
            try:
                func()
            finally:
                omit.reset_omissions()
                omit.reset_trusted()

        return run

    return wrap


# ---------------------------------------------------- module functions


def fill_and_reset():
    omit.always_omit(["a", 1, None, ("t",)])
    omit.always_trust(targets=["b", object()])
    omit.globally_hidden()
    omit.globally_trusted()
    omit.reset_omissions()
    omit.reset_trusted()


MODULE = {
    "hide": lambda: omit.hide("abc"),
    "hide-wide": lambda: omit.hide("\U0001f511\u20ac" * 150),
    "hide-empty": lambda: omit.hide(""),
    "hide-keyword": lambda: omit.hide(target="abc"),
    "fill-read-reset": fill_and_reset,
    "always-omit-empty": lambda: omit.always_omit([]),
    **{
        f"hide-{name}": raises(TypeError, omit.hide, value)
        for name, value in [
            ("none", None),
            ("str-subclass", Text("a")),
            ("bytes", b"a"),
            ("int", 1),
        ]
    },
    "hide-no-argument": raises(TypeError, omit.hide),
    "hide-two-arguments": raises(TypeError, omit.hide, "a", "b"),
    "hide-stray-keyword": raises(TypeError, omit.hide, other="a"),
    "hide-unexpected-keyword": raises(TypeError, omit.hide, "a", other="b"),
    "hide-multiple-values": raises(TypeError, omit.hide, "a", target="b"),
    "always-omit-none": raises(TypeError, omit.always_omit, None),
    "always-trust-none": raises(TypeError, omit.always_trust, None),
    "always-omit-tuple": raises(TypeError, omit.always_omit, ("a",)),
    "always-trust-list-subclass": raises(TypeError, omit.always_trust, Keys(["a"])),
    "always-omit-no-argument": raises(TypeError, omit.always_omit),
    "always-omit-keyword": raises(TypeError, omit.always_omit, targets=[], x=1),
    "always-trust-keyword": raises(TypeError, omit.always_trust, [], other=1),
    "globally-hidden-argument": raises(TypeError, omit.globally_hidden, 1),
    "globally-trusted-keyword": raises(TypeError, omit.globally_trusted, x=1),
    "reset-omissions-arguments": raises(TypeError, omit.reset_omissions, 1, 2),
    "reset-trusted-keyword": raises(TypeError, omit.reset_trusted, 1, x=1),
}


@cases(MODULE)
def test_module_functions(case):
    assert_no_leak(case)


# -------------------------------------------------------- construction


def cycle_through_own_list(cls, state):
    def run():
        o = cls()
        keys = [o]
        o.__setstate__(state(keys))

    return run


def init_again():
    o = Omitter(["a"])
    o.__init__(["b", "c"])
    o.__init__(omissions=None)
    n = NoTrustOmitter(["a"])
    n.__init__(["b", "b"])
    Omitter.__init__(n, ["c"])


def init_fails_keeps_list():
    n = NoTrustOmitter(["a"])
    raises(TypeError, n.__init__, ["b", {}])()


CONSTRUCTION = {
    "omitter": lambda: Omitter(["a", "b"]),
    "omitter-default": lambda: Omitter(),
    "omitter-keyword": lambda: Omitter(omissions=["a"]),
    "omitter-with-globals": with_globals("g", "h")(lambda: (Omitter(), Omitter(["a"]))),
    "no-trust": lambda: NoTrustOmitter(["a", "a", None, 1]),
    "no-trust-default": lambda: NoTrustOmitter(),
    "no-trust-with-globals": with_globals("g")(lambda: (NoTrustOmitter(), NoTrustOmitter([]))),
    "subclasses": lambda: (Overriding(["a"]), Plain(["a"]), WithDict(["b"]), Unbuilt()),
    "allocation-alone": lambda: (Omitter.__new__(Omitter), NoTrustOmitter.__new__(WithDict)),
    "init-again": init_again,
    "init-fails-keeps-list": init_fails_keeps_list,
    "cycle-omitter": cycle_through_own_list(Omitter, lambda keys: (keys,)),
    "cycle-no-trust": cycle_through_own_list(NoTrustOmitter, lambda keys: (keys, keys)),
    "no-trust-unhashable": raises(TypeError, NoTrustOmitter, ["a", ["b"]]),
    "no-trust-raising-hash": raises(Boom, NoTrustOmitter, ["a", RaisingHash()]),
    "no-trust-unhashable-global": with_globals({})(raises(TypeError, NoTrustOmitter, ["a"])),
    "omitter-tuple": raises(TypeError, Omitter, ("a",)),
    "omitter-list-subclass": raises(TypeError, Omitter, Keys()),
    "omitter-two-arguments": raises(TypeError, Omitter, [], []),
    "omitter-unexpected-keyword": raises(TypeError, Omitter, other=[]),
    "omitter-multiple-values": raises(TypeError, Omitter, [], omissions=[]),
    "omitter-non-str-keyword": raises(TypeError, lambda: Omitter(**{1: []})),
    "no-trust-tuple": raises(TypeError, NoTrustOmitter, ("a",)),
    "no-trust-list-subclass": raises(TypeError, NoTrustOmitter, Keys()),
    "no-trust-two-arguments": raises(TypeError, NoTrustOmitter, [], []),
    "no-trust-keyword": raises(TypeError, NoTrustOmitter, [], trusted=[]),
    "abstract-subclass": raises(TypeError, Abstract),
}


@cases(CONSTRUCTION)
def test_construction(case):
    assert_no_leak(case)


# ---------------------------------------------------------------- walks


class Grows:
    """A key-list element whose comparison adds an entry to `target`."""

    target = None

    def __eq__(self, other):
        self.target[object()] = "x"
        return False

    __hash__ = object.__hash__


class Shrinks:
    """A key-list element whose comparison empties `target` (a list)."""

    target = None

    def __eq__(self, other):
        del self.target[:]
        return False

    __hash__ = object.__hash__


def size_change():
    target = {"a": "x", "b": "y", "c": "z"}
    grows = Grows()
    grows.target = target
    Omitter([grows]).omit(target)


def list_shrinks():
    target = [{"a": "x"}, "s", "t", ["u"]]
    shrinks = Shrinks()
    shrinks.target = target
    Omitter([shrinks]).omit_recurse(target)


class AppendsOnRelease:
    def __init__(self, target):
        self.target = target

    def __del__(self):
        self.target.append("late")


def finaliser_changes_list():
    target = [{}, "s", ["t"]]
    target[0]["f"] = AppendsOnRelease(target)
    Fresh(["x"]).omit_recurse(target)


def cyclic_dict():
    target = {"pw": "a"}
    target["self"] = target
    raises(RecursionError, deny.omit, target)()
    target.clear()


def deep_lists():
    target = current = []
    for _ in range(1500):
        inner = ["s", {"pw": "x"}]
        current.append(inner)
        current = inner
    raises(RecursionError, deny.omit, {"pwl": target})()


def attribute_override():
    o = WithDict(["user"])
    o.omit = lambda target: target
    o.omit(secrets())


WALKS = {
    "omit": lambda: deny.omit(secrets()),
    "omit-no-trust": lambda: allow.omit(secrets()),
    "omit-keyword": lambda: deny.omit(target=secrets()),
    "omit-through-class": lambda: Omitter.omit(allow, secrets()),
    "omit-recurse": lambda: deny.omit_recurse(list(secrets().values())),
    "omit-recurse-false": lambda: allow.omit_recurse(["a", {"x": "b"}, ["c"]], False),
    "omit-recurse-none": lambda: allow.omit_recurse(["a", {"pw": "b"}, ["c"], 1], None),
    "omit-recurse-do-object": lambda: allow.omit_recurse(["a", ["b"]], do=[0]),
    "override": lambda: Overriding(["pw", "pwl"]).omit(secrets()),
    "override-list": lambda: Overriding(["pw"]).omit_recurse(["a", {"pw": "b"}, ["c"]]),
    "override-inherited": lambda: Plain(["pw", "pwl"]).omit(secrets()),
    "override-inherited-no-trust": lambda: WithDict(["user"]).omit(secrets()),
    "override-instance-attribute": attribute_override,
    "empty": lambda: (deny.omit({}), deny.omit_recurse([])),
    "finaliser-changes-list": finaliser_changes_list,
    # failures part-way, after values were replaced
    "int-key-after-replacements": raises(
        TypeError, deny.omit, {"pw": "a", "d": {"pw": "b", 3: ["c"]}}
    ),
    "int-key-no-trust": raises(TypeError, allow.omit, {"x": "a", 2: ["b"]}),
    "deep-failure": raises(
        TypeError, deny.omit, {"pw": "a", "d": {"e": {"f": [{"g": {5: "x"}}]}}}
    ),
    "str-subclass-hidden": raises(TypeError, deny.omit, {"user": "a", "pw": Text("b")}),
    "dict-subclass": raises(
        TypeError, deny.omit, {"pw": "a", "o": collections.OrderedDict(pw="b")}
    ),
    "list-subclass": raises(TypeError, deny.omit, {"pw": "a", "l": Keys(["b"])}),
    "dict-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", Mapping()]),
    "list-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", [Keys()]]),
    "str-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", Text("b")]),
    "omit-none": raises(AttributeError, deny.omit, None),
    "omit-recurse-none-target": raises(TypeError, deny.omit_recurse, None),
    "equality-raises": raises(Boom, Omitter(["a", RaisingEq()]).omit, {"pw": "x"}),
    "equality-raises-no-trust": raises(
        Boom, NoTrustOmitter([RaisingEq()]).omit, {"d": {}, "k": ["x"]}
    ),
    "allocation-alone-omitter": raises(TypeError, Omitter.__new__(Omitter).omit, {"a": "b"}),
    "allocation-alone-no-trust": raises(
        TypeError, NoTrustOmitter.__new__(NoTrustOmitter).omit, {"n": 1, "l": ["a"]}
    ),
    "unbuilt-subclass": raises(TypeError, lambda: Unbuilt().omit({"d": {"a": "b"}})),
    "size-change": raises(RuntimeError, size_change),
    "list-shrinks": raises(RuntimeError, list_shrinks),
    "do-raises": raises(Boom, deny.omit_recurse, ["a"], RaisingBool()),
    "override-wrong-result": raises(TypeError, Omitter.omit, WrongResult(), {"d": {}}),
    "override-raises": raises(Boom, lambda: RaisingOverride().omit({"l": ["a"]})),
    # binding
    "omit-no-argument": raises(TypeError, deny.omit),
    "omit-two-arguments": raises(TypeError, deny.omit, {}, {}),
    "omit-wrong-type": raises(TypeError, deny.omit, collections.OrderedDict()),
    "omit-list": raises(TypeError, deny.omit, []),
    "omit-multiple-values": raises(TypeError, deny.omit, {}, target={}),
    "omit-unexpected-keyword": raises(TypeError, deny.omit, {}, other=1),
    "omit-no-instance": raises(TypeError, Omitter.omit),
    "omit-foreign-instance": raises(TypeError, Omitter.omit, "x", {}),
    "omit-recurse-no-argument": raises(TypeError, deny.omit_recurse),
    "omit-recurse-three-arguments": raises(TypeError, deny.omit_recurse, [], 1, 2),
    "omit-recurse-multiple-values": raises(TypeError, deny.omit_recurse, [], target=[]),
    "omit-recurse-wrong-type": raises(TypeError, deny.omit_recurse, ("a",)),
    "omit-recurse-unexpected-keyword": raises(TypeError, deny.omit_recurse, [], dont=1),
    "omit-recurse-foreign-instance": raises(TypeError, Omitter.omit_recurse, 1, []),
}


@cases(WALKS)
def test_walks(case):
    assert_no_leak(case)


def big_dict():
    return {f"k{i}": ("secret" if i % 3 else [f"v{i}", {"pw": "x"}]) for i in range(3000)}


def nested_lists():
    return [[["a", "b", {"pw": "c", "k": ["d"]}] for _ in range(10)] for _ in range(200)]


LARGE = {
    "recursion-cycle": cyclic_dict,
    "recursion-deep-lists": deep_lists,
    "dict-10k-no-trust": lambda: allow.omit(big_dict()),
    "dict-10k-deny": lambda: Omitter([f"k{i}" for i in range(0, 50)]).omit(big_dict()),
    "nested-lists": lambda: deny.omit_recurse(nested_lists()),
    "nested-lists-under-key": lambda: allow.omit({"k": nested_lists()}),
    "long-key-list": lambda: Omitter([str(i) for i in range(5000)]).omit({"4999": "x" * 1000}),
    "failure-at-the-end": raises(TypeError, lambda: allow.omit({**big_dict(), 10**6: "last"})),
}


@cases(LARGE)
def test_walks_on_large_input(case):
    assert_no_leak(case, n=5)


# ------------------------------------------------------------- pickling


def with_attributes():
    o = WithDict(["a"])
    o.extra = ["x", {"y": 1}]
    return o


def roundtrip(make, protocol):
    return lambda: pickle.loads(pickle.dumps(make(), protocol))


def without(name, call):
    """call() while the module lacks its reconstructor `name`."""

    def run():
        saved = omit.__dict__.pop(name)
        try:
            call()
        finally:
            omit.__dict__[name] = saved

    return run


def without_pickle_module():
    real = sys.modules["pickle"]
    sys.modules["pickle"] = type(sys)("pickle")
    try:
        raises(ImportError, UNPICKLE, Omitter, 1, None)()
    finally:
        sys.modules["pickle"] = real


def rebound_reconstructor():
    saved = omit.__pyx_unpickle_Omitter
    omit.__pyx_unpickle_Omitter = len
    try:
        assert Omitter().__reduce__()[0] is len
    finally:
        omit.__pyx_unpickle_Omitter = saved


PICKLING = {
    **{f"roundtrip-omitter-{p}": roundtrip(lambda: Omitter(["a"]), p) for p in range(6)},
    "roundtrip-no-trust": roundtrip(lambda: NoTrustOmitter(["a", "b"]), 2),
    "roundtrip-subclass-with-attributes": roundtrip(with_attributes, 4),
    "roundtrip-plain-forms": roundtrip(
        lambda: (Omitter.__new__(Omitter), NoTrustOmitter.__new__(NoTrustOmitter)), 3
    ),
    "copy": lambda: (copy.copy(deny), copy.copy(allow), copy.copy(with_attributes())),
    "deepcopy": lambda: (
        copy.deepcopy(deny),
        copy.deepcopy(allow),
        copy.deepcopy(with_attributes()),
    ),
    "reduce-forms": lambda: (
        deny.__reduce__(),
        allow.__reduce_ex__(0),
        Omitter.__reduce_cython__(Omitter.__new__(Omitter)),
    ),
    "reduce-dict-attribute-error": lambda: DictAttributeError().__reduce__(),
    "reduce-rebound-reconstructor": rebound_reconstructor,
    "setstate": lambda: Omitter().__setstate__((["a"],)),
    "setstate-extra-elements": lambda: (
        Omitter().__setstate__((["a"], {}, 3)),
        NoTrustOmitter().__setstate__((None, ["a"], {}, 4)),
    ),
    "setstate-subclass-dict": lambda: WithDict().__setstate__((None, None, {"a": 1})),
    "setstate-keyword": lambda: Omitter().__setstate_cython__(__pyx_state=(None,)),
    "setstate-getattribute-raises": lambda: GetattributeRaises().__setstate__(([], {"a": 1})),
    "reconstruct": lambda: (
        UNPICKLE(Omitter, OMITTER_SUM, (["a"],)),
        UNPICKLE_NT(WithDict, NO_TRUST_SUMS[1], (None, ["b"], {"c": 1})),
    ),
    "reconstruct-other-sums": lambda: (
        UNPICKLE(Omitter, OMITTER_SUMS[1], None),
        UNPICKLE_NT(NoTrustOmitter, NO_TRUST_SUMS[2], (None, ["a"])),
    ),
    "reconstruct-float-checksum": lambda: UNPICKLE(Omitter, float(OMITTER_SUM) + 0.5, None),
    # failures
    "reduce-arity": raises(TypeError, deny.__reduce__, 1),
    "reduce-keyword": raises(TypeError, deny.__reduce_cython__, x=1),
    "reduce-dict-raises": raises(Boom, DictRaises().__reduce__),
    "reduce-getattribute-raises": raises(Boom, GetattributeRaises().__reduce__),
    "reduce-no-reconstructor": without(
        "__pyx_unpickle_NoTrustOmitter", raises(NameError, NoTrustOmitter().__reduce__)
    ),
    "reduce-no-reconstructor-omitter": without(
        "__pyx_unpickle_Omitter", raises(NameError, Omitter().__reduce__)
    ),
    "reduce-foreign-instance": raises(TypeError, NoTrustOmitter.__reduce_cython__, deny),
    "setstate-none": raises(TypeError, Omitter().__setstate__, None),
    "setstate-list": raises(TypeError, Omitter().__setstate__, [["a"]]),
    "setstate-tuple-subclass": raises(
        TypeError, Omitter().__setstate__, type("T", (tuple,), {})((None,))
    ),
    "setstate-empty-tuple": raises(IndexError, Omitter().__setstate__, ()),
    "setstate-short-tuple": raises(IndexError, NoTrustOmitter().__setstate__, (["a"],)),
    "setstate-bad-first-field": raises(TypeError, Omitter().__setstate__, (Keys(),)),
    "setstate-bad-second-field": raises(TypeError, NoTrustOmitter().__setstate__, (["a"], "b")),
    "setstate-update-non-dict": raises(TypeError, WithDict().__setstate__, (None, None, 5)),
    "setstate-update-raises": raises(Boom, UpdateRaises().__setstate__, (None, {"a": 1})),
    "setstate-update-missing": raises(AttributeError, ListAsDict().__setstate__, (None, {})),
    "setstate-foreign-instance": raises(
        TypeError, NoTrustOmitter.__setstate_cython__, deny, (None, None)
    ),
    "setstate-arity": raises(TypeError, Omitter().__setstate__),
    "setstate-unexpected-keyword": raises(TypeError, Omitter().__setstate_cython__, (None,), x=1),
    "reconstruct-wrong-checksum": raises(pickle.PickleError, UNPICKLE, Omitter, 1, None),
    "reconstruct-negative-checksum": raises(
        pickle.PickleError, UNPICKLE_NT, NoTrustOmitter, -1, None
    ),
    "reconstruct-pickle-module-missing": without_pickle_module,
    "reconstruct-other-types-checksum": raises(
        pickle.PickleError, UNPICKLE, Omitter, NO_TRUST_SUM, None
    ),
    "reconstruct-str-checksum": raises(TypeError, UNPICKLE, Omitter, "1", None),
    "reconstruct-int-raises": raises(Boom, UNPICKLE, Omitter, RaisingInt(), None),
    "reconstruct-int-returns-str": raises(TypeError, UNPICKLE, Omitter, IntReturnsStr(), None),
    "reconstruct-overflow": raises(OverflowError, UNPICKLE, Omitter, 2**64, None),
    "reconstruct-wrong-type": raises(TypeError, UNPICKLE, NoTrustOmitter, OMITTER_SUM, None),
    "reconstruct-not-a-type": raises(TypeError, UNPICKLE, 1, OMITTER_SUM, None),
    "reconstruct-state-list": raises(TypeError, UNPICKLE, Omitter, OMITTER_SUM, []),
    "reconstruct-short-state": raises(IndexError, UNPICKLE_NT, NoTrustOmitter, NO_TRUST_SUM, ()),
    "reconstruct-bad-field": raises(
        TypeError, UNPICKLE_NT, NoTrustOmitter, NO_TRUST_SUM, (["a"], ())
    ),
    "reconstruct-update-fails": raises(
        TypeError, UNPICKLE_NT, WithDict, NO_TRUST_SUM, (None, None, 1)
    ),
    "reconstruct-update-raises": raises(
        Boom, UNPICKLE, UpdateRaises, OMITTER_SUM, (None, {"a": 1})
    ),
    "reconstruct-arity": raises(TypeError, UNPICKLE, Omitter, OMITTER_SUM),
    "reconstruct-missing-keyword": raises(
        TypeError, UNPICKLE, __pyx_type=Omitter, __pyx_state=None
    ),
    "reconstruct-unexpected-keyword": raises(TypeError, UNPICKLE_NT, NoTrustOmitter, 1, None, x=1),
    "reconstruct-multiple-values": raises(
        TypeError, UNPICKLE, Omitter, 1, None, __pyx_type=Omitter
    ),
    "loads-truncated": raises(
        pickle.UnpicklingError, pickle.loads, pickle.dumps(Omitter(["a"]))[:-3]
    ),
}


@cases(PICKLING)
def test_pickling(case):
    assert_no_leak(case)


# ------------------------------------------------------ function objects

FUNCTIONS = (
    omit.hide,
    omit.always_omit,
    omit.globally_hidden,
    Omitter.omit,
    Omitter.omit_recurse,
    NoTrustOmitter.__reduce_cython__,
    UNPICKLE,
)


def read_attributes():
    for f in FUNCTIONS:
        (
            f.__name__,
            f.__qualname__,
            f.__module__,
            f.__doc__,
            f.__dict__,
            f.__annotations__,
            f.__defaults__,
            f.__kwdefaults__,
            f.__code__,
            f.__globals__,
            f.__closure__,
            f._is_coroutine,
            repr(f),
            f.__reduce__(),
        )


def assign_attributes():
    f = omit.always_trust
    f.__dict__ = {"x": [1]}
    f.marker = object()
    del f.marker
    f.__annotations__ = {"targets": list}
    f.__annotations__ = None
    f.__annotations__  # noqa: B018 - the getter is what runs
    f.__doc__ = "doc"
    del f.__doc__
    f.__name__ = "renamed"
    f.__name__ = "always_trust"
    f.__qualname__ = "always_trust"
    f.__module__ = "zentrove.omit"
    f.__dict__ = {}


def assign_defaults():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        Omitter.omit_recurse.__defaults__ = (0, "x")
        Omitter.omit_recurse.__kwdefaults__ = {"do": 1}
        Omitter.omit_recurse.__defaults__ = None
        Omitter.omit_recurse.__defaults__ = (1,)
        Omitter.omit_recurse.__kwdefaults__ = None
        del omit.hide.__defaults__


def defaults_warning_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises(RuntimeWarning, setattr, omit.hide, "__defaults__", ("x",))()
        raises(RuntimeWarning, setattr, omit.hide, "__kwdefaults__", {})()


FUNCTION_OBJECTS = {
    "read-attributes": read_attributes,
    "assign-attributes": assign_attributes,
    "assign-defaults": assign_defaults,
    "defaults-warning-as-error": defaults_warning_as_error,
    "bound-methods": lambda: (
        deny.omit,
        allow.omit_recurse,
        deny.__reduce__,
        Plain().omit,
        Omitter.omit.__get__(deny),
        Omitter.omit.__get__(None, Omitter),
    ),
    "weak-reference": lambda: weakref.ref(omit.hide)(),
    "pickle-function": lambda: (
        pickle.loads(pickle.dumps(Omitter.omit_recurse)),
        pickle.loads(pickle.dumps(omit.hide)),
    ),
    "call-through-tp-call": lambda: type(omit.hide).__call__(omit.hide, target="ab"),
    "call-through-tp-call-bad-keyword": raises(
        TypeError, lambda: type(omit.hide).__call__(omit.hide, "a", **{1: "b"})
    ),
    "name-not-str": raises(TypeError, setattr, omit.hide, "__name__", 1),
    "qualname-not-str": raises(TypeError, setattr, omit.hide, "__qualname__", None),
    "qualname-deleted": raises(TypeError, delattr, omit.hide, "__qualname__"),
    "annotations-not-dict": raises(TypeError, setattr, omit.hide, "__annotations__", []),
    "defaults-not-tuple": raises(TypeError, setattr, omit.hide, "__defaults__", [1]),
    "kwdefaults-not-dict": raises(TypeError, setattr, omit.hide, "__kwdefaults__", 1),
    "dict-not-dict": raises(TypeError, setattr, omit.hide, "__dict__", []),
    "dict-deleted": raises(TypeError, delattr, omit.hide, "__dict__"),
    "code-read-only": raises(AttributeError, setattr, omit.hide, "__code__", None),
    "method-without-instance": raises(TypeError, NoTrustOmitter.__setstate_cython__),
}


@cases(FUNCTION_OBJECTS)
def test_function_objects(case):
    assert_no_leak(case)
