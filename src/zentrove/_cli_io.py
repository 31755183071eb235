"""The command line's inputs and outputs: checks of the named files before a
run, output that can take a bad document back, writes to -o that replace the
file only when complete, and the progress bar of long inputs.
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import stat
import sys
from collections.abc import Sequence
from typing import IO, Any, NamedTuple, Protocol

from zentrove._cli_compress import compressing, compression_of, plain_name

# Inputs at least this large get a progress bar when stderr is a terminal.
PROGRESS_MIN_BYTES = 8 << 20
# Bytes read at a time.
BLOCK = 1 << 20

# A document bound for a pipe or terminal is held until it is known good:
# in memory up to this size, beyond it in a temporary file.
SPOOL_BYTES = 8 << 20

STDIN_NAME = "<stdin>"
BOM = b"\xef\xbb\xbf"
LINES_SUFFIXES = (".jsonl", ".ndjson")


class UsageError(Exception):
    """A problem with the command line or with a file named on it."""


class WriteError(Exception):
    """The output could not be written."""


def reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    if isinstance(exc, UnicodeDecodeError):
        return f"invalid UTF-8 at byte {exc.start}"
    return str(exc)


# ---------------------------------------------------------------- inputs


class Input(NamedTuple):
    name: str  # as given, or <stdin>
    lines: bool  # read as JSON Lines
    info: os.stat_result  # what was checked before the run
    path: str | None  # None for standard input
    compression: str | None = None  # .gz, .bz2 or .xz: read decompressed

    @property
    def splittable(self) -> bool:
        """A regular file that worker processes can read by offset."""
        return (
            self.path is not None and stat.S_ISREG(self.info.st_mode) and self.compression is None
        )


def _stat_input(path: str) -> os.stat_result:
    """Checks an input without opening it (a FIFO must be opened only once)."""
    try:
        info = os.stat(path)
    except OSError as exc:
        raise UsageError(f"can't open {path!r}: {reason(exc)}") from None
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
            info = fstat(sys.stdin)
            if info is None:
                # Closed (`<&-`): the interpreter then has no sys.stdin at all.
                raise UsageError(f"can't read standard input: {os.strerror(errno.EBADF)}")
            inputs.append(Input(STDIN_NAME, lines, info, None))
        else:
            as_lines = lines or plain_name(name).lower().endswith(LINES_SUFFIXES)
            inputs.append(Input(name, as_lines, _stat_input(name), name, compression_of(name)))
    if output is not None:
        try:
            target: os.stat_result | None = os.stat(output)
        except OSError:
            target = None
        what = f"output file {output!r}"
    else:
        target = fstat(sys.stdout)
        what = "standard output"
    if target is not None and stat.S_ISREG(target.st_mode):
        for item in inputs:
            if (item.info.st_dev, item.info.st_ino) == (target.st_dev, target.st_ino):
                via = " (through standard input)" if item.path is None else ""
                raise UsageError(f"{what} is also an input{via}")
    return inputs


def fstat(stream: IO[Any] | None) -> os.stat_result | None:
    """The stream's file status; None when it is closed or was never open
    (a standard stream closed by the shell is None in sys)."""
    if stream is None:
        return None
    try:
        return os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None


# ---------------------------------------------------------------- output


class Output:
    """Where redacted bytes go.  A document's output can be taken back when
    the document turns out bad: a regular file is truncated back to where
    the document began; other outputs get documents through a spool."""

    def __init__(
        self, stream: IO[bytes], name: str, seekable: bool, compressed: bool = False
    ) -> None:
        self.stream = stream
        self.name = name
        self.seekable = seekable
        self.compressed = compressed
        self.spool: IO[bytes] | None = None
        self.mark = 0
        # Inputs are separated as `jq -c` separates values: an input whose
        # output does not end a line gets a newline before the next output.
        # A byte-order mark is one only at the start of the output, so a
        # later input's mark is left out: the output reads back.
        self.started = False  # something was written
        self.ends_line = True
        self.separate = False  # a newline is due before the next bytes
        self.input_start = False  # the next bytes begin an input
        self.saved = (False, True, False)  # started, ends_line, separate

    def next_input(self) -> None:
        self.separate = not self.ends_line
        self.input_start = True

    def _later_mark(self, head: bytes) -> int:
        """How many bytes to leave out at the start of an input's output."""
        if not self.input_start:
            return 0
        self.input_start = False
        return len(BOM) if self.started and head.startswith(BOM) else 0

    def write(self, data: bytes) -> None:
        if not data:
            return
        data = data[self._later_mark(data[:3]) :]
        try:
            target = self.spool or self.stream
            if data:
                self._separate(target)
            target.write(data)
        except OSError as exc:
            raise WriteError(self.message(exc)) from exc
        if data:
            self._wrote(data[-1:])

    def _separate(self, target: IO[bytes]) -> None:
        """Writes the newline due before an input's first bytes."""
        if self.separate:
            target.write(b"\n")
            self.separate = False

    def _wrote(self, last: bytes) -> None:
        self.started = True
        self.ends_line = last == b"\n"

    def flush(self) -> None:
        if self.compressed:
            # A compressor's flush ends its block early, for nothing: the
            # file is read only once it is complete and renamed.
            return
        try:
            self.stream.flush()
        except OSError as exc:
            raise WriteError(self.message(exc)) from exc

    def begin_document(self) -> None:
        self.saved = (self.started, self.ends_line, self.separate)
        if self.seekable:
            self.flush()
            self.mark = self.stream.tell()
        else:
            import tempfile

            # Held until end_document() takes it back.
            self.spool = tempfile.SpooledTemporaryFile(max_size=SPOOL_BYTES)  # noqa: SIM115

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
                        raise WriteError(self.message(exc)) from exc
        elif not good:
            try:
                # Seeking flushes what is buffered: that can fail too.
                self.stream.seek(self.mark)
                self.stream.truncate()
            except OSError as exc:
                raise WriteError(self.message(exc)) from exc
        if not good:
            self.started, self.ends_line, self.separate = self.saved

    def copy_file(self, path: str) -> None:
        """Appends the contents of a file (a worker's part)."""
        try:
            with open(path, "rb") as part:
                size = os.fstat(part.fileno()).st_size
                if not size:
                    return
                start = self._later_mark(os.pread(part.fileno(), 3, 0))
                if start == size:
                    return
                self._separate(self.stream)
                if self.compressed:
                    import shutil

                    part.seek(start)
                    shutil.copyfileobj(part, self.stream, BLOCK)
                else:
                    self.flush()
                    _copy_fd(part.fileno(), self.stream.fileno(), start)
                self._wrote(os.pread(part.fileno(), 1, size - 1))
        except OSError as exc:
            raise WriteError(self.message(exc)) from exc

    def message(self, exc: OSError) -> str:
        return f"can't write {self.name}: {reason(exc)}"


