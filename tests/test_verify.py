"""verify(): the whole file first, then each referenced record once, in index order."""

import struct
import zlib

import pytest

import _vornel
from storefile import HEADER_SIZE, encode_sections, encode_store, entry, raw_store, record, recrc

Reader = _vornel._VornReader

# Objects X, Y, unused, in that file order; a and c share Y, b names X.
OBJECTS = [b"XXXX", b"YYYYYY", b"unused"]
BINDINGS = [("a", 1), ("b", 0), ("c", 1)]
OFFSETS = [40, 52, 66]
VALID = encode_store(OBJECTS, BINDINGS)


def damaged(positions, fix_crc=True):
    blob = bytearray(VALID)
    for pos in positions:
        blob[pos] ^= 0x01
    return recrc(bytes(blob)) if fix_crc else bytes(blob)


def reader_for(tmp_path, blob, verify=False):
    path = tmp_path / "v.vrnl"
    path.write_bytes(blob)
    return Reader(str(path), verify)


def verify_error(reader):
    with pytest.raises(RuntimeError) as info:
        reader.verify()
    return info.value.args[0]


def test_sound_stores_verify(tmp_path):
    assert reader_for(tmp_path, raw_store(b"", b"", 0)).verify() is True
    reader = reader_for(tmp_path, VALID)
    assert reader.verify() is True and reader.verify() is True
    reader.close()
    assert reader.verify() is True


def test_whole_file_checksum_comes_first(tmp_path):
    # A damaged payload with the stale whole-file checksum: the file-level message,
    # which names no object, both at open and from verify().
    blob = damaged([OFFSETS[1] + 8])
    blob = blob[:32] + VALID[32:36] + blob[36:]
    stored = struct.unpack_from(">I", blob, 32)[0]
    message = (f"VornCorruptError: file CRC32 mismatch  stored=0x{stored:08x}  "
               f"computed=0x{zlib.crc32(blob[HEADER_SIZE:]):08x}")
    with pytest.raises(RuntimeError) as info:
        reader_for(tmp_path, blob, verify=True)
    assert info.value.args == (message,)
    assert verify_error(reader_for(tmp_path, blob)) == message


@pytest.mark.parametrize("positions, offset", [
    ([OFFSETS[0] + 8], OFFSETS[0]),
    ([OFFSETS[1] + 13], OFFSETS[1]),
    ([OFFSETS[1] + 4], OFFSETS[1]),  # the stored record checksum itself
    # Both damaged: Y is referenced first (by a), although X lies first in the file.
    ([OFFSETS[0] + 9, OFFSETS[1] + 9], OFFSETS[1]),
])
def test_object_checksums(tmp_path, positions, offset):
    reader = reader_for(tmp_path, damaged(positions), verify=True)
    assert verify_error(reader) == f"VornCorruptError: object CRC32 mismatch at offset {offset}"
    assert verify_error(reader) == f"VornCorruptError: object CRC32 mismatch at offset {offset}"
    # The failure changes nothing: intact objects still read.
    assert reader.get_raw("b" if offset == OFFSETS[1] else "a") is not None


def test_unreferenced_objects_are_left_to_the_whole_file_checksum(tmp_path):
    assert reader_for(tmp_path, damaged([OFFSETS[2] + 8])).verify() is True


@pytest.mark.parametrize("bad, message", [
    (lambda size: size - 4, "object offset {} out of bounds"),
    (lambda size: size - 8 + 1, "object offset {} out of bounds"),
    (lambda size: 2**64 - 1, "object offset {} out of bounds"),
    (lambda size: 2**64 - 8, "object offset {} out of bounds"),
    (lambda size: HEADER_SIZE + 10, "object at {} extends beyond file end"),
])
def test_record_bounds(tmp_path, bad, message):
    # Record at 40 is sound; the one at 50 claims 2^32 - 1 bytes. The bounds of a
    # record are checked before its checksum.
    data = record(b"ok") + struct.pack(">II", 2**32 - 1, 0) + b"tail"
    size = HEADER_SIZE + len(data) + 2 * len(entry("k", 0))
    off = bad(size)
    blob = raw_store(data, entry("a", HEADER_SIZE) + entry("k", off), 2)
    assert len(blob) == size
    assert verify_error(reader_for(tmp_path, blob)) == "VornCorruptError: " + message.format(off)


def test_record_ending_at_the_file_end_is_checked(tmp_path):
    # A payload that runs through the index section to the very last byte: its checksum
    # is checked and holds, but the records no longer tile the data section.
    index = entry("k", HEADER_SIZE)
    payload = b"\0" * 3 + index
    blob = raw_store(struct.pack(">II", len(payload), zlib.crc32(payload)) + b"\0" * 3, index, 1)
    assert verify_error(reader_for(tmp_path, blob)) == (
        "VornCorruptError: the data section's records do not end at index_offset 51: "
        "the one at offset 40 runs past it")


