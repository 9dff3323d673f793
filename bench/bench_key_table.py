"""The key table as the package uses it, against the index in memory, in the same run
(1,000,000 keys of 17-32 bytes and 100-byte values by default):

    python bench/bench_key_table.py [--keys N] [--repeat R] [--only NAMES]

  build    VornWriter(dedup=False).build(), which writes the table, against
           _VornWriter.build() of the same pairs staged as their MessagePack bytes, which
           does not: both writers are staged once and only their build() calls are timed,
           in alternation, by the wall clock (fsync included) and by CPU time
  lookup   r[key] through the table, against r[key] on a copy of the store whose table's
           trailer is broken (the package's reader then indexes every key in memory, as
           stats() says), and against _VornReader.get_raw on the store
  scans    prefix(p) over prefixes with about ten keys each, range(a, b) over runs of
           ten keys, and a full items(): the table against the index in memory

Ratios are medians of the ratios of runs taken in alternation; a ratio above 1 means the
table is slower. Prints figures, asserts nothing.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import shutil
import statistics
import struct
import sys
import tempfile
import time
import zlib
from pathlib import Path

import msgpack

import vornel
from _timing import Quiet, alternate, median_ratio
from _vornel import _VornReader, _VornWriter

TRAILER = 104  # bytes that end the table's record; a reserved byte of it lies at 74
HEADER = 40  # the whole-file CRC-32 covers what follows, and is kept at byte 32


def make_pairs(n, seed=1):
    rnd = random.Random(seed)
    keys = [f"{rnd.getrandbits(64):016x}{i:x}"[: rnd.randint(16, 31)] + f"{i % 10}"
            for i in range(n)]
    keys = list(dict.fromkeys(keys))
    return [(k, rnd.randbytes(100)) for k in keys]


def break_table(src, dst):
    """A copy of the store whose key table's trailer fails its check, so that the reader
    ignores the table and indexes in memory; the whole-file checksum is made right."""
    data = bytearray(Path(src).read_bytes())
    index_offset = struct.unpack(">Q", data[16:24])[0]
    data[index_offset - TRAILER + 74] ^= 0xFF
    struct.pack_into(">I", data, 32, zlib.crc32(memoryview(data)[HEADER:]))
    Path(dst).write_bytes(data)


def bench_build(pairs, tmp, repeat):
    package = vornel.VornWriter(dedup=False)
    package.update(pairs)
    low = _VornWriter()
    for k, v in pairs:
        low.add_key(k, low.add_object_raw(msgpack.packb(v)))
    wall, cpu = {"table": [], "plain": []}, {"table": [], "plain": []}

    def run(name, build):
        start, start_cpu = time.perf_counter(), time.thread_time()
        build()
        wall[name].append(time.perf_counter() - start)
        cpu[name].append(time.thread_time() - start_cpu)

    for _ in range(repeat):
        run("table", lambda: package.build(tmp / "with-table.vrnl"))
        with Quiet():
            run("plain", lambda: low.build(str(tmp / "plain.vrnl")))
    sizes = {name: os.path.getsize(tmp / f) for name, f in
             (("table", "with-table.vrnl"), ("plain", "plain.vrnl"))}
    print(f"  build: with the table {statistics.median(wall['table']):.3f} s, without "
          f"{statistics.median(wall['plain']):.3f} s, ratio "
          f"{median_ratio(wall['table'], wall['plain']):.3f} (wall clock); CPU time "
          f"{statistics.median(cpu['table']):.3f} s against "
          f"{statistics.median(cpu['plain']):.3f} s, ratio "
          f"{median_ratio(cpu['table'], cpu['plain']):.3f}   (target at most 1.1)")
    print(f"         files {sizes['table'] / 2**20:.1f} MiB and {sizes['plain'] / 2**20:.1f} MiB: "
          f"the table takes {(sizes['table'] - sizes['plain']) / len(pairs):.1f} B/key")


def per(seconds, count):
    return f"{statistics.median(seconds) / count * 1e9:7.0f} ns"


def bench_lookup(table, memory, raw, keys, repeat):
    order = keys[:]
    random.Random(3).shuffle(order)
    order = order[:200_000]
    get_raw = raw.get_raw

    def through_table():
        for k in order:
            table[k]

    def in_memory():
        for k in order:
            memory[k]

    def low():
        for k in order:
            get_raw(k)

    t, m, g = alternate([through_table, in_memory, low], repeat)
    n = len(order)
    print(f"  lookup r[key]: table {per(t, n)}, index in memory {per(m, n)}, "
          f"ratio {median_ratio(t, m):.3f}   (target at most 1.2)")
    print(f"                 _VornReader.get_raw {per(g, n)} (raw bytes); table / get_raw "
          f"{median_ratio(t, g):.3f}")


def bench_scans(table, memory, keys, repeat):
    ordered = sorted(keys, key=str.encode)
    n = len(ordered)
    rnd = random.Random(4)
    # A prefix long enough that about ten keys share it.
    plen = max(1, round(math.log(max(n / 10, 2), 16)))
    prefixes = [ordered[rnd.randrange(n)][:plen] for _ in range(20_000)]
    starts = [rnd.randrange(max(1, n - 10)) for _ in range(20_000)]
    ranges = [(ordered[i], ordered[min(i + 10, n - 1)]) for i in starts]

    def prefix(r):
        def run():
            for p in prefixes:
                list(r.prefix(p))
        return run

    def ranged(r):
        def run():
            for a, b in ranges:
                list(r.range(a, b))
        return run

    def items(r):
        def run():
            for _ in r.items():
                pass
        return run

    found = statistics.mean(len(list(table.prefix(p))) for p in prefixes[:1000])
    for name, make, count in ((f"prefix ({found:.1f} keys)", prefix, len(prefixes)),
                              ("range (10 keys)", ranged, len(ranges)),
                              ("items(), all", items, 1)):
        t, m = alternate([make(table), make(memory)], repeat)
        shown = (per(t, count), per(m, count)) if count > 1 else (
            f"{statistics.median(t):.3f} s", f"{statistics.median(m):.3f} s")
        print(f"  {name:<20} table {shown[0]}, index in memory {shown[1]}, "
              f"ratio {median_ratio(t, m):.3f}   (target at most 1.0)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--only", default="build,lookup,scans")
    args = parser.parse_args()
    only = set(args.only.split(","))
    pairs = make_pairs(args.keys)
    keys = [k for k, _ in pairs]
    tmp = Path(tempfile.mkdtemp(prefix="key_table_"))
    try:
        print(f"== {len(pairs):,} keys, 100-byte values")
        if "build" in only:
            bench_build(pairs, tmp, args.repeat)
        path, broken = tmp / "store.vrnl", tmp / "no-table.vrnl"
        vornel.build(path, pairs)
        del pairs
        break_table(path, broken)
        table, memory = vornel.open(path, verify=False), vornel.open(broken, verify=False)
        print(f"  readers: key table {table.stats()['key_table']!r}; the copy's "
              f"{memory.stats()['key_table']!r}")
        if "lookup" in only:
            bench_lookup(table, memory, _VornReader(str(path), False), keys, args.repeat)
        if "scans" in only:
            bench_scans(table, memory, keys, args.repeat)
        table.close()
        memory.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
