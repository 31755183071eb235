"""The type stubs of zentrove.omit and the typed Python modules beside it.

Each check runs mypy in a subprocess against the installed package.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).parent


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    # One cache for the module: later runs reuse the analysed standard library.
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cache_dir, *args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", f"--cache-dir={cache_dir}", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=600,
    )


@pytest.mark.parametrize(
    "args",
    [
        ["--allowlist", str(HERE / "stubtest_allowlist.txt"), "zentrove.omit"],
        # No allowlist: every signature of the module is in its stub.
        ["zentrove._redact"],
    ],
)
def test_stubtest_finds_stubs_and_runtime_in_agreement(tmp_path, args):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "Success: no issues found in 1 module"


@pytest.mark.parametrize(
    "target, checked",
    [
        ([str(HERE / "typing_usage.py")], "1 source file"),
        # The package's own Python modules (cli and its _cli_io, _cli_jobs,
        # _cli_compress; logs; redactor; dask and its _dask_tasks; _stream and
        # _engine, which they share) and the stubs.
        (["-p", "zentrove"], "14 source files"),
    ],
)
def test_strict_mypy_passes(cache_dir, tmp_path, target, checked):
    result = mypy(cache_dir, *target, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == f"Success: no issues found in {checked}"


def test_usage_file_runs():
    # The calls that mypy accepted, keywords included, work at run time.
    ran = subprocess.run(
        [sys.executable, str(HERE / "typing_usage.py")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (ran.returncode, ran.stdout, ran.stderr) == (0, "", "")


def test_misuse_is_reported_with_stub_names_and_types(cache_dir, tmp_path):
    (tmp_path / "bad.py").write_text(
        textwrap.dedent(
            """\
            import zentrove.omit as omit
            from zentrove.logs import RedactingFilter

            omit.hide(1)
            omit.always_omit(("a",))
            omit.Omitter(keys=["a"])
            omit.NoTrustOmitter(omissions=["a"])
            omit.Omitter().omit(["a"])
            omit.Omitter().omit_recurse([], flag=True)
            omit.Omitter().should_hide("a")
            RedactingFilter(["password"])
            reveal_type(omit.Omitter().omit({"a": 1}))
            reveal_type(omit.NoTrustOmitter().omit_recurse(["a"], do=0))
            reveal_type(omit.globally_trusted())
            RedactingFilter(omit=["a"], detects=True)
            """
        )
    )
    result = mypy(cache_dir, "--hide-error-context", "bad.py", cwd=tmp_path)
    lines = [
        line
        for line in result.stdout.splitlines()
        if " defined in " not in line  # notes pointing at the stub file
    ]
    assert lines == [
        'bad.py:4: error: Argument 1 to "hide" has incompatible type "int"; '
        'expected "str | None"  [arg-type]',
        'bad.py:5: error: Argument 1 to "always_omit" has incompatible type '
        '"tuple[str]"; expected "list[Any] | None"  [arg-type]',
        'bad.py:6: error: Unexpected keyword argument "keys" for "Omitter"  [call-arg]',
        'bad.py:7: error: Unexpected keyword argument "omissions" for '
        '"NoTrustOmitter"  [call-arg]',
        'bad.py:8: error: Value of type variable "_DictT" of "omit" of "Omitter" '
        'cannot be "list[str]"  [type-var]',
        'bad.py:9: error: Unexpected keyword argument "flag" for "omit_recurse" '
        'of "Omitter"  [call-arg]',
        'bad.py:10: error: "Omitter" has no attribute "should_hide"  [attr-defined]',
        'bad.py:11: error: Argument 1 to "RedactingFilter" has incompatible type '
        '"list[str]"; expected "Redactor | Omitter | None"  [arg-type]',
        'bad.py:12: note: Revealed type is "dict[str, int]"',
        'bad.py:13: note: Revealed type is "list[str]"',
        'bad.py:14: note: Revealed type is "list[Any]"',
        'bad.py:15: error: Unexpected keyword argument "detects" for "RedactingFilter"; '
        'did you mean "detect"?  [call-arg]',
        "Found 9 errors in 1 file (checked 1 source file)",
    ]
    assert result.returncode == 1


def test_allowlist_names_only_pickling_internals():
    entries = [
        line
        for line in (HERE / "stubtest_allowlist.txt").read_text().splitlines()
        if line and not line.startswith("#")
    ]
    assert entries
    assert all(
        entry.rsplit(".", 1)[1] in ("__reduce_cython__", "__setstate_cython__")
        for entry in entries
    )
