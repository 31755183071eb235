"""Argument binding of zentrove.omit's callables: counts, keywords,
conversions, exact-type tests, their messages and traceback entries.  The
function objects themselves are tested in test_function.py."""

import collections
import pickle
import warnings

import pytest

import zentrove.omit as omit
from helpers import HIDE, OMIT, OMITTER_SUM, RECURSE, SRC, at, entries, fails, run_python
from helpers import NO_TRUST_INIT as NT_INIT
from helpers import OMITTER_INIT as INIT
from helpers import STRINGS as STRS
from zentrove.omit import NoTrustOmitter, Omitter

UNPICKLE = getattr(omit, "__pyx_unpickle_Omitter")
UNPICKLE_NT = getattr(omit, "__pyx_unpickle_NoTrustOmitter")
UNPICKLE_ENTRY = at(1, "__pyx_unpickle_Omitter", STRS)


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class NeverEqual(str):
    """A keyword whose == always answers False."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class RaisingEq(str):
    def __eq__(self, other):
        raise ValueError("eq failed")

    __hash__ = str.__hash__


class RaisingBool:
    def __bool__(self):
        raise ValueError("no truth")


class IntSub(int):
    pass


def state_list(o):
    """The omissions list as the set-state reduce form shows it."""
    return o.__reduce__()[2][0]


# --- arity ------------------------------------------------------------------

ARITY_CASES = [
    (lambda o: omit.hide(), "hide() takes exactly 1 positional argument (0 given)", HIDE),
    (lambda o: omit.hide("a", "b"), "hide() takes exactly 1 positional argument (2 given)", HIDE),
    # a stray keyword alone: the missing required argument is reported first
    (lambda o: omit.hide(x="a"), "hide() takes exactly 1 positional argument (0 given)", HIDE),
    (
        lambda o: omit.hide("a", "b", target="c"),
        "hide() takes exactly 1 positional argument (2 given)",
        HIDE,
    ),
    (
        lambda o: omit.always_omit(),
        "always_omit() takes exactly 1 positional argument (0 given)",
        (SRC, 16, "zentrove.omit.always_omit"),
    ),
    (
        lambda o: omit.always_trust([], []),
        "always_trust() takes exactly 1 positional argument (2 given)",
        (SRC, 23, "zentrove.omit.always_trust"),
    ),
    (lambda o: o.omit(), "omit() takes exactly 1 positional argument (0 given)", OMIT),
    (lambda o: o.omit({}, {}), "omit() takes exactly 1 positional argument (2 given)", OMIT),
    (
        lambda o: NoTrustOmitter().omit(),
        "omit() takes exactly 1 positional argument (0 given)",
        OMIT,
    ),
    (
        lambda o: o.omit_recurse(),
        "omit_recurse() takes at least 1 positional argument (0 given)",
        RECURSE,
    ),
    (
        lambda o: o.omit_recurse(do=True),
        "omit_recurse() takes at least 1 positional argument (0 given)",
        RECURSE,
    ),
    (
        lambda o: o.omit_recurse([], 1, 2),
        "omit_recurse() takes at most 2 positional arguments (3 given)",
        RECURSE,
    ),
    (
        lambda o: o.omit_recurse([], 1, 2, do=1),
        "omit_recurse() takes at most 2 positional arguments (3 given)",
        RECURSE,
    ),
    (lambda o: Omitter([], []), "__init__() takes at most 1 positional argument (2 given)", INIT),
    (
        lambda o: Omitter([], [], omissions=[]),
        "__init__() takes at most 1 positional argument (2 given)",
        INIT,
    ),
    (
        lambda o: NoTrustOmitter([], [], []),
        "__init__() takes at most 1 positional argument (3 given)",
        NT_INIT,
    ),
    (
        lambda o: UNPICKLE(),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (0 given)",
        UNPICKLE_ENTRY,
    ),
    (
        lambda o: UNPICKLE(Omitter, 1, None, 4),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (4 given)",
        UNPICKLE_ENTRY,
    ),
    (
        lambda o: UNPICKLE_NT(NoTrustOmitter),
        "__pyx_unpickle_NoTrustOmitter() takes exactly 3 positional arguments (1 given)",
        (STRS, 1, "zentrove.omit.__pyx_unpickle_NoTrustOmitter"),
    ),
    # with keywords, "given" is the index of the first missing required parameter
    (
        lambda o: UNPICKLE(__pyx_type=Omitter, __pyx_state=None),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (1 given)",
        UNPICKLE_ENTRY,
    ),
    (
        lambda o: UNPICKLE(__pyx_type=Omitter, __pyx_checksum=OMITTER_SUM),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (2 given)",
        UNPICKLE_ENTRY,
    ),
    (
        lambda o: UNPICKLE(__pyx_checksum=OMITTER_SUM, __pyx_state=None),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (0 given)",
        UNPICKLE_ENTRY,
    ),
    # the missing checksum is found before the repeated __pyx_type is looked at
    (
        lambda o: UNPICKLE(Omitter, __pyx_type=Omitter),
        "__pyx_unpickle_Omitter() takes exactly 3 positional arguments (1 given)",
        UNPICKLE_ENTRY,
    ),
]


@pytest.mark.parametrize("call, message, entry", ARITY_CASES)
def test_arity_message_and_single_definition_line_entry(call, message, entry):
    info = fails(lambda: call(Omitter()))
    assert str(info.value) == message
    assert entries(info) == [entry]


# --- keywords ---------------------------------------------------------------

KEYWORD_CASES = [
    (lambda o: omit.hide("a", x=1), "hide() got an unexpected keyword argument 'x'", HIDE),
    (lambda o: omit.hide(target="a", x=1), "hide() got an unexpected keyword argument 'x'", HIDE),
    (
        lambda o: omit.hide("a", target="b"),
        "hide() got multiple values for keyword argument 'target'",
        HIDE,
    ),
    (lambda o: o.omit({}, x=1), "omit() got an unexpected keyword argument 'x'", OMIT),
    (
        lambda o: o.omit_recurse(["a"], target=[]),
        "omit_recurse() got multiple values for keyword argument 'target'",
        RECURSE,
    ),
    (
        lambda o: o.omit_recurse(["a"], 0, do=1),
        "omit_recurse() got multiple values for keyword argument 'do'",
        RECURSE,
    ),
    (
        lambda o: o.omit_recurse(["a"], dont=1),
        "omit_recurse() got an unexpected keyword argument 'dont'",
        RECURSE,
    ),
    (
        lambda o: Omitter([], omissions=[]),
        "__init__() got multiple values for keyword argument 'omissions'",
        INIT,
    ),
    (lambda o: Omitter(x=[]), "__init__() got an unexpected keyword argument 'x'", INIT),
    (
        lambda o: Omitter(omissions=[], x=1),
        "__init__() got an unexpected keyword argument 'x'",
        INIT,
    ),
    (
        lambda o: NoTrustOmitter(omissions=[]),
        "__init__() got an unexpected keyword argument 'omissions'",
        NT_INIT,
    ),
    (
        lambda o: NoTrustOmitter([], trusted=[]),
        "__init__() got multiple values for keyword argument 'trusted'",
        NT_INIT,
    ),
    (
        lambda o: UNPICKLE(Omitter, 1, None, x=1),
        "__pyx_unpickle_Omitter() got an unexpected keyword argument 'x'",
        UNPICKLE_ENTRY,
    ),
    (
        lambda o: UNPICKLE(Omitter, OMITTER_SUM, __pyx_state=None, __pyx_checksum=1),
        "__pyx_unpickle_Omitter() got multiple values for keyword argument '__pyx_checksum'",
        UNPICKLE_ENTRY,
    ),
]


@pytest.mark.parametrize("call, message, entry", KEYWORD_CASES)
def test_keyword_messages(call, message, entry):
    info = fails(lambda: call(Omitter()))
    assert str(info.value) == message
    assert entries(info) == [entry]


@pytest.mark.parametrize(
    "call, entry",
    [
        (lambda: Omitter(**{1: 2}), INIT),
        (lambda: Omitter([], **{1: 2}), INIT),
        (lambda: Omitter(**{"omissions": [], 1: 2}), INIT),
        (lambda: NoTrustOmitter(**{1: 2}), NT_INIT),
    ],
)
def test_init_keywords_must_be_strings(call, entry):
    info = fails(call)
    assert str(info.value) == "__init__() keywords must be strings"
    assert entries(info) == [entry]


@pytest.mark.parametrize(
    "func, args",
    [
        (omit.hide, ()),
        (omit.hide, ("ab",)),
        (omit.globally_hidden, ()),
        (Omitter.omit, (Omitter(),)),
        (UNPICKLE, (Omitter, OMITTER_SUM, None)),
    ],
)
def test_generic_call_refuses_non_string_keywords(func, args):
    # type(f).__call__ hands the keyword dictionary to the function object itself
    info = fails(lambda: type(func).__call__(func, *args, **{1: 2}))
    assert str(info.value) == "keywords must be strings"
    assert entries(info) == []


def test_star_star_call_with_non_string_key_is_refused_before_the_call():
    info = fails(lambda: omit.hide(*(), **{1: 2}))
    assert str(info.value) == "keywords must be strings"
    assert entries(info) == []


def test_generic_call_binds_like_a_fast_call():
    call = type(omit.hide).__call__
    assert call(omit.hide, **{"target": "ab"}) == "**"
    assert call(omit.hide, "abc") == "***"
    o = Omitter(["k"])
    assert call(Omitter.omit, o, {"k": "v"}) == {"k": "*"}
    assert call(Omitter.omit_recurse, o, target=["v"], do=False) == ["v"]
    info = fails(lambda: call(omit.hide, "a", x=1))
    assert str(info.value) == "hide() got an unexpected keyword argument 'x'"


# --- no-argument functions and "needs an argument" --------------------------

NO_ARG = ["globally_hidden", "globally_trusted", "reset_omissions", "reset_trusted"]


@pytest.mark.parametrize("name", NO_ARG)
@pytest.mark.parametrize(
    "args, kwargs, template",
    [
        ((1,), {}, "{}() takes no arguments (1 given)"),
        ((1, 2), {}, "{}() takes no arguments (2 given)"),
        ((), {"x": 1}, "{}() takes no keyword arguments"),
        ((1,), {"x": 1}, "{}() takes no keyword arguments"),
    ],
)
def test_no_argument_functions(name, args, kwargs, template):
    omit.always_omit(["k"])
    omit.always_trust(["t"])
    info = fails(lambda: getattr(omit, name)(*args, **kwargs))
    assert str(info.value) == template.format(name)
    assert entries(info) == []
    # the body did not run: nothing was reset
    assert omit.globally_hidden() == ["k"]
    assert omit.globally_trusted() == ["t"]


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: Omitter.omit(), "omit"),
        (lambda: Omitter.omit(target={}), "omit"),
        (lambda: NoTrustOmitter.omit_recurse(target=[], do=True), "omit_recurse"),
        (lambda: Omitter.__dict__["__reduce_cython__"](), "__reduce_cython__"),
        (
            lambda: NoTrustOmitter.__dict__["__setstate_cython__"](__pyx_state=None),
            "__setstate_cython__",
        ),
        (lambda: type(Omitter.omit).__call__(Omitter.omit), "omit"),
    ],
)
def test_method_through_type_needs_an_argument(call, name):
    info = fails(call)
    assert str(info.value) == f"{name}() needs an argument"
    assert entries(info) == []


def test_method_through_type_with_instance_behaves_as_on_instance():
    o = Omitter(["k"])
    assert Omitter.omit(o, {"k": "abc", "u": "x"}) == o.omit({"k": "abc", "u": "x"})
    d = {"k": "abc"}
    assert Omitter.omit(o, target=d) is d and d == {"k": "***"}
    n = NoTrustOmitter(["u"])
    assert Omitter.omit(n, {"u": "x", "p": "yy"}) == {"u": "x", "p": "**"}


# --- exact-type tests -------------------------------------------------------

TYPE_CASES = [
    (lambda o: omit.hide(StrSub("x")), "target", "str", "StrSub"),
    (lambda o: omit.hide(b"x"), "target", "str", "bytes"),
    (lambda o: omit.always_omit((1,)), "targets", "list", "tuple"),
    (lambda o: omit.always_trust(ListSub(["a"])), "targets", "list", "ListSub"),
    (lambda o: o.omit(collections.OrderedDict()), "target", "dict", "collections.OrderedDict"),
    (lambda o: o.omit(DictSub()), "target", "dict", "DictSub"),
    (lambda o: o.omit(target=[]), "target", "dict", "list"),
    (lambda o: o.omit_recurse(()), "target", "list", "tuple"),
    (lambda o: o.omit_recurse(ListSub(), False), "target", "list", "ListSub"),
    (lambda o: o.__init__(()), "omissions", "list", "tuple"),
    (lambda o: Omitter(omissions=ListSub()), "omissions", "list", "ListSub"),
    (lambda o: NoTrustOmitter(()), "trusted", "list", "tuple"),
]


@pytest.mark.parametrize("call, param, expected, got", TYPE_CASES)
def test_argument_type_message_without_entry(call, param, expected, got):
    o = Omitter(["k"])
    before = state_list(o)
    info = fails(lambda: call(o))
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    )
    assert entries(info) == []
    assert state_list(o) is before
    assert omit.globally_hidden() == [] and omit.globally_trusted() == []


def test_none_passes_the_type_test_and_the_body_fails():
    o = Omitter()
    info = fails(lambda: omit.hide(None))
    assert str(info.value) == "object of type 'NoneType' has no len()"
    assert entries(info) == [HIDE, (SRC, 10, "zentrove.omit.hide")]
    info = fails(lambda: o.omit(None), AttributeError)
    assert str(info.value) == "'NoneType' object has no attribute 'items'"
    assert entries(info) == [OMIT, (SRC, 48, "zentrove.omit.Omitter.omit")]
    info = fails(lambda: o.omit_recurse(target=None))
    assert str(info.value) == "object of type 'NoneType' has no len()"
    assert entries(info) == [RECURSE, (SRC, 64, "zentrove.omit.Omitter.omit_recurse")]


# --- keywords given as str subclasses ---------------------------------------


def test_keyword_as_str_subclass_binds():
    assert omit.hide(**{StrSub("target"): "abc"}) == "***"
    o = Omitter()
    assert o.omit_recurse(**{StrSub("target"): ["a"], StrSub("do"): False}) == ["a"]
    assert state_list(Omitter(**{StrSub("omissions"): ["a"]})) == ["a"]


def test_keyword_subclass_eq_decides_the_named_search():
    # the search for a required parameter uses ==, so a name that never
    # compares equal leaves it missing
    info = fails(lambda: omit.hide(**{NeverEqual("target"): "abc"}))
    assert str(info.value) == "hide() takes exactly 1 positional argument (0 given)"
    assert entries(info) == [HIDE]
    # the leftover pass compares code points and ignores __eq__: do is bound
    assert Omitter().omit_recurse(["a"], **{NeverEqual("do"): 0}) == ["a"]


@pytest.mark.parametrize(
    "call, entry",
    [
        (lambda: omit.hide(**{RaisingEq("target"): "abc"}), HIDE),
        (lambda: Omitter().omit_recurse(["a"], **{RaisingEq("do"): 0}), RECURSE),
        (lambda: Omitter(**{RaisingEq("omissions"): ["a"]}), INIT),
    ],
)
def test_failing_keyword_comparison_is_a_binding_failure(call, entry):
    info = fails(call, ValueError)
    assert str(info.value) == "eq failed"
    assert entries(info) == [entry]


# --- the truth value "do" ---------------------------------------------------


class CountingTrue:
    calls = 0

    def __bool__(self):
        CountingTrue.calls += 1
        return True


@pytest.mark.parametrize(
    "do, masked",
    [
        (True, True),
        (False, False),
        (None, False),
        (0, False),
        ("", False),
        ([], False),
        (2, True),
        ("x", True),
        ([0], True),
    ],
)
def test_do_truth_value(do, masked):
    o = Omitter()
    expected = ["*"] if masked else ["a"]
    assert o.omit_recurse(["a"], do) == expected
    assert o.omit_recurse(target=["a"], do=do) == expected


def test_do_default_is_true_and_bool_is_asked_once():
    assert Omitter().omit_recurse(["ab"]) == ["**"]
    CountingTrue.calls = 0
    assert Omitter().omit_recurse(["ab"], CountingTrue()) == ["**"]
    assert CountingTrue.calls == 1


def test_do_bool_raising_is_binding_failure_before_type_test():
    target = ["a"]
    info = fails(lambda: Omitter().omit_recurse(target, RaisingBool()), ValueError)
    assert str(info.value) == "no truth"
    assert entries(info) == [RECURSE]
    assert target == ["a"]
    # the conversion comes before the type test of target
    info = fails(lambda: Omitter().omit_recurse(5, RaisingBool()), ValueError)
    assert entries(info) == [RECURSE]


def test_do_bool_returning_non_bool():
    class Two:
        def __bool__(self):
            return 2

    info = fails(lambda: Omitter().omit_recurse(["a"], Two()))
    assert str(info.value) == "__bool__ should return bool, returned int"
    assert entries(info) == [RECURSE]


# --- the 64-bit integer __pyx_checksum --------------------------------------


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return OMITTER_SUM


class IntRaises:
    def __int__(self):
        raise ValueError("no int")


@pytest.mark.parametrize(
    "checksum, exc_type, message",
    [
        ("259159834", TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntReturns(1.5), TypeError, "__int__ returned non-int (type float)"),
        (IntReturns("1"), TypeError, "__int__ returned non-int (type str)"),
        (IntRaises(), ValueError, "no int"),
        (2**64, OverflowError, None),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
    ],
)
def test_checksum_conversion_failures(checksum, exc_type, message):
    info = fails(lambda: UNPICKLE(Omitter, checksum, None), exc_type)
    if message is not None:
        assert str(info.value) == message
    assert entries(info) == [UNPICKLE_ENTRY]


@pytest.mark.parametrize(
    "checksum, shown",
    [
        (2.9, "0x2"),
        (-0.5, "0x0"),
        (True, "0x1"),
        (-(2**63), "0x-8000000000000000"),
        (2**63 - 1, "0x7fffffffffffffff"),
        (IntReturns(7), "0x7"),
    ],
)
def test_checksum_conversion_values(checksum, shown):
    info = fails(lambda: UNPICKLE(Omitter, checksum, None), pickle.PickleError)
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0xf72771a, 0x676fd74, 0x1022349) = (omissions))"
    )


@pytest.mark.parametrize(
    "checksum",
    [OMITTER_SUM + 0.5, float(OMITTER_SUM), IntSub(OMITTER_SUM), IntReturns(OMITTER_SUM)],
)
def test_checksum_accepted_after_conversion(checksum):
    assert type(UNPICKLE(Omitter, checksum, None)) is Omitter


DEPRECATION_TEXT = (
    "__int__ returned non-int (type IntSub).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


def test_int_returning_int_subclass_warning_as_error():
    # the test run turns warnings into errors
    info = fails(
        lambda: UNPICKLE(Omitter, IntReturns(IntSub(OMITTER_SUM)), None), DeprecationWarning
    )
    assert str(info.value) == DEPRECATION_TEXT
    assert entries(info) == [UNPICKLE_ENTRY]


def test_int_returning_int_subclass_warns_then_passes():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = UNPICKLE(Omitter, IntReturns(IntSub(OMITTER_SUM)), None)
    assert type(result) is Omitter
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, DEPRECATION_TEXT)
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert type(UNPICKLE(Omitter, IntReturns(IntSub(OMITTER_SUM)), None)) is Omitter


# --- order of work ----------------------------------------------------------


def test_binding_comes_before_type_tests_and_body():
    o = Omitter(["k"])
    d = {"k": "v"}
    info = fails(lambda: omit.hide(5, x=1))
    assert str(info.value) == "hide() got an unexpected keyword argument 'x'"
    info = fails(lambda: o.omit(5, {}))
    assert str(info.value) == "omit() takes exactly 1 positional argument (2 given)"
    info = fails(lambda: o.omit(d, x=1))
    assert d == {"k": "v"}
    info = fails(lambda: omit.always_omit(["k"], x=1))
    assert omit.globally_hidden() == []
    info = fails(lambda: o.__init__(["other"], x=1))
    assert state_list(o) == ["k"]
    # conversion of the checksum precedes everything the body does with the type
    info = fails(lambda: UNPICKLE("not a type", "x", None))
    assert str(info.value) == "an integer is required"


# --- traceback entries ------------------------------------------------------


def test_failure_two_dicts_deep_has_three_omit_entries():
    info = fails(lambda: Omitter().omit({"outer": {5: "x"}}))
    assert str(info.value) == "Expected unicode, got int"
    assert entries(info) == [
        OMIT,
        (SRC, 56, "zentrove.omit.Omitter.omit"),
        (SRC, 52, "zentrove.omit.Omitter.omit"),
    ]


@pytest.mark.parametrize("setstate_first", [True, False])
def test_entry_code_objects_keep_their_own_file_and_name(setstate_first):
    # both binding failures are at line 16, in different files and functions;
    # whichever comes first must not lend its entry to the other
    calls = ["Omitter().__setstate_cython__()", "omit.always_omit()"]
    if not setstate_first:
        calls.reverse()
    proc = run_python(
        "import traceback\n"
        "import zentrove.omit as omit\n"
        "from zentrove.omit import Omitter\n"
        f"for call in {calls!r}:\n"
        "    try:\n"
        "        eval(call)\n"
        "    except TypeError as e:\n"
        "        tb = traceback.extract_tb(e.__traceback__)\n"
        "        print([(f.filename, f.lineno, f.name) for f in tb\n"
        "               if f.filename in ('src/zentrove/omit', '<stringsource>')])\n"
    )
    assert proc.returncode == 0, proc.stderr
    setstate = repr([(STRS, 16, "zentrove.omit.Omitter.__setstate_cython__")])
    always = repr([(SRC, 16, "zentrove.omit.always_omit")])
    expected = [setstate, always] if setstate_first else [always, setstate]
    assert proc.stdout.splitlines() == expected
