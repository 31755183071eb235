"""Redaction for logging: a ``logging.Filter``, a structlog processor and a
loguru patcher.

Each takes a :class:`zentrove.Redactor` (or, as before, an ``Omitter`` or a
``NoTrustOmitter``), or the keywords of ``Redactor`` to build one, and
redacts each record before any handler formats it::

    import logging
    from zentrove import Redactor
    from zentrove.logs import RedactingFilter

    handler = logging.StreamHandler()
    handler.addFilter(RedactingFilter(Redactor(omit=["password", "token"], detect=True)))
    logging.getLogger().addHandler(handler)

    logging.warning("login %(user)s %(password)s", {"user": "bob", "password": "hunter2"})
    # login bob *******
    logging.warning("connect %s", "postgres://app:s3cr3t@db/x")
    # connect postgres://app:******@db/x

From a configuration file, ``logging.config.dictConfig`` builds the filter
from the keywords::

    "filters": {"redact": {"()": "zentrove.logs.RedactingFilter",
                           "omit": ["password", "token"], "detect": true}}

With loguru, the patcher runs on every record before the handlers::

    from loguru import logger
    from zentrove.logs import RedactingPatcher

    logger.configure(patcher=RedactingPatcher(omit=["password"], detect=True))
    logger.info("login {user} {password}", user="bob", password="hunter2")
    # login bob *******

With a ``Redactor`` the records are redacted as copies: the dicts you log
are never changed.  Its detectors (``detect=``) also find secrets by their
shape in the message, in positional arguments, in the merged message, in
the exception text and in the stack, and in the text that any other object
(neither a string nor a container) prints as.  With an ``Omitter`` the
dicts are masked in place, by key only, as ``Omitter.omit`` does.

A value that cannot be redacted (data the redactor refuses, a mapping that
raises, an object whose ``repr`` raises) is never logged in clear: it is
replaced by ``UNREDACTABLE``.  A bare secret with neither a key nor a
recognisable shape (``log.info("%s", "hunter2")``) cannot be told from any
other word.
"""

from __future__ import annotations

import copy
import copyreg
import logging
import re
import string
import sys
import traceback
from collections.abc import Callable, Iterable, Mapping, MutableMapping
from types import TracebackType
from typing import Any, TypedDict, TypeVar, Unpack, cast

from zentrove._engine import RedactorEngine, engine_of
from zentrove.omit import Omitter
from zentrove.redactor import Redactor

__all__ = [
    "UNREDACTABLE",
    "RedactingFilter",
    "RedactingPatcher",
    "RedactingProcessor",
    "RedactorRules",
]

# Stands in for a value that could not be redacted.
UNREDACTABLE = "[unredactable]"

# What every LogRecord carries by itself (plus what formatters add, and the
# field that later Pythons add); everything else came in through `extra`.
_PLAIN_RECORD = vars(logging.LogRecord("", logging.INFO, "", 0, "", None, None))
_RECORD_ATTRIBUTES = frozenset(_PLAIN_RECORD) | {"message", "asctime", "taskName"}
_PLAIN_RECORD_SIZE = len(_PLAIN_RECORD)

# What a positional argument may hide a keyed secret in.
_CONTAINERS = (Mapping, list, tuple)

# Keys of a structlog event dict that belong to ProcessorFormatter.
_FORMATTER_KEYS = ("_record", "_from_structlog")

_EventDict = TypeVar("_EventDict", bound=MutableMapping[str, Any])
_Data = TypeVar("_Data")


class _Unreadable(dict[Any, Any]):
    """Stands in for mapping arguments that cannot be read: every field that
    the message asks for is unredactable.  Never empty, so that logging
    still merges it into the message."""

    def __init__(self) -> None:
        super().__init__({"": UNREDACTABLE})

    def __missing__(self, key: object) -> str:
        return UNREDACTABLE


def _fields(engine: RedactorEngine, fields: dict[Any, Any]) -> dict[Any, Any]:
    """The dict judged key by key: a redacted copy where the redactor makes
    copies, else the dict itself masked in place.  The fields that fail on
    their own become unredactable."""
    redact = engine.copy or engine.walk
    assert redact is not None  # every engine of a hook redacts objects
    try:
        return _objects(engine, redact(fields))
    except Exception:
        pass
    # A failed walk in place may leave some values masked and others not;
    # the retry walks each field on its own and replaces the ones that fail.
    out = {} if engine.copy is not None else fields
    for key, value in fields.items():
        try:
            out[key] = _objects(engine, redact({key: value}))[key]
        except Exception:
            out[key] = UNREDACTABLE
    return out


