"""zentrove: in-place redaction of secrets in nested, JSON-like data.

The work is done by the native module :mod:`zentrove.omit`.  Beside it:
:mod:`zentrove.cli` (``python -m zentrove`` and the ``zentrove`` command)
redacts JSON documents and JSON Lines streams, and :mod:`zentrove.logs`
plugs a redactor into ``logging`` and structlog.
"""

__all__ = ["omit"]
