"""The writer's table of distinct encodings: a digest per object, looked up by digest.

A dict of digest to object ID costs over 100 bytes per entry in Python objects. This
table keeps each 16-byte digest in one bytearray, indexed by object ID, and an
open-addressing array of object IDs over it: about 50 bytes per distinct value.
"""

from array import array
from hashlib import blake2b

DIGEST_SIZE = 16  # 128-bit BLAKE2b: collisions are out of reach in practice


def digest(data: bytes) -> bytes:
    return blake2b(data, digest_size=DIGEST_SIZE).digest()


class DigestTable:
    """Object IDs 0, 1, 2 ... each registered with the digest of its encoding."""

    def __init__(self) -> None:
        self._digests = bytearray()  # digest of object i at i * DIGEST_SIZE
        self._count = 0
        self._slots = array("Q", bytes(8 * 16))  # 0 empty, else object ID + 1
        self._mask = len(self._slots) - 1

    def __len__(self) -> int:
        return self._count

    def find(self, d: bytes) -> int:
        """The object ID registered with digest `d`, or -1 - slot when there is none,
        `slot` being where `insert` puts it."""
        slots, digests, mask = self._slots, self._digests, self._mask
        i = int.from_bytes(d[:8], "little") & mask
        while slot := slots[i]:
            start = (slot - 1) * DIGEST_SIZE
            if digests[start : start + DIGEST_SIZE] == d:
                return slot - 1
            i = (i + 1) & mask
        return -1 - i

    def insert(self, d: bytes, obj_id: int, missing: int) -> None:
        """Registers the next object ID under `d`, at the slot that `find(d)` reported
        as `missing`. IDs come in order, from 0."""
        if obj_id != self._count:
            raise ValueError(f"object {obj_id} registered out of order (expected {self._count})")
        self._digests += d
        self._count += 1
        self._slots[-1 - missing] = obj_id + 1
        if 2 * self._count > len(self._slots):  # keep the table at most half full
            self._grow()

    def _grow(self) -> None:
        slots = array("Q", bytes(16 * len(self._slots)))
        mask = len(slots) - 1
        digests = self._digests
        for obj_id in range(self._count):
            start = obj_id * DIGEST_SIZE
            i = int.from_bytes(digests[start : start + 8], "little") & mask
            while slots[i]:
                i = (i + 1) & mask
            slots[i] = obj_id + 1
        self._slots, self._mask = slots, mask
