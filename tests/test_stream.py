"""zentrove._stream.redact_stream, the loop that every streaming caller runs:
what it writes, what it hands on as errors, and where it stops reading."""

import pytest

from zentrove import Redactor
from zentrove._stream import Streamed, redact_stream

DENY = Redactor(omit=["password"])
BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize(
    "blocks, options, output, errors, streamed, taken",
    [
        # JSON Lines stop at the first bad line: the next block is never read.
        (
            [b'{"password": "ab"}\n[}\n', b'{"a": 1}\n'],
            {"lines": True},
            b'{"password": "**"}\n',
            [("Expecting value", 2, 2)],
            Streamed(1, 2, True),
            1,
        ),
        # keep_going: the bad line is left out, the rest read and closed.
        (
            [b'{"password": "ab"}\n[}\n', b'{"a": 1}'],
            {"lines": True, "keep_going": True},
            b'{"password": "**"}\n{"a": 1}',
            [("Expecting value", 2, 2)],
            Streamed(2, 3, False),
            2,
        ),
        # A leading byte-order mark is kept at a file's start only.
        (
            [BOM + b'{"a": 1}\n'],
            {"lines": True},
            BOM + b'{"a": 1}\n',
            [],
            Streamed(1, 2, False),
            1,
        ),
        (
            [BOM + b'{"a": 1}\n'],
            {"lines": True, "bom": False},
            b"",
            [("Expecting value", 1, 1)],
            Streamed(0, 1, True),
            1,
        ),
        # A document across blocks; a bad one raises no error out of the
        # loop, and what was written of it is the caller's to take back.
        (
            [b'{"password": ', b'"ab"}\n'],
            {},
            b'{"password": "**"}\n',
            [],
            Streamed(0, 2, False),
            2,
        ),
        (
            [b'{"password": ', b'"ab"]', b"never read"],
            {},
            b'{"password": ',
            [("Expecting ',' delimiter", 1, 18)],
            Streamed(0, 1, True),
            2,
        ),
    ],
)
def test_stream_writes_hands_on_errors_and_stops(blocks, options, output, errors, streamed, taken):
    written, bad, read = [], [], []

    def source():
        for block in blocks:
            read.append(block)
            yield block

    def take(error):
        bad.append((error.msg, error.lineno, error.colno))

    assert redact_stream(DENY, source(), written.append, take, **options) == streamed
    assert (b"".join(written), bad, len(read)) == (output, errors, taken)
