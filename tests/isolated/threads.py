"""Threads walking shared and private data with shared redactors while other
threads change the global key lists, the redactors and the data.

Usage: threads.py [case ...]; runs the named case_* functions (all by
default), prints "<case> ok" after each and "OK" at the end.  The switch
interval is a microsecond, and the redactors hold key-list elements and
overrides written in Python, so threads switch in the middle of walks and
key scans.  Every walk must either complete or raise RuntimeError for a
container that changed size; private data must come out exactly right, and
no list may be left corrupted.
"""

import os
import pickle
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import zentrove.omit as omit  # noqa: E402
from helpers import run_cases  # noqa: E402
from subclasses import Overriding  # noqa: E402
from zentrove.omit import NoTrustOmitter, Omitter  # noqa: E402

sys.setswitchinterval(1e-6)
SECONDS = 2.0  # per case
SIZE_CHANGED = {"dictionary changed size during iteration", "list changed size during iteration"}


class Slow:
    """A key-list element that runs Python code at every comparison (a
    chance to switch threads) and equals nothing."""

    def __eq__(self, other):
        sum(range(5))
        return False

    __hash__ = object.__hash__


class OverridingNoTrust(NoTrustOmitter):
    def omit(self, target):
        return super().omit(target)


def run_threads(workers, seconds=SECONDS):
    """Runs each worker(stop) in its own thread until `seconds` passed;
    returns the errors raised in them."""
    errors = []
    stop = threading.Event()

    def guard(worker):
        try:
            worker(stop)
        except BaseException as exc:  # reported below
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=guard, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(60)
        assert not t.is_alive(), "a thread did not stop"
    return errors


def loop(stop, body, limit=10**6):
    for _ in range(limit):
        if stop.is_set():
            return
        body()


def private_walks(redactor, deny_mode):
    """Walks of data that no other thread sees: the result must be exact."""

    def body():
        data = {
            "pw": "secret",
            "ok": "clear",
            "n": 1,
            "l": ["a", {"pw": "bb"}],
            "pws": ["x", ["yy"]],
        }
        expected = {
            "pw": "******",
            "ok": "clear",
            "n": 1,
            "l": ["a", {"pw": "**"}],
            "pws": ["x", ["yy"]] if deny_mode else ["*", ["**"]],
        }
        assert redactor.omit(data) is data
        assert data == expected, data

    return body


