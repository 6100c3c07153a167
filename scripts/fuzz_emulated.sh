#!/usr/bin/env bash
# Runs the long-track fuzz target (fuzz/fuzz_vector.cpp) where libFuzzer is
# not to be had: cross-built for 64-bit Arm and run under qemu-user (the
# NEON level), or built for WebAssembly and run under Node (the simd128
# level), fed by fuzz/random_driver.cpp from the seeds in fuzz/vector_corpus.
#   scripts/fuzz_emulated.sh aarch64|wasm [SECONDS] [SEED]
# Prints the executions run; a difference from the reference aborts.
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1
seconds=${2:-60}
seed=${3:-1}
dir=build/fuzz-$target
mkdir -p "$dir"
sources=(src/format/*.cpp src/fast/*.cpp src/convert/*.cpp fuzz/fuzz_vector.cpp fuzz/random_driver.cpp
         tests/support/bytes.cpp tests/support/model.cpp)
flags=(-std=c++20 -O2 -I include -I src -I tests/support)
case "$target" in
  aarch64)
    aarch64-linux-gnu-g++ "${flags[@]}" -pthread "${sources[@]}" -o "$dir/fuzz_vector"
    run=(qemu-aarch64 -L /usr/aarch64-linux-gnu "$dir/fuzz_vector")
    level=neon ;;
  wasm)
    # The module rides in the script and is compiled on the spot (Node's
    # fetch takes no file path); the seeds are read through Node's file system.
    # The module sees none of Node's environment, so the target takes the
    # widest stretch level there is, which in WebAssembly is the simd128 one.
    NODE_PATH=/usr/share/nodejs em++ "${flags[@]}" -msimd128 "${sources[@]}" -sNODERAWFS=1 \
      -sALLOW_MEMORY_GROWTH=1 -sSINGLE_FILE=1 -sWASM_ASYNC_COMPILATION=0 -o "$dir/fuzz_vector.js"
    run=(node "$dir/fuzz_vector.js")
    level=simd128 ;;
  native)
    g++ "${flags[@]}" -pthread "${sources[@]}" -o "$dir/fuzz_vector"
    run=("$dir/fuzz_vector")
    level=${TOLVARIN_FUZZ_LEVEL:-} ;;
  *) echo "unknown target: $target (aarch64, wasm or native)" >&2; exit 2 ;;
esac
seeds=(fuzz/vector_corpus/*)
for folder in ${SEEDS:-}; do seeds+=("$folder"/*); done
TOLVARIN_FUZZ_LEVEL=$level "${run[@]}" "$seconds" "$seed" "${seeds[@]}"
