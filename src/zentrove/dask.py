"""Redact datasets on Dask: JSON Lines and JSON files, bags of Python objects
and DataFrame columns of JSON text, partition by partition on any scheduler.

The redactor travels to the workers by pickle, with its own key lists; the
global key lists of a worker process play no part.  Install with
``pip install 'zentrove[dask]'``.
"""

from __future__ import annotations

import os
import posixpath
import re
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, cast

try:
    import fsspec  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from dask.base import compute as _dask_compute  # type: ignore[import-not-found, unused-ignore]
    from dask.delayed import delayed as _dask_delayed  # type: ignore[import-not-found, unused-ignore]
    from dask.utils import parse_bytes  # type: ignore[import-not-found, unused-ignore]
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "zentrove.dask needs Dask: pip install 'zentrove[dask]'", name=exc.name
    ) from exc

from zentrove._dask_tasks import (
    FIRST_BAD,
    Done,
    Part,
    copy_partition,
    counts,
    redact_part,
    redact_series,
    task_engine,
)

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

# The usual file name suffix of each output compression.
_SUFFIXES = {"gzip": "gz", "zstd": "zst"}
# The outputs and temporary files of a run, which a later run may remove.
_PART = re.compile(r"part-\d{5,}\.jsonl?(\.\w+)?")
_TEMP = re.compile(r"\.part-\d{5,}\.jsonl?(\.\w+)?\.[0-9a-f]{32}\.tmp")


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


def _plan(
    urlpath: str | list[str],
    outdir: str,
    blocksize: int | None,
    compression: str | None,
    out_compression: str | None,
    storage_options: dict[str, Any],
) -> tuple[list[Part], Any, str]:
    fs, _, paths = fsspec.core.get_fs_token_paths(
        urlpath, mode="rb", storage_options=storage_options
    )
    if not paths:
        raise FileNotFoundError(f"no input file matches {urlpath!r}")
    out_fs, root = fsspec.core.url_to_fs(outdir, **storage_options)
    root = root.rstrip("/")
    parts: list[Part] = []
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
                Part(fs, path, offset, length, codec, document, out_fs, output, out_compression)
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
    engine = task_engine(redactor)
    if isinstance(urlpath, os.PathLike):
        urlpath = os.fspath(urlpath)
    outdir = os.fspath(outdir)
    options = dict(storage_options or {})
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if size is not None and (type(size) is not int or size <= 0):
        raise ValueError(f"blocksize must be a positive number of bytes, not {blocksize!r}")
    if (
        output_compression is not None
        and output_compression not in fsspec.available_compressions()
    ):
        raise ValueError(f"unknown output_compression {output_compression!r}")
    parts, out_fs, root = _plan(urlpath, outdir, size, compression, output_compression, options)
    if out_fs.isfile(root):
        raise NotADirectoryError(f"output directory {outdir!r} is a file")
    out_fs.makedirs(root, exist_ok=True)
    tasks = [_delayed(redact_part, pure=False)(part, engine, keep_going) for part in parts]
    done: tuple[Done, ...] = _compute(*tasks)
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
        masked=sum(result.masked for result in done) if counts(engine) else None,
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


# -- collections ------------------------------------------------------------


def redact_bag(bag: Bag, redactor: Any) -> Bag:
    """A bag of redacted copies of the bag's Python objects.  The objects
    themselves are never changed, since Dask may share them between tasks."""
    result: Bag = cast(Any, bag).map_partitions(copy_partition, task_engine(redactor))
    return result


def redact_column(df: DataFrame, column: Any, redactor: Any) -> DataFrame:
    """The DataFrame with the JSON text of ``column`` redacted (missing values
    stay missing).  A value that is not valid JSON raises ``ValueError``
    naming the column and the row's index."""
    if column not in df.columns:
        raise KeyError(column)
    engine = task_engine(redactor)
    series = df[column]
    redacted = series.map_partitions(redact_series, engine, column, meta=series._meta)
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