def _mapping(engine: RedactorEngine, mapping: Mapping[Any, Any]) -> Mapping[Any, Any]:
    """A redacted mapping of its own type where one can be made (a
    defaultdict keeps its default)."""
    if engine.copy is not None:
        try:
            return cast(Mapping[Any, Any], engine.copy(mapping))
        except Exception:
            pass
    elif type(mapping) is dict:
        return _fields(engine, mapping)
    # A walk in place takes exactly a dict: other mappings are redacted as
    # a plain copy, then rebuilt as their own type.
    try:
        fields = _fields(engine, dict(mapping))
    except Exception:
        return _Unreadable()
    return _same_type(mapping, fields)


def _objects(engine: RedactorEngine, data: _Data) -> _Data:
    """`data` with its objects checked (``_shown``) when detectors are on."""
    return cast(_Data, _shown_objects(engine, data, set())) if engine.scans else data


def _shown(engine: RedactorEngine, value: object) -> object:
    """An object the walk leaves alone (neither a string nor a container)
    is printed by its str or repr: where the scan masks something in
    either, its scanned str stands in for it."""
    try:
        text = str(value)
        clean = engine.scan(text)
        if clean != text:
            return clean
        shown = repr(value)
        if shown != text and engine.scan(shown) != shown:
            return text
    except Exception:
        return UNREDACTABLE
    return value


def _positional(engine: RedactorEngine, arg: object, path: set[int] | None = None) -> object:
    """A positional argument (or a message that is a list or tuple) has no
    key: the mappings in it, at any depth of lists and tuples, are judged by
    their own keys; its strings are left to the scan of the merged message."""
    if isinstance(arg, Mapping):
        return _mapping(engine, arg)
    if path is None:
        path = set()
    if not isinstance(arg, (list, tuple)) or id(arg) in path:
        return arg
    path.add(id(arg))
    try:
        items = [_positional(engine, item, path) for item in arg]
    except Exception:
        return UNREDACTABLE
    finally:
        path.discard(id(arg))
    if all(new is old for new, old in zip(items, arg)):
        return arg
    return items if type(arg) is list else _rebuild_sequence(arg, items)


def _shown_objects(engine: RedactorEngine, data: Any, path: set[int]) -> Any:
    """`data`, a redacted copy, with every object in it that the walk left
    alone checked as it will be printed (``_shown``).  The copy's
    dicts and lists are the walk's own, so they change in place."""
    if isinstance(data, str) or data is None or data is True or data is False:
        return data
    if not isinstance(data, (dict, list, tuple, set, frozenset)):
        return _shown(engine, data)
    if id(data) in path:
        return data
    path.add(id(data))
    try:
        # Values are replaced, never added: the dict may change as it is read.
        if isinstance(data, (dict, list)):
            for key, value in data.items() if isinstance(data, dict) else enumerate(data):
                if type(value) is not str:
                    new = _shown_objects(engine, value, path)
                    if new is not value:
                        data[key] = new
        else:
            items = [_shown_objects(engine, item, path) for item in data]
            if any(new is not old for new, old in zip(items, data)):
                if isinstance(data, tuple):
                    return _rebuild_sequence(data, items)
                return frozenset(items) if isinstance(data, frozenset) else set(items)
    finally:
        path.discard(id(data))
    return data


def _same_type(original: Mapping[Any, Any], fields: dict[Any, Any]) -> Mapping[Any, Any]:
    """`fields` as a mapping of the original's type where a shallow copy of it
    can be refilled (keeping a defaultdict's factory); else the plain dict."""
    try:
        rebuilt = copy.copy(original)
        if isinstance(rebuilt, MutableMapping) and rebuilt is not original:
            rebuilt.clear()
            rebuilt.update(fields)
            return rebuilt
    except Exception:
        pass
    return fields


def _rebuild_sequence(original: tuple[Any, ...] | list[Any], items: list[Any]) -> object:
    try:
        if type(original) is tuple:
            return tuple(items)
        if isinstance(original, tuple) and hasattr(original, "_fields"):
            return type(original)(*items)  # a named tuple
        return type(original)(items)
    except Exception:
        return tuple(items)


