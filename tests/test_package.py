"""The vornel package: VornWriter, VornReader, build() and open() over the native core."""

import errno
import math
import re
import struct
import tracemalloc

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import storefile
import vornel
from _vornel import _VornReader
from vornel import VornDecodeError, VornReader, VornWriter
from vornel.errors import VornCorruptError, VornFileNotFoundError, VornIOError

CLOSED = "I/O operation on closed store"

VALUES = {
    "none": None,
    "true": True,
    "false": False,
    "zero": 0,
    "int_min": -(2**63),
    "uint_max": 2**64 - 1,
    "float": 3.25,
    "neg_zero": -0.0,
    "inf": math.inf,
    "str": "grüße ✅",
    "empty_str": "",
    "bytes": b"\x00\xff raw",
    "list": [1, "two", [3.0, None]],
    "dict": {"a": {"b": [1, 2]}, "c": b"x"},
    "dict_non_str_keys": {1: "one", b"k": "bytes", None: 0, 2.5: [True], False: "no"},
    "ext": msgpack.ExtType(5, b"\x01\x02"),
    "timestamp": msgpack.Timestamp(1_700_000_000, 5),
}

# Values as MessagePack gives them back: sequences as lists.
json_like = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False) | st.text() | st.binary(),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text() | st.integers(-(2**63), 2**64 - 1) | st.binary(), inner,
                      max_size=4),
    max_leaves=12,
)


def write(path, items, **options):
    w = VornWriter(**options)
    w.update(items)
    w.build(path)
    return w


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.vrnl")


class TestRoundTrip:
    def test_every_value_type(self, path):
        write(path, VALUES)
        with vornel.open(path) as r:
            assert dict(r) == VALUES
            assert math.copysign(1, r["neg_zero"]) == -1

    def test_nan_and_tuples(self, path):
        write(path, {"nan": math.nan, "tuple": (1, (2, 3))})
        with vornel.open(path) as r:
            assert math.isnan(r["nan"])
            assert r["tuple"] == [1, [2, 3]]

    @settings(max_examples=60, deadline=None)
    @given(st.dictionaries(st.text() | st.binary(), json_like, max_size=8))
    def test_generated(self, tmp_path_factory, items):
        path = str(tmp_path_factory.mktemp("gen") / "s.vrnl")
        write(path, items)
        with vornel.open(path) as r:
            expected = {storefile.as_key_bytes(k): v for k, v in items.items()}
            assert {storefile.as_key_bytes(k): v for k, v in r.items()} == expected

    def test_hooks_are_passed_through(self, path):
        class Point:
            def __init__(self, x):
                self.x = x

        w = VornWriter(default=lambda o: msgpack.ExtType(7, str(o.x).encode()))
        w.add("p", Point(42))
        w.add("d", {"n": 1})
        w.build(path)
        r = VornReader(path, ext_hook=lambda code, data: (code, int(data)),
                       object_hook=lambda d: sorted(d.items()))
        assert r["p"] == (7, 42)
        assert r["d"] == [("n", 1)]


