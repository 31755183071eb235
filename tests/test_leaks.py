"""Memory leak loops over every entry of the module, success and failure paths.

Each case is warmed up, then run for several rounds of N calls with a full
collection before each measurement of sys.getallocatedblocks(); a case leaks
only when every round grows (the rule of CPython's -R runs).
"""

import collections
import copy
import gc
import pickle
import sys
import warnings
from itertools import repeat

import pytest

import zentrove.omit as omit
from helpers import raising as failing

ROUNDS = 5
def _blocks_are_counted():
    before = sys.getallocatedblocks()
    kept = [object() for _ in range(100)]
    return sys.getallocatedblocks() - before >= len(kept)


# Under PYTHONMALLOC=malloc (sanitizer runs) the interpreter counts no blocks.
pytestmark = pytest.mark.skipif(
    not _blocks_are_counted(), reason="this allocator does not count blocks"
)

N = 500

Omitter = omit.Omitter
NoTrustOmitter = omit.NoTrustOmitter
unpickle_omitter = getattr(omit, "__pyx_unpickle_Omitter")
unpickle_no_trust = getattr(omit, "__pyx_unpickle_NoTrustOmitter")
OMITTER_SUM = 259159834
NO_TRUST_SUM = 104289010


def growth(func, n=N, rounds=ROUNDS):
    """Block count deltas of `rounds` rounds of `n` calls after a warm-up."""
    for _ in repeat(None, 2 * n):
        func()
    deltas = [0] * rounds
    indices = iter(range(rounds))  # made before the first measurement
    gc.collect()
    previous = sys.getallocatedblocks()
    for i in indices:
        for _ in repeat(None, n):
            func()
        gc.collect()
        current = sys.getallocatedblocks()
        deltas[i] = current - previous
        previous = current
    return deltas


def assert_no_leak(func, n=N):
    """Fails when every round grew, in a first measurement and again in a
    second one: a leak grows every time, while the interpreter's own caches
    (pickle's, the type cache) take a few blocks only now and then."""
    for _ in range(2):
        deltas = growth(func, n)
        if not all(d > 0 for d in deltas):
            return
    raise AssertionError(f"allocated blocks grew in every round: {deltas}")


def test_growth_detects_a_leak():
    kept = []
    deltas = growth(lambda: kept.append(object()), n=200)
    assert all(d >= 200 for d in deltas), deltas


# ------------------------------------------------------------- helpers


class Text(str):
    pass


class Keys(list):
    pass


class Mapping(dict):
    pass


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom


class BadEq:
    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__


class Growing:
    """A deny-list element whose comparison adds an entry to the walked dict."""

    def __init__(self):
        self.target = None

    def __eq__(self, other):
        self.target[object()] = 1
        return False

    __hash__ = object.__hash__


class IntReturnsStr:
    def __int__(self):
        return "x"


class Overriding(Omitter):
    def omit(self, target):
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


class Plain(Omitter):
    pass


class PlainNoTrust(NoTrustOmitter):
    pass


class WrongResult(Omitter):
    def omit(self, target):
        return []


class RaisingRecurse(Omitter):
    def omit_recurse(self, target, do=True):
        raise Boom


class NoInit(Omitter):
    def __init__(self):
        pass


class BadDict(Omitter):
    @property
    def __dict__(self):
        raise Boom


def nested():
    return {
        "pw": "secret",
        "user": "bob",
        "n": 1,
        "f": 1.5,
        "c": 1j,
        "b": True,
        "none": None,
        "t": ("pw",),
        "raw": b"pw",
        "d": {"pw": "x", "deep": {"pw": "yy", 3: {"pw": "z"}}},
        "items": ["a", 1, {"pw": "b", "other": "c"}, ["c", ["d"]], None],
        "clear": ["a", {"pw": "b"}],
        None: "maybe",
    }


def walk(redactor):
    return lambda: redactor.omit(nested())


def walk_list(redactor, *args, **kwargs):
    return lambda: redactor.omit_recurse(["a", {"pw": "b"}, ["c"], 1], *args, **kwargs)


def restore_omitter():
    obj = Omitter.__new__(Omitter)
    obj.__setstate__((["a"],))
    return obj


deny = Omitter(["pw", "items", None])
allow = NoTrustOmitter(["user", "clear"])
growing = Growing()
grower = Omitter([growing])


