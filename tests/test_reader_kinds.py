"""What both reader kinds, a store file and a sharded directory, offer alike: dict views,
pickles that keep their store, the package's exceptions, and any file name the system
takes."""

import errno
import os
import pickle

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vornel
import vornel.errors
from _vornel import _VornWriter
from sharded_sets import build_set

MODEL = {f"k{i:03d}": {"n": i, "odd": i % 2 == 1} for i in range(60)} | {b"\xff": [1], "": 0}


def make(kind, path, model=MODEL):
    if kind == "file":
        vornel.build(path, model)
    else:
        build_set(path, model.items(), 4)
    return path


@pytest.fixture(params=["file", "sharded"])
def kind(request):
    return request.param


@pytest.fixture
def reader(kind, tmp_path):
    with vornel.open(make(kind, tmp_path / "store")) as r:
        yield r


keys = st.sampled_from(sorted(MODEL, key=vornel.keys.key_bytes)) | st.text(max_size=4)


class TestViews:
    """keys(), values() and items() as dict views: sized, with `in`, and reversible."""

    def test_each_view_reverses_to_its_listing(self, reader):
        ordered = sorted(MODEL, key=vornel.keys.key_bytes)
        assert list(reader.keys()) == ordered
        for view, want in [(reader.keys(), ordered),
                           (reader.values(), [MODEL[k] for k in ordered]),
                           (reader.items(), [(k, MODEL[k]) for k in ordered])]:
            assert len(view) == len(MODEL)
            assert list(reversed(view)) == list(view)[::-1] == want[::-1]

    # The reader is only read: one serves every example.
    @settings(max_examples=60, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(key=keys, value=st.integers(0, 70).map(lambda n: {"n": n, "odd": n % 2 == 1}))
    def test_membership_as_a_dict_answers(self, reader, key, value):
        assert (key in reader.keys()) == (key in MODEL.keys())
        assert (value in reader.values()) == (value in MODEL.values())
        assert ((key, value) in reader.items()) == ((key, value) in MODEL.items())


class TestPickles:
    def test_a_copy_serves_the_same_store(self, reader):
        copy = pickle.loads(pickle.dumps(reader))
        with copy:
            assert type(copy) is type(reader) and dict(copy) == dict(reader)

    def test_a_changed_store_is_refused_and_the_path_still_opens(self, kind, tmp_path):
        path = make(kind, tmp_path / "store")
        with vornel.open(path) as r:
            data = pickle.dumps(r)
        make(kind, path, {"a": 2, "b": 3})  # rebuilt in place
        with pytest.raises(vornel.VornError, match="changed since the reader was pickled"):
            pickle.loads(data)
        with vornel.open(path) as fresh:
            assert dict(fresh) == {"a": 2, "b": 3}

    def test_a_closed_reader_refuses_to_pickle(self, reader):
        reader.close()
        with pytest.raises(ValueError, match="I/O operation on closed store"):
            pickle.dumps(reader)


class TestErrors:
    @pytest.mark.parametrize("name", [n for n in vornel.errors.__all__
                                      if isinstance(getattr(vornel.errors, n), type)])
    def test_every_exception_is_exported(self, name):
        cls = getattr(vornel.errors, name)
        assert getattr(vornel, name) is cls and name in vornel.__all__
        assert issubclass(cls, (vornel.VornError, vornel.PanicException))

    # A stored payload that is not MessagePack, read through every kind of access: the
    # error names the key and is msgpack's own class for the fault too.
    @pytest.mark.parametrize(("payload", "cls", "details"), [
        (b"\x01\x02", msgpack.ExtraData, {"unpacked": 1, "extra": b"\x02"}),
        (b"\xc1", msgpack.FormatError, {}),
        (b"\x91" * 1100 + b"\x01", msgpack.StackError, {}),
        (b"\xa2\xc3\x28", UnicodeDecodeError, {"object": b"\xc3\x28", "start": 0}),
    ])
    def test_undecodable_values_as_msgpack_raises_them(self, tmp_path, payload, cls, details):
        w = _VornWriter()
        w.add_key("bad", w.add_object_raw(payload))
        path = tmp_path / "bad.vrnl"
        w.build(str(path))
        with vornel.open(path) as r:
            for read in (lambda: r["bad"], lambda: r.get_many(["bad"]), lambda: list(r.items()),
                         lambda: list(r.values())):
                with pytest.raises(cls) as caught:
                    read()
                assert isinstance(caught.value, vornel.VornDecodeError)
                assert str(caught.value).startswith("cannot decode the value of key 'bad': ")
                for name, want in details.items():
                    assert getattr(caught.value, name) == want


class TestFileNames:
    NAME = b"caf\xe9"  # Latin-1, not UTF-8: a name the system takes all the same

    @pytest.mark.parametrize("form", [bytes, os.fsdecode, lambda p: __import__("pathlib").Path(
        os.fsdecode(p))])
    def test_any_name_the_system_takes(self, kind, tmp_path, form):
        path = os.path.join(os.fsencode(tmp_path), self.NAME)
        if kind == "file":
            vornel.build(form(path), {"a": 1})
            w = vornel.VornWriter()
            w.add("b", 2)
            assert os.fsdecode(self.NAME) in w.build(form(path))
        else:
            build_set(os.fsdecode(path), {"b": 2}.items(), 2)
        with vornel.open(form(path)) as r:
            assert dict(r) == {"b": 2}
            assert pickle.loads(pickle.dumps(r))["b"] == 2
        missing = form(os.path.join(os.fsencode(tmp_path), b"no-" + self.NAME))
        with pytest.raises(FileNotFoundError) as caught:
            vornel.open(missing)
        assert os.fsencode(caught.value.filename).endswith(b"no-" + self.NAME)

    def test_the_tool_takes_it(self, tmp_path):
        import subprocess
        import sys
        path = os.path.join(os.fsencode(tmp_path), self.NAME)
        tool = [sys.executable, "-m", "vornel"]
        built = subprocess.run([*tool, "build", path, "-"], input=b'{"key": "a", "value": 1}\n',
                               capture_output=True)
        assert built.returncode == 0, built.stderr
        got = subprocess.run([*tool, "get", path, "a"], capture_output=True)
        assert got.stdout == b"1\n"

    def test_a_directory_without_a_manifest_is_a_directory(self, tmp_path):
        with pytest.raises(IsADirectoryError) as caught:
            vornel.open(tmp_path)
        assert caught.value.errno == errno.EISDIR and caught.value.filename == str(tmp_path)
        assert isinstance(caught.value, vornel.VornIOError)
