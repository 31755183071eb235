"""zentrove._engine: the one factory that tells the kinds of redactor apart
for the logging hooks and the Dask tasks."""

import pickle

import pytest

from zentrove import Redactor
from zentrove._engine import engine_of
from zentrove.logs import RedactingFilter
from zentrove.omit import NoTrustOmitter, Omitter


class Walks:
    """Duck-typed: a walk in place and its report, nothing else."""

    def redact(self, data):
        if "password" in data:
            data["password"] = "***"
        return data

    def report(self, data):
        return [k for k in data if k == "password"]


class TextOnly:
    def redact_json(self, data):
        return data


REDACTOR = Redactor(omit=["password"], mask="#", detect=["url_credentials"])


@pytest.mark.parametrize(
    "redactor, duck_typed, paths",
    [
        # (native, text, walk, copy, report, scans) present.
        (REDACTOR, False, (True, True, True, True, True, True)),
        (Redactor(omit=["password"]), False, (True, True, True, True, True, False)),
        # An Omitter masks in place: no copy, even for a caller that copies.
        (Omitter(["password"]), False, (False, False, True, False, False, False)),
        (NoTrustOmitter(["id"]), False, (False, False, True, False, False, False)),
        (Walks(), True, (False, False, True, False, True, False)),
        (TextOnly(), True, (False, True, False, False, False, False)),
        # Refused: other objects, and duck types where the face wants none.
        (Walks(), False, None),
        (Redactor, False, None),
        (object(), True, None),
        ("password", True, None),
    ],
)
def test_engine_of_each_kind(redactor, duck_typed, paths):
    engine = engine_of(redactor, duck_typed=duck_typed)
    if paths is None:
        assert engine is None
        return
    found = (engine.native is not None, engine.text, engine.walk, engine.copy, engine.report)
    assert tuple(p is not None and p is not False for p in found) + (engine.scans,) == paths
    assert engine.redactor is redactor


@pytest.mark.parametrize(
    "redactor, sensitive, mask, scanned",
    [
        (REDACTOR, ["password", "Pass_Word"], "#", "see http://u:#@h/"),
        (
            Redactor(omit=["password"]),
            ["password", "Pass_Word"],
            "******",
            "see http://u:secret@h/",
        ),
        (Omitter(["password"]), ["password"], "******", "see http://u:secret@h/"),
        (NoTrustOmitter(["id"]), ["password", "Pass_Word"], "******", "see http://u:secret@h/"),
        (Walks(), ["password"], "******", "see http://u:secret@h/"),
    ],
)
def test_engine_rules(redactor, sensitive, mask, scanned):
    engine = engine_of(redactor, duck_typed=True)
    judged = ["password", "Pass_Word", "id"]
    assert [k for k in judged if engine.is_sensitive(k)] == sensitive
    assert (engine.mask("secret"), engine.scan("see http://u:secret@h/")) == (mask, scanned)


@pytest.mark.parametrize("redactor", [REDACTOR, Omitter(["password"]), Walks()])
def test_engine_travels_as_its_redactor(redactor):
    engine = engine_of(redactor, duck_typed=True)
    copy = pickle.loads(pickle.dumps(engine))
    assert type(copy) is type(engine) and type(copy.redactor) is type(redactor)
    assert copy.walk({"password": "ab", "a": "b"}) == engine.walk({"password": "ab", "a": "b"})


def test_logging_hooks_refuse_duck_types():
    with pytest.raises(TypeError) as info:
        RedactingFilter(Walks())
    assert (
        str(info.value)
        == "RedactingFilter() takes a zentrove.Redactor, Omitter or NoTrustOmitter, not Walks"
    )
