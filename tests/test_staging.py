"""Writer staging: object IDs, key bindings, limits and the representation."""

import pytest
from hypothesis import given, settings, strategies as st

from _vornel import _VornReader, _VornWriter


def fails(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def test_object_ids_count_up_without_dedup():
    w = _VornWriter()
    assert repr(w) == "_VornWriter(objects=0, keys=0)"
    assert [w.add_object_raw(b) for b in (b"same", b"", b"same")] == [0, 1, 2]
    assert repr(w) == "_VornWriter(objects=3, keys=0)"


def test_obj_id_range():
    w = _VornWriter()
    assert fails(lambda: w.add_key("k", 0)) == "VornError: obj_id 0 out of range (have 0 objects)"
    w.add_object_raw(b"a")
    w.add_object_raw(b"b")
    assert fails(lambda: w.add_key("k", 2)) == "VornError: obj_id 2 out of range (have 2 objects)"
    w.add_key("k", 1)
    assert repr(w) == "_VornWriter(objects=2, keys=1)"


@pytest.mark.parametrize("key, ok", [
    (b"x" * 65535, True),
    ("x" * 65535, True),
    ("é" * 32767, True),          # 65,534 UTF-8 bytes
    ("é" * 32767 + "x", True),    # 65,535
    (b"x" * 65536, False),
    ("é" * 32768, False),         # 65,536 UTF-8 bytes from 32,768 characters
    ([0x78] * 65536, False),
    ("", True),
    (b"", True),
])
def test_key_length_limit_counts_utf8_bytes(key, ok):
    w = _VornWriter()
    w.add_object_raw(b"v")
    if ok:
        w.add_key(key, 0)
        assert repr(w) == "_VornWriter(objects=1, keys=1)"
    else:
        n = len(key.encode()) if isinstance(key, str) else len(key)
        assert fails(lambda: w.add_key(key, 0)) == f"VornError: key is {n} bytes, format maximum is 65535"
        assert repr(w) == "_VornWriter(objects=1, keys=0)"


def test_range_is_checked_before_length():
    w = _VornWriter()
    assert fails(lambda: w.add_key(b"x" * 70000, 3)) == "VornError: obj_id 3 out of range (have 0 objects)"


def test_rebinding_keeps_one_key_and_the_latest_object(tmp_path):
    w = _VornWriter()
    first, second = w.add_object_raw(b"first"), w.add_object_raw(b"second")
    w.add_key("k", first)
    w.add_key(b"k", second)  # text and its UTF-8 bytes are one key
    assert repr(w) == "_VornWriter(objects=2, keys=1)"
    path = str(tmp_path / "r.vrnl")
    w.build(path)
    r = _VornReader(path)
    assert r.items_raw() == [("k", b"second")]
    assert r.stats()["num_objects"] == 2  # the unbound object is still written


def test_staging_after_build_extends_the_next_build(tmp_path):
    w = _VornWriter()
    w.add_key("a", w.add_object_raw(b"1"))
    w.build(str(tmp_path / "one.vrnl"))
    w.add_key("b", w.add_object_raw(b"2"))
    w.build(str(tmp_path / "two.vrnl"))
    assert _VornReader(str(tmp_path / "one.vrnl")).keys() == ["a"]
    assert _VornReader(str(tmp_path / "two.vrnl")).items_raw() == [("a", b"1"), ("b", b"2")]


keys = st.one_of(st.binary(max_size=6), st.text(max_size=4))
ops = st.lists(st.one_of(
    st.tuples(st.just("obj"), st.binary(max_size=8)),
    st.tuples(st.just("key"), keys, st.integers(min_value=0, max_value=12)),
), max_size=40)


@settings(max_examples=150, deadline=None)
@given(ops)
def test_staging_matches_a_model(tmp_path_factory, script):
    w = _VornWriter()
    objects, bindings = [], {}
    for op in script:
        if op[0] == "obj":
            assert w.add_object_raw(op[1]) == len(objects)
            objects.append(op[1])
        else:
            _, key, obj_id = op
            if obj_id < len(objects):
                w.add_key(key, obj_id)
                bindings[key.encode() if isinstance(key, str) else key] = obj_id
            else:
                assert fails(lambda: w.add_key(key, obj_id)).startswith("VornError: obj_id ")
        assert repr(w) == f"_VornWriter(objects={len(objects)}, keys={len(bindings)})"
    path = str(tmp_path_factory.mktemp("m") / "m.vrnl")
    w.build(path)
    r = _VornReader(path)
    assert r.items_raw_bytes() == [(k, objects[bindings[k]]) for k in sorted(bindings)]


def test_large_stagings_round_trip_exactly(tmp_path):
    # Several megabytes of objects, some larger than the staging granules, with many
    # keys that share their first bytes: every layout path of the writer at once.
    import random
    import storefile

    rng = random.Random(7)
    objects = [rng.randbytes(n) for n in (3 << 20, 0, 5 << 20, 1, 300_000)]
    objects += [rng.randbytes(rng.randint(0, 200)) for _ in range(3000)]
    bindings = [(f"shared-prefix/{i:06d}", rng.randrange(len(objects))) for i in range(5000)]
    bindings += [(rng.randbytes(rng.randint(0, 12)), rng.randrange(len(objects))) for _ in range(3000)]
    w = _VornWriter()
    for obj in objects:
        w.add_object_raw(obj)
    for key, obj_id in bindings:
        w.add_key(key, obj_id)
    path = tmp_path / "big.vrnl"
    w.build(str(path))
    assert path.read_bytes() == storefile.encode_store(objects, bindings)
