"""Sharded stores: one mapping split by key hash over several store files.

Layout of a sharded directory::

    directory/
      MANIFEST.json           the current set; readers follow only this file
      v000001/                one version folder per build
        MANIFEST.json         the same manifest, written before it is published
        shard-00000.vrnl      one store file per shard
        shard-00001.vrnl
        ...
      v000002/ ...

A key goes to shard ``crc32(key bytes) % shard_count``, where ``crc32`` is the standard
CRC-32 (CRC-32/ISO-HDLC, as ``zlib.crc32`` computes it) of the key's UTF-8 encoding for a
``str`` key, or of the raw bytes for a ``bytes`` key, taken as an unsigned 32-bit integer.
The manifest names the hash, so that every process, machine and tool agrees.

Any engine can build the layout: route each pair with `shard_of`, build each shard with
`build_shard` in a version folder from `new_version`, then `publish` the collected entries.
`vornel.dask.build_sharded` does exactly that on a Dask cluster.
"""

from __future__ import annotations

import errno
import heapq
import json
import os
import re
import shutil
import threading
import time
import uuid
import zlib
from collections.abc import (
    Callable,
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    ValuesView,
)
from typing import Any

from vornel.reader import VornReader
from vornel.writer import Key, VornWriter

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "HASH_NAME",
    "MANIFEST_NAME",
    "ManifestError",
    "ShardError",
    "ShardMissingError",
    "ShardedReader",
    "build_shard",
    "is_sharded",
    "new_version",
    "prune",
    "publish",
    "read_manifest",
    "shard_file_name",
    "shard_of",
    "shards_of",
]


FORMAT_NAME = "vornel-sharded"
FORMAT_VERSION = 1
HASH_NAME = "crc32"
MANIFEST_NAME = "MANIFEST.json"
# Written into a version folder whose build failed for good, so that prune may remove it
# even when it is newer than the current set (an unmarked newer folder may still be building).
FAILED_MARKER = "FAILED"

_VERSION_RE = re.compile(r"^v(\d{6,})$")
_CLOSED = "I/O operation on closed store"


class ShardError(RuntimeError):
    """A shard file is damaged or does not match the manifest. `file` is its path."""

    def __init__(self, file: str, message: str) -> None:
        super().__init__(f"shard {file}: {message}")
        self.file = file


class ShardMissingError(FileNotFoundError, ShardError):
    """A shard file named by the manifest does not exist."""

    def __init__(self, file: str) -> None:
        FileNotFoundError.__init__(self, errno.ENOENT, "shard file is missing", file)
        self.file = file


class ManifestError(ValueError):
    """A manifest that is not valid JSON or not a sharded-store manifest this version reads."""


def key_bytes(key: Key) -> bytes:
    """The key's bytes: UTF-8 for `str`, the bytes themselves for `bytes`."""
    if isinstance(key, str):
        return key.encode("utf-8")
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"key must be str or bytes, not {type(key).__name__}")


def shard_of(key: Key, shards: int) -> int:
    """The shard of `key` among `shards`: CRC-32 of the key's bytes, modulo `shards`."""
    return zlib.crc32(key_bytes(key)) % shards


def shards_of(keys: Iterable[Key], shards: int) -> list[int]:
    """`shard_of` of every key, with the per-key overhead kept out of the loop."""
    crc = zlib.crc32
    return [crc(key.encode("utf-8")) % shards if type(key) is str
            else zlib.crc32(key_bytes(key)) % shards for key in keys]


def shard_file_name(index: int) -> str:
    """The file name of shard `index` inside a version folder."""
    return f"shard-{index:05d}.vrnl"


def is_sharded(path: str | os.PathLike[str]) -> bool:
    """True when `path` is a directory holding a published sharded store."""
    return os.path.isfile(os.path.join(os.fspath(path), MANIFEST_NAME))


# --- Building and publishing -------------------------------------------------------------


def new_version(directory: str | os.PathLike[str]) -> str:
    """Create the next version folder in `directory` and return its absolute path.

    Folders are numbered; `mkdir` fails when another builder took the number first, so
    concurrent builders always get folders of their own.
    """
    root = os.path.abspath(os.fspath(directory))
    os.makedirs(root, exist_ok=True)
    number = max((seq for seq, _ in _version_folders(root)), default=0) + 1
    while True:
        path = os.path.join(root, f"v{number:06d}")
        try:
            os.mkdir(path)
            return path
        except FileExistsError:
            number += 1