def change_size():
    target = {"a": "x", "b": "y"}
    growing.target = target
    grower.omit(target)


def cyclic_omitter():
    obj = Omitter()
    keys = [obj]
    obj.__setstate__((keys,))


def cyclic_no_trust():
    obj = NoTrustOmitter()
    keys = [obj]
    obj.__setstate__((keys, keys))


def reinit():
    obj = Omitter(["a"])
    obj.__init__(["b", "c"])
    obj.__init__()
    other = NoTrustOmitter(["a"])
    other.__init__(["b"])
    Omitter.__init__(other, ["c"])


def add_and_reset():
    omit.always_omit(["a", "b", 1, None])
    omit.always_trust(["t", ("x",)])
    omit.globally_hidden()
    omit.globally_trusted()
    omit.reset_omissions()
    omit.reset_trusted()


def with_globals(func):
    def run():
        omit.always_omit(["g", "h"])
        omit.always_trust(["g", "h"])
        try:
            func()
        finally:
            omit.reset_omissions()
            omit.reset_trusted()

    return run


# --------------------------------------------------------- module functions

MODULE_CASES = {
    "hide": lambda: omit.hide("abc"),
    "hide-empty": lambda: omit.hide(""),
    "hide-long": lambda: omit.hide("\U0001f600" * 300),
    "hide-keyword": lambda: omit.hide(target="abcdef"),
    "hide-none": failing(TypeError, omit.hide, None),
    "hide-subclass": failing(TypeError, omit.hide, Text("a")),
    "hide-int": failing(TypeError, omit.hide, 1),
    "hide-no-args": failing(TypeError, omit.hide),
    "hide-two-args": failing(TypeError, omit.hide, "a", "b"),
    "hide-stray-keyword": failing(TypeError, omit.hide, other="a"),
    "hide-unexpected-keyword": failing(TypeError, omit.hide, "a", other="b"),
    "hide-multiple-values": failing(TypeError, omit.hide, "a", target="b"),
    "add-read-reset": add_and_reset,
    "always-omit-empty": lambda: omit.always_omit([]),
    "always-omit-none": failing(TypeError, omit.always_omit, None),
    "always-trust-none": failing(TypeError, omit.always_trust, None),
    "always-omit-tuple": failing(TypeError, omit.always_omit, ("a",)),
    "always-trust-subclass": failing(TypeError, omit.always_trust, Keys()),
    "always-omit-no-args": failing(TypeError, omit.always_omit),
    "always-trust-keyword": failing(TypeError, omit.always_trust, [], other=1),
    "globally-hidden-arg": failing(TypeError, omit.globally_hidden, 1),
    "globally-trusted-keyword": failing(TypeError, omit.globally_trusted, x=1),
    "reset-omissions-arg": failing(TypeError, omit.reset_omissions, 1, 2),
    "reset-trusted-keyword": failing(TypeError, omit.reset_trusted, 1, x=1),
}


@pytest.mark.parametrize("case", MODULE_CASES.values(), ids=MODULE_CASES.keys())
def test_module_functions(case):
    assert_no_leak(case)


# ------------------------------------------------------------- construction

CONSTRUCTION_CASES = {
    "omitter": lambda: Omitter(["a", "b"]),
    "omitter-default": lambda: Omitter(),
    "omitter-keyword": lambda: Omitter(omissions=["a"]),
    "omitter-globals": with_globals(lambda: (Omitter(), Omitter(["a"]))),
    "no-trust": lambda: NoTrustOmitter(["a", "a", "b"]),
    "no-trust-default": lambda: NoTrustOmitter(),
    "no-trust-globals": with_globals(lambda: (NoTrustOmitter(), NoTrustOmitter(["a"]))),
    "subclass": lambda: (Plain(["a"]), PlainNoTrust(["a"]), NoInit()),
    "allocation-only": lambda: (Omitter.__new__(Omitter), NoTrustOmitter.__new__(NoTrustOmitter)),
    "reinit": reinit,
    "cycle-omitter": cyclic_omitter,
    "cycle-no-trust": cyclic_no_trust,
    "omitter-tuple": failing(TypeError, Omitter, ("a",)),
    "omitter-two-args": failing(TypeError, Omitter, [], []),
    "omitter-unexpected-keyword": failing(TypeError, Omitter, other=[]),
    "omitter-multiple-values": failing(TypeError, Omitter, [], omissions=[]),
    "omitter-non-str-keyword": failing(TypeError, lambda: Omitter(**{1: []})),
    "no-trust-subclass": failing(TypeError, NoTrustOmitter, Keys()),
    "no-trust-unhashable": failing(TypeError, NoTrustOmitter, ["a", ["b"]]),
    "no-trust-unhashable-global": with_globals(
        lambda: (omit.always_trust([{}]), failing(TypeError, NoTrustOmitter, ["a"])())
    ),
    "no-trust-two-args": failing(TypeError, NoTrustOmitter, [], []),
    "no-trust-keyword": failing(TypeError, NoTrustOmitter, [], trusted=[]),
}


