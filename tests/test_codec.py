"""The engine's MessagePack codec against msgpack-python: encodings byte for byte, decoded
values and their types, the packer's errors, hooks, the nesting limit and hostile input."""

import collections
import enum
import struct
import threading
import tracemalloc

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from values import same
from vornel._engine import packb, unpackb
from vornel.errors import VornDecodeError, VornLimitError


def reference_pack(value, default=None):
    return msgpack.packb(value, use_bin_type=True, default=default)


def reference_unpack(data, **hooks):
    return msgpack.unpackb(data, strict_map_key=False, **hooks)


# The exceptions msgpack raises for a fault of the data, which the engine's decode
# errors derive from too (TypeError: a map key that is an array or a map).
MSGPACK_CLASSES = (msgpack.ExtraData, msgpack.FormatError, msgpack.StackError,
                   UnicodeDecodeError, TypeError)


def strided(data):
    """`data` as a memoryview that is not contiguous: every other byte of a buffer."""
    return memoryview(bytes(b for byte in data for b in (byte, 0)))[::2]


def outcome(fn, data, **hooks):
    try:
        return "ok", fn(data, **hooks)
    except Exception as e:  # noqa: BLE001 - the caller compares classes
        return "error", e


def nested_lists(levels, inner=None):
    """`levels` lists, one inside the other; the innermost holds `inner` if given."""
    value = [] if inner is None else [inner]
    for _ in range(levels - 1):
        value = [value]
    return value


def nested_dicts(levels):
    value = {}
    for _ in range(levels - 1):
        value = {"k": value}
    return value


# ---- Values, and raw encodings in every form the format allows ----

keys = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
        | st.floats(allow_nan=False) | st.text() | st.binary()
        | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=20))
        | st.builds(msgpack.Timestamp, st.integers(-(2**63), 2**63 - 1),
                    st.integers(0, 999_999_999)))
values = st.recursive(
    keys | st.floats(),
    lambda inner: (st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple)
                   | st.dictionaries(keys, inner, max_size=4)),
    max_leaves=25)


def header(draw, n, fixed=None, fixed_limit=0, m8=None, m16=None, m32=None):
    """Any header that holds length `n`: fixed form, 8, 16 or 32 bits."""
    forms = [bytes([fixed | n])] if fixed is not None and n < fixed_limit else []
    forms += [bytes([m]) + struct.pack(f, n) for m, f, limit in
              ((m8, ">B", 2**8), (m16, ">H", 2**16), (m32, ">I", 2**32)) if m and n < limit]
    return draw(st.sampled_from(forms))


INT_FORMS = [(0xcc, ">B"), (0xcd, ">H"), (0xce, ">I"), (0xcf, ">Q"),
             (0xd0, ">b"), (0xd1, ">h"), (0xd2, ">i"), (0xd3, ">q")]
FIXEXT = {1: 0xd4, 2: 0xd5, 4: 0xd6, 8: 0xd7, 16: 0xd8}


@st.composite
def raw_scalar(draw):
    """Not only what packers write: ints of any width, float32, str bodies that may not
    be UTF-8, ext of any code and length (timestamps among them)."""
    kind = draw(st.sampled_from(["int", "float", "str", "bin", "ext", "timestamp", "byte"]))
    if kind == "int":
        marker, fmt = draw(st.sampled_from(INT_FORMS))
        bits = 8 * struct.calcsize(fmt)
        lo, hi = (0, 2**bits - 1) if fmt[1].isupper() else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
        return bytes([marker]) + struct.pack(fmt, draw(st.integers(lo, hi)))
    if kind == "float":
        return draw(st.sampled_from([b"\xca" + draw(st.binary(min_size=4, max_size=4)),
                                     b"\xcb" + draw(st.binary(min_size=8, max_size=8))]))
    if kind in ("str", "bin"):
        body = draw(st.text(max_size=10).map(str.encode) | st.binary(max_size=10))
        if kind == "str":
            return header(draw, len(body), 0xa0, 32, 0xd9, 0xda, 0xdb) + body
        return header(draw, len(body), None, 0, 0xc4, 0xc5, 0xc6) + body
    if kind in ("ext", "timestamp"):
        code = -1 if kind == "timestamp" else draw(st.integers(-128, 127))
        body = draw(st.sampled_from([b"\0" * 4, b"\x3b\x9a\xca\x00" + b"\0" * 4])
                    | st.binary(max_size=13))
        forms = [header(draw, len(body), None, 0, 0xc7, 0xc8, 0xc9)]
        forms += [bytes([FIXEXT[len(body)]])] if len(body) in FIXEXT else []
        return draw(st.sampled_from(forms)) + struct.pack(">b", code) + body
    return draw(st.sampled_from([b"\xc0", b"\xc2", b"\xc3", b"\x00", b"\x7f", b"\xe0", b"\xff"]))


