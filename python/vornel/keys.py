"""What a key is: one rule for the writer and both readers.

A key is a `str`, stored as its UTF-8 encoding, or `bytes`, stored as they are. Nothing
else is a key: the writer refuses it, and a reader finds nothing under it. A `str` that
has no UTF-8 encoding (it holds a lone surrogate) cannot be stored, so it is never found.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing's own costs an import that `import vornel` need not make
if TYPE_CHECKING:
    from typing import TypeVar

    # A key type as a caller's own mapping or pairs may carry it: `dict[str, int]` is a
    # `Mapping[AnyKey, object]` with AnyKey bound to str.
    AnyKey = TypeVar("AnyKey", bound=str | bytes)

    import os

    # A file name as the system takes it: any of them opens any file the system can name.
    PathArg = str | bytes | os.PathLike[str] | os.PathLike[bytes]

__all__ = ["Key", "exact_key", "key_bytes", "lookup_bytes"]

Key = str | bytes


def key_bytes(key: object) -> bytes:
    """The stored form of `key`; TypeError for a non-key, ValueError for a `str` that has
    no UTF-8 encoding."""
    if isinstance(key, str):
        try:
            return key.encode("utf-8")
        except UnicodeEncodeError as e:
            raise ValueError(
                f"key {key!r} is not valid Unicode: it holds a lone surrogate at index {e.start}"
            ) from None
    if isinstance(key, bytes):
        return bytes(key)
    raise TypeError(f"key must be str or bytes, not {type(key).__name__}")


def lookup_bytes(key: object) -> bytes | None:
    """The stored form of `key`, or None when no stored key can equal it."""
    if isinstance(key, str):
        try:
            return key.encode("utf-8")
        except UnicodeEncodeError:
            return None
    if isinstance(key, bytes):
        return bytes(key)
    return None


def exact_key(stored: bytes) -> Key:
    """The key as a caller may look it up again: `str` when valid UTF-8, else `bytes`."""
    try:
        return stored.decode("utf-8")
    except UnicodeDecodeError:
        return stored
