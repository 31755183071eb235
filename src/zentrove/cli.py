"""The ``zentrove`` command: redact JSON documents and JSON Lines streams.

    python -m zentrove --omit password --omit token data.json
    zentrove --trust id --trust event --lines < events.jsonl > clean.jsonl

The text is redacted as text by the native scanner (zentrove._redact): it is
validated and copied through byte for byte, except that the string values
under sensitive keys are masked.  Documents and JSON Lines stream in blocks,
so memory stays flat whatever the input's size.

Output never replaces a file before it is complete: ``-o FILE`` is written
to a temporary file beside FILE and renamed over it only on success.
"""

from __future__ import annotations

import argparse
import codecs
import errno
import importlib
import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, NamedTuple, Protocol

from zentrove._redact import JSONRedactError, JSONStream
from zentrove.redactor import Redactor

if TYPE_CHECKING:
    from concurrent.futures import Future, ProcessPoolExecutor

# Modules that only some runs need (worker processes, --version) are
# imported where they are used: a short run starts faster.

EXIT_OK = 0
EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_WRITE = 3

# Inputs at least this large get a progress bar when stderr is a terminal.
PROGRESS_MIN_BYTES = 8 << 20
# Bytes read at a time; JSON Lines files are split into parts of SEGMENT
# bytes (at line ends) for --jobs.
BLOCK = 1 << 20
SEGMENT = 16 << 20

# A document bound for a pipe or terminal is held until it is known good:
# in memory up to this size, beyond it in a temporary file.
SPOOL_BYTES = 8 << 20

STDIN_NAME = "<stdin>"
LINES_SUFFIXES = (".jsonl", ".ndjson")
LINES_HINT = " (JSON Lines? use --lines)"

DESCRIPTION = """\
Mask secrets in JSON documents and JSON Lines streams.  Every string stored
under a sensitive key is replaced by '*' characters, one per character;
everything else (spacing, numbers, key order) is copied byte for byte.
Choose the sensitive keys with --omit (deny-list) or --trust (allow-list:
everything else is masked).  Keys match as people write them (case, '_',
'-', '.' and spaces ignored) unless --exact is given."""

EPILOG = """\
--keys-file adds one key per line (blank lines and lines starting with '#'
are skipped) to the list chosen by --omit or --trust; with neither, the
file's keys are keys to omit.  Without any key at all the command refuses to
run, --detect or not, since it would copy secrets under keys unchanged.

A top-level value that is not an object has no key: --omit leaves its
strings in clear, --trust masks them.

exit status: 0 success, 1 invalid input data, 2 usage error, 3 output could
not be written (a file named by -o is then left as it was)"""


class UsageError(Exception):
    """A problem with the command line or with a file named on it."""


class WriteError(Exception):
    """The output could not be written."""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


