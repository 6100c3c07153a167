# Quick start:
#   make demo   builds the converter and converts examples/demo.dat
#   make test   builds everything and runs every test
JOBS ?= 2
BUILD := build
FUZZ_SECONDS ?= 30

.PHONY: all demo test test-release test-sanitize test-fuzz deps bench clean

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
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzz run.
test: deps test-release test-sanitize test-fuzz

deps:
	scripts/install_test_deps.sh clang-rt

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
