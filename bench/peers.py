"""The package users import beside `_vornel` and the peers, on the same data, in one run.

Columns: `vornel`, the package as the README teaches it (`VornWriter.update` then
`build`, with dedup as by default; `VornReader` with decoded values, opened as by
default, which reads the header and the key table's trailer and checks each value's
record as it reads it, unless a figure says otherwise); `_vornel`, the low-level module (raw
bytes in and out, its index built in memory at open); then dict (pickled to a file),
LMDB (`lmdb`), marisa-trie, keyvi and SQLite. A peer that is not installed is skipped and
named as skipped. The peers are benchmark dependencies only (requirements-bench.txt).

Data: N text keys of 16 to 32 bytes in groups of about ten that share their first 12
bytes (so a prefix scan of a group prefix finds a run of ten), each bound to its own
value, 100 random bytes (a `bytes` object: 102 bytes of MessagePack). Every store holds
the MessagePack encoding of each value, and wherever a figure is about values every
column hands back decoded values: the package decodes natively, the peers call
`msgpack.unpackb` on what they return. `_vornel` returns the raw bytes, as its surface
does. The values hold no zero byte because keyvi's string values end at one. Every key
is staged in random order unless a figure says otherwise.

Every timed figure is the median of several rounds, the columns taking turns within a
round so that drifting machine load touches all of them alike. Per-call loops drop each
result at once, as a caller that uses it and moves on would. Memory figures come from
fresh processes (/proc/PID/smaps_rollup).

Writes docs/benchmarks/peers.md and a PNG chart per figure beside it; `--only` measures
some figures, prints them and writes nothing.

    python bench/peers.py [--keys N] [--rounds R] [--out DIR]
    python bench/peers.py --only lookup,items [--peers LMDB]   # some figures, no report
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

import msgpack

import _vornel
import vornel
from _timing import Quiet

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
VALUE_LEN = 100
OURS = "vornel"
LOW = "_vornel"
NO_DEDUP = OURS + ", dedup=False"
FRESH_LOOKUPS = 5
SERVERS = 8
# What --only can choose.
FIGURES = ("build", "open", "fresh", "lookup", "prefix", "items", "verify", "memory",
           "serve", "iterate")


# ---- data --------------------------------------------------------------------------------

class Data:
    """The keys (bytes and text), the values and their MessagePack encodings."""

    def __init__(self, n, seed):
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
        self.raw = keys
        self.text = [k.decode() for k in keys]
        self.groups = groups
        blob = rng.randbytes(VALUE_LEN * n).replace(b"\0", b"\1")
        self.values = [blob[i:i + VALUE_LEN] for i in range(0, VALUE_LEN * n, VALUE_LEN)]
        self.packed = [msgpack.packb(v) for v in self.values]
        self.pairs = list(zip(self.text, self.values))


def durable(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def drop_from_cache(paths):
    """Evicts the files' pages from the page cache: written back first, since the kernel
    keeps dirty pages; a page that some process still maps stays."""
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.fdatasync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def read_ahead_kib(path):
    """The read-ahead window of the block device that holds `path`, or None: a fault on a
    mapping of a file that is not cached reads up to that much around the page."""
    dev = os.stat(path).st_dev
    base = f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}"
    for queue in (f"{base}/queue", f"{base}/../queue"):  # a disk, or a partition of one
        try:
            with open(f"{queue}/read_ahead_kb") as f:
                return int(f.read())
        except (OSError, ValueError):
            continue
    return None


def cached_pages(path):
    """How many of the file's pages are in the page cache (fincore), or None."""
    try:
        out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                             capture_output=True, text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    return int(out[0]) // mmap.PAGESIZE if out else None


# ---- columns -----------------------------------------------------------------------------
#
# Each column builds its file durably from the data, opens it, and answers the queries:
# `get` (present keys, values decoded), `get_missing`, `exists`, `prefix` (pairs, values
# decoded) and `iterate` (every pair in key order, values decoded and dropped). `files`
# lists what a cold open drops from the page cache; `FRESH` is the whole program of a
# command-line call that opens the store and decodes the values of the keys K.

class Package:
    name = OURS
    text_keys = True
    FRESH = ("import vornel\n"
             "r = vornel.open(P)\n"
             "for k in K: r[k]\n")

    def __init__(self, d):
        self.path = os.path.join(d, "package.vrnl")
        self.files = [self.path]

    @staticmethod
    def stage(data, dedup=True):
        w = vornel.VornWriter(dedup=dedup)
        w.update(data.pairs)
        return w

    def build(self, data, dedup=True, path=None):
        self.stage(data, dedup).build(path or self.path)

    def open(self, verify=False):
        # The default open, or the checked one.
        self.r = vornel.VornReader(self.path, verify=True) if verify else vornel.VornReader(self.path)
        return self.r

    def close(self):
        self.r.close()
        self.r = None

    def get(self, keys):
        r = self.r
        for k in keys:
            r[k]

    def get_missing(self, keys):
        get = self.r.get
        for k in keys:
            get(k)

    def exists(self, keys):
        r = self.r
        for k in keys:
            k in r

    def prefix(self, prefixes):
        prefix = self.r.prefix
        for p in prefixes:
            list(prefix(p))

    def iterate(self):
        for _ in self.r.items():
            pass


