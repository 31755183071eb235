"""Shared test helpers."""

import subprocess
import sys
import textwrap
import traceback

MODULE_FILES = ("src/zentrove/omit", "<stringsource>")


def entries(exc):
    """The module's traceback entries of an exception, outermost first, as
    (file, line, name) triples.  Accepts an exception or a pytest ExceptionInfo."""
    exc = getattr(exc, "value", exc)
    return [
        (f.filename, f.lineno, f.name)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename in MODULE_FILES
    ]


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def raising(exc, func, *args, **kwargs):
    """A call that must raise exc, as a no-argument callable for leak loops."""

    def run():
        try:
            func(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{func!r} did not raise {exc.__name__}")

    return run
