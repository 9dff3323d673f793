"""Sharded build on a local Dask cluster with 1 and 2 workers, beside a one-process build.

Every build stores the same pairs: key "user:{i:010d}", value "plan-{i % 1000}" (so values
repeat and are stored once per store). The one-process baseline
stages them with one VornWriter and builds one store, in a child process of its own so
that its peak memory is its own. The Dask builds make their input on the workers (a
DataFrame partition per task, as a cluster reading files would) and publish a sharded set.
Prints wall times, the speed-up of 2 workers over 1, and each process's peak RSS.
Timings are noisy on a shared machine: compare the ratios within one run.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import resource
import subprocess
import sys
import tempfile
import time

PLANS = 1000


def value_of(i: int) -> str:
    return f"plan-{i % PLANS}"


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def single_process(pairs: int, directory: str) -> None:
    """The baseline, run in a child: one writer, one store; prints time and peak RSS."""
    from vornel import VornWriter

    start = time.perf_counter()
    writer = VornWriter()
    for i in range(pairs):
        writer.add(f"user:{i:010d}", value_of(i))
    writer.build(os.path.join(directory, "single.vrnl"))
    print(json.dumps({"seconds": time.perf_counter() - start, "peak_mb": peak_rss_mb(),
                      "cpu": cpu_seconds()}))


def make_frame(part: int, pairs: int, parts: int):  # type: ignore[no-untyped-def]
    import pandas

    lo, hi = pairs * part // parts, pairs * (part + 1) // parts
    return pandas.DataFrame({
        "key": [f"user:{i:010d}" for i in range(lo, hi)],
        "value": [value_of(i) for i in range(lo, hi)],
    })


def dask_build(workers: int, pairs: int, shards: int, parts: int, directory: str,
               shuffle: str) -> dict:
    import dask.dataframe as dd
    import distributed

    from vornel.dask import build_sharded

    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=":0", silence_logs=logging.CRITICAL, memory_limit=0,
    ) as cluster, distributed.Client(cluster) as client:
        idle = client.run(peak_rss_mb)
        cpu_before = client.run(cpu_seconds)
        frame = dd.from_map(make_frame, range(parts), pairs=pairs, parts=parts)
        start = time.perf_counter()
        manifest = build_sharded(frame, directory, shards=shards, shuffle_method=shuffle)
        seconds = time.perf_counter() - start
        peaks = client.run(peak_rss_mb)
        cpu = client.run(cpu_seconds)
    assert manifest["num_keys"] == pairs
    return {"seconds": seconds, "worker_peak_mb": sorted(peaks.values()),
            "idle_mb": max(idle.values()),
            "worker_cpu": sorted(cpu[w] - cpu_before[w] for w in cpu)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=10_000_000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--parts", type=int, default=32, help="input partitions")
    # The values are plain strings, so Dask's disk-backed p2p shuffle applies; it keeps a
    # worker's memory to its shards better than the in-memory task shuffle.
    parser.add_argument("--shuffle", default="p2p", choices=["tasks", "p2p"])
    parser.add_argument("--single-child", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.single_child:
        single_process(args.pairs, args.single_child)
        return

    print(f"sharded build: {args.pairs:,} pairs, {args.shards} shards, "
          f"{args.parts} input partitions, {args.shuffle} shuffle, {os.cpu_count()} CPUs")
    with tempfile.TemporaryDirectory() as tmp:
        child = subprocess.run(
            [sys.executable, __file__, "--pairs", str(args.pairs), "--single-child", tmp],
            check=True, capture_output=True, text=True)
        single = json.loads(child.stdout.strip().splitlines()[-1])
        print(f"  one process, one store : {single['seconds']:8.1f} s"
              f"   peak {single['peak_mb']:7.0f} MB   CPU {single['cpu']:.1f} s")
        runs = {}
        for workers in (1, 2):
            runs[workers] = run = dask_build(
                workers, args.pairs, args.shards, args.parts, os.path.join(tmp, f"w{workers}"),
                args.shuffle)
            peaks = " ".join(f"{mb:.0f}" for mb in run["worker_peak_mb"])
            cpus = " ".join(f"{s:.1f}" for s in run["worker_cpu"])
            print(f"  dask, {workers} worker(s)       : {run['seconds']:8.1f} s"
                  f"   peak per worker {peaks} MB (idle worker {run['idle_mb']:.0f} MB)"
                  f"   CPU per worker {cpus} s")
    print(f"  speed-up 2 workers / 1 worker : {runs[1]['seconds'] / runs[2]['seconds']:.2f}x"
          " (target 1.7x)")
    print(f"  2 workers / one process      : {single['seconds'] / runs[2]['seconds']:.2f}x")
    # On a machine shared with other work, wall time depends on what else runs; the
    # busiest worker's CPU time is what the build would take with a core per worker.
    print(f"  CPU bound of the speed-up (1-worker CPU / busiest of 2 workers' CPU) : "
          f"{runs[1]['worker_cpu'][-1] / runs[2]['worker_cpu'][-1]:.2f}x")
    print(f"  largest worker peak / one-process peak : "
          f"{max(runs[2]['worker_peak_mb']) / single['peak_mb']:.2f} (2 workers), "
          f"{max(runs[1]['worker_peak_mb']) / single['peak_mb']:.2f} (1 worker)")


if __name__ == "__main__":
    main()
