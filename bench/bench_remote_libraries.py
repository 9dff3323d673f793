"""Which library reads stores remotely: obstore, or fsspec with s3fs (S3) and aiohttp (HTTP).

Starts the test suite's real servers on loopback (`weed mini` for S3, nginx for HTTP),
puts one object of random bytes into each, and measures with every library, alternating
them round by round so that the machine's load falls on all alike:

- one ranged GET of 4 KiB at a random offset, one after another (the latency of a lookup);
- 1,000 ranged GETs of 4 KiB at random offsets at once, synchronously (the library's
  batch call) and on asyncio (one coroutine a range, gathered);
- the whole object read sequentially: one GET, and 8 MiB ranges four at a time;

then checks the features the reader needs: a conditional ranged GET (If-Match) and what a
replaced object gives, a server that ignores Range, a create-only PUT and a multipart
upload that fails (is it aborted?).

    python bench/bench_remote_libraries.py [--size-mib 64] [--rounds 3]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import fsspec  # noqa: E402
import obstore  # noqa: E402
import s3fs  # noqa: E402
from obstore.store import HTTPStore  # noqa: E402

import servers  # noqa: E402

RANGE = 4096
BATCH = 1000
CHUNK = 8 << 20
AHEAD = 4


def _obstore_s3(s3: servers.S3Server) -> Any:
    return s3.store()


def _s3fs(s3: servers.S3Server) -> s3fs.S3FileSystem:
    return s3fs.S3FileSystem(key=servers.S3_KEY_ID, secret=servers.S3_SECRET,
                             endpoint_url=s3.endpoint, skip_instance_cache=True)


class ObstoreClient:
    def __init__(self, store: Any, path: str) -> None:
        self.store, self.path = store, path

    def one(self, start: int) -> bytes:
        return bytes(obstore.get_range(self.store, self.path, start=start, length=RANGE))

    def batch(self, starts: list[int]) -> list[bytes]:
        got = obstore.get_ranges(self.store, self.path, starts=starts,
                                 lengths=[RANGE] * len(starts))
        return [bytes(b) for b in got]

    async def gather(self, starts: list[int]) -> list[bytes]:
        got = await asyncio.gather(*(obstore.get_range_async(
            self.store, self.path, start=s, length=RANGE) for s in starts))
        return [bytes(b) for b in got]

    def whole(self) -> int:
        return len(obstore.get(self.store, self.path).bytes())

    async def chunks(self, size: int) -> int:
        sem = asyncio.Semaphore(AHEAD)

        async def part(s: int) -> int:
            async with sem:
                b = await obstore.get_range_async(self.store, self.path, start=s,
                                                  end=min(s + CHUNK, size))
                return len(b)

        return sum(await asyncio.gather(*(part(s) for s in range(0, size, CHUNK))))


class FsspecClient:
    def __init__(self, fs: Any, path: str) -> None:
        self.fs, self.path = fs, path

    def one(self, start: int) -> bytes:
        return bytes(self.fs.cat_file(self.path, start=start, end=start + RANGE))

    def batch(self, starts: list[int]) -> list[bytes]:
        return list(self.fs.cat_ranges([self.path] * len(starts), starts,
                                       [s + RANGE for s in starts]))

    async def gather(self, starts: list[int]) -> list[bytes]:
        # fsspec's async file systems run on their own loop; this is their async API.
        return list(await asyncio.gather(*(self.fs._cat_file(self.path, start=s, end=s + RANGE)
                                           for s in starts)))

    def whole(self) -> int:
        return len(self.fs.cat_file(self.path))

    async def chunks(self, size: int) -> int:
        sem = asyncio.Semaphore(AHEAD)

        async def part(s: int) -> int:
            async with sem:
                return len(await self.fs._cat_file(self.path, start=s, end=min(s + CHUNK, size)))

        return sum(await asyncio.gather(*(part(s) for s in range(0, size, CHUNK))))


def _fsspec_run(fs: Any, coro: Any) -> Any:
    return fsspec.asyn.sync(fs.loop, lambda: coro)


def measure(clients: dict[str, Any], data: bytes, rounds: int) -> dict[str, dict[str, float]]:
    size = len(data)
    rng = random.Random(7)
    out: dict[str, dict[str, list[float]]] = {n: {} for n in clients}

    def rec(name: str, what: str, seconds: float) -> None:
        out[name].setdefault(what, []).append(seconds)

    for _ in range(rounds):
        for name, c in clients.items():
            fs_loop = isinstance(c, FsspecClient)
            starts = [rng.randrange(size - RANGE) for _ in range(200)]
            t = time.perf_counter()
            for s in starts:
                assert c.one(s) == data[s:s + RANGE]
            rec(name, "one GET (ms)", (time.perf_counter() - t) / len(starts) * 1e3)
            starts = [rng.randrange(size - RANGE) for _ in range(BATCH)]
            t = time.perf_counter()
            got = c.batch(starts)
            rec(name, "1,000 GETs, sync batch (ms)", (time.perf_counter() - t) * 1e3)
            assert all(g == data[s:s + RANGE] for g, s in zip(got, starts))
            t = time.perf_counter()
            got = _fsspec_run(c.fs, c.gather(starts)) if fs_loop else asyncio.run(c.gather(starts))
            rec(name, "1,000 GETs, asyncio gather (ms)", (time.perf_counter() - t) * 1e3)
            assert all(g == data[s:s + RANGE] for g, s in zip(got, starts))
            t = time.perf_counter()
            assert c.whole() == size
            rec(name, "whole object, one GET (MB/s)", size / (time.perf_counter() - t) / 1e6)
            t = time.perf_counter()
            n = _fsspec_run(c.fs, c.chunks(size)) if fs_loop else asyncio.run(c.chunks(size))
            assert n == size
            rec(name, f"8 MiB ranges, {AHEAD} at a time (MB/s)",
                size / (time.perf_counter() - t) / 1e6)
    return {n: {w: statistics.median(v) for w, v in d.items()} for n, d in out.items()}


def outcome(f: Callable[[], Any]) -> str:
    """What calling `f` gave: the error's class and first words, or the bytes' count."""
    try:
        r = f()
    except Exception as e:
        return f"{type(e).__name__}: {str(e).splitlines()[0][:90]}"
    if hasattr(r, "bytes"):
        r = r.bytes()  # an obstore GetResult
    if isinstance(r, dict) or not hasattr(r, "__len__"):
        return "ok"
    return f"ok ({len(r)} bytes)"


def features(s3: servers.S3Server, http: servers.HttpServer) -> list[tuple[str, str, str]]:
    st, fs = _obstore_s3(s3), _s3fs(s3)
    hs = HTTPStore.from_url(http.base, client_options={"allow_http": True})
    hf = fsspec.filesystem("http", skip_instance_cache=True)
    b = servers.S3_BUCKET
    rows = []
    s3.put("f.bin", os.urandom(1 << 20))
    tag = obstore.head(st, "f.bin")["e_tag"]
    rows.append(("S3: ranged GET with If-Match (pinned ETag)",
                 outcome(lambda: obstore.get(st, "f.bin", options={"range": (0, 100), "if_match": tag})),
                 outcome(lambda: fs.cat_file(f"{b}/f.bin", start=0, end=100, IfMatch=tag))))
    s3.put("f.bin", os.urandom(1 << 20))
    rows.append(("S3: the same after the object is replaced",
                 outcome(lambda: obstore.get(st, "f.bin", options={"range": (0, 100), "if_match": tag})),
                 "no If-Match on reads; version_id only on versioned buckets"))
    http.put("f.bin", os.urandom(1 << 20))
    htag = obstore.head(hs, "f.bin")["e_tag"]
    http.put("f.bin", os.urandom(1 << 20))
    os.utime(http.www / "f.bin", (1, 1))
    rows.append(("HTTP: ranged GET with If-Match after replacement",
                 outcome(lambda: obstore.get(hs, "f.bin", options={"range": (0, 100), "if_match": htag})),
                 outcome(lambda: hf.cat_file(http.url("f.bin"), 0, 100, headers={"If-Match": htag}))))
    http.put(f"{servers.NO_RANGE}/f.bin", os.urandom(8 << 20))
    rows.append(("HTTP: 100-byte range from a server that ignores Range (8 MiB object)",
                 outcome(lambda: obstore.get_range(hs, f"{servers.NO_RANGE}/f.bin", start=0, end=100)),
                 outcome(lambda: hf.cat_file(http.url(f"{servers.NO_RANGE}/f.bin"), 0, 100))))
    name = f"create-{os.getpid()}-{time.time_ns()}.bin"
    rows.append(("S3: create-only PUT of a new key",
                 outcome(lambda: obstore.put(st, name, b"x", mode="create")),
                 outcome(lambda: fs.pipe_file(f"{b}/{name}.2", b"x", mode="create"))))
    rows.append(("S3: create-only PUT of an existing key",
                 outcome(lambda: obstore.put(st, name, b"y", mode="create")),
                 outcome(lambda: fs.pipe_file(f"{b}/{name}.2", b"y", mode="create"))))

    def failing() -> Any:
        for _ in range(2):
            yield os.urandom(5 << 20)
        raise RuntimeError("source failed mid-upload")

    obstore_mp = outcome(lambda: obstore.put(st, "mp.bin", failing(), chunk_size=5 << 20))
    left = fsspec.asyn.sync(fs.loop, fs._call_s3, "list_multipart_uploads", Bucket=b)
    rows.append(("S3: multipart upload whose source fails",
                 f"{obstore_mp}; object absent: {outcome(lambda: obstore.head(st, 'mp.bin'))}; "
                 f"uploads left open: {len(left.get('Uploads', []))}",
                 "not measured"))
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mib", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    data = os.urandom(args.size_mib << 20)
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "s3").mkdir()
        (Path(tmp) / "http").mkdir()
        s3 = servers.S3Server(Path(tmp) / "s3")
        http = servers.HttpServer(Path(tmp) / "http")
        try:
            s3.put("obj.bin", data)
            http.put("obj.bin", data)
            print(f"load average before: {os.getloadavg()[0]:.2f} (2 cores); object "
                  f"{args.size_mib} MiB; medians of {args.rounds} rounds")
            fs = _s3fs(s3)
            hf = fsspec.filesystem("http", skip_instance_cache=True)
            hs = HTTPStore.from_url(http.base, client_options={"allow_http": True})
            results = measure({
                "S3 obstore": ObstoreClient(_obstore_s3(s3), "obj.bin"),
                "S3 s3fs": FsspecClient(fs, f"{servers.S3_BUCKET}/obj.bin"),
                "HTTP obstore": ObstoreClient(hs, "obj.bin"),
                "HTTP fsspec": FsspecClient(hf, http.url("obj.bin")),
            }, data, args.rounds)
            print(f"load average after: {os.getloadavg()[0]:.2f}")
            names = list(results)
            print("| measure | " + " | ".join(names) + " |")
            print("|---" * (len(names) + 1) + "|")
            for what in results[names[0]]:
                print(f"| {what} | " + " | ".join(f"{results[n][what]:.2f}" for n in names) + " |")
            print()
            print("| feature | obstore | fsspec (s3fs / http) |")
            print("|---|---|---|")
            for row in features(s3, http):
                print("| " + " | ".join(row) + " |")
        finally:
            s3.stop()
            http.stop()


if __name__ == "__main__":
    main()
