"""Shared test helpers: the leak harness, crasher objects, traceback entries,
pickle checksums and the runner of the scripts in tests/isolated/.

The isolated scripts import this module too (they put tests/ on sys.path), so
it imports nothing beyond the standard library at the top.
"""

import ast
import gc
import subprocess
import sys
import textwrap
import traceback
from itertools import repeat
from pathlib import Path

# ------------------------------------------------------- traceback entries

# The module's failures carry entries of these two file names.
SRC = "src/zentrove/omit"
STRINGS = "<stringsource>"
MODULE_FILES = (SRC, STRINGS)


def at(line, name, file=SRC):
    """One traceback entry of the module: (file, line, qualified name)."""
    return (file, line, f"zentrove.omit.{name}")


HIDE = at(8, "hide")
OMITTER_INIT = at(38, "Omitter.__init__")
SHOULD_HIDE = at(44, "Omitter.should_hide")
OMIT = at(46, "Omitter.omit")
RECURSE = at(62, "Omitter.omit_recurse")
NO_TRUST_INIT = at(79, "NoTrustOmitter.__init__")
NO_TRUST_SHOULD_HIDE = at(85, "NoTrustOmitter.should_hide")


def entries(exc):
    """The module's traceback entries of an exception, outermost first, as
    (file, line, name) triples.  Accepts an exception or a pytest ExceptionInfo."""
    exc = getattr(exc, "value", exc)
    return [
        (f.filename, f.lineno, f.name)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename in MODULE_FILES
    ]


# The reconstructors, UNPICKLE and UNPICKLE_NT, load the module when first
# asked for (see __getattr__ at the end); the entries of their failures and
# of set-state's:
UNPICKLE_AT = {line: at(line, "__pyx_unpickle_Omitter", STRINGS) for line in (1, 7, 9)}
SET_STATE = at(12, "__pyx_unpickle_Omitter__set_state", STRINGS)
NT_SET_STATE = at(12, "__pyx_unpickle_NoTrustOmitter__set_state", STRINGS)
SETSTATE_CALL = at(17, "Omitter.__setstate_cython__", STRINGS)
NT_SETSTATE_CALL = at(17, "NoTrustOmitter.__setstate_cython__", STRINGS)

# ------------------------------------------------------ pickle checksums

# The layout checksums a reconstructor accepts, the type's own first; a
# mismatch message lists them in this order.
OMITTER_SUMS = (0xF72771A, 0x676FD74, 0x1022349)
NO_TRUST_SUMS = (0x63752F2, 0x7C505B1, 0x6E28AAB)
OMITTER_SUM = OMITTER_SUMS[0]
NO_TRUST_SUM = NO_TRUST_SUMS[0]

# ---------------------------------------------------------------- crashers


class Boom(Exception):
    """Raised by the crashers below, so a test can tell it from the module's own."""


class RaisingEq:
    """Equal to nothing: comparing raises Boom.  Hashes by identity."""

    def __eq__(self, other):
        raise Boom

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom


class RaisingBool:
    def __bool__(self):
        raise Boom


class RaisingInt:
    def __int__(self):
        raise Boom


class IntReturnsStr:
    def __int__(self):
        return "1"


class Text(str):
    pass


class Keys(list):
    pass


class Mapping(dict):
    pass


def raising(exc, func, *args, **kwargs):
    """A call that must raise exactly exc (a subclass does not do), as a
    no-argument callable for leak loops."""

    def run():
        try:
            func(*args, **kwargs)
        except exc as caught:
            if type(caught) is exc:
                return
            raise AssertionError(
                f"{func!r} raised {type(caught).__name__}, not {exc.__name__}"
            ) from caught
        raise AssertionError(f"{func!r} did not raise {exc.__name__}")

    return run


# ------------------------------------------------------------------ leaks


def _blocks_are_counted():
    before = sys.getallocatedblocks()
    kept = [object() for _ in range(100)]
    return sys.getallocatedblocks() - before >= len(kept)


# What this interpreter counts: the total reference count on a debug build,
# the allocated blocks unless PYTHONMALLOC=malloc (sanitizer runs) bypasses
# the interpreter's allocator.
LEAK_COUNTS = {}
if hasattr(sys, "gettotalrefcount"):
    LEAK_COUNTS["references"] = sys.gettotalrefcount
