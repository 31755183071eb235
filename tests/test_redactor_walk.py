"""zentrove.Redactor's walks: redact (in place), redacted (copy) and report."""

import copy
import json
import re
import sys
import types
from collections import Counter, OrderedDict, UserDict, UserList, defaultdict, deque, namedtuple
from collections.abc import Mapping, Sequence

import pytest
from hypothesis import given
from hypothesis import strategies as st

from helpers import assert_no_leak, raising, run_isolated, run_python
from redactor_model import Model
from zentrove import Redactor

DENY = Redactor(omit=["password", "api_key"])
ALLOW = Redactor(trust=["id"])
Point = namedtuple("Point", "x y")

# Keys near and far from the listed ones, so folding matters.
KEYS = st.sampled_from(
    ["password", "PASS-WORD", "Password", "api_key", "apiKey", "x", "id", "ID", "ß", "", 0, None]
)
LEAVES = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.text(max_size=4)
    | st.floats(allow_nan=False)
    | st.binary(max_size=3)
)


def jsonish(children):
    return st.lists(children, max_size=4) | st.dictionaries(KEYS, children, max_size=4)


def any_containers(children):
    return (
        st.lists(children, max_size=3)
        | st.dictionaries(KEYS, children, max_size=3)
        | st.tuples(children, children)
        | st.frozensets(LEAVES, max_size=3)
    )


JSONISH = st.recursive(LEAVES, jsonish, max_leaves=25)
ANY = st.recursive(LEAVES, any_containers, max_leaves=25)
RULES = st.fixed_dictionaries(
    {"exact": st.booleans(), "mask": st.sampled_from([None, "[x]"]), "scalars": st.booleans()},
) | st.fixed_dictionaries({"contains": st.sampled_from([(), ("word",), ("key", "ß")])})
LISTS = st.sampled_from(
    [{"omit": ["password", "api_key"]}, {"trust": ["id", "x"]}, {"omit": ["ss"]}]
)


def build(lists, rules):
    if "trust" in lists:
        rules = {k: v for k, v in rules.items() if k != "contains"}
    return Redactor(**lists, **rules), Model(**lists, **rules)


@given(LISTS, RULES, ANY)
def test_copy_and_report_match_the_model(lists, rules, data):
    r, model = build(lists, rules)
    before = copy.deepcopy(data)
    assert r.redacted(data) == model.redacted(data)
    assert r.report(data) == model.report(data)
    assert data == before


@given(LISTS, RULES, JSONISH)
def test_in_place_matches_the_copy(lists, rules, data):
    r, model = build(lists, rules)
    expected = model.redacted(data)
    assert r.redact(data) == expected
    assert data == expected or not isinstance(data, (dict, list))


def test_masks_and_returns():
    d = {"Password": "hunter2", "API-KEY": ["ab", ["c", {"id": "x"}]], "n": 1, "note": "ok"}
    assert DENY.redacted(d) == {
        "Password": "*******",
        "API-KEY": ["**", ["*", {"id": "x"}]],
        "n": 1,
        "note": "ok",
    }
    assert DENY.report(d) == [
        (("Password",), "key"),
        (("API-KEY", 0), "key"),
        (("API-KEY", 1, 0), "key"),
    ]
    assert DENY.redact(d) is d and d["Password"] == "*******"
    # The top level has no key: the allow-list masks a bare string.
    assert (ALLOW.redact("ab"), DENY.redact("ab"), ALLOW.report("ab")) == (
        "**",
        "ab",
        [((), "key")],
    )
    masked = ALLOW.redacted({"a": "xyz", "b": "abc", 3: "q", None: ["r"]})
    assert masked["a"] is masked["b"]  # equal masks share one object
    assert masked == {"a": "***", "b": "***", 3: "*", None: ["*"]}


@pytest.mark.parametrize(
    "length, shared", [(1, True), (63, True), (64, False), (65, False), (300, False)]
)
def test_star_masks_below_64_code_points_are_made_once(length, shared):
    # Masks of the short lengths are kept for the process and handed out
    # again; longer ones are made per value.
    first = DENY.redacted({"password": "x" * length})["password"]
    again = DENY.redacted({"api_key": ["\u00e9" * length]})["api_key"][0]
    assert first == again == "*" * length
    assert (first is again) == shared


