"""The function objects (NativeFunction) of zentrove.omit: their attributes,
code objects, pickling, binding as methods and refusal of foreign instances."""

import copy
import gc
import inspect
import pickle
import warnings
import weakref

import pytest

import zentrove.omit as omit
from helpers import HIDE, OMIT, SRC, UNPICKLE, UNPICKLE_NT, entries, fails, run_python
from helpers import STRINGS as STRS
from zentrove.omit import NoTrustOmitter, Omitter

# --- function objects -------------------------------------------------------

NATIVE = type(omit.hide)

FUNCTIONS = [
    # getter, name, qualname, file, first line, varnames, argcount, defaults, signature
    (lambda: omit.hide, "hide", "hide", SRC, 8, ("target",), 1, None, "(target)"),
    (
        lambda: omit.globally_hidden,
        "globally_hidden",
        "globally_hidden",
        SRC,
        13,
        (),
        0,
        None,
        "()",
    ),
    (
        lambda: omit.always_omit,
        "always_omit",
        "always_omit",
        SRC,
        16,
        ("targets",),
        1,
        None,
        "(targets)",
    ),
    (
        lambda: omit.globally_trusted,
        "globally_trusted",
        "globally_trusted",
        SRC,
        20,
        (),
        0,
        None,
        "()",
    ),
    (
        lambda: omit.always_trust,
        "always_trust",
        "always_trust",
        SRC,
        23,
        ("targets",),
        1,
        None,
        "(targets)",
    ),
    (
        lambda: omit.reset_omissions,
        "reset_omissions",
        "reset_omissions",
        SRC,
        27,
        (),
        0,
        None,
        "()",
    ),
    (lambda: omit.reset_trusted, "reset_trusted", "reset_trusted", SRC, 31, (), 0, None, "()"),
    (
        lambda: Omitter.__dict__["omit"],
        "omit",
        "Omitter.omit",
        SRC,
        46,
        ("self", "target"),
        2,
        None,
        "(self, target)",
    ),
    (
        lambda: Omitter.__dict__["omit_recurse"],
        "omit_recurse",
        "Omitter.omit_recurse",
        SRC,
        62,
        ("self", "target", "do"),
        3,
        (1,),
        "(self, target, do=1)",
    ),
    (
        lambda: Omitter.__dict__["__reduce_cython__"],
        "__reduce_cython__",
        "Omitter.__reduce_cython__",
        STRS,
        1,
        ("self", "state", "_dict", "use_setstate"),
        1,
        None,
        "(self)",
    ),
    (
        lambda: Omitter.__dict__["__setstate_cython__"],
        "__setstate_cython__",
        "Omitter.__setstate_cython__",
        STRS,
        16,
        ("self", "__pyx_state"),
        2,
        None,
        "(self, __pyx_state)",
    ),
    (
        lambda: NoTrustOmitter.__dict__["__reduce_cython__"],
        "__reduce_cython__",
        "NoTrustOmitter.__reduce_cython__",
        STRS,
        1,
        ("self", "state", "_dict", "use_setstate"),
        1,
        None,
        "(self)",
    ),
    (
        lambda: NoTrustOmitter.__dict__["__setstate_cython__"],
        "__setstate_cython__",
        "NoTrustOmitter.__setstate_cython__",
        STRS,
        16,
        ("self", "__pyx_state"),
        2,
        None,
        "(self, __pyx_state)",
    ),
    (
        lambda: UNPICKLE,
        "__pyx_unpickle_Omitter",
        "__pyx_unpickle_Omitter",
        STRS,
        1,
        ("__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result"),
        3,
        None,
        "(__pyx_type, __pyx_checksum, __pyx_state)",
    ),
    (
        lambda: UNPICKLE_NT,
        "__pyx_unpickle_NoTrustOmitter",
        "__pyx_unpickle_NoTrustOmitter",
        STRS,
        1,
        ("__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result"),
        3,
        None,
        "(__pyx_type, __pyx_checksum, __pyx_state)",
    ),
]
FUNCTION_IDS = [case[2] for case in FUNCTIONS]


