"""Opening a store: every validation failure with its exact text and in its order,
resource release on every path, and what the index keeps of odd but legal files."""

import errno
import os
import struct
import subprocess
import sys
import zlib

import pytest

import _vornel
from storefile import HEADER_SIZE, encode_store, entry, header, raw_store, record, recrc

Reader = _vornel._VornReader

OBJECTS = [b"hi", b"", b"xyz"]
BINDINGS = [("a", 0), ("ab", 1), ("b", 2), ("c", 0)]
VALID = encode_store(OBJECTS, BINDINGS)
INDEX_OFFSET = HEADER_SIZE + sum(8 + len(o) for o in OBJECTS)


def put(tmp_path, blob, name="s.vrnl"):
    path = tmp_path / name
    path.write_bytes(blob)
    return str(path)


def corrupt(message):
    return f"VornCorruptError: {message}"


def crc_mismatch(blob):
    stored = struct.unpack_from(">I", blob, 32)[0]
    computed = zlib.crc32(blob[HEADER_SIZE:])
    return corrupt(f"file CRC32 mismatch  stored=0x{stored:08x}  computed=0x{computed:08x}")


def with_header(blob, **fields):
    """`blob` with header fields replaced (num_keys, version, magic, index_offset, file_crc32)."""
    magic, version, num_keys, num_objects, index_offset, data_offset, crc = struct.unpack_from(
        ">4sB3xIIQQI4x", blob)
    values = dict(magic=magic, version=version, num_keys=num_keys, num_objects=num_objects,
                  index_offset=index_offset, data_offset=data_offset, file_crc32=crc)
    values.update(fields)
    return header(values.pop("num_keys"), values.pop("num_objects"), values.pop("index_offset"),
                  values.pop("file_crc32"), **values) + blob[HEADER_SIZE:]


def open_error(path, verify=True):
    with pytest.raises(BaseException) as info:
        Reader(path, verify)
    return info.value


def test_missing_path_is_a_plain_oserror(tmp_path):
    path = str(tmp_path / "missing.vrnl")
    err = open_error(path)
    assert type(err) is OSError and err.errno is None
    assert err.args == (f"VornIOError: cannot open {path}: {os.strerror(2)} (os error 2)",)


