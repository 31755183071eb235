"""Detectors and logging, measured side by side in one run.

    python benchmarks/detect.py            # about a minute
    python benchmarks/detect.py --quick    # a few seconds

Scan of typical log text (prose, request lines with query strings, JSON
fragments, hex and UUID ids, timestamps; one line in 50 holds a secret),
all detectors on, in MB/s of UTF-8:

- zentrove ``Redactor.scan`` on the whole text and line by line;
- Python ``re`` with equivalent patterns in one alternation, a Luhn check
  and a key lookup in its callback;
- ``detect-secrets`` (its default plugins) scanning the same lines.

Worst cases: text made to stall each detector (``tests/detect_corpus.py``'s
WORST: a unit repeated to 200 KB), scanned with all detectors on, and the
same text as the one string of a JSON Lines record; in MB/s and as a share
of the typical log's rate on the same path.  The goal: no share below a
quarter.

Logging, per record: a ``logging.Formatter`` formatting a record (the plain
cost), and ``RedactingFilter`` with ``detect=True`` on the same record; the
ratio is the filter's overhead over the plain formatting.

Rounds alternate the tools so that a busy machine slows them alike; each
figure is the median over the rounds, CPU time of this process.
"""

from __future__ import annotations

import argparse
import io
import json
import logging
import random
import re
import statistics
import sys
import time
from pathlib import Path

from zentrove import DETECTOR_GROUPS, DETECTORS, Redactor
from zentrove.logs import RedactingFilter

KEYS = ["password", "token", "api_key", "secret", "authorization"]

_LINES = [
    "2024-01-15T10:22:33.123Z INFO request GET /api/v1/users/{n}?page=2&sort=name took {ms}ms status=200",
    "user bob logged in from 10.0.{a}.{b} session={hex}",
    '{{"event": "order_created", "order_id": {n}, "amount": 12.5, "currency": "EUR", "user": "alice"}}',
    "The quick brown fox jumps over the lazy dog while the server handles another batch of requests.",
    "trace_id={uuid} span={short} service=billing version=1.{a}.{b}",
    "fetch https://example.com/assets/{hex}/app.js?v=20240115 from cache",
    "WARNING: retrying connection to db.internal:5432 after {a} attempts (backoff {ms}ms)",
]
_SECRETS = [
    "login password=hunter{a} user=bob",
    "Authorization: Bearer abc{n}def{n}",
    "connect postgres://app:s3cr3t{a}@db:5432/x",
    "paid with 4111 1111 1111 1111 for order {n}",
    "token ghp_{hex36}",
]


