"""Hostile pickle states and checksums: wrong shapes, short tuples, huge
lists, instance dicts whose update raises, __getattribute__ that raises for
__dict__, checksum objects whose __int__ raises or changes things, a
replaced pickle module, and crafted pickle streams.

Usage: hostile_pickles.py [case ...]; runs the named case_* functions (all by
default), prints "<case> ok" after each and "OK" at the end.
"""

import os
import pickle
import sys
import types

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import zentrove.omit as omit  # noqa: E402
from helpers import (  # noqa: E402
    NO_TRUST_SUM,
    OMITTER_SUM,
    Boom,
    entries,
    failure,
    run_cases,
)
from helpers import STRINGS as STRS  # noqa: E402
from subclasses import GetattributeRaises, ListAsDict, UpdateRaises, WithDict  # noqa: E402
from zentrove.omit import NoTrustOmitter, Omitter  # noqa: E402

UNPICKLE = getattr(omit, "__pyx_unpickle_Omitter")
UNPICKLE_NT = getattr(omit, "__pyx_unpickle_NoTrustOmitter")
SETSTATE = (STRS, 17, "zentrove.omit.Omitter.__setstate_cython__")
NT_SETSTATE = (STRS, 17, "zentrove.omit.NoTrustOmitter.__setstate_cython__")
SET_STATE = "zentrove.omit.__pyx_unpickle_Omitter__set_state"
NT_SET_STATE = "zentrove.omit.__pyx_unpickle_NoTrustOmitter__set_state"


def state_of(redactor):
    value = redactor.__reduce__()
    return value[2] if len(value) == 3 else value[1][2]


def case_state_of_the_wrong_shape():
    for state, got in (
        ([["a"]], "list"),
        ({"a": 1}, "dict"),
        ("abc", "str"),
        (type("T", (tuple,), {})((["a"],)), "T"),
    ):
        target = Omitter(["kept"])
        exc = failure(lambda: target.__setstate__(state))
        assert type(exc) is TypeError and str(exc) == f"Expected tuple, got {got}", exc
        assert entries(exc) == [SETSTATE] and state_of(target) == (["kept"],)
        exc = failure(lambda: UNPICKLE(Omitter, OMITTER_SUM, state))
        assert str(exc) == f"Expected tuple, got {got}"
        assert entries(exc) == [(STRS, 9, "zentrove.omit.__pyx_unpickle_Omitter")]


def case_short_state_tuples():
    target = Omitter(["kept"])
    exc = failure(lambda: target.__setstate__(()))
    assert type(exc) is IndexError and str(exc) == "tuple index out of range"
    assert entries(exc) == [SETSTATE, (STRS, 12, SET_STATE)]
    assert state_of(target) == (["kept"],)

    target = NoTrustOmitter(["kept"])
    exc = failure(lambda: target.__setstate__((["first"],)))
    assert type(exc) is IndexError and entries(exc) == [NT_SETSTATE, (STRS, 12, NT_SET_STATE)]
    assert state_of(target) == (["first"], ["kept"])  # fields before the gap are set
    for state in ((), (None,)):
        exc = failure(lambda: UNPICKLE_NT(NoTrustOmitter, NO_TRUST_SUM, state))
        assert type(exc) is IndexError


def case_fields_of_the_wrong_type():
    target = NoTrustOmitter(["t"])
    for state, got in (
        ((["a"], ("b",)), "tuple"),
        ((["a"], type("L", (list,), {})()), "L"),
        ((["a"], "b"), "str"),
    ):
        exc = failure(lambda: target.__setstate__(state))
        assert type(exc) is TypeError and str(exc) == f"Expected list, got {got}"
        assert entries(exc) == [NT_SETSTATE, (STRS, 12, NT_SET_STATE)]
        assert state_of(target) == (["a"], ["t"])


def case_huge_lists_and_tuples():
    keys = [f"k{i}" for i in range(10**6)]
    target = Omitter.__new__(Omitter)
    target.__setstate__((keys,) + (None,) * 10**6)  # elements after the fields are ignored
    assert state_of(target)[0] is keys
    assert target.omit({"k999999": "secret", "x": "y"}) == {"k999999": "******", "x": "y"}
    loaded = pickle.loads(pickle.dumps(target, 4))
    assert state_of(loaded) == (keys,)
    allow = UNPICKLE_NT(NoTrustOmitter, NO_TRUST_SUM, (keys, keys))
    assert allow.omit({"k0": "a", "z": "b"}) == {"k0": "a", "z": "*"}


