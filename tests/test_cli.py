"""The command-line redactor, run as `python -m zentrove` in a subprocess."""

import json
import os
import pty
import select
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

DOC = {
    "user": "bob",
    "password": "hunter2",
    "codes": ["12", "345", 6],
    "n": 5,
    "ok": True,
    "none": None,
    "nested": {"password": "xy", "id": "a1"},
}


# Output buffering as a user gets it, whatever the test runner's setting.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}


def zentrove(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "zentrove", *map(str, args)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        env=ENV,
        timeout=120,
    )


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_document_is_written_indented_with_masks(tmp_path, source):
    doc = json.dumps(DOC).encode()
    if source == "file":
        result = zentrove("--omit", "password", write(tmp_path / "in.json", doc))
    else:
        result = zentrove("--omit", "password", stdin=doc)
    expected = dict(DOC, password="*******", nested={"password": "**", "id": "a1"})
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == (json.dumps(expected, indent=2) + "\n").encode()


@pytest.mark.parametrize(
    "args, keys_file, expected",
    [
        (
            ["--omit", "password", "--omit", "codes"],
            None,
            dict(
                DOC,
                password="*******",
                codes=["**", "***", 6],
                nested={"password": "**", "id": "a1"},
            ),
        ),
        (
            ["--trust", "user", "--trust", "id"],
            None,
            dict(
                DOC,
                password="*******",
                codes=["**", "***", 6],
                nested={"password": "**", "id": "a1"},
            ),
        ),
        (
            ["--trust", "password"],
            None,
            dict(
                DOC,
                user="***",
                codes=["**", "***", 6],
                nested={"password": "xy", "id": "**"},
            ),
        ),
        # A keys file alone is a deny-list; comments and blank lines are skipped.
        (
            [],
            "# secrets\n\n  password  \nid\n",
            dict(DOC, password="*******", nested={"password": "**", "id": "**"}),
        ),
        # With --trust the file's keys are trusted too.
        (
            ["--trust", "user"],
            "id\ncodes\n",
            dict(DOC, password="*******", nested={"password": "**", "id": "a1"}),
        ),
    ],
)
def test_omit_trust_and_keys_file(tmp_path, args, keys_file, expected):
    if keys_file is not None:
        args = [*args, "--keys-file", write(tmp_path / "keys.txt", keys_file)]
    result = zentrove(*args, write(tmp_path / "in.json", json.dumps(DOC)))
    assert (result.returncode, result.stderr) == (0, b"")
    assert json.loads(result.stdout) == expected


@pytest.mark.parametrize(
    "value, mode, expected",
    [
        (["ab", 1, {"password": "c"}], "--omit", ["ab", 1, {"password": "*"}]),
        (
            ["ab", 1, {"password": "c", "pin": "d"}],
            "--trust",
            ["**", 1, {"password": "c", "pin": "*"}],
        ),
        ("abc", "--omit", "abc"),
        ("abc", "--trust", "***"),
        (12.5, "--trust", 12.5),
        (None, "--trust", None),
    ],
)
def test_top_level_value_has_no_key(value, mode, expected):
    result = zentrove(mode, "password", stdin=json.dumps(value).encode())
    assert (result.returncode, result.stderr) == (0, b"")
    assert json.loads(result.stdout) == expected


def test_text_is_utf8_and_masks_count_code_points():
    doc = '{"password": "h\u00e9llo \U0001f600", "name": "Zo\u00eb"}'.encode()
    result = zentrove("--omit", "password", stdin=b"\xef\xbb\xbf" + doc)
    assert result.returncode == 0
    assert result.stdout.decode("utf-8") == (
        '{\n  "password": "*******",\n  "name": "Zo\u00eb"\n}\n'
    )


def test_lone_surrogate_is_written_as_escape():
    result = zentrove("--omit", "x", stdin=b'{"a": "\\ud800", "b": "\xc3\xa9"}')
    assert result.returncode == 0
    assert result.stdout == b'{\n  "a": "\\ud800",\n  "b": "\\u00e9"\n}\n'


LINES = (
    b'{"event": "login", "password": "pw1"}\n'
    b"\n"
    b'{"event": "token", "token": ["ab", "c"], "n": 1}\r\n'
    b'["x", {"password": "pw22"}]\n'
)
LINES_OUT = (
    b'{"event": "login", "password": "***"}\n'
    b'{"event": "token", "token": ["**", "*"], "n": 1}\n'
    b'["x", {"password": "****"}]\n'
)