def case_walks_while_global_lists_change():
    batch = ["g1", "g2", "g3"]

    def changer(stop):
        def body():
            omit.always_omit(batch)
            omit.always_trust(batch)
            if len(omit.globally_hidden()) > 30:
                omit.reset_omissions()
                omit.reset_trusted()

        loop(stop, body)

    def builder(stop):
        def body():
            # a redactor copies the global list at one moment: whole batches
            hidden = omit.globally_hidden()
            assert hidden == batch * (len(hidden) // 3), hidden
            keys = Omitter().__reduce__()
            own = keys[2][0] if len(keys) == 3 else keys[1][2][0]
            half = len(own) // 2
            assert own[:half] == own[half:] == batch * (half // 3), own
            trusted = NoTrustOmitter(["t"]).__reduce__()[2][1]
            assert sorted(trusted) in (["t"], sorted(batch + ["t"])), trusted

        loop(stop, body)

    deny = Omitter(["pw", Slow()])
    allow = OverridingNoTrust(["ok", "n", "l", Slow()])

    def walker(redactor, deny_mode):
        def work(stop):
            loop(stop, private_walks(redactor, deny_mode))

        return work

    errors = run_threads(
        [
            changer,
            changer,
            builder,
            walker(deny, True),
            walker(Overriding(["pw", Slow()]), True),
            walker(allow, False),
        ]
    )
    assert not errors, errors


def case_shared_data_mutated_while_walked():
    shared = {"pw": "secret", "l": ["a"] * 50, "d": {"pw": "x"}}
    outcomes = {"done": 0, "changed": 0}
    redactors = [
        Omitter(["pw", "l", Slow()]),
        Overriding(["pw", Slow(), "l"]),
        NoTrustOmitter(["d", Slow()]),
    ]

    def mutator(stop):
        n = 0

        def body():
            nonlocal n
            n += 1
            shared[f"k{n % 7}"] = "v" * (n % 5)  # grows, then replaces
            if n % 3 == 0:
                shared.pop(f"k{(n + 3) % 7}", None)  # shrinks
            lst = shared["l"]
            if n % 2:
                del lst[len(lst) // 2 :]  # shortened
            else:
                lst.extend(["b", {"pw": "c"}, ["d"]] * 10)
            shared["d"] = {"pw": "y", "inner": ["z"]}  # replaced

        loop(stop, body)

    def walker(redactor):
        def work(stop):
            def body():
                try:
                    redactor.omit(shared)
                    outcomes["done"] += 1
                except RuntimeError as exc:
                    assert str(exc) in SIZE_CHANGED, exc
                    outcomes["changed"] += 1

            loop(stop, body)

        return work

    errors = run_threads([mutator, mutator] + [walker(r) for r in redactors])
    assert not errors, errors
    # both outcomes happened: walks interleaved with the mutations
    assert outcomes["done"] > 0 and outcomes["changed"] > 0, outcomes
    for value in shared["l"]:  # every slot holds a live object of a known kind
        assert type(value) in (str, dict, list), type(value)
        assert set(value) <= {"*", "a", "b"} if type(value) is str else True


def case_lists_shortened_under_list_walks():
    shared = [["s"] * 20 for _ in range(20)]
    redactor = Overriding([Slow()])

    def shortener(stop):
        def body():
            for inner in list(shared):
                if type(inner) is dict:
                    inner = inner["x"]
                del inner[len(inner) // 2 :]
                inner.extend(["t"] * 10)
            del shared[10:]
            shared.extend([["u"] * 5, {"x": ["v"]}] * 5)

        loop(stop, body)

    def walker(stop):
        def body():
            try:
                redactor.omit_recurse(shared, True)
            except RuntimeError as exc:
                assert str(exc) in SIZE_CHANGED, exc

        loop(stop, body)

    errors = run_threads([shortener, walker, walker, walker])
    assert not errors, errors
    for inner in shared:
        items = inner if type(inner) is list else inner["x"]
        assert all(type(v) is str and v in ("*", "s", "t", "u", "v") for v in items), items


def case_redactor_lists_swapped_while_scanned():
    # both lists hold "pw": whichever a scan sees, "pw" is hidden
    first = ["pw", Slow(), "a"]
    second = [Slow(), "b", "pw"]
    deny = Omitter(first)
    allow = NoTrustOmitter.__new__(NoTrustOmitter)
    allow.__setstate__((None, ["ok", Slow()]))

    def swapper(stop):
        n = 0

        def body():
            nonlocal n
            n += 1
            deny.__init__(first if n % 2 else second)
            deny.__setstate__(((second if n % 3 else first),))
            allow.__setstate__((None, [Slow(), "ok"] if n % 2 else ["ok", Slow()]))
            allow.__init__(["ok"])

        loop(stop, body)

    def walker(stop):
        def body():
            data = {"a": "1", "pw": "secret", "b": "2", "l": ["x"], "ok": "clear"}
            deny.omit(data)
            assert data["pw"] == "******" and data["ok"] == "clear", data
            allow.omit(data)
            assert data["ok"] == "clear" and data["l"] == ["*"], data

        loop(stop, body)

    def pickler(stop):
        def body():
            for redactor in (deny, allow):
                copy = pickle.loads(pickle.dumps(redactor))
                data = {"pw": "xyz", "ok": "clear"}
                copy.omit(data)
                assert data["ok"] == "clear"

        loop(stop, body)

    errors = run_threads([swapper, swapper, walker, walker, pickler])
    assert not errors, errors


def reset_global_lists():
    omit.reset_omissions()
    omit.reset_trusted()


if __name__ == "__main__":
    run_cases(globals(), sys.argv[1:], after=reset_global_lists)
