"""Module object, start-up and the shared object itself (the function
objects: test_function.py)."""

import builtins
import importlib.util
import os
import shutil
import subprocess

import pytest

import zentrove._redact as _redact
import zentrove.omit as omit
from helpers import run_python

FUNCTIONS = [
    "hide",
    "globally_hidden",
    "always_omit",
    "globally_trusted",
    "always_trust",
    "reset_omissions",
    "reset_trusted",
]
RECONSTRUCTORS = ["__pyx_unpickle_Omitter", "__pyx_unpickle_NoTrustOmitter"]


# ------------------------------------------------------------ module object


def test_public_attributes():
    names = set(dir(omit))
    assert {"Omitter", "NoTrustOmitter", "__test__", *FUNCTIONS, *RECONSTRUCTORS} <= names
    for private in ("AST", "__global_omissions__", "__global_trusted__"):
        assert private not in names
        assert not hasattr(omit, private)
    assert not hasattr(omit, "__path__")


def test_module_constants():
    assert omit.__test__ == {} and type(omit.__test__) is dict
    assert omit.__doc__ is None
    assert omit.__builtins__ is builtins
    assert omit.__name__ == "zentrove.omit"


def test_attributes_copied_from_spec():
    spec = omit.__spec__
    assert omit.__file__ == spec.origin == importlib.util.find_spec("zentrove.omit").origin
    assert omit.__loader__ is spec.loader
    assert omit.__package__ == spec.parent == "zentrove"


def test_every_module_global_is_expected():
    expected = {
        "__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
        "__builtins__", "Omitter", "NoTrustOmitter", "__test__",
        *FUNCTIONS, *RECONSTRUCTORS,
    }  # fmt: skip
    assert set(vars(omit)) == expected


def test_no_trust_omitter_shares_omitters_methods():
    assert omit.NoTrustOmitter.omit is omit.Omitter.omit
    assert omit.NoTrustOmitter.omit_recurse is omit.Omitter.omit_recurse
    assert "omit" not in vars(omit.NoTrustOmitter)


# ------------------------------------------------------------ immutable types


@pytest.mark.parametrize("cls", [omit.Omitter, omit.NoTrustOmitter])
@pytest.mark.parametrize("name", ["x", "omit", "__reduce__", "__init__"])
def test_types_refuse_attribute_changes(cls, name):
    message = f"cannot set '{name}' attribute of immutable type '{cls.__module__}.{cls.__name__}'"
    before = dict(vars(cls))
    with pytest.raises(TypeError) as excinfo:
        setattr(cls, name, 1)
    assert str(excinfo.value) == message
    with pytest.raises(TypeError) as excinfo:
        delattr(cls, name)
    assert str(excinfo.value) == message
    assert dict(vars(cls)) == before


