"""Sharded build on a local Dask cluster with 1 and 2 workers, beside a one-process build.

With --jsonl: the records of 8 JSON Lines files built into 8 shards on a 2-worker local
cluster (the cluster started beforehand), beside one process reading the same files into
one store.

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


def dask_build(workers: int, pairs: int, shards: int, parts: int, directory: str) -> dict:
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
        manifest = build_sharded(frame, directory, shards=shards)
        seconds = time.perf_counter() - start
        peaks = client.run(peak_rss_mb)
        cpu = client.run(cpu_seconds)
    assert manifest["num_keys"] == pairs
    return {"seconds": seconds, "worker_peak_mb": sorted(peaks.values()),
            "idle_mb": max(idle.values()),
            "worker_cpu": sorted(cpu[w] - cpu_before[w] for w in cpu)}


def write_jsonl(directory: str, records: int, files: int) -> list[str]:
    paths = []
    for f in range(files):
        path = os.path.join(directory, f"part-{f}.jsonl")
        with open(path, "w") as out:
            for i in range(f * records // files, (f + 1) * records // files):
                out.write(json.dumps({"key": f"user:{i:010d}",
                                      "value": {"plan": value_of(i), "n": i}}) + "\n")
        paths.append(path)
    return paths


def jsonl_single(paths: list[str], out: str) -> None:
    """The baseline, run in a child: the same files read into one store by one process."""
    from vornel import VornWriter

    start = time.perf_counter()
    writer = VornWriter()
    for path in paths:
        with open(path, "rb") as f:
            writer.update((r["key"], r["value"]) for r in map(json.loads, f))
    writer.build(out)
    print(json.dumps({"seconds": time.perf_counter() - start, "peak_mb": peak_rss_mb(),
                      "cpu": cpu_seconds()}))


def _pair_of(record: dict) -> tuple:
    return record["key"], record["value"]


def jsonl_dask(paths: list[str], directory: str, shards: int) -> dict:
    import dask.bag as db
    import distributed

    from vornel.dask import build_sharded

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=":0", silence_logs=logging.CRITICAL, memory_limit=0,
    ) as cluster, distributed.Client(cluster) as client:
        cpu_before = client.run(cpu_seconds)
        start = time.perf_counter()
        bag = db.read_text(paths).map(json.loads).map(_pair_of)
        manifest = build_sharded(bag, directory, shards=shards)
        seconds = time.perf_counter() - start
        cpu = client.run(cpu_seconds)
        peaks = client.run(peak_rss_mb)
    return {"seconds": seconds, "keys": manifest["num_keys"],
            "worker_cpu": sorted(cpu[w] - cpu_before[w] for w in cpu),
            "worker_peak_mb": sorted(peaks.values())}


def jsonl_main(records: int, files: int, shards: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_jsonl(tmp, records, files)
        print(f"JSON Lines: {records:,} records in {files} files into {shards} shards, "
              f"2-worker local cluster, {os.cpu_count()} CPUs")
        child = subprocess.run(
            [sys.executable, __file__, "--jsonl-single", os.path.join(tmp, "one.vrnl"), *paths],
            check=True, capture_output=True, text=True)
        single = json.loads(child.stdout.strip().splitlines()[-1])
        run = jsonl_dask(paths, os.path.join(tmp, "set"), shards)
        assert run["keys"] == records
        cpus = " ".join(f"{s:.1f}" for s in run["worker_cpu"])
        print(f"  one process, one store : {single['seconds']:6.2f} s  CPU {single['cpu']:.2f} s")
        print(f"  dask, 2 workers        : {run['seconds']:6.2f} s  CPU per worker {cpus} s")
        print(f"  ratio dask / one process: {run['seconds'] / single['seconds']:.2f}x "
              "(target <= 1.5x)")


def main() -> None:
    if sys.argv[1:2] == ["--jsonl-single"]:
        jsonl_single(sys.argv[3:], sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=10_000_000)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--parts", type=int, default=32, help="input partitions")
    parser.add_argument("--single-child", metavar="DIR", help=argparse.SUPPRESS)
    parser.add_argument("--jsonl", action="store_true",
                        help="the JSON Lines comparison instead (--pairs records, 8 files)")
    args = parser.parse_args()
    if args.jsonl:
        jsonl_main(args.pairs, 8, args.shards)
        return
    if args.single_child:
        single_process(args.pairs, args.single_child)
        return

    print(f"sharded build: {args.pairs:,} pairs, {args.shards} shards, "
          f"{args.parts} input partitions, {os.cpu_count()} CPUs")
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
                workers, args.pairs, args.shards, args.parts, os.path.join(tmp, f"w{workers}"))
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
