"""The JSON text path: Redactor.redact_json, JSONStream and their errors."""

import contextlib
import gc
import io
import json
import pickle
import re
import string
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zentrove import JSONRedactError, Redactor
from zentrove._redact import JSONStream
from zentrove.omit import NoTrustOmitter, Omitter

DENY = Redactor(omit=["password", "token"])
ALLOW = Redactor(trust=["id", "name"])


def chunked(redactor, data, size, lines=False, keep_going=False, bom=True):
    """Feeds data in chunks of `size` bytes; returns (output, errors)."""
    stream = JSONStream(redactor, lines=lines, keep_going=keep_going, bom=bom)
    out = b"".join(stream.feed(data[i : i + size]) for i in range(0, len(data), size))
    out += stream.close()
    return out, [str(e) for e in stream.pop_errors()]


@pytest.mark.parametrize(
    "redactor, text, expected",
    [
        # Everything outside a masked string is kept byte for byte.
        (
            DENY,
            '{ "password" :"hunter2",\n"n": 1E2, "x": -0.50e-01,"d":{}, "token": []}',
            '{ "password" :"*******",\n"n": 1E2, "x": -0.50e-01,"d":{}, "token": []}',
        ),
        # Keys compare after decoding escapes; a mask counts code points:
        # an escape is one, an escaped surrogate pair one, a lone surrogate one.
        (
            DENY,
            r'{"pass\u0077ord": "a\n\u00e9\ud83d\ude00\ud800x"}',
            '{"pass\\u0077ord": "******"}',
        ),
        (DENY, '{"password": "h\u00e9llo \U0001f600"}', '{"password": "*******"}'),
        # Folded keys; a list takes its key's decision, a dict its own keys'.
        (
            DENY,
            '{"Pass-Word": ["a", ["bc", 1, null], {"x": "y", "TOKEN": "zz"}], "a": ["d"]}',
            '{"Pass-Word": ["*", ["**", 1, null], {"x": "y", "TOKEN": "**"}], "a": ["d"]}',
        ),
        # Duplicate keys are kept, each judged.
        (
            DENY,
            '{"password": "a", "password": "bb", "u": "c"}',
            '{"password": "*", "password": "**", "u": "c"}',
        ),
        # The top level has no key: kept by a deny-list, masked by an allow-list.
        (DENY, '["ab", "c"]', '["ab", "c"]'),
        (ALLOW, '"abc"', '"***"'),
        (
            ALLOW,
            '[{"id": "1", "b": ["22"]}, "x", 3, true]',
            '[{"id": "1", "b": ["**"]}, "*", 3, true]',
        ),
        # scalars=True: a number becomes a string of one '*' per character
        # as written; true, false and null stay.
        (
            Redactor(omit=["pin"], scalars=True),
            '{"pin": -1.5E3, "l": [2], "pin": [0, true, null]}',
            '{"pin": "******", "l": [2], "pin": ["*", true, null]}',
        ),
        (Redactor(trust=[], scalars=True, mask="X"), "12", '"X"'),
        # Detectors scan the strings the key rules keep; a string they mask
        # is written anew, the others stay as they were.
        (
            Redactor(omit=["password"], detect=True),
            '{"m": "db postgres://app:s3cr3t@db/\\u0078", "k": ["x\\u0041"], "password": "pw"}',
            '{"m": "db postgres://app:******@db/x", "k": ["x\\u0041"], "password": "**"}',
        ),
        # Surrogate-pair escapes at the edges of their range are one code
        # point, masked and as keys; every escape counts as one character
        # and stays as written where nothing is masked.
        (
            DENY,
            r'{"password": ["\ud800\udc00", "\udbff\udfff", "\ud83d\udc00"]}',
            '{"password": ["*", "*", "*"]}',
        ),
        (
            Redactor(omit=["\U00010000", "\U0010ffff", "\U0001f400"], exact=True),
            r'{"\ud800\udc00": "a", "\udbff\udfff": "b", '
            r'"\ud83d\udc00": "c", "\ud83d\udc01": "d"}',
            r'{"\ud800\udc00": "*", "\udbff\udfff": "*", '
            r'"\ud83d\udc00": "*", "\ud83d\udc01": "d"}',
        ),
        # A lone high surrogate is a code point of its own, before what follows.
        (
            Redactor(omit=["\ud800\n", "\udbffx"], exact=True),
            r'{"\ud800\n": "a", "\udbffx": "b", "\n\ud800": "c"}',
            r'{"\ud800\n": "*", "\udbffx": "*", "\n\ud800": "c"}',
        ),
        (
            DENY,
            r'{"x": "\"\\\/\b\f\n\r\t\u0041", "token": "\"\\\/\b\f\n\r\t\u0041"}',
            r'{"x": "\"\\\/\b\f\n\r\t\u0041", "token": "*********"}',
        ),
        (
            Redactor(omit=['"\\/\b\f\n\r\tA'], exact=True),
            r'{"\"\\\/\b\f\n\r\t\u0041": "ab", "k": ["ab"]}',
            r'{"\"\\\/\b\f\n\r\t\u0041": "**", "k": ["ab"]}',
        ),
        # Keys in UTF-8, after an escape too.
        (
            Redactor(omit=["p\u00e4ssw\u00f6rd"]),
            '{"p\u00e4ssw\u00f6rd": "a", "p\\u00e4ssw\u00f6rd": "bc", "p\u00e4ss": "d"}',
            '{"p\u00e4ssw\u00f6rd": "*", "p\\u00e4ssw\u00f6rd": "**", "p\u00e4ss": "d"}',
        ),
        # Every ASCII capital folds.
        (
            Redactor(omit=[string.ascii_lowercase]),
            f'{{"{string.ascii_uppercase}": "ab"}}',
            f'{{"{string.ascii_uppercase}": "**"}}',
        ),
        # A string the detectors change is written anew, control characters escaped.
        (
            Redactor(omit=["password"], detect=True),
            r'{"m": "\u001f\u0020 postgres://a:b@h/"}',
            r'{"m": "\u001f  postgres://a:*@h/"}',
        ),
        # A fixed mask is written as a JSON string body.
        (
            Redactor(omit=["a"], mask='[\\"\u00e9\n]'),
            '{"a": "s", "b": "t"}',
            '{"a": "[\\\\\\"\u00e9\\u000a]", "b": "t"}',
        ),
    ],
)
def test_masks_and_keeps_the_rest(redactor, text, expected):
    assert redactor.redact_json(text) == expected
    data = text.encode()
    assert redactor.redact_json(data) == expected.encode()
    # Resumable at any byte: one byte at a time gives the same output.
    assert chunked(redactor, data, 1) == (expected.encode(), [])


