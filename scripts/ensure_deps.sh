#!/usr/bin/env bash
# Installs the system packages that building and testing need, when they are
# missing: a fresh machine has a compiler and Python but not these.
set -euo pipefail

missing=()
need() { dpkg -s "$1" >/dev/null 2>&1 || missing+=("$1"); }
need libgtest-dev        # C++ unit tests
need cmake               # only when no cmake is on PATH, see below
need ninja-build
need clang               # fuzz harnesses (libFuzzer)
need libclang-rt-14-dev  # libFuzzer and sanitizer runtimes for clang
need llvm                # llvm-profdata/llvm-cov for fuzz coverage figures
need zstd                # the zstd command line: the benchmark's zstd peer is checked against it

# A cmake from pip is as good as Debian's; only install one when none exists.
if command -v cmake >/dev/null 2>&1; then
  missing=("${missing[@]/cmake/}")
fi
if command -v ninja >/dev/null 2>&1; then
  missing=("${missing[@]/ninja-build/}")
fi
pkgs=()
for p in "${missing[@]}"; do [ -n "$p" ] && pkgs+=("$p"); done

if [ ${#pkgs[@]} -gt 0 ]; then
  echo "installing: ${pkgs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${pkgs[@]}" >/dev/null
fi
