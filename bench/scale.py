"""How staging, build, open and lookups grow with the number of keys.

For each size a fresh process stages N keys (16 to 32 bytes, derived from the key's
number so that making them costs little) each bound to its own payload, and builds the
store; a second fresh process opens it and looks keys up. Each prints time and peak
resident memory per phase, so that the growth from size to size is visible: per-key
figures stay flat where a cost is linear. Staging, open and lookups count the CPU time of
the calling thread (the machine may be shared); build, which waits for fsync, the wall clock.
Staging includes making the keys in Python (a few hundred ns each).

    python bench/scale.py [--sizes 1e6,1e7] [--payload 100] [--dir D]

The largest size this machine allows is bounded by memory: the writer holds the staged
records, keys and key table, and build adds the sort entries and the index section.
"""

import argparse
import json
import os
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


def key_of(i):
    """The i-th key: 16 hex digits of a bijective mix of i, then 0 to 16 more bytes."""
    return b"%016x" % ((i * MIX) & 0xFFFFFFFFFFFFFFFF) + SUFFIX[(i * 7) % 17]


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def write_phase(n, payload_size, path):
    from _vornel import _VornWriter

    payload = bytes(range(1, payload_size + 1)) if payload_size <= 255 else b"x" * payload_size
    base = rss_mib()
    w = _VornWriter()
    add_object, add_key = w.add_object_raw, w.add_key
    start = time.thread_time()
    for i in range(n):
        add_key(key_of(i), add_object(payload))
    staging = time.thread_time() - start
    staged_rss = rss_mib() - base
    staged_peak = peak_mib()
    null = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(null, 1)
    try:
        start = time.perf_counter()
        w.build(path)
        build = time.perf_counter() - start
    finally:
        os.dup2(saved, 1)
    return {"staging_s": staging, "staged_mib": staged_rss, "staging_peak_mib": staged_peak,
            "build_s": build, "build_peak_mib": peak_mib()}


def read_phase(n, path, lookups):
    import random

    from _vornel import _VornReader

    rng = random.Random(5)
    keys = [key_of(rng.randrange(n)) for _ in range(lookups)]
    base, base_peak = rss_mib(), peak_mib()
    start = time.thread_time()
    r = _VornReader(path, False)
    open_s = time.thread_time() - start
    opened = rss_mib() - base
    open_peak = peak_mib() - base_peak
    get = r.get_raw
    start = time.thread_time()
    for k in keys:
        get(k)
    lookup = (time.thread_time() - start) / len(keys)
    start = time.thread_time()
    r2 = _VornReader(path, False)  # a second open, with the first one's pages warm
    reopen_s = time.thread_time() - start
    del r2
    return {"open_s": open_s, "reopen_s": reopen_s, "open_rss_mib": opened,
            "open_peak_mib": open_peak, "lookup_ns": lookup * 1e9}


def child(args):
    if args.phase == "write":
        result = write_phase(args.n, args.payload, args.path)
    else:
        result = read_phase(args.n, args.path, args.lookups)
    print(json.dumps(result))


def run_child(phase, n, path, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--phase", phase, "--n", str(n),
           "--path", path, "--payload", str(args.payload), "--lookups", str(args.lookups)]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{phase} phase of {n:,} keys failed:\n{out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--payload", type=int, default=100, help="payload bytes per key")
    parser.add_argument("--lookups", type=int, default=1_000_000)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--phase", choices=["write", "read"], help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        return child(args)

    sizes = [int(float(s)) for s in args.sizes.split(",")]
    print(f"payload {args.payload} bytes per key; {args.lookups:,} random lookups per size")
    print(f"{'keys':>12} {'staging':>9} {'ns/key':>7} {'staged':>9} {'B/key':>6} "
          f"{'build':>8} {'ns/key':>7} {'peak':>9} {'B/key':>6} {'open':>8} {'ns/key':>7} "
          f"{'reopen':>8} {'open mem':>9} {'B/key':>6} {'lookup':>8}")
    first = None
    for n in sizes:
        tmp = tempfile.mkdtemp(prefix="scale_", dir=args.dir)
        path = os.path.join(tmp, "scale.vrnl")
        try:
            w = run_child("write", n, path, args)
            size = os.path.getsize(path)
            rd = run_child("read", n, path, args)
        except RuntimeError as e:
            print(e)
            break
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        mib = 2**20
        print(f"{n:>12,} {w['staging_s']:>8.2f}s {w['staging_s'] / n * 1e9:>7.0f} "
              f"{w['staged_mib']:>7.0f}Mi {w['staged_mib'] * mib / n:>6.0f} "
              f"{w['build_s']:>7.2f}s {w['build_s'] / n * 1e9:>7.0f} "
              f"{w['build_peak_mib']:>7.0f}Mi {w['build_peak_mib'] * mib / n:>6.0f} "
              f"{rd['open_s']:>7.3f}s {rd['open_s'] / n * 1e9:>7.0f} {rd['reopen_s']:>7.3f}s "
              f"{rd['open_rss_mib']:>7.0f}Mi {rd['open_rss_mib'] * mib / n:>6.0f} "
              f"{rd['lookup_ns']:>6.0f}ns", flush=True)
        first = first or (n, w, rd, size)
    if first:
        print("ns/key and B/key columns stay flat where a cost grows linearly; "
              "peak is the writer process's peak resident memory.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
