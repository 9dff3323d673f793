"""Lookups, prefix scans and listings against a dict model, and the bounds of object
reads on damaged files."""

import struct
import threading

import pytest
from hypothesis import given, settings, strategies as st

import _vornel
from storefile import HEADER_SIZE, entry, raw_store, record, recrc

Reader = _vornel._VornReader


def text(key):
    return key.decode("utf-8", "replace")


def build(path, objects, bindings):
    writer = _vornel._VornWriter()
    for obj in objects:
        writer.add_object_raw(obj)
    for key, obj_id in bindings:
        writer.add_key(key, obj_id)
    writer.build(str(path))
    return Reader(str(path))


def key_forms(key):
    """Every argument form that names the key bytes `key`."""
    forms = [key, bytearray(key), list(key)]
    try:
        forms.append(key.decode("utf-8"))
    except UnicodeDecodeError:
        pass
    return forms


# Few symbols, so that keys share prefixes and collide often; bytes above 0x7f
# include ones that are not UTF-8.
key_bytes = st.lists(st.sampled_from([b"", b"a", b"b", b"\x00", b"\xc3\xa9", b"\xc3", b"\xff",
                                      "😀".encode()]), max_size=4).map(b"".join)


@st.composite
def stores(draw):
    objects = draw(st.lists(st.binary(max_size=12), max_size=5))
    bindings = []
    if objects:
        for key in draw(st.lists(key_bytes, max_size=10)):
            form = draw(st.sampled_from(key_forms(key)))
            bindings.append((form, draw(st.integers(0, len(objects) - 1))))
    return objects, bindings


@settings(max_examples=150, deadline=None)
@given(store=stores(), probes=st.lists(key_bytes, max_size=5))
def test_round_trip_matches_a_dict(tmp_path_factory, store, probes):
    objects, bindings = store
    final = {}
    for key, obj_id in bindings:
        final[key.encode() if isinstance(key, str) else bytes(key)] = obj_id
    order = sorted(final)
    reader = build(tmp_path_factory.getbasetemp() / "rt.vrnl", objects, bindings)

    assert reader.keys() == [text(k) for k in order]
    assert reader.items_raw_bytes() == [(k, objects[final[k]]) for k in order]
    assert reader.items_raw() == [(text(k), objects[final[k]]) for k in order]
    first_refs = list(dict.fromkeys(final[k] for k in order))
    assert reader.objects_raw() == [objects[i] for i in first_refs]
    for key in final:
        for form in key_forms(key):
            assert reader.get_raw(form) == objects[final[key]]
            assert reader.exists(form)
    for probe in probes + [k + b"\x00" for k in final]:
        assert reader.exists(probe) == (probe in final)
        assert reader.get_raw(probe) == (objects[final[probe]] if probe in final else None)
    for prefix in set(probes) | {k[:i] for k in final for i in range(len(k) + 1)}:
        expected = [(text(k), objects[final[k]]) for k in order if k.startswith(prefix)]
        for form in key_forms(prefix):
            assert reader.prefix_raw(form) == expected


KEYS = [b"", b"a", b"ab", b"abc", b"b", b"\xc3", "é".encode(), b"\xff"]


@pytest.fixture
def lettered(tmp_path):
    """KEYS bound to payloads named after them."""
    return build(tmp_path / "k.vrnl", [b"<" + k + b">" for k in KEYS],
                 [(k, i) for i, k in enumerate(KEYS)])


@pytest.mark.parametrize("prefix, matches", [
    ("ab", [b"ab", b"abc"]),
    ("", KEYS),
    (b"", KEYS),
    ("abc", [b"abc"]),
    ("abcd", []),
    ("c", []),
    (b"\xff\xff", []),
    (b"\xc3", [b"\xc3", "é".encode()]),
    ("é", ["é".encode()]),
])
def test_prefix_cases(lettered, prefix, matches):
    assert lettered.prefix_raw(prefix) == [(text(k), b"<" + k + b">") for k in matches]


def test_invalid_utf8_key_is_found_by_its_bytes_only(lettered):
    assert lettered.keys()[-1] == "\ufffd"
    assert lettered.items_raw_bytes()[-1] == (b"\xff", b"<\xff>")
    assert lettered.get_raw(b"\xff") == b"<\xff>"
    assert lettered.get_raw("\ufffd") is None and not lettered.exists("\ufffd")


def test_empty_store(tmp_path):
    reader = build(tmp_path / "e.vrnl", [], [])
    assert reader.keys() == reader.items_raw() == reader.items_raw_bytes() == []
    assert reader.objects_raw() == [] and reader.prefix_raw("") == []
    assert reader.get_raw("") is None and reader.exists(b"") is False


