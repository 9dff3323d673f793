"""The storage library's failures as the package's errors, each naming the URL.

A missing object or bucket is `VornFileNotFoundError`, refused credentials
`VornPermissionError`, and everything else a `VornIOError` whose `errno` says what
kind: ``ESTALE`` for an object replaced since it was opened, ``ETIMEDOUT`` for a
timeout, ``EPROTO`` for a server that answers against the protocol (ignores Range, or
sends a body of the wrong length), ``EIO`` for the rest.
"""

from __future__ import annotations

import errno
import re

from vornel.errors import VornFileNotFoundError, VornIOError, VornPermissionError

REPLACED = "the object was replaced since it was opened"
_STATUS = re.compile(r"status code: (\d{3})")
_TIMEOUT = re.compile(r"(?i)timed ?out|kind: timeout")
_CODE = re.compile(r"<Code>(\w+)</Code>")


class ProtocolError(Exception):
    """A response that breaks the protocol (wrong range, wrong length): never retried."""


class ShortBody(Exception):
    """A body that ended before its length: a cut connection, worth another attempt."""


def _first_line(e: BaseException) -> str:
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__


def _reason(e: BaseException) -> str:
    """The server's own word for a refusal: its S3 error code, else the HTTP status."""
    code = _CODE.search(str(e))
    status = http_status(e)
    return code.group(1) if code else f"HTTP {status}" if status else _first_line(e)


def http_status(e: BaseException) -> int | None:
    m = _STATUS.search(str(e))
    return int(m.group(1)) if m else None


def _timed_out(e: BaseException) -> bool:
    # The library says so only in the error's debug chain ("kind: Timeout", "TimedOut").
    return isinstance(e, TimeoutError) or _TIMEOUT.search(str(e)) is not None


def is_transient(e: BaseException) -> bool:
    """Whether another attempt may succeed: a dropped or refused connection, a cut body,
    a timeout, or a server error (5xx) or throttling (429); never a client error."""
    if isinstance(e, ShortBody):
        return True
    if isinstance(e, ProtocolError):
        return False
    from obstore.exceptions import GenericError
    if not isinstance(e, GenericError):
        return False
    status = http_status(e)
    return status is None or status >= 500 or status == 429


def translate(e: BaseException, url: str, attempts: int = 1) -> VornIOError:
    """`e`, raised while reading `url`, as the package's error."""
    from obstore.exceptions import (
        NotFoundError,
        NotSupportedError,
        PermissionDeniedError,
        PreconditionError,
        UnauthenticatedError,
    )

    if isinstance(e, VornIOError):
        return e
    detail = _first_line(e)
    if isinstance(e, (NotFoundError, FileNotFoundError)) or http_status(e) == 404:
        what = "no such bucket" if "NoSuchBucket" in str(e) else "no such object"
        return VornFileNotFoundError(errno.ENOENT, what, url)
    if isinstance(e, (PermissionDeniedError, UnauthenticatedError)) or http_status(e) in (401, 403):
        return VornPermissionError(errno.EACCES, f"access denied ({_reason(e)})", url)
    if isinstance(e, PreconditionError):
        return VornIOError(errno.ESTALE, REPLACED, url)
    if isinstance(e, NotSupportedError) and "Range" in str(e):
        return VornIOError(errno.EPROTO, "the server ignored the Range request "
                           "(it would send the whole object)", url)
    if isinstance(e, ProtocolError):
        return VornIOError(errno.EPROTO, detail, url)
    tries = f" after {attempts} attempts" if attempts > 1 else ""
    if _timed_out(e):
        return VornIOError(errno.ETIMEDOUT, f"timed out{tries}", url)
    return VornIOError(errno.EIO, f"read failed{tries}: {detail}", url)
