"""Child interpreters for the tests that crash, kill, race or fault-inject a build.

A child sees the same module and the same tests/ directory as the test that starts it.
"""

import os
import subprocess
import sys

import storefile

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def child_env(extra=None, preload=None):
    """The test's environment for a child, with `preload` appended to LD_PRELOAD (a
    sanitizer runtime that is already preloaded must stay first)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS_DIR, *sys.path]))
    if preload:
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), preload]))
    env.update(extra or {})
    return env


def python_args(code, *args, flags=()):
    return [sys.executable, *flags, "-c", code, *args]


def run_python(code, cwd, *args, env=None, timeout=60, flags=()):
    return subprocess.run(python_args(code, *args, flags=flags), cwd=cwd, env=env or child_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)


def contents(tag, num_objects, object_size, num_keys):
    """A store's objects and bindings, all marked with `tag` so that two differ."""
    objects = [(tag + bytes([i])) * (object_size // (len(tag) + 1)) for i in range(num_objects)]
    bindings = [(f"{tag.decode()}/{i:05d}", i % num_objects) for i in range(num_keys)]
    return objects, bindings


def staged(objects, bindings):
    from _vornel import _VornWriter

    w = _VornWriter()
    for obj in objects:
        w.add_object_raw(obj)
    for key, obj_id in bindings:
        w.add_key(key, obj_id)
    return w


def build_file(path, objects, bindings):
    """Builds in this process and returns the file's bytes."""
    staged(objects, bindings).build(str(path))
    with open(path, "rb") as f:
        return f.read()


def expected_bytes(objects, bindings):
    return storefile.encode_store(objects, bindings)
