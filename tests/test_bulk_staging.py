"""VornWriter.update's native bulk path against add(), one pair at a time."""

import enum

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from _vornel import _VornReader
from vornel import VornReader, VornWriter

BATCH = 512  # pairs per native batch: errors are placed on both sides of its edges


def pack(value):
    return msgpack.Packer(use_bin_type=True).pack(value)


def built(tmp_path, name, stage, **options):
    w = VornWriter(**options)
    stage(w)
    path = tmp_path / name
    w.build(path)
    return path.read_bytes()


def per_call(pairs):
    def stage(w):
        for key, value in pairs:
            w.add(key, value)
    return stage


class Small(enum.IntEnum):
    ONE = 1


class Text(str):
    pass


# Values at every edge of MessagePack's scalar formats: fixint, 8/16/32/64-bit ints,
# fixstr/str8/str16, bin8/bin16, and the floats that compare oddly.
EDGES = [
    None, True, False, 0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1,
    2**63, 2**64 - 1, -1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1,
    -(2**63), 0.0, -0.0, 1.5, float("inf"), float("-inf"), float("nan"), 1e-310,
    "", "a" * 31, "a" * 32, "é" * 127, "b" * 255, "b" * 256, "c" * 65535, "c" * 65536,
    "grüße ✅", b"", b"x" * 255, b"x" * 256, b"y" * 65535, b"y" * 65536,
    # Left to the packer: subclasses, containers and its other types.
    Small.ONE, Text("sub"), bytearray(b"ba"), memoryview(b"mv"), [1, [2]], {"k": b"v"},
    (1, 2), msgpack.ExtType(3, b"e"),
]

scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats()
           | st.text() | st.binary())
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(st.text(max_size=3), inner, max_size=3), max_leaves=6)


class TestEncoding:
    def test_edges_encode_as_the_packer_does(self, tmp_path):
        w = VornWriter(dedup=False)
        w.update((f"k{i}", v) for i, v in enumerate(EDGES))
        w.build(tmp_path / "s.vrnl")
        r = _VornReader(str(tmp_path / "s.vrnl"))
        for i, v in enumerate(EDGES):
            assert r.get_raw(f"k{i}") == pack(v), v

    @settings(max_examples=60, deadline=None)
    @given(st.lists(values, min_size=1, max_size=40))
    def test_any_value_encodes_as_the_packer_does(self, tmp_path_factory, vals):
        path = tmp_path_factory.mktemp("enc") / "s.vrnl"
        w = VornWriter()
        w.update((str(i), v) for i, v in enumerate(vals))
        w.build(path)
        r = _VornReader(str(path))
        for i, v in enumerate(vals):
            assert r.get_raw(str(i)) == pack(v)

    def test_default_serves_the_bulk_path(self, tmp_path):
        class Point:
            def __init__(self, x):
                self.x = x

        w = VornWriter(default=lambda p: {"x": p.x})
        w.update([("p", Point(3)), ("n", 4)])
        w.build(tmp_path / "s.vrnl")
        assert dict(VornReader(tmp_path / "s.vrnl")) == {"p": {"x": 3}, "n": 4}


keys = st.one_of(st.text(max_size=4), st.binary(max_size=4))
pair_lists = st.lists(st.tuples(keys, st.sampled_from([0, 1, "x", b"x", None, 2.5, [1]])),
                      max_size=2 * BATCH + 20)


