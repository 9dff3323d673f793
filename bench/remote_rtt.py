"""One ranged GET's time on each link the remote benchmarks use: nginx on 127.0.0.1
serves a 64 MiB object, and obstore reads 4 KiB of it at random offsets over a connection
kept open (one round trip each), then the whole object once, and vornel.remote streams it
(8 MiB chunks, 4 ahead) against that download as baseline, and reads 1,000 ranges of
100 bytes at random offsets in one call, against obstore's own batch call (get_ranges,
which coalesces too) as baseline; straight on loopback, and through the delaying proxy
(bench/_delay_proxy.py: 10 ms each way, 100 MB/s)."""

from __future__ import annotations

import os
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import obstore  # noqa: E402
from obstore.store import HTTPStore  # noqa: E402

import servers  # noqa: E402
from vornel import remote  # noqa: E402
from _delay_proxy import DelayProxy  # noqa: E402

SIZE = 64 << 20


def measure(link: str, base: str, data: bytes) -> None:
    store = HTTPStore.from_url(base, client_options={"allow_http": True})
    obstore.head(store, "obj.bin")  # the connection, opened once
    rng = random.Random(1)
    times = []
    for _ in range(20):
        start = rng.randrange(SIZE - 4096)
        t = time.perf_counter()
        got = obstore.get_range(store, "obj.bin", start=start, length=4096)
        times.append(time.perf_counter() - t)
        assert bytes(got) == data[start:start + 4096]
    t = time.perf_counter()
    assert len(obstore.get(store, "obj.bin").bytes()) == SIZE
    whole = time.perf_counter() - t
    source = remote.open_source(f"{base}/obj.bin", cache_bytes=0)
    t = time.perf_counter()
    assert sum(len(c) for c in remote.iter_chunks(source)) == SIZE
    scan = time.perf_counter() - t
    starts = sorted(rng.randrange(SIZE - 100) for _ in range(1000))
    t = time.perf_counter()
    baseline = obstore.get_ranges(store, "obj.bin", starts=starts, lengths=[100] * 1000)
    batch_base = time.perf_counter() - t
    counts = remote.Counts()
    source = remote.open_source(f"{base}/obj.bin", cache_bytes=0, counts=counts)
    counts.rounds = counts.requests = counts.bytes = 0
    t = time.perf_counter()
    got = source.read_ranges([(s, s + 100) for s in starts])
    batch = time.perf_counter() - t
    assert got == [bytes(b) for b in baseline] == [data[s:s + 100] for s in starts]
    print(f"{link}: 1,000 ranges of 100 bytes in one call: {batch * 1e3:.0f} ms, "
          f"{counts.rounds} round, {counts.requests} requests, {counts.bytes / 2**20:.1f} MiB; "
          f"obstore.get_ranges: {batch_base * 1e3:.0f} ms ({batch_base / batch:.2f}x)")
    print(f"{link}: ranged GET of 4 KiB: median {statistics.median(times) * 1e3:.2f} ms, "
          f"min {min(times) * 1e3:.2f} ms (20 GETs); whole 64 MiB in one GET: "
          f"{SIZE / whole / 1e6:.0f} MB/s; streamed by vornel.remote: {SIZE / scan / 1e6:.0f} "
          f"MB/s ({whole / scan:.2f}x); load average {os.getloadavg()[0]:.2f}")


def main() -> None:
    data = os.urandom(SIZE)
    with tempfile.TemporaryDirectory() as tmp:
        http = servers.HttpServer(Path(tmp))
        try:
            http.put("obj.bin", data)
            measure("loopback", http.base, data)
            with DelayProxy(http.port, delay=0.010, rate=100e6) as proxy:
                measure("proxy, 10 ms each way, 100 MB/s", f"http://127.0.0.1:{proxy.port}", data)
        finally:
            http.stop()


if __name__ == "__main__":
    main()
