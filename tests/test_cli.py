"""The vornel command, run as a subprocess: its output, its errors and its exit status."""

import argparse
import io
import json
import math
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import storefile
import vornel
import vornel.keys
from vornel import cli, jsonl
from childproc import child_env
from values import same

VORNEL = str(Path(sys.executable).with_name("vornel"))  # the installed console script


def run(*args, stdin=b""):
    return subprocess.run([VORNEL, *map(str, args)], input=stdin, capture_output=True)


def lines(*records):
    return b"".join(json.dumps(r).encode() + b"\n" for r in records)


def assert_one_line_error(result, status=1):
    assert result.returncode == status
    err = result.stderr.decode()
    assert err.count("\n") == 1 and err.startswith("vornel: "), err
    assert "Traceback" not in err
    return err


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.vrnl"
    vornel.build(path, {"city:bern": {"pop": 134_000}, "city:berlin": [1, 2],
                        "note": "hi", b"\xffraw": b"\x00\x01", "two\nlines": None})
    return path


class TestCommands:
    def test_build_from_file_and_stdin(self, tmp_path):
        src = tmp_path / "in.jsonl"
        src.write_bytes(lines({"key": "a", "value": 1}, {"key": "b", "value": [True, None]}))
        out = tmp_path / "a.vrnl"
        # Options may come between the arguments.
        result = run("build", out, "--on-duplicate", "error", src)
        assert result.returncode == 0, result.stderr
        assert result.stdout == b""  # data only: the summary line goes to standard error
        size = out.stat().st_size
        assert size < 1024
        assert result.stderr.decode() == f"✅  {out}  —  2 objects · 2 keys · {size} B\n"
        piped = run("build", tmp_path / "b.vrnl", "-", stdin=src.read_bytes())
        assert piped.returncode == 0
        assert out.read_bytes() == (tmp_path / "b.vrnl").read_bytes()
        assert dict(vornel.open(out)) == {"a": 1, "b": [True, None]}
        one = run("build", tmp_path / "one.vrnl", stdin=lines({"key": "a", "value": 1}))
        assert " —  1 object · 1 key · " in one.stderr.decode()

    def test_progress_on_a_terminal(self, tmp_path):
        import fcntl
        import pty
        import struct
        import termios

        src = tmp_path / "in.jsonl"
        src.write_bytes(lines(*({"key": f"k{i}", "value": i} for i in range(10_000))))
        leader, follower = pty.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        try:
            result = subprocess.run([VORNEL, "build", tmp_path / "o.vrnl", src],
                                    stdout=subprocess.PIPE, stderr=follower)
            os.close(follower)
            shown = b""
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:  # the terminal's other end is closed: all is read
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            os.close(leader)
        assert result.returncode == 0
        assert b"reading" in shown and b"100%" in shown
        # Each phase of the build a bar with its count: keys merged, bytes written.
        assert b"merge: 100%" in shown and b"10000/10000" in shown and b"write: 100%" in shown
        assert "✅".encode() in shown and result.stdout == b""

    def test_get_keeps_step_with_its_keys(self, small):
        result = run("get", small, "note", "nope", "city:bern", "\udcffraw", "nope2")
        assert result.stdout.split(b"\n") == [
            b'"hi"', b"", b'{"pop": 134000}', b'{"$bytes": "AAE="}', b"", b""]
        assert result.returncode == 1
        err = result.stderr.decode().splitlines()
        assert len(err) == 2 and "'nope'" in err[0] and "'nope2'" in err[1]

    @pytest.mark.parametrize("null", [False, True])
    def test_get_reads_keys_from_standard_input(self, small, null):
        asked = [b"note", b"nope", b"\xffraw", b"", b"city:bern"]
        if null:
            asked.insert(0, b"two\nlines")  # whole, as only NUL-ended keys can hold it
        stdin = b"".join(k + (b"\0" if null else b"\n") for k in asked)
        result = run("get", small, "city:berlin", "-", *(["--null"] if null else []),
                     stdin=stdin[:-1])  # the last key may end without its separator
        model = dict(vornel.open(small))
        want = [b"[1, 2]"] + [
            jsonl.value_line(model[vornel.keys.exact_key(k)]).rstrip(b"\n")
            if vornel.keys.exact_key(k) in model else b"" for k in asked]
        assert result.stdout.split(b"\n") == [*want, b""]
        assert result.returncode == 1 and result.stderr.count(b"\n") == 2  # nope and ''

    def test_keys(self, small):
        assert run("keys", small).stdout == b"city:berlin\ncity:bern\nnote\ntwo\nlines\n\xffraw\n"
        assert run("keys", small, "--prefix", "city:ber").stdout == b"city:berlin\ncity:bern\n"
        assert run("keys", small, "--prefix", "zzz").stdout == b""
        # Keys that hold newlines or bytes that are not UTF-8, kept whole.
        assert run("keys", small, "--null").stdout.split(b"\0") == [
            b"city:berlin", b"city:bern", b"note", b"two\nlines", b"\xffraw", b""]
        assert [json.loads(x) for x in run("keys", small, "--json").stdout.splitlines()] == [
            "city:berlin", "city:bern", "note", "two\nlines", {"$bytes": "/3Jhdw=="}]

    def test_stats(self, small):
        stats = json.loads(run("stats", small, "--json").stdout)
        assert stats == vornel.open(small).stats()
        assert stats["file_size"] == small.stat().st_size
        text = run("stats", small).stdout.decode().splitlines()
        pad = " " * (len("compression_ratio") - len("num_keys") + 2)
        assert f"num_keys{pad}5" in text and "compression_ratio  1.00x" in text
        assert f"file_size{pad[1:]}{stats['file_size']} B" in text
        big = small.with_name("big.vrnl")
        vornel.build(big, {"k": b"x" * 3_000_000})
        text = run("stats", big).stdout.decode()
        assert f"2.9 MiB ({big.stat().st_size:,} bytes)" in text

    def test_verify(self, small, tmp_path):
        assert run("verify", small).stdout == b"OK\n"
        damaged = tmp_path / "damaged.vrnl"
        blob = bytearray(small.read_bytes())
        blob[45] ^= 0xFF  # a payload byte
        damaged.write_bytes(storefile.recrc(bytes(blob)))  # only the record's own CRC fails
        assert "object CRC32 mismatch at offset 40" in assert_one_line_error(run("verify", damaged))

    def test_usage_errors(self, small):
        for args in ([], ["frobnicate"], ["get", small], ["stats", small, "--bogus"],
                     ["keys", small, "--null", "--json"], ["build", "o", "--shards", "0"],
                     ["build", "o", "--from", small, "--key", "id"],
                     ["build", "o", "--shards", "2", "--from", small, "--from", small],
                     ["merge", "o"], ["build", "o", "--memory-limit", "lots"],
                     ["build", "o", "--memory-limit", str(1 << 64)],
                     ["get", small, "a", "--null"], ["keys", small, "--limit", "-1"],
                     ["build", "o", "--numeric-key"]):
            result = run(*args)
            assert result.returncode == 2 and b"usage:" in result.stderr, args
        assert run("--version").stdout.decode().strip() == f"vornel {vornel.__version__}"

    def test_module_entry_point(self, small):
        result = subprocess.run([sys.executable, "-m", "vornel", "keys", small],
                                capture_output=True)
        assert result.stdout == run("keys", small).stdout


