"""Ranges of bytes and how many requests they become.

A range is ``(start, end)``, end exclusive. Ranges closer than a gap are fetched as one
request (a round trip costs far more than the few bytes between them), and each range's
bytes are then cut out of the request that holds it.
"""

from __future__ import annotations

from collections.abc import Buffer, Sequence
from dataclasses import dataclass, field

Range = tuple[int, int]

# Ranges less than this apart are fetched together: on object storage a request costs
# tens of milliseconds, in which about a megabyte arrives.
DEFAULT_GAP = 1 << 20
# No merged request grows past about what one connection carries in a round trip (20 ms
# at 100 MB/s): a longer stretch goes faster as several requests at once.
DEFAULT_MAX_SPAN = 2 << 20


@dataclass
class Span:
    """One request: [start, end), serving the ranges whose indexes are `members`."""

    start: int
    end: int
    members: list[int] = field(default_factory=list)


def check_ranges(ranges: Sequence[Range], size: int) -> None:
    """Raises ValueError unless every range lies inside an object of `size` bytes."""
    for start, end in ranges:
        if not 0 <= start <= end <= size:
            raise ValueError(f"range [{start}, {end}) is not inside an object of {size} bytes")


def merge(ranges: Sequence[Range], gap: int = DEFAULT_GAP,
          max_span: int = DEFAULT_MAX_SPAN) -> list[Span]:
    """The requests that fetch `ranges`: sorted and disjoint, each range in exactly one
    span. Overlapping ranges share a span; ranges less than `gap` apart do while the
    span stays within `max_span`. Empty ranges need no request and belong to no span."""
    order = sorted((i for i, (s, e) in enumerate(ranges) if e > s), key=lambda i: ranges[i])
    spans: list[Span] = []
    for i in order:
        start, end = ranges[i]
        last = spans[-1] if spans else None
        if last is not None and (start < last.end or (
                start - last.end < gap and max(end, last.end) - last.start <= max_span)):
            last.end = max(last.end, end)
            last.members.append(i)
        else:
            spans.append(Span(start, end, [i]))
    return spans


def split(ranges: Sequence[Range], spans: Sequence[Span],
          bodies: Sequence[Buffer]) -> list[bytes]:
    """Each range's bytes, cut from the body of the span that fetched it (one copy)."""
    out = [b""] * len(ranges)
    for span, body in zip(spans, bodies, strict=True):
        view = memoryview(body)
        for i in span.members:
            start, end = ranges[i]
            out[i] = bytes(view[start - span.start:end - span.start])
    return out