@pytest.mark.parametrize(
    "value, masked",
    [
        (1234, "****"),
        (-1.5, "****"),
        (b"\x00\x01", "**"),
        (bytearray(b"abc"), "***"),
        ((1, "ab"), "***"),
        (frozenset({10}), "**"),
        pytest.param(10**5000, "*" * 5001, id="huge-int"),
        pytest.param(10**5000 - 1, "*" * 5000, id="huge-int-nines"),
        pytest.param(-(10**6000), "*" * 6002, id="huge-negative-int"),
        (True, True),
        (None, None),
        ((), ()),
        ((1, None), ("*", None)),
        (Point(1, "a"), "**"),
        ([1, "ab"], ["*", "**"]),
    ],
)
def test_scalars_are_masked_when_asked(value, masked):
    on = Redactor(omit=["pin"], scalars=True)
    assert on.redacted({"pin": value}) == {"pin": masked}
    kept = Redactor(omit=["pin"]).redacted({"pin": value})["pin"]
    assert kept == value or isinstance(value, (tuple, list)) and "*" in str(kept)


def test_copies_keep_types_where_they_can():
    od = OrderedDict([("a", 1), ("password", "pw")])
    od.move_to_end("a")
    dd = defaultdict(list, api_key="k")
    sub = type("Sub", (dict,), {})(password="p")
    sub.note = "kept"
    lst = type("L", (list,), {"__slots__": ("tag",)})(["x"])
    lst.tag = "slot kept"
    data = {
        "od": od,
        "dd": dd,
        "c": Counter(a=1),
        "sub": sub,
        "lst": lst,
        "p": Point("a", "b"),
        "password": Point("a", "b"),
        "u": UserDict(password="s"),
        "q": deque(["a"]),
        "mp": types.MappingProxyType({"api_key": "z"}),
        "ul": UserList(["a"]),
    }
    out = DENY.redacted(data)
    assert [type(out[k]).__name__ for k in data] == [
        "OrderedDict",
        "defaultdict",
        "Counter",
        "Sub",
        "L",
        "Point",
        "Point",
        "dict",
        "list",
        "dict",
        "list",
    ]
    assert list(out["od"].items()) == [("password", "**"), ("a", 1)]
    assert out["dd"].default_factory is list and out["dd"]["api_key"] == "*"
    assert (out["sub"].note, out["sub"]["password"], out["password"]) == ("kept", "*", ("*", "*"))
    assert out["lst"].tag == "slot kept"
    assert (out["u"], out["mp"], out["p"] is data["p"]) == (
        {"password": "*"},
        {"api_key": "*"},
        True,
    )
    assert all(out[k] is not data[k] for k in ("od", "dd", "c", "sub", "lst", "u", "q", "ul"))


def test_in_place_handles_any_mutable_container_and_refuses_the_rest():
    dd = defaultdict(lambda: pytest.fail("default factory ran"), password="p")
    ud, ul, dq = UserDict(api_key="k"), UserList(["a"]), deque([{"password": "x"}])
    data = {"dd": dd, "ud": ud, "list": ({"password": "y"},), "password": [ul, dq]}
    assert DENY.redact(data) is data
    assert (dd["password"], ud["api_key"], data["list"][0], list(ul), dq[0]) == (
        "*",
        "*",
        {"password": "*"},
        ["*"],
        {"password": "*"},
    )


@pytest.mark.parametrize(
    "data, message",
    [
        ({"password": ("a", 1)}, "cannot mask ('password', 0) in place: it is inside a tuple"),
        (
            {"x": [{"api_key": Point("a", "b")}]},
            "cannot mask ('x', 0, 'api_key', 0) in place: it is inside a Point",
        ),
        (
            {"password": frozenset({"a"})},
            "cannot mask ('password', 0) in place: it is inside a frozenset",
        ),
        (
            {"m": types.MappingProxyType({"password": "a"})},
            "cannot mask ('m', 'password') in place: it is inside a mappingproxy",
        ),
        ({"password": range(3), "api_key": (1, None)}, None),
    ],
)
def test_in_place_names_what_it_cannot_change(data, message):
    if message is None:
        assert DENY.redact(data) is data
        return
    with pytest.raises(TypeError) as info:
        DENY.redact(data)
    assert str(info.value) == message + "; use redacted() for a redacted copy"


