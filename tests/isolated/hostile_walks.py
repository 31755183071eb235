"""Walks under Python code that raises or changes the data and the redactor
while the walk runs: key-list elements whose __eq__ raises or mutates, data
keys whose __hash__ raises, finalisers of replaced values, and `do` objects
whose __bool__ raises or mutates.

Usage: hostile_walks.py [case ...]; runs the named case_* functions (all by
default), prints "<case> ok" after each and "OK" at the end.  A walk either
completes or raises its exception with its traceback entries; it never
crashes or touches a slot past a list's end, and what it replaced before a
failure stays replaced.
"""

import ctypes
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import zentrove.omit as omit  # noqa: E402
from helpers import OMIT, RECURSE, Boom, RaisingEq, at, entries, failure, run_cases  # noqa: E402
from subclasses import Fresh  # noqa: E402
from zentrove.omit import NoTrustOmitter, Omitter  # noqa: E402

SIZE_CHANGED = "dictionary changed size during iteration"
LIST_CHANGED = "list changed size during iteration"


def in_omit(line):
    return at(line, "Omitter.omit")


def in_recurse(line):
    return at(line, "Omitter.omit_recurse")


class Once:
    """A key-list element that runs `action` at its first comparison and
    compares unequal to everything."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
        return False

    __hash__ = object.__hash__


class OnRelease:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def holding(action):
    """A dict that runs `action` when it is released."""
    return {"f": OnRelease(action)}


# ------------------------------------------------ key list: __eq__ raises


def case_equality_raises_for_a_string_value():
    data = {"pw": "abc", "user": "bob", "after": "xyz"}
    exc = failure(lambda: Omitter(["pw", RaisingEq()]).omit(data))
    assert type(exc) is Boom
    assert entries(exc) == [OMIT, in_omit(52), at(44, "Omitter.should_hide")]
    assert data == {"pw": "***", "user": "bob", "after": "xyz"}


def case_equality_raises_in_allow_mode():
    redactor = NoTrustOmitter.__new__(NoTrustOmitter)
    redactor.__setstate__((None, ["user", RaisingEq()]))  # in this order
    should_hide = at(85, "NoTrustOmitter.should_hide")
    data = {"user": "bob", "d": {"pw": "x"}, "l": ["abc"], "z": "zz"}
    exc = failure(lambda: redactor.omit(data))
    assert type(exc) is Boom
    assert entries(exc) == [OMIT, in_omit(56), in_omit(52), should_hide]  # the nested "pw"
    assert data == {"user": "bob", "d": {"pw": "x"}, "l": ["abc"], "z": "zz"}

    exc = failure(lambda: redactor.omit({"user": "bob", "l": ["abc"]}))
    assert entries(exc) == [OMIT, in_omit(58), should_hide]
    exc = failure(lambda: redactor.omit_recurse([["a"], {"k": "v"}]))
    assert entries(exc) == [RECURSE, in_recurse(68), in_omit(52), should_hide]


# ------------------------------------------- key list: __eq__ mutates data


def case_equality_grows_the_dict():
    # "pw" matches the first element; any other key reaches Once
    for data, pw_after in (({"b": "x", "pw": "abc"}, "abc"), ({"pw": "abc", "b": "x"}, "***")):
        redactor = Omitter(["pw", Once(lambda: data.__setitem__("new", "v"))])
        exc = failure(lambda: redactor.omit(data))
        assert type(exc) is RuntimeError and str(exc) == SIZE_CHANGED
        assert entries(exc) == [OMIT, in_omit(48)]
        assert data["pw"] == pw_after and data["new"] == "v"  # also on the last entry


def case_equality_shrinks_the_dict():
    data = {"a": "1", "b": "2", "c": "3", "d": "4"}
    redactor = Omitter([Once(lambda: [data.pop(k) for k in "bcd"]), "a"])
    exc = failure(lambda: redactor.omit(data))
    assert type(exc) is RuntimeError and str(exc) == SIZE_CHANGED
    assert data == {"a": "*"}

    data = {"a": "1", "b": "2"}
    exc = failure(lambda: Omitter([Once(data.clear), "a"]).omit(data))
    assert str(exc) == SIZE_CHANGED and data == {"a": "*"}  # stored back after the clear


def case_equality_replaces_values():
    data = {"a": "old", "b": "x", "c": "later"}

    def replace():
        data["a"] = "other value"
        data["c"] = {"a": "nested"}

    assert Omitter([Once(replace), "a", "c"]).omit(data) is data
    # the current entry gets the mask of the value read before the change;
    # entries after it are read when the walk reaches them
    assert data == {"a": "***", "b": "x", "c": {"a": "******"}}


def case_equality_removes_and_adds_a_key():
    data = {"a": "x", "b": "y", "c": "z"}

    def swap():
        del data["b"]
        data["e"] = "new"

    assert Omitter([Once(swap), "a", "b", "e"]).omit(data) == {"a": "*", "c": "z", "e": "***"}


def case_equality_shrinks_the_list_being_walked():
    # the store of the element whose walk emptied the list fails (line 68);
    # otherwise the read of the first element past the end (line 66)
    for keep, line in ((0, 68), (1, 66), (2, 66)):
        data = [{"k": "v"}, "s"] + ["t"] * 2000
        redactor = Omitter([Once(lambda: data.__delitem__(slice(keep, None))), "k"])
        exc = failure(lambda: redactor.omit_recurse(data))
        assert type(exc) is RuntimeError and str(exc) == LIST_CHANGED, exc
        assert entries(exc) == [RECURSE, in_recurse(line)]
        assert data == [{"k": "*"}, "*"][:keep], data


def case_equality_shrinks_an_outer_list():
    inner = [{"k": "v"}, "s"]
    data = ["a", inner, "b", "c"]
    redactor = Omitter([Once(lambda: data.clear()), "k"])
    exc = failure(lambda: redactor.omit_recurse(data))
    assert type(exc) is RuntimeError and str(exc) == LIST_CHANGED
    assert data == [] and inner == [{"k": "*"}, "*"]


def case_equality_grows_and_rewrites_the_list():
    data = [{"k": "v"}, "s", "t"]

    def change():
        data[1] = {"k": "w"}
        data.extend(["appended"] * 1000)

    assert Omitter([Once(change), "k"]).omit_recurse(data) is data
    assert data[:3] == [{"k": "*"}, {"k": "*"}, "*"]
    assert data[3:] == ["appended"] * 1000  # beyond the length taken at the start


def case_equality_replaces_the_element_being_walked():
    data = [{"k": "v"}, "s"]
    redactor = Omitter([Once(lambda: data.__setitem__(0, "gone")), "k"])
    assert redactor.omit_recurse(data) == [{"k": "*"}, "*"]  # the walk's result is stored


# --------------------------------------- key list: __eq__ mutates redactor


def case_equality_reruns_init_mid_scan():
    redactor = Omitter()
    redactor.__init__([Once(lambda: redactor.__init__(["b"])), "a"])
    data = {"a": "xx", "b": "yy", "c": "zz"}
    # the scan that ran __init__ finishes on the list it started with
    assert redactor.omit(data) == {"a": "**", "b": "**", "c": "zz"}


def case_equality_runs_setstate_mid_scan():
    redactor = NoTrustOmitter()
    redactor.__init__([Once(lambda: redactor.__setstate__((None, ["c"]))), "a"])
    data = {"a": "xx", "b": "yy", "c": "zz"}
    assert redactor.omit(data) == {"a": "xx", "b": "**", "c": "zz"}


def case_equality_empties_the_list_being_scanned():
    redactor = Omitter.__new__(Omitter)
    keys = []
    keys.extend([Once(keys.clear), "a", "b"])
    redactor.__setstate__((keys,))
    data = {"a": "xx", "b": "yy"}
    assert redactor.omit(data) == {"a": "xx", "b": "yy"}  # the scan stops at the end
    assert keys == []


def case_element_removes_itself_from_the_list():
    class Leaving:
        def __eq__(self, other):
            keys.remove(self)  # drops the list's reference while it runs
            return False

        __hash__ = object.__hash__

    keys = [Leaving(), "a"]
    redactor = Omitter.__new__(Omitter)
    redactor.__setstate__((keys,))
    # like `"a" in keys`: the element after the removed one is skipped once
    assert redactor.omit({"a": "x", "b": "y"}) == {"a": "x", "b": "y"}
    assert redactor.omit({"a": "x"}) == {"a": "*"}


# ------------------------------------- allow-list keys: __hash__ at __init__


class Hashing:
    """A key whose first hash runs `action`."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return 1


