"""A source that counts what reading costs: dependent rounds, requests and bytes."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from .ranges import Range
from .source import ByteSource, WrappedSource


@dataclass
class Counts:
    """`rounds`: calls that had to wait for the network (each a dependent round trip,
    however many requests it sent at once); `requests`: requests sent, retries
    included; `bytes`: bytes those requests brought."""

    rounds: int = 0
    requests: int = 0
    bytes: int = 0


class CountingSource(WrappedSource):
    """`inner`, counting into `counts` each round that sent at least one request. Put it
    above a cache to count only what the cache did not hold."""

    def __init__(self, inner: ByteSource, counts: Counts | None = None) -> None:
        super().__init__(inner)
        self.counts = counts if counts is not None else Counts()

    async def read_ranges_async(self, ranges: Sequence[Range]) -> list[bytes]:
        requests, fetched = self.inner.requests, self.inner.bytes_fetched
        try:
            return await self.inner.read_ranges_async(ranges)
        finally:
            sent = self.inner.requests - requests
            if sent:
                self.counts.rounds += 1
                self.counts.requests += sent
                self.counts.bytes += self.inner.bytes_fetched - fetched