@pytest.mark.parametrize(
    "get, name, qualname, filename, line, varnames, argcount, defaults, signature",
    FUNCTIONS,
    ids=FUNCTION_IDS,
)
def test_function_object_attributes(
    get, name, qualname, filename, line, varnames, argcount, defaults, signature
):
    f = get()
    assert type(f) is NATIVE
    assert f.__name__ == name
    assert f.__qualname__ == qualname
    assert f.__module__ == "zentrove.omit"
    assert f.__doc__ is None
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ is None
    assert f.__closure__ is None
    assert f.__globals__ is omit.__dict__
    assert f._is_coroutine is False
    code = f.__code__
    assert code.co_name == name
    assert code.co_filename == filename
    assert code.co_firstlineno == line
    assert code.co_argcount == argcount
    assert code.co_varnames == varnames
    assert code.co_flags == 3
    assert code.co_kwonlyargcount == 0 and code.co_posonlyargcount == 0
    assert code.co_code == b""
    assert str(inspect.signature(f)) == signature
    assert f.__reduce__() == qualname
    assert qualname in repr(f) and f"{id(f):x}" in repr(f).lower()


def test_the_table_holds_every_function_object():
    funcs = [v for v in vars(omit).values() if type(v) is NATIVE]
    for cls in (Omitter, NoTrustOmitter):
        funcs += [v for v in vars(cls).values() if type(v) is NATIVE]
    assert sorted(f.__qualname__ for f in funcs) == sorted(FUNCTION_IDS)


@pytest.mark.parametrize("get", [case[0] for case in FUNCTIONS], ids=FUNCTION_IDS)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_function_objects_pickle_by_reference(get, protocol):
    f = get()
    assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_type_declares_method_descriptor_and_takes_part_in_gc():
    assert NATIVE.__flags__ & (1 << 17)  # Py_TPFLAGS_METHOD_DESCRIPTOR
    f = omit.globally_trusted
    assert gc.is_tracked(f)
    d = f.__dict__
    assert any(r is d for r in gc.get_referents(f))
    assert weakref.ref(f)() is f
    assert weakref.WeakValueDictionary({"f": f})["f"] is f


def test_annotations_created_on_first_access():
    f = omit.always_trust
    try:
        first = f.__annotations__
        assert first == {} and type(first) is dict
        assert f.__annotations__ is first
        f.__annotations__ = {"targets": list}
        assert f.__annotations__ == {"targets": list}
        f.__annotations__ = None
        fresh = f.__annotations__
        assert fresh == {} and fresh is not first
    finally:
        f.__annotations__ = {}


def test_dict_and_arbitrary_attributes():
    f = omit.reset_trusted
    try:
        assert type(f.__dict__) is dict
        f.marker = 7
        assert f.marker == 7 and f.__dict__["marker"] == 7
        f.__dict__ = {"other": 1}
        assert f.other == 1 and not hasattr(f, "marker")
    finally:
        f.__dict__ = {}


def test_doc_assignment_and_deletion():
    f = omit.globally_hidden
    try:
        f.__doc__ = 42
        assert f.__doc__ == 42
        del f.__doc__
        assert f.__doc__ is None
    finally:
        f.__doc__ = None


