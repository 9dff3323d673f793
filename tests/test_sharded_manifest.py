"""Manifests written by someone else: nothing in them is trusted."""

import json
import os
import subprocess
import sys

import pytest

from vornel.sharded import (
    MANIFEST_NAME,
    ManifestError,
    ShardError,
    ShardedReader,
    read_manifest,
    shard_file_name,
)
from sharded_sets import build_set



PAIRS = [(f"key:{i}", {"i": i}) for i in range(600)]


@pytest.fixture
def published(tmp_path):
    directory = tmp_path / "set"
    return directory, build_set(directory, PAIRS, 3)


def write(directory, manifest):
    (directory / MANIFEST_NAME).write_text(json.dumps(manifest))


def test_version_is_a_plain_folder_name(tmp_path, published):
    directory, manifest = published
    elsewhere = build_set(tmp_path / "elsewhere", PAIRS, 3)
    assert elsewhere["shards"] == manifest["shards"]  # the same files, were they followed
    for version in ["../elsewhere/v000001", str(tmp_path / "elsewhere" / "v000001"),
                    "v000001\n", "v000001/", "v\u0660\u0660\u0660\u0660\u0660\u0661",
                    "v00001", "", 1]:
        write(directory, {**manifest, "version": version})
        with pytest.raises(ManifestError, match="is not a version folder's name"):
            ShardedReader(directory)


def test_entry_i_names_shard_i_and_verify_checks_each_keys_shard(published):
    directory, manifest = published
    shards = manifest["shards"]
    for listed in [[shards[1], shards[0], shards[2]], [shards[0], shards[0], shards[2]]]:
        totals = {name: sum(entry[name] for entry in listed)
                  for name in ("num_keys", "num_objects")}
        write(directory, {**manifest, **totals, "shards": listed})
        with pytest.raises(ManifestError, match=r"shards\[(.)\]\.file is 'shard-0000.\.vrnl'; "
                                                r"entry \1 must name 'shard-0000\1\.vrnl'"):
            ShardedReader(directory)
    # Files swapped under each other's names, with entries that describe them: every
    # manifest check passes, and only the keys tell.
    folder = directory / manifest["version"]
    os.rename(folder / shard_file_name(0), folder / "swap")
    os.rename(folder / shard_file_name(1), folder / shard_file_name(0))
    os.rename(folder / "swap", folder / shard_file_name(1))
    listed = [{**shards[1], "file": shard_file_name(0)}, {**shards[0], "file": shard_file_name(1)},
              shards[2]]
    write(directory, {**manifest, "shards": listed})
    with ShardedReader(directory) as reader:
        with pytest.raises(ShardError, match=r"shard-00000.vrnl: holds the key '.*',"
                                             r" which hashes to shard 1"):
            reader.verify()


# A reader that reads /dev/zero to the end fails at 1 GiB instead of taking the machine's
# memory; under AddressSanitizer, whose shadow memory needs far more address space, the
# timeout alone guards.
READ_IN_A_CHILD = """
import os, resource, sys
from vornel.sharded import ManifestError, ShardedReader
# A read that never ends runs out of address space here instead of the machine's memory:
# 1 GiB more than the interpreter has taken so far (ASan's shadow memory wants more).
if "asan" not in os.environ.get("LD_PRELOAD", ""):
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), mapped + (1 << 30)))
try:
    ShardedReader(sys.argv[1])
except ManifestError as error:
    print(error)
"""


def test_manifest_must_be_a_regular_file_of_bounded_size(published):
    directory, _ = published
    path = directory / MANIFEST_NAME

    def oversized():
        with open(path, "wb") as sparse:
            sparse.truncate(33 << 20)

    for make, message in [
        (lambda: os.mkfifo(path), "not a regular file"),  # would wait for a writer
        (lambda: os.symlink("/dev/zero", path), "not a regular file"),  # would never end
        (lambda: os.mkdir(path), "not a regular file"),
        (oversized, "larger than a manifest may be (33554432 bytes)"),
    ]:
        if path.is_dir() and not path.is_symlink():
            path.rmdir()
        else:
            path.unlink()
        make()
        try:
            child = subprocess.run([sys.executable, "-c", READ_IN_A_CHILD, str(directory)],
                                   capture_output=True, timeout=20)
        except subprocess.TimeoutExpired:
            pytest.fail(f"reading a manifest that is {message} hangs")
        assert child.stdout.decode() == f"{path}: {message}\n", child.stderr


def test_every_field_is_checked_by_type_and_total(published):
    directory, manifest = published

    def changed(change):
        copy = json.loads(json.dumps(manifest))
        change(copy)
        return copy

    for change, message in [
        (lambda m: m.update(num_keys=601), "num_keys is 601, but the shards hold 600"),
        (lambda m: m.update(num_keys=-1), "num_keys must be a non-negative integer, not -1"),
        (lambda m: m.update(num_objects=1.0 * m["num_objects"]), "num_objects must be a non-neg"),
        (lambda m: m["shards"][1].update(num_keys=-1), r"shards\[1\]\.num_keys must be a non-neg"),
        (lambda m: m["shards"][0].update(num_objects=True), r"shards\[0\]\.num_objects must be"),
        (lambda m: m.pop("num_keys"), "missing field 'num_keys'"),
        (lambda m: m.pop("version"), "missing field 'version'"),
        (lambda m: m["shards"][2].pop("file_crc32"), r"missing field 'shards\[2\]\.file_crc32'"),
        (lambda m: m["shards"][2].pop("file_size"), r"missing field 'shards\[2\]\.file_size'"),
        (lambda m: m["shards"][2].update(file_crc32="0x1234567890"), r"shards\[2\]\.file_crc32"),
        (lambda m: m["shards"].__setitem__(0, []), r"shards\[0\] must be an object"),
        (lambda m: m.update(shard_count=True), "shard_count must be an integer"),
        (lambda m: m.update(shards={}), "shard_count and shards do not agree"),
    ]:
        write(directory, changed(change))
        with pytest.raises(ManifestError, match=message):
            ShardedReader(directory)
    text = json.dumps(manifest)
    for data, message in [
        (text.encode("utf-16"), "not UTF-8 text"),
        (b"\xef\xbb\xbf" + text.encode(), "not valid JSON"),
        (b"[" * 100_000 + b"]" * 100_000, "nested too deeply"),
        (text.replace('"num_keys": 600', '"num_keys": NaN').encode(), "NaN is not a JSON value"),
        (text.replace("{", '{"hash": "crc32", ', 1).encode(), "member 'hash' appears twice"),
    ]:
        (directory / MANIFEST_NAME).write_bytes(data)
        with pytest.raises(ManifestError, match=message):
            read_manifest(directory)
    # Checksums are numbers, whichever way they are written.
    respelled = changed(lambda m: None)
    spellings = [str.upper, lambda text: int(text, 16), lambda text: hex(int(text, 16))]
    for entry, spell in zip(respelled["shards"], spellings):
        entry["file_crc32"] = spell(entry["file_crc32"])
    write(directory, respelled)
    with ShardedReader(directory) as reader:
        assert reader.verify() and dict(reader.items()) == dict(PAIRS)


def test_relative_path_is_made_absolute(tmp_path, published, monkeypatch):
    directory, _ = published
    monkeypatch.chdir(directory.parent)
    reader = ShardedReader(directory.name, verify=False)
    monkeypatch.chdir(directory / "v000001")
    assert reader["key:7"] == {"i": 7} and len(list(reader.items())) == len(PAIRS)
    assert reader.path == str(directory)
