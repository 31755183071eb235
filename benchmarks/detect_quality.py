"""Detectors: recall, precision and speed in one run, next to detect-secrets.

    python benchmarks/detect_quality.py            # about a minute
    python benchmarks/detect_quality.py --quick    # under a minute

- Recall: lines made from gitleaks' rules and from vendors' documented token
  formats (secret_samples.py), each token in three neutral log lines.  A line
  counts when every character of the secret is masked.
- Credential shapes that carry no vendor prefix (command lines, headers,
  connection strings), judged masked exactly, masked too much or missed.
- Personal data per kind, with the kind's own detector when there is one.
- Precision: lines that ``scan`` changes in text with no secrets in it on
  purpose (CPython's standard library, botocore's JSON data, Django), per MB;
  a sample of them goes to a file for review.
- Speed: the typical log of detect.py, MB/s, next to one ``str.translate``.

zentrove runs as ``Redactor(omit=KEYS, detect=True)``; detect-secrets with its
default plugins through ``scan_line``.  Figures go to stdout (Markdown) and,
with every rule and family, to ``detect_quality.json``.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import sysconfig
import time
from collections import defaultdict
from collections.abc import Callable, Iterable
from importlib.metadata import version
from pathlib import Path

import secret_samples as ss
import zentrove
from detect import log_text, luhn
from zentrove import Redactor

KEYS = ["password", "secret", "token", "api_key", "authorization"]
HERE = Path(__file__).resolve().parent


def masked(line: str, out: str, start: int, end: int) -> bool:
    """Every character of line[start:end] was masked (``scan`` keeps the
    length, so a changed character is a masked one; a `*` of the secret's
    own reads as masked, there is no telling)."""
    return all(out[i] != line[i] or out[i] == "*" for i in range(start, end))


def changed_outside(line: str, out: str, start: int, end: int) -> bool:
    return any(out[i] != line[i] for i in range(len(line)) if not start <= i < end)


class DetectSecrets:
    """detect-secrets with its default plugins and filters, line by line as
    its file scan reads a file.  (Its ``scan_line`` is an ad hoc mode that
    reports every word to the entropy plugins, so it is not used.)"""

    def __init__(self) -> None:
        from detect_secrets.core import scan
        from detect_secrets.settings import default_settings, get_settings

        self._lines = scan._process_line_based_plugins
        self._settings = default_settings
        self._get = get_settings

    def _flagged(self, lines: list[str], filename: str) -> dict[int, list[str]]:
        found: dict[int, list[str]] = defaultdict(list)
        with self._settings():
            # The file need not exist: these lines come from memory.
            self._get().disable_filters("detect_secrets.filters.common.is_invalid_file")
            numbered = list(enumerate(lines, 1))
            for secret in self._lines(numbered, filename):
                found[secret.line_number].append(secret.secret_value or "")
        return found

    def values(self, lines: Iterable[str], filename: str = "app.log") -> list[list[str]]:
        """What it reports on each line, each line scanned alone."""
        out = []
        for line in lines:
            out.append(self._flagged([line], filename).get(1, []))
        return out

    def flagged_lines(self, lines: list[str], filename: str) -> int:
        """Lines of a file it reports, the file scanned as a whole."""
        return len(self._flagged(lines, filename))


def ds_found(secret: str, values: list[str]) -> bool:
    """detect-secrets reports values, not spans, and some plugins report only
    a token's prefix (``ghp``): it finds the secret when a value it reports
    holds it or lies inside it."""
    return any(v and (secret in v or v in secret) for v in values)


# --- recall -------------------------------------------------------------------


def recall(samples: list[ss.Sample], redactor: Redactor, ds: DetectSecrets | None) -> dict:
    hits = [masked(s.line, redactor.scan(s.line), s.start, s.end) for s in samples]
    ds_hits = None
    if ds is not None:
        found = ds.values(s.line for s in samples)
        ds_hits = [ds_found(s.secret, vs) for s, vs in zip(samples, found)]
    by_rule: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0])
    by_family: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0])
    for i, s in enumerate(samples):
        for table, key in ((by_rule, s.name), (by_family, s.family)):
            table[key][0] += 1
            table[key][1] += hits[i]
            table[key][2] += bool(ds_hits and ds_hits[i])
    return {
        "lines": len(samples),
        "masked": sum(hits),
        "detect_secrets": sum(ds_hits) if ds_hits is not None else None,
        "rules": {
            k: dict(zip(("lines", "masked", "detect_secrets"), v)) for k, v in by_rule.items()
        },
        "families": {
            k: dict(zip(("lines", "masked", "detect_secrets"), v)) for k, v in by_family.items()
        },
    }


def pct(a: int, b: int) -> str:
    return f"{100 * a / b:.1f}%" if b else "n/a"


def print_recall(title: str, r: dict, worst: int) -> None:
    fams = r["families"]
    share = {k: v["masked"] / v["lines"] for k, v in fams.items()}
    ds = r["detect_secrets"]
    print(
        f"\n{title}: {r['lines']:,} lines, {len(r['rules'])} rules or formats, {len(fams)} families"
    )
    print("| | zentrove | detect-secrets |")
    print("|---|--:|--:|")
    print(
        f"| lines fully masked (found) | {pct(r['masked'], r['lines'])} | {pct(ds, r['lines']) if ds is not None else 'n/a'} |"
    )
    zero = sum(1 for v in fams.values() if v["masked"] == 0)
    zero_ds = sum(1 for v in fams.values() if v["detect_secrets"] == 0)
    print(f"| families with nothing masked | {zero} of {len(fams)} | {zero_ds} of {len(fams)} |")
    at90 = sum(1 for v in share.values() if v >= 0.9)
    print(
        f"| families at 90% or more | {at90} | {sum(1 for v in fams.values() if v['detect_secrets'] >= 0.9 * v['lines'])} |"
    )
    print(f"\nWorst {worst} families (zentrove; detect-secrets beside):")
    print("| family | lines | zentrove | detect-secrets |")
    print("|---|--:|--:|--:|")
    for k in sorted(share, key=lambda k: (share[k], -fams[k]["lines"], k))[:worst]:
        v = fams[k]
        print(
            f"| {k} | {v['lines']} | {pct(v['masked'], v['lines'])} | {pct(v['detect_secrets'], v['lines'])} |"
        )


# --- credential shapes and personal data --------------------------------------


def shapes(redactor: Redactor, ds: DetectSecrets | None) -> list[dict]:
    rows = []
    lines = [t.replace("<S>", s) for _, t, s in ss.CREDENTIAL_SHAPES]
    found = ds.values(lines) if ds else [[] for _ in lines]
    for (name, template, secret), line, vs in zip(ss.CREDENTIAL_SHAPES, lines, found):
        start = template.index("<S>")
        end = start + len(secret)
        out = redactor.scan(line)
        if not masked(line, out, start, end):
            verdict = "missed"
        elif changed_outside(line, out, start, end):
            verdict = "masked too much"
        else:
            verdict = "masked exactly"
        rows.append(
            {
                "shape": name,
                "line": line,
                "zentrove": verdict,
                "output": out,
                "detect_secrets": ds_found(secret, vs),
            }
        )
    return rows


def print_shapes(rows: list[dict]) -> None:
    counts = defaultdict(int)
    for r in rows:
        counts[r["zentrove"]] += 1
    print(
        f"\nCredential shapes ({len(rows)}): masked exactly {counts['masked exactly']}, "
        f"masked too much {counts['masked too much']}, missed {counts['missed']}; "
        f"detect-secrets finds {sum(r['detect_secrets'] for r in rows)}"
    )
    print("| shape | zentrove | zentrove's output | detect-secrets |")
    print("|---|---|---|---|")
    for r in rows:
        shown = r["output"].replace("|", "\\|")
        print(
            f"| {r['shape']} | {r['zentrove']} | `{shown}` | {'found' if r['detect_secrets'] else 'missed'} |"
        )


def pii(per_kind: int) -> list[dict]:
    everything = Redactor(omit=KEYS, detect=True)
    samples = list(ss.pii_samples(per_kind))
    rows = []
    for kind, names, _make, _templates in ss.PII_KINDS:
        mine = [s for s in samples if s.family == kind]
        name = next((n for n in names if n in zentrove.DETECTORS), None)
        own = None
        if name is not None:
            r = Redactor(omit=[], detect=[name])
            own = sum(masked(s.line, r.scan(s.line), s.start, s.end) for s in mine)
        any_mask = sum(masked(s.line, everything.scan(s.line), s.start, s.end) for s in mine)
        rows.append(
            {
                "kind": kind,
                "lines": len(mine),
                "detector": name,
                "masked": own,
                "masked_by_all": any_mask,
            }
        )
    return rows


def print_pii(rows: list[dict]) -> None:
    print("\nPersonal data")
    print("| kind | lines | detector | masked by it | masked by all detectors (detect=True) |")
    print("|---|--:|---|--:|--:|")
    for r in rows:
        if r["detector"] is None:
            det, own = "no detector yet", "n/a"
        else:
            det, own = r["detector"], pct(r["masked"], r["lines"])
        print(
            f"| {r['kind']} | {r['lines']} | {det} | {own} | {pct(r['masked_by_all'], r['lines'])} |"
        )


# --- precision ----------------------------------------------------------------

_SECRET_KEY = re.compile(
    r"(?i)[\"']?[\w.-]*(?:passw(?:or)?d|secret|token|api_?key|authorization|credential)[\w.-]*"
    r"[\"']?\s*[:=]\s*$"
)


def judge(line: str, out: str) -> str:
    """A cheap verdict on a changed line: "card" (a Luhn-valid number was
    masked), "credential shape" (an AWS key id or a private key's body, as
    botocore's examples document them), "keyed literal" (a whole quoted value
    right after a secret-ish key: a documented example password, say), else
    "false" (a variable, a call, a format string, prose)."""
    runs = []
    i = 0
    while i < len(line):
        if out[i] != line[i]:
            j = i
            # A `*` of the original inside a mask is part of the mask.
            while j < len(line) and (out[j] != line[j] or out[j] == "*"):
                j += 1
            runs.append((i, j))
            i = j
        else:
            i += 1
    verdicts = []
    for i, j in runs:
        text = line[i:j]
        digits = re.sub(r"[ -]", "", text)
        if digits.isdigit() and 13 <= len(digits) <= 19 and luhn(digits):
            verdicts.append("card")
        elif re.fullmatch(r"(?:AKIA|ASIA)[A-Z0-9]{16}", text) or (
            "PRIVATE KEY-----" in line[:i] and line[j:].startswith("-----END")
        ):
            verdicts.append("credential shape")
        elif (
            i > 0
            and j < len(line)
            and line[i - 1] in "\"'"
            and line[j] == line[i - 1]
            and _SECRET_KEY.search(line[: i - 1].replace("\\", ""))
            and '"' not in text
        ):
            verdicts.append("keyed literal")
        else:
            verdicts.append("false")
    return "false" if "false" in verdicts else verdicts[0] if verdicts else "false"


def corpora() -> dict[str, list[Path]]:
    import botocore
    import django

    std = Path(sysconfig.get_paths()["stdlib"])
    stdlib = sorted(
        p
        for p in std.rglob("*.py")
        if "test" not in p.relative_to(std).parts and "site-packages" not in p.parts
    )
    boto = sorted((Path(botocore.__file__).parent / "data").rglob("*.json"))
    dj = sorted(Path(django.__file__).parent.rglob("*.py"))
    return {
        "CPython stdlib (.py, no test/)": stdlib,
        "botocore data (*.json)": boto,
        "Django (.py)": dj,
    }


def precision(quick: bool, ds: DetectSecrets | None, changes: Path) -> list[dict]:
    redactor = Redactor(omit=KEYS, detect=True)
    rows = []
    with open(changes, "w", encoding="utf-8") as report:
        report.write("# Lines that Redactor(omit=KEYS, detect=True).scan changed, per corpus:\n")
        report.write("# verdict | file:line | original | scanned\n")
        for name, files in corpora().items():
            files = files[::4] if quick else files
            size = 0
            changed: dict[str, int] = defaultdict(int)
            shown = 0
            ds_files = files[::10]  # detect-secrets reads about 0.1 MB/s
            ds_size = ds_flagged = 0
            for path in files:
                text = path.read_text(encoding="utf-8", errors="replace")
                size += len(text.encode())
                lines = text.split("\n")
                out = redactor.scan(text).split("\n")
                if len(out) != len(lines):  # a mask took a line break: line by line
                    out = [redactor.scan(line) for line in lines]
                for n, (a, b) in enumerate(zip(lines, out), 1):
                    if a != b:
                        verdict = judge(a, b)
                        changed[verdict] += 1
                        if shown < 150 or (verdict != "false" and shown < 200):
                            shown += 1
                            report.write(
                                f"{verdict} | {path.name}:{n} | {a.strip()[:200]} | {b.strip()[:200]}\n"
                            )
                if ds is not None and path in ds_files:
                    ds_size += len(text.encode())
                    ds_flagged += ds.flagged_lines(lines, str(path))
            total = sum(changed.values())
            rows.append(
                {
                    "corpus": name,
                    "files": len(files),
                    "MB": size / 1e6,
                    "changed": total,
                    "verdicts": dict(changed),
                    "per_MB": total / (size / 1e6),
                    "false_per_MB": changed["false"] / (size / 1e6),
                    "ds_files": len(ds_files) if ds else 0,
                    "ds_MB": ds_size / 1e6,
                    "ds_flagged": ds_flagged,
                    "ds_per_MB": ds_flagged / (ds_size / 1e6) if ds_size else None,
                }
            )
    return rows


def print_precision(rows: list[dict]) -> None:
    print(
        "\nPrecision: changed lines per MB (zentrove on every file; detect-secrets on every tenth file)"
    )
    print(
        "| corpus | files | MB | zentrove changed lines | per MB | judged false | false per MB | detect-secrets lines flagged | per MB (subset MB) |"
    )
    print("|---|--:|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        ds = f"{r['ds_per_MB']:.1f} ({r['ds_MB']:.2f})" if r["ds_per_MB"] is not None else "n/a"
        print(
            f"| {r['corpus']} | {r['files']} | {r['MB']:.2f} | {r['changed']} | {r['per_MB']:.1f} | "
            f"{r['verdicts'].get('false', 0)} | {r['false_per_MB']:.1f} | {r['ds_flagged']} | {ds} |"
        )


# --- speed --------------------------------------------------------------------


def cpu(run: Callable[[], object], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        run()
        best = min(best, time.process_time() - t0)
    return best


def speed(quick: bool, ds: DetectSecrets | None) -> dict:
    lines = log_text(2_000 if quick else 20_000)
    text = "\n".join(lines)
    size = len(text.encode())
    redactor = Redactor(omit=KEYS, detect=True)
    with_pii = Redactor(omit=KEYS, detect=["secrets", "pii"])
    table = str.maketrans("0123456789", "**********")
    rounds = 3 if quick else 7
    # Interleaved, so a busy machine slows each alike.
    scan = translate = pii_scan = float("inf")
    for _ in range(rounds):
        scan = min(scan, cpu(lambda: redactor.scan(text), 1))
        translate = min(translate, cpu(lambda: text.translate(table), 1))
        pii_scan = min(pii_scan, cpu(lambda: with_pii.scan(text), 1))
    few = lines[: len(lines) // 20]
    ds_time = cpu(lambda: ds.values(few), 1) if ds else None
    return {
        "MB": size / 1e6,
        "scan_MBps": size / scan / 1e6,
        "translate_MBps": size / translate / 1e6,
        "ratio": scan / translate,
        "pii_MBps": size / pii_scan / 1e6,
        "ds_MBps": len("\n".join(few).encode()) / ds_time / 1e6 if ds_time else None,
    }


def print_speed(s: dict) -> None:
    print(f"\nSpeed on detect.py's typical log ({s['MB']:.1f} MB), CPU time, best of rounds")
    print("| tool | MB/s | time relative to str.translate |")
    print("|---|--:|--:|")
    print(
        f"| zentrove scan, all detectors, whole text | {s['scan_MBps']:,.1f} | {s['ratio']:.1f}x |"
    )
    print(
        f"| zentrove scan, secrets and personal data | {s['pii_MBps']:,.1f} | "
        f"{s['translate_MBps'] / s['pii_MBps']:.1f}x |"
    )
    print(f"| str.translate, one pass | {s['translate_MBps']:,.1f} | 1x |")
    if s["ds_MBps"]:
        t = s["scan_MBps"] / s["ds_MBps"]
        print(
            f"| detect-secrets, line by line (a twentieth) | {s['ds_MBps']:,.2f} | zentrove {t:,.0f}x faster |"
        )


def print_side_by_side(results: dict) -> None:
    """The figures that compare the two tools, in one table."""
    both = results["gitleaks"], results["vendor"]
    shapes_found = sum(r["zentrove"] != "missed" for r in results["shapes"])
    shapes_exact = sum(r["zentrove"] == "masked exactly" for r in results["shapes"])
    rows = [
        (
            f"{name}: lines with the secret found",
            pct(r["masked"], r["lines"]),
            pct(r["detect_secrets"], r["lines"]) if r["detect_secrets"] is not None else "n/a",
        )
        for name, r in zip(("gitleaks' rules", "vendors' formats"), both)
    ]
    rows.append(
        (
            f"credential shapes found (of {len(results['shapes'])})",
            f"{shapes_found} ({shapes_exact} exactly)",
            str(sum(r["detect_secrets"] for r in results["shapes"])),
        )
    )
    for r in results["precision"]:
        ds = f"{r['ds_per_MB']:.1f}" if r["ds_per_MB"] is not None else "n/a"
        rows.append(
            (
                f"{r['corpus']}: lines changed (flagged) per MB, judged false",
                f"{r['per_MB']:.1f}, {r['false_per_MB']:.1f} false",
                ds,
            )
        )
    s = results["speed"]
    ds_speed = f"{s['ds_MBps']:,.2f}" if s["ds_MBps"] else "n/a"
    rows.append(("typical log, MB/s", f"{s['scan_MBps']:,.0f}", ds_speed))
    print("\nSide by side (zentrove: Redactor(omit=KEYS, detect=True); detect-secrets: defaults)")
    print("| | zentrove | detect-secrets |")
    print("|---|--:|--:|")
    for label, ours, theirs in rows:
        print(f"| {label} | {ours} | {theirs} |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--quick", action="store_true", help="5 samples a rule, a quarter of each corpus"
    )
    ap.add_argument("--no-peer", action="store_true", help="skip detect-secrets")
    ap.add_argument("--json", type=Path, default=HERE / "detect_quality.json")
    ap.add_argument("--changes", type=Path, default=HERE / "detect_quality_changes.txt")
    cfg = ap.parse_args()
    t0 = time.time()
    ds = None if cfg.no_peer else DetectSecrets()
    per = 5 if cfg.quick else 30
    redactor = Redactor(omit=KEYS, detect=True)
    rules = ss.load_rules()
    rule_set = list(ss.rule_samples(rules, per))
    vendor = list(ss.vendor_samples(per))
    print(f"zentrove {version('zentrove')}, detectors: {', '.join(zentrove.DETECTORS)}")
    print(f"Redactor(omit={KEYS}, detect=True); {per} samples per rule or format, 3 lines each")
    results: dict = {"quick": cfg.quick, "per_rule": per}
    results["gitleaks"] = recall(rule_set, redactor, ds)
    results["gitleaks"]["not_generated"] = {r.id: r.problem for r in rules if r.problem}
    results["vendor"] = recall(vendor, redactor, ds)
    results["all"] = recall(rule_set + vendor, redactor, None)
    print_recall("gitleaks' rules", results["gitleaks"], 15)
    print("\nRules without samples:", results["gitleaks"]["not_generated"] or "none")
    print_recall("Vendors' documented formats", results["vendor"], 12)
    a = results["all"]
    fams = a["families"].values()
    print(
        f"\nBoth sets: {pct(a['masked'], a['lines'])} of {a['lines']:,} lines fully masked; "
        f"{len(fams)} families, {sum(1 for f in fams if not f['masked'])} with nothing masked, "
        f"{sum(1 for f in fams if f['masked'] >= 0.9 * f['lines'])} at 90% or more "
        "(goals: 95% of lines, 90% in every family)"
    )
    results["shapes"] = shapes(redactor, ds)
    print_shapes(results["shapes"])
    results["pii"] = pii(30 if cfg.quick else 300)
    print_pii(results["pii"])
    results["precision"] = precision(cfg.quick, ds, cfg.changes)
    print_precision(results["precision"])
    print(f"(changed lines, with a verdict each, in {cfg.changes.name})")
    results["speed"] = speed(cfg.quick, ds)
    print_speed(results["speed"])
    print_side_by_side(results)
    results["seconds"] = time.time() - t0
    cfg.json.write_text(json.dumps(results, indent=1, sort_keys=True))
    print(f"\n{results['seconds']:.0f} s; all figures in {cfg.json.name}", file=sys.stderr)


if __name__ == "__main__":
    main()
