#!/usr/bin/env bash
# Builds and runs the benchmarks: the native ones (CRC-32, key table), then the Python ones.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_bench_deps
ensure_native_deps
build_module
# bench_sharded.py builds on Dask and the remote benchmarks read through obstore: the
# optional extras, pinned in pyproject.toml alone. The remote ones serve over nginx too.
"$PY" -c 'import sys, tomllib
extras = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]
print("\n".join(extras["dask"] + extras["remote"]))' \
  "$ROOT/pyproject.toml" | xargs "$PY" -m pip install --quiet --disable-pip-version-check
apt_install_missing nginx
dir="$ROOT/build/bench"
cmake -S "$ROOT" -B "$dir" -DVORNEL_MODULE=OFF -DVORNEL_BENCH=ON >/dev/null
cmake --build "$dir" -j"$JOBS"
for exe in "$dir"/*_bench; do
  [ -x "$exe" ] && "$exe"
done
for script in "$ROOT"/bench/*.py; do
  case $(basename "$script") in _*) continue ;; esac  # shared helpers, not benchmarks
  echo "== $(basename "$script")"
  [ -f "$script" ] && "$PY" "$script"
done
