"""The JSON text path: Redactor.redact_json, JSONStream and their errors."""

import contextlib
import io
import json
import pickle
import re

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
