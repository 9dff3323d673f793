#!/usr/bin/env bash
# Builds the core tests and the module with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs both suites against that build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv
ensure_native_deps
dir="$ROOT/build/sanitize"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_SANITIZE=ON \
  -DVORNEL_CORE_TESTS=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$dir" -j"$JOBS"
# The sanitizer would turn a bus error into its own report and exit status: the core's
# guard against a store cut short under its mapping must see the signal as it is.
ASAN_OPTIONS=handle_sigbus=0 "$dir/core_tests" --gtest_brief=1

# Both modules as the instrumented build made them: _vornel on its own, the package with
# its own sources around the instrumented vornel._engine.
pkg="$dir/pkg"
rm -rf "$pkg"
mkdir -p "$pkg"
cp -r "$ROOT/python/vornel" "$pkg/vornel"
cp "$dir"/_engine.*.so "$pkg/vornel/"
cp "$dir"/_vornel.*.so "$pkg/"

# The interpreter itself is not instrumented: preload the runtimes, and leave leak
# checking off (the interpreter keeps much of its memory until exit by design).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cd "$ROOT"
PYTHONPATH="$pkg" "$PY" -m pytest -q -p no:cacheprovider "$@"