def test_shared_objects_follow_key_order(tmp_path):
    # X lies before Y in the file; keys a and c name Y, b names X.
    reader = build(tmp_path / "s.vrnl", [b"X", b"Y", b"unused"], [("a", 1), ("b", 0), ("c", 1)])
    assert reader.objects_raw() == [b"Y", b"X"]
    assert reader.items_raw() == [("a", b"Y"), ("b", b"X"), ("c", b"Y")]


def lower_bound_walk(keys, prefix):
    """Index of every match the prefix scan reports, on any key order."""
    if not keys:
        return []
    base, size = 0, len(keys)
    while size > 1:
        half = size // 2
        if keys[base + half] < prefix:
            base += half
        size -= half
    i = base + (keys[base] < prefix)
    j = i
    while j < len(keys) and keys[j].startswith(prefix):
        j += 1
    return list(range(i, j))


@settings(max_examples=200, deadline=None)
@given(keys=st.lists(key_bytes, max_size=12), prefix=key_bytes)
def test_prefix_scan_on_an_unsorted_index(tmp_path_factory, keys, prefix):
    # The reader trusts the writer's order; on a file without it the scan still
    # follows its lower-bound search and contiguous walk, and nothing else.
    path = tmp_path_factory.getbasetemp() / "unsorted.vrnl"
    index = b"".join(entry(k, HEADER_SIZE + 8 * i) for i, k in enumerate(keys))
    data = b"".join(record(b"") for _ in keys)
    path.write_bytes(raw_store(data, index, len(keys)))
    got = Reader(str(path)).prefix_raw(prefix)
    assert got == [(text(keys[i]), b"") for i in lower_bound_walk(keys, prefix)]


def store_with_bad_entries(tmp_path, bad):
    """Keys "a" ... naming offsets bad(file_size) each, then "good" naming a sound record."""
    data = record(b"ok")

    def entries(offsets):
        return b"".join(entry(chr(97 + i), o) for i, o in enumerate(offsets))

    size = HEADER_SIZE + len(data) + len(entries([0] * len(bad))) + len(entry("good", 0))
    offsets = [f(size) for f in bad]
    blob = raw_store(data, entries(offsets) + entry("good", HEADER_SIZE), len(bad) + 1)
    assert len(blob) == size
    path = tmp_path / "bad.vrnl"
    path.write_bytes(blob)
    return Reader(str(path), verify=False), offsets


def out_of_bounds(off):
    return f"VornCorruptError: offset {off} out of bounds"