def case_state_setter_shares_the_lists():
    keys = ["a"]
    target = Omitter.__new__(Omitter)
    target.__setstate__((keys,))
    keys.append("late")  # the field is this very list
    assert target.omit({"late": "x"}) == {"late": "*"}
    keys.clear()
    assert target.omit({"a": "x"}) == {"a": "x"}


def case_instance_dict_whose_update_raises():
    target = UpdateRaises.__new__(UpdateRaises)
    exc = failure(lambda: target.__setstate__((["a"], {"x": 1})))
    assert type(exc) is Boom and str(exc) == "update"
    assert entries(exc) == [SETSTATE, (STRS, 14, SET_STATE)]
    assert state_of(target)[0] == ["a"]  # the fields were set first

    exc = failure(lambda: UNPICKLE(UpdateRaises, OMITTER_SUM, (None, {"x": 1})))
    assert type(exc) is Boom
    assert entries(exc) == [
        (STRS, 9, "zentrove.omit.__pyx_unpickle_Omitter"),
        (STRS, 14, SET_STATE),
    ]


def case_instance_dict_that_is_not_a_dict():
    target = ListAsDict()
    reduced = target.__reduce__()
    assert reduced[2] == (state_of(target)[0], ["not", "a", "dict"])
    exc = failure(lambda: pickle.loads(pickle.dumps(target)))
    assert type(exc) is AttributeError
    assert str(exc) == "'list' object has no attribute 'update'"

    exc = failure(lambda: WithDict().__setstate__((None, None, 5)))
    assert type(exc) is TypeError and str(exc) == "'int' object is not iterable"


def case_update_that_changes_the_instance():
    target = WithDict(["a"])

    class Changing:
        """A mapping whose keys() re-enters __setstate__ and __init__."""

        def keys(self):
            target.__setstate__((["other"], None, {"inner": 1}))
            target.__init__(["last"])
            return ["x"]

        def __getitem__(self, key):
            return 1

    target.__setstate__((None, ["b"], Changing()))
    assert target.__dict__ == {"inner": 1, "x": 1}
    assert state_of(target)[:2] == (["other"], ["last"])


def case_getattribute_that_raises_for_dict():
    target = GetattributeRaises(["a"])
    exc = failure(target.__reduce__)
    assert type(exc) is Boom
    assert entries(exc) == [(STRS, 6, "zentrove.omit.Omitter.__reduce_cython__")]
    # the set-state test for an instance dict counts the error as "none"
    target.__setstate__((["b"], {"x": 1}))
    assert target.omit({"b": "y"}) == {"b": "*"}
    restored = UNPICKLE(GetattributeRaises, OMITTER_SUM, (["c"], {"x": 1}))
    assert type(restored) is GetattributeRaises


def case_checksum_whose_int_raises():
    class Raising:
        def __int__(self):
            raise Boom("int")

    exc = failure(lambda: UNPICKLE(Omitter, Raising(), None))
    assert type(exc) is Boom
    assert entries(exc) == [(STRS, 1, "zentrove.omit.__pyx_unpickle_Omitter")]


def case_checksum_whose_int_changes_things():
    state = (["a"],)

    class Changing:
        def __int__(self):
            state[0].append("from __int__")
            inner = UNPICKLE(Omitter, OMITTER_SUM, (["inner"],))  # re-entered
            assert state_of(inner) == (["inner"],)
            delattr(omit, "__pyx_unpickle_Omitter")  # the module attribute
            return OMITTER_SUM

    try:
        made = UNPICKLE(Omitter, Changing(), state)
        exc = failure(made.__reduce__)
        assert type(exc) is NameError
        assert str(exc) == "name '__pyx_unpickle_Omitter' is not defined"
    finally:
        omit.__pyx_unpickle_Omitter = UNPICKLE
    assert made.__reduce__() == (UNPICKLE, (Omitter, OMITTER_SUM, None), (["a", "from __int__"],))

    class Huge:
        def __int__(self):
            return 2**70

    exc = failure(lambda: UNPICKLE(Omitter, Huge(), None))
    assert type(exc) is OverflowError