class TestErrors:
    """The package's errors as the tool reports them: one line, the path, exit 1."""

    @pytest.mark.parametrize("command", [["get", "k"], ["keys"], ["dump"], ["stats"], ["verify"]])
    def test_missing_store(self, tmp_path, command):
        path = tmp_path / "nope.vrnl"
        err = assert_one_line_error(run(command[0], path, *command[1:]))
        assert err == f"vornel: {path}: No such file or directory\n"

    def test_not_a_store_and_cut_short(self, tmp_path, small):
        bad = tmp_path / "bad.vrnl"
        bad.write_bytes(b"nonsense" * 10)
        assert assert_one_line_error(run("dump", bad)) == f"vornel: {bad} is not a vornel store\n"
        bad.write_bytes(small.read_bytes()[:60])
        err = assert_one_line_error(run("get", bad, "note"))
        assert err.startswith(f"vornel: {bad}: truncated: 60 bytes, the header expects ")
        err = assert_one_line_error(run("keys", tmp_path))
        assert err == f"vornel: {tmp_path}: not a sharded store (no MANIFEST.json)\n"

    def test_build_targets_checked_before_reading(self, tmp_path, small):
        # stdin is never read: the target is refused first.
        src = lines({"key": "a", "value": 1})
        err = assert_one_line_error(run("build", tmp_path / "no" / "o.vrnl", stdin=src))
        assert err == f"vornel: cannot build {tmp_path / 'no' / 'o.vrnl'}: there is no " \
                      f"directory {tmp_path / 'no'}\n"
        assert "is a directory" in assert_one_line_error(run("build", tmp_path, stdin=src))
        err = assert_one_line_error(run("build", "--shards", 2, small, stdin=src))
        assert err.startswith(f"vornel: {small} exists and is not a directory")

    def test_unreadable_input(self, tmp_path):
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl", tmp_path / "none.jsonl"))
        assert "cannot read" in err


