"""zentrove.Redactor: masks secrets in nested data by key, as people write keys.

The rules are compiled once, in native code, by the base class; this module
checks and normalises the constructor's arguments, and gives the class its
repr, equality and pickling.  The walks (``redact``, ``redacted``,
``report``) are native methods inherited from the base.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, overload

from zentrove._redact import (
    DETECTOR_GROUPS,
    JSONRedactError,
    RedactorBase,
    detectors_of,
    parse_detectors,
    redact_json,
)
from zentrove._stream import redact_stream

if TYPE_CHECKING:
    from typing_extensions import Buffer

# JSON Lines are read in blocks of this many bytes.
_BLOCK = 1 << 20

__all__ = ["Redactor"]


def _keys(name: str, keys: object) -> tuple[str, ...]:
    """A tuple of exact str from an iterable of str, first occurrences kept."""
    if isinstance(keys, str):
        raise TypeError(f"{name}= must be an iterable of str, not a single str")
    try:
        items = list(keys)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name}= must be an iterable of str, not {type(keys).__name__}") from None
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{name}= must hold only str, not {type(item).__name__}")
        if not item:
            # An empty shell variable must not pass for a key.
            raise ValueError(f"{name}= must not hold an empty str")
    # str.__str__ gives the text of a subclass as an exact str.
    return tuple(dict.fromkeys(str.__str__(item) for item in items))


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name}= must be a bool, not {type(value).__name__}")
    return value


def _rebuild(cls: type[Redactor], kwargs: dict[str, Any]) -> Redactor:
    return cls(**kwargs)


class Redactor(RedactorBase):
    """Masks the values stored under sensitive keys in nested data.

    Give exactly one of ``omit`` (a deny-list: these keys are sensitive) or
    ``trust`` (an allow-list: every other key is sensitive).  Keys match as
    people write them: case folded, with ``_``, ``-``, ``.`` and spaces
    dropped, so ``api_key``, ``apiKey`` and ``API-KEY`` are one key; pass
    ``exact=True`` to compare the exact text.  ``contains`` (deny-list only)
    makes any key sensitive whose folded form contains one of its entries.
    ``mask`` is None for a run of ``*`` as long as the secret, or a fixed
    str.  With ``scalars=True``, numbers and bytes (and tuples and sets of
    them) under a sensitive key are replaced by the mask too.  ``detect``
    (True for the ``secrets`` group, or names from ``zentrove.DETECTORS``
    and ``zentrove.DETECTOR_GROUPS``) masks secrets and, when named,
    personal data by their shape inside strings that the key rules leave
    alone, and in ``scan(text)``.

    A redactor is immutable: its rules are fixed once built, and it takes
    no attributes of its own (a subclass may declare its own).
    """

    # No instance dict: weak references only, as the native base has none.
    __slots__ = ("__weakref__",)

    def __init__(
        self,
        *,
        omit: Iterable[str] | None = None,
        trust: Iterable[str] | None = None,
        exact: bool = False,
        contains: Iterable[str] = (),
        mask: str | None = None,
        scalars: bool = False,
        detect: bool | Iterable[str] = False,
    ) -> None:
        if (omit is None) == (trust is None):
            raise TypeError("Redactor() takes exactly one of omit= and trust=")
        allow = trust is not None
        keys = _keys("trust", trust) if allow else _keys("omit", omit)
        exact = _flag("exact", exact)
        scalars = _flag("scalars", scalars)
        contains = _keys("contains", contains)
        if contains and allow:
            raise ValueError("contains= applies to a deny-list (omit=) only")
        if mask is not None:
            if not isinstance(mask, str):
                raise TypeError(f"mask= must be a str or None, not {type(mask).__name__}")
            mask = str.__str__(mask)
            if not mask:
                raise ValueError("mask= must not be an empty str")
        detectors = parse_detectors(detect)
        super().__init__(keys, allow, exact, contains, mask, scalars, detectors)

    @property
    def detect(self) -> tuple[str, ...]:
        """The names of the detectors in use, in ``zentrove.DETECTORS`` order."""
        return detectors_of(self)

    def _kwargs(self) -> dict[str, Any]:
        """The constructor's keywords that rebuild this redactor, defaults left out."""
        kwargs: dict[str, Any] = {}
        if self.trust is not None:
            kwargs["trust"] = list(self.trust)
        else:
            kwargs["omit"] = list(self.omit or ())
        if self.exact:
            kwargs["exact"] = True
        if self.contains:
            kwargs["contains"] = list(self.contains)
        if self.mask is not None:
            kwargs["mask"] = self.mask
        if self.scalars:
            kwargs["scalars"] = True
        detect = self.detect
        if detect:
            kwargs["detect"] = True if detect == DETECTOR_GROUPS["secrets"] else list(detect)
        return kwargs

    def __repr__(self) -> str:
        if self.omit is None and self.trust is None:
            return f"<{type(self).__qualname__} (not initialised)>"
        args = ", ".join(f"{k}={v!r}" for k, v in self._kwargs().items())
        return f"{type(self).__qualname__}({args})"

    def _identity(self) -> tuple[object, ...]:
        # Order and repeats of listed keys do not change what is masked.
        return tuple(
            (k, frozenset(v) if isinstance(v, list) else v) for k, v in self._kwargs().items()
        )

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self) or not isinstance(other, Redactor):
            return NotImplemented
        return self._identity() == other._identity()

    def __hash__(self) -> int:
        return hash((type(self), self._identity()))

    def __reduce__(self) -> tuple[Any, ...]:
        state = getattr(self, "__dict__", None) or None
        return (_rebuild, (type(self), self._kwargs()), state)

    @overload
    def redact_json(self, data: str) -> str: ...
    @overload
    def redact_json(self, data: Buffer) -> bytes: ...
    def redact_json(self, data: str | Buffer) -> str | bytes:
        """Redacts one JSON document held in ``data`` (str gives str, bytes
        give bytes), without building Python objects: the text comes back
        byte for byte except each string value this redactor masks.
        Invalid JSON raises :class:`zentrove.JSONRedactError`."""
        return redact_json(self, data)

    def redact_json_lines(self, src: IO[bytes], dst: IO[bytes]) -> int:
        """Streams JSON Lines from the binary file ``src`` to ``dst`` in
        constant memory and returns the number of documents.  A bad line
        raises :class:`zentrove.JSONRedactError` (its ``lineno`` is the
        line in ``src``) after every good line before it was written."""
        errors: list[JSONRedactError] = []
        streamed = redact_stream(self, _blocks(src), dst.write, errors.append, lines=True)
        if errors:
            raise errors[0]
        return streamed.documents


def _blocks(src: IO[bytes]) -> Iterator[bytes]:
    while block := src.read(_BLOCK):
        yield block
