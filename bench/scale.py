"""How staging, build, open, memory and lookups grow with the number of keys.

For each size a fresh process stages N keys (16 to 32 bytes, derived from the key's
number so that making them costs little) through the package's writer
(`VornWriter.update` on a generator of pairs, dedup on) and builds the store, which
carries the key table. Then two fresh processes read it, each on its own:

- the package's reader, `vornel.open(path, verify=False)`: the key table mapped;
- `_VornReader(path, False)`: every key indexed in memory at open, the baseline.

Each reader's process reports its first open (what a new worker pays), the best of
further opens (20 of the table, 2 of the index; each closed before the next), its private memory after the open and 20,000 lookups (the growth of
RssAnon: what no other process can share) and the CPU time of a lookup. Per-key figures
stay flat where a cost grows linearly. Staging and lookups count the CPU time of the
calling thread (the machine may be shared); build, which waits for fsync, and the
opens, the wall clock. Staging includes making the keys in Python (a few hundred ns each).

    python bench/scale.py [--sizes 1e6,1e7,1e8] [--payload 0] [--dir D]
                          [--memory-limit BYTES] [--no-index]

`--memory-limit` gives the writer that limit (by default its own, a quarter of the
machine's memory), past which it writes sorted runs beside the store; `--no-index` leaves
out the reader that indexes every key in memory, which needs 60 bytes a key of it.

Values: by default (`--payload 0`) key i holds the integer i % 4096 (one to three bytes
of MessagePack), so dedup keeps 4,096 objects however many keys there are: the writer's
peak then leaves room for 10^8 keys on a machine of 23 GiB. `--payload N` gives every key
its own N-byte value instead, which dedup cannot share.
"""

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

SUFFIX = [b"", b"a", b"bc", b"def", b"ghij", b"klmno", b"pqrstu", b"vwxyzAB", b"CDEFGHIJ",
          b"KLMNOPQRS", b"TUVWXYZ012", b"3456789abcd", b"efghijklmnop", b"qrstuvwxyzABC",
          b"DEFGHIJKLMNOPQ", b"RSTUVWXYZ012345", b"6789abcdefghijkl"]
MIX = 0x9E3779B97F4A7C15
DISTINCT_SMALL = 4096
MEMORY_LOOKUPS = 20_000
REOPENS = 20


def key_of(i):
    """The i-th key: 16 hex digits of a bijective mix of i, then 0 to 16 more bytes."""
    return b"%016x" % ((i * MIX) & 0xFFFFFFFFFFFFFFFF) + SUFFIX[(i * 7) % 17]


def pairs(n, payload):
    if payload == 0:
        for i in range(n):
            yield key_of(i), i % DISTINCT_SMALL
    else:
        reps = payload // 16 + 1
        for i in range(n):
            k = key_of(i)
            yield k, (k[:16] * reps)[:payload]


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def anon_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


def write_phase(n, payload, path, memory_limit):
    import vornel

    base = rss_mib()
    w = vornel.VornWriter(memory_limit=memory_limit or None, run_dir=os.path.dirname(path))
    start = time.thread_time()
    w.update(pairs(n, payload))
    staging = time.thread_time() - start
    staged_rss = rss_mib() - base
    start = time.perf_counter()
    w.build(path)
    build = time.perf_counter() - start
    return {"staging_s": staging, "staged_mib": staged_rss, "build_s": build,
            "build_peak_mib": peak_mib(), "objects": w.num_objects, "runs": w._runs}


def read_phase(n, path, lookups, which):
    rng = random.Random(5)
    probes = [key_of(rng.randrange(n)) for _ in range(max(lookups, MEMORY_LOOKUPS))]
    if which == "table":
        import vornel

        def open_store():
            return vornel.open(path, verify=False)

        def getter(r):
            return r.__getitem__
    else:
        from _vornel import _VornReader

        def open_store():
            return _VornReader(path, False)

        def getter(r):
            return r.get_raw
    base = anon_bytes()
    start = time.perf_counter()
    r = open_store()
    open_s = time.perf_counter() - start
    get = getter(r)
    for k in probes[:MEMORY_LOOKUPS]:
        get(k)
    private = anon_bytes() - base
    table = r.stats().get("key_table", "") if which == "table" else ""
    start = time.thread_time()
    for k in probes[:lookups]:
        get(k)
    lookup = (time.thread_time() - start) / lookups
    r.close()
    best = float("inf")
    for _ in range(REOPENS if which == "table" else 2):  # the index: seconds each at 10^8
        start = time.perf_counter()
        again = open_store()
        best = min(best, time.perf_counter() - start)
        again.close()
    return {"open_s": open_s, "reopen_s": best, "private_b": private,
            "lookup_ns": lookup * 1e9, "key_table": table}