def trusted(redactor):
    return redactor.__reduce__()[2][1]


def case_trusted_keys_whose_hash_raises_or_mutates():
    class Raising:
        def __hash__(self):
            raise Boom("hash")

    init = at(82, "NoTrustOmitter.__init__")
    redactor = NoTrustOmitter(["kept"])
    exc = failure(lambda: redactor.__init__(["a", Raising()]))
    assert type(exc) is Boom and entries(exc) == [init]
    assert trusted(redactor) == ["kept"]

    given = ["a", None, "b"]
    given[1] = Hashing(given.clear)  # empties the list being read
    key = given[1]
    assert set(trusted(NoTrustOmitter(given))) == {"a", key} and given == []

    try:
        # the global list is replaced while it is read
        late = Hashing(lambda: (omit.reset_trusted(), omit.always_trust(["late"])))
        omit.always_trust(["g1", late, "g2"])
        assert set(trusted(NoTrustOmitter(["a"]))) == {"a", "g1", late, "g2"}
        assert omit.globally_trusted() == ["late"]
        omit.always_trust([Raising()])
        exc = failure(NoTrustOmitter)
        assert type(exc) is Boom and entries(exc) == [init]
    finally:
        omit.reset_trusted()

    redactor = NoTrustOmitter(["z"])
    inner = Hashing(lambda: redactor.__init__(["inner"]))  # re-entered
    redactor.__init__(["a", inner])
    assert set(trusted(redactor)) == {"a", inner}


