"""Compressed stores and zero-copy views, beside the uncompressed store and LMDB, in one run.

Data nobody here wrote:
- dpkg: Debian's package database (/var/lib/dpkg/status), one record per package (its
  fields as a map, the description one string), under "package:architecture";
- stdlib: Python's standard library sources (*.py under the interpreter's lib/python3.13,
  site-packages left out), one str per file, under its relative path.

For each: file size, build time and decoded lookups of `VornWriter(compression="zstd")`
against the same values uncompressed and against LMDB holding the same MessagePack values
(LMDB's lookups decode with msgpack.unpackb). Targets: file <= 0.65x the uncompressed store
and <= 0.6x LMDB's; decoded lookups <= 1.4x the uncompressed store's; build <= 2.5x.

Views: `r.view(key)` of a 4 MiB bytes value against `r[key]` (target <= 0.05x), and
float32 embeddings read as `numpy.frombuffer(r.view(k), dtype=numpy.float32)` beside LMDB
with `buffers=True` and beside `numpy.frombuffer(r[k], ...)`.

Times are medians of rounds whose columns take turns (CPU time of this thread, except
builds, which include their fsync and are wall-clock). Writes docs/benchmarks/compression.md
and its charts; `--no-report` only prints.

    python bench/compression.py [--rounds R] [--queries Q] [--no-report]
"""

import argparse
import glob
import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

import msgpack
import numpy

import vornel
from peers import bar_chart, fmt_time, rounds, stem_of

try:
    import lmdb
except ImportError:
    lmdb = None

OURS = "vornel"
ZSTD = "vornel, zstd"
OUT = Path(__file__).resolve().parent.parent / "docs" / "benchmarks"


# ---- data ----------------------------------------------------------------------------------

def dpkg_records(path="/var/lib/dpkg/status"):
    """One map per stanza, continuation lines joined to their field."""
    out = {}
    for stanza in Path(path).read_text(encoding="utf-8", errors="replace").split("\n\n"):
        fields, last = {}, None
        for line in stanza.splitlines():
            if line[:1] in (" ", "\t") and last is not None:
                fields[last] += "\n" + line[1:]
            elif ":" in line:
                last, _, value = line.partition(":")
                fields[last] = value.strip()
        if "Package" in fields:
            out[f"{fields['Package']}:{fields.get('Architecture', '')}"] = fields
    return out


def stdlib_sources():
    roots = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.13.*/lib/python3.13")))
    root = Path(roots[-1]) if roots else Path(os.__file__).parent
    out = {}
    for p in sorted(root.rglob("*.py")):
        rel = p.relative_to(root).as_posix()
        if rel.startswith("site-packages/"):
            continue
        out[rel] = p.read_text(encoding="utf-8", errors="replace")
    return out


# ---- stores --------------------------------------------------------------------------------

def build_vornel(path, items, compression):
    w = vornel.VornWriter(compression=compression)
    w.update(items.items())
    w.build(path)


def build_lmdb(directory, pairs):
    shutil.rmtree(directory, ignore_errors=True)
    env = lmdb.open(directory, map_size=1 << 36, sync=True, metasync=True)
    with env.begin(write=True) as txn:
        txn.cursor().putmulti(pairs, append=True)
    env.close()


def lookups(reader, keys):
    for k in keys:
        reader[k]


def lmdb_lookups(txn, keys):
    get, unpackb = txn.get, msgpack.unpackb
    for k in keys:
        unpackb(get(k))


