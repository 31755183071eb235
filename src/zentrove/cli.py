"""The ``zentrove`` command: redact JSON documents and JSON Lines streams.

    python -m zentrove --omit password --omit token data.json
    zentrove --trust id --trust event --lines < events.jsonl > clean.jsonl

A JSON document is read whole, redacted and written back indented by two
spaces.  JSON Lines input (``--lines``, or a file whose name ends in
``.jsonl``) is streamed: each line is parsed, redacted and written as one
line before the next is read, so memory stays flat however long the stream
is, and every good line before a bad one reaches the output.

Exit status: 0 when everything was redacted, 1 when some input was not
valid JSON (data error), 2 for a usage error (bad options, an input, keys or
output file that cannot be opened).
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import stat
import sys
import time
from collections.abc import Iterable, Sequence
from typing import IO, Any

import zentrove.omit as _omit

EXIT_OK = 0
EXIT_DATA = 1
EXIT_USAGE = 2

# Input files at least this large get a progress bar when stderr is a
# terminal; smaller ones are done before a bar would be worth looking at.
PROGRESS_MIN_BYTES = 8 << 20

STDIN_NAME = "<stdin>"

DESCRIPTION = """\
Mask secrets in JSON documents and JSON Lines streams.  Every string stored
under a sensitive key is replaced by '*' characters of the same length;
numbers, booleans and null stay as they are.  Choose the sensitive keys with
--omit (deny-list) or --trust (allow-list: everything else is masked)."""

EPILOG = """\
--keys-file adds one key per line (blank lines and lines starting with '#'
are skipped) to the list chosen by --omit or --trust; with neither, the
file's keys are keys to omit.  Without any key at all the command refuses to
run, since it would copy the input unchanged.

A top-level value that is not an object has no key: --omit leaves its
strings in clear, --trust masks them.

exit status: 0 success, 1 invalid input data, 2 usage error"""


class UsageError(Exception):
    """A problem with the command line or with a file named on it."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zentrove",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument(
        "--omit",
        action="append",
        metavar="KEY",
        default=[],
        help="mask the string values stored under KEY (repeatable)",
    )
    keys.add_argument(
        "--trust",
        action="append",
        metavar="KEY",
        default=[],
        help="leave KEY in clear and mask every other key (repeatable)",
    )
    parser.add_argument(
        "--keys-file",
        action="append",
        metavar="FILE",
        default=[],
        help="read more keys from FILE, one per line (repeatable)",
    )
    parser.add_argument(
        "--lines",
        action="store_true",
        help="read every input as JSON Lines (default for *.jsonl files)",
    )
    parser.add_argument(
        "--output",
        "-o",
        metavar="FILE",
        help="write to FILE instead of standard output",
    )
    parser.add_argument(
        "--keep-going",
        action="store_true",
        help="report bad input and go on with the next line or file",
    )
    parser.add_argument(
        "inputs",
        nargs="*",
        metavar="FILE",
        help="JSON or JSON Lines files; '-' or none reads standard input",
    )
    return parser


def read_keys_file(path: str) -> list[str]:
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"can't read keys file {path!r}: {_reason(exc)}") from None
    keys = (line.strip() for line in lines)
    return [key for key in keys if key and not key.startswith("#")]


def make_redactor(args: argparse.Namespace) -> _omit.Omitter:
    extra: list[str] = []
    for path in args.keys_file:
        extra.extend(read_keys_file(path))
    if args.trust:
        return _omit.NoTrustOmitter(args.trust + extra)
    omissions = args.omit + extra
    if not omissions:
        raise UsageError(
            "no keys to redact: give --omit KEY, --trust KEY or --keys-file FILE"
        )
    return _omit.Omitter(omissions)


def redact(redactor: _omit.Omitter, value: Any) -> Any:
    """Redacts one parsed JSON value in place and returns it.

    An object is walked directly.  Anything else is walked as the value of a
    None key, which a deny-list never names and an allow-list never trusts.
    """
    if type(value) is dict:
        return redactor.omit(value)
    return redactor.omit({None: value})[None]


