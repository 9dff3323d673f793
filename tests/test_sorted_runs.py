"""Builds from sorted runs: a writer held to a tiny memory limit against the same calls
with no limit, byte for byte; stores made from stores; duplicate policies across runs;
and what a full disk or a damaged source leaves behind."""

import errno
import json
import os
import shutil
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import childproc
import vornel
from vornel import VornReader, VornWriter
from vornel.errors import DuplicateKeyError, VornCorruptError, VornIOError

UNLIMITED = 1 << 40

keys = st.sampled_from([f"k{i}" for i in range(40)] + [b"\xff", "", "é"])
# Few distinct values, so that dedup and sharing have work to do.
values = st.sampled_from([0, 1, "x", "y" * 50, b"\x00" * 20, [1, 2], {"a": None}]) | st.integers(-(2**63), 2**64 - 1)
calls = st.lists(
    st.one_of(
        st.tuples(st.just("add"), keys, values),
        st.tuples(st.just("add_many"), st.lists(keys, max_size=4), values),
        st.tuples(st.just("update"), st.lists(st.tuples(keys, values), max_size=6)),
        st.tuples(st.just("delete"), keys),
        st.tuples(st.just("include"), st.integers(0, 1)),
    ),
    max_size=60,
)


def key_bytes(key):
    return key.encode() if isinstance(key, str) else key


def replay(writer, steps, bases, model):
    """Makes `steps` on `writer` and, alike, on the dict `model` (keyed by key bytes)."""
    for step in steps:
        if step[0] == "add":
            writer.add(step[1], step[2])
            model[key_bytes(step[1])] = step[2]
        elif step[0] == "add_many":
            writer.add_many(step[1], step[2])
            model.update((key_bytes(k), step[2]) for k in step[1])
        elif step[0] == "update":
            writer.update(step[1])
            model.update((key_bytes(k), v) for k, v in step[1])
        elif step[0] == "delete":
            if key_bytes(step[1]) in model:
                del writer[step[1]]
                del model[key_bytes(step[1])]
            else:
                with pytest.raises(KeyError):
                    del writer[step[1]]
                writer.discard(step[1])
        else:
            path, contents = bases[step[1]]
            writer.include(path)
            model.update(contents)


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    """Two stores to include: one sharing values between keys, one made without dedup."""
    folder = tmp_path_factory.mktemp("bases")
    made = []
    for n, dedup in ((0, True), (1, False)):
        contents = {f"k{i}".encode(): i % 3 for i in range(n * 7, n * 7 + 25)}
        w = VornWriter(dedup=dedup)
        w.update(contents.items())
        w.build(folder / f"base{n}.vrnl")
        made.append((str(folder / f"base{n}.vrnl"), contents))
    return made


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=calls, limit=st.integers(1, 3000), dedup=st.booleans(),
       compression=st.sampled_from([None, "zstd"]))
def test_a_limited_build_is_the_unlimited_build(tmp_path, bases, steps, limit, dedup, compression):
    built = []
    for memory_limit in (UNLIMITED, limit):
        w = VornWriter(dedup=dedup, memory_limit=memory_limit, run_dir=tmp_path,
                       compression=compression)
        model = {}
        replay(w, steps, bases, model)
        assert len(w) == len(model)
        assert all(k in w for k in model) and b"absent" not in w
        path = tmp_path / f"{memory_limit}.vrnl"
        w.build(path)
        built.append(path.read_bytes())
        with VornReader(path) as r:
            assert {key_bytes(k): v for k, v in r.items()} == {
                k: list(v) if isinstance(v, tuple) else v for k, v in model.items()}
    assert built[0] == built[1]
    # The runs had no names: nothing is left beside the stores.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([f"{UNLIMITED}.vrnl", f"{limit}.vrnl"])
    if dedup and all(step[0] != "include" for step in steps):
        # Only live values, in key order: the file that staging the final mapping gives.
        # (An included store's records are copied as it holds them, never merged.)
        final = VornWriter(compression=compression)
        final.update(reversed(list(model.items())))
        final.build(tmp_path / "final.vrnl")
        assert (tmp_path / "final.vrnl").read_bytes() == built[0]
        os.unlink(tmp_path / "final.vrnl")
    for path in tmp_path.iterdir():
        os.unlink(path)


