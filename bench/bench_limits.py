"""Builds at falling memory limits, and the cost of refusing duplicate keys, each figure
beside its baseline from the same run.

- limits: the machine's PyPI package list (one JSON-like row per package, keyed by its
  name), built with no limit and at 64, 16, 4 and 1 MiB, each in a child process of its
  own: time, peak RSS, runs, and whether the file is the unlimited one's.
- duplicates: N synthetic keys staged beyond the memory limit with on_duplicate="error"
  (every add checked against the runs) against "last" (no check).
- runs: N synthetic keys at limits from 1 MiB down to 128 KiB (hundreds to thousands of
  runs, which the build merges in passes): time and peak RSS against the unlimited build.

Timings are noisy on a shared machine: compare the ratios within one run, and read the
load average printed with them.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

PYPI = "/work/.library/env/packages/pypi.tsv"
LIMITS_MIB = (64, 16, 4, 1)


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def pypi_rows(path: str) -> Iterator[tuple[str, dict[str, str]]]:
    """The package list's rows, read as they are staged: the reader holds one line."""
    with open(path, encoding="utf-8", errors="replace") as f:
        columns = next(f).rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(columns, line.rstrip("\n").split("\t")))
            yield row["name"], row


def child_limits(source: str, limit: int, path: str, run_dir: str) -> None:
    from vornel import VornWriter

    start = time.perf_counter()
    writer = VornWriter(memory_limit=limit or None, run_dir=run_dir, on_duplicate="last")
    writer.update(pypi_rows(source))
    runs = writer._runs
    writer.build(path)
    print(json.dumps({"seconds": time.perf_counter() - start, "peak_mb": peak_rss_mb(),
                      "runs": runs}))


def child_duplicates(keys: int, limit: int, policy: str, path: str, run_dir: str) -> None:
    from vornel import VornWriter

    start = time.perf_counter()
    writer = VornWriter(memory_limit=limit, run_dir=run_dir, on_duplicate=policy)
    writer.update((b"key%010d" % (i * 7919 % keys), b"%010d" % i * 4) for i in range(keys))
    staged, staged_cpu = time.perf_counter() - start, cpu_seconds()
    runs = writer._runs
    writer.build(path)
    print(json.dumps({"seconds": time.perf_counter() - start, "staging": staged,
                      "cpu": cpu_seconds(), "staging_cpu": staged_cpu,
                      "peak_mb": peak_rss_mb(), "runs": runs}))


def in_child(*args: str) -> dict[str, float]:
    out = subprocess.run([sys.executable, __file__, "--child", *args], check=True,
                         stdout=subprocess.PIPE).stdout
    return json.loads(out)


def load() -> str:
    return "load average " + " ".join(f"{x:.1f}" for x in os.getloadavg())


def bench_limits(folder: str, source: str) -> None:
    plain_path = os.path.join(folder, "plain.vrnl")
    plain = in_child("limits", source, "0", plain_path, folder)
    print(f"PyPI package list ({os.path.getsize(source) >> 20} MiB of TSV), {load()}")
    print(f"  no limit   {plain['seconds']:6.2f} s  peak RSS {plain['peak_mb']:6.0f} MiB")
    for mib in LIMITS_MIB:
        path = os.path.join(folder, f"limit{mib}.vrnl")
        got = in_child("limits", source, str(mib << 20), path, folder)
        print(f"  {mib:3d} MiB    {got['seconds']:6.2f} s  peak RSS {got['peak_mb']:6.0f} MiB "
              f"({got['runs']} runs; {got['seconds'] / plain['seconds']:.2f}x the time, "
              f"{got['peak_mb'] / plain['peak_mb']:.2f}x the memory); same file: "
              f"{filecmp.cmp(plain_path, path, shallow=False)}")
        os.unlink(path)
    os.unlink(plain_path)


def bench_duplicates(folder: str, keys: int, limit: int) -> None:
    print(f"{keys:,} keys in {limit >> 20} MiB, {load()}")
    times = {}
    for policy in ("last", "error"):
        path = os.path.join(folder, f"{policy}.vrnl")
        times[policy] = got = in_child("duplicates", str(keys), str(limit), policy, path, folder)
        print(f"  on_duplicate={policy!r:8} {got['seconds']:6.2f} s, {got['cpu']:6.2f} s CPU "
              f"(staging {got['staging']:6.2f} s, {got['staging_cpu']:6.2f} s CPU), "
              f"{got['runs']} runs, peak RSS {got['peak_mb']:.0f} MiB")
    error, last = times["error"], times["last"]
    print(f"  error/last: {error['seconds'] / last['seconds']:.2f}x the time "
          f"({error['cpu'] / last['cpu']:.2f}x the CPU), staging "
          f"{error['staging'] / last['staging']:.2f}x ({error['staging_cpu'] / last['staging_cpu']:.2f}x)")
    for policy in times:
        os.unlink(os.path.join(folder, f"{policy}.vrnl"))


def bench_runs(folder: str, keys: int) -> None:
    print(f"{keys:,} keys at small limits, {load()}")
    plain_path = os.path.join(folder, "plain.vrnl")
    plain = in_child("duplicates", str(keys), str(1 << 40), "last", plain_path, folder)
    print(f"  no limit   {plain['seconds']:6.2f} s  peak RSS {plain['peak_mb']:6.0f} MiB")
    for kib in (1024, 512, 256, 128):
        path = os.path.join(folder, f"limit{kib}.vrnl")
        got = in_child("duplicates", str(keys), str(kib << 10), "last", path, folder)
        print(f"  {kib:4d} KiB   {got['seconds']:6.2f} s  peak RSS {got['peak_mb']:6.0f} MiB "
              f"({got['runs']} runs); same file: {filecmp.cmp(plain_path, path, shallow=False)}")
        os.unlink(path)
    os.unlink(plain_path)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, *rest = sys.argv[2:]
        if kind == "limits":
            child_limits(rest[0], int(rest[1]), rest[2], rest[3])
        else:
            child_duplicates(int(rest[0]), int(rest[1]), rest[2], rest[3], rest[4])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=10_000_000)
    parser.add_argument("--limit-mib", type=int, default=64)
    parser.add_argument("--source", default=PYPI)
    parser.add_argument("--runs-keys", type=int, default=2_000_000)
    parser.add_argument("--only", choices=("limits", "duplicates", "runs"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as folder:
        if args.only in (None, "limits"):
            bench_limits(folder, args.source)
        if args.only in (None, "duplicates"):
            bench_duplicates(folder, args.keys, args.limit_mib << 20)
        if args.only in (None, "runs"):
            bench_runs(folder, args.runs_keys)


if __name__ == "__main__":
    main()