class Low:
    name = LOW
    text_keys = True
    FRESH = ("from _vornel import _VornReader\n"
             "r = _VornReader(P, False)\n"
             "for k in K: r.get_raw(k)\n")

    def __init__(self, d):
        self.path = os.path.join(d, "low.vrnl")
        self.files = [self.path]

    @staticmethod
    def stage(data):
        w = _vornel._VornWriter()
        add_object, add_key = w.add_object_raw, w.add_key
        for k, v in zip(data.text, data.packed):
            add_key(k, add_object(v))
        return w

    def build(self, data):
        w = self.stage(data)
        with Quiet():
            w.build(self.path)

    def open(self, verify=False):
        self.r = _vornel._VornReader(self.path, verify)
        return self.r

    def close(self):
        self.r.close()
        self.r = None

    def get(self, keys):
        get = self.r.get_raw
        for k in keys:
            get(k)

    get_missing = get

    def exists(self, keys):
        exists = self.r.exists
        for k in keys:
            exists(k)

    def prefix(self, prefixes):
        prefix_raw = self.r.prefix_raw
        for p in prefixes:
            prefix_raw(p)

    def iterate(self):
        for _ in self.r.items_raw():  # its only listing: the whole list at once
            pass


class Dict:
    name = "dict (pickle)"
    text_keys = True
    FRESH = ("import pickle, msgpack\n"
             "with open(P, 'rb') as f: d = pickle.load(f)\n"
             "for k in K: msgpack.unpackb(d[k])\n")

    def __init__(self, d):
        self.path = os.path.join(d, "dict.pickle")
        self.files = [self.path]

    def build(self, data):
        with open(self.path, "wb") as f:
            pickle.dump(dict(zip(data.text, data.packed)), f, protocol=pickle.HIGHEST_PROTOCOL)
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
        d, unpackb = self.d, msgpack.unpackb
        for k in keys:
            unpackb(d[k])

    def get_missing(self, keys):
        get, unpackb = self.d.get, msgpack.unpackb
        for k in keys:
            v = get(k)
            if v is not None:
                unpackb(v)

    def exists(self, keys):
        d = self.d
        for k in keys:
            k in d

    def ordered(self):
        if self.sorted is None:
            # What a dict needs for scans in key order; made once, on first use.
            self.sorted = sorted(self.d)
        return self.sorted

    def prefix(self, prefixes):
        import bisect
        s, d, unpackb = self.ordered(), self.d, msgpack.unpackb
        n = len(s)
        for p in prefixes:
            i = bisect.bisect_left(s, p)
            out = []
            while i < n and s[i].startswith(p):
                out.append((s[i], unpackb(d[s[i]])))
                i += 1

    def iterate(self):
        # In the order of insertion: a dict keeps no other, and sorting is not iterating.
        unpackb = msgpack.unpackb
        for _, v in self.d.items():
            unpackb(v)


class Lmdb:
    name = "LMDB"
    text_keys = False
    FRESH = ("import lmdb, msgpack\n"
             "env = lmdb.open(P, readonly=True, lock=False, map_size=1 << 36)\n"
             "txn = env.begin()\n"
             "for k in K: msgpack.unpackb(txn.get(k))\n")

    def __init__(self, d):
        self.dir = os.path.join(d, "lmdb")
        self.files = [os.path.join(self.dir, "data.mdb")]
        self.path = self.dir

    def prepare(self, data):
        # The peer gets its input presorted, as append mode requires: its best case.
        self.pairs = sorted(zip(data.raw, data.packed))

    def build(self, data):
        shutil.rmtree(self.dir, ignore_errors=True)
        env = lmdb.open(self.dir, map_size=1 << 36, sync=True, metasync=True)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(self.pairs, append=True)
        env.close()

    def open(self):
        self.env = lmdb.open(self.dir, readonly=True, lock=False, map_size=1 << 36)
        self.txn = self.env.begin(buffers=False)
        return self.env

    def close(self):
        self.txn.abort()
        self.env.close()
        self.txn = self.env = None

    def get(self, keys):
        get, unpackb = self.txn.get, msgpack.unpackb
        for k in keys:
            unpackb(get(k))

    def get_missing(self, keys):
        get, unpackb = self.txn.get, msgpack.unpackb
        for k in keys:
            v = get(k)
            if v is not None:
                unpackb(v)

    def exists(self, keys):
        set_key = self.txn.cursor().set_key
        for k in keys:
            set_key(k)

    def prefix(self, prefixes):
        cur, unpackb = self.txn.cursor(), msgpack.unpackb
        for p in prefixes:
            out = []
            if cur.set_range(p):
                for k, v in cur:
                    if not k.startswith(p):
                        break
                    out.append((k, unpackb(v)))

    def iterate(self):
        unpackb = msgpack.unpackb
        for _, v in self.txn.cursor():
            unpackb(v)


