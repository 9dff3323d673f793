"""Reading objects in place (vornel.remote) against real servers on loopback: weed mini
for S3 and nginx for HTTP, beside local files as the reference."""

import asyncio
import errno
import os
import socket
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

pytest.importorskip("obstore", reason="the optional extra vornel[remote] is not installed")

import servers  # noqa: E402
from servers import NO_RANGE, SLOW, http_server, own_http_server, s3_server  # noqa: E402,F401
from vornel import VornFileNotFoundError, VornIOError, VornPermissionError, remote  # noqa: E402
from vornel.remote import ranges  # noqa: E402

DATA = os.urandom((1 << 20) + 12345)
KINDS = ["path", "file-url", "s3-options", "s3-env", "http"]


@pytest.fixture(params=KINDS)
def url_and_options(request, tmp_path, monkeypatch):
    kind = request.param
    if kind in ("path", "file-url"):
        path = tmp_path / "obj.bin"
        path.write_bytes(DATA)
        return (str(path) if kind == "path" else path.as_uri()), {}
    if kind == "http":
        server = request.getfixturevalue("http_server")
        server.put("obj.bin", DATA)
        return server.url("obj.bin"), {}
    server = request.getfixturevalue("s3_server")
    server.put("obj.bin", DATA)
    if kind == "s3-env":
        for name, value in server.env().items():
            monkeypatch.setenv(name, value)
        return server.url("obj.bin"), {}
    return server.url("obj.bin"), {"storage_options": server.storage_options()}


range_lists = st.lists(st.tuples(st.integers(0, len(DATA)), st.integers(0, 70000)).map(
    lambda t: (t[0], min(len(DATA), t[0] + t[1]))), max_size=40)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(wanted=range_lists)
def test_ranged_reads_agree_with_the_file(url_and_options, wanted):
    url, options = url_and_options
    counts = remote.Counts()
    with remote.open_source(url, counts=counts, **options) as src:
        assert src.size == len(DATA)
        rounds = counts.rounds
        assert src.read_ranges(wanted) == [DATA[s:e] for s, e in wanted]
        assert counts.rounds - rounds <= 1  # one call, one round trip at most
        async def gathered():
            return await asyncio.gather(*(src.read_async(s, e) for s, e in wanted))
        assert asyncio.run(gathered()) == [DATA[s:e] for s, e in wanted]


def test_streams_and_counts_round_trips(s3_server, tmp_path):
    s3_server.put("obj.bin", DATA)
    url, options = s3_server.url("obj.bin"), s3_server.storage_options()
    counts = remote.Counts()
    src = remote.open_source(url, storage_options=options, counts=counts, cache_dir=tmp_path)
    assert (counts.rounds, counts.requests) == (1, 1)  # open brings the first block
    src.read_ranges([(10, 20), (60000, 65536)])
    assert counts.rounds == 1
    starts = [i * 997 for i in range(1000)]
    assert src.read_ranges([(s, s + 100) for s in starts]) == [DATA[s:s + 100] for s in starts]
    assert counts.rounds == 2 and counts.requests == 2  # nearby ranges merged
    src.read_ranges([(5000, 6000), (900000, 900100)])
    assert counts.rounds == 2  # both blocks are cached
    assert b"".join(remote.iter_chunks(src, chunk=300000)) == DATA

    async def scan():
        return b"".join([c async for c in remote.aiter_chunks(src, 7, chunk=100000)])
    assert asyncio.run(scan()) == DATA[7:]
    # The directory outlives the source: a new one with no memory cache reads nothing.
    again = remote.Counts()
    cache = remote.BlockCache(0, tmp_path)
    src2 = remote.open_source(url, storage_options=options, counts=again, cache=cache)
    assert src2.read_ranges([(s, s + 100) for s in starts[:50]]) == [DATA[s:s + 100] for s in starts[:50]]
    assert again.rounds == 1  # the open alone


def _server(kind, request):
    server = request.getfixturevalue(f"{kind}_server")
    return server, {"storage_options": server.storage_options()} if kind == "s3" else {}


@pytest.mark.parametrize("kind", ["s3", "http"])
def test_an_empty_object_opens(kind, request):
    server, options = _server(kind, request)
    server.put("empty.bin", b"")
    src = remote.open_source(server.url("empty.bin"), **options)
    assert src.size == 0 and src.read_ranges([(0, 0)]) == [b""]


@pytest.mark.parametrize("kind", ["s3", "http"])
def test_a_replaced_object_fails_and_no_stale_block_is_served(kind, request):
    server, options = _server(kind, request)
    server.put("pinned.bin", DATA)
    cache = remote.BlockCache()
    old = remote.open_source(server.url("pinned.bin"), cache=cache, **options)
    assert old.read(0, 100) == DATA[:100]
    new_data = bytes(reversed(DATA))
    server.put("pinned.bin", new_data)
    if kind == "http":  # nginx's ETag is the modification time and size
        os.utime(server.www / "pinned.bin", (1, 1))
    with pytest.raises(VornIOError, match="replaced since it was opened") as e:
        old.read(500000, 500100)
    assert e.value.errno == errno.ESTALE and e.value.filename == server.url("pinned.bin")
    new = remote.open_source(server.url("pinned.bin"), cache=cache, **options)
    assert new.read_ranges([(0, 100), (500000, 500100)]) == [new_data[:100], new_data[500000:500100]]


