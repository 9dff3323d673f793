"""The JSON form of stored values and keys, for `vornel dump` and `vornel build`.

JSON holds null, booleans, finite numbers, strings, arrays and objects with string
names. Everything else a store can hold is written as a *tagged object*: a JSON object
with exactly one member whose name begins with "$".

    {"$bytes": "<base64>"}             a bytes value, or a key that is not valid UTF-8
    {"$float": "nan" | "inf" | "-inf"} a float that JSON cannot write
    {"$map": [[k1, v1], [k2, v2]]}     a map with any key that is not a str
    {"$ext": [code, "<base64>"]}       a MessagePack extension type, code 0 to 127, or a
                                       Timestamp as code -1 with its MessagePack data
    {"$esc": {"$name": v}}             a one-member map of the data whose name begins with "$"

Keys and values inside `$map` and `$esc` are themselves in this form. Reading accepts
plain JSON too, and a JSON object with one "$" member whose name is not a tag above is
an error, so that no input is taken in two ways.
"""

from __future__ import annotations

import base64
import math
from typing import Any

import msgpack

TAGS = ("$bytes", "$float", "$map", "$ext", "$esc")


class TagError(ValueError):
    """Input in the tagged form that cannot be decoded."""


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _unb64(text: object) -> bytes:
    if not isinstance(text, str):
        raise TagError("base64 text expected")
    try:
        return base64.b64decode(text, validate=True)
    except ValueError:
        raise TagError(f"invalid base64 text {text!r}") from None


def encode(value: Any) -> Any:
    """`value` (as decoded from a store) in a form `json.dumps` writes as plain JSON."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": _b64(bytes(value))}
    if isinstance(value, msgpack.ExtType):  # a named tuple: before the sequences
        return {"$ext": [value.code, _b64(value.data)]}
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        if all(isinstance(k, str) for k in value):
            out = {k: encode(v) for k, v in value.items()}
            if len(out) == 1 and next(iter(out)).startswith("$"):
                return {"$esc": out}
            return out
        return {"$map": [[encode(k), encode(v)] for k, v in value.items()]}
    if isinstance(value, msgpack.Timestamp):
        return {"$ext": [-1, _b64(value.to_bytes())]}
    raise TypeError(f"cannot write a {type(value).__name__} as JSON")


def encode_key(key: str | bytes) -> Any:
    return {"$bytes": _b64(key)} if isinstance(key, bytes) else key


def _hashable(key: Any) -> Any:
    if isinstance(key, list):
        raise TagError("a $map key cannot be an array")
    if isinstance(key, dict):
        raise TagError("a $map key cannot be a map")
    return key


def _decode_tag(name: str, body: Any) -> Any:
    if name == "$bytes":
        return _unb64(body)
    if name == "$float":
        if body not in ("nan", "inf", "-inf"):
            raise TagError(f'$float must be "nan", "inf" or "-inf", not {body!r}')
        return float(body)
    if name == "$map":
        if not isinstance(body, list) or not all(
            isinstance(p, list) and len(p) == 2 for p in body
        ):
            raise TagError("$map must be an array of [key, value] pairs")
        return {_hashable(decode(k)): decode(v) for k, v in body}
    if name == "$ext":
        if (
            not isinstance(body, list)
            or len(body) != 2
            or type(body[0]) is not int
            or not -1 <= body[0] <= 127
        ):
            raise TagError("$ext must be [code, base64 text] with a code from -1 to 127")
        data = _unb64(body[1])
        if body[0] == -1:
            try:
                return msgpack.Timestamp.from_bytes(data)
            except ValueError as e:
                raise TagError(f"invalid timestamp: {e}") from None
        return msgpack.ExtType(body[0], data)
    if name == "$esc":
        if not isinstance(body, dict) or len(body) != 1:
            raise TagError("$esc must hold a map with one member")
        return {k: decode(v) for k, v in body.items()}
    raise TagError(f"unknown tag {name!r} (tags: {', '.join(TAGS)}; escape data with $esc)")


def decode(value: Any) -> Any:
    """The value that `value` (as parsed by `json.loads`) stands for."""
    if isinstance(value, list):
        return [decode(v) for v in value]
    if isinstance(value, dict):
        if len(value) == 1:
            ((name, body),) = value.items()
            if name.startswith("$"):
                return _decode_tag(name, body)
        return {k: decode(v) for k, v in value.items()}
    return value


def decode_key(key: Any) -> str | bytes:
    if isinstance(key, str):
        return key
    if isinstance(key, dict) and len(key) == 1 and "$bytes" in key:
        return _unb64(key["$bytes"])
    raise TagError('"key" must be a string or {"$bytes": base64 text}')