class Marisa:
    name = "marisa-trie"
    text_keys = True
    FRESH = ("import marisa_trie, msgpack\n"
             "t = marisa_trie.BytesTrie().mmap(P)\n"
             "for k in K: msgpack.unpackb(t[k][0])\n")

    def __init__(self, d):
        self.path = os.path.join(d, "store.marisa")
        self.files = [self.path]

    def build(self, data):
        marisa_trie.BytesTrie(zip(data.text, data.packed)).save(self.path)
        durable(self.path)

    def open(self):
        self.t = marisa_trie.BytesTrie().mmap(self.path)
        return self.t

    def close(self):
        self.t = None

    def get(self, keys):
        t, unpackb = self.t, msgpack.unpackb
        for k in keys:
            unpackb(t[k][0])

    def get_missing(self, keys):
        get, unpackb = self.t.get, msgpack.unpackb
        for k in keys:
            v = get(k)
            if v is not None:
                unpackb(v[0])

    def exists(self, keys):
        t = self.t
        for k in keys:
            k in t

    def prefix(self, prefixes):
        items, unpackb = self.t.items, msgpack.unpackb
        for p in prefixes:
            [(k, unpackb(v)) for k, v in items(p)]

    def iterate(self):
        unpackb = msgpack.unpackb
        for _, v in self.t.iteritems():
            unpackb(v)


class Keyvi:
    name = "keyvi"
    text_keys = True
    # keyvi's string values are text: the encoding goes in as Latin-1 and comes back so.
    FRESH = ("import keyvi.dictionary, msgpack\n"
             "d = keyvi.dictionary.Dictionary(P)\n"
             "for k in K: msgpack.unpackb(d[k].value.encode('latin-1'))\n")

    def __init__(self, d):
        self.path = os.path.join(d, "store.kv")
        self.files = [self.path]

    def build(self, data):
        c = keyvi.compiler.StringDictionaryCompiler({"memory_limit_mb": "1024"})
        add = c.add
        for k, v in zip(data.text, data.packed):
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
        d, unpackb = self.d, msgpack.unpackb
        for k in keys:
            unpackb(d[k].value.encode("latin-1"))

    def get_missing(self, keys):
        get, unpackb = self.d.get, msgpack.unpackb
        for k in keys:
            m = get(k)
            if m is not None:
                unpackb(m.value.encode("latin-1"))

    def exists(self, keys):
        d = self.d
        for k in keys:
            k in d

    def prefix(self, prefixes):
        complete, unpackb = self.d.complete_prefix, msgpack.unpackb
        for p in prefixes:
            [(m.matched_string, unpackb(m.value.encode("latin-1"))) for m in complete(p)]

    def iterate(self):
        unpackb = msgpack.unpackb
        for _, v in self.d.items():
            unpackb(v.encode("latin-1"))


class Sqlite:
    name = "SQLite"
    text_keys = True
    FRESH = ("import sqlite3, msgpack\n"
             "con = sqlite3.connect(P)\n"
             "for k in K: msgpack.unpackb(con.execute('SELECT v FROM kv WHERE k = ?', (k,))"
             ".fetchone()[0])\n")

    def __init__(self, d):
        self.path = os.path.join(d, "store.sqlite")
        self.files = [self.path]

    def build(self, data):
        if os.path.exists(self.path):
            os.unlink(self.path)
        con = sqlite3.connect(self.path)
        con.execute("PRAGMA synchronous=FULL")
        con.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")
        with con:
            con.executemany("INSERT INTO kv VALUES (?, ?)", zip(data.text, data.packed))
        con.close()

    def open(self):
        self.con = sqlite3.connect(self.path)
        self.con.execute("SELECT count(*) FROM sqlite_master").fetchone()
        return self.con

    def close(self):
        self.con.close()
        self.con = None

    def get(self, keys):
        ex, unpackb = self.con.execute, msgpack.unpackb
        for k in keys:
            unpackb(ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()[0])

    def get_missing(self, keys):
        ex, unpackb = self.con.execute, msgpack.unpackb
        for k in keys:
            row = ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()
            if row is not None:
                unpackb(row[0])

    def exists(self, keys):
        ex = self.con.execute
        for k in keys:
            ex("SELECT 1 FROM kv WHERE k = ?", (k,)).fetchone()

    def prefix(self, prefixes):
        ex, unpackb = self.con.execute, msgpack.unpackb
        for p in prefixes:
            [(k, unpackb(v)) for k, v in
             ex("SELECT k, v FROM kv WHERE k >= ? AND k < ?", (p, p + "\U0010ffff"))]

    def iterate(self):
        unpackb = msgpack.unpackb
        for _, v in self.con.execute("SELECT k, v FROM kv ORDER BY k"):
            unpackb(v)


def available_peers():
    peers, skipped = [Package, Low, Dict], []
    for cls, mod in ((Lmdb, lmdb), (Marisa, marisa_trie), (Keyvi, keyvi)):
        (peers if mod is not None else skipped).append(cls)
    peers.append(Sqlite)
    return peers, [c.name for c in skipped]


def open_of(p, verify):
    """Opens p; only the two modules of this project check a checksum at open."""
    return p.open(verify) if p.name in (OURS, LOW) else p.open()


# ---- timing ------------------------------------------------------------------------------

def timed(fn, clock=time.thread_time):
    """Seconds that fn() takes by `clock`. The default counts this thread's CPU time: on a
    machine shared with other work, time spent waiting for a core is not the code's. Figures
    that wait for the disk or span processes pass the wall clock."""
    start = clock()
    fn()
    return clock() - start


def rounds(named_fns, r, clock=time.thread_time, settle=None):
    """Median seconds of each fn over r rounds, the fns taking turns within a round.

    `settle`, if given, runs untimed before each fn."""
    times = {name: [] for name in named_fns}
    for _ in range(r):
        for name, fn in named_fns.items():
            gc.collect()
            if settle is not None:
                settle()
            times[name].append(timed(fn, clock))
    return {name: statistics.median(t) for name, t in times.items()}


