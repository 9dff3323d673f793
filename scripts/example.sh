#!/usr/bin/env bash
# Builds the module and runs the example: write a store, read it back.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
build_module
"$PY" "$ROOT/examples/roundtrip.py" "$@"