def test_split_instance_dicts_are_walked_too():
    class Obj:
        def __init__(self, password):
            self.password, self.other = password, "x"

    a, b = Obj("p1"), Obj("p22")  # instance dicts share their keys
    assert DENY.redacted(vars(a)) == {"password": "**", "other": "x"} and a.password == "p1"
    assert DENY.report(vars(b)) == [(("password",), "key")]
    assert DENY.redact(vars(b)) is vars(b) and b.password == "***"


def test_shared_and_cyclic_data():
    shared = ["s"]
    d = {"a": shared, "password": shared}
    d["self"] = d
    lst = [d]
    lst.append(lst)
    out = DENY.redacted(lst)
    assert out[1] is out and out[0]["self"] is out[0]
    assert (out[0]["a"], out[0]["password"]) == (["s"], ["*"])
    assert DENY.report(lst) == [((0, "password", 0), "key")]
    t = ([],)
    t[0].append(t)
    tc = ALLOW.redacted({"x": t})["x"]
    assert tc[0][0] is tc and tc is not t
    assert DENY.redact(lst) is lst and shared == ["*"]


def test_deep_data_raises_recursion_error():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    for walk in (DENY.redact, DENY.redacted, DENY.report):
        with pytest.raises(RecursionError):
            walk(deep)


def cyclic():
    d = {"password": ["a"]}
    d["self"] = d
    return [d, d["password"]]


class Shifty(UserDict):
    """A mapping that changes itself while it is walked."""

    def __getitem__(self, key):
        self.data[f"new{len(self.data)}"] = "x"
        return super().__getitem__(key)


class Nested(UserDict):
    """A mapping whose reads change the dict that holds it."""

    def __getitem__(self, key):
        self.outer.pop("z", None)
        return super().__getitem__(key)


def changes_outer():
    n = Nested(a=1)
    outer = {"n": n, "z": 1}
    n.outer = outer
    return outer


class Clearing(UserDict):
    """A mapping whose reads empty the list that holds it."""

    def __getitem__(self, key):
        self.outer.clear()
        return super().__getitem__(key)


def shrinks_outer():
    c = Clearing(password="p")
    c.outer = [c, "x"]
    return {"password": c.outer}


class Shrinks(UserDict):
    """A mapping whose first __len__ deletes its "password"."""

    def __len__(self):
        self.data.pop("password", None)
        return super().__len__()


class Bad:
    def __eq__(self, other):
        raise AssertionError("key __eq__ ran")

    def __hash__(self):
        return 1


class Failing(UserDict):
    def __iter__(self):
        raise KeyError("iteration failed")


class Rotates(UserDict):
    """A mapping whose iteration moves the list that holds it round by one:
    its length stays, the item after it moves into its place."""

    def __iter__(self):
        self.outer.append(self.outer.pop(0))
        return super().__iter__()


def rotates_outer():
    r = Rotates()
    r.outer = [r, "secret"]
    return {"password": r.outer}


class Missing(Mapping):
    def __iter__(self):
        return iter(["password"])

    def __len__(self):
        return 1

    def __getitem__(self, key):
        raise KeyError(key)