class TestSameStoreAsPerCall:
    @settings(max_examples=25, deadline=None)
    @given(pair_lists, st.booleans())
    def test_update_builds_the_bytes_of_add(self, tmp_path_factory, pairs, dedup):
        # Rebound keys, str and bytes spellings of one key, and repeated values.
        tmp = tmp_path_factory.mktemp("same")
        bulk = built(tmp, "bulk.vrnl", lambda w: w.update(pairs), dedup=dedup)
        assert bulk == built(tmp, "one.vrnl", per_call(pairs), dedup=dedup)

    def test_mapping_iterator_and_generator(self, tmp_path):
        items = {f"k{i}": i % 7 for i in range(3 * BATCH)}
        expected = built(tmp_path, "a.vrnl", per_call(items.items()))
        assert built(tmp_path, "b.vrnl", lambda w: w.update(items)) == expected
        assert built(tmp_path, "c.vrnl", lambda w: w.update(iter(list(items.items())))) == expected
        assert built(tmp_path, "d.vrnl", lambda w: w.update(p for p in items.items())) == expected

    def test_dedup_is_shared_with_add(self, tmp_path):
        w = VornWriter()
        first = w.add("a", "shared")
        w.update([("b", "shared"), ("c", "other"), ("d", [1, 2])])
        assert w.add("e", "other") == 1
        assert w.add_many(["f"], [1, 2]) == 2
        assert w.add_many([], "shared") == first
        assert w.num_objects == 3 and w._dedup_table[0] == 3
        w.build(tmp_path / "s.vrnl")
        r = VornReader(tmp_path / "s.vrnl")
        assert dict(r) == {"a": "shared", "b": "shared", "c": "other", "d": [1, 2],
                           "e": "other", "f": [1, 2]}

    def test_many_distinct_values_stay_distinct(self, tmp_path):
        # Through several growths of the table: each encoding one object, found again.
        w = VornWriter()
        n = 20_000
        w.update((f"k{i}", i) for i in range(n))
        w.update((f"j{i}", i) for i in range(n))
        assert w.num_objects == n and len(w) == 2 * n
        w.build(tmp_path / "s.vrnl")
        got = dict(VornReader(tmp_path / "s.vrnl"))
        assert got == {**{f"k{i}": i for i in range(n)}, **{f"j{i}": i for i in range(n)}}

    def test_memory_per_distinct_value(self):
        w = VornWriter()
        n = 50_000
        w.update((b"k%d" % i, i) for i in range(n))
        assert w._dedup_table[1] / n <= 48


def failing_cases():
    deep = None
    for _ in range(2000):
        deep = [deep]
    return [
        ((1, "v"), TypeError, "key must be str or bytes, not int"),
        ((bytearray(b"k"), "v"), TypeError, "not bytearray"),
        (("long", "v"), ValueError, "key is 65536 bytes, format maximum is 65535"),
        (("surrogate-key\ud800", 1), ValueError, "lone surrogate"),
        (("bad", object()), TypeError, "key 'bad'"),
        (("big", 2**64), OverflowError, "key 'big'"),
        (("small", -(2**63) - 1), OverflowError, "key 'small'"),
        (("surrogate", "\ud800"), ValueError, "key 'surrogate'"),
        (("deep", deep), ValueError, "key 'deep'"),
        (("one",), ValueError, "has length 1; 2 is required"),
        ("xyz", ValueError, "has length 3; 2 is required"),
        (7, TypeError, "to a sequence"),
    ]


class TestErrors:
    @pytest.mark.parametrize(("bad", "error", "text"), failing_cases())
    @pytest.mark.parametrize("before", [0, BATCH - 1, BATCH, BATCH + 3])
    def test_a_failing_pair_stops_where_add_stops(self, tmp_path, bad, error, text, before):
        if isinstance(bad, tuple) and bad[0] == "long":
            bad = ("é" * 32768, bad[1])
        good = [(f"g{i}", i % 5) for i in range(before)]
        w = VornWriter()
        with pytest.raises(error, match=text):
            w.update([*good, bad, ("after", 1)])
        assert len(w) == before
        w.update([("later", [1]), ("again", 2)])
        w.build(tmp_path / "s.vrnl")
        expected = built(tmp_path, "e.vrnl", per_call([*good, ("later", [1]), ("again", 2)]))
        assert (tmp_path / "s.vrnl").read_bytes() == expected

    def test_iterator_and_default_errors_pass_through(self):
        def pairs():
            for i in range(BATCH + 5):
                yield f"k{i}", i
            raise KeyError("from the iterator")

        w = VornWriter(default=lambda o: {}["missing"])
        with pytest.raises(KeyError, match="from the iterator"):
            w.update(pairs())
        assert len(w) == BATCH + 5
        with pytest.raises(KeyError, match="missing"):
            w.update([("x", 1), ("y", object()), ("z", 1)])
        assert len(w) == BATCH + 6
