"""Codec benchmark: the engine's MessagePack packb/unpackb beside msgpack-python's on
typical values, measured in the same run.

    python bench/bench_codec.py [--repeat R]

Encoding is compared with a reused `msgpack.Packer(use_bin_type=True).pack` (the
cheapest way msgpack-python offers) and decoding with
`msgpack.unpackb(data, strict_map_key=False)`. Each figure is the median of R rounds
taken in alternation, in nanoseconds per call; a ratio below 1 means the engine is
faster. Asserts nothing about time.
"""

import argparse
import gc
import statistics
import time

import msgpack

from vornel._engine import packb, unpackb


def record(i):
    return {"id": i, "name": f"item {i}", "tags": ["red", "green", "blue"][: i % 4],
            "score": i * 0.25, "active": i % 2 == 0,
            "meta": {"created": 1_700_000_000 + i, "by": "loader", "rev": i % 7}}


VALUES = {
    "int": 123_456,
    "short str": "city:bern",
    "float": 3.25,
    "None": None,
    "small dict": {"country": "CH", "population": 134_000},
    "record": record(7),
    "100 ints": list(range(-50, 50)),
    "100 floats": [i / 7 for i in range(100)],
    "100 records": [record(i) for i in range(100)],
    "ascii str 1 KiB": "x" * 1024,
    "non-ascii str 1 KiB": "gr\u00fc\u00dfe \u2705 " * 100,
    "bytes 4 KiB": bytes(range(256)) * 16,
    "tuple of strs": tuple(f"word{i}" for i in range(20)),
}


def per_call(fn, arg, calls):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(calls):
            fn(arg)
        return (time.perf_counter() - start) / calls * 1e9
    finally:
        gc.enable()


def calls_for(fn, arg):
    """Enough calls for about 20 ms."""
    calls = 1
    while per_call(fn, arg, calls) * calls < 2e7:
        calls *= 4
    return calls


def compare(ours, theirs, arg, repeat):
    calls = calls_for(theirs, arg)
    ours_t, theirs_t = [], []
    for _ in range(repeat):
        ours_t.append(per_call(ours, arg, calls))
        theirs_t.append(per_call(theirs, arg, calls))
    ratio = statistics.median(o / t for o, t in zip(ours_t, theirs_t))
    return statistics.median(ours_t), statistics.median(theirs_t), ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    packer = msgpack.Packer(use_bin_type=True)

    def reference_unpack(data):
        return msgpack.unpackb(data, strict_map_key=False)

    print(f"{'value':<22}{'pack ns':>9}{'msgpack':>9}{'ratio':>7}"
          f"{'unpack ns':>11}{'msgpack':>9}{'ratio':>7}")
    for name, value in VALUES.items():
        data = packer.pack(value)
        assert packb(value) == data  # the same bytes, or the comparison means nothing
        p = compare(packb, packer.pack, value, args.repeat)
        u = compare(unpackb, reference_unpack, data, args.repeat)
        print(f"{name:<22}{p[0]:>9.0f}{p[1]:>9.0f}{p[2]:>7.2f}"
              f"{u[0]:>11.0f}{u[1]:>9.0f}{u[2]:>7.2f}")


if __name__ == "__main__":
    main()