def build_shard(
    pairs: Iterable[tuple[Key, Any]],
    version_dir: str,
    index: int,
    *,
    dedup: bool = True,
    default: Callable[[Any], Any] | None = None,
) -> dict[str, Any]:
    """Build shard `index` of a set from `pairs` and return its manifest entry.

    Runs on a worker. Each attempt builds under a name of its own, so a retried task never
    writes the file that a lost attempt may still be writing. The finished file is then
    hard-linked to the shard's name, which fails if the name exists: the first complete
    attempt wins, a later one discards its copy and reports the winner's file.
    """
    writer = VornWriter(dedup=dedup, default=default)
    for key, value in pairs:
        writer.add(key, value)
    final = os.path.join(version_dir, shard_file_name(index))
    attempt = os.path.join(version_dir, f"shard-{index:05d}.{uuid.uuid4().hex}.vrnl")
    writer.build(attempt)
    try:
        os.link(attempt, final)
    except FileExistsError:
        pass
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV):
            raise
        # A file system without hard links: the check and the rename are two steps, so two
        # attempts finishing at the same moment could both rename; both files are complete.
        if not os.path.exists(final):
            os.rename(attempt, final)
    if os.path.exists(attempt):
        os.unlink(attempt)
    return shard_entry(final, index)


def shard_entry(path: str, index: int) -> dict[str, Any]:
    """The manifest entry of the shard file at `path`, from its own header."""
    with VornReader(path, verify=False) as reader:
        stats = reader.stats()
    return {
        "index": index,
        "file": os.path.basename(path),
        "num_keys": stats["num_keys"],
        "num_objects": stats["num_objects"],
        "file_crc32": stats["file_crc32"],
        "file_size": os.path.getsize(path),
    }


def publish(
    directory: str | os.PathLike[str],
    version_dir: str,
    shards: int,
    entries: Iterable[dict[str, Any]],
) -> dict[str, Any]:
    """Publish a fully built version folder as the current set and return its manifest.

    Shards without an entry (no key hashed to them) are written as empty stores here. The
    manifest is written into the version folder first, then atomically over the directory's
    manifest (temporary file, fsync, rename), so readers see the old set or the new one.
    """
    root = os.path.abspath(os.fspath(directory))
    by_index: dict[int, dict[str, Any]] = {}
    for entry in entries:
        index = int(entry["index"])
        if not 0 <= index < shards or index in by_index:
            raise ValueError(f"shard entry {index} is out of range or repeated")
        by_index[index] = entry
    for index in range(shards):
        if index not in by_index:
            by_index[index] = build_shard((), version_dir, index)
    _fsync_dir(version_dir)
    listed = [by_index[index] for index in range(shards)]
    manifest = {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "hash": HASH_NAME,
        "shard_count": shards,
        "version": os.path.basename(version_dir),
        "num_keys": sum(int(e["num_keys"]) for e in listed),
        "num_objects": sum(int(e["num_objects"]) for e in listed),
        "shards": [
            {field: e[field] for field in ("file", "num_keys", "num_objects", "file_crc32", "file_size")}
            for e in listed
        ],
    }
    _write_json_atomic(os.path.join(version_dir, MANIFEST_NAME), manifest)
    _write_json_atomic(os.path.join(root, MANIFEST_NAME), manifest)
    return manifest


def mark_failed(version_dir: str) -> None:
    """Mark a version folder whose build failed for good, so that `prune` removes it."""
    try:
        with open(os.path.join(version_dir, FAILED_MARKER), "w") as marker:
            marker.write("build failed; no manifest was published\n")
    except OSError:
        pass


def prune(directory: str | os.PathLike[str], keep: int = 1) -> list[str]:
    """Remove old version folders and those of failed builds; return the removed paths.

    `keep` counts the current set: 1 keeps only it, 2 keeps it and the newest complete
    set before it. Older folders and incomplete ones older than the current set go. A
    folder newer than the current set goes only if marked failed, because an unmarked one
    may belong to a build still running. A reader that opened an older set and has not yet
    opened all its shards loses them when its folder is removed.
    """
    if keep < 1:
        raise ValueError("keep must be at least 1 (it counts the current set)")
    root = os.path.abspath(os.fspath(directory))
    current = None
    if is_sharded(root):
        match = _VERSION_RE.match(str(read_manifest(root)["version"]))
        current = int(match.group(1)) if match else None
    older: list[tuple[int, str]] = []
    doomed: list[str] = []
    for seq, path in _version_folders(root):
        if current is not None and seq == current:
            continue
        if current is not None and seq < current:
            older.append((seq, path))
        elif os.path.exists(os.path.join(path, FAILED_MARKER)):
            doomed.append(path)
    complete = [path for _, path in sorted(older, reverse=True)
                if os.path.isfile(os.path.join(path, MANIFEST_NAME))]
    kept = set(complete[: keep - 1])
    doomed.extend(path for _, path in older if path not in kept)
    for path in doomed:
        _remove_tree(path)
    return sorted(doomed)


