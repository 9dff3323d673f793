#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the native core tests, then pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_native_deps
build_module

cmake -S "$ROOT" -B "$ROOT/build/core-tests" \
  -DVORNEL_MODULE=OFF -DVORNEL_CORE_TESTS=ON >/dev/null
cmake --build "$ROOT/build/core-tests" -j2
ctest --test-dir "$ROOT/build/core-tests" --output-on-failure -j2 | tail -n 3

cd "$ROOT"
"$PY" -m pytest -q "$@"

# ---- Hardening: threads, fuzzing, big-endian emulation and sanitizers ----------------
# The threads test under ThreadSanitizer, a fixed-time run of each fuzz target under
# AddressSanitizer and UndefinedBehaviorSanitizer, the core's suite on an emulated
# big-endian host, and last both suites under ASan and UBSan. Each step prints its time.
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}
timed "ThreadSanitizer" bash "$ROOT/scripts/tsan.sh"
timed "fuzzing" bash "$ROOT/scripts/fuzz.sh" 30
timed "big-endian (s390x under qemu)" bash "$ROOT/scripts/bigendian.sh"
timed "ASan and UBSan" bash "$ROOT/scripts/sanitize.sh" "$@"