class _Version(argparse.Action):
    """--version, reading the installed version only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from importlib.metadata import version

        sys.stdout.write(f"zentrove {version('zentrove')}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zentrove",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--omit", action="append", metavar="KEY", default=[],
                      help="mask the string values stored under KEY (repeatable)")
    keys.add_argument("--trust", action="append", metavar="KEY", default=[],
                      help="leave KEY in clear and mask every other key (repeatable)")
    parser.add_argument("--keys-file", action="append", metavar="FILE", default=[],
                        help="read more keys from FILE, one per line (repeatable)")
    parser.add_argument("--exact", action="store_true",
                        help="compare keys by their exact text")
    parser.add_argument("--contains", action="append", metavar="TEXT", default=[],
                        help="also mask keys that contain TEXT (deny-list only; repeatable)")
    parser.add_argument("--detect", action="store_true",
                        help="also mask secrets found by their shape inside strings "
                        "(tokens, keys, passwords in URLs, ...)")
    parser.add_argument("--mask", metavar="TEXT",
                        help="replace each secret by TEXT instead of one '*' per character")
    parser.add_argument("--lines", action="store_true",
                        help="read every input as JSON Lines "
                        "(default for *.jsonl and *.ndjson files)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="write to FILE instead of standard output")
    parser.add_argument("--keep-going", action="store_true",
                        help="report bad input and go on with the next line or file")
    parser.add_argument("--jobs", "-j", type=_positive, default=1, metavar="N",
                        help="redact files on N processes (output order is kept)")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="redact on the Dask scheduler at ADDRESS ('local' starts one "
                        "here): inputs may be globs or fsspec URLs, --output names a "
                        "directory of part files, *.json files are documents")
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="show the version and exit")
    parser.add_argument("inputs", nargs="*", metavar="FILE",
                        help="JSON or JSON Lines files; '-' or none reads standard input")
    return parser


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    if isinstance(exc, UnicodeDecodeError):
        return f"invalid UTF-8 at byte {exc.start}"
    return str(exc)


def read_keys_file(path: str) -> list[str]:
    try:
        # utf-8-sig: a byte-order mark must not become part of the first key.
        with open(path, encoding="utf-8-sig") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"can't read keys file {path!r}: {_reason(exc)}") from None
    keys = (line.strip() for line in lines)
    return [key for key in keys if key and not key.startswith("#")]


def make_redactor(args: argparse.Namespace) -> Redactor:
    extra: list[str] = []
    for path in args.keys_file:
        extra.extend(read_keys_file(path))
    options: dict[str, Any] = {"exact": args.exact, "mask": args.mask}
    if args.contains:
        options["contains"] = args.contains
    if args.detect:
        options["detect"] = True
    try:
        if args.trust:
            return Redactor(trust=args.trust + extra, **options)
        omissions = args.omit + extra
        # --detect alone would copy {"password": "x"} through: detectors
        # look inside strings, they do not replace key rules.
        if not omissions and not args.contains:
            raise UsageError(
                "no keys to redact: give --omit KEY, --trust KEY or --keys-file FILE"
            )
        return Redactor(omit=omissions, **options)
    except (TypeError, ValueError) as exc:
        message = str(exc).replace("contains=", "--contains").replace("(omit=)", "(--omit)")
        raise UsageError(message) from None


# ---------------------------------------------------------------- inputs


class Input(NamedTuple):
    name: str              # as given, or <stdin>
    lines: bool            # read as JSON Lines
    info: os.stat_result   # what was checked before the run
    path: str | None       # None for standard input

    @property
    def splittable(self) -> bool:
        """A regular file that worker processes can read by offset."""
        return self.path is not None and stat.S_ISREG(self.info.st_mode)


def _stat_input(path: str) -> os.stat_result:
    """Checks an input without opening it (a FIFO must be opened only once)."""
    try:
        info = os.stat(path)
    except OSError as exc:
        raise UsageError(f"can't open {path!r}: {_reason(exc)}") from None
    if stat.S_ISDIR(info.st_mode):
        raise UsageError(f"can't open {path!r}: {os.strerror(errno.EISDIR)}")
    if not os.access(path, os.R_OK):
        raise UsageError(f"can't open {path!r}: {os.strerror(errno.EACCES)}")
    return info


def check_inputs(names: Sequence[str], lines: bool, output: str | None) -> list[Input]:
    """Refuses unreadable inputs, and an output that is also an input (also
    through standard input), before anything is written."""
    inputs = []
    for name in names:
        if name == "-":
            try:
                info = os.fstat(sys.stdin.fileno())
            except (OSError, ValueError) as exc:
                raise UsageError(f"can't read standard input: {_reason(exc)}") from None
            inputs.append(Input(STDIN_NAME, lines, info, None))
        else:
            as_lines = lines or name.lower().endswith(LINES_SUFFIXES)
            inputs.append(Input(name, as_lines, _stat_input(name), name))
    if output is not None:
        try:
            target: os.stat_result | None = os.stat(output)
        except OSError:
            target = None
        what = f"output file {output!r}"
    else:
        target = _fstat(sys.stdout)
        what = "standard output"
    if target is not None and stat.S_ISREG(target.st_mode):
        for item in inputs:
            if (item.info.st_dev, item.info.st_ino) == (target.st_dev, target.st_ino):
                via = " (through standard input)" if item.path is None else ""
                raise UsageError(f"{what} is also an input{via}")
    return inputs


def _fstat(stream: IO[Any]) -> os.stat_result | None:
    try:
        return os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None


# ---------------------------------------------------------------- output


class Output:
    """Where redacted bytes go.  A document's output can be taken back when
    the document turns out bad: a regular file is truncated back to where
    the document began; other outputs get documents through a spool."""

    def __init__(self, stream: IO[bytes], name: str, seekable: bool) -> None:
        self.stream = stream
        self.name = name
        self.seekable = seekable
        self.spool: IO[bytes] | None = None
        self.mark = 0

    def write(self, data: bytes) -> None:
        if not data:
            return
        try:
            (self.spool or self.stream).write(data)
        except OSError as exc:
            raise WriteError(self._message(exc)) from exc

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as exc:
            raise WriteError(self._message(exc)) from exc

    def begin_document(self) -> None:
        if self.seekable:
            self.flush()
            self.mark = self.stream.tell()
        else:
            import tempfile

            self.spool = tempfile.SpooledTemporaryFile(max_size=SPOOL_BYTES)

    def end_document(self, good: bool) -> None:
        spool, self.spool = self.spool, None
        if spool is not None:
            with spool:
                if good:
                    spool.seek(0)
                    try:
                        import shutil

                        shutil.copyfileobj(spool, self.stream, BLOCK)
                    except OSError as exc:
                        raise WriteError(self._message(exc)) from exc
        elif not good:
            self.stream.seek(self.mark)
            self.stream.truncate()

    def copy_file(self, path: str) -> None:
        """Appends the contents of a file (a worker's part)."""
        try:
            self.flush()
            with open(path, "rb") as part:
                _copy_fd(part.fileno(), self.stream.fileno())
        except OSError as exc:
            raise WriteError(self._message(exc)) from exc

    def _message(self, exc: OSError) -> str:
        return f"can't write {self.name}: {_reason(exc)}"


def _copy_fd(src: int, dst: int) -> None:
    """Copies src to dst in the kernel where it can."""
    size = os.fstat(src).st_size
    offset = 0
    try:
        while offset < size:
            sent = os.sendfile(dst, src, offset, size - offset)
            if sent == 0:
                break
            offset += sent
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOSYS) or offset:
            raise
        while block := os.pread(src, BLOCK, offset):
            os.write(dst, block)
            offset += len(block)


