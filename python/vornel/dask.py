"""Build sharded stores on a Dask cluster (the optional extra ``vornel[dask]``).

    import dask.bag as db
    from vornel.dask import build_sharded

    pairs = db.from_sequence(((f"user:{i}", {"n": i}) for i in range(10**6)), npartitions=16)
    build_sharded(pairs, "users", shards=8)

The pairs are partitioned by `vornel.sharded.shard_of` with Dask's own shuffle (a task
groupby for a bag, a shuffle to one partition per shard for a DataFrame), then one task
builds each shard with `VornWriter`. Every worker must see `directory` under the same path
(a shared file system). When every shard is built the manifest is published atomically;
when a task fails for good nothing is published and the previous set stays current.

A DataFrame's columns of Python objects are built as the objects they hold: Dask would
otherwise turn them into strings (its "dataframe.convert-string" setting), dicts, lists
and bytes included, and the store would hold their repr instead of the values.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import dask.bag
import dask.dataframe
import distributed
from dask.base import compute
from dask.dataframe.dask_expr._collection import new_collection  # type: ignore[attr-defined]
from dask.dataframe.dask_expr._expr import ArrowStringConversion
from dask.delayed import delayed

from vornel.keys import Key
from vornel.sharded import (
    build_shard,
    mark_failed,
    new_version,
    prune,
    publish,
    shard_of,
    shards_of,
)
from vornel.sharded.layout import check_shard_count

__all__ = ["build_sharded", "prune"]

_SHARD_COLUMN = "_vornel_shard"


def build_sharded(
    data: dask.bag.Bag | dask.dataframe.DataFrame,
    directory: str | os.PathLike[str],
    shards: int,
    *,
    dedup: bool = True,
    default: Callable[[Any], Any] | None = None,
    scheduler: Any = None,
    shuffle_method: str = "tasks",
) -> dict[str, Any]:
    """Build `data` into a new version of the sharded store in `directory` and publish it.

    `data` is a bag of `(key, value)` pairs or a DataFrame with columns `key` and `value`.
    `dedup` and `default` go to each shard's `VornWriter`. `scheduler` goes to
    `dask.compute` (by default the active distributed client, if any). `shuffle_method`
    goes to Dask's shuffle: "tasks" by default, which moves Python values between workers
    without converting them (DataFrame values are often dicts and lists); "p2p" suits
    very large DataFrames of plain columns. Returns the
    published manifest. On failure the version folder is marked failed for `prune`.
    """
    check_shard_count(shards)
    if isinstance(data, dask.dataframe.DataFrame):
        missing = {"key", "value"} - set(data.columns)
        if missing:
            raise ValueError(f"DataFrame lacks the column(s) {', '.join(sorted(missing))}")
    elif not isinstance(data, dask.bag.Bag):
        raise TypeError(f"data must be a dask Bag or DataFrame, not {type(data).__name__}")
    version_dir = new_version(directory)
    build = functools.partial(
        _build_groups, version_dir=version_dir, dedup=dedup, default=default)
    try:
        if isinstance(data, dask.bag.Bag):
            tasks = _bag_tasks(data, shards, build, shuffle_method)
        else:
            tasks = _frame_tasks(data, shards, build, shuffle_method)
        results = _run(tasks, scheduler)
        entries = [entry for result in results for entry in result]
        return publish(directory, version_dir, shards, entries)
    except BaseException:
        mark_failed(version_dir)
        raise


def _run(tasks: list[Any], scheduler: Any) -> list[list[dict[str, Any]]]:
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


def _pair_shard(pair: tuple[Key, Any], shards: int) -> int:
    return shard_of(pair[0], shards)


def _build_groups(
    groups: Iterable[tuple[int, Iterable[tuple[Key, Any]]]],
    version_dir: str,
    dedup: bool,
    default: Callable[[Any], Any] | None,
) -> list[dict[str, Any]]:
    # A partition normally holds one shard, but the code does not depend on it.
    return [build_shard(pairs, version_dir, index, dedup=dedup, default=default)
            for index, pairs in groups]


def _bag_tasks(
    bag: dask.bag.Bag, shards: int,
    build: Callable[[Iterable[tuple[int, Iterable[tuple[Key, Any]]]]], list[dict[str, Any]]],
    shuffle_method: str,
) -> list[Any]:
    if bag.npartitions == 0:  # nothing to shuffle: publish() makes every shard empty
        return []
    grouped = bag.groupby(  # type: ignore[no-untyped-call]
        functools.partial(_pair_shard, shards=shards), npartitions=shards, shuffle=shuffle_method)
    return [delayed(build)(part) for part in grouped.to_delayed()]


# Partitions are pandas objects; pandas ships no type information, so they are Any here.
def _shard_column(keys: Any, shards: int) -> Any:
    import pandas  # type: ignore[import-untyped]

    return pandas.Series(shards_of(keys.tolist(), shards), index=keys.index, dtype="int64",
                         name=_SHARD_COLUMN)


def _frame_groups(part: Any) -> Iterator[tuple[int, Iterable[tuple[Key, Any]]]]:
    # tolist() gives plain Python values (int, not numpy.int64), which MessagePack encodes.
    for index, rows in part.groupby(level=0, sort=True):
        yield int(index), zip(rows["key"].tolist(), rows["value"].tolist())


def _build_frame_part(
    part: Any,
    build: Callable[[Iterable[tuple[int, Iterable[tuple[Key, Any]]]]], list[dict[str, Any]]],
) -> list[dict[str, Any]]:
    return build(_frame_groups(part))


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


def _frame_tasks(
    frame: dask.dataframe.DataFrame, shards: int,
    build: Callable[[Iterable[tuple[int, Iterable[tuple[Key, Any]]]]], list[dict[str, Any]]],
    shuffle_method: str,
) -> list[Any]:
    frame = _keep_objects(frame[["key", "value"]])
    frame = frame.assign(**{_SHARD_COLUMN: frame["key"].map_partitions(
        _shard_column, shards, meta=(_SHARD_COLUMN, "int64"))})
    # Known divisions 0, 1, ..., shards-1 give exactly one shard per output partition.
    parted = frame.set_index(
        _SHARD_COLUMN, divisions=[*range(shards), shards - 1], shuffle_method=shuffle_method)
    return [delayed(_build_frame_part)(part, build) for part in parted.to_delayed()]
