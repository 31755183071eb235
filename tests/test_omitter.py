"""Omitter: the deny-list walks over dictionaries and lists."""

import collections
import weakref

import pytest

import helpers
import zentrove.omit as omit
from helpers import (
    OMIT,
    RECURSE,
    SHOULD_HIDE,
    SRC,
    Boom,
    Keys,
    RaisingEq,
    Text,
    entries,
    run_python,
)
from zentrove.omit import Omitter


def at(line, method="omit"):
    return helpers.at(line, "Omitter." + method)


def own_list(redactor):
    """The redactor's deny-list, as its pickling state shows it."""
    return redactor.__reduce__()[2][0]


class Number(int):
    pass


class Once:
    """A key-list element that runs `action` at its first equality test."""

    def __init__(self, action):
        self.action = action
        self.done = False

    def __eq__(self, other):
        if not self.done:
            self.done = True
            self.action()
        return False

    __hash__ = object.__hash__


# The number test honours __class__: these claim to be bool and so are left alone.
class BoolText(str):
    __class__ = property(lambda self: bool)


class BoolDict(dict):
    __class__ = property(lambda self: bool)


class BoolList(list):
    __class__ = property(lambda self: bool)


# ------------------------------------------------------------ masking


def test_hidden_strings_masked_in_place():
    data = {"password": "abc", "user": "bob", "empty": "", "emoji": "\U0001f600x"}
    result = Omitter(["password", "empty", "emoji"]).omit(data)
    assert result is data
    assert data == {"password": "***", "user": "bob", "empty": "", "emoji": "**"}
    assert list(data) == ["password", "user", "empty", "emoji"]


@pytest.mark.parametrize(
    "value",
    [
        0,
        7,
        -2.5,
        1j,
        True,
        False,
        Number(3),
        None,
        (1, "a"),
        b"ab",
        {"a"},
        frozenset("b"),
        object(),
        BoolText("ab"),
        BoolDict(),
        BoolList(),
    ],
    ids=lambda v: type(v).__name__,
)
def test_other_values_stay_under_any_key(value):
    data = {"p": value, "q": value, None: value}
    Omitter(["p", None]).omit(data)
    assert data["p"] is value and data["q"] is value and data[None] is value


def test_clear_string_is_left_the_same_object():
    value = "".join(["se", "cret"])
    data = {"q": value, "l": [value]}
    Omitter(["p"]).omit(data)
    assert data["q"] is value and data["l"][0] is value


def test_nested_dicts_walked_under_any_key():
    inner = {"p": "ab", "q": "cd"}
    data = {"p": {"p": "x"}, 1: inner, (1, 2): {"p": "yy"}, None: {"n": {"p": "zzz"}}}
    assert Omitter(["p"]).omit(data) is data
    assert data == {
        "p": {"p": "*"},
        1: {"p": "**", "q": "cd"},
        (1, 2): {"p": "**"},
        None: {"n": {"p": "***"}},
    }
    assert data[1] is inner


def test_list_under_hidden_and_clear_key():
    hidden = ["ab", 1, ["cd", [None, "e"]], {"x": "ef", "p": "gh"}, ("t",)]
    clear = ["ab", 1, ["cd"], {"x": "ef", "p": "gh"}]
    nested = hidden[2]
    data = {"p": hidden, "q": clear}
    Omitter(["p"]).omit(data)
    assert data["p"] is hidden and hidden[2] is nested
    assert hidden == ["**", 1, ["**", [None, "*"]], {"x": "ef", "p": "**"}, ("t",)]
    assert clear == ["ab", 1, ["cd"], {"x": "ef", "p": "**"}]


@pytest.mark.parametrize("keys, expected", [([None], "**"), (["None", "x"], "ab")])
def test_none_key_hidden_when_listed(keys, expected):
    assert Omitter(keys).omit({None: "ab"}) == {None: expected}
    assert Omitter(keys).omit({None: ["ab"]}) == {None: [expected]}


