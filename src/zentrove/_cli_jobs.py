"""The command line's work: a run's state and error reports, one input
redacted in this process as a stream of blocks, and JSON Lines files split at
line ends over worker processes for --jobs, their output kept in order.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING

from zentrove._cli_compress import open_reader, read_errors
from zentrove._cli_io import (
    BLOCK,
    Input,
    Output,
    Progress,
    WriteError,
    reason,
    start_progress,
)
from zentrove._redact import JSONRedactError
from zentrove._stream import redact_stream
from zentrove.redactor import Redactor

if TYPE_CHECKING:
    from concurrent.futures import Future, ProcessPoolExecutor

# JSON Lines files are split into parts of SEGMENT bytes (at line ends) for
# --jobs.
SEGMENT = 16 << 20

LINES_HINT = " (JSON Lines? use --lines)"


class Job:
    """One run: where output goes, how to go on after bad input, and the
    count of failures so far."""

    def __init__(self, redactor: Redactor, out: Output, keep_going: bool, processes: int) -> None:
        self.redactor = redactor
        self.out = out
        self.keep_going = keep_going
        self.processes = processes  # --jobs: this one and its workers
        self.flush_each = False  # interactive input: flush every block
        self.out_is_terminal = False  # output shares the terminal: no bar
        self.failures = 0
        self.progress: Progress | None = None

    def report(self, message: str) -> None:
        self.failures += 1
        self.out.flush()
        if self.progress is not None:
            self.progress.clear()
        sys.stderr.write(f"zentrove: {message}\n")
        sys.stderr.flush()

    def bad_json(
        self,
        name: str,
        err: JSONRedactError | tuple[str, int, int],
        line_offset: int = 0,
        hint: bool = False,
    ) -> None:
        msg, lineno, colno = err if isinstance(err, tuple) else (err.msg, err.lineno, err.colno)
        # A second document at the start of a line: likely JSON Lines.
        extra = LINES_HINT if hint and msg == "Extra data" and colno == 1 else ""
        self.report(f"{name}:{lineno + line_offset}:{colno}: invalid JSON: {msg}{extra}")


def redact_input(job: Job, item: Input) -> bool:
    """Redacts one input in this process; False when it had bad data."""
    try:
        if item.path is None:
            source: IO[bytes] = os.fdopen(sys.stdin.fileno(), "rb", buffering=0, closefd=False)
        elif item.compression is not None:
            source = open_reader(item.path, item.compression)
        else:
            source = open(item.path, "rb", buffering=0)  # noqa: SIM115 - closed by `with` below
    except OSError as exc:
        job.report(f"{item.name}: can't open: {reason(exc)}")
        return False
    job.out.next_input()
    job.progress = start_progress(item, job.out_is_terminal)
    try:
        with source:
            if item.lines:
                return _lines(job, item, source)
            return _document(job, item, source)
    finally:
        if job.progress is not None:
            job.progress.close()
            job.progress = None


def _blocks(job: Job, item: Input, source: IO[bytes], flush: bool = False) -> Iterator[memoryview]:
    """The input's blocks; with flush, the output is flushed once a block's
    output and errors are out, before the next block is read."""
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    while True:
        try:
            n = source.readinto(buffer)  # type: ignore[attr-defined]
        except read_errors() as exc:
            raise _ReadError(_cant_read(item, exc)) from exc
        if not n:
            return
        if job.progress is not None:
            job.progress.update(n)
        yield view[:n]
        if flush:
            job.out.flush()


class _ReadError(Exception):
    pass


def _cant_read(item: Input, exc: BaseException) -> str:
    return f"{item.name}: can't read: {reason(exc)}"


def _lines(job: Job, item: Input, source: IO[bytes]) -> bool:
    ok = True

    def bad(err: JSONRedactError) -> None:
        nonlocal ok
        job.bad_json(item.name, err)
        ok = False

    try:
        streamed = redact_stream(
            job.redactor,
            _blocks(job, item, source, job.flush_each),
            job.out.write,
            bad,
            lines=True,
            keep_going=job.keep_going,
        )
    except _ReadError as exc:
        job.report(str(exc))
        return False
    return ok and not streamed.stopped


def _document(job: Job, item: Input, source: IO[bytes]) -> bool:
    errors: list[JSONRedactError] = []
    job.out.begin_document()
    try:
        redact_stream(job.redactor, _blocks(job, item, source), job.out.write, errors.append)
    except _ReadError as exc:
        job.out.end_document(False)
        job.report(str(exc))
        return False
    if errors:
        job.out.end_document(False)
        job.bad_json(item.name, errors[0], hint=True)
        return False
    job.out.end_document(True)
    return True


# ------------------------------------------------------- worker processes

# What a part gives back: the lines it read, its bad lines as (msg, lineno,
# colno), and whether the run stops after it.
PartErrors = list[tuple[str, int, int]]
PartResult = tuple[int, PartErrors, bool]


def _redact_range(
    redactor: Redactor,
    path: str,
    start: int,
    end: int,
    lines: bool,
    keep_going: bool,
    write: Callable[[bytes], object],
) -> PartResult:
    """Redacts bytes [start, end) of a file, passing the output to write."""
    errors: PartErrors = []
    with open(path, "rb", buffering=0) as src:
        # A part that starts later in the file has no byte-order mark to keep.
        streamed = redact_stream(
            redactor,
            _range_blocks(src.fileno(), start, end),
            write,
            lambda e: errors.append((e.msg, e.lineno, e.colno)),
            lines=lines,
            keep_going=keep_going,
            bom=start == 0,
        )
    return streamed.line - 1, errors, streamed.stopped


def _range_blocks(fd: int, start: int, end: int) -> Iterator[memoryview]:
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    offset = start
    while offset < end:
        n = os.preadv(fd, [view[: min(BLOCK, end - offset)]], offset)
        if not n:
            return
        offset += n
        yield view[:n]


def _work_part(
    redactor: Redactor,
    path: str,
    start: int,
    end: int,
    lines: bool,
    keep_going: bool,
    part_dir: str,
) -> tuple[str, PartResult]:
    """In a worker process: a part of a file redacted into a new part file
    (empty for a bad document)."""
    import tempfile

    # A failed write comes back as a WriteError; any other OSError is a read.
    try:
        fd, part = tempfile.mkstemp(dir=part_dir)
        out = os.fdopen(fd, "wb")
    except OSError as exc:
        raise _part_error(exc) from None

    def write(data: bytes) -> None:
        try:
            out.write(data)
        except OSError as exc:
            raise _part_error(exc) from None

    try:
        result = _redact_range(redactor, path, start, end, lines, keep_going, write)
        try:
            if result[1] and not lines:
                out.truncate(0)
            out.close()
        except OSError as exc:
            raise _part_error(exc) from None
    finally:
        # After a failed write, closing would fail the same way once more.
        if not out.closed:
            with contextlib.suppress(OSError):
                out.close()
    return part, result


def _part_error(exc: OSError) -> WriteError:
    return WriteError(f"can't write a part file: {reason(exc)}")


def _segments(item: Input) -> list[tuple[int, int]]:
    """Splits a JSON Lines file into parts that end at line ends."""
    assert item.path is not None
    size = item.info.st_size
    if not item.lines or size <= SEGMENT:
        return [(0, size)]
    bounds = [0]
    with open(item.path, "rb") as handle:
        while bounds[-1] + SEGMENT < size:
            handle.seek(bounds[-1] + SEGMENT)
            handle.readline()
            position = handle.tell()
            if position >= size:
                break
            bounds.append(position)
    bounds.append(size)
    return list(zip(bounds, bounds[1:]))


def run_parallel(job: Job, inputs: Sequence[Input]) -> None:
    """Redacts the inputs on job.processes processes (this one included), writing
    parts in order."""
    import tempfile
    from concurrent.futures import ProcessPoolExecutor

    try:
        temp = tempfile.TemporaryDirectory(prefix="zentrove-", ignore_cleanup_errors=True)
    except OSError as exc:
        raise _part_error(exc) from None
    with temp as part_dir:
        pool = ProcessPoolExecutor(max_workers=job.processes - 1, initializer=_worker_signals)
        try:
            _run_parts(job, inputs, pool, part_dir)
        except BaseException:
            # Stopped by a signal or a write error: the parts still running
            # are not wanted, and a worker left behind would hold stderr.
            _stop_workers(pool)
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def _worker_signals() -> None:
    """In a worker: the main process decides when to stop, and stops the
    workers itself; its handlers, inherited by fork, do not apply here."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    # The executor has no public way to end its processes in 3.11.
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        process.terminate()


