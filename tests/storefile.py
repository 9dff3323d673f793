"""An independent encoder for store files, built from struct and zlib.

Tests compare what the module writes with this, and craft damaged files from it.
"""

import struct
import zlib

HEADER = struct.Struct(">4sB3xIIQQI4x")
HEADER_SIZE = HEADER.size  # 40
MAGIC = b"VRNL"
VERSION = 2


def as_key_bytes(key):
    return key.encode("utf-8") if isinstance(key, str) else bytes(key)


def encode_sections(objects, bindings):
    """Return (data, index, offsets) for `objects` (list of bytes) and `bindings`
    (iterable of (key, object id), later bindings of a key winning)."""
    offsets = []
    data = bytearray()
    for obj in objects:
        offsets.append(HEADER_SIZE + len(data))
        data += struct.pack(">II", len(obj), zlib.crc32(obj)) + obj
    final = {}
    for key, obj_id in bindings:
        final[as_key_bytes(key)] = obj_id
    index = bytearray()
    for key in sorted(final):
        index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offsets[final[key]])
    return bytes(data), bytes(index), offsets


def header(num_keys, num_objects, index_offset, file_crc32, *, magic=MAGIC, version=VERSION,
           data_offset=HEADER_SIZE):
    return HEADER.pack(magic, version, num_keys, num_objects, index_offset, data_offset, file_crc32)


def encode_store(objects, bindings=()):
    """The exact bytes the writer must produce for this staged state."""
    bindings = list(bindings)
    data, index, _ = encode_sections(objects, bindings)
    num_keys = len({as_key_bytes(k) for k, _ in bindings})
    body = data + index
    return header(num_keys, len(objects), HEADER_SIZE + len(data), zlib.crc32(body)) + body


def raw_store(data, index, num_keys, *, num_objects=0, index_offset=None, file_crc32=None,
              **header_fields):
    """A file from hand-made sections; the header fields default to consistent values."""
    body = data + index
    if index_offset is None:
        index_offset = HEADER_SIZE + len(data)
    if file_crc32 is None:
        file_crc32 = zlib.crc32(body)
    return header(num_keys, num_objects, index_offset, file_crc32, **header_fields) + body


def record(payload, crc=None):
    return struct.pack(">II", len(payload), zlib.crc32(payload) if crc is None else crc) + payload


def entry(key, offset):
    key = as_key_bytes(key)
    return struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)


MARKS_AT = 5  # layout, key table version, flags
MARKS_CHECK_AT = 36  # CRC-32 of header bytes 0 to 35


def marked(blob):
    """Whether the header of `blob` carries marks (the package's writer's)."""
    return any(blob[MARKS_AT:MARKS_AT + 3]) or any(blob[MARKS_CHECK_AT:HEADER_SIZE])


def mark(blob, table=0, dictionary=False):
    """`blob` with the package writer's marks set: its key table's version, its dictionary."""
    blob = bytearray(blob)
    blob[MARKS_AT:MARKS_AT + 3] = bytes([1 if table or dictionary else 0, table, int(dictionary)])
    return reseal_marks(blob)


def reseal_marks(blob):
    """`blob` with the marks' checksum made right again (zero where it has no marks)."""
    blob = bytearray(blob)
    if any(blob[MARKS_AT:MARKS_AT + 3]):
        struct.pack_into(">I", blob, MARKS_CHECK_AT, zlib.crc32(bytes(blob[:MARKS_CHECK_AT])))
    else:
        blob[MARKS_CHECK_AT:HEADER_SIZE] = bytes(4)
    return bytes(blob)


def recrc(blob):
    """`blob` with its whole-file checksum recomputed over everything after the header,
    and the marks' checksum, which covers it, too."""
    blob = bytearray(blob)
    struct.pack_into(">I", blob, 32, zlib.crc32(bytes(blob[HEADER_SIZE:])))
    return reseal_marks(blob)
