#!/usr/bin/env bash
# Builds a fuzz target with clang and runs it.
#   scripts/fuzz.sh [SECONDS] [JOBS] [extra libFuzzer flags...]
# TARGET=fuzz_vector runs the long-track target instead of fuzz_convert.
# The working corpus grows in build/fuzz/corpus (build/fuzz/vector_corpus);
# fuzz/corpus (fuzz/vector_corpus) holds the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${2:-1}
shift $(( $# > 2 ? 2 : $# ))
target=${TARGET:-fuzz_convert}
case "$target" in
  fuzz_convert) seeds=corpus; dict=(-dict=fuzz/zarq.dict) ;;
  fuzz_vector) seeds=vector_corpus; dict=() ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DTOLVARIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j 2 --target "$target"
mkdir -p "build/fuzz/$seeds" build/fuzz/artifacts
exec "build/fuzz/fuzz/$target" -max_total_time="$seconds" -jobs="$jobs" -workers="$jobs" \
  "${dict[@]}" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
  "$@" "build/fuzz/$seeds" "fuzz/$seeds"
