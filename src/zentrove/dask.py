"""Redact datasets on Dask: JSON Lines and JSON files, bags of Python objects
and DataFrame columns of JSON text, partition by partition on any scheduler.

The redactor travels to the workers by pickle, with its own key lists; the
global key lists of a worker process play no part.  Install with
``pip install 'zentrove[dask]'``.
"""

from __future__ import annotations

import copy
import json
import os
import pickle
import posixpath
import re
import traceback
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar, cast

try:
    import fsspec  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from dask.base import compute as _dask_compute  # type: ignore[import-not-found, unused-ignore]
    from dask.delayed import delayed as _dask_delayed  # type: ignore[import-not-found, unused-ignore]
    from dask.utils import parse_bytes  # type: ignore[import-not-found, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "zentrove.dask needs Dask: pip install 'zentrove[dask]'", name=exc.name
    ) from exc

import zentrove.omit as _omit
from zentrove._redact import JSONRedactError as _JSONRedactError
from zentrove._redact import JSONStream as _JSONStream
from zentrove._redact import RedactorBase as _RedactorBase

if TYPE_CHECKING:
    from dask.bag import Bag  # type: ignore[import-not-found, unused-ignore]
    from dask.dataframe import DataFrame  # type: ignore[import-not-found, unused-ignore]

# Dask's scheduling entry points, typed loosely where Dask leaves them untyped.
_compute: Callable[..., tuple[Any, ...]] = _dask_compute
_delayed: Callable[..., Any] = _dask_delayed

__all__ = [
    "BadInputError",
    "BadLine",
    "Summary",
    "redact_bag",
    "redact_column",
    "redact_text_files",
    "run_command",
]

# How many bad lines a summary or a partition keeps with their location.
FIRST_BAD = 10

_BOM = b"\xef\xbb\xbf"
# The usual file name suffix of each output compression.
_SUFFIXES = {"gzip": "gz", "zstd": "zst"}
# The native stream is fed this many bytes at a time.  Dask's worker processes
# run with MALLOC_TRIM_THRESHOLD_ set, which turns every allocation above
# 128 KiB into a fresh mmap: chunks (and the output of each) stay below that.
# 64 KiB is also the size from which the scanner lets go of the GIL.
_CHUNK = 64 << 10
_PART = re.compile(r"part-\d{5,}\.jsonl?(\.\w+)?")
_TEMP = re.compile(r"\.part-\d{5,}\.jsonl?(\.\w+)?\.[0-9a-f]{32}\.tmp")

_T = TypeVar("_T")


class BadLine(NamedTuple):
    """Where a bad input line (or JSON document) is, and what is wrong with it."""

    path: str
    line: int
    column: int | None
    message: str

    def __str__(self) -> str:
        column = "" if self.column is None else f"{self.column}:"
        return f"{self.path}:{self.line}:{column} {self.message}"


class BadInputError(ValueError):
    """Input that is not valid JSON, when the job stops at the first bad line."""

    def __init__(self, bad: BadLine) -> None:
        super().__init__(str(bad))
        self.bad = bad

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.bad,))


@dataclass(frozen=True)
class Summary:
    """What :func:`redact_text_files` did."""

    #: JSON values redacted and written (blank lines are skipped).
    lines: int
    #: String values masked, or None when the redactor's path cannot count them.
    masked: int | None
    #: Bad lines (or JSON documents) met, each reported, none written.
    bad_lines: int
    #: The first few of them, in input order.
    first_bad: tuple[BadLine, ...]
    #: The files written, one per partition, in input order.
    outputs: tuple[str, ...]


class _Bad(Exception):
    """A value that is not valid JSON: line within the value, column, message."""

    def __init__(self, line: int, column: int | None, message: str) -> None:
        super().__init__(line, column, message)
        self.line = line
        self.column = column
        self.message = message


