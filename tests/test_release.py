"""The sdist is complete: unpacked, built and installed in a fresh virtual environment,
it gives `import vornel` and a working `vornel` command.

Slow (a full native build) and needs the package index for the build backend, so it
runs only when VORNEL_RELEASE_TESTS=1, as the test command sets it.
"""

import json
import os
import subprocess
import sys
import tarfile
import venv
from pathlib import Path

import pytest

import vornel

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    os.environ.get("VORNEL_RELEASE_TESTS") != "1", reason="set VORNEL_RELEASE_TESTS=1")


def run(*args, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, **kwargs)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-4000:]
    return result


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    (path,) = out.glob("vornel-*.tar.gz")
    return path


def test_sdist_holds_every_source(sdist):
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    tracked = run("git", "ls-files", cwd=ROOT).stdout.decode().split()
    needed = [n for n in tracked
              if n.startswith(("src/", "python/")) or n in ("CMakeLists.txt", "README.md")]
    assert needed and not [n for n in needed if n not in names]


def test_sdist_installs_and_runs(sdist, tmp_path):
    with tarfile.open(sdist) as tar:
        tar.extractall(tmp_path / "src", filter="data")
    (source,) = (tmp_path / "src").iterdir()
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    bin_dir = env_dir / "bin"
    run(bin_dir / "python", "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
        source)

    assert b"build" in run(bin_dir / "vornel", "--help").stdout
    data = tmp_path / "in.jsonl"
    data.write_text(json.dumps({"key": "k", "value": {"$bytes": "AQI="}}) + "\n"
                    + json.dumps({"key": "n", "value": [1, 2.5, None]}) + "\n")
    store = tmp_path / "s.vrnl"
    run(bin_dir / "vornel", "build", store, data)
    assert run(bin_dir / "vornel", "get", store, "k", "n").stdout == (
        b'{"$bytes": "AQI="}\n[1, 2.5, null]\n')
    code = "import vornel; r = vornel.open(%r); print(r['n'], r['k'], vornel.__version__)"
    out = run(bin_dir / "python", "-c", code % str(store), cwd=tmp_path).stdout.decode()
    assert out.split() == ["[1,", "2.5,", "None]", "b'\\x01\\x02'", vornel.__version__]