@pytest.mark.parametrize("case", CONSTRUCTION_CASES.values(), ids=CONSTRUCTION_CASES.keys())
def test_construction(case):
    assert_no_leak(case)


# -------------------------------------------------------------------- walks

WALK_CASES = {
    "omit": walk(deny),
    "omit-no-trust": walk(allow),
    "omit-keyword": lambda: deny.omit(target={"pw": "a", "d": {}}),
    "omit-through-type": lambda: Omitter.omit(deny, {"pw": "a"}),
    "omit-empty": lambda: deny.omit({}),
    "omit-recurse": walk_list(deny),
    "omit-recurse-false": walk_list(deny, False),
    "omit-recurse-none": walk_list(allow, None),
    "omit-recurse-object": walk_list(allow, do=[1]),
    "override": walk(Overriding(["pw", "items"])),
    "override-list": walk_list(Overriding(["pw"])),
    "override-inherited": walk(Plain(["pw", "items"])),
    "override-inherited-no-trust": walk(PlainNoTrust(["user"])),
    # failures part-way through, after earlier values were replaced
    "int-key": failing(TypeError, lambda: deny.omit({"pw": "a", "d": {"pw": "b", 1: "c"}})),
    "int-key-list": failing(TypeError, lambda: allow.omit({"x": "a", 2: ["b"]})),
    "deep-failure": failing(
        TypeError, lambda: deny.omit({"pw": "a", "d": {"e": {"f": [{"g": {5: "x"}}]}}})
    ),
    "ordered-dict": failing(
        TypeError, lambda: deny.omit({"pw": "a", "o": collections.OrderedDict(pw="b")})
    ),
    "dict-subclass-in-list": failing(TypeError, lambda: deny.omit_recurse(["a", Mapping()])),
    "list-subclass": failing(TypeError, lambda: deny.omit({"pw": "a", "l": Keys(["b"])})),
    "str-subclass": failing(TypeError, lambda: deny.omit({"user": "a", "pw": Text("b")})),
    "str-subclass-in-list": failing(TypeError, lambda: deny.omit_recurse(["a", Text("b")])),
    "omit-none": failing(AttributeError, deny.omit, None),
    "omit-recurse-none-target": failing(TypeError, deny.omit_recurse, None),
    "should-hide-raises": failing(Boom, lambda: Omitter([BadEq()]).omit({"pw": "a"})),
    "no-trust-should-hide-raises": failing(
        Boom, lambda: NoTrustOmitter([BadEq()]).omit({"user": {}, "pw": ["a"]})
    ),
    "trusted-none": failing(
        TypeError, lambda: NoTrustOmitter.__new__(NoTrustOmitter).omit({"pw": ["a"]})
    ),
    "omissions-none": failing(TypeError, lambda: NoInit().omit({"d": {"pw": "a"}})),
    "size-change": failing(RuntimeError, change_size),
    "do-raises": failing(Boom, deny.omit_recurse, ["a"], BadBool()),
    "override-wrong-result": failing(
        TypeError, lambda: Omitter.omit(WrongResult(), {"pw": "a", "d": {}})
    ),
    "override-raises": failing(Boom, lambda: RaisingRecurse().omit({"l": ["a"]})),
    # binding failures
    "omit-no-args": failing(TypeError, deny.omit),
    "omit-two-args": failing(TypeError, deny.omit, {}, {}),
    "omit-wrong-type": failing(TypeError, deny.omit, collections.OrderedDict()),
    "omit-unexpected-keyword": failing(TypeError, deny.omit, {}, other=1),
    "omit-needs-instance": failing(TypeError, Omitter.omit),
    "omit-wrong-instance": failing(TypeError, Omitter.omit, 1, {}),
    "omit-recurse-no-args": failing(TypeError, deny.omit_recurse),
    "omit-recurse-three-args": failing(TypeError, deny.omit_recurse, [], 1, 2),
    "omit-recurse-multiple-values": failing(TypeError, deny.omit_recurse, [], target=[]),
    "omit-recurse-wrong-type": failing(TypeError, deny.omit_recurse, ("a",)),
}


