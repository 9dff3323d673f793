"""VornReader: a store file as a read-only mapping of keys to decoded values."""

from __future__ import annotations

import os
from abc import abstractmethod
from collections.abc import ItemsView, KeysView, Mapping, ValuesView

from . import _engine
from .errors import CLOSED, VornDecodeError
from .keys import Key

TYPE_CHECKING = False  # typing's own costs an import that `import vornel` need not make
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from types import TracebackType
    from typing import Any, Self, TypeAlias

    from _vornel import _VornReader

    ExtHook: TypeAlias = Callable[[int, bytes], Any]
    ObjectHook: TypeAlias = Callable[[dict[Any, Any]], Any]
    # The generic bases as the type checker sees them; plain at run time.
    _MappingBase: TypeAlias = Mapping[Key, Any]
    _ValuesBase: TypeAlias = ValuesView[Any]
    _ItemsBase: TypeAlias = ItemsView[Key, Any]
else:
    _MappingBase, _ValuesBase, _ItemsBase = Mapping, ValuesView, ItemsView

__all__ = ["StoreReader", "VornDecodeError", "VornReader"]


class StoreReader(_MappingBase):
    """What every reader of a store offers, a single file or a sharded directory: a
    read-only `Mapping` in key order with ordered scans, checks and a lifecycle."""

    __slots__ = ()

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

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class _Values(_ValuesBase):
    _mapping: VornReader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._values()


class _Items(_ItemsBase):
    _mapping: VornReader

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

    def __new__(
        cls,
        path: str | os.PathLike[str],
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
        path: str | os.PathLike[str],
        verify: bool = False,
        *,
        ext_hook: ExtHook | None = None,
        object_hook: ObjectHook | None = None,
    ) -> None:
        self._raw: _VornReader | None = None
        # What a copy or another process reopens, whatever the working directory by then.
        self._abspath = os.path.abspath(self.path)

    def _open(self) -> None:
        if self.closed:
            raise ValueError(CLOSED)

    def keys(self) -> KeysView[Key]:
        self._open()
        return KeysView(self)

    def values(self) -> ValuesView[Any]:
        self._open()
        return _Values(self)

    def items(self) -> ItemsView[Key, Any]:
        self._open()
        return _Items(self)

    @property
    def raw(self) -> _VornReader:
        """A `_VornReader` of the same file, opened on first use."""
        self._open()
        if self._raw is None:
            from _vornel import _VornReader

            self._raw = _VornReader(self.path, False)
        return self._raw

    def close(self) -> None:
        """Drops the mapping once no call uses it; any later use raises ValueError."""
        super().close()
        self._raw = None

    def __reduce__(self) -> tuple[Any, ...]:
        # A copy, or a reader sent to another process, opens the same file anew.
        _, verify, ext_hook, object_hook = self._reopen
        hooks = {"ext_hook": ext_hook, "object_hook": object_hook}
        return (_reopen, (type(self), self._abspath, verify, hooks))

    def __repr__(self) -> str:
        if self.closed:
            return f"VornReader({self.path!r}, closed)"
        stats = self.stats()
        return (
            f"VornReader({self.path!r}, keys={stats['num_keys']}, "
            f"objects={stats['num_objects']})"
        )


def _reopen(
    cls: type[VornReader], path: str, verify: bool, hooks: dict[str, Any]
) -> VornReader:
    return cls(path, verify, **hooks)
