"""Write a small store with _VornWriter and read it back with _VornReader.

Usage: python examples/roundtrip.py [PATH]   (default: a file in a temporary directory)
"""

import os
import sys
import tempfile

import msgpack

from _vornel import _VornReader, _VornWriter

CITIES = {
    "city:berlin": {"country": "DE", "population": 3_878_000},
    "city:bern": {"country": "CH", "population": 134_000},
    "city:lisbon": {"country": "PT", "population": 545_000},
    "city:lyon": {"country": "FR", "population": 522_000},
}
ALIASES = {"alias:berlin": "city:berlin", "alias:lisboa": "city:lisbon"}


def write(path):
    writer = _VornWriter()
    ids = {}
    for key, value in CITIES.items():
        ids[key] = writer.add_object_raw(msgpack.packb(value))
        writer.add_key(key, ids[key])
    for alias, target in ALIASES.items():
        writer.add_key(alias, ids[target])  # several keys may share one object
    print(writer)
    writer.build(path)  # prints its own summary line on standard output


def read(path):
    with _VornReader(path) as reader:
        print(reader)
        print("lisboa ->", msgpack.unpackb(reader.get_raw("alias:lisboa")))
        print("has city:paris?", reader.exists("city:paris"))
        for key, raw in reader.prefix_raw("city:b"):
            print("  prefix city:b:", key, msgpack.unpackb(raw))
        print("distinct objects:", len(reader.objects_raw()), "for", len(reader.keys()), "keys")
        print("verify:", reader.verify())
        print("stats:", reader.stats())


def main():
    if len(sys.argv) > 1:
        path = sys.argv[1]
        write(path)
        read(path)
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "cities.vrnl")
        write(path)
        read(path)


if __name__ == "__main__":
    main()
