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
import contextlib
import os
import re
import signal
import stat
import sys
from collections.abc import Iterable
from typing import Any

from zentrove._cli_io import (
    BLOCK,
    LINES_SUFFIXES,
    PROGRESS_MIN_BYTES,
    SPOOL_BYTES,
    STDIN_NAME,
    AtomicFile,
    Input,
    Output,
    Progress,
    UsageError,
    WriteError,
    check_inputs,
    isatty,
    open_output,
    reason,
    start_progress,
)
from zentrove._cli_jobs import (
    LINES_HINT,
    SEGMENT,
    Job,
    PartErrors,
    PartResult,
    redact_input,
    run_parallel,
)
from zentrove.redactor import Redactor

# The command's pieces live beside it: _cli_io (inputs, outputs, progress)
# and _cli_jobs (redacting an input, worker processes); they stay importable
# from here under their names.
__all__ = [
    "BLOCK",
    "EXIT_DATA",
    "EXIT_OK",
    "EXIT_USAGE",
    "EXIT_WRITE",
    "LINES_HINT",
    "LINES_SUFFIXES",
    "PROGRESS_MIN_BYTES",
    "SEGMENT",
    "SPOOL_BYTES",
    "STDIN_NAME",
    "AtomicFile",
    "Input",
    "Job",
    "Output",
    "PartErrors",
    "PartResult",
    "Progress",
    "UsageError",
    "WriteError",
    "build_parser",
    "check_inputs",
    "main",
    "make_redactor",
    "open_output",
    "read_keys_file",
    "redact_input",
    "run",
    "run_dask",
    "run_parallel",
    "start_progress",
]

# Modules that only some runs need (worker processes, --version) are
# imported where they are used: a short run starts faster.

EXIT_OK = 0
EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_WRITE = 3

# Each stops a run: its output file, part files and workers are removed, and
# the process then ends by the signal.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

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
not be written (a file named by -o is then left as it was); stopped by SIGINT,
SIGTERM or SIGHUP, the command removes what it wrote and ends by the signal"""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _detector_names(text: str) -> list[str]:
    """--detectors: comma-separated names of detectors or of their groups."""
    from zentrove._redact import DETECTOR_GROUPS, DETECTORS

    names = [name.strip() for name in text.split(",")]
    known = [*DETECTORS, *DETECTOR_GROUPS]
    for name in names:
        if name not in known:
            raise argparse.ArgumentTypeError(
                f"unknown detector or group {name!r}; choose from {', '.join(known)}"
            )
    return names


class _Version(argparse.Action):
    """--version, reading the installed version only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from importlib.metadata import version

        try:
            sys.stdout.write(f"zentrove {version('zentrove')}\n")
        except (AttributeError, OSError):  # closed (`>&-`), as argparse's --help
            parser.exit(EXIT_WRITE)
        parser.exit()


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
    parser.add_argument("--exact", action="store_true", help="compare keys by their exact text")
    parser.add_argument(
        "--contains",
        action="append",
        metavar="TEXT",
        default=[],
        help="also mask keys that contain TEXT (deny-list only; repeatable)",
    )
    parser.add_argument(
        "--detect",
        action="store_true",
        help="also mask secrets found by their shape inside strings "
        "(tokens, keys, passwords in URLs, ...)",
    )
    parser.add_argument(
        "--detectors",
        type=_detector_names,
        metavar="NAMES",
        help="mask what these detectors find inside strings: comma-separated "
        "detector or group names (secrets, pii), e.g. pii,secrets",
    )
    parser.add_argument(
        "--mask",
        metavar="TEXT",
        help="replace each secret by TEXT instead of one '*' per character",
    )
    parser.add_argument(
        "--lines",
        action="store_true",
        help="read every input as JSON Lines (default for *.jsonl and *.ndjson files)",
    )
    parser.add_argument(
        "--output",
        "-o",
        metavar="FILE",
        help="write to FILE instead of standard output ('-'); "
        "FILE.gz, .bz2 and .xz are written compressed",
    )
    parser.add_argument(
        "--keep-going",
        action="store_true",
        help="report bad input and go on with the next line or file",
    )
    parser.add_argument(
        "--jobs",
        "-j",
        type=_positive,
        default=1,
        metavar="N",
        help="redact files on N processes (output order is kept)",
    )
    parser.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="redact on the Dask scheduler at ADDRESS ('local' starts one "
        "here): inputs may be globs or fsspec URLs, --output names a "
        "directory of part files, *.json files are documents",
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    parser.add_argument(
        "inputs",
        nargs="*",
        metavar="FILE",
        help="JSON or JSON Lines files, .gz, .bz2 and .xz read decompressed; "
        "'-' or none reads standard input",
    )
    return parser


def read_keys_file(path: str) -> list[str]:
    try:
        # utf-8-sig: a byte-order mark must not become part of the first key.
        with open(path, encoding="utf-8-sig") as handle:
            lines = handle.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"can't read keys file {path!r}: {reason(exc)}") from None
    keys = (line.strip() for line in lines)
    return [key for key in keys if key and not key.startswith("#")]


