#!/usr/bin/env bash
# Configures and builds the two instrumented trees of make coverage and make
# coverage-cases:
#   build/coverage-<arch>   the Windows test tree (cross compiler, --coverage)
#   build/coverage-native   the native tests and tools (g++, --coverage)
# JOBS sets the build's parallelism (default 2).
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$LUMO_ROOT"
arch=$(scripts/test-arch.sh)
win=build/coverage-$arch
nat=build/coverage-native
jobs=${JOBS:-2}
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DLUMO_BUILD_TESTS=ON \
  -DLUMO_ROOT="$LUMO_ROOT" -DLUMO_COVERAGE=ON >/dev/null
cmake --build "$win" -j"$jobs"
cmake -S . -B "$nat" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DLUMO_COVERAGE=ON >/dev/null
cmake --build "$nat" -j"$jobs"
