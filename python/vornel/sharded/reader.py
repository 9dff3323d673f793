"""ShardedReader: every shard of a sharded directory as one read-only mapping."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Self

from vornel._engine import Merge, ShardSet
from vornel.errors import ShardError, ShardMissingError, VornCorruptError
from vornel.keys import Key, lookup_bytes
from vornel.reader import StoreReader, VornReader, check_identity, identity

from .layout import FORMAT_NAME, FORMAT_VERSION, HASH_NAME, shard_of_stored
from .manifest import Manifest, ShardEntry, load_manifest

if TYPE_CHECKING:
    from _vornel import _VornReader

    from vornel.keys import PathArg

__all__ = ["ShardedReader"]


def _order(key: Key) -> bytes:
    """A key's place in store order: its stored bytes."""
    return key.encode("utf-8") if isinstance(key, str) else key


def _damaged(path: str, error: VornCorruptError) -> ShardError:
    """`error`, about the shard file at `path`, as a ShardError that names the path once."""
    text = str(error)
    if text.startswith(path):  # the engine's messages begin with the file's path
        text = text[len(path):].removeprefix(":").lstrip()
    return ShardError(path, text)


# --- The reader ----------------------------------------------------------------------------


def _reopen(
    cls: type[ShardedReader], path: str, verify: bool,
    ext_hook: Callable[[int, bytes], Any] | None,
    object_hook: Callable[[dict[Any, Any]], Any] | None,
    expected: tuple[Any, ...],
) -> ShardedReader:
    reader = cls(path, verify, ext_hook=ext_hook, object_hook=object_hook)
    check_identity(reader, expected)
    return reader


