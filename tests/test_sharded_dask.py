"""Sharded builds on a real local Dask cluster: two worker processes on loopback."""

import contextlib
import json
import logging
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402

import vornel  # noqa: E402
from vornel import VornReader, VornWriter  # noqa: E402
from vornel.dask import build_sharded, prune  # noqa: E402
from sharded_sets import build_set  # noqa: E402
from vornel.sharded import (  # noqa: E402
    FAILED_MARKER,
    MANIFEST_NAME,
    ShardError,
    ShardedReader,
    read_manifest,
    shard_file_name,
    shard_of,
)

PAIRS = 200_000
PARTS = 12


@contextlib.contextmanager
def local_cluster():
    # One retry after a lost worker, so that a task that kills every worker it runs on
    # fails the build after two deaths instead of four.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=":0", silence_logs=logging.CRITICAL)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        # After killed workers, the cluster's own status watcher can trip over a worker
        # it never saw come back (KeyError in distributed); the processes stop anyway.
        with contextlib.suppress(KeyError):
            cluster.close()


@pytest.fixture(scope="module")
def client():
    with local_cluster() as client:
        yield client


@pytest.fixture
def killable_client():
    """A cluster of its own for a test that kills workers, so others keep a healthy one."""
    with local_cluster() as client:
        yield client


def make_pair(i):
    """Pair number i: str, non-ASCII and non-UTF-8 keys; repeated, nested values."""
    if i % 101 == 0:
        key = b"\xfe" + i.to_bytes(4, "big")
    elif i % 13 == 0:
        key = f"größe/{i}"
    else:
        key = f"k/{i % 500:03d}/{i}"
    return key, {"g": i % 97, "even": i % 2 == 0, "tags": ["x"] * (i % 3)}


def pair_partition(part):
    return [make_pair(i) for i in range(part, PAIRS, PARTS)]


@pytest.fixture(scope="module")
def single_store(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("single") / "all.vrnl")
    writer = VornWriter()
    for i in range(PAIRS):
        writer.add(*make_pair(i))
    writer.build(path)
    with VornReader(path) as reader:
        yield reader


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_bag_build_equals_single_store(client, single_store, tmp_path, compression):
    # Pairs are made on the workers, as a real data set would be read there.
    bag = db.from_sequence(range(PARTS), npartitions=PARTS).map_partitions(
        lambda parts: [pair for part in parts for pair in pair_partition(part)])
    manifest = build_sharded(bag, tmp_path, shards=5, compression=compression)
    assert manifest["num_keys"] == PAIRS and manifest["shard_count"] == 5
    with ShardedReader(tmp_path) as sharded:
        assert {sharded.shard(i).stats()["compression"] for i in range(5)} == {compression}
        assert len(sharded) == len(single_store)
        assert list(sharded.items()) == list(single_store.items())
        for prefix in ["k/042/", "k/1", "größe/", b"\xfe\x00\x00", "nothing"]:
            assert list(sharded.prefix(prefix)) == list(single_store.prefix(prefix))
        # Values repeat within each shard and are stored once there.
        assert manifest["num_objects"] <= 5 * single_store.stats()["num_objects"]
        assert sharded.verify()


def test_dataframe_build_equals_single_store(client, tmp_path):
    rows = pd.DataFrame({"key": [f"row:{i}" for i in range(20_000)],
                         "value": [i % 10 for i in range(20_000)],
                         "ignored": 0})
    build_sharded(dd.from_pandas(rows, npartitions=6), tmp_path, shards=4)
    writer = VornWriter()
    for key, value in zip(rows["key"], rows["value"]):
        writer.add(key, int(value))
    writer.build(str(tmp_path / "single.vrnl"))
    with ShardedReader(tmp_path) as sharded, VornReader(str(tmp_path / "single.vrnl")) as single:
        assert list(sharded.items()) == list(single.items())
        assert sharded.manifest["num_objects"] == 4 * 10


def test_dataframe_object_columns_keep_their_values(client, tmp_path):
    # Dask's default setting turns object columns into strings as it reads them; a store
    # built from them must hold the objects, not their repr.
    pairs = {"dict": {"x": None, "n": [1, 2]}, "list": [1, "a"], b"\xffraw": b"\x00\x01",
             "text": "plain", "none": None, "mixed": 7}
    rows = pd.DataFrame({"key": list(pairs), "value": list(pairs.values())})
    frame = dd.from_pandas(rows, npartitions=2)
    frame = dd.concat([frame, dd.from_delayed([dask.delayed(rows.iloc[:1].assign(key="late"))])])
    build_sharded(frame, tmp_path, shards=3)
    with ShardedReader(tmp_path) as sharded:
        assert dict(sharded.items()) == {**pairs, "late": pairs["dict"]}


