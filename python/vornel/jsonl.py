"""The JSON Lines form of a store: tagged values, and the strict line reader.

JSON holds null, booleans, finite numbers, strings, arrays and objects with string
names. Everything else a store can hold is written as a *tagged object*: a JSON object
with exactly one member whose name begins with "$".

    {"$bytes": "<base64>"}             a bytes value, or a key that is not valid UTF-8
    {"$float": "nan" | "inf" | "-inf"} a float that JSON cannot write
    {"$map": [[k1, v1], [k2, v2]]}     a map with any key that is not a str
    {"$ext": [code, "<base64>"]}       a MessagePack extension type, code 0 to 127, or a
                                       Timestamp as code -1 with its MessagePack data
    {"$esc": {"$name": v}}             a one-member map of the data whose name begins with "$"

Keys and values inside `$map` and `$esc` are themselves in this form. Tags are decided on
the parsed member names, so `"\\u0024bytes"` is `"$bytes"`. Reading accepts plain JSON
too, and a one-member object whose "$" name is not a tag above is an error, so that no
input is taken in two ways.

Each input line is one JSON text as RFC 8259 defines it: no NaN or Infinity, no number
too large for a float, no whitespace but space, tab, CR and LF. A line that breaks a rule
raises `LineError`, which reads `name:line:column: message` (the column counts characters
of the line, from 1).
"""

from __future__ import annotations

import base64
import json
import math
import re
import sys
import unicodedata
from collections.abc import Iterable, Iterator
from typing import Any, Final

import msgpack

from ._engine import is_plain_json
from .errors import LineError, TagError

__all__ = [
    "TAGS",
    "LineError",
    "DELETE",
    "Record",
    "KEY",
    "KEY_PATH",
    "LINE",
    "TEXT",
    "VALUE",
    "TagError",
    "decode",
    "decode_key",
    "dumps",
    "encode",
    "encode_key",
    "line_error",
    "pair_line",
    "pair_lines",
    "read_records",
    "value_line",
]

TAGS = ("$bytes", "$float", "$map", "$ext", "$esc")

JSON_SPACE = " \t\r\n"
BOM = "\ufeff"
# The store's nesting limit: a line nested deeper than the parser goes is reported at the
# first bracket past it, since the writer refuses anything deeper anyway.
MAX_DEPTH = 1024
INFINITY = math.inf


# -- writing ---------------------------------------------------------------------------


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


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


def _unknown(value: Any) -> Any:
    raise TypeError(f"cannot write a {type(value).__name__} as JSON")


# json.dumps(value, ensure_ascii=False, allow_nan=False) as chunks of text. JSONEncoder
# makes its C encoder anew for every call, which costs a dump a third of its time: the
# one made here serves every line. Where the interpreter has none, the encoder's own
# method does the same work.
_c_make_encoder = getattr(json.encoder, "c_make_encoder", None)
if _c_make_encoder is not None:
    _chunks = _c_make_encoder(None, _unknown, json.encoder.encode_basestring,
                              None, ": ", ", ", False, False, False)
else:  # pragma: no cover - CPython has the C encoder
    _chunks = json.JSONEncoder(ensure_ascii=False, allow_nan=False, check_circular=False,
                               default=_unknown).iterencode


def dumps(value: Any) -> bytes:
    """One line of output: `value`, already in the tagged form, as UTF-8 JSON."""
    return ("".join(_chunks(value, 0)) + "\n").encode("utf-8")


def value_line(value: Any) -> bytes:
    """The line of a stored value, in the tagged form."""
    return dumps(value if is_plain_json(value) else encode(value))


def _pair_text(key: str | bytes, value: Any) -> str:
    if type(key) is not str:
        key = encode_key(key)
    # Most stored values are plain JSON already: checked natively, not rebuilt.
    if not is_plain_json(value):
        value = encode(value)
    return "".join(_chunks({"key": key, "value": value}, 0))


def pair_line(key: str | bytes, value: Any) -> bytes:
    """The line `{"key": ..., "value": ...}` of a stored pair, in the tagged form."""
    return (_pair_text(key, value) + "\n").encode("utf-8")


