"""Build sharded stores on a Dask cluster (the optional extra ``vornel[dask]``).

    import dask.bag as db
    from vornel.dask import build_sharded

    pairs = db.from_sequence(((f"user:{i}", {"n": i}) for i in range(10**6)), npartitions=16)
    build_sharded(pairs, "users", shards=8)

Nothing is shuffled: one task per input partition writes its pairs as one sorted run per
shard into the version folder (`vornel.sharded.write_partition_runs`), then one task per
shard merges that shard's runs, in partition order, into the shard's store file
(`merge_shard_runs`). Every worker must see `directory` under the same path (a shared file
system). When every shard is built the manifest is published atomically and the runs go;
when a task fails for good nothing is published and the previous set stays current.

A DataFrame's columns of Python objects are built as the objects they hold: Dask would
otherwise turn them into strings (its "dataframe.convert-string" setting), dicts, lists
and bytes included, and the store would hold their repr instead of the values.

`cluster_client` gives the client that the `vornel` tool builds on: of a scheduler, or of
a local cluster that it starts and stops.
"""

from __future__ import annotations

import logging
import os
import signal
import subprocess
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from typing import Any

import dask.bag
import dask.dataframe
import distributed
from dask.base import compute
from dask.dataframe.dask_expr._collection import new_collection  # type: ignore[attr-defined]
from dask.dataframe.dask_expr._expr import ArrowStringConversion
from dask.delayed import delayed

from vornel.keys import Key
from vornel.writer import VornWriter
from vornel.sharded import (
    mark_failed,
    merge_shard_runs,
    new_version,
    prune,
    publish,
    write_partition_runs,
)
from vornel.sharded.layout import check_shard_count

__all__ = ["build_sharded", "cluster_client", "prune"]

_POLICIES = ("last", "first", "error")


def build_sharded(
    data: dask.bag.Bag | dask.dataframe.DataFrame,
    directory: str | os.PathLike[str],
    shards: int,
    *,
    dedup: bool = True,
    default: Callable[[Any], Any] | None = None,
    scheduler: Any = None,
    on_duplicate: str = "last",
    memory_limit: int | None = None,
    compression: str | None = None,
    compression_level: int | None = None,
) -> dict[str, Any]:
    """Build `data` into a new version of the sharded store in `directory` and publish it.

    `data` is a bag of `(key, value)` pairs or a DataFrame with columns `key` and `value`.
    `dedup` and `default` go to the writers. A key given more than once keeps its value
    from the latest partition (`on_duplicate="last"`), the earliest ("first"), or stops
    the build with DuplicateKeyError ("error"); within a partition, in its order.
    `memory_limit` is what each task's writers hold before they write runs to the
    worker's temporary directory (by default a share of the worker's memory).
    `compression` and `compression_level` are VornWriter's: each shard trains its own
    dictionary on its values.
    `scheduler` goes to `dask.compute` (by default the active distributed client, if
    any). Returns the published manifest. On failure the version folder is marked
    failed for `prune`.
    """
    check_shard_count(shards)
    if on_duplicate not in _POLICIES:
        raise ValueError(f"on_duplicate must be 'last', 'first' or 'error', not {on_duplicate!r}")
    # A writer checks the codec and its level here, before any task runs.
    VornWriter(compression=compression, compression_level=compression_level)
    if isinstance(data, dask.dataframe.DataFrame):
        missing = {"key", "value"} - set(data.columns)
        if missing:
            raise ValueError(f"DataFrame lacks the column(s) {', '.join(sorted(missing))}")
        frame = _keep_objects(data[["key", "value"]])
        parts = [delayed(_frame_pairs)(part)
                 for part in frame.to_delayed()]  # type: ignore[no-untyped-call]
    elif isinstance(data, dask.bag.Bag):
        parts = data.to_delayed()  # type: ignore[no-untyped-call]
    else:
        raise TypeError(f"data must be a dask Bag or DataFrame, not {type(data).__name__}")
    version_dir = new_version(directory)
    try:
        written = [
            delayed(write_partition_runs)(
                part, version_dir, number, shards, dedup=dedup, default=default,
                on_duplicate=on_duplicate, memory_limit=memory_limit)
            for number, part in enumerate(parts)]
        merged = [
            delayed(merge_shard_runs)(written, version_dir, index, dedup=dedup,
                                      on_duplicate=on_duplicate, memory_limit=memory_limit,
                                      compression=compression,
                                      compression_level=compression_level)
            for index in range(shards)]
        return publish(directory, version_dir, shards, _run(merged, scheduler))
    except BaseException:
        mark_failed(version_dir)
        raise