@pytest.mark.parametrize("policy", ["last", "first", "error"])
def test_duplicates_across_partitions_follow_the_policy(client, tmp_path, policy):
    # Partition p gives every key the value p, so a shard's value says which one won.
    parts = [[(f"key{i}", p) for i in range(300)] + [(f"only{p}/{i}", p) for i in range(50)]
             for p in range(4)]
    bag = db.from_sequence(range(4), npartitions=4).map_partitions(
        lambda ps: [pair for p in ps for pair in parts[p]])
    if policy == "error":
        with pytest.raises(vornel.errors.DuplicateKeyError) as raised:
            build_sharded(bag, tmp_path, shards=3, on_duplicate="error")
        assert str(raised.value.key).startswith("key")
        assert not (tmp_path / MANIFEST_NAME).exists()
        return
    manifest = build_sharded(bag, tmp_path, shards=3, on_duplicate=policy)
    kept = 3 if policy == "last" else 0
    with ShardedReader(tmp_path) as sharded:
        assert dict(sharded.items()) == {**{f"key{i}": kept for i in range(300)},
                                         **{k: v for part in parts for k, v in part[300:]}}
    # Each shard is the file that one writer staging its pairs in input order builds,
    # and nothing of the runs it was merged from is left.
    version = tmp_path / manifest["version"]
    for index in range(3):
        w = VornWriter(on_duplicate=policy)
        w.update((k, v) for part in parts for k, v in part if shard_of(k, 3) == index)
        w.build(tmp_path / "one.vrnl")
        assert (tmp_path / "one.vrnl").read_bytes() == (version / shard_file_name(index)).read_bytes()
    assert sorted(p.name for p in version.iterdir() if not p.name.startswith("shard-")) == \
        ["LOCK", "MANIFEST.json"]


def test_a_retried_partition_is_merged_once(tmp_path):
    from vornel.sharded import merge_shard_runs, new_version, publish, write_partition_runs

    version = new_version(tmp_path)
    pairs = [(f"k{i}", i) for i in range(1000)]
    lost = write_partition_runs(pairs, version, 0, 2)  # an attempt whose result was lost
    kept = write_partition_runs(pairs, version, 0, 2)
    other = write_partition_runs([("z", "last")], version, 1, 2)
    assert lost["attempt"] != kept["attempt"]
    with pytest.raises(ValueError, match="more than one result"):
        merge_shard_runs([lost, kept], version, 0)
    entries = [merge_shard_runs([kept, other], version, i, on_duplicate="error") for i in (0, 1)]
    publish(tmp_path, version, 2, entries)
    with ShardedReader(tmp_path) as sharded:
        assert dict(sharded.items()) == {**dict(pairs), "z": "last"}


def test_one_shard_and_bad_arguments(tmp_path):
    # The local scheduler needs no cluster; wrong arguments leave no version folder behind.
    rows = pd.DataFrame({"key": ["b", "a", "c"], "value": [[1], {"x": None}, "z"]})
    # Left on, Dask turns an object column into strings, dicts and lists included.
    with dask.config.set({"dataframe.convert-string": False}):
        build_sharded(dd.from_pandas(rows, npartitions=2), tmp_path / "one", shards=1,
                      scheduler="sync")
    assert list(vornel.open(tmp_path / "one").items()) == [("a", {"x": None}), ("b", [1]), ("c", "z")]
    bag = db.from_sequence([("a", 1)])
    with pytest.raises(ValueError, match="shards must be an integer from 1"):
        build_sharded(bag, tmp_path / "bad", shards=0)
    with pytest.raises(TypeError, match="not list"):
        build_sharded([("a", 1)], tmp_path / "bad", shards=2)
    with pytest.raises(ValueError, match="lacks the column.s. value"):
        build_sharded(dd.from_pandas(rows[["key"]], npartitions=1), tmp_path / "bad", shards=2)
    with pytest.raises(ValueError, match="lz4"):
        build_sharded(bag, tmp_path / "bad", shards=2, compression="lz4")
    assert not (tmp_path / "bad").exists()


