#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the native core tests, pytest, the
# static types and the release artefacts, then the hardening runs. Ends with a table of
# each step's wall time, also when a step fails. Arguments go to each pytest run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
steps_report_at_exit

# Every Debian package of every step in one apt-get update and one install.
test_packages() {
  add_s390x_architecture
  apt_install_missing "${NATIVE_DEBS[@]}" "${FUZZ_DEBS[@]}" "${BIGENDIAN_DEBS[@]}" \
    "${FREETHREADED_DEBS[@]}" nginx
}

# The development dependencies and the optional extras vornel[dask] (sharded stores) and
# vornel[remote] (object storage and HTTP), so that their tests run too, in one pip run;
# the extras' requirements come from pyproject.toml, the one place that pins them. The
# remote tests start Debian's nginx and weed mini (from the development requirements) on
# the loopback interface.
test_venv() {
  ensure_venv "$("$(find_python313)" -c 'import sys, tomllib
extras = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]
print("\n".join(extras["dask"] + extras["remote"]))' "$ROOT/pyproject.toml")"
}

# The module and the core's GoogleTest suite from one build tree, so that the core is
# compiled once for both; pip installs the module from it into the environment.
build_module_and_core_tests() {
  (cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check \
      --no-build-isolation --no-deps -Cbuild-dir=build/test \
      -Ccmake.define.VORNEL_CORE_TESTS=ON .)
}

core_tests() {
  ctest --test-dir "$ROOT/build/test" --output-on-failure -j"$JOBS" | tail -n 3
}

# The downloads (pip, apt) beside each other. Then the free-threaded interpreter, its
# environment and the package built for it, beside all the steps up to its own, at the
# lowest priority: it takes only the CPU they leave idle (a single-threaded test run
# leaves a core free), so that their figures and results stay their own.
step_beside "Python environment (pip)" test_venv
step "Debian packages (apt)" test_packages
export APT_UPDATED
FT_PREPARE="free-threaded CPython: interpreter, venv, package"
step_beside "$FT_PREPARE" nice -n 19 bash "$ROOT/scripts/freethreaded.sh" --prepare
step_join "Python environment (pip)"

step "module and core tests: build" build_module_and_core_tests
step "core tests (GoogleTest)" core_tests
cd "$ROOT"
step "pytest" "$PY" -m pytest -q "$@"
step "mypy --strict" "$PY" -m mypy --strict --no-error-summary "$ROOT/python/vornel"
step "stubtest" "$PY" -m mypy.stubtest _vornel vornel._engine
# The sdist built, installed and run in a fresh virtual environment.
step "release test (sdist)" env VORNEL_RELEASE_TESTS=1 \
  "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/test_release.py"

# ---- Hardening: threads, fuzzing, big-endian emulation and sanitizers ----------------
# The threads test under ThreadSanitizer, a fixed-time run of each fuzz target under
# AddressSanitizer and UndefinedBehaviorSanitizer, the core's suite on an emulated
# big-endian host, both suites under ASan and UBSan, and last the pytest suite on a
# free-threaded CPython.
step "ThreadSanitizer" bash "$ROOT/scripts/tsan.sh"
step "fuzzing (30 s a target)" bash "$ROOT/scripts/fuzz.sh" 30
step "big-endian (s390x under qemu)" bash "$ROOT/scripts/bigendian.sh"
step "ASan and UBSan" bash "$ROOT/scripts/sanitize.sh" "$@"
# Nothing else runs now: what is left of the preparation goes on at normal priority
# (where the command may raise it again).
renice -n 0 -g "${BESIDE_PID[$FT_PREPARE]}" >/dev/null 2>&1 || true
step_join "$FT_PREPARE"
step "free-threaded CPython: pytest" bash "$ROOT/scripts/freethreaded.sh" "$@"
