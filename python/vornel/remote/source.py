"""Byte sources: one small interface over a local file and an object in a bucket or on
an HTTP server, which the reader reads through without asking which it has.

A source has a `size` and a `version`, fixed when it is opened, and reads many ranges
in one call: one call is one dependent round trip, its ranges fetched concurrently.
`requests` and `bytes_fetched` count what it asked of the file or server.
"""

from __future__ import annotations

import abc
import asyncio
import errno
import os
import stat
import weakref
from collections.abc import Buffer, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any

from vornel.errors import VornIOError, io_error

from . import loop
from .faults import REPLACED, ProtocolError, ShortBody, http_status, is_transient, translate
from .location import Location
from .ranges import DEFAULT_GAP, DEFAULT_MAX_SPAN, Range, check_ranges, merge, split
from .retry import RetryPolicy, retrying

if TYPE_CHECKING:
    from obstore.store import ObjectStore

# Requests one source has in flight at once: enough to fill a link to object storage,
# few enough not to be throttled.
MAX_CONCURRENCY = 64


class ByteSource(abc.ABC):
    """Ranged reads of one version of one object. `url` names it in every error."""

    url: str
    size: int
    version: str
    closed: bool = False
    _requests: int = 0
    _bytes_fetched: int = 0

    @property
    def requests(self) -> int:
        """Requests sent so far, retries included."""
        return self._requests

    @property
    def bytes_fetched(self) -> int:
        """Bytes those requests brought."""
        return self._bytes_fetched

    @abc.abstractmethod
    async def read_ranges_async(self, ranges: Sequence[Range]) -> list[bytes]:
        """The bytes of each range, in order: one round trip. ValueError for a range
        outside the object; VornIOError (or a subclass) when the read fails."""

    def read_ranges(self, ranges: Sequence[Range]) -> list[bytes]:
        """As `read_ranges_async`, waiting in the calling thread."""
        return loop.run(self.read_ranges_async(ranges))

    def read(self, start: int, end: int) -> bytes:
        return self.read_ranges([(start, end)])[0]

    async def read_async(self, start: int, end: int) -> bytes:
        return (await self.read_ranges_async([(start, end)]))[0]

    def close(self) -> None:
        self.closed = True

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError(f"I/O operation on closed source {self.url}")

    def __enter__(self) -> ByteSource:
        return self

    def __exit__(self, t: type[BaseException] | None, v: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.url} size={self.size} version={self.version}>"


class WrappedSource(ByteSource):
    """A source that reads through `inner`, the same object at the same version, and
    counts its requests and bytes as `inner`'s own."""

    def __init__(self, inner: ByteSource) -> None:
        self.inner = inner
        self.url, self.size, self.version = inner.url, inner.size, inner.version

    @property
    def requests(self) -> int:
        return self.inner.requests

    @property
    def bytes_fetched(self) -> int:
        return self.inner.bytes_fetched

    def close(self) -> None:
        self.inner.close()
        super().close()