def apply(writer, step, bases):
    kind, *args = step
    if kind == "delete":
        del writer[args[0]]
    elif kind == "include":
        writer.include(bases[args[0]][0])
    else:
        getattr(writer, kind)(*args)


def outcome(call):
    """What a call did: nothing to report, or the refusal it raised."""
    try:
        call()
    except (DuplicateKeyError, KeyError) as e:
        return type(e).__name__, getattr(e, "key", e.args)
    return None


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=calls, limit=st.integers(1, 3000))
def test_a_limited_writer_refuses_the_same_duplicates(tmp_path, bases, steps, limit):
    # Under "error", a key staged again is refused by the same call, whether its first
    # copy is still in memory or went to a run; what builds is then the same file.
    writers = [VornWriter(memory_limit=m, run_dir=tmp_path, on_duplicate="error")
               for m in (UNLIMITED, limit)]
    for step in steps:
        seen = [outcome(lambda: apply(w, step, bases)) for w in writers]
        assert seen[0] == seen[1], step
    assert len(writers[0]) == len(writers[1])
    paths = [tmp_path / "unlimited.vrnl", tmp_path / "limited.vrnl"]
    built = [outcome(lambda: w.build(p)) for w, p in zip(writers, paths)]
    assert built[0] == built[1]
    if built[0] is None:
        assert paths[0].read_bytes() == paths[1].read_bytes()
    for path in tmp_path.iterdir():
        os.unlink(path)


def test_spills_go_to_runs_and_the_store_has_each_value_once(tmp_path):
    w = VornWriter(memory_limit=200_000, run_dir=tmp_path)
    w.update((f"key{i:06d}", i % 1000) for i in range(50_000))
    w.update((f"key{i:06d}", "again") for i in range(0, 50_000, 2))
    assert w._runs > 3
    assert os.listdir(tmp_path) == []  # runs are never named in a directory
    w.build(tmp_path / "s.vrnl")
    with VornReader(tmp_path / "s.vrnl") as r:
        assert r.stats()["num_objects"] == 501  # odd i % 1000, and "again"
        assert len(r) == 50_000 and r["key000002"] == "again" and r["key000003"] == 3