class TestBuildInput:
    @pytest.mark.parametrize(
        ("line", "message"),
        [
            (b'{"key": "c", "value": [1,}', "3:26: Expecting value"),
            (b'{"key": "c", "value": 18446744073709551616}', "3:23: cannot encode the value "
             "of key \'c\'"),
            (b'{"key": "\\udc80", "value": 1}', "3:9: key \'\\udc80\' cannot be stored"),
            (b'{"key": "c", "value": "\xff"}', "3:24: not UTF-8"),
            (b'{"key": "a", "value": 2}', "3:9: duplicate key \'a\'"),
        ],
    )
    def test_bad_line_is_reported_and_nothing_written(self, tmp_path, line, message):
        src = tmp_path / "in.jsonl"
        src.write_bytes(lines({"key": "a", "value": 1}) + b"\n" + line + b"\n"
                        + lines({"key": "z", "value": 2}))
        out = tmp_path / "out.vrnl"
        err = assert_one_line_error(run("build", out, src))
        assert err.startswith(f"vornel: {src}:{message}"), err
        assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]

    def test_stdin_is_named(self, tmp_path):
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl", stdin=b"{}\n"))
        assert err.startswith("vornel: <stdin>:1:1: ")

    def test_duplicate_keys(self, tmp_path):
        # "a" and b"a" are one stored key.
        src = lines({"key": "a", "value": 1}, {"key": "b", "value": 2},
                    {"key": {"$bytes": "YQ=="}, "value": 3})
        out = tmp_path / "o.vrnl"
        err = assert_one_line_error(run("build", out, stdin=src))
        assert err.startswith("vornel: <stdin>:3:9: duplicate key b\'a\'")
        assert not out.exists()
        for policy, kept in (("first", 1), ("last", 3)):
            assert run("build", out, "--on-duplicate", policy, stdin=src).returncode == 0
            assert dict(vornel.open(out)) == {"a": kept, "b": 2}

    @pytest.mark.parametrize(
        ("value", "column", "message"),
        [("9" * 5000, 23, "integer of 5000 digits is too large"),
         ('{"$esc": {"$a": ' * 1500 + "1" + "}}" * 1500, 23, "cannot encode the value of key"),
         ('{"$map": [[1, ' * 1200 + "1" + "]]}" * 1200, 23, "cannot encode the value of key"),
         ('{"$map": [[1, ' * 1000 + "1" + "]]}" * 1000, None, None)])
    def test_deep_and_huge_values(self, tmp_path, value, column, message):
        out = tmp_path / "o.vrnl"
        result = run("build", out, stdin=b'{"key": "a", "value": %s}\n' % value.encode())
        if message is None:  # as deep as a store holds: built
            assert result.returncode == 0, result.stderr
            assert "a" in vornel.open(out)
            return
        err = assert_one_line_error(result)
        assert err.startswith(f"vornel: <stdin>:1:{column}: {message}"), err[:300]

    def test_records_by_key_field(self, tmp_path):
        out = tmp_path / "o.vrnl"
        src = lines({"id": "u1", "name": "Ann"}, {"name": "Bob", "id": "u2", "raw": {"$bytes": "AA=="}})
        assert run("build", out, "--key", "id", stdin=src).returncode == 0
        assert dict(vornel.open(out)) == {"u1": {"id": "u1", "name": "Ann"},
                                          "u2": {"name": "Bob", "id": "u2", "raw": b"\x00"}}
        err = assert_one_line_error(run("build", out, "--key", "id", stdin=lines({"name": "C"})))
        assert err.startswith('vornel: <stdin>:1:1: no member "id"')
        numbered = lines({"id": 7, "name": "Ann"}, {"id": "8", "name": "Bob"})
        err = assert_one_line_error(run("build", out, "--key", "id", stdin=numbered))
        assert err.startswith("vornel: <stdin>:1:8: the key is the number 7 (--numeric-key")
        assert run("build", out, "--key", "id", "--numeric-key", stdin=numbered).returncode == 0
        assert dict(vornel.open(out)) == {"7": {"id": 7, "name": "Ann"},
                                          "8": {"id": "8", "name": "Bob"}}

    def test_rebuild_from_a_store(self, tmp_path, small):
        out = tmp_path / "copy.vrnl"
        result = run("build", out, "--from", small)
        assert result.returncode == 0, result.stderr
        assert dict(vornel.open(out)) == dict(vornel.open(small))


