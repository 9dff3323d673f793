"""Two processes build different stores to one target, over and over, while a third
opens it: builds to one target take turns, so every open sees one whole store."""

import subprocess
import time

import childproc
from _vornel import _VornReader

BUILDS_EACH = 200
A = childproc.contents(b"a", 8, 4000, 60)
B = childproc.contents(b"bb", 5, 7000, 90)

# Builds one of the two stores BUILDS_EACH times; reports each failing build and then
# exits 1 if there was one.
BUILDER = """
import sys
import childproc
w = childproc.staged(*childproc.contents(*eval(sys.argv[2])))
failed = 0
for _ in range(int(sys.argv[3])):
    try:
        w.build(sys.argv[1])
    except OSError as e:
        failed += 1
        sys.stderr.write(str(e) + "\\n")
sys.exit(1 if failed else 0)
"""


def items(objects, bindings):
    return [(key, objects[obj_id]) for key, obj_id in sorted(bindings)]


def test_two_builders_and_a_reader(tmp_path):
    target = tmp_path / "store.vrnl"
    childproc.build_file(target, *A)
    whole = {"a": items(*A), "b": items(*B)}

    builders = [
        subprocess.Popen(childproc.python_args(BUILDER, str(target), repr(args), str(BUILDS_EACH)),
                         env=childproc.child_env(), stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
        for args in [(b"a", 8, 4000, 60), (b"bb", 5, 7000, 90)]]
    seen = {"a": 0, "b": 0}
    torn = []
    deadline = time.monotonic() + 120
    while any(p.poll() is None for p in builders) and time.monotonic() < deadline:
        try:
            with _VornReader(str(target), verify=True) as reader:
                got = reader.items_raw()
                reader.verify()
        except OSError as e:
            torn.append(str(e))
            continue
        except RuntimeError as e:  # a corrupt store
            torn.append(str(e))
            continue
        which = [name for name, want in whole.items() if got == want]
        if which:
            seen[which[0]] += 1
        else:
            torn.append(f"a store of {len(got)} items, neither one")

    errors = [p.stderr.read().decode().splitlines() for p in builders]
    codes = [p.wait(timeout=60) for p in builders]
    print(f"{2 * BUILDS_EACH} builds ({sum(map(len, errors))} failed), opens: {seen}, "
          f"torn: {len(torn)}")
    assert torn == [], torn[:5]
    assert codes == [0, 0], [e[:5] for e in errors]
    assert seen["a"] + seen["b"] > 0
    # The last build's rename took its temporary file along.
    assert not (tmp_path / "store.vrnl.tmp").exists()
    with _VornReader(str(target)) as reader:
        assert reader.items_raw() in whole.values()