class LocalSource(ByteSource):
    """A local file, held open: replacing the path later does not change what it reads."""

    def __init__(self, location: Location) -> None:
        self.url = location.url
        try:
            self._fd = os.open(location.path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as e:
            raise io_error(e.errno or errno.EIO, e.strerror or str(e), self.url) from None
        st = os.fstat(self._fd)
        if stat.S_ISDIR(st.st_mode):
            os.close(self._fd)
            raise io_error(errno.EISDIR, os.strerror(errno.EISDIR), self.url)
        self.size = st.st_size
        self.version = f"{st.st_dev}:{st.st_ino}:{st.st_mtime_ns}:{st.st_size}"

    def read_ranges(self, ranges: Sequence[Range]) -> list[bytes]:
        self._check_open()
        check_ranges(ranges, self.size)
        out = []
        for start, end in ranges:
            try:
                data = os.pread(self._fd, end - start, start)
            except OSError as e:
                raise io_error(e.errno or errno.EIO, e.strerror or str(e), self.url) from None
            if len(data) != end - start:
                raise VornIOError(errno.EIO, "the file was cut short since it was opened",
                                  self.url)
            self._requests += 1
            self._bytes_fetched += len(data)
            out.append(data)
        return out

    async def read_ranges_async(self, ranges: Sequence[Range]) -> list[bytes]:
        return await asyncio.to_thread(self.read_ranges, ranges)

    def close(self) -> None:
        if not self.closed:
            os.close(self._fd)
        super().close()


class ObjectSource(ByteSource):
    """An object in a bucket or on an HTTP server, pinned at open: every range request
    asks for the version it had then (its version ID, else If-Match on its strong ETag,
    else If-Unmodified-Since its modification time), so that a replaced object fails the
    read with `VornIOError` (``ESTALE``) instead of mixing two versions' bytes. Ranges
    closer than `gap` go as one request; a server that ignores Range, or answers with
    another range or a body of another length, is refused without reading on."""

    def __init__(self, location: Location, store: ObjectStore, meta: Any,
                 policy: RetryPolicy, gap: int = DEFAULT_GAP,
                 max_span: int = DEFAULT_MAX_SPAN) -> None:
        self.url = location.url
        self._path = location.path
        self._store = store
        self._policy = policy
        self._gap = gap
        self._max_span = max_span
        self.size = int(meta["size"])
        self._etag: str | None = meta.get("e_tag")
        self._version_id: str | None = meta.get("version")
        self._pin: dict[str, Any]
        if self._version_id:
            self.version, self._pin = self._version_id, {"version": self._version_id}
        elif self._etag and not self._etag.startswith("W/"):
            self.version, self._pin = self._etag, {"if_match": self._etag}
        else:
            # A weak ETag never passes If-Match (a strong comparison); each answer's ETag
            # is still compared with it.
            modified = meta["last_modified"]
            self.version = self._etag or f"{modified.isoformat()}:{self.size}"
            self._pin = {"if_unmodified_since": modified}
        self.head = b""
        self._limits: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop,
                                                 asyncio.Semaphore] = weakref.WeakKeyDictionary()

    @classmethod
    async def open_async(cls, location: Location, store: ObjectStore, policy: RetryPolicy,
                         head_bytes: int = 0, **kwargs: Any) -> ObjectSource:
        """Opens the object with one request: a GET of its first `head_bytes` bytes
        (kept in `head`), whose answer also gives the size and version; a HEAD when
        `head_bytes` is 0 or the object is empty."""
        import obstore
        from obstore.exceptions import BaseError, NotSupportedError

        tries = sent = 0
        head = b""

        async def first() -> Any:
            nonlocal tries, sent, head
            tries += 1
            if head_bytes > 0:
                sent += 1
                try:
                    result = await obstore.get_async(store, location.path,
                                                     options={"range": (0, head_bytes)})
                except BaseError as e:
                    # An empty object has no first byte: some servers say so (416),
                    # others send the empty whole. For any other object, a server that
                    # sends the whole is refused.
                    if http_status(e) != 416 and not isinstance(e, NotSupportedError):
                        raise
                    sent += 1
                    meta = await obstore.head_async(store, location.path)
                    if meta["size"] > 0:
                        raise
                    return meta
                else:
                    head = bytes(await result.bytes_async())
                    return result.meta
            sent += 1
            return await obstore.head_async(store, location.path)

        try:
            meta = await retrying(policy, first, is_transient)
        except Exception as e:
            raise translate(e, location.url, tries) from None
        source = cls(location, store, meta, policy, **kwargs)
        if len(head) != min(head_bytes, source.size):
            raise translate(ShortBody(f"a body of {len(head)} bytes for the first "
                                      f"{min(head_bytes, source.size)}"), location.url)
        source.head = head
        source._requests = sent
        source._bytes_fetched = len(head)
        return source

    def _semaphore(self) -> asyncio.Semaphore:
        # One per event loop (the background one, and each of the callers'): a semaphore
        # belongs to the loop it is first used on.
        running = asyncio.get_running_loop()
        limit = self._limits.get(running)
        if limit is None:
            limit = self._limits[running] = asyncio.Semaphore(MAX_CONCURRENCY)
        return limit

    async def _fetch(self, start: int, end: int) -> Buffer:
        import obstore

        options: dict[str, Any] = {"range": (start, end), **self._pin}
        tries = 0

        async def attempt() -> Buffer:
            nonlocal tries
            tries += 1
            self._requests += 1
            result = await obstore.get_async(self._store, self._path,
                                             options=options)  # type: ignore[arg-type]
            meta = result.meta
            if meta["size"] != self.size or (self._etag and meta.get("e_tag")
                                              and meta["e_tag"] != self._etag):
                raise VornIOError(errno.ESTALE, REPLACED, self.url)
            got = tuple(result.range)
            if got != (start, end):
                raise ProtocolError(f"asked for bytes [{start}, {end}), the server sent "
                                    f"[{got[0]}, {got[1]})")
            body = await result.bytes_async()
            if len(body) != end - start:
                raise ShortBody(f"a body of {len(body)} bytes for a range of {end - start}")
            self._bytes_fetched += len(body)
            return body

        async with self._semaphore():
            try:
                return await retrying(self._policy, attempt, is_transient)
            except Exception as e:
                raise translate(e, self.url, tries) from None

    async def read_ranges_async(self, ranges: Sequence[Range]) -> list[bytes]:
        self._check_open()
        check_ranges(ranges, self.size)
        spans = merge(ranges, self._gap, self._max_span)
        bodies = await loop.gather_all(self._fetch(s.start, s.end) for s in spans)
        return split(ranges, spans, bodies)
