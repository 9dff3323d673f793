"""VornWriter: ordinary Python values in, one published store file out."""

from __future__ import annotations

import os

from . import _engine
from .keys import Key

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Mapping
    from types import TracebackType
    from typing import Any, Self

    from .keys import AnyKey, PathArg

__all__ = ["Key", "VornWriter"]


class VornWriter(_engine.Writer):
    """Stages keys bound to MessagePack-encoded values, then publishes them as a store.

    Values with byte-identical encodings are stored once (`dedup=True`); `default` is
    called, as MessagePack's packer calls it, for values of types it does not know.
    `compression="zstd"` compresses the values with a dictionary that the build trains on
    a sample of them (`compression_level`: zstd's level, 3 by default); values that do not
    shrink are stored as they are. A call
    that conflicts with another call on the same writer (another thread's, or one made
    from inside `update()`) raises `vornel.errors.WriterBusyError`.
    """

    __slots__ = ("_target", "_verbose")

    def __init__(
        self,
        *,
        dedup: bool = True,
        default: Callable[[Any], Any] | None = None,
        compression: str | None = None,
        compression_level: int | None = None,
    ) -> None:
        self._target: str | None = None
        self._verbose = False

    @classmethod
    def create(
        cls,
        path: PathArg,
        *,
        dedup: bool = True,
        default: Callable[[Any], Any] | None = None,
        verbose: bool = False,
        compression: str | None = None,
        compression_level: int | None = None,
    ) -> Self:
        """A writer that builds `path` when its `with` block ends without an exception."""
        writer = cls(
            dedup=dedup,
            default=default,
            compression=compression,
            compression_level=compression_level,
        )
        writer._target = os.fsdecode(path)
        writer._verbose = verbose
        return writer

    def update(  # type: ignore[override]
        self, items: Mapping[AnyKey, object] | Iterable[tuple[AnyKey, object]] = (), /
    ) -> None:
        """Adds every pair of a mapping or an iterable of `(key, value)` pairs, as `add`
        would one by one, with the same results and errors; the pairs before a failing one
        stay staged. The writer refuses any other call until it returns."""
        super().update(items)

    def build(
        self,
        path: PathArg,
        verbose: bool = False,
        *,
        progress: Callable[[str], object] | None = None,
    ) -> str:
        """Publishes the staged store at `path` atomically (temporary file, fsync, rename)
        and returns its summary line (with no newline; sizes in KiB and MiB).

        Quiet by default; `verbose=True` also prints that line on `sys.stdout`.
        `progress`, when given, is called with "sort", "write" and "fsync" as the build
        reaches each ("compress" first, when the writer compresses). Other threads run
        meanwhile. Ctrl-C before the rename, during the fsync too, cancels it: the target
        is untouched and the temporary file removed; one during the rename finds the
        store published, and the build returns as done. Staging may go on afterwards, and
        a later build writes everything staged.
        """
        line = super().build(os.fsdecode(path), progress=progress)
        if verbose:
            print(line, flush=True)
        return line

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if exc_type is None and self._target is not None:
            self.build(self._target, verbose=self._verbose)

    def __repr__(self) -> str:
        return f"VornWriter(objects={self.num_objects}, keys={len(self)})"
