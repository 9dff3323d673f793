"""The module and its classes as the interpreter sees them."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import _vornel
from _vornel import _VornReader, _VornWriter

READER_DOC = (
    "Low-level reader — returns raw msgpack bytes.\n"
    "**Use `vornel.VornReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads."
)
WRITER_DOC = (
    "Low-level writer — accepts pre-serialised msgpack bytes per object.\n"
    "**Use `vornel.VornWriter` (Python wrapper) instead of this directly.**"
)

METHODS = [
    (_VornReader, "get_raw", "($self, key)", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    (_VornReader, "exists", "($self, key)", "Key presence check — no I/O beyond the in-memory hash index."),
    (_VornReader, "prefix_raw", "($self, prefix)", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    (_VornReader, "keys", "($self)", "All keys in sorted order."),
    (_VornReader, "items_raw", "($self)", "All `(key, raw_bytes)` pairs in sorted key order."),
    (_VornReader, "items_raw_bytes", "($self)",
     "All `(key_bytes, raw_bytes)` pairs in sorted key order.\n\n"
     "Unlike `items_raw`, keys come back as `bytes` — no UTF-8 lossy decode,\n"
     "so `merge()` can round-trip non-UTF-8 keys unchanged."),
    (_VornReader, "objects_raw", "($self)", "Unique objects only (deduplicated by file offset)."),
    (_VornReader, "stats", "($self)", "Return file metadata as a `dict`."),
    (_VornReader, "verify", "($self)", "Deep CRC32 integrity check (whole-file + per-object)."),
    (_VornReader, "close", "($self)", None),
    (_VornReader, "__enter__", "($self)", None),
    (_VornReader, "__exit__", "($self, _exc_type, _exc_val, _exc_tb)", None),
    (_VornWriter, "add_object_raw", "($self, raw_bytes)",
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    (_VornWriter, "add_key", "($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    (_VornWriter, "build", "($self, path)", "Atomically write the `.vrnl` file: tmp → fsync → rename."),
]


def test_module_attributes():
    assert _vornel.__all__ == ["_VornWriter", "_VornReader", "__version__"]
    assert _vornel.__version__ == "0.3.0"
    assert _vornel.__doc__ == "vornel._vornel — native extension module entry-point"
    public = {n for n in dir(_vornel) if not n.startswith("__")}
    assert public == {"_VornWriter", "_VornReader"}


@pytest.mark.parametrize("cls, name, signature, doc", [
    (_VornReader, "_VornReader", "(path, verify=True)", READER_DOC),
    (_VornWriter, "_VornWriter", "()", WRITER_DOC),
])
def test_class_identity_and_docs(cls, name, signature, doc):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__bases__ == (object,)


def test_reader_signature_introspection():
    params = inspect.signature(_VornReader).parameters
    assert list(params) == ["path", "verify"]
    assert params["verify"].default is True
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert list(inspect.signature(_VornWriter).parameters) == []


@pytest.mark.parametrize("cls, name, signature, doc", METHODS, ids=[m[1] for m in METHODS])
def test_method_table(cls, name, signature, doc):
    method = cls.__dict__[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    bound = inspect.signature(getattr(cls, name))
    expected = [p.strip() for p in signature[1:-1].split(",")][1:]
    assert [p for p in bound.parameters if p != "self"] == expected


def test_method_tables_are_complete():
    def own(cls):
        return {n for n, v in vars(cls).items() if callable(v) and n not in ("__new__", "__repr__")}

    assert own(_VornReader) == {m[1] for m in METHODS if m[0] is _VornReader}
    assert own(_VornWriter) == {m[1] for m in METHODS if m[0] is _VornWriter}


@pytest.mark.parametrize("cls", [_VornReader, _VornWriter])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_are_closed(store_path):
    for obj in (_VornWriter(), _VornReader(store_path)):
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(TypeError):
            weakref.ref(obj)
    reader = _VornReader(store_path)
    with pytest.raises(TypeError):
        len(reader)
    with pytest.raises(TypeError):
        "a" in reader
    with pytest.raises(TypeError):
        reader["a"]
    with pytest.raises(TypeError):
        reader.keys(1)
    assert reader.get_raw(key=b"a") == b"x"


def test_reimport_keeps_class_objects():
    old = sys.modules.pop("_vornel")
    try:
        fresh = importlib.import_module("_vornel")
        assert fresh is not old
        assert fresh._VornReader is old._VornReader
        assert fresh._VornWriter is old._VornWriter
        assert fresh.__all__ == ["_VornWriter", "_VornReader", "__version__"]
    finally:
        sys.modules["_vornel"] = old


def test_subinterpreters_are_refused():
    _interpreters = pytest.importorskip("_interpreters")
    interp = _interpreters.create()
    try:
        excinfo = _interpreters.run_string(interp, "import _vornel")
    finally:
        _interpreters.destroy(interp)
    assert excinfo is not None
    assert excinfo.type.__name__ == "ImportError"


def test_failed_summary_line_is_a_panic(tmp_path):
    # /dev/full accepts the descriptor but fails every write with ENOSPC.
    target = tmp_path / "s.vrnl"
    script = textwrap.dedent(f"""
        import _vornel
        w = _vornel._VornWriter()
        try:
            w.build({str(target)!r})
        except Exception:
            raise SystemExit("caught as Exception")
        except BaseException as e:
            import sys
            sys.stderr.write(type(e).__name__ + "|" + type(e).__mro__[1].__name__ + "|" + str(e))
    """)
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([sys.executable, "-c", script], stdout=full, stderr=subprocess.PIPE,
                              env=dict(os.environ), check=False)
    name, base, text = proc.stderr.decode().split("|")
    assert (name, base) == ("PanicException", "BaseException")
    assert text == "failed printing to stdout: " + os.strerror(28) + " (os error 28)"
    assert target.read_bytes()[:4] == b"VRNL"  # published before the line failed
