"""Redaction of log records through the real logging module, and the
structlog processor."""

import collections
import copy
import io
import itertools
import json
import logging
import logging.config
import logging.handlers
import queue
import traceback
import types

import pytest

from zentrove import Redactor
from zentrove.logs import UNREDACTABLE, RedactingFilter, RedactingPatcher, RedactingProcessor
from zentrove.omit import NoTrustOmitter, Omitter

DETECTING = Redactor(omit=["password", "token"], detect=True)
JWT = "eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiIxIn0.sig"

_names = itertools.count()


@pytest.fixture
def make_logger():
    """Builds a logger whose one handler carries the filter and writes the
    formatted records to a buffer; also returns the records it handled."""
    made = []

    def make(redactor, fmt="%(message)s"):
        logger = logging.getLogger(f"zentrove.test.{next(_names)}")
        logger.propagate = False
        logger.setLevel(logging.DEBUG)
        buffer = io.StringIO()
        records = []
        handler = logging.StreamHandler(buffer)
        handler.setFormatter(logging.Formatter(fmt))
        handler.addFilter(RedactingFilter(redactor))
        handler.addFilter(lambda record: records.append(record) or True)
        logger.addHandler(handler)
        made.append((logger, handler))
        return logger, buffer, records

    yield make
    for logger, handler in made:
        logger.removeHandler(handler)


def test_mapping_argument_is_masked_in_place(make_logger):
    logger, out, _ = make_logger(Omitter(["password"]))
    args = {"user": "bob", "password": "hunter2", "tries": 3}
    logger.info("user=%(user)s password=%(password)s tries=%(tries)d", args)
    assert out.getvalue() == "user=bob password=******* tries=3\n"
    assert args == {"user": "bob", "password": "*******", "tries": 3}


def _self_containing():
    loop = {"password": "abc"}
    loop["loop"] = loop
    return loop


@pytest.mark.parametrize(
    "msg, args, expected",
    [
        # Dicts among positional arguments, judged by their own keys.
        ("%s %s", ("x", {"password": "abc"}), "x {'password': '***'}"),
        # A positional list has no key: its strings stay, its dicts are walked.
        ("%s", (["pw", {"password": "ab"}],), "['pw', {'password': '**'}]"),
        ("%s", ("plain",), "plain"),
        # Mappings that are not dicts are redacted as a plain dict copy.
        (
            "%(password)s",
            (types.MappingProxyType({"password": "abc"}),),
            "***",
        ),
        (
            "%s %s",
            (collections.OrderedDict(password="abc"), 1),
            "OrderedDict([('password', '***')]) 1",
        ),
        # What the redactor refuses is replaced, field by field.
        (
            "%s %s",
            ({1: "x", "password": "abc"}, 2),
            f"{{1: '{UNREDACTABLE}', 'password': '***'}} 2",
        ),
        (
            "%(password)s %(nested)s",
            ({"password": "abc", "nested": {"d": collections.OrderedDict()}},),
            f"*** {UNREDACTABLE}",
        ),
        # Mappings in lists and tuples, at any depth, as mappings of their own.
        (
            "%s",
            ([{"d": collections.OrderedDict(), "password": "ab"}],),
            f"[{{'d': '{UNREDACTABLE}', 'password': '**'}}]",
        ),
        ("%s", ([collections.OrderedDict(password="ab")],), "[OrderedDict([('password', '**')])]"),
        ("%(password)s", (_self_containing(),), "***"),
    ],
)
def test_arguments(make_logger, msg, args, expected):
    logger, out, _ = make_logger(Omitter(["password"]))
    logger.info(msg, *args)
    assert out.getvalue() == expected + "\n"


@pytest.mark.parametrize(
    "msg, args, expected",
    [
        ("%s", (("a", [({"password": "ab"},)]),), "('a', [({'password': '**'},)])"),
        # A message that is a list or a tuple has no key either.
        ([{"password": "ab"}, "pw"], (), "[{'password': '**'}, 'pw']"),
        (("x", {"token": "ab"}), (), "('x', {'token': '**'})"),
    ],
)
@pytest.mark.parametrize(
    "redactor", [Omitter(["password", "token"]), Redactor(omit=["password", "token"])]
)
def test_mappings_in_sequences_with_any_redactor(make_logger, redactor, msg, args, expected):
    logger, out, _ = make_logger(redactor)
    # An Omitter masks in place: each run gets data of its own.
    logger.info(*copy.deepcopy((msg, *args)))
    assert out.getvalue() == expected + "\n"


