"""The override rule: Python subclasses of Omitter that replace omit or
omit_recurse, for the top level and for every nested container."""

import collections

import pytest

import helpers
from helpers import OMIT, RECURSE, entries
from zentrove.omit import Omitter


def at(line, method="omit"):
    return helpers.at(line, "Omitter." + method)


def test_omit_override_called_for_every_nested_dict():
    seen = []

    class Spy(Omitter):
        def omit(self, target):
            seen.append(target)
            return Omitter.omit(self, target)

    data = {"a": {"b": {"p": "x"}}, "l": [{"p": "y"}, [{"p": "zz"}]], "p": "w"}
    expected = [data["a"], data["a"]["b"], data["l"][0], data["l"][1][0]]
    assert Omitter.omit(Spy(["p"]), data) is data
    assert [id(d) for d in seen] == [id(d) for d in expected]
    assert data == {"a": {"b": {"p": "*"}}, "l": [{"p": "*"}, [{"p": "**"}]], "p": "*"}

    seen.clear()
    Spy(["p"]).omit(data)  # from Python the override runs for the top level too
    assert [id(d) for d in seen] == [id(data)] + [id(d) for d in expected]


def test_override_returning_none_is_stored():
    class Drop(Omitter):
        def omit(self, target):
            return None

        def omit_recurse(self, target, do):
            return None

    data = {"a": {"p": "x"}, "l": ["y"], "p": "z"}
    assert Omitter.omit(Drop(["p"]), data) == {"a": None, "l": None, "p": "*"}
    target = [{"p": "x"}, ["y"], "w"]
    assert Omitter.omit_recurse(Drop(["p"]), target) == [None, None, "*"]


def test_omit_recurse_override_gets_the_flag_objects():
    calls = []

    class Spy(Omitter):
        def omit_recurse(self, target, do):
            calls.append((target, do))
            return Omitter.omit_recurse(self, target, do)

    data = {"p": ["a", ["b"]], "q": ["c", [{"p": ["d"]}]]}
    Omitter.omit(Spy(["p"]), data)
    assert data == {"p": ["*", ["*"]], "q": ["c", [{"p": ["*"]}]]}
    expected = [
        (data["p"], True),
        (data["p"][1], True),
        (data["q"], False),
        (data["q"][1], False),
        (data["q"][1][0]["p"], True),
    ]
    assert [(id(t), d) for t, d in calls] == [(id(t), d) for t, d in expected]
    assert all(type(d) is bool for _, d in calls)

    calls.clear()
    Omitter.omit_recurse(Spy(), [["x"]], 0)
    assert calls[0][1] is False


@pytest.mark.parametrize(
    "make_call, message, expected",
    [
        (lambda o: Omitter.omit(o, {"a": {}}), "Expected dict, got list", [OMIT, at(56), OMIT]),
        (
            lambda o: Omitter.omit(o, {"a": {"ordered": 1}}),
            "Expected dict, got collections.OrderedDict",
            [OMIT, at(56), OMIT],
        ),
        (
            lambda o: Omitter.omit_recurse(o, [{}]),
            "Expected dict, got list",
            [RECURSE, at(68, "omit_recurse"), OMIT],
        ),
        (lambda o: Omitter.omit(o, {"p": []}), "Expected list, got dict", [OMIT, at(59), RECURSE]),
        (
            lambda o: Omitter.omit_recurse(o, [[]]),
            "Expected list, got dict",
            [RECURSE, at(70, "omit_recurse"), RECURSE],
        ),
    ],
)
def test_override_result_of_wrong_type(make_call, message, expected):
    class Wrong(Omitter):
        def omit(self, target):
            return collections.OrderedDict(target) if target else [target]

        def omit_recurse(self, target, do):
            return {}

    with pytest.raises(TypeError) as excinfo:
        make_call(Wrong(["p"]))
    assert str(excinfo.value) == message
    assert entries(excinfo) == expected


def test_override_errors_propagate():
    class Raising(Omitter):
        def omit(self, target):
            raise KeyError("inner")

    class Unreadable(Omitter):
        def __getattribute__(self, name):
            if name == "omit":
                raise LookupError("lookup")
            return object.__getattribute__(self, name)

    for redactor, exc_type in ((Raising(), KeyError), (Unreadable(), LookupError)):
        data = {"p": "ab", "n": {}}
        with pytest.raises(exc_type) as excinfo:
            Omitter.omit(redactor, data)
        assert entries(excinfo) == [OMIT, at(56), OMIT]
        assert data == {"p": "ab", "n": {}}


def test_subclass_without_override_walks_like_omitter():
    class Plain(Omitter):
        pass

    def sample():
        return {"p": "ab", "l": ["cd", {"p": "e", "q": "f"}, ["g"]], "n": {"p": ["h"], 1: 2}}

    assert Plain(["p"]).omit(sample()) == Omitter(["p"]).omit(sample())
    assert Plain(["p"]).omit_recurse([sample()], False) == [Omitter(["p"]).omit(sample())]


def test_instance_attribute_override_followed_after_each_change():
    class Open(Omitter):
        pass

    redactor = Open(["p"])
    sample = lambda: {"a": {"p": "x"}}  # noqa: E731
    redactor.omit = Omitter.omit  # the module's own method: no override
    assert Omitter.omit(redactor, sample()) == {"a": {"p": "*"}}
    assert Omitter.omit(redactor, sample()) == {"a": {"p": "*"}}
    redactor.omit = lambda target: None
    assert Omitter.omit(redactor, sample()) == {"a": None}
    redactor.omit = Omitter.omit
    assert Omitter.omit(redactor, sample()) == {"a": {"p": "*"}}
    del redactor.omit
    assert Omitter.omit(redactor, sample()) == {"a": {"p": "*"}}
    redactor.omit = 5
    with pytest.raises(TypeError, match="^'int' object is not callable$"):
        Omitter.omit(redactor, sample())
