"""The tools side by side: one adapter per tool, all built on the same key
list, plus the normalisation that checks they mask the same values.

Each `Tool` has `run(x)`, the callable that is timed (one call per input),
`fresh(ds)`, which makes its input from a data set (outside the timed
region), and `output(x, ret)`, the redacted payload after `run` returned
`ret` (the input itself for in-place tools, the copy for copying tools).
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import zentrove.omit as zo
from walk_model import PyNoTrustOmitter, PyOmitter

ZENTROVE = "zentrove"
PURE = "pure-Python walk"
SENTRY = "Sentry EventScrubber"
DJANGO = "Django cleanse_setting"
ROLLBAR = "Rollbar ScrubTransform"
DUMPS = "json.dumps"
LOADS_ZT = "json.loads + zentrove"

TOOL_ORDER = [ZENTROVE, PURE, SENTRY, DJANGO, ROLLBAR, LOADS_ZT, DUMPS]
COPYING = {DJANGO, ROLLBAR}


@dataclass
class Tool:
    name: str
    run: Callable[[Any], Any]
    in_place: bool
    from_blob: bool = False  # input is the serialised blob, not a dict
    masks: bool = True  # json.dumps masks nothing

    def fresh(self, ds):
        return ds.blob if self.from_blob else ds.fresh()

    def output(self, x, ret):
        return x if self.in_place else ret


_django_ready = False


def _django_filter(keys):
    global _django_ready
    from django.conf import settings

    if not _django_ready:
        # cleanse_setting also hides the key named SESSION_COOKIE_NAME
        # ("sessionid" by default); point it at a name that never occurs.
        if not settings.configured:
            settings.configure(SESSION_COOKIE_NAME="__zentrove_bench_none__")
        _django_ready = True
    from django.views.debug import SafeExceptionReporterFilter

    f = SafeExceptionReporterFilter()
    f.hidden_settings = re.compile("^(?:" + "|".join(re.escape(k) for k in keys) + ")$")
    cleanse = f.cleanse_setting
    return lambda obj: cleanse("", obj)


def _rollbar(keys):
    from rollbar.lib.transforms import transform
    from rollbar.lib.transforms.scrub import ScrubTransform

    transforms = [
        ScrubTransform(suffixes=[(k,) for k in keys], redact_char="*", randomize_len=False)
    ]
    return lambda obj: transform(obj, transforms)


def _sentry(keys):
    from sentry_sdk.scrubber import EventScrubber

    return EventScrubber(denylist=list(keys), recursive=True, send_default_pii=True).scrub_dict


def tools_for(ds, names=None) -> list[Tool]:
    """The tools that can run data set `ds` (all of them on a deny-list; on
    the allow-list case only zentrove, the pure walk and json.dumps)."""
    keys = ds.keys
    if ds.allow_list:
        om = zo.NoTrustOmitter(list(keys))
        ref = PyNoTrustOmitter(keys)
    else:
        om = zo.Omitter(list(keys))
        ref = PyOmitter(keys)
    loads = json.loads
    omit = om.omit
    make = {
        ZENTROVE: lambda: Tool(ZENTROVE, omit, True),
        PURE: lambda: Tool(PURE, ref.omit, True),
        SENTRY: lambda: Tool(SENTRY, _sentry(keys), True),
        DJANGO: lambda: Tool(DJANGO, _django_filter(keys), False),
        ROLLBAR: lambda: Tool(ROLLBAR, _rollbar(keys), False),
        LOADS_ZT: lambda: Tool(LOADS_ZT, lambda s: omit(loads(s)), False, from_blob=True),
        DUMPS: lambda: Tool(DUMPS, json.dumps, False, masks=False),
    }
    if names is None:
        names = TOOL_ORDER
    if ds.allow_list:
        names = [n for n in names if n in (ZENTROVE, PURE, DUMPS)]
    return [make[n]() for n in names]


# --- normalisation -------------------------------------------------------------


class Mismatch(AssertionError):
    pass


def _is_annotation(v) -> bool:
    return type(v).__name__ == "AnnotatedValue" and type(v).__module__.startswith("sentry_sdk")


def mask_kind(before: str, after) -> str | None:
    """How `after` masks the string `before`, or None if it does not."""
    if _is_annotation(after):
        return "annotation"
    if type(after) is str and after and after.strip("*") == "":
        return "same length" if len(after) == len(before) else "fixed"
    return None


def masked_paths(before, after, path=(), out=None, kinds=None):
    """Compare a pristine copy with a tool's output.  Every changed string
    must have become one of the tool's mask forms (a run of '*', or Sentry's
    AnnotatedValue); anything else that differs is a Mismatch.  Returns the
    sorted paths of the masked values and the set of mask forms seen."""
    if out is None:
        out, kinds = [], set()
    tb = type(before)
    if tb is dict:
        if type(after) is not dict or list(after) != list(before):
            raise Mismatch(f"dict at {path} changed shape")
        for k, v in before.items():
            masked_paths(v, after[k], path + (k,), out, kinds)
    elif tb is list:
        if type(after) is not list or len(after) != len(before):
            raise Mismatch(f"list at {path} changed shape")
        for i, v in enumerate(before):
            masked_paths(v, after[i], path + (i,), out, kinds)
    elif tb is str and after != before:
        kind = mask_kind(before, after)
        if kind is None:
            raise Mismatch(f"string at {path} became {after!r:.60}")
        out.append(path)
        kinds.add(kind)
    elif type(after) is not tb or after != before:
        raise Mismatch(f"value at {path} changed: {before!r:.40} -> {after!r:.40}")
    if not path:
        return sorted(out, key=repr), kinds
    return None


def check_agreement(ds, tools) -> dict:
    """Run every masking tool once on a fresh input and compare the masked
    paths with zentrove's; the pure walk must also equal it exactly."""
    results = {}
    reference_out = None
    reference_paths = None
    for tool in tools:
        if not tool.masks:
            x = tool.fresh(ds)
            if json.loads(tool.run(x)) != ds.fresh():
                raise Mismatch(f"{tool.name}: round trip differs")
            continue
        before = ds.fresh()
        x = tool.fresh(ds)
        out = tool.output(x, tool.run(x))
        paths, kinds = masked_paths(before, out)
        if tool.name == ZENTROVE:
            reference_out, reference_paths = out, paths
            if paths and kinds != {"same length"}:
                raise Mismatch(f"zentrove masks of the wrong form: {kinds}")
            if not ds.allow_list and len(paths) != ds.sensitive:
                raise Mismatch(
                    f"{ds.name}: zentrove masked {len(paths)} of {ds.sensitive} sensitive values"
                )
        elif paths != reference_paths:
            extra = set(paths) - set(reference_paths)
            missing = set(reference_paths) - set(paths)
            raise Mismatch(
                f"{ds.name}: {tool.name} masks differ: "
                f"extra {sorted(extra)[:3]}, "
                f"missing {sorted(missing)[:3]}"
            )
        if tool.name == PURE and out != reference_out:
            raise Mismatch(f"{ds.name}: the pure walk's output differs")
        results[tool.name] = {"masked": len(paths), "mask_form": sorted(kinds)}
    return results
