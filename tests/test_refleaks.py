"""Reference leaks, counted for real on a debug interpreter.

sys.gettotalrefcount() exists only in a debug build of CPython (Debian's
python3.11-dbg); with the module built against it, every public callable is
run on its success and failure paths: warm-up, then rounds of N calls, each
round closed by a full collection.  A case leaks when every round grows the
total reference count (or the count of allocated blocks): the rule of
CPython's own -R runs, which tolerates the noise of caches filled once.
tests/test_leaks.py runs the block count alone on any build.
"""

import collections
import copy
import ctypes
import gc
import pickle
import sys
import warnings
import weakref
from itertools import repeat

import pytest

import zentrove.omit as omit
from zentrove.omit import NoTrustOmitter, Omitter
from helpers import raising as raises

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"),
    reason="needs a debug interpreter (sys.gettotalrefcount)",
)

N = 50
WARMUP = 4
ROUNDS = 6

UNPICKLE = getattr(omit, "__pyx_unpickle_Omitter")
UNPICKLE_NT = getattr(omit, "__pyx_unpickle_NoTrustOmitter")
OMITTER_SUM = 0xF72771A
NO_TRUST_SUM = 0x63752F2


def growth(func, n=N):
    """Deltas of the total reference count and of the allocated blocks over
    ROUNDS rounds of n calls, after WARMUP rounds."""
    for _ in repeat(None, WARMUP * n):
        func()
    refs = [0] * ROUNDS
    blocks = [0] * ROUNDS
    indices = list(range(ROUNDS))
    gettotalrefcount = sys.gettotalrefcount
    getallocatedblocks = sys.getallocatedblocks
    collect = gc.collect
    refs_now = blocks_now = 0
    collect()
    refs_before = gettotalrefcount()
    blocks_before = getallocatedblocks()
    for i in indices:
        for _ in repeat(None, n):
            func()
        collect()
        refs_now = gettotalrefcount()
        blocks_now = getallocatedblocks()
        refs[i] = refs_now - refs_before
        blocks[i] = blocks_now - blocks_before
        refs_before = refs_now
        blocks_before = blocks_now
    return refs, blocks


def assert_no_leak(func, n=N):
    """Fails when every round grew either count, in a first measurement and
    again in a second one: a leak grows every time, while the few blocks
    that the interpreter's own caches take now and then (seen with pickle
    protocol 0) do not come back in every round twice."""
    for _ in range(2):
        refs, blocks = growth(func, n)
        if not all(d > 0 for d in refs) and not all(d > 0 for d in blocks):
            return
    assert not all(d > 0 for d in refs), f"references grew in every round: {refs}"
    assert not all(d > 0 for d in blocks), f"allocated blocks grew in every round: {blocks}"


def test_growth_sees_a_reference_leak_without_an_allocation():
    leaked = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    refs, blocks = growth(lambda: incref(leaked), n=50)
    assert all(d >= 50 for d in refs), refs
    assert not all(d > 0 for d in blocks), blocks
    ctypes.pythonapi.Py_DecRef.argtypes = [ctypes.py_object]
    for _ in range((WARMUP + ROUNDS) * 50):
        ctypes.pythonapi.Py_DecRef(leaked)


# ------------------------------------------------------------ crashers


class Boom(Exception):
    pass


class Text(str):
    pass


class Keys(list):
    pass


class Mapping(dict):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom


class RaisingBool:
    def __bool__(self):
        raise Boom


class RaisingInt:
    def __int__(self):
        raise Boom


class IntReturnsStr:
    def __int__(self):
        return "1"


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


class Unbuilt(Omitter):
    def __init__(self):
        pass


class Overriding(Omitter):
    def omit(self, target):
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


class WrongResult(Omitter):
    def omit(self, target):
        return [target]


class RaisingOverride(NoTrustOmitter):
    def omit_recurse(self, target, do=True):
        raise Boom


class WithDict(NoTrustOmitter):
    pass


class DictRaises(Omitter):
    @property
    def __dict__(self):
        raise Boom