def _run(tasks: list[Any], scheduler: Any) -> list[dict[str, Any]]:
    client = scheduler if isinstance(scheduler, distributed.Client) else None
    if client is None and scheduler is None:
        try:
            client = distributed.get_client()
        except ValueError:  # no distributed client: Dask's local schedulers
            pass
    if client is None:
        return list(compute(*tasks, scheduler=scheduler))  # type: ignore[no-untyped-call]
    futures = client.compute(tasks)  # type: ignore[no-untyped-call]
    try:
        return list(client.gather(futures))  # type: ignore[no-untyped-call]
    except BaseException:
        # When one task fails for good, shards not yet started are not built for nothing.
        client.cancel(futures)  # type: ignore[no-untyped-call]
        raise


# Partitions are pandas objects; pandas ships no type information, so they are Any here.
def _frame_pairs(part: Any) -> Iterator[tuple[Key, Any]]:
    # tolist() gives plain Python values (int, not numpy.int64), which MessagePack encodes.
    return zip(part["key"].tolist(), part["value"].tolist())


_STRINGS = "pyarrow_strings_enabled"


def _converts_objects(node: Any) -> bool:
    # The two ways a Dask DataFrame turns object columns into strings: a source that
    # converts as it reads (from_pandas, read_parquet, ...), and a conversion step.
    if isinstance(node, ArrowStringConversion):
        return True
    return _STRINGS in node._parameters and bool(node.operand(_STRINGS))


def _keep_objects(frame: dask.dataframe.DataFrame) -> dask.dataframe.DataFrame:
    """`frame` with its object columns left as the Python objects they hold."""
    expr: Any = frame.expr
    while (node := next((n for n in expr.walk() if _converts_objects(n)), None)) is not None:
        plain = node.frame if isinstance(node, ArrowStringConversion) \
            else node.substitute_parameters({_STRINGS: False})
        expr = expr.substitute(node, plain)
    result: dask.dataframe.DataFrame = new_collection(expr)  # type: ignore[no-untyped-call]
    return result


# How long a local cluster may take to close before its processes are killed.
_CLOSE_SECONDS = 5.0


@contextmanager
def cluster_client(scheduler: str | None = None) -> Iterator[distributed.Client]:
    """A Dask client, closed on leaving: of the scheduler at `scheduler`, or when None of
    a local cluster of single-threaded worker processes, one per core.

    The local cluster runs in a process group of its own, so that the terminal's Ctrl-C
    reaches only the calling process, as KeyboardInterrupt, at any moment, the cluster's
    start included; leaving on an exception kills the group at once (a clean leave closes
    the cluster first, for a few seconds at most), so that no process of it outlives the
    call. Raises OSError when the cluster cannot start or the scheduler cannot be reached
    (after Dask's connect timeout).
    """
    if scheduler is not None:
        with distributed.Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    with _local_cluster() as address:
        with distributed.Client(address) as client:  # type: ignore[no-untyped-call]
            yield client


@contextmanager
def _local_cluster() -> Iterator[str]:
    """The scheduler address of a local cluster run by a child process (`_serve`)."""
    with tempfile.TemporaryFile() as log:
        child = subprocess.Popen(
            [sys.executable, "-c", "import vornel.dask; vornel.dask._serve()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, start_new_session=True)
        clean = False
        try:
            assert child.stdout is not None
            address = child.stdout.readline().decode().strip()
            if not address:
                child.wait()
                log.seek(0)
                last = (log.read().decode(errors="replace").strip().splitlines() or ["no output"])
                raise OSError(f"its process ended with status {child.returncode}: {last[-1]}")
            yield address
            clean = True
        finally:
            _stop(child, clean)


def _stop(child: subprocess.Popen[bytes], clean: bool) -> None:
    """Ends the cluster's process group: closed by the child when `clean`, else killed."""
    assert child.stdin is not None
    if clean:
        try:
            child.stdin.close()  # the child closes its cluster and exits
            child.wait(_CLOSE_SECONDS)
        except (OSError, subprocess.TimeoutExpired):
            pass
    try:
        os.killpg(child.pid, signal.SIGKILL)  # whatever of the group is left
    except ProcessLookupError:
        pass
    child.wait()
    with suppress(OSError):
        child.stdin.close()


def _serve() -> None:
    """Runs a local cluster for `cluster_client`: prints its scheduler's address, and
    closes it once standard input ends."""
    cluster = distributed.LocalCluster(  # type: ignore[no-untyped-call]
        # A random port for the status server: others may run clusters too.
        threads_per_worker=1, processes=True, dashboard_address=":0",
        silence_logs=logging.CRITICAL)
    print(cluster.scheduler_address, flush=True)
    sys.stdin.buffer.read()
    cluster.close(timeout=_CLOSE_SECONDS)
