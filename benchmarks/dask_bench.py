"""zentrove.dask on a JSON Lines file: one worker against two, and a worker
against the single-process path, measured side by side in one run.

    python benchmarks/dask_bench.py                 # 500 MB, about 3 minutes
    python benchmarks/dask_bench.py --size-mb 50    # a quick look

The file (error-event records of benchmarks/data.py, about 2 KB a line) is
generated once in /tmp and reused; it is never committed.  Reported:

- the single-process paths: the command line (``zentrove --lines``),
  ``Redactor.redact_json_lines`` over the whole file, and the partition
  function of zentrove.dask run in this process over the same blocks with no
  scheduler, split into reading, redaction and writing;
- ``redact_text_files`` on a ``LocalCluster`` of 1 and of 2 worker processes
  (one thread each): wall time, the compute time of the tasks, and the rest
  (scheduling, transfers, start of the tasks) as wall time minus the busiest
  worker's compute time;
- the load average of the machine before and after, which is shared.

Outputs go to /dev/shm by default: on this machine a disk directory holds the
pace of write-back once a few runs' outputs are dirty (``--out /tmp/x`` to
measure that too).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

import distributed
from dask.utils import parse_bytes

import zentrove._dask_tasks as tasks
import zentrove.dask as zd
from zentrove._stream import redact_stream
from zentrove.omit import Omitter

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

KEYS = data.KEYS_8
WORK = Path("/tmp/zentrove-dask-bench")


def make_redactor(kind: str):
    if kind == "redactor":
        from zentrove import Redactor

        return Redactor(omit=KEYS, exact=True)
    return Omitter(KEYS)


def generate(path: Path, size: int) -> None:
    if path.exists() and path.stat().st_size >= size:
        return
    lines = [json.dumps(data.log_record(seed)).encode() + b"\n" for seed in range(1, 201)]
    chunk = b"".join(lines)
    with open(path, "wb") as out:
        written = 0
        while written < size:
            out.write(chunk)
            written += len(chunk)


def cli_path(source: Path, out: Path) -> dict[str, float]:
    """The command line, one process (the text path, exact keys)."""
    command = [sys.executable, "-m", "zentrove", "--lines", "--exact", "-o", str(out)]
    for key in KEYS:
        command += ["--omit", key]
    start = time.perf_counter()
    subprocess.run([*command, str(source)], check=True)
    return {"total": time.perf_counter() - start}


def stream_path(source: Path, out: Path, redactor) -> dict[str, float]:
    """Redactor.redact_json_lines over the whole file in this process."""
    start = time.perf_counter()
    with open(source, "rb") as src, open(out, "wb") as dst:
        redactor.redact_json_lines(src, dst)
    return {"total": time.perf_counter() - start}


def in_process(source: Path, out: Path, redactor, blocksize: int) -> dict[str, float]:
    """The partition function over every block in turn, with no scheduler;
    then, apart, what its phases cost on the same bytes: reading the file,
    redacting in memory, writing the output."""
    parts, out_fs, root = zd._plan(str(source), str(out), blocksize, None, None, {})
    out_fs.makedirs(root, exist_ok=True)
    engine = tasks.task_engine(redactor)
    start, cpu = time.perf_counter(), _cpu_seconds()
    for part in parts:
        tasks.redact_part_or_raise(part, engine, False)
    total, cpu = time.perf_counter() - start, _cpu_seconds() - cpu
    chunk = tasks.CHUNK
    start = time.perf_counter()
    with open(source, "rb") as src:
        while src.read(chunk):
            pass
    read = time.perf_counter() - start
    data = source.read_bytes()
    view = memoryview(data)
    start = time.perf_counter()
    if engine.native is not None:
        chunks = (view[i : i + chunk] for i in range(0, len(data), chunk))
        redact_stream(engine.native, chunks, lambda out: None, lambda error: None, lines=True)
    else:
        tasks.redact_data(data, False, engine, False)
    redact = time.perf_counter() - start
    start = time.perf_counter()
    with open(out / "write-floor", "wb") as dst:
        for i in range(0, len(data), chunk):
            dst.write(view[i : i + chunk])
    write = time.perf_counter() - start
    return {"total": total, "cpu": cpu, "read": read, "redact": redact, "write": write}


def median(runs: list[dict[str, float]]) -> dict[str, float]:
    """Each figure's median over the rounds."""
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def _cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system