def generation(gen, count=10_000):
    return db.from_sequence([(f"key:{i}", {"gen": gen, "i": i}) for i in range(count)],
                            npartitions=4)


class Sabotage:
    """A value MessagePack cannot encode: the writer's `default` hook meets it on a worker."""

    def __init__(self, marker, every_time):
        self.marker = marker
        self.every_time = every_time


def kill_worker_hook(value):
    # Dies the first time (or every time) it sees the sabotage value, in the middle of
    # staging one shard, as a worker lost to the machine would.
    if isinstance(value, Sabotage):
        if value.every_time or not os.path.exists(value.marker):
            open(value.marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return {"gen": 2, "i": -1}
    raise TypeError(f"cannot encode {type(value).__name__}")


def read_generations(directory, stop, seen, errors):
    """Open the current set again and again; record the generations each reader sees."""
    while not stop.is_set():
        try:
            with ShardedReader(directory) as reader:
                gens = {value["gen"] for value in reader.values()}
                seen.append((reader.manifest["version"], len(reader), gens))
        except Exception as error:  # any failure to read a published set is a fault
            errors.append(error)
        stop.wait(0.05)  # leave the client's thread most of the interpreter


def run_with_readers(directory, build):
    stop, seen, errors = threading.Event(), [], []
    thread = threading.Thread(target=read_generations, args=(directory, stop, seen, errors))
    thread.start()
    try:
        return build()
    finally:
        stop.set()
        thread.join()
        assert errors == [] and seen
        for version, length, gens in seen:
            # Every reader saw one whole set: one generation, every key.
            assert len(gens) == 1
            assert length == (10_000 if gens == {1} else 10_001)


def test_worker_killed_mid_build_still_publishes_whole_set(killable_client, tmp_path):
    old = build_sharded(generation(1), tmp_path, shards=4, scheduler=killable_client)
    data = db.concat([generation(2), db.from_sequence(
        [("sabotage", Sabotage(str(tmp_path / "killed"), every_time=False))])])
    new = run_with_readers(
        tmp_path, lambda: build_sharded(
            data, tmp_path, shards=4, default=kill_worker_hook, scheduler=killable_client))
    assert os.path.exists(tmp_path / "killed")  # a worker really died
    assert new["version"] != old["version"]
    with ShardedReader(tmp_path) as reader:
        assert reader.verify()
        assert len(reader) == 10_001 and {v["gen"] for v in reader.values()} == {2}
    # No attempt files left beside the shards.
    assert sorted(os.listdir(tmp_path / new["version"])) == \
        ["LOCK", MANIFEST_NAME] + [shard_file_name(i) for i in range(4)]


def test_task_failing_for_good_publishes_nothing(killable_client, tmp_path):
    old = build_sharded(generation(1), tmp_path, shards=4, scheduler=killable_client)
    killer = db.concat([generation(2), db.from_sequence(
        [("sabotage", Sabotage(str(tmp_path / "killed"), every_time=True))])])
    with pytest.raises(distributed.KilledWorker):
        run_with_readers(
            tmp_path, lambda: build_sharded(
                killer, tmp_path, shards=4, default=kill_worker_hook, scheduler=killable_client))
    assert read_manifest(tmp_path) == old


def test_failing_value_leaves_previous_set_current(client, tmp_path):
    old = build_sharded(generation(1), tmp_path, shards=3)
    bad = db.concat([generation(2), db.from_sequence([("bad", {1, 2})])])
    with pytest.raises(TypeError, match="bad"):
        build_sharded(bad, tmp_path, shards=3)
    assert read_manifest(tmp_path) == old
    failed = [name for name in os.listdir(tmp_path)
              if os.path.exists(tmp_path / name / FAILED_MARKER)]
    assert len(failed) == 1
    with ShardedReader(tmp_path) as reader:
        assert {v["gen"] for v in reader.values()} == {1} and len(reader) == 10_000
    # Tasks already running when the build failed finish on their workers, holding the
    # folder's lock until then: prune takes the folder once they have.
    removed = []
    for _ in range(100):
        removed += [os.path.basename(p) for p in prune(tmp_path)]
        if removed:
            break
        time.sleep(0.1)
    assert removed == failed


def test_damaged_shard_is_named_by_verify(client, tmp_path):
    manifest = build_sharded(generation(1, 2000), tmp_path, shards=3)
    damaged = tmp_path / manifest["version"] / shard_file_name(1)
    data = bytearray(damaged.read_bytes())
    data[-3] ^= 0x40  # in the last index entry's object offset
    damaged.write_bytes(bytes(data))
    reader = ShardedReader(tmp_path, verify=False)
    with pytest.raises(ShardError, match="shard-00001.vrnl") as caught:
        reader.verify()
    assert caught.value.file == str(damaged)


# --- The command-line tool and vornel.open over a sharded directory ---------------------

VORNEL = str(Path(sys.executable).with_name("vornel"))  # the installed console script


def run(*args, stdin=b"", env=None):
    return subprocess.run([VORNEL, *map(str, args)], input=stdin, capture_output=True,
                          env=None if env is None else {**os.environ, **env})


def jsonl(pairs):
    return b"".join(json.dumps({"key": k, "value": v}).encode() + b"\n" for k, v in pairs)


@pytest.fixture(scope="module")
def cli_set(client, tmp_path_factory):
    directory = tmp_path_factory.mktemp("cli") / "set"
    pairs = [(f"city:{i:04d}", {"n": i % 9, "even": i % 2 == 0}) for i in range(3000)]
    pairs.append(("note", "hi"))
    built = run("build", "--shards", 3, "--scheduler", client.scheduler.address,
                directory, "-", stdin=jsonl(pairs))
    assert built.returncode == 0, built.stderr
    # Equal values are stored once per shard.
    objects = len({(shard_of(k, 3), json.dumps(v, sort_keys=True)) for k, v in pairs})
    size = sum(e['file_size'] for e in read_manifest(directory)['shards'])
    assert 1024 <= size < 1024**2
    assert built.stderr.decode() == \
        f"✅  {directory}  —  3 shards · {objects} objects · 3001 keys · {size / 1024:.1f} KiB\n"
    return directory, dict(pairs)


def test_cli_reads_a_sharded_directory(cli_set):
    directory, expected = cli_set
    got = run("get", directory, "city:0042", "note")
    assert got.returncode == 0
    assert [json.loads(line) for line in got.stdout.splitlines()] == \
        [expected["city:0042"], "hi"]
    missing = run("get", directory, "absent")
    assert missing.returncode == 1 and b"absent" in missing.stderr
    assert run("keys", directory, "--prefix", "city:002").stdout.decode().split() == \
        [f"city:{i:04d}" for i in range(20, 30)]
    assert run("keys", directory).stdout.decode().split() == sorted(expected)
    stats = json.loads(run("stats", "--json", directory).stdout)
    assert (stats["shard_count"], stats["num_keys"]) == (3, 3001)
    assert run("verify", directory).stdout == b"OK\n"


def test_cli_dump_of_a_set_builds_the_same_single_store(cli_set, tmp_path):
    directory, expected = cli_set
    dumped = run("dump", directory)
    assert dumped.returncode == 0
    single = tmp_path / "one.vrnl"
    assert run("build", single, "-", stdin=dumped.stdout).returncode == 0
    with vornel.open(single) as one, vornel.open(directory) as sharded:
        assert isinstance(sharded, ShardedReader)
        assert list(one.items()) == list(sharded.items())
        assert dict(sharded) == expected


@pytest.mark.parametrize("compress", [[], ["--compress", "zstd:5"]])
def test_cli_build_from_a_set_to_another_shard_count(cli_set, client, tmp_path, compress):
    directory, expected = cli_set
    copy = tmp_path / "copy"
    built = run("build", "--shards", 2, "--scheduler", client.scheduler.address, copy,
                "--from", directory, *compress)
    assert built.returncode == 0, built.stderr
    with vornel.open(copy) as again:
        assert again.shard_count == 2 and dict(again) == expected
        assert again.shard(1).stats()["compression"] == ("zstd" if compress else None)


def test_cli_build_with_a_local_cluster(tmp_path):
    # No --scheduler: the tool starts and stops a cluster of its own.
    built = run("build", "--shards", 2, tmp_path / "set", "-", stdin=jsonl([("a", 1), ("b", 2)]))
    assert built.returncode == 0, built.stderr
    assert dict(vornel.open(tmp_path / "set")) == {"a": 1, "b": 2}


def test_cli_build_failures_publish_nothing(client, tmp_path):
    directory = tmp_path / "set"
    address = client.scheduler.address
    first = run("build", "--shards", 2, "--scheduler", address, directory, "-",
                stdin=jsonl([("a", 1), ("b", 2)]))
    assert first.returncode == 0, first.stderr
    before = read_manifest(directory)
    # An integer MessagePack cannot hold fails on a worker: no new set, one error line.
    too_big = run("build", "--shards", 2, "--scheduler", address, directory, "-",
                  stdin=jsonl([("a", 1), ("b", 2**70)]))
    assert too_big.returncode == 1
    assert too_big.stderr.decode().startswith(
        "vornel: <stdin>:2:23: cannot encode the value of key 'b'")
    assert too_big.stderr.count(b"\n") == 1
    assert read_manifest(directory) == before
    # A duplicate found on a worker: its version folder and runs go, a new OUT with them.
    twice = jsonl([("a", 1), ("a", 2)])
    for target in (directory, tmp_path / "new"):
        failed = run("build", "--shards", 2, "--scheduler", address, target, "-", stdin=twice)
        assert failed.returncode == 1 and b"duplicate key 'a'" in failed.stderr
    assert sorted(os.listdir(directory)) == ["LOCK", MANIFEST_NAME, before["version"]]
    assert not (tmp_path / "new").exists()
    bad_line = run("build", "--shards", 2, "--scheduler", address, directory, "-",
                   stdin=b'{"key": "a"}\n')
    assert bad_line.returncode == 1 and bad_line.stderr.startswith(b"vornel: <stdin>:1:1: ")
    assert read_manifest(directory) == before
    unreachable = run("build", "--shards", 2, "--scheduler", "tcp://127.0.0.1:1", directory,
                      "-", stdin=jsonl([("a", 1)]),
                      env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert unreachable.returncode == 1 and b"Traceback" not in unreachable.stderr


def test_cli_verify_names_a_damaged_shard(client, tmp_path):
    manifest = build_sharded(generation(1, 500), tmp_path, shards=2)
    damaged = tmp_path / manifest["version"] / shard_file_name(0)
    damaged.write_bytes(damaged.read_bytes()[:-1] + b"\x00")
    result = run("verify", tmp_path)
    assert result.returncode == 1
    assert result.stderr.decode().startswith("vornel: ") and "shard-00000.vrnl" in result.stderr.decode()


# Ctrl-C, as a terminal sends it to the tool's process group, once the local cluster's
# process has started, while it comes up ("start"), or once the build's tasks are handed to it ("build").
INTERRUPTED_SHARDED_BUILD = """
import os, signal, subprocess, sys, threading
import distributed
import vornel.dask
from vornel import cli

phase, out, src, pid_file = sys.argv[1:]

def interrupt():
    os.killpg(os.getpgrp(), signal.SIGINT)

class Popen(subprocess.Popen):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        with open(pid_file, "w") as f:
            f.write(str(self.pid))
        if phase == "start":  # while the tool waits for the cluster to come up
            threading.Timer(0.2, interrupt).start()

compute = distributed.Client.compute

def computing(self, *args, **kwargs):
    futures = compute(self, *args, **kwargs)
    if phase == "build":
        interrupt()
    return futures

vornel.dask.subprocess.Popen = Popen
distributed.Client.compute = computing
sys.exit(cli.main(["build", "--shards", "2", out, src]))
"""


def living_members(group):
    """The processes of process group `group` that have not exited."""
    alive = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            alive.append(stat.parent.name)
    return alive


@pytest.mark.parametrize("phase, existing", [("start", False), ("build", False),
                                             ("build", True)])
def test_ctrl_c_stops_a_sharded_build_at_once(tmp_path, phase, existing):
    src = tmp_path / "in.jsonl"
    src.write_bytes(jsonl((f"k{i}", i) for i in range(20_000)))
    out = tmp_path / "set"
    if existing:
        build_set(out, [("old", 1)], shards=2)
    before = sorted(os.listdir(out)) if existing else None
    result = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_SHARDED_BUILD, phase, out, src, tmp_path / "pid"],
        capture_output=True, timeout=120, start_new_session=True)
    assert (result.returncode, result.stderr) == (130, b"vornel: interrupted\n")
    assert (sorted(os.listdir(out)) if out.exists() else None) == before
    assert living_members(int((tmp_path / "pid").read_text())) == []
