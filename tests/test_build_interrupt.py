"""Ctrl-C during a package build, in a child process, at each phase: before the rename
it cancels (target untouched, temporary file gone, KeyboardInterrupt); after it the store
is published. And what a failed build leaves behind, and the mode a rebuild keeps."""

import os
import signal
import stat
import subprocess
import sys
import textwrap

import pytest

import childproc
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


API_CHILD = """
import sys
import vornel
w = vornel.VornWriter()
w.update((f"key{i:05d}", i) for i in range(20_000))
try:
    w.build(sys.argv[1])
except KeyboardInterrupt:
    print("cancelled", w.builds)
else:
    print("built", w.builds)
"""


# Ctrl-C that comes while the system call runs: during fsync the build is cancelled
# before the target changes; during the rename the store is published, and the build
# says so without an exception (the tool with exit status 0).
@pytest.mark.parametrize(("call", "published"), [("fsync", False), ("rename", True)])
@pytest.mark.parametrize("via", ["api", "tool"])
def test_ctrl_c_inside_a_system_call_has_one_outcome(tmp_path, shim, call, published, via):
    target = tmp_path / "s.vrnl"
    vornel.build(target, {"old": 1})
    before = target.read_bytes()
    env = childproc.child_env({"FAULT_CALL": call, "FAULT_SIGNAL": str(int(signal.SIGINT)),
                               "FAULT_MATCH": ".vrnl.tmp"}, preload=shim)
    if via == "api":
        args = childproc.python_args(textwrap.dedent(API_CHILD), str(target))
        expected = ["built", "1"] if published else ["cancelled", "0"]
    else:
        source = tmp_path / "in.jsonl"
        source.write_text("".join(f'{{"key": "key{i:05d}", "value": {i}}}\n'
                                  for i in range(20_000)))
        args = [sys.executable, "-m", "vornel", "build", str(target), str(source)]
    run = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)
    if via == "api":
        assert run.stdout.split() == expected, run.stderr
    else:
        assert run.returncode == (0 if published else 130), run.stderr
        assert "Traceback" not in run.stderr
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix != ".jsonl") == ["s.vrnl"]
    if published:
        assert len(vornel.open(target)) == 20_000
    else:
        assert target.read_bytes() == before
