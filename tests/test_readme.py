"""The README's Python examples show what they do: each `expression  # value`
(or a value on the comment line after it) is evaluated and compared, and the
logging example's lines are the lines it logs."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)
# Examples that need a cluster, Spark or a queue of the reader's own.
RUNNABLE = [b for b in BLOCKS if not re.search(r"dask|pyspark|structlog|QueueHandler\(q\)", b)]


def literal(comment):
    """The value a comment shows (after "a copy:"), or None."""
    text = comment.split(": ", 1)[1] if comment.startswith("a copy: ") else comment
    try:
        return (ast.literal_eval(text),)
    except (ValueError, SyntaxError):
        return None


def checks(block):
    """(code before, expression, shown value, code after) for each value shown."""
    lines = block.splitlines()
    for i, line in enumerate(lines):
        at, (code, _, comment) = i, line.partition("  # ")
        if line.startswith("# ") and i > 0:
            at, code, comment = i - 1, lines[i - 1].partition("  # ")[0], line[2:]
        shown = literal(comment.strip()) if comment and code.strip() else None
        if shown is not None:
            yield "\n".join(lines[:at]), code.strip(), shown[0], "\n".join(lines[i + 1 :])


CASES = [case for block in RUNNABLE if "basicConfig" not in block for case in checks(block)]


def test_the_examples_are_found():
    assert len(CASES) >= 5


@pytest.mark.parametrize(
    "before, expression, shown, after", CASES, ids=[case[1][:40] for case in CASES]
)
def test_each_shown_value(before, expression, shown, after):
    scope = {}
    exec(before, scope)
    assert eval(expression, scope) == shown
    exec(after, scope)  # the example's own clean-up, such as resetting global lists


def test_the_logging_example_logs_what_it_shows():
    (block,) = [b for b in RUNNABLE if "basicConfig" in b]
    shown = [line[2:] for line in block.splitlines() if line.startswith("# INFO:")]
    run = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr.splitlines()) == (0, "", shown)


def test_the_loguru_example_logs_what_it_shows():
    (block,) = [b for b in RUNNABLE if "RedactingPatcher" in b]
    shown = [line[2:] for line in block.splitlines() if line.startswith("# ")]
    # The messages alone, on stdout.
    sink = (
        "import sys\nfrom loguru import logger\n"
        "logger.remove()\nlogger.add(sys.stdout, format='{message}')\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", sink + block], capture_output=True, text=True, timeout=60
    )
    assert (run.returncode, run.stdout.splitlines(), run.stderr) == (0, shown, "")
