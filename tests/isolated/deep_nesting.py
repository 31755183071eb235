"""Nesting a million levels deep, and containers that contain themselves.

Usage: deep_nesting.py [case ...]; runs the named case_* functions (all by
default), prints "<case> ok" after each and "OK" at the end.  The walks must
end in RecursionError, keep what they replaced on the way down, leave the
interpreter's recursion depth as they found it, and work normally afterwards.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from helpers import run_cases  # noqa: E402
from subclasses import Overriding  # noqa: E402
from zentrove.omit import NoTrustOmitter, Omitter  # noqa: E402

LEVELS = 10**6
MESSAGE = "maximum recursion depth exceeded while redacting nested data"


def chain(levels, make):
    """A chain of `levels` containers; make(inner) builds one level."""
    data = None
    for _ in range(levels):
        data = make(data)
    return data


def expect_recursion_error(redactor, call):
    """The walk's own RecursionError, or the interpreter's when the limit is
    reached in the Python code of an override."""
    try:
        call()
    except RecursionError as exc:
        if type(redactor) is Overriding:
            assert str(exc).startswith("maximum recursion depth exceeded"), str(exc)
        else:
            assert str(exc) == MESSAGE, str(exc)
    else:
        raise AssertionError("no RecursionError")


def still_usable():
    """The recursion depth was given back: Python code can recurse to just
    below the limit, and a walk works as usual."""
    limit = sys.getrecursionlimit()

    def down(n):
        return 0 if n == 0 else 1 + down(n - 1)

    assert down(limit - 50) == limit - 50
    data = {"pw": "secret", "l": [{"pw": "x"}, "y"], "user": "bob"}
    assert Omitter(["pw"]).omit(data) == {"pw": "******", "l": [{"pw": "*"}, "y"], "user": "bob"}
    assert NoTrustOmitter(["user", "l"]).omit(data)["user"] == "bob"


def case_million_nested_dicts():
    data = chain(LEVELS, lambda inner: {"pw": "secret", "next": inner})
    for redactor in (Omitter(["pw"]), NoTrustOmitter(["next"]), Overriding(["pw"])):
        expect_recursion_error(redactor, lambda: redactor.omit(data))
    # each level masked its own string before it went one level down
    assert data["pw"] == "******" and data["next"]["next"]["pw"] == "******"
    still_usable()


def case_million_nested_lists():
    data = chain(LEVELS, lambda inner: ["secret", inner])
    for redactor in (Omitter(["pw"]), NoTrustOmitter(), Overriding()):
        expect_recursion_error(redactor, lambda: redactor.omit_recurse(data))
        expect_recursion_error(redactor, lambda: redactor.omit({"pw": data}))
    assert data[0] == "******" and data[1][1][0] == "******"
    still_usable()


def case_million_levels_of_dicts_and_lists():
    data = chain(LEVELS // 2, lambda inner: {"pw": [inner, "secret"]})
    for redactor in (Omitter(["pw"]), NoTrustOmitter(), Overriding(["pw"])):
        expect_recursion_error(redactor, lambda: redactor.omit(data))
    assert data["pw"][1] == "secret"  # never reached: the list went down first
    still_usable()


def case_list_that_contains_itself():
    data = ["secret", {"pw": "abc"}]
    data.append(data)
    for redactor in (Omitter(["pw"]), NoTrustOmitter(), Overriding(["pw"])):
        expect_recursion_error(redactor, lambda: redactor.omit_recurse(data))
    assert data[:2] == ["******", {"pw": "***"}] and data[2] is data
    still_usable()


def case_dict_that_contains_itself():
    data = {"pw": "secret"}
    data["self"] = data
    data["after"] = "late"
    for redactor in (Omitter(["pw", "after"]), NoTrustOmitter(), Overriding(["pw"])):
        expect_recursion_error(redactor, lambda: redactor.omit(data))
    assert data == {"pw": "******", "self": data, "after": "late"}
    outer = {"l": [data]}  # through a list as well
    expect_recursion_error(Omitter(), lambda: Omitter().omit(outer))
    still_usable()


def case_walk_started_near_the_recursion_limit():
    data = chain(40, lambda inner: {"pw": "x", "next": inner})
    limit = sys.getrecursionlimit()
    outcomes = []

    def at_depth(n):
        if n:
            return at_depth(n - 1)
        try:
            Omitter(["pw"]).omit(data)
            outcomes.append("done")
        except RecursionError:
            outcomes.append("RecursionError")

    for depth in range(limit - 60, limit - 5, 5):
        at_depth(depth)
    assert outcomes[0] == "done" and outcomes[-1] == "RecursionError", outcomes
    still_usable()


if __name__ == "__main__":
    run_cases(globals(), sys.argv[1:])
