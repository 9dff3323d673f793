"""Reading objects in place: a local file, or an object on S3, Google Cloud Storage,
Azure or an HTTP server, as one kind of byte source.

    from vornel.remote import open_source

    with open_source("s3://bucket/data.vrnl", storage_options={"anon": True}) as src:
        head, tail = src.read_ranges([(0, 65536), (src.size - 64, src.size)])

`open_source` pins the object it opens (size and version): later reads ask for that
version, and fail with `VornIOError` (``errno.ESTALE``) if the object was replaced. A
call to `read_ranges` is one round trip, whatever number of ranges it asks for;
`read_ranges_async` is the same on the caller's event loop. Remote objects are read
through a `BlockCache`; `Counts` records what reading costs. The storage library is the
optional extra ``vornel[remote]``; local files need nothing more.

`location` resolves URLs and credentials, `source` holds the sources, `ranges` merges
nearby ranges into requests, `retry` bounds the attempts, `cache` keeps blocks,
`counting` counts round trips and `stream` reads sequentially with read-ahead.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from .cache import BLOCK_SIZE, DEFAULT_CACHE_BYTES, BlockCache, CachedSource
from .counting import Counts, CountingSource
from .location import Location, MissingExtraError, make_store, parse
from .ranges import Range
from .retry import RetryPolicy
from .source import ByteSource, LocalSource, ObjectSource
from .stream import aiter_chunks, iter_chunks
from . import loop

__all__ = [
    "BLOCK_SIZE",
    "BlockCache",
    "ByteSource",
    "CachedSource",
    "Counts",
    "CountingSource",
    "DEFAULT_CACHE_BYTES",
    "LocalSource",
    "Location",
    "MissingExtraError",
    "ObjectSource",
    "Range",
    "RetryPolicy",
    "aiter_chunks",
    "is_url",
    "iter_chunks",
    "open_source",
    "open_source_async",
    "parse",
]


def is_url(url_or_path: str | os.PathLike[str]) -> bool:
    """Whether `url_or_path` names an object elsewhere (not a local file)."""
    return not parse(url_or_path).is_local


async def open_source_async(url_or_path: str | os.PathLike[str], *,
                            storage_options: Mapping[str, Any] | None = None,
                            retry: RetryPolicy | None = None,
                            cache: BlockCache | None = None,
                            cache_bytes: int = DEFAULT_CACHE_BYTES,
                            cache_dir: str | os.PathLike[str] | None = None,
                            counts: Counts | None = None) -> ByteSource:
    """Opens `url_or_path`: for a remote object one round trip, which brings its size,
    its version and, when there is a cache, its first block.

    `storage_options` configure the store as for pandas and Dask; `retry` bounds the
    attempts and the time of each request. Remote objects are read through `cache`, or a
    new `BlockCache(cache_bytes, cache_dir)` (0 bytes and no directory: no cache); with
    `counts`, the rounds, requests and bytes that reach the network are added to it.
    Local paths and ``file://`` URLs take none of these: the page cache serves them."""
    location = parse(url_or_path)
    if location.is_local:
        return _local(location, counts)
    policy = retry or RetryPolicy()
    store = make_store(location, storage_options, policy.timeout)
    if cache is None and (cache_bytes > 0 or cache_dir is not None):
        cache = BlockCache(cache_bytes, cache_dir)
    head = cache.block_size if cache is not None else 0
    opened = await ObjectSource.open_async(location, store, policy, head)
    source: ByteSource = opened
    if counts is not None:
        counts.rounds += 1
        counts.requests += source.requests
        counts.bytes += source.bytes_fetched
        source = CountingSource(source, counts)
    return CachedSource(source, cache, head=opened.head) if cache is not None else source


def _local(location: Location, counts: Counts | None) -> ByteSource:
    source = LocalSource(location)
    return CountingSource(source, counts) if counts is not None else source


def open_source(url_or_path: str | os.PathLike[str], **options: Any) -> ByteSource:
    """`open_source_async`, waiting in the calling thread."""
    location = parse(url_or_path)
    if location.is_local:
        return _local(location, options.get("counts"))
    return loop.run(open_source_async(url_or_path, **options))
