"""The one place that tells the kinds of redactor apart: a zentrove.Redactor,
an Omitter or NoTrustOmitter of zentrove.omit, and (for zentrove.dask) any
object with a redact() or redact_json() method.  The faces (logging hooks,
Dask tasks) work through the RedactorEngine shape, never a class.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Protocol

from zentrove._redact import RedactorBase
from zentrove.omit import Omitter
from zentrove.redactor import Redactor


class RedactorEngine(Protocol):
    """What a face needs of a redactor, whichever kind it is."""

    # The redactor as given: what travels by pickle.
    redactor: Any
    # A zentrove.Redactor's native core, whose JSON text streams; else None.
    native: RedactorBase | None
    # JSON text (str or bytes) redacted as text, byte for byte outside the
    # masks; None: the redactor has no text path.
    text: Callable[[Any], Any] | None
    # Masks the values in a container in place and returns it; None for a
    # redactor of JSON text alone.
    walk: Callable[[Any], Any] | None
    # A redacted copy, made by the redactor itself; None: it masks in place.
    copy: Callable[[Any], Any] | None
    # The masks a walk would make, one list item each; None: not counted.
    report: Callable[[Any], list[Any]] | None
    # Whether scan() can change a text: the redactor has detectors.
    scans: bool

    def scan(self, text: str) -> str:
        """The text with the secrets that the detectors find masked."""

    def is_sensitive(self, key: str) -> bool:
        """Whether a value under the key is masked."""

    def mask(self, secret: str) -> str:
        """What a sensitive str value becomes."""


class _Engine:
    redactor: Any

    def __reduce__(self) -> tuple[Any, ...]:
        # Only the redactor travels; each process looks its methods up again.
        return (type(self), (self.redactor,))


class _RedactorEngine(_Engine):
    """A zentrove.Redactor: copies, key rules and detectors."""

    redactor: Redactor

    def __init__(self, redactor: Redactor) -> None:
        self.redactor = redactor
        self.native: RedactorBase | None = redactor
        self.text: Callable[[Any], Any] | None = redactor.redact_json
        self.walk: Callable[[Any], Any] | None = redactor.redact
        self.copy: Callable[[Any], Any] | None = redactor.redacted
        self.report: Callable[[Any], list[Any]] | None = redactor.report
        self.scans = bool(redactor.detect)

    def scan(self, text: str) -> str:
        return self.redactor.scan(text) if self.scans else text

    def is_sensitive(self, key: str) -> bool:
        return self.redactor.is_sensitive(key)

    def mask(self, secret: str) -> str:
        return "*" * len(secret) if self.redactor.mask is None else self.redactor.mask


class _WalkEngine(_Engine):
    """An Omitter or NoTrustOmitter (in place, by key), or any object with a
    redact() or redact_json() method: whatever of the rest it has."""

    native: RedactorBase | None = None
    scans: bool = False

    def __init__(self, redactor: Any) -> None:
        self.redactor = redactor
        self.text: Callable[[Any], Any] | None = getattr(redactor, "redact_json", None)
        self.walk: Callable[[Any], Any] | None = None
        self.copy: Callable[[Any], Any] | None = None
        self.report: Callable[[Any], list[Any]] | None = None
        if isinstance(redactor, Omitter):
            # Masks in place, even where a caller would take a copy.
            self.walk = redactor.omit
            return
        self.copy = getattr(redactor, "redacted", None)
        if callable(getattr(redactor, "redact", None)):
            self.walk = redactor.redact
            self.report = getattr(redactor, "report", None)

    def scan(self, text: str) -> str:
        return text

    def is_sensitive(self, key: str) -> bool:
        # The walk is the only rule such a redactor has: ask it.
        assert self.walk is not None
        probe = {key: "?"}
        self.walk(probe)
        return probe[key] != "?"

    def mask(self, secret: str) -> str:
        return "*" * len(secret)


def engine_of(redactor: object, *, duck_typed: bool = False) -> RedactorEngine | None:
    """The engine of a zentrove.Redactor, Omitter or NoTrustOmitter; with
    duck_typed, of any object with a redact() or redact_json() method too.
    None for anything else: each face words its own refusal."""
    if isinstance(redactor, Redactor):
        return _RedactorEngine(redactor)
    if isinstance(redactor, Omitter):
        return _WalkEngine(redactor)
    if duck_typed:
        engine = _WalkEngine(redactor)
        if engine.walk is not None or engine.text is not None:
            return engine
    return None