def _run_parts(
    job: Job, inputs: Sequence[Input], pool: ProcessPoolExecutor, part_dir: str
) -> None:
    """This process takes every job.processes-th part itself and writes it straight
    out; workers write the others to part files, which are copied in order."""
    segments = [
        (item, start, end) for item in inputs if item.splittable for start, end in _segments(item)
    ]
    futures: dict[int, Future[tuple[str, PartResult]]] = {}
    submitted = 0

    def fill() -> None:
        # Up to two parts per worker ahead of this process.
        nonlocal submitted
        while submitted < len(segments) and len(futures) < 2 * (job.processes - 1):
            k = submitted
            submitted += 1
            if k % job.processes:
                item, start, end = segments[k]
                futures[k] = pool.submit(
                    _work_part,
                    job.redactor,
                    item.path or "",
                    start,
                    end,
                    item.lines,
                    job.keep_going,
                    part_dir,
                )

    index = 0
    for item in inputs:
        if not item.splittable:
            if not redact_input(job, item) and not job.keep_going:
                return
            continue
        job.out.next_input()
        progress = start_progress(item, job.out_is_terminal)
        job.progress = progress
        try:
            line_offset = 0
            while index < len(segments) and segments[index][0] is item:
                _, start, end = segments[index]
                fill()
                # Writes fail as WriteError: an OSError here is a read's.
                if index % job.processes == 0:
                    if not item.lines:
                        job.out.begin_document()
                    try:
                        lines_read, errors, stop = _redact_range(
                            job.redactor,
                            item.path or "",
                            start,
                            end,
                            item.lines,
                            job.keep_going,
                            job.out.write,
                        )
                    except OSError as exc:
                        if not item.lines:
                            job.out.end_document(False)
                        job.report(_cant_read(item, exc))
                        return
                    if not item.lines:
                        job.out.end_document(not errors)
                else:
                    try:
                        part, (lines_read, errors, stop) = futures.pop(index).result()
                    except OSError as exc:
                        job.report(_cant_read(item, exc))
                        return
                    if item.lines or not errors:
                        job.out.copy_file(part)
                    os.unlink(part)
                for error in errors:
                    job.bad_json(item.name, error, line_offset, hint=not item.lines)
                if progress is not None:
                    progress.update(end - start)
                line_offset += lines_read
                index += 1
                if stop and not job.keep_going:
                    return
        finally:
            if progress is not None:
                progress.close()
            job.progress = None
