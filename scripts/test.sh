#!/usr/bin/env bash
# Runs every test of the project:
#   1. the C++ tests of the core, plain and under AddressSanitizer +
#      UndefinedBehaviorSanitizer (warnings are errors in both builds);
#   2. the Python module, built and installed from this tree, and its
#      pytest suite;
#   3. a short run of every fuzz harness.
# Any failure stops the run with a non-zero exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/ensure_deps.sh

jobs=$(nproc)
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
export CMAKE_POLICY_VERSION_MINIMUM=3.5

core_tests() {
  local dir=$1; shift
  echo "== C++ tests: $dir"
  cmake -S . -B "$dir" "${generator[@]}" -DTOVAREL_BUILD_TESTS=ON -DTOVAREL_BUILD_BENCH=ON \
        -DTOVAREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

core_tests build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  core_tests build/tests-sanitize -DCMAKE_BUILD_TYPE=Debug -DTOVAREL_SANITIZE=ON

if ls tests/python/test_*.py >/dev/null 2>&1; then
  echo "== Python module: build and install"
  python -m pip install -q "$root[test,bench]" -C cmake.define.TOVAREL_WERROR=ON
  echo "== Python tests"
  # Run from outside the tree so that the installed module is the one tested.
  (cd /tmp && python -m pytest -q "$root/tests/python" -p no:cacheprovider)
fi

if [ -f fuzz/run.sh ]; then
  echo "== Fuzzing (short runs)"
  bash fuzz/run.sh --seconds "${TOVAREL_FUZZ_SECONDS:-20}"
fi
echo "== all tests passed"
