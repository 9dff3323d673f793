"""The store beside its peers, on the same generated data, in one run.

Peers: dict (pickled to a file for the durable figures), LMDB (`lmdb`), marisa-trie,
keyvi and SQLite; zlib's and ISA-L's CRC-32 passes over the file for the checksum
figures. A peer that is not installed is skipped and named as skipped. The peers are
benchmark dependencies only (requirements-bench.txt).

Data: N text keys of 16 to 32 bytes in groups of about ten that share their first 12
bytes (so a prefix scan of a group prefix finds a run of ten), each bound to a 100-byte
payload drawn in turn from a pool of 4,096 distinct ones. Stores that keep equal values once
(marisa-trie and keyvi, and pickle's memo) profit from the repeats in file size and build
time; vornel, LMDB and SQLite store a copy per key. Payloads hold no zero byte because
keyvi's string values end at one.
Every key is staged in random order unless a figure says otherwise.

Every figure is the median of several rounds, the peers taking turns within a round so
that drifting machine load touches all of them alike. Per-call loops drop each result
at once, as a caller that uses it and moves on would.

The durable build is also measured through the vornel package's bulk path
(`VornWriter.update` on prepared pairs), with and without its dedup.

Writes docs/benchmarks/peers.md and PNG bar charts beside it; `--only` measures some
figures, prints them and writes nothing.

    python bench/peers.py [--keys N] [--rounds R] [--out DIR]
    python bench/peers.py --only items,prefix [--peers LMDB]   # some figures, no report
"""

import argparse
import gc
import mmap
import os
import pickle
import platform
import random
import shutil
import statistics
import string
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import _vornel
import vornel

try:
    import lmdb
except ImportError:
    lmdb = None
try:
    import marisa_trie
except ImportError:
    marisa_trie = None
try:
    import keyvi.compiler
    import keyvi.dictionary
except ImportError:
    keyvi = None
try:
    from isal import isal_zlib
except ImportError:
    isal_zlib = None
import sqlite3

ALPHABET = (string.ascii_letters + string.digits).encode()
GROUP = 10
PREFIX_LEN = 12
OURS = "vornel"
# What --only can choose.
FIGURES = ("build", "open", "lookup", "prefix", "items", "verify", "memory")


# ---- data --------------------------------------------------------------------------------

def make_data(n, seed):
    rng = random.Random(seed)
    keys = set()
    groups = []
    while len(keys) < n:
        head = bytes(rng.choices(ALPHABET, k=PREFIX_LEN))
        groups.append(head)
        for _ in range(GROUP):
            keys.add(head + bytes(rng.choices(ALPHABET, k=rng.randint(4, 20))))
    keys = list(keys)[:n]
    rng.shuffle(keys)
    payloads = [bytes(rng.randint(1, 255) for _ in range(100)) for _ in range(min(n, 4096))]
    # Distinct payloads cost generation time only; reuse a pool, one object per key.
    values = [payloads[i % len(payloads)] for i in range(n)]
    return keys, values, groups


