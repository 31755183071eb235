"""Instruction counts of one walk, under valgrind's callgrind: repeatable on
a noisy machine where wall-clock times are not.

    python benchmarks/callgrind.py report [--calls 2000] [--keys 8]
    python benchmarks/callgrind.py growth [--max-exp 5]
    python benchmarks/callgrind.py paths [--calls 200]
    python benchmarks/callgrind.py walk TOOL CALLS KEYS   (what valgrind runs)
    python benchmarks/callgrind.py path PATH CALLS        (what valgrind runs)

`walk` decodes CALLS fresh copies of the ~70-entry log record, then hands
them to the tool through `itertools.starmap`; valgrind runs with
``--toggle-collect=starmap_next``, so only the calls are counted (plus the
few instructions of starmap itself), not the start-up, the imports or the
decoding.  `report` runs `walk` for every tool, prints instructions per call
and the ratios to zentrove, and annotates zentrove's own run: the costs
inside the module's shared object, inclusive and exclusive.  `growth` counts
instructions and simulated cache misses per entry on the growth data from
10^2 entries up: a constant instruction count per entry is linear work,
whatever the memory hierarchy adds to the wall-clock time.  `paths` counts
instructions per call of each Redactor path (8 keys denied) on 20 copies
of the log record: `redact_json` of the list as one document, with and
without ``detect=True``; a JSONStream fed the same records as JSON Lines;
`redacted`; `redact` (on fresh copies); `path` is one of them, counted the
same way as `walk`.

The installed module is normally stripped.  For names and lines, install an
unstripped copy with debug information (same -O3 code) and point
ZENTROVE_PROFILE_DIR at it:

    pip install --no-deps --target /tmp/zt_prof -C install.strip=false \\
        -C cmake.define.CMAKE_CXX_FLAGS=-g .
    ZENTROVE_PROFILE_DIR=/tmp/zt_prof python benchmarks/callgrind.py report
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOOLS = ["zentrove", "pure", "sentry", "django", "rollbar", "dumps"]


def walk(tool: str, calls: int, nkeys: int, entries: int = 0) -> None:
    prof = os.environ.get("ZENTROVE_PROFILE_DIR")
    if prof:
        sys.path.insert(0, prof)
    sys.path.insert(0, str(HERE))
    # The pure-Python walk is the tests' model of the module (tests/walk_model.py).
    sys.path.insert(1, str(HERE.parent / "tests"))
    import itertools

    import data
    import peers

    if entries:
        ds = data.DataSet("records", "", data.records(entries), data.DENY_LISTS[nkeys])
    else:
        ds = data.DataSet("log_record", "", data.log_record(), data.DENY_LISTS[nkeys])
    name = {
        "zentrove": peers.ZENTROVE,
        "pure": peers.PURE,
        "sentry": peers.SENTRY,
        "django": peers.DJANGO,
        "rollbar": peers.ROLLBAR,
        "dumps": peers.DUMPS,
    }[tool]
    (t,) = peers.tools_for(ds, [name])
    run = t.run
    for _ in range(3):  # warm the code paths (first-call caches, imports)
        run(ds.fresh())
    args = [(ds.fresh(),) for _ in range(calls)]
    out = list(itertools.starmap(run, args))
    assert len(out) == calls


PATHS = ["redact_json", "redact_json_detect", "json_lines", "redacted", "redact"]


def path(name: str, calls: int) -> None:
    prof = os.environ.get("ZENTROVE_PROFILE_DIR")
    if prof:
        sys.path.insert(0, prof)
    sys.path.insert(0, str(HERE))
    import itertools

    import data
    from zentrove import Redactor
    from zentrove._redact import JSONStream

    records = [json.loads(json.dumps(data.log_record(seed=i + 1))) for i in range(20)]
    document = json.dumps(records)
    lines = "".join(json.dumps(r) + "\n" for r in records).encode()
    plain = Redactor(omit=data.DENY_LISTS[8])

    def stream(chunk: bytes) -> bytes:
        s = JSONStream(plain, lines=True)
        return s.feed(chunk) + s.close()

    run, make = {
        "redact_json": (plain.redact_json, lambda: document),
        "redact_json_detect": (
            Redactor(omit=data.DENY_LISTS[8], detect=True).redact_json,
            lambda: document,
        ),
        "json_lines": (stream, lambda: lines),
        "redacted": (plain.redacted, lambda: records),
        "redact": (plain.redact, lambda: json.loads(document)),
    }[name]
    for _ in range(3):  # warm the code paths (first-call caches, imports)
        run(make())
    args = [(make(),) for _ in range(calls)]
    out = list(itertools.starmap(run, args))
    assert len(out) == calls


def paths(calls: int) -> dict:
    env = dict(os.environ, PYTHONHASHSEED="0")
    tmp = Path(tempfile.mkdtemp(prefix="zt_callgrind_paths_"))
    results = {}
    for name in PATHS:
        ir = _valgrind("path", calls, 0, tmp / f"callgrind.{name}.out", env, path_name=name)
        results[name] = ir / calls
        print(f"{name:>18}: {ir / calls:>12,.0f} instructions per call", flush=True)
    return results


def _valgrind(tool, calls, nkeys, outfile, env, entries=0, cache=False, path_name=None):
    """Counted events of the calls: Ir, or with cache=True the tuple
    (Ir, D1 misses, last-level misses) of the simulated caches."""
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={outfile}",
        "--toggle-collect=starmap_next",
        "--dump-instr=no",
    ]
    if cache:
        cmd.append("--cache-sim=yes")
    if path_name is not None:
        cmd += [sys.executable, __file__, "path", path_name, str(calls)]
    else:
        cmd += [
            sys.executable,
            __file__,
            "walk",
            tool,
            str(calls),
            str(nkeys),
            "--entries",
            str(entries),
        ]
    subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    text = Path(outfile).read_text(errors="replace")
    events = re.search(r"^events:\s+(.*)$", text, re.M).group(1).split()
    m = re.search(r"^totals:\s+(.*)$", text, re.M) or re.search(r"^summary:\s+(.*)$", text, re.M)
    # Trailing zero counts are left out of the totals line.
    values = dict.fromkeys(events, 0)
    values.update(zip(events, map(int, m.group(1).split())))
    if not cache:
        return values["Ir"]
    return (values["Ir"], values["D1mr"] + values["D1mw"], values["DLmr"] + values["DLmw"])


def growth(max_exp: int, tools: list[str]) -> dict:
    """Instructions and simulated first-level data-cache misses per entry of
    one walk of the growth data (records of 10 entries, 8 keys), 10^2 up to
    10^max_exp."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    sys.path.insert(0, str(HERE))
    import data

    tmp = Path(tempfile.mkdtemp(prefix="zt_callgrind_growth_"))
    out = {}
    for tool in tools:
        out[tool] = []
        for exp in range(2, max_exp + 1):
            entries = data.count_entries(data.records(10**exp))
            calls = max(1, 10**5 // 10**exp)
            ir, d1, _ = _valgrind(
                tool, calls, 8, tmp / f"{tool}.{exp}", env, entries=10**exp, cache=True
            )
            row = {"entries": entries, "ir": ir / calls / entries, "d1_miss": d1 / calls / entries}
            out[tool].append(row)
            print(
                f"{tool:>9} {entries:>9,} entries: {row['ir']:7.1f} Ir, "
                f"{row['d1_miss']:6.2f} simulated D1 misses per entry",
                flush=True,
            )
    return out


def _annotate(outfile, so_name, inclusive: bool) -> list[str]:
    res = subprocess.run(
        [
            "callgrind_annotate",
            f"--inclusive={'yes' if inclusive else 'no'}",
            "--threshold=100",
            outfile,
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    rows = []
    for line in res.stdout.splitlines():
        if so_name in line or "libpython" in line or "libc" in line:
            rows.append(line.rstrip())
    return rows


def report(calls: int, nkeys: int, tools: list[str]) -> dict:
    env = dict(os.environ, PYTHONHASHSEED="0")
    results = {}
    tmp = Path(tempfile.mkdtemp(prefix="zt_callgrind_"))
    for tool in tools:
        out = tmp / f"callgrind.{tool}.out"
        ir = _valgrind(tool, calls, nkeys, out, env)
        results[tool] = ir / calls
        print(f"{tool:>9}: {ir / calls:>10,.0f} instructions per call", flush=True)
    base = results.get("zentrove")
    if base:
        print()
        for tool, ir in results.items():
            print(f"{tool:>9}: {ir / base:6.2f}x zentrove")
    if "zentrove" in tools:
        f = tmp / "callgrind.zentrove.out"
        so = "omit.cpython"
        for inclusive in (True, False):
            print(f"\n-- {'inclusive' if inclusive else 'exclusive'} (Ir for {calls} walks) --")
            for row in _annotate(f, so, inclusive)[:25]:
                print(row)
        print(f"\nraw profile: {f}")
    return results


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    w = sub.add_parser("walk")
    w.add_argument("tool", choices=TOOLS)
    w.add_argument("calls", type=int)
    w.add_argument("keys", type=int)
    w.add_argument("--entries", type=int, default=0)
    g = sub.add_parser("growth")
    g.add_argument("--max-exp", type=int, default=5)
    g.add_argument("--tools", nargs="*", default=["zentrove", "dumps"])
    g.add_argument("--json", type=Path, default=None)
    p = sub.add_parser("path")
    p.add_argument("path", choices=PATHS)
    p.add_argument("calls", type=int)
    ps = sub.add_parser("paths")
    ps.add_argument("--calls", type=int, default=200)
    ps.add_argument("--json", type=Path, default=None)
    r = sub.add_parser("report")
    r.add_argument("--calls", type=int, default=2000)
    r.add_argument("--keys", type=int, default=8, choices=[1, 8, 45])
    r.add_argument("--tools", nargs="*", default=TOOLS)
    r.add_argument("--json", type=Path, default=None)
    a = ap.parse_args(argv)
    if a.cmd == "walk":
        walk(a.tool, a.calls, a.keys, a.entries)
        return 0
    if a.cmd == "path":
        path(a.path, a.calls)
        return 0
    if a.cmd == "paths":
        res = paths(a.calls)
        if a.json:
            a.json.write_text(json.dumps({"calls": a.calls, "instructions_per_call": res}) + "\n")
        return 0
    if a.cmd == "growth":
        res = growth(a.max_exp, a.tools)
        if a.json:
            a.json.write_text(json.dumps(res, indent=1) + "\n")
        return 0
    res = report(a.calls, a.keys, a.tools)
    if a.json:
        a.json.write_text(
            json.dumps({"calls": a.calls, "keys": a.keys, "instructions_per_call": res}, indent=1)
            + "\n"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