def test_nul_in_path_is_refused_before_the_system_sees_it(tmp_path, monkeypatch):
    # A system call would stop at the NUL and open the valid file "s.vrnl".
    put(tmp_path, VALID)
    monkeypatch.chdir(tmp_path)
    err = open_error("s.vrnl\0junk")
    assert type(err) is OSError
    assert err.args == ("VornIOError: cannot open s.vrnl\0junk: "
                        "file name contained an unexpected NUL byte",)


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_unmappable_files_fail_at_the_mapping(tmp_path, kind):
    path = tmp_path / kind
    if kind == "directory":
        path.mkdir()
    else:
        os.mkfifo(path)
    # In a child process, so that a reader blocking on a FIFO shows as a timeout.
    code = (f"import _vornel\ntry:\n    _vornel._VornReader({str(path)!r})\n"
            f"except OSError as e:\n    print(e)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_vornel.__file__))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    enodev = errno.ENODEV
    assert done.stdout == f"VornIOError: mmap failed: {os.strerror(enodev)} (os error {enodev})\n"


@pytest.mark.parametrize("blob, verify, message", [
    (b"", True, "file too small for header"),
    (VALID[:39], False, "file too small for header"),
    (b"\0" * 40, True, "bad magic [0, 0, 0, 0]"),
    (with_header(VALID, magic=b"VRNX"), True, "bad magic [86, 82, 78, 88]"),
    # Each check runs before the next, so a later fault never hides an earlier one.
    (with_header(VALID, magic=b"\xffRNL", version=3, file_crc32=1), True,
     "bad magic [255, 82, 78, 76]"),
    (with_header(VALID, num_keys=9, file_crc32=7), True,
     "file CRC32 mismatch  stored=0x00000007  computed=" + f"0x{zlib.crc32(VALID[40:]):08x}"),
    (with_header(VALID, num_keys=9, file_crc32=7), False, "index section truncated (key_len)"),
])
def test_header_checks_in_order(tmp_path, blob, verify, message):
    err = open_error(put(tmp_path, blob), verify)
    assert type(err) is RuntimeError and err.args == (corrupt(message),)


@pytest.mark.parametrize("version", [0, 1, 3, 255])
def test_other_versions_are_refused(tmp_path, version):
    # Checked before the whole-file checksum, which this header also breaks.
    blob = with_header(VALID, version=version, file_crc32=0)
    err = open_error(put(tmp_path, blob))
    assert type(err) is RuntimeError
    assert err.args == (f"VornVersionError: unsupported version {version}",)


@pytest.mark.parametrize("pos", range(HEADER_SIZE, len(VALID)))
def test_any_damaged_byte_after_the_header_fails_the_checksum(tmp_path, pos):
    blob = bytearray(VALID)
    blob[pos] ^= 0x20
    blob = bytes(blob)
    path = put(tmp_path, blob)
    assert open_error(path).args == (crc_mismatch(blob),)
    # Unverified, the same file opens whenever its index still parses.
    if pos < INDEX_OFFSET:
        assert Reader(path, verify=False).keys() == ["a", "ab", "b", "c"]


def test_damaged_stored_checksum_opens_unverified(tmp_path):
    blob = with_header(VALID, file_crc32=0xDEADBEEF)
    assert open_error(put(tmp_path, blob)).args == (crc_mismatch(blob),)
    reader = Reader(put(tmp_path, blob), verify=False)
    assert reader.stats()["file_crc32"] == "0xdeadbeef"
    assert reader.get_raw("ab") == b""


def entry_starts(blob):
    _, _, num_keys, _, pos, _, _ = struct.unpack_from(">4sB3xIIQQI4x", blob)
    starts = []
    for _ in range(num_keys):
        starts.append(pos)
        pos += 2 + struct.unpack_from(">H", blob, pos)[0] + 8
    return starts


@pytest.mark.parametrize("verify", [True, False])
def test_every_truncated_prefix(tmp_path, verify):
    starts = entry_starts(VALID)
    for n in range(len(VALID)):
        blob = VALID[:n]
        err = open_error(put(tmp_path, blob), verify)
        if n < HEADER_SIZE:
            expected = corrupt("file too small for header")
        elif verify:
            expected = crc_mismatch(blob)
        else:
            cut = max([s for s in starts if s <= n] or [starts[0]])
            part = "key_len" if n < cut + 2 else "key + offset"
            expected = corrupt(f"index section truncated ({part})")
        assert err.args == (expected,), n


def test_large_index_cut_anywhere(tmp_path):
    # An index section of several hundred KiB, read in steps: entries of every key length
    # up to the largest straddle the steps, and a cut anywhere names the field it hits.
    keys = [f"{i:06d}".encode() * (1 + i % 9) for i in range(12000)]
    keys.append(b"L" * 0xFFFF)  # the longest key a store holds
    big = encode_store([b"v"], [(k, 0) for k in keys])
    starts = entry_starts(big)
    index_offset = starts[0]
    full = Reader(put(tmp_path, big, "full.vrnl"), False)
    assert [full.get_raw(k) for k in keys[::97]] == [b"v"] * len(keys[::97])
    assert full.get_raw(keys[-1]) == b"v" and full.stats()["num_keys"] == len(keys)
    del full
    step = 1 << 18
    cuts = {len(big) - 1, len(big) - 8, index_offset + 1, starts[-1] + 1, starts[-1] + 3}
    for k in range(1, (len(big) - index_offset) // step + 1):
        cuts.update(index_offset + k * step + d for d in (-3, -1, 0, 1, 2, 9))
    for n in sorted(c for c in cuts if index_offset < c < len(big)):
        cut = max(s for s in starts if s <= n)
        part = "key_len" if n < cut + 2 else "key + offset"
        err = open_error(put(tmp_path, big[:n]), verify=False)
        assert err.args == (corrupt(f"index section truncated ({part})"),), n


@pytest.mark.parametrize("index, num_keys, message", [
    # One entry more than present, the index ending exactly at the end of the file.
    (entry("a", 40) + entry("b", 40), 3, "key_len"),
    # One byte of a length field.
    (entry("a", 40) + b"\x00", 2, "key_len"),
    # The last entry's offset cut short.
    (entry("a", 40) + entry("b", 40)[:-1], 2, "key + offset"),
    # A key length running far past the end.
    (b"\xff\xff" + b"k" * 20, 1, "key + offset"),
    # Two 10-byte entries of the empty key: a 60-byte file claiming 2^32 - 1 entries.
    (entry("", 40) * 2, 0xFFFFFFFF, "key_len"),
])
def test_index_truncation(tmp_path, index, num_keys, message):
    blob = raw_store(b"", index, num_keys)
    err = open_error(put(tmp_path, blob))
    assert err.args == (corrupt(f"index section truncated ({message})"),)


@pytest.mark.parametrize("index_offset", [2**64 - 1, 2**64 - 2, 2**64 - 10, 61, 10**15])
def test_absurd_index_offset(tmp_path, index_offset):
    blob = raw_store(record(b"x"), entry("k", 40), 1, index_offset=index_offset)
    assert open_error(put(tmp_path, blob)).args == (corrupt("index section truncated (key_len)"),)
    # With no keys the index section is never read, wherever it claims to be.
    empty = Reader(put(tmp_path, raw_store(b"", b"", 0, index_offset=index_offset), "e.vrnl"))
    assert empty.keys() == [] and empty.stats()["index_offset"] == index_offset


def test_huge_key_count_allocates_nothing_large(tmp_path):
    # Under an address-space limit of a few hundred MiB, pre-sizing for the claimed
    # 2^32 - 1 entries would fail; bounding it by the file keeps the exact error.
    path = put(tmp_path, raw_store(b"", entry("", 40) * 2, 0xFFFFFFFF))
    code = (
        "import resource, _vornel\n"
        "soft, hard = resource.getrlimit(resource.RLIMIT_AS)\n"
        "used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))\n"
        f"try:\n    _vornel._VornReader({path!r})\nexcept RuntimeError as e:\n    print(e)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_vornel.__file__))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.stdout == corrupt("index section truncated (key_len)") + "\n", done.stderr


def test_odd_but_legal_files(tmp_path):
    # Bytes after the last entry are ignored; the empty key is a key; a repeated key
    # is listed twice and found at its last entry.
    objects = record(b"first") + record(b"second")
    index = entry("", 53) + entry("k", 40) + entry("k", 53)
    blob = raw_store(objects, index + b"trailing junk", 3, num_objects=2)
    reader = Reader(put(tmp_path, blob))
    assert reader.keys() == ["", "k", "k"]
    assert reader.items_raw_bytes() == [(b"", b"second"), (b"k", b"first"), (b"k", b"second")]
    assert reader.get_raw("k") == b"second" and reader.get_raw(b"") == b"second"
    assert reader.objects_raw() == [b"second", b"first"]


def test_smallest_store(tmp_path):
    reader = Reader(put(tmp_path, raw_store(b"", b"", 0)))
    assert reader.keys() == [] and reader.verify() is True


def mapped_paths():
    with open("/proc/self/maps") as maps:
        return [line.split()[-1] for line in maps if len(line.split()) >= 6]


def test_failures_release_the_mapping_and_the_descriptor(tmp_path):
    fds = set(os.listdir("/proc/self/fd"))
    bad = [with_header(VALID, magic=b"XXXX"), with_header(VALID, version=9),
           with_header(VALID, num_keys=5, file_crc32=1), recrc(VALID[:-3]), VALID[:20]]
    for i, blob in enumerate(bad):
        path = put(tmp_path, blob, f"bad{i}.vrnl")
        for verify in (True, False):
            with pytest.raises(RuntimeError):
                Reader(path, verify)
        assert path not in mapped_paths()
    good = put(tmp_path, VALID)
    reader = Reader(good)
    assert mapped_paths().count(good) == 1
    assert set(os.listdir("/proc/self/fd")) == fds
    del reader
    assert good not in mapped_paths()


def test_reader_keeps_its_file_after_the_path_is_replaced(tmp_path):
    path = put(tmp_path, VALID)
    reader = Reader(path)
    writer = _vornel._VornWriter()
    writer.add_key("a", writer.add_object_raw(b"new"))
    writer.build(path)
    assert Reader(path).items_raw() == [("a", b"new")]
    assert reader.items_raw() == [("a", b"hi"), ("ab", b""), ("b", b"xyz"), ("c", b"hi")]
    os.unlink(path)
    assert reader.get_raw("b") == b"xyz" and reader.verify() is True