def log_text(lines: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    out = []
    for i in range(lines):
        template = rng.choice(_SECRETS) if i % 50 == 49 else rng.choice(_LINES)
        out.append(
            template.format(
                n=rng.randrange(10**6),
                ms=rng.randrange(1000),
                a=rng.randrange(256),
                b=rng.randrange(256),
                hex="%040x" % rng.getrandbits(160),
                hex36="%036x" % rng.getrandbits(144),
                short="%08x" % rng.getrandbits(32),
                uuid="%08x-%04x-4%03x-a%03x-%012x"
                % tuple(rng.getrandbits(k) for k in (32, 16, 12, 12, 48)),
            )
        )
    return out


def luhn(digits: str) -> bool:
    total = 0
    for i, d in enumerate(reversed(digits)):
        d = int(d) * (2 if i % 2 else 1)
        total += d - 9 if d > 9 else d
    return total % 10 == 0


_FOLDED_KEYS = {k.replace("_", "") for k in KEYS}
_PATTERN = re.compile(
    r"(?P<authorization>\b(?:[Bb]earer|[Bb]asic)\s+)(?P<auth>[A-Za-z0-9\-._~+/]{6,}=*)"
    r"|(?P<jwt>\beyJ[A-Za-z0-9_-]{7,}\.[A-Za-z0-9_-]{2,}\.[A-Za-z0-9_-]*)"
    r"|(?P<pem>-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----)(?P<body>.*?)(?=-----END |\Z)"
    r"|(?P<url>[A-Za-z][A-Za-z0-9+.-]*://[^\s/?#@:]*:)(?P<pw>[^\s/?#]*)(?=@)"
    r"|(?P<key>\b[A-Za-z_][A-Za-z0-9_.-]*)(?P<sep>\s*=\s*|:[ \t]*)"
    r"(?P<value>\"[^\"]*\"|'[^']*'|(?<=[ \t])[^\n,;\"']+|[^\s&,;\"']+)"
    r"|(?P<token>\b(?:(?:AKIA|ASIA)[A-Z0-9]{16}|gh[pousr]_[A-Za-z0-9]{36,}|github_pat_\w{22,}"
    r"|glpat-[A-Za-z0-9_-]{20,}|xox[baprse]-[A-Za-z0-9-]{10,}|[rs]k_(?:live|test)_[A-Za-z0-9]{16,}"
    r"|AIza[A-Za-z0-9_-]{35}|ya29\.[A-Za-z0-9_-]{20,})\b)"
    r"|(?P<card>\b[2-6](?:[ -]?\d){12,18}\b)",
    re.DOTALL,
)


def _re_replace(m: re.Match[str]) -> str:
    if m["auth"] is not None:
        return m["authorization"] + "*" * len(m["auth"])
    if m["body"] is not None:
        return m["pem"] + "*" * len(m["body"])
    if m["pw"] is not None:
        return m["url"] + "*" * len(m["pw"])
    if m["key"] is not None:
        folded = m["key"].casefold().replace("_", "").replace("-", "").replace(".", "")
        if folded not in _FOLDED_KEYS:
            return m[0]
        return m["key"] + m["sep"] + "*" * len(m["value"])
    if m["card"] is not None:
        digits = re.sub(r"[ -]", "", m["card"])
        return "*" * len(m["card"]) if luhn(digits) else m[0]
    return "*" * len(m[0])


def re_scan(text: str) -> str:
    return _PATTERN.sub(_re_replace, text)


def cpu_seconds(run, arg, repeat: int) -> float:
    t0 = time.process_time()
    for _ in range(repeat):
        run(arg)
    return (time.process_time() - t0) / repeat


def rounds(tools: dict, rounds: int) -> dict[str, float]:
    """Median CPU seconds per call of each (run, arg, repeat) tool, measured
    in rotating order."""
    samples: dict[str, list[float]] = {name: [] for name in tools}
    names = list(tools)
    for r in range(rounds):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            samples[name].append(cpu_seconds(*tools[name]))
    return {name: statistics.median(s) for name, s in samples.items()}


def bench_scan(quick: bool) -> None:
    from detect_secrets.core.scan import scan_line
    from detect_secrets.settings import default_settings

    lines = log_text(2_000 if quick else 20_000)
    text = "\n".join(lines)
    size = len(text.encode())
    redactor = Redactor(omit=KEYS, detect=True)
    few = lines[: len(lines) // 20]  # detect-secrets is slow: a twentieth
    few_size = len("\n".join(few).encode())

    def per_line(ls: list[str]) -> None:
        for line in ls:
            redactor.scan(line)

    def detect_secrets_lines(ls: list[str]) -> None:
        for line in ls:
            for _ in scan_line(line):
                pass

    with default_settings():
        times = rounds(
            {
                "zentrove scan, whole text": (redactor.scan, text, 5),
                "zentrove scan, line by line": (per_line, lines, 2),
                "Python re, equivalent patterns": (re_scan, text, 1),
                "detect-secrets, line by line": (detect_secrets_lines, few, 1),
            },
            3 if quick else 9,
        )
    sizes = {name: few_size if name.startswith("detect-secrets") else size for name in times}
    base = size / times["zentrove scan, whole text"]
    print(f"\nScan of {size / 1e6:.1f} MB of log text ({len(lines)} lines), all detectors on")
    print("| tool | MB/s | zentrove (whole text) is faster by |")
    print("|---|--:|--:|")
    for name, seconds in times.items():
        rate = sizes[name] / seconds
        print(f"| {name} | {rate / 1e6:,.1f} | {base / rate:,.1f}x |")


def bench_worst(quick: bool) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from detect_corpus import WORST

    typical = "\n".join(log_text(2_000 if quick else 20_000))
    size = 200_000
    typical_record = json.dumps({"msg": typical}).encode() + b"\n"
    everything = Redactor(omit=KEYS, detect=True)

    def typical_lines(data: bytes) -> None:
        everything.redact_json_lines(io.BytesIO(data), io.BytesIO())

    tools: dict = {
        "typical text": (everything.scan, typical, 3),
        "typical json": (typical_lines, typical_record, 3),
    }
    sizes = {"typical text": len(typical.encode()), "typical json": len(typical_record)}
    for i, (detector, keys, unit) in enumerate(WORST):
        # The secrets' rows as detect=True runs; personal data's with every detector.
        detect = True if detector in DETECTOR_GROUPS["secrets"] else DETECTORS
        redactor = Redactor(**keys, detect=detect)
        text = unit * (size // len(unit) + 1)
        record = json.dumps({"msg": text}).encode() + b"\n"
        # The record's key is one the rules keep, so the detectors see its value.
        kept = Redactor(
            **{k: [*v, "msg"] if k == "trust" else v for k, v in keys.items()}, detect=detect
        )

        def lines(data: bytes, redactor: Redactor = kept) -> None:
            redactor.redact_json_lines(io.BytesIO(data), io.BytesIO())

        tools[f"{i} text"] = (redactor.scan, text, 3)
        tools[f"{i} json"] = (lines, record, 3)
        sizes[f"{i} text"] = len(text.encode())
        sizes[f"{i} json"] = len(record)
    times = rounds(tools, 3 if quick else 7)
    base = sizes["typical text"] / times["typical text"]
    base_json = sizes["typical json"] / times["typical json"]
    print(
        f"\nWorst cases, all detectors on: 200 KB of a unit repeated; typical log "
        f"{base / 1e6:,.1f} MB/s as text, {base_json / 1e6:,.1f} MB/s as one JSON Lines record"
    )
    print(
        "| detector | key rules | unit | scan MB/s | share of typical | "
        "JSON Lines record MB/s | share of typical |"
    )
    print("|---|---|---|--:|--:|--:|--:|")
    for i, (detector, keys, unit) in enumerate(WORST):
        shown = unit if len(unit) <= 24 else unit[:21] + "..."
        rules = ", ".join(f"{k}={v!r}" if len(v) < 3 else f"{k}=KEYS" for k, v in keys.items())
        text_rate = sizes[f"{i} text"] / times[f"{i} text"]
        json_rate = sizes[f"{i} json"] / times[f"{i} json"]
        print(
            f"| {detector} | {rules} | `{shown!r}` | {text_rate / 1e6:,.1f} | "
            f"{text_rate / base:.2f} | {json_rate / 1e6:,.1f} | {json_rate / base_json:.2f} |"
        )


def bench_logging(quick: bool) -> None:
    formatter = logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s")
    redacting = RedactingFilter(Redactor(omit=KEYS, detect=True))
    cases = {
        "no arguments": (
            "user bob logged in from 10.0.0.12 session=3f786850e387550fdab836ed7e6dc881",
            (),
        ),
        "two arguments": ("GET %s took %dms", ("/api/v1/users/12345?page=2&token=abc123", 23)),
        "mapping argument": (
            "login %(user)s %(password)s",
            ({"user": "bob", "password": "hunter2"},),
        ),
    }
    n = 2_000 if quick else 20_000
    print(f"\nLogging, per record (median of rounds of {n:,} records)")
    print("| record | format (plain) | RedactingFilter, detect=True | filter / format |")
    print("|---|--:|--:|--:|")
    for label, (msg, args) in cases.items():

        def fresh() -> list[logging.LogRecord]:
            return [
                logging.LogRecord("app", logging.INFO, "app.py", 1, msg, args, None)
                for _ in range(n)
            ]

        def formats(records: list[logging.LogRecord]) -> None:
            for record in records:
                formatter.format(record)

        def filters(records: list[logging.LogRecord]) -> None:
            for record in records:
                redacting.filter(record)

        samples: dict[str, list[float]] = {"format": [], "filter": []}
        for r in range(3 if quick else 9):
            order = [("format", formats), ("filter", filters)]
            for name, run in order if r % 2 else order[::-1]:
                samples[name].append(cpu_seconds(run, fresh(), 1) / n)
        fmt = statistics.median(samples["format"])
        flt = statistics.median(samples["filter"])
        print(f"| {label} | {fmt * 1e6:.2f} us | {flt * 1e6:.2f} us | {flt / fmt:.2f}x |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller text, fewer rounds")
    ap.add_argument("--worst", action="store_true", help="only the worst cases")
    cfg = ap.parse_args()
    bench_worst(cfg.quick)
    if not cfg.worst:
        bench_scan(cfg.quick)
        bench_logging(cfg.quick)


if __name__ == "__main__":
    main()