@pytest.mark.parametrize(
    "extra, expected",
    [
        (
            {"payload": {"password": "abc", "n": 1}},
            {"payload": {"password": "***", "n": 1}},
        ),
        ({"password": "abc", "user": "bob"}, {"password": "***", "user": "bob"}),
        (
            {"password": ["ab", 3], "codes": ["cd"]},
            {"password": ["**", 3], "codes": ["cd"]},
        ),
        (
            {"bad": {"x": collections.OrderedDict()}, "password": "abc"},
            {"bad": UNREDACTABLE, "password": "***"},
        ),
        (
            {"bad": {1: "x"}, "good": {"password": "y"}},
            {"bad": UNREDACTABLE, "good": {"password": "*"}},
        ),
    ],
)
def test_extra_fields(make_logger, extra, expected):
    logger, _, records = make_logger(Omitter(["password"]))
    given = dict(extra)
    logger.warning("event", extra=extra)
    (record,) = records
    assert {name: getattr(record, name) for name in expected} == expected
    # Dict-valued fields are the caller's own objects, masked in place.
    for name, value in given.items():
        if type(value) is dict and expected[name] != UNREDACTABLE:
            assert getattr(record, name) is value


def test_allow_list_masks_extras_but_not_record_attributes(make_logger):
    fmt = "%(name)s|%(levelname)s|%(funcName)s|%(message)s|%(request_id)s|%(user)s"
    logger, out, records = make_logger(NoTrustOmitter(["request_id"]), fmt)
    logger.error("login of %s", "bob", extra={"request_id": "r-1", "user": "bob"})
    assert out.getvalue() == (
        f"{logger.name}|ERROR|test_allow_list_masks_extras_but_not_record_attributes"
        "|login of bob|r-1|***\n"
    )
    assert records[0].msg == "login of %s"


def test_every_record_passes_and_a_second_filter_changes_nothing(make_logger):
    logger, out, records = make_logger(Omitter(["password"]))
    logger.handlers[0].addFilter(RedactingFilter(Omitter(["password"])))
    logger.debug("no arguments")
    logger.info("%(password)s", {"password": "abc"})
    assert out.getvalue() == "no arguments\n***\n"
    assert len(records) == 2


def test_filter_on_a_handler_sees_records_of_child_loggers():
    out = io.StringIO()
    handler = logging.StreamHandler(out)
    handler.addFilter(RedactingFilter(Omitter(["token"])))
    parent = logging.getLogger(f"zentrove.test.{next(_names)}")
    parent.propagate = False
    parent.addHandler(handler)
    try:
        parent.getChild("child").warning("%(token)s", {"token": "abcd"})
    finally:
        parent.removeHandler(handler)
    assert out.getvalue() == "****\n"


@pytest.mark.parametrize(
    "redactor, event, expected",
    [
        (
            Omitter(["password"]),
            {"event": "login", "password": "pw", "ctx": [{"password": "x"}]},
            {"event": "login", "password": "**", "ctx": [{"password": "*"}]},
        ),
        (
            NoTrustOmitter(["event", "level"]),
            {"event": "login", "level": "info", "user": "bob", "n": 2},
            {"event": "login", "level": "info", "user": "***", "n": 2},
        ),
        (
            Omitter(["password"]),
            {"event": "e", "bad": {2: "x"}, "password": "pw"},
            {"event": "e", "bad": UNREDACTABLE, "password": "**"},
        ),
    ],
)
def test_processor_redacts_event_dict_in_place(redactor, event, expected):
    processor = RedactingProcessor(redactor)
    assert processor(None, "info", event) is event
    assert event == expected


def test_processor_keeps_a_mapping_type_of_its_own():
    event = collections.OrderedDict(event="e", password="abc")
    result = RedactingProcessor(Omitter(["password"]))(object(), "warning", event)
    assert result is event
    assert list(event.items()) == [("event", "e"), ("password", "***")]


class RaisingMapping(collections.abc.Mapping):
    """A mapping whose reading fails."""

    def __getitem__(self, key):
        raise RuntimeError("no")

    def __iter__(self):
        raise RuntimeError("no")

    def __len__(self):
        return 1