class RedactorRules(TypedDict, total=False):
    """The keywords of :class:`zentrove.Redactor`, which every hook takes in
    place of a redactor, so that a configuration file can build one."""

    omit: Iterable[str]
    trust: Iterable[str]
    exact: bool
    contains: Iterable[str]
    mask: str | None
    scalars: bool
    detect: bool | Iterable[str]


def _redactor(
    owner: str, redactor: Redactor | Omitter | None, rules: RedactorRules
) -> tuple[Redactor | Omitter, RedactorEngine]:
    """A hook's redactor, given or built from the keywords, and its engine."""
    if redactor is None:
        if not rules:
            raise TypeError(f"{owner}() takes a redactor or the keywords of zentrove.Redactor")
        redactor = Redactor(**rules)
    elif rules:
        raise TypeError(
            f"{owner}() takes a redactor or the keywords of zentrove.Redactor, not both"
        )
    engine = engine_of(redactor)
    if engine is None:
        raise TypeError(
            f"{owner}() takes a zentrove.Redactor, Omitter or NoTrustOmitter, "
            f"not {type(redactor).__name__}"
        )
    return redactor, engine


_ExcInfo = tuple[type[BaseException], BaseException, TracebackType | None]


def _exc_info(exc_info: object) -> _ExcInfo | None:
    """An exc_info value as logging, structlog and loguru take it: True (the
    current exception), an exception, or a (type, value, tb)."""
    if exc_info is True:
        exc_info = sys.exc_info()
    elif isinstance(exc_info, BaseException):
        exc_info = (type(exc_info), exc_info, exc_info.__traceback__)
    if (
        not isinstance(exc_info, tuple)
        or len(exc_info) != 3
        or not isinstance(exc_info[1], BaseException)
    ):
        return None
    return cast(_ExcInfo, exc_info)


def _exception_text(info: _ExcInfo) -> str:
    return "".join(traceback.format_exception(*info)).rstrip("\n")


def _hidden_exception(
    engine: RedactorEngine, exc_info: object, *, globals_too: bool = False
) -> str | None:
    """The redacted traceback text that must stand in for an exception, or
    None when the exception may go on as it is.  Renderers after us may show
    more than the text: structlog's dict_tracebacks the locals of every
    frame, loguru's diagnose the locals and globals a failing line names.
    So the exception goes on only when its text and all of those are clean."""
    info = _exc_info(exc_info)
    if info is None:
        return None
    text = _exception_text(info)
    clean = engine.scan(text)
    if clean != text or _frames_hold_secrets(engine, info[1], globals_too):
        return clean
    return None


def _frames_hold_secrets(engine: RedactorEngine, exc: BaseException, globals_too: bool) -> bool:
    """Whether a variable of a frame in the exception's chain (causes,
    contexts, members of groups) would be masked: by its name, or, with
    detectors, by what its repr shows."""
    seen: set[int] = set()
    todo: list[BaseException | None] = [exc]
    while todo:
        current = todo.pop()
        if current is None or id(current) in seen:
            continue
        seen.add(id(current))
        todo += [current.__cause__, current.__context__]
        if isinstance(current, BaseExceptionGroup):
            todo += current.exceptions
        tb = current.__traceback__
        while tb is not None:
            frame = tb.tb_frame
            names = dict(frame.f_locals)
            if globals_too:
                for name in frame.f_code.co_names:
                    if name in frame.f_globals and name not in names:
                        names[name] = frame.f_globals[name]
            try:
                shown = {name: repr(value) for name, value in names.items()}
            except Exception:
                return True
            if _fields(engine, dict(shown)) != shown:
                return True
            tb = tb.tb_next
    return False


