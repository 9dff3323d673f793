#!/usr/bin/env bash
# Installs the package and runs the main job with the vornel tool: build a store from a
# JSON Lines file, read values back, list keys by prefix and verify the checksums.
# Installs only the package and what building it takes; the test dependencies are the
# test command's.
# Usage: bash scripts/example.sh [STORE]   (default: a file in a temporary directory)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ ! -x "$PY" ] || ! "$PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
  rm -rf "$VENV"
  "$(find_python313)" -m venv "$VENV"
fi
# The build requirements that pyproject.toml names, and ninja; CMake from PyPI only when
# the system has none. Installed into the environment (not an isolated one per build), so
# that the build directory is reused from one run to the next, as the test command does.
build_reqs=$("$PY" -c 'import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["build-system"]["requires"]))' \
  "$ROOT/pyproject.toml")
build_reqs+=$'\n'ninja
command -v cmake >/dev/null 2>&1 || build_reqs+=$'\n'cmake
stamp="$VENV/.build-deps-stamp"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$build_reqs" ]; then
  echo "$build_reqs" | xargs "$PY" -m pip install --quiet --disable-pip-version-check
  echo "$build_reqs" > "$stamp"
fi
# The package with its own dependencies (msgpack, tqdm), nothing else; its native core
# builds against libzstd (Debian's libzstd-dev).
apt_install_missing libzstd-dev
(cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation .)
vornel="$VENV/bin/vornel"

if [ $# -gt 0 ]; then
  store=$(realpath -m "$1")
else
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  store="$tmp/cities.vrnl"
fi

cd "$ROOT"
# Each command is shown as typed, then run.
run() {
  echo "\$ vornel $*"
  "$vornel" "$@"
}
run build "$store" examples/cities.jsonl 2>&1
run get "$store" city:lisbon alias:lisboa flag:ch
run keys "$store" --prefix city:b
run stats "$store"
run verify "$store"
echo
echo "The package and the tool are in $VENV, not in the shell's own Python: run"
echo "  source $VENV/bin/activate    (then vornel ... and python -c 'import vornel')"
echo "or name them: $VENV/bin/vornel, $VENV/bin/python"
