"""A careful timeit-style harness.

* Inputs are made fresh for every batch, before the clock starts, and the
  results are kept alive until it stops, so neither decoding a copy nor
  freeing a tool's output is timed.
* One batch = `list(map(run, inputs))`: the loop costs the same for every
  tool and stays in C.
* Batch sizes are calibrated so that one batch takes about `batch_seconds`,
  and capped so that a batch of decoded inputs stays near the size of the
  processor's caches (`max_batch_bytes`): a walk then reads data that was
  just made, as it does right after decoding a request, instead of data
  that a huge batch pushed out to memory.
* The tools of one data set are measured round-robin (the order rotates
  every round), so drift of a noisy machine hits all of them alike, and the
  ratios inside one data set are taken between neighbouring samples.
* Warm-up rounds are discarded; the cyclic collector is off while a batch
  runs (as in timeit) and collects between data sets.
* Each tool reports the median time per call and the spread (interquartile
  range, min, max) over the rounds.
"""

from __future__ import annotations

import gc
import statistics
import time

perf_ns = time.perf_counter_ns


def _time_batch(run, inputs) -> int:
    gc.disable()
    try:
        t0 = perf_ns()
        results = list(map(run, inputs))
        t1 = perf_ns()
    finally:
        gc.enable()
    del results
    return t1 - t0


def calibrate(tool, ds, batch_seconds: float, max_batch: int) -> int:
    """Number of calls per batch so that a batch takes ~batch_seconds, at
    most `max_batch`."""
    best = None
    for _ in range(3):
        ns = _time_batch(tool.run, [tool.fresh(ds)])
        best = ns if best is None else min(best, ns)
    per_call = max(best, 1) / 1e9
    if per_call >= batch_seconds:
        return 1
    n = max(1, int(batch_seconds / per_call))
    # Re-measure with a real batch: single calls overestimate fast tools.
    ns = _time_batch(tool.run, [tool.fresh(ds) for _ in range(min(n, max_batch))])
    per_call = ns / min(n, max_batch) / 1e9
    return max(1, min(max_batch, int(batch_seconds / max(per_call, 1e-9))))


def summarise(per_call_ns: list[float]) -> dict:
    s = sorted(per_call_ns)
    n = len(s)
    q = statistics.quantiles(s, n=4, method="inclusive") if n >= 2 else s * 3
    med = statistics.median(s)
    return {
        "median_ns": med,
        "q1_ns": q[0],
        "q3_ns": q[2],
        "min_ns": s[0],
        "max_ns": s[-1],
        "iqr_pct": 100.0 * (q[2] - q[0]) / med if med else 0.0,
        "rounds": n,
    }


# A decoded payload takes roughly this many times its JSON size in memory.
DECODED_FACTOR = 8


def measure(
    tools,
    ds,
    *,
    rounds: int,
    warmup: int,
    batch_seconds: float,
    max_batch: int,
    max_batch_bytes: int,
    log=None,
) -> dict:
    """Median time per call of each tool on data set `ds`."""
    gc.collect()
    cap = max(1, min(max_batch, max_batch_bytes // (DECODED_FACTOR * len(ds.blob))))
    batches = {t.name: calibrate(t, ds, batch_seconds, cap) for t in tools}
    samples = {t.name: [] for t in tools}
    order = list(tools)
    for r in range(warmup + rounds):
        k = r % len(order)
        for tool in order[k:] + order[:k]:
            n = batches[tool.name]
            inputs = [tool.fresh(ds) for _ in range(n)]
            ns = _time_batch(tool.run, inputs)
            del inputs
            if r >= warmup:
                samples[tool.name].append(ns / n)
    gc.collect()
    out = {}
    for tool in tools:
        out[tool.name] = summarise(samples[tool.name])
        out[tool.name]["batch"] = batches[tool.name]
        if log:
            st = out[tool.name]
            log(
                f"    {tool.name:<24} {fmt_ns(st['median_ns']):>10}  "
                f"±{st['iqr_pct'] / 2:4.1f}%  ({st['rounds']} rounds x "
                f"{st['batch']})"
            )
    return out


def fmt_ns(ns: float) -> str:
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"
