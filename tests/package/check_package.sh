#!/usr/bin/env bash
# Checks the release zip as a host vendor receives it.
#   check_package.sh PRODUCT_ZIP RUN_ZIP test_package.exe
# PRODUCT_ZIP (the 32-bit package) is checked statically: its file list, no
# debug sections left in a shipped binary but a .gnu_debuglink in each, the
# size, and the export table of its Lumo.dll. RUN_ZIP is the same package for
# the architecture this machine's Wine runs (PRODUCT_ZIP itself where 32-bit
# code runs): test_package.exe runs its programs from the unpacked folder
# against the simulated gauge, and reads the version resource of both DLLs.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
export LUMO_ROOT
product_zip=${1:?product zip}
run_zip=${2:?zip to run}
test_exe=${3:?test_package.exe}
max_bytes=$((4 * 1024 * 1024))

failures=0
check() {  # check CONDITION-STATUS MESSAGE
  if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}
for zip in "$product_zip" "$run_zip"; do
  [ -f "$zip" ] || { echo "FAIL $zip missing (make dist)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
unpack() {  # unpack ZIP DIR -> prints the package's top folder
  mkdir -p "$2"
  python3 -m zipfile -e "$1" "$2"
  echo "$2/$(basename "$1" .zip)"
}
product=$(unpack "$product_zip" "$work/product")
run=$(unpack "$run_zip" "$work/run")

version=$(basename "$product_zip" .zip | sed -n 's/^lumo-\(.*\)-win32$/\1/p')
check "$([ -n "$version" ]; echo $?)" "package name lumo-<version>-win32.zip: $(basename "$product_zip")"
listing=$(cd "$product" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
expected="Lumo.dll README.txt include/lumo.h libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll lumo-cli.exe lumo-demo.exe lumo-host.exe "
check "$([ "$listing" = "$expected" ]; echo $?)" "package holds exactly: $listing"
size=$(stat -c %s "$product_zip")
check "$([ "$size" -lt "$max_bytes" ]; echo $?)" "package size $size bytes, under $max_bytes"

objdump=i686-w64-mingw32-objdump
for f in "$product"/*.dll "$product"/*.exe; do
  name=$(basename "$f")
  sections=$("$objdump" -h "$f")
  check "$(! grep -q ' \.debug_' <<<"$sections"; echo $?)" "$name carries no debug sections"
  rm -f "$work/link"
  i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$work/link" "$f" "$work/scratch" 2>/dev/null || true
  link=$( [ -f "$work/link" ] && head -z -n1 "$work/link" | tr -d '\0' || true)
  check "$([ "$link" = "$name.debug" ]; echo $?)" "$name names $name.debug in .gnu_debuglink ('$link')"
done
if python3 "$LUMO_ROOT/tests/abi/check_abi.py" "$product/Lumo.dll" >"$work/abi.txt"; then
  check 0 "export table and slot table of the shipped Lumo.dll: $(tail -1 "$work/abi.txt")"
else
  grep FAIL "$work/abi.txt" || true
  check 1 "export table and slot table of the shipped Lumo.dll"
fi

# A copy without one run-time DLL, to show that the run check would notice.
cp -r "$run" "$work/broken"
rm "$work/broken/libstdc++-6.dll"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
export LUMO_PACKAGE_DIR LUMO_RUN_PACKAGE_DIR LUMO_BROKEN_PACKAGE_DIR LUMO_PACKAGE_VERSION=$version
LUMO_PACKAGE_DIR=$(winpath "$product")
LUMO_RUN_PACKAGE_DIR=$(winpath "$run")
LUMO_BROKEN_PACKAGE_DIR=$(winpath "$work/broken")
if "$LUMO_ROOT/scripts/sim-run.sh" "$test_exe"; then
  check 0 "test_package.exe"
else
  check 1 "test_package.exe"
fi
echo "package: $failures failed"
[ "$failures" = 0 ]
