"""The JSON text path against the tools users pick instead, side by side on
one JSON Lines file of error events in one run.

    python benchmarks/text.py                     # 200 MB, memory on 1 GB files
    python benchmarks/text.py --size-mb 50 --quick  # a quick look, no big files

The file (error-event records of benchmarks/data.py, about 1.7 KB and 72
entries a line, 8-key deny-list) is generated in /tmp and reused; it is
never committed.  Reported, in MB/s of input:

- the floors: copying the bytes once (read in 1 MiB blocks, written to
  /dev/null), and the scanner with a key list that matches nothing
  (validation and copy, no mask);
- zentrove's text path in this process (JSONStream over the same blocks,
  as the command line runs it), with the 8-key deny-list and with the
  allow-list, and the command line as a user runs it (process start
  included);
- orjson and the standard json module: loads + Omitter.omit + dumps per
  line; jq with a walk() that masks the same keys.  The slow peers run on
  the first part of the file only (the rate is what counts);
- peak RSS of the command line on a document and a JSON Lines file of
  --big-mb and of a tenth of that: flat memory means equal figures;
- the command line with --jobs 2 against --jobs 1 on --jobs-mb of lines.

Every round runs each tool once, in a rotating order; the table shows the
median of the rounds.  Rates are input bytes per second of CPU time (of the
tool's process and its children), since the machine is shared; --jobs is
wall time, and the load average is printed.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from data import KEYS_8, TRUSTED, log_record  # noqa: E402
from zentrove import Redactor  # noqa: E402
from zentrove._redact import JSONStream  # noqa: E402
from zentrove.omit import Omitter  # noqa: E402

BLOCK = 1 << 20
TMP = Path(os.environ.get("ZENTROVE_BENCH_DIR", "/tmp"))


def make_lines(path: Path, size: int) -> Path:
    if path.exists() and path.stat().st_size >= size:
        return path
    records = [json.dumps(log_record(seed)).encode() + b"\n" for seed in range(500)]
    with open(path, "wb") as out:
        written = 0
        while written < size:
            for record in records:
                out.write(record)
                written += len(record)
    return path


def make_document(path: Path, size: int) -> Path:
    """One JSON document: an object holding a list of the events, indented."""
    if path.exists() and path.stat().st_size >= size:
        return path
    records = [json.dumps(log_record(seed), indent=2).encode() for seed in range(500)]
    with open(path, "wb") as out:
        out.write(b'{"service": "payments", "events": [\n')
        written, first = 0, True
        while written < size:
            for record in records:
                out.write(record if first else b",\n" + record)
                first = False
                written += len(record) + 2
        out.write(b"\n]}\n")
    return path


def head(path: Path, size: int) -> Path:
    """The first lines of a file, about `size` bytes."""
    part = path.with_name(f"{path.stem}-head{size >> 20}.jsonl")
    if not part.exists():
        with open(path, "rb") as src, open(part, "wb") as out:
            while out.tell() < size and (line := src.readline()):
                out.write(line)
    return part


# ----------------------------------------------------------------- tools


def copy_bytes(path: Path) -> None:
    buffer = bytearray(BLOCK)
    with open(path, "rb", buffering=0) as src, open(os.devnull, "wb", buffering=0) as out:
        while n := src.readinto(buffer):
            out.write(memoryview(buffer)[:n])


def text_path(redactor: Redactor) -> Callable[[Path], None]:
    def run(path: Path) -> None:
        stream = JSONStream(redactor, lines=True)
        buffer = bytearray(BLOCK)
        view = memoryview(buffer)
        with open(path, "rb", buffering=0) as src, open(os.devnull, "wb", buffering=0) as out:
            while n := src.readinto(buffer):
                out.write(stream.feed(view[:n]))
            out.write(stream.close())
        assert not stream.pop_errors()

    return run


def command_line(*args: str) -> Callable[[Path], None]:
    def run(path: Path) -> None:
        subprocess.run(
            [sys.executable, "-m", "zentrove", *args, "--lines", str(path), "-o", os.devnull],
            check=True,
        )

    return run


def object_path(
    loads: Callable[[bytes], object], dumps: Callable[[object], bytes]
) -> Callable[[Path], None]:
    omitter = Omitter(list(KEYS_8))

    def run(path: Path) -> None:
        with open(path, "rb") as src, open(os.devnull, "wb") as out:
            for line in src:
                out.write(dumps(omitter.omit(loads(line))) + b"\n")

    return run


def stdlib_dumps(value: object) -> bytes:
    return json.dumps(value, ensure_ascii=False).encode()


JQ_FILTER = (
    'walk(if type == "object" then with_entries('
    "if (.key | IN(" + ", ".join(json.dumps(k) for k in KEYS_8) + ")) "
    'then .value |= walk(if type == "string" then "*" * length else . end) '
    "else . end) else . end)"
)


def jq(path: Path) -> None:
    subprocess.run(["jq", "-c", JQ_FILTER, str(path)], check=True, stdout=subprocess.DEVNULL)


# ------------------------------------------------------------- measuring


def cpu_seconds() -> float:
    """CPU time of this process and its finished children: on a shared
    machine a tool's own time, not the time others took from it."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def rates(tools: dict[str, tuple[Callable[[Path], None], Path]], rounds: int) -> dict[str, float]:
    """Median MB/s (of CPU time) of each tool over the rounds, run round-robin."""
    times: dict[str, list[float]] = {name: [] for name in tools}
    names = list(tools)
    for r in range(rounds):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            run, path = tools[name]
            start = cpu_seconds()
            run(path)
            times[name].append(cpu_seconds() - start)
    return {
        name: tools[name][1].stat().st_size / statistics.median(t) / 1e6
        for name, t in times.items()
    }


