"""The manifest of a sharded store: read with care, checked field by field, written atomically.

A manifest comes from a shared directory that other people and programs write, so nothing
in it is trusted: the file must be a regular file of bounded size, the JSON plain UTF-8,
every field present with the right type, the version a plain folder name, entry `i` the
file of shard `i`, and the totals the sums of the entries.
"""

from __future__ import annotations

import errno
import json
import os
import re
import stat
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from vornel.errors import ManifestError, io_error

from .layout import (
    FORMAT_NAME,
    FORMAT_VERSION,
    HASH_NAME,
    MANIFEST_NAME,
    MAX_SHARDS,
    shard_file_name,
    version_number,
)

__all__ = [
    "MAX_MANIFEST_BYTES",
    "Manifest",
    "ShardEntry",
    "check_entry",
    "check_manifest",
    "current_version",
    "encode_manifest",
    "fsync_dir",
    "load_manifest",
    "manifest_document",
    "read_manifest",
    "write_manifest",
]

# The largest manifest read. One entry takes about 200 bytes as published, so the largest
# set (MAX_SHARDS entries) needs about 20 MB.
MAX_MANIFEST_BYTES = 32 << 20

_CRC32_TEXT = re.compile(r"0[xX][0-9a-fA-F]{1,8}", re.ASCII)
_READ_CHUNK = 1 << 20


@dataclass(frozen=True, slots=True)
class ShardEntry:
    """What the manifest says of one shard file: its counts, stored checksum and size."""

    file: str
    num_keys: int
    num_objects: int
    file_crc32: int
    file_size: int

    @classmethod
    def from_stats(cls, file: str, stats: Mapping[str, Any]) -> ShardEntry:
        """The entry of the shard file named `file`, from its reader's `stats()`."""
        return cls(file=file, num_keys=int(stats["num_keys"]),
                   num_objects=int(stats["num_objects"]),
                   file_crc32=int(str(stats["file_crc32"]), 16),
                   file_size=int(stats["file_size"]))

    def document(self) -> dict[str, Any]:
        return {"file": self.file, "num_keys": self.num_keys, "num_objects": self.num_objects,
                "file_crc32": f"0x{self.file_crc32:08x}", "file_size": self.file_size}


@dataclass(frozen=True, slots=True)
class Manifest:
    """A checked manifest: the fields readers use, and the JSON document as read."""

    version: str
    num_keys: int
    num_objects: int
    shards: tuple[ShardEntry, ...]
    document: dict[str, Any]

    @property
    def shard_count(self) -> int:
        return len(self.shards)


# --- Checking ------------------------------------------------------------------------------


def _fail(where: str, message: str) -> NoReturn:
    raise ManifestError(f"{where}: {message}")