def on_cluster(
    source: Path, out: Path, redactor, blocksize: int, workers: int, rounds: int
) -> dict[str, float]:
    with (
        distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # Warm the workers up (imports, the native modules) off the clock.
        warm = WORK / "warm.jsonl"
        warm.write_bytes(source.open("rb").read(1 << 20).rsplit(b"\n", 1)[0] + b"\n")
        zd.redact_text_files(str(warm), str(out), redactor)
        return median(
            [_cluster_round(client, source, out, redactor, blocksize) for _ in range(rounds)]
        )


def _cluster_round(client, source: Path, out: Path, redactor, blocksize: int) -> dict[str, float]:
    cpu_before = client.run(_cpu_seconds)
    with distributed.get_task_stream(client) as stream:
        start = time.perf_counter()
        summary = zd.redact_text_files(str(source), str(out), redactor, blocksize=blocksize)
        wall = time.perf_counter() - start
    cpu_after = client.run(_cpu_seconds)
    busy = defaultdict(float)
    for task in stream.data:
        for span in task["startstops"]:
            if span["action"] == "compute":
                busy[task["worker"]] += span["stop"] - span["start"]
    assert summary.bad_lines == 0
    shutil.rmtree(out)
    return {
        "wall": wall,
        "compute": sum(busy.values()),
        "overhead": wall - max(busy.values()),
        # CPU seconds of the busiest worker process: on a shared machine
        # this says what one worker costs when wall time cannot.
        "cpu": max(cpu_after[w] - cpu_before[w] for w in cpu_after),
        "partitions": len(summary.outputs),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=500)
    parser.add_argument(
        "--out",
        default="/dev/shm/zentrove-dask-bench" if Path("/dev/shm").is_dir() else str(WORK),
        help="where the outputs go (default: memory, so that the disk's "
        "write-back does not set the pace; name a disk directory to include it)",
    )
    parser.add_argument("--blocksize", default="32MiB")
    parser.add_argument(
        "--rounds", type=int, default=3, help="runs of each path; medians are shown"
    )
    parser.add_argument("--redactor", choices=["omitter", "redactor"], default="redactor")
    args = parser.parse_args(argv)
    WORK.mkdir(exist_ok=True)
    source = WORK / f"events-{args.size_mb}mb.jsonl"
    generate(source, args.size_mb * 1_000_000)
    size_mb = source.stat().st_size / 1e6
    blocksize = parse_bytes(args.blocksize)
    redactor = make_redactor(args.redactor)
    text_path = hasattr(redactor, "redact_json")
    load_before = os.getloadavg()

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    def clean(path: Path) -> None:
        # Each run's output goes at once, so that dirty pages of one run do
        # not slow the writes of the next.
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)

    def rounds(run, path: Path) -> dict[str, float]:
        figures = []
        for _ in range(args.rounds):
            figures.append(run(path))
            clean(path)
        return median(figures)

    results = {}
    if args.redactor == "redactor":
        results["command line"] = rounds(lambda path: cli_path(source, path), out / "cli.jsonl")
        results["json lines"] = rounds(
            lambda path: stream_path(source, path, redactor), out / "stream.jsonl"
        )
    results["in process"] = rounds(
        lambda path: in_process(source, path, redactor, blocksize), out / "out-local"
    )
    for workers in (1, 2):
        results[f"{workers} worker(s)"] = on_cluster(
            source, out / f"out-{workers}", redactor, blocksize, workers, args.rounds
        )
    load_after = os.getloadavg()

    print(
        f"{size_mb:.0f} MB JSON Lines, {type(redactor).__name__} with 8 keys, "
        f"{'text path' if text_path else 'parse-walk-dump'}, blocks of {args.blocksize}, "
        f"outputs in {args.out}, median of {args.rounds} runs"
    )
    print(f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f} (2 cores, shared)")
    for name, result in results.items():
        seconds = result.get("wall", result.get("total"))
        detail = ", ".join(
            f"{k} {v:.2f}s" for k, v in result.items() if k not in ("wall", "total", "partitions")
        )
        print(f"  {name:14} {seconds:7.2f}s {size_mb / seconds:8.1f} MB/s   {detail}")
    one, two = results["1 worker(s)"]["wall"], results["2 worker(s)"]["wall"]
    local = results["in process"]["total"]
    print(f"2 workers / 1 worker: {one / two:.2f}x (goal >= 1.7x)")
    print(f"per-worker throughput, 2 workers / in process: {local / (2 * two):.2f} (goal >= 0.8)")
    cpu_local, cpu_two = results["in process"]["cpu"], results["2 worker(s)"]["cpu"]
    print(f"CPU per byte, in process / busiest of 2 workers: {cpu_local / (2 * cpu_two):.2f}")
    for name in ("json lines", "command line"):
        if name in results:
            single = results[name]["total"]
            print(f"per-worker throughput, 2 workers / {name}: {single / (2 * two):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
