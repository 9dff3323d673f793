"""Sharded stores without a cluster: the shard function, publication, prune and the reader."""

import copy
import fcntl
import json
import multiprocessing
import os
import pickle
import re
import shutil
import subprocess
import sys
import threading

import pytest
from _vornel import _VornReader

import vornel
from vornel import VornCorruptError, VornReader, VornWriter
from vornel.reader import StoreReader
from vornel.sharded import (
    LOCK_NAME,
    MANIFEST_NAME,
    ManifestError,
    ShardError,
    ShardMissingError,
    ShardedReader,
    build_shard,
    mark_failed,
    new_version,
    prune,
    read_manifest,
    remove_failed,
    shard_file_name,
    shard_of,
    shards_of,
    write_partition_runs,
)
from sharded_sets import build_set


def order(key):
    return key.encode("utf-8") if isinstance(key, str) else key


def bitwise_crc32(data):
    """CRC-32/ISO-HDLC bit by bit: the independent model of the documented shard hash."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF



def sample_pairs(count):
    pairs = []
    for i in range(count):
        if i % 11 == 0:
            key = b"\xff\xfe" + i.to_bytes(4, "big")  # not UTF-8: comes back as bytes
        elif i % 7 == 0:
            key = f"ключ:{i}"
        else:
            key = f"item:{i % 37:02d}:{i}"
        pairs.append((key, {"group": i % 13, "tags": ["a", "b"][: i % 3]}))
    return pairs


@pytest.fixture
def single_and_sharded(tmp_path):
    pairs = sample_pairs(3000)
    writer = VornWriter()
    for key, value in pairs:
        writer.add(key, value)
    writer.build(str(tmp_path / "single.vrnl"))
    build_set(tmp_path / "set", pairs, shards=5)
    with VornReader(str(tmp_path / "single.vrnl")) as single, \
            ShardedReader(tmp_path / "set") as sharded:
        yield pairs, single, sharded


def flip_first_record(folder):
    """Flips a byte inside the first object record of shard 2, which no lookup reads;
    returns that shard's path."""
    path = folder / shard_file_name(2)
    data = bytearray(path.read_bytes())
    data[60] ^= 0x01
    path.write_bytes(bytes(data))
    return path


class TestShardFunction:
    def test_is_standard_crc32_of_key_bytes(self):
        assert bitwise_crc32(b"123456789") == 0xCBF43926  # the published check value
        for key in [b"", b"a", b"\x00\xff" * 9, b"user:1234567"]:
            for shards in (1, 2, 7, 64):
                assert shard_of(key, shards) == bitwise_crc32(key) % shards

    def test_str_key_hashes_as_its_utf8_bytes(self):
        texts = ["", "plain", "ключ", "😀 emoji"]
        for text in texts:
            assert shard_of(text, 13) == shard_of(text.encode("utf-8"), 13)
        keys = texts + [t.encode("utf-8") for t in texts] + [b"\xff"]
        assert shards_of(keys, 13) == [shard_of(key, 13) for key in keys]

    def test_other_key_types_are_refused(self):
        with pytest.raises(TypeError, match="int"):
            shard_of(17, 4)

    def test_spreads_sequential_keys_evenly(self):
        counts = [0] * 6
        for i in range(60_000):
            counts[shard_of(f"row-{i}", 6)] += 1
        assert max(counts) < 1.1 * min(counts)