class TestStoresFromStores:
    @pytest.mark.parametrize("dedup", [True, False])
    def test_include_then_build_gives_the_store_back(self, tmp_path, bases, dedup):
        # One made with dedup and one without: either way, copied as it is.
        for path, _ in bases:
            w = VornWriter(dedup=dedup)
            w.include(path)
            w.build(tmp_path / "again.vrnl")
            assert (tmp_path / "again.vrnl").read_bytes() == open(path, "rb").read()

    def test_staged_values_share_a_stores_records_and_stores_stay_apart(self, tmp_path):
        vornel.build(tmp_path / "a.vrnl", {"a1": "x" * 40, "a2": "y" * 40, "a3": "z" * 40})
        vornel.build(tmp_path / "b.vrnl", {"b1": "x" * 40, "b3": "z" * 40})
        w = VornWriter()
        w.include(tmp_path / "a.vrnl")
        w.include(tmp_path / "b.vrnl")
        w.update([("c1", "y" * 40), ("0first", "x" * 40), ("zlast", "new")])
        w.build(tmp_path / "out.vrnl")
        raw = vornel.open(tmp_path / "out.vrnl").raw
        # The staged "x" and "y" share the stores' equal records; the two stores' "z"
        # records, which no staged value equals, are copied as each store holds them.
        assert raw.stats()["num_objects"] - 1 == 5  # x, y, z (a), z (b), "new"
        assert raw.get_raw("0first") == raw.get_raw("a1") == raw.get_raw("b1")
        assert raw.get_raw("c1") == raw.get_raw("a2")

    def test_sources_are_paths_readers_and_sharded_stores(self, tmp_path, bases):
        pytest.importorskip("dask")
        from vornel.sharded import build_shard, new_version, publish

        version = new_version(tmp_path / "set")
        entries = [build_shard([(f"s{i}", i) for i in range(j, 40, 2)], version, j) for j in (0, 1)]
        publish(tmp_path / "set", version, 2, entries)
        for source in (tmp_path / "set", vornel.open(tmp_path / "set")):
            w = VornWriter()
            w.include(source)
            w.include(VornReader(bases[0][0]))
            w.build(tmp_path / "all.vrnl")
            assert dict(vornel.open(tmp_path / "all.vrnl")) == {
                **{f"s{i}": i for i in range(40)}, **{k.decode(): v for k, v in bases[0][1].items()}}

    def test_a_reader_whose_file_was_replaced_is_refused(self, tmp_path):
        vornel.build(tmp_path / "s.vrnl", {"a": 1})
        reader = VornReader(tmp_path / "s.vrnl")
        vornel.build(tmp_path / "s.vrnl", {"a": 2})
        with pytest.raises(vornel.VornError, match="no longer the file the reader opened"):
            VornWriter().include(reader)

    @pytest.mark.parametrize("policy, expected", [("last", 2), ("first", 1), ("error", None)])
    def test_duplicate_policy_in_memory_and_across_sources(self, tmp_path, policy, expected):
        vornel.build(tmp_path / "a.vrnl", {"k": 1, "a": 0})
        vornel.build(tmp_path / "b.vrnl", {"k": 2, "b": 0})
        w = VornWriter(on_duplicate=policy)
        w.include(tmp_path / "a.vrnl")
        w.include(tmp_path / "b.vrnl")
        same = VornWriter(on_duplicate=policy)
        same.add("k", 1)
        if expected is None:
            with pytest.raises(DuplicateKeyError) as raised:
                w.build(tmp_path / "out.vrnl")
            assert raised.value.key == "k"
            with pytest.raises(DuplicateKeyError, match="duplicate key 'k'"):
                same.add("k", 2)
            with pytest.raises(DuplicateKeyError):
                same.update([("j", 0), ("k", 2), ("i", 0)])
            assert "j" in same and "i" not in same  # pairs before the refused one stay
            assert not (tmp_path / "out.vrnl").exists()
            return
        w.build(tmp_path / "out.vrnl")
        assert dict(vornel.open(tmp_path / "out.vrnl")) == {"k": expected, "a": 0, "b": 0}
        same.add("k", 2)
        same.build(tmp_path / "same.vrnl")
        assert vornel.open(tmp_path / "same.vrnl")["k"] == expected

    def test_a_deleted_key_staged_again_is_no_duplicate(self, tmp_path):
        vornel.build(tmp_path / "a.vrnl", {"k": 1})
        w = VornWriter(on_duplicate="error")
        w.include(tmp_path / "a.vrnl")
        del w["k"]
        w["k"] = 2
        w.build(tmp_path / "out.vrnl")
        assert dict(vornel.open(tmp_path / "out.vrnl")) == {"k": 2}


