# Shared setup for the project's commands: a Python 3.13, a project-local virtual
# environment with the test and build dependencies, and the installed module.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

find_python313() {
  local candidate
  for candidate in $(ls -d "$HOME"/.pyenv/versions/3.13.* 2>/dev/null | sort -V -r); do
    if [ -x "$candidate/bin/python3.13" ]; then
      echo "$candidate/bin/python3.13"
      return 0
    fi
  done
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c '' >/dev/null 2>&1; then
    command -v python3.13
    return 0
  fi
  echo "error: Python 3.13 not found (looked in ~/.pyenv/versions/3.13.* and PATH)" >&2
  return 1
}

ensure_venv() {
  if [ ! -x "$PY" ] || ! "$PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
  fi
  local stamp="$VENV/.deps-stamp"
  local want
  want=$(cat "$ROOT/requirements-dev.txt")
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    "$PY" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
    echo "$want" > "$stamp"
  fi
}

# The benchmarks' peers and plotting, on top of the development dependencies; never
# part of the module's own dependencies.
ensure_bench_deps() {
  local stamp="$VENV/.bench-deps-stamp"
  local want
  want=$(cat "$ROOT/requirements-bench.txt")
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    "$PY" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements-bench.txt"
    echo "$want" > "$stamp"
  fi
}

# Builds and installs _vornel into the virtual environment (incremental build dir).
build_module() {
  (cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check \
      --no-build-isolation --no-deps .)
}

# Debian packages that the native tests and benchmarks link against.
ensure_native_deps() {
  local missing=()
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}
