"""ShardedReader beside one store holding the same pairs, measured in the same run.

    python bench/bench_sharded_reader.py [--keys N] [--shards S] [--repeat R]

1. Decoded gets: `r[key]` over every key in random order, on a sharded set of S shards
   and on one store file of the same pairs. Target: at most 1.3x the single store.
2. Open plus the first prefix scan: `vornel.open(path, verify)` and the first item of
   `prefix("user:")`, each open fresh (warm page cache), with the whole-file check and
   without it. Target: at most 3x.

The pairs are "user:{i:010d}" -> a small record; the set is built in this process
through vornel.sharded, as any engine builds one. The machine may be shared: each figure
is the median of R runs taken in alternation, each ratio the median of their ratios.
Asserts nothing about time.
"""

import argparse
import random
import statistics
import tempfile
from pathlib import Path

import vornel
from _timing import alternate, median_ratio
from vornel.sharded import build_shard, new_version, publish, shard_of


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
                for _ in range(20):
                    with vornel.open(path, verify) as r:
                        next(iter(r.prefix("user:")))
            return run

        for verify in (True, False):
            ours, base = alternate([open_scan(sharded, verify), open_scan(single, verify)],
                                   args.repeat)
            show(f"open (verify={verify}) and first item of a prefix scan, {args.shards} "
                 f"shards (median of {args.repeat}, per open)", 20, ours, base, 3)


if __name__ == "__main__":
    main()