@pytest.mark.parametrize("cls", [omit.Omitter, omit.NoTrustOmitter])
def test_vtable_capsule(cls):
    capsule = vars(cls)["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert repr(capsule).startswith("<capsule object NULL at ")


def test_vtables_differ():
    assert vars(omit.Omitter)["__pyx_vtable__"] is not vars(omit.NoTrustOmitter)["__pyx_vtable__"]


# ---------------------------------------------------------- pickling methods


@pytest.mark.parametrize("cls", [omit.Omitter, omit.NoTrustOmitter])
def test_pickling_methods_installed(cls):
    own = vars(cls)
    assert type(own["__reduce__"]).__name__ == "method_descriptor"
    assert type(own["__setstate__"]).__name__ == "method_descriptor"
    assert own["__reduce__"].__name__ == "__reduce_cython__"
    assert own["__setstate__"].__name__ == "__setstate_cython__"
    assert own["__reduce_cython__"].__qualname__ == f"{cls.__name__}.__reduce_cython__"


# ------------------------------------------------------ re-import and reload


def test_reimport_returns_the_same_module():
    proc = run_python(
        """
        import sys
        import zentrove.omit as first
        first.always_omit(["k"])
        first.always_trust(["t"])
        del sys.modules["zentrove.omit"]
        import zentrove.omit as second
        print(second is first, sys.modules["zentrove.omit"] is first)
        print(second.globally_hidden(), second.globally_trusted())
        import importlib.util
        spec = importlib.util.find_spec("zentrove.omit")
        print(importlib.util.module_from_spec(spec) is first)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["True True", "['k'] ['t']", "True"]


def test_reload_keeps_everything():
    proc = run_python(
        """
        import importlib
        import zentrove.omit as omit
        omit.always_omit(["k"])
        omit.always_trust(["t"])
        before = dict(vars(omit))
        vtable = vars(omit.Omitter)["__pyx_vtable__"]
        again = importlib.reload(omit)
        after = vars(omit)
        # the import machinery itself rewrites the attributes taken from the module spec
        machinery = {"__spec__", "__loader__", "__file__", "__package__"}
        same = all(after[k] is v for k, v in before.items() if k not in machinery)
        print(again is omit, same, set(after) == set(before))
        print(vars(omit.Omitter)["__pyx_vtable__"] is vtable)
        print(omit.globally_hidden(), omit.globally_trusted())
        print(omit.Omitter().omit({"k": "ab"}))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "True True True",
        "True",
        "['k'] ['t']",
        "{'k': '**'}",
    ]


# ----------------------------------------------------------- interpreters

INTERPRETER_CHANGE = (
    "ImportError: Interpreter change detected - "
    "this module can only be loaded into one interpreter per process."
)

SUBINTERPRETER = """
import _xxsubinterpreters as interpreters

def import_in_new_interpreter():
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, '''
try:
    import zentrove.omit
except BaseException as exc:
    raise RuntimeError("<<" + type(exc).__name__ + ": " + str(exc) + ">>")
''')
    except interpreters.RunFailedError as exc:
        text = str(exc)
        print(text[text.index("<<") + 2:text.index(">>")])
    else:
        print("imported")
    finally:
        interpreters.destroy(interp)
"""


def test_second_interpreter_is_refused():
    proc = run_python(SUBINTERPRETER + "import zentrove.omit\nimport_in_new_interpreter()\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [INTERPRETER_CHANGE]


def test_first_interpreter_to_import_wins():
    proc = run_python(
        SUBINTERPRETER
        + """
import_in_new_interpreter()
try:
    import zentrove.omit
except ImportError as exc:
    print("ImportError:", exc)
import_in_new_interpreter()
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["imported", INTERPRETER_CHANGE, INTERPRETER_CHANGE]


# ------------------------------------------------------------------ start-up


@pytest.mark.parametrize("enabled", [True, False])
def test_import_keeps_collector_state(enabled):
    proc = run_python(
        f"""
        import gc
        gc.enable() if {enabled} else gc.disable()
        import zentrove.omit
        print(gc.isenabled())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [str(enabled)]


def test_import_is_silent():
    proc = run_python("import warnings; warnings.simplefilter('error'); import zentrove.omit")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == proc.stderr == ""


def test_embedding_flag_names_the_module_main():
    proc = run_python(
        """
        import ctypes, importlib.util, sys
        lib = ctypes.CDLL(importlib.util.find_spec("zentrove.omit").origin)
        flag = ctypes.c_int.in_dll(lib, "zentrove_omit_embedded")
        print(flag.value)
        flag.value = 1
        import zentrove.omit as omit
        print(omit.__name__, sys.modules["zentrove.omit"] is omit, omit.hide("ab"))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["0", "__main__ True **"]


# -------------------------------------------------------------- shared object


# Both native modules: what they need and what they export.
SHARED_OBJECTS = pytest.mark.parametrize("module", [omit, _redact], ids=["omit", "_redact"])
EXPORTS = {
    "zentrove.omit": {"PyInit_omit": "T", "zentrove_omit_embedded": "B"},
    "zentrove._redact": {"PyInit__redact": "T"},
}


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
@pytest.mark.skipif(
    bool(os.environ.get("ZENTROVE_SANITIZED")),
    reason="the sanitizer build links the sanitizer runtimes",
)
@SHARED_OBJECTS
def test_needs_only_the_c_library(module):
    out = subprocess.run(
        ["readelf", "-d", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    needed = [line.split("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
    assert needed, out
    assert {lib.split(".so")[0] for lib in needed} <= {"libc", "libm", "libpthread", "libdl"}, (
        needed
    )


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@SHARED_OBJECTS
def test_exports_only_its_init_function_and_flag(module):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", "-S", module.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = {}
    for line in out.splitlines():
        fields = line.split()
        symbols[fields[-1]] = (fields[-2], int(fields[-3], 16) if len(fields) == 4 else None)
    assert {name: kind for name, (kind, _) in symbols.items()} == EXPORTS[module.__name__]
    if module is omit:
        # a 4-byte integer, zero at load
        assert symbols["zentrove_omit_embedded"] == ("B", 4)
