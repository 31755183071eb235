"""NoTrustOmitter: the allow-list redactor."""

import pytest

import zentrove.omit as omit
from helpers import NO_TRUST_SHOULD_HIDE as SHOULD_HIDE
from helpers import OMIT, RECURSE, Boom, RaisingEq, RaisingHash, at, entries
from zentrove.omit import NoTrustOmitter, Omitter

OMIT_AT = lambda line: at(line, "Omitter.omit")  # noqa: E731
INIT = lambda line: at(line, "NoTrustOmitter.__init__")  # noqa: E731


def state(redactor):
    """(omissions, trusted) as the pickling state shows them."""
    return redactor.__reduce__()[2]


class Unhashable:
    __eq__ = lambda self, other: False  # noqa: E731
    __hash__ = None


def test_trusted_keys_clear_everything_else_masked():
    inner_list = ["x", ["y"], {"z": "w", "user": "v"}]
    data = {
        "user": "bob",
        "password": "abc",
        "n": 5,
        "f": 1.5,
        "b": True,
        "none": None,
        "l": ["a", ["bc"], {"user": "c", "z": "d"}, 7],
        "user ": "e",
        "deep": {"deeper": {"user": "u", "c": "vv"}},
    }
    data["user_list"] = inner_list
    redactor = NoTrustOmitter(["user", "user_list"])
    assert redactor.omit(data) is data
    assert data == {
        "user": "bob",
        "password": "***",
        "n": 5,
        "f": 1.5,
        "b": True,
        "none": None,
        "l": ["*", ["**"], {"user": "c", "z": "*"}, 7],
        "user ": "*",
        "deep": {"deeper": {"user": "u", "c": "**"}},
        "user_list": ["x", ["y"], {"z": "*", "user": "v"}],
    }
    assert data["user_list"] is inner_list


def test_empty_allow_list_masks_every_string():
    data = {"a": "xy", None: "z", "l": ["p", ["qr"], {"k": ["s"]}], 1: 2, 2: {"t": "u"}}
    NoTrustOmitter().omit(data)
    assert data == {"a": "**", None: "*", "l": ["*", ["**"], {"k": ["*"]}], 1: 2, 2: {"t": "*"}}
    assert NoTrustOmitter([]).omit_recurse(["a", ["b"]], False) == ["a", ["b"]]


@pytest.mark.parametrize("value, line", [("s", 52), (["s"], 58)])
def test_int_key_of_string_or_list_fails(value, line):
    with pytest.raises(TypeError) as excinfo:
        NoTrustOmitter([1]).omit({1: value})
    assert str(excinfo.value) == "Expected unicode, got int"
    assert entries(excinfo) == [OMIT, OMIT_AT(line)]


@pytest.mark.parametrize("trusted, expected", [([None], "ab"), (["None"], "**"), ([], "**")])
def test_none_key_trusted_when_listed(trusted, expected):
    assert NoTrustOmitter(trusted).omit({None: "ab"}) == {None: expected}
    assert NoTrustOmitter(trusted).omit({None: ["ab"]}) == {None: [expected]}


# ------------------------------------------------------------ building the allow-list


def test_allow_list_holds_each_key_once():
    assert state(NoTrustOmitter(["a", "a"])) == (None, ["a"])
    omit.always_trust(["k", "k"])
    assert state(NoTrustOmitter()) == (None, ["k"])
    assert state(NoTrustOmitter(None)) == (None, ["k"])
    omissions, trusted = state(NoTrustOmitter(["a", "k", None, "a"]))
    assert omissions is None
    assert type(trusted) is list and len(trusted) == 3 and set(trusted) == {"a", "k", None}


def test_allow_list_is_a_snapshot():
    omit.always_trust(["k"])
    keys = ["a"]
    redactor = NoTrustOmitter(trusted=keys)
    assert keys == ["a"] and state(redactor)[1] is not keys
    keys.append("b")
    omit.always_trust(["c"])
    omit.reset_trusted()
    data = {"a": "1", "b": "2", "c": "3", "k": "4"}
    assert redactor.omit(data) == {"a": "1", "b": "*", "c": "*", "k": "4"}
    assert omit.globally_trusted() == []


