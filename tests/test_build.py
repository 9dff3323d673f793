"""Build and publication: exact file bytes, the temporary file, failures and the summary line."""

import contextlib
import io
import os
import random
import stat
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import storefile
from _vornel import _VornWriter


def staged(objects, bindings=()):
    w = _VornWriter()
    for obj in objects:
        w.add_object_raw(obj)
    for key, obj_id in bindings:
        w.add_key(key, obj_id)
    return w


def build_bytes(w, path):
    w.build(str(path))
    return path.read_bytes()


def summary(path, objects, keys, size):
    return f"✅  {path}  —  {objects} objects · {keys} keys · {size / 1024:.1f} KB\n".encode()


def run_python(code, cwd, stdout=subprocess.PIPE):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, stdout=stdout,
                          stderr=subprocess.PIPE)


# Object lengths that put the data section just inside, at and past the free space of the
# 8 KiB output buffer behind the 40-byte header, and well past the buffer itself.
BUFFER_EDGES = [8144, 8145, 8184, 8185, 20000]

def many_keys(n, seed):
    """Over a thousand keys: short ones over a tiny alphabet that share leading bytes and
    differ only by trailing zero bytes, and long random ones."""
    rng = random.Random(seed)
    short = {bytes(rng.choice(b"\x00\x01a\xff") for _ in range(rng.randint(0, 10)))
             for _ in range(n)}
    long = {rng.randbytes(rng.randint(16, 32)) for _ in range(n)}
    return [(k, i % 5) for i, k in enumerate(sorted(short | long, key=lambda k: rng.random()))]