# ---- fresh processes ---------------------------------------------------------------------

CHILD_HEAD = r"""
import os, pickle, sys, threading, time
sys.path[:0] = [os.path.dirname(sys.argv[1])]
import peers
def mem():
    with open('/proc/self/smaps_rollup') as f:
        fields = dict(line.split(':', 1) for line in f if ':' in line)
    return {k: int(fields[k].split()[0]) * 1024 for k in ('Rss', 'Anonymous')}
cls = {c.name: c for c in peers.available_peers()[0]}[sys.argv[2]]
peer = cls(sys.argv[3])
with open(sys.argv[4], 'rb') as f:
    keys = pickle.load(f)
"""

# Private (anonymous) and resident growth over open and lookups.
MEMORY_PROBE = CHILD_HEAD + r"""
before = mem()
handle = peers.open_of(peer, False)
peer.get(keys)
after = mem()
print(after['Anonymous'] - before['Anonymous'], after['Rss'] - before['Rss'])
"""

# The peaks of private and resident memory over a full iteration, sampled every
# millisecond by a second thread (it runs whenever the iterating thread lets go of the
# interpreter, at least every switch interval; a listing built in one call is still held
# while it is walked, so its peak is seen).
ITERATE_PROBE = CHILD_HEAD + r"""
handle = peers.open_of(peer, False)
base = mem()
peak = dict(base)
done = threading.Event()
def sample():
    while not done.is_set():
        m = mem()
        for k in peak:
            peak[k] = max(peak[k], m[k])
        time.sleep(0.001)
t = threading.Thread(target=sample)
t.start()
peer.iterate()
done.set()
t.join()
print(peak['Anonymous'] - base['Anonymous'], peak['Rss'] - base['Rss'])
"""

# One of the processes serving a store: says when it is ready, opens and looks every key
# up when told, says so, and waits to be told to go.
SERVE_PROBE = CHILD_HEAD + r"""
print('ready', flush=True)
sys.stdin.readline()
handle = peers.open_of(peer, False)
peer.get(keys)
print('served', flush=True)
sys.stdin.readline()
"""


def probe(script, peer, tmp, keys_file):
    out = subprocess.run(
        [sys.executable, "-c", script, os.path.abspath(__file__), peer.name, tmp, keys_file],
        capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), int(out[1])


