#!/usr/bin/env bash
# Installs the Debian packages the tests use, when they are missing and this
# machine can install them (root with apt-get). Arguments name the groups:
#   gtest     GoogleTest (and its sources, for cross builds) and Google Benchmark
#   clang-rt  clang's fuzzer and sanitizer runtimes
#   windows   MinGW-w64 and Wine
#   package   lintian, for the package tests
#   library   pkg-config, for the library's install test
#   python    pytest, and venv, pip and setuptools, for the Python module's
#             tests (which install it with pip)
#   arch      cross compilers for AArch64, s390x and i686, and qemu-user
#   web       Emscripten, Node and npm (to build the page), Chromium, its
#             driver and Selenium (to test it in a headless browser)
# Without GoogleTest the test build stops with an error; other suites whose
# tools are still missing afterwards report themselves as skipped.
set -u

packages=()
command -v midicsv >/dev/null 2>&1 || packages+=(midicsv)
/usr/bin/python3 -c 'import mido' >/dev/null 2>&1 || packages+=(python3-mido)
have_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for extra in "$@"; do
  case "$extra" in
    gtest)
      have_package libgtest-dev || packages+=(libgtest-dev)
      [ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
      have_package libbenchmark-dev || packages+=(libbenchmark-dev)
      ;;
    clang-rt) [ -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] || packages+=(libclang-rt-14-dev) ;;
    windows)
      command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || packages+=(g++-mingw-w64-i686)
      command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || packages+=(g++-mingw-w64-x86-64)
      command -v wine >/dev/null 2>&1 || packages+=(wine wine64)
      ;;
    package)
      command -v lintian >/dev/null 2>&1 || packages+=(lintian)
      command -v dpkg-shlibdeps >/dev/null 2>&1 || packages+=(dpkg-dev)
      command -v groff >/dev/null 2>&1 || packages+=(groff)
      command -v man >/dev/null 2>&1 || packages+=(man-db)
      ;;
    library) command -v pkg-config >/dev/null 2>&1 || packages+=(pkg-config) ;;
    python)
      /usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || packages+=(python3-pytest)
      for package in python3-venv python3-pip python3-setuptools python3-wheel; do
        have_package "$package" || packages+=("$package")
      done
      ;;
    arch)
      for triple in aarch64-linux-gnu s390x-linux-gnu i686-linux-gnu; do
        command -v "$triple-g++" >/dev/null 2>&1 || packages+=("g++-$triple")
      done
      command -v qemu-s390x >/dev/null 2>&1 || packages+=(qemu-user)
      ;;
    web)
      command -v em++ >/dev/null 2>&1 || packages+=(emscripten)
      command -v node >/dev/null 2>&1 || packages+=(nodejs)
      command -v npm >/dev/null 2>&1 || packages+=(npm)
      command -v chromium >/dev/null 2>&1 || packages+=(chromium)
      command -v chromedriver >/dev/null 2>&1 || packages+=(chromium-driver)
      /usr/bin/python3 -c 'import selenium' >/dev/null 2>&1 || packages+=(python3-selenium)
      ;;
  esac
done

[ ${#packages[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
  echo "note: cannot install ${packages[*]} (needs root and apt-get); the tests that use them will be skipped"
  exit 0
fi
echo "installing ${packages[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null 2>&1 || true
apt-get install -y -qq "${packages[@]}" >/dev/null 2>&1 ||
  echo "note: installing ${packages[*]} failed; the tests that use them will be skipped"
exit 0
