"""zentrove: redaction of secrets in nested, JSON-like data.

:class:`zentrove.Redactor` masks values by key as people write keys (case
and separators folded), in place, as a copy, or as a report.  The exact,
in-place core is the native module :mod:`zentrove.omit`.  Beside them:
:mod:`zentrove.cli` (``python -m zentrove`` and the ``zentrove`` command)
redacts JSON documents and JSON Lines streams, and :mod:`zentrove.logs`
plugs a redactor into ``logging`` and structlog.
"""

from typing import TYPE_CHECKING

__all__ = ["DETECTORS", "DETECTOR_GROUPS", "JSONRedactError", "Redactor", "omit"]

if TYPE_CHECKING:
    from zentrove import omit
    from zentrove._redact import DETECTOR_GROUPS, DETECTORS, JSONRedactError
    from zentrove.redactor import Redactor


def __getattr__(name: str) -> object:
    # Loaded on first use, so that importing zentrove (or zentrove.omit)
    # stays cheap and never loads the second native module.
    if name == "omit":
        import importlib

        # Not `import zentrove.omit`: a failed import of the submodule would
        # look the name up here again, without end.
        return importlib.import_module("zentrove.omit")
    if name == "Redactor":
        from zentrove.redactor import Redactor

        return Redactor
    if name == "DETECTORS":
        from zentrove._redact import DETECTORS

        return DETECTORS
    if name == "DETECTOR_GROUPS":
        from zentrove._redact import DETECTOR_GROUPS

        return DETECTOR_GROUPS
    if name == "JSONRedactError":
        from zentrove._redact import JSONRedactError

        return JSONRedactError
    raise AttributeError(f"module 'zentrove' has no attribute {name!r}")
