"""VornWriter: ordinary Python values in, one published store file out."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterable, Mapping
from types import TracebackType
from typing import Any, Self

import msgpack

from _vornel import _VornWriter

from . import _native
from ._digests import DigestTable, digest

Key = str | bytes

# A str key takes at most 4 UTF-8 bytes per character: shorter ones need no encoding
# to know that they fit the format's key limit.
_MAX_KEY_BYTES = 65535
_SAFE_KEY_CHARS = _MAX_KEY_BYTES // 4


def check_key(key: object) -> None:
    """Raises TypeError unless `key` is a str or bytes, naming the type it is."""
    if not isinstance(key, (str, bytes)):
        raise TypeError(f"key must be str or bytes, not {type(key).__name__}")


class VornWriter:
    """Stages keys bound to MessagePack-encoded values, then publishes them as a store.

    Values with byte-identical encodings are stored once (`dedup=True`); `default` is
    passed to the MessagePack packer for types it does not know.
    """

    def __init__(
        self, *, dedup: bool = True, default: Callable[[Any], Any] | None = None
    ) -> None:
        self._raw = _VornWriter()
        self._packer = msgpack.Packer(use_bin_type=True, default=default)
        self._table = DigestTable() if dedup else None
        self._target: str | None = None
        self._verbose = False

    @classmethod
    def create(
        cls,
        path: str | os.PathLike[str],
        *,
        dedup: bool = True,
        default: Callable[[Any], Any] | None = None,
        verbose: bool = False,
    ) -> Self:
        """A writer that builds `path` when its `with` block ends without an exception."""
        writer = cls(dedup=dedup, default=default)
        writer._target = os.fspath(path)
        writer._verbose = verbose
        return writer

    @property
    def raw(self) -> _VornWriter:
        """The underlying `_VornWriter`."""
        return self._raw

    def _encode(self, key: Key, value: object) -> bytes:
        try:
            return self._packer.pack(value)
        except (TypeError, OverflowError, ValueError) as e:
            raise type(e)(f"cannot encode the value of key {key!r}: {e}") from e

    def _check_length(self, key: Key) -> None:
        # Checked before the value is staged, so that a failing key leaves no object.
        size = len(key.encode("utf-8", "surrogatepass") if isinstance(key, str) else key)
        if size > _MAX_KEY_BYTES:
            raise ValueError(f"VornError: key is {size} bytes, format maximum is {_MAX_KEY_BYTES}")

    def _object_id(self, key: Key, value: object) -> int:
        data = self._encode(key, value)
        table = self._table
        if table is None:
            return self._raw.add_object_raw(data)
        d = digest(data)
        found = table.find(d)
        if found >= 0:
            return found
        obj_id = self._raw.add_object_raw(data)
        table.insert(d, obj_id, found)
        return obj_id

    def add(self, key: Key, value: object) -> int:
        """Binds `key` to the encoding of `value`; returns the object ID."""
        # The staging path of every value: kept to inline checks and bound methods.
        if not isinstance(key, (str, bytes)):
            check_key(key)
        if len(key) > _SAFE_KEY_CHARS:
            self._check_length(key)
        obj_id = self._object_id(key, value)
        self._raw.add_key(key, obj_id)
        return obj_id

    def add_many(self, keys: Iterable[Key], value: object) -> int:
        """Binds every key of `keys` to one object holding `value`; returns its ID."""
        keys = list(keys)
        for key in keys:
            check_key(key)
            if len(key) > _SAFE_KEY_CHARS:
                self._check_length(key)
        # A value that cannot be encoded is reported under the first key.
        obj_id = self._object_id(keys[0] if keys else "", value)
        add_key = self._raw.add_key
        for key in keys:
            add_key(key, obj_id)
        return obj_id

    def __setitem__(self, key: Key, value: object) -> None:
        self.add(key, value)

    def update(self, items: Mapping[Key, object] | Iterable[tuple[Key, object]] = ()) -> None:
        """Adds every pair of a mapping or an iterable of `(key, value)` pairs."""
        pairs = items.items() if isinstance(items, Mapping) else items
        add = self.add
        for key, value in pairs:
            add(key, value)

    def __len__(self) -> int:
        """The number of distinct keys staged."""
        return _native.staged_counts(self._raw)[1]

    @property
    def num_objects(self) -> int:
        """The number of distinct objects staged."""
        return _native.staged_counts(self._raw)[0]

    def build(self, path: str | os.PathLike[str], verbose: bool = False) -> None:
        """Publishes the staged store at `path` atomically (temporary file, fsync, rename).

        Quiet by default; `verbose=True` prints the summary line on `sys.stdout`.
        Staging may go on afterwards, and a later build writes everything staged.
        """
        line = _native.build(self._raw, os.fspath(path))
        if verbose:
            sys.stdout.write(line)
            sys.stdout.flush()

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
        objects, keys = _native.staged_counts(self._raw)
        return f"VornWriter(objects={objects}, keys={keys})"
