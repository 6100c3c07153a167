# Quick start:
#   make demo   builds the converter and converts examples/demo.dat
#   make test   builds everything and runs every test
JOBS ?= 2
BUILD := build

.PHONY: all demo test clean

all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	mkdir -p $(BUILD)/demo
	cp examples/demo.dat $(BUILD)/demo/demo.dat
	$(BUILD)/release/tolvarin $(BUILD)/demo/demo.dat
	@echo "MIDI files written to $(BUILD)/demo:"
	@ls -l $(BUILD)/demo/*.mid

test:
	scripts/install_test_deps.sh
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