def test_str_with_lone_surrogates_and_bytes_with_bom():
    assert (
        DENY.redact_json('{"password": "\ud800", "a": "\udfff"}')
        == '{"password": "*", "a": "\udfff"}'
    )
    # A leading byte-order mark is kept, in str as in bytes.
    assert DENY.redact_json(b'\xef\xbb\xbf{"token": "ab"}') == b'\xef\xbb\xbf{"token": "**"}'
    assert DENY.redact_json('\ufeff{"token": "ab"}') == '\ufeff{"token": "**"}'
    assert DENY.redact_json('\ufeff["\ud800"]') == '\ufeff["\ud800"]'
    assert chunked(DENY, b'\xef\xbb\xbf["x"]', 1) == (b'\xef\xbb\xbf["x"]', [])
    assert DENY.redact_json(bytearray(b'"x"')) == b'"x"'
    with pytest.raises(TypeError, match="^data must be str or a bytes-like object, not int$"):
        DENY.redact_json(1)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "Expecting value: line 1 column 1"),
        (b"  \n ", "Expecting value: line 2 column 2"),
        (b"NaN", "Expecting value: line 1 column 1"),
        (b"[Infinity]", "Expecting value: line 1 column 2"),
        (b"[1,]", "Illegal trailing comma before end of array: line 1 column 4"),
        (b'{"a": 1,\n }', "Illegal trailing comma before end of object: line 2 column 2"),
        (b'{"a": 1 "b": 2}', "Expecting ',' delimiter: line 1 column 9"),
        (b'{"a" 1}', "Expecting ':' delimiter: line 1 column 6"),
        (b"{1: 2}", "Expecting property name enclosed in double quotes: line 1 column 2"),
        (b'{"a": 1', "Expecting ',' delimiter: line 1 column 8"),
        (b"[1] [2]", "Extra data: line 1 column 5"),
        (b'"\xc3\xa9\xc3\xa9" x', "Extra data: line 1 column 6"),
        (b'["ab', "Unterminated string: line 1 column 5"),
        (b'"ab\xc3', "Unterminated string: line 1 column 5"),
        (b'["a\\', "Unterminated string: line 1 column 5"),
        (b'{"a\\u12', "Unterminated string: line 1 column 8"),
        (b'"a\tb"', "Invalid control character in string: line 1 column 3"),
        (b'"\\x"', "Invalid \\escape: line 1 column 2"),
        (b'"\\u12G4"', "Invalid \\uXXXX escape: line 1 column 2"),
        (b'"\xff"', "Invalid UTF-8 byte 0xff: line 1 column 2"),
        (b'"\xc0\xaf"', "Invalid UTF-8 byte 0xc0: line 1 column 2"),
        (b'"\xed\xa0\x80"', "Invalid UTF-8 byte 0xa0: line 1 column 3"),
        (b'"\xf4\x90\x80\x80"', "Invalid UTF-8 byte 0x90: line 1 column 3"),
        (b'"\xe2\x82"', "Invalid UTF-8 byte 0x22: line 1 column 3"),
        (b"[01]", "Leading zeros are not allowed: line 1 column 2"),
        (b"-", "Expecting digit: line 1 column 2"),
        (b"[1.]", "Expecting digit: line 1 column 4"),
        (b"1e+x", "Expecting digit: line 1 column 4"),
        (b"-1E+", "Expecting digit: line 1 column 5"),
        (b"[1e", "Expecting digit: line 1 column 4"),
        # One exponent per number.
        (b"1e5e5", "Extra data: line 1 column 4"),
        (b"[-1E+5E5]", "Expecting ',' delimiter: line 1 column 7"),
        (b"[tru]", "Expecting value: line 1 column 2"),
        (b"nul", "Expecting value: line 1 column 1"),
        (b"[" * 10001, "Nesting deeper than 10000 levels: line 1 column 10001"),
    ],
)
def test_strict_json_errors_name_line_and_column(data, message):
    with pytest.raises(JSONRedactError) as info:
        DENY.redact_json(data)
    assert str(info.value) == message
    assert f"{info.value.msg}: line {info.value.lineno} column {info.value.colno}" == message
    # The same error wherever the chunks end.
    with pytest.raises(JSONRedactError, match=f"^{re.escape(message)}$"):
        chunked(DENY, data, 1)
    # A line of JSON Lines fails as the same text given as a document.
    if data and b"\n" not in data:
        assert chunked(DENY, data + b"\n", 1, lines=True, keep_going=True)[1] == [message]


