"""hide() and the process-wide deny- and allow-lists."""

import importlib.util
import pickle
import weakref

import pytest

import zentrove.omit as omit
from helpers import SRC, Keys, Text, entries, run_python

# ---------------------------------------------------------------- hide


@pytest.mark.parametrize(
    "value, expected",
    [
        ("", ""),
        ("abc", "***"),
        ("a", "*"),
        ("*", "*"),
        ("\u00e9\u00e8\u00ea", "***"),  # two-byte UTF-8 letters count once
        ("\U0001f600", "*"),  # outside the BMP: one code point
        ("\U0001f600\u4e2dx", "***"),
        ("line\nbreak\x00", "*" * 11),
        ("x" * 10_000, "*" * 10_000),
    ],
)
def test_hide_masks_by_code_point_length(value, expected):
    assert omit.hide(value) == expected
    assert omit.hide(target=value) == expected
    assert type(omit.hide(value)) is str


def test_hide_ten_byte_string_of_eight_code_points():
    value = "h\u00e9llo w\u00f6"
    assert len(value) == 8 and len(value.encode()) == 10
    assert omit.hide(value) == "********"


def test_hide_leaves_its_argument_alone():
    value = "secret"
    assert omit.hide(value) == "******"
    assert value == "secret"


@pytest.mark.parametrize("call", [lambda: omit.hide(None), lambda: omit.hide(target=None)])
def test_hide_none(call):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == "object of type 'NoneType' has no len()"
    assert entries(excinfo) == [
        (SRC, 8, "zentrove.omit.hide"),
        (SRC, 10, "zentrove.omit.hide"),
    ]


@pytest.mark.parametrize(
    "value, type_name",
    [(Text("abc"), "Text"), (b"abc", "bytes"), (1, "int"), (["a"], "list")],
)
def test_hide_refuses_anything_but_exact_str(value, type_name):
    with pytest.raises(TypeError) as excinfo:
        omit.hide(value)
    assert str(excinfo.value) == (
        f"Argument 'target' has incorrect type (expected str, got {type_name})"
    )
    assert entries(excinfo) == []


def test_rebinding_module_hide_does_not_change_walks(monkeypatch):
    monkeypatch.setattr(omit, "hide", lambda target: "REPLACED")
    assert omit.Omitter(["pw"]).omit({"pw": "abc"}) == {"pw": "***"}


# ---------------------------------------------------------- binding errors


def _arity(name, given):
    return f"{name}() takes exactly 1 positional argument ({given} given)"


@pytest.mark.parametrize(
    "name, line, param",
    [("hide", 8, "target"), ("always_omit", 16, "targets"), ("always_trust", 23, "targets")],
)
@pytest.mark.parametrize(
    "make_call, message",
    [
        (lambda f, p, v: f(), lambda n, p: _arity(n, 0)),
        (lambda f, p, v: f(v, v), lambda n, p: _arity(n, 2)),
        (lambda f, p, v: f(v, v, v), lambda n, p: _arity(n, 3)),
        # a stray keyword alone reports the missing argument first
        (lambda f, p, v: f(other=v), lambda n, p: _arity(n, 0)),
        (
            lambda f, p, v: f(v, other=v),
            lambda n, p: f"{n}() got an unexpected keyword argument 'other'",
        ),
        (
            lambda f, p, v: f(**{p: v, "other": v}),
            lambda n, p: f"{n}() got an unexpected keyword argument 'other'",
        ),
        (
            lambda f, p, v: f(v, **{p: v}),
            lambda n, p: f"{n}() got multiple values for keyword argument '{p}'",
        ),
    ],
)
def test_one_argument_binding_failures(name, line, param, make_call, message):
    func = getattr(omit, name)
    value = "abc" if name == "hide" else ["k"]
    with pytest.raises(TypeError) as excinfo:
        make_call(func, param, value)
    assert str(excinfo.value) == message(name, param)
    # one entry at the definition line, nothing else
    assert entries(excinfo) == [(SRC, line, f"zentrove.omit.{name}")]
    assert omit.globally_hidden() == [] and omit.globally_trusted() == []


