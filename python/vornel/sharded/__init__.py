"""Sharded stores: one mapping split by key hash over several store files.

A key goes to shard ``crc32(key bytes) % shard_count`` (`shard_of`); each shard is an
ordinary store file in a version folder, and ``MANIFEST.json`` names the current set.
`layout` says where things live, `manifest` reads, checks and writes manifests, `build`
builds, publishes and prunes sets, and `reader` serves one as a `ShardedReader`.

Any engine can build the layout: route each pair with `shard_of`, build each shard with
`build_shard` in a version folder from `new_version`, then `publish` the collected entries;
or, with no routing step, write each input partition's runs with `write_partition_runs`
and merge each shard's with `merge_shard_runs`. `vornel.dask.build_sharded` does the
latter on a Dask cluster.
"""

from __future__ import annotations

from vornel.errors import ManifestError, ShardError, ShardMissingError

from .build import (
    build_shard,
    mark_failed,
    merge_shard_runs,
    new_version,
    prune,
    publish,
    remove_failed,
    shard_entry,
    write_partition_runs,
)
from .layout import (
    FAILED_MARKER,
    FORMAT_NAME,
    FORMAT_VERSION,
    HASH_NAME,
    LOCK_NAME,
    MANIFEST_NAME,
    MAX_SHARDS,
    is_sharded,
    shard_file_name,
    shard_of,
    shards_of,
)
from .manifest import MAX_MANIFEST_BYTES, read_manifest
from .reader import ShardedReader

__all__ = [
    "FAILED_MARKER",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "HASH_NAME",
    "LOCK_NAME",
    "MANIFEST_NAME",
    "MAX_MANIFEST_BYTES",
    "MAX_SHARDS",
    "ManifestError",
    "ShardError",
    "ShardMissingError",
    "ShardedReader",
    "build_shard",
    "is_sharded",
    "mark_failed",
    "merge_shard_runs",
    "new_version",
    "prune",
    "publish",
    "read_manifest",
    "remove_failed",
    "shard_entry",
    "shard_file_name",
    "shard_of",
    "shards_of",
    "write_partition_runs",
]