def durable(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def drop_from_cache(paths):
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.fdatasync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


class Quiet:
    """Sends file descriptor 1 to /dev/null: the build's summary line is not a figure."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)


# ---- peers -------------------------------------------------------------------------------
#
# Each peer knows how to build its file durably from (text keys, bytes keys, payloads),
# open it, and answer the queries. `files` lists what a cold open must drop from the
# page cache.

class Vornel:
    name = OURS
    text_keys = True

    def __init__(self, d):
        self.path = os.path.join(d, "store.vrnl")
        self.files = [self.path]

    def stage(self, keys, values):
        w = _vornel._VornWriter()
        add_object, add_key = w.add_object_raw, w.add_key
        for k, v in zip(keys, values):
            add_key(k, add_object(v))
        return w

    def build(self, keys, values):
        w = self.stage(keys, values)
        with Quiet():
            w.build(self.path)

    def open(self):
        self.r = _vornel._VornReader(self.path, False)
        return self.r

    def close(self):
        self.r = None

    def get(self, keys):
        get = self.r.get_raw
        for k in keys:
            get(k)

    def exists(self, keys):
        exists = self.r.exists
        for k in keys:
            exists(k)

    def prefix(self, prefixes):
        prefix_raw = self.r.prefix_raw
        for p in prefixes:
            prefix_raw(p)

    def items(self):
        return self.r.items_raw()


class Dict:
    name = "dict (pickle)"
    text_keys = True

    def __init__(self, d):
        self.path = os.path.join(d, "dict.pickle")
        self.files = [self.path]

    def build(self, keys, values):
        with open(self.path, "wb") as f:
            pickle.dump(dict(zip(keys, values)), f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())

    def open(self):
        with open(self.path, "rb") as f:
            self.d = pickle.load(f)
        self.sorted = None
        return self.d

    def close(self):
        self.d = self.sorted = None

    def get(self, keys):
        get = self.d.get
        for k in keys:
            get(k)

    def exists(self, keys):
        d = self.d
        for k in keys:
            k in d

    def prefix(self, prefixes):
        import bisect
        if self.sorted is None:
            # A sorted key list is what a dict needs for prefix scans; made once.
            self.sorted = sorted(self.d)
        s, d, n = self.sorted, self.d, len(self.sorted)
        for p in prefixes:
            i = bisect.bisect_left(s, p)
            out = []
            while i < n and s[i].startswith(p):
                out.append((s[i], d[s[i]]))
                i += 1

    def items(self):
        return list(self.d.items())


class Lmdb:
    name = "LMDB"
    text_keys = False

    def __init__(self, d):
        self.dir = os.path.join(d, "lmdb")
        self.files = [os.path.join(self.dir, "data.mdb")]

    def build(self, keys, values):
        # The peer gets its input presorted, as append mode requires: its best case.
        shutil.rmtree(self.dir, ignore_errors=True)
        env = lmdb.open(self.dir, map_size=1 << 36, sync=True, metasync=True)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(self.pairs, append=True)
        env.close()

    def prepare(self, keys, values):
        self.pairs = sorted(zip(keys, values))

    def open(self):
        self.env = lmdb.open(self.dir, readonly=True, lock=False, map_size=1 << 36)
        self.txn = self.env.begin(buffers=False)
        return self.env

    def close(self):
        self.txn.abort()
        self.env.close()
        self.txn = self.env = None

    def get(self, keys):
        get = self.txn.get
        for k in keys:
            get(k)

    def exists(self, keys):
        set_key = self.txn.cursor().set_key
        for k in keys:
            set_key(k)

    def prefix(self, prefixes):
        cur = self.txn.cursor()
        for p in prefixes:
            out = []
            if cur.set_range(p):
                for k, v in cur:
                    if not k.startswith(p):
                        break
                    out.append((k, v))

    def items(self):
        return list(self.txn.cursor())


class Marisa:
    name = "marisa-trie"
    text_keys = True

    def __init__(self, d):
        self.path = os.path.join(d, "store.marisa")
        self.files = [self.path]

    def build(self, keys, values):
        marisa_trie.BytesTrie(zip(keys, values)).save(self.path)
        durable(self.path)

    def open(self):
        self.t = marisa_trie.BytesTrie().mmap(self.path)
        return self.t

    def close(self):
        self.t = None

    def get(self, keys):
        get = self.t.get
        for k in keys:
            get(k)

    def exists(self, keys):
        t = self.t
        for k in keys:
            k in t

    def prefix(self, prefixes):
        items = self.t.items
        for p in prefixes:
            items(p)

    def items(self):
        return self.t.items()


class Keyvi:
    name = "keyvi"
    text_keys = True

    def __init__(self, d):
        self.path = os.path.join(d, "store.kv")
        self.files = [self.path]

    def build(self, keys, values):
        c = keyvi.compiler.StringDictionaryCompiler({"memory_limit_mb": "1024"})
        add = c.add
        for k, v in zip(keys, values):
            add(k, v.decode("latin-1"))
        c.compile()
        c.write_to_file(self.path)
        durable(self.path)

    def open(self):
        self.d = keyvi.dictionary.Dictionary(self.path)
        return self.d

    def close(self):
        self.d = None

    def get(self, keys):
        get = self.d.get
        for k in keys:
            m = get(k)
            if m is not None:
                m.value

    def exists(self, keys):
        d = self.d
        for k in keys:
            k in d

    def prefix(self, prefixes):
        complete = self.d.complete_prefix
        for p in prefixes:
            [(m.matched_string, m.value) for m in complete(p)]

    def items(self):
        return list(self.d.items())


class Sqlite:
    name = "SQLite"
    text_keys = True

    def __init__(self, d):
        self.path = os.path.join(d, "store.sqlite")
        self.files = [self.path]

    def build(self, keys, values):
        if os.path.exists(self.path):
            os.unlink(self.path)
        con = sqlite3.connect(self.path)
        con.execute("PRAGMA synchronous=FULL")
        con.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")
        with con:
            con.executemany("INSERT INTO kv VALUES (?, ?)", zip(keys, values))
        con.close()

    def open(self):
        self.con = sqlite3.connect(self.path)
        self.con.execute("SELECT count(*) FROM sqlite_master").fetchone()
        return self.con

    def close(self):
        self.con.close()
        self.con = None

    def get(self, keys):
        ex = self.con.execute
        for k in keys:
            ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()

    def exists(self, keys):
        ex = self.con.execute
        for k in keys:
            ex("SELECT 1 FROM kv WHERE k = ?", (k,)).fetchone()

    def prefix(self, prefixes):
        ex = self.con.execute
        for p in prefixes:
            ex("SELECT k, v FROM kv WHERE k >= ? AND k < ?", (p, p + "\U0010ffff")).fetchall()

    def items(self):
        return self.con.execute("SELECT k, v FROM kv ORDER BY k").fetchall()


BULK = OURS + " package (bulk)"
BULK_NO_DEDUP = OURS + " package (bulk, dedup=False)"


def package_stage(pairs, dedup):
    w = vornel.VornWriter(dedup=dedup)
    w.update(pairs)
    return w


def package_build(pairs, path, dedup):
    package_stage(pairs, dedup).build(path)


def available_peers():
    peers, skipped = [Vornel, Dict], []
    for cls, mod in ((Lmdb, lmdb), (Marisa, marisa_trie), (Keyvi, keyvi)):
        (peers if mod is not None else skipped).append(cls)
    peers.append(Sqlite)
    return peers, [c.name for c in skipped]


# ---- timing ------------------------------------------------------------------------------

def timed(fn, clock=time.thread_time):
    """Seconds that fn() takes by `clock`. The default counts this thread's CPU time: on a
    machine shared with other work, time spent waiting for a core is not the code's. Figures
    that wait for the disk (durable builds, cold opens) pass the wall clock."""
    start = clock()
    fn()
    return clock() - start


def rounds(named_fns, r, clock=time.thread_time):
    """Median seconds of each fn over r rounds, the fns taking turns within a round."""
    times = {name: [] for name in named_fns}
    for _ in range(r):
        for name, fn in named_fns.items():
            gc.collect()
            times[name].append(timed(fn, clock))
    return {name: statistics.median(t) for name, t in times.items()}


MEMORY_PROBE = r"""
import os, pickle, sys
sys.path[:0] = [os.path.dirname(sys.argv[1])]
import peers
def anon():
    with open('/proc/self/smaps_rollup') as f:
        fields = dict(line.split(':', 1) for line in f if ':' in line)
    return {k: int(fields[k].split()[0]) * 1024 for k in ('Rss', 'Anonymous')}
cls = {c.name: c for c in peers.available_peers()[0]}[sys.argv[2]]
peer = cls(sys.argv[3])
with open(sys.argv[4], 'rb') as f:
    keys = pickle.load(f)
before = anon()
handle = peer.open()
opened = anon()
peer.get(keys)
touched = anon()
print(opened['Anonymous'] - before['Anonymous'], touched['Rss'] - before['Rss'])
"""


def memory_of(peer, tmp, keys_file):
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, os.path.abspath(__file__), peer.name, tmp, keys_file],
        capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


# ---- report ------------------------------------------------------------------------------

def fmt(seconds, per=1):
    v = seconds / per
    if v < 1e-6:
        return f"{v * 1e9:.0f} ns"
    if v < 1e-3:
        return f"{v * 1e6:.2f} µs"
    if v < 1:
        return f"{v * 1e3:.1f} ms"
    return f"{v:.2f} s"


def bar_chart(path, title, unit, values, scale):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(values)
    heights = [values[n] * scale for n in names]
    colors = ["#c0392b" if n.startswith(OURS) else "#7f8c8d" for n in names]
    fig, ax = plt.subplots(figsize=(7, 0.45 * len(names) + 1.4))
    bars = ax.barh(names, heights, color=colors)
    ax.invert_yaxis()
    ax.set_xlabel(unit)
    ax.set_title(title)
    for bar, h in zip(bars, heights):
        ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2,
                f" {h:,.3g}", va="center", fontsize=8)
    if max(heights) > 30 * min(h for h in heights if h > 0):
        ax.set_xscale("log")  # peers differ by orders of magnitude here
        ax.set_xlim(min(h for h in heights if h > 0) / 2, max(heights) * 4)
    else:
        ax.set_xlim(0, max(heights) * 1.18)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def verify_figures(ours, r):
    """verify() of the open store against one CRC-32 pass over the same file."""
    with open(ours.path, "rb") as f:
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    body = memoryview(mm)[40:]
    crc_fns = {OURS + " verify()": ours.r.verify, "zlib.crc32": lambda: zlib.crc32(body)}
    if isal_zlib is not None:
        crc_fns["ISA-L crc32"] = lambda: isal_zlib.crc32(body)
    row = rounds(crc_fns, r + 2)
    body.release()
    mm.close()
    base = row["zlib.crc32"]
    print("verify", {k: f"{fmt(v)} ({v / base:.2f}x zlib)" for k, v in row.items()})
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent.parent
                                             / "docs" / "benchmarks"))
    parser.add_argument("--dir", default=None, help="directory for the store files")
    parser.add_argument("--only", default=None,
                        help="comma-separated figures to measure (" + ", ".join(FIGURES)
                        + "): printed, and no report written")
    parser.add_argument("--peers", default=None,
                        help="comma-separated peers beside vornel (by name, e.g. LMDB): "
                        "printed, and no report written")
    args = parser.parse_args()
    want = set(FIGURES) if args.only is None else set(args.only.split(","))
    if not want <= set(FIGURES):
        parser.error(f"unknown figures: {', '.join(sorted(want - set(FIGURES)))}")
    n, r = args.keys, args.rounds
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)

    classes, skipped = available_peers()
    if args.peers is not None:
        chosen = set(args.peers.split(","))
        classes = [c for c in classes if c.name == OURS or c.name in chosen]
    for name in skipped:
        print(f"skipped: {name} is not installed")
    if isal_zlib is None:
        print("skipped: ISA-L (isal) is not installed")

    t0 = time.perf_counter()
    kbytes, values, groups = make_data(n, seed=10)
    ktext = [k.decode() for k in kbytes]
    rng = random.Random(11)
    pick = rng.sample(range(n), min(n, args.queries))
    q_text = [ktext[i] for i in pick]
    q_bytes = [kbytes[i] for i in pick]
    miss_text = ["#" + k for k in q_text]
    miss_bytes = [b"#" + k for k in q_bytes]
    pfx_bytes = [groups[i] for i in rng.sample(range(len(groups)), min(len(groups), 20_000))]
    pfx_text = [p.decode() for p in pfx_bytes]
    print(f"{n:,} keys (16-32 bytes, mean {sum(map(len, kbytes)) / n:.1f}), 100-byte payloads; "
          f"data made in {time.perf_counter() - t0:.1f} s")

    tmp = tempfile.mkdtemp(prefix="peers_", dir=args.dir)
    peers = [cls(tmp) for cls in classes]
    rows = {}  # figure -> {peer: seconds}
    items_ordered = {}  # the key-ordered store's listing and LMDB's, in the same rounds
    ordered_name = OURS + " (key-ordered store)"
    per_call = {}  # figure -> divisor

    def args_for(p, text, raw):
        return text if p.text_keys else raw

    try:
        # Build, durable: from the keys in staging order to a synced file.
        for p in peers:
            if hasattr(p, "prepare"):
                p.prepare(kbytes, values)
        build_fns = {p.name: (lambda p=p: p.build(args_for(p, ktext, kbytes), values))
                     for p in peers}
        # The package's bulk path: pairs made beforehand, as LMDB's are. With dedup (its
        # default) the pool's repeats are stored once; without, one object per key.
        package_path = os.path.join(tmp, "package.vrnl")
        pairs = list(zip(ktext, values))
        ours = peers[0]
        if "build" in want:
            for label, dedup in ((BULK, True), (BULK_NO_DEDUP, False)):
                build_fns[label] = lambda dedup=dedup: package_build(pairs, package_path, dedup)
            rows["build, durable"] = rounds(build_fns, r, time.perf_counter)
            stage = rounds({OURS: lambda: ours.stage(ktext, values),
                            BULK: lambda: package_stage(pairs, True)}, r)
            rows["build, durable"][OURS + " (staging only)"] = stage[OURS]
            rows["build, durable"][BULK + " (staging only)"] = stage[BULK]
            print("built", {k: fmt(v) for k, v in rows["build, durable"].items()})
            if "LMDB" in rows["build, durable"]:
                lmdb_time = rows["build, durable"]["LMDB"]
                print("against LMDB", {k: f"{v / lmdb_time:.2f}x"
                                       for k, v in rows["build, durable"].items()})
        else:
            for build in build_fns.values():
                build()

        sizes = {p.name: sum(os.path.getsize(f) for f in p.files) for p in peers}

        # Open, warm and cold. Cold drops the files from the page cache first.
        def open_close(p):
            p.open()
            p.close()

        def cold(p):
            drop_from_cache(p.files)
            return timed(lambda: open_close(p), time.perf_counter)

        if "open" in want:
            rows["open, warm"] = rounds({p.name: (lambda p=p: open_close(p)) for p in peers}, r)
            rows["open, cold"] = {p.name: statistics.median(cold(p) for _ in range(r))
                                  for p in peers}
            print("opened", {k: fmt(v) for k, v in rows["open, warm"].items()},
                  "cold", {k: fmt(v) for k, v in rows["open, cold"].items()})

        for p in peers:
            p.open()
        q = len(q_text)
        for group, figure, method, text, raw, count in (
                ("lookup", "lookup", "get", q_text, q_bytes, q),
                ("lookup", "lookup, absent", "get", miss_text, miss_bytes, q),
                ("lookup", "exists", "exists", q_text, q_bytes, q),
                ("prefix", "prefix, runs of 10", "prefix", pfx_text, pfx_bytes, len(pfx_text))):
            if group not in want:
                continue
            fns = {p.name: (lambda p=p, a=args_for(p, text, raw): getattr(p, method)(a))
                   for p in peers}
            rows[figure] = rounds(fns, r)
            per_call[figure] = count
            print(figure, {k: fmt(v, count) for k, v in rows[figure].items()})

        def listing(p):
            result = p.items()
            del result

        if "items" in want:
            rows["items, all"] = rounds({p.name: (lambda p=p: listing(p)) for p in peers}, r)
            print("items", {k: fmt(v) for k, v in rows["items, all"].items()})

        if "verify" in want:
            rows["verify / CRC-32 pass"] = verify_figures(ours, r)

        for p in peers:
            p.close()

        # Memory: a fresh process opens each store and looks up every query key.
        keys_file = os.path.join(tmp, "keys.pickle")
        memory = {}
        for p in peers if "memory" in want else ():
            with open(keys_file, "wb") as f:
                pickle.dump(args_for(p, q_text, q_bytes), f)
            memory[p.name] = memory_of(p, tmp, keys_file)
        if memory:
            print("memory", memory)

        # Listings and prefix scans on a store staged in key order, for the ordered/random
        # pairs.
        if want & {"items", "prefix"}:
            ordered = sorted(range(n), key=lambda i: kbytes[i])
            ours.build([ktext[i] for i in ordered], [values[i] for i in ordered])
            ours.open()
            lm = next((p for p in peers if p.name == "LMDB"), None)
            if lm is not None:
                lm.open()
            if "items" in want:
                extra = {ordered_name: (lambda: listing(ours))}
                if lm is not None:
                    extra["LMDB"] = lambda: listing(lm)
                items_ordered = rounds(extra, r)
                rows["items, all"][ordered_name] = items_ordered[ordered_name]
                print("items, key-ordered store", {k: fmt(v) for k, v in items_ordered.items()})
            if "prefix" in want:
                pfx_ordered = rounds({ordered_name: lambda: ours.prefix(pfx_text)}, r)
                rows["prefix, runs of 10"][ordered_name] = pfx_ordered[ordered_name]
                print("prefix, key-ordered store", fmt(pfx_ordered[ordered_name], len(pfx_text)))
            ours.close()
            if lm is not None:
                lm.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    # Same-run ratios; the key-ordered listing against LMDB's listing of the same rounds.
    for figure, pair in (("items, all", items_ordered), ("prefix, runs of 10", None)):
        if figure in rows and "LMDB" in rows[figure]:
            ordered_ratio = (pair[ordered_name] / pair["LMDB"] if pair and "LMDB" in pair
                             else rows[figure][ordered_name] / rows[figure]["LMDB"])
            print(f"{figure}: vornel / LMDB = {rows[figure][OURS] / rows[figure]['LMDB']:.2f}, "
                  f"key-ordered store / LMDB = {ordered_ratio:.2f}")
    if args.only is None and args.peers is None:
        write_report(out_dir, n, rows, per_call, sizes, memory, skipped)
    return 0


def write_report(out_dir, n, rows, per_call, sizes, memory, skipped):
    names = [c.name for c in available_peers()[0]]
    lines = [
        "# vornel beside its peers",
        "",
        f"Measured by `bench/peers.py` on {time.strftime('%Y-%m-%d')}, "
        f"{platform.machine()}, Python {platform.python_version()}, {os.cpu_count()} cores "
        "shared with other work (medians of rounds in which the peers take turns). Durable "
        "builds and cold opens are wall-clock times; every other figure is the CPU time of "
        "the calling thread, which waiting for a busy core does not inflate.",
        f"{n:,} text keys of 16-32 bytes in groups of ten sharing 12 leading bytes, each "
        "bound to a 100-byte payload from a pool of 4,096 distinct ones (stores that keep "
        "equal values once, marisa-trie, keyvi and pickle, profit from the repeats in size "
        "and build time; vornel, LMDB and SQLite keep a copy per key), staged in random "
        "order. LMDB receives its pairs presorted (its `putmulti(append=True)` needs them "
        "so), outside its build time.",
        "",
    ]
    if skipped:
        lines += [f"Skipped (not installed): {', '.join(skipped)}.", ""]
    lines += ["| Figure | " + " | ".join(names) + " |",
              "|---|" + "---|" * len(names)]
    for figure, vals in rows.items():
        if figure == "verify / CRC-32 pass":
            continue
        per = per_call.get(figure, 1)
        label = figure + (" (per call)" if per > 1 else "")
        cells = [fmt(vals[nm], per) if nm in vals else "" for nm in names]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("| file size | " + " | ".join(f"{sizes[nm] / 2**20:.1f} MiB" for nm in names)
                 + " |")
    lines.append("| private memory after open, per key | "
                 + " | ".join(f"{memory[nm][0] / n:.1f} B" for nm in names) + " |")
    lines.append("| resident after open and lookups, per key | "
                 + " | ".join(f"{memory[nm][1] / n:.1f} B" for nm in names) + " |")
    lines.append("")
    extra = [(f, nm, v) for f, vals in rows.items() for nm, v in vals.items() if nm not in names]
    if extra:
        lines += ["Further figures of this store:", ""]
        for f, nm, v in extra:
            lines.append(f"- {f}, {nm}: {fmt(v, per_call.get(f, 1))}")
        lines.append("")
    crc = rows["verify / CRC-32 pass"]
    base = crc["zlib.crc32"]
    lines += ["Checksums over the store file of the table:", "",
              "| | time | against one zlib.crc32 pass |", "|---|---|---|"]
    for nm, v in crc.items():
        lines.append(f"| {nm} | {fmt(v)} | {v / base:.2f}× |")
    lines.append("")

    charts = []
    for figure, vals in rows.items():
        per = per_call.get(figure, 1)
        stem = "".join(c if c.isalnum() else "_" for c in figure).strip("_")
        stem = "_".join(filter(None, stem.split("_")))
        if per > 1:
            unit, scale = "µs per call", 1e6 / per
        else:
            unit, scale = "ms", 1e3
        bar_chart(out_dir / f"{stem}.png", f"{figure} ({n:,} keys)", unit, vals, scale)
        charts.append((figure, f"{stem}.png"))
    bar_chart(out_dir / "memory.png", f"private memory after open ({n:,} keys)", "bytes per key",
              {nm: memory[nm][0] / n for nm in names}, 1)
    charts.append(("memory", "memory.png"))
    lines += ["## Charts", ""] + [f"![{f}]({p})" for f, p in charts] + [""]
    (out_dir / "peers.md").write_text("\n".join(lines), encoding="utf-8")
    print(f"wrote {out_dir / 'peers.md'} and {len(charts)} charts")


if __name__ == "__main__":
    sys.exit(main())
