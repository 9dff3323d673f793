"""What a reader's default open costs: every reader opens unchecked unless told.

    python bench/bench_default_open.py [--shards S] [--repeat R] [--keys N]

Opening a sharded set with the reader's defaults (`ShardedReader(path)`, as `vornel.open`
gives it) and reading one key of each shard, beside the same with `verify=True`, the
whole-file check of every shard that `ShardedReader` used to make by default; and
`VornReader(path)` with one lookup on one store of the same pairs, the single store's
default. Two data sets: the machine's list of PyPI packages (`pypi.tsv`, one key per
package name, its other columns as the value), when present, and synthetic keys.

Each figure is the median of R runs taken in alternation, each ratio the median of their
ratios. The machine may be shared: the load average is printed beside the figures.
Asserts nothing about time.
"""

import argparse
import os
import statistics
import tempfile
from pathlib import Path

from _timing import alternate, median_ratio
from vornel import VornReader, VornWriter
from vornel.sharded import ShardedReader, build_shard, new_version, publish, shard_of

PYPI = Path("/work/.library/env/packages/pypi.tsv")


def pypi_pairs():
    with PYPI.open(encoding="utf-8", errors="replace") as lines:
        columns = next(lines).rstrip("\n").split("\t")
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            yield fields[0], dict(zip(columns[1:], fields[1:]))


def synthetic_pairs(count):
    for i in range(count):
        yield f"user:{i:010d}", {"id": i, "plan": f"plan-{i % 1000}", "active": i % 3 != 0}


def build(pairs, folder, shards):
    """A sharded set and one store of the same pairs; one key of each shard."""
    routed = {}
    single = VornWriter(on_duplicate="last")
    for key, value in pairs:
        routed.setdefault(shard_of(key, shards), {})[key] = value
        single.add(key, value)
    single.build(folder / "single.vrnl")
    version = new_version(folder / "set")
    entries = [build_shard(routed[i].items(), version, i) for i in sorted(routed)]
    publish(folder / "set", version, shards, entries)
    return [next(iter(routed[i])) for i in sorted(routed)]


def measure(name, folder, keys, repeat):
    path, single = folder / "set", folder / "single.vrnl"

    def sharded(verify):
        def run():
            with (ShardedReader(path) if verify is None else ShardedReader(path, verify)) as r:
                for key in keys:
                    r[key]
        return run

    def one_store():
        with VornReader(single) as r:
            r[keys[0]]

    default, checked, alone = alternate([sharded(None), sharded(True), one_store], repeat)
    ms = lambda times: f"{statistics.median(times) * 1e3:8.2f} ms"  # noqa: E731
    print(f"{name}: {len(keys)} shards, {single.stat().st_size / 2**20:.1f} MiB of store")
    print(f"  ShardedReader(path), one key per shard      {ms(default)}")
    print(f"  ShardedReader(path, verify=True), the same  {ms(checked)}"
          f"   default/checked {median_ratio(default, checked):.3f}x")
    print(f"  VornReader(path), one key                   {ms(alone)}"
          f"   sharded default/single {median_ratio(default, alone):.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--keys", type=int, default=500_000, help="synthetic pairs")
    args = parser.parse_args()
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} on "
          f"{os.cpu_count()} cores")
    sets = [("synthetic", lambda: synthetic_pairs(args.keys))]
    if PYPI.exists():
        sets.insert(0, ("pypi.tsv", pypi_pairs))
    for name, pairs in sets:
        with tempfile.TemporaryDirectory() as tmp:
            keys = build(pairs(), Path(tmp), args.shards)
            measure(name, Path(tmp), keys, args.repeat)


if __name__ == "__main__":
    main()
