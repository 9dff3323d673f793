"""The exceptions that vornel raises, all in one place.

Each derives from `VornError` and from the built-in class that callers already catch
for the same kind of trouble: a damaged store is a `RuntimeError`, a failing system call
an `OSError` of the matching subclass (`FileNotFoundError` and so on, with `errno` and
`filename` set), a broken limit or an undecodable value a `ValueError`.
"""

from __future__ import annotations

import errno as _errno

__all__ = [
    "DuplicateKeyError",
    "ManifestError",
    "PanicException",
    "ShardError",
    "ShardMissingError",
    "VornCorruptError",
    "VornDecodeError",
    "VornError",
    "VornFileExistsError",
    "VornFileNotFoundError",
    "VornIOError",
    "VornIsADirectoryError",
    "VornLimitError",
    "VornNotADirectoryError",
    "VornPermissionError",
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
