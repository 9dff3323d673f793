"""Another process shrinks a store under an open reader. Every method then either works
or raises VornIOError, and the interpreter lives, with faulthandler enabled or not. A
bus error outside the reader still reaches faulthandler and still kills the process."""

import json
import re
import signal

import pytest

import childproc

# 64 objects of 64 KiB: a cut at any page boundary leaves whole objects on both sides.
STORE = (b"big", 64, 64 * 1024, 256)
SHRUNK = re.compile(r"VornIOError: store file changed while mapped: bus error at offset (\d+)")

# Opens the store, cuts the file to argv[2] bytes, then calls every method of the reader
# and reports each outcome: "ok", or the exception's type and text.
CALL_EVERY_METHOD = """
import json, os, sys
import childproc
from _vornel import _VornReader
path, size = sys.argv[1], int(sys.argv[2])
objects, bindings = childproc.contents(%r, %d, %d, %d)
childproc.staged(objects, bindings).build(path)
r = _VornReader(path)
first_key, last_key = bindings[0][0], bindings[-1][0]
os.truncate(path, size)

def first_object():
    if r.get_raw(first_key) != objects[bindings[0][1]]:
        raise ValueError("other bytes")

calls = {
    "get_raw first": first_object,
    "get_raw last": lambda: r.get_raw(last_key),
    "get_raw missing": lambda: r.get_raw("no such key"),
    "exists": lambda: r.exists(last_key),
    "prefix_raw first": lambda: r.prefix_raw(first_key),
    "prefix_raw all": lambda: r.prefix_raw(""),
    "keys": r.keys,
    "items_raw": r.items_raw,
    "items_raw_bytes": r.items_raw_bytes,
    "objects_raw": r.objects_raw,
    "verify": r.verify,
    "stats": r.stats,
    "repr": lambda: repr(r),
    "close": r.close,
    "enter": r.__enter__,
    "exit": lambda: r.__exit__(None, None, None),
}
outcomes = {}
for round in range(2):  # a failed call leaves the reader as usable as before
    for name, call in calls.items():
        try:
            call()
            outcome = "ok"
        except BaseException as e:
            outcome = type(e).__name__ + ": " + str(e)
        assert outcomes.setdefault(name, outcome) == outcome, (name, outcome)
print(json.dumps(outcomes))
""" % STORE

OBJECT_SIZE = STORE[2]
FILE_SIZE = len(childproc.expected_bytes(*childproc.contents(*STORE)))

# Methods that never read object bytes, and those that read every object.
NO_OBJECT_READ = ["get_raw missing", "exists", "keys", "stats", "repr", "close", "enter", "exit"]
READ_ALL = ["get_raw last", "prefix_raw all", "items_raw", "items_raw_bytes", "objects_raw",
            "verify"]


def shrink_under_reader(tmp_path, size, flags=()):
    proc = childproc.run_python(CALL_EVERY_METHOD, tmp_path, str(tmp_path / "s.vrnl"), str(size),
                                flags=flags)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert b"Fatal Python error" not in proc.stderr
    return json.loads(proc.stdout.decode().splitlines()[-1])


def bus_error_offset(outcome, name):
    assert outcome.startswith("OSError: "), (name, outcome)
    m = SHRUNK.fullmatch(outcome.removeprefix("OSError: "))
    assert m, (name, outcome)
    return int(m.group(1))


# The cut: right after the header, in the middle of the data (on a page boundary, so the
# first object's pages stay whole) and to nothing at all.
@pytest.mark.parametrize("flags", [(), ("-X", "faulthandler")], ids=["plain", "faulthandler"])
@pytest.mark.parametrize("size", [40, 4 * OBJECT_SIZE, 0], ids=["header", "half", "empty"])
def test_every_method_works_or_raises_and_the_process_lives(tmp_path, size, flags):
    outcomes = shrink_under_reader(tmp_path, size, flags)
    for name in NO_OBJECT_READ:
        assert outcomes[name] == "ok", name
    for name in READ_ALL:
        # The fault lies in pages that the cut removed.
        assert size // 4096 * 4096 <= bus_error_offset(outcomes[name], name) < FILE_SIZE
    first = outcomes["get_raw first"]
    if size == 4 * OBJECT_SIZE:
        assert first == "ok"  # the intact part stays readable
        assert outcomes["prefix_raw first"] == "ok"
    elif size == 40:
        # The first record starts in the page that still holds the header, where the
        # system shows zeros past the end: the record reads as empty, not as a fault.
        assert first == "ValueError: other bytes" or bus_error_offset(first, "get_raw first")
    else:
        bus_error_offset(first, "get_raw first")


# Raises a bus error that no reader guards, after a reader has turned one of its own into
# an exception: by a signal sent to itself, or by a read from a cut mapping of its own.
UNGUARDED_FAULT = """
import mmap, os, signal, sys
import childproc
from _vornel import _VornReader
path = sys.argv[1]
childproc.staged(*childproc.contents(%r, %d, %d, %d)).build(path)
r = _VornReader(path)
with open(path, "rb") as f:
    m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
os.truncate(path, 0)
try:
    r.verify()
except OSError:
    pass
if sys.argv[2] == "kill":
    os.kill(os.getpid(), signal.SIGBUS)
else:
    m[len(m) - 1]
print("survived")
""" % STORE


def without_sanitizer_bus_handlers():
    """The child environment; under preloaded sanitizers, without their own report of a
    bus error, which would otherwise come first and end the process its own way."""
    env = childproc.child_env()
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] += ":handle_sigbus=0"
    return env


@pytest.mark.parametrize("how", ["kill", "read"])
@pytest.mark.parametrize("flags", [(), ("-X", "faulthandler")], ids=["plain", "faulthandler"])
def test_a_bus_error_outside_the_reader_still_kills(tmp_path, how, flags):
    proc = childproc.run_python(UNGUARDED_FAULT, tmp_path, str(tmp_path / "s.vrnl"), how,
                                flags=flags, env=without_sanitizer_bus_handlers())
    assert proc.returncode == -signal.SIGBUS, proc.stderr.decode()[-3000:]
    assert b"survived" not in proc.stdout
    if flags:
        assert b"Fatal Python error: Bus error" in proc.stderr