class AtomicFile:
    """A temporary file beside `path`, renamed over it by commit()."""

    def __init__(self, path: str) -> None:
        # Through a symbolic link to the file it names, which stays a link.
        path = os.path.realpath(path)
        directory = os.path.dirname(path)
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        import tempfile

        fd, self.temp = tempfile.mkstemp(
            dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp"
        )
        os.fchmod(fd, mode)
        self.path = path
        self.stream: IO[bytes] = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self.stream.flush()
        os.fsync(self.stream.fileno())
        self.stream.close()
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        self.stream.close()
        try:
            os.unlink(self.temp)
        except OSError:
            pass


# -------------------------------------------------------------- progress


class Progress(Protocol):
    def update(self, n: int) -> object: ...
    def clear(self) -> object: ...
    def close(self) -> object: ...


def start_progress(item: Input, out_is_terminal: bool) -> Progress | None:
    """A bar on stderr for a long input, only when stderr is a terminal and
    the output does not go to the same terminal; tqdm draws it (the
    `progress` extra), and without it there is no bar."""
    if out_is_terminal or not _isatty(sys.stderr):
        return None
    size = item.info.st_size if stat.S_ISREG(item.info.st_mode) else None
    if size is not None and size < PROGRESS_MIN_BYTES:
        return None
    try:
        # Optional (the `progress` extra), and typed here by Progress.
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    # A long path keeps its end, so that the bar keeps its room.
    label = item.name if len(item.name) <= 30 else "..." + item.name[-27:]
    bar: Progress = tqdm(total=size, desc=label, unit="B", unit_scale=True,
                         unit_divisor=1024, leave=False, file=sys.stderr,
                         dynamic_ncols=True, mininterval=0.2)
    return bar