def pair_lines(pairs: Iterable[tuple[str | bytes, Any]], block: int = 256) -> Iterator[bytes]:
    """The lines of `pairs` as pair_line() writes them, `block` lines to a piece: one
    write per piece rather than per line."""
    text = _pair_text
    lines: list[bytes] = []
    for key, value in pairs:
        # Each line encoded alone: text joined first would widen a block's every line
        # to the widest character of any, and make its encoding a transcoding.
        lines.append(text(key, value).encode("utf-8"))
        if len(lines) == block:
            lines.append(b"")
            yield b"\n".join(lines)
            lines = []
    if lines:
        lines.append(b"")
        yield b"\n".join(lines)


# -- reading tags ----------------------------------------------------------------------


def _unb64(text: object) -> bytes:
    if not isinstance(text, str):
        raise TagError("base64 text expected")
    try:
        return base64.b64decode(text, validate=True)
    except ValueError:
        raise TagError(f"invalid base64 text {text!r}") from None


def _hashable(key: Any) -> Any:
    if isinstance(key, list):
        raise TagError("a $map key cannot be an array")
    if isinstance(key, dict):
        raise TagError("a $map key cannot be a map")
    return key


def _decode_map(body: Any) -> dict[Any, Any]:
    if not isinstance(body, list):
        raise TagError("$map must be an array of [key, value] pairs")
    out: dict[Any, Any] = {}
    for index, pair in enumerate(body):
        try:
            if not isinstance(pair, list) or len(pair) != 2:
                raise TagError("$map must be an array of [key, value] pairs")
            try:
                key = _hashable(decode(pair[0]))
            except TagError as e:
                e.path.append(0)
                raise
            try:
                out[key] = decode(pair[1])
            except TagError as e:
                e.path.append(1)
                raise
        except TagError as e:
            e.path.append(index)
            raise
    return out


def _decode_tag(name: str, body: Any) -> Any:
    if name == "$bytes":
        return _unb64(body)
    if name == "$float":
        if body not in ("nan", "inf", "-inf"):
            raise TagError(f'$float must be "nan", "inf" or "-inf", not {body!r}')
        return float(body)
    if name == "$map":
        return _decode_map(body)
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
        return _decode_members(body)
    raise TagError(f"unknown tag {name!r} (tags: {', '.join(TAGS)}; escape data with $esc)")