class DictAttributeError(Omitter):
    @property
    def __dict__(self):
        raise AttributeError("no dict")


class BadUpdate(dict):
    def update(self, other):
        raise Boom


class UpdateRaises(Omitter):
    """An instance whose __dict__ is an object whose update raises."""

    @property
    def __dict__(self):
        return BadUpdate()


class ListAsDict(Omitter):
    """An instance dict without update."""

    @property
    def __dict__(self):
        return []


class GetattributeRaises(Omitter):
    def __getattribute__(self, name):
        if name == "__dict__":
            raise Boom
        return super().__getattribute__(name)


def secrets(n=4):
    return {
        "pw": "secret",
        "user": "bob",
        "n": 1,
        "f": 2.5,
        "c": 3j,
        "b": False,
        None: "x",
        "t": ("pw",),
        "d": {"pw": "\u20ac" * n, "inner": {"pw": "\U0001f511", 5: {"pw": "z"}}},
        "pwl": ["a", 1, {"pw": "b", "ok": "c"}, ["d", ["e"]], None],
        "okl": ["a", {"pw": "b"}],
    }


deny = Omitter(["pw", "pwl", None])
allow = NoTrustOmitter(["user", "okl", "ok"])


# ---------------------------------------------------- module functions

MODULE = {
    "hide": lambda: omit.hide("abc"),
    "hide-wide": lambda: omit.hide("\U0001f511\u20ac" * 50),
    "hide-empty": lambda: omit.hide(""),
    "hide-keyword": lambda: omit.hide(target="abc"),
    "hide-none": raises(TypeError, omit.hide, None),
    "hide-str-subclass": raises(TypeError, omit.hide, Text("a")),
    "hide-bytes": raises(TypeError, omit.hide, b"a"),
    "hide-no-argument": raises(TypeError, omit.hide),
    "hide-two-arguments": raises(TypeError, omit.hide, "a", "b"),
    "hide-stray-keyword": raises(TypeError, omit.hide, other="a"),
    "hide-unexpected-keyword": raises(TypeError, omit.hide, "a", other="b"),
    "hide-multiple-values": raises(TypeError, omit.hide, "a", target="b"),
    "always-omit-none": raises(TypeError, omit.always_omit, None),
    "always-trust-none": raises(TypeError, omit.always_trust, None),
    "always-omit-tuple": raises(TypeError, omit.always_omit, ("a",)),
    "always-trust-list-subclass": raises(TypeError, omit.always_trust, Keys(["a"])),
    "always-omit-keyword": raises(TypeError, omit.always_omit, targets=[], x=1),
    "globally-hidden-argument": raises(TypeError, omit.globally_hidden, 1),
    "globally-trusted-keyword": raises(TypeError, omit.globally_trusted, x=1),
    "reset-omissions-arguments": raises(TypeError, omit.reset_omissions, 1, 2),
    "reset-trusted-keyword": raises(TypeError, omit.reset_trusted, x=1),
}


def fill_and_reset():
    omit.always_omit(["a", 1, None, ("t",)])
    omit.always_trust(targets=["b", object()])
    omit.globally_hidden()
    omit.globally_trusted()
    omit.reset_omissions()
    omit.reset_trusted()


MODULE["fill-read-reset"] = fill_and_reset


@pytest.mark.parametrize("case", MODULE.values(), ids=MODULE.keys())
def test_module_functions(case):
    assert_no_leak(case)


# -------------------------------------------------------- construction


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


class Abstract(Omitter):
    pass


Abstract.__abstractmethods__ = frozenset({"x"})  # what ABCMeta sets


def cycle_through_own_list():
    o = NoTrustOmitter()
    keys = [o]
    o.__setstate__((keys, keys))


def init_again():
    o = Omitter(["a"])
    o.__init__(["b"])
    o.__init__(omissions=None)
    n = NoTrustOmitter(["a"])
    n.__init__(["b", "b"])
    Omitter.__init__(n, ["c"])


def init_fails_keeps_list():
    n = NoTrustOmitter(["a"])
    try:
        n.__init__(["b", {}])
    except TypeError:
        pass


