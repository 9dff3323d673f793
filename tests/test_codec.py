"""The engine's MessagePack codec against msgpack-python: encodings byte for byte, decoded
values and their types, the packer's errors, hooks, the nesting limit and hostile input."""

import collections
import enum
import math
import struct
import threading
import tracemalloc

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from vornel._engine import packb, unpackb
from vornel.errors import VornDecodeError, VornLimitError


def reference_pack(value, default=None):
    return msgpack.packb(value, use_bin_type=True, default=default)


def reference_unpack(data, **hooks):
    return msgpack.unpackb(data, strict_map_key=False, **hooks)


def same(a, b):
    """Equal with equal types all the way down, floats bit for bit (-0.0, NaN payloads),
    dicts in the same order. Iterative: values nest deeper than Python's recursion."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if struct.pack(">d", a) != struct.pack(">d", b):
                return False
        elif isinstance(a, (list, tuple)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, dict):
            if len(a) != len(b):
                return False
            for (ka, va), (kb, vb) in zip(a.items(), b.items()):
                pending += [(ka, kb), (va, vb)]
        elif a != b:
            return False
    return True


def outcome(fn, data, **hooks):
    """("ok", value) or ("error", exception) of one decoder."""
    try:
        return "ok", fn(data, **hooks)
    except Exception as e:  # noqa: BLE001 - the class is what is compared
        return "error", e


# ---- Values and raw encodings ----

hashable_scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
                    | st.floats(allow_nan=False) | st.text() | st.binary())
exts = st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=20))
timestamps = st.builds(msgpack.Timestamp, st.integers(-(2**63), 2**63 - 1),
                       st.integers(0, 999_999_999))
scalars = hashable_scalars | st.floats() | exts | timestamps
values = st.recursive(
    scalars,
    lambda inner: (st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple)
                   | st.dictionaries(hashable_scalars | exts | timestamps, inner, max_size=4)),
    max_leaves=25)


def _with_length(draw, fixed_base, fixed_limit, markers, n):
    """A header for length `n` in any form that holds it (fixed, 8, 16 or 32 bits)."""
    forms = []
    if fixed_base is not None and n < fixed_limit:
        forms.append(bytes([fixed_base | n]))
    for marker, fmt in zip(markers, (">B", ">H", ">I")):
        if marker is not None and n < 256 ** struct.calcsize(fmt):
            forms.append(bytes([marker]) + struct.pack(fmt, n))
    return draw(st.sampled_from(forms))


@st.composite
def raw_scalar(draw):
    """Any scalar encoding, in every width the format allows, not only the shortest one
    that packers write: ints of any width, float32, str bodies that may not be UTF-8,
    ext of any code (timestamps of any length among them)."""
    kind = draw(st.sampled_from(["int", "float", "str", "bin", "ext", "timestamp", "fixed"]))
    if kind == "int":
        fmt, marker = draw(st.sampled_from([(">B", 0xcc), (">H", 0xcd), (">I", 0xce),
                                            (">Q", 0xcf), (">b", 0xd0), (">h", 0xd1),
                                            (">i", 0xd2), (">q", 0xd3)]))
        bits = 8 * struct.calcsize(fmt)
        lo, hi = (0, 2**bits - 1) if fmt[1].isupper() else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
        return bytes([marker]) + struct.pack(fmt, draw(st.integers(lo, hi)))
    if kind == "float":
        if draw(st.booleans()):
            return b"\xca" + draw(st.binary(min_size=4, max_size=4))
        return b"\xcb" + draw(st.binary(min_size=8, max_size=8))
    if kind == "str":
        body = draw(st.text(max_size=10).map(str.encode) | st.binary(max_size=10))
        return _with_length(draw, 0xa0, 32, (0xd9, 0xda, 0xdb), len(body)) + body
    if kind == "bin":
        body = draw(st.binary(max_size=10))
        return _with_length(draw, None, 0, (0xc4, 0xc5, 0xc6), len(body)) + body
    if kind in ("ext", "timestamp"):
        code = -1 if kind == "timestamp" else draw(st.integers(-128, 127))
        body = draw(st.sampled_from([b"\0" * 4, b"\x3b\x9a\xca\x00" + b"\0" * 4]) | st.binary(max_size=13))
        fixed = {1: 0xd4, 2: 0xd5, 4: 0xd6, 8: 0xd7, 16: 0xd8}
        forms = [bytes([m]) + struct.pack(f, len(body)) for m, f in
                 ((0xc7, ">B"), (0xc8, ">H"), (0xc9, ">I"))]
        if len(body) in fixed:
            forms.append(bytes([fixed[len(body)]]))
        return draw(st.sampled_from(forms)) + struct.pack(">b", code) + body
    return draw(st.sampled_from([b"\xc0", b"\xc2", b"\xc3", b"\x00", b"\x7f", b"\xe0", b"\xff"]))


def raw_container(children):
    @st.composite
    def build(draw):
        items = draw(st.lists(children, max_size=4))
        if draw(st.booleans()):
            return _with_length(draw, 0x90, 16, (None, 0xdc, 0xdd), len(items)) + b"".join(items)
        pairs = len(items) // 2
        return _with_length(draw, 0x80, 16, (None, 0xde, 0xdf), pairs) + b"".join(
            items[: 2 * pairs])
    return build()


raw_values = st.recursive(raw_scalar(), raw_container, max_leaves=20)


@st.composite
def damaged(draw):
    """A valid encoding cut short, with a byte changed, or with bytes added."""
    data = draw(raw_values | values.map(reference_pack))
    how = draw(st.sampled_from(["cut", "change", "append"]))
    if how == "cut":
        return data[: draw(st.integers(0, max(0, len(data) - 1)))]
    if how == "append":
        return data + draw(st.binary(min_size=1, max_size=3))
    at = draw(st.integers(0, len(data) - 1))
    return data[:at] + bytes([draw(st.integers(0, 255))]) + data[at + 1:]


# ---- Encoding ----

class TestEncode:
    @settings(max_examples=400, deadline=None)
    @given(values)
    def test_matches_the_packer(self, value):
        assert packb(value) == reference_pack(value)

    EDGES = [
        0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
        -1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63),
        0.0, -0.0, float("inf"), float("-inf"), float("nan"), struct.unpack(">d", b"\x7f\xf0\0\0\0\0\0\1")[0],
        "", "a" * 31, "a" * 32, "é" * 127, "b" * 255, "b" * 256, "c" * 65535, "c" * 65536,
        "\U0001f600", b"", b"x" * 255, b"x" * 256, b"y" * 65535, b"y" * 65536,
        list(range(15)), list(range(16)), list(range(65536)), dict.fromkeys(range(15)),
        dict.fromkeys(range(16)), dict.fromkeys(range(65536)),
        msgpack.ExtType(0, b""), msgpack.ExtType(127, b"x" * 3), msgpack.ExtType(5, b"x" * 16),
        msgpack.ExtType(5, b"x" * 256), msgpack.ExtType(5, b"x" * 65536),
        msgpack.Timestamp(0, 0), msgpack.Timestamp(2**32 - 1, 0), msgpack.Timestamp(2**32, 0),
        msgpack.Timestamp(1, 1), msgpack.Timestamp(2**34 - 1, 999_999_999),
        msgpack.Timestamp(2**34, 0), msgpack.Timestamp(-1, 5), msgpack.Timestamp(-(2**63), 0),
    ]

    @pytest.mark.parametrize("value", EDGES, ids=lambda v: type(v).__name__)
    def test_format_edges(self, value):
        assert packb(value) == reference_pack(value)

    class Small(enum.IntEnum):
        ONE = 1

    class Int(int):
        pass

    class Float(float):
        pass

    class Str(str):
        pass

    class Bytes(bytes):
        pass

    class List(list):
        pass

    class Tuple(tuple):
        pass

    class Dict(dict):
        pass

    class ReversedItems(dict):
        def items(self):
            return reversed(list(super().items()))

    class Ext(msgpack.ExtType):
        pass

    Pair = collections.namedtuple("Pair", "a b")

    SUBCLASSES = [
        Small.ONE, Int(2**64 - 1), Int(-5), Float(-0.0), Str("sub"), Str("gr\u00fc\u00dfe"),
        Bytes(b"b"), bytearray(b"ba"), memoryview(b"mv"), memoryview(bytearray(300)),
        List([1, List([2])]), Tuple((1, 2)), Pair(1, [2]), Dict(a=1, b=Dict(c=2)),
        ReversedItems(a=1, b=2, c=3), collections.OrderedDict(z=1, a=2),
        collections.Counter("abca"), Ext(3, b"e"), [True, 1, 1.0, "1", b"1"],
    ]

    @pytest.mark.parametrize("value", SUBCLASSES, ids=lambda v: type(v).__name__)
    def test_subclasses_as_the_packer(self, value):
        assert packb(value) == reference_pack(value)

    def test_dict_in_insertion_order(self):
        d = {"b": 1, "a": 2, 3: 3}
        assert packb(d) == b"\x83\xa1b\x01\xa1a\x02\x03\x03"

    class Point:
        def __init__(self, x, child=None):
            self.x, self.child = x, child

    @staticmethod
    def default(o):
        if isinstance(o, TestEncode.Point):
            return {"x": o.x, "child": o.child}  # the child may need default again
        if isinstance(o, (set, frozenset)):
            return sorted(o)
        if isinstance(o, int):
            return f"big:{o}"
        if isinstance(o, msgpack.Timestamp):
            return ["timestamp subclass", o.seconds]
        return o  # unchanged: the packer's TypeError names its type

    class Stamp(msgpack.Timestamp):
        pass

    DEFAULTED = [
        Point(1, Point(2, Point(3))), {1, 2, 3}, [frozenset({"a"}), {"k": Point(0)}],
        2**64, -(2**63) - 1, [2**100], Stamp(1, 2), {Point(1).x: Point(2)},
    ]

    @pytest.mark.parametrize("value", DEFAULTED, ids=lambda v: type(v).__name__)
    def test_default_as_the_packer_applies_it(self, value):
        assert packb(value, default=self.default) == reference_pack(value, self.default)

    def errors(self, value, default=None):
        with pytest.raises(Exception) as ours:
            packb(value, default=default)
        with pytest.raises(Exception) as theirs:
            reference_pack(value, default)
        return ours.value, theirs.value

    @pytest.mark.parametrize("value, cls", [
        (object(), TypeError), (2**64, OverflowError), (-(2**63) - 1, OverflowError),
        ([1, {2: {1j}}], TypeError), ("a\ud800b", UnicodeEncodeError),
        ({"k": "\udfff"}, UnicodeEncodeError), (Stamp(1, 2), TypeError),
        (memoryview(b"abcd")[::2], BufferError),
    ], ids=lambda v: repr(v)[:20])
    def test_errors_of_the_packer(self, value, cls):
        ours, theirs = self.errors(value)
        assert type(ours) is type(theirs) is cls
        assert str(ours) == str(theirs)

    def test_default_result_that_no_rule_encodes(self):
        ours, theirs = self.errors(object(), default=lambda o: 1j)
        assert type(ours) is type(theirs) is TypeError
        assert str(ours) == str(theirs) == "can not serialize 'complex' object"
        ours, theirs = self.errors(object(), default=lambda o: 2**64)
        assert type(ours) is OverflowError and str(ours) == str(theirs)

    def test_default_called_once_per_value(self):
        seen = []

        def default(o):
            seen.append(o)
            return o if len(seen) < 5 else None

        with pytest.raises(TypeError):
            packb(object(), default=default)
        assert len(seen) == 1

    def test_default_error_propagates_unchanged(self):
        error = KeyError("mine")

        def default(o):
            raise error

        with pytest.raises(KeyError) as caught:
            packb([1, {"a": object()}], default=default)
        assert caught.value is error

    def test_nesting_limit(self):
        ok, too_deep = nested_lists(1024), nested_lists(1025)
        assert packb(ok) == reference_pack(ok)
        assert same(reference_unpack(packb(ok)), ok)
        for value in (too_deep, nested_dicts(1025), [nested_lists(1024)]):
            with pytest.raises(VornLimitError, match="^value nested deeper than 1024 levels$"):
                packb(value)
        # default's result counts where the value stood.
        with pytest.raises(VornLimitError):
            packb(nested_lists(1024, inner=object()), default=lambda o: [])
        assert packb(nested_lists(1023, inner=object()), default=lambda o: []) == reference_pack(
            nested_lists(1024))

    def test_self_reference_stops_at_the_limit(self):
        loop = []
        loop.append(loop)
        with pytest.raises(VornLimitError):
            packb(loop)
        with pytest.raises(VornLimitError):
            packb(object(), default=lambda o: [o])

    def test_container_changed_by_default(self):
        grown = [object(), 1]
        with pytest.raises(RuntimeError, match="list changed size"):
            packb(grown, default=lambda o: grown.append(0))
        shrunk = {"a": object(), "b": 1}
        with pytest.raises(RuntimeError, match="dictionary changed size"):
            packb(shrunk, default=lambda o: shrunk.pop("b"))

    def test_containers_changed_by_other_threads(self):
        """Without the GIL another thread changes a list or dict while it is encoded: each
        encoding is still one whole value, or the change is reported."""
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
                            data = packb(value)
                        except RuntimeError as e:
                            assert "changed size" in str(e)
                            continue
                        reference_unpack(data)  # one whole value, nothing after it
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(e)

        threads = [threading.Thread(target=encode) for _ in range(3)]
        mutator = threading.Thread(target=mutate)
        mutator.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        mutator.join()
        assert failures == []

    def test_appends_to_the_output_of_earlier_values(self):
        # Many values of growing size through one call each: the output buffer's growth.
        for n in (0, 1, 200, 300, 70000):
            value = ["x" * n, b"y" * n, list(range(n % 300))]
            assert packb(value) == reference_pack(value)


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


# ---- Decoding ----

class TestDecode:
    @settings(max_examples=400, deadline=None)
    @given(values)
    def test_round_trip(self, value):
        data = reference_pack(value)
        assert same(unpackb(data), reference_unpack(data))

    @settings(max_examples=500, deadline=None)
    @given(raw_values | damaged() | st.binary(max_size=12))
    def test_any_input_as_msgpack(self, data):
        """Equal results where msgpack-python accepts the data; VornDecodeError where it
        refuses it, whatever its own exception."""
        theirs = outcome(reference_unpack, data)
        ours = outcome(unpackb, data)
        if theirs[0] == "ok":
            assert ours[0] == "ok", ours[1]
            assert same(ours[1], theirs[1])
        else:
            assert ours[0] == "error" and type(ours[1]) is VornDecodeError, (theirs[1], ours[1])

    @settings(max_examples=300, deadline=None)
    @given(raw_values | values.map(reference_pack))
    def test_hooks_called_as_msgpack_calls_them(self, data):
        def hooks():
            calls = []

            def object_hook(d):
                calls.append(("map", d))
                return ("map", tuple(map(repr, d.items())))

            def ext_hook(code, payload):
                calls.append(("ext", code, payload))
                return ("ext", code, payload)

            return calls, {"object_hook": object_hook, "ext_hook": ext_hook}

        calls_theirs, hooks_theirs = hooks()
        calls_ours, hooks_ours = hooks()
        theirs = outcome(reference_unpack, data, **hooks_theirs)
        ours = outcome(unpackb, data, **hooks_ours)
        if theirs[0] == "ok":
            assert ours[0] == "ok", ours[1]
            assert same(ours[1], theirs[1])
            assert same(calls_ours, calls_theirs)
        else:
            assert ours[0] == "error"

    def test_object_hook_innermost_first(self):
        seen = []
        data = reference_pack({"a": {"b": {}}, "c": [{"d": 1}]})
        unpackb(data, object_hook=lambda d: seen.append(sorted(d)) or len(seen))
        assert seen == [[], ["b"], ["d"], ["a", "c"]]

    def test_timestamp_bypasses_ext_hook(self):
        data = reference_pack([msgpack.Timestamp(5, 6), msgpack.ExtType(1, b"x")])
        value = unpackb(data, ext_hook=lambda code, payload: (code, payload))
        assert value == [msgpack.Timestamp(5, 6), (1, b"x")]
        assert same(unpackb(data), [msgpack.Timestamp(5, 6), msgpack.ExtType(1, b"x")])

    def test_reserved_ext_codes_go_to_the_hook(self):
        data = b"\xd4\xfb\x01"
        assert unpackb(data, ext_hook=lambda code, payload: (code, payload)) == (-5, b"\x01")

    @pytest.mark.parametrize("hook", ["ext_hook", "object_hook"])
    @pytest.mark.parametrize("error", [KeyError("k"), ValueError("v"), MemoryError()])
    def test_hook_errors_propagate_unchanged(self, hook, error):
        def raising(*args):
            raise error

        data = reference_pack([1, {"a": msgpack.ExtType(1, b"")}, "tail"])
        with pytest.raises(type(error)) as caught:
            unpackb(data, **{hook: raising})
        assert caught.value is error

    def test_key_made_unhashable_by_a_hook_raises_as_python_does(self):
        data = reference_pack({msgpack.ExtType(1, b""): 1})
        with pytest.raises(TypeError, match="unhashable"):
            unpackb(data, ext_hook=lambda code, payload: [code])

    def test_keys_of_any_hashable_type(self):
        value = {None: 1, True: 2, 3: 3, -4.5: 4, b"b": 5, "s": 6,
                 msgpack.ExtType(1, b"e"): 7, msgpack.Timestamp(1, 0): 8}
        assert same(unpackb(reference_pack(value)), value)
        # Duplicate keys: the last value under the first key object, as dict keeps it.
        assert same(unpackb(b"\x82\x01\xa1a\xcb\x3f\xf0\0\0\0\0\0\0\xa1b"), {1: "b"})

    def test_tuples_come_back_as_lists(self):
        assert same(unpackb(packb((1, (2, ())))), [1, [2, []]])

    def test_nesting_limit(self):
        for ok in (nested_lists(1024), nested_dicts(1024)):
            assert same(unpackb(reference_pack(ok)), ok)
        for too_deep in (nested_lists(1025), nested_dicts(1025)):
            data = reference_pack(too_deep)  # msgpack's packer writes one level more
            with pytest.raises(msgpack.StackError):
                reference_unpack(data)
            with pytest.raises(VornDecodeError, match="^value nested deeper than 1024 levels$"):
                unpackb(data)

    MALFORMED = [
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
        (b"\xcb\0\0\0", "data ends inside a float at byte 0"),
        (b"\xca\0", "data ends inside a float at byte 0"),
        (b"\xc4\x05ab", "data ends inside a bin at byte 0"),
        (b"\xd7\x01\0", "data ends inside an ext at byte 0"),
        (b"\xc7", "data ends inside an ext at byte 0"),
        (b"\xc7\x02\x05\0", "data ends inside an ext at byte 0"),
        (b"\x91\xa2\xc3\x28", "invalid UTF-8 in a str at byte 1"),
        (b"\xa3\xed\xa0\x80", "invalid UTF-8 in a str at byte 0"),  # an encoded surrogate
        (b"\x82\x01\x02\x91\x01\x02", "map key of unhashable type 'list' at byte 3"),
        (b"\x81\x80\x01", "map key of unhashable type 'dict' at byte 1"),
        (b"\xd4\x80\x00", "reserved ext type -128 at byte 0"),
        (b"\xc7\x03\xff\0\0\0", "timestamp of 3 bytes at byte 0 (4, 8 or 12 expected)"),
        (b"\xd7\xff\xff\xff\xff\xfc\0\0\0\0",
         "timestamp at byte 0 has 1073741823 nanoseconds (at most 999999999)"),
    ]

    @pytest.mark.parametrize("data, reason", MALFORMED, ids=lambda v: repr(v)[:24])
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
        data = header + b"\x00" * 10
        tracemalloc.start()
        try:
            with pytest.raises(VornDecodeError, match="^data ends inside .* at byte 0$"):
                unpackb(data)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 64 * 1024

    def test_failures_release_what_was_built(self):
        # Each input fails after building lists, dicts and strs; none may stay behind.
        inputs = [b"\x93\xa3abc\x81\x01\x92\x02" + b"\xa4x", b"\x82\xa1a\x91\x01\x91\x01\x02",
                  b"\x92" + reference_pack({"k": list(range(50))}) + b"\xc1",
                  b"\x91" * 1025 + b"\xa4leaf"]

        def run():
            for data in inputs:
                try:
                    unpackb(data)
                except VornDecodeError:
                    pass
                try:
                    unpackb(reference_pack([{"a": 1}, "x"]), object_hook=lambda d: 1 / 0)
                except ZeroDivisionError:
                    pass

        for data in inputs:
            with pytest.raises(VornDecodeError):
                unpackb(data)
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

    def test_float32_widened_as_msgpack(self):
        for bits in (b"\x3f\xc0\0\0", b"\x80\0\0\0", b"\x7f\x80\0\0", b"\x7f\xc0\0\x01", b"\0\0\0\x01"):
            data = b"\xca" + bits
            assert same(unpackb(data), reference_unpack(data))
        assert math.isnan(unpackb(b"\xca\x7f\xc0\0\0"))
