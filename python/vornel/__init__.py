"""vornel: an immutable key-to-value store in one file.

`VornWriter` stages keys bound to Python values (encoded with MessagePack) and publishes
them atomically as one store file; `VornReader` maps a store read-only and serves it as
a `collections.abc.Mapping`. `build()` and `open()` do either in one call.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from ._version import __version__
from .reader import VornDecodeError, VornReader
from .writer import Key, VornWriter

if TYPE_CHECKING:
    from .sharded import ShardedReader

__all__ = [
    "Key", "ShardedReader", "VornDecodeError", "VornReader", "VornWriter", "__version__",
    "build", "open",
]


def build(
    path: str | os.PathLike[str],
    items: Mapping[Key, object] | Iterable[tuple[Key, object]],
    *,
    progress: bool = False,
) -> None:
    """Writes a store at `path` holding `items`, a mapping or an iterable of pairs.

    `progress=True` shows a progress bar on standard error while staging.
    """
    writer = VornWriter()
    pairs: Iterable[tuple[Key, object]] = items.items() if isinstance(items, Mapping) else items
    if progress:
        from tqdm import tqdm

        total = len(items) if isinstance(items, Mapping) else None
        pairs = tqdm(pairs, total=total, unit=" keys", desc="staging")
    writer.update(pairs)
    writer.build(path)


def open(
    path: str | os.PathLike[str], verify: bool = True, **hooks: Any
) -> VornReader | ShardedReader:
    """Opens the store at `path`; `ext_hook` and `object_hook` go to the unpacker.

    A directory is a sharded store and gives a `ShardedReader`.
    """
    if os.path.isdir(path):
        from .sharded import ShardedReader

        return ShardedReader(path, verify, **hooks)
    return VornReader(path, verify, **hooks)


def __getattr__(name: str) -> Any:
    # Sharded stores load on first use, so that `import vornel` stays small.
    if name == "ShardedReader":
        from .sharded import ShardedReader

        return ShardedReader
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
