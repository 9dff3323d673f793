"""The writer's table of distinct encodings: a digest per object, looked up by digest.

A dict of digest to object ID costs over 100 bytes per entry in Python objects. This
table keeps each 16-byte digest in one bytearray, indexed by object ID, and an
open-addressing array of object IDs over it: about 40 bytes per distinct value.
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
        self._slots = array("Q", bytes(8 * 16))  # 0 empty, else object ID + 1
        self._mask = len(self._slots) - 1

    def __len__(self) -> int:
        return len(self._digests) // DIGEST_SIZE

    def find(self, d: bytes) -> int | None:
        """The object ID registered with digest `d`, or None."""
        slots, digests, mask = self._slots, self._digests, self._mask
        i = int.from_bytes(d[:8], "little") & mask
        while slot := slots[i]:
            start = (slot - 1) * DIGEST_SIZE
            if digests[start : start + DIGEST_SIZE] == d:
                return slot - 1
            i = (i + 1) & mask
        return None

    def register(self, d: bytes, obj_id: int) -> None:
        """Registers the next object ID; IDs must come in order, each digest once."""
        if obj_id != len(self):
            raise ValueError(f"object {obj_id} registered out of order (expected {len(self)})")
        self._digests += d
        if 2 * len(self) > len(self._slots):  # keep the table at most half full
            self._grow()
        else:
            self._place(d, obj_id)

    def _place(self, d: bytes, obj_id: int) -> None:
        i = int.from_bytes(d[:8], "little") & self._mask
        while self._slots[i]:
            i = (i + 1) & self._mask
        self._slots[i] = obj_id + 1

    def _grow(self) -> None:
        self._slots = array("Q", bytes(16 * len(self._slots)))
        self._mask = len(self._slots) - 1
        digests = self._digests
        for obj_id in range(len(self)):
            start = obj_id * DIGEST_SIZE
            self._place(bytes(digests[start : start + DIGEST_SIZE]), obj_id)