@pytest.mark.parametrize("case", WALK_CASES.values(), ids=WALK_CASES.keys())
def test_walks(case):
    assert_no_leak(case)


# ----------------------------------------------------------------- pickling


class WithAttrs(Omitter):
    pass


def with_attrs():
    obj = WithAttrs(["a"])
    obj.__dict__["extra"] = ["x"]
    return obj


def roundtrip(make, protocol=pickle.HIGHEST_PROTOCOL):
    return lambda: pickle.loads(pickle.dumps(make(), protocol))


def reduce_without_reconstructor():
    saved = omit.__dict__.pop("__pyx_unpickle_Omitter")
    try:
        failing(NameError, Omitter().__reduce__)()
    finally:
        omit.__dict__["__pyx_unpickle_Omitter"] = saved


PICKLE_CASES = {
    "pickle-omitter": roundtrip(lambda: Omitter(["a"])),
    "pickle-omitter-protocol-0": roundtrip(lambda: Omitter(["a"]), 0),
    "pickle-plain-form": roundtrip(lambda: Omitter.__new__(Omitter)),
    "pickle-no-trust": roundtrip(lambda: NoTrustOmitter(["a", "b"])),
    "pickle-no-trust-plain-form": roundtrip(lambda: NoTrustOmitter.__new__(NoTrustOmitter)),
    "pickle-subclass": roundtrip(with_attrs),
    "copy": lambda: (copy.copy(Omitter(["a"])), copy.copy(NoTrustOmitter(["a"]))),
    "deepcopy": lambda: (copy.deepcopy(Omitter(["a"])), copy.deepcopy(NoTrustOmitter(["a"]))),
    "copy-subclass": lambda: (copy.copy(with_attrs()), copy.deepcopy(with_attrs())),
    "reduce": lambda: (Omitter(["a"]).__reduce__(), NoTrustOmitter().__reduce_ex__(2)),
    "reduce-cython": lambda: Omitter.__reduce_cython__(Omitter()),
    "setstate": lambda: restore_omitter(),
    "setstate-extra-elements": lambda: Omitter().__setstate__((["a"], {}, 3)),
    "setstate-subclass": lambda: with_attrs().__setstate__((["b"], {"y": 1})),
    "reconstruct": lambda: unpickle_omitter(Omitter, OMITTER_SUM, (["a"],)),
    "reconstruct-other-sums": lambda: (
        unpickle_omitter(Omitter, 0x676FD74, None),
        unpickle_no_trust(NoTrustOmitter, 0x6E28AAB, (None, ["a"])),
        unpickle_omitter(Omitter, float(OMITTER_SUM) + 0.5, None),
    ),
    # failures
    "reduce-arity": failing(TypeError, Omitter().__reduce__, 1),
    "reduce-keyword": failing(TypeError, Omitter().__reduce__, x=1),
    "reduce-dict-raises": failing(Boom, BadDict().__reduce__),
    "reduce-no-reconstructor": reduce_without_reconstructor,
    "setstate-none": failing(TypeError, Omitter().__setstate__, None),
    "setstate-list": failing(TypeError, Omitter().__setstate__, [["a"]]),
    "setstate-bad-field": failing(TypeError, Omitter().__setstate__, (Keys(),)),
    "setstate-second-field": failing(TypeError, NoTrustOmitter().__setstate__, (["a"], "x")),
    "setstate-short": failing(Exception, NoTrustOmitter().__setstate__, (["a"],)),
    "setstate-update-fails": failing(TypeError, with_attrs().__setstate__, (["a"], 5)),
    "setstate-arity": failing(TypeError, Omitter().__setstate__),
    "setstate-keyword": failing(TypeError, Omitter().__setstate__, (None,), x=1),
    "setstate-wrong-instance": failing(
        TypeError, NoTrustOmitter.__setstate_cython__, Omitter(), (None, None)
    ),
    "reconstruct-bad-checksum": failing(pickle.PickleError, unpickle_omitter, Omitter, 1, None),
    "reconstruct-negative-checksum": failing(
        pickle.PickleError, unpickle_no_trust, NoTrustOmitter, -1, None
    ),
    "reconstruct-other-types-checksum": failing(
        pickle.PickleError, unpickle_omitter, Omitter, NO_TRUST_SUM, None
    ),
    "reconstruct-str-checksum": failing(TypeError, unpickle_omitter, Omitter, "1", None),
    "reconstruct-int-returns-str": failing(
        TypeError, unpickle_omitter, Omitter, IntReturnsStr(), None
    ),
    "reconstruct-overflow": failing(OverflowError, unpickle_omitter, Omitter, 2**64, None),
    "reconstruct-wrong-type": failing(
        TypeError, unpickle_omitter, NoTrustOmitter, OMITTER_SUM, None
    ),
    "reconstruct-state-list": failing(TypeError, unpickle_omitter, Omitter, OMITTER_SUM, []),
    "reconstruct-bad-field": failing(
        TypeError, unpickle_no_trust, NoTrustOmitter, NO_TRUST_SUM, (["a"], ("b",))
    ),
    "reconstruct-update-fails": failing(
        TypeError, unpickle_omitter, WithAttrs, OMITTER_SUM, (["a"], 5)
    ),
    "reconstruct-arity": failing(TypeError, unpickle_omitter, Omitter),
    "reconstruct-missing-keyword": failing(
        TypeError, unpickle_omitter, __pyx_type=Omitter, __pyx_state=None
    ),
    "reconstruct-unexpected-keyword": failing(
        TypeError, unpickle_omitter, Omitter, OMITTER_SUM, None, other=1
    ),
}


