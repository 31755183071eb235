"""The command-line redactor, run as `python -m zentrove` in a subprocess."""

import bz2
import fcntl
import gzip
import lzma
import os
import pty
import re
import select
import signal
import socket
import stat
import struct
import subprocess
import sys
import termios
import textwrap
import threading
import time
from pathlib import Path

import pytest

from zentrove import DETECTORS

DOC = (
    b'{"user": "bob",\n "password": "hunter2", "codes": ["12", 6],  "n": 1E2,\n'
    b' "db": "postgres://app:s3cret@db/x", "nested": {"Pass_Word": "xy", "id": "a1"}}\n'
)

DB_MASKED = (b'"postgres://app:s3cret@db/x"', b'"%s"' % (b"*" * 26))

# Output buffering as a user gets it, whatever the test runner's setting.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}

# Runs the command with module constants changed: argv[1] is a dict literal.
PATCHED = textwrap.dedent(
    """\
    import ast, sys
    import zentrove._cli_io, zentrove._cli_jobs, zentrove.cli as cli
    modules = (cli, zentrove._cli_io, zentrove._cli_jobs)
    for name, value in ast.literal_eval(sys.argv[1]).items():
        # Every module that holds the name, as its uses are spread over them.
        assert hasattr(cli, name), name
        for module in modules:
            if hasattr(module, name):
                setattr(module, name, value)
    raise SystemExit(cli.main(sys.argv[2:]))
    """
)


def zentrove(*args, stdin=b"", cwd=None, patch=None):
    command = [sys.executable, "-m", "zentrove"]
    if patch is not None:
        command = [sys.executable, "-c", PATCHED, repr(patch)]
    return subprocess.run(
        [*command, *map(str, args)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        env=ENV,
        timeout=120,
    )


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def masked(data, *pairs):
    for old, new in pairs:
        data = data.replace(old, new)
    return data


@pytest.mark.parametrize(
    "args, keys_file, expected",
    [
        # Folded keys by default; the text is kept byte for byte.
        (["--omit", "password"], None, [(b'"hunter2"', b'"*******"'), (b'"xy"', b'"**"')]),
        (["--omit", "password", "--exact"], None, [(b'"hunter2"', b'"*******"')]),
        (["--omit", "codes", "--mask", "[x]"], None, [(b'"12"', b'"[x]"')]),
        (["--contains", "wor"], None, [(b'"hunter2"', b'"*******"'), (b'"xy"', b'"**"')]),
        # The detectors know "password" as a secret's key whatever the user named.
        (
            ["--omit", "token", "--detect"],
            None,
            [(b'"hunter2"', b'"*******"'), (b"app:s3cret@", b"app:******@")],
        ),
        (
            ["--trust", "user", "--trust", "id"],
            None,
            [(b'"hunter2"', b'"*******"'), (b'"12"', b'"**"'), (b'"xy"', b'"**"'), DB_MASKED],
        ),
        # A keys file (UTF-8 with a byte-order mark) alone is a deny-list;
        # comments and blank lines are skipped.
        ([], "\ufeffid\n# user\n\n  codes  \n", [(b'"12"', b'"**"'), (b'"a1"', b'"**"')]),
        (
            ["--trust", "user"],
            "id\ncodes\n",
            [(b'"hunter2"', b'"*******"'), (b'"xy"', b'"**"'), DB_MASKED],
        ),
    ],
)
@pytest.mark.parametrize("source", ["file", "stdin"])
def test_documents_keep_every_byte_but_the_masks(tmp_path, args, keys_file, expected, source):
    if keys_file is not None:
        args = [*args, "--keys-file", write(tmp_path / "keys.txt", keys_file.encode("utf-8"))]
    if source == "file":
        result = zentrove(*args, write(tmp_path / "in.json", DOC))
    else:
        result = zentrove(*args, stdin=DOC)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == masked(DOC, *expected)


@pytest.mark.parametrize(
    "value, mode, expected",
    [
        (b'["ab", {"password": "c"}]', "--omit", b'["ab", {"password": "*"}]'),
        (b'"abc"', "--trust", b'"***"'),
        (b"12.50", "--trust", b"12.50"),
    ],
)
def test_top_level_value_has_no_key(value, mode, expected):
    result = zentrove(mode, "password", stdin=value)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, b"")