def test_keys_of_other_values_are_not_checked():
    data = {1: 5, 2.5: {"p": "ab"}, b"k": None, (1,): (2,), Text("p"): 3}
    Omitter(["p"]).omit(data)
    assert data == {1: 5, 2.5: {"p": "**"}, b"k": None, (1,): (2,), Text("p"): 3}


@pytest.mark.parametrize("value, line", [("s", 52), (["s"], 58)])
@pytest.mark.parametrize("key", [1, 2.5, b"p", ("p",), Text("p")], ids=repr)
def test_key_of_string_or_list_must_be_exact_str(key, value, line):
    # The key is checked before asking the deny-list, even when the key is on it.
    with pytest.raises(TypeError) as excinfo:
        Omitter([key, "p"]).omit({key: value})
    assert str(excinfo.value) == f"Expected unicode, got {type(key).__name__}"
    assert entries(excinfo) == [OMIT, at(line)]


def test_subclass_of_str_stays_unless_hidden():
    value = Text("ab")
    data = {"q": value, "l": [value, [value]]}
    Omitter(["p"]).omit(data)
    assert data["q"] is value and data["l"][0] is value and data["l"][1][0] is value
    assert Omitter(["p"]).omit_recurse([value], False)[0] is value


# ------------------------------------------------------------ omit_recurse and do


@pytest.mark.parametrize(
    "args, kwargs, masked",
    [
        ((), {}, True),
        ((True,), {}, True),
        ((1,), {}, True),
        (("x",), {}, True),
        (([0],), {}, True),
        ((), {"do": True}, True),
        ((False,), {}, False),
        ((None,), {}, False),
        ((0,), {}, False),
        (("",), {}, False),
        ((), {"do": False}, False),
    ],
)
def test_do_decides_the_strings_of_a_list(args, kwargs, masked):
    target = ["a", ["bc", [""]], {"p": "d", "q": "e"}, 5]
    assert Omitter(["p"]).omit_recurse(target, *args, **kwargs) is target
    if masked:
        assert target == ["*", ["**", [""]], {"p": "*", "q": "e"}, 5]
    else:
        assert target == ["a", ["bc", [""]], {"p": "*", "q": "e"}, 5]


def test_do_with_failing_truth_test():
    class Bad:
        def __bool__(self):
            raise ValueError("no truth")

    target = ["a"]
    for first in (target, (1,)):  # do is converted before target's type test
        with pytest.raises(ValueError) as excinfo:
            Omitter().omit_recurse(first, Bad())
        assert str(excinfo.value) == "no truth"
        assert entries(excinfo) == [RECURSE]
    assert target == ["a"]


def test_empty_containers_returned_unchanged():
    d, lst = {}, []
    assert Omitter(["p"]).omit(d) is d and d == {}
    assert Omitter(["p"]).omit_recurse(lst) is lst and lst == []


# ------------------------------------------------------------ failures and their entries

SH_NONE = "argument of type 'NoneType' is not iterable"