CONSTRUCTION = {
    "omitter": lambda: Omitter(["a", "b"]),
    "omitter-default": lambda: Omitter(),
    "omitter-with-globals": with_globals("g", "h")(lambda: (Omitter(), Omitter(["a"]))),
    "no-trust": lambda: NoTrustOmitter(["a", "a", None, 1]),
    "no-trust-with-globals": with_globals("g")(lambda: (NoTrustOmitter(), NoTrustOmitter([]))),
    "subclasses": lambda: (Overriding(["a"]), WithDict(["b"]), Unbuilt()),
    "allocation-alone": lambda: (Omitter.__new__(Omitter), NoTrustOmitter.__new__(WithDict)),
    "init-again": init_again,
    "init-fails-keeps-list": init_fails_keeps_list,
    "cycle-through-own-list": cycle_through_own_list,
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
    "no-trust-two-arguments": raises(TypeError, NoTrustOmitter, [], trusted=[]),
    "abstract-subclass": raises(TypeError, Abstract),
}


@pytest.mark.parametrize("case", CONSTRUCTION.values(), ids=CONSTRUCTION.keys())
def test_construction(case):
    assert_no_leak(case)


# ---------------------------------------------------------------- walks


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


class Fresh(Omitter):
    """Replaces every nested dict by a new one, releasing the old."""

    def omit(self, target):
        return {}


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
    try:
        deny.omit(target)
    except RecursionError:
        pass
    target.clear()


def deep_lists():
    target = []
    current = target
    for _ in range(1500):
        inner = ["s", {"pw": "x"}]
        current.append(inner)
        current = inner
    try:
        deny.omit({"pwl": target})
    except RecursionError:
        pass


WALKS = {
    "omit": lambda: deny.omit(secrets()),
    "omit-no-trust": lambda: allow.omit(secrets()),
    "omit-keyword": lambda: deny.omit(target=secrets()),
    "omit-through-class": lambda: Omitter.omit(allow, secrets()),
    "omit-recurse": lambda: deny.omit_recurse(list(secrets().values())),
    "omit-recurse-false": lambda: allow.omit_recurse(["a", {"x": "b"}, ["c"]], False),
    "omit-recurse-do-object": lambda: allow.omit_recurse(["a", ["b"]], do=[0]),
    "override": lambda: Overriding(["pw", "pwl"]).omit(secrets()),
    "override-inherited": lambda: WithDict(["user"]).omit(secrets()),
    "override-instance-attribute": lambda: _with_attribute_override().omit(secrets()),
    "empty": lambda: (deny.omit({}), deny.omit_recurse([])),
    # failures part-way, after values were replaced
    "int-key-after-replacements": raises(
        TypeError, deny.omit, {"pw": "a", "d": {"pw": "b", 3: ["c"]}}),
    "int-key-no-trust": raises(TypeError, allow.omit, {"x": "a", 2: "b"}),
    "str-subclass-hidden": raises(TypeError, deny.omit, {"user": "a", "pw": Text("b")}),
    "dict-subclass": raises(TypeError, deny.omit, {"pw": "a", "o": collections.OrderedDict()}),
    "list-subclass": raises(TypeError, deny.omit, {"pw": "a", "l": Keys()}),
    "dict-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", Mapping()]),
    "list-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", [Keys()]]),
    "str-subclass-in-list": raises(TypeError, deny.omit_recurse, ["a", Text("b")]),
    "omit-none": raises(AttributeError, deny.omit, None),
    "omit-recurse-none": raises(TypeError, deny.omit_recurse, None),
    "equality-raises": raises(Boom, Omitter(["a", RaisingEq()]).omit, {"pw": "x"}),
    "equality-raises-no-trust": raises(
        Boom, NoTrustOmitter([RaisingEq()]).omit, {"d": {}, "k": ["x"]}),
    "allocation-alone-omitter": raises(TypeError, Omitter.__new__(Omitter).omit, {"a": "b"}),
    "allocation-alone-no-trust": raises(
        TypeError, NoTrustOmitter.__new__(NoTrustOmitter).omit, {"n": 1, "l": ["a"]}),
    "unbuilt-subclass": raises(TypeError, lambda: Unbuilt().omit({"d": {"a": "b"}})),
    "size-change": raises(RuntimeError, size_change),
    "list-shrinks": raises(RuntimeError, list_shrinks),
    "finaliser-changes-list": finaliser_changes_list,
    "do-raises": raises(Boom, deny.omit_recurse, ["a"], RaisingBool()),
    "override-wrong-result": raises(TypeError, Omitter.omit, WrongResult(), {"d": {}}),
    "override-raises": raises(Boom, lambda: RaisingOverride().omit({"l": ["a"]})),
    "recursion-cycle": cyclic_dict,
    "recursion-deep-lists": deep_lists,
    # binding
    "omit-no-argument": raises(TypeError, deny.omit),
    "omit-two-arguments": raises(TypeError, deny.omit, {}, {}),
    "omit-wrong-type": raises(TypeError, deny.omit, []),
    "omit-multiple-values": raises(TypeError, deny.omit, {}, target={}),
    "omit-no-instance": raises(TypeError, Omitter.omit),
    "omit-foreign-instance": raises(TypeError, Omitter.omit, "x", {}),
    "omit-recurse-no-argument": raises(TypeError, deny.omit_recurse),
    "omit-recurse-three-arguments": raises(TypeError, deny.omit_recurse, [], 1, 2),
    "omit-recurse-wrong-type": raises(TypeError, deny.omit_recurse, ("a",)),
    "omit-recurse-unexpected-keyword": raises(TypeError, deny.omit_recurse, [], dont=1),
    "omit-recurse-foreign-instance": raises(TypeError, Omitter.omit_recurse, 1, []),
}