def make_redactor(args: argparse.Namespace) -> Redactor:
    extra: list[str] = []
    for path in args.keys_file:
        extra.extend(read_keys_file(path))
    options: dict[str, Any] = {"exact": args.exact, "mask": args.mask}
    if args.contains:
        options["contains"] = args.contains
    if args.detect or args.detectors:
        options["detect"] = (["secrets"] if args.detect else []) + (args.detectors or [])
    try:
        if args.trust:
            return Redactor(trust=args.trust + extra, **options)
        omissions = args.omit + extra
        # --detect alone would copy {"password": "x"} through: detectors
        # look inside strings, they do not replace key rules.
        if not omissions and not args.contains:
            raise UsageError("no keys to redact: give --omit KEY, --trust KEY or --keys-file FILE")
        return Redactor(omit=omissions, **options)
    except (TypeError, ValueError) as exc:
        # The keyword a message names becomes the option: omit= is --omit.
        message = re.sub(r"\b(omit|trust|contains|mask)=", r"--\1", str(exc))
        raise UsageError(message) from None


# ------------------------------------------------------------------- run


def run(args: argparse.Namespace) -> int:
    redactor = make_redactor(args)
    if args.dask is not None:
        return run_dask(args, redactor)
    # '-' is standard output, as it is standard input among the inputs.
    output = None if args.output == "-" else args.output
    inputs = check_inputs(args.inputs or ["-"], args.lines, output)
    out, atomic = open_output(output)
    job = Job(redactor, out, args.keep_going, args.jobs)
    job.flush_each = any(not stat.S_ISREG(item.info.st_mode) for item in inputs)
    job.out_is_terminal = output is None and isatty(sys.stdout)
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
                raise WriteError(out.message(exc)) from exc
            committed = True
    finally:
        if atomic is not None and not committed:
            atomic.discard()
        elif atomic is None and output is not None:
            # A device or FIFO named by -o: everything written was flushed
            # above, or a write error is on its way out; closing must not
            # try the failed write once more when the file object dies.
            with contextlib.suppress(OSError):
                out.stream.close()
    return EXIT_DATA if job.failures else EXIT_OK


def run_dask(args: argparse.Namespace, redactor: Redactor) -> int:
    """Redacts the inputs on a Dask cluster into the directory --output."""
    if args.jobs > 1 or args.lines:
        raise UsageError(
            "--dask takes no --jobs or --lines: the cluster splits "
            "the work, and files ending in .json are documents"
        )
    if not args.inputs or "-" in args.inputs or args.output in (None, "-"):
        raise UsageError("--dask reads named inputs and needs --output DIRECTORY")
    try:
        from zentrove.dask import run_command
    except ImportError as exc:
        raise UsageError(str(exc)) from None

    def report(message: str) -> None:
        sys.stderr.write(f"zentrove: {message}\n")

    try:
        failures = run_command(
            args.dask, args.inputs, args.output, redactor, args.keep_going, report
        )
    except (OSError, ValueError) as exc:  # no input, no scheduler, bad --output
        raise UsageError(str(exc)) from None
    return EXIT_DATA if failures else EXIT_OK


def _silence_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's own flush at exit
    finds nothing to complain about."""
    if sys.stdout is None:  # closed from the start: nothing to flush
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _hold_standard_fds() -> None:
    """Opens /dev/null on a standard descriptor closed by the shell (`<&-`):
    otherwise the next file opened, a temporary output say, would take its
    number and get what is meant for the terminal.  sys keeps None for such
    a stream, which is how a run learns that it was closed; stderr only
    loses its messages."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False)  # noqa: SIM115 - stderr for the process's life


class _Stopped(BaseException):
    """A signal that ends the run; like KeyboardInterrupt, no `except
    Exception` stops it on its way out through the clean-ups."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# The process whose run _stop cleans up; a worker forked from it inherits the
# handler until its initializer replaces it.
_stopping_pid = 0


def _stop(signum: int, frame: object) -> None:
    if os.getpid() != _stopping_pid:
        # A worker between fork and its initializer: the main process stops
        # it and cleans up; here the signal does what it does by default.
        _end_by(signum)
        return
    # The clean-ups on the way out must not be cut short by a second signal.
    for other in STOP_SIGNALS:
        if signal.getsignal(other) is _stop:
            signal.signal(other, signal.SIG_IGN)
    raise _Stopped(signum)


def _catch_stop_signals() -> dict[int, Any]:
    """Installs _stop; returns the handlers it replaced."""
    global _stopping_pid
    _stopping_pid = os.getpid()
    replaced: dict[int, Any] = {}
    for signum in STOP_SIGNALS:
        # A signal ignored by whoever started us (nohup, `&`) stays ignored.
        handler = signal.getsignal(signum)
        if handler is not signal.SIG_IGN and handler is not None:
            replaced[signum] = signal.signal(signum, _stop)
    return replaced


def _end_by(signum: int) -> int:
    """Ends the process by the signal, as the caller's shell expects of a
    process that a signal stopped (status 128 + N)."""
    sys.stderr.flush()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    return 128 + signum  # only if the signal is blocked


def main(argv: Iterable[str] | None = None) -> int:
    _hold_standard_fds()
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    replaced = _catch_stop_signals()
    try:
        return run(args)
    except _Stopped as stop:
        # Every `finally` on the way here has removed what the run made.
        return _end_by(stop.signum)
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
    finally:
        # The run is over: a signal now has nothing left to clean up.
        for signum, handler in replaced.items():
            signal.signal(signum, handler)
