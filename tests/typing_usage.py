"""The typed API used as an application would use it.

test_stubs.py type-checks this file with mypy --strict and also runs it, so
every keyword call below must hold both for the stubs and at run time.
"""

from __future__ import annotations

import logging
from collections.abc import Callable
from typing import Any, assert_type

from loguru import logger as loguru_logger

import zentrove.omit as omit
from zentrove.cli import main
from zentrove.logs import (
    UNREDACTABLE,
    RedactingFilter,
    RedactingPatcher,
    RedactingProcessor,
    RedactorRules,
)

keys: list[str] = ["token"]
omit.always_omit(targets=keys)
omit.always_trust(targets=["user"])
assert_type(omit.globally_hidden(), list[Any])
assert_type(omit.globally_trusted(), list[Any])
assert_type(omit.hide(target="abc"), str)

deny = omit.Omitter(omissions=["password"])
record: dict[str, object] = {"password": "abc", "token": "xy", "n": 1}
assert_type(deny.omit(target=record), dict[str, object])
assert record == {"password": "***", "token": "**", "n": 1}

codes: list[str] = ["12", "345"]
assert_type(deny.omit_recurse(target=codes, do=True), list[str])
assert_type(deny.omit_recurse(codes), list[str])
assert codes == ["**", "***"]

allow = omit.NoTrustOmitter(trusted=["id"])
base: omit.Omitter = allow
nested: dict[str, Any] = {"id": "7", "user": "bob", "deep": {"id": "8", "pin": "9"}}
assert base.omit(nested) is nested
assert nested == {"id": "7", "user": "bob", "deep": {"id": "8", "pin": "*"}}

omit.reset_omissions()
omit.reset_trusted()
assert omit.globally_hidden() == [] and omit.globally_trusted() == []

handler = logging.NullHandler()
handler.addFilter(RedactingFilter(deny))
process = RedactingProcessor(allow)
event = process(None, "info", {"id": "1", "secret": "s3"})
assert_type(event, dict[str, str])
assert event == {"id": "1", "secret": "**"}
assert_type(UNREDACTABLE, str)
# The redactor's keywords in place of a redactor, as a configuration file gives them.
rules: RedactorRules = {"omit": ["password"], "detect": True}
handler.addFilter(RedactingFilter(**rules))
patched = loguru_logger.patch(RedactingPatcher(trust=["user"], mask="[x]"))
run_cli: Callable[[list[str]], int] = main