class Progress:
    """A one-line progress bar, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, stream: IO[str], label: str, total: int) -> None:
        self.stream = stream
        self.label = label if len(label) <= 30 else "..." + label[-27:]
        self.total = max(total, 1)
        self.done = 0
        self.next_draw = 0.0
        self.drawn = 0

    def advance(self, nbytes: int) -> None:
        self.done += nbytes
        now = time.monotonic()
        if now >= self.next_draw:
            self.next_draw = now + 0.1
            self.draw()

    def draw(self) -> None:
        fraction = min(self.done / self.total, 1.0)
        filled = int(self.WIDTH * fraction)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        text = f"\r{self.label} [{bar}] {int(fraction * 100):3d}%"
        self.stream.write(text)
        self.stream.flush()
        self.drawn = len(text) - 1

    def clear(self) -> None:
        """Wipes the bar so that a message or the shell prompt starts clean."""
        if self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0
            self.next_draw = 0.0


class Job:
    """Runs the redaction over input streams and writes to one output."""

    def __init__(
        self,
        redactor: _omit.Omitter,
        out: IO[bytes],
        err: IO[str],
        keep_going: bool,
    ) -> None:
        self.redactor = redactor
        self.out = out
        self.err = err
        self.keep_going = keep_going
        self.failures = 0
        self.progress: Progress | None = None

    def report(self, message: str) -> None:
        self.failures += 1
        self.out.flush()
        if self.progress is not None:
            self.progress.clear()
        self.err.write(f"zentrove: {message}\n")
        self.err.flush()

    def emit(self, value: Any, indent: int | None) -> None:
        text = json.dumps(value, ensure_ascii=False, indent=indent)
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:
            # A lone surrogate from a "\ud800" escape has no UTF-8 form:
            # write this value with escapes instead, which loses nothing.
            data = json.dumps(value, indent=indent).encode("ascii")
        self.out.write(data + b"\n")

    def document(self, name: str, stream: IO[bytes]) -> bool:
        data = stream.read()
        if data.startswith(codecs.BOM_UTF8):
            data = data[len(codecs.BOM_UTF8) :]
        problem = self.redact_one(data, indent=2)
        if problem is None:
            return True
        line, message = problem
        self.report(f"{name}{'' if line is None else f':{line}'}{message}")
        return False

    def lines(self, name: str, stream: IO[bytes]) -> bool:
        flush_each = not _is_regular(stream)
        self.progress = self.start_progress(name, stream)
        ok = True
        try:
            for number, raw in enumerate(stream, 1):
                if self.progress is not None:
                    self.progress.advance(len(raw))
                if number == 1 and raw.startswith(codecs.BOM_UTF8):
                    raw = raw[len(codecs.BOM_UTF8) :]
                raw = raw.rstrip(b"\r\n")
                if not raw.strip():
                    continue
                problem = self.redact_one(raw, indent=None)
                if problem is None:
                    if flush_each:
                        self.out.flush()
                    continue
                # The line holds no newline now: the problem is on line 1 of it.
                self.report(f"{name}:{number}{problem[1]}")
                ok = False
                if not self.keep_going:
                    break
        finally:
            if self.progress is not None:
                self.progress.clear()
                self.progress = None
        return ok

    def redact_one(
        self, data: bytes, indent: int | None
    ) -> tuple[int | None, str] | None:
        """Parses, redacts and writes one JSON value.  On bad input writes
        nothing and returns the line within data (None when unknown) and the
        rest of the message."""
        try:
            value = json.loads(data.decode("utf-8"))
            self.emit(redact(self.redactor, value), indent)
        except UnicodeDecodeError as exc:
            line = data.count(b"\n", 0, exc.start) + 1
            return line, f": invalid UTF-8: {exc.reason}"
        except json.JSONDecodeError as exc:
            return exc.lineno, f":{exc.colno}: invalid JSON: {exc.msg}"
        except RecursionError:
            return None, ": nested too deeply"
        except ValueError as exc:
            # For example an integer literal beyond the interpreter's limit
            # on digits.
            return None, f": invalid JSON: {exc}"
        return None

    def start_progress(self, name: str, stream: IO[bytes]) -> Progress | None:
        if not _isatty(self.err):
            return None
        try:
            info = os.fstat(stream.fileno())
        except (OSError, ValueError):
            return None
        if not stat.S_ISREG(info.st_mode) or info.st_size < PROGRESS_MIN_BYTES:
            return None
        return Progress(self.err, name, info.st_size)


def _is_regular(stream: IO[bytes]) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError):
        return False


def _isatty(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (OSError, ValueError):
        return False


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


def _check_inputs(inputs: Sequence[str], output: str | None) -> None:
    """Refuses unreadable inputs, and an output that is also an input, before
    anything is written."""
    for path in inputs:
        if path == "-":
            continue
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:
            raise UsageError(f"can't open {path!r}: {_reason(exc)}") from None
        if output is not None and os.path.exists(output):
            if os.path.samefile(path, output):
                raise UsageError(f"output file {output!r} is also an input")


def run(args: argparse.Namespace, err: IO[str]) -> int:
    inputs: list[str] = args.inputs or ["-"]
    redactor = make_redactor(args)
    _check_inputs(inputs, args.output)
    if args.output is None:
        out: IO[bytes] = sys.stdout.buffer
    else:
        try:
            out = open(args.output, "wb")
        except OSError as exc:
            raise UsageError(
                f"can't write {args.output!r}: {_reason(exc)}"
            ) from None
    job = Job(redactor, out, err, args.keep_going)
    try:
        for path in inputs:
            if not process(job, path, args.lines) and not args.keep_going:
                break
    finally:
        if args.output is None:
            out.flush()
        else:
            out.close()
    return EXIT_DATA if job.failures else EXIT_OK


def process(job: Job, path: str, lines: bool) -> bool:
    as_lines = lines or path.endswith(".jsonl")
    if path == "-":
        if as_lines:
            return job.lines(STDIN_NAME, sys.stdin.buffer)
        return job.document(STDIN_NAME, sys.stdin.buffer)
    try:
        stream = open(path, "rb")
    except OSError as exc:
        job.report(f"{path}: can't open: {_reason(exc)}")
        return False
    with stream:
        if as_lines:
            return job.lines(path, stream)
        return job.document(path, stream)


def main(argv: Iterable[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    try:
        return run(args, sys.stderr)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        sys.stderr.write(f"zentrove: error: {exc}\n")
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (for example `zentrove ... | head`): stop
        # quietly, and keep the interpreter from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_DATA
    except KeyboardInterrupt:
        return 130