@pytest.mark.parametrize(
    "how", ["jsonl suffix", "--lines on file", "--lines on stdin", "--lines, '-'"]
)
def test_json_lines_one_compact_line_each(tmp_path, how):
    keys = ["--omit", "password", "--omit", "token"]
    if how == "jsonl suffix":
        result = zentrove(*keys, write(tmp_path / "log.jsonl", LINES))
    elif how == "--lines on file":
        result = zentrove(*keys, "--lines", write(tmp_path / "log.txt", LINES))
    elif how == "--lines on stdin":
        result = zentrove(*keys, "--lines", stdin=LINES)
    else:
        result = zentrove(*keys, "--lines", "-", stdin=LINES)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == LINES_OUT


def test_several_inputs_go_to_one_output_file(tmp_path):
    out = tmp_path / "out.txt"
    result = zentrove(
        "--omit",
        "password",
        "-o",
        out,
        write(tmp_path / "a.json", '{"password": "abc"}'),
        write(tmp_path / "b.jsonl", '{"password": "de"}\n["password"]\n'),
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert out.read_bytes() == (
        b'{\n  "password": "***"\n}\n{"password": "**"}\n["password"]\n'
    )


NO_KEYS = "no keys to redact: give --omit KEY, --trust KEY or --keys-file FILE"


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["--omit", "a", "--trust", "b"],
            "argument --trust: not allowed with argument --omit",
        ),
        ([], NO_KEYS),
        (["--keys-file", "comments.txt"], NO_KEYS),
        (["--omit"], "argument --omit: expected one argument"),
        (["--omit", "a", "--bogus"], "unrecognized arguments: --bogus"),
        (
            ["--omit", "a", "missing.json"],
            "can't open 'missing.json': No such file or directory",
        ),
        (["--omit", "a", "."], "can't open '.': Is a directory"),
        (
            ["--keys-file", "nokeys.txt"],
            "can't read keys file 'nokeys.txt': No such file or directory",
        ),
        (
            ["--omit", "a", "-o", "in.json", "in.json"],
            "output file 'in.json' is also an input",
        ),
        (
            ["--omit", "a", "-o", "no/dir/out.json", "in.json"],
            "can't write 'no/dir/out.json': No such file or directory",
        ),
    ],
)
def test_usage_errors_exit_2_before_any_output(tmp_path, args, message):
    write(tmp_path / "in.json", '{"a": "secret"}')
    write(tmp_path / "comments.txt", "# nothing here\n\n")
    result = zentrove(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, b"")
    lines = result.stderr.decode().splitlines()
    assert lines[0].startswith("usage: zentrove ")
    assert lines[-1] == "zentrove: error: " + message
    assert (tmp_path / "in.json").read_text() == '{"a": "secret"}'


@pytest.mark.parametrize(
    "data, message",
    [
        (
            b'{"a": 1,\n  "b" 2}',
            "bad.json:2:7: invalid JSON: Expecting ':' delimiter",
        ),
        (b"", "bad.json:1:1: invalid JSON: Expecting value"),
        (b'{"a": "x"} {"b": 1}', "bad.json:1:12: invalid JSON: Extra data"),
        (b'{\n"a": "\xff"}', "bad.json:2: invalid UTF-8: invalid start byte"),
        (b"[" * 100000, "bad.json: nested too deeply"),
        (
            b"1" * 5000,
            "bad.json: invalid JSON: Exceeds the limit (4300 digits) for integer "
            "string conversion: value has 5000 digits; use "
            "sys.set_int_max_str_digits() to increase the limit",
        ),
    ],
)
def test_bad_document_exits_1_naming_file_and_line(tmp_path, data, message):
    write(tmp_path / "bad.json", data)
    result = zentrove("--omit", "a", "bad.json", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"zentrove: {message}\n"


BAD_LINES = (
    b'{"a": "x"}\n'
    b'{"a": "yy", "b": [1, "z"]}\n'
    b"nope\n"
    b'{"a": "\xff"}\n'
    b"[1,\n"
    b'{"a": "qqq"}\n'
)


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
                "4: invalid UTF-8: invalid start byte",
                "5:4: invalid JSON: Expecting value",
            ],
        ),
    ],
)
@pytest.mark.parametrize("source", ["log.jsonl", "<stdin>"])
def test_bad_line_keeps_every_good_line_before_it(
    tmp_path, keep_going, stdout, errors, source
):
    args = ["--omit", "a"] + (["--keep-going"] if keep_going else [])
    if source == "<stdin>":
        result = zentrove(*args, "--lines", stdin=BAD_LINES)
    else:
        write(tmp_path / source, BAD_LINES)
        result = zentrove(*args, source, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, stdout)
    assert result.stderr.decode().splitlines() == [
        f"zentrove: {source}:{error}" for error in errors
    ]


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
    assert result.stdout == (b'{\n  "a": "**"\n}\n' if keep_going else b"")