class _Adapter:
    """Applies one redactor to JSON text and to objects: through the
    redactor's native text path when it has one (byte-exact outside the
    masks), otherwise by parsing, walking and dumping."""

    def __init__(self, redactor: Any) -> None:
        self.redactor = redactor
        self.text: Callable[[Any], Any] | None = getattr(redactor, "redact_json", None)
        # The native JSON Lines stream, for a zentrove.Redactor.
        self.stream: Callable[..., Any] | None = None
        if isinstance(redactor, _RedactorBase) and self.text is not None:
            self.stream = _JSONStream
        self.walk: Callable[[Any], Any] | None = None
        self.report: Callable[[Any], list[Any]] | None = None
        if isinstance(redactor, _omit.Omitter):
            self.walk = redactor.omit
        elif callable(getattr(redactor, "redact", None)):
            self.walk = redactor.redact
            self.report = getattr(redactor, "report", None)
        elif self.text is None:
            raise TypeError(
                f"expected a zentrove redactor, got {type(redactor).__qualname__}"
            )

    def __reduce__(self) -> tuple[Any, ...]:
        # Only the redactor travels; each process looks its methods up again.
        return (_Adapter, (self.redactor,))

    def counts(self) -> bool:
        """Can this path count the values it masks?"""
        return self.text is None and self.report is not None

    def value(self, value: Any) -> tuple[Any, int]:
        """Redacts a parsed JSON value in place; returns it and the number of
        masks.  A value that is not an object has no key: it is walked as the
        value of a None key, which a deny-list never names and an allow-list
        never trusts."""
        assert self.walk is not None
        holder = value if type(value) is dict else {None: value}
        masked = len(self.report(holder)) if self.report is not None else 0
        self.walk(holder)
        return (value if holder is value else holder[None]), masked

    def json(self, data: bytes, indent: int | None) -> tuple[bytes, int]:
        """Redacts one JSON value given as UTF-8; raises _Bad for bad input."""
        if self.text is not None:
            try:
                return self.text(data), 0
            except RecursionError:
                raise _Bad(1, None, "nested too deeply") from None
            except ValueError as exc:
                raise _bad_text(exc) from None
        try:
            value, masked = self.value(json.loads(data.decode("utf-8")))
        except UnicodeDecodeError as exc:
            line = data.count(b"\n", 0, exc.start) + 1
            raise _Bad(line, None, f"invalid UTF-8: {exc.reason}") from None
        except json.JSONDecodeError as exc:
            raise _Bad(exc.lineno, exc.colno, f"invalid JSON: {exc.msg}") from None
        except RecursionError:
            raise _Bad(1, None, "nested too deeply") from None
        except ValueError as exc:
            # For example an integer beyond the interpreter's limit on digits.
            raise _Bad(1, None, f"invalid JSON: {exc}") from None
        return _dump(value, indent), masked

    def json_text(self, text: str) -> str:
        """Redacts one JSON value held in a str; raises _Bad for bad input."""
        if self.text is not None:
            try:
                result: str = self.text(text)
                return result
            except RecursionError:
                raise _Bad(1, None, "nested too deeply") from None
            except ValueError as exc:
                raise _bad_text(exc) from None
        try:
            value, _ = self.value(json.loads(text))
        except json.JSONDecodeError as exc:
            raise _Bad(exc.lineno, exc.colno, f"invalid JSON: {exc.msg}") from None
        except RecursionError:
            raise _Bad(1, None, "nested too deeply") from None
        except ValueError as exc:
            raise _Bad(1, None, f"invalid JSON: {exc}") from None
        return _dump(value, None).decode("utf-8")

    def copied(self, item: _T) -> _T:
        """A redacted copy of any object; the original is left as it was."""
        redacted = getattr(self.redactor, "redacted", None)
        if redacted is not None:
            result: _T = redacted(item)
            return result
        value, _ = self.value(copy.deepcopy(item))
        return value  # type: ignore[no-any-return]


def _dump(value: Any, indent: int | None) -> bytes:
    text = json.dumps(value, ensure_ascii=False, indent=indent)
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        # A lone surrogate from a "\ud800" escape has no UTF-8 form: this
        # value keeps its escapes instead, which loses nothing.
        return json.dumps(value, indent=indent).encode("ascii")


def _bad_text(exc: ValueError) -> _Bad:
    """The location and reason of an error of the native text path."""
    line = getattr(exc, "lineno", None)
    column = getattr(exc, "colno", None)
    message = getattr(exc, "msg", None)
    return _Bad(
        line if isinstance(line, int) else 1,
        column if isinstance(column, int) else None,
        f"invalid JSON: {message if isinstance(message, str) else exc}",
    )


# -- files ------------------------------------------------------------------


@dataclass(frozen=True)
class _Part:
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
class _Done:
    """What one partition did; lines are counted within the partition."""

    values: int
    masked: int
    lines: int  # lines read, for numbering the lines of the next partition
    bad_count: int
    first_bad: tuple[tuple[int, int | None, str], ...]
    written: bool
    # What made the task fail; raised by the caller once every task is done.
    error: Exception | None = None


def _read(part: _Part) -> bytes:
    with part.fs.open(part.path, "rb", compression=part.compression) as handle:
        if part.compression is not None or part.length is None:
            data: bytes = handle.read()
            return data
        block: bytes = fsspec.utils.read_block(
            handle, part.offset, part.length, delimiter=b"\n"
        )
        return block