@pytest.mark.parametrize(
    "text, message",
    [
        ("\ufeff\ufeff[]", "Expecting value: line 1 column 1"),
        (" \ufeff[]", "Expecting value: line 1 column 2"),
        ('["\ufeff", \ufeff1]', "Expecting value: line 1 column 7"),
    ],
)
def test_a_byte_order_mark_only_leads(text, message):
    for data in (text, text.encode()):
        with pytest.raises(JSONRedactError) as info:
            DENY.redact_json(data)
        assert str(info.value) == message


@pytest.mark.parametrize("size", [1, 2, 100])
@pytest.mark.parametrize(
    "bom, expected",
    [
        (True, (b'\xef\xbb\xbf["*"]\n[2]\n', [])),
        # Bytes that continue a file: the mark makes its line bad.
        (False, (b"[2]\n", ["Expecting value: line 1 column 1"])),
    ],
)
def test_stream_takes_a_leading_mark_only_at_a_file_start(bom, expected, size):
    data = b'\xef\xbb\xbf["x"]\n[2]\n'
    assert chunked(ALLOW, data, size, lines=True, keep_going=True, bom=bom) == expected


def test_error_is_a_value_error_that_pickles():
    with pytest.raises(ValueError) as info:
        DENY.redact_json('{"a":\n x}')
    err = pickle.loads(pickle.dumps(info.value))
    assert (type(err), str(err), err.msg, err.lineno, err.colno) == (
        JSONRedactError,
        "Expecting value: line 2 column 2",
        "Expecting value",
        2,
        2,
    )


