#!/usr/bin/env bash
# Builds the fuzz target with clang and runs it.
#   scripts/fuzz.sh [SECONDS] [JOBS] [extra libFuzzer flags...]
# The working corpus grows in build/fuzz/corpus; fuzz/corpus holds the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${2:-1}
shift $(( $# > 2 ? 2 : $# ))
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DTOLVARIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j 2 --target fuzz_convert
mkdir -p build/fuzz/corpus build/fuzz/artifacts
exec build/fuzz/fuzz/fuzz_convert -max_total_time="$seconds" -jobs="$jobs" -workers="$jobs" \
  -dict=fuzz/zarq.dict -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
  "$@" build/fuzz/corpus fuzz/corpus
