"""The package's own engine as users meet it, each figure beside its baseline in the same
run (1,000,000 keys of 16-32 bytes by default):

    python bench/bench_engine.py [--keys N] [--repeat R] [--only NAMES]

  first    the first item of iter(r), items() and prefix(""): time and memory growth
  lookup   r[key] decoded (each record's checksum checked as it is read), against
           _VornReader.get_raw of the same keys, which checks none
  contains `key in r`, against _VornReader.exists of the same keys, present and absent
  verify   r.verify() of the store (its key table in use), against one zlib.crc32 pass
           over the same file mapped
  open     the default open (header and key table trailer only), warm and cold (the
           file's pages dropped from the cache first), against the open of a store of
           1,000 keys
  items    a full items() with decoded values, against an LMDB cursor over the same
           pairs with msgpack.unpackb of each value
  threads  a second thread's lookup rate while this one builds a store, and while it
           opens one with verify=True, against its rate alone
  import   `import vornel` in a fresh interpreter, against `python -c pass`

Values are MessagePack of 100 random bytes ("bytes") and of a four-field record
("record"). Each figure is the median of R runs; ratios are medians of ratios of runs
taken in alternation. Prints figures, asserts nothing.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import msgpack

import vornel
from _timing import alternate, median_ratio, timed
from peers import drop_from_cache
from _vornel import _VornReader


def make_keys(n, seed=1):
    rnd = random.Random(seed)
    return [f"{rnd.getrandbits(64):016x}{i:x}".encode()[: rnd.randint(16, 32)] + b"%d" % i
            for i in range(n)]


def make_value(kind, rnd, i):
    if kind == "bytes":
        return rnd.randbytes(100)
    return {"id": i, "name": f"item {i}", "tags": ["a", "b"][: i % 3], "score": i * 0.5}


def build_store(path, keys, kind):
    rnd = random.Random(2)
    pairs = [(k, make_value(kind, rnd, i)) for i, k in enumerate(keys)]
    vornel.build(path, pairs)
    return pairs


def private_kib():
    """Resident private memory: what the process holds for itself, as opposed to pages
    of the page cache that it maps and that every process shares."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    raise RuntimeError("no RssAnon in /proc/self/status")


def bench_first(path, repeat):
    print("first item (time, growth of private memory); target at most 1 ms and 1 MiB")
    for name, make in [("iter(r)", lambda r: iter(r)), ("items()", lambda r: iter(r.items())),
                       ('prefix("")', lambda r: r.prefix(""))]:
        times, growth = [], []
        for _ in range(repeat):
            r = vornel.open(path, verify=False)
            gc.collect()
            before = private_kib()
            start = time.perf_counter()
            next(make(r))
            times.append(time.perf_counter() - start)
            growth.append(private_kib() - before)
            r.close()
        print(f"  {name:<11} {statistics.median(times) * 1e3:8.3f} ms  "
              f"{statistics.median(growth):6d} KiB")


def per_call(label, ours, base_label, base, n, repeat, note):
    """Prints the time per call of the loops ours() and base(), each of n calls, and their
    ratio, from runs taken in alternation."""
    o, b = alternate([ours, base], repeat)
    print(f"  {label} {statistics.median(o) / n * 1e9:7.0f} ns   {base_label} "
          f"{statistics.median(b) / n * 1e9:7.0f} ns   ratio {median_ratio(o, b):.2f}   ({note})")


def bench_lookup(path, keys, repeat):
    r = vornel.open(path)
    raw = _VornReader(str(path), False)
    order = keys[:]
    random.Random(3).shuffle(order)
    order = order[:200_000]
    get_raw = raw.get_raw

    def decoded():
        for k in order:
            r[k]

    def low():
        for k in order:
            get_raw(k)

    per_call("r[key]", decoded, "get_raw", low, len(order), repeat,
             f"target at most 1.25; key table: {r.stats()['key_table']}")


def bench_contains(path, keys, repeat):
    r = vornel.open(path)
    raw = _VornReader(str(path), False)
    order = keys[:]
    random.Random(4).shuffle(order)
    order = order[:100_000] + [k + b"~absent" for k in order[:100_000]]
    exists = raw.exists

    def ours():
        for k in order:
            k in r

    def low():
        for k in order:
            exists(k)

    per_call("in", ours, "exists", low, len(order), repeat, "half absent; target at most 1.15")


def bench_verify(path, repeat):
    import mmap
    import zlib

    r = vornel.open(path)
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)

    def ours():
        r.verify()

    def base():
        zlib.crc32(mapped)

    o, b = alternate([ours, base], repeat)
    size = path.stat().st_size
    print(f"  verify {statistics.median(o) * 1e3:7.1f} ms   zlib.crc32 pass "
          f"{statistics.median(b) * 1e3:7.1f} ms ({size / statistics.median(b) / 1e9:.1f} GB/s)"
          f"   ratio {median_ratio(o, b):.2f}   (target at most 0.75)")
    mapped.close()


