"""Building, publishing and pruning the sets of a sharded directory.

Any engine can build a set: take a folder with `new_version` (on the driver), build each
shard with `build_shard` (on the workers), then `publish` the collected entries (on the
driver). Without routing the pairs to their shards first: each input partition writes
one sorted run per shard with `write_partition_runs`, and each shard is the merge of its
runs, `merge_shard_runs`. `vornel.dask.build_sharded` does that on a Dask cluster.

Builders and prune take turns through two kinds of `flock` lock files:

- ``directory/LOCK``, held exclusively for short critical sections: `new_version` picking
  a number, `publish` checking and replacing the manifest, `prune` choosing and deleting.
- ``directory/vNNNNNN/LOCK``, held shared by the build that owns the folder: by the
  process that called `new_version` until `publish` or `mark_failed`, and by each
  `build_shard` while it writes. `prune` deletes a folder only when it gets this lock
  exclusively, so it never deletes a folder that a build is still using.
"""

from __future__ import annotations

import errno
import fcntl
import itertools
import os
import shutil
import stat
import tempfile
import threading
import uuid
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from typing import Any

from vornel.errors import ManifestError, ShardError, ShardMissingError, io_error
from vornel.keys import Key
from vornel.reader import VornReader
from vornel.writer import VornWriter

from .layout import (
    FAILED_MARKER,
    LOCK_NAME,
    MANIFEST_NAME,
    MAX_SHARDS,
    RUNS_FOLDER,
    attempt_folder_name,
    check_shard_count,
    run_file_name,
    shard_file_name,
    shards_of,
    version_name,
    version_number,
)
from .manifest import (
    ShardEntry,
    check_entry,
    current_version,
    encode_manifest,
    fsync_dir,
    load_manifest,
    manifest_document,
    parse_manifest,
    write_manifest,
)

__all__ = [
    "build_shard",
    "mark_failed",
    "merge_shard_runs",
    "new_version",
    "prune",
    "publish",
    "remove_failed",
    "shard_entry",
    "write_partition_runs",
]


# --- Locks ---------------------------------------------------------------------------------


def _lock_file(path: str, operation: int, *, create: bool) -> int:
    """A descriptor of the lock file at `path`, locked with `operation`."""
    flags = os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW | (os.O_CREAT if create else 0)
    fd = os.open(path, flags, 0o644)
    try:
        fcntl.flock(fd, operation)
    except BaseException:
        os.close(fd)
        raise
    return fd


@contextmanager
def _directory_lock(root: str) -> Iterator[None]:
    fd = _lock_file(os.path.join(root, LOCK_NAME), fcntl.LOCK_EX, create=True)
    try:
        yield
    finally:
        os.close(fd)


# The version folders this process took with new_version, and their locks' descriptors.
_held: dict[str, int] = {}
_held_guard = threading.Lock()


def _release(folder: str) -> None:
    with _held_guard:
        fd = _held.pop(os.path.abspath(folder), None)
    if fd is not None:
        os.close(fd)


@contextmanager
def _building(folder: str) -> Iterator[None]:
    """Holds the folder's lock shared while a shard is written into it."""
    lock = os.path.join(folder, LOCK_NAME)
    gone = "not a version folder from new_version, or prune removed it"
    try:
        fd = _lock_file(lock, fcntl.LOCK_SH, create=False)
    except FileNotFoundError:
        raise io_error(errno.ENOENT, gone, folder) from None
    try:
        # prune may have removed the folder while this waited for the lock.
        try:
            same = os.path.samestat(os.fstat(fd), os.stat(lock))
        except FileNotFoundError:
            same = False
        if not same:
            raise io_error(errno.ENOENT, gone, folder)
        yield
    finally:
        os.close(fd)


# --- Building ------------------------------------------------------------------------------