def _with_attribute_override():
    o = WithDict(["user"])
    o.omit = lambda target: target
    return o


@pytest.mark.parametrize("case", WALKS.values(), ids=WALKS.keys())
def test_walks(case):
    assert_no_leak(case)


def big_dict():
    return {f"k{i}": ("secret" if i % 3 else [f"v{i}", {"pw": "x"}]) for i in range(10_000)}


def nested_lists():
    return [[["a", "b", {"pw": "c", "k": ["d"]}] for _ in range(10)] for _ in range(1000)]


LARGE = {
    "dict-10k-no-trust": lambda: allow.omit(big_dict()),
    "dict-10k-deny": lambda: Omitter([f"k{i}" for i in range(0, 50)]).omit(big_dict()),
    "nested-lists": lambda: deny.omit_recurse(nested_lists()),
    "nested-lists-under-key": lambda: allow.omit({"k": nested_lists()}),
    "long-key-list": lambda: Omitter([str(i) for i in range(5000)]).omit({"4999": "x" * 1000}),
    "failure-at-the-end": raises(
        TypeError, lambda: allow.omit({**big_dict(), 10**6: "last"})),
}


@pytest.mark.parametrize("case", LARGE.values(), ids=LARGE.keys())
def test_walks_on_large_input(case):
    assert_no_leak(case, n=5)


# ------------------------------------------------------------- pickling


def with_attributes():
    o = WithDict(["a"])
    o.extra = ["x", {"y": 1}]
    return o


def roundtrip(make, protocol):
    return lambda: pickle.loads(pickle.dumps(make(), protocol))


def without_reconstructor():
    saved = omit.__dict__.pop("__pyx_unpickle_NoTrustOmitter")
    try:
        raises(NameError, NoTrustOmitter().__reduce__)()
    finally:
        omit.__dict__["__pyx_unpickle_NoTrustOmitter"] = saved