if _blocks_are_counted():
    LEAK_COUNTS["allocated blocks"] = sys.getallocatedblocks

LEAK_CALLS = 100  # calls per round
LEAK_WARMUP = 2  # rounds run before the first measurement
LEAK_ROUNDS = 5  # measured rounds


def growth(func, n=LEAK_CALLS):
    """{count: its growth in each of LEAK_ROUNDS rounds of n calls}, after
    LEAK_WARMUP rounds; each round closes with a full collection."""
    for _ in repeat(None, LEAK_WARMUP * n):
        func()
    deltas = {name: [0] * LEAK_ROUNDS for name in LEAK_COUNTS}
    counts = list(LEAK_COUNTS.items())
    rounds = list(range(LEAK_ROUNDS))  # made before the first measurement
    gc.collect()
    before = {name: count() for name, count in counts}
    for i in rounds:
        for _ in repeat(None, n):
            func()
        gc.collect()
        for name, count in counts:
            now = count()
            deltas[name][i] = now - before[name]
            before[name] = now
    return deltas


def assert_no_leak(func, n=LEAK_CALLS):
    """Fails when a count grew in every round of each of three measurements:
    a leak grows every time, while the interpreter's own caches (pickle's, the
    type cache) and the threads of a parallel test run (pytest-xdist's) take a
    few blocks only now and then.
    Skips where the interpreter counts nothing.  Mark tests that use it with
    @pytest.mark.leak."""
    if not LEAK_COUNTS:
        import pytest

        pytest.skip("this interpreter counts neither references nor allocated blocks")
    # The objects that exist now stay out of the collections, which then cost
    # what the loop makes, not what the whole test session holds.
    gc.collect()
    gc.freeze()
    try:
        for _ in range(3):
            grown = {name: d for name, d in growth(func, n).items() if all(x > 0 for x in d)}
            if not grown:
                return
    finally:
        gc.unfreeze()
    raise AssertionError(
        "; ".join(f"{name} grew in every round: {d}" for name, d in grown.items())
    )


# --------------------------------------------------------- isolated scripts

ISOLATED = Path(__file__).parent / "isolated"


def case_names(script):
    """The case_* functions of an isolated script, in file order."""
    tree = ast.parse((ISOLATED / script).read_text(encoding="utf-8"))
    return [
        node.name
        for node in tree.body
        if isinstance(node, ast.FunctionDef) and node.name.startswith("case_")
    ]


def run_isolated(script, *args, timeout=300):
    """Runs tests/isolated/<script> with args in a fresh interpreter."""
    return subprocess.run(
        [sys.executable, str(ISOLATED / script), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_case_passes(script, case, timeout=300):
    result = run_isolated(script, case, timeout=timeout)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-5000:]
    assert (result.stdout, result.stderr) == (f"{case} ok\nOK\n", "")


def run_cases(namespace, names, after=None):
    """The main of an isolated script: runs the named case_* functions of
    `namespace` (all when none is named), prints "<case> ok" after each and
    "OK" at the end; after() runs after each case."""
    names = names or [name for name in list(namespace) if name.startswith("case_")]
    for name in names:
        namespace[name]()
        if after is not None:
            after()
        print(name, "ok")
    print("OK")


def failure(call):
    """The exception that call() raises; fails when it raises none."""
    try:
        call()
    except Exception as exc:
        return exc
    raise AssertionError("no exception")


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def fails(call, exc_type=TypeError):
    """The ExceptionInfo of a call that must raise exc_type."""
    import pytest

    with pytest.raises(exc_type) as info:
        call()
    return info


def state_of(o):
    """The state tuple of either reduce form."""
    value = o.__reduce__()
    return value[2] if len(value) == 3 else value[1][2]


_RECONSTRUCTORS = {
    "UNPICKLE": "__pyx_unpickle_Omitter",
    "UNPICKLE_NT": "__pyx_unpickle_NoTrustOmitter",
}


def __getattr__(name):
    """UNPICKLE and UNPICKLE_NT, the reconstructors: the module is imported
    only when one is asked for."""
    if name in _RECONSTRUCTORS:
        import zentrove.omit

        return getattr(zentrove.omit, _RECONSTRUCTORS[name])
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
