"""Threads against the package for a few seconds, every result checked against a model:
many threads reading one reader, threads each building and reading their own stores,
and threads racing on one writer. Runs with the GIL and on the free-threaded build."""

import faulthandler
import random
import sys
import threading
import time
import zlib
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import pytest

import vornel
from vornel import VornReader, VornWriter, errors

THREADS = 4
SECONDS = 1.5  # per test: long enough for many thousands of interleaved calls
RACE_CALLS = 1500  # at most, per thread racing on one writer
RACE_BUILDS = 5  # at most, per thread racing on one writer
WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def eager_switching():
    # With the GIL, switch threads as often as the interpreter can, so that they
    # interleave inside the writer's calls too. A thread that never finishes shows
    # every thread's stack and ends the run instead of hanging it.
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(before)


def run_threads(work, n=THREADS):
    """Runs work(index, deadline) in n threads started together; re-raises the first
    failure and returns the results."""
    barrier = threading.Barrier(n)

    def start(i):
        barrier.wait()
        return work(i, time.monotonic() + SECONDS)

    with ThreadPoolExecutor(n) as pool:
        return [f.result() for f in [pool.submit(start, i) for i in range(n)]]


def value_of(key):
    """A value for `key`: some equal across keys (so that dedup merges them), some unique,
    of every type that round-trips."""
    h = zlib.crc32(key if isinstance(key, bytes) else key.encode())
    kind = h % 4
    if kind == 0:
        return h % 5
    if kind == 1:
        return {"key": key, "n": h, "nested": {"f": h / 7, "ok": bool(h & 1)}}
    if kind == 2:
        return [key, h.to_bytes(4, "big") * (h % 20), None, -h]
    return "v" * (h % 300)


def key_bytes(key):
    return key if isinstance(key, bytes) else key.encode()


def is_busy(error):
    """Whether `error` is the writer refusing a conflicting call."""
    return isinstance(error, errors.WriterBusyError) or (
        type(error) is RuntimeError and str(error).startswith("Already"))


def test_threads_share_one_reader(tmp_path):
    keys = [f"k/{i:05d}" for i in range(1500)] + ["k/ä/%d" % i for i in range(100)]
    keys += [b"\xff/%d" % i for i in range(100)]  # not UTF-8: these come back as bytes
    model = {k: value_of(k) for k in keys}
    path = tmp_path / "shared.vrnl"
    vornel.build(path, model)
    ordered = sorted(model, key=key_bytes)
    reader = vornel.open(path)

    def read(i, deadline):
        rng = random.Random(i)
        rounds = 0
        with VornReader(path) as own:  # beside the shared one: opens race too
            assert len(own) == len(model)
        while time.monotonic() < deadline or rounds < 20:
            sample = rng.sample(keys, 50)
            for k in sample:
                assert reader[k] == model[k]
                assert k in reader
            assert reader.get_many(sample + ["k/missing"]) == [model[k] for k in sample] + [None]
            assert "k/missing" not in reader and reader.get("k/", 7) == 7
            with pytest.raises(KeyError):
                reader[b"\xff"]
            p = "k/%02d" % rng.randrange(16)
            assert list(reader.prefix(p)) == [(k, model[k]) for k in ordered
                                              if key_bytes(k).startswith(p.encode())]
            if rounds % 10 == 0:
                assert list(reader.items()) == [(k, model[k]) for k in ordered]
            rounds += 1
        return rounds

    with reader:
        run_threads(read)


def test_threads_build_their_own_stores(tmp_path):
    def build(i, deadline):
        rounds = 0
        path = tmp_path / f"own-{i}.vrnl"
        previous = None
        while time.monotonic() < deadline or rounds < 3:
            keys = [f"t{i}/r{rounds}/{j}" for j in range(300)] + [b"\xfe%d/%d" % (i, rounds)]
            model = {k: value_of(k) for k in keys}
            w = VornWriter()
            w.update((k, model[k]) for k in keys[:100])
            for k in keys[100:200]:
                w[k] = model[k]
            for j in range(200, len(keys), 10):
                group = keys[j:j + 10]
                w.add_many(group, model[group[0]])
                model.update(dict.fromkeys(group, model[group[0]]))
            w.build(path)
            with vornel.open(path) as r:
                assert dict(r.items()) == model and len(r) == len(w)
            if previous is not None:
                # An open reader keeps the store it opened after a new one replaced it.
                old_reader, old_model = previous
                assert dict(old_reader.items()) == old_model
                old_reader.close()
            previous = (vornel.open(path), model)
            rounds += 1
        previous[0].close()
        return rounds

    run_threads(build)


