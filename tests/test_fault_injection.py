"""Builds whose system calls fail: each failure of open, write, fsync, rename and close
on the temporary file, with EIO, ENOSPC and EINTR, injected by a preloaded shim. A hard
failure gives its exact error and leaves the target as it was; an interrupted call is
retried; a failing close is ignored."""

import errno
import json
import os
import subprocess

import pytest

import childproc

OLD = childproc.contents(b"old", 2, 300, 10)
# Large enough that the data section bypasses the 8 KiB output buffer: the build makes
# three writes (the buffered header, the data section, the buffered index).
NEW_ARGS = (b"new", 3, 6000, 100)
NEW = childproc.contents(*NEW_ARGS)

BUILD_IN_CHILD = """
import json, sys
import childproc
w = childproc.staged(*childproc.contents(%r, %d, %d, %d))
try:
    w.build(sys.argv[1])
    outcome = {"ok": True}
except BaseException as e:
    outcome = {"ok": False, "type": type(e).__name__, "text": str(e)}
with open(sys.argv[2], "w") as f:
    json.dump(outcome, f)
""" % NEW_ARGS


def build_with_fault(tmp_path, shim, call, code, skip=0, times=1):
    """Builds NEW over a target holding OLD in a child whose `call` on the temporary file
    fails with `code`. Returns (outcome, injected failures, target bytes, stdout)."""
    target = tmp_path / "store.vrnl"
    childproc.build_file(target, *OLD)
    report = tmp_path / "faults"
    result_file = tmp_path / "outcome.json"
    env = childproc.child_env(
        {"FAULT_CALL": call, "FAULT_ERRNO": str(code), "FAULT_MATCH": ".vrnl.tmp",
         "FAULT_SKIP": str(skip), "FAULT_TIMES": str(times), "FAULT_REPORT": str(report)},
        preload=shim)
    proc = subprocess.run(childproc.python_args(BUILD_IN_CHILD, str(target), str(result_file)),
                          cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    injected = report.read_text().splitlines() if report.exists() else []
    return json.loads(result_file.read_text()), injected, target.read_bytes(), proc.stdout


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


OLD_BYTES = childproc.expected_bytes(*OLD)
NEW_BYTES = childproc.expected_bytes(*NEW)
HARD_ERRORS = [errno.EIO, errno.ENOSPC]

# What a hard failure of each call reports, after the kind's prefix.
MESSAGES = {
    "open": lambda code: "open tmp: " + os_error_text(code),
    "write": os_error_text,
    "fsync": os_error_text,
    "rename": lambda code: "rename: " + os_error_text(code),
}


@pytest.mark.parametrize("code", HARD_ERRORS, ids=errno.errorcode.get)
@pytest.mark.parametrize("call, skip", [("open", 0), ("write", 0), ("write", 1), ("write", 2),
                                        ("fsync", 0), ("rename", 0)])
def test_a_failing_call_gives_its_error_and_keeps_the_target(tmp_path, shim, call, skip, code):
    outcome, injected, target, stdout = build_with_fault(tmp_path, shim, call, code, skip=skip)
    assert injected == [f"{call} {code}"]
    assert outcome == {"ok": False, "type": "OSError",
                       "text": "VornIOError: " + MESSAGES[call](code)}
    assert target == OLD_BYTES
    assert stdout == b""
    tmp = tmp_path / "store.vrnl.tmp"
    if call == "open":
        assert not tmp.exists()
    if call == "rename":
        assert tmp.read_bytes() == NEW_BYTES  # complete, left beside the target

    # The leftover temporary file is reused by the next build.
    assert childproc.build_file(tmp_path / "store.vrnl", *NEW) == NEW_BYTES
    assert not tmp.exists()


@pytest.mark.parametrize("call", ["open", "write", "fsync", "rename", "close"])
def test_an_interrupted_call_is_retried(tmp_path, shim, call):
    # Interrupted twice in a row, then the call goes through.
    outcome, injected, target, stdout = build_with_fault(tmp_path, shim, call, errno.EINTR,
                                                         times=1 if call == "close" else 2)
    assert injected == [f"{call} {errno.EINTR}"] * (1 if call == "close" else 2)
    assert outcome == {"ok": True}
    assert target == NEW_BYTES
    assert stdout.startswith("✅  ".encode()) and stdout.count(b"\n") == 1
    assert not (tmp_path / "store.vrnl.tmp").exists()


@pytest.mark.parametrize("code", HARD_ERRORS, ids=errno.errorcode.get)
def test_a_failing_close_is_ignored(tmp_path, shim, code):
    # fsync has already stored the contents; the descriptor is gone either way.
    outcome, injected, target, stdout = build_with_fault(tmp_path, shim, "close", code)
    assert injected == [f"close {code}"]
    assert outcome == {"ok": True}
    assert target == NEW_BYTES
    assert stdout.count(b"\n") == 1


def test_every_write_failing_leaves_the_target(tmp_path, shim):
    # The retry of the buffered bytes after the failure fails as well.
    outcome, injected, target, _ = build_with_fault(tmp_path, shim, "write", errno.EIO, times=-1)
    assert outcome["text"] == "VornIOError: " + os_error_text(errno.EIO)
    assert len(injected) == 2  # the failing write and the one retry of the buffer
    assert target == OLD_BYTES
