#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the native core tests, then pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_native_deps
build_module

cmake -S "$ROOT" -B "$ROOT/build/core-tests" \
  -DVORNEL_MODULE=OFF -DVORNEL_CORE_TESTS=ON >/dev/null
cmake --build "$ROOT/build/core-tests" -j"$JOBS"
ctest --test-dir "$ROOT/build/core-tests" --output-on-failure -j"$JOBS" | tail -n 3

# --- The optional extras vornel[dask] (sharded stores) and vornel[remote] (object storage
# and HTTP), so that their tests run too. The requirements come from pyproject.toml, the
# one place that pins them. The remote tests start Debian's nginx and weed mini (from the
# development requirements) on the loopback interface.
"$PY" -c 'import sys, tomllib
extras = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]
print("\n".join(extras["dask"] + extras["remote"]))' \
  "$ROOT/pyproject.toml" | xargs "$PY" -m pip install --quiet --disable-pip-version-check
apt_install_missing nginx
# --- end of the extras

cd "$ROOT"
"$PY" -m pytest -q "$@"

# --- The vornel package: static types and the release artefacts ----------------------
# mypy --strict on the package, the native modules' stubs against the built modules,
# then the sdist built, installed and run in a fresh virtual environment.
"$PY" -m mypy --strict --no-error-summary "$ROOT/python/vornel"
"$PY" -m mypy.stubtest _vornel vornel._engine
VORNEL_RELEASE_TESTS=1 "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/test_release.py"

# ---- Hardening: threads, fuzzing, big-endian emulation and sanitizers ----------------
# The threads test under ThreadSanitizer, a fixed-time run of each fuzz target under
# AddressSanitizer and UndefinedBehaviorSanitizer, the core's suite on an emulated
# big-endian host, the pytest suite on a free-threaded CPython, and last both suites
# under ASan and UBSan. Each step prints its time.
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}
timed "ThreadSanitizer" bash "$ROOT/scripts/tsan.sh"
timed "fuzzing" bash "$ROOT/scripts/fuzz.sh" 30
timed "big-endian (s390x under qemu)" bash "$ROOT/scripts/bigendian.sh"
timed "free-threaded CPython" bash "$ROOT/scripts/freethreaded.sh" "$@"
timed "ASan and UBSan" bash "$ROOT/scripts/sanitize.sh" "$@"
