"""Sharded publication and prune against builds running in other processes, and misuse."""

import multiprocessing
import os

import pytest

from vornel.sharded import (
    MANIFEST_NAME,
    ShardError,
    ShardedReader,
    build_shard,
    mark_failed,
    new_version,
    prune,
    publish,
    read_manifest,
    shard_of,
)
from sharded_sets import build_set

SPAWN = multiprocessing.get_context("spawn")
WAIT = 60  # seconds; only a hung child waits this long



def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:
        return f"{type(error).__name__}: {error}"


def slow_publisher(directory, ready, go, report):
    """A build that takes a folder, builds its shard, then publishes only when told."""
    version = new_version(directory)
    entry = build_shard([("k", "slow")], version, 0)
    report.put(version)
    ready.set()
    go.wait(WAIT)
    report.put(outcome(lambda: publish(directory, version, 1, [entry])))


def straggler(version, ready, go, report):
    """A task of a build that failed, still writing its shard (it waits inside staging)."""
    def pairs():
        yield ("k", 1)
        ready.set()
        go.wait(WAIT)
        yield ("j", 2)

    report.put(outcome(lambda: build_shard(pairs(), version, 0)))


def racing_publisher(directory, barrier, report):
    version = new_version(directory)
    entry = build_shard([("k", os.path.basename(version))], version, 0)
    barrier.wait(WAIT)
    result = outcome(lambda: publish(directory, version, 1, [entry]))
    report.put((os.path.basename(version), result))


def start(target, *args):
    process = SPAWN.Process(target=target, args=args)
    process.start()
    return process


def test_prune_spares_folders_that_live_builds_hold(tmp_path):
    directory = str(tmp_path)
    build_set(directory, [("k", "first")], 1)  # v000001
    ready, go, report = SPAWN.Event(), SPAWN.Event(), SPAWN.Queue()
    child = start(slow_publisher, directory, ready, go, report)
    try:
        assert ready.wait(WAIT)
        slow = report.get(timeout=WAIT)  # v000002, still building
        build_set(directory, [("k", "newer")], 1)  # v000003 becomes current
        assert prune(directory) == [os.path.join(directory, "v000001")]
        assert os.path.isdir(slow)
        go.set()
        # Its set is older than the current one: refused, and the store stays readable.
        assert "move the store back" in report.get(timeout=WAIT)
    finally:
        go.set()
        child.join(WAIT)
    with ShardedReader(directory) as reader:
        assert reader["k"] == "newer"

    # A failed build's folder goes only once its last task has stopped writing.
    failed = new_version(directory)
    ready, go = SPAWN.Event(), SPAWN.Event()
    child = start(straggler, failed, ready, go, report)
    try:
        assert ready.wait(WAIT)
        mark_failed(failed)
        assert prune(directory) == [slow]
        assert os.path.isdir(failed)
        go.set()
        assert report.get(timeout=WAIT) == "ok"
    finally:
        go.set()
        child.join(WAIT)
    assert prune(directory) == [failed]
    assert sorted(os.listdir(directory)) == ["LOCK", MANIFEST_NAME, "v000003"]


def test_publication_never_goes_back_and_prune_leaves_what_it_cannot_judge(tmp_path):
    # An older set published after a newer one is refused.
    older, newer = new_version(tmp_path / "a"), new_version(tmp_path / "a")
    publish(tmp_path / "a", newer, 1, [build_shard([("k", "newer")], newer, 0)])
    with pytest.raises(ValueError, match="v000002 is current and newer than v000001"):
        publish(tmp_path / "a", older, 1, [build_shard([("k", "older")], older, 0)])
    assert read_manifest(tmp_path / "a")["version"] == "v000002"

    # Publishers racing in four processes: each publication sees the one before it.
    directory = str(tmp_path / "race")
    barrier, report = SPAWN.Barrier(4), SPAWN.Queue()
    children = [start(racing_publisher, directory, barrier, report) for _ in range(4)]
    results = [report.get(timeout=WAIT) for _ in children]
    for child in children:
        child.join(WAIT)
    published = [version for version, result in results if result == "ok"]
    assert all("move the store back" in result for _, result in results if result != "ok")
    with ShardedReader(directory) as reader:
        assert reader.manifest["version"] == max(published) == reader["k"]

    # The current set's folder is missing: nothing goes, not even older complete sets.
    directory = tmp_path / "lost"
    for value in (1, 2):
        build_set(directory, [("k", value)], 1)
    os.rename(directory / "v000002", directory / "moved")
    with pytest.raises(FileNotFoundError, match="current set's folder is missing") as caught:
        prune(directory, keep=1)
    assert caught.value.filename == str(directory / "v000002")
    assert (directory / "v000001").is_dir()

    # Names of versions that are not plain directories are skipped, with a message.
    directory = tmp_path / "odd"
    for value in (1, 2, 3):
        build_set(directory, [("k", value)], 1)
    os.rename(directory / "v000001", directory / "real")
    os.symlink(directory / "real", directory / "v000001")
    (directory / "v000000").write_text("not a folder")
    with pytest.warns(RuntimeWarning) as warned:
        assert prune(directory) == [str(directory / "v000002")]
    assert sorted(str(w.message) for w in warned) == [
        f"prune: {directory / 'v000000'} is not a directory; skipped",
        f"prune: {directory / 'v000001'} is a symbolic link, not a version folder; skipped",
    ]
    assert (directory / "real").is_dir()


def test_publish_refuses_misuse_before_replacing_anything(tmp_path):
    build_set(tmp_path, [("k", "good")], 2)
    before = (tmp_path / MANIFEST_NAME).read_bytes()
    version = new_version(tmp_path)
    entry = build_shard([("k", "new")], version, shard_of("k", 2))
    outside = new_version(tmp_path / "elsewhere")
    for args, error, message in [
        ((version, 0, []), ValueError, "shards must be an integer from 1"),
        ((version, True, [entry]), ValueError, "shards must be an integer from 1"),
        ((outside, 2, []), ValueError, "is not a version folder of"),
        ((str(tmp_path), 2, []), ValueError, "is not a version folder of"),
        ((os.path.join(version, ".."), 2, []), ValueError, "is not a version folder of"),
        ((version, 2, [entry, entry]), ValueError, "has two entries"),
        ((version, 2, [{**entry, "index": 2}]), ValueError, "not a shard of a set of 2"),
        ((version, 2, [{**entry, "file": "../x.vrnl"}]), ValueError, "must name"),
        ((version, 2, [{**entry, "num_keys": -1}]), ValueError, "num_keys must be"),
        ((version, 2, [{**entry, "file_size": 7}]), ShardError, "its entry says 7"),
    ]:
        with pytest.raises(error, match=message):
            publish(tmp_path, *args)
        assert (tmp_path / MANIFEST_NAME).read_bytes() == before
    with ShardedReader(tmp_path) as reader:
        assert reader["k"] == "good"
    publish(tmp_path, version, 2, [entry])
    with ShardedReader(tmp_path) as reader:
        assert reader["k"] == "new"