def _redact_part(part: _Part, adapter: _Adapter, keep_going: bool) -> _Done:
    """Redacts one partition into a temporary file renamed over its output
    only when the whole partition succeeded: a task that fails, or a stop at
    a bad line, leaves no output file behind (and an old one untouched).

    A failure is returned, not raised: a scheduler stops waiting at the first
    raised error while other tasks still run, and one of them could then
    rename its output over the output of the caller's next run."""
    try:
        return _redact_part_or_raise(part, adapter, keep_going)
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
        return _Done(0, 0, 0, 0, (), False, exc)


def _redact_part_or_raise(part: _Part, adapter: _Adapter, keep_going: bool) -> _Done:
    if adapter.stream is not None:
        return _stream_part(part, adapter, keep_going)
    data = _read(part)
    # The text path keeps a byte-order mark, as it keeps all but the masks.
    if part.offset == 0 and data.startswith(_BOM) and not (adapter.text and part.document):
        data = data[len(_BOM) :]
    out, done = _redact_data(data, part.document, adapter, keep_going)
    if done.written:
        _write_atomically(part, out)
    return done


def _redact_data(
    data: bytes, document: bool, adapter: _Adapter, keep_going: bool
) -> tuple[list[bytes], _Done]:
    """The redacted output of one partition's bytes, in pieces, and what was
    done."""
    if document:
        lines = data.count(b"\n") + (not data.endswith(b"\n"))
        try:
            text, masked = adapter.json(data, indent=2)
        except _Bad as exc:
            # A bad document leaves nothing to write.
            return [], _Done(0, 0, lines, 1, ((exc.line, exc.column, exc.message),), False)
        # The text path gives the document back byte for byte.
        pieces = [text] if adapter.text is not None else [text, b"\n"]
        return pieces, _Done(1, masked, lines, 0, (), True)
    out: list[bytes] = []
    bad: list[tuple[int, int | None, str]] = []
    bad_count = values = masked = 0
    rows = data.split(b"\n")
    if rows[-1] == b"":
        rows.pop()
    for number, raw in enumerate(rows, 1):
        if not raw.strip():
            continue
        try:
            text, count = adapter.json(raw.rstrip(b"\r"), indent=None)
        except _Bad as exc:
            # The line holds no newline: the problem is on line 1 of it.
            bad_count += 1
            if len(bad) < FIRST_BAD:
                bad.append((number, exc.column, exc.message))
            if not keep_going:
                break
            continue
        out += (text, b"\n")
        values += 1
        masked += count
    written = keep_going or not bad_count
    return out, _Done(values, masked, len(rows), bad_count, tuple(bad), written)


def _stream_part(part: _Part, adapter: _Adapter, keep_going: bool) -> _Done:
    """A partition through the native stream, read, redacted and written a
    chunk at a time: the output is the input byte for byte (blank lines, line
    ends and a byte-order mark included) except the masks, and except the bad
    lines, which are left out."""
    assert adapter.stream is not None
    stream = adapter.stream(
        adapter.redactor, lines=not part.document, keep_going=keep_going
    )
    bad: list[tuple[int, int | None, str]] = []
    bad_count = newlines = 0
    last = b"\n"

    def take_errors() -> int:
        # Taken chunk by chunk, so that a block of bad lines costs no memory.
        errors = stream.pop_errors()
        for error in errors[: FIRST_BAD - len(bad)]:
            bad.append((error.lineno, error.colno, f"invalid JSON: {error.msg}"))
        return len(errors)

    with part.fs.open(part.path, "rb", compression=part.compression) as src:
        remaining = _seek_block(src, part)
        with _AtomicFile(part) as out:
            try:
                while remaining is None or remaining > 0:
                    chunk = src.read(_CHUNK if remaining is None else min(_CHUNK, remaining))
                    if not chunk:
                        break
                    if remaining is not None:
                        remaining -= len(chunk)
                    newlines += chunk.count(b"\n")
                    last = chunk[-1:]
                    out.write(stream.feed(chunk))
                    bad_count += take_errors()
                    if stream.stopped:
                        break
                if not stream.stopped:
                    out.write(stream.close())
                    bad_count += take_errors()
            except _JSONRedactError as exc:
                # Only a document raises: it is bad as a whole.
                bad.append((exc.lineno, exc.colno, f"invalid JSON: {exc.msg}"))
                bad_count = 1
            written = not bad_count or (keep_going and not part.document)
            if written:
                out.commit()
    lines = newlines + (last != b"\n")
    # The stream counts the values of JSON Lines only.
    values = int(not bad_count) if part.document else stream.documents
    return _Done(values, 0, lines, bad_count, tuple(bad), written)


