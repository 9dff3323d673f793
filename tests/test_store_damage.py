"""The package's reader over stores that are damaged, forged or cut under it: right
answers or a VornError, never a crash, never another key's value, never a key that the
index section does not hold. Grouped by what the reader promises."""

import os
import random
import struct
import subprocess
import sys
import time
import zlib

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import storefile
import vornel
from _vornel import _VornReader, _VornWriter
from vornel import VornCorruptError, VornError, VornIOError, VornReader

TRAILER = 104  # bytes that end the key table's record


def index_offset_of(blob):
    return struct.unpack(">Q", blob[16:24])[0]


def records(blob):
    """The payloads of the data section, in file order."""
    pos, end, out = 40, index_offset_of(blob), []
    while pos < end:
        (n,) = struct.unpack(">I", blob[pos:pos + 4])
        out.append(blob[pos + 8:pos + 8 + n])
        pos += 8 + n
    return out


def entries(blob):
    """(position in the section, key, record offset) of every index entry."""
    pos, start, out = index_offset_of(blob), index_offset_of(blob), []
    while pos < len(blob):
        (n,) = struct.unpack(">H", blob[pos:pos + 2])
        key = blob[pos + 2:pos + 2 + n]
        out.append((pos - start, key, struct.unpack(">Q", blob[pos + 2 + n:pos + 10 + n])[0]))
        pos += 10 + n
    return out


class Table:
    """Where a store's key table lies, from its trailer."""

    def __init__(self, blob):
        self.index_offset = index_offset_of(blob)
        t = self.index_offset - TRAILER
        payload_length, = struct.unpack(">Q", blob[t + 16:t + 24])
        self.payload = self.index_offset - payload_length
        self.ranks = self.payload + struct.unpack(">Q", blob[t + 56:t + 64])[0]
        self.sample = self.payload + struct.unpack(">Q", blob[t + 64:t + 72])[0]
        self.trailer = t

    def reseal(self, blob):
        """Every checksum made right again: the trailer's, the table record's, the file's."""
        blob = bytearray(blob)
        struct.pack_into(">I", blob, self.trailer + 100, zlib.crc32(blob[self.trailer:self.trailer + 100]))
        struct.pack_into(">I", blob, self.payload - 4, zlib.crc32(blob[self.payload:self.index_offset]))
        return storefile.recrc(bytes(blob))


def build(path, items):
    vornel.build(path, items)
    return path.read_bytes()


def decoded(key):
    return key.decode() if isinstance(key, bytes) else key


def reseal_record(blob, at):
    """The checksum of the record at `at` made right, then the file's."""
    blob = bytearray(blob)
    (n,) = struct.unpack(">I", blob[at:at + 4])
    struct.pack_into(">I", blob, at + 4, zlib.crc32(blob[at + 8:at + 8 + n]))
    return storefile.recrc(bytes(blob))