class TestMergesAndChanges:
    @pytest.fixture
    def two(self, tmp_path):
        vornel.build(tmp_path / "a.vrnl", {"k": "from a", "a": 1, "same": [1]})
        vornel.build(tmp_path / "b.vrnl", {"k": "from b", "b": 2, "same": [1]})
        return tmp_path / "a.vrnl", tmp_path / "b.vrnl"

    @pytest.mark.parametrize("policy, kept", [(None, None), ("first", "from a"), ("last", "from b")])
    def test_merge_and_from_twice(self, tmp_path, two, policy, kept):
        flag = [] if policy is None else ["--on-duplicate", policy]
        merged = run("merge", tmp_path / "m.vrnl", *two, *flag)
        built = run("build", tmp_path / "f.vrnl", "--from", two[0], "--from", two[1], *flag)
        if kept is None:
            for result in (merged, built):
                err = assert_one_line_error(result)
                assert f"duplicate key 'k' in {two[0]} and {two[1]} (--on-duplicate" in err
            assert not (tmp_path / "m.vrnl").exists() and not (tmp_path / "f.vrnl").exists()
            return
        assert merged.returncode == built.returncode == 0, merged.stderr + built.stderr
        assert dict(vornel.open(tmp_path / "m.vrnl")) == {"k": kept, "a": 1, "b": 2, "same": [1]}
        assert (tmp_path / "m.vrnl").read_bytes() == (tmp_path / "f.vrnl").read_bytes()
        assert vornel.open(tmp_path / "m.vrnl").stats()["num_objects"] == 4  # live values only

    @pytest.mark.parametrize("compress", [[], ["--compress", "zstd:5"]])
    def test_merge_of_compressed_stores(self, tmp_path, two, compress):
        w = vornel.VornWriter(compression="zstd")
        w.update((f"c{i}", {"text": "the same words " * 8, "n": i}) for i in range(2000))
        w.build(tmp_path / "c.vrnl")
        merged = run("merge", tmp_path / "m.vrnl", two[0], tmp_path / "c.vrnl", *compress)
        assert merged.returncode == 0, merged.stderr
        with vornel.open(tmp_path / "m.vrnl") as r:
            assert r.stats()["compression"] == ("zstd" if compress else None)
            assert dict(r) == {**dict(vornel.open(two[0])), **dict(vornel.open(tmp_path / "c.vrnl"))}

    def test_changes_set_and_delete_keys(self, tmp_path, two):
        changes = tmp_path / "changes.jsonl"
        changes.write_bytes(lines({"key": "a", "delete": True}, {"key": "k", "value": "new"},
                                  {"key": "z", "value": 26}, {"key": "gone", "delete": True}))
        result = run("build", tmp_path / "out.vrnl", "--from", two[0], changes)
        assert result.returncode == 0, result.stderr
        assert dict(vornel.open(tmp_path / "out.vrnl")) == {"k": "new", "same": [1], "z": 26}
        # The key "gone" was in no store: that line changed nothing, and the tool says so.
        summary, note = result.stderr.decode().splitlines()
        assert summary.endswith(" · 4 changes: 3 applied, 1 not")
        assert note == f"vornel: {changes}:4: no key 'gone' in the stores to delete"
        # The same mapping staged from scratch gives the same file.
        vornel.build(tmp_path / "fresh.vrnl", {"z": 26, "same": [1], "k": "new"})
        assert (tmp_path / "out.vrnl").read_bytes() == (tmp_path / "fresh.vrnl").read_bytes()

    def test_a_key_changed_twice_follows_the_policy(self, tmp_path, two):
        changes = tmp_path / "changes.jsonl"
        changes.write_bytes(lines({"key": "k", "value": 1}, {"key": "k", "value": 2}))
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl", "--from", two[0], changes))
        assert err.startswith(f"vornel: {changes}:2:") and "duplicate key 'k'" in err
        result = run("build", tmp_path / "o.vrnl", "--from", two[0], changes, "--on-duplicate", "last")
        assert result.returncode == 0 and vornel.open(tmp_path / "o.vrnl")["k"] == 2

    @pytest.mark.parametrize("given", ["file", "stdin", "changes", "sharded"])
    def test_a_store_given_as_json_lines_says_so(self, tmp_path, two, given):
        from sharded_sets import build_set

        build_set(tmp_path / "set", [("k", 1)], shards=2)
        store = tmp_path / "set" if given == "sharded" else two[1]
        args = {"file": [store], "sharded": [store], "stdin": ["-"],
                "changes": ["--from", two[0], store]}[given]
        result = run("build", tmp_path / "o.vrnl", *args, stdin=two[1].read_bytes())
        err = assert_one_line_error(result)
        name = "<stdin>" if given == "stdin" else store
        assert err.startswith(f"vornel: {name} is a vornel store, not ") and "--from" in err
        assert not (tmp_path / "o.vrnl").exists()

    def test_prune_removes_old_sets_and_failed_builds(self, tmp_path):
        from sharded_sets import build_set
        from vornel.sharded import mark_failed, new_version

        versions = [build_set(tmp_path / "set", [("k", n)], shards=2)["version"] for n in range(3)]
        failed = new_version(tmp_path / "set")
        mark_failed(failed)
        kept = run("prune", tmp_path / "set", "--keep", 2)
        assert kept.returncode == 0, kept.stderr
        assert kept.stdout.decode().splitlines() == [str(tmp_path / "set" / versions[0]), failed]
        assert kept.stderr == b"vornel: removed 2 version folders\n"
        assert sorted(os.listdir(tmp_path / "set")) == ["LOCK", "MANIFEST.json", *versions[1:]]
        assert run("prune", tmp_path / "set").stdout.decode() == \
            f"{tmp_path / 'set' / versions[1]}\n"
        assert vornel.open(tmp_path / "set")["k"] == 2
        assert "no directory" in assert_one_line_error(run("prune", tmp_path / "nothing"))

    def test_a_delete_line_needs_a_store(self, tmp_path):
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl",
                                        stdin=lines({"key": "k", "delete": True})))
        assert "<stdin>:1:" in err and "--from" in err

    @pytest.mark.parametrize("text, size", [("1000", 1000), ("64K", 64 << 10), ("512M", 512 << 20),
                                             ("2GiB", 2 << 30), ("1.5g", 3 << 29), ("3TB", 3 << 40),
                                             ("lots", None), ("0", None), ("5Q", None), ("M", None),
                                             ("16777215.5T", (1 << 64) - (1 << 39)),
                                             ("16777216T", None), ("9" * 400, None)])
    def test_memory_sizes(self, text, size):
        from vornel.cli import _memory_size

        if size is None:
            with pytest.raises(argparse.ArgumentTypeError):
                _memory_size(text)
        else:
            assert _memory_size(text) == size

    def test_a_memory_limit_gives_the_same_store(self, tmp_path):
        src = tmp_path / "in.jsonl"
        src.write_bytes(lines(*({"key": f"k{i % 7000}", "value": i % 50} for i in range(9000))))
        runs = tmp_path / "runs"
        runs.mkdir()
        for name, extra in (("plain", []), ("limited", ["--memory-limit", "64K", "--run-dir", runs])):
            result = run("build", tmp_path / f"{name}.vrnl", src, "--on-duplicate", "last", *extra)
            assert result.returncode == 0, result.stderr
        assert (tmp_path / "plain.vrnl").read_bytes() == (tmp_path / "limited.vrnl").read_bytes()
        assert list(runs.iterdir()) == []
        # A duplicate whose first copy went to a run is refused at its line, as in memory.
        result = run("build", tmp_path / "e.vrnl", src, "--memory-limit", "64K")
        err = assert_one_line_error(result)
        assert f"{src}:7001:" in err and "duplicate key 'k0'" in err
        assert not (tmp_path / "e.vrnl").exists()


