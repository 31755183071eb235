"""Collections during a Redactor walk that change the container being
walked, at every collection the walk makes.

Usage: redactor_gc.py [walk ...].  For each walk (redact, redacted, report),
each kind of container, each change of it and each way of making the change
(a gc callback, or the finaliser of cyclic garbage), the change is made at
the k-th collection of the call, for k = 1, 2, ... until the call ends
before its k-th collection; until then a collection starts at each
allocation of a collected object.  A run must raise RuntimeError ("<type>
changed during redaction") or end as if the change had been made wholly
before or wholly after the walk: with the outcome of an undisturbed walk of
the data with the change made first, or of the data as it was (in place:
with the change then made on the redacted data).  Prints one line per walk
and kind, and "OK" last.
"""

import gc
import itertools
import os
import sys
from collections import OrderedDict, UserDict, UserList

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from walk_model import _type_name  # noqa: E402
from zentrove import Redactor  # noqa: E402

OMIT = ["password", "api_key", "token", "secrets"]
# Numbers and flat tuples and sets under these keys are masked too with
# scalars=True, which walks another way through them.
REDACTORS = (Redactor(omit=OMIT), Redactor(omit=OMIT, scalars=True))
WALKS = ("redact", "redacted", "report")


class Failed(Exception):
    pass


RAISED = "raised"  # an outcome that is an exception: (RAISED, type, message)


class Sub(dict):
    pass


class Items(list):
    __slots__ = ("tag",)


class Obj:
    pass


def nested():
    """Something whose walk allocates in every mode (its list of keys)."""
    return OrderedDict(api_key="s3cr3t-2", n=1, tags=frozenset({"t"}))


def a_dict(kind):
    return kind(password="s3cr3t-1", note="n", od=nested(), more=["x"])


def sub():
    c = a_dict(Sub)
    c.attribute = "copied too"
    return c


def any_keys():
    """A table of any keys, with a deleted entry: no longer compact."""
    c = a_dict(dict)
    c[1] = "one"
    del c["note"]
    return c


def instance_dict():
    o = Obj()
    o.password, o.note, o.od = "s3cr3t-1", "n", nested()
    return vars(o)


def items_sub():
    c = Items(["s3cr3t-1", nested(), 5])
    c.tag = "t"
    return c


# kind: (make the container, where the changes act: the container itself,
# its inner list (a tuple's), or the top level (a frozenset's))
KINDS = {
    "dict": (lambda: a_dict(dict), "self"),
    "dict, any keys": (any_keys, "self"),
    "dict subclass": (sub, "self"),
    "instance dict": (instance_dict, "self"),
    "OrderedDict": (lambda: a_dict(OrderedDict), "self"),
    "Mapping": (lambda: a_dict(UserDict), "self"),
    "list": (lambda: ["s3cr3t-1", nested(), 5], "self"),
    "list subclass": (items_sub, "self"),
    "Sequence": (lambda: UserList(["s3cr3t-1", nested(), 5]), "self"),
    "set": (lambda: {"s3cr3t-1", frozenset({"s3cr3t-2", 3}), 5}, "self"),
    "frozenset": (lambda: frozenset({"s3cr3t-1", frozenset({"s3cr3t-2", 3}), 5}), "top"),
    "tuple": (lambda: ("s3cr3t-1", ["s3cr3t-2", nested()], 5), "inner"),
}


def grow(c):
    if isinstance(c, (dict, UserDict)):
        c["token"] = "s3cr3t-new"
        c.update((f"k{i}", i) for i in range(20))  # a new table
    elif isinstance(c, set):
        c.update({"s3cr3t-new"} | set(range(20)))
    else:
        c.extend(["s3cr3t-new"] * 20)


def shrink(c):
    if isinstance(c, (dict, UserDict)):
        del c["password"]
    elif isinstance(c, set):
        c.discard("s3cr3t-1")
    else:
        del c[0]


def replace(c):
    """The same size, one item or value other."""
    if isinstance(c, (dict, UserDict)):
        c["password"] = "s3cr3t-other"
    elif isinstance(c, set):
        c.discard(5)
        c.add("s3cr3t-other")
    else:
        c[1] = "s3cr3t-other"


def clear(c):
    c.clear()


CHANGES = (grow, shrink, replace, clear)


def make(kind, shared):
    """The data and what the changes act on.  The data holds the container,
    alone or again in a list under a sensitive key after it (where the walk
    finds it walked: under a key of the other sensitivity it would be walked
    anew, as it is then)."""
    build, where = KINDS[kind]
    data = {"password": build()}
    if shared:
        data["secrets"] = [data["password"]]
    target = {"self": data["password"], "top": data}.get(where)
    if target is None:
        target = data["password"][1]
    return data, target


