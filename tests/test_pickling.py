"""Pickling and copying of Omitter and NoTrustOmitter: reduce values,
set-state and their failures, the pickling methods on the types.  The
reconstructors are tested in test_unpickle.py."""

import builtins
import copy
import pickle
import types

import pytest

import zentrove.omit as omit
from helpers import (
    NT_SET_STATE,
    NT_SETSTATE_CALL,
    SET_STATE,
    SETSTATE_CALL,
    UNPICKLE,
    UNPICKLE_AT,
    UNPICKLE_NT,
    entries,
    fails,
    run_python,
    state_of,
)
from helpers import STRINGS as STRS
from subclasses import DictAttributeError, SubNoTrust, SubOmitter, TupleSub
from zentrove.omit import NoTrustOmitter, Omitter


class SlottedOmitter(Omitter):
    __slots__ = ()


def with_attrs(o, **attrs):
    for name, value in attrs.items():
        setattr(o, name, value)
    return o


MAKERS = {
    "omitter": lambda: Omitter(["a", "b"]),
    "no_trust": lambda: NoTrustOmitter(["u"]),
    "sub_omitter": lambda: with_attrs(SubOmitter(["k"]), x=1, tags=["t"]),
    "sub_no_trust": lambda: with_attrs(SubNoTrust(["u"]), note="n"),
    "slotted": lambda: SlottedOmitter(["s"]),
    "omitter_new": lambda: Omitter.__new__(Omitter),
    "no_trust_new": lambda: NoTrustOmitter.__new__(NoTrustOmitter),
    "sub_omitter_new": lambda: with_attrs(SubOmitter.__new__(SubOmitter), y=2),
}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_round_trip(make, protocol):
    original = make()
    loaded = pickle.loads(pickle.dumps(original, protocol))
    assert type(loaded) is type(original) and loaded is not original
    assert state_of(loaded) == state_of(original)
    assert getattr(loaded, "__dict__", None) == getattr(original, "__dict__", None)
    assert loaded.__reduce__()[1] == original.__reduce__()[1]


def test_round_trip_keeps_behaviour():
    o = pickle.loads(pickle.dumps(Omitter(["password"])))
    assert o.omit({"password": "abc", "user": "bob"}) == {"password": "***", "user": "bob"}
    n = pickle.loads(pickle.dumps(NoTrustOmitter(["user"])))
    assert n.omit({"password": "abc", "user": "bob"}) == {"password": "***", "user": "bob"}
    # made by __new__ alone: the list is still None after loading
    bare = pickle.loads(pickle.dumps(Omitter.__new__(Omitter)))
    assert bare.omit({"n": 1, "d": {"m": 2}}) == {"n": 1, "d": {"m": 2}}
    with pytest.raises(TypeError):
        bare.omit({"s": "x"})


# --- reduce values ----------------------------------------------------------


def test_omitter_reduce_value_is_set_state_form_with_the_field_itself():
    o = Omitter(["a"])
    value = o.__reduce__()
    assert value == (UNPICKLE, (Omitter, 259159834, None), (["a"],))
    assert value[0] is UNPICKLE and value[1][0] is Omitter
    assert type(value[2]) is tuple
    held = value[2][0]
    assert o.__reduce__()[2][0] is held
    assert o.__reduce_cython__()[2][0] is held
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = o.__reduce_ex__(protocol)
        assert again == value and again[2][0] is held
    # the state shows the very list that __setstate__ stored
    fresh = Omitter.__new__(Omitter)
    given = ["x"]
    fresh.__setstate__((given,))
    assert fresh.__reduce__()[2][0] is given


