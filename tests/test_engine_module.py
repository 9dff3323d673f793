"""The package's own module: its classes per module object, so that an isolated
subinterpreter gets classes of its own, and nothing of it touches _vornel's objects."""

import textwrap

import pytest

import vornel
from vornel import _engine


def test_classes_and_version():
    assert _engine.__version__ == vornel.__version__
    assert issubclass(vornel.VornReader, _engine.Reader)
    assert issubclass(vornel.VornWriter, _engine.Writer)
    with pytest.raises(TypeError):
        _engine.Cursor()


def test_an_isolated_subinterpreter_reads_and_writes(tmp_path):
    interpreters = pytest.importorskip("_interpreters")
    path = tmp_path / "sub.vrnl"
    interp = interpreters.create()  # its own GIL, sharing no objects with this one
    try:
        failure = interpreters.exec(interp, textwrap.dedent(f"""
            import vornel
            vornel.build({str(path)!r}, {{"a": [1, 2], "b": {{"x": None}}}})
            with vornel.open({str(path)!r}) as r:
                assert dict(r) == {{"a": [1, 2], "b": {{"x": None}}}}
        """))
    finally:
        interpreters.destroy(interp)
    assert failure is None, failure
    assert dict(vornel.open(path)) == {"a": [1, 2], "b": {"x": None}}


def test_the_low_level_writer_is_not_the_packages():
    from _vornel import _VornWriter

    w = _VornWriter()
    with pytest.raises(TypeError):
        _engine.Writer.add(w, "k", 1)  # type: ignore[arg-type]
