"""Where things live in a sharded directory, and which shard a key belongs to.

    directory/
      MANIFEST.json           the current set; readers follow only this file
      LOCK                    taken by builders and prune, never by readers
      v000001/                one version folder per build
        LOCK                  held by the build that owns the folder
        MANIFEST.json         the same manifest, written before it is published
        shard-00000.vrnl      one store file per shard
        ...
        runs/                 while a build runs: each input partition's sorted runs,
          part-000003.<attempt>/shard-00000.run   one folder per attempt

A key goes to shard ``crc32(key bytes) % shard_count``: the standard CRC-32
(CRC-32/ISO-HDLC, as ``zlib.crc32`` computes it) of the key's UTF-8 encoding for a
``str`` key or of the bytes themselves for a ``bytes`` key, as an unsigned 32-bit integer.
The rule itself is the engine's (``_engine.shard_of``), which the readers' lookups use:
builds take it from there, so that the two never part.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable

from vornel._engine import shard_of as _shard_of
from vornel.keys import Key, key_bytes

__all__ = [
    "check_shard_count",
    "FAILED_MARKER",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "HASH_NAME",
    "LOCK_NAME",
    "MANIFEST_NAME",
    "RUNS_FOLDER",
    "attempt_folder_name",
    "MAX_SHARDS",
    "is_sharded",
    "run_file_name",
    "shard_file_name",
    "shard_of",
    "shard_of_stored",
    "shards_of",
    "version_name",
    "version_number",
]

FORMAT_NAME = "vornel-sharded"
FORMAT_VERSION = 1
HASH_NAME = "crc32"
MANIFEST_NAME = "MANIFEST.json"
LOCK_NAME = "LOCK"
# Written into a version folder whose build failed for good, so that prune may remove it
# even when it is newer than the current set (an unmarked newer folder may still be building).
FAILED_MARKER = "FAILED"
# The folder of a version folder where input partitions leave their runs during a build.
RUNS_FOLDER = "runs"
# Shard file names carry five digits, so that they are all as long and list in order.
MAX_SHARDS = 100_000

# A version folder's name: "v" and six or more ASCII digits, nothing else (no path, no
# trailing newline, no other script's digits).
_VERSION = re.compile(r"v([0-9]{6,})", re.ASCII)


def check_shard_count(shards: object) -> None:
    """ValueError unless `shards` is a number of shards that a set may have."""
    if type(shards) is not int or not 1 <= shards <= MAX_SHARDS:
        raise ValueError(f"shards must be an integer from 1 to {MAX_SHARDS}, not {shards!r}")


def shard_of_stored(stored: bytes, shards: int) -> int:
    """The shard among `shards` of the key whose stored form is `stored`."""
    return _shard_of(stored, shards)


def shard_of(key: Key, shards: int) -> int:
    """The shard of `key` among `shards`: CRC-32 of the key's bytes, modulo `shards`."""
    return shard_of_stored(key_bytes(key), shards)


def shards_of(keys: Iterable[Key], shards: int) -> list[int]:
    """`shard_of` of every key, with the per-key type checks kept out of the loop."""
    keys = keys if isinstance(keys, list) else list(keys)
    home = _shard_of
    try:
        return [home(key.encode("utf-8") if type(key) is str else key_bytes(key), shards)
                for key in keys]
    except UnicodeEncodeError:  # a lone surrogate: key_bytes' message names the key
        return [home(key_bytes(key), shards) for key in keys]


def shard_file_name(index: int) -> str:
    """The file name of shard `index` inside a version folder."""
    return f"shard-{index:05d}.vrnl"


def run_file_name(index: int) -> str:
    """The file name of a partition's run for shard `index`, inside its attempt's folder."""
    return f"shard-{index:05d}.run"


def attempt_folder_name(partition: int, attempt: str) -> str:
    """The folder of one attempt at input partition `partition`, inside RUNS_FOLDER."""
    return f"part-{partition:06d}.{attempt}"


def version_name(number: int) -> str:
    """The folder name of version `number`."""
    return f"v{number:06d}"


def version_number(name: str) -> int | None:
    """The number of a version folder's name, or None when `name` is not one."""
    match = _VERSION.fullmatch(name)
    return int(match.group(1)) if match else None


def is_sharded(path: str | os.PathLike[str]) -> bool:
    """True when `path` is a directory holding a published sharded store."""
    return os.path.isfile(os.path.join(os.fspath(path), MANIFEST_NAME))