# Ctrl-C at a build phase, in a child that runs the tool in-process. The child sends itself
# SIGINT from the build's progress callback as the phase starts, or right after the build
# returned ("published").
INTERRUPTED_BUILD = textwrap.dedent("""
    import os, signal, sys
    from vornel import cli
    from vornel.writer import VornWriter

    phase, stub, out, src = sys.argv[1:]
    build = VornWriter.build

    def interrupting(self, path, verbose=False, *, progress=None):
        def hook(name, *more):
            if name == phase:
                os.kill(os.getpid(), signal.SIGINT)
            if progress is not None:
                progress(name, *more)
        if stub == "1":  # the native build names no phases yet: name them before it
            for name in ("sort", "merge", "write", "fsync"):
                hook(name, 0, 0)
        build(self, path, verbose, progress=hook)
        if phase == "published":
            os.kill(os.getpid(), signal.SIGINT)

    VornWriter.build = interrupting
    sys.exit(cli.main(["build", out, src]))
""")


def _native_phases(tmp_path):
    phases = []
    writer = vornel.VornWriter()
    writer.build(tmp_path / "probe.vrnl", progress=lambda name, *_: phases.append(name))
    os.unlink(tmp_path / "probe.vrnl")
    return list(dict.fromkeys(phases)) == ["sort", "merge", "write", "fsync"]