class TestTableOrValue:
    def test_a_record_that_a_key_names_is_a_value_never_a_table(self, tmp_path):
        # The package's store, rewritten by _VornWriter with its last key bound to the
        # table's bytes: a valid store whose last value ends in a table-shaped trailer.
        items = {f"k{i:02d}": i for i in range(40)}
        blob = build(tmp_path / "a.vrnl", items)
        payloads = records(blob)
        keys = [key for _, key, _ in entries(blob)]
        w = _VornWriter()
        ids = [w.add_object_raw(p) for p in payloads]
        for i, key in enumerate(keys[:-1]):
            w.add_key(key, ids[i])
        w.add_key(keys[-1], ids[-1])
        path = tmp_path / "named.vrnl"
        w.build(str(path))
        raw = _VornReader(str(path))
        assert raw.verify() and raw.get_raw(keys[-1]) == payloads[-1]
        for verify in (True, False):  # unmarked: the default open never looks for a table
            with VornReader(path, verify=verify) as r:
                assert r.stats()["key_table"] == "absent"
                assert r.stats()["num_objects"] == raw.stats()["num_objects"] == len(payloads)
                assert r.verify()
                assert list(r) == [k.decode() for k, _ in raw.items_raw_bytes()]
                assert {k: r[k] for k in list(items)[:-1]} == dict(list(items.items())[:-1])
        out = subprocess.run([sys.executable, "-m", "vornel", "verify", str(path)],
                             capture_output=True, text=True)
        assert (out.returncode, out.stdout.strip()) == (0, "OK"), out.stderr

    def test_another_stores_table_that_a_key_names_counts_as_a_value(self, tmp_path):
        # The last object of a _VornWriter store is the key table of another store: its
        # trailer frames the record but names the other store, and a key names it.
        table = records(build(tmp_path / "other.vrnl", {"x": 1, "y": 2}))[-1]
        w = _VornWriter()
        w.add_key("a", w.add_object_raw(msgpack.packb("first")))
        w.add_key("b", w.add_object_raw(table))
        path = tmp_path / "s.vrnl"
        w.build(str(path))
        with VornReader(path, verify=True) as r:
            assert r.stats()["key_table"] == "absent"
            assert r.stats()["num_objects"] == _VornReader(str(path)).stats()["num_objects"] == 2
            assert r.verify() and r.raw.get_raw("b") == table

    @pytest.mark.parametrize("forge", ["swap two ranks", "empty every slot", "break the record"])
    def test_a_damaged_table_leaves_a_checked_open_to_the_index(self, tmp_path, forge):
        items = {f"key{i:03d}": [i] for i in range(300)}
        blob = build(tmp_path / "s.vrnl", items)
        t = Table(blob)
        bad = bytearray(blob)
        if forge == "swap two ranks":
            bad[t.ranks + 4:t.ranks + 12] = bad[t.ranks + 8:t.ranks + 12] + bad[t.ranks + 4:t.ranks + 8]
            bad = t.reseal(bad)
            note = "it disagrees with the index section"
        elif forge == "empty every slot":
            bad[t.payload:t.ranks] = bytes(t.ranks - t.payload)
            bad = t.reseal(bad)
            note = "it disagrees with the index section"
        else:
            bad[t.payload + 5] ^= 1
            bad = storefile.recrc(bytes(bad))
            note = "its record fails its checksum"
        path = tmp_path / "forged.vrnl"
        path.write_bytes(bytes(bad))
        with VornReader(path, verify=True) as r:
            assert r.stats()["key_table"] == "ignored: " + note
            assert r.stats()["num_objects"] == len(items)
            assert dict(r.items()) == items and all(k in r for k in items)
            with pytest.raises(VornCorruptError, match="key table"):
                r.verify()


class TestReadsAreChecked:
    ACCESS = {
        "subscript": lambda r, k: r[k],
        "get": lambda r, k: r.get(k),
        "get_many": lambda r, k: r.get_many(["a", k]),
        "values": lambda r, k: list(r.values()),
        "items": lambda r, k: list(r.items()),
        "prefix": lambda r, k: list(r.prefix(k[:1])),
        "range": lambda r, k: list(r.range(k)),
        "reversed items": lambda r, k: list(r.range(reverse=True)),
    }

    @pytest.mark.parametrize("access", ACCESS)
    @pytest.mark.parametrize("resealed", [False, True], ids=["file crc stale", "file crc right"])
    @pytest.mark.parametrize("table", [True, False], ids=["table", "memory"])
    def test_a_damaged_value_raises_naming_its_key(self, tmp_path, access, resealed, table):
        items = {"a": "first", "bad": "x" * 50, "c": "last"}
        blob = bytearray(build(tmp_path / "s.vrnl", items))
        at = blob.index(msgpack.packb("x" * 50))
        blob[at + 10] ^= 0x01
        if not table:
            t = Table(bytes(blob))
            blob[t.trailer + 74] ^= 0xFF  # the trailer's checksum fails: no table
        blob = storefile.recrc(bytes(blob)) if resealed else bytes(blob)
        path = tmp_path / "damaged.vrnl"
        path.write_bytes(blob)
        with VornReader(path) as r:  # the default open reads none of it
            assert r["a"] == "first" and r.stats()["key_table"].startswith("in use" if table else "ignored")
            with pytest.raises(VornCorruptError, match=r"the value of key 'bad' is damaged"):
                self.ACCESS[access](r, "bad")
            assert list(r) == list(items)  # keys alone read no value
        if not resealed:
            with pytest.raises(VornCorruptError, match="file CRC32 mismatch"):
                VornReader(path, verify=True)


