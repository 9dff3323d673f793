"""Argument binding and conversion at the module boundary."""

import array
import pathlib
import threading

import numpy as np
import pytest

from _vornel import _VornReader, _VornWriter


def writer_with(n):
    w = _VornWriter()
    for i in range(n):
        w.add_object_raw(bytes([i]))
    return w


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


# Every message family of the binder, on callables with 0, 1, 2 and 3 parameters.
@pytest.mark.parametrize("call, text", [
    (lambda w, r: _VornWriter(1),
     "_VornWriter.__new__() takes 0 positional arguments but 1 was given"),
    (lambda w, r: _VornWriter(x=1), "_VornWriter.__new__() got an unexpected keyword argument 'x'"),
    (lambda w, r: _VornReader(), "_VornReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda w, r: _VornReader("p", True, 3),
     "_VornReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda w, r: _VornReader(verify=True),
     "_VornReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda w, r: _VornReader("p", path="q"),
     "_VornReader.__new__() got multiple values for argument 'path'"),
    (lambda w, r: r.get_raw(b"a", key=b"a"), "_VornReader.get_raw() got multiple values for argument 'key'"),
    (lambda w, r: r.get_raw(k=b"a"), "_VornReader.get_raw() got an unexpected keyword argument 'k'"),
    (lambda w, r: r.exists(), "_VornReader.exists() missing 1 required positional argument: 'key'"),
    (lambda w, r: r.prefix_raw(b"a", b"b"),
     "_VornReader.prefix_raw() takes 1 positional arguments but 2 were given"),
    (lambda w, r: w.add_key(),
     "_VornWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    (lambda w, r: w.add_key(obj_id=0), "_VornWriter.add_key() missing 1 required positional argument: 'key'"),
    (lambda w, r: w.add_key("k", 0, 1),
     "_VornWriter.add_key() takes 2 positional arguments but 3 were given"),
    (lambda w, r: w.add_key("k", 0, obj_id=0),
     "_VornWriter.add_key() got multiple values for argument 'obj_id'"),
    (lambda w, r: w.add_key("k", obj_id=0, key="j"),
     "_VornWriter.add_key() got multiple values for argument 'key'"),
    (lambda w, r: w.add_object_raw(), "_VornWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    (lambda w, r: w.build(), "_VornWriter.build() missing 1 required positional argument: 'path'"),
    (lambda w, r: r.__exit__(),
     "_VornReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
    (lambda w, r: r.__exit__(None, _exc_tb=None),
     "_VornReader.__exit__() missing 1 required positional argument: '_exc_val'"),
    (lambda w, r: r.__exit__(None, None, None, None),
     "_VornReader.__exit__() takes 3 positional arguments but 4 were given"),
])
def test_binding_messages(store_path, call, text):
    w, r = writer_with(1), _VornReader(store_path)
    assert error_of(lambda: call(w, r)) == (TypeError, text)


def test_keyword_order_decides_the_first_error(store_path):
    # Keywords are checked in the caller's order: the unknown one comes first here.
    w = writer_with(1)
    assert error_of(lambda: w.add_key("k", bogus=1, key="j"))[1].endswith("unexpected keyword argument 'bogus'")
    assert error_of(lambda: w.add_key("k", key="j", bogus=1))[1].endswith("multiple values for argument 'key'")


def test_all_parameters_accept_keywords(store_path):
    w = _VornWriter()
    assert w.add_object_raw(raw_bytes=b"v") == 0
    w.add_key(obj_id=0, key="k")
    r = _VornReader(verify=False, path=store_path)
    assert r.get_raw(key="a") == b"x"
    assert r.exists(key="b") is True
    assert [k for k, _ in r.prefix_raw(prefix="a")] == ["a", "ab"]
    assert r.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is False


E_ACUTE = [
    "é",
    b"\xc3\xa9",
    bytearray(b"\xc3\xa9"),
    [0xC3, 0xA9],
    (0xC3, 0xA9),
    memoryview(b"\xc3\xa9"),
    array.array("B", [0xC3, 0xA9]),
    type("S", (str,), {})("é"),
    type("B", (bytes,), {})(b"\xc3\xa9"),
]


@pytest.mark.parametrize("key", E_ACUTE, ids=lambda k: type(k).__name__)
def test_key_forms_name_the_same_key(tmp_path, key):
    w = writer_with(2)
    w.add_key("é", 0)
    w.add_key(key, 1)  # rebinding: the same key bytes whatever the form
    assert repr(w) == "_VornWriter(objects=2, keys=1)"
    path = str(tmp_path / "k.vrnl")
    w.build(path)
    r = _VornReader(path)
    assert r.get_raw(key) == b"\x01"
    assert r.exists(key)
    assert r.prefix_raw(key) == [("é", b"\x01")]


class Items:
    """A sequence whose items or iteration misbehave."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        raise RuntimeError("no length")  # only a hint: must not matter

    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError("boom")
        return self.items[i]


@pytest.mark.parametrize("key", [
    5, None, {}, {"a": 1}, [256], [-1], [1.0], ["a"], "\udc80", "a\udc80b", 3.5, object(),
    Items([1, 2], fail_at=1), iter([1, 2]),
], ids=repr)
def test_unconvertible_keys(store_path, key):
    w, r = writer_with(1), _VornReader(store_path)
    for call in (lambda: w.add_key(key, 0), lambda: r.get_raw(key), lambda: r.exists(key),
                 lambda: r.prefix_raw(key)):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == ("key must be str or bytes",)
        assert info.value.__cause__ is None and info.value.__suppress_context__ is False
        assert info.value.__context__ is None
    assert repr(w) == "_VornWriter(objects=1, keys=0)"


def test_sequence_keys_ignore_a_failing_length(tmp_path):
    w = writer_with(1)
    w.add_key(Items([0x61, 0x62]), 0)
    path = str(tmp_path / "s.vrnl")
    w.build(path)
    assert _VornReader(path).keys() == ["ab"]


class Index:
    def __init__(self, value=None, exc=None):
        self.value, self.exc = value, exc

    def __index__(self):
        if self.exc is not None:
            raise self.exc
        return self.value


def test_obj_id_conversion():
    w = writer_with(3)
    w.add_key("t", True)
    w.add_key("i", Index(2))
    w.add_key("n", np.int64(1))
    assert repr(w) == "_VornWriter(objects=3, keys=3)"
    assert error_of(lambda: w.add_key("k", -1))[0] is OverflowError
    assert error_of(lambda: w.add_key("k", 2**64))[0] is OverflowError
    assert error_of(lambda: w.add_key("k", Index(-5)))[0] is OverflowError
    assert error_of(lambda: w.add_key("k", 1.0)) == (
        TypeError, "argument 'obj_id': 'float' object cannot be interpreted as an integer")
    assert error_of(lambda: w.add_key("k", "1"))[1].startswith("argument 'obj_id': ")
    # obj_id is converted before the key.
    assert error_of(lambda: w.add_key(None, -1))[0] is OverflowError
    assert error_of(lambda: w.add_key(None, 1.5))[1].startswith("argument 'obj_id': ")
    assert error_of(lambda: w.add_key("k", 2**64 - 1)) == (
        ValueError, "VornError: obj_id 18446744073709551615 out of range (have 3 objects)")


def test_wrapping_keeps_the_cause_and_spares_subclasses():
    w = writer_with(1)
    root = KeyError("root")
    exc = TypeError("inner")
    exc.__cause__ = root
    with pytest.raises(TypeError) as info:
        w.add_key("k", Index(exc=exc))
    assert str(info.value) == "argument 'obj_id': inner"
    assert info.value.__cause__ is root

    class MyTypeError(TypeError):
        pass

    mine = MyTypeError("mine")
    with pytest.raises(MyTypeError) as info:
        w.add_key("k", Index(exc=mine))
    assert info.value is mine
    with pytest.raises(ZeroDivisionError):
        w.add_key("k", Index(exc=ZeroDivisionError()))


@pytest.mark.parametrize("value", [bytearray(b"x"), memoryview(b"x"), "x", None, 1])
def test_raw_bytes_must_be_bytes(value):
    w = _VornWriter()
    name = "None" if value is None else type(value).__qualname__
    expected = (f"argument 'raw_bytes': 'None' is not an instance of 'bytes'" if value is None else
                f"argument 'raw_bytes': '{name}' object is not an instance of 'bytes'")
    assert error_of(lambda: w.add_object_raw(value)) == (TypeError, expected)
    assert repr(w) == "_VornWriter(objects=0, keys=0)"
    assert w.add_object_raw(type("B", (bytes,), {})(b"sub")) == 0


@pytest.mark.parametrize("path, text", [
    (pathlib.Path("x.vrnl"), "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    (b"x.vrnl", "argument 'path': 'bytes' object is not an instance of 'str'"),
    (None, "argument 'path': 'None' is not an instance of 'str'"),
])
def test_path_must_be_str(path, text):
    assert error_of(lambda: _VornReader(path)) == (TypeError, text)
    assert error_of(lambda: _VornWriter().build(path)) == (TypeError, text)


def test_unencodable_path_passes_the_interpreters_error():
    assert error_of(lambda: _VornReader("a\udc80"))[0] is UnicodeEncodeError
    assert error_of(lambda: _VornWriter().build("a\udc80"))[0] is UnicodeEncodeError


class NumpyLike:
    """Types that claim to be numpy's boolean by module and name."""

    @staticmethod
    def make(name, **body):
        return type(name, (), {"__module__": "numpy", **body})


def test_verify_flag(store_path, tmp_path):
    damaged = tmp_path / "damaged.vrnl"
    blob = bytearray(open(store_path, "rb").read())
    blob[-1] ^= 1
    damaged.write_bytes(bytes(blob))
    for off in (False, np.bool_(False), NumpyLike.make("bool_", __bool__=lambda s: False)()):
        _VornReader(str(damaged), verify=off)  # opens: the checksum is skipped
    for on in (True, np.bool_(True), NumpyLike.make("bool", __bool__=lambda s: True)()):
        with pytest.raises(RuntimeError, match="^VornCorruptError: file CRC32 mismatch"):
            _VornReader(str(damaged), verify=on)
    # Absent means true.
    with pytest.raises(RuntimeError):
        _VornReader(str(damaged))


@pytest.mark.parametrize("value, text", [
    (1, "argument 'verify': 'int' object is not an instance of 'bool'"),
    (0, "argument 'verify': 'int' object is not an instance of 'bool'"),
    (None, "argument 'verify': 'None' is not an instance of 'bool'"),
    ("yes", "argument 'verify': 'str' object is not an instance of 'bool'"),
    (np.int64(1), "argument 'verify': 'int64' object is not an instance of 'bool'"),
    (NumpyLike.make("bool_")(),
     "argument 'verify': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (NumpyLike.make("bool", __bool__=lambda s: 1 / 0)(), None),
])
def test_verify_flag_rejections(value, text):
    # The flag is converted before the file is touched: a missing file is never reached.
    kind, message = error_of(lambda: _VornReader("/nonexistent/x.vrnl", verify=value))
    if text is None:
        assert kind is ZeroDivisionError
    else:
        assert (kind, message) == (TypeError, text)


def test_reentrant_staging_conflicts():
    w = writer_with(1)

    class Reenter:
        def __index__(self):
            w.add_object_raw(b"inner")
            return 0

    # From obj_id's __index__ the conflict propagates unwrapped.
    assert error_of(lambda: w.add_key("k", Reenter())) == (RuntimeError, "Already borrowed")
    # From the key conversion it is absorbed into the key error.
    key = Items([Reenter()])
    assert error_of(lambda: w.add_key(key, 0)) == (ValueError, "key must be str or bytes")
    assert repr(w) == "_VornWriter(objects=1, keys=0)"

    # A representation taken during exclusive use is refused too.
    seen = []
    spy = type("I", (), {"__index__": lambda s: seen.append(error_of(lambda: repr(w))) or 0})()
    w.add_key("k", spy)
    assert seen == [(RuntimeError, "Already mutably borrowed")]
    assert repr(w) == "_VornWriter(objects=1, keys=1)"


def test_descriptor_self_check(store_path):
    r = _VornReader(store_path)
    with pytest.raises(TypeError):
        _VornWriter.add_key(r, "k", 0)
    with pytest.raises(TypeError):
        _VornReader.keys(_VornWriter())


class LyingLength:
    """A sequence whose __len__ claims `claimed` items whatever it holds."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


def test_length_hint_is_only_a_hint(tmp_path):
    # A huge hint must not be reserved up front: range(2**40) fails on its item 256,
    # like any sequence with an item above 255, not with MemoryError.
    w, path = writer_with(1), str(tmp_path / "h.vrnl")
    w.add_key("ab", 0)
    w.build(path)
    r = _VornReader(path)
    for call in (lambda k: w.add_key(k, 0), r.get_raw, r.exists, r.prefix_raw):
        assert error_of(lambda: call(range(2**40))) == (ValueError, "key must be str or bytes")
    # Hints far above or below the true length give the same key bytes.
    for claimed in (2**62, 2**40, 0, 1):
        key = LyingLength([0x61, 0x62], claimed)
        assert r.get_raw(key) == b"\x00"
        assert r.exists(key)
        assert r.prefix_raw(LyingLength([0x61], claimed)) == [("ab", b"\x00")]
        w.add_key(key, 0)
    assert repr(w) == "_VornWriter(objects=1, keys=1)"


def test_bytearray_keys_use_their_current_bytes(tmp_path):
    w, path = writer_with(2), str(tmp_path / "ba.vrnl")
    short, long = b"k", b"k" * 4096
    w.add_key(short, 0)
    w.add_key(long, 1)
    w.build(path)
    r = _VornReader(path)
    key = bytearray(short)
    assert r.get_raw(key) == b"\x00"
    key[:] = long  # reallocates the buffer
    assert r.get_raw(key) == b"\x01"

    # Another thread keeps resizing the key while lookups and staging read it. The key
    # is copied, so on an interpreter without the GIL no lookup reads freed memory.
    stop, seen, errors = threading.Event(), set(), []

    def resize():
        while not stop.is_set():
            key[:] = short
            key[:] = long

    def look_up():
        staging = _VornWriter()
        staging.add_object_raw(b"v")
        try:
            for _ in range(3000):
                seen.add(r.get_raw(key))
                staging.add_key(key, 0)
        except BaseException as exc:  # reported below, from the main thread
            errors.append(exc)

    threads = [threading.Thread(target=resize)] + [threading.Thread(target=look_up) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()
    assert errors == []
    assert seen <= {b"\x00", b"\x01", None}


def test_writer_access_kinds(tmp_path):
    # Inside add_key's exclusive claim: staging is refused as a conflicting exclusive
    # use, build and the representation as shared ones.
    w, path = writer_with(1), tmp_path / "never.vrnl"
    seen = {}

    class Spy:
        def __index__(self):
            seen["add_object_raw"] = error_of(lambda: w.add_object_raw(b"x"))
            seen["add_key"] = error_of(lambda: w.add_key("j", 0))
            seen["build"] = error_of(lambda: w.build(str(path)))
            seen["repr"] = error_of(lambda: repr(w))
            return 0

    w.add_key("k", Spy())
    borrowed, mutably = (RuntimeError, "Already borrowed"), (RuntimeError, "Already mutably borrowed")
    assert seen == {"add_object_raw": borrowed, "add_key": borrowed, "build": mutably, "repr": mutably}
    assert not path.exists()
    assert repr(w) == "_VornWriter(objects=1, keys=1)"