@pytest.mark.parametrize("phase", ["sort", "merge", "write", "fsync", "published"])
def test_ctrl_c_during_build(tmp_path, phase):
    stub = "0" if _native_phases(tmp_path) else "1"
    src = tmp_path / "in.jsonl"
    src.write_bytes(lines(*({"key": f"k{i}", "value": i} for i in range(5000))))
    out = tmp_path / "out.vrnl"
    result = subprocess.run([sys.executable, "-c", INTERRUPTED_BUILD, phase, stub, out, src],
                            env=child_env(), capture_output=True, timeout=60)
    if phase == "published":
        assert result.returncode == 0, result.stderr
        assert b"published before the interrupt" in result.stderr
        assert len(vornel.open(out)) == 5000
        assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.vrnl"]
    else:
        assert result.returncode == 130, result.stderr
        assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]  # no store, no temporary file


AWKWARD = {
    "bytes": b"\x00\xffbin",
    b"\xff\xfe not utf-8": "key bytes",
    "non-str keys": {1: "a", b"b": 2, None: [3], 2.5: {"x": b"y"}},
    "ext": msgpack.ExtType(3, b"\x01\x02"),
    "timestamp": msgpack.Timestamp(1, 2),
    "floats": [math.inf, -math.inf, 1.0, -0.0, 1e300],
    "looks tagged": {"$bytes": "AAE="},
    "looks escaped": {"$esc": {"$bytes": 1}},
    "two members": {"$bytes": "x", "$float": "nan"},
    "$key": {"$": None},
    "nested": [[{"$map": []}], {"k": b"v"}],
    "plain": {"a": [1, "two", None, True]},
}


def in_process(*args, stdin=None):
    """stdout and exit status of the tool run in this process."""
    out = io.BytesIO()
    return out.getvalue() if cli.main([*map(os.fsdecode, args)], out) == 0 else None


@pytest.fixture(scope="module")
def ranged(tmp_path_factory):
    model = {k: i for i, k in enumerate(
        ["", "a", "a\xff", "ab", "b", "ba", "\u00e9", b"\xff", b"\xff\xff", b"\xff\xffz"])}
    path = tmp_path_factory.mktemp("ranged") / "r.vrnl"
    vornel.build(path, model)
    return path, sorted(model, key=vornel.keys.key_bytes)


bounds = st.none() | st.sampled_from(["", "a", "a\xff", "b", "bz", "\u00e9", "\udcff",
                                      "\udcff\udcff", "\udcff\udcffz"])


