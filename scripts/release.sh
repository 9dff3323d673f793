#!/usr/bin/env bash
# Makes the release artefacts in dist/: the sdist and the wheel (python -m build), then
# shows the wheel's platform tag and external libraries with auditwheel.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_release_deps
rm -rf "$ROOT/dist"
"$PY" -m build --outdir "$ROOT/dist" "$ROOT"
for wheel in "$ROOT"/dist/*.whl; do
  "$PY" -m auditwheel show "$wheel"
done
ls -l "$ROOT/dist"