@pytest.mark.parametrize("bad", [
    lambda size: size - 7,
    lambda size: size,
    lambda size: 2**64 - 1,
    lambda size: 2**64 - 8,
    lambda size: 2**64 - 9,
])
def test_offsets_out_of_bounds(tmp_path, bad):
    reader, (off,) = store_with_bad_entries(tmp_path, [bad])
    message = out_of_bounds(off)
    assert reader.exists("a") and reader.keys() == ["a", "good"]
    for call in (lambda: reader.get_raw("a"), reader.items_raw, reader.items_raw_bytes,
                 reader.objects_raw, lambda: reader.prefix_raw("")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert info.value.args == (message,)
    assert reader.prefix_raw("g") == [("good", b"ok")]
    assert reader.get_raw("good") == b"ok"


def test_the_first_unreadable_entry_is_reported(tmp_path):
    reader, (first, second) = store_with_bad_entries(tmp_path, [lambda s: s - 1, lambda s: s + 5])
    for call in (reader.items_raw, reader.items_raw_bytes, reader.objects_raw,
                 lambda: reader.prefix_raw("")):
        with pytest.raises(RuntimeError, match=f"^VornCorruptError: offset {first} out"):
            call()
    with pytest.raises(RuntimeError, match=f"offset {second} out of bounds"):
        reader.prefix_raw("b")


@pytest.mark.parametrize("extra", [0, 1, 2**32 - 1])
def test_record_length_is_bounded_by_the_file_end(tmp_path, extra):
    # The record at 50 claims every byte to the end of the file (the index section
    # included), plus `extra`.
    data = record(b"ok") + b"\0" * 8
    index = entry("k", HEADER_SIZE + 10)
    size = HEADER_SIZE + len(data) + len(index)
    length = size - (HEADER_SIZE + 10) - 8 + extra
    if length >= 2**32:
        length = 2**32 - 1
    data = record(b"ok") + struct.pack(">II", length, 0)
    path = tmp_path / "long.vrnl"
    path.write_bytes(raw_store(data, index, 1))
    reader = Reader(str(path))
    if extra == 0:
        assert reader.get_raw("k") == index
    else:
        with pytest.raises(RuntimeError) as info:
            reader.get_raw("k")
        assert info.value.args == ("VornCorruptError: object at 50 extends beyond file end",)


def test_damaged_payloads_come_back_as_stored(tmp_path):
    blob = bytearray(recrc(raw_store(record(b"abc", crc=1) + record(b"de"),
                                     entry("x", 40) + entry("y", 51), 2, num_objects=2)))
    blob[HEADER_SIZE + 11 + 8] ^= 0xFF  # first byte of "de", checksum left stale
    path = tmp_path / "damaged.vrnl"
    path.write_bytes(bytes(blob))
    reader = Reader(str(path), verify=False)
    assert reader.items_raw() == [("x", b"abc"), ("y", b"\x9be")]
    assert reader.objects_raw() == [b"abc", b"\x9be"]
    assert reader.prefix_raw("y") == [("y", b"\x9be")] and reader.get_raw("x") == b"abc"


def test_results_are_the_same_after_close(lettered):
    calls = [lettered.keys, lettered.items_raw, lettered.items_raw_bytes, lettered.objects_raw,
             lambda: lettered.prefix_raw("a"), lambda: lettered.get_raw("ab"),
             lambda: lettered.exists("abc")]
    before = [call() for call in calls]
    lettered.close()
    with lettered:
        pass
    assert [call() for call in calls] == before


def test_threads_share_one_reader(tmp_path):
    keys = [f"key{i:04d}" for i in range(600)]
    reader = build(tmp_path / "t.vrnl", [k.encode() * 3 for k in keys],
                   [(k, i) for i, k in enumerate(keys)])
    failures = []

    def work(seed):
        try:
            for round_ in range(30):
                i = (seed * 97 + round_ * 31) % len(keys)
                assert reader.get_raw(keys[i]) == keys[i].encode() * 3
                assert reader.exists(keys[i]) and not reader.exists(keys[i] + "x")
                assert len(reader.prefix_raw(keys[i][:5])) == 100
                assert reader.keys() == keys
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# Keys long enough to share 8-byte heads often and to end inside and past the head.
long_key = st.builds(lambda head, tail: head + tail,
                     st.sampled_from([b"", b"user:", b"user:0000", b"user:00001234", b"\xff" * 9]),
                     st.binary(max_size=6))


@settings(max_examples=25, deadline=None)
@given(keys=st.lists(long_key, min_size=200, max_size=3000, unique=True),
       prefixes=st.lists(long_key, max_size=20), misses=st.lists(long_key, max_size=20),
       repeats=st.lists(st.integers(0, 10**6), max_size=5))
def test_large_sorted_index_lookups_and_prefix_scans_match_a_model(
        tmp_path_factory, keys, prefixes, misses, repeats):
    # A writer's index, sorted, with some keys repeated in place (as a merged file may
    # hold them): every lower bound has a single answer, found through the key sample.
    keys = sorted(keys)
    entries = []
    for i, k in enumerate(keys):
        entries.append((k, i))
        if i in {r % len(keys) for r in repeats}:
            entries.append((k, len(keys) + i))
    payload = [struct.pack(">I", i) for i in range(2 * len(keys))]
    offsets, data = [], b""
    for p in payload:
        offsets.append(HEADER_SIZE + len(data))
        data += record(p)
    index = b"".join(entry(k, offsets[obj]) for k, obj in entries)
    path = tmp_path_factory.getbasetemp() / "large.vrnl"
    path.write_bytes(raw_store(data, index, len(entries)))
    reader = Reader(str(path))

    last = {k: obj for k, obj in entries}
    for k in keys[:: max(1, len(keys) // 50)] + misses:
        assert reader.get_raw(k) == (payload[last[k]] if k in last else None)
        assert reader.exists(k) == (k in last)
    for p in prefixes + [k[: len(k) // 2] for k in keys[:: max(1, len(keys) // 10)]]:
        want = [(text(k), payload[obj]) for k, obj in entries if k.startswith(p)]
        assert reader.prefix_raw(p) == want
    assert reader.items_raw_bytes() == [(k, payload[obj]) for k, obj in entries]


@settings(max_examples=25, deadline=None)
@given(keys=st.lists(long_key, min_size=200, max_size=2000, unique=True),
       swap=st.integers(0, 10**6), prefixes=st.lists(long_key, min_size=1, max_size=10))
def test_large_index_with_one_pair_out_of_order_follows_the_binary_search(
        tmp_path_factory, keys, swap, prefixes):
    keys = sorted(keys)
    i = swap % (len(keys) - 1)
    keys[i], keys[i + 1] = keys[i + 1], keys[i]
    path = tmp_path_factory.getbasetemp() / "unsorted_large.vrnl"
    index = b"".join(entry(k, HEADER_SIZE + 8 * j) for j, k in enumerate(keys))
    data = b"".join(record(b"") for _ in keys)
    path.write_bytes(raw_store(data, index, len(keys)))
    reader = Reader(str(path))
    for p in prefixes + [keys[i][:3], keys[i + 1]]:
        assert reader.prefix_raw(p) == [(text(keys[j]), b"") for j in lower_bound_walk(keys, p)]
