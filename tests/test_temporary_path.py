"""What sits at a build's temporary path (STEM.vrnl.tmp beside the target): a link is
never written through, a leftover is replaced, and a directory is an error that names
the temporary path; for the package's writers, the tool and _VornWriter alike."""

import os
import subprocess
import sys
from pathlib import Path

import pytest
from _vornel import _VornWriter

import vornel
from vornel.errors import VornIsADirectoryError

VORNEL = str(Path(sys.executable).with_name("vornel"))


def low_level(target):
    w = _VornWriter()
    w.add_key("k", w.add_object_raw(b"\xa1v"))
    w.build(str(target))


def package(target):
    with vornel.VornWriter.create(target, memory_limit=1) as w:  # through a run too
        w.update({"k": "v", "j": "w"})


def tool(target):
    result = subprocess.run([VORNEL, "build", str(target)], input=b'{"key": "k", "value": "v"}\n',
                            capture_output=True)
    if result.returncode != 0:
        raise OSError(result.stderr.decode())


BUILDERS = [low_level, package, lambda target: vornel.build(target, {"k": "v"}), tool]


@pytest.mark.parametrize("build", BUILDERS)
def test_a_link_is_replaced_and_the_file_it_names_is_untouched(tmp_path, build):
    folder = tmp_path / "out"
    folder.mkdir()
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"precious")
    (folder / "s.vrnl.tmp").symlink_to(outside)
    build(folder / "s.vrnl")
    assert outside.read_bytes() == b"precious"
    assert os.listdir(folder) == ["s.vrnl"]
    assert not (folder / "s.vrnl").is_symlink() and (folder / "s.vrnl").is_file()
    assert vornel.open(folder / "s.vrnl")["k"] == "v"


@pytest.mark.parametrize("build", BUILDERS)
def test_a_leftover_is_replaced(tmp_path, build):
    folder = tmp_path / "out"
    folder.mkdir()
    leftover = folder / "s.vrnl.tmp"
    leftover.write_bytes(b"\xee" * 50_000)
    os.link(leftover, tmp_path / "kept")  # the leftover's file, seen from outside
    build(folder / "s.vrnl")
    assert (tmp_path / "kept").read_bytes() == b"\xee" * 50_000  # never written into
    assert os.listdir(folder) == ["s.vrnl"]
    assert vornel.open(folder / "s.vrnl", verify=True)["k"] == "v"


def test_a_directory_is_an_error_naming_the_temporary_path(tmp_path):
    target, tmp = tmp_path / "s.vrnl", tmp_path / "s.vrnl.tmp"
    tmp.mkdir()
    with pytest.raises(VornIsADirectoryError) as raised:
        vornel.build(target, {"k": 1})
    assert raised.value.filename == str(tmp)
    with pytest.raises(OSError, match=r"^VornIOError: open tmp: Is a directory \(os error 21\)$"):
        low_level(target)
    result = subprocess.run([VORNEL, "build", str(target)], input=b'{"key": "k", "value": 1}\n',
                            capture_output=True)
    assert result.returncode == 1
    assert result.stderr.decode() == f"vornel: {tmp}: Is a directory\n"
    assert sorted(os.listdir(tmp_path)) == ["s.vrnl.tmp"]
