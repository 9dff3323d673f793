"""The `vornel` command: build, query, dump and check stores from the shell.

Data goes to standard output; the summary line, progress and messages go to standard
error, one line each. Exit status: 0 success, 1 a data problem (missing key, bad input
line, missing or corrupt store), 2 a usage error, 130 interrupted.
"""

from __future__ import annotations

import argparse
import functools
import itertools
import os
import shutil
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import ExitStack
from typing import IO, Any, BinaryIO, TypeVar

from . import jsonl
from .jsonl import KEY, KEY_PATH, LINE, TEXT, VALUE
from ._engine import size_text
from ._version import __version__
from .errors import DuplicateKeyError, LineError, VornError
from .keys import Key, exact_key, key_bytes
from .reader import StoreReader
from .writer import VornWriter

PROGRESS_EVERY = 4096  # lines between progress bar updates
CHUNK = 50_000  # pairs per input partition handed to a Dask cluster

DUPLICATE_POLICIES = ("error", "first", "last")

_T = TypeVar("_T")


class Failure(Exception):
    """An expected failure: reported as one line on standard error, exit status 1."""


class Usage(Exception):
    """Arguments that do not go together: reported as argparse reports, exit status 2."""


class Session:
    """What one run of the tool hands its command, and what an interrupt needs to know."""

    def __init__(self, out: BinaryIO) -> None:
        self.out = out
        self.writer: VornWriter | None = None  # set while `build` has a store to publish
        self.target = ""

    def published(self) -> bool:
        return self.writer is not None and self.writer.builds > 0


def open_store(path: str, verify: bool = False) -> StoreReader:
    """The store at `path` (a file, or a sharded store's directory)."""
    import vornel

    return vornel.open(path, verify)


def _key_arg(text: str) -> Key:
    # Command-line bytes that are not UTF-8 arrive as surrogate escapes: give them back
    # as the bytes they were.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(text)
    return text