def shuffled_store(rng, lengths):
    """Objects of the given payload lengths, each bound to one or two keys staged in a random
    order, so that index order and file order differ."""
    objects = [bytes(rng.getrandbits(8) for _ in range(n)) for n in lengths]
    keys = [f"k{rng.getrandbits(40):010x}" for _ in range(2 * len(objects))]
    bindings = [(k, i % len(objects)) for i, k in enumerate(keys)]
    rng.shuffle(bindings)
    return objects, bindings


# Small records (checked through a bitmap of offsets) and large ones (through sorted offsets).
@pytest.mark.parametrize("lengths", [range(301), range(3000, 3020)], ids=["small", "large"])
def test_every_record_verifies_and_a_fault_is_reported_at_its_first_entry(tmp_path, lengths):
    import random
    rng = random.Random(5)
    objects, bindings = shuffled_store(rng, lengths)
    blob = encode_store(objects, bindings)
    assert reader_for(tmp_path, blob).verify() is True

    offsets, at = [], HEADER_SIZE
    for obj in objects:
        offsets.append(at)
        at += 8 + len(obj)
    index_order = [offsets[obj_id] for _, obj_id in sorted(bindings, key=lambda b: b[0])]
    for trial in range(40):
        bad = rng.sample([i for i, o in enumerate(objects) if o], 3)
        damaged_blob = bytearray(blob)
        for i in bad:
            damaged_blob[offsets[i] + 8 + rng.randrange(len(objects[i]))] ^= 0x10
        first = next(off for off in index_order if off in {offsets[i] for i in bad})
        reader = reader_for(tmp_path, recrc(bytes(damaged_blob)))
        assert verify_error(reader) == f"VornCorruptError: object CRC32 mismatch at offset {first}"


PIECE = 1 << 16  # verify() reads the file in pieces of this size; faults at their edges count


def many_piece_store(rng):
    """Over ten pieces of small records, each object bound to two keys in random order, with
    records that straddle piece edges. Returns the blob, the offsets and the index order."""
    lengths = [rng.choice([0, 1, 15, 16, 17, 100, 255, 256, 300, 1000]) for _ in range(3000)]
    objects, bindings = shuffled_store(rng, lengths)
    data, index, offsets = encode_sections(objects, bindings)
    blob = raw_store(data, index, len(bindings), num_objects=len(objects))
    assert len(blob) > 10 * PIECE
    index_order = [offsets[obj_id] for _, obj_id in sorted(bindings, key=lambda b: b[0])]
    return blob, objects, offsets, index_order


@pytest.mark.parametrize("fault", ["payload", "stored checksum", "length past the end"])
def test_faults_in_a_store_of_many_pieces(tmp_path, fault):
    import random
    rng = random.Random(9)
    blob, objects, offsets, index_order = many_piece_store(rng)
    assert reader_for(tmp_path, blob).verify() is True

    ends = [off + 8 + len(obj) for off, obj in zip(offsets, objects)]
    straddling = [i for i, (off, end) in enumerate(zip(offsets, ends))
                  if off // PIECE != (end - 1) // PIECE]
    assert len(straddling) >= 5
    candidates = [0, len(objects) - 1] + straddling
    if fault == "payload":
        candidates = [i for i in candidates if objects[i]]
    message = ("object at {} extends beyond file end" if fault == "length past the end"
               else "object CRC32 mismatch at offset {}")
    # Each candidate alone, then a few at once.
    for bad in [[i] for i in candidates] + [rng.sample(candidates, 3) for _ in range(8)]:
        damaged_blob = bytearray(blob)
        for i in bad:
            if fault == "payload":
                damaged_blob[offsets[i] + 8 + rng.randrange(len(objects[i]))] ^= 0x04
            elif fault == "stored checksum":
                damaged_blob[offsets[i] + 4] ^= 0x80
            else:
                struct.pack_into(">I", damaged_blob, offsets[i], 2**32 - 1)
        first = next(off for off in index_order if off in {offsets[i] for i in bad})
        reader = reader_for(tmp_path, recrc(bytes(damaged_blob)))
        assert verify_error(reader) == "VornCorruptError: " + message.format(first)


@pytest.mark.parametrize("key, reported", [(b"\x00first", "outside"), (b"\xfflast", "damaged")])
def test_offset_past_the_end_among_many_pieces(tmp_path, key, reported):
    # An entry past the end and a damaged record: whichever comes first in index order is named.
    import random
    rng = random.Random(13)
    lengths = [rng.choice([3, 40, 100, 200]) for _ in range(3000)]
    objects, bindings = shuffled_store(rng, lengths)
    data, index, offsets = encode_sections(objects, bindings)
    size = HEADER_SIZE + len(data) + len(index) + len(entry(key, 0))
    outside = size + 12345
    index = entry(key, outside) + index if key < b"k" else index + entry(key, outside)
    blob = bytearray(raw_store(data, index, len(bindings) + 1, num_objects=len(objects)))
    assert len(blob) == size > 4 * PIECE
    damaged_at = offsets[len(objects) // 2]
    blob[damaged_at + 8] ^= 0x01
    message = (f"object offset {outside} out of bounds" if reported == "outside"
               else f"object CRC32 mismatch at offset {damaged_at}")
    assert verify_error(reader_for(tmp_path, recrc(bytes(blob)))) == "VornCorruptError: " + message