class Unreadable(Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise ValueError("unreadable item")


class Colliding(str):
    """Keys whose hashes collide, so a store by lookup compares them; armed
    once in their dict."""

    armed = False

    def __hash__(self):
        return 42

    def __eq__(self, other):
        if self.armed:
            raise AssertionError("key __eq__ ran")
        return str.__eq__(self, other)


def colliding():
    keys = Colliding("aaa"), Colliding("password")
    d = dict.fromkeys(keys, "s")
    for k in keys:
        k.armed = True
    return d


@pytest.mark.parametrize("walk", ["redact", "redacted", "report"])
@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Shifty(password="p"), RuntimeError, "Shifty changed during redaction"),
        (changes_outer, RuntimeError, "dict changed during redaction"),
        (shrinks_outer, RuntimeError, "list changed during redaction"),
        (lambda: {"a": Failing(x=1)}, KeyError, "'iteration failed'"),
        (lambda: {Bad(): "s", "password": [Bad()]}, None, None),
        (colliding, None, None),
        (rotates_outer, RuntimeError, "list changed during redaction"),
        (lambda: {"m": Missing()}, KeyError, "'password'"),
        (lambda: {"password": Unreadable()}, ValueError, "unreadable item"),
        (lambda: {"m": Shrinks(password="p", x="y")}, None, None),
    ],
)
def test_hostile_containers(walk, make, exc, message):
    data = make()
    if exc is None:
        getattr(DENY, walk)(data)
        getattr(ALLOW, walk)(data)
        return
    with pytest.raises(exc) as info:
        getattr(DENY, walk)(data)
    assert str(info.value) == message


class Grows(Mapping):
    """A hashable mapping whose read adds an item to the container that holds it."""

    __hash__ = object.__hash__

    def __init__(self, outer):
        self.outer = outer

    def __iter__(self):
        return iter(["k"])

    def __len__(self):
        return 1

    def __getitem__(self, key):
        add_to(self.outer, 3)
        return "v"


def add_to(outer, item):
    if isinstance(outer, set):
        outer.add(item)
    elif hasattr(outer, "keys"):
        outer[f"k{len(outer)}"] = item
    else:
        outer.append(item)


class SubDict(dict):
    pass


class SubList(list):
    pass


@pytest.mark.parametrize("walk", ["redact", "redacted", "report"])
@pytest.mark.parametrize(
    "kind, name",
    [
        (dict, "dict"),
        (SubDict, "SubDict"),
        (OrderedDict, "collections.OrderedDict"),
        (UserDict, "UserDict"),
        (list, "list"),
        (SubList, "SubList"),
        (deque, "collections.deque"),
        (UserList, "UserList"),
        (set, "set"),
    ],
)
def test_each_container_changed_under_the_walk_names_its_type(walk, kind, name):
    data = kind()
    add_to(data, Grows(data))
    with pytest.raises(RuntimeError) as info:
        getattr(DENY, walk)(data)
    assert str(info.value) == f"{name} changed during redaction"


class DropsLast(str):
    """A value whose finaliser removes the last item of the container that held it."""

    def __del__(self):
        del self.outer[list(self.outer)[-1] if hasattr(self.outer, "keys") else -1]


def dropping_last(kind, items):
    outer = kind(items)
    first = DropsLast("s1")
    first.outer = outer
    outer[next(iter(outer)) if hasattr(outer, "keys") else 0] = first
    del first
    return {"password": outer}


@pytest.mark.parametrize(
    "kind, items, name",
    [
        (UserDict, {"password": 0, "z": 1}, "UserDict"),
        (UserList, [0, 1], "UserList"),
    ],
)
def test_in_place_finalisers_that_shrink_a_mapping_or_sequence(kind, items, name):
    with pytest.raises(RuntimeError) as info:
        DENY.redact(dropping_last(kind, items))
    assert str(info.value) == f"{name} changed during redaction"


class Drops(str):
    """A value whose finaliser deletes an entry and grows the dict (its
    table is compacted), when redact() replaces it."""

    def __del__(self):
        if "a" in self.outer:
            del self.outer["a"]
            self.outer.update((f"k{i}", 0) for i in range(20))


def dropping():
    d = {"a": 0, "b": 0, "password": Drops("s1"), "api_key": "s2"}
    d["password"].outer = d
    return d


def test_in_place_finalisers_that_change_the_dict():
    with pytest.raises(RuntimeError) as info:
        DENY.redact(dropping())
    assert str(info.value) == "dict changed during redaction"


class Hiding(dict):
    def __iter__(self):
        return iter([k for k in dict.keys(self) if k != "password"])


class HidingSet(set):
    def __iter__(self):
        return iter(())