def _counted(n: int, noun: str) -> str:
    """"1 key", "2 keys": a count and its noun, which agree."""
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _error_text(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror and error.filename:
        return f"{error.filename}: {error.strerror}"
    return str(error) or type(error).__name__


# -- build -------------------------------------------------------------------------------


def _reading_bar(stream: BinaryIO, total: int | None) -> Iterator[bytes]:
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


class _Progress:
    """The build's phases on standard error, each a bar with its count and rate."""

    UNITS = {"compress": " keys", "sort": " keys", "merge": " keys", "write": "B", "fsync": "B"}

    def __init__(self) -> None:
        self._phase = ""
        self._bar: Any = None

    def __call__(self, phase: str, done: int, total: int) -> None:
        from tqdm import tqdm

        if phase != self._phase:
            self.close()
            self._phase = phase
            unit = self.UNITS.get(phase, "")
            self._bar = tqdm(total=total, desc=phase, unit=unit.strip() or "it",
                             unit_scale=unit == "B", file=sys.stderr)
        self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _value_path(record: jsonl.Record) -> tuple[str, ...]:
    return ("value",) if record[KEY_PATH] == ("key",) else ()


def _rejected(name: str, record: jsonl.Record, error: Exception) -> LineError:
    """The error of a record the writer refused, pointing at its key or its value."""
    try:
        key_bytes(record[KEY])
        path = _value_path(record)
    except (TypeError, ValueError):
        path = record[KEY_PATH]
    return jsonl.line_error(name, record[LINE], record[TEXT], path, str(error))


def _duplicate(name: str, record: jsonl.Record) -> LineError:
    return jsonl.line_error(
        name, record[LINE], record[TEXT], record[KEY_PATH],
        f"duplicate key {record[KEY]!r} (--on-duplicate first or last keeps one of them)")


def stage(writer: VornWriter, records: Iterable[jsonl.Record], name: str) -> None:
    """Adds every record to `writer`; a repeated key is refused, skipped or rebinds, as
    the writer's `on_duplicate` says."""
    add = writer.add
    for record in records:
        _, _, key, value, _ = record
        try:
            add(key, value)
        except DuplicateKeyError:
            raise _duplicate(name, record) from None
        except (TypeError, ValueError, OverflowError) as error:
            raise _rejected(name, record, error) from None


class Changes:
    """What the change lines of a build did: `applied` of them changed the store; the
    rest, `missing` deletions of keys the stores lack (the first at line `first_missing`,
    key `missing_key`) and repeats that --on-duplicate first skipped, did not."""

    def __init__(self) -> None:
        self.lines = 0
        self.applied = 0
        self.missing = 0
        self.first_missing = 0
        self.missing_key: Key = ""

    def summary(self) -> str:
        """The summary line's account of them: "3 changes: 2 applied, 1 not"."""
        text = f"{_counted(self.lines, 'change')}: {self.applied} applied"
        return text if self.applied == self.lines else f"{text}, {self.lines - self.applied} not"


def apply_changes(
    writer: VornWriter, records: Iterable[jsonl.Record], name: str, policy: str
) -> Changes:
    """Applies change records to the stores `writer` includes: each replaces its key's
    value, or (DELETE) removes the key. A key changed twice is refused, skipped or
    changed again, as `policy` says. Returns what was applied and what was not."""
    seen: set[bytes] = set()
    done = Changes()
    for record in records:
        key, value = record[KEY], record[VALUE]
        done.lines += 1
        try:
            stored = key_bytes(key)
            if stored in seen:
                if policy == "error":
                    raise _duplicate(name, record)
                if policy == "first":
                    continue
            seen.add(stored)
            if value is jsonl.DELETE:
                if key not in writer:
                    if not done.missing:
                        done.first_missing, done.missing_key = record[LINE], key
                    done.missing += 1
                    continue
                writer.discard(key)
            else:
                writer.discard(key)
                writer.add(key, value)
            done.applied += 1
        except (TypeError, OverflowError) as error:
            raise _rejected(name, record, error) from None
        except ValueError as error:
            if isinstance(error, jsonl.LineError):
                raise
            raise _rejected(name, record, error) from None
    return done


def _check_target(path: str, sharded: bool) -> None:
    # Cheap checks before any input is read, so that a long read is not wasted.
    if sharded:
        if os.path.exists(path) and not os.path.isdir(path):
            raise Failure(f"{path} exists and is not a directory: a sharded store is a "
                          "directory of shards (remove the file or choose another OUT)")
        return
    if os.path.isdir(path):
        raise Failure(f"{path} is a directory; a store is one file")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise Failure(f"cannot build {path}: there is no directory {parent}")


# The first bytes of every store file.
STORE_MAGIC = b"VRNL"


def _not_lines(name: str, changes: bool) -> Failure:
    """The failure of a store given where JSON Lines go."""
    if changes:
        return Failure(f"{name} is a vornel store, not changes in JSON Lines: to merge it in, "
                       "give it with --from too")
    example = "" if name == "<stdin>" else f" (vornel build OUT --from {name})"
    return Failure(f"{name} is a vornel store, not JSON Lines: to build from it, give it with "
                   f"--from{example}")


def _input(path: str, stack: ExitStack, changes: bool = False) -> tuple[Iterable[bytes], str]:
    """The lines of the JSON Lines input `path` (- for standard input) and its name;
    `changes` when they are changes to stores given with --from."""
    from .sharded.layout import is_sharded

    name = "<stdin>" if path == "-" else path
    if path != "-" and is_sharded(path):
        raise _not_lines(name, changes)
    try:
        stream: BinaryIO = sys.stdin.buffer if path == "-" else stack.enter_context(
            open(path, "rb"))
    except OSError as e:
        raise Failure(f"cannot read {name}: {e.strerror}") from None
    peek = getattr(stream, "peek", None)
    if peek is not None and peek(len(STORE_MAGIC))[:len(STORE_MAGIC)] == STORE_MAGIC:
        raise _not_lines(name, changes)
    lines: Iterable[bytes] = stream
    if sys.stderr.isatty():
        total = None if path == "-" else os.fstat(stream.fileno()).st_size
        lines = _reading_bar(stream, total)
    return lines, name


def _compression(text: str) -> tuple[str, int | None]:
    """`zstd` or `zstd:LEVEL`, for --compress."""
    codec, colon, level = text.partition(":")
    if codec != "zstd":
        raise argparse.ArgumentTypeError(f"unknown codec {codec!r} (zstd is the one there is)")
    if not colon:
        return codec, None
    try:
        return codec, int(level)
    except ValueError:
        raise argparse.ArgumentTypeError(f"level {level!r} is not an integer") from None


def _writer(args: argparse.Namespace) -> VornWriter:
    """The writer a build or a merge stages in: its limit, runs beside OUT unless told."""
    run_dir = args.run_dir or os.path.dirname(os.path.abspath(args.out))
    codec, level = getattr(args, "compress", None) or (None, None)
    return VornWriter(dedup=not args.no_dedup, compression=codec, compression_level=level,
                      memory_limit=args.memory_limit, run_dir=run_dir,
                      on_duplicate=args.on_duplicate)


def _include(writer: VornWriter, stores: Sequence[str]) -> None:
    for store in stores:
        if not os.path.exists(store):
            raise Failure(f"no store {store}")
        writer.include(store)


def _holders(stores: Sequence[str], key: Key) -> list[str]:
    """The stores among `stores` that hold `key`."""
    found = []
    for store in stores:
        with open_store(store) as reader:
            if key in reader:
                found.append(store)
    return found


def _publish(writer: VornWriter, args: argparse.Namespace, session: Session,
             name: str | None, stores: Sequence[str] = (),
             changes: Changes | None = None) -> int:
    """Builds OUT with a progress bar on a terminal; the summary line (with what the
    `changes` did) to standard error. A duplicate found in the build is reported against
    the input `name`, or the `stores` that hold it."""
    session.writer, session.target = writer, args.out
    progress = _Progress() if sys.stderr.isatty() else None
    try:
        summary = writer.build(args.out, progress=progress)
    except DuplicateKeyError as e:
        where = f"{name}: " if name else ""
        holders = _holders(stores, e.key) if stores else []
        within = f" in {' and '.join(holders)}" if len(holders) > 1 else ""
        raise Failure(f"{where}duplicate key {e.key!r}{within} (--on-duplicate first or last "
                      "keeps one of them)") from None
    finally:
        if progress is not None:
            progress.close()
    if changes is not None:
        summary += f" · {changes.summary()}"
    print(summary, file=sys.stderr)
    return 0


def cmd_build(args: argparse.Namespace, session: Session) -> int:
    sources: list[str] = args.source or []
    changes = args.input if args.input is not None else (None if sources else "-")
    if sources and changes is None and args.key is not None:
        raise Usage("--key reads change records: give CHANGES after --from")
    if args.numeric_key and args.key is None:
        raise Usage("--numeric-key goes with --key FIELD")
    sharded = args.shards is not None
    _check_target(args.out, sharded)
    if sharded:
        if len(sources) > 1 or (sources and changes is not None):
            raise Usage("--shards builds from one --from STORE, or from JSON Lines")
        return _build_sharded_from(args, sources, changes)
    writer = _writer(args)
    name = None
    done: Changes | None = None
    with ExitStack() as stack:
        _include(writer, sources)
        if changes is not None:
            lines, name = _input(changes, stack, bool(sources))
            records = jsonl.read_records(lines, name, args.key, args.numeric_key,
                                         deletions=bool(sources))
            if sources:
                done = apply_changes(writer, records, name, args.on_duplicate)
            else:
                stage(writer, records, name)
    if not sources:
        return _publish(writer, args, session, name)
    status = _publish(writer, args, session, None, sources, done)
    if done is not None and done.missing:
        more = f" (and {_counted(done.missing - 1, 'more such line')})" if done.missing > 1 else ""
        print(f"vornel: {name}:{done.first_missing}: no key {done.missing_key!r} in the stores"
              f" to delete{more}", file=sys.stderr)
    return status


def cmd_merge(args: argparse.Namespace, session: Session) -> int:
    _check_target(args.out, False)
    writer = _writer(args)
    _include(writer, args.stores)
    return _publish(writer, args, session, None, args.stores)


def _build_sharded_from(args: argparse.Namespace, sources: list[str], changes: str | None) -> int:
    vornel_dask = _dask_modules()
    with ExitStack() as stack:
        if sources:
            # A store holds each key once: its pairs need no checks and no duplicate policy.
            pairs = _store_pairs(stack.enter_context(open_store(sources[0])))
            return _build_sharded(args, sources[0], pairs, _as_pairs, vornel_dask)
        assert changes is not None
        lines, name = _input(changes, stack)
        records = jsonl.read_records(lines, name, args.key, args.numeric_key)
        return _build_sharded(args, name, _checked(records, name), _triples_as_pairs,
                              vornel_dask)


def _store_pairs(store: StoreReader) -> Iterable[tuple[Key, Any]]:
    items: Iterable[tuple[Key, Any]] = store.items()
    if sys.stderr.isatty():
        from tqdm import tqdm

        items = tqdm(items, total=len(store), unit=" keys", desc="reading", file=sys.stderr)
    return items


# -- build --shards: a sharded store on Dask ---------------------------------------------


def _dask_modules() -> Any:
    try:
        import dask.bag  # noqa: F401
        import distributed  # noqa: F401
        from dask.delayed import delayed  # noqa: F401

        from . import dask as vornel_dask
    except ImportError as e:
        raise Failure(
            f"--shards needs Dask ({e}): install the package with its dask extra, "
            f"{sys.executable} -m pip install \".[dask]\" in a checkout of vornel") from None
    return vornel_dask


def _checked(records: Iterable[jsonl.Record], name: str) -> Iterator[tuple[int, Key, Any]]:
    # The shards are built on the workers: check each pair here, where its line is known.
    from ._engine import packb

    for record in records:
        try:
            key_bytes(record[KEY])
        except (TypeError, ValueError) as error:
            raise jsonl.line_error(name, record[LINE], record[TEXT], record[KEY_PATH],
                                   str(error)) from None
        try:
            packb(record[VALUE])
        except (TypeError, ValueError, OverflowError) as error:
            raise jsonl.line_error(
                name, record[LINE], record[TEXT], _value_path(record),
                f"cannot encode the value of key {record[KEY]!r}: {error}") from None
        yield record[LINE], record[KEY], record[VALUE]


def _chunks(items: Iterable[_T]) -> Iterator[list[_T]]:
    iterator = iter(items)
    while chunk := list(itertools.islice(iterator, CHUNK)):
        yield chunk


def _pair(triple: tuple[int, Key, Any]) -> tuple[Key, Any]:
    return triple[1], triple[2]


def _as_pairs(bag: Any) -> Any:
    return bag


def _triples_as_pairs(bag: Any) -> Any:
    return bag.map(_pair)


def _build_sharded(
    args: argparse.Namespace, name: str, items: Iterable[Any],
    to_pairs: Callable[[Any], Any], vornel_dask: Any,
) -> int:
    """Builds the set from `items`, which go to the cluster as they are read; `to_pairs`
    turns the bag of them into the bag of pairs to build. A build that fails or is
    interrupted leaves OUT as it was."""
    existed = os.path.lexists(args.out)
    before = set(os.listdir(args.out)) if existed else set()
    try:
        manifest = _run_sharded(args, name, items, to_pairs, vornel_dask)
    except BaseException:
        _discard_failed_build(args.out, existed, before)
        raise
    size = size_text(sum(int(entry["file_size"]) for entry in manifest["shards"]))
    print(f"✅  {args.out}  —  {_counted(manifest['shard_count'], 'shard')} · "
          f"{_counted(manifest['num_objects'], 'object')} · "
          f"{_counted(manifest['num_keys'], 'key')} · {size}", file=sys.stderr)
    return 0


def _run_sharded(
    args: argparse.Namespace, name: str, items: Iterable[Any],
    to_pairs: Callable[[Any], Any], vornel_dask: Any,
) -> dict[str, Any]:
    import dask.bag
    import distributed
    from dask.delayed import delayed

    # The first chunk is read before a cluster starts, so that an early bad line costs none.
    chunks = _chunks(items)
    first = next(chunks, None)
    with ExitStack() as stack:
        try:
            # The wait for a scheduler is Dask's connect timeout (30 s unless configured).
            client = stack.enter_context(vornel_dask.cluster_client(args.scheduler))
        except OSError as e:
            if args.scheduler is None:
                raise Failure(f"cannot start a local Dask cluster: {e}") from None
            raise Failure(f"cannot reach the Dask scheduler {args.scheduler}: {e}") from None
        # Partitions go to the workers as they are read: this process holds one at a time,
        # and the task graph carries only their names.
        parts = [delayed(client.scatter([chunk])[0])
                 for chunk in itertools.chain([first] if first else [], chunks)]
        bag = dask.bag.from_delayed(parts)  # type: ignore[no-untyped-call]
        pairs = to_pairs(bag)
        try:
            # The input's order is the partitions' order: "first" and "last" keep to it.
            codec, level = args.compress or (None, None)
            manifest: dict[str, Any] = vornel_dask.build_sharded(
                pairs, args.out, shards=args.shards, dedup=not args.no_dedup, scheduler=client,
                on_duplicate=args.on_duplicate, memory_limit=args.memory_limit,
                compression=codec, compression_level=level)
        except DuplicateKeyError as e:
            raise Failure(f"{name}: duplicate key {e.key!r} (--on-duplicate first or last keeps "
                          "one of them); no new set was published") from None
        except (TypeError, ValueError, OverflowError, distributed.KilledWorker) as e:
            raise Failure(f"{name}: {e}; no new set was published") from None
    return manifest


def _discard_failed_build(out: str, existed: bool, before: set[str]) -> None:
    """Removes what a failed build left in `out`, its cluster closed: `out` itself when
    the build made it and no set was published there, else the version folder it took."""
    from .sharded import FAILED_MARKER, is_sharded, remove_failed
    from .sharded.layout import version_number

    if not existed:
        if os.path.isdir(out) and not is_sharded(out):
            shutil.rmtree(out, ignore_errors=True)
        return
    if not os.path.isdir(out):
        return
    for name in set(os.listdir(out)) - before:
        folder = os.path.join(out, name)
        # The killed workers' locks go as the system reaps them: a moment at most.
        for _ in range(50):
            if version_number(name) is None or not os.path.lexists(
                    os.path.join(folder, FAILED_MARKER)) or remove_failed(folder):
                break
            time.sleep(0.05)


# -- reading commands --------------------------------------------------------------------


def _stdin_keys(null: bool) -> Iterator[Key]:
    """The keys on standard input: one per line, or each ended by a NUL with `null`."""
    stream: Any = sys.stdin.buffer  # a BufferedReader: read1() takes what a pipe has
    if not null:
        for line in stream:
            yield exact_key(line[:-1] if line.endswith(b"\n") else line)
        return
    pending = b""
    while chunk := stream.read1(1 << 16):
        *done, pending = (pending + chunk).split(b"\0")
        yield from map(exact_key, done)
    if pending:
        yield exact_key(pending)


def _keys_asked(args: argparse.Namespace) -> Iterator[Key]:
    for text in args.keys:
        if text == "-":
            yield from _stdin_keys(args.null)
        else:
            yield _key_arg(text)


def cmd_get(args: argparse.Namespace, session: Session) -> int:
    if args.null and "-" not in args.keys:
        raise Usage("--null says how keys on standard input end: give - as a KEY")
    status = 0
    out = session.out
    with open_store(args.store) as store:
        for key in _keys_asked(args):
            try:
                value = store[key]
            except KeyError:
                # An empty line, which no value prints as, keeps the output in step with
                # the keys asked for.
                out.write(b"\n")
                print(f"vornel: no key {key!r} in {args.store}", file=sys.stderr)
                status = 1
                continue
            out.write(jsonl.value_line(value))
    return status


def _prefix_end(prefix: bytes) -> bytes | None:
    """The least key above every key that begins with `prefix`; None when none is."""
    head = prefix.rstrip(b"\xff")
    return head[:-1] + bytes([head[-1] + 1]) if head else None


def _bounds(args: argparse.Namespace) -> tuple[bytes | None, bytes | None]:
    """The stored keys `start <= key < stop` that --prefix, --start and --stop leave."""
    start = None if args.start is None else key_bytes(_key_arg(args.start))
    stop = None if args.stop is None else key_bytes(_key_arg(args.stop))
    if args.prefix is not None:
        prefix = key_bytes(_key_arg(args.prefix))
        end = _prefix_end(prefix)
        start = prefix if start is None else max(start, prefix)
        stop = end if stop is None else stop if end is None else min(stop, end)
    return start, stop


def _limited(items: Iterator[_T], args: argparse.Namespace) -> Iterator[_T]:
    return items if args.limit is None else itertools.islice(items, args.limit)


def cmd_keys(args: argparse.Namespace, session: Session) -> int:
    out = session.out
    with open_store(args.store) as store:
        start, stop = _bounds(args)
        keys = _limited(store.range_keys(start, stop, reverse=args.reverse), args)
        if args.json:
            for key in keys:
                out.write(jsonl.dumps(jsonl.encode_key(key)))
        else:
            end = b"\0" if args.null else b"\n"
            for key in keys:
                out.write((key.encode("utf-8") if isinstance(key, str) else key) + end)
    return 0


def cmd_dump(args: argparse.Namespace, session: Session) -> int:
    write = session.out.write
    with open_store(args.store) as store:
        start, stop = _bounds(args)
        for piece in jsonl.pair_lines(_limited(store.range(start, stop, reverse=args.reverse),
                                               args)):
            write(piece)
    return 0


def _size(n: int) -> str:
    return size_text(n) if n < 1024 else f"{size_text(n)} ({n:,} bytes)"


def _text(name: str, value: Any) -> str:
    if name == "file_size" and isinstance(value, int):
        return _size(value)
    if isinstance(value, int) and not isinstance(value, bool) and name.startswith("num_"):
        return f"{value:,}"
    if name == "compression":
        return "none" if value is None else str(value)
    if name == "compression_ratio" and isinstance(value, float):
        return f"{value:.2f}x"
    return str(value)


def _table(rows: list[dict[str, Any]]) -> list[str]:
    columns = ["shard", *dict.fromkeys(name for row in rows for name in row if name != "index")]
    cells = [[str(i), *(_text(c, row.get(c, "")).split(" (")[0] for c in columns[1:])]
             for i, row in enumerate(rows)]
    widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
    numeric = [all(r[i].replace(",", "").isdigit() for r in cells) for i in range(len(columns))]

    def line(values: Sequence[str]) -> str:
        return "  ".join(v.rjust(w) if num else v.ljust(w)
                         for v, w, num in zip(values, widths, numeric)).rstrip()

    return [line(columns), *(line(r) for r in cells)]


def cmd_stats(args: argparse.Namespace, session: Session) -> int:
    with open_store(args.store, verify=False) as store:
        stats = store.stats()
    if args.json:
        session.out.write(jsonl.dumps(stats))
        return 0
    shards = stats.pop("shards", None)
    width = max(len(name) for name in stats)
    lines = [f"{name:<{width}}  {_text(name, value)}" for name, value in stats.items()]
    if isinstance(shards, list) and shards:
        lines += ["", *_table(shards)]
    session.out.write("".join(f"{line}\n" for line in lines).encode())
    return 0


def cmd_prune(args: argparse.Namespace, session: Session) -> int:
    import warnings

    from .sharded import prune

    if not os.path.isdir(args.directory):
        what = "no directory" if not os.path.lexists(args.directory) else "not a directory:"
        raise Failure(f"{what} {args.directory}; prune takes a sharded store's directory")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        removed = prune(args.directory, keep=args.keep)
    for warning in caught:
        print(f"vornel: {warning.message}", file=sys.stderr)
    for path in removed:
        session.out.write(os.fsencode(path) + b"\n")
    print(f"vornel: removed {_counted(len(removed), 'version folder')}", file=sys.stderr)
    return 0


def cmd_verify(args: argparse.Namespace, session: Session) -> int:
    with open_store(args.store, verify=False) as store:
        store.verify()
    session.out.write(b"OK\n")
    return 0


# -- arguments ---------------------------------------------------------------------------

FORMS = """\
input and output are JSON Lines, one JSON value per line (UTF-8, RFC 8259):
  {"key": "city:bern", "value": {"population": 134000}}
what JSON cannot hold is written as an object with one "$" member:
  {"$bytes": "AAE="}            bytes (base64), or a key that is not UTF-8
  {"$float": "nan"}             "nan", "inf" or "-inf"
  {"$map": [[1, "a"]]}          a map with keys that are not strings
  {"$ext": [5, "AQI="]}         a MessagePack extension type (code -1: a timestamp)
  {"$esc": {"$bytes": 1}}       a one-member map whose name begins with "$", as it is
"""


_SIZE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
_SIZE_BOUND = 1 << 64  # memory limits are counted in 64 bits


def _memory_size(text: str) -> int:
    """A size in bytes: a number, or one with K, M, G or T (powers of 1024; a trailing
    "B" or "iB" is allowed), as in 512M or 2GiB."""
    spelled = text.strip().lower()
    for suffix in ("ib", "b"):
        if spelled.endswith(suffix) and spelled[:-len(suffix)][-1:].isalpha():
            spelled = spelled[:-len(suffix)]
            break
    unit = spelled[-1:] if spelled[-1:].isalpha() else ""
    number = spelled[: len(spelled) - len(unit)]
    if unit not in _SIZE_UNITS or not number.replace(".", "", 1).isdigit():
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (for example 512M or 2G)")
    from fractions import Fraction  # exact: a float would round, and overflow on long numbers

    size = int(Fraction(number) * _SIZE_UNITS[unit])
    if size < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte, not {text!r}")
    if size >= _SIZE_BOUND:
        raise argparse.ArgumentTypeError(f"must be below 2**64 bytes, not {text!r}")
    return size


def _at_least(least: int, text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if number < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, not {number}")
    return number


_positive = functools.partial(_at_least, 1)
_count = functools.partial(_at_least, 0)


CHANGES = """\
with --from, INPUT holds changes: a line {"key": ..., "value": ...} sets a key, and
  {"key": ..., "delete": true}  removes one
"""


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vornel",
        description="Build, query, dump and check vornel stores: immutable key-to-value "
        "files, read back as JSON Lines.",
        epilog="Run `vornel COMMAND --help` for a command's arguments. Exit status: 0 "
        "success, 1 a data problem (missing key, bad input line, missing or corrupt store), "
        "2 a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"vornel {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, run: Callable[..., int], **more: Any) -> Any:
        p = sub.add_parser(name, help=summary, description=summary[0].upper() + summary[1:]
                           + ".", formatter_class=argparse.RawDescriptionHelpFormatter, **more)
        p.set_defaults(run=run, command_parser=p)
        return p

    def memory_options(p: Any) -> None:
        p.add_argument("--memory-limit", type=_memory_size, metavar="SIZE",
                       help="memory that staging holds before it writes a sorted run to disk, "
                       "as 512M or 2G (default: a quarter of the machine's memory)")
        p.add_argument("--run-dir", metavar="DIR",
                       help="where the runs go, for example \"$TMPDIR\" (default: beside OUT); "
                       "they have no names there and vanish with the build")

    def compress_option(p: Any) -> None:
        p.add_argument("--compress", type=_compression, metavar="zstd[:LEVEL]",
                       help="compress the values with a dictionary trained on them (LEVEL: "
                       "zstd's, 3 by default)")

    p = command("build", "build a store from JSON Lines, or from another store", cmd_build,
                epilog=FORMS + CHANGES)
    p.add_argument("out", metavar="OUT", help="the store file to write (with --shards, "
                   "the directory)")
    p.add_argument("input", metavar="INPUT", nargs="?",
                   help="JSON Lines file, or - for standard input (the default); with "
                   "--from, the changes to make to the stores (none unless given)")
    p.add_argument("--key", metavar="FIELD",
                   help="take each line as a record: its member FIELD is the key and the "
                   "whole record the value (default: lines are {\"key\": ..., \"value\": ...})")
    p.add_argument("--numeric-key", action="store_true",
                   help="with --key: a member FIELD that is an integer gives its decimal "
                   "text as the key (without this, a number there is an error)")
    p.add_argument("--on-duplicate", choices=DUPLICATE_POLICIES, default="error",
                   help="a key given again: stop with an error (the default), keep the first "
                   "value, or keep the last")
    p.add_argument("--from", dest="source", metavar="STORE", action="append",
                   help="start from the store STORE (a file or a sharded directory), its "
                   "values copied as they are; given again, the stores are merged as "
                   "--on-duplicate says")
    p.add_argument("--no-dedup", action="store_true",
                   help="store every value separately, even when equal")
    memory_options(p)
    compress_option(p)
    p.add_argument("--shards", type=_positive, metavar="N",
                   help="build a sharded store of N shards in the directory OUT, on Dask")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="with --shards: the Dask scheduler to use (default: a local cluster)")

    p = command("merge", "merge stores into one", cmd_merge,
                epilog="Values are copied without decoding them (a compressed store's are "
                "decompressed, and compressed again with --compress). A key "
                "in more than one store stops the merge, unless --on-duplicate first or "
                "last says which store's value to keep (in the order given).")
    p.add_argument("out", metavar="OUT", help="the store file to write")
    p.add_argument("stores", metavar="STORE", nargs="+",
                   help="a store file or a sharded directory")
    p.add_argument("--on-duplicate", choices=DUPLICATE_POLICIES, default="error",
                   help="a key in more than one store: stop with an error (the default), "
                   "keep the first store's value, or the last one's")
    p.add_argument("--no-dedup", action="store_true",
                   help="keep values that the stores hold separately apart, even when equal")
    memory_options(p)
    compress_option(p)

    p = command("get", "print the value of each key as one JSON line", cmd_get,
                epilog="A missing key prints an empty line, so that the output keeps step "
                "with the keys; it is named on standard error and the exit status is 1.")
    p.add_argument("store", metavar="STORE", help="a store file or a sharded directory")
    p.add_argument("keys", metavar="KEY", nargs="+",
                   help="the keys to look up; - reads keys from standard input, one per line")
    p.add_argument("--null", "-0", action="store_true",
                   help="keys on standard input end with a NUL byte instead (for keys "
                   "holding newlines)")

    def selection(p: argparse.ArgumentParser) -> None:
        p.add_argument("--prefix", metavar="P", help="only keys that begin with P")
        p.add_argument("--start", metavar="KEY", help="only keys from KEY on (byte order)")
        p.add_argument("--stop", metavar="KEY", help="only keys before KEY")
        p.add_argument("--reverse", action="store_true", help="in descending key order")
        p.add_argument("--limit", type=_count, metavar="N", help="at most N keys")

    p = command("keys", "print the keys in key order, one per line", cmd_keys)
    p.add_argument("store", metavar="STORE", help="a store file or a sharded directory")
    selection(p)
    form = p.add_mutually_exclusive_group()
    form.add_argument("--null", "-0", action="store_true",
                      help="end each key with a NUL byte instead (for keys holding newlines)")
    form.add_argument("--json", action="store_true",
                      help="each key as a JSON string, or {\"$bytes\": ...} when not UTF-8")

    p = command("dump", "print the store as JSON Lines that build reads back", cmd_dump,
                epilog=FORMS)
    p.add_argument("store", metavar="STORE", help="a store file or a sharded directory")
    selection(p)

    p = command("stats", "print the store's metadata", cmd_stats)
    p.add_argument("store", metavar="STORE", help="a store file or a sharded directory")
    p.add_argument("--json", action="store_true",
                   help="as one JSON object (sizes in bytes)")

    p = command("prune", "remove a sharded store's old sets and failed builds", cmd_prune,
                epilog="Prints each version folder it removes. Never removes the current set "
                "or a folder that a build still uses; a folder newer than the current set "
                "goes only when its build failed.")
    p.add_argument("directory", metavar="DIR", help="the sharded store's directory")
    p.add_argument("--keep", type=_positive, default=1, metavar="N",
                   help="complete sets to keep, the current one included (default: 1)")

    p = command("verify", "check every checksum of the store; print OK", cmd_verify)
    p.add_argument("store", metavar="STORE", help="a store file or a sharded directory")
    return parser


# Tags of the JSON form are decoded a few calls deep per level: enough room for the
# deepest value a store holds.
RECURSION_LIMIT = 8 * jsonl.MAX_DEPTH


def main(argv: Sequence[str] | None = None, out: IO[bytes] | None = None) -> int:
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, RECURSION_LIMIT))
    try:
        return _run(argv, out)
    finally:
        sys.setrecursionlimit(limit)


