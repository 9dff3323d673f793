#!/usr/bin/env bash
# Builds the core tests with ThreadSanitizer and runs the ones where threads share a
# reader while others build (any data race fails the run).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_native_deps
dir="$ROOT/build/tsan"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_MODULE=OFF \
  -DVORNEL_CORE_TESTS=ON -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$dir" -j2 --target core_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$dir/core_tests" --gtest_brief=1 --gtest_filter='ConcurrentUse.*' "$@"