CASES = {
    "worked example": ([b"hi"], [("a", 0)]),
    "zero-length objects": ([b"", b"", b"x"], [("a", 0), ("b", 1), ("c", 2)]),
    "empty key": ([b"v", b"w"], [("k", 0), ("", 1)]),
    "shared object": ([b"shared"], [("one", 0), ("two", 0), ("three", 0)]),
    "unbound objects": ([b"kept", b"bound", b"also kept"], [("k", 1)]),
    "rebound key": ([b"first", b"second"], [("k", 0), ("other", 0), ("k", 1)]),
    "text and bytes keys meet": ([b"a", b"b"], [("é", 0), (b"\xc3\xa9", 1)]),
    "byte order": ([b"o"], [(k, 0) for k in
                            [b"b", b"\xff", b"a\x00", b"ab", b"a", b"\x80", b"B", b"\x00", b""]]),
    **{f"object of {n} bytes": ([bytes(range(256)) * (n // 256) + b"z" * (n % 256)],
                                [("k", 0)]) for n in BUFFER_EDGES},
    "large index": ([b"x", b"y"], [(f"key-{i:05d}".encode() * 3, i % 2) for i in range(2000)]),
    "many keys": ([b"0", b"1", b"2", b"3", b"4"], many_keys(3000, seed=5)),
    "large objects and index": ([os.urandom(9000), b"", os.urandom(30000)],
                                [(os.urandom(40), i % 3) for i in range(600)]),
}


@pytest.mark.parametrize("objects, bindings", CASES.values(), ids=CASES.keys())
def test_file_matches_the_independent_encoding(tmp_path, objects, bindings):
    assert build_bytes(staged(objects, bindings), tmp_path / "s.vrnl") == \
        storefile.encode_store(objects, bindings)
    assert os.listdir(tmp_path) == ["s.vrnl"]


def test_worked_example_and_empty_store(tmp_path):
    blob = build_bytes(staged([b"hi"], [("a", 0)]), tmp_path / "one.vrnl")
    assert len(blob) == 61
    assert blob[32:36] == bytes.fromhex("3A05FD79")

    empty = build_bytes(_VornWriter(), tmp_path / "empty.vrnl")
    assert empty == storefile.header(0, 0, 40, 0)
    assert len(empty) == 40


def shared_head_keys(seed):
    """Keys that agree on long runs of leading bytes and end on either side of every
    8-byte word, some of them in zero bytes: ties that only later key bytes break."""
    rng = random.Random(seed)
    heads = [rng.randbytes(n) for n in (0, 7, 8, 15, 16, 17, 31, 32, 40)]
    keys = set()
    while len(keys) < 2500:
        tail = bytes(rng.choice(b"\x00\x01\xff") for _ in range(rng.randint(0, 18)))
        keys.add(rng.choice(heads) + tail)
    return [(k, i % 3) for i, k in enumerate(sorted(keys, key=lambda k: rng.random()))]


@pytest.mark.parametrize("seed", [1, 2])
def test_keys_sharing_long_heads_sort_by_their_bytes(tmp_path, seed):
    objects, bindings = [b"a", b"b", b"c"], shared_head_keys(seed)
    assert build_bytes(staged(objects, bindings), tmp_path / "s.vrnl") == \
        storefile.encode_store(objects, bindings)


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_random_stores_match(tmp_path_factory, data):
    objects = data.draw(st.lists(st.binary(max_size=300), min_size=1, max_size=12))
    bindings = data.draw(st.lists(
        st.tuples(st.one_of(st.binary(max_size=20), st.text(max_size=8)),
                  st.integers(0, len(objects) - 1)),
        max_size=40))
    path = tmp_path_factory.mktemp("random") / "r.vrnl"
    assert build_bytes(staged(objects, bindings), path) == \
        storefile.encode_store(objects, bindings)


def test_rebuilds_are_identical_and_staging_continues(tmp_path):
    w = staged([b"a", b"b"], [("x", 0), ("y", 1)])
    first = build_bytes(w, tmp_path / "1.vrnl")
    assert build_bytes(w, tmp_path / "2.vrnl") == first
    assert repr(w) == "_VornWriter(objects=2, keys=2)"

    w.add_object_raw(b"c")
    w.add_key("z", 2)
    assert build_bytes(w, tmp_path / "3.vrnl") == \
        storefile.encode_store([b"a", b"b", b"c"], [("x", 0), ("y", 1), ("z", 2)])


def test_build_replaces_an_existing_file_by_rename(tmp_path):
    path = tmp_path / "s.vrnl"
    path.write_bytes(b"old contents")
    with open(path, "rb") as old:
        old_inode = os.fstat(old.fileno()).st_ino
        assert build_bytes(staged([b"new"], [("k", 0)]), path) == \
            storefile.encode_store([b"new"], [("k", 0)])
        # The old file was replaced, not rewritten in place.
        assert old.read() == b"old contents"
    assert os.stat(path).st_ino != old_inode
    assert os.listdir(tmp_path) == ["s.vrnl"]


def test_leftover_temporary_file_is_replaced(tmp_path):
    # A killed build's file goes, its bytes and its mode with it: the build makes its own.
    tmp = tmp_path / "s.vrnl.tmp"
    tmp.write_bytes(b"\xee" * 100_000)
    tmp.chmod(0o600)
    path = tmp_path / "s.vrnl"
    assert build_bytes(staged([b"v"], [("k", 0)]), path) == \
        storefile.encode_store([b"v"], [("k", 0)])
    assert os.listdir(tmp_path) == ["s.vrnl"]
    mask = os.umask(0)
    os.umask(mask)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~mask


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o000, 0o137])
def test_new_file_mode_follows_the_umask(tmp_path, mask):
    old = os.umask(mask)
    try:
        _VornWriter().build(str(tmp_path / "s.vrnl"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "s.vrnl").st_mode) == 0o666 & ~mask


def build_error(w, path):
    with pytest.raises(OSError) as info:
        w.build(path)
    assert type(info.value) is OSError
    return str(info.value)


@pytest.mark.parametrize("name, text", [
    ("missing/s.vrnl", "open tmp: No such file or directory (os error 2)"),
    ("", "open tmp: No such file or directory (os error 2)"),
    ("sub/..", "open tmp: Is a directory (os error 21)"),
    ("sub", "rename: Is a directory (os error 21)"),
    ("sub/./", "rename: Device or resource busy (os error 16)"),  # a "." target
    ("s\0.vrnl", "open tmp: file name contained an unexpected NUL byte"),
])
def test_open_and_rename_failures(tmp_path, monkeypatch, name, text):
    monkeypatch.chdir(tmp_path)
    os.mkdir("sub")
    w = staged([b"v"], [("k", 0)])
    assert build_error(w, name) == "VornIOError: " + text
    left = sorted(os.listdir())
    if text.startswith("rename"):
        # The complete temporary file stays beside the directory it could not replace.
        assert left == ["sub", "sub.vrnl.tmp"]
        assert open("sub.vrnl.tmp", "rb").read() == storefile.encode_store([b"v"], [("k", 0)])
        assert os.listdir("sub") == []
    else:
        assert left == ["sub"]
        assert os.listdir("sub") == []