class RedactingFilter(logging.Filter):
    """Redacts every record it sees; never drops one, never raises.

    Redacted: the message (a str is scanned by the detectors, a mapping
    walked by its keys, a list or tuple like a positional argument);
    mapping arguments by their keys; positional arguments (strings scanned,
    mappings and the mappings inside lists and tuples walked); the merged
    message, scanned once more because a secret may only show once the
    arguments are in it (``"password=%s"``); the exception text and the
    stack; and fields passed with ``extra=``, by their names.  Scanning
    needs a ``Redactor`` with detectors.  The record's own attributes
    (logger name, level, ...) are left alone.  A message that cannot be
    merged with its arguments is still reported by logging, with every
    argument shown as ``UNREDACTABLE``.

    Add the filter to each handler, so that records propagated from child
    loggers pass through it too; with a ``QueueHandler``, add it to the
    queue handler, which merges the message before the listener sees it.
    """

    def __init__(
        self, redactor: Redactor | Omitter | None = None, **rules: Unpack[RedactorRules]
    ) -> None:
        super().__init__()
        self.redactor, self._engine = _redactor("RedactingFilter", redactor, rules)

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            _redact_record(self._engine, record)
        except Exception:
            _scrub_record(record)
        return True


def _redact_record(engine: RedactorEngine, record: logging.LogRecord) -> None:
    msg = record.msg
    if isinstance(msg, Mapping):
        # Never merged, so never scanned: its objects are checked here.
        record.msg = _objects(engine, _mapping(engine, msg))
    elif isinstance(msg, (list, tuple)):
        record.msg = _positional(engine, msg)
    args = record.args
    if isinstance(args, Mapping):
        record.args = _mapping(engine, args)
    elif args and isinstance(args, tuple) and any(isinstance(a, _CONTAINERS) for a in args):
        record.args = tuple(_positional(engine, arg) for arg in args)
    if record.args or engine.scans:
        _merge(engine, record)
    if engine.scans:
        _scan_traces(engine, record)
    fields = vars(record)
    # A record made by a logger holds exactly the standard attributes.
    if len(fields) != _PLAIN_RECORD_SIZE:
        names = fields.keys() - _RECORD_ATTRIBUTES
        if names:
            fields.update(_fields(engine, {name: fields[name] for name in names}))


def _merge(engine: RedactorEngine, record: logging.LogRecord) -> None:
    """Merges the message as the formatter will: a secret may only show once
    the arguments are in it ("password=%s"), and a merge that fails makes
    logging print the arguments."""
    msg = record.msg
    if not record.args:
        if isinstance(msg, str):
            if engine.scans:
                record.msg = engine.scan(msg)
            return
        if isinstance(msg, Mapping) or not engine.scans:
            return
    try:
        merged = record.getMessage()
    except Exception:
        _unmergeable(engine, record)
        return
    if engine.scans:
        clean = engine.scan(merged)
        if clean != merged:
            record.msg, record.args = clean, ()


def _unmergeable(engine: RedactorEngine, record: logging.LogRecord) -> None:
    """Logging reports a message that cannot be merged on stderr, with its
    template and arguments: the report stays (it names the bad call), but
    no argument shows in it."""
    msg = record.msg
    record.msg = engine.scan(msg) if isinstance(msg, str) else UNREDACTABLE
    args = record.args
    if isinstance(args, Mapping):
        try:
            record.args = dict.fromkeys(args, UNREDACTABLE)
        except Exception:
            record.args = _Unreadable()
    else:
        record.args = (UNREDACTABLE,) * len(args or ())


def _scan_traces(engine: RedactorEngine, record: logging.LogRecord) -> None:
    text = record.exc_text
    info = None if text else _exc_info(record.exc_info)
    if info is not None:
        text = _exception_text(info)
    if text:
        clean = engine.scan(text)
        if clean != text:
            # The exception itself would show the secret to the next
            # formatter: only its redacted text goes on.  A clean one is
            # left for the formatter to format its own way.
            record.exc_text, record.exc_info = clean, None
    if record.stack_info:
        record.stack_info = engine.scan(record.stack_info)


def _scrub_record(record: logging.LogRecord) -> None:
    """The last resort when redaction failed half-way: keep the record, drop
    everything that may still hold a secret."""
    record.msg, record.args = UNREDACTABLE, ()
    if record.exc_info or record.exc_text:
        record.exc_info, record.exc_text = None, UNREDACTABLE
    if record.stack_info:
        record.stack_info = UNREDACTABLE
    for name in list(vars(record)):
        if name not in _RECORD_ATTRIBUTES:
            setattr(record, name, UNREDACTABLE)


