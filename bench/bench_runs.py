"""Builds from sorted runs, each figure beside its baseline from the same run.

- limit: N keys with 100-byte values staged and built with a memory limit, against the
  same with no limit (each in a child process of its own, for its peak RSS).
- delta: a 2% change (updates, inserts, deletions) to a store of M keys through
  VornWriter.include, against a full rebuild of the changed mapping from Python pairs
  and against copying the store's file with fsync (the floor).
- real: Python's standard library sources and Debian's package database, built with a
  small limit and without one: time, peak RSS and whether the files are equal.

Timings are noisy on a shared machine: compare the ratios within one run.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def value_of(i: int) -> bytes:
    return b"%010d" % i * 10  # 100 bytes, a different value per key


def child_limit(keys: int, limit: int | None, path: str, run_dir: str) -> None:
    from vornel import VornWriter

    start = time.perf_counter()
    writer = VornWriter(memory_limit=limit, run_dir=run_dir) if limit else VornWriter()
    writer.update((b"key%010d" % i, value_of(i)) for i in range(keys))
    runs = writer._runs
    writer.build(path)
    print(json.dumps({"seconds": time.perf_counter() - start, "peak_mb": peak_rss_mb(),
                      "runs": runs, "cpu": cpu_seconds()}))


def stdlib_items() -> list[tuple[str, bytes]]:
    """Every line of Python's standard library sources, keyed by file and line number:
    real text, with the repeats real text has (blank lines, `return`)."""
    root = sysconfig.get_paths()["stdlib"]
    items = []
    for folder, _, files in os.walk(root):
        for name in files:
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    relative = os.path.relpath(path, root)
                    items.extend((f"{relative}:{n:05d}", line)
                                 for n, line in enumerate(f.read().splitlines()))
    return items


def dpkg_items() -> list[tuple[str, dict[str, str]]]:
    items = []
    with open("/var/lib/dpkg/status", encoding="utf-8", errors="replace") as f:
        for paragraph in f.read().split("\n\n"):
            fields: dict[str, str] = {}
            name = None
            for line in paragraph.splitlines():
                if line[:1] in (" ", "\t") and name:
                    fields[name] += "\n" + line
                elif ":" in line:
                    name, _, rest = line.partition(":")
                    fields[name] = rest.strip()
            if "Package" in fields:
                package = f"{fields['Package']}:{fields.get('Architecture', '')}"
                items.append((package, fields))
                items.extend((f"{package}/{name}", text) for name, text in fields.items())
    return items


def child_real(data: str, limit: int | None, path: str, run_dir: str) -> None:
    from vornel import VornWriter

    items = stdlib_items() if data == "stdlib" else dpkg_items()
    start = time.perf_counter()
    writer = VornWriter(memory_limit=limit, run_dir=run_dir) if limit else VornWriter()
    writer.update(items)
    runs = writer._runs
    writer.build(path)
    print(json.dumps({"seconds": time.perf_counter() - start, "peak_mb": peak_rss_mb(),
                      "runs": runs, "keys": len(items)}))


def in_child(*args: str) -> dict[str, float]:
    result = subprocess.run([sys.executable, __file__, "child", *args], capture_output=True,
                            text=True, check=True)
    return json.loads(result.stdout)


def bench_limit(keys: int, limit: int, folder: str) -> None:
    print(f"{keys:,} keys, 100-byte values; limit {limit >> 20} MiB against none "
          "(stage + build, each in a child process)")
    plain = in_child("limit", str(keys), "0", os.path.join(folder, "plain.vrnl"), folder)
    limited = in_child("limit", str(keys), str(limit), os.path.join(folder, "limited.vrnl"),
                       folder)
    same = filecmp.cmp(os.path.join(folder, "plain.vrnl"), os.path.join(folder, "limited.vrnl"), shallow=False)
    print(f"  unlimited  {plain['seconds']:7.2f} s ({plain['cpu']:6.2f} s CPU)  "
          f"peak RSS {plain['peak_mb']:7.0f} MiB")
    print(f"  limited    {limited['seconds']:7.2f} s ({limited['cpu']:6.2f} s CPU)  "
          f"peak RSS {limited['peak_mb']:7.0f} MiB  ({limited['runs']} runs)")
    print(f"  time ratio {limited['seconds'] / plain['seconds']:.2f}x (target <= 1.3x), CPU "
          f"{limited['cpu'] / plain['cpu']:.2f}x; files equal: {same}")
    for name in ("plain.vrnl", "limited.vrnl"):
        os.unlink(os.path.join(folder, name))


def _copy_with_fsync(src: str, dst: str) -> None:
    shutil.copyfile(src, dst)
    fd = os.open(dst, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def bench_delta(keys: int, folder: str, repeat: int) -> None:
    from vornel import VornWriter

    sys.path.insert(0, HERE)
    from _timing import timed

    base = os.path.join(folder, "base.vrnl")
    mapping = {b"key%010d" % i: value_of(i) for i in range(keys)}
    w = VornWriter()
    w.update(mapping.items())
    w.build(base)
    del w
    rng = random.Random(1)
    changed = keys // 50
    picked = rng.sample(range(keys), 2 * changed // 3)
    updates, deletions = picked[: changed // 3], picked[changed // 3:]
    inserts = [keys + i for i in range(changed - len(picked))]
    final = dict(mapping)
    for i in updates:
        final[b"key%010d" % i] = b"changed" + value_of(i)[7:]
    for i in deletions:
        del final[b"key%010d" % i]
    for i in inserts:
        final[b"key%010d" % i] = value_of(i)
    final_pairs = sorted(final.items())
    out = os.path.join(folder, "out.vrnl")

    def delta() -> None:
        w = VornWriter()
        w.include(base)
        for i in updates:
            w[b"key%010d" % i] = b"changed" + value_of(i)[7:]
        for i in deletions:
            del w[b"key%010d" % i]
        for i in inserts:
            w[b"key%010d" % i] = value_of(i)
        w.build(out)

    def full() -> None:
        w = VornWriter()
        w.update(final_pairs)
        w.build(out)

    def copy() -> None:
        _copy_with_fsync(base, out)

    times: dict[str, list[float]] = {"delta": [], "full": [], "copy": []}
    for _ in range(repeat):
        for name, fn in (("delta", delta), ("full", full), ("copy", copy)):
            times[name].append(timed(fn))
    delta()
    full_copy = os.path.join(folder, "full.vrnl")
    full()
    os.replace(out, full_copy)
    delta()
    same = filecmp.cmp(out, full_copy, shallow=False)
    best = {name: min(t) for name, t in times.items()}
    size = os.path.getsize(base) / 2**20
    print(f"2% change ({changed:,} keys) to a store of {keys:,} keys ({size:.0f} MiB), best of "
          f"{repeat}")
    print(f"  include + changes + build {best['delta']:6.2f} s")
    print(f"  full rebuild from pairs   {best['full']:6.2f} s  ratio "
          f"{best['delta'] / best['full']:.2f}x (target <= 0.25x)")
    print(f"  copy + fsync (floor)      {best['copy']:6.2f} s  ratio "
          f"{best['delta'] / best['copy']:.2f}x (target <= 2.5x)")
    print(f"  the change gives the full rebuild's file: {same}")
    for name in (base, out, full_copy):
        os.unlink(name)


def bench_real(folder: str) -> None:
    for data, limit in (("stdlib", 16 << 20), ("dpkg", 256 << 10)):
        if data == "dpkg" and not os.path.exists("/var/lib/dpkg/status"):
            continue
        plain = in_child("real", data, "0", os.path.join(folder, "plain.vrnl"), folder)
        limited = in_child("real", data, str(limit), os.path.join(folder, "limited.vrnl"),
                           folder)
        same = filecmp.cmp(os.path.join(folder, "plain.vrnl"), os.path.join(folder, "limited.vrnl"), shallow=False)
        print(f"{data}: {plain['keys']:,} keys; limit {limit >> 10} KiB ({limited['runs']} runs) "
              f"{limited['seconds']:.2f} s, {limited['peak_mb']:.0f} MiB against none "
              f"{plain['seconds']:.2f} s, {plain['peak_mb']:.0f} MiB: ratio "
              f"{limited['seconds'] / plain['seconds']:.2f}x; files equal: {same}")


def main() -> None:
    if sys.argv[1:2] == ["child"]:
        kind, *rest = sys.argv[2:]
        if kind == "limit":
            child_limit(int(rest[0]), int(rest[1]) or None, rest[2], rest[3])
        else:
            child_real(rest[0], int(rest[1]) or None, rest[2], rest[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=10_000_000)
    parser.add_argument("--limit-mib", type=int, default=256)
    parser.add_argument("--delta-keys", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("limit", "delta", "real"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as folder:
        if args.only in (None, "limit"):
            bench_limit(args.keys, args.limit_mib << 20, folder)
        if args.only in (None, "delta"):
            bench_delta(args.delta_keys, folder, args.repeat)
        if args.only in (None, "real"):
            bench_real(folder)


if __name__ == "__main__":
    main()