class TestCompressedStores:
    """A compressed store's values are given decompressed to the build that includes it,
    which compresses them again with a dictionary of its own, or not at all."""

    @pytest.fixture
    def stores(self, tmp_path):
        from test_compression import records

        items = records(1500)
        made = {}
        for compression in (None, "zstd"):
            path = tmp_path / f"{compression}.vrnl"
            w = VornWriter(compression=compression)
            w.update(items.items())
            w.build(path)
            made[compression] = path
        return items, made

    @pytest.mark.parametrize("source, compression", [
        ("zstd", None), ("zstd", "zstd"), (None, "zstd"), ("zstd", "zstd:19")])
    def test_included_with_changes_is_the_fresh_build(self, tmp_path, stores, source,
                                                       compression):
        from _vornel import _VornReader
        from test_compression import as_read

        items, made = stores
        codec, _, level = (compression or "").partition(":")
        options = {"compression": codec or None, "compression_level": int(level) if level else None}
        w = VornWriter(memory_limit=20_000, run_dir=tmp_path, **options)
        w.include(made[source])
        w.add("added", items["pkg:0:00001"])
        del w["pkg:0:00002"]
        w.build(tmp_path / "out.vrnl")
        expected = {**items, "added": items["pkg:0:00001"]}
        del expected["pkg:0:00002"]
        with VornReader(tmp_path / "out.vrnl") as r:
            assert r.stats()["compression"] == options["compression"]
            assert dict(r) == {k: as_read(v) for k, v in expected.items()}
            assert r.verify()
        # The staged value shares the included store's record of the same value.
        raw = _VornReader(str(tmp_path / "out.vrnl"))
        assert raw.get_raw("added") == raw.get_raw("pkg:0:00001")
        # The values alone decide the dictionary: staging them afresh gives the same file.
        fresh = VornWriter(**options)
        fresh.update(sorted(expected.items()))
        fresh.build(tmp_path / "fresh.vrnl")
        assert (tmp_path / "out.vrnl").read_bytes() == (tmp_path / "fresh.vrnl").read_bytes()

    @pytest.mark.parametrize("frame, message", [
        (lambda rlen: rlen(10, 100), "compressed value is damaged"),
        (lambda rlen: rlen(2**40, 10, fcs_bytes=8), "more than the store's longest value"),
        (lambda rlen: rlen(10, 10)[:-2], "not one whole zstd frame"),
    ])
    def test_a_damaged_frame_fails_the_build_naming_the_store(self, tmp_path, frame, message):
        from test_compression import MARKER, forge, records, rlen_frame

        import msgpack

        real = tmp_path / "real.vrnl"
        w = VornWriter(compression="zstd")
        w.update(records(2000).items())
        w.build(real)
        data = real.read_bytes()
        dictionary = data[48:48 + int.from_bytes(data[40:44], "big")]
        forged = tmp_path / "forged.vrnl"
        forge(str(forged), dictionary, [msgpack.packb("fine"), bytes([MARKER]) + frame(rlen_frame)])
        vornel.build(tmp_path / "out.vrnl", {"old": 1})
        w = VornWriter()
        w.include(forged)  # the store itself is sound: its checksums hold
        with pytest.raises(VornCorruptError, match=f"{forged}.*{message}"):
            w.build(tmp_path / "out.vrnl")
        assert dict(vornel.open(tmp_path / "out.vrnl")) == {"old": 1}

    def test_a_named_first_record_is_a_value_however_it_looks(self, tmp_path, stores):
        from _vornel import _VornReader, _VornWriter

        import msgpack

        _, made = stores
        data = made["zstd"].read_bytes()
        lookalike = data[48:48 + int.from_bytes(data[40:44], "big")]
        low = _VornWriter()
        low.add_key("a", low.add_object_raw(lookalike))
        low.add_key("b", low.add_object_raw(msgpack.packb("v")))
        low.build(str(tmp_path / "low.vrnl"))
        w = VornWriter()
        w.include(tmp_path / "low.vrnl")
        w.build(tmp_path / "out.vrnl")
        raw = _VornReader(str(tmp_path / "out.vrnl"))
        assert raw.get_raw("a") == lookalike and raw.get_raw("b") == msgpack.packb("v")


