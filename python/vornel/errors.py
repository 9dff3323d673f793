"""The exceptions that vornel raises, all in one place.

Each derives from `VornError` and from the built-in class that callers already catch
for the same kind of trouble: a damaged store is a `RuntimeError`, a failing system call
an `OSError` of the matching subclass (`FileNotFoundError` and so on, with `errno` and
`filename` set), a broken limit or an undecodable value a `ValueError`. The decode
errors also derive from the classes msgpack raises for the same fault (`ExtraData`,
`FormatError`, `StackError`, `UnicodeDecodeError`, `TypeError` for an unhashable map
key), so that code written for msgpack catches them.
"""

from __future__ import annotations

import errno as _errno

from msgpack import exceptions as _msgpack

__all__ = [
    "DuplicateKeyError",
    "LineError",
    "ManifestError",
    "PanicException",
    "ShardError",
    "ShardMissingError",
    "TagError",
    "VornCorruptError",
    "VornDecodeError",
    "VornError",
    "VornExtraDataError",
    "VornFileExistsError",
    "VornFileNotFoundError",
    "VornFormatError",
    "VornIOError",
    "VornIsADirectoryError",
    "VornLimitError",
    "VornNotADirectoryError",
    "VornPermissionError",
    "VornStackError",
    "VornUnhashableKeyError",
    "VornUnicodeDecodeError",
    "VornVersionError",
    "WriterBusyError",
    "io_error",
]

CLOSED = "I/O operation on closed store"


class VornError(Exception):
    """Base of every error that vornel raises about a store, its input or its use."""


class VornCorruptError(VornError, RuntimeError):
    """A store file that fails validation: not a store, cut short, or a checksum mismatch."""


class VornVersionError(VornCorruptError):
    """A store file of a format version that this vornel does not read."""


class VornIOError(VornError, OSError):
    """A failing system call. `errno` and `filename` are set where they are known."""


class VornFileNotFoundError(VornIOError, FileNotFoundError):
    pass


class VornFileExistsError(VornIOError, FileExistsError):
    pass


class VornPermissionError(VornIOError, PermissionError):
    pass


class VornIsADirectoryError(VornIOError, IsADirectoryError):
    pass


class VornNotADirectoryError(VornIOError, NotADirectoryError):
    pass


class VornLimitError(VornError, ValueError):
    """A value beyond a limit of the format: a key too long, a value nested too deeply."""


class VornDecodeError(VornError, ValueError):
    """A stored payload that is not valid MessagePack, or not decodable as asked."""


class VornFormatError(VornDecodeError, _msgpack.FormatError):
    """A byte that begins no MessagePack value (0xc1), as msgpack's FormatError."""


class VornStackError(VornDecodeError, _msgpack.StackError):
    """A value nested deeper than the decoder goes, as msgpack's StackError."""


class VornExtraDataError(VornDecodeError, _msgpack.ExtraData):
    """Bytes left over after one whole value, as msgpack's ExtraData: `unpacked` is the
    value decoded, `extra` the bytes after it."""

    def __init__(self, message: str, unpacked: object, extra: bytes) -> None:
        ValueError.__init__(self, message)
        self.unpacked = unpacked
        self.extra = extra

    __str__ = ValueError.__str__  # msgpack's own text names neither value nor key


class VornUnicodeDecodeError(VornDecodeError, UnicodeDecodeError):
    """A str whose bytes are not UTF-8, as msgpack raises UnicodeDecodeError: `object`,
    `start`, `end` and `reason` describe the bytes of that str."""

    def __init__(self, message: str, obj: bytes, start: int, end: int, reason: str) -> None:
        UnicodeDecodeError.__init__(self, "utf-8", obj, start, end, reason)
        self.message = message

    def __str__(self) -> str:
        return self.message


class VornUnhashableKeyError(VornDecodeError, TypeError):
    """A map whose key is an array or a map, which no dict takes: a TypeError too, as
    msgpack raises for it."""


class WriterBusyError(VornError, RuntimeError):
    """A call on a writer while another call on it is under way (another thread, or a
    call made from inside `update()` by its iterator or by `default`)."""


class DuplicateKeyError(VornError, ValueError):
    """A key staged twice where the writer's `on_duplicate` policy is "error", or found
    in two of the stores or runs that a build merges. `key` is the key."""

    def __init__(self, key: str | bytes) -> None:
        super().__init__(f"duplicate key {key!r}")
        self.key = key

    def __reduce__(self) -> tuple[type[DuplicateKeyError], tuple[str | bytes]]:
        # As the key, so that it crosses a process boundary (a Dask worker's) whole.
        return type(self), (self.key,)


class ManifestError(VornError, ValueError):
    """A manifest that is not a sharded-store manifest that this vornel reads."""


class ShardError(VornCorruptError):
    """A shard file is damaged or does not match the manifest. `file` is its path."""

    def __init__(self, file: str, message: str) -> None:
        super().__init__(f"shard {file}: {message}")
        self.file = file


class ShardMissingError(ShardError, FileNotFoundError):
    """A shard file named by the manifest does not exist."""

    def __init__(self, file: str) -> None:
        ShardError.__init__(self, file, "shard file is missing")
        self.errno = _errno.ENOENT
        self.strerror = "shard file is missing"
        self.filename = file


class TagError(VornError, ValueError):
    """Input in the tagged JSON form that cannot be decoded. `path` leads from the value
    to the offending part (member names and array indexes, innermost first)."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.path: list[str | int] = []


class LineError(VornError, ValueError):
    """A bad input line: `name:line:column: message` (`name:line: message` when no
    column applies)."""

    def __init__(self, name: str, line: int, column: int | None, message: str) -> None:
        where = f"{name}:{line}" if column is None else f"{name}:{line}:{column}"
        super().__init__(f"{where}: {message}")
        self.name = name
        self.line = line
        self.column = column
        self.message = message


class PanicException(BaseException):
    """Raised when native code fails in a way that no input should cause.

    Derived from BaseException, like SystemExit, so that `except Exception` does not
    swallow it."""


_BY_ERRNO: dict[int, type[VornIOError]] = {
    _errno.ENOENT: VornFileNotFoundError,
    _errno.EEXIST: VornFileExistsError,
    _errno.EACCES: VornPermissionError,
    _errno.EPERM: VornPermissionError,
    _errno.EISDIR: VornIsADirectoryError,
    _errno.ENOTDIR: VornNotADirectoryError,
}


def io_error(number: int, strerror: str, filename: str | None = None) -> VornIOError:
    """The VornIOError subclass that matches `number`, as `OSError(number, ...)` picks
    the built-in subclass."""
    cls = _BY_ERRNO.get(number, VornIOError)
    if filename is None:
        return cls(number, strerror)
    return cls(number, strerror, filename)
