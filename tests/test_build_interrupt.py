"""Ctrl-C during a package build, in a child process, at each phase: before the rename
it cancels (target untouched, temporary file gone, KeyboardInterrupt); after it the store
is published. And what a failed build leaves behind, and the mode a rebuild keeps."""

import os
import stat
import subprocess
import sys
import textwrap

import pytest

import vornel

CHILD = """
import os, signal, sys
import vornel

target, phase = sys.argv[1], sys.argv[2]
w = vornel.VornWriter()
w.update((f"key{i:07d}", i) for i in range(200_000))

def progress(name, done, total):
    if name == phase:
        os.kill(os.getpid(), signal.SIGINT)  # as Ctrl-C would

try:
    w.build(target, progress=progress)
except KeyboardInterrupt:
    print("cancelled", w.builds)
else:
    print("built", w.builds)
"""


@pytest.mark.parametrize("phase", ["sort", "merge", "write", "fsync"])
def test_ctrl_c_before_the_rename_cancels(tmp_path, phase):
    target = tmp_path / "s.vrnl"
    vornel.build(target, {"old": 1})
    before = target.read_bytes()
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(target), phase],
                         capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == ["cancelled", "0"], run.stderr
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.vrnl"]


def test_a_build_without_ctrl_c_publishes(tmp_path):
    target = tmp_path / "s.vrnl"
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(target), "none"],
                         capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == ["built", "1"], run.stderr
    assert len(vornel.open(target)) == 200_000


def test_a_failed_build_leaves_no_temporary_file(tmp_path):
    target = tmp_path / "s.vrnl"
    target.mkdir()  # the rename onto a directory fails after the file is written
    w = vornel.VornWriter()
    w.add("a", 1)
    with pytest.raises(IsADirectoryError):
        w.build(target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.vrnl"]
    assert w.builds == 0


def test_a_rebuild_keeps_the_mode_of_the_store_it_replaces(tmp_path):
    target = tmp_path / "s.vrnl"
    vornel.build(target, {"a": 1})
    os.chmod(target, 0o600)
    vornel.build(target, {"a": 2})
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert vornel.open(target)["a"] == 2
