"""A small typed caller, checked with mypy --strict: the package's signatures accept what
callers naturally hold (a dict[str, int] for update and build, hooks by keyword) and
vornel.open() gives one surface for both readers."""

import subprocess
import sys

import pytest

CALLER = '''
from collections.abc import Iterator
from typing import Any

import vornel
from vornel.errors import VornFileNotFoundError


def counts() -> dict[str, int]:
    return {"a": 1, "b": 2}


def raw_keys() -> dict[bytes, list[int]]:
    return {b"k": [1]}


def pairs() -> Iterator[tuple[str, float]]:
    yield "x", 1.5


def ext(code: int, data: bytes) -> Any:
    return (code, data)


def write(path: str) -> int:
    w = vornel.VornWriter(dedup=False, default=repr)
    w.update(counts())
    w.update(raw_keys())
    w.update(pairs())
    line: str = w.build(path, progress=print)
    vornel.build(path, counts())
    return w.builds + len(line)


def read(path: str) -> list[str]:
    try:
        store = vornel.open(path, verify=False, ext_hook=ext, object_hook=dict)
    except VornFileNotFoundError as e:
        return [str(e.filename)]
    with store as r:
        where: str = r.path
        closed: bool = r.closed
        raw: Any = r.raw
        first = next(iter(r.range(None, "m", reverse=True)), None)
        keys = [str(k) for k in r.prefix_keys("a")]
        return [where, str(closed), str(raw), str(first), *keys, str(r.get_many(["a"]))]
'''


def test_a_typed_caller_checks_strictly(tmp_path):
    pytest.importorskip("mypy")
    source = tmp_path / "caller.py"
    source.write_text(CALLER)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          str(source)], capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
