# Quick start:
#   make demo      builds the converter and converts examples/demo.dat
#   make test      installs what the tests need, builds everything, runs every test
#   make install   installs into PREFIX (default /usr/local)
#   make package   the Debian packages and the Windows zip, in build/packages
#   make web       the web page, build/web/index.html (needs Emscripten, Node and npm)
JOBS ?= 2
BUILD := build
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 30
ARCHES ?= aarch64 s390x i686

.PHONY: all demo install test test-release test-sanitize test-threads test-fuzz test-windows test-package test-library \
        test-python test-arch test-web windows package deps bench bench-web web clean

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
# under Wine, the packages, the library installed and built against, the
# Python module, the core tests and converter on other architectures under
# qemu, and the web page in a headless browser.
test: deps test-release test-sanitize test-threads test-fuzz test-windows test-package test-library test-python \
      test-arch test-web

deps:
	scripts/install_test_deps.sh gtest clang-rt windows package library python arch web

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

# The Python module (python/) with pytest, against the release build's shared
# library and command line, with Debian's Python and its packages.
test-python: all
	@if /usr/bin/python3 -c 'import pytest, mido' 2>/dev/null; then \
	  TOLVARIN_BUILD=$(abspath $(BUILD))/release /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests; \
	else echo "Python tests skipped: pytest or mido is missing"; fi

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

# The web page: the library's C interface compiled to WebAssembly (one
# thread, no file system, the module embedded in the script), bundled with
# the page's script and its libraries (web/package-lock.json) into one HTML
# file that works opened from disk: build/web/index.html.
LIBRARY_SOURCES := $(wildcard src/format/*.cpp src/fast/*.cpp src/convert/*.cpp)
LIBRARY_HEADERS := $(wildcard include/tolvarin/*.h include/tolvarin/*.hpp src/format/*.hpp src/fast/*.hpp src/convert/*.hpp)
WEB_FUNCTIONS := malloc free tolvarin_open tolvarin_close tolvarin_song_count tolvarin_walk_end \
  tolvarin_walk_stopped_at tolvarin_song_number tolvarin_song_position tolvarin_describe_song \
  tolvarin_track_ending tolvarin_ran_past_next_song tolvarin_event_count tolvarin_met_unknown_meta_type \
  tolvarin_text_type tolvarin_text_position tolvarin_text_length tolvarin_start_song tolvarin_next_piece \
  tolvarin_piece_data tolvarin_piece_size tolvarin_start_song_split tolvarin_join_offset tolvarin_join \
  tolvarin_open_part tolvarin_part_end
comma := ,
empty :=
space := $(empty) $(empty)
WEB_EXPORTS := $(subst $(space),$(comma),$(strip $(addprefix _,$(WEB_FUNCTIONS))))
WEB_CXXFLAGS := -std=c++20 -O3 -msimd128 -Wall -Wextra -fno-exceptions
WEB_LDFLAGS := -sSINGLE_FILE=1 -sWASM_ASYNC_COMPILATION=0 -sFILESYSTEM=0 -sENVIRONMENT=web,worker \
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=2GB -sMODULARIZE=1 -sEXPORT_NAME=createTolvarinCore \
  -sEXPORTED_FUNCTIONS=$(WEB_EXPORTS)

web: $(BUILD)/web/index.html

# Each layer's sources are compiled with that layer's include roots, as the
# CMake build compiles them (cmake/layers.cmake makes them and their flags).
WEB_ROOTS := $(BUILD)/web/layer_roots
WEB_OBJECTS := $(patsubst src/%.cpp,$(BUILD)/web/objects/%.o,$(LIBRARY_SOURCES))

$(WEB_ROOTS)/made: cmake/layers.cmake $(LIBRARY_HEADERS)
	cmake -DSOURCE=$(CURDIR) -DROOTS=$(abspath $(WEB_ROOTS)) -P cmake/layers.cmake
	touch $@

$(BUILD)/web/objects/%.o: src/%.cpp $(LIBRARY_HEADERS) $(WEB_ROOTS)/made Makefile
	mkdir -p $(@D)
	em++ $(WEB_CXXFLAGS) @$(WEB_ROOTS)/$(firstword $(subst /, ,$*)).flags -c $< -o $@

$(BUILD)/web/core.js: $(WEB_OBJECTS) Makefile
	NODE_PATH=/usr/share/nodejs em++ $(WEB_CXXFLAGS) $(WEB_OBJECTS) $(WEB_LDFLAGS) -o $@

web/node_modules/.package-lock.json: web/package.json web/package-lock.json
	cd web && npm ci --no-audit --no-fund

$(BUILD)/web/index.html: $(BUILD)/web/core.js web/node_modules/.package-lock.json web/build.mjs web/index.html \
                         web/style.css $(wildcard web/src/*.js) examples/demo.dat src/format/event_tables.hpp
	node web/build.mjs $(BUILD)/web/core.js $@

# The page in headless Chromium, against the command line's own outputs;
# screenshots in build/web-test.
test-web: all
	@if command -v em++ >/dev/null && command -v node >/dev/null && command -v npm >/dev/null && \
	    [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium, mido' 2>/dev/null; then \
	  $(MAKE) web && /usr/bin/python3 tests/web/web_test.py --page $(BUILD)/web/index.html \
	    --binary $(BUILD)/release/tolvarin --demo examples/demo.dat --out $(BUILD)/web-test; \
	else echo "Web tests skipped: Emscripten, Node, npm, Chromium, chromedriver, Selenium or mido is missing"; fi

# The page's conversion time against the native library's, one thread, in
# memory (a benchmark, not a test): writes bench/WEB_RESULTS.md.
bench-web: web all
	/usr/bin/python3 bench/web_bench.py --page $(BUILD)/web/index.html --tools $(BUILD)/release/bench \
	  --out bench/WEB_RESULTS.md

clean:
	rm -rf $(BUILD)
