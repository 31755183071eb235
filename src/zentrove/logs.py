"""Redaction for logging: a ``logging.Filter`` and a structlog-style processor.

Both take a redactor (an ``Omitter`` or a ``NoTrustOmitter``) and mask the
data of each record in place before any handler formats it::

    import logging
    from zentrove.logs import RedactingFilter
    from zentrove.omit import Omitter

    handler = logging.StreamHandler()
    handler.addFilter(RedactingFilter(Omitter(["password", "token"])))
    logging.getLogger().addHandler(handler)

    logging.warning("login %(user)s %(password)s", {"user": "bob", "password": "hunter2"})
    # login bob *******

With structlog (not a dependency of this package)::

    structlog.configure(processors=[
        RedactingProcessor(Omitter(["password"])),
        structlog.processors.JSONRenderer(),
    ])

The redaction changes the caller's own dictionaries, as ``Omitter.omit`` does:
a dict passed as a log argument or as an ``extra`` field is masked for
everyone who holds it.  Data that the redactor refuses (a nested dict
subclass, a string under an ``int`` key, data nested too deeply) is never
logged in clear: the field that held it is replaced by ``UNREDACTABLE``.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping, MutableMapping
from typing import Any

from zentrove.omit import Omitter

__all__ = ["UNREDACTABLE", "RedactingFilter", "RedactingProcessor"]

# Stands in for a value that could not be redacted.
UNREDACTABLE = "[unredactable]"

# What every LogRecord carries by itself (plus what formatters add, and the
# field that later Pythons add); everything else came in through `extra`.
_RECORD_ATTRIBUTES = frozenset(
    vars(logging.LogRecord("", logging.INFO, "", 0, "", None, None))
) | {"message", "asctime", "taskName"}


def _redact_fields(redactor: Omitter, fields: dict[Any, Any]) -> None:
    """Redacts a plain dict in place, field by field when the whole fails.

    A failed walk may leave some values masked and others not; the retry
    walks each field on its own and replaces the ones that still fail.
    """
    try:
        redactor.omit(fields)
        return
    except Exception:
        pass
    for key, value in fields.items():
        single = {key: value}
        try:
            redactor.omit(single)
        except Exception:
            fields[key] = UNREDACTABLE
        else:
            fields[key] = single[key]


def _redact_mapping(redactor: Omitter, mapping: Mapping[Any, Any]) -> dict[Any, Any]:
    # The native walk takes exactly a dict: other mappings are redacted as a
    # plain copy, which then takes their place.
    fields = mapping if type(mapping) is dict else dict(mapping)
    _redact_fields(redactor, fields)
    return fields


class RedactingFilter(logging.Filter):
    """Masks the data of every record it sees; never drops a record.

    Redacted, in place:

    - mapping arguments (``log.info("%(user)s", {"user": ...})``) and dicts
      among positional arguments, each by its own keys, and the dicts inside
      positional lists;
    - fields passed with ``extra=``, by their names: a string under a
      sensitive name is masked, a dict is walked by its own keys, a list
      under a sensitive name has its strings masked.

    Other positional arguments, and the strings directly inside a positional
    list, have no key and are left alone; so are the record's own attributes
    (message template, logger name, level, ...).
    Add the filter to each handler, so that records propagated from child
    loggers pass through it too.
    """

    def __init__(self, redactor: Omitter) -> None:
        super().__init__()
        self.redactor = redactor

    def filter(self, record: logging.LogRecord) -> bool:
        args = record.args
        if isinstance(args, Mapping):
            record.args = _redact_mapping(self.redactor, args)
        elif isinstance(args, tuple):
            record.args = tuple(self._redact_positional(arg) for arg in args)
        extra = {
            name: value
            for name, value in vars(record).items()
            if name not in _RECORD_ATTRIBUTES
        }
        if extra:
            _redact_fields(self.redactor, extra)
            vars(record).update(extra)
        return True

    def _redact_positional(self, arg: object) -> object:
        if isinstance(arg, Mapping):
            return _redact_mapping(self.redactor, arg)
        if type(arg) is list:
            # The list itself has no key: only the dicts inside it can name
            # what they hold.
            try:
                return self.redactor.omit_recurse(arg, False)
            except Exception:
                return UNREDACTABLE
        return arg


class RedactingProcessor:
    """A structlog processor: ``(logger, method_name, event_dict) -> event_dict``.

    Redacts the event dictionary in place and returns it.  With a
    ``NoTrustOmitter`` remember to trust the keys that structlog itself
    fills, such as ``event``, ``level``, ``logger`` and ``timestamp``.
    """

    def __init__(self, redactor: Omitter) -> None:
        self.redactor = redactor

    def __call__(
        self,
        logger: object,
        method_name: str,
        event_dict: MutableMapping[str, Any],
    ) -> MutableMapping[str, Any]:
        if type(event_dict) is dict:
            _redact_fields(self.redactor, event_dict)
        else:
            fields = dict(event_dict)
            _redact_fields(self.redactor, fields)
            event_dict.update(fields)
        return event_dict