def _copy_fd(src: int, dst: int, start: int = 0) -> None:
    """Copies src from byte `start` on to dst, in the kernel where it can."""
    size = os.fstat(src).st_size
    offset = start
    try:
        while offset < size:
            sent = os.sendfile(dst, src, offset, size - offset)
            if sent == 0:
                break
            offset += sent
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOSYS) or offset != start:
            raise
        while block := os.pread(src, BLOCK, offset):
            os.write(dst, block)
            offset += len(block)


class AtomicFile:
    """A temporary file beside `path`, renamed over it by commit(); written
    through a compressor for a compressed extension."""

    def __init__(self, path: str, compression: str | None = None) -> None:
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
        self.raw: IO[bytes] = os.fdopen(fd, "wb")
        self.stream = self.raw if compression is None else compressing(self.raw, compression)

    def commit(self) -> None:
        if self.stream is not self.raw:
            self.stream.close()  # the compressor writes the end of its stream
        self.raw.flush()
        os.fsync(self.raw.fileno())
        self.raw.close()
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        try:
            # Closing flushes: on a full disk that fails again, and the
            # bytes go with the file.
            for stream in (self.stream, self.raw):
                with contextlib.suppress(OSError):
                    stream.close()
        finally:
            with contextlib.suppress(OSError):
                os.unlink(self.temp)


def open_output(path: str | None) -> tuple[Output, AtomicFile | None]:
    if path is None:
        info = fstat(sys.stdout)
        if sys.stdout is None or info is None:
            raise UsageError(f"can't write standard output: {os.strerror(errno.EBADF)}")
        out = sys.stdout.buffer
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
        compression = compression_of(path)
        atomic = AtomicFile(path, compression)
    except OSError as exc:
        raise UsageError(f"can't write {path!r}: {reason(exc)}") from None
    # Compressed output cannot be taken back by truncating: documents spool.
    compressed = compression is not None
    return Output(atomic.stream, repr(path), not compressed, compressed), atomic


# -------------------------------------------------------------- progress


class Progress(Protocol):
    def update(self, n: int) -> object: ...
    def clear(self) -> object: ...
    def close(self) -> object: ...


def start_progress(item: Input, out_is_terminal: bool) -> Progress | None:
    """A bar on stderr for a long input, only when stderr is a terminal and
    the output does not go to the same terminal; tqdm draws it (the
    `progress` extra), and without it there is no bar."""
    if out_is_terminal or not isatty(sys.stderr):
        return None
    size = item.info.st_size if stat.S_ISREG(item.info.st_mode) else None
    if size is not None and size < PROGRESS_MIN_BYTES:
        return None
    if item.compression is not None:
        size = None  # the bar counts bytes decompressed: no known total
    try:
        # Optional (the `progress` extra), and typed here by Progress.
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    # A long path keeps its end, so that the bar keeps its room.
    label = item.name if len(item.name) <= 30 else "..." + item.name[-27:]
    bar: Progress = tqdm(
        total=size,
        desc=label,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        leave=False,
        file=sys.stderr,
        dynamic_ncols=True,
        mininterval=0.2,
    )
    return bar


def isatty(stream: IO[Any] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False
