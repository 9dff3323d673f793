"""stats(), the representation and the context-manager methods of a reader."""

import pytest

import _vornel
from storefile import HEADER_SIZE, encode_store, raw_store

Reader = _vornel._VornReader

OBJECTS = [b"one", b"", b"three"]
BLOB = encode_store(OBJECTS, [("a", 0), ("b", 2), ("c", 2)])


def test_stats_of_a_store(tmp_path, monkeypatch):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "s.vrnl").write_bytes(BLOB)
    monkeypatch.chdir(tmp_path)
    stats = Reader("d/s.vrnl").stats()
    assert list(stats) == ["path", "version", "num_keys", "num_objects", "index_offset",
                           "data_offset", "file_size_kb", "file_crc32"]
    assert stats == {
        "path": "d/s.vrnl",
        "version": 2,
        "num_keys": 3,
        "num_objects": 3,
        "index_offset": HEADER_SIZE + sum(8 + len(o) for o in OBJECTS),
        "data_offset": 40,
        "file_size_kb": len(BLOB) / 1024,
        "file_crc32": "0x" + BLOB[32:36].hex(),
    }


def test_stats_report_the_header_as_stored(tmp_path):
    # Counts and checksum are never compared with the file, and the stored data
    # offset is never consulted.
    path = tmp_path / "odd.vrnl"
    path.write_bytes(raw_store(b"", b"", 0, num_objects=2**32 - 1, index_offset=2**64 - 1,
                               file_crc32=0xABC, data_offset=7))
    stats = Reader(str(path), verify=False).stats()
    assert stats == {"path": str(path), "version": 2, "num_keys": 0, "num_objects": 2**32 - 1,
                     "index_offset": 2**64 - 1, "data_offset": 40,
                     "file_size_kb": 0.0390625, "file_crc32": "0x00000abc"}


def test_repr_shows_the_path_verbatim(tmp_path, monkeypatch):
    name = "it's ä \"store\".vrnl"
    (tmp_path / name).write_bytes(BLOB)
    monkeypatch.chdir(tmp_path)
    assert repr(Reader(name)) == f"_VornReader('{name}', keys=3, objects=3)"


def test_context_manager_releases_nothing(tmp_path):
    path = tmp_path / "s.vrnl"
    path.write_bytes(BLOB)
    reader = Reader(str(path))
    assert reader.close() is None and reader.close() is None
    with reader as entered:
        assert entered is reader
    boom = KeyError("inside")
    with pytest.raises(KeyError) as info:
        with reader:
            raise boom
    assert info.value is boom
    assert reader.__exit__(None, None, None) is False
    assert reader.__exit__(KeyError, boom, None) is False
    assert reader.get_raw("b") == b"three" and reader.keys() == ["a", "b", "c"]
    assert reader.stats()["num_keys"] == 3