@pytest.mark.parametrize(
    "make, expected",
    [
        (
            lambda: NoTrustOmitter(["u", "u"]),
            (UNPICKLE_NT, (NoTrustOmitter, 104289010, None), (None, ["u"])),
        ),
        (lambda: Omitter.__new__(Omitter), (UNPICKLE, (Omitter, 259159834, (None,)))),
        (
            lambda: NoTrustOmitter.__new__(NoTrustOmitter),
            (UNPICKLE_NT, (NoTrustOmitter, 104289010, (None, None))),
        ),
        # any field set selects the set-state form
        (
            lambda: with_init(NoTrustOmitter.__new__(NoTrustOmitter), ["o"]),
            (UNPICKLE_NT, (NoTrustOmitter, 104289010, None), (["o"], None)),
        ),
        (lambda: SubOmitter(["k"]), (UNPICKLE, (SubOmitter, 259159834, None), (["k"], {}))),
        (
            lambda: SubOmitter.__new__(SubOmitter),
            (UNPICKLE, (SubOmitter, 259159834, None), (None, {})),
        ),
        (
            lambda: with_attrs(SubNoTrust(["u"]), y=2),
            (UNPICKLE_NT, (SubNoTrust, 104289010, None), (None, ["u"], {"y": 2})),
        ),
        (
            lambda: SlottedOmitter.__new__(SlottedOmitter),
            (UNPICKLE, (SlottedOmitter, 259159834, (None,))),
        ),
    ],
)
def test_reduce_values(make, expected):
    value = make().__reduce__()
    assert value == expected
    assert value[1][0] is expected[1][0]


def with_init(o, omissions):
    Omitter.__init__(o, omissions)
    return o


def test_subclass_state_holds_the_instance_dict_itself():
    s = with_attrs(SubOmitter(["k"]), x=1)
    assert s.__reduce__()[2][1] is s.__dict__


class DictValueError(Omitter):
    @property
    def __dict__(self):
        raise ValueError("dict lookup failed")


def test_reduce_dict_lookup():
    # AttributeError counts as "no dictionary"
    assert DictAttributeError(["a"]).__reduce__() == (
        UNPICKLE,
        (DictAttributeError, 259159834, None),
        (["a"],),
    )
    assert DictAttributeError.__new__(DictAttributeError).__reduce__() == (
        UNPICKLE,
        (DictAttributeError, 259159834, (None,)),
    )
    info = fails(lambda: DictValueError(["a"]).__reduce__(), ValueError)
    assert str(info.value) == "dict lookup failed"
    assert entries(info) == [(STRS, 6, "zentrove.omit.Omitter.__reduce_cython__")]


# --- copy -------------------------------------------------------------------


@pytest.mark.parametrize("make", [lambda: Omitter(["a"]), lambda: SubOmitter(["a"])])
def test_shallow_copy_shares_and_deep_copy_copies_the_list(make):
    o = make()
    held = state_of(o)[0]
    shallow = copy.copy(o)
    assert type(shallow) is type(o) and shallow is not o
    assert state_of(shallow)[0] is held
    deep = copy.deepcopy(o)
    assert type(deep) is type(o)
    assert state_of(deep)[0] == held and state_of(deep)[0] is not held


def test_copies_of_no_trust_and_subclass_attributes():
    n = with_attrs(SubNoTrust(["u"]), box=[1])
    shallow, deep = copy.copy(n), copy.deepcopy(n)
    assert state_of(shallow)[1] is state_of(n)[1]
    assert shallow.box is n.box
    assert deep.box == [1] and deep.box is not n.box
    assert state_of(deep)[1] == ["u"] and state_of(deep)[1] is not state_of(n)[1]


# --- loading does not run the constructor -----------------------------------


def test_global_keys_added_between_dump_and_load_do_not_appear():
    data = pickle.dumps(Omitter(["a"]))
    trusted_data = pickle.dumps(NoTrustOmitter(["u"]))
    omit.always_omit(["late"])
    omit.always_trust(["late"])
    loaded = pickle.loads(data)
    assert state_of(loaded) == (["a"],)
    assert loaded.omit({"late": "v", "a": "w"}) == {"late": "v", "a": "*"}
    loaded_nt = pickle.loads(trusted_data)
    assert state_of(loaded_nt) == (None, ["u"])
    assert loaded_nt.omit({"late": "v"}) == {"late": "*"}


def test_global_keys_merged_at_construction_survive_a_reset():
    omit.always_omit(["g"])
    data = pickle.dumps(Omitter())
    omit.reset_omissions()
    assert state_of(pickle.loads(data)) == (["g", "g"],)