def read_line(stream, timeout=30):
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, "no output line in time"
    return stream.readline()


def test_lines_are_streamed_one_at_a_time():
    # Each redacted line comes out before the next input line is written.
    with subprocess.Popen(
        [sys.executable, "-m", "zentrove", "--trust", "id", "--lines"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    ) as proc:
        for n in range(3):
            proc.stdin.write(b'{"id": %d, "pw": "%s"}\n' % (n, b"x" * n))
            proc.stdin.flush()
            expected = b'{"id": %d, "pw": "%s"}\n' % (n, b"*" * n)
            assert read_line(proc.stdout) == expected
        proc.stdin.close()
        assert proc.wait(timeout=30) == 0
        assert proc.stderr.read() == b""


def test_closed_output_pipe_ends_quietly(tmp_path):
    big = write(tmp_path / "big.jsonl", b'{"password": "secret"}\n' * 200000)
    with subprocess.Popen(
        [sys.executable, "-m", "zentrove", "--omit", "password", str(big)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    ) as proc:
        assert proc.stdout.readline() == b'{"password": "******"}\n'
        proc.stdout.close()
        assert proc.wait(timeout=60) == 1
        assert proc.stderr.read() == b""


PROGRESS_RUN = textwrap.dedent(
    """\
    import sys
    import zentrove.cli as cli
    cli.PROGRESS_MIN_BYTES = int(sys.argv[1])
    raise SystemExit(cli.main(sys.argv[2:]))
    """
)


def run_with_terminal_stderr(args):
    """Runs the command with a pseudo-terminal as stderr; returns
    (exit status, stdout, everything written to the terminal)."""
    primary, secondary = pty.openpty()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-c", PROGRESS_RUN, *args],
            stdout=subprocess.PIPE,
            stderr=secondary,
            env=ENV,
        )
        os.close(secondary)
        screen = b""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ready, _, _ = select.select([primary], [], [], 1)
            if ready:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:  # the terminal's other end is closed
                    break
                if not chunk:
                    break
                screen += chunk
            elif proc.poll() is not None:
                break
        stdout = proc.stdout.read()
        proc.stdout.close()
        return proc.wait(timeout=60), stdout, screen.decode()
    finally:
        os.close(primary)


@pytest.mark.parametrize("threshold, bar", [("1", True), (str(1 << 40), False)])
def test_progress_bar_only_on_terminal_for_large_files(tmp_path, threshold, bar):
    data = write(tmp_path / "events.jsonl", b'{"pw": "abc"}\n' * 1000)
    status, stdout, screen = run_with_terminal_stderr(
        [threshold, "--omit", "pw", str(data)]
    )
    assert (status, stdout) == (0, b'{"pw": "***"}\n' * 1000)
    if not bar:
        assert screen == ""
        return
    label = str(data) if len(str(data)) <= 30 else "..." + str(data)[-27:]
    frame = f"\r{label} [" + "." * 30 + "]   0%"
    assert screen.startswith(frame)
    # The bar wipes itself at the end, so the prompt starts on a clean line.
    assert screen.endswith("\r" + " " * (len(frame) - 1) + "\r")


def test_progress_bar_never_goes_to_a_pipe(tmp_path):
    data = write(tmp_path / "events.jsonl", b'{"pw": "abc"}\n' * 1000)
    result = subprocess.run(
        [sys.executable, "-c", PROGRESS_RUN, "1", "--omit", "pw", str(data)],
        capture_output=True,
        env=ENV,
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, b"")


def test_console_script_runs_the_same_command(tmp_path):
    script = Path(sys.executable).with_name("zentrove")
    doc = write(tmp_path / "in.json", '{"password": "abc", "user": "bob"}')
    result = subprocess.run(
        [str(script), "--omit", "password", str(doc)],
        capture_output=True,
        env=ENV,
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, b"")
    assert json.loads(result.stdout) == {"password": "***", "user": "bob"}


def test_readme_main_job_on_the_sample_file():
    examples = Path(__file__).resolve().parent.parent / "examples"
    if not examples.is_dir():
        pytest.skip("examples/ is not beside this copy of the tests")
    result = zentrove("--omit", "password", examples / "sample.json")
    assert (result.returncode, result.stderr) == (0, b"")
    sample = json.loads((examples / "sample.json").read_text())
    sample["password"] = "*******"
    sample["session"]["password"] = "*" * len("correct horse")
    sample["contacts"][0]["password"] = "*" * len("tr0ub4dor")
    assert json.loads(result.stdout) == sample
