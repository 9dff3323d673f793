"""One background event loop on which the synchronous calls run their requests.

Synchronous reads are coroutines submitted here and waited for, so that a batch of
ranges still goes out as concurrent requests. The thread is a daemon, started at first
use, and shared by every source in the process.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
from collections.abc import Awaitable, Coroutine, Iterable
from typing import Any, TypeVar

T = TypeVar("T")

_lock = threading.Lock()
_loop: asyncio.AbstractEventLoop | None = None
_thread: threading.Thread | None = None


def _background_loop() -> asyncio.AbstractEventLoop:
    global _loop, _thread
    with _lock:
        if _loop is None or _thread is None or not _thread.is_alive():
            loop = asyncio.new_event_loop()
            thread = threading.Thread(target=loop.run_forever, name="vornel-remote",
                                      daemon=True)
            thread.start()
            _loop, _thread = loop, thread
        return _loop


def run(coro: Coroutine[Any, Any, T]) -> T:
    """Runs `coro` on the background loop and returns its result; the calling thread
    waits. Must not be called from that loop's own thread."""
    loop = _background_loop()
    if threading.current_thread() is _thread:
        coro.close()
        raise RuntimeError("a synchronous remote read from inside the remote event loop")
    future = asyncio.run_coroutine_threadsafe(coro, loop)
    try:
        return future.result()
    except BaseException:
        future.cancel()  # Ctrl-C in the waiting thread stops the requests too
        raise


def submit(coro: Coroutine[Any, Any, T]) -> concurrent.futures.Future[T]:
    """Starts `coro` on the background loop; its result comes through the future."""
    return asyncio.run_coroutine_threadsafe(coro, _background_loop())


async def gather_all(coros: Iterable[Awaitable[T]]) -> list[T]:
    """The results of `coros`, run concurrently; at the first failure the others are
    cancelled and awaited before that failure propagates, so none runs on unseen."""
    tasks = [asyncio.ensure_future(c) for c in coros]
    try:
        return list(await asyncio.gather(*tasks))
    except BaseException:
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        raise