def test_nesting_up_to_the_limit_is_fine():
    deep = b"[" * 9999 + b'{"token": "ab"}' + b"]" * 9999
    assert Redactor(trust=[]).redact_json(deep) == deep.replace(b'"ab"', b'"**"')


LINES = b'{"password": "pw1"}\n\n[1,\n  {"token": ["ab", "c"]}\r\n{"password": "\xff"}\n"tail"'


@pytest.mark.parametrize(
    "keep_going, output",
    [
        (False, b'{"password": "***"}\n\n'),
        (True, b'{"password": "***"}\n\n  {"token": ["**", "*"]}\r\n"tail"'),
    ],
)
@pytest.mark.parametrize("size", [1, 7, 1 << 20])
def test_json_lines_drop_bad_lines_whole(keep_going, output, size):
    errors = ["Expecting value: line 3 column 4", "Invalid UTF-8 byte 0xff: line 5 column 15"]
    assert chunked(DENY, LINES, size, lines=True, keep_going=keep_going) == (
        output,
        errors if keep_going else errors[:1],
    )


def test_stream_holds_a_line_until_it_is_complete():
    # A short first line comes out at once, a leading mark with it.
    assert JSONStream(DENY, lines=True).feed(b"1\n") == b"1\n"
    stream = JSONStream(DENY, lines=True)
    assert (stream.feed(b"\xef\xbb"), stream.feed(b"\xbf2\n")) == (b"", b"\xef\xbb\xbf2\n")
    stream = JSONStream(DENY, lines=True)
    assert stream.feed(b'{"token": "ab') == b""
    assert stream.feed(b'c"}\n{"a"') == b'{"token": "***"}\n'
    assert (stream.documents, stream.line, stream.stopped) == (1, 2, False)
    with pytest.raises(JSONRedactError, match="^Expecting ':' delimiter: line 2 column 1$"):
        JSONStream(DENY).feed(b'{"a"\n}')
    assert stream.close() == b""
    assert [str(e) for e in stream.pop_errors()] == ["Expecting ':' delimiter: line 2 column 5"]
    assert (stream.close(), stream.stopped) == (b"", True)
    with pytest.raises(ValueError, match=r"^feed\(\) after close\(\)$"):
        stream.feed(b"")


def test_large_chunks_scanned_without_the_gil_agree():
    # From 64 KiB on the scan releases the GIL and takes it back for each key
    # the cache does not know and for each bad line.
    good = b"".join(b'{"k%d": "v", "token": "xy"}\n' % i for i in range(3000))
    data = good + b'bad\n{"token": "z"}\n'
    big = chunked(DENY, data, len(data), lines=True, keep_going=True)
    assert big == chunked(DENY, data, 4096, lines=True, keep_going=True)
    assert (big[0].count(b'"**"'), big[1]) == (3000, ["Expecting value: line 3001 column 1"])
    doc = b"[" + good.replace(b"\n", b",")[:-1] + b"]"
    assert DENY.redact_json(doc) == doc.replace(b'"xy"', b'"**"')


def test_redact_json_lines_between_files():
    dst = io.BytesIO()
    assert DENY.redact_json_lines(io.BytesIO(b'{"token": "x"}\n[1]'), dst) == 2
    assert dst.getvalue() == b'{"token": "*"}\n[1]'
    dst = io.BytesIO()
    with pytest.raises(JSONRedactError, match="^Extra data: line 2 column 4$"):
        DENY.redact_json_lines(io.BytesIO(b'{"token": "x"}\n[1]x\n2\n'), dst)
    assert dst.getvalue() == b'{"token": "*"}\n'