FAILURES = [
    (
        "omit-none",
        lambda o: o.omit(None),
        AttributeError,
        "'NoneType' object has no attribute 'items'",
        [OMIT, at(48)],
    ),
    (
        "recurse-none",
        lambda o: o.omit_recurse(None),
        TypeError,
        "object of type 'NoneType' has no len()",
        [RECURSE, at(64, "omit_recurse")],
    ),
    (
        "str-subclass-hidden",
        lambda o: o.omit({"p": Text("ab")}),
        TypeError,
        "Expected unicode, got Text",
        [OMIT, at(54)],
    ),
    (
        "dict-subclass",
        lambda o: o.omit({"q": collections.OrderedDict()}),
        TypeError,
        "Expected dict, got collections.OrderedDict",
        [OMIT, at(56)],
    ),
    (
        "dict-subclass-hidden",
        lambda o: o.omit({"p": collections.OrderedDict()}),
        TypeError,
        "Expected dict, got collections.OrderedDict",
        [OMIT, at(56)],
    ),
    (
        "list-subclass",
        lambda o: o.omit({"q": Keys()}),
        TypeError,
        "Expected list, got Keys",
        [OMIT, at(59)],
    ),
    (
        "three-levels",
        lambda o: o.omit({"a": {"b": {1: "x"}}}),
        TypeError,
        "Expected unicode, got int",
        [OMIT, at(56), at(56), at(52)],
    ),
    (
        "dict-in-list",
        lambda o: o.omit({"q": [{1: "x"}]}),
        TypeError,
        "Expected unicode, got int",
        [OMIT, at(59), at(68, "omit_recurse"), at(52)],
    ),
    (
        "element-dict-subclass",
        lambda o: o.omit_recurse([collections.OrderedDict()], False),
        TypeError,
        "Expected dict, got collections.OrderedDict",
        [RECURSE, at(68, "omit_recurse")],
    ),
    (
        "element-list-subclass",
        lambda o: o.omit_recurse([[Keys()]], False),
        TypeError,
        "Expected list, got Keys",
        [RECURSE, at(70, "omit_recurse"), at(70, "omit_recurse")],
    ),
    (
        "element-str-subclass",
        lambda o: o.omit({"p": [Text("a")]}),
        TypeError,
        "Expected unicode, got Text",
        [OMIT, at(59), at(72, "omit_recurse")],
    ),
    (
        "alloc-only-str",
        lambda o: Omitter.__new__(Omitter).omit({"a": "x"}),
        TypeError,
        SH_NONE,
        [OMIT, at(52), SHOULD_HIDE],
    ),
    (
        "alloc-only-list",
        lambda o: Omitter.__new__(Omitter).omit({"a": 1, "b": []}),
        TypeError,
        SH_NONE,
        [OMIT, at(58), SHOULD_HIDE],
    ),
    (
        "alloc-only-nested",
        lambda o: Omitter.__new__(Omitter).omit({"n": {"a": "x"}}),
        TypeError,
        SH_NONE,
        [OMIT, at(56), at(52), SHOULD_HIDE],
    ),
    (
        "raising-eq",
        lambda o: Omitter([RaisingEq()]).omit({"a": "x"}),
        Boom,
        "",
        [OMIT, at(52), SHOULD_HIDE],
    ),
    (
        "raising-eq-in-list",
        lambda o: Omitter([RaisingEq()]).omit_recurse([{"a": []}]),
        Boom,
        "",
        [RECURSE, at(68, "omit_recurse"), at(58), SHOULD_HIDE],
    ),
    (
        "init-arity",
        lambda o: Omitter(["a"], ["b"]),
        TypeError,
        "__init__() takes at most 1 positional argument (2 given)",
        [(SRC, 38, "zentrove.omit.Omitter.__init__")],
    ),
    (
        "init-keyword",
        lambda o: Omitter(keys=["a"]),
        TypeError,
        "__init__() got an unexpected keyword argument 'keys'",
        [(SRC, 38, "zentrove.omit.Omitter.__init__")],
    ),
    (
        "init-type",
        lambda o: Omitter(("a",)),
        TypeError,
        "Argument 'omissions' has incorrect type (expected list, got tuple)",
        [],
    ),
    (
        "init-list-subclass",
        lambda o: Omitter(Keys()),
        TypeError,
        "Argument 'omissions' has incorrect type (expected list, got Keys)",
        [],
    ),
]


@pytest.mark.parametrize(
    "call, exc_type, message, expected", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES]
)
def test_failure_message_and_entries(call, exc_type, message, expected):
    with pytest.raises(exc_type) as excinfo:
        call(Omitter(["p"]))
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert entries(excinfo) == expected
    frames = [tb.tb_frame for tb in traceback_entries(excinfo.value.__traceback__)]
    assert all(f.f_globals is vars(omit) for f in frames)


def traceback_entries(tb):
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SRC:
            yield tb
        tb = tb.tb_next


def test_failure_keeps_earlier_replacements():
    data = {"p": "ab", "l": ["cd"], "n": {"p": "ef"}, 1: "bad", "z": "gh"}
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        Omitter(["p", "l", "z"]).omit(data)
    assert data == {"p": "**", "l": ["**"], "n": {"p": "**"}, 1: "bad", "z": "gh"}

    target = ["ab", {"p": "cd"}, ["ef", Text("x")], "gh"]
    with pytest.raises(TypeError, match="^Expected unicode, got Text$"):
        Omitter(["p"]).omit_recurse(target)
    assert target == ["**", {"p": "**"}, ["**", "x"], "gh"]