def pss(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no Pss for process {pid}")


def serve(peer, tmp, keys_file, count):
    """Total PSS growth of `count` processes that open the store and look every key up,
    from when all of them have started to when all of them have served."""
    procs = [subprocess.Popen([sys.executable, "-c", SERVE_PROBE, os.path.abspath(__file__),
                               peer.name, tmp, keys_file],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
             for _ in range(count)]
    try:
        for p in procs:
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError(f"a serving process of {peer.name} failed")
        before = sum(pss(p.pid) for p in procs)
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        for p in procs:
            if p.stdout.readline().strip() != "served":
                raise RuntimeError(f"a serving process of {peer.name} failed")
        return sum(pss(p.pid) for p in procs) - before
    finally:
        for p in procs:
            p.stdin.close()
            p.wait()


def fresh_call(code):
    """Seconds a whole program takes, from starting the interpreter to its exit."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True)
    return time.perf_counter() - start


# ---- report ------------------------------------------------------------------------------

def fmt_time(seconds, per=1):
    v = seconds / per
    if v < 1e-6:
        return f"{v * 1e9:.0f} ns"
    if v < 1e-3:
        return f"{v * 1e6:.2f} µs"
    if v < 1:
        return f"{v * 1e3:.1f} ms"
    return f"{v:.2f} s"


def number(v):
    """A figure as both the table and the charts write it: the same digits in both."""
    if v == 0:
        return "0"
    return f"{v:,.0f}" if v >= 100 else f"{v:.3g}"


def fmt_mib(b):
    return "0" if b == 0 else f"{number(b / 2**20)} MiB"


class Figure:
    """One row of the table and its chart. `kind` says how its values read: "time" (s),
    "mib" (bytes shown in MiB) or "per_key" (bytes shown per key)."""

    def __init__(self, label, kind, values, per=1, better="lower", extra=None, note=None,
                 chart=None):
        self.label, self.kind, self.values, self.per = label, kind, values, per
        self.better, self.extra, self.note, self.chart = better, extra or {}, note, chart

    def cell(self, name, n):
        if name not in self.values:
            return ""
        v = self.values[name]
        if self.kind == "time":
            return fmt_time(v, self.per)
        if self.kind == "mib":
            return fmt_mib(v)
        return "0" if v == 0 else f"{number(v / n)} B"

    def scaled(self, n):
        """(unit, factor) of its chart."""
        if self.kind == "time":
            if self.per > 1:
                return "µs per call", 1e6 / self.per
            return ("ms", 1e3)
        if self.kind == "mib":
            return "MiB", 1 / 2**20
        return "bytes per key", 1 / n


def bar_chart(path, title, unit, values, better, note=None):
    """Horizontal bars, one per column, labelled with their values. The axis turns
    logarithmic where the values span more than 30×; a zero there gets a label but no bar,
    as a log axis has no place for it."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(values)
    heights = [values[nm] for nm in names]
    positive = [h for h in heights if h > 0]
    log = bool(positive) and max(positive) > 30 * min(positive)
    colors = ["#c0392b" if nm.startswith(OURS) else "#e67e22" if nm == LOW else "#7f8c8d"
              for nm in names]
    fig, ax = plt.subplots(figsize=(7.5, 0.42 * len(names) + 1.9))
    drawn = [h if h > 0 or not log else 0 for h in heights]
    bars = ax.barh(names, drawn, color=colors)
    ax.invert_yaxis()
    if log:
        ax.set_xscale("log")
        lo = min(positive) / 3
        ax.set_xlim(lo, max(positive) * 6)
    else:
        lo = 0
        ax.set_xlim(0, (max(heights) or 1) * 1.22)
    for bar, h in zip(bars, heights):
        x = max(bar.get_width(), lo) if h > 0 else lo
        ax.text(x, bar.get_y() + bar.get_height() / 2, " " + number(h), va="center",
                fontsize=8)
    ax.set_xlabel(f"{unit}, {'logarithmic' if log else 'linear'} axis")
    ax.set_title(f"{title}\n{better.capitalize()} is better", fontsize=10)
    if note:
        fig.text(0.01, 0.01, note, fontsize=7, wrap=True, va="bottom")
    fig.tight_layout(rect=(0, 0.07 if note else 0, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def stem_of(label):
    stem = "".join(c if c.isalnum() else "_" for c in label).strip("_")
    return "_".join(filter(None, stem.split("_")))


# ---- measurements ------------------------------------------------------------------------

def verify_figures(package, r):
    """verify() of both modules' readers of the package's file (the package's also checks
    that the key table agrees with the index section) against one CRC-32 pass over it."""
    with open(package.path, "rb") as f:
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    body = memoryview(mm)[40:]
    low = _vornel._VornReader(package.path, False)
    fns = {OURS + " verify()": package.r.verify, LOW + " verify()": low.verify,
           "zlib.crc32": lambda: zlib.crc32(body)}
    if isal_zlib is not None:
        fns["ISA-L crc32"] = lambda: isal_zlib.crc32(body)
    row = rounds(fns, r + 2)
    body.release()
    mm.close()
    low.close()
    base = row["zlib.crc32"]
    print("verify", {k: f"{fmt_time(v)} ({v / base:.2f}x zlib)" for k, v in row.items()})
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--open-rounds", type=int, default=11,
                        help="rounds of the open figures, which are short and noisy")
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent.parent
                                             / "docs" / "benchmarks"))
    parser.add_argument("--dir", default=None, help="directory for the store files")
    parser.add_argument("--machine", default="a quiet machine",
                        help="how loaded the machine was, for the report's first line")
    parser.add_argument("--only", default=None,
                        help="comma-separated figures to measure (" + ", ".join(FIGURES)
                        + "): printed, and no report written")
    parser.add_argument("--peers", default=None,
                        help="comma-separated columns beside vornel (by name, e.g. LMDB): "
                        "printed, and no report written")
    args = parser.parse_args()
    want = set(FIGURES) if args.only is None else set(args.only.split(","))
    if not want <= set(FIGURES):
        parser.error(f"unknown figures: {', '.join(sorted(want - set(FIGURES)))}")
    n, r = args.keys, args.rounds
    out_dir = Path(args.out)

    classes, skipped = available_peers()
    if args.peers is not None:
        chosen = set(args.peers.split(","))
        classes = [c for c in classes if c.name == OURS or c.name in chosen]
    for name in skipped:
        print(f"skipped: {name} is not installed")
    if isal_zlib is None:
        print("skipped: ISA-L (isal) is not installed")

    t0 = time.perf_counter()
    data = Data(n, seed=10)
    rng = random.Random(11)
    pick = rng.sample(range(n), min(n, args.queries))
    queries = {True: [data.text[i] for i in pick], False: [data.raw[i] for i in pick]}
    missing = {True: ["#" + k for k in queries[True]], False: [b"#" + k for k in queries[False]]}
    pfx_raw = [data.groups[i] for i in rng.sample(range(len(data.groups)),
                                                  min(len(data.groups), 20_000))]
    prefixes = {True: [p.decode() for p in pfx_raw], False: pfx_raw}
    print(f"{n:,} keys (16-32 bytes, mean {sum(map(len, data.raw)) / n:.1f}), "
          f"{VALUE_LEN}-byte values; data made in {time.perf_counter() - t0:.1f} s")

    tmp = tempfile.mkdtemp(prefix="peers_", dir=args.dir)
    peers = [cls(tmp) for cls in classes]
    package = peers[0]
    low = next((p for p in peers if p.name == LOW), None)
    figures = {}  # key -> Figure
    text = {}  # what the report says in words
    no_dedup_path = os.path.join(tmp, "package-no-dedup.vrnl")

    def args_for(p, by_text):
        return by_text[p.text_keys]

    try:
        # Build, durable: from the pairs in staging order to a synced file.
        for p in peers:
            if hasattr(p, "prepare"):
                p.prepare(data)
        build_fns = {p.name: (lambda p=p: p.build(data)) for p in peers}
        if "build" in want:
            build_fns[NO_DEDUP] = lambda: package.build(data, False, no_dedup_path)
            # Each build starts with nothing left for the disk to write: otherwise a sync
            # of one pays for the writes of the build before it (SQLite's most of all).
            built = rounds(build_fns, r, time.perf_counter, settle=os.sync)
            print("built", {k: fmt_time(v) for k, v in built.items()})
            staging = {OURS: lambda: package.stage(data),
                       NO_DEDUP: lambda: package.stage(data, False)}
            if low is not None:
                staging[LOW] = lambda: low.stage(data)
            staged = rounds(staging, r)
            print("staging alone (CPU)", {k: fmt_time(v) for k, v in staged.items()})
            text["staging"] = staged
            figures["build"] = Figure(
                "build, durable", "time", {k: v for k, v in built.items() if k != NO_DEDUP},
                extra={NO_DEDUP: built[NO_DEDUP]})
            if "LMDB" in built:
                print("against LMDB", {k: f"{v / built['LMDB']:.2f}x" for k, v in built.items()})
        else:
            for build in build_fns.values():
                build()
            package.build(data, False, no_dedup_path)

        sizes = {p.name: sum(os.path.getsize(f) for f in p.files) for p in peers}
        figures["size"] = Figure("file size", "mib", sizes,
                                 extra={NO_DEDUP: os.path.getsize(no_dedup_path)})

        # Open, warm and cold, by the wall clock both, so that they compare. Cold drops the
        # files from the page cache first and checks that they left it; warm follows it
        # in the same round, with what the cold open read back in the cache.
        if "open" in want:
            cold, warm, left = {p.name: [] for p in peers}, {p.name: [] for p in peers}, {}
            for _ in range(args.open_rounds):
                for p in peers:
                    drop_from_cache(p.files)
                    left[p.name] = max(left.get(p.name, 0),
                                       *(cached_pages(f) or 0 for f in p.files))
                    cold[p.name].append(timed(lambda p=p: (p.open(), p.close()),
                                              time.perf_counter))
                    gc.collect()
                    warm[p.name].append(timed(lambda p=p: (p.open(), p.close()),
                                              time.perf_counter))
            warm = {k: statistics.median(v) for k, v in warm.items()}
            cold = {k: statistics.median(v) for k, v in cold.items()}
            print("open warm", {k: fmt_time(v) for k, v in warm.items()})
            print("open cold", {k: fmt_time(v) for k, v in cold.items()})
            print("pages still cached after the drop", left)
            figures["open_warm"] = Figure("open, warm", "time", warm)
            below = [k for k in cold if cold[k] < warm[k]]
            note = None
            if below:
                note = (f"{', '.join(below)}: cold below warm, by less than the noise of "
                        "a sub-millisecond figure: opening reads (next to) nothing of the "
                        "file, which was dropped from the page cache before each cold open.")
            figures["open_cold"] = Figure("open, cold", "time", cold, note=note)
            text["read_ahead"] = read_ahead_kib(tmp)
            checked = {p.name: (lambda p=p: (p.open(True), p.close()))
                       for p in peers if p.name in (OURS, LOW)}
            figures["open_verify"] = Figure("open with checksum (verify=True), warm", "time",
                                            rounds(checked, args.open_rounds, time.perf_counter))
            print("open verify=True", {k: fmt_time(v)
                                       for k, v in figures["open_verify"].values.items()})

        # What a command-line or serverless call pays: a whole fresh process that opens
        # the store and decodes the values of a few keys.
        if "fresh" in want:
            fresh = {}
            for p in peers:
                keys = args_for(p, queries)[:FRESH_LOOKUPS]
                fresh[p.name] = f"P = {p.path!r}\nK = {keys!r}\n" + p.FRESH
            fresh["python -c pass"] = "pass"
            times = rounds({k: (lambda c=c: fresh_call(c)) for k, c in fresh.items()},
                           max(r, 7), time.perf_counter)
            text["bare"] = times.pop("python -c pass")
            figures["fresh"] = Figure(f"open + {FRESH_LOOKUPS} lookups, fresh process",
                                      "time", times)
            print("fresh process", {k: fmt_time(v) for k, v in times.items()},
                  "bare interpreter", fmt_time(text["bare"]))

        for p in peers:
            open_of(p, False)
        q = len(queries[True])
        for group, key, label, method, by_text, count in (
                ("lookup", "lookup", "lookup, decoded", "get", queries, q),
                ("lookup", "absent", "lookup, absent", "get_missing", missing, q),
                ("lookup", "exists", "exists (`in`)", "exists", queries, q),
                ("prefix", "prefix", "prefix, runs of 10, decoded", "prefix", prefixes,
                 len(prefixes[True]))):
            if group not in want:
                continue
            fns = {p.name: (lambda p=p, a=args_for(p, by_text): getattr(p, method)(a))
                   for p in peers}
            figures[key] = Figure(label, "time", rounds(fns, r), per=count)
            print(label, {k: fmt_time(v, count) for k, v in figures[key].values.items()})

        if "items" in want:
            figures["items"] = Figure("full iteration, decoded", "time",
                                      rounds({p.name: p.iterate for p in peers}, r))
            print("items", {k: fmt_time(v) for k, v in figures["items"].values.items()})

        if "verify" in want:
            text["verify"] = verify_figures(package, r)

        for p in peers:
            p.close()

        # Memory, each in fresh processes.
        keys_files = {}
        for by_text in (True, False):
            keys_files[by_text] = os.path.join(tmp, f"keys-{by_text}.pickle")
            with open(keys_files[by_text], "wb") as f:
                pickle.dump(queries[by_text], f)
        if "memory" in want:
            mem = {p.name: probe(MEMORY_PROBE, p, tmp, keys_files[p.text_keys]) for p in peers}
            figures["private"] = Figure(f"private memory after open and {q:,} lookups",
                                        "per_key", {k: v[0] for k, v in mem.items()})
            figures["resident"] = Figure(f"resident memory after open and {q:,} lookups",
                                         "per_key", {k: v[1] for k, v in mem.items()})
            print("memory (private, resident)", mem)
        if "iterate" in want:
            peak = {p.name: probe(ITERATE_PROBE, p, tmp, keys_files[p.text_keys])
                    for p in peers}
            figures["iter_private"] = Figure("full iteration: peak private memory growth",
                                             "mib", {k: v[0] for k, v in peak.items()})
            figures["iter_resident"] = Figure("full iteration: peak resident memory growth",
                                              "mib", {k: v[1] for k, v in peak.items()})
            print("iteration peaks (private, resident)", peak)
        if "serve" in want:
            one = {p.name: serve(p, tmp, keys_files[p.text_keys], 1) for p in peers}
            many = {p.name: serve(p, tmp, keys_files[p.text_keys], SERVERS) for p in peers}
            figures["serve_one"] = Figure(f"serving {q:,} lookups, one process: PSS growth",
                                          "mib", one)
            figures["serve_many"] = Figure(
                f"serving {q:,} lookups each, {SERVERS} processes: total PSS growth", "mib",
                many)
            print("PSS growth, one process", {k: fmt_mib(v) for k, v in one.items()})
            print(f"PSS growth, {SERVERS} processes", {k: fmt_mib(v) for k, v in many.items()})

        # Scans on a store staged in key order, whose records lie in key order too.
        if want & {"items", "prefix"}:
            ordered = sorted(range(n), key=lambda i: data.raw[i])
            sorted_data = Data.__new__(Data)
            sorted_data.pairs = [data.pairs[i] for i in ordered]
            package.build(sorted_data)
            package.open()
            lm = next((p for p in peers if p.name == "LMDB"), None)
            if lm is not None:
                lm.open()
            key_ordered = {}
            if "items" in want:
                fns = {OURS: package.iterate}
                if lm is not None:
                    fns["LMDB"] = lm.iterate
                key_ordered["items"] = rounds(fns, r)
                print("items, key-ordered store", {k: fmt_time(v)
                                                   for k, v in key_ordered["items"].items()})
            if "prefix" in want:
                fns = {OURS: lambda: package.prefix(prefixes[True])}
                if lm is not None:
                    fns["LMDB"] = lambda: lm.prefix(prefixes[False])
                key_ordered["prefix"] = rounds(fns, r)
                print("prefix, key-ordered store", {
                    k: fmt_time(v, len(prefixes[True]))
                    for k, v in key_ordered["prefix"].items()})
            text["key_ordered"] = key_ordered
            package.close()
            if lm is not None:
                lm.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    for key in ("lookup", "prefix", "items"):
        if key in figures and "LMDB" in figures[key].values:
            v = figures[key].values
            print(f"{figures[key].label}: vornel / LMDB = {v[OURS] / v['LMDB']:.2f}")
    if args.only is None and args.peers is None:
        out_dir.mkdir(parents=True, exist_ok=True)
        write_report(out_dir, n, q, figures, text, skipped, args.machine)
    return 0


def write_report(out_dir, n, q, figures, text, skipped, machine):
    names = [c.name for c in available_peers()[0]]
    lines = [
        "# vornel beside its peers",
        "",
        f"Measured by `bench/peers.py` on {time.strftime('%Y-%m-%d')}, "
        f"{platform.machine()}, Python {platform.python_version()}, {os.cpu_count()} cores, "
        f"on {machine} (medians of rounds in which the columns take turns).",
        "",
        "- **vornel** is the package that users import: `VornWriter.update(pairs)` then "
        "`build()` (dedup on, its default), and `VornReader` returning decoded values "
        "(`r[key]`, `r.get`, `in`, `prefix()`, `items()`), opened as by default (the header "
        "and the key table's trailer read, each value's record checked against its CRC-32 as "
        "it is read) except in the checksum row (where it checks the whole file's CRC, the "
        "layout, and that the key table agrees with every index entry). Its stores carry the "
        "key table, so opening maps it instead of indexing every key.",
        "- **_vornel** is the low-level module: `_VornWriter` with two calls per key, and "
        "`_VornReader`, which indexes every key in memory at open and returns raw bytes "
        "(its listing is one list).",
        f"- The data: {n:,} text keys of 16-32 bytes in groups of ten sharing 12 leading "
        f"bytes, each bound to its own value, {VALUE_LEN} random bytes (102 bytes of "
        "MessagePack). Every store holds the MessagePack encoding of each value; where a "
        "figure is about values, every peer decodes what it returns with `msgpack.unpackb` "
        "(keyvi's values, text, through Latin-1 first), so that every column hands back the "
        "same Python objects. The dict holds the encodings too, and decodes per lookup. "
        "Keys are staged in random order; LMDB receives its pairs presorted (its "
        "`putmulti(append=True)` needs them so), outside its build time.",
        f"- Times: durable builds (each after a `sync`, so that none pays for another's "
        f"writes), opens and fresh processes by the wall clock; per-call "
        f"loops ({q:,} lookups, 20,000 prefix scans) and full iterations by the CPU time of "
        "the calling thread.",
        "- Memory, each in fresh processes, from `/proc/PID/smaps_rollup`: private is the "
        "growth of anonymous memory (what no other process can share), resident the growth "
        "of all pages mapped, file pages included. The iteration peaks are sampled every "
        f"millisecond. Serving: {SERVERS} processes each open the store and look up the "
        f"same {q:,} keys; the figure is the growth of their summed PSS (shared pages "
        "counted once across them) from start to served, beside one process doing the "
        "same alone. The page cache that holds a file for every process is not in a PSS: "
        "it is the file size.",
        "",
    ]
    if skipped:
        lines += [f"Skipped (not installed): {', '.join(skipped)}.", ""]
    lines += ["| Figure | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    order = ["build", "size", "open_warm", "open_cold", "open_verify", "fresh", "lookup",
             "absent", "exists", "prefix", "items", "private", "resident", "iter_private",
             "iter_resident", "serve_one", "serve_many"]
    shown = [figures[k] for k in order if k in figures]
    for f in shown:
        label = f.label + (" (per call)" if f.per > 1 else "")
        lines.append(f"| {label} | " + " | ".join(f.cell(nm, n) for nm in names) + " |")
    lines.append("")

    words = []
    if "build" in figures:
        b = figures["build"]
        words.append(f"- Build without dedup (`VornWriter(dedup=False)`): "
                     f"{fmt_time(b.extra[NO_DEDUP])}, file "
                     f"{fmt_mib(figures['size'].extra[NO_DEDUP])}. The values are all "
                     "distinct here, so dedup finds nothing to share; what its hashing costs "
                     "shows in staging alone, next. A durable build's time is mostly the "
                     "disk's, writing and syncing the file, which varies more than that.")
    if "staging" in text:
        s = text["staging"]
        words.append("- Staging alone, CPU time (inside the builds above): "
                     + ", ".join(f"{k} {fmt_time(v)}" for k, v in s.items()) + ".")
    if "open_cold" in figures:
        ra = text.get("read_ahead")
        window = f"{ra:,} KiB on this machine's disk" if ra else "the device's read-ahead"
        words.append("- A cold open is the open right after the files left the page cache. "
                     "vornel reads the few bytes its open needs (the header, the key table's "
                     "trailer and its record's length, the file's last bytes) with `pread` "
                     "and faults in none of its mapping; stores that fault pages of their "
                     "mapping in at open pay for the kernel's reading around each fault, up "
                     f"to the read-ahead window ({window}). The warm open follows it in the "
                     "same round.")
    if "bare" in text:
        words.append(f"- The fresh-process figure includes starting the interpreter: "
                     f"`python -c pass` alone takes {fmt_time(text['bare'])}.")
    for key, label in (("items", "full iteration"), ("prefix", "prefix scans")):
        ko = text.get("key_ordered", {}).get(key)
        if ko:
            per = 1 if key == "items" else 20_000
            words.append(f"- On a store staged in key order (its records in key order too), "
                         f"{label}: " + ", ".join(f"{k} {fmt_time(v, per)}"
                                                  for k, v in ko.items()) + ".")
    if words:
        lines += ["Further figures:", ""] + words + [""]

    if "verify" in text:
        crc = text["verify"]
        base = crc["zlib.crc32"]
        lines += ["Checksums over the package's store file: `verify()` of each module's "
                  "reader checks every record's CRC, the whole file's and the layout (the "
                  "entries end the file, the records tile the data section); the package's "
                  "also checks key order and that the key table agrees with the index "
                  "section, on a thread of its own beside the whole-file pass. Against one "
                  "CRC-32 pass over the file:", "",
                  "| | time | against one zlib.crc32 pass |", "|---|---|---|"]
        for nm, v in crc.items():
            lines.append(f"| {nm} | {fmt_time(v)} | {v / base:.2f}× |")
        lines.append("")

    charts = []
    for f in shown:
        unit, scale = f.scaled(n)
        values = {}
        for nm in names:
            if nm in f.values:
                values[nm] = f.values[nm] * scale
            if nm == OURS:  # the package's variants beside it
                values.update((k, v * scale) for k, v in f.extra.items())
        stem = stem_of(f.label)
        bar_chart(out_dir / f"{stem}.png", f"{f.label} ({n:,} keys)", unit, values,
                  f.better, f.note)
        charts.append((f.label, f"{stem}.png"))
    if "verify" in text:
        bar_chart(out_dir / "verify.png", f"checksums over the store file ({n:,} keys)", "ms",
                  {k: v * 1e3 for k, v in text["verify"].items()}, "lower")
        charts.append(("checksums", "verify.png"))
    for old in out_dir.glob("*.png"):
        # Another report's charts (scale, compression) share the folder.
        if old.name not in {c[1] for c in charts} and \
                not old.name.startswith(("scale", "compression_")):
            old.unlink()  # a chart of a figure this report no longer has
    lines += ["## Charts", "",
              "Each chart says which way is better and whether its axis is logarithmic. "
              "On a logarithmic axis a zero has a label and no bar. The build chart has "
              "the durable builds alone (staging is inside them; its own figures are "
              "above, in words).", ""]
    lines += [f"![{label}]({png})" for label, png in charts] + [""]
    (out_dir / "peers.md").write_text("\n".join(lines), encoding="utf-8")
    print(f"wrote {out_dir / 'peers.md'} and {len(charts)} charts")


if __name__ == "__main__":
    sys.exit(main())
