"""Compressed stores: values compressed with a dictionary trained per store, read back
through every API; damaged or forged dictionaries and frames; the tool's --compress."""

import random
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import storefile
import vornel
from _vornel import _VornReader, _VornWriter
from test_package import VALUES, json_like
from vornel import VornReader, VornWriter
from vornel.errors import VornCorruptError

MARKER = 0xC1
DICT_MAGIC = b"VRNLZDIC"
VORNEL = str(Path(sys.executable).with_name("vornel"))


def records(n, seed=0):
    """Package-like records that share their field names and much of their text."""
    return {
        f"pkg:{seed}:{i:05}": {
            "Package": f"lib{i % 97}-{i}", "Version": f"{i % 9}.{i % 13}-{i % 5}",
            "Depends": [f"libc6 (>= 2.{i % 30})", "zlib1g"][: 1 + i % 2],
            "Description": "shared library for " + ["parsing", "network access", "fonts"][i % 3],
            "Size": i * 37,
        }
        for i in range(n)
    }


def build(path, items, **options):
    w = VornWriter(**options)
    w.update(items)
    w.build(path)
    return w


def as_read(value):
    """A value as MessagePack gives it back."""
    return msgpack.unpackb(msgpack.packb(value), strict_map_key=False)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.vrnl")


# -- round trips ----------------------------------------------------------------------------

def every_read(r, items):
    """Every way the package reads values, against `items`."""
    keys = sorted(items, key=lambda k: k.encode() if isinstance(k, str) else k)
    want = [as_read(items[k]) for k in keys]
    assert [r[k] for k in keys] == want
    assert [r.get(k) for k in keys] == want
    assert r.get_many(keys) == want
    assert list(r.values()) == want
    assert list(r.items()) == list(zip(keys, want))
    assert list(r.range(reverse=True)) == list(zip(keys, want))[::-1]
    assert list(r.prefix("")) == list(zip(keys, want))


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_every_value_type_round_trips(path, compression):
    # Each type both small and inside a value long enough to be compressed.
    items = dict(VALUES)
    items.update({f"long:{k}": [v] * 40 + ["padding " * 20] for k, v in VALUES.items()})
    items.update(records(300))
    build(path, items, compression=compression)
    with VornReader(path) as r:
        every_read(r, items)
        assert r.stats()["compression"] == compression
    raw = _VornReader(path)
    stored = [raw.get_raw(k)[0] == MARKER for k in items]
    assert any(stored) == (compression is not None)
    assert raw.verify()


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(values=st.lists(json_like, min_size=1, max_size=60), level=st.sampled_from([-5, 1, 3, 19]),
       repeat=st.integers(1, 30))
def test_compressed_round_trip_property(tmp_path_factory, values, level, repeat):
    path = str(tmp_path_factory.mktemp("c") / "s.vrnl")
    items = {f"k{i}": [v] * repeat for i, v in enumerate(values)}
    items.update(records(50))
    build(path, items, compression="zstd", compression_level=level)
    with VornReader(path, verify=False) as r:
        every_read(r, items)
        assert r.verify()


def test_stored_bytes(path, tmp_path):
    """Values that do not shrink stay as they were; the rest carry the marker and one zstd
    frame that declares its size; dedup works on the values before compression."""
    items = records(2000)
    items.update({"tiny": 1, "noise": random.Random(1).randbytes(512), "same1": "x" * 500, "same2": "x" * 500})
    w = build(path, items, compression="zstd")
    assert w.num_objects == len(items) - 1
    raw = _VornReader(path)
    assert raw.get_raw("tiny") == msgpack.packb(1)
    assert raw.get_raw("noise") == msgpack.packb(items["noise"])
    stored = raw.get_raw("pkg:0:00007")
    assert stored[0] == MARKER and stored[1:5] == b"\x28\xb5\x2f\xfd"
    assert raw.get_raw("same1") == raw.get_raw("same2")
    # The dictionary's record is the first, and no key names it.
    data = Path(path).read_bytes()
    assert data[48:56] == DICT_MAGIC
    assert raw.stats()["num_objects"] == VornReader(path).stats()["num_objects"] + 2
    plain = str(tmp_path / "plain.vrnl")
    build(plain, items)
    stats = VornReader(path).stats()
    assert stats["compression"] == "zstd" and stats["compression_ratio"] > 2
    assert Path(path).stat().st_size < 0.6 * Path(plain).stat().st_size


def test_builds_are_deterministic(tmp_path):
    items = records(3000)
    a, b = tmp_path / "a.vrnl", tmp_path / "b.vrnl"
    build(a, items, compression="zstd")
    build(b, items, compression="zstd")
    assert a.read_bytes() == b.read_bytes()


