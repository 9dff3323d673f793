#!/usr/bin/env bash
# Proves the core on a big-endian host: cross-builds the core and its GoogleTest suite
# for s390x with Debian's cross compiler, GoogleTest itself built for s390x from the
# sources that Debian's googletest package ships (zlib, which the tests compare the CRC
# with, and libzstd, which the core compresses with, from Debian's s390x packages), and runs the suite under qemu's
# user-mode emulation. Arguments go to the test binary (e.g. --gtest_filter=...).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir="$ROOT/build/s390x"
ensure_bigendian_deps "$dir/zlib"
sysroot=/usr/s390x-linux-gnu
emulator="qemu-s390x;-L;$sysroot"
cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=s390x
       -DCMAKE_C_COMPILER=s390x-linux-gnu-gcc -DCMAKE_CXX_COMPILER=s390x-linux-gnu-g++
       -DCMAKE_LIBRARY_ARCHITECTURE=s390x-linux-gnu -DCMAKE_BUILD_TYPE=Release
       "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator")

# GoogleTest for s390x is built once per version of its sources and of the cross
# compiler, into ~/.cache/vornel/, and shared by every checkout.
gtest_key=$(dpkg-query -W -f='${Package} ${Version}\n' googletest g++-s390x-linux-gnu |
            sha256sum | cut -c1-16)
gtest="${XDG_CACHE_HOME:-$HOME/.cache}/vornel/gtest-s390x-$gtest_key"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  rm -rf "$dir/gtest-build" "$gtest.tmp"
  cmake -S /usr/src/googletest -B "$dir/gtest-build" "${cross[@]}" -DBUILD_GMOCK=OFF \
    -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$dir/gtest-build" -j"$JOBS" >/dev/null
  # Installed beside and renamed into place, so that no run sees half an install.
  DESTDIR="$gtest.tmp" cmake --install "$dir/gtest-build" >/dev/null
  mkdir -p "$(dirname "$gtest")"
  mv -T "$gtest.tmp$gtest" "$gtest" 2>/dev/null || [ -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]
  rm -rf "$gtest.tmp"
fi

cmake --no-warn-unused-cli -S "$ROOT" -B "$dir/core" "${cross[@]}" -DVORNEL_MODULE=OFF -DVORNEL_CORE_TESTS=ON \
  -DCMAKE_PREFIX_PATH="$gtest" -DGTest_DIR="$gtest/lib/cmake/GTest" \
  -DZLIB_INCLUDE_DIR="$dir/zlib/usr/include" \
  -DZLIB_LIBRARY="$dir/zlib/usr/lib/s390x-linux-gnu/libz.a" \
  -DZSTD_INCLUDE_DIR="$dir/zlib/usr/include" \
  -DZSTD_LIBRARY="$dir/zlib/usr/lib/s390x-linux-gnu/libzstd.a" >/dev/null
cmake --build "$dir/core" -j"$JOBS" --target core_tests

# Show that what runs is a big-endian s390x binary, then run it emulated.
readelf -h "$dir/core/core_tests" | grep -E 'Data:|Machine:'
qemu-s390x -L "$sysroot" "$dir/core/core_tests" --gtest_brief=1 "$@"