@pytest.mark.parametrize(
    "name", ["globally_hidden", "globally_trusted", "reset_omissions", "reset_trusted"]
)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "{}() takes no arguments (1 given)"),
        ((1, 2), {}, "{}() takes no arguments (2 given)"),
        ((None,), {}, "{}() takes no arguments (1 given)"),
        ((), {"x": 1}, "{}() takes no keyword arguments"),
        ((1,), {"x": 1}, "{}() takes no keyword arguments"),
    ],
)
def test_no_argument_functions_refuse_arguments(name, args, kwargs, message):
    omit.always_omit(["o"])
    omit.always_trust(["t"])
    with pytest.raises(TypeError) as excinfo:
        getattr(omit, name)(*args, **kwargs)
    assert str(excinfo.value) == message.format(name)
    assert entries(excinfo) == []
    # a refused reset resets nothing
    assert omit.globally_hidden() == ["o"]
    assert omit.globally_trusted() == ["t"]


# ------------------------------------------------------ always_omit / trust

LISTS = [
    (omit.always_omit, omit.globally_hidden, omit.reset_omissions),
    (omit.always_trust, omit.globally_trusted, omit.reset_trusted),
]
OTHER = {omit.globally_hidden: omit.globally_trusted, omit.globally_trusted: omit.globally_hidden}
LIST_IDS = ["deny", "allow"]


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_extend_keeps_order_and_duplicates(add, read, reset):
    assert read() == []
    assert add(["a", "b"]) is None
    assert read() == ["a", "b"]
    assert add(targets=["a"]) is None
    assert read() == ["a", "b", "a"]
    assert OTHER[read]() == []


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_extend_appends_elements_not_the_list(add, read, reset):
    one, nothing, key = 1, None, ("t", 1)
    given = [one, nothing, key]
    add(given)
    got = read()
    assert got == [1, None, ("t", 1)]
    assert got[2] is key
    # the caller's list is not kept
    given.append("late")
    given[0] = "changed"
    assert read() == [1, None, ("t", 1)]


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_extend_with_empty_list(add, read, reset):
    add(["x"])
    assert add([]) is None
    assert read() == ["x"]


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_extend_from_a_copy_of_itself(add, read, reset):
    add(["a", "b"])
    add(read())
    assert read() == ["a", "b", "a", "b"]


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
@pytest.mark.parametrize(
    "value, type_name",
    [(("a",), "tuple"), (Keys(["a"]), "Keys"), ({"a": 1}, "dict"), ("ab", "str")],
)
def test_extend_refuses_anything_but_exact_list(add, read, reset, value, type_name):
    add(["keep"])
    with pytest.raises(TypeError) as excinfo:
        add(value)
    assert str(excinfo.value) == (
        f"Argument 'targets' has incorrect type (expected list, got {type_name})"
    )
    assert entries(excinfo) == []
    assert read() == ["keep"]


@pytest.mark.parametrize(
    "add, read, line",
    [
        (omit.always_omit, omit.globally_hidden, 16),
        (omit.always_trust, omit.globally_trusted, 23),
    ],
    ids=LIST_IDS,
)
def test_extend_with_none(add, read, line):
    add(["keep"])
    with pytest.raises(TypeError) as excinfo:
        add(None)
    with pytest.raises(TypeError) as reference:
        [].extend(None)
    assert str(excinfo.value) == str(reference.value) == "'NoneType' object is not iterable"
    assert entries(excinfo) == [
        (SRC, line, f"zentrove.omit.{add.__name__}"),
        (SRC, line + 2, f"zentrove.omit.{add.__name__}"),
    ]
    assert read() == ["keep"]


