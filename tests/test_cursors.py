"""The reader's streaming scans against a sorted model: iteration, reversed(), values(),
items(), prefix(), prefix_keys() and range(), and what closing does to them."""

import copy
import multiprocessing
import operator
import pickle
import re
import struct
import zlib

import msgpack

import pytest
from hypothesis import given, settings, strategies as st

import storefile
import vornel
from vornel import VornDecodeError, VornReader, VornWriter
from vornel._engine import Merge

keys = st.one_of(st.text(max_size=5), st.binary(max_size=5))
stores = st.dictionaries(keys, st.integers(-(2**63), 2**63 - 1), max_size=60)
bounds = st.one_of(st.none(), keys)


def exact(key):
    """The key as the reader gives it back: str where its bytes are valid UTF-8."""
    if isinstance(key, bytes):
        try:
            return key.decode("utf-8")
        except UnicodeDecodeError:
            return key
    return key


def as_bytes(key):
    return key.encode("utf-8") if isinstance(key, str) else key


def model_of(items):
    merged = {as_bytes(k): v for k, v in items.items()}
    return sorted((k, merged[k]) for k in merged)


@settings(max_examples=80, deadline=None)
@given(stores, keys, bounds, bounds)
def test_scans_match_a_sorted_model(tmp_path_factory, items, p, start, stop):
    path = tmp_path_factory.mktemp("scan") / "s.vrnl"
    vornel.build(path, items)
    model = model_of(items)
    with VornReader(path) as r:
        assert list(r) == [exact(k) for k, _ in model]
        assert list(reversed(r)) == [exact(k) for k, _ in reversed(model)]
        assert list(r.values()) == [v for _, v in model]
        assert list(r.items()) == [(exact(k), v) for k, v in model]
        assert list(reversed(r.items())) == [(exact(k), v) for k, v in reversed(model)]
        pb = as_bytes(p)
        assert list(r.prefix(p)) == [(exact(k), v) for k, v in model if k.startswith(pb)]
        assert list(r.prefix_keys(p)) == [exact(k) for k, _ in model if k.startswith(pb)]
        lo = b"" if start is None else as_bytes(start)
        in_range = [(exact(k), v) for k, v in model
                    if k >= lo and (stop is None or k < as_bytes(stop))]
        assert list(r.range(start, stop)) == in_range
        assert list(r.range(start, stop, reverse=True)) == in_range[::-1]


# A merge of cursors over several stores against a model of all their entries. A key may
# lie in more than one store: the earlier store's entry comes first, in either direction.
@settings(max_examples=60, deadline=None)
@given(st.lists(stores, min_size=1, max_size=4), keys, bounds, bounds, st.booleans())
def test_a_merge_scans_its_stores_as_one(tmp_path_factory, parts, p, start, stop, reverse):
    folder = tmp_path_factory.mktemp("merge")
    readers = []
    entries = []  # (key bytes, store, value)
    for n, items in enumerate(parts):
        vornel.build(folder / f"{n}.vrnl", items)
        readers.append(VornReader(folder / f"{n}.vrnl"))
        entries += [(k, n, v) for k, v in model_of(items)]
    by_store = sorted(entries, key=lambda e: e[1])
    model = sorted(by_store, key=lambda e: e[0], reverse=reverse)  # stable: earlier store first
    lo = b"" if start is None else as_bytes(start)
    in_range = [(exact(k), v) for k, _, v in model
                if k >= lo and (stop is None or k < as_bytes(stop))]
    ranged = Merge([r.range(start, stop, reverse=reverse) for r in readers], reverse)
    assert operator.length_hint(ranged) == len(in_range)
    assert list(ranged) == in_range
    assert operator.length_hint(ranged) == 0
    if not reverse:
        pb = as_bytes(p)
        assert list(Merge([r.prefix_keys(p) for r in readers])) == \
            [exact(k) for k, _, _ in model if k.startswith(pb)]
        assert list(Merge([r._values() for r in readers])) == [v for _, _, v in model]
    for r in readers:
        r.close()


def test_a_merge_goes_on_after_a_step_that_fails(tmp_path):
    def hook(d):
        if d["n"] == 3:
            raise LookupError("the hook refuses 3")
        return d["n"]

    # The failing step is taken: the next key of its store comes in its place.
    readers = []
    for part, numbers in enumerate([(0, 3, 6), (1, 2, 4, 5)]):
        vornel.build(tmp_path / f"{part}.vrnl", {f"k{n}": {"n": n} for n in numbers})
        readers.append(VornReader(tmp_path / f"{part}.vrnl", object_hook=hook))
    for reverse, before, after in [(False, [0, 1, 2], [4, 5, 6]), (True, [6, 5, 4], [2, 1, 0])]:
        merged = Merge([r.range(reverse=reverse) for r in readers], reverse)
        assert [value for _, value in (next(merged) for _ in before)] == before
        with pytest.raises(LookupError, match="refuses 3"):
            next(merged)
        assert [value for _, value in merged] == after
    with pytest.raises(TypeError, match="Merge takes a reader's cursors, not list_iterator"):
        Merge([iter([1, 2])])


