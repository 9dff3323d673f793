"""Bounded retries with exponential back-off, and the per-request timeout."""

from __future__ import annotations

import asyncio
import random
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import TypeVar

T = TypeVar("T")


@dataclass(frozen=True)
class RetryPolicy:
    """How hard a request is tried: `attempts` in all (1 means no retry), waiting
    `first_delay` seconds before the second and twice as long before each next one, up
    to `max_delay`, each wait jittered by up to half. `timeout` bounds one request,
    from connecting to its last byte, in seconds."""

    attempts: int = 4
    first_delay: float = 0.1
    max_delay: float = 2.0
    timeout: float = 30.0

    def __post_init__(self) -> None:
        if self.attempts < 1:
            raise ValueError("attempts must be at least 1")
        if self.first_delay < 0 or self.max_delay < 0:
            raise ValueError("delays must not be negative")
        if not self.timeout > 0:
            raise ValueError("timeout must be positive")

    def delay(self, attempt: int) -> float:
        """Seconds to wait after failed attempt number `attempt` (from 1)."""
        base = min(self.max_delay, self.first_delay * 2.0 ** (attempt - 1))
        return base * (0.5 + random.random() / 2)


async def retrying(policy: RetryPolicy, attempt: Callable[[], Awaitable[T]],
                   transient: Callable[[BaseException], bool]) -> T:
    """Awaits `attempt()` until it succeeds or fails with an error that is not
    `transient`, at most `policy.attempts` times; the last error propagates."""
    for n in range(1, policy.attempts + 1):
        try:
            return await attempt()
        except Exception as e:
            if n == policy.attempts or not transient(e):
                raise
        await asyncio.sleep(policy.delay(n))
    raise AssertionError("unreachable")