@pytest.mark.parametrize(
    "msg, args, expected",
    [
        ("auth %s", ("Bearer " + JWT,), "auth Bearer " + "*" * len(JWT)),
        (
            "connect %s",
            ("postgres://app:s3cr3t@db:5432/x",),
            "connect postgres://app:******@db:5432/x",
        ),
        ({"password": "hunter2", "user": "bob"}, (), "{'password': '*******', 'user': 'bob'}"),
        ("%s", (("a", {"password": "x"}),), "('a', {'password': '*'})"),
        ("password=%s and %s", ("hunter2", ["token: abc"]), "password=******* and ['token: ***']"),
        (
            "%(user)s %(missing)s",
            (collections.defaultdict(lambda: "?", user="bob", password="pw"),),
            "bob ?",
        ),
        ("%(user)s", (RaisingMapping(),), UNREDACTABLE),
        (ValueError("token=abc"), (), "token=***"),
    ],
)
def test_issue_table_with_a_detecting_redactor(make_logger, msg, args, expected):
    logger, out, _ = make_logger(DETECTING)
    logger.info(msg, *args)
    assert out.getvalue() == expected + "\n"


@pytest.mark.parametrize(
    "redactor, msg, args, message, arguments",
    [
        # A placeholder is no secret: the template is shown as it is.
        (DETECTING, "password=%d", ("hunter2",), "'password=%d'", "('[unredactable]',)"),
        (
            Omitter(["password"]),
            "password=%d",
            ("hunter2",),
            "'password=%d'",
            "('[unredactable]',)",
        ),
        (Redactor(omit=["password"]), "%s %s", ("hunter2",), "'%s %s'", "('[unredactable]',)"),
        (
            Redactor(omit=["password"]),
            "%(password)s %(user)d",
            ({"password": "pw", "user": "hunter2"},),
            "'%(password)s %(user)d'",
            "{'password': '[unredactable]', 'user': '[unredactable]'}",
        ),
    ],
)
def test_a_message_that_cannot_be_merged_shows_no_argument(
    make_logger, capsys, redactor, msg, args, message, arguments
):
    logger, out, _ = make_logger(redactor)
    logger.info(msg, *args)
    # Logging still reports the bad call, on stderr.
    err = capsys.readouterr().err
    assert err.startswith("--- Logging error ---\n")
    assert err.endswith(f"Message: {message}\nArguments: {arguments}\n")
    assert "hunter2" not in err and out.getvalue() == ""


class Shown:
    """An object printed by the text it is given; its repr may differ."""

    def __init__(self, text, shown=None):
        self.text, self.shown = text, shown

    def __str__(self):
        return self.text

    def __repr__(self):
        return self.shown or self.text


class Unprintable:
    def __repr__(self):
        raise RuntimeError("no text")


SECRET_OBJECT = Shown("C(password=hunter2)")


@pytest.mark.parametrize(
    "ctx, shown",
    [
        (SECRET_OBJECT, "C(password=*******)"),
        ([Shown("token=abc"), 3, None], "['token=***', 3, None]"),
        ({"n": (Shown("token=abc"),)}, "{'n': ('token=***',)}"),
        (frozenset([Shown("token=abc")]), "frozenset({'token=***'})"),
        # A clean str stands in for an object whose repr holds the secret.
        ([Shown("C", "C(password=hunter2)")], "['C']"),
        (4111111111111111, "*" * 16),
        (b"password=hunter2", "b'password=*******'"),
        (Unprintable(), UNREDACTABLE),
    ],
)
def test_objects_are_scanned_as_they_print(make_logger, ctx, shown):
    logger, out, _ = make_logger(DETECTING, "%(message)s %(ctx)s")
    logger.info("x", extra={"ctx": ctx})
    assert out.getvalue() == f"x {shown}\n"


@pytest.mark.parametrize(
    "redactor, expected",
    [
        (DETECTING, "{'ctx': 'C(password=*******)', 'n': [1]} C(password=*******)"),
        # Without detectors an object stays itself.
        (
            Redactor(omit=["password"]),
            "{'ctx': C(password=hunter2), 'n': [1]} C(password=hunter2)",
        ),
    ],
)
def test_objects_in_a_mapping_message_and_extra(make_logger, redactor, expected):
    logger, out, records = make_logger(redactor, "%(message)s %(ctx)s")
    logger.info({"ctx": SECRET_OBJECT, "n": [1]}, extra={"ctx": SECRET_OBJECT})
    assert out.getvalue() == expected + "\n"
    assert (records[0].ctx is SECRET_OBJECT) == (not redactor.detect)