def forged_rank_into_a_key(tmp_path):
    """A store whose key table sends one rank into the bytes of a key, where they read as
    an entry of the key 'fake' naming the record of 'secret', every checksum made right.
    Returns its path and its pairs."""
    path = tmp_path / "s.vrnl"
    items = {"secret": "SECRET", "public": "public"}
    vornel.build(path, items)
    secret = next(off for _, key, off in entries(path.read_bytes()) if key == b"secret")
    fake = b"\x00\x04fake" + struct.pack(">Q", secret)
    items[(b"z" + fake).decode()] = "zz"
    blob = build(path, items)
    t = Table(blob)
    pos = next(p for p, key, _ in entries(blob) if key.startswith(b"z"))
    forged = bytearray(blob)
    struct.pack_into(">I", forged, t.ranks + 4 * 1, pos + 2 + 1)  # rank 1: the fake entry
    path.write_bytes(t.reseal(bytes(forged)))
    return path, items


class TestListingsAreChecked:
    def test_a_rank_into_a_key_never_lists_a_key_that_is_not_there(self, tmp_path):
        path, items = forged_rank_into_a_key(tmp_path)
        with VornReader(path) as r:
            assert r.stats()["key_table"] == "in use"
            for listing in (list, lambda r: list(r.items()), lambda r: list(r.values()),
                            lambda r: list(r.range("p")), lambda r: list(r.prefix("s")),
                            lambda r: list(r.range(reverse=True))):
                with pytest.raises(VornCorruptError, match="key table"):
                    listing(r)
            assert r["secret"] == "SECRET" and "fake" not in r
            with pytest.raises(VornCorruptError, match="key table"):
                r.verify()
        with VornReader(path, verify=True) as r:
            assert r.stats()["key_table"] == "ignored: it disagrees with the index section"
            assert dict(r.items()) == items

    @settings(max_examples=150, deadline=None)
    @given(st.data())
    def test_a_flipped_bit_in_the_table_never_misleads_a_listing(self, tmp_path_factory, data):
        tmp = tmp_path_factory.mktemp("flip")
        items = {f"{c}{i:03d}": i for c in "abc" for i in range(40)}
        blob = build(tmp / "s.vrnl", items)
        t = Table(blob)
        bit = data.draw(st.integers(0, 8 * (t.trailer - t.payload) - 1))
        bad = bytearray(blob)
        bad[t.payload + bit // 8] ^= 1 << (bit % 8)
        (tmp / "s.vrnl").write_bytes(t.reseal(bytes(bad)))
        with VornReader(tmp / "s.vrnl") as r:
            for listing, want in ((lambda: list(r), list(items)),
                                  (lambda: list(r.items()), list(items.items())),
                                  (lambda: list(r.prefix("b")), [(k, v) for k, v in items.items() if k[0] == "b"]),
                                  (lambda: list(r.range("b0", "c", reverse=True)),
                                   [(k, v) for k, v in reversed(items.items()) if k[0] == "b"])):
                try:
                    assert listing() == want
                except VornCorruptError:
                    pass
            for k, v in items.items():
                assert r.get(k, "missed") in (v, "missed")  # a forged table may miss, never mislead


class TestCutUnderAReader:
    @pytest.mark.parametrize("cut", [1, 9, 300, 4096 + 17], ids=lambda n: f"{n} bytes")
    @pytest.mark.parametrize("table", [True, False], ids=["table", "memory"])
    def test_a_cut_gives_right_answers_or_an_io_error(self, tmp_path, cut, table):
        items = {f"k{i:05d}": "v" * (i % 7) for i in range(2000)}
        blob = bytearray(build(tmp_path / "s.vrnl", items))
        if not table:
            blob[Table(bytes(blob)).trailer + 74] ^= 0xFF
            blob = bytearray(storefile.recrc(bytes(blob)))
        path = tmp_path / "s.vrnl"
        path.write_bytes(bytes(blob))
        with VornReader(path) as r:
            os.truncate(path, len(blob) - cut)
            for query, want in ((lambda: list(r), list(items)),
                                (lambda: list(r.items()), list(items.items())),
                                (lambda: [r[k] for k in items], list(items.values())),
                                (lambda: [k in r for k in items], [True] * len(items)),
                                (lambda: list(r.prefix("k019")), [(k, v) for k, v in items.items()
                                                                  if k.startswith("k019")])):
                try:
                    assert query() == want
                except VornIOError as e:
                    assert "store file changed while mapped" in str(e)


class TestHeaderAgreesWithSections:
    @pytest.mark.parametrize("index_offset", [0, 20, 39, 10**6], ids=str)
    def test_an_index_offset_outside_the_sections_fails_every_package_open(self, tmp_path,
                                                                          index_offset):
        blob = bytearray(build(tmp_path / "s.vrnl", {"a": 1, "b": 2}))
        struct.pack_into(">Q", blob, 16, index_offset)
        path = tmp_path / "s.vrnl"
        path.write_bytes(bytes(blob))
        for verify in (False, True):
            # Past the end, the header promises more than the file holds: a cut file.
            message = f"index_offset {index_offset} lies outside|truncated: {len(blob)} bytes"
            with pytest.raises(VornCorruptError, match=message):
                VornReader(path, verify)

    @pytest.mark.parametrize("lost", [1, 2, "all"])
    @pytest.mark.parametrize("table", [True, False], ids=["table", "memory"])
    def test_a_store_that_lost_keys_never_verifies(self, tmp_path, lost, table):
        items = {f"k{i}": i for i in range(10)}
        blob = bytearray(build(tmp_path / "s.vrnl", items))
        if not table:
            blob[Table(bytes(blob)).trailer + 74] ^= 0xFF
            blob = bytearray(storefile.recrc(bytes(blob)))
        struct.pack_into(">I", blob, 8, 0 if lost == "all" else len(items) - lost)
        path = tmp_path / "s.vrnl"
        path.write_bytes(bytes(blob))  # the header is under no checksum
        message = "the index entries end at offset"
        with pytest.raises(RuntimeError, match=message):
            _VornReader(str(path)).verify()
        with pytest.raises(VornCorruptError, match=message):
            VornReader(path, verify=True)
        with VornReader(path) as r:
            with pytest.raises(VornCorruptError):
                r.verify()

    def test_keys_out_of_order_fail_the_package_verify(self, tmp_path):
        data, index, offsets = storefile.encode_sections([b"\x01", b"\x02"], [])
        index = storefile.entry("b", offsets[0]) + storefile.entry("a", offsets[1])
        path = tmp_path / "s.vrnl"
        path.write_bytes(storefile.raw_store(data, index, 2, num_objects=2))
        assert _VornReader(str(path)).verify()  # its listing follows the file, as it always has
        with VornReader(path) as r:
            assert r["a"] == 2 and r["b"] == 1
            with pytest.raises(VornCorruptError, match="index entry 1 is not above"):
                r.verify()
            with pytest.raises(VornCorruptError, match="not above"):
                list(r)
        with pytest.raises(VornCorruptError, match="index entry 1 is not above"):
            VornReader(path, verify=True)

    def test_the_header_count_of_objects_is_checked(self, tmp_path):
        blob = bytearray(build(tmp_path / "s.vrnl", {"a": 1, "b": 2}))
        struct.pack_into(">I", blob, 12, 7)
        path = tmp_path / "s.vrnl"
        path.write_bytes(bytes(blob))
        with pytest.raises(VornCorruptError, match="the header counts 7 objects, the data section holds 3"):
            VornReader(path).verify()


class TestMarks:
    """The header's marks: only a store whose marks hold has records of the package's own.
    Damaged marks cost the table and are reported, and never give a wrong answer."""

    @pytest.mark.parametrize("at", [5, 6, 7, 36, 39])
    @pytest.mark.parametrize("compression", [None, "zstd"])
    def test_damaged_marks_are_reported_never_misread(self, tmp_path, at, compression):
        items = {f"k{i:03d}": f"value {i % 7} " * (1 + i % 5) for i in range(300)}
        path = tmp_path / "s.vrnl"
        w = vornel.VornWriter(compression=compression)
        w.update(items)
        w.build(path)
        blob = bytearray(path.read_bytes())
        blob[at] ^= 0x10
        path.write_bytes(bytes(blob))
        assert _VornReader(str(path)).verify()
        for verify in (True, False):
            with VornReader(path, verify=verify) as r:
                assert r.stats()["key_table"] == "ignored: the header's marks fail their checksum"
                for key, value in items.items():
                    try:
                        assert r[key] == value
                    except VornCorruptError as e:  # a compressed value, without its dictionary
                        assert compression and "marks (bytes 5 to 7) fail their checksum" in str(e)
                assert list(r) == list(items)
                with pytest.raises(VornCorruptError, match=r"marks \(bytes 5 to 7\) fail their checksum"):
                    r.verify()

    @pytest.mark.parametrize("at, value", [(5, 2), (6, 2), (7, 2), (7, 0x81)])
    def test_marks_this_version_lacks_refuse_rather_than_misread(self, tmp_path, at, value):
        path = tmp_path / "s.vrnl"
        vornel.build(path, {"a": 1})
        blob = bytearray(path.read_bytes())
        blob[at] = value
        path.write_bytes(storefile.reseal_marks(bytes(blob)))
        assert _VornReader(str(path)).verify()
        message = f"unsupported store layout: header byte {at} is {value}"
        with pytest.raises(vornel.VornVersionError, match=message):
            VornReader(path)
        w = vornel.VornWriter()
        with pytest.raises(vornel.VornVersionError, match=message):
            w.include(path)
            w.build(tmp_path / "out.vrnl")

    @pytest.mark.parametrize("table", [True, False], ids=["table", "memory"])
    def test_a_repeated_key_fails_a_checked_open_and_verify(self, tmp_path, table):
        blob = build(tmp_path / "s.vrnl", {f"key{i:02d}": i for i in range(16)})
        if not table:
            blob = storefile.mark(blob)  # unmarked: the keys are indexed in memory
        path = tmp_path / "repeated.vrnl"
        path.write_bytes(storefile.recrc(blob.replace(b"key02", b"key03", 1)))
        with pytest.raises(VornCorruptError, match="index entry 3 is not above the key before it"):
            VornReader(path, verify=True)
        with VornReader(path) as r:
            with pytest.raises(VornCorruptError, match="key table disagrees" if table else "index entry 3"):
                r.verify()

    def test_a_prefix_range_that_crosses_itself_is_damage(self, tmp_path):
        # Keys out of order in the section, and the table's sample forged to match none:
        # the bounds of "b" are each confirmed where they land, the end before the start.
        order = [b"cyy", b"axy", b"ayx", b"cxx", b"dyy", b"byx", b"byy", b"ayy", b"cxy",
                 b"cyx", b"axx", b"dxx", b"dxy", b"dyx", b"bxy"]
        blob = bytearray(build(tmp_path / "s.vrnl", {k.decode(): 0 for k in order}))
        start = index_offset_of(bytes(blob))
        for (pos, _, _), key in zip(entries(bytes(blob)), order):
            blob[start + pos + 2:start + pos + 5] = key
        t = Table(bytes(blob))
        blob[t.sample:t.sample + 8] = b"b" + bytes(7)
        path = tmp_path / "crossed.vrnl"
        path.write_bytes(t.reseal(bytes(blob)))
        with VornReader(path) as r:
            assert r.stats()["key_table"] == "in use"
            with pytest.raises(VornCorruptError, match="ends at rank 3, before it starts at rank 8"):
                list(r.prefix_keys("b"))


# ---- A mutation loop against a model of the written pairs --------------------------------

MUTATION_SECONDS = float(os.environ.get("VORNEL_MUTATION_SECONDS", "8"))


def mutate(rng, blob):
    """One random change at one place: a flipped bit, a run of bytes, a cut, or a header
    field; then, as often as not, every checksum that the change broke made right again."""
    blob = bytearray(blob)
    what = rng.choice(["flip", "run", "cut", "header"])
    if what == "flip":
        blob[rng.randrange(40, len(blob))] ^= 1 << rng.randrange(8)
    elif what == "run":
        at = rng.randrange(40, len(blob))
        blob[at:at + 8] = bytes(rng.getrandbits(8) for _ in range(8))
    elif what == "cut":
        del blob[rng.randrange(40, len(blob)):]
    else:
        field, width = rng.choice([(5, 1), (6, 1), (7, 1), (8, 4), (12, 4), (16, 8), (36, 4)])
        value = int.from_bytes(blob[field:field + width], "big")
        value = rng.choice([0, value + 1, value - 1, value ^ (1 << rng.randrange(8 * width)), 20])
        blob[field:field + width] = (value % (1 << 8 * width)).to_bytes(width, "big")
    if rng.random() < 0.5:
        try:
            t = Table(bytes(blob))
            if 40 <= t.payload < t.index_offset <= len(blob):
                blob = bytearray(t.reseal(bytes(blob)))
        except struct.error:
            pass
        pos = 40
        while pos + 8 <= min(index_offset_of(blob), len(blob)):
            (n,) = struct.unpack(">I", blob[pos:pos + 4])
            if pos + 8 + n > len(blob):
                break
            struct.pack_into(">I", blob, pos + 4, zlib.crc32(blob[pos + 8:pos + 8 + n]))
            pos += 8 + n
        blob = bytearray(storefile.recrc(bytes(blob)))
    return bytes(blob)


def truth(blob):
    """What the index section says, parsed here as the format defines it: its keys in
    order, each with the record offsets of its entries; None where it does not parse."""
    if len(blob) < 40:
        return None
    num_keys, = struct.unpack(">I", blob[8:12])
    pos, section = index_offset_of(blob), []
    for _ in range(num_keys):
        if pos + 2 > len(blob):
            return None
        (n,) = struct.unpack(">H", blob[pos:pos + 2])
        if pos + 10 + n > len(blob):
            return None
        section.append((blob[pos + 2:pos + 2 + n], struct.unpack(">Q", blob[pos + 2 + n:pos + 10 + n])[0]))
        pos += 10 + n
    return section


def value_at(blob, off):
    """The value of the record at `off`, when it lies in the file and passes its checksum."""
    if off + 8 > len(blob):
        return None
    n, crc = struct.unpack(">II", blob[off:off + 8])
    payload = blob[off + 8:off + 8 + n]
    if len(payload) != n or zlib.crc32(payload) != crc:
        return None
    try:
        return (msgpack.unpackb(payload, strict_map_key=False),)
    except Exception:
        return None


def check_answers(r, model, original, blob, checked):
    """Every answer of `r` against what the file holds: a value only ever the record that
    an entry of its key names, a listing only ever the index section's keys in its order.
    The section may be read from its start (as the plain reader does) or at the entries'
    own positions (as the key table does): where damage has broken one reading, the other
    still names intact entries."""
    section = truth(blob)
    offsets = {}
    for key, off in section or ():
        offsets.setdefault(key, []).append(off)
    start = index_offset_of(original)
    for pos, key, _ in entries(original):
        at = start + pos + 2 + len(key)
        if blob[start + pos + 2:at] == key and len(blob) >= at + 8 and \
                blob[start + pos:start + pos + 2] == original[start + pos:start + pos + 2]:
            offsets.setdefault(key, []).append(struct.unpack(">Q", blob[at:at + 8])[0])

    def own(key, value):
        key_bytes = key.encode() if isinstance(key, str) else key
        return any(value_at(blob, off) == (value,) for off in offsets.get(key_bytes, ()))

    in_use = r.stats()["key_table"] == "in use"
    for key in list(model)[:60]:
        try:
            value = r.get(key, "missed")
        except VornError:
            continue
        if value == "missed":
            # Only a table taken on its identity misses a key that the section holds.
            assert section is None or key.encode() not in dict(section) or (in_use and not checked)
        else:
            assert own(key, value), (key, value)
    try:
        listed = list(r.items())
    except VornError:
        return
    if section is not None:
        assert [k.encode() if isinstance(k, str) else k for k, _ in listed] == [k for k, _ in section]
    for key, value in listed:
        assert own(key, value), (key, value)


@pytest.mark.parametrize("table", [True, False], ids=["table", "memory"])
def test_mutated_stores_give_right_answers_or_a_vorn_error(tmp_path, table):
    rng = random.Random(2026 + table)
    model = {f"{rng.choice('abc')}{i:04d}": rng.choice([i, f"v{i}", [i, {"n": i}], b"\x00" * (i % 5)])
             for i in range(120)}
    model = dict(sorted(model.items()))
    blob = bytearray(build(tmp_path / "s.vrnl", model))
    if not table:
        blob[Table(bytes(blob)).trailer + 74] ^= 0xFF
        blob = bytearray(storefile.recrc(bytes(blob)))
    path = tmp_path / "m.vrnl"
    deadline = time.monotonic() + MUTATION_SECONDS
    mutants = 0
    while time.monotonic() < deadline:
        mutant = mutate(rng, bytes(blob))
        path.write_bytes(mutant)
        for verify in (False, True):
            try:
                r = VornReader(path, verify)
            except VornError:
                continue
            with r:
                check_answers(r, model, bytes(blob), mutant, verify)
                try:
                    r.verify()
                except VornError:
                    continue
                # What verify() vouches for lists exactly as the plain reader does.
                assert [k for k, _ in _VornReader(str(path)).items_raw_bytes()] == [
                    k.encode() if isinstance(k, str) else k for k in r]
        mutants += 1
    assert mutants > 20
