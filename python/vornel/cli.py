"""The `vornel` command: build, query, dump and check stores from the shell.

Data goes to standard output, messages to standard error. Exit status: 0 success,
1 a data problem (missing key, bad input line, missing or corrupt store), 2 usage.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, BinaryIO

from . import tagged
from ._version import __version__
from .reader import VornDecodeError, VornReader
from .sharded import ShardedReader
from .writer import Key, VornWriter

PROGRESS_EVERY = 4096  # lines between progress bar updates


class Failure(Exception):
    """An expected failure: reported as one line on standard error, exit status 1."""


def open_store(path: str, verify: bool = True) -> VornReader | ShardedReader:
    """The store at `path`, as every command that reads one opens it."""
    if os.path.isdir(path):  # a sharded store's directory
        return ShardedReader(path, verify)
    return VornReader(path, verify)


def _dump_json(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False, allow_nan=False).encode("utf-8") + b"\n"


def _key_arg(text: str) -> Key:
    # Command-line bytes that are not UTF-8 arrive as surrogate escapes: give them back
    # as the bytes they were.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(text)
    return text


def _key_line(key: Key) -> bytes:
    return (key.encode("utf-8") if isinstance(key, str) else key) + b"\n"


# -- reading JSON Lines ------------------------------------------------------------


def read_pairs(lines: Iterable[bytes], name: str) -> Iterator[tuple[int, Key, Any]]:
    """`(line number, key, value)` of each `{"key": ..., "value": ...}` line.

    Blank lines are skipped. A bad line raises Failure "{name}:{line}: {message}".
    """
    # raw_decode on text skips json.loads' encoding detection and whitespace regexes;
    # any line it does not take whole goes through json.loads for the exact outcome.
    raw_decode = json.JSONDecoder().raw_decode
    for number, line in enumerate(lines, 1):
        try:
            text = line.decode("utf-8")
            try:
                record, end = raw_decode(text)
                if end != len(text) and not text[end:].isspace():
                    raise ValueError
            except ValueError:
                if not text.strip():
                    continue
                record = json.loads(text)
            if type(record) is not dict or len(record) != 2:
                raise ValueError('expected an object {"key": ..., "value": ...}')
            key = record["key"]
            value = record["value"]
            if '"$' in text:  # only lines that mention a tag can hold one
                key = tagged.decode_key(key)
                value = tagged.decode(value)
            elif type(key) is not str:
                key = tagged.decode_key(key)
        except KeyError:
            message = 'expected an object {"key": ..., "value": ...}'
            raise Failure(f"{name}:{number}: {message}") from None
        except ValueError as e:
            raise Failure(f"{name}:{number}: {e}") from None
        yield number, key, value


def stage(writer: VornWriter, records: Iterable[tuple[int, Key, Any]], name: str) -> None:
    add = writer.add
    number = 0
    try:
        for number, key, value in records:
            add(key, value)
    except (TypeError, ValueError, OverflowError) as e:
        raise Failure(f"{name}:{number}: {e}") from None


def _progress(stream: BinaryIO, total: int | None) -> Iterator[bytes]:
    from tqdm import tqdm

    with tqdm(total=total, unit="B", unit_scale=True, desc="reading", file=sys.stderr) as bar:
        pending = 0
        for count, line in enumerate(stream, 1):
            pending += len(line)
            if count % PROGRESS_EVERY == 0:
                bar.update(pending)
                pending = 0
            yield line
        bar.update(pending)


# -- commands ----------------------------------------------------------------------


def cmd_build(args: argparse.Namespace, out: BinaryIO) -> int:
    name = "<stdin>" if args.input == "-" else args.input
    try:
        stream: BinaryIO = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
    except OSError as e:
        raise Failure(f"cannot read {name}: {e.strerror}") from None
    with stream:
        lines: Iterable[bytes] = stream
        if sys.stderr.isatty():
            total = None if args.input == "-" else os.fstat(stream.fileno()).st_size
            lines = _progress(stream, total)
        if args.shards is not None:  # a sharded store, built on Dask
            from .cli_sharded import cmd_build_sharded

            return cmd_build_sharded(args, read_pairs(lines, name), name, out)
        writer = VornWriter(dedup=not args.no_dedup)
        stage(writer, read_pairs(lines, name), name)
    writer.build(args.out, verbose=True)
    return 0


def cmd_get(args: argparse.Namespace, out: BinaryIO) -> int:
    status = 0
    with open_store(args.store) as store:
        for text in args.keys:
            key = _key_arg(text)
            try:
                value = store[key]
            except KeyError:
                print(f"vornel: no key {key!r} in {args.store}", file=sys.stderr)
                status = 1
                continue
            out.write(_dump_json(tagged.encode(value)))
    return status


def _entries(store: VornReader | ShardedReader, prefix: str | None) -> Iterable[tuple[Key, Any]]:
    return store.items() if prefix is None else store.prefix(_key_arg(prefix))


def cmd_keys(args: argparse.Namespace, out: BinaryIO) -> int:
    with open_store(args.store) as store:
        keys: Iterable[Key] = (
            store if args.prefix is None else (k for k, _ in store.prefix(_key_arg(args.prefix)))
        )
        for key in keys:
            out.write(_key_line(key))
    return 0


def cmd_dump(args: argparse.Namespace, out: BinaryIO) -> int:
    with open_store(args.store) as store:
        for key, value in _entries(store, args.prefix):
            out.write(_dump_json({"key": tagged.encode_key(key), "value": tagged.encode(value)}))
    return 0


def cmd_stats(args: argparse.Namespace, out: BinaryIO) -> int:
    with open_store(args.store, verify=False) as store:
        stats = store.stats()
    if args.json:
        out.write(_dump_json(stats))
    else:
        width = max(len(name) for name in stats)
        for name, value in stats.items():
            out.write(f"{name:<{width}}  {value}\n".encode())
    return 0


def cmd_verify(args: argparse.Namespace, out: BinaryIO) -> int:
    with open_store(args.store, verify=False) as store:
        store.verify()
    out.write(b"OK\n")
    return 0


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vornel",
        description="Build, query, dump and check vornel stores.",
        epilog="JSON Lines records are {\"key\": ..., \"value\": ...}; what JSON cannot "
        "hold is written in tagged form (see the README).",
    )
    parser.add_argument("--version", action="version", version=f"vornel {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("build", help="build a store from JSON Lines")
    p.add_argument("out", metavar="OUT", help="the store file to write")
    p.add_argument("input", metavar="INPUT", nargs="?", default="-",
                   help="JSON Lines file, or - for standard input (the default)")
    p.add_argument("--no-dedup", action="store_true",
                   help="store every value separately, even when equal")
    p.add_argument("--shards", type=int, metavar="N",
                   help="build a sharded store of N shards in the directory OUT, on Dask")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="with --shards: the Dask scheduler to use (default: a local cluster)")
    p.set_defaults(run=cmd_build)

    p = sub.add_parser("get", help="print the value of each key as JSON")
    p.add_argument("store", metavar="STORE")
    p.add_argument("keys", metavar="KEY", nargs="+")
    p.set_defaults(run=cmd_get)

    p = sub.add_parser("keys", help="print the keys, one per line")
    p.add_argument("store", metavar="STORE")
    p.add_argument("--prefix", metavar="P", help="only keys that begin with P")
    p.set_defaults(run=cmd_keys)

    p = sub.add_parser("dump", help="print the store as JSON Lines that build reads back")
    p.add_argument("store", metavar="STORE")
    p.add_argument("--prefix", metavar="P", help="only keys that begin with P")
    p.set_defaults(run=cmd_dump)

    p = sub.add_parser("stats", help="print the store's metadata")
    p.add_argument("store", metavar="STORE")
    p.add_argument("--json", action="store_true", help="as one JSON object")
    p.set_defaults(run=cmd_stats)

    p = sub.add_parser("verify", help="check every checksum of the store")
    p.add_argument("store", metavar="STORE")
    p.set_defaults(run=cmd_verify)
    return parser


def main(argv: Sequence[str] | None = None, out: IO[bytes] | None = None) -> int:
    args = make_parser().parse_args(argv)
    target: Any = out if out is not None else sys.stdout.buffer
    try:
        status: int = args.run(args, target)
        target.flush()
        return status
    except Failure as e:
        print(f"vornel: {e}", file=sys.stderr)
    except (OSError, RuntimeError, ValueError, VornDecodeError) as e:
        if isinstance(e, BrokenPipeError):
            # The reader went away (`vornel dump | head`): stop quietly.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        print(f"vornel: {e}", file=sys.stderr)
    except KeyboardInterrupt:
        return 130
    return 1
