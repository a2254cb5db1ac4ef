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
cd "$LUMO_ROOT" || exit 1
arch=$(scripts/test-arch.sh)
win=build/coverage-$arch
nat=build/coverage-native
out=build/coverage

scripts/coverage-build.sh || exit 1

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

# One JSON per tree (each with its own gcov and the exclusions of
# scripts/coverage-gcovr.sh), merged into one report.
report=0
scripts/coverage-gcovr.sh "$win" "$out/windows.json" || report=1
scripts/coverage-gcovr.sh "$nat" "$out/native.json" || report=1
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
