"""Build throughput against writing the same bytes with plain Python file calls.

A store of N keys (16 to 32 random bytes each), every key bound to its own 100-byte
object, is staged once and built several times; the baseline writes the very bytes of
the built file with open/write/os.fsync to a fresh file in the same directory. Both
include their fsync. Only the build() call is timed; staging is reported on its own,
through _vornel's two calls per key and through the vornel package's bulk path
(`VornWriter.update` on pairs made beforehand, without dedup: one object per key).

    PYTHONPATH=<module build dir> python bench/bench_build.py [--keys N] [--rounds R] [--dir D]
"""

import argparse
import os
import random
import statistics
import sys
import tempfile
import time

import vornel
from _vornel import _VornWriter


def stage(n, seed):
    rng = random.Random(seed)
    w = _VornWriter()
    start = time.perf_counter()
    for _ in range(n):
        obj_id = w.add_object_raw(rng.randbytes(100))
        w.add_key(rng.randbytes(rng.randint(16, 32)), obj_id)
    return w, time.perf_counter() - start


def stage_bulk(n, seed):
    rng = random.Random(seed)
    pairs = [(rng.randbytes(rng.randint(16, 32)), rng.randbytes(100)) for _ in range(n)]
    start = time.perf_counter()
    w = vornel.VornWriter(dedup=False)
    w.update(pairs)
    return time.perf_counter() - start


def timed_build(w, path):
    if os.path.exists(path):
        os.unlink(path)
    # The summary line goes to fd 1; keep it out of the figures' way.
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        start = time.perf_counter()
        w.build(path)
        return time.perf_counter() - start
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def timed_plain_write(blob, path):
    if os.path.exists(path):
        os.unlink(path)
    start = time.perf_counter()
    with open(path, "wb") as f:
        f.write(blob)
        f.flush()
        os.fsync(f.fileno())
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=None, help="directory for the files (default: a temp dir)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        store = os.path.join(tmp, "bench.vrnl")
        plain = os.path.join(tmp, "plain.bin")

        w, staging = stage(args.keys, seed=1)
        print(f"staging  {args.keys:,} keys and objects: {staging:.3f} s "
              f"({args.keys / staging:,.0f} keys/s)")
        bulk = stage_bulk(args.keys, seed=1)
        print(f"staging  the same through VornWriter.update: {bulk:.3f} s "
              f"({args.keys / bulk:,.0f} keys/s)")

        timed_build(w, store)  # warm-up, and the bytes for the baseline
        with open(store, "rb") as f:
            blob = f.read()
        size_mb = len(blob) / 1e6

        build_times, plain_times = [], []
        for _ in range(args.rounds):
            build_times.append(timed_build(w, store))
            plain_times.append(timed_plain_write(blob, plain))

        with open(store, "rb") as f:
            assert f.read() == blob, "rebuild changed the file"

    b, p = statistics.median(build_times), statistics.median(plain_times)
    print(f"file     {len(blob):,} bytes ({size_mb:.1f} MB), median of {args.rounds} rounds")
    print(f"build()  {b:.3f} s  {size_mb / b:8.1f} MB/s  {args.keys / b:12,.0f} keys/s"
          f"  (min {min(build_times):.3f} s)")
    print(f"plain    {p:.3f} s  {size_mb / p:8.1f} MB/s  {args.keys / p:12,.0f} keys/s"
          f"  (min {min(plain_times):.3f} s)")
    print(f"ratio    build / plain write = {b / p:.2f}x (target: within 2x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