class TestReaderAgainstSingleStore:
    def test_mapping_and_order(self, single_and_sharded):
        pairs, single, sharded = single_and_sharded
        assert len(sharded) == len(single) == len(pairs)
        assert list(sharded) == list(single)
        assert list(sharded.items()) == list(single.items())
        assert list(sharded.values()) == [value for _, value in single.items()]
        assert dict(sharded.items()) == dict(pairs)

    def test_lookups(self, single_and_sharded):
        pairs, _, sharded = single_and_sharded
        for key, value in pairs[::97]:
            assert sharded[key] == value
            assert sharded.get(key) == value
            assert key in sharded
        assert "absent" not in sharded
        assert sharded.get("absent", "dflt") == "dflt"
        for absent in ("absent", None, (1, 2), 5):
            with pytest.raises(KeyError) as missing:
                sharded[absent]
            assert missing.value.args == (absent,)

    def test_ordered_scans_match_single_store(self, single_and_sharded):
        _, single, sharded = single_and_sharded
        ordered = list(single.items())
        for prefix in ["item:0", "item:12:", "ключ", b"\xff\xfe\x00", "", "none"]:
            assert list(sharded.prefix(prefix)) == list(single.prefix(prefix))
            assert list(sharded.prefix_keys(prefix)) == [key for key, _ in single.prefix(prefix)]
        assert list(reversed(sharded)) == [key for key, _ in reversed(ordered)]
        bounds = [None, "", "item:05", "item:05:", "item:36:9", "ключ", b"\xff\xfe",
                  b"\xff\xff"]
        for start in bounds:
            for stop in bounds:
                low, high = (b"" if start is None else order(start)), order(stop)
                expected = [pair for pair in ordered
                            if low <= order(pair[0]) and (stop is None or order(pair[0]) < high)]
                assert list(sharded.range(start, stop)) == expected
                assert list(sharded.range(start, stop, reverse=True)) == expected[::-1]

    def test_shares_the_store_reader_surface(self, single_and_sharded):
        _, single, sharded = single_and_sharded
        assert isinstance(sharded, StoreReader) and not sharded.closed
        raw = sharded.raw
        assert [type(shard) for shard in raw] == [_VornReader] * sharded.shard_count
        assert sum(len(shard.keys()) for shard in raw) == len(single)
        stats = sharded.stats()
        assert stats["path"] == sharded.path == os.path.abspath(sharded.path)
        assert stats["file_size"] == sum(os.path.getsize(sharded.shard_path(i))
                                         for i in range(sharded.shard_count))
        sharded.close()
        assert sharded.closed
        for use in [lambda: sharded.raw, lambda: list(sharded.range()), lambda: reversed(sharded),
                    lambda: sharded.prefix_keys(""), lambda: pickle.dumps(sharded)]:
            with pytest.raises(ValueError, match="I/O operation on closed store"):
                use()

    def test_get_many_keeps_order_and_default(self, single_and_sharded):
        pairs, _, sharded = single_and_sharded
        keys = [key for key, _ in pairs[:200:3]] + ["absent"] + [pairs[5][0]]
        expected = [dict(pairs).get(key, -1) for key in keys]
        assert sharded.get_many(keys, default=-1) == expected

    def test_lookup_opens_only_the_keys_shard(self, single_and_sharded):
        pairs, _, sharded = single_and_sharded
        key = pairs[1][0]
        sharded[key]
        opened = [i for i in range(sharded.shard_count) if sharded._shards[i] is not None]
        assert opened == [shard_of(key, sharded.shard_count)]

    def test_concurrent_first_use_opens_each_shard_once(self, tmp_path):
        build_set(tmp_path, sample_pairs(500), shards=3)
        reader = ShardedReader(tmp_path)
        seen = []
        barrier = threading.Barrier(8)

        def use():
            barrier.wait()
            seen.append([id(reader.shard(i)) for i in range(3)])

        threads = [threading.Thread(target=use) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(ids == seen[0] for ids in seen)

    def test_concurrent_first_lookups_and_scans_share_each_shard(self, tmp_path):
        pairs = sample_pairs(400)
        build_set(tmp_path, pairs, shards=4)
        reader = ShardedReader(tmp_path, verify=False)
        barrier = threading.Barrier(8)
        results = []

        def use(n):
            barrier.wait()
            if n % 2:  # the first use of a shard is a lookup in half of the threads
                results.append([reader.get(key) for key, _ in pairs[n::8]] ==
                               [value for _, value in pairs[n::8]])
            else:
                results.append(dict(reader.items()) == dict(pairs))
            results.append([id(shard) for shard in reader._shards])

        threads = [threading.Thread(target=use, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        answers, shards = results[::2], results[1::2]
        assert all(answers) and len(answers) == 8
        # Whichever thread opened a shard first, every later use got that same reader.
        assert all(ids == shards[-1] for ids in shards if None not in ids)
        assert shards[-1] == [id(reader.shard(i)) for i in range(4)]
        reader.close()

    def test_close_stops_merged_iteration_under_way(self, tmp_path):
        build_set(tmp_path, sample_pairs(300), shards=3)
        scans = [iter, reversed, lambda r: iter(r.items()), lambda r: iter(r.values()),
                 lambda r: r.prefix("item:"), lambda r: r.prefix_keys("item:"),
                 lambda r: r.range("item:1"), lambda r: r.range(None, "item:2", reverse=True)]
        for scan in scans:
            reader = ShardedReader(tmp_path)
            started, unstarted = scan(reader), scan(reader)
            next(started)
            reader.close()
            for merged in [started, unstarted]:
                with pytest.raises(ValueError, match="I/O operation on closed store"):
                    next(merged)

    def test_use_after_close(self, tmp_path):
        build_set(tmp_path, sample_pairs(50), shards=2)
        reader = ShardedReader(tmp_path)
        reader.close()
        reader.close()
        assert "ShardedReader(" in repr(reader)
        for use in [lambda: reader["item:01:1"], lambda: len(reader), lambda: list(reader),
                    lambda: reader.items(), lambda: list(reader.prefix("a")),
                    lambda: reader.get_many(["a"]), reader.verify, reader.stats]:
            with pytest.raises(ValueError, match="I/O operation on closed store"):
                use()


class TestPublication:
    def test_manifest_describes_each_shard(self, tmp_path):
        manifest = build_set(tmp_path, sample_pairs(400), shards=3)
        on_disk = read_manifest(tmp_path)
        assert on_disk == manifest
        assert (manifest["format"], manifest["format_version"], manifest["hash"]) == \
            ("vornel-sharded", 1, "crc32")
        assert manifest["shard_count"] == 3 and manifest["num_keys"] == 400
        folder = tmp_path / manifest["version"]
        assert json.loads((folder / MANIFEST_NAME).read_text()) == manifest
        for index, entry in enumerate(manifest["shards"]):
            assert entry["file"] == shard_file_name(index)
            with VornReader(str(folder / entry["file"])) as shard:
                stats = shard.stats()
                assert (entry["num_keys"], entry["num_objects"], entry["file_crc32"]) == \
                    (stats["num_keys"], stats["num_objects"], stats["file_crc32"])
                assert all(shard_of(key, 3) == index for key in shard)
        # Only the finished files remain: no attempt or temporary names.
        assert sorted(os.listdir(folder)) == \
            [LOCK_NAME, MANIFEST_NAME] + [shard_file_name(i) for i in range(3)]

    def test_shards_without_keys_are_empty_stores(self, tmp_path):
        manifest = build_set(tmp_path, [("only", 1)], shards=4)
        assert [e["num_keys"] for e in manifest["shards"]].count(0) == 3
        with ShardedReader(tmp_path) as reader:
            assert dict(reader.items()) == {"only": 1} and reader.verify()

    def test_second_attempt_keeps_the_first_complete_file(self, tmp_path):
        version = new_version(tmp_path)
        first = build_shard([("k", "first")], version, 0)
        second = build_shard([("k", "second"), ("j", 2)], version, 0)
        assert second == first
        assert sorted(os.listdir(version)) == [LOCK_NAME, shard_file_name(0)]
        with VornReader(os.path.join(version, shard_file_name(0))) as shard:
            assert dict(shard.items()) == {"k": "first"}

    def test_new_set_replaces_old_but_open_reader_keeps_its_set(self, tmp_path):
        build_set(tmp_path, [("k", "old"), ("x", 1)], shards=2)
        old = ShardedReader(tmp_path)
        build_set(tmp_path, [("k", "new")], shards=3)
        assert dict(old.items()) == {"k": "old", "x": 1}
        with ShardedReader(tmp_path) as new:
            assert dict(new.items()) == {"k": "new"} and new.shard_count == 3

    def test_version_folders_are_distinct_and_increasing(self, tmp_path):
        names = [os.path.basename(new_version(tmp_path)) for _ in range(3)]
        assert names == ["v000001", "v000002", "v000003"]


class TestPrune:
    def test_keep_counts_the_current_set(self, tmp_path):
        versions = [build_set(tmp_path, [("k", n)], shards=2)["version"] for n in range(4)]
        os.mkdir(tmp_path / "v000000")  # older than every set: a build that died early
        assert [os.path.basename(p) for p in prune(tmp_path, keep=2)] == \
            ["v000000", versions[0], versions[1]]
        assert sorted(p for p in os.listdir(tmp_path) if p.startswith("v")) == versions[2:]
        prune(tmp_path)
        assert sorted(os.listdir(tmp_path)) == [LOCK_NAME, MANIFEST_NAME, versions[3]]
        assert ShardedReader(tmp_path)["k"] == 3

    def test_newer_folder_goes_only_when_marked_failed(self, tmp_path):
        build_set(tmp_path, [("k", 1)], shards=1)
        running = new_version(tmp_path)
        failed = new_version(tmp_path)
        mark_failed(failed)
        assert prune(tmp_path) == [failed]
        assert os.path.isdir(running)
        with pytest.raises(ValueError, match="keep"):
            prune(tmp_path, keep=0)

    def test_a_failed_build_drops_its_runs_unless_a_task_holds_the_folder(self, tmp_path):
        for held in (False, True):
            failed = new_version(tmp_path)
            write_partition_runs([("k", 1)], failed, 0, 2)
            holder = os.open(os.path.join(failed, LOCK_NAME), os.O_RDONLY)
            if held:
                fcntl.flock(holder, fcntl.LOCK_SH)  # a task still writing
            mark_failed(failed)
            os.close(holder)
            assert os.path.isdir(os.path.join(failed, "runs")) == held
            assert remove_failed(failed) and not os.path.exists(failed)
        assert not remove_failed(new_version(tmp_path))  # not marked: it may be building

    def test_without_a_published_set_only_failed_folders_go(self, tmp_path):
        running, failed = new_version(tmp_path), new_version(tmp_path)
        mark_failed(failed)
        assert prune(tmp_path) == [failed] and os.path.isdir(running)


class TestDamage:
    @pytest.fixture
    def published(self, tmp_path):
        manifest = build_set(tmp_path, sample_pairs(600), shards=3)
        return tmp_path, tmp_path / manifest["version"]

    def test_missing_shard_is_named(self, published):
        directory, folder = published
        os.unlink(folder / shard_file_name(1))
        reader = ShardedReader(directory)
        with pytest.raises(ShardMissingError, match="shard-00001.vrnl") as caught:
            list(reader)
        assert isinstance(caught.value, FileNotFoundError)
        assert isinstance(caught.value, ShardError)
        assert caught.value.file == str(folder / shard_file_name(1))

    def test_shard_from_another_set_is_refused(self, published):
        directory, folder = published
        shutil.copyfile(folder / shard_file_name(0), folder / shard_file_name(2))
        reader = ShardedReader(directory, verify=False)
        with pytest.raises(ShardError, match="shard-00002.vrnl.*does not match the manifest"):
            reader.verify()

    def test_flipped_byte_is_reported_by_verify(self, published):
        directory, folder = published
        flip_first_record(folder)
        with pytest.raises(ShardError, match="shard-00002.vrnl"):
            ShardedReader(directory).verify()
        # Unchecked at open, the damage still shows in the deep check.
        reader = ShardedReader(directory, verify=False)
        with pytest.raises(ShardError, match="shard-00002.vrnl"):
            reader.verify()

    def test_every_reader_defaults_to_the_cheap_open(self, published):
        # A damaged record that no lookup reads: only a checked open sees it at once.
        directory, folder = published
        path = flip_first_record(folder)
        held = sorted((pair for pair in sample_pairs(600) if shard_of(pair[0], 3) == 2),
                      key=lambda pair: order(pair[0]))
        key, value = next(pair for pair in held if pair[1] != held[0][1])
        openers = [VornReader, vornel.open, ShardedReader, vornel.open]
        places = [str(path), str(path), directory, directory]
        for opener, place in zip(openers, places):
            with opener(place) as reader:
                assert reader[key] == value
            with pytest.raises(VornCorruptError):
                with opener(place, verify=True) as reader:
                    reader[key]

    def test_damage_names_the_shard_once_and_io_errors_stay_os_errors(self, published):
        directory, folder = published
        path = folder / shard_file_name(1)
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])
        with pytest.raises(ShardError) as caught:
            list(ShardedReader(directory))
        assert str(caught.value).count(str(path)) == 1
        flipped = bytearray(data)
        flipped[60] ^= 0x01
        path.write_bytes(bytes(flipped))
        with pytest.raises(ShardError, match="CRC") as caught:
            ShardedReader(directory, verify=False).verify()
        assert str(caught.value).count(str(path)) == 1
        # A failing system call is no damage: callers catch it as the OSError it is.
        path.unlink()
        path.mkdir()
        for use in [lambda reader: list(reader), lambda reader: reader.verify()]:
            with pytest.raises(IsADirectoryError) as caught:
                use(ShardedReader(directory))
            assert not isinstance(caught.value, ShardError)

    @pytest.mark.parametrize("field, change", [("num_keys", 1), ("num_objects", 1),
                                               ("file_crc32", 1), ("file_size", 1)])
    def test_every_way_in_checks_the_shard_against_its_entry(self, published, field, change):
        directory, folder = published
        manifest = read_manifest(directory)
        entry = manifest["shards"][1]
        entry[field] = f"0x{int(entry[field], 16) ^ change:08x}" if field == "file_crc32" \
            else entry[field] + change
        if field in manifest:
            manifest[field] += change
        (directory / MANIFEST_NAME).write_text(json.dumps(manifest))
        key = next(key for key, _ in sample_pairs(600) if shard_of(key, 3) == 1)
        message = f"shard-00001.vrnl: does not match the manifest: {field} is"
        for use in [lambda r: r[key], lambda r: key in r, lambda r: r.get(key),
                    lambda r: r.get_many([key]), lambda r: list(r), lambda r: next(r.prefix("")),
                    lambda r: r.verify()]:
            with ShardedReader(directory, verify=False) as reader:
                with pytest.raises(ShardError, match=re.escape(message)):
                    use(reader)

    def test_bad_manifests(self, published):
        directory, _ = published
        manifest = read_manifest(directory)
        for change, message in [({"format": "other"}, "not a vornel-sharded manifest"),
                                ({"format_version": 2}, "unsupported format_version 2"),
                                ({"hash": "md5"}, "unknown hash 'md5'"),
                                ({"shard_count": 4}, "do not agree")]:
            (directory / MANIFEST_NAME).write_text(json.dumps({**manifest, **change}))
            with pytest.raises(ManifestError, match=message):
                ShardedReader(directory)
        (directory / MANIFEST_NAME).write_text("{")
        with pytest.raises(ManifestError, match="not valid JSON"):
            ShardedReader(directory)


def refusing_hook(obj):
    if "secret" in obj:
        raise KeyError("the hook refuses")
    return obj


def tagging_hook(obj):
    return {**obj, "tagged": True}


def lookup_in_child(reader_and_key):
    reader, key = reader_and_key
    return reader[key], reader.path, reader.shard(0).closed is False


class TestReaderRules:
    def test_a_hooks_key_error_is_not_a_missing_key(self, tmp_path):
        build_set(tmp_path, [("open", {"a": 1}), ("hidden", {"secret": 1})], shards=3)
        with ShardedReader(tmp_path, object_hook=refusing_hook) as reader:
            for read in [lambda: reader.get("hidden"), lambda: reader.get("hidden", 0),
                         lambda: reader.get_many(["open", "hidden"]), lambda: reader["hidden"]]:
                with pytest.raises(KeyError, match="the hook refuses"):
                    read()
            assert reader.get_many(["open", "absent"], -1) == [{"a": 1}, -1]
            assert reader.get("absent", -1) == -1

    def test_only_str_and_bytes_are_keys(self, tmp_path):
        # Keys whose bytes a non-key would spell if it were converted.
        build_set(tmp_path, [("ab", 1), (b"\x01\x02", 2), ("None", 3), ("42", 4)], shards=2)
        with ShardedReader(tmp_path) as reader:
            for key in [(1, 2), [1, 2], bytearray(b"ab"), memoryview(b"ab"), 42, None,
                        "\ud800", "ab\udfff", 1.5]:
                assert key not in reader
                assert reader.get(key, "absent") == "absent"
                assert reader.get_many([key, "ab"], "absent") == ["absent", 1]
                with pytest.raises(KeyError):
                    reader[key]
            assert list(reader.prefix("a\ud800")) == [] == list(reader.prefix_keys("\udc00"))
            for scan in [lambda: reader.prefix(42), lambda: reader.prefix_keys(b"a"[0]),
                         lambda: reader.range((1,)), lambda: reader.range(None, bytearray())]:
                with pytest.raises(TypeError, match=r"must be str(, bytes)? or"):
                    scan()
        with pytest.raises(ValueError, match="lone surrogate") as caught:
            shard_of("\ud800", 2)
        assert not isinstance(caught.value, UnicodeEncodeError)

    def test_pickles_and_copies_by_path_verify_and_hooks(self, tmp_path, monkeypatch):
        build_set(tmp_path / "set", sample_pairs(300), shards=3)
        monkeypatch.chdir(tmp_path)
        pairs = dict(sample_pairs(300))
        keys = list(pairs)[::50]
        with ShardedReader("set", verify=False, object_hook=tagging_hook) as reader:
            with multiprocessing.get_context("spawn").Pool(2) as pool:
                found = pool.map(lookup_in_child, [(reader, key) for key in keys])
            assert found == [({**pairs[key], "tagged": True}, str(tmp_path / "set"), True)
                             for key in keys]
            twin = copy.copy(reader)
            twin.close()
            assert reader[keys[0]]["tagged"] and twin.closed and not reader.closed


def test_import_vornel_loads_neither_sharded_stores_nor_dask():
    code = ("import sys, vornel; loaded = [m for m in sys.modules if m.startswith("
            "('vornel.sharded', 'vornel.dask', 'dask', 'distributed'))]; print(loaded);"
            "vornel.ShardedReader; print('vornel.sharded' in sys.modules)")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert child.stdout == "[]\nTrue\n"