@pytest.mark.parametrize("case", PICKLE_CASES.values(), ids=PICKLE_CASES.keys())
def test_pickling(case):
    assert_no_leak(case)


# --------------------------------------------------------- function objects


def read_attributes():
    for func in (omit.hide, Omitter.omit_recurse, unpickle_omitter):
        func.__code__
        func.__annotations__
        func.__dict__
        func.__globals__
        func.__defaults__
        func.__kwdefaults__
        func.__closure__
        func.__name__
        func.__qualname__
        func.__module__
        func.__doc__
        func._is_coroutine
        repr(func)


def set_attributes():
    func = omit.always_omit
    func.marker = ["x"]
    del func.marker
    func.__annotations__ = {"targets": list}
    func.__annotations__ = None
    func.__doc__ = "text"
    del func.__doc__
    func.__name__ = "always_omit"
    func.__qualname__ = "always_omit"
    func.__dict__ = {}


def set_defaults():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        Omitter.omit_recurse.__defaults__ = (0,)
        Omitter.omit_recurse.__kwdefaults__ = {}
        Omitter.omit_recurse.__defaults__ = (1,)
        Omitter.omit_recurse.__kwdefaults__ = None


def set_defaults_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        failing(RuntimeWarning, setattr, omit.hide, "__defaults__", ("x",))()


FUNCTION_CASES = {
    "read-attributes": read_attributes,
    "set-attributes": set_attributes,
    "bound-methods": lambda: (deny.omit, deny.omit_recurse, Plain().omit, deny.__reduce__),
    "pickle-function": lambda: pickle.loads(pickle.dumps(omit.hide)),
    "set-defaults": set_defaults,
    "set-defaults-error": set_defaults_as_error,
    "set-name-wrong-type": failing(TypeError, setattr, omit.hide, "__name__", 1),
    "set-qualname-wrong-type": failing(TypeError, setattr, omit.hide, "__qualname__", None),
    "set-annotations-wrong-type": failing(TypeError, setattr, omit.hide, "__annotations__", 1),
    "set-dict-wrong-type": failing(TypeError, setattr, omit.hide, "__dict__", 1),
    "delete-dict": failing(TypeError, delattr, omit.hide, "__dict__"),
    "generic-call-bad-keyword": failing(
        TypeError, lambda: type(omit.hide).__call__(omit.hide, "a", **{1: "b"})
    ),
    "generic-call": lambda: type(omit.hide).__call__(omit.hide, target="b"),
}


@pytest.mark.parametrize("case", FUNCTION_CASES.values(), ids=FUNCTION_CASES.keys())
def test_function_objects(case):
    assert_no_leak(case)

