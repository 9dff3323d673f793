"""VornWriter: ordinary Python values in, one published store file out."""

from __future__ import annotations

import os

from . import _engine
from .keys import Key

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Mapping
    from types import TracebackType
    from typing import Any, Literal, Self

    from .keys import AnyKey, PathArg
    from .reader import StoreReader

    DuplicatePolicy = Literal["last", "first", "error"]
    Progress = Callable[[str, int, int], object]

__all__ = ["Key", "VornWriter", "default_memory_limit"]

# What the default limit leaves of the memory the process may use: a build holds about
# twice what staging does, and the machine has other work.
_DEFAULT_SHARE = 4
_LEAST_LIMIT = 64 << 20
# Limits are counted in 64 bits.
_LIMIT_BOUND = 1 << 64


def _cgroup_limit() -> int | None:
    """The memory limit of this process's control group, if it has one."""
    for path in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        try:
            with open(path) as f:
                text = f.read().strip()
        except OSError:
            continue
        if text.isdigit():
            return int(text)
    return None


def default_memory_limit() -> int:
    """The memory a writer holds when not told: a quarter of what the machine has, or of
    the limit of the process's control group when that is lower (64 MiB at least)."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (OSError, ValueError):
        total = 4 << 30
    cgroup = _cgroup_limit()
    if cgroup is not None:
        total = min(total, cgroup)
    return max(_LEAST_LIMIT, total // _DEFAULT_SHARE)


def _check_folder(target: str) -> None:
    """Raises what a build of `target` would, before anything is staged for it: the
    folder it goes in must be there, and take new files."""
    import errno

    from .errors import io_error

    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.exists(folder):
        number = errno.ENOENT
    elif not os.path.isdir(folder):
        number = errno.ENOTDIR
    elif not os.access(folder, os.W_OK | os.X_OK):
        number = errno.EACCES
    else:
        return
    raise io_error(number, os.strerror(number), target)


def _store_paths(source: PathArg | StoreReader) -> list[str]:
    """The store files that `source` stands for, checked to be what it says."""
    from .reader import StoreReader, VornReader

    if isinstance(source, StoreReader):
        if isinstance(source, VornReader):
            _check_unchanged(source)
        return source._store_files()
    path = os.fsdecode(source)
    if os.path.isdir(path):
        # A sharded store: the shard files its current manifest names.
        from .sharded.manifest import load_manifest

        manifest = load_manifest(path)
        return [os.path.join(path, manifest.version, shard.file) for shard in manifest.shards]
    return [path]


def _check_unchanged(reader: Any) -> None:
    """A reader stands for the file it opened: a file since put in its place is refused."""
    from .errors import VornError

    stats = reader.stats()
    try:
        with open(reader.path, "rb") as f:
            header = f.read(40)
            size = os.fstat(f.fileno()).st_size
    except OSError:
        header, size = b"", -1
    crc = int.from_bytes(header[32:36], "big") if len(header) == 40 else None
    if size != stats["file_size"] or crc != int(str(stats["file_crc32"]), 16):
        raise VornError(f"{reader.path} is no longer the file the reader opened")


class VornWriter(_engine.Writer):
    """Stages keys bound to MessagePack-encoded values, then publishes them as a store.

    Values with byte-identical encodings are stored once (`dedup=True`); `default` is
    called, as MessagePack's packer calls it, for values of types it does not know.
    `compression="zstd"` compresses the values with a dictionary that the build trains on
    a sample of them (`compression_level`: zstd's level, 3 by default); values that do not
    shrink are stored as they are. Staging holds about `memory_limit` bytes of memory (by
    default a share of the machine's, `default_memory_limit()`): past it, what is staged
    goes to a sorted run in `run_dir` (tried when the writer is made) and staging goes on;
    a build merges the runs. A key staged again replaces its value (`on_duplicate="last"`),
    keeps the first (`"first"`) or raises `DuplicateKeyError` (`"error"`, at the `add`
    that stages it again, whether the first copy is in memory or in a run). A call that
    conflicts with another call on
    the same writer (another thread's, or one made from inside `update()`) raises
    `vornel.errors.WriterBusyError`.
    """

    __slots__ = ("_target", "_verbose")

    def __new__(
        cls,
        *,
        dedup: bool = True,
        default: Callable[[Any], Any] | None = None,
        compression: str | None = None,
        compression_level: int | None = None,
        memory_limit: int | None = None,
        run_dir: PathArg | None = None,
        on_duplicate: DuplicatePolicy = "last",
    ) -> Self:
        if memory_limit is None:
            memory_limit = default_memory_limit()
        elif type(memory_limit) is not int or not 1 <= memory_limit < _LIMIT_BOUND:
            raise ValueError(f"memory_limit must be a positive number of bytes below 2**64, "
                             f"not {memory_limit!r}")
        if run_dir is None:
            import tempfile

            run_dir = tempfile.gettempdir()
        return super().__new__(cls, dedup=dedup, default=default, compression=compression,
                               compression_level=compression_level, memory_limit=memory_limit,
                               run_dir=os.fsdecode(run_dir), on_duplicate=on_duplicate)

    def __init__(
        self,
        *,
        dedup: bool = True,
        default: Callable[[Any], Any] | None = None,
        compression: str | None = None,
        compression_level: int | None = None,
        memory_limit: int | None = None,
        run_dir: PathArg | None = None,
        on_duplicate: DuplicatePolicy = "last",
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
        memory_limit: int | None = None,
        run_dir: PathArg | None = None,
        on_duplicate: DuplicatePolicy = "last",
    ) -> Self:
        """A writer that builds `path` when its `with` block ends without an exception.
        Its runs go beside `path` unless `run_dir` says otherwise. A folder of `path` that
        is missing, or takes no files, raises here (as the build would), before anything
        is staged."""
        target = os.fsdecode(path)
        _check_folder(target)
        if run_dir is None:
            run_dir = os.path.dirname(os.path.abspath(target))
        writer = cls(dedup=dedup, default=default, compression=compression,
                     compression_level=compression_level, memory_limit=memory_limit,
                     run_dir=run_dir, on_duplicate=on_duplicate)
        writer._target = target
        writer._verbose = verbose
        return writer

    def update(  # type: ignore[override]
        self, items: Mapping[AnyKey, object] | Iterable[tuple[AnyKey, object]] = (), /
    ) -> None:
        """Adds every pair of a mapping or an iterable of `(key, value)` pairs, as `add`
        would one by one, with the same results and errors; the pairs before a failing one
        stay staged. The writer refuses any other call until it returns."""
        super().update(items)

    def include(self, source: PathArg | StoreReader) -> None:
        """Stages every key of a store with its stored value, as it is: `source` is a
        store's path, a reader, or a sharded store (its directory or its reader).

        Nothing is decoded and no Python object is made per key: the store is read when
        the writer builds. Keys that share one value in the store share it in the build.
        A key staged later (or in a store included later) replaces the included one, as
        `on_duplicate` says; `del w[key]` and `discard()` unstage included keys too.
        Building with nothing else staged gives back the store, byte for byte, when this
        version's writer made it with the same compression. A compressed store's values
        are decompressed as they are copied (and compressed again when this writer
        compresses).
        """
        for path in _store_paths(source):
            super().include(path)

    def discard(self, key: AnyKey) -> None:
        """Unstages `key` if it is staged (as `del w[key]`, without the KeyError)."""
        super().discard(key)

    def build(
        self,
        path: PathArg,
        verbose: bool = False,
        *,
        progress: Progress | None = None,
    ) -> str:
        """Publishes the staged store at `path` atomically (temporary file, fsync, rename)
        and returns its summary line (with no newline; sizes in KiB and MiB).

        Quiet by default; `verbose=True` also prints that line on `sys.stdout`.
        `progress`, when given, is called with `(phase, done, total)` as the build goes:
        "compress" (a compressing writer's sample of the values), "sort" and "merge"
        count keys, "write" and "fsync" bytes. Other threads run meanwhile. Ctrl-C before the rename,
        during the fsync too, cancels it: the target is untouched and the temporary file
        removed; one during the rename finds the store published, and the build returns
        as done. Staging may go on afterwards, and a later build writes everything staged.
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