@st.composite
def raw_container(draw, children):
    items = draw(st.lists(children, max_size=4))
    if draw(st.booleans()):
        return header(draw, len(items), 0x90, 16, None, 0xdc, 0xdd) + b"".join(items)
    pairs = len(items) // 2
    return header(draw, pairs, 0x80, 16, None, 0xde, 0xdf) + b"".join(items[: 2 * pairs])


raw_values = st.recursive(raw_scalar(), lambda c: raw_container(c), max_leaves=20)


@st.composite
def damaged(draw):
    """A valid encoding cut short, with a byte changed, or with bytes added."""
    data = draw(raw_values | values.map(reference_pack))
    how = draw(st.sampled_from(["cut", "change", "append"]))
    if how == "cut":
        return data[: draw(st.integers(0, len(data) - 1))]
    if how == "append":
        return data + draw(st.binary(min_size=1, max_size=3))
    at = draw(st.integers(0, len(data) - 1))
    return data[:at] + bytes([draw(st.integers(0, 255))]) + data[at + 1:]


# ---- Encoding ----

class Small(enum.IntEnum):
    ONE = 1


Int, Float, Str, Bytes, List, Tuple, Dict = (
    type(f"My{base.__name__}", (base,), {}) for base in (int, float, str, bytes, list, tuple, dict))
Ext = type("Ext", (msgpack.ExtType,), {})
Stamp = type("Stamp", (msgpack.Timestamp,), {})
Pair = collections.namedtuple("Pair", "a b")


class ReversedItems(dict):
    def items(self):
        return reversed(list(super().items()))


class Point:
    def __init__(self, x, child=None):
        self.x, self.child = x, child


def default(o):
    if isinstance(o, Point):
        return {"x": o.x, "child": o.child}  # the child may need default in turn
    if isinstance(o, (set, frozenset)):
        return sorted(o)
    if isinstance(o, int):
        return f"big:{o}"
    if isinstance(o, msgpack.Timestamp):
        return ["timestamp subclass", o.seconds]
    return o  # unchanged: the packer's TypeError then names its type