def without_pickle_error():
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
        lambda: (Omitter.__new__(Omitter), NoTrustOmitter.__new__(NoTrustOmitter)), 3),
    "copy": lambda: (copy.copy(deny), copy.copy(allow), copy.copy(with_attributes())),
    "deepcopy": lambda: (copy.deepcopy(deny), copy.deepcopy(with_attributes())),
    "reduce-forms": lambda: (deny.__reduce__(), allow.__reduce_ex__(0),
                             Omitter.__reduce_cython__(Omitter.__new__(Omitter))),
    "reduce-dict-attribute-error": lambda: DictAttributeError().__reduce__(),
    "reduce-rebound-reconstructor": rebound_reconstructor,
    "setstate": lambda: Omitter().__setstate__((["a"],)),
    "setstate-extra-elements": lambda: NoTrustOmitter().__setstate__((None, ["a"], {}, 4)),
    "setstate-subclass-dict": lambda: WithDict().__setstate__((None, None, {"a": 1})),
    "setstate-keyword": lambda: Omitter().__setstate_cython__(__pyx_state=(None,)),
    "setstate-getattribute-raises": lambda: GetattributeRaises().__setstate__(([], {"a": 1})),
    "reconstruct": lambda: (UNPICKLE(Omitter, OMITTER_SUM, (["a"],)),
                            UNPICKLE_NT(WithDict, 0x7C505B1, (None, ["b"], {"c": 1}))),
    "reconstruct-float-checksum": lambda: UNPICKLE(Omitter, float(OMITTER_SUM), None),
    # failures
    "reduce-arity": raises(TypeError, deny.__reduce__, 1),
    "reduce-keyword": raises(TypeError, deny.__reduce_cython__, x=1),
    "reduce-dict-raises": raises(Boom, DictRaises().__reduce__),
    "reduce-getattribute-raises": raises(Boom, GetattributeRaises().__reduce__),
    "reduce-no-reconstructor": without_reconstructor,
    "reduce-foreign-instance": raises(TypeError, NoTrustOmitter.__reduce_cython__, deny),
    "setstate-none": raises(TypeError, Omitter().__setstate__, None),
    "setstate-list": raises(TypeError, Omitter().__setstate__, [["a"]]),
    "setstate-tuple-subclass": raises(
        TypeError, Omitter().__setstate__, type("T", (tuple,), {})((None,))),
    "setstate-empty-tuple": raises(Exception, Omitter().__setstate__, ()),
    "setstate-short-tuple": raises(Exception, NoTrustOmitter().__setstate__, (["a"],)),
    "setstate-bad-first-field": raises(TypeError, Omitter().__setstate__, (Keys(),)),
    "setstate-bad-second-field": raises(TypeError, NoTrustOmitter().__setstate__, (["a"], "b")),
    "setstate-update-non-dict": raises(TypeError, WithDict().__setstate__, (None, None, 5)),
    "setstate-update-raises": raises(Boom, UpdateRaises().__setstate__, (None, {"a": 1})),
    "setstate-update-missing": raises(AttributeError, ListAsDict().__setstate__, (None, {})),
    "setstate-foreign-instance": raises(
        TypeError, NoTrustOmitter.__setstate_cython__, deny, (None, None)),
    "setstate-arity": raises(TypeError, Omitter().__setstate__),
    "setstate-unexpected-keyword": raises(TypeError, Omitter().__setstate_cython__, (None,), x=1),
    "reconstruct-wrong-checksum": raises(pickle.PickleError, UNPICKLE, Omitter, 1, None),
    "reconstruct-negative-checksum": raises(
        pickle.PickleError, UNPICKLE_NT, NoTrustOmitter, -1, None),
    "reconstruct-pickle-error-missing": without_pickle_error,
    "reconstruct-other-types-checksum": raises(
        pickle.PickleError, UNPICKLE, Omitter, NO_TRUST_SUM, None),
    "reconstruct-str-checksum": raises(TypeError, UNPICKLE, Omitter, "1", None),
    "reconstruct-int-raises": raises(Boom, UNPICKLE, Omitter, RaisingInt(), None),
    "reconstruct-int-returns-str": raises(TypeError, UNPICKLE, Omitter, IntReturnsStr(), None),
    "reconstruct-overflow": raises(OverflowError, UNPICKLE, Omitter, 2**64, None),
    "reconstruct-wrong-type": raises(TypeError, UNPICKLE, NoTrustOmitter, OMITTER_SUM, None),
    "reconstruct-not-a-type": raises(TypeError, UNPICKLE, 1, OMITTER_SUM, None),
    "reconstruct-state-list": raises(TypeError, UNPICKLE, Omitter, OMITTER_SUM, []),
    "reconstruct-short-state": raises(Exception, UNPICKLE_NT, NoTrustOmitter, NO_TRUST_SUM, ()),
    "reconstruct-bad-field": raises(
        TypeError, UNPICKLE_NT, NoTrustOmitter, NO_TRUST_SUM, (["a"], ())),
    "reconstruct-update-fails": raises(
        TypeError, UNPICKLE_NT, WithDict, NO_TRUST_SUM, (None, None, 1)),
    "reconstruct-update-raises": raises(
        Boom, UNPICKLE, UpdateRaises, OMITTER_SUM, (None, {"a": 1})),
    "reconstruct-arity": raises(TypeError, UNPICKLE, Omitter, OMITTER_SUM),
    "reconstruct-missing-keyword": raises(
        TypeError, UNPICKLE, __pyx_type=Omitter, __pyx_state=None),
    "reconstruct-unexpected-keyword": raises(TypeError, UNPICKLE_NT, NoTrustOmitter, 1, None, x=1),
    "reconstruct-multiple-values": raises(
        TypeError, UNPICKLE, Omitter, 1, None, __pyx_type=Omitter),
    "loads-truncated": raises(Exception, pickle.loads, pickle.dumps(Omitter(["a"]))[:-3]),
}


