"""The vornel command, run as a subprocess, and the tagged JSON form it reads and writes."""

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import storefile
import vornel
from vornel import tagged

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
                        "note": "hi", b"\xffraw": b"\x00\x01"})
    return path


class TestCommands:
    def test_build_from_file_and_stdin(self, tmp_path):
        src = tmp_path / "in.jsonl"
        src.write_bytes(lines({"key": "a", "value": 1}, {"key": "b", "value": [True, None]}))
        out = tmp_path / "a.vrnl"
        result = run("build", out, src)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode() == f"✅  {out}  —  2 objects · 2 keys · 0.1 KB\n"
        assert result.stderr == b""  # no progress bar when standard error is no terminal
        piped = run("build", tmp_path / "b.vrnl", "-", stdin=src.read_bytes())
        assert piped.returncode == 0
        assert out.read_bytes() == (tmp_path / "b.vrnl").read_bytes()
        assert dict(vornel.open(out)) == {"a": 1, "b": [True, None]}

    def test_progress_bar_on_a_terminal(self, tmp_path):
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
        assert result.stdout.startswith("✅".encode())

    def test_build_into_a_missing_directory(self, tmp_path):
        result = run("build", tmp_path / "no" / "o.vrnl", stdin=lines({"key": "a", "value": 1}))
        assert "VornIOError: open tmp: " in assert_one_line_error(result)

    def test_get(self, small):
        result = run("get", small, "note", "city:bern", "\udcffraw")
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            b'"hi"', b'{"pop": 134000}', b'{"$bytes": "AAE="}']

    def test_get_missing_key(self, small):
        result = run("get", small, "note", "nope")
        assert result.stdout == b'"hi"\n'
        assert "'nope'" in assert_one_line_error(result)

    def test_keys(self, small):
        assert run("keys", small).stdout == b"city:berlin\ncity:bern\nnote\n\xffraw\n"
        assert run("keys", small, "--prefix", "city:ber").stdout == b"city:berlin\ncity:bern\n"
        assert run("keys", small, "--prefix", "zzz").stdout == b""

    def test_stats(self, small):
        result = run("stats", small, "--json")
        stats = json.loads(result.stdout)
        assert stats == vornel.open(small).stats()
        text = run("stats", small).stdout.decode()
        assert "num_keys" in text and "4" in text

    def test_verify(self, small, tmp_path):
        assert run("verify", small).stdout == b"OK\n"
        damaged = tmp_path / "damaged.vrnl"
        blob = bytearray(small.read_bytes())
        blob[45] ^= 0xFF  # a payload byte
        damaged.write_bytes(storefile.recrc(bytes(blob)))  # only the record's own CRC fails
        assert "object CRC32 mismatch at offset 40" in assert_one_line_error(run("verify", damaged))
        blob[41] ^= 0xFF
        damaged.write_bytes(bytes(blob))
        assert "file CRC32 mismatch" in assert_one_line_error(run("verify", damaged))

    @pytest.mark.parametrize("command", [["get", "k"], ["keys"], ["dump"], ["stats"], ["verify"]])
    def test_missing_store(self, tmp_path, command):
        result = run(command[0], tmp_path / "nope.vrnl", *command[1:])
        assert "VornIOError: cannot open" in assert_one_line_error(result)

    def test_corrupt_store(self, tmp_path):
        bad = tmp_path / "bad.vrnl"
        bad.write_bytes(b"nonsense" * 10)
        assert "bad magic" in assert_one_line_error(run("dump", bad))

    def test_usage_errors(self, small):
        for args in ([], ["frobnicate"], ["get", small], ["stats", small, "--bogus"]):
            result = run(*args)
            assert result.returncode == 2 and b"usage:" in result.stderr
        assert run("--version").stdout.decode().strip() == f"vornel {vornel.__version__}"

    def test_module_entry_point(self, small):
        result = subprocess.run([sys.executable, "-m", "vornel", "keys", small],
                                capture_output=True)
        assert result.stdout == run("keys", small).stdout


class TestBadInput:
    @pytest.mark.parametrize(
        ("line", "message"),
        [
            (b'{"key": "c", "value": [1,}', "Expecting value"),
            (b'["c", 1]', 'expected an object {"key": ..., "value": ...}'),
            (b'{"key": "c"}', "expected an object"),
            (b'{"key": 3, "value": 1}', '"key" must be a string'),
            (b'{"key": "c", "value": {"$nope": 1}}', "unknown tag '$nope'"),
            (b'{"key": "c", "value": {"$bytes": "@@"}}', "invalid base64"),
            (b'{"key": "c", "value": 18446744073709551616}', "key 'c'"),
            (b'{"key": "c", "value": "\xff"}', "utf-8"),
        ],
    )
    def test_bad_line_is_reported_and_nothing_written(self, tmp_path, line, message):
        src = tmp_path / "in.jsonl"
        src.write_bytes(lines({"key": "a", "value": 1}) + b"\n" + line + b"\n"
                        + lines({"key": "z", "value": 2}))
        out = tmp_path / "out.vrnl"
        err = assert_one_line_error(run("build", out, src))
        assert err.startswith(f"vornel: {src}:3: ")
        assert message in err
        assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]

    def test_stdin_is_named(self, tmp_path):
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl", stdin=b"{}\n"))
        assert err.startswith("vornel: <stdin>:1: ")

    def test_unreadable_input(self, tmp_path):
        err = assert_one_line_error(run("build", tmp_path / "o.vrnl", tmp_path / "none.jsonl"))
        assert "cannot read" in err


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


def same(a, b):
    """Equality that counts NaN equal to NaN and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and str(a) == str(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


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
        assert same(dict(vornel.open(second)), dict(vornel.open(first)))
        assert run("dump", second).stdout == dump.stdout

    def test_prefix(self, tmp_path, small):
        dump = run("dump", small, "--prefix", "city:")
        assert [json.loads(x)["key"] for x in dump.stdout.splitlines()] == [
            "city:berlin", "city:bern"]

    def test_non_utf8_prefix(self, small):
        dump = run("dump", small, "--prefix", "\udcff")
        assert json.loads(dump.stdout) == {"key": {"$bytes": "/3Jhdw=="},
                                           "value": {"$bytes": "AAE="}}


values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text()
    | st.binary() | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary()),
    lambda inner: st.lists(inner, max_size=3)
    | st.dictionaries(st.text(max_size=3).map(lambda s: "$" + s) | st.text(), inner, max_size=3)
    | st.dictionaries(st.integers() | st.binary(), inner, max_size=3),
    max_leaves=10,
)


class TestTaggedForm:
    @settings(max_examples=200, deadline=None)
    @given(values)
    def test_reversible_through_json_text(self, value):
        text = json.dumps(tagged.encode(value), allow_nan=False)
        assert same(tagged.decode(json.loads(text)), value)

    @pytest.mark.parametrize(
        "bad",
        [{"$float": "NaN"}, {"$ext": [128, ""]}, {"$ext": [True, ""]}, {"$map": [[1]]},
         {"$map": [[[1], 2]]}, {"$esc": {"a": 1, "b": 2}}, {"$esc": 1}, {"$bytes": 5}],
    )
    def test_malformed_tags(self, bad):
        with pytest.raises(tagged.TagError):
            tagged.decode(bad)