class TestWriter:
    def test_dedup_a_million_keys_one_object(self, path):
        w = VornWriter()
        value = {"shared": list(range(10))}
        w.update((f"k{i:07d}", value) for i in range(1_000_000))
        assert len(w) == 1_000_000
        w.build(path)
        assert VornReader(path).stats()["num_objects"] == 1
        assert _VornReader(path).stats()["num_objects"] == 2  # and the key table's record

    def test_add_many_and_ids(self, path):
        w = VornWriter()
        first = w.add_many(["a", "b", b"c"], [1, 2])
        assert w.add("d", [1, 2]) == first  # the same encoding: the same object
        assert w.add("e", [2, 1]) != first
        w.build(path)
        raw = _VornReader(path)
        assert VornReader(path).stats()["num_objects"] == 2
        assert raw.get_raw("c") == raw.get_raw("a") == msgpack.packb([1, 2])

    def test_no_dedup(self, path):
        w = VornWriter(dedup=False)
        assert [w.add(k, "same") for k in "abc"] == [0, 1, 2]
        w.build(path)
        assert VornReader(path).stats()["num_objects"] == 3

    def test_len_counts_distinct_keys(self):
        w = VornWriter()
        w["k"] = 1
        w["k"] = 2
        w[b"k"] = 3  # the same key bytes
        w.update({"j": 1})
        w.update([("i", 1)])
        assert len(w) == 3

    def test_memory_per_distinct_value(self):
        w = VornWriter()
        n = 50_000
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for i in range(n):
                w.add(b"k%d" % i, i)
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        assert w.num_objects == n
        entries, table_bytes = w._dedup_table  # native memory, which tracemalloc does not see
        assert entries == n
        assert (after - before + table_bytes) / n < 100

    @pytest.mark.parametrize(
        ("key", "value", "error", "text"),
        [
            (1, "v", TypeError, "key must be str or bytes, not int"),
            (bytearray(b"k"), "v", TypeError, "not bytearray"),
            ("bad", object(), TypeError, "key 'bad'"),
            ("big", 2**64, OverflowError, "key 'big'"),
            ("surrogate", "\ud800", ValueError, "key 'surrogate'"),
            ("deep", None, ValueError, "key 'deep'"),
            ("long", "v", ValueError, "key is 65536 bytes, format maximum is 65535"),
        ],
    )
    def test_errors_stage_nothing_and_leave_the_writer_usable(self, path, key, value, error,
                                                              text):
        w = VornWriter()
        w.add("before", 1)
        if key == "long":
            key = "é" * 32768
        if key == "deep":
            for _ in range(2000):  # deeper than the packer's nesting limit
                value = [value]
        with pytest.raises(error, match=text):
            w.add(key, value)
        assert (len(w), w.num_objects) == (1, 1)
        w.add("after", [1])
        w.build(path)
        assert dict(VornReader(path)) == {"before": 1, "after": [1]}

    def test_failed_encoding_keeps_the_packer_clean(self, path):
        w = VornWriter()
        with pytest.raises(TypeError):
            w.add("k", [1, 2, object()])  # fails after part of the list was packed
        w.add("k", [3])
        w.build(path)
        assert _VornReader(path).get_raw("k") == msgpack.packb([3])

    def test_create_builds_at_a_clean_exit_only(self, tmp_path, capfd):
        good = tmp_path / "good.vrnl"
        with VornWriter.create(good) as w:
            w["a"] = 1
        assert dict(VornReader(good)) == {"a": 1}
        bad = tmp_path / "bad.vrnl"
        with pytest.raises(RuntimeError, match="boom"):
            with VornWriter.create(bad) as w:
                w["a"] = 1
                raise RuntimeError("boom")
        assert not bad.exists()
        assert list(tmp_path.iterdir()) == [good]
        assert capfd.readouterr().out == ""

    def test_build_is_quiet_unless_verbose(self, tmp_path, capfd):
        w = VornWriter()
        w.add("a", 1)
        w.build(tmp_path / "q.vrnl")
        assert capfd.readouterr().out == ""
        line = w.build(str(tmp_path / "loud.vrnl"), verbose=True)
        assert capfd.readouterr().out == line + "\n"
        size = (tmp_path / "loud.vrnl").stat().st_size
        assert size < 1024
        assert line == f"✅  {tmp_path / 'loud.vrnl'}  —  1 object · 1 key · {size} B"
        w.add("b", 2)
        line = w.build(str(tmp_path / "two.vrnl"))
        size = (tmp_path / "two.vrnl").stat().st_size
        assert line == f"✅  {tmp_path / 'two.vrnl'}  —  2 objects · 2 keys · {size} B"
        assert (tmp_path / "q.vrnl").read_bytes() == (tmp_path / "loud.vrnl").read_bytes()


class TestBuildErrors:
    def test_path_types(self, tmp_path):
        w = VornWriter()
        w.add("a", 1)
        w.build(tmp_path / "p.vrnl")
        w.build(bytes(tmp_path / "b.vrnl"))
        for bad in (None, 5):
            with pytest.raises(TypeError):
                w.build(bad)  # type: ignore[arg-type]

    def test_a_missing_folder_is_named(self, tmp_path):
        target = tmp_path / "missing" / "s.vrnl"
        with pytest.raises(FileNotFoundError) as e:
            VornWriter().build(target)
        assert isinstance(e.value, VornIOError)
        assert e.value.errno == errno.ENOENT and e.value.filename == str(target)

    @pytest.mark.parametrize("where, number", [("missing/s.vrnl", errno.ENOENT),
                                               ("file/s.vrnl", errno.ENOTDIR)])
    def test_a_bad_folder_is_found_when_the_writer_is_made(self, tmp_path, where, number):
        (tmp_path / "file").write_bytes(b"")
        with pytest.raises(VornIOError) as e:
            VornWriter.create(tmp_path / where)
        assert e.value.errno == number and e.value.filename == str(tmp_path / where)
        with pytest.raises(VornIOError) as e:
            VornWriter(run_dir=(tmp_path / where).parent)
        assert e.value.errno == number and e.value.filename == str((tmp_path / where).parent)

    @pytest.mark.parametrize("limit", [0, -1, 1 << 64, 1 << 100, 1.5])
    def test_a_memory_limit_is_a_positive_64_bit_count(self, limit):
        with pytest.raises(ValueError, match="memory_limit must be a positive number"):
            VornWriter(memory_limit=limit)