# ------------------------------------------------- agreement with the walks

KEYS = ["password", "token", "id", "a"]
STRING = re.compile(rb'"(?:[^"\\]|\\.)*"')


def text_strings():
    return st.text(
        st.characters(codec=None, exclude_categories=["Cs"])
        | st.sampled_from('\ud800\udfff"\\\n\x00\u00e9\U0001f600'),
        max_size=6,
    )


def literal(s, draw_escape):
    """A JSON string literal of s, each character raw or escaped at random."""
    out = []
    for ch in s:
        if 0xD800 <= ord(ch) <= 0xDFFF or ch in '"\\' or ord(ch) < 0x20 or draw_escape():
            out.append(json.dumps(ch, ensure_ascii=True)[1:-1])
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


@st.composite
def documents(draw):
    """JSON text with random spacing and escapes, duplicate keys included."""
    escape = lambda: draw(st.booleans())  # noqa: E731
    space = lambda: draw(st.sampled_from(["", " ", "\n", "\t ", "\r\n"]))  # noqa: E731

    def value(depth):
        kind = draw(st.integers(0, 6 if depth < 6 else 3))
        if kind == 0:
            return literal(draw(text_strings()), escape)
        if kind == 1:
            return draw(st.sampled_from(["0", "-12", "1.5e3", "2E-2", "true", "false", "null"]))
        if kind in (2, 3):
            return literal(draw(st.sampled_from(["s", "\U0001f600\u00e9"])), escape)
        if kind == 4:
            items = [value(depth + 1) for _ in range(draw(st.integers(0, 3)))]
            return "[" + space() + ("," + space()).join(items) + space() + "]"
        keys = draw(st.lists(st.sampled_from(KEYS + ["Password", "x"]), max_size=4))
        members = [literal(k, escape) + space() + ":" + space() + value(depth + 1) for k in keys]
        return "{" + space() + ("," + space()).join(members) + space() + "}"

    return space() + value(0) + space()


@settings(max_examples=300, deadline=None)
@given(documents(), st.sampled_from([False, True]), st.lists(st.sampled_from(KEYS), max_size=3))
def test_text_path_agrees_with_the_walks(text, allow, keys):
    redactor = Redactor(trust=keys, exact=True) if allow else Redactor(omit=keys, exact=True)
    walker = NoTrustOmitter(list(keys)) if allow else Omitter(list(keys))
    # The top level has no key: a None key is sensitive exactly as no key is.
    expected = walker.omit({None: json.loads(text)})[None]
    data = text.encode()
    out = redactor.redact_json(data)
    assert json.loads(out) == expected
    assert redactor.redact_json(text) == out.decode()
    # Outside string literals the bytes are the same; each literal is kept
    # or becomes the stars of its length in code points.
    assert STRING.sub(b'""', out) == STRING.sub(b'""', data)
    for old, new in zip(STRING.findall(data), STRING.findall(out), strict=True):
        assert new == old or new == b'"' + b"*" * len(json.loads(old)) + b'"'


def leak_rounds():
    """Every path of the text API once, good and bad input alike."""
    for data in (
        '{"password": "\\ud800x", "a": [1]}',
        b'\xef\xbb\xbf{"token": "y"}',
        b"[1,]",
        "\udfff",
    ):
        with contextlib.suppress(JSONRedactError):
            DENY.redact_json(data)
    stream = JSONStream(Redactor(omit=["a"], mask="#"), lines=True, keep_going=True)
    stream.feed(b'{"a": "b"}\nbad\n{"a": ')
    stream.close()
    stream.pop_errors()
    # Large enough to be scanned with the GIL released.
    big = JSONStream(DENY, lines=True, keep_going=True)
    big.feed(b'{"token": "v"}\n' * 5000 + b"bad\n")
    big.pop_errors()
    detecting = Redactor(omit=["x"], detect=True)
    assert (
        detecting.redact_json(b'["' + b"y " * 40000 + b'", "postgres://a:bc@h/"]').count(b"**")
        == 1
    )
    # Values scanned with their keys: a dotted path, a long text joined to its key.
    long = b"z" * 600
    assert (
        detecting.redact_json(b'{"a.x": "s", "secret": "%s"}' % long)
        == b'{"a.x": "*", "secret": "%s"}' % long
    )
    with pytest.raises(JSONRedactError):
        JSONStream(DENY).feed(b"[}")


