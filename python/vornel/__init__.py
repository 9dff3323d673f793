"""vornel: an immutable key-to-value store in one file.

`VornWriter` stages keys bound to Python values (encoded with MessagePack) and publishes
them atomically as one store file; `VornReader` maps a store read-only and serves it as
a `collections.abc.Mapping`. `build()` and `open()` do either in one call. Sharded
stores (`vornel.sharded`, `vornel.dask`) are imported on first use.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from ._version import __version__
from .errors import (
    DuplicateKeyError,
    LineError,
    ManifestError,
    PanicException,
    ShardError,
    ShardMissingError,
    TagError,
    VornCorruptError,
    VornDecodeError,
    VornError,
    VornExtraDataError,
    VornFileExistsError,
    VornFileNotFoundError,
    VornFormatError,
    VornIOError,
    VornIsADirectoryError,
    VornLimitError,
    VornNotADirectoryError,
    VornPermissionError,
    VornStackError,
    VornUnhashableKeyError,
    VornUnicodeDecodeError,
    VornVersionError,
    WriterBusyError,
)
from .keys import Key
from .reader import StoreReader, VornReader
from .writer import VornWriter

TYPE_CHECKING = False  # typing's own costs an import that `import vornel` need not make
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import Any

    from .keys import AnyKey, PathArg
    from .reader import ExtHook, ObjectHook
    from .sharded import ShardedReader

__all__ = [
    "DuplicateKeyError", "Key", "LineError", "ManifestError", "PanicException", "ShardError", "ShardMissingError",
    "ShardedReader", "StoreReader", "TagError", "VornCorruptError", "VornDecodeError",
    "VornError", "VornExtraDataError", "VornFileExistsError", "VornFileNotFoundError",
    "VornFormatError", "VornIOError", "VornIsADirectoryError", "VornLimitError",
    "VornNotADirectoryError", "VornPermissionError", "VornReader", "VornStackError",
    "VornUnhashableKeyError", "VornUnicodeDecodeError", "VornVersionError", "VornWriter", "WriterBusyError",
    "__version__", "build", "open",
]


def __getattr__(name: str) -> Any:
    # The sharded machinery loads only when asked for.
    if name == "ShardedReader":
        from .sharded import ShardedReader

        return ShardedReader
    raise AttributeError(f"module 'vornel' has no attribute {name!r}")


def build(
    path: PathArg,
    items: Mapping[AnyKey, object] | Iterable[tuple[AnyKey, object]],
    *,
    progress: bool = False,
) -> str:
    """Writes a store at `path` holding `items`, a mapping or an iterable of pairs, and
    returns its summary line, as `VornWriter.build` does.

    `progress=True` shows a progress bar on standard error while staging.
    """
    writer = VornWriter()
    pairs: Iterable[tuple[AnyKey, object]] = (
        items.items() if isinstance(items, Mapping) else items
    )
    if progress:
        from tqdm import tqdm

        total = len(items) if isinstance(items, Mapping) else None
        pairs = tqdm(pairs, total=total, unit=" keys", desc="staging")
    writer.update(pairs)
    return writer.build(path)


def open(
    path: PathArg,
    verify: bool = False,
    *,
    ext_hook: ExtHook | None = None,
    object_hook: ObjectHook | None = None,
) -> StoreReader:
    """Opens the store at `path`: a `VornReader`, or a `ShardedReader` for a directory.

    `ext_hook` and `object_hook` are passed to the MessagePack decoder as msgpack passes
    them.
    """
    if os.path.isdir(path):
        from .sharded import ShardedReader

        return ShardedReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
    return VornReader(path, verify, ext_hook=ext_hook, object_hook=object_hook)
