"""ShardedReader beside one store holding the same pairs, measured in the same run.

    python bench/bench_sharded_reader.py [--keys N] [--shards S] [--repeat R]

1. Decoded gets: `r[key]` over every key in random order, on a sharded set of S shards
   and on one store file of the same pairs. Target: at most 1.3x the single store.
2. Open plus the first prefix scan: `vornel.open(path, verify)` and the first item of
   `prefix("user:")`, each open fresh (warm page cache), with the whole-file check and
   without it. Target: at most 3x. Without the check a store opens in constant time, and
   so does each shard: beside the set stand what it is made of, each measured alone in
   the same rounds: loading the manifest, and opening the S shard files as S single
   stores, each with the first item of its own scan, which is the floor of any reader
   that maps each shard. Page faults per open come from getrusage.

The pairs are "user:{i:010d}" -> a small record; the set is built in this process
through vornel.sharded, as any engine builds one. The machine may be shared: each figure
is the median of R runs taken in alternation, each ratio the median of their ratios.
Asserts nothing about time.
"""

import argparse
import random
import resource
import statistics
import tempfile
from pathlib import Path

import vornel
from _timing import alternate, median_ratio
from vornel import VornReader
from vornel.sharded import ShardedReader, build_shard, new_version, publish, shard_of
from vornel.sharded.manifest import load_manifest

OPENS = 20  # opens per timed run


def value(i):
    return {"id": i, "plan": f"plan-{i % 1000}", "active": i % 3 != 0}


def build_set(directory, pairs, shards):
    version = new_version(directory)
    routed = {}
    for key, val in pairs:
        routed.setdefault(shard_of(key, shards), []).append((key, val))
    publish(directory, version, shards,
            [build_shard(routed[i], version, i) for i in sorted(routed)])


def show(title, n, ours, base, target):
    ratio = median_ratio(ours, base)
    print(title)
    print(f"  sharded     {statistics.median(ours) / n * 1e9:10.0f} ns")
    print(f"  one store   {statistics.median(base) / n * 1e9:10.0f} ns")
    print(f"  ratio       {ratio:10.2f}   (target <= {target}: "
          f"{'met' if ratio <= target else 'missed'})")


def faults(run):
    """Minor page faults per open of `run`, which opens OPENS times."""
    run()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    run()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / OPENS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    keys = [f"user:{i:010d}" for i in range(args.keys)]
    pairs = [(k, value(i)) for i, k in enumerate(keys)]
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        single, sharded = tmp / "one.vrnl", tmp / "set"
        vornel.build(single, pairs)
        build_set(sharded, pairs, args.shards)
        order = keys[:]
        random.Random(7).shuffle(order)
        with vornel.open(sharded) as s, vornel.open(single) as one:
            assert all(s[k] == one[k] for k in order[:1000])
            list(s.prefix_keys("user:0"))  # every shard opened before lookups are timed

            def gets(reader):
                def run():
                    for k in order:
                        reader[k]
                return run

            ours, base = alternate([gets(s), gets(one)], args.repeat)
        show(f"decoded gets: {args.keys:,} keys, {args.shards} shards, random order, "
             f"per get (median of {args.repeat})", args.keys, ours, base, 1.3)

        def open_scan(path, verify):
            def run():
                for _ in range(OPENS):
                    with vornel.open(path, verify) as r:
                        next(iter(r.prefix("user:")))
            return run

        with ShardedReader(sharded) as s:
            files = [s.shard_path(i) for i in range(s.shard_count)]

        def manifest():
            for _ in range(OPENS):
                load_manifest(sharded)

        def shards_alone():
            for _ in range(OPENS):
                readers = [VornReader(path) for path in files]
                for r in readers:
                    next(r.prefix("user:"), None)
                for r in readers:
                    r.close()

        for verify in (True, False):
            ours, base = alternate([open_scan(sharded, verify), open_scan(single, verify)],
                                   args.repeat)
            show(f"open (verify={verify}) and first item of a prefix scan, {args.shards} "
                 f"shards (median of {args.repeat}, per open)", OPENS, ours, base, 3)
            if verify:
                continue
            runs = alternate([open_scan(sharded, False), open_scan(single, False), manifest,
                              shards_alone], args.repeat)
            per_open = [statistics.median(t) / OPENS * 1e6 for t in runs]
            one = per_open[1]
            print(f"  what it is made of, in {args.repeat} more rounds (median, per open):")
            for label, figure in [("the sharded reader", per_open[0]), ("one store", one),
                                 ("the manifest's load", per_open[2]),
                                 (f"{args.shards} shard files opened alone, each with the "
                                  "first item of its scan", per_open[3])]:
                print(f"    {label:62s} {figure:8.1f} us  {figure / one:6.2f}x one store")
            print(f"    minor page faults per open: sharded {faults(open_scan(sharded, False)):.1f},"
                  f" one store {faults(open_scan(single, False)):.1f}")


if __name__ == "__main__":
    main()