def measure_data_set(name, items, tmp, args):
    """Size, build and lookup figures for one data set; returns {figure: {column: value}}."""
    plain, packed = os.path.join(tmp, f"{name}.vrnl"), os.path.join(tmp, f"{name}.z.vrnl")
    pairs = sorted((k.encode(), msgpack.packb(v)) for k, v in items.items())
    builds = {
        OURS: lambda: build_vornel(plain, items, None),
        ZSTD: lambda: build_vornel(packed, items, "zstd"),
    }
    if lmdb is not None:
        builds["LMDB"] = lambda: build_lmdb(os.path.join(tmp, f"{name}.lmdb"), pairs)
    build = rounds(builds, args.rounds, clock=time.perf_counter)
    size = {OURS: os.path.getsize(plain), ZSTD: os.path.getsize(packed)}
    if lmdb is not None:
        size["LMDB"] = os.path.getsize(os.path.join(tmp, f"{name}.lmdb", "data.mdb"))
    rng = random.Random(7)
    keys = rng.choices(sorted(items), k=args.queries)
    r_plain, r_packed = vornel.VornReader(plain, False), vornel.VornReader(packed, False)
    fns = {OURS: lambda: lookups(r_plain, keys), ZSTD: lambda: lookups(r_packed, keys)}
    if lmdb is not None:
        env = lmdb.open(os.path.join(tmp, f"{name}.lmdb"), readonly=True, lock=False,
                        map_size=1 << 36)
        txn = env.begin()
        encoded = [k.encode() for k in keys]
        fns["LMDB"] = lambda: lmdb_lookups(txn, encoded)
    lookup = {k: v / len(keys) for k, v in rounds(fns, args.rounds).items()}
    # Where a compressed build's time goes: its compress phase (a walk of the values for the
    # dictionary's sample, and its training) until the sort starts. The values themselves
    # are compressed as the build writes them.
    phases = []
    for _ in range(args.rounds):
        w = vornel.VornWriter(compression="zstd")
        w.update(items.items())
        marks = {}
        w.build(packed, progress=lambda phase, *_: marks.setdefault(phase, time.perf_counter()))
        phases.append(marks["sort"] - marks["compress"])
    compress_phase = sorted(phases)[len(phases) // 2]
    stats = r_packed.stats()
    values = sum(len(p[1]) for p in pairs)
    return {
        "build": build, "size": size, "lookup": lookup,
        "keys": len(items), "value_bytes": values, "ratio": stats["compression_ratio"],
        "compress_phase": compress_phase,
    }


# ---- views -------------------------------------------------------------------------------

def measure_views(tmp, args):
    path = os.path.join(tmp, "views.vrnl")
    rng = numpy.random.default_rng(3)
    big = rng.integers(0, 255, 4 << 20, dtype=numpy.uint8).tobytes()
    n, dim = 20_000, 256
    embeddings = rng.standard_normal((n, dim), dtype=numpy.float32)
    items = {"big": big}
    items.update({f"e{i:06}": embeddings[i].tobytes() for i in range(n)})
    build_vornel(path, items, None)
    r = vornel.VornReader(path, False)
    calls = 200
    big_fns = {
        "r.view(key)": lambda: [r.view("big") for _ in range(calls)],
        "r[key]": lambda: [r["big"] for _ in range(calls)],
    }
    big_times = {k: v / calls for k, v in rounds(big_fns, args.rounds).items()}
    keys = [f"e{i:06}" for i in random.Random(5).choices(range(n), k=args.queries)]
    f32 = numpy.float32
    frombuffer = numpy.frombuffer
    fns = {
        "vornel view": lambda: [frombuffer(r.view(k), dtype=f32) for k in keys],
        "vornel r[key]": lambda: [frombuffer(r[k], dtype=f32) for k in keys],
    }
    if lmdb is not None:
        directory = os.path.join(tmp, "views.lmdb")
        build_lmdb(directory, sorted((k.encode(), v) for k, v in items.items() if k != "big"))
        env = lmdb.open(directory, readonly=True, lock=False, map_size=1 << 36)
        txn = env.begin(buffers=True)
        encoded = [k.encode() for k in keys]
        fns["LMDB buffers=True"] = lambda: [frombuffer(txn.get(k), dtype=f32) for k in encoded]
    embedding = {k: v / len(keys) for k, v in rounds(fns, args.rounds).items()}
    return {"big": big_times, "embedding": embedding, "dim": dim, "n": n}


# ---- report -------------------------------------------------------------------------------

def ratio_line(label, value, target):
    verdict = "met" if value <= target else "NOT met"
    return f"| {label} | {value:.3g}x | <= {target}x | {verdict} |"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--queries", type=int, default=50_000)
    parser.add_argument("--no-report", action="store_true")
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="vornel-compression-")
    try:
        sets = {"dpkg": dpkg_records(), "stdlib": stdlib_sources()}
        results = {name: measure_data_set(name, items, tmp, args) for name, items in sets.items()}
        views = measure_views(tmp, args)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    lines = [
        "# Compression and views",
        "",
        f"`python bench/compression.py --rounds {args.rounds} --queries {args.queries}` on "
        f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, load average "
        f"{os.getloadavg()[0]:.1f} at the end: a machine shared with other work, so same-run "
        "ratios count more than absolute times, and builds (which wait for fsync) vary most.",
        "",
    ]
    charts = []
    for name, res in results.items():
        size, build, lookup = res["size"], res["build"], res["lookup"]
        lines += [
            f"## {name}: {res['keys']:,} values, {res['value_bytes'] / 2**20:.2f} MiB of "
            f"MessagePack, {res['ratio']:.2f}x smaller compressed",
            "",
            "| Figure | " + " | ".join(size) + " |",
            "|---|" + "---|" * len(size),
            "| file size | " + " | ".join(f"{v / 2**20:.2f} MiB" for v in size.values()) + " |",
            "| build (with fsync) | " + " | ".join(fmt_time(v) for v in build.values()) + " |",
            "| decoded lookup | " + " | ".join(fmt_time(v) for v in lookup.values()) + " |",
            "",
            "Of the compressed build, sampling the values and training the dictionary "
            f"took {fmt_time(res['compress_phase'])}; the values are compressed one at a time "
            "as the build writes them. Decompressing adds "
            f"{fmt_time(lookup[ZSTD] - lookup[OURS])} to a lookup, about "
            f"{res['value_bytes'] / res['keys'] / max(lookup[ZSTD] - lookup[OURS], 1e-9) / 1e6:.0f}"
            " MB/s of values: zstd's own speed, against a decode that copies.",
            "",
            "| Target | Measured | Target | |",
            "|---|---|---|---|",
            ratio_line("file, compressed / uncompressed", size[ZSTD] / size[OURS], 0.65),
        ]
        if "LMDB" in size:
            lines.append(ratio_line("file, compressed / LMDB", size[ZSTD] / size["LMDB"], 0.6))
        lines += [
            ratio_line("decoded lookup, compressed / uncompressed", lookup[ZSTD] / lookup[OURS],
                       1.4),
            ratio_line("build, compressed / uncompressed", build[ZSTD] / build[OURS], 2.5),
            "",
        ]
        charts += [
            (f"{name}: file size", "MiB", {k: v / 2**20 for k, v in size.items()}),
            (f"{name}: build", "ms", {k: v * 1e3 for k, v in build.items()}),
            (f"{name}: decoded lookup", "µs per call", {k: v * 1e6 for k, v in lookup.items()}),
        ]
    big, emb = views["big"], views["embedding"]
    lines += [
        "## Views",
        "",
        f"A 4 MiB bytes value: `r.view(key)` {fmt_time(big['r.view(key)'])}, `r[key]` "
        f"{fmt_time(big['r[key]'])}.",
        "",
        "| Target | Measured | Target | |",
        "|---|---|---|---|",
        ratio_line("view / r[key] at 4 MiB", big["r.view(key)"] / big["r[key]"], 0.05),
        "",
        f"{views['n']:,} float32 embeddings of {views['dim']} dimensions, read into numpy "
        "arrays, per lookup:",
        "",
        "| " + " | ".join(emb) + " |",
        "|" + "---|" * len(emb),
        "| " + " | ".join(fmt_time(v) for v in emb.values()) + " |",
        "",
    ]
    charts += [
        ("4 MiB bytes value", "µs per call", {k: v * 1e6 for k, v in big.items()}),
        ("float32 embedding into numpy", "µs per call", {k: v * 1e6 for k, v in emb.items()}),
    ]
    report = "\n".join(lines)
    print(report)
    if args.no_report:
        return
    OUT.mkdir(parents=True, exist_ok=True)
    images = []
    for title, unit, values in charts:
        png = f"compression_{stem_of(title).lower()}.png"
        bar_chart(OUT / png, title, unit, values, "lower")
        images.append(f"![{title}]({png})")
    (OUT / "compression.md").write_text(report + "\n## Charts\n\n" + "\n\n".join(images) + "\n")


if __name__ == "__main__":
    main()
