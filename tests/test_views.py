"""view(key): a bytes value as a read-only memoryview of the store's mapping, no copy."""

import gc

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import vornel
from vornel import VornReader, VornWriter
from vornel.sharded import build_shard, new_version, publish, shard_of

CLOSED = "I/O operation on closed store"


def build(path, items, **options):
    w = VornWriter(**options)
    w.update(items)
    w.build(path)


def mapped(path):
    """Whether this process maps the file at `path`."""
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith(str(path)) for line in maps)


@settings(max_examples=30, deadline=None)
@given(values=st.lists(st.binary(max_size=70_000), min_size=1, max_size=8))
def test_views_show_the_stored_bytes(tmp_path_factory, values):
    # bin8, bin16 and bin32 headers alike.
    path = tmp_path_factory.mktemp("v") / "s.vrnl"
    items = {f"k{i}": v for i, v in enumerate(values)}
    build(path, items)
    with VornReader(path) as r:
        for key, value in items.items():
            view = r.view(key)
            assert view.readonly and view.format == "B" and view.tobytes() == value
            with pytest.raises(TypeError):
                view[:1] = b"x"


def test_numpy_reads_a_view_without_a_copy(tmp_path):
    path = tmp_path / "e.vrnl"
    embedding = numpy.arange(256, dtype=numpy.float32)
    build(path, {"e": embedding.tobytes()})
    with VornReader(path) as r:
        array = numpy.frombuffer(r.view("e"), dtype=numpy.float32)
        assert not array.flags.writeable and not array.flags.owndata
        assert (array == embedding).all()
        # The same memory every time: the mapping's.
        again = numpy.frombuffer(r.view("e"), dtype=numpy.float32)
        assert array.__array_interface__["data"][0] == again.__array_interface__["data"][0]


@pytest.mark.parametrize("value, what", [
    (1, "an int"), ("text", "a str"), ([b"x"], "an array"), ({"a": b"x"}, "a map"),
    (None, "None"), (True, "a bool"), (1.5, "a float"),
])
def test_a_value_that_is_not_bytes(tmp_path, value, what):
    path = tmp_path / "s.vrnl"
    build(path, {"k": value})
    with VornReader(path) as r, pytest.raises(TypeError, match=f"is {what}, not bytes"):
        r.view("k")


def test_a_compressed_value_and_a_missing_key(tmp_path):
    path = tmp_path / "c.vrnl"
    build(path, {f"k{i}": b"the same bytes, again and again " * 40 for i in range(400)},
          compression="zstd")
    with VornReader(path) as r:
        with pytest.raises(TypeError, match="stored compressed"):
            r.view("k1")
        with pytest.raises(KeyError):
            r.view("nope")
        with pytest.raises(KeyError):
            r.view(5)


def test_the_mapping_outlives_close_while_a_view_lives(tmp_path):
    """close() does not unmap a file that a view shows: the unmap waits for the last
    view, and the reader itself refuses every use at once."""
    path = tmp_path / "s.vrnl"
    build(path, {"a": b"alpha" * 1000, "b": b"beta"})
    r = VornReader(path)
    a, b = r.view("a"), r.view("b")
    sliced = a[5:10]
    r.close()
    with pytest.raises(ValueError, match=CLOSED):
        r.view("a")
    with pytest.raises(ValueError, match=CLOSED):
        r["a"]
    assert mapped(path)
    assert bytes(sliced) == b"alpha" and bytes(b) == b"beta"
    del a, b
    gc.collect()
    assert mapped(path) and bytes(sliced) == b"alpha"  # a slice holds the view too
    sliced.release()
    del sliced, r
    gc.collect()
    assert not mapped(path)


def test_the_reader_may_go_before_its_views(tmp_path):
    path = tmp_path / "s.vrnl"
    build(path, {"a": b"abc"})
    view = VornReader(path).view("a")
    gc.collect()
    assert bytes(view) == b"abc"


def test_sharded_views(tmp_path):
    items = {f"k{i}": bytes([i]) * 100 for i in range(200)}
    version = new_version(tmp_path / "set")
    routed = {}
    for key, value in items.items():
        routed.setdefault(shard_of(key, 4), []).append((key, value))
    publish(tmp_path / "set", version, 4, [build_shard(routed[i], version, i) for i in sorted(routed)])
    with vornel.open(tmp_path / "set") as r:
        assert all(r.view(k) == v for k, v in items.items())
        with pytest.raises(KeyError):
            r.view("nope")
        with pytest.raises(KeyError):
            r.view(1.5)