class TestEncode:
    @settings(max_examples=400, deadline=None)
    @given(values)
    def test_matches_the_packer(self, value):
        assert packb(value) == reference_pack(value)

    # Each format's edges (lengths and counts beside 2^4, 2^5, 2^8, 2^16), the
    # subclasses and types the packer takes as their bases, and values for `default`.
    @pytest.mark.parametrize("value", [
        0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**64 - 1, -1, -32, -33, -128,
        -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63), -0.0, float("nan"),
        struct.unpack(">d", b"\x7f\xf0\0\0\0\0\0\1")[0], "a" * 31, "a" * 32, "é" * 127,
        "b" * 256, "c" * 65536, "\U0001f600", b"x" * 255, b"x" * 256, b"y" * 65536,
        list(range(16)), list(range(65536)), dict.fromkeys(range(16)),
        dict.fromkeys(range(65536)), msgpack.ExtType(0, b""), msgpack.ExtType(127, b"x" * 3),
        msgpack.ExtType(5, b"x" * 16), msgpack.ExtType(5, b"x" * 256),
        msgpack.ExtType(5, b"x" * 65536), msgpack.Timestamp(2**32 - 1, 0),
        msgpack.Timestamp(2**32, 0), msgpack.Timestamp(2**34 - 1, 999_999_999),
        msgpack.Timestamp(2**34, 0), msgpack.Timestamp(-1, 5),
        Small.ONE, Int(2**64 - 1), Int(-5), Float(-0.0), Str("sub"), Str("gr\u00fc\u00dfe"),
        Bytes(b"b"), bytearray(b"ba"), memoryview(b"mv"), memoryview(bytearray(300)),
        List([1, List([2])]), Tuple((1, 2)), Pair(1, [2]), Dict(a=1, b=Dict(c=2)),
        ReversedItems(a=1, b=2, c=3), collections.OrderedDict(z=1, a=2), Ext(3, b"e"),
    ], ids=lambda v: type(v).__name__)
    def test_edges_and_subclasses(self, value):
        assert packb(value) == reference_pack(value)
        assert packb(value, default=default) == reference_pack(value, default)

    @pytest.mark.parametrize("value", [
        Point(1, Point(2, Point(3))), [frozenset({"a"}), {"k": Point(0)}], 2**64,
        -(2**63) - 1, [2**100], Stamp(1, 2), {1: Point(2)},
    ], ids=lambda v: type(v).__name__)
    def test_default_as_the_packer_applies_it(self, value):
        assert packb(value, default=default) == reference_pack(value, default)

    @pytest.mark.parametrize("value, fn, cls", [
        (object(), None, TypeError), (2**64, None, OverflowError),
        (-(2**63) - 1, None, OverflowError), ([1, {2: {1j}}], None, TypeError),
        ("a\ud800b", None, UnicodeEncodeError), ({"k": "\udfff"}, None, UnicodeEncodeError),
        (Stamp(1, 2), None, TypeError), (memoryview(b"abcd")[::2], None, BufferError),
        (object(), lambda o: 1j, TypeError), (object(), lambda o: 2**64, OverflowError),
    ], ids=lambda v: repr(v)[:16])
    def test_errors_of_the_packer(self, value, fn, cls):
        with pytest.raises(cls) as ours:
            packb(value, default=fn)
        with pytest.raises(cls) as theirs:
            reference_pack(value, fn)
        assert type(ours.value) is type(theirs.value)
        assert str(ours.value) == str(theirs.value)

    def test_default_error_propagates_unchanged(self):
        error = KeyError("mine")

        def raising(o):
            raise error

        with pytest.raises(KeyError) as caught:
            packb([1, {"a": object()}], default=raising)
        assert caught.value is error

    def test_nesting_limit(self):
        ok = nested_lists(1024)
        assert packb(ok) == reference_pack(ok)
        assert packb(nested_lists(1023, inner=object()), default=lambda o: []) == reference_pack(ok)
        loop = []
        loop.append(loop)
        # msgpack's packer writes one level more than its reader reads; the engine's
        # limit is the reader's. A value of `default` counts where the value stood.
        for value, fn in [(nested_lists(1025), None), (nested_dicts(1025), None),
                          ([ok], None), (nested_lists(1024, inner=object()), lambda o: []),
                          (loop, None), (object(), lambda o: [o])]:
            with pytest.raises(VornLimitError, match="^value nested deeper than 1024 levels$"):
                packb(value, default=fn)

    def test_container_changed_by_default(self):
        # The packer would write a header that disagrees with the items that follow.
        grown = [object(), 1]
        with pytest.raises(RuntimeError, match="list changed size"):
            packb(grown, default=lambda o: grown.append(0))
        shrunk = {"a": object(), "b": 1}
        with pytest.raises(RuntimeError, match="dictionary changed size"):
            packb(shrunk, default=lambda o: shrunk.pop("b"))

    def test_threads(self):
        """Without the GIL another thread changes a list or dict while it is encoded: each
        encoding is still one whole value, or the change is reported. Threads that decode
        meanwhile get their values."""
        shared_list, shared_dict = list(range(50)), {i: str(i) for i in range(50)}
        stop = threading.Event()
        failures = []

        def mutate():
            i = 0
            while not stop.is_set():
                i += 1
                shared_list.append(i)
                shared_list.pop(0)
                shared_dict[i + 100] = "x"
                shared_dict.pop(next(iter(shared_dict)))

        def encode():
            try:
                for _ in range(300):
                    for value in (shared_list, shared_dict, [shared_dict, shared_list]):
                        try:
                            reference_unpack(packb(value))  # one whole value, nothing after
                        except RuntimeError as e:
                            assert "changed size" in str(e)
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(e)

        records = [{"id": i, f"k{i % 7}": "v", "tags": [{"t": i}]} for i in range(200)]
        blobs = [reference_pack(r) for r in records]

        def decode():  # threads share the decoder's key cache, if the module keeps one
            try:
                for _ in range(20):
                    assert all(same(unpackb(b), r) for b, r in zip(blobs, records))
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(e)

        threads = [threading.Thread(target=fn)
                   for fn in (mutate, encode, encode, encode, decode, decode)]
        for t in threads:
            t.start()
        for t in threads[1:]:
            t.join()
        stop.set()
        threads[0].join()
        assert failures == []


