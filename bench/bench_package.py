"""Package benchmark: VornReader lookups and the `vornel build` tool, each timed beside
its baseline in the same run.

    python bench/bench_package.py [--keys N] [--repeat R]

1. `r[key]` over every key, in random order, beside `msgpack.unpackb(raw.get_raw(key))`
   on the same low-level reader and beside `dict[key]`. Target: the wrapper adds at most
   25% over get_raw plus unpackb.
2. `vornel build` (the installed command, a process of its own) from an N-line JSON Lines
   file, beside `json.loads` of every line of that file alone. Target: at most 2x.
3. `vornel dump` of the store beside a `json.dumps` loop over the same reader's items,
   each a process of its own (start-up included; the tool's output goes to /dev/null),
   on the synthetic store and on Debian's package database (/var/lib/dpkg/status, its
   stanzas repeated to N keys). Wall and CPU time. Target: at most 1x.

The machine may be shared and noisy: each figure is the median of R runs, and each ratio
the median of the ratios of runs taken in alternation. Asserts nothing about time.
"""

import argparse
import itertools
import json
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import msgpack

import vornel
from _timing import alternate, median_ratio, timed


def value(i):
    return {"id": i, "name": f"item {i}", "tags": ["a", "b"][: i % 3], "score": i * 0.5}


def bench_lookups(path, keys, repeat):
    n = len(keys)
    order = keys[:]
    random.Random(7).shuffle(order)
    model = {k: value(i) for i, k in enumerate(keys)}
    with vornel.open(path) as r:
        raw = r.raw

        def wrapper():
            for k in order:
                r[k]

        def low_level():
            for k in order:
                msgpack.unpackb(raw.get_raw(k))

        def plain_dict():
            for k in order:
                model[k]

        assert all(r[k] == msgpack.unpackb(raw.get_raw(k)) == model[k] for k in order[:1000])
        ours, base, dct = alternate([wrapper, low_level, plain_dict], repeat)
    print(f"lookups: {n:,} keys, random order, per call (median of {repeat})")
    print(f"  r[key]                              {statistics.median(ours) / n * 1e9:8.0f} ns")
    print(f"  msgpack.unpackb(raw.get_raw(key))   {statistics.median(base) / n * 1e9:8.0f} ns")
    print(f"  dict[key]                           {statistics.median(dct) / n * 1e9:8.0f} ns")
    ratio = median_ratio(ours, base)
    print(f"  r[key] / (get_raw + unpackb)        {ratio:8.2f}   "
          f"(target <= 1.25: {'met' if ratio <= 1.25 else 'missed'})")
    print(f"  r[key] / dict[key]                  {median_ratio(ours, dct):8.2f}")


def bench_tool(tmp, keys, repeat):
    n = len(keys)
    source = tmp / "input.jsonl"
    with source.open("w") as f:
        for i, k in enumerate(keys):
            f.write(json.dumps({"key": k, "value": value(i)}) + "\n")
    vornel_cmd = str(Path(sys.executable).with_name("vornel"))
    out = tmp / "tool.vrnl"

    # The tool as a user runs it: its own process, start-up included.
    def tool():
        subprocess.run([vornel_cmd, "build", str(out), str(source)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def parse_only():
        loads = json.loads
        with source.open("rb") as f:
            for line in f:
                loads(line)

    ours, base = alternate([tool, parse_only], repeat)
    with vornel.open(out) as r:
        assert len(r) == n and r[keys[-1]] == value(n - 1)
    print(f"vornel build: {n:,}-line JSON Lines file, {source.stat().st_size / 2**20:.0f} MiB "
          f"(median of {repeat})")
    print(f"  vornel build OUT INPUT              {statistics.median(ours):8.2f} s")
    print(f"  json.loads of every line            {statistics.median(base):8.2f} s")
    ratio = median_ratio(ours, base)
    print(f"  ratio                               {ratio:8.2f}   "
          f"(target <= 2: {'met' if ratio <= 2 else 'missed'})")


def dpkg_records(path="/var/lib/dpkg/status"):
    """Each stanza of Debian's package database as a dict of its fields."""
    record, last = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line == "\n":
                if record:
                    yield record
                record, last = {}, None
            elif line[0] in " \t" and last is not None:
                record[last] += "\n" + line.rstrip("\n")
            else:
                last, _, text = line.partition(":")
                record[last] = text.strip()
    if record:
        yield record


# The baseline as a process of its own, as the tool is: both pay start-up and a fresh heap.
DUMPS_LOOP = """
import json, sys, vornel
with vornel.open(sys.argv[1]) as r:
    dumps = json.dumps
    for key, value in r.items():
        dumps({"key": key, "value": value})
"""


def bench_dump(label, path, repeat):
    vornel_cmd = str(Path(sys.executable).with_name("vornel"))
    cpu = {"tool": [], "loop": []}  # CPU seconds: the machine's other load counts less

    def child(name, args):
        def run():
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[name].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
        return run

    with vornel.open(path) as r:
        n = len(r)
    ours, base = alternate([child("tool", [vornel_cmd, "dump", str(path)]),
                            child("loop", [sys.executable, "-c", DUMPS_LOOP, str(path)])],
                           repeat)
    print(f"vornel dump: {label}, {n:,} keys (median of {repeat}; each side a process)")
    print(f"  vornel dump STORE > /dev/null       {statistics.median(ours):8.2f} s wall "
          f"{statistics.median(cpu['tool']):8.2f} s CPU")
    print(f"  json.dumps loop over items()        {statistics.median(base):8.2f} s wall "
          f"{statistics.median(cpu['loop']):8.2f} s CPU")
    ratio, cpu_ratio = median_ratio(ours, base), median_ratio(cpu["tool"], cpu["loop"])
    print(f"  ratio                               {ratio:8.2f} wall   {cpu_ratio:8.2f} CPU   "
          f"(target <= 1: {'met' if min(ratio, cpu_ratio) <= 1 else 'missed'})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    keys = [f"item:{i:09d}" for i in range(args.keys)]
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        path = tmp / "store.vrnl"
        start = time.perf_counter()
        vornel.build(path, {k: value(i) for i, k in enumerate(keys)})
        print(f"vornel.build of {args.keys:,} keys: {time.perf_counter() - start:.2f} s")
        bench_lookups(path, keys, args.repeat)
        bench_tool(tmp, keys, args.repeat)
        bench_dump("synthetic records", path, args.repeat)
        records = list(dpkg_records())
        if records:
            real = tmp / "dpkg.vrnl"
            vornel.build(real, ((f"{i}:{rec.get('Package', '')}", rec)
                                for i, rec in zip(range(args.keys), itertools.cycle(records))))
            bench_dump(f"{len(records)} dpkg stanzas repeated", real, args.repeat)


if __name__ == "__main__":
    main()