# ---------------------------------------------------------- reads and resets


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_reads_are_independent_copies(add, read, reset):
    add(["a"])
    first, second = read(), read()
    assert first == second == ["a"]
    assert first is not second
    assert type(first) is list
    first.append("mine")
    first[0] = "changed"
    assert read() == ["a"]
    add(["b"])
    assert second == ["a"]
    reset()
    assert second == ["a"]
    assert read() == []


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_reset_touches_only_its_own_list(add, read, reset):
    omit.always_omit(["o1", "o2"])
    omit.always_trust(["t1"])
    assert reset() is None
    assert read() == []
    assert OTHER[read]() == (["t1"] if read is omit.globally_hidden else ["o1", "o2"])
    # resetting an empty list is fine too
    assert reset() is None
    assert read() == []
    add(["again"])
    assert read() == ["again"]


@pytest.mark.parametrize("add, read, reset", LISTS, ids=LIST_IDS)
def test_reset_releases_the_old_keys(add, read, reset):
    class Key:
        pass

    key = Key()
    ref = weakref.ref(key)
    add([key])
    del key
    assert ref() is not None
    reset()
    assert ref() is None


def test_reset_binds_new_list_before_releasing_old():
    # A key's finaliser runs while the old list is freed; by then the
    # module must already hand out the new, empty list.
    proc = run_python(
        """
        import zentrove.omit as omit
        seen = []
        class Key:
            def __del__(self):
                seen.append((omit.globally_hidden(), omit.globally_trusted()))
        omit.always_omit([Key()])
        omit.always_trust(["t"])
        omit.reset_omissions()
        print(seen)
        seen.clear()
        omit.always_trust([Key()])
        omit.reset_trusted()
        print(seen)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["[([], ['t'])]", "[([], [])]"]


# --------------------------------------------------------- snapshot contract


def test_omitter_takes_a_snapshot_of_the_deny_list():
    data = lambda: {"k": "abc", "other": "xyz"}  # noqa: E731
    before = omit.Omitter([])
    omit.always_omit(["k"])
    after = omit.Omitter([])
    assert before.omit(data()) == {"k": "abc", "other": "xyz"}
    assert after.omit(data()) == {"k": "***", "other": "xyz"}
    omit.reset_omissions()
    assert after.omit(data()) == {"k": "***", "other": "xyz"}
    assert omit.Omitter([]).omit(data()) == {"k": "abc", "other": "xyz"}


def test_no_trust_omitter_takes_a_snapshot_of_the_allow_list():
    data = lambda: {"k": "abc", "other": "xyz"}  # noqa: E731
    before = omit.NoTrustOmitter([])
    omit.always_trust(["k"])
    after = omit.NoTrustOmitter([])
    assert before.omit(data()) == {"k": "***", "other": "***"}
    assert after.omit(data()) == {"k": "abc", "other": "***"}
    omit.reset_trusted()
    assert after.omit(data()) == {"k": "abc", "other": "***"}
    assert omit.NoTrustOmitter().omit(data()) == {"k": "***", "other": "***"}


def test_each_redactor_reads_only_its_own_global_list():
    omit.always_trust(["k"])
    assert omit.Omitter().omit({"k": "abc"}) == {"k": "abc"}
    omit.reset_trusted()
    omit.always_omit(["k"])
    assert omit.NoTrustOmitter().omit({"k": "abc"}) == {"k": "***"}


@pytest.mark.parametrize("cls", [omit.Omitter, omit.NoTrustOmitter])
@pytest.mark.parametrize("given", [None, [], ["k", "a"]])
def test_construction_never_changes_the_global_lists(cls, given):
    omit.always_omit(["k"])
    omit.always_trust(["k"])
    obj = cls(given)
    obj.omit({"k": "v", "a": ["b"], "n": {"k": "c"}})
    assert omit.globally_hidden() == ["k"]
    assert omit.globally_trusted() == ["k"]
    if given is not None:
        assert given == (["k", "a"] if given else [])


def test_omitter_merges_global_keys_into_its_copy():
    omit.always_omit(["k"])
    assert omit.Omitter().__reduce__()[2] == (["k", "k"],)
    assert omit.Omitter(["a"]).__reduce__()[2] == (["a", "k"],)
    # the allow-list comes from the other global list, and holds each key once
    omissions, trusted = omit.NoTrustOmitter(["k", "a", "a"]).__reduce__()[2]
    assert omissions is None and sorted(trusted) == ["a", "k"]
    omit.always_trust(["t", "k"])
    omissions, trusted = omit.NoTrustOmitter(["k"]).__reduce__()[2]
    assert omissions is None and sorted(trusted) == ["k", "t"]


def test_loading_a_pickle_reads_no_global_list():
    data = pickle.dumps(omit.Omitter(["a"]))
    trusting = pickle.dumps(omit.NoTrustOmitter(["a"]))
    omit.always_omit(["late"])
    omit.always_trust(["late"])
    loaded = pickle.loads(data)
    assert loaded.omit({"a": "1", "late": "22"}) == {"a": "*", "late": "22"}
    loaded = pickle.loads(trusting)
    assert loaded.omit({"a": "1", "late": "22"}) == {"a": "1", "late": "**"}
    assert omit.globally_hidden() == ["late"]


# ------------------------------------------------------------- traceback cache


def test_entries_keep_their_own_file_after_pickling_failures():
    with pytest.raises(TypeError):
        omit.Omitter().__setstate_cython__()
    with pytest.raises(TypeError) as excinfo:
        omit.always_omit()
    assert entries(excinfo) == [(SRC, 16, "zentrove.omit.always_omit")]


# ----------------------------------------------------------- memory exhaustion

NOMEM = """
import traceback
import _testcapi
import zentrove.omit as omit

def attempt(call):
    _testcapi.set_nomemory(0, 1)
    try:
        call()
    except MemoryError as exc:
        _testcapi.remove_mem_hooks()
        tb = traceback.extract_tb(exc.__traceback__)
        print([(f.lineno, f.name) for f in tb if f.filename == "src/zentrove/omit"])
    else:
        _testcapi.remove_mem_hooks()
        print("no error")
"""


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
@pytest.mark.parametrize(
    "setup, call, expected, after",
    [
        ("", "omit.hide('abcdefgh' * 4)", [(8, "hide"), (11, "hide")], "[]"),
        (
            "omit.always_omit(['a', 'b'])",
            "omit.globally_hidden()",
            [(13, "globally_hidden"), (14, "globally_hidden")],
            "['a', 'b']",
        ),
        (
            "omit.always_trust(['a', 'b'])",
            "omit.globally_trusted()",
            [(20, "globally_trusted"), (21, "globally_trusted")],
            "['a', 'b']",
        ),
        (
            "omit.always_omit(['a']); big = list(range(100))",
            "omit.always_omit(big)",
            [(16, "always_omit"), (18, "always_omit")],
            "['a']",
        ),
        (
            "omit.always_trust(['a']); big = list(range(100))",
            "omit.always_trust(big)",
            [(23, "always_trust"), (25, "always_trust")],
            "['a']",
        ),
        # keep many lists alive so the new empty list cannot come from a free list
        (
            "omit.always_omit(['a']); hold = [[] for _ in range(200)]",
            "omit.reset_omissions()",
            [(27, "reset_omissions"), (29, "reset_omissions")],
            "['a']",
        ),
        (
            "omit.always_trust(['a']); hold = [[] for _ in range(200)]",
            "omit.reset_trusted()",
            [(31, "reset_trusted"), (33, "reset_trusted")],
            "['a']",
        ),
    ],
    ids=[
        "hide",
        "globally_hidden",
        "globally_trusted",
        "always_omit",
        "always_trust",
        "reset_omissions",
        "reset_trusted",
    ],
)
def test_memory_exhaustion(setup, call, expected, after):
    reader = "globally_trusted" if "trust" in call else "globally_hidden"
    proc = run_python(NOMEM + f"{setup}\nattempt(lambda: {call})\nprint(omit.{reader}())\n")
    assert proc.returncode == 0, proc.stderr
    shown = [(line, f"zentrove.omit.{name}") for line, name in expected]
    assert proc.stdout.splitlines() == [repr(shown), after]
