"""VornReader: a store file as a read-only mapping of keys to decoded values."""

from __future__ import annotations

import os
from abc import abstractmethod
from collections.abc import ItemsView, KeysView, Mapping, ValuesView

from . import _engine
from .errors import CLOSED, VornDecodeError, VornError
from .keys import Key

TYPE_CHECKING = False  # typing's own costs an import that `import vornel` need not make
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from types import TracebackType
    from typing import Any, Self, TypeAlias

    from _vornel import _VornReader

    from .keys import PathArg

    ExtHook: TypeAlias = Callable[[int, bytes], Any]
    ObjectHook: TypeAlias = Callable[[dict[Any, Any]], Any]
    # The generic bases as the type checker sees them; plain at run time.
    _MappingBase: TypeAlias = Mapping[Key, Any]
    _KeysBase: TypeAlias = KeysView[Key]
    _ValuesBase: TypeAlias = ValuesView[Any]
    _ItemsBase: TypeAlias = ItemsView[Key, Any]
else:
    _MappingBase, _KeysBase, _ValuesBase, _ItemsBase = Mapping, KeysView, ValuesView, ItemsView

__all__ = ["StoreReader", "VornDecodeError", "VornReader"]


class StoreReader(_MappingBase):
    """What every reader of a store offers, a single file or a sharded directory: a
    read-only `Mapping` in key order with ordered scans, checks and a lifecycle."""

    __slots__ = ()

    # The stats that a pickled reader must find again where it is unpickled: a rebuild
    # changes at least the checksum.
    _IDENTITY: tuple[str, ...] = ("file_crc32", "file_size", "num_keys", "num_objects")

    @property
    @abstractmethod
    def path(self) -> str:
        """The path the reader was opened with."""

    @property
    @abstractmethod
    def closed(self) -> bool: ...

    @property
    @abstractmethod
    def raw(self) -> Any:
        """The low-level `_VornReader` of each file (for a single store, the one)."""

    @abstractmethod
    def prefix(self, p: Key) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` of every key that begins with `p`, in key order."""

    @abstractmethod
    def prefix_keys(self, p: Key) -> Iterator[Key]:
        """Every key that begins with `p`, in key order, without reading values."""

    @abstractmethod
    def range(
        self, start: Key | None = None, stop: Key | None = None, *, reverse: bool = False
    ) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` for `start <= key < stop` in byte order (reversed on request)."""

    @abstractmethod
    def range_keys(
        self, start: Key | None = None, stop: Key | None = None, *, reverse: bool = False
    ) -> Iterator[Key]:
        """The keys `start <= key < stop` in byte order (reversed on request), without
        reading values."""

    @abstractmethod
    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key, or `default` where it is missing."""

    @abstractmethod
    def view(self, key: Key) -> memoryview:
        """The bytes value of `key` as a read-only memoryview of the file's mapping, made
        without a copy. KeyError when it is missing; TypeError when the value is not bytes
        or is stored compressed. The mapping stays while any view of it lives, even after
        close()."""

    @abstractmethod
    def verify(self) -> bool:
        """Checks every checksum; True, or raises VornCorruptError naming the damage."""

    @abstractmethod
    def stats(self) -> dict[str, Any]: ...

    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def __reversed__(self) -> Iterator[Key]: ...

    @abstractmethod
    def _store_files(self) -> list[str]:
        """The store files the reader reads, for a writer that includes them."""

    @abstractmethod
    def _items(self) -> Iterator[tuple[Key, Any]]: ...

    @abstractmethod
    def _values(self) -> Iterator[Any]: ...

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError(CLOSED)

    # The views are dict views: sized, with `in`, and reversible.
    def keys(self) -> KeysView[Key]:
        self._check_open()
        return _Keys(self)

    def values(self) -> ValuesView[Any]:
        self._check_open()
        return _Values(self)

    def items(self) -> ItemsView[Key, Any]:
        self._check_open()
        return _Items(self)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class _Keys(_KeysBase):
    _mapping: StoreReader

    def __reversed__(self) -> Iterator[Key]:
        return reversed(self._mapping)


class _Values(_ValuesBase):
    _mapping: StoreReader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._values()

    def __reversed__(self) -> Iterator[Any]:
        return (value for _, value in self._mapping.range(reverse=True))


class _Items(_ItemsBase):
    _mapping: StoreReader

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._items()

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping.range(reverse=True)


class VornReader(_engine.Reader, StoreReader):
    """A store file as a read-only `Mapping`; values are decoded from MessagePack.

    Keys come back as `str`, or as `bytes` where the stored key is not valid UTF-8, in
    byte order. Iteration, `keys()`, `values()`, `items()`, `prefix()` and `range()`
    stream the entries as they are read. Reads are thread-safe. `close()` drops the
    mapping once no call uses it; later use raises ValueError.
    """

    __slots__ = ("_raw", "_abspath")

    def _store_files(self) -> list[str]:
        return [self.path]

    def __new__(
        cls,
        path: PathArg,
        verify: bool = False,
        *,
        ext_hook: ExtHook | None = None,
        object_hook: ObjectHook | None = None,
    ) -> Self:
        return super().__new__(
            cls, os.fsdecode(path), verify, ext_hook=ext_hook, object_hook=object_hook
        )

    def __init__(
        self,
        path: PathArg,
        verify: bool = False,
        *,
        ext_hook: ExtHook | None = None,
        object_hook: ObjectHook | None = None,
    ) -> None:
        self._raw: _VornReader | None = None
        # What a copy or another process reopens, whatever the working directory by then.
        self._abspath = os.path.abspath(self.path)

    @property
    def raw(self) -> _VornReader:
        """A `_VornReader` of the same file, opened on first use."""
        self._check_open()
        if self._raw is None:
            from _vornel import _VornReader

            self._raw = _VornReader(self.path, False)
        return self._raw

    def close(self) -> None:
        """Drops the mapping once no call uses it; any later use raises ValueError."""
        super().close()
        self._raw = None

    def __reduce__(self) -> tuple[Any, ...]:
        # A copy, or a reader sent to another process, opens the same file anew, and
        # refuses it if it is no longer the store this reader serves.
        self._check_open()
        _, verify, ext_hook, object_hook = self._reopen
        hooks = {"ext_hook": ext_hook, "object_hook": object_hook}
        return (_reopen, (type(self), self._abspath, verify, hooks, identity(self)))

    def __repr__(self) -> str:
        if self.closed:
            return f"VornReader({self.path!r}, closed)"
        stats = self.stats()
        return (
            f"VornReader({self.path!r}, keys={stats['num_keys']}, "
            f"objects={stats['num_objects']})"
        )


def identity(reader: StoreReader) -> tuple[Any, ...]:
    """The fields of `reader`'s stats that tell its store from another at the same path."""
    stats = reader.stats()
    return tuple(stats[name] for name in reader._IDENTITY)


def check_identity(reader: StoreReader, expected: tuple[Any, ...]) -> None:
    """Closes `reader` and raises VornError when it is not the store `expected` names."""
    found = identity(reader)
    if found == expected:
        return
    reader.close()
    changes = ", ".join(f"{name} {new!r} (was {old!r})"
                        for name, new, old in zip(reader._IDENTITY, found, expected)
                        if new != old)
    raise VornError(f"{reader.path} changed since the reader was pickled: {changes}; open "
                    "it by path to read the store now there")


def _reopen(
    cls: type[VornReader], path: str, verify: bool, hooks: dict[str, Any],
    expected: tuple[Any, ...],
) -> VornReader:
    reader = cls(path, verify, **hooks)
    check_identity(reader, expected)
    return reader