def _isatty(stream: IO[Any]) -> bool:
    try:
        return stream.isatty()
    except (OSError, ValueError):
        return False


# ------------------------------------------------------------------ work


class Job:
    """One run: where output goes, how to go on after bad input, and the
    count of failures so far."""

    def __init__(self, redactor: Redactor, out: Output, keep_going: bool, jobs: int) -> None:
        self.redactor = redactor
        self.out = out
        self.keep_going = keep_going
        self.jobs = jobs
        self.flush_each = False        # interactive input: flush every block
        self.out_is_terminal = False   # output shares the terminal: no bar
        self.failures = 0
        self.progress: Progress | None = None

    def report(self, message: str) -> None:
        self.failures += 1
        self.out.flush()
        if self.progress is not None:
            self.progress.clear()
        sys.stderr.write(f"zentrove: {message}\n")
        sys.stderr.flush()

    def bad_json(self, name: str, err: JSONRedactError | tuple[str, int, int],
                 line_offset: int = 0, hint: bool = False) -> None:
        msg, lineno, colno = (
            err if isinstance(err, tuple) else (err.msg, err.lineno, err.colno)
        )
        # A second document at the start of a line: likely JSON Lines.
        extra = LINES_HINT if hint and msg == "Extra data" and colno == 1 else ""
        self.report(f"{name}:{lineno + line_offset}:{colno}: invalid JSON: {msg}{extra}")


def redact_input(job: Job, item: Input) -> bool:
    """Redacts one input in this process; False when it had bad data."""
    try:
        if item.path is None:
            source: IO[bytes] = os.fdopen(sys.stdin.fileno(), "rb", buffering=0,
                                          closefd=False)
        else:
            source = open(item.path, "rb", buffering=0)
    except OSError as exc:
        job.report(f"{item.name}: can't open: {_reason(exc)}")
        return False
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


def _blocks(job: Job, item: Input, source: IO[bytes]) -> Iterator[memoryview]:
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    while True:
        try:
            n = source.readinto(buffer)  # type: ignore[attr-defined]
        except OSError as exc:
            raise _ReadError(f"{item.name}: can't read: {_reason(exc)}") from exc
        if not n:
            return
        if job.progress is not None:
            job.progress.update(n)
        yield view[:n]


class _ReadError(Exception):
    pass


def _lines(job: Job, item: Input, source: IO[bytes]) -> bool:
    stream = JSONStream(job.redactor, lines=True, keep_going=job.keep_going)
    ok = True
    try:
        for block in _blocks(job, item, source):
            job.out.write(stream.feed(block))
            for err in stream.pop_errors():
                job.bad_json(item.name, err)
                ok = False
            if stream.stopped:
                return False
            if job.flush_each:
                job.out.flush()
    except _ReadError as exc:
        job.report(str(exc))
        return False
    job.out.write(stream.close())
    for err in stream.pop_errors():
        job.bad_json(item.name, err)
        ok = False
    return ok


def _document(job: Job, item: Input, source: IO[bytes]) -> bool:
    stream = JSONStream(job.redactor)
    job.out.begin_document()
    good = False
    try:
        for block in _blocks(job, item, source):
            job.out.write(stream.feed(block))
        job.out.write(stream.close())
        good = True
    except JSONRedactError as err:
        job.out.end_document(False)
        job.bad_json(item.name, err, hint=True)
        return False
    except _ReadError as exc:
        job.out.end_document(False)
        job.report(str(exc))
        return False
    finally:
        if good:
            job.out.end_document(True)
    return True


