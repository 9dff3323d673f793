#!/usr/bin/env bash
# Makes the release artefacts in dist/: the sdist and the wheel (python -m build), the
# wheel repaired by auditwheel to carry libzstd, then shows its platform tag and external
# libraries.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_release_deps
export PATH="$VENV/bin:$PATH"
rm -rf "$ROOT/dist"
apt_install_missing libzstd-dev
"$PY" -m build --outdir "$ROOT/dist" "$ROOT"
# The native modules link libzstd: auditwheel repair copies it into the wheel (and tags
# the wheel for the oldest glibc it can run on), so that the wheel needs no system package.
for wheel in "$ROOT"/dist/*-linux_*.whl; do
  "$PY" -m auditwheel repair --wheel-dir "$ROOT/dist" "$wheel"
  rm "$wheel"
done
for wheel in "$ROOT"/dist/*.whl; do
  "$PY" -m auditwheel show "$wheel"
done
ls -l "$ROOT/dist"
