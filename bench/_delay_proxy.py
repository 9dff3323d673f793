"""A delaying, rate-limiting TCP proxy on loopback: a link that behaves like object
storage, for the remote benchmarks.

This machine's kernel has no netem (CONFIG_NET_SCH_NETEM is not set), so the delay is
put in here. Each connection through the proxy gets a link of its own in each direction:
bytes are sent on at the link's `rate` (bytes a second), one after another as on a wire,
and arrive `delay` seconds after they leave, so that a request and its answer take
2 × delay more than without the proxy and one connection carries at most `rate`. The
proxy listens on 127.0.0.1 and forwards to a server on 127.0.0.1 only.

    with DelayProxy(server_port, delay=0.010, rate=100e6) as proxy:
        url = f"http://127.0.0.1:{proxy.port}/..."
"""

from __future__ import annotations

import asyncio
import socket
import threading
import time
from types import TracebackType

CHUNK = 64 << 10
QUEUED = 64  # chunks a direction holds in flight: 4 MiB, more than 20 ms at 100 MB/s


async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                delay: float, rate: float) -> None:
    queue: asyncio.Queue[tuple[float, bytes]] = asyncio.Queue(QUEUED)

    async def receive() -> None:
        busy_until = 0.0  # when the wire has sent everything handed to it so far
        while True:
            data = await reader.read(CHUNK)
            now = time.monotonic()
            busy_until = max(now, busy_until) + len(data) / rate
            await queue.put((busy_until + delay, data))
            if not data:
                return

    async def send() -> None:
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


class DelayProxy:
    """Forwards 127.0.0.1:`port` to 127.0.0.1:`target_port` through links of `delay`
    seconds and `rate` bytes a second, each way, per connection. A context manager: the
    proxy runs on a thread of its own until the block ends."""

    def __init__(self, target_port: int, delay: float = 0.010, rate: float = 100e6) -> None:
        self.target_port, self.delay, self.rate = target_port, delay, rate
        self.port = 0
        self._loop = asyncio.new_event_loop()
        self._server: asyncio.Server | None = None
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)

    async def _connection(self, client_r: asyncio.StreamReader,
                          client_w: asyncio.StreamWriter) -> None:
        try:
            server_r, server_w = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_w.close()
            return
        for w in (client_w, server_w):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(_pipe(client_r, server_w, self.delay, self.rate),
                             _pipe(server_r, client_w, self.delay, self.rate))

    def __enter__(self) -> DelayProxy:
        self._thread.start()
        self._server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._connection, "127.0.0.1", 0), self._loop).result()
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    def __exit__(self, t: type[BaseException] | None, v: BaseException | None,
                 tb: TracebackType | None) -> None:
        async def stop() -> None:
            assert self._server is not None
            self._server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        asyncio.run_coroutine_threadsafe(stop(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
        self._loop.close()
