#!/usr/bin/env bash
# Builds the libFuzzer targets of the core (tests/fuzz/) with clang 16 under
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs each one for SECONDS
# (default 60) from its committed seed corpus. Prints the number of runs of each.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET: reader, writer, codec
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reader writer codec)

ensure_fuzz_deps
dir="$ROOT/build/fuzz"
mkdir -p "$dir/obj"
# clang 16 with g++ 12's library: present the concepts level that <expected> checks for.
flags=(-std=c++2b -U__cpp_concepts -D__cpp_concepts=202002L -g -O1 -Wall -Wextra
       -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I"$ROOT/src/core" -I"$ROOT/src/binding")

# The core (and the words for its errors) once, instrumented for coverage, JOBS sources
# at a time; an object is rebuilt when its source or any core header is newer.
objects=()
stale=()
while IFS= read -r src; do
  rel=${src#"$ROOT/src/"}
  obj="$dir/obj/${rel//\//_}.o"
  objects+=("$obj")
  if [ ! -f "$obj" ] || [ -n "$(find "$ROOT/src/core" "$ROOT"/src/binding/store_words.?pp \
                                   -newer "$obj" -name '*.?pp')" ]; then
    stale+=("$src" "$obj")
  fi
done < <(find "$ROOT/src/core" -name '*.cpp' | sort; echo "$ROOT/src/binding/store_words.cpp")
export FUZZ_CXXFLAGS="${flags[*]}"
if [ ${#stale[@]} -gt 0 ]; then
  printf '%s\n' "${stale[@]}" |
    xargs -P"$JOBS" -n2 sh -c 'clang++-16 $FUZZ_CXXFLAGS -fsanitize=fuzzer-no-link -c "$0" -o "$1"'
fi
printf '%s\n' "${targets[@]}" |
  xargs -P"$JOBS" -I{} clang++-16 "${flags[@]}" -fsanitize=fuzzer \
    "$ROOT/tests/fuzz/{}_fuzz.cpp" "${objects[@]}" -lz -lzstd -o "$dir/{}_fuzz"

# Runs target "$1" for the given time; on a failure shows the end of its log.
fuzz_target() {
  local target=$1 corpus="$dir/corpus-$1" log="$dir/$1.log" runs
  # The committed seeds stay as they are; what the run finds goes to a scratch corpus.
  mkdir -p "$corpus"
  if ! (cd "$dir" && "./${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
          -timeout=20 -rss_limit_mb=4096 "$corpus" "$ROOT/tests/fuzz/corpus/$target") \
          >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz $target: FAILED (log: $log, reproducer in $dir)" >&2
    return 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $target: $runs runs in ${seconds}s, no failure"
}

# JOBS targets at a time: each one is a single process on a core of its own, so each
# still gets the whole time on a whole core.
pids=()
failed=0
for target in "${targets[@]}"; do
  if [ ${#pids[@]} -ge "$JOBS" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
  fuzz_target "$target" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
exit "$failed"
