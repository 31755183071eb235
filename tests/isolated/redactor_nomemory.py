"""Allocation failure at every step of building a Redactor, of its walks,
of its JSON text path (redact_json, JSONStream.feed and close) and of scan().

Usage: redactor_nomemory.py.  The sweep of each operation is nomemory.py's
(lasting mode until a run gets through, then each step alone); a run must
end with MemoryError, the operation's own exception or the right result,
and a walk in place stopped by MemoryError leaves each value either as it
was or masked, never anything else.
"""

import copy
import gc
import json
import sys
from collections import OrderedDict, UserDict, defaultdict

from nomemory import Failed, Op, call

from zentrove import JSONRedactError, Redactor
from zentrove._redact import JSONStream

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


DOC = (
    '{"Password": "h\\u00e9\\ud83d\\ude00", "list": ["a", {"API-KEY": ["k", 1]}], '
    '"x_secret": "s", "n": -1.5e3, "w": "' + WIDE + '"}'
)
DOC_OUT = R.redact_json(DOC)
DETECT = Redactor(omit=["password", "api_key"], detect=True)
LOG = {"m": "GET /login?api_key=abc123&next=/ " + WIDE + " postgres://app:s3cr3t@db/x"}
LOG_JSON = json.dumps(LOG, ensure_ascii=False).encode()
LOG_OUT = DETECT.redact_json(LOG_JSON)
LINES = DOC.encode() + b"\n" + b"bad\n" + LOG_JSON + b"\n"
# Strings the detectors write anew: escapes, a fixed mask to escape, more
# spans than a scan keeps inline, a key in the text too long to judge on
# the stack, a value joined to its key beyond the stack buffer; alone, and
# repeated past the size scanned with the GIL released.
REWRITE = Redactor(omit=["password"], detect=True, mask='"#\n\u00e9')
REWRITTEN = json.dumps(
    {
        "m": "password=a\n " * 10 + "x" * 50 + ".password=b \ud800 " + WIDE,
        "SecretAccessKey": "zOhgTotcQVuYDOZxOg0n41Ea/t1RXTVR2UggxesE " + "x " * 300,
        "spring.datasource.password": "s3cr3t",
    }
).encode()
LARGE = b"[" + b", ".join([REWRITTEN] * 80) + b"]"
REWRITTEN_OUT = REWRITE.redact_json(REWRITTEN)
LARGE_OUT = REWRITE.redact_json(LARGE)


def stream(fed=b""):
    def make():
        s = JSONStream(DETECT, lines=True, keep_going=True)
        s.feed(fed)
        s.pop_errors()
        return s

    return make


def fed_through(s, r, expected, errors):
    check(r == expected, r)
    check([str(e) for e in s.pop_errors()] == errors, s)


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
    Op(
        "redact_json(bytes)",
        lambda: None,
        lambda s: call(R.redact_json, DOC.encode()),
        lambda s, r: check(r == DOC_OUT.encode(), r),
    ),
    Op(
        "redact_json(str)",
        lambda: None,
        lambda s: call(R.redact_json, DOC),
        lambda s, r: check(r == DOC_OUT, r),
    ),
    Op(
        "redact_json, detect",
        lambda: None,
        lambda s: call(DETECT.redact_json, LOG_JSON),
        lambda s, r: check(r == LOG_OUT, r),
    ),
    Op(
        "redact_json, detect rewrites",
        lambda: None,
        lambda s: call(REWRITE.redact_json, REWRITTEN),
        lambda s, r: check(r == REWRITTEN_OUT and r.count(b"#") == 13, r),
    ),
    Op(
        "redact_json, detect, GIL released",
        lambda: None,
        lambda s: call(REWRITE.redact_json, LARGE),
        lambda s, r: check(len(LARGE) > 65536 and r == LARGE_OUT, r),
    ),
    Op(
        "redact_json, bad",
        lambda: None,
        lambda s: call(R.redact_json, '{"\u00e9": [1,]}'),
        lambda s, r: None,
        expected=JSONRedactError,
        message="Illegal trailing comma before end of array: line 1 column 10",
    ),
    Op(
        "JSONStream.feed",
        stream(),
        lambda s: call(s.feed, LINES),
        lambda s, r: fed_through(
            s,
            r,
            DETECT.redact_json(DOC.encode()) + b"\n" + LOG_OUT + b"\n",
            ["Expecting value: line 2 column 1"],
        ),
    ),
    Op(
        "JSONStream.close",
        stream(LINES[:-1]),
        lambda s: call(s.close),
        lambda s, r: fed_through(s, r, LOG_OUT, []),
    ),
    Op(
        "scan",
        lambda: None,
        lambda s: call(DETECT.scan, LOG["m"]),
        lambda s, r: check(r == json.loads(LOG_OUT)["m"], r),
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