@pytest.mark.parametrize(
    "attr, value, message",
    [
        ("__name__", 3, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__dict__", 3, "setting function's dictionary to a non-dict"),
    ],
)
def test_assignment_type_errors(attr, value, message):
    f = omit.hide
    before = getattr(f, attr)
    info = fails(lambda: setattr(f, attr, value))
    assert str(info.value) == message
    assert getattr(f, attr) == before


@pytest.mark.parametrize(
    "attr, message",
    [
        ("__dict__", "function's dictionary may not be deleted"),
        ("__name__", "__name__ must be set to a string object"),
        ("__qualname__", "__qualname__ must be set to a string object"),
    ],
)
def test_deletion_errors(attr, message):
    info = fails(lambda: delattr(omit.hide, attr))
    assert str(info.value) == message


@pytest.mark.parametrize("attr", ["__globals__", "__code__", "__closure__"])
def test_read_only_attributes(attr):
    with pytest.raises(AttributeError):
        setattr(omit.hide, attr, None)


def test_defaults_reassignment_warns_and_leaves_binding_alone():
    f = Omitter.omit_recurse
    try:
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = (0,)
        assert f.__defaults__ == (0,)
        assert Omitter().omit_recurse(["a"]) == ["*"]
        with pytest.warns(RuntimeWarning):
            omit.hide.__defaults__ = ("abc",)
        info = fails(lambda: omit.hide())
        assert str(info.value) == "hide() takes exactly 1 positional argument (0 given)"
        with pytest.warns(RuntimeWarning):
            omit.hide.__kwdefaults__ = {"target": "abc"}
        assert omit.hide.__kwdefaults__ == {"target": "abc"}
        fails(lambda: omit.hide())
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = (1,)
            omit.hide.__defaults__ = None
            omit.hide.__kwdefaults__ = None
    assert f.__defaults__ == (1,) and omit.hide.__defaults__ is None


def test_renaming_does_not_change_messages_or_entries():
    hide, omit_fn = omit.hide, Omitter.omit
    try:
        hide.__name__ = hide.__qualname__ = "renamed"
        omit_fn.__name__ = omit_fn.__qualname__ = "Other.renamed"
        assert hide.__name__ == "renamed" and omit_fn.__qualname__ == "Other.renamed"
        info = fails(lambda: hide())
        assert str(info.value) == "hide() takes exactly 1 positional argument (0 given)"
        assert entries(info) == [HIDE]
        info = fails(lambda: Omitter().omit())
        assert str(info.value) == "omit() takes exactly 1 positional argument (0 given)"
        assert entries(info) == [OMIT]
        info = fails(lambda: Omitter.omit())
        assert str(info.value) == "omit() needs an argument"
    finally:
        hide.__name__ = hide.__qualname__ = "hide"
        omit_fn.__name__ = "omit"
        omit_fn.__qualname__ = "Omitter.omit"


def test_binding_as_method():
    o = Omitter(["k"])
    bound = o.omit
    assert inspect.ismethod(bound)
    assert bound.__self__ is o and bound.__func__ is Omitter.__dict__["omit"]
    assert bound({"k": "ab"}) == {"k": "**"}
    assert Omitter.omit is Omitter.__dict__["omit"]
    assert NoTrustOmitter.omit_recurse is Omitter.__dict__["omit_recurse"]
    assert NoTrustOmitter().omit.__func__ is Omitter.__dict__["omit"]
    assert Omitter.omit.__get__(None, Omitter) is Omitter.omit

    class Holder:
        h = omit.hide

    assert Holder.h is omit.hide
    assert inspect.ismethod(Holder().h)
    # the instance is passed as the first argument, exactly like a Python function
    info = fails(lambda: Holder().h())
    assert str(info.value) == ("Argument 'target' has incorrect type (expected str, got Holder)")
    info = fails(lambda: Holder().h("x"))
    assert str(info.value) == "hide() takes exactly 1 positional argument (2 given)"


FOREIGN_SELF_CALLS = [
    "Omitter.omit(1, {})",
    "Omitter.omit(None, {'k': 'v'})",
    "Omitter.omit('x', target={})",
    "Omitter.omit_recurse([], ['a'])",
    "Omitter.omit_recurse(object(), target=['a'], do=True)",
    "Omitter.__dict__['__reduce_cython__'](1)",
    "Omitter.__dict__['__setstate_cython__'](1, (None,))",
    "Omitter.__dict__['__setstate_cython__']({}, __pyx_state=None)",
    "NoTrustOmitter.__dict__['__reduce_cython__'](Omitter(['a']))",
    "NoTrustOmitter.__dict__['__setstate_cython__'](Omitter(['a']), (['x'], ['y']))",
    "NoTrustOmitter.__dict__['__setstate_cython__'](1, None)",
    "type('C', (), {'f': Omitter.omit})().f({'k': 'v'})",
]


@pytest.mark.parametrize("call", FOREIGN_SELF_CALLS)
def test_methods_refuse_foreign_instance(call):
    proc = run_python(
        f"""
        import zentrove.omit as omit
        from zentrove.omit import NoTrustOmitter, Omitter
        try:
            {call}
        except TypeError:
            print("refused")
        else:
            print("accepted")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "refused\n"