# ------------------------------------------------------------ construction


def test_construction_merges_a_snapshot_of_the_global_list():
    omit.always_omit(["k"])
    keys = ["a"]
    plain, given = Omitter(), Omitter(keys)
    assert own_list(plain) == ["k", "k"]
    assert own_list(given) == ["a", "k"]
    assert keys == ["a"] and own_list(given) is not keys

    keys.append("m")
    omit.always_omit(["m"])
    omit.reset_omissions()
    assert own_list(plain) == ["k", "k"] and own_list(given) == ["a", "k"]
    assert given.omit({"a": "x", "k": "yy", "m": "z"}) == {"a": "*", "k": "**", "m": "z"}
    assert omit.globally_hidden() == []


def test_init_again_replaces_the_list():
    omit.always_omit(["k"])
    redactor = Omitter(["a"])
    assert redactor.__init__(omissions=["b"]) is None
    assert own_list(redactor) == ["b", "k"]
    assert redactor.omit({"a": "x", "b": "y"}) == {"a": "x", "b": "*"}
    with pytest.raises(TypeError):
        redactor.__init__(("c",))
    assert own_list(redactor) == ["b", "k"]


@pytest.mark.parametrize(
    "make",
    [
        lambda: Omitter.__new__(Omitter),
        lambda: type("Lazy", (Omitter,), {"__init__": lambda self: None})(),
    ],
    ids=["new", "subclass-without-init"],
)
def test_unbuilt_redactor_walks_numbers_only(make):
    data = {"a": 1, "b": {"c": 2.5, "d": True, "e": {3: 1j}}, "f": None, 4: ()}
    assert make().omit(data) is data
    assert data == {"a": 1, "b": {"c": 2.5, "d": True, "e": {3: 1j}}, "f": None, 4: ()}
    with pytest.raises(TypeError) as excinfo:
        make().omit({"a": "x"})
    assert str(excinfo.value) == SH_NONE


def test_walks_ignore_a_rebound_hide(monkeypatch):
    monkeypatch.setattr(omit, "hide", lambda target: "HIDDEN")
    redactor = Omitter(["p"])
    assert redactor.omit({"p": "abc", "l": ["x"]}) == {"p": "***", "l": ["x"]}
    assert redactor.omit_recurse(["abc", {"p": "de"}]) == ["***", {"p": "**"}]


def test_instances_take_no_attributes_or_weak_references():
    redactor = Omitter()
    with pytest.raises(AttributeError) as excinfo:
        redactor.anything = 1
    assert str(excinfo.value) == "'zentrove.omit.Omitter' object has no attribute 'anything'"
    with pytest.raises(AttributeError):
        redactor.omit = lambda target: target
    with pytest.raises(TypeError) as excinfo:
        weakref.ref(redactor)
    assert str(excinfo.value) == "cannot create weak reference to 'zentrove.omit.Omitter' object"


@pytest.mark.parametrize(
    "call, method, given",
    [
        (lambda d, lst: Omitter.omit(1, d), "omit", "int"),
        (lambda d, lst: Omitter.omit(object(), d), "omit", "object"),
        (lambda d, lst: Omitter.omit_recurse("x", lst), "omit_recurse", "str"),
        (lambda d, lst: Omitter.omit_recurse({}, lst, True), "omit_recurse", "dict"),
    ],
)
def test_foreign_first_argument_through_the_class(call, method, given):
    d, lst = {"p": "ab"}, ["ab"]
    with pytest.raises(TypeError) as excinfo:
        call(d, lst)
    assert str(excinfo.value) == (
        f"descriptor '{method}' for 'zentrove.omit.Omitter' "
        f"objects doesn't apply to a '{given}' object"
    )
    assert d == {"p": "ab"} and lst == ["ab"]


# ------------------------------------------------------------ Python code changing the data


def _grow_in_equality(first_of_two):
    data = {"a": "x", "b": "y"} if first_of_two else {"a": "x"}
    redactor = Omitter([Once(lambda: data.__setitem__("new", 1)), "a"])
    return redactor, data


