"""zentrove: in-place redaction of secrets in nested, JSON-like data.

The work is done by the native module :mod:`zentrove.omit`.
"""

__all__ = ["omit"]