def case_replaced_pickle_module():
    real = sys.modules["pickle"]
    fake = types.ModuleType("pickle")
    sys.modules["pickle"] = fake
    try:
        exc = failure(lambda: UNPICKLE(Omitter, 1, None))
        assert type(exc) is ImportError and str(exc) == "cannot import name PickleError"
        assert entries(exc) == [(STRS, 5, "zentrove.omit.__pyx_unpickle_Omitter")]

        fake.PickleError = ValueError
        exc = failure(lambda: UNPICKLE_NT(NoTrustOmitter, 2, None))
        assert type(exc) is ValueError and str(exc).startswith("Incompatible checksums (0x2 vs")

        fake.PickleError = "not a class"
        exc = failure(lambda: UNPICKLE(Omitter, 1, None))
        assert type(exc) is TypeError
        assert str(exc) == "raise: exception class must be a subclass of BaseException"
        assert entries(exc) == [(STRS, 6, "zentrove.omit.__pyx_unpickle_Omitter")]
    finally:
        sys.modules["pickle"] = real
    exc = failure(lambda: UNPICKLE(Omitter, 1, None))
    assert type(exc) is pickle.PickleError


def case_crafted_pickle_streams():
    def stream(reconstructor, cls, checksum, state):
        class Crafted:
            def __reduce__(self):
                return (reconstructor, (cls, checksum, state))

        return pickle.dumps(Crafted())

    cases = [
        (stream(UNPICKLE, NoTrustOmitter, OMITTER_SUM, None), TypeError),
        (stream(UNPICKLE, int, OMITTER_SUM, None), TypeError),
        (stream(UNPICKLE_NT, NoTrustOmitter, OMITTER_SUM, None), pickle.PickleError),
        (stream(UNPICKLE, Omitter, OMITTER_SUM, ([1],) * 3), None),
        (stream(UNPICKLE, Omitter, OMITTER_SUM, ("keys",)), TypeError),
        (stream(UNPICKLE_NT, NoTrustOmitter, NO_TRUST_SUM, ()), IndexError),
        (stream(UNPICKLE, Omitter, 2**63, None), OverflowError),
        (stream(UNPICKLE, Omitter, "sum", None), TypeError),
    ]
    for data, expected in cases:
        if expected is None:
            assert state_of(pickle.loads(data)) == ([1],)
        else:
            exc = failure(lambda: pickle.loads(data))
            assert type(exc) is expected, (exc, expected)


def case_state_that_contains_the_instance():
    target = NoTrustOmitter.__new__(NoTrustOmitter)
    keys = [target, "user"]
    target.__setstate__((keys, keys))
    loaded = pickle.loads(pickle.dumps(target, 2))
    loaded_keys = state_of(loaded)[1]
    assert loaded_keys[0] is loaded and state_of(loaded)[0] is loaded_keys
    assert loaded.omit({"user": "a", "pw": "b"}) == {"user": "a", "pw": "*"}


def case_dict_lookup_that_restores_another_state():
    class Restoring(Omitter):
        """No instance dict, and its look-up sets the fields to `fields`."""

        fields = (None,)

        def __getattribute__(self, name):
            if name == "__dict__":
                Omitter.__setstate_cython__(self, type(self).fields)
                raise AttributeError(name)
            return object.__getattribute__(self, name)

    # the state is read before the look-up; the form from the fields after it
    target = Restoring(["a"])
    assert target.__reduce__() == (UNPICKLE, (Restoring, OMITTER_SUM, (["a"],)))
    Restoring.fields = (["b"],)
    target = Restoring.__new__(Restoring)
    assert target.__reduce__() == (UNPICKLE, (Restoring, OMITTER_SUM, None), (None,))


def case_update_without_result_or_exception():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from hostile_walks import no_result_function

    class Silent(Omitter):
        __dict__ = property(lambda self: types.SimpleNamespace(update=no_result_function()))

    exc = failure(lambda: Silent().__setstate__((["a"], {"x": 1})))
    assert type(exc) is SystemError
    assert str(exc) == "NULL result without error in PyObject_Call"
    assert entries(exc) == [SETSTATE, (STRS, 14, SET_STATE)]


if __name__ == "__main__":
    if "PYTHONMALLOC" not in os.environ:  # the debug allocator catches stray writes
        os.execve(
            sys.executable, [sys.executable] + sys.argv, dict(os.environ, PYTHONMALLOC="debug")
        )
    run_cases(globals(), sys.argv[1:])
