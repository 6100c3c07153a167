#!/usr/bin/env bash
# Cross-builds the converter and its core tests for one architecture, runs
# the tests under qemu-user, then runs the converter under qemu on the demo
# and on hundreds of containers, comparing every output with the native
# build's byte for byte.
#   scripts/test_arch.sh ARCH [BUILD_DIR] [JOBS]      ARCH: aarch64, s390x or i686
# Skipped, with a message, when the cross compiler, qemu or the GoogleTest
# sources are not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
build=${2:-build}
jobs=${3:-2}
triple=$arch-linux-gnu
case "$arch" in
  i686) qemu=qemu-i386 ;;
  *) qemu=qemu-$arch ;;
esac
for tool in "$triple-g++" "$qemu"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$arch: skipped, $tool is not installed"
    exit 0
  fi
done
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "$arch: skipped, the GoogleTest sources (/usr/src/googletest) are not installed"
  exit 0
fi
dir=$build/cross-$arch
# qemu-i386 hangs programs whose threads wait on each other (its emulation
# of futexes for 32-bit x86): there the pipeline tests run on one thread,
# and the converter on the generated containers, which are small, does too.
threads=8
[ "$arch" = i686 ] && threads=1
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DCROSS_ARCH="$arch" \
  -DCMAKE_BUILD_TYPE=Release -DTOLVARIN_TESTS=ON -DTOLVARIN_GTEST_SOURCE=/usr/src/googletest \
  -DTOLVARIN_TEST_THREADS=$threads >/dev/null
if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
  cat "$dir/build.log"
  echo "$arch: the cross build failed"
  exit 1
fi
log=$dir/ctest.log
if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" >"$log" 2>&1; then
  cat "$log"
  echo "$arch: core tests failed"
  exit 1
fi
echo "$arch: $(grep 'tests passed' "$log")"
python3 tests/cross_check.py --emulator "$qemu -L /usr/$triple" --binary "$dir/tolvarin" \
  --native "$build/release/tolvarin" --demo examples/demo.dat --containers 200 --name "$arch"