def child(args):
    if args.phase == "write":
        result = write_phase(args.n, args.payload, args.path, args.memory_limit)
    else:
        result = read_phase(args.n, args.path, args.lookups, args.phase)
    print(json.dumps(result))


def run_child(phase, n, path, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--phase", phase, "--n", str(n),
           "--path", path, "--payload", str(args.payload), "--lookups", str(args.lookups),
           "--memory-limit", str(args.memory_limit)]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{phase} phase of {n:,} keys failed:\n{out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--payload", type=int, default=0,
                        help="bytes of each key's own value; 0: small shared integers")
    parser.add_argument("--lookups", type=int, default=200_000)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--memory-limit", type=int, default=0,
                        help="the writer's memory limit in bytes; 0: its default")
    parser.add_argument("--no-index", action="store_true",
                        help="leave out the reader that indexes every key in memory")
    parser.add_argument("--phase", choices=["write", "table", "index"], help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        return child(args)

    sizes = [int(float(s)) for s in args.sizes.split(",")]
    what = (f"the integer i % {DISTINCT_SMALL} per key (dedup keeps {DISTINCT_SMALL:,} objects)"
            if args.payload == 0 else f"{args.payload} bytes of its own per key")
    print(f"values: {what}; {args.lookups:,} random lookups per reader; private memory "
          f"after open and {MEMORY_LOOKUPS:,} lookups")
    print(f"{'':>12} {'-- writer (package) --':^40} {'':>9} "
          f"{'---- key table: vornel.open ----':^38} {'-- index in memory: _VornReader --':^38}")
    print(f"{'keys':>12} {'staging':>9} {'ns/key':>7} {'build':>8} {'ns/key':>7} {'peak':>7} "
          f"{'B/key':>6} {'file':>8} {'open':>9} {'best':>9} {'private':>8} {'':>7} {'lookup':>7} "
          f"{'open':>9} {'best':>9} {'private':>8} {'lookup':>7}")
    for n in sizes:
        tmp = tempfile.mkdtemp(prefix="scale_", dir=args.dir)
        path = os.path.join(tmp, "scale.vrnl")
        try:
            w = run_child("write", n, path, args)
            size = os.path.getsize(path)
            print(f"  written: {json.dumps(w)}, {size:,} bytes", flush=True)
            with open(path, "rb") as f:  # a store without its key table is left unread:
                f.seek(16)               # its reader would index every key in memory
                index_offset = int.from_bytes(f.read(8), "big")
                f.seek(index_offset - 104)
                if f.read(8) != b"VRNLKTAB":
                    print("  the store has no key table (its record would pass 4 GiB); "
                          "not read", flush=True)
                    continue
            tb = run_child("table", n, path, args)
            ix = None if args.no_index else run_child("index", n, path, args)
        except RuntimeError as e:
            print(e)
            break
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        if tb["key_table"] != "in use":
            print(f"  note: the key table is not in use ({tb['key_table']})")

        def ms(s):
            return f"{s * 1e3:7.3f}ms" if s < 1 else f"{s:8.2f}s"

        print(f"{n:>12,} {w['staging_s']:>8.1f}s {w['staging_s'] / n * 1e9:>7.0f} "
              f"{w['build_s']:>7.1f}s {w['build_s'] / n * 1e9:>7.0f} "
              f"{w['build_peak_mib'] / 1024:>5.1f}Gi {w['build_peak_mib'] * 2**20 / n:>6.0f} "
              f"{size / 2**30:>6.2f}Gi "
              f"{ms(tb['open_s']):>9} {ms(tb['reopen_s']):>9} {tb['private_b'] / n:>6.3f}B "
              f"{tb['private_b'] / 1024:>5.0f}Ki "
              f"{tb['lookup_ns']:>5.0f}ns " + (
                  "(not run)" if ix is None else
                  f"{ms(ix['open_s']):>9} {ms(ix['reopen_s']):>9} {ix['private_b'] / n:>6.1f}B "
                  f"{ix['lookup_ns']:>5.0f}ns"), flush=True)
        if w.get("runs"):
            print(f"  the writer wrote {w['runs']} sorted runs and merged them", flush=True)
    print("peak: the writer process's peak resident memory; private: RssAnon growth per key.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