@pytest.mark.parametrize(
    "make, path, copy, in_place",
    [
        (
            lambda: Hiding(user="bob", password="pw"),
            ("password",),
            {"user": "bob", "password": "**"},
            {"user": "bob", "password": "**"},
        ),
        (
            lambda: {"password": HidingSet({"pw"})},
            ("password", 0),
            {"password": {"**"}},
            "cannot mask ('password', 0) in place: it is inside a HidingSet; use redacted() for a "
            "redacted copy",
        ),
    ],
)
def test_subclasses_are_read_through_their_storage(make, path, copy, in_place):
    assert DENY.report(make()) == [(path, "key")]
    assert DENY.redacted(make()) == copy
    data = make()
    if isinstance(in_place, str):
        with pytest.raises(TypeError, match=re.escape(in_place)):
            DENY.redact(data)
    else:
        assert json.loads(json.dumps(DENY.redact(data))) == in_place


def odd(base, **body):
    """A subclass of base with the given methods."""
    return type(f"Odd{base.__name__}", (base,), body)


NO_ITEMS = {"__iter__": lambda self: iter(())}


class Marking(OrderedDict):
    """Marks what its __setitem__ is given: a copy stored through it would show."""

    def __setitem__(self, key, value):
        super().__setitem__(key, ("given", value))


def marking(**entries):
    m = Marking()
    for k, v in entries.items():
        OrderedDict.__setitem__(m, k, v)
    return m


def storage(x):
    """What a container holds, read past its class's own methods."""
    for base in (dict, list, tuple):
        if isinstance(x, base):
            return base(dict.items(x) if base is dict else base.__iter__(x))
    return x


@pytest.mark.parametrize(
    "value, copy_type, held",
    [
        (odd(list, **NO_ITEMS)(["hunter2"]), "Oddlist", ["*******"]),
        (
            odd(list, __iter__=lambda self: reversed(self))(["hunter2", 1]),
            "Oddlist",
            ["*******", 1],
        ),
        (odd(tuple, **NO_ITEMS)(("hunter2", 1)), "Oddtuple", ("*******", 1)),
        (odd(frozenset, **NO_ITEMS)({"hunter2"}), "frozenset", frozenset({"*******"})),
        (odd(dict, **NO_ITEMS)(password="pw", n="a"), "Odddict", {"password": "**", "n": "a"}),
        (marking(password="pw", n="a"), "Marking", {"password": "**", "n": "a"}),
    ],
)
def test_copies_hold_what_the_walk_read(value, copy_type, held):
    out = DENY.redacted({"password": value})["password"]
    assert (type(out).__name__, storage(out)) == (copy_type, held)


class Replacing(UserDict):
    """A mapping whose reads replace the item after it in the list that holds it."""

    def __getitem__(self, key):
        self.outer[1] = 5
        return super().__getitem__(key)


def test_a_copy_keeps_no_item_that_changed_before_the_walk_read_it():
    r = Replacing(a=1)
    r.outer = [r, "hunter2"]
    with pytest.raises(RuntimeError) as info:
        DENY.redacted({"password": r.outer})
    assert str(info.value) == "list changed during redaction"


def test_only_short_keys_are_cached():
    r = Redactor(omit=["password"])
    keys = ["k" * 64, "k" * 65, "p" * 10**6]
    before = [sys.getrefcount(k) for k in keys]
    r.redact(dict.fromkeys(keys, "v"))
    after = [sys.getrefcount(k) for k in keys]
    assert [a - b for a, b in zip(after, before)] == [1, 0, 0]


