"""A build killed with SIGKILL at random points never tears the published store: the
target always holds the complete old store or the complete new one."""

import json
import random
import subprocess

import childproc
from _vornel import _VornReader

TRIALS = 30
OLD = childproc.contents(b"old", 4, 1000, 20)
NEW_ARGS = (b"new", 64, 64 * 1024, 2000)  # 4 MiB: writing and fsync take a while

# Stages NEW, reports readiness on stderr, then builds once; with "time", it reports the
# build's duration instead.
BUILD_IN_CHILD = """
import json, sys, time
import childproc
w = childproc.staged(*childproc.contents(%r, %d, %d, %d))
sys.stderr.write("ready\\n")
sys.stderr.flush()
start = time.perf_counter()
w.build(sys.argv[1])
if sys.argv[2:] == ["time"]:
    sys.stderr.write(json.dumps(time.perf_counter() - start) + "\\n")
""" % NEW_ARGS


def start_child(target, *args):
    proc = subprocess.Popen(childproc.python_args(BUILD_IN_CHILD, str(target), *args),
                            env=childproc.child_env(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    assert proc.stderr.readline() == b"ready\n"
    return proc


def test_sigkill_during_build_leaves_the_old_or_the_new_store(tmp_path):
    target = tmp_path / "store.vrnl"
    tmp = tmp_path / "store.vrnl.tmp"
    new = childproc.expected_bytes(*childproc.contents(*NEW_ARGS))

    # How long one build takes here, measured in a child like the ones that get killed.
    timing = start_child(tmp_path / "timing.vrnl", "time")
    duration = json.loads(timing.stderr.readline())
    assert timing.wait(timeout=60) == 0

    rng = random.Random(9)
    outcomes = {"old": 0, "new": 0, "old, build under way": 0}
    for _ in range(TRIALS):
        old = childproc.build_file(target, *OLD)
        tmp.unlink(missing_ok=True)  # so that a temporary file shows this trial's build
        proc = start_child(target)
        # At a random point of the build (or just after it, when this one runs faster).
        try:
            proc.wait(timeout=rng.uniform(0, duration))
        except subprocess.TimeoutExpired:
            proc.kill()
        proc.wait(timeout=60)
        proc.stderr.close()

        published = target.read_bytes()
        assert published in (old, new)
        if published == new:
            outcomes["new"] += 1
        else:
            outcomes["old, build under way" if tmp.exists() else "old"] += 1
        with _VornReader(str(target)) as reader:
            assert reader.verify()

    print(f"{TRIALS} kills: {outcomes}")
    # Most kills must have hit a build under way, or this test tested nothing.
    assert outcomes["old, build under way"] >= TRIALS // 5
    # A build after the last kill, over whatever it left behind.
    assert childproc.build_file(target, *childproc.contents(*NEW_ARGS)) == new
    assert not tmp.exists()