def freeze(x):
    """A comparable form that keeps types and orders."""
    if isinstance(x, (dict, UserDict)):
        return type(x), tuple((k, freeze(v)) for k, v in x.items())
    if isinstance(x, (list, tuple, UserList)):
        return type(x), tuple(freeze(v) for v in x)
    if isinstance(x, (set, frozenset)):
        return type(x), frozenset(freeze(v) for v in x)
    return x


class Finaliser:
    """Garbage in a cycle whose finaliser makes a change, when a collection
    frees it."""

    def __init__(self, action):
        self.action, self.cycle = action, self

    def __del__(self):
        self.action()


def outcome(r, walk, data):
    try:
        result = getattr(r, walk)(data)
    except Exception as e:
        return RAISED, type(e), str(e)
    return freeze(data if walk == "redact" else result)


def undisturbed(r, walk, fresh, change, first):
    """The outcome with the change made first, or (first=False) after the
    walk, on fresh() data."""
    gc.disable()
    try:
        data, target = fresh()
        if first:
            change(target)
        got = outcome(r, walk, data)
        if not first and walk == "redact" and got[0] is not RAISED:
            change(target)
            got = freeze(data)
        return got
    finally:
        gc.enable()


def disturbed(r, walk, fresh, change, k, by):
    """The outcome with the change made at the k-th collection of the call
    by a gc callback or a finaliser, whether the call got that far, and the
    containers that may change."""
    data, target = fresh()
    call = getattr(r, walk)
    seen = [0]
    kept = []

    def callback(phase, info):
        if phase == "start":
            seen[0] += 1
            if seen[0] == k:
                if by == "callback":
                    change(target)
                gc.set_threshold(*THRESHOLD)  # the rest of the call undisturbed
            return
        if seen[0] < k:
            # Objects that stay: the next allocation of a collected object
            # starts a collection again, whatever the call frees before it.
            kept.append([[], [], [], [], [], [], [], []])
        if seen[0] == k - 1 and by == "finaliser":
            Finaliser(lambda: change(target))  # freed by the next collection

    gc.callbacks.append(callback)
    gc.collect()
    kept.append([[], [], [], [], [], [], [], []])
    if k == 1 and by == "finaliser":
        Finaliser(lambda: change(target))
    gc.set_threshold(1)
    result = None
    try:
        result = call(data)
    except Exception as e:
        got = RAISED, type(e), str(e)
    finally:
        gc.set_threshold(*THRESHOLD)
        gc.callbacks.remove(callback)
    if result is not None:
        got = freeze(data if walk == "redact" else result)
    return got, seen[0] >= k, (data, data.get("password"), target)


def changed_messages(containers):
    return {
        (RAISED, RuntimeError, f"{_type_name(type(c))} changed during redaction")
        for c in containers
    }


def sweep(walk, kind):
    runs = collections = errors = 0
    for r, shared, change, by in itertools.product(
        REDACTORS, (False, True), CHANGES, ("callback", "finaliser")
    ):

        def fresh():
            return make(kind, shared)

        expected = [undisturbed(r, walk, fresh, change, first) for first in (True, False)]
        for k in itertools.count(1):
            got, fired, containers = disturbed(r, walk, fresh, change, k, by)
            if not fired:
                break
            runs += 1
            collections = max(collections, k)
            if got in expected:
                continue
            if got in changed_messages(containers):
                errors += 1
                continue
            raise Failed(
                f"{walk} {kind}{', shared' * shared}, {change.__name__} by a {by} "
                f"at collection {k} ({r!r}): {got!r}, expected one of {expected!r}"
            )
    return runs, collections, errors


THRESHOLD = gc.get_threshold()


def main(walks):
    gc.freeze()  # full collections look at what the runs make only
    for walk in walks:
        for kind in KINDS:
            runs, collections, errors = sweep(walk, kind)
            print(f"{walk} {kind}: runs={runs} collections={collections} errors={errors}")
    print("OK")


if __name__ == "__main__":
    if "PYTHONMALLOC" not in os.environ:  # the debug allocator catches stray writes
        os.execve(
            sys.executable, [sys.executable] + sys.argv, dict(os.environ, PYTHONMALLOC="debug")
        )
    try:
        main(sys.argv[1:] or WALKS)
    except Failed as e:
        print(f"FAILED {e}")
        sys.exit(1)
