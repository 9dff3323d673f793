"""A bounded cache of an object's blocks, keyed by (URL, version), in memory and
optionally in a directory that outlives the process.

Because the version is part of the key, a replaced object is never served from an
entry of the one it replaced: its new version misses, and the reads that follow fail
on the old pin, or, for a new source, read the new object.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
import threading
from collections import OrderedDict
from collections.abc import Sequence
from pathlib import Path

from .ranges import Range, check_ranges
from .source import ByteSource, WrappedSource

BLOCK_SIZE = 64 << 10  # the unit of caching: a lookup's table or index page fits one
DEFAULT_CACHE_BYTES = 64 << 20


class BlockCache:
    """Least recently used blocks up to `capacity` bytes in memory; with `directory`,
    each block is also kept there as a file and found again by later processes (the
    directory is not pruned)."""

    def __init__(self, capacity: int = DEFAULT_CACHE_BYTES,
                 directory: str | os.PathLike[str] | None = None,
                 block_size: int = BLOCK_SIZE) -> None:
        if capacity < 0 or block_size <= 0:
            raise ValueError("the capacity must not be negative, the block size positive")
        self.capacity = capacity
        self.block_size = block_size
        self.directory = Path(directory) if directory is not None else None
        self.used = 0
        self._blocks: OrderedDict[tuple[str, str, int], bytes] = OrderedDict()
        self._lock = threading.Lock()

    def _file(self, url: str, version: str, block: int) -> Path:
        assert self.directory is not None
        digest = hashlib.sha256(f"{url}\0{version}\0{self.block_size}".encode()).hexdigest()
        return self.directory / digest[:40] / str(block)

    def get(self, url: str, version: str, block: int, length: int) -> bytes | None:
        """Block number `block` of that object, `length` bytes long, if the cache has it."""
        key = (url, version, block)
        with self._lock:
            data = self._blocks.get(key)
            if data is not None:
                self._blocks.move_to_end(key)
                return data
        if self.directory is None:
            return None
        try:
            data = self._file(url, version, block).read_bytes()
        except OSError:
            return None
        if len(data) != length:
            return None  # not a block this cache wrote: read it again
        self._remember(key, data)
        return data

    def put(self, url: str, version: str, block: int, data: bytes) -> None:
        self._remember((url, version, block), data)
        if self.directory is not None:
            path = self._file(url, version, block)
            try:
                path.parent.mkdir(parents=True, exist_ok=True)
                # Whole or not at all: another process may read the block meanwhile.
                fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=".part-")
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
                os.replace(tmp, path)
            except OSError:
                pass  # a cache that cannot write is only slower

    def _remember(self, key: tuple[str, str, int], data: bytes) -> None:
        if len(data) > self.capacity:
            return
        with self._lock:
            old = self._blocks.pop(key, None)
            if old is not None:
                self.used -= len(old)
            self._blocks[key] = data
            self.used += len(data)
            while self.used > self.capacity:
                _, dropped = self._blocks.popitem(last=False)
                self.used -= len(dropped)


class CachedSource(WrappedSource):
    """`inner` read a block at a time through `cache`: the blocks a round needs that the
    cache lacks are fetched together in one round of `inner`, and a round that the cache
    holds whole costs none. `head`, the object's first block if the caller has it, is
    cached from the start. Ranges longer than `bypass` (a scan's chunks) go straight
    to `inner` and are not kept."""

    def __init__(self, inner: ByteSource, cache: BlockCache, bypass: int | None = None,
                 head: bytes = b"") -> None:
        super().__init__(inner)
        self.cache = cache
        self.bypass = bypass if bypass is not None else max(cache.capacity // 8, cache.block_size)
        # The object's first bytes, when opening brought them, serve the first read.
        if head and len(head) == min(cache.block_size, self.size):
            cache.put(self.url, self.version, 0, head)

    def _block_range(self, block: int) -> Range:
        start = block * self.cache.block_size
        return start, min(start + self.cache.block_size, self.size)

    async def read_ranges_async(self, ranges: Sequence[Range]) -> list[bytes]:
        self._check_open()
        check_ranges(ranges, self.size)
        bs = self.cache.block_size
        small = [i for i, (s, e) in enumerate(ranges) if 0 < e - s <= self.bypass]
        large = [i for i, (s, e) in enumerate(ranges) if e - s > self.bypass]
        have: dict[int, bytes] = {}
        missing: list[int] = []
        for i in small:
            start, end = ranges[i]
            for block in range(start // bs, (end - 1) // bs + 1):
                if block in have or block in missing:
                    continue
                start_b, end_b = self._block_range(block)
                data = self.cache.get(self.url, self.version, block, end_b - start_b)
                if data is None:
                    missing.append(block)
                else:
                    have[block] = data
        wanted = [self._block_range(b) for b in missing] + [ranges[i] for i in large]
        fetched = await self.inner.read_ranges_async(wanted) if wanted else []
        for block, data in zip(missing, fetched):
            self.cache.put(self.url, self.version, block, data)
            have[block] = data
        out = [b""] * len(ranges)
        for i, data in zip(large, fetched[len(missing):]):
            out[i] = data
        for i in small:
            start, end = ranges[i]
            first, last = start // bs, (end - 1) // bs
            joined = b"".join(have[b] for b in range(first, last + 1))
            out[i] = joined[start - first * bs:end - first * bs]
        return out