def _seek_block(src: Any, part: _Part) -> int | None:
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


class _AtomicFile:
    """A temporary file next to a part's output, renamed over it by commit()
    and removed if the block ends without a commit."""

    def __init__(self, part: _Part) -> None:
        parent, name = posixpath.split(part.output)
        self.fs = part.out_fs
        self.output = part.output
        self.compression = part.out_compression
        self.temp = posixpath.join(parent, f".{name}.{uuid.uuid4().hex}.tmp")
        self.handle: Any = None
        self.done = False

    def __enter__(self) -> _AtomicFile:
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


def _write_atomically(part: _Part, pieces: list[bytes]) -> None:
    with _AtomicFile(part) as out:
        for piece in pieces:
            out.write(piece)
        out.commit()


def _plan(
    urlpath: str | list[str],
    outdir: str,
    blocksize: int | None,
    compression: str | None,
    out_compression: str | None,
    storage_options: dict[str, Any],
) -> tuple[list[_Part], Any, str]:
    fs, _, paths = fsspec.core.get_fs_token_paths(
        urlpath, mode="rb", storage_options=storage_options
    )
    if not paths:
        raise FileNotFoundError(f"no input file matches {urlpath!r}")
    out_fs, root = fsspec.core.url_to_fs(outdir, **storage_options)
    root = root.rstrip("/")
    parts: list[_Part] = []
    for path in paths:
        info = fs.info(path)
        if info["type"] == "directory":
            raise IsADirectoryError(
                f"input {path!r} is a directory; name its files, for example "
                f"{path.rstrip('/') + '/*.jsonl'!r}"
            )
        if type(fs) is type(out_fs) and path.startswith(root + "/"):
            raise ValueError(f"input {path!r} is inside the output directory")
        codec = fsspec.utils.infer_compression(path) if compression == "infer" else compression
        stem = path[: path.rfind(".")] if codec is not None else path
        document = stem.lower().endswith(".json")
        size = info["size"] or 0
        if document or codec is not None or blocksize is None or size <= blocksize:
            ranges: Iterable[tuple[int, int | None]] = [(0, None)]
        else:
            ranges = ((offset, blocksize) for offset in range(0, size, blocksize))
        for offset, length in ranges:
            suffix = ".json" if document else ".jsonl"
            if out_compression is not None:
                suffix += "." + _SUFFIXES.get(out_compression, out_compression)
            output = f"{root}/part-{len(parts):05d}{suffix}"
            parts.append(
                _Part(fs, path, offset, length, codec, document, out_fs, output, out_compression)
            )
    return parts, out_fs, root


def redact_text_files(
    urlpath: str | os.PathLike[str] | list[str],
    outdir: str | os.PathLike[str],
    redactor: Any,
    *,
    keep_going: bool = False,
    blocksize: int | str | None = "64MiB",
    compression: str | None = "infer",
    output_compression: str | None = None,
    storage_options: dict[str, Any] | None = None,
) -> Summary:
    """Redacts JSON Lines files (and ``.json`` files, one JSON document each)
    into ``outdir``, one output file per partition: ``part-00000.jsonl``,
    ``part-00001.jsonl``, ... in input order (``.json`` for documents).

    ``urlpath`` is a path, glob or fsspec URL (or a list of them), as for
    ``dask.bag.read_text``.  Large uncompressed JSON Lines files are split
    into blocks of about ``blocksize`` bytes at line ends; the lines of each
    partition keep their order.  Each output file is written to a temporary
    name and renamed when its partition is done, so a failed task leaves no
    half-written file; a later run replaces the outputs and removes the
    ``part-*`` files of an earlier run that it did not write.

    A line that is not valid JSON is never written.  By default the job
    raises :class:`BadInputError` naming the first bad line in input order,
    and the partition holding it writes nothing (the others are written);
    with ``keep_going=True`` bad lines are counted and the first few
    reported in the summary.  Runs on the current Dask scheduler (a
    ``distributed.Client`` when one is active).
    """
    adapter = _Adapter(redactor)
    if isinstance(urlpath, os.PathLike):
        urlpath = os.fspath(urlpath)
    outdir = os.fspath(outdir)
    options = dict(storage_options or {})
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if size is not None and (type(size) is not int or size <= 0):
        raise ValueError(f"blocksize must be a positive number of bytes, not {blocksize!r}")
    if output_compression is not None and output_compression not in fsspec.available_compressions():
        raise ValueError(f"unknown output_compression {output_compression!r}")
    parts, out_fs, root = _plan(
        urlpath, outdir, size, compression, output_compression, options
    )
    if out_fs.isfile(root):
        raise NotADirectoryError(f"output directory {outdir!r} is a file")
    out_fs.makedirs(root, exist_ok=True)
    tasks = [
        _delayed(_redact_part, pure=False)(part, adapter, keep_going)
        for part in parts
    ]
    done: tuple[_Done, ...] = _compute(*tasks)
    first_bad: list[BadLine] = []
    line_base = 0
    for index, (part, result) in enumerate(zip(parts, done)):
        if result.error is not None:
            raise result.error
        if index and part.path != parts[index - 1].path:
            line_base = 0
        for line, column, message in result.first_bad:
            if len(first_bad) < FIRST_BAD:
                first_bad.append(BadLine(part.path, line_base + line, column, message))
        if not keep_going and result.bad_count:
            raise BadInputError(first_bad[0])
        line_base += result.lines
    outputs = [part.output for part, result in zip(parts, done) if result.written]
    _remove_stale(out_fs, root, set(outputs))
    return Summary(
        lines=sum(result.values for result in done),
        masked=sum(result.masked for result in done) if adapter.counts() else None,
        bad_lines=sum(result.bad_count for result in done),
        first_bad=tuple(first_bad),
        outputs=tuple(outputs),
    )