# --- set-state --------------------------------------------------------------


@pytest.mark.parametrize(
    "make, setter, caller",
    [
        (lambda: Omitter(["a"]), SET_STATE, SETSTATE_CALL),
        (lambda: NoTrustOmitter(["u"]), NT_SET_STATE, NT_SETSTATE_CALL),
    ],
)
def test_setstate_none(make, setter, caller):
    o = make()
    before = state_of(o)
    info = fails(lambda: o.__setstate__(None))
    assert str(info.value) == "'NoneType' object is not subscriptable"
    assert entries(info) == [caller, setter]
    after = state_of(o)
    assert after == before and all(a is b for a, b in zip(after, before))


def test_setstate_refuses_non_tuple_and_leaves_instance():
    o = Omitter(["a"])
    held = state_of(o)[0]
    for bad in ([["b"]], TupleSub((["b"],))):
        info = fails(lambda: o.__setstate_cython__(bad))
        assert str(info.value) == f"Expected tuple, got {type(bad).__name__}"
        assert entries(info) == [SETSTATE_CALL]
        assert state_of(o)[0] is held


def test_no_trust_setstate_partial_assignment():
    n = NoTrustOmitter(["u"])
    trusted = state_of(n)[1]
    first = ["o"]
    info = fails(lambda: n.__setstate__((first, "x")))
    assert str(info.value) == "Expected list, got str"
    assert entries(info) == [NT_SETSTATE_CALL, NT_SET_STATE]
    assert state_of(n)[0] is first
    assert state_of(n)[1] is trusted


@pytest.mark.parametrize("extra", [(1,), (1, 2), ({"x": 1},)])
def test_plain_instances_ignore_extra_elements(extra):
    o = Omitter(["a"])
    given = ["b"]
    assert o.__setstate__((given,) + extra) is None
    assert state_of(o) == (["b"],) and state_of(o)[0] is given
    n = NoTrustOmitter(["u"])
    n.__setstate__((None, ["t"]) + extra)
    assert state_of(n) == (None, ["t"])


def test_subclass_setstate_updates_dict_and_ignores_later_elements():
    s = SubOmitter.__new__(SubOmitter)
    s.__setstate__((["a"], {"x": 1}, "ignored"))
    assert s.x == 1 and state_of(s) == (["a"], {"x": 1})
    assert s.__setstate__((["c"],)) is None  # as long as the fields: no dict update
    assert state_of(s) == (["c"], {"x": 1})
    with pytest.raises(TypeError) as expected:
        {}.update(5)
    info = fails(lambda: s.__setstate__((["b"], 5)))
    assert str(info.value) == str(expected.value)
    assert entries(info) == [SETSTATE_CALL, (STRS, 14, SET_STATE[2])]
    assert state_of(s)[0] == ["b"]


def test_setstate_dict_lookup_failure_counts_as_absent():
    o = DictValueError.__new__(DictValueError)
    assert o.__setstate__((["a"], {"x": 1})) is None
    assert not hasattr(o, "x")


def test_omitter_setstate_accepts_subclass_instance():
    n = NoTrustOmitter(["u"])
    Omitter.__dict__["__setstate_cython__"](n, (["o"],))
    assert state_of(n) == (["o"], ["u"])


SHORT_STATES = [
    ("Omitter(['a']).__setstate__(())", "(['a'],)"),
    ("NoTrustOmitter(['u']).__setstate__(())", "(None, ['u'])"),
    ("NoTrustOmitter(['u']).__setstate__((['o'],))", "(['o'], ['u'])"),
    ("omit.__pyx_unpickle_Omitter(Omitter, 259159834, ())", None),
    ("omit.__pyx_unpickle_NoTrustOmitter(NoTrustOmitter, 104289010, ())", None),
    ("omit.__pyx_unpickle_NoTrustOmitter(NoTrustOmitter, 104289010, ([],))", None),
]