# ---- Decoding ----

class TestDecode:
    @settings(max_examples=400, deadline=None)
    @given(values)
    def test_round_trip(self, value):
        data = reference_pack(value)
        assert same(unpackb(data), reference_unpack(data))

    @settings(max_examples=500, deadline=None)
    @given(raw_values | damaged() | st.binary(max_size=12),
           st.sampled_from([bytes, bytearray, memoryview, strided]))
    def test_any_input_as_msgpack(self, data, form):
        """Equal results where msgpack-python accepts the data, from any bytes-like
        object; where it refuses it, a VornDecodeError that is also the class msgpack
        raised, when it raised one of its own or UnicodeDecodeError, with the same
        details."""
        theirs, ours = outcome(reference_unpack, data), outcome(unpackb, form(data))
        if theirs[0] == "ok":
            assert ours[0] == "ok", ours[1]
            assert same(ours[1], theirs[1])
            return
        assert ours[0] == "error" and isinstance(ours[1], VornDecodeError), (theirs[1], ours[1])
        if isinstance(theirs[1], MSGPACK_CLASSES):
            assert isinstance(ours[1], type(theirs[1])), (theirs[1], ours[1])
        if isinstance(theirs[1], msgpack.ExtraData):
            assert same(ours[1].unpacked, theirs[1].unpacked) and ours[1].extra == theirs[1].extra
        if isinstance(theirs[1], UnicodeDecodeError):
            their_error, our_error = theirs[1], ours[1]
            assert (our_error.object, our_error.start, our_error.end, our_error.reason) == (
                their_error.object, their_error.start, their_error.end, their_error.reason)

    @settings(max_examples=300, deadline=None)
    @given(raw_values | values.map(reference_pack))
    def test_hooks_called_as_msgpack_calls_them(self, data):
        """Each hook called with the same arguments in the same order (each map once its
        items are in, innermost first; timestamps never reach ext_hook)."""
        def hooks():
            calls = []

            def object_hook(d):
                calls.append(("map", d))
                return ("map", tuple(map(repr, d.items())))

            def ext_hook(code, payload):
                calls.append(("ext", code, payload))
                return ("ext", code, payload)

            return calls, {"object_hook": object_hook, "ext_hook": ext_hook}

        (calls_theirs, theirs), (calls_ours, ours) = hooks(), hooks()
        theirs, ours = outcome(reference_unpack, data, **theirs), outcome(unpackb, data, **ours)
        if theirs[0] == "ok":
            assert ours[0] == "ok", ours[1]
            assert same(ours[1], theirs[1]) and same(calls_ours, calls_theirs)
        else:
            assert ours[0] == "error"

    @pytest.mark.parametrize("hook", ["ext_hook", "object_hook"])
    @pytest.mark.parametrize("error", [KeyError("k"), ValueError("v"), MemoryError()])
    def test_hook_errors_propagate_unchanged(self, hook, error):
        def raising(*args):
            raise error

        with pytest.raises(type(error)) as caught:
            unpackb(reference_pack([1, {"a": msgpack.ExtType(1, b"")}, "x"]), **{hook: raising})
        assert caught.value is error

    def test_keys(self):
        # A later equal key replaces the value and keeps the first key object, as dict does.
        assert same(unpackb(b"\x82\x01\xa1a\xcb\x3f\xf0\0\0\0\0\0\0\xa1b"), {1: "b"})
        # A key that a hook made unhashable: Python's own error, not the data's.
        with pytest.raises(TypeError, match="unhashable"):
            unpackb(reference_pack({msgpack.ExtType(1, b""): 1}), ext_hook=lambda c, d: [c])
        # Short keys may come from a cache shared by calls: many keys through few slots,
        # and a hook that decodes again while the outer call holds it.
        many = {f"k{i}" * (i % 5 + 1): i for i in range(3000)}
        for _ in range(2):
            assert same(unpackb(reference_pack(many)), many)
        inner = reference_pack({"k1": 1, "other": 2})
        nested = unpackb(reference_pack([{"k1": 0}, {"k1k1": 3}]),
                         object_hook=lambda d: (d, unpackb(inner)))
        assert same(nested, [({"k1": 0}, {"k1": 1, "other": 2}),
                             ({"k1k1": 3}, {"k1": 1, "other": 2})])

    def test_nesting_limit(self):
        for ok in (nested_lists(1024), nested_dicts(1024)):
            assert same(unpackb(reference_pack(ok)), ok)
        for too_deep in (nested_lists(1025), nested_dicts(1025)):
            data = reference_pack(too_deep)
            with pytest.raises(msgpack.StackError):
                reference_unpack(data)
            with pytest.raises(VornDecodeError, match="^value nested deeper than 1024 levels$"):
                unpackb(data)

    @pytest.mark.parametrize("data, reason", [
        (b"", "data is empty"),
        (b"\xc1", "byte 0xc1 at 0 begins no value"),
        (b"\x92\x01\xc1", "byte 0xc1 at 2 begins no value"),
        (b"\x01\x02\x03\x04", "3 bytes after the value"),
        (b"\xc0\xc0", "1 byte after the value"),
        (b"\x92\x01\xa5abc", "data ends inside a str at byte 2"),
        (b"\xd9", "data ends inside a str at byte 0"),
        (b"\x93\x01\x02", "data ends inside an array at byte 0"),
        (b"\x81\x01", "data ends inside a map at byte 0"),
        (b"\x91\x81\xa1k", "data ends inside a map at byte 1"),
        (b"\xcd\x01", "data ends inside an int at byte 0"),
        (b"\xca\0", "data ends inside a float at byte 0"),
        (b"\xc4\x05ab", "data ends inside a bin at byte 0"),
        (b"\xc7\x02\x05\0", "data ends inside an ext at byte 0"),
        (b"\xd7\x01\0", "data ends inside an ext at byte 0"),
        (b"\x91\xa2\xc3\x28", "invalid UTF-8 in a str at byte 1"),
        (b"\xa3\xed\xa0\x80", "invalid UTF-8 in a str at byte 0"),  # an encoded surrogate
        (b"\x82\x01\x02\x91\x01\x02", "map key of unhashable type 'list' at byte 3"),
        (b"\x81\x80\x01", "map key of unhashable type 'dict' at byte 1"),
        (b"\xd4\x80\x00", "reserved ext type -128 at byte 0"),
        (b"\xc7\x03\xff\0\0\0", "timestamp of 3 bytes at byte 0 (4, 8 or 12 expected)"),
        (b"\xd7\xff\xff\xff\xff\xfc\0\0\0\0",
         "timestamp at byte 0 has 1073741823 nanoseconds (at most 999999999)"),
    ], ids=lambda v: repr(v)[:24])
    def test_malformed_with_its_reason(self, data, reason):
        with pytest.raises(VornDecodeError) as caught:
            unpackb(data)
        assert str(caught.value) == reason
        with pytest.raises(Exception):
            reference_unpack(data)  # msgpack-python refuses each of them too

    @pytest.mark.parametrize("header", [
        b"\xdb\xff\xff\xff\xff", b"\xc6\xff\xff\xff\xff", b"\xc9\xff\xff\xff\xff\x01",
        b"\xdd\xff\xff\xff\xff", b"\xdf\xff\xff\xff\xff", b"\xdc\xff\xff", b"\xde\xff\xff",
    ], ids=lambda h: h[:1].hex())
    def test_huge_counts_fail_before_allocating(self, header):
        tracemalloc.start()
        try:
            with pytest.raises(VornDecodeError, match="^data ends inside .* at byte 0$"):
                unpackb(header + b"\x00" * 10)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 64 * 1024

    def test_failures_release_what_was_built(self):
        # Each input fails after building lists, dicts and strs; none may stay behind.
        inputs = [b"\x93\xa3abc\x81\x01\x92\x02\xa4x", b"\x82\xa1a\x91\x01\x91\x01\x02",
                  b"\x92" + reference_pack({"k": list(range(50))}) + b"\xc1",
                  b"\x91" * 1025 + b"\xa4leaf"]
        hooked = reference_pack([{"a": 1}, "x"])

        def run():
            for data in inputs:
                try:
                    unpackb(data)
                except VornDecodeError:
                    pass
                try:
                    unpackb(hooked, object_hook=lambda d: 1 / 0)
                except ZeroDivisionError:
                    pass

        run()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(1000):
                run()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        assert grown < 32 * 1024
