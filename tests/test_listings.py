"""Listings and prefix scans of stores large enough to span several of the blocks that
listings read at a time, with records in key order or not, against a plain model."""

import random

from hypothesis import given, settings, strategies as st

import _vornel

Reader = _vornel._VornReader


def text(key):
    return key.decode("utf-8", "replace")


# ASCII runs of every length around a word (8 bytes), with now and then a byte that is not
# ASCII: valid UTF-8, a lone lead or continuation byte, or 0xff.
key_part = st.one_of(st.binary(max_size=0),
                     st.text("abc:0", min_size=1, max_size=17).map(str.encode),
                     st.sampled_from([b"\xc3\xa9", b"\xe2\x82\xac", b"\xc3", b"\x80", b"\xff"]))
keys = st.lists(key_part, max_size=4).map(b"".join)


@st.composite
def stores(draw):
    """(objects, {key: object id}, file order of the objects)."""
    objects = draw(st.lists(st.binary(max_size=120), min_size=1, max_size=150))
    # Some stores one block long or less, most several.
    least = draw(st.sampled_from([0, 64, 65, 200]))
    bound = draw(st.dictionaries(keys, st.integers(0, len(objects) - 1), min_size=least,
                                 max_size=least + 100))
    # Records in the order of their first key, as a store staged in key order has them,
    # or shuffled.
    by_key = list(dict.fromkeys(bound[k] for k in sorted(bound)))
    order = by_key + [i for i in range(len(objects)) if i not in by_key]
    if draw(st.booleans()):
        random.Random(draw(st.integers(0, 2**32))).shuffle(order)
    return objects, bound, order


def build(path, objects, bound, order):
    writer = _vornel._VornWriter()
    ids = {}
    for i in order:
        ids[i] = writer.add_object_raw(objects[i])
    for key, i in bound.items():
        writer.add_key(key, ids[i])
    writer.build(str(path))
    return Reader(str(path))


@settings(max_examples=60, deadline=None)
@given(store=stores(), prefixes=st.lists(keys, max_size=6))
def test_listings_match_a_model(tmp_path_factory, store, prefixes):
    objects, bound, order = store
    reader = build(tmp_path_factory.getbasetemp() / "listing.vrnl", objects, bound, order)
    ordered = sorted(bound)
    assert reader.keys() == [text(k) for k in ordered]
    assert reader.items_raw() == [(text(k), objects[bound[k]]) for k in ordered]
    assert reader.items_raw_bytes() == [(k, objects[bound[k]]) for k in ordered]
    # Each shared object once, at its first key.
    assert reader.objects_raw() == [objects[i] for i in dict.fromkeys(bound[k] for k in ordered)]
    for p in prefixes + [k[:3] for k in ordered[::37]] + [b""]:
        want = [(text(k), objects[bound[k]]) for k in ordered if k.startswith(p)]
        assert reader.prefix_raw(p) == want


def test_keys_become_text_wherever_a_byte_is_not_ascii(tmp_path):
    # Every length to three words, with a non-ASCII byte at each position in turn: a
    # check that missed a word or the tail would hand out invalid text as ASCII.
    bound = {}
    for n in range(25):
        bound[b"k" * n] = n
        for at in range(n):
            for odd in (b"\x80", b"\xff", b"\xc3\xa9"):
                bound[b"k" * at + odd + b"k" * (n - at - 1)] = at
    objects = [bytes([i]) * i for i in range(25)]
    reader = build(tmp_path / "text.vrnl", objects, bound, range(25))
    ordered = sorted(bound)
    got = reader.keys()
    assert got == [text(k) for k in ordered]
    assert [t.isascii() for t in got] == [k.isascii() for k in ordered]
    assert reader.items_raw() == [(text(k), objects[bound[k]]) for k in ordered]
    assert reader.prefix_raw(b"k" * 7) == [(text(k), objects[bound[k]]) for k in ordered
                                          if k.startswith(b"k" * 7)]