# Walks that Python code could once crash: a gc callback that frees the key
# of a reported entry, one that reads every tuple the collector tracks while
# a tuple's copy is half made, and nesting deeper than the C stack allows
# under a raised recursion limit.
GC_CLEARS = """
    import gc
    from zentrove import Redactor
    class K(str): pass
    inner = {K(f"password{i}"): "secret" for i in range(10)}
    top = inner
    for _ in range(25):
        top = {"x": top}
    r, armed = Redactor(omit=[], contains=["password"]), []
    def clear(phase, info):
        if armed and phase == "start":
            inner.clear()
    gc.callbacks.append(clear)
    gc.set_threshold(1)
    armed.append(1)
    try:
        r.report(top)
    except RuntimeError as e:
        print(e)
"""
GC_READS = """
    import gc
    from collections import OrderedDict
    from zentrove import Redactor
    data, kept = {"password": ("a", OrderedDict(x=1), "b")}, []
    def read(phase, info):
        if phase == "start":
            [list(o) for o in gc.get_objects(0) if type(o) is tuple]
        else:
            kept.append([[], []])  # the next allocation collects again
    gc.callbacks.append(read)
    gc.set_threshold(1)
    print(Redactor(omit=["password"]).redacted(data))
"""
DEEP = """
    import sys, threading
    from zentrove import Redactor
    sys.setrecursionlimit(10 ** 6)
    r = Redactor(omit=["p"])
    def walk_all(n):
        d = {}
        for _ in range(n - 1):
            d = {"a": [d]} if n == 60_000 else {"a": d}
        for walk in (r.redact, r.redacted, r.report):
            try:
                walk(d)
                print(n, "ok")
            except RecursionError as e:
                print(n, e)
    walk_all(5_000)
    walk_all(10_001)
    walk_all(60_000)
    threading.stack_size(512 << 10)
    t = threading.Thread(target=walk_all, args=(60_000,))
    t.start()
    t.join()
"""
TOO_DEEP = "maximum nesting depth exceeded while redacting nested data"


@pytest.mark.parametrize(
    "code, out",
    [
        (GC_CLEARS, ["dict changed during redaction"]),
        (GC_READS, ["{'password': ('*', OrderedDict([('x', 1)]), '*')}"]),
        (DEEP, ["5000 ok"] * 3 + [f"10001 {TOO_DEEP}"] * 3 + [f"60000 {TOO_DEEP}"] * 6),
    ],
)
def test_walks_that_could_crash(code, out):
    ran = run_python(code)
    assert (ran.returncode, ran.stderr, ran.stdout.splitlines()) == (0, "", out)


@pytest.mark.leak
@pytest.mark.parametrize(
    "call",
    [
        lambda: DENY.redacted({"password": ["a", {"api_key": 1}], "x": (["b"], {"c"})}),
        lambda: ALLOW.redact({"a": [OrderedDict(b="c")], "id": deque(["d"])}),
        lambda: Redactor(omit=["p"], scalars=True, mask="#").report({"p": (1, b"x"), "q": [2]}),
        raising(TypeError, DENY.redact, {"password": ("a",)}),
        lambda: raising(RuntimeError, DENY.redacted, {"a": Shifty(password="p")})(),
        lambda: raising(RuntimeError, DENY.report, changes_outer())(),
        lambda: DENY.redacted(cyclic()),
        # A value scanned with its key: a key's UTF-8 made here, a long joined text.
        lambda: Redactor(omit=["password"], detect=True).report(
            {"é.password": "x", "aws_secret": "y" * 600}
        ),
    ],
)
def test_no_leaks(call):
    assert_no_leak(call)


GC_KINDS = [
    "dict",
    "dict, any keys",
    "dict subclass",
    "instance dict",
    "OrderedDict",
    "Mapping",
    "list",
    "list subclass",
    "Sequence",
    "set",
    "frozenset",
    "tuple",
]


@pytest.mark.slow
@pytest.mark.parametrize("walk", ["redact", "redacted", "report"])
def test_gc_changes_at_every_collection(walk):
    ran = run_isolated("redactor_gc.py", walk)
    assert (ran.returncode, ran.stderr) == (0, ""), ran.stdout + ran.stderr
    *sweeps, last = ran.stdout.splitlines()
    assert last == "OK"
    rows = [
        re.fullmatch(rf"{walk} (.+): runs=\d+ collections=(\d+) errors=(\d+)", line).groups()
        for line in sweeps
    ]
    assert [kind for kind, _, _ in rows] == GC_KINDS
    # Each walk collected inside, and a change there was caught, but where
    # redact() refuses an immutable container at its first item.
    assert all(int(n) >= 1 for _, n, _ in rows), sweeps
    uncaught = [kind for kind, _, e in rows if int(e) == 0]
    assert uncaught == (["frozenset", "tuple"] if walk == "redact" else []), sweeps