@pytest.mark.parametrize("call, after", SHORT_STATES)
def test_short_state_tuple_raises(call, after):
    target, _, rest = call.partition(".__setstate__")
    script = """
        import zentrove.omit as omit
        from zentrove.omit import NoTrustOmitter, Omitter
        def state(o):
            r = o.__reduce__()
            return r[2] if len(r) == 3 else r[1][2]
    """
    if after is None:
        script += f"""
        try:
            {call}
        except IndexError as exc:
            print(exc)
        """
    else:
        script += f"""
        o = {target}
        try:
            o.__setstate__{rest}
        except IndexError as exc:
            print(exc, state(o))
        """
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr
    expected = "tuple index out of range" + ("" if after is None else f" {after}")
    assert proc.stdout == expected + "\n"


# --- reconstructor lookup of the reduce operation ---------------------------


@pytest.fixture
def reconstructor_names():
    """Restores the module's reconstructor bindings and removes stray builtins."""
    saved = {
        name: omit.__dict__[name]
        for name in ("__pyx_unpickle_Omitter", "__pyx_unpickle_NoTrustOmitter")
    }
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(omit, name, value)
            if hasattr(builtins, name):
                delattr(builtins, name)


def test_rebinding_the_reconstructor(reconstructor_names):
    assert Omitter(["a"]).__reduce__()[0] is UNPICKLE
    setattr(omit, "__pyx_unpickle_Omitter", len)
    assert Omitter(["a"]).__reduce__()[0] is len
    assert Omitter.__new__(Omitter).__reduce__()[0] is len
    setattr(omit, "__pyx_unpickle_Omitter", UNPICKLE)
    assert Omitter(["a"]).__reduce__()[0] is UNPICKLE
    assert Omitter.__new__(Omitter).__reduce__()[0] is UNPICKLE


@pytest.mark.parametrize(
    "make, name, line",
    [
        (lambda: Omitter(["a"]), "Omitter", 13),
        (lambda: Omitter.__new__(Omitter), "Omitter", 15),
        (lambda: NoTrustOmitter(["u"]), "NoTrustOmitter", 13),
        (lambda: NoTrustOmitter.__new__(NoTrustOmitter), "NoTrustOmitter", 15),
    ],
)
def test_deleted_reconstructor(reconstructor_names, make, name, line):
    o = make()
    o.__reduce__()  # fill the lookup cache first
    delattr(omit, f"__pyx_unpickle_{name}")
    info = fails(o.__reduce__, NameError)
    assert str(info.value) == f"name '__pyx_unpickle_{name}' is not defined"
    assert entries(info) == [(STRS, line, f"zentrove.omit.{name}.__reduce_cython__")]
    with pytest.raises(NameError):
        pickle.dumps(o)
    # the builtins are the fallback
    setattr(builtins, f"__pyx_unpickle_{name}", repr)
    assert o.__reduce__()[0] is repr


# --- binding of the pickling callables --------------------------------------