def new_version(directory: str | os.PathLike[str]) -> str:
    """Creates the next version folder in `directory` and returns its absolute path.

    The folder's number is above every folder there and above the current set's. The
    calling process holds the folder's lock until `publish` or `mark_failed` (or until it
    exits), so that `prune` leaves the folder alone while the build runs.
    """
    root = os.path.abspath(os.fspath(directory))
    os.makedirs(root, exist_ok=True)
    with _directory_lock(root):
        taken = [number for number in map(version_number, os.listdir(root)) if number is not None]
        number = max([0, *taken, current_version(root) or 0]) + 1
        while True:
            path = os.path.join(root, version_name(number))
            try:
                os.mkdir(path)
                break
            except FileExistsError:
                number += 1
        fd = _lock_file(os.path.join(path, LOCK_NAME), fcntl.LOCK_SH, create=True)
        with _held_guard:
            _held[path] = fd
    return path


def _check_index(index: object, what: str, most: int) -> None:
    if type(index) is not int or not 0 <= index < most:
        raise ValueError(f"{what} must be an integer from 0 to {most - 1}, not {index!r}")


def build_shard(
    pairs: Iterable[tuple[Key, Any]],
    version_dir: str,
    index: int,
    *,
    dedup: bool = True,
    default: Callable[[Any], Any] | None = None,
    compression: str | None = None,
    compression_level: int | None = None,
) -> dict[str, Any]:
    """Builds shard `index` of a set from `pairs` and returns its manifest entry; the
    writer's options (`dedup`, `default`, `compression`) are VornWriter's.

    Runs on a worker. Each attempt builds under a name of its own, so a retried task never
    writes the file that a lost attempt may still be writing. The finished file is then
    hard-linked to the shard's name, which fails if the name exists: the first complete
    attempt wins, a later one discards its copy and reports the winner's file.
    """
    _check_index(index, "shard index", MAX_SHARDS)
    folder = os.path.abspath(version_dir)
    with _building(folder):
        writer = VornWriter(dedup=dedup, default=default, compression=compression,
                            compression_level=compression_level, run_dir=tempfile.gettempdir())
        writer.update(pairs)
        return _publish_shard_file(writer, folder, index)


def _publish_shard_file(writer: VornWriter, folder: str, index: int) -> dict[str, Any]:
    """Builds `writer` as shard `index` of the version folder `folder`, as build_shard says."""
    final = os.path.join(folder, shard_file_name(index))
    stem, extension = os.path.splitext(final)
    attempt = f"{stem}.{uuid.uuid4().hex}{extension}"
    writer.build(attempt)
    try:
        os.link(attempt, final)
    except FileExistsError:
        pass
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV):
            raise
        # A file system without hard links: the check and the rename are two steps, so
        # two attempts finishing at once could both rename; both files are complete.
        if not os.path.exists(final):
            os.rename(attempt, final)
    try:
        os.unlink(attempt)
    except FileNotFoundError:
        pass  # renamed to the shard's name
    return shard_entry(final, index)


# Pairs of an input partition routed to their shards at a time: a partition of any size
# passes through in steps of this many.
_ROUTE_STEP = 65536