# -------------------------------------------------------- data keys


def case_data_key_whose_hash_raises_at_the_store():
    class Key:
        calls = 0

        def __hash__(self):
            Key.calls += 1
            if Key.calls > 1:
                raise Boom("hash")
            return 1

    data = {"pw": "abc", Key(): {"pw": "x"}, "after": "y"}
    exc = failure(lambda: Omitter(["pw", "after"]).omit(data))
    assert type(exc) is Boom and entries(exc) == [OMIT, in_omit(56)]
    assert data["pw"] == "***" and data["after"] == "y"


def case_data_key_whose_hash_grows_the_dict():
    class Key:
        def __init__(self):
            self.calls = 0

        def __hash__(self):
            self.calls += 1
            if self.calls == 2:
                data["new"] = "v"
            return 7

    data = {Key(): {"pw": "x"}, "pw": "abc"}
    exc = failure(lambda: Omitter(["pw"]).omit(data))
    assert type(exc) is RuntimeError and str(exc) == SIZE_CHANGED


# ------------------------------------------- finalisers of replaced values


def case_finaliser_shrinks_the_list():
    data = [None, "s"] + ["t"] * 2000
    data[0] = holding(lambda: data.__delitem__(slice(1, None)))
    exc = failure(lambda: Fresh(["x"]).omit_recurse(data))
    assert type(exc) is RuntimeError and str(exc) == LIST_CHANGED
    assert data == [{}]  # stored before the old element was released

    data = [None, "s", "t"]
    data[0] = holding(data.clear)
    exc = failure(lambda: Fresh(["x"]).omit_recurse(data))
    assert str(exc) == LIST_CHANGED and data == []


