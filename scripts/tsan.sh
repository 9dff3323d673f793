#!/usr/bin/env bash
# Builds the core and its threads tests with ThreadSanitizer and runs them: several threads
# query one reader while others build, and builds from sorted runs and stores write their
# file through a thread of their own (any data race fails the run). Only the sources
# the test needs are compiled, two at a time, each again only when the tree changed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_native_deps
dir="$ROOT/build/tsan"
mkdir -p "$dir/obj"
export TSAN_CXXFLAGS="-std=c++23 -O1 -g -Wall -Wextra -fsanitize=thread -I$ROOT/src/core -I$ROOT/src/binding"

objects=()
stale=()
while IFS= read -r src; do
  rel=${src#"$ROOT/"}
  obj="$dir/obj/${rel//\//_}.o"
  objects+=("$obj")
  if [ ! -f "$obj" ] || [ -n "$(find "$ROOT/src/core" "$src" -newer "$obj" -name '*.?pp')" ]; then
    stale+=("$src" "$obj")
  fi
done < <(find "$ROOT/src/core" -name '*.cpp' | sort; echo "$ROOT/src/binding/store_words.cpp"
         printf '%s\n' "$ROOT/tests/cpp/concurrency_test.cpp" \
           "$ROOT/tests/cpp/background_writer_test.cpp" "$ROOT/tests/cpp/sorted_runs_test.cpp")
if [ ${#stale[@]} -gt 0 ]; then
  printf '%s\n' "${stale[@]}" | xargs -P2 -n2 sh -c 'g++ $TSAN_CXXFLAGS -c "$0" -o "$1"'
fi
g++ -fsanitize=thread "${objects[@]}" -lgtest_main -lgtest -lzstd -pthread -o "$dir/threads_test"

TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$dir/threads_test" --gtest_brief=1 "$@"
