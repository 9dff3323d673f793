"""Reader benchmark: a store of random text keys and 100-byte payloads, each query
timed beside the Python dict (or list) doing the same job in the same run.

    PYTHONPATH=<module build dir> python bench/bench_reader.py [--keys N]

Prints figures and ratios; asserts nothing about time.
"""

import argparse
import bisect
import gc
import os
import random
import resource
import string
import subprocess
import sys
import tempfile
import time
import zlib

import _vornel

ALPHABET = string.ascii_letters + string.digits


def best_ns(fn, repeat):
    """Fastest of `repeat` runs of fn(), in nanoseconds."""
    best = None
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        start = time.perf_counter_ns()
        fn()
        elapsed = time.perf_counter_ns() - start
        gc.enable()
        best = elapsed if best is None else min(best, elapsed)
    return best


def paired(ours, base, repeat, timer=lambda fn: best_ns(fn, 1)):
    """Best times of ours() and base(), run alternately, and the median ratio of the
    pairs: machine load that drifts during the run then touches both sides alike.
    `timer(fn)` times one run of fn in nanoseconds."""
    pairs = [(timer(ours), timer(base)) for _ in range(repeat)]
    ratios = sorted(o / b for o, b in pairs)
    return min(o for o, _ in pairs), min(b for _, b in pairs), ratios[len(ratios) // 2]


def row(name, measured, base_name, per=1):
    ours_ns, base_ns, ratio = measured
    ours, base = ours_ns / per, base_ns / per
    unit, scale = ("ns", 1) if max(ours, base) < 100_000 else ("ms", 1e6)
    print(f"  {name:<26}{ours / scale:>12.1f} {unit}  {base_name:<30}{base / scale:>12.1f} {unit}"
          f"   ratio {ratio:5.2f}")


MEMORY_PROBE = r"""
import sys, _vornel
def rss():
    return int(open('/proc/self/statm').read().split()[1]) * 4096
def mapped(path):
    total, inside = 0, False
    for line in open('/proc/self/smaps'):
        if line[0] in '0123456789abcdef' and ' ' in line and '-' in line.split()[0]:
            inside = line.rstrip().endswith(path)
        elif inside and line.startswith('Rss:'):
            total += int(line.split()[1]) * 1024
    return total
path, verify = sys.argv[1], sys.argv[2] == '1'
before = rss()
reader = _vornel._VornReader(path, verify)
print(rss() - before, mapped(path))
"""


def reader_memory(path, verify):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_vornel.__file__))
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, "1" if verify else "0"],
                         env=env, capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, repeat = args.keys, args.repeat

    rng = random.Random(20240601)
    keys = list({"".join(rng.choices(ALPHABET, k=rng.randint(16, 32))): None
                 for _ in range(n)})
    n = len(keys)
    payloads = [rng.randbytes(100) for _ in range(n)]
    key_bytes = sum(len(k) for k in keys)
    print(f"{n:,} keys of 16-32 characters (mean {key_bytes / n:.1f} bytes), "
          f"100-byte payloads")

    tmp = tempfile.mkdtemp(prefix="bench_reader_")
    path = os.path.join(tmp, "bench.vrnl")
    writer = _vornel._VornWriter()
    for i, key in enumerate(keys):
        writer.add_key(key, writer.add_object_raw(payloads[i]))
    start = time.perf_counter()
    writer.build(path)
    del writer
    print(f"store: {os.path.getsize(path) / 2**20:.1f} MiB, built in "
          f"{time.perf_counter() - start:.2f} s\n")

    d = dict(zip(keys, payloads))
    reader = _vornel._VornReader(path, False)
    order = keys[:]
    rng.shuffle(order)
    misses = ["#" + k for k in order]

    print("per call, keys in random order:")
    get, dget, exists = reader.get_raw, d.get, reader.exists

    def loop_get():
        for k in order:
            get(k)

    def loop_dget():
        for k in order:
            dget(k)

    def loop_exists():
        for k in order:
            exists(k)

    def loop_in():
        for k in order:
            k in d

    def loop_exists_miss():
        for k in misses:
            exists(k)

    def loop_in_miss():
        for k in misses:
            k in d

    def loop_empty():
        for k in order:
            pass

    empty = best_ns(loop_empty, repeat)
    get_vs = paired(loop_get, loop_dget, repeat)
    exists_vs = paired(loop_exists, loop_in, repeat)
    absent_vs = paired(loop_exists_miss, loop_in_miss, repeat)
    row("get_raw(k)", get_vs, "d.get(k)", n)
    row("exists(k)", exists_vs, "k in d", n)
    row("exists(k), absent", absent_vs, "k in d, absent", n)

    def bare(measured):
        return (measured[0] - empty) / (measured[1] - empty)

    print(f"  (each figure includes the bare loop, {empty / n:.1f} ns; without it: get_raw "
          f"{bare(get_vs):.2f}x, exists {bare(exists_vs):.2f}x, absent {bare(absent_vs):.2f}x)")

    sorted_keys = sorted(keys)
    prefixes = [k[:3] for k in order[:100_000]]
    prefix_raw = reader.prefix_raw
    matched = sum(len(prefix_raw(p)) for p in prefixes[:10_000]) / 10_000

    def loop_prefix():
        for p in prefixes:
            prefix_raw(p)

    def loop_bisect():
        for p in prefixes:
            i = bisect.bisect_left(sorted_keys, p)
            out = []
            while i < n and sorted_keys[i].startswith(p):
                out.append((sorted_keys[i], d[sorted_keys[i]]))
                i += 1

    row(f"prefix_raw (~{matched:.1f} hits)", paired(loop_prefix, loop_bisect, repeat),
        "bisect on a sorted list", len(prefixes))

    print("\nwhole store:")
    row("keys()", paired(reader.keys, lambda: list(d), repeat), "list(d)")
    row("items_raw()", paired(reader.items_raw, lambda: list(d.items()), repeat),
        "list(d.items())")
    with open(path, "rb") as f:
        body = f.read()[40:]
    row("verify()", paired(reader.verify, lambda: zlib.crc32(body), repeat),
        "zlib.crc32 of the same bytes")
    del body

    print("\nopen, the file in the page cache:")

    def fresh_timer(fn):
        """Times fn(keys) on a fresh copy of the keys, whose hashes are not cached yet;
        for the open, fn ignores them."""
        ks = [k.encode().decode() for k in keys]
        return best_ns(lambda: fn(ks), 1)

    def open_store(verify):
        return lambda _keys=None: _vornel._VornReader(path, verify)

    def build_dict(ks=keys):
        return dict(zip(ks, payloads))

    row("open, verify=False", paired(open_store(False), build_dict, repeat, fresh_timer),
        "dict(zip(keys, payloads))")
    row("open, verify=False", paired(open_store(False), build_dict, repeat),
        "same, key hashes cached")
    row("open, verify=True", paired(open_store(True), build_dict, repeat, fresh_timer),
        "dict(zip(keys, payloads))")

    print("\nmemory:")
    delta, mapped = reader_memory(path, False)
    own = delta - mapped
    dict_table = sys.getsizeof(d)
    key_objects = sum(sys.getsizeof(k) for k in keys)
    payload_objects = sum(sys.getsizeof(p) for p in payloads)
    print(f"  reader, resident after open: {delta / n:6.1f} B/key, of which mapped file pages "
          f"{mapped / n:5.1f} B/key")
    print(f"  reader, own memory:          {own / n:6.1f} B/key = key length "
          f"{key_bytes / n:.1f} + {(own - key_bytes) / n:.1f}   (budget: key length + 48)")
    print(f"  dict table alone:            {dict_table / n:6.1f} B/key")
    print(f"  dict with its key objects:   {(dict_table + key_objects) / n:6.1f} B/key   "
          f"ratio {own / (dict_table + key_objects):.2f}")
    print(f"  dict with keys and payloads: {(dict_table + key_objects + payload_objects) / n:6.1f}"
          f" B/key")
    print(f"  (peak RSS of this process: "
          f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB)")

    del reader
    os.unlink(path)
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