def case_finaliser_grows_the_dict():
    data = {"n": None, "pw": "abc"}
    data["n"] = holding(lambda: data.__setitem__("new", 1))
    exc = failure(lambda: Omitter.omit(Fresh(["pw"]), data))
    assert type(exc) is RuntimeError and str(exc) == SIZE_CHANGED
    assert data["n"] == {} and data["pw"] == "abc"


def case_finaliser_replaces_the_redactor_list():
    redactor = Fresh(["a"])
    data = {"n": None, "a": "xx", "b": "yy"}
    data["n"] = holding(lambda: redactor.__init__(["b"]))
    assert Omitter.omit(redactor, data) == {"n": {}, "a": "xx", "b": "**"}


def case_finaliser_raises():
    def fail():
        raise Boom("in __del__")

    data = [None, "s"]
    data[0] = holding(fail)
    hook_calls = []
    sys.unraisablehook = lambda u: hook_calls.append(type(u.exc_value))
    try:
        assert Fresh(["x"]).omit_recurse(data) == [{}, "*"]
    finally:
        sys.unraisablehook = sys.__unraisablehook__
    assert hook_calls == [Boom]  # reported as unraisable, the walk goes on


# --------------------------------------------------------- do objects


def case_do_whose_bool_raises():
    class Raising:
        def __bool__(self):
            raise Boom("bool")

    data = ["a"]
    exc = failure(lambda: Omitter().omit_recurse(data, Raising()))
    assert type(exc) is Boom and entries(exc) == [RECURSE]
    assert data == ["a"]


def case_do_whose_bool_returns_an_int():
    class Int:
        def __bool__(self):
            return 1

    exc = failure(lambda: Omitter().omit_recurse(["a"], Int()))
    assert type(exc) is TypeError and str(exc) == "__bool__ should return bool, returned int"


def case_do_whose_bool_mutates():
    data = ["a", {"k": "v"}, "b"]

    class Clearing:
        def __bool__(self):
            data.clear()
            return True

    assert Omitter(["k"]).omit_recurse(data, Clearing()) == []

    redactor = Omitter(["x"])
    data = ["a", {"k": "v"}]

    class Reinit:
        def __bool__(self):
            redactor.__init__(["k"])
            data.append(["late"])
            return False

    assert redactor.omit_recurse(data, Reinit()) == ["a", {"k": "*"}, ["late"]]


# ------------------------------- Python code run inside the module's calls


def collecting_inside(action, call):
    """call() with the collector due at the call's first allocation of a
    collected object, where a gc callback runs `action` once."""
    fired = []

    def callback(phase, info):
        if phase == "start" and armed and not fired:
            fired.append(1)
            action()

    armed = []
    gc.disable()
    gc.callbacks.append(callback)
    threshold = gc.get_threshold()
    hold = [[] for _ in range(300)]  # empties the free list of lists
    gc.set_threshold(1)
    try:
        armed.append(hold)
        gc.enable()
        result = call()
    finally:
        gc.disable()
        gc.callbacks.remove(callback)
        gc.set_threshold(*threshold)
        gc.enable()
    assert fired == [1], "the collector did not start inside the call"
    return result


KEYS = [f"k{i}-" + "x" * 600 for i in range(50)]


class Named(str):
    """A keyword name whose comparison runs `Named.action` once."""

    action = None
    __hash__ = str.__hash__

    def __eq__(self, other):
        action, Named.action = Named.action, None
        if action is not None:
            action()
        return str.__eq__(self, other)


def keyword_resets(reset, name):
    Named.action = reset
    return {Named(name): ["new"]}


# What the functions made by no_result_function point into, kept for good.
_DEFINITIONS = []


def no_result_function():
    """A built-in function that returns NULL without setting an exception:
    PyErr_Occurred called through the fast-call convention."""

    class MethodDef(ctypes.Structure):
        _fields_ = [
            ("name", ctypes.c_char_p),
            ("meth", ctypes.c_void_p),
            ("flags", ctypes.c_int),
            ("doc", ctypes.c_char_p),
        ]

    definition = MethodDef(
        b"no_result", ctypes.cast(ctypes.pythonapi.PyErr_Occurred, ctypes.c_void_p), 0x80, None
    )
    new = ctypes.pythonapi.PyCFunction_NewEx
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object]
    _DEFINITIONS.append(definition)
    return new(ctypes.addressof(definition), None, None)