def damaged(path, how):
    data = bytearray(path.read_bytes())
    if how == "cut":
        del data[len(data) * 2 // 3:]
    else:
        data[60] ^= 1  # inside the first record
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("how", ["cut", "flipped"])
@pytest.mark.parametrize("when", ["include", "build"])
def test_a_damaged_source_is_named_and_nothing_is_published(tmp_path, how, when):
    source = tmp_path / "source.vrnl"
    vornel.build(source, {f"k{i}": "v" * 30 + str(i) for i in range(100)})
    vornel.build(tmp_path / "out.vrnl", {"old": 1})
    w = VornWriter()
    if when == "build":
        w.include(source)
    damaged(source, how)
    with pytest.raises((VornCorruptError, VornIOError), match=str(source)):
        if when == "include":
            w.include(source)
        w.build(tmp_path / "out.vrnl")
    assert dict(vornel.open(tmp_path / "out.vrnl")) == {"old": 1}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.vrnl", "source.vrnl"]


FULL_DISK = """
import json, sys
import vornel
target, run_dir, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
w = vornel.VornWriter(memory_limit=limit, run_dir=run_dir)
outcome = {}
try:
    w.update((f"key{i:06d}", "v" * 40) for i in range(20_000))
    w.build(target)
    outcome["ok"] = True
except OSError as e:
    outcome = {"ok": False, "type": type(e).__name__, "errno": e.errno, "filename": e.filename}
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("where, limit", [("run", 100_000), ("store", 1 << 30)])
def test_a_full_disk_is_an_error_that_leaves_the_target(tmp_path, where, limit):
    compiler = shutil.which("g++") or pytest.fail("g++ is needed to build the fault shim")
    shim = tmp_path / "faultshim.so"
    subprocess.run([compiler, "-x", "c", "-shared", "-fPIC", "-O2", "-o", str(shim),
                    os.path.join(childproc.TESTS_DIR, "faultshim.c"), "-ldl"], check=True)
    work = tmp_path / "work"
    work.mkdir()
    target = work / "s.vrnl"
    vornel.build(target, {"old": 1})
    env = childproc.child_env({"FAULT_CALL": "pwrite", "FAULT_ERRNO": str(errno.ENOSPC),
                               "FAULT_MATCH": ".vrnlrun" if where == "run" else ".vrnl.tmp",
                               "FAULT_SKIP": "1", "FAULT_TIMES": "-1"}, preload=str(shim))
    proc = childproc.run_python(FULL_DISK, work, str(target), str(work), str(limit), env=env)
    assert proc.returncode == 0, proc.stderr.decode()
    outcome = json.loads(proc.stdout)
    assert outcome["ok"] is False and outcome["errno"] == errno.ENOSPC
    assert outcome["filename"] == str(work if where == "run" else target)
    assert dict(vornel.open(target)) == {"old": 1}
    assert sorted(p.name for p in work.iterdir()) == ["s.vrnl"]


@pytest.mark.parametrize("dedup", [True, False])
def test_a_store_of_the_low_level_writer_is_included_whole(tmp_path, dedup):
    # Its records lie in the order they were added, not in key order, and one is dead:
    # the store is read at random where it must be, and still checked whole.
    from _vornel import _VornReader, _VornWriter

    import msgpack

    low = _VornWriter()
    ids = [low.add_object_raw(msgpack.packb(v)) for v in ("zeta", "alpha", "dead", "alpha")]
    for key, obj in (("a", 0), ("b", 1), ("c", 0), ("d", 3), ("e", 1)):
        low.add_key(key, ids[obj])
    low.build(str(tmp_path / "low.vrnl"))
    w = VornWriter(dedup=dedup)
    w.include(tmp_path / "low.vrnl")
    w.build(tmp_path / "out.vrnl")
    with VornReader(tmp_path / "out.vrnl") as r:
        assert dict(r) == {"a": "zeta", "b": "alpha", "c": "zeta", "d": "alpha", "e": "alpha"}
        assert r.verify()
        # Keys that shared a record still do, and records the store keeps apart stay apart.
        assert r.stats()["num_objects"] == 3
    raw = _VornReader(str(tmp_path / "out.vrnl"))
    assert raw.get_raw("a") == raw.get_raw("c") and raw.get_raw("b") == raw.get_raw("e")


def test_progress_counts_keys_merged_and_bytes_written(tmp_path):
    vornel.build(tmp_path / "base.vrnl", {f"k{i:05d}": i for i in range(20_000)})
    w = VornWriter(memory_limit=100_000, run_dir=tmp_path)
    w.include(tmp_path / "base.vrnl")
    w.update((f"n{i:05d}", i) for i in range(5_000))
    calls = []
    w.build(tmp_path / "out.vrnl", progress=lambda *call: calls.append(call))
    phases = list(dict.fromkeys(phase for phase, _, _ in calls))
    assert phases == ["sort", "merge", "write", "fsync"]
    for phase in phases:
        seen = [(done, total) for p, done, total in calls if p == phase]
        assert all(a[0] <= b[0] for a, b in zip(seen, seen[1:])), phase  # never backwards
        assert seen[-1][0] == seen[-1][1], phase  # and to the end
    merged = [total for p, _, total in calls if p == "merge"]
    assert merged[-1] == 25_000  # every entry of every source
    assert [total for p, _, total in calls if p == "fsync"][-1] == (tmp_path / "out.vrnl").stat().st_size