LINES = (
    b'{"event": "login", "password": "pw1"}\n\n{"token": ["ab", "c"], "n": 1}\r\n'
    b'["x", {"password": "pw22"}]'
)
LINES_OUT = masked(
    LINES, (b'"pw1"', b'"***"'), (b'"ab", "c"', b'"**", "*"'), (b'"pw22"', b'"****"')
)


@pytest.mark.parametrize(
    "name, args",
    [
        ("log.jsonl", []),
        ("log.ndjson", []),
        ("LOG.JSONL", []),
        ("log.txt", ["--lines"]),
        ("-", ["--lines"]),
        ("log.jsonl", ["--jobs", "2"]),
    ],
)
def test_json_lines(tmp_path, name, args):
    keys = ["--omit", "password", "--omit", "token", *args]
    if name == "-":
        result = zentrove(*keys, stdin=LINES)
    else:
        result = zentrove(*keys, write(tmp_path / name, LINES))
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == LINES_OUT


def test_several_inputs_go_to_one_output_file(tmp_path):
    out = write(tmp_path / "out.txt", "old")
    result = zentrove(
        "--omit",
        "password",
        "-o",
        out,
        write(tmp_path / "a.json", '{"password": "abc"}'),
        write(tmp_path / "b.jsonl", '{"password": "de"}\n["password"]\n'),
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert out.read_bytes() == b'{"password": "***"}\n{"password": "**"}\n["password"]\n'
    assert sorted(os.listdir(tmp_path)) == ["a.json", "b.jsonl", "out.txt"]


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize(
    "files, stdout",
    [
        # As `jq -c` separates values: a newline where an input ends without one.
        ({"a.json": '{"pw": "x"}', "b.json": '{"pw": "y"}'}, b'{"pw": "*"}\n{"pw": "*"}'),
        (
            {"a.jsonl": '{"pw": "x"}\n{"pw": "yy"}', "b.jsonl": '{"pw": "z"}\n', "c.json": "[1] "},
            b'{"pw": "*"}\n{"pw": "**"}\n{"pw": "*"}\n[1] ',
        ),
        # Nothing is added after a newline, nor for an input that writes nothing.
        ({"a.json": '"x"\n', "b.jsonl": "", "c.json": "{", "d.json": "2"}, b'"x"\n2'),
        ({"a.json": "1", "b.json": "{", "c.jsonl": "\n"}, b"1\n\n"),
        # A byte-order mark stays only where it starts the output.
        (
            {
                "a.json": '\ufeff{"pw": "x"}',
                "b.jsonl": '\ufeff{"pw": "y"}\n',
                "c.json": "\ufeff[]",
            },
            b'\xef\xbb\xbf{"pw": "*"}\n{"pw": "*"}\n[]',
        ),
        ({"a.json": "{", "b.json": "\ufeff[]", "c.json": "\ufeff[]"}, b"\xef\xbb\xbf[]\n[]"),
    ],
)
def test_inputs_are_separated_by_a_newline(tmp_path, files, stdout, jobs):
    for name, data in files.items():
        write(tmp_path / name, data)
    result = zentrove("--omit", "pw", "--keep-going", "-j", jobs, *files, cwd=tmp_path)
    assert result.stdout == stdout
    assert result.returncode == ("{" in files.values())
    # The output reads back.
    again = zentrove("--omit", "pw", "--lines", stdin=stdout)
    assert (again.returncode, again.stdout) == (0, stdout)


CODECS = {".gz": gzip, ".bz2": bz2, ".xz": lzma}


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("suffix", CODECS)
def test_compressed_inputs_and_output(tmp_path, suffix, jobs):
    codec = CODECS[suffix]
    # JSON Lines or a document by the name inside the compressed extension.
    write(tmp_path / f"a.jsonl{suffix.upper()}", codec.compress(LINES))
    write(tmp_path / f"b.json{suffix}", codec.compress(b'{"token": "abc"}'))
    write(tmp_path / "c.jsonl", LINES)
    args = ["--omit", "password", "--omit", "token", "-j", jobs, *sorted(os.listdir(tmp_path))]
    expected = LINES_OUT + b'\n{"token": "***"}\n' + LINES_OUT
    result = zentrove(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, b"")
    result = zentrove(*args, "-o", f"out{suffix}", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert codec.decompress((tmp_path / f"out{suffix}").read_bytes()) == expected
    assert len(os.listdir(tmp_path)) == 4


@pytest.mark.parametrize(
    "name, data, message",
    [
        ("a.jsonl.gz", b'{"a": 1}\n', ": can't read: Not a gzipped file (b'{\"')"),
        (
            "a.jsonl.gz",
            gzip.compress(b'{"a": 1}\n', mtime=0)[:-9],
            ": can't read: Compressed file ended before the end-of-stream marker was reached",
        ),
        ("a.json.bz2", b"[]", ": can't read: Invalid data stream"),
        (
            "a.json.xz",
            b"[1, 2, 3, 4, 5, 6, 7, 8]",
            ": can't read: Input format not supported by decoder",
        ),
        ("a.json.xz", lzma.compress(b"[1,"), ":1:4: invalid JSON: Expecting value"),
    ],
)
def test_bad_compressed_input(tmp_path, name, data, message):
    write(tmp_path / name, data)
    result = zentrove("--omit", "a", "-o", "out.json.gz", name, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        1,
        b"",
        f"zentrove: {name}{message}\n".encode(),
    )
    assert os.listdir(tmp_path) == [name]


URL_MASKED = (b"app:s3cret@", b"app:******@")
PII_DOC = b'{"note": "bob@example.com at 203.0.113.7", "db": "postgres://app:s3cret@db/x"}\n'


@pytest.mark.parametrize(
    "args, expected",
    [
        (["--detectors", "pii"], [(b"bob@example.com", b"*" * 15), (b"203.0.113.7", b"*" * 11)]),
        (["--detectors", "email,secrets"], [(b"bob@example.com", b"*" * 15), URL_MASKED]),
        (["--detect", "--detectors", "ipv4"], [(b"203.0.113.7", b"*" * 11), URL_MASKED]),
        (
            ["--detectors", " ipv4_public , email"],
            [(b"bob@example.com", b"*" * 15), (b"203.0.113.7", b"*" * 11)],
        ),
        (["--detect"], [URL_MASKED]),
    ],
)
def test_detectors_select_by_name_and_group(tmp_path, args, expected):
    # The option takes one value: the file after it stays an input.
    result = zentrove("--omit", "token", *args, write(tmp_path / "in.json", PII_DOC))
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == masked(PII_DOC, *expected)


NO_KEYS = "no keys to redact: give --omit KEY, --trust KEY or --keys-file FILE"
CHOICES = ", ".join([*DETECTORS, "secrets", "pii"])


def test_an_input_that_fails_to_open_after_the_checks(tmp_path, monkeypatch):
    # A socket passes the checks made before the run, then refuses to open.
    monkeypatch.chdir(tmp_path)
    with socket.socket(socket.AF_UNIX) as server:
        server.bind("sock.json")
        result = zentrove("--omit", "a", "sock.json", cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        1,
        b"",
        b"zentrove: sock.json: can't open: No such device or address\n",
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["--omit", "a", "--trust", "b"], "argument --trust: not allowed with argument --omit"),
        ([], NO_KEYS),
        (["--detect", "in.json"], NO_KEYS),
        (["--detectors", "pii", "in.json"], NO_KEYS),
        (
            ["--omit", "a", "--detectors", "pii,Email", "in.json"],
            f"argument --detectors: unknown detector or group 'Email'; choose from {CHOICES}",
        ),
        (
            ["--omit", "a", "--detectors", "", "in.json"],
            f"argument --detectors: unknown detector or group ''; choose from {CHOICES}",
        ),
        (["--omit", "a", "--detectors"], "argument --detectors: expected one argument"),
        (["--keys-file", "comments.txt"], NO_KEYS),
        (["--omit"], "argument --omit: expected one argument"),
        (["--omit", "a", "--jobs", "0"], "argument --jobs/-j: must be at least 1"),
        (["--omit", "a", "-j", "2x"], "argument --jobs/-j: invalid int value: '2x'"),
        (["--trust", "a", "--contains", "b"], "--contains applies to a deny-list (--omit) only"),
        (["--omit", ""], "--omit must not hold an empty str"),
        (["--trust", ""], "--trust must not hold an empty str"),
        (["--omit", "a", "--mask", ""], "--mask must not be an empty str"),
        (["--omit", "a", "missing.json"], "can't open 'missing.json': No such file or directory"),
        (["--omit", "a", "."], "can't open '.': Is a directory"),
        (
            ["--keys-file", "nokeys.txt"],
            "can't read keys file 'nokeys.txt': No such file or directory",
        ),
        (
            ["--keys-file", "latin1.txt"],
            "can't read keys file 'latin1.txt': invalid UTF-8 at byte 0",
        ),
        (["--omit", "a", "-o", "in.json", "in.json"], "output file 'in.json' is also an input"),
        (
            ["--omit", "a", "-o", "no/dir/out.json", "in.json"],
            "can't write 'no/dir/out.json': No such file or directory",
        ),
    ],
)
def test_usage_errors_exit_2_before_any_output(tmp_path, args, message):
    write(tmp_path / "in.json", '{"a": "secret"}')
    write(tmp_path / "comments.txt", "# nothing here\n\n")
    write(tmp_path / "latin1.txt", b"\xe9\n")
    result = zentrove(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, b"")
    lines = result.stderr.decode().splitlines()
    assert lines[0].startswith("usage: zentrove ")
    assert lines[-1] == "zentrove: error: " + message
    assert (tmp_path / "in.json").read_text() == '{"a": "secret"}'