def case_python_code_inside_the_calls():
    def snapshot(extend, read, reset):
        extend(KEYS)
        assert collecting_inside(reset, read) == KEYS  # the list as the call found it
        assert read() == []

    snapshot(omit.always_omit, omit.globally_hidden, omit.reset_omissions)
    snapshot(omit.always_trust, omit.globally_trusted, omit.reset_trusted)

    omit.always_omit(KEYS)
    redactor = Omitter.__new__(Omitter)
    collecting_inside(omit.reset_omissions, redactor.__init__)
    assert redactor.__reduce__()[2] == (KEYS,)  # copied once, merged with the new list

    omit.always_trust(KEYS)
    redactor = NoTrustOmitter.__new__(NoTrustOmitter)
    collecting_inside(omit.reset_trusted, redactor.__init__)
    assert sorted(redactor.__reduce__()[2][1]) == sorted(KEYS)

    for extend, read, reset, name in (
        (omit.always_omit, omit.globally_hidden, omit.reset_omissions, "targets"),
        (omit.always_trust, omit.globally_trusted, omit.reset_trusted, "targets"),
    ):
        extend(KEYS[:20])
        extend(**keyword_resets(reset, name))  # extends the list bound after binding
        assert read() == ["new"]


def case_walks_store_what_they_computed():
    outer = [{"k": "v"}]

    class Evil:
        def __eq__(self, other):
            outer[0] = "replaced"
            return False

        __hash__ = object.__hash__

    assert Omitter([Evil()]).omit_recurse(outer, False) == [{"k": "v"}]

    class Collides:
        """Hashes as "a" and counts its comparisons."""

        calls = 0

        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            Collides.calls += 1
            return False

    def sample():
        return {Collides(): 1, "a": {"x": "y"}, "b": ["z"]}

    # the walk stores under "a" and "b" as Python code would
    twin = sample()
    stored = twin["a"], ["*"]
    Collides.calls = 0
    twin["a"], twin["b"] = stored
    expected, Collides.calls = Collides.calls, 0
    data = sample()
    Collides.calls = 0
    assert Omitter(["b"]).omit(data) is data
    assert Collides.calls == expected >= 1
    assert (data["a"], data["b"]) == stored

    class Swap(Omitter):
        def omit(self, target):
            data["n"] = "other"
            return target

    inner = {"p": "x"}
    data = {"n": inner}
    assert Omitter.omit(Swap(), data) == {"n": inner} and data["n"] is inner

    for returns_new in (True, False):

        class Empties(Omitter):
            def omit(self, target):
                data.clear()
                return {} if returns_new else target

        data = [{"p": "x"}, "s", "t"]
        exc = failure(lambda: Omitter.omit_recurse(Empties(), data))
        assert type(exc) is RuntimeError and str(exc) == LIST_CHANGED
        assert entries(exc) == [RECURSE, in_recurse(68)]
        assert data == []


def case_override_without_result_or_exception():
    function = no_result_function()

    class Silent(Omitter):
        omit = function
        omit_recurse = function

    for call, expected in (
        (lambda: Omitter.omit(Silent(), {"a": {}}), [OMIT, in_omit(56), OMIT]),
        (lambda: Omitter.omit_recurse(Silent(), [[]]), [RECURSE, in_recurse(70), RECURSE]),
    ):
        exc = failure(call)
        assert type(exc) is SystemError, exc
        assert str(exc) == "NULL result without error in PyObject_Call"
        assert entries(exc) == expected


if __name__ == "__main__":
    if "PYTHONMALLOC" not in os.environ:  # the debug allocator catches stray writes
        os.execve(
            sys.executable, [sys.executable] + sys.argv, dict(os.environ, PYTHONMALLOC="debug")
        )
    run_cases(globals(), sys.argv[1:])