# ------------------------------------------------------- worker processes

# What a part gives back: the lines it read, its bad lines as (msg, lineno,
# colno), and whether the run stops after it.
PartErrors = list[tuple[str, int, int]]
PartResult = tuple[int, PartErrors, bool]


def _redact_range(redactor: Redactor, path: str, start: int, end: int, lines: bool,
                  keep_going: bool, write: Callable[[bytes], object]) -> PartResult:
    """Redacts bytes [start, end) of a file, passing the output to write."""
    stream = JSONStream(redactor, lines=lines, keep_going=keep_going)
    errors: PartErrors = []
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as src:
        offset = start
        try:
            while offset < end:
                n = os.preadv(src.fileno(), [view[: min(BLOCK, end - offset)]], offset)
                if not n:
                    break
                offset += n
                write(stream.feed(view[:n]))
                errors.extend((e.msg, e.lineno, e.colno) for e in stream.pop_errors())
                if stream.stopped:
                    break
            else:
                write(stream.close())
                errors.extend((e.msg, e.lineno, e.colno) for e in stream.pop_errors())
        except JSONRedactError as err:
            errors.append((err.msg, err.lineno, err.colno))
    return stream.line - 1, errors, stream.stopped or bool(errors and not lines)


def _work_part(redactor: Redactor, path: str, start: int, end: int, lines: bool,
               keep_going: bool, part_dir: str) -> tuple[str, PartResult]:
    """In a worker process: a part of a file redacted into a new part file
    (empty for a bad document)."""
    import tempfile

    fd, part = tempfile.mkstemp(dir=part_dir)
    with os.fdopen(fd, "wb") as out:
        result = _redact_range(redactor, path, start, end, lines, keep_going, out.write)
        if result[1] and not lines:
            out.truncate(0)
    return part, result


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
            # A part starting with a byte-order mark would take it for one:
            # start at the next line instead.
            while handle.peek(3)[:3] == codecs.BOM_UTF8:
                handle.readline()
            position = handle.tell()
            if position >= size:
                break
            bounds.append(position)
    bounds.append(size)
    return list(zip(bounds, bounds[1:]))


def run_parallel(job: Job, inputs: Sequence[Input]) -> None:
    """Redacts the inputs on job.jobs processes (this one included), writing
    parts in order."""
    import tempfile
    from concurrent.futures import ProcessPoolExecutor

    with tempfile.TemporaryDirectory(prefix="zentrove-") as part_dir:
        pool = ProcessPoolExecutor(max_workers=job.jobs - 1)
        try:
            _run_parts(job, inputs, pool, part_dir)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def _run_parts(job: Job, inputs: Sequence[Input], pool: ProcessPoolExecutor,
               part_dir: str) -> None:
    """This process takes every job.jobs-th part itself and writes it straight
    out; workers write the others to part files, which are copied in order."""
    segments = [(item, start, end) for item in inputs if item.splittable
                for start, end in _segments(item)]
    futures: dict[int, Future[tuple[str, PartResult]]] = {}
    submitted = 0

    def fill() -> None:
        # Up to two parts per worker ahead of this process.
        nonlocal submitted
        while submitted < len(segments) and len(futures) < 2 * (job.jobs - 1):
            k = submitted
            submitted += 1
            if k % job.jobs:
                item, start, end = segments[k]
                futures[k] = pool.submit(_work_part, job.redactor, item.path or "",
                                         start, end, item.lines, job.keep_going, part_dir)

    index = 0
    for item in inputs:
        if not item.splittable:
            if not redact_input(job, item) and not job.keep_going:
                return
            continue
        progress = start_progress(item, job.out_is_terminal)
        job.progress = progress
        try:
            line_offset = 0
            while index < len(segments) and segments[index][0] is item:
                _, start, end = segments[index]
                fill()
                if index % job.jobs == 0:
                    if not item.lines:
                        job.out.begin_document()
                    lines_read, errors, stop = _redact_range(
                        job.redactor, item.path or "", start, end, item.lines,
                        job.keep_going, job.out.write)
                    if not item.lines:
                        job.out.end_document(not errors)
                else:
                    part, (lines_read, errors, stop) = futures.pop(index).result()
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