def _remove_stale(fs: Any, root: str, keep: set[str]) -> None:
    """Removes the outputs of an earlier run that this run did not write, and
    temporary files left by a worker that died."""
    for path in fs.ls(root, detail=False):
        path = path.rstrip("/")
        name = posixpath.basename(path)
        if path not in keep and (_PART.fullmatch(name) or _TEMP.fullmatch(name)):
            fs.rm_file(path)


# -- collections --------------------------------------------------------------


def _copy_partition(items: Iterable[Any], adapter: _Adapter) -> list[Any]:
    return [adapter.copied(item) for item in items]


def redact_bag(bag: Bag, redactor: Any) -> Bag:
    """A bag of redacted copies of the bag's Python objects.  The objects
    themselves are never changed, since Dask may share them between tasks."""
    result: Bag = cast(Any, bag).map_partitions(_copy_partition, _Adapter(redactor))
    return result


def _redact_series(series: Any, adapter: _Adapter, column: Any) -> Any:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    values: list[Any] = []
    for row, value in series.items():
        try:
            if isinstance(value, str):
                value = adapter.json_text(value)
            elif isinstance(value, bytes):
                value = adapter.json(value, indent=None)[0]
            elif not (pd.api.types.is_scalar(value) and pd.isna(value)):
                raise TypeError(
                    f"column {column!r}, row {row!r}: expected JSON text, "
                    f"got {type(value).__qualname__}"
                )
        except _Bad as exc:
            column_at = "" if exc.column is None else f", column {exc.column}"
            raise ValueError(
                f"column {column!r}, row {row!r}{column_at}: {exc.message}"
            ) from None
        values.append(value)
    return pd.Series(values, index=series.index, name=series.name, dtype=series.dtype)


def redact_column(df: DataFrame, column: Any, redactor: Any) -> DataFrame:
    """The DataFrame with the JSON text of ``column`` redacted (missing values
    stay missing).  A value that is not valid JSON raises ``ValueError``
    naming the column and the row's index."""
    if column not in df.columns:
        raise KeyError(column)
    adapter = _Adapter(redactor)
    series = df[column]
    redacted = series.map_partitions(
        _redact_series, adapter, column, meta=series._meta
    )
    result: DataFrame = cast(Any, df).copy()
    result[column] = redacted
    return result


def run_command(
    address: str,
    inputs: list[str],
    outdir: str,
    redactor: Any,
    keep_going: bool,
    report: Callable[[str], None],
) -> int:
    """``zentrove --dask ADDRESS``: redact_text_files on the scheduler at
    ``address`` (``"local"``: a local cluster of processes), each bad line
    reported; returns the number of bad lines."""
    import distributed  # type: ignore[import-not-found, unused-ignore]

    client_type: Callable[..., Any] = distributed.Client
    if address == "local":
        client = client_type(processes=True, dashboard_address=":0")
    else:
        client = client_type(address)
    with client:
        try:
            summary = redact_text_files(inputs, outdir, redactor, keep_going=keep_going)
        except BadInputError as exc:
            report(str(exc))
            return 1
    for bad in summary.first_bad:
        report(str(bad))
    hidden = summary.bad_lines - len(summary.first_bad)
    if hidden:
        report(f"{hidden} more bad lines")
    return summary.bad_lines
