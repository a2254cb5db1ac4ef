#!/usr/bin/env bash
# make coverage: the whole suite on instrumented builds, then one report.
#   build/coverage-<arch>   the Windows test tree (cross compiler, --coverage)
#   build/coverage-native   the native tests and tools (g++, --coverage)
# Writes build/coverage/index.html (per source file), coverage.json and
# summary.txt, and prints the summary: lines, functions and branches of
# driver/, protocol/, serial/, ui/ and the library in all, then tools and
# tests apart. Exits non-zero when no report could be made; failed tests are
# reported but are make test's to judge: the instrumented build runs at -O0
# with atomic counters, where a timing case may miss its margin, and a report
# of what ran is still worth having.
set -uo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export LUMO_ROOT
cd "$LUMO_ROOT"
arch=$(scripts/test-arch.sh)
win=build/coverage-$arch
nat=build/coverage-native
out=build/coverage
jobs=${JOBS:-2}

set -e
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DLUMO_BUILD_TESTS=ON \
  -DLUMO_ROOT="$LUMO_ROOT" -DLUMO_COVERAGE=ON >/dev/null
cmake --build "$win" -j"$jobs"
cmake -S . -B "$nat" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc -DLUMO_COVERAGE=ON >/dev/null
cmake --build "$nat" -j"$jobs"
set +e

# Counts of an earlier run would add to this one's.
find "$win" "$nat" -name '*.gcda' -delete
rm -rf "$out" && mkdir -p "$out"

# Native programs write their counts beside their objects. A Windows program
# writes to the object's path as the compiler saw it (/work/...), which Wine
# would take relative to the current drive: the prefix puts it on Z:, the
# root of the Unix file system, wherever the program's current directory is.
LUMO_TEST_PARTS=native scripts/run-tests.sh "$win" "$nat"
status=$?
GCOV_PREFIX=Z: LUMO_TEST_PARTS=wine scripts/gui-run.sh scripts/run-tests.sh "$win" "$nat"
status=$((status | $?))

# One JSON per tree (each with its own gcov), merged into one report. Branches
# the compiler adds for exceptions and for code it cannot reach are not the
# code's own and are left out.
gcovr_common=(--root "$LUMO_ROOT" --exclude-throw-branches --exclude-unreachable-branches
  --exclude '.*/build/.*' --exclude '.*/third_party/.*' --exclude '/usr/.*')
report=0
gcovr "${gcovr_common[@]}" --gcov-executable "$arch-w64-mingw32-gcov" --object-directory "$win" \
  --json "$out/windows.json" "$win" || report=1
gcovr "${gcovr_common[@]}" --gcov-executable gcov --object-directory "$nat" \
  --json "$out/native.json" "$nat" || report=1
gcovr --root "$LUMO_ROOT" --add-tracefile "$out/windows.json" --add-tracefile "$out/native.json" \
  --json "$out/coverage.json" --html-details "$out/index.html" >/dev/null || report=1
python3 scripts/coverage-summary.py "$out/coverage.json" | tee "$out/summary.txt" || report=1
if [ "$status" != 0 ]; then
  echo "coverage: warning: tests failed on the instrumented build (above); the report counts what ran" >&2
fi
if [ "$report" != 0 ] || [ ! -s "$out/index.html" ]; then
  echo "coverage: no report made" >&2
  exit 1
fi
echo "coverage: report in $out/index.html"