@pytest.mark.parametrize("redirect", ["stdin", "stdout"])
def test_output_that_is_also_stdin_or_stdout_is_refused(tmp_path, redirect):
    target = write(tmp_path / "data.json", '{"a": "secret"}')
    with open(target, "rb+") as handle:
        if redirect == "stdin":
            proc = subprocess.run(
                [sys.executable, "-m", "zentrove", "--omit", "a", "-o", target],
                stdin=handle,
                capture_output=True,
                env=ENV,
                timeout=60,
            )
            message = f"output file {str(target)!r} is also an input (through standard input)"
        else:
            handle.seek(0, os.SEEK_END)
            proc = subprocess.run(
                [sys.executable, "-m", "zentrove", "--omit", "a", target],
                stdout=handle,
                stderr=subprocess.PIPE,
                env=ENV,
                timeout=60,
            )
            message = "standard output is also an input"
    assert proc.returncode == 2
    assert proc.stderr.decode().splitlines()[-1] == "zentrove: error: " + message
    assert target.read_text() == '{"a": "secret"}'


@pytest.mark.parametrize(
    "redirect, args, status, stderr_end, out",
    [
        ("<&-", [], 2, "can't read standard input: Bad file descriptor", None),
        ("<&-", ["-"], 2, "can't read standard input: Bad file descriptor", None),
        (">&-", ["in.json"], 2, "can't write standard output: Bad file descriptor", None),
        (
            ">&-",
            ["in.json", "-o", "-"],
            2,
            "can't write standard output: Bad file descriptor",
            None,
        ),
        # A file opened later does not take the closed descriptor's number.
        ("<&- >&- 2>&-", ["in.json", "-o", "out.json"], 0, None, b'{"a": "*"}'),
        ("<&- >&- 2>&-", ["in.json", "-j", "2", "-o", "out.json"], 0, None, b'{"a": "*"}'),
        ("2>&-", ["missing.json"], 2, None, None),
        (">&-", ["--version"], 3, None, None),
    ],
)
def test_closed_standard_streams(tmp_path, redirect, args, status, stderr_end, out):
    write(tmp_path / "in.json", '{"a": "b"}')
    script = f'exec "$0" -m zentrove --omit a "$@" {redirect}'
    result = subprocess.run(
        ["sh", "-c", script, sys.executable, *args],
        cwd=tmp_path,
        capture_output=True,
        env=ENV,
        timeout=60,
    )
    assert (result.returncode, result.stdout) == (status, b"")
    stderr = result.stderr.decode()
    if stderr_end:
        assert stderr.startswith("usage: zentrove ")
        assert stderr.endswith(f"zentrove: error: {stderr_end}\n")
    else:
        assert stderr == ""
    if out is not None:
        assert (tmp_path / "out.json").read_bytes() == out
        assert sorted(os.listdir(tmp_path)) == ["in.json", "out.json"]


