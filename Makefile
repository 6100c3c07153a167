# Quick start:
#   make demo      builds the converter and converts examples/demo.dat
#   make test      installs what the tests need, builds everything, runs every test
#   make install   installs into PREFIX (default /usr/local)
#   make package   the Debian packages and the Windows zip, in build/packages
JOBS ?= 2
BUILD := build
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 30
ARCHES ?= aarch64 s390x i686

.PHONY: all demo install test test-release test-sanitize test-threads test-fuzz test-windows test-package test-library \
        test-arch windows package deps bench clean

# The converter alone needs only a C++20 compiler, CMake and make; the tests
# are built too when GoogleTest is installed.
all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	mkdir -p $(BUILD)/demo
	cp examples/demo.dat $(BUILD)/demo/demo.dat
	$(BUILD)/release/tolvarin $(BUILD)/demo/demo.dat
	@echo "MIDI files written to $(BUILD)/demo:"
	@ls -l $(BUILD)/demo/*.mid

install: all
	cmake --install $(BUILD)/release --prefix $(PREFIX)

# Every test: the release build's suite, the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded paths under
# ThreadSanitizer, a short fuzz run, the Windows build's end-to-end tests
# under Wine, the packages, the library installed and built against, and the
# core tests and converter on other architectures under qemu.
test: deps test-release test-sanitize test-threads test-fuzz test-windows test-package test-library test-arch

deps:
	scripts/install_test_deps.sh gtest clang-rt windows package library arch

test-release:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DTOLVARIN_TESTS=ON
	cmake --build $(BUILD)/release -j $(JOBS)
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVARIN_SANITIZE=ON -DTOLVARIN_TESTS=ON
	cmake --build $(BUILD)/sanitize -j $(JOBS)
	ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

# The pipeline's tests and an end-to-end run that converts on several threads
# (the fault library cannot be preloaded under ThreadSanitizer).
test-threads:
	cmake -S . -B $(BUILD)/threads -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVARIN_THREAD_SANITIZE=ON -DTOLVARIN_TESTS=ON
	cmake --build $(BUILD)/threads -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/threads --output-on-failure -j $(JOBS) \
	  -R 'pipeline|api\.|c_interface|concurrent_runs'

test-fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOLVARIN_FUZZ=ON -DTOLVARIN_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	ctest --test-dir $(BUILD)/fuzz --output-on-failure

# The Windows console program, cross-built with MinGW-w64: 32-bit x86 (the
# target) in build/win-i686/Tolvarin.exe, x86-64 in build/win-x86_64/Tolvarin.exe.
windows:
	@if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then \
	  for arch in i686 x86_64; do \
	    cmake -S . -B $(BUILD)/win-$$arch -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DMINGW_ARCH=$$arch -DCMAKE_BUILD_TYPE=Release && \
	    cmake --build $(BUILD)/win-$$arch -j $(JOBS) || exit 1; \
	  done; \
	else echo "MinGW-w64 is not installed: the Windows build is skipped"; fi

test-windows: windows
	@if [ -f $(BUILD)/win-i686/Tolvarin.exe ]; then \
	  python3 tests/windows_e2e.py --exe32 $(BUILD)/win-i686/Tolvarin.exe --exe64 $(BUILD)/win-x86_64/Tolvarin.exe; \
	  status=$$?; [ $$status -eq 77 ] && echo "Windows tests skipped: Wine is not installed" && status=0; exit $$status; \
	else echo "Windows tests skipped: no MinGW-w64"; fi

# build/packages/tolvarin_<version>_<arch>.deb (the converter),
# build/packages/libtolvarin-dev_<version>_<arch>.deb (the library, its
# headers, CMake and pkg-config files), and from the Windows builds
# build/packages/tolvarin-<version>-windows.zip.
package: windows
	cmake -S . -B $(BUILD)/package -DCMAKE_BUILD_TYPE=Release -DTOLVARIN_TESTS=OFF \
	  -DTOLVARIN_DEBIAN_LAYOUT=ON -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD)/package -j $(JOBS) --target tolvarin
	mkdir -p $(BUILD)/packages
	cd $(BUILD)/package && cpack -B $(abspath $(BUILD))/packages
	rm -rf $(BUILD)/packages/_CPack_Packages
	@if [ -f $(BUILD)/win-i686/Tolvarin.exe ] && [ -f $(BUILD)/win-x86_64/Tolvarin.exe ]; then \
	  cmake -DSOURCE=$(CURDIR) -DEXE32=$(BUILD)/win-i686/Tolvarin.exe -DEXE64=$(BUILD)/win-x86_64/Tolvarin.exe \
	    -DOUT_DIR=$(BUILD)/packages -P cmake/windows_zip.cmake; \
	else echo "no Windows build: the Windows zip is skipped"; fi

test-package: package all
	python3 tests/package_test.py --packages $(BUILD)/packages --manual $(BUILD)/package/tolvarin.1 \
	  --binary $(BUILD)/release/tolvarin --demo examples/demo.dat

# The release build installed into a temporary prefix and used as other
# programs use it: its headers compiled alone, the example in examples/library
# built with CMake and with pkg-config, converting the demo as the command
# line does.
test-library: all
	python3 tests/library_install_check.py --build $(BUILD)/release --demo examples/demo.dat

# The core tests and the converter, cross-built for each architecture and run
# under qemu-user; outputs compared byte for byte with the native build's.
test-arch: all
	@for arch in $(ARCHES); do scripts/test_arch.sh $$arch $(BUILD) $(JOBS) || exit 1; done

# Converter against cp and dd on a tmpfs, the core alone, memory, stitch
# statistics, instructions per byte; writes bench/RESULTS.md. BASELINE=path
# adds an earlier build of the converter to every round, for instance:
#   git worktree add /tmp/base <commit> && cmake -S /tmp/base -B /tmp/base/build \
#     -DTOLVARIN_TESTS=OFF && cmake --build /tmp/base/build && make bench BASELINE=/tmp/base/build/tolvarin
bench: all
	python3 bench/run_bench.py $(if $(BASELINE),--baseline $(BASELINE))

clean:
	rm -rf $(BUILD)