def test_logged_data_is_left_unchanged_by_a_redactor(make_logger):
    logger, out, records = make_logger(DETECTING)
    args = {"password": "hunter2", "n": [{"token": "t"}]}
    extra = {"payload": {"token": "abc"}, "note": "password=x"}
    logger.info("%(password)s %(n)s", args, extra=extra)
    assert out.getvalue() == "******* [{'token': '*'}]\n"
    assert args == {"password": "hunter2", "n": [{"token": "t"}]}
    assert extra == {"payload": {"token": "abc"}, "note": "password=x"}
    assert (records[0].payload, records[0].note) == ({"token": "***"}, "password=*")


def test_exception_and_stack_text_are_scanned(make_logger):
    logger, out, records = make_logger(DETECTING, "%(message)s")
    try:
        raise ValueError("db login failed for password=hunter2")
    except ValueError:
        logger.exception("failed", stack_info=True)  # token=abc
    text = out.getvalue()
    assert "ValueError: db login failed for password=*******" in text
    assert "# token=***" in text
    assert "hunter2" not in text and "token=abc" not in text
    assert records[0].exc_info is None
    try:
        raise ValueError("clean")
    except ValueError:
        logger.exception("failed")
    assert records[1].exc_info[1].args == ("clean",)


@pytest.mark.parametrize("on_queue", [True, False])
def test_queue_handler(on_queue):
    q = queue.SimpleQueue()
    queue_handler = logging.handlers.QueueHandler(q)
    out = io.StringIO()
    handler = logging.StreamHandler(out)
    # On the queue handler the record is redacted before it is merged; on the
    # listener's handler only the detectors can still find what is merged.
    (queue_handler if on_queue else handler).addFilter(RedactingFilter(DETECTING))
    logger = logging.getLogger(f"zentrove.test.{next(_names)}")
    logger.propagate = False
    logger.addHandler(queue_handler)
    listener = logging.handlers.QueueListener(q, handler)
    listener.start()
    try:
        logger.warning("login %s %s", {"password": "hunter2"}, "token=abc")
    finally:
        listener.stop()
        logger.removeHandler(queue_handler)
    assert out.getvalue() == "login {'password': '*******'} token=***\n"


