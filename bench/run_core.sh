#!/usr/bin/env bash
# Builds the core's delta benchmark in a Release tree (build/bench) and runs
# it; any arguments go to bench_delta (the number of repeats per case).
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

cmake -S . -B build/bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DTOVAREL_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j 2 --target bench_delta
build/bench/bench_delta "$@"