@pytest.mark.leak
def test_no_leaks():
    from helpers import assert_no_leak

    assert_no_leak(leak_rounds)


@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize(
    "char", ["\x7f", "\x80", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"]
)
def test_keys_at_the_edges_of_utf8_lengths(char, exact):
    key = "k" + char
    redactor = Redactor(omit=[key], exact=exact)
    assert (redactor.is_sensitive(key), redactor.is_sensitive(key + "x")) == (True, False)
    for escaped in (False, True):
        text = json.dumps({key: "ab", "x": "cd"}, ensure_ascii=escaped)
        expected = text.replace('"ab"', '"**"')
        assert redactor.redact_json(text) == expected
        assert redactor.redact_json(text.encode()) == expected.encode()


# ------------------------------------------ mutated input against the json module

SEEDS = [
    b'{"a": [1, -2.5e+3, true, false, null], "b": {"c": "d\\u00e9\\n"}, "a": "xy"}',
    b'[0, -0.0, 1E-7, "\\ud83d\\ude00", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", {}, [[]]]',
    b' \t\r\n{"k" : "v" , "a" :{"a":"s"}, "password": ["p", 12]}\n',
    b'"\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041"',
    b'{"m": "x postgres://app:s3cr3t@db/ y", "token": "t"}',
    b"-12.5E+03",
    b'{"p\xc3\xa4ss": {"a": "\xc3\xa9"}, "\\u00e9\xc3\xa9": 1}',
    b"null",
]
PIECES = [
    b"[",
    b"]",
    b"{",
    b"}",
    b",",
    b":",
    b'"',
    b"\\",
    b"\\u",
    b"\\ud800",
    b"\\udc00",
    b"0",
    b"1",
    b"-",
    b"+",
    b".",
    b"e",
    b"E",
    b"NaN",
    b"Infinity",
    b"-Infinity",
    b"true",
    b"fals",
    b"nul",
    b"\n",
    b"\t",
    b" ",
    b"\x00",
    b"\x1f",
    b"\x7f",
    b"\xc3",
    b"\xa9",
    b"\xe0\x80\x80",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"\xff",
    b"\xef\xbb\xbf",
    b'"a":',
    b'"x"',
]


@st.composite
def mutated(draw):
    """A seed document with a few edits at random places: mostly invalid."""
    data = draw(st.sampled_from(SEEDS))
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        op = draw(st.sampled_from(["insert", "replace", "delete", "cut", "repeat"]))
        piece = draw(st.sampled_from(PIECES))
        span = draw(st.integers(1, 4))
        if op == "insert":
            data = data[:at] + piece + data[at:]
        elif op == "replace":
            data = data[:at] + piece + data[at + span :]
        elif op == "delete":
            data = data[:at] + data[at + span :]
        elif op == "cut":
            data = data[:at]
        else:
            data = data[:at] + data[at : at + span] * 2 + data[at + span :]
    return data


FUZZ = Redactor(omit=["a", "password"], exact=True)

PROPERTY_NAME = "Expecting property name enclosed in double quotes"
# Where our message is one of json's or stands for one, json reports it at
# the same line and column.
AS_JSON = {
    "Expecting value": "Expecting value",
    "Expecting ',' delimiter": "Expecting ',' delimiter",
    "Expecting ':' delimiter": "Expecting ':' delimiter",
    PROPERTY_NAME: PROPERTY_NAME,
    "Extra data": "Extra data",
    "Invalid \\escape": "Invalid \\escape",
    "Illegal trailing comma before end of array": "Expecting value",
    "Illegal trailing comma before end of object": PROPERTY_NAME,
    "Invalid control character in string": "Invalid control character at",
}
# The deliberate differences:
# - NaN, Infinity and -Infinity are refused (json takes them);
# - bytes must be strict UTF-8 (json decodes them with surrogatepass, and
#   takes UTF-16 and UTF-32 too); a leading byte-order mark is kept (json
#   refuses it in a str);
# - nesting deeper than the recursion limit is taken up to 10,000 levels
#   (test_deep_nesting_beyond_the_recursion_limit);
# - an unterminated string is reported where the input ends (json names
#   where the string starts, or a \u escape the end cuts short);
# - a bad \uXXXX escape is reported at its backslash (json: at its "u", one
#   column on, while it reports a bad \escape at the backslash);
# - "Expecting digit", "Leading zeros are not allowed", "Invalid UTF-8 byte"
#   name the byte at fault, where json reports another message, earlier or
#   later.
NOT_NUMBERS = (b"NaN", b"Infinity")


def outcome(redactor, data):
    """("ok", output) or (message, line, column)."""
    try:
        return ("ok", redactor.redact_json(data))
    except JSONRedactError as e:
        assert str(e) == f"{e.msg}: line {e.lineno} column {e.colno}"
        return (e.msg, e.lineno, e.colno)


def offset(text, line, column):
    lines = text.split("\n")
    return sum(len(s) + 1 for s in lines[: line - 1]) + column - 1


def agrees_with_json(text, got):
    """Checks one outcome of redact_json(text) against json.loads(text)."""
    body = text[1:] if text.startswith("\ufeff") else text
    try:
        parsed, failure = json.loads(body), None
    except json.JSONDecodeError as e:
        parsed, failure = None, e
    if got[0] == "ok":
        assert failure is None, (text, failure)
        out = got[1][1:] if text.startswith("\ufeff") else got[1]
        assert json.loads(out) == Omitter(["a", "password"]).omit({None: parsed})[None]
        return
    message, line, column = got
    if body[offset(body, line, column) :].startswith(tuple(s.decode() for s in NOT_NUMBERS)):
        return  # json reads a number there
    assert failure is not None, (text, got)
    seen = (failure.msg, failure.lineno, failure.colno)
    if body.startswith("\ufeff"):  # a second mark, which json names apart
        assert got == ("Expecting value", 1, 1)
        assert seen == ("Unexpected UTF-8 BOM (decode using utf-8-sig)", 1, 1)
        return
    if message in AS_JSON:
        assert seen == (AS_JSON[message], line, column), (text, got)
    elif message == "Invalid \\uXXXX escape":
        assert seen == (message, line, column + 1), (text, got)
    elif message == "Unterminated string":
        assert failure.msg in ("Unterminated string starting at", "Invalid \\uXXXX escape"), (
            text,
            got,
        )
    else:
        assert message in ("Expecting digit", "Leading zeros are not allowed"), (text, got)


@given(mutated())
def test_mutated_input_agrees_with_json(data):
    from_bytes = outcome(FUZZ, data)
    try:
        text = data.decode()
    except UnicodeDecodeError:
        # Strict UTF-8: refused, where json.loads would decode with surrogatepass.
        assert from_bytes[0] != "ok", data
        try:
            text = data.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            return
        agrees_with_json(text, outcome(FUZZ, text))
        return
    from_str = outcome(FUZZ, text)
    agrees_with_json(text, from_str)
    # The same answer from bytes and from str.
    assert from_bytes == (from_str if from_str[0] != "ok" else ("ok", from_str[1].encode()))


@pytest.mark.parametrize("depth", [sys.getrecursionlimit() + 1, 10000])
def test_deep_nesting_beyond_the_recursion_limit(depth):
    text = "[" * depth + "]" * depth
    with pytest.raises(RecursionError):
        json.loads(text)
    assert FUZZ.redact_json(text) == text


# ------------------------------------------------------------ chunk boundaries

SPLITTERS = [
    DENY,
    Redactor(trust=["k", "p\u00e4ss"], mask="#"),
    Redactor(omit=["a"], scalars=True),
    Redactor(omit=["a", "password"], detect=True),
]


def streamed(redactor, pieces, lines):
    """(output, errors) of JSONStream fed `pieces`; for a document, only
    its error when it has one (what came out before it depends on the
    chunks)."""
    stream = JSONStream(redactor, lines=lines, keep_going=True)
    out = []
    try:
        for piece in pieces:
            out.append(stream.feed(piece))
        out.append(stream.close())
    except JSONRedactError as e:
        assert not lines
        return None, [str(e)]
    return b"".join(out), [str(e) for e in stream.pop_errors()]


@pytest.mark.parametrize("lines", [False, True])
@pytest.mark.parametrize("redactor", SPLITTERS)
@settings(max_examples=20)
@given(data=mutated())
def test_every_split_of_a_short_input_gives_the_same_output(data, redactor, lines):
    if lines:  # a line ends before the split, in a string the detectors rewrite
        data = b'{"m": "postgres://u:pw@h/"}\n' * 2 + data
    whole = streamed(redactor, [data], lines)
    if not lines and whole[0] is not None:
        assert whole[0] == redactor.redact_json(data)
    for i in range(len(data) + 1):
        assert streamed(redactor, [data[:i], data[i:]], lines) == whole, i
    assert streamed(redactor, [data[i : i + 1] for i in range(len(data))], lines) == whole


@given(
    st.lists(mutated(), min_size=1, max_size=40),
    st.sampled_from(SPLITTERS),
    st.booleans(),
    st.lists(st.integers(0, 4000), max_size=30),
)
def test_random_splits_of_a_long_input_give_the_same_output(docs, redactor, lines, cuts):
    data = (
        b"\n".join(docs)
        if lines
        else b"[" + b",".join(d.replace(b"\n", b" ") for d in docs) + b"]"
    )
    cuts = sorted({c % (len(data) + 1) for c in cuts})
    pieces = [data[i:j] for i, j in zip([0, *cuts], [*cuts, len(data)])]
    assert streamed(redactor, pieces, lines) == streamed(redactor, [data], lines)


# ------------------------------------------------------ one caller at a time

BUSY = "JSONStream is in use by another thread"


def test_a_stream_refuses_calls_while_it_scans():
    # A collection during the scan (each bad line allocates its error) runs
    # the callback, which calls the stream again: refused, and the scan
    # goes on undisturbed.
    stream = JSONStream(DENY, lines=True, keep_going=True)
    seen = []

    def callback(phase, info):
        if phase != "start":
            return
        try:
            seen.append(stream.feed(b""))
        except RuntimeError as e:
            seen.append(str(e))
            try:
                seen.append(("close", stream.close()))
            except RuntimeError as e:
                seen.append(("close", str(e)))

    data = b'bad\n{"token": "ab"}\n' * 50
    threshold = gc.get_threshold()
    gc.collect()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        out = stream.feed(data)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    # Refused while the scan ran, close() as well; let through between
    # feeds, where an empty chunk changes nothing.
    assert BUSY in seen and set(seen) <= {BUSY, b"", ("close", BUSY)}
    assert seen.count(BUSY) == seen.count(("close", BUSY))
    assert out == b'{"token": "**"}\n' * 50
    assert (stream.close(), len(stream.pop_errors()), stream.stopped) == (b"", 50, False)


@pytest.mark.slow
def test_a_stream_refuses_another_thread_while_it_scans():
    # A chunk this large is scanned with the GIL released.
    data = b'{"token": "abc", "n": [1, 2, 3]}\n' * 200_000
    for _ in range(20):
        stream = JSONStream(DENY, lines=True)
        results = []
        worker = threading.Thread(target=lambda: results.append(stream.feed(data)))
        worker.start()
        refused = []
        while worker.is_alive():
            try:
                assert stream.feed(b"") == b""
            except RuntimeError as e:
                refused.append(str(e))
        worker.join()
        assert results == [data.replace(b'"abc"', b'"***"')]
        if refused:
            assert set(refused) == {BUSY}
            return
    pytest.fail("the scan never overlapped a call from the other thread")