def _faults(s3, http):
    so = s3.storage_options()
    return [
        (s3.url("missing.bin"), so, VornFileNotFoundError, "no such object"),
        ("s3://no-such-bucket/x.bin", so, VornFileNotFoundError, "no such bucket"),
        (s3.url("obj.bin"), dict(so, secret="wrong"), VornPermissionError, "access denied"),
        (http.url("missing.bin"), None, VornFileNotFoundError, "no such object"),
        (http.url(f"{NO_RANGE}/big.bin"), None, VornIOError, "ignored the Range request"),
    ]


def test_faults_name_the_url(s3_server, http_server):
    s3_server.put("obj.bin", DATA)
    http_server.put(f"{NO_RANGE}/big.bin", DATA)
    for url, options, cls, message in _faults(s3_server, http_server):
        with pytest.raises(cls, match=message) as e:
            remote.open_source(url, storage_options=options)
        assert e.value.filename == url


def test_a_server_that_ignores_range_is_refused_unread(http_server):
    huge = 256 << 20
    with open(http_server.www / NO_RANGE / "huge.bin", "wb") as f:
        f.truncate(huge)  # sparse: no bytes written
    url = http_server.url(f"{NO_RANGE}/huge.bin")
    for cache_bytes in (0, 1 << 20):  # a read after a HEAD, and the open's first GET
        with pytest.raises(VornIOError, match="ignored the Range") as e:
            remote.open_source(url, cache_bytes=cache_bytes).read(0, 10)
        assert e.value.errno == errno.EPROTO
    deadline = time.monotonic() + 10  # nginx logs a request when its connection ends
    while time.monotonic() < deadline:
        sent = [int(line.split()[2]) for line in http_server.sent_log.read_text().splitlines()
                if line.startswith(f"GET /{NO_RANGE}/huge.bin ")]
        if len(sent) == 2:
            break
        time.sleep(0.05)
    assert len(sent) == 2 and max(sent) < huge // 8


@pytest.mark.parametrize("fault", ["server stops", "file cut short"])
def test_a_read_cut_off_midway_fails_after_bounded_retries(own_http_server, fault):
    server = own_http_server
    server.put(f"{SLOW}/obj.bin", DATA)
    policy = remote.RetryPolicy(attempts=3, first_delay=0.05, timeout=10)
    src = remote.open_source(server.url(f"{SLOW}/obj.bin"), retry=policy, cache_bytes=0)
    future = remote.loop.submit(src.read_async(0, len(DATA)))
    deadline = time.monotonic() + 10
    while src.requests < 2 and time.monotonic() < deadline:  # the read is under way
        time.sleep(0.01)
    if fault == "server stops":
        server.stop()
    else:
        os.truncate(server.www / SLOW / "obj.bin", 1000)
    with pytest.raises(VornIOError) as e:
        future.result(30)
    assert e.value.errno in (errno.EIO, errno.ESTALE) and e.value.filename == src.url
    assert src.requests <= 1 + policy.attempts


def test_a_slow_server_times_out(http_server):
    http_server.put(f"{SLOW}/obj.bin", DATA)
    policy = remote.RetryPolicy(attempts=2, first_delay=0.01, timeout=0.5)
    src = remote.open_source(http_server.url(f"{SLOW}/obj.bin"), retry=policy, cache_bytes=0)
    start = time.monotonic()
    with pytest.raises(VornIOError, match="timed out after 2 attempts") as e:
        src.read(0, len(DATA))
    assert e.value.errno == errno.ETIMEDOUT and time.monotonic() - start < 5


@given(wanted=range_lists, gap=st.integers(0, 1 << 17), max_span=st.integers(1, 1 << 18))
def test_merged_spans_cover_each_range_once(wanted, gap, max_span):
    spans = ranges.merge(wanted, gap, max_span)
    members = sorted(i for s in spans for i in s.members)
    assert members == [i for i, (s, e) in enumerate(wanted) if e > s]
    for a, b in zip(spans, spans[1:]):
        assert a.end <= b.start
    for s in spans:
        assert all(s.start <= wanted[i][0] and wanted[i][1] <= s.end for i in s.members)
        assert s.end - s.start <= max_span + sum(wanted[i][1] - wanted[i][0] for i in s.members)


def test_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "obstore", None)
    with pytest.raises(ImportError, match=r"vornel\[remote\]"):
        remote.open_source("s3://bucket/store.vrnl")


def test_a_server_that_cannot_start_fails_with_its_log(tmp_path, monkeypatch):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        monkeypatch.setattr(servers, "free_ports", lambda n: [taken.getsockname()[1]] * n)
        with pytest.raises(servers.ServerError, match="(?s)exited with status 1.*in use"):
            servers.HttpServer(tmp_path)
