# Quick start:
#   make demo   builds the converter and converts examples/demo.dat
#   make test   builds everything and runs every test
JOBS ?= 2
BUILD := build
FUZZ_SECONDS ?= 30

.PHONY: all demo test test-release test-sanitize test-fuzz test-windows windows deps bench clean

all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	mkdir -p $(BUILD)/demo
	cp examples/demo.dat $(BUILD)/demo/demo.dat
	$(BUILD)/release/tolvarin $(BUILD)/demo/demo.dat
	@echo "MIDI files written to $(BUILD)/demo:"
	@ls -l $(BUILD)/demo/*.mid

# Every test: the release build's suite, the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, a short fuzz run, and the
# Windows build's end-to-end tests under Wine.
test: deps test-release test-sanitize test-fuzz test-windows

deps:
	scripts/install_test_deps.sh clang-rt windows

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

test-release: all
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVARIN_SANITIZE=ON
	cmake --build $(BUILD)/sanitize -j $(JOBS)
	ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

test-fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOLVARIN_FUZZ=ON -DTOLVARIN_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	ctest --test-dir $(BUILD)/fuzz --output-on-failure

# Converter against cp, the core alone, instructions per byte; writes bench/RESULTS.md.
bench: all
	python3 bench/run_bench.py

clean:
	rm -rf $(BUILD)