def test_progress_names_compress_first(path):
    phases = []
    w = VornWriter(compression="zstd")
    w.update(records(100))
    w.build(path, progress=lambda phase, *_: phases.append(phase))
    assert list(dict.fromkeys(phases)) == ["compress", "sort", "merge", "write", "fsync"]


@pytest.mark.parametrize("options, error", [
    ({"compression": "lz4"}, ValueError),
    ({"compression": "zstd", "compression_level": 23}, ValueError),
    ({"compression": "zstd", "compression_level": "3"}, TypeError),
    ({"compression_level": 3}, ValueError),
])
def test_bad_options(options, error):
    with pytest.raises(error):
        VornWriter(**options)


# -- damaged and forged input ---------------------------------------------------------------

def rlen_frame(declared, produced, *, fcs_bytes=4):
    """A zstd frame of one run-length block producing `produced` bytes, declaring
    `declared`: hand-made, so that a test can say anything in it."""
    fhd = {1: 0x20, 2: 0x60, 4: 0xA0, 8: 0xE0}[fcs_bytes]  # single segment, FCS width
    fcs = declared - 256 if fcs_bytes == 2 else declared
    fcs_field = fcs.to_bytes(fcs_bytes, "little")
    block = ((produced << 3) | (1 << 1) | 1).to_bytes(3, "little") + b"\x90"
    return b"\x28\xb5\x2f\xfd" + bytes([fhd]) + fcs_field + block


def forge(path, dictionary, values, *, marked=True):
    """A store of `dictionary` as the first record (unnamed) and `values` under k0, k1...,
    written by the low-level writer, which takes any bytes, and its header marked as the
    package's writer marks a dictionary."""
    w = _VornWriter()
    w.add_object_raw(dictionary)
    for i, v in enumerate(values):
        w.add_key(f"k{i}", w.add_object_raw(v))
    w.build(path)
    if marked:
        Path(path).write_bytes(storefile.mark(Path(path).read_bytes(), dictionary=True))


@pytest.fixture
def dict_record(tmp_path):
    """The first record's payload of a real compressed store."""
    p = tmp_path / "real.vrnl"
    build(p, records(2000), compression="zstd")
    data = p.read_bytes()
    (length,) = struct.unpack_from(">I", data, 40)
    return data[48:48 + length]


def resealed(payload):
    """`payload` with its dictionary checksum made right again."""
    body = payload[:44] + payload[48:]
    return payload[:44] + struct.pack(">I", zlib.crc32(body)) + payload[48:]


@pytest.mark.parametrize("verify", [True, False])
def test_forged_frames(tmp_path, dict_record, verify, capsys):
    longest = struct.unpack_from(">Q", dict_record, 16)[0]
    path = str(tmp_path / "f.vrnl")
    values = [
        bytes([MARKER]) + rlen_frame(10, 10),          # 10 bytes of 0x90: not MessagePack
        bytes([MARKER]) + rlen_frame(10, 100),         # decompresses past its declared size
        bytes([MARKER]) + rlen_frame(100, 10),         # gives fewer bytes than it declares
        bytes([MARKER]) + rlen_frame(2**40, 10, fcs_bytes=8),  # a ratio bomb
        bytes([MARKER]) + rlen_frame(longest + 1, 10),  # longer than any value of the store
        bytes([MARKER]) + rlen_frame(10, 10)[:-2],       # cut short
        bytes([MARKER]),                                  # no frame at all
        msgpack.packb(""),                               # a value stored as it is
    ]
    forge(path, dict_record, values)
    with VornReader(path, verify=verify) as r:
        assert r.stats()["compression"] == "zstd"
        with pytest.raises(vornel.VornDecodeError):
            r["k0"]
        for i in range(1, 7):
            with pytest.raises(VornCorruptError, match=f"key 'k{i}'"):
                r[f"k{i}"]
        with pytest.raises(VornCorruptError, match="more than the store's longest value"):
            r["k4"]
        assert r["k7"] == ""
        with pytest.raises(VornCorruptError, match="key 'k1'"):
            list(r.range(start="k1"))
    # A dictionary that allows any size still meets the most a frame's bytes can give.
    boundless = resealed(dict_record[:16] + struct.pack(">Q", 2**62) + dict_record[24:])
    forge(path, boundless, values[3:4])
    with VornReader(path, verify=verify) as r:
        with pytest.raises(VornCorruptError, match=f"more than its {len(values[3]) - 1} bytes can hold"):
            r["k0"]