class TestReaderMapping:
    ITEMS = {"b": 2, "a": [1], "ab": {"x": None}, "": "empty", "é": b"\x00", b"\x00z": 0.5}

    @pytest.fixture
    def reader(self, path):
        write(path, self.ITEMS)
        with VornReader(path) as r:
            yield r

    def test_against_a_dict(self, reader):
        model = dict(sorted(self.ITEMS.items(), key=lambda kv: storefile.as_key_bytes(kv[0])))
        model = {k.decode() if isinstance(k, bytes) else k: v for k, v in model.items()}
        assert reader == model and model == dict(reader)
        assert list(reader) == list(model)
        assert list(reader.keys()) == list(model.keys())
        assert list(reader.values()) == list(model.values())
        assert list(reader.items()) == list(model.items())
        assert reader.keys() == model.keys()
        assert ("a", [1]) in reader.items() and [1] in reader.values()
        assert len(reader) == len(model)
        for key in [*model, "zz", "a\0", b"a"]:
            assert (key in reader) == (key in model or key == b"a")
            assert reader.get(key, "dflt") == model.get(key, model.get(
                key.decode() if isinstance(key, bytes) else key, "dflt"))
        with pytest.raises(KeyError) as missing:
            reader["zz"]
        assert missing.value.args == ("zz",)

    def test_only_str_and_bytes_find_keys(self, reader):
        for foreign in (5, None, "\ud800", tuple(b"a"), list(b"a"), bytearray(b"a")):
            assert foreign not in reader
            assert reader.get(foreign, "none") == "none"  # type: ignore[call-overload]
            with pytest.raises(KeyError) as missing:
                reader[foreign]  # type: ignore[index]
            assert missing.value.args == (foreign,)  # None and tuples too, as dict says
        assert reader.get_many([tuple(b"a"), "a"]) == [None, [1]]  # type: ignore[list-item]

    def test_a_hooks_error_is_no_missing_key(self, path):
        write(path, {"k": {"a": 1}})

        def hook(d):
            raise KeyError("from the hook")

        r = VornReader(path, object_hook=hook)
        for use in (lambda: r.get("k"), lambda: r.get_many(["k"]), lambda: r["k"],
                    lambda: list(r.items())):
            with pytest.raises(KeyError, match="from the hook"):
                use()
        assert r.get("absent", 0) == 0

    def test_get_many_and_prefix(self, reader):
        assert reader.get_many(["a", "nope", "b"], default=0) == [[1], 0, 2]
        assert list(reader.prefix("a")) == [("a", [1]), ("ab", {"x": None})]
        assert list(reader.prefix(b"ab")) == [("ab", {"x": None})]
        assert list(reader.prefix("abc")) == []
        assert [k for k, _ in reader.prefix("")] == list(reader)

    def test_keys_that_are_not_utf8_come_back_as_bytes(self, path):
        items = {b"\xff": 1, b"a\xc3": 2, "real \ufffd": 3, "plain": 4}
        write(path, items)
        r = VornReader(path)
        assert set(r) == set(items)
        assert all(r[k] == v for k, v in items.items())
        assert dict(r.prefix(b"a")) == {b"a\xc3": 2}
        assert dict(r.prefix("real")) == {"real \ufffd": 3}

    def test_stats_verify_raw_repr(self, reader, path):
        assert reader.verify() is True
        raw = _VornReader(path).stats()
        stats = reader.stats()
        assert stats["path"] == path and stats["num_keys"] == raw["num_keys"] == 6
        assert stats["file_crc32"] == raw["file_crc32"]
        assert stats["file_size"] == round(raw["file_size_kb"] * 1024)
        assert isinstance(reader.raw, _VornReader)
        assert repr(reader) == f"VornReader({path!r}, keys=6, objects=6)"

    def test_use_after_close(self, reader):
        reader.close()
        uses = [
            lambda: reader["a"], lambda: "a" in reader, lambda: len(reader),
            lambda: list(reader), lambda: reader.keys(), lambda: reader.values(),
            lambda: reader.items(), lambda: reader.get("a"), lambda: list(reader.prefix("a")),
            lambda: reader.get_many(["a"]), lambda: reader.verify(), lambda: reader.stats(),
            lambda: reader.raw, lambda: reader == {},
        ]
        for use in uses:
            with pytest.raises(ValueError, match=CLOSED):
                use()
        reader.close()
        reader.__exit__(None, None, None)
        assert repr(reader).endswith(", closed)")

    def test_close_releases_the_low_level_reader(self, path):
        import sys

        write(path, {"a": 1})
        r = VornReader(path)
        raw = r.raw
        held = sys.getrefcount(raw)
        r.close()
        # Only this test's own reference is left: nothing in the closed reader holds
        # the mapping alive.
        assert sys.getrefcount(raw) == 2 < held

    def test_iterating_keys_reads_no_payloads(self, tmp_path):
        path = tmp_path / "dangling.vrnl"
        data = storefile.record(msgpack.packb(1))
        index = storefile.entry("a", 40) + storefile.entry("b", 10**9)  # b: past the end
        path.write_bytes(storefile.raw_store(data, index, 2, num_objects=1))
        r = VornReader(path)
        assert list(r) == ["a", "b"] and list(r.keys()) == ["a", "b"] and "b" in r
        assert r["a"] == 1
        with pytest.raises(RuntimeError, match="offset 1000000000 out of bounds"):
            r["b"]

    def test_decode_error_names_the_key(self, tmp_path):
        path = tmp_path / "bad.vrnl"
        payloads = [b"\xc1", b"\x92\x01", b"\x01\x02", msgpack.packb({"a": 1})]
        path.write_bytes(storefile.encode_store(
            payloads, [("never", 0), ("short", 1), ("extra", 2), ("fine", 3)]))
        r = VornReader(path)
        for key in ("never", "short", "extra"):
            with pytest.raises(VornDecodeError, match=f"key '{key}'") as e:
                r[key]
            assert isinstance(e.value, ValueError)
        assert r["fine"] == {"a": 1}
        with pytest.raises(VornDecodeError, match="key 'extra'"):
            list(r.prefix("e"))

    def test_open_errors_say_what_is_wrong(self, tmp_path):
        missing = tmp_path / "missing.vrnl"
        with pytest.raises(FileNotFoundError) as e:
            VornReader(missing)
        assert isinstance(e.value, VornFileNotFoundError)
        assert e.value.errno == errno.ENOENT and e.value.filename == str(missing)
        with pytest.raises(IsADirectoryError):
            VornReader(tmp_path, verify=False)
        other = tmp_path / "other.txt"
        other.write_bytes(b"import this\n" * 10)
        with pytest.raises(VornCorruptError, match=f"^{re.escape(str(other))} is not a vornel store$"):
            VornReader(other)
        other.write_bytes(b"VRN")
        with pytest.raises(VornCorruptError, match="is not a vornel store"):
            VornReader(other)
        path = tmp_path / "torn.vrnl"
        write(str(path), {f"k{i}": i for i in range(100)})
        whole = path.read_bytes()
        path.write_bytes(whole[:200])
        with pytest.raises(VornCorruptError, match=r"truncated: 200 bytes, the header expects"):
            VornReader(path)
        # One byte after an empty store's header.
        path.write_bytes(b"VRNL\x02" + bytes(11) + struct.pack(">Q", 40) + bytes(17))
        with pytest.raises(RuntimeError, match="CRC32 mismatch"):
            vornel.open(path, verify=True)


class TestHelpers:
    def test_build_and_open(self, path, capfd):
        line = vornel.build(path, {"a": 1, "b": [2]})
        assert line.startswith(f"✅  {path}  —  2 objects · 2 keys · ")  # as VornWriter.build
        vornel.build(path + "2", [("a", 1), ("b", [2])], progress=True)
        captured = capfd.readouterr()
        assert captured.out == ""
        assert "staging" in captured.err
        with vornel.open(path) as a, vornel.open(path + "2", verify=False) as b:
            assert dict(a) == dict(b) == {"a": 1, "b": [2]}

    def test_version(self):
        from importlib.metadata import version

        assert vornel.__version__ == version("vornel")
