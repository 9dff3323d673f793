#!/usr/bin/env bash
# Builds and runs the benchmarks: the native CRC-32 benchmark, then the Python ones.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_bench_deps
ensure_native_deps
build_module
dir="$ROOT/build/bench"
cmake -S "$ROOT" -B "$dir" -DVORNEL_MODULE=OFF -DVORNEL_BENCH=ON >/dev/null
cmake --build "$dir" -j2
for exe in "$dir"/*_bench; do
  [ -x "$exe" ] && "$exe"
done
for script in "$ROOT"/bench/*.py; do
  case $(basename "$script") in _*) continue ;; esac  # shared helpers, not benchmarks
  [ -f "$script" ] && "$PY" "$script"
done