def test_nul_dropped_with_the_extension_fails_at_rename(tmp_path):
    w = staged([b"v"], [("k", 0)])
    assert build_error(w, str(tmp_path / "s.\0")) == \
        "VornIOError: rename: file name contained an unexpected NUL byte"
    assert (tmp_path / "s.vrnl.tmp").read_bytes() == storefile.encode_store([b"v"], [("k", 0)])


@pytest.mark.parametrize("objects", [[b"small"], [b"big" * 10000]])
@pytest.mark.parametrize("linked", ["outside", "/dev/full"])
def test_a_link_at_the_temporary_path_is_never_followed(tmp_path, linked, objects):
    folder = tmp_path / "folder"
    folder.mkdir()
    outside = tmp_path / "outside"
    outside.write_bytes(b"precious")
    (folder / "s.vrnl.tmp").symlink_to(outside if linked == "outside" else linked)
    w = staged(objects, [("k", 0)])
    assert build_bytes(w, folder / "s.vrnl") == storefile.encode_store(objects, [("k", 0)])
    assert outside.read_bytes() == b"precious"
    assert os.listdir(folder) == ["s.vrnl"] and not (folder / "s.vrnl").is_symlink()


# Object lengths giving file sizes of 40 + 8 + n bytes: 256, 768, 1280 and 1792 are
# exact halfway values in tenths of KiB, 1331 is not.
@pytest.mark.parametrize("size", [40, 256, 768, 1280, 1331, 1792, 1024 * 1024 + 51])
def test_summary_line_goes_to_fd_1(tmp_path, capfdbinary, size):
    objects = [] if size == 40 else [b"x" * (size - 48)]
    w = staged(objects)
    path = str(tmp_path / "s.vrnl")
    captured_by_python = io.StringIO()
    with contextlib.redirect_stdout(captured_by_python):
        w.build(path)
    assert os.path.getsize(path) == size
    out = capfdbinary.readouterr()
    assert out.out == summary(path, len(objects), 0, size)
    assert out.err == b""
    assert captured_by_python.getvalue() == ""


def test_summary_line_in_a_process_shows_the_path_as_passed(tmp_path):
    code = (
        "from _vornel import _VornWriter\n"
        "w = _VornWriter()\n"
        "w.add_key('k', w.add_object_raw(b'payload'))\n"
        "w.add_key('k2', 0)\n"
        "w.build('ünï.vrnl')\n"
    )
    result = run_python(code, tmp_path)
    assert result.returncode == 0, result.stderr
    size = os.path.getsize(tmp_path / "ünï.vrnl")
    assert result.stdout == summary("ünï.vrnl", 1, 2, size)


def test_closed_stdout_discards_the_line(tmp_path):
    code = (
        "import os\n"
        "from _vornel import _VornWriter\n"
        "os.close(1)\n"
        "_VornWriter().build('s.vrnl')\n"
        "os.write(2, b'done')\n"
    )
    result = run_python(code, tmp_path)
    assert result.returncode == 0
    assert result.stderr == b"done"
    assert (tmp_path / "s.vrnl").read_bytes() == storefile.encode_store([])


def test_failing_stdout_fails_the_build_after_publishing(tmp_path):
    code = (
        "import os\n"
        "from _vornel import _VornWriter\n"
        "try:\n"
        "    _VornWriter().build('s.vrnl')\n"
        "except BaseException as e:\n"
        "    os.write(2, (type(e).__name__ + ': ' + str(e)).encode())\n"
    )
    with open("/dev/full", "wb") as full:
        result = run_python(code, tmp_path, stdout=full)
    assert result.stderr == \
        b"PanicException: failed printing to stdout: No space left on device (os error 28)"
    assert (tmp_path / "s.vrnl").read_bytes() == storefile.encode_store([])
