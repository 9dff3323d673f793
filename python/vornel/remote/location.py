"""Where an object lives: a URL or a local path, and the store that serves it.

Schemes: ``s3://``, ``gs://``, ``az://`` (also ``abfs://``, ``azure://``), ``http://``
and ``https://`` go to object storage; ``file://`` URLs and plain paths are local files.
Credentials and endpoints come as pandas and Dask users give them: `storage_options`
(s3fs's names ``key``, ``secret``, ``token``, ``endpoint_url``, ``region``, ``anon``
and ``client_kwargs``, or the storage library's own configuration keys), else the
standard environment variables (``AWS_ACCESS_KEY_ID``, ``AWS_SECRET_ACCESS_KEY``,
``AWS_SESSION_TOKEN``, ``AWS_REGION``, ``AWS_ENDPOINT_URL`` and their kin for the other
clouds), which the storage library reads itself.
"""

from __future__ import annotations

import os
import urllib.parse
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import TYPE_CHECKING, Any

from vornel.errors import VornError

if TYPE_CHECKING:
    from obstore.store import ObjectStore

OBJECT_SCHEMES = frozenset({"s3", "gs", "gcs", "az", "abfs", "abfss", "azure", "http", "https"})
EXTRA = "remote"


class MissingExtraError(VornError, ImportError):
    """Reading object storage needs the optional extra ``vornel[remote]``."""


def require_obstore(url: str) -> None:
    try:
        import obstore  # noqa: F401
    except ImportError as e:
        raise MissingExtraError(
            f"reading {url} needs the optional extra vornel[{EXTRA}] ({e}): "
            f"pip install 'vornel[{EXTRA}]'") from None


@dataclass(frozen=True)
class Location:
    """`url` as the user gave it; `path` is the local file for local locations and the
    object's key within `base` (bucket or HTTP origin) for remote ones."""

    url: str
    scheme: str
    base: str
    path: str

    @property
    def is_local(self) -> bool:
        return self.scheme == "file"


def parse(url_or_path: str | os.PathLike[str]) -> Location:
    """The location that `url_or_path` names; ValueError for a URL of no known scheme
    or one that names no object."""
    text = os.fspath(url_or_path)
    scheme, sep, rest = text.partition("://")
    if not sep or "/" in scheme or "\\" in scheme:
        return Location(text, "file", "", text)  # a plain path
    scheme = scheme.lower()
    if scheme == "file":
        parts = urllib.parse.urlsplit(text)
        if parts.netloc not in ("", "localhost"):
            raise ValueError(f"{text}: a file URL names a file on this machine")
        return Location(text, "file", "", urllib.parse.unquote(parts.path))
    if scheme not in OBJECT_SCHEMES:
        raise ValueError(f"{text}: unsupported URL scheme {scheme!r} (supported: "
                         "s3, gs, az, http, https, file, or a local path)")
    parts = urllib.parse.urlsplit(text)
    if parts.query or parts.fragment:
        raise ValueError(f"{text}: a URL with a query or fragment is not supported")
    key = urllib.parse.unquote(parts.path.lstrip("/"))
    if not parts.netloc or not key or key.endswith("/"):
        raise ValueError(f"{text}: the URL names no object")
    return Location(text, scheme, f"{scheme}://{parts.netloc}", key)


# s3fs's option names (as pandas and Dask pass them) and the storage library's for each.
_S3_NAMES = {"key": "access_key_id", "secret": "secret_access_key", "token": "session_token",
             "endpoint_url": "endpoint", "region_name": "region"}


def _s3_config(options: Mapping[str, Any]) -> tuple[dict[str, Any], bool]:
    config: dict[str, Any] = {}
    anonymous = False
    for name, value in options.items():
        if name == "client_kwargs":
            config.update(_s3_config(value)[0])
        elif name == "anon":
            anonymous = bool(value)
        else:
            config[_S3_NAMES.get(name, name)] = value
    return config, anonymous


def make_store(location: Location, storage_options: Mapping[str, Any] | None,
               timeout: float) -> ObjectStore:
    """The storage library's store for `location`'s bucket or origin. The library's own
    retries are off: the caller retries with its own policy and counts each attempt."""
    require_obstore(location.url)
    from obstore.exceptions import BaseError
    from obstore.store import AzureStore, GCSStore, HTTPStore, S3Store

    options = dict(storage_options or {})
    client: dict[str, Any] = {"timeout": timedelta(seconds=timeout),
                              "connect_timeout": timedelta(seconds=min(timeout, 10.0))}
    retry: dict[str, Any] = {"max_retries": 0, "retry_timeout": timedelta(seconds=timeout)}
    bucket = location.base.partition("://")[2]
    try:
        if location.scheme == "s3":
            config, anonymous = _s3_config(options)
            endpoint = str(config.get("endpoint") or os.environ.get("AWS_ENDPOINT_URL")
                           or os.environ.get("AWS_ENDPOINT") or "")
            # A plain-HTTP endpoint the user named (a local or private server) is meant.
            client["allow_http"] = endpoint.startswith("http://")
            if anonymous:
                config["skip_signature"] = True
            return S3Store(bucket, config=config, client_options=client,  # type: ignore[arg-type]
                           retry_config=retry)  # type: ignore[arg-type]
        if location.scheme in ("gs", "gcs"):
            return GCSStore(bucket, config=options, client_options=client,  # type: ignore[arg-type]
                            retry_config=retry)  # type: ignore[arg-type]
        if location.scheme in ("az", "abfs", "abfss", "azure"):
            return AzureStore(bucket, config=options, client_options=client,  # type: ignore[arg-type]
                              retry_config=retry)  # type: ignore[arg-type]
        client["allow_http"] = location.scheme == "http"
        client.update(options)
        return HTTPStore.from_url(location.base, client_options=client,  # type: ignore[arg-type]
                                  retry_config=retry)  # type: ignore[arg-type]
    except (BaseError, ValueError, TypeError) as e:
        raise ValueError(f"{location.url}: bad storage options: "
                         f"{str(e).splitlines()[0]}") from None