def _shown(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _field(document: dict[str, Any], name: str, where: str, label: str) -> object:
    if name not in document:
        _fail(where, f"missing field {label!r}")
    return document[name]


def _count(document: dict[str, Any], name: str, where: str, label: str) -> int:
    value = _field(document, name, where, label)
    if type(value) is not int or value < 0:
        _fail(where, f"{label} must be a non-negative integer, not {_shown(value)}")
    return value


def _crc32(value: object, where: str, label: str) -> int:
    # Compared as a number: "0x00ABCDEF" and "0xabcdef" name the same checksum.
    if type(value) is int and 0 <= value <= 0xFFFFFFFF:
        return value
    if isinstance(value, str) and _CRC32_TEXT.fullmatch(value):
        return int(value, 16)
    _fail(where, f"{label} must be a 32-bit checksum such as \"0x1a2b3c4d\", not {_shown(value)}")


def check_entry(entry: object, index: int, where: str) -> ShardEntry:
    """The manifest entry of shard `index`, checked; ManifestError names the bad field."""
    label = f"shards[{index}]"
    if not isinstance(entry, dict):
        _fail(where, f"{label} must be an object, not {_shown(entry)}")
    file = _field(entry, "file", where, f"{label}.file")
    expected = shard_file_name(index)
    if file != expected:
        _fail(where, f"{label}.file is {_shown(file)}; entry {index} must name {expected!r}")
    return ShardEntry(
        file=expected,
        num_keys=_count(entry, "num_keys", where, f"{label}.num_keys"),
        num_objects=_count(entry, "num_objects", where, f"{label}.num_objects"),
        file_crc32=_crc32(_field(entry, "file_crc32", where, f"{label}.file_crc32"),
                          where, f"{label}.file_crc32"),
        file_size=_count(entry, "file_size", where, f"{label}.file_size"),
    )


def _entries(entries: list[object], where: str) -> tuple[ShardEntry, ...]:
    """Every entry of `entries`, checked as check_entry checks it.

    An entry as the builder writes it is taken in a few steps; anything else goes through
    check_entry, whose message names the field that is wrong.
    """
    checked: list[ShardEntry] = []
    for index, entry in enumerate(entries):
        found = None
        if type(entry) is dict:
            try:
                file, keys, objects, crc, size = (entry["file"], entry["num_keys"],
                                                  entry["num_objects"], entry["file_crc32"],
                                                  entry["file_size"])
            except KeyError:
                pass
            else:
                if type(crc) is str and _CRC32_TEXT.fullmatch(crc):
                    crc = int(crc, 16)
                # Exact types: bool, an int subclass, is no count.
                if (type(keys) is int and keys >= 0 and type(objects) is int and objects >= 0
                        and type(size) is int and size >= 0
                        and type(crc) is int and 0 <= crc <= 0xFFFFFFFF
                        and file == shard_file_name(index)):
                    found = ShardEntry(file, keys, objects, crc, size)
        checked.append(found if found is not None else check_entry(entry, index, where))
    return tuple(checked)


def check_manifest(document: object, where: str) -> Manifest:
    """`document` checked as a manifest this vornel reads; ManifestError otherwise."""
    if not isinstance(document, dict) or document.get("format") != FORMAT_NAME:
        _fail(where, f"not a {FORMAT_NAME} manifest")
    format_version = _field(document, "format_version", where, "format_version")
    if type(format_version) is not int or format_version != FORMAT_VERSION:
        _fail(where, f"unsupported format_version {_shown(format_version)}"
                     f" (this version reads {FORMAT_VERSION})")
    hash_name = _field(document, "hash", where, "hash")
    if hash_name != HASH_NAME:
        _fail(where, f"unknown hash {_shown(hash_name)}")
    version = _field(document, "version", where, "version")
    if not isinstance(version, str) or version_number(version) is None:
        _fail(where, f"version {_shown(version)} is not a version folder's name (v000001, ...)")
    shard_count = _field(document, "shard_count", where, "shard_count")
    if type(shard_count) is not int or not 1 <= shard_count <= MAX_SHARDS:
        _fail(where, f"shard_count must be an integer from 1 to {MAX_SHARDS},"
                     f" not {_shown(shard_count)}")
    entries = _field(document, "shards", where, "shards")
    if not isinstance(entries, list) or len(entries) != shard_count:
        count = len(entries) if isinstance(entries, list) else _shown(entries)
        _fail(where, f"shard_count and shards do not agree: {shard_count} and {count}")
    shards = _entries(entries, where)
    totals = {}
    for name in ("num_keys", "num_objects"):
        total = _count(document, name, where, name)
        held = sum(getattr(entry, name) for entry in shards)
        if total != held:
            _fail(where, f"{name} is {total}, but the shards hold {held}")
        totals[name] = total
    return Manifest(version=version, num_keys=totals["num_keys"],
                    num_objects=totals["num_objects"], shards=shards, document=document)


def _refuse_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON value")


def _unique_members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    members = dict(pairs)
    if len(members) != len(pairs):  # the pairs of one object: look for the name again
        seen: set[str] = set()
        for name, _ in pairs:
            if name in seen:
                raise ValueError(f"member {name!r} appears twice in one object")
            seen.add(name)
    return members


def parse_manifest(data: bytes, where: str) -> Manifest:
    """A manifest's bytes, decoded and checked."""
    try:
        document = json.loads(data.decode("utf-8"), parse_constant=_refuse_constant,
                              object_pairs_hook=_unique_members)
    except UnicodeDecodeError as error:
        _fail(where, f"not UTF-8 text: {error}")
    except RecursionError:
        _fail(where, "JSON nested too deeply")
    except ValueError as error:  # JSONDecodeError, and the refusals above
        _fail(where, f"not valid JSON: {error}")
    return check_manifest(document, where)


# --- Reading -------------------------------------------------------------------------------


def read_file(path: str) -> bytes:
    """The bytes of the regular file at `path`, at most MAX_MANIFEST_BYTES of them.

    Opened without blocking, so that a FIFO is refused instead of waiting for a writer,
    and checked with fstat, so that a device is refused instead of read without end.
    """
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.ENXIO:  # a socket
            _fail(path, "not a regular file")
        raise
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            _fail(path, "not a regular file")
        chunks: list[bytes] = []
        size = 0
        while chunk := os.read(fd, min(_READ_CHUNK, MAX_MANIFEST_BYTES + 1 - size)):
            chunks.append(chunk)
            size += len(chunk)
            if size > MAX_MANIFEST_BYTES:
                _fail(path, f"larger than a manifest may be ({MAX_MANIFEST_BYTES} bytes)")
        return b"".join(chunks)
    finally:
        os.close(fd)


def load_manifest(directory: str | os.PathLike[str]) -> Manifest:
    """The current manifest of a sharded directory, checked.

    VornIsADirectoryError (naming the directory) when it is a directory without one,
    VornFileNotFoundError when it does not exist; ManifestError when the manifest is not
    one this vornel reads.
    """
    root = os.fsdecode(directory)
    path = os.path.join(root, MANIFEST_NAME)
    try:
        data = read_file(path)
    except OSError as error:
        number = error.errno if error.errno is not None else errno.EIO
        if number in (errno.ENOENT, errno.ENOTDIR):
            if number == errno.ENOENT and os.path.isdir(root):
                # As opening a directory as a store file says.
                number = errno.EISDIR
            raise io_error(number, f"not a sharded store (no {MANIFEST_NAME})", root) from None
        raise io_error(number, error.strerror or str(error), path) from None
    return parse_manifest(data, path)


def read_manifest(directory: str | os.PathLike[str]) -> dict[str, Any]:
    """The current manifest of a sharded directory, checked, as its JSON document."""
    return load_manifest(directory).document


def current_version(directory: str) -> int | None:
    """The version number that the directory's manifest names; None when it has no
    manifest or names none.

    Used only to order builds, so a damaged manifest counts as none: a new set may
    replace it. Any other failure to read it raises.
    """
    try:
        data = read_file(os.path.join(directory, MANIFEST_NAME))
        document = json.loads(data)
    except FileNotFoundError:
        return None
    except (ManifestError, ValueError, RecursionError):
        return None
    version = document.get("version") if isinstance(document, dict) else None
    return version_number(version) if isinstance(version, str) else None


# --- Writing -------------------------------------------------------------------------------


def manifest_document(version: str, shards: Sequence[ShardEntry]) -> dict[str, Any]:
    """The JSON document of a set of `shards` in the folder `version`."""
    return {
        "format": FORMAT_NAME,
        "format_version": FORMAT_VERSION,
        "hash": HASH_NAME,
        "shard_count": len(shards),
        "version": version,
        "num_keys": sum(entry.num_keys for entry in shards),
        "num_objects": sum(entry.num_objects for entry in shards),
        "shards": [entry.document() for entry in shards],
    }


def encode_manifest(document: dict[str, Any]) -> bytes:
    return json.dumps(document, indent=2, allow_nan=False).encode("ascii") + b"\n"


def write_manifest(path: str, data: bytes) -> None:
    """Writes `data` at `path` atomically: a temporary file of its own, fsync, rename."""
    tmp = f"{path}.{uuid.uuid4().hex}.tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    fsync_dir(os.path.dirname(path))


def fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