@pytest.mark.parametrize(
    "element, exc_type, message",
    [
        ([1], TypeError, "unhashable type: 'list'"),
        ({}, TypeError, "unhashable type: 'dict'"),
        (Unhashable(), TypeError, "unhashable type: 'Unhashable'"),
        (RaisingHash(), Boom, ""),
    ],
)
def test_unhashable_element_keeps_previous_list(element, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        NoTrustOmitter(["a", element])
    assert str(excinfo.value) == message
    assert entries(excinfo) == [INIT(82)]

    redactor = NoTrustOmitter(["a"])
    previous = state(redactor)[1]
    with pytest.raises(exc_type):
        redactor.__init__([element])
    assert state(redactor)[1] is previous
    assert redactor.omit({"a": "x", "b": "y"}) == {"a": "x", "b": "*"}


def test_unhashable_global_key_breaks_construction_until_reset():
    omit.always_trust(["k", ["bad"]])
    for build in (NoTrustOmitter, lambda: NoTrustOmitter(["a"]), NoTrustOmitter):
        with pytest.raises(TypeError) as excinfo:
            build()
        assert str(excinfo.value) == "unhashable type: 'list'"
        assert entries(excinfo) == [INIT(82)]
    omit.reset_trusted()
    assert state(NoTrustOmitter(["a"])) == (None, ["a"])


def test_init_again_replaces_the_allow_list():
    redactor = NoTrustOmitter(["a"])
    assert redactor.__init__(["b"]) is None
    assert state(redactor) == (None, ["b"])
    assert redactor.omit({"a": "x", "b": "y"}) == {"a": "*", "b": "y"}


@pytest.mark.parametrize(
    "call, message, expected",
    [
        (
            lambda: NoTrustOmitter(["a"], ["b"]),
            "__init__() takes at most 1 positional argument (2 given)",
            [INIT(79)],
        ),
        (
            lambda: NoTrustOmitter(None, trusted=None),
            "__init__() got multiple values for keyword argument 'trusted'",
            [INIT(79)],
        ),
        (
            lambda: NoTrustOmitter(omissions=["a"]),
            "__init__() got an unexpected keyword argument 'omissions'",
            [INIT(79)],
        ),
        (
            lambda: NoTrustOmitter(("a",)),
            "Argument 'trusted' has incorrect type (expected list, got tuple)",
            [],
        ),
        (
            lambda: NoTrustOmitter(trusted={"a": 1}),
            "Argument 'trusted' has incorrect type (expected list, got dict)",
            [],
        ),
    ],
)
def test_binding_failures(call, message, expected):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert entries(excinfo) == expected


def test_failed_binding_leaves_the_object():
    redactor = NoTrustOmitter(["a"])
    with pytest.raises(TypeError):
        redactor.__init__(("b",))
    with pytest.raises(TypeError):
        redactor.__init__(["b"], ["c"])
    assert state(redactor) == (None, ["a"])


# ------------------------------------------------------------ relation to Omitter


def test_is_an_omitter_whose_omissions_play_no_part():
    redactor = NoTrustOmitter(["user"])
    assert isinstance(redactor, Omitter)
    assert state(redactor) == (None, ["user"])
    Omitter.__init__(redactor, ["user", "x"])
    assert state(redactor) == (["user", "x"], ["user"])
    data = {"user": "bob", "x": "yz", "l": ["w"]}
    assert redactor.omit(data) == {"user": "bob", "x": "**", "l": ["*"]}


@pytest.mark.parametrize(
    "make",
    [
        lambda: NoTrustOmitter.__new__(NoTrustOmitter),
        lambda: type("Lazy", (NoTrustOmitter,), {"__init__": lambda self: None})(),
        lambda: type(
            "Half", (NoTrustOmitter,), {"__init__": lambda self: Omitter.__init__(self, ["a"])}
        )(),
    ],
    ids=["new", "subclass-without-init", "only-omitter-init"],
)
@pytest.mark.parametrize("data, line", [({"n": 1, "a": "x"}, 52), ({"n": 1, "a": []}, 58)])
def test_unbuilt_allow_list_fails_at_first_string(make, data, line):
    numbers = {"n": 1, "d": {"m": 2.5, "t": True}, "z": None}
    assert make().omit(numbers) == {"n": 1, "d": {"m": 2.5, "t": True}, "z": None}
    with pytest.raises(TypeError) as excinfo:
        make().omit(data)
    assert str(excinfo.value) == "argument of type 'NoneType' is not iterable"
    assert entries(excinfo) == [OMIT, OMIT_AT(line), SHOULD_HIDE]
    assert data["n"] == 1


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda o: o.omit({"a": "x"}), [OMIT, OMIT_AT(52), SHOULD_HIDE]),
        (lambda o: o.omit({"a": ["x"]}), [OMIT, OMIT_AT(58), SHOULD_HIDE]),
        (lambda o: o.omit({"n": {"a": "x"}}), [OMIT, OMIT_AT(56), OMIT_AT(52), SHOULD_HIDE]),
        (
            lambda o: o.omit_recurse([{"a": "x"}]),
            [RECURSE, at(68, "Omitter.omit_recurse"), OMIT_AT(52), SHOULD_HIDE],
        ),
    ],
)
def test_failing_key_comparison_entries(call, expected):
    with pytest.raises(Boom) as excinfo:
        call(NoTrustOmitter([RaisingEq()]))
    assert entries(excinfo) == expected


def test_subclass_override_honoured_by_inherited_walk():
    seen = []

    class Spy(NoTrustOmitter):
        def omit(self, target):
            seen.append(target)
            return None if "drop" in target else NoTrustOmitter.omit(self, target)

    data = {"user": "u", "a": {"drop": 1}, "l": [{"user": "v", "x": "w"}]}
    assert Omitter.omit(Spy(["user"]), data) is data
    assert data == {"user": "u", "a": None, "l": [{"user": "v", "x": "*"}]}
    assert len(seen) == 2
