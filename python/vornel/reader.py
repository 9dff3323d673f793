"""VornReader: a store file as a read-only mapping of keys to decoded values."""

from __future__ import annotations

import os
from abc import abstractmethod
from collections.abc import Callable, Iterable, Iterator, KeysView, ItemsView, ValuesView
from collections.abc import Mapping
from types import TracebackType
from typing import Any, NoReturn, Self, TypeVar, overload

import msgpack

from _vornel import _VornReader

Key = str | bytes
_T = TypeVar("_T")

_REPLACEMENT = "\ufffd"
_unpackb = msgpack.unpackb


def _unpack(data: bytes, hooks: dict[str, Any] | None) -> Any:
    # Maps may have keys of any type that MessagePack gives back hashable.
    if hooks is None:
        return _unpackb(data, strict_map_key=False)
    return _unpackb(data, strict_map_key=False, **hooks)


class VornDecodeError(ValueError):
    """A stored payload is not valid MessagePack (or not decodable with the hooks given)."""


def _closed(*_args: object) -> NoReturn:
    raise ValueError("I/O operation on closed store")


def exact_key(stored: bytes) -> Key:
    """The key as a caller may look it up again: str when valid UTF-8, else bytes."""
    try:
        return stored.decode("utf-8")
    except UnicodeDecodeError:
        return stored


class StoreReader(Mapping[Key, Any]):
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
    def verify(self) -> bool:
        """Checks every checksum; True, or raises VornCorruptError naming the damage."""

    @abstractmethod
    def stats(self) -> dict[str, Any]: ...

    @abstractmethod
    def close(self) -> None: ...

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class VornReader(Mapping[Key, Any]):
    """A store file as a read-only `Mapping`; values are decoded from MessagePack.

    Keys come back as `str`, or as `bytes` where the stored key is not valid UTF-8.
    Reads are thread-safe. `close()` drops the mapping; later use raises ValueError.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    ) -> None:
        self._path = os.fspath(path)
        raw = _VornReader(self._path, verify)
        self._raw: _VornReader | None = raw
        stats = raw.stats()
        self._num_keys = int(stats["num_keys"])
        self._num_objects = int(stats["num_objects"])
        hooks: dict[str, Any] = {}
        if ext_hook is not None:
            hooks["ext_hook"] = ext_hook
        if object_hook is not None:
            hooks["object_hook"] = object_hook
        # None when there are none: the lookup then passes the one keyword it needs.
        self._hooks = hooks or None
        # The lookup path reads this and _hooks, nothing else; close() swaps it for a
        # function that raises.
        self._get_raw: Callable[[Key], bytes | None] = raw.get_raw

    # -- the decoding of one payload ------------------------------------------------

    def _decode(self, key: Key, data: bytes) -> Any:
        try:
            return _unpack(data, self._hooks)
        except (ValueError, TypeError) as e:
            raise VornDecodeError(f"cannot decode the value of key {key!r}: {e}") from e

    def _live(self) -> _VornReader:
        raw = self._raw
        if raw is None:
            _closed()
        return raw

    # -- Mapping ----------------------------------------------------------------------

    def __getitem__(self, key: Key) -> Any:
        try:
            data = self._get_raw(key)
        except ValueError:
            if self._raw is None:
                raise
            data = None  # not a key the store could hold
        if data is None:
            raise KeyError(key)
        hooks = self._hooks
        try:
            if hooks is None:
                return _unpackb(data, strict_map_key=False)
            return _unpackb(data, strict_map_key=False, **hooks)
        except (ValueError, TypeError):
            return self._decode(key, data)  # raises, naming the key

    @overload
    def get(self, key: Key, /) -> Any | None: ...
    @overload
    def get(self, key: Key, /, default: _T) -> Any | _T: ...
    def get(self, key: Key, /, default: object = None) -> object:
        try:
            return self[key]
        except KeyError:
            return default

    def __contains__(self, key: object) -> bool:
        raw = self._live()
        try:
            return raw.exists(key)  # type: ignore[arg-type]
        except ValueError:
            return False  # not a key the store could hold

    def __len__(self) -> int:
        self._live()
        return self._num_keys

    def _keys(self) -> list[Key]:
        raw = self._live()
        texts = raw.keys()
        if _REPLACEMENT not in "".join(texts):
            return list(texts)
        # Some key holds U+FFFD: only the stored bytes tell a real one from a
        # replaced invalid sequence.
        return [exact_key(stored) for stored, _ in raw.items_raw_bytes()]

    def __iter__(self) -> Iterator[Key]:
        return iter(self._keys())

    def keys(self) -> KeysView[Key]:
        self._live()
        return KeysView(self)

    def values(self) -> ValuesView[Any]:
        self._live()
        return ValuesView(self)

    def items(self) -> ItemsView[Key, Any]:
        self._live()
        return ItemsView(self)

    # -- queries beyond Mapping -------------------------------------------------------

    def prefix(self, p: Key) -> Iterator[tuple[Key, Any]]:
        """`(key, value)` pairs of every key that begins with `p`, in store order."""
        raw = self._live()
        found = raw.prefix_raw(p)
        if any(_REPLACEMENT in text for text, _ in found):
            start = p.encode("utf-8") if isinstance(p, str) else bytes(p)
            exact = [
                (exact_key(stored), data)
                for stored, data in raw.items_raw_bytes()
                if stored.startswith(start)
            ]
        else:
            exact = [(text, data) for text, data in found]
        return ((key, self._decode(key, data)) for key, data in exact)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key, or `default` where it is missing."""
        self._live()
        get = self.get
        return [get(key, default) for key in keys]

    def verify(self) -> bool:
        """Checks every checksum; returns True or raises RuntimeError naming the fault."""
        return self._live().verify()

    def stats(self) -> dict[str, int | float | str]:
        """The file's metadata, as the low-level reader reports it."""
        return self._live().stats()

    @property
    def raw(self) -> _VornReader:
        """The underlying `_VornReader`."""
        return self._live()

    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return self._raw is None

    # -- lifecycle --------------------------------------------------------------------

    def close(self) -> None:
        """Drops the mapping; the file's memory is freed once nothing else holds it."""
        self._raw = None
        self._get_raw = _closed

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = ", closed" if self._raw is None else ""
        return (
            f"VornReader({self._path!r}, keys={self._num_keys}, "
            f"objects={self._num_objects}{state})"
        )