class RedactingProcessor:
    """A structlog processor: ``(logger, method_name, event_dict) -> event_dict``.

    Redacts the event dict in place and returns it: every value by its key,
    strings (the event too) scanned by the detectors, and an ``exc_info``
    whose traceback text or frame variables hold a secret turned into a
    scanned ``exception`` text, as structlog's ``format_exc_info`` does.
    Placed after ``dict_tracebacks``, it walks the structured traceback
    instead, frame variables masked by their names; placed before, a clean
    exception is left for it to render.  Under ``ProcessorFormatter``, a
    record from the standard library has its event rebuilt from its
    redacted arguments.  With an allow-list, trust the keys that structlog
    itself fills, such as ``event``, ``level``, ``logger`` and ``timestamp``.
    """

    def __init__(
        self, redactor: Redactor | Omitter | None = None, **rules: Unpack[RedactorRules]
    ) -> None:
        self.redactor, self._engine = _redactor("RedactingProcessor", redactor, rules)

    def __call__(self, logger: object, method_name: str, event_dict: _EventDict) -> _EventDict:
        try:
            _redact_event(self._engine, event_dict)
        except Exception:
            for key in list(event_dict):
                if key not in _FORMATTER_KEYS:
                    event_dict[key] = UNREDACTABLE
        return event_dict


def _redact_event(engine: RedactorEngine, event_dict: MutableMapping[str, Any]) -> None:
    record = event_dict.get("_record")
    event = event_dict.get("event")
    if (
        isinstance(record, logging.LogRecord)
        and not event_dict.get("_from_structlog", False)
        and isinstance(event, str)
        and isinstance(record.msg, str)
        and record.msg != event
    ):
        event_dict["event"] = _mask_merged_fields(engine, record.msg, event)
    if event_dict.get("exc_info"):
        # An exception with a secret in its text or its frames goes on as
        # its redacted text, as format_exc_info would render it; a clean one
        # is left to the renderers (structured tracebacks keep working).
        hidden = _hidden_exception(engine, event_dict["exc_info"])
        if hidden is not None:
            del event_dict["exc_info"]
            event_dict["exception"] = hidden
    fields = {k: v for k, v in event_dict.items() if k not in _FORMATTER_KEYS}
    event_dict.update(_fields(engine, fields))


class RedactingPatcher:
    """A loguru patcher: ``logger.configure(patcher=RedactingPatcher(...))``
    or ``logger.patch(RedactingPatcher(...))``.

    Redacts each record before any handler sees it: the message (the
    ``{name}`` fields of its template by their names, the merged text
    scanned by the detectors), ``extra`` (every value by its key; loguru
    puts the keyword arguments of a call there too), and the exception: one
    whose text, or whose frames' variables that ``diagnose`` would print,
    hold a secret reaches the handlers as its redacted text alone.
    """

    def __init__(
        self, redactor: Redactor | Omitter | None = None, **rules: Unpack[RedactorRules]
    ) -> None:
        self.redactor, self._engine = _redactor("RedactingPatcher", redactor, rules)

    def __call__(self, record: Mapping[str, Any]) -> None:
        # loguru passes its record, a plain dict, to be changed in place.
        fields = cast(MutableMapping[str, Any], record)
        try:
            _redact_loguru(self._engine, fields)
        except Exception:
            fields["message"] = UNREDACTABLE
            fields["extra"] = dict.fromkeys(fields.get("extra") or (), UNREDACTABLE)
            exception = fields.get("exception")
            if exception is not None:
                fields["exception"] = _exception_stand_in(exception, UNREDACTABLE)


def _redact_loguru(engine: RedactorEngine, record: MutableMapping[str, Any]) -> None:
    message, template = record["message"], record.get("template")
    if isinstance(template, str):
        if template != message:
            message = _mask_format_fields(engine, template, message)
    else:
        # Records of older loguru releases have no template: the keyword
        # values that the call put into extra are masked wherever the
        # message shows them.
        for key, value in record["extra"].items():
            if (
                isinstance(key, str)
                and isinstance(value, str)
                and value
                and engine.is_sensitive(key)
            ):
                message = message.replace(value, engine.mask(value))
    record["message"] = engine.scan(message)
    record["extra"] = _fields(engine, dict(record["extra"]))
    exception = record["exception"]
    if exception is not None:
        hidden = _hidden_exception(engine, tuple(exception), globals_too=True)
        if hidden is not None:
            record["exception"] = _exception_stand_in(exception, hidden)


