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

Key = str | bytes

# What the packer raises for a value it cannot encode.
_ENCODE_ERRORS = (TypeError, OverflowError, ValueError)


def check_key(key: object) -> None:
    """Raises TypeError unless `key` is a str or bytes, naming the type it is."""
    if not isinstance(key, (str, bytes)):
        raise TypeError(f"key must be str or bytes, not {type(key).__name__}")


def encode_error(key: Key, error: Exception) -> Exception:
    """An error of the packer's built-in class whose message names the key. Subclasses
    (UnicodeEncodeError for a str with a lone surrogate) take other constructor
    arguments, so they are reported as the built-in class they derive from."""
    cls = next(c for c in _ENCODE_ERRORS if isinstance(error, c))
    return cls(f"cannot encode the value of key {key!r}: {error}")


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
        # The object ID of each distinct encoding, found by hash and confirmed against
        # the staged bytes: well under 100 bytes per distinct value.
        self._table = _native.ObjectTable(self._raw) if dedup else None
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
        except _ENCODE_ERRORS as e:
            raise encode_error(key, e) from e

    def add(self, key: Key, value: object) -> int:
        """Binds `key` to the encoding of `value`; returns the object ID."""
        # The staging path of a single value: one encoding, one native call.
        if not isinstance(key, (str, bytes)):
            check_key(key)
        try:
            data = self._packer.pack(value)
        except _ENCODE_ERRORS as e:
            raise encode_error(key, e) from e
        return _native.stage(self._raw, self._table, key, data, None)

    def add_many(self, keys: Iterable[Key], value: object) -> int:
        """Binds every key of `keys` to one object holding `value`; returns its ID."""
        keys = list(keys)
        for key in keys:
            check_key(key)
        # A value that cannot be encoded is reported under the first key.
        data = self._encode(keys[0] if keys else "", value)
        table = self._table
        if not keys:
            return self._raw.add_object_raw(data) if table is None else self._lone(data)
        stage, add_key, raw = _native.stage, self._raw.add_key, self._raw
        obj_id = stage(raw, table, keys[0], data, None)
        for key in keys[1:]:
            add_key(key, obj_id)
        return obj_id

    def _lone(self, data: bytes) -> int:
        # An object with no key: staged once all the same, so that its ID is real.
        assert self._table is not None
        found = self._table.find(data)
        return found if found is not None else self._raw.add_object_raw(data)

    def __setitem__(self, key: Key, value: object) -> None:
        self.add(key, value)

    def update(self, items: Mapping[Key, object] | Iterable[tuple[Key, object]] = ()) -> None:
        """Adds every pair of a mapping or an iterable of `(key, value)` pairs.

        As `add` for each pair in turn, with the same results and errors; the pairs
        before a failing one stay staged. Common scalar values (bytes, str, int, float,
        bool, None) are encoded and staged natively, a batch of pairs at a time: code
        that the iteration runs sees the writer's counts lag behind the pairs taken.
        """
        pairs = iter(items.items() if isinstance(items, Mapping) else items)
        stage_pairs, raw, table = _native.stage_pairs, self._raw, self._table
        pack = self._packer.pack
        # The native call hands back each pair it leaves to `add`: one whose error
        # `add` reports, or that is not a plain 2-tuple.
        while (item := stage_pairs(raw, table, pairs, pack)) is not None:
            key, value = item
            self.add(key, value)

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