def test_prefix_of_high_bytes_runs_to_the_end(tmp_path):
    items = {b"\xff": 1, b"\xff\xff": 2, b"\xff\xff\x00": 3, b"\xfe\xff": 4, b"": 5}
    vornel.build(tmp_path / "s.vrnl", items)
    r = VornReader(tmp_path / "s.vrnl")
    assert list(r.prefix_keys(b"\xff\xff")) == [b"\xff\xff", b"\xff\xff\x00"]
    assert list(r.prefix_keys(b"\xfe")) == [b"\xfe\xff"]
    assert list(r.prefix_keys("")) == list(r)


def test_an_undecodable_value_names_its_key_in_every_scan(tmp_path):
    # Not UTF-8, and longer than a key copied on the stack.
    key = b"\xff" + b"k" * 300
    tabled = tmp_path / "tabled.vrnl"
    vornel.build(tabled, {b"a": 1, key: "MARKER"})
    blob = tabled.read_bytes()
    assert blob.count(b"\xa6MARKER") == 1
    at = blob.index(b"\xa6MARKER")
    # 0xc1: never used; the record's checksum made right, so that only decoding fails.
    damaged = blob[: at - 4] + struct.pack(">I", zlib.crc32(b"\xc1MARKER")) + b"\xc1" + blob[at + 1:]
    tabled.write_bytes(damaged)
    plain = tmp_path / "plain.vrnl"
    plain.write_bytes(storefile.encode_store([msgpack.packb(1), b"\xc1"], [(b"a", 0), (key, 1)]))
    for path, table in ((tabled, "in use"), (plain, "absent")):
        r = VornReader(path, verify=False)
        assert r.stats()["key_table"] == table
        for scan in (r.values, r.items):
            it = iter(scan())
            next(it)
            with pytest.raises(VornDecodeError, match=re.escape(repr(key))):
                next(it)


def test_a_cursor_refuses_a_step_from_its_own_step(tmp_path):
    vornel.build(tmp_path / "s.vrnl", {"a": {"n": 1}, "b": {"n": 2}})
    refusals = []

    def hook(d):
        for call in (next, operator.length_hint):
            with pytest.raises(RuntimeError) as e:
                call(it)
            refusals.append((type(e.value), str(e.value)))
        return d["n"]

    it = iter(VornReader(tmp_path / "s.vrnl", object_hook=hook).values())
    assert operator.length_hint(it) == 2
    assert list(it) == [1, 2] and operator.length_hint(it) == 0
    text = ("the cursor is in use by another call: another thread's, or one from a hook "
            "that its own step runs")
    assert refusals == [(RuntimeError, text)] * 4


def test_cursors_after_close(tmp_path):
    vornel.build(tmp_path / "s.vrnl", {f"k{i}": i for i in range(10)})
    r = VornReader(tmp_path / "s.vrnl")
    cursors = [iter(r), iter(r.items()), iter(r.values()), r.prefix("k"), r.range("k3"),
               r.prefix_keys("k"), reversed(r)]
    for c in cursors:
        next(c)
    spent = [iter(r.values()), r.prefix("x"), r.range("k9", "k0")]
    for c in spent:
        list(c)
    r.close()
    for c in cursors:
        with pytest.raises(ValueError, match="closed store"):
            next(c)
    for c in spent:  # nothing left to read: they stop as before
        assert list(c) == []


def test_close_inside_iteration_ends_it_cleanly(tmp_path):
    vornel.build(tmp_path / "s.vrnl", {f"k{i:03d}": {"n": i} for i in range(100)})
    seen = []

    def hook(d):
        if d["n"] == 50:
            r.close()  # from inside a step: that step still completes
        return d["n"]

    r = VornReader(tmp_path / "s.vrnl", object_hook=hook)
    with pytest.raises(ValueError, match="closed store"):
        for _, n in r.items():
            seen.append(n)
    assert seen == list(range(51))


def test_iteration_holds_constant_memory(tmp_path):
    import tracemalloc

    vornel.build(tmp_path / "s.vrnl", ((f"key{i:06d}", i) for i in range(100_000)))
    r = VornReader(tmp_path / "s.vrnl")
    tracemalloc.start()
    try:
        it = iter(r.items())
        next(it)
        first = tracemalloc.get_traced_memory()[1]
        for _ in it:
            pass
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert first < 64 << 10 and peak < 64 << 10


def lookup(reader, key):
    return reader[key], reader.path


def test_readers_pickle_and_copy_by_path_and_hooks(tmp_path, monkeypatch):
    path = tmp_path / "s.vrnl"
    w = VornWriter()
    w.update({"a": {"x": 1}, "b": [2]})
    w.build(path)
    monkeypatch.chdir(tmp_path)
    r = VornReader("s.vrnl", verify=False, object_hook=dict)
    monkeypatch.chdir("/")  # the copies reopen the file the reader opened
    for other in (pickle.loads(pickle.dumps(r)), copy.copy(r), copy.deepcopy(r)):
        assert other is not r and dict(other) == dict(r)
        assert other.path == str(path)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.starmap(lookup, [(r, "a"), (r, "b")])
    assert got == [({"x": 1}, str(path)), ([2], str(path))]