def _run(argv: Sequence[str] | None, out: IO[bytes] | None) -> int:
    parser = make_parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    args, rest = parser.parse_known_args(argv)
    if rest:
        # argparse takes positionals in runs between options, so `build OUT --key id IN`
        # leaves IN over: read the command's own arguments again, options and positionals
        # intermixed. Global options take no values, so the command is the first word.
        command = argv.index(args.command)
        args = args.command_parser.parse_intermixed_args(argv[command + 1:])
    target: Any = out if out is not None else sys.stdout.buffer
    session = Session(target)
    try:
        status: int = args.run(args, session)
        target.flush()
        return status
    except Usage as e:
        args.command_parser.error(str(e))
    except (Failure, LineError) as e:
        print(f"vornel: {e}", file=sys.stderr)
    except BrokenPipeError:
        # The reader went away (`vornel dump | head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (VornError, OSError, RuntimeError, ValueError) as e:
        print(f"vornel: {_error_text(e)}", file=sys.stderr)
    except KeyboardInterrupt:
        if session.published():
            # Ctrl-C came once the store was in place: the build is done.
            print(f"vornel: {session.target} was published before the interrupt",
                  file=sys.stderr)
            return 0
        print("vornel: interrupted", file=sys.stderr)
        return 130
    return 1
