"""Allocation failure at every step of building a Redactor and of its walks.

Usage: redactor_nomemory.py.  The sweep of each operation is nomemory.py's
(lasting mode until a run gets through, then each step alone); a run must
end with MemoryError, the operation's own exception or the right result,
and a walk in place stopped by MemoryError leaves each value either as it
was or masked, never anything else.
"""

import copy
import gc
import sys
from collections import OrderedDict, UserDict, defaultdict

from nomemory import Failed, Op, call

from zentrove import Redactor

R = Redactor(omit=["password", "api_key", "straße"], contains=["secret"])
WIDE = "p\u00e4ss-\u20ac\u4e16-\U0001f511"


def data():
    return {
        "Password": "hunter2",
        "API-KEY": ["ab", {"id": WIDE, "n": 1}],
        "od": OrderedDict(STRASSE=WIDE),
        "dd": defaultdict(list, x_secret="s"),
        "u": UserDict(api_key=["k"]),
        "t": (1, {"password": "p"}),
    }


COPY = R.redacted(data())
REPORT = R.report(data())


def partly(before, now):
    """Each value of `now` is the one in `before`, or its mask."""
    if isinstance(before, str):
        assert now == before or now == "*" * len(before), (before, now)
    elif isinstance(before, (dict, UserDict)):
        assert list(before) == list(now)
        for k in before:
            partly(before[k], now[k])
    elif isinstance(before, (list, tuple)):
        assert len(before) == len(now)
        for b, n in zip(before, now):
            partly(b, n)
    else:
        assert before == now


def check(condition, value):
    if not condition:
        raise AssertionError(repr(value))


def in_place():
    def make():
        d = data()
        return d, copy.deepcopy(d)

    return Op(
        "redact",
        make,
        lambda s: call(R.redact, s[0]),
        lambda s, r: check(r is s[0] and r == COPY, r),
        lambda s: partly(s[1], s[0]),
    )


OPS = [
    Op(
        "Redactor()",
        lambda: None,
        lambda s: call(Redactor, omit=["pass_word", WIDE], contains=["Secret"], mask="#"),
        lambda s, r: check(r.is_sensitive("PASSWORD") and r.is_sensitive("my-secret"), r),
    ),
    Op(
        "is_sensitive",
        lambda: None,
        lambda s: call(R.is_sensitive, "STRASSE" * 40),
        lambda s, r: check(r is False, r),
    ),
    Op(
        "redacted",
        data,
        lambda s: call(R.redacted, s),
        lambda s, r: check(r == COPY and s == data(), r),
    ),
    Op("report", data, lambda s: call(R.report, s), lambda s, r: check(r == REPORT, r)),
    in_place(),
    Op(
        "redact, tuple",
        lambda: {"s": [{"api_key": ("a", "b")}]},
        lambda s: call(R.redact, s),
        lambda s, r: None,
        expected=TypeError,
        message="cannot mask ('s', 0, 'api_key', 0) in place: it is inside a tuple; "
        "use redacted() for a redacted copy",
    ),
]


def main():
    gc.disable()
    for op in OPS:
        n, memory = op.sweep()
        print(f"{op.name}: N={n} memory_errors={memory}")
    print("OK")


if __name__ == "__main__":
    try:
        main()
    except Failed as e:
        print(f"FAILED {e}")
        sys.exit(1)