class TestSelection:
    """--prefix, --start, --stop, --reverse and --limit of keys and dump, against the
    sorted keys of a model."""

    @settings(max_examples=150, deadline=None)
    @given(prefix=bounds, start=bounds, stop=bounds, reverse=st.booleans(),
           limit=st.none() | st.integers(0, 4))
    def test_keys_and_dump_select_as_the_model(self, ranged, prefix, start, stop, reverse,
                                               limit):
        path, ordered = ranged
        stored = lambda text: vornel.keys.key_bytes(cli._key_arg(text))  # noqa: E731
        want = [k for k in ordered if (prefix is None or vornel.keys.key_bytes(k).startswith(
            stored(prefix))) and (start is None or vornel.keys.key_bytes(k) >= stored(start))
                and (stop is None or vornel.keys.key_bytes(k) < stored(stop))]
        want = (want[::-1] if reverse else want)[:limit]
        options = [*(["--prefix", prefix] if prefix is not None else []),
                   *(["--start", start] if start is not None else []),
                   *(["--stop", stop] if stop is not None else []),
                   *(["--reverse"] if reverse else []),
                   *(["--limit", str(limit)] if limit is not None else [])]
        keys = in_process("keys", path, "--json", *options)
        assert [jsonl.decode_key(json.loads(x)) for x in keys.splitlines()] == want
        dump = in_process("dump", path, *options)
        assert [jsonl.decode_key(json.loads(x)["key"]) for x in dump.splitlines()] == want


class TestDumpBuild:
    def test_round_trip(self, tmp_path):
        first = tmp_path / "first.vrnl"
        vornel.build(first, {**AWKWARD, "nan": math.nan})
        dump = run("dump", first)
        assert dump.returncode == 0, dump.stderr
        for line in dump.stdout.splitlines():
            json.loads(line, parse_constant=pytest.fail)  # strict JSON: no NaN literals
        second = tmp_path / "second.vrnl"
        assert run("build", second, stdin=dump.stdout).returncode == 0
        # Object order follows staging order, so compare the mappings, not the files.
        assert same(dict(vornel.open(second)), dict(vornel.open(first)), nan_bits=False)
        assert run("dump", second).stdout == dump.stdout

    def test_prefix(self, tmp_path, small):
        dump = run("dump", small, "--prefix", "city:")
        assert [json.loads(x)["key"] for x in dump.stdout.splitlines()] == [
            "city:berlin", "city:bern"]

    def test_non_utf8_prefix(self, small):
        dump = run("dump", small, "--prefix", "\udcff")
        assert json.loads(dump.stdout) == {"key": {"$bytes": "/3Jhdw=="},
                                           "value": {"$bytes": "AAE="}}


@pytest.fixture(scope="module")
def scheduler():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  protocol="tcp", host="127.0.0.1",
                                  dashboard_address=":0") as cluster:
        yield cluster.scheduler_address


class TestShardedBuild:
    """`build --shards` keeps what the single build promises: line numbers, one key once."""

    def test_duplicates_and_lines(self, scheduler, tmp_path):
        directory = tmp_path / "set"
        records = [{"key": f"k{i}", "value": i} for i in range(200)]
        src = lines(*records, {"key": "k7", "value": "again"}, {"key": "k9", "value": 0},
                    {"key": "k7", "value": "last"})
        build = ("build", "--shards", 3, "--scheduler", scheduler, directory)
        # Found as the shard's runs are merged, and reported with its key.
        err = assert_one_line_error(run(*build, stdin=src))
        assert err == "vornel: <stdin>: duplicate key 'k7' (--on-duplicate first or last " \
                      "keeps one of them); no new set was published\n"
        assert not (directory / "MANIFEST.json").exists()
        for policy, k7, k9 in (("first", 7, 9), ("last", "last", 0)):
            result = run(*build, "--on-duplicate", policy, stdin=src)
            assert result.returncode == 0, result.stderr
            with vornel.open(directory) as store:
                assert (len(store), store["k7"], store["k9"]) == (200, k7, k9)
        # A value the writer refuses is found here, not on a worker, where its line is known.
        bad = lines(*records[:5]) + b'{"key": "x", "value": [1, 18446744073709551616]}\n'
        err = assert_one_line_error(run(*build, stdin=bad))
        assert err.startswith("vornel: <stdin>:6:23: cannot encode the value of key 'x'")
