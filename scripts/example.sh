#!/usr/bin/env bash
# Installs the package and runs the main job with the vornel tool: build a store from a
# JSON Lines file, read values back, list keys by prefix and verify the checksums.
# Usage: bash scripts/example.sh [STORE]   (default: a file in a temporary directory)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
build_module
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
run build "$store" examples/cities.jsonl
run get "$store" city:lisbon alias:lisboa flag:ch
run keys "$store" --prefix city:b
run stats "$store"
run verify "$store"
