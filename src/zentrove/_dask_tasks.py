"""The work of zentrove.dask's tasks, run on Dask's workers: redacting one
partition of JSON text into an output file written atomically, a partition of
a bag, a partition of a DataFrame column, through one redactor's best path.
"""

from __future__ import annotations

import copy
import json
import pickle
import posixpath
import traceback
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any, TypeVar

import fsspec  # type: ignore[import-untyped, import-not-found, unused-ignore]

from zentrove._engine import RedactorEngine, engine_of
from zentrove._redact import JSONRedactError
from zentrove._stream import redact_stream

# How many bad lines a summary or a partition keeps with their location.
FIRST_BAD = 10

_BOM = b"\xef\xbb\xbf"
# The native stream is fed this many bytes at a time.  Dask's worker processes
# run with MALLOC_TRIM_THRESHOLD_ set, which turns every allocation above
# 128 KiB into a fresh mmap: chunks (and the output of each) stay below that.
# 64 KiB is also the size from which the scanner lets go of the GIL.
CHUNK = 64 << 10

_T = TypeVar("_T")


class InvalidValue(Exception):
    """A value that is not valid JSON: line within the value, column, message."""

    def __init__(self, line: int, column: int | None, message: str) -> None:
        super().__init__(line, column, message)
        self.line = line
        self.column = column
        self.message = message


def task_engine(redactor: object) -> RedactorEngine:
    """The engine the tasks apply: a redactor's native text path when it has
    one (byte-exact outside the masks), otherwise parsing, walking and
    dumping."""
    engine = engine_of(redactor, duck_typed=True)
    if engine is None:
        raise TypeError(f"expected a zentrove redactor, got {type(redactor).__qualname__}")
    return engine


def counts(engine: RedactorEngine) -> bool:
    """Can this engine's path count the values it masks?"""
    return engine.text is None and engine.report is not None


def redact_value(engine: RedactorEngine, value: Any) -> tuple[Any, int]:
    """Redacts a parsed JSON value in place; returns it and the number of
    masks.  A value that is not an object has no key: it is walked as the
    value of a None key, which a deny-list never names and an allow-list
    never trusts."""
    assert engine.walk is not None
    holder = value if type(value) is dict else {None: value}
    masked = len(engine.report(holder)) if engine.report is not None else 0
    engine.walk(holder)
    return (value if holder is value else holder[None]), masked


def redact_json_bytes(
    engine: RedactorEngine, data: bytes, indent: int | None
) -> tuple[bytes, int]:
    """Redacts one JSON value given as UTF-8; raises InvalidValue for bad input."""
    if engine.text is not None:
        return _native(engine.text, data), 0
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise InvalidValue(line, None, f"invalid UTF-8: {exc.reason}") from None
    value, masked = _parsed(engine, text)
    return _dump(value, indent), masked


def redact_json_str(engine: RedactorEngine, text: str) -> str:
    """Redacts one JSON value held in a str; raises InvalidValue for bad input."""
    if engine.text is not None:
        result: str = _native(engine.text, text)
        return result
    value, _ = _parsed(engine, text)
    return _dump(value, None).decode("utf-8")


def _native(redact_json: Callable[[Any], Any], data: Any) -> Any:
    """The native text path on one value, its failures as InvalidValue."""
    try:
        return redact_json(data)
    except RecursionError:
        raise InvalidValue(1, None, "nested too deeply") from None
    except ValueError as exc:
        raise _bad_text(exc) from None


