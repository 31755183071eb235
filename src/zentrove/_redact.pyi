# Types of zentrove._redact, the native core of zentrove.Redactor.

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