REDUCE_ARITY = "__reduce_cython__() takes exactly 0 positional arguments ({} given)"
REDUCE_KEYWORD = "__reduce_cython__() got an unexpected keyword argument '{}'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda o, n: o.__reduce__(1), REDUCE_ARITY.format(1)),
        (lambda o, n: n.__reduce_cython__(1, 2), REDUCE_ARITY.format(2)),
        (lambda o, n: o.__reduce_cython__(1, x=1), REDUCE_ARITY.format(1)),
        (lambda o, n: n.__reduce__(x=1), REDUCE_KEYWORD.format("x")),
        (lambda o, n: o.__reduce_cython__(b=1, a=2), REDUCE_KEYWORD.format("b")),
    ],
)
def test_reduce_binding_messages_without_entry(call, message):
    info = fails(lambda: call(Omitter(["a"]), NoTrustOmitter(["u"])))
    assert str(info.value) == message
    assert entries(info) == []


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (
            lambda: Omitter().__setstate__(),
            "__setstate_cython__() takes exactly 1 positional argument (0 given)",
            (STRS, 16, SETSTATE_CALL[2]),
        ),
        (
            lambda: NoTrustOmitter().__setstate_cython__(None, None),
            "__setstate_cython__() takes exactly 1 positional argument (2 given)",
            (STRS, 16, NT_SETSTATE_CALL[2]),
        ),
        (
            lambda: Omitter().__setstate_cython__(x=1),
            "__setstate_cython__() takes exactly 1 positional argument (0 given)",
            (STRS, 16, SETSTATE_CALL[2]),
        ),
        (
            lambda: Omitter().__setstate__((None,), x=1),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
            (STRS, 16, SETSTATE_CALL[2]),
        ),
        (
            lambda: NoTrustOmitter().__setstate_cython__(None, __pyx_state=None),
            "__setstate_cython__() got multiple values for keyword argument '__pyx_state'",
            (STRS, 16, NT_SETSTATE_CALL[2]),
        ),
        (
            lambda: UNPICKLE(Omitter, 1),
            "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (2 given)",
            UNPICKLE_AT[1],
        ),
        (
            lambda: UNPICKLE_NT(__pyx_type=NoTrustOmitter, __pyx_state=None),
            "__pyx_unpickle_NoTrustOmitter() takes exactly 3 positional arguments (1 given)",
            (STRS, 1, "zentrove.omit.__pyx_unpickle_NoTrustOmitter"),
        ),
        (
            lambda: UNPICKLE(Omitter, 1, None, state=None),
            "__pyx_unpickle_Omitter() got an unexpected keyword argument 'state'",
            UNPICKLE_AT[1],
        ),
        (
            lambda: UNPICKLE_NT(NoTrustOmitter, 1, None, __pyx_type=NoTrustOmitter),
            "__pyx_unpickle_NoTrustOmitter() got multiple values for keyword argument "
            "'__pyx_type'",
            (STRS, 1, "zentrove.omit.__pyx_unpickle_NoTrustOmitter"),
        ),
    ],
)
def test_setstate_and_reconstructor_binding_messages(call, message, entry):
    info = fails(call)
    assert str(info.value) == message
    assert entries(info) == [entry]


def test_pickling_callables_by_keyword():
    o = Omitter.__new__(Omitter)
    assert o.__setstate_cython__(__pyx_state=(["k"],)) is None
    assert state_of(o) == (["k"],)
    n = UNPICKLE_NT(__pyx_state=(None, ["t"]), __pyx_checksum=104289010, __pyx_type=NoTrustOmitter)
    assert state_of(n) == (None, ["t"])


# --- attributes of the types ------------------------------------------------


@pytest.mark.parametrize("cls", [Omitter, NoTrustOmitter])
def test_type_dictionary(cls):
    d = cls.__dict__
    pairs = (("__reduce__", "__reduce_cython__"), ("__setstate__", "__setstate_cython__"))
    for attr, name in pairs:
        descriptor = d[attr]
        assert type(descriptor) is types.MethodDescriptorType
        assert descriptor.__name__ == name
        assert descriptor.__objclass__ is cls
        function = d[name]
        assert type(function) is type(omit.hide)
        assert function.__qualname__ == f"{cls.__name__}.{name}"
        assert getattr(cls, name) is function
    assert "__reduce_ex__" not in d and "__getstate__" not in d
    assert cls.__reduce_ex__ is object.__reduce_ex__


def test_types_have_their_own_pickling_operations():
    assert NoTrustOmitter.__dict__["__reduce__"] is not Omitter.__dict__["__reduce__"]
    assert NoTrustOmitter.__dict__["__setstate__"] is not Omitter.__dict__["__setstate__"]
    info = fails(lambda: Omitter.__dict__["__reduce__"](5))
    assert str(info.value) == (
        "descriptor '__reduce_cython__' for 'zentrove.omit.Omitter' objects doesn't apply to "
        "a 'int' object"
    )
    info = fails(lambda: NoTrustOmitter.__dict__["__setstate__"](Omitter(), (None, None)))
    assert str(info.value) == (
        "descriptor '__setstate_cython__' for 'zentrove.omit.NoTrustOmitter' objects doesn't "
        "apply to a 'zentrove.omit.Omitter' object"
    )
