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