class ShardedReader(ShardSet, StoreReader):
    """Every shard of a sharded directory as one read-only `Mapping`, in store order.

    The manifest is read once, at construction: the reader keeps following that set even
    when a newer one is published. A shard is opened on first use and checked against its
    manifest entry (key and object counts, stored checksum, size); with `verify=True` its
    whole-file checksum is also recomputed as it opens. Lookups open only the key's shard;
    iteration, `items()`, `prefix()` and `range()` merge the shards in store order.
    Reads are thread-safe. `close()` closes every shard; later use raises ValueError.
    Pickling and copying reopen the same directory with the same `verify` and hooks, and
    refuse a set published there since.
    """

    # A publish makes a new version folder: the version names the set.
    _IDENTITY = ("version", "num_keys", "num_objects", "file_size")

    # The native base routes lookups (`r[key]`, `get`, `in`) to the key's shard, and opens
    # shards on first use: a scan's in one batch (_open_all), checked against their
    # entries. A shard that does not open or does not match is opened again alone by
    # shard(), whose error names it.

    _path: str
    _manifest: Manifest
    _folder: str
    _count: int
    _verify: bool
    _ext_hook: Callable[[int, bytes], Any] | None
    _object_hook: Callable[[dict[Any, Any]], Any] | None
    _lock: threading.Lock

    def __new__(
        cls,
        directory: PathArg,
        verify: bool = False,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> Self:
        # Absolute now, so that a later chdir does not move the shards that open lazily.
        path = os.path.abspath(os.fsdecode(directory))
        manifest = load_manifest(path)
        folder = os.path.join(path, manifest.version)
        self = super().__new__(cls, folder, manifest.shards, VornReader, verify,
                               ext_hook=ext_hook, object_hook=object_hook)
        self._path = path
        self._manifest = manifest
        self._folder = folder
        self._count = manifest.shard_count
        self._verify = verify
        self._ext_hook = ext_hook
        self._object_hook = object_hook
        self._lock = threading.Lock()
        return self

    # -- the set --------------------------------------------------------------------------

    @property
    def path(self) -> str:
        """The directory's absolute path."""
        return self._path

    @property
    def _shards(self) -> list[VornReader | None]:
        """Each shard's reader where it is open, None elsewhere."""
        opened: list[VornReader | None] = self._opened()
        return opened

    @property
    def raw(self) -> tuple[_VornReader, ...]:
        """Each shard's `_VornReader`, in shard order (opening every shard)."""
        return tuple(shard.raw for shard in self._all())

    @property
    def manifest(self) -> dict[str, Any]:
        """The manifest this reader follows, as its JSON document."""
        return self._manifest.document

    @property
    def shard_count(self) -> int:
        return self._count

    def shard_path(self, index: int) -> str:
        """The path of shard `index`'s file."""
        return os.path.join(self._folder, self._manifest.shards[index].file)

    def _store_files(self) -> list[str]:
        return [self.shard_path(i) for i in range(self._count)]

    def shard(self, index: int) -> VornReader:
        """The reader of shard `index`, opened and checked on first use."""
        if not 0 <= index < self._count:
            raise IndexError(f"shard {index} is not one of {self._count}")
        reader: VornReader | None = self._installed(index)
        if reader is None:
            with self._lock:
                reader = self._installed(index)
                if reader is None:
                    opened = self._open_shard(index)
                    try:
                        reader = self._install(index, opened)
                    finally:
                        if reader is not opened:  # refused, or another call's is in
                            opened.close()
        return reader

    def _open_shard(self, index: int) -> VornReader:
        # A damaged file becomes a ShardError; a failing system call stays the OSError it is.
        path = self.shard_path(index)
        try:
            reader = VornReader(path, self._verify, ext_hook=self._ext_hook,
                                object_hook=self._object_hook)
        except FileNotFoundError:
            raise ShardMissingError(path) from None
        except VornCorruptError as error:
            raise _damaged(path, error) from error
        try:
            self._check_shard(path, reader, self._manifest.shards[index])
        except BaseException:
            reader.close()
            raise
        return reader

    @staticmethod
    def _check_shard(path: str, reader: VornReader, entry: ShardEntry) -> None:
        stats = reader.stats()
        if (stats["num_keys"], stats["num_objects"], stats["file_size"]) == \
                (entry.num_keys, entry.num_objects, entry.file_size) and \
                int(stats["file_crc32"], 16) == entry.file_crc32:
            return
        found = ShardEntry.from_stats(entry.file, stats)
        for field in ("num_keys", "num_objects", "file_crc32", "file_size"):
            value, expected = getattr(found, field), getattr(entry, field)
            if value != expected:
                shown = (f"0x{value:08x}", f"0x{expected:08x}") if field == "file_crc32" \
                    else (str(value), str(expected))
                raise ShardError(path, f"does not match the manifest: {field} is {shown[0]},"
                                       f" the manifest says {shown[1]}")

    def _all(self) -> list[VornReader]:
        """Every shard's reader, opening those not open yet."""
        if not self._open_all():
            for index, reader in enumerate(self._opened()):
                if reader is None:
                    self.shard(index)  # raises what is wrong with it
        readers: list[VornReader] = self._opened()
        return readers

    # -- Mapping --------------------------------------------------------------------------

    def _reader_of(self, key: object) -> VornReader | None:
        """The shard that would hold `key`, or None when no store holds such a key."""
        stored = lookup_bytes(key)
        if stored is None:
            self._check_open()
            return None
        return self.shard(shard_of_stored(stored, self._count))

    def view(self, key: Key) -> memoryview:
        """The bytes value of `key` as a read-only memoryview of its shard's mapping."""
        reader = self._reader_of(key)
        if reader is None:  # not a key any store holds
            raise KeyError(key)
        return reader.view(key)

    def __len__(self) -> int:
        self._check_open()
        return self._manifest.num_keys

    # Each scan merges the shards' cursors by key bytes. A merge steps a shard's cursor for
    # every item it yields, and a cursor raises ValueError once its shard is closed: so does
    # the merge after close().

    def __iter__(self) -> Iterator[Key]:
        return Merge([iter(shard) for shard in self._all()])

    def __reversed__(self) -> Iterator[Key]:
        return Merge([reversed(shard) for shard in self._all()], True)

    def _items(self) -> Iterator[tuple[Key, Any]]:
        return Merge([shard._items() for shard in self._all()])

    def _values(self) -> Iterator[Any]:
        return Merge([shard._values() for shard in self._all()])

    # -- scans and batches ----------------------------------------------------------------

    def prefix(self, p: Key) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` of every key that begins with `p`, in store order."""
        # Each shard's scan checks `p` as a single store does.
        return Merge([shard.prefix(p) for shard in self._all()])

    def prefix_keys(self, p: Key) -> Iterator[Key]:
        """Every key that begins with `p`, in store order, without reading values."""
        return Merge([shard.prefix_keys(p) for shard in self._all()])

    def range(
        self, start: Key | None = None, stop: Key | None = None, *, reverse: bool = False
    ) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` for `start <= key < stop` in byte order, or the reverse of it.

        A bound of None is open. A bound that is not a key raises TypeError, a `str`
        holding a lone surrogate ValueError: it has no place in byte order.
        """
        return Merge([shard.range(start, stop, reverse=reverse) for shard in self._all()],
                     reverse)

    def range_keys(
        self, start: Key | None = None, stop: Key | None = None, *, reverse: bool = False
    ) -> Iterator[Key]:
        """The keys `start <= key < stop` in byte order, or the reverse of it, without
        reading values."""
        return Merge([shard.range_keys(start, stop, reverse=reverse) for shard in self._all()],
                     reverse)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key in order, or `default` where it is missing; one batch
        per shard."""
        self._check_open()
        wanted = list(keys)
        result: list[Any] = [default] * len(wanted)
        positions: dict[int, list[int]] = {}
        count = self._count
        for position, key in enumerate(wanted):
            stored = lookup_bytes(key)
            if stored is not None:
                positions.setdefault(shard_of_stored(stored, count), []).append(position)
        for index, where in positions.items():
            shard = self.shard(index)
            found = shard.get_many([wanted[p] for p in where], default)
            for position, value in zip(where, found):
                result[position] = value
        return result

    # -- checks and metadata --------------------------------------------------------------

    def verify(self) -> bool:
        """Checks every shard: its checksums, its manifest entry, and that each of its
        keys hashes to it. True, or ShardError naming the shard."""
        for index in range(self._count):
            shard = self.shard(index)
            path = self.shard_path(index)
            try:
                shard.verify()
            except VornCorruptError as error:
                raise _damaged(path, error) from error
            for key in shard:
                home = shard_of_stored(_order(key), self._count)
                if home != index:
                    raise ShardError(path, f"holds the key {key!r}, which hashes to shard {home}")
        return True

    def stats(self) -> dict[str, Any]:
        """The set's metadata, from the manifest, with one entry per shard."""
        self._check_open()
        shards = self._manifest.shards
        return {
            "path": self._path,
            "format": FORMAT_NAME,
            "format_version": FORMAT_VERSION,
            "version": self._manifest.version,
            "hash": HASH_NAME,
            "shard_count": self._count,
            "num_keys": self._manifest.num_keys,
            "num_objects": self._manifest.num_objects,
            "file_size": sum(entry.file_size for entry in shards),
            "shards": [entry.document() for entry in shards],
        }

    # -- lifecycle ------------------------------------------------------------------------

    def close(self) -> None:
        """Closes every opened shard; any later use raises ValueError."""
        with self._lock:
            opened = self._detach()
        for reader in opened:
            if reader is not None:
                reader.close()

    def __reduce__(self) -> tuple[Any, ...]:
        self._check_open()
        return (_reopen, (type(self), self._path, self._verify, self._ext_hook,
                          self._object_hook, identity(self)))

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        return (f"ShardedReader({self._path!r}, version={self._manifest.version!r},"
                f" shards={self._count}, keys={self._manifest.num_keys}{state})")
