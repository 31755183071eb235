"""JSON text redacted as a stream of blocks: the one loop that feeds the native
JSONStream, hands on its errors, stops where it stops and closes it.  The
command line, zentrove.dask's tasks and Redactor.redact_json_lines run it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, NamedTuple

from zentrove._redact import JSONRedactError, JSONStream, RedactorBase

if TYPE_CHECKING:
    from typing_extensions import Buffer


class Streamed(NamedTuple):
    """Where a stream ended."""

    documents: int  # JSON Lines values written
    line: int  # the line the stream was on: one more than the line ends read
    stopped: bool  # ended at bad input, the rest of the blocks left unread


def redact_stream(
    redactor: RedactorBase,
    blocks: Iterable[Buffer],
    write: Callable[[bytes], object],
    bad: Callable[[JSONRedactError], object],
    *,
    lines: bool = False,
    keep_going: bool = False,
    bom: bool = True,
) -> Streamed:
    """Writes the redacted text of the blocks.  Each bad line goes to `bad` as
    soon as its block is written, and the first one stops the stream unless
    keep_going; a bad document goes to `bad` and stops it too, leaving the
    caller to take back what was written of it.  A byte-order mark is kept
    at the start of the blocks only when `bom` is true."""
    stream = JSONStream(redactor, lines=lines, keep_going=keep_going, bom=bom)
    try:
        for block in blocks:
            write(stream.feed(block))
            for error in stream.pop_errors():
                bad(error)
            if stream.stopped:
                return Streamed(stream.documents, stream.line, True)
        write(stream.close())
        for error in stream.pop_errors():
            bad(error)
    except JSONRedactError as error:
        # Only a document raises: it is bad as a whole.
        bad(error)
    return Streamed(stream.documents, stream.line, stream.stopped)