def write_partition_runs(
    pairs: Iterable[tuple[Key, Any]],
    version_dir: str,
    partition: int,
    shards: int,
    *,
    dedup: bool = True,
    default: Callable[[Any], Any] | None = None,
    on_duplicate: str = "last",
    memory_limit: int | None = None,
) -> dict[str, Any]:
    """Writes input partition `partition` of a set of `shards` shards as one sorted run per
    shard that its keys reach; returns what `merge_shard_runs` needs of it.

    Runs on a worker. Each attempt writes into a folder of its own, whose name only the
    finished attempt returns: a retried task never mixes with a lost attempt, and a merge
    reads exactly the attempt whose result it was given. A key given twice in the
    partition follows `on_duplicate` ("last", "first" or "error"). The partition's writers
    share `memory_limit` (by default the writer's) and spill to the system's temporary
    directory on the worker.
    """
    check_shard_count(shards)
    _check_index(partition, "partition", 1 << 40)
    folder = os.path.abspath(version_dir)
    with _building(folder):
        attempt = attempt_folder_name(partition, uuid.uuid4().hex)
        where = os.path.join(folder, RUNS_FOLDER, attempt)
        os.makedirs(where)
        share = None if memory_limit is None else max(1, memory_limit // shards)
        writers: dict[int, VornWriter] = {}
        iterator = iter(pairs)
        while step := list(itertools.islice(iterator, _ROUTE_STEP)):
            routed: dict[int, list[tuple[Key, Any]]] = {}
            for pair, home in zip(step, shards_of([pair[0] for pair in step], shards)):
                routed.setdefault(home, []).append(pair)
            for home, routed_pairs in routed.items():
                writer = writers.get(home)
                if writer is None:
                    writer = writers[home] = VornWriter(
                        dedup=dedup, default=default, memory_limit=share,
                        run_dir=tempfile.gettempdir(), on_duplicate=on_duplicate)  # type: ignore[arg-type]
                writer.update(routed_pairs)
        for home, writer in writers.items():
            writer.write_run(os.path.join(where, run_file_name(home)))
        fsync_dir(where)
    return {"partition": partition, "attempt": attempt, "shards": sorted(writers)}


def merge_shard_runs(
    partitions: Iterable[Mapping[str, Any]],
    version_dir: str,
    index: int,
    *,
    dedup: bool = True,
    on_duplicate: str = "last",
    memory_limit: int | None = None,
    compression: str | None = None,
    compression_level: int | None = None,
) -> dict[str, Any]:
    """Builds shard `index` as the merge of its runs from every input partition (the
    results of `write_partition_runs`, one per partition) and returns its manifest entry.
    With `compression`, the shard's values are compressed as VornWriter's are, with a
    dictionary trained on that shard's own values (the runs hold them uncompressed).

    A key in the runs of two partitions follows `on_duplicate`, partitions taken in order:
    "last" keeps the later partition's value, "first" the earlier one's, and "error"
    raises DuplicateKeyError naming the key. Runs on a worker, as build_shard does.
    """
    _check_index(index, "shard index", MAX_SHARDS)
    ordered = sorted(partitions, key=lambda part: part["partition"])
    numbers = [part["partition"] for part in ordered]
    if len(set(numbers)) != len(numbers):
        raise ValueError("a partition has more than one result: give one attempt of each")
    folder = os.path.abspath(version_dir)
    with _building(folder):
        writer = VornWriter(dedup=dedup, memory_limit=memory_limit,
                            run_dir=tempfile.gettempdir(), on_duplicate=on_duplicate,  # type: ignore[arg-type]
                            compression=compression, compression_level=compression_level)
        for part in ordered:
            if index in part["shards"]:
                writer.include(os.path.join(folder, RUNS_FOLDER, str(part["attempt"]),
                                            run_file_name(index)))
        return _publish_shard_file(writer, folder, index)


def shard_entry(path: str, index: int) -> dict[str, Any]:
    """The manifest entry of the shard file at `path`, from its own header."""
    with VornReader(path, verify=False) as reader:
        entry = ShardEntry.from_stats(os.path.basename(path), reader.stats())
    return {"index": index, **entry.document()}


# --- Publishing ----------------------------------------------------------------------------


def _checked_entries(entries: Iterable[Mapping[str, Any]], shards: int) -> dict[int, ShardEntry]:
    by_index: dict[int, ShardEntry] = {}
    for entry in entries:
        if not isinstance(entry, Mapping):
            raise ValueError(f"a shard entry must be a mapping, not {type(entry).__name__}")
        index = entry.get("index")
        if type(index) is not int or not 0 <= index < shards:
            raise ValueError(f"shard entry {index!r} is not a shard of a set of {shards}")
        if index in by_index:
            raise ValueError(f"shard {index} has two entries")
        try:
            by_index[index] = check_entry(dict(entry), index, "shard entry")
        except ManifestError as error:
            raise ValueError(str(error)) from None
    return by_index


def _check_shard_file(folder: str, entry: ShardEntry) -> None:
    path = os.path.join(folder, entry.file)
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        raise ShardMissingError(path) from None
    if not stat.S_ISREG(info.st_mode):
        raise ShardError(path, "not a regular file")
    if info.st_size != entry.file_size:
        raise ShardError(path, f"{info.st_size} bytes, its entry says {entry.file_size}")


def _plain_directory(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def publish(
    directory: str | os.PathLike[str],
    version_dir: str,
    shards: int,
    entries: Iterable[Mapping[str, Any]],
) -> dict[str, Any]:
    """Publishes a fully built version folder as the current set; returns its manifest.

    Shards without an entry (no key hashed to them) are written as empty stores here.
    Everything is checked before anything is replaced: the shard count, the folder (a
    version folder directly inside `directory`), each entry against its file. Then, under
    the directory's lock, the folder must still be there, unmarked, and no newer set may
    be current; the manifest is written into the folder and then atomically over the
    directory's (temporary file, fsync, rename), so readers see the old set or the new.
    Raises ValueError for a set that would move the store back to an older version.
    """
    try:
        return _publish(directory, version_dir, shards, entries)
    finally:
        _release(version_dir)


def _publish(
    directory: str | os.PathLike[str],
    version_dir: str,
    shards: int,
    entries: Iterable[Mapping[str, Any]],
) -> dict[str, Any]:
    check_shard_count(shards)
    root = os.path.abspath(os.fspath(directory))
    folder = os.path.abspath(os.fspath(version_dir))
    name = os.path.basename(folder)
    number = version_number(name)
    if number is None or os.path.realpath(os.path.dirname(folder)) != os.path.realpath(root):
        raise ValueError(f"{version_dir} is not a version folder of {root}")
    by_index = _checked_entries(entries, shards)
    for index in range(shards):
        if index not in by_index:
            empty = build_shard((), folder, index)
            by_index[index] = check_entry(empty, index, "shard entry")
    listed = [by_index[index] for index in range(shards)]
    for entry in listed:
        _check_shard_file(folder, entry)
    fsync_dir(folder)
    document = manifest_document(name, listed)
    data = encode_manifest(document)
    parse_manifest(data, os.path.join(folder, MANIFEST_NAME))  # never publish what readers refuse
    with _directory_lock(root):
        if not _plain_directory(folder):
            raise io_error(errno.ENOENT, "the version folder is gone; nothing was published",
                           folder)
        if os.path.lexists(os.path.join(folder, FAILED_MARKER)):
            raise ValueError(f"{folder} is marked failed; nothing was published")
        current = current_version(root)
        if current is not None and current > number:
            raise ValueError(f"{version_name(current)} is current and newer than {name};"
                             " publishing would move the store back")
        write_manifest(os.path.join(folder, MANIFEST_NAME), data)
        write_manifest(os.path.join(root, MANIFEST_NAME), data)
    # The runs the shards were merged from are read no more.
    shutil.rmtree(os.path.join(folder, RUNS_FOLDER), ignore_errors=True)
    return document


def mark_failed(version_dir: str) -> None:
    """Marks a version folder whose build failed for good, so that `prune` removes it,
    and lets go of its lock. The folder's runs, of use to that build alone, go at once
    unless a task still holds the folder (then they go with it)."""
    try:
        with open(os.path.join(version_dir, FAILED_MARKER), "w") as marker:
            marker.write("build failed; no manifest was published\n")
    except OSError:
        pass
    finally:
        _release(version_dir)
    try:
        fd = _lock_file(os.path.join(version_dir, LOCK_NAME), fcntl.LOCK_EX | fcntl.LOCK_NB,
                        create=False)
    except OSError:
        return  # a task is still writing, or the folder is gone
    try:
        shutil.rmtree(os.path.join(version_dir, RUNS_FOLDER), ignore_errors=True)
    finally:
        os.close(fd)


def remove_failed(version_dir: str) -> bool:
    """Removes a version folder that `mark_failed` marked, unless a task of its build
    still holds it; True when it is gone. Prune does the same for every such folder."""
    folder = os.path.abspath(version_dir)
    with _directory_lock(os.path.dirname(folder)):
        if not os.path.lexists(os.path.join(folder, FAILED_MARKER)):
            return False
        return _remove_unless_held(folder)


# --- Pruning -------------------------------------------------------------------------------


def _warn(message: str) -> None:
    warnings.warn(f"prune: {message}", RuntimeWarning, stacklevel=3)


def _version_folders(root: str, current: str | None) -> list[tuple[int, str]]:
    """The version folders in `root` other than the current set's, oldest first; a name
    that is not a plain directory is skipped with a warning."""
    found = []
    for name in os.listdir(root):
        number = version_number(name)
        if number is None or name == current:
            continue
        path = os.path.join(root, name)
        mode = os.lstat(path).st_mode
        if stat.S_ISLNK(mode):
            _warn(f"{path} is a symbolic link, not a version folder; skipped")
        elif not stat.S_ISDIR(mode):
            _warn(f"{path} is not a directory; skipped")
        else:
            found.append((number, path))
    return sorted(found)


def _remove_unless_held(path: str) -> bool:
    try:
        fd = _lock_file(os.path.join(path, LOCK_NAME), fcntl.LOCK_EX | fcntl.LOCK_NB, create=True)
    except BlockingIOError:
        return False  # a build is using it
    except OSError as error:
        _warn(f"cannot lock {path} ({error.strerror or error}); skipped")
        return False
    try:
        shutil.rmtree(path)
    except OSError as error:
        _warn(f"{path} was only partly removed: {error}")
        return False
    finally:
        os.close(fd)
    return True


def prune(directory: str | os.PathLike[str], keep: int = 1) -> list[str]:
    """Removes old version folders and those of failed builds; returns the removed paths.

    `keep` counts the current set: 1 keeps only it, 2 keeps it and the newest complete
    set before it. Older folders go, complete or not; a folder newer than the current set
    goes only when marked failed, because an unmarked one may belong to a build still
    running. Never removed: the current set, and a folder whose build holds its lock.
    Nothing is removed when the current set's folder is missing (VornFileNotFoundError)
    or the manifest is damaged (ManifestError). A reader that opened an older set and has
    not yet opened all its shards loses them when its folder goes.
    """
    if type(keep) is not int or keep < 1:
        raise ValueError("keep must be at least 1 (it counts the current set)")
    root = os.path.abspath(os.fspath(directory))
    removed: list[str] = []
    with _directory_lock(root):
        version: str | None = None
        current: int | None = None
        if os.path.lexists(os.path.join(root, MANIFEST_NAME)):
            version = load_manifest(root).version
            if not os.path.isdir(os.path.join(root, version)):
                raise io_error(errno.ENOENT, "the current set's folder is missing;"
                                             " nothing was pruned", os.path.join(root, version))
            current = version_number(version)
        older: list[str] = []
        doomed: list[str] = []
        for number, path in _version_folders(root, version):
            if current is not None and number < current:
                older.append(path)
            elif os.path.lexists(os.path.join(path, FAILED_MARKER)):
                doomed.append(path)
        complete = [path for path in reversed(older)
                    if os.path.isfile(os.path.join(path, MANIFEST_NAME))
                    and not os.path.lexists(os.path.join(path, FAILED_MARKER))]
        kept = set(complete[: keep - 1])
        doomed.extend(path for path in older if path not in kept)
        removed = [path for path in doomed if _remove_unless_held(path)]
    return sorted(removed)
