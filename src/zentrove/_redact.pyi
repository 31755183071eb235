# Types of zentrove._redact, the native core of zentrove.Redactor.

from collections.abc import Mapping
from typing import Self, TypeVar, final, overload

from typing_extensions import Buffer, disjoint_base

_T = TypeVar("_T")

# The names of the detectors of secrets and personal data in text, in bit order.
DETECTORS: tuple[str, ...]
# The named groups of detectors (secrets, pii), each a tuple of names.
DETECTOR_GROUPS: Mapping[str, tuple[str, ...]]

def scan(redactor: RedactorBase, text: str, /) -> str: ...
def parse_detectors(detect: object, /) -> int: ...
def detectors_of(redactor: RedactorBase, /) -> tuple[str, ...]: ...

@disjoint_base
class RedactorBase:
    def __init__(
        self,
        keys: tuple[str, ...],
        allow: bool,
        exact: bool,
        contains: tuple[str, ...],
        mask: str | None,
        scalars: bool,
        detectors: int,
        /,
    ) -> None: ...
    def is_sensitive(self, key: object, /) -> bool: ...
    def scan(self, text: str, /) -> str: ...
    def redact(self, data: _T, /) -> _T: ...
    def redacted(self, data: _T, /) -> _T: ...
    def report(self, data: object, /) -> list[tuple[tuple[object, ...], str]]: ...
    @property
    def omit(self) -> tuple[str, ...] | None: ...
    @property
    def trust(self) -> tuple[str, ...] | None: ...
    @property
    def exact(self) -> bool: ...
    @property
    def contains(self) -> tuple[str, ...]: ...
    @property
    def mask(self) -> str | None: ...
    @property
    def scalars(self) -> bool: ...

# The JSON text path (_redact/json/api.cpp, _redact/json/stream.cpp).

class JSONRedactError(ValueError):
    msg: str
    lineno: int
    colno: int

@overload
def redact_json(redactor: RedactorBase, data: str, /) -> str: ...
@overload
def redact_json(redactor: RedactorBase, data: Buffer, /) -> bytes: ...

@final
class JSONStream:
    def __new__(
        cls,
        redactor: RedactorBase,
        *,
        lines: bool = False,
        keep_going: bool = False,
        bom: bool = True,
    ) -> Self: ...
    def feed(self, data: Buffer, /) -> bytes: ...
    def close(self) -> bytes: ...
    def pop_errors(self) -> list[JSONRedactError]: ...
    @property
    def documents(self) -> int: ...
    @property
    def line(self) -> int: ...
    @property
    def stopped(self) -> bool: ...
