"""The reconstructors __pyx_unpickle_Omitter and __pyx_unpickle_NoTrustOmitter:
the layout checksums, the PickleError of a mismatch, and the state they apply."""

import hashlib
import pickle

import pytest

import zentrove.omit as omit
from helpers import (
    NO_TRUST_SUMS,
    NT_SET_STATE,
    OMITTER_SUMS,
    SET_STATE,
    UNPICKLE,
    UNPICKLE_AT,
    UNPICKLE_NT,
    entries,
    fails,
    run_python,
    state_of,
)
from helpers import STRINGS as STRS
from subclasses import SubNoTrust, SubOmitter, TupleSub
from zentrove.omit import NoTrustOmitter, Omitter

OMITTER_MISMATCH = (
    "Incompatible checksums (0x{} vs (0xf72771a, 0x676fd74, 0x1022349) = (omissions))"
)
NO_TRUST_MISMATCH = (
    "Incompatible checksums (0x{} vs (0x63752f2, 0x7c505b1, 0x6e28aab) = (omissions, trusted))"
)


class ListSub(list):
    pass


# --- reconstructors ---------------------------------------------------------


@pytest.mark.parametrize(
    "reconstruct, cls, checksum",
    [(UNPICKLE, Omitter, s) for s in OMITTER_SUMS]
    + [(UNPICKLE_NT, NoTrustOmitter, s) for s in NO_TRUST_SUMS]
    + [(UNPICKLE, SubOmitter, OMITTER_SUMS[1]), (UNPICKLE_NT, SubNoTrust, NO_TRUST_SUMS[2])],
)
def test_accepted_checksums_make_an_instance_with_fields_none(reconstruct, cls, checksum):
    omit.always_omit(["g"])
    omit.always_trust(["g"])
    result = reconstruct(cls, checksum, None)
    assert type(result) is cls
    fields = (None, None) if issubclass(cls, NoTrustOmitter) else (None,)
    assert state_of(result)[: len(fields)] == fields


@pytest.mark.parametrize(
    "reconstruct, cls, checksum, message",
    [
        (UNPICKLE, Omitter, 0x63752F2, OMITTER_MISMATCH.format("63752f2")),
        (UNPICKLE, Omitter, 1, OMITTER_MISMATCH.format("1")),
        (UNPICKLE, Omitter, -1, OMITTER_MISMATCH.format("-1")),
        (UNPICKLE, Omitter, -0x7C505B1, OMITTER_MISMATCH.format("-7c505b1")),
        (UNPICKLE_NT, NoTrustOmitter, 0xF72771A, NO_TRUST_MISMATCH.format("f72771a")),
        (UNPICKLE_NT, NoTrustOmitter, 0, NO_TRUST_MISMATCH.format("0")),
    ],
)
def test_refused_checksums(reconstruct, cls, checksum, message):
    info = fails(lambda: reconstruct(cls, checksum, None), pickle.PickleError)
    assert type(info.value) is pickle.PickleError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert entries(info) == [(STRS, 6, "zentrove.omit." + reconstruct.__name__)]


def test_negative_checksum_message_prefix():
    info = fails(lambda: UNPICKLE(Omitter, -1, None), pickle.PickleError)
    assert str(info.value).startswith("Incompatible checksums (0x-1 vs")


def test_checksum_conversions():
    assert type(UNPICKLE(Omitter, 259159834.0, None)) is Omitter
    assert type(UNPICKLE_NT(NoTrustOmitter, 104289010.9, None)) is NoTrustOmitter
    info = fails(lambda: UNPICKLE(Omitter, "259159834", None))
    assert str(info.value) == "an integer is required"
    assert entries(info) == [UNPICKLE_AT[1]]
    info = fails(lambda: UNPICKLE(Omitter, 2**64, None), OverflowError)
    assert entries(info) == [UNPICKLE_AT[1]]


def test_checksum_is_tested_before_state():
    fails(lambda: UNPICKLE(Omitter, 1, []), pickle.PickleError)
    fails(lambda: UNPICKLE(Omitter, 1, TupleSub()), pickle.PickleError)
    info = fails(lambda: UNPICKLE(Omitter, 259159834, []))
    assert str(info.value) == "Expected tuple, got list"
    assert entries(info) == [UNPICKLE_AT[9]]