@pytest.mark.parametrize("args", [["-o", "-"], ["-o", "-", "-j", "2"], ["--output=-", "-"]])
def test_output_dash_is_standard_output(tmp_path, args):
    result = zentrove("--omit", "a", *args, stdin=b'{"a": "bc"}', cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b'{"a": "**"}', b"")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "data, message",
    [
        (b'{"a": 1,\n  "b" 2}', "bad.json:2:7: invalid JSON: Expecting ':' delimiter"),
        (b"", "bad.json:1:1: invalid JSON: Expecting value"),
        (b'{"a": "x"} {"b": 1}', "bad.json:1:12: invalid JSON: Extra data"),
        (
            b'{"a": "x"}\n{"b": 1}\n',
            "bad.json:2:1: invalid JSON: Extra data (JSON Lines? use --lines)",
        ),
        (b'{\n"a": "\xff"}', "bad.json:2:7: invalid JSON: Invalid UTF-8 byte 0xff"),
        (b"[" * 10001, "bad.json:1:10001: invalid JSON: Nesting deeper than 10000 levels"),
    ],
)
@pytest.mark.parametrize("output", ["stdout", "file"])
def test_bad_document_exits_1_and_writes_nothing(tmp_path, data, message, output):
    write(tmp_path / "bad.json", data)
    args = ["-o", "out.json"] if output == "file" else []
    if output == "file":
        write(tmp_path / "out.json", "old")
    result = zentrove("--omit", "a", *args, "bad.json", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"zentrove: {message}\n"
    if output == "file":
        assert sorted(os.listdir(tmp_path)) == ["bad.json", "out.json"]
        assert (tmp_path / "out.json").read_text() == "old"


BAD_LINES = b'{"a": "x"}\n{"a": "yy", "b": [1, "z"]}\nnope\n{"a": "\xff"}\n[1,\n{"a": "qqq"}\n'


@pytest.mark.parametrize(
    "keep_going, stdout, errors",
    [
        (
            False,
            b'{"a": "*"}\n{"a": "**", "b": [1, "z"]}\n',
            ["3:1: invalid JSON: Expecting value"],
        ),
        (
            True,
            b'{"a": "*"}\n{"a": "**", "b": [1, "z"]}\n{"a": "***"}\n',
            [
                "3:1: invalid JSON: Expecting value",
                "4:8: invalid JSON: Invalid UTF-8 byte 0xff",
                "5:4: invalid JSON: Expecting value",
            ],
        ),
    ],
)
@pytest.mark.parametrize("source", ["log.jsonl", "<stdin>", "jobs"])
def test_bad_line_keeps_every_good_line_before_it(tmp_path, keep_going, stdout, errors, source):
    args = ["--omit", "a"] + (["--keep-going"] if keep_going else [])
    if source == "<stdin>":
        result = zentrove(*args, "--lines", stdin=BAD_LINES)
    else:
        # With --jobs, parts of 20 bytes: line numbers run on across parts.
        jobs = {"SEGMENT": 20} if source == "jobs" else None
        source = "log.jsonl"
        write(tmp_path / source, BAD_LINES)
        result = zentrove(*args, "--jobs", "2", source, cwd=tmp_path, patch=jobs)
    assert (result.returncode, result.stdout) == (1, stdout)
    assert result.stderr.decode().splitlines() == [f"zentrove: {source}:{e}" for e in errors]


def test_jobs_keep_the_order_of_parts_and_files(tmp_path):
    lines = b"".join(b'{"n": %d, "pw": "%s"}\n' % (n, b"x" * (n % 7)) for n in range(3000))
    files = [
        write(tmp_path / "a.jsonl", lines),
        write(tmp_path / "b.json", '{"pw": "q"}\n'),
        write(tmp_path / "c.jsonl", lines[: lines.index(b"\n", 400) + 1]),
    ]
    result = zentrove("--omit", "pw", "--jobs", "3", *files, patch={"SEGMENT": 1000})
    assert (result.returncode, result.stderr) == (0, b"")
    data = b"".join(path.read_bytes() for path in files)
    assert result.stdout == re.sub(
        rb'"pw": "([^"]*)"', lambda m: b'"pw": "%s"' % (b"*" * len(m[1])), data
    )


@pytest.mark.parametrize("keep_going", [False, True])
def test_keep_going_moves_on_to_the_next_file(tmp_path, keep_going):
    write(tmp_path / "bad.json", "{")
    write(tmp_path / "good.json", '{"a": "bc"}')
    args = ["--omit", "a", "bad.json", "good.json"]
    result = zentrove(*args, *(["--keep-going"] if keep_going else []), cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == (
        b"zentrove: bad.json:1:2: invalid JSON: "
        b"Expecting property name enclosed in double quotes\n"
    )
    assert result.stdout == (b'{"a": "**"}' if keep_going else b"")


def test_write_error_is_a_clean_message(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = write(tmp_path / "in.jsonl", b'{"a": "x"}\n' * 10)
    for args in (["-o", "/dev/full"], []):
        with open("/dev/full", "wb") as full:
            result = subprocess.run(
                [sys.executable, "-m", "zentrove", "--omit", "a", *args, src],
                stdout=full,
                stderr=subprocess.PIPE,
                env=ENV,
                timeout=60,
            )
        shown = "'/dev/full'" if args else "standard output"
        assert (result.returncode, result.stderr.decode()) == (
            3,
            f"zentrove: error: can't write {shown}: No space left on device\n",
        )


def full_disk(tmp_path, where, k, *args, segment=16 << 10):
    script = Path(__file__).parent / "isolated" / "full_disk.py"
    return subprocess.run(
        [sys.executable, script, where, str(k), tmp_path / "failed.log", "--omit", "pw", *args],
        cwd=tmp_path / "run",
        capture_output=True,
        timeout=60,
        env={**ENV, "TMPDIR": str(tmp_path / "tmp"), "SEGMENT": str(segment)},
    )


@pytest.mark.parametrize("output", ["out.json", "out.json.gz"])
@pytest.mark.parametrize("jobs", [[], ["-j", "2"]])
def test_full_disk_at_any_write_leaves_the_output_file_as_it_was(tmp_path, jobs, output):
    (tmp_path / "tmp").mkdir()
    run = tmp_path / "run"
    run.mkdir()
    lines = b"".join(b'{"n": %d, "pw": "secret"}\n' % n for n in range(3000))
    inputs = {
        "a.jsonl": lines,
        "b.json": b'{"pw": "x"}',
        "c.jsonl": lines[: lines.index(b"\n", 1000) + 1],
    }
    for name, data in inputs.items():
        write(run / name, data)
    write(run / output, "old")
    k = 0
    while True:
        k += 1
        result = full_disk(tmp_path, "main", k, *jobs, "-o", output, *inputs)
        if result.returncode == 0:
            break
        assert (result.returncode, result.stdout, result.stderr.decode()) == (
            3,
            b"",
            f"zentrove: error: can't write '{output}': No space left on device\n",
        ), k
        assert (run / output).read_bytes() == b"old"
        assert sorted(os.listdir(run)) == sorted([*inputs, output])
        assert os.listdir(tmp_path / "tmp") == []
    failed = (tmp_path / "failed.log").read_text().split()
    # Parts pass through the compressor, not sendfile.
    copied = ["sendfile"] if jobs and output == "out.json" else []
    assert set(failed) == {"write", "fsync", "replace", *copied}
    expected = (
        b"".join(inputs.values()).replace(b'"x"}', b'"*"}\n').replace(b'"secret"', b'"******"')
    )
    data = (run / output).read_bytes()
    assert (gzip.decompress(data) if output.endswith(".gz") else data) == expected


# Parts larger than a file object's buffer fail as they are written, smaller
# ones when the part file is closed.
@pytest.mark.parametrize("segment", [16 << 10, 1000])
def test_full_disk_in_a_worker(tmp_path, segment):
    (tmp_path / "tmp").mkdir()
    (tmp_path / "run").mkdir()
    write(tmp_path / "run" / "a.jsonl", b'{"pw": "secret"}\n' * 5000)
    write(tmp_path / "run" / "out.json", "old")
    result = full_disk(
        tmp_path, "workers", 0, "-j", "2", "-o", "out.json", "a.jsonl", segment=segment
    )
    assert (result.returncode, result.stdout, result.stderr.decode()) == (
        3,
        b"",
        "zentrove: error: can't write a part file: No space left on device\n",
    )
    assert sorted(os.listdir(tmp_path / "run")) == ["a.jsonl", "out.json"]
    assert (tmp_path / "run" / "out.json").read_bytes() == b"old"
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize("jobs", [[], ["-j", "2"]])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_signal_removes_what_the_run_made_and_ends_the_process(tmp_path, signum, jobs):
    (tmp_path / "tmp").mkdir()
    run = tmp_path / "run"
    run.mkdir()
    write(run / "a.jsonl", b'{"pw": "secret"}\n' * 5000)
    write(run / "out.json", "old")
    # a.jsonl goes to a worker in parts; the run then waits on standard input.
    command = [
        sys.executable,
        "-c",
        PATCHED,
        repr({"SEGMENT": 20000}),
        "--omit",
        "pw",
        "--lines",
        *jobs,
        "-o",
        "out.json",
        "a.jsonl",
        "-",
    ]
    with subprocess.Popen(
        command,
        cwd=run,
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env={**ENV, "TMPDIR": str(tmp_path / "tmp")},
    ) as proc:
        proc.stdin.write(b'{"pw": "x"}\n')
        proc.stdin.flush()
        # Lines from a pipe are flushed one by one: this one is in the
        # temporary output once the run reads standard input.
        deadline = time.monotonic() + 30
        while not any(
            path.read_bytes().endswith(b'{"pw": "*"}\n') for path in run.glob(".out.json.*.tmp")
        ):
            assert time.monotonic() < deadline, "the run did not reach standard input"
            time.sleep(0.02)
        assert len(os.listdir(tmp_path / "tmp")) == len(jobs) // 2
        proc.send_signal(signum)
        # No worker is left holding stderr open.
        _, stderr = proc.communicate(timeout=30)
    assert (proc.returncode, stderr) == (-signum, b"")
    assert sorted(os.listdir(run)) == ["a.jsonl", "out.json"]
    assert (run / "out.json").read_bytes() == b"old"
    assert os.listdir(tmp_path / "tmp") == []


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_signal_before_a_worker_resets_its_handlers_ends_the_worker(signum):
    # A worker forked while the run's handlers are in place, signalled before
    # its initializer runs, ends by the signal: it raises nothing of the run's.
    script = textwrap.dedent(
        f"""
        import os, signal, sys
        from zentrove import cli
        cli._catch_stop_signals()
        pid = os.fork()
        if pid == 0:
            os.kill(os.getpid(), {int(signum)})
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print(os.WIFSIGNALED(status) and os.WTERMSIG(status))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, env=ENV, timeout=60
    )
    assert (result.stdout, result.stderr) == (f"{int(signum)}\n".encode(), b"")


def test_fifo_input_is_opened_once(tmp_path):
    fifo = tmp_path / "in.json"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(b'{"a": "xyz"}'))
    writer.start()
    result = zentrove("--omit", "a", fifo)
    writer.join(timeout=10)
    assert (result.returncode, result.stdout, result.stderr) == (0, b'{"a": "***"}', b"")


def test_new_output_file_gets_the_usual_mode(tmp_path):
    result = zentrove("--omit", "a", "-o", tmp_path / "new.json", stdin=b"[]")
    assert result.returncode == 0
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "new.json").st_mode) == 0o666 & ~umask


def read_line(stream, timeout=30):
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, "no output line in time"
    return stream.readline()


def ignore_sighup():
    signal.signal(signal.SIGHUP, signal.SIG_IGN)


@pytest.mark.parametrize("sighup_ignored", [False, True])
def test_lines_are_streamed_one_at_a_time(sighup_ignored):
    # Each redacted line comes out before the next input line is written.  A
    # SIGHUP that the caller ignores (as under nohup) stays ignored.
    with subprocess.Popen(
        [sys.executable, "-m", "zentrove", "--trust", "id", "--lines"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
        preexec_fn=ignore_sighup if sighup_ignored else None,
    ) as proc:
        for n in range(3):
            proc.stdin.write(b'{"id": %d, "pw": "%s"}\n' % (n, b"x" * n))
            proc.stdin.flush()
            assert read_line(proc.stdout) == b'{"id": %d, "pw": "%s"}\n' % (n, b"*" * n)
            if sighup_ignored:
                proc.send_signal(signal.SIGHUP)
        proc.stdin.close()
        assert proc.wait(timeout=30) == 0
        assert proc.stderr.read() == b""


@pytest.mark.parametrize("args", [[], ["--jobs", "2"]])
def test_closed_output_pipe_ends_quietly(tmp_path, args):
    big = write(tmp_path / "big.jsonl", b'{"password": "secret"}\n' * 200000)
    with subprocess.Popen(
        [sys.executable, "-m", "zentrove", "--omit", "password", *args, str(big)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    ) as proc:
        assert proc.stdout.readline() == b'{"password": "******"}\n'
        proc.stdout.close()
        assert proc.wait(timeout=60) == 1
        assert proc.stderr.read() == b""


def run_with_terminal_stderr(args, tmp_path, stdout_on_terminal=False):
    """Runs the command with a pseudo-terminal as stderr; returns
    (exit status, stdout, everything written to the terminal)."""
    primary, secondary = pty.openpty()
    # 24 rows of 80 columns: a terminal of no size gets no bar.
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    patch = repr({"PROGRESS_MIN_BYTES": 1, "BLOCK": 4096})
    try:
        with open(tmp_path / "stdout", "wb+") as out:
            proc = subprocess.Popen(
                [sys.executable, "-c", PATCHED, patch, *args],
                stdout=secondary if stdout_on_terminal else out,
                stderr=secondary,
                env=ENV,
            )
            os.close(secondary)
            screen = b""
            while select.select([primary], [], [], 60)[0]:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:  # the terminal's other end is closed
                    break
                if not chunk:
                    break
                screen += chunk
            out.seek(0)
            return proc.wait(timeout=60), out.read(), screen.decode()
    finally:
        os.close(primary)


@pytest.mark.parametrize("args", [[], ["--jobs", "2"]])
def test_progress_bar_on_a_terminal_only_apart_from_output(tmp_path, args):
    pytest.importorskip("tqdm")
    data = write(tmp_path / "events.jsonl", b'{"pw": "abc"}\n' * 5000)
    status, stdout, screen = run_with_terminal_stderr(["--omit", "pw", *args, str(data)], tmp_path)
    assert (status, stdout) == (0, b'{"pw": "***"}\n' * 5000)
    # The bar names the file, and wipes itself at the end.
    assert screen.startswith(f"\r...{str(data)[-27:]}:   0%|")
    assert re.fullmatch(r".*\r +\r", screen, re.S)
    # Output on the same terminal: no bar.
    status, _, screen = run_with_terminal_stderr(["--omit", "pw", str(data)], tmp_path, True)
    assert status == 0
    assert screen.replace("\r\n", "\n") == '{"pw": "***"}\n' * 5000


def test_progress_bar_never_goes_to_a_pipe(tmp_path):
    data = write(tmp_path / "events.jsonl", b'{"pw": "abc"}\n' * 1000)
    result = zentrove("--omit", "pw", data, patch={"PROGRESS_MIN_BYTES": 1})
    assert (result.returncode, result.stderr) == (0, b"")


def test_version_and_console_script(tmp_path):
    from importlib.metadata import version

    script = Path(sys.executable).with_name("zentrove")
    result = subprocess.run([str(script), "--version"], capture_output=True, env=ENV, timeout=120)
    assert (result.returncode, result.stdout) == (0, f"zentrove {version('zentrove')}\n".encode())


def test_readme_main_job_on_the_sample_file():
    examples = Path(__file__).resolve().parent.parent / "examples"
    if not examples.is_dir():
        pytest.skip("examples/ is not beside this copy of the tests")
    sample = examples / "sample.json"
    result = zentrove("--omit", "password", sample)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == masked(
        sample.read_bytes(),
        (b'"hunter2"', b'"*******"'),
        (b'"correct horse"', b'"*************"'),
        (b'"tr0ub4dor"', b'"*********"'),
    )


def test_jobs_agree_with_one_process_on_a_line_with_a_bom(tmp_path):
    data = b'{"a": "x"}\n' * 3 + b'\xef\xbb\xbf{"a": "y"}\n' + b'{"a": "zz"}\n' * 3
    write(tmp_path / "log.jsonl", data)
    runs = [
        zentrove(
            "--omit", "a", "--keep-going", *jobs, "log.jsonl", cwd=tmp_path, patch={"SEGMENT": 20}
        )
        for jobs in ([], ["--jobs", "2"])
    ]
    assert [(r.returncode, r.stdout, r.stderr) for r in runs] == [
        (
            1,
            b'{"a": "*"}\n' * 3 + b'{"a": "**"}\n' * 3,
            b"zentrove: log.jsonl:4:1: invalid JSON: Expecting value\n",
        )
    ] * 2


def test_output_through_a_symlink_keeps_the_link(tmp_path):
    real = write(tmp_path / "real.json", "old")
    (tmp_path / "link.json").symlink_to(real)
    assert (
        zentrove("--omit", "a", "-o", tmp_path / "link.json", stdin=b'{"a": "b"}').returncode == 0
    )
    assert (tmp_path / "link.json").is_symlink()
    assert real.read_bytes() == b'{"a": "*"}'