class CallLog:
    """What the racing threads asked of the writer: each key's value, the keys of calls
    begun and of calls that succeeded."""

    def __init__(self):
        self.lock = threading.Lock()
        self.value = {}
        self.begun = set()
        self.succeeded = set()

    def begin(self, pairs):
        with self.lock:
            self.value.update(pairs)
            self.begun.update(pairs)

    def succeed(self, keys):
        with self.lock:
            self.succeeded.update(keys)

    def snapshot(self):
        with self.lock:
            return set(self.begun), set(self.succeeded)


def check_store(path, log, must_hold, may_hold):
    """The store at `path` holds every key of `must_hold`, only keys of `may_hold`, each
    with the value its call staged."""
    with vornel.open(path) as r:
        held = dict(r.items())
    assert must_hold <= held.keys() <= may_hold
    assert all(value == log.value[key] for key, value in held.items())
    return held


def test_threads_race_on_one_writer(tmp_path):
    w = VornWriter()
    log = CallLog()

    def race(i, deadline):
        rng = random.Random(i)
        outcomes = Counter()
        builds = []
        n = 0
        # Bounded in calls too: each build is read back whole, and the store grows.
        while n < RACE_CALLS and (time.monotonic() < deadline or n < RACE_CALLS // 8):
            n += 1
            op = rng.choice(["add", "setitem", "add_many", "update", "update"] * 8 + ["build"])
            if op == "build" and len(builds) < RACE_BUILDS:
                path = tmp_path / f"race-{i}-{n}.vrnl"
                _, before = log.snapshot()
                try:
                    w.build(path)
                except RuntimeError as e:
                    assert is_busy(e), e
                    outcomes["build busy"] += 1
                    continue
                builds.append((path, before, log.snapshot()[0]))
                outcomes["build"] += 1
                continue
            op = "add" if op == "build" else op
            size = 1 if op in ("add", "setitem") else rng.randrange(2, 12)
            keys = [f"t{i}/{n:06d}/{j}" for j in range(size)]
            if n % 3 == 0:
                keys[-1] = b"\xfd%d/%d" % (i, n)
            if op == "add_many":
                pairs = dict.fromkeys(keys, value_of(keys[0]))
            else:
                pairs = {k: value_of(k) for k in keys}
            log.begin(pairs)
            try:
                if op == "add":
                    assert isinstance(w.add(keys[0], pairs[keys[0]]), int)
                elif op == "setitem":
                    w[keys[0]] = pairs[keys[0]]
                elif op == "add_many":
                    w.add_many(keys, pairs[keys[0]])
                elif rng.random() < 0.5:
                    w.update(pairs)
                else:  # a generator: Python code runs inside the native batch
                    w.update((k, v) for k, v in pairs.items())
            except RuntimeError as e:
                assert is_busy(e), e
                outcomes[op + " busy"] += 1
                continue
            log.succeed(keys)
            outcomes[op] += 1
        return outcomes, builds

    results = run_threads(race)
    begun, succeeded = log.snapshot()
    # A build publishes what was staged at one moment: every call that had succeeded
    # before it began, nothing that had not begun by its end.
    for _, builds in results:
        for path, before, after in builds:
            check_store(path, log, before, after)
    final = tmp_path / "final.vrnl"
    w.build(final)
    held = check_store(final, log, succeeded, begun)
    assert len(w) == len(held)
    totals = sum((outcomes for outcomes, _ in results), Counter())
    assert all(totals[op] for op in ("add", "setitem", "add_many", "update", "build")), totals