# ------------------------------------------------------------------- run


def open_output(path: str | None) -> tuple[Output, AtomicFile | None]:
    if path is None:
        out = sys.stdout.buffer
        info = _fstat(out)
        seekable = info is not None and stat.S_ISREG(info.st_mode)
        return Output(out, "standard output", seekable), None
    try:
        info = os.stat(path)
    except OSError:
        info = None
    try:
        if info is not None and not stat.S_ISREG(info.st_mode):
            # A device or a FIFO cannot be replaced: write to it directly.
            return Output(open(path, "wb"), repr(path), False), None
        atomic = AtomicFile(path)
    except OSError as exc:
        raise UsageError(f"can't write {path!r}: {_reason(exc)}") from None
    return Output(atomic.stream, repr(path), True), atomic


def run(args: argparse.Namespace) -> int:
    redactor = make_redactor(args)
    if args.dask is not None:
        return run_dask(args, redactor)
    inputs = check_inputs(args.inputs or ["-"], args.lines, args.output)
    out, atomic = open_output(args.output)
    job = Job(redactor, out, args.keep_going, args.jobs)
    job.flush_each = any(not stat.S_ISREG(item.info.st_mode) for item in inputs)
    job.out_is_terminal = args.output is None and _isatty(sys.stdout)
    committed = False
    try:
        if args.jobs > 1 and any(item.splittable for item in inputs):
            run_parallel(job, inputs)
        else:
            for item in inputs:
                if not redact_input(job, item) and not job.keep_going:
                    break
        out.flush()
        # A run stopped by bad input leaves a file named by -o as it was.
        if atomic is not None and (not job.failures or job.keep_going):
            try:
                atomic.commit()
            except OSError as exc:
                raise WriteError(out._message(exc)) from exc
            committed = True
    finally:
        if atomic is not None and not committed:
            atomic.discard()
        elif atomic is None and args.output is not None:
            # A device or FIFO named by -o: everything written was flushed
            # above, or a write error is on its way out; closing must not
            # try the failed write once more when the file object dies.
            try:
                out.stream.close()
            except OSError:
                pass
    return EXIT_DATA if job.failures else EXIT_OK


def run_dask(args: argparse.Namespace, redactor: Redactor) -> int:
    """Redacts the inputs on a Dask cluster into the directory --output."""
    if args.jobs > 1 or args.lines:
        raise UsageError("--dask takes no --jobs or --lines: the cluster splits "
                         "the work, and files ending in .json are documents")
    if not args.inputs or "-" in args.inputs or args.output is None:
        raise UsageError("--dask reads named inputs and needs --output DIRECTORY")
    try:
        from zentrove.dask import run_command
    except ImportError as exc:
        raise UsageError(str(exc)) from None

    def report(message: str) -> None:
        sys.stderr.write(f"zentrove: {message}\n")

    try:
        failures = run_command(args.dask, args.inputs, args.output, redactor,
                               args.keep_going, report)
    except (OSError, ValueError) as exc:  # no input, no scheduler, bad --output
        raise UsageError(str(exc)) from None
    return EXIT_DATA if failures else EXIT_OK


def _silence_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's own flush at exit
    finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Iterable[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    try:
        return run(args)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        sys.stderr.write(f"zentrove: error: {exc}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`zentrove ... | head`): stop quietly.
        _silence_stdout()
        return EXIT_DATA
    except WriteError as exc:
        if isinstance(exc.__cause__, BrokenPipeError):
            _silence_stdout()
            return EXIT_DATA
        sys.stderr.write(f"zentrove: error: {exc}\n")
        _silence_stdout()
        return EXIT_WRITE
    except KeyboardInterrupt:
        return 130

