#!/usr/bin/env bash
# The counts of one instrumented tree as a gcovr JSON report, with the
# exclusions every coverage figure of the project uses:
#   coverage-gcovr.sh [--keep-throw-branches] TREE OUT.json [GCOVR-ARGUMENTS...]
# TREE is build/coverage-native (the system's gcov) or build/coverage-<arch>
# (MinGW's gcov for <arch>). Without further arguments gcovr searches the
# whole TREE for counts; with them (options such as --filter, and the
# folders to search) they go to gcovr as they are.
#
# Branches the compiler adds for exceptions and for code it cannot reach are
# not the code's own and are left out. gcov marks a branch as an exception's
# only where its block ran ("taken 0 (throw)"; a block that never ran shows
# "never executed" unmarked), so which branches of a line are left out varies
# with what ran, and gcovr's JSON numbers a line's branches by their rank among
# those kept. --keep-throw-branches keeps them all, each marked "throw" where
# gcov marked it, for a caller that compares runs branch by branch.
#
# gcov itself reports only the sources under the repository (-r, with the
# root as source prefix): the system's and the cross compiler's headers, which
# gcovr would drop anyway, are most of its output otherwise, and skipping them
# takes about a third off each run.
set -euo pipefail
LUMO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
throw=(--exclude-throw-branches)
if [ "${1:-}" = --keep-throw-branches ]; then
  throw=()
  shift
fi
tree=${1:?instrumented tree}
out=${2:?JSON report to write}
shift 2
case $(basename "$tree") in
  coverage-native) gcov=gcov ;;
  coverage-*) gcov=$(basename "$tree" | sed 's/^coverage-//')-w64-mingw32-gcov ;;
  *) echo "coverage-gcovr: $tree is no instrumented tree" >&2; exit 2 ;;
esac
[ $# -gt 0 ] || set -- "$tree"
exec gcovr --root "$LUMO_ROOT" ${throw[@]+"${throw[@]}"} --exclude-unreachable-branches \
  --exclude '.*/build/.*' --exclude '.*/third_party/.*' --exclude '/usr/.*' \
  --gcov-executable "$gcov -r -s $(printf %q "$LUMO_ROOT")" --object-directory "$tree" --json "$out" "$@"