@pytest.mark.parametrize("damage, message", [
    (lambda p: p[:9] + b"\x07" + p[10:], "codec 7, which this version cannot read"),
    (lambda p: p[:8] + b"\x02" + p[9:], "version 2"),
    (lambda p: p[:12] + struct.pack(">I", len(p)) + p[16:], "dictionary bytes, its header says"),
    (lambda p: p[:60] + bytes([p[60] ^ 0xFF]) + p[61:], "zstd cannot load it"),
    (lambda p: p[:48] + b"\x00" * 8 + p[56:], "not a zstd dictionary"),
])
@pytest.mark.parametrize("verify", [True, False])
def test_forged_dictionary(tmp_path, dict_record, damage, message, verify):
    """A marked dictionary that cannot be used costs the compressed values alone: they
    raise naming the damage, and so does verify()."""
    path = str(tmp_path / "f.vrnl")
    forge(path, resealed(damage(dict_record)), [msgpack.packb(1), bytes([MARKER]) + rlen_frame(1, 1)])
    with VornReader(path, verify=verify) as r:
        assert r["k0"] == 1
        with pytest.raises(VornCorruptError, match=f"key 'k1'.*{message}"):
            r["k1"]
        with pytest.raises(VornCorruptError, match=message):
            r.verify()


@pytest.mark.parametrize("damage, message", [
    (lambda data: data[:48 + 200] + bytes([data[48 + 200] ^ 1]) + data[48 + 201:],
     "compression dictionary CRC32 mismatch"),
    (lambda data: data[:40] + struct.pack(">I", len(data)) + data[44:], "extends beyond file end"),
    (lambda data: data[:48] + b"NOTADICT" + data[56:], "first record does not hold"),
])
def test_damaged_dictionary(tmp_path, dict_record, damage, message):
    path = tmp_path / "f.vrnl"
    forge(str(path), dict_record, [msgpack.packb(1), bytes([MARKER]) + rlen_frame(1, 1)])
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(VornCorruptError, match="file CRC32 mismatch"):
        VornReader(str(path), verify=True)
    with VornReader(str(path), verify=False) as r:
        assert r["k0"] == 1
        with pytest.raises(VornCorruptError, match=message):
            r["k1"]
        with pytest.raises(VornCorruptError, match="file CRC32 mismatch"):
            r.verify()


def test_a_named_record_is_a_value(tmp_path, dict_record):
    """In a store whose header marks no dictionary, every record is a value, whatever it
    looks like; where the header marks one, a key that names it is damage."""
    path = tmp_path / "f.vrnl"
    w = _VornWriter()
    w.add_key("dict", w.add_object_raw(dict_record))
    w.add_key("k", w.add_object_raw(msgpack.packb("v")))
    w.build(str(path))
    for verify in (True, False):
        with VornReader(path, verify=verify) as r:
            assert r.stats()["compression"] is None and r["k"] == "v"
            assert r.stats()["num_objects"] == 2 and r.verify()
    path.write_bytes(storefile.mark(path.read_bytes(), dictionary=True))
    for verify in (True, False):
        with VornReader(path, verify=verify) as r:
            assert r["k"] == "v"
            with pytest.raises(VornCorruptError, match="a key names the record of the compression"):
                r.verify()


def test_sharded_reads_decompress(tmp_path):
    from vornel.sharded import build_shard, new_version, publish, shard_of

    items = records(600)
    version = new_version(tmp_path / "set")
    routed = {}
    for key, value in items.items():
        routed.setdefault(shard_of(key, 3), []).append((key, value))
    entries = [build_shard(routed[i], version, i, compression="zstd") for i in sorted(routed)]
    publish(tmp_path / "set", version, 3, entries)
    with vornel.open(tmp_path / "set") as r:
        every_read(r, items)
        assert r.verify()


# -- the tool -------------------------------------------------------------------------------

def run(*args, stdin=b""):
    return subprocess.run([VORNEL, *map(str, args)], input=stdin, capture_output=True)


def test_tool_compress(tmp_path):
    lines = b"".join(b'{"key": "k%d", "value": {"text": "the same words again %d"}}\n'
                     % (i, i % 10) for i in range(3000))
    out = tmp_path / "c.vrnl"
    assert run("build", out, "--compress", "zstd:7", stdin=lines).returncode == 0
    assert VornReader(str(out)).stats()["compression"] == "zstd"
    assert run("get", out, "k12").stdout == b'{"text": "the same words again 2"}\n'
    assert b"compression        zstd" in run("stats", out).stdout
    for bad in ("lz4", "zstd:x"):
        result = run("build", tmp_path / "d.vrnl", "--compress", bad, stdin=lines)
        assert result.returncode == 2 and b"--compress" in result.stderr