def _decode_members(obj: dict[str, Any]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, member in obj.items():
        try:
            out[name] = decode(member)
        except TagError as e:
            e.path.append(name)
            raise
    return out


def decode(value: Any) -> Any:
    """The value that `value` (as parsed by `json.loads`) stands for."""
    if type(value) is list:
        out: list[Any] = []
        try:
            for item in value:
                out.append(decode(item))
        except TagError as e:
            e.path.append(len(out))
            raise
        return out
    if type(value) is dict:
        if len(value) == 1:
            ((name, body),) = value.items()
            if name.startswith("$"):
                try:
                    return _decode_tag(name, body)
                except TagError as e:
                    if e.path:  # inside the body; else the tagged object itself
                        e.path.append(name)
                    raise
        return _decode_members(value)
    return value


def decode_key(key: Any) -> str | bytes:
    if isinstance(key, str):
        return key
    if isinstance(key, dict) and len(key) == 1 and "$bytes" in key:
        return _unb64(key["$bytes"])
    raise TagError(f"a key must be a string or {{\"$bytes\": base64 text}}, not {_kind(key)}")


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


# -- reading lines ---------------------------------------------------------------------


# One input line's pair, with what an error about it needs to point into the line:
# (line number, line text, key, value, where the key lies in the line's JSON). A plain
# tuple: one is made per line, and a named tuple costs a tenth of the parse.
Record = tuple[int, str, "str | bytes", Any, tuple[str, ...]]
LINE: Final = 0
TEXT: Final = 1
KEY: Final = 2
VALUE: Final = 3
KEY_PATH: Final = 4

_KEY_PATH = ("key",)


class _Delete:
    """The value of a line that unstages its key."""

    def __repr__(self) -> str:
        return "DELETE"


# The value read_records gives for `{"key": ..., "delete": true}` when asked to.
DELETE: Final = _Delete()


class _Refused(ValueError):
    """A token that strict JSON refuses, raised from inside the parser."""

    def __init__(self, token: str, message: str) -> None:
        super().__init__(message)
        self.token = token


def _refuse_constant(token: str) -> Any:
    raise _Refused(token, f"{token} is not JSON (write {{\"$float\": \"nan\"}}, \"inf\" or "
                          f"\"-inf\" for such a float)")


def _finite_float(token: str) -> float:
    number = float(token)
    if number == INFINITY or number == -INFINITY:
        raise _Refused(token, f"number {_short(token)} is too large for a float")
    return number


def _short(token: str) -> str:
    return token if len(token) <= 24 else token[:20] + "..."


_raw_decode = json.JSONDecoder(
    parse_constant=_refuse_constant, parse_float=_finite_float).raw_decode

# Strings whole (so that nothing inside one is taken for a token), then bare tokens.
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|(-?[0-9][0-9.eE+-]*|-?Infinity|NaN)')


def _token_column(text: str, token: str) -> int | None:
    for match in _TOKEN.finditer(text):
        if match.group(1) == token:
            return match.start() + 1
    return None


def _depth_column(text: str) -> int | None:
    depth = 0
    for match in re.finditer(r'"(?:[^"\\]|\\.)*"|[\[{]|[\]}]', text):
        bracket = match.group()
        if bracket in "[{":
            depth += 1
            if depth > MAX_DEPTH:
                return match.start() + 1
        elif bracket in "]}":
            depth -= 1
    return None


# Control characters have no name of their own in the Unicode database.
_CONTROL_NAMES = {"\t": "tab", "\n": "line feed", "\v": "vertical tab", "\f": "form feed",
                  "\r": "carriage return", "\x1c": "file separator", "\x1d": "group separator",
                  "\x1e": "record separator", "\x1f": "unit separator", "\x85": "next line"}


def _describe(char: str) -> str:
    name = _CONTROL_NAMES.get(char) or unicodedata.name(char, "")
    return f"U+{ord(char):04X}" + (f" ({name.lower()})" if name else "")


def _syntax_message(text: str, error: json.JSONDecodeError) -> str:
    if error.pos < len(text):
        char = text[error.pos]
        if char == BOM:
            return (f"{_describe(char)}, a byte order mark, inside the input (inputs joined "
                    "with one that begins with a BOM?); remove it, for example with "
                    "sed 's/\\xEF\\xBB\\xBF//g'")
        if char not in JSON_SPACE and (char.isspace() or char in "\u200b\u2060"):
            return f"{_describe(char)} is not JSON whitespace ({error.msg.lower()})"
    return error.msg


def _decode_at(text: str, start: int) -> tuple[Any, int]:
    try:
        return _raw_decode(text, start)
    except (json.JSONDecodeError, _Refused):
        raise
    except ValueError:
        # Not the syntax: an integer with more digits than int() converts.
        column, digits = _long_integer(text)
        if column is None:
            raise
        raise _At(column, f"integer of {digits} digits is too large (a store holds integers "
                          "of 64 bits)") from None


def _long_integer(text: str) -> tuple[int | None, int]:
    """The column and length of the first integer of `text` too long to convert."""
    limit = sys.get_int_max_str_digits()
    for match in _TOKEN.finditer(text):
        token = match.group(1)
        if token is not None and len(token.lstrip("-")) > limit:
            return match.start() + 1, len(token.lstrip("-"))
    return None, 0


def _parse(text: str) -> tuple[Any, bool]:
    """The JSON value of one line, and whether the line was blank. Raises LineError's
    parts as `(column, message)` in a ValueError subclass."""
    try:
        value, end = _decode_at(text, 0)
    except json.JSONDecodeError as error:
        start = len(text) - len(text.lstrip(JSON_SPACE))
        if start == len(text):
            return None, True
        if error.pos != 0 or start == 0:
            raise _At(error.pos + 1, _syntax_message(text, error)) from None
        try:
            value, end = _decode_at(text, start)
        except json.JSONDecodeError as again:
            raise _At(again.pos + 1, _syntax_message(text, again)) from None
    if end != len(text):
        rest = text[end:]
        if rest.strip(JSON_SPACE):
            column = end + len(rest) - len(rest.lstrip(JSON_SPACE)) + 1
            char = text[column - 1]
            if char.isspace() or char == BOM:
                raise _At(column, f"{_describe(char)} is not JSON whitespace")
            raise _At(column, "more after the JSON value (one value per line)")
    return value, False


class _At(ValueError):
    def __init__(self, column: int | None, message: str) -> None:
        super().__init__(message)
        self.column = column
        self.message = message


def _could_hold_tag(text: str) -> bool:
    # A member name that begins with "$" is written `"$` or `"\u0024` (the only escape
    # of "$"): a line with neither holds no tag, and its values are taken as parsed.
    return '"$' in text or "\\u0024" in text


_FORM = '{"key": ..., "value": ...}'


def _pair(
    record: Any, text: str, key_field: str | None, numeric_keys: bool = False,
    deletions: bool = False,
) -> tuple[Any, Any, tuple[str, ...]]:
    """Key and value of a parsed line, tags decoded; DELETE for a delete line."""
    try:
        return _tagged_pair(record, text, key_field, numeric_keys, deletions)
    except RecursionError:
        # Tags nest a few calls deep per level; the tool allows for the store's 1024.
        raise _Located(("value",) if key_field is None else (),
                       "tags nested too deeply to decode") from None


def _tagged_pair(
    record: Any, text: str, key_field: str | None, numeric_keys: bool, deletions: bool
) -> tuple[Any, Any, tuple[str, ...]]:
    value: Any
    if key_field is None:
        if type(record) is not dict:
            raise _At(None, f"expected an object {_FORM}, not {_kind(record)}")
        if len(record) == 2 and "key" in record and "delete" in record:
            if not deletions:
                raise _Located(("delete",), "a line that deletes its key changes a store: "
                                            "give the store with --from", name=True)
            if record["delete"] is not True:
                raise _Located(("delete",), '"delete" must be true')
            key, value, key_path = record["key"], DELETE, ("key",)
        elif len(record) != 2 or "key" not in record or "value" not in record:
            for name in ("key", "value"):
                if name not in record:
                    raise _Located((), f'missing member "{name}" (records are {_FORM}; '
                                       "--key FIELD takes whole records)")
            extra = next(name for name in record if name not in ("key", "value"))
            raise _Located((extra,), f"unexpected member {json.dumps(extra)} (records are "
                                     f"{_FORM}; --key FIELD takes whole records)", name=True)
        else:
            key, value, key_path = record["key"], record["value"], ("key",)
        if value is not DELETE and _could_hold_tag(text):
            try:
                value = decode(value)
            except TagError as e:
                raise _Located(("value", *reversed(e.path)), str(e)) from None
    else:
        if type(record) is not dict:
            raise _At(None, f"expected an object with the member {json.dumps(key_field)} "
                            f"(--key), not {_kind(record)}")
        if key_field not in record:
            raise _Located((), f"no member {json.dumps(key_field)} to take the key from (--key)")
        key, value, key_path = record[key_field], record, (key_field,)
        if _could_hold_tag(text):
            try:
                value = _decode_members(value)  # the record is a map, never a tag
            except TagError as e:
                raise _Located(tuple(reversed(e.path)), str(e)) from None
    if type(key) is not str:
        if type(key) is int and key_field is not None:
            if not numeric_keys:
                raise _Located(key_path, f"the key is the number {key} (--numeric-key takes "
                                         "an integer as its decimal text)")
            return str(key), value, key_path
        try:
            key = decode_key(key)
        except TagError as e:
            raise _Located(key_path, str(e)) from None
    return key, value, key_path


class _Located(ValueError):
    """An error about the part of the line's JSON at `path`."""

    def __init__(self, path: tuple[str | int, ...], message: str, name: bool = False) -> None:
        super().__init__(message)
        self.path = path
        self.message = message
        self.name = name


def read_records(
    lines: Iterable[bytes], name: str, key_field: str | None = None,
    numeric_keys: bool = False, deletions: bool = False,
) -> Iterator[Record]:
    """A Record for each line of `lines` (bytes, each with its line ending).

    Lines are `{"key": ..., "value": ...}`, or with `key_field` any object whose member
    of that name is the key and which is stored whole; with `numeric_keys`, a member
    that is an integer gives its decimal text as the key. With `deletions`, a line
    `{"key": ..., "delete": true}` gives the value DELETE. Blank lines are skipped; a
    UTF-8 byte order mark is skipped at the start of the input. A bad line raises
    LineError.
    """
    parse = _raw_decode
    number = 0
    for number, raw in enumerate(lines, 1):
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise _utf8_error(name, number, raw, e) from None
        if number == 1 and text.startswith(BOM):
            text = text[1:]
        # The common line: one value, then the line ending; anything else goes the long way.
        try:
            record, end = parse(text)
            if end != len(text) and (end != len(text) - 1 or text[end] != "\n") \
                    and text[end:].strip(JSON_SPACE):
                raise ValueError
        except (ValueError, RecursionError):
            try:
                record, blank = _parse(text)
            except _At as e:
                raise LineError(name, number, e.column, e.message) from None
            except _Refused as e:
                raise LineError(name, number, _token_column(text, e.token), str(e)) from None
            except RecursionError:
                raise LineError(name, number, _depth_column(text),
                                f"nested too deeply (a store holds at most {MAX_DEPTH} "
                                "levels)") from None
            if blank:
                continue
        # The common line, `{"key": "...", "value": ...}` with no tag, the short way.
        if key_field is None and type(record) is dict and len(record) == 2 \
                and "key" in record and "value" in record \
                and type(key := record["key"]) is str and not _could_hold_tag(text):
            yield number, text, key, record["value"], _KEY_PATH
            continue
        try:
            key, value, key_path = _pair(record, text, key_field, numeric_keys, deletions)
        except _At as e:
            raise LineError(name, number, e.column or _first_column(text), e.message) from None
        except _Located as e:
            raise line_error(name, number, text, e.path, e.message, name_column=e.name) \
                from None
        yield number, text, key, value, key_path


def _first_column(text: str) -> int:
    return len(text) - len(text.lstrip(JSON_SPACE)) + 1


def _utf8_error(name: str, number: int, raw: bytes, error: UnicodeDecodeError) -> LineError:
    if number == 1 and raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return LineError(name, number, 1, "the input is UTF-16 (it begins with a UTF-16 byte "
                         "order mark); JSON Lines are UTF-8: convert it with "
                         "iconv -f UTF-16 -t UTF-8")
    column = len(raw[: error.start].decode("utf-8", "replace")) + 1
    return LineError(name, number, column,
                     f"not UTF-8: byte 0x{raw[error.start]:02x} ({error.reason})")


def line_error(
    name: str,
    number: int,
    text: str,
    path: Iterable[str | int],
    message: str,
    *,
    name_column: bool = False,
) -> LineError:
    """A LineError about the part of line `number` (whose text is `text`) at `path`: member
    names and array indexes from the top, pointing at that part's value (or, with
    `name_column`, at the member's name)."""
    try:
        column = _locate(text, tuple(path), name_column) + 1
    except (ValueError, IndexError, RecursionError):
        column = None
    return LineError(name, number, column, message)


def _skip(text: str, pos: int) -> int:
    while pos < len(text) and text[pos] in JSON_SPACE:
        pos += 1
    return pos


def _locate(text: str, path: tuple[str | int, ...], name_column: bool) -> int:
    # Walks the text of a line that parsed, along `path`, to the start of what it names.
    # Only errors come here, so this favours plainness over speed.
    scan = json.decoder.scanstring  # type: ignore[attr-defined]
    pos = _skip(text, 1 if text.startswith(BOM) else 0)
    for depth, step in enumerate(path):
        last = depth == len(path) - 1
        if isinstance(step, str):
            if text[pos] != "{":
                raise ValueError
            found = None
            pos = _skip(text, pos + 1)
            while text[pos] != "}":
                name_at = pos
                member, pos = scan(text, pos + 1)
                pos = _skip(text, _skip(text, pos) + 1)  # past the colon
                if member == step:  # the last of equal names is the one the parser kept
                    found = name_at if last and name_column else pos
                _, pos = _raw_decode(text, pos)
                pos = _skip(text, pos)
                if text[pos] == ",":
                    pos = _skip(text, pos + 1)
            if found is None:
                raise ValueError
            pos = found
        else:
            if text[pos] != "[":
                raise ValueError
            pos = _skip(text, pos + 1)
            for _ in range(step):
                _, pos = _raw_decode(text, pos)
                pos = _skip(text, _skip(text, pos) + 1)  # past the comma
    return pos
