"""`vornel build --shards N [--scheduler ADDRESS]`: a sharded store from JSON Lines on Dask.

The input is parsed here, in the tool's process, so that a bad line is reported as
`file:line: message` exactly as for a single store, and handed to the cluster in chunks
as it is read: this process holds one chunk at a time, the workers hold the rest.
"""

from __future__ import annotations

import argparse
import itertools
import logging
from collections.abc import Iterable, Iterator
from contextlib import ExitStack
from typing import Any, BinaryIO

from .cli import Failure
from .writer import Key

CHUNK = 50_000  # pairs per input partition handed to the cluster


def _chunks(records: Iterable[tuple[int, Key, Any]]) -> Iterator[list[tuple[Key, Any]]]:
    chunk: list[tuple[Key, Any]] = []
    for _, key, value in records:
        chunk.append((key, value))
        if len(chunk) == CHUNK:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def cmd_build_sharded(
    args: argparse.Namespace, records: Iterable[tuple[int, Key, Any]], name: str, out: BinaryIO
) -> int:
    try:
        import dask.bag
        import distributed
        from dask.delayed import delayed

        from .dask import build_sharded
    except ImportError as e:
        raise Failure(f"--shards needs the optional extra: pip install 'vornel[dask]' ({e})") \
            from None
    if args.shards < 1:
        raise Failure(f"--shards must be at least 1, not {args.shards}")
    # The first chunk is read before a cluster starts, so that an early bad line costs none.
    chunks = _chunks(records)
    first = next(chunks, None)
    with ExitStack() as stack:
        try:
            if args.scheduler is None:
                cluster = stack.enter_context(distributed.LocalCluster(  # type: ignore[no-untyped-call]
                    # A random port for the status server: others may run clusters too.
                    threads_per_worker=1, processes=True, dashboard_address=":0",
                    silence_logs=logging.CRITICAL))
                client = stack.enter_context(distributed.Client(cluster))  # type: ignore[no-untyped-call]
            else:
                # The wait for the scheduler is Dask's connect timeout (30 s unless configured).
                client = stack.enter_context(
                    distributed.Client(args.scheduler))  # type: ignore[no-untyped-call]
        except OSError as e:
            raise Failure(f"cannot reach the Dask scheduler {args.scheduler}: {e}") from None
        parts = [delayed(client.scatter([chunk])[0])
                 for chunk in itertools.chain([first] if first else [], chunks)]
        # Partitions already on the workers: the task graph carries only their names.
        bag = dask.bag.from_delayed(parts)  # type: ignore[no-untyped-call]
        try:
            manifest = build_sharded(
                bag, args.out, shards=args.shards, dedup=not args.no_dedup, scheduler=client)
        except (TypeError, ValueError, OverflowError, distributed.KilledWorker) as e:
            raise Failure(f"{name}: {e}; no new set was published") from None
    size_kb = sum(int(entry["file_size"]) for entry in manifest["shards"]) / 1024
    out.write(
        f"✅  {args.out}  —  {manifest['shard_count']} shards · {manifest['num_objects']}"
        f" objects · {manifest['num_keys']} keys · {size_kb:.1f} KB\n".encode())
    return 0