def peak_rss_mb(*args: str) -> float:
    """Peak RSS of the command line on its own, measured by /usr/bin/time."""
    result = subprocess.run(
        ["/usr/bin/time", "-f", "%M", sys.executable, "-m", "zentrove", *args],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        check=True,
        text=True,
    )
    return int(result.stderr.strip().splitlines()[-1]) / 1024


def wall(*args: str) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "zentrove", *args], check=True)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=200)
    parser.add_argument("--slow-mb", type=int, default=20, help="input size of the slow peers")
    parser.add_argument("--big-mb", type=int, default=1024)
    parser.add_argument("--jobs-mb", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="skip the big files")
    args = parser.parse_args()
    print(f"load average before: {os.getloadavg()}")

    lines = make_lines(TMP / f"zentrove-events-{args.size_mb}.jsonl", args.size_mb << 20)
    slow = head(lines, args.slow_mb << 20)
    jq_input = head(lines, 4 << 20)
    deny = Redactor(omit=KEYS_8)
    keys = [arg for key in KEYS_8 for arg in ("--omit", key)]
    tools: dict[str, tuple[Callable[[Path], None], Path]] = {
        "floor: copy the bytes": (copy_bytes, lines),
        "floor: scan + copy, no key matches": (text_path(Redactor(omit=["\x00"])), lines),
        "zentrove text path, 8-key deny-list": (text_path(deny), lines),
        "zentrove text path, allow-list": (text_path(Redactor(trust=TRUSTED)), lines),
        "zentrove --lines (command line)": (command_line(*keys), lines),
    }
    try:
        import orjson
    except ImportError:
        print("orjson is not installed (pip install '.[bench]'): skipped")
    else:
        tools["orjson loads + omit + dumps"] = (object_path(orjson.loads, orjson.dumps), slow)
    tools["json loads + omit + dumps"] = (object_path(json.loads, stdlib_dumps), slow)
    if shutil.which("jq"):
        tools["jq walk()"] = (jq, jq_input)
    else:
        print("jq is not installed (apt-get install jq): skipped")
    measured = rates(tools, args.rounds)
    ours = measured["zentrove text path, 8-key deny-list"]
    print(f"\n{lines.stat().st_size / 1e6:.0f} MB of JSON Lines, {args.rounds} rounds, median\n")
    print("| path | MB/s | zentrove is |")
    print("|---|--:|--:|")
    for name, rate in measured.items():
        print(f"| {name} | {rate:,.0f} | {ours / rate:.2f}x |")

    if not args.quick:
        big = args.big_mb << 20
        print("\n| peak RSS of the command line | 1/10 size | full size |")
        print("|---|--:|--:|")
        for kind, make in (("document", make_document), ("JSON Lines", make_lines)):
            suffix = "json" if kind == "document" else "jsonl"
            files = [make(TMP / f"zentrove-rss-{n >> 20}.{suffix}", n) for n in (big // 10, big)]
            rss = [peak_rss_mb(*keys, str(f), "-o", os.devnull) for f in files]
            small, large = (f.stat().st_size >> 20 for f in files)
            print(f"| {kind} ({small} / {large} MiB) | {rss[0]:.0f} MiB | {rss[1]:.0f} MiB |")
        jobs_file = make_lines(TMP / f"zentrove-events-{args.jobs_mb}.jsonl", args.jobs_mb << 20)
        one = min(wall(*keys, "--jobs", "1", str(jobs_file), "-o", os.devnull) for _ in range(2))
        two = min(wall(*keys, "--jobs", "2", str(jobs_file), "-o", os.devnull) for _ in range(2))
        size = jobs_file.stat().st_size / 1e6
        print(
            f"\n--jobs on {size:.0f} MB: 1 job {size / one:,.0f} MB/s, "
            f"2 jobs {size / two:,.0f} MB/s, speed-up {one / two:.2f}x (on {os.cpu_count()} cores)"
        )
    print(f"\nload average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