def _class_property_drops_entry():
    class Sneaky:
        @property
        def __class__(self):
            data.pop("b", None)
            return Sneaky

    data = {"s": Sneaky(), "b": "x"}
    return Omitter(["b"]), data


def _override_grows_outer():
    class Grow(Omitter):
        def omit(self, target):
            data["new"] = 1
            return target

    data = {"n": {}}
    return Grow(), data


def _finaliser_of_replaced_value_grows_outer():
    class Fin:
        def __del__(self):
            data["new"] = 1

    class Fresh(Omitter):
        def omit(self, target):
            return {}

    data = {"n": {"f": Fin()}}
    return Fresh(), data


@pytest.mark.parametrize(
    "build",
    [
        lambda: _grow_in_equality(True),
        lambda: _grow_in_equality(False),
        _class_property_drops_entry,
        _override_grows_outer,
        _finaliser_of_replaced_value_grows_outer,
    ],
    ids=["first-entry", "last-entry", "class-property", "override", "finaliser"],
)
def test_dictionary_size_change_detected(build):
    redactor, data = build()
    with pytest.raises(RuntimeError) as excinfo:
        Omitter.omit(redactor, data)
    assert str(excinfo.value) == "dictionary changed size during iteration"
    assert entries(excinfo) == [OMIT, at(48)]
    if "a" in data:
        assert data["a"] == "*"  # stored before the change was seen


def test_class_property_that_raises_propagates():
    class Broken:
        @property
        def __class__(self):
            raise ValueError("no class")

    with pytest.raises(ValueError, match="^no class$") as excinfo:
        Omitter(["p"]).omit({"p": Broken()})
    assert entries(excinfo) == [OMIT, at(50)]


def test_list_walk_reads_each_element_at_its_step():
    target = [{"a": "x"}, "s"]
    grow = Omitter([Once(lambda: target.append("new")), "a"])
    assert grow.omit_recurse(target) == [{"a": "*"}, "*", "new"]  # appended: not visited

    target = [{"a": "x"}, "s"]
    swap = Omitter([Once(lambda: target.__setitem__(1, {"p": "secret"})), "p"])
    assert swap.omit_recurse(target, False) == [{"a": "x"}, {"p": "******"}]


def test_deep_and_cyclic_data_end_in_recursion_error():
    result = run_python("""
        from zentrove.omit import Omitter, NoTrustOmitter

        def attempt(name, call):
            try:
                call()
                print(name, "returned")
            except RecursionError:
                print(name, "RecursionError")

        deep_list = []
        cur = deep_list
        for _ in range(10**6):
            cur.append([])
            cur = cur[0]
        deep_dict = {}
        cur = deep_dict
        for _ in range(10**5):
            cur["k"] = {}
            cur = cur["k"]
        cyclic_list = []
        cyclic_list.append(cyclic_list)
        cyclic_dict = {}
        cyclic_dict["self"] = cyclic_dict

        o = Omitter(["p"])
        attempt("list", lambda: o.omit_recurse(deep_list))
        attempt("list-in-dict", lambda: o.omit({"p": deep_list}))
        attempt("dict", lambda: o.omit(deep_dict))
        attempt("dict-in-list", lambda: o.omit_recurse([deep_dict]))
        attempt("cyclic-list", lambda: o.omit_recurse(cyclic_list))
        attempt("cyclic-dict", lambda: o.omit(cyclic_dict))
        attempt("no-trust", lambda: NoTrustOmitter().omit(cyclic_dict))

        shallow = {"p": "abc"}
        for _ in range(150):
            shallow = {"k": [shallow]}
        o.omit(shallow)
        while "k" in shallow:
            shallow = shallow["k"][0]
        print("shallow", shallow["p"])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "list RecursionError",
        "list-in-dict RecursionError",
        "dict RecursionError",
        "dict-in-list RecursionError",
        "cyclic-list RecursionError",
        "cyclic-dict RecursionError",
        "no-trust RecursionError",
        "shallow ***",
    ]
