import os
import shutil
import subprocess

import pytest

import childproc
import storefile


@pytest.fixture
def store_path(tmp_path):
    """Path of a small valid store: keys a, ab, b over two objects."""
    path = tmp_path / "small.vrnl"
    path.write_bytes(storefile.encode_store([b"x", b"yy"], [("a", 0), ("ab", 1), ("b", 0)]))
    return str(path)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """The fault shim (tests/faultshim.c), compiled for this run."""
    compiler = shutil.which("g++") or pytest.fail("g++ is needed to build the fault shim")
    out = tmp_path_factory.mktemp("shim") / "faultshim.so"
    subprocess.run([compiler, "-x", "c", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra",
                    "-o", str(out), os.path.join(childproc.TESTS_DIR, "faultshim.c"), "-ldl"],
                   check=True)
    return str(out)
