"""zentrove.Redactor side by side with its peers, in one run.

    python benchmarks/redactor.py            # about a minute
    python benchmarks/redactor.py --quick    # a few seconds

On the log record (72 entries, the 8-key deny-list; a fresh ``json.loads``
copy per call for every tool, made outside the timed region), with the
harness of benchmarks/run.py (round-robin rounds, median per call, the
collector off while a batch runs):

- ``Redactor.redact`` (keys folded) against Sentry's
  ``EventScrubber(recursive=True)`` and the exact ``Omitter.omit``;
- ``Redactor.redacted`` (a copy) against Django's
  ``SafeExceptionReporterFilter.cleanse_setting`` and
  ``json.loads(json.dumps(x))``;
- the allow-list (``trust=`` the record's harmless keys) against the
  deny-list, and ``report`` against ``redact``.

Each goal is a ratio of two medians of this run; the table says whether
it holds.  Peers come from the ``bench`` extra.  On a busy machine the
times of the fast tools swell more than those of the slow ones;
``--instructions`` counts instructions under valgrind's callgrind instead
(one subprocess per tool, 2,000 calls, only the calls counted), which a
busy machine does not change.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(HERE, os.pardir, "tests"))  # peers' walk model

import zentrove.omit as zo  # noqa: E402
from data import KEYS_8, TRUSTED, DataSet, log_record  # noqa: E402
from harness import fmt_ns, measure  # noqa: E402
from peers import Tool, _django_filter, _sentry  # noqa: E402
from zentrove import Redactor  # noqa: E402

REDACT = "Redactor.redact"
ALLOW = "Redactor.redact, allow-list"
REDACTED = "Redactor.redacted"
REPORT = "Redactor.report"
OMIT = "Omitter.omit (exact)"
SENTRY = "Sentry EventScrubber"
DJANGO = "Django cleanse_setting"
ROUND_TRIP = "json.loads(json.dumps(x))"

# (what, numerator, denominator, bound, at least): at least means
# numerator / denominator >= bound, else <= bound.
GOALS = [
    ("redact vs Sentry", SENTRY, REDACT, 25.0, True),
    ("redact vs exact omit", REDACT, OMIT, 1.25, False),
    ("redacted vs Django", DJANGO, REDACTED, 30.0, True),
    ("redacted vs JSON round trip", REDACTED, ROUND_TRIP, 0.5, False),
    ("allow-list vs deny-list", ALLOW, REDACT, 1.5, False),
    ("report vs redact", REPORT, REDACT, 1.0, False),
]


def tools() -> list[Tool]:
    deny = Redactor(omit=KEYS_8)
    allow = Redactor(trust=TRUSTED)
    loads, dumps = json.loads, json.dumps
    return [
        Tool(REDACT, deny.redact, True),
        Tool(ALLOW, allow.redact, True),
        Tool(REDACTED, deny.redacted, False),
        Tool(REPORT, deny.report, True, masks=False),
        Tool(OMIT, zo.Omitter(list(KEYS_8)).omit, True),
        Tool(SENTRY, _sentry(KEYS_8), True),
        Tool(DJANGO, _django_filter(KEYS_8), False),
        Tool(ROUND_TRIP, lambda x: loads(dumps(x)), False, masks=False),
    ]


def check_agreement(ds: DataSet) -> None:
    """The copy, the in-place walk and the report agree on what is masked."""
    deny = Redactor(omit=KEYS_8)
    copy = deny.redacted(ds.fresh())
    assert copy == deny.redact(ds.fresh())
    assert len(deny.report(ds.fresh())) == ds.sensitive, "report misses a secret"


def walk(name: str, calls: int) -> None:
    """What valgrind runs: `calls` calls of one tool through starmap."""
    ds = DataSet("log_record_k8", "", log_record(), KEYS_8)
    run = {t.name: t.run for t in tools()}[name]
    inputs = [(ds.fresh(),) for _ in range(calls)]
    gc.disable()  # as the timed batches run
    list(itertools.starmap(run, inputs))


def instructions(calls: int = 2000) -> dict[str, float]:
    """Instructions per call of each tool, under callgrind."""
    out = {}
    for tool in tools():
        ran = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--toggle-collect=starmap_next",
                "--callgrind-out-file=/dev/null",
                sys.executable,
                __file__,
                "--walk",
                tool.name,
                str(calls),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        counted = re.search(r"Collected : (\d+)", ran.stderr)
        assert counted, ran.stderr
        out[tool.name] = int(counted.group(1)) / calls
        print(f"    {tool.name:<28} {out[tool.name]:>12,.0f} instructions per call")
    return out


def table(med: dict[str, float], unit) -> None:
    print()
    print("| goal | ratio | bound | holds |")
    print("|---|---|---|---|")
    for what, num, den, bound, at_least in GOALS:
        ratio = med[num] / med[den]
        holds = ratio >= bound if at_least else ratio <= bound
        sign = ">=" if at_least else "<="
        print(
            f"| {what} ({unit(med[num])} / {unit(med[den])}) | {ratio:.2f}x "
            f"| {sign} {bound:g}x | {'yes' if holds else 'NO'} |"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few seconds, noisier")
    parser.add_argument(
        "--instructions",
        action="store_true",
        help="count instructions under callgrind instead of timing",
    )
    parser.add_argument("--walk", nargs=2, metavar=("TOOL", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.walk:
        walk(args.walk[0], int(args.walk[1]))
        return
    ds = DataSet("log_record_k8", "log record, 8-key deny-list", log_record(), KEYS_8)
    check_agreement(ds)
    print(f"{ds.label}: {ds.entries} entries, {ds.sensitive} secrets")
    if args.instructions:
        table(instructions(), lambda n: f"{n:,.0f}")
        return
    rounds, batch = (5, 0.02) if args.quick else (25, 0.1)
    result = measure(
        tools(),
        ds,
        rounds=rounds,
        warmup=2,
        batch_seconds=batch,
        max_batch=20_000,
        max_batch_bytes=32 << 20,
        log=print,
    )
    table({name: r["median_ns"] for name, r in result.items()}, fmt_ns)


if __name__ == "__main__":
    main()