@pytest.mark.parametrize(
    "reconstruct, cls, checksum, state, message, setter",
    [
        (UNPICKLE, Omitter, 259159834, TupleSub(([],)), "Expected tuple, got TupleSub", None),
        (UNPICKLE_NT, NoTrustOmitter, 104289010, [None, None], "Expected tuple, got list", None),
        (UNPICKLE, Omitter, 259159834, (ListSub(),), "Expected list, got ListSub", SET_STATE),
        (UNPICKLE, Omitter, 259159834, (("a",),), "Expected list, got tuple", SET_STATE),
        (
            UNPICKLE_NT,
            NoTrustOmitter,
            104289010,
            ([], ListSub()),
            "Expected list, got ListSub",
            NT_SET_STATE,
        ),
    ],
)
def test_reconstructor_state_refused(reconstruct, cls, checksum, state, message, setter):
    info = fails(lambda: reconstruct(cls, checksum, state))
    assert str(info.value) == message
    caller = (STRS, 9, "zentrove.omit." + reconstruct.__name__)
    assert entries(info) == ([caller] if setter is None else [caller, setter])


def test_reconstructor_applies_state_without_constructor():
    omit.always_omit(["g"])
    held = ["a"]
    o = UNPICKLE(Omitter, 108461428, (held,))
    assert state_of(o)[0] is held
    trusted = ["t"]
    n = UNPICKLE_NT(NoTrustOmitter, 115509931, (None, trusted))
    assert state_of(n) == (None, ["t"]) and state_of(n)[1] is trusted
    s = UNPICKLE(SubOmitter, 259159834, (["a"], {"x": 1}))
    assert type(s) is SubOmitter and s.x == 1


@pytest.mark.parametrize("cls", [NoTrustOmitter, int, SubNoTrust])
def test_reconstructor_type_refused_by_new(cls):
    with pytest.raises(TypeError) as expected:
        Omitter.__new__(cls)
    info = fails(lambda: UNPICKLE(cls, 259159834, (["z"],)))
    assert str(info.value) == str(expected.value)
    assert entries(info) == [UNPICKLE_AT[7]]


# --- the exception raised for a refused checksum ----------------------------

PICKLE_ERROR_CASES = [
    # (set-up, exception name, message, line)
    ("del pickle.PickleError", "ImportError", "cannot import name PickleError", 5),
    (
        "del pickle.PickleError; sys.modules['pickle.PickleError'] = KeyError",
        "KeyError",
        repr(OMITTER_MISMATCH.format("1")),
        6,
    ),
    (
        "pickle.PickleError = 5",
        "TypeError",
        "raise: exception class must be a subclass of BaseException",
        6,
    ),
    (
        "pickle.PickleError = ValueError('instance')",
        "TypeError",
        "instance exception may not have a separate value",
        6,
    ),
    (
        "class W(Exception):\n    def __new__(cls, *a): return 5\npickle.PickleError = W",
        "TypeError",
        "calling <class '__main__.W'> should have returned an instance of BaseException, "
        "not <class 'int'>",
        6,
    ),
]


@pytest.mark.parametrize("setup, name, message, line", PICKLE_ERROR_CASES)
def test_pickle_error_lookup_and_raise(setup, name, message, line):
    proc = run_python(
        "import pickle, sys, traceback\n"
        "import zentrove.omit as omit\n" + setup + "\n"
        "try:\n"
        "    omit.__pyx_unpickle_Omitter(omit.Omitter, 1, None)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__)\n"
        "    print(str(e))\n"
        "    print([(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)"
        " if f.filename == '<stringsource>'])\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        name,
        message,
        repr([(STRS, line, "zentrove.omit.__pyx_unpickle_Omitter")]),
    ]


# --- the checksum constants -------------------------------------------------


@pytest.mark.parametrize(
    "fields, accepted, cls",
    [("omissions", OMITTER_SUMS, Omitter), ("omissions trusted", NO_TRUST_SUMS, NoTrustOmitter)],
)
def test_checksums_derive_from_field_names(fields, accepted, cls):
    derived = tuple(
        int(hashlib.new(algorithm, fields.encode("ascii")).hexdigest()[:7], 16)
        for algorithm in ("sha256", "sha1", "md5")
    )
    assert derived == accepted
    # the written one is the SHA-256 value
    assert cls.__new__(cls).__reduce__()[1][1] == derived[0]
    reconstruct = UNPICKLE if cls is Omitter else UNPICKLE_NT
    info = fails(lambda: reconstruct(cls, 1, None), pickle.PickleError)
    listed = str(info.value).split(" vs ")[1].split(" = ")[0]
    assert listed == "(" + ", ".join(f"{value:#x}" for value in derived) + ")"
    assert str(info.value).endswith(" = (" + ", ".join(fields.split()) + "))")
