"""The key table that the package's writer stores: the package's reader answers through
it exactly as through an index built in memory, _VornReader reads such stores as any
other, and a table that is damaged or belongs to another store never gives a wrong
answer."""

import struct
import zlib

import storefile

import pytest
from hypothesis import given, settings, strategies as st

import vornel
from _vornel import _VornReader
from vornel import VornReader

keys = st.one_of(st.text(max_size=12), st.binary(max_size=12))
stores = st.dictionaries(keys, st.integers(-(2**63), 2**63 - 1) | st.binary(max_size=40),
                         max_size=80)

TRAILER = 104  # bytes that end the table's record


def header(data):
    num_keys, num_objects, index_offset = struct.unpack(">IIQ", data[8:24])
    return num_keys, num_objects, index_offset


def without_table(data):
    """The same store with its header's marks gone, so that readers take its table for one
    more value, and index the keys in memory."""
    return storefile.mark(data)


def answers(r, probes):
    return (
        list(r.items()),
        list(reversed(r)),
        [r.get(p, "absent") for p in probes],
        [p in r for p in probes],
        [list(r.prefix_keys(p)) for p in probes],
        [list(r.range(p, None)) for p in probes],
    )


@settings(max_examples=60, deadline=None)
@given(stores, st.lists(keys, max_size=10))
def test_the_table_answers_as_the_index_in_memory(tmp_path_factory, items, probes):
    tmp = tmp_path_factory.mktemp("table")
    path = tmp / "s.vrnl"
    vornel.build(path, items)
    (tmp / "plain.vrnl").write_bytes(without_table(path.read_bytes()))
    probes = probes + list(items)[:5]
    with VornReader(path) as table, VornReader(tmp / "plain.vrnl") as memory:
        assert table.stats()["key_table"] == "in use"
        assert memory.stats()["key_table"] == "absent"
        assert answers(table, probes) == answers(memory, probes)
        assert table.verify() and memory.verify()
    # _VornReader reads the store as any other: one more object, the same answers.
    raw = _VornReader(str(path))
    assert raw.stats()["num_objects"] == VornReader(path).stats()["num_objects"] + 1
    assert raw.verify()
    with VornReader(path) as r:
        expected = [(k.encode() if isinstance(k, str) else k) for k in r]
    assert [k for k, _ in raw.items_raw_bytes()] == expected


def table_record(data):
    """Where the table's record (prefix and payload) lies: it ends at index_offset."""
    index_offset = header(data)[2]
    payload_length = struct.unpack(">Q", data[index_offset - TRAILER + 16:][:8])[0]
    return index_offset - 8 - payload_length, index_offset


def test_a_table_from_another_store_never_gives_its_values(tmp_path):
    # Two stores alike in every number the table's trailer names: b's table in a's file,
    # with the file's checksum made right, is the stalest table a reader can meet.
    a, b = tmp_path / "a.vrnl", tmp_path / "b.vrnl"
    vornel.build(a, {f"k{i:03d}": i for i in range(200)})
    vornel.build(b, {f"j{i:03d}": 199 - i for i in range(200)})
    da, db = a.read_bytes(), b.read_bytes()
    start, end = table_record(da)
    assert (start, end) == table_record(db) and len(da) == len(db)
    forged = bytearray(da)
    forged[start:end] = db[start:end]
    forged = bytearray(storefile.recrc(bytes(forged)))
    path = tmp_path / "forged.vrnl"
    path.write_bytes(bytes(forged))
    with VornReader(path, verify=False) as r:
        for i in range(200):
            assert r.get(f"k{i:03d}") in (i, None)  # found, or missed: never b's value
            assert f"j{i:03d}" not in r
        with pytest.raises(vornel.VornCorruptError, match="key table") as deep:
            r.verify()
    # The file's checksum passes; a checked open indexes the keys in memory instead, says
    # why, and serves every key, while verify() still reports the table.
    with VornReader(path, verify=True) as checked:
        assert checked.stats()["key_table"] == "ignored: it disagrees with the index section"
        assert dict(checked.items()) == {f"k{i:03d}": i for i in range(200)}
        with pytest.raises(vornel.VornCorruptError) as again:
            checked.verify()
        assert str(again.value) == str(deep.value)
    assert dict(_VornReader(str(path)).items_raw()) == dict(_VornReader(str(a)).items_raw())