def _parsed(engine: RedactorEngine, text: str) -> tuple[Any, int]:
    """Parses and walks one value, its failures as InvalidValue."""
    try:
        return redact_value(engine, json.loads(text))
    except json.JSONDecodeError as exc:
        raise InvalidValue(exc.lineno, exc.colno, f"invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise InvalidValue(1, None, "nested too deeply") from None
    except ValueError as exc:
        # For example an integer beyond the interpreter's limit on digits.
        raise InvalidValue(1, None, f"invalid JSON: {exc}") from None


def redacted_copy(engine: RedactorEngine, item: _T) -> _T:
    """A redacted copy of any object; the original is left as it was."""
    if engine.copy is not None:
        result: _T = engine.copy(item)
        return result
    value, _ = redact_value(engine, copy.deepcopy(item))
    return value  # type: ignore[no-any-return]


def _dump(value: Any, indent: int | None) -> bytes:
    text = json.dumps(value, ensure_ascii=False, indent=indent)
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        # A lone surrogate from a "\ud800" escape has no UTF-8 form: this
        # value keeps its escapes instead, which loses nothing.
        return json.dumps(value, indent=indent).encode("ascii")


def _bad_text(exc: ValueError) -> InvalidValue:
    """The location and reason of an error of the native text path."""
    line = getattr(exc, "lineno", None)
    column = getattr(exc, "colno", None)
    message = getattr(exc, "msg", None)
    return InvalidValue(
        line if isinstance(line, int) else 1,
        column if isinstance(column, int) else None,
        f"invalid JSON: {message if isinstance(message, str) else exc}",
    )


# -- files ------------------------------------------------------------------


@dataclass(frozen=True)
class Part:
    """One partition: a byte range of one input file, and the file it becomes."""

    fs: Any  # fsspec file system of the input
    path: str
    offset: int
    length: int | None  # None: to the end of the file
    compression: str | None
    document: bool  # a whole .json file holding one JSON document
    out_fs: Any
    output: str
    out_compression: str | None


@dataclass(frozen=True)
class Done:
    """What one partition did; lines are counted within the partition."""

    values: int
    masked: int
    lines: int  # lines read, for numbering the lines of the next partition
    bad_count: int
    first_bad: tuple[tuple[int, int | None, str], ...]
    written: bool
    # What made the task fail; raised by the caller once every task is done.
    error: Exception | None = None


class _BadLines:
    """The bad lines of a partition: how many, and the first FIRST_BAD of them
    as (line, column, message)."""

    def __init__(self) -> None:
        self.count = 0
        self.first: list[tuple[int, int | None, str]] = []

    def add(self, line: int, column: int | None, message: str) -> None:
        self.count += 1
        if len(self.first) < FIRST_BAD:
            self.first.append((line, column, message))


def _read(part: Part) -> bytes:
    with part.fs.open(part.path, "rb", compression=part.compression) as handle:
        if part.compression is not None or part.length is None:
            data: bytes = handle.read()
            return data
        block: bytes = fsspec.utils.read_block(handle, part.offset, part.length, delimiter=b"\n")
        return block


def redact_part(part: Part, engine: RedactorEngine, keep_going: bool) -> Done:
    """Redacts one partition into a temporary file renamed over its output
    only when the whole partition succeeded: a task that fails, or a stop at
    a bad line, leaves no output file behind (and an old one untouched).

    A failure is returned, not raised: a scheduler stops waiting at the first
    raised error while other tasks still run, and one of them could then
    rename its output over the output of the caller's next run."""
    try:
        return redact_part_or_raise(part, engine, keep_going)
    except Exception as exc:
        frames = "".join(traceback.format_tb(exc.__traceback__))
        exc.add_note(
            f"while redacting {part.path} from byte {part.offset} "
            f"into {part.output}:\n{frames.rstrip()}"
        )
        try:
            pickle.dumps(exc)
        except Exception:
            # It could not travel back to the caller as it is.
            exc = RuntimeError(f"{type(exc).__qualname__}: {exc}")
            exc.add_note(f"while redacting {part.path} from byte {part.offset}")
        return Done(0, 0, 0, 0, (), False, exc)


def redact_part_or_raise(part: Part, engine: RedactorEngine, keep_going: bool) -> Done:
    if engine.native is not None:
        return stream_part(part, engine, keep_going)
    data = _read(part)
    # The text path keeps a byte-order mark, as it keeps all but the masks.
    if part.offset == 0 and data.startswith(_BOM) and not (engine.text and part.document):
        data = data[len(_BOM) :]
    out, done = redact_data(data, part.document, engine, keep_going)
    if done.written:
        _write_atomically(part, out)
    return done


def redact_data(
    data: bytes, document: bool, engine: RedactorEngine, keep_going: bool
) -> tuple[list[bytes], Done]:
    """The redacted output of one partition's bytes, in pieces, and what was
    done."""
    if document:
        lines = data.count(b"\n") + (not data.endswith(b"\n"))
        try:
            text, masked = redact_json_bytes(engine, data, indent=2)
        except InvalidValue as exc:
            # A bad document leaves nothing to write.
            return [], Done(0, 0, lines, 1, ((exc.line, exc.column, exc.message),), False)
        # The text path gives the document back byte for byte.
        pieces = [text] if engine.text is not None else [text, b"\n"]
        return pieces, Done(1, masked, lines, 0, (), True)
    out: list[bytes] = []
    bad = _BadLines()
    values = masked = 0
    rows = data.split(b"\n")
    if rows[-1] == b"":
        rows.pop()
    for number, raw in enumerate(rows, 1):
        if not raw.strip():
            continue
        try:
            if raw.startswith(_BOM):
                # A file's own mark is gone (redact_part_or_raise): this one
                # is on a later line, where it is no byte-order mark.
                raise InvalidValue(1, 1, "invalid JSON: Expecting value")
            text, count = redact_json_bytes(engine, raw.rstrip(b"\r"), indent=None)
        except InvalidValue as exc:
            # The line holds no newline: the problem is on line 1 of it.
            bad.add(number, exc.column, exc.message)
            if not keep_going:
                break
            continue
        out += (text, b"\n")
        values += 1
        masked += count
    written = keep_going or not bad.count
    return out, Done(values, masked, len(rows), bad.count, tuple(bad.first), written)


def stream_part(part: Part, engine: RedactorEngine, keep_going: bool) -> Done:
    """A partition through the native stream, read, redacted and written a
    chunk at a time: the output is the input byte for byte (blank lines, line
    ends and a byte-order mark included) except the masks, and except the bad
    lines, which are left out."""
    assert engine.native is not None
    bad = _BadLines()
    newlines = 0
    last = b"\n"

    def take_error(error: JSONRedactError) -> None:
        # Taken chunk by chunk, so that a block of bad lines costs no memory.
        bad.add(error.lineno, error.colno, f"invalid JSON: {error.msg}")

    def chunks(src: Any, remaining: int | None) -> Iterator[bytes]:
        nonlocal newlines, last
        while remaining is None or remaining > 0:
            chunk: bytes = src.read(CHUNK if remaining is None else min(CHUNK, remaining))
            if not chunk:
                return
            if remaining is not None:
                remaining -= len(chunk)
            newlines += chunk.count(b"\n")
            last = chunk[-1:]
            yield chunk

    with part.fs.open(part.path, "rb", compression=part.compression) as src:
        remaining = _seek_block(src, part)
        with AtomicPartFile(part) as out:
            # A byte-order mark counts at the start of a file only, whatever
            # the partitions: a partition that starts later continues the file.
            streamed = redact_stream(
                engine.native,
                chunks(src, remaining),
                out.write,
                take_error,
                lines=not part.document,
                keep_going=keep_going,
                bom=part.offset == 0,
            )
            written = not bad.count or (keep_going and not part.document)
            if written:
                out.commit()
    lines = newlines + (last != b"\n")
    # The stream counts the values of JSON Lines only.
    values = int(not bad.count) if part.document else streamed.documents
    return Done(values, 0, lines, bad.count, tuple(bad.first), written)


def _seek_block(src: Any, part: Part) -> int | None:
    """Moves to the first line of the part's block, and returns the number of
    bytes in the block (None: to the end), split at line ends exactly as
    fsspec.utils.read_block splits it."""
    if part.compression is not None or part.length is None:
        return None
    src.seek(part.offset)
    fsspec.utils.seek_delimiter(src, b"\n", 1 << 16)
    start: int = src.tell()
    src.seek(part.offset + part.length)
    fsspec.utils.seek_delimiter(src, b"\n", 1 << 16)
    end: int = src.tell()
    src.seek(start)
    return end - start


class AtomicPartFile:
    """A temporary file next to a part's output, renamed over it by commit()
    and removed if the block ends without a commit."""

    def __init__(self, part: Part) -> None:
        parent, name = posixpath.split(part.output)
        self.fs = part.out_fs
        self.output = part.output
        self.compression = part.out_compression
        self.temp = posixpath.join(parent, f".{name}.{uuid.uuid4().hex}.tmp")
        self.handle: Any = None
        self.done = False

    def __enter__(self) -> AtomicPartFile:
        self.handle = self.fs.open(self.temp, "wb", compression=self.compression)
        return self

    def write(self, data: bytes) -> None:
        self.handle.write(data)

    def commit(self) -> None:
        self.handle.close()
        self.fs.mv(self.temp, self.output)
        self.done = True

    def __exit__(self, *exc_info: object) -> None:
        if not self.done:
            try:
                self.handle.close()
            finally:
                if self.fs.exists(self.temp):
                    self.fs.rm_file(self.temp)


def _write_atomically(part: Part, pieces: list[bytes]) -> None:
    with AtomicPartFile(part) as out:
        for piece in pieces:
            out.write(piece)
        out.commit()


# -- collections ------------------------------------------------------------


def copy_partition(items: Iterable[Any], engine: RedactorEngine) -> list[Any]:
    return [redacted_copy(engine, item) for item in items]


def redact_series(series: Any, engine: RedactorEngine, column: Any) -> Any:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    values: list[Any] = []
    for row, value in series.items():
        try:
            if isinstance(value, str):
                value = redact_json_str(engine, value)
            elif isinstance(value, bytes):
                value = redact_json_bytes(engine, value, indent=None)[0]
            elif not (pd.api.types.is_scalar(value) and pd.isna(value)):
                raise TypeError(
                    f"column {column!r}, row {row!r}: expected JSON text, "
                    f"got {type(value).__qualname__}"
                )
        except InvalidValue as exc:
            column_at = "" if exc.column is None else f", column {exc.column}"
            raise ValueError(f"column {column!r}, row {row!r}{column_at}: {exc.message}") from None
        values.append(value)
    return pd.Series(values, index=series.index, name=series.name, dtype=series.dtype)