@pytest.mark.parametrize("case", PICKLING.values(), ids=PICKLING.keys())
def test_pickling(case):
    assert_no_leak(case)


# ------------------------------------------------------ function objects

FUNCTIONS = (
    omit.hide, omit.always_omit, omit.globally_hidden, Omitter.omit, Omitter.omit_recurse,
    NoTrustOmitter.__reduce_cython__, UNPICKLE,
)


def read_attributes():
    for f in FUNCTIONS:
        (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__dict__, f.__annotations__,
         f.__defaults__, f.__kwdefaults__, f.__code__, f.__globals__, f.__closure__,
         f._is_coroutine, repr(f), f.__reduce__())


def assign_attributes():
    f = omit.always_trust
    f.__dict__ = {"x": [1]}
    f.marker = object()
    del f.marker
    f.__annotations__ = {"targets": list}
    f.__annotations__ = None
    f.__annotations__
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
    "bound-methods": lambda: (deny.omit, allow.omit_recurse, deny.__reduce__,
                              Omitter.omit.__get__(deny), Omitter.omit.__get__(None, Omitter)),
    "weak-reference": lambda: weakref.ref(omit.hide)(),
    "pickle-function": lambda: pickle.loads(pickle.dumps(Omitter.omit_recurse)),
    "call-through-tp-call": lambda: type(omit.hide).__call__(omit.hide, target="ab"),
    "name-not-str": raises(TypeError, setattr, omit.hide, "__name__", 1),
    "qualname-deleted": raises(TypeError, delattr, omit.hide, "__qualname__"),
    "annotations-not-dict": raises(TypeError, setattr, omit.hide, "__annotations__", []),
    "defaults-not-tuple": raises(TypeError, setattr, omit.hide, "__defaults__", [1]),
    "kwdefaults-not-dict": raises(TypeError, setattr, omit.hide, "__kwdefaults__", 1),
    "dict-not-dict": raises(TypeError, setattr, omit.hide, "__dict__", []),
    "dict-deleted": raises(TypeError, delattr, omit.hide, "__dict__"),
    "code-read-only": raises(AttributeError, setattr, omit.hide, "__code__", None),
    "method-without-instance": raises(TypeError, NoTrustOmitter.__setstate_cython__),
}


@pytest.mark.parametrize("case", FUNCTION_OBJECTS.values(), ids=FUNCTION_OBJECTS.keys())
def test_function_objects(case):
    assert_no_leak(case)