def _remove_tree(path: str) -> None:
    # A task of a failed build may still be finishing its shard in the folder: retry a
    # removal that finds the folder refilled, and raise only if it keeps failing.
    for _ in range(20):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.exists(path):
            return
        time.sleep(0.1)
    shutil.rmtree(path)


def _version_folders(root: str) -> list[tuple[int, str]]:
    found = []
    for name in os.listdir(root):
        match = _VERSION_RE.match(name)
        path = os.path.join(root, name)
        if match and os.path.isdir(path):
            found.append((int(match.group(1)), path))
    return sorted(found)


def _write_json_atomic(path: str, document: dict[str, Any]) -> None:
    # A temporary name of its own per writer, so that two publishers never share one.
    tmp = f"{path}.{uuid.uuid4().hex}.tmp"
    try:
        with open(tmp, "w", encoding="utf-8") as out:
            json.dump(document, out, indent=2)
            out.write("\n")
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    _fsync_dir(os.path.dirname(path))


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# --- Reading -----------------------------------------------------------------------------


def read_manifest(directory: str | os.PathLike[str]) -> dict[str, Any]:
    """Read and check the current manifest of a sharded directory."""
    path = os.path.join(os.fspath(directory), MANIFEST_NAME)
    with open(path, encoding="utf-8") as source:
        try:
            manifest = json.load(source)
        except json.JSONDecodeError as error:
            raise ManifestError(f"{path}: not valid JSON: {error}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT_NAME:
        raise ManifestError(f"{path}: not a {FORMAT_NAME} manifest")
    if manifest.get("format_version") != FORMAT_VERSION:
        raise ManifestError(
            f"{path}: unsupported format_version {manifest.get('format_version')!r}"
            f" (this version reads {FORMAT_VERSION})")
    if manifest.get("hash") != HASH_NAME:
        raise ManifestError(f"{path}: unknown hash {manifest.get('hash')!r}")
    shards = manifest.get("shard_count")
    entries = manifest.get("shards")
    if (not isinstance(shards, int) or shards < 1 or not isinstance(entries, list)
            or len(entries) != shards or not isinstance(manifest.get("version"), str)):
        raise ManifestError(f"{path}: shard_count and shards do not agree")
    for entry in entries:
        if not isinstance(entry, dict) or not all(
                field in entry for field in ("file", "num_keys", "num_objects", "file_crc32")):
            raise ManifestError(f"{path}: incomplete shard entry {entry!r}")
        if os.path.basename(str(entry["file"])) != entry["file"]:
            raise ManifestError(f"{path}: shard file {entry['file']!r} is not a plain name")
    return manifest


def _key_order(key: Key) -> bytes:
    return key.encode("utf-8") if isinstance(key, str) else key


def _pair_order(pair: tuple[Key, Any]) -> bytes:
    return _key_order(pair[0])


class ShardedReader(Mapping[Key, Any]):
    """Read-only mapping over every shard of a sharded directory.

    The manifest is read once, at construction: the reader keeps seeing that set even when
    a newer one is published. A shard is opened on first use and checked against its
    manifest entry (key and object counts, stored checksum); with `verify=True` its
    whole-file checksum is also recomputed when it opens. Lookups open only the key's
    shard; iteration, `items()` and `prefix()` merge the shards in store order.
    """

    def __init__(
        self,
        directory: str | os.PathLike[str],
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        self._directory = os.fspath(directory)
        self._manifest = read_manifest(self._directory)
        self._folder = os.path.join(self._directory, self._manifest["version"])
        self._count: int = self._manifest["shard_count"]
        self._verify = verify
        self._hooks: dict[str, Any] = {}
        if ext_hook is not None:
            self._hooks["ext_hook"] = ext_hook
        if object_hook is not None:
            self._hooks["object_hook"] = object_hook
        self._open: list[VornReader | None] = [None] * self._count
        self._lock = threading.Lock()
        self._closed = False

    # The set itself ----------------------------------------------------------------------

    @property
    def manifest(self) -> dict[str, Any]:
        """The manifest this reader follows."""
        return self._manifest

    @property
    def shard_count(self) -> int:
        return self._count

    def shard_path(self, index: int) -> str:
        """The path of shard `index`'s file."""
        return os.path.join(self._folder, self._manifest["shards"][index]["file"])

    def shard(self, index: int) -> VornReader:
        """The reader of shard `index`, opened and checked on first use."""
        self._check_open()
        reader = self._open[index]
        if reader is None:
            with self._lock:
                reader = self._open[index]
                if reader is None:
                    reader = self._open_shard(index)
                    self._open[index] = reader
        return reader

    def _open_shard(self, index: int) -> VornReader:
        path = self.shard_path(index)
        if not os.path.exists(path):
            raise ShardMissingError(path)
        try:
            reader = VornReader(path, verify=self._verify, **self._hooks)
        except (RuntimeError, ValueError, OSError) as error:
            raise ShardError(path, str(error)) from error
        entry = self._manifest["shards"][index]
        stats = reader.stats()
        for field in ("num_keys", "num_objects", "file_crc32"):
            if stats[field] != entry[field]:
                reader.close()
                raise ShardError(path, f"does not match the manifest: {field} is"
                                       f" {stats[field]!r}, manifest says {entry[field]!r}")
        return reader

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(_CLOSED)

    def _all(self) -> list[VornReader]:
        return [self.shard(index) for index in range(self._count)]

    def _reader_for(self, key: Key) -> VornReader:
        self._check_open()
        return self.shard(shard_of(key, self._count))

    # Mapping -----------------------------------------------------------------------------

    def __getitem__(self, key: Key) -> Any:
        if not isinstance(key, (str, bytes)):
            self._check_open()
            raise KeyError(key)  # not a key a store could hold, as in VornReader
        return self._reader_for(key)[key]

    def get(self, key: Key, default: Any = None) -> Any:
        if not isinstance(key, (str, bytes)):
            self._check_open()
            return default
        return self._reader_for(key).get(key, default)

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, (str, bytes)):
            return False
        return key in self._reader_for(key)

    def __len__(self) -> int:
        self._check_open()
        return int(self._manifest["num_keys"])

    def __iter__(self) -> Iterator[Key]:
        return heapq.merge(*(iter(reader) for reader in self._all()), key=_key_order)

    def keys(self) -> KeysView[Key]:
        self._check_open()
        return KeysView(self)

    def items(self) -> ItemsView[Key, Any]:
        self._check_open()
        return _MergedItems(self)

    def values(self) -> ValuesView[Any]:
        self._check_open()
        return _MergedValues(self)

    def _merged_items(self) -> Iterator[tuple[Key, Any]]:
        return heapq.merge(*(iter(reader.items()) for reader in self._all()), key=_pair_order)

    def prefix(self, prefix: Key) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` pairs whose key starts with `prefix`, in store order."""
        key_bytes(prefix)
        readers = self._all()
        return heapq.merge(*(iter(reader.prefix(prefix)) for reader in readers), key=_pair_order)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The values of `keys` in their order, `default` for a missing one; one batch per shard."""
        self._check_open()
        wanted = list(keys)
        result: list[Any] = [default] * len(wanted)
        positions: dict[int, list[int]] = {}
        for position, key in enumerate(wanted):
            positions.setdefault(shard_of(key, self._count), []).append(position)
        for index, where in positions.items():
            found = self.shard(index).get_many([wanted[p] for p in where], default)
            for position, value in zip(where, found):
                result[position] = value
        return result

    # Checks and metadata -----------------------------------------------------------------

    def verify(self) -> bool:
        """Check every shard deeply and against the manifest; True, or raise naming the shard."""
        for index in range(self._count):
            reader = self.shard(index)
            try:
                reader.verify()
            except (RuntimeError, ValueError, OSError) as error:
                raise ShardError(self.shard_path(index), str(error)) from error
        return True

    def stats(self) -> dict[str, Any]:
        """Metadata of the whole set, from the manifest, with one entry per shard."""
        self._check_open()
        entries = self._manifest["shards"]
        return {
            "path": self._directory,
            "format": self._manifest["format"],
            "format_version": self._manifest["format_version"],
            "version": self._manifest["version"],
            "hash": self._manifest["hash"],
            "shard_count": self._count,
            "num_keys": self._manifest["num_keys"],
            "num_objects": self._manifest["num_objects"],
            "file_size_kb": sum(int(e.get("file_size", 0)) for e in entries) / 1024,
            "shards": [dict(e) for e in entries],
        }

    def close(self) -> None:
        """Close every opened shard; any later use raises ValueError."""
        with self._lock:
            self._closed = True
            for index, reader in enumerate(self._open):
                if reader is not None:
                    reader.close()
                    self._open[index] = None

    def __enter__(self) -> ShardedReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"ShardedReader({self._directory!r}, version={self._manifest['version']!r},"
                f" shards={self._count}, keys={self._manifest['num_keys']})")


class _MergedItems(ItemsView[Key, Any]):
    _mapping: ShardedReader

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._merged_items()


class _MergedValues(ValuesView[Any]):
    _mapping: ShardedReader

    def __iter__(self) -> Iterator[Any]:
        return (value for _, value in self._mapping._merged_items())