@pytest.mark.parametrize("cls", [RedactingFilter, RedactingProcessor, RedactingPatcher])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            ({"password"},),
            {},
            "{}() takes a zentrove.Redactor, Omitter or NoTrustOmitter, not set",
        ),
        ((), {}, "{}() takes a redactor or the keywords of zentrove.Redactor"),
        (
            (DETECTING,),
            {"omit": ["a"]},
            "{}() takes a redactor or the keywords of zentrove.Redactor, not both",
        ),
        ((), {"omit": "password"}, "omit= must be an iterable of str, not a single str"),
    ],
)
def test_a_redactor_or_its_keywords_is_required(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == message.format(cls.__name__)
    assert cls(omit=["a"], detect=True).redactor == Redactor(omit=["a"], detect=True)


@pytest.mark.parametrize(
    "rules, shown",
    [
        ({"omit": ["password"], "detect": True}, "login password=******* {'password': '***'}"),
        ({"omit": ["password"]}, "login password=hunter2 {'password': '***'}"),
        ({"redactor": "ext://test_logs.DETECTING"}, "login password=******* {'password': '***'}"),
    ],
)
def test_dict_config_builds_the_filter_from_a_file(rules, shown):
    out = io.StringIO()
    name = f"zentrove.test.{next(_names)}"
    logging.config.dictConfig(
        {
            "version": 1,
            "disable_existing_loggers": False,
            "filters": {
                "redact": json.loads(json.dumps({"()": "zentrove.logs.RedactingFilter", **rules}))
            },
            "handlers": {
                "out": {"class": "logging.StreamHandler", "stream": out, "filters": ["redact"]}
            },
            "loggers": {name: {"handlers": ["out"], "level": "INFO", "propagate": False}},
        }
    )
    logger = logging.getLogger(name)
    try:
        logger.info("login %s %s", "password=hunter2", {"password": "abc"})
    finally:
        for handler in logger.handlers[:]:
            logger.removeHandler(handler)
    assert out.getvalue() == shown + "\n"


def test_dict_config_names_the_filter_it_cannot_build():
    with pytest.raises(ValueError) as info:
        logging.config.dictConfig(
            {
                "version": 1,
                "disable_existing_loggers": False,
                "filters": {
                    "redact": {
                        "()": "zentrove.logs.RedactingFilter",
                        "omit": ["a"],
                        "trust": ["b"],
                    }
                },
            }
        )
    assert (str(info.value), str(info.value.__cause__)) == (
        "Unable to configure filter 'redact'",
        "Redactor() takes exactly one of omit= and trust=",
    )


@pytest.fixture
def structlog():
    return pytest.importorskip("structlog")


def json_logger(structlog, *processors):
    """A structlog logger rendering JSON lines into the StringIO beside it."""
    out = io.StringIO()
    processors = [*processors, structlog.processors.JSONRenderer()]
    return structlog.wrap_logger(structlog.PrintLogger(out), processors=processors), out


def test_structlog_processor_formats_and_scans_the_exception(structlog):
    logger, out = json_logger(structlog, RedactingProcessor(DETECTING))
    try:
        raise ValueError("db login failed for password=hunter2")
    except ValueError:
        logger.exception("failed", nested={"token": "abc", "n": [1]})
    event = json.loads(out.getvalue())
    assert event["nested"] == {"token": "***", "n": [1]}
    assert event["exception"].endswith("ValueError: db login failed for password=*******")
    assert "exc_info" not in event


@pytest.mark.parametrize(
    "redactor",
    [
        Redactor(trust=["event", "level", "logger", "timestamp"], detect=True),
        NoTrustOmitter(["event"]),
    ],
)
@pytest.mark.parametrize("with_filter", [False, True])
def test_processor_formatter_masks_the_fields_merged_into_the_event(
    structlog, redactor, with_filter
):
    out = io.StringIO()
    handler = logging.StreamHandler(out)
    handler.setFormatter(
        structlog.stdlib.ProcessorFormatter(
            processors=[
                RedactingProcessor(redactor),
                structlog.stdlib.ProcessorFormatter.remove_processors_meta,
                structlog.processors.JSONRenderer(),
            ]
        )
    )
    if with_filter:
        handler.addFilter(RedactingFilter(redactor))
    logger = logging.getLogger(f"zentrove.test.{next(_names)}")
    logger.propagate = False
    logger.addHandler(handler)
    try:
        logger.warning(
            "%(password)s: %(user)s, %% %(n)d", {"user": "bob", "password": "p, q", "n": 1}
        )
    finally:
        logger.removeHandler(handler)
    assert json.loads(out.getvalue()) == {"event": "****: ***, % *"}


SECRET = "hunter2"


def fail_with_password(password):
    raise ValueError("boom")


def fail_with_user(user):
    raise ValueError("boom") if user else AssertionError


def fail_with_cause(user):
    try:
        fail_with_password(SECRET)
    except ValueError as error:
        raise ValueError("boom") from error


@pytest.mark.parametrize(
    "redactor", [DETECTING, Redactor(omit=["password"]), Omitter(["password"])]
)
@pytest.mark.parametrize(
    "fail, after, structured",
    [
        (fail_with_password, True, True),
        # Before the renderer, only frames free of secrets go on as themselves.
        (fail_with_password, False, False),
        (fail_with_user, False, True),
        # A frame of a cause counts too.
        (fail_with_cause, False, False),
    ],
)
def test_structured_tracebacks_show_no_frame_variable(
    structlog, redactor, fail, after, structured
):
    processors = [RedactingProcessor(redactor), structlog.processors.dict_tracebacks]
    logger, out = json_logger(structlog, *(processors[::-1] if after else processors))
    try:
        fail(SECRET if fail is fail_with_password else "bob")
    except ValueError:
        logger.exception("failed")
    exception = json.loads(out.getvalue())["exception"]
    line = fail_with_password.__code__.co_firstlineno + 1
    assert SECRET not in out.getvalue()
    if structured:
        (stack,) = exception
        shown = "*********" if fail is fail_with_password else "'bob'"
        assert stack["frames"][-1]["locals"] == {fail.__code__.co_varnames[0]: shown}
    else:
        assert (
            f'", line {line}, in fail_with_password\n    raise ValueError("boom")\n' in exception
        )
        assert exception.endswith("ValueError: boom")


def test_structlog_renders_objects_by_their_scanned_text(structlog):
    logger, out = json_logger(structlog, RedactingProcessor(DETECTING))
    logger.info("msg", obj=SECRET_OBJECT, n=[SECRET_OBJECT, 1])
    assert json.loads(out.getvalue()) == {
        "event": "msg",
        "obj": "C(password=*******)",
        "n": ["C(password=*******)", 1],
    }


@pytest.fixture
def loguru_records():
    """Makes the loguru logger patched with the given redactor; also returns
    the messages its one handler wrote, each with its record."""
    loguru = pytest.importorskip("loguru")
    written = []
    loguru.logger.remove()

    def make(redactor, enqueue=False):
        # enqueue=True pickles each record on its way to the handler's thread.
        loguru.logger.add(
            written.append,
            format="{message} | {extra}",
            colorize=False,
            diagnose=True,
            enqueue=enqueue,
        )
        return loguru.logger.patch(RedactingPatcher(redactor)), written

    yield make
    loguru.logger.remove()


@pytest.mark.parametrize(
    "log, shown",
    [
        (
            lambda log: log.info("login {user} {password}", user="bob", password=SECRET),
            "login bob ******* | {'user': 'bob', 'password': '*******'}",
        ),
        (
            lambda log: log.opt(capture=False).info(
                "{0} {creds[password]}!", "x", creds={"password": SECRET}
            ),
            "x *******! | {}",
        ),
        (
            lambda log: log.bind(token="abc").info("connect {}", "postgres://app:s3cr3t@db/x"),
            "connect postgres://app:******@db/x | {'token': '***'}",
        ),
        (
            lambda log: log.info("{}", SECRET_OBJECT, ctx=[SECRET_OBJECT]),
            "C(password=*******) | {'ctx': ['C(password=*******)']}",
        ),
        (
            lambda log: log.info("{a}{b}", a="x", b="y", password="p"),
            "xy | {'a': 'x', 'b': 'y', 'password': '*'}",
        ),
    ],
)
def test_loguru_patcher_redacts_message_and_extra(loguru_records, log, shown):
    logger, written = loguru_records(DETECTING)
    log(logger)
    assert [str(line) for line in written] == [shown + "\n"]


@pytest.mark.parametrize("redactor, enqueue", [(DETECTING, False), (Omitter(["password"]), True)])
def test_loguru_exception_with_a_secret_reaches_handlers_as_its_text(
    loguru_records, redactor, enqueue
):
    logger, written = loguru_records(redactor, enqueue)
    errors = []
    for fail in (fail_with_password, fail_with_user):
        try:
            fail(SECRET if fail is fail_with_password else "bob")
        except ValueError as e:
            logger.exception("failed")
            errors.append(e)
    logger.complete()
    # diagnose would print the value of `password`: only the text goes on.
    assert str(written[0]) == "failed | {}\n" + "".join(traceback.format_exception(errors[0]))
    hidden = written[0].record["exception"]
    assert (hidden.type.__name__, hidden.traceback) == ("ValueError", None)
    # A clean exception is left to loguru, which shows the variables.
    assert "└ 'bob'" in str(written[1])


@pytest.mark.parametrize("template", [{"template": "login {user} {password}"}, {}])
def test_loguru_named_fields_with_or_without_a_template(template):
    # Records of older loguru releases have no template.
    record = {
        "message": "login bob hunter2",
        "extra": {"user": "bob", "password": "hunter2"},
        "exception": None,
        **template,
    }
    RedactingPatcher(omit=["password"])(record)
    assert record == {
        "message": "login bob *******",
        "exception": None,
        **template,
        "extra": {"user": "bob", "password": "*******"},
    }


def test_loguru_record_that_cannot_be_redacted_is_scrubbed():
    # A record without extra: the patcher cannot finish, so nothing stays.
    record = {"message": "password=hunter2", "exception": None}
    RedactingPatcher(DETECTING)(record)
    assert record == {"message": UNREDACTABLE, "extra": {}, "exception": None}