class _PrintedAsText(type):
    """The type of the exception types that stand in for a redacted one."""


def _printed_as_text(name: str, text: str) -> _PrintedAsText:
    """An exception type that loguru's handlers print as exactly `text`.
    With no traceback, a handler prints the type's qualified name, then its
    str if any: a type qualified by the whole text, in ``builtins`` so that
    no module is prefixed, is printed as the text alone.  Its name stays the
    original's, for ``serialize=True``."""
    return _PrintedAsText(name, (Exception,), {"__module__": "builtins", "__qualname__": text})


def _reduce_printed_as_text(
    cls: _PrintedAsText,
) -> tuple[Callable[[str, str], _PrintedAsText], tuple[str, str]]:
    return _printed_as_text, (cls.__name__, cls.__qualname__)


# No module holds such a type: where a record is pickled (enqueue=True), it
# is rebuilt from its name and text.
copyreg.pickle(_PrintedAsText, _reduce_printed_as_text)


def _exception_stand_in(exception: Any, text: str) -> Any:
    original = exception[0] if isinstance(exception[0], type) else Exception
    stand_in = _printed_as_text(original.__name__, text)
    # RecordException is a named tuple: its own type takes the three fields.
    return type(exception)(stand_in, stand_in(), None)


# A %-style conversion with a mapping key, or a literal percent sign.
_NAMED_FIELD = re.compile(
    r"%\((?P<name>[^)]*)\)[#0\- +]*(?:\*|\d+)?(?:\.(?:\*|\d+))?[diouxXeEfFgGcrsa]|%%"
)


def _mask_merged_fields(engine: RedactorEngine, template: str, event: str) -> str:
    """Masks what the sensitive ``%(name)s`` fields of a template put into a
    merged message: under ProcessorFormatter a standard record reaches the
    processors merged, its arguments gone."""
    pieces: list[tuple[str, bool | None]] = []
    literal: list[str] = []
    last = 0
    for m in _NAMED_FIELD.finditer(template):
        literal.append(template[last : m.start()])
        if m["name"] is None:
            literal.append("%")
        else:
            pieces.append(("".join(literal), engine.is_sensitive(m["name"])))
            literal = []
        last = m.end()
    literal.append(template[last:])
    pieces.append(("".join(literal), None))
    return _mask_fields(engine, pieces, event)


def _mask_format_fields(engine: RedactorEngine, template: str, message: str) -> str:
    """The same for a ``str.format`` template (loguru's ``{password}``): a
    field is sensitive by its name or by the last name of its path
    (``{user.password}``, ``{0[password]}``)."""
    pieces: list[tuple[str, bool | None]] = []
    for literal, name, _, _ in string.Formatter().parse(template):
        if name is None:
            pieces.append((literal, None))
        else:
            # The keyword and the last name of the path; indexes name nothing.
            names = [part for part in re.split(r"[.\[\]]+", name) if part and not part.isdigit()]
            pieces.append((literal, any(engine.is_sensitive(n) for n in names[:1] + names[-1:])))
    if not pieces or pieces[-1][1] is not None:
        pieces.append(("", None))
    return _mask_fields(engine, pieces, message)


def _mask_fields(
    engine: RedactorEngine, pieces: list[tuple[str, bool | None]], merged: str
) -> str:
    """Masks the sensitive fields' text in a merged message.  `pieces` are
    the template's literal texts, each with the field after it: None for
    none, else whether it is sensitive.  The message is matched against the
    literal texts; a sensitive field takes as much text as it can, so a
    doubtful split masks more, never less."""
    if not any(secret for _, secret in pieces):
        return merged
    pattern = "".join(
        re.escape(literal) + ("" if secret is None else "(.*)" if secret else "(.*?)")
        for literal, secret in pieces
    )
    match = re.fullmatch(pattern, merged, re.DOTALL)
    if match is None:
        return UNREDACTABLE
    out, at = [], 0
    fields = [secret for _, secret in pieces if secret is not None]
    for group, secret in enumerate(fields, 1):
        if secret:
            begin, end = match.span(group)
            out += [merged[at:begin], engine.mask(merged[begin:end])]
            at = end
    out.append(merged[at:])
    return "".join(out)