def bench_open(path, tmp, repeat):
    small = tmp / "small.vrnl"
    vornel.build(small, {b"%d" % i: i for i in range(1000)})

    def opened(p, cold):
        if cold:
            drop_from_cache([p])
        start = time.perf_counter()
        vornel.open(p).close()
        return time.perf_counter() - start

    for cold in (False, True):
        opened(path, cold)
        ours = [opened(path, cold) for _ in range(repeat * 4)]
        base = [opened(small, cold) for _ in range(repeat * 4)]
        print(f"  default open {'cold' if cold else 'warm'} {statistics.median(ours) * 1e3:6.3f} ms"
              f"   1,000 keys {statistics.median(base) * 1e3:6.3f} ms"
              f"   (target at most {2 if cold else 1} ms)")


def bench_items(path, pairs, repeat, tmp):
    import lmdb

    env = lmdb.open(str(tmp / f"lmdb-{path.stem}"), map_size=8 << 30, writemap=True,
                    sync=False, metasync=False)
    with env.begin(write=True) as txn:
        for k, v in sorted((k, msgpack.packb(v)) for k, v in pairs):
            if not txn.put(k, v, append=True):
                raise RuntimeError("LMDB refused a pair")
    env.sync(True)
    r = vornel.open(path, verify=False)
    unpackb = msgpack.unpackb

    def ours():
        for _ in r.items():
            pass

    def peer():
        with env.begin() as txn:
            for _, v in txn.cursor():
                unpackb(v, strict_map_key=False)

    a, b = alternate([ours, peer], repeat)
    print(f"  items() {statistics.median(a):.3f} s   LMDB cursor + unpackb "
          f"{statistics.median(b):.3f} s   ratio {median_ratio(a, b):.2f}   (target at most 0.8)")
    env.close()


def lookup_rate(r, keys, stop, out):
    n = 0
    i = 0
    size = len(keys)
    start = time.perf_counter()
    while not stop.is_set():
        for _ in range(1000):
            r[keys[i]]
            i = (i + 1) % size
        n += 1000
    out.append(n / (time.perf_counter() - start))


def with_lookups(r, keys, work):
    stop = threading.Event()
    out = []
    t = threading.Thread(target=lookup_rate, args=(r, keys, stop, out))
    t.start()
    time.sleep(0.05)
    work()
    stop.set()
    t.join()
    return out[0]


def bench_threads(path, keys, pairs, tmp, repeat):
    r = vornel.open(path, verify=False)
    sample = keys[:100_000]
    w = vornel.VornWriter()
    w.update(pairs)
    alone, during_build, during_open = [], [], []
    for _ in range(repeat):
        stop = threading.Event()
        out = []
        t = threading.Thread(target=lookup_rate, args=(r, sample, stop, out))
        t.start()
        time.sleep(1.0)
        stop.set()
        t.join()
        alone.append(out[0])
        during_build.append(with_lookups(r, sample, lambda: w.build(tmp / "b.vrnl")))
        during_open.append(with_lookups(r, sample, lambda: vornel.open(path, verify=True)))
    base = statistics.median(alone)
    print(f"  lookups alone {base:,.0f}/s; while building {statistics.median(during_build) / base:.0%}"
          f", while opening with verify {statistics.median(during_open) / base:.0%}"
          "   (target at least 70%)")


def bench_import(repeat):
    def run(code):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True)
        return time.perf_counter() - start

    ours, base = [], []
    for _ in range(repeat * 4):
        ours.append(run("import vornel"))
        base.append(run("pass"))
    print(f"  import vornel {1e3 * (min(ours) - min(base)):.1f} ms over a bare interpreter"
          f" (minimum of {len(ours)}; target at most 15 ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only",
                        default="first,lookup,contains,verify,open,items,threads,import")
    args = parser.parse_args()
    only = set(args.only.split(","))
    keys = make_keys(args.keys)
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        for kind in ("bytes", "record"):
            path = tmp / f"{kind}.vrnl"
            pairs = build_store(path, keys, kind)
            print(f"== {args.keys:,} keys, {kind} values")
            if "first" in only:
                bench_first(path, args.repeat)
            if "lookup" in only:
                bench_lookup(path, keys, args.repeat)
            if "contains" in only and kind == "bytes":
                bench_contains(path, keys, args.repeat)
            if "verify" in only:
                bench_verify(path, args.repeat)
            if "open" in only and kind == "bytes":
                bench_open(path, tmp, args.repeat)
            if "items" in only:
                bench_items(path, pairs, args.repeat, tmp)
            if "threads" in only and kind == "bytes":
                bench_threads(path, keys, pairs, tmp, max(1, args.repeat // 2))
            del pairs
        if "import" in only:
            bench_import(args.repeat)
    print(f"peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024} MiB")


if __name__ == "__main__":
    main()
